// The command runner against a child program of ours (testprog.exe, next to this test).
#include "commands/runner.h"
#include "tests/child_harness.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cwchar>

namespace {

const wchar_t missing_program[] = L"tosmire-no-such-program.exe /x";

std::wstring system_text(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring copy = text != nullptr ? text : L"";
    LocalFree(text);
    return copy;
}

std::wstring start_failure(DWORD error, const wchar_t *command_line)
{
    return L"Error code:" + std::to_wstring(error) + L"\n" + system_text(error) + L"\n[" + command_line +
           L"]\n\nSorry, I cannot run this command! ";
}

// What "testprog print N" prints.
std::wstring printed_pattern(size_t total)
{
    std::wstring text;
    wchar_t line[16];
    for (size_t i = 0; i < total; i += 8) {
        swprintf(line, 16, L"%07u\n", static_cast<unsigned>(i / 8));
        text += line;
    }
    text.resize(total);
    return text;
}

// Captures into a zero-filled buffer of the given capacity and records result and buffer.
int capture_scenario(const wchar_t *command_line, DWORD capacity, bool leading_newline)
{
    std::vector<wchar_t> buffer(capacity + 1, L'\0');
    DWORD count = capacity;
    DWORD result = run_command_capture(command_line, buffer.data(), &count, leading_newline);
    write_scenario_result(result, buffer.data(), count);
    return 0;
}

TEST(RunCommand, ExitCodeWhenWaitedAndZeroWithoutWaiting)
{
    EXPECT_EQ(run_command(L"testprog.exe exit 5", false, true, nullptr), 5u);
    EXPECT_EQ(run_command(L"testprog.exe exit 5", false, false, nullptr), 0u);
}

TEST(RunCommand, EchoesTheCommandLineBeforeRunningIt)
{
    SimFolder folder;
    ChildResult child = run_scenario("echo-exit5");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.exit_code, 5u);
    EXPECT_EQ(child.output, L"# testprog.exe exit 5\n");
}

TEST(RunCommand, MissingProgramPrintsTheSystemTextAndReturnsTheError)
{
    SimFolder folder;
    ChildResult child = run_scenario("missing");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.exit_code, 2u);
    EXPECT_FALSE(system_text(2).empty());
    EXPECT_EQ(child.output, start_failure(2, missing_program));
}

TEST(RunCommandCapture, EmptyOutputIsShownAndStoredWithoutLeadingNewline)
{
    SimFolder folder;
    ChildResult child = run_scenario("capture-empty");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.output, L"[EMPTY OUTPUT]\n\n");
    ScenarioResult r = read_scenario_result(folder);
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(r.count, 14u);
    EXPECT_TRUE(r.terminated);
    EXPECT_EQ(r.text, L"[EMPTY OUTPUT]");
}

TEST(RunCommandCapture, ProgramThatCannotStartGivesTheStartFailureThenEmptyOutput)
{
    SimFolder folder;
    ChildResult child = run_scenario("capture-missing");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.output, start_failure(2, missing_program) + L"[EMPTY OUTPUT]\n\n");
    ScenarioResult r = read_scenario_result(folder);
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(r.text, L"[EMPTY OUTPUT]");
    EXPECT_EQ(r.count, 14u);
}

// The 3000-byte burst does not fit the capacity of 1000 and is only shown; the later, smaller
// chunk still fits and is stored. The leading newline comes once, before the first chunk.
TEST(RunCommandCapture, ChunkTooLargeForTheRestIsShownNotStoredAndALaterOneStored)
{
    SimFolder folder;
    ChildResult child = run_scenario("capture-burst");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.output, L"\n" + std::wstring(3000, L'a') + L"tail\n");
    ScenarioResult r = read_scenario_result(folder);
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(r.text, L"tail\n");
    EXPECT_EQ(r.count, 5u);
    EXPECT_TRUE(r.terminated);
}

TEST(RunCommandCapture, OutputOfManyChunksIsShownAndStoredWhole)
{
    SimFolder folder;
    ChildResult child = run_scenario("capture-large");
    ASSERT_TRUE(child.finished);
    std::wstring expected = printed_pattern(200000);
    EXPECT_TRUE(child.output == expected) << "printed " << child.output.size() << " characters";
    ScenarioResult r = read_scenario_result(folder);
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(r.count, 200000u);
    EXPECT_TRUE(r.terminated);
    EXPECT_TRUE(r.text == expected);
}

// With a capacity below the output, what is stored is whole chunks, in order, and it stays
// inside the buffer with its terminator; everything is still shown.
TEST(RunCommandCapture, OutputBeyondTheCapacityIsShownWholeAndStoredInWholeChunks)
{
    SimFolder folder;
    ChildResult child = run_scenario("capture-large-small");
    ASSERT_TRUE(child.finished);
    std::wstring expected = printed_pattern(200000);
    EXPECT_TRUE(child.output == expected) << "printed " << child.output.size() << " characters";
    ScenarioResult r = read_scenario_result(folder);
    ASSERT_TRUE(r.present);
    EXPECT_GT(r.count, 0u);
    EXPECT_LT(r.count, 100000u);
    EXPECT_TRUE(r.terminated);
    // Every line number of the pattern is unique, so a 16-character window finds its place.
    size_t at = 0;
    for (size_t i = 0; i < r.text.size(); ++i, ++at) {
        if (at < expected.size() && expected[at] == r.text[i])
            continue;
        size_t next = expected.find(r.text.substr(i, 16), at);
        ASSERT_NE(next, std::wstring::npos) << "stored text not in order at " << i;
        at = next;
    }
}

TEST(RunCommandCapture, WithoutBufferTheCountIsZero)
{
    DWORD count = 50;
    EXPECT_EQ(run_command_capture(L"testprog.exe exit 0", nullptr, &count, false), 0u);
    EXPECT_EQ(count, 0u);
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario == "echo-exit5")
        return static_cast<int>(run_command(L"testprog.exe exit 5", true, true, nullptr));
    if (scenario == "missing")
        return static_cast<int>(run_command(missing_program, false, true, nullptr));
    if (scenario == "capture-empty")
        return capture_scenario(L"testprog.exe exit 0", 64, false);
    if (scenario == "capture-missing")
        return capture_scenario(missing_program, 64, false);
    if (scenario == "capture-burst")
        return capture_scenario(L"testprog.exe burst", 1000, true);
    if (scenario == "capture-large")
        return capture_scenario(L"testprog.exe print 200000", 300000, false);
    if (scenario == "capture-large-small")
        return capture_scenario(L"testprog.exe print 200000", 100000, false);
    return 99;
}
