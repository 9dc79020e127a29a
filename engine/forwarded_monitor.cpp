// Forwarded events. The callback, on the subscription's thread, only checks an event's values
// and copies them into a small queue; the loop takes them between two batches of the Security
// log and decides them on the main thread, the one thread of logon_failures, so that attempts
// on every computer add up in one history. A full queue holds the callback back (the channel
// keeps the events not yet delivered): no event is dropped for lack of room.
#include "engine/forwarded_monitor.h"
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/report.h"
#include "engine/server_names.h"
#include "config/text_case.h"
#include "console/output.h"
#include <winsock2.h>
#include <ws2ipdef.h>
// MinGW's header declares the system's address parsers (ntdll) without C linkage.
extern "C" {
#include <mstcpip.h>
}
#include <cwchar>

namespace {

constexpr wchar_t channel[] = L"ForwardedEvents";
constexpr wchar_t query[] = L"*[System[(EventID=4624 or EventID=4625 or EventID=4776)]]";

// The values rendered for each event, in the order of property_paths.
enum Value { v_time, v_event_id, v_computer, v_address, v_port, v_user, v_domain, v_logon_type, v_package,
             v_workstation, v_workstation_4776, value_count };
const wchar_t *const property_paths[value_count] = {
    L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID", L"Event/System/Computer",
    L"Event/EventData/Data[@Name='IpAddress']", L"Event/EventData/Data[@Name='IpPort']",
    L"Event/EventData/Data[@Name='TargetUserName']", L"Event/EventData/Data[@Name='TargetDomainName']",
    L"Event/EventData/Data[@Name='LogonType']", L"Event/EventData/Data[@Name='AuthenticationPackageName']",
    L"Event/EventData/Data[@Name='WorkstationName']", L"Event/EventData/Data[@Name='Workstation']"};

constexpr size_t computer_chars = 256; // a DNS name's 255 characters
constexpr size_t name_chars = 257;     // user and domain: longer ones are cut, never dropped
constexpr size_t short_chars = 64;

// One event as the callback checked it. malformed names what is wrong with it (a constant
// text; with render_error, the error of EvtRender), or is null; logon_type is 0 for an event
// without one (4776). time is when the server wrote it (a file time; the arrival when the event
// does not tell), arrived when it reached this computer (seconds since 1970, this computer's clock).
struct ForwardedEvent {
    ULONGLONG time;
    DWORD arrived;
    DWORD event_id;
    DWORD logon_type;
    const wchar_t *malformed;
    DWORD render_error;
    bool computer_checked;
    wchar_t computer[computer_chars];
    wchar_t address[history_address_chars];
    wchar_t port[8];
    wchar_t user[name_chars];
    wchar_t domain[name_chars];
    wchar_t authentication[short_chars];
    wchar_t workstation[short_chars];
};

// One delivery at a time, and the render context closed only under it (as engine/rdp_monitor).
SRWLOCK delivery_lock = SRWLOCK_INIT;
// Written and read by the callback only, under the delivery lock.
constexpr DWORD render_bytes = 65536;
alignas(16) BYTE rendered[render_bytes];
ForwardedEvent arriving;

// The queue: written by the callback (tail) and the loop (head), both under queue_lock; the
// callback waits on queue_room while it is full, unless closing, set by close_forwarded_monitor
// and cleared by start_forwarded_monitor on the main thread. wake is set by set_forwarded_wake.
constexpr DWORD queue_slots = 64;
SRWLOCK queue_lock = SRWLOCK_INIT;
CONDITION_VARIABLE queue_room = CONDITION_VARIABLE_INIT;
ForwardedEvent queue[queue_slots];
DWORD queue_head = 0, queue_count = 0;
bool closing = false;
HANDLE wake = nullptr;

// Main thread only: the event being decided, its time text, the logon type as text, the
// rejected events counted so far, and this computer's DNS name (its events come from its own
// Security log; read at each start).
ForwardedEvent serving;
wchar_t time_text[time_text_chars];
wchar_t logon_type_text[12];
DWORD rejected = 0;
wchar_t dns_name[computer_chars];

// Main thread only: whether failures are counted on one monotone clock (set by a successful
// start, cleared once the subscription is closed and its queue is empty), and the latest time
// counted on it, which only grows, for the life of the process.
bool one_clock = false;
DWORD latest_counted = 0;

bool is_string(const EVT_VARIANT &value) { return value.Type == EvtVarTypeString && value.StringVal != nullptr; }

// Copies a string value into out, control characters as '?'; a text too long is cut when cut
// is set, refused otherwise. False when the value is not a string or is refused.
bool copy_text(const EVT_VARIANT &value, wchar_t *out, size_t capacity, bool cut)
{
    out[0] = L'\0';
    if (!is_string(value))
        return false;
    const size_t length = wcsnlen(value.StringVal, capacity);
    if (length == capacity && !cut)
        return false;
    size_t n = 0;
    for (; n < length && n + 1 < capacity; ++n) {
        const wchar_t c = value.StringVal[n];
        out[n] = c < 0x20 || (c >= 0x7F && c <= 0x9F) ? L'?' : c;
    }
    out[n] = L'\0';
    return true;
}

// A number as the event's template types it (typed: UInt16 or UInt32), or as a collector that
// stored the event from its XML gives it: decimal digits only, no sign, no blank. False for
// anything else, or above max.
bool read_number(const EVT_VARIANT &value, EVT_VARIANT_TYPE typed, DWORD max, DWORD &number)
{
    if (value.Type == typed) {
        number = typed == EvtVarTypeUInt16 ? value.UInt16Val : value.UInt32Val;
        return number <= max;
    }
    if (!is_string(value) || value.StringVal[0] == L'\0')
        return false;
    ULONGLONG n = 0;
    for (const wchar_t *c = value.StringVal; *c != L'\0'; ++c) {
        if (*c < L'0' || *c > L'9')
            return false;
        n = n * 10 + static_cast<ULONGLONG>(*c - L'0');
        if (n > max)
            return false;
    }
    number = static_cast<DWORD>(n);
    return true;
}

// The UTC time of an ISO 8601 text as the XML of an event writes it, "2026-12-09T08:41:45.1234567Z",
// to the second; false for any other text.
bool read_iso_time(const wchar_t *text, SYSTEMTIME &t)
{
    static const wchar_t shape[] = L"0000-00-00T00:00:00";
    WORD parts[6] = {};
    size_t part = 0, i = 0;
    // A text shorter than the shape ends at its terminator, which matches nothing.
    for (; shape[i] != L'\0'; ++i) {
        if (shape[i] != L'0') {
            if (text[i] != shape[i])
                return false;
            ++part;
        } else if (text[i] >= L'0' && text[i] <= L'9') {
            parts[part] = static_cast<WORD>(parts[part] * 10 + (text[i] - L'0'));
        } else {
            return false;
        }
    }
    const wchar_t *rest = text + i;
    if (*rest == L'.')
        for (++rest; *rest >= L'0' && *rest <= L'9'; ++rest)
            continue;
    if (rest[0] != L'Z' || rest[1] != L'\0' || parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31 ||
        parts[3] > 23 || parts[4] > 59 || parts[5] > 59)
        return false;
    t = {parts[0], parts[1], 0, parts[2], parts[3], parts[4], parts[5], 0};
    return true;
}

// The time the server wrote the event, as a file time: typed as a FileTime or a SysTime, or the
// ISO 8601 text of a collector that stored the event from its XML; the arrival otherwise, since
// the time is only shown.
ULONGLONG read_time(const EVT_VARIANT &value, DWORD arrived)
{
    SYSTEMTIME t = {};
    FILETIME file_time;
    if (value.Type == EvtVarTypeFileTime)
        return value.FileTimeVal;
    bool read = false;
    if (value.Type == EvtVarTypeSysTime && value.SysTimeVal != nullptr) {
        t = *value.SysTimeVal;
        read = true;
    } else if (is_string(value)) {
        read = read_iso_time(value.StringVal, t);
    }
    if (read && SystemTimeToFileTime(&t, &file_time))
        return ULONGLONG{file_time.dwHighDateTime} << 32 | file_time.dwLowDateTime;
    return (ULONGLONG{arrived} + 11644473600ull) * 10000000ull;
}

// A computer name as Windows Event Forwarding gives it: a DNS or NetBIOS name of letters,
// digits, '-', '_' and '.'; anything else may be forged, and stands in no line or filter.
bool is_computer_name(const wchar_t *name)
{
    if (name[0] == L'\0')
        return false;
    for (const wchar_t *c = name; *c != L'\0'; ++c)
        if (!((*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z') || (*c >= L'0' && *c <= L'9') || *c == L'-' ||
              *c == L'_' || *c == L'.'))
            return false;
    return true;
}

// An IPv4 address in dotted decimal or an IPv6 address with an optional numeric zone, as the
// system reads them; "-" (no address) passes, for decoding to reject as it rejects a record's.
bool is_ip_address(const wchar_t *text)
{
    if (wcscmp(text, L"-") == 0)
        return true;
    IN_ADDR v4;
    IN6_ADDR v6;
    LPWSTR end = nullptr;
    ULONG scope = 0;
    USHORT port = 0;
    if (RtlIpv4StringToAddressW(text, TRUE, &end, &v4) == 0 && *end == L'\0')
        return true;
    // The bracketed form with a port ("[::1]:80") is no address of a logon event.
    return text[0] != L'[' && RtlIpv6StringToAddressExW(text, &v6, &scope, &port) == 0;
}

// Checks the rendered values and fills e; e.malformed tells what made the event unusable.
void check_event(const EVT_VARIANT *v, DWORD count, ForwardedEvent &e)
{
    e.malformed = nullptr;
    e.render_error = 0;
    e.computer_checked = false;
    e.logon_type = 0;
    e.event_id = 0;
    DWORD logon_type = 0;
    if (count != value_count || !read_number(v[v_event_id], EvtVarTypeUInt16, 0xFFFF, e.event_id)) {
        e.malformed = L"unexpected values";
        return;
    }
    e.time = read_time(v[v_time], e.arrived);
    if (!copy_text(v[v_computer], e.computer, computer_chars, false) || !is_computer_name(e.computer)) {
        e.malformed = L"the computer name is not a name";
        return;
    }
    e.computer_checked = true;
    if (e.event_id == 4776)
        return; // no logon type: rejected as the Security log's 4776
    else if (!copy_text(v[v_address], e.address, history_address_chars, false) || !is_ip_address(e.address))
        e.malformed = L"IpAddress is not an address";
    else if (!read_number(v[v_logon_type], EvtVarTypeUInt32, 0xFFFFFFFF, logon_type))
        e.malformed = L"LogonType is not a number";
    else if (!copy_text(v[v_user], e.user, name_chars, true) || !copy_text(v[v_domain], e.domain, name_chars, true) ||
             !copy_text(v[v_package], e.authentication, short_chars, true))
        e.malformed = L"TargetUserName, TargetDomainName or AuthenticationPackageName is missing";
    else
        e.logon_type = logon_type;
    if (e.malformed != nullptr)
        return;
    copy_text(v[v_port], e.port, 8, true);
    copy_text(v[v_workstation], e.workstation, short_chars, true);
}

// Renders and checks one event into arriving (its arrival first, the time it falls back on);
// false when there is nothing to queue.
bool take_event(EVT_HANDLE event)
{
    // The subscription may deliver before the render context exists, or after it was closed.
    if (forwarded_render_context == nullptr)
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG file_time = ULONGLONG{now.dwHighDateTime} << 32 | now.dwLowDateTime;
    arriving.arrived = static_cast<DWORD>(file_time / 10000000ull - 11644473600ull);
    DWORD used = 0, count = 0;
    if (!EvtRender(forwarded_render_context, event, EvtRenderEventValues, render_bytes, rendered, &used, &count)) {
        arriving.render_error = GetLastError();
        arriving.malformed = arriving.render_error == ERROR_INSUFFICIENT_BUFFER ? L"too large to render" : L"EvtRender() FAILED";
        arriving.computer_checked = false;
        arriving.event_id = 0;
        return true;
    }
    check_event(reinterpret_cast<const EVT_VARIANT *>(rendered), count, arriving);
    return true;
}

void queue_event()
{
    AcquireSRWLockExclusive(&queue_lock);
    while (queue_count == queue_slots && !closing)
        SleepConditionVariableSRW(&queue_room, &queue_lock, INFINITE, 0);
    if (!closing) {
        queue[(queue_head + queue_count) % queue_slots] = arriving;
        ++queue_count;
        if (wake != nullptr)
            SetEvent(wake);
    }
    ReleaseSRWLockExclusive(&queue_lock);
}

bool take_queued(ForwardedEvent &e)
{
    AcquireSRWLockExclusive(&queue_lock);
    const bool any = queue_count > 0;
    if (any) {
        e = queue[queue_head];
        queue_head = (queue_head + 1) % queue_slots;
        --queue_count;
    }
    ReleaseSRWLockExclusive(&queue_lock);
    if (any)
        WakeConditionVariable(&queue_room);
    return any;
}

bool is_this_computer(const wchar_t *computer)
{
    const wchar_t *netbios_name = nullptr;
    this_computer_name(&netbios_name);
    return (netbios_name[0] != L'\0' && equal_ignoring_case(computer, netbios_name)) ||
           (dns_name[0] != L'\0' && equal_ignoring_case(computer, dns_name));
}

void reject(const ForwardedEvent &e)
{
    ++rejected;
    start_whole_line();
    set_console_color(color_error);
    wchar_t code[16] = L"";
    if (e.render_error != 0)
        format_text(code, 16, L" %u", e.render_error);
    print_out(L"!! Forwarded event %u%ls%ls rejected: %ls%ls (%u so far)\n", e.event_id, e.computer_checked ? L" from " : L"",
              e.computer_checked ? e.computer : L"", e.malformed, code, rejected);
    restore_console_color();
}

// The decisions of a Security record of this computer, naming the computer the event came from.
void decide(ForwardedEvent &e)
{
    if (e.malformed != nullptr) {
        reject(e);
        return;
    }
    // The collector's own events reach it through its Security log: counted once, from there.
    if (e.logon_type == 0 || is_this_computer(e.computer))
        return;
    format_text(logon_type_text, 12, L"%u", e.logon_type);
    LogonReport report = {e.domain, e.user, e.address, L"", logon_type_text, e.authentication, e.computer};
    const bool is_success = e.event_id == 4624;
    const DecodeResult decoded = classify_logon(report, is_success);
    if (decoded == DecodeResult::rejected)
        return;
    // Counted at its arrival, by this computer's clock: the servers' clocks differ by a little,
    // and their events arrive in no common order, so a server's time a second behind the last
    // counted one would start the count again. The lines show the server's own time.
    const DWORD seconds = fleet_count_time(e.arrived);
    format_file_time(e.time, time_text);
    start_whole_line();
    if (decoded == DecodeResult::spoofed) {
        handle_spoofed_address(report, seconds, time_text);
        return;
    }
    output_gather_begin();
    print_out(L"\n# Forwarded event %u from %ls, workstation %ls, port %ls\n", e.event_id, e.computer, e.workstation,
              e.port);
    if (is_success)
        handle_logon_success(report);
    else
        handle_logon_failure(report, seconds, time_text);
    output_gather_end();
}

void report_subscription_failure(DWORD error)
{
    wchar_t code[12];
    format_text(code, 12, L"%u", error);
    const wchar_t *strings[2] = {L"Cannot open the ForwardedEvents log", code};
    report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ERROR, MSG_ERROR, strings, 2, nullptr);
    set_console_color(color_error);
    print_out(L"EvtSubscribe() FAILED %u: %ls; the Security log is monitored as before\n", error,
              error == ERROR_EVT_CHANNEL_NOT_FOUND ? L"there is no channel ForwardedEvents (no event collector here)"
                                                   : L"ForwardedEvents is not followed");
    restore_console_color();
}

} // namespace

EVT_HANDLE forwarded_subscription = nullptr;
EVT_HANDLE forwarded_render_context = nullptr;

void start_forwarded_monitor()
{
    const wchar_t *failed = nullptr, *netbios_name = nullptr;
    DWORD error = this_computer_name(&netbios_name), length = computer_chars;
    if (error != 0)
        failed = L"GetComputerNameW";
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, dns_name, &length)) {
        failed = L"GetComputerNameExW";
        error = GetLastError();
        dns_name[0] = L'\0';
    }
    if (failed != nullptr) {
        set_console_color(color_error);
        print_out(L"!! %ls() FAILED %u: this computer's own forwarded events may count twice\n", failed, error);
        restore_console_color();
    }
    print_out(L"# Open Forwarded log: ");
    // The context before the subscription, so that no delivery finds it missing.
    EVT_HANDLE context = EvtCreateRenderContext(value_count, const_cast<LPCWSTR *>(property_paths), EvtRenderContextValues);
    const DWORD context_error = context == nullptr ? GetLastError() : 0;
    AcquireSRWLockExclusive(&delivery_lock);
    forwarded_render_context = context;
    ReleaseSRWLockExclusive(&delivery_lock);
    AcquireSRWLockExclusive(&queue_lock);
    closing = false;
    ReleaseSRWLockExclusive(&queue_lock);

    forwarded_subscription = EvtSubscribe(nullptr, nullptr, channel, query, nullptr, nullptr, forwarded_evt_handler,
                                          EvtSubscribeToFutureEvents);
    if (forwarded_subscription == nullptr) {
        const DWORD error = GetLastError();
        close_forwarded_monitor();
        report_subscription_failure(error);
        return;
    }
    if (context == nullptr) {
        set_console_color(color_error);
        print_out(L"EvtCreateRenderContext() FAILED %u\n", context_error);
        restore_console_color();
        close_forwarded_monitor();
        return;
    }
    one_clock = true;
    print_out(L"OK\n");
}

// The waiting delivery is let go first, since closing the subscription may wait for it; then
// the delivery lock waits out one that may still run before the context goes.
void close_forwarded_monitor()
{
    AcquireSRWLockExclusive(&queue_lock);
    closing = true;
    ReleaseSRWLockExclusive(&queue_lock);
    WakeAllConditionVariable(&queue_room);
    if (forwarded_subscription != nullptr) {
        EvtClose(forwarded_subscription);
        forwarded_subscription = nullptr;
    }
    AcquireSRWLockExclusive(&delivery_lock);
    if (forwarded_render_context != nullptr) {
        EvtClose(forwarded_render_context);
        forwarded_render_context = nullptr;
    }
    ReleaseSRWLockExclusive(&delivery_lock);
}

void set_forwarded_wake(HANDLE event)
{
    AcquireSRWLockExclusive(&queue_lock);
    wake = event;
    ReleaseSRWLockExclusive(&queue_lock);
}

void serve_forwarded_events(bool paused)
{
    // The callback refills the queue while a decision waits for netsh: one queue's worth, then
    // the loop serves its requests and a Security batch, woken at once to come back for the rest.
    for (DWORD taken = 0; taken < queue_slots && take_queued(serving); ++taken)
        if (!paused)
            decide(serving);
    AcquireSRWLockExclusive(&queue_lock);
    const bool more = queue_count > 0;
    if (more && wake != nullptr)
        SetEvent(wake);
    ReleaseSRWLockExclusive(&queue_lock);
    if (forwarded_subscription == nullptr && !more)
        one_clock = false;
}

DWORD fleet_count_time(DWORD time)
{
    if (!one_clock)
        return time;
    if (time > latest_counted)
        latest_counted = time;
    return latest_counted;
}

DWORD WINAPI forwarded_evt_handler(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE event)
{
    if (action == EvtSubscribeActionError) {
        const DWORD error = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(event));
        print_out(error == ERROR_EVT_QUERY_RESULT_STALE ? L"forwarded_evt_handler missing records %u\n"
                                                        : L"forwarded_evt_handler error %u\n",
                  error);
        return 0;
    }
    if (action != EvtSubscribeActionDeliver)
        return 0;
    AcquireSRWLockExclusive(&delivery_lock);
    if (take_event(event))
        queue_event();
    ReleaseSRWLockExclusive(&delivery_lock);
    return 0;
}
