// The operator letters of the command line, run by tosmire-ips-sim.exe with its output in a file,
// against the simulated netsh and regedit; and the service control callback's notices and
// reports, in child scenarios of this program.
#include "tests/block_support.h"
#include "tests/netsh_view.h"
#include "tests/operator_texts.h"
#include "tests/test_service_support.h"
#include "config/config.h"
#include "console/key_console.h"
#include "console/output.h"
#include "console/redirection.h"
#include "engine/monitor.h"
#include "engine/report.h"
#include "service/service_host.h"
#include <string>

namespace {

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";
const wchar_t event_source_key[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS";
const wchar_t regedit_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";

std::wstring default_log_file()
{
    wchar_t dir[MAX_PATH];
    return std::wstring(dir, GetSystemDirectoryW(dir, MAX_PATH)) + L"/LogFiles/tosmire.IPS.log";
}

// ---- child side: the control callback in this process ----

void print_state()
{
    print_out(L"[request=%ld paused=%d]\n", static_cast<long>(monitor_request), monitor_paused ? 1 : 0);
}

int control_scenario(const std::string &scenario)
{
    set_console_hooks(key_console, ctrl_handler); // as the program's start-up registers them
    shadow_console_init();
    atexit(shadow_console_close);
    g_service_host.is_service = scenario.find("service") != std::string::npos;
    if (scenario.find("closed") == std::string::npos)
        event_source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    if (scenario.find("logfile") != std::string::npos) {
        wchar_t name[256] = L"";
        GetEnvironmentVariableW(L"TOSMIRE_TEST_NAME", name, 256);
        set_log_file_name(name);
        if (log_to_file(false) != 0)
            return 2;
    }
    for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE,
                          SERVICE_CONTROL_STOP}) {
        monitor_control(control);
        print_state();
        monitor_request = 0;
    }
    monitor_control(SERVICE_CONTROL_SHUTDOWN);
    print_state();
    if (event_source != nullptr)
        DeregisterEventSource(event_source);
    return 0;
}

// ---- parent side ----

struct ProgramRun {
    ChildResult child;
    std::wstring out; // without carriage returns
};

ProgramRun run_program(const std::wstring &arguments)
{
    ProgramRun run;
    run.child = run_redirected(L"tosmire-ips-sim.exe " + arguments);
    run.out = run.child.output;
    std::erase(run.out, L'\r');
    return run;
}

// Starts tosmire-ips-sim.exe with its output in out_path, waits until file holds text, ends it.
bool monitoring_starts(const std::wstring &arguments, const std::wstring &out_path, const std::wstring &file,
                       const wchar_t *text)
{
    BackgroundMonitor monitor;
    if (!monitor.start(out_path, arguments))
        return false;
    bool seen = false;
    for (int i = 0; i < 3000 && !(seen = read_output_file(file).find(text) != std::wstring::npos); ++i)
        if (monitor.ended(10))
            break;
    monitor.stop();
    return seen || read_output_file(file).find(text) != std::wstring::npos;
}

void newest_record()
{
    ChildResult run = run_redirected(L"evtlog.exe 4624 --address 192.0.2.1");
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
}

TEST(Letters, WithoutKnownLetterMonitoringStarts)
{
    SimFolder folder;
    newest_record();
    const std::wstring out = folder.file(L"out.txt");
    ASSERT_TRUE(monitoring_starts(L"xyz", out, out, L"# Waiting for new events... ["));
    const std::wstring text = read_output_file(out);
    EXPECT_EQ(text.find(L"###  tosmire's Intrusion Prevention System"), 0u) << text;
    EXPECT_EQ(journal(folder).size(), 0u) << "no letter ran";
}

TEST(Letters, FSendsTheMonitorToTheLogFile)
{
    SimFolder folder;
    newest_record();
    DeleteFileW(default_log_file().c_str());
    const std::wstring out = folder.file(L"out.txt");
    ASSERT_TRUE(monitoring_starts(L"-f", out, default_log_file(), L"# Waiting for new events... ["));
    EXPECT_EQ(read_output_file(out), L"Redirecting all messages to log file...\n");
    const std::wstring log = read_output_file(default_log_file());
    DeleteFileW(default_log_file().c_str());
    EXPECT_EQ(log.find(L"###  tosmire's Intrusion Prevention System"), 0u) << log;
    EXPECT_NE(log.find(L"List of commands:"), std::wstring::npos) << "a console program lists its keys";
}

TEST(Letters, FThenHelpGoesIntoTheLogFileAndEnds)
{
    SimFolder folder;
    DeleteFileW(default_log_file().c_str());
    ProgramRun run = run_program(L"fh");
    const std::wstring log = read_output_file(default_log_file());
    DeleteFileW(default_log_file().c_str());
    EXPECT_EQ(run.child.exit_code, 1u);
    EXPECT_EQ(run.out, L"Redirecting all messages to log file...\n");
    const std::wstring expected =
        L"\n###  tosmire's Intrusion Prevention System  2026-12-09  tosmire project  ###\n"
        L"List of commands:                   ~  debug console      h  help?  F1\n" +
        letter_help_body() + default_log_file() + L"\n";
    EXPECT_EQ(log, expected);
}

TEST(Letters, OnlyTheFirstArgumentIsRead)
{
    SimFolder folder;
    ProgramRun run = run_program(L"W A");
    EXPECT_EQ(run.child.exit_code, 1u) << run.out;
    std::vector<JournalEntry> commands = journal(folder);
    ASSERT_EQ(commands.size(), 7u) << run.out;
    EXPECT_EQ(commands.front().cmdline.find(as_run(L"netsh ipsec static add policy name=\"block+ESP\"")), 0u)
        << commands.front().cmdline;
    EXPECT_EQ(store_text(folder).find(L"|assigned"), std::wstring::npos) << "A ran";
}

struct RegeditCase {
    const char *name;
    const wchar_t *key_present; // the configuration key that exists, or none
};

TEST(Letters, CWritesLastKeyAndStartsTheEditor)
{
    const RegeditCase cases[] = {
        {"no key", nullptr}, {"Parameters", parameters_key}, {"event source only", event_source_key}};
    for (const RegeditCase &c : cases) {
        SCOPED_TRACE(c.name);
        SimFolder folder;
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, event_source_key);
        RegDeleteKeyW(HKEY_CURRENT_USER, regedit_key);
        HKEY key = nullptr;
        if (c.key_present != nullptr) {
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.key_present, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                      nullptr), ERROR_SUCCESS);
            RegCloseKey(key);
        }
        ProgramRun run = run_program(L"c");
        EXPECT_EQ(run.child.exit_code, 1u);
        const std::wstring journal_file = folder.file(L"regedit.log");
        if (c.key_present == nullptr) {
            EXPECT_EQ(run.out, L"!! Please start the application without parameters to create the config.\n"
                               L"   Note that the uninstall command also removes config and log file.\n");
            Sleep(200); // an editor started by mistake would have journalled by now
            EXPECT_EQ(read_output_file(journal_file), L"");
            EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, regedit_key, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
            continue;
        }
        const std::wstring expected = L"Computer\\HKEY_LOCAL_MACHINE\\" + std::wstring(c.key_present);
        wchar_t value[600] = {};
        DWORD size = sizeof(value), type = 0;
        EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, regedit_key, L"LastKey", RRF_RT_ANY, &type, value, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(size, (expected.size() + 1) * sizeof(wchar_t)) << "terminator included";
        EXPECT_EQ(std::wstring(value), expected);
        // Started without waiting: the editor journals when it gets round to it.
        wait_until([&] { return !read_output_file(journal_file).empty(); });
        // JSON: quotes and backslashes escaped.
        auto escaped = [](const std::wstring &text) {
            std::wstring json;
            for (wchar_t ch : text)
                json += ch == L'\\' || ch == L'"' ? std::wstring(1, L'\\') + ch : std::wstring(1, ch);
            return json;
        };
        EXPECT_EQ(read_output_file(journal_file), L"{\"cmdline\": \"" + escaped(as_run(L"regedit.exe")) +
                                                      L"\", \"lastkey\": \"" + escaped(expected) + L"\"}\n");
        EXPECT_EQ(run.out, L"");
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, event_source_key);
    RegDeleteKeyW(HKEY_CURRENT_USER, regedit_key);
}

// The service letters act on the installed default service; the service is always removed.
TEST(Letters, WAisWritesActivatesInstallsAndStarts)
{
    service_test::ServiceSimFolder folder;
    service_test::ServiceGuard guard{{default_service_name}};
    newest_record();
    ProgramRun run = run_program(L"WAis");
    const bool running = service_test::wait_state(default_service_name, SERVICE_RUNNING);

    EXPECT_EQ(run.child.exit_code, 1u) << run.out;
    std::vector<JournalEntry> commands = journal(folder);
    ASSERT_GE(commands.size(), 8u) << run.out;
    EXPECT_EQ(commands.front().cmdline.find(as_run(L"netsh ipsec static add policy name=\"block+ESP\"")), 0u);
    EXPECT_EQ(commands[7].cmdline, as_run(L"netsh ipsec static set policy name=\"block+ESP\" assign=yes"));
    EXPECT_TRUE(running) << run.out;
    // In order: policy, activation, installation (which starts), then the start letter, which
    // finds the service running.
    const size_t assigned = run.out.find(L"# netsh ipsec static set policy name=\"block+ESP\" assign=yes");
    const size_t installed = run.out.find(L":: tosmire.IPS service installed\n");
    const size_t started = run.out.find(L":: tosmire.IPS service start [OK]\n");
    const size_t second_start = run.out.find(L"!! tosmire.IPS service start [FAILED:");
    EXPECT_LT(assigned, installed) << run.out;
    EXPECT_LT(installed, started) << run.out;
    EXPECT_LT(started, second_start) << run.out;
}

// The control callback: notices, flags, requests and the three reports of a service.
struct ControlCase {
    const char *scenario;
    const wchar_t *output;
    size_t reports;
};

TEST(MonitorControl, NoticesRequestsAndReports)
{
    const ControlCase cases[] = {
        {"control-console", L"{paused} ", 0},
        {"control-service", L"{paused} ", 3 + 1},
        {"control-closed-service", L"{paused} ", 0},
    };
    for (const ControlCase &c : cases) {
        SCOPED_TRACE(c.scenario);
        SimFolder folder;
        ChildResult child = run_scenario(c.scenario);
        std::wstring out = child.output;
        std::erase(out, L'\r');
        EXPECT_EQ(child.exit_code, 0u);
        // On no console the notices stand inside the lines that follow them.
        EXPECT_EQ(out, L"{paused} [request=0 paused=1]\n{resumed}[request=0 paused=0]\n[request=0 paused=0]\n"
                       L"[request=1 paused=0]\n[request=1 paused=0]\n");
        std::vector<std::wstring> reports = read_own_reports();
        if (c.reports == 0) {
            EXPECT_TRUE(reports.empty()) << reports.size();
            continue;
        }
        // ID, type, category, strings, raw data: information type (4) without strings.
        EXPECT_EQ(reports, (std::vector<std::wstring>{L"4000AF03\t4\t3\t\tPAUSED", L"4000AF01\t4\t1\t\tRUNNING",
                                                      L"4000AF02\t4\t2\t\tSTOPPED", L"4000AF02\t4\t2\t\tSTOPPED"}));
    }
}

TEST(MonitorControl, LogFileNoticesAreMarked)
{
    SimFolder folder;
    const std::wstring name = L"tosmire.test.operator." + std::to_wstring(GetCurrentProcessId());
    wchar_t dir[MAX_PATH];
    const std::wstring log_file = std::wstring(dir, GetSystemDirectoryW(dir, MAX_PATH)) + L"/LogFiles/" + name + L".log";
    SetEnvironmentVariableW(L"TOSMIRE_TEST_NAME", name.c_str());
    ChildResult child = run_scenario("control-logfile");
    SetEnvironmentVariableW(L"TOSMIRE_TEST_NAME", nullptr);
    const std::wstring log = read_output_file(log_file);
    DeleteFileW(log_file.c_str());
    EXPECT_EQ(child.exit_code, 0u) << child.output;
    EXPECT_EQ(child.output, L"");
    EXPECT_EQ(log, L"# {paused} [request=0 paused=1]\n# {resumed} #\n[request=0 paused=0]\n[request=0 paused=0]\n"
                   L"[request=1 paused=0]\n[request=1 paused=0]\n");
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    return control_scenario(scenario);
}
