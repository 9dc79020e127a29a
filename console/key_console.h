// Key console, console Ctrl handler and the service control callback: what the operator's keys,
// Ctrl events and service controls do to the running monitor.
#pragma once
#include <windows.h>

// Typed characters go to the operator letters. Written by key_console on the console wait
// thread only; read there. False at start, for the whole run.
extern volatile bool debug_console;
// At its end the main entry does not wait for a key even under a debugger. Set (never
// cleared) by key_console's Esc on the wait thread and by ctrl_handler on a system thread;
// read by the main entry at shutdown.
extern volatile bool exit_now;
// Only Esc and Q act (a replay runs no program and changes nothing). Written once by the main
// entry on the main thread before the replay starts, never cleared; read by key_console on the
// console wait thread.
extern volatile bool keys_quit_only;

// Wait callback on the console input handle (the context): handles the pending key events.
void CALLBACK key_console(PVOID context, BOOLEAN timed_out);
// Console Ctrl handler: TRUE when it handled the event, FALSE for the system's default handling.
// On a close, and in a console program on a logoff or shutdown, after which the system ends the
// process, it waits (as long as the system gives, about 5 seconds) until signal_quit_done.
BOOL WINAPI ctrl_handler(DWORD ctrl_type);
// The main entry has printed its last line; called by it on the main thread as its last step.
void signal_quit_done();
// The service host's control callback: pause and resume notices, the stop and reload requests,
// the reports.
void monitor_control(DWORD control);
