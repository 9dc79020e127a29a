// Reads back the records that the program reported to the (simulated) Application log.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct AppRecord {
    DWORD event_id = 0;
    WORD type = 0;
    WORD category = 0;
    std::wstring source;
    std::vector<std::wstring> strings;
    std::string data;
};

// Every record of the Application log, oldest first; empty when the log cannot be read.
inline std::vector<AppRecord> read_application_log()
{
    std::vector<AppRecord> records;
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    if (log == nullptr)
        return records;
    std::vector<BYTE> buffer(65536);
    for (;;) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &read, &needed)) {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
                buffer.resize(needed);
                continue;
            }
            break;
        }
        for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read;) {
            const auto *record = reinterpret_cast<const EVENTLOGRECORD *>(buffer.data() + at);
            if (record->Length < sizeof(EVENTLOGRECORD) || at + record->Length > read)
                break;
            const BYTE *base = buffer.data() + at;
            AppRecord r;
            r.event_id = record->EventID;
            r.type = record->EventType;
            r.category = record->EventCategory;
            r.source = reinterpret_cast<const wchar_t *>(base + sizeof(EVENTLOGRECORD));
            const wchar_t *s = reinterpret_cast<const wchar_t *>(base + record->StringOffset);
            for (WORD i = 0; i < record->NumStrings; ++i) {
                r.strings.emplace_back(s);
                s += r.strings.back().size() + 1;
            }
            r.data.assign(reinterpret_cast<const char *>(base + record->DataOffset), record->DataLength);
            records.push_back(r);
            at += record->Length;
        }
    }
    CloseEventLog(log);
    return records;
}

// The records of our own source only.
inline std::vector<AppRecord> read_own_reports()
{
    std::vector<AppRecord> own;
    for (AppRecord &r : read_application_log())
        if (r.source == L"tosmire.IPS")
            own.push_back(r);
    return own;
}
