// PLACEHOLDER: the Security log loop arrives with its own issue. Until then the main entry
// formats the key paths and reports how the process started.
#include "engine/monitor.h"
#include "console/output.h"
#include "config/version_probe.h"
#include "service/service_host.h"

volatile LONG monitor_request = 0;
volatile bool monitor_paused = false;
HANDLE security_log = nullptr;
HANDLE event_source = nullptr;
EVT_HANDLE rdp_subscription = nullptr;
EVT_HANDLE rdp_render_context = nullptr;
HANDLE e_notify_new_event = nullptr;
wchar_t module_path[512];
wchar_t parameters_key_path[512];
wchar_t event_source_key_path[512];

int monitor_main(int argc, wchar_t **argv)
{
    GetModuleFileNameW(nullptr, module_path, 512);
    format_text(parameters_key_path, 512, L"SYSTEM\\CurrentControlSet\\Services\\%ls\\Parameters", default_service_name);
    format_text(event_source_key_path, 512, L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\%ls",
                default_service_name);
    print_out(L"###  tosmire's Intrusion Prevention System  ###\n");
    print_out(L"  program:        %ls\n", module_path);
    print_out(L"  configuration:  %ls\n                  %ls\n", parameters_key_path, event_source_key_path);
    print_out(L"  Windows 6.0+:   %ls\n  Windows 6.3+:   %ls\n", os_vista_or_later ? L"yes" : L"no",
              os_win81_or_later ? L"yes" : L"no");
    return 0;
}

DWORD open_security_log() { return ERROR_CALL_NOT_IMPLEMENTED; }
void close_monitor_handles() {}

void send_monitor_request(MonitorRequest request)
{
    InterlockedExchange(&monitor_request, static_cast<LONG>(request));
    if (e_notify_new_event != nullptr)
        SetEvent(e_notify_new_event);
}
