// Cost per record of the decode-and-count path: each 4625 record of a batch is decoded and its
// address counted in logon_failures, with 1, 64, 256 and 1,023 distinct addresses in the table
// (1,023 is the most it holds) and the records cycling through them, so a lookup passes half
// the table on average. Also prints decoding alone, rejected records, and a lookup of the
// table's last address. Lines beginning "= " are figures for tools/bench.sh.
#include <windows.h>
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>
#include "console/output.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"

namespace {

constexpr unsigned distinct_addresses = 1023;
constexpr DWORD batch_bytes = 65536;

void address_text(unsigned i, wchar_t *text, size_t chars)
{
    format_text(text, chars, L"10.%u.%u.%u", i / 65536, (i / 256) % 256, i % 256);
}

// One 4625 record (21 strings, address at 19, logon type "3" at 10) appended to batch.
void append_record(std::vector<BYTE> &batch, const wchar_t *address, WORD category)
{
    std::vector<BYTE> r(sizeof(EVENTLOGRECORD));
    auto text = [&r](const wchar_t *s) {
        const BYTE *p = reinterpret_cast<const BYTE *>(s);
        r.insert(r.end(), p, p + (wcslen(s) + 1) * sizeof(wchar_t));
    };
    text(L"Microsoft-Windows-Security-Auditing");
    text(L"HOST");
    while (r.size() % 4)
        r.push_back(0);
    DWORD string_offset = static_cast<DWORD>(r.size());
    const wchar_t *strings[21] = {L"S-1-0-0", L"-", L"-", L"0x0", L"S-1-0-0", L"Administrator", L"WORKGROUP",
                                  L"0xc000006d", L"%%2313", L"0xc000006a", L"3", L"NtLmSsp ", L"NTLM", L"-", L"-",
                                  L"0", L"0x0", L"-", L"ATTACKER", address, L"49152"};
    for (const wchar_t *s : strings)
        text(s);
    while (r.size() % 4)
        r.push_back(0);
    DWORD length = static_cast<DWORD>(r.size() + 4);
    r.resize(length);
    std::memcpy(r.data() + length - 4, &length, 4);
    EVENTLOGRECORD h = {};
    h.Length = length;
    h.Reserved = 0x654c664c;
    h.TimeGenerated = h.TimeWritten = 1700000000;
    h.EventID = 4625;
    h.EventType = EVENTLOG_AUDIT_FAILURE;
    h.NumStrings = 21;
    h.EventCategory = category;
    h.StringOffset = string_offset;
    std::memcpy(r.data(), &h, sizeof(h));
    batch.insert(batch.end(), r.begin(), r.end());
}

// Full batches as one read returns them: whole records, at most 65,536 bytes each; 1,023
// records whose addresses cycle through the first `addresses` of the table.
std::vector<std::vector<BYTE>> make_batches(WORD category, unsigned addresses)
{
    std::vector<std::vector<BYTE>> batches(1);
    wchar_t address[32];
    for (unsigned i = 0; i < distinct_addresses; ++i) {
        address_text(i % addresses, address, 32);
        std::vector<BYTE> one;
        append_record(one, address, category);
        if (batches.back().size() + one.size() > batch_bytes)
            batches.emplace_back();
        batches.back().insert(batches.back().end(), one.begin(), one.end());
    }
    return batches;
}

bool count_too = true;
wchar_t time_text[time_text_chars];
unsigned long long accepted = 0;

void decode_and_count(const EVENTLOGRECORD *record, DWORD length)
{
    LogonReport report;
    bool is_success;
    if (decode_logon_event(record, length, time_text, report, is_success) != DecodeResult::accepted)
        return;
    ++accepted;
    if (count_too)
        record_failure(logon_failures, report.address, record->TimeGenerated);
}

double seconds_since(LARGE_INTEGER start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

// Runs the batches rounds times through the batch walk; records per second.
double run(const std::vector<std::vector<BYTE>> &batches, unsigned rounds, BYTE *buffer)
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    unsigned long long records = 0;
    for (unsigned round = 0; round < rounds; ++round)
        for (const std::vector<BYTE> &batch : batches) {
            // Records are processed in place in the read buffer, as the loop does.
            std::memcpy(buffer, batch.data(), batch.size());
            records += walk_batch(buffer, static_cast<DWORD>(batch.size()), decode_and_count);
        }
    return double(records) / seconds_since(start);
}

void fill_table(unsigned addresses)
{
    init_history(logon_failures);
    wchar_t address[32];
    for (unsigned i = 0; i < addresses; ++i) {
        address_text(i, address, 32);
        record_failure(logon_failures, address, 1700000000u);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    unsigned rounds = argc > 1 ? static_cast<unsigned>(_wtoi(argv[1])) : 200;
    if (rounds == 0)
        rounds = 200;
    BYTE *buffer = static_cast<BYTE *>(VirtualAlloc(nullptr, batch_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (buffer == nullptr) {
        print_out(L"VirtualAlloc() FAILED %u\n", GetLastError());
        return 1;
    }
    print_out(L"%u records per round, %u rounds each (median of 5 runs)\n", distinct_addresses, rounds);
    print_out(L"addresses  decode and count           lookup of the last address\n");
    bool table_intact = true;
    for (unsigned addresses : {1u, 64u, 256u, distinct_addresses}) {
        std::vector<std::vector<BYTE>> logons = make_batches(12544, addresses);
        count_too = true;
        double runs[5];
        for (double &r : runs) {
            fill_table(addresses);
            r = run(logons, rounds, buffer);
            table_intact = table_intact && logon_failures.count == addresses % history_slots;
        }
        std::sort(runs, runs + 5);
        double both = runs[2];
        // The same address again and again: the whole table is passed every time.
        wchar_t last[32];
        address_text(addresses - 1, last, 32);
        for (double &r : runs) {
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            for (unsigned i = 0; i < rounds * 1000; ++i)
                record_failure(logon_failures, last, 1700000001u);
            r = double(rounds) * 1000 / seconds_since(start);
        }
        std::sort(runs, runs + 5);
        double lookups = runs[2];
        print_out(L"%9u  %9.0f ns/record %9.0f/s   %7.1f ns\n", addresses, 1e9 / both, both, 1e9 / lookups);
        print_out(L"= decode_count_ns_%u %.1f\n= decode_count_per_s_%u %.0f\n= lookup_last_ns_%u %.1f\n", addresses,
                  1e9 / both, addresses, both, addresses, 1e9 / lookups);
    }

    std::vector<std::vector<BYTE>> logons = make_batches(12544, distinct_addresses);
    std::vector<std::vector<BYTE>> others = make_batches(12545, distinct_addresses);
    count_too = false;
    double decode_only = run(logons, rounds, buffer);
    print_out(L"decode only:                    %9.0f ns/record %9.0f/s\n", 1e9 / decode_only, decode_only);
    print_out(L"= decode_only_ns %.1f\n", 1e9 / decode_only);
    double other = run(others, rounds, buffer);
    print_out(L"records of other categories:    %9.0f ns/record %9.0f/s\n", 1e9 / other, other);
    print_out(L"records accepted: %llu; every table held its addresses: %ls\n", accepted, table_intact ? L"yes" : L"NO");
    VirtualFree(buffer, 0, MEM_RELEASE);
    return table_intact ? 0 : 1;
}
