// Security log monitor: the loop that reads the Security log forward in batches, the recovery
// after the log was cleared, and the orderly closing of what it opened.
#include "engine/monitor.h"
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/report.h"
#include "engine/security_log.h"
#include "engine/startup.h"
#include "config/event_dump.h"
#include "console/output.h"
#include <cstdio>
#include <cwchar>

volatile LONG monitor_request = 0;
volatile bool monitor_paused = false;
HANDLE e_notify_new_event = nullptr;

namespace {

constexpr DWORD read_buffer_bytes = 65536;
constexpr int exit_start_failed = 575;

// The time text of the record being handled; main thread only, rewritten for every record.
wchar_t time_text[time_text_chars];
// What the main entry said of the process, for the loop's ending on a lost log connection;
// set by run_monitor on the main thread before the loop starts.
bool host_is_service = false;
const bool *host_stop_requested = nullptr;

// A service's monitor that ends unasked says so in the Application log: the Services console
// shows only that the service stopped.
void report_monitoring_stopped(const wchar_t *why, DWORD code)
{
    if (!host_is_service)
        return;
    wchar_t text[128], number[16];
    format_text(text, 128, L"Monitoring stopped: %ls", why);
    format_text(number, 16, L"%u", code);
    const wchar_t *strings[2] = {text, number};
    report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ERROR, MSG_ERROR, strings, 2, nullptr);
}

// A failure that ends the monitor: its line and, in a service, its report. The exit code: the
// error, never 0, which means an orderly quit.
DWORD monitor_failure(const wchar_t *message, DWORD code)
{
    set_console_color(color_error);
    print_out(L"%ls %u", message, code);
    restore_console_color();
    report_monitoring_stopped(message, code);
    wait_key_if_debugged();
    return code != 0 ? code : ERROR_GEN_FAILURE;
}

// Positions the next sequential read after the newest record and renders its time; 0 or the
// exit code of a failure.
DWORD seek_newest_record(BYTE *buffer, wchar_t *newest_time)
{
    DWORD oldest = 0, number = 0;
    if (!GetOldestEventLogRecord(security_log, &oldest))
        return monitor_failure(L"GetOldestEventLogRecord() FAILED", GetLastError());
    if (!GetNumberOfEventLogRecords(security_log, &number))
        return monitor_failure(L"GetNumberOfEventLogRecords() FAILED", GetLastError());
    DWORD bytes_read = 0, bytes_needed = 0;
    if (!ReadEventLogW(security_log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, oldest + number - 1, buffer,
                       read_buffer_bytes, &bytes_read, &bytes_needed))
        return monitor_failure(L"seek FAILED", GetLastError());
    if (bytes_read < sizeof(EVENTLOGRECORD) || bytes_read > read_buffer_bytes)
        return monitor_failure(L"seek FAILED", ERROR_INVALID_DATA);
    format_event_time(reinterpret_cast<const EVENTLOGRECORD *>(buffer)->TimeGenerated, newest_time);
    return 0;
}

// Decodes one record and hands a logon on to the block decision.
void process_record(const EVENTLOGRECORD *record, DWORD length)
{
    LogonReport report;
    bool is_success = false;
    switch (decode_logon_event(record, length, time_text, report, is_success)) {
    case DecodeResult::accepted:
        // The dump and the decision lines go out in one write; a report or a started
        // program writes what came before it first.
        output_gather_begin();
        dump_event_record(record, length, time_text);
        if (is_success)
            handle_logon_success(report);
        else
            handle_logon_failure(report, record->TimeGenerated, time_text);
        output_gather_end();
        break;
    case DecodeResult::spoofed:
        handle_spoofed_address(report, record->TimeGenerated, time_text);
        break;
    case DecodeResult::rejected:
        break;
    }
}

void serve_request(LONG request)
{
    if (request == static_cast<LONG>(MonitorRequest::show_history)) {
        if (logon_failures.count == 0) {
            print_out(L"EMPTY\n\n");
            return;
        }
        print_out(L"\n\n");
        for (uint32_t i = 0; i < logon_failures.count; ++i)
            print_out(L"[%4u] %ls\n", logon_failures.attempts[i], logon_failures.address[i]);
        print_out(L"\n");
    } else if (request == static_cast<LONG>(MonitorRequest::reset_history)) {
        if (logon_failures.count == 0) {
            print_out(L"EMPTY\n\n");
            return;
        }
        reset_history(logon_failures);
        print_out(L"OK\n\n");
    }
}

// The Security log was cleared: reopen every event source and follow the new log.
// logon_failures is left as it is. 0 or the exit code of a failure.
DWORD recover_cleared_log(BYTE *buffer)
{
    set_console_color(color_notice);
    print_out(L"# The audit log was cleared.\n");
    restore_console_color();
    set_console_color(color_heading);
    close_monitor_handles();
    if (start_monitor() != 0) {
        // start_monitor has printed why.
        DWORD code = GetLastError();
        report_monitoring_stopped(L"start-up FAILED", code);
        return code != 0 ? code : ERROR_GEN_FAILURE;
    }
    wchar_t newest_time[time_text_chars];
    if (DWORD failed = seek_newest_record(buffer, newest_time))
        return failed;
    if (!NotifyChangeEventLog(security_log, e_notify_new_event))
        return monitor_failure(L"failed to register notification for new events", GetLastError());
    print_out(L"waiting for new events...[%ls]\n\n", newest_time);
    reset_console_color();
    return 0;
}

// Follows the Security log until a quit request (0) or a failure (its exit code). A lost log
// connection (1717) in a service that was asked to stop is part of that stop.
DWORD follow_security_log(BYTE *buffer)
{
    for (;;) {
        // Reset before taking the request: a request stored after the take comes with a
        // signal that the reset can no longer erase, so the wait below ends at once and the
        // next iteration serves it. A request stored before the take is served now.
        ResetEvent(e_notify_new_event);
        LONG request = InterlockedExchange(&monitor_request, static_cast<LONG>(MonitorRequest::none));
        if (request == static_cast<LONG>(MonitorRequest::quit))
            return 0;
        serve_request(request);

        DWORD bytes_read = 0, bytes_needed = 0;
        if (ReadEventLogW(security_log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer,
                          read_buffer_bytes, &bytes_read, &bytes_needed)) {
            if (!monitor_paused)
                walk_batch(buffer, bytes_read < read_buffer_bytes ? bytes_read : read_buffer_bytes, process_record);
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
            if (WaitForSingleObject(e_notify_new_event, INFINITE) != WAIT_OBJECT_0)
                return monitor_failure(L"wait for notification failed", GetLastError());
        } else if (error == ERROR_EVENTLOG_FILE_CHANGED) {
            if (DWORD failed = recover_cleared_log(buffer))
                return failed;
        } else if (error == RPC_S_UNKNOWN_IF && host_is_service && host_stop_requested != nullptr && *host_stop_requested) {
            return 0; // the system shuts the event log service down with ours
        } else {
            return monitor_failure(L"read failed", error);
        }
    }
}

} // namespace

int run_monitor(bool is_service, const bool *stop_requested, void (*following)(), DWORD *error)
{
    host_is_service = is_service;
    host_stop_requested = stop_requested;
    *error = start_monitor();
    if (*error != 0) {
        close_monitor_handles();
        return exit_start_failed;
    }
    static const char running[] = "RUNNING";
    report_event(EVENTLOG_INFORMATION_TYPE, CATEGORY_RUNNING, MSG_RUNNING, nullptr, 0, running);
    init_history(logon_failures);

    // Page-aligned, as records are processed in place.
    BYTE *buffer = static_cast<BYTE *>(VirtualAlloc(nullptr, read_buffer_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    HANDLE notify = nullptr;
    wchar_t newest_time[time_text_chars];
    if (buffer == nullptr)
        *error = monitor_failure(L"failed to allocate buffer for events", GetLastError());
    else
        *error = seek_newest_record(buffer, newest_time);
    if (*error == 0) {
        print_out(L"# Waiting for new events... [%ls]", newest_time);
        if (IsDebuggerPresent()) {
            set_console_color(color_error);
            print_out(L"  DBG");
            reset_console_color();
        }
        print_out(L"\n\n");
        notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (notify == nullptr)
            *error = monitor_failure(L"failed to create event:e_notify_new_event", GetLastError());
    }
    if (*error == 0) {
        e_notify_new_event = notify;
        if (!NotifyChangeEventLog(security_log, e_notify_new_event))
            *error = monitor_failure(L"failed to register notification for new events", GetLastError());
    }
    if (*error == 0) {
        reset_console_color();
        following();
        *error = follow_security_log(buffer);
    }

    if (buffer != nullptr)
        VirtualFree(buffer, 0, MEM_RELEASE);
    // Cleared before it is closed, so that a sender arriving later finds no handle to signal.
    notify = static_cast<HANDLE>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&e_notify_new_event), nullptr));
    if (notify != nullptr)
        CloseHandle(notify);
    close_monitor_handles();
    return static_cast<int>(*error);
}

void send_monitor_request(MonitorRequest request)
{
    InterlockedExchange(&monitor_request, static_cast<LONG>(request));
    HANDLE notify = e_notify_new_event;
    if (notify != nullptr)
        SetEvent(notify);
}

bool monitor_is_paused()
{
    return monitor_paused;
}

void set_monitor_paused(bool paused)
{
    monitor_paused = paused;
}

DWORD walk_batch(const BYTE *batch, DWORD bytes_read, void (*visit)(const EVENTLOGRECORD *record, DWORD length))
{
    DWORD visited = 0;
    DWORD offset = 0;
    // Every step is bounded by the bytes read: a damaged Length ends the batch, never the loop.
    while (bytes_read - offset >= sizeof(EVENTLOGRECORD)) {
        const EVENTLOGRECORD *record = reinterpret_cast<const EVENTLOGRECORD *>(batch + offset);
        DWORD length = record->Length;
        if (length < sizeof(EVENTLOGRECORD) || (length & 3) != 0 || length > bytes_read - offset)
            break;
        visit(record, length);
        ++visited;
        offset += length;
    }
    return visited;
}
