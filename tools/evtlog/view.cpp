// Both views read the log through the (simulated) event-log calls, as any reader would.
// Record contents are untrusted: a record is used only after sim_check_record, and texts
// are escaped or formatted with every insertion defined.
#include "tools/evtlog/view.h"
#include "tools/evtsim/evtsim.h"
#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD read_capacity = 0x7FFFF;   // the largest read ReadEventLogW accepts
constexpr int max_inserts = 100;           // FormatMessageW knows %1 to %99
constexpr int cached_sources = 16;

// Message files of one source, loaded once.
struct SourceModules {
    wchar_t name[256];
    HMODULE events[4];
    HMODULE categories[4];
};

SourceModules g_sources[cached_sources];
int g_source_count = 0;

const wchar_t *insertion(const EVENTLOGRECORD *r, int index, const wchar_t *previous)
{
    if (index == 0)
        return reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(r) + r->StringOffset);
    return previous + wcslen(previous) + 1;
}

const wchar_t *source_of(const EVENTLOGRECORD *r)
{
    return reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(r) + sizeof(EVENTLOGRECORD));
}

// Prints text with the characters that would break a line-per-record listing escaped.
void print_escaped(const wchar_t *text)
{
    for (; *text != 0; ++text) {
        wchar_t c = *text;
        switch (c) {
        case L'\\': fputws(L"\\\\", stdout); break;
        case L'|': fputws(L"\\|", stdout); break;
        case L'\t': fputws(L"\\t", stdout); break;
        case L'\n': fputws(L"\\n", stdout); break;
        case L'\r': fputws(L"\\r", stdout); break;
        default:
            // C0, DEL and C1 controls (U+0080 to U+009F, which some terminals obey too).
            if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
                wprintf(L"\\x%02x", static_cast<unsigned>(c));
            else
                fputwc(c, stdout);
        }
    }
}

// Raw data as text: printable ASCII as it is, anything else escaped (list) or as '.' (render).
void print_data(const EVENTLOGRECORD *r, bool escape)
{
    const BYTE *data = reinterpret_cast<const BYTE *>(r) + r->DataOffset;
    for (DWORD i = 0; i < r->DataLength; ++i) {
        BYTE b = data[i];
        bool printable = b >= 0x20 && b < 0x7F && !(escape && (b == '\\' || b == '|'));
        if (printable)
            fputwc(static_cast<wchar_t>(b), stdout);
        else if (escape)
            wprintf(L"\\x%02x", static_cast<unsigned>(b));
        else
            fputwc(L'.', stdout);
    }
}

// Reads the whole log, calling show for each record; 0 or a Win32 error.
template <typename Show> DWORD for_each_record(int log, Show show)
{
    HANDLE h = OpenEventLogW(nullptr, sim_log_name(log));
    if (h == nullptr)
        return GetLastError();
    BYTE *buffer = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, read_capacity));
    DWORD error = buffer == nullptr ? ERROR_NOT_ENOUGH_MEMORY : 0;
    while (error == 0) {
        DWORD read = 0;
        DWORD needed = 0;
        if (!ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer, read_capacity, &read, &needed)) {
            error = GetLastError();
            break;
        }
        for (DWORD pos = 0; pos < read;) {
            DWORD length = sim_check_record(buffer + pos, read - pos);
            if (length == 0) {
                error = ERROR_EVENTLOG_FILE_CORRUPT;
                break;
            }
            show(reinterpret_cast<const EVENTLOGRECORD *>(buffer + pos));
            pos += length;
        }
    }
    if (buffer != nullptr)
        HeapFree(GetProcessHeap(), 0, buffer);
    CloseEventLog(h);
    return error == ERROR_HANDLE_EOF ? 0 : error;
}

void print_list_line(const EVENTLOGRECORD *r)
{
    FILETIME ft;
    SYSTEMTIME t;
    ULONGLONG ticks = (ULONGLONG{r->TimeGenerated} + 11644473600ull) * 10000000ull;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    FileTimeToSystemTime(&ft, &t);
    wprintf(L"%u\t%04u-%02u-%02uT%02u:%02u:%02uZ\t", r->RecordNumber, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
            t.wSecond);
    print_escaped(source_of(r));
    wprintf(L"\t%u\t%u\t%u\t", r->EventID, r->EventType, r->EventCategory);
    const wchar_t *s = nullptr;
    for (int i = 0; i < r->NumStrings; ++i) {
        s = insertion(r, i, s);
        if (i != 0)
            fputwc(L'|', stdout);
        print_escaped(s);
    }
    fputwc(L'\t', stdout);
    print_data(r, true);
    fputwc(L'\n', stdout);
}

// Loads the message files a registry value of the source's key names (';'-separated).
void load_message_files(int log, const wchar_t *source, const wchar_t *value, HMODULE (&modules)[4])
{
    wchar_t key[600];
    wchar_t files[1024];
    _snwprintf_s(key, 600, _TRUNCATE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\%ls\\%ls", sim_log_name(log), source);
    DWORD size = sizeof(files);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, files, &size) != ERROR_SUCCESS)
        return;
    int n = 0;
    wchar_t *context = nullptr;
    for (wchar_t *file = wcstok_s(files, L";", &context); file != nullptr && n < 4; file = wcstok_s(nullptr, L";", &context))
        if (HMODULE m = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE))
            modules[n++] = m;
}

SourceModules *modules_of(int log, const wchar_t *source)
{
    for (int i = 0; i < g_source_count; ++i)
        if (_wcsicmp(g_sources[i].name, source) == 0)
            return &g_sources[i];
    // Beyond the cache, the last entry is reloaded for each new source.
    SourceModules *m = &g_sources[g_source_count < cached_sources ? g_source_count++ : cached_sources - 1];
    for (HMODULE &h : m->events)
        if (h != nullptr)
            FreeLibrary(h);
    for (HMODULE &h : m->categories)
        if (h != nullptr)
            FreeLibrary(h);
    memset(m, 0, sizeof(*m));
    wcsncpy_s(m->name, source, _TRUNCATE);
    load_message_files(log, source, L"EventMessageFile", m->events);
    load_message_files(log, source, L"CategoryMessageFile", m->categories);
    return m;
}

void release_modules()
{
    for (int i = 0; i < g_source_count; ++i) {
        for (HMODULE h : g_sources[i].events)
            if (h != nullptr)
                FreeLibrary(h);
        for (HMODULE h : g_sources[i].categories)
            if (h != nullptr)
                FreeLibrary(h);
    }
    g_source_count = 0;
}

// The message id formatted from the first module that has it; null if none does.
wchar_t *format_message(const HMODULE (&modules)[4], DWORD id, const DWORD_PTR *inserts)
{
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                  (inserts != nullptr ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
    for (HMODULE m : modules) {
        wchar_t *text = nullptr;
        if (m != nullptr && FormatMessageW(flags, m, id, 0, reinterpret_cast<LPWSTR>(&text), 0,
                                           reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(inserts))) != 0)
            return text;
    }
    return nullptr;
}

// Prints message text with CR LF as line ends and without the final line end.
void print_message(const wchar_t *text)
{
    size_t n = wcslen(text);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' '))
        --n;
    for (size_t i = 0; i < n; ++i)
        if (text[i] != L'\r')
            fputwc(text[i], stdout);
}

const wchar_t *type_name(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return L"Error";
    case EVENTLOG_WARNING_TYPE: return L"Warning";
    case EVENTLOG_AUDIT_SUCCESS: return L"Audit Success";
    case EVENTLOG_AUDIT_FAILURE: return L"Audit Failure";
    default: return L"Information";
    }
}

void print_rendered(int log, const EVENTLOGRECORD *r)
{
    const wchar_t *source = source_of(r);
    const wchar_t *computer = source + wcslen(source) + 1;
    // Forwarded events are the Security log's: its sources' message files describe them.
    SourceModules *m = modules_of(log == sim_forwarded ? sim_security : log, source);
    FILETIME utc;
    FILETIME local;
    SYSTEMTIME t;
    ULONGLONG ticks = (ULONGLONG{r->TimeGenerated} + 11644473600ull) * 10000000ull;
    utc.dwLowDateTime = static_cast<DWORD>(ticks);
    utc.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &t);
    wprintf(L"Record:       %u\nDate:         %04u-%02u-%02u %02u:%02u:%02u\nSource:       %ls\nCategory:     ",
            r->RecordNumber, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, source);
    wchar_t *category = r->EventCategory != 0 ? format_message(m->categories, r->EventCategory, nullptr) : nullptr;
    if (category != nullptr) {
        print_message(category);
        LocalFree(category);
    } else if (r->EventCategory == 0) {
        fputws(L"None", stdout);
    } else {
        wprintf(L"(%u)", r->EventCategory);
    }
    wprintf(L"\nType:         %ls\nEvent ID:     %u\nComputer:     %ls\nDescription:\n", type_name(r->EventType),
            r->EventID & 0xFFFF, computer);
    // Every insertion a message may name is defined: those the record lacks are empty.
    DWORD_PTR inserts[max_inserts];
    const wchar_t *s = nullptr;
    for (int i = 0; i < max_inserts; ++i) {
        if (i < r->NumStrings)
            s = insertion(r, i, s);
        inserts[i] = reinterpret_cast<DWORD_PTR>(i < r->NumStrings ? s : L"");
    }
    wchar_t *text = format_message(m->events, r->EventID, inserts);
    if (text != nullptr) {
        print_message(text);
        LocalFree(text);
    } else {
        wprintf(L"The description for Event ID %u from source %ls cannot be found.", r->EventID & 0xFFFF, source);
        if (r->NumStrings != 0)
            fputws(L" The following information is part of the event:", stdout);
        s = nullptr;
        for (int i = 0; i < r->NumStrings; ++i) {
            s = insertion(r, i, s);
            wprintf(L"%ls %ls", i == 0 ? L"" : L",", s);
        }
    }
    fputws(L"\n", stdout);
    if (r->DataLength != 0) {
        fputws(L"Data:         ", stdout);
        print_data(r, false);
        fputws(L"\n", stdout);
    }
    fputws(L"\n", stdout);
}

} // namespace

DWORD list_log(int log)
{
    return for_each_record(log, print_list_line);
}

DWORD render_log(int log)
{
    DWORD error = for_each_record(log, [log](const EVENTLOGRECORD *r) { print_rendered(log, r); });
    release_modules();
    return error;
}
