// Block decision: every accepted logon record of the Security log ends here, on the main thread.
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/report.h"
#include "engine/server_names.h"
#include "config/config.h"
#include "config/text_case.h"
#include "console/output.h"
#include "commands/ipsec_store.h"
#include "commands/runner.h"
#include "commands/system_tools.h"
#include <cwchar>
#include <cstring>

namespace {

constexpr wchar_t whitelist_suffix[] = L"BLOCKED for targeted attack on a whitelisted user";

// Written and read on the main thread only, for one record at a time: the attempts text, the
// servers and the address as the report names it live while its record's report is written;
// the command lines while their command runs.
wchar_t attempts_text[8];
constexpr size_t server_list_chars = 512;
wchar_t server_list[server_list_chars];
wchar_t report_address[history_address_chars + 4 + server_list_chars];
wchar_t block_command[command_chars];
wchar_t listing_command[command_chars];
// The shell command names cmd's programs by their full paths: two folders and the listing.
constexpr size_t shell_command_chars = 2 * MAX_PATH + command_chars;
wchar_t shell_command[shell_command_chars];
wchar_t netstat_path[MAX_PATH + 32];
wchar_t findstr_path[MAX_PATH + 32];
// Output of the connection listing, reported as insertion string %8.
constexpr DWORD capture_chars = 65536;
wchar_t capture_text[capture_chars];

bool is_type(const wchar_t *logon_type, const wchar_t *value)
{
    return equal_ignoring_case(logon_type, value);
}

// The threshold of a logon type; an unknown type (decoding lets none through) is never blocked.
DWORD threshold_for(const wchar_t *logon_type, bool whitelisted)
{
    if (is_type(logon_type, L"3"))
        return whitelisted ? max_logon_count_whitelist_net : max_logon_count_normal_net;
    if (is_type(logon_type, L"8"))
        return whitelisted ? max_logon_count_whitelist_net_clear_text : max_logon_count_normal_net_clear_text;
    if (is_type(logon_type, L"10"))
        return whitelisted ? max_logon_count_whitelist_RDP : max_logon_count_normal_RDP;
    return blocked;
}

// Characters that the command line's parsers (the C runtime's argv rules, and the ANSI
// best-fit conversion of a Unicode command line) could read as a quote or a backslash.
wchar_t neutral_char(wchar_t c)
{
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029)
        return L'?';
    switch (c) {
    case L'"':
    case 0x02BA: case 0x02DD: case 0x02EE: case 0x030B: case 0x030E: case 0x201C: case 0x201D:
    case 0x201E: case 0x201F: case 0x2033: case 0x2036: case 0x3003: case 0xFF02:
        return L'\'';
    case L'\\':
    case 0x00A5: case 0x20A9: case 0x2216: case 0x29F5: case 0x29F9: case 0xFE68: case 0xFF3C:
        return L'/';
    default:
        return c;
    }
}

// Cuts text to length characters, never between the halves of a surrogate pair; a text that
// loses characters ends in "..." when there is room for it.
void cut_text(wchar_t *text, size_t length, size_t original)
{
    if (length >= original)
        return;
    if (length > 0 && IS_HIGH_SURROGATE(text[length - 1]))
        --length;
    text[length] = L'\0';
    if (length >= 4) {
        size_t dots = length - 3;
        if (IS_HIGH_SURROGATE(text[dots - 1]))
            text[dots - 1] = L'.';
        wcscpy(text + dots, L"...");
    }
}

// Shares budget characters among the texts: the longest are cut first, down to a common cap.
void fit_texts(wchar_t *texts[], size_t count, size_t budget)
{
    size_t lengths[4];
    size_t total = 0, longest = 0;
    for (size_t i = 0; i < count; ++i) {
        lengths[i] = wcslen(texts[i]);
        total += lengths[i];
        if (lengths[i] > longest)
            longest = lengths[i];
    }
    if (total <= budget)
        return;
    // The largest cap whose cut lengths still fit the budget.
    size_t low = 0, high = longest;
    while (low < high) {
        size_t cap = (low + high + 1) / 2, sum = 0;
        for (size_t i = 0; i < count; ++i)
            sum += lengths[i] < cap ? lengths[i] : cap;
        if (sum <= budget)
            low = cap;
        else
            high = cap - 1;
    }
    size_t spare = budget;
    for (size_t i = 0; i < count; ++i)
        spare -= lengths[i] < low ? lengths[i] : low;
    for (size_t i = 0; i < count; ++i) {
        size_t length = lengths[i] < low ? lengths[i] : low;
        if (lengths[i] > low && spare > 0) {
            ++length;
            --spare;
        }
        cut_text(texts[i], length, lengths[i]);
    }
}

// Characters of address that name the host, without an IPv6 zone index ("fe80::1%12"): a
// filter's dstaddr takes no zone, and netsh refuses the address with one, so the link-local
// attacker would never be blocked. The description keeps the address as it was seen.
int host_part_length(const wchar_t *address)
{
    const wchar_t *zone = wcschr(address, L'%');
    return static_cast<int>(zone != nullptr && zone != address ? zone - address : wcslen(address));
}

// Lists this computer's connections, where a spoofed logon's attacker may show, into
// listing_command and capture_text.
void list_connections(const LogonReport &report)
{
    // Remote Desktop attackers are found among the connections to its port.
    const wchar_t *pattern = is_type(report.logon_type, L"10") ? L"3389" : L"TCP";
    format_text(listing_command, command_chars, L"netstat -n | findstr %ls", pattern);
    // cmd would search for netstat and findstr as well: they are named by their paths. With
    // more than two quotes after /C, cmd takes off the first and the last one.
    shell_command[0] = L'\0';
    if (system_tool_path(L"netstat.exe", netstat_path, MAX_PATH + 32) > 0 &&
        system_tool_path(L"findstr.exe", findstr_path, MAX_PATH + 32) > 0)
        format_text(shell_command, shell_command_chars, L"cmd.exe /A /D /C \"%ls -n | %ls %ls\"", netstat_path,
                    findstr_path, pattern);
    set_console_color(color_heading);
    print_out(L"\n# %ls", listing_command);
    set_console_color(color_notice);
    print_out(L"\t# List of connected hosts:");
    set_console_color(color_error);

    memset(capture_text, 0, sizeof(capture_text));
    DWORD capacity = capture_chars;
    run_command_capture(shell_command, capture_text, &capacity, true);
    // The text stays terminated even when the capture filled every character.
    capture_text[capture_chars - 1] = L'\0';
    reset_console_color();
    print_out(L"\n");
}

// " on <computer>" behind the address, for an event of another computer; empty for this one's.
const wchar_t *on_word(const wchar_t *computer) { return computer != nullptr ? L" on " : L""; }
const wchar_t *computer_of(const wchar_t *computer) { return computer != nullptr ? computer : L""; }

// The address as the reports name it: with the computers behind it, when they are others.
const wchar_t *address_for_report(const wchar_t *address, const wchar_t *computers)
{
    if (computers == nullptr)
        return address;
    if (format_text(report_address, sizeof(report_address) / sizeof(wchar_t), L"%.63ls on %ls", address, computers) < 0)
        return address;
    return report_address;
}

// Runs the block command in the store in force, waiting at most the block's limit.
DWORD run_block_command(const wchar_t *command)
{
    return run_ipsec_commands(&command, 1, false, block_command_wait_ms);
}

} // namespace

void print_not_blockable(const wchar_t *address)
{
    set_console_color(color_error);
    print_out(L"\n!! Not a plain address, no filter added: %.63ls\n", address);
    restore_console_color();
}

bool is_plain_address(const wchar_t *address)
{
    if (address == nullptr || address[0] == L'\0')
        return false;
    size_t length = 0;
    for (const wchar_t *p = address; *p != L'\0'; ++p, ++length) {
        wchar_t c = *p;
        bool ok = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                  c == L'.' || c == L':' || c == L'%' || c == L'-' || c == L'_';
        if (!ok || length + 1 >= history_address_chars)
            return false;
    }
    return true;
}

size_t neutralise_text(const wchar_t *text, wchar_t *out, size_t capacity)
{
    if (capacity == 0)
        return 0;
    size_t n = 0;
    if (text != nullptr)
        for (; text[n] != L'\0' && n + 1 < capacity; ++n)
            out[n] = neutral_char(text[n]);
    out[n] = L'\0';
    return n;
}

int format_logon_block_command(wchar_t *command, const LogonReport &report, DWORD attempts,
                               const wchar_t *time_text, bool whitelisted_user, const wchar_t *servers)
{
    static constexpr wchar_t format[] =
        L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=%.*ls description=\"%ls %ls\\%ls%ls%ls\n"
        L" Logon Type:%ls, Authentication:%ls,\n Logon Attempts:%u, Time:%ls%ls\" protocol=ANY mirrored=Yes";
    if (!is_plain_address(report.address))
        return -1;
    wchar_t domain[command_chars], user[command_chars], authentication[command_chars], computers[command_chars];
    wchar_t logon_type[16], time[time_text_chars];
    neutralise_text(report.domain, domain, command_chars);
    neutralise_text(report.user, user, command_chars);
    neutralise_text(report.authentication, authentication, command_chars);
    neutralise_text(servers, computers, command_chars);
    neutralise_text(report.logon_type, logon_type, 16);
    neutralise_text(time_text, time, time_text_chars);
    const wchar_t *suffix = whitelisted_user ? L"\n BLOCKED for targeted attack on a whitelisted user" : L"";
    const wchar_t *on = computers[0] != L'\0' ? L" on " : L"";

    // The fixed part (address, closing quote, protocol and mirrored included) always fits a
    // plain address; what is left is shared by the texts an attacker or the fleet chooses.
    const int host = host_part_length(report.address);
    int fixed = format_text(command, command_chars, format, host, report.address, report.address, L"", L"", on, L"",
                            logon_type, L"", attempts, time, suffix);
    if (fixed < 0)
        return -1;
    wchar_t *texts[4] = {domain, user, authentication, computers};
    fit_texts(texts, 4, command_chars - 1 - static_cast<size_t>(fixed));
    return format_text(command, command_chars, format, host, report.address, report.address, domain, user, on,
                       computers, logon_type, authentication, attempts, time, suffix);
}

int format_rdp_block_command(wchar_t *command, const wchar_t *address, DWORD attempts, const wchar_t *time_text)
{
    if (!is_plain_address(address))
        return -1;
    wchar_t time[time_text_chars];
    neutralise_text(time_text, time, time_text_chars);
    return format_text(command, command_chars,
                       L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=%.*ls description=\"%ls\n"
                       L" Logon Attempts:%u, Time:%ls\" protocol=ANY mirrored=Yes",
                       host_part_length(address), address, address, attempts, time);
}

bool print_block_result(const wchar_t *address, DWORD exit_code)
{
    if (exit_code == 0) {
        set_console_color(color_heading);
        print_out(L"# exit:%u\n\n\n", exit_code);
        reset_console_color();
        return true;
    }
    set_console_color(color_error);
    print_out(L"# exit:%u\n!! %ls not blocked: netsh failed; its next failure after %u seconds tries again\n\n\n",
              exit_code, address, history_hold);
    reset_console_color();
    wchar_t what[128], code[12];
    format_text(what, 128, L"netsh could not block %.63ls, exit code", address);
    format_text(code, 12, L"%u", exit_code);
    const wchar_t *strings[2] = {what, code};
    report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ERROR, MSG_ERROR, strings, 2, nullptr);
    return false;
}

int decide_logon_success(const LogonReport &report)
{
    if (!is_listed(whitelist_user, report.user))
        return -1;
    return clear_entry(logon_failures, report.address) ? 1 : 0;
}

void print_success_line(const LogonReport &report, int cleared)
{
    set_console_color(color_success);
    print_out(L"\n[%5u] User:%ls\\%ls, from IP:%ls%ls%ls", static_cast<unsigned>(cleared), report.domain, report.user,
              report.address, on_word(report.computer), computer_of(report.computer));
    set_console_color(color_banner);
    print_out(L" [Successful Logon]\n\n\n");
    reset_console_color();
}

void handle_logon_success(LogonReport &report)
{
    const int cleared = decide_logon_success(report);
    if (cleared >= 0)
        print_success_line(report, cleared);
}

FailureDecision decide_logon_failure(const LogonReport &report, DWORD time_generated)
{
    FailureDecision d = {};
    d.attempts = record_failure(logon_failures, report.address, static_cast<uint32_t>(time_generated));
    if (d.attempts == blocked)
        return d;
    d.whitelisted_ip = is_listed(whitelist_IP, report.address);
    d.whitelisted_user = is_listed(whitelist_user, report.user);
    d.whitelisted = d.whitelisted_ip || d.whitelisted_user;
    d.threshold = threshold_for(report.logon_type, d.whitelisted);
    // Past a failed block the address is tried again once hold seconds have passed.
    d.block = !d.whitelisted_ip && d.attempts >= d.threshold &&
              block_due(logon_failures, report.address, static_cast<uint32_t>(time_generated));
    return d;
}

void print_failure_line(const LogonReport &report, const FailureDecision &decision, const wchar_t *time_text)
{
    set_console_color(decision.whitelisted ? color_success : color_heading);
    print_out(L"\n[%ls] %5u  User:%ls\\%ls, from IP:%ls%ls%ls", time_text, decision.attempts, report.domain,
              report.user, report.address, on_word(report.computer), computer_of(report.computer));
    set_console_color(color_heading);
    if (decision.whitelisted_ip)
        print_out(L" [WHITELIST IP]");
    else if (decision.whitelisted)
        print_out(L" [WHITELIST]");
    else
        print_out(L", Type:%2ls", report.logon_type); // %ls: print_out's narrow-stream path has no %ws
    print_out(L"\n");
    reset_console_color();
}

void print_block_notice(const wchar_t *command, bool whitelisted_user)
{
    set_console_color(color_notice);
    print_out(L"\n# ADD TO BLACKLIST:%ls\n%ls\n", whitelisted_user ? whitelist_suffix : L"", command);
}

void handle_logon_failure(LogonReport &report, DWORD time_generated, const wchar_t *time_text)
{
    const FailureDecision decision = decide_logon_failure(report, time_generated);
    const uint32_t attempts = decision.attempts;
    if (attempts == blocked)
        return;
    format_text(attempts_text, 8, L"%u", attempts);
    report.attempts = attempts_text;

    const bool whitelisted_ip = decision.whitelisted_ip;
    const bool whitelisted = decision.whitelisted;
    const bool block = decision.block;
    // Attempts on every computer add up in the one history; a block names the computers of the
    // address's count when any of them is another.
    const uint64_t servers = note_servers(logon_failures, report.address, server_bit(report.computer));
    const bool fleet = block && names_other_servers(servers);
    if (fleet)
        format_server_names(servers, server_list, server_list_chars);
    const wchar_t *strings[6] = {report.domain, report.user,
                                 address_for_report(report.address, fleet ? server_list : report.computer),
                                 report.attempts, report.logon_type, report.authentication};

    if (block) {
        // whitelisted_ip is clear here, so whitelisted means the user is on the list.
        if (format_logon_block_command(block_command, report, attempts, time_text, whitelisted,
                                       fleet ? server_list : nullptr) < 0) {
            // An address that cannot stand as dstaddr is not passed to netsh: it could change
            // the command's meaning. It is held like a blocked one and reported as not blocked.
            print_not_blockable(report.address);
            mark_blocked(logon_failures, report.address, static_cast<uint32_t>(time_generated));
            reset_console_color();
            if (whitelisted)
                report_event(EVENTLOG_WARNING_TYPE, CATEGORY_WHITELIST, MSG_LOGON_FAILURE_WHITELIST, strings, 6, "WHITELIST");
            else
                report_event(EVENTLOG_WARNING_TYPE, CATEGORY_ATTACK, MSG_LOGON_FAILURE_ATTACK, strings, 6, "ATTACK");
            return;
        }
        print_block_notice(block_command, whitelisted);
        DWORD exit_code = run_block_command(block_command);
        if (!print_block_result(report.address, exit_code)) {
            mark_block_failed(logon_failures, report.address, static_cast<uint32_t>(time_generated));
            return;
        }
        mark_blocked(logon_failures, report.address, static_cast<uint32_t>(time_generated));
        // Char literals: the tags are ASCII bytes.
        static const char blocked_whitelisted_tag[] = "BLOCKED for targeted attack on a whitelisted user";
        report_event(EVENTLOG_AUDIT_FAILURE, CATEGORY_BLOCKED, MSG_ADDRESS_BLOCKED, strings, 6,
                     whitelisted ? blocked_whitelisted_tag : "BLOCKED");
        return;
    }

    print_failure_line(report, decision, time_text);

    if (whitelisted_ip)
        return;
    if (whitelisted)
        report_event(EVENTLOG_WARNING_TYPE, CATEGORY_WHITELIST, MSG_LOGON_FAILURE_WHITELIST, strings, 6, "WHITELIST");
    else
        report_event(EVENTLOG_WARNING_TYPE, CATEGORY_ATTACK, MSG_LOGON_FAILURE_ATTACK, strings, 6, "ATTACK");
}

void print_spoofed_notice(const LogonReport &report, uint32_t attempts, const wchar_t *time_text)
{
    set_console_color(color_spoofed);
    print_out(L"\n[%ls] Attacks from a spoofed IP address cannot be blocked!", time_text);
    print_out(L"\n[%5u] User:%ls\\%ls, from IP:%ls%ls%ls, Type:%2ls", attempts, report.domain, report.user,
              report.address, on_word(report.computer), computer_of(report.computer), report.logon_type);
}

void handle_spoofed_address(LogonReport &report, DWORD time_generated, const wchar_t *time_text)
{
    uint32_t attempts = record_failure(logon_failures, report.address, static_cast<uint32_t>(time_generated));
    format_text(attempts_text, 8, L"%u", attempts);
    report.attempts = attempts_text;

    print_spoofed_notice(report, attempts, time_text);

    if (report.computer != nullptr) {
        // Another computer's connections are on that computer: a listing of this one's would be
        // evidence from the wrong machine.
        listing_command[0] = L'\0';
        format_text(capture_text, capture_chars, L"The connected hosts are on %ls: not listed here", report.computer);
        set_console_color(color_notice);
        print_out(L"\n# %ls\n", capture_text);
        reset_console_color();
    } else {
        list_connections(report);
    }

    const wchar_t *strings[8] = {report.domain, report.user, address_for_report(report.address, report.computer),
                                 report.attempts, report.logon_type, report.authentication, listing_command, capture_text};
    report_event(EVENTLOG_ERROR_TYPE, CATEGORY_ATTENTION, MSG_SPOOFED_ADDRESS, strings, 8, "SPOOFED ADDRESS");
}
