// Service control operations: what the service commands and the operator letters do to the
// installed service through the Service Control Manager.
#pragma once
#include <windows.h>
#include "service/service_host.h"

// Capacity, in characters, of the service command line.
constexpr DWORD service_command_line_chars = 1024;
// Builds "\"<image>\" \"-d:<name>\"" into line (service_command_line_chars); 0, or
// ERROR_INVALID_NAME for a name with a double quote, ERROR_FILENAME_EXCED_RANGE when too long.
DWORD build_service_command_line(const wchar_t *image, const wchar_t *name, wchar_t *line);
// Starts (0), stops (1), pauses (2), continues (3), reloads (6) the service or passes another
// control code on; -1 when it cannot be opened, 0 after a start, else the service's state.
int service_control(ServiceHost &host, DWORD control);
// Installs the service, interactive or not; -1 without path or service manager, 0 or the
// creation's Win32 error code.
int service_install(ServiceHost &host, bool interactive);
// Stops and removes the service, its event-source key and its log file.
void service_remove(ServiceHost &host);
