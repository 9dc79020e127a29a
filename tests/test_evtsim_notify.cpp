// The change notification of the simulated event log sets the caller's event from the
// appending process itself: registering starts no thread, appends from other processes set the
// event, a closed log is no longer notified, and a listener whose process ended without closing
// its log does not disturb the appends of others.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <string>
#include "tests/child_harness.h"

namespace {

DWORD append_failure(const wchar_t *address)
{
    ChildResult run = run_redirected(L"\"" + beside(L"evtlog.exe") + L"\" 4625 --address " + address, 60000);
    EXPECT_TRUE(run.finished) << run.output;
    return run.exit_code;
}

unsigned thread_count()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    unsigned count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

TEST(SimNotification, AppendsOfOtherProcessesSetTheEventWithoutAThreadHere)
{
    SimFolder folder;
    ASSERT_EQ(append_failure(L"192.0.2.1"), 0u);
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    ASSERT_NE(log, nullptr);
    HANDLE notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Sleep(200);   // threads of earlier calls have settled
    unsigned before = thread_count();
    ASSERT_TRUE(NotifyChangeEventLog(log, notify));
    Sleep(500);
    EXPECT_EQ(thread_count(), before) << "a thread waits on the notification's behalf";

    // A process that registered and ended without closing its log leaves a dead listener.
    ChildResult dead = run_scenario("listen-and-end");
    ASSERT_TRUE(dead.finished) << dead.output;
    ASSERT_EQ(dead.exit_code, 0u);
    for (int round = 0; round < 3; ++round) {
        ResetEvent(notify);
        ASSERT_EQ(append_failure(L"192.0.2.2"), 0u);
        EXPECT_EQ(WaitForSingleObject(notify, 10000), WAIT_OBJECT_0) << "round " << round;
    }
    // A second registration replaces the first; after the close nothing sets the event.
    ASSERT_TRUE(NotifyChangeEventLog(log, notify));
    ASSERT_TRUE(CloseEventLog(log));
    ResetEvent(notify);
    ASSERT_EQ(append_failure(L"192.0.2.3"), 0u);
    EXPECT_EQ(WaitForSingleObject(notify, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(notify);
}

} // namespace

// The child: registers a notification on the Security log and ends at once, closing nothing.
int run_child_scenario(const std::string &scenario)
{
    if (scenario != "listen-and-end")
        return 2;
    HANDLE log = OpenEventLogW(nullptr, L"Security");
    HANDLE notify = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (log == nullptr || notify == nullptr || !NotifyChangeEventLog(log, notify))
        return 1;
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
