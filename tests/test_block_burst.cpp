// The whole road, as on a server: tosmire-ips-sim.exe, configured in the registry, follows the
// simulated logs while evtlog appends a burst of failures and Remote Desktop events.
#include "tests/block_support.h"
#include <map>

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";

// Our tools lie next to this program, where CreateProcessW looks first.
static void evtlog(const std::wstring &arguments)
{
    ChildResult run = run_redirected(L"evtlog.exe " + arguments);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
}

TEST(BlockBurst, OneFilterPerAttackerThatReachedItsThreshold)
{
    SimFolder folder;
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_IP", REG_MULTI_SZ, L"10.0.0.9\0", 20));
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_user", REG_MULTI_SZ, L"admin\0", 14);
    for (auto [name, value] : {std::pair<const wchar_t *, DWORD>{L"max_logon_count_normal_net", 5},
                               {L"max_logon_count_whitelist_net", 8}, {L"max_logon_count_normal_RDP", 3}})
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, name, REG_DWORD, &value, 4);
    evtlog(L"4624 --address 192.0.2.1"); // the newest record at start

    std::wstring out_path = folder.file(L"monitor.txt");
    BackgroundMonitor monitor;
    ASSERT_TRUE(monitor.start(out_path));
    auto wait_for = [&](const wchar_t *piece, size_t times) {
        wait_until([&] { return count_of(read_output_file(out_path), piece) >= times; });
    };
    wait_for(L"# Waiting for new events... [", 1);
    evtlog(L"burst 12 4 --address 198.51.100.1"); // 3 each: below 5
    evtlog(L"4625 --address 203.0.113.66 --count 5");
    evtlog(L"140 --address 192.0.2.7 --count 3");
    evtlog(L"140 --address 10.0.0.9 --count 4");
    evtlog(L"4625 --address 10.0.0.9 --count 6");
    evtlog(L"4625 --address 203.0.113.77 --user ADMIN --count 8");
    wait_for(L"# exit:", 3);
    wait_for(L"  IP 10.0.0.9  [WHITELIST IP]\n", 4);
    // A block's report follows its "# exit:" line: let all 27 reports land before the end.
    wait_until([] { return read_own_reports().size() >= 27; });
    monitor.stop();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);

    std::wstring text = read_output_file(out_path);
    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    std::vector<std::wstring> blocked;
    for (const SimFilter &f : store.filters)
        blocked.push_back(f.dstaddr + L" " + f.description.substr(0, f.description.find(L", Time:")));
    std::sort(blocked.begin(), blocked.end());
    const std::wstring net = L"\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:";
    EXPECT_EQ(blocked, (std::vector<std::wstring>{L"192.0.2.7 192.0.2.7\n Logon Attempts:3",
                                                  L"203.0.113.66 203.0.113.66 WORKGROUP\\Administrator" + net + L"5",
                                                  L"203.0.113.77 203.0.113.77 WORKGROUP\\ADMIN" + net + L"8"}))
        << text;
    EXPECT_EQ(count_of(text, L"from IP:10.0.0.9 [WHITELIST IP]\n"), 6u) << "seen, never blocked nor reported";
    std::map<std::wstring, size_t> kinds; // reports by all but their strings (third to last tab)
    for (const std::wstring &r : read_own_reports())
        ++kinds[r.substr(0, r.find(L'\t', r.find(L'\t', 9) + 1)) + r.substr(r.rfind(L'\t'))];
    EXPECT_EQ(kinds, (std::map<std::wstring, size_t>{
                         {L"4000AF01\t4\t1\tRUNNING", 1}, {L"8000AF08\t2\t8\tATTACK", 12 + 4},
                         {L"8000AF07\t2\t7\tWHITELIST", 7}, {L"C000AF09\t16\t9\tBLOCKED", 1},
                         {L"C000AF19\t16\t9\tBLOCKED", 1},
                         {L"C000AF09\t16\t9\tBLOCKED for targeted attack on a whitelisted user", 1}}));
}

int run_child_scenario(const std::string &) { return 99; }
