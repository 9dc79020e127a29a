// The whole product as an administrator drives it on the simulated Windows: only the program's
// letters and words, sc, reg, evtlog (to write and read the logs), the simulated netsh's show
// commands and the log file. Each scenario starts from a fresh simulation folder and registry
// state, prints what it checks, and on failure shows the log file, the journals and the
// Application log. Exit codes are read here, in a Windows parent, so none is cut to 8 bits.
#include "tests/test_service_support.h"
#include <cstdio>

using namespace service_test;

namespace {

const std::wstring default_name = L"tosmire.IPS";

const DWORD suite_start = GetTickCount();

void say(const char *text)
{
    printf("    checks: %s [%lu s]\n", text, (GetTickCount() - suite_start) / 1000);
    fflush(stdout);
}

std::wstring program(const wchar_t *name) { return L"\"" + beside(name) + L"\""; }

// evtlog writes UTF-8; the harness hands it over one byte per character.
std::wstring from_utf8(const std::wstring &bytes)
{
    const std::string narrow_text(bytes.begin(), bytes.end());
    std::wstring text(narrow_text.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, narrow_text.data(),
                                                        static_cast<int>(narrow_text.size()), text.data(),
                                                        static_cast<int>(text.size()))));
    return text;
}

DWORD evtlog(const std::wstring &arguments)
{
    ChildResult run = run_redirected(program(L"evtlog.exe") + L" " + arguments);
    return run.finished ? run.exit_code : 0xFFFFFFFF;
}

// The Application log as Event Viewer shows it; empty lines dropped, so that a text spanning
// lines is found whatever the line ends of the message texts.
std::wstring application_log()
{
    std::wstring text = from_utf8(run_redirected(program(L"evtlog.exe") + L" render Application").output);
    std::erase(text, L'\r');
    for (size_t at = text.find(L"\n\n"); at != std::wstring::npos; at = text.find(L"\n\n", at))
        text.erase(at, 1);
    return text;
}

std::wstring netsh_show(const std::wstring &what)
{
    return run_redirected(sim_system_tool(L"netsh.exe") + L" ipsec static show " + what).output;
}

std::wstring brek() { return netsh_show(L"filterlist name=Brek level=verbose"); }

// Wine's sc: "sc query NAME"; its output and exit code.
ChildResult sc(const std::wstring &arguments) { return run_redirected(L"sc.exe " + arguments); }

bool sc_state(const std::wstring &name, const wchar_t *state)
{
    return wait_until([&] { return contains(sc(L"query " + name).output, state); }, 30000);
}

// A reg.exe command; its exit code.
DWORD reg(const std::wstring &arguments)
{
    ChildResult run = run_redirected(L"reg.exe " + arguments);
    return run.finished ? run.exit_code : 0xFFFFFFFF;
}

// Record numbers of the Security log's records from an address, in order.
std::vector<unsigned> records_from(const std::wstring &address)
{
    std::vector<unsigned> numbers;
    const std::wstring list = from_utf8(run_redirected(program(L"evtlog.exe") + L" list Security").output);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(L'\n', start);
        if (end == std::wstring::npos)
            end = list.size();
        const std::wstring line = list.substr(start, end - start);
        if (contains(line, L"|" + address + L"|") && contains(line, L"\t4625\t"))
            numbers.push_back(static_cast<unsigned>(wcstoul(line.c_str(), nullptr, 10)));
        start = end + 1;
    }
    return numbers;
}

// Each record is dumped before its decision: the decision text lies between the record's dump
// and the next dump. Returns the first record that breaks this, or 0.
unsigned decided_after_dump(const std::wstring &log, const std::vector<unsigned> &records,
                            const std::vector<std::wstring> &decisions)
{
    for (size_t i = 0; i < records.size() && i < decisions.size(); ++i) {
        wchar_t header[64];
        swprintf(header, 64, L"| RecordNumber %8u [", records[i]);
        const size_t dump = log.find(header);
        if (dump == std::wstring::npos)
            return records[i];
        size_t next = log.find(L"StringOffset ", dump);
        if (decisions[i].empty())
            continue; // held after a block: dumped, nothing decided
        const size_t decision = log.find(decisions[i], dump);
        if (decision == std::wstring::npos || (next != std::wstring::npos && decision > next))
            return records[i];
    }
    return 0;
}

std::wstring count_line(unsigned attempt, const wchar_t *user, const wchar_t *address)
{
    wchar_t line[160];
    swprintf(line, 160, L"%5u  User:WORKGROUP\\%ls, from IP:%ls", attempt, user, address);
    return line;
}

// A description of a block, up to the event time.
std::wstring logon_description(const wchar_t *address, const wchar_t *user, const wchar_t *type, unsigned attempts)
{
    return std::wstring(L"Description            : ") + address + L" WORKGROUP\\" + user + L"\n Logon Type:" + type +
           L", Authentication:NTLM,\n Logon Attempts:" + std::to_wstring(attempts) + L", Time:";
}

std::wstring config_key() { return L"HKLM\\" + event_source_key(default_name); }

// The configuration of the default name, in both places, as a fresh machine has it (none).
void forget_configuration()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, event_source_key(default_name).c_str());
    if (service_state(default_name) == 0)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (services_key(default_name) + L"\\Parameters").c_str());
}

struct Acceptance : ::testing::Test {
    ServiceSimFolder folder;
    std::vector<std::wstring> services; // removed however the scenario ends
    std::wstring console_output;        // the console scenario's output file

    void SetUp() override
    {
        ASSERT_EQ(service_state(default_name), 0u) << "a service of the default name is installed already";
        forget_configuration();
        ASSERT_EQ(evtlog(L"register-messages"), 0u);
        // The monitor starts after the newest record.
        ASSERT_EQ(evtlog(L"4624 --address 192.0.2.1 --user operator"), 0u);
    }

    void TearDown() override
    {
        if (HasFailure()) {
            for (const std::wstring &name : services)
                printf("---- log file %s\n%s\n", narrow(log_file(name)).c_str(), narrow(read_log(name)).c_str());
            if (!console_output.empty())
                printf("---- console output\n%s\n", narrow(read_output_file(console_output)).c_str());
            printf("---- netsh.log\n%s\n", narrow(read_output_file(folder.file(L"netsh.log"))).c_str());
            printf("---- auditpol.log\n%s\n", narrow(read_output_file(folder.file(L"auditpol.log"))).c_str());
            printf("---- Application log\n%s\n", narrow(application_log()).c_str());
        }
        for (const std::wstring &name : services)
            remove_service(name);
        if (!services.empty())
            wait_until([&] { return !key_exists(services_key(default_name)); }, 10000);
        evtlog(L"unregister-messages");
        forget_configuration();
    }

    // A service of its own name for this scenario: "-d:+.<suffix>" and the full name.
    std::wstring own(const wchar_t *letter, std::wstring &group)
    {
        const std::wstring name = own_name(letter);
        group = L"-d:+" + name.substr(default_name.size());
        services.push_back(name);
        return name;
    }

    // Installs and starts the service of the group; waits until it follows the Security log.
    void install(const std::wstring &name, const std::wstring &group)
    {
        ChildResult run = run_sim(group + L" install");
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.exit_code, 1u) << narrow(run.output);
        ASSERT_TRUE(sc_state(name, L"RUNNING")) << narrow(sc(L"query " + name).output);
        ASSERT_TRUE(waiting(name)) << narrow(read_log(name));
    }

    bool waiting(const std::wstring &name, size_t times = 1)
    {
        return wait_until([&] { return count_of(read_log(name), L"# Waiting for new events") >= times; }, 30000);
    }

    bool logged(const std::wstring &name, const std::wstring &text)
    {
        return wait_until([&] { return contains(read_log(name), text); }, 30000);
    }

    // Whether the netsh runs of that many blocks have ended: each prints "# exit:" at its end.
    bool netsh_ended(const std::wstring &name, size_t blocks)
    {
        return wait_until([&] { return count_of(read_log(name), L"# exit:") >= blocks; }, 30000);
    }

    DWORD failures(const wchar_t *address, const wchar_t *user, int count, const wchar_t *type = L"3")
    {
        return evtlog(std::wstring(L"4625 --address ") + address + L" --user " + user + L" --logon-type " + type +
                      L" --count " + std::to_wstring(count));
    }
};

// "WAis": policy written and assigned, service installed with its properties and running,
// its log file and the RUNNING report.
TEST_F(Acceptance, InstallAndProtect)
{
    services.push_back(default_name);
    say("WAis ends with exit code 1");
    ChildResult run = run_sim(L"WAis", 90000);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 1u) << narrow(run.output);

    say("the store holds the policy, assigned, with its rule, action and an empty Brek");
    const std::wstring policy = netsh_show(L"policy name=all level=verbose");
    EXPECT_TRUE(contains(policy, L"Policy Name            : block+ESP\nDescription            : Brek default policy"))
        << narrow(policy);
    EXPECT_TRUE(contains(policy, L"Assigned               : YES")) << narrow(policy);
    EXPECT_TRUE(contains(policy, L"Rule Name              : Brek")) << narrow(policy);
    const std::wstring rule = netsh_show(L"rule name=Brek policy=block+ESP level=verbose");
    EXPECT_TRUE(contains(rule, L"FilterList Name        : Brek")) << narrow(rule);
    EXPECT_TRUE(contains(rule, L"No. of Filters         : 0")) << narrow(rule);
    EXPECT_TRUE(contains(rule, L"FilterAction Name      : block")) << narrow(rule);
    EXPECT_TRUE(contains(rule, L"Action                 : BLOCK")) << narrow(rule);
    EXPECT_FALSE(contains(rule, L"6.6.6.6")) << narrow(rule);

    say("the service's properties as installed, and sc query says RUNNING");
    expect_installed(default_name);
    EXPECT_TRUE(sc_state(default_name, L"RUNNING")) << narrow(sc(L"query " + default_name).output);

    say("the log file shows the banner and the start-up lines");
    ASSERT_TRUE(waiting(default_name)) << narrow(read_log(default_name));
    const std::wstring log = read_log(default_name);
    EXPECT_TRUE(contains(log, L"###  tosmire's Intrusion Prevention System")) << narrow(log);
    EXPECT_TRUE(contains(log, L"# Open Security log: OK\n")) << narrow(log);
    EXPECT_TRUE(contains(log, L"# Open RDP      log: OK\n")) << narrow(log);
    EXPECT_FALSE(contains(log, L"List of commands:")) << "a service into its log file prints no key list";

    say("the Application log holds the RUNNING report");
    EXPECT_TRUE(contains(application_log(), L"tosmire.IPS [RUNNING]")) << narrow(application_log());
}

// One network attacker past its threshold, others below theirs, whitelisted address and user,
// Remote Desktop: one filter per attacker, the reports, each record dumped before its decision.
TEST_F(Acceptance, Attack)
{
    std::wstring group;
    const std::wstring name = own(L"a", group);
    ASSERT_NO_FATAL_FAILURE(install(name, group));

    say("a burst: 203.0.113.66 past 21 network failures, clear-text failures of three others below 4,");
    say("the whitelisted address 10.213.47.5 (25) and user ips.ops (30), Remote Desktop from 192.0.2.7 (4)");
    say("and from 127.0.0.1 (5, whitelisted)");
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(failures(L"203.0.113.66", L"scanner", 8), 0u);
        ASSERT_EQ(failures((L"198.51.100." + std::to_wstring(round + 1)).c_str(), (L"user" + std::to_wstring(round)).c_str(),
                           3, L"8"),
                  0u);
        ASSERT_EQ(evtlog(L"140 --address 192.0.2.7"), 0u);
        ASSERT_EQ(evtlog(L"140 --address 127.0.0.1"), 0u);
    }
    ASSERT_EQ(evtlog(L"140 --address 192.0.2.7"), 0u);
    ASSERT_EQ(evtlog(L"140 --address 127.0.0.1 --count 2"), 0u);
    ASSERT_EQ(failures(L"10.213.47.5", L"scanner", 25), 0u);
    ASSERT_EQ(failures(L"198.51.100.20", L"ips.ops", 30), 0u);
    ASSERT_TRUE(logged(name, count_line(30, L"ips.ops", L"198.51.100.20"))) << narrow(read_log(name));
    ASSERT_TRUE(netsh_ended(name, 2)) << narrow(read_log(name));

    say("exactly one filter per attacker in Brek, with the block's description");
    const std::wstring list = brek();
    EXPECT_TRUE(contains(list, L"No. of Filters         : 2\n")) << narrow(list);
    EXPECT_TRUE(contains(list, logon_description(L"203.0.113.66", L"scanner", L"3", 21))) << narrow(list);
    EXPECT_TRUE(contains(list, L"Description            : 192.0.2.7\n Logon Attempts:4, Time:")) << narrow(list);
    for (const wchar_t *spared : {L"198.51.100.", L"10.213.47.5", L"127.0.0.1"})
        EXPECT_FALSE(contains(list, spared)) << narrow(spared);

    say("the reports, as the Application log renders them");
    const std::wstring app = application_log();
    EXPECT_EQ(count_of(app, L"!! Host address blocked via IPSec blacklist filter:Brek.\nUser:WORKGROUP\\scanner, "
                            L"from IP:203.0.113.66\nLogon attempts:21, Logon Type:3, Authentication:NTLM"),
              1u)
        << narrow(app);
    EXPECT_EQ(count_of(app, L"!! Potential attack detected."), 20u + 9u) << "20 of the attacker, 9 clear-text";
    EXPECT_EQ(count_of(app, L"The user name is on the white list:\nUser:WORKGROUP\\ips.ops, from IP:198.51.100.20"), 30u);
    EXPECT_TRUE(contains(app, L"IP:192.0.2.7")) << narrow(app);
    EXPECT_FALSE(contains(app, L"10.213.47.5")) << "nothing reported for the whitelisted address";
    EXPECT_FALSE(contains(app, L"127.0.0.1")) << "nothing reported for the whitelisted address";

    say("every accepted record dumped before its decision in the log file; nothing decided for 10.213.47.5");
    const std::wstring log = read_log(name);
    std::vector<std::wstring> attacker;
    for (unsigned attempt = 1; attempt <= 24; ++attempt)
        attacker.push_back(attempt < 21    ? count_line(attempt, L"scanner", L"203.0.113.66")
                           : attempt == 21 ? L"# ADD TO BLACKLIST:\n"
                                           : L"");
    const std::vector<unsigned> attacker_records = records_from(L"203.0.113.66");
    EXPECT_EQ(attacker_records.size(), 24u);
    EXPECT_EQ(decided_after_dump(log, attacker_records, attacker), 0u) << narrow(log);
    std::vector<std::wstring> spared(25, L" [WHITELIST IP]");
    EXPECT_EQ(decided_after_dump(log, records_from(L"10.213.47.5"), spared), 0u) << narrow(log);
    EXPECT_FALSE(contains(log, L"ADD TO BLACKLIST:10.213.47.5")) << narrow(log);
    EXPECT_EQ(count_of(log, L"# ADD TO BLACKLIST:"), 2u) << narrow(log);
    EXPECT_EQ(count_of(log, L"  [WHITELIST IP]\n"), 5u) << "Remote Desktop from 127.0.0.1";
}

// Pause, continue and reload by the service's words: failures during the pause leave no
// trace, counting goes on across it; a threshold lowered with reg takes effect by itself and the
// reload says what is in force.
TEST_F(Acceptance, PauseContinueReload)
{
    std::wstring group;
    const std::wstring name = own(L"p", group);
    ASSERT_NO_FATAL_FAILURE(install(name, group));
    ASSERT_EQ(failures(L"203.0.113.71", L"scanner", 10), 0u);
    ASSERT_TRUE(logged(name, count_line(10, L"scanner", L"203.0.113.71"))) << narrow(read_log(name));

    say("pause prints [PAUSED]; failures meanwhile leave no trace");
    ChildResult pause = run_sim(group + L" pause");
    EXPECT_EQ(pause.exit_code, 1u);
    EXPECT_TRUE(contains(pause.output, L"] :: " + name + L" service [PAUSED]\n")) << narrow(pause.output);
    EXPECT_TRUE(sc_state(name, L"PAUSED")) << narrow(sc(L"query " + name).output);
    ASSERT_EQ(failures(L"203.0.113.71", L"scanner", 15), 0u);
    ASSERT_EQ(failures(L"203.0.113.72", L"paused", 25), 0u);
    Sleep(3000); // the loop reads and drops them at once; the time is for a loaded machine

    say("reg add lowers the threshold to 15 while the service is paused; the log file says so");
    ASSERT_EQ(reg(L"add " + config_key() + L" /v max_logon_count_normal_net /t REG_DWORD /d 15 /f"), 0u);
    const std::wstring reloaded = L"# Configuration reloaded: 18 addresses, 6 user names, thresholds 15/4/4 49/11/11\n";
    ASSERT_TRUE(logged(name, reloaded)) << narrow(read_log(name));

    say("continue prints [RUNNING]; reload prints its state line");
    ChildResult resume = run_sim(group + L" continue reload");
    EXPECT_EQ(resume.exit_code, 1u);
    EXPECT_EQ(count_of(resume.output, L"] :: " + name + L" service [RUNNING]\n"), 2u) << narrow(resume.output);
    EXPECT_TRUE(sc_state(name, L"RUNNING"));

    say("counting goes on: 10 before the pause and 5 after reach the new threshold of 15");
    ASSERT_EQ(failures(L"203.0.113.71", L"scanner", 5), 0u);
    ASSERT_TRUE(netsh_ended(name, 1)) << narrow(read_log(name));
    const std::wstring list = brek();
    EXPECT_TRUE(contains(list, logon_description(L"203.0.113.71", L"scanner", L"3", 15))) << narrow(list);
    EXPECT_FALSE(contains(list, L"203.0.113.72")) << narrow(list);
    const std::wstring log = read_log(name);
    EXPECT_FALSE(contains(log, L"203.0.113.72")) << narrow(log);
    EXPECT_TRUE(contains(log, count_line(14, L"scanner", L"203.0.113.71"))) << narrow(log);
    EXPECT_FALSE(contains(log, count_line(15, L"scanner", L"203.0.113.71"))) << narrow(log);
    EXPECT_EQ(count_of(log, reloaded), 2u) << "the edit, then the reload" << narrow(log);

    say("the notices in the log file and the PAUSED and RUNNING reports");
    EXPECT_TRUE(contains(log, L"# {paused} ")) << narrow(log);
    EXPECT_TRUE(contains(log, L"# {resumed} #\n")) << narrow(log);
    const std::wstring app = application_log();
    EXPECT_EQ(count_of(app, L"tosmire.IPS [PAUSED]"), 1u) << narrow(app);
    EXPECT_EQ(count_of(app, L"tosmire.IPS [RUNNING]"), 2u) << "start and continue";
    EXPECT_EQ(count_of(app, L"tosmire.IPS [CONFIGURATION RELOADED]"), 2u) << narrow(app);
}

// The Security log cleared in the middle of an attack: blocked at the threshold, counting both
// halves; the cleared-log line and the start-up again.
TEST_F(Acceptance, LogClearedMidAttack)
{
    std::wstring group;
    const std::wstring name = own(L"c", group);
    ASSERT_NO_FATAL_FAILURE(install(name, group));

    say("10 failures, evtlog clear Security, 11 more: blocked at 21");
    ASSERT_EQ(failures(L"203.0.113.80", L"scanner", 10), 0u);
    ASSERT_TRUE(logged(name, count_line(10, L"scanner", L"203.0.113.80"))) << narrow(read_log(name));
    ASSERT_EQ(evtlog(L"clear Security"), 0u);
    ASSERT_TRUE(logged(name, L"# The audit log was cleared.\n")) << narrow(read_log(name));
    ASSERT_TRUE(logged(name, L"waiting for new events...[")) << narrow(read_log(name)); // follows the new log
    ASSERT_EQ(failures(L"203.0.113.80", L"scanner", 11), 0u);
    ASSERT_TRUE(netsh_ended(name, 1)) << narrow(read_log(name));
    const std::wstring list = brek();
    EXPECT_TRUE(contains(list, logon_description(L"203.0.113.80", L"scanner", L"3", 21))) << narrow(list);
    EXPECT_TRUE(contains(list, L"No. of Filters         : 1\n")) << narrow(list);

    say("the log file shows the cleared-log line and the start-up once more");
    const std::wstring log = read_log(name);
    const size_t cleared = log.find(L"# The audit log was cleared.\n");
    EXPECT_NE(log.find(L"# Open Security log: OK", cleared), std::wstring::npos) << narrow(log);
    EXPECT_NE(log.find(L"waiting for new events...[", cleared), std::wstring::npos) << narrow(log);
    EXPECT_NE(log.find(count_line(11, L"scanner", L"203.0.113.80"), cleared), std::wstring::npos) << narrow(log);
}

// Whitelist and threshold set with reg before the installation: the installed service moves
// them into its Parameters key and uses them.
TEST_F(Acceptance, ConfigurationBeforeInstallation)
{
    services.push_back(default_name);
    say("reg add: whitelist_IP 203.0.113.90 and 127.0.0.1, max_logon_count_normal_net 5");
    ASSERT_EQ(reg(L"add " + config_key() + L" /v whitelist_IP /t REG_MULTI_SZ /d 203.0.113.90\\0127.0.0.1 /f"), 0u);
    ASSERT_EQ(reg(L"add " + config_key() + L" /v max_logon_count_normal_net /t REG_DWORD /d 5 /f"), 0u);

    say("-di installs and starts tosmire.IPS; its Parameters key holds the values");
    ChildResult run = run_sim(L"-di", 90000);
    EXPECT_EQ(run.exit_code, 1u) << narrow(run.output);
    ASSERT_TRUE(sc_state(default_name, L"RUNNING"));
    ASSERT_TRUE(waiting(default_name)) << narrow(read_log(default_name));
    const std::wstring parameters = services_key(default_name) + L"\\Parameters";
    EXPECT_EQ(read_value(parameters, L"max_logon_count_normal_net").dword(), 5u);
    EXPECT_EQ(read_value(parameters, L"whitelist_IP").text(), std::wstring(L"203.0.113.90") + L'\0' + L"127.0.0.1" + L'\0' + L'\0');

    say("the service blocks at 5, and never the whitelisted address");
    ASSERT_EQ(failures(L"203.0.113.90", L"scanner", 8), 0u);
    ASSERT_EQ(failures(L"203.0.113.91", L"scanner", 5), 0u);
    ASSERT_TRUE(netsh_ended(default_name, 1)) << narrow(read_log(default_name));
    const std::wstring list = brek();
    EXPECT_TRUE(contains(list, logon_description(L"203.0.113.91", L"scanner", L"3", 5))) << narrow(list);
    EXPECT_TRUE(contains(list, L"No. of Filters         : 1\n")) << narrow(list);
    EXPECT_EQ(count_of(read_log(default_name), L" [WHITELIST IP]\n"), 8u) << narrow(read_log(default_name));
}

// -dq, then STOPPED; -du removes the service, its event-source key and its log file; E leaves
// no rule, list or action.
TEST_F(Acceptance, StopAndUninstall)
{
    services.push_back(default_name);
    ChildResult install = run_sim(L"-di", 90000);
    EXPECT_EQ(install.exit_code, 1u) << narrow(install.output);
    ASSERT_TRUE(sc_state(default_name, L"RUNNING"));
    ASSERT_TRUE(waiting(default_name)) << narrow(read_log(default_name));

    say("-dq stops it: sc query says STOPPED, the log file ends with the quit line");
    ChildResult stop = run_sim(L"-dq");
    EXPECT_EQ(stop.exit_code, 1u);
    EXPECT_TRUE(contains(stop.output, L"] :: tosmire.IPS service [STOP PENDING]\n") ||
                contains(stop.output, L"] :: tosmire.IPS service [STOPPED]\n"))
        << narrow(stop.output);
    EXPECT_TRUE(sc_state(default_name, L"STOPPED")) << narrow(sc(L"query " + default_name).output);
    EXPECT_TRUE(logged(default_name, L"# (Quit) ####")) << narrow(read_log(default_name));
    say("the STOPPED report");
    EXPECT_TRUE(contains(application_log(), L"tosmire.IPS [STOPPED]")) << narrow(application_log());

    say("-du removes it: opening fails with 1060, sc query prints nothing and exits with 1,");
    say("the event-source key and the log file are gone");
    ASSERT_TRUE(key_exists(event_source_key(default_name)));
    ChildResult remove = run_sim(L"-du");
    EXPECT_EQ(remove.exit_code, 1u);
    EXPECT_TRUE(contains(remove.output, L"] :: tosmire.IPS service was removed successfully!\n"))
        << narrow(remove.output);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, default_name.c_str(), SERVICE_QUERY_STATUS);
    const DWORD error = GetLastError();
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ChildResult query;
    wait_until([&] { return (query = sc(L"query " + default_name)).exit_code == 1; }, 10000);
    EXPECT_EQ(query.exit_code, 1u);
    EXPECT_EQ(query.output, L"");
    EXPECT_FALSE(key_exists(event_source_key(default_name)));
    EXPECT_FALSE(file_exists(log_file(default_name)));

    say("W, then E: no rule, filter list or filter action is left; the policy stays, unassigned");
    EXPECT_EQ(run_sim(L"WA").exit_code, 1u);
    EXPECT_EQ(run_sim(L"E").exit_code, 1u);
    const std::wstring rules = netsh_show(L"rule name=all policy=block+ESP");
    EXPECT_FALSE(contains(rules, L"Rule Name")) << narrow(rules);
    EXPECT_FALSE(contains(netsh_show(L"filterlist name=all"), L"FilterList Name"));
    EXPECT_FALSE(contains(netsh_show(L"filteraction name=all"), L"FilterAction Name"));
    const std::wstring policy = netsh_show(L"policy name=all");
    EXPECT_TRUE(contains(policy, L"block+ESP")) << narrow(policy);
    EXPECT_TRUE(contains(policy, L"Assigned               : NO")) << narrow(policy);
}

// Keys typed into the console of the monitor started as a console program, which shares this
// program's console (a pseudo-terminal).
struct ConsoleMonitor {
    HANDLE process = nullptr;
    HANDLE input = INVALID_HANDLE_VALUE;

    bool start(const std::wstring &output)
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                            OPEN_EXISTING, 0, nullptr);
        HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 CREATE_ALWAYS, 0, nullptr);
        if (input == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE)
            return false;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = startup.hStdError = out;
        PROCESS_INFORMATION info = {};
        std::wstring line = L"\"" + sim_program() + L"\"";
        const bool started =
            CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info) != 0;
        CloseHandle(out);
        if (!started)
            return false;
        CloseHandle(info.hThread);
        process = info.hProcess;
        return true;
    }

    bool key(WORD virtual_key, wchar_t character)
    {
        INPUT_RECORD records[2] = {};
        for (INPUT_RECORD &record : records) {
            record.EventType = KEY_EVENT;
            record.Event.KeyEvent.wRepeatCount = 1;
            record.Event.KeyEvent.wVirtualKeyCode = virtual_key;
            record.Event.KeyEvent.uChar.UnicodeChar = character;
        }
        records[0].Event.KeyEvent.bKeyDown = TRUE;
        DWORD written = 0;
        return WriteConsoleInputW(input, records, 2, &written) != 0;
    }

    // Types the key until its answer shows once more, then waits for the answer's last line. The
    // key console drops keys that arrive while it still handles one: the next key comes only
    // after the whole answer, and one dropped in the moment before the drop is typed again
    // after 10 seconds without an answer, which a key that acted never takes.
    bool press(const std::wstring &output, WORD virtual_key, wchar_t character, const std::wstring &answer,
               const std::wstring &last)
    {
        auto count = [&](const std::wstring &text) { return count_of(read_output_file(output), text); };
        const size_t answers = count(answer), lasts = count(last);
        bool answered = false;
        for (int attempt = 0; attempt < 3 && !answered; ++attempt)
            answered = key(virtual_key, character) && wait_until([&] { return count(answer) > answers; }, 10000);
        return answered && wait_until([&] { return count(last) > lasts; }, 30000);
    }

    ~ConsoleMonitor()
    {
        if (process != nullptr) {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
            }
            CloseHandle(process);
        }
        if (input != INVALID_HANDLE_VALUE)
            CloseHandle(input);
    }
};

TEST_F(Acceptance, OperatorAtTheConsole)
{
    ASSERT_NE(GetConsoleWindow(), nullptr) << "no console: this scenario runs under a pseudo-terminal";
    console_output = folder.file(L"console.txt");
    ConsoleMonitor monitor;
    ASSERT_TRUE(monitor.start(console_output)) << GetLastError();
    auto shown = [&](const std::wstring &text) {
        return wait_until([&] { return contains(read_output_file(console_output), text); }, 30000);
    };
    ASSERT_TRUE(shown(L"# Waiting for new events"));

    say("the attack: 203.0.113.66 blocked at 21, 198.51.100.1 at 2 clear-text failures");
    ASSERT_EQ(failures(L"203.0.113.66", L"scanner", 21), 0u);
    ASSERT_EQ(failures(L"198.51.100.1", L"user1", 2, L"8"), 0u);
    ASSERT_TRUE(shown(count_line(2, L"user1", L"198.51.100.1")));

    const wchar_t *const help = L"Install as a service, create and activate IPsec policy for blocked hosts:";
    const struct {
        const char *checks;
        WORD vk;
        wchar_t ch;
        const wchar_t *answer, *last; // the answer's first and last lines
    } keys[] = {
        {"l: the history, with the blocked address and the counted one", 0x4C, L'l', L"# Logon failure history:",
         L"[   2] 198.51.100.1\n"},
        {"p, p: the pause and resume notices", 0x50, L'p', L"{paused} ", L"{paused} "},
        {nullptr, 0x50, L'p', L"{resumed}", L"{resumed}"},
        {"b: the blocked hosts", 0x42, L'b', L"# netsh ipsec static show filterlist name=Brek level=verbose",
         L"Destination Port"},
        {"~ then h: the debug console with the full help, twice; Esc leaves it, Esc quits", 0xC0, L'~',
         L"# ~ debug console enabled. Press F1, h or ? for help.", L"Log file path:"},
        {nullptr, 0x48, L'h', help, L"Log file path:"},
        {nullptr, 0x1B, 0x1B, L"#   debug console disabled.", L"#   debug console disabled."},
        {nullptr, 0x1B, 0x1B, L"# Exitting... ", L"(Quit)"},
    };
    for (const auto &k : keys) {
        if (k.checks != nullptr)
            say(k.checks);
        ASSERT_TRUE(monitor.press(console_output, k.vk, k.ch, k.answer, k.last)) << narrow(k.answer);
    }
    const std::wstring typed = read_output_file(console_output);
    EXPECT_TRUE(contains(typed, L"[4294967295] 203.0.113.66\n")) << narrow(typed);
    EXPECT_TRUE(contains(typed, L"203.0.113.66 WORKGROUP\\scanner")) << narrow(typed);
    EXPECT_EQ(count_of(typed, help), 2u) << narrow(typed);
    ASSERT_EQ(WaitForSingleObject(monitor.process, 30000), WAIT_OBJECT_0);
    DWORD exit_code = 0xFFFFFFFF;
    GetExitCodeProcess(monitor.process, &exit_code);
    EXPECT_EQ(exit_code, 0u);
    EXPECT_EQ(count_of(brek(), L"Destination IP Address : 203.0.113.66"), 1u);
}

} // namespace

int run_child_scenario(const std::string &)
{
    return 2;
}
