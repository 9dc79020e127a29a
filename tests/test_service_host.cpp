// The service host in-process: the time prefix, the identity decision, the service command line,
// start-up without a service, and the control handler with a recording callback.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <string>
#include <vector>
#include "service/service_commands.h"
#include "service/service_install.h"
#include "service/service_runtime.h"
#include "service/service_identity.h"

namespace {

std::wstring prefix_of(long long seconds)
{
    wchar_t text[time_prefix_chars];
    EXPECT_EQ(format_time_prefix(seconds, text), 21) << seconds;
    return text;
}

TEST(TimePrefix, FormatsUtcCalendarFields)
{
    const struct {
        long long seconds;
        const wchar_t *text;
    } rows[] = {
        {0, L"1970-01-01 / 00:00:00"},
        {1796694719, L"2026-12-08 / 01:51:59"},
        {951782400, L"2000-02-29 / 00:00:00"},   // a leap day of a century divisible by 400
        {4107542399, L"2100-02-28 / 23:59:59"},  // 2100 is no leap year
        {4107542400, L"2100-03-01 / 00:00:00"},
        {253402300799, L"9999-12-31 / 23:59:59"},
        {253402300800, L"0000-01-01 / 00:00:00"}, // the year modulo 10,000
        {-1, L"1969-12-31 / 23:59:59"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(prefix_of(row.seconds), row.text) << row.seconds;
}

std::wstring utc_now_text()
{
    SYSTEMTIME t;
    GetSystemTime(&t);
    wchar_t text[32];
    swprintf(text, 32, L"%.4d-%.2d-%.2d / %.2d:%.2d:%.2d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Run also under a time zone far from UTC (see tests/service.cmake): the prefix stays UTC.
TEST(TimePrefix, NowIsUniversalTime)
{
    bool equal = false;
    for (int attempt = 0; attempt < 3 && !equal; ++attempt) {
        std::wstring before = utc_now_text();
        wchar_t text[time_prefix_chars];
        ASSERT_EQ(time_prefix(text), 21);
        equal = before == text || utc_now_text() == text;
    }
    EXPECT_TRUE(equal) << "time_prefix differs from the UTC clock";
}

// Token groups from SID texts, in order.
struct Groups {
    std::vector<BYTE> block;
    std::vector<PSID> sids;
    explicit Groups(std::vector<const wchar_t *> texts)
    {
        block.resize(sizeof(TOKEN_GROUPS) + texts.size() * sizeof(SID_AND_ATTRIBUTES));
        auto *groups = reinterpret_cast<TOKEN_GROUPS *>(block.data());
        for (const wchar_t *text : texts) {
            PSID sid = nullptr;
            EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << text;
            sids.push_back(sid);
            groups->Groups[groups->GroupCount++] = {sid, SE_GROUP_ENABLED};
        }
    }
    ~Groups()
    {
        for (PSID sid : sids)
            LocalFree(sid);
    }
    const TOKEN_GROUPS *get() const { return reinterpret_cast<const TOKEN_GROUPS *>(block.data()); }
};

TEST(Identity, DecisionTable)
{
    const Groups none({});
    const Groups user({L"S-1-1-0", L"S-1-5-32-545", L"S-1-5-4", L"S-1-5-6"});
    const Groups service_first({L"S-1-5-6", L"S-1-5-4"});
    const Groups system({L"S-1-5-32-544", L"S-1-1-0", L"S-1-5-11"});
    const Groups look_alike({L"S-1-5-4-1", L"S-1-5-64-6"});
    const Groups remote_shell({L"S-1-1-0", L"S-1-5-32-544", L"S-1-5-2", L"S-1-5-11"}); // NETWORK, no INTERACTIVE
    const struct {
        const char *what;
        bool session_known;
        DWORD session;
        const TOKEN_GROUPS *groups;
        DWORD type;
        bool started_by_scm;
        bool is_service, interactive;
        DWORD service_type;
    } rows[] = {
        {"session unknown", false, 0, system.get(), 0x110, true, false, false, 0x10},
        {"user session", true, 1, nullptr, 0x110, true, false, true, 0x10},
        {"token unreadable", true, 0, nullptr, 0x110, true, false, false, 0x10},
        {"interactive group first", true, 0, user.get(), 0x110, true, false, true, 0x10},
        {"service group first", true, 0, service_first.get(), 0x110, true, true, false, 0x10},
        {"no group, plain type", true, 0, system.get(), 0x10, true, true, false, 0x10},
        {"no group, interactive type", true, 0, system.get(), 0x110, true, true, true, 0x110},
        {"no groups at all", true, 0, none.get(), 0, true, true, false, 0x10},
        {"similar SIDs only", true, 0, look_alike.get(), 0x110, true, true, true, 0x110},
        // Not started by the service manager: the tokens above that read as the service do not.
        {"remote shell", true, 0, remote_shell.get(), 0x110, false, false, false, 0x10},
        {"agent running as a service", true, 0, service_first.get(), 0x110, false, false, false, 0x10},
        {"LocalSystem token, service not ours", true, 0, system.get(), 0x110, false, false, false, 0x10},
        {"interactive group, no service", true, 0, user.get(), 0x110, false, false, true, 0x10},
    };
    for (const auto &row : rows) {
        Identity identity = decide_identity(row.session_known, row.session, row.groups, row.type, row.started_by_scm);
        EXPECT_EQ(identity.is_service, row.is_service) << row.what;
        EXPECT_EQ(identity.interactive, row.interactive) << row.what;
        EXPECT_EQ(identity.service_type, row.service_type) << row.what;
    }
}

TEST(ServiceCommandLine, QuotesAndRefusals)
{
    wchar_t line[service_command_line_chars];
    EXPECT_EQ(build_service_command_line(L"C:\\Program Files\\t\\tosmire-ips.exe", L"tosmire.IPS.8080", line), 0u);
    EXPECT_STREQ(line, L"\"C:\\Program Files\\t\\tosmire-ips.exe\" \"-d:tosmire.IPS.8080\"");
    EXPECT_EQ(build_service_command_line(L"C:\\t.exe", L"a\"b", line), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_STREQ(line, L"");
    // Four quotes, a blank and "-d:" take 8 characters: 1023 in all fit, 1024 do not, and nothing cut is left.
    const std::wstring name = L"n";
    const std::wstring fits(1023 - 8 - name.size(), L'x'), over = fits + L"x";
    EXPECT_EQ(build_service_command_line(fits.c_str(), name.c_str(), line), 0u);
    EXPECT_EQ(wcslen(line), 1023u);
    EXPECT_EQ(build_service_command_line(over.c_str(), name.c_str(), line),
              static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_STREQ(line, L"");
}

// What installation asks of the service manager (Wine keeps none of it, so the request itself).
TEST(ServiceInstall, FailureActionsRestartTwiceADay)
{
    SC_ACTION steps[3];
    SERVICE_FAILURE_ACTIONSW failure;
    memset(steps, 0xCC, sizeof(steps));
    memset(&failure, 0xCC, sizeof(failure));
    build_failure_actions(failure, steps);
    EXPECT_EQ(failure.dwResetPeriod, 86400u);
    EXPECT_EQ(failure.lpRebootMsg, nullptr);
    EXPECT_EQ(failure.lpCommand, nullptr);
    ASSERT_EQ(failure.cActions, 3u);
    ASSERT_EQ(failure.lpsaActions, steps);
    const SC_ACTION expected[3] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(steps[i].Type, expected[i].Type) << i;
        EXPECT_EQ(steps[i].Delay, expected[i].Delay) << i;
    }
}

// Start-up in a process started without "-d:" and without a service of the default name: both
// main-entry events are signalled, the process is no service, and the teardown clears all.
TEST(HostStartup, WithoutServiceSignalsBothEvents)
{
    service_host_init();
    ServiceHost &host = g_service_host;
    EXPECT_STREQ(host.name, default_service_name);
    ASSERT_TRUE(host.e_host_started.created && host.e_host_stopped.created && host.e_main_ready.created);
    EXPECT_EQ(WaitForSingleObject(host.e_host_started.handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(host.e_host_stopped.handle, 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(host.is_service);
    EXPECT_TRUE(host.start_after_install);
    EXPECT_EQ(host.dispatch_table[0].lpServiceName, host.name);
    EXPECT_EQ(host.dispatch_table[1].lpServiceName, nullptr);
    service_host_close();
    EXPECT_FALSE(host.e_host_started.created);
    EXPECT_FALSE(host.e_monitor_done.created);
    EXPECT_EQ(host.scm_handle, nullptr);
    // Never zeroed: a thread of the platform may still read the name.
    EXPECT_STREQ(host.name, default_service_name);
}

std::vector<DWORD> g_received;
void record_control(DWORD control) { g_received.push_back(control); }

bool signalled(const HostEvent &event) { return WaitForSingleObject(event.handle, 0) == WAIT_OBJECT_0; }

struct Handler : ::testing::Test {
    ServiceHost &host = g_service_host;
    void SetUp() override
    {
        ZeroMemory(&host, sizeof(host));
        for (HostEvent *event : {&host.e_service_stop, &host.e_host_stopped, &host.e_param_change})
            *event = {CreateEventW(nullptr, event != &host.e_param_change, FALSE, nullptr), true};
        host.status.dwCurrentState = SERVICE_RUNNING;
        host.control_callback = record_control;
        g_received.clear();
    }
    void TearDown() override
    {
        for (HostEvent *event : {&host.e_service_stop, &host.e_host_stopped, &host.e_param_change})
            CloseHandle(event->handle);
        ZeroMemory(&host, sizeof(host));
    }
};

TEST_F(Handler, PauseTwiceStaysPausedAndReachesTheCallbackTwice)
{
    service_ctrl_handler(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
    service_ctrl_handler(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
    service_ctrl_handler(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(g_received, (std::vector<DWORD>{2, 2, 3}));
    EXPECT_FALSE(host.stop_requested);
    EXPECT_FALSE(signalled(host.e_service_stop));
}

TEST_F(Handler, SecondStopSignalsAgainAndInConsoleModeEndsTheHost)
{
    service_ctrl_handler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_TRUE(host.stop_requested);
    EXPECT_TRUE(signalled(host.e_service_stop));
    EXPECT_TRUE(signalled(host.e_host_stopped)); // not a service: the handler ends the hand-shake itself
    ResetEvent(host.e_service_stop.handle);
    ResetEvent(host.e_host_stopped.handle);
    host.is_service = true;
    service_ctrl_handler(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(signalled(host.e_service_stop));
    EXPECT_FALSE(signalled(host.e_host_stopped)); // a service's dispatcher thread signals it
    // Once a stop was asked for, any later control signals the stop again.
    ResetEvent(host.e_service_stop.handle);
    service_ctrl_handler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_TRUE(signalled(host.e_service_stop));
    EXPECT_EQ(g_received, (std::vector<DWORD>{1, 1, 4}));
}

TEST_F(Handler, ShutdownInterrogationParameterChangeAndTrigger)
{
    service_ctrl_handler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    service_ctrl_handler(SERVICE_CONTROL_PARAMCHANGE);
    EXPECT_TRUE(signalled(host.e_param_change));
    EXPECT_FALSE(signalled(host.e_param_change)); // auto reset
    service_ctrl_handler(32);                    // trigger event
    service_ctrl_handler(200);                   // a user control
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(host.stop_requested);
    service_ctrl_handler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_TRUE(host.stop_requested);
    EXPECT_TRUE(signalled(host.e_service_stop));
    // A pause or continue (from the keys) leaves a stopping service stopping.
    service_ctrl_handler(SERVICE_CONTROL_CONTINUE);
    service_ctrl_handler(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(host.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(g_received, (std::vector<DWORD>{4, 6, 32, 200, 5, 3, 2}));
}

TEST_F(Handler, EventsNotCreatedAreSkipped)
{
    host.e_service_stop.created = false;
    host.e_host_stopped.created = false;
    service_ctrl_handler(SERVICE_CONTROL_STOP);
    EXPECT_FALSE(signalled(host.e_service_stop));
    EXPECT_FALSE(signalled(host.e_host_stopped));
    EXPECT_EQ(g_received, (std::vector<DWORD>{1}));
}

} // namespace
