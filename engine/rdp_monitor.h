// Remote Desktop connection monitor: event 140 of the RdpCoreTS channel, counted per address.
#pragma once
#include <windows.h>
#include <winevt.h>

// Subscribes to the channel (Windows 6.3 and later); failures are reported, never fatal.
void start_rdp_monitor();
// The subscription callback; always 0. Deliveries never run at the same time.
DWORD WINAPI rdp_evt_handler(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event);
