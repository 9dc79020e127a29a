// The simulated tools' files in the simulation folder, shared by netsh.exe, auditpol.exe and
// the tests that look at what they did.
//
// Simulation folder: the environment variable TOSMIRE_SIM_DIR (a Windows path); when it is
// unset or empty, the folder of the running program (build/bin/sim for our tools).
//
// Journals, "netsh.log" and "auditpol.log": UTF-8, one JSON object per command line received,
//     {"cmdline": "<GetCommandLineW exactly, JSON-escaped>", "exit": <exit code>}
// in the order the commands finished. Line feeds and other control characters inside the
// command line appear as JSON escapes (\n, \r, \t, \uXXXX), so every entry is one line.
//
// Stores: "netsh-store.txt" is the local store; "netsh-store-persistent.txt" the persistent one;
// each domain's store, written through "ipsec static set store location=domain domain=NAME",
// is "netsh-store-domain-<name>.txt" with the domain name in lower case (store_file_name).
//
// Store file: the ipsec static objects of the simulated netsh. UTF-8, one object
// per line, fields separated by a tab; in each field a backslash, tab, line feed and carriage
// return are written \\, \t, \n and \r. Lines beginning with '#' are comments. Records:
//     policy       name  description  assigned(yes|no)
//     filteraction name  description  action(permit|block|negotiate)
//     filterlist   name  description
//     filter       filterlist  srcaddr  dstaddr  description  protocol  mirrored(yes|no)
//                  srcmask  dstmask  srcport  dstport
//     rule         name  policy  filterlist  filteraction
// Filters keep the order in which they were added. Addresses, masks and ports are kept as
// given on the command line; the protocol is kept in capitals (ANY, TCP, ... or a number).
//
// Writers hold the named mutex of sim_lock while they read, change and write the files, so
// concurrent tool processes never lose each other's changes. A test that reads the files after
// its tool processes have ended needs no lock.
#pragma once
#include <windows.h>
#include <string>
#include "tools/simvars/sim_variable.h"
#include <vector>

struct SimPolicy {
    std::wstring name;
    std::wstring description;
    bool assigned = false;
};

struct SimFilterAction {
    std::wstring name;
    std::wstring description;
    std::wstring action; // "permit", "block" or "negotiate"
};

struct SimFilterList {
    std::wstring name;
    std::wstring description;
};

struct SimFilter {
    std::wstring filterlist;
    std::wstring srcaddr;
    std::wstring dstaddr;
    std::wstring description;
    std::wstring protocol;
    bool mirrored = true;
    std::wstring srcmask;
    std::wstring dstmask;
    std::wstring srcport;
    std::wstring dstport;
};

struct SimRule {
    std::wstring name;
    std::wstring policy;
    std::wstring filterlist;
    std::wstring filteraction;
};

struct SimStore {
    std::vector<SimPolicy> policies;
    std::vector<SimFilterAction> filteractions;
    std::vector<SimFilterList> filterlists;
    std::vector<SimFilter> filters;
    std::vector<SimRule> rules;
};

struct JournalEntry {
    std::wstring cmdline;
    DWORD exit_code = 0;
};

// The simulation folder, without a trailing backslash.
std::wstring sim_dir();
// A file in the simulation folder.
std::wstring sim_path(const wchar_t *file_name);

// Takes the mutex that serialises the simulated tools' file updates; null if it cannot be had.
HANDLE sim_lock();
// Releases and closes what sim_lock returned.
void sim_unlock(HANDLE lock);

// "domain:<name>" for a domain name as netsh takes it (labels of 1 to 63 ASCII letters, digits
// and inner hyphens, joined by dots, 255 characters at most; a final dot is dropped), in lower
// case since domain names ignore it; empty for anything else.
std::wstring domain_store_name(const std::wstring &domain);
// The file name of a store in the simulation folder: "local" (or empty), "persistent", or
// "domain:<name>" as domain_store_name gives it; empty for any other name.
std::wstring store_file_name(const std::wstring &store);

// Reads the store; a missing file is an empty store. false when the file cannot be read or a
// line is malformed.
bool store_load(const std::wstring &path, SimStore &store);
// Writes the store whole (through a temporary file that replaces the old one); false on failure.
bool store_save(const std::wstring &path, const SimStore &store);

// Appends one journal line; false on failure.
bool journal_append(const std::wstring &path, const wchar_t *cmdline, DWORD exit_code);
// Reads a journal; a missing file is an empty journal. false when a line is malformed.
bool journal_read(const std::wstring &path, std::vector<JournalEntry> &entries);

// Case-insensitive whole-text comparison, as netsh compares names and keywords.
bool same_text(const std::wstring &a, const std::wstring &b);

// UTF-16 to UTF-8 and back (invalid sequences become U+FFFD).
std::string to_utf8(const std::wstring &text);
std::wstring from_utf8(const std::string &text);
