// The one UTF-8/UTF-16 conversion (vantrel/UTF.h) on the hard cases, as
// every API that converts through it sees them: the refusing form (the
// text layer's names and paths, CFStringCreateWithBytes), the replacing
// ones (strings made from UTF-8 inside the library, CFSTR literals, the
// File Manager's shown names), and ICU's converter with a substitution
// character, which follows the same recommended practice and is the
// independent check.
#include "vantrel/UTF.h"

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <optional>
#include <string>
#include <string_view>

#include "cf/objects.h"
#include "cf/plist.h"  // parse_plist
#include "text/codec.h"
#include "vantrel/CoreFoundation.h"

namespace {

namespace utf = vantrel::utf;

std::u16string units_of(CFStringRef s) {
    std::u16string out(static_cast<std::size_t>(CFStringGetLength(s)), u'\0');
    CFStringGetCharacters(s, CFRangeMake(0, CFStringGetLength(s)),
                          reinterpret_cast<UniChar*>(out.data()));
    return out;
}

std::string hex(std::u16string_view u) {
    std::string out;
    char buf[8];
    for (char16_t c : u) {
        std::snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(c));
        out += buf;
    }
    return out;
}

std::string hex(std::string_view b) {
    std::string out;
    char buf[8];
    for (char c : b) {
        std::snprintf(buf, sizeof buf, "%02X ", static_cast<unsigned char>(c));
        out += buf;
    }
    return out;
}

constexpr char16_t R = 0xFFFD;

struct Utf8Row {
    const char* what;
    std::string_view bytes;
    std::optional<std::u16string> wellFormed;  // nothing: ill-formed
    std::u16string bySubpart;                  // one U+FFFD per maximal subpart
    std::u16string byByte;                     // one U+FFFD per byte
};

const Utf8Row kUtf8Rows[] = {
    {"NUL inside", std::string_view("a\0b", 3), std::u16string(u"a\0b", 3),
     std::u16string(u"a\0b", 3), std::u16string(u"a\0b", 3)},
    {"U+007F, the last single byte", "\x7F", u"\x7F", u"\x7F", u"\x7F"},
    {"U+0080", "\xC2\x80", u"\x80", u"\x80", u"\x80"},
    {"U+07FF, the last of two bytes", "\xDF\xBF", u"\u07FF", u"\u07FF", u"\u07FF"},
    {"U+0800", "\xE0\xA0\x80", u"\u0800", u"\u0800", u"\u0800"},
    {"U+D7FF, below the surrogates", "\xED\x9F\xBF", u"\uD7FF", u"\uD7FF", u"\uD7FF"},
    {"U+E000, above them", "\xEE\x80\x80", u"\uE000", u"\uE000", u"\uE000"},
    {"U+FFFF, the last of three bytes", "\xEF\xBF\xBF", u"\uFFFF", u"\uFFFF", u"\uFFFF"},
    {"U+10000", "\xF0\x90\x80\x80", u"\U00010000", u"\U00010000", u"\U00010000"},
    {"U+10FFFF, the last", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", u"\U0010FFFF", u"\U0010FFFF"},
    {"overlong NUL", "\xC0\x80", std::nullopt, {R, R}, {R, R}},
    {"overlong U+007F", "\xC1\xBF", std::nullopt, {R, R}, {R, R}},
    {"overlong '/' in three bytes", "\xE0\x80\xAF", std::nullopt, {R, R, R}, {R, R, R}},
    {"overlong U+FFFF in four bytes", "\xF0\x8F\xBF\xBF", std::nullopt, {R, R, R, R}, {R, R, R, R}},
    {"a high surrogate", "\xED\xA0\x80", std::nullopt, {R, R, R}, {R, R, R}},
    {"a low surrogate", "\xED\xBF\xBF", std::nullopt, {R, R, R}, {R, R, R}},
    {"a surrogate pair spelt as two characters",
     "\xED\xA0\xBD\xED\xB8\x80",
     std::nullopt,
     {R, R, R, R, R, R},
     {R, R, R, R, R, R}},
    {"past U+10FFFF (F4 90)", "\xF4\x90\x80\x80", std::nullopt, {R, R, R, R}, {R, R, R, R}},
    {"a lead byte past F4", "\xF5\x80\x80\x80", std::nullopt, {R, R, R, R}, {R, R, R, R}},
    {"FF", "\xFF", std::nullopt, {R}, {R}},
    {"a lone continuation byte", "\x80", std::nullopt, {R}, {R}},
    {"three bytes cut at the end", "\xE2\x82", std::nullopt, {R}, {R, R}},
    {"three bytes cut by a letter", "\xE2\x82Z", std::nullopt, {R, 'Z'}, {R, R, 'Z'}},
    {"four bytes cut by a letter", "\xF0\x9F\x98x", std::nullopt, {R, 'x'}, {R, R, R, 'x'}},
    {"a good character, then a bad byte", "\xC3\xA9\xFF", std::nullopt, u"\u00E9\uFFFD",
     u"\u00E9\uFFFD"},
};

TEST(Utf, Utf8ToUtf16HardCasesAlikeInEveryApi) {
    for (const Utf8Row& row : kUtf8Rows) {
        SCOPED_TRACE(row.what);
        std::u16string strict;
        const bool ok = utf::utf8_to_utf16(row.bytes, &strict, utf::Invalid::Refuse);
        EXPECT_EQ(ok, row.wellFormed.has_value());
        if (ok) {
            EXPECT_EQ(hex(strict), hex(*row.wellFormed));
        }
        EXPECT_EQ(utf::invalid_utf8_at(row.bytes) == std::string_view::npos, ok);
        std::u16string sub, each;
        EXPECT_TRUE(utf::utf8_to_utf16(row.bytes, &sub, utf::Invalid::ReplaceSubpart));
        EXPECT_TRUE(utf::utf8_to_utf16(row.bytes, &each, utf::Invalid::ReplaceEachUnit));
        EXPECT_EQ(hex(sub), hex(row.bySubpart));
        EXPECT_EQ(hex(each), hex(row.byByte));

        // The text layer's names and paths refuse.
        std::u16string names;
        EXPECT_EQ(vantrel::text::utf8_to_utf16(row.bytes, &names), ok ? noErr : bdNamErr);
        if (ok) {
            EXPECT_EQ(hex(names), hex(*row.wellFormed));
        }
        // So does CFStringCreateWithBytes.
        CFStringRef made = CFStringCreateWithBytes(
            nullptr, reinterpret_cast<const UInt8*>(row.bytes.data()),
            static_cast<CFIndex>(row.bytes.size()), kCFStringEncodingUTF8, false);
        EXPECT_EQ(made != nullptr, ok);
        if (made != nullptr) {
            EXPECT_EQ(hex(units_of(made)), hex(*row.wellFormed));
            CFRelease(made);
        }
        // Strings made inside the library replace by subpart.
        CFStringRef replaced = vantrel::cf::string_from_utf8(row.bytes);
        EXPECT_EQ(hex(units_of(replaced)), hex(row.bySubpart));
        CFRelease(replaced);
        // And so does ICU, given a substitution character.
        UChar icu[64];
        int32_t len = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strFromUTF8WithSub(icu, 64, &len, row.bytes.data(),
                             static_cast<int32_t>(row.bytes.size()), 0xFFFD, nullptr, &err);
        ASSERT_TRUE(U_SUCCESS(err)) << u_errorName(err);
        EXPECT_EQ(hex(std::u16string_view(reinterpret_cast<const char16_t*>(icu),
                                          static_cast<std::size_t>(len))),
                  hex(row.bySubpart))
            << "ICU replaces otherwise";
    }
}

// A CFSTR literal is decoded at compile time by the same decoder: the same
// units as a string made at run time from the same bytes.
TEST(Utf, LiteralsDecodeAsRunTimeStrings) {
    struct Row {
        CFStringRef literal;
        std::string_view bytes;
    };
    const Row rows[] = {
        {CFSTR("\x7F"), "\x7F"},
        {CFSTR("\xDF\xBF"), "\xDF\xBF"},
        {CFSTR("\xEF\xBF\xBF"), "\xEF\xBF\xBF"},
        {CFSTR("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF"},
        {CFSTR("\xC0\x80"), "\xC0\x80"},
        {CFSTR("\xC1\xBF"), "\xC1\xBF"},
        {CFSTR("\xE0\x80\xAF"), "\xE0\x80\xAF"},
        {CFSTR("\xF0\x8F\xBF\xBF"), "\xF0\x8F\xBF\xBF"},
        {CFSTR("\xED\xA0\x80"), "\xED\xA0\x80"},
        {CFSTR("\xF4\x90\x80\x80"), "\xF4\x90\x80\x80"},
        {CFSTR("\xF5\x80\x80\x80"), "\xF5\x80\x80\x80"},
        {CFSTR("\xE2\x82"), "\xE2\x82"},
        {CFSTR("\xE2\x82Z"), "\xE2\x82Z"},
        {CFSTR("\xF0\x9F\x98x"), "\xF0\x9F\x98x"},
        {CFSTR("\xC3\xA9\xFF"), "\xC3\xA9\xFF"},
    };
    for (const Row& row : rows) {
        CFStringRef made = vantrel::cf::string_from_utf8(row.bytes);
        EXPECT_EQ(hex(units_of(row.literal)), hex(units_of(made))) << hex(row.bytes);
        CFRelease(made);
    }
}

struct Utf16Row {
    const char* what;
    std::u16string units;
    std::optional<std::string> wellFormed;  // nothing: a lone surrogate
    std::string replaced;                   // each lone surrogate as U+FFFD
    bool xml;                               // a property list's text can hold it
};

const std::string kR = "\xEF\xBF\xBD";

const Utf16Row kUtf16Rows[] = {
    {"a NUL unit", std::u16string(u"a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3),
     false},
    {"U+007F", u"\x7F", "\x7F", "\x7F", false},
    {"U+07FF", u"\u07FF", "\xDF\xBF", "\xDF\xBF", true},
    {"U+FFFD itself", u"\uFFFD", kR, kR, true},
    {"U+FFFF", u"\uFFFF", "\xEF\xBF\xBF", "\xEF\xBF\xBF", false},
    {"a pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", true},
    {"U+10FFFF", u"\U0010FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", true},
    {"a lone high surrogate", {0xD800}, std::nullopt, kR, false},
    {"a lone low surrogate", {0xDC00}, std::nullopt, kR, false},
    {"a reversed pair", {0xDC00, 0xD800}, std::nullopt, kR + kR, false},
    {"a high surrogate before a letter", {0xD800, 'A'}, std::nullopt, kR + "A", false},
    {"two highs, then a low",
     {0xD800, 0xD800, 0xDC00},
     std::nullopt,
     kR + "\xF0\x90\x80\x80",
     false},
};

TEST(Utf, Utf16ToUtf8HardCasesAlikeInEveryApi) {
    for (const Utf16Row& row : kUtf16Rows) {
        SCOPED_TRACE(row.what);
        std::string strict;
        const bool ok = utf::utf16_to_utf8(row.units, &strict, utf::Invalid::Refuse);
        EXPECT_EQ(ok, row.wellFormed.has_value());
        if (ok) {
            EXPECT_EQ(hex(strict), hex(*row.wellFormed));
        }
        std::string replaced, each;
        EXPECT_TRUE(utf::utf16_to_utf8(row.units, &replaced, utf::Invalid::ReplaceSubpart));
        EXPECT_TRUE(utf::utf16_to_utf8(row.units, &each, utf::Invalid::ReplaceEachUnit));
        EXPECT_EQ(hex(replaced), hex(row.replaced));
        EXPECT_EQ(hex(each), hex(row.replaced));

        const auto* u = reinterpret_cast<const UniChar*>(row.units.data());
        std::string names;
        EXPECT_EQ(vantrel::text::utf16_to_utf8(u, row.units.size(), &names), ok ? noErr : bdNamErr);
        if (ok) {
            EXPECT_EQ(hex(names), hex(*row.wellFormed));
        }
        // A CFString holds any units; its UTF-8 form replaces, and a property
        // list refuses to store what it cannot read back.
        CFStringRef s =
            CFStringCreateWithCharacters(nullptr, u, static_cast<CFIndex>(row.units.size()));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(hex(units_of(s)), hex(row.units));
        EXPECT_EQ(hex(vantrel::cf::to_utf8(s)), hex(row.replaced));
        // A property list's text holds the well-formed ones (the preference
        // store refuses to write the others), and they read back as they were.
        if (row.xml) {
            const std::string doc = "<plist><string>" + *row.wellFormed + "</string></plist>";
            CFTypeRef back = vantrel::cf::parse_plist(doc);
            ASSERT_NE(back, nullptr) << doc;
            EXPECT_EQ(hex(units_of(static_cast<CFStringRef>(back))), hex(row.units));
            CFRelease(back);
        }
        CFRelease(s);
        char icu[64];
        int32_t len = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strToUTF8WithSub(icu, 64, &len, reinterpret_cast<const UChar*>(row.units.data()),
                           static_cast<int32_t>(row.units.size()), 0xFFFD, nullptr, &err);
        ASSERT_TRUE(U_SUCCESS(err)) << u_errorName(err);
        EXPECT_EQ(hex(std::string_view(icu, static_cast<std::size_t>(len))), hex(row.replaced))
            << "ICU replaces otherwise";
    }
}

// Decoding takes each character whole or, where it is ill-formed, its
// maximal subpart: never past the end, never less than one unit.
TEST(Utf, DecodersTakeAtLeastOneUnitAndNeverPassTheEnd) {
    for (int b0 = 0; b0 < 256; ++b0) {
        for (int b1 = 0; b1 < 256; ++b1) {
            const char s[2] = {static_cast<char>(b0), static_cast<char>(b1)};
            for (std::size_t n : {std::size_t{1}, std::size_t{2}}) {
                const utf::Decoded d = utf::decode_utf8(s, n);
                ASSERT_GE(d.len, 1u);
                ASSERT_LE(d.len, n);
                if (d.ok) {
                    char back[4];
                    ASSERT_EQ(utf::encode_utf8(d.cp, back), d.len);
                    ASSERT_EQ(std::string_view(back, d.len), std::string_view(s, d.len));
                }
            }
        }
    }
    static_assert(utf::decode_utf8("\xF4\x8F\xBF\xBF", 4).cp == 0x10FFFF);
    static_assert(!utf::decode_utf8("\xF4\x90\x80\x80", 4).ok);
    static_assert(utf::decode_utf8("\xF4\x90\x80\x80", 4).len == 1);
    static_assert(utf::decode_utf8("\xF0\x9F\x98", 3).len == 3);
}

}  // namespace
