// The key console, under a pseudo-terminal: tosmire-ips-sim.exe runs on this program's console,
// keys are written into the console input as a terminal would deliver them, and the screen is
// read back with its colours. The Ctrl handler's other events run in child scenarios.
#include <gtest/gtest.h>
#include <functional>
#include "config/config.h"
#include "console/key_console.h"
#include "console/output.h"
#include "engine/monitor.h"
#include "config/version_probe.h"
#include "engine/main_entry.h"
#include "service/service_commands.h"
#include "tests/child_harness.h"
#include "tests/console_support.h"
#include "tests/event_record.h"
#include "tests/operator_texts.h"
#include "tests/test_service_support.h"

namespace {

using console_test::keyboard;
using console_test::screen;
using console_test::screen_info;

constexpr WORD grey = 0x07;

// Blank screen in grey, cursor at the top.
void blank_screen()
{
    const CONSOLE_SCREEN_BUFFER_INFO info = screen_info();
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD done = 0;
    FillConsoleOutputCharacterW(screen(), L' ', cells, COORD{0, 0}, &done);
    FillConsoleOutputAttribute(screen(), grey, cells, COORD{0, 0}, &done);
    SetConsoleCursorPosition(screen(), COORD{0, 0});
    SetConsoleTextAttribute(screen(), grey);
}

// Whether a line that fills its row exactly puts the cursor on the next row at once, so that its
// line feed leaves an empty row: asked of the console by printing such a line, at the first
// clearing of the screen, when nothing else prints.
int full_row_moves_cursor = -1;

// Blank screen in grey, cursor at the top: what a step prints is then the whole screen.
void clear_screen()
{
    if (full_row_moves_cursor < 0) {
        blank_screen();
        std::wstring probe(static_cast<size_t>(screen_info().dwSize.X), L'x');
        probe += L"\ny";
        DWORD written = 0;
        WriteConsoleW(screen(), probe.data(), static_cast<DWORD>(probe.size()), &written, nullptr);
        full_row_moves_cursor = screen_info().dwCursorPosition.Y == 2 ? 1 : 0;
    }
    blank_screen();
}

// The rows down to the cursor's, trailing blanks cut, joined by line feeds; with the attribute
// of each character kept in colours.
std::wstring screen_text(std::vector<WORD> *colours = nullptr)
{
    const CONSOLE_SCREEN_BUFFER_INFO info = screen_info();
    std::wstring text;
    if (colours != nullptr)
        colours->clear();
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
        std::wstring line(static_cast<size_t>(info.dwSize.X), L' ');
        std::vector<WORD> cells(line.size());
        DWORD got = 0;
        ReadConsoleOutputCharacterW(screen(), line.data(), static_cast<DWORD>(line.size()), COORD{0, row}, &got);
        ReadConsoleOutputAttribute(screen(), cells.data(), static_cast<DWORD>(cells.size()), COORD{0, row}, &got);
        line.resize(line.find_last_not_of(L' ') + 1);
        if (row > 0) {
            text += L'\n';
            if (colours != nullptr)
                colours->push_back(grey);
        }
        text += line;
        if (colours != nullptr)
            colours->insert(colours->end(), cells.begin(), cells.begin() + static_cast<long>(line.size()));
    }
    return text;
}

// The text as the screen shows it: a line longer than the console's row goes on in the next
// rows (the program's path in the help is as long as the checkout's folder makes it), and blanks
// at the end of a row are not told apart.
std::wstring as_shown(const std::wstring &text)
{
    const size_t width = static_cast<size_t>(screen_info().dwSize.X);
    if (width == 0)
        return text;
    std::wstring shown;
    for (size_t start = 0;;) {
        const size_t end = text.find(L'\n', start);
        const std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        for (size_t at = 0;; at += width) {
            std::wstring row = line.substr(at, width);
            row.resize(row.find_last_not_of(L' ') + 1);
            shown += row;
            if (line.size() - at <= width) {
                if (!line.empty() && line.size() - at == width && full_row_moves_cursor == 1)
                    shown += L'\n';
                break;
            }
            shown += L'\n';
        }
        if (end == std::wstring::npos)
            return shown;
        shown += L'\n';
        start = end + 1;
    }
}

// Waits until the screen shows text, then expects exactly text.
void expect_screen(const std::wstring &text)
{
    const std::wstring shown = as_shown(text);
    wait_until([&] { return screen_text().find(shown) != std::wstring::npos; });
    EXPECT_EQ(screen_text(), shown);
}

// The attribute of the first character of the first occurrence of piece on the screen.
WORD colour_of(const std::wstring &piece)
{
    std::vector<WORD> colours;
    const std::wstring text = screen_text(&colours);
    const size_t at = text.find(piece);
    return at == std::wstring::npos || at >= colours.size() ? 0xFFFF : colours[at];
}

struct Key {
    WORD vk;
    wchar_t ch = 0;
    DWORD state = 0;
};

// Writes the keys, each down and up, in one piece: the key console discards what arrives while
// it handles a batch.
void press_keys(std::initializer_list<Key> keys)
{
    std::vector<INPUT_RECORD> records;
    for (const Key &key : keys)
        for (BOOL down : {TRUE, FALSE}) {
            INPUT_RECORD record = {};
            record.EventType = KEY_EVENT;
            record.Event.KeyEvent.bKeyDown = down; // a key-up is never acted upon
            record.Event.KeyEvent.wRepeatCount = 1;
            record.Event.KeyEvent.wVirtualKeyCode = key.vk;
            record.Event.KeyEvent.uChar.UnicodeChar = key.ch;
            record.Event.KeyEvent.dwControlKeyState = key.state;
            records.push_back(record);
        }
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputW(keyboard(), records.data(), static_cast<DWORD>(records.size()), &written));
}

bool screen_shows(const std::wstring &piece)
{
    return screen_text().find(piece) != std::wstring::npos;
}

// Clears the screen and presses the keys until the screen shows the answer. The key console
// discards input that arrives while it handles a key: every step waits for the whole answer to
// the previous key, so that only a key pressed in the moment between that answer's end and the
// discard is lost. A lost key is pressed again after 10 seconds without its answer, a time in
// which a key that acted has answered, also on a busy machine.
void press_on_blank(std::initializer_list<Key> keys, const std::wstring &answer)
{
    clear_screen();
    for (int attempt = 0; attempt < 5; ++attempt) {
        press_keys(keys);
        if (wait_until([&] { return screen_shows(answer); }, 10000))
            return;
    }
    ADD_FAILURE() << "no answer to the keys:\n" << screen_text();
}

void press(WORD vk, wchar_t ch, const std::wstring &answer)
{
    press_on_blank({{vk, ch}}, answer);
}

// Clears the screen, presses the key, and expects exactly text on the screen.
void step(WORD vk, wchar_t ch, const std::wstring &text, DWORD state = 0)
{
    std::wstring shown = as_shown(text);
    shown.erase(0, shown.find_first_not_of(L'\n'));
    press_on_blank({{vk, ch, state}}, shown.substr(0, shown.find_last_not_of(L'\n') + 1));
    expect_screen(text);
}

// The printed texts of the operator side, as they land on a blank screen.
const std::wstring banner = L"###  tosmire's Intrusion Prevention System  2026-12-09  tosmire project  ###";
const std::wstring heading = L"List of commands:                   ~  debug console      h  help?  F1";
const std::wstring key_help = banner + L"\n" + heading + L"\n" +
                              L"  b  show blocked hosts             l  show  logon failure history\n"
                              L"  a  show whitelisted addresses     r  reset logon failure history  F5\n"
                              L"  n  show whitelisted user names    q  quit        p  pause/resume  Scroll Lock\n";

std::wstring log_file() { return console_test::log_file_for(L"tosmire.IPS"); }

// The log file's path is shown whether or not the output goes there.
std::wstring full_help() { return banner + L"\n" + heading + L"\n" + letter_help_body() + log_file(); }

// A program on this console: tosmire-ips-sim.exe, or this program running a scenario.
class OnConsole {
public:
    explicit OnConsole(const std::wstring &command_line)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring line = command_line;
        started_ = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &process_) != 0;
    }
    ~OnConsole()
    {
        if (!started_)
            return;
        if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_.hProcess, 0xDEAD);
            WaitForSingleObject(process_.hProcess, 10000);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    bool started() const { return started_; }
    // The exit code once it ended within the time, else STILL_ACTIVE.
    DWORD exit_code(DWORD ms = 20000)
    {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION process_ = {};
};

// The monitor on this console, started on the simulated Security log of the test's folder,
// waiting for records.
struct Monitor {
    std::unique_ptr<OnConsole> program;
    explicit Monitor(const std::wstring &arguments = L"")
    {
        ChildResult newest = run_redirected(L"evtlog.exe 4624 --address 192.0.2.1");
        EXPECT_TRUE(newest.finished && newest.exit_code == 0) << newest.output;
        clear_screen();
        program = std::make_unique<OnConsole>(L"tosmire-ips-sim.exe " + arguments);
        EXPECT_TRUE(program->started());
        // The waiting line and the two line feeds after it: a screen cleared before them would
        // show them ahead of the first key's answer.
        EXPECT_TRUE(wait_until([] {
            const std::wstring text = screen_text();
            return text.find(L"# Waiting for new events... [") != std::wstring::npos && text.ends_with(L"]\n\n");
        })) << screen_text();
    }
};

TEST(KeyConsole, NormalModeKeys)
{
    ASSERT_NE(screen_info().dwSize.X, 0) << "no console: this test runs under a pseudo-terminal";
    SimFolder folder;
    Monitor monitor;
    const std::wstring history = L"\n# Logon failure history:EMPTY\n\n";
    const std::wstring reset = L"\n# Reset logon failure history:EMPTY\n\n";
    const struct {
        const char *name;
        WORD vk;
        wchar_t ch;
        DWORD state;
        std::wstring text;
        std::wstring coloured;
        WORD colour;
    } keys[] = {
        {"l", 'L', L'l', 0, history, L"# Logon", 0x0B},
        {"L", 'L', L'L', SHIFT_PRESSED, history, L"# Logon", 0x0B},
        {"r", 'R', L'r', 0, reset, L"# Reset", 0x0B},
        {"F5", VK_F5, 0, 0, reset, L"# Reset", 0x0B},
        {"p", 'P', L'p', 0, L"{paused}", L"{paused}", 0x0E},
        {"p again", 'P', L'p', 0, L"{resumed}", L"{resumed}", 0x0A},
        {"Scroll Lock on", VK_SCROLL, 0, SCROLLLOCK_ON, L"{paused}", L"{paused}", 0x0E},
        {"Scroll Lock on again", VK_SCROLL, 0, SCROLLLOCK_ON, L"{paused}", L"{paused}", 0x0E},
        {"Scroll Lock off", VK_SCROLL, 0, 0, L"{resumed}", L"{resumed}", 0x0A},
        {"Scroll Lock off again", VK_SCROLL, 0, 0, L"{resumed}", L"{resumed}", 0x0A},
        {"h", 'H', L'h', 0, L"\n" + key_help, banner, 0x1F},
        {"F1", VK_F1, 0, 0, L"\n" + key_help, heading, 0x0B},
        {"?", VK_OEM_2, L'?', SHIFT_PRESSED, L"\n" + key_help, L"  b  show", grey},
        {"/", VK_OEM_2, L'/', 0, L"\n" + key_help, banner, 0x1F},
    };
    for (const auto &k : keys) {
        SCOPED_TRACE(k.name);
        step(k.vk, k.ch, k.text, k.state);
        EXPECT_EQ(colour_of(k.coloured), k.colour);
    }
    // Unmapped keys print nothing without a debugger: only what the next key prints shows.
    press_on_blank({{VK_SHIFT}, {'Z', L'z'}, {'L', L'l'}}, L"# Logon failure history:EMPTY");
    expect_screen(history);
    EXPECT_EQ(screen_info().wAttributes, grey) << "colour reset after the key";

    // Each listing shown to its last line (the default lists' last entries) before the next key.
    const struct {
        const char *name;
        WORD vk;
        const wchar_t *shown, *last;
    } listings[] = {
        {"a", 'A', L"# IP addresses on the whitelist:", default_whitelist_IP[default_whitelist_IP_count - 1]},
        {"n", 'N', L"# User names on the whitelist:", default_whitelist_user[default_whitelist_user_count - 1]},
        {"b", 'B', L"# netsh ipsec static show filterlist name=Brek level=verbose",
         L"Filter List with name \"Brek\" does not exist."}};
    for (const auto &l : listings) {
        SCOPED_TRACE(l.name);
        press(l.vk, static_cast<wchar_t>(l.vk + 0x20), l.shown);
        EXPECT_TRUE(wait_until([&] { return screen_shows(l.last); }) && screen_shows(l.shown)) << screen_text();
    }
    EXPECT_TRUE(screen_text().starts_with(L"\n# netsh")) << "b begins with a line feed";

    press(VK_ESCAPE, 0x1B, L"# Exitting... (Quit)");
    EXPECT_EQ(monitor.program->exit_code(), 0u) << "Esc ends without waiting for a key";
    expect_screen(L"\n# Exitting... (Quit)");
    EXPECT_EQ(colour_of(L"# Exitting"), 0x0F);
    EXPECT_EQ(colour_of(L"(Quit)"), grey);
}

TEST(KeyConsole, DebugConsole)
{
    DeleteFileW(log_file().c_str());
    SimFolder folder;
    Monitor monitor;
    const std::wstring enabled = L"\n# ~ debug console enabled. Press F1, h or ? for help.\n";
    const std::wstring disabled = L"\n#   debug console disabled.\n\n";
    // "~" comes with a Shift key-down before it, as a terminal delivers it.
    press_on_blank({{VK_SHIFT, 0, SHIFT_PRESSED}, {VK_OEM_3, L'~', SHIFT_PRESSED}}, L"# ~ debug console enabled.");
    expect_screen(enabled + full_help() + L"\n");
    EXPECT_EQ(colour_of(L"# ~ debug"), 0x0F);
    // "l" is no letter, and "f" typed here only refuses.
    press_on_blank({{'L', L'l'}, {'F', L'f'}}, L"[f] Use 'F' to force!");
    expect_screen(L"[f] Use 'F' to force! All messages will be redirected to log file!\n");
    EXPECT_EQ(colour_of(L"[f]"), 0x0F);
    step(VK_F1, 0, L"\n" + full_help() + L"\n");
    step('F', L'F', L"[F] Redirecting all messages to log file...\n", SHIFT_PRESSED);
    // While the output goes to the file, keys still work; the letters' output lands there.
    const auto help_in_log = [] {
        FILE *file = _wfopen(log_file().c_str(), L"rb");
        long size = 0;
        if (file != nullptr) {
            fseek(file, 0, SEEK_END);
            size = ftell(file);
            fclose(file);
        }
        return size > 400;
    };
    clear_screen();
    for (int attempt = 0; attempt < 5 && !help_in_log(); ++attempt) {
        press_keys({{'H', L'h'}});
        wait_until(help_in_log, 3000);
    }
    EXPECT_TRUE(help_in_log());
    EXPECT_EQ(screen_text(), L"");
    step('F', L'F', L"[F] Redirecting all messages to console...\n\n", SHIFT_PRESSED);
    EXPECT_EQ(colour_of(L"[F]"), 0x0F);
    // Esc only leaves the debug console.
    step(VK_ESCAPE, 0x1B, disabled);
    step('L', L'l', L"\n# Logon failure history:EMPTY\n\n");
    // "~" twice: the full help, then the key help.
    step(VK_OEM_3, L'~', enabled + full_help() + L"\n", SHIFT_PRESSED);
    step(VK_OEM_3, L'~', disabled + key_help);
    press('Q', L'q', L"# Exitting... (Quit)");
    EXPECT_EQ(monitor.program->exit_code(), 0u);
    expect_screen(L"\n# Exitting... (Quit)");
    DeleteFileW(log_file().c_str());
}

// Typed in the debug console, "q" stops the installed service, not the monitor on the console.
// The monitor runs in the foreground under the service's name, so the letter reaches the test's
// own service.
TEST(KeyConsole, DebugQStopsTheInstalledService)
{
    service_test::ServiceSimFolder folder;
    const std::wstring name = service_test::own_name(L"k");
    service_test::ServiceGuard guard{{name}};
    const std::wstring group = L"-d:+" + name.substr(wcslen(default_service_name));
    run_redirected(L"evtlog.exe 4624 --address 192.0.2.1");
    ChildResult install = service_test::run_sim(group + L":i");
    ASSERT_TRUE(service_test::wait_state(name, SERVICE_RUNNING)) << install.output;
    Monitor monitor(group + L"::");
    press_on_blank({{VK_SHIFT, 0, SHIFT_PRESSED}, {VK_OEM_3, L'~', SHIFT_PRESSED}}, L"# ~ debug console enabled.");
    // The help's end, the log file's path under the service's name.
    const std::wstring help_end = as_shown(console_test::log_file_for(name)) + L"\n";
    EXPECT_TRUE(wait_until([&] { return screen_text().ends_with(help_end); })) << screen_text();
    const std::wstring stopped = L":: " + name + L" service [";
    press('Q', L'q', stopped);
    EXPECT_TRUE(screen_text().starts_with(L"[q] [")) << screen_text();
    EXPECT_EQ(colour_of(L"[q]"), 0x0F);
    EXPECT_TRUE(service_test::wait_state(name, SERVICE_STOPPED));
    EXPECT_EQ(monitor.program->exit_code(0), static_cast<DWORD>(STILL_ACTIVE)) << "the console monitor goes on";
    step(VK_ESCAPE, 0x1B, L"\n#   debug console disabled.\n\n");
    press(VK_ESCAPE, 0x1B, L"# Exitting... (Quit)");
    EXPECT_EQ(monitor.program->exit_code(), 0u);
}

// A replay takes only its stop: "b" would run netsh, and "~" would make "q" the debug console's
// letter. Printing each failure on a console, it runs long after the keys.
TEST(KeyConsole, AReplayTakesOnlyEscAndQ)
{
    SimFolder folder;
    std::vector<BYTE> records;
    for (DWORD i = 0; i < 20000; ++i) {
        const std::wstring address = L"203.0.113." + std::to_wstring(i % 200);
        const std::vector<BYTE> r = build_record(e4625, address.c_str(), L"3", 1765000000 + i);
        records.insert(records.end(), r.begin(), r.end());
    }
    ASSERT_EQ(sim_append_records(sim_security, records.data(), static_cast<DWORD>(records.size())), 0u);
    clear_screen();
    OnConsole replay(L"tosmire-ips-sim.exe -t");
    ASSERT_TRUE(replay.started());
    EXPECT_TRUE(wait_until([] { return screen_shows(L" User:"); })) << screen_text();
    press_keys({{'B', L'b'}, {VK_SHIFT, 0, SHIFT_PRESSED}, {VK_OEM_3, L'~', SHIFT_PRESSED}, {'Q', L'q'}});
    EXPECT_EQ(replay.exit_code(), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_TRUE(wait_until([] { return screen_shows(L"!! Replay stopped after "); })) << screen_text();
    EXPECT_EQ(GetFileAttributesW(folder.file(L"netsh.log").c_str()), INVALID_FILE_ATTRIBUTES) << "netsh ran";
}

BOOL WINAPI survive_ctrl_c(DWORD)
{
    return TRUE;
}

TEST(KeyConsole, CtrlCEndsTheMonitor)
{
    SimFolder folder;
    Monitor monitor;
    SetConsoleCtrlHandler(survive_ctrl_c, TRUE); // the event reaches every process on the console
    clear_screen();
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    EXPECT_TRUE(wait_until([] { return screen_shows(L"\n# CTRL+C typed! Exitting..."); })) << screen_text();
    EXPECT_EQ(colour_of(L"# CTRL+C"), 0x0C);
    EXPECT_EQ(monitor.program->exit_code(), 0u);
    SetConsoleCtrlHandler(survive_ctrl_c, FALSE);
}

// The events a terminal cannot produce, by calling the handler in a child on this console. After
// a close or logoff the system ends the process once the handler returns: the handler returns
// only after the monitor's quit line, so that line is out.
TEST(CtrlHandler, CloseBreakAndLogoff)
{
    const struct {
        const char *scenario;
        std::wstring text; // the screen's end
    } cases[] = {
        {"close", L"\n# Close event! Exitting...(Quit)[1 exit=1 keep=1]"},
        {"break", L"[0 request=1 exit=1 keep=1]"},
        {"logoff", L"(Quit)[0 exit=1 keep=1]"},
        {"logoff-service", L"[0 request=0 exit=0 keep=0]"},
    };
    SimFolder folder;
    ChildResult newest = run_redirected(L"evtlog.exe 4624 --address 192.0.2.1");
    ASSERT_TRUE(newest.finished && newest.exit_code == 0) << narrow(newest.output);
    wchar_t self[MAX_PATH];
    const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        clear_screen();
        OnConsole child(L"\"" + program + L"\" --child " + std::wstring(c.scenario, c.scenario + strlen(c.scenario)));
        EXPECT_EQ(child.exit_code(), 0u);
        const std::wstring shown = as_shown(c.text);
        EXPECT_TRUE(wait_until([&] { return screen_text().ends_with(shown); })) << narrow(screen_text());
        if (c.text.starts_with(L"\n#")) {
            EXPECT_EQ(colour_of(L"# Close"), 0x0C);
        }
    }
}

DWORD handled_type = 0;

// Calls the handler as the system would and prints what it returned and left; the request only
// where no loop takes it meanwhile.
DWORD WINAPI call_handler(void *with_request)
{
    const BOOL handled = ctrl_handler(handled_type);
    if (with_request != nullptr)
        print_out(L"[%d request=%ld", handled, static_cast<long>(monitor_request));
    else
        print_out(L"[%d", handled);
    print_out(L" exit=%d keep=%d]", exit_now ? 1 : 0, g_shadow_console.keep_console ? 1 : 0);
    // The console is this process's own, never freed; the flag only matters to the test.
    g_shadow_console.keep_console = false;
    return 0;
}

} // namespace

// The handler as the system calls it; with "close" and "logoff" while the monitor runs on the
// main thread as the program runs it, from another thread once the loop has started.
int run_child_scenario(const std::string &scenario)
{
    set_console_hooks(key_console, ctrl_handler); // as the program's start-up registers them
    shadow_console_init();
    atexit(shadow_console_close);
    handled_type = scenario == "close" ? CTRL_CLOSE_EVENT : scenario == "break" ? CTRL_BREAK_EVENT : CTRL_LOGOFF_EVENT;
    if (scenario == "break" || scenario.ends_with("-service")) {
        g_service_host.is_service = scenario.ends_with("-service");
        return static_cast<int>(call_handler(&handled_type));
    }
    service_host_init();
    probe_windows_version();
    HANDLE caller = CreateThread(
        nullptr, 0,
        [](void *) -> DWORD {
            // The loop follows the log: its start-up lines and their last colour reset are out
            // (the notification event exists a little earlier, and a reset after the handler
            // set its colour would show "# Close" in the default colour).
            WaitForSingleObject(g_service_host.e_monitor_ready.handle, INFINITE);
            return call_handler(nullptr);
        },
        nullptr, 0, nullptr);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t *argv[] = {self, nullptr};
    const int code = monitor_main(1, argv);
    WaitForSingleObject(caller, 20000);
    CloseHandle(caller);
    return code;
}
