// CFDictionary: values by key.
//
// With the kCFType callbacks keys and values are retained and keys compare
// with CFEqual/CFHash (so a created string finds a value stored under CFSTR
// with the same text); with null callbacks they are bare pointers compared by
// address.
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"

typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);
typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
    CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
VANTREL_EXPORT extern const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks;
VANTREL_EXPORT extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

VANTREL_EXPORT CFTypeID CFDictionaryGetTypeID(void);
VANTREL_EXPORT CFDictionaryRef CFDictionaryCreate(CFAllocatorRef alloc, const void** keys,
                                                  const void** values, CFIndex numValues,
                                                  const CFDictionaryKeyCallBacks* keyCallBacks,
                                                  const CFDictionaryValueCallBacks* valueCallBacks);
VANTREL_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutable(
    CFAllocatorRef alloc, CFIndex capacity, const CFDictionaryKeyCallBacks* keyCallBacks,
    const CFDictionaryValueCallBacks* valueCallBacks);
VANTREL_EXPORT CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);
// Null when the key is absent.
VANTREL_EXPORT const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
VANTREL_EXPORT Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key);
// Fills `keys` and `values` (either may be null) in insertion order.
VANTREL_EXPORT void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys,
                                                 const void** values);
// Adds or replaces; ignored on an immutable dictionary.
VANTREL_EXPORT void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key,
                                         const void* value);
VANTREL_EXPORT void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
