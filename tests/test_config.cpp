// The configuration store against Wine's registry, and the listings' exact text.
#include <gtest/gtest.h>
#include <algorithm>
#include <windows.h>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>
#include "config/config.h"
#include "config/listings.h"
#include "console/output.h"
#include "engine/monitor.h"

namespace {

const wchar_t test_root[] = L"SOFTWARE\\tosmire-ips-tests";
const wchar_t *const threshold_names[6] = {
    L"max_logon_count_normal_net", L"max_logon_count_whitelist_net", L"max_logon_count_normal_net_clear_text",
    L"max_logon_count_whitelist_net_clear_text", L"max_logon_count_normal_RDP", L"max_logon_count_whitelist_RDP"};
DWORD *const threshold_values[6] = {&max_logon_count_normal_net, &max_logon_count_whitelist_net,
                                    &max_logon_count_normal_net_clear_text, &max_logon_count_whitelist_net_clear_text,
                                    &max_logon_count_normal_RDP, &max_logon_count_whitelist_RDP};

using Texts = std::vector<std::wstring>;

Texts texts_of(const TextList &list)
{
    return list.items == nullptr ? Texts{} : Texts(list.items, list.items + list.count);
}

// A REG_MULTI_SZ image: each string with its NUL, then the list's NUL.
std::wstring multi_sz(const Texts &texts)
{
    std::wstring image;
    for (const std::wstring &text : texts)
        image.append(text).push_back(0);
    image.push_back(0);
    return image;
}

// Runs a command line with standard output and error in a temporary file; the text written,
// decoded from UTF-16 or narrow output, with CR LF as LF.
std::wstring run_captured(std::wstring command)
{
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"cfg", 0, path);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    PROCESS_INFORMATION process = {};
    std::string bytes;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        DWORD got = 0;
        bytes.resize(GetFileSize(file, nullptr));
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
        bytes.resize(got);
    }
    CloseHandle(file);
    std::wstring text;
    if (bytes.size() >= 2 && (bytes[1] == 0 || (bytes[0] == '\xff' && bytes[1] == '\xfe')))
        text.assign(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
    else
        for (char c : bytes)
            text.push_back(static_cast<unsigned char>(c));
    if (!text.empty() && text[0] == 0xFEFF)
        text.erase(0, 1);
    for (size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at))
        text.erase(at, 1);
    return text;
}

// Both listings as a fresh copy of this program prints them in the given scenario.
std::wstring listing_of(const std::wstring &scenario)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return run_captured(L"\"" + std::wstring(self) + L"\" --listing " + scenario);
}

// The expected list text, its index aligned by hand rather than by the printf family.
std::wstring listed(const wchar_t *const *items, size_t count)
{
    std::wstring text = L"\n\n";
    for (size_t i = 0; i < count; ++i) {
        const std::wstring index = std::to_wstring(i);
        text += L"[" + std::wstring(4 - index.size(), L' ') + index + L"] " + items[i] + L"\n";
    }
    return text + L"\n";
}

const std::wstring default_listing =
    L"\n# IP addresses on the whitelist:" + listed(default_whitelist_IP, 17) +
    L"# max logon count for network logon          normal:21, whitelist users:49\n"
    L"# max logon count for network clear text     normal: 4, whitelist users:11\n"
    L"# max logon count for Remote Desktop         normal: 4, whitelist users:11\n"
    L"\n# User names on the whitelist:" + listed(default_whitelist_user, 6);

// Each test owns SOFTWARE\tosmire-ips-tests\<test>, with the two configuration keys under it.
class ConfigStore : public testing::Test {
protected:
    std::wstring root;
    std::vector<HKEY> opened;

    void SetUp() override
    {
        const char *name = testing::UnitTest::GetInstance()->current_test_info()->name();
        root = std::wstring(test_root) + L"\\" + std::wstring(name, name + strlen(name));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
        format_text(parameters_key_path, 512, L"%ls\\Parameters", root.c_str());
        format_text(event_source_key_path, 512, L"%ls\\EventSource", root.c_str());
    }
    void TearDown() override
    {
        for (HKEY key : opened)
            RegCloseKey(key);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, test_root); // only once no other test's key is left
        release_config_lists();
    }
    HKEY create(const wchar_t *path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        opened.push_back(key);
        return key;
    }
    static void put(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size)
    {
        ASSERT_EQ(0, RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size));
    }
    static void put_list(HKEY key, const wchar_t *name, const std::wstring &image)
    {
        put(key, name, REG_MULTI_SZ, image.data(), static_cast<DWORD>(image.size() * sizeof(wchar_t)));
    }
    // The value's type and raw bytes; type REG_NONE with no bytes when it is missing.
    static std::pair<DWORD, std::string> get(HKEY key, const wchar_t *name)
    {
        DWORD type = REG_NONE, size = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != 0)
            return {REG_NONE, {}};
        std::string data(size, '\0');
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size);
        return {type, data};
    }
    static std::string bytes_of(const std::wstring &image)
    {
        return std::string(reinterpret_cast<const char *>(image.data()), image.size() * sizeof(wchar_t));
    }
    static std::string bytes_of(DWORD value) { return std::string(reinterpret_cast<const char *>(&value), 4); }
    // Value names with their types, in the order the registry enumerates them.
    static std::vector<std::pair<std::wstring, DWORD>> values_of(HKEY key)
    {
        std::vector<std::pair<std::wstring, DWORD>> values;
        wchar_t name[256];
        DWORD length = 256, type = 0;
        for (DWORD i = 0; RegEnumValueW(key, i, name, &length, nullptr, &type, nullptr, nullptr) == 0; ++i, length = 256)
            values.emplace_back(name, type);
        return values;
    }
};

TEST(ConfigDefaults, WhitelistNoRealHostAndNoGuessedUser)
{
    EXPECT_STREQ(L"localhost", default_whitelist_IP[0]);
    EXPECT_STREQ(L"127.0.0.1", default_whitelist_IP[4]);
    unsigned a, b, c, d;
    std::wstring subnet;
    for (int i = 5; i < 15; ++i) {
        ASSERT_EQ(4, swscanf(default_whitelist_IP[i], L"%u.%u.%u.%u", &a, &b, &c, &d)) << i;
        EXPECT_TRUE(a == 10 || (a == 172 && b >= 16 && b < 32) || (a == 192 && b == 168)) << default_whitelist_IP[i];
        const std::wstring prefix = std::to_wstring(a) + L"." + std::to_wstring(b) + L"." + std::to_wstring(c);
        EXPECT_EQ(i == 5 ? prefix : subnet, prefix);
        subnet = prefix;
    }
    for (int i = 15; i < 17; ++i) {
        ASSERT_EQ(4, swscanf(default_whitelist_IP[i], L"%u.%u.%u.%u", &a, &b, &c, &d)) << i;
        const unsigned net = a << 16 | b << 8 | c;
        EXPECT_TRUE(net == 0xC00002 || net == 0xC63364 || net == 0xCB0071) << default_whitelist_IP[i];
    }
    for (const wchar_t *guess : {L"administrator", L"admin", L"guest", L"user", L"test", L"root", L"sa",
                                 L"support", L"backup", L"scanner", L"demo", L"user1", L"test1", L"ftp"})
        EXPECT_FALSE(is_listed({6, default_whitelist_user}, guess)) << guess;
}

TEST_F(ConfigStore, NoKeyKeepsDefaultsAndCreatesNothing)
{
    const wchar_t *other[1] = {L"x"};
    whitelist_user = {1, other};
    max_logon_count_normal_RDP = 1;
    load_config();
    EXPECT_EQ(Texts(default_whitelist_IP, default_whitelist_IP + 17), texts_of(whitelist_IP));
    EXPECT_EQ(Texts(default_whitelist_user, default_whitelist_user + 6), texts_of(whitelist_user));
    const DWORD defaults[6] = {21, 49, 4, 11, 4, 11};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(defaults[i], *threshold_values[i]) << threshold_names[i];
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ, &key));
}

TEST_F(ConfigStore, EmptyKeyIsCompletedByOneStartAndReadByTheNext)
{
    HKEY key = create(event_source_key_path);
    load_config();
    const std::wstring ip_image = multi_sz(Texts(default_whitelist_IP, default_whitelist_IP + 17));
    const std::wstring user_image = multi_sz(Texts(default_whitelist_user, default_whitelist_user + 6));
    std::vector<std::pair<std::wstring, DWORD>> expected;
    for (const wchar_t *name : threshold_names)
        expected.emplace_back(name, REG_DWORD);
    expected.emplace_back(L"whitelist_IP", REG_MULTI_SZ);
    expected.emplace_back(L"whitelist_user", REG_MULTI_SZ);
    auto written = values_of(key); // Wine enumerates by name, Windows in order of creation
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(expected, written);
    const DWORD defaults[6] = {21, 49, 4, 11, 4, 11};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(std::make_pair(DWORD(REG_DWORD), bytes_of(defaults[i])), get(key, threshold_names[i]));
    EXPECT_EQ(std::make_pair(DWORD(REG_MULTI_SZ), bytes_of(ip_image)), get(key, L"whitelist_IP"));
    EXPECT_EQ(std::make_pair(DWORD(REG_MULTI_SZ), bytes_of(user_image)), get(key, L"whitelist_user"));

    // What the operator sees with reg.exe, and what the next start reads and lists.
    const std::wstring query = run_captured(L"reg.exe query \"HKLM\\" + root + L"\\EventSource\"");
    for (const wchar_t *name : threshold_names)
        EXPECT_NE(std::wstring::npos, query.find(name)) << query;
    for (const wchar_t *text : {L"whitelist_IP", L"whitelist_user", L"198.51.100.10", L"ips.watch", L"0x31"})
        EXPECT_NE(std::wstring::npos, query.find(text)) << query;
    if (getenv("TOSMIRE_SHOW_REG_QUERY") != nullptr)
        wprintf(L"%ls", query.c_str());
    EXPECT_EQ(default_listing, listing_of(L"registry " + root));
    load_config();
    EXPECT_NE(default_whitelist_IP, whitelist_IP.items); // read, not defaulted
    EXPECT_EQ(Texts(default_whitelist_IP, default_whitelist_IP + 17), texts_of(whitelist_IP));
}

TEST_F(ConfigStore, ParametersKeyWinsOverTheEventSourceKey)
{
    HKEY source = create(event_source_key_path);
    HKEY parameters = create(parameters_key_path);
    const DWORD seven = 7, three = 3;
    put(source, L"max_logon_count_normal_net", REG_DWORD, &seven, 4);
    put(parameters, L"max_logon_count_normal_net", REG_DWORD, &three, 4);
    load_config();
    EXPECT_EQ(3u, max_logon_count_normal_net);
    EXPECT_EQ(1u, values_of(source).size());
    EXPECT_EQ(8u, values_of(parameters).size());
}

TEST_F(ConfigStore, ThresholdsAreTakenOnlyAsFourByteDwords)
{
    HKEY key = create(parameters_key_path);
    const DWORD zero = 0, large = 1000;
    const unsigned long long wide = 5;
    put(key, threshold_names[0], REG_SZ, L"7", 4); // four bytes, but text
    put(key, threshold_names[1], REG_DWORD, &large, 2);
    put(key, threshold_names[2], REG_DWORD, &zero, 4);
    put(key, threshold_names[3], REG_QWORD, &wide, 8);
    put(key, threshold_names[4], REG_BINARY, &large, 4);
    put(key, threshold_names[5], REG_DWORD, &large, 4);
    load_config();
    const DWORD expected[6] = {21, 49, 0, 11, 4, 1000};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i], *threshold_values[i]) << threshold_names[i];
        EXPECT_EQ(std::make_pair(DWORD(REG_DWORD), bytes_of(expected[i])), get(key, threshold_names[i]));
    }
}

TEST_F(ConfigStore, ListsAreKeptAsStoredAndOnlyMistypedOnesReplaced)
{
    HKEY key = create(parameters_key_path);
    put_list(key, L"whitelist_IP", multi_sz({L"10.1.1.1", L"10.1.1.1", L"gate"}));
    put_list(key, L"whitelist_user", multi_sz({}));
    load_config();
    EXPECT_EQ(Texts({L"10.1.1.1", L"10.1.1.1", L"gate"}), texts_of(whitelist_IP));
    EXPECT_EQ(0u, whitelist_user.count);
    EXPECT_NE(nullptr, whitelist_user.items);
    EXPECT_EQ(std::make_pair(DWORD(REG_MULTI_SZ), bytes_of(multi_sz({}))), get(key, L"whitelist_user"));

    put(key, L"whitelist_IP", REG_SZ, L"10.1.1.1", 18);
    load_config();
    EXPECT_EQ(Texts(default_whitelist_IP, default_whitelist_IP + 17), texts_of(whitelist_IP));
    EXPECT_EQ(REG_MULTI_SZ, get(key, L"whitelist_IP").first);
}

TEST_F(ConfigStore, MalformedListValuesAreReadWithinTheirData)
{
    HKEY key = create(parameters_key_path);
    struct Case {
        const char *data;
        DWORD size;
        Texts entries;
    } cases[] = {
        {"a\0\0\0b\0", 6, {L"a", L"b"}},        // no terminators at all
        {"a\0\0\0b\0\0\0c", 9, {L"a", L"b"}},   // odd size: the half character is dropped
        {"a\0b\0c", 5, {L"ab"}},                // odd size, string unterminated
        {"", 0, {}},                            // zero size: an empty list
    };
    for (const Case &c : cases) {
        put(key, L"whitelist_user", REG_MULTI_SZ, c.data, c.size);
        load_config();
        EXPECT_EQ(c.entries, texts_of(whitelist_user)) << c.size;
        EXPECT_EQ(std::string(c.data, c.size), get(key, L"whitelist_user").second) << "rewritten: " << c.size;
    }
}

TEST_F(ConfigStore, GetTextExpandsAndTerminates)
{
    HKEY key = create(parameters_key_path);
    put(key, L"file", REG_EXPAND_SZ, L"%SystemRoot%\\a.dll", 38);
    put(key, L"bare", REG_SZ, L"abc", 6); // stored without its NUL
    wchar_t expanded[MAX_PATH], *text = nullptr;
    ExpandEnvironmentStringsW(L"%SystemRoot%\\a.dll", expanded, MAX_PATH);
    ASSERT_EQ(0, reg::get_text(HKEY_LOCAL_MACHINE, parameters_key_path, L"file", &text));
    EXPECT_STREQ(expanded, text);
    free(text);
    ASSERT_EQ(0, reg::get_text(HKEY_LOCAL_MACHINE, parameters_key_path, L"bare", &text));
    EXPECT_STREQ(L"abc", text);
    free(text);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg::get_text(HKEY_LOCAL_MACHINE, parameters_key_path, L"none", &text));
    EXPECT_EQ(nullptr, text);
}

// The data at the very end of a readable page: one character too far faults.
TEST(SplitMultiSz, StopsAtTheEndOfTheData)
{
    auto *page = static_cast<char *>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, page);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page + 4096, 4096, PAGE_NOACCESS, &old));
    struct Case {
        std::wstring image;
        DWORD size;
        Texts entries;
    } cases[] = {
        {std::wstring(L"ab\0cd", 5), 10, {L"ab"}}, // the unterminated last string is not taken
        {std::wstring(L"ab\0\0", 4), 8, {L"ab"}},
        {std::wstring(L"ab\0c", 4), 7, {L"ab"}}, // the odd byte is no character
        {std::wstring(L"abc", 3), 6, {}},
        {std::wstring(), 0, {}},
    };
    for (const Case &c : cases) {
        auto *data = reinterpret_cast<wchar_t *>(page + 4096 - c.size);
        memcpy(data, c.image.data(), c.size);
        TextList list = {99, nullptr};
        EXPECT_EQ(!c.entries.empty(), split_multi_sz(data, c.size, list));
        EXPECT_EQ(c.entries, texts_of(list)) << c.size;
        EXPECT_NE(nullptr, list.items); // an empty list is set, not unset
        free(list.items);
    }
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(Listings, AlignmentAndEmptyLists)
{
    EXPECT_EQ(default_listing, listing_of(L"defaults"));
    EXPECT_EQ(L"\n# IP addresses on the whitelist:EMPTY\n\n"
              L"# max logon count for network logon          normal: 0, whitelist users: 5\n"
              L"# max logon count for network clear text     normal:100, whitelist users: 9\n"
              L"# max logon count for Remote Desktop         normal:10, whitelist users:4000000000\n"
              L"\n# User names on the whitelist:\n\n[   0] ips.ops\n\n",
              listing_of(L"custom"));
}

} // namespace

// "--listing <scenario> [key]" prints both listings for the test that started this copy.
int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--listing") == 0) {
        if (strcmp(argv[2], "registry") == 0 && argc >= 4) {
            format_text(parameters_key_path, 512, L"%hs\\Parameters", argv[3]);
            format_text(event_source_key_path, 512, L"%hs\\EventSource", argv[3]);
            load_config();
        } else if (strcmp(argv[2], "custom") == 0) {
            static const wchar_t *user[1] = {L"ips.ops"};
            whitelist_IP = {0, user};
            whitelist_user = {1, user};
            const DWORD values[6] = {0, 5, 100, 9, 10, 4000000000u};
            for (int i = 0; i < 6; ++i)
                *threshold_values[i] = values[i];
        }
        show_whitelisted_addresses();
        show_whitelisted_user_names();
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
