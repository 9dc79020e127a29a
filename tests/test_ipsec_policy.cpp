// The IPsec policy commands against the simulated netsh: what is echoed, what netsh
// received (its journal) and what its store holds afterwards.
#include "commands/ipsec_policy.h"
#include "config/config.h"
#include "tests/netsh_view.h"
#include <map>

namespace {

// write_initial_policy's seven commands, then activate_policy and show_blocked_hosts.
const std::vector<std::wstring> write_activate_show = {
    L"netsh ipsec static add policy name=\"block+ESP\" description=\"Brek default policy\"",
    L"netsh ipsec static add filteraction name=\"block\" description=\"blocks the packets\" action=block",
    L"netsh ipsec static add filterlist Brek description=\"Blacklist filter of blocked hosts, created by Brek. \n"
    L"tosmire's Intrusion Prevention System\"",
    L"netsh ipsec static add filter filterlist=\"Brek\" srcaddr=me dstaddr=6.6.6.6 description=\"6.6.6.6\" "
    L"protocol=ANY mirrored=yes",
    L"netsh ipsec static add rule name=\"Brek\" policy=\"block+ESP\" filterlist=\"Brek\" filteraction=\"block\"",
    L"netsh ipsec static delete filter filterlist=\"Brek\" srcaddr=me dstaddr=6.6.6.6",
    L"netsh ipsec static show rule name=\"Brek\" policy=\"block+ESP\" level=verbose",
    L"netsh ipsec static set policy name=\"block+ESP\" assign=yes",
    L"netsh ipsec static show filterlist name=Brek level=verbose",
};
// deactivate_policy, then erase_policy: it unassigns and empties the policy, never deletes it.
const std::vector<std::wstring> deactivate_erase = {
    L"netsh ipsec static set policy name=\"block+ESP\" assign=no",
    L"netsh ipsec static set policy name=\"block+ESP\" assign=no",
    L"netsh ipsec static delete rule name=\"Brek\" policy=\"block+ESP\"",
    L"netsh ipsec static delete filterlist name=\"Brek\"",
    L"netsh ipsec static delete filteraction name=\"block\"",
};

// The journal holds exactly these commands from entry `from` on, each succeeded.
void expect_journal(const SimFolder &folder, size_t from, const std::vector<std::wstring> &commands)
{
    std::vector<JournalEntry> entries = journal(folder);
    ASSERT_EQ(entries.size(), from + commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(entries[from + i].cmdline, as_run(commands[i]));
        EXPECT_EQ(entries[from + i].exit_code, 0u) << entries[from + i].cmdline;
    }
}

TEST(IpsecPolicy, WriteActivateShowThenDeactivateAndErase)
{
    SimFolder folder;
    ChildResult child = run_scenario("write-activate-show");
    ASSERT_TRUE(child.finished) << child.output;
    size_t at = 0, echoed = 0; // every command echoed once and in order
    for (const std::wstring &command : write_activate_show) {
        at = child.output.find(L"# " + command + L"\n", at);
        ASSERT_NE(at, std::wstring::npos) << "echo missing or out of order: " << command;
    }
    for (size_t p = child.output.find(L"# netsh"); p != std::wstring::npos; p = child.output.find(L"# netsh", p + 1))
        ++echoed;
    EXPECT_EQ(echoed, write_activate_show.size());
    expect_journal(folder, 0, write_activate_show);
    // The probe filter lets the rule be created and is gone again: the list is empty.
    EXPECT_EQ(store_text(folder), L"policy block+ESP|Brek default policy|assigned\n"
                                  L"filteraction block|blocks the packets|block\n"
                                  L"filterlist Brek|Blacklist filter of blocked hosts, created by Brek. \n"
                                  L"tosmire's Intrusion Prevention System\n"
                                  L"rule Brek|block+ESP|Brek|block\n");
    std::wstring listing = child.output.substr(at); // from the echo of show_blocked_hosts on
    EXPECT_NE(listing.find(L"FilterList Name        : Brek\n"), std::wstring::npos) << listing;
    EXPECT_NE(listing.find(L"No. of Filters         : 0\n"), std::wstring::npos) << listing;

    // Nothing printed but the echoes: every command succeeded silently.
    child = run_scenario("deactivate-erase");
    std::wstring echoes;
    for (const std::wstring &command : deactivate_erase)
        echoes += L"# " + command + L"\n";
    EXPECT_TRUE(child.finished && child.output == echoes) << child.output;
    expect_journal(folder, write_activate_show.size(), deactivate_erase);
    EXPECT_EQ(store_text(folder), L"policy block+ESP|Brek default policy|unassigned\n");
}

// A command as a line of the command file: the line feed beside a blank goes.
std::wstring as_line(std::wstring command)
{
    std::erase(command, L'\n');
    return command;
}

TEST(IpsecPolicy, InADomainStoreEachOperationIsOneRunBehindTheStoreSwitchOrNotRunAtAll)
{
    SimFolder folder;
    const std::wstring store = L"netsh ipsec static set store location=domain domain=corp.example";
    ChildResult child = run_scenario("domain");
    std::wstring echoes = L"# " + store + L"\n"; // the initial policy's, before netsh shows the rule
    for (size_t i = 0; i < 7; ++i)
        echoes += L"# " + as_line(write_activate_show[i]) + L"\n";
    EXPECT_TRUE(child.finished && child.output.starts_with(echoes)) << child.output;
    // Each operation: the switch alone, then the command file's lines and the file's run.
    std::vector<std::wstring> expected;
    for (auto [from, to] : {std::pair{0, 7}, {7, 8}, {8, 9}}) {
        expected.insert(expected.end(), 2, as_run(store));
        for (int i = from; i < to; ++i)
            expected.push_back(as_run(as_line(write_activate_show[i])));
        expected.push_back(L"-f");
    }
    const std::vector<JournalEntry> runs = journal(folder);
    ASSERT_EQ(runs.size(), expected.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_TRUE(expected[i] == L"-f" ? command_file_gone(runs[i]) : runs[i].cmdline == expected[i]) << runs[i].cmdline;
        EXPECT_EQ(runs[i].exit_code, 0u) << runs[i].cmdline;
    }
    EXPECT_EQ(store_text(folder, L"domain:corp.example"),
              L"policy block+ESP|Brek default policy|assigned\nfilteraction block|blocks the packets|block\n"
              L"filterlist Brek|Blacklist filter of blocked hosts, created by Brek. tosmire's Intrusion Prevention System\n"
              L"rule Brek|block+ESP|Brek|block\n");
    EXPECT_EQ(store_text(folder), L"");

    // No domain named and none of the machine: nothing acts on the local store instead. A store
    // refused: the local one, told.
    child = run_scenario("no-domain");
    EXPECT_EQ(child.output, L"# netsh ipsec static set store location=domain\n"
                            L"The specified domain either does not exist or could not be contacted.\n"
                            L"!! netsh cannot set the domain store (exit code 1): nothing is run\n");
    child = run_scenario("refused");
    EXPECT_EQ(child.output, L"!! ipsec_store \"domain:corp example?\" refused, not \"domain\" or \"domain:NAME\" (NAME of "
                            L"letters, digits, '-' and '.'): netsh acts on the local store\n# " + deactivate_erase[0] +
                                L"\nPolicy with name \"block+ESP\" does not exist.\n");
    const std::vector<JournalEntry> after = journal(folder);
    ASSERT_EQ(after.size(), runs.size() + 2);
    EXPECT_EQ(after[runs.size()].exit_code, 1u);
    EXPECT_EQ(after.back().cmdline, as_run(deactivate_erase[0]));
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    const std::map<std::string, const wchar_t *> stores = {
        {"domain", L"domain:corp.example"}, {"no-domain", L"Domain"}, {"refused", L"domain:corp example\n"}};
    if (auto store = stores.find(scenario); store != stores.end()) {
        parse_ipsec_store(store->second, ipsec_store);
        if (scenario == "domain") {
            write_initial_policy();
            activate_policy();
            show_blocked_hosts();
        } else if (scenario == "no-domain") {
            erase_policy();
        } else {
            deactivate_policy();
        }
    } else if (scenario == "write-activate-show") {
        write_initial_policy();
        activate_policy();
        show_blocked_hosts();
    } else if (scenario == "deactivate-erase") {
        deactivate_policy();
        erase_policy();
    } else {
        return 99;
    }
    return 0;
}
