// Block decision: counts failed logons, blocks attackers with netsh, reports every outcome.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "engine/logon_event.h"

// Characters of a command line, terminator included.
constexpr size_t command_chars = 512;

// A successful logon of a whitelisted user clears the address's failure history.
void handle_logon_success(LogonReport &report);
// Counts a failed logon and blocks the address at its threshold.
void handle_logon_failure(LogonReport &report, DWORD time_generated, const wchar_t *time_text);
// Counts and reports a failed logon from 0.0.0.0 with the list of connected hosts; for another
// computer's event, that they are on that computer.
void handle_spoofed_address(LogonReport &report, DWORD time_generated, const wchar_t *time_text);

// Prints a block command's exit line. When netsh failed (an exit code other than 0, 258 after
// the time limit, or the start error) also prints that the address is not blocked and reports
// the failure to the Application log. True when the block holds.
bool print_block_result(const wchar_t *address, DWORD exit_code);

// The decision on one failed logon, before anything is printed, run or reported. The monitor
// and the replay (engine/replay) both decide through decide_logon_failure.
struct FailureDecision {
    uint32_t attempts;      // the address's count after this failure; blocked while it is held
    bool whitelisted_ip;    // the address is on whitelist_IP: never blocked, never reported
    bool whitelisted_user;  // the user is on whitelist_user
    bool whitelisted;       // either: the whitelist column of the thresholds
    DWORD threshold;        // the threshold of the logon type in that column
    bool block;             // the threshold is reached, the address is not whitelisted, no failed block holds it off
};
// Counts the failure in logon_failures at time_generated and decides on it.
FailureDecision decide_logon_failure(const LogonReport &report, DWORD time_generated);
// For a successful logon: -1 when the user is not whitelisted (nothing changes), otherwise
// the address's failures are cleared and the result is 1 if it had a slot, else 0.
int decide_logon_success(const LogonReport &report);
// The line of a counted failure that is not blocked, in its colours.
void print_failure_line(const LogonReport &report, const FailureDecision &decision, const wchar_t *time_text);
// "# ADD TO BLACKLIST:" with the block command, in the notice colour (left set for the caller).
void print_block_notice(const wchar_t *command, bool whitelisted_user);
// The line of an address that reached its threshold but cannot stand in a filter.
void print_not_blockable(const wchar_t *address);
// The line of a whitelisted user's successful logon; cleared is decide_logon_success's result.
void print_success_line(const LogonReport &report, int cleared);
// The two lines of a failure from a spoofed address, in its colour (left set for the caller).
void print_spoofed_notice(const LogonReport &report, uint32_t attempts, const wchar_t *time_text);

// True when address can stand unquoted as a filter's dstaddr: 1 to 63 characters, each a
// letter, digit or one of . : % - _ (IPv4, IPv6 with zone, host name).
bool is_plain_address(const wchar_t *address);
// Copies text into out (capacity in characters, terminator included; cut to fit) with every
// character that could end a quoted netsh argument replaced by a readable one; the length stored.
size_t neutralise_text(const wchar_t *text, wchar_t *out, size_t capacity);
// Formats the logon form of the block command into command (command_chars); servers (null or
// empty for none) names the computers of the attempts behind the user. A long domain, user,
// authentication or servers text shortens the description only. The length, or -1 when the
// address is not plain.
int format_logon_block_command(wchar_t *command, const LogonReport &report, DWORD attempts,
                               const wchar_t *time_text, bool whitelisted_user, const wchar_t *servers = nullptr);
// Formats the Remote Desktop form of the block command; the length, or -1 when the address is not plain.
int format_rdp_block_command(wchar_t *command, const wchar_t *address, DWORD attempts, const wchar_t *time_text);
