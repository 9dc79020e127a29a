// The program's compiled-in name: the default service name, the Application event source and
// the console title. A leaf: every floor may use it.
#pragma once

// The compiled-in service and event-source name.
inline constexpr wchar_t default_service_name[] = L"tosmire.IPS";
