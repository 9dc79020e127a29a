// Event record dump: an accepted logon record printed with its header, account and the
// message texts of its source.
#pragma once
#include <windows.h>

// Message file of the Security source: serves every category text and the event texts of
// records whose source is "Security". Written by format_event_message on the main thread at the
// first lookup that loads it; emptied by release_message_modules at shutdown.
extern HMODULE message_module_security;
// Message file of the first other source looked up: serves the event texts of every other
// source. Written and emptied as message_module_security.
extern HMODULE message_module_other;

// Prints record (length bytes, as the walk of the batch checked them; nothing beyond is read)
// with its time text.
void dump_event_record(const EVENTLOGRECORD *record, DWORD length, const wchar_t *time_text);
// Prints message_id of the message file in slot (loaded first, from the Security source named
// by source, or from LSA's parameter file when source is null) with count insertion strings
// stored back to back from strings, each of them terminated.
void format_event_message(DWORD message_id, DWORD count, const wchar_t *strings, const wchar_t *source, HMODULE &slot);
// Frees the cached message modules, each if loaded; run once at shutdown.
void release_message_modules();
