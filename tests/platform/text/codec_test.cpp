#include "text/codec.h"

#include <gtest/gtest.h>

using namespace vantrel::text;

TEST(Codec, MacRomanRoundTripOfEveryByte) {
    for (int b = 1; b < 256; ++b) {
        char in = static_cast<char>(b);
        UniChar u[8];
        std::size_t n = 0;
        ASSERT_EQ(to_utf16(0, &in, 1, Normal::NFC, u, 8, &n), noErr) << b;
        char out[8];
        std::size_t m = 0;
        ASSERT_EQ(from_utf16(0, u, n, false, out, sizeof out, &m), noErr) << b;
        ASSERT_EQ(m, 1u) << b;
        EXPECT_EQ(static_cast<unsigned char>(out[0]), b);
    }
}

TEST(Codec, DecompositionFullBufferAndUnmappable) {
    const char e_acute = static_cast<char>(0x8E);  // é in Mac Roman
    UniChar u[4];
    std::size_t n = 0;
    ASSERT_EQ(to_utf16(0, &e_acute, 1, Normal::HFSDecomposed, u, 4, &n), noErr);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(u[0], u'e');
    EXPECT_EQ(u[1], 0x0301);
    EXPECT_EQ(to_utf16(0, &e_acute, 1, Normal::HFSDecomposed, u, 1, &n),
              kTECOutputBufferFullStatus);

    // Decomposed input converts back to the one Mac Roman byte.
    char out[4];
    std::size_t m = 0;
    const UniChar dec[] = {u'e', 0x0301};
    std::u16string nfc;
    ASSERT_EQ(normalize(dec, 2, Normal::NFC, &nfc), noErr);
    ASSERT_EQ(
        from_utf16(0, reinterpret_cast<const UniChar*>(nfc.data()), nfc.size(), false, out, 4, &m),
        noErr);
    EXPECT_EQ(m, 1u);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x8E);

    const UniChar han[] = {0x4E2D};
    EXPECT_EQ(from_utf16(0, han, 1, true, out, 4, &m), kTECUnmappableElementErr);
    const UniChar abc[] = {u'a', u'b', u'c'};
    EXPECT_EQ(from_utf16(0, abc, 3, false, out, 2, &m), kTECOutputBufferFullStatus);
    EXPECT_EQ(from_utf16(0x7777, abc, 3, false, out, 4, &m), kTextUnsupportedEncodingErr);
}
