// Console and log output: where the standard streams go (own, new or attached console, log
// file, NUL), console colours, and the two printing operations.
#include "console/output.h"
#include "console/key_console.h"
#include "service/service_host.h"
#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <climits>
#include <fcntl.h>
#include <io.h>

ShadowConsole g_shadow_console;

static constexpr size_t path_block_bytes = 3072;
static constexpr DWORD log_path_capacity = 512;
// A printed text up to this length is formatted on the stack and written in one piece; longer
// texts are formatted into a heap block for that one call.
static constexpr int print_capacity = 4096;

// Per thread. Set while this thread runs the key console: unregistering its wait with a full wait for the
// running callback would then wait for itself.
static thread_local bool in_key_console = false;

// Standard output is in wide-text mode, set by this module since it was last reopened. Written
// by the redirection operations on whichever thread runs them; read by print_out on every thread. Only then
// may print_out hand the stream UTF-16 text as it is; before start-up or on NUL the stream is
// narrow and converts the characters itself.
static volatile bool stdout_wide = false;

static void CALLBACK key_console_wait(PVOID context, BOOLEAN timed_out)
{
    in_key_console = true;
    key_console(context, timed_out);
    in_key_console = false;
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
static int write_text(const wchar_t *text, size_t length)
{
    if (stdout_wide)
        return static_cast<int>(fwrite(text, sizeof(wchar_t), length, stdout));
    return fwprintf(stdout, L"%.*ls", static_cast<int>(length), text);
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
    return stdout_wide && (c.to_log_file || !c.out_is_console);
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
    if (gather_thread == 0 && may_gather())
        gather_thread = GetCurrentThreadId();
}

void output_gather_end()
{
    if (!this_thread_gathers())
        return;
    flush_output();
    gather_thread = 0;
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

// The default attribute without retaking the saved snapshot.
static void set_default_attribute()
{
    HANDLE out = colour_handle();
    if (out != nullptr)
        show_attribute(out, g_shadow_console.default_snapshot.wAttributes);
}

static bool reopen(FILE *&slot, const wchar_t *path, const wchar_t *mode, FILE *stream)
{
    if (stream == stdout)
        stdout_wide = false;
    return _wfreopen_s(&slot, path, mode, stream) == 0;
}

// Reopens a standard stream. A failed reopening has already closed the stream, so it is put on
// NUL then: a standard stream is never left closed.
static bool reopen_stream(FILE *&slot, const wchar_t *path, const wchar_t *mode, FILE *stream, const wchar_t *null_mode)
{
    if (reopen(slot, path, mode, stream))
        return true;
    reopen(slot, L"NUL", null_mode, stream);
    return false;
}

static void set_wide_mode(FILE *stream)
{
    int fd = _fileno(stream);
    bool wide = fd >= 0 && _setmode(fd, _O_WTEXT) != -1;
    if (stream == stdout)
        stdout_wide = wide;
}

static void set_stream_modes()
{
    FILE *const streams[] = {stdout, stderr, stdin};
    for (FILE *stream : streams)
        set_wide_mode(stream);
    for (FILE *stream : streams)
        setvbuf(stream, nullptr, _IONBF, 0);
}

static void streams_to_console()
{
    ShadowConsole &c = g_shadow_console;
    if (c.own_console)
        return;
    reopen_stream(c.out_stream, L"CONOUT$", L"wt+", stdout, L"w+");
    reopen_stream(c.err_stream, L"CONOUT$", L"wt+", stderr, L"w+");
    reopen_stream(c.in_stream, L"CONIN$", L"rt+", stdin, L"r+");
}

static void streams_to_null()
{
    ShadowConsole &c = g_shadow_console;
    reopen(c.out_stream, L"NUL", L"w+", stdout);
    reopen(c.err_stream, L"NUL", L"w+", stderr);
    reopen(c.in_stream, L"NUL", L"r+", stdin);
}

// Unregisters the key console's wait and waits for a running callback to finish, unless this
// thread is that callback (it is then left to finish on its own).
static void stop_key_console()
{
    ShadowConsole &c = g_shadow_console;
    if (c.key_wait == nullptr)
        return;
    UnregisterWaitEx(c.key_wait, in_key_console ? nullptr : INVALID_HANDLE_VALUE);
    c.key_wait = nullptr;
}

static int start_key_console()
{
    ShadowConsole &c = g_shadow_console;
    if (c.console_window == nullptr)
        return -1;
    // Removed first, so that it is registered exactly once however often this runs.
    SetConsoleCtrlHandler(ctrl_handler, FALSE);
    SetConsoleCtrlHandler(ctrl_handler, TRUE);
    HANDLE in = c.in_handle;
    if (in == nullptr)
        return -1;
    // Redirected input (a file or pipe) is always signalled: a wait on it would spin.
    DWORD mode;
    if (!GetConsoleMode(in, &mode))
        return -1;
    FlushConsoleInputBuffer(in);
    stop_key_console();
    HANDLE wait = nullptr;
    if (!RegisterWaitForSingleObject(&wait, in, key_console_wait, in, INFINITE, WT_EXECUTEINWAITTHREAD))
        return -1;
    c.key_wait = wait;
    return 0;
}

static HANDLE std_handle(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

static void refresh_std_handles()
{
    ShadowConsole &c = g_shadow_console;
    c.out_handle = std_handle(STD_OUTPUT_HANDLE);
    c.err_handle = std_handle(STD_ERROR_HANDLE);
    c.in_handle = std_handle(STD_INPUT_HANDLE);
    c.shown_known = false;
    if (c.to_log_file)
        return;
    DWORD mode;
    c.out_is_console = c.out_handle != nullptr && GetConsoleMode(c.out_handle, &mode);
    if (c.out_is_console) {
        take_snapshot(c.out_handle, c.default_snapshot);
        take_snapshot(c.out_handle, c.saved_snapshot);
    }
    start_key_console();
}

void free_console()
{
    ShadowConsole &c = g_shadow_console;
    if (c.attached) {
        c.attached = false;
        set_console_color(color_detach);
        print_out(L"-- %ls", default_service_name);
        set_default_attribute();
        print_out(L"\n");
    }
    stop_key_console();
    streams_to_null();
    FreeConsole();
    c.own_console = false;
    c.console_window = nullptr;
    // The handles read last belonged to the console; colours do nothing until one is set up.
    c.out_handle = c.err_handle = c.in_handle = nullptr;
}

DWORD new_console()
{
    ShadowConsole &c = g_shadow_console;
    c.to_log_file = false;
    if (!AllocConsole()) {
        DWORD error = GetLastError();
        // The process kept its console when it went to the log file, and the platform refuses
        // a second one: standard output goes back to the console it has.
        HWND window = GetConsoleWindow();
        if (window == nullptr)
            return error;
        c.console_window = window;
        if (!reopen_stream(c.out_stream, L"CONOUT$", L"wt+", stdout, L"w+"))
            return error;
        set_stream_modes();
        refresh_std_handles();
        return 0;
    }
    c.console_window = GetConsoleWindow();
    if (c.console_window != nullptr)
        SetConsoleTitleW(default_service_name);
    streams_to_console();
    set_stream_modes();
    refresh_std_handles();
    return 0;
}

int log_to_file(bool close_console_first)
{
    ShadowConsole &c = g_shadow_console;
    if (close_console_first)
        free_console();
    if (c.path_block == nullptr)
        return -1;
    ZeroMemory(c.path_block, path_block_bytes);
    // The service name is read now: the service host fills it after this module's start-up.
    const wchar_t *name = g_service_host.name;
    size_t name_length = wcsnlen(name, sizeof(g_service_host.name) / sizeof(wchar_t));
    if (name_length == 0) {
        name = default_service_name;
        name_length = wcslen(name);
    }
    UINT length = GetSystemDirectoryW(c.log_path, log_path_capacity);
    bool opened = length > 0 && length < log_path_capacity &&
                  format_text(c.log_path + length, log_path_capacity - length, L"/LogFiles/%.*ls.log",
                              static_cast<int>(name_length), name) >= 0 &&
                  reopen(c.out_stream, c.log_path, L"ab+", stdout);
    if (!opened) {
        // A failed reopening has closed standard output: new_console gives it a console, else
        // it goes to NUL.
        if (new_console() != 0)
            reopen(c.out_stream, L"NUL", L"w+", stdout);
        return -1;
    }
    set_wide_mode(stdout);
    setvbuf(stdout, nullptr, _IONBF, 0);
    c.to_log_file = true;
    refresh_std_handles();
    return 0;
}

// Wraps a duplicate of a standard handle as a descriptor, so that the descriptor never owns a
// handle that something else closes.
static int wrap_handle(HANDLE handle)
{
    HANDLE copy = nullptr;
    if (handle == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return -1;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_WTEXT);
    if (fd < 0)
        CloseHandle(copy);
    return fd;
}

// Makes a standard stream use fd, which it owns from then on. A stream that has a descriptor
// keeps its place and takes a copy of fd under its descriptor number; one without descriptor
// takes the place of a stream opened on fd, the platform's idiom for re-binding a standard stream.
static void rebind_stream(FILE *stream, int fd, const wchar_t *mode)
{
    if (stream == stdout)
        stdout_wide = false;
    int standard = _fileno(stream);
    if (standard >= 0) {
        _dup2(fd, standard);
        _close(fd);
        return;
    }
    FILE *fresh = _wfdopen(fd, mode);
    if (fresh == nullptr) {
        _close(fd);
        return;
    }
    *stream = *fresh;
    // The slot is free again; its descriptor belongs to the standard stream now.
    fresh->_flag = 0;
}

// A process started without standard handles (a service) has standard streams without
// descriptor. Wine's freopen leaves such a stream as it is and still reports success, so each
// gets a descriptor on NUL under its own number first; writing to it is lost either way.
static void give_streams_descriptors()
{
    struct Standard {
        FILE *stream;
        int number;
        int flags;
        const wchar_t *mode;
    };
    const Standard standards[] = {
        {stdin, 0, _O_RDONLY, L"r"}, {stdout, 1, _O_WRONLY, L"w"}, {stderr, 2, _O_WRONLY, L"w"}};
    for (const Standard &s : standards) {
        if (_fileno(s.stream) >= 0)
            continue;
        int fd = _wopen(L"NUL", s.flags);
        if (fd < 0)
            continue;
        if (fd != s.number && _dup2(fd, s.number) == 0) {
            _close(fd);
            fd = s.number;
        }
        rebind_stream(s.stream, fd, s.mode);
    }
}

int attach_console(DWORD process_id)
{
    ShadowConsole &c = g_shadow_console;
    free_console();
    // Standard output is on NUL now, whatever it was before.
    c.to_log_file = false;
    if (!AttachConsole(process_id))
        return -1;
    c.console_window = GetConsoleWindow();
    if (c.console_window == nullptr) {
        FreeConsole();
        return -1;
    }
    refresh_std_handles();
    int out_fd = wrap_handle(c.out_handle);
    int err_fd = wrap_handle(c.err_handle);
    int in_fd = wrap_handle(c.in_handle);
    if (in_fd < 0 || (out_fd < 0 && err_fd < 0)) {
        if (out_fd >= 0)
            _close(out_fd);
        if (err_fd >= 0)
            _close(err_fd);
        if (in_fd >= 0)
            _close(in_fd);
        return -1;
    }
    if (out_fd < 0)
        out_fd = _dup(err_fd);
    else if (err_fd < 0)
        err_fd = _dup(out_fd);
    rebind_stream(stdout, out_fd, L"wt+");
    rebind_stream(stderr, err_fd, L"wt+");
    rebind_stream(stdin, in_fd, L"rt+");
    streams_to_console();
    set_stream_modes();
    refresh_std_handles();
    c.attached = true;
    print_out(L"\n\n");
    set_console_color(color_attach);
    print_out(L"++ %ls", default_service_name);
    set_default_attribute();
    print_out(L"\n");
    return 0;
}

void shadow_console_init()
{
    ShadowConsole &c = g_shadow_console;
    // Standard output is unbuffered, so it gets no output block: a block handed to setvbuf with
    // _IONBF is ignored and would only cost commit charge. The system hands the path block out
    // zero-filled.
    BYTE *blocks = static_cast<BYTE *>(VirtualAlloc(nullptr, path_block_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (blocks == nullptr) {
        MessageBoxW(nullptr, L"Failed to allocate a buffer for console output or logfile path!", L"g_shadow_console",
                    MB_ICONERROR);
        exit(1);
    }
    c.out_block = nullptr;
    c.path_block = reinterpret_cast<wchar_t *>(blocks);
    c.log_path = c.path_block;
    give_streams_descriptors();
    set_stream_modes();
    refresh_std_handles();
    c.console_window = GetConsoleWindow();
    c.own_console = c.console_window != nullptr;
    if (c.own_console)
        SetConsoleTitleW(default_service_name);
    start_key_console();
}

void shadow_console_close()
{
    ShadowConsole &c = g_shadow_console;
    output_gather_end();
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    setvbuf(stdin, nullptr, _IONBF, 0);
    if (c.console_window != nullptr && !c.keep_console && !c.own_console)
        free_console();
    if (c.path_block != nullptr)
        VirtualFree(c.path_block, 0, MEM_RELEASE);
    ZeroMemory(&c, sizeof(c));
}
