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
};

enum class DecodeResult { rejected, accepted, spoofed };

// Characters of a time text, terminator included.
constexpr size_t time_text_chars = 32;

// Decodes one record of record_bytes bytes (bounded by them and by its Length); writes its
// time into time_text. On accepted or spoofed, report and is_success describe the logon.
DecodeResult decode_logon_event(const EVENTLOGRECORD *record, DWORD record_bytes, wchar_t *time_text,
                                LogonReport &report, bool &is_success);
// Seconds since 1970 as local time "%.4d-%.2d-%.2d  %ls %.2d:%.2d:%.2d" (AM/PM before the clock).
void format_event_time(DWORD seconds, wchar_t *time_text);
// The same for a file time (100-nanosecond units since 1601).
void format_file_time(ULONGLONG file_time, wchar_t *time_text);
