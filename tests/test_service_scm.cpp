// The service control operations against Wine's service manager, and the simulated program as
// a real service: installed properties from the registry, start, pause, continue, reload, stop,
// removal, the log file, following the simulated Security log and blocking. Each test installs
// under its own name; this test program itself is the ordinary process that keeps the Wine
// server (and with it the services) alive for the whole test.
#include "tests/test_service_support.h"
#include "service/service_control.h"
#include "tools/netsh/netsh_store.h"

using namespace service_test;

namespace {

std::wstring image_line(const std::wstring &name) { return L"\"" + sim_program() + L"\" \"-d:" + name + L"\""; }

bool journal_has(const SimFolder &folder, const std::wstring &address)
{
    std::vector<JournalEntry> entries;
    if (!journal_read(folder.file(L"netsh.log"), entries))
        return false;
    for (const JournalEntry &entry : entries)
        if (contains(entry.cmdline, L"add filter") && contains(entry.cmdline, address))
            return true;
    return false;
}

DWORD append_failures(const std::wstring &address, int count)
{
    ChildResult run = run_redirected(L"\"" + beside(L"evtlog.exe") + L"\" 4625 --address " + address +
                                     L" --user scanner --count " + std::to_wstring(count));
    return run.finished ? run.exit_code : 0xFFFFFFFF;
}

struct ServiceScm : ::testing::Test {
    ServiceSimFolder folder;
    ServiceGuard guard;
    // The monitor starts after the newest record of the Security log.
    void SetUp() override
    {
        ChildResult run = run_redirected(L"\"" + beside(L"evtlog.exe") + L"\" 4624 --address 198.51.100.1");
        ASSERT_TRUE(run.finished) << run.output;
        ASSERT_EQ(run.exit_code, 0u) << narrow(run.output);
    }
};

// Install, the installed properties, start of a running service, the monitor following the
// Security log and blocking, pause, continue and reload reaching it, stop, removal.
TEST_F(ServiceScm, InstalledServiceMonitorsIntoItsLogFile)
{
    const std::wstring name = own_name(L"m");
    const std::wstring group = L"-d:+" + name.substr(11);
    guard.names.push_back(name);
    remove_service(name);

    ChildResult install = run_sim(group + L":i");
    ASSERT_TRUE(install.finished) << install.output;
    EXPECT_EQ(install.exit_code, 1u);
    EXPECT_TRUE(contains(install.output, L"] :: " + name + L" service installed\n")) << narrow(install.output);
    EXPECT_TRUE(contains(install.output, L"] :: LocalSystem requires Read+Execute ACL rights on:\n" + image_line(name) +
                                             L"\n"))
        << narrow(install.output);
    EXPECT_TRUE(contains(install.output, L"] :: " + name + L" service start [OK]\n")) << narrow(install.output);

    expect_installed(name);

    ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));
    ASSERT_TRUE(wait_until([&] { return contains(read_log(name), L"Waiting for new events"); }, 30000))
        << narrow(read_log(name));

    // Start of a running service: the failure, continued by the state; the result is the state.
    ChildResult again = run_sim(group + L":s");
    EXPECT_TRUE(contains(again.output, L"] !! " + name + L" service start [FAILED:1056][RUNNING]\n"))
        << narrow(again.output);
    ServiceHost host = {};
    wcscpy_s(host.name, name.c_str());
    host.scm_handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_EQ(service_control(host, 0), static_cast<int>(SERVICE_RUNNING));
    CloseServiceHandle(host.scm_handle);

    ASSERT_EQ(append_failures(L"203.0.113.50", 25), 0u);
    EXPECT_TRUE(wait_until([&] { return journal_has(folder, L"203.0.113.50"); }, 30000)) << narrow(read_log(name));

    ChildResult pause = run_sim(group + L":P");
    EXPECT_TRUE(contains(pause.output, L"] :: " + name + L" service [PAUSED]\n")) << narrow(pause.output);
    ASSERT_EQ(append_failures(L"203.0.113.51", 25), 0u);
    Sleep(4000); // read and dropped while paused (the loop wakes at once; the time is for a loaded machine)
    ChildResult resume = run_sim(group + L":Cc");
    const std::wstring running = L"] :: " + name + L" service [RUNNING]\n";
    size_t first = resume.output.find(running);
    ASSERT_NE(first, std::wstring::npos) << narrow(resume.output);
    EXPECT_NE(resume.output.find(running, first + 1), std::wstring::npos) << "continue, then reload";
    ASSERT_EQ(append_failures(L"203.0.113.52", 25), 0u);
    EXPECT_TRUE(wait_until([&] { return journal_has(folder, L"203.0.113.52"); }, 30000)) << narrow(read_log(name));
    EXPECT_FALSE(journal_has(folder, L"203.0.113.51"));

    ChildResult stop = run_sim(group + L":q");
    EXPECT_TRUE(contains(stop.output, L"] :: " + name + L" service [STOP PENDING]\n") ||
                contains(stop.output, L"] :: " + name + L" service [STOPPED]\n"))
        << narrow(stop.output);
    ASSERT_TRUE(wait_state(name, SERVICE_STOPPED));

    const std::wstring log = read_log(name);
    EXPECT_TRUE(contains(log, L"203.0.113.50")) << narrow(log);
    EXPECT_TRUE(contains(log, L"203.0.113.52")) << narrow(log);
    EXPECT_FALSE(contains(log, L"203.0.113.51")) << narrow(log);
    EXPECT_FALSE(contains(log, L"[STARTED]")) << "the monitor's callback was installed";
    EXPECT_TRUE(contains(log, L"(Quit)")) << narrow(log);

    create_key(event_source_key(name));
    ChildResult remove = run_sim(group + L":u");
    EXPECT_TRUE(contains(remove.output, L"] :: " + name + L" service [STOPPED]\n")) << narrow(remove.output);
    EXPECT_TRUE(contains(remove.output, L"] :: " + name + L" service was removed successfully!\n"))
        << narrow(remove.output);
    EXPECT_EQ(service_state(name), 0u);
    EXPECT_FALSE(key_exists(event_source_key(name)));
    EXPECT_FALSE(file_exists(log_file(name)));
}

// An interactive installation, twice: the second attempt finds the service and starts it.
TEST_F(ServiceScm, InteractiveInstallTwice)
{
    const std::wstring name = own_name(L"i");
    guard.names.push_back(name);
    ChildResult run = run_sim(L"-d:+" + name.substr(11) + L":Ii");
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_TRUE(contains(run.output, L"] :: " + name + L" service installed [INTERACTIVE]\n")) << narrow(run.output);
    EXPECT_TRUE(contains(run.output, L"] !! " + name + L" service already exists.\n")) << narrow(run.output);
    EXPECT_TRUE(contains(run.output, L"] !! " + name + L" service start [FAILED:1056]")) << narrow(run.output);
    EXPECT_EQ(read_value(services_key(name), L"Type").dword(), 0x110u);
    EXPECT_TRUE(wait_state(name, SERVICE_RUNNING));
}

// The test service, whose stop takes three seconds: an existing service is started by the
// installation; removal right after the stop finds it still running, yet deletes the
// event-source key and the log file; then it is removed; then it is missing.
TEST_F(ServiceScm, RemovalOfSlowStoppingStoppedAndMissingService)
{
    const std::wstring name = own_name(L"s");
    const std::wstring group = L"-d:+" + name.substr(11);
    guard.names.push_back(name);
    create_service(name, L"\"" + beside(L"testservice.exe") + L"\" " + name + L" 3000");

    ChildResult install = run_sim(group + L":i");
    EXPECT_TRUE(contains(install.output, L"] !! " + name + L" service already exists.\n")) << narrow(install.output);
    EXPECT_TRUE(contains(install.output, L"] :: " + name + L" service start [OK]\n")) << narrow(install.output);
    ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));

    // With console_pid set (as in a service attached to a console), control prints nothing.
    SetEnvironmentVariableW(L"TOSMIRE_TEST_SERVICE", name.c_str());
    ChildResult silent;
    ASSERT_TRUE(stopped_by(name, [&] { silent = run_scenario("silent"); }));
    EXPECT_EQ(silent.exit_code, 0u) << "the stop did not return STOP_PENDING";
    EXPECT_TRUE(contains(silent.output, L"] !! " + name + L" service start [FAILED:1056]|4|")) << narrow(silent.output);
    EXPECT_FALSE(contains(silent.output, L"[STOP")) << narrow(silent.output);
    ASSERT_EQ(start_service(name), 0u);
    ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));

    for (int round = 0; round < 3; ++round) {
        create_key(event_source_key(name));
        touch(log_file(name));
        ChildResult remove = run_sim(group + L":u");
        EXPECT_EQ(remove.exit_code, 1u);
        const std::wstring &out = remove.output;
        if (round == 0) {
            EXPECT_TRUE(contains(out, L"] :: " + name + L" service [STOP PENDING]\n")) << narrow(out);
            EXPECT_TRUE(contains(out, L"] !! " + name + L" is still running. Stop the service and try again!\n"))
                << narrow(out);
            EXPECT_TRUE(wait_state(name, SERVICE_STOPPED));
        } else if (round == 1) {
            EXPECT_TRUE(contains(out, L"] :: " + name + L" service [STOPPED]\n")) << narrow(out);
            EXPECT_TRUE(contains(out, L"] :: " + name + L" service was removed successfully!\n")) << narrow(out);
            EXPECT_EQ(service_state(name), 0u);
        } else {
            EXPECT_TRUE(contains(out, L"] !! service command [1]: failed to open " + name + L"! [1060]\n"))
                << narrow(out);
            EXPECT_TRUE(contains(out, L"] !! " + name + L" service was not found on the system! service remove [1060]\n"))
                << narrow(out);
        }
        EXPECT_FALSE(key_exists(event_source_key(name))) << round;
        EXPECT_FALSE(file_exists(log_file(name))) << round;
    }
}

// Session 0 without the two groups, with the service installed, but started from a console: the
// output goes to the log file as for a service, the dispatcher fails, and the program goes on
// as a console program (here into a Security log that cannot be opened: exit code 575).
TEST_F(ServiceScm, SessionZeroConsoleRunEndsAsConsoleProgram)
{
    const std::wstring name = own_name(L"c");
    guard.names.push_back(name);
    create_service(name, image_line(name));
    SetEnvironmentVariableW(L"TOSMIRE_SIM_IDENTITY", L"0:");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"5");
    ChildResult run = run_sim(L"-d:+" + name.substr(11), 90000);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_IDENTITY", nullptr);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 575u);
    EXPECT_EQ(run.output, L"") << "the output went to the log file";
    EXPECT_TRUE(contains(read_log(name), L"Audit")) << narrow(read_log(name));
    EXPECT_EQ(service_state(name), static_cast<DWORD>(SERVICE_STOPPED));
}

// Installing the default name creates the first configuration location: what the event-source
// key holds moves into it, except the event log's own values.
TEST_F(ServiceScm, DefaultInstallationCopiesEventSourceValues)
{
    const std::wstring name = L"tosmire.IPS";
    ASSERT_EQ(service_state(name), 0u) << "a service of the default name is installed already";
    ServiceGuard default_guard{{name}, false};
    const std::wstring source = event_source_key(name);
    const bool source_existed = key_exists(source);
    write_dword(source, L"tosmire_test_value", 77);
    ChildResult run = run_sim(L"-di", 60000);
    EXPECT_TRUE(contains(run.output, L"] :: tosmire.IPS service installed\n")) << narrow(run.output);
    const std::wstring parameters = services_key(name) + L"\\Parameters";
    EXPECT_EQ(read_value(parameters, L"tosmire_test_value").dword(), 77u);
    EXPECT_EQ(read_value(parameters, L"EventMessageFile").type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(read_value(parameters, L"_console_pid").dword(), 0u);
    wait_state(name, SERVICE_RUNNING);
    remove_service(name, false);
    // The service manager deletes the key once the ended service's last handle is gone.
    EXPECT_TRUE(wait_until([&] { return !key_exists(services_key(name)); }, 10000))
        << "the Parameters key outlived the service";
    // The removal deleted the event-source key; the program writes it again at its next start.
    if (source_existed && key_exists(source)) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, source.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"tosmire_test_value");
            RegCloseKey(key);
        }
    }
}

} // namespace

// Child: control with console_pid set, on the test service named in TOSMIRE_TEST_SERVICE.
int run_child_scenario(const std::string &scenario)
{
    if (scenario != "silent")
        return 2;
    static ServiceHost host = {};
    GetEnvironmentVariableW(L"TOSMIRE_TEST_SERVICE", host.name, 256);
    host.scm_handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    host.console_pid = 77;
    int started = service_control(host, 0);
    int stopped = service_control(host, SERVICE_CONTROL_STOP);
    wprintf(L"|%d|", started);
    (void)stopped;
    CloseServiceHandle(host.scm_handle);
    return stopped == SERVICE_STOP_PENDING ? 0 : 3;
}
