// The computers that failed logons came from, each a bit of a failure history slot's servers:
// bit 0 this computer, bits 1 to 62 the first 62 other computers seen, bit 63 all later ones.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

// This computer's NetBIOS name, read once (GetComputerNameW) into name (empty when it cannot be
// read); 0 or the error of that read. Main thread only.
DWORD this_computer_name(const wchar_t **name);
// The bit of a computer, whose name is a checked one (at most 255 characters); null: this
// computer. Main thread only, as the table of names it fills, which lives for the process.
uint64_t server_bit(const wchar_t *computer);
// Whether servers names a computer other than this one.
inline bool names_other_servers(uint64_t servers) { return (servers & ~uint64_t{1}) != 0; }
// The names of the computers in servers, in the order they were first seen, joined by ", ",
// "other computers" for bit 63, into out (capacity in characters; the names that do not fit
// are left out); its length.
size_t format_server_names(uint64_t servers, wchar_t *out, size_t capacity);
