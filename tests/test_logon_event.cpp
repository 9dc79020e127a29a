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
    DecodeResult result;
    LogonReport report;
    bool is_success;
    std::wstring time, fields; // fields: the six report texts, joined by '|'
};

// Every record is decoded where it ends right at an inaccessible page.
Decoded decode(const std::vector<BYTE> &bytes)
{
    Decoded d = {};
    wchar_t time_text[time_text_chars] = L"untouched";
    d.result = decode_logon_event(reinterpret_cast<const EVENTLOGRECORD *>(place_against_guard(bytes.data(), bytes.size())),
                                  static_cast<DWORD>(bytes.size()), time_text, d.report, d.is_success);
    d.time = time_text;
    if (d.result != DecodeResult::rejected)
        for (const wchar_t *field : {d.report.domain, d.report.user, d.report.address, d.report.attempts,
                                     d.report.logon_type, d.report.authentication})
            d.fields += std::wstring(field) + L"|";
    return d;
}

TEST(DecodeLogonEvent, FieldsComeFromTheTablePositions)
{
    const struct {
        EventKind kind;
        const wchar_t *fields;
    } rows[] = {{e528, L"s1|s0|198.51.100.20||10|s5|"},   {e529, L"s1|s0|198.51.100.20||10|s4|"},
                {e539, L"s1|s0|198.51.100.20||10|s4|"},   {e4624, L"s6|s5|198.51.100.20||10|s10|"},
                {e4625, L"s6|s5|198.51.100.20||10|s12|"},
                {{4624, EVENTLOG_AUDIT_SUCCESS, 12544, 20, 18, 8}, L"s6|s5|198.51.100.20||10|s10|"}};
    for (const auto &row : rows)
        for (WORD category : {WORD{2}, WORD{12544}}) { // either category passes, whatever the ID
            EventKind kind = row.kind;
            kind.category = category;
            Decoded d = decode(build_record(kind, L"198.51.100.20", L"10"));
            EXPECT_EQ(d.result, DecodeResult::accepted) << kind.id;
            EXPECT_EQ(d.is_success, kind.type == EVENTLOG_AUDIT_SUCCESS) << kind.id;
            EXPECT_EQ(d.fields, row.fields) << kind.id;
            EXPECT_EQ(d.time.size(), 23u);
        }
}

TEST(DecodeLogonEvent, AcceptsOnlyWhatTheTableAndFiltersAccept)
{
    using enum DecodeResult;
    const WORD failure = EVENTLOG_AUDIT_FAILURE, success = EVENTLOG_AUDIT_SUCCESS;
    const struct {
        EventKind kind;
        const wchar_t *address, *logon_type;
        DecodeResult expected;
    } cases[] = {
        {e4625, L"1.2.3.4", L"3", accepted},  {e4625, L"1.2.3.4", L"8", accepted},  {e4625, L"1.2.3.4", L"10", accepted},
        {e4625, L"1.2.3.4", L"2", rejected},  {e4625, L"1.2.3.4", L"5", rejected},  {e4625, L"1.2.3.4", L"03", rejected},
        {e4625, L"1.2.3.4", L"", rejected},   {e4625, L"1.2.3.4", L"100", rejected}, {e4625, L"-", L"3", rejected},
        {e4625, L"0.0.0.0", L"3", spoofed},   {e4624, L"0.0.0.0", L"3", rejected},
        {{4625, success, 12544, 21, 19, 10}, L"1.2.3.4", L"3", rejected}, // the wrong audit type for the ID
        {{4626, failure, 12544, 21, 19, 10}, L"1.2.3.4", L"3", rejected},
        {{4625, failure, 12544, 22, 19, 10}, L"1.2.3.4", L"3", rejected}, // one string too many
        {{4625, failure, 12544, 0, 19, 10}, L"1.2.3.4", L"3", rejected},
        {{528, failure, 2, 15, 13, 3}, L"1.2.3.4", L"3", rejected},
        {{4624, success, 12544, 23, 18, 8}, L"1.2.3.4", L"3", rejected},
        {e4776, L"1.2.3.4", L"", rejected}, // no logon type: never accepted
    };
    for (const auto &c : cases) {
        Decoded d = decode(build_record(c.kind, c.address, c.logon_type));
        EXPECT_EQ(d.result, c.expected) << c.kind.id << " " << c.kind.strings << " " << c.address << " " << c.logon_type;
        EXPECT_TRUE(c.expected != spoofed || (!d.is_success && d.fields == L"s6|s5|0.0.0.0||3|s12|"));
    }
    // A record of another category is one comparison: not even its time is formatted.
    EXPECT_EQ(decode(build_record({4625, failure, 12545, 21, 19, 10}, L"10.0.0.1")).time, L"untouched");
}

TEST(DecodeLogonEvent, DamagedRecordsAreRejectedWithoutReadingOutside)
{
    const std::vector<BYTE> good = build_record(e4625, L"203.0.113.7");
    ASSERT_EQ(decode(good).result, DecodeResult::accepted);
    const DWORD size = static_cast<DWORD>(good.size()), strings_at = reinterpret_cast<const EVENTLOGRECORD *>(good.data())->StringOffset;
    auto damaged = [&good](auto change) {
        std::vector<BYTE> bytes = good;
        change(header_of(bytes));
        return decode(bytes).result;
    };
    for (DWORD offset : std::initializer_list<DWORD>{size + 2, size, 0xFFFFFFFEu, strings_at + 1, 8u})
        EXPECT_EQ(damaged([offset](EVENTLOGRECORD &h) { h.StringOffset = offset; }), DecodeResult::rejected) << offset;
    for (DWORD length : std::initializer_list<DWORD>{size + 4, DWORD(sizeof(EVENTLOGRECORD) - 4)})
        EXPECT_EQ(damaged([length](EVENTLOGRECORD &h) { h.Length = length; }), DecodeResult::rejected) << length;
    // The record claims 21 strings but holds 20, and no terminator follows from the first string,
    // or from the end of the twentieth, to the end of the record.
    std::vector<BYTE> cut = build_record({4625, EVENTLOG_AUDIT_FAILURE, 12544, 20, 19, 10}, L"203.0.113.7");
    header_of(cut).NumStrings = 21;
    size_t strings_end = strings_at;
    for (int k = 0; k < 20; ++k)
        strings_end += (wcslen(reinterpret_cast<const wchar_t *>(cut.data() + strings_end)) + 1) * sizeof(wchar_t);
    for (size_t from : {size_t{strings_at}, strings_end}) {
        std::vector<BYTE> bytes = cut;
        std::fill(bytes.begin() + from, bytes.end(), 'y');
        EXPECT_EQ(decode(bytes).result, DecodeResult::rejected) << from;
    }
    // Fewer bytes than the fixed header.
    EXPECT_EQ(decode(std::vector<BYTE>(good.begin(), good.begin() + 12)).result, DecodeResult::rejected);
}

std::vector<DWORD> visited_lengths;
void remember(const EVENTLOGRECORD *record, DWORD length)
{
    EXPECT_EQ(record->Length, length);
    visited_lengths.push_back(length);
}

TEST(WalkBatch, VisitsWholeRecordsAndStopsAtALengthThatDoesNotFit)
{
    std::vector<BYTE> batch = build_record(e4625, L"10.0.0.1"), b = build_record(e4625, L"10.0.0.22");
    const DWORD first = static_cast<DWORD>(batch.size()), second = static_cast<DWORD>(b.size());
    batch.insert(batch.end(), b.begin(), b.end());
    auto walk = [](const std::vector<BYTE> &bytes, DWORD bytes_read) {
        visited_lengths.clear();
        return walk_batch(place_against_guard(bytes.data(), bytes_read), bytes_read, remember);
    };
    EXPECT_EQ(walk(batch, first + second), 2u);
    EXPECT_EQ(visited_lengths, (std::vector<DWORD>{first, second}));
    // Cut inside the second record, or a rest shorter than a header.
    for (DWORD bytes_read : std::initializer_list<DWORD>{first + second - 4, first + 20, first + 2})
        EXPECT_EQ(walk(batch, bytes_read), 1u) << bytes_read;
    for (DWORD length : std::initializer_list<DWORD>{0, second - 2, second + 4, DWORD(sizeof(EVENTLOGRECORD)) - 4, 0xFFFFFFFCu}) {
        std::vector<BYTE> copy = batch;
        std::memcpy(copy.data() + first, &length, sizeof(length));
        EXPECT_EQ(walk(copy, first + second), 1u) << length;
    }
}

TEST(FormatEventTime, HalfDayMarkerPrecedesTheClock)
{
    // Seconds since 1970 for a local calendar time, by the inverse of the engine's conversion.
    auto local_seconds = [](WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
        SYSTEMTIME t = {year, month, 0, day, hour, minute, second, 0};
        FILETIME local, utc;
        SystemTimeToFileTime(&t, &local);
        LocalFileTimeToFileTime(&local, &utc);
        return static_cast<DWORD>(((ULONGLONG(utc.dwHighDateTime) << 32 | utc.dwLowDateTime) / 10000000ull) - 11644473600ull);
    };
    const struct {
        WORD month, day, hour, minute, second;
        const wchar_t *text;
    } cases[] = {{4, 29, 14, 5, 9, L"2022-04-29  PM 02:05:09"}, {4, 29, 12, 10, 0, L"2022-04-29  PM 12:10:00"},
                 {4, 29, 0, 0, 0, L"2022-04-29  AM 00:00:00"}, {12, 31, 11, 59, 59, L"2022-12-31  AM 11:59:59"}};
    wchar_t text[time_text_chars], file_text[time_text_chars];
    for (const auto &c : cases) {
        DWORD seconds = local_seconds(2022, c.month, c.day, c.hour, c.minute, c.second);
        format_event_time(seconds, text);
        format_file_time((ULONGLONG(seconds) + 11644473600ull) * 10000000ull, file_text);
        EXPECT_STREQ(text, c.text);
        EXPECT_STREQ(file_text, c.text);
    }
    format_file_time(~0ull, text); // no calendar date
    EXPECT_STREQ(text, L"");
}

} // namespace
