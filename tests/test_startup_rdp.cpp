// Monitor start-up and the Remote Desktop connection monitor against the simulated event log,
// netsh and auditpol, one scenario per child process.
#include "engine/startup.h"
#include "engine/rdp_monitor.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "config/config.h"
#include "config/version_probe.h"
#include "tests/app_log_reader.h"
#include "tests/child_harness.h"
#include "tools/evtsim/evtsim.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <string>

namespace {

constexpr DWORD t0 = 1651233909;
const wchar_t source_key[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS";

// ---- child side ----

// Appends one event 140 (client address as its only data) to the Remote Desktop channel.
void append_140(const wchar_t *address, DWORD time)
{
    SimRecord fields = {};
    fields.source = L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS";
    fields.event_id = 140;
    fields.event_type = EVENTLOG_WARNING_TYPE;
    fields.time_generated = time;
    fields.num_strings = address != nullptr ? 1 : 0;
    fields.strings = &address;
    static BYTE record[4096];
    DWORD length = 0;
    if (sim_build_record(fields, record, sizeof(record), &length) != 0 ||
        sim_append_records(sim_rdp, record, length) != 0)
        printf("APPEND FAILED\n");
}

// Waits until the handler has counted the address (deliveries come in order).
bool counted(const wchar_t *address)
{
    for (int i = 0; i < 1000; ++i, Sleep(10))
        for (uint32_t slot = 0; slot < rdp_failures.count; ++slot)
            if (same_address(rdp_failures.address[slot], address))
                return true;
    return false;
}

void print_source_values()
{
    DWORD count = 0, types = 0, size = sizeof(DWORD);
    wchar_t file[512] = {};
    DWORD file_size = sizeof(file);
    RegGetValueW(HKEY_LOCAL_MACHINE, source_key, L"CategoryCount", RRF_RT_REG_DWORD, nullptr, &count, &size);
    size = sizeof(DWORD);
    RegGetValueW(HKEY_LOCAL_MACHINE, source_key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size);
    RegGetValueW(HKEY_LOCAL_MACHINE, source_key, L"ParameterMessageFile", RRF_RT_REG_SZ, nullptr, file, &file_size);
    printf("[values %lu %lu %d]\n", count, types, wcscmp(file, module_path) == 0);
}

const wchar_t *ip_list[1] = {L"10.0.0.9"};

} // namespace

int run_child_scenario(const std::string &scenario)
{
    GetModuleFileNameW(nullptr, module_path, 512);
    os_vista_or_later = true;
    os_win81_or_later = true;
    whitelist_IP = {1, ip_list};
    if (scenario == "start") {
        // Twice, as after a cleared Security log: the same lines and values each time.
        for (int i = 0; i < 2; ++i) {
            printf("[result %lu]\n", start_monitor());
            print_source_values();
            close_monitor_handles();
        }
        os_win81_or_later = false;
        printf("[result %lu]\n", start_monitor());
        close_monitor_handles();
        SetEnvironmentVariableW(L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR", L"5");
        printf("\n[result %lu]\n", start_monitor());
    } else if (scenario == "failures") {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_RDP_CHANNEL", L"1");
        printf("[result %lu %d]\n", start_monitor(), rdp_subscription == nullptr);
        close_monitor_handles();
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_RDP_CHANNEL", nullptr);
        SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_RDP", L"87");
        printf("[result %lu]\n", start_monitor());
        close_monitor_handles();
        SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314");
        printf("[result %lu]\n", start_monitor());
    } else if (scenario == "legacy-audit") {
        os_vista_or_later = false;
        const wchar_t *key = L"SECURITY\\Policy\\PolAdtEv";
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
        start_monitor(); // no policy value: the notice
        close_monitor_handles();
        BYTE policy[12] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 10, 11, 12};
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, nullptr, REG_NONE, policy, sizeof(policy));
        for (int i = 0; i < 2; ++i) { // switched on, then already on: silent
            start_monitor();
            close_monitor_handles();
        }
        DWORD size = sizeof(policy);
        RegGetValueW(HKEY_LOCAL_MACHINE, key, nullptr, RRF_RT_ANY, nullptr, policy, &size);
        printf("[policy %lu %u %u]\n", size, policy[8], policy[11]);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    } else if (scenario == "rdp") {
        max_logon_count_normal_RDP = 4;
        event_source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
        start_rdp_monitor();
        for (DWORD i = 0; i < 5; ++i)
            append_140(L"10.0.0.9", t0 + i);
        for (DWORD i = 0; i < 4; ++i)
            append_140(L"198.51.100.4", t0 + i);
        append_140(L"198.51.100.4", t0 + 3 + 15); // held
        append_140(nullptr, t0 + 20);             // no address
        append_140(L"198.51.100.4", t0 + 3 + 16); // counts again
        append_140(L"192.0.2.250", t0 + 30);      // the last one
        bool done = counted(L"192.0.2.250");
        close_monitor_handles(); // waits for the running delivery
        printf("\n[done %d]\n", done);
    } else {
        return 99;
    }
    return 0;
}

namespace {

// ---- parent side ----

size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

const std::wstring auditpol_line = L"auditpol /set /category:\"Logon/Logoff\" /success:enable /failure:enable";

TEST(MonitorStartup, AuditsRegistersOpensAndSubscribesEveryTime)
{
    SimFolder folder;
    ChildResult child = run_scenario("start");
    ASSERT_TRUE(child.finished);
    // auditpol's own line ends arrive as they were written, with their carriage returns.
    std::wstring out = child.output;
    out.erase(std::remove(out.begin(), out.end(), L'\r'), out.end());
    const std::wstring each = L"# Enable Audit logon events: The command was successfully executed.\n"
                              L"# Open Security log: OK\n# Open RDP      log: OK\n[result 0]\n[values 11 31 1]\n";
    EXPECT_EQ(out.find(each + each + L"# Enable Audit logon events: The command was successfully executed.\n"
                                     L"# Open Security log: OK\n[result 0]\n"),
              0u)
        << out;
    EXPECT_NE(out.find(L"RegisterEventSource failed 5\n[result 5]\n"), std::wstring::npos) << out;

    std::vector<JournalEntry> audits;
    ASSERT_TRUE(journal_read(folder.file(L"auditpol.log"), audits));
    ASSERT_EQ(audits.size(), 4u);
    EXPECT_EQ(audits[0].cmdline, auditpol_line);
    EXPECT_TRUE(read_own_reports().empty());
}

TEST(MonitorStartup, MissingChannelIsReportedAndUnopenableSecurityLogFails)
{
    SimFolder folder;
    ChildResult child = run_scenario("failures");
    ASSERT_TRUE(child.finished);
    const std::wstring &out = child.output;
    EXPECT_NE(out.find(L"# Open Security log: OK\n# Open RDP      log: EvtSubscribe  Channel not found:\n"
                       L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational 15007\n[result 0 1]\n"),
              std::wstring::npos)
        << out;
    EXPECT_NE(out.find(L"# Open RDP      log: EvtSubscribe  FAILED: 87\n[result 0]\n"), std::wstring::npos) << out;
    EXPECT_NE(out.find(L"# Open Security log: A required privilege is not held by the client: 1314\n[result 1314]\n"),
              std::wstring::npos)
        << out;

    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 3u);
    const std::vector<std::vector<std::wstring>> strings = {
        {L"Cannot open the RDP log", L"15007"}, {L"Cannot open the RDP log", L"87"},
        {L"Cannot open the security log", L"1314"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reports[i].event_id, 0xC000AF0Bu);
        EXPECT_EQ(reports[i].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(reports[i].category, 11);
        EXPECT_EQ(reports[i].strings, strings[i]);
        EXPECT_TRUE(reports[i].data.empty());
    }
}

TEST(MonitorStartup, OldWindowsSwitchesLogonAuditingOnInThePolicyValue)
{
    SimFolder folder;
    ChildResult child = run_scenario("legacy-audit");
    ASSERT_TRUE(child.finished);
    const std::wstring &out = child.output;
    EXPECT_EQ(out.find(L"(i)  Audit logon events can only be enabled manualy on old systems.\n"
                       L"     The setting is available in Administrative tools:\n"
                       L"     Local Security Policy, Security Settings, Local Policies, Audit Policy\n\n"
                       L"# Open Security log: OK\n"),
              0u)
        << out;
    EXPECT_EQ(count_of(out, L"# Enabled Audit logon events in registry\n"), 1u) << out;
    EXPECT_EQ(count_of(out, L"Audit logon events"), 2u) << "the second start prints no audit line";
    EXPECT_NE(out.find(L"[policy 12 3 12]"), std::wstring::npos) << out;
    std::vector<JournalEntry> audits;
    ASSERT_TRUE(journal_read(folder.file(L"auditpol.log"), audits));
    EXPECT_TRUE(audits.empty());
}

TEST(RdpMonitor, CountsPerAddressBlocksAtThresholdHoldsAndSparesTheWhitelist)
{
    SimFolder folder;
    ChildResult child = run_scenario("rdp");
    ASSERT_TRUE(child.finished);
    const std::wstring &out = child.output;
    ASSERT_NE(out.find(L"[done 1]"), std::wstring::npos) << out;
    auto time_of = [](DWORD t) {
        wchar_t text[time_text_chars];
        format_event_time(t, text);
        return std::wstring(text);
    };
    EXPECT_EQ(out.find(L"# Open RDP      log: OK\n"), 0u) << out;
    for (DWORD i = 0; i < 5; ++i)
        EXPECT_NE(out.find(L"\n[" + time_of(t0 + i) + L"]     " + std::to_wstring(i + 1) +
                           L"  IP 10.0.0.9  [WHITELIST IP]\n"),
                  std::wstring::npos)
            << out;
    for (DWORD i = 0; i < 3; ++i)
        EXPECT_NE(out.find(L"\n[" + time_of(t0 + i) + L"]     " + std::to_wstring(i + 1) + L"  IP 198.51.100.4\n"),
                  std::wstring::npos)
            << out;
    const std::wstring command = L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=198.51.100.4 "
                                 L"description=\"198.51.100.4\n Logon Attempts:4, Time:" +
                                 time_of(t0 + 3) + L"\" protocol=ANY mirrored=Yes";
    EXPECT_NE(out.find(L"\n# ADD TO BLACKLIST:198.51.100.4\n" + command + L"\n# exit:0\n\n\n"), std::wstring::npos)
        << out;
    EXPECT_EQ(count_of(out, time_of(t0 + 3 + 15)), 0u) << "held";
    EXPECT_NE(out.find(L"rdp_evt_handler  unexpected event format\n"), std::wstring::npos) << out;
    EXPECT_NE(out.find(L"]     1  IP 198.51.100.4"), out.rfind(L"]     1  IP 198.51.100.4")) << "counts again";

    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    ASSERT_EQ(store.filters.size(), 1u);
    EXPECT_EQ(store.filters[0].dstaddr, L"198.51.100.4");
    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].event_id, 0xC000AF19u);
    EXPECT_EQ(reports[0].type, EVENTLOG_AUDIT_FAILURE);
    EXPECT_EQ(reports[0].category, 9);
    EXPECT_EQ(reports[0].strings, (std::vector<std::wstring>{L"198.51.100.4", L"4"}));
    EXPECT_EQ(reports[0].data, "BLOCKED");
}

} // namespace
