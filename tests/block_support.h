// Shared by the block tests: what a run left behind in the simulation folder, above all the
// reports of our own source in the simulated Application log.
#pragma once
#include "tests/child_harness.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>
#include <cwchar>
#include <sstream>

// The scenarios' first event time, and the address they whitelist.
inline constexpr DWORD t0 = 1651233909;
inline const wchar_t *whitelisted_ip[1] = {L"10.0.0.9"};

// Our own reports, as evtlog lists them after the source: "ID<tab>type<tab>category<tab>strings
// joined by |<tab>raw data", with the ID in hexadecimal (evtlog lies next to the test program).
inline std::vector<std::wstring> read_own_reports()
{
    std::vector<std::wstring> reports;
    // evtlog writes UTF-8, which the harness hands over one byte per character.
    const std::wstring bytes = run_redirected(L"evtlog.exe list Application").output;
    const std::string narrow(bytes.begin(), bytes.end());
    std::wstring text(narrow.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()),
                                                        text.data(), static_cast<int>(text.size()))));
    std::wistringstream lines(text);
    for (std::wstring line; std::getline(lines, line);) {
        size_t at = line.find(L"\ttosmire.IPS\t");
        if (at == std::wstring::npos)
            continue;
        wchar_t *rest = nullptr, id[16];
        swprintf(id, 16, L"%08lX", wcstoul(line.c_str() + at + 13, &rest, 10));
        reports.push_back(id + std::wstring(rest));
    }
    return reports;
}

// What one child scenario left: its output without carriage returns (auditpol's own line ends
// keep theirs), the journals of netsh and auditpol, what netsh stored, the reports.
struct Outcome {
    std::wstring out;
    std::vector<JournalEntry> netsh, auditpol;
    SimStore store;
    std::vector<std::wstring> reports;
};

inline Outcome run(const char *scenario)
{
    SimFolder sim;
    Outcome o;
    ChildResult child = run_scenario(scenario);
    EXPECT_TRUE(child.finished && child.exit_code == 0) << child.output;
    std::erase(o.out = child.output, L'\r');
    EXPECT_TRUE(store_load(sim.file(L"netsh-store.txt"), o.store) && journal_read(sim.file(L"netsh.log"), o.netsh) &&
                journal_read(sim.file(L"auditpol.log"), o.auditpol));
    o.reports = read_own_reports();
    return o;
}
