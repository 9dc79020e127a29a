// Console and log output without a console: the colour rule, format_text, and the log file
// (path, appending, bytes) written by a child process whose output the test captures.
#include <gtest/gtest.h>
#include <windows.h>
#include <cwchar>
#include <string>
#include "console/output.h"
#include "service/service_host.h"
#include "console_support.h"

using namespace console_test;

namespace {

TEST(ColourRule, SystemIndexesOnTheCommonDefaults)
{
    for (const SystemColour &c : system_colours) {
        EXPECT_EQ(console_color_attribute(c.index, 0x07), c.on_07) << "index " << c.index;
        EXPECT_EQ(console_color_attribute(c.index, 0xF0), c.on_F0) << "index " << c.index;
    }
}

TEST(ColourRule, IndexZeroIsTheDefaultAndTwoIsAlwaysGreenWithoutBackground)
{
    for (unsigned d = 0; d <= 0xFF; ++d) {
        EXPECT_EQ(console_color_attribute(0, static_cast<WORD>(d)), d);
        if ((d & 0x70) == 0) {
            EXPECT_EQ(console_color_attribute(2, static_cast<WORD>(d)), 0x0A) << "default " << d;
        }
    }
}

TEST(ColourRule, OtherBackgrounds)
{
    struct Row {
        unsigned short index;
        WORD d;
        WORD expected;
    };
    const Row rows[] = {
        {1, 0x1F, 0x19},  // the index adds no bit to the default: intense text of the index
        {4, 0x1F, 0x1C},
        {7, 0x1F, 0x7F},  // white index: its colour goes into the background
        {12, 0x1F, 0xDF}, // intense index with a colour: into the background, text keeps its bits
        {2, 0x21, 0x22},  // neither: the text colour is replaced by the index
        {1, 0x0F, 0x0B},  // without background: the text's low bits are replaced
        {9, 0x8F, 0x9F},  // background intensity alone counts as no background
    };
    for (const Row &r : rows)
        EXPECT_EQ(console_color_attribute(r.index, r.d), r.expected) << "index " << r.index << " on " << r.d;
}

TEST(FormatText, CapacityEightForNumbers)
{
    wchar_t buffer[9];
    wmemset(buffer, L'#', 9);
    EXPECT_EQ(format_text(buffer, 8, L"%u", 1234567u), 7);
    EXPECT_STREQ(buffer, L"1234567");
    EXPECT_EQ(format_text(buffer, 8, L"%u", 12345678u), -1);
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(format_text(buffer, 8, L"%u", 4294967295u), -1);
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(buffer[8], L'#') << "written beyond the capacity";
    EXPECT_EQ(format_text(buffer, 8, L"%d", -5), 2);
    EXPECT_STREQ(buffer, L"-5");
}

TEST(FormatText, CapacityFiveHundredTwelveForPathsAndCommandLines)
{
    static wchar_t buffer[513];
    std::wstring fits(511, L'x');
    std::wstring too_long(512, L'x');
    buffer[512] = L'#';
    EXPECT_EQ(format_text(buffer, 512, L"%ls", fits.c_str()), 511);
    EXPECT_EQ(std::wstring(buffer), fits);
    EXPECT_EQ(format_text(buffer, 512, L"netsh %ls", too_long.c_str()), -1);
    EXPECT_STREQ(buffer, L"") << "a cut command line must not remain";
    EXPECT_EQ(buffer[512], L'#');
    EXPECT_EQ(format_text(buffer, 512, L"%ls|%hs|%lc|%u|%d", L"wide", "narrow", L'\u00fc', 42u, -7), 19);
    EXPECT_STREQ(buffer, L"wide|narrow|\u00fc|42|-7");
}

TEST(FormatText, DegenerateCapacities)
{
    wchar_t buffer[2] = {L'#', L'#'};
    EXPECT_EQ(format_text(buffer, 0, L"x"), -1);
    EXPECT_EQ(buffer[0], L'#') << "capacity 0 must not write";
    EXPECT_EQ(format_text(buffer, 1, L"%ls", L""), 0);
    EXPECT_EQ(buffer[0], L'\0');
    buffer[0] = L'#';
    EXPECT_EQ(format_text(buffer, 1, L"x"), -1);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(format_text(nullptr, 8, L"x"), -1);
}

// What the child prints, with colour operations in between, and the text it must produce.
const std::wstring long_line(5000, L'7');

void print_sample()
{
    print_out(L"# plain line\n");
    set_console_color(4);
    print_out(L"!! error %u\n", 5u);
    restore_console_color();
    print_out(L"caf\u00e9 \u20ac \u4e2d");
    print_out(L" %hs %lc|%ls\n", "narrow", L'\u00fc', L"wide");
    reset_console_color();
    print_out(L"\n");
    print_out(L"%ls\n", long_line.c_str());
}

std::wstring sample_text()
{
    return L"# plain line\r\n!! error 5\r\ncaf\u00e9 \u20ac \u4e2d narrow \u00fc|wide\r\n\r\n" + long_line + L"\r\n";
}

int scenario_log(Scenario &s, const std::vector<std::wstring> &args)
{
    shadow_console_init();
    s.check(!g_shadow_console.own_console && g_shadow_console.console_window == nullptr, "a console at start");
    s.check(g_shadow_console.log_path != nullptr && g_shadow_console.log_path[0] == L'\0',
            "log_path not empty before log_to_file");
    wcscpy_s(g_service_host.name, args[0].c_str());
    s.check(print_out(L"caf\u00e9") == 4, "print_out count");
    s.check(print_out(L"%ls", long_line.c_str()) == 5000, "print_out count of a long text");
    print_out(L"\n");
    print_sample();
    s.check(log_to_file(false) == 0, "log_to_file failed");
    s.check(g_shadow_console.to_log_file, "to_log_file not set");
    s.check(log_file_for(args[0]) == g_shadow_console.log_path, "log_path is %ls", g_shadow_console.log_path);
    print_sample();
    s.check(log_to_file(false) == 0, "second log_to_file failed");
    print_out(L"second\n");
    return s.failures();
}

// Before start-up standard output is the narrow stream the process began with (as in tests of
// other modules): print_out must let it convert the text.
int scenario_narrow(Scenario &s, const std::vector<std::wstring> &)
{
    s.check(print_out(L"plain %u %ls\n", 5u, L"wide") == 13, "print_out count");
    s.check(print_out(L"%ls\n", long_line.c_str()) == 5001, "print_out count of a long text");
    return s.failures();
}

int scenario_log_failure(Scenario &s, const std::vector<std::wstring> &args)
{
    shadow_console_init();
    wcscpy_s(g_service_host.name, args[0].c_str());
    s.check(log_to_file(false) == -1, "log_to_file into a missing folder succeeded");
    s.check(!g_shadow_console.to_log_file, "to_log_file set after a failure");
    int n = print_out(L"still printing\n");
    s.check(n == 15, "standard output left unusable: print_out gave %d", n);
    return s.failures();
}

class CapturedChild : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = L"tosmire.test." + std::to_wstring(GetCurrentProcessId());
        log = log_file_for(name);
        capture = temp_path(name + L".out");
        DeleteFileW(log.c_str());
    }
    void TearDown() override
    {
        DeleteFileW(log.c_str());
        DeleteFileW(capture.c_str());
    }
    // Runs a scenario with its standard output in the capture file.
    ChildResult run(const wchar_t *scenario, const std::wstring &arg, DWORD flags)
    {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        HANDLE out = CreateFileW(capture.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
        ChildResult r = run_child(scenario, L"\"" + arg + L"\"", flags, out);
        CloseHandle(out);
        return r;
    }
    std::wstring name, log, capture;
};

TEST_F(CapturedChild, LogFileGetsExactlyTheConsoleTextAsUtf16)
{
    const std::string before = utf16_bytes(L"earlier run\r\n");
    FILE *earlier = _wfopen(log.c_str(), L"wb");
    ASSERT_NE(earlier, nullptr) << "no LogFiles folder under the system directory";
    fwrite(before.data(), 1, before.size(), earlier);
    fclose(earlier);
    ChildResult r = run(L"log", name, DETACHED_PROCESS);
    EXPECT_EQ(r.exit_code, 0u) << r.report;

    const std::string sample = utf16_bytes(sample_text());
    const std::string console = read_bytes(capture);
    EXPECT_EQ(console, utf16_bytes(L"caf\u00e9" + long_line + L"\r\n") + sample);

    const std::string written = read_bytes(log);
    ASSERT_GE(written.size(), before.size());
    EXPECT_EQ(written.substr(0, before.size()), before) << "earlier content lost";
    const std::string appended = written.substr(before.size());
    EXPECT_EQ(appended, sample + utf16_bytes(L"second\r\n"));
    EXPECT_NE(appended.substr(0, 2), std::string("\xFF\xFE", 2)) << "byte-order mark";
    EXPECT_EQ(appended.find('\x1b'), std::string::npos) << "colour codes in the log";
}

// The child shares whatever console this test has: without a display, Wine's AllocConsole in a
// process without console reports success for a console whose host has already ended.
TEST_F(CapturedChild, BeforeStartUpTheNarrowStreamGetsNarrowText)
{
    ChildResult r = run(L"narrow", L"-", DETACHED_PROCESS);
    EXPECT_EQ(r.exit_code, 0u) << r.report;
    std::string long_narrow(long_line.begin(), long_line.end());
    EXPECT_EQ(read_bytes(capture), "plain 5 wide\r\n" + long_narrow + "\r\n");
}

TEST_F(CapturedChild, LogFileInMissingFolderKeepsOutputUsable)
{
    ChildResult r = run(L"logfail", L"no-such-folder/" + name, 0);
    EXPECT_EQ(r.exit_code, 0u) << r.report;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::wstring> args = wide_arguments();
    if (args.size() >= 4 && args[1] == L"--child") {
        Scenario s(args[3]);
        std::vector<std::wstring> rest(args.begin() + 4, args.end());
        if (rest.empty())
            return 100;
        if (args[2] == L"log")
            return scenario_log(s, rest);
        if (args[2] == L"narrow")
            return scenario_narrow(s, rest);
        if (args[2] == L"logfail")
            return scenario_log_failure(s, rest);
        return 101;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
