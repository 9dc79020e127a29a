// The simulated netsh's store and journals as the tests of the commands compare them.
#pragma once
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>

// A store ("local", "persistent" or "domain:<name>"), one line per object with its fields
// between bars, in the store's order.
inline std::wstring store_text(const SimFolder &folder, const wchar_t *store = L"local")
{
    SimStore s;
    EXPECT_TRUE(store_load(folder.file(store_file_name(store).c_str()), s)) << store;
    std::wstring text;
    for (const SimPolicy &p : s.policies)
        text += L"policy " + p.name + L"|" + p.description + (p.assigned ? L"|assigned\n" : L"|unassigned\n");
    for (const SimFilterAction &a : s.filteractions)
        text += L"filteraction " + a.name + L"|" + a.description + L"|" + a.action + L"\n";
    for (const SimFilterList &l : s.filterlists)
        text += L"filterlist " + l.name + L"|" + l.description + L"\n";
    for (const SimFilter &f : s.filters)
        text += L"filter " + f.filterlist + L"|" + f.srcaddr + L"|" + f.dstaddr + L"|" + f.description + L"|" +
                f.protocol + (f.mirrored ? L"|yes|" : L"|no|") + f.srcmask + L"|" + f.dstmask + L"|" + f.srcport +
                L"|" + f.dstport + L"\n";
    for (const SimRule &r : s.rules)
        text += L"rule " + r.name + L"|" + r.policy + L"|" + r.filterlist + L"|" + r.filteraction + L"\n";
    return text;
}

inline std::vector<JournalEntry> journal(const SimFolder &folder, const wchar_t *name = L"netsh.log")
{
    std::vector<JournalEntry> entries;
    EXPECT_TRUE(journal_read(folder.file(name), entries));
    return entries;
}

// Whether the journal entry is a "netsh -f" run whose command file is gone, with its folder.
inline bool command_file_gone(const JournalEntry &entry)
{
    const size_t at = entry.cmdline.find(L" -f \"");
    if (at == std::wstring::npos || !entry.cmdline.ends_with(L"\""))
        return false;
    const std::wstring file = entry.cmdline.substr(at + 5, entry.cmdline.size() - at - 6);
    const std::wstring folder = file.substr(0, file.rfind(L'\\'));
    return folder.find(L"\\tosmire.IPS-") != std::wstring::npos &&
           GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}
