// The classic event-log calls of the simulation. Their import-table entries (__imp_<name>)
// are defined at the end of this file and point here; being object code linked ahead of
// the import libraries, they take the place of advapi32's entries in the program.
#include "tools/evtsim/handles.h"
#include "tools/evtsim/log_file.h"
#include <cwchar>

namespace {

// A handle from OpenEventLogW, or from OpenBackupEventLogW on a saved log.
struct LogHandle : SimObject {
    LogFile file;
    SRWLOCK lock;           // one read, clear, backup or registration at a time
    DWORD cursor;           // boundary between records where the next sequential read goes on
    bool positioned;        // false until the first read
    bool saved;             // a saved log: read-only, its file shared with no writer
    ElfLogfileHeader saved_header;   // the saved log's header, read once at the opening
    DWORD saved_size;       // the saved file's size: a file cut short is read up to there
    HANDLE notify_event;    // our duplicate of the NotifyChangeEventLog event, which appends set
    ULONG64 listener;
};

// A handle from RegisterEventSourceW.
struct SourceHandle : SimObject {
    LogFile file;
    wchar_t source[256];
};

constexpr DWORD max_read_size = 0x7FFFF;   // the largest buffer ReadEventLogW accepts

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The server argument names this computer: null, empty, "NAME" or "\\NAME".
bool is_local(const wchar_t *server)
{
    if (server == nullptr || *server == 0)
        return true;
    while (*server == L'\\')
        ++server;
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &n) && _wcsicmp(name, server) == 0;
}

void stop_notification(LogHandle *h)
{
    // Withdrawn before closed: an appender never sets a handle value that was reused.
    listener_remove(h->listener, h->notify_event);
    h->listener = 0;
    h->notify_event = nullptr;
}

void destroy_log_handle(SimObject *object)
{
    LogHandle *h = static_cast<LogHandle *>(object);
    stop_notification(h);
    log_close(&h->file);
    object_free(h);
}

void destroy_source(SimObject *object)
{
    SourceHandle *h = static_cast<SourceHandle *>(object);
    log_close(&h->file);
    object_free(h);
}

// A new log handle whose file open(h) opens; null with the last error set when it fails.
template <typename Open> HANDLE new_log_handle(Open open)
{
    LogHandle *h = static_cast<LogHandle *>(object_alloc(sizeof(LogHandle), SimKind::log, destroy_log_handle));
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    InitializeSRWLock(&h->lock);
    DWORD error = open(h);
    HANDLE handle = error == 0 ? handle_insert(h) : nullptr;
    if (handle == nullptr) {
        handle_release(h);
        SetLastError(error != 0 ? error : ERROR_TOO_MANY_OPEN_FILES);
    }
    return handle;
}

HANDLE WINAPI sim_OpenEventLogW(LPCWSTR server, LPCWSTR source_name)
{
    if (source_name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!is_local(server)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    // As on Windows, a log that does not exist opens the Application log.
    int log = sim_log_by_name(source_name);
    if (log < 0)
        log = sim_application;
    DWORD error = sim_hook_code(sim_open_error_variable, sim_log_short_name(log));
    if (error != 0) {
        SetLastError(error);
        return nullptr;
    }
    return new_log_handle([&](LogHandle *h) { return log_open(log, &h->file); });
}

// The file is named as the caller sees it (advapi32 makes the path absolute in the caller's
// process before the log service opens it).
HANDLE WINAPI sim_OpenBackupEventLogW(LPCWSTR server, LPCWSTR file_name)
{
    if (file_name == nullptr || *file_name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!is_local(server)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    return new_log_handle([&](LogHandle *h) {
        h->saved = true;
        return log_open_saved(file_name, &h->file, &h->saved_header, &h->saved_size);
    });
}

BOOL WINAPI sim_CloseEventLog(HANDLE handle)
{
    SimObject *h = handle_remove(handle, SimKind::log);
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    handle_release(h);
    return TRUE;
}

// The header a call goes by: a live log's as it is now, a saved log's as it was opened.
DWORD current_header(LogHandle *h, ElfLogfileHeader *header)
{
    if (h->saved) {
        *header = h->saved_header;
        return 0;
    }
    return log_header(&h->file, header);
}

// Runs a query of the header on a log handle.
template <typename Use> BOOL with_header(HANDLE handle, Use use)
{
    LogHandle *h = static_cast<LogHandle *>(handle_acquire(handle, SimKind::log));
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    ElfLogfileHeader header;
    DWORD error = current_header(h, &header);
    if (error == 0)
        use(header);
    handle_release(h);
    return error == 0 ? TRUE : fail(error);
}

BOOL WINAPI sim_GetOldestEventLogRecord(HANDLE handle, PDWORD oldest)
{
    if (oldest == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return with_header(handle, [&](const ElfLogfileHeader &header) { *oldest = header.OldestRecordNumber; });
}

BOOL WINAPI sim_GetNumberOfEventLogRecords(HANDLE handle, PDWORD count)
{
    if (count == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    return with_header(handle, [&](const ElfLogfileHeader &header) {
        *count = header.OldestRecordNumber == 0 ? 0 : header.CurrentRecordNumber - header.OldestRecordNumber;
    });
}

// One read on a locked handle; see ReadEventLogW.
DWORD read_records(LogHandle *h, DWORD flags, DWORD number, BYTE *buffer, DWORD size, DWORD *read, DWORD *needed)
{
    bool forwards = (flags & EVENTLOG_FORWARDS_READ) != 0;
    if ((flags & EVENTLOG_SEQUENTIAL_READ) && !h->saved) {
        DWORD error = sim_hook_code(sim_read_error_variable, sim_log_short_name(h->file.log));
        if (error != 0)
            return error;
    }
    ElfLogfileHeader header;
    DWORD error = current_header(h, &header);
    if (error != 0)
        return error;
    // A saved file cut short is read up to the cut, where its damage is reported: a cut that
    // falls between two records must not pass for the end of the log.
    DWORD end = header.EndOffset;
    bool cut = h->saved && h->saved_size < end;
    if (cut)
        end = h->saved_size;
    DWORD cursor = h->cursor;
    if (flags & EVENTLOG_SEEK_READ) {
        error = log_find_record(&h->file, header, number, &cursor);
        if (error == 0 && !forwards) {
            // Backwards reads take the record that ends at the cursor.
            DWORD length = 0;
            error = log_read(&h->file, cursor, &length, sizeof(length));
            cursor += length;
        }
        if (error != 0)
            return error;
    } else if (!h->positioned) {
        cursor = forwards ? header.StartOffset : header.EndOffset;
    }
    error = forwards ? log_read_forward(&h->file, &cursor, end, buffer, size, read, needed)
                     : log_read_backward(&h->file, &cursor, header.StartOffset, buffer, size, read, needed);
    if (cut && forwards && error == ERROR_HANDLE_EOF)
        return ERROR_EVENTLOG_FILE_CORRUPT;
    if (error == 0 || error == ERROR_HANDLE_EOF) {
        h->cursor = cursor;
        h->positioned = true;
    }
    return error;
}

BOOL WINAPI sim_ReadEventLogW(HANDLE handle, DWORD flags, DWORD number, LPVOID buffer, DWORD size, DWORD *read,
                              DWORD *needed)
{
    if (read == nullptr || needed == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    *read = 0;
    *needed = 0;
    bool sequential = (flags & EVENTLOG_SEQUENTIAL_READ) != 0;
    bool seek = (flags & EVENTLOG_SEEK_READ) != 0;
    bool forwards = (flags & EVENTLOG_FORWARDS_READ) != 0;
    bool backwards = (flags & EVENTLOG_BACKWARDS_READ) != 0;
    if (sequential == seek || forwards == backwards || size > max_read_size || (buffer == nullptr && size != 0))
        return fail(ERROR_INVALID_PARAMETER);
    LogHandle *h = static_cast<LogHandle *>(handle_acquire(handle, SimKind::log));
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    AcquireSRWLockExclusive(&h->lock);
    DWORD error = read_records(h, flags, number, static_cast<BYTE *>(buffer), size, read, needed);
    ReleaseSRWLockExclusive(&h->lock);
    handle_release(h);
    return error == 0 ? TRUE : fail(error);
}

BOOL WINAPI sim_NotifyChangeEventLog(HANDLE handle, HANDLE event)
{
    LogHandle *h = static_cast<LogHandle *>(handle_acquire(handle, SimKind::log));
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    // Windows' log service serves a saved log for reading only: it refuses a notification
    // or a clear on it as a handle of the wrong kind, with ERROR_INVALID_HANDLE.
    if (h->saved) {
        handle_release(h);
        return fail(ERROR_INVALID_HANDLE);
    }
    AcquireSRWLockExclusive(&h->lock);
    // A second registration on the same handle replaces the first.
    stop_notification(h);
    DWORD error = 0;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &h->notify_event, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        h->notify_event = nullptr;
        error = GetLastError();
    }
    // Appends set the event themselves, as the event-log service does: nothing waits on the
    // caller's behalf.
    if (error == 0)
        error = listener_watch(h->file.key, h->notify_event, &h->listener);
    if (error != 0)
        stop_notification(h);
    ReleaseSRWLockExclusive(&h->lock);
    handle_release(h);
    return error == 0 ? TRUE : fail(error);
}

BOOL WINAPI sim_ClearEventLogW(HANDLE handle, LPCWSTR backup)
{
    LogHandle *h = static_cast<LogHandle *>(handle_acquire(handle, SimKind::log));
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (h->saved) {   // see NotifyChangeEventLog
        handle_release(h);
        return fail(ERROR_INVALID_HANDLE);
    }
    AcquireSRWLockExclusive(&h->lock);
    DWORD error = log_clear(&h->file, backup);
    if (error == 0)
        h->positioned = false;
    ReleaseSRWLockExclusive(&h->lock);
    handle_release(h);
    return error == 0 ? TRUE : fail(error);
}

BOOL WINAPI sim_BackupEventLogW(HANDLE handle, LPCWSTR backup)
{
    if (backup == nullptr || *backup == 0)
        return fail(ERROR_INVALID_PARAMETER);
    LogHandle *h = static_cast<LogHandle *>(handle_acquire(handle, SimKind::log));
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    AcquireSRWLockExclusive(&h->lock);   // the copy goes through the handle's staging buffer
    DWORD error = log_backup(&h->file, backup);
    ReleaseSRWLockExclusive(&h->lock);
    handle_release(h);
    return error == 0 ? TRUE : fail(error);
}

HANDLE WINAPI sim_RegisterEventSourceW(LPCWSTR server, LPCWSTR source_name)
{
    DWORD error = 0;
    if (source_name == nullptr || *source_name == 0 || wcslen(source_name) >= 256)
        error = ERROR_INVALID_PARAMETER;
    else if (!is_local(server))
        error = RPC_S_SERVER_UNAVAILABLE;
    else
        error = sim_hook_code(sim_register_source_error_variable, nullptr);
    SourceHandle *h = nullptr;
    if (error == 0) {
        h = static_cast<SourceHandle *>(object_alloc(sizeof(SourceHandle), SimKind::source, destroy_source));
        if (h == nullptr)
            error = ERROR_NOT_ENOUGH_MEMORY;
    }
    // Every source writes to the Application log, where ours is registered.
    if (error == 0) {
        wcscpy_s(h->source, source_name);
        error = log_open(sim_application, &h->file);
    }
    HANDLE handle = error == 0 ? handle_insert(h) : nullptr;
    if (error == 0 && handle == nullptr)
        error = ERROR_TOO_MANY_OPEN_FILES;
    if (error != 0) {
        handle_release(h);
        SetLastError(error);
    }
    return handle;
}

BOOL WINAPI sim_DeregisterEventSource(HANDLE handle)
{
    SimObject *h = handle_remove(handle, SimKind::source);
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    handle_release(h);
    return TRUE;
}

BOOL WINAPI sim_ReportEventW(HANDLE handle, WORD type, WORD category, DWORD event_id, PSID user_sid,
                             WORD num_strings, DWORD data_size, LPCWSTR *strings, LPVOID data)
{
    switch (type) {
    case EVENTLOG_SUCCESS: case EVENTLOG_ERROR_TYPE: case EVENTLOG_WARNING_TYPE: case EVENTLOG_INFORMATION_TYPE:
    case EVENTLOG_AUDIT_SUCCESS: case EVENTLOG_AUDIT_FAILURE:
        break;
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
    SourceHandle *h = static_cast<SourceHandle *>(handle_acquire(handle, SimKind::source));
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    SimRecord fields = {};
    fields.source = h->source;
    fields.event_id = event_id;
    fields.event_type = type;
    fields.category = category;
    fields.user_sid = static_cast<const SID *>(user_sid);
    fields.num_strings = num_strings;
    fields.strings = strings;
    fields.data = data;
    fields.data_size = data_size;
    DWORD length = 0;
    DWORD error = sim_build_record(fields, nullptr, 0, &length);
    void *record = nullptr;
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        record = HeapAlloc(GetProcessHeap(), 0, length);
        error = record == nullptr ? ERROR_NOT_ENOUGH_MEMORY : sim_build_record(fields, record, length, &length);
    }
    if (error == 0)
        error = log_append(&h->file, record, length);
    if (record != nullptr)
        HeapFree(GetProcessHeap(), 0, record);
    handle_release(h);
    return error == 0 ? TRUE : fail(error);
}

} // namespace

extern "C" {
decltype(&OpenEventLogW) __imp_OpenEventLogW = sim_OpenEventLogW;
decltype(&CloseEventLog) __imp_CloseEventLog = sim_CloseEventLog;
decltype(&GetOldestEventLogRecord) __imp_GetOldestEventLogRecord = sim_GetOldestEventLogRecord;
decltype(&GetNumberOfEventLogRecords) __imp_GetNumberOfEventLogRecords = sim_GetNumberOfEventLogRecords;
decltype(&ReadEventLogW) __imp_ReadEventLogW = sim_ReadEventLogW;
decltype(&NotifyChangeEventLog) __imp_NotifyChangeEventLog = sim_NotifyChangeEventLog;
decltype(&ClearEventLogW) __imp_ClearEventLogW = sim_ClearEventLogW;
decltype(&BackupEventLogW) __imp_BackupEventLogW = sim_BackupEventLogW;
decltype(&OpenBackupEventLogW) __imp_OpenBackupEventLogW = sim_OpenBackupEventLogW;
decltype(&RegisterEventSourceW) __imp_RegisterEventSourceW = sim_RegisterEventSourceW;
decltype(&DeregisterEventSource) __imp_DeregisterEventSource = sim_DeregisterEventSource;
decltype(&ReportEventW) __imp_ReportEventW = sim_ReportEventW;
}
