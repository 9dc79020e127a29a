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
// Closes the dispatcher thread's handle (neither waiting for nor stopping the thread), signals
// and closes the events, closes the service-manager handles and zeroes the record; at exit.
void service_host_close();
