// Program entry: the start-up routines of static initialisation and the exit routines, in
// their fixed order, then the main entry.
#include "engine/main_entry.h"
#include "config/config.h"
#include "config/version_probe.h"
#include "console/key_console.h"
#include "console/redirection.h"
#include "service/service_commands.h"
#include "service/service_runtime.h"
#include <cstdlib>

namespace {
// The console must exist before the service host prints, and both before the main entry.
// One initialiser in this file fixes the order, which separate files could not. The console's
// hooks come first: the console set-up starts the key console and the Ctrl handler. Exit
// routines run in the reverse order of their registration: the console closes first, which
// stops the key console and the Ctrl handler, both of which reach the service host; then the
// service host (its threads print nothing once the main entry has ended), then the
// configuration lists are released.
struct StaticStartup {
    StaticStartup()
    {
        set_console_hooks(key_console, ctrl_handler);
        shadow_console_init();
        service_host_init();
        probe_windows_version();
        atexit(release_config_lists);
        atexit(service_host_close);
        atexit(shadow_console_close);
    }
};
StaticStartup static_startup;
}

int wmain(int argc, wchar_t **argv)
{
    return monitor_main(argc, argv);
}
