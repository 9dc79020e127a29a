// Registration of the simulated Security message file (secmsg.dll) under the Security log's
// sources, as Windows has it: Wine has no such keys and no such files.
#pragma once
#include <windows.h>

// Registers file (null: secmsg.dll beside evtlog) as EventMessageFile of the sources "Security"
// and "Microsoft-Windows-Security-Auditing" and as ParameterMessageFile of "LSA"; 0 or error.
DWORD register_security_messages(const wchar_t *file);
// Removes those three source keys, and the Security log's key when that is left empty; 0 or error.
DWORD unregister_security_messages();
