// The configuration store against Wine's registry, and the listings' exact text.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>
#include "config/config.h"
#include "config/listings.h"
#include "console/output.h"
#include "engine/monitor.h"

namespace {

using Texts = std::vector<std::wstring>;
using Value = std::pair<DWORD, std::string>; // registry type and raw bytes

const wchar_t *const names[8] = {
    L"max_logon_count_normal_net", L"max_logon_count_whitelist_net", L"max_logon_count_normal_net_clear_text",
    L"max_logon_count_whitelist_net_clear_text", L"max_logon_count_normal_RDP", L"max_logon_count_whitelist_RDP",
    L"whitelist_IP", L"whitelist_user"};
DWORD *const thresholds[6] = {&max_logon_count_normal_net, &max_logon_count_whitelist_net,
                              &max_logon_count_normal_net_clear_text, &max_logon_count_whitelist_net_clear_text,
                              &max_logon_count_normal_RDP, &max_logon_count_whitelist_RDP};
const DWORD default_thresholds[6] = {21, 49, 4, 11, 4, 11};
const Texts default_IP(default_whitelist_IP, default_whitelist_IP + 17);
const Texts default_user(default_whitelist_user, default_whitelist_user + 6);

Texts texts_of(const TextList &list) { return list.items ? Texts(list.items, list.items + list.count) : Texts{}; }

std::string bytes(const void *data, size_t size) { return std::string(static_cast<const char *>(data), size); }
std::string dword(DWORD value) { return bytes(&value, sizeof(value)); }

// A REG_MULTI_SZ image: each string with its NUL, then the list's NUL.
std::string multi_sz(const Texts &texts)
{
    std::wstring image;
    for (const std::wstring &text : texts)
        image.append(text).push_back(0);
    image.push_back(0);
    return bytes(image.data(), image.size() * sizeof(wchar_t));
}

void put(HKEY key, const wchar_t *name, DWORD type, const std::string &data)
{
    // Not followed by a NUL: a string one NUL short would be stored with it, as on Windows.
    const std::string stored = data + "\1\1";
    ASSERT_EQ(0, RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(stored.data()), DWORD(data.size())));
}

Value get(HKEY key, const wchar_t *name)
{
    // The exact size first: with room to spare, Wine appends a NUL that the value lacks.
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != 0)
        return {REG_NONE, {}};
    std::string data(size, '\0');
    RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size);
    return {type, data};
}

// Standard output and error of a command line, UTF-16 or narrow, decoded, with CR LF as LF.
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
    std::string out(65536, '\0');
    DWORD got = 0;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        ReadFile(file, out.data(), DWORD(out.size()), &got, nullptr);
    }
    CloseHandle(file);
    std::wstring text;
    if (got >= 2 && out[1] == 0)
        text.assign(reinterpret_cast<const wchar_t *>(out.data()), got / 2);
    else
        text.assign(out.begin(), out.begin() + got);
    for (size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at))
        text.erase(at, 1);
    return text;
}

// Both listings as a fresh copy of this program prints them (see main).
std::wstring listing_of(const std::wstring &scenario)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return run_captured(L"\"" + std::wstring(self) + L"\" --listing " + scenario);
}

// The expected list text, with the index aligned by hand rather than by the printf family.
std::wstring listed(const Texts &texts)
{
    std::wstring text = L"\n\n";
    for (size_t i = 0; i < texts.size(); ++i)
        text += L"[" + std::wstring(4 - std::to_wstring(i).size(), L' ') + std::to_wstring(i) + L"] " + texts[i] + L"\n";
    return text + L"\n";
}

// Each test owns SOFTWARE\tosmire-ips-tests\<test>, with the two configuration keys under it.
class ConfigStore : public testing::Test {
protected:
    std::wstring root = L"SOFTWARE\\tosmire-ips-tests\\";
    std::vector<HKEY> opened;

    void SetUp() override
    {
        const char *name = testing::UnitTest::GetInstance()->current_test_info()->name();
        root.append(name, name + strlen(name));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
        format_text(parameters_key_path, 512, L"%ls\\Parameters", root.c_str());
        format_text(event_source_key_path, 512, L"%ls\\EventSource", root.c_str());
    }
    void TearDown() override
    {
        for (HKEY key : opened)
            RegCloseKey(key);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\tosmire-ips-tests"); // once no test's key is left
        release_config_lists();
    }
    HKEY create(const wchar_t *path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        opened.push_back(key);
        return key;
    }
};

TEST_F(ConfigStore, NoKeyKeepsDefaultsAndCreatesNothing)
{
    const wchar_t *other[1] = {L"x"};
    whitelist_user = {1, other};
    max_logon_count_normal_RDP = 1;
    load_config();
    EXPECT_EQ(default_IP, texts_of(whitelist_IP));
    EXPECT_EQ(default_user, texts_of(whitelist_user));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(default_thresholds[i], *thresholds[i]) << i;
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ, &key));
}

TEST_F(ConfigStore, EmptyKeyIsCompletedByOneStartAndListedByTheNext)
{
    HKEY key = create(event_source_key_path);
    load_config();
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(8u, count);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(Value(REG_DWORD, dword(default_thresholds[i])), get(key, names[i])) << i;
    EXPECT_EQ(Value(REG_MULTI_SZ, multi_sz(default_IP)), get(key, L"whitelist_IP"));
    EXPECT_EQ(Value(REG_MULTI_SZ, multi_sz(default_user)), get(key, L"whitelist_user"));

    const std::wstring query = run_captured(L"reg.exe query \"HKLM\\" + root + L"\\EventSource\"");
    for (const wchar_t *text : names)
        EXPECT_NE(std::wstring::npos, query.find(text)) << query;
    EXPECT_NE(std::wstring::npos, query.find(L"localhost\\0localhost.localdomain\\0ip6-localhost")) << query;
    if (getenv("TOSMIRE_SHOW_REG_QUERY") != nullptr)
        wprintf(L"%ls", query.c_str());
    // The next start reads the lists from the registry rather than from the tables.
    EXPECT_EQ(L"\n# IP addresses on the whitelist:" + listed(default_IP) +
                  L"# max logon count for network logon          normal:21, whitelist users:49\n"
                  L"# max logon count for network clear text     normal: 4, whitelist users:11\n"
                  L"# max logon count for Remote Desktop         normal: 4, whitelist users:11\n"
                  L"\n# User names on the whitelist:" + listed(default_user),
              listing_of(L"registry " + root));
}

TEST_F(ConfigStore, ParametersKeyWinsAndThresholdsAreTakenOnlyAsFourByteDwords)
{
    HKEY source = create(event_source_key_path);
    HKEY key = create(parameters_key_path);
    put(source, names[2], REG_DWORD, dword(7));
    put(key, names[0], REG_SZ, bytes(L"7", 4)); // four bytes, but text
    put(key, names[1], REG_DWORD, dword(7).substr(0, 2));
    put(key, names[2], REG_DWORD, dword(0));
    put(key, names[3], REG_QWORD, dword(7) + dword(0));
    put(key, names[4], REG_BINARY, dword(7));
    put(key, names[5], REG_DWORD, dword(1000));
    load_config();
    const DWORD expected[6] = {21, 49, 0, 11, 4, 1000};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i], *thresholds[i]) << i;
        EXPECT_EQ(Value(REG_DWORD, dword(expected[i])), get(key, names[i])) << i;
    }
    EXPECT_EQ(Value(REG_NONE, ""), get(source, names[0])); // nothing written there
}

TEST_F(ConfigStore, ListsAreKeptAsStoredAndOnlyMistypedOnesReplaced)
{
    HKEY key = create(parameters_key_path);
    put(key, L"whitelist_IP", REG_MULTI_SZ, multi_sz({L"10.1.1.1", L"10.1.1.1", L"gate"}));
    put(key, L"whitelist_user", REG_MULTI_SZ, multi_sz({}));
    load_config();
    EXPECT_EQ(Texts({L"10.1.1.1", L"10.1.1.1", L"gate"}), texts_of(whitelist_IP));
    EXPECT_EQ(0u, whitelist_user.count);
    EXPECT_NE(nullptr, whitelist_user.items);
    EXPECT_EQ(Value(REG_MULTI_SZ, multi_sz({})), get(key, L"whitelist_user"));

    put(key, L"whitelist_IP", REG_SZ, bytes(L"10.1.1.1", 18));
    load_config();
    EXPECT_EQ(default_IP, texts_of(whitelist_IP));
    EXPECT_EQ(Value(REG_MULTI_SZ, multi_sz(default_IP)), get(key, L"whitelist_IP"));

    // Stored without terminators, of odd size, of no size: read within the data, never rewritten.
    const std::pair<std::string, Texts> malformed[] = {
        {bytes("a\0\0\0b\0", 6), {L"a", L"b"}}, {bytes("a\0\0\0b\0\0\0c", 9), {L"a", L"b"}},
        {bytes("a\0b\0c", 5), {L"ab"}}, {"", {}}};
    for (const auto &[data, entries] : malformed) {
        put(key, L"whitelist_user", REG_MULTI_SZ, data);
        load_config();
        EXPECT_EQ(entries, texts_of(whitelist_user)) << data.size();
        EXPECT_EQ(Value(REG_MULTI_SZ, data), get(key, L"whitelist_user")) << data.size();
    }
}

TEST_F(ConfigStore, GetTextExpandsAndTerminates)
{
    HKEY key = create(parameters_key_path);
    put(key, L"file", REG_EXPAND_SZ, bytes(L"%SystemRoot%\\a.dll", 38));
    put(key, L"bare", REG_SZ, bytes(L"abc", 6)); // stored without its NUL
    wchar_t expanded[MAX_PATH], *text = nullptr;
    ExpandEnvironmentStringsW(L"%SystemRoot%\\a.dll", expanded, MAX_PATH);
    for (const wchar_t *value : {L"file", L"bare"}) {
        ASSERT_EQ(0, reg::get_text(HKEY_LOCAL_MACHINE, parameters_key_path, value, &text));
        EXPECT_STREQ(value[0] == L'f' ? expanded : L"abc", text);
        free(text);
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg::get_text(HKEY_LOCAL_MACHINE, parameters_key_path, L"none", &text));
    EXPECT_EQ(nullptr, text);
}

// Data placed at the very end of a readable page: one character too far faults.
TEST(SplitMultiSz, StopsAtTheEndOfTheData)
{
    auto *page = static_cast<char *>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ASSERT_TRUE(page != nullptr && VirtualProtect(page + 4096, 4096, PAGE_NOACCESS, &old));
    const std::pair<std::string, Texts> cases[] = {
        {bytes(L"ab\0cd", 10), {L"ab"}}, // the unterminated last string is not taken
        {bytes(L"ab\0c", 7), {L"ab"}},   // nor the odd byte
        {bytes(L"abc", 6), {}}, {"", {}}};
    for (const auto &[data, entries] : cases) {
        memcpy(page + 4096 - data.size(), data.data(), data.size());
        TextList list = {99, nullptr};
        EXPECT_EQ(!entries.empty(), split_multi_sz(reinterpret_cast<wchar_t *>(page + 4096 - data.size()),
                                                   DWORD(data.size()), list));
        EXPECT_EQ(entries, texts_of(list)) << data.size();
        EXPECT_NE(nullptr, list.items); // an empty list is set, not unset
        free(list.items);
    }
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(Listings, ThresholdColumnsAndEmptyLists)
{
    EXPECT_EQ(L"\n# IP addresses on the whitelist:EMPTY\n\n"
              L"# max logon count for network logon          normal: 0, whitelist users: 5\n"
              L"# max logon count for network clear text     normal:100, whitelist users: 9\n"
              L"# max logon count for Remote Desktop         normal:10, whitelist users:4000000000\n"
              L"\n# User names on the whitelist:\n\n[   0] ips.ops\n\n",
              listing_of(L"custom"));
}

} // namespace

// "--listing registry <key> | custom" prints both listings for the test that started this copy.
int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--listing") == 0) {
        if (argc >= 4) {
            format_text(parameters_key_path, 512, L"%hs\\Parameters", argv[3]);
            format_text(event_source_key_path, 512, L"%hs\\EventSource", argv[3]);
            load_config();
            if (whitelist_IP.items == default_whitelist_IP || whitelist_user.items == default_whitelist_user)
                return 1; // not read from the registry
        } else {
            static const wchar_t *user[1] = {L"ips.ops"};
            whitelist_IP = {0, user};
            whitelist_user = {1, user};
            const DWORD values[6] = {0, 5, 100, 9, 10, 4000000000u};
            for (int i = 0; i < 6; ++i)
                *thresholds[i] = values[i];
        }
        show_whitelisted_addresses();
        show_whitelisted_user_names();
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
