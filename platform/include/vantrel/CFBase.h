// Core Foundation's base: the object model every CF type shares.
//
// A CF object is reference counted (CFRetain/CFRelease, thread-safe counts),
// knows its type (CFGetTypeID against CFStringGetTypeID, CFBooleanGetTypeID,
// ...), compares by value (CFEqual, CFHash) and describes itself
// (CFCopyDescription). Objects from a Create or Copy call belong to the
// caller, who releases them; objects from a Get call do not.
//
//   CFStringRef key = CFSTR("Duration");            // constant, never freed
//   CFTypeRef v = CFPreferencesCopyAppValue(key, CFSTR("com.ashgrove.Vantrel"));
//   if (v && CFGetTypeID(v) == CFBooleanGetTypeID()) on = CFBooleanGetValue((CFBooleanRef)v);
//   if (v) CFRelease(v);
//
// Null is tolerated where the original would crash: CFRelease(NULL) and
// CFRetain(NULL) do nothing, CFGetTypeID(NULL) is 0, CFEqual with a null side
// is false.
//
// C++ only. The extern "C" guards give the functions C linkage, the symbols a
// plug-in or another language's binding links against; the Core Foundation
// headers themselves use C++ (std::atomic, constexpr, nullptr, namespaces)
// and do not compile as C. The File Manager headers (Files.h,
// MacTypes.h, MacMemory.h, TextEncoding.h) do.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vantrel/MacTypes.h"

typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef long CFIndex;
typedef const void* CFTypeRef;
typedef const void* CFPropertyListRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
    return CFRange{location, length};
}

enum { kCFNotFound = -1 };

typedef CFIndex CFComparisonResult;
enum { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 };

// Only the default allocator exists; every Create call accepts it (or null).
#define kCFAllocatorDefault ((CFAllocatorRef) nullptr)

// The header every CF object starts with. Objects flagged immortal (CFSTR
// constants, the two booleans) ignore retain and release.
struct __CFRuntimeBase {
    enum : std::uint32_t { kImmortal = 1u, kMutable = 2u };
    constexpr __CFRuntimeBase(std::uint32_t type, std::uint32_t flags) noexcept
        : rc_(1), type_(type), flags_(flags) {}
    std::atomic<std::int32_t> rc_;
    std::uint32_t type_;
    std::uint32_t flags_;
};

// Fixed type IDs: constant objects are built at compile time, so their IDs
// must be known then.
namespace vantrel::cf_detail {
enum : std::uint32_t {
    kStringTypeID = 7,
    kBooleanTypeID = 21,
    kNumberTypeID = 22,
    kDateTypeID = 42,
    kDataTypeID = 20,
    kArrayTypeID = 19,
    kDictionaryTypeID = 18,
    kNotificationCenterTypeID = 50,
};
}  // namespace vantrel::cf_detail

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT CFTypeRef CFRetain(CFTypeRef cf);
VANTREL_EXPORT void CFRelease(CFTypeRef cf);
// Current count (immortal objects report a large constant); for diagnostics.
VANTREL_EXPORT CFIndex CFGetRetainCount(CFTypeRef cf);
VANTREL_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);
VANTREL_EXPORT Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
VANTREL_EXPORT CFHashCode CFHash(CFTypeRef cf);
// A new string describing the object: a string describes itself, a number its
// decimal value, a boolean "true"/"false", a date "2001-01-01 00:00:00 +0000".
VANTREL_EXPORT CFStringRef CFCopyDescription(CFTypeRef cf);
// Name of the type ("CFString", "CFBoolean", ...).
VANTREL_EXPORT CFStringRef CFCopyTypeIDDescription(CFTypeID type_id);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
