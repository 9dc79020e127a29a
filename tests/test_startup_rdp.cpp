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
const wchar_t *ip_list[1] = {L"10.0.0.9"};

// One event 140 on the Remote Desktop channel; its only data is the client address.
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
    if (sim_build_record(fields, record, sizeof(record), &length) != 0 || sim_append_records(sim_rdp, record, length))
        printf("APPEND FAILED\n");
}

// Deliveries come in order: once the last address is counted, the others were handled.
bool counted(const wchar_t *address)
{
    for (int i = 0; i < 1000; ++i, Sleep(10))
        for (uint32_t slot = 0; slot < rdp_failures.count; ++slot)
            if (same_address(rdp_failures.address[slot], address))
                return true;
    return false;
}

void start_and_close(const char *note)
{
    DWORD result = start_monitor();
    printf("[%s %lu %d]\n", note, result, rdp_subscription != nullptr);
    close_monitor_handles();
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    GetModuleFileNameW(nullptr, module_path, 512);
    os_vista_or_later = os_win81_or_later = true;
    whitelist_IP = {1, ip_list};
    if (scenario == "start") {
        const wchar_t *key = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS";
        for (int i = 0; i < 2; ++i) { // again, as after a cleared Security log
            start_and_close("ok");
            DWORD count = 0, types = 0, size = 4;
            wchar_t file[512] = {};
            DWORD file_size = sizeof(file);
            RegGetValueW(HKEY_LOCAL_MACHINE, key, L"CategoryCount", RRF_RT_REG_DWORD, nullptr, &count, &size);
            RegGetValueW(HKEY_LOCAL_MACHINE, key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size);
            RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", RRF_RT_REG_SZ, nullptr, file, &file_size);
            printf("[values %lu %lu %d]\n", count, types, wcscmp(file, module_path) == 0);
        }
        os_win81_or_later = false;
        start_and_close("6.2");
        os_win81_or_later = true;
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_RDP_CHANNEL", L"1");
        start_and_close("no channel");
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_RDP_CHANNEL", nullptr);
        SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_RDP", L"87");
        start_and_close("rdp 87");
        SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314");
        start_and_close("security 1314");
        SetEnvironmentVariableW(L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR", L"5");
        start_and_close("source 5");
    } else if (scenario == "legacy-audit") {
        os_vista_or_later = false;
        const wchar_t *key = L"SECURITY\\Policy\\PolAdtEv";
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
        start_and_close("none"); // no policy value: the notice
        BYTE policy[12] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 10, 11, 12};
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, nullptr, REG_NONE, policy, sizeof(policy));
        start_and_close("off");
        start_and_close("on"); // already on: silent
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
        append_140(nullptr, t0 + 20);
        append_140(L"198.51.100.4", t0 + 3 + 16); // counts again
        append_140(L"192.0.2.250", t0 + 30);
        bool done = counted(L"192.0.2.250");
        close_monitor_handles(); // waits for the running delivery
        printf("\n[done %d]\n", done);
    } else {
        return 99;
    }
    return 0;
}

namespace {

size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The child's output without carriage returns: auditpol's own line ends keep theirs.
std::wstring output_of(const char *scenario)
{
    ChildResult child = run_scenario(scenario);
    EXPECT_TRUE(child.finished && child.exit_code == 0);
    std::wstring out = child.output;
    out.erase(std::remove(out.begin(), out.end(), L'\r'), out.end());
    return out;
}

TEST(MonitorStartup, EverySourceInOrderAndEveryFailureAsItsOwn)
{
    SimFolder folder;
    std::wstring out = output_of("start");
    const std::wstring audit = L"# Enable Audit logon events: The command was successfully executed.\n";
    const std::wstring ok = audit + L"# Open Security log: OK\n# Open RDP      log: OK\n[ok 0 1]\n[values 11 31 1]\n";
    EXPECT_EQ(out.find(ok + ok + audit + L"# Open Security log: OK\n[6.2 0 0]\n" + audit +
                       L"# Open Security log: OK\n# Open RDP      log: EvtSubscribe  Channel not found:\n"
                       L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational 15007\n[no channel 0 0]\n" +
                       audit + L"# Open Security log: OK\n# Open RDP      log: EvtSubscribe  FAILED: 87\n[rdp 87 0 0]\n" +
                       audit + L"# Open Security log: A required privilege is not held by the client: 1314\n"
                               L"[security 1314 1314 0]\n" +
                       audit + L"RegisterEventSource failed 5[source 5 5 0]\n"),
              0u)
        << out;

    std::vector<JournalEntry> audits;
    ASSERT_TRUE(journal_read(folder.file(L"auditpol.log"), audits));
    ASSERT_EQ(audits.size(), 7u);
    EXPECT_EQ(audits[0].cmdline, L"auditpol /set /category:\"Logon/Logoff\" /success:enable /failure:enable");
    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 3u);
    const std::vector<std::vector<std::wstring>> strings = {{L"Cannot open the RDP log", L"15007"},
                                                            {L"Cannot open the RDP log", L"87"},
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
    std::wstring out = output_of("legacy-audit");
    EXPECT_EQ(out.find(L"(i)  Audit logon events can only be enabled manualy on old systems.\n"
                       L"     The setting is available in Administrative tools:\n"
                       L"     Local Security Policy, Security Settings, Local Policies, Audit Policy\n\n"
                       L"# Open Security log: OK\n"),
              0u)
        << out;
    EXPECT_NE(out.find(L"[none 0 1]\n# Enabled Audit logon events in registry\n# Open Security log: OK\n"),
              std::wstring::npos);
    EXPECT_NE(out.find(L"[off 0 1]\n# Open Security log: OK\n"), std::wstring::npos) << "silent when already on";
    EXPECT_NE(out.find(L"[policy 12 3 12]"), std::wstring::npos) << out;
    std::vector<JournalEntry> audits;
    ASSERT_TRUE(journal_read(folder.file(L"auditpol.log"), audits));
    EXPECT_TRUE(audits.empty());
}

TEST(RdpMonitor, CountsPerAddressBlocksAtThresholdHoldsAndSparesTheWhitelist)
{
    SimFolder folder;
    std::wstring out = output_of("rdp");
    ASSERT_NE(out.find(L"[done 1]"), std::wstring::npos) << out;
    auto at = [](DWORD t) {
        wchar_t text[time_text_chars];
        format_event_time(t, text);
        return L"\n[" + std::wstring(text) + L"]     ";
    };
    EXPECT_EQ(out.find(L"# Open RDP      log: OK\n"), 0u) << out;
    for (DWORD i = 0; i < 5; ++i)
        EXPECT_NE(out.find(at(t0 + i) + std::to_wstring(i + 1) + L"  IP 10.0.0.9  [WHITELIST IP]\n"), std::wstring::npos)
            << out;
    for (DWORD i = 0; i < 3; ++i)
        EXPECT_NE(out.find(at(t0 + i) + std::to_wstring(i + 1) + L"  IP 198.51.100.4\n"), std::wstring::npos) << out;
    wchar_t when[time_text_chars];
    format_event_time(t0 + 3, when);
    const std::wstring command = L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=198.51.100.4 "
                                 L"description=\"198.51.100.4\n Logon Attempts:4, Time:" +
                                 std::wstring(when) + L"\" protocol=ANY mirrored=Yes";
    EXPECT_NE(out.find(L"\n# ADD TO BLACKLIST:198.51.100.4\n" + command + L"\n# exit:0\n\n\n"), std::wstring::npos);
    EXPECT_EQ(out.find(at(t0 + 18)), std::wstring::npos) << "held";
    EXPECT_NE(out.find(L"rdp_evt_handler  unexpected event format\n"), std::wstring::npos) << out;
    EXPECT_EQ(count_of(out, L"     1  IP 198.51.100.4"), 2u) << "counts again after the hold";

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
