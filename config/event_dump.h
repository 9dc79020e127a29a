// Event record dump: an accepted logon record printed with its header, account and the
// message texts of its source.
#pragma once
#include <windows.h>

// Prints record (length bytes, as the walk of the batch checked them; nothing beyond is read)
// with its time text.
void dump_event_record(const EVENTLOGRECORD *record, DWORD length, const wchar_t *time_text);
// Frees the cached message modules, each if loaded; run once at shutdown.
void release_message_modules();
