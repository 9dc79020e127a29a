// The system folder of the simulated build: the simulated netsh, auditpol and regedit live in
// the folder system32 beside the program's own folder (bin/system32 beside bin/sim), which is
// not the program's folder, so that a program of that name placed beside the program is never
// the one that runs. The other programs (cmd, netstat, findstr) are Wine's, in its system folder.
#include "commands/system_tools.h"
#include <cwchar>

namespace {
constexpr const wchar_t *simulated[] = {L"netsh.exe", L"auditpol.exe", L"regedit.exe"};
// Relative to the folder of the running program.
constexpr wchar_t simulated_folder[] = L"..\\system32\\";
} // namespace

UINT system_tool_folder(const wchar_t *program, wchar_t *folder, UINT capacity)
{
    bool is_simulated = false;
    for (const wchar_t *name : simulated)
        is_simulated = is_simulated || (program != nullptr && _wcsicmp(program, name) == 0);
    if (!is_simulated) {
        const UINT length = GetSystemDirectoryW(folder, capacity);
        if (length >= capacity) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        return length;
    }
    wchar_t module[1024];
    const DWORD length = GetModuleFileNameW(nullptr, module, 1024);
    wchar_t *name = length > 0 && length < 1024 ? wcsrchr(module, L'\\') : nullptr;
    if (name == nullptr || static_cast<size_t>(name + 1 - module) + wcslen(simulated_folder) >= 1024) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    wcscpy(name + 1, simulated_folder);
    // The full path without "..", as Windows would show the folder; no final backslash.
    DWORD full = GetFullPathNameW(module, capacity, folder, nullptr);
    if (full == 0)
        return 0;
    if (full >= capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (folder[full - 1] == L'\\')
        folder[--full] = L'\0';
    return full;
}
