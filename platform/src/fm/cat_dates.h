// Dates between UTCDateTime (seconds since 1904 and a 1/65536-second
// fraction) and POSIX time (cat_dates.cpp). Hidden (never installed).
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstdint>

#include "vantrel/Files.h"

namespace vantrel::fm {

// Clamped: a time before 1904 gives the earliest date there is, one past
// the 48-bit seconds field the latest.
UTCDateTime utc_from_timespec(std::int64_t sec, std::uint32_t nsec);
// Inverse; rounds the fraction up so that reading back gives the same fraction.
void timespec_from_utc(const UTCDateTime& d, std::int64_t* sec, std::uint32_t* nsec);

// Whether the time `t` the kernel stamped on a file lies far enough before
// `now` (CLOCK_REALTIME, read before a look at the file) that any change
// made after that look is stamped with another time. The kernel stamps a
// clock tick at a time, and some file systems keep whole seconds (ext4
// with small inodes) or two (FAT): `wholeSeconds` says the times show no
// more. A clock set back by more than the margin defeats it.
bool stamped_before(const struct statx_timestamp& t, bool wholeSeconds, const struct timespec& now);

}  // namespace vantrel::fm
