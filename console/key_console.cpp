// Key console and console Ctrl handler: the operator's keys and Ctrl events, turned into
// requests for the monitor and controls through the service control handler.
// They reach the loop through the request functions of engine/monitor.h and the service host
// through its control handler. (monitor_control and the flags live in monitor_control.cpp.)
#include "console/key_console.h"
#include "commands/ipsec_policy.h"
#include "config/listings.h"
#include "console/operator_commands.h"
#include "console/output.h"
#include "engine/monitor.h"
#include "service/service_runtime.h"

namespace {

constexpr DWORD records_per_read = 128;

// How long the system lets a handler of a close, logoff or shutdown event run before it ends
// the process.
constexpr DWORD end_grace_ms = 5000;

constexpr WORD vk_escape = VK_ESCAPE;  // 0x1B
constexpr WORD vk_tilde = VK_OEM_3;    // 0xC0, the "~" key
constexpr WORD vk_slash = VK_OEM_2;    // 0xBF, the "/" and "?" key

// Runs one debug-console letter as the command line would, marked as typed (empty entry 0).
void run_typed_letter(wchar_t letter)
{
    wchar_t typed_from[] = L"";
    wchar_t letters[] = {letter, L'\0'};
    wchar_t *argv[] = {typed_from, letters, nullptr};
    run_operator_commands(2, argv);
}

void debug_notice(const wchar_t *text)
{
    set_console_color(color_notice);
    print_out(L"%ls", text);
    restore_console_color();
}

const wchar_t debug_off_notice[] = L"\n#   debug console disabled.\n\n";

// Esc and Q: the stop goes through the service control handler, as the service manager's would;
// the request is stored last, so that it also stands when no control callback is installed yet.
void quit()
{
    set_console_color(color_notice);
    if (!g_shadow_console.to_log_file)
        print_out(L"\n# Exitting... ");
    service_ctrl_handler(SERVICE_CONTROL_STOP);
    send_monitor_request(MonitorRequest::quit);
}

// The header comes before the request, so that it always stands ahead of the loop's answer.
void request_with_heading(MonitorRequest request, const wchar_t *heading)
{
    set_console_color(color_heading);
    print_out(L"%ls", heading);
    send_monitor_request(request);
}

void pause_or_resume(bool paused)
{
    set_monitor_paused(paused);
    service_ctrl_handler(paused ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_CONTINUE);
}

void normal_key(const KEY_EVENT_RECORD &key)
{
    switch (key.wVirtualKeyCode) {
    case vk_escape:
        exit_now = true;
        quit();
        break;
    case 'Q':
        if (!exit_now)
            g_shadow_console.keep_console = true;
        quit();
        break;
    case 'L':
        request_with_heading(MonitorRequest::show_history, L"\n# Logon failure history:");
        break;
    case 'R':
    case VK_F5:
        request_with_heading(MonitorRequest::reset_history, L"\n# Reset logon failure history:");
        break;
    case 'P':
        pause_or_resume(!monitor_is_paused());
        break;
    case VK_SCROLL:
        pause_or_resume((key.dwControlKeyState & SCROLLLOCK_ON) != 0);
        break;
    case 'A':
        show_whitelisted_addresses();
        break;
    case 'N':
        show_whitelisted_user_names();
        break;
    case 'B':
        print_out(L"\n");
        show_blocked_hosts();
        break;
    case 'H':
    case VK_F1:
    case vk_slash:
        print_out(L"\n");
        print_key_help();
        break;
    default:
        // Key codes help whoever debugs the key table; an operator sees nothing, and nothing
        // changes: a colour reset here would strip the colour off a line that another thread
        // is printing whenever Shift is pressed or the terminal sends a stray byte.
        if (!IsDebuggerPresent())
            return;
        set_console_color(color_echo);
        print_out(L"{%u}", static_cast<unsigned>(key.wVirtualKeyCode));
        break;
    }
    reset_console_color();
}

void debug_key(const KEY_EVENT_RECORD &key)
{
    if (key.wVirtualKeyCode == vk_escape) {
        debug_console = false;
        debug_notice(debug_off_notice);
    } else if (key.wVirtualKeyCode == VK_F1) {
        run_typed_letter(L'?');
    } else if (key.uChar.UnicodeChar >= 0x20) {
        run_typed_letter(key.uChar.UnicodeChar);
    }
}

void handle_key(const KEY_EVENT_RECORD &key)
{
    // During a replay no loop answers a request, and the other keys would show, run or change
    // something: only the stop acts.
    if (keys_quit_only) {
        if (key.wVirtualKeyCode == vk_escape || key.wVirtualKeyCode == 'Q')
            normal_key(key);
        return;
    }
    if (key.wVirtualKeyCode == vk_tilde) {
        debug_console = !debug_console;
        if (debug_console) {
            debug_notice(L"\n# ~ debug console enabled. Press F1, h or ? for help.\n");
            print_help();
        } else {
            debug_notice(debug_off_notice);
            print_key_help();
        }
    } else if (debug_console) {
        debug_key(key);
    } else {
        normal_key(key);
    }
}

// Set by signal_quit_done, waited for by ctrl_handler. Created by whichever comes first and never
// closed: a handler thread may wait on it until the process ends.
HANDLE quit_done_event()
{
    static HANDLE volatile event = nullptr;
    if (event == nullptr) {
        HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (created != nullptr && InterlockedCompareExchangePointer(&event, created, nullptr) != nullptr)
            CloseHandle(created);
    }
    return event;
}

// The system ends the process when the handler of these events returns: the loop is given the
// time to print its quit lines into the console and the log file first.
void wait_for_quit_done()
{
    HANDLE done = quit_done_event();
    if (done != nullptr)
        WaitForSingleObject(done, end_grace_ms);
}

} // namespace

void signal_quit_done()
{
    HANDLE done = quit_done_event();
    if (done != nullptr)
        SetEvent(done);
}

void CALLBACK key_console(PVOID context, BOOLEAN)
{
    HANDLE input = static_cast<HANDLE>(context);
    if (input == nullptr)
        return;
    // On the stack: after "F" restarts the key console from inside this call, a second call
    // may run on another wait thread before this one ends.
    INPUT_RECORD records[records_per_read];
    DWORD pending = 0, count = 0;
    // The read blocks on an empty buffer, and the wait may be signalled without a record: a
    // blocked wait thread would hold up whoever unregisters the wait.
    if (GetNumberOfConsoleInputEvents(input, &pending) && pending > 0 &&
        ReadConsoleInputW(input, records, records_per_read, &count)) {
        if (count > records_per_read)
            count = records_per_read;
        for (DWORD i = 0; i < count; ++i)
            if (records[i].EventType == KEY_EVENT && records[i].Event.KeyEvent.bKeyDown)
                handle_key(records[i].Event.KeyEvent);
    }
    FlushConsoleInputBuffer(input);
}

BOOL WINAPI ctrl_handler(DWORD ctrl_type)
{
    // Any user's logoff reaches a service that has a console; the service must go on running.
    if (ctrl_type == CTRL_LOGOFF_EVENT && running_as_service())
        return FALSE;
    exit_now = true;
    g_shadow_console.keep_console = true;
    const wchar_t *text = ctrl_type == CTRL_C_EVENT       ? L"CTRL+C typed"
                          : ctrl_type == CTRL_CLOSE_EVENT ? L"Close event"
                                                          : nullptr;
    // Break, logoff and shutdown are left to the system's default handling; in a console
    // program, logoff and shutdown once the loop has ended. (A service gets its own shutdown
    // control from the service manager.)
    if (text == nullptr) {
        send_monitor_request(MonitorRequest::quit);
        if ((ctrl_type == CTRL_LOGOFF_EVENT || ctrl_type == CTRL_SHUTDOWN_EVENT) && !running_as_service())
            wait_for_quit_done();
        return FALSE;
    }
    set_console_color(color_error);
    print_out(L"\n# %ls! Exitting...", text);
    if (g_shadow_console.to_log_file)
        print_out(L"\n");
    restore_console_color();
    service_ctrl_handler(SERVICE_CONTROL_STOP);
    send_monitor_request(MonitorRequest::quit);
    if (ctrl_type == CTRL_CLOSE_EVENT)
        wait_for_quit_done();
    return TRUE;
}
