// CFString: an immutable sequence of UTF-16 code units.
//
//   CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, "Frame Count",
//                                             kCFStringEncodingUTF8);
//   UniChar buf[64];
//   CFStringGetCharacters(s, CFRangeMake(0, CFStringGetLength(s)), buf);
//   CFRelease(s);
//
// CFSTR("...") is a compile-time constant (its address is a constant
// expression; `static constexpr CFStringRef k = CFSTR("x");` works). It is
// never freed: CFRetain and CFRelease leave it alone. The literal is UTF-8.
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <cstddef>

#include "vantrel/CFBase.h"
#include "vantrel/UTF.h"

typedef UInt32 CFStringEncoding;
enum {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUnicode = 0x0100,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingNonLossyASCII = 0x0BFF,
};
enum { kCFStringEncodingInvalidId = 0xffffffffU };

// Layout shared by constant and created strings: the units live in static
// storage for constants and right after the header for created strings.
struct __CFString : __CFRuntimeBase {
    constexpr __CFString(std::uint32_t flags, const UniChar* c, CFIndex n) noexcept
        : __CFRuntimeBase(vantrel::cf_detail::kStringTypeID, flags), chars(c), length(n) {}
    const UniChar* chars;
    CFIndex length;
};

namespace vantrel::cf_detail {

// A string literal decoded from UTF-8 to UTF-16 at compile time by the
// decoder that strings made at run time go through (vantrel/UTF.h): an
// ill-formed sequence becomes U+FFFD, one for each maximal subpart, as in a
// string the library makes from UTF-8 it was not asked to refuse. The
// literal ends at its first NUL.
template <std::size_t N>
struct Literal {
    UniChar units[N]{};
    CFIndex len = 0;
    consteval Literal(const char (&s)[N]) {
        std::size_t end = 0;
        while (end + 1 < N && s[end] != '\0') ++end;
        for (std::size_t i = 0; i < end;) {
            const utf::Decoded d = utf::decode_utf8(s + i, end - i);
            char16_t u[2]{};
            const std::size_t n = utf::encode_utf16(d.cp, u);
            for (std::size_t k = 0; k < n; ++k) units[len++] = static_cast<UniChar>(u[k]);
            i += d.len;
        }
    }
};

template <Literal L>
struct ConstantString {
    static constinit inline __CFString value{__CFRuntimeBase::kImmortal, L.units, L.len};
};

}  // namespace vantrel::cf_detail

#define CFSTR(literal)         \
    (static_cast<CFStringRef>( \
        &::vantrel::cf_detail::ConstantString<::vantrel::cf_detail::Literal(literal)>::value))

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT CFTypeID CFStringGetTypeID(void);
// A new string from a NUL-terminated C string in `encoding`; null when the
// bytes are not valid in that encoding or the encoding is unknown.
VANTREL_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                     CFStringEncoding encoding);
VANTREL_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes,
                                                   CFIndex numBytes, CFStringEncoding encoding,
                                                   Boolean isExternalRepresentation);
VANTREL_EXPORT CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                                        CFIndex numChars);
VANTREL_EXPORT CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef str);
VANTREL_EXPORT CFIndex CFStringGetLength(CFStringRef str);
VANTREL_EXPORT UniChar CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx);
// Copies the units of `range` (clipped to the string) into `buffer`.
VANTREL_EXPORT void CFStringGetCharacters(CFStringRef str, CFRange range, UniChar* buffer);
VANTREL_EXPORT CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b,
                                                  CFOptionFlags options);
// Converts into `buffer` (NUL-terminated); false when it does not fit or a
// character has no mapping. Provided by the string layer's codec.
VANTREL_EXPORT Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                          CFStringEncoding encoding);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
