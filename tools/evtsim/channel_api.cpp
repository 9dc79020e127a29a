// The subscription calls of the simulation (wevtapi): push subscriptions on a log with a
// callback, values render contexts, and EvtRender of a delivered event. winevt.h declares
// these functions without dllimport, so the functions themselves are defined here (and
// their import-table entries as well, for callers that declare them imported).
#include "tools/evtsim/handles.h"
#include "tools/evtsim/log_file.h"
#include <sddl.h>
#include <winevt.h>
#include <cwchar>

namespace {

constexpr DWORD batch_capacity = 65536;   // one read of new records; every record fits
constexpr DWORD max_paths = 64;

// A subscription: its own thread reads the log's new records and calls the callback once
// per matching record, so two deliveries never run at the same time.
struct Subscription : SimObject {
    LogFile file;
    EVT_SUBSCRIBE_CALLBACK callback;
    PVOID context;
    bool any_event;
    BYTE selected[65536 / 8];   // the query's event IDs, one bit each, unless any_event
    DWORD cursor;               // offset past the last record looked at
    HANDLE wake;                // signalled by every append to the log, and to stop
    ULONG64 listener;
    HANDLE thread;
    DWORD thread_id;
    volatile LONG stopping;
    BYTE *batch;
};

enum class ValuePath : BYTE { unknown, time_created, event_id, record_id, provider, computer, data, field };

constexpr size_t max_field_name = 64;   // longer names are in no schema

struct RenderContext : SimObject {
    DWORD count;
    ValuePath paths[max_paths];
    WORD data_index[max_paths];                 // for ValuePath::data: which insertion string
    wchar_t field[max_paths][max_field_name];   // for ValuePath::field: the data item's name
};

// An event while it is delivered; the record lives in the subscription's batch. data_as_text:
// its data render as strings (a forwarded event stored from its XML).
struct EventObject : SimObject {
    const EVENTLOGRECORD *record;
    bool data_as_text;
};

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

void destroy_plain(SimObject *object) { object_free(object); }

void destroy_subscription(SimObject *object)
{
    Subscription *s = static_cast<Subscription *>(object);
    listener_remove(s->listener, s->wake);
    log_close(&s->file);
    if (s->batch != nullptr)
        HeapFree(GetProcessHeap(), 0, s->batch);
    if (s->thread != nullptr)
        CloseHandle(s->thread);
    object_free(s);
}

// Reads the small part of XPath that queries and value paths use. Blanks may stand around
// punctuation; names are matched whole and with their letter case, as Windows does.
struct Scanner {
    const wchar_t *p;
    int depth = 0;

    void blanks()
    {
        while (*p == L' ' || *p == L'\t')
            ++p;
    }
    static bool punctuation(wchar_t c) { return c != 0 && wcschr(L"/[]()=*@", c) != nullptr; }
    // Consumes text if it comes next.
    bool take(const wchar_t *text)
    {
        const wchar_t *at = p;
        blanks();
        for (; *text != 0; ++text, ++p) {
            if (punctuation(*text))
                blanks();
            if (*p != *text) {
                p = at;
                return false;
            }
        }
        return true;
    }
    bool at_end()
    {
        blanks();
        return *p == 0;
    }
    // "EventID = N", N a decimal event ID; its bit is set in ids.
    bool event_id(const wchar_t *path, BYTE *ids)
    {
        const wchar_t *at = p;
        DWORD value = 0;
        int digits = 0;
        if (take(path) && take(L"=")) {
            blanks();
            for (; *p >= L'0' && *p <= L'9' && digits <= 5; ++p, ++digits)
                value = value * 10 + static_cast<DWORD>(*p - L'0');
        }
        if (digits == 0 || digits > 5 || value > 0xFFFF) {
            p = at;
            return false;
        }
        ids[value / 8] = static_cast<BYTE>(ids[value / 8] | 1u << (value % 8));
        return true;
    }
    // "or" between two terms, with a blank or parenthesis on each side.
    bool or_word()
    {
        const wchar_t *at = p;
        blanks();
        if ((p != at || at[-1] == L')') && p[0] == L'o' && p[1] == L'r' &&
            (p[2] == L' ' || p[2] == L'\t' || p[2] == L'(')) {
            p += 2;
            return true;
        }
        p = at;
        return false;
    }
    // Terms joined by "or"; a term is EventID=N or such a list in parentheses.
    bool any_of(BYTE *ids)
    {
        do {
            if (take(L"(")) {
                if (++depth > 8 || !any_of(ids) || !take(L")"))
                    return false;
                --depth;
            } else if (!event_id(L"EventID", ids)) {
                return false;
            }
        } while (or_word());
        return true;
    }
};

// Accepts the event-ID queries in the forms Windows takes (see evtsim.h); null, empty or "*"
// selects every event. ids receives the selected event IDs, one bit each.
DWORD parse_query(const wchar_t *query, bool *any_event, BYTE *ids)
{
    *any_event = true;
    Scanner q{query != nullptr ? query : L""};
    if (q.at_end() || (q.take(L"*") && q.at_end()))
        return 0;
    q.p = query;
    *any_event = false;
    bool ok = q.event_id(L"Event/System/EventID", ids) ||
              (q.take(L"*[") && (q.event_id(L"System/EventID", ids) ||
                                 (q.take(L"System[") && q.any_of(ids) && q.take(L"]"))) &&
               q.take(L"]"));
    return ok && q.at_end() ? 0 : ERROR_EVT_INVALID_QUERY;
}

// The insertion string number index of a record, or null.
const wchar_t *insertion_string(const EVENTLOGRECORD *record, DWORD index)
{
    if (index >= record->NumStrings)
        return nullptr;
    const wchar_t *s = reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(record) + record->StringOffset);
    for (; index > 0; --index)
        s += wcslen(s) + 1;
    return s;
}

void deliver(Subscription *s, const EVENTLOGRECORD *record)
{
    EventObject *event = static_cast<EventObject *>(object_alloc(sizeof(EventObject), SimKind::event, destroy_plain));
    HANDLE handle = event != nullptr ? handle_insert(event) : nullptr;
    if (handle == nullptr) {
        handle_release(event);
        s->callback(EvtSubscribeActionError, s->context, reinterpret_cast<EVT_HANDLE>(ULONG_PTR{ERROR_NOT_ENOUGH_MEMORY}));
        return;
    }
    event->record = record;
    event->data_as_text = s->file.log == sim_forwarded && (record->ReservedFlags & sim_forwarded_typed) == 0;
    s->callback(EvtSubscribeActionDeliver, s->context, handle);
    // The event handle is good only during the callback (which may also have closed it).
    handle_release(handle_remove(handle, SimKind::event));
}

void report_error(Subscription *s, DWORD error)
{
    s->callback(EvtSubscribeActionError, s->context, reinterpret_cast<EVT_HANDLE>(ULONG_PTR{error}));
}

// Delivers every record appended since the last look, in order.
void deliver_new_events(Subscription *s)
{
    while (s->stopping == 0) {
        ElfLogfileHeader header;
        DWORD error = s->file.file != nullptr ? log_header(&s->file, &header) : ERROR_EVENTLOG_FILE_CHANGED;
        if (error == ERROR_EVENTLOG_FILE_CHANGED) {
            // The log was cleared: everything in the new file is new.
            s->cursor = elf_header_size;
            error = log_reopen(&s->file);
            if (error == 0)
                continue;
        }
        if (error != 0) {
            report_error(s, error);
            return;
        }
        DWORD cursor = s->cursor;
        DWORD read = 0;
        DWORD needed = 0;
        error = log_read_forward(&s->file, &cursor, header.EndOffset, s->batch, batch_capacity, &read, &needed);
        if (error == ERROR_HANDLE_EOF)
            return;
        if (error != 0) {
            // What cannot be read is skipped, once reported.
            report_error(s, error);
            s->cursor = header.EndOffset;
            return;
        }
        for (DWORD pos = 0; pos < read && s->stopping == 0;) {
            const EVENTLOGRECORD *record = reinterpret_cast<const EVENTLOGRECORD *>(s->batch + pos);
            DWORD id = record->EventID & 0xFFFF;
            if (s->any_event || (s->selected[id / 8] & (1u << (id % 8))) != 0)
                deliver(s, record);
            pos += record->Length;
        }
        s->cursor = cursor;
    }
}

DWORD WINAPI subscription_thread(LPVOID parameter)
{
    Subscription *s = static_cast<Subscription *>(parameter);
    while (WaitForSingleObject(s->wake, INFINITE) == WAIT_OBJECT_0 && s->stopping == 0)
        deliver_new_events(s);
    handle_release(s);   // may be the last reference when the callback closed the subscription
    return 0;
}

ValuePath parse_value_path(const wchar_t *path, WORD *data_index, wchar_t (&field)[max_field_name])
{
    *data_index = 0;
    field[0] = 0;
    static const struct {
        const wchar_t *text;
        ValuePath path;
    } known[] = {{L"Event/System/TimeCreated/@SystemTime", ValuePath::time_created},
                 {L"Event/System/EventID", ValuePath::event_id},
                 {L"Event/System/EventRecordID", ValuePath::record_id},
                 {L"Event/System/Provider/@Name", ValuePath::provider},
                 {L"Event/System/Computer", ValuePath::computer},
                 {L"Event/EventData/Data", ValuePath::data}};
    for (const auto &k : known)
        if (wcscmp(path, k.text) == 0)
            return k.path;
    // "Event/EventData/Data[n]", n counted from 1.
    const wchar_t head[] = L"Event/EventData/Data[";
    if (wcsncmp(path, head, wcslen(head)) == 0) {
        wchar_t *end = nullptr;
        unsigned long n = wcstoul(path + wcslen(head), &end, 10);
        if (n >= 1 && n <= 0xFFFF && end != nullptr && wcscmp(end, L"]") == 0) {
            *data_index = static_cast<WORD>(n - 1);
            return ValuePath::data;
        }
    }
    // "Event/EventData/Data[@Name='X']", the name in single or double quotes.
    Scanner scan{path};
    if (scan.take(L"Event/EventData/Data[@Name=")) {
        scan.blanks();
        wchar_t quote = *scan.p;
        const wchar_t *name = scan.p + 1;
        const wchar_t *close = quote == L'\'' || quote == L'"' ? wcschr(name, quote) : nullptr;
        scan.p = close != nullptr ? close + 1 : name;
        if (close != nullptr && close > name && static_cast<size_t>(close - name) < max_field_name && scan.take(L"]") &&
            scan.at_end()) {
            wmemcpy(field, name, close - name);
            field[close - name] = 0;
            return ValuePath::field;
        }
    }
    return ValuePath::unknown;   // a path the event does not have renders as a null value
}

// The data items of the events whose fields are rendered by name, in the order of their strings.
struct Schema {
    DWORD event_id;
    WORD count;
    const wchar_t *const *names;
};
const wchar_t *const names_4624[] = {
    L"SubjectUserSid", L"SubjectUserName", L"SubjectDomainName", L"SubjectLogonId", L"TargetUserSid",
    L"TargetUserName", L"TargetDomainName", L"TargetLogonId", L"LogonType", L"LogonProcessName",
    L"AuthenticationPackageName", L"WorkstationName", L"LogonGuid", L"TransmittedServices", L"LmPackageName",
    L"KeyLength", L"ProcessId", L"ProcessName", L"IpAddress", L"IpPort",
    // Version 2 (Windows 10 and Server 2016) adds these.
    L"ImpersonationLevel", L"RestrictedAdminMode", L"TargetOutboundUserName", L"TargetOutboundDomainName",
    L"VirtualAccount", L"TargetLinkedLogonId", L"ElevatedToken"};
const wchar_t *const names_4625[] = {
    L"SubjectUserSid", L"SubjectUserName", L"SubjectDomainName", L"SubjectLogonId", L"TargetUserSid",
    L"TargetUserName", L"TargetDomainName", L"Status", L"FailureReason", L"SubStatus", L"LogonType",
    L"LogonProcessName", L"AuthenticationPackageName", L"WorkstationName", L"TransmittedServices",
    L"LmPackageName", L"KeyLength", L"ProcessId", L"ProcessName", L"IpAddress", L"IpPort"};
const wchar_t *const names_4776[] = {L"PackageName", L"TargetUserName", L"Workstation", L"Status"};
const wchar_t *const names_140[] = {L"IPString"};
const Schema schemas[] = {{4624, 27, names_4624}, {4625, 21, names_4625}, {4776, 4, names_4776}, {140, 1, names_140}};

// The position of a field among the strings of an event; -1 when its schema has none.
int field_position(DWORD event_id, const wchar_t *name)
{
    for (const Schema &schema : schemas)
        if (schema.event_id == (event_id & 0xFFFF))
            for (WORD i = 0; i < schema.count; ++i)
                if (wcscmp(schema.names[i], name) == 0)
                    return i;
    return -1;
}

// How Windows types a field: by its name, which means the same in every schema here.
EVT_VARIANT_TYPE field_type(const wchar_t *name)
{
    static const struct {
        const wchar_t *name;
        EVT_VARIANT_TYPE type;
    } typed[] = {{L"LogonType", EvtVarTypeUInt32},        {L"KeyLength", EvtVarTypeUInt32},
                 {L"Status", EvtVarTypeHexInt32},         {L"SubStatus", EvtVarTypeHexInt32},
                 {L"SubjectLogonId", EvtVarTypeHexInt64}, {L"TargetLogonId", EvtVarTypeHexInt64},
                 {L"ProcessId", EvtVarTypeHexInt64},      {L"TargetLinkedLogonId", EvtVarTypeHexInt64},
                 {L"SubjectUserSid", EvtVarTypeSid},      {L"TargetUserSid", EvtVarTypeSid},
                 {L"LogonGuid", EvtVarTypeGuid}};
    for (const auto &t : typed)
        if (wcscmp(t.name, name) == 0)
            return t.type;
    return EvtVarTypeString;
}

// A number of at most digits digits in base 10 or 16, the whole text; false otherwise.
bool parse_digits(const wchar_t *text, int base, int digits, ULONGLONG *value)
{
    *value = 0;
    int n = 0;
    for (; *text != 0; ++text, ++n) {
        int d = *text >= L'0' && *text <= L'9'                ? *text - L'0'
                : base == 16 && *text >= L'a' && *text <= L'f' ? *text - L'a' + 10
                : base == 16 && *text >= L'A' && *text <= L'F' ? *text - L'A' + 10
                                                               : -1;
        if (d < 0 || n >= digits)
            return false;
        *value = *value * base + static_cast<ULONGLONG>(d);
    }
    return n != 0;
}

// One value to render: its type and number, or the bytes it points to (copied behind the values).
struct Rendered {
    EVT_VARIANT_TYPE type;
    ULONGLONG number;
    const void *blob;
    DWORD blob_size;
    DWORD blob_align;
    BYTE converted[SECURITY_MAX_SID_SIZE];   // a SID or GUID converted from the text
};

// A string as Windows renders a field of type type; what does not convert stays a String.
void render_typed(const wchar_t *text, EVT_VARIANT_TYPE type, Rendered *r)
{
    r->type = EvtVarTypeString;
    r->blob = text;
    r->blob_size = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    r->blob_align = sizeof(wchar_t);
    ULONGLONG n = 0;
    bool hex = text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    if ((type == EvtVarTypeUInt32 && parse_digits(text, 10, 10, &n) && n <= 0xFFFFFFFFull) ||
        (type == EvtVarTypeHexInt32 && hex && parse_digits(text + 2, 16, 8, &n)) ||
        (type == EvtVarTypeHexInt64 && hex && parse_digits(text + 2, 16, 16, &n))) {
        r->type = type;
        r->number = n;
        r->blob = nullptr;
        r->blob_size = 0;
    } else if (type == EvtVarTypeSid) {
        PSID sid = nullptr;
        if (ConvertStringSidToSidW(text, &sid)) {
            DWORD size = GetLengthSid(sid);
            if (size <= sizeof(r->converted)) {
                memcpy(r->converted, sid, size);
                r->type = EvtVarTypeSid;
                r->blob = r->converted;
                r->blob_size = size;
                r->blob_align = sizeof(DWORD);
            }
            LocalFree(sid);
        }
    } else if (type == EvtVarTypeGuid && wcslen(text) == 38 && text[0] == L'{' && text[37] == L'}') {
        // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
        GUID g = {};
        ULONGLONG parts[5];
        const int at[] = {1, 10, 15, 20, 25}, length[] = {8, 4, 4, 4, 12};
        bool ok = text[9] == L'-' && text[14] == L'-' && text[19] == L'-' && text[24] == L'-';
        for (int i = 0; ok && i < 5; ++i) {
            wchar_t part[13] = {};
            wmemcpy(part, text + at[i], length[i]);
            ok = parse_digits(part, 16, length[i], &parts[i]);
        }
        if (ok) {
            g.Data1 = static_cast<DWORD>(parts[0]);
            g.Data2 = static_cast<WORD>(parts[1]);
            g.Data3 = static_cast<WORD>(parts[2]);
            for (int i = 0; i < 8; ++i)
                g.Data4[i] = static_cast<BYTE>((i < 2 ? parts[3] >> (8 - 8 * i) : parts[4] >> (40 - 8 * (i - 2))) & 0xFF);
            memcpy(r->converted, &g, sizeof(g));
            r->type = EvtVarTypeGuid;
            r->blob = r->converted;
            r->blob_size = sizeof(GUID);
            r->blob_align = sizeof(DWORD);
        }
    }
}

// The value of path i of the context for record, into r; data by name as strings with data_as_text.
void render_value(const RenderContext *c, DWORD i, const EVENTLOGRECORD *record, bool data_as_text, Rendered *r)
{
    const wchar_t *source = reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(record) + sizeof(EVENTLOGRECORD));
    memset(r, 0, sizeof(*r));
    r->type = EvtVarTypeNull;
    const wchar_t *text = nullptr;
    EVT_VARIANT_TYPE type = EvtVarTypeString;
    switch (c->paths[i]) {
    case ValuePath::time_created:
        r->type = EvtVarTypeFileTime;
        r->number = (ULONGLONG{record->TimeGenerated} + 11644473600ull) * 10000000ull;
        return;
    case ValuePath::event_id:
        r->type = EvtVarTypeUInt16;
        r->number = record->EventID & 0xFFFF;
        return;
    case ValuePath::record_id:
        r->type = EvtVarTypeUInt64;
        r->number = record->RecordNumber;
        return;
    case ValuePath::provider: text = source; break;
    case ValuePath::computer: text = source + wcslen(source) + 1; break;
    case ValuePath::data: text = insertion_string(record, c->data_index[i]); break;
    case ValuePath::field: {
        int position = field_position(record->EventID, c->field[i]);
        text = position >= 0 ? insertion_string(record, static_cast<DWORD>(position)) : nullptr;
        type = data_as_text ? EvtVarTypeString : field_type(c->field[i]);
        break;
    }
    default: break;
    }
    if (text != nullptr)
        render_typed(text, type, r);
}

} // namespace

extern "C" {

EVT_HANDLE WINAPI EvtSubscribe(EVT_HANDLE session, HANDLE signal_event, LPCWSTR channel, LPCWSTR query,
                               EVT_HANDLE bookmark, PVOID context, EVT_SUBSCRIBE_CALLBACK callback, DWORD flags)
{
    DWORD error = 0;
    DWORD start = flags & 3;
    bool any_event = true;
    int log = sim_log_by_name(channel);
    if (session != nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (callback == nullptr || signal_event != nullptr || channel == nullptr || start == 0)
        error = ERROR_INVALID_PARAMETER;   // only subscriptions with a callback are simulated
    else if (start == EvtSubscribeStartAfterBookmark || bookmark != nullptr)
        error = ERROR_NOT_SUPPORTED;
    else if (log < 0 || _wcsicmp(channel, sim_log_name(log)) != 0 ||
             (log == sim_rdp && sim_hook_code(sim_no_rdp_channel_variable, nullptr) != 0) ||
             (log == sim_forwarded && sim_hook_code(sim_no_forwarded_channel_variable, nullptr) != 0))
        error = ERROR_EVT_CHANNEL_NOT_FOUND;
    else
        error = sim_hook_code(sim_open_error_variable, sim_log_short_name(log));
    Subscription *s = nullptr;
    if (error == 0) {
        s = static_cast<Subscription *>(object_alloc(sizeof(Subscription), SimKind::subscription, destroy_subscription));
        error = s == nullptr ? ERROR_NOT_ENOUGH_MEMORY : parse_query(query, &any_event, s->selected);
    }
    if (error == 0)
        error = log_open(log, &s->file);
    if (error == 0) {
        s->callback = callback;
        s->context = context;
        s->any_event = any_event;
        s->batch = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, batch_capacity));
        error = s->batch == nullptr ? ERROR_NOT_ENOUGH_MEMORY : listener_add(s->file.key, &s->wake, &s->listener);
    }
    // Listening first, then the position: a record appended in between is either before
    // the position or wakes the thread.
    ElfLogfileHeader header;
    if (error == 0)
        error = log_header(&s->file, &header);
    if (error == 0) {
        s->cursor = start == EvtSubscribeToFutureEvents ? header.EndOffset : header.StartOffset;
        if (start == EvtSubscribeStartAtOldestRecord)
            SetEvent(s->wake);
        // Suspended until thread_id is stored, which EvtClose compares with its caller.
        s->thread = CreateThread(nullptr, 0, subscription_thread, s, CREATE_SUSPENDED, &s->thread_id);
        if (s->thread == nullptr)
            error = GetLastError();
    }
    HANDLE handle = error == 0 ? handle_insert(s) : nullptr;
    if (error == 0 && handle == nullptr) {
        error = ERROR_TOO_MANY_OPEN_FILES;
        s->stopping = 1;   // the thread, once resumed, ends at once
    }
    if (s != nullptr && s->thread != nullptr) {
        InterlockedIncrement(&s->refs);   // the thread's reference
        ResumeThread(s->thread);
        if (error != 0)
            SetEvent(s->wake);
    }
    if (error != 0) {
        handle_release(s);
        SetLastError(error);
        return nullptr;
    }
    return handle;
}

EVT_HANDLE WINAPI EvtCreateRenderContext(DWORD count, LPCWSTR *paths, DWORD flags)
{
    if (flags != EvtRenderContextValues) {
        SetLastError(flags == EvtRenderContextSystem || flags == EvtRenderContextUser ? ERROR_NOT_SUPPORTED
                                                                                      : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (count == 0 || count > max_paths || paths == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (paths[i] == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    RenderContext *c =
        static_cast<RenderContext *>(object_alloc(sizeof(RenderContext), SimKind::render_context, destroy_plain));
    if (c == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    c->count = count;
    for (DWORD i = 0; i < count; ++i)
        c->paths[i] = parse_value_path(paths[i], &c->data_index[i], c->field[i]);
    HANDLE handle = handle_insert(c);
    if (handle == nullptr) {
        handle_release(c);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return handle;
}

BOOL WINAPI EvtRender(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD buffer_size, PVOID buffer,
                      PDWORD buffer_used, PDWORD property_count)
{
    if (flags == EvtRenderEventXml || flags == EvtRenderBookmark)
        return fail(ERROR_NOT_SUPPORTED);
    if (flags != EvtRenderEventValues || buffer_used == nullptr || property_count == nullptr ||
        (buffer == nullptr && buffer_size != 0))
        return fail(ERROR_INVALID_PARAMETER);
    RenderContext *c = static_cast<RenderContext *>(handle_acquire(context, SimKind::render_context));
    EventObject *event = static_cast<EventObject *>(handle_acquire(fragment, SimKind::event));
    DWORD error = c == nullptr || event == nullptr ? ERROR_INVALID_HANDLE : 0;
    if (error == 0) {
        // Values first, then what they point to, each at its alignment.
        Rendered values[max_paths];
        DWORD needed = c->count * sizeof(EVT_VARIANT);
        for (DWORD i = 0; i < c->count; ++i) {
            render_value(c, i, event->record, event->data_as_text, &values[i]);
            if (values[i].blob != nullptr)
                needed = (needed + values[i].blob_align - 1) / values[i].blob_align * values[i].blob_align +
                         values[i].blob_size;
        }
        *buffer_used = needed;
        *property_count = c->count;
        if (buffer_size < needed) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else {
            EVT_VARIANT *out = static_cast<EVT_VARIANT *>(buffer);
            DWORD at = c->count * sizeof(EVT_VARIANT);
            for (DWORD i = 0; i < c->count; ++i) {
                const Rendered &r = values[i];
                EVT_VARIANT &v = out[i];
                memset(&v, 0, sizeof(v));
                v.Type = r.type;
                v.UInt64Val = r.number;   // also the smaller numbers, little-endian
                if (r.blob != nullptr) {
                    at = (at + r.blob_align - 1) / r.blob_align * r.blob_align;
                    BYTE *blob = static_cast<BYTE *>(buffer) + at;
                    memcpy(blob, r.blob, r.blob_size);
                    v.StringVal = reinterpret_cast<LPCWSTR>(blob);   // SidVal and GuidVal share it
                    at += r.blob_size;
                }
            }
        }
    }
    handle_release(c);
    handle_release(event);
    return error == 0 ? TRUE : fail(error);
}

BOOL WINAPI EvtClose(EVT_HANDLE object)
{
    if (SimObject *s = handle_remove(object, SimKind::subscription)) {
        Subscription *sub = static_cast<Subscription *>(s);
        InterlockedExchange(&sub->stopping, 1);
        SetEvent(sub->wake);
        // From inside its own callback the subscription ends when the callback returns;
        // from anywhere else, not before a running callback has finished.
        if (GetCurrentThreadId() != sub->thread_id)
            WaitForSingleObject(sub->thread, INFINITE);
        handle_release(sub);
        return TRUE;
    }
    SimObject *o = handle_remove(object, SimKind::render_context);
    if (o == nullptr)
        o = handle_remove(object, SimKind::event);
    if (o == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    handle_release(o);
    return TRUE;
}

decltype(&EvtSubscribe) __imp_EvtSubscribe = EvtSubscribe;
decltype(&EvtCreateRenderContext) __imp_EvtCreateRenderContext = EvtCreateRenderContext;
decltype(&EvtRender) __imp_EvtRender = EvtRender;
decltype(&EvtClose) __imp_EvtClose = EvtClose;

} // extern "C"
