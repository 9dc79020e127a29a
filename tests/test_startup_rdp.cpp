// Monitor start-up, then the Remote Desktop connection monitor it sets up, against the simulated
// event log, netsh and auditpol, in one child process.
#include "engine/startup.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "engine/security_log.h"
#include "engine/report.h"
#include "engine/rdp_monitor.h"
#include "config/config.h"
#include "config/text_case.h"
#include "config/version_probe.h"
#include "tests/block_support.h"
#include "tools/evtsim/evtsim.h"

// One event 140 on the Remote Desktop channel; its only data is the client address.
static void append_140(const wchar_t *address, DWORD time)
{
    SimRecord fields = {L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS", nullptr, 140, EVENTLOG_WARNING_TYPE, 0,
                        time, nullptr, WORD(address != nullptr ? 1 : 0), &address, nullptr, 0};
    static BYTE record[4096];
    DWORD length = 0;
    if (sim_build_record(fields, record, sizeof(record), &length) != 0 || sim_append_records(sim_rdp, record, length))
        printf("APPEND FAILED\n");
}

// The simulated RegisterEventSourceW, and one that fails without saying why.
extern "C" decltype(&RegisterEventSourceW) __imp_RegisterEventSourceW;
static HANDLE WINAPI register_source_without_error(LPCWSTR, LPCWSTR)
{
    SetLastError(0);
    return nullptr;
}

static void start_and_close(const char *note)
{
    DWORD result = start_monitor();
    printf("[%s %lu %d]\n", note, result, rdp_subscription != nullptr);
    close_monitor_handles();
}

int run_child_scenario(const std::string &scenario)
{
    if (scenario != "start")
        return 99;
    GetModuleFileNameW(nullptr, module_path, 512);
    whitelist_IP = {1, whitelisted_ip};
    const wchar_t *policy_key = L"SECURITY\\Policy\\PolAdtEv";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, policy_key);
    start_and_close("none"); // older than 6.0, no policy value: the notice
    BYTE policy[12] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 10, 11, 12};
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, policy_key, nullptr, REG_NONE, policy, sizeof(policy));
    start_and_close("off");
    start_and_close("on"); // already on: silent
    DWORD size = sizeof(policy);
    RegGetValueW(HKEY_LOCAL_MACHINE, policy_key, nullptr, RRF_RT_ANY, nullptr, policy, &size);
    printf("[policy %lu %u %u]\n", size, policy[8], policy[11]);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, policy_key);
    os_vista_or_later = true;
    start_and_close("6.2");
    os_win81_or_later = true;
    const wchar_t *key = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS";
    start_and_close("ok");
    start_and_close("ok"); // again, as after a cleared Security log
    DWORD count = 0, types = 0, dword_size = 4, file_size = 1024;
    wchar_t file[512] = {};
    RegGetValueW(HKEY_LOCAL_MACHINE, key, L"CategoryCount", RRF_RT_REG_DWORD, nullptr, &count, &dword_size);
    RegGetValueW(HKEY_LOCAL_MACHINE, key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &dword_size);
    RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", RRF_RT_REG_SZ, nullptr, file, &file_size);
    printf("[values %lu %lu %d]\n", count, types, wcscmp(file, module_path) == 0);
    const wchar_t *faults[][2] = {{L"TOSMIRE_SIM_NO_RDP_CHANNEL", L"1"},
                                  {L"TOSMIRE_SIM_OPEN_ERROR_RDP", L"87"},
                                  {L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314"},
                                  {L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR", L"5"}};
    for (const auto &fault : faults) {
        SetEnvironmentVariableW(fault[0], fault[1]);
        start_and_close("fault");
        SetEnvironmentVariableW(fault[0], nullptr);
    }
    const auto register_source = __imp_RegisterEventSourceW;
    __imp_RegisterEventSourceW = register_source_without_error;
    start_and_close("no error code");
    __imp_RegisterEventSourceW = register_source;
    forwarded_events = 1; // where no event collector is set up
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_FORWARDED_CHANNEL", L"1");
    start_and_close("no collector");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_FORWARDED_CHANNEL", nullptr);
    forwarded_events = 0;
    // The Remote Desktop monitor as start-up sets it up.
    max_logon_count_normal_RDP = 4;
    start_monitor();
    for (DWORD i = 0; i < 5; ++i)
        append_140(L"10.0.0.9", t0 + i);
    for (DWORD i = 0; i < 4; ++i)
        append_140(L"198.51.100.4", t0 + i);
    append_140(L"198.51.100.4", t0 + 3 + 15); // held
    append_140(nullptr, t0 + 20);
    append_140(L"198.51.100.4", t0 + 3 + 16); // counts again
    append_140(L"192.0.2.250", t0 + 30);
    // Deliveries come in order: once the last address is counted, the others were handled (a
    // timeout shows as missing lines).
    bool done = false;
    for (int i = 0; i < 1000 && !done; ++i, Sleep(10))
        for (uint32_t slot = 0; slot < rdp_failures.count; ++slot)
            done = done || equal_ignoring_case(rdp_failures.address[slot], L"192.0.2.250");
    close_monitor_handles(); // waits for the running delivery
    return 0;
}

TEST(MonitorStartup, EverySourceInOrderEachFailureAsItsOwnThenRemoteDesktopClientsCountedAndBlocked)
{
    Outcome o = run("start");
    auto at = [](DWORD t, DWORD count, const wchar_t *rest) {
        wchar_t text[time_text_chars], line[160];
        format_event_time(t, text);
        swprintf(line, 160, L"\n[%ls] %5lu  IP %ls", text, count, rest);
        return std::wstring(line);
    };
    wchar_t blocked_at[time_text_chars];
    format_event_time(t0 + 3, blocked_at);
    const std::wstring audit = L"# Enable Audit logon events: The command was successfully executed.\n";
    const std::wstring opened = audit + L"# Open Security log: OK\n", rdp = opened + L"# Open RDP      log: ";
    std::wstring expected =
        L"(i)  Audit logon events can only be enabled manualy on old systems.\n"
        L"     The setting is available in Administrative tools:\n"
        L"     Local Security Policy, Security Settings, Local Policies, Audit Policy\n\n"
        L"# Open Security log: OK\n[none 0 0]\n# Enabled Audit logon events in registry\n"
        L"# Open Security log: OK\n[off 0 0]\n# Open Security log: OK\n[on 0 0]\n[policy 12 3 12]\n" +
        opened + L"[6.2 0 0]\n" + rdp + L"OK\n[ok 0 1]\n" + rdp + L"OK\n[ok 0 1]\n[values 11 31 1]\n" + rdp +
        L"EvtSubscribe  Channel not found:\nMicrosoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational 15007\n"
        L"[fault 0 0]\n" + rdp + L"EvtSubscribe  FAILED: 87\n[fault 0 0]\n" + audit +
        L"# Open Security log: A required privilege is not held by the client: 1314\n[fault 1314 0]\n" + audit +
        L"RegisterEventSource failed 5[fault 5 0]\n" + audit + L"RegisterEventSource failed 6[no error code 6 0]\n" +
        rdp + L"OK\n# Open Forwarded log: EvtSubscribe() FAILED 15007: there is no channel ForwardedEvents (no event "
        L"collector here); the Security log is monitored as before\n[no collector 0 1]\n" + rdp + L"OK\n";
    for (DWORD i = 0; i < 5; ++i)
        expected += at(t0 + i, i + 1, L"10.0.0.9  [WHITELIST IP]\n");
    for (DWORD i = 0; i < 3; ++i)
        expected += at(t0 + i, i + 1, L"198.51.100.4");
    // Held 15 seconds after the block, counted from 1 after 16; no address: the format line.
    expected += L"\n# ADD TO BLACKLIST:198.51.100.4\nnetsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr="
                L"198.51.100.4 description=\"198.51.100.4\n Logon Attempts:4, Time:" + std::wstring(blocked_at) +
                L"\" protocol=ANY mirrored=Yes\n# exit:0\n\n\nrdp_evt_handler  unexpected event format\n" +
                at(t0 + 19, 1, L"198.51.100.4") + at(t0 + 30, 1, L"192.0.2.250");
    EXPECT_EQ(o.out, expected);
    ASSERT_EQ(o.auditpol.size(), 10u) << "only from 6.0 on";
    EXPECT_EQ(o.auditpol[0].cmdline, as_run(L"auditpol /set /category:\"Logon/Logoff\" /success:enable /failure:enable"));
    EXPECT_TRUE(o.store.filters.size() == 1 && o.store.filters[0].dstaddr == L"198.51.100.4");
    EXPECT_EQ(o.reports, (std::vector<std::wstring>{
        L"C000AF0B\t1\t11\tCannot open the RDP log|15007\t", L"C000AF0B\t1\t11\tCannot open the RDP log|87\t",
        L"C000AF0B\t1\t11\tCannot open the security log|1314\t",
        L"C000AF0B\t1\t11\tCannot open the ForwardedEvents log|15007\t", L"C000AF19\t16\t9\t198.51.100.4|4\tBLOCKED"}));
}
