// Registry routines shared by every module that reads or writes the registry. A leaf: it uses
// nothing of the program, so the service host may use it too.
#pragma once
#include <windows.h>

namespace reg {
// Writes a value of any type into the open key itself (create with KEY_WRITE and close, open
// with KEY_SET_VALUE, set, close); a Win32 error code.
LSTATUS set_value(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size_bytes);
// Writes a REG_MULTI_SZ value into the open key itself; a Win32 error code.
LSTATUS set_multi_sz(HKEY key, const wchar_t *name, const void *data, DWORD size_bytes);
// Writes a REG_DWORD value into the open key itself; a Win32 error code.
LSTATUS set_dword(HKEY key, const wchar_t *name, DWORD value);
// Reads a value of the types that flags (RRF_RT_*) allow under root\path (path may be null)
// into a new buffer the caller frees with free(). The buffer holds *size_bytes bytes of whole
// characters followed by two zero characters that the stored value may lack. A Win32 error code.
LSTATUS get_value(HKEY root, const wchar_t *path, const wchar_t *name, DWORD flags, wchar_t **data,
                  DWORD *size_bytes);
// Reads a REG_SZ (expanded) value under root\path into a new buffer the caller frees with free().
LSTATUS get_text(HKEY root, const wchar_t *path, const wchar_t *value, wchar_t **text);
} // namespace reg
