// The system's own programs by their full path.
#include "commands/system_tools.h"
#include "console/output.h"
#include <cwchar>

namespace {
// The programs that this program starts by a bare first word, as file names.
constexpr const wchar_t *system_tools[] = {L"netsh.exe", L"auditpol.exe", L"regedit.exe", L"cmd.exe"};
} // namespace

int system_tool_path(const wchar_t *program, wchar_t *path, size_t capacity)
{
    wchar_t folder[MAX_PATH];
    const UINT length = system_tool_folder(program, folder, MAX_PATH);
    if (length == 0 || path == nullptr || capacity == 0)
        return -1;
    // A folder ending in a separator (a drive's root) takes no second one.
    const wchar_t *separator = folder[length - 1] == L'\\' ? L"" : L"\\";
    return format_text(path, capacity, L"\"%ls%ls%ls\"", folder, separator, program);
}

bool names_system_tool(const wchar_t *command_line, wchar_t *program, size_t *word_length)
{
    if (command_line == nullptr)
        return false;
    size_t length = 0;
    while (command_line[length] != L'\0' && command_line[length] != L' ' && command_line[length] != L'\t')
        ++length;
    for (const wchar_t *tool : system_tools) {
        // The name without ".exe", and with it.
        const size_t name = wcslen(tool) - 4;
        if ((length == name || length == name + 4) && _wcsnicmp(command_line, tool, length) == 0) {
            wcscpy_s(program, 16, tool);
            *word_length = length;
            return true;
        }
    }
    return false;
}
