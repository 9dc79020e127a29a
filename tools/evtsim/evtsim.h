// Simulated Windows event log, for Wine (whose event log is a set of stubs).
//
// Linking the object library tosmire_evtsim replaces, in that program only, the classic
// event-log calls (OpenEventLogW, CloseEventLog, GetOldestEventLogRecord,
// GetNumberOfEventLogRecords, ReadEventLogW, NotifyChangeEventLog, ClearEventLogW,
// BackupEventLogW, OpenBackupEventLogW, RegisterEventSourceW, ReportEventW,
// DeregisterEventSource) and the subscription calls
// (EvtSubscribe, EvtCreateRenderContext, EvtRender, EvtClose) with our own implementation;
// the caller's code is unchanged. The release program never links it.
//
// Storage: one file per log in the folder TOSMIRE_SIM_DIR, in the legacy .evt layout:
// ELF_LOGFILE_HEADER, then EVENTLOGRECORDs exactly as ReadEventLogW returns them, then the
// ELF_EOF_RECORD. The files never wrap; they grow by appends. An append writes the records
// and the new EOF record behind the old end and only then the header, under a named mutex
// per log, so appends of several processes never interleave and a torn append leaves every
// earlier record intact (its bytes lie past the end the header names). A clear moves the old
// file away and marks it, so handles opened before the clear fail with 1503. As on Windows, a
// cleared Security log starts with event 1102 ("The audit log was cleared", source
// Microsoft-Windows-Eventlog, category 104, audit success, the clearing account's SID text,
// user name, domain and logon ID), written before the clear wakes anyone; other logs start empty.
// A backup (BackupEventLogW, or ClearEventLogW with a file) is a copy of the log file as it is
// under the mutex, into a file that must not exist yet. OpenBackupEventLogW opens such a saved
// .evt file read-only, for reads as on a live log; what is not a clean .evt log (a text file, a
// saved .evtx, which is not simulated) fails with 1500, and reads of a file damaged or cut short
// return the whole records before the damage, then 1500.
// Appends and clears wake every NotifyChangeEventLog event and every subscription on that
// log, in any process of the same Wine prefix (or Windows session set): the appender duplicates
// the listener's event from the listener's process and sets it, so no thread waits for a listener.
//
// Subscriptions (EvtSubscribe) deliver through a callback only, one event at a time, on the
// Remote Desktop channel, ForwardedEvents and the classic logs. Their queries select every event
// ("*", empty or null) or event IDs: "Event/System/EventID=N", "*[System/EventID=N]" and
// "*[System[EventID=N]]", or "*[System[(EventID=N or EventID=M ...)]]" with any number of IDs
// joined by "or", parentheses optional; blanks may stand between the parts. EvtRender renders
// values (EvtRenderContextValues) of Event/System/TimeCreated/@SystemTime (FileTime),
// EventID (UInt16), EventRecordID (UInt64), Provider/@Name and Computer (String),
// Event/EventData/Data (the first string), Event/EventData/Data[n] (the n-th, from 1) and
// Event/EventData/Data[@Name='X'] (or "X", blanks allowed): the field X of the schema of events
// 4624, 4625, 4776 and 140, typed as Windows types it (names, addresses, ports and packages
// String; LogonType and KeyLength UInt32; Status and SubStatus HexInt32; logon and process IDs
// HexInt64; SIDs Sid; LogonGuid Guid). A field the event's schema lacks, or a string the record
// lacks, is EvtVarTypeNull; a text that is not of the field's type is rendered as a String, as
// the value of a malformed event.
//
// Environment variables (read at each call, so a test may change them between calls):
//   TOSMIRE_SIM_DIR                      folder of the log files, a Windows path; created when
//                                        missing. Default: %ProgramData%\tosmire-evtsim
//                                        (C:\ProgramData\tosmire-evtsim under Wine).
//   TOSMIRE_SIM_OPEN_ERROR_<log>=<code>  OpenEventLogW of <log> fails with Win32 error <code>;
//                                        <log> is Security, Application, RDP or Forwarded (for
//                                        RDP and Forwarded: EvtSubscribe on the channel fails
//                                        with <code> too).
//   TOSMIRE_SIM_NO_RDP_CHANNEL=1         EvtSubscribe on the Remote Desktop channel fails with
//                                        ERROR_EVT_CHANNEL_NOT_FOUND (15007).
//   TOSMIRE_SIM_NO_FORWARDED_CHANNEL=1   EvtSubscribe on ForwardedEvents fails with
//                                        ERROR_EVT_CHANNEL_NOT_FOUND (15007), as on a machine
//                                        that collects no forwarded events.
//   TOSMIRE_SIM_READ_ERROR_<log>=<code>  sequential ReadEventLogW on <log> fails with <code>
//                                        (seek reads still work), e.g. 1717.
//   TOSMIRE_SIM_REGISTER_SOURCE_ERROR=<code>  RegisterEventSourceW fails with <code>.
//   TOSMIRE_SIM_CLOCK=<seconds>          the log service's clock for records appended by
//                                        sim_append_records and evtlog: their TimeWritten
//                                        (seconds since 1970), so that replayed records read
//                                        the same in every run. Reports keep the real time.
// Codes are decimal or 0x-prefixed hexadecimal; 0 or an empty value switches a hook off.
// A variable missing from the environment is read from the REG_SZ value of its name under
// HKLM\SOFTWARE\tosmire-evtsim (a service started by the service manager gets no test's environment).
#pragma once
#include <windows.h>
#include "tools/simvars/sim_variable.h"

// The logs of the simulation.
enum SimLog : int { sim_security = 0, sim_application = 1, sim_rdp = 2, sim_forwarded = 3, sim_log_count = 4 };

// The Remote Desktop core service's operational channel.
inline constexpr wchar_t sim_rdp_channel[] = L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational";
// The channel into which Windows Event Forwarding collects other computers' events. Its records
// are the source computers' Security records: their computer name is the source's, and the
// insertion strings are the event's data in the order of its schema (a forged or damaged
// event may carry fewer). Their data render by name as strings, as from a collector that
// stores the events from their XML; with sim_forwarded_typed in the record's ReservedFlags,
// with the types of the source's own log. The System values are typed either way.
inline constexpr wchar_t sim_forwarded_channel[] = L"ForwardedEvents";
inline constexpr WORD sim_forwarded_typed = 1;
// Names of the environment variables above (the <log> suffix is sim_log_short_name).
inline constexpr wchar_t sim_dir_variable[] = L"TOSMIRE_SIM_DIR";
inline constexpr wchar_t sim_open_error_variable[] = L"TOSMIRE_SIM_OPEN_ERROR_";
inline constexpr wchar_t sim_read_error_variable[] = L"TOSMIRE_SIM_READ_ERROR_";
inline constexpr wchar_t sim_no_rdp_channel_variable[] = L"TOSMIRE_SIM_NO_RDP_CHANNEL";
inline constexpr wchar_t sim_no_forwarded_channel_variable[] = L"TOSMIRE_SIM_NO_FORWARDED_CHANNEL";
inline constexpr wchar_t sim_register_source_error_variable[] = L"TOSMIRE_SIM_REGISTER_SOURCE_ERROR";
inline constexpr wchar_t sim_clock_variable[] = L"TOSMIRE_SIM_CLOCK";

// Largest record the simulation stores: every record fits the engine's 65,536-byte read.
inline constexpr DWORD sim_max_record_size = 65536;
// Capacity, in characters, of the paths below.
inline constexpr DWORD sim_path_capacity = 520;

// The legacy .evt layout (documented names).
inline constexpr DWORD elf_signature = 0x654c664c;   // "LfLe"
inline constexpr DWORD elf_header_dirty = 0x0001;    // ELF_LOGFILE_HEADER_DIRTY
inline constexpr DWORD elf_header_wrap = 0x0002;     // ELF_LOGFILE_HEADER_WRAP
struct ElfLogfileHeader {
    DWORD HeaderSize;            // 0x30
    DWORD Signature;             // elf_signature
    DWORD MajorVersion;          // 1
    DWORD MinorVersion;          // 1
    DWORD StartOffset;           // offset of the oldest record
    DWORD EndOffset;             // offset of the ELF_EOF_RECORD
    DWORD CurrentRecordNumber;   // number the next record gets
    DWORD OldestRecordNumber;    // 0 when the log is empty
    DWORD MaxSize;
    DWORD Flags;
    DWORD Retention;
    DWORD EndHeaderSize;         // 0x30
};
struct ElfEofRecord {
    DWORD RecordSizeBeginning;   // 0x28
    DWORD One;                   // 0x11111111
    DWORD Two;                   // 0x22222222
    DWORD Three;                 // 0x33333333
    DWORD Four;                  // 0x44444444
    DWORD BeginRecord;           // offset of the oldest record
    DWORD EndRecord;             // offset of this record
    DWORD CurrentRecordNumber;
    DWORD OldestRecordNumber;
    DWORD RecordSizeEnd;         // 0x28
};

// The fields of one record to build; the layout is the layer's.
struct SimRecord {
    const wchar_t *source;             // source name (required)
    const wchar_t *computer;           // null: this computer's name
    DWORD event_id;
    WORD event_type;
    WORD category;
    DWORD time_generated;              // seconds since 1970 UTC; 0: now
    const SID *user_sid;               // null: no SID
    WORD num_strings;
    const wchar_t *const *strings;     // num_strings strings, none null
    const void *data;                  // raw data, data_size bytes
    DWORD data_size;
};

// The log a name stands for ("Security", "Application", a channel's name, "RDP" or "Forwarded",
// in any letter case); -1 for any other name.
int sim_log_by_name(const wchar_t *name);
// Name of a log as OpenEventLogW and EvtSubscribe take it.
const wchar_t *sim_log_name(int log);
// Short name of a log, used in the hook variables: Security, Application, RDP, Forwarded.
const wchar_t *sim_log_short_name(int log);
// Full path of the simulation folder (TOSMIRE_SIM_DIR or the default); 0 or a Win32 error.
DWORD sim_dir(wchar_t *dir, DWORD capacity);
// Full path of a log's file; 0 or a Win32 error.
DWORD sim_log_path(int log, wchar_t *path, DWORD capacity);
// Builds one EVENTLOGRECORD into buffer; *length receives its size (also the size needed
// when the result is ERROR_INSUFFICIENT_BUFFER). 0 or a Win32 error.
DWORD sim_build_record(const SimRecord &fields, void *buffer, DWORD capacity, DWORD *length);
// Checks one record from outside (framing, signature, every offset and string inside it,
// the SID's layout); its length, or 0 when it is malformed.
DWORD sim_check_record(const void *record, DWORD available);
// Appends back-to-back records as one batch: record numbers and TimeWritten are assigned,
// everything else is kept. Every record is checked first; 0 or a Win32 error.
DWORD sim_append_records(int log, const void *records, DWORD size);
// A Win32 error code taken from an environment variable (decimal or 0x hex); 0 if unset.
DWORD sim_hook_code(const wchar_t *variable, const wchar_t *suffix);

// For tests: points TOSMIRE_SIM_DIR at a new, empty folder under %TEMP% named after tag and
// the process id, so that test programs running in parallel do not share logs. 0 or error.
DWORD sim_use_private_dir(const wchar_t *tag);
// For tests: deletes the log files and the folder TOSMIRE_SIM_DIR names.
void sim_remove_private_dir();
