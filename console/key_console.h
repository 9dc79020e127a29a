// Key console and console Ctrl handler: what the operator's keys and Ctrl events do while the
// process has a console window.
#pragma once
#include <windows.h>

// Wait callback on the console input handle (the context): handles the pending key events.
void CALLBACK key_console(PVOID context, BOOLEAN timed_out);
// Console Ctrl handler: TRUE when it handled the event, FALSE for the system's default handling.
BOOL WINAPI ctrl_handler(DWORD ctrl_type);
