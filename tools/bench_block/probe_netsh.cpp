// Stands in for netsh when the block benchmark runs: records the moment its entry point runs,
// before the C runtime starts, signals the benchmark and exits with 0.
#include "tools/bench_block/bench_stamps.h"
#include <windows.h>

extern "C" int mainCRTStartup();

namespace {
LARGE_INTEGER entered;   // written once, by the entry point, before anything else runs
}

// The process's entry point (linked with -e): the first instruction of the program.
extern "C" int probe_entry()
{
    QueryPerformanceCounter(&entered);
    return mainCRTStartup();
}

int main()
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, bench_mapping_name);
    HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\tosmire-bench-probe-done");
    if (mapping != nullptr) {
        auto *times = static_cast<volatile LONGLONG *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONGLONG)));
        if (times != nullptr) {
            times[bench_slot_netsh_entry] = entered.QuadPart;
            UnmapViewOfFile(const_cast<LONGLONG *>(times));
        }
        CloseHandle(mapping);
    }
    if (done != nullptr) {
        SetEvent(done);
        CloseHandle(done);
    }
    return 0;
}
