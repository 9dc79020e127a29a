// The configuration store against Wine's registry, and the listings' exact text.
#include <gtest/gtest.h>
#include <functional>
#include "config/config.h"
#include "config/text_case.h"
#include "config/listings.h"
#include "console/output.h"
#include "engine/monitor.h"
#include "tests/child_harness.h"

namespace {

using Texts = std::vector<std::wstring>;
using Value = std::pair<DWORD, std::string>; // registry type and raw bytes

const wchar_t root[] = L"SOFTWARE\\tosmire-ips-tests";
const wchar_t *const names[8] = {
    L"max_logon_count_normal_net", L"max_logon_count_whitelist_net", L"max_logon_count_normal_net_clear_text",
    L"max_logon_count_whitelist_net_clear_text", L"max_logon_count_normal_RDP", L"max_logon_count_whitelist_RDP",
    L"whitelist_IP", L"whitelist_user"};
DWORD *const thresholds[6] = {&max_logon_count_normal_net, &max_logon_count_whitelist_net,
                              &max_logon_count_normal_net_clear_text, &max_logon_count_whitelist_net_clear_text,
                              &max_logon_count_normal_RDP, &max_logon_count_whitelist_RDP};
// The default thresholds as reg.exe shows them.
const wchar_t *const default_thresholds[6] = {L"0x15", L"0x31", L"0x4", L"0xb", L"0x4", L"0xb"};
// The defaults as shipped: the IPv6 loopback right after the IPv4 one.
const Texts default_IP = {L"localhost", L"localhost.localdomain", L"ip6-localhost", L"ip6-loopback", L"127.0.0.1",
                          L"::1", L"10.213.47.1", L"10.213.47.2", L"10.213.47.3", L"10.213.47.4", L"10.213.47.5",
                          L"10.213.47.6", L"10.213.47.7", L"10.213.47.8", L"10.213.47.9", L"10.213.47.10",
                          L"192.0.2.10", L"198.51.100.10"};
const Texts default_user(default_whitelist_user, default_whitelist_user + default_whitelist_user_count);

Texts texts_of(const TextList &list) { return list.items ? Texts(list.items, list.items + list.count) : Texts{}; }
std::string bytes(const void *data, size_t size) { return std::string(static_cast<const char *>(data), size); }
std::string dword(DWORD value) { return bytes(&value, sizeof(value)); }

// A REG_MULTI_SZ image: each string with its NUL, then the list's NUL.
std::string multi_sz(const Texts &texts)
{
    std::wstring image;
    for (const std::wstring &text : texts)
        image += text + L'\0';
    return bytes(image.c_str(), (image.size() + 1) * sizeof(wchar_t));
}

// Sets a value under HKLM\path, creating the key. The data is followed in memory by non-NUL
// bytes, so that a string stored without its NUL is stored that way, as on Windows.
void put(const wchar_t *path, const wchar_t *name, DWORD type, const std::string &data)
{
    const std::string stored = data + "\1\1";
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, path, name, type, stored.data(), DWORD(data.size())));
}

// The exact size first: with room to spare, Wine appends a NUL that the value lacks.
Value get(const wchar_t *path, const wchar_t *name)
{
    DWORD type = REG_NONE, size = 0;
    RegGetValueW(HKEY_LOCAL_MACHINE, path, name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size);
    std::string data(size, '\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size) != 0)
        type = REG_NONE; // the type is left set for a value not found
    return {type, data};
}

// The expected list text, with the index aligned by hand rather than by the printf family.
std::wstring listed(const Texts &texts)
{
    std::wstring text = L"\n\n";
    for (size_t i = 0; i < texts.size(); ++i)
        text += (i < 10 ? L"[   " : L"[  ") + std::to_wstring(i) + L"] " + texts[i] + L"\n";
    return text + L"\n";
}

// The two configuration keys under the test key, in this program and in its children.
const bool test_keys = format_text(parameters_key_path, 512, L"%ls\\Parameters", root) > 0 &&
                       format_text(event_source_key_path, 512, L"%ls\\EventSource", root) > 0;

class ConfigStore : public testing::Test {
    void SetUp() override { ASSERT_TRUE(test_keys); RegDeleteTreeW(HKEY_LOCAL_MACHINE, root); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root); release_config_lists(); }
};

TEST_F(ConfigStore, NoKeyThenEmptyKeyCompletedByOneStartAndListedByTheNext)
{
    // Without a key: the defaults over what was set before, and nothing created.
    whitelist_user = {1, default_whitelist_IP};
    max_logon_count_normal_RDP = 1;
    load_config();
    EXPECT_EQ(default_IP, texts_of(whitelist_IP));
    EXPECT_EQ(default_user, texts_of(whitelist_user));
    EXPECT_EQ(4u, max_logon_count_normal_RDP);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, root, 0, KEY_READ, &key));

    ASSERT_EQ(0, RegCreateKeyW(HKEY_LOCAL_MACHINE, event_source_key_path, &key));
    RegCloseKey(key);
    load_config();
    const std::wstring query = run_redirected(L"reg.exe query HKLM\\" + std::wstring(event_source_key_path)).output;
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(std::wstring::npos,
                  query.find(L"\n    " + std::wstring(names[i]) + L"    REG_DWORD    " + default_thresholds[i] + L"\n"))
            << query;
    EXPECT_NE(std::wstring::npos, query.find(L"\n    whitelist_IP    REG_MULTI_SZ    localhost\\0localhost.")) << query;
    EXPECT_NE(std::wstring::npos, query.find(L"\n    whitelist_user    REG_MULTI_SZ    ips.ops\\0ips.")) << query;
    EXPECT_NE(std::wstring::npos, query.find(L"\n    forwarded_events    REG_DWORD    0x0\n")) << query;
    EXPECT_NE(std::wstring::npos, query.find(L"\n    ipsec_store    REG_SZ    \n")) << query;
    EXPECT_EQ(10u, count_of(query, L"\n    ")) << "only the values of the configuration";

    // The next start reads the lists from the registry; then the columns hold wide and empty values.
    EXPECT_EQ(L"\n# IP addresses on the whitelist:" + listed(default_IP) +
                  L"# max logon count for network logon          normal:21, whitelist users:49\n"
                  L"# max logon count for network clear text     normal: 4, whitelist users:11\n"
                  L"# max logon count for Remote Desktop         normal: 4, whitelist users:11\n"
                  L"\n# User names on the whitelist:" + listed(default_user) +
                  L"\n# IP addresses on the whitelist:EMPTY\n\n"
                  L"# max logon count for network logon          normal: 0, whitelist users: 5\n"
                  L"# max logon count for network clear text     normal:100, whitelist users: 9\n"
                  L"# max logon count for Remote Desktop         normal:10, whitelist users:4000000000\n"
                  L"\n# User names on the whitelist:\n\n[   0] ips.ops\n\n",
              run_scenario("listings").output);
}

TEST_F(ConfigStore, ParametersKeyWinsAndOnlyMissingOrMistypedValuesAreReplaced)
{
    put(event_source_key_path, names[2], REG_DWORD, dword(7));
    // Text of four bytes, a short DWORD, 0, a QWORD, binary of four bytes, a large DWORD.
    const Value stored[6] = {{REG_SZ, bytes(L"7", 4)}, {REG_DWORD, dword(7).substr(0, 2)}, {REG_DWORD, dword(0)},
                             {REG_QWORD, dword(7) + dword(0)}, {REG_BINARY, dword(7)}, {REG_DWORD, dword(1000)}};
    for (int i = 0; i < 6; ++i)
        put(parameters_key_path, names[i], stored[i].first, stored[i].second);
    load_config();
    const DWORD expected[6] = {21, 49, 0, 11, 4, 1000};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i], *thresholds[i]) << i;
        EXPECT_EQ(Value(REG_DWORD, dword(expected[i])), get(parameters_key_path, names[i])) << i;
    }
    EXPECT_EQ(Value(REG_NONE, ""), get(event_source_key_path, names[0])); // nothing written there

    put(parameters_key_path, L"whitelist_IP", REG_SZ, bytes(L"10.1.1.1", 18));
    load_config();
    EXPECT_EQ(default_IP, texts_of(whitelist_IP));
    EXPECT_EQ(Value(REG_MULTI_SZ, multi_sz(default_IP)), get(parameters_key_path, L"whitelist_IP"));

    // The IPsec store: a domain's name only, or nothing; a refused text is kept for the operator.
    const struct {
        std::wstring text;
        bool domain;
        const wchar_t *name, *refused;
    } stores[] = {{L"", false, L"", L""}, {L"domain", true, L"", L""}, {L"DOMAIN:corp-1.example", true, L"corp-1.example", L""},
                  {L"domain:" + std::wstring(255, L'a'), true, nullptr, L""}, {L"domain:" + std::wstring(256, L'a'), false, L"", nullptr},
                  {L"domain:", false, L"", L"domain:"}, {L"local", false, L"", L"local"},
                  {L"domain:corp example", false, L"", L"domain:corp example"}, {L"domain:x\"y\tz", false, L"", L"domain:x\"y?z"},
                  {L" domain", false, L"", L" domain"}, {L"domain:b\u00fccher.example", false, L"", L"domain:b\u00fccher.example"}};
    for (const auto &store : stores) {
        const std::string data = bytes(store.text.c_str(), (store.text.size() + 1) * sizeof(wchar_t));
        put(parameters_key_path, L"ipsec_store", REG_SZ, data);
        load_config();
        const std::wstring name = store.name != nullptr ? store.name : store.text.substr(7);
        EXPECT_TRUE(store.domain == ipsec_store.domain && name == ipsec_store.name) << testing::PrintToString(store.text);
        if (store.refused != nullptr) {
            EXPECT_EQ(std::wstring(store.refused), ipsec_store.refused);
        }
        EXPECT_EQ(store.domain || store.text.empty(), ipsec_store.refused[0] == L'\0');
        EXPECT_EQ(Value(REG_SZ, data), get(parameters_key_path, L"ipsec_store")) << "never rewritten";
    }
    put(parameters_key_path, L"ipsec_store", REG_DWORD, dword(1));
    load_config();
    EXPECT_EQ(Value(REG_SZ, bytes(L"", 2)), get(parameters_key_path, L"ipsec_store"));

    // Duplicates in order, empty, without terminators, of odd size, of no size: read within the
    // data, never rewritten.
    const std::pair<std::string, Texts> lists[] = {
        {multi_sz({L"b", L"a", L"b"}), {L"b", L"a", L"b"}}, {multi_sz({}), {}}, {bytes("a\0\0\0b\0", 6), {L"a", L"b"}},
        {bytes("a\0\0\0b\0\0\0c", 9), {L"a", L"b"}}, {bytes("a\0b\0c", 5), {L"ab"}}, {"", {}}};
    for (const auto &[data, entries] : lists) {
        put(parameters_key_path, L"whitelist_user", REG_MULTI_SZ, data);
        load_config();
        EXPECT_NE(nullptr, whitelist_user.items) << data.size(); // an empty list is set, not unset
        EXPECT_EQ(entries, texts_of(whitelist_user)) << data.size();
        EXPECT_EQ(Value(REG_MULTI_SZ, data), get(parameters_key_path, L"whitelist_user")) << data.size();
    }
}

// Each step changes the key, then reloads: what could be read is put in force and told as a
// change; a key that cannot be read keeps the configuration in force. The watch sees an edit.
TEST_F(ConfigStore, ReloadPutsWhatWasReadInForceOrKeepsTheConfigurationInForce)
{
    put(parameters_key_path, L"whitelist_IP", REG_MULTI_SZ, multi_sz({L"a"}));
    load_config();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const wchar_t *call = nullptr;
    ASSERT_EQ(0u, watch_config(changed, true, &call));
    const DWORD nine = 9;
    const struct {
        const char *what;
        std::function<void()> edit; // null: nothing edited
        DWORD error;
        bool changed;
        Texts ip;
        DWORD net;
    } steps[] = {
        {"a list edited", [] { put(parameters_key_path, L"whitelist_IP", REG_MULTI_SZ, multi_sz({L"a", L"b"})); },
         0, true, {L"a", L"b"}, 21},
        {"nothing edited", nullptr, 0, false, {L"a", L"b"}, 21},
        {"a threshold edited", [&] { put(parameters_key_path, names[0], REG_DWORD, dword(nine)); }, 0, true,
         {L"a", L"b"}, 9},
        {"the store edited", [] { put(parameters_key_path, L"ipsec_store", REG_SZ, bytes(L"domain", 14)); }, 0, true,
         {L"a", L"b"}, 9},
        {"no key", [] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root); }, ERROR_FILE_NOT_FOUND, false, {L"a", L"b"}, 9},
    };
    for (const auto &step : steps) {
        if (step.edit)
            step.edit();
        if (step.edit && step.error == 0) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(changed, 10000)) << step.what << ": the watch saw no edit";
        }
        // Armed again after an edit, for the next; no key, nothing to watch.
        EXPECT_EQ(step.error, watch_config(changed, step.edit != nullptr, &call)) << step.what;
        const ConfigReload reload = reload_config();
        EXPECT_EQ(step.error, reload.error) << step.what;
        EXPECT_EQ(step.changed, reload.changed) << step.what;
        EXPECT_EQ(step.ip, texts_of(whitelist_IP)) << step.what;
        EXPECT_EQ(step.net, max_logon_count_normal_net) << step.what;
    }
    EXPECT_TRUE(ipsec_store.domain);
    EXPECT_STREQ(L"RegOpenKeyExW", reload_config().call);
    unwatch_config();
    CloseHandle(changed);
}

TEST_F(ConfigStore, GetTextExpandsAndTerminates)
{
    put(parameters_key_path, L"file", REG_EXPAND_SZ, bytes(L"%SystemRoot%\\a.dll", 38));
    put(parameters_key_path, L"bare", REG_SZ, bytes(L"abc", 6)); // stored without its NUL
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

// Letter case is ignored in every script, one character against one: no expansion, no
// normalisation. (No final sigma: Wine folds it otherwise than Windows.)
TEST(TextCase, ListsIgnoreLetterCaseInEveryScriptButExpandNothing)
{
    const struct {
        const wchar_t *listed, *text;
        bool equal;
    } cases[] = {
        {L"J\u00fcrgen", L"J\u00dcRGEN", true},                     // Jürgen, JÜRGEN
        {L"\u0141ukasz.\u017b\u00f3\u0142w", L"\u0142UKASZ.\u017c\u00d3\u0141W", true}, // Łukasz.Żółw
        {L"\u00c6r\u00f8-\u00e9t\u00e9", L"\u00e6R\u00d8-\u00c9T\u00c9", true}, // Ærø-été
        {L"\u0391\u03b8\u03b7\u03bd\u03b1", L"\u03b1\u0398\u0397\u039d\u0391", true}, // Αθηνα, αΘΗΝΑ
        {L"\u0418\u0432\u0430\u043d", L"\u0438\u0412\u0410\u041d", true},             // Иван, иВАН
        {L"\u0441\u0435\u0440\u0432\u0435\u0440.local", L"\u0421\u0415\u0420\u0412\u0415\u0420.LOCAL", true},
        {L"FE80::1%12", L"fe80::1%12", true},
        {L"stra\u00df", L"STRASS", false},                           // ß does not expand
        {L"J\u00fcrgen", L"Ju\u0308rgen", false},                    // precomposed and decomposed ü
        {L"J\u00fcrgen", L"Jurgen", false},
        {L"\u0418\u0432\u0430\u043d", L"\u0418\u0432\u0430\u043d\u043e\u0432", false}, // whole text, not a prefix
        {L"\u0391\u03b8\u03b7\u03bd\u03b1", L"A\u03b8\u03b7\u03bd\u03b1", false},     // Greek Alpha is not Latin A
        {L"", L"", true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.equal, equal_ignoring_case(c.listed, c.text)) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(c.equal, equal_ignoring_case(c.text, c.listed));
        const wchar_t *items[2] = {L"other", c.listed};
        EXPECT_EQ(c.equal, is_listed(TextList{2, items}, c.text));
    }
    EXPECT_FALSE(equal_ignoring_case(nullptr, L""));
    EXPECT_FALSE(is_listed(TextList{0, nullptr}, L"x"));
}

// Data placed at the very end of a readable page: one character too far faults.
TEST(SplitMultiSz, StopsAtTheEndOfTheData)
{
    auto *page = static_cast<char *>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_TRUE(page != nullptr && VirtualAlloc(page, 4096, MEM_COMMIT, PAGE_READWRITE) != nullptr);
    const std::pair<std::string, Texts> cases[] = {
        {bytes(L"ab\0cd", 10), {L"ab"}}, // the unterminated last string is not taken
        {bytes(L"ab\0c", 7), {L"ab"}},   // nor the odd byte
        {bytes(L"abc", 6), {}}, {"", {}}};
    for (const auto &[data, entries] : cases) {
        auto *at = reinterpret_cast<wchar_t *>(page + 4096 - data.size());
        memcpy(at, data.data(), data.size());
        TextList list = {99, nullptr};
        EXPECT_EQ(!entries.empty(), split_multi_sz(at, DWORD(data.size()), list));
        EXPECT_EQ(entries, texts_of(list)) << data.size();
        EXPECT_NE(nullptr, list.items); // an empty list is set, not unset
        free(list.items);
    }
    VirtualFree(page, 0, MEM_RELEASE);
}

} // namespace

// "listings": both listings as read from the test key, then with hand-set values.
int run_child_scenario(const std::string &)
{
    load_config();
    if (whitelist_IP.items == default_whitelist_IP || whitelist_user.items == default_whitelist_user)
        return 1; // not read from the registry
    show_whitelisted_addresses();
    show_whitelisted_user_names();
    whitelist_IP = {0, default_whitelist_user};
    whitelist_user = {1, default_whitelist_user};
    const DWORD values[6] = {0, 5, 100, 9, 10, 4000000000u};
    for (int i = 0; i < 6; ++i)
        *thresholds[i] = values[i];
    show_whitelisted_addresses();
    show_whitelisted_user_names();
    return 0;
}
