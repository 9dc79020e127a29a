// Logon event decoding against the event table, damaged records placed against an
// inaccessible page, the batch walk, and the time text.
#include <gtest/gtest.h>
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "tests/event_record.h"

namespace {

std::wstring last_time; // the time text the last decode left ("untouched" if it wrote none)

// Decodes where the record ends right at an inaccessible page: "rejected", or the outcome and
// the six report texts.
std::wstring decode(const std::vector<BYTE> &bytes)
{
    LogonReport r = {};
    bool is_success = false;
    wchar_t time_text[time_text_chars] = L"untouched";
    auto *at = reinterpret_cast<const EVENTLOGRECORD *>(place_against_guard(bytes.data(), bytes.size()));
    DecodeResult result = decode_logon_event(at, static_cast<DWORD>(bytes.size()), time_text, r, is_success);
    last_time = time_text;
    if (result == DecodeResult::rejected)
        return L"rejected";
    std::wstring summary = result == DecodeResult::spoofed ? L"spoofed " : L"";
    for (const wchar_t *field : {is_success ? L"success" : L"failure", r.domain, r.user, r.address, r.attempts,
                                 r.logon_type, r.authentication})
        summary += std::wstring(field) + L"|";
    return summary;
}

TEST(DecodeLogonEvent, AcceptsWhatTheTableAndFiltersAcceptWithTheFieldsAtTheirPositions)
{
    const WORD failure = EVENTLOG_AUDIT_FAILURE, success = EVENTLOG_AUDIT_SUCCESS;
    const wchar_t *const rejected = L"rejected", *const a = L"1.2.3.4";
    const struct {
        EventKind kind;
        const wchar_t *address, *logon_type, *summary;
    } cases[] = {
        {e528, a, L"10", L"success|s1|s0|1.2.3.4||10|s5|"}, {e529, a, L"3", L"failure|s1|s0|1.2.3.4||3|s4|"},
        {e539, a, L"8", L"failure|s1|s0|1.2.3.4||8|s4|"}, {e4624, a, L"10", L"success|s6|s5|1.2.3.4||10|s10|"},
        {e4625, a, L"3", L"failure|s6|s5|1.2.3.4||3|s12|"}, {e4625, a, L"8", L"failure|s6|s5|1.2.3.4||8|s12|"},
        {{4624, success, 12544, 20, 18, 8}, a, L"3", L"success|s6|s5|1.2.3.4||3|s10|"},
        {e4625, L"0.0.0.0", L"10", L"spoofed failure|s6|s5|0.0.0.0||10|s12|"},
        {e4624, L"0.0.0.0", L"3", rejected}, {e4625, L"-", L"3", rejected}, {e4625, a, L"2", rejected},
        {e4625, a, L"03", rejected}, {e4625, a, L"", rejected}, {e4625, a, L"100", rejected},
        {{4625, success, 12544, 21, 19, 10}, a, L"3", rejected}, // the wrong audit type for the ID
        {{4626, failure, 12544, 21, 19, 10}, a, L"3", rejected}, {{528, failure, 2, 15, 13, 3}, a, L"3", rejected},
        {{4625, failure, 12544, 22, 19, 10}, a, L"3", rejected}, // one string too many
        {{4625, failure, 12544, 0, 19, 10}, a, L"3", rejected},  {{4624, success, 12544, 23, 18, 8}, a, L"3", rejected},
        {e4776, a, L"", rejected}, // no logon type: never accepted
    };
    for (const auto &c : cases)
        for (WORD category : {WORD{2}, WORD{12544}}) { // either category passes, whatever the ID
            EventKind kind = {c.kind.id, c.kind.type, category, c.kind.strings, c.kind.address_at, c.kind.type_at};
            EXPECT_EQ(decode(build_record(kind, c.address, c.logon_type)), c.summary)
                << kind.id << " " << kind.strings << " " << c.logon_type << " " << category;
            EXPECT_TRUE(c.summary == rejected || last_time.size() == 23u) << last_time;
        }
    // A record of another category is one comparison: not even its time is formatted.
    decode(build_record({4625, failure, 12545, 21, 19, 10}, a));
    EXPECT_EQ(last_time, L"untouched");
}

TEST(DecodeLogonEvent, DamagedRecordsAreRejectedWithoutReadingOutside)
{
    std::vector<BYTE> good = build_record(e4625, L"203.0.113.7");
    ASSERT_NE(decode(good), L"rejected");
    const DWORD size = static_cast<DWORD>(good.size()), strings_at = header_of(good).StringOffset;
    auto damaged = [&good](auto change) {
        std::vector<BYTE> bytes = good;
        change(header_of(bytes));
        return decode(bytes);
    };
    for (DWORD offset : std::initializer_list<DWORD>{size + 2, size, 0xFFFFFFFE, strings_at + 1, 8})
        EXPECT_EQ(damaged([offset](EVENTLOGRECORD &h) { h.StringOffset = offset; }), L"rejected") << offset;
    for (DWORD length : std::initializer_list<DWORD>{size + 4, sizeof(EVENTLOGRECORD) - 4})
        EXPECT_EQ(damaged([length](EVENTLOGRECORD &h) { h.Length = length; }), L"rejected") << length;
    // The record claims 21 strings but holds 20, and no terminator follows from the first string,
    // or from the end of the twentieth, to the end of the record.
    std::vector<BYTE> cut = build_record({4625, EVENTLOG_AUDIT_FAILURE, 12544, 20, 19, 10}, L"203.0.113.7");
    header_of(cut).NumStrings = 21;
    for (DWORD from : {header_of(cut).StringOffset, header_of(cut).DataOffset}) {
        std::vector<BYTE> bytes = cut;
        std::fill(bytes.begin() + from, bytes.end(), 'y');
        EXPECT_EQ(decode(bytes), L"rejected") << from;
    }
    // Fewer bytes than the fixed header.
    EXPECT_EQ(decode(std::vector<BYTE>(good.begin(), good.begin() + 12)), L"rejected");
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
    const DWORD first = static_cast<DWORD>(batch.size()), next = static_cast<DWORD>(b.size());
    batch.insert(batch.end(), b.begin(), b.end());
    auto walk = [](const std::vector<BYTE> &bytes, DWORD bytes_read) {
        visited_lengths.clear();
        return walk_batch(place_against_guard(bytes.data(), bytes_read), bytes_read, remember);
    };
    EXPECT_EQ(walk(batch, first + next), 2u);
    EXPECT_EQ(visited_lengths, (std::vector<DWORD>{first, next}));
    // Cut inside the second record, or a rest shorter than a header.
    for (DWORD bytes_read : std::initializer_list<DWORD>{first + next - 4, first + 20, first + 2})
        EXPECT_EQ(walk(batch, bytes_read), 1u) << bytes_read;
    for (DWORD length : std::initializer_list<DWORD>{0, next - 2, next + 4, sizeof(EVENTLOGRECORD) - 4, 0xFFFFFFFC}) {
        std::vector<BYTE> copy = batch;
        std::memcpy(copy.data() + first, &length, sizeof(length));
        EXPECT_EQ(walk(copy, first + next), 1u) << length;
    }
}

TEST(FormatEventTime, HalfDayMarkerPrecedesTheClock)
{
    const struct {
        WORD hour, minute, second;
        const wchar_t *text;
    } cases[] = {{14, 5, 9, L"2022-04-09  PM 02:05:09"}, {12, 10, 0, L"2022-04-09  PM 12:10:00"},
                 {0, 0, 0, L"2022-04-09  AM 00:00:00"},  {11, 59, 59, L"2022-04-09  AM 11:59:59"}};
    wchar_t text[time_text_chars], file_text[time_text_chars];
    for (const auto &c : cases) {
        SYSTEMTIME t = {2022, 4, 0, 9, c.hour, c.minute, c.second, 0};
        FILETIME local, utc; // the inverse of the engine's conversion to local time
        SystemTimeToFileTime(&t, &local);
        LocalFileTimeToFileTime(&local, &utc);
        ULONGLONG file_time = ULONGLONG(utc.dwHighDateTime) << 32 | utc.dwLowDateTime;
        format_event_time(static_cast<DWORD>(file_time / 10000000 - 11644473600ull), text);
        format_file_time(file_time, file_text);
        EXPECT_TRUE(std::wstring(text) == c.text && std::wstring(file_text) == c.text) << text << " | " << file_text;
    }
    format_file_time(~0ull, text); // no calendar date
    EXPECT_STREQ(text, L"");
}

} // namespace
