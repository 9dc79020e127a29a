// Test helper: builds EVENTLOGRECORD images as the classic event log stores them, and places
// bytes right before an inaccessible page so that any read past them crashes the test.
#pragma once
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>

namespace test_records {

struct RecordSpec {
    DWORD event_id;
    WORD event_type;
    WORD category;
    DWORD time_generated;
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
    bytes.resize((bytes.size() + 3) & ~size_t{3});
    EVENTLOGRECORD header = {};
    header.StringOffset = static_cast<DWORD>(bytes.size());
    for (const std::wstring &s : spec.strings)
        append_text(s);
    bytes.resize(((bytes.size() + 3) & ~size_t{3}) + sizeof(DWORD));
    header.Length = header.DataOffset = static_cast<DWORD>(bytes.size());
    std::memcpy(bytes.data() + header.Length - sizeof(DWORD), &header.Length, sizeof(DWORD));
    header.Reserved = 0x654c664c; // "LfLe"
    header.TimeGenerated = header.TimeWritten = spec.time_generated;
    header.EventID = spec.event_id;
    header.EventType = spec.event_type;
    header.NumStrings = static_cast<WORD>(spec.strings.size());
    header.EventCategory = spec.category;
    std::memcpy(bytes.data(), &header, sizeof(header));
    return bytes;
}

inline EVENTLOGRECORD &header_of(std::vector<BYTE> &bytes) { return *reinterpret_cast<EVENTLOGRECORD *>(bytes.data()); }

// count strings "s0", "s1", ... with address and logon type at their positions (if below count).
inline std::vector<std::wstring> strings_with(size_t count, size_t address_at, const std::wstring &address,
                                              size_t type_at, const std::wstring &type)
{
    std::vector<std::wstring> strings;
    for (size_t k = 0; k < count; ++k)
        strings.push_back(k == address_at ? address : k == type_at ? type : L"s" + std::to_wstring(k));
    return strings;
}

// Two pages, the second inaccessible; place() copies bytes so that they end at the boundary.
class GuardedBytes {
public:
    GuardedBytes() : base_(static_cast<BYTE *>(VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
    {
        DWORD old = 0;
        VirtualProtect(base_ + page, page, PAGE_NOACCESS, &old);
    }
    ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;
    // The copy's first byte; null if the bytes exceed a page.
    BYTE *place(const void *bytes, size_t size)
    {
        if (size > page)
            return nullptr;
        std::memcpy(base_ + page - size, bytes, size);
        return base_ + page - size;
    }
    BYTE *place(const std::vector<BYTE> &bytes) { return place(bytes.data(), bytes.size()); }
    static constexpr size_t page = 4096;

private:
    BYTE *base_;
};

} // namespace test_records
