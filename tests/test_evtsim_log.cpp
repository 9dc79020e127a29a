// The simulated event log within one process: record layout, reads, clears, notification,
// damage, the test hooks, and subscriptions with rendering.
#include <gtest/gtest.h>
#include <windows.h>
#include <winevt.h>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>
#include "tools/evtsim/evtsim.h"

namespace {

constexpr DWORD forwards = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;

// Every test gets its own, empty simulation folder.
class SimLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(sim_use_private_dir(std::wstring(name.begin(), name.end()).c_str()), 0u);
    }
    void TearDown() override { sim_remove_private_dir(); }
};

// Reports one event with the given strings and data through a source of the Application log.
void report(HANDLE source, DWORD id, std::initializer_list<const wchar_t *> strings, const char *data = nullptr,
            PSID sid = nullptr)
{
    std::vector<const wchar_t *> s(strings);
    ASSERT_TRUE(ReportEventW(source, EVENTLOG_AUDIT_FAILURE, 9, id, sid, static_cast<WORD>(s.size()),
                             data ? static_cast<DWORD>(strlen(data)) : 0, s.empty() ? nullptr : s.data(),
                             const_cast<char *>(data)))
        << GetLastError();
}

void report_many(int n)
{
    HANDLE source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    ASSERT_NE(source, nullptr);
    for (int i = 1; i <= n; ++i)
        report(source, 0xC000AF09, {std::to_wstring(i).c_str()});
    DeregisterEventSource(source);
}

std::vector<std::wstring> strings_of(const EVENTLOGRECORD *r)
{
    std::vector<std::wstring> out;
    const wchar_t *s = reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(r) + r->StringOffset);
    for (int i = 0; i < r->NumStrings; ++i, s += wcslen(s) + 1)
        out.emplace_back(s);
    return out;
}

// The first insertion string of each record read, in order.
std::vector<std::wstring> firsts(const BYTE *buffer, DWORD read)
{
    std::vector<std::wstring> out;
    for (DWORD pos = 0; pos < read; pos += reinterpret_cast<const EVENTLOGRECORD *>(buffer + pos)->Length)
        out.push_back(strings_of(reinterpret_cast<const EVENTLOGRECORD *>(buffer + pos))[0]);
    return out;
}

// A record built by the layer for the given log entry.
std::vector<BYTE> make_record(DWORD id, std::initializer_list<const wchar_t *> strings, DWORD time = 0)
{
    std::vector<const wchar_t *> s(strings);
    SimRecord f = {};
    f.source = L"Test";
    f.event_id = id;
    f.event_type = EVENTLOG_WARNING_TYPE;
    f.time_generated = time;
    f.num_strings = static_cast<WORD>(s.size());
    f.strings = s.data();
    std::vector<BYTE> record(sim_max_record_size);
    DWORD length = 0;
    EXPECT_EQ(sim_build_record(f, record.data(), sim_max_record_size, &length), 0u);
    record.resize(length);
    return record;
}

TEST_F(SimLogTest, ReportEventStoresTheRecordAsGiven)
{
    HANDLE source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    ASSERT_NE(source, nullptr);
    DWORD before = static_cast<DWORD>(_time64(nullptr));
    report(source, 0xC000AF09, {L"DOM", L"alice", L"203.0.113.7", L"5", L"3", L"NTLM"}, "BLOCKED");
    BYTE sid_bytes[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof(sid_bytes);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, sid_bytes, &sid_size));
    report(source, 0xC000AF0B, {}, nullptr, sid_bytes);
    DeregisterEventSource(source);

    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(log, nullptr);
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    const EVENTLOGRECORD *r = reinterpret_cast<const EVENTLOGRECORD *>(buffer.data());
    ASSERT_EQ(sim_check_record(r, read), r->Length);
    EXPECT_EQ(r->Reserved, 0x654c664cu);
    EXPECT_EQ(r->RecordNumber, 1u);
    EXPECT_EQ(r->EventID, 0xC000AF09u);
    EXPECT_EQ(r->EventType, EVENTLOG_AUDIT_FAILURE);
    EXPECT_EQ(r->EventCategory, 9);
    EXPECT_EQ(r->UserSidLength, 0u);
    EXPECT_GE(r->TimeGenerated + 1, before);
    EXPECT_LE(r->TimeGenerated, before + 60);
    EXPECT_STREQ(reinterpret_cast<const wchar_t *>(buffer.data() + sizeof(EVENTLOGRECORD)), L"tosmire.IPS");
    EXPECT_EQ(strings_of(r), (std::vector<std::wstring>{L"DOM", L"alice", L"203.0.113.7", L"5", L"3", L"NTLM"}));
    ASSERT_EQ(r->DataLength, 7u);
    EXPECT_EQ(memcmp(buffer.data() + r->DataOffset, "BLOCKED", 7), 0);
    DWORD trailer;
    memcpy(&trailer, buffer.data() + r->Length - 4, 4);
    EXPECT_EQ(trailer, r->Length);
    // The second record, with the SID and neither strings nor data.
    ASSERT_EQ(read, r->Length + reinterpret_cast<const EVENTLOGRECORD *>(buffer.data() + r->Length)->Length);
    const EVENTLOGRECORD *r2 = reinterpret_cast<const EVENTLOGRECORD *>(buffer.data() + r->Length);
    EXPECT_EQ(r2->RecordNumber, 2u);
    EXPECT_EQ(r2->NumStrings, 0);
    EXPECT_EQ(r2->DataLength, 0u);
    ASSERT_EQ(r2->UserSidLength, GetLengthSid(sid_bytes));
    EXPECT_TRUE(EqualSid(const_cast<BYTE *>(reinterpret_cast<const BYTE *>(r2) + r2->UserSidOffset), sid_bytes));
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseEventLog(log);
}

TEST_F(SimLogTest, EmptyLogMakesTheSeekToTheNewestFail)
{
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ASSERT_NE(log, nullptr);
    DWORD oldest = 99, count = 99, read = 0, needed = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_EQ(oldest, 0u);
    EXPECT_EQ(count, 0u);
    BYTE buffer[4096];
    EXPECT_FALSE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, oldest + count - 1, buffer,
                               sizeof(buffer), &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer, sizeof(buffer), &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseEventLog(log);
}

TEST_F(SimLogTest, SeekThenSequentialReadsWholeRecordsOnly)
{
    report_many(5);
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(log, nullptr);
    DWORD oldest = 0, count = 0, read = 0, needed = 0;
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_EQ(oldest, 1u);
    EXPECT_EQ(count, 5u);
    std::vector<BYTE> buffer(65536);
    // Too small for the record: nothing read, the size needed, the position kept.
    EXPECT_FALSE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 3, buffer.data(), 16, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(read, 0u);
    DWORD one = needed;
    ASSERT_GT(one, sizeof(EVENTLOGRECORD));
    // Room for one and a half records: only the whole one comes.
    ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 3, buffer.data(), one + one / 2, &read,
                              &needed));
    EXPECT_EQ(firsts(buffer.data(), read), std::vector<std::wstring>{L"3"});
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(firsts(buffer.data(), read), (std::vector<std::wstring>{L"4", L"5"}));
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    // A record written later is read next.
    report_many(1);
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(firsts(buffer.data(), read), std::vector<std::wstring>{L"1"});
    // Seeks outside the log, and flags that contradict each other.
    EXPECT_FALSE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 7, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_FALSE(ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 0,
                               buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseEventLog(log);
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimLogTest, BackwardsReadsGoFromTheNewest)
{
    report_many(4);
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(log, nullptr);
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(), 65536, &read,
                              &needed));
    EXPECT_EQ(firsts(buffer.data(), read), (std::vector<std::wstring>{L"4", L"3", L"2", L"1"}));
    ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, 2, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(firsts(buffer.data(), read), (std::vector<std::wstring>{L"2", L"1"}));
    CloseEventLog(log);
}

TEST_F(SimLogTest, ClearGives1503ToHandlesOpenedBefore)
{
    report_many(3);
    HANDLE before = OpenEventLogW(nullptr, L"Application");
    HANDLE clearer = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(before, nullptr);
    ASSERT_NE(clearer, nullptr);
    wchar_t backup[sim_path_capacity];
    ASSERT_EQ(sim_dir(backup, sim_path_capacity), 0u);
    wcscat_s(backup, L"\\backup.evt");
    ASSERT_TRUE(ClearEventLogW(clearer, backup)) << GetLastError();
    // A backup that exists already is not overwritten.
    EXPECT_FALSE(ClearEventLogW(clearer, backup));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0, value = 0;
    EXPECT_FALSE(ReadEventLogW(before, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED));
    EXPECT_FALSE(GetNumberOfEventLogRecords(before, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED));
    CloseEventLog(before);

    // The clearing handle and new handles see the empty log; numbering starts again.
    EXPECT_FALSE(ReadEventLogW(clearer, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    report_many(1);
    HANDLE after = OpenEventLogW(nullptr, L"Application");
    ASSERT_TRUE(ReadEventLogW(after, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(reinterpret_cast<EVENTLOGRECORD *>(buffer.data())->RecordNumber, 1u);
    CloseEventLog(after);
    CloseEventLog(clearer);

    // The backup is a clean .evt file holding the three records.
    HANDLE file = CreateFileW(backup, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ElfLogfileHeader header = {};
    ReadFile(file, &header, sizeof(header), &read, nullptr);
    EXPECT_EQ(GetFileSize(file, nullptr), header.EndOffset + sizeof(ElfEofRecord));
    CloseHandle(file);
    DeleteFileW(backup);
    EXPECT_EQ(header.Signature, 0x654c664cu);
    EXPECT_EQ(header.OldestRecordNumber, 1u);
    EXPECT_EQ(header.CurrentRecordNumber, 4u);
}

TEST_F(SimLogTest, NotificationIsSetAndStaysSet)
{
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(NotifyChangeEventLog(log, event));
    EXPECT_EQ(WaitForSingleObject(event, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    report_many(1);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    // Set rather than pulsed: a record that arrives while nobody waits is not lost.
    ResetEvent(event);
    report_many(1);
    Sleep(300);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // Closing the log ends the notification; the caller's event stays usable.
    CloseEventLog(log);
    ResetEvent(event);
    report_many(1);
    EXPECT_EQ(WaitForSingleObject(event, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

// Reads the log file's header and raw bytes.
std::vector<BYTE> file_bytes(int log)
{
    wchar_t path[sim_path_capacity];
    sim_log_path(log, path, sim_path_capacity);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<BYTE> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return bytes;
}

void write_file_at(int log, DWORD offset, const void *data, DWORD size)
{
    wchar_t path[sim_path_capacity];
    sim_log_path(log, path, sim_path_capacity);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED at = {};
    at.Offset = offset;
    DWORD written = 0;
    WriteFile(file, data, size, &written, &at);
    CloseHandle(file);
}

TEST_F(SimLogTest, TornAppendLeavesEarlierRecordsAndIsOverwritten)
{
    report_many(2);
    std::vector<BYTE> bytes = file_bytes(sim_application);
    ElfLogfileHeader header;
    memcpy(&header, bytes.data(), sizeof(header));
    // A writer that died half-way: part of a record over the EOF record, header unchanged.
    std::vector<BYTE> torn = make_record(4625, {L"torn"});
    write_file_at(sim_application, header.EndOffset, torn.data(), static_cast<DWORD>(torn.size() / 2));

    HANDLE log = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(log, nullptr);
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(firsts(buffer.data(), read), (std::vector<std::wstring>{L"1", L"2"}));
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    report_many(1);
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(firsts(buffer.data(), read), std::vector<std::wstring>{L"1"});
    EXPECT_EQ(reinterpret_cast<EVENTLOGRECORD *>(buffer.data())->RecordNumber, 3u);
    CloseEventLog(log);
}

TEST_F(SimLogTest, DamageIsReportedNotHandedOver)
{
    report_many(2);
    std::vector<BYTE> bytes = file_bytes(sim_application);
    DWORD first = reinterpret_cast<EVENTLOGRECORD *>(bytes.data() + sizeof(ElfLogfileHeader))->Length;
    // The second record's trailing length no longer matches.
    DWORD bad = 0x12345678;
    write_file_at(sim_application, sizeof(ElfLogfileHeader) + first + first - 4, &bad, 4);
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    std::vector<BYTE> buffer(65536);
    DWORD read = 0, needed = 0;
    ASSERT_TRUE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(read, first);
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer.data(), 65536, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
    CloseEventLog(log);
    // A damaged header: the log cannot be opened.
    write_file_at(sim_application, 4, &bad, 4);
    EXPECT_EQ(OpenEventLogW(nullptr, L"Application"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
}

TEST(SimRecordCheck, RefusesRecordsThatPointOutside)
{
    std::vector<BYTE> good = make_record(4625, {L"a", L"bc"});
    EXPECT_EQ(sim_check_record(good.data(), static_cast<DWORD>(good.size())), good.size());
    EXPECT_EQ(sim_check_record(good.data(), static_cast<DWORD>(good.size() - 4)), 0u);
    auto broken = [&](auto change) {
        std::vector<BYTE> r = good;
        change(reinterpret_cast<EVENTLOGRECORD *>(r.data()), r.data());
        return sim_check_record(r.data(), static_cast<DWORD>(r.size()));
    };
    EXPECT_EQ(broken([](EVENTLOGRECORD *r, BYTE *) { r->NumStrings = 40; }), 0u);         // strings beyond the record
    EXPECT_EQ(broken([](EVENTLOGRECORD *r, BYTE *) { r->StringOffset = r->Length; }), 0u);
    EXPECT_EQ(broken([](EVENTLOGRECORD *r, BYTE *) { r->DataLength = 8; r->DataOffset = r->Length - 6; }), 0u);
    EXPECT_EQ(broken([](EVENTLOGRECORD *r, BYTE *) { r->UserSidLength = 12; }), 0u);       // not a SID
    EXPECT_EQ(broken([](EVENTLOGRECORD *r, BYTE *) { r->Reserved = 0; }), 0u);
    EXPECT_EQ(broken([](EVENTLOGRECORD *r, BYTE *b) {                                      // unterminated last string
        memset(b + r->Length - 8, 'x', 4);
    }), 0u);
    std::vector<BYTE> r = good;
    reinterpret_cast<EVENTLOGRECORD *>(r.data())->NumStrings = 5;
    EXPECT_EQ(sim_append_records(sim_security, r.data(), static_cast<DWORD>(r.size())), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(SimLogTest, HooksMakeTheCallsFail)
{
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"1314");
    EXPECT_EQ(OpenEventLogW(nullptr, L"Security"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    HANDLE application = OpenEventLogW(nullptr, L"Application");
    EXPECT_NE(application, nullptr);
    CloseEventLog(application);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);

    ASSERT_EQ(sim_append_records(sim_security, make_record(4625, {L"x"}).data(),
                                 static_cast<DWORD>(make_record(4625, {L"x"}).size())), 0u);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", L"1717");
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ASSERT_NE(log, nullptr);
    BYTE buffer[4096];
    DWORD read = 0, needed = 0;
    EXPECT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 1, buffer, sizeof(buffer), &read, &needed));
    EXPECT_FALSE(ReadEventLogW(log, forwards, 0, buffer, sizeof(buffer), &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_UNKNOWN_IF));
    SetEnvironmentVariableW(L"TOSMIRE_SIM_READ_ERROR_Security", nullptr);
    CloseEventLog(log);

    SetEnvironmentVariableW(L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR", L"0x5");
    EXPECT_EQ(RegisterEventSourceW(nullptr, L"tosmire.IPS"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetEnvironmentVariableW(L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR", nullptr);
}

// Collects deliveries of a subscription.
struct Deliveries {
    EVT_HANDLE context = nullptr;
    std::vector<std::wstring> addresses;
    std::vector<ULONGLONG> times;
    std::vector<UINT16> ids;
    std::vector<DWORD> errors;
    std::atomic<int> running{0};
    bool overlapped = false;
    HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~Deliveries() { CloseHandle(arrived); }
};

DWORD WINAPI collect(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event)
{
    Deliveries *d = static_cast<Deliveries *>(context);
    if (d->running.fetch_add(1) != 0)
        d->overlapped = true;
    if (action == EvtSubscribeActionError) {
        d->errors.push_back(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(event)));
    } else {
        alignas(8) BYTE values[4096];
        DWORD used = 0, count = 0;
        if (EvtRender(d->context, event, EvtRenderEventValues, sizeof(values), values, &used, &count) && count == 3) {
            const EVT_VARIANT *v = reinterpret_cast<const EVT_VARIANT *>(values);
            d->times.push_back(v[0].Type == EvtVarTypeFileTime ? v[0].FileTimeVal : 0);
            d->ids.push_back(v[1].Type == EvtVarTypeUInt16 ? v[1].UInt16Val : 0);
            d->addresses.push_back(v[2].Type == EvtVarTypeString ? v[2].StringVal : L"<not a string>");
        }
        Sleep(2);   // lets a second delivery overlap, if the layer allowed it
    }
    d->running.fetch_sub(1);
    SetEvent(d->arrived);
    return 0;
}

bool wait_for(Deliveries &d, size_t n)
{
    while (d.addresses.size() < n)
        if (WaitForSingleObject(d.arrived, 10000) != WAIT_OBJECT_0)
            return false;
    return true;
}

LPCWSTR value_paths[] = {L"Event/System/TimeCreated/@SystemTime", L"Event/System/EventID", L"Event/EventData/Data"};

void append(int log, const std::vector<BYTE> &record)
{
    ASSERT_EQ(sim_append_records(log, record.data(), static_cast<DWORD>(record.size())), 0u);
}

TEST_F(SimLogTest, SubscriptionDeliversFutureEventsOfTheQuery)
{
    append(sim_rdp, make_record(140, {L"192.0.2.1"}));   // before the subscription: not delivered
    Deliveries d;
    d.context = EvtCreateRenderContext(3, value_paths, EvtRenderContextValues);
    ASSERT_NE(d.context, nullptr);
    EVT_HANDLE sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, &d, collect,
                                  EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr) << GetLastError();
    append(sim_rdp, make_record(141, {L"192.0.2.2"}));   // another event ID
    for (int i = 3; i < 23; ++i)
        append(sim_rdp, make_record(140, {(L"192.0.2." + std::to_wstring(i)).c_str()}, 1651234567 + i));
    ASSERT_TRUE(wait_for(d, 20));
    EXPECT_TRUE(EvtClose(sub));
    ASSERT_EQ(d.addresses.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(d.addresses[i], L"192.0.2." + std::to_wstring(i + 3));
        EXPECT_EQ(d.ids[i], 140);
        EXPECT_EQ(d.times[i], (1651234567ull + i + 3 + 11644473600ull) * 10000000ull);
    }
    EXPECT_FALSE(d.overlapped);
    EXPECT_TRUE(d.errors.empty());
    EvtClose(d.context);
}

TEST_F(SimLogTest, SubscriptionGoesOnAfterTheChannelIsCleared)
{
    Deliveries d;
    d.context = EvtCreateRenderContext(3, value_paths, EvtRenderContextValues);
    EVT_HANDLE sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"Event/System/EventID=140", nullptr, &d, collect,
                                  EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr);
    append(sim_rdp, make_record(140, {L"192.0.2.1"}));
    ASSERT_TRUE(wait_for(d, 1));
    HANDLE log = OpenEventLogW(nullptr, sim_rdp_channel);
    ASSERT_TRUE(ClearEventLogW(log, nullptr));
    CloseEventLog(log);
    append(sim_rdp, make_record(140, {L"192.0.2.2"}));
    ASSERT_TRUE(wait_for(d, 2));
    EvtClose(sub);
    EvtClose(d.context);
    EXPECT_EQ(d.addresses, (std::vector<std::wstring>{L"192.0.2.1", L"192.0.2.2"}));
    EXPECT_TRUE(d.errors.empty());
}

DWORD WINAPI render_small(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event)
{
    Deliveries *d = static_cast<Deliveries *>(context);
    if (action != EvtSubscribeActionDeliver)
        return 0;
    DWORD used = 0, count = 0;
    BYTE small[16];
    BOOL ok = EvtRender(d->context, event, EvtRenderEventValues, sizeof(small), small, &used, &count);
    d->errors.push_back(ok ? 0 : GetLastError());
    d->ids.push_back(static_cast<UINT16>(used));
    std::vector<BYTE> exact(used);
    ok = EvtRender(d->context, event, EvtRenderEventValues, used, exact.data(), &used, &count);
    const EVT_VARIANT *v = reinterpret_cast<const EVT_VARIANT *>(exact.data());
    d->addresses.push_back(ok && v[2].Type == EvtVarTypeString ? v[2].StringVal
                           : ok && v[2].Type == EvtVarTypeNull ? L"<null>" : L"<failed>");
    SetEvent(d->arrived);
    return 0;
}

TEST_F(SimLogTest, RenderNamesTheSizeItNeeds)
{
    Deliveries d;
    d.context = EvtCreateRenderContext(3, value_paths, EvtRenderContextValues);
    EVT_HANDLE sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"*[System/EventID=140]", nullptr, &d, render_small,
                                  EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr);
    append(sim_rdp, make_record(140, {L"2001:db8::1"}));
    append(sim_rdp, make_record(140, {}));   // no address: a null value, not a string
    ASSERT_TRUE(wait_for(d, 2));
    EvtClose(sub);
    EvtClose(d.context);
    EXPECT_EQ(d.errors, (std::vector<DWORD>{ERROR_INSUFFICIENT_BUFFER, ERROR_INSUFFICIENT_BUFFER}));
    EXPECT_EQ(d.ids[0], 3 * sizeof(EVT_VARIANT) + sizeof(L"2001:db8::1"));
    EXPECT_EQ(d.ids[1], 3 * sizeof(EVT_VARIANT));
    EXPECT_EQ(d.addresses, (std::vector<std::wstring>{L"2001:db8::1", L"<null>"}));
}

TEST_F(SimLogTest, SubscribeRefusesUnknownChannelsAndQueries)
{
    auto subscribe = [](const wchar_t *channel, const wchar_t *query) {
        EVT_HANDLE sub = EvtSubscribe(nullptr, nullptr, channel, query, nullptr, nullptr, collect,
                                      EvtSubscribeToFutureEvents);
        DWORD error = sub == nullptr ? GetLastError() : 0;
        if (sub != nullptr)
            EvtClose(sub);
        return error;
    };
    EXPECT_EQ(subscribe(L"Microsoft-Windows-Nothing/Operational", L"*"), static_cast<DWORD>(ERROR_EVT_CHANNEL_NOT_FOUND));
    EXPECT_EQ(subscribe(sim_rdp_channel, L"Event/System/EventID=abc"), static_cast<DWORD>(ERROR_EVT_INVALID_QUERY));
    EXPECT_EQ(subscribe(sim_rdp_channel, L"Event/System/EventID=140 and"), static_cast<DWORD>(ERROR_EVT_INVALID_QUERY));
    EXPECT_EQ(subscribe(sim_rdp_channel, L"*[System[(EventID = 140)]]"), 0u);
    EXPECT_EQ(subscribe(L"microsoft-windows-remotedesktopservices-rdpcorets/operational", L"*"), 0u);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_RDP_CHANNEL", L"1");
    EXPECT_EQ(subscribe(sim_rdp_channel, L"Event/System/EventID=140"), static_cast<DWORD>(ERROR_EVT_CHANNEL_NOT_FOUND));
    SetEnvironmentVariableW(L"TOSMIRE_SIM_NO_RDP_CHANNEL", nullptr);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_RDP", L"5");
    EXPECT_EQ(subscribe(sim_rdp_channel, L"Event/System/EventID=140"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_RDP", nullptr);
}

struct Closing {
    EVT_HANDLE sub = nullptr;
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    bool close_inside = false;
    ~Closing() { CloseHandle(entered); }
};

DWORD WINAPI slow_callback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE)
{
    Closing *c = static_cast<Closing *>(context);
    if (action != EvtSubscribeActionDeliver)
        return 0;
    ++c->calls;
    SetEvent(c->entered);
    if (c->close_inside) {
        c->finished = EvtClose(c->sub) != FALSE;   // must not wait for itself
        return 0;
    }
    Sleep(300);
    c->finished = true;
    return 0;
}

TEST_F(SimLogTest, CloseWaitsForARunningCallback)
{
    Closing c;
    c.sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"*", nullptr, &c, slow_callback, EvtSubscribeToFutureEvents);
    ASSERT_NE(c.sub, nullptr);
    append(sim_rdp, make_record(140, {L"192.0.2.9"}));
    ASSERT_EQ(WaitForSingleObject(c.entered, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(EvtClose(c.sub));
    EXPECT_TRUE(c.finished);
    EXPECT_FALSE(EvtClose(c.sub));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimLogTest, CloseFromInsideTheCallbackEndsTheSubscription)
{
    Closing c;
    c.close_inside = true;
    c.sub = EvtSubscribe(nullptr, nullptr, sim_rdp_channel, L"*", nullptr, &c, slow_callback, EvtSubscribeToFutureEvents);
    ASSERT_NE(c.sub, nullptr);
    append(sim_rdp, make_record(140, {L"192.0.2.9"}));
    ASSERT_EQ(WaitForSingleObject(c.entered, 10000), WAIT_OBJECT_0);
    append(sim_rdp, make_record(140, {L"192.0.2.10"}));
    Sleep(300);
    EXPECT_TRUE(c.finished);
    EXPECT_EQ(c.calls, 1);
}

} // namespace
