// The simulated program's whole output for a fixed set of Security and Remote Desktop records,
// compared byte for byte with the output kept in tests/data/replay_expected.bin. The records
// carry their own times, the simulated log service stamps them with a fixed clock, and the
// configuration is set here, so the same program prints the same bytes in every run; any change
// to a text, its order, its colourless form or its line ends shows up as a difference.
// On a difference the output is kept beside this program as replay_actual.bin.
#include "tests/child_harness.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

namespace {

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";
// The clock of the simulated log service, and the first record's time: 2025-12-06 05:46:40 UTC.
constexpr DWORD t0 = 1765000000;

void evtlog(const std::wstring &arguments)
{
    ChildResult run = run_redirected(L"evtlog.exe " + arguments);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << "evtlog " << narrow(arguments) << "\n" << run.output;
}

// Events of one kind, count of them one second apart from time.
struct Events {
    const wchar_t *event, *options;
    DWORD time;
    int count = 1;
};

// Appends one event at a time, so that each is read, dumped and decided before the next; stops
// at the first that evtlog failed to append, since the output would differ from then on.
void append(std::initializer_list<Events> list)
{
    for (const Events &e : list)
        for (int i = 0; i < e.count; ++i)
            ASSERT_NO_FATAL_FAILURE(evtlog(std::wstring(e.event) + L" " + e.options + L" --time " +
                                           std::to_wstring(e.time + static_cast<DWORD>(i))));
}

void set_dword(const wchar_t *name, DWORD value)
{
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, name, REG_DWORD, &value, sizeof(value)));
}

void set_list(const wchar_t *name, const wchar_t *values, DWORD bytes)
{
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, name, REG_MULTI_SZ, values, bytes));
}

class OutputReplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_CLOCK", std::to_wstring(t0).c_str());
        evtlog(L"register-messages");
        const wchar_t ips[] = L"198.51.100.9\0" L"127.0.0.1\0";
        const wchar_t users[] = L"ips.ops\0";
        set_list(L"whitelist_IP", ips, sizeof(ips));
        set_list(L"whitelist_user", users, sizeof(users));
        set_dword(L"max_logon_count_normal_net", 4);
        set_dword(L"max_logon_count_whitelist_net", 6);
        set_dword(L"max_logon_count_normal_net_clear_text", 3);
        set_dword(L"max_logon_count_whitelist_net_clear_text", 5);
        set_dword(L"max_logon_count_normal_RDP", 3);
        set_dword(L"max_logon_count_whitelist_RDP", 5);
    }
    void TearDown() override
    {
        monitor.stop();
        evtlog(L"unregister-messages");
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
        SetEnvironmentVariableW(L"TOSMIRE_SIM_CLOCK", nullptr);
    }

    // Whether the output came to hold piece.
    bool wait_for(const std::wstring &piece)
    {
        return wait_until([&] { return read_output_file(out_path).find(piece) != std::wstring::npos; });
    }
    // Waits until the output has size bytes, and a little longer for more.
    void wait_for_size(size_t size)
    {
        wait_until([&] { return read_file_bytes(out_path).size() >= size; });
        Sleep(300);
    }

    SimFolder folder;
    std::wstring out_path = folder.file(L"monitor.txt");
    BackgroundMonitor monitor;
};

TEST_F(OutputReplay, TheSameRecordsGiveTheSameOutputByteForByte)
{
    const std::string expected = read_file_bytes(beside(L"replay_expected.bin"));
    ASSERT_FALSE(expected.empty()) << "replay_expected.bin is missing beside the test program";

    // The newest record at start, then the program.
    ASSERT_NO_FATAL_FAILURE(append({{L"4624", L"--address 192.0.2.1 --user operator", t0}}));
    ASSERT_TRUE(monitor.start(out_path));
    ASSERT_TRUE(wait_for(L"# Waiting for new events... ["));

    ASSERT_NO_FATAL_FAILURE(append({
        // A network attacker blocked at its fourth failure, then held: the next two are only dumped.
        {L"4625", L"--address 203.0.113.50 --user scanner", t0 + 100, 6},
        // Clear-text failures below their threshold, and one from the legacy source name.
        {L"4625", L"--address 203.0.113.60 --user u8 --logon-type 8", t0 + 200, 2},
        {L"4625", L"--address 203.0.113.61 --user legacy --source Security", t0 + 250},
        // The whitelisted address is never counted towards a block; the whitelisted user has a
        // threshold of its own, and its success clears its count.
        {L"4625", L"--address 198.51.100.9 --user scanner", t0 + 300, 2},
        {L"4625", L"--address 203.0.113.70 --user ips.ops", t0 + 400, 2},
        {L"4624", L"--address 203.0.113.70 --user ips.ops", t0 + 410},
        {L"4624", L"--address 203.0.113.71 --user someone --strings 20", t0 + 420},
        // Legacy records carry the SID of LocalSystem; the current ones none.
        {L"529", L"--address 203.0.113.80 --user u529", t0 + 500},
        {L"539", L"--address 203.0.113.81 --user u539 --logon-type 8", t0 + 510},
        // Neither dumped nor counted: no address, and an interactive logon.
        {L"4625", L"--address - --user dash", t0 + 600},
        {L"4625", L"--address 203.0.113.90 --user local --logon-type 2", t0 + 610},
        {L"4625", L"--address 203.0.113.99 --user last", t0 + 700},
    }));
    ASSERT_TRUE(wait_for(L"User:WORKGROUP\\last, from IP:203.0.113.99"))
        << narrow(read_output_file(out_path));

    // Remote Desktop, on the subscription's thread once the Security log is quiet: one address
    // blocked at its third connection, one whitelisted.
    ASSERT_NO_FATAL_FAILURE(
        append({{L"140", L"--address 192.0.2.7", t0 + 800, 3}, {L"140", L"--address 127.0.0.1", t0 + 900}}));
    EXPECT_TRUE(wait_for(L"IP 127.0.0.1  [WHITELIST IP]"));
    // A Security record right after a count line of the Remote Desktop thread, which leaves its
    // line open: the record's dump begins on a line of its own.
    ASSERT_NO_FATAL_FAILURE(append({{L"140", L"--address 192.0.2.8", t0 + 950}}));
    EXPECT_TRUE(wait_for(L"IP 192.0.2.8"));
    ASSERT_NO_FATAL_FAILURE(append({{L"4625", L"--address 203.0.113.98 --user after", t0 + 960}}));
    EXPECT_TRUE(wait_for(L"User:WORKGROUP\\after, from IP:203.0.113.98"));
    wait_for_size(expected.size());
    monitor.stop();

    const std::string actual = read_file_bytes(out_path);
    if (actual == expected)
        return;
    FILE *kept = _wfopen(beside(L"replay_actual.bin").c_str(), L"wb");
    if (kept != nullptr) {
        fwrite(actual.data(), 1, actual.size(), kept);
        fclose(kept);
    }
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    const size_t from = at > 400 ? at - 400 : 0;
    ADD_FAILURE() << "output differs from byte " << at << " (" << actual.size() << " bytes, expected "
                  << expected.size() << "); kept as replay_actual.bin\n---- expected from byte " << from << "\n"
                  << narrow(decode_output(expected.substr(from, 1200))) << "\n---- actual\n"
                  << narrow(decode_output(actual.substr(from, 1200)));
}

} // namespace

int run_child_scenario(const std::string &)
{
    return 2;
}
