// Operator commands: the letters of the command line and of the debug console, the banner and
// the two help texts.
#include "console/operator_commands.h"
#include "commands/ipsec_policy.h"
#include "commands/runner.h"
#include "config/config.h"
#include "config/listings.h"
#include "config/registry.h"
#include "console/output.h"
#include "console/redirection.h"
#include "service/service_control.h"
#include "service/service_install.h"
#include <cwchar>

const wchar_t program_banner[] = L"###  tosmire's Intrusion Prevention System  2026-12-09  tosmire project  ###";

namespace {

constexpr size_t path_chars = 512;
constexpr wchar_t regedit_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";

const wchar_t commands_heading[] = L"List of commands:                   ~  debug console      h  help?  F1\n";

// The banner in the colour of the process: an interactive service stands out.
void print_banner()
{
    const ServiceHost &host = g_service_host;
    set_console_color(host.interactive && host.is_service ? color_banner_service : color_banner);
    print_out(L"%ls\n", program_banner);
}

// The letter as typed, so that the operator sees which debug-console letter ran.
void echo_letter(bool from_debug_console, wchar_t letter)
{
    if (!from_debug_console)
        return;
    set_console_color(color_echo);
    print_out(L"[%lc] ", letter);
    restore_console_color();
}

// "f" and "F": between the console and the log file. Going back, the console exists before the
// messages; leaving, the messages are printed while it still shows them.
void switch_output(bool from_debug_console, wchar_t letter)
{
    if (g_shadow_console.to_log_file) {
        new_console();
        echo_letter(from_debug_console, letter);
        print_out(L"Redirecting all messages to console...\n\n");
    } else if (letter == L'F' || !from_debug_console) {
        echo_letter(from_debug_console, letter);
        print_out(L"Redirecting all messages to log file...\n");
        log_to_file(false);
    } else {
        // The debug console runs beside the monitor: a plain "f" there is more likely a slip.
        set_console_color(color_echo);
        print_out(L"[%lc] ", letter);
        restore_console_color();
        print_out(L"Use 'F' to force! All messages will be redirected to log file!\n");
    }
}

bool key_exists(const wchar_t *path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// "c": the registry editor opens at the key it finds in LastKey.
void open_config_in_regedit()
{
    const wchar_t *path = key_exists(parameters_key_path)     ? parameters_key_path
                          : key_exists(event_source_key_path) ? event_source_key_path
                                                              : nullptr;
    if (path == nullptr) {
        set_console_color(color_error);
        print_out(L"!! Please start the application without parameters to create the config.\n");
        print_out(L"   Note that the uninstall command also removes config and log file.\n");
        restore_console_color();
        return;
    }
    wchar_t last_key[path_chars];
    const int length = format_text(last_key, path_chars, L"Computer\\HKEY_LOCAL_MACHINE\\%ls", path);
    HKEY key = nullptr;
    // A failure only costs the editor its starting place; it still opens.
    if (length >= 0 && RegCreateKeyExW(HKEY_CURRENT_USER, regedit_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                       nullptr, &key, nullptr) == ERROR_SUCCESS) {
        reg::set_value(key, L"LastKey", REG_SZ, last_key, static_cast<DWORD>(length) * sizeof(wchar_t) + sizeof(wchar_t));
        RegCloseKey(key);
    }
    run_command(L"regedit.exe", false, false, nullptr);
}

// Executes one letter; true when the letter ends the program.
bool run_letter(bool from_debug_console, wchar_t letter)
{
    ServiceHost &host = g_service_host;
    switch (letter) {
    case L'?':
    case L'h':
        print_out(L"\n");
        print_help();
        return true;
    case L'W':
        write_initial_policy();
        return true;
    case L'A':
        activate_policy();
        return true;
    case L'D':
    case L'U':
        deactivate_policy();
        return true;
    case L'E':
        erase_policy();
        return true;
    case L'b':
        show_blocked_hosts();
        return true;
    case L'a':
        show_whitelisted_addresses();
        return true;
    case L'n':
        show_whitelisted_user_names();
        return true;
    case L'c':
        open_config_in_regedit();
        return true;
    case L'i':
    case L'I':
        echo_letter(from_debug_console, letter);
        service_install(host, letter == L'I');
        return true;
    case L'u':
        echo_letter(from_debug_console, letter);
        service_remove(host);
        return true;
    case L's':
    case L'q':
    case L'p':
    case L'r': {
        echo_letter(from_debug_console, letter);
        const DWORD control = letter == L's'   ? 0
                              : letter == L'q' ? SERVICE_CONTROL_STOP
                              : letter == L'p' ? SERVICE_CONTROL_PAUSE
                                               : SERVICE_CONTROL_CONTINUE;
        service_control(host, control);
        return true;
    }
    case L'f':
    case L'F':
        switch_output(from_debug_console, letter);
        return false;
    default:
        // Unknown characters are skipped, so a leading "-" or "/" does no harm.
        return false;
    }
}

} // namespace

int run_operator_commands(int argc, wchar_t **argv)
{
    if (argc <= 1 || argv == nullptr || argv[1] == nullptr || argv[1][0] == L'\0')
        return 0;
    const bool from_debug_console = argv[0] != nullptr && argv[0][0] == L'\0';
    bool ends = false;
    // Later letters still run after one that ends the program.
    for (const wchar_t *letter = argv[1]; *letter != L'\0'; ++letter)
        if (run_letter(from_debug_console, *letter))
            ends = true;
    return ends ? -1 : 0;
}

void print_key_help()
{
    print_banner();
    set_console_color(color_heading);
    // A service writing the log file has no keys to offer.
    if (g_service_host.is_service && g_shadow_console.to_log_file)
        return;
    print_out(L"%ls", commands_heading);
    reset_console_color();
    print_out(L"%ls", L"  b  show blocked hosts             l  show  logon failure history\n"
                      L"  a  show whitelisted addresses     r  reset logon failure history  F5\n"
                      L"  n  show whitelisted user names    q  quit        p  pause/resume  Scroll Lock\n");
}

void print_help()
{
    print_banner();
    set_console_color(color_heading);
    print_out(L"%ls", commands_heading);
    reset_console_color();
    print_out(L"%ls", L"  W  write initial IPsec policy     E  erase Brek IPsec policy\n"
                      L"  A  activate Brek IPsec policy     D  U deactivate Brek IPsec policy\n"
                      L"  i  install, u uninstall           s  start, q stop, r resume, p pause service\n"
                      L"  I  install interactive service    f  log to file\n"
                      L"  a  show whitelisted addresses     b  show blocked hosts\n"
                      L"  n  show whitelisted user names    c  open config path in regedit\n\n");

    set_console_color(color_heading);
    print_out(L"Install as a service, create and activate IPsec policy for blocked hosts:\n");
    reset_console_color();
    print_out(L"  \"%ls\" WAis\n\n", module_path);

    set_console_color(color_heading);
    print_out(L"These two locations are searched for configuration, the first found is used:\n");
    reset_console_color();
    print_out(L"  %ls\n  %ls\n\n", parameters_key_path, event_source_key_path);

    set_console_color(color_heading);
    print_out(L"Log file path:\n");
    reset_console_color();
    // Where a service's output goes, whether or not this process writes there now.
    wchar_t log_path[path_chars];
    log_file_path(log_path, path_chars);
    print_out(L"  %ls\n", log_path);
}
