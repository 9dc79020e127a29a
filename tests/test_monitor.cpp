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
#include "tools/evtsim/evtsim.h"

namespace {

// ---- child side ----

bool wait_until(bool (*condition)())
{
    for (int i = 0; i < 20000; ++i, Sleep(1))
        if (condition())
            return true;
    return false;
}

bool loop_started() { return e_notify_new_event != nullptr; }
bool request_taken() { return monitor_request == 0; }

// Stores a request and waits until the loop took it. Two in a row guarantee that every record
// appended before the first was read: it is read after the first request is taken.
void served(MonitorRequest request)
{
    send_monitor_request(request);
    wait_until(request_taken);
}
void settle()
{
    served(MonitorRequest::show_history);
    served(MonitorRequest::show_history);
}

struct Kind {
    DWORD id;
    WORD type, category;
    size_t strings, address_at, type_at;
};
const Kind e4625 = {4625, EVENTLOG_AUDIT_FAILURE, 12544, 21, 19, 10};
const Kind e4624 = {4624, EVENTLOG_AUDIT_SUCCESS, 12544, 27, 18, 8};
const Kind e528 = {528, EVENTLOG_AUDIT_SUCCESS, 2, 15, 13, 3};
const Kind e529 = {529, EVENTLOG_AUDIT_FAILURE, 2, 13, 11, 2};
const Kind e539 = {539, EVENTLOG_AUDIT_FAILURE, 2, 13, 11, 2};
const Kind e4776 = {4776, EVENTLOG_AUDIT_FAILURE, 14336, 4, 2, 99};

void append(const Kind &kind, const wchar_t *address, const wchar_t *logon_type = L"3")
{
    std::vector<std::wstring> text =
        test_records::strings_with(kind.strings, kind.address_at, address, kind.type_at, logon_type);
    std::vector<const wchar_t *> strings;
    for (const std::wstring &s : text)
        strings.push_back(s.c_str());
    SimRecord fields = {};
    fields.source = L"Microsoft-Windows-Security-Auditing";
    fields.event_id = kind.id;
    fields.event_type = kind.type;
    fields.category = kind.category;
    fields.num_strings = static_cast<WORD>(strings.size());
    fields.strings = strings.data();
    static BYTE record[sim_max_record_size];
    DWORD length = 0;
    if (sim_build_record(fields, record, sizeof(record), &length) != 0 ||
        sim_append_records(sim_security, record, length) != 0)
        printf("APPEND FAILED\n");
}

DWORD WINAPI follow_actions(void *)
{
    wait_until(loop_started);
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.2", L"10");
    append(e4625, L"203.0.113.3", L"2");   // interactive: not counted
    append(e529, L"203.0.113.4");
    append(e539, L"203.0.113.4", L"8");
    append(e4776, L"203.0.113.5");
    append(e4624, L"203.0.113.6");           // successes of users not whitelisted change nothing
    append(e528, L"203.0.113.6");
    append(e4625, L"-");
    settle();
    send_monitor_request(MonitorRequest::quit);
    return 0;
}

DWORD WINAPI pause_actions(void *)
{
    wait_until(loop_started);
    monitor_paused = true;
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.1");
    settle();
    monitor_paused = false;
    append(e4625, L"203.0.113.2");
    settle();
    send_monitor_request(MonitorRequest::quit);
    return 0;
}

DWORD WINAPI clear_actions(void *)
{
    wait_until(loop_started);
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.1");
    settle();
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ClearEventLogW(log, nullptr);
    CloseEventLog(log);
    // Windows writes the clearing event into the new log; the recovery seeks to it.
    append(e4776, L"-");
    settle();
    append(e4625, L"203.0.113.1");
    settle();
    send_monitor_request(MonitorRequest::quit);
    return 0;
}

// A quit stored while the loop serves a long listing, after it took that request: the loop
// must not wait for the next record to see it.
DWORD WINAPI quit_while_serving(void *)
{
    wait_until(loop_started);
    // The loop touches the table only for records and requests; none is pending here.
    for (unsigned i = 0; i < 1000; ++i)
        record_failure(logon_failures, (L"192.0.2." + std::to_wstring(i)).c_str(), 1u);
    send_monitor_request(MonitorRequest::show_history);
    wait_until(request_taken);
    send_monitor_request(MonitorRequest::quit);
    Sleep(5000);
    printf("QUIT WAS LEFT WAITING\n"); // the process should have ended long before
    send_monitor_request(MonitorRequest::quit);
    return 0;
}

DWORD WINAPI quit_after_first_request(void *)
{
    wait_until(loop_started);
    wait_until(request_taken);
    send_monitor_request(MonitorRequest::quit);
    return 0;
}

int run_monitor(LPTHREAD_START_ROUTINE actions)
{
    append(e4625, L"203.0.113.99"); // the newest record at start: never processed
    if (actions != nullptr)
        CloseHandle(CreateThread(nullptr, 0, actions, nullptr, 0, nullptr));
    wchar_t program[] = L"tosmire-ips-sim.exe";
    wchar_t *argv[] = {program, nullptr};
    return monitor_main(1, argv);
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario == "follow")
        return run_monitor(follow_actions);
    if (scenario == "pause")
        return run_monitor(pause_actions);
    if (scenario == "cleared")
        return run_monitor(clear_actions);
    if (scenario == "quit-while-serving")
        return run_monitor(quit_while_serving);
    if (scenario == "early-show") {
        send_monitor_request(MonitorRequest::show_history);
        return run_monitor(quit_after_first_request);
    }
    if (scenario == "early-quit") {
        send_monitor_request(MonitorRequest::quit);
        return run_monitor(nullptr);
    }
    if (scenario == "rpc-gone-service" || scenario == "rpc-gone-console") {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", L"1717");
        g_service_host.is_service = scenario == "rpc-gone-service";
        return run_monitor(nullptr);
    }
    return 99;
}

namespace {

// ---- parent side ----

bool ends_with(const std::wstring &text, const std::wstring &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t occurrences(const std::wstring &text, const std::wstring &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

ChildResult program(const wchar_t *arguments = L"")
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, length < MAX_PATH ? length : 0);
    dir.resize(dir.find_last_of(L'\\') + 1);
    return run_redirected(L"\"" + dir + L"tosmire-ips-sim.exe\" " + arguments);
}

TEST(SecurityLogLoop, EmptyLogEndsTheProgramAtTheSeek)
{
    SimFolder folder;
    ChildResult run = program();
    ASSERT_TRUE(run.finished);
    size_t at = run.output.find(L"seek FAILED ");
    ASSERT_NE(at, std::wstring::npos) << run.output;
    EXPECT_NE(run.exit_code, 0u);
    EXPECT_EQ(run.output.substr(at), L"seek FAILED " + std::to_wstring(run.exit_code));
    EXPECT_NE(run.output.find(L"# Open Security log: OK\n"), std::wstring::npos);
}

TEST(SecurityLogLoop, UnopenableLogEndsTheStart)
{
    SimFolder folder;
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314");
    ChildResult run = program();
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 575u);
    EXPECT_NE(run.output.find(L"# Open Security log: A required privilege is not held by the client: 1314\n"),
              std::wstring::npos)
        << run.output;
}

TEST(SecurityLogLoop, CountsExactlyTheAcceptedFailuresPerAddress)
{
    SimFolder folder;
    ChildResult run = run_scenario("follow");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_NE(run.output.find(L"# Waiting for new events... ["), std::wstring::npos);
    EXPECT_TRUE(ends_with(run.output, L"\n\n[   2] 203.0.113.1\n[   1] 203.0.113.2\n[   2] 203.0.113.4\n\n(Quit)"))
        << run.output;
    EXPECT_EQ(run.output.find(L"203.0.113.99"), std::wstring::npos);
}

TEST(SecurityLogLoop, RecordsReadWhilePausedAreDropped)
{
    SimFolder folder;
    ChildResult run = run_scenario("pause");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_NE(run.output.find(L"EMPTY\n\nEMPTY\n\n"), std::wstring::npos) << run.output;
    EXPECT_TRUE(ends_with(run.output, L"\n\n[   1] 203.0.113.2\n\n(Quit)")) << run.output;
    EXPECT_EQ(run.output.find(L"203.0.113.1"), std::wstring::npos);
}

TEST(SecurityLogLoop, ClearedLogIsFollowedAgainWithTheHistoryIntact)
{
    SimFolder folder;
    ChildResult run = run_scenario("cleared");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_NE(run.output.find(L"# The audit log was cleared.\n"), std::wstring::npos) << run.output;
    EXPECT_EQ(occurrences(run.output, L"# Open Security log: OK\n"), 2u);
    EXPECT_NE(run.output.find(L"waiting for new events...["), std::wstring::npos);
    EXPECT_TRUE(ends_with(run.output, L"\n\n[   3] 203.0.113.1\n\n(Quit)")) << run.output;
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
    render_error = EvtRender(rdp_render_context, event, EvtRenderEventValues, sizeof(values), values, &used, &count)
                       ? 0
                       : GetLastError();
    return 0;
}

TEST(CloseMonitorHandles, SubscriptionEndsBeforeItsRenderContextIsClosed)
{
    SimFolder folder;
    const wchar_t *paths[] = {L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID", L"Event/EventData/Data"};
    rdp_render_context = EvtCreateRenderContext(3, paths, EvtRenderContextValues);
    rdp_subscription = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, nullptr,
                                    slow_callback, EvtSubscribeToFutureEvents);
    ASSERT_NE(rdp_render_context, nullptr);
    ASSERT_NE(rdp_subscription, nullptr);
    callback_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const wchar_t *strings[] = {L"198.18.0.1"};
    SimRecord fields = {L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS", nullptr, 140, EVENTLOG_WARNING_TYPE,
                        0, 0, nullptr, 1, strings, nullptr, 0};
    static BYTE record[4096];
    DWORD length = 0;
    ASSERT_EQ(sim_build_record(fields, record, sizeof(record), &length), 0u);
    ASSERT_EQ(sim_append_records(sim_rdp, record, length), 0u);
    ASSERT_EQ(WaitForSingleObject(callback_entered, 10000), WAIT_OBJECT_0);
    close_monitor_handles();
    EXPECT_EQ(render_error, 0u);
    EXPECT_EQ(rdp_subscription, nullptr);
    EXPECT_EQ(rdp_render_context, nullptr);
    CloseHandle(callback_entered);
}

TEST(SecurityLogLoop, RequestsStoredBeforeTheLoopAreServedFirst)
{
    SimFolder folder;
    ChildResult show = run_scenario("early-show");
    ASSERT_TRUE(show.finished);
    EXPECT_EQ(show.exit_code, 0u);
    size_t waiting = show.output.find(L"# Waiting for new events... [");
    ASSERT_NE(waiting, std::wstring::npos) << show.output;
    EXPECT_TRUE(ends_with(show.output, L"]\n\nEMPTY\n\n(Quit)")) << show.output;

    ChildResult quit = run_scenario("early-quit");
    ASSERT_TRUE(quit.finished);
    EXPECT_EQ(quit.exit_code, 0u);
    EXPECT_TRUE(ends_with(quit.output, L"]\n\n(Quit)")) << quit.output;
}

TEST(SecurityLogLoop, RequestStoredAfterTheTakeEndsTheWaitAtOnce)
{
    SimFolder folder;
    ChildResult run = run_scenario("quit-while-serving");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(ends_with(run.output, L"[   1] 192.0.2.999\n\n(Quit)")) << run.output.substr(run.output.size() - 200);
}

TEST(SecurityLogLoop, LostLogConnectionEndsAServiceInOrderAndAConsoleWithTheError)
{
    SimFolder folder;
    ChildResult service = run_scenario("rpc-gone-service");
    ASSERT_TRUE(service.finished);
    EXPECT_EQ(service.exit_code, 0u);
    EXPECT_TRUE(ends_with(service.output, L"(Quit)")) << service.output;

    ChildResult console = run_scenario("rpc-gone-console");
    ASSERT_TRUE(console.finished);
    EXPECT_EQ(console.exit_code, 1717u);
    EXPECT_TRUE(ends_with(console.output, L"read failed 1717")) << console.output;
}

} // namespace
