// The Security log loop against the simulated event log. Each scenario runs the main entry in
// a child process (its error exits end the process); a helper thread in the child appends
// records and sends requests the way the key console does, and the parent reads the output.
#include <gtest/gtest.h>
#include <map>
#include "engine/failure_history.h"
#include "engine/monitor.h"
#include "engine/security_log.h"
#include "engine/main_entry.h"
#include "engine/rdp_monitor.h"
#include "engine/forwarded_monitor.h"
#include "engine/logon_event.h"
#include "config/config.h"
#include "service/service_host.h"
#include "console/key_console.h"
#include "tests/child_harness.h"
#include "tests/monitor_child.h"
#include "tests/event_record.h"
#include "tests/block_support.h"
#include "tests/netsh_view.h"
#include <sstream>
#include <tlhelp32.h>

namespace {

// ---- child side ----

void append(const EventKind &kind, const wchar_t *address, const wchar_t *logon_type = L"3", int log = sim_security,
            const wchar_t *computer = L"HOST", DWORD time = 1651241109, WORD flags = 0)
{
    std::vector<BYTE> record = build_record(kind, address, logon_type, time, nullptr, computer);
    if (!record.empty())
        header_of(record).ReservedFlags = flags;
    if (record.empty() || sim_append_records(log, record.data(), static_cast<DWORD>(record.size())) != 0)
        printf("APPEND FAILED\n");
}

// Records of every kind, then records while paused, then a cleared log.
void follow()
{
    for (const wchar_t *address : {L"203.0.113.1", L"203.0.113.1", L"-", L"203.0.113.2"})
        append(e4625, address);
    append(e4625, L"203.0.113.3", L"2"); // interactive: not counted
    append(e529, L"203.0.113.4", L"10");
    append(e539, L"203.0.113.4", L"8");
    append(e4776, L"203.0.113.5");
    append(e4624, L"203.0.113.6"); // successes of users not whitelisted change nothing
    append(e528, L"203.0.113.6");
    settle();
    monitor_paused = true;
    append(e4625, L"203.0.113.7");
    settle(); // read, and dropped
    monitor_paused = false;
    append(e4625, L"203.0.113.8");
    settle();
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ClearEventLogW(log, nullptr); // the new log starts with the clearing event, which the recovery seeks to
    CloseEventLog(log);
    settle();
    append(e4625, L"203.0.113.1");
    settle();
}

// A quit stored while the loop serves a long listing, after it took that request, must not
// wait for the next record. The loop touches the table only for records and requests, and
// none is pending while it is filled here.
void quit_while_serving()
{
    for (unsigned i = 0; i < 1000; ++i)
        record_failure(logon_failures, (L"192.0.2." + std::to_wstring(i)).c_str(), 1u);
    send_monitor_request(MonitorRequest::show_history);
    wait_for(request_taken);
    send_monitor_request(MonitorRequest::quit);
    Sleep(5000);
    printf("QUIT WAS LEFT WAITING\n"); // the process should have ended long before
}

// A netsh of this process that is running now, opened for waiting; null when there is none.
HANDLE running_netsh()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE found = nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(entry.szExeFile, L"netsh.exe") == 0)
            found = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    CloseHandle(snapshot);
    return found;
}

uint32_t attempts_of(const wchar_t *address)
{
    for (uint32_t i = 0; i < logon_failures.count; ++i)
        if (wcscmp(logon_failures.address[i], address) == 0)
            return logon_failures.attempts[i];
    return 0;
}

bool is_blocked(const wchar_t *address) { return attempts_of(address) == blocked; }

// The first attacker's netsh hangs past the monitor's limit; the second attacker comes while
// it hangs and must still be counted and blocked. The hung netsh ends before the child does.
void hung_netsh()
{
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", L"33000");
    for (int i = 0; i < 4; ++i)
        append(e4625, L"203.0.113.21", L"8"); // clear text: blocked at the 4th
    HANDLE hung = nullptr;
    for (int i = 0; i < 20000 && (hung = running_netsh()) == nullptr; ++i)
        Sleep(1);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", nullptr); // for the netsh runs to come
    if (hung == nullptr) {
        printf("NO NETSH\n");
        return;
    }
    for (int i = 0; i < 4; ++i)
        append(e4625, L"203.0.113.22", L"8");
    for (int i = 0; i < 600 && !is_blocked(L"203.0.113.22"); ++i)
        Sleep(100);
    WaitForSingleObject(hung, 60000);
    CloseHandle(hung);
}

// The configuration key that the program reads (the reload and replay tests write it), with what
// the reload scenario starts from.
const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";
const wchar_t first_list[] = L"127.0.0.1\0", second_list[] = L"127.0.0.1\0" L"203.0.113.51\0";

void set_value(const wchar_t *name, DWORD type, const void *data, DWORD size)
{
    if (RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, name, type, data, size) != ERROR_SUCCESS)
        printf("REGISTRY WRITE FAILED\n");
}

// The key edited while the loop runs, then the reload control: the counts go on through both.
void reload()
{
    for (int i = 0; i < 2; ++i) {
        append(e4625, L"203.0.113.51", L"8");
        append(e4625, L"203.0.113.52", L"8");
    }
    settle();
    set_value(L"whitelist_IP", REG_MULTI_SZ, second_list, sizeof(second_list));
    if (!wait_for([] { return whitelist_IP.count == 2; }))
        printf("NOT RELOADED\n");
    for (int i = 0; i < 3; ++i)
        append(e4625, L"203.0.113.51", L"8"); // 3 to 5, whitelisted now: never blocked
    const DWORD lowered = 3;
    set_value(L"max_logon_count_normal_net_clear_text", REG_DWORD, &lowered, sizeof(lowered));
    if (!wait_for([] { return max_logon_count_normal_net_clear_text == 3; }))
        printf("NOT RELOADED\n");
    monitor_control(SERVICE_CONTROL_PARAMCHANGE); // nothing changed: told all the same
    settle();
    append(e4625, L"203.0.113.52", L"8"); // the third: blocked at the new threshold
    settle();
}

// One attacker failing 7 times on each of three servers, whose clocks differ by some seconds
// (RDS02's events typed, the others' data strings). While forwarded_events is 0 the
// channel is not followed; switched on by an edit of the key, the hostile and malformed events
// are rejected, the collector's own is left to its Security log, and the attacker is blocked
// at the 21st, a failure in this computer's Security log whose record is older than the
// arrivals counted before it; then switched off again.
void fleet()
{
    const auto attack = [](int on_last) {
        for (auto [server, time] : {std::pair{L"RDS01", 1651241109}, {L"RDS02", 1651241100}, {L"RDS03", 1651241105}})
            for (int i = 0; i < (time == 1651241105 ? on_last : 7); ++i)
                append(e4625, L"203.0.113.9", L"3", sim_forwarded, server, time, time == 1651241100 ? sim_forwarded_typed : 0);
    };
    attack(7);
    const DWORD on = 1, off = 0;
    set_value(L"forwarded_events", REG_DWORD, &on, sizeof(on));
    if (!wait_for([] { return forwarded_subscription != nullptr; }))
        printf("NOT FOLLOWED\n");
    wchar_t self[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(self, &length);
    append(e4625, L"203.0.113.9", L"3", sim_forwarded, self);
    append(e4625, L"203.0.113.9", L"3", sim_forwarded, L"RDS\" dstaddr=192.0.2.1");
    append(e4625, L"203.0.113.9\" dstaddr=192.0.2.1", L"3", sim_forwarded, L"RDS01");
    append(e4625, L"203.0.113.9", L"x", sim_forwarded, L"RDS01");
    append(e4625, L"203.0.113.9", L"3x", sim_forwarded, L"RDS01");
    append(e4625, L"203.0.113.9", L"4294967299", sim_forwarded, L"RDS01");
    append({4625, EVENTLOG_AUDIT_FAILURE, 12544, 12, 19, 10, 5}, L"", L"3", sim_forwarded, L"RDS01"); // cut short
    append(e4625, L"0.0.0.0", L"3", sim_forwarded, L"RDS07");
    attack(6);
    if (!wait_for([] { return attempts_of(L"203.0.113.9") == 20; }))
        printf("NOT COUNTED\n");
    append(e4625, L"203.0.113.9");
    if (!wait_for([] { return is_blocked(L"203.0.113.9"); }))
        printf("NOT BLOCKED\n");
    set_value(L"forwarded_events", REG_DWORD, &off, sizeof(off));
    if (!wait_for([] { return forwarded_subscription == nullptr; }))
        printf("NOT CLOSED\n");
}

// Attacks on every path of the block decision, at their own times (t0: 2025-12-06 05:46:40 UTC),
// under the thresholds the replay test configures: net 4, clear text 3, RDP 3, whitelisted net 6.
std::vector<BYTE> attack_records()
{
    constexpr DWORD t0 = 1765000000;
    std::vector<BYTE> all;
    auto add = [&all](const EventKind &kind, const wchar_t *address, const wchar_t *type, DWORD time, int count,
                      const wchar_t *user = nullptr) {
        for (int i = 0; i < count; ++i) {
            std::vector<BYTE> r = build_record(kind, address, type, time + static_cast<DWORD>(i), user);
            all.insert(all.end(), r.begin(), r.end());
        }
    };
    add(e4625, L"203.0.113.1", L"3", t0, 6);        // blocked at 4, then two held
    add(e4625, L"203.0.113.1", L"3", t0 + 30, 1);   // after the hold: counts 1
    add(e529, L"203.0.113.2", L"8", t0 + 100, 3);   // clear text, blocked at 3
    add(e4625, L"203.0.113.3", L"10", t0 + 200, 3); // Remote Desktop, blocked at 3
    add(e4625, L"10.0.0.9", L"3", t0 + 300, 7);     // whitelisted address: never
    add(e4625, L"203.0.113.5", L"3", t0 + 400, 6, L"admin"); // whitelisted user: blocked at 6
    add(e4625, L"203.0.113.6", L"3", t0 + 500, 3, L"admin");
    add(e4624, L"203.0.113.6", L"3", t0 + 503, 1, L"admin"); // clears its count
    add(e4625, L"203.0.113.6", L"3", t0 + 504, 2, L"admin");
    add(e4625, L"203.0.113.7", L"3", t0 + 600, 2);
    add(e4625, L"203.0.113.8", L"3", t0 + 700, 3);
    add(e4625, L"203.0.113.8", L"3", t0 + 702 + 1981, 1); // past the window: counts 1
    add(e4625, L"0.0.0.0", L"3", t0 + 2700, 1);     // spoofed
    add(e4776, L"203.0.113.10", L"", t0 + 2710, 1); // rejected, as the next two
    add(e4625, L"203.0.113.11", L"2", t0 + 2711, 1);
    add(e4625, L"-", L"3", t0 + 2712, 1);
    add(e4625, L"=1+2\",x", L"3", t0 + 2800, 4);   // reaches its threshold, no filter possible
    return all;
}

// The simulated ReadEventLogW, and one standing for a log service that hands over record 11
// with a Length no record can have, the good records behind it in the same batch; a read by
// number then fails with seek_error when that is set.
extern "C" decltype(&ReadEventLogW) __imp_ReadEventLogW;
decltype(&ReadEventLogW) sim_read = nullptr;
DWORD seek_error = 0;
BOOL WINAPI read_with_bad_length(HANDLE log, DWORD flags, DWORD number, void *buffer, DWORD size, DWORD *read,
                                 DWORD *needed)
{
    if ((flags & EVENTLOG_SEEK_READ) != 0 && seek_error != 0) {
        SetLastError(seek_error);
        return FALSE;
    }
    const BOOL done = sim_read(log, flags, number, buffer, size, read, needed);
    for (DWORD at = 0; done && (flags & EVENTLOG_SEQUENTIAL_READ) != 0 && at < *read;) {
        EVENTLOGRECORD *record = reinterpret_cast<EVENTLOGRECORD *>(static_cast<BYTE *>(buffer) + at);
        at += record->Length;
        if (record->RecordNumber == 11)
            record->Length = 2;
    }
    return done;
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario.starts_with("replay-bad-length")) {
        sim_read = __imp_ReadEventLogW;
        __imp_ReadEventLogW = read_with_bad_length;
        seek_error = scenario.ends_with("-denied") ? ERROR_ACCESS_DENIED : 0;
        wchar_t program[] = L"tosmire-ips-sim.exe", t[] = L"-t", q[] = L"-q", *argv[] = {program, t, q, nullptr};
        return monitor_main(3, argv);
    }
    const std::map<std::string, void (*)()> threaded = {
        {"follow", follow}, {"quit-while-serving", quit_while_serving}, {"early-show", [] {}},
        {"hung-netsh", hung_netsh}, {"reload", reload}, {"fleet", fleet}, {"attacks", [] {
             std::vector<BYTE> records = attack_records();
             if (sim_append_records(sim_security, records.data(), static_cast<DWORD>(records.size())) != 0)
                 printf("APPEND FAILED\n");
             settle();
         }}};
    if (scenario == "early-quit")
        send_monitor_request(MonitorRequest::quit); // then a key right after it, which must not undo it
    if (scenario == "early-show" || scenario == "early-quit")
        send_monitor_request(MonitorRequest::show_history);
    if (scenario.starts_with("rpc-gone")) {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", L"1717");
        g_service_host.is_service = scenario != "rpc-gone-console";
        g_service_host.stop_requested = scenario == "rpc-gone-stopping";
    }
    if (scenario == "fleet") {
        const DWORD off = 0;
        set_value(L"forwarded_events", REG_DWORD, &off, sizeof(off));
        set_value(L"ipsec_store", REG_SZ, L"domain:corp.example", sizeof(L"domain:corp.example"));
    }
    if (scenario == "reload") {
        set_value(L"whitelist_IP", REG_MULTI_SZ, first_list, sizeof(first_list));
        const DWORD threshold = 4;
        set_value(L"max_logon_count_normal_net_clear_text", REG_DWORD, &threshold, sizeof(threshold));
    }
    append(e4625, L"203.0.113.99"); // the newest record at start: never processed
    if (auto found = threaded.find(scenario); found != threaded.end()) {
        scenario_actions = found->second;
        CloseHandle(CreateThread(nullptr, 0, run_actions, nullptr, 0, nullptr));
    }
    wchar_t program[] = L"tosmire-ips-sim.exe", *argv[] = {program, nullptr};
    return monitor_main(1, argv);
}

namespace {

// ---- parent side ----

// A child scenario's output, in a fresh simulation folder; expects it to end with tail and
// exit with code.
std::wstring expect_run(const char *scenario, const std::wstring &tail, DWORD code = 0)
{
    SimFolder folder;
    ChildResult run = run_scenario(scenario);
    EXPECT_TRUE(run.finished && run.exit_code == code && run.output.ends_with(tail))
        << scenario << ": exit code " << run.exit_code << "\n" << run.output;
    return run.output;
}

// The program itself (found next to this one) in a fresh simulation folder, with the Security
// log's open hook set to open_error.
ChildResult run_program(const wchar_t *open_error)
{
    SimFolder folder;
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", open_error);
    ChildResult run = run_redirected(L"tosmire-ips-sim.exe");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
    EXPECT_TRUE(run.finished) << run.output;
    return run;
}

TEST(SecurityLogLoop, ProgramEndsAtTheSeekOnAnEmptyLogAndWith575WhenTheLogDoesNotOpen)
{
    ChildResult empty = run_program(nullptr), denied = run_program(L"1314");
    EXPECT_NE(empty.exit_code, 0u);
    EXPECT_NE(empty.output.find(L"# Open Security log: OK\n"), std::wstring::npos) << empty.output;
    EXPECT_TRUE(empty.output.ends_with(L"seek FAILED " + std::to_wstring(empty.exit_code))) << empty.output;
    EXPECT_EQ(denied.exit_code, 575u);
    EXPECT_TRUE(denied.output.ends_with(L"# Open Security log: A required privilege is not held by the client: 1314\n"))
        << denied.output;
}

TEST(SecurityLogLoop, CountsTheAcceptedFailuresPerAddressDropsThemWhilePausedAndFollowsAClearedLog)
{
    std::wstring out = expect_run(
        "follow", L"\n\n[   3] 203.0.113.1\n[   1] 203.0.113.2\n[   2] 203.0.113.4\n[   1] 203.0.113.8\n\n(Quit)");
    EXPECT_NE(out.find(L"# Waiting for new events... ["), std::wstring::npos);
    EXPECT_EQ(out.find(L"203.0.113.99"), std::wstring::npos); // the newest record at start
    EXPECT_EQ(out.find(L"203.0.113.7"), std::wstring::npos);
    const std::wstring opened = L"# Open Security log: OK\n";
    size_t cleared = out.find(L"# The audit log was cleared.\n");
    EXPECT_LT(out.find(opened), cleared);
    EXPECT_EQ(out.find(opened, cleared), out.rfind(opened)); // opened once more, after the clear
    EXPECT_NE(out.find(L"waiting for new events...[", cleared), std::wstring::npos);
}

TEST(SecurityLogLoop, RequestsAreNeitherLostNorLeftWaiting)
{
    expect_run("early-show", L"]\n\nEMPTY\n\n(Quit)");
    expect_run("early-quit", L"]\n\n(Quit)");
    expect_run("quit-while-serving", L"[   1] 192.0.2.999\n\n(Quit)");
}

// Takes some 35 seconds: the monitor gives a netsh 30 seconds.
TEST(SecurityLogLoop, AHungNetshIsLeftRunningAndTheNextAttackerIsCountedAndBlocked)
{
    SimFolder folder;
    ChildResult run = run_scenario("hung-netsh");
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.exit_code << "\n" << run.output;
    const std::wstring gave_up =
        L"\n!! netsh did not end within 30 seconds: WaitForSingleObject() WAIT_TIMEOUT 258, left running\n"
        L"# exit:258\n!! 203.0.113.21 not blocked: netsh failed; its next failure after 15 seconds tries again\n\n\n";
    const size_t at = run.output.find(gave_up);
    ASSERT_NE(at, std::wstring::npos) << run.output;
    EXPECT_LT(run.output.find(L"dstaddr=203.0.113.21 "), at);
    // After the limit: the next attacker's three counts, then its block, which netsh carries out.
    size_t next = at;
    for (int i = 0; i < 3 && next != std::wstring::npos; ++i)
        next = run.output.find(L"from IP:203.0.113.22, Type: 8\n", next + 1);
    EXPECT_NE(next, std::wstring::npos) << run.output;
    const size_t block = run.output.find(L"\n# ADD TO BLACKLIST:\nnetsh ipsec static add filter filterlist=Brek srcaddr=me "
                                         L"dstaddr=203.0.113.22 ", at);
    EXPECT_TRUE(block != std::wstring::npos && run.output.find(L"\n# exit:0\n", block) != std::wstring::npos)
        << run.output;
    // The hung netsh did its work in the end, after the one that came later.
    SimStore store;
    ASSERT_TRUE(store_load(folder.file(L"netsh-store.txt"), store));
    std::vector<std::wstring> filters;
    for (const SimFilter &filter : store.filters)
        filters.push_back(filter.dstaddr);
    EXPECT_EQ(filters, (std::vector<std::wstring>{L"203.0.113.22", L"203.0.113.21"}));
}

// An edit of the configuration key takes effect by itself, the reload control always tells
// what is in force, and the failure history keeps its counts through both.
TEST(SecurityLogLoop, AnEditOfTheKeyAndTheReloadControlPutTheConfigurationInForceBetweenRecords)
{
    const std::wstring out = expect_run("reload", L"(Quit)");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    const std::wstring reloaded = L"# Configuration reloaded: 2 addresses, 6 user names, thresholds 21/";
    const std::wstring pieces[] = {
        L"]     2  User:s6\\s5, from IP:203.0.113.51, Type: 8\n", reloaded + L"4/4 49/11/11\n",
        L"]     5  User:s6\\s5, from IP:203.0.113.51 [WHITELIST IP]\n", reloaded + L"3/4 49/11/11\n",
        reloaded + L"3/4 49/11/11\n", L"\n# ADD TO BLACKLIST:\n", L"dstaddr=203.0.113.52 ", L"Logon Attempts:3,",
        L"\n# exit:0\n"};
    size_t at = 0;
    for (const std::wstring &piece : pieces) {
        const size_t found = out.find(piece, at);
        ASSERT_NE(found, std::wstring::npos) << "missing in order: " << piece << "\n" << out;
        at = found + piece.size();
    }
    EXPECT_EQ(out.find(L"NOT RELOADED"), std::wstring::npos);
    EXPECT_EQ(out.find(L"dstaddr=203.0.113.51 "), std::wstring::npos) << "a whitelisted address is never blocked";
    EXPECT_EQ(count_of(out, L"# Configuration reloaded:"), 3u) << out;
}

TEST(SecurityLogLoop, FailuresOnEveryServerAddUpToOneBlockInTheDomainStoreAndHostileOnesAreRejected)
{
    SimFolder folder;
    ChildResult run = run_scenario("fleet");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
    const std::wstring &out = run.output;
    EXPECT_EQ(out.find(L"NOT "), std::wstring::npos) << out;
    const size_t on = out.find(L"# Open Forwarded log: OK\n");
    EXPECT_LT(out.find(L"# IPsec store: the domain store of corp.example\n"), on);
    EXPECT_EQ(out.find(L"Forwarded event"), out.find(L"Forwarded event", on)) << "followed while at 0";
    const wchar_t *rejected[] = {L"4625 rejected: the computer name is not a name (1 so far)",
                                 L"4625 from RDS01 rejected: IpAddress is not an address (2 so far)",
                                 L"4625 from RDS01 rejected: LogonType is not a number (3 so far)",
                                 L"4625 from RDS01 rejected: LogonType is not a number (4 so far)",
                                 L"4625 from RDS01 rejected: LogonType is not a number (5 so far)",
                                 L"4625 from RDS01 rejected: IpAddress is not an address (6 so far)"};
    for (const wchar_t *line : rejected)
        EXPECT_EQ(count_of(out, L"\n!! Forwarded event " + std::wstring(line) + L"\n"), 1u) << line << "\n" << out;
    EXPECT_EQ(count_of(out, L", from IP:203.0.113.9 on RDS0"), 20u) << out;
    EXPECT_EQ(count_of(out, L"\n# The connected hosts are on RDS07: not listed here\n"), 1u) << out;
    EXPECT_NE(out.find(L"# Forwarded events are no longer followed\n"), std::wstring::npos);

    wchar_t when[time_text_chars], self[MAX_COMPUTERNAME_LENGTH + 1];
    format_event_time(1651241109, when);
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(self, &length));
    const std::wstring servers = std::wstring(self) + L", RDS01, RDS02, RDS03";
    const std::wstring description = L"203.0.113.9 s6\\s5 on " + servers + L" Logon Type:3, Authentication:s12, "
                                     L"Logon Attempts:21, Time:" + std::wstring(when);
    EXPECT_EQ(store_text(folder, L"domain:corp.example"),
              L"filterlist Brek|\nfilter Brek|me|203.0.113.9|" + description + L"|ANY|yes||||\n");
    EXPECT_EQ(store_text(folder), L"") << "a block in the local store";
    const std::vector<JournalEntry> runs = journal(folder);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].cmdline, as_run(L"netsh ipsec static set store location=domain domain=corp.example"));
    EXPECT_EQ(runs[1].cmdline, runs[0].cmdline);
    EXPECT_TRUE(command_file_gone(runs[3])) << runs[3].cmdline;
    const std::vector<std::wstring> reports = read_own_reports();
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(), [](auto &r) { return r.starts_with(L"8000AF08\t"); }), 20);
    EXPECT_EQ(std::count(reports.begin(), reports.end(),
                         L"C000AF09\t16\t9\ts6|s5|203.0.113.9 on " + servers + L"|21|3|s12\tBLOCKED"), 1);
}

// Lost unasked, the log connection ends a service as it ends a console program; while a stop
// was asked for, it is part of that stop.
TEST(SecurityLogLoop, LostLogConnectionEndsAServiceInOrderOnlyWhenItStops)
{
    expect_run("rpc-gone-service", L"read failed 1717", 1717);
    expect_run("rpc-gone-console", L"read failed 1717", 1717);
    expect_run("rpc-gone-stopping", L"(Quit)");
}

// A callback held inside while the handles are closed, then rendering as rdp_evt_handler does.
volatile bool callback_entered;
DWORD render_error = ERROR_NOT_READY;
DWORD WINAPI slow_callback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE event)
{
    if (action != EvtSubscribeActionDeliver)
        return 0;
    callback_entered = true;
    Sleep(300);
    static BYTE values[4096];
    DWORD used = 0, count = 0;
    bool rendered = EvtRender(rdp_render_context, event, EvtRenderEventValues, sizeof(values), values, &used, &count);
    render_error = rendered ? 0 : GetLastError();
    return 0;
}

TEST(CloseMonitorHandles, SubscriptionEndsBeforeItsRenderContextIsClosed)
{
    SimFolder folder;
    const wchar_t *path = L"Event/EventData/Data";
    rdp_render_context = EvtCreateRenderContext(1, &path, EvtRenderContextValues);
    rdp_subscription = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, nullptr,
                                    slow_callback, EvtSubscribeToFutureEvents);
    ASSERT_TRUE(rdp_render_context != nullptr && rdp_subscription != nullptr);
    append({140, EVENTLOG_WARNING_TYPE, 0, 1, 0, 9}, L"198.18.0.1", L"", sim_rdp);
    ASSERT_TRUE(wait_for([] { return callback_entered; }));
    close_monitor_handles();
    EXPECT_TRUE(render_error == 0 && rdp_subscription == nullptr && rdp_render_context == nullptr) << render_error;
}

// Closing the handles waits for a delivery that is still handling its event, also when closing
// the subscription would not wait for it (Windows does not promise that it does): here the
// subscription is kept out of close_monitor_handles' reach, and the delivery runs a slow netsh.
TEST(CloseMonitorHandles, WaitsForADeliveryStillHandlingItsEvent)
{
    SimFolder folder;
    const DWORD threshold = max_logon_count_normal_RDP;
    max_logon_count_normal_RDP = 1; // the first event blocks: netsh runs inside the delivery
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", L"2000");
    start_rdp_monitor();
    EVT_HANDLE subscription = rdp_subscription;
    rdp_subscription = nullptr;
    ASSERT_TRUE(subscription != nullptr && rdp_render_context != nullptr);
    append({140, EVENTLOG_WARNING_TYPE, 0, 1, 0, 9}, L"198.18.0.2", L"", sim_rdp);
    ASSERT_TRUE(wait_for([] { return rdp_failures.count > 0; }));
    close_monitor_handles();
    EXPECT_EQ(rdp_failures.attempts[rdp_failures.count - 1], blocked) << "closed during the delivery";
    EXPECT_EQ(rdp_render_context, nullptr);
    EvtClose(subscription);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", nullptr);
    max_logon_count_normal_RDP = threshold;
}

// ---- replay (-t) ----

// The configuration of the replay test, without max_logon_count_whitelist_RDP, which a start of
// the monitor would write back with its default and a replay must not; removed at the end.
struct ReplayConfiguration {
    ReplayConfiguration()
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_IP", REG_MULTI_SZ, L"10.0.0.9\0", 20);
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_user", REG_MULTI_SZ, L"admin\0", 14);
        for (auto [name, value] : {std::pair<const wchar_t *, DWORD>{L"max_logon_count_normal_net", 4},
                                   {L"max_logon_count_whitelist_net", 6}, {L"max_logon_count_normal_net_clear_text", 3},
                                   {L"max_logon_count_whitelist_net_clear_text", 5}, {L"max_logon_count_normal_RDP", 3}})
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, name, REG_DWORD, &value, 4);
    }
    ~ReplayConfiguration() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key); }
};

// The decision lines of an output: counts, successes, spoofed notices, blocks with their commands.
std::vector<std::wstring> decision_lines(const std::wstring &out)
{
    std::vector<std::wstring> lines;
    std::wistringstream in(out);
    bool command = false;
    for (std::wstring line; std::getline(in, line);) {
        command = command || line.starts_with(L"netsh ipsec static add filter");
        if (command || (line.starts_with(L"[") && line.find(L"User:") != std::wstring::npos) ||
            line.starts_with(L"# ADD TO BLACKLIST") || line.starts_with(L"!! Not a plain"))
            lines.push_back(line);
        command = command && !line.ends_with(L"mirrored=Yes");
    }
    return lines;
}

ChildResult replay(const std::wstring &arguments) { return run_redirected(L"tosmire-ips-sim.exe -t " + arguments); }

std::wstring quoted(const std::wstring &path) { return L"\"" + path + L"\""; }

std::wstring summary_of(const std::wstring &out) { return out.substr(std::min(out.find(L"\n# Summary"), out.size())); }

// One set of records: the running monitor decides on them as they arrive, the replay reads them
// from the log and from a saved copy of it. The summary's rows are checked in their CSV form,
// whose times are UTC.
TEST(Replay, DecidesAsTheMonitorDoesAndRunsReportsAndWritesNothing)
{
    ReplayConfiguration configuration;
    SimFolder folder;
    append(e4625, L"203.0.113.99"); // the monitor's newest record at start, which it leaves
    std::vector<BYTE> records = attack_records();
    ASSERT_EQ(0u, sim_append_records(sim_security, records.data(), static_cast<DWORD>(records.size())));
    ChildResult live = replay(L"--csv " + quoted(folder.file(L"summary.csv")));
    ASSERT_TRUE(live.finished && live.exit_code == 0) << live.exit_code << "\n" << live.output;
    EXPECT_EQ(count_of(live.output, L"\n# not run: replay\n"), 4u) << live.output;
    for (const wchar_t *file : {L"netsh.log", L"auditpol.log", L"Application.evt"})
        EXPECT_EQ(GetFileAttributesW(folder.file(file).c_str()), INVALID_FILE_ATTRIBUTES) << "a program ran or reported";
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key, L"max_logon_count_whitelist_RDP", RRF_RT_ANY, nullptr,
                           nullptr, nullptr), ERROR_FILE_NOT_FOUND) << "the replay wrote a default";
    const std::string csv = read_file_bytes(folder.file(L"summary.csv"));
    EXPECT_EQ(csv, "\xEF\xBB\xBFsection,name,logon_type,attempts_at_block,peak_attempts,threshold,blocked_at_utc,"
                   "first_failure_utc,last_failure_utc,failures,failures_after_block,blocks,count,note\r\n"
                   "\"blocked\",\"203.0.113.1\",3,4,,,2025-12-06 05:46:43,2025-12-06 05:46:40,2025-12-06 05:47:10,7,3,1,,\r\n"
                   "\"blocked\",\"203.0.113.2\",8,3,,,2025-12-06 05:48:22,2025-12-06 05:48:20,2025-12-06 05:48:22,3,0,1,,\r\n"
                   "\"blocked\",\"203.0.113.3\",10,3,,,2025-12-06 05:50:02,2025-12-06 05:50:00,2025-12-06 05:50:02,3,0,1,,\r\n"
                   "\"blocked\",\"203.0.113.5\",3,6,,,2025-12-06 05:53:25,2025-12-06 05:53:20,2025-12-06 05:53:25,6,0,1,,"
                   "\"whitelisted user\"\r\n"
                   "\"whitelisted address\",\"10.0.0.9\",3,,7,6,,2025-12-06 05:51:40,2025-12-06 05:51:46,7,,,,\r\n"
                   "\"whitelisted user\",\"admin\",,,6,6,,,,11,,1,,\r\n"
                   "\"half threshold\",\"203.0.113.6\",3,,3,6,,2025-12-06 05:55:00,2025-12-06 05:55:05,5,,,,\r\n"
                   "\"half threshold\",\"203.0.113.7\",3,,2,4,,2025-12-06 05:56:40,2025-12-06 05:56:41,2,,,,\r\n"
                   "\"half threshold\",\"203.0.113.8\",3,,3,4,,2025-12-06 05:58:20,2025-12-06 06:31:23,4,,,,\r\n"
                   "\"half threshold\",\"'=1+2\"\",x\",3,,4,4,,2025-12-06 06:33:20,2025-12-06 06:33:23,4,,,,"
                   "\"not a plain address: no filter\"\r\n"
                   "\"records\",\"read\",,,,,,,,,,,47,\r\n\"records\",\"accepted\",,,,,,,,,,,43,\r\n"
                   "\"records\",\"rejected\",,,,,,,,,,,3,\r\n\"records\",\"damaged\",,,,,,,,,,,0,\r\n"
                   "\"records\",\"spoofed\",,,,,,,,,,,1,\r\n"
                   "\"records\",\"ignored after a block\",,,,,,,,,,,2,\r\n"
                   "\"records\",\"successful logons of whitelisted users\",,,,,,,,,,,1,\r\n"
                   "\"event ID\",\"529\",,,,,,,,,,,3,\r\n\"event ID\",\"4624\",,,,,,,,,,,1,\r\n"
                   "\"event ID\",\"4625\",,,,,,,,,,,42,\r\n\"event ID\",\"4776\",,,,,,,,,,,1,\r\n");

    // The same log saved; cut in the middle of its 11th record, or with strings outside that
    // record; and an empty log.
    const std::wstring saved = folder.file(L"saved.evt"), cut = folder.file(L"cut.evt"), empty = folder.file(L"empty.evt");
    HANDLE log = OpenEventLogW(nullptr, L"Security"), rdp = OpenEventLogW(nullptr, L"RDP");
    ASSERT_TRUE(BackupEventLogW(log, saved.c_str()) && BackupEventLogW(rdp, empty.c_str()));
    CloseEventLog(rdp);
    CloseEventLog(log);
    std::string bytes = read_file_bytes(saved);
    size_t at = sizeof(ElfLogfileHeader);
    for (int i = 0; i < 10; ++i)
        at += *reinterpret_cast<const DWORD *>(bytes.data() + at);
    std::string damaged = bytes;
    reinterpret_cast<EVENTLOGRECORD *>(damaged.data() + at)->StringOffset = 0x7FFFFFF0;
    std::string renumbered = damaged; // its 10th record claims number 3
    reinterpret_cast<EVENTLOGRECORD *>(renumbered.data() + at - *reinterpret_cast<const DWORD *>(bytes.data() + at - 4))
        ->RecordNumber = 3;
    for (const auto &[path, content] : {std::pair{cut, bytes.substr(0, at + 20)}, {folder.file(L"damaged.evt"), damaged},
                                        {folder.file(L"renumbered.evt"), renumbered},
                                        {folder.file(L"text.evt"), std::string("not a log\r\n")}}) {
        FILE *file = _wfopen(path.c_str(), L"wb");
        ASSERT_TRUE(file != nullptr && fwrite(content.data(), 1, content.size(), file) == content.size());
        fclose(file);
    }
    ChildResult from_file = replay(quoted(saved) + L" -q");
    EXPECT_EQ(summary_of(from_file.output), summary_of(live.output));
    EXPECT_EQ(decision_lines(from_file.output).size(), 0u) << "-q prints the summary alone";
    const struct {
        std::wstring arguments;
        DWORD code;
        const wchar_t *piece;
        const char *scenario = nullptr; // run by this program on the log instead, with a damaged read
    } bad[] = {
        {quoted(folder.file(L"none.evt")), ERROR_FILE_NOT_FOUND, L"!! OpenBackupEventLogW() FAILED 2: "},
        {quoted(folder.file(L"text.evt")), ERROR_EVENTLOG_FILE_CORRUPT, L"text.evt: not an event log, or a damaged one\n"},
        {quoted(cut), ERROR_EVENTLOG_FILE_CORRUPT, L"# Records: 10 read, from "},
        {quoted(cut), ERROR_EVENTLOG_FILE_CORRUPT,
         L"\n!! ReadEventLogW() FAILED 1500 after 10 records (the last one read: number 10): the log is damaged"},
        {quoted(folder.file(L"damaged.evt")) + L" -q", ERROR_EVENTLOG_FILE_CORRUPT,
         L"# Records: 47 read, from 2022-"},
        {quoted(folder.file(L"damaged.evt")) + L" -q", ERROR_EVENTLOG_FILE_CORRUPT,
         L"\n!! 1 damaged records skipped (the first: number 11); the summary covers the others (1500)\n"},
        {quoted(folder.file(L"renumbered.evt")) + L" -q", ERROR_EVENTLOG_FILE_CORRUPT,
         L"\n!! 1 damaged records skipped (the first: number 11); the summary covers the others (1500)\n"},
        {L"", ERROR_EVENTLOG_FILE_CORRUPT, L": 42 accepted, 4 rejected (1 of them damaged), 1 spoofed\n",
         "replay-bad-length"},
        {L"", ERROR_ACCESS_DENIED,
         L"\n!! ReadEventLogW() FAILED 5 after 10 records (the last one read: number 10); the summary covers the records "
         L"before it\n", "replay-bad-length-denied"},
        {quoted(empty), ERROR_HANDLE_EOF, L"empty.evt holds no records: nothing to replay (38)\n"},
        {quoted(saved) + L" -q --csv " + quoted(folder.file(L"summary.csv")), ERROR_FILE_EXISTS,
         L"summary.csv exists; the CSV file is never overwritten\n"},
        {quoted(saved) + L" -q net=2 wnet=0", 0, L"\n     3         2  "},
        {L"net=4294967296", ERROR_INVALID_PARAMETER, L"!! -t: not a decimal number from 0 to 4294967295: net=4294967296\n"},
        {L"-q nett=3", ERROR_INVALID_PARAMETER, L"!! -t: unknown threshold: nett=3\n"},
        {L"-q " + quoted(saved), ERROR_INVALID_PARAMETER, L"!! -t: unexpected argument (a FILE comes right after -t): "},
    };
    for (const auto &run : bad) {
        ChildResult result = run.scenario != nullptr ? run_scenario(run.scenario) : replay(run.arguments);
        EXPECT_TRUE(result.finished && result.exit_code == run.code && result.output.find(run.piece) != std::wstring::npos)
            << std::string(run.arguments.begin(), run.arguments.end()) << (run.scenario != nullptr ? run.scenario : "")
            << ": exit code " << result.exit_code << "\n"
            << result.output;
    }
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key, L"max_logon_count_whitelist_RDP", RRF_RT_ANY, nullptr,
                           nullptr, nullptr), ERROR_FILE_NOT_FOUND);

    // The monitor, on the same records as they arrive: the same decisions, but for the record
    // that was the newest at its start.
    SimFolder monitored;
    ChildResult monitor = run_scenario("attacks");
    ASSERT_TRUE(monitor.finished && monitor.exit_code == 0) << monitor.output;
    std::vector<std::wstring> decided = decision_lines(live.output);
    ASSERT_FALSE(decided.empty());
    EXPECT_NE(decided.front().find(L"from IP:203.0.113.99"), std::wstring::npos);
    decided.erase(decided.begin());
    EXPECT_EQ(decision_lines(monitor.output), decided) << monitor.output;
    EXPECT_EQ(count_of(monitor.output, L"\n# exit:0\n"), 4u);
}

} // namespace
