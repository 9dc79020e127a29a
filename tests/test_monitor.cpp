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

void wait_until(bool (*condition)())
{
    for (int i = 0; i < 20000 && !condition(); ++i)
        Sleep(1);
}
bool loop_started() { return e_notify_new_event != nullptr; }
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

struct Kind {
    DWORD id;
    WORD type, category;
    size_t strings, address_at, type_at;
};
const Kind e4625 = {4625, EVENTLOG_AUDIT_FAILURE, 12544, 21, 19, 10}, e4624 = {4624, EVENTLOG_AUDIT_SUCCESS, 12544, 27, 18, 8},
           e528 = {528, EVENTLOG_AUDIT_SUCCESS, 2, 15, 13, 3}, e529 = {529, EVENTLOG_AUDIT_FAILURE, 2, 13, 11, 2},
           e539 = {539, EVENTLOG_AUDIT_FAILURE, 2, 13, 11, 2}, e4776 = {4776, EVENTLOG_AUDIT_FAILURE, 14336, 4, 2, 9};

void append(const Kind &kind, const wchar_t *address, const wchar_t *logon_type = L"3", int log = sim_security)
{
    std::vector<std::wstring> text =
        test_records::strings_with(kind.strings, kind.address_at, address, kind.type_at, logon_type);
    std::vector<const wchar_t *> strings;
    for (const std::wstring &s : text)
        strings.push_back(s.c_str());
    SimRecord fields = {L"Microsoft-Windows-Security-Auditing", nullptr, kind.id, kind.type, kind.category, 0, nullptr,
                        static_cast<WORD>(strings.size()), strings.data(), nullptr, 0};
    static BYTE record[sim_max_record_size];
    DWORD length = 0;
    if (sim_build_record(fields, record, sizeof(record), &length) != 0 || sim_append_records(log, record, length) != 0)
        printf("APPEND FAILED\n");
}

void clear_security_log()
{
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ClearEventLogW(log, nullptr);
    CloseEventLog(log);
    append(e4776, L"-"); // Windows writes the clearing event into the new log; the recovery seeks to it
}

void follow()
{
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.1");
    append(e4625, L"203.0.113.2", L"10");
    append(e4625, L"203.0.113.3", L"2"); // interactive: not counted
    append(e529, L"203.0.113.4");
    append(e539, L"203.0.113.4", L"8");
    append(e4776, L"203.0.113.5");
    append(e4624, L"203.0.113.6"); // successes of users not whitelisted change nothing
    append(e528, L"203.0.113.6");
    append(e4625, L"-");
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
    clear_security_log();
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
    wait_until(loop_started);
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
    struct Entry {
        const char *name;
        void (*actions)();
    };
    const Entry entries[] = {{"follow", follow}, {"pause", paused_records}, {"cleared", cleared},
                             {"quit-while-serving", quit_while_serving}, {"early-show", nullptr}};
    for (const Entry &entry : entries)
        if (scenario == entry.name)
            scenario_actions = entry.actions;
    if (scenario == "early-show")
        send_monitor_request(MonitorRequest::show_history);
    if (scenario == "early-quit")
        send_monitor_request(MonitorRequest::quit);
    if (scenario == "rpc-gone-service" || scenario == "rpc-gone-console") {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", L"1717");
        g_service_host.is_service = scenario == "rpc-gone-service";
    }
    append(e4625, L"203.0.113.99"); // the newest record at start: never processed
    if (scenario != "early-quit" && scenario.rfind("rpc-gone", 0) != 0)
        CloseHandle(CreateThread(nullptr, 0, run_actions, nullptr, 0, nullptr));
    wchar_t program[] = L"tosmire-ips-sim.exe";
    wchar_t *argv[] = {program, nullptr};
    return monitor_main(1, argv);
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

class SecurityLogLoop : public ::testing::Test {
protected:
    SimFolder folder;
    // The child's output; expects it to end with tail and exit with code.
    std::wstring expect_run(const char *scenario, const std::wstring &tail, DWORD code = 0)
    {
        ChildResult run = run_scenario(scenario);
        EXPECT_TRUE(run.finished) << scenario;
        EXPECT_EQ(run.exit_code, code) << scenario;
        EXPECT_TRUE(ends_with(run.output, tail)) << scenario << "\n" << run.output;
        return run.output;
    }
    // The program itself, started with the given hook variable set.
    ChildResult run_program(const wchar_t *variable, const wchar_t *value)
    {
        wchar_t self[MAX_PATH];
        std::wstring dir(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        dir.resize(dir.find_last_of(L'\\') + 1);
        SetEnvironmentVariableW(variable, value);
        ChildResult run = run_redirected(L"\"" + dir + L"tosmire-ips-sim.exe\"");
        SetEnvironmentVariableW(variable, nullptr);
        EXPECT_TRUE(run.finished);
        return run;
    }
};

TEST_F(SecurityLogLoop, ProgramEndsAtTheSeekOnAnEmptyLogAndWith575WhenTheLogDoesNotOpen)
{
    ChildResult empty = run_program(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
    EXPECT_NE(empty.output.find(L"# Open Security log: OK\n"), std::wstring::npos) << empty.output;
    EXPECT_NE(empty.exit_code, 0u);
    EXPECT_TRUE(ends_with(empty.output, L"seek FAILED " + std::to_wstring(empty.exit_code))) << empty.output;

    ChildResult denied = run_program(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314");
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
    EXPECT_NE(out.find(L"# The audit log was cleared.\n"), std::wstring::npos);
    EXPECT_EQ(occurrences(out, L"# Open Security log: OK\n"), 2u);
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
    ASSERT_NE(rdp_render_context, nullptr);
    ASSERT_NE(rdp_subscription, nullptr);
    callback_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    append({140, EVENTLOG_WARNING_TYPE, 0, 1, 0, 9}, L"198.18.0.1", L"", sim_rdp);
    ASSERT_EQ(WaitForSingleObject(callback_entered, 10000), WAIT_OBJECT_0);
    close_monitor_handles();
    EXPECT_EQ(render_error, 0u);
    EXPECT_EQ(rdp_subscription, nullptr);
    EXPECT_EQ(rdp_render_context, nullptr);
    CloseHandle(callback_entered);
}

} // namespace
