// Console and log output without a console: the colour rule, format_text, and the log file
// (path, appending, bytes) written by a child whose standard output the test captures.
#include <cwchar>
#include "console_support.h"
#include "commands/runner.h"

using namespace console_test;

namespace {

TEST(ColourRule, SystemIndexesAndOtherDefaults)
{
    for (unsigned d = 0; d <= 0xFF; ++d) {
        EXPECT_EQ(console_color_attribute(0, static_cast<WORD>(d)), d);
        if ((d & 0x70) == 0) {
            EXPECT_EQ(console_color_attribute(2, static_cast<WORD>(d)), 0x0A) << "green on " << d;
        }
    }
    // The indexes the system uses, on grey-on-black and on black-on-white.
    const WORD system[][3] = {{1, 0x0B, 0xF1},  {2, 0x0A, 0xF2},  {3, 0x0F, 0xF3},   {4, 0x0C, 0xF4},
                              {5, 0x0F, 0xF5},  {6, 0x0E, 0xF6},  {7, 0x0F, 0xFF},   {9, 0x1F, 0xF9},
                              {12, 0x4F, 0xF4}, {13, 0x5F, 0xF5}, {138, 0x2F, 0x8F2}};
    for (const WORD *s : system) {
        EXPECT_EQ(console_color_attribute(s[0], 0x07), s[1]) << "index " << s[0];
        EXPECT_EQ(console_color_attribute(s[0], 0xF0), s[2]) << "index " << s[0];
    }
    // Index, default, attribute.
    const WORD other[][3] = {
        {1, 0x1F, 0x19},  // the index adds no bit to the default: intense text of the index
        {4, 0x1F, 0x1C},
        {7, 0x1F, 0x7F},  // white index: its colour goes into the background
        {12, 0x1F, 0xDF}, // intense index with a colour: into the background, text keeps its bits
        {2, 0x21, 0x22},  // neither: the text colour is replaced by the index
        {1, 0x0F, 0x0B},  // without background: the text's low bits are replaced
        {9, 0x8F, 0x9F},  // background intensity alone counts as no background
    };
    for (const WORD *r : other)
        EXPECT_EQ(console_color_attribute(r[0], r[1]), r[2]) << "index " << r[0] << " on " << r[1];
}

TEST(FormatText, TerminatedWithinCapacityOrEmptyWhenTooLong)
{
    // Capacities 8 (numbers) and 512 (paths, command lines), and the degenerate ones.
    const struct {
        size_t capacity, length;
        int stored;
    } rows[] = {{8, 7, 7}, {8, 8, -1}, {512, 511, 511}, {512, 512, -1}, {1, 0, 0}, {1, 1, -1}, {0, 0, -1}};
    static wchar_t buffer[514];
    for (const auto &r : rows) {
        const std::wstring text(r.length, L'x');
        wmemset(buffer, L'#', 513);
        EXPECT_EQ(format_text(buffer, r.capacity, L"%ls", text.c_str()), r.stored) << r.length << " in " << r.capacity;
        EXPECT_EQ(buffer[r.capacity], L'#') << "written beyond capacity " << r.capacity;
        if (r.capacity > 0) {
            EXPECT_EQ(std::wstring(buffer), r.stored < 0 ? L"" : text) << "a cut text must not remain";
        }
    }
    EXPECT_EQ(format_text(buffer, 512, L"%ls|%hs|%lc|%u|%d", L"wide", "narrow", L'\u00fc', 42u, -7), 19);
    EXPECT_STREQ(buffer, L"wide|narrow|\u00fc|42|-7");
    EXPECT_EQ(format_text(nullptr, 8, L"x"), -1);
}

const std::wstring long_line(5000, L'7'); // longer than print_out formats on the stack
const std::wstring sample = L"!! error 5\r\ncaf\u00e9 \u20ac narrow \u00fc|wide\r\n\r\n" + long_line + L"\r\n";

// Prints the sample, with colour operations in between that must leave no trace.
void print_sample()
{
    set_console_color(4);
    EXPECT_EQ(print_out(L"!! error %u\n", 5u), 11);
    restore_console_color();
    print_out(L"caf\u00e9 \u20ac %hs %lc|%ls\n", "narrow", L'\u00fc', L"wide");
    reset_console_color();
    EXPECT_EQ(print_out(L"\n%ls\n", long_line.c_str()), 5002);
}

TEST(Child, DISABLED_log)
{
    const std::wstring name = child_args.at(0);
    // Before start-up standard output is the narrow stream the process began with.
    EXPECT_EQ(print_out(L"plain %u %ls\n", 5u, L"wide"), 13);
    fflush(stdout);
    shadow_console_init();
    atexit(shadow_console_close); // as the program's start-up registers it
    set_log_file_name(name.c_str());
    print_sample();
    ASSERT_EQ(log_to_file(false), 0);
    EXPECT_EQ(log_file_for(name), g_shadow_console.log_path);
    print_sample();
    ASSERT_EQ(log_to_file(false), 0) << "a second time";
    print_out(L"second\n");
    // A log file that cannot be opened and no console to fall back to: output goes to NUL.
    set_log_file_name((L"no-such-folder/" + name).c_str());
    EXPECT_EQ(log_to_file(false), -1);
    EXPECT_FALSE(g_shadow_console.to_log_file || g_shadow_console.console_window != nullptr);
    EXPECT_EQ(print_out(L"still printing\n"), 15) << "standard output left closed";
}

TEST(LogFile, AppendsExactlyTheConsoleTextInUtf16WithoutColours)
{
    const std::wstring name = L"tosmire.test." + std::to_wstring(GetCurrentProcessId());
    const std::wstring log = log_file_for(name), capture = log + L".out";
    const std::string before = utf16_bytes(L"earlier run\r\n");
    FILE *earlier = _wfopen(log.c_str(), L"wb");
    ASSERT_NE(earlier, nullptr) << "no LogFiles folder under the system directory";
    fwrite(before.data(), 1, before.size(), earlier);
    fclose(earlier);
    run_child(L"log", name, 0, capture);
    EXPECT_EQ(read_bytes(capture), "plain 5 wide\r\n" + utf16_bytes(sample)) << "console";
    EXPECT_EQ(read_bytes(log), before + utf16_bytes(sample + L"second\r\n"));
    DeleteFileW(log.c_str());
    DeleteFileW(capture.c_str());
}

// A record's text gathered into one write: the same bytes as unbuffered printing, with what a
// started program prints and what another thread prints kept whole and in order.
DWORD WINAPI print_from_other_thread(void *text)
{
    print_out(L"%ls", static_cast<const wchar_t *>(text));
    return 0;
}

void print_on_other_thread(const wchar_t *text)
{
    HANDLE thread = CreateThread(nullptr, 0, print_from_other_thread, const_cast<wchar_t *>(text), 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST(Child, DISABLED_gather)
{
    shadow_console_init();
    atexit(shadow_console_close);
    output_gather_begin();
    print_out(L"one %u\n", 1u);
    set_console_color(color_error);
    print_out(L"\n%ls\n", long_line.c_str()); // longer than the stack buffer
    restore_console_color();
    // The started program writes into the same file, after what came before it.
    wchar_t command[] = L"testprog.exe print 8";
    EXPECT_EQ(run_command(command, false, true, nullptr), 0u);
    print_out(L"two\n");
    // Another thread's text is neither held back with this thread's nor cut into it: it goes
    // out at once, ahead of what this thread still holds.
    print_on_other_thread(L"other thread\n");
    // More than the gathered text holds: written in order all the same.
    for (int i = 0; i < 3; ++i)
        print_out(L"%ls\n", std::wstring(3000, static_cast<wchar_t>(L'a' + i)).c_str());
    output_gather_end();
    print_out(L"after\n");
    // A record starts on a line of its own: a line another thread left open (the Remote Desktop
    // thread's count line) is ended first, also when the record is gathered; a closed one is not.
    // Written in pieces (as on a console), its next piece never continues such a line either.
    start_whole_line();
    output_gather_begin();
    print_on_other_thread(L"open");
    print_out(L"record\n");
    flush_output();
    print_on_other_thread(L"open again");
    print_out(L"rest of the record\n");
    output_gather_end();
    start_whole_line();
    print_out(L"next\n");
}

TEST(OutputGathering, SameBytesAsUnbufferedPrintingAndAStartedProgramsOutputInPlace)
{
    const std::wstring capture = log_file_for(L"tosmire.gather." + std::to_wstring(GetCurrentProcessId())) + L".out";
    run_child(L"gather", L"quiet", 0, capture); // an argument: the child prints no test report
    std::wstring rest;
    for (int i = 0; i < 3; ++i)
        rest += std::wstring(3000, static_cast<wchar_t>(L'a' + i)) + L"\r\n";
    EXPECT_EQ(read_bytes(capture), utf16_bytes(L"one 1\r\n\r\n" + long_line + L"\r\n") + "0000000\n" +
                                       utf16_bytes(L"other thread\r\ntwo\r\n" + rest +
                                                    L"after\r\nopen\r\nrecord\r\nopen again\r\nrest of the record\r\nnext\r\n"));
    DeleteFileW(capture.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    return console_test::run_tests(argc, argv);
}
