// PLACEHOLDER: the command runner arrives with its own issue; nothing is started until then.
#include "commands/runner.h"

DWORD run_command(const wchar_t *, bool, bool, HANDLE) { return ERROR_CALL_NOT_IMPLEMENTED; }

DWORD run_command_capture(const wchar_t *, wchar_t *text, DWORD *capacity, bool)
{
    if (text != nullptr && capacity != nullptr && *capacity > 0)
        text[0] = L'\0';
    if (capacity != nullptr)
        *capacity = 0;
    return 0;
}
