// The block decision as the loop drives it, one scenario per child process: what it printed,
// what the simulated netsh received and stored, and what it reported to the Application log.
#include "engine/block.h"
#include "engine/monitor.h"
#include "engine/report.h"
#include "config/config.h"
#include "tests/block_support.h"

const std::wstring when = L"2022-04-29  PM 02:05:09";
const wchar_t *user_list[1] = {L"admin"};

// A logon from address: failed at time, or successful when time is 0.
static void logon(const wchar_t *user, const wchar_t *address, DWORD time, const wchar_t *type = L"3",
                  const wchar_t *domain = L"DOM", const wchar_t *authentication = L"NTLM")
{
    LogonReport report = {domain, user, address, L"", type, authentication};
    if (time == 0)
        handle_logon_success(report);
    else if (wcscmp(address, L"0.0.0.0") == 0) // as the loop sends it
        handle_spoofed_address(report, time, when.c_str());
    else
        handle_logon_failure(report, time, when.c_str());
}

// Attacker-chosen texts that would end the quoted description or smuggle in arguments.
const wchar_t *hostile[] = {
    L"x\" dstaddr=192.0.2.1 description=\"y", L"x\\\" dstaddr=192.0.2.1 x=\"", L"x\\\\\" dstaddr=192.0.2.1 \"",
    L"\"\"\" dstaddr=192.0.2.1 protocol=TCP", L"a\tb\r\nc dstaddr=192.0.2.1", L"x\\",
};

int run_child_scenario(const std::string &scenario)
{
    whitelist_IP = {1, whitelisted_ip};
    whitelist_user = {1, user_list};
    max_logon_count_normal_net = 5;
    max_logon_count_whitelist_net = 3;
    max_logon_count_normal_net_clear_text = 0;
    max_logon_count_normal_RDP = 2;
    event_source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    if (scenario == "decisions") {
        for (DWORD i = 0; i < 5; ++i)
            logon(L"guest", L"203.0.113.5", t0 + i);
        logon(L"guest", L"203.0.113.5", t0 + 4 + 15); // held
        logon(L"guest", L"203.0.113.5", t0 + 4 + 16); // counts again
        logon(L"guest", L"203.0.113.8", t0, L"8");    // threshold 0
        logon(L"guest", L"203.0.113.10", t0, L"10");
        logon(L"guest", L"203.0.113.10", t0, L"10");
        for (DWORD i = 0; i < 7; ++i)
            logon(L"guest", L"10.0.0.9", t0 + i);
        logon(L"ADMIN", L"203.0.113.6", t0);
        logon(L"guest", L"203.0.113.6", 0); // not on the list: nothing
        logon(L"Admin", L"203.0.113.6", 0);
        logon(L"admin", L"198.51.100.1", 0); // no slot
        for (DWORD i = 0; i < 3; ++i)
            logon(L"admin", L"203.0.113.6", t0 + 1 + i);
        logon(L"eve", L"0.0.0.0", t0, L"10");
        logon(L"eve", L"0.0.0.0", t0);
    } else if (scenario == "hostile") {
        max_logon_count_normal_net = max_logon_count_whitelist_net = 1;
        for (size_t i = 0; i < std::size(hostile); ++i)
            logon(hostile[i], (L"203.0.113." + std::to_wstring(200 + i)).c_str(), t0, L"3", hostile[i], hostile[i]);
        std::wstring quotes(3000, L'"');
        logon(quotes.c_str(), L"203.0.113.206", t0, L"3", quotes.c_str(), quotes.c_str());
        logon(L"admin", L"203.0.113.207", t0, L"3", quotes.c_str(), quotes.c_str());
        // From another computer with the longest name: its name shares the description's room too.
        const std::wstring computer(255, L'C');
        LogonReport fleet = {quotes.c_str(), quotes.c_str(), L"203.0.113.208", L"", L"3", quotes.c_str(), computer.c_str()};
        handle_logon_failure(fleet, t0, when.c_str());
        logon(L"guest", L"203.0.113.208 dstaddr=192.0.2.1", t0);
    } else if (scenario == "unicode-user") {
        // A whitelisted user whose name is not ASCII, written in another letter case.
        static const wchar_t *jurgen[1] = {L"J\u00fcrgen"};
        whitelist_user = {1, jurgen};
        max_logon_count_normal_net_clear_text = 4;
        max_logon_count_whitelist_net_clear_text = 11;
        for (DWORD i = 0; i < 3; ++i)
            logon(L"J\u00dcRGEN", L"203.0.113.40", t0 + i, L"8");
        logon(L"j\u00fcrgen", L"203.0.113.40", 0); // clears the three
        for (DWORD i = 0; i < 11; ++i)
            logon(L"J\u00dcRGEN", L"203.0.113.40", t0 + 10 + i, L"8");
    } else {
        return 99;
    }
    return 0;
}

static std::wstring description(const wchar_t *address, const wchar_t *user, const wchar_t *type,
                                const wchar_t *attempts, const wchar_t *suffix = L"")
{
    return address + std::wstring(L" DOM\\") + user + L"\n Logon Type:" + type +
           L", Authentication:NTLM,\n Logon Attempts:" + attempts + L", Time:" + when + suffix;
}

TEST(BlockDecision, ThresholdsWhitelistsHoldSuccessesAndSpoofedAddresses)
{
    Outcome o = run("decisions");
    const std::wstring blocked = description(L"203.0.113.5", L"guest", L"3", L"5");
    const std::wstring command = L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=203.0.113.5 "
                                 L"description=\"" + blocked + L"\" protocol=ANY mirrored=Yes";
    // Each printed piece and how often; a count is printed again 16 seconds after the block, not at 15.
    std::vector<std::pair<std::wstring, size_t>> printed = {
        {L"\n# ADD TO BLACKLIST:\n" + command + L"\n# exit:0\n\n\n", 1},
        {L"  User:DOM\\guest, from IP:10.0.0.9 [WHITELIST IP]\n", 7},
        {L"from IP:203.0.113.6 [WHITELIST]\n", 3},
        {L"User:DOM\\guest, from IP:203.0.113.6", 0},
        {L"\n[    1] User:DOM\\Admin, from IP:203.0.113.6 [Successful Logon]\n\n\n", 1},
        {L"\n[    0] User:DOM\\admin, from IP:198.51.100.1 [Successful Logon]\n\n\n", 1},
        {L"\n# ADD TO BLACKLIST:BLOCKED for targeted attack on a whitelisted user\nnetsh ", 1},
        {L"] Attacks from a spoofed IP address cannot be blocked!\n[    1] User:DOM\\eve, from IP:0.0.0.0, Type:10\n"
         L"# netstat -n | findstr 3389\t# List of connected hosts:", 1},
        {L"] Attacks from a spoofed IP address cannot be blocked!\n[    2] User:DOM\\eve, from IP:0.0.0.0, Type: 3\n"
         L"# netstat -n | findstr TCP\t# List of connected hosts:", 1}};
    for (int i = 1; i <= 4; ++i)
        printed.push_back({L"\n[" + when + L"]     " + std::to_wstring(i) +
                               L"  User:DOM\\guest, from IP:203.0.113.5, Type: 3\n", i == 1 ? 2 : 1});
    for (const auto &[text, count] : printed)
        EXPECT_EQ(count_of(o.out, text), count) << text << L"\nin:\n" << o.out;

    std::vector<std::wstring> filters;
    for (const SimFilter &f : o.store.filters)
        filters.push_back(f.dstaddr + L" " + f.description);
    EXPECT_EQ(filters, (std::vector<std::wstring>{
        L"203.0.113.5 " + blocked, L"203.0.113.8 " + description(L"203.0.113.8", L"guest", L"8", L"1"),
        L"203.0.113.10 " + description(L"203.0.113.10", L"guest", L"10", L"2"), L"203.0.113.6 " +
        description(L"203.0.113.6", L"admin", L"3", L"3", L"\n BLOCKED for targeted attack on a whitelisted user")}));
    // The captured connection listing depends on the host: cut after the listing command.
    for (size_t i = o.reports.size() - 2; i < o.reports.size(); ++i) {
        size_t from = o.reports[i].find(L'|', o.reports[i].find(L"findstr")) + 1;
        o.reports[i].erase(from, o.reports[i].rfind(L'\t') - from);
    }
    EXPECT_EQ(o.reports, (std::vector<std::wstring>{
        L"8000AF08\t2\t8\tDOM|guest|203.0.113.5|1|3|NTLM\tATTACK",
        L"8000AF08\t2\t8\tDOM|guest|203.0.113.5|2|3|NTLM\tATTACK",
        L"8000AF08\t2\t8\tDOM|guest|203.0.113.5|3|3|NTLM\tATTACK",
        L"8000AF08\t2\t8\tDOM|guest|203.0.113.5|4|3|NTLM\tATTACK",
        L"C000AF09\t16\t9\tDOM|guest|203.0.113.5|5|3|NTLM\tBLOCKED",
        L"8000AF08\t2\t8\tDOM|guest|203.0.113.5|1|3|NTLM\tATTACK",
        L"C000AF09\t16\t9\tDOM|guest|203.0.113.8|1|8|NTLM\tBLOCKED",
        L"8000AF08\t2\t8\tDOM|guest|203.0.113.10|1|10|NTLM\tATTACK",
        L"C000AF09\t16\t9\tDOM|guest|203.0.113.10|2|10|NTLM\tBLOCKED",
        L"8000AF07\t2\t7\tDOM|ADMIN|203.0.113.6|1|3|NTLM\tWHITELIST",
        L"8000AF07\t2\t7\tDOM|admin|203.0.113.6|1|3|NTLM\tWHITELIST",
        L"8000AF07\t2\t7\tDOM|admin|203.0.113.6|2|3|NTLM\tWHITELIST",
        L"C000AF09\t16\t9\tDOM|admin|203.0.113.6|3|3|NTLM\tBLOCKED for targeted attack on a whitelisted user",
        L"C000AF0A\t1\t10\tDOM|eve|0.0.0.0|1|10|NTLM|netstat -n \\| findstr 3389|\tSPOOFED ADDRESS",
        L"C000AF0A\t1\t10\tDOM|eve|0.0.0.0|2|3|NTLM|netstat -n \\| findstr TCP|\tSPOOFED ADDRESS"}))
        << "none for a whitelisted address nor for a success";
}

// Letter case is ignored beyond ASCII: the whitelisted thresholds apply, the block carries the
// whitelisted-user suffix, and a successful logon clears the address's history.
TEST(BlockDecision, WhitelistedUserNamesMatchInAnyLetterCase)
{
    Outcome o = run("unicode-user");
    EXPECT_EQ(count_of(o.out, L"\n[    1] User:DOM\\j\u00fcrgen, from IP:203.0.113.40 [Successful Logon]\n"), 1u) << o.out;
    std::vector<std::wstring> expected;
    for (int i = 1; i <= 3; ++i)
        expected.push_back(L"8000AF07\t2\t7\tDOM|J\u00dcRGEN|203.0.113.40|" + std::to_wstring(i) + L"|8|NTLM\tWHITELIST");
    for (int i = 1; i <= 10; ++i)
        expected.push_back(L"8000AF07\t2\t7\tDOM|J\u00dcRGEN|203.0.113.40|" + std::to_wstring(i) + L"|8|NTLM\tWHITELIST");
    expected.push_back(L"C000AF09\t16\t9\tDOM|J\u00dcRGEN|203.0.113.40|11|8|NTLM\t"
                       L"BLOCKED for targeted attack on a whitelisted user");
    EXPECT_EQ(o.reports, expected);
    ASSERT_EQ(o.store.filters.size(), 1u) << o.out;
    EXPECT_EQ(o.store.filters[0].description,
              description(L"203.0.113.40", L"J\u00dcRGEN", L"8", L"11", L"\n BLOCKED for targeted attack on a whitelisted user"));
    EXPECT_EQ(count_of(o.out, L"\n# ADD TO BLACKLIST:BLOCKED for targeted attack on a whitelisted user\nnetsh "), 1u);
}

TEST(BlockDecision, AttackerTextsNeverChangeTheBlockedAddressNorCutTheCommand)
{
    Outcome o = run("hostile");
    const std::vector<SimFilter> &filters = o.store.filters;
    ASSERT_EQ(filters.size(), std::size(hostile) + 3) << o.out;
    for (size_t i = 0; i < filters.size(); ++i) {
        const std::wstring command = as_formatted(o.netsh[i].cmdline);
        EXPECT_TRUE(o.netsh[i].exit_code == 0 && !command.empty() && command.size() <= 511) << o.netsh[i].cmdline;
        EXPECT_EQ(filters[i].dstaddr + L" " + filters[i].protocol + (filters[i].mirrored ? L" mirrored" : L""),
                  L"203.0.113." + std::to_wstring(200 + i) + L" ANY mirrored");
    }
    // 3000 quotes in domain, user and authentication shorten the description, not its end.
    const std::wstring &last = filters[std::size(hostile) + 1].description;
    EXPECT_TRUE(last.ends_with(L"Time:" + when + L"\n BLOCKED for targeted attack on a whitelisted user")) << last;
    const std::wstring &fleet = filters.back().description;
    EXPECT_TRUE(fleet.find(L" on CCC") != std::wstring::npos && fleet.ends_with(L"\n Logon Attempts:1, Time:" + when))
        << fleet;
    // An address that is not plain never reaches netsh, and is not reported as blocked.
    EXPECT_EQ(count_of(o.out, L"!! Not a plain address, no filter added: 203.0.113.208 dstaddr=192.0.2.1"), 1u)
        << o.out;
    EXPECT_EQ(o.reports.back().substr(0, 9), L"8000AF08\t");
}

TEST(BlockDecision, NeutralisedTextsStayReadable)
{
    wchar_t out[64];
    // Also the look-alikes that an ANSI conversion of the command line turns into a quote or backslash.
    EXPECT_EQ(neutralise_text(L"J\x00FCrgen \"Bob\" DOM\\u\tx \xFF02\x201C\x02BA|\xFF3C\x00A5\x2216", out, 64), 28u);
    EXPECT_EQ(std::wstring(out), L"J\x00FCrgen 'Bob' DOM/u?x '''|///");
    EXPECT_EQ(neutralise_text(L"abcdef", out, 4), 3u);
    EXPECT_FALSE(is_plain_address(std::wstring(64, L'1').c_str()));
    EXPECT_TRUE(is_plain_address(L"fe80::1%12"));
}
