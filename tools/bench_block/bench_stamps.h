// The block benchmark's shared mapping: one performance-counter value per slot, written by the
// probe netsh (its entry) and by the benchmark's build of the program (the rest), read by
// bench_block, which zeroes them before every record it appends.
#pragma once

// Name of the mapping that bench_block creates before it starts the program.
constexpr wchar_t bench_mapping_name[] = L"Local\\tosmire-bench-probe";
constexpr int bench_slot_netsh_entry = 0;    // probe netsh: its entry point ran
constexpr int bench_slot_arrival = 1;        // program: its last Event wait returned on the calling thread
constexpr int bench_slot_create = 2;         // program: CreateProcessW was called
constexpr int bench_slot_overhead = 3;       // program: counter ticks of the stamping itself in between
constexpr int bench_slot_other_waits = 4;    // program: other waits in between (a count, not a time)
constexpr int bench_slot_block_thread = 5;   // program: id of the thread of its last CreateProcessW
constexpr int bench_slot_waiting = 6;        // program: that thread's id while it waits on an Event, else 0
constexpr int bench_stamp_slots = 5;         // slots 0 to 4, zeroed by bench_block before every record
