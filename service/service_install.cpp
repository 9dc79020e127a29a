// Service installation and removal through the Service Control Manager.
#include "service/service_install.h"
#include "service/service_control.h"
#include "config/program_name.h"
#include "config/registry.h"
#include "console/output.h"
#include <cwchar>

namespace {

constexpr DWORD path_chars = 512;
constexpr wchar_t description[] =
    L"tosmire's Intrusion Prevention System detects brute force password attacks, and blocks the attackers, "
    L"by adding them to a persistent IPSec filter list: Brek.";
constexpr wchar_t event_source_path[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\%ls";
constexpr DWORD restart_delay_ms = 60000;
constexpr DWORD failure_reset_seconds = 86400;

// The event log's own values of an event-source key, which are no configuration.
bool is_event_source_value(const wchar_t *name)
{
    static const wchar_t *const names[] = {L"EventMessageFile", L"CategoryMessageFile", L"ParameterMessageFile",
                                           L"CategoryCount", L"TypesSupported", L"ProviderGuid"};
    for (const wchar_t *own : names)
        if (_wcsicmp(name, own) == 0)
            return true;
    return false;
}

// The new Parameters key becomes the first configuration location: what an administrator set in
// the event-source key moves with it, value by value, never overwriting one already there.
void copy_event_source_values(HKEY parameters)
{
    wchar_t path[path_chars];
    if (format_text(path, path_chars, event_source_path, default_service_name) < 0)
        return;
    HKEY source = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &source) != ERROR_SUCCESS)
        return;
    HKEY target = nullptr;
    DWORD count = 0, longest_name = 0, largest_data = 0;
    if (RegOpenKeyExW(parameters, L"", 0, KEY_QUERY_VALUE, &target) != ERROR_SUCCESS ||
        RegQueryInfoKeyW(source, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest_name,
                         &largest_data, nullptr, nullptr) != ERROR_SUCCESS) {
        if (target != nullptr)
            RegCloseKey(target);
        RegCloseKey(source);
        return;
    }
    // One block for the longest name and the largest value; each value is read whole into it.
    const DWORD name_chars = longest_name + 1;
    const SIZE_T block = name_chars * sizeof(wchar_t) + largest_data + sizeof(wchar_t);
    auto *name = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block));
    BYTE *data = reinterpret_cast<BYTE *>(name + name_chars);
    for (DWORD index = 0; name != nullptr && index < count; ++index) {
        DWORD got_name = name_chars;
        DWORD type = 0;
        DWORD got_data = largest_data;
        if (RegEnumValueW(source, index, name, &got_name, nullptr, &type, data, &got_data) != ERROR_SUCCESS)
            continue;
        if (got_name == 0 || is_event_source_value(name) ||
            RegQueryValueExW(target, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            continue;
        reg::set_value(parameters, name, type, data, got_data);
    }
    if (name != nullptr)
        HeapFree(GetProcessHeap(), 0, name);
    RegCloseKey(target);
    RegCloseKey(source);
}

void write_parameters(ServiceHost &host)
{
    wchar_t path[path_chars];
    format_text(path, path_chars, service_parameters_path, host.name);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        print_host_error(L"!! failed to create registry key:\n\tHKLM\\%ls", path);
        return;
    }
    if (disposition == REG_CREATED_NEW_KEY && wcscmp(host.name, default_service_name) == 0)
        copy_event_source_values(key);
    reg::set_dword(key, L"_console_pid", host.console_pid);
    reg::set_dword(key, L"_console_sid", host.console_sid);
    RegCloseKey(key);
}

// Deletes the log file; while the stopped service's process still ends, it may hold the file a
// moment longer.
void delete_log_file(const wchar_t *name, bool stopped)
{
    wchar_t path[path_chars];
    UINT length = GetSystemDirectoryW(path, path_chars);
    if (length == 0 || length >= path_chars ||
        format_text(path + length, path_chars - length, L"\\LogFiles\\%ls.log", name) < 0)
        return;
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (DeleteFileW(path) || GetLastError() != ERROR_SHARING_VIOLATION || !stopped)
            return;
        Sleep(100);
    }
}

// A service that ends with an error (a lost event log, say) restarts by itself. A manager that
// keeps only the crash case, or none, is told in a warning line: the installation stands.
void set_failure_actions(SC_HANDLE service)
{
    SC_ACTION steps[3];
    SERVICE_FAILURE_ACTIONSW failure;
    build_failure_actions(failure, steps);
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        print_host_error(L"!! ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS) FAILED %u: "
                         L"no restart after a failure\n",
                         GetLastError());
        return;
    }
    SERVICE_FAILURE_ACTIONS_FLAG on_error_exit = {TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error_exit)) {
        // A warning, not an error: the service is installed and restarts after a crash.
        const DWORD error = GetLastError();
        set_console_color(color_notice);
        print_prefixed(L"# warning: ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) refused (%u): "
                       L"a restart after a crash only, not after an exit with an error\n",
                       error);
        restore_console_color();
    }
}

} // namespace

DWORD build_service_command_line(const wchar_t *image, const wchar_t *name, wchar_t *line)
{
    line[0] = 0;
    // A quote in the name would end the quoted -d: argument early.
    if (wcschr(name, L'"') != nullptr)
        return ERROR_INVALID_NAME;
    // Measured first: a line that does not fit is refused whole, never installed cut.
    const size_t image_length = wcslen(image), name_length = wcslen(name);
    if (image_length + name_length + 8 >= service_command_line_chars)
        return ERROR_FILENAME_EXCED_RANGE;
    wchar_t *at = line;
    *at++ = L'"';
    wmemcpy(at, image, image_length);
    at += image_length;
    wmemcpy(at, L"\" \"-d:", 6);
    at += 6;
    wmemcpy(at, name, name_length);
    at += name_length;
    *at++ = L'"';
    *at = 0;
    return 0;
}

void build_failure_actions(SERVICE_FAILURE_ACTIONSW &failure, SC_ACTION (&steps)[3])
{
    steps[0] = {SC_ACTION_RESTART, restart_delay_ms};
    steps[1] = {SC_ACTION_RESTART, restart_delay_ms};
    steps[2] = {SC_ACTION_NONE, 0};
    failure.dwResetPeriod = failure_reset_seconds;
    failure.lpRebootMsg = nullptr;
    failure.lpCommand = nullptr;
    failure.cActions = 3;
    failure.lpsaActions = steps;
}

int service_install(ServiceHost &host, bool interactive)
{
    wchar_t image[service_command_line_chars];
    // Room as in the command line, after its opening quote.
    const DWORD image_room = service_command_line_chars - 1;
    DWORD length = GetModuleFileNameW(nullptr, image, image_room);
    if (length == 0) {
        print_host_error(L"!! Unable to determine the path to executable image.\n\t%ls service installation failed [%u]\n",
                    host.name, GetLastError());
        return -1;
    }
    if (length >= image_room) {
        print_host_error(L"!! The path to the executable image is longer than %u characters.\n"
                    L"\t%ls service installation failed [%u]\n",
                    image_room - 1, host.name, static_cast<unsigned>(ERROR_INSUFFICIENT_BUFFER));
        return -1;
    }
    wchar_t line[service_command_line_chars];
    DWORD refused = build_service_command_line(image, host.name, line);
    if (refused == ERROR_INVALID_NAME) {
        print_host_error(L"!! A service name must not contain a double quote.\n\t%ls service installation failed [%u]\n",
                    host.name, refused);
        return -1;
    }
    if (refused != 0) {
        print_host_error(L"!! The service command line would be longer than %u characters.\n"
                    L"\t%ls service installation failed [%u]\n",
                    service_command_line_chars - 1, host.name, refused);
        return -1;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        DWORD error = GetLastError();
        print_host_error(no_scm_text, host.name, L"service installation failed", error != 0 ? error : host.scm_error);
        return -1;
    }
    const DWORD type = SERVICE_WIN32_OWN_PROCESS | (interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
    SC_HANDLE created = CreateServiceW(manager, host.name, host.name, SERVICE_ALL_ACCESS, type, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, line, nullptr, nullptr, L"RpcSs\0eventlog\0",
                                       L"LocalSystem", nullptr);
    DWORD error = created == nullptr ? GetLastError() : 0;
    if (host.service_handle != nullptr)
        CloseServiceHandle(host.service_handle);
    host.service_handle = created;
    int result = 0;
    if (created != nullptr) {
        host.scm_error = 0;
        SERVICE_DESCRIPTIONW text = {const_cast<wchar_t *>(description)};
        ChangeServiceConfig2W(created, SERVICE_CONFIG_DESCRIPTION, &text);
        print_prefixed(L":: %ls service installed%ls\n", host.name, interactive ? L" [INTERACTIVE]" : L"");
        print_prefixed(L":: %ls requires Read+Execute ACL rights on:\n%ls\n", L"LocalSystem", line);
        write_parameters(host);
        set_failure_actions(created);
    } else {
        result = static_cast<int>(error);
        if (error == ERROR_SERVICE_EXISTS)
            print_host_error(L"!! %ls service already exists.\n", host.name);
        else
            print_host_error(L"!! %ls service installation failed [%u]\n", host.name, error);
    }
    CloseServiceHandle(manager);
    print_out(L"\n");
    if (host.start_after_install)
        service_control(host, 0);
    return result;
}

void service_remove(ServiceHost &host)
{
    stop_service_and_wait(host);
    SC_HANDLE service =
        host.scm_handle != nullptr ? OpenServiceW(host.scm_handle, host.name, DELETE | SERVICE_QUERY_STATUS) : nullptr;
    DWORD open_error = service == nullptr ? GetLastError() : 0;
    bool stopped = false, still_running = false;
    if (service != nullptr) {
        if (QueryServiceStatus(service, &host.status)) {
            if (host.status.dwCurrentState == SERVICE_STOPPED) {
                stopped = true;
                if (host.service_handle != nullptr) {
                    CloseServiceHandle(host.service_handle);
                    host.service_handle = nullptr;
                }
                host.service_error = ERROR_SERVICE_DOES_NOT_EXIST;
                DWORD error = DeleteService(service) ? 0 : GetLastError();
                if (error == 0)
                    print_prefixed(L":: %ls service was removed successfully!\n", host.name);
                else if (error == ERROR_ACCESS_DENIED)
                    print_host_error(L"!! Access Denied while trying to remove service %ls.\n", host.name);
                else if (error == ERROR_INVALID_HANDLE)
                    print_host_error(L"!! Invalid Handle while trying to remove service %ls.\n", host.name);
                else if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
                    print_host_error(L"!! %ls service is already marked for deletion.\n", host.name);
                else
                    print_host_error(L"!! delete service %ls failed [%u].\n", host.name, error);
            } else {
                still_running = true;
                print_host_error(L"!! %ls is still running. Stop the service and try again!\n", host.name);
            }
        }
        CloseServiceHandle(service);
    } else if (host.service_handle == nullptr) {
        print_host_error(L"!! %ls service was not found on the system! %ls [%u]\n", host.name, L"service remove",
                    host.service_error);
    } else {
        print_host_error(L"!! service remove: failed to open service %ls! [%u]\n", host.name, open_error);
    }
    // A running service still reports through its event source and writes its log file.
    if (still_running)
        return;
    wchar_t path[path_chars];
    if (format_text(path, path_chars, event_source_path, host.name) >= 0)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    delete_log_file(host.name, stopped);
}
