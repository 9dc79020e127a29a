// Command runner: starts another program's command line, optionally waiting for it, or
// captures its standard output and standard error through an anonymous pipe.
#include "commands/runner.h"
#include "commands/system_tools.h"
#include "console/output.h"
#include <cwchar>
#include <cstring>

// Each read leaves room for two zero bytes behind the data, so the chunk is always a
// terminated narrow string (and would be a terminated wide one too).
static constexpr DWORD chunk_size = 65536;
static constexpr DWORD chunk_read_max = chunk_size - 2;
// A quoted system program: a folder of up to MAX_PATH characters and a short file name.
static constexpr size_t tool_path_chars = MAX_PATH + 32;

// The start-failure message, in the operating system's own words for the error.
static void print_start_failure(DWORD error, const wchar_t *command_line)
{
    wchar_t *system_text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&system_text), 0, nullptr);
    print_out(L"Error code:%d\n%ls\n[%ls]\n\nSorry, I cannot run this command! ", static_cast<int>(error),
              system_text != nullptr ? system_text : L"", command_line);
    if (system_text != nullptr)
        LocalFree(system_text);
}

// The program of a command line, for messages: its first word, without quotes.
static void print_program_name(const wchar_t *command_line)
{
    const wchar_t *start = command_line;
    wchar_t end = L' ';
    if (*start == L'"') {
        ++start;
        end = L'"';
    }
    size_t length = 0;
    while (start[length] != L'\0' && start[length] != end && start[length] != L'\t' && length < 260)
        ++length;
    print_out(L"%.*ls", static_cast<int>(length), start);
}

// Starts the command line and, unless wait_ms is 0, waits for it at most wait_ms (INFINITE:
// without a limit); the exit code, 0 without waiting, the start error code, or WAIT_TIMEOUT.
static DWORD run_process(const wchar_t *command_line, bool echo, DWORD wait_ms, HANDLE output_handle)
{
    if (command_line == nullptr)
        command_line = L"";
    if (echo) {
        set_console_color(color_heading);
        print_out(L"# %ls\n", command_line);
        reset_console_color();
    }

    // A system program named by its bare name is taken from the system folder: a search would
    // look in this program's folder and the current directory first, where anyone may drop a
    // file of that name, and run it with this program's rights.
    wchar_t program[16], tool_path[tool_path_chars];
    size_t word = 0;
    int tool_length = 0;
    if (names_system_tool(command_line, program, &word)) {
        SetLastError(ERROR_SUCCESS);
        tool_length = system_tool_path(program, tool_path, tool_path_chars);
        if (tool_length < 0) {
            DWORD error = GetLastError();
            if (error == ERROR_SUCCESS)
                error = ERROR_FILENAME_EXCED_RANGE; // the folder fits, the file name no more
            print_start_failure(error, command_line);
            return error;
        }
    }
    // CreateProcessW may write into its command-line argument, so it gets a private copy;
    // the copy is sized to the line, since a caller's text may exceed the usual 512 characters.
    const wchar_t *rest = command_line + word;
    size_t rest_chars = wcslen(rest) + 1;
    size_t bytes = (static_cast<size_t>(tool_length) + rest_chars) * sizeof(wchar_t);
    wchar_t *copy = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (copy == nullptr) {
        print_start_failure(ERROR_NOT_ENOUGH_MEMORY, command_line);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    wmemcpy(copy, tool_path, static_cast<size_t>(tool_length));
    wmemcpy(copy + tool_length, rest, rest_chars);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    if (output_handle != nullptr) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output_handle;
        startup.hStdError = output_handle;
    }

    // The child writes into the same output: what was printed before it goes out first.
    flush_output();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, copy, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        DWORD error = GetLastError();
        // The line as it was run (with a system program, the path that was missing), rebuilt:
        // CreateProcessW may have written into the copy.
        wmemcpy(copy, tool_path, static_cast<size_t>(tool_length));
        wmemcpy(copy + tool_length, rest, rest_chars);
        print_start_failure(error, copy);
        HeapFree(GetProcessHeap(), 0, copy);
        return error;
    }
    HeapFree(GetProcessHeap(), 0, copy);

    DWORD result = 0;
    if (wait_ms != 0) {
        DWORD waited = WaitForSingleObject(process.hProcess, wait_ms);
        if (waited == WAIT_OBJECT_0) {
            if (!GetExitCodeProcess(process.hProcess, &result))
                result = GetLastError();
        } else {
            // The child is left as it is: it may be in the middle of its work.
            result = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
            if (result == 0)
                result = ERROR_GEN_FAILURE;
            set_console_color(color_error);
            print_out(L"!! ");
            print_program_name(command_line);
            if (waited == WAIT_TIMEOUT)
                print_out(L" did not end within %u seconds: WaitForSingleObject() WAIT_TIMEOUT %u, left running\n",
                          wait_ms / 1000, result);
            else
                print_out(L": WaitForSingleObject() FAILED %u, left running\n", result);
            restore_console_color();
        }
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

DWORD run_command(const wchar_t *command_line, bool echo, bool wait, HANDLE output_handle)
{
    return run_process(command_line, echo, wait ? INFINITE : 0, output_handle);
}

DWORD run_command_limited(const wchar_t *command_line, DWORD wait_ms)
{
    // 0 would mean not waiting at all; the shortest limit is a millisecond.
    return run_process(command_line, false, wait_ms != 0 ? wait_ms : 1, nullptr);
}

// Moves the write position past the text that format_text just stored there. format_text
// always terminates, also when it cuts a text to the remaining capacity, so the terminator
// bounds what was stored.
static void advance(wchar_t *&position, DWORD &remaining)
{
    size_t stored = wcsnlen(position, remaining);
    position += stored;
    remaining -= static_cast<DWORD>(stored);
}

// Stores a failure text with its code at the write position, when there is room.
static void store_failure(wchar_t *&position, DWORD &remaining, const wchar_t *format, DWORD code)
{
    if (remaining == 0)
        return;
    format_text(position, remaining, format, code);
    advance(position, remaining);
}

DWORD run_command_capture(const wchar_t *command_line, wchar_t *text, DWORD *capacity, bool leading_newline)
{
    char chunk[chunk_size] = {};
    DWORD remaining = (text != nullptr && capacity != nullptr) ? *capacity : 0;
    wchar_t *position = text;
    DWORD result = 0;

    SECURITY_ATTRIBUTES inheritable = {};
    inheritable.nLength = sizeof(inheritable);
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    HANDLE pipe_out_read = nullptr;
    HANDLE pipe_out_write = nullptr;
    if (!CreatePipe(&pipe_out_read, &pipe_out_write, &inheritable, 0)) {
        DWORD error = GetLastError();
        print_out(L"CreatePipe() FAILED %u\n", error);
        store_failure(position, remaining, L"CreatePipe() FAILED %u", error);
    } else if (!SetHandleInformation(pipe_out_read, HANDLE_FLAG_INHERIT, 0)) {
        // The child must not hold the read end, or the pipe could never break.
        DWORD error = GetLastError();
        print_out(L"SetHandleInformation(pipe_out_read) FAILED %u\n", error);
        store_failure(position, remaining, L"SetHandleInformation(pipe_out_read) FAILED %u", error);
        CloseHandle(pipe_out_write);
        CloseHandle(pipe_out_read);
    } else {
        run_command(command_line, false, false, pipe_out_write);
        // From here the child and whatever it starts are the only writers: the pipe breaks
        // when the last of them exits, and that ends the capture.
        CloseHandle(pipe_out_write);

        bool any_output = false;
        DWORD n = 0;
        while (ReadFile(pipe_out_read, chunk, chunk_read_max, &n, nullptr)) {
            if (n == 0)
                continue; // a zero-length write: nothing to show or store
            if (!any_output && leading_newline)
                print_out(L"\n");
            any_output = true;
            chunk[n] = 0;
            chunk[n + 1] = 0;
            print_out(L"%hs", chunk);
            // Narrow text widens to at most n characters, so a chunk that passes this test
            // is stored whole with its terminator.
            if (remaining > n) {
                format_text(position, remaining, L"%hs", chunk);
                advance(position, remaining);
            }
        }
        DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE) {
            if (!any_output) {
                print_out(L"[EMPTY OUTPUT]\n\n");
                if (remaining > 0) {
                    format_text(position, remaining, L"[EMPTY OUTPUT]");
                    advance(position, remaining);
                }
            }
        } else {
            print_out(L"ReadFile(pipe_out_read) FAILED %u\n", error);
            store_failure(position, remaining, L"ReadFile(pipe_out_read) FAILED %u", error);
            result = error;
        }
        CloseHandle(pipe_out_read);
    }

    // Every way out reports the count stored, so a caller never mistakes its capacity for it.
    if (capacity != nullptr)
        *capacity = text != nullptr ? static_cast<DWORD>(position - text) : 0;
    return result;
}
