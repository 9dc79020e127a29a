// The block decision as the loop drives it, one scenario per child process: what it printed,
// what the simulated netsh received and stored, and what it reported to the Application log.
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/monitor.h"
#include "config/config.h"
#include "tests/app_log_reader.h"
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr DWORD t0 = 1651233909;
const std::wstring when = L"2022-04-29  PM 02:05:09";
const wchar_t *ip_list[1] = {L"10.0.0.9"};
const wchar_t *user_list[1] = {L"admin"};

void fail(const wchar_t *user, const wchar_t *address, DWORD time, const wchar_t *type = L"3",
          const wchar_t *domain = L"DOM", const wchar_t *authentication = L"NTLM")
{
    LogonReport report = {domain, user, address, L"", type, authentication};
    handle_logon_failure(report, time, when.c_str());
}

void succeed(const wchar_t *user, const wchar_t *address)
{
    LogonReport report = {L"DOM", user, address, L"", L"3", L"NTLM"};
    handle_logon_success(report);
}

// Attacker-chosen texts that would end the quoted description or smuggle in arguments.
const wchar_t *hostile[] = {
    L"x\" dstaddr=192.0.2.1 description=\"y", L"x\\\" dstaddr=192.0.2.1 x=\"", L"x\\\\\" dstaddr=192.0.2.1 \"",
    L"\"\"\" dstaddr=192.0.2.1 protocol=TCP", L"a\tb\r\nc dstaddr=192.0.2.1", L"x\\",
};
constexpr size_t hostile_count = sizeof(hostile) / sizeof(hostile[0]);

} // namespace

int run_child_scenario(const std::string &scenario)
{
    whitelist_IP = {1, ip_list};
    whitelist_user = {1, user_list};
    max_logon_count_normal_net = 5;
    max_logon_count_whitelist_net = 3;
    max_logon_count_normal_net_clear_text = 0;
    max_logon_count_normal_RDP = 2;
    init_history(logon_failures);
    event_source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    if (scenario == "threshold") {
        for (DWORD i = 0; i < 5; ++i)
            fail(L"guest", L"203.0.113.5", t0 + i);
        fail(L"guest", L"203.0.113.5", t0 + 4 + 15); // held
        fail(L"guest", L"203.0.113.5", t0 + 4 + 16); // counts again
        fail(L"guest", L"203.0.113.8", t0, L"8");    // threshold 0
        fail(L"guest", L"203.0.113.10", t0, L"10");
        fail(L"guest", L"203.0.113.10", t0, L"10");
    } else if (scenario == "whitelists") {
        for (DWORD i = 0; i < 7; ++i)
            fail(L"guest", L"10.0.0.9", t0 + i);
        fail(L"ADMIN", L"203.0.113.6", t0);
        fail(L"ADMIN", L"203.0.113.6", t0 + 1);
        succeed(L"guest", L"203.0.113.6"); // not on the list: nothing
        succeed(L"Admin", L"203.0.113.6");
        succeed(L"admin", L"198.51.100.1"); // no slot
        for (DWORD i = 0; i < 3; ++i)
            fail(L"admin", L"203.0.113.6", t0 + 2 + i);
    } else if (scenario == "spoofed") {
        for (const wchar_t *type : {L"10", L"3"}) {
            LogonReport report = {L"DOM", L"eve", L"0.0.0.0", L"", type, L"NTLM"};
            handle_spoofed_address(report, t0, when.c_str());
        }
    } else if (scenario == "hostile") {
        max_logon_count_normal_net = max_logon_count_whitelist_net = 1;
        for (size_t i = 0; i < hostile_count; ++i)
            fail(hostile[i], (L"203.0.113." + std::to_wstring(100 + i)).c_str(), t0, L"3", hostile[i], hostile[i]);
        std::wstring quotes(3000, L'"');
        fail(quotes.c_str(), L"203.0.113.200", t0, L"3", quotes.c_str(), quotes.c_str());
        fail(L"admin", L"203.0.113.201", t0, L"3", quotes.c_str(), quotes.c_str());
        fail(L"guest", L"203.0.113.202 dstaddr=192.0.2.1", t0);
    } else {
        return 99;
    }
    return 0;
}

namespace {

size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

struct Outcome {
    std::wstring out;
    std::vector<JournalEntry> netsh;
    std::vector<SimFilter> filters;
    std::vector<AppRecord> reports;
};

Outcome run(const char *scenario)
{
    SimFolder folder;
    Outcome o;
    ChildResult child = run_scenario(scenario);
    EXPECT_TRUE(child.finished && child.exit_code == 0) << child.output;
    o.out = child.output;
    SimStore store;
    EXPECT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    EXPECT_TRUE(journal_read(folder.file(L"netsh.log"), o.netsh));
    o.filters = store.filters;
    o.reports = read_own_reports();
    return o;
}

// Event ID, category and tag of a report, and its attempts (insertion string %4).
void expect_report(const AppRecord &r, DWORD id, WORD category, const char *tag, const wchar_t *attempts)
{
    WORD type = id == 0xC000AF09 ? EVENTLOG_AUDIT_FAILURE : EVENTLOG_WARNING_TYPE;
    EXPECT_EQ(r.event_id, id);
    EXPECT_EQ(r.type, type);
    EXPECT_EQ(r.category, category);
    EXPECT_EQ(r.data, tag);
    ASSERT_EQ(r.strings.size(), 6u);
    EXPECT_EQ(r.strings[3], attempts);
}

TEST(BlockDecision, CountsBlocksAtTheThresholdOfTheLogonTypeAndHoldsFifteenSeconds)
{
    Outcome o = run("threshold");
    for (int i = 1; i <= 4; ++i)
        EXPECT_NE(o.out.find(L"\n[" + when + L"]     " + std::to_wstring(i) +
                             L"  User:DOM\\guest, from IP:203.0.113.5, Type: 3\n"),
                  std::wstring::npos)
            << o.out;
    const std::wstring description = L"203.0.113.5 DOM\\guest\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:5, "
                                     L"Time:" + when;
    const std::wstring command = L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=203.0.113.5 "
                                 L"description=\"" + description + L"\" protocol=ANY mirrored=Yes";
    EXPECT_NE(o.out.find(L"\n# ADD TO BLACKLIST:\n" + command + L"\n# exit:0\n\n\n"), std::wstring::npos) << o.out;
    EXPECT_EQ(count_of(o.out, L"     1  User:DOM\\guest, from IP:203.0.113.5"), 2u) << "held at +15, counted at +16";

    ASSERT_EQ(o.netsh.size(), 3u);
    EXPECT_EQ(o.netsh[0].cmdline, command);
    ASSERT_EQ(o.filters.size(), 3u);
    EXPECT_EQ(o.filters[0].description, description);
    EXPECT_EQ(o.filters[1].dstaddr, L"203.0.113.8"); // clear text: threshold 0 blocks at once
    EXPECT_NE(o.filters[2].description.find(L"Logon Type:10, Authentication:NTLM,\n Logon Attempts:2,"),
              std::wstring::npos);

    ASSERT_EQ(o.reports.size(), 9u);
    for (int i = 0; i < 4; ++i)
        expect_report(o.reports[i], 0x8000AF08, 8, "ATTACK", std::to_wstring(i + 1).c_str());
    expect_report(o.reports[4], 0xC000AF09, 9, "BLOCKED", L"5");
    EXPECT_EQ(o.reports[4].strings, (std::vector<std::wstring>{L"DOM", L"guest", L"203.0.113.5", L"5", L"3", L"NTLM"}));
    expect_report(o.reports[5], 0x8000AF08, 8, "ATTACK", L"1");
}

TEST(BlockDecision, WhitelistsSpareAddressesRaiseUserThresholdsAndSuccessesResetCounts)
{
    Outcome o = run("whitelists");
    EXPECT_EQ(count_of(o.out, L"  User:DOM\\guest, from IP:10.0.0.9 [WHITELIST IP]\n"), 7u) << o.out;
    EXPECT_EQ(count_of(o.out, L"from IP:203.0.113.6 [WHITELIST]\n"), 4u) << o.out;
    EXPECT_NE(o.out.find(L"\n[    1] User:DOM\\Admin, from IP:203.0.113.6 [Successful Logon]\n\n\n"), std::wstring::npos);
    EXPECT_NE(o.out.find(L"\n[    0] User:DOM\\admin, from IP:198.51.100.1 [Successful Logon]\n\n\n"), std::wstring::npos);
    EXPECT_EQ(o.out.find(L"User:DOM\\guest, from IP:203.0.113.6"), std::wstring::npos) << o.out;
    EXPECT_NE(o.out.find(L"\n# ADD TO BLACKLIST:BLOCKED for targeted attack on a whitelisted user\nnetsh "),
              std::wstring::npos);

    ASSERT_EQ(o.filters.size(), 1u);
    EXPECT_EQ(o.filters[0].dstaddr, L"203.0.113.6");
    EXPECT_NE(o.filters[0].description.find(L"Logon Attempts:3, Time:" + when +
                                            L"\n BLOCKED for targeted attack on a whitelisted user"),
              std::wstring::npos);
    ASSERT_EQ(o.reports.size(), 5u) << "no report for a whitelisted address or a success";
    const wchar_t *counts[] = {L"1", L"2", L"1", L"2"};
    for (int i = 0; i < 4; ++i)
        expect_report(o.reports[i], 0x8000AF07, 7, "WHITELIST", counts[i]);
    expect_report(o.reports[4], 0xC000AF09, 9, "BLOCKED for targeted attack on a whitelisted user", L"3");
}

TEST(BlockDecision, SpoofedAddressListsConnectionsAndIsNeverBlocked)
{
    Outcome o = run("spoofed");
    EXPECT_EQ(count_of(o.out, L"] Attacks from a spoofed IP address cannot be blocked!"), 2u) << o.out;
    EXPECT_NE(o.out.find(L"\n[    1] User:DOM\\eve, from IP:0.0.0.0, Type:10\n# netstat -n | findstr 3389\t# List of "
                         L"connected hosts:"),
              std::wstring::npos)
        << o.out;
    EXPECT_NE(o.out.find(L"\n[    2] User:DOM\\eve, from IP:0.0.0.0, Type: 3\n# netstat -n | findstr TCP\t"),
              std::wstring::npos);
    ASSERT_EQ(o.reports.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(o.reports[i].event_id, 0xC000AF0Au);
        EXPECT_EQ(o.reports[i].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(o.reports[i].category, 10);
        EXPECT_EQ(o.reports[i].data, "SPOOFED ADDRESS");
        ASSERT_EQ(o.reports[i].strings.size(), 8u);
        EXPECT_EQ(o.reports[i].strings[3], std::to_wstring(i + 1));
    }
    EXPECT_EQ(o.reports[0].strings[6], L"netstat -n | findstr 3389");
    EXPECT_EQ(o.reports[1].strings[6], L"netstat -n | findstr TCP");
    EXPECT_TRUE(o.netsh.empty());
}

TEST(BlockDecision, AttackerTextsNeverChangeTheBlockedAddressNorCutTheCommand)
{
    Outcome o = run("hostile");
    ASSERT_EQ(o.filters.size(), hostile_count + 2) << o.out;
    for (size_t i = 0; i < o.filters.size(); ++i) {
        EXPECT_EQ(o.netsh[i].exit_code, 0u) << o.netsh[i].cmdline;
        EXPECT_LE(o.netsh[i].cmdline.size(), 511u);
        EXPECT_EQ(o.filters[i].dstaddr, L"203.0.113." + std::to_wstring(i < hostile_count ? 100 + i : 200 + i - hostile_count));
        EXPECT_EQ(o.filters[i].protocol, L"ANY");
        EXPECT_TRUE(o.filters[i].mirrored);
    }
    // 3000 quotes in domain, user and authentication shorten the description, not its end.
    const std::wstring &last = o.filters.back().description;
    const std::wstring end = L"Time:" + when + L"\n BLOCKED for targeted attack on a whitelisted user";
    EXPECT_EQ(last.substr(last.size() - end.size()), end);
    // An address that is not plain never reaches netsh, and is not reported as blocked.
    EXPECT_NE(o.out.find(L"!! Not a plain address, no filter added: 203.0.113.202 dstaddr=192.0.2.1"),
              std::wstring::npos)
        << o.out;
    EXPECT_EQ(o.reports.back().event_id, 0x8000AF08u);
}

TEST(BlockDecision, NeutralisedTextsStayReadable)
{
    wchar_t out[64];
    EXPECT_EQ(neutralise_text(L"J\x00FCrgen \"Bob\" DOM\\u\tx", out, 64), 20u);
    EXPECT_EQ(std::wstring(out), L"J\x00FCrgen 'Bob' DOM/u?x");
    // Look-alikes that an ANSI conversion of the command line turns into a quote or backslash.
    neutralise_text(L"\xFF02\x201C\x02BA|\xFF3C\x00A5\x2216", out, 64);
    EXPECT_EQ(std::wstring(out), L"'''|///");
    EXPECT_EQ(neutralise_text(L"abcdef", out, 4), 3u);
    EXPECT_FALSE(is_plain_address(std::wstring(64, L'1').c_str()));
    EXPECT_TRUE(is_plain_address(L"fe80::1%12"));
}

} // namespace
