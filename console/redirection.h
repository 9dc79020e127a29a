// Where standard output goes: the console the process started with, a new or attached console,
// the log file or NUL. Builds and releases g_shadow_console, and runs the key console and the
// console Ctrl handler that the program's start-up hands it, whenever a console is set up.
#pragma once
#include <windows.h>

// Registers the key console (a wait callback on the console input handle) and the console Ctrl
// handler that every console set-up starts; once, in static start-up, before shadow_console_init.
void set_console_hooks(WAITORTIMERCALLBACK key_console, PHANDLER_ROUTINE ctrl_handler);
// The name of the log file without ".log" (the service name); the default name until set.
void set_log_file_name(const wchar_t *name);

// Stores the log file's path (the system folder, "/LogFiles/", the name, ".log") into path
// (capacity in characters); its length, or -1 (an empty path) when it does not fit.
int log_file_path(wchar_t *path, size_t capacity);
// Sends standard output to the log file (freeing the console first if asked); 0 or -1.
int log_to_file(bool close_console_first);
// Allocates a new console and moves the streams to it; 0 or the system error code.
DWORD new_console();
// Attaches to the console of another process; 0 or -1.
int attach_console(DWORD process_id);
// Detaches from the console; the streams go to NUL.
void free_console();

// Builds g_shadow_console; runs first in the program's static initialisation.
void shadow_console_init();
// Stops the key console and the Ctrl handler, frees an allocated or attached console and
// releases the record; registered to run at exit.
void shadow_console_close();
