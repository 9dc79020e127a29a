// The Security log loop against the simulated event log. Each scenario runs the main entry in
// a child process (its error exits end the process); a helper thread in the child appends
// records and sends requests the way the key console does, and the parent reads the output.
#include <gtest/gtest.h>
#include <map>
#include "engine/failure_history.h"
#include "engine/monitor.h"
#include "engine/security_log.h"
#include "engine/main_entry.h"
#include "engine/rdp_monitor.h"
#include "config/config.h"
#include "service/service_host.h"
#include "tests/child_harness.h"
#include "tests/monitor_child.h"
#include "tests/event_record.h"
#include "tools/netsh/netsh_store.h"
#include <tlhelp32.h>

namespace {

// ---- child side ----

void append(const EventKind &kind, const wchar_t *address, const wchar_t *logon_type = L"3", int log = sim_security)
{
    std::vector<BYTE> record = build_record(kind, address, logon_type);
    if (record.empty() || sim_append_records(log, record.data(), static_cast<DWORD>(record.size())) != 0)
        printf("APPEND FAILED\n");
}

// Records of every kind, then records while paused, then a cleared log.
void follow()
{
    for (const wchar_t *address : {L"203.0.113.1", L"203.0.113.1", L"-", L"203.0.113.2"})
        append(e4625, address);
    append(e4625, L"203.0.113.3", L"2"); // interactive: not counted
    append(e529, L"203.0.113.4", L"10");
    append(e539, L"203.0.113.4", L"8");
    append(e4776, L"203.0.113.5");
    append(e4624, L"203.0.113.6"); // successes of users not whitelisted change nothing
    append(e528, L"203.0.113.6");
    settle();
    monitor_paused = true;
    append(e4625, L"203.0.113.7");
    settle(); // read, and dropped
    monitor_paused = false;
    append(e4625, L"203.0.113.8");
    settle();
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ClearEventLogW(log, nullptr); // the new log starts with the clearing event, which the recovery seeks to
    CloseEventLog(log);
    settle();
    append(e4625, L"203.0.113.1");
    settle();
}

// A quit stored while the loop serves a long listing, after it took that request, must not
// wait for the next record. The loop touches the table only for records and requests, and
// none is pending while it is filled here.
void quit_while_serving()
{
    for (unsigned i = 0; i < 1000; ++i)
        record_failure(logon_failures, (L"192.0.2." + std::to_wstring(i)).c_str(), 1u);
    send_monitor_request(MonitorRequest::show_history);
    wait_for(request_taken);
    send_monitor_request(MonitorRequest::quit);
    Sleep(5000);
    printf("QUIT WAS LEFT WAITING\n"); // the process should have ended long before
}

// A netsh of this process that is running now, opened for waiting; null when there is none.
HANDLE running_netsh()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE found = nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(entry.szExeFile, L"netsh.exe") == 0)
            found = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    CloseHandle(snapshot);
    return found;
}

bool is_blocked(const wchar_t *address)
{
    for (uint32_t i = 0; i < logon_failures.count; ++i)
        if (wcscmp(logon_failures.address[i], address) == 0)
            return logon_failures.attempts[i] == blocked;
    return false;
}

// The first attacker's netsh hangs past the monitor's limit; the second attacker comes while
// it hangs and must still be counted and blocked. The hung netsh ends before the child does.
void hung_netsh()
{
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", L"33000");
    for (int i = 0; i < 4; ++i)
        append(e4625, L"203.0.113.21", L"8"); // clear text: blocked at the 4th
    HANDLE hung = nullptr;
    for (int i = 0; i < 20000 && (hung = running_netsh()) == nullptr; ++i)
        Sleep(1);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", nullptr); // for the netsh runs to come
    if (hung == nullptr) {
        printf("NO NETSH\n");
        return;
    }
    for (int i = 0; i < 4; ++i)
        append(e4625, L"203.0.113.22", L"8");
    for (int i = 0; i < 600 && !is_blocked(L"203.0.113.22"); ++i)
        Sleep(100);
    WaitForSingleObject(hung, 60000);
    CloseHandle(hung);
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    const std::map<std::string, void (*)()> threaded = {
        {"follow", follow}, {"quit-while-serving", quit_while_serving}, {"early-show", [] {}},
        {"hung-netsh", hung_netsh}};
    if (scenario == "early-show" || scenario == "early-quit")
        send_monitor_request(scenario == "early-quit" ? MonitorRequest::quit : MonitorRequest::show_history);
    if (scenario.starts_with("rpc-gone")) {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", L"1717");
        g_service_host.is_service = scenario != "rpc-gone-console";
        g_service_host.stop_requested = scenario == "rpc-gone-stopping";
    }
    append(e4625, L"203.0.113.99"); // the newest record at start: never processed
    if (auto found = threaded.find(scenario); found != threaded.end()) {
        scenario_actions = found->second;
        CloseHandle(CreateThread(nullptr, 0, run_actions, nullptr, 0, nullptr));
    }
    wchar_t program[] = L"tosmire-ips-sim.exe", *argv[] = {program, nullptr};
    return monitor_main(1, argv);
}

namespace {

// ---- parent side ----

// A child scenario's output, in a fresh simulation folder; expects it to end with tail and
// exit with code.
std::wstring expect_run(const char *scenario, const std::wstring &tail, DWORD code = 0)
{
    SimFolder folder;
    ChildResult run = run_scenario(scenario);
    EXPECT_TRUE(run.finished && run.exit_code == code && run.output.ends_with(tail))
        << scenario << ": exit code " << run.exit_code << "\n" << run.output;
    return run.output;
}

// The program itself (found next to this one) in a fresh simulation folder, with the Security
// log's open hook set to open_error.
ChildResult run_program(const wchar_t *open_error)
{
    SimFolder folder;
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", open_error);
    ChildResult run = run_redirected(L"tosmire-ips-sim.exe");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
    EXPECT_TRUE(run.finished);
    return run;
}

TEST(SecurityLogLoop, ProgramEndsAtTheSeekOnAnEmptyLogAndWith575WhenTheLogDoesNotOpen)
{
    ChildResult empty = run_program(nullptr), denied = run_program(L"1314");
    EXPECT_NE(empty.exit_code, 0u);
    EXPECT_NE(empty.output.find(L"# Open Security log: OK\n"), std::wstring::npos) << empty.output;
    EXPECT_TRUE(empty.output.ends_with(L"seek FAILED " + std::to_wstring(empty.exit_code))) << empty.output;
    EXPECT_EQ(denied.exit_code, 575u);
    EXPECT_TRUE(denied.output.ends_with(L"# Open Security log: A required privilege is not held by the client: 1314\n"))
        << denied.output;
}

TEST(SecurityLogLoop, CountsTheAcceptedFailuresPerAddressDropsThemWhilePausedAndFollowsAClearedLog)
{
    std::wstring out = expect_run(
        "follow", L"\n\n[   3] 203.0.113.1\n[   1] 203.0.113.2\n[   2] 203.0.113.4\n[   1] 203.0.113.8\n\n(Quit)");
    EXPECT_NE(out.find(L"# Waiting for new events... ["), std::wstring::npos);
    EXPECT_EQ(out.find(L"203.0.113.99"), std::wstring::npos); // the newest record at start
    EXPECT_EQ(out.find(L"203.0.113.7"), std::wstring::npos);
    const std::wstring opened = L"# Open Security log: OK\n";
    size_t cleared = out.find(L"# The audit log was cleared.\n");
    EXPECT_LT(out.find(opened), cleared);
    EXPECT_EQ(out.find(opened, cleared), out.rfind(opened)); // opened once more, after the clear
    EXPECT_NE(out.find(L"waiting for new events...[", cleared), std::wstring::npos);
}

TEST(SecurityLogLoop, RequestsAreNeitherLostNorLeftWaiting)
{
    expect_run("early-show", L"]\n\nEMPTY\n\n(Quit)");
    expect_run("early-quit", L"]\n\n(Quit)");
    expect_run("quit-while-serving", L"[   1] 192.0.2.999\n\n(Quit)");
}

// Takes some 35 seconds: the monitor gives a netsh 30 seconds.
TEST(SecurityLogLoop, AHungNetshIsLeftRunningAndTheNextAttackerIsCountedAndBlocked)
{
    SimFolder folder;
    ChildResult run = run_scenario("hung-netsh");
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.exit_code << "\n" << run.output;
    const std::wstring gave_up =
        L"\n!! netsh did not end within 30 seconds: WaitForSingleObject() WAIT_TIMEOUT 258, left running\n"
        L"# exit:258\n\n\n";
    const size_t at = run.output.find(gave_up);
    ASSERT_NE(at, std::wstring::npos) << run.output;
    EXPECT_LT(run.output.find(L"dstaddr=203.0.113.21 "), at);
    // After the limit: the next attacker's three counts, then its block, which netsh carries out.
    size_t next = at;
    for (int i = 0; i < 3 && next != std::wstring::npos; ++i)
        next = run.output.find(L"from IP:203.0.113.22, Type: 8\n", next + 1);
    EXPECT_NE(next, std::wstring::npos) << run.output;
    const size_t block = run.output.find(L"\n# ADD TO BLACKLIST:\nnetsh ipsec static add filter filterlist=Brek srcaddr=me "
                                         L"dstaddr=203.0.113.22 ", at);
    EXPECT_TRUE(block != std::wstring::npos && run.output.find(L"\n# exit:0\n", block) != std::wstring::npos)
        << run.output;
    // The hung netsh did its work in the end, after the one that came later.
    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    std::vector<std::wstring> filters;
    for (const SimFilter &filter : store.filters)
        filters.push_back(filter.dstaddr);
    EXPECT_EQ(filters, (std::vector<std::wstring>{L"203.0.113.22", L"203.0.113.21"}));
}

// Lost unasked, the log connection ends a service as it ends a console program; while a stop
// was asked for, it is part of that stop.
TEST(SecurityLogLoop, LostLogConnectionEndsAServiceInOrderOnlyWhenItStops)
{
    expect_run("rpc-gone-service", L"read failed 1717", 1717);
    expect_run("rpc-gone-console", L"read failed 1717", 1717);
    expect_run("rpc-gone-stopping", L"(Quit)");
}

// A callback held inside while the handles are closed, then rendering as rdp_evt_handler does.
volatile bool callback_entered;
DWORD render_error = ERROR_NOT_READY;
DWORD WINAPI slow_callback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE event)
{
    if (action != EvtSubscribeActionDeliver)
        return 0;
    callback_entered = true;
    Sleep(300);
    static BYTE values[4096];
    DWORD used = 0, count = 0;
    bool rendered = EvtRender(rdp_render_context, event, EvtRenderEventValues, sizeof(values), values, &used, &count);
    render_error = rendered ? 0 : GetLastError();
    return 0;
}

TEST(CloseMonitorHandles, SubscriptionEndsBeforeItsRenderContextIsClosed)
{
    SimFolder folder;
    const wchar_t *path = L"Event/EventData/Data";
    rdp_render_context = EvtCreateRenderContext(1, &path, EvtRenderContextValues);
    rdp_subscription = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, nullptr,
                                    slow_callback, EvtSubscribeToFutureEvents);
    ASSERT_TRUE(rdp_render_context != nullptr && rdp_subscription != nullptr);
    append({140, EVENTLOG_WARNING_TYPE, 0, 1, 0, 9}, L"198.18.0.1", L"", sim_rdp);
    ASSERT_TRUE(wait_for([] { return callback_entered; }));
    close_monitor_handles();
    EXPECT_TRUE(render_error == 0 && rdp_subscription == nullptr && rdp_render_context == nullptr) << render_error;
}

// Closing the handles waits for a delivery that is still handling its event, also when closing
// the subscription would not wait for it (Windows does not promise that it does): here the
// subscription is kept out of close_monitor_handles' reach, and the delivery runs a slow netsh.
TEST(CloseMonitorHandles, WaitsForADeliveryStillHandlingItsEvent)
{
    SimFolder folder;
    const DWORD threshold = max_logon_count_normal_RDP;
    max_logon_count_normal_RDP = 1; // the first event blocks: netsh runs inside the delivery
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", L"2000");
    start_rdp_monitor();
    EVT_HANDLE subscription = rdp_subscription;
    rdp_subscription = nullptr;
    ASSERT_TRUE(subscription != nullptr && rdp_render_context != nullptr);
    append({140, EVENTLOG_WARNING_TYPE, 0, 1, 0, 9}, L"198.18.0.2", L"", sim_rdp);
    ASSERT_TRUE(wait_for([] { return rdp_failures.count > 0; }));
    close_monitor_handles();
    EXPECT_EQ(rdp_failures.attempts[rdp_failures.count - 1], blocked) << "closed during the delivery";
    EXPECT_EQ(rdp_render_context, nullptr);
    EvtClose(subscription);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", nullptr);
    max_logon_count_normal_RDP = threshold;
}

} // namespace
