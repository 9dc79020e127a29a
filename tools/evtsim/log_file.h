// Storage of the simulated logs: one .evt file per log, its named mutex, appends, clears,
// reads by offset, and the table of listeners that appends wake in every process.
#pragma once
#include "tools/evtsim/evtsim.h"

// One open log file. Used under its mutex for everything that touches the header.
struct LogFile {
    int log;                              // SimLog
    HANDLE file;                          // the file as opened; after a clear, the old file
    HANDLE mutex;                         // named after key: serialises appends and clears
    DWORD key;                            // hash of the path: names the mutex and listeners
    BYTE *staging;                        // one batch of an append: records and EOF record
    wchar_t path[sim_path_capacity];
};

// Size of the EOF record and the header.
inline constexpr DWORD elf_header_size = sizeof(ElfLogfileHeader);
inline constexpr DWORD elf_eof_size = sizeof(ElfEofRecord);
// Set in the Flags of a file that a clear has replaced (the file is gone by then).
inline constexpr DWORD log_cleared_flag = 0x80000000;

// Opens (creating when missing) the file of a log; 0 or a Win32 error.
DWORD log_open(int log, LogFile *lf);
// Closes what log_open opened; safe on a zeroed or closed LogFile.
void log_close(LogFile *lf);
// Reads and checks the header: ERROR_EVENTLOG_FILE_CHANGED when the log was cleared since
// lf was opened, ERROR_EVENTLOG_FILE_CORRUPT when it is not a clean, unwrapped log.
DWORD log_header(LogFile *lf, ElfLogfileHeader *header);
// Opens the current file of the log again (after a clear); 0 or a Win32 error.
DWORD log_reopen(LogFile *lf);
// Opens a saved log read-only, into lf without a mutex: nobody may write the file while it is
// open, so its header, read into *header, holds for good; *file_size receives the file's size
// (at most 0xFFFFFFFF). 0, ERROR_EVENTLOG_FILE_CORRUPT for what is not a clean .evt log, or the
// error the file system gives.
DWORD log_open_saved(const wchar_t *path, LogFile *lf, ElfLogfileHeader *header, DWORD *file_size);
// Copies the log as a clean .evt file to backup, which must not exist yet (ERROR_ALREADY_EXISTS,
// the file untouched): a live log under its mutex, from its current file; a saved one as it is.
// 0 or a Win32 error; on an error no backup file is left.
DWORD log_backup(LogFile *lf, const wchar_t *backup);
// Appends checked records (back to back) and wakes the listeners; 0 or a Win32 error. Their
// TimeWritten is written (seconds since 1970), or the time of the append when it is 0.
DWORD log_append(LogFile *lf, const void *records, DWORD size, DWORD written = 0);
// Copies the log to backup (when not null), replaces it with an empty log and marks the
// old file cleared; lf then refers to the new file. 0 or a Win32 error.
DWORD log_clear(LogFile *lf, const wchar_t *backup);
// Reads size bytes at offset of lf's file; 0 or a Win32 error (a short read is an error).
DWORD log_read(LogFile *lf, DWORD offset, void *buffer, DWORD size);
// Reads the whole records that fit in capacity from offset *cursor forward, up to end;
// advances *cursor. With none read: ERROR_HANDLE_EOF at end, ERROR_INSUFFICIENT_BUFFER with
// *needed, or ERROR_EVENTLOG_FILE_CORRUPT. 0 or a Win32 error.
DWORD log_read_forward(LogFile *lf, DWORD *cursor, DWORD end, BYTE *buffer, DWORD capacity,
                       DWORD *bytes_read, DWORD *needed);
// Reads whole records backwards from the record that ends at *cursor, newest first, down
// to start; moves *cursor to the start of the last one read. Results as log_read_forward.
DWORD log_read_backward(LogFile *lf, DWORD *cursor, DWORD start, BYTE *buffer, DWORD capacity,
                        DWORD *bytes_read, DWORD *needed);
// Offset of the record with the given number; ERROR_INVALID_PARAMETER if not in the log.
DWORD log_find_record(LogFile *lf, const ElfLogfileHeader &header, DWORD number, DWORD *offset);

// Waits for the log's mutex (an abandoned mutex is taken over: the header is always whole).
void log_lock(LogFile *lf);
// Releases the log's mutex.
void log_unlock(LogFile *lf);

// Registers event (a handle of this process, kept open until listener_remove) to be set by
// every append to the log keyed key, from any process; *listener identifies the registration.
// 0 or a Win32 error.
DWORD listener_watch(DWORD key, HANDLE event, ULONG64 *listener);
// Creates an auto-reset event and registers it as listener_watch does. 0 or a Win32 error.
DWORD listener_add(DWORD key, HANDLE *wake, ULONG64 *listener);
// Withdraws a registration, then closes wake unless it is null.
void listener_remove(ULONG64 listener, HANDLE wake);
