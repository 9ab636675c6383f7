// The Core Foundation object model: constant strings, type identity,
// reference counting across threads, value equality and conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "vantrel/CoreFoundation.h"

namespace {

constexpr CFStringRef kCompileTimeKey = CFSTR("Frame Count");  // must be a constant expression

std::u16string units(CFStringRef s) {
    std::u16string out(static_cast<std::size_t>(CFStringGetLength(s)), u'\0');
    CFStringGetCharacters(s, CFRangeMake(0, CFStringGetLength(s)),
                          reinterpret_cast<UniChar*>(out.data()));
    return out;
}

TEST(CFString, ConstantStringsAreImmortalAndDecodeUtf8) {
    EXPECT_EQ(CFGetTypeID(kCompileTimeKey), CFStringGetTypeID());
    EXPECT_EQ(units(kCompileTimeKey), u"Frame Count");
    // Release far more often than retained: a constant must survive.
    for (int i = 0; i < 10; ++i) CFRelease(kCompileTimeKey);
    EXPECT_EQ(CFStringGetLength(kCompileTimeKey), 11);
    EXPECT_EQ(CFRetain(kCompileTimeKey), kCompileTimeKey);
    // Same literal twice: one object per program.
    EXPECT_EQ(CFSTR("Frame Count"), kCompileTimeKey);
    EXPECT_EQ(units(CFSTR("Gr\u00f6\u00dfe \U0001F600")), u"Gr\u00f6\u00dfe \U0001F600");
    EXPECT_EQ(CFStringGetLength(CFSTR("")), 0);
}

TEST(CFString, CreatedStringsCompareEqualToConstantsAndConvert) {
    CFStringRef s = CFStringCreateWithCString(nullptr, "Frame Count", kCFStringEncodingUTF8);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(s, kCompileTimeKey);
    EXPECT_TRUE(CFEqual(s, kCompileTimeKey));
    EXPECT_EQ(CFHash(s), CFHash(kCompileTimeKey));
    CFRelease(s);

    // Mac Roman 0x8A is a-diaeresis; UTF-8 rejects a lone continuation byte.
    CFStringRef roman = CFStringCreateWithCString(nullptr, "\x8A", kCFStringEncodingMacRoman);
    ASSERT_NE(roman, nullptr);
    EXPECT_EQ(units(roman), u"\u00e4");
    CFRelease(roman);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\x8A", kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3", kCFStringEncodingASCII), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);

    // Partial and out-of-range requests are clipped, never overrun.
    UniChar buf[4] = {'x', 'x', 'x', 'x'};
    CFStringGetCharacters(kCompileTimeKey, CFRangeMake(9, 10), buf);
    EXPECT_EQ(buf[0], 'n');
    EXPECT_EQ(buf[1], 't');
    EXPECT_EQ(buf[2], 'x');
    EXPECT_EQ(CFStringGetCharacterAtIndex(kCompileTimeKey, 99), 0);
}

TEST(CFType, TypeIdsTellEveryKindApart) {
    int32_t i32 = -7;
    double dbl = 2.5;
    const UInt8 bytes[] = {1, 2, 3};
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &i32);
    CFNumberRef f = CFNumberCreate(nullptr, kCFNumberDoubleType, &dbl);
    CFDateRef d = CFDateCreate(nullptr, 12.5);
    CFDataRef data = CFDataCreate(nullptr, bytes, 3);
    CFArrayRef a = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
    CFDictionaryRef dict =
        CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    std::vector<std::pair<CFTypeRef, CFTypeID>> rows = {
        {CFSTR("s"), CFStringGetTypeID()},
        {kCFBooleanTrue, CFBooleanGetTypeID()},
        {n, CFNumberGetTypeID()},
        {f, CFNumberGetTypeID()},
        {d, CFDateGetTypeID()},
        {data, CFDataGetTypeID()},
        {a, CFArrayGetTypeID()},
        {dict, CFDictionaryGetTypeID()},
    };
    std::vector<CFTypeID> ids = {CFStringGetTypeID(),    CFBooleanGetTypeID(), CFNumberGetTypeID(),
                                 CFDateGetTypeID(),      CFDataGetTypeID(),    CFArrayGetTypeID(),
                                 CFDictionaryGetTypeID()};
    for (std::size_t i = 0; i < ids.size(); ++i)
        for (std::size_t j = i + 1; j < ids.size(); ++j) EXPECT_NE(ids[i], ids[j]);
    for (auto& [obj, id] : rows) EXPECT_EQ(CFGetTypeID(obj), id);
    EXPECT_EQ(CFGetTypeID(nullptr), 0u);

    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, n));  // a number 1 is not a boolean
    EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(d), 12.5);
    EXPECT_EQ(CFDataGetLength(data), 3);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data), bytes, 3), 0);

    int64_t back = 0;
    EXPECT_TRUE(CFNumberGetValue(n, kCFNumberSInt64Type, &back));
    EXPECT_EQ(back, -7);
    EXPECT_FALSE(CFNumberIsFloatType(n));
    EXPECT_TRUE(CFNumberIsFloatType(f));
    int32_t truncated = 0;
    EXPECT_FALSE(CFNumberGetValue(f, kCFNumberSInt32Type, &truncated));  // 2.5 loses its fraction
    EXPECT_EQ(truncated, 2);
    int8_t narrow = 0;
    int32_t big = 300;
    CFNumberRef nb = CFNumberCreate(nullptr, kCFNumberSInt32Type, &big);
    EXPECT_FALSE(CFNumberGetValue(nb, kCFNumberSInt8Type, &narrow));
    EXPECT_EQ(CFNumberCreate(nullptr, 99, &big), nullptr);

    for (CFTypeRef o : {CFTypeRef(n), CFTypeRef(f), CFTypeRef(d), CFTypeRef(data), CFTypeRef(a),
                        CFTypeRef(dict), CFTypeRef(nb)})
        CFRelease(o);
}

TEST(CFType, RetainCountsAreExactUnderContention) {
    CFStringRef s = CFStringCreateWithCString(nullptr, "shared", kCFStringEncodingUTF8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([s] {
            for (int i = 0; i < 20000; ++i) {
                CFRetain(s);
                CFRelease(s);
                CFRetain(s);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(CFGetRetainCount(s), 1 + 4 * 20000);
    for (int i = 0; i < 4 * 20000; ++i) CFRelease(s);
    EXPECT_EQ(CFGetRetainCount(s), 1);
    CFRelease(s);  // ASan reports a leak or double free if the count were off
}

TEST(CFCollections, ArraysAndDictionariesRetainAndFindByValue) {
    CFStringRef k = CFStringCreateWithCString(nullptr, "Duration", kCFStringEncodingUTF8);
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, k, kCFBooleanFalse);
    EXPECT_EQ(CFGetRetainCount(k), 2);
    // A constant with the same text finds the value stored under a created key.
    EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("Duration")), kCFBooleanFalse);
    CFDictionarySetValue(d, CFSTR("Duration"), kCFBooleanTrue);  // replaces, keeps one entry
    EXPECT_EQ(CFDictionaryGetCount(d), 1);
    EXPECT_EQ(CFDictionaryGetValue(d, k), kCFBooleanTrue);
    CFDictionaryRemoveValue(d, k);
    EXPECT_EQ(CFGetRetainCount(k), 1);
    EXPECT_FALSE(CFDictionaryContainsKey(d, k));

    CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(a, k);
    CFArrayAppendValue(a, kCFBooleanTrue);
    EXPECT_EQ(CFArrayGetCount(a), 2);
    EXPECT_EQ(CFArrayGetValueAtIndex(a, 0), k);
    EXPECT_EQ(CFArrayGetValueAtIndex(a, 5), nullptr);
    const void* vals[] = {CFSTR("Duration"), kCFBooleanTrue};
    CFArrayRef b = CFArrayCreate(nullptr, vals, 2, &kCFTypeArrayCallBacks);
    EXPECT_TRUE(CFEqual(a, b));
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(b), k);  // immutable: ignored
    EXPECT_EQ(CFArrayGetCount(b), 2);

    CFRelease(a);
    CFRelease(b);
    CFRelease(d);
    EXPECT_EQ(CFGetRetainCount(k), 1);
    CFRelease(k);
}

TEST(CFType, DescriptionsAreReadable) {
    auto text = [](CFTypeRef o) {
        CFStringRef s = CFCopyDescription(o);
        std::u16string u = units(s);
        CFRelease(s);
        return std::string(u.begin(), u.end());
    };
    int32_t v = 42;
    double half = 0.5;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    CFNumberRef h = CFNumberCreate(nullptr, kCFNumberDoubleType, &half);
    CFDateRef d = CFDateCreate(nullptr, 0);
    EXPECT_EQ(text(CFSTR("Vantrel")), "Vantrel");
    EXPECT_EQ(text(n), "42");
    EXPECT_EQ(text(h), "0.5");
    EXPECT_EQ(text(kCFBooleanTrue), "true");
    EXPECT_EQ(text(d), "2001-01-01 00:00:00 +0000");
    CFRelease(n);
    CFRelease(h);
    CFRelease(d);
}

}  // namespace
