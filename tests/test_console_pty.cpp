// Console and log output on a real console (run under a pseudo-terminal): colours set and
// restored as read back from the console, the log text against the text on the screen, the way
// back from the log file from inside the key console, and a console attached by another process.
#include <algorithm>
#include "console_support.h"

using namespace console_test;

static HANDLE key_handled = CreateEventW(nullptr, FALSE, FALSE, nullptr);

// Test doubles of the key console and the Ctrl handler, registered as the program registers
// its own: the key F switches the output back to the console from inside the wait's callback,
// as the debug console's "F" does.
static void CALLBACK key_double(PVOID input, BOOLEAN)
{
    INPUT_RECORD records[16];
    DWORD count = 0;
    // Only what is there: the read blocks otherwise, and the wait may be signalled without a key.
    if (GetNumberOfConsoleInputEvents(input, &count) && count > 0 && ReadConsoleInputW(input, records, 16, &count))
        for (DWORD i = 0; i < count; ++i)
            if (records[i].EventType == KEY_EVENT && records[i].Event.KeyEvent.bKeyDown &&
                records[i].Event.KeyEvent.wVirtualKeyCode == 'F') {
                new_console();
                SetEvent(key_handled);
            }
}

static BOOL WINAPI ctrl_double(DWORD)
{
    return FALSE;
}

namespace {

WORD attribute()
{
    return screen_info().wAttributes;
}

SHORT cursor_row()
{
    return screen_info().dwCursorPosition.Y;
}

std::wstring row_text(SHORT row)
{
    std::wstring text(static_cast<size_t>(screen_info().dwSize.X), L' ');
    DWORD got = 0;
    ReadConsoleOutputCharacterW(screen(), text.data(), static_cast<DWORD>(text.size()), COORD{0, row}, &got);
    text.resize(text.find_last_not_of(L' ') + 1);
    return text;
}

// Whether the first count cells of a row are all in the colour.
bool row_in_colour(SHORT row, DWORD count, WORD colour)
{
    std::vector<WORD> cells(count, static_cast<WORD>(~colour));
    DWORD got = 0;
    ReadConsoleOutputAttribute(screen(), cells.data(), count, COORD{0, row}, &got);
    return std::all_of(cells.begin(), cells.end(), [colour](WORD a) { return a == colour; });
}

// Types F into the console input and waits until the key console has handled it.
bool key_console_switches_back()
{
    static HANDLE in = open_console(L"CONIN$");
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = record.Event.KeyEvent.uChar.UnicodeChar = L'F';
    DWORD written = 0;
    return WriteConsoleInputW(in, &record, 1, &written) && WaitForSingleObject(key_handled, 10000) == WAIT_OBJECT_0;
}

TEST(Child, DISABLED_colours)
{
    const WORD d = static_cast<WORD>(wcstoul(child_args.at(0).c_str(), nullptr, 16));
    const std::wstring name = child_args.at(1);
    const WORD original = attribute();
    SetConsoleTextAttribute(screen(), d);
    set_console_hooks(key_double, ctrl_double);
    shadow_console_init();
    atexit(shadow_console_close); // as the program's start-up registers it
    set_log_file_name(name.c_str());
    ASSERT_TRUE(g_shadow_console.own_console);
    for (ConsoleColor k : {1, 2, 3, 4, 5, 6, 7, 9, 12, 13, 138}) {
        set_console_color(k);
        EXPECT_EQ(attribute(), console_color_attribute(k, d)) << "index " << k;
        restore_console_color();
        EXPECT_EQ(attribute(), d) << "restored after index " << k;
    }
    set_console_color(4);
    set_console_color(1);
    restore_console_color();
    EXPECT_EQ(attribute(), console_color_attribute(4, d)) << "restored after nesting";
    reset_console_color();
    EXPECT_EQ(attribute(), d) << "reset";

    // The sample on the screen, in its colours; the log file gets the same text.
    if (screen_info().dwCursorPosition.X != 0)
        print_out(L"\n");
    const auto print_sample = [] {
        set_console_color(4);
        print_out(L"!! error %u\n", 5u);
        restore_console_color();
        print_out(L"caf\u00e9 \u20ac %hs|%lc\n\n", "narrow", L'\u00fc');
    };
    print_sample();
    const SHORT end = cursor_row();
    std::wstring shown;
    for (SHORT row = static_cast<SHORT>(end - 3); row < end; ++row)
        shown += row_text(row) + L"\r\n";
    EXPECT_EQ(shown, L"!! error 5\r\ncaf\u00e9 \u20ac narrow|\u00fc\r\n\r\n");
    EXPECT_TRUE(row_in_colour(static_cast<SHORT>(end - 3), 10, console_color_attribute(4, d)));

    ASSERT_EQ(log_to_file(false), 0);
    set_console_color(4);
    EXPECT_EQ(attribute(), d) << "colour set on the console while logging";
    print_sample();
    ASSERT_TRUE(key_console_switches_back()) << "switching back from inside the key console hangs";
    EXPECT_FALSE(g_shadow_console.to_log_file);
    print_out(L"back\n");
    EXPECT_EQ(row_text(static_cast<SHORT>(cursor_row() - 1)), L"back");
    EXPECT_EQ(read_bytes(log_file_for(name)), utf16_bytes(shown)) << "log differs from the screen";
    set_console_color(4);
    EXPECT_EQ(attribute(), console_color_attribute(4, d)) << "no colours after the way back";
    restore_console_color();
    EXPECT_TRUE(key_console_switches_back()) << "key console not restarted from its own callback";
    SetConsoleTextAttribute(screen(), original);
}

TEST(Child, DISABLED_attach)
{
    set_console_hooks(key_double, ctrl_double);
    shadow_console_init();
    atexit(shadow_console_close); // as the program's start-up registers it
    ASSERT_EQ(g_shadow_console.console_window, nullptr) << "a console at start";
    ASSERT_EQ(attach_console(wcstoul(child_args.at(0).c_str(), nullptr, 10)), 0);
    EXPECT_NE(g_shadow_console.key_wait, nullptr) << "no key console on the attached console";
    print_out(L"%ls\n", child_args.at(1).c_str());
}

TEST(PseudoTerminal, ColoursLogFileAndTheWayBackOnGreyAndOnWhite)
{
    ASSERT_NE(screen_info().dwSize.X, 0) << "no console: this test runs under a pseudo-terminal";
    const std::wstring name = L"tosmire.test." + std::to_wstring(GetCurrentProcessId());
    for (const wchar_t *d : {L"07", L"F0"}) {
        DeleteFileW(log_file_for(name).c_str());
        run_child(L"colours", std::wstring(d) + L" " + name, 0);
    }
    DeleteFileW(log_file_for(name).c_str());
}

TEST(PseudoTerminal, AttachedConsoleShowsTheNoticesInColour)
{
    SetConsoleTextAttribute(screen(), 0x07);
    const std::wstring marker = L"attached-child-" + std::to_wstring(GetCurrentProcessId());
    run_child(L"attach", std::to_wstring(GetCurrentProcessId()) + L" " + marker, DETACHED_PROCESS);
    SHORT row = static_cast<SHORT>(screen_info().dwSize.Y - 1);
    while (row >= 0 && row_text(row) != marker)
        --row;
    ASSERT_GE(row, 3) << "the attached child's output is not on this console";
    EXPECT_EQ(row_text(static_cast<SHORT>(row - 3)) + row_text(static_cast<SHORT>(row - 2)), L"");
    // The notices in their colours, and the child's own output in the default colour.
    const struct {
        int offset;
        std::wstring text;
        WORD colour;
    } rows[] = {{-1, L"++ tosmire.IPS", 0x2F}, {0, marker, 0x07}, {1, L"-- tosmire.IPS", 0x4F}};
    for (const auto &r : rows) {
        const SHORT at = static_cast<SHORT>(row + r.offset);
        EXPECT_EQ(row_text(at), r.text);
        EXPECT_TRUE(row_in_colour(at, static_cast<DWORD>(r.text.size()), r.colour)) << r.text;
    }
    EXPECT_EQ(attribute(), 0x07) << "the child left its colour";
}

} // namespace

int main(int argc, char **argv)
{
    return console_test::run_tests(argc, argv);
}
