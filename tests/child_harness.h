// Runs programs with their standard output and standard error in a file, and the test
// program itself as a child that runs one scenario, so that a test sees exactly what the
// code under test printed, also what the programs it started printed.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    bool finished = false; // started, and ended within the time limit
    DWORD exit_code = 0;
    std::wstring output;   // decoded, with the text mode's carriage returns taken out; when not
                           // finished, a last line tells why (not started, or still running)
};

// A fresh simulation folder in the temporary folder, named by TOSMIRE_SIM_DIR for every child
// while it lives; removed with everything in it at the end.
class SimFolder {
public:
    SimFolder();
    ~SimFolder();
    SimFolder(const SimFolder &) = delete;
    SimFolder &operator=(const SimFolder &) = delete;
    const std::wstring &path() const { return path_; }
    std::wstring file(const wchar_t *name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// The simulated program running in the background with its standard output and error in a file.
// stop() ends it at once (nothing it would print at an orderly end is checked); so does the
// destructor, so that a failed assertion leaves no monitor running.
class BackgroundMonitor {
public:
    BackgroundMonitor() = default;
    ~BackgroundMonitor() { stop(); }
    BackgroundMonitor(const BackgroundMonitor &) = delete;
    BackgroundMonitor &operator=(const BackgroundMonitor &) = delete;
    // Starts the program (tosmire-ips-sim.exe beside this one unless given, in the current
    // directory given) with the arguments, writing into out_path; false when it could not start.
    bool start(const std::wstring &out_path, const std::wstring &arguments = L"",
               const std::wstring &program = L"tosmire-ips-sim.exe", const wchar_t *current_directory = nullptr);
    // Whether it has ended, waiting at most ms.
    bool ended(DWORD ms) const { return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0; }
    void stop();

private:
    PROCESS_INFORMATION process_ = {};
};

// The whole file, read while others may still write it; empty when it cannot be opened.
std::string read_file_bytes(const std::wstring &path);

// Output as the tests read it: the program's wide text (a byte and a zero byte for ASCII)
// mixed with the narrow text of the programs it started; a carriage return before a line
// feed goes, as text mode wrote it.
std::wstring decode_output(const std::string &bytes);

// decode_output of the whole file; empty when it cannot be opened.
std::wstring read_output_file(const std::wstring &path);

// Whether the condition came true within the time, looked at every 10 ms. The time is for a
// hang: a busy machine takes seconds where an idle one takes milliseconds.
inline bool wait_until(const std::function<bool()> &condition, DWORD timeout_ms = 30000)
{
    for (const ULONGLONG end = GetTickCount64() + timeout_ms; GetTickCount64() < end; Sleep(10))
        if (condition())
            return true;
    return condition();
}

// A program or file in this test program's folder.
inline std::wstring beside(const wchar_t *name)
{
    wchar_t self[MAX_PATH];
    std::wstring dir(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

// A text of ASCII characters as a narrow string, for messages.
inline std::string narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

// How often piece occurs in text, overlapping occurrences included.
inline size_t count_of(const std::wstring &text, const std::wstring &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The full path of a simulated system program ("netsh.exe"), quoted: in bin/system32, beside
// the folder of this test program, where the simulated build's system folder is.
std::wstring sim_system_tool(const wchar_t *program);
// A command of a system program ("netsh ipsec ...", "regedit.exe") as the program runs it: the
// first word replaced by the quoted full path of the simulated program.
std::wstring as_run(const std::wstring &command);

// The inverse of as_run for netsh: a journalled command line as the program formatted it, with
// "netsh" for the simulated netsh's full path; empty when the line does not begin with that path.
std::wstring as_formatted(const std::wstring &cmdline);

// Runs a command line (found as CreateProcessW finds it) with no standard input.
ChildResult run_redirected(const std::wstring &command_line, DWORD timeout_ms = 60000);
// Runs this test program with "--child <scenario>".
ChildResult run_scenario(const char *scenario);

// What a child scenario hands back besides its output: a result code and a text buffer.
struct ScenarioResult {
    bool present = false;
    DWORD result = 0;
    DWORD count = 0;         // the count reported for the buffer
    bool terminated = false; // the buffer holds a terminator right behind count characters
    std::wstring text;       // the first count characters of the buffer
};
// In the child: records the result in the simulation folder.
void write_scenario_result(DWORD result, const wchar_t *text, DWORD count);
// In the parent: reads what the child recorded.
ScenarioResult read_scenario_result(const SimFolder &folder);

// Defined by each test program: runs one named scenario in the child; its exit code.
int run_child_scenario(const std::string &scenario);
