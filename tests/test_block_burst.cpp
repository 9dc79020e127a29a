// The whole road, as on a server: tosmire-ips-sim.exe configured in the registry follows the
// simulated logs while evtlog appends a burst of failures and Remote Desktop events.
#include "tests/app_log_reader.h"
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <string>

namespace {

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";

std::wstring program_dir()
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, length < MAX_PATH ? length : 0);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

void evtlog(const std::wstring &arguments)
{
    ChildResult run = run_redirected(L"\"" + program_dir() + L"evtlog.exe\" " + arguments);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
}

// The monitor's output file: UTF-16 from the program, narrow from the tools it starts.
std::wstring read_output(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    char buffer[65536];
    DWORD done = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &done, nullptr) && done > 0)
        bytes.append(buffer, done);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    // Carriage returns are left out: the texts compared are ASCII with line feeds.
    std::wstring text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        if (i + 1 < bytes.size() && bytes[i] != 0 && bytes[i + 1] == 0)
            ++i;
        if (c != L'\r')
            text += c;
    }
    return text;
}

void write_configuration()
{
    HKEY key = nullptr;
    ASSERT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                 nullptr));
    const wchar_t ips[] = L"10.0.0.9\0localhost\0";
    const wchar_t users[] = L"admin\0";
    RegSetValueExW(key, L"whitelist_IP", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(ips), sizeof(ips));
    RegSetValueExW(key, L"whitelist_user", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(users), sizeof(users));
    const std::pair<const wchar_t *, DWORD> thresholds[] = {
        {L"max_logon_count_normal_net", 5},         {L"max_logon_count_whitelist_net", 8},
        {L"max_logon_count_normal_net_clear_text", 4}, {L"max_logon_count_whitelist_net_clear_text", 11},
        {L"max_logon_count_normal_RDP", 3},         {L"max_logon_count_whitelist_RDP", 11}};
    for (const auto &[name, value] : thresholds)
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
    RegCloseKey(key);
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
    write_configuration();
    evtlog(L"4624 --address 192.0.2.1"); // the newest record at start

    std::wstring out_path = folder.file(L"monitor.txt");
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION monitor = {};
    std::wstring line = L"\"" + program_dir() + L"tosmire-ips-sim.exe\"";
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &monitor));
    CloseHandle(out);
    auto wait_for = [&](const std::wstring &piece, size_t times) {
        for (int i = 0; i < 3000 && count_of(read_output(out_path), piece) < times; ++i)
            Sleep(10);
        return read_output(out_path);
    };
    std::wstring text = wait_for(L"# Waiting for new events... [", 1);

    evtlog(L"burst 12 4 --address 198.51.100.1");                // 3 each: below 5
    evtlog(L"4625 --address 203.0.113.66 --user guest --count 5"); // blocked at the fifth
    evtlog(L"140 --address 192.0.2.7 --count 3");                 // Remote Desktop, blocked at 3
    evtlog(L"140 --address 10.0.0.9 --count 4");
    evtlog(L"4625 --address 10.0.0.9 --count 6");
    evtlog(L"4625 --address 203.0.113.77 --user ADMIN --count 8 --logon-type 3");
    text = wait_for(L"# exit:", 3);
    wait_for(L"User:WORKGROUP\\Administrator, from IP:10.0.0.9 [WHITELIST IP]", 6);
    text = wait_for(L"  IP 10.0.0.9  [WHITELIST IP]\n", 4);
    TerminateProcess(monitor.hProcess, 0);
    WaitForSingleObject(monitor.hProcess, 10000);
    CloseHandle(monitor.hThread);
    CloseHandle(monitor.hProcess);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, parameters_key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);

    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    std::vector<std::wstring> blocked;
    for (const SimFilter &f : store.filters)
        blocked.push_back(f.dstaddr);
    std::sort(blocked.begin(), blocked.end());
    EXPECT_EQ(blocked, (std::vector<std::wstring>{L"192.0.2.7", L"203.0.113.66", L"203.0.113.77"})) << text;
    for (const SimFilter &f : store.filters) {
        if (f.dstaddr == L"203.0.113.77") {
            EXPECT_NE(f.description.find(L"WORKGROUP\\ADMIN\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:8, "),
                      std::wstring::npos);
        } else if (f.dstaddr == L"192.0.2.7") {
            EXPECT_EQ(f.description.find(L"192.0.2.7\n Logon Attempts:3, Time:"), 0u);
        }
    }
    EXPECT_EQ(count_of(text, L"# ADD TO BLACKLIST:BLOCKED for targeted attack on a whitelisted user\n"), 1u) << text;
    EXPECT_EQ(count_of(text, L"  IP 10.0.0.9  [WHITELIST IP]\n"), 4u) << text;
    EXPECT_EQ(count_of(text, L"from IP:198.51.100."), 12u) << text;

    size_t running = 0, attack = 0, whitelist = 0, blocked_net = 0, blocked_rdp = 0;
    for (const AppRecord &r : read_own_reports()) {
        running += r.event_id == 0x4000AF01 && r.data == "RUNNING";
        attack += r.event_id == 0x8000AF08;
        whitelist += r.event_id == 0x8000AF07;
        blocked_net += r.event_id == 0xC000AF09;
        blocked_rdp += r.event_id == 0xC000AF19;
    }
    EXPECT_EQ(running, 1u);
    EXPECT_EQ(attack, 12u + 4u);
    EXPECT_EQ(whitelist, 7u);
    EXPECT_EQ(blocked_net, 2u);
    EXPECT_EQ(blocked_rdp, 1u);
}

} // namespace

int run_child_scenario(const std::string &) { return 99; }
