// Configuration store: the two whitelists, six thresholds and the two settings of a fleet,
// loaded from the registry at start and at each reload.
#pragma once
#include <windows.h>
#include <cstdint>
#include "config/registry.h"

// A list of UTF-16 texts; a list with items set and count 0 is empty, not unset.
struct TextList {
    uint64_t count;
    const wchar_t **items;
};

// Written by the main entry on the main thread before any other thread of the program reads them,
// then only read, for the whole run:
// the full path of the running executable (the registered message file),
extern wchar_t module_path[512];
// the service's Parameters key, the first configuration location,
extern wchar_t parameters_key_path[512];
// and the Application event-source key, the second one (both under HKEY_LOCAL_MACHINE).
extern wchar_t event_source_key_path[512];

// The configuration below is written only on the main thread: by load_config (or read_config,
// and the replay's threshold overrides) before any other thread of the program reads it, by
// reload_config between two records, and by release_config_lists at exit. The main thread reads
// it as it is; the other threads read it between config_read_begin and config_read_end, so that
// a reload never frees what they read.
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
// Whether the monitor also follows the ForwardedEvents channel: any value but 0 (forwarded_events).
extern DWORD forwarded_events;

// The IPsec store that every netsh command of the program acts on (REG_SZ ipsec_store): empty
// for the local store, "domain" for the store of the machine's domain, "domain:NAME" for the
// store of domain NAME (ASCII letters, digits, '-' and '.', at most 255 characters; the keyword
// in any letter case). Any other text is refused: the local store is used, and refused holds
// the text as read, cut to 63 characters, with control characters as '?' (empty when in force).
constexpr size_t ipsec_domain_chars = 256;
struct IpsecStore {
    bool domain;
    wchar_t name[ipsec_domain_chars]; // the domain; empty: the machine's domain
    wchar_t refused[64];
};
extern IpsecStore ipsec_store;
// Reads the text of ipsec_store into store; false (store local, the text in refused) when refused.
bool parse_ipsec_store(const wchar_t *text, IpsecStore &store);

// Compiled-in default lists, in table order; the lists hold these until load_config sets them.
constexpr uint64_t default_whitelist_IP_count = 18;
constexpr uint64_t default_whitelist_user_count = 6;
extern const wchar_t *default_whitelist_IP[default_whitelist_IP_count];
extern const wchar_t *default_whitelist_user[default_whitelist_user_count];

// Reads the configuration key (Parameters first, else the event-source key); writes defaults back.
// What cannot be read keeps its default.
void load_config();
// Reads the configuration as load_config does, writing nothing back (the replay).
void read_config();

// What a reload did: 0, or the error of the named registry call that kept the configuration in
// force; and whether the configuration now in force differs from the one before.
struct ConfigReload {
    DWORD error;
    const wchar_t *call;
    bool changed;
};
// Reads the configuration key as load_config does into fresh lists and, when every value could
// be read, puts them in force in place of the lists before, which it frees. Main thread only.
ConfigReload reload_config();
// Makes the key that holds the configuration signal changed (an auto-reset event) at the next
// change of its values: after a signal (fired) the watch is armed again; otherwise only a key
// in use that is not the one watched is watched afresh. Main thread only; 0 or the error of
// the registry call named in *call (no key to watch: RegOpenKeyExW).
DWORD watch_config(HANDLE changed, bool fired, const wchar_t **call);
// Closes the watched key.
void unwatch_config();
// A thread other than the main thread reads the configuration only between these two calls.
void config_read_begin();
void config_read_end();
// Splits a REG_MULTI_SZ image into the list's pointer array; true if a string was found.
bool split_multi_sz(wchar_t *data, DWORD size_bytes, TextList &list);
// Whole-text membership ignoring letter case (equal_ignoring_case).
bool is_listed(const TextList &list, const wchar_t *text);
// Index of the first entry equal to text as is_listed compares, or -1.
int64_t find_listed(const TextList &list, const wchar_t *text);
// Frees both pointer arrays and the data read for them; the lists fall back to the defaults.
void release_config_lists();
