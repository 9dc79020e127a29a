// PLACEHOLDER: the key console and the Ctrl handler arrive with their own issue. Until then
// keys are discarded and every Ctrl event gets the system's default handling.
#include "console/key_console.h"

void CALLBACK key_console(PVOID context, BOOLEAN)
{
    // Pending input keeps the handle signalled; dropping it ends this round of the wait.
    if (context != nullptr)
        FlushConsoleInputBuffer(static_cast<HANDLE>(context));
}

BOOL WINAPI ctrl_handler(DWORD)
{
    return FALSE;
}
