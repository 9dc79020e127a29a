// The main entry. With engine/main.cpp, the only room of the engine that reaches the operator
// side and the service host: the loop below it knows neither.
#include "engine/main_entry.h"
#include "engine/monitor.h"
#include "engine/replay.h"
#include "config/config.h"
#include "config/event_dump.h"
#include "console/key_console.h"
#include "console/operator_commands.h"
#include "console/output.h"
#include "service/service_commands.h"
#include "service/service_runtime.h"
#include <cstdio>
#include <cwchar>

namespace {

// The monitor has ended (error 0 after an asked-for quit): the service reports STOPPED, with
// the error after a failure, only now that every handle is closed and every line printed; its
// dispatcher then returns. Last, a Ctrl handler waiting for the end may let the system go on.
int finish(int exit_code, DWORD error)
{
    service_monitor_finished(error);
    wait_host_event(g_service_host.e_host_stopped);
    if (exit_code == 0 && IsDebuggerPresent() && !exit_now) {
        getwchar();
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    }
    signal_quit_done();
    return exit_code;
}

} // namespace

int monitor_main(int argc, wchar_t **argv)
{
    // A path that does not fit is cut by the system: kept for the help texts, never registered.
    const DWORD path_chars = GetModuleFileNameW(nullptr, module_path, 512);
    const DWORD path_error = path_chars == 0 ? GetLastError() : path_chars >= 512 ? ERROR_INSUFFICIENT_BUFFER : 0;
    module_path[511] = L'\0';
    format_text(parameters_key_path, 512, L"SYSTEM\\CurrentControlSet\\Services\\%ls\\Parameters", default_service_name);
    format_text(event_source_key_path, 512, L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\%ls",
                default_service_name);
    // The replay writes nothing, not even the configuration's defaults: it comes first. It runs
    // nothing either: of the keys, only its stop acts.
    if (is_replay_command(argc, argv)) {
        keys_quit_only = true;
        return run_replay(argc, argv);
    }
    load_config();
    if (service_commands(g_service_host, argc, argv) == -1)
        return 1;
    bool service_line = argc > 1 && argv[1] != nullptr && wcsncmp(argv[1], L"-d", 2) == 0;
    if (!g_service_host.is_service && !service_line && run_operator_commands(argc, argv) == -1)
        return 1;
    g_service_host.control_callback = monitor_control;
    signal_host_event(g_service_host.e_main_ready);
    wait_host_event(g_service_host.e_host_started);

    print_key_help();
    if (!(g_service_host.is_service && g_shadow_console.to_log_file))
        print_out(L"\n");
    if (path_error != 0) {
        // The event source would name a file that does not exist, and every report would lose its text.
        set_console_color(color_error);
        print_out(L"!! GetModuleFileNameW() FAILED %u: the path of this program is longer than 511 characters; "
                  L"move it to a shorter path.\n",
                  path_error);
        restore_console_color();
        return finish(static_cast<int>(path_error), path_error);
    }
    DWORD error = 0;
    const int result = run_monitor(g_service_host.is_service, &g_service_host.stop_requested, service_monitor_ready,
                                   &error);
    release_message_modules();
    if (result == 0) {
        restore_console_color();
        if (g_shadow_console.to_log_file) {
            if (monitor_is_paused())
                print_out(L"#\n");
            print_out(L"# (Quit) ######################################################################\n\n\n\n");
        } else {
            print_out(L"(Quit)");
        }
    }
    return finish(result, error);
}
