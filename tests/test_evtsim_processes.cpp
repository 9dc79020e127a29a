// The simulated event log across processes, written by evtlog: a reader that follows the
// Security log as the engine does, concurrent writers, a clear, a subscription, the
// rendering of our reports through the message table of the release program, and replay.
#include <gtest/gtest.h>
#include <windows.h>
#include <winevt.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include "tools/evtsim/evtsim.h"

namespace {

constexpr DWORD forwards = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;

std::wstring program_dir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

// A started evtlog; its standard output is collected when asked for.
struct Evtlog {
    PROCESS_INFORMATION process = {};
    HANDLE output = nullptr;
};

Evtlog start_evtlog(const std::wstring &arguments, bool capture = false)
{
    Evtlog e;
    std::wstring command = L"\"" + program_dir() + L"evtlog.exe\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    HANDLE write_end = nullptr;
    if (capture) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        CreatePipe(&e.output, &write_end, &sa, 0);
        SetHandleInformation(e.output, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = write_end;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, capture, 0, nullptr, nullptr, &si, &e.process))
        << GetLastError();
    if (write_end != nullptr)
        CloseHandle(write_end);
    return e;
}

// Waits for evtlog to end; its exit code, and its output when captured (UTF-8).
DWORD finish(Evtlog &e, std::wstring *text = nullptr)
{
    std::string bytes;
    if (e.output != nullptr) {
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(e.output, chunk, sizeof(chunk), &n, nullptr) && n > 0)
            bytes.append(chunk, n);
        CloseHandle(e.output);
    }
    DWORD code = 0xFFFFFFFF;
    if (e.process.hProcess != nullptr) {
        EXPECT_EQ(WaitForSingleObject(e.process.hProcess, 120000), WAIT_OBJECT_0);
        GetExitCodeProcess(e.process.hProcess, &code);
        CloseHandle(e.process.hThread);
        CloseHandle(e.process.hProcess);
    }
    if (text != nullptr) {
        // Text mode writes CR LF; the tests compare lines.
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
        text->resize(bytes.size());
        int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text->data(),
                                    static_cast<int>(text->size()));
        text->resize(n > 0 ? n : 0);
    }
    return code;
}

DWORD run_evtlog(const std::wstring &arguments, std::wstring *output = nullptr)
{
    Evtlog e = start_evtlog(arguments, output != nullptr);
    return finish(e, output);
}

std::vector<std::wstring> strings_of(const EVENTLOGRECORD *r)
{
    std::vector<std::wstring> out;
    const wchar_t *s = reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(r) + r->StringOffset);
    for (int i = 0; i < r->NumStrings; ++i, s += wcslen(s) + 1)
        out.emplace_back(s);
    return out;
}

std::wstring address_of(DWORD base, DWORD i, DWORD count)
{
    DWORD a = base + i % count;
    return std::to_wstring(a >> 24) + L"." + std::to_wstring((a >> 16) & 255) + L"." + std::to_wstring((a >> 8) & 255) +
           L"." + std::to_wstring(a & 255);
}

class SimProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(sim_use_private_dir(std::wstring(name.begin(), name.end()).c_str()), 0u);
    }
    void TearDown() override { sim_remove_private_dir(); }
};

// As the engine follows the Security log: seek to the newest record, then wait for the
// notification and read sequentially, while evtlog appends from its own process.
TEST_F(SimProcesses, ReaderGetsTenThousandRecordsInOrder)
{
    ASSERT_EQ(run_evtlog(L"4624 --address 198.51.100.200"), 0u);
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ASSERT_NE(log, nullptr);
    std::vector<BYTE> buffer(65536);
    DWORD oldest = 0, count = 0, read = 0, needed = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
    ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, oldest + count - 1, buffer.data(), 65536,
                              &read, &needed));
    HANDLE notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(NotifyChangeEventLog(log, notify));

    const DWORD total = 10000, addresses = 37, base = 0xC6336401;   // 198.51.100.1
    ULONGLONG started = GetTickCount64();
    Evtlog writer = start_evtlog(L"burst 10000 37 --address 198.51.100.1 --user mallory");
    DWORD received = 0, batches = 0, waits = 0;
    bool in_order = true;
    while (received < total) {
        ResetEvent(notify);
        if (ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed)) {
            ++batches;
            for (DWORD pos = 0; pos < read && in_order;) {
                const EVENTLOGRECORD *r = reinterpret_cast<const EVENTLOGRECORD *>(buffer.data() + pos);
                std::vector<std::wstring> s = strings_of(r);
                in_order = r->RecordNumber == received + 2 && r->EventID == 4625 && s.size() == 21 &&
                           s[19] == address_of(base, received, addresses) && s[5] == L"mallory";
                EXPECT_TRUE(in_order) << "record " << r->RecordNumber << " after " << received;
                ++received;
                pos += r->Length;
            }
            if (!in_order)
                break;
            continue;
        }
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
        ++waits;
        ASSERT_EQ(WaitForSingleObject(notify, 30000), WAIT_OBJECT_0) << "stalled after " << received;
    }
    ULONGLONG elapsed = GetTickCount64() - started;
    EXPECT_EQ(finish(writer), 0u);
    EXPECT_EQ(received, total);
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    printf("10000 records across processes: %llu ms, %lu reads, %lu waits\n", elapsed, batches, waits);
    CloseEventLog(log);
    CloseHandle(notify);
}

TEST_F(SimProcesses, ConcurrentWritersNeitherInterleaveNorLose)
{
    Evtlog a = start_evtlog(L"burst 1500 3 --address 10.0.0.1 --user a");
    Evtlog b = start_evtlog(L"burst 1500 3 --address 10.0.1.1 --user b --event 529");
    Evtlog c = start_evtlog(L"140 --count 1000 --address 10.0.2.1");
    EXPECT_EQ(finish(a), 0u);
    EXPECT_EQ(finish(b), 0u);
    EXPECT_EQ(finish(c), 0u);
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0, number = 0, seen_a = 0, seen_b = 0;
    while (ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed)) {
        for (DWORD pos = 0; pos < read;) {
            const EVENTLOGRECORD *r = reinterpret_cast<const EVENTLOGRECORD *>(buffer.data() + pos);
            ASSERT_EQ(sim_check_record(r, read - pos), r->Length);
            ASSERT_EQ(r->RecordNumber, ++number);
            // Each writer's records keep their own order.
            std::vector<std::wstring> s = strings_of(r);
            if (r->EventID == 4625)
                EXPECT_EQ(s[19], address_of(0x0A000001, seen_a++, 3));
            else
                EXPECT_EQ(s[11], address_of(0x0A000101, seen_b++, 3));
            pos += r->Length;
        }
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(seen_a, 1500u);
    EXPECT_EQ(seen_b, 1500u);
    CloseEventLog(log);
    std::wstring listing;
    EXPECT_EQ(run_evtlog(L"list RDP", &listing), 0u);
    EXPECT_EQ(std::count(listing.begin(), listing.end(), L'\n'), 1000);
}

TEST_F(SimProcesses, ClearByAnotherProcessGives1503AndWakesTheReader)
{
    ASSERT_EQ(run_evtlog(L"4625 --count 3"), 0u);
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    HANDLE notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(NotifyChangeEventLog(log, notify));
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    wchar_t backup[sim_path_capacity];
    ASSERT_EQ(sim_dir(backup, sim_path_capacity), 0u);
    wcscat_s(backup, L"\\saved.evt");
    ASSERT_EQ(run_evtlog(L"clear Security \"" + std::wstring(backup) + L"\""), 0u);
    EXPECT_EQ(WaitForSingleObject(notify, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED));
    CloseEventLog(log);
    CloseHandle(notify);
    // The saved log replays into the new one.
    std::wstring text;
    EXPECT_EQ(run_evtlog(L"replay \"" + std::wstring(backup) + L"\" Security", &text), 0u);
    EXPECT_EQ(text, L"replayed 3 records, skipped 0\n");
    DeleteFileW(backup);
}

struct Received {
    EVT_HANDLE context = nullptr;
    std::vector<std::wstring> addresses;
    HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Received() { CloseHandle(arrived); }
};

DWORD WINAPI on_event(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event)
{
    Received *r = static_cast<Received *>(context);
    alignas(8) BYTE values[1024];
    DWORD used = 0, count = 0;
    if (action == EvtSubscribeActionDeliver &&
        EvtRender(r->context, event, EvtRenderEventValues, sizeof(values), values, &used, &count) && count == 3) {
        const EVT_VARIANT *v = reinterpret_cast<const EVT_VARIANT *>(values);
        if (v[1].Type == EvtVarTypeUInt16 && v[1].UInt16Val == 140 && v[2].Type == EvtVarTypeString)
            r->addresses.push_back(v[2].StringVal);
    }
    SetEvent(r->arrived);
    return 0;
}

TEST_F(SimProcesses, SubscriptionReceivesEventsThatEvtlogAppends)
{
    ASSERT_EQ(run_evtlog(L"140 --address 192.0.2.1"), 0u);   // before: not delivered
    Received r;
    LPCWSTR paths[] = {L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID", L"Event/EventData/Data"};
    r.context = EvtCreateRenderContext(3, paths, EvtRenderContextValues);
    EVT_HANDLE sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, &r, on_event,
                                  EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr);
    ASSERT_EQ(run_evtlog(L"4625 --address 192.0.2.2"), 0u);   // the Security log: not delivered
    ASSERT_EQ(run_evtlog(L"140 --address 192.0.2.3 --count 2"), 0u);
    ASSERT_EQ(run_evtlog(L"140 --address 2001:db8::4"), 0u);
    while (r.addresses.size() < 3)
        ASSERT_EQ(WaitForSingleObject(r.arrived, 10000), WAIT_OBJECT_0);
    EvtClose(sub);
    EvtClose(r.context);
    EXPECT_EQ(r.addresses, (std::vector<std::wstring>{L"192.0.2.3", L"192.0.2.3", L"2001:db8::4"}));
}

// Registers a source of its own (so as not to meet other tests' registration of
// "tosmire.IPS") with the release program as message file.
TEST_F(SimProcesses, RendersOurReportsThroughTheReleaseMessageTable)
{
    const wchar_t source_name[] = L"tosmire.IPS.evtsim-test";
    std::wstring key = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source_name;
    std::wstring program = program_dir() + L"..\\tosmire-ips.exe";
    wchar_t full[MAX_PATH];
    GetFullPathNameW(program.c_str(), MAX_PATH, full, nullptr);
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), 0);
    DWORD bytes = static_cast<DWORD>((wcslen(full) + 1) * sizeof(wchar_t));
    RegSetValueExW(k, L"EventMessageFile", 0, REG_SZ, reinterpret_cast<BYTE *>(full), bytes);
    RegSetValueExW(k, L"CategoryMessageFile", 0, REG_SZ, reinterpret_cast<BYTE *>(full), bytes);
    RegCloseKey(k);

    HANDLE source = RegisterEventSourceW(nullptr, source_name);
    ASSERT_NE(source, nullptr);
    LPCWSTR logon[] = {L"DOM", L"alice", L"203.0.113.7", L"5", L"3", L"NTLM"};
    LPCWSTR failure[] = {L"Cannot open the security log", L"5"};
    ReportEventW(source, EVENTLOG_AUDIT_FAILURE, 9, 0xC000AF09, nullptr, 6, 7, logon, const_cast<char *>("BLOCKED"));
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 11, 0xC000AF0B, nullptr, 2, 0, failure, nullptr);
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 1, 0x4000AF01, nullptr, 0, 7, nullptr, const_cast<char *>("RUNNING"));
    ReportEventW(source, EVENTLOG_WARNING_TYPE, 12, 0x8000AF42, nullptr, 1, 0, failure, nullptr);
    DeregisterEventSource(source);

    std::wstring text;
    EXPECT_EQ(run_evtlog(L"render", &text), 0u);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    EXPECT_NE(text.find(L"Source:       tosmire.IPS.evtsim-test\nCategory:     Blocked\nType:         Audit Failure\n"
                        L"Event ID:     44809\n"),
              std::wstring::npos)
        << std::string(text.begin(), text.end());
    EXPECT_NE(text.find(L"Description:\n!! Host address blocked via IPSec blacklist filter:Brek.\n\n"
                        L"User:DOM\\alice, from IP:203.0.113.7\n\n"
                        L"Logon attempts:5, Logon Type:3, Authentication:NTLM\nData:         BLOCKED\n"),
              std::wstring::npos);
    EXPECT_NE(text.find(L"Category:     Error\nType:         Error\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"Description:\nCannot open the security log: 5\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"Category:     Running\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"tosmire's Intrusion Prevention System.\n\ntosmire.IPS [RUNNING]\nData:         RUNNING\n"),
              std::wstring::npos);
    // Neither the category nor the event is in the table.
    EXPECT_NE(text.find(L"Category:     (12)\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"The description for Event ID 44866 from source tosmire.IPS.evtsim-test cannot be found."),
              std::wstring::npos);
}

// Writes bytes as a file in the simulation folder; its full path.
std::wstring write_file(const wchar_t *name, const std::vector<BYTE> &bytes)
{
    wchar_t path[sim_path_capacity];
    sim_dir(path, sim_path_capacity);
    std::wstring p = std::wstring(path) + L"\\" + name;
    HANDLE file = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return p;
}

std::vector<BYTE> record_of(const wchar_t *text, DWORD number)
{
    const wchar_t *strings[] = {text, L"|tab\there"};
    SimRecord f = {};
    f.source = L"Security";
    f.event_id = 4776;
    f.event_type = EVENTLOG_AUDIT_FAILURE;
    f.category = 14336;
    f.time_generated = 1651241109;   // 2022-04-29T14:05:09Z
    f.num_strings = 2;
    f.strings = strings;
    f.data = "\x01Z";
    f.data_size = 2;
    std::vector<BYTE> r(sim_max_record_size);
    DWORD length = 0;
    EXPECT_EQ(sim_build_record(f, r.data(), sim_max_record_size, &length), 0u);
    r.resize(length);
    reinterpret_cast<EVENTLOGRECORD *>(r.data())->RecordNumber = number;
    return r;
}

void put(std::vector<BYTE> &file, size_t at, const void *data, size_t size)
{
    memcpy(file.data() + at, data, size);
}

// An exported log that has wrapped: the oldest record near the end of the file, the next
// one split across the end, the newest at the start, then the EOF record and old bytes.
TEST_F(SimProcesses, ReplaysAWrappedExportedLog)
{
    std::vector<BYTE> r1 = record_of(L"one", 101), r2 = record_of(L"two", 102), r3 = record_of(L"three", 103);
    const DWORD header = sizeof(ElfLogfileHeader), eof_size = sizeof(ElfEofRecord);
    DWORD tail = static_cast<DWORD>(r2.size()) / 2 & ~3u;   // r2's part that goes to the start
    DWORD end = header + (static_cast<DWORD>(r2.size()) - tail) + static_cast<DWORD>(r3.size());
    DWORD start = end + eof_size + 64;
    DWORD size = start + static_cast<DWORD>(r1.size()) + tail;
    std::vector<BYTE> file(size, 0xCC);
    ElfLogfileHeader h = {header, elf_signature, 1, 1, start, end, 104, 101, size, elf_header_wrap, 0, header};
    ElfEofRecord eof = {eof_size, 0x11111111, 0x22222222, 0x33333333, 0x44444444, start, end, 104, 101, eof_size};
    put(file, 0, &h, header);
    put(file, start, r1.data(), r1.size());
    put(file, start + r1.size(), r2.data(), tail);
    put(file, header, r2.data() + tail, r2.size() - tail);
    put(file, header + r2.size() - tail, r3.data(), r3.size());
    put(file, end, &eof, eof_size);
    std::wstring path = write_file(L"wrapped.evt", file);
    std::wstring text;
    EXPECT_EQ(run_evtlog(L"replay \"" + path + L"\"", &text), 0u);
    EXPECT_EQ(text, L"replayed 3 records, skipped 0\n");

    // A header left behind by a writer that did not finish: the EOF record tells the truth.
    h.Flags = elf_header_dirty | elf_header_wrap;
    h.EndOffset = header;
    put(file, 0, &h, header);
    path = write_file(L"dirty.evt", file);
    EXPECT_EQ(run_evtlog(L"replay \"" + path + L"\" Security", &text), 0u);
    EXPECT_EQ(text, L"replayed 3 records, skipped 0\n");

    EXPECT_EQ(run_evtlog(L"list Security", &text), 0u);
    const wchar_t *rest = L"\t2022-04-29T14:05:09Z\tSecurity\t4776\t16\t14336\t";
    std::wstring expected;
    const wchar_t *names[] = {L"one", L"two", L"three"};
    for (int i = 0; i < 6; ++i)
        expected += std::to_wstring(i + 1) + rest + names[i % 3] + L"|\\|tab\\there\t\\x01Z\n";
    EXPECT_EQ(text, expected);
}

TEST_F(SimProcesses, EvtlogWritesTheLogonEventsTheEngineDecodes)
{
    ASSERT_EQ(run_evtlog(L"4624 --strings 20 --user u1 --domain D1 --address 192.0.2.1 --logon-type 10 --auth Negotiate "
                         L"--time 2022-04-29T14:05:09"),
              0u);
    ASSERT_EQ(run_evtlog(L"4624 --user u2 --domain D2 --address 192.0.2.2"), 0u);
    ASSERT_EQ(run_evtlog(L"4625 --user u3 --domain D3 --address 192.0.2.3 --logon-type 8 --auth Kerberos"), 0u);
    ASSERT_EQ(run_evtlog(L"528 --user u4 --domain D4 --address 192.0.2.4"), 0u);
    ASSERT_EQ(run_evtlog(L"529 --user u5 --domain D5 --address 192.0.2.5"), 0u);
    ASSERT_EQ(run_evtlog(L"539 --user u6 --domain D6 --address 192.0.2.6 --category 12544"), 0u);
    ASSERT_EQ(run_evtlog(L"4776 --user u7 --address 192.0.2.7"), 0u);
    EXPECT_EQ(run_evtlog(L"4627"), 2u);
    EXPECT_EQ(run_evtlog(L"4625 --time yesterday"), 2u);
    EXPECT_EQ(run_evtlog(L"burst 10 2 --address host.example"), 2u);
    struct Expected {
        DWORD id;
        WORD type, category, strings, user, domain, address, logon_type, auth;
        const wchar_t *logon_type_text, *auth_text;
    } expected[] = {
        {4624, 8, 12544, 20, 5, 6, 18, 8, 10, L"10", L"Negotiate"},
        {4624, 8, 12544, 27, 5, 6, 18, 8, 10, L"3", L"NTLM"},
        {4625, 16, 12544, 21, 5, 6, 19, 10, 12, L"8", L"Kerberos"},
        {528, 8, 2, 15, 0, 1, 13, 3, 5, L"3", L"NTLM"},
        {529, 16, 2, 13, 0, 1, 11, 2, 4, L"3", L"NTLM"},
        {539, 16, 12544, 13, 0, 1, 11, 2, 4, L"3", L"NTLM"},
    };
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    CloseEventLog(log);
    DWORD pos = 0;
    for (int i = 0; i < 7; ++i) {
        ASSERT_LT(pos, read);
        const EVENTLOGRECORD *r = reinterpret_cast<const EVENTLOGRECORD *>(buffer.data() + pos);
        std::vector<std::wstring> s = strings_of(r);
        std::wstring n = std::to_wstring(i + 1);
        pos += r->Length;
        if (i == 6) {   // 4776: package, user, workstation (the address), status
            EXPECT_EQ(r->EventID, 4776u);
            EXPECT_EQ(s, (std::vector<std::wstring>{L"MICROSOFT_AUTHENTICATION_PACKAGE_V1_0", L"u7", L"192.0.2.7",
                                                    L"0xc000006a"}));
            continue;
        }
        const Expected &e = expected[i];
        EXPECT_EQ(r->EventID, e.id);
        EXPECT_EQ(r->EventType, e.type);
        EXPECT_EQ(r->EventCategory, e.category);
        ASSERT_EQ(s.size(), e.strings) << "event " << e.id;
        EXPECT_EQ(s[e.user], L"u" + n);
        EXPECT_EQ(s[e.domain], L"D" + n);
        EXPECT_EQ(s[e.address], L"192.0.2." + n);
        EXPECT_EQ(s[e.logon_type], e.logon_type_text);
        EXPECT_EQ(s[e.auth], e.auth_text);
        // The legacy events carry LocalSystem's SID, the current ones none.
        EXPECT_EQ(r->UserSidLength, e.id < 1000 ? 12u : 0u);
        if (i == 0) {
            EXPECT_EQ(r->TimeGenerated, 1651241109u);
        }
    }
    EXPECT_EQ(pos, read);
}

} // namespace
