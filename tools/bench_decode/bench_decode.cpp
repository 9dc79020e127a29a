// Records per second of the decode-and-count path: each 4625 record of a batch is decoded and
// its address counted in logon_failures, which holds 1,023 distinct addresses (the most it
// can hold), so every lookup searches the table linearly. Also prints the parts on their own.
#include <windows.h>
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

// Full batches as one read returns them: whole records, at most 65,536 bytes each.
std::vector<std::vector<BYTE>> make_batches(WORD category)
{
    std::vector<std::vector<BYTE>> batches(1);
    wchar_t address[32];
    for (unsigned i = 0; i < distinct_addresses; ++i) {
        address_text(i, address, 32);
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

void fill_table()
{
    init_history(logon_failures);
    wchar_t address[32];
    for (unsigned i = 0; i < distinct_addresses; ++i) {
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
    std::vector<std::vector<BYTE>> logons = make_batches(12544);
    std::vector<std::vector<BYTE>> others = make_batches(12545);
    print_out(L"%u distinct addresses in %u batches, %u rounds each\n", distinct_addresses,
              static_cast<unsigned>(logons.size()), rounds);

    fill_table();
    count_too = true;
    double both = run(logons, rounds, buffer);
    bool table_intact = logon_failures.count == distinct_addresses;
    print_out(L"decode and count, %u addresses in the table: %12.0f records/s (%.2f us/record)\n",
              logon_failures.count, both, 1e6 / both);

    count_too = false;
    double decode_only = run(logons, rounds, buffer);
    print_out(L"decode only:                                  %12.0f records/s (%.2f us/record)\n", decode_only,
              1e6 / decode_only);

    double other = run(others, rounds, buffer);
    print_out(L"records of other categories (rejected):       %12.0f records/s\n", other);

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    wchar_t address[distinct_addresses][16];
    for (unsigned i = 0; i < distinct_addresses; ++i)
        address_text(i, address[i], 16);
    unsigned long long lookups = 0;
    for (unsigned round = 0; round < rounds; ++round)
        for (unsigned i = 0; i < distinct_addresses; ++i, ++lookups)
            record_failure(logon_failures, address[i], 1700000001u);
    double count_only = double(lookups) / seconds_since(start);
    print_out(L"record_failure only (1023 in the table):      %12.0f lookups/s (%.2f us/lookup)\n", count_only,
              1e6 / count_only);
    print_out(L"records accepted: %llu; table still holds %u addresses: %ls\n", accepted, logon_failures.count,
              table_intact && logon_failures.count == distinct_addresses ? L"yes" : L"NO");
    VirtualFree(buffer, 0, MEM_RELEASE);
    return 0;
}
