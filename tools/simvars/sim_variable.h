// The variables of the simulations (folder, forced exit codes, error hooks).
#pragma once
#include <windows.h>

// A variable of the simulation: the environment's, else the REG_SZ value of that name under
// HKLM\SOFTWARE\tosmire-evtsim, where a test leaves it for a service, which gets no environment
// from the test. Its length as GetEnvironmentVariableW gives it; 0 when unset in both.
DWORD sim_variable(const wchar_t *name, wchar_t *value, DWORD capacity);
