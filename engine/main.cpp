// Program entry: the start-up routines of static initialisation, in their fixed order, then
// the main entry of the monitor.
#include "engine/monitor.h"
#include "console/output.h"
#include "config/version_probe.h"
#include "service/service_host.h"

namespace {
// The console must exist before the service host prints, and both before the main entry.
// One initialiser in this file fixes the order, which separate files could not.
struct StaticStartup {
    StaticStartup()
    {
        shadow_console_init();
        service_host_init();
        probe_windows_version();
    }
};
StaticStartup static_startup;
}

int wmain(int argc, wchar_t **argv)
{
    return monitor_main(argc, argv);
}
