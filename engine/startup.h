// Monitor start-up: logon auditing, event source, Security log, Remote Desktop and forwarded
// events subscriptions.
#pragma once
#include <windows.h>

// Prepares every event source of the engine; 0 or a Win32 error code.
DWORD start_monitor();
