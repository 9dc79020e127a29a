// PLACEHOLDER: the Remote Desktop connection monitor arrives with its own issue.
#include "engine/rdp_monitor.h"

void start_rdp_monitor() {}
DWORD WINAPI rdp_evt_handler(EVT_SUBSCRIBE_NOTIFY_ACTION, PVOID, EVT_HANDLE) { return 0; }
