// CString256 from CFString values, through CFStringGetCString and Mac Roman.
#include "vantrel/CFString.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <vector>

#include "vantrel/CFNumber.h"
#include "vantrel/CString256.h"
#include "vantrel/fault.h"

namespace {

CFStringRef create_utf8(const std::string& s) {
    return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8);
}

TEST(CFStringGetCString, ConvertsComposedToMacRomanOrFailsCleanly) {
    char buf[16];
    ASSERT_TRUE(CFStringGetCString(CFSTR("Movie"), buf, sizeof buf, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "Movie");

    // "é" composed and decomposed both become Mac Roman 0x8E.
    const UniChar decomposed[] = {'c', 'a', 'f', 'e', 0x0301};
    CFStringRef d = CFStringCreateWithCharacters(nullptr, decomposed, 5);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(CFStringGetCString(d, buf, sizeof buf, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "caf\x8E");
    // UTF-8 holds the code points as they are: the decomposed form stays
    // decomposed, and a compatibility character (U+212B ANGSTROM SIGN, which
    // NFC changes to U+00C5) stays itself.
    ASSERT_TRUE(CFStringGetCString(d, buf, sizeof buf, kCFStringEncodingUTF8));
    EXPECT_STREQ(buf, "cafe\xCC\x81");
    CFRelease(d);
    const UniChar angstrom[] = {0x212B};
    CFStringRef a = CFStringCreateWithCharacters(nullptr, angstrom, 1);
    ASSERT_TRUE(CFStringGetCString(a, buf, sizeof buf, kCFStringEncodingUTF8));
    EXPECT_STREQ(buf, "\xE2\x84\xAB");
    CFRelease(a);

    // Exactly fitting with the terminator, one too long, no mapping.
    ASSERT_TRUE(CFStringGetCString(CFSTR("abc"), buf, 4, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "abc");
    std::memset(buf, 'z', sizeof buf);
    EXPECT_FALSE(CFStringGetCString(CFSTR("abcd"), buf, 4, kCFStringEncodingMacRoman));
    EXPECT_EQ(buf[0], '\0') << "a failed conversion leaves an empty string";
    EXPECT_EQ(buf[4], 'z') << "nothing beyond the given size";
    CFStringRef cjk = create_utf8("\xe6\x97\xa5\xe6\x9c\xac");
    ASSERT_NE(cjk, nullptr);
    EXPECT_FALSE(CFStringGetCString(cjk, buf, sizeof buf, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "");
    ASSERT_TRUE(CFStringGetCString(cjk, buf, sizeof buf, kCFStringEncodingUTF8));
    EXPECT_STREQ(buf, "\xe6\x97\xa5\xe6\x9c\xac");
    CFRelease(cjk);

    EXPECT_FALSE(CFStringGetCString(CFSTR("x"), buf, 0, kCFStringEncodingMacRoman));
    EXPECT_FALSE(CFStringGetCString(nullptr, buf, sizeof buf, kCFStringEncodingMacRoman));
    // Another kind of object is not an empty string: no conversion.
    std::memset(buf, 'z', sizeof buf);
    EXPECT_FALSE(CFStringGetCString(reinterpret_cast<CFStringRef>(kCFBooleanTrue), buf, sizeof buf,
                                    kCFStringEncodingUTF8));
    EXPECT_STREQ(buf, "");
    EXPECT_FALSE(CFStringGetCString(CFSTR("x"), buf, sizeof buf, 0x7777));
}

TEST(CString256FromCF, AssignAndAppend) {
    CString256 s;
    s = "old";
    s = CFSTR("Movie Info");
    EXPECT_STREQ(s.text, "Movie Info");
    s += CFSTR(": ");
    CFStringRef cafe = create_utf8("caf\xc3\xa9");
    s += cafe;
    EXPECT_STREQ(s.text, "Movie Info: caf\x8E");
    CFRelease(cafe);

    std::string x255(255, 'x');
    CFStringRef fits = create_utf8(x255);
    s = fits;
    EXPECT_EQ(std::string(s.text), x255);
    CFRelease(fits);

    // Too long or unmappable: assignment leaves "", append adds nothing.
    CFStringRef longer = create_utf8(std::string(256, 'y'));
    s = longer;
    EXPECT_STREQ(s.text, "");
    s = "keep";
    s += longer;
    EXPECT_STREQ(s.text, "keep");
    CFRelease(longer);

    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("CFStringGetCString", 1, ioErr);
    s = CFSTR("lost");
    EXPECT_STREQ(s.text, "");
}

// Only a string that can fit is converted: NFC composes at most four UTF-16
// units into one, and every encoding needs a byte per composed unit, so a
// longer string is refused before any work or memory grows with its length.
TEST(CFStringGetCString, RefusesWhatCannotFitBeforeConverting) {
    const std::size_t units = 20'000'000;
    // The characters are built in memory of their own and given back before
    // the measurement, so that only the conversion can raise the peak.
    void* mem = mmap(nullptr, units * sizeof(UniChar), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* chars = static_cast<UniChar*>(mem);
    for (std::size_t i = 0; i < units; ++i) chars[i] = 'a';
    CFStringRef huge = CFStringCreateWithCharacters(nullptr, chars, static_cast<CFIndex>(units));
    munmap(mem, units * sizeof(UniChar));
    ASSERT_NE(huge, nullptr);

    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    CString256 s;
    s = "keep";
    s = huge;
    EXPECT_STREQ(s.text, "");
    s = "keep";
    s += huge;
    EXPECT_STREQ(s.text, "keep");
    char buf[4096];
    EXPECT_FALSE(CFStringGetCString(huge, buf, sizeof buf, kCFStringEncodingUTF8));
    EXPECT_STREQ(buf, "");
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024)
        << "KiB of peak memory added by conversions that were refused";
    CFRelease(huge);

    // What fits still converts: two units per Mac Roman letter once
    // composed; in UTF-8, which keeps the units, three bytes per pair.
    std::vector<UniChar> accents;
    for (int i = 0; i < 255; ++i) accents.insert(accents.end(), {'e', 0x0301});
    CFStringRef decomposed = CFStringCreateWithCharacters(nullptr, accents.data(), 510);
    s = decomposed;
    EXPECT_EQ(std::string(s.text), std::string(255, '\x8E'));
    std::string want;
    for (int i = 0; i < 255; ++i) want += "e\xCC\x81";
    ASSERT_TRUE(CFStringGetCString(decomposed, buf, 766, kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(buf), want);
    EXPECT_FALSE(CFStringGetCString(decomposed, buf, 765, kCFStringEncodingUTF8));
    CFRelease(decomposed);
}

}  // namespace
