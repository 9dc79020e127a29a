// The block commands as netsh's command line is split: whatever a logon's texts hold, the
// filter goes to the attacking address and the command keeps its closing arguments.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <string>
#include <vector>
#include "engine/block.h"

namespace {

std::vector<std::wstring> split_command_line(const wchar_t *command)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command, &argc);
    std::vector<std::wstring> args;
    for (int i = 0; argv != nullptr && i < argc; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

LogonReport logon(const wchar_t *domain, const wchar_t *user, const wchar_t *address, const wchar_t *authentication)
{
    return LogonReport{domain, user, address, L"", L"3", authentication};
}

// The eleven arguments of an add-filter command, the description being the ninth.
void expect_filter_for(const wchar_t *command, const wchar_t *address)
{
    std::vector<std::wstring> args = split_command_line(command);
    ASSERT_EQ(args.size(), 11u) << command;
    EXPECT_EQ(args[6], std::wstring(L"srcaddr=me"));
    EXPECT_EQ(args[7], std::wstring(L"dstaddr=") + address);
    EXPECT_EQ(args[8].rfind(L"description=", 0), 0u);
    EXPECT_EQ(args[9], L"protocol=ANY");
    EXPECT_EQ(args[10], L"mirrored=Yes");
}

const wchar_t time_text[] = L"2022-04-29  PM 02:05:09";

TEST(BlockCommand, PlainLogonHasTheDescriptionAsWritten)
{
    wchar_t command[command_chars];
    LogonReport report = logon(L"WORKGROUP", L"admin", L"203.0.113.7", L"NTLM");
    int length = format_logon_block_command(command, report, 5, time_text, false);
    const std::wstring expected =
        L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=203.0.113.7 description=\"203.0.113.7 "
        L"WORKGROUP\\admin\n Logon Type:3, Authentication:NTLM,\n Logon Attempts:5, Time:2022-04-29  PM 02:05:09\" "
        L"protocol=ANY mirrored=Yes";
    EXPECT_EQ(std::wstring(command), expected);
    EXPECT_EQ(length, static_cast<int>(expected.size()));

    format_logon_block_command(command, report, 49, time_text, true);
    EXPECT_NE(std::wstring(command).find(L"Time:2022-04-29  PM 02:05:09\n BLOCKED for targeted attack on a "
                                         L"whitelisted user\" protocol=ANY mirrored=Yes"),
              std::wstring::npos);
}

TEST(BlockCommand, AttackerTextsCannotAddArguments)
{
    const wchar_t *hostile[] = {
        L"x\" dstaddr=192.0.2.1 description=\"y",     // ends the quote and names another address
        L"x\\\" dstaddr=192.0.2.1 x=\"",              // backslash before the quote
        L"x\\\\\" dstaddr=192.0.2.1 \"",              // an even run of backslashes
        L"x\\",                                       // a backslash right before our own text
        L"\"\"\" dstaddr=192.0.2.1",                  // doubled quotes inside a quoted argument
        L"a\tb\r\nc\x0001 dstaddr=192.0.2.1",         // control characters
        L"\xFF02 dstaddr=192.0.2.1 \xFF02",           // fullwidth quotes, best-fit to '"' in ANSI
        L"\x201C\x201D\xFF3C\x00A5\x2216",            // typographic quotes, backslash look-alikes
    };
    for (const wchar_t *text : hostile) {
        wchar_t command[command_chars];
        LogonReport as_user = logon(L"DOM", text, L"203.0.113.7", L"NTLM");
        ASSERT_GT(format_logon_block_command(command, as_user, 21, time_text, false), 0);
        expect_filter_for(command, L"203.0.113.7");
        LogonReport everywhere = logon(text, text, L"2001:db8::7%12", text);
        ASSERT_GT(format_logon_block_command(command, everywhere, 21, time_text, true), 0);
        expect_filter_for(command, L"2001:db8::7%12");
    }
}

TEST(BlockCommand, NeutralisedTextStaysReadable)
{
    wchar_t out[64];
    EXPECT_EQ(neutralise_text(L"J\x00FCrgen \"Bob\" O'Neil DOM\\u\tx", out, 64), 27u);
    EXPECT_EQ(std::wstring(out), L"J\x00FCrgen 'Bob' O'Neil DOM/u?x");
    // Look-alikes that an ANSI conversion of the command line would turn into a quote or backslash.
    neutralise_text(L"\xFF02\x201C\x02BA|\xFF3C\x00A5\x2216", out, 64);
    EXPECT_EQ(std::wstring(out), L"'''|///");
    // Cut to the capacity, terminated.
    EXPECT_EQ(neutralise_text(L"abcdef", out, 4), 3u);
    EXPECT_EQ(std::wstring(out), L"abc");
    EXPECT_EQ(neutralise_text(nullptr, out, 4), 0u);
    EXPECT_EQ(out[0], L'\0');
}

TEST(BlockCommand, LongTextsShortenOnlyTheDescription)
{
    std::wstring long_user(2000, L'u'), long_domain(700, L'd'), long_auth(300, L'a');
    const wchar_t *address = L"198.51.100.23";
    for (bool whitelisted : {false, true}) {
        wchar_t command[command_chars];
        LogonReport report = logon(long_domain.c_str(), long_user.c_str(), address, long_auth.c_str());
        int length = format_logon_block_command(command, report, 4294967294u, time_text, whitelisted);
        ASSERT_GT(length, 0);
        std::wstring text(command);
        EXPECT_EQ(text.size(), 511u) << "the room is used, not wasted";
        expect_filter_for(command, address);
        EXPECT_NE(text.find(L"Logon Attempts:4294967294, Time:2022-04-29  PM 02:05:09"), std::wstring::npos);
        EXPECT_EQ(text.find(L"BLOCKED for targeted") != std::wstring::npos, whitelisted);
        // Each text is cut, marked, and gets a fair share.
        EXPECT_NE(text.find(L"ddd...\\uuu"), std::wstring::npos);
        EXPECT_NE(text.find(L"uuu...\n"), std::wstring::npos);
        EXPECT_NE(text.find(L"aaa...,\n"), std::wstring::npos);
    }
    // A short text keeps all of itself while a long one takes the rest.
    wchar_t command[command_chars];
    LogonReport report = logon(L"SHORTDOM", long_user.c_str(), address, L"NTLM");
    ASSERT_EQ(format_logon_block_command(command, report, 7, time_text, false), 511);
    EXPECT_NE(std::wstring(command).find(L" SHORTDOM\\uuu"), std::wstring::npos);
    EXPECT_NE(std::wstring(command).find(L"Authentication:NTLM,"), std::wstring::npos);
}

TEST(BlockCommand, OnlyPlainAddressesBecomeFilters)
{
    EXPECT_TRUE(is_plain_address(L"10.1.2.3"));
    EXPECT_TRUE(is_plain_address(L"fe80::1%12"));
    EXPECT_TRUE(is_plain_address(L"host-name_01.example"));
    EXPECT_TRUE(is_plain_address(std::wstring(63, L'1').c_str()));
    EXPECT_FALSE(is_plain_address(std::wstring(64, L'1').c_str()));
    EXPECT_FALSE(is_plain_address(L""));
    EXPECT_FALSE(is_plain_address(nullptr));
    EXPECT_FALSE(is_plain_address(L"10.1.2.3 dstaddr=192.0.2.1"));
    EXPECT_FALSE(is_plain_address(L"10.1.2.3\""));

    wchar_t command[command_chars];
    LogonReport report = logon(L"D", L"U", L"1.2.3.4 srcaddr=any", L"NTLM");
    EXPECT_EQ(format_logon_block_command(command, report, 3, time_text, false), -1);
    EXPECT_EQ(format_rdp_block_command(command, L"1.2.3.4\" x=\"", 3, time_text), -1);
}

TEST(BlockCommand, RemoteDesktopForm)
{
    wchar_t command[command_chars];
    int length = format_rdp_block_command(command, L"192.0.2.44", 4, time_text);
    const std::wstring expected =
        L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=192.0.2.44 description=\"192.0.2.44\n "
        L"Logon Attempts:4, Time:2022-04-29  PM 02:05:09\" protocol=ANY mirrored=Yes";
    EXPECT_EQ(std::wstring(command), expected);
    EXPECT_EQ(length, static_cast<int>(expected.size()));
    expect_filter_for(command, L"192.0.2.44");
}

} // namespace
