// The whole road, as on a server: tosmire-ips-sim.exe, configured in the registry, follows the
// simulated logs while evtlog appends a burst of failures and Remote Desktop events.
#include "tests/app_log_reader.h"
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <string>

namespace {

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";

std::wstring program(const wchar_t *name)
{
    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    return L"\"" + path.substr(0, path.find_last_of(L'\\') + 1) + name + L"\" ";
}

void evtlog(const wchar_t *arguments)
{
    ChildResult run = run_redirected(program(L"evtlog.exe") + arguments);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
}

// The program writes UTF-16, the tools it starts narrow text; all of it ASCII here.
std::wstring read_ascii(const std::wstring &path)
{
    std::wstring text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    char buffer[65536];
    DWORD done = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &done, nullptr) && done > 0)
        for (DWORD i = 0; i < done; ++i)
            if (buffer[i] != 0 && buffer[i] != '\r')
                text += static_cast<wchar_t>(static_cast<unsigned char>(buffer[i]));
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return text;
}

size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

TEST(BlockBurst, OneFilterPerAttackerThatReachedItsThreshold)
{
    SimFolder folder;
    HKEY key = nullptr;
    ASSERT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExW(key, L"whitelist_IP", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(L"10.0.0.9\0"), 20);
    RegSetValueExW(key, L"whitelist_user", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(L"admin\0"), 14);
    const DWORD net = 5, whitelisted_net = 8, rdp = 3;
    RegSetValueExW(key, L"max_logon_count_normal_net", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&net), 4);
    RegSetValueExW(key, L"max_logon_count_whitelist_net", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&whitelisted_net), 4);
    RegSetValueExW(key, L"max_logon_count_normal_RDP", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&rdp), 4);
    RegCloseKey(key);
    evtlog(L"4624 --address 192.0.2.1"); // the newest record at start

    std::wstring out_path = folder.file(L"monitor.txt");
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION monitor = {};
    std::wstring line = program(L"tosmire-ips-sim.exe");
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &monitor));
    CloseHandle(out);
    auto wait_for = [&](const wchar_t *piece, size_t times) {
        for (int i = 0; i < 3000 && count_of(read_ascii(out_path), piece) < times; ++i)
            Sleep(10);
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
    TerminateProcess(monitor.hProcess, 0);
    WaitForSingleObject(monitor.hProcess, 10000);
    CloseHandle(monitor.hThread);
    CloseHandle(monitor.hProcess);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);

    std::wstring text = read_ascii(out_path);
    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    std::vector<std::wstring> blocked;
    for (const SimFilter &f : store.filters)
        blocked.push_back(f.dstaddr + L" " + f.description.substr(0, f.description.find(L", Time:")));
    std::sort(blocked.begin(), blocked.end());
    EXPECT_EQ(blocked, (std::vector<std::wstring>{
                           L"192.0.2.7 192.0.2.7\n Logon Attempts:3",
                           L"203.0.113.66 203.0.113.66 WORKGROUP\\Administrator\n Logon Type:3, "
                           L"Authentication:NTLM,\n Logon Attempts:5",
                           L"203.0.113.77 203.0.113.77 WORKGROUP\\ADMIN\n Logon Type:3, Authentication:NTLM,\n Logon "
                           L"Attempts:8"}))
        << text;
    EXPECT_EQ(count_of(text, L"# ADD TO BLACKLIST:BLOCKED for targeted attack on a whitelisted user\n"), 1u) << text;
    EXPECT_EQ(count_of(text, L"from IP:10.0.0.9 [WHITELIST IP]\n"), 6u);
    EXPECT_EQ(count_of(text, L"from IP:198.51.100."), 12u);

    size_t ids[6] = {}; // the last one counts any other report
    const DWORD wanted[5] = {0x4000AF01, 0x8000AF08, 0x8000AF07, 0xC000AF09, 0xC000AF19};
    for (const AppRecord &r : read_own_reports())
        ids[std::find(wanted, wanted + 5, r.event_id) - wanted] += r.event_id != wanted[4] || r.data == "BLOCKED";
    EXPECT_EQ(std::vector<size_t>(ids, ids + 5), (std::vector<size_t>{1, 12 + 4, 7, 2, 1}));
}

} // namespace

int run_child_scenario(const std::string &) { return 99; }
