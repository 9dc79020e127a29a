// Configuration store. The first configuration key that opens is read at start and again at
// each reload; a value that is missing or of the wrong type or size is replaced by its default,
// and the default is written back so that the operator finds a complete configuration to edit.
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
DWORD forwarded_events = 0;
IpsecStore ipsec_store = {};

namespace {

// A REG_DWORD value: the six thresholds and forwarded_events.
struct Threshold {
    const wchar_t *name;
    DWORD *value;
    DWORD fallback;
};

// In the order in which they are read and written back.
constexpr size_t dword_settings = 7;
const Threshold thresholds[dword_settings] = {
    {L"max_logon_count_normal_net", &max_logon_count_normal_net, 21},
    {L"max_logon_count_whitelist_net", &max_logon_count_whitelist_net, 49},
    {L"max_logon_count_normal_net_clear_text", &max_logon_count_normal_net_clear_text, 4},
    {L"max_logon_count_whitelist_net_clear_text", &max_logon_count_whitelist_net_clear_text, 11},
    {L"max_logon_count_normal_RDP", &max_logon_count_normal_RDP, 4},
    {L"max_logon_count_whitelist_RDP", &max_logon_count_whitelist_RDP, 11},
    {L"forwarded_events", &forwarded_events, 0},
};

// What a read allocated for a list: the value's data (the strings live in it) and the pointer
// array. Only these are ever freed.
struct OwnedList {
    wchar_t *data;
    const wchar_t **items;
};
// The allocations of the lists in force. Written by install_config and release_config_lists
// only, under the configuration lock (main thread, then at exit).
OwnedList owned_IP;
OwnedList owned_user;

// Held shared by readers on other threads, exclusively by the swap of the lists in force.
SRWLOCK config_lock = SRWLOCK_INIT;

// A configuration as read, before it is put in force: each list with what was allocated for it
// (nothing for the defaults), the REG_DWORD values in table order and the IPsec store.
struct ReadConfig {
    TextList ip = {default_whitelist_IP_count, default_whitelist_IP};
    TextList user = {default_whitelist_user_count, default_whitelist_user};
    OwnedList owned_ip = {nullptr, nullptr};
    OwnedList owned_user = {nullptr, nullptr};
    DWORD values[dword_settings];
    IpsecStore store = {};
    ReadConfig()
    {
        for (size_t i = 0; i < dword_settings; ++i)
            values[i] = thresholds[i].fallback;
    }
};

enum class ListRead { set, absent, unreadable };

// Reads a REG_MULTI_SZ value into list. Absent covers a missing value and one of another type
// (both are replaced by the default); unreadable covers everything else (left as it is, with
// the error in *error and the failing call in *call).
ListRead read_list(HKEY key, const wchar_t *name, TextList &list, OwnedList &owned, LSTATUS *error, const wchar_t **call)
{
    wchar_t *data = nullptr;
    DWORD size = 0;
    const LSTATUS status = reg::get_value(key, nullptr, name, RRF_RT_REG_MULTI_SZ, &data, &size);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_UNSUPPORTED_TYPE)
        return ListRead::absent;
    *error = status;
    *call = L"RegGetValueW";
    if (status != ERROR_SUCCESS)
        return ListRead::unreadable;
    // The reader's two terminators end the image even when the stored value lacks them.
    TextList read = {0, nullptr};
    split_multi_sz(data, size + 2 * static_cast<DWORD>(sizeof(wchar_t)), read);
    if (read.items == nullptr) {
        free(data);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        *call = L"calloc";
        return ListRead::unreadable;
    }
    owned = {data, read.items};
    list = read;
    return ListRead::set;
}

// Takes a stored threshold into *value if it is a REG_DWORD of 4 bytes; with write_default,
// writes the default over a missing value or one of the wrong type or size. The error of a value
// that cannot be read (*value keeps the default; the failing call in *call), else 0.
LSTATUS read_threshold(HKEY key, const Threshold &threshold, DWORD *value, bool write_default, const wchar_t **call)
{
    HKEY query = nullptr;
    *call = L"RegOpenKeyExW";
    LSTATUS status = RegOpenKeyExW(key, L"", 0, KEY_QUERY_VALUE, &query);
    if (status != ERROR_SUCCESS)
        return status;
    *call = L"RegQueryValueExW";
    DWORD stored = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(stored);
    status = RegQueryValueExW(query, threshold.name, nullptr, &type, reinterpret_cast<BYTE *>(&stored), &size);
    RegCloseKey(query);
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(stored)) {
        *value = stored;
        return ERROR_SUCCESS;
    }
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA || status == ERROR_FILE_NOT_FOUND) {
        if (write_default)
            reg::set_dword(key, threshold.name, threshold.fallback);
        return ERROR_SUCCESS;
    }
    return status;
}

// Reads ipsec_store into store; a missing or mistyped value is the local store, written back
// empty with write_default. The error of a value that cannot be read, else 0.
LSTATUS read_ipsec_store(HKEY key, IpsecStore &store, bool write_default)
{
    wchar_t *text = nullptr;
    DWORD size = 0;
    const LSTATUS status = reg::get_value(key, nullptr, L"ipsec_store", RRF_RT_REG_SZ, &text, &size);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_UNSUPPORTED_TYPE) {
        if (write_default)
            reg::set_value(key, L"ipsec_store", REG_SZ, L"", sizeof(wchar_t));
        return ERROR_SUCCESS;
    }
    if (status == ERROR_SUCCESS)
        parse_ipsec_store(text, store);
    free(text);
    return status;
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

void free_owned(OwnedList &owned)
{
    free(owned.items);
    free(owned.data);
    owned = {nullptr, nullptr};
}

// Opens path under HKEY_LOCAL_MACHINE; an empty path would name the hive itself.
LSTATUS open_config_key(const wchar_t *path, REGSAM access, HKEY *key)
{
    if (path[0] == 0)
        return ERROR_FILE_NOT_FOUND;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

// The configuration key, the first of the two that opens for reading, opened; null when none
// does (*error then tells why the last one did not).
const wchar_t *open_key_in_use(HKEY *key, LSTATUS *error)
{
    *error = open_config_key(parameters_key_path, KEY_QUERY_VALUE, key);
    if (*error == ERROR_SUCCESS)
        return parameters_key_path;
    *error = open_config_key(event_source_key_path, KEY_QUERY_VALUE, key);
    return *error == ERROR_SUCCESS ? event_source_key_path : nullptr;
}

// Reads the configuration key into fresh and, with write_defaults, writes the defaults back over
// missing or mistyped values. A value that cannot be read keeps its default in fresh; the first
// such error, or the error of opening the key, is the result, with the failing call in *call.
LSTATUS read_configuration(ReadConfig &fresh, bool write_defaults, const wchar_t **call)
{
    HKEY key = nullptr;
    LSTATUS error = ERROR_SUCCESS;
    *call = L"RegOpenKeyExW";
    if (open_key_in_use(&key, &error) == nullptr)
        return error;
    LSTATUS first = ERROR_SUCCESS;
    const wchar_t *failed_call = nullptr;
    const ListRead ip_read = read_list(key, L"whitelist_IP", fresh.ip, fresh.owned_ip, &error, &failed_call);
    if (ip_read == ListRead::unreadable) {
        first = error;
        *call = failed_call;
    }
    const ListRead user_read = read_list(key, L"whitelist_user", fresh.user, fresh.owned_user, &error, &failed_call);
    if (user_read == ListRead::unreadable && first == ERROR_SUCCESS) {
        first = error;
        *call = failed_call;
    }
    for (size_t i = 0; i < dword_settings; ++i) {
        error = read_threshold(key, thresholds[i], &fresh.values[i], write_defaults, &failed_call);
        if (error != ERROR_SUCCESS && first == ERROR_SUCCESS) {
            first = error;
            *call = failed_call;
        }
    }
    error = read_ipsec_store(key, fresh.store, write_defaults);
    if (error != ERROR_SUCCESS && first == ERROR_SUCCESS) {
        first = error;
        *call = L"RegGetValueW";
    }
    // A list not read keeps its defaults; only a missing or mistyped one is overwritten.
    if (write_defaults && ip_read == ListRead::absent)
        write_default_list(key, L"whitelist_IP", default_whitelist_IP, default_whitelist_IP_count);
    if (write_defaults && user_read == ListRead::absent)
        write_default_list(key, L"whitelist_user", default_whitelist_user, default_whitelist_user_count);
    RegCloseKey(key);
    return first;
}

bool same_list(const TextList &a, const TextList &b)
{
    if (a.count != b.count || (a.items == nullptr) != (b.items == nullptr))
        return false;
    for (uint64_t i = 0; i < a.count; ++i)
        if (wcscmp(a.items[i], b.items[i]) != 0)
            return false;
    return true;
}

// Puts fresh in force in one step for every reader, then frees what the lists in force before
// had allocated: no reader can still hold them once the exclusive lock was had. Whether the
// configuration differs from the one before.
bool install_config(ReadConfig &fresh)
{
    AcquireSRWLockExclusive(&config_lock);
    bool changed = !same_list(whitelist_IP, fresh.ip) || !same_list(whitelist_user, fresh.user) ||
                   ipsec_store.domain != fresh.store.domain || wcscmp(ipsec_store.name, fresh.store.name) != 0 ||
                   wcscmp(ipsec_store.refused, fresh.store.refused) != 0;
    for (size_t i = 0; i < dword_settings; ++i) {
        changed = changed || *thresholds[i].value != fresh.values[i];
        *thresholds[i].value = fresh.values[i];
    }
    ipsec_store = fresh.store;
    whitelist_IP = fresh.ip;
    whitelist_user = fresh.user;
    const OwnedList old_ip = owned_IP, old_user = owned_user;
    owned_IP = fresh.owned_ip;
    owned_user = fresh.owned_user;
    ReleaseSRWLockExclusive(&config_lock);
    fresh.owned_ip = old_ip;
    fresh.owned_user = old_user;
    free_owned(fresh.owned_ip);
    free_owned(fresh.owned_user);
    return changed;
}

// The key under watch and its path (parameters_key_path or event_source_key_path). Main thread
// only: written by watch_config and unwatch_config.
HKEY watched_key = nullptr;
const wchar_t *watched_path = nullptr;

// Every load begins from the compiled-in state; what cannot be read keeps its default.
void load_configuration(bool write_defaults)
{
    ReadConfig fresh;
    const wchar_t *call = nullptr;
    read_configuration(fresh, write_defaults, &call);
    install_config(fresh);
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

ConfigReload reload_config()
{
    ReadConfig fresh;
    ConfigReload result = {ERROR_SUCCESS, nullptr, false};
    result.error = read_configuration(fresh, true, &result.call);
    if (result.error != ERROR_SUCCESS) {
        free_owned(fresh.owned_ip);
        free_owned(fresh.owned_user);
        return result;
    }
    result.changed = install_config(fresh);
    return result;
}

DWORD watch_config(HANDLE changed, bool fired, const wchar_t **call)
{
    HKEY key = nullptr;
    LSTATUS error = ERROR_SUCCESS;
    *call = L"RegOpenKeyExW";
    const wchar_t *path = open_key_in_use(&key, &error);
    if (key != nullptr)
        RegCloseKey(key);
    constexpr DWORD filter = REG_NOTIFY_CHANGE_LAST_SET;
    if (watched_key != nullptr && path == watched_path) {
        // A notification is for one change: armed again only once it was used.
        if (!fired || RegNotifyChangeKeyValue(watched_key, FALSE, filter, changed, TRUE) == ERROR_SUCCESS)
            return ERROR_SUCCESS;
        // The key was deleted under the watch: opened afresh below.
    }
    if (watched_key != nullptr) {
        // Closing the key may signal the event: that tells of no change.
        RegCloseKey(watched_key);
        watched_key = nullptr;
        ResetEvent(changed);
    }
    watched_path = path;
    if (path == nullptr)
        return static_cast<DWORD>(error);
    error = open_config_key(path, KEY_NOTIFY, &watched_key);
    if (error == ERROR_SUCCESS) {
        *call = L"RegNotifyChangeKeyValue";
        error = RegNotifyChangeKeyValue(watched_key, FALSE, filter, changed, TRUE);
    }
    if (error != ERROR_SUCCESS && watched_key != nullptr) {
        RegCloseKey(watched_key);
        watched_key = nullptr;
        ResetEvent(changed);
    }
    if (error != ERROR_SUCCESS)
        watched_path = nullptr;
    return static_cast<DWORD>(error);
}

void unwatch_config()
{
    if (watched_key != nullptr)
        RegCloseKey(watched_key);
    watched_key = nullptr;
    watched_path = nullptr;
}

void config_read_begin()
{
    AcquireSRWLockShared(&config_lock);
}

void config_read_end()
{
    ReleaseSRWLockShared(&config_lock);
}

bool parse_ipsec_store(const wchar_t *text, IpsecStore &store)
{
    store = {};
    if (text == nullptr || text[0] == L'\0')
        return true;
    const bool named = _wcsnicmp(text, L"domain:", 7) == 0;
    const wchar_t *name = named ? text + 7 : L"";
    const size_t length = wcsnlen(name, ipsec_domain_chars);
    bool ok = named ? length > 0 && length < ipsec_domain_chars : _wcsicmp(text, L"domain") == 0;
    for (size_t i = 0; ok && i < length; ++i) {
        const wchar_t c = name[i];
        ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.';
    }
    if (ok) {
        store.domain = true;
        wmemcpy(store.name, name, length);
        return true;
    }
    // Kept for the line that tells of the refusal: the operator's own text, made printable.
    size_t n = 0;
    for (; text[n] != L'\0' && n + 1 < sizeof(store.refused) / sizeof(wchar_t); ++n)
        store.refused[n] = text[n] < 0x20 || (text[n] >= 0x7F && text[n] <= 0x9F) ? L'?' : text[n];
    return false;
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
    AcquireSRWLockExclusive(&config_lock);
    // A list that still points at what is freed gets the defaults.
    if (owned_IP.items != nullptr && whitelist_IP.items == owned_IP.items)
        whitelist_IP = {default_whitelist_IP_count, default_whitelist_IP};
    if (owned_user.items != nullptr && whitelist_user.items == owned_user.items)
        whitelist_user = {default_whitelist_user_count, default_whitelist_user};
    free_owned(owned_IP);
    free_owned(owned_user);
    ReleaseSRWLockExclusive(&config_lock);
}
