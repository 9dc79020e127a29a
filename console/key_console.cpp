// PLACEHOLDER: the key console and the Ctrl handler arrive with their own issue. Until then
// keys are discarded and every Ctrl event gets the system's default handling.
// (monitor_control and the flags live in monitor_control.cpp, so that a test program with its
// own key_console and ctrl_handler links them without these.)
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
