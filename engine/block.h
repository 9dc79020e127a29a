// Block decision: counts failed logons, blocks attackers with netsh, reports every outcome.
#pragma once
#include <windows.h>
#include "engine/logon_event.h"

// A successful logon of a whitelisted user clears the address's failure history.
void handle_logon_success(LogonReport &report);
// Counts a failed logon and blocks the address at its threshold.
void handle_logon_failure(LogonReport &report, DWORD time_generated, const wchar_t *time_text);
// Counts and reports a failed logon from 0.0.0.0 with the list of connected hosts.
void handle_spoofed_address(LogonReport &report, DWORD time_generated, const wchar_t *time_text);
