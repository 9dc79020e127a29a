// Event record dump: the header of an accepted Security-log record as a two-column table, the
// account behind its SID, and its category and event texts from the message files of its source.
// Everything read from the record stays inside the bytes the batch walk checked.
#include "config/event_dump.h"
#include "config/registry.h"
#include "console/output.h"
#include <sddl.h>
#include <cstdlib>
#include <cwchar>

HMODULE message_module_security = nullptr;
HMODULE message_module_other = nullptr;

namespace {

constexpr DWORD key_path_chars = 512;
constexpr DWORD account_chars = 512;
// FormatMessageW knows the insertions %1 to %99: every one of them finds a text.
constexpr DWORD insertion_slots = 99;
const wchar_t empty_text[] = L"";
const wchar_t generated_when[] = L"\n\nThis event is generated when";

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Control characters other than tab, CR and LF: C0, DEL and the C1 range. Names chosen by an
// attacker reach a terminal that obeys escape sequences.
bool is_unsafe_control(wchar_t c)
{
    return (c < 0x20 && c != L'\t' && c != L'\r' && c != L'\n') || (c >= 0x7F && c <= 0x9F);
}

void neutralise_controls(wchar_t *text)
{
    for (; *text != 0; ++text)
        if (is_unsafe_control(*text))
            *text = L'?';
}

void print_failure(const wchar_t *call, DWORD error)
{
    set_console_color(color_error);
    print_out(L"%ls %u", call, error);
    restore_console_color();
}

// A run of tabs becomes its last tab; a CR right before an LF goes.
void compact(wchar_t *text)
{
    wchar_t *to = text;
    for (const wchar_t *from = text; *from != 0; ++from) {
        if ((from[0] == L'\t' && from[1] == L'\t') || (from[0] == L'\r' && from[1] == L'\n'))
            continue;
        *to++ = *from;
    }
    *to = 0;
}

// Trailing blanks go; then each trailing LF with the CRs that end the text after it. Blanks
// brought to the end by the second step stay.
void trim_end(wchar_t *text)
{
    size_t n = wcslen(text);
    while (n > 0 && is_blank(text[n - 1]))
        --n;
    while (n > 0 && text[n - 1] == L'\n') {
        --n;
        while (n > 0 && text[n - 1] == L'\r')
            --n;
    }
    text[n] = 0;
}

// Loads the message file of the source (LSA's parameter file without a source) into slot;
// false after printing why not.
bool load_message_file(const wchar_t *source, HMODULE &slot)
{
    wchar_t key[key_path_chars];
    int formatted = format_text(key, key_path_chars, L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\%ls",
                                source != nullptr ? source : L"LSA");
    wchar_t *path = nullptr;
    // A source name too long for the key path names no key that could be read.
    LSTATUS status = formatted < 0 ? ERROR_INSUFFICIENT_BUFFER
                                   : reg::get_text(HKEY_LOCAL_MACHINE, key,
                                                   source != nullptr ? L"EventMessageFile" : L"ParameterMessageFile",
                                                   &path);
    if (status != ERROR_SUCCESS) {
        neutralise_controls(key);
        set_console_color(color_error);
        print_out(L"\nreg::get_text(%ls):FAILED %u\n", key, static_cast<unsigned>(status));
        restore_console_color();
        return false;
    }
    // Of several message files only the first is used.
    if (wchar_t *semicolon = wcschr(path, L';'))
        *semicolon = 0;
    slot = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    DWORD error = GetLastError();
    free(path);
    if (slot == nullptr) {
        print_failure(L"LoadLibraryEx:FAILED", error);
        return false;
    }
    return true;
}

// Prints the account of the record's SID; bound is the record's end.
void print_account(const EVENTLOGRECORD *record, DWORD bound)
{
    const BYTE *base = reinterpret_cast<const BYTE *>(record);
    const DWORD offset = record->UserSidOffset;
    PSID sid = nullptr;
    PSID converted = nullptr;
    const wchar_t *sid_text = nullptr;
    // The text SID is converted from a zero-filled copy: a conversion may read past a short
    // text's terminator (Wine's does, by up to two characters), which must not leave the record.
    // No SID text is longer than the copy holds.
    wchar_t sid_copy[256] = {};
    if (record->UserSidLength != 0) {
        if (offset >= sizeof(EVENTLOGRECORD) && offset <= bound && record->UserSidLength <= bound - offset &&
            record->UserSidLength >= 8) {
            // The revision and sub-authority count come first: the length they claim must fit.
            PSID stored = const_cast<BYTE *>(base + offset);
            if (8 + 4u * base[offset + 1] <= record->UserSidLength && IsValidSid(stored))
                sid = stored;
        }
    } else if (offset >= sizeof(EVENTLOGRECORD) && offset < bound && (offset & 1) == 0) {
        const wchar_t *text = reinterpret_cast<const wchar_t *>(base + offset);
        const size_t room = (bound - offset) / sizeof(wchar_t);
        const wchar_t *end = static_cast<const wchar_t *>(wmemchr(text, L'\0', room));
        if (end != nullptr && static_cast<size_t>(end - text) < _countof(sid_copy) - 2) {
            wmemcpy(sid_copy, text, static_cast<size_t>(end - text));
            if (ConvertStringSidToSidW(sid_copy, &converted)) {
                sid = converted;
                sid_text = sid_copy;
            }
        }
    }
    if (sid != nullptr) {
        wchar_t name[account_chars], domain[account_chars];
        DWORD name_chars = account_chars, domain_chars = account_chars;
        SID_NAME_USE use;
        if (LookupAccountSidW(nullptr, sid, name, &name_chars, domain, &domain_chars, &use)) {
            neutralise_controls(domain);
            neutralise_controls(name);
            print_out(L"[%ls\\%ls]", domain, name);
        } else {
            DWORD error = GetLastError();
            // The SID as text: the record's own text, or the stored structure rendered.
            wchar_t shown[256] = L"";
            wchar_t *rendered = nullptr;
            if (sid_text != nullptr)
                wcsncpy_s(shown, sid_text, _TRUNCATE);
            else if (ConvertSidToStringSidW(sid, &rendered))
                wcsncpy_s(shown, rendered, _TRUNCATE);
            if (rendered != nullptr)
                LocalFree(rendered);
            neutralise_controls(shown);
            set_console_color(color_error);
            print_out(L"\nLookupAccountSidW:FAILED %u, SID=[%ls]\n", error, shown);
            restore_console_color();
        }
    }
    if (converted != nullptr)
        LocalFree(converted);
    print_out(L"\n");
}

// Counts the insertion strings that end inside the record, at most NumStrings of them.
DWORD terminated_strings(const EVENTLOGRECORD *record, DWORD bound, const wchar_t **first)
{
    const DWORD offset = record->StringOffset;
    *first = empty_text;
    if (offset < sizeof(EVENTLOGRECORD) || offset >= bound || (offset & 1) != 0)
        return 0;
    const BYTE *base = reinterpret_cast<const BYTE *>(record);
    const wchar_t *next = reinterpret_cast<const wchar_t *>(base + offset);
    const wchar_t *end = reinterpret_cast<const wchar_t *>(base + (bound & ~1u));
    *first = next;
    DWORD count = 0;
    while (count < record->NumStrings && next < end) {
        const wchar_t *terminator = wmemchr(next, L'\0', static_cast<size_t>(end - next));
        if (terminator == nullptr)
            break;
        ++count;
        next = terminator + 1;
    }
    return count;
}

char printable(BYTE b) { return b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.'; }

} // namespace

void format_event_message(DWORD message_id, DWORD count, const wchar_t *strings, const wchar_t *source, HMODULE &slot)
{
    // Every insertion the message may use finds a text, whatever the record holds; a message
    // using more insertions than there are strings would otherwise read past the array.
    DWORD_PTR arguments[insertion_slots];
    const wchar_t *next = strings;
    for (DWORD k = 0; k < insertion_slots; ++k) {
        if (k < count) {
            arguments[k] = reinterpret_cast<DWORD_PTR>(next);
            next += wcslen(next) + 1;
        } else {
            arguments[k] = reinterpret_cast<DWORD_PTR>(empty_text);
        }
    }
    if (slot == nullptr && !load_message_file(source, slot))
        return;
    wchar_t *text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_MAX_WIDTH_MASK | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    if (FormatMessageW(flags, slot, message_id, 0, reinterpret_cast<LPWSTR>(&text), 0,
                       reinterpret_cast<va_list *>(arguments)) == 0 ||
        text == nullptr) {
        print_failure(L"FormatMessageW:FAILED", GetLastError());
        return;
    }
    if (count > 0)
        compact(text);
    trim_end(text);
    if (text[0] != 0)
        if (wchar_t *cut = wcsstr(text + 1, generated_when))
            *cut = 0;
    neutralise_controls(text);
    print_out(L"%ls", text);
    LocalFree(text);
}

void dump_event_record(const EVENTLOGRECORD *record, DWORD length, const wchar_t *time_text)
{
    if (record == nullptr || length < sizeof(EVENTLOGRECORD))
        return;
    // The record's own length, where it is sound, else what the walk checked.
    const DWORD bound = record->Length >= sizeof(EVENTLOGRECORD) && record->Length <= length ? record->Length : length;
    const BYTE *base = reinterpret_cast<const BYTE *>(record);
    // The source name follows the fixed part; without its terminator inside the record there is none.
    const wchar_t *source = reinterpret_cast<const wchar_t *>(base + sizeof(EVENTLOGRECORD));
    if (wmemchr(source, L'\0', (bound - sizeof(EVENTLOGRECORD)) / sizeof(wchar_t)) == nullptr)
        source = empty_text;
    const bool from_security = _wcsicmp(source, L"Security") == 0;
    const DWORD r = record->Reserved;

    print_out(L"StringOffset  %10u | RecordNumber %8u [%ls]\n", record->StringOffset, record->RecordNumber,
              time_text != nullptr ? time_text : empty_text);
    print_out(L"NumStrings    %10u | EventCategory %7u [", record->NumStrings, record->EventCategory);
    format_event_message(record->EventCategory, 0, empty_text, from_security ? source : nullptr,
                         message_module_security);
    print_out(L"]\n");
    print_out(L"TimeGenerated %10u | EventType     %7u ", record->TimeGenerated, record->EventType);
    if (record->EventType & EVENTLOG_AUDIT_SUCCESS)
        print_out(L"[Success Audit]");
    if (record->EventType & EVENTLOG_AUDIT_FAILURE)
        print_out(L"[Failure Audit]");
    print_out(L"\n");
    print_out(L"TimeWritten   %10u | UserSidOffset %7u ", record->TimeWritten, record->UserSidOffset);
    print_account(record, bound);
    print_out(L"DataOffset    %10u | UserSidLength %7u\n", record->DataOffset, record->UserSidLength);
    print_out(L"DataLength    %10u | Reserved         %hc%hc%hc%hc [0x%08x]\n", record->DataLength,
              printable(static_cast<BYTE>(r >> 24)), printable(static_cast<BYTE>(r >> 16)),
              printable(static_cast<BYTE>(r >> 8)), printable(static_cast<BYTE>(r)), r);
    print_out(L"ReservedFlags %10u | Length        %7u\n", record->ReservedFlags, record->Length);
    print_out(L"ClosingRecordNumber %4u | EventID       %7u\n\n", record->ClosingRecordNumber, record->EventID);
    const wchar_t *strings = empty_text;
    const DWORD count = terminated_strings(record, bound, &strings);
    format_event_message(record->EventID, count, strings, source, from_security ? message_module_security
                                                                                  : message_module_other);
    print_out(L"\n");
}

void release_message_modules()
{
    if (message_module_security != nullptr) {
        FreeLibrary(message_module_security);
        message_module_security = nullptr;
    }
    if (message_module_other != nullptr) {
        FreeLibrary(message_module_other);
        message_module_other = nullptr;
    }
}
