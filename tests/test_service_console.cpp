// The service's output by its two registry values, with this test program on a console under a
// pseudo-terminal: _console_sid non-zero, or _console_pid naming an ended process, give the log
// file; _console_pid of this process attaches the service to this console.
#include "tests/test_service_support.h"

using namespace service_test;

namespace {

HANDLE screen()
{
    static HANDLE handle = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    return handle;
}

// The whole screen buffer as lines, trailing blanks cut.
std::wstring screen_text()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(screen(), &info);
    std::wstring text;
    for (SHORT row = 0; row < info.dwSize.Y; ++row) {
        std::wstring line(static_cast<size_t>(info.dwSize.X), L' ');
        DWORD got = 0;
        ReadConsoleOutputCharacterW(screen(), line.data(), static_cast<DWORD>(line.size()), COORD{0, row}, &got);
        line.resize(line.find_last_not_of(L' ') + 1);
        text += line + L"\n";
    }
    return text;
}

void clear_screen()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(screen(), &info);
    DWORD done = 0;
    FillConsoleOutputCharacterW(screen(), L' ', static_cast<DWORD>(info.dwSize.X) * info.dwSize.Y, COORD{0, 0}, &done);
    SetConsoleCursorPosition(screen(), COORD{0, 0});
}

// The id of a process that has ended.
DWORD ended_process()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring line = L"\"" + beside(L"testprog.exe") + L"\" exit 0";
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 0;
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

TEST(ServiceConsole, RegistryValuesChooseLogFileOrAttachedConsole)
{
    ASSERT_NE(screen(), INVALID_HANDLE_VALUE) << "no console: this test runs under a pseudo-terminal";
    ServiceSimFolder folder;
    ChildResult record = run_redirected(L"\"" + beside(L"evtlog.exe") + L"\" 4624 --address 198.51.100.1");
    ASSERT_TRUE(record.finished && record.exit_code == 0) << record.output;
    const std::wstring name = own_name(L"a");
    ServiceGuard guard{{name}};
    create_service(name, L"\"" + sim_program() + L"\" \"-d:" + name + L"\"");
    const std::wstring parameters = services_key(name) + L"\\Parameters";
    const DWORD self = GetCurrentProcessId();
    const struct {
        const char *what;
        DWORD pid, sid;
        bool attached;
    } rows[] = {
        {"session id set", self, 1, false},
        {"ended process", ended_process(), 0, false},
        {"this console", self, 0, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        write_dword(parameters, L"_console_pid", row.pid);
        write_dword(parameters, L"_console_sid", row.sid);
        DeleteFileW(log_file(name).c_str());
        clear_screen();
        ASSERT_EQ(start_service(name), 0u);
        ASSERT_TRUE(wait_state(name, SERVICE_RUNNING));
        const wchar_t *ready = L"Waiting for new events";
        bool seen = wait_until([&] { return contains(row.attached ? screen_text() : read_log(name), ready); }, 30000);
        EXPECT_TRUE(stopped_by(name, [&] { control_service(name, SERVICE_CONTROL_STOP); }));
        EXPECT_TRUE(seen) << narrow(row.attached ? screen_text() : read_log(name));
        const std::wstring shown = screen_text();
        if (row.attached) {
            EXPECT_TRUE(contains(shown, L"\n++ tosmire.IPS\n")) << narrow(shown);
            EXPECT_FALSE(file_exists(log_file(name)));
        } else {
            EXPECT_FALSE(contains(shown, L"++ tosmire.IPS")) << narrow(shown);
            EXPECT_FALSE(contains(shown, ready)) << narrow(shown);
        }
    }
}

} // namespace

// No child scenarios: the children are the program itself.
int run_child_scenario(const std::string &) { return 2; }
