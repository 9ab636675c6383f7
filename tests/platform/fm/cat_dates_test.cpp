// GetUTCDateTime: the clock in the 1904-based form, and the overrides that
// hold it still for tests.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace {

constexpr std::int64_t k1904To1970 = 2082844800;

std::int64_t seconds_of(const UTCDateTime& d) {
    return (static_cast<std::int64_t>(d.highSeconds) << 32) | d.lowSeconds;
}

TEST(GetUTCDateTime, FollowsTheSystemClockIn1904Seconds) {
    vantrel::fault::Scope scope;
    UTCDateTime d{};
    const std::int64_t before = std::time(nullptr) + k1904To1970;
    ASSERT_EQ(noErr, GetUTCDateTime(&d, kUTCDefaultOptions));
    const std::int64_t after = std::time(nullptr) + k1904To1970;
    EXPECT_GE(seconds_of(d), before);
    EXPECT_LE(seconds_of(d), after);
    // Today's date needs the high word (2^32 s after 1904 was 2040), not before.
    EXPECT_EQ(0, d.highSeconds);
}

TEST(GetUTCDateTime, OverridesHoldEachPartStill) {
    vantrel::fault::Scope scope;
    // Past 2^32 seconds, so the high word must carry.
    vantrel::fault::set_override("GetUTCDateTime.seconds", 0x1'0000'0005LL);
    vantrel::fault::set_override("GetUTCDateTime.fraction", 0x8001);
    UTCDateTime a{}, b{};
    ASSERT_EQ(noErr, GetUTCDateTime(&a, kUTCDefaultOptions));
    ASSERT_EQ(noErr, GetUTCDateTime(&b, kUTCDefaultOptions));
    EXPECT_EQ(1, a.highSeconds);
    EXPECT_EQ(5u, a.lowSeconds);
    EXPECT_EQ(0x8001, a.fraction);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << "a held clock reads the same twice";

    // Only the seconds held: the fraction comes from the real clock.
    vantrel::fault::clear_override("GetUTCDateTime.fraction");
    ASSERT_EQ(noErr, GetUTCDateTime(&a, kUTCDefaultOptions));
    EXPECT_EQ(0x1'0000'0005LL, seconds_of(a));
}

TEST(GetUTCDateTime, RefusesWhatItCannotRepresentOrFill) {
    vantrel::fault::Scope scope;
    UTCDateTime d{1, 2, 3};
    EXPECT_EQ(paramErr, GetUTCDateTime(nullptr, kUTCDefaultOptions));
    EXPECT_EQ(paramErr, GetUTCDateTime(&d, 0x4));
    vantrel::fault::set_override("GetUTCDateTime.seconds", -1);
    EXPECT_EQ(paramErr, GetUTCDateTime(&d, kUTCDefaultOptions));
    vantrel::fault::set_override("GetUTCDateTime.seconds", 1LL << 48);
    EXPECT_EQ(paramErr, GetUTCDateTime(&d, kUTCDefaultOptions));
    // Nothing was written by the refused calls.
    EXPECT_EQ(1, d.highSeconds);
    EXPECT_EQ(2u, d.lowSeconds);
    EXPECT_EQ(3, d.fraction);

    vantrel::fault::clear_override("GetUTCDateTime.seconds");
    vantrel::fault::fail_nth("GetUTCDateTime", 1, ioErr);
    EXPECT_EQ(ioErr, GetUTCDateTime(&d, kUTCDefaultOptions));
    EXPECT_EQ(noErr, GetUTCDateTime(&d, kUTCDefaultOptions));
}

}  // namespace
