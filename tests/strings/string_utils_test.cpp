// STRSTR, STRNCMP, reverse, the itoa family and switchIt.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vantrel/StringUtils.h"
#include "vantrel/fault.h"

namespace {

// Test names carry the row; bytes outside printable ASCII are written as \xNN.
std::string shown(const char* s) {
    std::string out = "\"";
    for (const char* p = s; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7f) {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += *p;
        }
    }
    return out + "\"";
}

struct SearchRow {
    const char* text;
    const char* pattern;
    long at;  // -1: not found
};

void PrintTo(const SearchRow& r, std::ostream* os) { *os << shown(r.text) << " / " << shown(r.pattern); }

class StrstrTable : public ::testing::TestWithParam<SearchRow> {};

TEST_P(StrstrTable, FindsLeftmostCaseInsensitiveOccurrence) {
    const SearchRow& r = GetParam();
    const char* hit = STRSTR(r.text, r.pattern);
    if (r.at < 0) {
        EXPECT_EQ(hit, nullptr);
    } else {
        EXPECT_EQ(hit, r.text + r.at);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StrstrTable,
                         ::testing::Values(SearchRow{"Hello World", "WORLD", 6}, SearchRow{"Hello World", "", 0},
                                           SearchRow{"", "", 0}, SearchRow{"", "a", -1}, SearchRow{"aab", "ab", 1},
                                           SearchRow{"ab", "abc", -1}, SearchRow{"abcabd", "ABD", 3},
                                           SearchRow{"xAbAbAc", "abac", 3}, SearchRow{"MOVIE.mov", "e.M", 4},
                                           SearchRow{"aaaa", "aaaaa", -1}, SearchRow{"abc", "C", 2},
                                           // Bytes that differ only above 0x7F are not folded in the C locale.
                                           SearchRow{"caf\xc3\xa9", "\xc3\x89", -1},
                                           SearchRow{"caf\xc3\xa9!", "\xc3\xa9!", 3}));

struct CompareRow {
    const char* a;
    const char* b;
    int n;
    int expected;
};

void PrintTo(const CompareRow& r, std::ostream* os) {
    *os << shown(r.a) << " / " << shown(r.b) << " n=" << r.n;
}

class StrncmpTable : public ::testing::TestWithParam<CompareRow> {};

TEST_P(StrncmpTable, ComparesFoldedButReturnsRawDifference) {
    const CompareRow& r = GetParam();
    EXPECT_EQ(STRNCMP(r.a, r.b, r.n), r.expected) << r.a << " vs " << r.b << " n=" << r.n;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StrncmpTable,
    ::testing::Values(CompareRow{"abc", "ABD", 2, 0}, CompareRow{"abc", "ABD", 3, 'c' - 'D'},
                      CompareRow{"abc", "ABC", 10, 0}, CompareRow{"x", "y", 0, 0}, CompareRow{"a", "B", 1, 'a' - 'B'},
                      CompareRow{"ab", "abc", 5, -'c'}, CompareRow{"abc", "ab", 5, 'c'},
                      // A negative count runs to the first difference or the common end.
                      CompareRow{"same-length-text", "SAME-LENGTH-TEXT", -1, 0},
                      CompareRow{"prefix-then-x", "PREFIX-THEN-y", -7, 'x' - 'y'},
                      CompareRow{"\xff", "\x01", 1, 0xff - 0x01}));

TEST(Reverse, SwapsFromBothEndsAndToleratesNullAndEmpty) {
    char odd[] = "abc";
    char even[] = "abcd";
    char empty[] = "";
    char one[] = "x";
    reverse(odd);
    reverse(even);
    reverse(empty);
    reverse(one);
    reverse(nullptr);
    EXPECT_STREQ(odd, "cba");
    EXPECT_STREQ(even, "dcba");
    EXPECT_STREQ(empty, "");
    EXPECT_STREQ(one, "x");
}

TEST(SwitchIt, ExchangesTwoCharacters) {
    char s[] = "abc";
    switchIt(s, 0, 2);
    EXPECT_STREQ(s, "cba");
    switchIt(s, 1, 1);
    EXPECT_STREQ(s, "cba");
}

// The allocating forms at the extremes of each type; every array is sized
// from the digit count (checked through ASan: a write past it would fail).
TEST(ItoaAllocating, FormatsExtremesOfEachType) {
    struct Row {
        char* got;
        const char* want;
    };
    std::vector<Row> rows = {
        {itoa(0UL), "0"},
        {itoa(4294967295UL), "4294967295"},
        {itoa(18446744073709551615UL), "18446744073709551615"},
        {itoa(0L), "0"},
        {itoa(-1L), "-1"},
        {itoa(2147483647L), "2147483647"},
        {itoa(-2147483648L), "-2147483648"},
        {itoa(LONG_MAX), "9223372036854775807"},
        {itoa(LONG_MIN), "-9223372036854775808"},
        {itoa(static_cast<short>(0)), "0"},
        {itoa(static_cast<short>(32767)), "32767"},
        {itoa(static_cast<short>(-32768)), "-32768"},
        {itoa(static_cast<short>(-7)), "-7"},
    };
    for (const Row& r : rows) {
        ASSERT_NE(r.got, nullptr);
        EXPECT_STREQ(r.got, r.want);
        delete[] r.got;
    }
}

TEST(ItoaAllocating, ReturnsNullWhenTheAllocationFails) {
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("itoa", 1, memFullErr);
    EXPECT_EQ(itoa(12L), nullptr);
    char* again = itoa(12L);
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again, "12");
    delete[] again;
}

// What the bounded form must leave in a buffer of `size` bytes: the whole text
// when it fits; otherwise the lowest-order digits that fit, after the sign for
// a negative value.
std::string expected_bounded(long v, int size) {
    if (size <= 0) return "";
    std::string full = std::to_string(v);
    const std::size_t room = static_cast<std::size_t>(size - 1);
    if (full.size() <= room) return full;
    if (v >= 0) return full.substr(full.size() - room);
    if (room == 0) return "";
    return "-" + full.substr(full.size() - (room - 1));
}

class BoundedItoa : public ::testing::TestWithParam<int> {};

TEST_P(BoundedItoa, NeverWritesPastTheGivenSize) {
    const int size = GetParam();
    const long values[] = {0,         1,         -1,          9,          -9,         10,       -10,
                           12,        -12,       123,         -123,       12345,      -12345,   99999999999,
                           2147483647, -2147483647 - 1, 4294967295, LONG_MAX, LONG_MIN, -100, 100};
    constexpr int kGuard = 16;
    for (long v : values) {
        std::vector<unsigned char> mem(kGuard + 40 + kGuard, 0xA5);
        char* buf = reinterpret_cast<char*>(mem.data() + kGuard);
        itoa(buf, static_cast<short>(size), v);
        for (int i = 0; i < kGuard; ++i) ASSERT_EQ(mem[i], 0xA5) << "byte before the buffer, value " << v;
        for (std::size_t i = kGuard + (size > 0 ? size : 0); i < mem.size(); ++i)
            ASSERT_EQ(mem[i], 0xA5) << "byte " << i - kGuard << " past size " << size << ", value " << v;
        if (size > 0) {
            EXPECT_EQ(std::string(buf), expected_bounded(v, size)) << "value " << v << " size " << size;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BoundedItoa, ::testing::Values(31, 12, 4, 3, 2, 1, 0, -5));

TEST(BoundedItoa, DocumentedExamples) {
    char b[31];
    itoa(b, 31, -123L);
    EXPECT_STREQ(b, "-123");
    itoa(b, 31, 0L);
    EXPECT_STREQ(b, "0");
    itoa(b, 3, 12345L);
    EXPECT_STREQ(b, "45");
    std::memset(b, 'z', sizeof b);
    itoa(b, 1, 0L);
    EXPECT_STREQ(b, "");
    itoa(b, 12, -2147483648L);
    EXPECT_STREQ(b, "-2147483648");
    // A negative value whose digits fill size - 1 places keeps its sign.
    itoa(b, 4, -123L);
    EXPECT_STREQ(b, "-23");
    itoa(b, 3, -12345L);
    EXPECT_STREQ(b, "-5");
    itoa(b, 2, -5L);
    EXPECT_STREQ(b, "-");
    // Size 0 writes nothing at all.
    std::memset(b, 'z', sizeof b);
    itoa(b, 0, 7L);
    EXPECT_EQ(b[0], 'z');
}

}  // namespace
