// The IPsec policy commands against the simulated netsh: what is echoed, what netsh
// received (its journal) and what its store holds afterwards.
#include "commands/ipsec_policy.h"
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>

namespace {

const std::vector<std::wstring> initial_policy = {
    L"netsh ipsec static add policy name=\"block+ESP\" description=\"Brek default policy\"",
    L"netsh ipsec static add filteraction name=\"block\" description=\"blocks the packets\" action=block",
    L"netsh ipsec static add filterlist Brek description=\"Blacklist filter of blocked hosts, created by Brek. \n"
    L"tosmire's Intrusion Prevention System\"",
    L"netsh ipsec static add filter filterlist=\"Brek\" srcaddr=me dstaddr=6.6.6.6 description=\"6.6.6.6\" "
    L"protocol=ANY mirrored=yes",
    L"netsh ipsec static add rule name=\"Brek\" policy=\"block+ESP\" filterlist=\"Brek\" filteraction=\"block\"",
    L"netsh ipsec static delete filter filterlist=\"Brek\" srcaddr=me dstaddr=6.6.6.6",
    L"netsh ipsec static show rule name=\"Brek\" policy=\"block+ESP\" level=verbose",
};
const std::wstring activate = L"netsh ipsec static set policy name=\"block+ESP\" assign=yes";
const std::wstring deactivate = L"netsh ipsec static set policy name=\"block+ESP\" assign=no";
const std::wstring show_hosts = L"netsh ipsec static show filterlist name=Brek level=verbose";
const std::vector<std::wstring> erase = {
    deactivate,
    L"netsh ipsec static delete rule name=\"Brek\" policy=\"block+ESP\"",
    L"netsh ipsec static delete filterlist name=\"Brek\"",
    L"netsh ipsec static delete filteraction name=\"block\"",
};

std::vector<JournalEntry> journal(const SimFolder &folder)
{
    std::vector<JournalEntry> entries;
    EXPECT_TRUE(journal_read(folder.file(L"netsh.log"), entries));
    return entries;
}

SimStore store(const SimFolder &folder)
{
    SimStore s;
    EXPECT_TRUE(store_load(folder.file(L"netsh-store.txt"), s));
    return s;
}

void expect_journal(const std::vector<JournalEntry> &entries, size_t from, const std::vector<std::wstring> &commands)
{
    ASSERT_EQ(entries.size(), from + commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(entries[from + i].cmdline, commands[i]) << "command " << i;
        EXPECT_EQ(entries[from + i].exit_code, 0u) << "command " << i;
    }
}

size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

TEST(IpsecPolicy, WriteInitialPolicyEchoesAndRunsItsSevenCommandsInOrder)
{
    SimFolder folder;
    ChildResult child = run_scenario("write");
    ASSERT_TRUE(child.finished);
    size_t at = 0;
    for (const std::wstring &command : initial_policy) {
        size_t found = child.output.find(L"# " + command + L"\n", at);
        ASSERT_NE(found, std::wstring::npos) << "echo missing or out of order";
        at = found + command.size();
    }
    EXPECT_EQ(count_of(child.output, L"# netsh"), 7u);
    expect_journal(journal(folder), 0, initial_policy);
}

// The probe filter lets the rule be created and is gone again: the list is empty.
TEST(IpsecPolicy, WriteThenActivateLeavesTheAssignedPolicyWithRuleActionAndEmptyList)
{
    SimFolder folder;
    ChildResult child = run_scenario("write-activate-show");
    ASSERT_TRUE(child.finished);
    std::vector<std::wstring> all = initial_policy;
    all.push_back(activate);
    all.push_back(show_hosts);
    expect_journal(journal(folder), 0, all);

    SimStore s = store(folder);
    ASSERT_EQ(s.policies.size(), 1u);
    EXPECT_EQ(s.policies[0].name, L"block+ESP");
    EXPECT_EQ(s.policies[0].description, L"Brek default policy");
    EXPECT_TRUE(s.policies[0].assigned);
    ASSERT_EQ(s.filteractions.size(), 1u);
    EXPECT_EQ(s.filteractions[0].name, L"block");
    EXPECT_EQ(s.filteractions[0].description, L"blocks the packets");
    EXPECT_EQ(s.filteractions[0].action, L"block");
    ASSERT_EQ(s.filterlists.size(), 1u);
    EXPECT_EQ(s.filterlists[0].name, L"Brek");
    EXPECT_EQ(s.filterlists[0].description,
              L"Blacklist filter of blocked hosts, created by Brek. \ntosmire's Intrusion Prevention System");
    EXPECT_TRUE(s.filters.empty());
    ASSERT_EQ(s.rules.size(), 1u);
    EXPECT_EQ(s.rules[0].name, L"Brek");
    EXPECT_EQ(s.rules[0].policy, L"block+ESP");
    EXPECT_EQ(s.rules[0].filterlist, L"Brek");
    EXPECT_EQ(s.rules[0].filteraction, L"block");

    size_t shown = child.output.find(L"# " + show_hosts + L"\n");
    ASSERT_NE(shown, std::wstring::npos);
    std::wstring listing = child.output.substr(shown);
    EXPECT_NE(listing.find(L"FilterList Name        : Brek\n"), std::wstring::npos) << listing;
    EXPECT_NE(listing.find(L"No. of Filters         : 0\n"), std::wstring::npos) << listing;
}

TEST(IpsecPolicy, EraseUnassignsAndEmptiesThePolicyButNeverDeletesIt)
{
    SimFolder folder;
    ASSERT_TRUE(run_scenario("write-activate-show").finished);
    size_t before = journal(folder).size();
    ChildResult child = run_scenario("erase");
    ASSERT_TRUE(child.finished);
    std::vector<JournalEntry> entries = journal(folder);
    expect_journal(entries, before, erase);
    for (const JournalEntry &entry : entries)
        EXPECT_EQ(entry.cmdline.find(L"delete policy"), std::wstring::npos) << entry.cmdline;

    SimStore s = store(folder);
    ASSERT_EQ(s.policies.size(), 1u);
    EXPECT_EQ(s.policies[0].name, L"block+ESP");
    EXPECT_FALSE(s.policies[0].assigned);
    EXPECT_TRUE(s.rules.empty());
    EXPECT_TRUE(s.filterlists.empty());
    EXPECT_TRUE(s.filteractions.empty());
    EXPECT_TRUE(s.filters.empty());
}

TEST(IpsecPolicy, DeactivateRunsTheOneUnassignCommand)
{
    SimFolder folder;
    ASSERT_TRUE(run_scenario("write-activate-show").finished);
    size_t before = journal(folder).size();
    ChildResult child = run_scenario("deactivate");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.output, L"# " + deactivate + L"\n");
    expect_journal(journal(folder), before, {deactivate});
    SimStore s = store(folder);
    ASSERT_EQ(s.policies.size(), 1u);
    EXPECT_FALSE(s.policies[0].assigned);
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario == "write") {
        write_initial_policy();
    } else if (scenario == "write-activate-show") {
        write_initial_policy();
        activate_policy();
        show_blocked_hosts();
    } else if (scenario == "erase") {
        erase_policy();
    } else if (scenario == "deactivate") {
        deactivate_policy();
    } else {
        return 99;
    }
    return 0;
}
