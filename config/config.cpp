// Configuration store. The first configuration key that opens is read once; a value that is
// missing or of the wrong type or size is replaced by its default, and the default is written
// back so that after one start the operator finds a complete configuration to edit.
#include "config/config.h"
#include "config/registry.h"
#include "config/text_case.h"
#include <cstdlib>
#include <cwchar>

// Shipped to strangers: only loopback names, one private /24 that home and cloud networks
// rarely use, and public addresses from the documentation ranges, so that no real host is
// whitelisted. The user names are no attacker's guesses, so no dictionary attack earns the
// higher whitelist thresholds.
const wchar_t *default_whitelist_IP[default_whitelist_IP_count] = {
    L"localhost",
    L"localhost.localdomain", L"ip6-localhost", L"ip6-loopback",
    // Windows names a local network logon over IPv6 from "::1".
    L"127.0.0.1", L"::1",
    L"10.213.47.1", L"10.213.47.2", L"10.213.47.3", L"10.213.47.4", L"10.213.47.5",
    L"10.213.47.6", L"10.213.47.7", L"10.213.47.8", L"10.213.47.9", L"10.213.47.10",
    L"192.0.2.10", L"198.51.100.10",
};
const wchar_t *default_whitelist_user[default_whitelist_user_count] = {
    L"ips.ops", L"ips.audit", L"ips.deploy", L"ips.report", L"ips.sync", L"ips.watch",
};

wchar_t module_path[512];
wchar_t parameters_key_path[512];
wchar_t event_source_key_path[512];

// Set lists from the start: a reader never meets a count without its array.
TextList whitelist_IP = {default_whitelist_IP_count, default_whitelist_IP};
TextList whitelist_user = {default_whitelist_user_count, default_whitelist_user};
DWORD max_logon_count_normal_net = 21;
DWORD max_logon_count_whitelist_net = 49;
DWORD max_logon_count_normal_net_clear_text = 4;
DWORD max_logon_count_whitelist_net_clear_text = 11;
DWORD max_logon_count_normal_RDP = 4;
DWORD max_logon_count_whitelist_RDP = 11;

namespace {

struct Threshold {
    const wchar_t *name;
    DWORD *value;
    DWORD fallback;
};

// In the order in which they are read and written back.
const Threshold thresholds[6] = {
    {L"max_logon_count_normal_net", &max_logon_count_normal_net, 21},
    {L"max_logon_count_whitelist_net", &max_logon_count_whitelist_net, 49},
    {L"max_logon_count_normal_net_clear_text", &max_logon_count_normal_net_clear_text, 4},
    {L"max_logon_count_whitelist_net_clear_text", &max_logon_count_whitelist_net_clear_text, 11},
    {L"max_logon_count_normal_RDP", &max_logon_count_normal_RDP, 4},
    {L"max_logon_count_whitelist_RDP", &max_logon_count_whitelist_RDP, 11},
};

// What load_config allocated for a list: the value's data (the strings live in it) and the
// pointer array. Only these are ever freed.
struct OwnedList {
    wchar_t *data;
    const wchar_t **items;
};
// Written by load_config and release_config_lists only (main thread, then at exit).
OwnedList owned_IP;
OwnedList owned_user;

enum class ListRead { set, absent, unreadable };

// Reads a REG_MULTI_SZ value into list. Absent covers a missing value and one of another type
// (both are replaced by the default); unreadable covers everything else (left as it is).
ListRead read_list(HKEY key, const wchar_t *name, TextList &list, OwnedList &owned)
{
    wchar_t *data = nullptr;
    DWORD size = 0;
    const LSTATUS status = reg::get_value(key, nullptr, name, RRF_RT_REG_MULTI_SZ, &data, &size);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_UNSUPPORTED_TYPE)
        return ListRead::absent;
    if (status != ERROR_SUCCESS)
        return ListRead::unreadable;
    // The reader's two terminators end the image even when the stored value lacks them.
    TextList read = {0, nullptr};
    split_multi_sz(data, size + 2 * static_cast<DWORD>(sizeof(wchar_t)), read);
    if (read.items == nullptr) {
        free(data);
        return ListRead::unreadable;
    }
    owned = {data, read.items};
    list = read;
    return ListRead::set;
}

// Takes a stored threshold if it is a REG_DWORD of 4 bytes; with write_default, writes the
// default over a missing value or one of the wrong type or size.
void read_threshold(HKEY key, const Threshold &threshold, bool write_default)
{
    HKEY query = nullptr;
    if (RegOpenKeyExW(key, L"", 0, KEY_QUERY_VALUE, &query) != ERROR_SUCCESS)
        return;
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    const LSTATUS status = RegQueryValueExW(query, threshold.name, nullptr, &type,
                                            reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(query);
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value)) {
        *threshold.value = value;
        return;
    }
    if (write_default && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA || status == ERROR_FILE_NOT_FOUND))
        reg::set_dword(key, threshold.name, threshold.fallback);
}

// Writes a default table as a REG_MULTI_SZ image: each string with its NUL, then one more NUL.
void write_default_list(HKEY key, const wchar_t *name, const wchar_t *const *table, size_t count)
{
    size_t chars = 1;
    for (size_t i = 0; i < count; ++i)
        chars += wcslen(table[i]) + 1;
    auto *image = static_cast<wchar_t *>(calloc(chars, sizeof(wchar_t)));
    if (image == nullptr)
        return;
    wchar_t *at = image;
    for (size_t i = 0; i < count; ++i) {
        const size_t length = wcslen(table[i]) + 1;
        wmemcpy(at, table[i], length);
        at += length;
    }
    reg::set_multi_sz(key, name, image, static_cast<DWORD>(chars * sizeof(wchar_t)));
    free(image);
}

// Frees what load_config allocated for a list; a list that still points at it gets the defaults.
void release_list(TextList &list, OwnedList &owned, const wchar_t **defaults, uint64_t count)
{
    if (owned.items != nullptr && list.items == owned.items)
        list = {count, defaults};
    free(owned.items);
    free(owned.data);
    owned = {nullptr, nullptr};
}

// Opens path under HKEY_LOCAL_MACHINE for reading; an empty path would name the hive itself.
LSTATUS open_config_key(const wchar_t *path, HKEY *key)
{
    if (path[0] == 0)
        return ERROR_FILE_NOT_FOUND;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key);
}

// Loads the configuration; with write_defaults, what is missing or mistyped is written back.
void load_configuration(bool write_defaults)
{
    // A repeated load starts from the compiled-in state, as the first one does.
    release_config_lists();
    whitelist_IP = {default_whitelist_IP_count, default_whitelist_IP};
    whitelist_user = {default_whitelist_user_count, default_whitelist_user};
    for (const Threshold &threshold : thresholds)
        *threshold.value = threshold.fallback;

    HKEY key = nullptr;
    LSTATUS opened = open_config_key(parameters_key_path, &key);
    if (opened != ERROR_SUCCESS)
        opened = open_config_key(event_source_key_path, &key);
    if (opened != ERROR_SUCCESS)
        return;

    const ListRead ip_read = read_list(key, L"whitelist_IP", whitelist_IP, owned_IP);
    const ListRead user_read = read_list(key, L"whitelist_user", whitelist_user, owned_user);
    for (const Threshold &threshold : thresholds)
        read_threshold(key, threshold, write_defaults);
    // A list not read keeps its defaults; only a missing or mistyped one is overwritten.
    if (write_defaults && ip_read == ListRead::absent)
        write_default_list(key, L"whitelist_IP", default_whitelist_IP, default_whitelist_IP_count);
    if (write_defaults && user_read == ListRead::absent)
        write_default_list(key, L"whitelist_user", default_whitelist_user, default_whitelist_user_count);
    RegCloseKey(key);
}

} // namespace

void load_config()
{
    load_configuration(true);
}

void read_config()
{
    load_configuration(false);
}

bool split_multi_sz(wchar_t *data, DWORD size_bytes, TextList &list)
{
    const size_t length = data != nullptr ? size_bytes / sizeof(wchar_t) : 0;
    // A string counts only if its NUL lies inside the data; the first empty string ends the list.
    size_t count = 0;
    for (size_t at = 0; at < length && data[at] != 0; ++count) {
        const wchar_t *end = wmemchr(data + at, 0, length - at);
        if (end == nullptr)
            break;
        at = static_cast<size_t>(end - data) + 1;
    }
    // At least one slot, so that an empty list is set rather than unset.
    auto **items = static_cast<const wchar_t **>(calloc(count != 0 ? count : 1, sizeof(const wchar_t *)));
    if (items == nullptr) {
        list = {0, nullptr};
        return false;
    }
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        items[i] = data + at;
        at += wcslen(data + at) + 1;
    }
    list = {count, items};
    return count > 0;
}

int64_t find_listed(const TextList &list, const wchar_t *text)
{
    if (list.items == nullptr || text == nullptr)
        return -1;
    for (uint64_t i = 0; i < list.count; ++i)
        if (equal_ignoring_case(list.items[i], text))
            return static_cast<int64_t>(i);
    return -1;
}

bool is_listed(const TextList &list, const wchar_t *text)
{
    return find_listed(list, text) >= 0;
}

void release_config_lists()
{
    release_list(whitelist_IP, owned_IP, default_whitelist_IP, default_whitelist_IP_count);
    release_list(whitelist_user, owned_user, default_whitelist_user, default_whitelist_user_count);
}
