// The subscription calls of the simulation (wevtapi): push subscriptions on a log with a
// callback, values render contexts, and EvtRender of a delivered event. winevt.h declares
// these functions without dllimport, so the functions themselves are defined here (and
// their import-table entries as well, for callers that declare them imported).
#include "tools/evtsim/handles.h"
#include "tools/evtsim/log_file.h"
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
    DWORD event_id;
    DWORD cursor;             // offset past the last record looked at
    HANDLE wake;              // signalled by every append to the log, and to stop
    ULONG64 listener;
    HANDLE thread;
    DWORD thread_id;
    volatile LONG stopping;
    BYTE *batch;
};

enum class ValuePath : BYTE { unknown, time_created, event_id, record_id, provider, computer, data };

struct RenderContext : SimObject {
    DWORD count;
    ValuePath paths[max_paths];
    WORD data_index[max_paths];   // for ValuePath::data: which insertion string
};

// An event while it is delivered; the record lives in the subscription's batch.
struct EventObject : SimObject {
    const EVENTLOGRECORD *record;
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

// Accepts the event-ID queries in the forms Windows takes, with any spacing:
// "Event/System/EventID=N", "*[System/EventID=N]", "*[System[EventID=N]]",
// "*[System[(EventID=N)]]"; null, empty or "*" selects every event.
DWORD parse_query(const wchar_t *query, bool *any_event, DWORD *event_id)
{
    *any_event = true;
    *event_id = 0;
    wchar_t q[128];
    size_t n = 0;
    for (const wchar_t *p = query; p != nullptr && *p != 0; ++p) {
        if (*p == L' ' || *p == L'\t')
            continue;
        if (n + 1 >= 128)
            return ERROR_EVT_INVALID_QUERY;
        q[n++] = *p;
    }
    q[n] = 0;
    if (n == 0 || wcscmp(q, L"*") == 0)
        return 0;
    static const wchar_t *const forms[][2] = {{L"Event/System/EventID=", L""},
                                              {L"*[System/EventID=", L"]"},
                                              {L"*[System[EventID=", L"]]"},
                                              {L"*[System[(EventID=", L")]]"}};
    for (const auto &form : forms) {
        size_t head = wcslen(form[0]);
        if (wcsncmp(q, form[0], head) != 0)
            continue;
        const wchar_t *digits = q + head;
        DWORD value = 0;
        size_t count = 0;
        while (digits[count] >= L'0' && digits[count] <= L'9' && count < 6)
            value = value * 10 + static_cast<DWORD>(digits[count++] - L'0');
        if (count == 0 || value > 0xFFFF || wcscmp(digits + count, form[1]) != 0)
            return ERROR_EVT_INVALID_QUERY;
        *any_event = false;
        *event_id = value;
        return 0;
    }
    return ERROR_EVT_INVALID_QUERY;
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
            if (s->any_event || (record->EventID & 0xFFFF) == s->event_id)
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

ValuePath parse_value_path(const wchar_t *path, WORD *data_index)
{
    *data_index = 0;
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
    return ValuePath::unknown;   // a path the event does not have renders as a null value
}

} // namespace

extern "C" {

EVT_HANDLE WINAPI EvtSubscribe(EVT_HANDLE session, HANDLE signal_event, LPCWSTR channel, LPCWSTR query,
                               EVT_HANDLE bookmark, PVOID context, EVT_SUBSCRIBE_CALLBACK callback, DWORD flags)
{
    DWORD error = 0;
    DWORD start = flags & 3;
    bool any_event = true;
    DWORD event_id = 0;
    int log = sim_log_by_name(channel);
    if (session != nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (callback == nullptr || signal_event != nullptr || channel == nullptr || start == 0)
        error = ERROR_INVALID_PARAMETER;   // only subscriptions with a callback are simulated
    else if (start == EvtSubscribeStartAfterBookmark || bookmark != nullptr)
        error = ERROR_NOT_SUPPORTED;
    else if (log < 0 || _wcsicmp(channel, sim_log_name(log)) != 0 ||
             (log == sim_rdp && sim_hook_code(sim_no_rdp_channel_variable, nullptr) != 0))
        error = ERROR_EVT_CHANNEL_NOT_FOUND;
    else if ((error = sim_hook_code(sim_open_error_variable, sim_log_short_name(log))) == 0)
        error = parse_query(query, &any_event, &event_id);
    Subscription *s = nullptr;
    if (error == 0) {
        s = static_cast<Subscription *>(object_alloc(sizeof(Subscription), SimKind::subscription, destroy_subscription));
        error = s == nullptr ? ERROR_NOT_ENOUGH_MEMORY : log_open(log, &s->file);
    }
    if (error == 0) {
        s->callback = callback;
        s->context = context;
        s->any_event = any_event;
        s->event_id = event_id;
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
        c->paths[i] = parse_value_path(paths[i], &c->data_index[i]);
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
        const EVENTLOGRECORD *record = event->record;
        const BYTE *bytes = reinterpret_cast<const BYTE *>(record);
        const wchar_t *source = reinterpret_cast<const wchar_t *>(bytes + sizeof(EVENTLOGRECORD));
        const wchar_t *computer = source + wcslen(source) + 1;
        // Values first, then the strings they point to.
        const wchar_t *texts[max_paths] = {};
        DWORD needed = c->count * sizeof(EVT_VARIANT);
        for (DWORD i = 0; i < c->count; ++i) {
            switch (c->paths[i]) {
            case ValuePath::provider: texts[i] = source; break;
            case ValuePath::computer: texts[i] = computer; break;
            case ValuePath::data: texts[i] = insertion_string(record, c->data_index[i]); break;
            default: break;
            }
            if (texts[i] != nullptr)
                needed += static_cast<DWORD>((wcslen(texts[i]) + 1) * sizeof(wchar_t));
        }
        *buffer_used = needed;
        *property_count = c->count;
        if (buffer_size < needed) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else {
            EVT_VARIANT *values = static_cast<EVT_VARIANT *>(buffer);
            BYTE *text_at = static_cast<BYTE *>(buffer) + c->count * sizeof(EVT_VARIANT);
            for (DWORD i = 0; i < c->count; ++i) {
                EVT_VARIANT &v = values[i];
                memset(&v, 0, sizeof(v));
                v.Type = EvtVarTypeNull;
                switch (c->paths[i]) {
                case ValuePath::time_created:
                    v.Type = EvtVarTypeFileTime;
                    v.FileTimeVal = (ULONGLONG{record->TimeGenerated} + 11644473600ull) * 10000000ull;
                    break;
                case ValuePath::event_id:
                    v.Type = EvtVarTypeUInt16;
                    v.UInt16Val = static_cast<UINT16>(record->EventID & 0xFFFF);
                    break;
                case ValuePath::record_id:
                    v.Type = EvtVarTypeUInt64;
                    v.UInt64Val = record->RecordNumber;
                    break;
                default:
                    if (texts[i] != nullptr) {
                        size_t n = (wcslen(texts[i]) + 1) * sizeof(wchar_t);
                        memcpy(text_at, texts[i], n);
                        v.Type = EvtVarTypeString;
                        v.StringVal = reinterpret_cast<LPCWSTR>(text_at);
                        text_at += n;
                    }
                    break;
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
