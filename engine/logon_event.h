// Logon event decoding: a Security-log record into a LogonReport; event times as text.
#pragma once
#include <windows.h>

// The six texts of one logon decision: insertion strings %1 to %6 of the logon messages.
struct LogonReport {
    const wchar_t *domain;
    const wchar_t *user;
    const wchar_t *address;
    const wchar_t *attempts;       // empty after decoding; filled by the block decision
    const wchar_t *logon_type;
    const wchar_t *authentication;
    // The computer a forwarded event came from (a checked name); null for this computer's own
    // records. Not an insertion string: the texts name it after the address.
    const wchar_t *computer = nullptr;
};

enum class DecodeResult { rejected, accepted, spoofed };

// Characters of a time text, terminator included.
constexpr size_t time_text_chars = 32;

// Decodes one record; record_bytes is what the buffer holds from the record on, and neither it
// nor the record's own Length is ever read past. A record whose Length, StringOffset or strings
// do not fit is rejected. Writes the record's time into time_text for every record that passes
// the event table (always for accepted and spoofed ones). On accepted or spoofed, report and
// is_success describe the logon; the report points into the record.
DecodeResult decode_logon_event(const EVENTLOGRECORD *record, DWORD record_bytes, wchar_t *time_text,
                                LogonReport &report, bool &is_success);
// The last steps of decoding, for a logon whatever its source: a logon type other than 3, 8 or
// 10 and the address "-" are rejected, the address 0.0.0.0 is spoofed (a failure) or rejected.
DecodeResult classify_logon(const LogonReport &report, bool is_success);
// Seconds since 1970 as local time "%.4d-%.2d-%.2d  %ls %.2d:%.2d:%.2d" (AM/PM before the clock).
void format_event_time(DWORD seconds, wchar_t *time_text);
// The same for a file time (100-nanosecond units since 1601); empty text if it has no calendar date.
void format_file_time(ULONGLONG file_time, wchar_t *time_text);
