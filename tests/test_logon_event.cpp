// Logon event decoding against the event table, damaged records placed against an
// inaccessible page, the batch walk, and the time text.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "event_record.h"

using namespace test_records;

namespace {

struct Decoded {
    DecodeResult result;
    LogonReport report;
    bool is_success;
    std::wstring time;
};

// Every record is decoded where it ends right at an inaccessible page.
Decoded decode(const std::vector<BYTE> &bytes)
{
    static GuardedBytes guard;
    Decoded d = {};
    wchar_t time_text[time_text_chars] = L"untouched";
    const BYTE *at = guard.place(bytes);
    if (at == nullptr) {
        ADD_FAILURE() << "record larger than a page";
        return d;
    }
    d.result = decode_logon_event(reinterpret_cast<const EVENTLOGRECORD *>(at), static_cast<DWORD>(bytes.size()),
                                  time_text, d.report, d.is_success);
    d.time = time_text;
    return d;
}

Decoded decode(const RecordSpec &spec) { return decode(build_record(spec)); }

RecordSpec failure_4625(const std::wstring &address = L"203.0.113.7", const std::wstring &type = L"3")
{
    RecordSpec spec;
    spec.strings = strings_with(21, 19, address, 10, type);
    return spec;
}

TEST(DecodeLogonEvent, FieldsComeFromTheTablePositions)
{
    struct Row {
        DWORD id;
        WORD type;
        size_t strings, domain, user, address, logon_type, authentication;
        bool success;
    };
    const Row rows[] = {
        {528, EVENTLOG_AUDIT_SUCCESS, 15, 1, 0, 13, 3, 5, true},
        {529, EVENTLOG_AUDIT_FAILURE, 13, 1, 0, 11, 2, 4, false},
        {539, EVENTLOG_AUDIT_FAILURE, 13, 1, 0, 11, 2, 4, false},
        {4624, EVENTLOG_AUDIT_SUCCESS, 20, 6, 5, 18, 8, 10, true},
        {4624, EVENTLOG_AUDIT_SUCCESS, 27, 6, 5, 18, 8, 10, true},
        {4625, EVENTLOG_AUDIT_FAILURE, 21, 6, 5, 19, 10, 12, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.id);
        for (WORD category : {WORD{2}, WORD{12544}}) {
            RecordSpec spec;
            spec.event_id = row.id;
            spec.event_type = row.type;
            spec.category = category;
            spec.strings = strings_with(row.strings, row.address, L"198.51.100.20", row.logon_type, L"10");
            Decoded d = decode(spec);
            ASSERT_EQ(d.result, DecodeResult::accepted);
            EXPECT_EQ(d.is_success, row.success);
            EXPECT_STREQ(d.report.domain, (L"s" + std::to_wstring(row.domain)).c_str());
            EXPECT_STREQ(d.report.user, (L"s" + std::to_wstring(row.user)).c_str());
            EXPECT_STREQ(d.report.address, L"198.51.100.20");
            EXPECT_STREQ(d.report.attempts, L"");
            EXPECT_STREQ(d.report.logon_type, L"10");
            EXPECT_STREQ(d.report.authentication, (L"s" + std::to_wstring(row.authentication)).c_str());
        }
    }
}

TEST(DecodeLogonEvent, TypeCountCategoryAndIdMustMatch)
{
    RecordSpec spec = failure_4625();
    spec.event_type = EVENTLOG_AUDIT_SUCCESS;
    EXPECT_EQ(decode(spec).result, DecodeResult::rejected);

    spec = failure_4625();
    spec.category = 12545;
    Decoded other = decode(spec);
    EXPECT_EQ(other.result, DecodeResult::rejected);
    EXPECT_EQ(other.time, L"untouched");

    spec = failure_4625();
    spec.event_id = 4626;
    EXPECT_EQ(decode(spec).result, DecodeResult::rejected);

    spec = failure_4625();
    spec.strings.push_back(L"extra");
    EXPECT_EQ(decode(spec).result, DecodeResult::rejected);

    RecordSpec s528;
    s528.event_id = 528;
    s528.event_type = EVENTLOG_AUDIT_FAILURE;
    s528.category = 2;
    s528.strings = strings_with(15, 13, L"10.1.1.1", 3, L"3");
    EXPECT_EQ(decode(s528).result, DecodeResult::rejected);

    RecordSpec s4624;
    s4624.event_id = 4624;
    s4624.event_type = EVENTLOG_AUDIT_SUCCESS;
    s4624.strings = strings_with(23, 18, L"10.1.1.1", 8, L"3");
    EXPECT_EQ(decode(s4624).result, DecodeResult::rejected);

    RecordSpec none = failure_4625();
    none.strings.clear();
    EXPECT_EQ(decode(none).result, DecodeResult::rejected);
}

TEST(DecodeLogonEvent, OnlyNetworkClearTextAndRemoteDesktopLogons)
{
    EXPECT_EQ(decode(failure_4625(L"10.0.0.1", L"3")).result, DecodeResult::accepted);
    EXPECT_EQ(decode(failure_4625(L"10.0.0.1", L"8")).result, DecodeResult::accepted);
    EXPECT_EQ(decode(failure_4625(L"10.0.0.1", L"10")).result, DecodeResult::accepted);
    for (const wchar_t *type : {L"2", L"5", L"03", L"", L"100", L"1"})
        EXPECT_EQ(decode(failure_4625(L"10.0.0.1", type)).result, DecodeResult::rejected) << type;

    // 4776 has no logon type: never accepted.
    RecordSpec ntlm;
    ntlm.event_id = 4776;
    ntlm.strings = {L"MICROSOFT_AUTHENTICATION_PACKAGE_V1_0", L"admin", L"10.0.0.1", L"0xc000006a"};
    EXPECT_EQ(decode(ntlm).result, DecodeResult::rejected);
}

TEST(DecodeLogonEvent, MissingAndSpoofedAddresses)
{
    EXPECT_EQ(decode(failure_4625(L"-")).result, DecodeResult::rejected);
    Decoded spoofed = decode(failure_4625(L"0.0.0.0"));
    EXPECT_EQ(spoofed.result, DecodeResult::spoofed);
    EXPECT_FALSE(spoofed.is_success);
    EXPECT_STREQ(spoofed.report.address, L"0.0.0.0");
    EXPECT_FALSE(spoofed.time.empty());

    RecordSpec success;
    success.event_id = 4624;
    success.event_type = EVENTLOG_AUDIT_SUCCESS;
    success.strings = strings_with(20, 18, L"0.0.0.0", 8, L"3");
    EXPECT_EQ(decode(success).result, DecodeResult::rejected);
}

TEST(DecodeLogonEvent, DamagedRecordsAreRejectedWithoutReadingOutside)
{
    std::vector<BYTE> good = build_record(failure_4625());
    ASSERT_EQ(decode(good).result, DecodeResult::accepted);

    auto damaged = [&good](auto change) {
        std::vector<BYTE> bytes = good;
        change(bytes, header_of(bytes));
        return decode(bytes).result;
    };
    const DWORD size = static_cast<DWORD>(good.size());
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.StringOffset = size + 2; }), DecodeResult::rejected);
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.StringOffset = size; }), DecodeResult::rejected);
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.StringOffset = 0xFFFFFFFE; }), DecodeResult::rejected);
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.StringOffset += 1; }), DecodeResult::rejected);
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.StringOffset = 8; }), DecodeResult::rejected);
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.Length = size + 4; }), DecodeResult::rejected);
    EXPECT_EQ(damaged([&](auto &, EVENTLOGRECORD &h) { h.Length = sizeof(EVENTLOGRECORD) - 4; }), DecodeResult::rejected);
    // The strings run to the very end of the record without a terminator.
    EXPECT_EQ(damaged([&](std::vector<BYTE> &b, EVENTLOGRECORD &h) {
                  for (DWORD i = h.StringOffset; i < size; i += 2)
                      b[i] = 'x', b[i + 1] = 0;
              }),
              DecodeResult::rejected);
    // Fewer strings in the record than the count claims: the last one is cut by the record's end.
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

    // Too few bytes for even the fixed header.
    static GuardedBytes guard;
    const BYTE *tail = guard.place(good.data(), 12);
    LogonReport report;
    bool success;
    wchar_t time_text[time_text_chars];
    EXPECT_EQ(decode_logon_event(reinterpret_cast<const EVENTLOGRECORD *>(tail), 12, time_text, report, success),
              DecodeResult::rejected);
    EXPECT_EQ(decode_logon_event(nullptr, 0, time_text, report, success), DecodeResult::rejected);
}

// The batch walk: visits whole records and stops at the first Length that does not fit.
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
    const BYTE *at = guard.place(batch.data(), bytes_read);
    return at == nullptr ? 0 : walk_batch(at, bytes_read, remember);
}

TEST(WalkBatch, StopsAtLengthsThatDoNotFit)
{
    std::vector<BYTE> a = build_record(failure_4625(L"10.0.0.1"));
    std::vector<BYTE> b = build_record(failure_4625(L"10.0.0.22"));
    std::vector<BYTE> batch = a;
    batch.insert(batch.end(), b.begin(), b.end());
    const DWORD total = static_cast<DWORD>(batch.size());
    EXPECT_EQ(walk(batch, total), 2u);
    EXPECT_EQ(visited_lengths, (std::vector<DWORD>{DWORD(a.size()), DWORD(b.size())}));

    // A batch cut inside the second record, or with bytes left over that are shorter than a header.
    EXPECT_EQ(walk(batch, total - 4), 1u);
    EXPECT_EQ(walk(batch, DWORD(a.size()) + 20), 1u);
    EXPECT_EQ(walk(batch, DWORD(a.size()) + 2), 1u);

    auto with_second_length = [&](DWORD length) {
        std::vector<BYTE> copy = batch;
        std::memcpy(copy.data() + a.size(), &length, sizeof(length));
        return walk(copy, total);
    };
    EXPECT_EQ(with_second_length(0), 1u); // would never advance
    EXPECT_EQ(with_second_length(DWORD(b.size()) - 2), 1u);
    EXPECT_EQ(with_second_length(DWORD(b.size()) + 4), 1u);
    EXPECT_EQ(with_second_length(sizeof(EVENTLOGRECORD) - 4), 1u);
    EXPECT_EQ(with_second_length(0xFFFFFFFC), 1u); // offset plus length would wrap
    EXPECT_EQ(walk(batch, 0), 0u);
}

// Seconds since 1970 for a local calendar time, by the same conversion the engine inverts.
DWORD seconds_for_local(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {};
    t.wYear = year, t.wMonth = month, t.wDay = day, t.wHour = hour, t.wMinute = minute, t.wSecond = second;
    FILETIME local, utc;
    SystemTimeToFileTime(&t, &local);
    LocalFileTimeToFileTime(&local, &utc);
    ULONGLONG ft = (ULONGLONG(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    return static_cast<DWORD>(ft / 10000000ull - 11644473600ull);
}

std::wstring time_of(DWORD seconds)
{
    wchar_t text[time_text_chars];
    format_event_time(seconds, text);
    return text;
}

TEST(FormatEventTime, HalfDayMarkerPrecedesTheClock)
{
    EXPECT_EQ(time_of(seconds_for_local(2022, 4, 29, 14, 5, 9)), L"2022-04-29  PM 02:05:09");
    EXPECT_EQ(time_of(seconds_for_local(2022, 4, 29, 12, 0, 0)), L"2022-04-29  PM 12:00:00");
    EXPECT_EQ(time_of(seconds_for_local(2022, 4, 29, 12, 10, 0)), L"2022-04-29  PM 12:10:00");
    EXPECT_EQ(time_of(seconds_for_local(2022, 4, 29, 0, 0, 0)), L"2022-04-29  AM 00:00:00");
    EXPECT_EQ(time_of(seconds_for_local(2022, 4, 29, 0, 30, 0)), L"2022-04-29  AM 00:30:00");
    EXPECT_EQ(time_of(seconds_for_local(2022, 4, 29, 11, 59, 59)), L"2022-04-29  AM 11:59:59");
    EXPECT_EQ(time_of(seconds_for_local(2022, 12, 31, 23, 59, 59)), L"2022-12-31  PM 11:59:59");
}

TEST(FormatEventTime, FileTimeMatchesAndOutOfRangeIsEmpty)
{
    DWORD seconds = seconds_for_local(2023, 1, 2, 3, 4, 5);
    wchar_t text[time_text_chars];
    format_file_time((ULONGLONG(seconds) + 11644473600ull) * 10000000ull, text);
    EXPECT_EQ(std::wstring(text), time_of(seconds));
    format_file_time(0xFFFFFFFFFFFFFFFFull, text);
    EXPECT_STREQ(text, L"");
    EXPECT_FALSE(time_of(0xFFFFFFFFu).empty()); // year 2106 still renders
}

} // namespace
