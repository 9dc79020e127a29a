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

constexpr DWORD t0 = 1651233909; // 2022-04-29 12:05:09 UTC
const wchar_t time_text[] = L"2022-04-29  PM 02:05:09";
const char whitelisted_tag[] = "BLOCKED for targeted attack on a whitelisted user";

// ---- child side ----

const wchar_t *ip_list[1] = {L"10.0.0.9"};
const wchar_t *user_list[1] = {L"admin"};

void setup_child()
{
    whitelist_IP = {1, ip_list};
    whitelist_user = {1, user_list};
    max_logon_count_normal_net = 5;
    max_logon_count_whitelist_net = 3;
    max_logon_count_normal_net_clear_text = 0;
    max_logon_count_whitelist_net_clear_text = 100;
    max_logon_count_normal_RDP = 2;
    max_logon_count_whitelist_RDP = 100;
    init_history(logon_failures);
    event_source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
}

void fail(const wchar_t *user, const wchar_t *address, const wchar_t *type, DWORD time, const wchar_t *domain = L"DOM",
          const wchar_t *authentication = L"NTLM")
{
    LogonReport report = {domain, user, address, L"", type, authentication};
    handle_logon_failure(report, time, time_text);
}

void succeed(const wchar_t *user, const wchar_t *address)
{
    LogonReport report = {L"DOM", user, address, L"", L"3", L"NTLM"};
    handle_logon_success(report);
}

void spoofed(const wchar_t *type, DWORD time)
{
    LogonReport report = {L"DOM", L"eve", L"0.0.0.0", L"", type, L"NTLM"};
    handle_spoofed_address(report, time, time_text);
}

// Hostile texts in every attacker-chosen field; each attempt comes from its own address.
const wchar_t *hostile[] = {
    L"x\" dstaddr=192.0.2.1 description=\"y",
    L"x\\\" dstaddr=192.0.2.1 x=\"",
    L"x\\\\\" dstaddr=192.0.2.1 \"",
    L"\"\"\" dstaddr=192.0.2.1 protocol=TCP",
    L"a\tb\r\nc dstaddr=192.0.2.1",
    L"\xFF02 dstaddr=192.0.2.1 \xFF02",
};

} // namespace

int run_child_scenario(const std::string &scenario)
{
    setup_child();
    if (scenario == "threshold") {
        for (DWORD i = 0; i < 5; ++i)
            fail(L"guest", L"203.0.113.5", L"3", t0 + i);
        fail(L"guest", L"203.0.113.5", L"3", t0 + 4 + 15); // held
        fail(L"guest", L"203.0.113.5", L"3", t0 + 4 + 16); // counts again
    } else if (scenario == "whitelists") {
        for (DWORD i = 0; i < 7; ++i)
            fail(L"guest", L"10.0.0.9", L"3", t0 + i);
        for (DWORD i = 0; i < 3; ++i)
            fail(L"ADMIN", L"203.0.113.6", L"3", t0 + i);
    } else if (scenario == "types") {
        fail(L"guest", L"203.0.113.8", L"8", t0);     // clear text, threshold 0
        fail(L"guest", L"203.0.113.10", L"10", t0);   // Remote Desktop, threshold 2
        fail(L"guest", L"203.0.113.10", L"10", t0 + 1);
    } else if (scenario == "success") {
        max_logon_count_whitelist_net = 10;
        for (DWORD i = 0; i < 3; ++i)
            fail(L"admin", L"203.0.113.7", L"3", t0 + i);
        succeed(L"guest", L"203.0.113.7"); // not on the list: nothing
        succeed(L"Admin", L"203.0.113.7");
        fail(L"admin", L"203.0.113.7", L"3", t0 + 3);
        succeed(L"admin", L"198.51.100.1"); // no slot
    } else if (scenario == "spoofed") {
        spoofed(L"10", t0);
        spoofed(L"3", t0 + 1);
    } else if (scenario == "hostile") {
        max_logon_count_normal_net = 1;
        max_logon_count_whitelist_net = 1;
        int n = 0;
        for (const wchar_t *text : hostile) {
            std::wstring address = L"203.0.113." + std::to_wstring(100 + n++);
            fail(text, address.c_str(), L"3", t0, text, text);
        }
        std::wstring long_text(3000, L'"');
        fail(long_text.c_str(), L"203.0.113.200", L"3", t0, long_text.c_str(), long_text.c_str());
        fail(L"admin", L"203.0.113.201", L"3", t0, long_text.c_str(), long_text.c_str());
        fail(L"guest", L"203.0.113.202 dstaddr=192.0.2.1", L"3", t0);
    } else {
        return 99;
    }
    return 0;
}

namespace {

// ---- parent side ----

std::vector<SimFilter> filters(const SimFolder &folder)
{
    SimStore store;
    EXPECT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    return store.filters;
}

std::vector<JournalEntry> netsh_journal(const SimFolder &folder)
{
    std::vector<JournalEntry> entries;
    EXPECT_TRUE(journal_read(folder.file(L"netsh.log"), entries));
    return entries;
}

size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

void expect_report(const AppRecord &r, DWORD id, WORD type, WORD category, const std::string &data,
                   const std::vector<std::wstring> &strings)
{
    EXPECT_EQ(r.event_id, id);
    EXPECT_EQ(r.type, type);
    EXPECT_EQ(r.category, category);
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.strings, strings);
}

std::vector<std::wstring> logon_strings(const wchar_t *user, const wchar_t *address, const wchar_t *attempts,
                                        const wchar_t *type = L"3")
{
    return {L"DOM", user, address, attempts, type, L"NTLM"};
}

TEST(BlockDecision, ThresholdCountsThenBlocksOnceThenHoldsFifteenSeconds)
{
    SimFolder folder;
    ChildResult child = run_scenario("threshold");
    ASSERT_TRUE(child.finished);
    ASSERT_EQ(child.exit_code, 0u) << child.output;
    const std::wstring &out = child.output;
    for (int i = 1; i <= 4; ++i)
        EXPECT_NE(out.find(L"\n[" + std::wstring(time_text) + L"]     " + std::to_wstring(i) +
                           L"  User:DOM\\guest, from IP:203.0.113.5, Type: 3\n"),
                  std::wstring::npos)
            << out;
    const std::wstring command =
        L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=203.0.113.5 description=\"203.0.113.5 "
        L"DOM\\guest\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:5, Time:" + std::wstring(time_text) +
        L"\" protocol=ANY mirrored=Yes";
    EXPECT_NE(out.find(L"\n# ADD TO BLACKLIST:\n" + command + L"\n"), std::wstring::npos) << out;
    EXPECT_NE(out.find(L"# exit:0\n\n\n"), std::wstring::npos) << out;
    // Held at +15, then counted from 1 again at +16: one more count line, no second block.
    EXPECT_EQ(count_of(out, L"     1  User:DOM\\guest"), 2u) << out;
    EXPECT_EQ(count_of(out, L"ADD TO BLACKLIST"), 1u);

    std::vector<JournalEntry> journal = netsh_journal(folder);
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].cmdline, command);
    std::vector<SimFilter> list = filters(folder);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].filterlist, L"Brek");
    EXPECT_EQ(list[0].srcaddr, L"me");
    EXPECT_EQ(list[0].dstaddr, L"203.0.113.5");
    EXPECT_EQ(list[0].protocol, L"ANY");
    EXPECT_TRUE(list[0].mirrored);
    EXPECT_EQ(list[0].description, L"203.0.113.5 DOM\\guest\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:5, "
                                   L"Time:" + std::wstring(time_text));

    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 6u);
    for (int i = 0; i < 4; ++i)
        expect_report(reports[i], 0x8000AF08, EVENTLOG_WARNING_TYPE, 8, "ATTACK",
                      logon_strings(L"guest", L"203.0.113.5", std::to_wstring(i + 1).c_str()));
    expect_report(reports[4], 0xC000AF09, EVENTLOG_AUDIT_FAILURE, 9, "BLOCKED",
                  logon_strings(L"guest", L"203.0.113.5", L"5"));
    expect_report(reports[5], 0x8000AF08, EVENTLOG_WARNING_TYPE, 8, "ATTACK",
                  logon_strings(L"guest", L"203.0.113.5", L"1"));
}

TEST(BlockDecision, WhitelistedAddressNeverBlockedNorReportedWhitelistedUserBlockedAtItsThreshold)
{
    SimFolder folder;
    ChildResult child = run_scenario("whitelists");
    ASSERT_TRUE(child.finished);
    const std::wstring &out = child.output;
    EXPECT_EQ(count_of(out, L"  User:DOM\\guest, from IP:10.0.0.9 [WHITELIST IP]\n"), 7u) << out;
    EXPECT_EQ(count_of(out, L"  User:DOM\\ADMIN, from IP:203.0.113.6 [WHITELIST]\n"), 2u) << out;
    EXPECT_NE(out.find(L"\n# ADD TO BLACKLIST:BLOCKED for targeted attack on a whitelisted user\nnetsh "),
              std::wstring::npos)
        << out;

    std::vector<SimFilter> list = filters(folder);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].dstaddr, L"203.0.113.6");
    const std::wstring suffix = L"\n BLOCKED for targeted attack on a whitelisted user";
    ASSERT_GT(list[0].description.size(), suffix.size());
    EXPECT_EQ(list[0].description.substr(list[0].description.size() - suffix.size()), suffix);

    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 3u);
    expect_report(reports[0], 0x8000AF07, EVENTLOG_WARNING_TYPE, 7, "WHITELIST",
                  logon_strings(L"ADMIN", L"203.0.113.6", L"1"));
    expect_report(reports[1], 0x8000AF07, EVENTLOG_WARNING_TYPE, 7, "WHITELIST",
                  logon_strings(L"ADMIN", L"203.0.113.6", L"2"));
    expect_report(reports[2], 0xC000AF09, EVENTLOG_AUDIT_FAILURE, 9, whitelisted_tag,
                  logon_strings(L"ADMIN", L"203.0.113.6", L"3"));
}

TEST(BlockDecision, LogonTypeChoosesItsThresholdAndZeroBlocksAtOnce)
{
    SimFolder folder;
    ChildResult child = run_scenario("types");
    ASSERT_TRUE(child.finished);
    std::vector<SimFilter> list = filters(folder);
    ASSERT_EQ(list.size(), 2u) << child.output;
    EXPECT_EQ(list[0].dstaddr, L"203.0.113.8");
    EXPECT_NE(list[0].description.find(L"Logon Type:8,"), std::wstring::npos);
    EXPECT_NE(list[0].description.find(L"Logon Attempts:1,"), std::wstring::npos);
    EXPECT_EQ(list[1].dstaddr, L"203.0.113.10");
    EXPECT_NE(list[1].description.find(L"Logon Attempts:2,"), std::wstring::npos);
    EXPECT_NE(child.output.find(L"  User:DOM\\guest, from IP:203.0.113.10, Type:10\n"), std::wstring::npos)
        << child.output;
}

TEST(BlockDecision, SuccessOfWhitelistedUserResetsTheCount)
{
    SimFolder folder;
    ChildResult child = run_scenario("success");
    ASSERT_TRUE(child.finished);
    const std::wstring &out = child.output;
    EXPECT_NE(out.find(L"\n[    1] User:DOM\\Admin, from IP:203.0.113.7 [Successful Logon]\n\n\n"), std::wstring::npos)
        << out;
    EXPECT_NE(out.find(L"\n[    0] User:DOM\\admin, from IP:198.51.100.1 [Successful Logon]\n\n\n"), std::wstring::npos)
        << out;
    EXPECT_EQ(out.find(L"User:DOM\\guest"), std::wstring::npos) << out;
    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 4u) << "successful logons are not reported";
    EXPECT_EQ(reports[2].strings[3], L"3");
    EXPECT_EQ(reports[3].strings[3], L"1") << "the count starts again after the success";
    EXPECT_TRUE(filters(folder).empty());
}

TEST(BlockDecision, SpoofedAddressIsListedWithRemoteDesktopPortOrTcpAndNeverBlocked)
{
    SimFolder folder;
    ChildResult child = run_scenario("spoofed");
    ASSERT_TRUE(child.finished);
    const std::wstring &out = child.output;
    EXPECT_EQ(count_of(out, L"] Attacks from a spoofed IP address cannot be blocked!"), 2u) << out;
    EXPECT_NE(out.find(L"\n[    1] User:DOM\\eve, from IP:0.0.0.0, Type:10\n# netstat -n | findstr 3389\t# List of "
                       L"connected hosts:"),
              std::wstring::npos)
        << out;
    EXPECT_NE(out.find(L"\n[    2] User:DOM\\eve, from IP:0.0.0.0, Type: 3\n# netstat -n | findstr TCP\t# List of "
                       L"connected hosts:"),
              std::wstring::npos)
        << out;
    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_EQ(reports.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(reports[i].event_id, 0xC000AF0Au);
        EXPECT_EQ(reports[i].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(reports[i].category, 10);
        EXPECT_EQ(reports[i].data, "SPOOFED ADDRESS");
        ASSERT_EQ(reports[i].strings.size(), 8u);
        EXPECT_EQ(reports[i].strings[2], L"0.0.0.0");
        EXPECT_EQ(reports[i].strings[3], std::to_wstring(i + 1));
    }
    EXPECT_EQ(reports[0].strings[6], L"netstat -n | findstr 3389");
    EXPECT_EQ(reports[1].strings[6], L"netstat -n | findstr TCP");
    EXPECT_TRUE(netsh_journal(folder).empty());
}

TEST(BlockDecision, HostileTextsNeverChangeTheBlockedAddress)
{
    SimFolder folder;
    ChildResult child = run_scenario("hostile");
    ASSERT_TRUE(child.finished);
    std::vector<JournalEntry> journal = netsh_journal(folder);
    std::vector<SimFilter> list = filters(folder);
    const size_t n = sizeof(hostile) / sizeof(hostile[0]);
    ASSERT_EQ(journal.size(), n + 2) << child.output;
    ASSERT_EQ(list.size(), n + 2) << child.output;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(journal[i].exit_code, 0u) << journal[i].cmdline;
        EXPECT_EQ(list[i].dstaddr, L"203.0.113." + std::to_wstring(100 + i));
        EXPECT_EQ(list[i].protocol, L"ANY");
    }
    // 3000 quotes in domain, user and authentication: shortened descriptions, whole commands.
    for (size_t i = n; i < n + 2; ++i) {
        EXPECT_LE(journal[i].cmdline.size(), 511u);
        EXPECT_EQ(journal[i].exit_code, 0u);
        EXPECT_EQ(list[i].protocol, L"ANY");
        EXPECT_TRUE(list[i].mirrored);
    }
    EXPECT_EQ(list[n].dstaddr, L"203.0.113.200");
    EXPECT_EQ(list[n + 1].dstaddr, L"203.0.113.201");
    const std::wstring suffix = L"\n BLOCKED for targeted attack on a whitelisted user";
    EXPECT_EQ(list[n + 1].description.substr(list[n + 1].description.size() - suffix.size()), suffix);

    // An address that is not plain never reaches netsh, and is not reported as blocked.
    EXPECT_NE(child.output.find(L"!! Not a plain address, no filter added: 203.0.113.202 dstaddr=192.0.2.1"),
              std::wstring::npos)
        << child.output;
    std::vector<AppRecord> reports = read_own_reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().event_id, 0x8000AF08u);
    EXPECT_EQ(reports.back().data, "ATTACK");
}

} // namespace
