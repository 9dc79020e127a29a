// EVENTLOGRECORD layout: the fixed part, source and computer names, the SID at a DWORD
// boundary, the insertion strings, the raw data, padding to a DWORD, and the length again.
#include "tools/evtsim/evtsim.h"
#include <cwchar>

namespace {

constexpr DWORD fixed_size = sizeof(EVENTLOGRECORD);
constexpr size_t max_chars = sim_max_record_size / sizeof(wchar_t);

size_t align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

// The computer name, read once: Windows' log service answers it from memory, and a system call
// per record would make the simulation slower than what it stands for.
INIT_ONCE computer_once = INIT_ONCE_STATIC_INIT;
wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];

BOOL CALLBACK read_computer_name(PINIT_ONCE, PVOID, PVOID *)
{
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(computer, &n))
        wcscpy_s(computer, L"LOCALHOST");
    return TRUE;
}

// Bytes of a SID laid out as it claims, or 0 when it is not a SID.
DWORD sid_size(const BYTE *sid, DWORD available)
{
    if (available < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES)
        return 0;
    DWORD size = 8 + 4u * sid[1];
    return size <= available ? size : 0;
}

// Offset just past the zero that ends the string at offset, or 0 if none before end.
DWORD string_end(const BYTE *record, DWORD offset, DWORD end)
{
    for (DWORD at = offset; at + sizeof(wchar_t) <= end; at += sizeof(wchar_t))
        if (record[at] == 0 && record[at + 1] == 0)
            return at + sizeof(wchar_t);
    return 0;
}

} // namespace

DWORD sim_build_record(const SimRecord &fields, void *buffer, DWORD capacity, DWORD *length)
{
    *length = 0;
    if (fields.source == nullptr || (fields.num_strings != 0 && fields.strings == nullptr) ||
        (fields.data_size != 0 && fields.data == nullptr))
        return ERROR_INVALID_PARAMETER;
    const wchar_t *computer_name = fields.computer;
    if (computer_name == nullptr) {
        InitOnceExecuteOnce(&computer_once, read_computer_name, nullptr, nullptr);
        computer_name = computer;
    }
    DWORD sid_length = 0;
    if (fields.user_sid != nullptr) {
        if (!IsValidSid(const_cast<SID *>(fields.user_sid)))
            return ERROR_INVALID_SID;
        sid_length = GetLengthSid(const_cast<SID *>(fields.user_sid));
    }
    // Sizes in size_t and every string bounded, so that nothing can overflow.
    size_t source_bytes = (wcsnlen(fields.source, max_chars) + 1) * sizeof(wchar_t);
    size_t computer_bytes = (wcsnlen(computer_name, max_chars) + 1) * sizeof(wchar_t);
    size_t sid_offset = align4(fixed_size + source_bytes + computer_bytes);
    size_t string_offset = sid_offset + sid_length;
    size_t strings_bytes = 0;
    for (WORD i = 0; i < fields.num_strings; ++i) {
        if (fields.strings[i] == nullptr)
            return ERROR_INVALID_PARAMETER;
        strings_bytes += (wcsnlen(fields.strings[i], max_chars) + 1) * sizeof(wchar_t);
        if (strings_bytes > sim_max_record_size)
            break;
    }
    size_t data_offset = string_offset + strings_bytes;
    size_t total = align4(data_offset + fields.data_size) + sizeof(DWORD);
    if (fields.data_size > sim_max_record_size || total > sim_max_record_size)
        return ERROR_INVALID_PARAMETER;
    *length = static_cast<DWORD>(total);
    if (buffer == nullptr || capacity < total)
        return ERROR_INSUFFICIENT_BUFFER;

    BYTE *bytes = static_cast<BYTE *>(buffer);
    memset(bytes, 0, total);
    EVENTLOGRECORD *record = static_cast<EVENTLOGRECORD *>(buffer);
    DWORD now = 0;
    if (fields.time_generated == 0) {
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        now = static_cast<DWORD>(t / 10000000ull - 11644473600ull);
    }
    record->Length = static_cast<DWORD>(total);
    record->Reserved = elf_signature;
    record->TimeGenerated = fields.time_generated != 0 ? fields.time_generated : now;
    record->TimeWritten = record->TimeGenerated;
    record->EventID = fields.event_id;
    record->EventType = fields.event_type;
    record->NumStrings = fields.num_strings;
    record->EventCategory = fields.category;
    record->UserSidLength = sid_length;
    record->UserSidOffset = static_cast<DWORD>(sid_offset);
    record->StringOffset = static_cast<DWORD>(string_offset);
    record->DataLength = fields.data_size;
    record->DataOffset = static_cast<DWORD>(data_offset);
    memcpy(bytes + fixed_size, fields.source, source_bytes - sizeof(wchar_t));
    memcpy(bytes + fixed_size + source_bytes, computer_name, computer_bytes - sizeof(wchar_t));
    if (sid_length != 0)
        memcpy(bytes + sid_offset, fields.user_sid, sid_length);
    size_t at = string_offset;
    for (WORD i = 0; i < fields.num_strings; ++i) {
        size_t n = (wcslen(fields.strings[i]) + 1) * sizeof(wchar_t);
        memcpy(bytes + at, fields.strings[i], n);
        at += n;
    }
    if (fields.data_size != 0)
        memcpy(bytes + data_offset, fields.data, fields.data_size);
    memcpy(bytes + total - sizeof(DWORD), &record->Length, sizeof(DWORD));
    return 0;
}

DWORD sim_check_record(const void *record, DWORD available)
{
    const BYTE *bytes = static_cast<const BYTE *>(record);
    if (available < fixed_size + sizeof(DWORD))
        return 0;
    EVENTLOGRECORD head;
    memcpy(&head, bytes, fixed_size);
    DWORD length = head.Length;
    if (length < fixed_size + sizeof(DWORD) || length > available || length > sim_max_record_size || length % 4 != 0 ||
        head.Reserved != elf_signature)
        return 0;
    DWORD trailer;
    memcpy(&trailer, bytes + length - sizeof(DWORD), sizeof(trailer));
    if (trailer != length)
        return 0;
    // Everything lies between the fixed part and the trailing length.
    DWORD body_end = length - sizeof(DWORD);
    DWORD computer = string_end(bytes, fixed_size, body_end);
    if (computer == 0 || string_end(bytes, computer, body_end) == 0)
        return 0;
    if (head.UserSidOffset < fixed_size || head.UserSidOffset > body_end ||
        head.UserSidLength > body_end - head.UserSidOffset)
        return 0;
    if (head.UserSidLength != 0 && sid_size(bytes + head.UserSidOffset, head.UserSidLength) != head.UserSidLength)
        return 0;
    if (head.DataLength != 0 &&
        (head.DataOffset < fixed_size || head.DataOffset > body_end || head.DataLength > body_end - head.DataOffset))
        return 0;
    if (head.NumStrings != 0) {
        if (head.StringOffset < fixed_size || head.StringOffset % 2 != 0 || head.StringOffset > body_end)
            return 0;
        DWORD at = head.StringOffset;
        for (WORD i = 0; i < head.NumStrings; ++i) {
            at = string_end(bytes, at, body_end);
            if (at == 0)
                return 0;
        }
    }
    return length;
}
