// What the service tests share: the programs beside the test, the service manager, the
// registry and the log files, and the simulation folder that a service finds in the registry.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "tests/child_harness.h"

namespace service_test {

inline std::wstring sim_program() { return beside(L"tosmire-ips-sim.exe"); }

// The default name with a suffix unique to this test process (and a letter per test).
inline std::wstring own_name(const wchar_t *letter)
{
    return std::wstring(L"tosmire.IPS.t") + std::to_wstring(GetCurrentProcessId()) + letter;
}

inline ChildResult run_sim(const std::wstring &arguments, DWORD timeout_ms = 60000)
{
    return run_redirected(L"\"" + sim_program() + L"\" " + arguments, timeout_ms);
}

// A service's status, with its process; state 0 and exit code 0xFFFFFFFF when it cannot be
// opened or queried.
inline SERVICE_STATUS_PROCESS service_status(const std::wstring &name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (service == nullptr || !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                                    sizeof(status), &needed)) {
        status = {};
        status.dwWin32ExitCode = 0xFFFFFFFF;
    }
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return status;
}

inline DWORD service_state(const std::wstring &name) { return service_status(name).dwCurrentState; }

inline bool wait_state(const std::wstring &name, DWORD state, DWORD timeout_ms = 20000)
{
    return wait_until([&] { return service_state(name) == state; }, timeout_ms);
}

inline std::wstring services_key(const std::wstring &name) { return L"SYSTEM\\CurrentControlSet\\services\\" + name; }
inline std::wstring event_source_key(const std::wstring &name)
{
    return L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\" + name;
}

inline bool key_exists(const std::wstring &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

inline void create_key(const std::wstring &path)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// A value's type and bytes; type REG_NONE with no bytes when missing.
struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    DWORD dword() const { return bytes.size() == 4 ? *reinterpret_cast<const DWORD *>(bytes.data()) : 0xDEADBEEF; }
    std::wstring text() const
    {
        return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }
};

inline Value read_value(const std::wstring &path, const wchar_t *name)
{
    Value value;
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, nullptr,
                     &size) != ERROR_SUCCESS)
        return Value();
    value.bytes.resize(size);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type,
                     value.bytes.data(), &size) != ERROR_SUCCESS)
        return Value();
    value.bytes.resize(size);
    return value;
}

inline void write_dword(const std::wstring &path, const wchar_t *name, DWORD data)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), sizeof(data));
    RegCloseKey(key);
}

inline std::wstring log_file(const std::wstring &name)
{
    wchar_t dir[MAX_PATH];
    UINT length = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, length) + L"\\LogFiles\\" + name + L".log";
}

inline bool file_exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline void touch(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
}

// The log file's UTF-16 text without carriage returns; empty when missing.
inline std::wstring read_log(const std::wstring &name)
{
    const std::string bytes = read_file_bytes(log_file(name));
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
        if (c != L'\r')
            text += c;
    }
    return text;
}

// The properties of a service that the simulated program installed under its name.
inline void expect_installed(const std::wstring &name)
{
    const std::wstring key = services_key(name), nul(1, L'\0');
    for (const auto &[value, data] : {std::pair<const wchar_t *, DWORD>{L"Type", 0x10}, {L"Start", 2}, {L"ErrorControl", 1}})
        EXPECT_EQ(read_value(key, value).dword(), data) << narrow(value);
    const std::pair<const wchar_t *, std::wstring> texts[] = {
        {L"ImagePath", L"\"" + sim_program() + L"\" \"-d:" + name + L"\"" + nul},
        {L"DisplayName", name + nul},
        {L"ObjectName", L"LocalSystem" + nul},
        {L"DependOnService", std::wstring(L"RpcSs\0eventlog\0\0", 16)},
        {L"Description", L"tosmire's Intrusion Prevention System detects brute force password attacks, and blocks the "
                         L"attackers, by adding them to a persistent IPSec filter list: Brek." + nul}};
    for (const auto &[value, data] : texts)
        EXPECT_EQ(read_value(key, value).text(), data) << narrow(value);
    for (const wchar_t *value : {L"_console_pid", L"_console_sid"}) {
        Value v = read_value(key + L"\\Parameters", value);
        EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD)) << narrow(value);
        EXPECT_EQ(v.dword(), 0u) << narrow(value);
    }
}

// Creates a service directly (demand start, not started); the image line as given.
inline void create_service(const std::wstring &name, const std::wstring &image_line, DWORD type = SERVICE_WIN32_OWN_PROCESS)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, type,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image_line.c_str(), nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    ASSERT_NE(service, nullptr) << error;
    CloseServiceHandle(service);
}

// Starts a service; 0, or the error of the call that failed. Under load Wine's service manager
// now and then fails its own write of the start command into the new process's control pipe
// ("service protocol error - failed to write pipe!" in its trace, while that process had not yet
// reached its dispatcher): StartServiceW fails with 1053 and the service reads STOPPED. Such a
// start is tried again, at most twice.
inline DWORD start_service(const std::wstring &name)
{
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_START) : nullptr;
        error = service != nullptr && StartServiceW(service, 0, nullptr) ? 0 : GetLastError();
        if (service != nullptr)
            CloseServiceHandle(service);
        if (manager != nullptr)
            CloseServiceHandle(manager);
        if (error != ERROR_SERVICE_REQUEST_TIMEOUT || !wait_state(name, SERVICE_STOPPED))
            break;
    }
    return error;
}

// Runs stop (a control, a program's letter) and waits until the service is STOPPED and its
// process has ended: Wine's service manager refuses a start (1359) while the process of the
// stopped service is still on its way out, which a busy machine makes long.
inline bool stopped_by(const std::wstring &name, const std::function<void()> &stop)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, service_status(name).dwProcessId);
    stop();
    const bool stopped = wait_state(name, SERVICE_STOPPED);
    const bool ended = process == nullptr || WaitForSingleObject(process, 20000) == WAIT_OBJECT_0;
    if (process != nullptr)
        CloseHandle(process);
    return stopped && ended;
}

inline void control_service(const std::wstring &name, DWORD control)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS) : nullptr;
    SERVICE_STATUS status;
    if (service != nullptr) {
        ControlService(service, control, &status);
        CloseServiceHandle(service);
    }
    if (manager != nullptr)
        CloseServiceHandle(manager);
}

// Stops (waiting for STOPPED and the end of its process) and deletes a service, with its event-source key and log file;
// whether there was one.
inline bool remove_service(const std::wstring &name, bool delete_event_source = true)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS) : nullptr;
    bool found = service != nullptr;
    if (found) {
        SERVICE_STATUS status;
        stopped_by(name, [&] { ControlService(service, SERVICE_CONTROL_STOP, &status); });
        DeleteService(service);
        CloseServiceHandle(service);
    }
    if (manager != nullptr)
        CloseServiceHandle(manager);
    if (delete_event_source)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, event_source_key(name).c_str());
    for (int attempt = 0; attempt < 50 && file_exists(log_file(name)) && !DeleteFileW(log_file(name).c_str()); ++attempt)
        Sleep(100);
    return found;
}

// Removes the named services however a test ends.
struct ServiceGuard {
    std::vector<std::wstring> names;
    bool delete_event_source = true;
    ~ServiceGuard()
    {
        for (const std::wstring &name : names)
            remove_service(name, delete_event_source);
    }
};

constexpr wchar_t sim_registry_key[] = L"SOFTWARE\\tosmire-evtsim";

// The simulation folder, also named in the registry, where a service (started without the
// test's environment) finds it.
struct ServiceSimFolder : SimFolder {
    ServiceSimFolder()
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sim_registry_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key, L"TOSMIRE_SIM_DIR", 0, REG_SZ, reinterpret_cast<const BYTE *>(path().c_str()),
                           static_cast<DWORD>((path().size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
    }
    ~ServiceSimFolder() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, sim_registry_key); }
};

// Sets (or, with a null value, removes) a simulation variable where a service finds it.
inline void set_service_hook(const wchar_t *name, const wchar_t *value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sim_registry_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value != nullptr)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    else
        RegDeleteValueW(key, name);
    RegCloseKey(key);
}

inline bool contains(const std::wstring &text, const std::wstring &part) { return text.find(part) != std::wstring::npos; }


} // namespace service_test
