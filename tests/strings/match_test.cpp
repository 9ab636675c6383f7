// Matching: exact, partial, approximate (bit-exact float scores), wildcard,
// match() and the adapters.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vantrel/CString256.h"

namespace {

using Member = void (CString256::*)(CString256&, float*);

float score_member(Member m, const char* text, const char* pattern) {
    CString256 t, p;
    t = text;
    p = pattern;
    float score = -1.0f;
    (t.*m)(p, &score);
    return score;
}

std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

struct Row {
    const char* text;
    const char* pattern;
    float case_score;
    float nocase_score;
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << '"' << r.text << "\" / \"" << r.pattern << '"';
}

class Exact : public ::testing::TestWithParam<Row> {};
TEST_P(Exact, WholeTextEqualsPatternAndNotEmpty) {
    const Row& r = GetParam();
    EXPECT_EQ(score_member(&CString256::match_case_exact, r.text, r.pattern), r.case_score);
    EXPECT_EQ(score_member(&CString256::match_nocase_exact, r.text, r.pattern), r.nocase_score);
}
INSTANTIATE_TEST_SUITE_P(Rows, Exact,
                         ::testing::Values(Row{"Movie", "Movie", 1, 1}, Row{"Movie", "movie", 0, 1},
                                           Row{"abc", "ab", 0, 0}, Row{"ab", "abc", 0, 0},
                                           Row{"", "", 0, 0}, Row{"a", "", 0, 0},
                                           Row{"", "a", 0, 0}, Row{"x", "x", 1, 1}));

class Partial : public ::testing::TestWithParam<Row> {};
TEST_P(Partial, PatternOccursAsContiguousRun) {
    const Row& r = GetParam();
    EXPECT_EQ(score_member(&CString256::match_case_partial, r.text, r.pattern), r.case_score);
    EXPECT_EQ(score_member(&CString256::match_nocase_partial, r.text, r.pattern), r.nocase_score);
}
INSTANTIATE_TEST_SUITE_P(Rows, Partial,
                         ::testing::Values(Row{"The Sea", "Sea", 1, 1}, Row{"The Sea", "sea", 0, 1},
                                           Row{"The Sea", "xyz", 0, 0}, Row{"The Sea", "", 0, 0},
                                           Row{"", "a", 0, 0}, Row{"", "", 0, 0},
                                           Row{"aab", "ab", 1, 1}, Row{"aaab", "AAB", 0, 1},
                                           Row{"ab", "abc", 0, 0}));

// Scores compare bit for bit with the float the historical computation gives.
class Approximate : public ::testing::TestWithParam<Row> {};
TEST_P(Approximate, GreedyScanScoreIsBitExact) {
    const Row& r = GetParam();
    EXPECT_EQ(bits(score_member(&CString256::match_case_approximate, r.text, r.pattern)),
              bits(r.case_score))
        << score_member(&CString256::match_case_approximate, r.text, r.pattern);
    EXPECT_EQ(bits(score_member(&CString256::match_nocase_approximate, r.text, r.pattern)),
              bits(r.nocase_score))
        << score_member(&CString256::match_nocase_approximate, r.text, r.pattern);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, Approximate,
    ::testing::Values(Row{"hello", "hlo", 0.75f, 0.75f}, Row{"abc", "abc", 1.0f, 1.0f},
                      Row{"abc", "xyz", 0.0f, 0.0f}, Row{"", "abc", 0.0f, 0.0f},
                      Row{"abc", "", 0.0f, 0.0f}, Row{"The Sea", "sea", 0.4f, 0.6f},
                      Row{"abcdefg", "aceg", 0.72727275f, 0.72727275f},
                      // The scan follows the text, so swapping text and pattern changes the score.
                      Row{"abc", "cab", 0.33333334f, 0.33333334f},
                      Row{"cab", "abc", 0.6666667f, 0.6666667f},
                      // Two empty strings: no similarity, like every other matcher.
                      Row{"", "", 0.0f, 0.0f}, Row{"aaa", "A", 0.0f, 0.5f}));

// For every pair of lengths up to 255 the written value is 2*matched/(n+m)
// rounded to float; checked here on texts made so that matched is known.
TEST(ApproximateScore, EqualsTwiceMatchedOverTotalForAllLengths) {
    for (int n = 1; n <= 255; n += 7) {
        for (int m = 1; m <= 255; m += 11) {
            int matched = std::min(n, m) / 2;
            std::string text(static_cast<std::size_t>(n), 't');
            std::string pattern(static_cast<std::size_t>(m), 'p');
            for (int i = 0; i < matched; ++i)
                text[static_cast<std::size_t>(i)] = pattern[static_cast<std::size_t>(i)] = 'm';
            float got =
                score_member(&CString256::match_case_approximate, text.c_str(), pattern.c_str());
            float want = static_cast<float>(2.0 * matched / (n + m));
            ASSERT_EQ(bits(got), bits(want)) << "n=" << n << " m=" << m;
        }
    }
}

// Beyond 2^24 characters the lengths round in float; the score still lies in
// [0, 1], and is 0 when nothing matched.
TEST(ApproximateScore, StaysInRangeForTextsBeyondFloatPrecision) {
    struct Case {
        std::size_t n;
        const char* pattern;
        bool none_matched;
    };
    for (const Case& c : {Case{16777217, "y", true}, Case{16777219, "y", true},
                          Case{16777219, "zy", true}, Case{16777219, "xy", false}}) {
        std::string text(c.n, 'x');
        for (auto* adapter : {matcher_case_approximate_256, matcher_nocase_approximate_256}) {
            float score = -1;
            adapter(text.data(), const_cast<char*>(c.pattern), &score);
            EXPECT_GE(score, 0.0f) << c.n << " / " << c.pattern;
            EXPECT_LE(score, 1.0f) << c.n << " / " << c.pattern;
            if (c.none_matched) {
                EXPECT_EQ(bits(score), bits(0.0f)) << c.n << " / " << c.pattern;
            }
        }
    }
}

// A fragment whose terminator a caller overwrote ends at 255 characters, as
// every string's own text does; its next bytes (the list's link) are not part
// of it.
TEST(Wildcard, FragmentWithoutTerminatorEndsAtItsArray) {
    const std::string a255(255, 'a');
    for (bool nocase : {false, true}) {
        CList<CString256> list;
        CString256 f;
        f = a255.c_str();
        list.append(f);
        list.head->data[255] = 'a';
        CString256 t;
        t = a255.c_str();
        float score = -1;
        if (nocase) {
            t.match_wildcard_nocase(list, &score);
        } else {
            t.match_wildcard_case(list, &score);
        }
        EXPECT_EQ(score, 1.0f) << (nocase ? "nocase" : "case");
    }
}

TEST(Wildcard, FragmentsInOrderWithoutOverlap) {
    auto run = [](const char* text, std::vector<const char*> frags, bool nocase) {
        CList<CString256> list;
        CString256 f;
        for (const char* p : frags) {
            f = p;
            list.append(f);
        }
        CString256 t;
        t = text;
        float score = -1;
        if (nocase) {
            t.match_wildcard_nocase(list, &score);
        } else {
            t.match_wildcard_case(list, &score);
        }
        return score;
    };
    EXPECT_EQ(run("my movie clip.mov", {"movie", ".mov"}, false), 1.0f);
    EXPECT_EQ(run("clip.mov movie", {"movie", ".mov"}, false), 0.0f);
    EXPECT_EQ(run("xaxbx", {"a", "b"}, false), 1.0f);
    EXPECT_EQ(run("xbxax", {"a", "b"}, false), 0.0f);
    EXPECT_EQ(run("movie.mov", {"mov"}, false), 1.0f);
    EXPECT_EQ(run("a", {"a", "a"}, false), 0.0f) << "two fragments need two occurrences";
    EXPECT_EQ(run("aa", {"a", "a"}, false), 1.0f);
    EXPECT_EQ(run("aba", {"ab", "ba"}, false), 0.0f) << "fragments may not overlap";
    EXPECT_EQ(run("movie", {"MOVIE"}, true), 1.0f);
    EXPECT_EQ(run("movie", {"MOVIE"}, false), 0.0f);
    EXPECT_EQ(run("anything", {}, false), 1.0f);
    EXPECT_EQ(run("", {}, true), 1.0f);
    EXPECT_EQ(run("", {""}, false), 1.0f) << "an empty fragment is found where the search stands";
}

TEST(MatchEntryPoint, PassesOwnAddressPatternAndScore) {
    static void* seen[3];
    auto spy = [](void* t, void* p, float* s) {
        seen[0] = t;
        seen[1] = p;
        seen[2] = s;
        *s = 0.5f;
    };
    CString256 s;
    s = "abc";
    float score = 0;
    int marker = 0;
    s.match(spy, &marker, &score);
    EXPECT_EQ(seen[0], &s);
    EXPECT_EQ(seen[1], &marker);
    EXPECT_EQ(seen[2], &score);
    EXPECT_EQ(score, 0.5f);

    s.match(matcher_case_exact_256, (void*)"abc", &score);
    EXPECT_EQ(score, 1.0f);
    CList<CString256> none;
    score = 0;
    s.match(match_wildcard_case_256, &none, &score);
    EXPECT_EQ(score, 1.0f);
    s.match(matcher_nocase_partial_256, (void*)"BC", &score);
    EXPECT_EQ(score, 1.0f);
}

// Adapters take plain C strings as text; the six non-wildcard ones use the
// text whole and cut the pattern at 255, the wildcard ones cut the text.
TEST(Adapters, TextAndPatternLengths) {
    std::string text = std::string(280, '.') + "needle" + std::string(14, '.');
    float score = -1;
    matcher_case_partial_256(text.data(), (void*)"needle", &score);
    EXPECT_EQ(score, 1.0f);
    matcher_nocase_partial_256(text.data(), (void*)"NEEDLE", &score);
    EXPECT_EQ(score, 1.0f);

    CList<CString256> frags;
    CString256 f;
    f = "needle";
    frags.append(f);
    match_wildcard_case_256(text.data(), &frags, &score);
    EXPECT_EQ(score, 0.0f);
    match_wildcard_nocase_256(text.data(), &frags, &score);
    EXPECT_EQ(score, 0.0f);
    std::string shorter = "a needle here";
    match_wildcard_nocase_256(shorter.data(), &frags, &score);
    EXPECT_EQ(score, 1.0f);

    // The pattern is cut at 255: a 300-character pattern equals a 255-character text.
    std::string p300(300, 'q'), t255(255, 'q');
    matcher_case_exact_256(t255.data(), p300.data(), &score);
    EXPECT_EQ(score, 1.0f);
    matcher_case_exact_256(p300.data(), p300.data(), &score);
    EXPECT_EQ(score, 0.0f) << "the text is used whole, the pattern is cut";

    // Unaligned plain strings are fine as texts.
    char raw[] = "xMovie";
    matcher_nocase_exact_256(raw + 1, (void*)"movie", &score);
    EXPECT_EQ(score, 1.0f);
    matcher_case_exact_256(raw + 1, (void*)"movie", &score);
    EXPECT_EQ(score, 0.0f);
    matcher_case_approximate_256(raw + 1, (void*)"Mve", &score);
    EXPECT_EQ(bits(score), bits(0.75f));
    matcher_nocase_approximate_256(raw + 1, (void*)"MVE", &score);
    EXPECT_EQ(bits(score), bits(0.75f));

    // Null arguments: an empty pattern or text, and no write without a score.
    matcher_case_partial_256(raw, nullptr, &score);
    EXPECT_EQ(score, 0.0f);
    score = -1;
    match_wildcard_case_256(raw, nullptr, &score);
    EXPECT_EQ(score, 1.0f) << "a null fragment list is the empty list";
    matcher_case_exact_256(raw, (void*)"xMovie", nullptr);
}

}  // namespace
