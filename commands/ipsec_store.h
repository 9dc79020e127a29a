// The IPsec store that the program's netsh commands act on: the local store, where each command
// is a netsh run of its own, or the store of a domain, where the commands of one operation run
// in one netsh run of a command file that sets the store first.
#pragma once
#include <windows.h>
#include <cstddef>

// Runs the commands of one operation, each "netsh ipsec static ..." of at most 511 characters,
// in the store that ipsec_store names (config/config.h), on any thread. With echo (the
// operator's letters) each line is shown and waited for without a limit; without (a block)
// the run is waited for at most wait_ms. In a domain store the store line is always shown, and
// netsh first sets the store on a command line of its own: when that fails nothing is run,
// since netsh runs the lines after a failed store switch in the local store. The exit code of
// the first command that failed (of the run, in a domain store), the error that kept the
// commands from running, or 0.
DWORD run_ipsec_commands(const wchar_t *const *commands, size_t count, bool echo, DWORD wait_ms);
// Prints the store in force when it is a domain's (the local one too with even_local), or the
// line that refuses ipsec_store.
void print_ipsec_store(bool even_local = false);
