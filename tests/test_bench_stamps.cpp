// The block benchmark's stamps, linked into this test as into the benchmark's build of the
// program: this test's own WaitForSingleObject and CreateProcessW calls go through them.
#include "tools/bench_block/bench_stamps.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

namespace {

const wchar_t missing_program[] = L"tosmire-no-such-program.exe";

LONGLONG now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

// The benchmark's mapping, as bench_block makes it before it starts the program. One for the
// whole suite: the stamping object maps it once, at its first CreateProcessW, for the process's life.
class BenchStamps : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, bench_mapping_name);
        if (mapping != nullptr)
            slots = static_cast<volatile LONGLONG *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    }
    static void TearDownTestSuite()
    {
        if (slots != nullptr)
            UnmapViewOfFile(const_cast<LONGLONG *>(slots));
        if (mapping != nullptr)
            CloseHandle(mapping);
        slots = nullptr;
        mapping = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(slots, nullptr) << GetLastError();
        for (int i = 0; i < bench_stamp_slots; ++i)
            slots[i] = 0;
    }
    // A start that fails: the stamps are written before the system's call.
    void call_create()
    {
        std::wstring line = missing_program;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    static inline HANDLE mapping = nullptr;
    static inline volatile LONGLONG *slots = nullptr;
};

struct WaitCase {
    const char *name;
    HANDLE (*make)();
    DWORD timeout;
    DWORD expected;
    bool arrival;   // the wait's return is a record's arrival
    bool with_second = false; // waited for with WaitForMultipleObjects, a silent event second (the loop's wait)
};

HANDLE signalled_event() { return CreateEventW(nullptr, TRUE, TRUE, nullptr); }
HANDLE silent_event() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
HANDLE free_mutex() { return CreateMutexW(nullptr, FALSE, nullptr); }
HANDLE free_semaphore() { return CreateSemaphoreW(nullptr, 1, 1, nullptr); }

const WaitCase wait_cases[] = {
    {"signalled event", signalled_event, INFINITE, WAIT_OBJECT_0, true},
    {"event that times out", silent_event, 10, WAIT_TIMEOUT, false},
    {"free mutex (the simulated log's lock)", free_mutex, INFINITE, WAIT_OBJECT_0, false},
    {"free semaphore", free_semaphore, INFINITE, WAIT_OBJECT_0, false},
    {"signalled event, first of two", signalled_event, INFINITE, WAIT_OBJECT_0, true, true},
    {"free mutex, first of two", free_mutex, INFINITE, WAIT_OBJECT_0, false, true},
};

TEST_F(BenchStamps, OnlyAnEventWaitThatEndsSignalledIsAnArrival)
{
    for (const WaitCase &c : wait_cases) {
        SCOPED_TRACE(c.name);
        HANDLE earlier = signalled_event();
        ASSERT_EQ(WaitForSingleObject(earlier, INFINITE), WAIT_OBJECT_0);
        const LONGLONG before = now();
        HANDLE object = c.make();
        ASSERT_NE(object, nullptr);
        HANDLE both[2] = {object, silent_event()};
        EXPECT_EQ(c.with_second ? WaitForMultipleObjects(2, both, FALSE, c.timeout) : WaitForSingleObject(object, c.timeout),
                  c.expected);
        CloseHandle(both[1]);
        const LONGLONG after = now();
        call_create();
        if (c.arrival) {
            EXPECT_GE(slots[bench_slot_arrival], before);
            EXPECT_LE(slots[bench_slot_arrival], after);
            EXPECT_EQ(slots[bench_slot_other_waits], 0);
            EXPECT_EQ(slots[bench_slot_overhead], 0);
        } else {
            // The earlier event's return stays the arrival; this wait is one more in between,
            // and its type question is counted as the stamping's own time.
            EXPECT_LT(slots[bench_slot_arrival], before);
            EXPECT_NE(slots[bench_slot_arrival], 0);
            EXPECT_EQ(slots[bench_slot_other_waits], 1);
            EXPECT_GT(slots[bench_slot_overhead], 0);
            EXPECT_LT(slots[bench_slot_overhead], after - before);
        }
        EXPECT_GE(slots[bench_slot_create], after);
        EXPECT_EQ(slots[bench_slot_block_thread], static_cast<LONGLONG>(GetCurrentThreadId()));
        CloseHandle(object);
        CloseHandle(earlier);
    }
}

TEST_F(BenchStamps, ArrivalsAreKeptPerThread)
{
    HANDLE mine = signalled_event();
    ASSERT_EQ(WaitForSingleObject(mine, INFINITE), WAIT_OBJECT_0);
    const LONGLONG before_other = now();
    HANDLE other = CreateThread(
        nullptr, 0,
        [](void *) -> DWORD {
            HANDLE e = signalled_event();
            DWORD result = WaitForSingleObject(e, INFINITE);
            CloseHandle(e);
            return result;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(other, nullptr);
    // A wait on a thread is no arrival either.
    ASSERT_EQ(WaitForSingleObject(other, 10000), WAIT_OBJECT_0);
    call_create();
    EXPECT_NE(slots[bench_slot_arrival], 0);
    EXPECT_LT(slots[bench_slot_arrival], before_other);
    EXPECT_EQ(slots[bench_slot_other_waits], 1);
    CloseHandle(other);
    CloseHandle(mine);
}

TEST_F(BenchStamps, TheBlockThreadTellsWhileItWaitsForAnEvent)
{
    call_create();   // this thread becomes the one that starts block commands
    HANDLE wake = silent_event();
    struct Watch {
        volatile LONGLONG *slots;
        HANDLE wake;
        LONGLONG seen;
    } watch = {slots, wake, 0};
    HANDLE watcher = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *w = static_cast<Watch *>(p);
            for (ULONGLONG end = GetTickCount64() + 10000; w->slots[bench_slot_waiting] == 0 && GetTickCount64() < end;)
                Sleep(1);
            w->seen = w->slots[bench_slot_waiting];
            return SetEvent(w->wake) ? 0 : 1;
        },
        &watch, 0, nullptr);
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(WaitForSingleObject(wake, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(watch.seen, static_cast<LONGLONG>(GetCurrentThreadId()));
    EXPECT_EQ(slots[bench_slot_waiting], 0);
    // The watcher's own wait is on a thread of another id: no flag for it.
    EXPECT_EQ(WaitForSingleObject(watcher, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(slots[bench_slot_waiting], 0);
    CloseHandle(watcher);
    CloseHandle(wake);
}

TEST_F(BenchStamps, CallsStillDoWhatTheSystemsDo)
{
    wchar_t self[MAX_PATH];
    std::wstring dir(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    std::wstring line = L"\"" + dir.substr(0, dir.find_last_of(L'\\')) + L"\\testprog.exe\" exit 7";
    STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        << GetLastError();
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
