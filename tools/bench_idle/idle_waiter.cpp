// A program that does nothing but wait, with the DLLs named on its command line loaded (the
// imports of the program it stands beside), so that the difference between the two is what
// the program itself costs. Prints "waiting" once the DLLs are loaded; ends only when killed.
#include <windows.h>
#include <cstdio>

int wmain(int argc, wchar_t **argv)
{
    for (int i = 1; i < argc; ++i)
        if (LoadLibraryW(argv[i]) == nullptr) {
            wprintf(L"LoadLibraryW(%ls) FAILED %lu\n", argv[i], GetLastError());
            return 1;
        }
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (never == nullptr) {
        wprintf(L"CreateEventW() FAILED %lu\n", GetLastError());
        return 1;
    }
    wprintf(L"waiting\n");
    fflush(stdout);
    WaitForSingleObject(never, INFINITE);
    CloseHandle(never);
    return 0;
}
