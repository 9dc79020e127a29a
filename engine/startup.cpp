// Monitor start-up: runs on the main thread before monitoring, and again after the Security
// log was cleared, so every step must be repeatable.
#include "engine/startup.h"
#include "engine/security_log.h"
#include "engine/report.h"
#include "engine/rdp_monitor.h"
#include "engine/forwarded_monitor.h"
#include "config/config.h"
#include "config/program_name.h"
#include "config/version_probe.h"
#include "console/output.h"
#include "commands/ipsec_store.h"
#include "commands/runner.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t source_key_path[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS";
constexpr wchar_t audit_policy_key_path[] = L"SECURITY\\Policy\\PolAdtEv";
// The byte of the legacy audit policy that holds the logon-event setting (bit 0 success, bit 1 failure).
constexpr DWORD logon_audit_byte = 8;

// auditpol's output, shown on the console as it arrives; nothing examines it. Written by
// start_monitor on the main thread only, at start-up and after a cleared log.
constexpr DWORD audit_output_chars = 65536;
wchar_t audit_output[audit_output_chars];

void print_manual_audit_notice()
{
    print_out(L"(i)  Audit logon events can only be enabled manualy on old systems.\n");
    print_out(L"     The setting is available in Administrative tools:\n");
    print_out(L"     Local Security Policy, Security Settings, Local Policies, Audit Policy\n\n");
}

// Windows before 6.0 keeps the audit policy in a binary value of the local security policy.
void enable_legacy_logon_auditing()
{
    BYTE policy[128] = {};
    DWORD size = sizeof(policy);
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, audit_policy_key_path, 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key, nullptr, nullptr, nullptr, policy, &size);
        RegCloseKey(key);
    }
    // A value too short to hold the logon byte cannot be switched on by writing it back.
    if (status != ERROR_SUCCESS || size <= logon_audit_byte) {
        print_manual_audit_notice();
        return;
    }
    if ((policy[logon_audit_byte] & 3) == 3)
        return;
    policy[logon_audit_byte] = 3;

    HKEY created = nullptr;
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, audit_policy_key_path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                             nullptr, &created, nullptr);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(created);
        HKEY opened = nullptr;
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, audit_policy_key_path, 0, KEY_SET_VALUE, &opened);
        if (status == ERROR_SUCCESS) {
            status = RegSetValueExW(opened, nullptr, 0, REG_NONE, policy, size);
            RegCloseKey(opened);
        }
    }
    if (status == ERROR_SUCCESS)
        print_out(L"# Enabled Audit logon events in registry\n");
    else
        print_manual_audit_notice();
}

void enable_logon_auditing()
{
    if (!os_vista_or_later) {
        enable_legacy_logon_auditing();
        return;
    }
    print_out(L"# Enable Audit logon events: ");
    memset(audit_output, 0, sizeof(audit_output));
    DWORD capacity = audit_output_chars;
    run_command_capture(L"auditpol /set /category:\"Logon/Logoff\" /success:enable /failure:enable", audit_output,
                        &capacity, false);
}

// The running executable is the message file: the catalogue is one of its resources.
void register_source_values()
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, source_key_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        print_out(L"# Configure EventMessageFile: ");
        set_console_color(color_error);
        print_out(L"%ls %u\n", status == ERROR_ACCESS_DENIED ? L"Access is denied:" : L"FAILED",
                  static_cast<unsigned>(status));
        restore_console_color();
        return;
    }
    DWORD category_count = 11, types_supported = 31;
    DWORD path_size = static_cast<DWORD>((wcsnlen(module_path, 511) + 1) * sizeof(wchar_t));
    // A value that cannot be written is left as it is; the source still works without it.
    reg::set_value(key, L"CategoryCount", REG_DWORD, &category_count, sizeof(category_count));
    reg::set_value(key, L"CategoryMessageFile", REG_SZ, module_path, path_size);
    reg::set_value(key, L"EventMessageFile", REG_SZ, module_path, path_size);
    reg::set_value(key, L"ParameterMessageFile", REG_SZ, module_path, path_size);
    reg::set_value(key, L"TypesSupported", REG_DWORD, &types_supported, sizeof(types_supported));
    RegCloseKey(key);
}

} // namespace

DWORD start_monitor()
{
    enable_logon_auditing();
    register_source_values();

    event_source = RegisterEventSourceW(nullptr, default_service_name);
    if (event_source == nullptr) {
        DWORD error = GetLastError();
        if (error == 0)
            error = ERROR_INVALID_HANDLE; // without an event source start-up must not read as done
        set_console_color(color_error);
        print_out(L"%ls %u", L"RegisterEventSource failed", error);
        restore_console_color();
        wait_key_if_debugged();
        SetLastError(error);
        return error;
    }

    DWORD result = open_security_log();
    if (result != 0) {
        // The recovery after a cleared log ends the program with the last error code.
        SetLastError(result);
        return result;
    }
    // The Remote Desktop channel exists from 6.3 on; its failures leave the Security log watched.
    if (os_win81_or_later)
        start_rdp_monitor();
    // So do those of the forwarded events; the store line is printed only for a domain store.
    if (forwarded_events != 0)
        start_forwarded_monitor();
    print_ipsec_store();
    return 0;
}
