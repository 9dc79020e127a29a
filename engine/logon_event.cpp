// Logon event decoding: table-driven checks of one Security-log record, strings used in place.
#include "engine/logon_event.h"
#include "console/output.h"
#include <cwchar>

namespace {

constexpr WORD category_logon_legacy = 2;
constexpr WORD category_logon = 12544; // 0x3100
// String positions of the report's fields; empty_text stands for a field the event lacks.
constexpr signed char empty_text = -1;

struct LogonEventKind {
    DWORD event_id;
    WORD event_type;
    WORD strings;
    WORD strings_alt; // a second accepted string count, or 0
    bool is_success;
    signed char domain, user, address, logon_type, authentication;
};

constexpr LogonEventKind logon_events[] = {
    {528, EVENTLOG_AUDIT_SUCCESS, 15, 0, true, 1, 0, 13, 3, 5},
    {529, EVENTLOG_AUDIT_FAILURE, 13, 0, false, 1, 0, 11, 2, 4},
    {539, EVENTLOG_AUDIT_FAILURE, 13, 0, false, 1, 0, 11, 2, 4},
    {4624, EVENTLOG_AUDIT_SUCCESS, 20, 27, true, 6, 5, 18, 8, 10},
    {4625, EVENTLOG_AUDIT_FAILURE, 21, 0, false, 6, 5, 19, 10, 12},
    {4776, EVENTLOG_AUDIT_FAILURE, 4, 0, false, empty_text, 1, 2, empty_text, 0},
};

// The most insertion strings any event of the table has: ev_str needs no allocation.
constexpr WORD max_strings = 27;

const LogonEventKind *find_kind(DWORD event_id)
{
    for (const LogonEventKind &kind : logon_events)
        if (kind.event_id == event_id)
            return &kind;
    return nullptr;
}

const wchar_t *field(const wchar_t *const *ev_str, signed char position)
{
    return position == empty_text ? L"" : ev_str[position];
}

// Finds the count insertion strings from StringOffset, each terminated inside the record.
bool split_strings(const EVENTLOGRECORD *record, DWORD length, WORD count, const wchar_t **ev_str)
{
    DWORD offset = record->StringOffset;
    // Strings before the fixed header or at an odd offset are a damaged record, not text.
    if (offset < sizeof(EVENTLOGRECORD) || offset > length || (offset & 1) != 0)
        return false;
    const BYTE *base = reinterpret_cast<const BYTE *>(record);
    const wchar_t *next = reinterpret_cast<const wchar_t *>(base + offset);
    const wchar_t *end = reinterpret_cast<const wchar_t *>(base + (length & ~1u));
    for (WORD k = 0; k < count; ++k) {
        const wchar_t *terminator = wmemchr(next, L'\0', static_cast<size_t>(end - next));
        if (terminator == nullptr)
            return false;
        ev_str[k] = next;
        next = terminator + 1;
    }
    return true;
}

} // namespace

DecodeResult decode_logon_event(const EVENTLOGRECORD *record, DWORD record_bytes, wchar_t *time_text,
                                LogonReport &report, bool &is_success)
{
    if (record == nullptr || record_bytes < sizeof(EVENTLOGRECORD))
        return DecodeResult::rejected;
    DWORD length = record->Length;
    if (length < sizeof(EVENTLOGRECORD) || length > record_bytes)
        return DecodeResult::rejected;
    // Most records of the log fall at this first comparison.
    if (record->EventCategory != category_logon_legacy && record->EventCategory != category_logon)
        return DecodeResult::rejected;
    if (record->NumStrings == 0)
        return DecodeResult::rejected;
    // The table check comes before the strings are walked: it decides the same records, and it
    // bounds the walk by the table's string count rather than by a count the record claims.
    const LogonEventKind *kind = find_kind(record->EventID);
    if (kind == nullptr || record->EventType != kind->event_type)
        return DecodeResult::rejected;
    if (record->NumStrings != kind->strings && (kind->strings_alt == 0 || record->NumStrings != kind->strings_alt))
        return DecodeResult::rejected;

    const wchar_t *ev_str[max_strings];
    if (!split_strings(record, length, record->NumStrings, ev_str))
        return DecodeResult::rejected;
    format_event_time(record->TimeGenerated, time_text);

    report.domain = field(ev_str, kind->domain);
    report.user = field(ev_str, kind->user);
    report.address = field(ev_str, kind->address);
    report.attempts = L"";
    report.logon_type = field(ev_str, kind->logon_type);
    report.authentication = field(ev_str, kind->authentication);
    is_success = kind->is_success;
    return classify_logon(report, is_success);
}

DecodeResult classify_logon(const LogonReport &report, bool is_success)
{
    // Logon types and these addresses have no letters: exact comparison is the case-blind one.
    const wchar_t *type = report.logon_type;
    if (wcscmp(type, L"3") != 0 && wcscmp(type, L"8") != 0 && wcscmp(type, L"10") != 0)
        return DecodeResult::rejected;
    if (wcscmp(report.address, L"-") == 0)
        return DecodeResult::rejected;
    if (wcscmp(report.address, L"0.0.0.0") == 0)
        return is_success ? DecodeResult::rejected : DecodeResult::spoofed;
    return DecodeResult::accepted;
}

void format_event_time(DWORD seconds, wchar_t *time_text)
{
    // 11,644,473,600 seconds lie between 1601-01-01 and 1970-01-01.
    format_file_time((static_cast<ULONGLONG>(seconds) + 11644473600ull) * 10000000ull, time_text);
}

void format_file_time(ULONGLONG file_time, wchar_t *time_text)
{
    FILETIME utc, local;
    utc.dwLowDateTime = static_cast<DWORD>(file_time);
    utc.dwHighDateTime = static_cast<DWORD>(file_time >> 32);
    SYSTEMTIME t;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) {
        time_text[0] = L'\0';
        return;
    }
    format_text(time_text, time_text_chars, L"%.4d-%.2d-%.2d  %ls %.2d:%.2d:%.2d", t.wYear, t.wMonth, t.wDay,
                t.wHour > 11 ? L"PM" : L"AM", t.wHour > 12 ? t.wHour - 12 : t.wHour, t.wMinute, t.wSecond);
}
