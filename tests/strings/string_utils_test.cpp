// STRSTR, STRNCMP, reverse, the itoa family and switchIt.
#include <gtest/gtest.h>

#include <cctype>
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

void PrintTo(const SearchRow& r, std::ostream* os) {
    *os << shown(r.text) << " / " << shown(r.pattern);
}

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

INSTANTIATE_TEST_SUITE_P(
    Rows, StrstrTable,
    ::testing::Values(
        SearchRow{"Hello World", "WORLD", 6}, SearchRow{"Hello World", "", 0}, SearchRow{"", "", 0},
        SearchRow{"", "a", -1}, SearchRow{"aab", "ab", 1}, SearchRow{"ab", "abc", -1},
        SearchRow{"abcabd", "ABD", 3}, SearchRow{"xAbAbAc", "abac", 3},
        SearchRow{"MOVIE.mov", "e.M", 4}, SearchRow{"aaaa", "aaaaa", -1}, SearchRow{"abc", "C", 2},
        // Bytes that differ only above 0x7F are not folded in the C locale.
        SearchRow{"caf\xc3\xa9", "\xc3\x89", -1}, SearchRow{"caf\xc3\xa9!", "\xc3\xa9!", 3},
        // Longer than one 16-byte block, with high bytes among the candidates.
        SearchRow{"0123456789abcdefghijXYZ-tail", "xyz-T", 20},
        SearchRow{"\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9\xc9nEEDLE",
                  "needle", 17},
        SearchRow{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "AB", 38},
        SearchRow{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "AB", -1}));

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
    ::testing::Values(
        CompareRow{"abc", "ABD", 2, 0}, CompareRow{"abc", "ABD", 3, 'c' - 'D'},
        CompareRow{"abc", "ABC", 10, 0}, CompareRow{"x", "y", 0, 0},
        CompareRow{"a", "B", 1, 'a' - 'B'}, CompareRow{"ab", "abc", 5, -'c'},
        CompareRow{"abc", "ab", 5, 'c'},
        // A negative count runs to the first difference or the common end.
        CompareRow{"same-length-text", "SAME-LENGTH-TEXT", -1, 0},
        CompareRow{"prefix-then-x", "PREFIX-THEN-y", -7, 'x' - 'y'},
        CompareRow{"\xff", "\x01", 1, 0xff - 0x01},
        // Past one 16-byte block: differences, high bytes and ends inside later blocks.
        CompareRow{"the quick brown fox jumps", "THE QUICK BROWN FOX JUMPS", -1, 0},
        CompareRow{"the quick brown fox jumpX", "THE QUICK BROWN FOX JUMPS", 255, 'X' - 'S'},
        CompareRow{"0123456789abcdef\xe9zz", "0123456789ABCDEF\xe9ZZ", 100, 0},
        CompareRow{"0123456789abcdef\xe9zz", "0123456789ABCDEF\xc9ZZ", 100, 0xe9 - 0xc9},
        CompareRow{"0123456789abcdefg", "0123456789abcdef", 100, 'g'},
        CompareRow{"0123456789abcdefXY", "0123456789ABCDEFxz", 17, 0},
        CompareRow{"0123456789abcdefXY", "0123456789ABCDEFxz", 18, 'Y' - 'z'}));

// The block-wise paths against a plain byte-by-byte reading of the rules, at
// every alignment and across block boundaries.
TEST(FreeFunctionsAgainstPlainScan, EveryAlignmentAndLength) {
    auto ref_find = [](const std::string& t, const std::string& p) -> long {
        for (std::size_t i = 0; i + p.size() <= t.size(); ++i) {
            std::size_t k = 0;
            while (k < p.size() && std::toupper(static_cast<unsigned char>(t[i + k])) ==
                                       std::toupper(static_cast<unsigned char>(p[k])))
                ++k;
            if (k == p.size()) return static_cast<long>(i);
        }
        return -1;
    };
    const std::string alphabet = "aAbB.\xe9\xc9-";
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 3000; ++round) {
        std::size_t tl = next() % 70, pl = 1 + next() % 4;
        std::string t, p;
        for (std::size_t i = 0; i < tl; ++i) t += alphabet[(next() >> 8) % alphabet.size()];
        for (std::size_t i = 0; i < pl; ++i) p += alphabet[(next() >> 8) % alphabet.size()];
        // Exact-size heap copies at a varying offset.
        std::size_t off = next() % 16;
        std::vector<char> tb(off + t.size() + 1), pb(p.size() + 1);
        std::memcpy(tb.data() + off, t.c_str(), t.size() + 1);
        std::memcpy(pb.data(), p.c_str(), p.size() + 1);
        const char* hit = STRSTR(tb.data() + off, pb.data());
        ASSERT_EQ(hit == nullptr ? -1L : hit - (tb.data() + off), ref_find(t, p))
            << t << " / " << p;

        std::string u = t;
        if (!u.empty() && next() % 2)
            u[next() % u.size()] = alphabet[(next() >> 8) % alphabet.size()];
        for (char& c : u)
            if (next() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::vector<char> ub(u.size() + 1);
        std::memcpy(ub.data(), u.c_str(), u.size() + 1);
        int n = static_cast<int>(next() % 80) - 5;
        int want = 0;
        for (std::size_t i = 0; n < 0 || i < static_cast<std::size_t>(n); ++i) {
            unsigned char ca = i < t.size() ? t[i] : 0, cb = i < u.size() ? u[i] : 0;
            if (std::toupper(ca) != std::toupper(cb)) {
                want = ca - cb;
                break;
            }
            if (ca == 0) break;
        }
        ASSERT_EQ(STRNCMP(tb.data() + off, ub.data(), n), want) << t << " / " << u << " n=" << n;
    }
}

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
    const long values[] = {
        0,          1,        -1,       9,     -9,     10,          -10,        12,
        -12,        123,      -123,     12345, -12345, 99999999999, 2147483647, -2147483647 - 1,
        4294967295, LONG_MAX, LONG_MIN, -100,  100};
    constexpr int kGuard = 16;
    for (long v : values) {
        std::vector<unsigned char> mem(kGuard + 40 + kGuard, 0xA5);
        char* buf = reinterpret_cast<char*>(mem.data() + kGuard);
        itoa(buf, static_cast<short>(size), v);
        for (int i = 0; i < kGuard; ++i)
            ASSERT_EQ(mem[i], 0xA5) << "byte before the buffer, value " << v;
        for (std::size_t i = kGuard + (size > 0 ? size : 0); i < mem.size(); ++i)
            ASSERT_EQ(mem[i], 0xA5)
                << "byte " << i - kGuard << " past size " << size << ", value " << v;
        if (size > 0) {
            EXPECT_EQ(std::string(buf), expected_bounded(v, size))
                << "value " << v << " size " << size;
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
