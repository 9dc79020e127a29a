// Simulated identity of the process, as Windows gives it to a service. Under Wine a service
// runs in session 1 with the token of any process (S-1-5-4 among its groups), so the service
// host would take it for a console program. Here:
//   TOSMIRE_SIM_IDENTITY=<session>[:<sid>,<sid>,...]  forces the session and the token groups,
//                       in their order (e.g. "0:" for session 0 without groups, "1");
//   otherwise a process whose parent is services.exe gets session 0 and the groups of a
//   LocalSystem service, which runs with the service manager's SYSTEM token: neither S-1-5-4
//   nor S-1-5-6;
//   otherwise the process's own session and token.
#include "service/service_identity.h"
#include <sddl.h>
#include <tlhelp32.h>
#include <cwchar>

namespace {

constexpr wchar_t identity_variable[] = L"TOSMIRE_SIM_IDENTITY";
constexpr wchar_t local_system_groups[] = L"S-1-5-32-544,S-1-1-0,S-1-5-11,S-1-16-16384";
constexpr DWORD max_groups = 16;
constexpr DWORD max_sid_bytes = SECURITY_MAX_SID_SIZE;

// The executable name of a process; empty when it is not found.
bool process_entry(HANDLE snapshot, DWORD pid, PROCESSENTRY32W &entry)
{
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == pid)
            return true;
    return false;
}

bool parent_is_service_manager()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W own, parent;
    bool result = process_entry(snapshot, GetCurrentProcessId(), own) &&
                  process_entry(snapshot, own.th32ParentProcessID, parent) &&
                  _wcsicmp(parent.szExeFile, L"services.exe") == 0;
    CloseHandle(snapshot);
    return result;
}

// Builds TOKEN_GROUPS from SID texts separated by commas, in one GlobalAlloc block.
DWORD build_groups(const wchar_t *list, TOKEN_GROUPS **groups)
{
    const SIZE_T header = sizeof(TOKEN_GROUPS) + (max_groups - 1) * sizeof(SID_AND_ATTRIBUTES);
    auto *block = static_cast<BYTE *>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, header + max_groups * max_sid_bytes));
    if (block == nullptr)
        return GetLastError();
    auto *result = reinterpret_cast<TOKEN_GROUPS *>(block);
    BYTE *sids = block + header;
    while (*list != 0) {
        const wchar_t *end = wcschr(list, L',');
        size_t length = end != nullptr ? static_cast<size_t>(end - list) : wcslen(list);
        wchar_t text[192];
        if (length > 0) {
            if (length >= 192 || result->GroupCount >= max_groups) {
                GlobalFree(block);
                return ERROR_INVALID_PARAMETER;
            }
            wmemcpy(text, list, length);
            text[length] = 0;
            PSID sid = nullptr;
            if (!ConvertStringSidToSidW(text, &sid)) {
                DWORD error = GetLastError();
                GlobalFree(block);
                return error;
            }
            BYTE *slot = sids + result->GroupCount * max_sid_bytes;
            CopySid(max_sid_bytes, slot, sid);
            LocalFree(sid);
            result->Groups[result->GroupCount].Sid = slot;
            result->Groups[result->GroupCount].Attributes = SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT;
            ++result->GroupCount;
        }
        list += length;
        if (*list == L',')
            ++list;
    }
    *groups = result;
    return 0;
}

DWORD simulated(DWORD session_id, const wchar_t *group_list, DWORD *session, TOKEN_GROUPS **groups)
{
    *session = session_id;
    return session_id == 0 ? build_groups(group_list, groups) : 0;
}

} // namespace

DWORD read_identity_inputs(DWORD *session, TOKEN_GROUPS **groups)
{
    *groups = nullptr;
    *session = 0;
    wchar_t forced[1024];
    DWORD length = GetEnvironmentVariableW(identity_variable, forced, 1024);
    if (length > 0 && length < 1024) {
        wchar_t *end = nullptr;
        unsigned long session_id = wcstoul(forced, &end, 10);
        if (end == forced || (*end != 0 && *end != L':'))
            return ERROR_INVALID_PARAMETER;
        return simulated(session_id, *end == L':' ? end + 1 : L"", session, groups);
    }
    if (parent_is_service_manager())
        return simulated(0, local_system_groups, session, groups);
    return read_process_identity(session, groups);
}
