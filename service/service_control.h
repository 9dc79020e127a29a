// Service control operations: what the service commands and the operator letters do to the
// installed service through the Service Control Manager.
#pragma once
#include <windows.h>
#include "service/service_host.h"

// Starts (0), stops (1), pauses (2), continues (3), reloads (6) the service or passes another
// control code on; -1 when it cannot be opened, 0 after a start, else the service's state. A
// failed control prints its "!!" line with the error before the state line.
int service_control(ServiceHost &host, DWORD control);
// Stops the service and waits until it reads STOPPED and its process has ended: while it
// advances its checkpoint, at most a minute. false when it is still running (a refused stop, or
// a "!!" line that it did not stop in time); true when stopped or not there to stop. What a
// restart and a removal do first.
bool stop_service_and_wait(ServiceHost &host);
