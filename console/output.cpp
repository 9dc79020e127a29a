// Console and log output, the floor that every module prints through: the two printing
// operations, the gathering of one record's lines into one write, and console colours. Where
// the standard streams go is console/redirection's.
#include "console/output.h"
#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <climits>

ShadowConsole g_shadow_console;

// A printed text up to this length is formatted on the stack and written in one piece; longer
// texts are formatted into a heap block for that one call.
static constexpr int print_capacity = 4096;

void wait_key_if_debugged()
{
    if (IsDebuggerPresent())
        getwchar();
}

// A character that a terminal would act on rather than show: the C0 controls other than tab,
// line feed and carriage return, DEL, and the C1 controls (ESC and CSI among them). Printed
// texts carry what attackers chose (user, domain, package, address, a child's output): shown as
// '?', they stay text on a console and in the log file.
static void make_harmless(wchar_t *text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = text[i];
        if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || (c >= 0x7F && c <= 0x9F))
            text[i] = L'?';
    }
}

// Writes length characters in one piece: as they are on a wide standard output, converted by
// the stream on a narrow one.
static int write_raw(const wchar_t *text, size_t length)
{
    if (g_shadow_console.stdout_wide)
        return static_cast<int>(fwrite(text, sizeof(wchar_t), length, stdout));
    return fwprintf(stdout, L"%.*ls", static_cast<int>(length), text);
}

// One write at a time, whatever the thread, so that whether the last one left its line open is
// known when the next one starts. Both below are read and written only under the lock.
static SRWLOCK write_lock = SRWLOCK_INIT;
// The last character written was not a line feed (the Remote Desktop thread's count line, the
// pause notice and the start-up lines that await their result end so, by design).
static bool line_open = false;
// The thread whose next write begins a line of its own (0: none); set by start_whole_line.
static DWORD whole_line_thread = 0;
// The thread printing a record, from output_gather_begin to output_gather_end (0: none), and
// the thread of the last write: on a console a record goes out in pieces, and a line another
// thread leaves open between two of them (the Remote Desktop count line) is ended before the
// next piece.
static DWORD record_thread = 0;
static DWORD last_writer = 0;

static int write_text(const wchar_t *text, size_t length)
{
    const DWORD self = GetCurrentThreadId();
    AcquireSRWLockExclusive(&write_lock);
    if (length > 0 && line_open &&
        ((whole_line_thread == self) || (record_thread == self && last_writer != self && text[0] != L'\n')))
        write_raw(L"\n", 1);
    if (length > 0 && whole_line_thread == self)
        whole_line_thread = 0;
    const int written = write_raw(text, length);
    if (length > 0) {
        line_open = text[length - 1] != L'\n';
        last_writer = self;
    }
    ReleaseSRWLockExclusive(&write_lock);
    return written;
}

void start_whole_line()
{
    AcquireSRWLockExclusive(&write_lock);
    whole_line_thread = GetCurrentThreadId();
    ReleaseSRWLockExclusive(&write_lock);
}

// Text printed by the thread that gathers (one record of the Security log at a time), held
// until output_gather_end or flush_output writes it in one piece. Owned by gather_thread (0:
// nobody gathers): only that thread touches the text and its length, from output_gather_begin
// to output_gather_end. Every write to standard output costs a system call, and a record's
// dump alone is some twenty prints.
static constexpr size_t gather_capacity = 8192;
static wchar_t gather_text[gather_capacity];
static size_t gather_length = 0;
static volatile DWORD gather_thread = 0;

// Gathering keeps the bytes as they are only where no colour call would fall between two
// pieces: on a wide output that is no console (the log file, a redirected file or pipe).
static bool may_gather()
{
    const ShadowConsole &c = g_shadow_console;
    return c.stdout_wide && (c.to_log_file || !c.out_is_console);
}

static bool this_thread_gathers() { return gather_thread != 0 && gather_thread == GetCurrentThreadId(); }

void flush_output()
{
    if (!this_thread_gathers() || gather_length == 0)
        return;
    write_text(gather_text, gather_length);
    gather_length = 0;
}

void output_gather_begin()
{
    AcquireSRWLockExclusive(&write_lock);
    if (record_thread == 0)
        record_thread = GetCurrentThreadId();
    ReleaseSRWLockExclusive(&write_lock);
    if (gather_thread == 0 && may_gather())
        gather_thread = GetCurrentThreadId();
}

void output_gather_end()
{
    if (this_thread_gathers()) {
        flush_output();
        gather_thread = 0;
    }
    AcquireSRWLockExclusive(&write_lock);
    if (record_thread == GetCurrentThreadId())
        record_thread = 0;
    ReleaseSRWLockExclusive(&write_lock);
}

// Writes the text, or adds it to the gathered text of this thread.
static int emit(const wchar_t *text, size_t length)
{
    if (!this_thread_gathers())
        return write_text(text, length);
    if (!may_gather() || length > gather_capacity - gather_length) {
        flush_output();
        if (!may_gather() || length > gather_capacity)
            return write_text(text, length);
    }
    wmemcpy(gather_text + gather_length, text, length);
    gather_length += length;
    return static_cast<int>(length);
}

int print_out(const wchar_t *format, ...)
{
    if (format == nullptr)
        return -1;
    wchar_t text[print_capacity];
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(text, print_capacity, format, args);
    va_end(args);
    // One write per call: the stream is unbuffered, and msvcrt's formatted output into an
    // unbuffered stream issues one write per character.
    if (length >= 0) {
        make_harmless(text, static_cast<size_t>(length));
        return emit(text, static_cast<size_t>(length));
    }
    // Longer than the stack buffer (a long record text): formatted into a block for this call.
    va_start(args, format);
    const int needed = _vscwprintf(format, args);
    va_end(args);
    if (needed < 0 || needed == INT_MAX)
        return -1;
    auto *block = static_cast<wchar_t *>(malloc((static_cast<size_t>(needed) + 1) * sizeof(wchar_t)));
    if (block == nullptr)
        return -1;
    va_start(args, format);
    length = _vsnwprintf(block, static_cast<size_t>(needed) + 1, format, args);
    va_end(args);
    int written = -1;
    if (length >= 0) {
        make_harmless(block, static_cast<size_t>(length));
        written = emit(block, static_cast<size_t>(length));
    }
    free(block);
    return written;
}

int format_text(wchar_t *buffer, size_t capacity, const wchar_t *format, ...)
{
    if (buffer == nullptr || capacity == 0)
        return -1;
    buffer[0] = L'\0';
    if (format == nullptr)
        return -1;
    size_t limit = capacity - 1;
    if (limit > INT_MAX)
        limit = INT_MAX;
    va_list args;
    va_start(args, format);
    // msvcrt stores up to limit characters and reports -1 when the text is longer.
    int stored = _vsnwprintf(buffer, limit, format, args);
    va_end(args);
    if (stored < 0) {
        // An empty text, not a cut one: a truncated command line must not be run by mistake.
        buffer[0] = L'\0';
        return -1;
    }
    buffer[stored] = L'\0';
    return stored;
}

WORD console_color_attribute(ConsoleColor k, WORD d)
{
    const unsigned D = d;
    const unsigned K = k;
    unsigned a;
    if (K == 0) {
        a = D;
    } else if ((D & 0x70) == 0) {
        if (K & 8)
            a = D | ((K & 7) << 4) | 0x0F;
        else if (K == 2)
            a = 0x0A;
        else
            a = (D & ~7u) | K | ((K | 4) << 1);
    } else if ((K & 7) == 7) {
        a = D | (K << 4);
        if ((K & 8) == 0)
            a |= (K & 7) | 8;
    } else if ((K & 8) && (K & 6)) {
        a = D | (K << 4) | (K & 7);
    } else {
        unsigned u = (D | K) & 0xFFFF;
        if (u == D)
            a = (D & ~7u) | 8 | K;
        else if ((((u << 4) & 0xFFFF) ^ D) & 0xA0)
            a = u;
        else
            a = (D & ~0xFu) | K;
    }
    return static_cast<WORD>(a);
}

// A failing call leaves the snapshot as it was.
static void take_snapshot(HANDLE out, CONSOLE_SCREEN_BUFFER_INFO &snapshot)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (out != nullptr && GetConsoleScreenBufferInfo(out, &info))
        snapshot = info;
}

void take_color_snapshots()
{
    ShadowConsole &c = g_shadow_console;
    take_snapshot(c.out_handle, c.default_snapshot);
    take_snapshot(c.out_handle, c.saved_snapshot);
}

// Null while output goes to a file, and when standard output is no console (a redirected file or
// pipe, NUL): colours then have no effect, cost no system call, and must not touch a console that
// the process may still own.
static HANDLE colour_handle()
{
    const ShadowConsole &c = g_shadow_console;
    return c.to_log_file || !c.out_is_console ? nullptr : c.out_handle;
}

// Sets the attribute and remembers it, so that the next change needs no snapshot call.
static void show_attribute(HANDLE out, WORD attribute)
{
    ShadowConsole &c = g_shadow_console;
    c.shown_known = SetConsoleTextAttribute(out, attribute) != FALSE;
    c.shown_attributes = attribute;
}

void set_console_color(ConsoleColor k)
{
    HANDLE out = colour_handle();
    if (out == nullptr)
        return;
    ShadowConsole &c = g_shadow_console;
    // The attribute in effect is the one this module set last, unless that is unknown.
    if (c.shown_known)
        c.saved_snapshot.wAttributes = c.shown_attributes;
    else
        take_snapshot(out, c.saved_snapshot);
    show_attribute(out, console_color_attribute(k, c.default_snapshot.wAttributes));
}

void restore_console_color()
{
    HANDLE out = colour_handle();
    if (out != nullptr)
        show_attribute(out, g_shadow_console.saved_snapshot.wAttributes);
}

void reset_console_color()
{
    set_console_color(color_default);
}

void set_default_attribute()
{
    HANDLE out = colour_handle();
    if (out != nullptr)
        show_attribute(out, g_shadow_console.default_snapshot.wAttributes);
}
