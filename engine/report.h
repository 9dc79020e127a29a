// Reports to the Application event log under the program's own source. IDs and categories are
// the names of the message catalogue (messages.h, generated from resources/messages.mc).
#pragma once
#include <windows.h>
#include "messages.h"

// The Application-log source handle. Written by start_monitor and close_event_source, on the
// main thread only; read by every reporting thread (Remote Desktop callback, service control
// thread) for as long as the monitor runs. Null while closed: reports are then skipped.
extern HANDLE event_source;

// Writes one report: no user SID, count insertion strings, and tag (ASCII, may be null) as raw
// data without its terminator. A failing report is ignored.
void report_event(WORD type, WORD category, DWORD event_id, const wchar_t **strings, WORD count, const char *tag);
// Deregisters event_source, if open, once no report uses it; the one closer of the source.
void close_event_source();
