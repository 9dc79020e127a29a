// Service command line: the service name of "-d:", the service letters and command words, and
// the service host's start-up.
#pragma once
#include <windows.h>
#include "service/service_host.h"

// Fills g_service_host before the main entry (static initialisation): the name from "-d:", the
// events, the service-manager connection and, when the named service exists, the decision
// whether this process is that service, then the dispatcher thread.
void service_host_init();
// Takes the service name from the first argument's text after "-d:" into name (256
// characters): default, '+' appends, up to the next ':', '/' and '\\' become '_'.
void service_name_from_argument(const wchar_t *text, wchar_t *name);
// Executes the service commands of the command line; 0 (go on) or -1 (end with exit code 1).
int service_commands(ServiceHost &host, int argc, wchar_t **argv);
