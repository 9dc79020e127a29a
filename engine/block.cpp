// PLACEHOLDER: the block decision arrives with its own issue.
#include "engine/block.h"

void handle_logon_success(LogonReport &) {}
void handle_logon_failure(LogonReport &, DWORD, const wchar_t *) {}
void handle_spoofed_address(LogonReport &, DWORD, const wchar_t *) {}
