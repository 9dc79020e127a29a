// Child processes for tests that look at printed output (see child_harness.h), and the main
// entry that runs either the tests or one child scenario.
#include "tests/child_harness.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>

static std::wstring temp_name(const wchar_t *prefix)
{
    static LONG counter = 0;
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring name(temp, length < MAX_PATH ? length : 0);
    return name + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

SimFolder::SimFolder() : path_(temp_name(L"tosmire-sim-"))
{
    CreateDirectoryW(path_.c_str(), nullptr);
    SetEnvironmentVariableW(L"TOSMIRE_SIM_DIR", path_.c_str());
}

SimFolder::~SimFolder()
{
    SetEnvironmentVariableW(L"TOSMIRE_SIM_DIR", nullptr);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW(file(found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path_.c_str());
}

// The file mixes the test program's wide output (UTF-16 when the console module put the
// stream in wide mode, narrow otherwise) with the narrow output of the programs it started.
// Texts are ASCII here, so a byte followed by a zero byte is one UTF-16 character.
static std::wstring decode_output(const std::string &bytes)
{
    std::wstring text;
    for (size_t i = 0; i < bytes.size();) {
        if (i + 1 < bytes.size() && bytes[i] != 0 && bytes[i + 1] == 0) {
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
            i += 2;
        } else {
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
            i += 1;
        }
    }
    // Text mode writes every line feed as carriage return and line feed; undo that once.
    std::wstring plain;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n'))
            plain += text[i];
    return plain;
}

ChildResult run_redirected(const std::wstring &command_line, DWORD timeout_ms)
{
    ChildResult result;
    std::wstring out_path = temp_name(L"tosmire-out-") + L".txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return result;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
            result.finished = GetExitCodeProcess(process.hProcess, &result.exit_code) != 0;
        } else {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);

    HANDLE in = CreateFileW(out_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in != INVALID_HANDLE_VALUE) {
        std::string bytes;
        char buffer[65536];
        DWORD done = 0;
        while (ReadFile(in, buffer, sizeof(buffer), &done, nullptr) && done > 0)
            bytes.append(buffer, done);
        CloseHandle(in);
        result.output = decode_output(bytes);
    }
    DeleteFileW(out_path.c_str());
    return result;
}

ChildResult run_scenario(const char *scenario)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self, length < MAX_PATH ? length : 0) + L"\" --child ";
    for (const char *p = scenario; *p != '\0'; ++p)
        line += static_cast<wchar_t>(*p);
    return run_redirected(line);
}

static std::wstring result_path()
{
    wchar_t dir[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TOSMIRE_SIM_DIR", dir, MAX_PATH);
    return std::wstring(dir, length < MAX_PATH ? length : 0) + L"\\scenario-result.bin";
}

void write_scenario_result(DWORD result, const wchar_t *text, DWORD count)
{
    DWORD header[3] = {result, count, text != nullptr && text[count] == L'\0'};
    HANDLE file = CreateFileW(result_path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD done = 0;
    WriteFile(file, header, sizeof(header), &done, nullptr);
    if (text != nullptr && count > 0)
        WriteFile(file, text, count * sizeof(wchar_t), &done, nullptr);
    CloseHandle(file);
}

ScenarioResult read_scenario_result(const SimFolder &folder)
{
    ScenarioResult result;
    HANDLE file = CreateFileW(folder.file(L"scenario-result.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return result;
    DWORD header[3] = {};
    DWORD done = 0;
    if (ReadFile(file, header, sizeof(header), &done, nullptr) && done == sizeof(header)) {
        result.present = true;
        result.result = header[0];
        result.count = header[1];
        result.terminated = header[2] != 0;
        result.text.resize(result.count);
        if (result.count > 0 &&
            (!ReadFile(file, result.text.data(), result.count * sizeof(wchar_t), &done, nullptr) ||
             done != result.count * sizeof(wchar_t)))
            result.present = false;
    }
    CloseHandle(file);
    return result;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--child") == 0) {
        // Unbuffered, as the program's own streams are: what the children print lands in order.
        setvbuf(stdout, nullptr, _IONBF, 0);
        int code = run_child_scenario(argv[2]);
        fflush(stdout);
        return code;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
