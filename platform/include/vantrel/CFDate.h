// CFDate: a point in time as seconds since 2001-01-01 00:00:00 UTC.
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"

typedef const struct __CFDate* CFDateRef;

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
#define kCFAbsoluteTimeIntervalSince1970 978307200.0

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
VANTREL_EXPORT CFTypeID CFDateGetTypeID(void);
VANTREL_EXPORT CFDateRef CFDateCreate(CFAllocatorRef alloc, CFAbsoluteTime at);
VANTREL_EXPORT CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
