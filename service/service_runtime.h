// Service runtime: whether this process is the service, the dispatcher thread, the service
// main routine, the control handler and the teardown.
#pragma once
#include <windows.h>
#include "service/service_host.h"

// Decides whether this process is the named service and starts the dispatcher thread; when
// nothing will dispatch, signals both main-entry events so that the main entry never waits.
void start_service_dispatcher(ServiceHost &host);
// The service routine of the dispatch table: reports the service's states to the service
// manager; the platform runs it on a thread of its own.
void WINAPI service_main(DWORD argc, LPWSTR *argv);
// Handles one control code for the service and passes it on to control_callback. The service
// manager calls it, and the operator's keys and Ctrl events stop, pause and continue through it.
void service_ctrl_handler(DWORD control);
// Whether this process runs as the service (decided before the main entry runs).
bool running_as_service();
// The monitor follows the Security log: the service reports RUNNING. Called by the main entry.
void service_monitor_ready();
// The monitor has ended, its handles closed and its last line printed: 0 after an asked-for end,
// else the error that ended it. The service then reports STOPPED, with ERROR_SERVICE_SPECIFIC_ERROR
// and the error as its exit codes after a failure. Called by the main entry, once.
void service_monitor_finished(DWORD error);
// At exit, once no console thread can reach the host: waits (bounded) for the dispatcher
// thread to end, then closes its handle, the events and the service-manager handles.
void service_host_close();
