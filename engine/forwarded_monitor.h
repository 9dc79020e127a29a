// Forwarded events: the Security events of other computers that Windows Event Forwarding
// collects into the ForwardedEvents channel, decided as this computer's own records are, in
// the one failure history of the Security log loop.
#pragma once
#include <windows.h>
#include <winevt.h>

// The subscription and its values render context. Written on the main thread only, by
// start_forwarded_monitor and close_forwarded_monitor; the context is read by the callback
// under its delivery lock. Null when not open.
extern EVT_HANDLE forwarded_subscription;
extern EVT_HANDLE forwarded_render_context;

// Subscribes to ForwardedEvents (future events 4624, 4625 and 4776); a failure is told on one
// line and reported, never fatal. Main thread.
void start_forwarded_monitor();
// Closes the subscription, then the render context, each if open; the one closer of both. A
// delivery waiting for room in the queue gives its event up. Main thread.
void close_forwarded_monitor();
// The event that the callback signals when it queues an event (the loop's e_notify_new_event),
// or null; set before that event is closed. Main thread.
void set_forwarded_wake(HANDLE wake);
// Takes the queued events in order, at most 64, and decides each as a Security record, or drops
// it while paused; with more queued, sets the wake event. Main thread, between two batches of
// the Security log.
void serve_forwarded_events(bool paused);
// The time to count a failure of logon_failures at (seconds since 1970): while forwarded events
// are followed, the latest of time and every time counted before, since an arrival counted
// before a Security record of an earlier time would restart its count; otherwise time. Main thread.
DWORD fleet_count_time(DWORD time);
// The subscription callback: checks and copies an event into the queue, waiting while the queue
// is full (the channel keeps what is not yet delivered). Always 0; deliveries never overlap.
DWORD WINAPI forwarded_evt_handler(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event);
