#include "text.h"

#include <gtest/gtest.h>

#include <string>

using namespace fmutil;

TEST(FmutilText, Utf8ToUtf16AcceptsWellFormedAndRejectsMalformed) {
    EXPECT_EQ(utf8_to_utf16("abc"), std::u16string(u"abc"));
    EXPECT_EQ(utf8_to_utf16("caf\xC3\xA9"), std::u16string(u"caf\u00E9"));
    EXPECT_EQ(utf8_to_utf16("\xE2\x82\xAC"), std::u16string(u"\u20AC"));
    // U+1F600 needs a surrogate pair.
    EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), std::u16string(u"\U0001F600"));
    EXPECT_EQ(utf8_to_utf16(""), std::u16string());

    for (const char* bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xFF", "a\x80z", "\xE2\x82"}) {
        EXPECT_FALSE(utf8_to_utf16(bad).has_value()) << "accepted malformed input";
    }
}

TEST(FmutilText, Utf16ToUtf8RoundTripsAndReplacesLoneSurrogates) {
    for (const char* s : {"plain", "caf\xC3\xA9", "\xE2\x82\xAC\xF0\x9F\x98\x80x"}) {
        auto u = utf8_to_utf16(s);
        ASSERT_TRUE(u.has_value());
        EXPECT_EQ(utf16_to_utf8(*u), s);
    }
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xD800') + u"a"),
              "\xEF\xBF\xBD"
              "a");
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
}

TEST(FmutilText, PosixNamesSwapColonAndSlashAndRefuseNonNames) {
    EXPECT_EQ(posix_name_to_unicode("a:b"), std::u16string(u"a/b"));
    for (const char* bad : {"", ".", "..", "a/b", "/", "\xC3"}) {
        EXPECT_FALSE(posix_name_to_unicode(bad).has_value()) << "accepted '" << bad << "'";
    }
    EXPECT_TRUE(posix_name_to_unicode("...").has_value());

    HFSUniStr255 n{};
    const std::u16string units = u"x/y\u00E9";
    n.length = static_cast<UInt16>(units.size());
    std::copy(units.begin(), units.end(), n.unicode);
    std::string out = "dir/";
    append_unicode_name_as_posix(out, n);
    EXPECT_EQ(out, "dir/x:y\xC3\xA9") << "only the name's own slash becomes a colon";
}

TEST(FmutilText, OSTypeFormatAndParseAreInverse) {
    struct Row {
        OSType code;
        const char* text;
    };
    const Row rows[] = {
        {0x54455854, "TEXT"},          {0x4D504720, "MPG "}, {0x00000001, "\\x00\\x00\\x00\\x01"},
        {0x415C4243, "A\\\\BC"},   // a backslash byte
        {0xA9746F6D, "\\xA9tom"},  // Mac Roman high byte
        {0x7F0A2022, "\\x7F\\x0A \""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(format_ostype(r.code), r.text);
        auto parsed = parse_ostype(r.text);
        ASSERT_TRUE(parsed.has_value()) << r.text;
        EXPECT_EQ(*parsed, r.code) << r.text;
    }
    EXPECT_EQ(parse_ostype("\\xa9tom"), 0xA9746F6Du) << "lower-case hex is accepted";
    for (const char* bad :
         {"", "ABC", "ABCDE", "\\x4", "\\xZZAB", "AB\\", "\\qABC", "caf\xC3\xA9"}) {
        EXPECT_FALSE(parse_ostype(bad).has_value()) << "accepted '" << bad << "'";
    }
}

TEST(FmutilText, DatesAreUtcFromThe1904Epoch) {
    UTCDateTime d{};
    EXPECT_FALSE(date_is_set(d));
    d.lowSeconds = 2082844800u;  // 1970-01-01
    EXPECT_EQ(format_date(d), "1970-01-01T00:00:00Z");
    d.lowSeconds = 0;
    d.highSeconds = 0;
    d.lowSeconds = 1;
    EXPECT_EQ(format_date(d), "1904-01-01T00:00:01Z");
    // 2040-01-01: past the 32-bit seconds of the old date format.
    const std::uint64_t s = 2082844800ull + 2208988800ull;
    d.highSeconds = static_cast<UInt16>(s >> 32);
    d.lowSeconds = static_cast<UInt32>(s);
    d.fraction = 0x8000;
    EXPECT_EQ(format_date(d), "2040-01-01T00:00:00.5Z");
}

// What touch --date accepts: each row parsed and printed back, or refused.
TEST(FmutilText, Iso8601DatesParseToWhatFormatPrints) {
    struct Row {
        const char* in;
        const char* out;  // nullptr: refused
    };
    const Row rows[] = {
        {"2026-12-07", "2026-12-07T00:00:00Z"},
        {"2026-12-07T22:10", "2026-12-07T22:10:00Z"},
        {"2026-12-07T22:10:40Z", "2026-12-07T22:10:40Z"},
        {"2026-12-07 22:10:40.5", "2026-12-07T22:10:40.5Z"},
        {"2026-12-07T23:10:40+01:00", "2026-12-07T22:10:40Z"},
        {"2026-12-07T21:10:40-0100", "2026-12-07T22:10:40Z"},
        {"1904-01-01T00:00:01Z", "1904-01-01T00:00:01Z"},
        {"1930-06-15", "1930-06-15T00:00:00Z"},            // before the 32-bit POSIX range
        {"2100-02-28T12:00:00Z", "2100-02-28T12:00:00Z"},  // after 2038
        {"2024-02-29", "2024-02-29T00:00:00Z"},
        {"1903-12-31T23:59:59Z", nullptr},  // before the epoch of the date format
        {"2100-02-29", nullptr},            // not a leap year
        {"2026-13-01", nullptr},
        {"2026-12-07T24:00", nullptr},
        {"2026-12-07T22:10:40Zjunk", nullptr},
        {"2026-12-07T", nullptr},
        {"26-12-07", nullptr},
        {"", nullptr},
        {"yesterday", nullptr},
    };
    for (const Row& r : rows) {
        auto d = parse_date(r.in);
        if (r.out == nullptr) {
            EXPECT_FALSE(d.has_value()) << r.in;
        } else {
            ASSERT_TRUE(d.has_value()) << r.in;
            EXPECT_EQ(format_date(*d), r.out) << r.in;
        }
    }
}

TEST(FmutilText, EscapingForTerminalAndJson) {
    std::string t;
    append_terminal_safe(t, std::string("a\x1b[2Jb\\\n\x7F\xC3\xA9", 11));
    EXPECT_EQ(t, "a\\x1B[2Jb\\\\\\x0A\\x7F\xC3\xA9");

    std::string j;
    append_json_string(j, std::string("q\"b\\\n\x01\xC3\xA9\xFF", 9));
    EXPECT_EQ(j, "\"q\\\"b\\\\\\n\\u0001\xC3\xA9\\uFFFD\"");
}

// Each row as GNU rm -v printed the same name on this machine.
TEST(FmutilText, ShellQuotingReadsAsRmVerbosePrintsIt) {
    struct Row {
        std::string in;
        const char* out;
    };
    const Row rows[] = {
        {"f", "'f'"},
        {"a/sub", "'a/sub'"},
        {"a/q'x", "\"a/q'x\""},
        {"q'a b", "\"q'a b\""},
        {"q'\xC3\xA9", "\"q'\xC3\xA9\""},
        {"q'x#", "'q'\\''x#'"},
        {"q'#x", "'q'\\''#x'"},
        {"q'~x", "'q'\\''~x'"},
        {"a/n\nl", "'a/n'$'\\n''l'"},
        {"a/bad\xFF", "'a/bad'$'\\377'"},
        {"q\x01", "'q'$'\\001'"},
        {"\n\nx", "''$'\\n\\n''x'"},
        {"\xC2\x80x", "''$'\\302\\200''x'"},
        {"a/\xC3\xA9t\xC3\xA9", "'a/\xC3\xA9t\xC3\xA9'"},
    };
    for (const Row& r : rows) {
        std::string out;
        append_shell_quoted(out, r.in);
        EXPECT_EQ(out, r.out) << r.in;
    }
}
