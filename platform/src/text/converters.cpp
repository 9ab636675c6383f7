// The Unicode converters of the Text Encoding Conversion Manager, on the
// project's ICU layer.
//
// A converter is a mapping between UTF-16 (its Unicode side) and one byte
// encoding. On the Unicode side the variant decides the form: the canonical
// decomposition variant is the decomposition HFS+ stores names in, the
// composition variant NFC, no variant leaves the text as the encoding gives
// it. Towards bytes, decomposed input is recomposed first, because the Mac
// encodings map precomposed letters ("e" + U+0301 is byte 0x8E in Mac Roman).
//
// Status codes are the converter's own negative values (MacTypes.h):
// kTECOutputBufferFullStatus when the result does not fit the caller's buffer
// (nothing is written then, and both counts are 0), kTECUnmappableElementErr
// when a character has no mapping, kTextUnsupportedEncodingErr for an encoding
// we have no table for, kTECPartialCharErr for an odd UTF-16 byte count.
#include <string>

#include "text/codec.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CreateUnicodeToTextInfo", "ConvertFromUnicodeToText",
                         "CreateTextToUnicodeInfo", "ConvertFromTextToUnicode");

struct OpaqueUnicodeToTextInfo {
    TextEncodingBase other;
};

struct OpaqueTextToUnicodeInfo {
    TextEncodingBase other;
    vantrel::text::Normal form;
};

namespace {

using vantrel::text::Normal;

bool is_unicode_base(TextEncodingBase b) {
    return b >= kTextEncodingUnicodeDefault && b <= 0x0106;
}

// Checks a mapping and gives the form of its Unicode side.
OSStatus check_mapping(const UnicodeMapping* m, Normal* form) {
    if (m == nullptr) return paramErr;
    if (!is_unicode_base(GetTextEncodingBase(m->unicodeEncoding)))
        return kTextUnsupportedEncodingErr;
    if (GetTextEncodingFormat(m->unicodeEncoding) != kUnicode16BitFormat)
        return kTextUnsupportedEncodingErr;
    if (vantrel::text::icu_name(GetTextEncodingBase(m->otherEncoding)) == nullptr)
        return kTextUnsupportedEncodingErr;
    switch (GetTextEncodingVariant(m->unicodeEncoding)) {
        case kUnicodeCanonicalDecompVariant:
            *form = Normal::HFSDecomposed;
            break;
        case kUnicodeCanonicalCompVariant:
            *form = Normal::NFC;
            break;
        default:
            *form = Normal::None;
            break;
    }
    return noErr;
}

// Recomposes decomposed text for a byte encoding, leaving alone the ranges
// HFS+ never decomposes (composition would turn a CJK compatibility ideograph
// into its unified twin, which is another character to a Mac encoding).
OSStatus compose_for_bytes(const UniChar* src, std::size_t units, std::u16string* out) {
    return vantrel::text::normalize(src, units, Normal::HFSComposed, out);
}

}  // namespace

OSStatus CreateUnicodeToTextInfo(ConstUnicodeMappingPtr mapping, UnicodeToTextInfo* info) {
    if (OSErr e = vantrel::fault::check("CreateUnicodeToTextInfo")) return e;
    if (info == nullptr) return paramErr;
    Normal form;
    if (OSStatus e = check_mapping(mapping, &form)) return e;
    *info = new OpaqueUnicodeToTextInfo{GetTextEncodingBase(mapping->otherEncoding)};
    return noErr;
}

OSStatus ConvertFromUnicodeToText(UnicodeToTextInfo info, ByteCount unicodeLen,
                                  const UniChar* unicodeStr, OptionBits controlFlags,
                                  ItemCount /*offsetCount*/, const ByteOffset* /*offsetArray*/,
                                  ItemCount* oOffsetCount, ByteOffset* /*oOffsetArray*/,
                                  ByteCount outputBufLen, ByteCount* oInputRead,
                                  ByteCount* oOutputLen, LogicalAddress oOutputStr) {
    if (info == nullptr || oInputRead == nullptr || oOutputLen == nullptr) return paramErr;
    *oInputRead = 0;
    *oOutputLen = 0;
    if (OSErr e = vantrel::fault::check("ConvertFromUnicodeToText")) return e;
    // Offsets are not tracked: no caller of this layer asks for them.
    if (oOffsetCount != nullptr) *oOffsetCount = 0;
    if ((unicodeLen > 0 && unicodeStr == nullptr) || (outputBufLen > 0 && oOutputStr == nullptr))
        return kTECNullPointerErr;
    if (unicodeLen % 2 != 0) return kTECPartialCharErr;

    std::u16string composed;
    if (OSStatus e = compose_for_bytes(unicodeStr, unicodeLen / 2, &composed)) return e;
    const bool loose = (controlFlags & (kUnicodeLooseMappingsMask | kUnicodeUseFallbacksMask)) != 0;
    std::size_t n = 0;
    if (OSStatus e = vantrel::text::from_utf16(
            info->other, reinterpret_cast<const UniChar*>(composed.data()), composed.size(), loose,
            static_cast<char*>(oOutputStr), outputBufLen, &n))
        return e;
    *oInputRead = unicodeLen;
    *oOutputLen = static_cast<ByteCount>(n);
    return noErr;
}

OSStatus DisposeUnicodeToTextInfo(UnicodeToTextInfo* info) {
    if (info == nullptr || *info == nullptr) return paramErr;
    delete *info;
    *info = nullptr;
    return noErr;
}

OSStatus CreateTextToUnicodeInfo(ConstUnicodeMappingPtr mapping, TextToUnicodeInfo* info) {
    if (OSErr e = vantrel::fault::check("CreateTextToUnicodeInfo")) return e;
    if (info == nullptr) return paramErr;
    Normal form;
    if (OSStatus e = check_mapping(mapping, &form)) return e;
    *info = new OpaqueTextToUnicodeInfo{GetTextEncodingBase(mapping->otherEncoding), form};
    return noErr;
}

OSStatus ConvertFromTextToUnicode(TextToUnicodeInfo info, ByteCount sourceLen,
                                  ConstLogicalAddress sourceStr, OptionBits /*controlFlags*/,
                                  ItemCount /*offsetCount*/, const ByteOffset* /*offsetArray*/,
                                  ItemCount* oOffsetCount, ByteOffset* /*oOffsetArray*/,
                                  ByteCount outputBufLen, ByteCount* oSourceRead,
                                  ByteCount* oUnicodeLen, UniChar* oUnicodeStr) {
    if (info == nullptr || oSourceRead == nullptr || oUnicodeLen == nullptr) return paramErr;
    *oSourceRead = 0;
    *oUnicodeLen = 0;
    if (OSErr e = vantrel::fault::check("ConvertFromTextToUnicode")) return e;
    if (oOffsetCount != nullptr) *oOffsetCount = 0;
    if ((sourceLen > 0 && sourceStr == nullptr) || (outputBufLen > 1 && oUnicodeStr == nullptr))
        return kTECNullPointerErr;
    std::size_t units = 0;
    if (OSStatus e =
            vantrel::text::to_utf16(info->other, static_cast<const char*>(sourceStr), sourceLen,
                                    info->form, oUnicodeStr, outputBufLen / 2, &units))
        return e;
    *oSourceRead = sourceLen;
    *oUnicodeLen = static_cast<ByteCount>(units * 2);
    return noErr;
}

OSStatus DisposeTextToUnicodeInfo(TextToUnicodeInfo* info) {
    if (info == nullptr || *info == nullptr) return paramErr;
    delete *info;
    *info = nullptr;
    return noErr;
}
