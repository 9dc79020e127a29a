// What a replay keeps for its summary: a row per address, per whitelisted user name and per
// event ID, and the totals; and the summary that it prints, with its CSV form. Fixed tables,
// allocated once for the replay.
#pragma once
#include <windows.h>
#include <cstdint>
#include "engine/failure_history.h"

// Addresses with a row in the summary; later addresses are decided and counted without one.
constexpr uint32_t row_capacity = 16384;
// Entries of whitelist_user with a row; failures of later entries are counted without one.
constexpr uint32_t user_capacity = 1024;

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

// What the summary counts of the records read.
struct ReplayTotals {
    uint64_t records, accepted, rejected, spoofed, held, cleared, untracked_failures, untracked_user_failures,
        other_ids;
    uint32_t rows, blocked_rows, event_ids, untracked_blocks;
    DWORD first_time, last_time;  // earliest and latest TimeGenerated of the records read
    uint64_t damaged;             // records skipped as damaged
};

// The totals: written by the replay on the main thread, read by its summary; for the one
// replay of the process.
extern ReplayTotals replay_totals;

// Allocates the tables, zero-filled; 0 or a Win32 error code.
DWORD open_tally();
// Creates the CSV file, a new one only (a replay never overwrites what is there); 0 or the
// Win32 error code, after its error line.
DWORD open_csv(const wchar_t *path);
// Closes the CSV file, then frees the tables, each if there.
void close_tally();
// The row of an address, added when it is new; null when the table is full or the address does
// not fit a row (the failure history gives such an address no slot either).
AddressRow *address_row(const wchar_t *address);
// The row of a user name of whitelist_user; null for other names and for entries past the table.
UserRow *user_row(const wchar_t *user);
// Counts a record of the event ID.
void count_event_id(DWORD id);
// Keeps the count that came closest to its threshold (attempts / threshold above peak /
// peak_threshold); whether it was taken.
bool note_peak(uint32_t &peak, uint32_t &peak_threshold, uint32_t attempts, DWORD threshold);
// Takes the row's first block into the order of the blocked addresses.
void note_first_block(const AddressRow &row);
// Prints the summary (and writes its CSV rows, when there is a CSV file).
void print_summary();
// The first failed write of the CSV file; 0 when none failed.
DWORD csv_write_error();
