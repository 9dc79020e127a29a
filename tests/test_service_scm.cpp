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

// Session 0 with the groups of a remote administration shell: NETWORK, no INTERACTIVE.
constexpr wchar_t remote_shell_identity[] = L"0:S-1-1-0,S-1-5-32-544,S-1-5-2,S-1-5-11";

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
// Security log and blocking, pause, continue and reload reaching it, a restart while a block
// waits for a slow netsh, stop, a failed pause, removal.
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

    // Restart while the monitor waits for netsh: the old service reads STOPPED only once its
    // monitor has ended (the block's exit line and the quit line stand before the new start).
    set_service_hook(L"TOSMIRE_SIM_NETSH_HANG_MS", L"4000");
    ASSERT_EQ(append_failures(L"203.0.113.53", 21), 0u);
    ASSERT_TRUE(wait_until([&] { return contains(read_log(name), L"dstaddr=203.0.113.53"); }, 30000))
        << narrow(read_log(name));
    set_service_hook(L"TOSMIRE_SIM_NETSH_HANG_MS", nullptr);
    ChildResult restart = run_sim(group + L":r");
    EXPECT_TRUE(contains(restart.output, L"] :: " + name + L" service [STOP PENDING]\n")) << narrow(restart.output);
    EXPECT_TRUE(contains(restart.output, L"] :: " + name + L" service start [OK]\n")) << narrow(restart.output);
    EXPECT_FALSE(contains(restart.output, L"!!")) << narrow(restart.output);
    ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));
    ASSERT_TRUE(wait_until([&] { return count_of(read_log(name), L"Waiting for new events") == 2; }, 30000))
        << narrow(read_log(name));
    const std::wstring restarted = read_log(name);
    const size_t hung = restarted.find(L"dstaddr=203.0.113.53"), quit = restarted.find(L"(Quit)");
    EXPECT_LT(restarted.find(L"# exit:0", hung), quit) << narrow(restarted);
    EXPECT_LT(quit, restarted.rfind(L"Waiting for new events")) << narrow(restarted);

    ChildResult stop = run_sim(group + L":q");
    EXPECT_TRUE(contains(stop.output, L"] :: " + name + L" service [STOP PENDING]\n") ||
                contains(stop.output, L"] :: " + name + L" service [STOPPED]\n"))
        << narrow(stop.output);
    ASSERT_TRUE(wait_state(name, SERVICE_STOPPED));
    ChildResult pause_stopped = run_sim(group + L":P");
    EXPECT_TRUE(contains(pause_stopped.output, L"] !! " + name + L" service pause [FAILED:1062] ") &&
                pause_stopped.output.find(L"!! ") < pause_stopped.output.find(L"] :: " + name + L" service [STOPPED]\n"))
        << narrow(pause_stopped.output);

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

// The test service, whose stop takes six seconds while it promises a fifth of a second and
// never advances: an existing service is started by the installation; a removal while it stops
// gives up with its "!!" line and keeps the event-source key and the log file of the service
// that still runs; once stopped, it is removed; then it is missing.
TEST_F(ServiceScm, RemovalOfHungStoppingStoppedAndMissingService)
{
    const std::wstring name = own_name(L"s");
    const std::wstring group = L"-d:+" + name.substr(11);
    guard.names.push_back(name);
    create_service(name, L"\"" + beside(L"testservice.exe") + L"\" " + name + L" 6000 200");

    ChildResult install = run_sim(group + L":i");
    EXPECT_TRUE(contains(install.output, L"] !! " + name + L" service already exists.\n")) << narrow(install.output);
    EXPECT_TRUE(contains(install.output, L"] :: " + name + L" service start [OK]\n")) << narrow(install.output);
    ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));

    // With console_pid set (as in a service attached to a console), control prints nothing.
    SetEnvironmentVariableW(L"TOSMIRE_TEST_SERVICE", name.c_str());
    ChildResult silent = run_scenario("silent");
    EXPECT_EQ(silent.exit_code, 0u) << "the stop did not return STOP_PENDING";
    EXPECT_TRUE(contains(silent.output, L"] !! " + name + L" service start [FAILED:1056]|4|")) << narrow(silent.output);
    EXPECT_FALSE(contains(silent.output, L"[STOP")) << narrow(silent.output);

    for (int round = 0; round < 3; ++round) {
        create_key(event_source_key(name));
        touch(log_file(name));
        ChildResult remove = run_sim(group + L":u");
        EXPECT_EQ(remove.exit_code, 1u);
        const std::wstring &out = remove.output;
        if (round == 0) {
            EXPECT_TRUE(contains(out, L"] :: " + name + L" service [STOP PENDING]\n")) << narrow(out);
            EXPECT_TRUE(contains(out, L"] !! " + name + L" service did not stop within ")) << narrow(out);
            EXPECT_TRUE(contains(out, L"] !! " + name + L" is still running. Stop the service and try again!\n"))
                << narrow(out);
            EXPECT_TRUE(key_exists(event_source_key(name)) && file_exists(log_file(name)));
            EXPECT_TRUE(wait_state(name, SERVICE_STOPPED));
            continue;
        }
        if (round == 1) {
            EXPECT_TRUE(contains(out, L"] :: " + name + L" service [STOPPED]\n")) << narrow(out);
            EXPECT_FALSE(contains(out, L"!!")) << narrow(out);
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

// A remote shell's token (session 0, NETWORK, no INTERACTIVE) with the service installed but
// not started by the service manager in this process: a console program, whose output stays
// on its console (here into a Security log that cannot be opened: exit code 575).
TEST_F(ServiceScm, SessionZeroShellIsNoService)
{
    const std::wstring name = own_name(L"c");
    guard.names.push_back(name);
    create_service(name, image_line(name));
    SetEnvironmentVariableW(L"TOSMIRE_SIM_IDENTITY", remote_shell_identity);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"5");
    ChildResult run = run_sim(L"-d:+" + name.substr(11), 90000);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_IDENTITY", nullptr);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 575u);
    EXPECT_TRUE(contains(run.output, L"# Open Security log: FAILED 5\n")) << narrow(run.output);
    EXPECT_FALSE(file_exists(log_file(name)));
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
    ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));
    // A remote shell beside the running service runs its letters (help, exit code 1), on its
    // own output, instead of taking itself for the service.
    SetEnvironmentVariableW(L"TOSMIRE_SIM_IDENTITY", remote_shell_identity);
    ChildResult shell = run_sim(L"h", 30000);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_IDENTITY", nullptr);
    EXPECT_TRUE(shell.finished && shell.exit_code == 1u) << shell.exit_code << "\n" << narrow(shell.output);
    EXPECT_TRUE(contains(shell.output, L"List of commands")) << narrow(shell.output);
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
