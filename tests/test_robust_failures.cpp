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
#include "tools/netsh/netsh_store.h"

using namespace service_test;

namespace {

// ---- child side: the main entry in this process, a helper thread feeding it ----

void append_batch(const std::vector<std::wstring> &addresses)
{
    std::vector<BYTE> batch;
    for (const std::wstring &address : addresses) {
        std::vector<BYTE> record = build_record(e4625, address.c_str(), L"8"); // clear text
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

// Four clear-text failures of one attacker (the default threshold), until its block is marked.
void attack(const wchar_t *address)
{
    append_batch(std::vector<std::wstring>(4, address));
    watched = address;
    if (!wait_for(watched_blocked))
        printf("NOT BLOCKED %ls\n", address);
}

// Windows without netsh: the process cannot be created, error 2. Only netsh is refused.
extern "C" decltype(&CreateProcessW) __imp_CreateProcessW;
decltype(&CreateProcessW) real_create_process;
BOOL WINAPI create_process_without_netsh(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process,
                                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                         LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
{
    if (command_line != nullptr && _wcsnicmp(command_line, L"netsh ", 6) == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return real_create_process(application, command_line, process, thread, inherit, flags, environment, folder,
                               startup, information);
}

void netsh_failures()
{
    max_logon_count_normal_net_clear_text = 4;
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", L"5");
    attack(L"203.0.113.31");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_EXIT", nullptr);
    real_create_process = __imp_CreateProcessW;
    __imp_CreateProcessW = create_process_without_netsh;
    attack(L"203.0.113.32");
    __imp_CreateProcessW = real_create_process;
    attack(L"203.0.113.33");
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

TEST(NetshFailures, ExitCodeOrStartErrorIsShownTheAddressIsHeldAndDetectionGoesOn)
{
    SimFolder folder;
    ChildResult run = run_scenario("netsh");
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(run.output.find(L"NOT BLOCKED"), std::wstring::npos) << run.output;
    // Forced exit code 5: shown as netsh's result; missing netsh: the start error, then 2.
    EXPECT_TRUE(block_of(run.output, L"203.0.113.31").ends_with(L"\n# exit:5")) << run.output;
    const std::wstring missing = block_of(run.output, L"203.0.113.32");
    EXPECT_NE(missing.find(L"\nError code:2\n"), std::wstring::npos) << run.output;
    EXPECT_NE(missing.find(L"Sorry, I cannot run this command! "), std::wstring::npos) << run.output;
    EXPECT_TRUE(missing.ends_with(L"# exit:2")) << run.output;
    EXPECT_TRUE(block_of(run.output, L"203.0.113.33").ends_with(L"\n# exit:0")) << run.output;
    // One command each (the start failure quotes it once more, in brackets).
    for (const wchar_t *address : {L"203.0.113.31", L"203.0.113.32", L"203.0.113.33"})
        EXPECT_EQ(count_of(run.output, L"\nnetsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=" +
                                           std::wstring(address) + L" "),
                  1u)
            << narrow(address);
    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    bool last_added = false;
    for (const SimFilter &filter : store.filters) {
        EXPECT_NE(filter.dstaddr, L"203.0.113.32") << "netsh never ran";
        last_added = last_added || filter.dstaddr == L"203.0.113.33";
    }
    EXPECT_TRUE(last_added);
}

// The counts printed for one address, in order (a block shows as its attempts in the command).
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
