// Reads back what the program reported to the simulated Application log under its own source.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct AppRecord {
    DWORD event_id;
    WORD type;
    WORD category;
    std::vector<std::wstring> strings;
    std::string data;
};

inline std::vector<AppRecord> read_own_reports()
{
    std::vector<AppRecord> records;
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    static BYTE buffer[65536]; // every simulated record fits one read
    DWORD read = 0, needed = 0;
    while (log != nullptr &&
           ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer, sizeof(buffer), &read, &needed))
        for (DWORD at = 0; at < read; at += reinterpret_cast<const EVENTLOGRECORD *>(buffer + at)->Length) {
            const BYTE *base = buffer + at;
            const auto *r = reinterpret_cast<const EVENTLOGRECORD *>(base);
            if (std::wstring(reinterpret_cast<const wchar_t *>(r + 1)) != L"tosmire.IPS")
                continue;
            AppRecord own = {r->EventID, r->EventType, r->EventCategory, {},
                             std::string(reinterpret_cast<const char *>(base + r->DataOffset), r->DataLength)};
            const wchar_t *s = reinterpret_cast<const wchar_t *>(base + r->StringOffset);
            for (WORD i = 0; i < r->NumStrings; ++i, s += own.strings.back().size() + 1)
                own.strings.emplace_back(s);
            records.push_back(own);
        }
    if (log != nullptr)
        CloseEventLog(log);
    return records;
}
