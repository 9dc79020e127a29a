// Service runtime: the dispatcher thread, the service main routine, the control handler and
// the teardown at exit. It reaches the monitor only through the control callback it is given.
#include "service/service_runtime.h"
#include "service/service_identity.h"
#include "config/registry.h"
#include "console/output.h"
#include "console/redirection.h"
#include <cwchar>

namespace {

constexpr DWORD accepted_controls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN |
                                    SERVICE_ACCEPT_PARAMCHANGE | SERVICE_ACCEPT_TRIGGEREVENT; // 0x40F
constexpr DWORD accept_trigger_event = SERVICE_ACCEPT_TRIGGEREVENT;                       // 0x400
constexpr DWORD control_trigger_event = 32;                                               // SERVICE_CONTROL_TRIGGEREVENT
constexpr DWORD path_chars = 512;
// A pending state advances its checkpoint every second, and promises the next within the hint.
constexpr DWORD pending_step_ms = 1000;
constexpr DWORD pending_wait_hint_ms = 5000;
// How long a pending state keeps advancing: past the monitor's longest step (a 30-second netsh
// wait) with room to spare. A monitor stuck longer then shows to the service manager as hung.
constexpr DWORD pending_advance_ms = 120000;
// How long the teardown waits for the dispatcher thread's last steps.
constexpr DWORD thread_end_wait_ms = 5000;

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

// Whether the service manager is starting or running the named service in this very process.
bool started_by_service_manager(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    if (service == nullptr || !query_process_status(service, status))
        return false;
    return (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING) &&
           status.dwProcessId == GetCurrentProcessId();
}

// Whether the process is a service and interactive; taken in start-up, before the main entry
// reads is_service.
void decide_host_identity(ServiceHost &host)
{
    DWORD session = 0;
    TOKEN_GROUPS *groups = nullptr;
    DWORD error = read_identity_inputs(&session, &groups);
    const bool session_zero = error == 0 && session == 0;
    DWORD installed_type = session_zero ? read_installed_type(host.name) : 0;
    Identity identity = decide_identity(error == 0, session, error == 0 ? groups : nullptr, installed_type,
                                        session_zero && started_by_service_manager(host.service_handle));
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
    if (format_text(path, path_chars, service_parameters_path, host.name) >= 0) {
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

// Reports a pending state, accepting no control, with its first checkpoint.
void begin_pending(ServiceHost &host, DWORD state)
{
    host.status.dwCurrentState = state;
    host.status.dwControlsAccepted = 0;
    host.status.dwCheckPoint = 1;
    host.status.dwWaitHint = pending_wait_hint_ms;
    report_status(host);
}

// Waits for the first of the events, advancing the checkpoint of the pending state every
// second; the index of the event, or count when the wait failed.
DWORD wait_pending(ServiceHost &host, const HANDLE *events, DWORD count)
{
    for (DWORD waited = 0;; waited += pending_step_ms) {
        const DWORD result = WaitForMultipleObjects(count, events, FALSE,
                                                    waited < pending_advance_ms ? pending_step_ms : INFINITE);
        if (result != WAIT_TIMEOUT)
            return result - WAIT_OBJECT_0 < count ? result - WAIT_OBJECT_0 : count;
        ++host.status.dwCheckPoint;
        report_status(host);
    }
}

void report_running(ServiceHost &host)
{
    host.status.dwCheckPoint = 0;
    host.status.dwWaitHint = 0;
    host.status.dwControlsAccepted |= accepted_controls;
    host.status.dwCurrentState = SERVICE_RUNNING;
    if (!SetServiceStatus(host.status_handle, &host.status)) {
        // Systems before Windows 7 refuse the trigger-event control.
        host.status.dwControlsAccepted &= ~accept_trigger_event;
        if (!SetServiceStatus(host.status_handle, &host.status))
            print_host_error(L"[%ls] SetServiceStatus failed %u\n", host.name, GetLastError());
    }
}

} // namespace

void WINAPI service_main(DWORD, LPWSTR *)
{
    ServiceHost &host = g_service_host;
    host.status_handle = RegisterServiceCtrlHandlerW(host.name, service_ctrl_handler);
    if (host.status_handle == nullptr) {
        print_host_error(L"!! RegisterServiceCtrlHandler() failed.\n");
        signal_host_event(host.e_host_started);
        return;
    }
    // START_PENDING until the monitor follows the Security log: RUNNING must mean protected.
    // An end of the monitor comes first, then a stop, then readiness: a service that is already
    // stopping never reports RUNNING.
    enum { ended = 0, stop = 1, ready = 2 };
    begin_pending(host, SERVICE_START_PENDING);
    signal_host_event(host.e_host_started);
    const HANDLE start_events[] = {host.e_monitor_done.handle, host.e_service_stop.handle, host.e_monitor_ready.handle};
    // A wait that fails cannot tell the monitor's state: the service ends with the wait's error,
    // never RUNNING, and never STOPPED as if all were well.
    DWORD wait_error = 0;
    DWORD next = wait_pending(host, start_events, 3);
    if (next == 3) {
        wait_error = GetLastError();
        next = ended;
    }
    if (next == ready) {
        report_running(host);
        if (host.control_callback == nullptr && host.console_pid == 0)
            print_prefixed(L"[STARTED] %ls\n", host.name);
        const HANDLE run_events[] = {host.e_monitor_done.handle, host.e_service_stop.handle};
        const DWORD result = WaitForMultipleObjects(2, run_events, FALSE, INFINITE);
        next = result == WAIT_OBJECT_0 + 1 ? stop : ended;
        if (result == WAIT_FAILED)
            wait_error = GetLastError();
    }
    if (next != ended) {
        if (host.control_callback == nullptr && host.console_pid == 0)
            print_prefixed(L"[STOPPED] %ls\n#################################\n\n", host.name);
        // STOP_PENDING until the monitor has closed its handles and printed its last line.
        begin_pending(host, SERVICE_STOP_PENDING);
        if (wait_pending(host, &host.e_monitor_done.handle, 1) != 0)
            wait_error = GetLastError();
    }
    // Last: the service manager may start the next process as soon as it reads STOPPED. A
    // monitor that ended unasked leaves its error for sc query and the failure actions.
    const DWORD error = host.monitor_error != 0 ? host.monitor_error : wait_error;
    host.status.dwWin32ExitCode = error != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    host.status.dwServiceSpecificExitCode = error;
    host.status.dwControlsAccepted = 0;
    host.status.dwCheckPoint = 0;
    host.status.dwWaitHint = 0;
    host.status.dwCurrentState = SERVICE_STOPPED;
    report_status(host);
}

void service_monitor_ready()
{
    signal_host_event(g_service_host.e_monitor_ready);
}

void service_monitor_finished(DWORD error)
{
    g_service_host.monitor_error = error;
    signal_host_event(g_service_host.e_monitor_done);
}

namespace {

DWORD WINAPI dispatcher_thread(void *parameter)
{
    ServiceHost &host = *static_cast<ServiceHost *>(parameter);
    if (host.is_service) {
        set_up_service_output(host);
        wait_host_event(host.e_main_ready);
        host.is_service = StartServiceCtrlDispatcherW(host.dispatch_table) != FALSE;
    }
    signal_host_event(host.e_host_stopped);
    signal_host_event(host.e_host_started);
    return 0;
}

} // namespace

void start_service_dispatcher(ServiceHost &host)
{
    host.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    host.status.dwCurrentState = SERVICE_STOPPED;
    decide_host_identity(host);
    host.thread_handle = CreateThread(host.thread_security, host.thread_stack_size, dispatcher_thread, &host,
                                      host.thread_flags, &host.thread_id);
    host.thread_created = host.thread_handle != nullptr;
    if (!host.thread_created) {
        // Nothing will dispatch: the process goes on as a console program.
        host.is_service = false;
        signal_host_event(host.e_host_stopped);
        signal_host_event(host.e_host_started);
    }
}

bool running_as_service()
{
    return g_service_host.is_service;
}

void service_host_close()
{
    ServiceHost &host = g_service_host;
    if (host.thread_created) {
        // The dispatcher thread signals two events as its last steps, after the main entry's
        // wait for it has ended; a thread still waiting for the main entry (which ended early)
        // keeps every handle, and the end of the process takes them.
        if (WaitForSingleObject(host.thread_handle, thread_end_wait_ms) != WAIT_OBJECT_0)
            return;
        CloseHandle(host.thread_handle);
        host.thread_handle = nullptr;
        host.thread_id = 0;
        host.thread_created = false;
    }
    close_host_event(host.e_main_ready);
    close_host_event(host.e_service_stop);
    close_host_event(host.e_host_stopped);
    close_host_event(host.e_param_change);
    close_host_event(host.e_host_started);
    close_host_event(host.e_monitor_ready);
    close_host_event(host.e_monitor_done);
    if (host.service_handle != nullptr) {
        CloseServiceHandle(host.service_handle);
        host.service_handle = nullptr;
    }
    if (host.scm_handle != nullptr) {
        CloseServiceHandle(host.scm_handle);
        host.scm_handle = nullptr;
    }
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
    // A pending start or stop stays pending: a pause or continue from the keys must not make a
    // stopping service read as running.
    case SERVICE_CONTROL_PAUSE:
        if (host.status.dwCurrentState == SERVICE_RUNNING || host.status.dwCurrentState == SERVICE_PAUSED)
            host.status.dwCurrentState = SERVICE_PAUSED;
        if (host.control_callback == nullptr)
            print_prefixed(L"{paused}\n");
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (host.status.dwCurrentState == SERVICE_RUNNING || host.status.dwCurrentState == SERVICE_PAUSED)
            host.status.dwCurrentState = SERVICE_RUNNING;
        if (host.control_callback == nullptr)
            print_prefixed(L"{resumed}\n");
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        signal_host_event(host.e_param_change);
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
        signal_host_event(host.e_service_stop);
        if (!host.is_service)
            signal_host_event(host.e_host_stopped);
    }
    if (host.control_callback != nullptr)
        host.control_callback(control);
}
