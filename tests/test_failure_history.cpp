// The failure history in both time widths: window, hold, wrap-around of the table and of time.
#include <gtest/gtest.h>
#include <algorithm>
#include <cwctype>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "engine/failure_history.h"
#include "config/text_case.h"

namespace {

template <typename Time> class FailureHistoryTest : public ::testing::Test {
protected:
    // Large: kept off the test thread's stack.
    static inline FailureHistory<Time> h;
    void SetUp() override { init_history(h); }
    uint32_t fail(const std::wstring &address, Time now) { return record_failure(h, address.c_str(), now); }
};
using TimeWidths = ::testing::Types<uint32_t, uint64_t>;
TYPED_TEST_SUITE(FailureHistoryTest, TimeWidths);

TYPED_TEST(FailureHistoryTest, CountsInsideTheWindowHoldsAfterABlockAndForgetsInTheTimesWidth)
{
    const TypeParam t = 1'000'000;
    EXPECT_EQ(this->fail(L"10.0.0.1", t), 1u);
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 1000), 2u);
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 2980), 3u); // 1980 after the previous one: still counting
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 4961), 1u); // 1981 after: a new count
    EXPECT_EQ(this->fail(L"FE80::A1", t), 1u);
    EXPECT_EQ(this->fail(L"fe80::a1", t), 2u);        // letter case does not matter
    EXPECT_EQ(this->fail(L"fe80::a1x", t), 1u);       // the whole text, not a prefix
    EXPECT_TRUE(equal_ignoring_case(L"h\u00c4st", L"H\u00e4ST"));
    EXPECT_FALSE(equal_ignoring_case(L"h\u00c4st", L"h\u00c5st"));
    mark_blocked(this->h, L"10.0.0.1", t + 4962);
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 4977), blocked); // block + 15
    EXPECT_EQ(this->h.last_time[0], t + 4962);             // the held failure changed nothing
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 4978), 1u);      // block + 16
    mark_blocked(this->h, L"10.0.0.9", t);                 // no slot: nothing happens
    EXPECT_EQ(this->h.count, 3u);
    this->h.attempts[1] = blocked - 1;
    EXPECT_EQ(this->fail(L"fe80::a1", t), blocked - 1); // a count never becomes the blocked marker
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 4979), 2u);
    EXPECT_EQ(this->fail(L"10.0.0.1", t), 1u); // an earlier time counts as elapsed, also for a block
    mark_blocked(this->h, L"10.0.0.1", t + 10);
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 9), 1u);
    EXPECT_FALSE(clear_entry(this->h, L"10.0.0.3"));
    EXPECT_EQ(this->h.attempts[0], 1u);
    EXPECT_TRUE(clear_entry(this->h, L"FE80::A1"));
    EXPECT_EQ(this->fail(L"fe80::a1", 5), 1u);    // near the cleared time: counted from 0
    EXPECT_EQ(this->h.count, 3u); // a cleared slot stays in use
    reset_history(this->h);
    EXPECT_EQ(this->fail(L"10.0.0.1", t + 9), 1u);
    EXPECT_FALSE(clear_entry(this->h, L"fe80::a1"));
    // 0xFFFFFFF0 then 5: 21 seconds apart in 32 bits, but the 64-bit clock went backwards.
    const bool narrow = sizeof(TypeParam) == 4;
    this->fail(L"10.0.0.5", 0xFFFFFFF0u);
    EXPECT_EQ(this->fail(L"10.0.0.5", 5), narrow ? 2u : 1u);
    mark_blocked(this->h, L"10.0.0.5", 0xFFFFFFFAu);
    EXPECT_EQ(this->fail(L"10.0.0.5", 3), narrow ? blocked : 1u); // 9 seconds after the block in 32 bits
}

TYPED_TEST(FailureHistoryTest, TheThousandTwentyFourthAddressForgetsTheTable)
{
    auto numbered = [](unsigned i) { return L"10." + std::to_wstring(i / 256) + L".0." + std::to_wstring(i % 256); };
    for (unsigned i = 0; i < 1023; ++i)
        ASSERT_EQ(this->fail(numbered(i), 10), 1u);
    EXPECT_EQ(this->fail(numbered(0), 11), 2u);
    EXPECT_EQ(this->fail(L"192.168.1.1", 12), 1u);
    EXPECT_EQ(this->h.count, 0u);
    mark_blocked(this->h, L"192.168.1.1", 12); // stored in slot 1023, which is no longer searched
    EXPECT_EQ(this->h.attempts[1023], 1u);
    EXPECT_EQ(this->fail(numbered(0), 13), 1u);
    EXPECT_EQ(this->fail(L"192.168.1.1", 13), 1u);
    EXPECT_EQ(this->h.count, 2u);
}

TYPED_TEST(FailureHistoryTest, AddressesTooLongForASlotAreNeverMerged)
{
    const std::wstring base(63, L'a'), long1 = base + L"1", long2 = base + L"2";
    EXPECT_EQ(this->fail(base, 1), 1u);
    EXPECT_EQ(this->fail(base, 2), 2u); // 63 characters fit
    EXPECT_EQ(this->fail(long1, 3), 1u);
    EXPECT_EQ(this->fail(long2, 3), 1u);
    EXPECT_EQ(this->fail(long1, 3), 1u);
    mark_blocked(this->h, long1.c_str(), 3);
    EXPECT_EQ(this->fail(long1, 4), 1u);
    EXPECT_FALSE(clear_entry(this->h, long1.c_str()));
    EXPECT_EQ(this->fail(base, 5), 3u); // the stored prefix was never touched
    EXPECT_EQ(this->h.count, 1u);
}

TEST(FailureHistory, BothTablesAreReadyBeforeMain)
{
    EXPECT_TRUE(rdp_failures.window == 1980 && rdp_failures.hold == 15);
    EXPECT_TRUE(logon_failures.window == 1980 && logon_failures.hold == 15);
}

// The ordinal case-insensitive comparison, the table's case rule.
bool ordinal_equal(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The table as plainly as it can be written: linear search over whole texts.
template <typename Time> struct ModelHistory {
    std::vector<std::wstring> address = std::vector<std::wstring>(history_slots);
    std::vector<Time> last_time = std::vector<Time>(history_slots);
    std::vector<uint32_t> attempts = std::vector<uint32_t>(history_slots);
    uint32_t count = 0;

    int find(const std::wstring &a) const
    {
        for (uint32_t i = 0; i < count; ++i)
            if (ordinal_equal(address[i], a))
                return static_cast<int>(i);
        return -1;
    }
    uint32_t record(const std::wstring &a, Time now)
    {
        if (a.size() >= history_address_chars)
            return 1;
        int found = find(a);
        uint32_t slot = found >= 0 ? static_cast<uint32_t>(found) : count;
        if (found < 0) {
            count = count + 1 == history_slots ? 0 : count + 1;
            address[slot] = a;
            last_time[slot] = now;
            attempts[slot] = 0;
        }
        Time elapsed = static_cast<Time>(now - last_time[slot]);
        if (attempts[slot] == blocked) {
            if (elapsed <= history_hold)
                return blocked;
            attempts[slot] = 0;
        }
        uint32_t next = elapsed > history_window ? 1 : std::min(attempts[slot] + 1, blocked - 1);
        last_time[slot] = now;
        attempts[slot] = next;
        return next;
    }
    void block(const std::wstring &a, Time time)
    {
        if (int slot = find(a); slot >= 0 && a.size() < history_address_chars) {
            last_time[slot] = time;
            attempts[slot] = blocked;
        }
    }
    bool clear(const std::wstring &a)
    {
        int slot = a.size() < history_address_chars ? find(a) : -1;
        if (slot >= 0)
            last_time[slot] = attempts[slot] = 0;
        return slot >= 0;
    }
};

TYPED_TEST(FailureHistoryTest, AgreesWithAPlainModelOverThousandsOfAddresses)
{
    std::mt19937 random(20261208);
    auto pick = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };
    // More addresses than slots, so the table wraps again and again; hexadecimal ones and
    // texts with characters that fold onto ASCII letters appear in varying letter case.
    std::vector<std::wstring> pool;
    for (unsigned i = 0; i < 1300; ++i)
        pool.push_back(L"10." + std::to_wstring(i / 256) + L".7." + std::to_wstring(i % 256));
    for (unsigned i = 0; i < 300; ++i) {
        wchar_t text[40];
        swprintf(text, 40, L"fe80::%x:a%xb", 0x9a00 + i, i);
        pool.push_back(text);
    }
    for (const wchar_t *odd : {L"host-i", L"HOST-\u0131", L"mass", L"MA\u017fS", L"k1", L"\u212a1", L"h\u00e4st", L"H\u00c4ST"})
        pool.push_back(odd);
    pool.push_back(std::wstring(64, L'x'));
    auto vary_case = [&](std::wstring a) {
        for (wchar_t &c : a)
            if (pick(2) == 0)
                c = static_cast<wchar_t>(c < 0x80 ? (iswlower(c) ? towupper(c) : towlower(c)) : c);
        return a;
    };
    ModelHistory<TypeParam> model;
    TypeParam now = sizeof(TypeParam) == 4 ? 0xFFFF0000u : 13'000'000'000ull;
    unsigned wraps = 0, holds = 0, found_cleared = 0;
    for (unsigned step = 0; step < 40000; ++step) {
        // Mostly a few seconds apart; sometimes beyond the window, sometimes backwards.
        unsigned jump = pick(100);
        now = static_cast<TypeParam>(jump < 3 ? now + 2000 : jump < 5 ? now - pick(50) : now + pick(4));
        // Recent addresses come back often, so counts grow and blocks are held.
        std::wstring a = vary_case(pool[pick(3) == 0 ? pick(20) : pick(static_cast<unsigned>(pool.size()))]);
        unsigned op = pick(1000);
        if (op < 900) {
            uint32_t before = model.count;
            uint32_t expected = model.record(a, now);
            ASSERT_EQ(this->fail(a, now), expected) << "step " << step << " " << std::string(a.begin(), a.end());
            wraps += before != 0 && model.count == 0;
            holds += expected == blocked;
        } else if (op < 960) {
            model.block(a, now);
            mark_blocked(this->h, a.c_str(), now);
        } else if (op < 999 || pick(20) != 0) {
            bool expected = model.clear(a);
            ASSERT_EQ(clear_entry(this->h, a.c_str()), expected) << "step " << step;
            found_cleared += expected;
        } else {
            model.count = 0;
            reset_history(this->h);
        }
        ASSERT_EQ(this->h.count, model.count) << "step " << step;
        if (step % 500 == 0)
            for (uint32_t i = 0; i < model.count; ++i) {
                ASSERT_EQ(std::wstring(this->h.address[i]), model.address[i]) << "slot " << i;
                ASSERT_EQ(this->h.attempts[i], model.attempts[i]) << "slot " << i;
                ASSERT_EQ(this->h.last_time[i], model.last_time[i]) << "slot " << i;
            }
    }
    // The run went through what it is meant to exercise.
    EXPECT_GE(wraps, 5u);
    EXPECT_GE(holds, 20u);
    EXPECT_GE(found_cleared, 20u);
}

// Every UTF-16 code unit, ordered by the ordinal case-insensitive comparison: code units that
// compare equal lie side by side, and each such group must give one key, wherever it stands
// in a text. Otherwise a lookup could miss a slot that the comparison would have found.
TEST(FailureHistory, EveryCodeUnitThatComparesEqualHasTheSameKey)
{
    std::vector<wchar_t> units;
    for (unsigned c = 1; c <= 0xFFFF; ++c)
        units.push_back(static_cast<wchar_t>(c));
    auto compare = [](wchar_t a, wchar_t b) { return CompareStringOrdinal(&a, 1, &b, 1, TRUE); };
    std::stable_sort(units.begin(), units.end(), [&](wchar_t a, wchar_t b) { return compare(a, b) == CSTR_LESS_THAN; });
    auto key = [](wchar_t c, const wchar_t *around) {
        std::wstring text = around;
        text.insert(text.begin() + 2, c);
        return address_key(text.c_str());
    };
    unsigned joined = 0;
    for (size_t i = 1; i < units.size(); ++i) {
        wchar_t a = units[i - 1], b = units[i];
        int order = compare(a, b);
        ASSERT_NE(order, CSTR_GREATER_THAN) << std::hex << unsigned(a) << " " << unsigned(b);
        if (order != CSTR_EQUAL)
            continue;
        ++joined;
        ASSERT_EQ(key(a, L"10.0"), key(b, L"10.0")) << std::hex << unsigned(a) << " " << unsigned(b);
        ASSERT_EQ(key(a, L"fe\u00e4"), key(b, L"fe\u00e4")) << std::hex << unsigned(a) << " " << unsigned(b);
    }
    EXPECT_GE(joined, 26u + 500u); // the ASCII letters and hundreds of others: the sort was real
}

} // namespace
