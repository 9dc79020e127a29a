// evtlog: writes, replays, clears and reads the simulated Windows event log (tools/evtsim),
// for tests, the demonstration and administrators trying the system under Wine.
#include "tools/evtlog/logon_events.h"
#include "tools/evtlog/messages.h"
#include "tools/evtlog/view.h"
#include "tools/evtsim/log_file.h"
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <ctime>
#include <cwchar>

namespace {

const wchar_t usage_text[] =
    L"evtlog - writes and reads the simulated Windows event log\n"
    L"\n"
    L"  evtlog EVENT [options]         append a logon event to the Security log:\n"
    L"                                 4624 (success, 20 or 27 strings), 4625 (failure),\n"
    L"                                 528 (legacy success), 529, 539 (legacy failures),\n"
    L"                                 4776 (credential validation failure);\n"
    L"                                 or 140 to the Remote Desktop channel (client address)\n"
    L"  evtlog forward EVENT [options] append 4624, 4625 or 4776 to ForwardedEvents as another\n"
    L"                                 computer's (--computer) Security event\n"
    L"  evtlog burst N M [options]     N events (4625 unless --event) from M addresses in turn,\n"
    L"                                 counting up from --address, at --rate events a second\n"
    L"  evtlog replay FILE [LOG] [--now]  append the records of an exported .evt file\n"
    L"                                 (default log Security); each record's time written is\n"
    L"                                 the time of the append, as the log service stamps it;\n"
    L"                                 its time generated is kept, or set to now with --now\n"
    L"  evtlog clear LOG [BACKUP]      clear a log, saving it first to BACKUP (.evt)\n"
    L"  evtlog backup LOG FILE         save a log to FILE (.evt), which must not exist yet\n"
    L"  evtlog list LOG                print one line per record: number, time (UTC), source,\n"
    L"                                 event ID, type, category, strings joined by '|', data;\n"
    L"                                 tab-separated, with \\ | tab CR LF escaped as\n"
    L"                                 \\\\ \\| \\t \\r \\n, other control characters and\n"
    L"                                 data bytes that are not printable ASCII as \\xNN\n"
    L"  evtlog render [LOG]            print the records as Event Viewer shows them, with the\n"
    L"                                 texts of the sources' message files (default Application)\n"
    L"  evtlog path [LOG]              print the folder of the logs, or a log's file\n"
    L"  evtlog register-messages [FILE]  register FILE (default secmsg.dll beside evtlog) as\n"
    L"                                 the message file of the Security sources Security,\n"
    L"                                 Microsoft-Windows-Security-Auditing and LSA\n"
    L"  evtlog unregister-messages     remove those registrations\n"
    L"\n"
    L"LOG is Security, Application, RDP (the channel\n"
    L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational) or ForwardedEvents.\n"
    L"\n"
    L"Options:\n"
    L"  --user NAME          user name (default Administrator)\n"
    L"  --domain NAME        domain (default WORKGROUP)\n"
    L"  --address IP         source address (default 203.0.113.10)\n"
    L"  --port N             source port (default 0)\n"
    L"  --workstation NAME   client workstation name (default WORKSTATION)\n"
    L"  --logon-type N       logon type (default 3)\n"
    L"  --auth PACKAGE       authentication package (default NTLM)\n"
    L"  --source NAME        source of the record (default Microsoft-Windows-Security-Auditing\n"
    L"                       for 4624, 4625, 4776, Security for 528, 529, 539)\n"
    L"  --strings N          insertion strings of 4624, 20 or 27 (default 27); with forward any N to\n"
    L"                       the event's number: the record keeps its first N strings, as a\n"
    L"                       damaged or forged forwarded event\n"
    L"  --typed              a forwarded event whose data render with their types, as in its\n"
    L"                       source's log (by default as strings, as a collector stores them\n"
    L"                       from their XML)\n"
    L"  --computer NAME      source computer of a forwarded event, 1 to 255 characters (a DNS\n"
    L"                       name's limit), kept as given (default SRV01)\n"
    L"  --category N         category instead of the event's own\n"
    L"  --time T             event time: seconds since 1970 or YYYY-MM-DDTHH:MM:SS, UTC\n"
    L"                       (default now)\n"
    L"  --count N            append the event N times (default 1)\n"
    L"  --event ID           event of a burst (default 4625)\n"
    L"  --rate R             events a second of a burst; 0 as fast as possible (default 0)\n"
    L"\n"
    L"The logs are files in the folder TOSMIRE_SIM_DIR (default %ProgramData%\\tosmire-evtsim).\n"
    L"Exit code: 0 done, 1 failed, 2 wrong command line.\n";

constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

// The log service's clock for this command's appends (0: the time of each append); read once,
// since a missing variable costs a registry lookup, and a burst appends thousands of records.
DWORD log_clock()
{
    static const DWORD clock = sim_hook_code(sim_clock_variable, nullptr);
    return clock;
}

struct Options {
    LogonOptions logon = {L"Administrator", L"WORKGROUP", L"203.0.113.10", L"0",
                          L"WORKSTATION",   L"3",         L"NTLM",         27};
    long category = -1;
    const wchar_t *source = nullptr;
    const wchar_t *computer = L"SRV01";
    long strings = -1;   // forward: the strings kept; -1 all
    DWORD time = 0;
    DWORD count = 1;
    DWORD burst_event = 4625;
    double rate = 0;
    bool now = false;
    bool typed = false;   // forward: the record marked sim_forwarded_typed
    const wchar_t *positional[4] = {};
    int positional_count = 0;
};

int usage_error(const wchar_t *what, const wchar_t *detail)
{
    fwprintf(stderr, L"evtlog: %ls%ls\nRun evtlog --help for the usage.\n", what, detail);
    return exit_usage;
}

int failure(const wchar_t *what, DWORD error)
{
    fwprintf(stderr, L"evtlog: %ls FAILED %u\n", what, error);
    return exit_failed;
}

bool parse_number(const wchar_t *text, DWORD *value)
{
    if (text == nullptr || *text < L'0' || *text > L'9')
        return false;
    wchar_t *end = nullptr;
    unsigned long long v = wcstoull(text, &end, 10);
    if (*end != 0 || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<DWORD>(v);
    return true;
}

// Seconds since 1970 UTC, or a UTC date and time YYYY-MM-DDTHH:MM:SS.
bool parse_time(const wchar_t *text, DWORD *value)
{
    if (parse_number(text, value))
        return *value != 0;
    SYSTEMTIME t = {};
    wchar_t separator = 0;
    wchar_t rest = 0;
    if (swscanf_s(text, L"%4hu-%2hu-%2hu%lc%2hu:%2hu:%2hu%lc", &t.wYear, &t.wMonth, &t.wDay, &separator, 1, &t.wHour,
                  &t.wMinute, &t.wSecond, &rest, 1) != 7 ||
        (separator != L'T' && separator != L' '))
        return false;
    FILETIME ft;
    if (!SystemTimeToFileTime(&t, &ft))
        return false;
    ULONGLONG seconds = ((ULONGLONG{ft.dwHighDateTime} << 32 | ft.dwLowDateTime) / 10000000ull);
    if (seconds <= 11644473600ull || seconds - 11644473600ull > 0xFFFFFFFFull)
        return false;
    *value = static_cast<DWORD>(seconds - 11644473600ull);
    return true;
}

// Parses options and positional words; 0 or the exit code of a usage error.
int parse_options(int argc, wchar_t **argv, Options *o)
{
    const bool forward = wcscmp(argv[1], L"forward") == 0;
    for (int i = 2; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (a[0] != L'-' || a[1] != L'-') {
            if (o->positional_count == 4)
                return usage_error(L"too many arguments: ", a);
            o->positional[o->positional_count++] = a;
            continue;
        }
        if (wcscmp(a, L"--now") == 0) {
            o->now = true;
            continue;
        }
        if (wcscmp(a, L"--typed") == 0 && forward) {
            o->typed = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage_error(L"missing value of ", a);
        const wchar_t *v = argv[++i];
        DWORD n = 0;
        if (wcscmp(a, L"--user") == 0)
            o->logon.user = v;
        else if (wcscmp(a, L"--domain") == 0)
            o->logon.domain = v;
        else if (wcscmp(a, L"--address") == 0)
            o->logon.address = v;
        else if (wcscmp(a, L"--port") == 0)
            o->logon.port = v;
        else if (wcscmp(a, L"--workstation") == 0)
            o->logon.workstation = v;
        else if (wcscmp(a, L"--logon-type") == 0)
            o->logon.logon_type = v;
        else if (wcscmp(a, L"--auth") == 0)
            o->logon.authentication = v;
        else if (wcscmp(a, L"--source") == 0)
            o->source = v;
        else if (wcscmp(a, L"--strings") == 0 && parse_number(v, &n) &&
                 (forward ? n <= max_logon_strings : n == 20 || n == 27))
            o->strings = static_cast<long>(n);
        else if (wcscmp(a, L"--computer") == 0 && forward && v[0] != 0 && wcslen(v) <= 255)
            o->computer = v;
        else if (wcscmp(a, L"--category") == 0 && parse_number(v, &n) && n <= 0xFFFF)
            o->category = static_cast<long>(n);
        else if (wcscmp(a, L"--time") == 0 && parse_time(v, &n))
            o->time = n;
        else if (wcscmp(a, L"--count") == 0 && parse_number(v, &n))
            o->count = n;
        else if (wcscmp(a, L"--event") == 0 && parse_number(v, &n) && is_known_event(n))
            o->burst_event = n;
        else if (wcscmp(a, L"--rate") == 0 && swscanf_s(v, L"%lf", &o->rate) == 1 && o->rate >= 0)
            continue;
        else
            return usage_error(L"bad option or value: ", a);
    }
    if (o->strings == 20 || o->strings == 27)
        o->logon.strings_4624 = static_cast<DWORD>(o->strings);
    return 0;
}

int log_argument(const wchar_t *name, int fallback)
{
    return name == nullptr ? fallback : sim_log_by_name(name);
}

// Names the argument that is not a log, if one is.
int unknown_log(const Options &o, int index)
{
    if (o.positional_count > index && sim_log_by_name(o.positional[index]) < 0)
        return usage_error(L"unknown log: ", o.positional[index]);
    return 0;
}

// Builds the record of an event into buffer (sim_max_record_size bytes), a forwarded one as
// its source computer wrote it; its length or 0.
DWORD build_event(DWORD event_id, const Options &o, const LogonOptions &logon, BYTE *buffer, bool forwarded = false)
{
    LogonEvent e;
    build_logon_event(event_id, logon, &e);
    if (forwarded && o.strings >= 0)
        e.num_strings = static_cast<WORD>(o.strings);
    // LocalSystem, S-1-5-18, on the legacy events.
    SID system_sid = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    SimRecord fields = {};
    fields.source = o.source != nullptr ? o.source : e.source;
    fields.computer = forwarded ? o.computer : local_computer_name();
    fields.event_id = e.event_id;
    fields.event_type = e.event_type;
    fields.category = o.category >= 0 ? static_cast<WORD>(o.category) : e.category;
    fields.time_generated = o.time;
    fields.user_sid = e.system_sid ? &system_sid : nullptr;
    fields.num_strings = e.num_strings;
    fields.strings = e.strings;
    DWORD length = 0;
    DWORD error = sim_build_record(fields, buffer, sim_max_record_size, &length);
    if (error != 0) {
        failure(L"building the record:", error);
        return 0;
    }
    if (forwarded && o.typed)
        reinterpret_cast<EVENTLOGRECORD *>(buffer)->ReservedFlags = sim_forwarded_typed;
    return length;
}

int append_event(DWORD event_id, const Options &o, bool forwarded = false)
{
    static BYTE record[sim_max_record_size];
    DWORD length = build_event(event_id, o, o.logon, record, forwarded);
    if (length == 0)
        return exit_failed;
    LogFile lf;
    DWORD error = log_open(forwarded ? sim_forwarded : event_log(event_id), &lf);
    for (DWORD i = 0; error == 0 && i < o.count; ++i)
        error = log_append(&lf, record, length, log_clock());
    log_close(&lf);
    return error == 0 ? 0 : failure(L"append", error);
}

bool parse_ipv4(const wchar_t *text, DWORD *address)
{
    unsigned a, b, c, d;
    wchar_t rest;
    if (swscanf_s(text, L"%u.%u.%u.%u%lc", &a, &b, &c, &d, &rest, 1) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
        return false;
    *address = a << 24 | b << 16 | c << 8 | d;
    return true;
}

// Another computer's Security event, as Windows Event Forwarding copies it into ForwardedEvents.
int forward(const Options &o)
{
    DWORD event_id = 0;
    if (o.positional_count != 1 || !parse_number(o.positional[0], &event_id) ||
        (event_id != 4624 && event_id != 4625 && event_id != 4776))
        return usage_error(L"forward needs the event 4624, 4625 or 4776", L"");
    LogonEvent full;
    build_logon_event(event_id, o.logon, &full);
    if (o.strings > full.num_strings)
        return usage_error(L"--strings is more than the event has", L"");
    return append_event(event_id, o, true);
}

// N events over M addresses in turn; each record is its own append, as Windows writes them.
int burst(const Options &o)
{
    DWORD total = 0;
    DWORD addresses = 0;
    DWORD base = 0;
    if (o.positional_count != 2 || !parse_number(o.positional[0], &total) || !parse_number(o.positional[1], &addresses) ||
        addresses == 0)
        return usage_error(L"burst needs N and M (M at least 1)", L"");
    if (!parse_ipv4(o.logon.address, &base))
        return usage_error(L"burst needs an IPv4 --address, not ", o.logon.address);
    static BYTE record[sim_max_record_size];
    LogFile lf;
    DWORD error = log_open(event_log(o.burst_event), &lf);
    ULONGLONG start = GetTickCount64();
    for (DWORD i = 0; error == 0 && i < total; ++i) {
        if (o.rate > 0) {
            ULONGLONG due = start + static_cast<ULONGLONG>(i * 1000.0 / o.rate);
            ULONGLONG now = GetTickCount64();
            if (due > now)
                Sleep(static_cast<DWORD>(due - now));
        }
        DWORD a = base + i % addresses;
        wchar_t address[16];
        _snwprintf_s(address, 16, _TRUNCATE, L"%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
        LogonOptions logon = o.logon;
        logon.address = address;
        DWORD length = build_event(o.burst_event, o, logon, record);
        error = length == 0 ? ERROR_INVALID_DATA : log_append(&lf, record, length, log_clock());
    }
    log_close(&lf);
    return error == 0 ? 0 : failure(L"append", error);
}

// Reads an exported .evt file, which may wrap around its end and may not have been closed
// cleanly (then its EOF record, not its header, tells where the records are), and appends
// its records in order.
int replay(const Options &o)
{
    if (int status = unknown_log(o, 1))
        return status;
    int log = log_argument(o.positional_count > 1 ? o.positional[1] : nullptr, sim_security);
    if (o.positional_count < 1 || o.positional_count > 2 || log < 0)
        return usage_error(L"replay needs FILE and optionally LOG", L"");
    HANDLE file = CreateFileW(o.positional[0], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failure(L"open", GetLastError());
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    if (size.QuadPart < static_cast<LONGLONG>(elf_header_size) || size.QuadPart > 0x7FFFFFFF) {
        CloseHandle(file);
        return failure(L"not an .evt file:", ERROR_BAD_FORMAT);
    }
    DWORD file_size = static_cast<DWORD>(size.QuadPart);
    BYTE *image = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, file_size));
    DWORD done = 0;
    BOOL ok = image != nullptr && ReadFile(file, image, file_size, &done, nullptr) && done == file_size;
    CloseHandle(file);
    if (!ok) {
        if (image != nullptr)
            HeapFree(GetProcessHeap(), 0, image);
        return failure(L"read", image == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_READ_FAULT);
    }
    int status = 0;
    ElfLogfileHeader h;
    memcpy(&h, image, elf_header_size);
    DWORD begin = h.StartOffset;
    DWORD end = h.EndOffset;
    // The circular area ends at MaxSize when that lies within the file.
    DWORD wrap_at = h.MaxSize > elf_header_size && h.MaxSize <= file_size ? h.MaxSize : file_size;
    if (h.Flags & elf_header_dirty) {
        for (DWORD at = elf_header_size; at + elf_eof_size <= file_size; at += 4) {
            ElfEofRecord eof;
            memcpy(&eof, image + at, elf_eof_size);
            if (eof.RecordSizeBeginning == elf_eof_size && eof.One == 0x11111111 && eof.Two == 0x22222222 &&
                eof.Three == 0x33333333 && eof.Four == 0x44444444 && eof.RecordSizeEnd == elf_eof_size) {
                begin = eof.BeginRecord;
                end = eof.EndRecord;
                break;
            }
        }
    }
    if (h.HeaderSize != elf_header_size || h.Signature != elf_signature || begin < elf_header_size ||
        begin >= wrap_at || end < elf_header_size || end >= wrap_at || wrap_at % 4 != 0) {
        HeapFree(GetProcessHeap(), 0, image);
        return failure(L"not an .evt file:", ERROR_BAD_FORMAT);
    }
    static BYTE record[sim_max_record_size];
    DWORD replayed = 0;
    DWORD skipped = 0;
    LogFile lf;
    DWORD error = log_open(log, &lf);
    DWORD at = begin;
    DWORD consumed = 0;
    DWORD area = wrap_at - elf_header_size;
    while (error == 0 && at != end && consumed < area) {
        // Fewer bytes than a length, or the filler DWORD 0x27, end the area before the wrap.
        DWORD filler = 0;
        if (wrap_at - at >= 4)
            memcpy(&filler, image + at, 4);
        if (wrap_at - at < 4 || filler == 0x27) {
            consumed += wrap_at - at;
            at = elf_header_size;
            continue;
        }
        DWORD length = filler;
        if (length < sizeof(EVENTLOGRECORD) + 4 || length % 4 != 0 || length > area - consumed ||
            length > sim_max_record_size) {
            fwprintf(stderr, L"evtlog: damaged record at offset %u; the rest is not replayed\n", at);
            status = exit_failed;
            break;
        }
        // A record may continue at the start of the area.
        DWORD first = length <= wrap_at - at ? length : wrap_at - at;
        memcpy(record, image + at, first);
        memcpy(record + first, image + elf_header_size, length - first);
        at = first == length ? at + length : elf_header_size + (length - first);
        if (at == wrap_at)
            at = elf_header_size;
        consumed += length;
        if (sim_check_record(record, length) != length) {
            ++skipped;
            continue;
        }
        if (o.now)
            reinterpret_cast<EVENTLOGRECORD *>(record)->TimeGenerated = static_cast<DWORD>(_time64(nullptr));
        error = log_append(&lf, record, length, log_clock());
        if (error == 0)
            ++replayed;
    }
    log_close(&lf);
    HeapFree(GetProcessHeap(), 0, image);
    if (error != 0)
        return failure(L"append", error);
    wprintf(L"replayed %u records, skipped %u\n", replayed, skipped);
    return skipped != 0 ? exit_failed : status;
}

int clear(const Options &o)
{
    if (int status = unknown_log(o, 0))
        return status;
    int log = log_argument(o.positional_count > 0 ? o.positional[0] : nullptr, -1);
    if (o.positional_count < 1 || o.positional_count > 2 || log < 0)
        return usage_error(L"clear needs LOG and optionally BACKUP", L"");
    HANDLE h = OpenEventLogW(nullptr, sim_log_name(log));
    if (h == nullptr)
        return failure(L"OpenEventLogW()", GetLastError());
    BOOL ok = ClearEventLogW(h, o.positional_count > 1 ? o.positional[1] : nullptr);
    DWORD error = GetLastError();
    CloseEventLog(h);
    return ok ? 0 : failure(L"ClearEventLogW()", error);
}

int backup(const Options &o)
{
    if (int status = unknown_log(o, 0))
        return status;
    int log = log_argument(o.positional_count > 0 ? o.positional[0] : nullptr, -1);
    if (o.positional_count != 2 || log < 0)
        return usage_error(L"backup needs LOG and FILE", L"");
    HANDLE h = OpenEventLogW(nullptr, sim_log_name(log));
    if (h == nullptr)
        return failure(L"OpenEventLogW()", GetLastError());
    BOOL ok = BackupEventLogW(h, o.positional[1]);
    DWORD error = GetLastError();
    CloseEventLog(h);
    return ok ? 0 : failure(L"BackupEventLogW()", error);
}

int view(const Options &o, bool render)
{
    if (int status = unknown_log(o, 0))
        return status;
    int log = log_argument(o.positional_count > 0 ? o.positional[0] : nullptr, render ? sim_application : -1);
    if (o.positional_count > 1 || log < 0)
        return usage_error(render ? L"render takes one LOG" : L"list needs LOG", L"");
    DWORD error = render ? render_log(log) : list_log(log);
    return error == 0 ? 0 : failure(L"reading the log", error);
}

int path(const Options &o)
{
    if (int status = unknown_log(o, 0))
        return status;
    int log = log_argument(o.positional_count > 0 ? o.positional[0] : nullptr, -1);
    if (o.positional_count > 1)
        return usage_error(L"path takes one LOG", L"");
    wchar_t p[sim_path_capacity];
    DWORD error = log < 0 ? sim_dir(p, sim_path_capacity) : sim_log_path(log, p, sim_path_capacity);
    if (error != 0)
        return failure(L"path", error);
    wprintf(L"%ls\n", p);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    // UTF-16 inside, UTF-8 outside: names and messages keep every character.
    _setmode(_fileno(stdout), _O_U8TEXT);
    _setmode(_fileno(stderr), _O_U8TEXT);
    if (argc < 2 || wcscmp(argv[1], L"--help") == 0 || wcscmp(argv[1], L"-h") == 0 || wcscmp(argv[1], L"/?") == 0) {
        fputws(usage_text, argc < 2 ? stderr : stdout);
        return argc < 2 ? exit_usage : 0;
    }
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status != 0)
        return status;
    const wchar_t *command = argv[1];
    DWORD event_id = 0;
    if (parse_number(command, &event_id)) {
        if (!is_known_event(event_id))
            return usage_error(L"unknown event: ", command);
        if (o.positional_count != 0)
            return usage_error(L"unexpected argument: ", o.positional[0]);
        return append_event(event_id, o);
    }
    if (wcscmp(command, L"forward") == 0)
        return forward(o);
    if (wcscmp(command, L"burst") == 0)
        return burst(o);
    if (wcscmp(command, L"replay") == 0)
        return replay(o);
    if (wcscmp(command, L"clear") == 0)
        return clear(o);
    if (wcscmp(command, L"backup") == 0)
        return backup(o);
    if (wcscmp(command, L"list") == 0)
        return view(o, false);
    if (wcscmp(command, L"render") == 0)
        return view(o, true);
    if (wcscmp(command, L"path") == 0)
        return path(o);
    if (wcscmp(command, L"register-messages") == 0 || wcscmp(command, L"unregister-messages") == 0) {
        const bool add = command[0] == L'r';
        if (o.positional_count > (add ? 1 : 0))
            return usage_error(L"unexpected argument: ", o.positional[add ? 1 : 0]);
        DWORD error = add ? register_security_messages(o.positional_count > 0 ? o.positional[0] : nullptr)
                          : unregister_security_messages();
        return error == 0 ? 0 : failure(add ? L"registering the message file" : L"removing the message file", error);
    }
    return usage_error(L"unknown command: ", command);
}
