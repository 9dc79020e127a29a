// Where the release program finds the system's programs: the system asked for its folders.
// Alone in its file, so that the simulated build, which links its own system_tool_folder,
// never pulls this one in.
#include "commands/system_tools.h"
#include <cwchar>

UINT system_tool_folder(const wchar_t *program, wchar_t *folder, UINT capacity)
{
    const bool windows_folder = program != nullptr && _wcsicmp(program, L"regedit.exe") == 0;
    const UINT length = windows_folder ? GetWindowsDirectoryW(folder, capacity) : GetSystemDirectoryW(folder, capacity);
    // At capacity or above the system reports the size it needs and stores nothing.
    if (length >= capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return length;
}
