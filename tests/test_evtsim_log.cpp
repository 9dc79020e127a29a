// The simulated event log within one process: records as reported, hostile records, reads,
// torn appends and damaged files, and the channels and queries a subscription takes.
#include <gtest/gtest.h>
#include <windows.h>
#include <winevt.h>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>
#include "tools/evtsim/evtsim.h"

namespace {

using Strings = std::vector<std::wstring>;
constexpr DWORD forwards = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
constexpr DWORD seek = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
BYTE g_buffer[65536];
DWORD g_read, g_needed;

// Every test gets its own, empty simulation folder.
struct SimLogTest : ::testing::Test {
    std::vector<std::wstring> files;   // other files the test put into the folder
    void SetUp() override { ASSERT_EQ(sim_use_private_dir(L"log"), 0u); }
    void TearDown() override { for (const std::wstring &f : files) DeleteFileW(f.c_str()); sim_remove_private_dir(); }
    // A file in the folder, deleted with it.
    std::wstring file(const char *name)
    {
        wchar_t dir[sim_path_capacity];
        sim_dir(dir, sim_path_capacity);
        return files.emplace_back(dir + (L"\\" + std::wstring(name, name + strlen(name))));
    }
};

const EVENTLOGRECORD *record_at(DWORD at) { return reinterpret_cast<const EVENTLOGRECORD *>(g_buffer + at); }

Strings strings_of(const EVENTLOGRECORD *r)
{
    Strings out;
    const wchar_t *s = reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(r) + r->StringOffset);
    for (int i = 0; i < r->NumStrings; ++i, s += wcslen(s) + 1)
        out.emplace_back(s);
    return out;
}

Strings error(DWORD code) { return {L"#" + std::to_wstring(code)}; }

// One ReadEventLogW into g_buffer: the first insertion string of each record read, or error().
Strings read(HANDLE log, DWORD flags = forwards, DWORD number = 0, DWORD size = sizeof(g_buffer))
{
    if (!ReadEventLogW(log, flags, number, g_buffer, size, &g_read, &g_needed))
        return error(GetLastError());
    Strings firsts;
    for (DWORD at = 0; at < g_read; at += record_at(at)->Length)
        firsts.push_back(strings_of(record_at(at)).front());
    return firsts;
}

// Reports events "1" to "n" (their only insertion string) to the Application log.
void report_many(int n)
{
    HANDLE source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    for (int i = 1; i <= n; ++i) {
        std::wstring text = std::to_wstring(i);
        const wchar_t *strings[] = {text.c_str()};
        ASSERT_TRUE(ReportEventW(source, EVENTLOG_AUDIT_FAILURE, 9, 0xC000AF09, nullptr, 1, 0, strings, nullptr));
    }
    DeregisterEventSource(source);
}

TEST_F(SimLogTest, ReportEventStoresTheRecordAsGivenAndHostileRecordsAreRefused)
{
    HANDLE source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    DWORD before = static_cast<DWORD>(_time64(nullptr));
    const wchar_t *strings[] = {L"DOM", L"alice", L"203.0.113.7", L"5", L"3", L"NTLM"};
    ASSERT_TRUE(ReportEventW(source, EVENTLOG_AUDIT_FAILURE, 9, 0xC000AF09, nullptr, 6, 7, strings,
                             const_cast<char *>("BLOCKED")));
    DeregisterEventSource(source);
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_EQ(read(log), Strings{L"DOM"});
    CloseEventLog(log);
    const EVENTLOGRECORD *r = record_at(0);
    const DWORD size = g_read;
    ASSERT_EQ(sim_check_record(r, size), size);   // one whole, well-formed record
    EXPECT_EQ(std::make_tuple(r->RecordNumber, r->EventID, r->EventType, r->EventCategory, r->UserSidLength),
              std::make_tuple(1ul, 0xC000AF09ul, WORD{EVENTLOG_AUDIT_FAILURE}, WORD{9}, 0ul));
    EXPECT_LE(r->TimeGenerated + 1 - before, 61u);
    EXPECT_STREQ(reinterpret_cast<const wchar_t *>(r + 1), L"tosmire.IPS");
    EXPECT_EQ(strings_of(r), Strings(std::begin(strings), std::end(strings)));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r) + r->DataOffset, r->DataLength), "BLOCKED");

    // The record with anything pointing outside it, or not what it claims to be.
    const std::vector<BYTE> good(g_buffer, g_buffer + size);
    EXPECT_EQ(sim_check_record(good.data(), size - 4), 0u);
    // Strings or data beyond the record, a SID that is not one, a wrong signature, strings that
    // run into the trailing length.
    void (*const breaks[])(EVENTLOGRECORD *) = {
        [](EVENTLOGRECORD *b) { b->NumStrings = 400; },
        [](EVENTLOGRECORD *b) { b->StringOffset = b->Length; },
        [](EVENTLOGRECORD *b) { b->DataOffset = b->Length - 6; },
        [](EVENTLOGRECORD *b) { b->UserSidLength = 12; },
        [](EVENTLOGRECORD *b) { b->Reserved = 0; },
        [](EVENTLOGRECORD *b) { memset(reinterpret_cast<BYTE *>(b) + b->StringOffset, 1, b->Length - 4 - b->StringOffset); },
    };
    for (auto &change : breaks) {
        std::vector<BYTE> bad = good;
        change(reinterpret_cast<EVENTLOGRECORD *>(bad.data()));
        EXPECT_EQ(sim_check_record(bad.data(), size), 0u) << &change - breaks;
        EXPECT_EQ(sim_append_records(sim_security, bad.data(), size), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
}

TEST_F(SimLogTest, SeeksAndSequentialReadsGiveWholeRecords)
{
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(log, nullptr);
    DWORD oldest = 9, count = 9;
    // An empty log: the engine's seek to the newest record (oldest + count - 1) fails.
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest) && GetNumberOfEventLogRecords(log, &count));
    EXPECT_EQ(oldest + count, 0u);
    EXPECT_EQ(read(log, seek, oldest + count - 1), error(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read(log), error(ERROR_HANDLE_EOF));
    report_many(5);
    // Too small for the record: nothing read, the size needed.
    EXPECT_EQ(read(log, seek, 3, 16), error(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(g_read, 0u);
    ASSERT_GT(g_needed, sizeof(EVENTLOGRECORD));
    // Room for one and a half records: only the whole one comes.
    EXPECT_EQ(read(log, seek, 3, g_needed * 3 / 2), Strings{L"3"});
    EXPECT_EQ(read(log), (Strings{L"4", L"5"}));
    EXPECT_EQ(read(log), error(ERROR_HANDLE_EOF));
    report_many(1);   // written later: read next
    EXPECT_EQ(read(log), Strings{L"1"});
    EXPECT_EQ(read(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, 2), (Strings{L"2", L"1"}));
    // Seeks outside the log, and flags that contradict each other.
    EXPECT_EQ(read(log, seek, 7), error(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read(log, forwards | EVENTLOG_SEEK_READ), error(ERROR_INVALID_PARAMETER));
    CloseEventLog(log);
    EXPECT_EQ(read(log), error(ERROR_INVALID_HANDLE));
}

// Overwrites bytes of a file (the Application log's unless named), as a writer that died or a
// failing disk.
void write_file_at(DWORD offset, const void *data, DWORD size, const wchar_t *name = nullptr)
{
    wchar_t path[sim_path_capacity];
    sim_log_path(sim_application, path, sim_path_capacity);
    HANDLE file = CreateFileW(name != nullptr ? name : path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    OVERLAPPED at = {};
    at.Offset = offset;
    EXPECT_TRUE(WriteFile(file, data, size, nullptr, &at));
    CloseHandle(file);
}

TEST_F(SimLogTest, TornAppendsAndDamageNeverHandOverBadRecords)
{
    report_many(2);
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_EQ(read(log), (Strings{L"1", L"2"}));
    CloseEventLog(log);
    // A writer that died half-way: part of a record over the EOF record, the header unchanged.
    const DWORD first = record_at(0)->Length;
    write_file_at(sizeof(ElfLogfileHeader) + g_read, g_buffer, first / 2);
    log = OpenEventLogW(nullptr, L"Application");
    EXPECT_EQ(read(log), (Strings{L"1", L"2"}));
    EXPECT_EQ(read(log), error(ERROR_HANDLE_EOF));
    report_many(1);   // the next append takes the torn one's place
    EXPECT_EQ(read(log), Strings{L"1"});
    EXPECT_EQ(record_at(0)->RecordNumber, 3u);
    CloseEventLog(log);
    // The second record's trailing length no longer matches: reading stops in front of it.
    const DWORD bad = 0x12345678;
    write_file_at(sizeof(ElfLogfileHeader) + 2 * first - 4, &bad, 4);
    log = OpenEventLogW(nullptr, L"Application");
    EXPECT_EQ(read(log), Strings{L"1"});
    EXPECT_EQ(read(log), error(ERROR_EVENTLOG_FILE_CORRUPT));
    CloseEventLog(log);
    write_file_at(4, &bad, 4);   // a damaged header: the log does not open
    EXPECT_EQ(OpenEventLogW(nullptr, L"Application"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
}

std::string file_bytes(const std::wstring &path)
{
    std::string bytes(65536, '\0');
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(file, bytes.data(), 65536, &n, nullptr));
    CloseHandle(file);
    return bytes.substr(0, n);
}

// A saved log reads as the log was when it was saved. What is not a clean saved log does not
// open; one damaged or cut short gives its whole records and then 1500, even when the cut falls
// between two records. Reading never changes the file.
TEST_F(SimLogTest, SavedLogsReadAsTheLogWasAndDamagedOnesUpToTheDamage)
{
    const std::wstring saved = file("saved.evt"), empty = file("empty.evt");
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_TRUE(BackupEventLogW(log, empty.c_str()));
    report_many(3);
    ASSERT_EQ(read(log), (Strings{L"1", L"2", L"3"}));
    const std::string live(reinterpret_cast<char *>(g_buffer), g_read);
    ASSERT_TRUE(BackupEventLogW(log, saved.c_str()));
    report_many(1);
    const std::string bytes = file_bytes(saved);
    EXPECT_FALSE(BackupEventLogW(log, saved.c_str()));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    CloseEventLog(log);
    HANDLE h = OpenBackupEventLogW(nullptr, saved.c_str());
    DWORD oldest = 0, count = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(h, &oldest) && GetNumberOfEventLogRecords(h, &count));
    EXPECT_EQ(oldest * 10 + count, 13u);
    EXPECT_EQ(read(h, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, 2), (Strings{L"2", L"1"}));
    EXPECT_EQ(read(h, seek, 1), (Strings{L"1", L"2", L"3"}));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g_buffer), g_read), live);   // numbers and all
    EXPECT_TRUE(BackupEventLogW(h, file("copy.evt").c_str()));   // a saved log saved again: the same file
    EXPECT_EQ(file_bytes(files.back()), bytes);
    EXPECT_FALSE(NotifyChangeEventLog(h, GetCurrentProcess()) || ClearEventLogW(h, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    CloseEventLog(h);
    EXPECT_EQ(OpenBackupEventLogW(nullptr, file("missing.evt").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});

    // Each opened file read twice: whole records, then an error.
    const DWORD first = record_at(0)->Length, header = sizeof(ElfLogfileHeader);
    const struct { const char *what; std::string bytes; DWORD error; Strings reads; } cases[] = {
        {"saved", bytes, 0, {L"1", L"2", L"3", L"#38"}},
        {"empty", file_bytes(empty), 0, {L"#38", L"#38"}},
        {"cut in a record", bytes.substr(0, header + first * 3 / 2), 0, {L"1", L"#1500"}},
        {"cut between records", bytes.substr(0, header + 2 * first), 0, {L"1", L"2", L"#1500"}},
        {"text", "This is not an event log, though it is longer than a header.\r\n", 1500, {}},
        {"short", bytes.substr(0, header - 4), 1500, {}},
        {"signature", bytes.substr(0, 4) + "XfLe" + bytes.substr(8), 1500, {}},
        {"evtx", std::string("ElfFile\0", 8) + bytes.substr(8), 1500, {}},
    };
    for (const auto &c : cases) {
        const std::wstring path = file(c.what);
        write_file_at(0, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), path.c_str());
        h = OpenBackupEventLogW(nullptr, path.c_str());
        EXPECT_EQ(h == nullptr ? GetLastError() : 0, c.error) << c.what;
        Strings reads = h != nullptr ? read(h) : Strings{}, more = h != nullptr ? read(h) : Strings{};
        reads.insert(reads.end(), more.begin(), more.end());
        EXPECT_EQ(reads, c.reads) << c.what;
        CloseEventLog(h);
        EXPECT_EQ(file_bytes(path), c.bytes) << c.what;   // reading changed nothing
    }
}

// As on Windows, a cleared Security log starts with event 1102 naming the clearing account, in
// place before the clear wakes a waiting reader; other logs start empty.
TEST_F(SimLogTest, AClearedSecurityLogStartsWithEvent1102AndOtherLogsEmpty)
{
    const wchar_t *failure[] = {L"x"};
    SimRecord fields = {L"Microsoft-Windows-Security-Auditing", nullptr, 4625, EVENTLOG_AUDIT_FAILURE, 12544, 0,
                        nullptr, 1, failure, nullptr, 0};
    DWORD length = 0;
    ASSERT_EQ(sim_build_record(fields, g_buffer, sizeof(g_buffer), &length), 0u);
    ASSERT_EQ(sim_append_records(sim_security, g_buffer, length), 0u);
    report_many(2);
    wchar_t user[257];
    DWORD user_chars = 257;
    ASSERT_TRUE(GetUserNameW(user, &user_chars));
    for (const wchar_t *name : {L"Security", L"Application"}) {
        HANDLE log = OpenEventLogW(nullptr, name), notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(log != nullptr && NotifyChangeEventLog(log, notify));
        ASSERT_TRUE(ClearEventLogW(log, nullptr));
        ASSERT_EQ(WaitForSingleObject(notify, 5000), WAIT_OBJECT_0);
        HANDLE fresh = OpenEventLogW(nullptr, name);
        DWORD oldest = 9, count = 9;
        ASSERT_TRUE(GetOldestEventLogRecord(fresh, &oldest) && GetNumberOfEventLogRecords(fresh, &count));
        if (wcscmp(name, L"Application") == 0) {
            EXPECT_EQ(oldest + count, 0u);
        } else {
            ASSERT_EQ(oldest * 10 + count, 11u);
            ASSERT_EQ(read(fresh, seek, 1).size(), 1u);
            const EVENTLOGRECORD *r = record_at(0);
            const Strings subject = strings_of(r);
            EXPECT_EQ(std::make_tuple(r->EventID, r->EventType, r->EventCategory, r->UserSidLength),
                      std::make_tuple(DWORD{1102}, WORD{EVENTLOG_AUDIT_SUCCESS}, WORD{104}, DWORD{0}));
            EXPECT_STREQ(reinterpret_cast<const wchar_t *>(r + 1), L"Microsoft-Windows-Eventlog");
            ASSERT_EQ(subject.size(), 4u);
            EXPECT_EQ(subject[0].substr(0, 4), L"S-1-");
            EXPECT_EQ(subject[1], user);
            EXPECT_FALSE(subject[2].empty());
            EXPECT_EQ(subject[3].substr(0, 2), L"0x");
        }
        CloseEventLog(fresh);
        CloseEventLog(log);
        CloseHandle(notify);
    }
}

DWORD WINAPI ignore(EVT_SUBSCRIBE_NOTIFY_ACTION, PVOID, EVT_HANDLE) { return 0; }

// A channel's hook variable set to 1 makes it missing.
TEST_F(SimLogTest, SubscribeRefusesUnknownChannelsAndQueries)
{
    const wchar_t *const no_forwarded = sim_no_forwarded_channel_variable;
    const struct { const wchar_t *channel, *query; DWORD error; const wchar_t *hook = nullptr; } cases[] = {
        {L"Microsoft-Windows-Nothing/Operational", L"*", ERROR_EVT_CHANNEL_NOT_FOUND},
        {sim_rdp_channel, L"Event/System/EventID=abc", ERROR_EVT_INVALID_QUERY},
        {sim_rdp_channel, L"Event/System/EventID=140 and", ERROR_EVT_INVALID_QUERY},
        {sim_rdp_channel, L"*[System[(EventID = 140)]]", 0},
        {L"microsoft-windows-remotedesktopservices-rdpcorets/operational", L"*", 0},
        {sim_rdp_channel, L"*", ERROR_EVT_CHANNEL_NOT_FOUND, sim_no_rdp_channel_variable},
        {L"ForwardedEvents", L"*[System[(EventID=4624 or EventID=4625 or EventID=4776)]]", 0},
        {L"forwardedevents", L" * [ System [ EventID=4625 or (EventID=4624 or EventID = 4776) ] ] ", 0},
        {L"ForwardedEvents", L"*[System[(EventID=4624 or)]]", ERROR_EVT_INVALID_QUERY},
        {L"ForwardedEvents", L"*[System[(EventID=4624orEventID=4625)]]", ERROR_EVT_INVALID_QUERY},
        {L"ForwardedEvents", L"*[System[(EventID=4624 and EventID=4625)]]", ERROR_EVT_INVALID_QUERY},
        {L"ForwardedEvents", L"*[System[(EventID=4624 or EventID=65536)]]", ERROR_EVT_INVALID_QUERY},
        {L"ForwardedEvents", L"*[System[(EventID=4624 or EventID=4625]]", ERROR_EVT_INVALID_QUERY},
        {L"Forwarded", L"*", ERROR_EVT_CHANNEL_NOT_FOUND},   // the hooks' short name is no channel
        {L"ForwardedEvents", L"*", ERROR_EVT_CHANNEL_NOT_FOUND, no_forwarded},
        {L"ForwardedEvents", L"*[System[(EventID=4624 or)]]", ERROR_EVT_CHANNEL_NOT_FOUND, no_forwarded},
    };
    for (const auto &c : cases) {
        if (c.hook != nullptr)
            SetEnvironmentVariableW(c.hook, L"1");
        EVT_HANDLE sub =
            EvtSubscribe(nullptr, nullptr, c.channel, c.query, nullptr, nullptr, ignore, EvtSubscribeToFutureEvents);
        EXPECT_EQ(sub == nullptr ? GetLastError() : 0, c.error) << c.query;
        if (c.hook != nullptr)
            SetEnvironmentVariableW(c.hook, nullptr);
        if (sub != nullptr)
            EvtClose(sub);
    }
}

} // namespace
