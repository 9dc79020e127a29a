// Service control operations: start, stop, pause, continue and reload the service through the
// Service Control Manager, each reporting the state it returned, and the stop that waits.
#include "service/service_control.h"
#include "console/output.h"
#include <cwchar>

namespace {

constexpr DWORD error_text_chars = 256;
// The wait for a stop: the state is read every quarter second; the service must advance its
// checkpoint within its wait hint and this margin (a loaded machine is slow to schedule it),
// and be stopped within the limit in all (its longest step is a 30-second netsh wait).
constexpr DWORD stop_poll_ms = 250;
constexpr DWORD stop_margin_ms = 3000;
constexpr DWORD stop_limit_ms = 60000;
// How long a stopped service's process may take to end before a start or removal goes on.
constexpr DWORD process_end_wait_ms = 10000;

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

// The word of a control in a failure line.
void control_word(DWORD control, wchar_t *word, size_t capacity)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: format_text(word, capacity, L"stop"); break;
    case SERVICE_CONTROL_PAUSE: format_text(word, capacity, L"pause"); break;
    case SERVICE_CONTROL_CONTINUE: format_text(word, capacity, L"continue"); break;
    case SERVICE_CONTROL_PARAMCHANGE: format_text(word, capacity, L"reload"); break;
    default: format_text(word, capacity, L"control %u", control); break;
    }
}

// service_control; with quiet_when_stopping, a failed control that leaves the service stopped or
// stopping prints no "!!" line and counts as done. *failed tells whether it failed otherwise.
int send_control(ServiceHost &host, DWORD control, bool quiet_when_stopping, bool *failed)
{
    *failed = true;
    if (host.scm_handle == nullptr) {
        print_host_error(no_scm_text, host.name, L"service command failed", host.scm_error);
        return -1;
    }
    SC_HANDLE service = OpenServiceW(host.scm_handle, host.name, access_for(control));
    if (service == nullptr) {
        print_host_error(L"!! service command [%u]: failed to open %ls! [%u]\n", control, host.name, GetLastError());
        return -1;
    }
    if (control == 0) {
        if (StartServiceW(service, 0, nullptr)) {
            CloseServiceHandle(service);
            print_prefixed(L":: %ls service start [OK]\n", host.name);
            *failed = false;
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
    *failed = false;
    if (!ControlService(service, control, &host.status)) {
        // The call fills the status only on these errors; after others it would be stale.
        DWORD error = GetLastError();
        if (error != ERROR_DEPENDENT_SERVICES_RUNNING && error != ERROR_INVALID_SERVICE_CONTROL &&
            error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE)
            QueryServiceStatus(service, &host.status);
        const DWORD state = host.status.dwCurrentState;
        *failed = !(quiet_when_stopping && (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING));
        if (*failed) {
            wchar_t word[32], text[error_text_chars];
            control_word(control, word, 32);
            system_error_text(error, text, error_text_chars);
            print_host_error(L"!! %ls service %ls [FAILED:%u] %ls\n", host.name, word, error, text);
        }
    }
    if (host.console_pid == 0) {
        print_prefixed(L":: %ls service ", host.name);
        print_state(host.status.dwCurrentState);
    }
    CloseServiceHandle(service);
    return static_cast<int>(host.status.dwCurrentState);
}

// Waits until the service reads STOPPED (with starting_only, any state but START_PENDING),
// while it advances its checkpoint and within the limit.
bool wait_for_service(ServiceHost &host, SC_HANDLE service, bool starting_only)
{
    const ULONGLONG start = GetTickCount64();
    ULONGLONG progress_at = start;
    DWORD checkpoint = 0;
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        if (!query_process_status(service, status)) {
            print_host_error(L"!! QueryServiceStatusEx() FAILED %u: %ls\n", GetLastError(), host.name);
            return false;
        }
        if (status.dwCurrentState == SERVICE_STOPPED ||
            (starting_only && status.dwCurrentState != SERVICE_START_PENDING))
            return true;
        const ULONGLONG now = GetTickCount64();
        if (status.dwCheckPoint != checkpoint) {
            checkpoint = status.dwCheckPoint;
            progress_at = now;
        }
        if (now - progress_at > status.dwWaitHint + stop_margin_ms || now - start > stop_limit_ms) {
            print_host_error(L"!! %ls service did not stop within %u seconds %ls\n", host.name,
                             static_cast<unsigned>((now - start + 999) / 1000), state_text(status.dwCurrentState) != nullptr
                                                                                   ? state_text(status.dwCurrentState)
                                                                                   : L"");
            return false;
        }
        Sleep(stop_poll_ms);
    }
}

} // namespace

int service_control(ServiceHost &host, DWORD control)
{
    bool failed = false;
    return send_control(host, control, false, &failed);
}

bool stop_service_and_wait(ServiceHost &host)
{
    // The process is taken before the stop: once stopped, the service no longer names it.
    SC_HANDLE service =
        host.scm_handle != nullptr ? OpenServiceW(host.scm_handle, host.name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS before = {};
    HANDLE process = nullptr;
    if (service != nullptr && query_process_status(service, before) && before.dwProcessId != 0 &&
        before.dwProcessId != GetCurrentProcessId())
        process = OpenProcess(SYNCHRONIZE, FALSE, before.dwProcessId);
    // A starting service accepts no control until its monitor is ready (Windows refuses the
    // stop with 1061): a restart or removal right after an installation waits for that first.
    if (before.dwCurrentState == SERVICE_START_PENDING && !wait_for_service(host, service, true)) {
        if (process != nullptr)
            CloseHandle(process);
        CloseServiceHandle(service);
        return false;
    }
    // A service that is stopped or stopping already is where the caller wants it: no failure
    // line for that (a removal right after a stop).
    bool failed = false;
    const int state = send_control(host, SERVICE_CONTROL_STOP, true, &failed);
    bool running = state != -1 && state != SERVICE_STOPPED;
    if (running && !failed && service != nullptr)
        running = !wait_for_service(host, service, false);
    // Its process ends right after it reported STOPPED; a start before that would overlap two
    // monitors (and Wine's service manager refuses it).
    if (process != nullptr) {
        if (!running)
            WaitForSingleObject(process, process_end_wait_ms);
        CloseHandle(process);
    }
    if (service != nullptr)
        CloseServiceHandle(service);
    return !running;
}
