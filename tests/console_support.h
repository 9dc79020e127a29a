// Support for the console tests. A scenario moves the standard streams of the process it runs
// in, so it is a disabled test (Child.DISABLED_<scenario>) run alone in a fresh copy of the test
// program, its arguments after the test flags; its failures come back in its XML report.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "console/output.h"
#include "console/redirection.h"
#include "service/service_host.h"

namespace console_test {

// The console's handles, whatever the standard streams are; opened once, closed at exit.
inline HANDLE open_console(const wchar_t *name)
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

// The active screen buffer.
inline HANDLE screen()
{
    static HANDLE handle = open_console(L"CONOUT$");
    return handle;
}

// The console's input buffer.
inline HANDLE keyboard()
{
    static HANDLE handle = open_console(L"CONIN$");
    return handle;
}

inline CONSOLE_SCREEN_BUFFER_INFO screen_info()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(screen(), &info);
    return info;
}

inline std::vector<std::wstring> child_args; // the scenario's arguments; empty in the parent

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

// Runs a scenario in a copy of this program and expects it to pass. With a capture file, that
// file is the child's standard output and its other streams go to NUL.
inline void run_child(const std::wstring &scenario, const std::wstring &args, DWORD flags,
                      const std::wstring &capture = {})
{
    wchar_t self[MAX_PATH], report[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetTempPathW(MAX_PATH, report);
    wcscat_s(report, (L"console-" + std::to_wstring(GetCurrentProcessId()) + L".xml").c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=Child.DISABLED_" +
                           scenario + L" --gtest_output=xml:" + report + L" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    if (!capture.empty()) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdError = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
                                                            FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        startup.hStdOutput = CreateFileW(capture.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    }
    PROCESS_INFORMATION process = {};
    DWORD code = ~0u;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, !capture.empty(), flags, nullptr, nullptr, &startup,
                       &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 0xDEAD);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (!capture.empty()) {
        CloseHandle(startup.hStdOutput);
        CloseHandle(startup.hStdInput);
    }
    const std::string xml = read_bytes(report);
    DeleteFileW(report);
    // Exactly one test ran: a scenario name that matches nothing must not pass.
    EXPECT_TRUE(code == 0 && xml.find("tests=\"1\"") != std::string::npos) << "exit code " << code << "\n" << xml;
}

// main of a console test program; a child runs its scenario without printing.
inline int run_tests(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        child_args.emplace_back(argv[i], argv[i] + strlen(argv[i]));
    ::testing::TestEventListeners &listeners = ::testing::UnitTest::GetInstance()->listeners();
    if (!child_args.empty())
        delete listeners.Release(listeners.default_result_printer());
    return RUN_ALL_TESTS();
}

} // namespace console_test
