// Security log monitor: the loop that follows the Security log, the requests that other threads
// send it, and the handles it opens and closes.
#pragma once
#include <windows.h>
#include <winevt.h>

// Request code of the Security log loop; stored by other threads, taken by the loop.
// reload_config reads the configuration again (the service's parameter-change control).
enum class MonitorRequest : LONG { none = 0, quit = 1, show_history = 2, reset_history = 3, reload_config = 4 };

// The pending request. Stored whole by the senders (key console, Ctrl handler, service control
// callback) on their threads; taken by the loop on the main thread at the top of each iteration.
extern volatile LONG monitor_request;
// While set, records that are read are dropped unprocessed. Written by the key console and the
// service control callback on their threads; read by the loop and the key console.
extern volatile bool monitor_paused;
// Signalled by the Security log on new records and by the request senders. Created and closed
// by run_monitor on the main thread; null before it exists and after it is closed, which the
// senders check.
extern HANDLE e_notify_new_event;

// Starts the event sources and follows the Security log until a quit request or a failure, then
// closes what it opened; following() is called once, when the loop is about to wait for its
// first records. The exit code: 0 after a quit, 575 when the start failed, else the error that
// ended the monitor; *error is the Win32 error (the start's own for 575, 0 after a quit). In a
// service every failure, a lost event-log connection (1717) too, is reported as an Error; a
// 1717 after a stop was asked for (*stop_requested) is part of that stop.
int run_monitor(bool is_service, const bool *stop_requested, void (*following)(), DWORD *error);
// Stores a request for the loop and wakes it (SetEvent: the loop may not be waiting yet). A
// reload is kept apart from the other requests: it neither replaces one nor is replaced.
void send_monitor_request(MonitorRequest request);
// Whether the loop drops what it reads.
bool monitor_is_paused();
// Makes the loop drop (true) or process (false) the records it reads from the next batch on.
void set_monitor_paused(bool paused);
// Calls visit for each record of a batch of bytes_read bytes, in order, with its Length; the
// walk ends at a Length below the fixed header, not a multiple of 4 or past the batch.
// Returns the number of records visited.
DWORD walk_batch(const BYTE *batch, DWORD bytes_read, void (*visit)(const EVENTLOGRECORD *record, DWORD length));
