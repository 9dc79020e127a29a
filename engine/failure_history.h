// Failure history: per-address failure counts inside a sliding window, with a hold after a block.
#pragma once
#include <windows.h>
#include <cstdint>

constexpr uint32_t history_slots = 1024;
constexpr uint32_t history_address_chars = 64;
// The attempts value of a blocked slot, and the result for a held address.
constexpr uint32_t blocked = 0xFFFFFFFFu;

// Time is uint32_t (seconds since 1970) or uint64_t (seconds since 1601).
template <typename Time>
struct FailureHistory {
    wchar_t address[history_slots][history_address_chars];
    Time last_time[history_slots];
    uint32_t attempts[history_slots];
    Time window;
    Time hold;
    uint32_t count;
};

// The Security log's table (main thread) and the Remote Desktop monitor's table (its callback).
extern FailureHistory<uint32_t> logon_failures;
extern FailureHistory<uint64_t> rdp_failures;

// Empties a table and sets window 1980 and hold 15.
template <typename Time> void init_history(FailureHistory<Time> &history);
// Counts a failure of address at now; the new attempt count, or blocked while held.
template <typename Time> uint32_t record_failure(FailureHistory<Time> &history, const wchar_t *address, Time now);
// Marks the address's slot blocked at time; nothing without a slot.
template <typename Time> void mark_blocked(FailureHistory<Time> &history, const wchar_t *address, Time time);
// Sets the address's slot back to 0 attempts; whether a slot was found.
template <typename Time> bool clear_entry(FailureHistory<Time> &history, const wchar_t *address);
// Forgets every entry (count 0).
template <typename Time> void reset_history(FailureHistory<Time> &history);
