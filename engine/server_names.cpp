// The names behind the servers bits of the failure history.
#include "engine/server_names.h"
#include "config/text_case.h"
#include "console/output.h"
#include <cwchar>

namespace {

constexpr unsigned named_bits = 63; // bit 0 and the 62 other computers with a name of their own
constexpr size_t name_chars = 256;
// Written by server_bit on the main thread; entry 0 is this computer's name, once asked for.
wchar_t names[named_bits][name_chars];
unsigned used = 1;

const wchar_t *this_computer()
{
    if (names[0][0] == L'\0') {
        DWORD length = name_chars;
        if (!GetComputerNameW(names[0], &length))
            wcscpy_s(names[0], name_chars, L"this computer");
    }
    return names[0];
}

} // namespace

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
        const wchar_t *name = bit == named_bits ? L"other computers" : bit == 0 ? this_computer() : names[bit];
        // The names that do not fit are left out; the list stays terminated.
        const int n = format_text(out + length, capacity - length, L"%ls%ls", length != 0 ? L", " : L"", name);
        if (n < 0)
            break;
        length += static_cast<size_t>(n);
    }
    return length;
}
