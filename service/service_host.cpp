// The service host: the service name and commands of the command line, the operations on the
// service through the Service Control Manager, and the service runtime (dispatcher thread,
// service main routine, control handler, teardown).
#include "service/service_host.h"
#include "service/service_identity.h"
#include "config/registry.h"
#include "console/output.h"
#include <shellapi.h>
#include <cstdarg>
#include <cwchar>

const wchar_t default_service_name[] = L"tosmire.IPS";
ServiceHost g_service_host; // owner comment at its declaration in service_host.h

namespace {

constexpr DWORD accepted_controls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN |
                                    SERVICE_ACCEPT_PARAMCHANGE | SERVICE_ACCEPT_TRIGGEREVENT; // 0x40F
constexpr DWORD accept_trigger_event = SERVICE_ACCEPT_TRIGGEREVENT;                       // 0x400
constexpr DWORD control_trigger_event = 32;                                               // SERVICE_CONTROL_TRIGGEREVENT
constexpr DWORD path_chars = 512;
constexpr wchar_t description[] =
    L"tosmire's Intrusion Prevention System detects brute force password attacks, and blocks the attackers, "
    L"by adding them to a persistent IPSec filter list: Brek.";
constexpr wchar_t no_scm_text[] =
    L"!! Cannot connect to Service Control Manager.\n\tDo I have administrator priviledges?\n\t%ls %ls [%u]\n";
constexpr wchar_t event_source_path[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\%ls";
constexpr wchar_t parameters_path[] = L"SYSTEM\\CurrentControlSet\\services\\%ls\\Parameters";
constexpr DWORD stdout_line_chars = 2048;

// Prints the time prefix, then the message, in one piece.
void vprint_prefixed(const wchar_t *format, va_list args)
{
    wchar_t prefix[time_prefix_chars];
    time_prefix(prefix);
    wchar_t text[stdout_line_chars];
    int length = _vsnwprintf(text, stdout_line_chars - 1, format, args);
    if (length < 0)
        length = stdout_line_chars - 1;
    text[length] = 0;
    print_out(L"[%ls] %ls", prefix, text);
}

void print_prefixed(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint_prefixed(format, args);
    va_end(args);
}

// An error line, in the error colour.
void print_error(const wchar_t *format, ...)
{
    set_console_color(color_error);
    va_list args;
    va_start(args, format);
    vprint_prefixed(format, args);
    va_end(args);
    restore_console_color();
}

void signal_event(HostEvent &event)
{
    if (event.created)
        SetEvent(event.handle);
}

void wait_for(HostEvent &event)
{
    if (event.created)
        WaitForSingleObject(event.handle, INFINITE);
}

void create_event(HostEvent &event, bool manual_reset)
{
    event.handle = CreateEventW(nullptr, manual_reset, FALSE, nullptr);
    event.created = event.handle != nullptr;
}

void close_event(HostEvent &event)
{
    if (!event.created)
        return;
    event.created = false;
    SetEvent(event.handle);
    CloseHandle(event.handle);
    event.handle = nullptr;
}

// A value of any type under HKLM\path read as its first 4 bytes; 0 when missing or shorter.
DWORD read_dword_bytes(const wchar_t *path, const wchar_t *value)
{
    wchar_t *data = nullptr;
    DWORD size = 0;
    DWORD result = 0;
    if (reg::get_value(HKEY_LOCAL_MACHINE, path, value, RRF_RT_ANY | RRF_NOEXPAND, &data, &size) == ERROR_SUCCESS &&
        size >= sizeof(DWORD))
        memcpy(&result, data, sizeof(DWORD));
    free(data);
    return result;
}

// The installed service's "Type" when it is a REG_DWORD of 4 bytes; 0 otherwise.
DWORD read_installed_type(const wchar_t *name)
{
    wchar_t path[path_chars];
    if (format_text(path, path_chars, L"SYSTEM\\CurrentControlSet\\services\\%ls", name) < 0)
        return 0;
    wchar_t *data = nullptr;
    DWORD size = 0;
    DWORD type = 0;
    if (reg::get_value(HKEY_LOCAL_MACHINE, path, L"Type", RRF_RT_REG_DWORD, &data, &size) == ERROR_SUCCESS &&
        size == sizeof(DWORD))
        memcpy(&type, data, sizeof(DWORD));
    free(data);
    return type;
}

// Whether the process is a service and interactive; taken in start-up, before the main entry
// reads is_service.
void decide_host_identity(ServiceHost &host)
{
    DWORD session = 0;
    TOKEN_GROUPS *groups = nullptr;
    DWORD error = read_identity_inputs(&session, &groups);
    DWORD installed_type = error == 0 && session == 0 ? read_installed_type(host.name) : 0;
    Identity identity = decide_identity(error == 0, session, error == 0 ? groups : nullptr, installed_type);
    if (groups != nullptr)
        GlobalFree(groups);
    host.is_service = identity.is_service;
    host.interactive = identity.interactive;
    host.status.dwServiceType = identity.service_type;
}

// Where a service's output goes: the console of the process recorded at installation, else a
// new console for an interactive service, else the log file.
void set_up_service_output(ServiceHost &host)
{
    wchar_t path[path_chars];
    if (format_text(path, path_chars, parameters_path, host.name) >= 0) {
        host.console_pid = read_dword_bytes(path, L"_console_pid");
        host.console_sid = read_dword_bytes(path, L"_console_sid");
    }
    if (host.console_sid == 0 && host.console_pid != 0 && host.console_pid != 0xFFFFFFFF &&
        attach_console(host.console_pid) != 0)
        host.console_pid = 0;
    if (host.console_sid != 0 || host.console_pid == 0) {
        if (host.interactive) {
            free_console();
            new_console();
        } else {
            log_to_file(true);
        }
    }
}

void report_status(ServiceHost &host)
{
    if (host.status_handle != nullptr)
        SetServiceStatus(host.status_handle, &host.status);
}

void WINAPI service_main(DWORD, LPWSTR *)
{
    ServiceHost &host = g_service_host;
    host.status_handle = RegisterServiceCtrlHandlerW(host.name, service_ctrl_handler);
    if (host.status_handle == nullptr) {
        print_error(L"!! RegisterServiceCtrlHandler() failed.\n");
        signal_event(host.e_host_started);
        return;
    }
    host.status.dwCurrentState = SERVICE_START_PENDING;
    host.status.dwControlsAccepted = 0;
    report_status(host);
    host.status.dwControlsAccepted |= accepted_controls;
    host.status.dwCurrentState = SERVICE_RUNNING;
    if (!SetServiceStatus(host.status_handle, &host.status)) {
        // Systems before Windows 7 refuse the trigger-event control.
        host.status.dwControlsAccepted &= ~accept_trigger_event;
        if (!SetServiceStatus(host.status_handle, &host.status))
            print_error(L"[%ls] SetServiceStatus failed %u\n", host.name, GetLastError());
    }
    if (host.control_callback == nullptr && host.console_pid == 0)
        print_prefixed(L"[STARTED] %ls\n", host.name);
    signal_event(host.e_host_started);
    wait_for(host.e_service_stop);
    if (host.control_callback == nullptr && host.console_pid == 0)
        print_prefixed(L"[STOPPED] %ls\n#################################\n\n", host.name);
    host.status.dwCurrentState = SERVICE_STOP_PENDING;
    report_status(host);
    host.status.dwControlsAccepted &= ~accepted_controls;
    host.status.dwCurrentState = SERVICE_STOPPED;
    report_status(host);
}

DWORD WINAPI dispatcher_thread(void *parameter)
{
    ServiceHost &host = *static_cast<ServiceHost *>(parameter);
    if (host.is_service) {
        set_up_service_output(host);
        wait_for(host.e_main_ready);
        host.is_service = StartServiceCtrlDispatcherW(host.dispatch_table) != FALSE;
    }
    signal_event(host.e_host_stopped);
    signal_event(host.e_host_started);
    return 0;
}

const wchar_t *state_text(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return L"[STOPPED]";
    case SERVICE_START_PENDING: return L"[START PENDING]";
    case SERVICE_STOP_PENDING: return L"[STOP PENDING]";
    case SERVICE_RUNNING: return L"[RUNNING]";
    case SERVICE_CONTINUE_PENDING: return L"[CONTINUE PENDING]";
    case SERVICE_PAUSE_PENDING: return L"[PAUSE PENDING]";
    case SERVICE_PAUSED: return L"[PAUSED]";
    default: return nullptr;
    }
}

// Continues a line with the name of the state, then ends it.
void print_state(DWORD state)
{
    const wchar_t *text = state_text(state);
    if (text != nullptr)
        print_out(L"%ls\n", text);
    else
        print_out(L"{status=%u}\n", state);
}

DWORD access_for(DWORD control)
{
    switch (control) {
    case 0: return SERVICE_START | SERVICE_QUERY_STATUS;
    case SERVICE_CONTROL_STOP: return SERVICE_STOP | SERVICE_QUERY_STATUS;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE: return SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE | SERVICE_QUERY_STATUS;
    default: return SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS;
    }
}

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
    format_text(path, path_chars, parameters_path, host.name);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        print_error(L"!! failed to create registry key:\n\tHKLM\\%ls", path);
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

} // namespace

int format_time_prefix(long long seconds, wchar_t *text)
{
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days since 1970-01-01 to the civil date (proleptic Gregorian calendar).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;
    const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_index = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
    long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    year %= 10000;
    if (year < 0)
        year += 10000;
    return format_text(text, time_prefix_chars, L"%.4d-%.2d-%.2d / %.2d:%.2d:%.2d", static_cast<int>(year), month,
                       day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                       static_cast<int>(rest % 60));
}

int time_prefix(wchar_t *text)
{
    // The system clock in UTC, not the C runtime's idea of it, which a time zone may move.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const long long seconds = static_cast<long long>(ticks / 10000000ull) - 11644473600ll;
    return format_time_prefix(seconds, text);
}

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

void service_name_from_argument(const wchar_t *text, wchar_t *name)
{
    constexpr size_t capacity = sizeof(ServiceHost::name) / sizeof(wchar_t);
    wcscpy_s(name, capacity, default_service_name);
    if (text == nullptr || text[0] == 0 || text[0] == L':')
        return;
    wchar_t copied[capacity];
    size_t length = 0;
    if (text[0] == L'+') {
        wcscpy_s(copied, default_service_name);
        length = wcslen(copied);
        ++text;
    }
    for (; *text != 0 && *text != L':'; ++text) {
        if (length + 1 >= capacity)
            return; // too long: the default name stays
        copied[length++] = *text == L'/' || *text == L'\\' ? L'_' : *text;
    }
    copied[length] = 0;
    wcscpy_s(name, capacity, copied);
}

void service_host_init()
{
    ServiceHost &host = g_service_host;
    ZeroMemory(&host, sizeof(host));
    wcscpy_s(host.name, default_service_name);
    host.start_after_install = true;
    host.dispatch_table[0].lpServiceName = host.name;
    host.dispatch_table[0].lpServiceProc = service_main;
    host.thread_stack_size = 65536;
    host.thread_flags = STACK_SIZE_PARAM_IS_A_RESERVATION;

    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv != nullptr && argc >= 2 && argv[1] != nullptr && wcsncmp(argv[1], L"-d:", 3) == 0)
        service_name_from_argument(argv[1] + 3, host.name);
    if (argv != nullptr)
        LocalFree(argv);

    create_event(host.e_main_ready, true);
    create_event(host.e_service_stop, true);
    create_event(host.e_host_stopped, true);
    create_event(host.e_param_change, false);
    create_event(host.e_host_started, true);

    host.scm_handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    host.scm_error = host.scm_handle != nullptr ? 0 : GetLastError();
    host.service_error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (host.scm_handle != nullptr) {
        host.service_handle = OpenServiceW(host.scm_handle, host.name, SERVICE_QUERY_STATUS);
        host.service_error = host.service_handle != nullptr ? 0 : GetLastError();
    }
    if (host.service_handle == nullptr) {
        // No service to dispatch: the main entry must not wait for one.
        signal_event(host.e_host_stopped);
        signal_event(host.e_host_started);
        return;
    }
    host.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    host.status.dwCurrentState = SERVICE_STOPPED;
    decide_host_identity(host);
    host.thread_handle = CreateThread(host.thread_security, host.thread_stack_size, dispatcher_thread, &host,
                                      host.thread_flags, &host.thread_id);
    host.thread_created = host.thread_handle != nullptr;
    if (!host.thread_created) {
        // Nothing will dispatch: the process goes on as a console program.
        host.is_service = false;
        signal_event(host.e_host_stopped);
        signal_event(host.e_host_started);
    }
}

void service_host_close()
{
    ServiceHost &host = g_service_host;
    if (host.thread_created) {
        CloseHandle(host.thread_handle);
        host.thread_handle = nullptr;
        host.thread_id = 0;
        host.thread_created = false;
    }
    close_event(host.e_main_ready);
    close_event(host.e_service_stop);
    close_event(host.e_host_stopped);
    close_event(host.e_param_change);
    close_event(host.e_host_started);
    if (host.service_handle != nullptr)
        CloseServiceHandle(host.service_handle);
    if (host.scm_handle != nullptr)
        CloseServiceHandle(host.scm_handle);
    ZeroMemory(&host, sizeof(host));
}

void service_ctrl_handler(DWORD control)
{
    ServiceHost &host = g_service_host;
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        host.status.dwCurrentState = SERVICE_STOP_PENDING;
        host.stop_requested = true;
        break;
    case SERVICE_CONTROL_PAUSE:
        host.status.dwCurrentState = SERVICE_PAUSED;
        if (host.control_callback == nullptr)
            print_prefixed(L"{paused}\n");
        break;
    case SERVICE_CONTROL_CONTINUE:
        host.status.dwCurrentState = SERVICE_RUNNING;
        if (host.control_callback == nullptr)
            print_prefixed(L"{resumed}\n");
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        signal_event(host.e_param_change);
        break;
    case control_trigger_event:
        if (host.control_callback == nullptr)
            print_prefixed(L"{TRIGGEREVENT}\n");
        break;
    default:
        break;
    }
    report_status(host);
    if (host.stop_requested) {
        signal_event(host.e_service_stop);
        if (!host.is_service)
            signal_event(host.e_host_stopped);
    }
    if (host.control_callback != nullptr)
        host.control_callback(control);
}

int service_control(ServiceHost &host, DWORD control)
{
    if (host.scm_handle == nullptr) {
        print_error(no_scm_text, host.name, L"service command failed", host.scm_error);
        return -1;
    }
    SC_HANDLE service = OpenServiceW(host.scm_handle, host.name, access_for(control));
    if (service == nullptr) {
        print_error(L"!! service command [%u]: failed to open %ls! [%u]\n", control, host.name, GetLastError());
        return -1;
    }
    if (control == 0) {
        if (StartServiceW(service, 0, nullptr)) {
            CloseServiceHandle(service);
            print_prefixed(L":: %ls service start [OK]\n", host.name);
            return 0;
        }
        DWORD error = GetLastError();
        set_console_color(color_error);
        print_prefixed(L"!! %ls service start [FAILED:%u]", host.name, error);
        QueryServiceStatus(service, &host.status);
        if (host.console_pid == 0)
            print_state(host.status.dwCurrentState);
        restore_console_color();
        CloseServiceHandle(service);
        return static_cast<int>(host.status.dwCurrentState);
    }
    if (!ControlService(service, control, &host.status)) {
        // The call fills the status only on these errors; after others it would be stale.
        DWORD error = GetLastError();
        if (error != ERROR_DEPENDENT_SERVICES_RUNNING && error != ERROR_INVALID_SERVICE_CONTROL &&
            error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE)
            QueryServiceStatus(service, &host.status);
    }
    if (host.console_pid == 0) {
        print_prefixed(L":: %ls service ", host.name);
        print_state(host.status.dwCurrentState);
    }
    CloseServiceHandle(service);
    return static_cast<int>(host.status.dwCurrentState);
}

int service_install(ServiceHost &host, bool interactive)
{
    wchar_t image[service_command_line_chars];
    // Room as in the command line, after its opening quote.
    const DWORD image_room = service_command_line_chars - 1;
    DWORD length = GetModuleFileNameW(nullptr, image, image_room);
    if (length == 0) {
        print_error(L"!! Unable to determine the path to executable image.\n\t%ls service installation failed [%u]\n",
                    host.name, GetLastError());
        return -1;
    }
    if (length >= image_room) {
        print_error(L"!! The path to the executable image is longer than %u characters.\n"
                    L"\t%ls service installation failed [%u]\n",
                    image_room - 1, host.name, static_cast<unsigned>(ERROR_INSUFFICIENT_BUFFER));
        return -1;
    }
    wchar_t line[service_command_line_chars];
    DWORD refused = build_service_command_line(image, host.name, line);
    if (refused == ERROR_INVALID_NAME) {
        print_error(L"!! A service name must not contain a double quote.\n\t%ls service installation failed [%u]\n",
                    host.name, refused);
        return -1;
    }
    if (refused != 0) {
        print_error(L"!! The service command line would be longer than %u characters.\n"
                    L"\t%ls service installation failed [%u]\n",
                    service_command_line_chars - 1, host.name, refused);
        return -1;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        DWORD error = GetLastError();
        print_error(no_scm_text, host.name, L"service installation failed", error != 0 ? error : host.scm_error);
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
    } else {
        result = static_cast<int>(error);
        if (error == ERROR_SERVICE_EXISTS)
            print_error(L"!! %ls service already exists.\n", host.name);
        else
            print_error(L"!! %ls service installation failed [%u]\n", host.name, error);
    }
    CloseServiceHandle(manager);
    print_out(L"\n");
    if (host.start_after_install)
        service_control(host, 0);
    return result;
}

void service_remove(ServiceHost &host)
{
    service_control(host, SERVICE_CONTROL_STOP);
    SC_HANDLE service =
        host.scm_handle != nullptr ? OpenServiceW(host.scm_handle, host.name, DELETE | SERVICE_QUERY_STATUS) : nullptr;
    DWORD open_error = service == nullptr ? GetLastError() : 0;
    bool stopped = false;
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
                    print_error(L"!! Access Denied while trying to remove service %ls.\n", host.name);
                else if (error == ERROR_INVALID_HANDLE)
                    print_error(L"!! Invalid Handle while trying to remove service %ls.\n", host.name);
                else if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
                    print_error(L"!! %ls service is already marked for deletion.\n", host.name);
                else
                    print_error(L"!! delete service %ls failed [%u].\n", host.name, error);
            } else {
                print_error(L"!! %ls is still running. Stop the service and try again!\n", host.name);
            }
        }
        CloseServiceHandle(service);
    } else if (host.service_handle == nullptr) {
        print_error(L"!! %ls service was not found on the system! %ls [%u]\n", host.name, L"service remove",
                    host.service_error);
    } else {
        print_error(L"!! service remove: failed to open service %ls! [%u]\n", host.name, open_error);
    }
    wchar_t path[path_chars];
    if (format_text(path, path_chars, event_source_path, host.name) >= 0)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    delete_log_file(host.name, stopped);
}

namespace {

void print_service_help()
{
    const wchar_t *d = default_service_name;
    print_out(L":: service commands ::        :name:  specify service name\n"
              L"   s  start                   P  pause\n"
              L"   q  stop                    C  continue\n"
              L"   r  restart\n"
              L"   i  install                 I install interactive service\n"
              L"   u  uninstall               h  help  ?\n"
              L"   c  configuration reload\n"
              L"\n");
    print_out(L"   -di               install service with default name %ls\n"
              L"   -d:+.8080:i       install service %ls.8080\n"
              L"   -dir -uninstall   commands are executed in the order they appear\n"
              L"   -d:%ls:i  install service %ls\n"
              L"   -d:%ls::  run in foreground using %ls.ini\n",
              d, d, d, d, d, d);
    print_out(L"\n"
              L"   configuration .ini files for each service are stored in the\n"
              L"   application directory, and can be reloaded [-reload] without restart\n"
              L"\n");
}

void restart(ServiceHost &host)
{
    service_control(host, SERVICE_CONTROL_STOP);
    service_control(host, 0);
}

} // namespace

int service_commands(ServiceHost &host, int argc, wchar_t **argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr || wcsncmp(argv[1], L"-d", 2) != 0)
        return 0;
    if (argc == 2 && wcscmp(argv[1], L"-d") == 0)
        return 0;
    bool interactive = false;
    int result = 0;
    for (const wchar_t *at = argv[1] + 2; *at != 0;) {
        const wchar_t letter = *at++;
        if (letter == L':') {
            // The name group, which start-up has taken already.
            while (*at != 0 && *at != L':')
                ++at;
            if (*at == L':')
                ++at;
            result = 0;
            continue;
        }
        result = -1;
        switch (letter) {
        case L's': service_control(host, 0); break;
        case L'q': service_control(host, SERVICE_CONTROL_STOP); break;
        case L'r': restart(host); break;
        case L'P': service_control(host, SERVICE_CONTROL_PAUSE); break;
        case L'C': service_control(host, SERVICE_CONTROL_CONTINUE); break;
        case L'c': service_control(host, SERVICE_CONTROL_PARAMCHANGE); break;
        case L'I':
            interactive = true;
            service_install(host, interactive);
            break;
        case L'i': service_install(host, interactive); break;
        case L'u': service_remove(host); break;
        case L'h':
        case L'?': print_service_help(); break;
        default: break;
        }
    }
    if (argc == 2)
        return result;
    for (int i = 2; i < argc; ++i) {
        const wchar_t *word = argv[i];
        if (word == nullptr)
            continue;
        if (wcscmp(word, L"continue") == 0 || wcscmp(word, L"resume") == 0 || wcscmp(word, L"thaw") == 0)
            service_control(host, SERVICE_CONTROL_CONTINUE);
        else if (wcscmp(word, L"delete") == 0 || wcscmp(word, L"remove") == 0 || wcscmp(word, L"uninstall") == 0)
            service_remove(host);
        else if (wcscmp(word, L"freeze") == 0 || wcscmp(word, L"pause") == 0)
            service_control(host, SERVICE_CONTROL_PAUSE);
        else if (wcscmp(word, L"help") == 0)
            print_service_help();
        else if (wcscmp(word, L"install") == 0)
            service_install(host, interactive);
        else if (wcscmp(word, L"reload") == 0)
            service_control(host, SERVICE_CONTROL_PARAMCHANGE);
        else if (wcscmp(word, L"restart") == 0)
            restart(host);
        else if (wcscmp(word, L"start") == 0)
            service_control(host, 0);
        else if (wcscmp(word, L"stop") == 0)
            service_control(host, SERVICE_CONTROL_STOP);
        // "daemon-reload", "disable", "enable" and unknown words: no action.
    }
    return -1;
}
