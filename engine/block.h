// Block decision: counts failed logons, blocks attackers with netsh, reports every outcome.
#pragma once
#include <windows.h>
#include <cstddef>
#include "engine/logon_event.h"

// Characters of a command line, terminator included.
constexpr size_t command_chars = 512;

// A successful logon of a whitelisted user clears the address's failure history.
void handle_logon_success(LogonReport &report);
// Counts a failed logon and blocks the address at its threshold.
void handle_logon_failure(LogonReport &report, DWORD time_generated, const wchar_t *time_text);
// Counts and reports a failed logon from 0.0.0.0 with the list of connected hosts.
void handle_spoofed_address(LogonReport &report, DWORD time_generated, const wchar_t *time_text);

// Prints a block command's exit line. When netsh failed (an exit code other than 0, 258 after
// the time limit, or the start error) also prints that the address is not blocked and reports
// the failure to the Application log. True when the block holds.
bool print_block_result(const wchar_t *address, DWORD exit_code);

// True when address can stand unquoted as a filter's dstaddr: 1 to 63 characters, each a
// letter, digit or one of . : % - _ (IPv4, IPv6 with zone, host name).
bool is_plain_address(const wchar_t *address);
// Copies text into out (capacity in characters, terminator included; cut to fit) with every
// character that could end a quoted netsh argument replaced by a readable one; the length stored.
size_t neutralise_text(const wchar_t *text, wchar_t *out, size_t capacity);
// Formats the logon form of the block command into command (command_chars); a long domain, user
// or authentication shortens the description only. The length, or -1 when the address is not plain.
int format_logon_block_command(wchar_t *command, const LogonReport &report, DWORD attempts,
                               const wchar_t *time_text, bool whitelisted_user);
// Formats the Remote Desktop form of the block command; the length, or -1 when the address is not plain.
int format_rdp_block_command(wchar_t *command, const wchar_t *address, DWORD attempts, const wchar_t *time_text);
