// Where the standard streams go: the console the process started with, a new or attached
// console, the log file or NUL; the console record's start-up and exit, and the key console's
// wait on console input.
#include "console/redirection.h"
#include "console/output.h"
#include "config/program_name.h"
#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

static constexpr size_t path_block_bytes = 3072;
static constexpr DWORD log_path_capacity = 512;
static constexpr size_t log_name_capacity = 256;

// What this module starts on a console but cannot know: set once by set_console_hooks during
// the program's static start-up, before any other thread exists; read by start_key_console.
static WAITORTIMERCALLBACK key_console_hook = nullptr;
static PHANDLER_ROUTINE ctrl_handler_hook = nullptr;
// The log file's name without ".log" (empty: the default name). Set by set_log_file_name,
// which the service host's start-up calls before any other thread exists; read by log_to_file.
static wchar_t log_file_name[log_name_capacity];

// Per thread. Set while this thread runs the key console: unregistering its wait with a full
// wait for the running callback would then wait for itself.
static thread_local bool in_key_console = false;

static void CALLBACK key_console_wait(PVOID context, BOOLEAN timed_out)
{
    in_key_console = true;
    key_console_hook(context, timed_out);
    in_key_console = false;
}

void set_console_hooks(WAITORTIMERCALLBACK key_console, PHANDLER_ROUTINE ctrl_handler)
{
    key_console_hook = key_console;
    ctrl_handler_hook = ctrl_handler;
}

void set_log_file_name(const wchar_t *name)
{
    if (name != nullptr && name[0] != L'\0')
        wcsncpy_s(log_file_name, name, _TRUNCATE);
}

int log_file_path(wchar_t *path, size_t capacity)
{
    if (path == nullptr || capacity == 0)
        return -1;
    path[0] = L'\0';
    const UINT room = static_cast<UINT>(capacity < log_path_capacity ? capacity : log_path_capacity);
    const UINT length = GetSystemDirectoryW(path, room);
    if (length == 0 || length >= room) {
        path[0] = L'\0';
        return -1;
    }
    const int rest = format_text(path + length, capacity - length, L"/LogFiles/%ls.log",
                                 log_file_name[0] != L'\0' ? log_file_name : default_service_name);
    if (rest < 0) {
        path[0] = L'\0';
        return -1;
    }
    return static_cast<int>(length) + rest;
}

static bool reopen(FILE *&slot, const wchar_t *path, const wchar_t *mode, FILE *stream)
{
    if (stream == stdout)
        g_shadow_console.stdout_wide = false;
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
        g_shadow_console.stdout_wide = wide;
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
    // Removed first, so that it is registered exactly once however often this runs. A null
    // routine would mean "ignore CTRL+C" to the system.
    if (ctrl_handler_hook != nullptr) {
        SetConsoleCtrlHandler(ctrl_handler_hook, FALSE);
        SetConsoleCtrlHandler(ctrl_handler_hook, TRUE);
    }
    HANDLE in = c.in_handle;
    if (in == nullptr || key_console_hook == nullptr)
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
    if (c.out_is_console)
        take_color_snapshots();
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
    bool opened = log_file_path(c.log_path, log_path_capacity) > 0 && reopen(c.out_stream, c.log_path, L"ab+", stdout);
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
        g_shadow_console.stdout_wide = false;
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

namespace {

// user32 is loaded only here: a console program that has user32 loaded is no longer sent the
// logoff and shutdown Ctrl events, and would be ended without its quit lines.
void show_message_box(const wchar_t *text, const wchar_t *caption)
{
    HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == nullptr)
        return;
    using MessageBoxFunction = int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT);
    auto message_box = reinterpret_cast<MessageBoxFunction>(reinterpret_cast<void *>(GetProcAddress(user32, "MessageBoxW")));
    if (message_box != nullptr)
        message_box(nullptr, text, caption, MB_ICONERROR);
    FreeLibrary(user32);
}

} // namespace

void shadow_console_init()
{
    ShadowConsole &c = g_shadow_console;
    // Standard output is unbuffered, so it gets no output block: a block handed to setvbuf with
    // _IONBF is ignored and would only cost commit charge. The system hands the path block out
    // zero-filled.
    BYTE *blocks = static_cast<BYTE *>(VirtualAlloc(nullptr, path_block_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (blocks == nullptr) {
        show_message_box(L"Failed to allocate a buffer for console output or logfile path!", L"g_shadow_console");
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
    // First the threads that the console runs: the record is released below.
    stop_key_console();
    if (ctrl_handler_hook != nullptr)
        SetConsoleCtrlHandler(ctrl_handler_hook, FALSE);
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
