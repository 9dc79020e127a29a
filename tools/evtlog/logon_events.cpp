// Insertion strings of the logon events, position by position as Windows fills them. The
// positions the engine reads (user, domain, address, logon type, authentication package)
// come from the options; the rest carry values typical of a network logon.
#include "tools/evtlog/logon_events.h"
#include "tools/evtsim/evtsim.h"
#include <cwchar>

namespace {

constexpr WORD category_logon = 12544;                // "Logon" (current IDs)
constexpr WORD category_credential_validation = 14336; // "Credential Validation" (4776)
constexpr WORD category_logon_logoff = 2;             // "Logon/Logoff" (legacy IDs)
const wchar_t null_sid[] = L"S-1-0-0";
const wchar_t no_value[] = L"-";
const wchar_t null_guid[] = L"{00000000-0000-0000-0000-000000000000}";
// The source of the current event IDs; the legacy ones are written by "Security".
const wchar_t auditing_source[] = L"Microsoft-Windows-Security-Auditing";

// The logon process a real logon of that kind shows.
const wchar_t *logon_process(const LogonOptions &o)
{
    if (_wcsicmp(o.authentication, L"Kerberos") == 0)
        return L"Kerberos";
    return wcscmp(o.logon_type, L"10") == 0 ? L"User32 " : L"NtLmSsp ";
}

void build_4624(const LogonOptions &o, LogonEvent *e)
{
    const wchar_t *s[max_logon_strings] = {
        L"S-1-5-18",                                       // 0 SubjectUserSid
        e->subject_user,                                   // 1 SubjectUserName
        L"WORKGROUP",                                      // 2 SubjectDomainName
        L"0x3e7",                                          // 3 SubjectLogonId
        L"S-1-5-21-3623811015-3361044348-30300820-1013",   // 4 TargetUserSid
        o.user,                                            // 5 TargetUserName
        o.domain,                                          // 6 TargetDomainName
        L"0x8d2f31",                                       // 7 TargetLogonId
        o.logon_type,                                      // 8 LogonType
        logon_process(o),                                  // 9 LogonProcessName
        o.authentication,                                  // 10 AuthenticationPackageName
        o.workstation,                                     // 11 WorkstationName
        null_guid,                                         // 12 LogonGuid
        no_value,                                          // 13 TransmittedServices
        L"NTLM V2",                                        // 14 LmPackageName
        L"128",                                            // 15 KeyLength
        L"0x0",                                            // 16 ProcessId
        no_value,                                          // 17 ProcessName
        o.address,                                         // 18 IpAddress
        o.port,                                            // 19 IpPort
        L"%%1833",                                         // 20 ImpersonationLevel
        no_value,                                          // 21 RestrictedAdminMode
        no_value,                                          // 22 TargetOutboundUserName
        no_value,                                          // 23 TargetOutboundDomainName
        L"%%1843",                                         // 24 VirtualAccount
        L"0x0",                                            // 25 TargetLinkedLogonId
        L"%%1842",                                         // 26 ElevatedToken
    };
    memcpy(e->strings, s, sizeof(s));
    e->num_strings = static_cast<WORD>(o.strings_4624 == 20 ? 20 : 27);
    e->event_type = EVENTLOG_AUDIT_SUCCESS;
    e->category = category_logon;
    e->source = auditing_source;
}

void build_4625(const LogonOptions &o, LogonEvent *e)
{
    const wchar_t *s[] = {
        null_sid,           // 0 SubjectUserSid
        no_value,           // 1 SubjectUserName
        no_value,           // 2 SubjectDomainName
        L"0x0",             // 3 SubjectLogonId
        null_sid,           // 4 TargetUserSid
        o.user,             // 5 TargetUserName
        o.domain,           // 6 TargetDomainName
        L"0xc000006d",      // 7 Status
        L"%%2313",          // 8 FailureReason: unknown user name or bad password
        L"0xc000006a",      // 9 SubStatus: wrong password
        o.logon_type,       // 10 LogonType
        logon_process(o),   // 11 LogonProcessName
        o.authentication,   // 12 AuthenticationPackageName
        o.workstation,      // 13 WorkstationName
        no_value,           // 14 TransmittedServices
        no_value,           // 15 LmPackageName
        L"0",               // 16 KeyLength
        L"0x0",             // 17 ProcessId
        no_value,           // 18 ProcessName
        o.address,          // 19 IpAddress
        o.port,             // 20 IpPort
    };
    memcpy(e->strings, s, sizeof(s));
    e->num_strings = 21;
    e->event_type = EVENTLOG_AUDIT_FAILURE;
    e->category = category_logon;
    e->source = auditing_source;
}

void build_528(const LogonOptions &o, LogonEvent *e)
{
    const wchar_t *s[] = {
        o.user,              // 0 User Name
        o.domain,            // 1 Domain
        L"(0x0,0x8D2F31)",   // 2 Logon ID
        o.logon_type,        // 3 Logon Type
        logon_process(o),    // 4 Logon Process
        o.authentication,    // 5 Authentication Package
        o.workstation,       // 6 Workstation Name
        null_guid,           // 7 Logon GUID
        no_value,            // 8 Caller User Name
        no_value,            // 9 Caller Domain
        no_value,            // 10 Caller Logon ID
        no_value,            // 11 Caller Process ID
        no_value,            // 12 Transited Services
        o.address,           // 13 Source Network Address
        o.port,              // 14 Source Port
    };
    memcpy(e->strings, s, sizeof(s));
    e->num_strings = 15;
    e->event_type = EVENTLOG_AUDIT_SUCCESS;
    e->category = category_logon_logoff;
    e->system_sid = true;
}

// 529 (unknown user name or bad password) and 539 (account locked out) share the layout.
void build_529(const LogonOptions &o, LogonEvent *e)
{
    const wchar_t *s[] = {
        o.user,              // 0 User Name
        o.domain,            // 1 Domain
        o.logon_type,        // 2 Logon Type
        logon_process(o),    // 3 Logon Process
        o.authentication,    // 4 Authentication Package
        o.workstation,       // 5 Workstation Name
        no_value,            // 6 Caller User Name
        no_value,            // 7 Caller Domain
        no_value,            // 8 Caller Logon ID
        no_value,            // 9 Caller Process ID
        no_value,            // 10 Transited Services
        o.address,           // 11 Source Network Address
        o.port,              // 12 Source Port
    };
    memcpy(e->strings, s, sizeof(s));
    e->num_strings = 13;
    e->event_type = EVENTLOG_AUDIT_FAILURE;
    e->category = category_logon_logoff;
    e->system_sid = true;
}

// Credential validation: the workstation position is where the engine finds the address.
void build_4776(const LogonOptions &o, LogonEvent *e)
{
    const wchar_t *s[] = {
        o.authentication[0] != 0 && _wcsicmp(o.authentication, L"NTLM") != 0
            ? o.authentication
            : L"MICROSOFT_AUTHENTICATION_PACKAGE_V1_0",   // 0 PackageName
        o.user,                                           // 1 TargetUserName
        o.address,                                        // 2 Workstation
        L"0xc000006a",                                    // 3 Status
    };
    memcpy(e->strings, s, sizeof(s));
    e->num_strings = 4;
    e->event_type = EVENTLOG_AUDIT_FAILURE;
    e->category = category_credential_validation;
    e->source = auditing_source;
}

void build_140(const LogonOptions &o, LogonEvent *e)
{
    e->strings[0] = o.address;   // IPString: the client address
    e->num_strings = 1;
    e->event_type = EVENTLOG_WARNING_TYPE;
    e->category = 0;
    e->source = L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS";
}

} // namespace

const wchar_t *local_computer_name()
{
    static wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    if (name[0] == 0) {
        DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
        if (!GetComputerNameW(name, &n))
            wcscpy_s(name, L"LOCALHOST");
    }
    return name;
}

bool is_known_event(DWORD event_id)
{
    switch (event_id) {
    case 4624: case 4625: case 528: case 529: case 539: case 4776: case 140:
        return true;
    default:
        return false;
    }
}

int event_log(DWORD event_id) { return event_id == 140 ? sim_rdp : sim_security; }

bool build_logon_event(DWORD event_id, const LogonOptions &options, LogonEvent *event)
{
    memset(event, 0, sizeof(*event));
    event->event_id = event_id;
    event->source = L"Security";
    _snwprintf_s(event->subject_user, 32, _TRUNCATE, L"%ls$", local_computer_name());
    switch (event_id) {
    case 4624: build_4624(options, event); return true;
    case 4625: build_4625(options, event); return true;
    case 528: build_528(options, event); return true;
    case 529: case 539: build_529(options, event); return true;
    case 4776: build_4776(options, event); return true;
    case 140: build_140(options, event); return true;
    default: return false;
    }
}
