// Linked into the benchmark's build of the simulated program only: stamps, with the performance
// counter, the moment the record's arrival ends a wait and the moment the program calls
// CreateProcessW, and leaves both in the benchmark's shared mapping. The program's own sources
// are unchanged: defining __imp_<name> here replaces the import-table entry that its calls use.
//
// Arrival: a WaitForSingleObject on an Event, or a WaitForMultipleObjects whose first object is
// an Event, that returns WAIT_OBJECT_0, per thread. The monitor loop's wait for the Security
// log's notification (the configuration key's second) is such a wait; the other waits on the
// same thread are on mutexes (the simulated log's lock) or processes (the block command), so
// they never move the stamp. The handle's type is asked before the wait; inside the measured interval those
// questions are the benchmark's own cost, so their time is counted and taken off again.
#include "tools/bench_block/bench_stamps.h"
#include <windows.h>
#include <winternl.h>
#include <cwchar>

namespace {

// One thread's stamps; written only by that thread (the slot is claimed once by its id).
struct ThreadStamps {
    volatile LONG thread_id;
    LONGLONG arrival;        // counter at the return of its last Event wait
    LONGLONG overhead;       // counter ticks spent in type questions since then
    LONG waits;              // waits on other objects since then
};
constexpr int max_threads = 32;
ThreadStamps threads[max_threads];

using WaitFn = DWORD(WINAPI *)(HANDLE, DWORD);
using WaitMultipleFn = DWORD(WINAPI *)(DWORD, const HANDLE *, BOOL, DWORD);
using CreateProcessFn = decltype(&CreateProcessW);
using QueryObjectFn = NTSTATUS(NTAPI *)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

// The system's entries, looked up once by the first call on any thread (every thread finds the
// same addresses, so a race only repeats the lookup).
WaitFn real_wait = nullptr;
WaitMultipleFn real_wait_multiple = nullptr;
CreateProcessFn real_create = nullptr;
QueryObjectFn query_object = nullptr;

// The benchmark's mapping, opened by the first CreateProcessW that finds it (the program's
// own start runs auditpol); kept for the process's life (the benchmark terminates the program).
volatile LONGLONG *shared = nullptr;

LONGLONG now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

void *system_entry(const wchar_t *module, const char *name)
{
    HMODULE m = GetModuleHandleW(module);
    return m != nullptr ? reinterpret_cast<void *>(GetProcAddress(m, name)) : nullptr;
}

// This thread's slot, claimed on first use; null when every slot is taken.
ThreadStamps *own_stamps()
{
    const LONG id = static_cast<LONG>(GetCurrentThreadId());
    for (ThreadStamps &t : threads) {
        if (t.thread_id == id)
            return &t;
        if (t.thread_id == 0 && InterlockedCompareExchange(&t.thread_id, id, 0) == 0)
            return &t;
    }
    return nullptr;
}

bool is_event(HANDLE handle)
{
    if (query_object == nullptr)
        query_object = reinterpret_cast<QueryObjectFn>(system_entry(L"ntdll.dll", "NtQueryObject"));
    // PUBLIC_OBJECT_TYPE_INFORMATION and the name it points at.
    alignas(8) BYTE buffer[512];
    ULONG got = 0;
    if (query_object == nullptr || query_object(handle, ObjectTypeInformation, buffer, sizeof(buffer), &got) != 0)
        return false;
    const UNICODE_STRING &name = reinterpret_cast<PUBLIC_OBJECT_TYPE_INFORMATION *>(buffer)->TypeName;
    return name.Buffer != nullptr && name.Length == 5 * sizeof(wchar_t) && wcsncmp(name.Buffer, L"Event", 5) == 0;
}

// A wait whose first (or only) object is first, carried out by wait: an arrival when first is
// an Event that ended it.
template <typename Wait> DWORD stamp_wait(HANDLE first, Wait wait)
{
    ThreadStamps *stamps = own_stamps();
    const LONGLONG asked = now();
    const bool event = is_event(first);
    const LONGLONG answered = now();
    // The thread that starts the block commands tells the benchmark while it waits for an
    // Event, so that the next record is appended to a waiting loop.
    const LONGLONG self = static_cast<LONGLONG>(GetCurrentThreadId());
    const bool tell = event && shared != nullptr && shared[bench_slot_block_thread] == self;
    if (tell)
        shared[bench_slot_waiting] = self;
    const DWORD result = wait();
    const LONGLONG returned = now();
    if (tell)
        shared[bench_slot_waiting] = 0;
    if (stamps != nullptr) {
        if (event && result == WAIT_OBJECT_0) {
            stamps->arrival = returned;
            stamps->overhead = 0;
            stamps->waits = 0;
        } else {
            stamps->overhead += answered - asked;
            ++stamps->waits;
        }
    }
    return result;
}

DWORD WINAPI stamped_wait(HANDLE handle, DWORD timeout)
{
    if (real_wait == nullptr)
        real_wait = reinterpret_cast<WaitFn>(system_entry(L"kernel32.dll", "WaitForSingleObject"));
    if (real_wait == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return WAIT_FAILED;
    }
    return stamp_wait(handle, [&] { return real_wait(handle, timeout); });
}

// The loop waits for the Security log's notification and the configuration key's together,
// the notification first.
DWORD WINAPI stamped_wait_multiple(DWORD count, const HANDLE *handles, BOOL all, DWORD timeout)
{
    if (real_wait_multiple == nullptr)
        real_wait_multiple = reinterpret_cast<WaitMultipleFn>(system_entry(L"kernel32.dll", "WaitForMultipleObjects"));
    if (real_wait_multiple == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return WAIT_FAILED;
    }
    return stamp_wait(count > 0 && handles != nullptr ? handles[0] : nullptr,
                      [&] { return real_wait_multiple(count, handles, all, timeout); });
}

BOOL WINAPI stamped_create(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags, LPVOID environment,
                           LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
{
    const LONGLONG called = now();
    if (real_create == nullptr)
        real_create = reinterpret_cast<CreateProcessFn>(system_entry(L"kernel32.dll", "CreateProcessW"));
    if (real_create == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    if (shared == nullptr) {
        HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, bench_mapping_name);
        if (mapping != nullptr) {
            shared = static_cast<volatile LONGLONG *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
            CloseHandle(mapping);   // the view keeps the section
        }
    }
    if (shared != nullptr) {
        const ThreadStamps *stamps = own_stamps();
        shared[bench_slot_arrival] = stamps != nullptr ? stamps->arrival : 0;
        shared[bench_slot_overhead] = stamps != nullptr ? stamps->overhead : 0;
        shared[bench_slot_other_waits] = stamps != nullptr ? stamps->waits : 0;
        shared[bench_slot_create] = called;
        shared[bench_slot_block_thread] = static_cast<LONGLONG>(GetCurrentThreadId());
    }
    return real_create(application, command_line, process_attributes, thread_attributes, inherit, flags, environment,
                       directory, startup, information);
}

} // namespace

extern "C" {
decltype(&WaitForSingleObject) __imp_WaitForSingleObject = stamped_wait;
decltype(&WaitForMultipleObjects) __imp_WaitForMultipleObjects = stamped_wait_multiple;
decltype(&CreateProcessW) __imp_CreateProcessW = stamped_create;
}
