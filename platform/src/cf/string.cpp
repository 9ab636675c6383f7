// CFString: created strings keep their UTF-16 units right after the header,
// so a string is one allocation and never changes.
#include <cstring>
#include <new>

#include "cf/objects.h"
#include "text/codec.h"
#include "vantrel/UTF.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CFStringCreateWithBytes", "CFStringCreateWithCharacters");

using namespace vantrel::cf_detail;

namespace vantrel::cf {

CFStringRef create_string(const UniChar* units, std::size_t n) {
    void* mem = ::operator new(sizeof(__CFString) + n * sizeof(UniChar) + sizeof(UniChar));
    auto* chars = reinterpret_cast<UniChar*>(static_cast<char*>(mem) + sizeof(__CFString));
    if (n) std::memcpy(chars, units, n * sizeof(UniChar));
    chars[n] = 0;
    return new (mem) __CFString(0, chars, static_cast<CFIndex>(n));
}

void destroy_string(const __CFString* s) {
    s->~__CFString();
    ::operator delete(const_cast<__CFString*>(s));
}

bool string_equal(const __CFString* a, const __CFString* b) {
    return a->length == b->length &&
           (a->length == 0 || std::memcmp(a->chars, b->chars, a->length * sizeof(UniChar)) == 0);
}

CFHashCode string_hash(const __CFString* s) {
    std::uint64_t h = 1469598103934665603ull;
    for (CFIndex i = 0; i < s->length; ++i) h = (h ^ s->chars[i]) * 1099511628211ull;
    return static_cast<CFHashCode>(h);
}

CFStringRef string_from_utf8(std::string_view s) {
    std::u16string out;
    utf::utf8_to_utf16(s, &out, utf::Invalid::ReplaceSubpart);
    return create_string(reinterpret_cast<const UniChar*>(out.data()), out.size());
}

std::string to_utf8(CFStringRef s) {
    std::string out;
    if (s == nullptr) return out;
    utf::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(s->chars),
                                           static_cast<std::size_t>(s->length)),
                       &out, utf::Invalid::ReplaceSubpart);
    return out;
}

}  // namespace vantrel::cf

using namespace vantrel::cf;

CFTypeID CFStringGetTypeID(void) {
    return kStringTypeID;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
    if (vantrel::fault::check("CFStringCreateWithBytes")) return nullptr;
    if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) return nullptr;
    auto src = reinterpret_cast<const char*>(bytes);
    std::size_t len = static_cast<std::size_t>(numBytes);
    switch (encoding) {
        case kCFStringEncodingUTF8: {
            std::u16string out;
            if (vantrel::text::utf8_to_utf16(std::string_view(src, len), &out) != noErr)
                return nullptr;
            return create_string(reinterpret_cast<const UniChar*>(out.data()), out.size());
        }
        case kCFStringEncodingASCII: {
            std::u16string out;
            for (std::size_t i = 0; i < len; ++i) {
                if (static_cast<unsigned char>(src[i]) >= 0x80) return nullptr;
                out.push_back(static_cast<char16_t>(src[i]));
            }
            return create_string(reinterpret_cast<const UniChar*>(out.data()), out.size());
        }
        case kCFStringEncodingISOLatin1: {
            std::u16string out;
            for (std::size_t i = 0; i < len; ++i) out.push_back(static_cast<unsigned char>(src[i]));
            return create_string(reinterpret_cast<const UniChar*>(out.data()), out.size());
        }
        default: {
            // Mac script encodings (Mac Roman is 0) go through ICU; a byte never
            // needs more than two UTF-16 units.
            std::u16string out(len * 2 + 1, u'\0');
            std::size_t units = 0;
            if (vantrel::text::to_utf16(encoding, src, len, vantrel::text::Normal::None,
                                        reinterpret_cast<UniChar*>(out.data()), out.size(),
                                        &units) != noErr)
                return nullptr;
            return create_string(reinterpret_cast<const UniChar*>(out.data()), units);
        }
    }
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
    if (cStr == nullptr) return nullptr;
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr),
                                   static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
    if (vantrel::fault::check("CFStringCreateWithCharacters")) return nullptr;
    if (numChars < 0 || (chars == nullptr && numChars > 0)) return nullptr;
    return create_string(chars, static_cast<std::size_t>(numChars));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef str) {
    return static_cast<CFStringRef>(CFRetain(str));  // strings never change
}

CFIndex CFStringGetLength(CFStringRef str) {
    return is(str, kStringTypeID) ? str->length : 0;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx) {
    if (!is(str, kStringTypeID) || idx < 0 || idx >= str->length) return 0;
    return str->chars[idx];
}

void CFStringGetCharacters(CFStringRef str, CFRange range, UniChar* buffer) {
    if (!is(str, kStringTypeID) || buffer == nullptr || range.location < 0 || range.length <= 0)
        return;
    if (range.location >= str->length) return;
    CFIndex n = std::min(range.length, str->length - range.location);
    std::memcpy(buffer, str->chars + range.location, n * sizeof(UniChar));
}

CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFOptionFlags) {
    CFIndex la = CFStringGetLength(a), lb = CFStringGetLength(b);
    for (CFIndex i = 0; i < la && i < lb; ++i) {
        if (a->chars[i] != b->chars[i])
            return a->chars[i] < b->chars[i] ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    return la == lb ? kCFCompareEqualTo : (la < lb ? kCFCompareLessThan : kCFCompareGreaterThan);
}
