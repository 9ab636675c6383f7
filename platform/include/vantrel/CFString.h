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

// A string literal decoded from UTF-8 to UTF-16 at compile time. Ill-formed
// UTF-8 decodes to U+FFFD, as the run-time decoder does.
template <std::size_t N>
struct Literal {
    UniChar units[N]{};
    CFIndex len = 0;
    consteval Literal(const char (&s)[N]) {
        std::size_t i = 0;
        while (i + 1 < N && s[i] != '\0') {
            unsigned char c = static_cast<unsigned char>(s[i]);
            std::uint32_t cp = 0xFFFD;
            std::size_t extra = 0;
            if (c < 0x80) {
                cp = c;
            } else if ((c & 0xE0) == 0xC0) {
                cp = c & 0x1F;
                extra = 1;
            } else if ((c & 0xF0) == 0xE0) {
                cp = c & 0x0F;
                extra = 2;
            } else if ((c & 0xF8) == 0xF0) {
                cp = c & 0x07;
                extra = 3;
            } else {
                extra = 0;
                cp = 0xFFFD;
            }
            bool ok = true;
            for (std::size_t k = 1; k <= extra; ++k) {
                unsigned char d = (i + k + 1 < N) ? static_cast<unsigned char>(s[i + k]) : 0;
                if ((d & 0xC0) != 0x80) {
                    ok = false;
                    extra = k - 1;
                    break;
                }
                cp = (cp << 6) | (d & 0x3F);
            }
            if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            i += extra + 1;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                units[len++] = static_cast<UniChar>(0xD800 + (cp >> 10));
                units[len++] = static_cast<UniChar>(0xDC00 + (cp & 0x3FF));
            } else {
                units[len++] = static_cast<UniChar>(cp);
            }
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
