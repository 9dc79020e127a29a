// The simulated netsh: argument splitting as on Windows, the store's rules, failures, the
// forced exit code, concurrent processes and exact journals. (auditpol's answer and journal are
// checked by the monitor start-up tests.)
#include "tests/netsh_view.h"
#include <algorithm>
#include <cstdio>

namespace {

ChildResult netsh(const std::wstring &arguments)
{
    return run_redirected(sim_system_tool(L"netsh.exe") + L" " + arguments);
}

// A failed logon's block command, as the block decision formats it.
const std::wstring details = L"\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:5, Time:2024-05-01  PM 01:02:03";
std::wstring block_command(const std::wstring &user)
{
    return L"ipsec static add filter filterlist=Brek srcaddr=me dstaddr=1.2.3.4 description=\"1.2.3.4 DOM\\" + user +
           details + L"\" protocol=ANY mirrored=Yes";
}

// A quote in a user name closes the description early and what follows is refused as a second
// dstaddr; an escaped one stays inside. The first filter creates the missing list.
TEST(NetshSim, ArgumentsSplitAsOnWindowsAndVerboseShowListsEveryFilter)
{
    SimFolder folder;
    ChildResult injected = netsh(block_command(L"u\" dstaddr=9.9.9.9 x"));
    EXPECT_EQ(injected.exit_code, 1u);
    EXPECT_NE(injected.output.find(L"\"dstaddr\""), std::wstring::npos) << injected.output;
    for (const std::wstring &arguments :
         {block_command(L"u\\\" dstaddr=9.9.9.9 x"),
          std::wstring(L"IPSEC Static ADD FILTER FilterList=Brek SRCADDR=me dstaddr=5.6.7.8 "
                       L"description=\"a \\\"quoted\\\" back\\slash\" protocol=tcp mirrored=No srcport=80"),
          std::wstring(L"ipsec static add filter filterlist=Brek srcaddr=any dstaddr=fe80::1 "
                       L"\"description=x\"\"y\" protocol=17 dstmask=24")})
        EXPECT_EQ(netsh(arguments).exit_code, 0u) << arguments;
    EXPECT_EQ(store_text(folder), L"filterlist Brek|\n"
                                  L"filter Brek|me|1.2.3.4|1.2.3.4 DOM\\u\" dstaddr=9.9.9.9 x" + details +
                                      L"|ANY|yes||||\n"
                                      L"filter Brek|me|5.6.7.8|a \"quoted\" back\\slash|TCP|no|||80|\n"
                                      L"filter Brek|any|fe80::1|x\"y|17|yes||24||\n");
    ChildResult show = netsh(L"ipsec static show filterlist name=Brek level=verbose");
    EXPECT_EQ(show.exit_code, 0u);
    for (const std::wstring &piece : std::vector<std::wstring>{
             L"No. of Filters         : 3\n", L"Source IP Address      : <My IP Address>\n",
             L"Description            : 1.2.3.4 DOM\\u\" dstaddr=9.9.9.9 x" + details + L"\n",
             L"Destination IP Address : 5.6.7.8\n", L"Description            : x\"y\n"})
        EXPECT_NE(show.output.find(piece), std::wstring::npos) << piece << show.output;
}

// Run in order against one store: what fails prints why, changes nothing and exits with 1;
// what succeeds prints nothing. A rule needs a filter in its list; a list or action used by
// a rule cannot be deleted, the last filter of a used list can. The forced exit code replaces
// the real one but the command still acts. Every command line reaches the journal exactly,
// control characters escaped so that each entry is one line.
TEST(NetshSim, FailuresRulesOfTheStoreAndTheJournal)
{
    SimFolder folder;
    const std::pair<const wchar_t *, DWORD> commands[] = {
        {L"ipsec static delete filter filterlist=Brek srcaddr=me dstaddr=1.1.1.1", 1},
        {L"ipsec static delete rule name=Brek policy=block+ESP", 1},
        {L"ipsec static delete filterlist name=Brek", 1},
        {L"ipsec static set policy name=block+ESP assign=yes", 1},
        {L"ipsec static show filterlist name=Brek level=verbose", 1},
        {L"ipsec static add filter filterlist=Brek srcaddr=me", 1},
        {L"ipsec static add filter filterlist=Brek srcaddr=me dstaddr=1.2.3.999", 1},
        {L"ipsec static frobnicate all", 1},
        {L"ipsec static add filterlist Brek x y", 1},
        {L"ipsec static add policy name=P", 0},
        {L"ipsec static add filteraction name=A action=block", 0},
        {L"ipsec static add filterlist L", 0},
        {L"ipsec static add rule name=R policy=P filterlist=L filteraction=A", 1},
        {L"ipsec static add filter filterlist=L srcaddr=me dstaddr=6.6.6.6", 0},
        {L"ipsec static add rule name=R policy=P filterlist=L filteraction=A", 0},
        {L"ipsec static delete filter filterlist=L srcaddr=me dstaddr=6.6.6.6", 0},
        {L"ipsec static delete filterlist name=L", 1},
        {L"ipsec static delete filteraction name=A", 1},
    };
    for (const auto &[command, exit_code] : commands) {
        ChildResult r = netsh(command);
        EXPECT_TRUE(r.finished && r.exit_code == exit_code && r.output.empty() == (exit_code == 0))
            << command << " -> " << r.exit_code << ": " << r.output;
    }
    EXPECT_EQ(netsh(L"ipsec static frobnicate all").output,
              L"The following command was not found: ipsec static frobnicate all.\n");
    const std::wstring line = sim_system_tool(L"netsh.exe") +
                              L" ipsec static add filterlist X description=\"x\ty\r\n\\ \u00e9 \U0001F600 \x01\"";
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", L"7");
    EXPECT_EQ(run_redirected(line).exit_code, 7u);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", nullptr);
    EXPECT_EQ(store_text(folder), L"policy P||unassigned\nfilteraction A||block\nfilterlist L|\n"
                                  L"filterlist X|x\ty\r\n\\ \u00e9 \U0001F600 \x01\nrule R|P|L|A\n");

    std::vector<JournalEntry> entries = journal(folder);
    ASSERT_EQ(entries.size(), std::size(commands) + 2);
    for (size_t i = 0; i < std::size(commands); ++i)
        EXPECT_EQ(entries[i].exit_code, commands[i].second) << commands[i].first;
    EXPECT_EQ(entries.back().cmdline, line);
    EXPECT_EQ(entries.back().exit_code, 7u);
    FILE *file = _wfopen(folder.file(L"netsh.log").c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    static char raw[16384];
    std::string text(raw, fread(raw, 1, sizeof(raw), file));
    fclose(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<std::ptrdiff_t>(entries.size()));
    EXPECT_EQ(text.find_first_of("\r\t\x01"), std::string::npos) << text;
}

TEST(NetshSim, ConcurrentProcessesLoseNoChange)
{
    SimFolder folder;
    HANDLE processes[6] = {};
    for (int i = 0; i < 6; ++i) {
        std::wstring line = sim_system_tool(L"netsh.exe") +
                            L" ipsec static add filter filterlist=Brek srcaddr=me dstaddr=10.0.0." + std::to_wstring(i + 1);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process));
        CloseHandle(process.hThread);
        processes[i] = process.hProcess;
    }
    EXPECT_EQ(WaitForMultipleObjects(6, processes, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE process : processes)
        CloseHandle(process);
    std::wstring text = store_text(folder); // the list and six filters
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 7) << text;
    EXPECT_EQ(journal(folder).size(), 6u);
}

// Script files as one netsh run takes them: "set store" switches the store for the rest of that
// run only, each domain keeps a store of its own, every command is journalled and the run exits
// with the first failure. A quote left open ends with its line; a line or file over the limits
// is refused before anything runs. UTF-16 (with its mark) and ANSI files read alike.
TEST(NetshSim, ScriptFilesSwitchToDomainStoresForTheirRunOnly)
{
    SimFolder folder;
    const std::wstring add = L"ipsec static add filter filterlist=Brek srcaddr=me dstaddr=";
    const std::wstring first = add + L"203.0.113.9 description=\"on RDS07 \u00e9\" protocol=ANY mirrored=Yes";
    const std::wstring to_corp = L"ipsec static set store location=domain domain=corp.example";
    const struct {
        std::wstring script;
        bool utf16;
        const wchar_t *machine_domain;
        DWORD exit_code;
        size_t commands;
        const wchar_t *store, *holds;   // what the store holds after the run, or lacks after a refused one
    } runs[] = {
        {L"# every server\r\n\r\nipsec static set store location=domain domain=Corp.Example.\r\n" + first +
             L"\r\n  ipsec static show filterlist name=Brek level=verbose\r\n",
         true, nullptr, 0, 3, L"domain:corp.example", L"filter Brek|me|203.0.113.9|on RDS07 \u00e9|ANY|yes||||\n"},
        {to_corp + L"\n" + add + L"198.51.100.7 description=\"open\nprotocol=TCP\n" + add + L"198.51.100.8", false,
         nullptr, 1, 4, L"domain:corp.example",
         L"|198.51.100.7|open|ANY|yes||||\nfilter Brek|me|198.51.100.8||ANY|yes||||\n"},
        // No domain named and the machine in none, or no domain name: the store stays the local one.
        {L"ipsec static set store location=domain\n" + add + L"192.0.2.1", false, nullptr, 1, 2, L"local", L"|192.0.2.1|"},
        {L"ipsec static set store location=domain domain=..\\x\n" + add + L"192.0.2.2", false, nullptr, 1, 2, L"local",
         L"|192.0.2.2|"},
        {L"ipsec static set store location=domain\n" + add + L"192.0.2.3", false, L"corp.example", 0, 2,
         L"domain:corp.example", L"|192.0.2.3|"},
        {to_corp + L"\n" + add + L"192.0.2.4 description=" + std::wstring(8192, L'x'), false, nullptr, 1, 0,
         L"domain:corp.example", L"|192.0.2.4|"},
        {to_corp + L"\n" + add + L"192.0.2.5" + std::wstring(1 << 20, L'\n'), false, nullptr, 1, 0,
         L"domain:corp.example", L"|192.0.2.5|"},
    };
    const std::wstring file = folder.file(L"block script.txt"), run_line = L"-f \"" + file + L"\"";
    for (const auto &run : runs) {
        std::string bytes = run.utf16 ? "\xFF\xFE" : "";
        if (run.utf16)
            bytes.append(reinterpret_cast<const char *>(run.script.data()), run.script.size() * sizeof(wchar_t));
        else
            for (wchar_t c : run.script)   // ANSI as the test writes it: these scripts are ASCII
                bytes += static_cast<char>(c);
        FILE *f = _wfopen(file.c_str(), L"wb");
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        size_t before = journal(folder).size();
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_DOMAIN", run.machine_domain);
        ChildResult r = netsh(run_line);
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_DOMAIN", nullptr);
        EXPECT_EQ(r.exit_code, run.exit_code) << r.output;
        const std::wstring held = store_text(folder, run.store);
        EXPECT_EQ(held.find(run.holds) != std::wstring::npos, run.commands != 0) << held;
        std::vector<JournalEntry> entries = journal(folder);
        ASSERT_EQ(entries.size(), before + run.commands + 1);
        EXPECT_EQ(entries.back().cmdline, sim_system_tool(L"netsh.exe") + L" " + run_line);
        EXPECT_EQ(entries.back().exit_code, run.exit_code);
        if (&run == runs) {
            EXPECT_EQ(entries[1].cmdline, sim_system_tool(L"netsh.exe") + L" " + first);
            EXPECT_NE(r.output.find(L"Store                  : Domain Store\n"), std::wstring::npos) << r.output;
        }
    }
    EXPECT_EQ(journal(folder)[6].cmdline, sim_system_tool(L"netsh.exe") + L" protocol=TCP");
    // The choice ended with each run; on the command line it changes nothing either.
    EXPECT_EQ(netsh(to_corp).exit_code, 0u);
    EXPECT_EQ(netsh(L"ipsec static delete filterlist name=Brek").exit_code, 0u);
    EXPECT_EQ(store_text(folder), L"");
    EXPECT_NE(store_text(folder, L"domain:corp.example"), L"");
}

} // namespace

int run_child_scenario(const std::string &)
{
    return 99;
}
