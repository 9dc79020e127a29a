// Simulated regedit.exe for Wine: records where the registry editor would open and ends at once.
// Journal "regedit.log" in the simulation folder (tools/netsh/netsh_store.h), UTF-8, one JSON
// object per start:
//     {"cmdline": "<GetCommandLineW exactly>", "lastkey": "<the LastKey value>"}
// with "lastkey": null when HKCU\Software\Microsoft\Windows\CurrentVersion\Applets\Regedit has
// no REG_SZ value LastKey (the real editor then opens at its top). Strings are JSON-escaped:
// backslash, double quote and control characters as \\, \", \uXXXX.
#include "tools/netsh/netsh_store.h"
#include <cstdio>
#include <string>

static void append_json_string(std::string &out, const std::wstring &text)
{
    out += '"';
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += to_utf8(std::wstring(1, c));
        }
    }
    out += '"';
}

// The LastKey value as the editor reads it at start; false when there is none.
static bool read_last_key(std::wstring &value)
{
    DWORD size = 0;
    const wchar_t *path = L"Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";
    if (RegGetValueW(HKEY_CURRENT_USER, path, L"LastKey", RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, path, L"LastKey", RRF_RT_REG_SZ, nullptr, buffer.data(), &size) !=
        ERROR_SUCCESS)
        return false;
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    value = buffer;
    return true;
}

int main()
{
    std::string line = "{\"cmdline\": ";
    append_json_string(line, GetCommandLineW());
    line += ", \"lastkey\": ";
    std::wstring last_key;
    if (read_last_key(last_key))
        append_json_string(line, last_key);
    else
        line += "null";
    line += "}\n";

    HANDLE lock = sim_lock();
    bool written = false;
    if (FILE *journal = _wfopen(sim_path(L"regedit.log").c_str(), L"ab")) {
        written = fwrite(line.data(), 1, line.size(), journal) == line.size();
        written = fclose(journal) == 0 && written;
    }
    sim_unlock(lock);
    if (!written) {
        fwprintf(stderr, L"The journal %ls cannot be written.\n", sim_path(L"regedit.log").c_str());
        return 1;
    }
    return 0;
}
