// The Security log's handle, its opening (a step of the monitor's start-up) and the closing of
// every handle the monitor opened, in their fixed order.
#include "engine/security_log.h"
#include "engine/rdp_monitor.h"
#include "engine/forwarded_monitor.h"
#include "engine/report.h"
#include "console/output.h"

HANDLE security_log = nullptr;

DWORD open_security_log()
{
    print_out(L"# Open Security log: ");
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    if (log != nullptr) {
        security_log = log;
        print_out(L"OK\n");
        return 0;
    }
    DWORD error = GetLastError();
    if (error == 0)
        error = ERROR_INVALID_HANDLE; // a failure must never read as success
    wchar_t code[16];
    format_text(code, 16, L"%u", error);
    const wchar_t *strings[2] = {L"Cannot open the security log", code};
    report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ERROR, MSG_ERROR, strings, 2, nullptr);
    set_console_color(color_error);
    if (error == ERROR_PRIVILEGE_NOT_HELD)
        print_out(L"%ls %u\n", L"A required privilege is not held by the client:", error);
    else
        print_out(L"%ls %u\n", L"FAILED", error);
    restore_console_color();
    wait_key_if_debugged();
    return error;
}

void close_monitor_handles()
{
    close_rdp_monitor();
    close_forwarded_monitor();
    if (security_log != nullptr) {
        CloseEventLog(security_log);
        security_log = nullptr;
    }
    close_event_source();
}
