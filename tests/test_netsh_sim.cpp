// The simulated netsh and auditpol: argument splitting as on Windows, the store's rules,
// failures, the forced exit code, concurrent processes and exact journals.
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>

namespace {

SimStore store(const SimFolder &folder)
{
    SimStore s;
    EXPECT_TRUE(store_load(folder.file(L"netsh-store.txt"), s));
    return s;
}

std::vector<JournalEntry> journal(const SimFolder &folder, const wchar_t *name = L"netsh.log")
{
    std::vector<JournalEntry> entries;
    EXPECT_TRUE(journal_read(folder.file(name), entries));
    return entries;
}

ChildResult netsh(const std::wstring &arguments)
{
    return run_redirected(L"netsh.exe " + arguments);
}

// The block command of a failed logon, formatted as the block decision formats it.
std::wstring block_command(const std::wstring &address, const std::wstring &user)
{
    return L"ipsec static add filter filterlist=Brek srcaddr=me dstaddr=" + address + L" description=\"" + address +
           L" DOM\\" + user + L"\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:5, Time:2024-05-01  PM 01:02:03\" "
           L"protocol=ANY mirrored=Yes";
}

TEST(NetshSim, ArgumentsAreSplitAsTheCRuntimeSplitsThem)
{
    SimFolder folder;
    ChildResult a = netsh(L"IPSEC Static ADD FILTER FilterList=Brek SRCADDR=me dstaddr=1.2.3.4 "
                          L"description=\"a \\\"quoted\\\" back\\slash\" protocol=tcp mirrored=No srcport=80");
    ASSERT_TRUE(a.finished);
    EXPECT_EQ(a.exit_code, 0u) << a.output;
    ChildResult b = netsh(L"ipsec static add filter filterlist=Brek srcaddr=any dstaddr=fe80::1 "
                          L"\"description=x\"\"y\" protocol=17 dstmask=24");
    ASSERT_TRUE(b.finished);
    EXPECT_EQ(b.exit_code, 0u) << b.output;

    SimStore s = store(folder);
    ASSERT_EQ(s.filters.size(), 2u);
    EXPECT_EQ(s.filters[0].description, L"a \"quoted\" back\\slash");
    EXPECT_EQ(s.filters[0].protocol, L"TCP");
    EXPECT_FALSE(s.filters[0].mirrored);
    EXPECT_EQ(s.filters[0].srcport, L"80");
    EXPECT_EQ(s.filters[1].description, L"x\"y");
    EXPECT_EQ(s.filters[1].dstaddr, L"fe80::1");
    EXPECT_EQ(s.filters[1].protocol, L"17");
    EXPECT_TRUE(s.filters[1].mirrored);
}

// A quote in a user name closes the description early; what follows becomes arguments of
// its own. A second dstaddr is refused and nothing is stored.
TEST(NetshSim, InjectedTagInADescriptionIsRefusedAsADuplicate)
{
    SimFolder folder;
    ChildResult r = netsh(block_command(L"1.2.3.4", L"u\" dstaddr=9.9.9.9 x"));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_NE(r.output.find(L"\"dstaddr\""), std::wstring::npos) << r.output;
    SimStore s = store(folder);
    EXPECT_TRUE(s.filters.empty());
    EXPECT_TRUE(s.filterlists.empty());
}

TEST(NetshSim, EscapedQuoteStaysInsideTheDescription)
{
    SimFolder folder;
    ChildResult r = netsh(block_command(L"1.2.3.4", L"u\\\" dstaddr=9.9.9.9 x"));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0u) << r.output;
    SimStore s = store(folder);
    ASSERT_EQ(s.filters.size(), 1u);
    EXPECT_EQ(s.filters[0].dstaddr, L"1.2.3.4");
    EXPECT_EQ(s.filters[0].description, L"1.2.3.4 DOM\\u\" dstaddr=9.9.9.9 x\n Logon Type:3, Authentication:NTLM,\n"
                                        L" Logon Attempts:5, Time:2024-05-01  PM 01:02:03");
}

TEST(NetshSim, FilterCreatesAMissingListAndVerboseShowListsEveryFilter)
{
    SimFolder folder;
    ASSERT_EQ(netsh(block_command(L"1.2.3.4", L"alice")).exit_code, 0u);
    ASSERT_EQ(netsh(L"ipsec static add filter filterlist=Brek srcaddr=me dstaddr=5.6.7.8 "
                    L"description=\"5.6.7.8\n Logon Attempts:4, Time:x\" protocol=ANY mirrored=Yes")
                  .exit_code,
              0u);
    SimStore s = store(folder);
    ASSERT_EQ(s.filterlists.size(), 1u);
    EXPECT_EQ(s.filterlists[0].name, L"Brek");
    EXPECT_EQ(s.filterlists[0].description, L"");
    ASSERT_EQ(s.filters.size(), 2u);

    ChildResult show = netsh(L"ipsec static show filterlist name=Brek level=verbose");
    EXPECT_EQ(show.exit_code, 0u);
    const std::wstring &text = show.output;
    EXPECT_NE(text.find(L"No. of Filters         : 2\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Description            : 1.2.3.4 DOM\\alice\n Logon Type:3, Authentication:NTLM,\n"
                        L" Logon Attempts:5, Time:2024-05-01  PM 01:02:03\n"),
              std::wstring::npos)
        << text;
    EXPECT_NE(text.find(L"Destination IP Address : 1.2.3.4\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Description            : 5.6.7.8\n Logon Attempts:4, Time:x\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Destination IP Address : 5.6.7.8\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Source IP Address      : <My IP Address>\n"), std::wstring::npos) << text;
}

TEST(NetshSim, MissingObjectsAndUnknownCommandsFailWithAMessage)
{
    SimFolder folder;
    const wchar_t *const commands[] = {
        L"ipsec static delete filter filterlist=Brek srcaddr=me dstaddr=1.1.1.1",
        L"ipsec static delete rule name=Brek policy=block+ESP",
        L"ipsec static delete filterlist name=Brek",
        L"ipsec static delete filteraction name=block",
        L"ipsec static delete policy name=block+ESP",
        L"ipsec static set policy name=block+ESP assign=yes",
        L"ipsec static show filterlist name=Brek level=verbose",
        L"ipsec static add filter filterlist=Brek srcaddr=me",
        L"ipsec static add filter filterlist=Brek srcaddr=me dstaddr=1.2.3.999",
        L"ipsec static frobnicate all",
        L"ipsec static add filterlist Brek x y",
    };
    for (const wchar_t *command : commands) {
        ChildResult r = netsh(command);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, 1u) << command;
        EXPECT_FALSE(r.output.empty()) << command;
    }
    SimStore s = store(folder);
    EXPECT_TRUE(s.policies.empty() && s.filterlists.empty() && s.filters.empty() && s.rules.empty());
    EXPECT_EQ(netsh(L"ipsec static frobnicate all").output,
              L"The following command was not found: ipsec static frobnicate all.\n");
    EXPECT_EQ(journal(folder).size(), std::size(commands) + 1);
}

// A rule needs a filter in its list; a list or action used by a rule cannot be deleted; the
// last filter of a used list can.
TEST(NetshSim, RulesNeedFiltersAndProtectWhatTheyUse)
{
    SimFolder folder;
    ASSERT_EQ(netsh(L"ipsec static add policy name=P").exit_code, 0u);
    ASSERT_EQ(netsh(L"ipsec static add filteraction name=A action=block").exit_code, 0u);
    ASSERT_EQ(netsh(L"ipsec static add filterlist L").exit_code, 0u);
    EXPECT_EQ(netsh(L"ipsec static add rule name=R policy=P filterlist=L filteraction=A").exit_code, 1u);
    ASSERT_EQ(netsh(L"ipsec static add filter filterlist=L srcaddr=me dstaddr=6.6.6.6").exit_code, 0u);
    EXPECT_EQ(netsh(L"ipsec static add rule name=R policy=P filterlist=L filteraction=A").exit_code, 0u);
    EXPECT_EQ(netsh(L"ipsec static delete filter filterlist=L srcaddr=me dstaddr=6.6.6.6").exit_code, 0u);
    EXPECT_EQ(netsh(L"ipsec static delete filterlist name=L").exit_code, 1u);
    EXPECT_EQ(netsh(L"ipsec static delete filteraction name=A").exit_code, 1u);
    SimStore s = store(folder);
    EXPECT_EQ(s.rules.size(), 1u);
    EXPECT_EQ(s.filterlists.size(), 1u);
    EXPECT_EQ(s.filteractions.size(), 1u);
    EXPECT_TRUE(s.filters.empty());
}

TEST(NetshSim, ForcedExitCodeIsReturnedAndJournalled)
{
    SimFolder folder;
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", L"7");
    ChildResult r = netsh(L"ipsec static add filterlist Brek");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", nullptr);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 7u);
    std::vector<JournalEntry> entries = journal(folder);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].exit_code, 7u);
    EXPECT_EQ(store(folder).filterlists.size(), 1u);
}

TEST(NetshSim, ConcurrentProcessesLoseNoChange)
{
    SimFolder folder;
    const int count = 6;
    HANDLE processes[count] = {};
    for (int i = 0; i < count; ++i) {
        std::wstring line = L"netsh.exe ipsec static add filter filterlist=Brek srcaddr=me dstaddr=10.0.0." +
                            std::to_wstring(i + 1);
        std::vector<wchar_t> buffer(line.begin(), line.end());
        buffer.push_back(L'\0');
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process));
        CloseHandle(process.hThread);
        processes[i] = process.hProcess;
    }
    EXPECT_EQ(WaitForMultipleObjects(count, processes, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE process : processes)
        CloseHandle(process);
    EXPECT_EQ(store(folder).filters.size(), static_cast<size_t>(count));
    EXPECT_EQ(journal(folder).size(), static_cast<size_t>(count));
}

TEST(NetshSim, JournalKeepsTheCommandLineExactlyOnOneLine)
{
    SimFolder folder;
    const std::wstring line = L"netsh.exe ipsec static show all level=\"x\ty\r\n\\ \u00e9 \U0001F600 \x01\"";
    ASSERT_TRUE(run_redirected(line).finished);
    std::vector<JournalEntry> entries = journal(folder);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].cmdline, line);
    EXPECT_EQ(entries[0].exit_code, 1u);

    HANDLE file = CreateFileW(folder.file(L"netsh.log").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char raw[512] = {};
    DWORD done = 0;
    ReadFile(file, raw, sizeof(raw) - 1, &done, nullptr);
    CloseHandle(file);
    std::string text(raw, done);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

TEST(AuditpolSim, AnswersSuccessAndJournalsTheCommandLine)
{
    SimFolder folder;
    const std::wstring line = L"auditpol /set /category:\"Logon/Logoff\" /success:enable /failure:enable";
    ChildResult r = run_redirected(line);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.output, L"The command was successfully executed.\n");
    std::vector<JournalEntry> entries = journal(folder, L"auditpol.log");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].cmdline, line);
    EXPECT_EQ(entries[0].exit_code, 0u);
}

} // namespace

int run_child_scenario(const std::string &)
{
    return 99;
}
