// The service host's control callback and the flags of the key console.
#include "console/key_console.h"
#include "engine/monitor.h"

volatile bool debug_console = false;
volatile bool exit_now = false;

// PLACEHOLDER: the notices and the three reports arrive with the key console's issue. Until
// then stop and pause reach the loop without them.
void monitor_control(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN)
        send_monitor_request(MonitorRequest::quit);
    else if (control == SERVICE_CONTROL_PAUSE)
        monitor_paused = true;
    else if (control == SERVICE_CONTROL_CONTINUE)
        monitor_paused = false;
}
