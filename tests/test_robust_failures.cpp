// Failures around the monitor: netsh that fails or cannot start, event-log hooks through the
// program itself, and the limits of service names and the failure history. A netsh that
// hangs has its own test (test_monitor: AHungNetshIsLeftRunning...).
#include <gtest/gtest.h>
#include <map>
#include "engine/failure_history.h"
#include "engine/main_entry.h"
#include "engine/monitor.h"
#include "config/config.h"
#include "tests/child_harness.h"
#include "tests/monitor_child.h"
#include "tests/event_record.h"
#include "tests/test_service_support.h"
#include "tests/block_support.h"
#include "tools/netsh/netsh_store.h"

using namespace service_test;

namespace {

// ---- child side: the main entry in this process, a helper thread feeding it ----

// The records' time; the netsh scenario moves it on past the hold period.
DWORD record_time = 1651241109;

void append_batch(const std::vector<std::wstring> &addresses)
{
    std::vector<BYTE> batch;
    for (const std::wstring &address : addresses) {
        std::vector<BYTE> record = build_record(e4625, address.c_str(), L"8"); // clear text
        header_of(record).TimeGenerated = record_time;
        batch.insert(batch.end(), record.begin(), record.end());
    }
    if (batch.empty() || sim_append_records(sim_security, batch.data(), static_cast<DWORD>(batch.size())) != 0)
        printf("APPEND FAILED\n");
}

const wchar_t *watched;
bool watched_blocked()
{
    for (uint32_t i = 0; i < logon_failures.count; ++i)
        if (wcscmp(logon_failures.address[i], watched) == 0)
            return logon_failures.attempts[i] == blocked;
    return false;
}

// Windows without netsh: the process cannot be created, error 2. Only netsh is refused.
extern "C" decltype(&CreateProcessW) __imp_CreateProcessW;
decltype(&CreateProcessW) real_create_process;
BOOL WINAPI create_process_without_netsh(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process,
                                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                         LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
{
    if (command_line != nullptr && wcsstr(command_line, L"\\netsh.exe\" ") != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return real_create_process(application, command_line, process, thread, inherit, flags, environment, folder,
                               startup, information);
}

// How netsh fares at an attacker's first block: it fails (exit code 1), cannot be started (no
// netsh: error 2), or works.
struct NetshCase {
    const wchar_t *address, *forced_exit;
    bool missing;
};
const NetshCase netsh_cases[] = {
    {L"203.0.113.31", L"1", false}, {L"203.0.113.32", nullptr, true}, {L"203.0.113.33", nullptr, false}};

// Per attacker: four failures (the threshold), one at the end of the hold period, then netsh
// works again, and one a second later.
void netsh_failures()
{
    max_logon_count_normal_net_clear_text = 4;
    real_create_process = __imp_CreateProcessW;
    for (const NetshCase &c : netsh_cases) {
        record_time += 100;
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", c.forced_exit);
        if (c.missing)
            __imp_CreateProcessW = create_process_without_netsh;
        append_batch(std::vector<std::wstring>(4, c.address));
        settle();
        record_time += history_hold;
        append_batch({c.address});
        settle();
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", nullptr);
        __imp_CreateProcessW = real_create_process;
        record_time += 1;
        append_batch({c.address});
        settle();
    }
}

// distinct - 1 other addresses once each, then the watched attacker six times, all in one batch.
void many_attackers(unsigned distinct)
{
    max_logon_count_normal_net_clear_text = 4;
    std::vector<std::wstring> addresses;
    for (unsigned i = 0; i + 1 < distinct; ++i)
        addresses.push_back(L"10." + std::to_wstring(i / 256) + L"." + std::to_wstring(i % 256) + L".1");
    for (int i = 0; i < 6; ++i)
        addresses.push_back(L"192.0.2.77");
    append_batch(addresses);
    // The loop reads a large batch in several reads and takes requests between them: wait for
    // the block itself, then for the held failure after it.
    watched = L"192.0.2.77";
    if (!wait_for(watched_blocked))
        printf("NOT BLOCKED 192.0.2.77\n");
    settle();
    append_batch({L"10.0.0.1"}); // the first of the others, after the attacker
    settle();
}
void attackers_1023() { many_attackers(1023); }
void attackers_1024() { many_attackers(1024); }

} // namespace

int run_child_scenario(const std::string &scenario)
{
    const std::map<std::string, void (*)()> actions = {
        {"netsh", netsh_failures}, {"attackers-1023", attackers_1023}, {"attackers-1024", attackers_1024}};
    auto found = actions.find(scenario);
    if (found == actions.end())
        return 99;
    append_batch({L"203.0.113.99"}); // the newest record at start: never processed
    scenario_actions = found->second;
    CloseHandle(CreateThread(nullptr, 0, run_actions, nullptr, 0, nullptr));
    wchar_t program[] = L"tosmire-ips-sim.exe", *argv[] = {program, nullptr};
    return monitor_main(1, argv);
}

namespace {

// ---- parent side ----

// The text between the block command of address and the next blank line.
std::wstring block_of(const std::wstring &out, const wchar_t *address)
{
    size_t at = out.find(L"dstaddr=" + std::wstring(address) + L" ");
    if (at == std::wstring::npos)
        return L"";
    size_t end = out.find(L"\n\n\n", at);
    return out.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
}

// The counts printed for one address, in order (a block shows as its attempts in the command).
std::vector<unsigned> counts_of(const std::wstring &out, const std::wstring &address);

// A failed block is shown, reported as an error with netsh's exit code and not held: the next
// failure after the hold period tries again, and the retry that works is reported BLOCKED once.
TEST(NetshFailures, AFailedBlockIsReportedAndTriedAgainAfterTheHoldPeriod)
{
    SimFolder folder;
    ChildResult run = run_scenario("netsh");
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    const std::wstring missing = block_of(run.output, L"203.0.113.32");
    EXPECT_NE(missing.find(L"\nError code:2\n"), std::wstring::npos) << run.output;
    EXPECT_NE(missing.find(L"Sorry, I cannot run this command! "), std::wstring::npos) << run.output;
    const std::vector<std::wstring> reports = read_own_reports();
    struct Expected {
        std::vector<unsigned> counts; // a block as 1000 + its attempts
        const wchar_t *first_exit;
        std::vector<std::wstring> reports;
    };
    const std::wstring attack = L"8000AF08\t2\t8\ts6|s5|", failed = L"C000AF0B\t1\t11\tnetsh could not block ";
    const std::wstring blocked = L"C000AF09\t16\t9\ts6|s5|";
    auto a = [&](const wchar_t *address, int n) { return attack + address + L"|" + std::to_wstring(n) + L"|8|s12\tATTACK"; };
    auto b = [&](const wchar_t *address, int n) { return blocked + address + L"|" + std::to_wstring(n) + L"|8|s12\tBLOCKED"; };
    const wchar_t *x = L"203.0.113.31", *y = L"203.0.113.32", *z = L"203.0.113.33";
    const Expected expected[] = {
        {{1, 2, 3, 1004, 5, 1006}, L"\n# exit:1\n!! 203.0.113.31 not blocked: netsh failed; its next failure after 15 "
                                  L"seconds tries again",
         {a(x, 1), a(x, 2), a(x, 3), failed + x + L", exit code|1\t", a(x, 5), b(x, 6)}},
        // The start failure quotes the command once more, in brackets, and ends without a line feed.
        {{1, 2, 3, 1004, 1004, 5, 1006}, L"command! # exit:2\n!! 203.0.113.32 not blocked: netsh failed; its next failure "
                                        L"after 15 seconds tries again",
         {a(y, 1), a(y, 2), a(y, 3), failed + y + L", exit code|2\t", a(y, 5), b(y, 6)}},
        {{1, 2, 3, 1004, 1}, L"\n# exit:0", {a(z, 1), a(z, 2), a(z, 3), b(z, 4), a(z, 1)}}};
    for (size_t i = 0; i < std::size(netsh_cases); ++i) {
        const std::wstring address = netsh_cases[i].address;
        SCOPED_TRACE(narrow(address));
        EXPECT_EQ(counts_of(run.output, address), expected[i].counts) << run.output;
        EXPECT_TRUE(block_of(run.output, address.c_str()).ends_with(expected[i].first_exit)) << run.output;
        std::vector<std::wstring> own;
        for (const std::wstring &report : reports)
            if (contains(report, address + L"|") || contains(report, address + L","))
                own.push_back(report);
        EXPECT_EQ(own, expected[i].reports);
    }
    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    std::vector<std::wstring> filters;
    for (const SimFilter &filter : store.filters)
        filters.push_back(filter.dstaddr);
    // The simulated netsh carries out a command whose exit code is forced.
    EXPECT_EQ(filters, (std::vector<std::wstring>{x, x, y, z}));
}

// A netsh.exe placed beside the program and another in its current directory: the program
// starts neither (they would exit with 97), only the system folder's, whose journal shows
// every block.
TEST(NetshFailures, APlantedNetshNeverRuns)
{
    SimFolder folder;
    const std::wstring root = folder.file(L"planted"), bin = root + L"\\bin", system = root + L"\\system32",
                       cwd = root + L"\\current";
    auto unquoted = [](const std::wstring &path) { return path.substr(1, path.size() - 2); };
    for (const std::wstring &dir : {root, bin, system, cwd})
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << narrow(dir);
    const std::pair<std::wstring, std::wstring> copies[] = {
        {sim_program(), bin + L"\\tosmire-ips-sim.exe"}, {beside(L"testprog.exe"), bin + L"\\netsh.exe"},
        {beside(L"testprog.exe"), cwd + L"\\netsh.exe"}, {unquoted(sim_system_tool(L"netsh.exe")), system + L"\\netsh.exe"},
        {unquoted(sim_system_tool(L"auditpol.exe")), system + L"\\auditpol.exe"}};
    for (const auto &[from, to] : copies)
        ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << narrow(to);
    const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";
    const DWORD threshold = 1;
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"max_logon_count_normal_net_clear_text", REG_DWORD,
                                 &threshold, sizeof(threshold)));
    append_batch({L"203.0.113.98"}); // the newest record at start
    const std::wstring out_path = folder.file(L"monitor.txt");
    BackgroundMonitor monitor;
    ASSERT_TRUE(monitor.start(out_path, L"", bin + L"\\tosmire-ips-sim.exe", cwd.c_str()));
    wait_until([&] { return contains(read_output_file(out_path), L"# Waiting for new events..."); }, 30000);
    append_batch({L"203.0.113.41", L"203.0.113.42"});
    std::vector<JournalEntry> journal;
    wait_until([&] { return journal_read(folder.file(L"netsh.log"), journal) && journal.size() >= 2; }, 30000);
    wait_until([&] { return count_of(read_output_file(out_path), L"# exit:") >= 2; }, 30000);
    monitor.stop();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    const std::wstring out = read_output_file(out_path);
    EXPECT_EQ(count_of(out, L"\n# exit:0\n\n\n"), 2u) << narrow(out);
    ASSERT_EQ(journal.size(), 2u) << narrow(out);
    for (const JournalEntry &entry : journal) {
        EXPECT_EQ(entry.exit_code, 0u);
        EXPECT_TRUE(entry.cmdline.starts_with(L"\"" + system + L"\\netsh.exe\" ipsec static add filter ")) << narrow(entry.cmdline);
    }
}

std::vector<unsigned> counts_of(const std::wstring &out, const std::wstring &address)
{
    std::vector<unsigned> counts;
    const std::wstring counted = L", from IP:" + address + L",", blocked_at = L"dstaddr=" + address + L" ";
    for (size_t at = 0; (at = out.find(address, at)) != std::wstring::npos; at += address.size()) {
        if (out.compare(at - 10, counted.size(), counted) == 0) {
            size_t line = out.rfind(L"] ", at);
            counts.push_back(static_cast<unsigned>(wcstoul(out.c_str() + line + 2, nullptr, 10)));
        } else if (out.compare(at - 8, blocked_at.size(), blocked_at) == 0) {
            size_t attempts = out.find(L"Logon Attempts:", at);
            counts.push_back(1000 + static_cast<unsigned>(wcstoul(out.c_str() + attempts + 15, nullptr, 10)));
        }
    }
    return counts;
}

// 1,023 addresses fill the table; the 1,024th forgets it at once (as designed): its own first
// failure goes with the table, it counts on from slot 0, is blocked once at the threshold and
// then held; an earlier address starts again at 1.
TEST(FailureHistoryLimit, TheThousandTwentyThirdAndTwentyFourthAttackersAreCountedAndBlockedOnce)
{
    struct Case {
        const char *scenario;
        std::vector<unsigned> attacker, first;
    } cases[] = {{"attackers-1023", {1, 2, 3, 1004}, {1, 2}}, // 1004: blocked at 4 attempts, then held
                 {"attackers-1024", {1, 1, 2, 3, 1004}, {1, 1}}};
    for (const Case &c : cases) {
        SimFolder folder;
        ChildResult run = run_scenario(c.scenario);
        ASSERT_TRUE(run.finished) << c.scenario << run.output;
        EXPECT_EQ(run.exit_code, 0u) << c.scenario;
        EXPECT_EQ(run.output.find(L"NOT BLOCKED"), std::wstring::npos) << c.scenario;
        EXPECT_EQ(counts_of(run.output, L"192.0.2.77"), c.attacker) << c.scenario;
        EXPECT_EQ(counts_of(run.output, L"10.0.0.1"), c.first) << c.scenario;
        EXPECT_TRUE(block_of(run.output, L"192.0.2.77").ends_with(L"\n# exit:0")) << c.scenario;
        SimStore store;
        ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
        ASSERT_EQ(store.filters.size(), 1u) << c.scenario;
        EXPECT_EQ(store.filters[0].dstaddr, L"192.0.2.77");
    }
}

// Event-log failures through the program itself; this test is a Windows parent, so the exit
// codes arrive whole (a Unix parent sees 575 and 1717 cut to 8 bits).
TEST(EventLogFailures, ThroughTheProgram)
{
    struct Case {
        const wchar_t *variable, *value;
        DWORD exit_code;
        const wchar_t *tail;
    } cases[] = {
        {L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314", 575,
         L"# Open Security log: A required privilege is not held by the client: 1314\n"},
        {L"TOSMIRE_SIM_READ_ERROR_Security", L"1717", 1717, L"read failed 1717"},
        {L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR", L"5", 575, L"RegisterEventSource failed 5"},
    };
    for (const Case &c : cases) {
        SimFolder folder;
        std::vector<BYTE> record = build_record(e4625, L"203.0.113.40");
        ASSERT_EQ(sim_append_records(sim_security, record.data(), static_cast<DWORD>(record.size())), 0u);
        SetEnvironmentVariableW(c.variable, c.value);
        ChildResult run = run_redirected(L"\"" + sim_program() + L"\"");
        SetEnvironmentVariableW(c.variable, nullptr);
        ASSERT_TRUE(run.finished) << narrow(c.variable) << run.output;
        EXPECT_EQ(run.exit_code, c.exit_code) << narrow(c.variable) << "\n" << narrow(run.output);
        EXPECT_TRUE(run.output.ends_with(c.tail)) << narrow(c.variable) << "\n" << narrow(run.output);
    }
}

// Up to 255 characters a name is taken whole; one more and the default name stays. The letter
// q on a missing service prints the name it tried.
TEST(ServiceNameLimit, TwoHundredFiftyFiveCharactersWholeTwoHundredFiftySixTheDefault)
{
    ASSERT_EQ(service_state(L"tosmire.IPS"), 0u) << "a service of the default name is installed";
    const std::wstring prefix = L"tosmire.IPS";
    struct Case {
        std::wstring group, expected;
    } cases[] = {
        {std::wstring(255, L'n'), std::wstring(255, L'n')},
        {std::wstring(256, L'n'), prefix},
        {L"+" + std::wstring(244, L'p'), prefix + std::wstring(244, L'p')},
        {L"+" + std::wstring(245, L'p'), prefix},
    };
    for (const Case &c : cases) {
        ChildResult run = run_sim(L"-d:" + c.group + L":q");
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.exit_code, 1u);
        EXPECT_TRUE(contains(run.output, L"] !! service command [1]: failed to open " + c.expected + L"! [1060]\n"))
            << c.group.size() << "\n" << narrow(run.output);
    }
}

// The executable's path longer than its buffers: tests/robust_long_path.sh (started from the
// Unix side, since Wine's CreateProcessW cannot start such a path).

} // namespace
