// Throughput of print_out into the log file: short lines, and texts of the size of a logon
// event's message, against msvcrt's formatted output into the same unbuffered stream (which
// writes character by character), and coloured lines (set_console_color, print_out,
// restore_console_color) as every error and notice is printed. Figures go to standard error
// (lines beginning "= " for tools/bench.sh); the log file is removed after.
#include <windows.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include "console/output.h"
#include "console/redirection.h"

static double now_us()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

static int stream_print(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vfwprintf(stdout, format, args);
    va_end(args);
    return n;
}

// A coloured line, as errors and notices are printed.
static int coloured_print(const wchar_t *format, ...)
{
    set_console_color(color_error);
    va_list args;
    va_start(args, format);
    wchar_t text[128];
    int n = _vsnwprintf_s(text, 128, _TRUNCATE, format, args);
    va_end(args);
    print_out(L"%ls", text);
    restore_console_color();
    return n;
}

using Printer = int (*)(const wchar_t *, ...);

static void measure(const wchar_t *what, const wchar_t *figure, Printer printer, const wchar_t *text, int count)
{
    double start = now_us();
    for (int i = 0; i < count; ++i)
        printer(L"%ls %d\n", text, i);
    double elapsed = now_us() - start;
    fwprintf(stderr, L"  %-44ls %6d calls  %9.2f us/call  %8.1f MB/s\n", what, count, elapsed / count,
             static_cast<double>(count) * (wcslen(text) + 8) * sizeof(wchar_t) / elapsed);
    if (figure != nullptr)
        fwprintf(stderr, L"= %ls %.2f\n", figure, elapsed / count);
}

int main(int argc, char **argv)
{
    // --no-stream leaves out msvcrt's own output, which takes minutes under Wine.
    bool stream_too = !(argc > 1 && strcmp(argv[1], "--no-stream") == 0);
    shadow_console_init();
    atexit(shadow_console_close); // as the program's start-up registers it
    set_log_file_name(L"tosmire.bench");
    if (log_to_file(false) != 0) {
        fwprintf(stderr, L"log_to_file failed\n");
        return 1;
    }
    static wchar_t line[61];
    static wchar_t message[2501];
    wmemset(line, L'l', 60);
    wmemset(message, L'm', 2500);
    for (int i = 79; i < 2500; i += 80)
        message[i] = L'\n';
    fwprintf(stderr, L"output into %ls\n", g_shadow_console.log_path);
    measure(L"print_out, 60-character lines", L"print_line_us", print_out, line, 20000);
    if (stream_too)
        measure(L"vfwprintf, 60-character lines", nullptr, stream_print, line, 20000);
    measure(L"print_out, 2500-character messages", L"print_message_us", print_out, message, 2000);
    if (stream_too)
        measure(L"vfwprintf, 2500-character messages", nullptr, stream_print, message, 2000);
    measure(L"coloured 60-character lines", L"coloured_line_us", coloured_print, line, 20000);
    wchar_t path[512];
    wcscpy_s(path, g_shadow_console.log_path);
    new_console();
    _wfreopen_s(&g_shadow_console.out_stream, L"NUL", L"w", stdout);
    DeleteFileW(path);
    return 0;
}
