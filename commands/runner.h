// Command runner: the only way the program starts other programs.
#pragma once
#include <windows.h>

// The system's programs that the commands name by a bare first word (netsh, auditpol, regedit,
// cmd) are started from the system folder (commands/system_tools.h); the echo and the callers'
// texts keep the bare name, the start-failure message shows the line as it was run.
// Runs a command line, optionally echoed and waited for, optionally with its output on
// output_handle; the exit code (waited), 0 (not waited) or the start error code.
DWORD run_command(const wchar_t *command_line, bool echo, bool wait, HANDLE output_handle);
// How long a block command (netsh) may run before the monitor goes on without it, in
// milliseconds: a slow netsh is normal under load, a hung one must not stop detection.
constexpr DWORD block_command_wait_ms = 30000;
// Runs a command line without echo and waits for it at most wait_ms; the exit code or the start
// error code. After the limit it prints one "!! " line naming the program and returns
// WAIT_TIMEOUT (258), leaving the child running: killing it could leave its work half done.
DWORD run_command_limited(const wchar_t *command_line, DWORD wait_ms);
// Runs a command line with its output shown and stored into text (capacity in characters,
// set to the count stored); 0 or the read error code.
DWORD run_command_capture(const wchar_t *command_line, wchar_t *text, DWORD *capacity, bool leading_newline);
