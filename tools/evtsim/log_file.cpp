// Storage of the simulated logs. A log file is only ever extended behind the end its header
// names, and the header is written last, so a reader that takes the header under the mutex
// sees whole records only, and a torn append is simply overwritten by the next one.
#include "tools/evtsim/log_file.h"
#include <sddl.h>
#include <winternl.h>
#include <cwchar>

// ntdll's file calls; the toolchain's winternl.h leaves them out.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK status, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                     PULONG key);
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                      PIO_STATUS_BLOCK status, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                      PULONG key);

namespace {

const wchar_t *const log_names[sim_log_count] = {L"Security", L"Application", sim_rdp_channel, sim_forwarded_channel};
const wchar_t *const short_names[sim_log_count] = {L"Security", L"Application", L"RDP", L"Forwarded"};
const wchar_t *const file_names[sim_log_count] = {L"Security.evt", L"Application.evt",
                                                  L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS%4Operational.evt",
                                                  L"ForwardedEvents.evt"};

// The listener table, shared by every process of the simulation. A listener is an event in
// its owner's process, named by the owner's process id and the handle value; an append opens
// the owner, duplicates the event, sets it and closes it. No thread waits on the listener's
// behalf, so a waiting monitor is woken only by a new record. tag is (log key << 32 | id),
// published after the other fields; 0 is a free slot, and a zero id a slot being filled.
struct ListenerSlot {
    volatile LONG64 tag;
    volatile DWORD process_id;
    DWORD reserved;
    volatile ULONG64 event;      // handle value in the owner's process
    volatile ULONG64 created;    // the owner's creation time: a reused process id is not it
};
constexpr int listener_slots = 255;
struct ListenerTable {
    volatile LONG next_id;
    LONG reserved;
    ListenerSlot slots[listener_slots];
};

INIT_ONCE g_table_once = INIT_ONCE_STATIC_INIT;
ListenerTable *g_table = nullptr;   // mapped once, for the life of the process

// FNV-1a over the path with ASCII letters folded, since Windows paths ignore case.
DWORD path_key(const wchar_t *path)
{
    DWORD hash = 2166136261u;
    for (; *path != 0; ++path) {
        wchar_t c = *path;
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        hash = (hash ^ c) * 16777619u;
    }
    return hash;
}

DWORD create_folder(const wchar_t *dir)
{
    wchar_t part[sim_path_capacity];
    size_t n = wcslen(dir);
    // Every ancestor first; failures on the root or a share are expected and harmless.
    for (size_t i = 1; i < n; ++i) {
        if (dir[i] != L'\\' || dir[i - 1] == L':' || dir[i - 1] == L'\\')
            continue;
        wmemcpy(part, dir, i);
        part[i] = 0;
        CreateDirectoryW(part, nullptr);
    }
    if (CreateDirectoryW(dir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        DWORD attributes = GetFileAttributesW(dir);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return 0;
        return ERROR_DIRECTORY;
    }
    return GetLastError();
}

ElfEofRecord eof_record(const ElfLogfileHeader &header)
{
    return {elf_eof_size, 0x11111111, 0x22222222, 0x33333333, 0x44444444, header.StartOffset,
            header.EndOffset, header.CurrentRecordNumber, header.OldestRecordNumber, elf_eof_size};
}

ElfLogfileHeader empty_header()
{
    return {elf_header_size, elf_signature, 1, 1, elf_header_size, elf_header_size, 1, 0,
            elf_header_size + elf_eof_size, 0, 0, elf_header_size};
}

// Positioned reads and writes through the native calls, with no completion context: the
// documented ReadFile and WriteFile hand their OVERLAPPED on as one, and Wine then asks its
// server, on every call, whether the file is bound to a completion port. The log files never
// are; the offset makes each call independent of the handle's position, as before.
NTSTATUS transfer_at(HANDLE file, bool write, DWORD offset, void *data, DWORD size, DWORD *done)
{
    IO_STATUS_BLOCK status = {};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS result = write ? NtWriteFile(file, nullptr, nullptr, nullptr, &status, data, size, &at, nullptr)
                            : NtReadFile(file, nullptr, nullptr, nullptr, &status, data, size, &at, nullptr);
    *done = result >= 0 ? static_cast<DWORD>(status.Information) : 0;
    return result;
}

DWORD read_at(HANDLE file, DWORD offset, void *data, DWORD size)
{
    DWORD done = 0;
    NTSTATUS status = transfer_at(file, false, offset, data, size, &done);
    if (status == static_cast<NTSTATUS>(0xC0000011L)) // STATUS_END_OF_FILE: nothing at offset
        return ERROR_EVENTLOG_FILE_CORRUPT;
    if (status < 0)
        return RtlNtStatusToDosError(status);
    return done == size ? 0 : ERROR_EVENTLOG_FILE_CORRUPT;
}

DWORD write_at(HANDLE file, DWORD offset, const void *data, DWORD size)
{
    DWORD done = 0;
    NTSTATUS status = transfer_at(file, true, offset, const_cast<void *>(data), size, &done);
    if (status < 0)
        return RtlNtStatusToDosError(status);
    return done == size ? 0 : ERROR_WRITE_FAULT;
}

// The header and the EOF record of an empty log, in one write.
DWORD write_empty_log(HANDLE file)
{
    BYTE block[elf_header_size + elf_eof_size];
    ElfLogfileHeader header = empty_header();
    ElfEofRecord eof = eof_record(header);
    memcpy(block, &header, elf_header_size);
    memcpy(block + elf_header_size, &eof, elf_eof_size);
    return write_at(file, 0, block, sizeof(block));
}

// Only clean, unwrapped logs of our own layout are used in place or opened as saved logs;
// exported files that wrap or were not closed cleanly are read by `evtlog replay` instead.
bool header_valid(const ElfLogfileHeader &h)
{
    return h.HeaderSize == elf_header_size && h.EndHeaderSize == elf_header_size && h.Signature == elf_signature &&
           h.StartOffset == elf_header_size && h.EndOffset >= h.StartOffset &&
           h.EndOffset <= 0xFFFFFFFFu - elf_eof_size && (h.Flags & (elf_header_dirty | elf_header_wrap)) == 0 &&
           h.CurrentRecordNumber >= h.OldestRecordNumber && (h.OldestRecordNumber == 0) == (h.EndOffset == h.StartOffset);
}

DWORD read_header(HANDLE file, ElfLogfileHeader *header)
{
    DWORD error = read_at(file, 0, header, elf_header_size);
    if (error != 0)
        return error;
    if (header->Flags & log_cleared_flag)
        return ERROR_EVENTLOG_FILE_CHANGED;
    return header_valid(*header) ? 0 : ERROR_EVENTLOG_FILE_CORRUPT;
}

// Opens the file at lf->path, writing an empty log into a new one. Under the mutex.
DWORD open_file(LogFile *lf)
{
    lf->file = CreateFileW(lf->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lf->file == INVALID_HANDLE_VALUE) {
        lf->file = nullptr;
        return GetLastError();
    }
    LARGE_INTEGER size = {};
    DWORD error = GetFileSizeEx(lf->file, &size) ? 0 : GetLastError();
    if (error == 0 && size.QuadPart == 0)
        error = write_empty_log(lf->file);
    ElfLogfileHeader header;
    if (error == 0)
        error = read_header(lf->file, &header);
    if (error != 0) {
        CloseHandle(lf->file);
        lf->file = nullptr;
    }
    return error;
}

// Copies the log's records as a clean .evt file; the backup must not exist yet.
DWORD write_backup(LogFile *lf, HANDLE old, const ElfLogfileHeader &header, const wchar_t *backup)
{
    HANDLE out = CreateFileW(backup, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : GetLastError();
    DWORD error = 0;
    DWORD end = header.EndOffset + elf_eof_size;
    DWORD chunk_capacity = sim_max_record_size + elf_eof_size;
    for (DWORD offset = 0; error == 0 && offset < end;) {
        DWORD chunk = end - offset < chunk_capacity ? end - offset : chunk_capacity;
        error = read_at(old, offset, lf->staging, chunk);
        if (error == 0)
            error = write_at(out, offset, lf->staging, chunk);
        offset += chunk;
    }
    CloseHandle(out);
    if (error != 0)
        DeleteFileW(backup);
    return error;
}

BOOL CALLBACK map_listener_table(PINIT_ONCE, PVOID, PVOID *)
{
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ListenerTable),
                                        L"Global\\tosmire.evtsim.listeners.2");
    if (section == nullptr)
        return FALSE;
    // Section and view stay until the process ends. The handle too: Wine forgets the name
    // of a section whose last handle is closed, even while views of it remain.
    g_table = static_cast<ListenerTable *>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ListenerTable)));
    if (g_table == nullptr)
        CloseHandle(section);
    return g_table != nullptr;
}

ListenerTable *listener_table()
{
    InitOnceExecuteOnce(&g_table_once, map_listener_table, nullptr, nullptr);
    return g_table;
}

// Creation time of a process, 0 when it cannot be read.
ULONG64 creation_time(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<ULONG64>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool live_tag(LONG64 tag) { return tag != 0 && static_cast<DWORD>(tag) != 0; }

// Sets the event of the listener published as tag. A slot whose owner has ended (or whose
// process id now names another process) is freed.
void signal_listener(ListenerSlot &slot, LONG64 tag)
{
    DWORD pid = slot.process_id;
    HANDLE event = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(slot.event));
    ULONG64 created = slot.created;
    MemoryBarrier();
    if (slot.tag != tag)
        return;
    bool own = pid == GetCurrentProcessId();
    HANDLE process = own ? GetCurrentProcess()
                         : OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        if (GetLastError() == ERROR_INVALID_PARAMETER)   // no such process
            InterlockedCompareExchange64(&slot.tag, 0, tag);
        return;
    }
    if (!own && (WaitForSingleObject(process, 0) == WAIT_OBJECT_0 || creation_time(process) != created)) {
        InterlockedCompareExchange64(&slot.tag, 0, tag);
    } else {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, event, GetCurrentProcess(), &copy, EVENT_MODIFY_STATE, FALSE, 0)) {
            // The owner withdraws the slot before it closes the event: with the tag unchanged
            // after the duplication, the copy is the listener's event and not a reused handle.
            MemoryBarrier();
            if (slot.tag == tag)
                SetEvent(copy);   // set, not pulsed: a record written between a read and the next wait is not missed
            CloseHandle(copy);
        }
    }
    if (!own)
        CloseHandle(process);
}

// Signals every listener of the log keyed key, in any process.
void wake_listeners(ListenerTable *table, DWORD key)
{
    for (ListenerSlot &slot : table->slots) {
        LONG64 tag = slot.tag;
        if (live_tag(tag) && static_cast<DWORD>(static_cast<ULONG64>(tag) >> 32) == key)
            signal_listener(slot, tag);
    }
}

void wake_listeners(DWORD key)
{
    if (ListenerTable *table = listener_table())
        wake_listeners(table, key);
}

// Frees the slots of processes that have ended without withdrawing them.
void free_abandoned_slots(ListenerTable *table)
{
    for (ListenerSlot &slot : table->slots) {
        LONG64 tag = slot.tag;
        if (!live_tag(tag) || slot.process_id == GetCurrentProcessId())
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, slot.process_id);
        bool gone = process == nullptr ? GetLastError() == ERROR_INVALID_PARAMETER
                                       : WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ||
                                             creation_time(process) != slot.created;
        if (process != nullptr)
            CloseHandle(process);
        if (gone)
            InterlockedCompareExchange64(&slot.tag, 0, tag);
    }
}

// Publishes event (a handle of this process) as a listener of the log keyed key in a free
// slot; the slot's tag, or 0 when the table is full.
LONG64 take_slot(ListenerTable *table, DWORD key, HANDLE event, ULONG64 created)
{
    DWORD id;
    do
        id = static_cast<DWORD>(InterlockedIncrement(&table->next_id));
    while (id == 0);
    const LONG64 filling = static_cast<LONG64>(0xFFFFFFFF00000000ull);   // not free, not live
    const LONG64 tag = static_cast<LONG64>((static_cast<ULONG64>(key) << 32) | id);
    for (ListenerSlot &slot : table->slots) {
        if (slot.tag != 0 || InterlockedCompareExchange64(&slot.tag, filling, 0) != 0)
            continue;
        slot.process_id = GetCurrentProcessId();
        slot.event = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(event));
        slot.created = created;
        InterlockedExchange64(&slot.tag, tag);
        return tag;
    }
    return 0;
}

DWORD unix_now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG t = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<DWORD>(t / 10000000ull - 11644473600ull);
}

DWORD record_length(const BYTE *record)
{
    DWORD length;
    memcpy(&length, record, sizeof(length));
    return length;
}

} // namespace

int sim_log_by_name(const wchar_t *name)
{
    if (name == nullptr)
        return -1;
    for (int log = 0; log < sim_log_count; ++log)
        if (_wcsicmp(name, log_names[log]) == 0 || _wcsicmp(name, short_names[log]) == 0)
            return log;
    return -1;
}

const wchar_t *sim_log_name(int log) { return log >= 0 && log < sim_log_count ? log_names[log] : L""; }

const wchar_t *sim_log_short_name(int log) { return log >= 0 && log < sim_log_count ? short_names[log] : L""; }

DWORD sim_dir(wchar_t *dir, DWORD capacity)
{
    wchar_t given[sim_path_capacity];
    DWORD n = sim_variable(sim_dir_variable, given, sim_path_capacity);
    if (n >= sim_path_capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    if (n == 0) {
        n = GetEnvironmentVariableW(L"ProgramData", given, sim_path_capacity - 20);
        if (n == 0 || n >= sim_path_capacity - 20)
            wcscpy_s(given, L"C:\\ProgramData");
        wcscat_s(given, L"\\tosmire-evtsim");
    }
    // Full path: every process must name the same folder, whatever its current directory.
    n = GetFullPathNameW(given, capacity, dir, nullptr);
    if (n == 0)
        return GetLastError();
    if (n >= capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    while (n > 3 && dir[n - 1] == L'\\')
        dir[--n] = 0;
    return 0;
}

DWORD sim_log_path(int log, wchar_t *path, DWORD capacity)
{
    if (log < 0 || log >= sim_log_count)
        return ERROR_INVALID_PARAMETER;
    DWORD error = sim_dir(path, capacity);
    if (error != 0)
        return error;
    size_t n = wcslen(path);
    if (n + 1 + wcslen(file_names[log]) + 1 > capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    _snwprintf_s(path + n, capacity - n, _TRUNCATE, L"%ls%ls", path[n - 1] == L'\\' ? L"" : L"\\", file_names[log]);
    return 0;
}

DWORD sim_hook_code(const wchar_t *variable, const wchar_t *suffix)
{
    wchar_t name[96];
    wchar_t value[32];
    _snwprintf_s(name, 96, _TRUNCATE, L"%ls%ls", variable, suffix != nullptr ? suffix : L"");
    DWORD n = sim_variable(name, value, 32);
    if (n == 0 || n >= 32)
        return 0;
    wchar_t *end = nullptr;
    unsigned long code = wcstoul(value, &end, 0);
    return end != nullptr && *end == 0 ? static_cast<DWORD>(code) : 0;
}

DWORD sim_append_records(int log, const void *records, DWORD size)
{
    const BYTE *bytes = static_cast<const BYTE *>(records);
    for (DWORD pos = 0; pos < size;) {
        DWORD length = sim_check_record(bytes + pos, size - pos);
        if (length == 0)
            return ERROR_INVALID_DATA;
        pos += length;
    }
    LogFile lf;
    DWORD error = log_open(log, &lf);
    if (error == 0)
        error = log_append(&lf, records, size, sim_hook_code(sim_clock_variable, nullptr));
    log_close(&lf);
    return error;
}

DWORD sim_use_private_dir(const wchar_t *tag)
{
    wchar_t dir[sim_path_capacity];
    DWORD n = GetTempPathW(sim_path_capacity, dir);
    if (n == 0 || n >= sim_path_capacity - 80)
        return n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    _snwprintf_s(dir + n, sim_path_capacity - n, _TRUNCATE, L"tosmire-sim-%ls-%lu", tag,
                 static_cast<unsigned long>(GetCurrentProcessId()));
    if (!SetEnvironmentVariableW(sim_dir_variable, dir))
        return GetLastError();
    sim_remove_private_dir();
    return create_folder(dir);
}

void sim_remove_private_dir()
{
    wchar_t dir[sim_path_capacity];
    wchar_t path[sim_path_capacity];
    if (sim_dir(dir, sim_path_capacity) != 0)
        return;
    for (int log = 0; log < sim_log_count; ++log)
        if (sim_log_path(log, path, sim_path_capacity) == 0)
            DeleteFileW(path);
    RemoveDirectoryW(dir);
}

DWORD log_open(int log, LogFile *lf)
{
    memset(lf, 0, sizeof(*lf));
    lf->log = log;
    wchar_t dir[sim_path_capacity];
    DWORD error = sim_dir(dir, sim_path_capacity);
    if (error == 0)
        error = sim_log_path(log, lf->path, sim_path_capacity);
    if (error == 0)
        error = create_folder(dir);
    if (error != 0)
        return error;
    lf->key = path_key(lf->path);
    wchar_t name[64];
    _snwprintf_s(name, 64, _TRUNCATE, L"Global\\tosmire.evtsim.%08lx.lock", static_cast<unsigned long>(lf->key));
    lf->mutex = CreateMutexW(nullptr, FALSE, name);
    if (lf->mutex == nullptr)
        return GetLastError();
    lf->staging = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, sim_max_record_size + elf_eof_size));
    if (lf->staging == nullptr) {
        log_close(lf);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    log_lock(lf);
    error = open_file(lf);
    log_unlock(lf);
    if (error != 0)
        log_close(lf);
    return error;
}

void log_close(LogFile *lf)
{
    if (lf->file != nullptr)
        CloseHandle(lf->file);
    if (lf->staging != nullptr)
        HeapFree(GetProcessHeap(), 0, lf->staging);
    if (lf->mutex != nullptr)
        CloseHandle(lf->mutex);
    lf->file = nullptr;
    lf->staging = nullptr;
    lf->mutex = nullptr;
}

void log_lock(LogFile *lf) { WaitForSingleObject(lf->mutex, INFINITE); }

void log_unlock(LogFile *lf) { ReleaseMutex(lf->mutex); }

DWORD log_header(LogFile *lf, ElfLogfileHeader *header)
{
    log_lock(lf);
    DWORD error = read_header(lf->file, header);
    log_unlock(lf);
    return error;
}

DWORD log_reopen(LogFile *lf)
{
    log_lock(lf);
    if (lf->file != nullptr)
        CloseHandle(lf->file);
    lf->file = nullptr;
    DWORD error = open_file(lf);
    log_unlock(lf);
    return error;
}

DWORD log_open_saved(const wchar_t *path, LogFile *lf, ElfLogfileHeader *header, DWORD *file_size)
{
    memset(lf, 0, sizeof(*lf));
    lf->log = -1;
    *file_size = 0;
    // Shared for reading only: no writer can change the header we keep, and reading never
    // changes the file.
    lf->file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lf->file == INVALID_HANDLE_VALUE) {
        lf->file = nullptr;
        return GetLastError();
    }
    LARGE_INTEGER size = {};
    DWORD error = GetFileSizeEx(lf->file, &size) ? 0 : GetLastError();
    // A file shorter than the header fails the read. A saved .evtx (Vista's binary XML, which
    // starts "ElfFile") is not simulated: its header is not ours, so it is refused as corrupt.
    if (error == 0)
        error = read_header(lf->file, header);
    // Only a live log's old file carries the cleared mark; in a saved one it is damage.
    if (error == ERROR_EVENTLOG_FILE_CHANGED)
        error = ERROR_EVENTLOG_FILE_CORRUPT;
    if (error == 0) {
        lf->staging = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, sim_max_record_size + elf_eof_size));
        if (lf->staging == nullptr)
            error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != 0) {
        log_close(lf);
        return error;
    }
    *file_size = size.QuadPart > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<DWORD>(size.QuadPart);
    return 0;
}

DWORD log_backup(LogFile *lf, const wchar_t *backup)
{
    if (lf->mutex == nullptr) {
        ElfLogfileHeader header;
        DWORD error = read_header(lf->file, &header);
        return error == 0 ? write_backup(lf, lf->file, header, backup) : error;
    }
    log_lock(lf);
    // The log's current file, not lf's: a handle opened before a clear saves the log as it is
    // now, as ClearEventLogW clears it.
    HANDLE current = CreateFileW(lf->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = current == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    ElfLogfileHeader header;
    if (error == 0)
        error = read_header(current, &header);
    if (error == 0)
        error = write_backup(lf, current, header, backup);
    if (current != INVALID_HANDLE_VALUE)
        CloseHandle(current);
    log_unlock(lf);
    return error;
}

// Appends checked records under the log's mutex, which the caller holds; wakes nobody.
static DWORD append_locked(LogFile *lf, const void *records, DWORD size, DWORD written = 0)
{
    const BYTE *bytes = static_cast<const BYTE *>(records);
    ElfLogfileHeader header;
    DWORD error = lf->file != nullptr ? read_header(lf->file, &header) : ERROR_EVENTLOG_FILE_CHANGED;
    if (error == ERROR_EVENTLOG_FILE_CHANGED) {
        // Cleared since we opened it (or a reopening failed): the records go to the new file.
        if (lf->file != nullptr)
            CloseHandle(lf->file);
        lf->file = nullptr;
        error = open_file(lf);
        if (error == 0)
            error = read_header(lf->file, &header);
    }
    if (error == 0 && size > 0xFFFFFFFFu - elf_eof_size - header.EndOffset)
        error = ERROR_LOG_FILE_FULL;
    if (error != 0)
        return error;
    DWORD now = written != 0 ? written : unix_now();
    DWORD offset = header.EndOffset;
    DWORD number = header.CurrentRecordNumber;
    if (header.OldestRecordNumber == 0)
        header.OldestRecordNumber = number;
    DWORD fill = 0;
    for (DWORD pos = 0; error == 0 && pos < size;) {
        DWORD length = record_length(bytes + pos);
        if (fill + length > sim_max_record_size) {
            error = write_at(lf->file, offset, lf->staging, fill);
            offset += fill;
            fill = 0;
        }
        EVENTLOGRECORD *record = reinterpret_cast<EVENTLOGRECORD *>(lf->staging + fill);
        memcpy(record, bytes + pos, length);
        record->RecordNumber = number++;
        record->TimeWritten = now;
        fill += length;
        pos += length;
    }
    header.EndOffset = offset + fill;
    header.CurrentRecordNumber = number;
    header.MaxSize = header.EndOffset + elf_eof_size;
    ElfEofRecord eof = eof_record(header);
    memcpy(lf->staging + fill, &eof, elf_eof_size);
    if (error == 0)
        error = write_at(lf->file, offset, lf->staging, fill + elf_eof_size);
    // The header last: until it is written the new records do not exist for anyone.
    if (error == 0)
        error = write_at(lf->file, 0, &header, elf_header_size);
    return error;
}

DWORD log_append(LogFile *lf, const void *records, DWORD size, DWORD written)
{
    if (size == 0)
        return 0;
    log_lock(lf);
    DWORD error = append_locked(lf, records, size, written);
    log_unlock(lf);
    if (error == 0)
        wake_listeners(lf->key);
    return error;
}

// The clearing account as event 1102 names it: SID text, user name, domain, logon ID; "-" for
// what cannot be found out, as Windows writes an unknown field.
struct Subject {
    wchar_t sid[192] = L"-";
    wchar_t user[257] = L"-";
    wchar_t domain[257] = L"-";
    wchar_t logon_id[24] = L"-";
};

static void find_subject(Subject &subject)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } owner;
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, &owner, sizeof(owner), &size)) {
        wchar_t *text = nullptr;
        if (ConvertSidToStringSidW(owner.user.User.Sid, &text)) {
            wcsncpy_s(subject.sid, text, _TRUNCATE);
            LocalFree(text);
        }
        DWORD user_chars = 257, domain_chars = 257;
        SID_NAME_USE use;
        wchar_t user[257], domain[257];
        if (LookupAccountSidW(nullptr, owner.user.User.Sid, user, &user_chars, domain, &domain_chars, &use)) {
            wcscpy_s(subject.user, user);
            wcscpy_s(subject.domain, domain);
        }
    }
    TOKEN_STATISTICS statistics;
    if (GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &size))
        _snwprintf_s(subject.logon_id, 24, _TRUNCATE, L"0x%llx",
                     (static_cast<unsigned long long>(static_cast<DWORD>(statistics.AuthenticationId.HighPart)) << 32) |
                         statistics.AuthenticationId.LowPart);
    CloseHandle(token);
}

// Windows starts a cleared Security log with event 1102, "The audit log was cleared", so
// that the new log is never empty. Under the log's mutex, before anyone is woken.
static DWORD write_cleared_event(LogFile *lf)
{
    Subject subject;
    find_subject(subject);
    const wchar_t *strings[4] = {subject.sid, subject.user, subject.domain, subject.logon_id};
    SimRecord fields = {L"Microsoft-Windows-Eventlog", nullptr, 1102, EVENTLOG_AUDIT_SUCCESS, 104, 0, nullptr,
                        4, strings, nullptr, 0};
    BYTE record[4096];
    DWORD length = 0;
    DWORD error = sim_build_record(fields, record, sizeof(record), &length);
    return error == 0 ? append_locked(lf, record, length) : error;
}

DWORD log_clear(LogFile *lf, const wchar_t *backup)
{
    log_lock(lf);
    // A log whose file went missing is cleared all the same (into an empty backup).
    HANDLE old = CreateFileW(lf->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = old == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    LARGE_INTEGER size = {};
    if (error == 0 && GetFileSizeEx(old, &size) && size.QuadPart == 0)
        error = write_empty_log(old);
    // A damaged log can be cleared, but not backed up.
    ElfLogfileHeader header = {};
    if (error == 0)
        error = read_at(old, 0, &header, elf_header_size);
    if (error == 0 && backup != nullptr)
        error = header_valid(header) ? write_backup(lf, old, header, backup) : ERROR_EVENTLOG_FILE_CORRUPT;
    // The old file is moved aside rather than replaced in place: handles opened before the
    // clear keep it, find it marked and fail with 1503, while new handles get a new file.
    wchar_t aside[sim_path_capacity + 32];
    _snwprintf_s(aside, sim_path_capacity + 32, _TRUNCATE, L"%ls.cleared-%lx-%lx", lf->path,
                 static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(GetTickCount()));
    if (error == 0 && !MoveFileExW(lf->path, aside, 0))
        error = GetLastError();
    if (error == 0) {
        HANDLE fresh = CreateFileW(lf->path, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        error = fresh == INVALID_HANDLE_VALUE ? GetLastError() : write_empty_log(fresh);
        if (fresh != INVALID_HANDLE_VALUE)
            CloseHandle(fresh);
        if (error != 0) {
            DeleteFileW(lf->path);
            MoveFileExW(aside, lf->path, 0);
        } else {
            header.Flags |= log_cleared_flag;
            write_at(old, 0, &header, elf_header_size);
            DeleteFileW(aside);
        }
    }
    if (old != INVALID_HANDLE_VALUE)
        CloseHandle(old);
    if (error == 0) {
        if (lf->file != nullptr)
            CloseHandle(lf->file);
        lf->file = nullptr;
        error = open_file(lf);
    }
    if (error == 0 && lf->log == sim_security)
        error = write_cleared_event(lf);
    log_unlock(lf);
    if (error == 0)
        wake_listeners(lf->key);
    return error;
}

DWORD log_read(LogFile *lf, DWORD offset, void *buffer, DWORD size) { return read_at(lf->file, offset, buffer, size); }

DWORD log_read_forward(LogFile *lf, DWORD *cursor, DWORD end, BYTE *buffer, DWORD capacity, DWORD *bytes_read,
                       DWORD *needed)
{
    *bytes_read = 0;
    *needed = 0;
    if (*cursor >= end)
        return ERROR_HANDLE_EOF;
    DWORD available = end - *cursor;
    DWORD size = available < capacity ? available : capacity;
    // One read of all that fits; the first record's length comes with it.
    DWORD first = 0;
    DWORD error = size >= sizeof(first) ? read_at(lf->file, *cursor, buffer, size)
                                        : read_at(lf->file, *cursor, &first, sizeof(first));
    if (error != 0)
        return error;
    if (size >= sizeof(first))
        first = record_length(buffer);
    if (first < sizeof(EVENTLOGRECORD) + sizeof(DWORD) || first > available)
        return ERROR_EVENTLOG_FILE_CORRUPT;
    if (first > capacity) {
        *needed = first;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    DWORD pos = 0;
    while (size - pos >= sizeof(DWORD)) {
        DWORD length = record_length(buffer + pos);
        if (length > size - pos && length <= available - pos)
            break;   // whole, but not within this read
        if (sim_check_record(buffer + pos, size - pos) == 0)
            break;   // a damaged record: handed over alone, below, as an error
        pos += length;
    }
    if (pos == 0)
        return ERROR_EVENTLOG_FILE_CORRUPT;
    *bytes_read = pos;
    *cursor += pos;
    return 0;
}

DWORD log_read_backward(LogFile *lf, DWORD *cursor, DWORD start, BYTE *buffer, DWORD capacity, DWORD *bytes_read,
                        DWORD *needed)
{
    *bytes_read = 0;
    *needed = 0;
    DWORD pos = 0;
    while (*cursor > start) {
        DWORD length = 0;
        DWORD error = read_at(lf->file, *cursor - sizeof(DWORD), &length, sizeof(length));
        if (error == 0 && (length < sizeof(EVENTLOGRECORD) + sizeof(DWORD) || length > *cursor - start))
            error = ERROR_EVENTLOG_FILE_CORRUPT;
        if (error == 0 && capacity - pos < length) {
            if (pos != 0)
                break;
            *needed = length;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        if (error == 0)
            error = read_at(lf->file, *cursor - length, buffer + pos, length);
        if (error == 0 && sim_check_record(buffer + pos, length) != length)
            error = ERROR_EVENTLOG_FILE_CORRUPT;
        if (error != 0) {
            if (pos != 0)
                break;
            return error;
        }
        pos += length;
        *cursor -= length;
    }
    if (pos == 0)
        return ERROR_HANDLE_EOF;
    *bytes_read = pos;
    return 0;
}

DWORD log_find_record(LogFile *lf, const ElfLogfileHeader &header, DWORD number, DWORD *offset)
{
    if (header.OldestRecordNumber == 0 || number < header.OldestRecordNumber || number >= header.CurrentRecordNumber)
        return ERROR_INVALID_PARAMETER;
    // Records are numbered without gaps: walk from whichever end is nearer.
    DWORD at;
    DWORD error = 0;
    if (number - header.OldestRecordNumber <= header.CurrentRecordNumber - 1 - number) {
        at = header.StartOffset;
        for (DWORD n = header.OldestRecordNumber; error == 0 && n < number; ++n) {
            DWORD length = 0;
            error = read_at(lf->file, at, &length, sizeof(length));
            if (error == 0 && (length < sizeof(EVENTLOGRECORD) || length > header.EndOffset - at))
                error = ERROR_EVENTLOG_FILE_CORRUPT;
            at += length;
        }
    } else {
        at = header.EndOffset;
        for (DWORD n = header.CurrentRecordNumber; error == 0 && n > number; --n) {
            DWORD length = 0;
            error = read_at(lf->file, at - sizeof(DWORD), &length, sizeof(length));
            if (error == 0 && (length < sizeof(EVENTLOGRECORD) || length > at - header.StartOffset))
                error = ERROR_EVENTLOG_FILE_CORRUPT;
            at -= length;
        }
    }
    EVENTLOGRECORD head;
    if (error == 0)
        error = read_at(lf->file, at, &head, sizeof(head));
    if (error == 0 && (head.RecordNumber != number || head.Reserved != elf_signature))
        error = ERROR_EVENTLOG_FILE_CORRUPT;
    if (error == 0)
        *offset = at;
    return error;
}

DWORD listener_watch(DWORD key, HANDLE event, ULONG64 *listener)
{
    *listener = 0;
    ListenerTable *table = listener_table();
    if (table == nullptr)
        return GetLastError() != 0 ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    ULONG64 created = creation_time(GetCurrentProcess());
    if (created == 0)
        return GetLastError();
    LONG64 tag = take_slot(table, key, event, created);
    // A full table may hold slots of processes that are gone.
    if (tag == 0) {
        free_abandoned_slots(table);
        tag = take_slot(table, key, event, created);
    }
    if (tag == 0)
        return ERROR_TOO_MANY_SESS;
    *listener = static_cast<ULONG64>(tag);
    return 0;
}

DWORD listener_add(DWORD key, HANDLE *wake, ULONG64 *listener)
{
    *listener = 0;
    *wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (*wake == nullptr)
        return GetLastError();
    DWORD error = listener_watch(key, *wake, listener);
    if (error != 0) {
        CloseHandle(*wake);
        *wake = nullptr;
    }
    return error;
}

void listener_remove(ULONG64 listener, HANDLE wake)
{
    // The slot is withdrawn before the event is closed; see signal_listener.
    ListenerTable *table = listener_table();
    if (table != nullptr && listener != 0)
        for (ListenerSlot &slot : table->slots)
            if (InterlockedCompareExchange64(&slot.tag, 0, static_cast<LONG64>(listener)) == static_cast<LONG64>(listener))
                break;
    if (wake != nullptr)
        CloseHandle(wake);
}
