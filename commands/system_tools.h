// The system's own programs (netsh, auditpol, regedit, cmd, netstat, findstr): always named by
// their full path in the system folder, never found by a search, which would look in the
// program's own folder and the current directory first.
#pragma once
#include <windows.h>
#include <cstddef>

// The folder that holds program, a file name such as "netsh.exe", without a final backslash:
// the Windows folder for regedit.exe, the system folder for the others. Its length, or 0 when it
// does not fit capacity or the system call failed (the last error is set). The release program
// asks the system; the simulated build links its own, which names a folder of simulated tools.
UINT system_tool_folder(const wchar_t *program, wchar_t *folder, UINT capacity);
// Stores program's full path, quoted ("C:\Windows\system32\netsh.exe"), into path (capacity in
// characters, terminator included); its length, or -1 when it does not fit or the folder is
// unknown.
int system_tool_path(const wchar_t *program, wchar_t *path, size_t capacity);
// Whether the first word of command_line is one of the system's programs that this program
// starts (netsh, auditpol, regedit, cmd; with or without ".exe", in any letter case); if so,
// the file name is stored into program (capacity 16) and the word's length into *word_length.
bool names_system_tool(const wchar_t *command_line, wchar_t *program, size_t *word_length);
