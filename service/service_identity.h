// Whether the process runs as a service and whether it is interactive: the decision as a pure
// function of its inputs, and the place those inputs come from (the process's own session and
// token; the simulated build links a replacement of read_identity_inputs).
#pragma once
#include <windows.h>

// What the decision yields.
struct Identity {
    bool is_service;    // the process runs as a service
    bool interactive;   // it has an interactive console or desktop
    DWORD service_type; // SERVICE_WIN32_OWN_PROCESS, with SERVICE_INTERACTIVE_PROCESS when installed so
};

// Decides from the Windows session, the token's groups in their order (null when the token
// could not be read), the installed service's "Type" value (0 when missing) and whether the
// service manager has the named service START_PENDING or RUNNING in this very process. A
// session of 0 with S-1-5-6, or with neither S-1-5-4 nor S-1-5-6, among the groups is the
// service only when the service manager says so (interactive then by the type bit): a remote
// shell or a deployment agent in session 0 has such a token too.
Identity decide_identity(bool session_known, DWORD session, const TOKEN_GROUPS *groups, DWORD installed_type,
                         bool started_by_service_manager);

// Reads the process's session and, in session 0, its token groups into *groups, a buffer from
// GlobalAlloc that the caller frees with GlobalFree (null outside session 0). 0 or the Win32
// error of the failing call; *groups is null after a failure.
DWORD read_identity_inputs(DWORD *session, TOKEN_GROUPS **groups);
// The same from the process itself (ProcessIdToSessionId, OpenProcessToken, GetTokenInformation).
DWORD read_process_identity(DWORD *session, TOKEN_GROUPS **groups);
