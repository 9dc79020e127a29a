// Remote Desktop connection monitor: event 140 of the RdpCoreTS channel, counted per address.
#pragma once
#include <windows.h>
#include <winevt.h>

// The subscription and its values render context. Written on the main thread only, by
// start_rdp_monitor and close_rdp_monitor (start-up, recovery of a cleared log, shutdown); the
// context is read by rdp_evt_handler on the callback thread under the delivery lock. Null
// when not open.
extern EVT_HANDLE rdp_subscription;
extern EVT_HANDLE rdp_render_context;

// Subscribes to the channel (Windows 6.3 and later); failures are reported, never fatal.
void start_rdp_monitor();
// Closes the subscription, then the render context, each if open; the one closer of both.
void close_rdp_monitor();
// The subscription callback; always 0. Deliveries never run at the same time.
DWORD WINAPI rdp_evt_handler(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event);
