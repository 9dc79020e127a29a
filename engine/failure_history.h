// Failure history: per-address failure counts inside a sliding window, with a hold after a block.
#pragma once
#include <windows.h>
#include <cstdint>
#include <type_traits>

constexpr uint32_t history_slots = 1024;
constexpr uint32_t history_address_chars = 64;
// The attempts value of a blocked slot, and the result for a held address.
constexpr uint32_t blocked = 0xFFFFFFFFu;
// A failure more than this long after the previous one starts a new count (seconds).
constexpr uint32_t history_window = 1980;
// How long after a block the address's failures are ignored (seconds).
constexpr uint32_t history_hold = 15;

// Time is uint32_t (seconds since 1970) or uint64_t (seconds since 1601); the time arguments
// below take the table's width, whatever integer the caller passes.
// Only slots below count are in use; the others may hold stale data. Addresses are the same
// when equal_ignoring_case (config/text_case.h) says so.
// key[i] is address_key of address[i]: a search scans these 4 bytes per slot (a 128-byte slot
// costs a cache line each) and compares texts only where the key matches.
template <typename Time>
struct FailureHistory {
    wchar_t address[history_slots][history_address_chars];
    Time last_time[history_slots];
    uint32_t attempts[history_slots];
    // When a block of the slot's address last failed; 0 when none did since the slot was taken.
    Time block_failed_at[history_slots];
    // The computers the address failed on in its current count, one bit each (engine/server_names);
    // emptied whenever a count starts at 1.
    uint64_t servers[history_slots];
    Time window;
    Time hold;
    uint32_t count;
    alignas(16) uint32_t key[history_slots];
};

// The Security log's table, written and read on the main thread only (the loop and its block
// decision), and the Remote Desktop monitor's table, written and read only by its subscription
// callback. Both are empty, with window and hold set, before the program's main entry runs, and
// live for the whole process.
extern FailureHistory<uint32_t> logon_failures;
extern FailureHistory<uint64_t> rdp_failures;

// Empties a table and sets window 1980 and hold 15.
template <typename Time> void init_history(FailureHistory<Time> &history);
// Counts a failure of address at now; the new attempt count, or blocked while held.
// An address longer than 63 characters has no slot: it counts 1 every time and is never held.
template <typename Time> uint32_t record_failure(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> now);
// Marks the address's slot blocked at time; nothing without a slot.
template <typename Time> void mark_blocked(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> time);
// Remembers that blocking the address failed at time: block_due holds the next try off for
// hold seconds, so that a failing netsh is not started for every failure. Nothing without a slot.
template <typename Time> void mark_block_failed(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> time);
// Whether a block of the address may be tried at now: no failed block, or the last one more
// than hold seconds before now.
template <typename Time> bool block_due(const FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> now);
// Adds the bits of servers to the computers of the address's current count; the bits it holds
// now, or 0 without a slot.
template <typename Time> uint64_t note_servers(FailureHistory<Time> &history, const wchar_t *address, uint64_t servers);
// Sets the address's slot back to 0 attempts; whether a slot was found.
template <typename Time> bool clear_entry(FailureHistory<Time> &history, const wchar_t *address);
// Forgets every entry (count 0).
template <typename Time> void reset_history(FailureHistory<Time> &history);
// Hash of an address text; texts that equal_ignoring_case holds equal have equal keys.
uint32_t address_key(const wchar_t *address);
