// PLACEHOLDER: logon event decoding arrives with the Security log spine.
#include "engine/logon_event.h"

DecodeResult decode_logon_event(const EVENTLOGRECORD *, DWORD, wchar_t *time_text, LogonReport &, bool &)
{
    time_text[0] = L'\0';
    return DecodeResult::rejected;
}
void format_event_time(DWORD, wchar_t *time_text) { time_text[0] = L'\0'; }
void format_file_time(ULONGLONG, wchar_t *time_text) { time_text[0] = L'\0'; }
