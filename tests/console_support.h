// Support for the console tests. The scenarios move the standard streams of the process they
// run in, so each runs in a fresh copy of the test program ("--child <scenario> <report> ...")
// and writes its failed checks into a report file; its exit code counts them.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace console_test {

// The colour indexes the system uses with their attributes on grey-on-black and black-on-white.
struct SystemColour {
    unsigned short index;
    WORD on_07;
    WORD on_F0;
};
inline constexpr SystemColour system_colours[] = {
    {1, 0x0B, 0xF1}, {2, 0x0A, 0xF2},  {3, 0x0F, 0xF3},  {4, 0x0C, 0xF4},  {5, 0x0F, 0xF5},   {6, 0x0E, 0xF6},
    {7, 0x0F, 0xFF}, {9, 0x1F, 0xF9}, {12, 0x4F, 0xF4}, {13, 0x5F, 0xF5}, {138, 0x2F, 0x8F2},
};

inline std::wstring self_path()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

inline std::wstring temp_path(const std::wstring &name)
{
    wchar_t dir[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir, length) + name;
}

// The log file that the running program writes for a service name.
inline std::wstring log_file_for(const std::wstring &name)
{
    wchar_t dir[MAX_PATH];
    UINT length = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, length) + L"/LogFiles/" + name + L".log";
}

inline std::string read_bytes(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

inline bool write_bytes(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// The bytes of a wide text as the platform stores it: UTF-16 little-endian.
inline std::string utf16_bytes(const std::wstring &text)
{
    return std::string(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
}

struct ChildResult {
    DWORD exit_code;
    std::string report;
};

// Runs a scenario in a copy of this program and waits for it. With std_out the child's
// standard output is that handle (input and error then go to NUL).
inline ChildResult run_child(const std::wstring &scenario, const std::wstring &args, DWORD flags,
                             HANDLE std_out = nullptr)
{
    static int serial = 0;
    std::wstring report = temp_path(L"console-report-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(++serial) + L".txt");
    DeleteFileW(report.c_str());
    std::wstring command = L"\"" + self_path() + L"\" --child " + scenario + L" \"" + report + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    HANDLE null_in = INVALID_HANDLE_VALUE;
    BOOL inherit = FALSE;
    if (std_out != nullptr) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        null_in = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              OPEN_EXISTING, 0, nullptr);
        SetHandleInformation(std_out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = null_in;
        startup.hStdOutput = std_out;
        startup.hStdError = null_in;
        inherit = TRUE;
    }
    PROCESS_INFORMATION process = {};
    ChildResult result = {~0u, "could not start the child"};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr, &startup,
                       &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        result.report = read_bytes(report);
        DeleteFileW(report.c_str());
    }
    if (null_in != INVALID_HANDLE_VALUE)
        CloseHandle(null_in);
    return result;
}

// Child side: the scenario's arguments and its failed checks.
class Scenario {
public:
    explicit Scenario(const wchar_t *report_path)
    {
        report_ = CreateFileW(report_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    }
    ~Scenario()
    {
        if (report_ != INVALID_HANDLE_VALUE)
            CloseHandle(report_);
    }
    // Records a failure unless ok; returns ok.
    bool check(bool ok, const char *format, ...)
    {
        if (ok)
            return true;
        char line[1024];
        va_list args;
        va_start(args, format);
        int length = vsnprintf(line, sizeof(line) - 1, format, args);
        va_end(args);
        if (length < 0 || length > static_cast<int>(sizeof(line)) - 2)
            length = static_cast<int>(sizeof(line)) - 2;
        line[length++] = '\n';
        DWORD written = 0;
        if (report_ != INVALID_HANDLE_VALUE)
            WriteFile(report_, line, static_cast<DWORD>(length), &written, nullptr);
        ++failures_;
        return false;
    }
    int failures() const { return failures_; }

private:
    HANDLE report_;
    int failures_ = 0;
};

// Wide command-line arguments (the test programs have a narrow main for GoogleTest).
inline std::vector<std::wstring> wide_arguments()
{
    std::vector<std::wstring> args;
    int count = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; argv != nullptr && i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

} // namespace console_test
