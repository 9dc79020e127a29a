// The command runner against a child program of ours (testprog.exe, next to this test).
#include "commands/runner.h"
#include "tests/child_harness.h"
#include <gtest/gtest.h>
#include <cwchar>

namespace {

const wchar_t missing_program[] = L"tosmire-no-such-program.exe /x";

// What the runner prints when missing_program cannot start: the system's own text for the error.
std::wstring start_failure(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring system_text = text != nullptr ? text : L"(no system text)";
    LocalFree(text);
    return L"Error code:" + std::to_wstring(error) + L"\n" + system_text + L"\n[" + missing_program +
           L"]\n\nSorry, I cannot run this command! ";
}

// What "testprog print N" prints.
std::wstring printed_pattern(size_t total)
{
    std::wstring text;
    wchar_t line[16];
    for (unsigned i = 0; text.size() < total; ++i)
        text.append(line, swprintf(line, 16, L"%07u\n", i));
    return text.substr(0, total);
}

struct Capture {
    const wchar_t *command;
    DWORD capacity;
    bool leading_newline;
    std::wstring shown, stored; // stored empty: some of what was shown, in whole chunks and in order
};

std::vector<Capture> captures()
{
    const std::wstring empty = L"[EMPTY OUTPUT]", pattern = printed_pattern(200000);
    return {
        {L"testprog.exe exit 0", 64, false, empty + L"\n\n", empty},
        {missing_program, 64, false, start_failure(2) + empty + L"\n\n", empty},
        // The 3000-byte chunk does not fit the capacity of 1000 and is only shown; the later,
        // smaller one is stored. The leading newline comes once, before the first chunk.
        {L"testprog.exe burst", 1000, true, L"\n" + std::wstring(3000, L'a') + L"tail\n", L"tail\n"},
        {L"testprog.exe print 200000", 300000, false, pattern, pattern},
        {L"testprog.exe print 200000", 100000, false, pattern, L""},
    };
}

TEST(RunCommand, ExitCodeEchoAndStartFailure)
{
    EXPECT_EQ(run_command(L"testprog.exe exit 5", false, true, nullptr), 5u);
    EXPECT_EQ(run_command(L"testprog.exe exit 5", false, false, nullptr), 0u);
    DWORD count = 50;
    EXPECT_EQ(run_command_capture(L"testprog.exe exit 0", nullptr, &count, false), 0u);
    EXPECT_EQ(count, 0u) << "no buffer, nothing stored";

    ChildResult child = run_scenario("run"); // echoed when asked, before it runs
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(child.exit_code, 2u);
    EXPECT_EQ(child.output, L"# testprog.exe exit 5\n" + start_failure(2));
}

TEST(RunCommandCapture, ShowsAllOutputAndStoresWhatFitsWithATerminator)
{
    std::vector<Capture> cases = captures();
    for (size_t i = 0; i < cases.size(); ++i) {
        SimFolder folder;
        ChildResult child = run_scenario(("capture" + std::to_string(i)).c_str());
        ScenarioResult r = read_scenario_result(folder);
        ASSERT_TRUE(child.finished && r.present) << i << child.output;
        EXPECT_EQ(child.exit_code, 0u) << i << ": written beyond the capacity";
        EXPECT_TRUE(child.output == cases[i].shown) << i << ": printed " << child.output.size() << " characters";
        EXPECT_EQ(r.result, 0u) << i;
        EXPECT_TRUE(r.terminated) << i;
        if (!cases[i].stored.empty()) {
            EXPECT_TRUE(r.text == cases[i].stored) << i << ": stored " << r.count << " characters";
            continue;
        }
        EXPECT_GT(r.count, 0u);
        // Every line number of the pattern is unique, so a 16-character window finds its place.
        for (size_t at = 0, k = 0; k < r.text.size(); ++k, ++at)
            if (at >= cases[i].shown.size() || cases[i].shown[at] != r.text[k]) {
                at = cases[i].shown.find(r.text.substr(k, 16), at);
                ASSERT_NE(at, std::wstring::npos) << "stored text not in order at " << k;
            }
    }
}

// Lines of the simulated netsh's journal: one per command that netsh finished.
size_t journal_lines(const SimFolder &folder)
{
    size_t lines = 0;
    if (FILE *file = _wfopen(folder.file(L"netsh.log").c_str(), L"rb")) {
        for (int c; (c = fgetc(file)) != EOF;)
            lines += c == '\n';
        fclose(file);
    }
    return lines;
}

// A slow child is waited for; one that outlasts the limit is named, left running, and its
// result is WAIT_TIMEOUT.
TEST(RunCommandLimited, WaitsUpToTheLimitThenLeavesTheChildRunning)
{
    SimFolder folder;
    ChildResult child = run_scenario("limited");
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ(journal_lines(folder), 1u) << "the second netsh is still running";
    EXPECT_EQ(child.output, L"[slow 0]\n!! netsh did not end within 2 seconds: WaitForSingleObject() WAIT_TIMEOUT 258, "
                            L"left running\n[hung 258]\n");
    for (int i = 0; i < 300 && journal_lines(folder) < 2; ++i)
        Sleep(50);
    EXPECT_EQ(journal_lines(folder), 2u) << "and ends on its own";
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario == "limited") {
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", L"500");
        printf("[slow %lu]\n", run_command_limited(L"netsh ipsec static add filterlist Brek", 10000));
        SetEnvironmentVariableW(L"TOSMIRE_SIM_NETSH_HANG_MS", L"3500");
        printf("[hung %lu]\n", run_command_limited(L"netsh ipsec static add filterlist Other", 2000));
        return 0;
    }
    if (scenario == "run") {
        run_command(L"testprog.exe exit 5", true, true, nullptr);
        return static_cast<int>(run_command(missing_program, false, true, nullptr));
    }
    std::vector<Capture> cases = captures();
    size_t i = static_cast<size_t>(scenario.back() - '0');
    if (scenario.rfind("capture", 0) != 0 || i >= cases.size())
        return 99;
    // Not zero-filled, so the terminator is the runner's; the slot past the capacity is a guard.
    std::vector<wchar_t> buffer(cases[i].capacity + 1, L'#');
    DWORD count = cases[i].capacity;
    DWORD result = run_command_capture(cases[i].command, buffer.data(), &count, cases[i].leading_newline);
    write_scenario_result(result, buffer.data(), count);
    return buffer.back() == L'#' ? 0 : 1;
}
