// Remote Desktop connection monitor. The handler runs on the subscription's callback thread,
// beside the Security log loop; it alone uses rdp_evt_msg and rdp_failures.
#include "engine/rdp_monitor.h"
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/report.h"
#include "config/config.h"
#include "console/output.h"
#include "commands/ipsec_store.h"
#include "commands/runner.h"

namespace {

constexpr wchar_t channel[] = L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational";
constexpr wchar_t query[] = L"Event/System/EventID=140";
// Constant: the values rendered for each event, in the order the handler reads them.
const wchar_t *const property_paths[3] = {L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID",
                                          L"Event/EventData/Data"};

// One delivery at a time: whether the platform overlaps deliveries is not ours to know, and
// rdp_evt_msg and rdp_failures have a single user. An exclusive lock rather than a try-lock,
// so that an overlapping delivery waits instead of losing its event. The render context is
// closed only under this lock (close_rdp_monitor), so no delivery renders with a closed one.
SRWLOCK delivery_lock = SRWLOCK_INIT;

// Rendered values of the event being handled and its block command: written and read only by
// handle_connection_event, under the delivery lock, for one delivery at a time.
constexpr DWORD rdp_evt_msg_bytes = 131072;
alignas(16) BYTE rdp_evt_msg[rdp_evt_msg_bytes];
wchar_t rdp_block_command[command_chars];

void handle_connection_event(EVT_HANDLE event)
{
    // The subscription may deliver before the render context exists, or after it was closed.
    if (rdp_render_context == nullptr)
        return;
    DWORD used = 0, count = 0;
    if (!EvtRender(rdp_render_context, event, EvtRenderEventValues, rdp_evt_msg_bytes, rdp_evt_msg, &used, &count)) {
        DWORD error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER)
            print_out(L"rdp_evt_handler  insuficient memory in rdp_evt_msg: %u/%u\n", rdp_evt_msg_bytes, used);
        else
            print_out(L"rdp_evt_handler  EvtRender FAILED %u\n", error);
        return;
    }
    const EVT_VARIANT *values = reinterpret_cast<const EVT_VARIANT *>(rdp_evt_msg);
    if (count != 3 || values[0].Type != EvtVarTypeFileTime || values[1].Type != EvtVarTypeUInt16 ||
        values[2].Type != EvtVarTypeString || values[2].StringVal == nullptr) {
        print_out(L"rdp_evt_handler  unexpected event format\n");
        return;
    }
    if (values[1].UInt16Val != 140) {
        print_out(L"rdp_evt_handler  expected event ID 140, but got %u\n", static_cast<unsigned>(values[1].UInt16Val));
        return;
    }

    const wchar_t *address = values[2].StringVal;
    uint64_t now = values[0].FileTimeVal / 10000000ull;
    uint32_t attempts = record_failure(rdp_failures, address, now);
    if (attempts == blocked)
        return;
    wchar_t time_text[time_text_chars];
    wchar_t attempts_text[8];
    format_file_time(values[0].FileTimeVal, time_text);
    format_text(attempts_text, 8, L"%u", attempts);

    // The lists and the threshold in force: a reload on the main thread may swap them.
    config_read_begin();
    const bool whitelisted = is_listed(whitelist_IP, address);
    const DWORD threshold = max_logon_count_normal_RDP;
    config_read_end();
    if (whitelisted) {
        set_console_color(color_success);
        print_out(L"\n[%ls] %5u  IP %ls", time_text, attempts, address);
        print_out(L"  [%ls]\n", L"WHITELIST IP");
        reset_console_color();
        return;
    }
    // Past a failed block the address is tried again once hold seconds have passed.
    if (attempts < threshold || !block_due(rdp_failures, address, now)) {
        set_console_color(color_heading);
        print_out(L"\n[%ls] %5u  IP %ls", time_text, attempts, address);
        reset_console_color();
        return;
    }

    set_console_color(color_heading);
    if (format_rdp_block_command(rdp_block_command, address, attempts, time_text) < 0) {
        // Not passed to netsh: it could change the command's meaning. Held like a blocked one.
        set_console_color(color_error);
        print_out(L"\n!! Not a plain address, no filter added: %.63ls\n", address);
        mark_blocked(rdp_failures, address, now);
        reset_console_color();
        return;
    }
    set_console_color(color_notice);
    print_out(L"\n# ADD TO BLACKLIST:%ls\n%ls\n", address, rdp_block_command);
    const wchar_t *command = rdp_block_command;
    DWORD exit_code = run_ipsec_commands(&command, 1, false, block_command_wait_ms);
    if (!print_block_result(address, exit_code)) {
        mark_block_failed(rdp_failures, address, now);
        return;
    }
    mark_blocked(rdp_failures, address, now);
    const wchar_t *strings[2] = {address, attempts_text};
    report_event(EVENTLOG_AUDIT_FAILURE, CATEGORY_BLOCKED, MSG_RDP_ADDRESS_BLOCKED, strings, 2, "BLOCKED");
}

void report_subscription_failure(DWORD error)
{
    wchar_t error_text[12];
    format_text(error_text, 12, L"%u", error);
    const wchar_t *strings[2] = {L"Cannot open the RDP log", error_text};
    report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ERROR, MSG_ERROR, strings, 2, nullptr);
    const wchar_t *text = L"EvtSubscribe  FAILED:";
    if (error == ERROR_EVT_CHANNEL_NOT_FOUND)
        text = L"EvtSubscribe  Channel not found:\nMicrosoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational";
    else if (error == ERROR_EVT_INVALID_QUERY)
        text = L"EvtSubscribe  Invalid query Event/System/EventID=140:";
    set_console_color(color_error);
    print_out(L"%ls %u\n", text, error);
    restore_console_color();
}

} // namespace

EVT_HANDLE rdp_subscription = nullptr;
EVT_HANDLE rdp_render_context = nullptr;

// The subscription goes first, which ends its deliveries; the lock then waits out one that may
// still run before the context goes, whether or not closing a subscription waits for it.
void close_rdp_monitor()
{
    if (rdp_subscription != nullptr) {
        EvtClose(rdp_subscription);
        rdp_subscription = nullptr;
    }
    AcquireSRWLockExclusive(&delivery_lock);
    if (rdp_render_context != nullptr) {
        EvtClose(rdp_render_context);
        rdp_render_context = nullptr;
    }
    ReleaseSRWLockExclusive(&delivery_lock);
}

void start_rdp_monitor()
{
    print_out(L"# Open RDP      log: ");
    // The render context is made before the subscription, so that no delivery can find it
    // missing; its failure is told only once the subscription has succeeded.
    EVT_HANDLE context = EvtCreateRenderContext(3, const_cast<LPCWSTR *>(property_paths), EvtRenderContextValues);
    DWORD context_error = context == nullptr ? GetLastError() : 0;
    AcquireSRWLockExclusive(&delivery_lock);
    rdp_render_context = context;
    ReleaseSRWLockExclusive(&delivery_lock);

    rdp_subscription = EvtSubscribe(nullptr, nullptr, channel, query, nullptr, nullptr, rdp_evt_handler,
                                    EvtSubscribeToFutureEvents);
    if (rdp_subscription == nullptr) {
        DWORD error = GetLastError();
        close_rdp_monitor();
        report_subscription_failure(error);
        return;
    }
    if (context == nullptr) {
        set_console_color(color_error);
        print_out(L"%ls %u\n", L"EvtCreateRenderContext  FAILED:", context_error);
        restore_console_color();
        close_rdp_monitor();
        return;
    }
    print_out(L"OK\n");
}

DWORD WINAPI rdp_evt_handler(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE event)
{
    if (action == EvtSubscribeActionError) {
        DWORD error = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(event));
        if (error == ERROR_EVT_QUERY_RESULT_STALE)
            print_out(L"rdp_evt_handler missing records %u\n", error);
        else
            print_out(L"rdp_evt_handler error %u\n", error);
        return 0;
    }
    if (action != EvtSubscribeActionDeliver)
        return 0;
    AcquireSRWLockExclusive(&delivery_lock);
    handle_connection_event(event);
    ReleaseSRWLockExclusive(&delivery_lock);
    return 0;
}
