// Case-insensitive text comparison. The failure history compares every failure's address with
// every slot in use, so ASCII letters are folded inline and only the rest of texts that differ
// in a non-ASCII character goes to the system.
#include "config/text_case.h"

namespace {
inline wchar_t ascii_lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }
} // namespace

bool equal_ignoring_case(const wchar_t *a, const wchar_t *b)
{
    if (a == nullptr || b == nullptr)
        return false;
    for (size_t i = 0;; ++i) {
        const wchar_t ca = a[i], cb = b[i];
        if (ca == cb) {
            if (ca == L'\0')
                return true;
            continue;
        }
        // Two ASCII characters are equal ignoring case exactly when their ASCII folds are; a
        // non-ASCII one may upper-case to an ASCII one, so the system decides from there on.
        if (ca < 0x80 && cb < 0x80) {
            if (ascii_lower(ca) != ascii_lower(cb))
                return false;
            continue;
        }
        return CompareStringOrdinal(a + i, -1, b + i, -1, TRUE) == CSTR_EQUAL;
    }
}
