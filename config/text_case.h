// The program's one text comparison that ignores letter case: user names, addresses and
// logon types are compared as Windows compares account names.
#pragma once
#include <windows.h>

// Whole texts equal, ignoring letter case: ordinal, one character against one character after
// upper-casing each, as CompareStringOrdinal(..., TRUE) does, in any script. Nothing expands
// ("ß" is not "SS") and nothing is normalised (a precomposed "ü" is not "u" with a combining
// diaeresis). A null text equals nothing.
bool equal_ignoring_case(const wchar_t *a, const wchar_t *b);
