// PLACEHOLDER: the configuration store arrives with its own issue; until then the compiled-in
// thresholds apply and both lists are empty.
#include "config/config.h"
#include <cwchar>
#include <cstdlib>

TextList whitelist_IP = {0, nullptr};
TextList whitelist_user = {0, nullptr};
DWORD max_logon_count_normal_net = 21;
DWORD max_logon_count_whitelist_net = 49;
DWORD max_logon_count_normal_net_clear_text = 4;
DWORD max_logon_count_whitelist_net_clear_text = 11;
DWORD max_logon_count_normal_RDP = 4;
DWORD max_logon_count_whitelist_RDP = 11;

void load_config() {}
bool split_multi_sz(wchar_t *, DWORD, TextList &) { return false; }

bool is_listed(const TextList &list, const wchar_t *text)
{
    for (uint64_t i = 0; i < list.count; ++i)
        if (_wcsicmp(list.items[i], text) == 0)
            return true;
    return false;
}

void release_config_lists() {}

namespace reg {
LSTATUS set_multi_sz(HKEY, const wchar_t *, const void *, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
LSTATUS set_dword(HKEY, const wchar_t *, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
LSTATUS get_text(HKEY, const wchar_t *, const wchar_t *, wchar_t **text)
{
    *text = nullptr;
    return ERROR_CALL_NOT_IMPLEMENTED;
}
}
