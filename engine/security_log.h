// The Security log's handle: opened by the monitor's start-up, followed by the loop, and closed
// with the monitor's other handles.
#pragma once
#include <windows.h>

// Handle of the Security log. Written on the main thread only (open_security_log,
// close_monitor_handles); null when closed.
extern HANDLE security_log;

// Opens the Security log into security_log; 0 or a Win32 error code.
DWORD open_security_log();
// Closes the Remote Desktop and forwarded events subscriptions with their render contexts, the
// Security log and the event source, each if open.
void close_monitor_handles();
