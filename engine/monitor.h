// Security log monitor: the main entry, the loop that follows the Security log, and the
// handles that the engine shares between its modules.
#pragma once
#include <windows.h>
#include <winevt.h>

// Request code of the Security log loop; stored by other threads, taken by the loop.
enum class MonitorRequest : LONG { none = 0, quit = 1, show_history = 2, reset_history = 3 };

// The pending request; written whole by the senders, taken at the top of each iteration.
extern volatile LONG monitor_request;
// While set, records that are read are dropped unprocessed.
extern volatile bool monitor_paused;
// Handle of the Security log; null when closed.
extern HANDLE security_log;
// Application-log event source through which every report is written; null when closed.
extern HANDLE event_source;
// Remote Desktop subscription and its values render context; null when not open.
extern EVT_HANDLE rdp_subscription;
extern EVT_HANDLE rdp_render_context;
// Signalled by the Security log on new records and by the request senders.
extern HANDLE e_notify_new_event;
// Full path of the running executable (the registered message file).
extern wchar_t module_path[512];
// The two configuration key paths, formatted by the main entry.
extern wchar_t parameters_key_path[512];
extern wchar_t event_source_key_path[512];

// The main entry; returns the process exit code.
int monitor_main(int argc, wchar_t **argv);
// Opens the Security log into security_log; 0 or a Win32 error code.
DWORD open_security_log();
// Closes the subscription, render context, Security log and event source, each if open.
void close_monitor_handles();
// Waits for one character from standard input when a debugger is attached (after a failure).
void wait_key_if_debugged();
// Stores a request for the loop and wakes it (SetEvent: the loop may not be waiting yet).
void send_monitor_request(MonitorRequest request);
// Calls visit for each record of a batch of bytes_read bytes, in order, with its Length; the
// walk ends at a Length below the fixed header, not a multiple of 4 or past the batch.
// Returns the number of records visited.
DWORD walk_batch(const BYTE *batch, DWORD bytes_read, void (*visit)(const EVENTLOGRECORD *record, DWORD length));
