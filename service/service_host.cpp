// The service host's record and what its three parts share: the hand-shake events, the time
// prefix and the prefixed messages.
#include "service/service_host.h"
#include "console/output.h"
#include <cstdarg>
#include <cwchar>

ServiceHost g_service_host; // owner comment at its declaration in service_host.h

static constexpr DWORD stdout_line_chars = 2048;

int format_time_prefix(long long seconds, wchar_t *text)
{
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days since 1970-01-01 to the civil date (proleptic Gregorian calendar).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;
    const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_index = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
    long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    year %= 10000;
    if (year < 0)
        year += 10000;
    return format_text(text, time_prefix_chars, L"%.4d-%.2d-%.2d / %.2d:%.2d:%.2d", static_cast<int>(year), month,
                       day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                       static_cast<int>(rest % 60));
}

int time_prefix(wchar_t *text)
{
    // The system clock in UTC, not the C runtime's idea of it, which a time zone may move.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const long long seconds = static_cast<long long>(ticks / 10000000ull) - 11644473600ll;
    return format_time_prefix(seconds, text);
}

// Prints the time prefix, then the message, in one piece.
static void vprint_prefixed(const wchar_t *format, va_list args)
{
    wchar_t prefix[time_prefix_chars];
    time_prefix(prefix);
    wchar_t text[stdout_line_chars];
    int length = _vsnwprintf(text, stdout_line_chars - 1, format, args);
    if (length < 0)
        length = stdout_line_chars - 1;
    text[length] = 0;
    print_out(L"[%ls] %ls", prefix, text);
}

void print_prefixed(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint_prefixed(format, args);
    va_end(args);
}

// An error line, in the error colour.
void print_host_error(const wchar_t *format, ...)
{
    set_console_color(color_error);
    va_list args;
    va_start(args, format);
    vprint_prefixed(format, args);
    va_end(args);
    restore_console_color();
}

void signal_host_event(HostEvent &event)
{
    if (event.created)
        SetEvent(event.handle);
}

void wait_host_event(HostEvent &event)
{
    if (event.created)
        WaitForSingleObject(event.handle, INFINITE);
}

void create_host_event(HostEvent &event, bool manual_reset)
{
    event.handle = CreateEventW(nullptr, manual_reset, FALSE, nullptr);
    event.created = event.handle != nullptr;
}

void close_host_event(HostEvent &event)
{
    if (!event.created)
        return;
    event.created = false;
    SetEvent(event.handle);
    CloseHandle(event.handle);
    event.handle = nullptr;
}

void system_error_text(DWORD error, wchar_t *text, DWORD capacity)
{
    if (capacity == 0)
        return;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  capacity, nullptr);
    if (length >= capacity)
        length = capacity - 1;
    // The system's texts end with a line end, which the caller's line has already.
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L' '))
        --length;
    text[length] = 0;
}

bool query_process_status(SC_HANDLE service, SERVICE_STATUS_PROCESS &status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof(status),
                                &needed) != FALSE;
}
