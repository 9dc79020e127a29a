// Child program for the command runner's tests. Writes raw bytes to its standard output:
//   testprog exit N     exits with code N, printing nothing
//   testprog print N    prints N bytes: lines "%07u\n" numbered from 0, the last one cut
//   testprog burst      prints 3000 'a', waits 500 ms, prints "tail\n"
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void write_out(const char *data, size_t size)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (size > 0) {
        DWORD done = 0;
        DWORD piece = size > 8192 ? 8192 : static_cast<DWORD>(size);
        if (!WriteFile(out, data, piece, &done, nullptr) || done == 0)
            ExitProcess(99);
        data += done;
        size -= done;
    }
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "exit") == 0)
        return atoi(argv[2]);
    if (argc == 3 && strcmp(argv[1], "print") == 0) {
        size_t total = strtoul(argv[2], nullptr, 10);
        char *text = static_cast<char *>(malloc(total + 8));
        if (text == nullptr)
            return 98;
        for (size_t i = 0; i < total; i += 8)
            snprintf(text + i, 9, "%07u\n", static_cast<unsigned>(i / 8));
        write_out(text, total);
        free(text);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "burst") == 0) {
        static char block[3000];
        memset(block, 'a', sizeof(block));
        write_out(block, sizeof(block));
        Sleep(500);
        write_out("tail\n", 5);
        return 0;
    }
    return 97;
}
