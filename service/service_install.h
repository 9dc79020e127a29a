// Service installation and removal: the service with its command line, description, failure
// actions and Parameters key, and its removal with its event-source key and log file.
#pragma once
#include <windows.h>
#include "service/service_host.h"

// Capacity, in characters, of the service command line.
constexpr DWORD service_command_line_chars = 1024;
// Builds "\"<image>\" \"-d:<name>\"" into line (service_command_line_chars); 0, or
// ERROR_INVALID_NAME for a name with a double quote, ERROR_FILENAME_EXCED_RANGE when too long.
DWORD build_service_command_line(const wchar_t *image, const wchar_t *name, wchar_t *line);
// The failure actions that installation asks for, pointing into steps: restart after 60 seconds
// for the first and second failure, nothing after that, the failure count reset after one day.
void build_failure_actions(SERVICE_FAILURE_ACTIONSW &failure, SC_ACTION (&steps)[3]);
// Installs the service, interactive or not, then starts it; -1 without path or service manager,
// 0 or the creation's Win32 error code.
int service_install(ServiceHost &host, bool interactive);
// Stops the service, waits for it, and removes it with its event-source key and its log file; a
// service that is still running keeps both.
void service_remove(ServiceHost &host);
