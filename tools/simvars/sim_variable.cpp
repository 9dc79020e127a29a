// The variables of the simulations.
#include "tools/simvars/sim_variable.h"
#include <cwchar>

DWORD sim_variable(const wchar_t *name, wchar_t *value, DWORD capacity)
{
    DWORD n = GetEnvironmentVariableW(name, value, capacity);
    if (n != 0)
        return n;
    DWORD bytes = capacity * sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\tosmire-evtsim", name, RRF_RT_REG_SZ, nullptr, value, &bytes) !=
        ERROR_SUCCESS)
        return 0;
    n = static_cast<DWORD>(wcsnlen(value, capacity));
    return n < capacity ? n : capacity;
}
