// The simulated event log across processes, written by evtlog: a reader that follows the
// Security log as the engine does while several processes append, then clear; subscriptions;
// the rendering of our reports through the release program's message table; replay.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <winevt.h>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>
#include "engine/logon_event.h"
#include "tests/child_harness.h"
#include "tools/evtsim/evtsim.h"

namespace {

using Strings = std::vector<std::wstring>;
BYTE g_buffer[65536];
DWORD g_read, g_needed;

struct SimProcesses : ::testing::Test {
    SimFolder folder;   // a fresh simulation folder, named by TOSMIRE_SIM_DIR for evtlog too
};

// Starts evtlog in the background; its process.
HANDLE start_evtlog(const std::wstring &arguments)
{
    std::wstring command = L"\"" + beside(L"evtlog.exe") + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Runs evtlog to its end; its exit code, and its output when asked for.
DWORD run_evtlog(const std::wstring &arguments, std::wstring *output = nullptr)
{
    ChildResult run = run_redirected(L"\"" + beside(L"evtlog.exe") + L"\" " + arguments, 120000);
    EXPECT_TRUE(run.finished) << std::string(arguments.begin(), arguments.end()) << run.output;
    if (output != nullptr)
        *output = run.output;
    return run.exit_code;
}

const EVENTLOGRECORD *record_at(DWORD at) { return reinterpret_cast<const EVENTLOGRECORD *>(g_buffer + at); }

Strings strings_of(const EVENTLOGRECORD *r)
{
    Strings out;
    const wchar_t *s = reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(r) + r->StringOffset);
    for (int i = 0; i < r->NumStrings; ++i, s += wcslen(s) + 1)
        out.emplace_back(s);
    return out;
}

bool read_forwards(HANDLE log)
{
    return ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, g_buffer, sizeof(g_buffer), &g_read,
                         &g_needed) != FALSE;
}

// As the engine follows the Security log: seek to the newest record, then wait for the
// notification and read, while evtlog appends 10,000 failures and 500 legacy failures from
// two processes at once. Then another process clears the log.
TEST_F(SimProcesses, ReaderGetsConcurrentAppendsInOrderAnd1503AfterAClear)
{
    ASSERT_EQ(run_evtlog(L"4624 --address 198.51.100.200"), 0u);
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    DWORD oldest = 0, count = 0, received = 0, seen[2] = {};   // seen: 4625 and 529 records
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest) && GetNumberOfEventLogRecords(log, &count));
    ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, oldest + count - 1, g_buffer,
                              sizeof(g_buffer), &g_read, &g_needed));
    HANDLE notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(NotifyChangeEventLog(log, notify));
    HANDLE writers[] = {start_evtlog(L"burst 10000 37 --address 198.51.100.1 --user mallory"),
                        start_evtlog(L"burst 500 3 --address 10.0.1.1 --event 529")};
    while (received < 10500 && !HasFailure()) {
        ResetEvent(notify);
        if (!read_forwards(log)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
            ASSERT_EQ(WaitForSingleObject(notify, 30000), WAIT_OBJECT_0) << "stalled after " << received;
            continue;
        }
        // Whole records, numbered without a gap; each writer's in its own order.
        for (DWORD at = 0; at < g_read && !HasFailure(); at += record_at(at)->Length) {
            const EVENTLOGRECORD *r = record_at(at);
            ASSERT_EQ(sim_check_record(r, g_read - at), r->Length);
            EXPECT_EQ(r->RecordNumber, ++received + 1);
            Strings s = strings_of(r);
            if (r->EventID == 529 && s.size() == 13)
                EXPECT_EQ(s[11], L"10.0.1." + std::to_wstring(1 + seen[1]++ % 3));
            else
                EXPECT_EQ(s.size() == 21 ? s[5] + L" " + s[19] : L"not a burst record",
                          L"mallory 198.51.100." + std::to_wstring(1 + seen[0]++ % 37));
        }
    }
    EXPECT_EQ(WaitForMultipleObjects(2, writers, TRUE, 120000), WAIT_OBJECT_0);
    for (HANDLE writer : writers) {
        DWORD code = 1;
        EXPECT_TRUE(GetExitCodeProcess(writer, &code) && code == 0);
        CloseHandle(writer);
    }
    EXPECT_EQ(seen[0], 10000u);
    EXPECT_EQ(seen[1], 500u);
    EXPECT_FALSE(read_forwards(log));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));

    // Saved by evtlog, with every record, and not over an existing file.
    const std::wstring backup = L"backup Security \"" + folder.file(L"backup.evt") + L"\"";
    ASSERT_EQ(run_evtlog(backup), 0u);
    EXPECT_EQ(run_evtlog(backup), 1u);
    HANDLE saved = OpenBackupEventLogW(nullptr, folder.file(L"backup.evt").c_str());
    EXPECT_TRUE(GetNumberOfEventLogRecords(saved, &count) && count == 10501);
    CloseEventLog(saved);
    const std::wstring clear = L"clear Security \"" + folder.file(L"saved.evt") + L"\"";
    ResetEvent(notify);
    ASSERT_EQ(run_evtlog(clear), 0u);
    EXPECT_EQ(run_evtlog(clear), 1u);   // the saved log is not overwritten
    EXPECT_EQ(WaitForSingleObject(notify, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(read_forwards(log));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED));
    CloseEventLog(log);
    CloseHandle(notify);
    // The saved log replays into the new one, numbered from 1 again.
    std::wstring text;
    EXPECT_EQ(run_evtlog(L"replay \"" + folder.file(L"saved.evt") + L"\" Security", &text), 0u);
    EXPECT_EQ(text, L"replayed 10501 records, skipped 0\n");
    EXPECT_EQ(run_evtlog(L"list Security", &text), 0u);
    EXPECT_EQ(text.substr(0, 2), L"1\t");
}

// Appends an event to the Remote Desktop channel (or another log) from this process; no
// address: no string.
void append_rdp(DWORD id, const wchar_t *address, DWORD time, int log = sim_rdp)
{
    SimRecord f = {L"Test", nullptr, id, EVENTLOG_INFORMATION_TYPE, 0, time, nullptr, address != nullptr, &address,
                   nullptr, 0};
    DWORD length = 0;
    ASSERT_EQ(sim_build_record(f, g_buffer, sizeof(g_buffer), &length), 0u);
    ASSERT_EQ(sim_append_records(log, g_buffer, length), 0u);
}

LPCWSTR value_paths[] = {L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID", L"Event/EventData/Data"};

// A rendered value as "<type>:<value>", a string quoted, a null value "null".
std::wstring describe(const EVT_VARIANT &v)
{
    wchar_t text[64], *sid = nullptr;
    const GUID *g = v.GuidVal;
    switch (v.Type) {
    case EvtVarTypeNull: return L"null";
    case EvtVarTypeString: return L"'" + std::wstring(v.StringVal) + L"'";
    case EvtVarTypeUInt16: return L"u16:" + std::to_wstring(v.UInt16Val);
    case EvtVarTypeUInt32: return L"u32:" + std::to_wstring(v.UInt32Val);
    case EvtVarTypeHexInt32: return L"x32:" + std::to_wstring(v.UInt32Val);
    case EvtVarTypeHexInt64: return L"x64:" + std::to_wstring(v.UInt64Val);
    case EvtVarTypeFileTime: return L"ft:" + std::to_wstring(v.FileTimeVal);
    case EvtVarTypeSid: {
        std::wstring out = ConvertSidToStringSidW(v.SidVal, &sid) ? L"sid:" + std::wstring(sid) : L"sid:?";
        LocalFree(sid);
        return out;
    }
    case EvtVarTypeGuid:
        swprintf(text, 64, L"guid:%08lx-%04x-%04x-%02x%02x", g->Data1, g->Data2, g->Data3, g->Data4[0], g->Data4[7]);
        return text;
    default: return L"type" + std::to_wstring(v.Type);
    }
}

// What a subscription delivered, one "<size EvtRender asked for> <value> ..." per event.
struct Deliveries {
    DWORD count;
    EVT_HANDLE context, sub = nullptr;
    explicit Deliveries(DWORD n = 3, LPCWSTR *paths = value_paths)
        : count(n), context(EvtCreateRenderContext(n, paths, EvtRenderContextValues)) {}
    Strings seen;
    std::atomic<int> running{0};
    bool overlapped = false;
    HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Deliveries() { EvtClose(context); CloseHandle(arrived); }
};

DWORD WINAPI collect(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event)
{
    Deliveries *d = static_cast<Deliveries *>(context);
    if (d->running.fetch_add(1) != 0)
        d->overlapped = true;
    std::wstring seen = L"not rendered";
    alignas(8) BYTE values[4096];
    memset(values, 0xCD, sizeof(values));
    const EVT_VARIANT *v = reinterpret_cast<const EVT_VARIANT *>(values);
    DWORD needed = 0, used = 0, count = 0;
    // Too small a buffer first: the call names the size it needs, and that size does, exactly.
    if (action == EvtSubscribeActionDeliver &&
        !EvtRender(d->context, event, EvtRenderEventValues, 16, values, &needed, &count) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed < sizeof(values) &&
        EvtRender(d->context, event, EvtRenderEventValues, needed, values, &used, &count) && count == d->count &&
        values[needed] == 0xCD) {
        seen = std::to_wstring(needed);
        for (DWORD i = 0; i < count; ++i)
            seen += L" " + describe(v[i]);
    }
    d->seen.push_back(seen);
    SetEvent(d->arrived);
    Sleep(20);   // still running when the test closes the subscription; lets an overlap show
    d->running.fetch_sub(1);
    return 0;
}

TEST_F(SimProcesses, SubscriptionDeliversFutureEventsOfTheQueryOneAtATime)
{
    ASSERT_EQ(run_evtlog(L"140 --address 192.0.2.1"), 0u);   // before the subscription: not delivered
    Deliveries d;
    d.sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, &d, collect,
                         EvtSubscribeToFutureEvents);
    ASSERT_NE(d.sub, nullptr);
    ASSERT_EQ(run_evtlog(L"4625 --address 192.0.2.2"), 0u);   // the Security log: not delivered
    append_rdp(141, L"192.0.2.2", 0);                          // another event ID: not delivered
    ASSERT_EQ(run_evtlog(L"burst 20 20 --event 140 --address 192.0.2.3 --time 1651234567"), 0u);
    append_rdp(140, nullptr, 1651234600);   // no address: a null value, not a string
    Strings expected;
    auto expect = [&](ULONGLONG time, const std::wstring &address) {
        size_t size = 3 * sizeof(EVT_VARIANT) + (address == L"null" ? 0 : (address.size() + 1) * sizeof(wchar_t));
        expected.push_back(std::to_wstring(size) + L" ft:" + std::to_wstring((time + 11644473600) * 10000000) +
                           L" u16:140 " + (address == L"null" ? address : L"'" + address + L"'"));
    };
    for (int i = 3; i < 23; ++i)
        expect(1651234567, L"192.0.2." + std::to_wstring(i));
    expect(1651234600, L"null");
    auto wait_for = [&d](size_t n) { while (d.seen.size() < n && !WaitForSingleObject(d.arrived, 10000)) continue; };
    wait_for(21);
    ASSERT_EQ(run_evtlog(L"clear RDP"), 0u);   // the channel cleared under the subscription: it goes on
    ASSERT_EQ(run_evtlog(L"140 --address 2001:db8::4 --time 1651234601"), 0u);
    expect(1651234601, L"2001:db8::4");
    wait_for(22);
    EXPECT_TRUE(EvtClose(d.sub));   // returns only when the running delivery has ended
    EXPECT_EQ(d.running.load(), 0);
    EXPECT_EQ(d.seen, expected);
    EXPECT_FALSE(d.overlapped);
    EXPECT_FALSE(EvtClose(d.sub));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Other computers' Security events as Windows Event Forwarding collects them: delivered to a
// subscription whose query selects three event IDs, their data rendered by name as strings, or
// with Windows' types when the event is marked typed; data that an event's schema lacks, or that
// a damaged event lost, is null; a malformed logon type stays a string.
TEST_F(SimProcesses, ForwardedEventsRenderByNameAsStringsOrWithWindowsTypes)
{
    LPCWSTR paths[] = {L"Event/System/Computer", L"Event/System/EventID", L"Event/EventData/Data[@Name='IpAddress']",
                       L"Event/EventData/Data[@Name=\"LogonType\"]", L"Event/EventData/Data[ @Name = 'TargetUserName' ]",
                       L"Event/EventData/Data[@Name='Workstation']", L"Event/EventData/Data[@Name='Status']",
                       L"Event/EventData/Data[@Name='TargetUserSid']", L"Event/EventData/Data[@Name='LogonGuid']",
                       L"Event/EventData/Data[@Name='TargetLogonId']", L"Event/EventData/Data[@Name='Nothing']"};
    Deliveries d(11, paths);
    d.sub = EvtSubscribe(nullptr, nullptr, L"ForwardedEvents", L"*[System[(EventID=4624 or EventID=4625 or EventID=4776)]]",
                         nullptr, &d, collect, EvtSubscribeToFutureEvents);
    ASSERT_NE(d.sub, nullptr);
    ASSERT_EQ(run_evtlog(L"4625 --address 192.0.2.1"), 0u);   // this computer's Security log: not delivered
    append_rdp(4634, L"192.0.2.1", 0, sim_forwarded);          // an event ID not asked for: not delivered
    const std::pair<std::wstring, std::wstring> events[] = {
        {L"4625 --computer RDS08 --address 203.0.113.9 --logon-type 10",
         L"'RDS08' u16:4625 '203.0.113.9' '10' 'Administrator' null '0xc000006d' 'S-1-0-0' null null null"},
        {L"4625 --typed --computer RDS07 --address 203.0.113.9 --user alice",
         L"'RDS07' u16:4625 '203.0.113.9' u32:3 'alice' null x32:3221225581 sid:S-1-0-0 null null null"},
        {L"4624 --typed --computer rds01.corp.example --logon-type 10",
         L"'rds01.corp.example' u16:4624 '203.0.113.10' u32:10 'Administrator' null null "
         L"sid:S-1-5-21-3623811015-3361044348-30300820-1013 guid:00000000-0000-0000-0000 x64:9252657 null"},
        {L"4776 --typed --address WS7", L"'SRV01' u16:4776 null null 'Administrator' 'WS7' x32:3221225578 null null null null"},
        {L"4625 --typed --strings 19 --computer \"a\\\" b\"", L"'a\" b' u16:4625 null u32:3 'Administrator' null "
                                                   L"x32:3221225581 sid:S-1-0-0 null null null"},
        {L"4625 --typed --logon-type x --strings 11",
         L"'SRV01' u16:4625 null 'x' 'Administrator' null x32:3221225581 sid:S-1-0-0 null null null"},
    };
    for (const auto &[arguments, values] : events)
        ASSERT_EQ(run_evtlog(L"forward " + arguments), 0u);
    while (d.seen.size() < std::size(events) && WaitForSingleObject(d.arrived, 10000) == WAIT_OBJECT_0)
        continue;
    EXPECT_TRUE(EvtClose(d.sub));
    ASSERT_EQ(d.seen.size(), std::size(events));
    for (size_t i = 0; i < std::size(events); ++i)   // after the size EvtRender asked for
        EXPECT_EQ(d.seen[i].substr(d.seen[i].find(L' ') + 1), events[i].second) << i;
}

// Registers a source of its own (so as not to meet other tests' registration of
// "tosmire.IPS") with the release program as message file.
TEST_F(SimProcesses, RendersOurReportsThroughTheReleaseMessageTable)
{
    const wchar_t source_name[] = L"tosmire.IPS.evtsim-test";
    std::wstring key = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source_name;
    wchar_t full[MAX_PATH];
    GetFullPathNameW(beside(L"..\\tosmire-ips.exe").c_str(), MAX_PATH, full, nullptr);
    for (const wchar_t *value : {L"EventMessageFile", L"CategoryMessageFile"})
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_SZ, full, (wcslen(full) + 1) * sizeof *full), 0);
    HANDLE source = RegisterEventSourceW(nullptr, source_name);
    ASSERT_NE(source, nullptr);
    LPCWSTR logon[] = {L"DOM", L"alice", L"203.0.113.7", L"5", L"3", L"NTLM"};
    ReportEventW(source, EVENTLOG_AUDIT_FAILURE, 9, 0xC000AF09, nullptr, 6, 7, logon, const_cast<char *>("BLOCKED"));
    ReportEventW(source, EVENTLOG_WARNING_TYPE, 12, 0x8000AF42, nullptr, 1, 0, logon, nullptr);
    DeregisterEventSource(source);
    std::wstring text;
    EXPECT_EQ(run_evtlog(L"render", &text), 0u);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    for (const wchar_t *part :
         {L"Source:       tosmire.IPS.evtsim-test\nCategory:     Blocked\nType:         Audit Failure\nEvent ID:     44809\n",
          L"Description:\n!! Host address blocked via IPSec blacklist filter:Brek.\n\nUser:DOM\\alice, from "
          L"IP:203.0.113.7\n\nLogon attempts:5, Logon Type:3, Authentication:NTLM\nData:         BLOCKED\n",
          // Neither the category nor the event is in the table.
          L"Category:     (12)\n",
          L"The description for Event ID 44866 from source tosmire.IPS.evtsim-test cannot be found."})
        EXPECT_NE(text.find(part), std::wstring::npos) << std::string(text.begin(), text.end());
}

// An exported log that has wrapped: the older record split across the end of the file, the
// newer one behind the header, then the EOF record and stale bytes.
TEST_F(SimProcesses, ReplaysAWrappedExportedLog)
{
    std::vector<BYTE> r[2];
    for (DWORD i = 0; i < 2; ++i) {
        const wchar_t *strings[] = {i == 0 ? L"one" : L"two", L"|tab\there\x7f\x85\x9f"};
        SimRecord f = {L"Security", nullptr, 4776, EVENTLOG_AUDIT_FAILURE, 14336, 1651241109, nullptr, 2, strings,
                       "\x01Z", 2};
        DWORD length = 0;
        r[i].resize(sim_max_record_size);
        ASSERT_EQ(sim_build_record(f, r[i].data(), sim_max_record_size, &length), 0u);
        r[i].resize(length);
        reinterpret_cast<EVENTLOGRECORD *>(r[i].data())->RecordNumber = 101 + i;
    }
    const DWORD header = sizeof(ElfLogfileHeader), eof_size = sizeof(ElfEofRecord);
    const DWORD size0 = static_cast<DWORD>(r[0].size()), tail = size0 / 2 & ~3u;   // tail: the part at the start
    const DWORD end = header + tail + static_cast<DWORD>(r[1].size()), start = end + eof_size + 64,
                size = start + size0 - tail;
    std::vector<BYTE> file(size, 0xCC);
    ElfEofRecord eof = {eof_size, 0x11111111, 0x22222222, 0x33333333, 0x44444444, start, end, 103, 101, eof_size};
    auto put = [&](size_t at, const void *data, size_t n) { memcpy(file.data() + at, data, n); };
    put(start, r[0].data(), size0 - tail);
    put(header, r[0].data() + size0 - tail, tail);
    put(header + tail, r[1].data(), r[1].size());
    put(end, &eof, eof_size);
    std::wstring text;
    // Then a dirty header, left behind by a writer that did not finish: the EOF record tells the truth.
    for (DWORD flags : {elf_header_wrap, elf_header_dirty | elf_header_wrap}) {
        ElfLogfileHeader h = {header, elf_signature, 1, 1, start, flags & elf_header_dirty ? header : end, 103, 101,
                              size, flags, 0, header};
        put(0, &h, header);
        HANDLE f = CreateFileW(folder.file(L"exported.evt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        WriteFile(f, file.data(), size, &g_read, nullptr);
        CloseHandle(f);
        EXPECT_EQ(run_evtlog(L"replay \"" + folder.file(L"exported.evt") + L"\"", &text), 0u);
        EXPECT_EQ(text, L"replayed 2 records, skipped 0\n");
    }
    EXPECT_EQ(run_evtlog(L"list Security", &text), 0u);   // untrusted texts and data escaped
    std::wstring expected;
    for (int i = 0; i < 4; ++i)
        expected += std::to_wstring(i + 1) + L"\t2022-04-29T14:05:09Z\tSecurity\t4776\t16\t14336\t" +
                    (i % 2 == 0 ? L"one" : L"two") + L"|\\|tab\\there\\x7f\\x85\\x9f\t\\x01Z\n";
    EXPECT_EQ(text, expected);
    // What the help says of the times matches this: time generated kept, time written now.
    EXPECT_EQ(run_evtlog(L"--help", &text), 0u);
    EXPECT_NE(text.find(L"time of the append, as the log service stamps it;\n"
                        L"                                 its time generated is kept, or set to now with --now\n"),
              std::wstring::npos) << std::string(text.begin(), text.end());
}

// evtlog's logon events as the engine decodes them: every insertion string where Windows
// puts it, the event's type, category and (legacy events only) LocalSystem's SID.
TEST_F(SimProcesses, EvtlogWritesTheLogonEventsTheEngineDecodes)
{
    const wchar_t *events[] = {L"4624 --strings 20 --logon-type 10 --time 2022-04-29T14:05:09",
                               L"4624 --logon-type 8", L"4625", L"528", L"529", L"539 --category 12544", L"4776"};
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(run_evtlog(events[i] + (L" --user u --domain D --auth A --address 192.0.2." + std::to_wstring(i + 1))), 0u);
    for (const std::wstring &wrong : {std::wstring(L"4627"), std::wstring(L"4625 --time yesterday"),
                                      std::wstring(L"burst 10 2 --address host.example"), std::wstring(L"forward 528"),
                                      std::wstring(L"forward 4776 --strings 5"), std::wstring(L"4625 --computer X"),
                                      std::wstring(L"forward 4625 --computer ") + std::wstring(256, L'x')})
        EXPECT_EQ(run_evtlog(wrong), 2u) << std::string(wrong.begin(), wrong.end());
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ASSERT_TRUE(read_forwards(log));
    CloseEventLog(log);
    EXPECT_EQ(record_at(0)->TimeGenerated, 1651241109u);
    Strings decoded;
    for (DWORD at = 0; at < g_read; at += record_at(at)->Length) {
        const EVENTLOGRECORD *r = record_at(at);
        wchar_t time[time_text_chars];
        LogonReport report = {L"", L"", L"", L"", L"", L""};
        bool success = false;
        std::wstring got = std::to_wstring(r->EventID) + L" " + std::to_wstring(r->NumStrings) + L" " +
                           std::to_wstring(r->EventCategory) + L" " + std::to_wstring(r->UserSidLength);
        if (decode_logon_event(r, g_read - at, time, report, success) == DecodeResult::accepted)
            got += L" " + std::wstring(report.domain) + L"\\" + report.user + L" " + report.address + L" " +
                   report.logon_type + L" " + report.authentication + (success ? L" success" : L"");
        else   // all the strings
            for (const std::wstring &text : strings_of(r))
                got += L" " + text;
        decoded.push_back(got);
    }
    EXPECT_EQ(decoded, (Strings{L"4624 20 12544 0 D\\u 192.0.2.1 10 A success", L"4624 27 12544 0 D\\u 192.0.2.2 8 A success",
                                L"4625 21 12544 0 D\\u 192.0.2.3 3 A", L"528 15 2 12 D\\u 192.0.2.4 3 A success",
                                L"529 13 2 12 D\\u 192.0.2.5 3 A", L"539 13 12544 12 D\\u 192.0.2.6 3 A",
                                // Another category and no logon type: never accepted.
                                L"4776 4 14336 0 A u 192.0.2.7 0xc000006a"}));
}

} // namespace

int run_child_scenario(const std::string &) { return 99; }
