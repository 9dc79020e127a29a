// The main entry: the command line, the service hand-shake and the operator side around the
// Security log monitor, in their fixed order.
#pragma once

// The main entry; returns the process exit code.
int monitor_main(int argc, wchar_t **argv);
