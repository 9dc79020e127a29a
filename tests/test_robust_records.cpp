// Damaged Security-log records on the whole road of the loop: the walk of a batch, decoding,
// the record dump and the block decision. Valid records of the six logon events are mutated in
// every header field, offset, length, string count, terminator and SID, with a seeded generator,
// and each batch is placed so that it ends where an inaccessible page begins: a read past the
// bytes read crashes the child, which then prints the seed and the case.
// TOSMIRE_ROBUST_SEED (decimal) chooses the seed, TOSMIRE_ROBUST_CASES the number of cases, and
// TOSMIRE_ROBUST_SHOW_CASE prints the bytes of one case.
#include "engine/block.h"
#include "engine/failure_history.h"
#include "engine/logon_event.h"
#include "engine/monitor.h"
#include "engine/report.h"
#include "config/config.h"
#include "config/event_dump.h"
#include "tests/child_harness.h"
#include "tests/event_record.h"
#include "tools/netsh/netsh_store.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cwchar>

namespace {

constexpr uint64_t default_seed = 20261208;
constexpr DWORD default_cases = 100000;
// One case in this many runs the block decision with every threshold at 0, so that mutated
// texts also reach the block command and netsh; the others count against thresholds that are
// never reached (every netsh start costs a process).
constexpr DWORD block_every = 400;
// One record in this many is dumped, accepted or not (the dump takes any record the walk let
// through): under Wine a dump costs about 3 ms (account lookup, message text, printing), the
// rest of a case some 0.25 ms.
constexpr DWORD dump_every = 32;
// One case in this many starts from a record of 0.0.0.0.
constexpr DWORD spoofed_every = 4000;
// One case in this many writes its reports to the simulated Application log.
constexpr DWORD report_every = 64;

uint64_t env_number(const wchar_t *name, uint64_t fallback)
{
    wchar_t text[32];
    DWORD n = GetEnvironmentVariableW(name, text, 32);
    return n > 0 && n < 32 ? wcstoull(text, nullptr, 10) : fallback;
}

// splitmix64: small, and the same sequence on every platform for a seed.
struct Rng {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    DWORD below(DWORD n) { return n == 0 ? 0 : static_cast<DWORD>(next() % n); }
    bool one_in(DWORD n) { return below(n) == 0; }
};

// A valid record and where its insertion strings lie.
struct Base {
    std::vector<BYTE> bytes;
    std::vector<DWORD> string_at; // offset of each string; its terminator lies before the next
    DWORD string_end;             // offset after the last terminator
};

// S-1-5-21-1-2-3-500 as the log stores it.
const BYTE user_sid[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xF4, 1, 0, 0};
const wchar_t *const addresses[] = {L"203.0.113.1", L"203.0.113.2", L"198.51.100.7", L"2001:db8::1", L"10.0.0.9",
                                    L"fe80::1%12", L"host-name_1", L"192.0.2.250", L"0.0.0.0", L"-"};
const wchar_t *const users[] = {L"Administrator", L"admin", L"guest", L"", L"x\" dstaddr=192.0.2.1 \"",
                                L"\x1b[31mred\x1b[0m"};
const wchar_t *const whitelist_ips[] = {L"10.0.0.9", L"host-name_1"};
const wchar_t *const whitelist_users[] = {L"admin"};

Base make_base(const EventKind &kind, WORD strings, const wchar_t *address, const wchar_t *user,
               const wchar_t *logon_type, bool with_sid, DWORD data_size)
{
    // Field positions of the events (domain, user, authentication), as decoding takes them.
    int user_at = kind.id >= 4624 ? (kind.id == 4776 ? 1 : 5) : 0;
    int domain_at = kind.id >= 4624 ? (kind.id == 4776 ? -1 : 6) : 1;
    std::vector<std::wstring> text;
    for (WORD k = 0; k < strings; ++k)
        text.push_back(k == kind.address_at ? address : k == kind.type_at ? logon_type
                       : k == user_at      ? user
                       : k == domain_at    ? L"WORKGROUP"
                                           : L"s" + std::to_wstring(k));
    std::vector<const wchar_t *> pointers;
    for (const std::wstring &s : text)
        pointers.push_back(s.c_str());
    static const BYTE data[] = "raw data of the record";
    SimRecord fields = {L"Microsoft-Windows-Security-Auditing", L"HOST", kind.id, kind.type, kind.category,
                        1651241109, with_sid ? reinterpret_cast<const SID *>(user_sid) : nullptr, strings,
                        pointers.data(), data, data_size};
    Base base;
    base.bytes.resize(sim_max_record_size);
    DWORD length = 0;
    if (sim_build_record(fields, base.bytes.data(), sim_max_record_size, &length) != 0)
        return {};
    base.bytes.resize(length);
    DWORD at = header_of(base.bytes).StringOffset;
    for (const std::wstring &s : text) {
        base.string_at.push_back(at);
        at += static_cast<DWORD>((s.size() + 1) * sizeof(wchar_t));
    }
    base.string_end = at;
    return base;
}

// The records from 0.0.0.0 apart: each that passes starts a shell with netstat, so few are run.
std::vector<Base> make_bases(bool spoofed)
{
    std::vector<Base> bases;
    const EventKind kinds[] = {e528, e529, e539, e4624, e4625, e4776};
    const wchar_t *const types[] = {L"3", L"8", L"10", L"2"};
    int n = 0;
    for (const EventKind &kind : kinds)
        for (const wchar_t *address : addresses)
            for (const wchar_t *type : types) {
                ++n;
                if (spoofed != (wcscmp(address, L"0.0.0.0") == 0))
                    continue;
                WORD strings = kind.id == 4624 && n % 2 == 0 ? 20 : kind.strings;
                bases.push_back(make_base(kind, strings, address, users[n % std::size(users)], type, n % 3 != 0,
                                          n % 5 == 0 ? 0 : 22));
            }
    return bases;
}

// Header fields by offset and size, for the mutations that name one.
struct FieldAt {
    DWORD offset;
    DWORD size;
    const char *name;
};
#define FIELD(f) {offsetof(EVENTLOGRECORD, f), sizeof(EVENTLOGRECORD::f), #f}
const FieldAt fields[] = {FIELD(Length),         FIELD(Reserved),      FIELD(RecordNumber),
                          FIELD(TimeGenerated),  FIELD(TimeWritten),   FIELD(EventID),
                          FIELD(EventType),      FIELD(NumStrings),    FIELD(EventCategory),
                          FIELD(ReservedFlags),  FIELD(ClosingRecordNumber), FIELD(StringOffset),
                          FIELD(UserSidLength),  FIELD(UserSidOffset), FIELD(DataLength),
                          FIELD(DataOffset)};
#undef FIELD

DWORD interesting(Rng &rng, DWORD size, DWORD length, const Base &base)
{
    const DWORD values[] = {0, 1, 2, 3, 4, 0x37, 0x38, 0x39, 0x3A, 0x3C, length - 4, length - 2, length - 1, length,
                            length + 1, length + 2, length + 4, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE,
                            0xFFFFFFFC, 0xFFFF, 0x10000, 0xFFFE, 65536 + 56, base.string_end, base.string_end - 2,
                            // the table's event IDs, types, categories and string counts
                            528, 529, 539, 4624, 4625, 4776, 8, 16, 2, 12544, 13, 15, 20, 21, 27, 4};
    DWORD pick = rng.below(static_cast<DWORD>(std::size(values)) + 3);
    if (pick == std::size(values))
        return static_cast<DWORD>(rng.next());
    if (pick == std::size(values) + 1)
        return rng.below(length + 8);
    if (pick == std::size(values) + 2 && !base.string_at.empty())
        return base.string_at[rng.below(static_cast<DWORD>(base.string_at.size()))] + rng.below(3);
    return size == 2 ? values[pick] & 0xFFFF : values[pick];
}

void put_field(std::vector<BYTE> &bytes, const FieldAt &f, DWORD value)
{
    memcpy(bytes.data() + f.offset, &value, f.size); // little-endian: the low bytes for a WORD
}

// One mutation of the record; its name is kept for the crash report.
const char *mutate(Rng &rng, const Base &base, std::vector<BYTE> &bytes)
{
    DWORD length = static_cast<DWORD>(bytes.size());
    switch (rng.below(10)) {
    case 0: case 1: { // a header field
        const FieldAt &f = fields[rng.below(static_cast<DWORD>(std::size(fields)))];
        put_field(bytes, f, interesting(rng, f.size, length, base));
        return f.name;
    }
    case 2: { // a terminator becomes a letter
        if (base.string_at.empty())
            return "none";
        DWORD k = rng.below(static_cast<DWORD>(base.string_at.size()));
        DWORD end = k + 1 < base.string_at.size() ? base.string_at[k + 1] : base.string_end;
        bytes[end - 2] = 'A';
        return "terminator removed";
    }
    case 3: { // every terminator from some string on, up to the end of the record
        if (base.string_at.empty())
            return "none";
        DWORD from = base.string_at[rng.below(static_cast<DWORD>(base.string_at.size()))];
        for (DWORD at = from; at + 1 < length; at += 2)
            if (bytes[at] == 0 && bytes[at + 1] == 0)
                bytes[at] = 'Z';
        return "terminators removed to the end";
    }
    case 4: { // a string split in two by a zero
        if (base.string_at.empty())
            return "none";
        DWORD at = base.string_at[rng.below(static_cast<DWORD>(base.string_at.size()))];
        if (at + 2 < base.string_end)
            bytes[at] = bytes[at + 1] = 0;
        return "terminator inserted";
    }
    case 5: { // the SID: revision, sub-authority count, length, or where it lies
        EVENTLOGRECORD &h = header_of(bytes);
        DWORD at = h.UserSidOffset;
        switch (rng.below(4)) {
        case 0: if (at + 1 < length) bytes[at + 1] = static_cast<BYTE>(rng.one_in(2) ? 255 : 15 + rng.below(3)); break;
        case 1: if (at < length) bytes[at] = static_cast<BYTE>(rng.next()); break;
        case 2: h.UserSidLength = interesting(rng, 4, length, base); break;
        default: h.UserSidOffset = length - 1 - rng.below(12); h.UserSidLength = 28; break;
        }
        return "SID";
    }
    case 6: { // a string's characters: random, or a long run up to the end
        if (base.string_at.empty())
            return "none";
        DWORD at = base.string_at[rng.below(static_cast<DWORD>(base.string_at.size()))];
        for (DWORD n = 1 + rng.below(8); n > 0 && at + 1 < base.string_end; --n, at += 2) {
            bytes[at] = static_cast<BYTE>(rng.next());
            bytes[at + 1] = static_cast<BYTE>(rng.one_in(2) ? 0 : rng.next());
        }
        return "string characters";
    }
    case 7: { // random bytes anywhere
        for (DWORD n = 1 + rng.below(8); n > 0; --n)
            bytes[rng.below(length)] = static_cast<BYTE>(rng.next());
        return "random bytes";
    }
    case 8: { // longer than built, with no terminator in what was added
        DWORD more = 4 * (1 + rng.below(64));
        bytes.insert(bytes.end(), more, 'Q');
        header_of(bytes).Length = length + more;
        return "grown";
    }
    default: { // the string count against the table
        header_of(bytes).NumStrings = static_cast<WORD>(rng.one_in(2) ? header_of(bytes).NumStrings + rng.below(3) - 1
                                                                       : interesting(rng, 2, length, base));
        return "NumStrings";
    }
    }
}

// What the child counts, handed back to the test.
struct Counts {
    DWORD cases, walked, accepted_by_id[6], spoofed, dumped, blocks;
};
Counts counts;
const DWORD ids[6] = {528, 529, 539, 4624, 4625, 4776};

// The case being run, for the crash report.
volatile uint64_t current_seed;
volatile DWORD current_case;
const char *volatile current_mutation = "";
const BYTE *volatile current_record;
volatile DWORD current_size;
const char *volatile current_step = "";

LONG WINAPI report_crash(EXCEPTION_POINTERS *info)
{
    char text[512];
    const EXCEPTION_RECORD *e = info->ExceptionRecord;
    ULONG_PTR address = e->NumberParameters >= 2 ? e->ExceptionInformation[1] : 0;
    int n = snprintf(text, sizeof(text),
                     "\nCRASH 0x%08lx at %p (data %p) in %s: seed %llu case %lu mutation \"%s\" record %p, %lu bytes"
                     " (inaccessible page at %p)\n",
                     static_cast<unsigned long>(e->ExceptionCode), e->ExceptionAddress, reinterpret_cast<void *>(address),
                     current_step, static_cast<unsigned long long>(current_seed), static_cast<unsigned long>(current_case),
                     current_mutation, static_cast<const void *>(current_record), static_cast<unsigned long>(current_size),
                     static_cast<const void *>(current_record + current_size));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(n), &written, nullptr);
    ExitProcess(3);
}

// A pointer of the report lies in the record with its terminator, or is an empty constant.
bool field_inside(const wchar_t *text, const BYTE *record, DWORD length)
{
    const BYTE *p = reinterpret_cast<const BYTE *>(text);
    if (p < record || p >= record + length)
        return text != nullptr && text[0] == L'\0';
    return wmemchr(text, L'\0', static_cast<size_t>(record + length - p) / sizeof(wchar_t)) != nullptr;
}

bool checks_failed = false;

void check(bool ok, const char *what)
{
    if (ok)
        return;
    checks_failed = true;
    fprintf(stderr, "\nFAILED %s: seed %llu case %lu mutation \"%s\"\n", what,
            static_cast<unsigned long long>(current_seed), static_cast<unsigned long>(current_case), current_mutation);
}

wchar_t time_text[time_text_chars];

// What the loop does with one record of a batch.
void visit(const EVENTLOGRECORD *record, DWORD length)
{
    ++counts.walked;
    LogonReport report = {};
    bool is_success = false;
    current_step = "decode_logon_event";
    const DecodeResult result = decode_logon_event(record, length, time_text, report, is_success);
    if (result != DecodeResult::rejected) {
        const BYTE *bytes = reinterpret_cast<const BYTE *>(record);
        for (const wchar_t *text : {report.domain, report.user, report.address, report.logon_type, report.authentication})
            check(field_inside(text, bytes, length), "a decoded text outside the record");
        check(report.attempts != nullptr && report.attempts[0] == L'\0', "attempts not empty after decoding");
        check(wmemchr(time_text, L'\0', time_text_chars) != nullptr, "time text unterminated");
    }
    if (result == DecodeResult::accepted) {
        for (int i = 0; i < 6; ++i)
            counts.accepted_by_id[i] += record->EventID == ids[i];
        current_step = "dump_event_record";
        if (counts.walked % dump_every == 0) {
            dump_event_record(record, length, time_text);
            ++counts.dumped;
        }
        current_step = is_success ? "handle_logon_success" : "handle_logon_failure";
        if (is_success)
            handle_logon_success(report);
        else
            handle_logon_failure(report, record->TimeGenerated, time_text);
    } else if (result == DecodeResult::spoofed) {
        ++counts.spoofed;
        current_step = "handle_spoofed_address";
        handle_spoofed_address(report, record->TimeGenerated, time_text);
    } else if (counts.walked % dump_every == 0) {
        // The dump takes any record the walk let through; it is not only for accepted ones.
        current_step = "dump_event_record (rejected record)";
        dump_event_record(record, length, time_text);
        ++counts.dumped;
    }
    current_step = "walk_batch";
}

void set_thresholds(DWORD value)
{
    for (DWORD *t : {&max_logon_count_normal_net, &max_logon_count_whitelist_net, &max_logon_count_normal_net_clear_text,
                     &max_logon_count_whitelist_net_clear_text, &max_logon_count_normal_RDP, &max_logon_count_whitelist_RDP})
        *t = value;
}

int run_mutations()
{
    SetUnhandledExceptionFilter(report_crash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const uint64_t seed = env_number(L"TOSMIRE_ROBUST_SEED", default_seed);
    const DWORD cases = static_cast<DWORD>(env_number(L"TOSMIRE_ROBUST_CASES", default_cases));
    current_seed = seed;
    const uint64_t show_case = env_number(L"TOSMIRE_ROBUST_SHOW_CASE", ~0ull);
    Rng rng{seed};
    whitelist_IP = {std::size(whitelist_ips), const_cast<const wchar_t **>(whitelist_ips)};
    whitelist_user = {std::size(whitelist_users), const_cast<const wchar_t **>(whitelist_users)};
    const HANDLE source = RegisterEventSourceW(nullptr, L"tosmire.IPS");
    const std::vector<Base> bases = make_bases(false), spoofed = make_bases(true);
    for (const std::vector<Base> *list : {&bases, &spoofed})
        for (const Base &b : *list)
            if (b.bytes.empty())
                return 2;

    std::vector<BYTE> record, batch;
    for (DWORD c = 0; c < cases; ++c) {
        current_case = c;
        const std::vector<Base> &from = rng.one_in(spoofed_every) ? spoofed : bases;
        const Base &base = from[rng.below(static_cast<DWORD>(from.size()))];
        record = base.bytes;
        current_mutation = mutate(rng, base, record);
        if (rng.one_in(4))
            mutate(rng, base, record); // two at once; the crash report names the first
        // Batches: the record alone, or behind a valid one; bytes read cut short now and then.
        batch.clear();
        if (rng.one_in(4)) {
            const Base &first = bases[rng.below(static_cast<DWORD>(bases.size()))];
            batch = first.bytes;
        }
        batch.insert(batch.end(), record.begin(), record.end());
        DWORD size = static_cast<DWORD>(batch.size());
        if (rng.one_in(8))
            size -= rng.below(static_cast<DWORD>(record.size()));
        const BYTE *placed = place_against_guard(batch.data(), size);
        if (placed == nullptr)
            return 4;
        current_record = placed;
        current_size = size;
        if (c == show_case) { // the bytes of one case, to reproduce it elsewhere
            fprintf(stderr, "\ncase %lu, %lu bytes:", static_cast<unsigned long>(c), static_cast<unsigned long>(size));
            for (DWORD i = 0; i < size; ++i)
                fprintf(stderr, "%s%02x", i % 32 == 0 ? "\n" : " ", placed[i]);
            fprintf(stderr, "\n");
        }

        event_source = c % report_every == 0 ? source : nullptr;
        set_thresholds(c % block_every == 0 ? 0 : 0xFFFFFFF0u);

        // Decoding on its own, with whatever the bytes hold from the mutated record on.
        const DWORD prefix = static_cast<DWORD>(batch.size() - record.size());
        if (size > prefix) {
            LogonReport report;
            bool is_success = false;
            current_step = "decode_logon_event (direct)";
            decode_logon_event(reinterpret_cast<const EVENTLOGRECORD *>(placed + prefix), size - prefix, time_text,
                               report, is_success);
        }
        current_step = "walk_batch";
        DWORD visited = walk_batch(placed, size, visit);
        check(visited <= 2, "more records visited than the batch holds");
        ++counts.cases;
    }
    event_source = nullptr;
    DeregisterEventSource(source);
    wchar_t text[256];
    int n = swprintf(text, 256, L"%lu %lu %lu %lu %lu %lu %lu %lu %lu %lu", counts.cases, counts.walked,
                     counts.accepted_by_id[0], counts.accepted_by_id[1], counts.accepted_by_id[2],
                     counts.accepted_by_id[3], counts.accepted_by_id[4], counts.accepted_by_id[5], counts.spoofed,
                     counts.dumped);
    write_scenario_result(checks_failed ? 1 : 0, text, static_cast<DWORD>(n));
    return checks_failed ? 1 : 0;
}

std::wstring tail(const std::wstring &text, size_t chars = 3000)
{
    return text.size() > chars ? L"..." + text.substr(text.size() - chars) : text;
}

TEST(MutatedRecords, NeverCrashHangNorReadOutsideTheRecord)
{
    SimFolder sim;
    const uint64_t seed = env_number(L"TOSMIRE_ROBUST_SEED", default_seed);
    SetEnvironmentVariableW(L"TOSMIRE_ROBUST_SEED", std::to_wstring(seed).c_str());
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set TOSMIRE_ROBUST_SEED to repeat or vary it)");
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    // The Security message files registered, as on Windows: the dump formats every record's
    // event text with its mutated strings (and loads the file once, not for every record).
    ASSERT_EQ(0u, run_redirected(L"evtlog.exe register-messages").exit_code);
    const DWORD started = GetTickCount();
    ChildResult child = run_redirected(L"\"" + std::wstring(self, length) + L"\" --child mutate", 110000);
    const DWORD took = GetTickCount() - started;
    run_redirected(L"evtlog.exe unregister-messages");
    ASSERT_TRUE(child.finished) << tail(child.output);
    EXPECT_EQ(0u, child.exit_code) << tail(child.output);
    ScenarioResult r = read_scenario_result(sim);
    ASSERT_TRUE(r.present) << tail(child.output);
    DWORD c[10] = {};
    swscanf(r.text.c_str(), L"%lu %lu %lu %lu %lu %lu %lu %lu %lu %lu", &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6],
            &c[7], &c[8], &c[9]);
    printf("%lu cases in %lu ms: %lu records walked; accepted 528 %lu, 529 %lu, 539 %lu, 4624 %lu, 4625 %lu, "
           "4776 %lu; spoofed %lu; dumped %lu\n",
           c[0], took, c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]);
    const DWORD wanted = static_cast<DWORD>(env_number(L"TOSMIRE_ROBUST_CASES", default_cases));
    EXPECT_EQ(wanted, c[0]);
    // Mutations that keep a record valid must still reach the block decision for every event
    // that can (4776 never passes the logon type): otherwise the cases test only the rejection.
    for (int i = 0; i < 5; ++i)
        EXPECT_GT(c[2 + i], 0u) << "no accepted record of event " << ids[i];
    EXPECT_EQ(0u, c[7]) << "4776 has no logon type: never accepted";

    // Whatever the mutated texts held, every block command was one netsh command that the
    // simulated netsh carried out: a plain address, one quoted description, nothing else.
    std::vector<JournalEntry> journal;
    SimStore store;
    ASSERT_TRUE(journal_read(sim.file(L"netsh.log"), journal) && store_load(sim.file(L"netsh-store.txt"), store));
    printf("%zu block commands ran netsh, %zu filters stored\n", journal.size(), store.filters.size());
    if (wanted >= 10 * block_every) {
        EXPECT_GT(journal.size(), 0u) << "no block ran";
    }
    for (const JournalEntry &entry : journal) {
        const std::wstring command = as_formatted(entry.cmdline);
        EXPECT_EQ(0u, entry.exit_code) << entry.cmdline;
        EXPECT_TRUE(!command.empty() && command.size() <= 511u) << entry.cmdline;
        EXPECT_EQ(2, std::count(command.begin(), command.end(), L'"')) << entry.cmdline;
    }
    for (const SimFilter &f : store.filters)
        EXPECT_TRUE(is_plain_address(f.dstaddr.c_str()) && f.protocol == L"ANY" && f.mirrored && f.filterlist == L"Brek")
            << f.dstaddr << L" " << f.description;
}

// The guard itself: one byte read past a placed record ends the child with the crash report.
TEST(MutatedRecords, AReadPastTheRecordIsCaughtAndReported)
{
    SimFolder sim;
    ChildResult child = run_scenario("overread");
    EXPECT_TRUE(child.finished && child.exit_code == 3) << child.output;
    EXPECT_NE(std::wstring::npos, child.output.find(L"CRASH 0xc0000005")) << child.output;
    EXPECT_NE(std::wstring::npos, child.output.find(L"in overread: seed")) << child.output;
}

int overread_scenario()
{
    SetUnhandledExceptionFilter(report_crash);
    std::vector<BYTE> bytes = build_record(e4625, L"203.0.113.1");
    const BYTE *placed = place_against_guard(bytes.data(), bytes.size());
    current_step = "overread";
    current_record = placed;
    current_size = static_cast<DWORD>(bytes.size());
    return placed != nullptr ? *reinterpret_cast<const volatile BYTE *>(placed + bytes.size()) : 2;
}

// Case 42286 of seed 20261208, reduced: a 528 record whose UserSidLength is 0 and whose
// UserSidOffset is Length - 2, so that its SID text is the empty text in the high half of the
// trailing length. The dump converts that text with ConvertStringSidToSidW, which under Wine
// reads two characters further: past the record, unless the dump converts a copy.
TEST(DumpedRecord, TextSidAtTheEnd)
{
    ChildResult child = run_scenario("text-sid");
    EXPECT_TRUE(child.finished && child.exit_code == 0) << child.output;
}

int text_sid_scenario()
{
    SetUnhandledExceptionFilter(report_crash);
    std::vector<BYTE> bytes = build_record(e528, L"203.0.113.1");
    EVENTLOGRECORD &h = header_of(bytes);
    h.UserSidLength = 0;
    h.UserSidOffset = h.Length - 2;
    const BYTE *placed = place_against_guard(bytes.data(), bytes.size());
    current_step = "dump_event_record";
    current_record = placed;
    current_size = static_cast<DWORD>(bytes.size());
    dump_event_record(reinterpret_cast<const EVENTLOGRECORD *>(placed), current_size, L"2022-04-29  PM 02:05:09");
    return 0;
}

// Windows writes a link-local attacker's address with its zone index ("fe80::1%12") into 4625.
// netsh refuses a dstaddr with a zone (exit 1), and the address would then be held as if
// blocked, never blocked: the filter takes the address without its zone.
TEST(ZoneIndexedAddress, IsBlockedWithoutItsZone)
{
    SimFolder sim;
    ChildResult child = run_scenario("zone");
    ASSERT_TRUE(child.finished && child.exit_code == 0) << child.output;
    std::vector<JournalEntry> journal;
    ASSERT_TRUE(journal_read(sim.file(L"netsh.log"), journal));
    ASSERT_EQ(1u, journal.size());
    EXPECT_EQ(0u, journal[0].exit_code) << journal[0].cmdline << L"\n" << child.output;
}

int zone_scenario()
{
    set_thresholds(0);
    LogonReport report = {L"WORKGROUP", L"guest", L"fe80::1%12", L"", L"3", L"NTLM"};
    handle_logon_failure(report, 1651241109, L"2022-04-29  PM 02:05:09");
    return 0;
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario == "zone")
        return zone_scenario();
    if (scenario == "text-sid")
        return text_sid_scenario();
    if (scenario == "overread")
        return overread_scenario();
    return scenario == "mutate" ? run_mutations() : 99;
}
