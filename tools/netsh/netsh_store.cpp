// The simulated tools' files: simulation folder, lock, store and journals (see netsh_store.h).
#include "tools/netsh/netsh_store.h"
#include <cwchar>

std::wstring sim_dir()
{
    wchar_t buffer[MAX_PATH * 2];
    DWORD length = sim_variable(L"TOSMIRE_SIM_DIR", buffer, MAX_PATH * 2);
    std::wstring dir;
    if (length > 0 && length < MAX_PATH * 2) {
        dir.assign(buffer, length);
    } else {
        length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
        if (length > 0 && length < MAX_PATH * 2)
            dir.assign(buffer, length);
        size_t slash = dir.find_last_of(L"\\/");
        dir.resize(slash == std::wstring::npos ? 0 : slash);
    }
    while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/'))
        dir.pop_back();
    return dir.empty() ? std::wstring(L".") : dir;
}

std::wstring sim_path(const wchar_t *file_name)
{
    return sim_dir() + L"\\" + file_name;
}

HANDLE sim_lock()
{
    HANDLE lock = CreateMutexW(nullptr, FALSE, L"tosmire-sim-tools");
    if (lock == nullptr)
        return nullptr;
    // An abandoned mutex (a tool that died while holding it) is owned all the same.
    DWORD wait = WaitForSingleObject(lock, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(lock);
        return nullptr;
    }
    return lock;
}

void sim_unlock(HANDLE lock)
{
    if (lock == nullptr)
        return;
    ReleaseMutex(lock);
    CloseHandle(lock);
}

bool same_text(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

std::string to_utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring from_utf8(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::wstring domain_store_name(const std::wstring &domain)
{
    std::wstring name = domain;
    if (!name.empty() && name.back() == L'.')
        name.pop_back();
    if (name.empty() || name.size() > 255)
        return std::wstring();
    size_t label = 0;   // characters of the current label
    for (size_t i = 0; i <= name.size(); ++i) {
        wchar_t c = i < name.size() ? name[i] : L'.';
        if (c == L'.') {
            if (label == 0 || label > 63 || name[i - 1] == L'-')
                return std::wstring();
            label = 0;
        } else if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || (c == L'-' && label != 0)) {
            ++label;
        } else if (c >= L'A' && c <= L'Z') {
            name[i] = static_cast<wchar_t>(c - L'A' + L'a');
            ++label;
        } else {
            return std::wstring();
        }
    }
    return L"domain:" + name;
}

std::wstring store_file_name(const std::wstring &store)
{
    if (store.empty() || store == L"local")
        return L"netsh-store.txt";
    if (store == L"persistent")
        return L"netsh-store-persistent.txt";
    // Only names domain_store_name gives: nothing else reaches the file name.
    if (store.compare(0, 7, L"domain:") == 0 && domain_store_name(store.substr(7)) == store)
        return L"netsh-store-domain-" + store.substr(7) + L".txt";
    return std::wstring();
}

// Whole file into memory; a missing file reads as empty.
static bool read_file(const std::wstring &path, std::string &content)
{
    content.clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 256 * 1024 * 1024;
    if (ok) {
        content.resize(static_cast<size_t>(size.QuadPart));
        DWORD done = 0;
        ok = content.empty() || (ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &done, nullptr) &&
                                 done == content.size());
    }
    CloseHandle(file);
    return ok;
}

static bool write_all(HANDLE file, const std::string &content)
{
    DWORD done = 0;
    return content.empty() ||
           (WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &done, nullptr) && done == content.size());
}

// ---- store ----

static std::string store_field(const std::wstring &value)
{
    std::string utf8 = to_utf8(value);
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

static bool parse_store_line(const std::string &line, std::vector<std::wstring> &fields)
{
    fields.clear();
    std::string field;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            fields.push_back(from_utf8(field));
            field.clear();
        } else if (c == '\\') {
            if (++i == line.size())
                return false;
            switch (line[i]) {
            case '\\': field += '\\'; break;
            case 't': field += '\t'; break;
            case 'n': field += '\n'; break;
            case 'r': field += '\r'; break;
            default: return false;
            }
        } else {
            field += c;
        }
    }
    fields.push_back(from_utf8(field));
    return true;
}

static bool parse_flag(const std::wstring &text, bool &flag)
{
    if (text == L"yes")
        flag = true;
    else if (text == L"no")
        flag = false;
    else
        return false;
    return true;
}

bool store_load(const std::wstring &path, SimStore &store)
{
    store = SimStore();
    std::string content;
    if (!read_file(path, content))
        return false;
    std::vector<std::wstring> f;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        if (!parse_store_line(line, f))
            return false;
        const std::wstring &kind = f[0];
        if (kind == L"policy" && f.size() == 4) {
            SimPolicy p{f[1], f[2], false};
            if (!parse_flag(f[3], p.assigned))
                return false;
            store.policies.push_back(p);
        } else if (kind == L"filteraction" && f.size() == 4) {
            store.filteractions.push_back(SimFilterAction{f[1], f[2], f[3]});
        } else if (kind == L"filterlist" && f.size() == 3) {
            store.filterlists.push_back(SimFilterList{f[1], f[2]});
        } else if (kind == L"filter" && f.size() == 11) {
            SimFilter x{f[1], f[2], f[3], f[4], f[5], true, f[7], f[8], f[9], f[10]};
            if (!parse_flag(f[6], x.mirrored))
                return false;
            store.filters.push_back(x);
        } else if (kind == L"rule" && f.size() == 5) {
            store.rules.push_back(SimRule{f[1], f[2], f[3], f[4]});
        } else {
            return false;
        }
    }
    return true;
}

bool store_save(const std::wstring &path, const SimStore &store)
{
    std::string out = "# tosmire simulated netsh: ipsec static store\n";
    auto line = [&out](std::initializer_list<std::wstring> fields) {
        bool first = true;
        for (const std::wstring &field : fields) {
            if (!first)
                out += '\t';
            out += store_field(field);
            first = false;
        }
        out += '\n';
    };
    for (const SimPolicy &p : store.policies)
        line({L"policy", p.name, p.description, p.assigned ? L"yes" : L"no"});
    for (const SimFilterAction &a : store.filteractions)
        line({L"filteraction", a.name, a.description, a.action});
    for (const SimFilterList &l : store.filterlists)
        line({L"filterlist", l.name, l.description});
    for (const SimFilter &x : store.filters)
        line({L"filter", x.filterlist, x.srcaddr, x.dstaddr, x.description, x.protocol, x.mirrored ? L"yes" : L"no",
              x.srcmask, x.dstmask, x.srcport, x.dstport});
    for (const SimRule &r : store.rules)
        line({L"rule", r.name, r.policy, r.filterlist, r.filteraction});

    // A reader never sees a half-written store: the new one replaces the old one whole.
    std::wstring temporary = path + L".new";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = write_all(file, out);
    CloseHandle(file);
    if (ok)
        ok = MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok)
        DeleteFileW(temporary.c_str());
    return ok;
}

// ---- journals ----

static void append_json_string(std::string &out, const wchar_t *text)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const wchar_t *p = text; *p != L'\0'; ++p) {
        unsigned c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF && !(c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF))) {
            // Control characters, and surrogates that are not a valid pair, stay exact as escapes.
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(c >> shift) & 0xF];
        } else if (c >= 0xD800 && c <= 0xDBFF) {
            out += to_utf8(std::wstring(p, 2));
            ++p;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += to_utf8(std::wstring(1, *p));
        }
    }
    out += '"';
}

bool journal_append(const std::wstring &path, const wchar_t *cmdline, DWORD exit_code)
{
    std::string line = "{\"cmdline\": ";
    append_json_string(line, cmdline != nullptr ? cmdline : L"");
    line += ", \"exit\": " + std::to_string(exit_code) + "}\n";
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = write_all(file, line);
    CloseHandle(file);
    return ok;
}

static bool hex_value(char c, unsigned &value)
{
    if (c >= '0' && c <= '9')
        value = value * 16 + (c - '0');
    else if (c >= 'a' && c <= 'f')
        value = value * 16 + (c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = value * 16 + (c - 'A' + 10);
    else
        return false;
    return true;
}

// Parses the JSON string that begins at line[i] (its opening quote); i ends behind it.
static bool parse_json_string(const std::string &line, size_t &i, std::wstring &value)
{
    value.clear();
    if (i >= line.size() || line[i] != '"')
        return false;
    std::string raw; // UTF-8 run between escapes
    for (++i; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            value += from_utf8(raw);
            ++i;
            return true;
        }
        if (c != '\\') {
            raw += c;
            continue;
        }
        if (++i == line.size())
            return false;
        value += from_utf8(raw);
        raw.clear();
        switch (line[i]) {
        case '"': value += L'"'; break;
        case '\\': value += L'\\'; break;
        case '/': value += L'/'; break;
        case 'b': value += L'\b'; break;
        case 'f': value += L'\f'; break;
        case 'n': value += L'\n'; break;
        case 'r': value += L'\r'; break;
        case 't': value += L'\t'; break;
        case 'u': {
            unsigned code = 0;
            for (int k = 0; k < 4; ++k)
                if (++i == line.size() || !hex_value(line[i], code))
                    return false;
            value += static_cast<wchar_t>(code);
            break;
        }
        default: return false;
        }
    }
    return false;
}

bool journal_read(const std::wstring &path, std::vector<JournalEntry> &entries)
{
    entries.clear();
    std::string content;
    if (!read_file(path, content))
        return false;
    static const std::string head = "{\"cmdline\": ";
    static const std::string middle = ", \"exit\": ";
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            return false; // a line is always finished by its writer
        std::string line = content.substr(start, end - start);
        start = end + 1;
        JournalEntry entry;
        size_t i = head.size();
        if (line.compare(0, head.size(), head) != 0 || !parse_json_string(line, i, entry.cmdline) ||
            line.compare(i, middle.size(), middle) != 0)
            return false;
        i += middle.size();
        size_t digits = 0;
        unsigned long long code = 0;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits)
            code = code * 10 + (line[i] - '0');
        if (digits == 0 || digits > 10 || code > 0xFFFFFFFFull || line.substr(i) != "}")
            return false;
        entry.exit_code = static_cast<DWORD>(code);
        entries.push_back(entry);
    }
    return true;
}
