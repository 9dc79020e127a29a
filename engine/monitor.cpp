// Security log monitor: the loop that reads the Security log forward in batches, the recovery
// after the log was cleared, and the orderly closing of what it opened.
#include "engine/monitor.h"
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/forwarded_monitor.h"
#include "engine/logon_event.h"
#include "engine/report.h"
#include "engine/security_log.h"
#include "engine/startup.h"
#include "config/config.h"
#include "config/event_dump.h"
#include "console/output.h"
#include "commands/ipsec_store.h"
#include <cstdio>
#include <cwchar>

volatile LONG monitor_request = 0;
volatile bool monitor_paused = false;
HANDLE e_notify_new_event = nullptr;

namespace {

// A reload asked for: set by send_monitor_request on the sender's thread, taken by the loop.
volatile LONG reload_requested = 0;
// Signalled by the registry when a value of the configuration key changes (auto-reset).
// Created and closed by run_monitor on the main thread; null when there is none.
HANDLE e_config_changed = nullptr;

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
    const DecodeResult decoded = decode_logon_event(record, length, time_text, report, is_success);
    if (decoded != DecodeResult::rejected)
        start_whole_line();
    // The lines show the record's own time; a failure may count at a later one (forwarded events).
    switch (decoded) {
    case DecodeResult::accepted:
        // The dump and the decision lines go out in one write; a report or a started
        // program writes what came before it first.
        output_gather_begin();
        dump_event_record(record, length, time_text);
        if (is_success)
            handle_logon_success(report);
        else
            handle_logon_failure(report, fleet_count_time(record->TimeGenerated), time_text);
        output_gather_end();
        break;
    case DecodeResult::spoofed:
        handle_spoofed_address(report, fleet_count_time(record->TimeGenerated), time_text);
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

// Watches the configuration key for the next edit. Without a key there is nothing to watch (a
// reload says so); another failure is told: an edit then takes effect at a reload request.
void watch_configuration(bool fired)
{
    const wchar_t *call = nullptr;
    const DWORD error = e_config_changed != nullptr ? watch_config(e_config_changed, fired, &call) : 0;
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        return;
    set_console_color(color_error);
    print_out(L"!! %ls() FAILED %u: an edit of the configuration takes effect at a reload\n", call, error);
    restore_console_color();
}

// Reads the configuration again and puts it in force between two records; the failure history
// keeps its counts. A change seen by the registry watch (fired) that changes nothing, such as
// the defaults a reload wrote back, is not told; a requested reload always is.
void reload_configuration(bool fired)
{
    watch_configuration(fired); // before the read: no later change is missed
    const bool was_following = forwarded_events != 0;
    const IpsecStore store_before = ipsec_store;
    const ConfigReload reload = reload_config();
    if (reload.error != ERROR_SUCCESS) {
        start_whole_line();
        set_console_color(color_error);
        print_out(L"!! Configuration not reloaded, the lists in force are kept: %ls() FAILED %u\n", reload.call,
                  reload.error);
        restore_console_color();
        wchar_t code[12];
        format_text(code, 12, L"%u", reload.error);
        const wchar_t *strings[2] = {L"Configuration not reloaded, the lists in force are kept", code};
        report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ERROR, MSG_ERROR, strings, 2, nullptr);
        return;
    }
    if (fired && !reload.changed)
        return;
    start_whole_line(); // after a pause notice, say
    wchar_t addresses[24], users[24], normal[40], whitelisted[40];
    format_text(addresses, 24, L"%llu", static_cast<unsigned long long>(whitelist_IP.count));
    format_text(users, 24, L"%llu", static_cast<unsigned long long>(whitelist_user.count));
    format_text(normal, 40, L"%u/%u/%u", max_logon_count_normal_net, max_logon_count_normal_net_clear_text,
                max_logon_count_normal_RDP);
    format_text(whitelisted, 40, L"%u/%u/%u", max_logon_count_whitelist_net, max_logon_count_whitelist_net_clear_text,
                max_logon_count_whitelist_RDP);
    print_out(L"# Configuration reloaded: %ls addresses, %ls user names, thresholds %ls %ls\n", addresses, users,
              normal, whitelisted);
    const wchar_t *strings[4] = {addresses, users, normal, whitelisted};
    report_event(EVENTLOG_INFORMATION_TYPE, CATEGORY_RUNNING, MSG_CONFIG_RELOADED, strings, 4, "RELOADED");
    // The two settings of a fleet take effect here too: the channel is followed from now on, or
    // no longer; the next netsh run acts on the store now named.
    if ((forwarded_events != 0) != was_following) {
        if (forwarded_events != 0) {
            start_forwarded_monitor();
        } else {
            close_forwarded_monitor();
            print_out(L"# Forwarded events are no longer followed\n");
        }
    }
    if (store_before.domain != ipsec_store.domain || wcscmp(store_before.name, ipsec_store.name) != 0 ||
        wcscmp(store_before.refused, ipsec_store.refused) != 0)
        print_ipsec_store(true);
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
        if (InterlockedExchange(&reload_requested, 0) != 0)
            reload_configuration(false);
        serve_forwarded_events(monitor_paused);

        DWORD bytes_read = 0, bytes_needed = 0;
        if (ReadEventLogW(security_log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer,
                          read_buffer_bytes, &bytes_read, &bytes_needed)) {
            if (!monitor_paused)
                walk_batch(buffer, bytes_read < read_buffer_bytes ? bytes_read : read_buffer_bytes, process_record);
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
            // New records first: with both signalled the wait names the lower index.
            const HANDLE events[2] = {e_notify_new_event, e_config_changed};
            const DWORD woken = WaitForMultipleObjects(e_config_changed != nullptr ? 2 : 1, events, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0 + 1)
                reload_configuration(true);
            else if (woken != WAIT_OBJECT_0)
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
        set_forwarded_wake(notify);
        if (!NotifyChangeEventLog(security_log, e_notify_new_event))
            *error = monitor_failure(L"failed to register notification for new events", GetLastError());
    }
    if (*error == 0) {
        reset_console_color();
        // An edit of the configuration key takes effect by itself; without a watch, at a reload.
        e_config_changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (e_config_changed == nullptr) {
            set_console_color(color_error);
            print_out(L"!! CreateEventW() FAILED %u: an edit of the configuration takes effect at a reload\n",
                      GetLastError());
            restore_console_color();
        }
        watch_configuration(true);
        following();
        *error = follow_security_log(buffer);
    }

    if (buffer != nullptr)
        VirtualFree(buffer, 0, MEM_RELEASE);
    // Cleared before it is closed, so that a sender arriving later finds no handle to signal.
    set_forwarded_wake(nullptr);
    notify = static_cast<HANDLE>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&e_notify_new_event), nullptr));
    if (notify != nullptr)
        CloseHandle(notify);
    // The watched key before its event: closing the key may signal it.
    unwatch_config();
    if (e_config_changed != nullptr)
        CloseHandle(e_config_changed);
    e_config_changed = nullptr;
    close_monitor_handles();
    return static_cast<int>(*error);
}

void send_monitor_request(MonitorRequest request)
{
    const LONG quit = static_cast<LONG>(MonitorRequest::quit);
    if (request == MonitorRequest::reload_config) {
        InterlockedExchange(&reload_requested, 1);
    } else {
        // A pending quit is never replaced: a key pressed right after Q must not undo it.
        LONG seen = monitor_request;
        for (LONG before; seen != quit; seen = before)
            if ((before = InterlockedCompareExchange(&monitor_request, static_cast<LONG>(request), seen)) == seen)
                break;
    }
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
