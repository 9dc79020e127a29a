// Configuration store: the two whitelists and six thresholds, loaded once from the registry.
#pragma once
#include <windows.h>
#include <cstdint>

// A list of UTF-16 texts; a list with items set and count 0 is empty, not unset.
struct TextList {
    uint64_t count;
    const wchar_t **items;
};

// Source addresses (or host names) that are never blocked.
extern TextList whitelist_IP;
// User names counted against the whitelist thresholds.
extern TextList whitelist_user;
// Thresholds by logon type (3 network, 8 network clear text, 10 Remote Desktop).
extern DWORD max_logon_count_normal_net;
extern DWORD max_logon_count_whitelist_net;
extern DWORD max_logon_count_normal_net_clear_text;
extern DWORD max_logon_count_whitelist_net_clear_text;
extern DWORD max_logon_count_normal_RDP;
extern DWORD max_logon_count_whitelist_RDP;

// Compiled-in default lists, in table order; the lists hold these until load_config sets them.
extern const wchar_t *default_whitelist_IP[17];
extern const wchar_t *default_whitelist_user[6];

// Reads the configuration key (Parameters first, else the event-source key); writes defaults back.
void load_config();
// Splits a REG_MULTI_SZ image into the list's pointer array; true if a string was found.
bool split_multi_sz(wchar_t *data, DWORD size_bytes, TextList &list);
// Whole-text, case-insensitive membership.
bool is_listed(const TextList &list, const wchar_t *text);
// Frees both pointer arrays and the data read for them; the lists fall back to the defaults.
void release_config_lists();

namespace reg {
// Writes a value of any type into the open key itself (create with KEY_WRITE and close, open
// with KEY_SET_VALUE, set, close); a Win32 error code.
LSTATUS set_value(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size_bytes);
// Writes a REG_MULTI_SZ value into the open key itself; a Win32 error code.
LSTATUS set_multi_sz(HKEY key, const wchar_t *name, const void *data, DWORD size_bytes);
// Writes a REG_DWORD value into the open key itself; a Win32 error code.
LSTATUS set_dword(HKEY key, const wchar_t *name, DWORD value);
// Reads a REG_SZ (expanded) value under root\path into a new buffer the caller frees with free().
LSTATUS get_text(HKEY root, const wchar_t *path, const wchar_t *value, wchar_t **text);
}
