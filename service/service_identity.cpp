// The identity decision and the process's own identity inputs.
#include "service/service_identity.h"

Identity decide_identity(bool session_known, DWORD session, const TOKEN_GROUPS *groups, DWORD installed_type,
                         bool started_by_service_manager)
{
    Identity identity = {false, false, SERVICE_WIN32_OWN_PROCESS};
    if (!session_known)
        return identity;
    if (session != 0) {
        identity.interactive = true;
        return identity;
    }
    if (groups == nullptr)
        return identity;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID interactive_sid = nullptr, service_sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0, &interactive_sid) ||
        !AllocateAndInitializeSid(&nt, 1, SECURITY_SERVICE_RID, 0, 0, 0, 0, 0, 0, 0, &service_sid)) {
        if (interactive_sid != nullptr)
            FreeSid(interactive_sid);
        return identity;
    }
    bool matched = false;
    for (DWORD i = 0; i < groups->GroupCount && !matched; ++i) {
        PSID sid = groups->Groups[i].Sid;
        if (sid == nullptr || !IsValidSid(sid))
            continue;
        if (EqualSid(sid, interactive_sid)) {
            identity.interactive = true;
            matched = true;
        } else if (EqualSid(sid, service_sid)) {
            identity.is_service = started_by_service_manager;
            matched = true;
        }
    }
    if (!matched && started_by_service_manager) {
        identity.is_service = true;
        if (installed_type & SERVICE_INTERACTIVE_PROCESS) {
            identity.service_type |= SERVICE_INTERACTIVE_PROCESS;
            identity.interactive = true;
        }
    }
    FreeSid(service_sid);
    FreeSid(interactive_sid);
    return identity;
}

DWORD read_process_identity(DWORD *session, TOKEN_GROUPS **groups)
{
    *groups = nullptr;
    *session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), session))
        return GetLastError();
    if (*session != 0)
        return 0;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return GetLastError();
    DWORD size = 0;
    DWORD error = 0;
    if (!GetTokenInformation(token, TokenGroups, nullptr, 0, &size) &&
        (error = GetLastError()) != ERROR_INSUFFICIENT_BUFFER) {
        CloseHandle(token);
        return error;
    }
    error = 0;
    auto *buffer = static_cast<TOKEN_GROUPS *>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
    if (buffer == nullptr)
        error = GetLastError();
    else if (!GetTokenInformation(token, TokenGroups, buffer, size, &size))
        error = GetLastError();
    CloseHandle(token);
    if (error != 0) {
        if (buffer != nullptr)
            GlobalFree(buffer);
        return error;
    }
    *groups = buffer;
    return 0;
}
