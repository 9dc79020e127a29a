// Console and log output on a real console (run under a pseudo-terminal): colours set and
// restored as read back from the console, the log text against the text on the screen, the way
// back from the log file, the key console's wait, and a console attached by another process.
#include <gtest/gtest.h>
#include <windows.h>
#include <cwchar>
#include <string>
#include "console/output.h"
#include "console/key_console.h"
#include "service/service_host.h"
#include "console_support.h"

using namespace console_test;

// Test doubles of the key console and the Ctrl handler, so that the wait's wiring can be
// observed: every call is counted, and the key F switches the output back to the console from
// inside the callback, as the debug console's "F" does.
static volatile LONG key_calls = 0;
static HANDLE switched_back = nullptr;

void CALLBACK key_console(PVOID context, BOOLEAN)
{
    INPUT_RECORD records[16];
    DWORD count = 0;
    // Reading only what is there: the read blocks otherwise, and the wait may be signalled
    // without a key.
    if (context != nullptr && GetNumberOfConsoleInputEvents(static_cast<HANDLE>(context), &count) && count > 0 &&
        ReadConsoleInputW(static_cast<HANDLE>(context), records, 16, &count)) {
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.wVirtualKeyCode == 'F' &&
                switched_back != nullptr) {
                new_console();
                SetEvent(switched_back);
            }
        }
    }
    InterlockedIncrement(&key_calls);
}

BOOL WINAPI ctrl_handler(DWORD)
{
    return FALSE;
}

namespace {

// The active screen buffer, whatever standard output is.
HANDLE screen()
{
    static HANDLE handle = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    return handle;
}

CONSOLE_SCREEN_BUFFER_INFO screen_info()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(screen(), &info);
    return info;
}

WORD attribute()
{
    return screen_info().wAttributes;
}

std::wstring row_text(SHORT row)
{
    std::wstring text(static_cast<size_t>(screen_info().dwSize.X), L' ');
    DWORD got = 0;
    ReadConsoleOutputCharacterW(screen(), text.data(), static_cast<DWORD>(text.size()), COORD{0, row}, &got);
    text.resize(got);
    while (!text.empty() && text.back() == L' ')
        text.pop_back();
    return text;
}

std::vector<WORD> row_attributes(SHORT row, DWORD count)
{
    std::vector<WORD> attributes(count, 0);
    DWORD got = 0;
    ReadConsoleOutputAttribute(screen(), attributes.data(), count, COORD{0, row}, &got);
    attributes.resize(got);
    return attributes;
}

// Puts a letter key into the console input, as if typed.
bool press(wchar_t letter)
{
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = letter;
    record.Event.KeyEvent.uChar.UnicodeChar = letter;
    DWORD written = 0;
    BOOL ok = WriteConsoleInputW(in, &record, 1, &written);
    CloseHandle(in);
    return ok && written == 1;
}

// Presses a key and waits until the key console has been called for it.
bool key_console_answers()
{
    LONG before = key_calls;
    if (!press(L'L'))
        return false;
    for (int i = 0; i < 500 && key_calls == before; ++i)
        Sleep(10);
    return key_calls != before;
}

void start_on_new_line()
{
    if (screen_info().dwCursorPosition.X != 0)
        print_out(L"\n");
}

// Four lines with colours, short enough for one screen row each.
void print_sample()
{
    set_console_color(1);
    print_out(L"# heading\n");
    restore_console_color();
    set_console_color(4);
    print_out(L"!! error %u\n", 5u);
    restore_console_color();
    print_out(L"caf\u00e9 \u20ac");
    print_out(L" %hs|%lc\n", "narrow", L'\u00fc');
    reset_console_color();
    print_out(L"\n");
}

const wchar_t sample_text[] = L"# heading\r\n!! error 5\r\ncaf\u00e9 \u20ac narrow|\u00fc\r\n\r\n";

WORD expected_attribute(const SystemColour &c, WORD d)
{
    return d == 0x07 ? c.on_07 : c.on_F0;
}

int scenario_colours(Scenario &s, const std::vector<std::wstring> &args)
{
    const WORD d = static_cast<WORD>(wcstoul(args[0].c_str(), nullptr, 16));
    const std::wstring name = args[1];
    const WORD original = attribute();
    SetConsoleTextAttribute(screen(), d);
    shadow_console_init();
    wcscpy_s(g_service_host.name, name.c_str());
    ShadowConsole &c = g_shadow_console;
    s.check(c.own_console && c.console_window != nullptr, "no own console at start");
    s.check(c.default_snapshot.wAttributes == d, "default attribute %x, expected %x", c.default_snapshot.wAttributes, d);
    s.check(c.key_wait != nullptr, "key console not started");
    s.check(key_console_answers(), "key console does not answer");

    for (const SystemColour &k : system_colours) {
        set_console_color(k.index);
        s.check(attribute() == expected_attribute(k, d), "index %u on %x gave %x", k.index, d, attribute());
        restore_console_color();
        s.check(attribute() == d, "restore after index %u gave %x", k.index, attribute());
    }
    set_console_color(4);
    set_console_color(1);
    restore_console_color();
    s.check(attribute() == console_color_attribute(4, d), "restore after nesting gave %x", attribute());
    reset_console_color();
    s.check(attribute() == d, "reset gave %x", attribute());

    // The screen shows the sample in its colours; the log file gets the same text.
    start_on_new_line();
    print_sample();
    const SHORT end = screen_info().dwCursorPosition.Y;
    std::wstring shown;
    for (SHORT row = static_cast<SHORT>(end - 4); row < end; ++row)
        shown += row_text(row) + L"\r\n";
    s.check(shown == sample_text, "screen shows '%ls'", shown.c_str());
    std::vector<WORD> heading = row_attributes(static_cast<SHORT>(end - 4), 9);
    std::vector<WORD> error = row_attributes(static_cast<SHORT>(end - 3), 10);
    for (WORD a : heading)
        s.check(a == console_color_attribute(1, d), "heading cell in %x", a);
    for (WORD a : error)
        s.check(a == console_color_attribute(4, d), "error cell in %x", a);

    s.check(log_to_file(false) == 0, "log_to_file failed");
    set_console_color(4);
    s.check(attribute() == d, "colour set on the console while logging: %x", attribute());
    print_sample();
    s.check(read_bytes(log_file_for(name)) == utf16_bytes(shown), "log differs from the screen");
    s.check(key_console_answers(), "key console lost while logging");

    // Back to the console the process kept.
    s.check(new_console() == 0, "new_console refused the way back");
    s.check(!c.to_log_file && c.key_wait != nullptr, "not back on a console with its key console");
    start_on_new_line();
    print_out(L"back\n");
    s.check(row_text(static_cast<SHORT>(screen_info().dwCursorPosition.Y - 1)) == L"back", "output not on the console");
    s.check(read_bytes(log_file_for(name)) == utf16_bytes(shown), "log written after the way back");
    set_console_color(4);
    s.check(attribute() == console_color_attribute(4, d), "no colours after the way back: %x", attribute());
    restore_console_color();
    s.check(key_console_answers(), "key console not restarted");
    SetConsoleTextAttribute(screen(), original);
    return s.failures();
}

int scenario_reentry(Scenario &s, const std::vector<std::wstring> &args)
{
    shadow_console_init();
    wcscpy_s(g_service_host.name, args[0].c_str());
    switched_back = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.check(log_to_file(false) == 0, "log_to_file failed");
    print_out(L"into the log\n");
    const std::string logged = read_bytes(log_file_for(args[0]));
    s.check(logged == utf16_bytes(L"into the log\r\n"), "log holds %u bytes", static_cast<unsigned>(logged.size()));
    s.check(press(L'F'), "no key written");
    s.check(WaitForSingleObject(switched_back, 10000) == WAIT_OBJECT_0, "switching back from the key console hangs");
    s.check(!g_shadow_console.to_log_file && g_shadow_console.key_wait != nullptr, "not back on the console");
    print_out(L"on the console\n");
    s.check(read_bytes(log_file_for(args[0])) == logged, "still writing into the log");
    s.check(key_console_answers(), "key console not restarted from its own callback");
    return s.failures();
}

int scenario_attach(Scenario &s, const std::vector<std::wstring> &args)
{
    const DWORD pid = wcstoul(args[0].c_str(), nullptr, 10);
    shadow_console_init();
    ShadowConsole &c = g_shadow_console;
    s.check(c.console_window == nullptr && c.key_wait == nullptr && !c.own_console, "a console at start");
    s.check(attach_console(pid) == 0, "attach_console failed");
    s.check(c.attached && c.console_window != nullptr && !c.own_console, "not attached");
    s.check(c.key_wait != nullptr, "no key console on the attached console");
    CONSOLE_SCREEN_BUFFER_INFO info;
    s.check(GetConsoleScreenBufferInfo(c.out_handle, &info) != 0, "out_handle is no console");
    print_out(L"%ls\n", args[1].c_str());
    return s.failures();
}

class PseudoTerminal : public ::testing::Test {
protected:
    void SetUp() override
    {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!GetConsoleScreenBufferInfo(screen(), &info))
            GTEST_FAIL() << "no console: this test runs under a pseudo-terminal";
        static int serial = 0;
        name = L"tosmire.test." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++serial);
        DeleteFileW(log_file_for(name).c_str());
    }
    void TearDown() override { DeleteFileW(log_file_for(name).c_str()); }
    std::wstring name;
};

TEST_F(PseudoTerminal, ColoursLogFileAndTheWayBackOnGreyAndOnWhite)
{
    for (const wchar_t *d : {L"07", L"F0"}) {
        ChildResult r = run_child(L"colours", std::wstring(d) + L" " + name, 0);
        EXPECT_EQ(r.exit_code, 0u) << "default " << d << "\n" << r.report;
        DeleteFileW(log_file_for(name).c_str());
    }
}

TEST_F(PseudoTerminal, SwitchingBackFromInsideTheKeyConsole)
{
    ChildResult r = run_child(L"reentry", name, 0);
    EXPECT_EQ(r.exit_code, 0u) << r.report;
}

// Finds the last screen row that shows text.
SHORT find_row(const std::wstring &text)
{
    for (SHORT row = static_cast<SHORT>(screen_info().dwSize.Y - 1); row >= 0; --row)
        if (row_text(row) == text)
            return row;
    return -1;
}

void expect_notice(SHORT row, const wchar_t *text, WORD colour)
{
    EXPECT_EQ(row_text(row), text);
    for (WORD a : row_attributes(row, static_cast<DWORD>(wcslen(text))))
        EXPECT_EQ(a, colour) << "on row " << row;
}

TEST_F(PseudoTerminal, AttachedConsoleShowsTheNoticesInColour)
{
    SetConsoleTextAttribute(screen(), 0x07);
    const std::wstring marker = L"attached child " + std::to_wstring(GetCurrentProcessId());
    ChildResult r = run_child(L"attach", std::to_wstring(GetCurrentProcessId()) + L" \"" + marker + L"\"",
                              DETACHED_PROCESS);
    EXPECT_EQ(r.exit_code, 0u) << r.report;
    SHORT row = find_row(marker);
    ASSERT_GE(row, 3) << "the attached child's output is not on this console";
    EXPECT_EQ(row_text(static_cast<SHORT>(row - 3)), L"");
    EXPECT_EQ(row_text(static_cast<SHORT>(row - 2)), L"");
    expect_notice(static_cast<SHORT>(row - 1), L"++ tosmire.IPS", 0x2F);
    expect_notice(static_cast<SHORT>(row + 1), L"-- tosmire.IPS", 0x4F);
    EXPECT_EQ(attribute(), 0x07) << "the child left its colour";
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::wstring> args = wide_arguments();
    if (args.size() >= 4 && args[1] == L"--child") {
        Scenario s(args[3]);
        std::vector<std::wstring> rest(args.begin() + 4, args.end());
        if (args[2] == L"colours" && rest.size() == 2)
            return scenario_colours(s, rest);
        if (args[2] == L"reentry" && rest.size() == 1)
            return scenario_reentry(s, rest);
        if (args[2] == L"attach" && rest.size() == 2)
            return scenario_attach(s, rest);
        return 100;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
