// Child processes for tests that look at printed output (see child_harness.h), and the main
// entry that runs either the tests or one child scenario.
#include "tests/child_harness.h"
#include <filesystem>
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>

// A new name in the temporary folder. Wine hands the ids of ended processes out again, and a
// killed test leaves its files behind: the process's start tick tells this process's names
// from those of an earlier one with the same id.
static std::wstring temp_name(const wchar_t *prefix)
{
    static LONG counter = 0;
    static const ULONGLONG started = GetTickCount64();
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp, length < MAX_PATH ? length : 0) + prefix + std::to_wstring(GetCurrentProcessId()) +
           L"-" + std::to_wstring(started) + L"-" + std::to_wstring(InterlockedIncrement(&counter));
}

// What run_redirected adds to a child's output when the child did not run to its end.
static std::wstring failure_note(const wchar_t *call, DWORD error, const std::wstring &what = L"")
{
    return L"\n[run_redirected: " + what + call + L" failed: error " + std::to_wstring(error) + L"]\n";
}

// Reads the file from its current position to the end, then closes it.
static std::string read_rest(HANDLE file)
{
    std::string bytes;
    char buffer[65536];
    DWORD done = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &done, nullptr) && done > 0)
        bytes.append(buffer, done);
    CloseHandle(file);
    return bytes;
}

std::string read_file_bytes(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    return file != INVALID_HANDLE_VALUE ? read_rest(file) : std::string();
}

std::wstring decode_output(const std::string &bytes)
{
    std::wstring text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        wchar_t c = static_cast<unsigned char>(bytes[i]);
        if (c != 0 && i + 1 < bytes.size() && bytes[i + 1] == 0)
            ++i;
        if (c == L'\n' && !text.empty() && text.back() == L'\r')
            text.back() = c;
        else
            text += c;
    }
    return text;
}

std::wstring read_output_file(const std::wstring &path) { return decode_output(read_file_bytes(path)); }

SimFolder::SimFolder() : path_(temp_name(L"tosmire-sim-"))
{
    // Never a folder that exists: its files would be taken for this test's.
    for (int attempt = 0; attempt < 100 && !CreateDirectoryW(path_.c_str(), nullptr); ++attempt)
        path_ = temp_name(L"tosmire-sim-");
    SetEnvironmentVariableW(L"TOSMIRE_SIM_DIR", path_.c_str());
}

SimFolder::~SimFolder()
{
    SetEnvironmentVariableW(L"TOSMIRE_SIM_DIR", nullptr);
    std::error_code ignored; // what cannot be removed stays: a temporary folder
    std::filesystem::remove_all(path_, ignored);
}

ChildResult run_redirected(const std::wstring &command_line, DWORD timeout_ms)
{
    ChildResult result;
    // The child shares this handle, and so its file position: after it ends, read from the start.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE out = CreateFileW((temp_name(L"tosmire-out-") + L".txt").c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                             FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.output = failure_note(L"CreateFileW", error, L"the output file: ");
        return result;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::wstring line = command_line; // CreateProcessW may write into the command line
    std::wstring note;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        const DWORD waited = WaitForSingleObject(process.hProcess, timeout_ms);
        result.finished = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &result.exit_code);
        const DWORD error = GetLastError();
        if (waited == WAIT_TIMEOUT)
            note = L"\n[run_redirected: still running after " + std::to_wstring(timeout_ms) + L" ms; ended]\n";
        else if (!result.finished)
            note = failure_note(waited == WAIT_OBJECT_0 ? L"GetExitCodeProcess" : L"WaitForSingleObject", error);
        if (!result.finished && TerminateProcess(process.hProcess, 1))
            WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        const DWORD error = GetLastError();
        note = failure_note(L"CreateProcessW", error, command_line + L": ");
    }
    SetFilePointer(out, 0, nullptr, FILE_BEGIN);
    result.output = decode_output(read_rest(out)) + note;
    return result;
}

std::wstring sim_system_tool(const wchar_t *program)
{
    wchar_t self[MAX_PATH], full[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"..\\system32\\" + program;
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return L"\"" + std::wstring(full, length < MAX_PATH ? length : 0) + L"\"";
}

std::wstring as_run(const std::wstring &command)
{
    const size_t word = command.find(L' ');
    std::wstring program = command.substr(0, word);
    if (!program.ends_with(L".exe"))
        program += L".exe";
    return sim_system_tool(program.c_str()) + (word == std::wstring::npos ? L"" : command.substr(word));
}

std::wstring as_formatted(const std::wstring &cmdline)
{
    const std::wstring netsh = sim_system_tool(L"netsh.exe") + L" ";
    return cmdline.starts_with(netsh) ? L"netsh " + cmdline.substr(netsh.size()) : L"";
}

ChildResult run_scenario(const char *scenario)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self, length < MAX_PATH ? length : 0) + L"\" --child ";
    return run_redirected(line + std::wstring(scenario, scenario + strlen(scenario)));
}

void write_scenario_result(DWORD result, const wchar_t *text, DWORD count)
{
    const wchar_t *dir = _wgetenv(L"TOSMIRE_SIM_DIR");
    FILE *file = dir != nullptr ? _wfopen((std::wstring(dir) + L"\\scenario-result.bin").c_str(), L"wb") : nullptr;
    if (file == nullptr)
        return;
    DWORD header[3] = {result, count, text != nullptr && text[count] == L'\0'};
    fwrite(header, sizeof(header), 1, file);
    if (text != nullptr)
        fwrite(text, sizeof(wchar_t), count, file);
    fclose(file);
}

ScenarioResult read_scenario_result(const SimFolder &folder)
{
    ScenarioResult result;
    std::string bytes = read_file_bytes(folder.file(L"scenario-result.bin"));
    DWORD header[3] = {};
    memcpy(header, bytes.data(), bytes.size() < sizeof(header) ? bytes.size() : sizeof(header));
    result.present = bytes.size() == sizeof(header) + size_t{header[1]} * sizeof(wchar_t);
    result.result = header[0];
    result.count = header[1];
    result.terminated = header[2] != 0;
    if (result.present)
        result.text.assign(reinterpret_cast<const wchar_t *>(bytes.data() + sizeof(header)), result.count);
    return result;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--child") == 0) {
        // Unbuffered, as the program's own streams are: what the children print lands in order.
        setvbuf(stdout, nullptr, _IONBF, 0);
        return run_child_scenario(argv[2]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

bool BackgroundMonitor::start(const std::wstring &out_path, const std::wstring &arguments, const std::wstring &program,
                              const wchar_t *current_directory)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError =
        CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
    if (startup.hStdOutput == INVALID_HANDLE_VALUE)
        return false;
    std::wstring line = L"\"" + program + L"\"";
    if (!arguments.empty())
        line += L" " + arguments;
    const bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, current_directory,
                                        &startup, &process_);
    CloseHandle(startup.hStdOutput);
    return started;
}

void BackgroundMonitor::stop()
{
    if (process_.hProcess == nullptr)
        return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
}
