// PLACEHOLDER: the failure history arrives with the Security log spine.
#include "engine/failure_history.h"

FailureHistory<uint32_t> logon_failures;
FailureHistory<uint64_t> rdp_failures;
