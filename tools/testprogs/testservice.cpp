// A service for the service host's tests, whose stop takes a given time:
//   testservice <name> <stop milliseconds> [<wait hint milliseconds>]
// It runs under the service manager as <name>; a stop or shutdown reports STOP_PENDING at once
// and STOPPED only after the given time, so a controller sees the pending state for certain.
// The pending state promises to end within the wait hint (default: the stop time and a second)
// and never advances its checkpoint: with a shorter hint it looks hung to a controller.
#include <windows.h>
#include <cwchar>
#include <cstdlib>

namespace {

wchar_t service_name[256];
DWORD stop_delay_ms = 0;
DWORD stop_wait_hint_ms = 0;
SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
HANDLE stop_event = nullptr;

void report(DWORD state, DWORD accepted, DWORD wait_hint)
{
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWaitHint = wait_hint;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, void *, void *)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING, 0, stop_wait_hint_ms);
        SetEvent(stop_event);
    } else {
        SetServiceStatus(status_handle, &status);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t **)
{
    status_handle = RegisterServiceCtrlHandlerExW(service_name, handler, nullptr);
    if (status_handle == nullptr)
        return;
    report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
    WaitForSingleObject(stop_event, INFINITE);
    Sleep(stop_delay_ms);
    report(SERVICE_STOPPED, 0, 0);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3 || argc > 4 || wcslen(argv[1]) >= 256)
        return 2;
    wcscpy_s(service_name, argv[1]);
    stop_delay_ms = wcstoul(argv[2], nullptr, 10);
    stop_wait_hint_ms = argc == 4 ? wcstoul(argv[3], nullptr, 10) : stop_delay_ms + 1000;
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{service_name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
