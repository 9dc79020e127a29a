// Command runner: the only way the program starts other programs.
#pragma once
#include <windows.h>

// Runs a command line, optionally echoed and waited for, optionally with its output on
// output_handle; the exit code (waited), 0 (not waited) or the start error code.
DWORD run_command(const wchar_t *command_line, bool echo, bool wait, HANDLE output_handle);
// Runs a command line with its output shown and stored into text (capacity in characters,
// set to the count stored); 0 or the read error code.
DWORD run_command_capture(const wchar_t *command_line, wchar_t *text, DWORD *capacity, bool leading_newline);
