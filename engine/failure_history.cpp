// Failure history: a fixed table of addresses searched linearly; never allocates.
#include "engine/failure_history.h"
#include "config/text_case.h"
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

// Index of the first slot in use holding address, or -1.
template <typename Time> int find_slot(const FailureHistory<Time> &history, const wchar_t *address)
{
    for (uint32_t i = 0; i < history.count; ++i)
        if (equal_ignoring_case(history.address[i], address))
            return static_cast<int>(i);
    return -1;
}

// A slot holds at most 63 characters; a longer address is not storable.
bool storable(const wchar_t *address)
{
    return address != nullptr && wcsnlen(address, history_address_chars) < history_address_chars;
}
} // namespace

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
    int found = find_slot(history, address);
    uint32_t slot;
    if (found >= 0) {
        slot = static_cast<uint32_t>(found);
    } else {
        slot = history.count;
        // When the table would be full, the whole history is forgotten at once.
        history.count = (history.count + 1 == history_slots) ? 0 : history.count + 1;
        wcscpy_s(history.address[slot], history_address_chars, address);
        history.last_time[slot] = now;
        history.attempts[slot] = 0;
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
    history.last_time[slot] = now;
    history.attempts[slot] = attempts;
    return attempts;
}

template <typename Time> void mark_blocked(FailureHistory<Time> &history, const wchar_t *address, std::type_identity_t<Time> time)
{
    if (!storable(address))
        return;
    int slot = find_slot(history, address);
    if (slot < 0)
        return;
    history.last_time[slot] = time;
    history.attempts[slot] = blocked;
}

template <typename Time> bool clear_entry(FailureHistory<Time> &history, const wchar_t *address)
{
    if (!storable(address))
        return false;
    int slot = find_slot(history, address);
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
template bool clear_entry(FailureHistory<uint32_t> &, const wchar_t *);
template bool clear_entry(FailureHistory<uint64_t> &, const wchar_t *);
template void reset_history(FailureHistory<uint32_t> &);
template void reset_history(FailureHistory<uint64_t> &);
