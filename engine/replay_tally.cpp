// The replay's tables and its summary: addresses found through a hash index, rows kept in the
// order they came, the CSV file written through one buffer.
#include "engine/replay_tally.h"
#include "engine/logon_event.h"
#include "config/config.h"
#include "config/text_case.h"
#include "console/output.h"
#include <cwchar>

ReplayTotals replay_totals;

namespace {

// Hash index of the rows: a power of two, twice the rows, so that probes stay short.
constexpr uint32_t index_slots = 32768;
// Distinct event IDs counted one by one; the others are counted together.
constexpr uint32_t event_id_capacity = 64;
// The CSV file is written through a buffer of this many bytes.
constexpr DWORD csv_buffer_bytes = 65536;

struct EventCount {
    DWORD id;
    uint64_t count;
};

// The tables, allocated at once by open_tally (zero-filled; pages are committed as they are
// touched) and freed by close_tally.
struct Tables {
    AddressRow rows[row_capacity];
    uint32_t index[index_slots];         // row number + 1, or 0 for a free slot
    uint32_t block_order[row_capacity];  // rows by their first block
    UserRow users[user_capacity];
    EventCount events[event_id_capacity];
    char csv[csv_buffer_bytes];
};

// Written and read on the main thread, for the one replay of the process.
Tables *tables = nullptr;
ReplayTotals &totals = replay_totals;
HANDLE csv_file = INVALID_HANDLE_VALUE;
DWORD csv_used = 0;
DWORD csv_error = 0;                 // the first failed write; the rest is not written

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
    if (csv_error == 0 && csv_used != 0 && (!WriteFile(csv_file, tables->csv, csv_used, &done, nullptr) || done != csv_used))
        csv_error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    csv_used = 0;
}

void csv_bytes(const char *bytes, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        if (csv_used == csv_buffer_bytes)
            csv_flush();
        tables->csv[csv_used++] = bytes[i];
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
        const AddressRow &r = tables->rows[tables->block_order[i]];
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
        count += whitelisted ? tables->rows[i].whitelisted_ip : near_miss(tables->rows[i]);
    print_out(L"# %ls: %u\n", heading, count);
    if (count != 0)
        print_out(L"  %4ls  %14ls  %8ls  %-23ls  %-23ls  %ls\n", L"type", L"peak/threshold", L"failures",
                  L"first failure", L"last failure", L"address");
    wchar_t first[time_text_chars], last[time_text_chars], address[history_address_chars], peak[24];
    for (uint32_t i = 0; i < totals.rows; ++i) {
        const AddressRow &r = tables->rows[i];
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
        count += tables->users[i].failures != 0;
    print_out(L"# Whitelisted user names that failed: %u\n", count);
    if (count != 0)
        print_out(L"  %14ls  %8ls  %6ls  %ls\n", L"peak/threshold", L"failures", L"blocks", L"user");
    wchar_t peak[24], name[history_address_chars];
    for (uint64_t i = 0; i < listed; ++i) {
        const UserRow &u = tables->users[i];
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
    EventCount *e = tables->events;
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

} // namespace

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

DWORD open_tally()
{
    tables = static_cast<Tables *>(VirtualAlloc(nullptr, sizeof(Tables), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    return tables != nullptr ? 0 : GetLastError() != 0 ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
}

DWORD open_csv(const wchar_t *path)
{
    csv_file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (csv_file != INVALID_HANDLE_VALUE)
        return 0;
    const DWORD error = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    set_console_color(color_error);
    print_out(L"!! CreateFileW() FAILED %u: %.1000ls%ls\n", error, path,
              error == ERROR_FILE_EXISTS ? L" exists; the CSV file is never overwritten" : L"");
    restore_console_color();
    return error;
}

void close_tally()
{
    if (csv_file != INVALID_HANDLE_VALUE)
        CloseHandle(csv_file);
    csv_file = INVALID_HANDLE_VALUE;
    if (tables != nullptr)
        VirtualFree(tables, 0, MEM_RELEASE);
    tables = nullptr;
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
    for (uint32_t at = tables->index[slot]; at != 0; at = tables->index[slot]) {
        AddressRow &row = tables->rows[at - 1];
        if (row.key == key && equal_ignoring_case(row.address, address))
            return &row;
        slot = (slot + 1) & (index_slots - 1);
    }
    if (totals.rows == row_capacity)
        return nullptr;
    AddressRow &row = tables->rows[totals.rows++];
    wcscpy_s(row.address, history_address_chars, address);
    row.key = key;
    tables->index[slot] = totals.rows;
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
    return &tables->users[index];
}

void count_event_id(DWORD id)
{
    for (uint32_t i = 0; i < totals.event_ids; ++i)
        if (tables->events[i].id == id) {
            ++tables->events[i].count;
            return;
        }
    if (totals.event_ids == event_id_capacity)
        ++totals.other_ids;
    else
        tables->events[totals.event_ids++] = {id, 1};
}

void note_first_block(const AddressRow &row)
{
    tables->block_order[totals.blocked_rows++] = static_cast<uint32_t>(&row - tables->rows);
}

DWORD csv_write_error()
{
    return csv_file != INVALID_HANDLE_VALUE ? csv_error : 0;
}
