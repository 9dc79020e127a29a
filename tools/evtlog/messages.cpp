// Registration of the simulated Security message file: the keys Windows keeps under
// eventlog\Security, pointing at our resource-only secmsg.dll.
#include "tools/evtlog/messages.h"
#include "config/registry.h"
#include <cwchar>

namespace {

const wchar_t security_key[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Security";

struct SourceValue {
    const wchar_t *source;
    const wchar_t *value;
};
constexpr SourceValue registered[] = {
    {L"Security", L"EventMessageFile"},
    {L"Microsoft-Windows-Security-Auditing", L"EventMessageFile"},
    {L"LSA", L"ParameterMessageFile"},
};

// secmsg.dll in evtlog's own folder.
DWORD default_file(wchar_t *path, DWORD capacity)
{
    DWORD length = GetModuleFileNameW(nullptr, path, capacity);
    if (length == 0 || length >= capacity)
        return length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    wchar_t *name = wcsrchr(path, L'\\');
    name = name != nullptr ? name + 1 : path;
    return wcscpy_s(name, capacity - static_cast<DWORD>(name - path), L"secmsg.dll") == 0 ? 0 : ERROR_INSUFFICIENT_BUFFER;
}

} // namespace

DWORD register_security_messages(const wchar_t *file)
{
    wchar_t path[MAX_PATH];
    if (file == nullptr) {
        if (DWORD error = default_file(path, MAX_PATH))
            return error;
        file = path;
    }
    const DWORD bytes = static_cast<DWORD>((wcslen(file) + 1) * sizeof(wchar_t));
    for (const SourceValue &r : registered) {
        wchar_t key_path[512];
        _snwprintf_s(key_path, 512, _TRUNCATE, L"%ls\\%ls", security_key, r.source);
        HKEY key = nullptr;
        LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_WRITE, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS)
            return static_cast<DWORD>(status);
        // Windows stores its message files as expandable paths; the reader expands them.
        status = reg::set_value(key, r.value, REG_EXPAND_SZ, file, bytes);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return static_cast<DWORD>(status);
    }
    return 0;
}

DWORD unregister_security_messages()
{
    HKEY security = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, security_key, 0, KEY_READ | DELETE, &security);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    DWORD result = 0;
    for (const SourceValue &r : registered) {
        status = RegDeleteKeyW(security, r.source);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && result == 0)
            result = static_cast<DWORD>(status);
    }
    // The log's key goes only if nothing else is in it (Wine has none until we make it).
    DWORD subkeys = 0, values = 0;
    status = RegQueryInfoKeyW(security, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                              nullptr, nullptr, nullptr);
    RegCloseKey(security);
    if (status == ERROR_SUCCESS && subkeys == 0 && values == 0) {
        status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, security_key);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && result == 0)
            result = static_cast<DWORD>(status);
    }
    return result;
}
