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
    WORD on_07, on_F0;
};
inline constexpr SystemColour system_colours[] = {
    {1, 0x0B, 0xF1}, {2, 0x0A, 0xF2},  {3, 0x0F, 0xF3},  {4, 0x0C, 0xF4},  {5, 0x0F, 0xF5},   {6, 0x0E, 0xF6},
    {7, 0x0F, 0xFF}, {9, 0x1F, 0xF9}, {12, 0x4F, 0xF4}, {13, 0x5F, 0xF5}, {138, 0x2F, 0x8F2},
};

inline std::wstring temp_path(const std::wstring &name)
{
    wchar_t dir[MAX_PATH];
    return std::wstring(dir, GetTempPathW(MAX_PATH, dir)) + name;
}

// The log file that the program writes for a service name.
inline std::wstring log_file_for(const std::wstring &name)
{
    wchar_t dir[MAX_PATH];
    return std::wstring(dir, GetSystemDirectoryW(dir, MAX_PATH)) + L"/LogFiles/" + name + L".log";
}

inline std::string read_bytes(const std::wstring &path)
{
    std::string bytes;
    if (FILE *file = _wfopen(path.c_str(), L"rb")) {
        char chunk[65536];
        for (size_t got; (got = fread(chunk, 1, sizeof(chunk), file)) > 0;)
            bytes.append(chunk, got);
        fclose(file);
    }
    return bytes;
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

// Runs a scenario in a copy of this program and waits for it; with std_out, that handle is the
// child's standard output and its other streams go to NUL.
inline ChildResult run_child(const std::wstring &scenario, const std::wstring &args, DWORD flags,
                             HANDLE std_out = nullptr)
{
    static int serial = 0;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring report = temp_path(L"console-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(++serial) + L".txt");
    std::wstring command = L"\"" + std::wstring(self) + L"\" --child " + scenario + L" \"" + report + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    if (std_out != nullptr) {
        SetHandleInformation(std_out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdError = null;
        startup.hStdOutput = std_out;
    }
    PROCESS_INFORMATION process = {};
    ChildResult result = {~0u, "could not start the child"};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, std_out != nullptr, flags, nullptr, nullptr,
                       &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        result.report = read_bytes(report);
        DeleteFileW(report.c_str());
    }
    CloseHandle(null);
    return result;
}

// Child side: records each failed check in the report file.
class Scenario {
public:
    explicit Scenario(const std::wstring &report) : report_(_wfopen(report.c_str(), L"wb")) {}
    ~Scenario()
    {
        if (report_ != nullptr)
            fclose(report_);
    }
    bool check(bool ok, const char *format, ...)
    {
        if (ok)
            return true;
        ++failures_;
        if (report_ != nullptr) {
            va_list args;
            va_start(args, format);
            vfprintf(report_, format, args);
            va_end(args);
            fputc('\n', report_);
            fflush(report_);
        }
        return false;
    }
    int failures() const { return failures_; }

private:
    FILE *report_;
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
