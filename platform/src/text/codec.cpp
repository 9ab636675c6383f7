#include "text/codec.h"

#include <unicode/ucnv.h>
#include <unicode/unorm2.h>

#include <memory>
#include <vector>

#include "vantrel/UTF.h"

namespace vantrel::text {
namespace {

struct ConvCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Conv = std::unique_ptr<UConverter, ConvCloser>;

Conv open(UInt32 base) {
    const char* name = icu_name(base);
    if (name == nullptr) return nullptr;
    UErrorCode st = U_ZERO_ERROR;
    Conv c(ucnv_open(name, &st));
    if (U_FAILURE(st)) return nullptr;
    return c;
}

// HFS+ keeps these ranges composed when it decomposes a name.
bool hfs_keeps(char32_t c) {
    return (c >= 0x2000 && c <= 0x2FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0x2F800 && c <= 0x2FAFF);
}

}  // namespace

const char* icu_name(UInt32 base) noexcept {
    switch (base) {
        case 0:
            return "macintosh";
        case 1:
            return "Shift_JIS";  // no Mac Japanese in ICU; it is Shift-JIS with Apple extensions
        case 6:
            return "x-mac-greek";
        case 7:
            return "x-mac-cyrillic";
        case 29:
            return "x-mac-centraleurroman";
        case 35:
            return "x-mac-turkish";
        case 0x98:
            return "x-mac-cyrillic";
        case 0x0201:
            return "ISO-8859-1";
        case 0x0500:
            return "windows-1252";
        case 0x0600:
            return "US-ASCII";
        case 0x0A01:
            return "Shift_JIS";
        case 0x0100:
        case 0x0103:
        case 0x0104:
        case 0x0106:
            return "UTF-16LE";
        case 0x08000100:
            return "UTF-8";
        default:
            return nullptr;
    }
}

OSStatus from_utf16(UInt32 base, const UniChar* src, std::size_t units, bool loose, char* out,
                    std::size_t cap, std::size_t* outLen) noexcept {
    *outLen = 0;
    Conv c = open(base);
    if (!c) return kTextUnsupportedEncodingErr;
    UErrorCode st = U_ZERO_ERROR;
    ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
    ucnv_setFallback(c.get(), loose ? true : false);
    // Convert into a scratch buffer first so that a result that does not fit is
    // told apart from one that has no mapping.
    std::vector<char> tmp(units * 4 + 8);
    st = U_ZERO_ERROR;
    int32_t n =
        ucnv_fromUChars(c.get(), tmp.data(), static_cast<int32_t>(tmp.size()),
                        reinterpret_cast<const UChar*>(src), static_cast<int32_t>(units), &st);
    if (st == U_INVALID_CHAR_FOUND || st == U_ILLEGAL_CHAR_FOUND) return kTECUnmappableElementErr;
    if (st == U_TRUNCATED_CHAR_FOUND) return kTECPartialCharErr;
    if (U_FAILURE(st) && st != U_STRING_NOT_TERMINATED_WARNING) return kTextMalformedInputErr;
    if (static_cast<std::size_t>(n) > cap) return kTECOutputBufferFullStatus;
    std::copy(tmp.data(), tmp.data() + n, out);
    *outLen = static_cast<std::size_t>(n);
    return noErr;
}

OSStatus normalize(const UniChar* src, std::size_t units, Normal form,
                   std::u16string* out) noexcept {
    out->assign(reinterpret_cast<const char16_t*>(src), units);
    if (form == Normal::None) return noErr;
    UErrorCode st = U_ZERO_ERROR;
    const bool compose = form == Normal::NFC || form == Normal::HFSComposed;
    const UNormalizer2* n = compose ? unorm2_getNFCInstance(&st) : unorm2_getNFDInstance(&st);
    if (U_FAILURE(st)) return kTECMissingTableErr;
    auto run = [&](const char16_t* p, std::size_t len, std::u16string* dst) -> bool {
        std::vector<UChar> buf(len * 4 + 16);
        UErrorCode s2 = U_ZERO_ERROR;
        int32_t k =
            unorm2_normalize(n, reinterpret_cast<const UChar*>(p), static_cast<int32_t>(len),
                             buf.data(), static_cast<int32_t>(buf.size()), &s2);
        if (U_FAILURE(s2)) return false;
        dst->append(reinterpret_cast<const char16_t*>(buf.data()), static_cast<std::size_t>(k));
        return true;
    };
    std::u16string in = *out;
    out->clear();
    if (form != Normal::HFSDecomposed && form != Normal::HFSComposed) {
        return run(in.data(), in.size(), out) ? OSStatus{noErr} : OSStatus{kTextMalformedInputErr};
    }
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t j = i;
        // Collect a run of code points that HFS+ normalises.
        while (j < in.size()) {
            const utf::Decoded c = utf::decode_utf16(in.data() + j, in.size() - j);
            if (hfs_keeps(c.cp)) break;
            j += c.len;
        }
        if (j > i && !run(in.data() + i, j - i, out)) return kTextMalformedInputErr;
        // Then a run that it keeps as it is.
        std::size_t k = j;
        while (k < in.size()) {
            const utf::Decoded c = utf::decode_utf16(in.data() + k, in.size() - k);
            if (!hfs_keeps(c.cp)) break;
            k += c.len;
        }
        out->append(in, j, k - j);
        i = k;
    }
    return noErr;
}

OSStatus to_utf16(UInt32 base, const char* src, std::size_t len, Normal form, UniChar* out,
                  std::size_t capUnits, std::size_t* outUnits) noexcept {
    *outUnits = 0;
    Conv c = open(base);
    if (!c) return kTextUnsupportedEncodingErr;
    UErrorCode st = U_ZERO_ERROR;
    ucnv_setToUCallBack(c.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
    std::vector<UChar> tmp(len * 2 + 8);
    st = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(c.get(), tmp.data(), static_cast<int32_t>(tmp.size()), src,
                              static_cast<int32_t>(len), &st);
    if (st == U_INVALID_CHAR_FOUND || st == U_ILLEGAL_CHAR_FOUND) return kTECUnmappableElementErr;
    if (st == U_TRUNCATED_CHAR_FOUND) return kTECPartialCharErr;
    if (U_FAILURE(st) && st != U_STRING_NOT_TERMINATED_WARNING) return kTextMalformedInputErr;
    std::u16string norm;
    if (OSStatus e = normalize(reinterpret_cast<const UniChar*>(tmp.data()),
                               static_cast<std::size_t>(n), form, &norm))
        return e;
    if (norm.size() > capUnits) return kTECOutputBufferFullStatus;
    std::copy(norm.begin(), norm.end(), reinterpret_cast<char16_t*>(out));
    *outUnits = norm.size();
    return noErr;
}

OSStatus utf8_to_utf16(std::string_view in, std::u16string* out) noexcept {
    out->clear();
    return utf::utf8_to_utf16(in, out, utf::Invalid::Refuse) ? OSStatus{noErr} : OSStatus{bdNamErr};
}

OSStatus utf16_to_utf8(const UniChar* src, std::size_t units, std::string* out) noexcept {
    out->clear();
    return utf::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(src), units),
                              out, utf::Invalid::Refuse)
               ? OSStatus{noErr}
               : OSStatus{bdNamErr};
}

}  // namespace vantrel::text
