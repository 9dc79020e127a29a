// Replay: reads a log forward in large batches and hands each record to the monitor's decoding
// and block decision (engine/block), which count in logon_failures as the monitor does; fixed
// tables keep what the summary needs. A block is what the monitor would have run: it is
// printed, never run, and holds the address as a block that succeeded.
#include "engine/replay.h"
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "config/config.h"
#include "config/text_case.h"
#include "console/output.h"
#include <cstdint>
#include <cwchar>

namespace {

// The most one ReadEventLogW reads (0x7FFFF bytes), eight times the monitor's batch: a replay
// reads a whole log as fast as it can.
constexpr DWORD replay_read_bytes = 0x7FFFF;
// Addresses with a row in the summary; later addresses are decided and counted without one.
constexpr uint32_t row_capacity = 16384;
// Hash index of the rows: a power of two, twice the rows, so that probes stay short.
constexpr uint32_t index_slots = 32768;
// Entries of whitelist_user with a row; failures of later entries are counted without one.
constexpr uint32_t user_capacity = 1024;
// Distinct event IDs counted one by one; the others are counted together.
constexpr uint32_t event_id_capacity = 64;
// The CSV file is written through a buffer of this many bytes.
constexpr DWORD csv_buffer_bytes = 65536;
// Characters of a full path of a saved log.
constexpr DWORD path_chars = 1024;

struct AddressRow {
    wchar_t address[history_address_chars];
    uint32_t key;             // address_key of address
    DWORD first_failure;      // time of its first accepted failure
    DWORD last_failure;
    uint32_t failures;        // accepted failures, held ones included
    uint32_t after_block;     // failures after its first block
    uint32_t blocks;          // times it would have been blocked
    uint32_t block_attempts;  // the count at its first block
    DWORD block_time;         // the time of its first block
    uint32_t peak;            // without a block: the count closest to its threshold,
    uint32_t peak_threshold;  // and that threshold
    uint8_t block_type;       // logon types (3, 8, 10) of the first block and of the peak
    uint8_t peak_type;
    bool whitelisted_ip;
    bool targeted;            // its first block was for a whitelisted user
    bool not_blockable;       // reached its threshold, but is no plain address: no filter
};

// A whitelist_user entry, by its index in the list.
struct UserRow {
    uint32_t failures;        // counted failures (not held ones) of that user name
    uint32_t blocks;          // blocks for a targeted attack on it
    uint32_t peak;            // from addresses not whitelisted: the count closest to its threshold,
    uint32_t peak_threshold;  // and that threshold
};

struct EventCount {
    DWORD id;
    uint64_t count;
};

// Everything a replay uses, allocated at once by run_replay (zero-filled; pages are committed
// as they are touched) and freed when it ends. The read buffer comes first, page-aligned.
struct ReplayMemory {
    BYTE read[0x80000];                  // 512 KiB, of which a read takes replay_read_bytes
    AddressRow rows[row_capacity];
    uint32_t index[index_slots];         // row number + 1, or 0 for a free slot
    uint32_t block_order[row_capacity];  // rows by their first block
    UserRow users[user_capacity];
    EventCount events[event_id_capacity];
    wchar_t command[command_chars];      // the block command that would have run
    char csv[csv_buffer_bytes];
};

struct Options {
    const wchar_t *file;      // a saved log; null for this machine's Security log
    const wchar_t *csv_path;  // null: no CSV
    bool quiet;               // the summary alone
    bool given[6];            // the overrides, in the order of the table overrides
    DWORD value[6];
};

struct Totals {
    uint64_t records, accepted, rejected, spoofed, held, cleared, untracked_failures, untracked_user_failures,
        other_ids;
    uint32_t rows, blocked_rows, event_ids, untracked_blocks;
    DWORD first_time, last_time;  // earliest and latest TimeGenerated of the records read
    DWORD last_number;            // RecordNumber of the last record read
    DWORD next_number;            // the number the next record should have
    uint64_t damaged;             // records skipped as damaged
    DWORD first_damaged;          // the number of the first of them
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
Totals totals;
wchar_t time_text[time_text_chars];  // the current record's time, rewritten by decoding
const BYTE *walked_end = nullptr;    // end of the last record the walk of a batch visited
HANDLE csv_file = INVALID_HANDLE_VALUE;
DWORD csv_used = 0;
DWORD csv_error = 0;                 // the first failed write; the rest is not written

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

// Keeps the count that came closest to its threshold (attempts / threshold above peak /
// peak_threshold); whether it was taken.
bool note_peak(uint32_t &peak, uint32_t &peak_threshold, uint32_t attempts, DWORD threshold)
{
    if (peak != 0 && uint64_t{attempts} * peak_threshold <= uint64_t{peak} * threshold)
        return false;
    peak = attempts;
    peak_threshold = threshold;
    return true;
}

// The row of an address, added when it is new; null when the table is full or the address
// does not fit a row (the failure history gives such an address no slot either).
AddressRow *address_row(const wchar_t *address)
{
    if (wcsnlen(address, history_address_chars) >= history_address_chars)
        return nullptr;
    const uint32_t key = address_key(address);
    uint32_t slot = key & (index_slots - 1);
    // At most half the slots are in use: the probe ends at a free one.
    for (uint32_t at = memory->index[slot]; at != 0; at = memory->index[slot]) {
        AddressRow &row = memory->rows[at - 1];
        if (row.key == key && equal_ignoring_case(row.address, address))
            return &row;
        slot = (slot + 1) & (index_slots - 1);
    }
    if (totals.rows == row_capacity)
        return nullptr;
    AddressRow &row = memory->rows[totals.rows++];
    wcscpy_s(row.address, history_address_chars, address);
    row.key = key;
    memory->index[slot] = totals.rows;
    return &row;
}

UserRow *user_row(const wchar_t *user)
{
    const int64_t index = find_listed(whitelist_user, user);
    if (index < 0)
        return nullptr;
    if (index >= static_cast<int64_t>(user_capacity)) {
        ++totals.untracked_user_failures;
        return nullptr;
    }
    return &memory->users[index];
}

void count_event_id(DWORD id)
{
    for (uint32_t i = 0; i < totals.event_ids; ++i)
        if (memory->events[i].id == id) {
            ++memory->events[i].count;
            return;
        }
    if (totals.event_ids == event_id_capacity)
        ++totals.other_ids;
    else
        memory->events[totals.event_ids++] = {id, 1};
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
        memory->block_order[totals.blocked_rows++] = static_cast<uint32_t>(row - memory->rows);
    }
}

void replay_record(const EVENTLOGRECORD *record, DWORD length)
{
    walked_end = reinterpret_cast<const BYTE *>(record) + length;
    // Unsigned distance: the numbers may wrap.
    if (totals.limited && record->RecordNumber - totals.oldest >= totals.number) {
        totals.past_newest = true;
        return;
    }
    const DWORD time = record->TimeGenerated;
    if (totals.records++ == 0 || time < totals.first_time)
        totals.first_time = time;
    if (totals.records == 1 || time > totals.last_time)
        totals.last_time = time;
    totals.last_number = record->RecordNumber;
    totals.next_number = record->RecordNumber + 1;
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
        totals.first_damaged = number;
    totals.damaged += count;
    totals.records += count;
    totals.rejected += count;
    totals.next_number = number + count;
}

// Reads the log from its oldest record on; 0 at its end, or the error that ended the reading.
// A damaged record is refused by the log service (1500) after the records before it: the read
// goes on by number behind it, up to max_skipped records in a row. In a log cut short no record
// is found behind the cut, and the error stands.
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
                seek_to = totals.next_number + 1;
            else if (flags != sequential && error == ERROR_EVENTLOG_FILE_CORRUPT && seek_to - totals.next_number < max_skipped)
                ++seek_to;
            else
                return flags == sequential ? error : ERROR_EVENTLOG_FILE_CORRUPT;
            flags = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
            continue;
        }
        if (flags != sequential)
            count_damaged(totals.next_number, seek_to - totals.next_number);
        flags = sequential;
        if (bytes_read > replay_read_bytes)
            bytes_read = replay_read_bytes;
        walked_end = memory->read;
        if (!options.quiet)
            output_gather_begin();
        walk_batch(memory->read, bytes_read, replay_record);
        if (!options.quiet)
            output_gather_end();
        if (totals.past_newest)
            return 0;
        // The walk ends at a length that cannot be a record: the rest of the batch is one
        // damaged record to it, and the next read goes on behind the batch.
        if (walked_end != memory->read + bytes_read)
            count_damaged(totals.next_number, 1);
    }
}

// ---- the summary and its CSV form ----

// Copies text for a table, its control characters replaced (attackers choose addresses).
const wchar_t *shown(const wchar_t *text, wchar_t *out, size_t capacity)
{
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < capacity; ++n)
        out[n] = text[n] < 0x20 || text[n] == 0x7F ? L'?' : text[n];
    out[n] = 0;
    return out;
}

const wchar_t *event_time(DWORD seconds, bool set, wchar_t *out)
{
    out[0] = 0;
    if (set)
        format_event_time(seconds, out);
    return out;
}

void csv_flush()
{
    DWORD done = 0;
    if (csv_error == 0 && csv_used != 0 && (!WriteFile(csv_file, memory->csv, csv_used, &done, nullptr) || done != csv_used))
        csv_error = last_error(ERROR_WRITE_FAULT);
    csv_used = 0;
}

void csv_bytes(const char *bytes, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        if (csv_used == csv_buffer_bytes)
            csv_flush();
        memory->csv[csv_used++] = bytes[i];
    }
}

// One character as UTF-8.
void csv_code_point(uint32_t c)
{
    char b[4];
    DWORD n = 0;
    if (c < 0x80) {
        b[n++] = static_cast<char>(c);
    } else if (c < 0x800) {
        b[n++] = static_cast<char>(0xC0 | (c >> 6));
        b[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        b[n++] = static_cast<char>(0xE0 | (c >> 12));
        b[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        b[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        b[n++] = static_cast<char>(0xF0 | (c >> 18));
        b[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        b[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        b[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    csv_bytes(b, n);
}

// A text cell in UTF-8: quoted, its quotes doubled, control characters as "?", a lone
// surrogate as U+FFFD, and a leading = + - @ behind an apostrophe, so that a spreadsheet takes
// no attacker's text for a formula.
void csv_text(const wchar_t *text)
{
    csv_bytes("\"", 1);
    if (text[0] == L'=' || text[0] == L'+' || text[0] == L'-' || text[0] == L'@')
        csv_bytes("'", 1);
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c == L'"') {
            csv_bytes("\"\"", 2);
            continue;
        }
        if (c < 0x20 || c == 0x7F)
            c = L'?';
        else if (IS_HIGH_SURROGATE(c) && IS_LOW_SURROGATE(text[i + 1]))
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[++i]) - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        csv_code_point(c);
    }
    csv_bytes("\"", 1);
}

// Which cells of a CSV row hold a value.
constexpr uint16_t cell_type = 1, cell_attempts = 2, cell_peak = 4, cell_threshold = 8, cell_blocked_at = 16,
                   cell_first = 32, cell_last = 64, cell_failures = 128, cell_after = 256, cell_blocks = 512,
                   cell_count = 1024;

struct CsvRow {
    const wchar_t *section;
    const wchar_t *name;
    uint16_t cells;
    uint32_t type, attempts, peak, threshold;
    DWORD blocked_at, first, last;
    uint64_t failures, after, blocks, count;
    const wchar_t *note;
};

const char csv_header[] = "\xEF\xBB\xBFsection,name,logon_type,attempts_at_block,peak_attempts,threshold,"
                          "blocked_at_utc,first_failure_utc,last_failure_utc,failures,failures_after_block,"
                          "blocks,count,note\r\n";

void csv_number(bool set, uint64_t value)
{
    csv_bytes(",", 1);
    if (!set)
        return;
    char digits[24];
    int n = 0;
    do
        digits[n++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    while (n > 0)
        csv_bytes(&digits[--n], 1);
}

// A time cell in UTC, "YYYY-MM-DD HH:MM:SS", as spreadsheets read it.
void csv_time(bool set, DWORD seconds)
{
    csv_bytes(",", 1);
    if (!set)
        return;
    const ULONGLONG t = (static_cast<ULONGLONG>(seconds) + 11644473600ull) * 10000000ull;
    FILETIME ft = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME s;
    if (!FileTimeToSystemTime(&ft, &s))
        return;
    char text[24];
    const unsigned fields[6] = {s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute, s.wSecond};
    const char separators[6] = {'-', '-', ' ', ':', ':', 0};
    int n = 0;
    for (int f = 0; f < 6; ++f) {
        const int width = f == 0 ? 4 : 2;
        for (int d = width - 1, v = static_cast<int>(fields[f]); d >= 0; --d, v /= 10)
            text[n + d] = static_cast<char>('0' + v % 10);
        n += width;
        if (separators[f] != 0)
            text[n++] = separators[f];
    }
    csv_bytes(text, static_cast<DWORD>(n));
}

void csv_row(const CsvRow &r)
{
    if (csv_file == INVALID_HANDLE_VALUE)
        return;
    csv_text(r.section);
    csv_bytes(",", 1);
    csv_text(r.name);
    csv_number(r.cells & cell_type, r.type);
    csv_number(r.cells & cell_attempts, r.attempts);
    csv_number(r.cells & cell_peak, r.peak);
    csv_number(r.cells & cell_threshold, r.threshold);
    csv_time(r.cells & cell_blocked_at, r.blocked_at);
    csv_time(r.cells & cell_first, r.first);
    csv_time(r.cells & cell_last, r.last);
    csv_number(r.cells & cell_failures, r.failures);
    csv_number(r.cells & cell_after, r.after);
    csv_number(r.cells & cell_blocks, r.blocks);
    csv_number(r.cells & cell_count, r.count);
    csv_bytes(",", 1);
    if (r.note != nullptr)
        csv_text(r.note);
    csv_bytes("\r\n", 2);
}

constexpr wchar_t targeted_note[] = L"whitelisted user";
constexpr wchar_t not_blockable_note[] = L"not a plain address: no filter";

bool near_miss(const AddressRow &row)
{
    return !row.whitelisted_ip && row.blocks == 0 && row.peak != 0 && uint64_t{row.peak} * 2 >= row.peak_threshold;
}

void summary_blocked()
{
    print_out(L"# Addresses that would have been blocked: %u\n", totals.blocked_rows);
    if (totals.blocked_rows != 0)
        print_out(L"  %4ls  %8ls  %-23ls  %-23ls  %-23ls  %5ls  %6ls  %ls\n", L"type", L"attempts", L"blocked at",
                  L"first failure", L"last failure", L"after", L"blocks", L"address");
    wchar_t at[time_text_chars], first[time_text_chars], last[time_text_chars], address[history_address_chars];
    for (uint32_t i = 0; i < totals.blocked_rows; ++i) {
        const AddressRow &r = memory->rows[memory->block_order[i]];
        print_out(L"  %4u  %8u  %-23ls  %-23ls  %-23ls  %5u  %6u  %ls%ls\n", r.block_type, r.block_attempts,
                  event_time(r.block_time, true, at), event_time(r.first_failure, true, first),
                  event_time(r.last_failure, true, last), r.after_block, r.blocks,
                  shown(r.address, address, history_address_chars), r.targeted ? L"  (whitelisted user)" : L"");
        csv_row({L"blocked", r.address,
                 static_cast<uint16_t>(cell_type | cell_attempts | cell_blocked_at | cell_first | cell_last |
                                       cell_failures | cell_after | cell_blocks),
                 r.block_type, r.block_attempts, 0, 0, r.block_time,
                 r.first_failure, r.last_failure, r.failures, r.after_block, r.blocks, 0,
                 r.targeted ? targeted_note : nullptr});
    }
}

// Rows of addresses that were not blocked: the whitelisted ones, or those that came close.
void summary_unblocked(const wchar_t *heading, const wchar_t *section, bool whitelisted)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < totals.rows; ++i)
        count += whitelisted ? memory->rows[i].whitelisted_ip : near_miss(memory->rows[i]);
    print_out(L"# %ls: %u\n", heading, count);
    if (count != 0)
        print_out(L"  %4ls  %14ls  %8ls  %-23ls  %-23ls  %ls\n", L"type", L"peak/threshold", L"failures",
                  L"first failure", L"last failure", L"address");
    wchar_t first[time_text_chars], last[time_text_chars], address[history_address_chars], peak[24];
    for (uint32_t i = 0; i < totals.rows; ++i) {
        const AddressRow &r = memory->rows[i];
        if (whitelisted ? !r.whitelisted_ip : !near_miss(r))
            continue;
        format_text(peak, 24, L"%u/%u", r.peak, r.peak_threshold);
        print_out(L"  %4u  %14ls  %8u  %-23ls  %-23ls  %ls%ls\n", r.peak_type, peak, r.failures,
                  event_time(r.first_failure, true, first), event_time(r.last_failure, true, last),
                  shown(r.address, address, history_address_chars),
                  r.not_blockable ? L"  (not a plain address: no filter)" : L"");
        csv_row({section, r.address,
                 static_cast<uint16_t>(cell_type | cell_peak | cell_threshold | cell_first | cell_last | cell_failures),
                 r.peak_type, 0, r.peak, r.peak_threshold, 0, r.first_failure, r.last_failure, r.failures, 0, 0, 0,
                 r.not_blockable ? not_blockable_note : nullptr});
    }
}

void summary_users()
{
    const uint64_t listed = whitelist_user.count < user_capacity ? whitelist_user.count : user_capacity;
    uint32_t count = 0;
    for (uint64_t i = 0; i < listed; ++i)
        count += memory->users[i].failures != 0;
    print_out(L"# Whitelisted user names that failed: %u\n", count);
    if (count != 0)
        print_out(L"  %14ls  %8ls  %6ls  %ls\n", L"peak/threshold", L"failures", L"blocks", L"user");
    wchar_t peak[24], name[history_address_chars];
    for (uint64_t i = 0; i < listed; ++i) {
        const UserRow &u = memory->users[i];
        if (u.failures == 0)
            continue;
        if (u.peak != 0)
            format_text(peak, 24, L"%u/%u", u.peak, u.peak_threshold);
        else
            format_text(peak, 24, L"-");
        print_out(L"  %14ls  %8u  %6u  %ls\n", peak, u.failures, u.blocks,
                  shown(whitelist_user.items[i], name, history_address_chars));
        csv_row({L"whitelisted user", whitelist_user.items[i],
                 static_cast<uint16_t>(cell_failures | cell_blocks | (u.peak != 0 ? cell_peak | cell_threshold : 0)), 0,
                 0, u.peak, u.peak_threshold, 0, 0, 0, u.failures, 0, u.blocks, 0, nullptr});
    }
}

void count_row(const wchar_t *section, const wchar_t *name, uint64_t count)
{
    csv_row({section, name, cell_count, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, count, nullptr});
}

void summary_records()
{
    wchar_t first[time_text_chars], last[time_text_chars];
    print_out(L"# Records: %llu read", totals.records);
    if (totals.records != 0)
        print_out(L", from %ls to %ls", event_time(totals.first_time, true, first), event_time(totals.last_time, true, last));
    print_out(L": %llu accepted, %llu rejected (%llu of them damaged), %llu spoofed\n", totals.accepted, totals.rejected,
              totals.damaged, totals.spoofed);
    print_out(L"# Failures ignored after a block: %llu; successful logons of whitelisted users: %llu\n", totals.held,
              totals.cleared);
    count_row(L"records", L"read", totals.records);
    count_row(L"records", L"accepted", totals.accepted);
    count_row(L"records", L"rejected", totals.rejected);
    count_row(L"records", L"damaged", totals.damaged);
    count_row(L"records", L"spoofed", totals.spoofed);
    count_row(L"records", L"ignored after a block", totals.held);
    count_row(L"records", L"successful logons of whitelisted users", totals.cleared);
    if (totals.untracked_failures != 0) {
        print_out(L"# Failures of addresses without a row (more than %u addresses, or longer than 63 characters): "
                  L"%llu, decided like the others; %u of them would have been blocked\n",
                  row_capacity, totals.untracked_failures, totals.untracked_blocks);
        count_row(L"records", L"failures of addresses without a row", totals.untracked_failures);
    }
    if (totals.untracked_user_failures != 0) {
        print_out(L"# Failures of whitelisted user names after the %uth entry of whitelist_user: %llu\n",
                  user_capacity, totals.untracked_user_failures);
        count_row(L"records", L"failures of later whitelisted user names", totals.untracked_user_failures);
    }
    // By event ID, in ascending order.
    EventCount *e = memory->events;
    for (uint32_t i = 1; i < totals.event_ids; ++i)
        for (uint32_t j = i; j > 0 && e[j - 1].id > e[j].id; --j) {
            const EventCount swap = e[j];
            e[j] = e[j - 1];
            e[j - 1] = swap;
        }
    print_out(L"# Records by event ID:%ls", totals.event_ids == 0 ? L" none" : L"");
    wchar_t id[16];
    for (uint32_t i = 0; i < totals.event_ids; ++i) {
        print_out(L"%ls %u: %llu", i == 0 ? L"" : L",", e[i].id, e[i].count);
        format_text(id, 16, L"%u", e[i].id);
        count_row(L"event ID", id, e[i].count);
    }
    if (totals.other_ids != 0) {
        print_out(L", other IDs: %llu", totals.other_ids);
        count_row(L"event ID", L"other", totals.other_ids);
    }
    print_out(L"\n");
}

void print_summary()
{
    output_gather_begin();
    set_console_color(color_heading);
    print_out(L"\n# Summary\n");
    reset_console_color();
    if (csv_file != INVALID_HANDLE_VALUE)
        csv_bytes(csv_header, sizeof(csv_header) - 1);
    summary_blocked();
    summary_unblocked(L"Whitelisted addresses, never blocked", L"whitelisted address", true);
    summary_users();
    summary_unblocked(L"Addresses that reached half their threshold or more, not blocked", L"half threshold", false);
    summary_records();
    output_gather_end();
    if (csv_file != INVALID_HANDLE_VALUE)
        csv_flush();
}

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
        format_text(where, 96, L"after %llu records (the last one read: number %u)", totals.records, totals.last_number);
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
    totals.limited = options.file == nullptr;
    totals.oldest = oldest;
    totals.number = number;
    totals.next_number = oldest;
    if (options.csv_path != nullptr) {
        // A new file only: a replay never overwrites what is there.
        csv_file = CreateFileW(options.csv_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (csv_file == INVALID_HANDLE_VALUE) {
            const DWORD error = last_error(ERROR_GEN_FAILURE);
            set_console_color(color_error);
            print_out(L"!! CreateFileW() FAILED %u: %.1000ls%ls\n", error, options.csv_path,
                      error == ERROR_FILE_EXISTS ? L" exists; the CSV file is never overwritten" : L"");
            restore_console_color();
            return error;
        }
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
                  totals.damaged, totals.first_damaged, ERROR_EVENTLOG_FILE_CORRUPT);
        restore_console_color();
        error = ERROR_EVENTLOG_FILE_CORRUPT;
    }
    if (csv_file != INVALID_HANDLE_VALUE && csv_error != 0) {
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
    if (memory == nullptr) {
        const DWORD error = last_error(ERROR_NOT_ENOUGH_MEMORY);
        error_line(L"VirtualAlloc()", error, L"no memory for the replay");
        return static_cast<int>(error);
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
    // Closed in a fixed order: the CSV file, the log, then the memory.
    if (csv_file != INVALID_HANDLE_VALUE)
        CloseHandle(csv_file);
    csv_file = INVALID_HANDLE_VALUE;
    if (log != nullptr)
        CloseEventLog(log);
    VirtualFree(memory, 0, MEM_RELEASE);
    memory = nullptr;
    return static_cast<int>(result);
}
