// The operator's help as the program prints it, shared by the tests that read it back.
#pragma once
#include "tests/child_harness.h"

// The letters' help after its heading line, up to the log file's path.
inline std::wstring letter_help_body()
{
    return L"  W  write initial IPsec policy     E  erase Brek IPsec policy\n"
           L"  A  activate Brek IPsec policy     D  U deactivate Brek IPsec policy\n"
           L"  i  install, u uninstall           s  start, q stop, r resume, p pause service\n"
           L"  I  install interactive service    f  log to file\n"
           L"  a  show whitelisted addresses     b  show blocked hosts\n"
           L"  n  show whitelisted user names    c  open config path in regedit\n\n"
           L"Install as a service, create and activate IPsec policy for blocked hosts:\n"
           L"  \"" + beside(L"tosmire-ips-sim.exe") + L"\" WAis\n\n"
           L"These two locations are searched for configuration, the first found is used:\n"
           L"  SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters\n"
           L"  SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS\n\n"
           L"Log file path:\n  ";
}
