// The Security log loop against the simulated event log. Each scenario runs the main entry in
// a child process (its error exits end the process); a helper thread in the child appends
// records and sends requests the way the key console does, and the parent reads the output.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "engine/failure_history.h"
#include "engine/monitor.h"
#include "service/service_host.h"
#include "tests/child_harness.h"
#include "tests/event_record.h"

using namespace test_records;

namespace {

// ---- child side ----

void wait_until(bool (*condition)())
{
    for (int i = 0; i < 20000 && !condition(); ++i)
        Sleep(1);
}
bool request_taken() { return monitor_request == 0; }

// Two requests taken one after the other: every record appended before the first was read
// by then, since the read follows the take.
void settle()
{
    for (int i = 0; i < 2; ++i) {
        send_monitor_request(MonitorRequest::show_history);
        wait_until(request_taken);
    }
}

void append(const EventKind &kind, const wchar_t *address, const wchar_t *logon_type = L"3", int log = sim_security)
{
    std::vector<BYTE> record = build_record(kind, address, logon_type);
    if (record.empty() || sim_append_records(log, record.data(), static_cast<DWORD>(record.size())) != 0)
        printf("APPEND FAILED\n");
}

void follow()
{
    const struct {
        EventKind kind;
        const wchar_t *address, *logon_type;
    } records[] = {{e4625, L"203.0.113.1", L"3"}, {e4625, L"203.0.113.1", L"3"}, {e4625, L"203.0.113.2", L"10"},
                   {e4625, L"203.0.113.3", L"2"}, // interactive: not counted
                   {e529, L"203.0.113.4", L"3"},  {e539, L"203.0.113.4", L"8"},  {e4776, L"203.0.113.5", L"3"},
                   {e4624, L"203.0.113.6", L"3"}, // successes of users not whitelisted change nothing
                   {e528, L"203.0.113.6", L"3"},  {e4625, L"-", L"3"}};
    for (const auto &r : records)
        append(r.kind, r.address, r.logon_type);
}

void paused_records()
{
    monitor_paused = true;
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.1");
    settle();
    monitor_paused = false;
    append(e4625, L"203.0.113.2");
}

void cleared()
{
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.1");
    settle();
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ClearEventLogW(log, nullptr);
    CloseEventLog(log);
    append(e4776, L"-"); // Windows writes the clearing event into the new log; the recovery seeks to it
    settle();
    append(e4625, L"203.0.113.1");
}

// A quit stored while the loop serves a long listing, after it took that request, must not
// wait for the next record. The loop touches the table only for records and requests, and
// none is pending while it is filled here.
void quit_while_serving()
{
    for (unsigned i = 0; i < 1000; ++i)
        record_failure(logon_failures, (L"192.0.2." + std::to_wstring(i)).c_str(), 1u);
    send_monitor_request(MonitorRequest::show_history);
    wait_until(request_taken);
    send_monitor_request(MonitorRequest::quit);
    Sleep(5000);
    printf("QUIT WAS LEFT WAITING\n"); // the process should have ended long before
}

void (*scenario_actions)();
DWORD WINAPI run_actions(void *)
{
    wait_until([] { return e_notify_new_event != nullptr; }); // the loop has started
    if (scenario_actions != nullptr) {
        scenario_actions();
        settle();
    }
    wait_until(request_taken);
    send_monitor_request(MonitorRequest::quit);
    return 0;
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    const std::pair<std::string, void (*)()> threaded[] = {{"follow", follow}, {"pause", paused_records},
        {"cleared", cleared}, {"quit-while-serving", quit_while_serving}, {"early-show", nullptr}};
    if (scenario == "early-show" || scenario == "early-quit")
        send_monitor_request(scenario == "early-quit" ? MonitorRequest::quit : MonitorRequest::show_history);
    if (scenario.starts_with("rpc-gone")) {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", L"1717");
        g_service_host.is_service = scenario == "rpc-gone-service";
    }
    append(e4625, L"203.0.113.99"); // the newest record at start: never processed
    for (const auto &[name, actions] : threaded)
        if (scenario == name) {
            scenario_actions = actions;
            CloseHandle(CreateThread(nullptr, 0, run_actions, nullptr, 0, nullptr));
        }
    wchar_t program[] = L"tosmire-ips-sim.exe", *argv[] = {program, nullptr};
    return monitor_main(1, argv);
}

namespace {

// ---- parent side ----

class SecurityLogLoop : public ::testing::Test {
protected:
    SimFolder folder;
    // The child's output; expects it to end with tail and exit with code.
    std::wstring expect_run(const char *scenario, const std::wstring &tail, DWORD code = 0)
    {
        ChildResult run = run_scenario(scenario);
        EXPECT_TRUE(run.finished && run.exit_code == code && run.output.ends_with(tail))
            << scenario << ": exit code " << run.exit_code << "\n" << run.output;
        return run.output;
    }
    // The program itself, started with the Security log's open hook set to value.
    ChildResult run_program(const wchar_t *value)
    {
        wchar_t self[MAX_PATH];
        std::wstring dir(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", value);
        ChildResult run = run_redirected(L"\"" + dir.substr(0, dir.find_last_of(L'\\') + 1) + L"tosmire-ips-sim.exe\"");
        SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
        EXPECT_TRUE(run.finished);
        return run;
    }
};

TEST_F(SecurityLogLoop, ProgramEndsAtTheSeekOnAnEmptyLogAndWith575WhenTheLogDoesNotOpen)
{
    ChildResult empty = run_program(nullptr);
    EXPECT_NE(empty.output.find(L"# Open Security log: OK\n"), std::wstring::npos) << empty.output;
    EXPECT_NE(empty.exit_code, 0u);
    EXPECT_TRUE(empty.output.ends_with(L"seek FAILED " + std::to_wstring(empty.exit_code))) << empty.output;

    ChildResult denied = run_program(L"1314");
    EXPECT_EQ(denied.exit_code, 575u);
    EXPECT_NE(denied.output.find(L"# Open Security log: A required privilege is not held by the client: 1314\n"),
              std::wstring::npos)
        << denied.output;
}

TEST_F(SecurityLogLoop, CountsExactlyTheAcceptedFailuresPerAddress)
{
    std::wstring out =
        expect_run("follow", L"\n\n[   2] 203.0.113.1\n[   1] 203.0.113.2\n[   2] 203.0.113.4\n\n(Quit)");
    EXPECT_NE(out.find(L"# Waiting for new events... ["), std::wstring::npos);
    EXPECT_EQ(out.find(L"203.0.113.99"), std::wstring::npos);
}

TEST_F(SecurityLogLoop, RecordsReadWhilePausedAreDropped)
{
    std::wstring out = expect_run("pause", L"\n\n[   1] 203.0.113.2\n\n(Quit)");
    EXPECT_NE(out.find(L"EMPTY\n\nEMPTY\n\n"), std::wstring::npos);
    EXPECT_EQ(out.find(L"203.0.113.1"), std::wstring::npos);
}

TEST_F(SecurityLogLoop, ClearedLogIsFollowedAgainWithTheHistoryIntact)
{
    std::wstring out = expect_run("cleared", L"\n\n[   3] 203.0.113.1\n\n(Quit)");
    const std::wstring opened = L"# Open Security log: OK\n";
    size_t cleared = out.find(L"# The audit log was cleared.\n");
    EXPECT_LT(out.find(opened), cleared);
    EXPECT_EQ(out.find(opened, cleared), out.rfind(opened)); // opened once more, after the clear
    EXPECT_NE(out.find(L"waiting for new events...["), std::wstring::npos);
}

TEST_F(SecurityLogLoop, RequestsAreNeitherLostNorLeftWaiting)
{
    expect_run("early-show", L"]\n\nEMPTY\n\n(Quit)");
    expect_run("early-quit", L"]\n\n(Quit)");
    expect_run("quit-while-serving", L"[   1] 192.0.2.999\n\n(Quit)");
}

TEST_F(SecurityLogLoop, LostLogConnectionEndsAServiceInOrderAndAConsoleWithTheError)
{
    expect_run("rpc-gone-service", L"(Quit)");
    expect_run("rpc-gone-console", L"read failed 1717", 1717);
}

// A callback held inside while the handles are closed, then rendering as rdp_evt_handler does.
HANDLE callback_entered;
DWORD render_error = ERROR_NOT_READY;
DWORD WINAPI slow_callback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE event)
{
    if (action != EvtSubscribeActionDeliver)
        return 0;
    SetEvent(callback_entered);
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
    const wchar_t *paths[] = {L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID", L"Event/EventData/Data"};
    rdp_render_context = EvtCreateRenderContext(3, paths, EvtRenderContextValues);
    rdp_subscription = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, nullptr,
                                    slow_callback, EvtSubscribeToFutureEvents);
    ASSERT_TRUE(rdp_render_context != nullptr && rdp_subscription != nullptr);
    callback_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    append({140, EVENTLOG_WARNING_TYPE, 0, 1, 0, 9}, L"198.18.0.1", L"", sim_rdp);
    ASSERT_EQ(WaitForSingleObject(callback_entered, 10000), WAIT_OBJECT_0);
    close_monitor_handles();
    EXPECT_EQ(render_error, 0u);
    EXPECT_TRUE(rdp_subscription == nullptr && rdp_render_context == nullptr);
    CloseHandle(callback_entered);
}

} // namespace
