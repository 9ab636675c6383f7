// Civil dates and the epochs of the Mac's dates, from C++20's calendar
// (std::chrono): the one place a date is turned into days and back, and the
// one place the 1904 epoch is counted. Internal and header-only: each
// library and program that converts dates includes it (from the folder of
// the internal helpers, see fullio.h); nothing here is exported.
//
//   const auto days = vantrel::civil::days_from_civil(2024, 2, 29);   // since 1970
//   const std::int64_t mac = unix + vantrel::civil::kUnixFromMac;      // seconds since 1904
#pragma once

#include <chrono>
#include <cstdint>

namespace vantrel::civil {

inline constexpr std::chrono::sys_days kMacEpoch{std::chrono::year{1904} / 1 / 1};
inline constexpr std::chrono::sys_days kUnixEpoch{std::chrono::year{1970} / 1 / 1};
// The metadata record's dates count from 2000, as AFP's do.
inline constexpr std::chrono::sys_days kAfpEpoch{std::chrono::year{2000} / 1 / 1};

// Seconds from 1904-01-01 to 1970-01-01 (66 years, 17 of them leap).
inline constexpr std::int64_t kUnixFromMac =
    std::chrono::duration_cast<std::chrono::seconds>(kUnixEpoch - kMacEpoch).count();
// Seconds from 1904-01-01 to 2000-01-01.
inline constexpr std::int64_t kAfpFromMac =
    std::chrono::duration_cast<std::chrono::seconds>(kAfpEpoch - kMacEpoch).count();
static_assert(kUnixFromMac == 2082844800 && kAfpFromMac == 3029529600);

// True for a date of the proleptic Gregorian calendar (February 29th only
// in leap years).
constexpr bool valid(std::int64_t y, unsigned m, unsigned d) {
    if (y < -32767 || y > 32767) return false;
    return std::chrono::year_month_day{std::chrono::year{int(y)}, std::chrono::month{m},
                                       std::chrono::day{d}}
        .ok();
}

// Days from 1970-01-01 to the date y-m-d (valid() years: -32767 to 32767).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    const std::chrono::sys_days day{std::chrono::year{int(y)} / std::chrono::month{m} /
                                    std::chrono::day{d}};
    return day.time_since_epoch().count();
}

// The date `days` after 1970-01-01.
struct Date {
    std::int64_t year;
    unsigned month, day;
};
constexpr Date civil_from_days(std::int64_t days) {
    const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
    return {int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day())};
}

}  // namespace vantrel::civil
