// Simulated auditpol.exe for Wine, which has none: journals the command line it receives in
// auditpol.log in the simulation folder (format: tools/netsh/netsh_store.h) and answers as
// the real tool does after a successful change. TOSMIRE_SIM_AUDITPOL_EXIT (a decimal number)
// forces the exit code; a forced failure is answered with the real tool's error lines.
#include "tools/netsh/netsh_store.h"
#include <cstdio>
#include <cwchar>

static void out(const wchar_t *text)
{
    fputws(text, stdout);
}

int main()
{
    DWORD code = 0;
    wchar_t forced[16];
    DWORD length = sim_variable(L"TOSMIRE_SIM_AUDITPOL_EXIT", forced, 16);
    if (length > 0 && length < 16) {
        wchar_t *end = nullptr;
        unsigned long value = wcstoul(forced, &end, 10);
        if (end != forced && *end == L'\0')
            code = value;
    }

    if (code == 0) {
        out(L"The command was successfully executed.\n");
    } else {
        wchar_t *system_text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t *>(&system_text), 0, nullptr);
        fwprintf(stdout, L"Error 0x%08lx occurred:\n%ls\n", static_cast<unsigned long>(code),
                 system_text != nullptr ? system_text : L"");
        if (system_text != nullptr)
            LocalFree(system_text);
    }
    fflush(stdout);

    HANDLE lock = sim_lock();
    bool journalled = journal_append(sim_path(L"auditpol.log"), GetCommandLineW(), code);
    sim_unlock(lock);
    if (!journalled)
        fwprintf(stderr, L"The journal %ls cannot be written.\n", sim_path(L"auditpol.log").c_str());
    return static_cast<int>(code);
}
