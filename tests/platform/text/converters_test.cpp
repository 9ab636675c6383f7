// The Unicode converters: HFS+ decomposition on the Unicode side, loose
// mappings, and the converter's own status codes with nothing written.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

namespace vf = vantrel::fault;

namespace {

UnicodeMapping mapping(TextEncodingBase other,
                       TextEncodingVariant variant = kUnicodeCanonicalDecompVariant) {
    return {CreateTextEncoding(kTextEncodingUnicodeV2_0, variant, kUnicode16BitFormat), other,
            kUnicodeUseHFSPlusMapping};
}

// Text -> Unicode with a converter made for the call.
OSStatus to_unicode(const UnicodeMapping& m, const std::vector<unsigned char>& bytes,
                    std::vector<UniChar>* out, ByteCount cap = 510) {
    TextToUnicodeInfo info = nullptr;
    if (OSStatus e = CreateTextToUnicodeInfo(&m, &info)) return e;
    out->assign(cap / 2 + 1, 0xEEEE);
    ByteCount read = 99, len = 99;
    OSStatus st = ConvertFromTextToUnicode(info, bytes.size(), bytes.data(), 0, 0, nullptr, nullptr,
                                           nullptr, cap, &read, &len, out->data());
    if (st == noErr) {
        EXPECT_EQ(read, bytes.size());
        EXPECT_EQ(len % 2, 0u);
        out->resize(len / 2);
    } else {
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(read, 0u);
    }
    EXPECT_EQ(DisposeTextToUnicodeInfo(&info), noErr);
    EXPECT_EQ(info, nullptr);
    return st;
}

OSStatus to_text(const UnicodeMapping& m, const std::vector<UniChar>& units, OptionBits flags,
                 std::vector<unsigned char>* out, ByteCount cap = 31) {
    UnicodeToTextInfo info = nullptr;
    if (OSStatus e = CreateUnicodeToTextInfo(&m, &info)) return e;
    out->assign(cap + 1, 0xEE);
    ByteCount read = 99, len = 99;
    OSStatus st = ConvertFromUnicodeToText(info, units.size() * 2, units.data(), flags, 0, nullptr,
                                           nullptr, nullptr, cap, &read, &len, out->data());
    if (st == noErr) {
        EXPECT_EQ(read, units.size() * 2);
        out->resize(len);
    } else {
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(read, 0u);
        for (std::size_t i = 0; i < out->size(); ++i)
            EXPECT_EQ((*out)[i], 0xEE) << "byte " << i << " written";
    }
    EXPECT_EQ(DisposeUnicodeToTextInfo(&info), noErr);
    return st;
}

}  // namespace

TEST(Converters, EveryMacRomanCharacterRoundTripsThroughDecomposedUnicode) {
    const UnicodeMapping m = mapping(kTextEncodingMacRoman);
    int decomposed = 0;
    for (int b = 1; b < 256; ++b) {
        std::vector<UniChar> u;
        ASSERT_EQ(to_unicode(m, {static_cast<unsigned char>(b)}, &u), noErr) << b;
        ASSERT_FALSE(u.empty()) << b;
        // Nothing precomposed survives on the Unicode side (Latin-1 letters
        // with marks live in U+00C0..U+00FF except the few without marks).
        for (UniChar c : u) {
            EXPECT_FALSE(c >= 0xC0 && c <= 0xFF && c != 0xC6 && c != 0xD0 && c != 0xD7 &&
                         c != 0xD8 && c != 0xDE && c != 0xDF && c != 0xE6 && c != 0xF0 &&
                         c != 0xF7 && c != 0xF8 && c != 0xFE)
                << "byte " << b << " gave precomposed U+" << std::hex << c;
        }
        if (u.size() > 1) ++decomposed;
        std::vector<unsigned char> back;
        ASSERT_EQ(to_text(m, u, 0, &back), noErr) << b;
        ASSERT_EQ(back.size(), 1u) << b;
        EXPECT_EQ(back[0], b);
    }
    EXPECT_GE(decomposed, 40) << "Mac Roman has dozens of accented letters";
}

TEST(Converters, UnicodeSideFormFollowsTheVariant) {
    const std::vector<unsigned char> cafe = {'c', 'a', 'f', 0x8E};  // "café" in Mac Roman
    std::vector<UniChar> u;
    ASSERT_EQ(to_unicode(mapping(0), cafe, &u), noErr);
    EXPECT_EQ(u, (std::vector<UniChar>{'c', 'a', 'f', 'e', 0x0301}));
    ASSERT_EQ(to_unicode(mapping(0, kUnicodeCanonicalCompVariant), cafe, &u), noErr);
    EXPECT_EQ(u, (std::vector<UniChar>{'c', 'a', 'f', 0x00E9}));
    ASSERT_EQ(to_unicode(mapping(0, kUnicodeNoSubset), cafe, &u), noErr);
    EXPECT_EQ(u, (std::vector<UniChar>{'c', 'a', 'f', 0x00E9}));

    // Towards bytes, composed and decomposed input give the same byte.
    std::vector<unsigned char> b;
    ASSERT_EQ(to_text(mapping(0), {'c', 'a', 'f', 0x00E9}, 0, &b), noErr);
    EXPECT_EQ(b, cafe);
    ASSERT_EQ(to_text(mapping(0), {'c', 'a', 'f', 'e', 0x0301}, 0, &b), noErr);
    EXPECT_EQ(b, cafe);

    // Another Mac script: Cyrillic De is 0x84 in Mac Cyrillic.
    ASSERT_EQ(to_text(mapping(kTextEncodingMacCyrillic), {0x0414}, 0, &b), noErr);
    EXPECT_EQ(b, (std::vector<unsigned char>{0x84}));
}

TEST(Converters, LooseMappingsAllowFallbacksAndUnmappableIsReported) {
    const UnicodeMapping m = mapping(kTextEncodingMacRoman);
    std::vector<unsigned char> b;
    const std::vector<UniChar> squared = {'x', 0x00B2};  // "x²": Mac Roman has no superscript two
    EXPECT_EQ(to_text(m, squared, 0, &b), kTECUnmappableElementErr);
    ASSERT_EQ(to_text(m, squared, kUnicodeLooseMappingsMask, &b), noErr);
    EXPECT_EQ(b, (std::vector<unsigned char>{'x', '2'}));
    EXPECT_EQ(to_text(m, {'a', 0x4E2D}, kUnicodeLooseMappingsMask, &b), kTECUnmappableElementErr)
        << "a Han character has no fallback in Mac Roman";
}

TEST(Converters, OutputThatDoesNotFitIsTheConvertersStatusWithNothingWritten) {
    std::vector<unsigned char> b;
    std::vector<UniChar> name(32, 'a');
    EXPECT_EQ(to_text(mapping(0), name, 0, &b, 31), kTECOutputBufferFullStatus);
    name.pop_back();
    ASSERT_EQ(to_text(mapping(0), name, 0, &b, 31), noErr);
    EXPECT_EQ(b.size(), 31u);

    // Two accented letters need four units: three do not fit.
    std::vector<UniChar> u;
    EXPECT_EQ(to_unicode(mapping(0), {0x8E, 0x8E}, &u, 6), kTECOutputBufferFullStatus);
    ASSERT_EQ(to_unicode(mapping(0), {0x8E, 0x8E}, &u, 8), noErr);
    EXPECT_EQ(u.size(), 4u);
}

TEST(Converters, BadMappingsAndArgumentsAreRefused) {
    TextToUnicodeInfo t2u = nullptr;
    UnicodeToTextInfo u2t = nullptr;
    UnicodeMapping m = mapping(0x7777);
    EXPECT_EQ(CreateTextToUnicodeInfo(&m, &t2u), kTextUnsupportedEncodingErr);
    EXPECT_EQ(CreateUnicodeToTextInfo(&m, &u2t), kTextUnsupportedEncodingErr);
    m = mapping(0);
    m.unicodeEncoding = CreateTextEncoding(kTextEncodingUnicodeDefault, 0, kUnicodeUTF8Format);
    EXPECT_EQ(CreateUnicodeToTextInfo(&m, &u2t), kTextUnsupportedEncodingErr)
        << "the Unicode side is UTF-16";
    m.unicodeEncoding = kTextEncodingMacRoman;
    EXPECT_EQ(CreateUnicodeToTextInfo(&m, &u2t), kTextUnsupportedEncodingErr)
        << "one side must be Unicode";
    EXPECT_EQ(u2t, nullptr);
    EXPECT_EQ(t2u, nullptr);
    EXPECT_EQ(CreateUnicodeToTextInfo(nullptr, &u2t), paramErr);
    EXPECT_EQ(DisposeUnicodeToTextInfo(&u2t), paramErr) << "nothing to dispose of";
    EXPECT_EQ(DisposeTextToUnicodeInfo(nullptr), paramErr);

    m = mapping(0);
    ASSERT_EQ(CreateUnicodeToTextInfo(&m, &u2t), noErr);
    const UniChar a[2] = {'a', 'b'};
    unsigned char out[8];
    ByteCount read = 0, len = 0;
    EXPECT_EQ(
        ConvertFromUnicodeToText(u2t, 3, a, 0, 0, nullptr, nullptr, nullptr, 8, &read, &len, out),
        kTECPartialCharErr)
        << "an odd byte count splits a UTF-16 unit";
    EXPECT_EQ(ConvertFromUnicodeToText(u2t, 4, nullptr, 0, 0, nullptr, nullptr, nullptr, 8, &read,
                                       &len, out),
              kTECNullPointerErr);
    EXPECT_EQ(
        ConvertFromUnicodeToText(u2t, 4, a, 0, 0, nullptr, nullptr, nullptr, 8, nullptr, &len, out),
        paramErr);
    EXPECT_EQ(ConvertFromUnicodeToText(u2t, 0, nullptr, 0, 0, nullptr, nullptr, nullptr, 8, &read,
                                       &len, out),
              noErr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(DisposeUnicodeToTextInfo(&u2t), noErr);
}

TEST(Converters, CreationAndConversionGoThroughTheFaultSeam) {
    vf::Scope scope;
    const UnicodeMapping m = mapping(0);
    vf::fail_nth("CreateTextToUnicodeInfo", 1, memFullErr);
    TextToUnicodeInfo t2u = nullptr;
    EXPECT_EQ(CreateTextToUnicodeInfo(&m, &t2u), memFullErr);
    EXPECT_EQ(t2u, nullptr);
    vf::fail_nth("ConvertFromUnicodeToText", 1, ioErr);
    std::vector<unsigned char> b;
    EXPECT_EQ(to_text(m, {'a'}, 0, &b), ioErr);
    EXPECT_EQ(vf::injected(), 2);
}
