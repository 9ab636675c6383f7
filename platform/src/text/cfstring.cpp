// CFStringGetCString on the platform's one encoding layer (ICU), the same
// converter the File Manager's name conversions use. It lives with the text
// encodings, not with Core Foundation, and reads the string through the
// layout CFString.h publishes: a program that only converts strings (the
// string library) then loads ICU, not the property-list and D-Bus libraries
// Core Foundation needs.
#include "vantrel/CFString.h"

#include <algorithm>
#include <vector>

#include "codec.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CFStringGetCString");

extern "C" Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                      CFStringEncoding encoding) {
    if (buffer == nullptr || bufferSize <= 0) return false;
    // Whatever happens below, the caller gets a terminated string: empty on
    // failure, so a result that is used unchecked is never a torn conversion.
    buffer[0] = '\0';
    if (theString == nullptr || theString->type_ != vantrel::cf_detail::kStringTypeID) return false;
    if (vantrel::fault::check("CFStringGetCString")) return false;
    const CFIndex units = theString->length;
    if (units < 0) return false;
    // Composition (NFC, for byte encodings) joins at most four UTF-16 units
    // into one (a letter with three marks), and every encoding needs at least
    // one byte for each unit it keeps: a longer string cannot fit, and is
    // refused before any work or memory grows with its length.
    const std::size_t room =
        static_cast<std::size_t>(bufferSize) - 1;  // keep one byte for the terminator
    if (static_cast<std::size_t>(units) / 4 > room) return false;
    std::vector<UniChar> utf16(static_cast<std::size_t>(units));
    if (units > 0) std::copy(theString->chars, theString->chars + units, utf16.data());
    // Byte encodings hold precomposed letters ("é" as one byte in Mac Roman),
    // so the composed form converts where a decomposed one would not. A
    // Unicode encoding holds every code point as it is: its conversion must
    // not change them (a decomposed name stays decomposed).
    std::u16string composed;
    const bool unicode = (encoding & 0xFF00) == kCFStringEncodingUnicode;
    if (unicode) {
        composed.assign(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size());
    } else if (vantrel::text::normalize(utf16.data(), utf16.size(), vantrel::text::Normal::NFC,
                                        &composed) != noErr) {
        return false;
    }
    std::size_t written = 0;
    std::vector<char> out(composed.size() * 4 + 8);
    OSStatus st =
        vantrel::text::from_utf16(encoding, reinterpret_cast<const UniChar*>(composed.data()),
                                  composed.size(), false, out.data(), out.size(), &written);
    if (st != noErr || written > room) return false;
    std::copy(out.data(), out.data() + written, buffer);
    buffer[written] = '\0';
    return true;
}
