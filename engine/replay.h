// Replay (the first argument "-t"): the records of this machine's Security log, or of a saved
// log, go through the monitor's own decoding, failure history and block decision, with each
// record's time as the clock. Nothing is run, reported or written; a summary says who would
// have been blocked. It includes neither the operator side nor the service host.
#pragma once
#include <windows.h>

// Whether the command line asks for a replay: its first argument is "-t".
bool is_replay_command(int argc, wchar_t **argv);
// Runs the replay "-t [FILE] [overrides] [-q] [--csv FILE]" on the main thread, before the
// configuration is loaded; the exit code: 0 when every record was read, ERROR_INVALID_PARAMETER
// for a usage error, otherwise the Win32 error code that ended it.
int run_replay(int argc, wchar_t **argv);
