// Test helper: Security-log logon records as the simulated log builds them, and a place right
// before an inaccessible page, so that any read past the bytes placed there crashes the test.
#pragma once
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>
#include "tools/evtsim/evtsim.h"

// One shape of logon record: where its address, logon type and user sit among its strings.
struct EventKind {
    DWORD id;
    WORD type, category, strings, address_at, type_at;
    WORD user_at = 0xFFFF; // none
};
constexpr EventKind e4625 = {4625, EVENTLOG_AUDIT_FAILURE, 12544, 21, 19, 10, 5},
                    e4624 = {4624, EVENTLOG_AUDIT_SUCCESS, 12544, 27, 18, 8, 5},
                    e528 = {528, EVENTLOG_AUDIT_SUCCESS, 2, 15, 13, 3, 0},
                    e529 = {529, EVENTLOG_AUDIT_FAILURE, 2, 13, 11, 2, 0},
                    e539 = {539, EVENTLOG_AUDIT_FAILURE, 2, 13, 11, 2, 0},
                    e4776 = {4776, EVENTLOG_AUDIT_FAILURE, 14336, 4, 2, 9, 1}; // no logon type

// A record of that shape at time, written on computer; its user is user when given, and its
// other strings are "s0", "s1", ... after their positions.
inline std::vector<BYTE> build_record(const EventKind &kind, const wchar_t *address, const wchar_t *logon_type = L"3",
                                      DWORD time = 1651241109, const wchar_t *user = nullptr,
                                      const wchar_t *computer = L"HOST")
{
    std::vector<std::wstring> text;
    std::vector<const wchar_t *> strings;
    for (WORD k = 0; k < kind.strings; ++k)
        text.push_back(k == kind.address_at           ? address
                       : k == kind.type_at            ? logon_type
                       : k == kind.user_at && user    ? user
                                                      : L"s" + std::to_wstring(k));
    for (const std::wstring &s : text)
        strings.push_back(s.c_str());
    SimRecord fields = {L"Microsoft-Windows-Security-Auditing", computer, kind.id, kind.type, kind.category, time,
                        nullptr, kind.strings, strings.data(), nullptr, 0};
    std::vector<BYTE> bytes(sim_max_record_size);
    DWORD length = 0;
    bytes.resize(sim_build_record(fields, bytes.data(), sim_max_record_size, &length) == 0 ? length : 0);
    return bytes;
}

inline EVENTLOGRECORD &header_of(std::vector<BYTE> &bytes) { return *reinterpret_cast<EVENTLOGRECORD *>(bytes.data()); }

// Copies the bytes (at most 60 KiB) so that they end where an inaccessible page begins.
inline BYTE *place_against_guard(const void *bytes, size_t size)
{
    constexpr size_t room = 15 * 4096;
    static BYTE *const base =
        static_cast<BYTE *>(VirtualAlloc(nullptr, room + 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    static DWORD old = 0;
    static const bool guarded = base != nullptr && VirtualProtect(base + room, 4096, PAGE_NOACCESS, &old);
    return size > room || !guarded ? nullptr : static_cast<BYTE *>(std::memcpy(base + room - size, bytes, size));
}
