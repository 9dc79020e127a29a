// The service host's control callback and the flags of the key console.
#include "console/key_console.h"
#include "console/output.h"
#include "engine/monitor.h"
#include "engine/report.h"
#include "service/service_runtime.h"

volatile bool debug_console = false;
volatile bool exit_now = false;
volatile bool keys_quit_only = false;

void monitor_control(DWORD control)
{
    const bool in_service = running_as_service();
    const bool to_file = g_shadow_console.to_log_file;
    // report_event skips the report once the main thread has closed the event source: this may
    // run on the service control thread during shutdown.
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        if (in_service)
            report_event(EVENTLOG_INFORMATION_TYPE, CATEGORY_STOPPED, MSG_STOPPED, nullptr, 0, "STOPPED");
        send_monitor_request(MonitorRequest::quit);
        break;
    case SERVICE_CONTROL_PAUSE:
        // On a console the notices stand inside the current line; in the log file they are marked.
        set_console_color(color_pause);
        print_out(L"%ls", to_file ? L"# {paused} " : L"{paused} ");
        set_monitor_paused(true);
        if (in_service)
            report_event(EVENTLOG_INFORMATION_TYPE, CATEGORY_PAUSED, MSG_PAUSED, nullptr, 0, "PAUSED");
        break;
    case SERVICE_CONTROL_CONTINUE:
        set_console_color(color_success);
        print_out(L"%ls", to_file ? L"# {resumed} #\n" : L"{resumed}");
        set_monitor_paused(false);
        if (in_service)
            report_event(EVENTLOG_INFORMATION_TYPE, CATEGORY_RUNNING, MSG_RUNNING, nullptr, 0, "RUNNING");
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        // The loop reads the configuration again between two records and tells what it found.
        send_monitor_request(MonitorRequest::reload_config);
        break;
    default:
        break;
    }
    reset_console_color();
}
