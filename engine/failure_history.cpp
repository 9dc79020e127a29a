// Failure history: a fixed table of addresses searched linearly; never allocates.
#include "engine/failure_history.h"
#include "config/text_case.h"
#include <emmintrin.h>
#include <cwchar>

FailureHistory<uint32_t> logon_failures;
FailureHistory<uint64_t> rdp_failures;

namespace {
// Both tables live in zero-filled storage (a constant initialiser would put 270 KB into the
// executable's data); window and hold are set before any thread can use them.
struct HistoryStartup {
    HistoryStartup()
    {
        init_history(logon_failures);
        init_history(rdp_failures);
    }
};
HistoryStartup history_startup;

// FNV-1a step over one upper-cased code unit.
inline uint32_t key_step(uint32_t hash, wchar_t upper) { return (hash ^ upper) * 16777619u; }

// The key of a text with non-ASCII code units: upper-cased by the system's file-system casing,
// the table of the ordinal comparison (equal_ignoring_case), which may map a non-ASCII
// character onto an ASCII letter. Per code unit, so a text is mapped in pieces.
uint32_t key_of_mapped(const wchar_t *address)
{
    uint32_t hash = 2166136261u;
    size_t length = 0;
    while (address[length] != 0) {
        wchar_t piece[64];
        int n = static_cast<int>(wcsnlen(address + length, 64));
        if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, address + length, n, piece, 64, nullptr, nullptr, 0) != n)
            return 0; // cannot happen for the invariant locale; key 0 only costs text comparisons
        for (int i = 0; i < n; ++i)
            hash = key_step(hash, piece[i]);
        length += static_cast<size_t>(n);
    }
    return hash ^ static_cast<uint32_t>(length);
}

// Index of the first slot in use holding address (whose key is key), or -1. The keys are
// compared sixteen at a time; a text comparison follows only a matching key.
template <typename Time> int find_slot(const FailureHistory<Time> &history, const wchar_t *address, uint32_t key)
{
    const uint32_t count = history.count;
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(key));
    const __m128i *keys = reinterpret_cast<const __m128i *>(history.key);
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16, keys += 4) {
        __m128i a = _mm_cmpeq_epi32(_mm_load_si128(keys), wanted);
        __m128i b = _mm_cmpeq_epi32(_mm_load_si128(keys + 1), wanted);
        __m128i c = _mm_cmpeq_epi32(_mm_load_si128(keys + 2), wanted);
        __m128i d = _mm_cmpeq_epi32(_mm_load_si128(keys + 3), wanted);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0)
            continue;
        for (uint32_t slot = i; slot < i + 16; ++slot)
            if (history.key[slot] == key && equal_ignoring_case(history.address[slot], address))
                return static_cast<int>(slot);
    }
    for (; i < count; ++i)
        if (history.key[i] == key && equal_ignoring_case(history.address[i], address))
            return static_cast<int>(i);
    return -1;
}

// A slot holds at most 63 characters; a longer address is not storable.
bool storable(const wchar_t *address)
{
    return address != nullptr && wcsnlen(address, history_address_chars) < history_address_chars;
}
} // namespace

uint32_t address_key(const wchar_t *address)
{
    // ASCII texts, the usual case, are folded inline.
    uint32_t hash = 2166136261u;
    size_t length = 0;
    for (; address[length] != 0; ++length) {
        wchar_t c = address[length];
        if (c >= 0x80)
            return key_of_mapped(address);
        hash = key_step(hash, (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c);
    }
    return hash ^ static_cast<uint32_t>(length);
}

template <typename Time> void init_history(FailureHistory<Time> &history)
{
    history.window = history_window;
    history.hold = history_hold;
    history.count = 0;
}

template <typename Time> uint32_t record_failure(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> now)
{
    // Truncating a long address could merge two attackers into one slot; counting it without a
    // slot keeps them apart (such texts are not addresses of the Windows logs anyway).
    if (!storable(address))
        return 1;
    const uint32_t key = address_key(address);
    int found = find_slot(history, address, key);
    uint32_t slot;
    if (found >= 0) {
        slot = static_cast<uint32_t>(found);
    } else {
        slot = history.count;
        // When the table would be full, the whole history is forgotten at once.
        history.count = (history.count + 1 == history_slots) ? 0 : history.count + 1;
        wcscpy_s(history.address[slot], history_address_chars, address);
        history.key[slot] = key;
        history.last_time[slot] = now;
        history.attempts[slot] = 0;
        history.block_failed_at[slot] = 0;
    }
    // Differences wrap in the width of Time: a clock going backwards reads as elapsed.
    Time elapsed = static_cast<Time>(now - history.last_time[slot]);
    if (history.attempts[slot] == blocked) {
        if (elapsed <= history.hold)
            return blocked;
        history.attempts[slot] = 0;
    }
    uint32_t attempts;
    if (elapsed > history.window)
        attempts = 1;
    else if (history.attempts[slot] < blocked - 1)
        attempts = history.attempts[slot] + 1;
    else
        attempts = blocked - 1; // a count never turns into the blocked marker
    if (attempts == 1)
        history.servers[slot] = 0;
    history.last_time[slot] = now;
    history.attempts[slot] = attempts;
    return attempts;
}

template <typename Time> void mark_blocked(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> time)
{
    if (!storable(address))
        return;
    int slot = find_slot(history, address, address_key(address));
    if (slot < 0)
        return;
    history.last_time[slot] = time;
    history.attempts[slot] = blocked;
}

template <typename Time> void mark_block_failed(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> time)
{
    if (!storable(address))
        return;
    int slot = find_slot(history, address, address_key(address));
    if (slot >= 0)
        history.block_failed_at[slot] = time;
}

template <typename Time> bool block_due(const FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> now)
{
    if (!storable(address))
        return true;
    int slot = find_slot(history, address, address_key(address));
    if (slot < 0 || history.block_failed_at[slot] == 0)
        return true;
    // Wraps like record_failure: a clock going backwards reads as elapsed.
    return static_cast<Time>(now - history.block_failed_at[slot]) > history.hold;
}

template <typename Time> uint64_t note_servers(FailureHistory<Time> &history, const wchar_t *address, uint64_t servers)
{
    if (!storable(address))
        return 0;
    int slot = find_slot(history, address, address_key(address));
    return slot < 0 ? 0 : (history.servers[slot] |= servers);
}

template <typename Time> bool clear_entry(FailureHistory<Time> &history, const wchar_t *address)
{
    if (!storable(address))
        return false;
    int slot = find_slot(history, address, address_key(address));
    if (slot < 0)
        return false;
    history.last_time[slot] = 0;
    history.attempts[slot] = 0;
    return true;
}

template <typename Time> void reset_history(FailureHistory<Time> &history)
{
    history.count = 0;
}

template void init_history(FailureHistory<uint32_t> &);
template void init_history(FailureHistory<uint64_t> &);
template uint32_t record_failure(FailureHistory<uint32_t> &, const wchar_t *, uint32_t);
template uint32_t record_failure(FailureHistory<uint64_t> &, const wchar_t *, uint64_t);
template void mark_blocked(FailureHistory<uint32_t> &, const wchar_t *, uint32_t);
template void mark_blocked(FailureHistory<uint64_t> &, const wchar_t *, uint64_t);
template void mark_block_failed(FailureHistory<uint32_t> &, const wchar_t *, uint32_t);
template void mark_block_failed(FailureHistory<uint64_t> &, const wchar_t *, uint64_t);
template bool block_due(const FailureHistory<uint32_t> &, const wchar_t *, uint32_t);
template bool block_due(const FailureHistory<uint64_t> &, const wchar_t *, uint64_t);
template uint64_t note_servers(FailureHistory<uint32_t> &, const wchar_t *, uint64_t);
template bool clear_entry(FailureHistory<uint32_t> &, const wchar_t *);
template bool clear_entry(FailureHistory<uint64_t> &, const wchar_t *);
template void reset_history(FailureHistory<uint32_t> &);
template void reset_history(FailureHistory<uint64_t> &);
