// The message table of tosmire-ips.exe, formatted as Event Viewer formats it.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

namespace {

std::wstring built_program_path()
{
    // Tests live in bin/sim; the release program in bin/.
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    p.resize(p.find_last_of(L"\\/"));
    p.resize(p.find_last_of(L"\\/") + 1);
    return p + L"tosmire-ips.exe";
}

class Catalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        module = LoadLibraryExW(built_program_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite()
    {
        if (module != nullptr)
            FreeLibrary(module);
        module = nullptr;
    }

    // Formats an identifier with the insertion strings, as Event Viewer does.
    static std::wstring format(DWORD id, const std::initializer_list<const wchar_t *> &strings = {})
    {
        DWORD_PTR args[8] = {};
        size_t i = 0;
        for (const wchar_t *s : strings)
            args[i++] = reinterpret_cast<DWORD_PTR>(s);
        wchar_t *text = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     (i ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS),
                                 module, id, 1033, reinterpret_cast<LPWSTR>(&text), 0,
                                 reinterpret_cast<va_list *>(args));
        if (n == 0)
            return L"<FormatMessageW failed " + std::to_wstring(GetLastError()) + L">";
        std::wstring result(text, n);
        LocalFree(text);
        return result;
    }

    static HMODULE module;
};
HMODULE Catalogue::module = nullptr;

const wchar_t *const logon[6] = {L"DOM", L"alice", L"203.0.113.7", L"5", L"3", L"NTLM"};

TEST_F(Catalogue, ProgramLoadsAsDataFile)
{
    ASSERT_NE(module, nullptr) << "cannot load " << std::string(built_program_path().begin(), built_program_path().end());
}

TEST_F(Catalogue, CategoriesOneToEleven)
{
    const wchar_t *names[] = {L"Running", L"Stopped", L"Paused", L"Installed", L"Removed", L"Logon",
                              L"Whitelist", L"Attack", L"Blocked", L"Attention", L"Error"};
    for (DWORD c = 1; c <= 11; ++c)
        EXPECT_EQ(format(c), std::wstring(names[c - 1]) + L"\r\n") << "category " << c;
    // Nothing beyond the eleven categories.
    EXPECT_EQ(format(12).rfind(L"<FormatMessageW failed", 0), 0u);
}

TEST_F(Catalogue, StateEvents)
{
    const std::wstring head = L"tosmire's Intrusion Prevention System.\r\n\r\ntosmire.IPS [";
    EXPECT_EQ(format(0x4000AF01), head + L"RUNNING]\r\n");
    EXPECT_EQ(format(0x4000AF02), head + L"STOPPED]\r\n");
    EXPECT_EQ(format(0x4000AF03), head + L"PAUSED]\r\n");
    EXPECT_EQ(format(0x4000AF04), head + L"SERVICE INSTALLED]\r\n");
    EXPECT_EQ(format(0x4000AF05), head + L"SERVICE REMOVED]\r\n");
    EXPECT_EQ(format(0x4000AF1A, {L"18", L"6", L"21/4/4", L"49/11/11"}),
              head + L"CONFIGURATION RELOADED]\r\n\r\nAddresses on the whitelist:18, user names on the whitelist:6\r\n"
                     L"\r\nThresholds normal net/clear text/RDP:21/4/4, whitelisted users:49/11/11\r\n");
}

TEST_F(Catalogue, LogonEventsWithTheirSixStrings)
{
    const std::wstring body = L"User:DOM\\alice, from IP:203.0.113.7\r\n\r\nLogon attempts:5, Logon Type:3, "
                              L"Authentication:NTLM";
    auto f = [](DWORD id) {
        return format(id, {logon[0], logon[1], logon[2], logon[3], logon[4], logon[5]});
    };
    EXPECT_EQ(f(0x4000AF06), L"Successful Logon.\r\n\r\n" + body + L"\r\n");
    EXPECT_EQ(f(0x8000AF07), L"Logon Failure.\r\n\r\nThe user name is on the white list:\r\n\r\n" + body + L"\r\n");
    EXPECT_EQ(f(0x8000AF08),
              L"!! Potential attack detected.\r\n\r\nThe user name is not on the white list:\r\n\r\n" + body + L"\r\n");
    EXPECT_EQ(f(0xC000AF09), L"!! Host address blocked via IPSec blacklist filter:Brek.\r\n\r\n" + body + L"\r\n");
}

TEST_F(Catalogue, SpoofedAddressPutsATabBeforeTheListing)
{
    std::wstring text = format(0xC000AF0A, {logon[0], logon[1], L"0.0.0.0", L"1", L"10", L"NTLM",
                                            L"netstat -n | findstr 3389", L"TCP 10.0.0.1:3389"});
    EXPECT_EQ(text, L"Attacks from a spoofed IP address cannot be blocked!\r\n\r\n"
                    L"User:DOM\\alice, from IP:0.0.0.0\r\n\r\nLogon attempts:1, Logon Type:10, Authentication:NTLM"
                    L"\r\n\r\nnetstat -n | findstr 3389\tList of connected hosts:\r\n\r\nTCP 10.0.0.1:3389\r\n");
}

TEST_F(Catalogue, ErrorIsOneLine)
{
    EXPECT_EQ(format(0xC000AF0B, {L"Cannot open the security log", L"5"}),
              L"Cannot open the security log: 5\r\n\r\n");
}

TEST_F(Catalogue, RemoteDesktopEvents)
{
    auto f = [](DWORD id) { return format(id, {L"198.51.100.9", L"4"}); };
    const std::wstring tail = L"IP:198.51.100.9\r\n\r\nLogon attempts:4\r\n";
    EXPECT_EQ(f(0x4000AF16), L"Successful Logon.\r\n\r\n" + tail);
    EXPECT_EQ(f(0x8000AF17), L"Logon Failure.\r\n\r\nThe user name is on the white list:\r\n\r\n" + tail);
    EXPECT_EQ(f(0x8000AF18), L"!! Potential attack detected.\r\n\r\nThe user name is not on the white list:\r\n\r\n" + tail);
    EXPECT_EQ(f(0xC000AF19), L"!! Host address blocked via IPSec blacklist filter:Brek.\r\n\r\n" + tail);
}

TEST_F(Catalogue, SeverityBitsAreTheEventViewerLevels)
{
    // An identifier with the wrong severity bits is a different message: it must not resolve.
    EXPECT_EQ(format(0x0000AF01).rfind(L"<FormatMessageW failed", 0), 0u);
    EXPECT_EQ(format(0x8000AF09).rfind(L"<FormatMessageW failed", 0), 0u);
    EXPECT_EQ(format(0xC000AF07).rfind(L"<FormatMessageW failed", 0), 0u);
}

TEST_F(Catalogue, TableIsResourceOneInEnglish)
{
    HRSRC res = FindResourceExW(module, RT_MESSAGETABLE, MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(res, nullptr);
    // Every entry is UTF-16 (flag 1 in MESSAGE_RESOURCE_ENTRY).
    const auto *data = static_cast<const MESSAGE_RESOURCE_DATA *>(LockResource(LoadResource(module, res)));
    ASSERT_NE(data, nullptr);
    const BYTE *base = reinterpret_cast<const BYTE *>(data);
    DWORD entries = 0;
    for (DWORD b = 0; b < data->NumberOfBlocks; ++b) {
        const MESSAGE_RESOURCE_BLOCK &block = data->Blocks[b];
        const BYTE *entry = base + block.OffsetToEntries;
        for (DWORD id = block.LowId; id <= block.HighId; ++id) {
            const auto *e = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY *>(entry);
            EXPECT_EQ(e->Flags, 1) << "entry " << std::hex << id;
            entry += e->Length;
            ++entries;
        }
    }
    EXPECT_EQ(entries, 11u + 16u);
}

TEST_F(Catalogue, VersionInformationNamesTheProduct)
{
    std::wstring path = built_program_path();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::wstring block(size, L'\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    wchar_t *value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void **>(&value), &length));
    EXPECT_STREQ(value, L"tosmire's Intrusion Prevention System");
}

TEST_F(Catalogue, ManifestRequiresAdministrator)
{
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(res, nullptr);
    const char *xml = static_cast<const char *>(LockResource(LoadResource(module, res)));
    std::string manifest(xml, SizeofResource(module, res));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("{1f676c76-80e1-4239-95bb-83d0f6d0da78}"), std::string::npos); // Windows 8.1
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos); // Windows 10/11
}

} // namespace
