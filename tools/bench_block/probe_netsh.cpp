// Stands in for netsh when the block benchmark runs: records, first thing, when it started and
// when its process was created, signals the benchmark and exits with 0.
#include <windows.h>

int main()
{
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"Local\\tosmire-bench-probe");
    HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\tosmire-bench-probe-done");
    if (mapping == nullptr || done == nullptr)
        return 0;
    auto *times = static_cast<volatile LONGLONG *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 2 * sizeof(LONGLONG)));
    if (times != nullptr) {
        times[0] = started.QuadPart;
        times[1] = static_cast<LONGLONG>(ULARGE_INTEGER{{created.dwLowDateTime, created.dwHighDateTime}}.QuadPart);
        UnmapViewOfFile(const_cast<LONGLONG *>(times));
    }
    SetEvent(done);
    CloseHandle(done);
    CloseHandle(mapping);
    return 0;
}
