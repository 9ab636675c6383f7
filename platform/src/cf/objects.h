// Layouts of the CF objects and the helpers the platform's other concerns
// (preferences, notifications, the Cocoa classes) share. Hidden from users of
// the library: they see only the opaque references.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vantrel/CoreFoundation.h"

struct __CFBoolean : __CFRuntimeBase {
    constexpr explicit __CFBoolean(bool v) noexcept
        : __CFRuntimeBase(vantrel::cf_detail::kBooleanTypeID, kImmortal), value(v) {}
    bool value;
};

struct __CFNumber : __CFRuntimeBase {
    __CFNumber() noexcept : __CFRuntimeBase(vantrel::cf_detail::kNumberTypeID, 0) {}
    CFNumberType type = kCFNumberSInt64Type;
    bool isFloat = false;
    // An integer from 2^63 to 2^64 - 1 (a property list may hold one): `i`
    // holds its 64 bits. It converts to no signed integer type exactly.
    bool isUnsigned = false;
    std::int64_t i = 0;
    double d = 0;
};

struct __CFDate : __CFRuntimeBase {
    explicit __CFDate(double t) noexcept
        : __CFRuntimeBase(vantrel::cf_detail::kDateTypeID, 0), at(t) {}
    double at;
};

struct __CFData : __CFRuntimeBase {
    __CFData() noexcept : __CFRuntimeBase(vantrel::cf_detail::kDataTypeID, 0) {}
    std::vector<UInt8> bytes;
};

struct __CFArray : __CFRuntimeBase {
    explicit __CFArray(std::uint32_t flags) noexcept
        : __CFRuntimeBase(vantrel::cf_detail::kArrayTypeID, flags) {}
    CFArrayCallBacks cb{};
    std::vector<const void*> values;
};

struct __CFDictionary : __CFRuntimeBase {
    explicit __CFDictionary(std::uint32_t flags) noexcept
        : __CFRuntimeBase(vantrel::cf_detail::kDictionaryTypeID, flags) {}
    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };
    CFDictionaryKeyCallBacks kcb{};
    CFDictionaryValueCallBacks vcb{};
    std::vector<Entry> entries;
};

// Marks a function whose name does not say so ("Create", "Copy") as handing
// its caller an object to release, for clang's static analyser; gcc has no
// such attribute.
#if defined(__clang__)
#define VANTREL_CF_RETURNS_RETAINED __attribute__((cf_returns_retained))
#else
#define VANTREL_CF_RETURNS_RETAINED
#endif

namespace vantrel::cf {

inline const __CFRuntimeBase* base(CFTypeRef cf) {
    return static_cast<const __CFRuntimeBase*>(cf);
}
inline bool is(CFTypeRef cf, std::uint32_t type) {
    return cf != nullptr && base(cf)->type_ == type;
}

// A new string from UTF-16 units.
CFStringRef create_string(const UniChar* units, std::size_t n);
// The three below are also the Cocoa library's way into Core Foundation's
// strings (NSString wraps a CFString): exported for it, not a contract for
// anyone else, as vantrel::host is the host's.
//
// A new string from UTF-8; an ill-formed sequence becomes U+FFFD, one for
// each maximal subpart (vantrel/UTF.h), as in a CFSTR literal. The caller
// releases it: the attribute tells the static analyser so, which takes the
// name, without "Create" or "Copy", for a borrowed object.
VANTREL_EXPORT VANTREL_CF_RETURNS_RETAINED CFStringRef string_from_utf8(std::string_view s);
// The UTF-8 form of a string (lone surrogates become U+FFFD); "" for null.
VANTREL_EXPORT std::string to_utf8(CFStringRef s);
// Description of any CF object as UTF-8.
VANTREL_EXPORT std::string describe(CFTypeRef cf);

// Per-type hooks called by the runtime.
void destroy_string(const __CFString* s);
bool string_equal(const __CFString* a, const __CFString* b);
CFHashCode string_hash(const __CFString* s);
void destroy_array(const __CFArray* a);
void destroy_dictionary(const __CFDictionary* d);
bool array_equal(const __CFArray* a, const __CFArray* b);
bool dictionary_equal(const __CFDictionary* a, const __CFDictionary* b);
double number_as_double(const __CFNumber* n);
bool number_equal(const __CFNumber* a, const __CFNumber* b);
CFHashCode number_hash(const __CFNumber* n);

}  // namespace vantrel::cf
