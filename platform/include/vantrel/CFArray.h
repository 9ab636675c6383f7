// CFArray: an ordered collection of values.
//
// With kCFTypeArrayCallBacks the array retains its CF values and compares them
// with CFEqual; with null callbacks it holds bare pointers. Other callback
// records are honoured field by field (a null field means "do nothing").
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"

typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* value1, const void* value2);
typedef struct {
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    CFArrayCopyDescriptionCallBack copyDescription;
    CFArrayEqualCallBack equal;
} CFArrayCallBacks;

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT extern const CFArrayCallBacks kCFTypeArrayCallBacks;
VANTREL_EXPORT CFTypeID CFArrayGetTypeID(void);
VANTREL_EXPORT CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values,
                                        CFIndex numValues, const CFArrayCallBacks* callBacks);
VANTREL_EXPORT CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef alloc, CFIndex capacity,
                                                      const CFArrayCallBacks* callBacks);
VANTREL_EXPORT CFIndex CFArrayGetCount(CFArrayRef theArray);
// Null when `idx` is out of range.
VANTREL_EXPORT const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
// Ignored on an immutable array.
VANTREL_EXPORT void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
