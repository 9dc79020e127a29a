// Reading a log for people and scripts: one line per record, or the records as Event
// Viewer shows them, with texts from the sources' message files.
#pragma once
#include <windows.h>

// Prints every record of the log (SimLog) one per line; 0 or a Win32 error.
DWORD list_log(int log);
// Prints every record of the log as Event Viewer shows it; 0 or a Win32 error.
DWORD render_log(int log);
