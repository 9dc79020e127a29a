// Logon event decoding against the event table, damaged records placed against an
// inaccessible page, the batch walk, and the time text.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "tests/event_record.h"

using namespace test_records;

namespace {

struct Decoded {
    DecodeResult result = DecodeResult::rejected;
    LogonReport report = {};
    bool is_success = false;
    std::wstring time;
};

// Every record is decoded where it ends right at an inaccessible page.
Decoded decode(const std::vector<BYTE> &bytes)
{
    static GuardedBytes guard;
    Decoded d;
    wchar_t time_text[time_text_chars] = L"untouched";
    const BYTE *at = guard.place(bytes);
    d.result = decode_logon_event(reinterpret_cast<const EVENTLOGRECORD *>(at), static_cast<DWORD>(bytes.size()),
                                  time_text, d.report, d.is_success);
    d.time = time_text;
    return d;
}

RecordSpec spec_of(DWORD id, WORD type, WORD category, size_t strings, size_t address_at, const std::wstring &address,
                   size_t type_at, const std::wstring &logon_type)
{
    return {id, type, category, 1651241109, strings_with(strings, address_at, address, type_at, logon_type)};
}
RecordSpec failure_4625(const std::wstring &address = L"203.0.113.7", const std::wstring &type = L"3")
{
    return spec_of(4625, EVENTLOG_AUDIT_FAILURE, 12544, 21, 19, address, 10, type);
}
DecodeResult result_of(const RecordSpec &spec) { return decode(build_record(spec)).result; }

TEST(DecodeLogonEvent, FieldsComeFromTheTablePositions)
{
    struct Row {
        DWORD id;
        WORD type;
        size_t strings, domain, user, address, logon_type, authentication;
    };
    const Row rows[] = {
        {528, EVENTLOG_AUDIT_SUCCESS, 15, 1, 0, 13, 3, 5},    {529, EVENTLOG_AUDIT_FAILURE, 13, 1, 0, 11, 2, 4},
        {539, EVENTLOG_AUDIT_FAILURE, 13, 1, 0, 11, 2, 4},    {4624, EVENTLOG_AUDIT_SUCCESS, 20, 6, 5, 18, 8, 10},
        {4624, EVENTLOG_AUDIT_SUCCESS, 27, 6, 5, 18, 8, 10},  {4625, EVENTLOG_AUDIT_FAILURE, 21, 6, 5, 19, 10, 12},
    };
    auto s = [](size_t k) { return L"s" + std::to_wstring(k); };
    for (const Row &row : rows)
        for (WORD category : {WORD{2}, WORD{12544}}) {
            SCOPED_TRACE(row.id);
            Decoded d = decode(build_record(
                spec_of(row.id, row.type, category, row.strings, row.address, L"198.51.100.20", row.logon_type, L"10")));
            ASSERT_EQ(d.result, DecodeResult::accepted);
            EXPECT_EQ(d.is_success, row.type == EVENTLOG_AUDIT_SUCCESS);
            EXPECT_EQ(d.report.domain, s(row.domain));
            EXPECT_EQ(d.report.user, s(row.user));
            EXPECT_STREQ(d.report.address, L"198.51.100.20");
            EXPECT_STREQ(d.report.attempts, L"");
            EXPECT_STREQ(d.report.logon_type, L"10");
            EXPECT_EQ(d.report.authentication, s(row.authentication));
            EXPECT_EQ(d.time.size(), 23u);
        }
}

TEST(DecodeLogonEvent, RejectsWhatTheTableAndFiltersDoNotAccept)
{
    RecordSpec wrong_type = failure_4625(), other_category = failure_4625(), other_id = failure_4625();
    RecordSpec extra = failure_4625(), none = failure_4625();
    wrong_type.event_type = EVENTLOG_AUDIT_SUCCESS;
    other_category.category = 12545;
    other_id.event_id = 4626;
    extra.strings.push_back(L"x");
    none.strings.clear();
    for (const RecordSpec &spec : {wrong_type, other_id, extra, none})
        EXPECT_EQ(result_of(spec), DecodeResult::rejected);
    EXPECT_EQ(decode(build_record(other_category)).time, L"untouched"); // one comparison, nothing else

    EXPECT_EQ(result_of(spec_of(528, EVENTLOG_AUDIT_FAILURE, 2, 15, 13, L"10.1.1.1", 3, L"3")), DecodeResult::rejected);
    EXPECT_EQ(result_of(spec_of(4624, EVENTLOG_AUDIT_SUCCESS, 12544, 23, 18, L"10.1.1.1", 8, L"3")),
              DecodeResult::rejected);
    // 4776 has no logon type: never accepted.
    EXPECT_EQ(result_of(spec_of(4776, EVENTLOG_AUDIT_FAILURE, 12544, 4, 2, L"10.1.1.1", 9, L"")),
              DecodeResult::rejected);
    for (const wchar_t *type : {L"3", L"8", L"10"})
        EXPECT_EQ(result_of(failure_4625(L"10.0.0.1", type)), DecodeResult::accepted) << type;
    for (const wchar_t *type : {L"2", L"5", L"03", L"", L"100"})
        EXPECT_EQ(result_of(failure_4625(L"10.0.0.1", type)), DecodeResult::rejected) << type;
}

TEST(DecodeLogonEvent, MissingAndSpoofedAddresses)
{
    EXPECT_EQ(result_of(failure_4625(L"-")), DecodeResult::rejected);
    Decoded spoofed = decode(build_record(failure_4625(L"0.0.0.0")));
    EXPECT_EQ(spoofed.result, DecodeResult::spoofed);
    EXPECT_FALSE(spoofed.is_success);
    EXPECT_STREQ(spoofed.report.address, L"0.0.0.0");
    EXPECT_EQ(result_of(spec_of(4624, EVENTLOG_AUDIT_SUCCESS, 12544, 20, 18, L"0.0.0.0", 8, L"3")),
              DecodeResult::rejected);
}

TEST(DecodeLogonEvent, DamagedRecordsAreRejectedWithoutReadingOutside)
{
    const std::vector<BYTE> good = build_record(failure_4625());
    ASSERT_EQ(decode(good).result, DecodeResult::accepted);
    const DWORD size = static_cast<DWORD>(good.size());
    const DWORD strings_at = reinterpret_cast<const EVENTLOGRECORD *>(good.data())->StringOffset;
    auto damaged = [&good](auto change) {
        std::vector<BYTE> bytes = good;
        change(bytes, header_of(bytes));
        return decode(bytes).result;
    };
    for (DWORD offset : std::initializer_list<DWORD>{size + 2, size, 0xFFFFFFFEu, strings_at + 1, 8u})
        EXPECT_EQ(damaged([offset](auto &, EVENTLOGRECORD &h) { h.StringOffset = offset; }), DecodeResult::rejected);
    for (DWORD length : std::initializer_list<DWORD>{size + 4, DWORD(sizeof(EVENTLOGRECORD) - 4)})
        EXPECT_EQ(damaged([length](auto &, EVENTLOGRECORD &h) { h.Length = length; }), DecodeResult::rejected);
    // The strings run to the very end of the record without a terminator.
    EXPECT_EQ(damaged([size](std::vector<BYTE> &b, EVENTLOGRECORD &h) {
                  for (DWORD i = h.StringOffset; i < size; i += 2)
                      b[i] = 'x', b[i + 1] = 0;
              }),
              DecodeResult::rejected);
    // The record claims 21 strings but holds 20; the rest of it has no terminator.
    RecordSpec short_spec = failure_4625();
    short_spec.strings.resize(20);
    std::vector<BYTE> cut = build_record(short_spec);
    header_of(cut).NumStrings = 21;
    size_t strings_end = header_of(cut).StringOffset;
    for (const std::wstring &s : short_spec.strings)
        strings_end += (s.size() + 1) * sizeof(wchar_t);
    for (size_t i = strings_end; i < cut.size(); ++i)
        cut[i] = 'y';
    EXPECT_EQ(decode(cut).result, DecodeResult::rejected);
    // Fewer bytes than the fixed header.
    EXPECT_EQ(decode(std::vector<BYTE>(good.begin(), good.begin() + 12)).result, DecodeResult::rejected);
}

std::vector<DWORD> visited_lengths;
void remember(const EVENTLOGRECORD *record, DWORD length)
{
    EXPECT_EQ(record->Length, length);
    visited_lengths.push_back(length);
}

DWORD walk(const std::vector<BYTE> &batch, DWORD bytes_read)
{
    static GuardedBytes guard;
    visited_lengths.clear();
    return walk_batch(guard.place(batch.data(), bytes_read), bytes_read, remember);
}

TEST(WalkBatch, VisitsWholeRecordsAndStopsAtALengthThatDoesNotFit)
{
    std::vector<BYTE> a = build_record(failure_4625(L"10.0.0.1")), b = build_record(failure_4625(L"10.0.0.22"));
    std::vector<BYTE> batch = a;
    batch.insert(batch.end(), b.begin(), b.end());
    const DWORD total = static_cast<DWORD>(batch.size()), first = static_cast<DWORD>(a.size());
    EXPECT_EQ(walk(batch, total), 2u);
    EXPECT_EQ(visited_lengths, (std::vector<DWORD>{first, DWORD(b.size())}));
    // Cut inside the second record, or a rest shorter than a header.
    for (DWORD bytes_read : std::initializer_list<DWORD>{total - 4, first + 20, first + 2})
        EXPECT_EQ(walk(batch, bytes_read), 1u) << bytes_read;
    for (DWORD length : std::initializer_list<DWORD>{0, DWORD(b.size()) - 2, DWORD(b.size()) + 4, DWORD(sizeof(EVENTLOGRECORD)) - 4, 0xFFFFFFFCu}) {
        std::vector<BYTE> copy = batch;
        std::memcpy(copy.data() + first, &length, sizeof(length));
        EXPECT_EQ(walk(copy, total), 1u) << length;
    }
}

// Seconds since 1970 for a local calendar time, by the inverse of the engine's conversion.
DWORD local_seconds(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {year, month, 0, day, hour, minute, second, 0};
    FILETIME local, utc;
    SystemTimeToFileTime(&t, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return static_cast<DWORD>(((ULONGLONG(utc.dwHighDateTime) << 32 | utc.dwLowDateTime) / 10000000ull) - 11644473600ull);
}

std::wstring time_of(DWORD seconds)
{
    wchar_t text[time_text_chars];
    format_event_time(seconds, text);
    return text;
}

TEST(FormatEventTime, HalfDayMarkerPrecedesTheClock)
{
    EXPECT_EQ(time_of(local_seconds(2022, 4, 29, 14, 5, 9)), L"2022-04-29  PM 02:05:09");
    EXPECT_EQ(time_of(local_seconds(2022, 4, 29, 12, 0, 0)), L"2022-04-29  PM 12:00:00");
    EXPECT_EQ(time_of(local_seconds(2022, 4, 29, 12, 10, 0)), L"2022-04-29  PM 12:10:00");
    EXPECT_EQ(time_of(local_seconds(2022, 4, 29, 0, 0, 0)), L"2022-04-29  AM 00:00:00");
    EXPECT_EQ(time_of(local_seconds(2022, 12, 31, 11, 59, 59)), L"2022-12-31  AM 11:59:59");
    wchar_t text[time_text_chars];
    DWORD seconds = local_seconds(2023, 1, 2, 3, 4, 5);
    format_file_time((ULONGLONG(seconds) + 11644473600ull) * 10000000ull, text);
    EXPECT_EQ(text, time_of(seconds));
    format_file_time(~0ull, text); // no calendar date
    EXPECT_STREQ(text, L"");
}

} // namespace
