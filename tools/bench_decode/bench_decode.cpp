// Cost per record of the decode-and-count path: each 4625 record of a batch is decoded and its
// address counted in logon_failures, with 1, 64, 256 and 1,023 distinct addresses in the table
// (1,023 is the most it holds) and the records cycling through them, so a lookup passes half
// the table on average. Also prints decoding alone, rejected records, and a lookup of the
// table's last address. Then the replay: the simulated program's "-t -q" over a simulated
// Security log of 1,000,000 records (or the second argument's count), timed from outside, and
// once over a log of one record for the program's start-up. Lines beginning "= " are figures
// for tools/bench.sh.
#include <windows.h>
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>
#include "console/output.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "tools/evtsim/evtsim.h"

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

// One generated Security record: a network logon failure (4625) from one of `addresses`
// attackers, a successful logon (4624), or a logoff (4634, a category decoding passes over).
DWORD generated_record(unsigned i, unsigned addresses, BYTE *out)
{
    wchar_t address[32], port[8];
    address_text(i % addresses, address, 32);
    format_text(port, 8, L"%u", 49152 + i % 16384);
    const unsigned kind = i % 10; // 6 failures, 2 successes, 2 logoffs in every 10 records
    const wchar_t *failure[21] = {L"S-1-0-0", L"-", L"-", L"0x0", L"S-1-0-0", L"Administrator", L"WORKGROUP",
                                  L"0xc000006d", L"%%2313", L"0xc000006a", L"3", L"NtLmSsp ", L"NTLM", L"-", L"-",
                                  L"0", L"0x0", L"-", L"ATTACKER", address, port};
    const wchar_t *success[27] = {L"S-1-5-18", L"HOST$", L"WORKGROUP", L"0x3e7", L"S-1-5-21-1-2-3-500",
                                  L"operator", L"WORKGROUP", L"0x1f2e3d", L"3", L"NtLmSsp ", L"NTLM", L"OFFICE",
                                  L"{00000000-0000-0000-0000-000000000000}", L"-", L"NTLM V2", L"128", L"0x0", L"-",
                                  L"192.0.2.1", port, L"%%1833", L"-", L"-", L"-", L"%%1843", L"0x0", L"%%1842"};
    const wchar_t *logoff[5] = {L"S-1-5-21-1-2-3-500", L"operator", L"WORKGROUP", L"0x1f2e3d", L"3"};
    SimRecord fields = {L"Microsoft-Windows-Security-Auditing", L"HOST", 4625, EVENTLOG_AUDIT_FAILURE, 12544,
                        1700000000 + i / 20, nullptr, 21, failure, nullptr, 0};
    if (kind >= 8) {
        fields.event_id = 4634;
        fields.event_type = EVENTLOG_AUDIT_SUCCESS;
        fields.category = 12545;
        fields.num_strings = 5;
        fields.strings = logoff;
    } else if (kind >= 6) {
        fields.event_id = 4624;
        fields.event_type = EVENTLOG_AUDIT_SUCCESS;
        fields.num_strings = 27;
        fields.strings = success;
    }
    DWORD length = 0;
    return sim_build_record(fields, out, sim_max_record_size, &length) == 0 ? length : 0;
}

// Appends count generated records, numbered from first, to the simulated Security log in
// batches of some 4 MiB.
bool generate_security_log(unsigned first, unsigned count, unsigned addresses)
{
    std::vector<BYTE> batch(4u << 20);
    DWORD used = 0;
    for (unsigned i = first; i < first + count; ++i) {
        if (batch.size() - used < sim_max_record_size) {
            if (sim_append_records(sim_security, batch.data(), used) != 0)
                return false;
            used = 0;
        }
        const DWORD length = generated_record(i, addresses, batch.data() + used);
        if (length == 0)
            return false;
        used += length;
    }
    return used == 0 || sim_append_records(sim_security, batch.data(), used) == 0;
}

// Seconds that "tosmire-ips-sim.exe -t -q" takes, from CreateProcessW to its end, with its
// output in out_path; a negative value when it did not run or ended with an error.
double time_replay(const wchar_t *out_path)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError =
        CreateFileW(out_path, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
    if (startup.hStdOutput == INVALID_HANDLE_VALUE)
        return -1;
    wchar_t line[] = L"tosmire-ips-sim.exe -t -q";
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const bool started = CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(startup.hStdOutput);
    if (!started)
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    const double seconds = seconds_since(start);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0 ? seconds : -1;
}

// Whether the replay's output at path says that it read count records.
bool replay_read_all(const wchar_t *path, unsigned count)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<wchar_t> text(1 << 20);
    DWORD done = 0;
    const bool read = ReadFile(file, text.data(), static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t)), &done, nullptr);
    CloseHandle(file);
    text[done / sizeof(wchar_t)] = 0;
    wchar_t expected[64];
    format_text(expected, 64, L"# Records: %u read,", count);
    return read && wcsstr(text.data(), expected) != nullptr;
}

// The replay's figures, the median of three runs each; false when a step failed.
bool bench_replay(unsigned records)
{
    constexpr unsigned addresses = 2000; // more than the failure history holds
    wchar_t out_path[MAX_PATH];
    const DWORD temp = GetTempPathW(MAX_PATH - 40, out_path);
    if (temp == 0 || temp >= MAX_PATH - 40 || sim_use_private_dir(L"bench-replay") != 0)
        return false;
    format_text(out_path + temp, MAX_PATH - temp, L"tosmire-bench-replay-%lu.txt", GetCurrentProcessId());
    double startup[3] = {-1, -1, -1}, whole[3] = {-1, -1, -1};
    bool ok = generate_security_log(0, 1, addresses);
    for (double &s : startup)
        s = ok ? time_replay(out_path) : -1;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    ok = ok && generate_security_log(1, records - 1, addresses);
    const double generated = seconds_since(start);
    for (double &w : whole)
        w = ok ? time_replay(out_path) : -1;
    std::sort(startup, startup + 3);
    std::sort(whole, whole + 3);
    ok = ok && startup[0] >= 0 && whole[0] > startup[1] && replay_read_all(out_path, records);
    if (ok) {
        const double s = startup[1], w = whole[1];
        print_out(L"replay of %u records (-t -q), 60%% failures from %u addresses, median of 3: %.2f s, %.0f "
                  L"records/s; less the start-up on one record (%.2f s): %.0f records/s (log written in %.1f s)\n",
                  records, addresses, w, records / w, s, records / (w - s), generated);
        print_out(L"= replay_records %u\n= replay_s %.3f\n= replay_per_s %.0f\n= replay_startup_s %.3f\n"
                  L"= replay_less_startup_per_s %.0f\n",
                  records, w, records / w, s, records / (w - s));
    } else {
        print_out(L"replay: FAILED\n");
    }
    DeleteFileW(out_path);
    sim_remove_private_dir();
    return ok;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    unsigned rounds = argc > 1 ? static_cast<unsigned>(_wtoi(argv[1])) : 200;
    if (rounds == 0)
        rounds = 200;
    unsigned replay_records = argc > 2 ? static_cast<unsigned>(_wtoi(argv[2])) : 1000000;
    if (replay_records < 2)
        replay_records = 1000000;

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
    const bool replayed = bench_replay(replay_records);
    return table_intact && replayed ? 0 : 1;
}
