// The failure history in both time widths: window, hold, wrap-around of the table and of time.
#include <gtest/gtest.h>
#include <string>
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

} // namespace
