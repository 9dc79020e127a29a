// The service name and the service commands of the command line, and the service host's
// start-up, which runs before the main entry.
#include "service/service_commands.h"
#include "service/service_control.h"
#include "service/service_install.h"
#include "service/service_runtime.h"
#include "config/program_name.h"
#include "console/output.h"
#include "console/redirection.h"
#include <cstdlib>
#include <cwchar>

void service_name_from_argument(const wchar_t *text, wchar_t *name)
{
    constexpr size_t capacity = sizeof(ServiceHost::name) / sizeof(wchar_t);
    wcscpy_s(name, capacity, default_service_name);
    if (text == nullptr || text[0] == 0 || text[0] == L':')
        return;
    wchar_t copied[capacity];
    size_t length = 0;
    if (text[0] == L'+') {
        wcscpy_s(copied, default_service_name);
        length = wcslen(copied);
        ++text;
    }
    for (; *text != 0 && *text != L':'; ++text) {
        if (length + 1 >= capacity)
            return; // too long: the default name stays
        copied[length++] = *text == L'/' || *text == L'\\' ? L'_' : *text;
    }
    copied[length] = 0;
    wcscpy_s(name, capacity, copied);
}

void service_host_init()
{
    ServiceHost &host = g_service_host;
    ZeroMemory(&host, sizeof(host));
    wcscpy_s(host.name, default_service_name);
    host.start_after_install = true;
    host.dispatch_table[0].lpServiceName = host.name;
    host.dispatch_table[0].lpServiceProc = service_main;
    host.thread_stack_size = 65536;
    host.thread_flags = STACK_SIZE_PARAM_IS_A_RESERVATION;

    // The C runtime has split the command line before any static initialiser runs (shell32's
    // splitter would load user32, which costs a console program its logoff and shutdown events).
    if (__wargv != nullptr && __argc >= 2 && __wargv[1] != nullptr && wcsncmp(__wargv[1], L"-d:", 3) == 0)
        service_name_from_argument(__wargv[1] + 3, host.name);
    set_log_file_name(host.name);

    create_host_event(host.e_main_ready, true);
    create_host_event(host.e_service_stop, true);
    create_host_event(host.e_host_stopped, true);
    create_host_event(host.e_param_change, false);
    create_host_event(host.e_host_started, true);
    create_host_event(host.e_monitor_ready, true);
    create_host_event(host.e_monitor_done, true);

    host.scm_handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    host.scm_error = host.scm_handle != nullptr ? 0 : GetLastError();
    host.service_error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (host.scm_handle != nullptr) {
        host.service_handle = OpenServiceW(host.scm_handle, host.name, SERVICE_QUERY_STATUS);
        host.service_error = host.service_handle != nullptr ? 0 : GetLastError();
    }
    if (host.service_handle == nullptr) {
        // No service to dispatch: the main entry must not wait for one.
        signal_host_event(host.e_host_stopped);
        signal_host_event(host.e_host_started);
        return;
    }
    start_service_dispatcher(host);
}

namespace {

void print_service_help()
{
    const wchar_t *d = default_service_name;
    print_out(L":: service commands ::        :name:  specify service name\n"
              L"   s  start                   P  pause\n"
              L"   q  stop                    C  continue\n"
              L"   r  restart\n"
              L"   i  install                 I install interactive service\n"
              L"   u  uninstall               h  help  ?\n"
              L"   c  configuration reload\n"
              L"   install: restart after 60 seconds for the first and second failure\n"
              L"\n");
    print_out(L"   -di               install service with default name %ls\n"
              L"   -d:+.8080:i       install service %ls.8080\n"
              L"   -dir -uninstall   commands are executed in the order they appear\n"
              L"   -d:%ls:i  install service %ls\n"
              L"   -d:%ls::  run in foreground as %ls\n",
              d, d, d, d, d, d);
    // What exists: one configuration in the registry for every instance, read again on reload.
    print_out(L"\n"
              L"   every instance reads its configuration from the registry key\n"
              L"   HKLM\\SYSTEM\\CurrentControlSet\\Services\\%ls\\Parameters, or else from\n"
              L"   HKLM\\SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\%ls;\n"
              L"   reload [-dc] or an edit of that key takes effect without restart\n"
              L"\n",
              d, d);
}

void restart(ServiceHost &host)
{
    // A start while the old process still runs would fail, or overlap two monitors.
    if (stop_service_and_wait(host))
        service_control(host, 0);
}

} // namespace

int service_commands(ServiceHost &host, int argc, wchar_t **argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr || wcsncmp(argv[1], L"-d", 2) != 0)
        return 0;
    if (argc == 2 && wcscmp(argv[1], L"-d") == 0)
        return 0;
    bool interactive = false;
    int result = 0;
    for (const wchar_t *at = argv[1] + 2; *at != 0;) {
        const wchar_t letter = *at++;
        if (letter == L':') {
            // The name group, which start-up has taken already.
            while (*at != 0 && *at != L':')
                ++at;
            if (*at == L':')
                ++at;
            result = 0;
            continue;
        }
        result = -1;
        switch (letter) {
        case L's': service_control(host, 0); break;
        case L'q': service_control(host, SERVICE_CONTROL_STOP); break;
        case L'r': restart(host); break;
        case L'P': service_control(host, SERVICE_CONTROL_PAUSE); break;
        case L'C': service_control(host, SERVICE_CONTROL_CONTINUE); break;
        case L'c': service_control(host, SERVICE_CONTROL_PARAMCHANGE); break;
        case L'I':
            interactive = true;
            service_install(host, interactive);
            break;
        case L'i': service_install(host, interactive); break;
        case L'u': service_remove(host); break;
        case L'h':
        case L'?': print_service_help(); break;
        default: break;
        }
    }
    if (argc == 2)
        return result;
    for (int i = 2; i < argc; ++i) {
        const wchar_t *word = argv[i];
        if (word == nullptr)
            continue;
        if (wcscmp(word, L"continue") == 0 || wcscmp(word, L"resume") == 0 || wcscmp(word, L"thaw") == 0)
            service_control(host, SERVICE_CONTROL_CONTINUE);
        else if (wcscmp(word, L"delete") == 0 || wcscmp(word, L"remove") == 0 || wcscmp(word, L"uninstall") == 0)
            service_remove(host);
        else if (wcscmp(word, L"freeze") == 0 || wcscmp(word, L"pause") == 0)
            service_control(host, SERVICE_CONTROL_PAUSE);
        else if (wcscmp(word, L"help") == 0)
            print_service_help();
        else if (wcscmp(word, L"install") == 0)
            service_install(host, interactive);
        else if (wcscmp(word, L"reload") == 0)
            service_control(host, SERVICE_CONTROL_PARAMCHANGE);
        else if (wcscmp(word, L"restart") == 0)
            restart(host);
        else if (wcscmp(word, L"start") == 0)
            service_control(host, 0);
        else if (wcscmp(word, L"stop") == 0)
            service_control(host, SERVICE_CONTROL_STOP);
        // "daemon-reload", "disable", "enable" and unknown words: no action.
    }
    return -1;
}
