// Registry routines: the one writer and the one reader of values.
#include "config/registry.h"
#include <cstdlib>

namespace {
// Largest reported size whose rounding and two extra terminators still fit a DWORD.
constexpr DWORD max_value_bytes = MAXDWORD - 4 * sizeof(wchar_t);
}

namespace reg {

// Creating the (existing) key with KEY_WRITE first, then opening it for setting, gets a writable
// handle whatever access the caller's handle carries.
LSTATUS set_value(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size_bytes)
{
    HKEY created = nullptr;
    LSTATUS status = RegCreateKeyExW(key, L"", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                     &created, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    RegCloseKey(created);
    HKEY writable = nullptr;
    status = RegOpenKeyExW(key, L"", 0, KEY_SET_VALUE, &writable);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(writable, name, 0, type, static_cast<const BYTE *>(data), size_bytes);
    RegCloseKey(writable);
    return status;
}

LSTATUS set_multi_sz(HKEY key, const wchar_t *name, const void *data, DWORD size_bytes)
{
    return set_value(key, name, REG_MULTI_SZ, data, size_bytes);
}

LSTATUS set_dword(HKEY key, const wchar_t *name, DWORD value)
{
    return set_value(key, name, REG_DWORD, &value, sizeof(value));
}

LSTATUS get_value(HKEY root, const wchar_t *path, const wchar_t *name, DWORD flags, wchar_t **data,
                  DWORD *size_bytes)
{
    *data = nullptr;
    *size_bytes = 0;
    DWORD size = 0;
    LSTATUS status = RegGetValueW(root, path, name, flags, nullptr, nullptr, &size);
    if (status == ERROR_MORE_DATA)
        status = ERROR_SUCCESS;
    // An expanded string can need more than the first answer said, and a value can grow between
    // the two reads: then the read reports ERROR_MORE_DATA with the new size.
    for (int attempt = 0; attempt < 4 && status == ERROR_SUCCESS; ++attempt) {
        if (size > max_value_bytes)
            return ERROR_ARITHMETIC_OVERFLOW;
        // Whole characters of the data, then two terminators; an odd last byte falls into the first.
        auto *buffer = static_cast<wchar_t *>(calloc(size / sizeof(wchar_t) + 2, sizeof(wchar_t)));
        if (buffer == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        DWORD got = size;
        status = RegGetValueW(root, path, name, flags, nullptr, buffer, &got);
        if (status == ERROR_SUCCESS) {
            const DWORD chars = (got < size ? got : size) / sizeof(wchar_t);
            buffer[chars] = 0;
            buffer[chars + 1] = 0;
            *data = buffer;
            *size_bytes = chars * static_cast<DWORD>(sizeof(wchar_t));
            return ERROR_SUCCESS;
        }
        free(buffer);
        if (status == ERROR_MORE_DATA) {
            size = got;
            status = ERROR_SUCCESS;
        }
    }
    return status == ERROR_SUCCESS ? ERROR_MORE_DATA : status;
}

LSTATUS get_text(HKEY root, const wchar_t *path, const wchar_t *value, wchar_t **text)
{
    DWORD size = 0;
    return get_value(root, path, value, RRF_RT_REG_SZ, text, &size);
}

} // namespace reg
