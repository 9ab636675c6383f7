// Dates between UTCDateTime (seconds since 1904 and a 1/65536-second
// fraction) and POSIX time (cat_dates.cpp). Hidden (never installed).
#pragma once

#include <cstdint>

#include "vantrel/Files.h"

namespace vantrel::fm {

// Clamped: a time before 1904 gives the earliest date there is, one past
// the 48-bit seconds field the latest.
UTCDateTime utc_from_timespec(std::int64_t sec, std::uint32_t nsec);
// Inverse; rounds the fraction up so that reading back gives the same fraction.
void timespec_from_utc(const UTCDateTime& d, std::int64_t* sec, std::uint32_t* nsec);

}  // namespace vantrel::fm
