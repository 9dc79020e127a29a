// Test helper: builds EVENTLOGRECORD images as the classic event log stores them, and places
// bytes right before an inaccessible page so that any read past them crashes the test.
#pragma once
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>

namespace test_records {

struct RecordSpec {
    DWORD event_id = 4625;
    WORD event_type = EVENTLOG_AUDIT_FAILURE;
    WORD category = 12544;
    DWORD time_generated = 1651241109;
    std::vector<std::wstring> strings;
};

// Header, source and computer names, the insertion strings, padding to 4, the closing Length.
inline std::vector<BYTE> build_record(const RecordSpec &spec)
{
    std::vector<BYTE> bytes(sizeof(EVENTLOGRECORD));
    auto append_text = [&bytes](const std::wstring &text) {
        const BYTE *p = reinterpret_cast<const BYTE *>(text.c_str());
        bytes.insert(bytes.end(), p, p + (text.size() + 1) * sizeof(wchar_t));
    };
    append_text(L"Microsoft-Windows-Security-Auditing");
    append_text(L"HOST");
    while (bytes.size() % 4 != 0)
        bytes.push_back(0);
    DWORD string_offset = static_cast<DWORD>(bytes.size());
    for (const std::wstring &s : spec.strings)
        append_text(s);
    while (bytes.size() % 4 != 0)
        bytes.push_back(0);
    DWORD length = static_cast<DWORD>(bytes.size() + sizeof(DWORD));
    bytes.resize(length);
    std::memcpy(bytes.data() + length - sizeof(DWORD), &length, sizeof(DWORD));

    EVENTLOGRECORD header = {};
    header.Length = length;
    header.Reserved = 0x654c664c; // "LfLe"
    header.RecordNumber = 1;
    header.TimeGenerated = spec.time_generated;
    header.TimeWritten = spec.time_generated;
    header.EventID = spec.event_id;
    header.EventType = spec.event_type;
    header.NumStrings = static_cast<WORD>(spec.strings.size());
    header.EventCategory = spec.category;
    header.StringOffset = string_offset;
    header.DataOffset = length - sizeof(DWORD);
    std::memcpy(bytes.data(), &header, sizeof(header));
    return bytes;
}

inline EVENTLOGRECORD &header_of(std::vector<BYTE> &bytes) { return *reinterpret_cast<EVENTLOGRECORD *>(bytes.data()); }

// Strings count with text at position address and logon type at its position, others "sK".
inline std::vector<std::wstring> strings_with(size_t count, size_t address_at, const std::wstring &address,
                                              size_t type_at, const std::wstring &type)
{
    std::vector<std::wstring> strings;
    for (size_t k = 0; k < count; ++k)
        strings.push_back(L"s" + std::to_wstring(k));
    if (address_at < count)
        strings[address_at] = address;
    if (type_at < count)
        strings[type_at] = type;
    return strings;
}

// Two pages, the second inaccessible; copies bytes so they end exactly at the boundary.
class GuardedBytes {
public:
    GuardedBytes()
    {
        base_ = static_cast<BYTE *>(VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        if (base_ != nullptr)
            VirtualProtect(base_ + page, page, PAGE_NOACCESS, &old);
    }
    ~GuardedBytes()
    {
        if (base_ != nullptr)
            VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;
    bool ready() const { return base_ != nullptr; }
    // The copy's first byte; nullptr if the bytes exceed a page.
    BYTE *place(const void *bytes, size_t size)
    {
        if (size > page)
            return nullptr;
        BYTE *at = base_ + page - size;
        std::memcpy(at, bytes, size);
        return at;
    }
    BYTE *place(const std::vector<BYTE> &bytes) { return place(bytes.data(), bytes.size()); }
    static constexpr size_t page = 4096;

private:
    BYTE *base_ = nullptr;
};

} // namespace test_records
