// PLACEHOLDER: the monitor start-up arrives with its own issue.
#include "engine/startup.h"

DWORD start_monitor() { return ERROR_CALL_NOT_IMPLEMENTED; }
