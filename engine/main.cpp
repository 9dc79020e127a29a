// Program entry: the start-up routines of static initialisation and the exit routines, in
// their fixed order, then the main entry.
#include "engine/main_entry.h"
#include "config/config.h"
#include "config/version_probe.h"
#include "console/output.h"
#include "service/service_host.h"
#include <cstdlib>

namespace {
// The console must exist before the service host prints, and both before the main entry.
// One initialiser in this file fixes the order, which separate files could not. Exit routines
// run in the reverse order of their registration: the service host closes first (its threads
// may still print), then the console, then the configuration lists are released.
struct StaticStartup {
    StaticStartup()
    {
        shadow_console_init();
        service_host_init();
        probe_windows_version();
        atexit(release_config_lists);
        atexit(shadow_console_close);
        atexit(service_host_close);
    }
};
StaticStartup static_startup;
}

int wmain(int argc, wchar_t **argv)
{
    return monitor_main(argc, argv);
}
