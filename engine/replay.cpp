// Replay: reads a log forward in large batches and hands each record to the monitor's decoding
// and block decision (engine/block), which count in logon_failures as the monitor does; fixed
// tables keep what the summary needs. A block is what the monitor would have run: it is
// printed, never run, and holds the address as a block that succeeded.
#include "engine/replay.h"
#include "engine/replay_tally.h"
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "config/config.h"
#include "console/output.h"
#include <cstdint>
#include <cwchar>

namespace {

// The most one ReadEventLogW reads (0x7FFFF bytes), eight times the monitor's batch: a replay
// reads a whole log as fast as it can.
constexpr DWORD replay_read_bytes = 0x7FFFF;
// Characters of a full path of a saved log.
constexpr DWORD path_chars = 1024;

// Everything the reading uses, allocated at once by run_replay and freed when it ends.
struct ReplayMemory {
    BYTE read[0x80000];                  // 512 KiB, of which a read takes replay_read_bytes
    wchar_t command[command_chars];      // the block command that would have run
};

struct Options {
    const wchar_t *file;      // a saved log; null for this machine's Security log
    const wchar_t *csv_path;  // null: no CSV
    bool quiet;               // the summary alone
    bool given[6];            // the overrides, in the order of the table overrides
    DWORD value[6];
};

// Where the reading stands, for its end and its skips over damaged records.
struct Reading {
    DWORD last_number;            // RecordNumber of the last record read
    DWORD next_number;            // the number the next record should have
    DWORD first_damaged;          // the number of the first damaged record
    bool limited;                 // records past the newest at the start are left (the live log)
    DWORD oldest, number;         // the log's records at the start
    bool past_newest;
};

struct Override {
    const wchar_t *name;
    DWORD *threshold;
};
const Override overrides[6] = {
    {L"net", &max_logon_count_normal_net},      {L"clear", &max_logon_count_normal_net_clear_text},
    {L"rdp", &max_logon_count_normal_RDP},      {L"wnet", &max_logon_count_whitelist_net},
    {L"wclear", &max_logon_count_whitelist_net_clear_text}, {L"wrdp", &max_logon_count_whitelist_RDP},
};

// The replay's state: written and read by run_replay and the record walk on the main thread,
// for the one replay of the process (the program ends after it).
ReplayMemory *memory = nullptr;
Options options;
Reading reading;
ReplayTotals &totals = replay_totals;
wchar_t time_text[time_text_chars];  // the current record's time, rewritten by decoding
const BYTE *walked_end = nullptr;    // end of the last record the walk of a batch visited

// "!! <call> FAILED <code>", then ": <what>" when what is given, and the line's end.
void error_line(const wchar_t *call, DWORD code, const wchar_t *what = nullptr)
{
    set_console_color(color_error);
    print_out(L"!! %ls FAILED %u%ls%.1000ls\n", call, code, what != nullptr ? L": " : L"", what != nullptr ? what : L"");
    restore_console_color();
}

// The last error, never 0: a failure must not read as success.
DWORD last_error(DWORD fallback)
{
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

// ---- command line ----

int usage_error(const wchar_t *what, const wchar_t *argument)
{
    set_console_color(color_error);
    print_out(L"!! -t: %ls%.200ls\n", what, argument);
    restore_console_color();
    print_out(L"Usage: tosmire-ips.exe -t [FILE] [net=N] [clear=N] [rdp=N] [wnet=N] [wclear=N] [wrdp=N] [-q] [--csv CSV]\n"
              L"  FILE              a saved event log; without it, this machine's Security log\n"
              L"  net clear rdp     thresholds of logon types 3, 8 and 10 for users not on whitelist_user\n"
              L"  wnet wclear wrdp  the same for whitelisted users (N: decimal, 0 to 4294967295)\n"
              L"  -q                the summary alone\n"
              L"  --csv CSV         the summary's rows also into CSV, a new file (UTF-8)\n");
    return ERROR_INVALID_PARAMETER;
}

// A decimal number of at most 10 digits that fits 32 bits.
bool parse_threshold(const wchar_t *text, DWORD *value)
{
    uint64_t v = 0;
    size_t n = 0;
    for (; text[n] != 0; ++n) {
        if (text[n] < L'0' || text[n] > L'9' || n == 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(text[n] - L'0');
    }
    if (n == 0 || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<DWORD>(v);
    return true;
}

// An argument "word=..." whose word is letters only is meant as an override; its index in
// overrides, -2 for an unknown word, -1 for an argument of another shape.
int override_index(const wchar_t *argument, const wchar_t **value)
{
    const wchar_t *equals = wcschr(argument, L'=');
    if (equals == nullptr || equals == argument)
        return -1;
    for (const wchar_t *c = argument; c < equals; ++c)
        if (!((*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z')))
            return -1;
    *value = equals + 1;
    const size_t length = static_cast<size_t>(equals - argument);
    for (int i = 0; i < 6; ++i)
        if (wcslen(overrides[i].name) == length && wcsncmp(overrides[i].name, argument, length) == 0)
            return i;
    return -2;
}

int parse_arguments(int argc, wchar_t **argv)
{
    for (int i = 2; i < argc; ++i) {
        const wchar_t *a = argv[i];
        const wchar_t *value = nullptr;
        const int which = override_index(a, &value);
        if (wcscmp(a, L"-q") == 0) {
            options.quiet = true;
        } else if (wcscmp(a, L"--csv") == 0) {
            if (options.csv_path != nullptr)
                return usage_error(L"--csv given twice", L"");
            if (i + 1 >= argc || argv[i + 1][0] == 0)
                return usage_error(L"--csv needs the name of a new file", L"");
            options.csv_path = argv[++i];
        } else if (which == -2) {
            return usage_error(L"unknown threshold: ", a);
        } else if (which >= 0) {
            if (options.given[which])
                return usage_error(L"threshold given twice: ", a);
            if (!parse_threshold(value, &options.value[which]))
                return usage_error(L"not a decimal number from 0 to 4294967295: ", a);
            options.given[which] = true;
        } else if (i == 2 && a[0] != 0 && a[0] != L'-') {
            options.file = a;
        } else {
            return usage_error(L"unexpected argument (a FILE comes right after -t): ", a);
        }
    }
    return 0;
}

// ---- the records ----

uint8_t type_number(const wchar_t *logon_type)
{
    // Decoding lets only "3", "8" and "10" through.
    return logon_type[0] == L'1' ? 10 : logon_type[0] == L'8' ? 8 : 3;
}

// The lines of a block, as the monitor prints them, with "not run" where its exit code stands.
void print_block(bool plain, bool whitelisted_user, const wchar_t *address)
{
    if (!plain) {
        print_not_blockable(address);
        reset_console_color();
        return;
    }
    print_block_notice(memory->command, whitelisted_user);
    set_console_color(color_heading);
    print_out(L"# not run: replay\n\n\n");
    reset_console_color();
}

void replay_failure(const LogonReport &report, DWORD time)
{
    AddressRow *row = address_row(report.address);
    if (row != nullptr) {
        if (row->failures++ == 0)
            row->first_failure = time;
        row->last_failure = time;
        if (row->blocks != 0)
            ++row->after_block;
    } else {
        ++totals.untracked_failures;
    }
    const FailureDecision d = decide_logon_failure(report, time);
    if (d.attempts == blocked) {
        ++totals.held;
        return;
    }
    const uint8_t type = type_number(report.logon_type);
    UserRow *user = d.whitelisted_user ? user_row(report.user) : nullptr;
    if (user != nullptr) {
        ++user->failures;
        if (!d.whitelisted_ip)
            note_peak(user->peak, user->peak_threshold, d.attempts, d.threshold);
    }
    if (row != nullptr)
        row->whitelisted_ip = d.whitelisted_ip;
    if (!d.block) {
        if (row != nullptr && note_peak(row->peak, row->peak_threshold, d.attempts, d.threshold))
            row->peak_type = type;
        if (!options.quiet)
            print_failure_line(report, d, time_text);
        return;
    }
    // The monitor's own test of a blockable address: its command can be formatted.
    const bool plain = format_logon_block_command(memory->command, report, d.attempts, time_text, d.whitelisted) >= 0;
    if (!options.quiet)
        print_block(plain, d.whitelisted, report.address);
    mark_blocked(logon_failures, report.address, time);
    if (!plain) {
        if (row != nullptr) {
            row->not_blockable = true;
            if (note_peak(row->peak, row->peak_threshold, d.attempts, d.threshold))
                row->peak_type = type;
        }
        return;
    }
    if (user != nullptr)
        ++user->blocks;
    if (row == nullptr) {
        ++totals.untracked_blocks;
        return;
    }
    if (row->blocks++ == 0) {
        row->block_type = type;
        row->block_attempts = d.attempts;
        row->block_time = time;
        row->targeted = d.whitelisted;
        note_first_block(*row);
    }
}

void replay_record(const EVENTLOGRECORD *record, DWORD length)
{
    walked_end = reinterpret_cast<const BYTE *>(record) + length;
    // Unsigned distance: the numbers may wrap.
    if (reading.limited && record->RecordNumber - reading.oldest >= reading.number) {
        reading.past_newest = true;
        return;
    }
    const DWORD time = record->TimeGenerated;
    if (totals.records++ == 0 || time < totals.first_time)
        totals.first_time = time;
    if (totals.records == 1 || time > totals.last_time)
        totals.last_time = time;
    reading.last_number = record->RecordNumber;
    // Counted, not taken from the record: a record claiming a number behind it would send the
    // skip over the next damaged record back to the records read, again and again.
    ++reading.next_number;
    count_event_id(record->EventID);

    LogonReport report;
    bool is_success = false;
    switch (decode_logon_event(record, length, time_text, report, is_success)) {
    case DecodeResult::rejected:
        ++totals.rejected;
        return;
    case DecodeResult::spoofed: {
        ++totals.spoofed;
        // Counted as the monitor counts it; the list of connected hosts belongs to the moment.
        const uint32_t attempts = record_failure(logon_failures, report.address, time);
        if (!options.quiet) {
            print_spoofed_notice(report, attempts, time_text);
            reset_console_color();
            print_out(L"\n");
        }
        return;
    }
    case DecodeResult::accepted:
        break;
    }
    ++totals.accepted;
    if (!is_success) {
        replay_failure(report, time);
        return;
    }
    const int cleared = decide_logon_success(report);
    if (cleared < 0)
        return;
    ++totals.cleared;
    if (!options.quiet)
        print_success_line(report, cleared);
}

// Counts count records from number on as damaged: read, rejected, and not decided.
void count_damaged(DWORD number, DWORD count)
{
    if (totals.damaged == 0)
        reading.first_damaged = number;
    totals.damaged += count;
    totals.records += count;
    totals.rejected += count;
    reading.next_number = number + count;
}

// Reads the log from its oldest record on; 0 at its end, or the error that ended the reading.
// A damaged record is refused by the log service (1500) after the records before it: the read
// goes on by number behind it, up to max_skipped records in a row. In a log cut short no record
// is found behind the cut (1500, 87 or 38): the damage stands. Any other failure is returned.
DWORD read_records(HANDLE log)
{
    constexpr DWORD sequential = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
    constexpr DWORD max_skipped = 4;
    DWORD flags = sequential, seek_to = 0;
    for (;;) {
        // Esc, Q or Ctrl+C ask the monitor's loop to quit; the replay stops as it would.
        if (InterlockedExchange(&monitor_request, static_cast<LONG>(MonitorRequest::none)) ==
            static_cast<LONG>(MonitorRequest::quit))
            return ERROR_CANCELLED;
        DWORD bytes_read = 0, needed = 0;
        if (!ReadEventLogW(log, flags, seek_to, memory->read, replay_read_bytes, &bytes_read, &needed)) {
            const DWORD error = last_error(ERROR_GEN_FAILURE);
            if (flags == sequential && error == ERROR_HANDLE_EOF)
                return 0;
            if (flags == sequential && error == ERROR_EVENTLOG_FILE_CORRUPT)
                seek_to = reading.next_number + 1;
            else if (flags != sequential && error == ERROR_EVENTLOG_FILE_CORRUPT && seek_to - reading.next_number < max_skipped)
                ++seek_to;
            else if (flags != sequential && (error == ERROR_INVALID_PARAMETER || error == ERROR_HANDLE_EOF))
                return ERROR_EVENTLOG_FILE_CORRUPT;
            else
                return error;
            flags = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
            continue;
        }
        if (flags != sequential)
            count_damaged(reading.next_number, seek_to - reading.next_number);
        flags = sequential;
        if (bytes_read > replay_read_bytes)
            bytes_read = replay_read_bytes;
        walked_end = memory->read;
        if (!options.quiet)
            output_gather_begin();
        walk_batch(memory->read, bytes_read, replay_record);
        if (!options.quiet)
            output_gather_end();
        if (reading.past_newest)
            return 0;
        // The walk ends at a length that cannot be a record: that record is skipped as one the
        // log service refused, and the records behind it are read again by number.
        if (walked_end != memory->read + bytes_read) {
            seek_to = reading.next_number + 1;
            flags = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
        }
    }
}

// ---- the summary and its CSV form ----

// ---- the run ----

const wchar_t *open_hint(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return L"no such file";
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return L"access is denied (the Security log takes an administrator)";
    case ERROR_EVENTLOG_FILE_CORRUPT:
        return L"not an event log, or a damaged one";
    default:
        return L"cannot be read as an event log";
    }
}

// The error line after the summary of a replay that did not reach the log's end.
void print_ending(DWORD error)
{
    wchar_t where[96];
    if (totals.records == 0)
        format_text(where, 96, L"before the first record");
    else
        format_text(where, 96, L"after %llu records (the last one read: number %u)", totals.records, reading.last_number);
    set_console_color(color_error);
    if (error == ERROR_CANCELLED)
        print_out(L"!! Replay stopped %ls; the summary covers them\n", where);
    else if (error == ERROR_EVENTLOG_FILE_CORRUPT)
        print_out(L"!! ReadEventLogW() FAILED %u %ls: the log is damaged or cut short there; the summary covers "
                  L"the records before it\n", error, where);
    else if (error == ERROR_EVENTLOG_FILE_CHANGED)
        print_out(L"!! ReadEventLogW() FAILED %u %ls: the log was cleared during the replay; the summary covers "
                  L"the records before it\n", error, where);
    else
        print_out(L"!! ReadEventLogW() FAILED %u %ls; the summary covers the records before it\n", error, where);
    restore_console_color();
}

// Replays the opened log; the exit code.
DWORD replay_log(HANDLE log, const wchar_t *source)
{
    DWORD oldest = 0, number = 0;
    if (!GetOldestEventLogRecord(log, &oldest)) {
        const DWORD error = last_error(ERROR_GEN_FAILURE);
        error_line(L"GetOldestEventLogRecord()", error, source);
        return error;
    }
    if (!GetNumberOfEventLogRecords(log, &number)) {
        const DWORD error = last_error(ERROR_GEN_FAILURE);
        error_line(L"GetNumberOfEventLogRecords()", error, source);
        return error;
    }
    if (number == 0) {
        set_console_color(color_error);
        print_out(L"!! %.1000ls holds no records: nothing to replay (%u)\n", source, ERROR_HANDLE_EOF);
        restore_console_color();
        return ERROR_HANDLE_EOF;
    }
    reading.limited = options.file == nullptr;
    reading.oldest = oldest;
    reading.number = number;
    reading.next_number = oldest;
    if (options.csv_path != nullptr) {
        const DWORD error = open_csv(options.csv_path);
        if (error != 0)
            return error;
    }
    set_console_color(color_heading);
    print_out(L"# Replay of %.1000ls, records %u to %u: nothing is run, reported or written\n", source, oldest,
              oldest + number - 1);
    print_out(L"# Thresholds for users not whitelisted / whitelisted: net %u / %u, clear text %u / %u, RDP %u / %u; "
              L"whitelist_IP %llu entries, whitelist_user %llu entries\n",
              max_logon_count_normal_net, max_logon_count_whitelist_net, max_logon_count_normal_net_clear_text,
              max_logon_count_whitelist_net_clear_text, max_logon_count_normal_RDP, max_logon_count_whitelist_RDP,
              whitelist_IP.count, whitelist_user.count);
    reset_console_color();

    DWORD error = read_records(log);
    print_summary();
    if (error != 0) {
        print_ending(error);
    } else if (totals.damaged != 0) {
        set_console_color(color_error);
        print_out(L"!! %llu damaged records skipped (the first: number %u); the summary covers the others (%u)\n",
                  totals.damaged, reading.first_damaged, ERROR_EVENTLOG_FILE_CORRUPT);
        restore_console_color();
        error = ERROR_EVENTLOG_FILE_CORRUPT;
    }
    const DWORD csv_error = csv_write_error();
    if (csv_error != 0) {
        set_console_color(color_error);
        print_out(L"!! WriteFile() FAILED %u: the CSV file %.1000ls is incomplete\n", csv_error, options.csv_path);
        restore_console_color();
        if (error == 0)
            error = csv_error;
    }
    return error;
}

} // namespace

bool is_replay_command(int argc, wchar_t **argv)
{
    return argc > 1 && argv != nullptr && argv[1] != nullptr && wcscmp(argv[1], L"-t") == 0;
}

int run_replay(int argc, wchar_t **argv)
{
    const int usage = parse_arguments(argc, argv);
    if (usage != 0)
        return usage;
    read_config();
    for (int i = 0; i < 6; ++i)
        if (options.given[i])
            *overrides[i].threshold = options.value[i];

    // The advapi32 of some systems hands a relative name to the log service, whose current
    // folder is not ours: the saved log is named by its full path.
    wchar_t full_path[path_chars];
    if (options.file != nullptr) {
        const DWORD length = GetFullPathNameW(options.file, path_chars, full_path, nullptr);
        if (length == 0 || length >= path_chars) {
            const DWORD error = length == 0 ? last_error(ERROR_INVALID_NAME) : ERROR_FILENAME_EXCED_RANGE;
            error_line(L"GetFullPathNameW()", error, options.file);
            return static_cast<int>(error);
        }
    }
    memory = static_cast<ReplayMemory *>(VirtualAlloc(nullptr, sizeof(ReplayMemory), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    const DWORD no_memory = memory == nullptr ? last_error(ERROR_NOT_ENOUGH_MEMORY) : open_tally();
    if (no_memory != 0) {
        error_line(L"VirtualAlloc()", no_memory, L"no memory for the replay");
        if (memory != nullptr)
            VirtualFree(memory, 0, MEM_RELEASE);
        memory = nullptr;
        return static_cast<int>(no_memory);
    }
    HANDLE log = options.file != nullptr ? OpenBackupEventLogW(nullptr, full_path) : OpenEventLogW(nullptr, L"Security");
    DWORD result = 0;
    if (log == nullptr) {
        result = last_error(ERROR_INVALID_HANDLE);
        set_console_color(color_error);
        print_out(L"!! %ls() FAILED %u: %.1000ls: %ls\n", options.file != nullptr ? L"OpenBackupEventLogW" : L"OpenEventLogW",
                  result, options.file != nullptr ? full_path : L"the Security log", open_hint(result));
        restore_console_color();
    } else {
        result = replay_log(log, options.file != nullptr ? full_path : L"the Security log");
    }
    // Closed in a fixed order: the log, the tables with the CSV file, then the reading's memory.
    if (log != nullptr)
        CloseEventLog(log);
    close_tally();
    VirtualFree(memory, 0, MEM_RELEASE);
    memory = nullptr;
    return static_cast<int>(result);
}
