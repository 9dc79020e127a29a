// Windows version probe: two flags set once during static initialisation.
#pragma once
#include <windows.h>

// Both flags are written once by probe_windows_version in static initialisation, before any
// other thread exists, and only read afterwards.
// Set when the system answers at least 6.0 (auditing through auditpol).
extern bool os_vista_or_later;
// Set when the system answers at least 6.3 (Remote Desktop connection monitor).
extern bool os_win81_or_later;

// True when the system's version is at least major.minor, service pack 0.
bool is_version_or_greater(WORD major, WORD minor);
// Sets both flags; called once from the static initialisation of the program.
void probe_windows_version();
