// GetUTCDateTime: the system clock (CLOCK_REALTIME) as seconds since
// 1904-01-01 00:00 UTC with a 1/65536-second fraction; and the conversions
// between that form and POSIX time (cat_dates.h).
//
// Tests hold the clock still with the overrides "GetUTCDateTime.seconds"
// (seconds since 1904) and "GetUTCDateTime.fraction" (0..65535); each one
// replaces only its own part, so a test can fix the seconds and let the
// fraction run, or the reverse.
#include "fm/cat_dates.h"

#include <time.h>

#include <cstdint>

#include "civil.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("GetUTCDateTime", "GetUTCDateTime.seconds", "GetUTCDateTime.fraction");

namespace {

// The 48-bit seconds field of UTCDateTime.
constexpr std::int64_t kMaxSeconds = (std::int64_t{1} << 48) - 1;

}  // namespace

extern "C" OSErr GetUTCDateTime(UTCDateTime* utcDateTime, OptionBits options) {
    if (OSErr e = vantrel::fault::check("GetUTCDateTime")) return e;
    if (utcDateTime == nullptr) return paramErr;
    // Only the default options exist; anything else is a caller's mistake we
    // would rather hear about than silently ignore.
    if (options != kUTCDefaultOptions) return paramErr;

    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return ioErr;
    std::int64_t seconds = static_cast<std::int64_t>(now.tv_sec) + vantrel::civil::kUnixFromMac;
    // 1 ns is far below one fraction unit; truncation keeps the reading monotonic
    // with the seconds (a fraction never rounds up into the next second).
    std::int64_t fraction = (static_cast<std::int64_t>(now.tv_nsec) << 16) / 1'000'000'000;

    if (auto s = vantrel::fault::override_value("GetUTCDateTime.seconds")) seconds = *s;
    if (auto f = vantrel::fault::override_value("GetUTCDateTime.fraction")) fraction = *f;
    // A clock before 1904 or past the 48-bit range cannot be represented.
    if (seconds < 0 || seconds > kMaxSeconds || fraction < 0 || fraction > 0xFFFF) return paramErr;

    utcDateTime->highSeconds = static_cast<UInt16>(seconds >> 32);
    utcDateTime->lowSeconds = static_cast<UInt32>(seconds & 0xFFFFFFFF);
    utcDateTime->fraction = static_cast<UInt16>(fraction);
    return noErr;
}

namespace vantrel::fm {

UTCDateTime utc_from_timespec(std::int64_t sec, std::uint32_t nsec) {
    UTCDateTime d{};
    std::int64_t mac = sec + vantrel::civil::kUnixFromMac;
    if (mac < 0) return d;  // before 1904: the earliest date there is
    if (mac > kMaxSeconds) mac = kMaxSeconds;
    d.highSeconds = UInt16(mac >> 32);
    d.lowSeconds = UInt32(mac & 0xFFFFFFFF);
    d.fraction = UInt16((std::uint64_t(nsec) * 65536u) / 1'000'000'000u);
    return d;
}

void timespec_from_utc(const UTCDateTime& d, std::int64_t* sec, std::uint32_t* nsec) {
    std::int64_t mac = (std::int64_t(d.highSeconds) << 32) | d.lowSeconds;
    *sec = mac - vantrel::civil::kUnixFromMac;
    // Rounded up: fraction f becomes the smallest nanosecond count that
    // converts back to f.
    *nsec = UInt32((std::uint64_t(d.fraction) * 1'000'000'000u + 65535u) / 65536u);
}

bool stamped_before(const struct statx_timestamp& t, bool wholeSeconds,
                    const struct timespec& now) {
    const std::int64_t margin = wholeSeconds ? 2'500'000'000 : 200'000'000;
    const std::int64_t ns = (std::int64_t(now.tv_sec) - t.tv_sec) * 1'000'000'000 +
                            (std::int64_t(now.tv_nsec) - t.tv_nsec);
    return ns >= margin;
}

}  // namespace vantrel::fm
