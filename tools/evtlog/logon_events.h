// Security logon events and the Remote Desktop connection event as Windows writes them:
// event type, category, SID and every insertion string at its position.
#pragma once
#include <windows.h>

// What the command line says about the logon.
struct LogonOptions {
    const wchar_t *user;
    const wchar_t *domain;
    const wchar_t *address;
    const wchar_t *port;
    const wchar_t *workstation;
    const wchar_t *logon_type;
    const wchar_t *authentication;
    DWORD strings_4624;          // 20 (Windows 6.0/6.1) or 27 (Windows 10)
};

// Most insertion strings of any event built here.
inline constexpr int max_logon_strings = 27;

// One event, ready for sim_build_record.
struct LogonEvent {
    DWORD event_id;
    WORD event_type;
    WORD category;
    bool system_sid;             // the legacy events carry the SID of LocalSystem
    const wchar_t *source;
    WORD num_strings;
    const wchar_t *strings[max_logon_strings];
    wchar_t subject_user[32];    // "<COMPUTER>$", used by some strings
};

// This computer's name, looked up once (records carry it).
const wchar_t *local_computer_name();
// True for the event IDs below (4624, 4625, 528, 529, 539, 4776, 140).
bool is_known_event(DWORD event_id);
// The log an event belongs in (SimLog).
int event_log(DWORD event_id);
// Fills event for event_id from the options; false for an unknown ID.
bool build_logon_event(DWORD event_id, const LogonOptions &options, LogonEvent *event);
