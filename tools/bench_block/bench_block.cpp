// Block benchmark: runs the benchmark's build of the simulated program against a private
// simulation folder and prints
//   1. the time from a failed logon's append to the Security log to the first instruction of
//      its block command (the entry point of a probe netsh), over N blocks (threshold 1, a new
//      address each time): median, 95th percentile and worst; and its three parts: append to
//      the return of the program's wait for the log's notification (the record's arrival),
//      arrival to the program's CreateProcessW call (the program's own work), and that call to
//      netsh's first instruction (the process start);
//   2. the records per second of the whole path (decode, count, print into a file, report to
//      the Application log) for M failures below every threshold.
// The benchmark watches the program passively: it reads the header of the Application log's
// file (a plain file read, no lock, no event-log call) every few milliseconds, so it never
// competes with the program for the log. Lines beginning "= " are figures for tools/bench.sh.
// Usage: bench_block [blocks (1000)] [records (20000)]. Writes the program's Parameters key in
// the registry of the prefix it runs in, and deletes it at the end. Windows has the Security
// log's message files, so every accepted record is dumped with its texts: unless they are
// registered already, the simulated ones are registered for the run and removed at its end.
#include "tools/bench_block/bench_stamps.h"
#include "tools/evtlog/messages.h"
#include "tools/evtsim/evtsim.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";

void configure(DWORD net_threshold)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const wchar_t ips[] = L"127.0.0.1\0";
    const wchar_t users[] = L"admin\0";
    RegSetValueExW(key, L"whitelist_IP", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(ips), sizeof(ips));
    RegSetValueExW(key, L"whitelist_user", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(users), sizeof(users));
    RegSetValueExW(key, L"max_logon_count_normal_net", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&net_threshold),
                   sizeof(net_threshold));
    RegCloseKey(key);
}

// A failed network logon (4625) from address, as Windows writes it.
DWORD build_failure(const wchar_t *address, BYTE *buffer, DWORD capacity)
{
    const wchar_t *strings[21];
    for (const wchar_t *&s : strings)
        s = L"-";
    strings[5] = L"guest";
    strings[6] = L"WORKGROUP";
    strings[10] = L"3";
    strings[12] = L"NTLM";
    strings[19] = address;
    SimRecord fields = {};
    fields.source = L"Microsoft-Windows-Security-Auditing";
    fields.event_id = 4625;
    fields.event_type = EVENTLOG_AUDIT_FAILURE;
    fields.category = 12544;
    fields.num_strings = 21;
    fields.strings = strings;
    DWORD length = 0;
    return sim_build_record(fields, buffer, capacity, &length) == 0 ? length : 0;
}

// The Application log's file, opened once; its header names the number of records. The
// header is written last by every append, so a plain read of it sees whole appends only.
HANDLE application_file = INVALID_HANDLE_VALUE;

DWORD application_records()
{
    ElfLogfileHeader header = {};
    DWORD got = 0;
    OVERLAPPED at = {};
    if (!ReadFile(application_file, &header, sizeof(header), &got, &at) || got != sizeof(header) ||
        header.OldestRecordNumber == 0)
        return 0;
    return header.CurrentRecordNumber - header.OldestRecordNumber;
}

bool wait_for_reports(DWORD count, DWORD timeout_ms, DWORD poll_ms)
{
    for (ULONGLONG end = GetTickCount64() + timeout_ms; application_records() < count; Sleep(poll_ms))
        if (GetTickCount64() > end)
            return false;
    return true;
}

struct Monitor {
    PROCESS_INFORMATION process = {};
    std::wstring output;
};

void stop_monitor(Monitor &monitor)
{
    TerminateProcess(monitor.process.hProcess, 0);
    WaitForSingleObject(monitor.process.hProcess, 10000);
    CloseHandle(monitor.process.hThread);
    CloseHandle(monitor.process.hProcess);
}

// The benchmark's build with the stamps, and the plain simulated program, relative to this folder.
const wchar_t stamped_program[] = L"..\\bench\\sim\\tosmire-ips-sim.exe";
const wchar_t plain_program[] = L"tosmire-ips-sim.exe";

// Starts program with its output in a file; true once it follows the Security log.
bool start_monitor(Monitor &monitor, const std::wstring &dir, const wchar_t *output_name, const wchar_t *program)
{
    monitor.output = dir + L"\\" + output_name;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE out = CreateFileW(monitor.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    wchar_t self[MAX_PATH];
    std::wstring line(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    line = L"\"" + line.substr(0, line.find_last_of(L'\\') + 1) + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &monitor.process) != FALSE;
    CloseHandle(out);
    if (!started)
        return false;
    // Waiting for the loop: the "RUNNING" report comes right before it.
    if (wait_for_reports(application_records() + 1, 30000, 10)) {
        Sleep(200);
        return true;
    }
    stop_monitor(monitor);   // a program that never got ready is not left behind
    return false;
}

double ms(LONGLONG ticks, LONGLONG frequency) { return 1000.0 * static_cast<double>(ticks) / frequency; }

void print_spread(const char *what, const char *figure, std::vector<double> &values)
{
    std::sort(values.begin(), values.end());
    double median = values[values.size() / 2], p95 = values[values.size() * 95 / 100], worst = values.back();
    printf("  %-38s median %8.3f ms   95%% %8.3f ms   worst %8.3f ms\n", what, median, p95, worst);
    printf("= %s_median_ms %.3f\n= %s_p95_ms %.3f\n= %s_worst_ms %.3f\n", figure, median, figure, p95, figure, worst);
}

const wchar_t auditing_source_key[] =
    L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\Microsoft-Windows-Security-Auditing";

// True when the Security message files were registered before the benchmark (by an operator or a
// demonstration): those stay as they are.
bool messages_registered()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, auditing_source_key, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The parts of one block's latency, from the stamps of the probe and of the program.
struct BlockStamps {
    LONGLONG appended, arrival, create, netsh_entry, overhead, other_waits;
};

// 1. Latency: every failure from a new address is blocked (threshold 1). Appends one record at a time,
// after its block command's report and once the loop waits again.
bool measure_latency(const std::wstring &dir, DWORD blocks, LONGLONG frequency, volatile LONGLONG *stamps,
                     HANDLE done)
{
    configure(1);
    Monitor monitor;
    if (!start_monitor(monitor, dir, L"latency.txt", stamped_program)) {
        printf("the monitor did not start\n");
        return false;
    }
    static BYTE record[8192];
    std::vector<BlockStamps> taken;
    taken.reserve(blocks);
    for (DWORD i = 0; i < blocks; ++i) {
        wchar_t address[32];
        swprintf(address, 32, L"10.%u.%u.%u", 1 + i / 62500, i / 250 % 250, 1 + i % 250);
        DWORD length = build_failure(address, record, sizeof(record));
        DWORD reports = application_records();
        for (int slot = 0; slot < bench_stamp_slots; ++slot)
            stamps[slot] = 0;
        // The report of the last block comes before the loop is back at its wait: a record
        // appended earlier would be read without a wait, and its arrival never stamped.
        for (ULONGLONG end = GetTickCount64() + 10000;
             stamps[bench_slot_block_thread] != 0 && stamps[bench_slot_waiting] != stamps[bench_slot_block_thread] &&
             GetTickCount64() < end;)
            Sleep(1);
        LARGE_INTEGER appended;
        QueryPerformanceCounter(&appended);
        sim_append_records(sim_security, record, length);
        if (WaitForSingleObject(done, 30000) != WAIT_OBJECT_0) {
            printf("block %lu: netsh was not started\n", i);
            break;
        }
        taken.push_back({appended.QuadPart, stamps[bench_slot_arrival], stamps[bench_slot_create],
                         stamps[bench_slot_netsh_entry], stamps[bench_slot_overhead], stamps[bench_slot_other_waits]});
        // The block ends with its report.
        wait_for_reports(reports + 1, 30000, 1);
    }
    stop_monitor(monitor);

    std::vector<double> to_running, to_arrival, own_work, process_start, stamping;
    std::vector<LONGLONG> other_waits;
    for (const BlockStamps &b : taken) {
        if (b.netsh_entry == 0)
            continue;
        // The stamping's type checks on the way are its own cost, not the program's.
        to_running.push_back(ms(b.netsh_entry - b.appended - b.overhead, frequency));
        // Both program stamps, in order within the block: the arrival ended a wait after the
        // append (an older one means the loop found the record without waiting for it).
        if (b.arrival < b.appended || b.create < b.arrival || b.netsh_entry < b.create)
            continue;
        to_arrival.push_back(ms(b.arrival - b.appended, frequency));
        own_work.push_back(ms(b.create - b.arrival - b.overhead, frequency));
        process_start.push_back(ms(b.netsh_entry - b.create, frequency));
        stamping.push_back(ms(b.overhead, frequency));
        other_waits.push_back(b.other_waits);
    }
    if (to_running.empty())
        return true;
    printf("Append to block command, %zu blocks (threshold 1, a new address each):\n", to_running.size());
    print_spread("to netsh's first instruction:", "latency", to_running);
    printf("  %zu of %zu blocks have both stamps of the program (arrival and CreateProcessW)\n", own_work.size(),
           to_running.size());
    printf("= stamped_blocks %zu\n", own_work.size());
    if (own_work.empty())
        return true;
    print_spread("append to the record's arrival:", "arrival", to_arrival);
    print_spread("arrival to CreateProcessW (own work):", "own_work", own_work);
    print_spread("CreateProcessW to netsh's entry:", "process_start", process_start);
    std::sort(stamping.begin(), stamping.end());
    std::sort(other_waits.begin(), other_waits.end());
    printf("  own work excludes the stamping's own cost: median %.3f ms over %lld other waits\n",
           stamping[stamping.size() / 2], other_waits[other_waits.size() / 2]);
    return true;
}

// 2. Throughput: no threshold is reached; every record is printed and reported. The plain
// simulated program: the stamps ask each wait's object type, a server call per lock of a log.
bool measure_throughput(const std::wstring &dir, DWORD records, LONGLONG frequency)
{
    configure(0xFFFFFFFF);
    Monitor monitor;
    if (!start_monitor(monitor, dir, L"throughput.txt", plain_program)) {
        printf("the monitor did not start\n");
        return false;
    }
    static BYTE record[8192];
    std::vector<BYTE> batch;
    batch.reserve(65536);
    DWORD reports = application_records();
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    for (DWORD i = 0; i < records; ++i) {
        wchar_t address[32];
        swprintf(address, 32, L"172.16.%u.%u", i % 1000 / 250, 1 + i % 250); // 1,000 addresses in the table
        DWORD length = build_failure(address, record, sizeof(record));
        if (batch.size() + length > 60000) {
            sim_append_records(sim_security, batch.data(), static_cast<DWORD>(batch.size()));
            batch.clear();
        }
        batch.insert(batch.end(), record, record + length);
    }
    sim_append_records(sim_security, batch.data(), static_cast<DWORD>(batch.size()));
    bool all = wait_for_reports(reports + records, 600000, 5);
    QueryPerformanceCounter(&end);
    stop_monitor(monitor);
    double seconds = static_cast<double>(end.QuadPart - begin.QuadPart) / frequency;
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(monitor.output.c_str(), GetFileExInfoStandard, &attributes);
    printf("Whole path, %lu failures from 1,000 addresses, output to a file (%lu KiB), each reported:\n", records,
           attributes.nFileSizeLow / 1024);
    printf("  %s%.2f s, %.0f records/s (observer reads the log file's header every 5 ms)\n", all ? "" : "INCOMPLETE after ",
           seconds, records / seconds);
    if (all)
        printf("= whole_path_per_s %.0f\n", records / seconds);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    DWORD blocks = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000;
    DWORD records = argc > 2 ? strtoul(argv[2], nullptr, 10) : 20000;
    if (blocks == 0 || records == 0 || sim_use_private_dir(L"bench-block") != 0)
        return 2;
    wchar_t dir_text[sim_path_capacity];
    sim_dir(dir_text, sim_path_capacity);
    const std::wstring dir = dir_text;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);

    const bool register_here = !messages_registered();
    if (register_here) {
        if (DWORD error = register_security_messages(nullptr)) {
            printf("registering the Security message files failed: %lu\n", error);
            unregister_security_messages();
            sim_remove_private_dir();
            return 1;
        }
        printf("Security message files registered for the run (as Windows has them)\n");
    } else {
        printf("Security message files were registered already; left as they are\n");
    }

    static BYTE record[8192];
    DWORD length = build_failure(L"192.0.2.1", record, sizeof(record));
    sim_append_records(sim_security, record, length); // the newest record at start
    sim_append_records(sim_application, record, length); // the Application log's file exists
    application_file = CreateFileW((dir + L"\\Application.evt").c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, bench_mapping_name);
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, L"Local\\tosmire-bench-probe-done");
    auto *stamps = mapping != nullptr ? static_cast<volatile LONGLONG *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0))
                                      : nullptr;
    int status = 1;
    if (application_file == INVALID_HANDLE_VALUE)
        printf("the Application log's file cannot be opened: %lu\n", GetLastError());
    else if (stamps == nullptr || done == nullptr)
        printf("the probe's mapping or event cannot be created: %lu\n", GetLastError());
    else if (measure_latency(dir, blocks, frequency.QuadPart, stamps, done) &&
             measure_throughput(dir, records, frequency.QuadPart))
        status = 0;

    // Whatever happened: what the run made goes again, the message files only if it made them.
    if (stamps != nullptr)
        UnmapViewOfFile(const_cast<LONGLONG *>(stamps));
    if (mapping != nullptr)
        CloseHandle(mapping);
    if (done != nullptr)
        CloseHandle(done);
    if (application_file != INVALID_HANDLE_VALUE)
        CloseHandle(application_file);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    if (register_here) {
        if (DWORD error = unregister_security_messages())
            printf("removing the Security message files failed: %lu\n", error);
    }
    for (const wchar_t *name : {L"latency.txt", L"throughput.txt", L"auditpol.log"})
        DeleteFileW((dir + L"\\" + name).c_str());
    sim_remove_private_dir();
    return status;
}
