// The names behind the servers bits of the failure history.
#include "engine/server_names.h"
#include "config/text_case.h"
#include "console/output.h"
#include <cwchar>

namespace {

constexpr unsigned named_bits = 63; // bit 0 and the 62 other computers with a name of their own
constexpr size_t name_chars = 256;
// Written by server_bit on the main thread; entry 0 is this computer's name, read by
// this_computer_name on the main thread at its first call (name_read, name_error).
wchar_t names[named_bits][name_chars];
unsigned used = 1;
bool name_read = false;
DWORD name_error = 0;

} // namespace

DWORD this_computer_name(const wchar_t **name)
{
    static_assert(name_chars > MAX_COMPUTERNAME_LENGTH);
    if (!name_read) {
        name_read = true;
        DWORD length = name_chars;
        if (!GetComputerNameW(names[0], &length)) {
            name_error = GetLastError();
            names[0][0] = L'\0';
        }
    }
    *name = names[0];
    return name_error;
}

uint64_t server_bit(const wchar_t *computer)
{
    if (computer == nullptr)
        return 1;
    for (unsigned i = 1; i < used; ++i)
        if (equal_ignoring_case(names[i], computer))
            return uint64_t{1} << i;
    if (used == named_bits || wcsnlen(computer, name_chars) == name_chars)
        return uint64_t{1} << named_bits;
    wcscpy_s(names[used], name_chars, computer);
    return uint64_t{1} << used++;
}

size_t format_server_names(uint64_t servers, wchar_t *out, size_t capacity)
{
    if (capacity == 0)
        return 0;
    size_t length = 0;
    out[0] = L'\0';
    for (unsigned bit = 0; bit <= named_bits; ++bit) {
        if ((servers & (uint64_t{1} << bit)) == 0)
            continue;
        const wchar_t *name = L"other computers";
        if (bit == 0 && (this_computer_name(&name) != 0 || name[0] == L'\0'))
            name = L"this computer";
        else if (bit != 0 && bit < named_bits)
            name = names[bit];
        // The names that do not fit are left out; the list stays terminated.
        const int n = format_text(out + length, capacity - length, L"%ls%ls", length != 0 ? L", " : L"", name);
        if (n < 0)
            break;
        length += static_cast<size_t>(n);
    }
    return length;
}
