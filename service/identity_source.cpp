// Where the release program takes its identity from: the process itself. Alone in its file so
// that the simulated build, which links its own read_identity_inputs, never pulls this one in.
#include "service/service_identity.h"

DWORD read_identity_inputs(DWORD *session, TOKEN_GROUPS **groups)
{
    return read_process_identity(session, groups);
}
