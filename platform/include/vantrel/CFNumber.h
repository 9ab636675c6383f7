// CFBoolean and CFNumber.
//
// The two booleans are the constants kCFBooleanTrue and kCFBooleanFalse; there
// are no others. A number keeps whether it was an integer or a floating-point
// value (CFNumberIsFloatType) and converts on request (CFNumberGetValue, which
// is false when the conversion loses information).
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"

typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFNumber* CFNumberRef;

typedef CFIndex CFNumberType;
enum {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberNSIntegerType = 15,
    kCFNumberCGFloatType = 16,
    kCFNumberMaxType = 16
};

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT extern const CFBooleanRef kCFBooleanTrue;
VANTREL_EXPORT extern const CFBooleanRef kCFBooleanFalse;
VANTREL_EXPORT CFTypeID CFBooleanGetTypeID(void);
VANTREL_EXPORT Boolean CFBooleanGetValue(CFBooleanRef boolean);

VANTREL_EXPORT CFTypeID CFNumberGetTypeID(void);
// Null for an unknown type or a null value pointer.
VANTREL_EXPORT CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType theType,
                                          const void* valuePtr);
VANTREL_EXPORT CFNumberType CFNumberGetType(CFNumberRef number);
VANTREL_EXPORT Boolean CFNumberIsFloatType(CFNumberRef number);
VANTREL_EXPORT Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
