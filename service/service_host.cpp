// PLACEHOLDER: the service host (command line, control operations, runtime) arrives with its
// own issues. Until then the process always runs as a console program under the default
// name, no hand-shake events exist, and a "-d" argument is not acted upon.
#include "service/service_host.h"
#include <cwchar>

const wchar_t default_service_name[] = L"tosmire.IPS";
ServiceHost g_service_host; // owner comment at its declaration in service_host.h

void service_host_init()
{
    ZeroMemory(&g_service_host, sizeof(g_service_host));
    wcscpy_s(g_service_host.name, default_service_name);
    g_service_host.start_after_install = true;
    g_service_host.service_error = ERROR_SERVICE_DOES_NOT_EXIST;
}

int service_commands(ServiceHost &, int argc, wchar_t **argv)
{
    if (argc < 2 || wcsncmp(argv[1], L"-d", 2) != 0)
        return 0;
    return 0;
}

void service_ctrl_handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN)
        g_service_host.stop_requested = true;
    if (g_service_host.control_callback != nullptr)
        g_service_host.control_callback(control);
}

// PLACEHOLDERS of the service control operations; see the note at the top.
void service_host_close() {}

int time_prefix(wchar_t *text)
{
    text[0] = 0;
    return 0;
}

int service_control(ServiceHost &, DWORD)
{
    return -1;
}

int service_install(ServiceHost &, bool)
{
    return -1;
}

void service_remove(ServiceHost &) {}
