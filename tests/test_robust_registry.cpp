// Garbage in every configuration value: wrong types, zero, odd and huge sizes, unterminated and
// enormous lists. load_config must end with the defaults (written back where a value is missing
// or of the wrong type or size) or with what the data itself holds, and never read past it.
// The keys are private to this program (under SOFTWARE\tosmire-ips-robust), so no lock is needed.
#include <gtest/gtest.h>
#include "config/config.h"
#include "console/output.h"
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::wstring>;

const wchar_t root[] = L"SOFTWARE\\tosmire-ips-robust";
const wchar_t *const threshold_names[6] = {
    L"max_logon_count_normal_net", L"max_logon_count_whitelist_net", L"max_logon_count_normal_net_clear_text",
    L"max_logon_count_whitelist_net_clear_text", L"max_logon_count_normal_RDP", L"max_logon_count_whitelist_RDP"};
DWORD *const thresholds[6] = {&max_logon_count_normal_net, &max_logon_count_whitelist_net,
                              &max_logon_count_normal_net_clear_text, &max_logon_count_whitelist_net_clear_text,
                              &max_logon_count_normal_RDP, &max_logon_count_whitelist_RDP};
const DWORD default_thresholds[6] = {21, 49, 4, 11, 4, 11};

std::string bytes(const void *data, size_t size) { return std::string(static_cast<const char *>(data), size); }
std::string dword(DWORD value) { return bytes(&value, sizeof(value)); }
std::string wide(const std::wstring &text) { return bytes(text.data(), text.size() * sizeof(wchar_t)); }

struct Stored {
    DWORD type;
    std::string data;
    bool operator==(const Stored &) const = default;
};

// Sets a value with exactly these bytes; the bytes after it in memory are not zero, so that a
// value stored without its terminator is stored that way.
void put(const wchar_t *name, DWORD type, const std::string &data)
{
    const std::string padded = data + "\x01\x01\x01\x01";
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key_path, name, type, padded.data(),
                                 static_cast<DWORD>(data.size())));
}

// The value as stored, read with its exact size (with room to spare Wine adds a terminator).
Stored get(const wchar_t *name)
{
    DWORD type = REG_NONE, size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key_path, name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) != 0)
        return {REG_NONE, "missing"};
    std::string data(size, '\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key_path, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size) != 0)
        return {REG_NONE, "unreadable"};
    data.resize(size);
    return {type, data};
}

Texts texts_of(const TextList &list) { return list.items ? Texts(list.items, list.items + list.count) : Texts{}; }

std::string multi_sz(const Texts &texts)
{
    std::wstring image;
    for (const std::wstring &text : texts)
        image += text + L'\0';
    return wide(image + L'\0');
}

// Private configuration keys in this program; the event-source key is never created.
const bool private_keys = format_text(parameters_key_path, 512, L"%ls\\Parameters", root) > 0 &&
                          format_text(event_source_key_path, 512, L"%ls\\EventSource", root) > 0;

class RegistryGarbage : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(private_keys);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root);
        HKEY key = nullptr;
        ASSERT_EQ(0, RegCreateKeyW(HKEY_LOCAL_MACHINE, parameters_key_path, &key));
        RegCloseKey(key);
    }
    void TearDown() override
    {
        release_config_lists();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root);
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, root, 0, KEY_READ, &key)) << "key left behind";
    }
};

TEST_F(RegistryGarbage, ThresholdsOfEveryWrongTypeAndSizeFallBackToTheirDefaultWrittenBack)
{
    const std::string huge(1 << 20, '\x07');
    struct Case {
        const char *what;
        DWORD type;
        std::string data;
        bool accepted; // a REG_DWORD of 4 bytes is taken as stored, 0 and the largest value too
    };
    const Case cases[] = {
        {"REG_DWORD 7", REG_DWORD, dword(7), true},
        {"REG_DWORD 0", REG_DWORD, dword(0), true},
        {"REG_DWORD 0xFFFFFFFF", REG_DWORD, dword(0xFFFFFFFFu), true},
        {"REG_DWORD of 0 bytes", REG_DWORD, "", false},
        {"REG_DWORD of 1 byte", REG_DWORD, "\x07", false},
        {"REG_DWORD of 3 bytes", REG_DWORD, dword(7).substr(0, 3), false},
        {"REG_DWORD of 5 bytes", REG_DWORD, dword(7) + "\x01", false},
        {"REG_DWORD of 1 MiB", REG_DWORD, huge, false},
        {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, dword(7), false},
        {"REG_QWORD", REG_QWORD, dword(7) + dword(0), false},
        {"REG_BINARY of 4 bytes", REG_BINARY, dword(7), false},
        {"REG_NONE of 4 bytes", REG_NONE, dword(7), false},
        {"REG_SZ \"7\"", REG_SZ, wide(std::wstring(L"7") + L'\0'), false},
        {"REG_SZ unterminated", REG_SZ, wide(L"77"), false},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, wide(std::wstring(L"%SystemRoot%") + L'\0'), false},
        {"REG_MULTI_SZ", REG_MULTI_SZ, multi_sz({L"7"}), false},
        {"type 0x12345678", 0x12345678, dword(7), false},
    };
    for (const Case &c : cases) {
        for (int i = 0; i < 6; ++i)
            put(threshold_names[i], c.type, c.data);
        load_config();
        for (int i = 0; i < 6; ++i) {
            const DWORD expected = c.accepted ? *reinterpret_cast<const DWORD *>(c.data.data()) : default_thresholds[i];
            EXPECT_EQ(expected, *thresholds[i]) << c.what << " in " << threshold_names[i];
            EXPECT_EQ((Stored{REG_DWORD, dword(expected)}), get(threshold_names[i]))
                << c.what << " in " << threshold_names[i] << (c.accepted ? ": kept" : ": the default written back");
        }
    }
}

TEST_F(RegistryGarbage, ListsOfAnotherTypeFallBackToTheDefaultListWrittenBack)
{
    const Texts default_IP(std::begin(default_whitelist_IP), std::end(default_whitelist_IP));
    const Texts default_user(std::begin(default_whitelist_user), std::end(default_whitelist_user));
    struct Case {
        const char *what;
        DWORD type;
        std::string data;
    };
    const Case cases[] = {
        {"REG_SZ", REG_SZ, wide(std::wstring(L"10.1.1.1") + L'\0')},
        {"REG_SZ of 0 bytes", REG_SZ, ""},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, wide(std::wstring(L"%SystemRoot%") + L'\0')},
        {"REG_DWORD", REG_DWORD, dword(1)},
        {"REG_QWORD", REG_QWORD, dword(1) + dword(2)},
        {"REG_BINARY holding a list", REG_BINARY, multi_sz({L"10.1.1.1"})},
        {"REG_NONE", REG_NONE, "x"},
        {"REG_BINARY of 1 MiB", REG_BINARY, std::string(1 << 20, 'A')},
    };
    for (const Case &c : cases) {
        put(L"whitelist_IP", c.type, c.data);
        put(L"whitelist_user", c.type, c.data);
        load_config();
        EXPECT_EQ(default_IP, texts_of(whitelist_IP)) << c.what;
        EXPECT_EQ(default_user, texts_of(whitelist_user)) << c.what;
        EXPECT_EQ((Stored{REG_MULTI_SZ, multi_sz(default_IP)}), get(L"whitelist_IP")) << c.what;
        EXPECT_EQ((Stored{REG_MULTI_SZ, multi_sz(default_user)}), get(L"whitelist_user")) << c.what;
    }
}

TEST_F(RegistryGarbage, ListsOfOddHugeOrUnterminatedDataHoldOnlyWhatTheDataHoldsAndAreNotRewritten)
{
    std::wstring many;
    for (int i = 0; i < 100000; ++i)
        many += L"10.0." + std::to_wstring(i / 250) + L"." + std::to_wstring(i % 250) + L'\0';
    struct Case {
        const char *what;
        std::string data;
        Texts expected;
    };
    const Case cases[] = {
        {"0 bytes", "", {}},
        {"1 byte", "a", {}},
        {"3 bytes", bytes("a\0b", 3), {L"a"}},
        {"odd size after a string", bytes("a\0\0\0b", 5), {L"a"}},
        {"one string without terminators", wide(L"abc"), {L"abc"}},
        {"two strings, the last unterminated", wide(std::wstring(L"ab\0cd", 5)), {L"ab", L"cd"}},
        {"only terminators", std::string(4096, '\0'), {}},
        {"an empty string first", wide(std::wstring(L"\0ab\0\0", 5)), {}},
        {"a string of 1 MiB without terminator", wide(std::wstring(1 << 19, L'A')), {std::wstring(1 << 19, L'A')}},
        {"100,000 addresses", wide(many + L'\0'), {}},
    };
    for (const Case &c : cases) {
        for (const wchar_t *name : {L"whitelist_IP", L"whitelist_user"})
            put(name, REG_MULTI_SZ, c.data);
        load_config();
        for (const TextList *list : {&whitelist_IP, &whitelist_user}) {
            EXPECT_NE(nullptr, list->items) << c.what << ": an empty list is set, not unset";
            if (c.data.size() < (1u << 21)) { // the 100,000 addresses are checked below
                EXPECT_EQ(c.expected, texts_of(*list)) << c.what;
            }
        }
        for (const wchar_t *name : {L"whitelist_IP", L"whitelist_user"})
            EXPECT_EQ((Stored{REG_MULTI_SZ, c.data}), get(name)) << c.what << ": never rewritten";
    }
    // The enormous list was read whole, and it is searched as a list.
    EXPECT_EQ(100000u, whitelist_IP.count);
    EXPECT_TRUE(is_listed(whitelist_IP, L"10.0.399.249"));
    EXPECT_FALSE(is_listed(whitelist_IP, L"10.0.400.0"));
}

} // namespace
