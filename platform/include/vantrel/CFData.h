// CFData: an immutable byte buffer.
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"

typedef const struct __CFData* CFDataRef;

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT CFTypeID CFDataGetTypeID(void);
VANTREL_EXPORT CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
VANTREL_EXPORT CFIndex CFDataGetLength(CFDataRef theData);
VANTREL_EXPORT const UInt8* CFDataGetBytePtr(CFDataRef theData);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
