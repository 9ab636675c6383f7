// The case-insensitive search's work, counted in folded bytes: linear in the
// text and the pattern whatever they hold, and the right answer on the
// inputs that make a plain search quadratic. Counting instead of timing keeps
// the test exact on a loaded machine.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <string>

#include "fold.h"

namespace {

using vantrel::strings::FoldTable;

// Folds through a table, counting the bytes it folds.
struct CountingFold {
    static constexpr bool kExact = false;
    FoldTable table;
    long* count;
    int operator()(unsigned char c) const noexcept {
        ++*count;
        return table[c];
    }
};

struct WorkRow {
    const char* what;
    std::string text;
    std::string pattern;
    long at;  // -1: not found
};

void PrintTo(const WorkRow& r, std::ostream* os) {
    *os << r.what;
}

std::string times(std::size_t n, const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

class SearchWork : public ::testing::TestWithParam<WorkRow> {};

TEST_P(SearchWork, LinearInTextAndPattern) {
    const WorkRow& r = GetParam();
    for (FoldTable table : {vantrel::strings::upper_table(), vantrel::strings::lower_table()}) {
        long count = 0;
        const char* hit =
            vantrel::strings::fold_search(r.text.c_str(), SIZE_MAX, r.pattern.c_str(),
                                          r.pattern.size(), CountingFold{table, &count});
        EXPECT_EQ(hit == nullptr ? -1L : hit - r.text.c_str(), r.at);
        const long bound = 8 * static_cast<long>(r.text.size() + r.pattern.size());
        EXPECT_LE(count, bound) << "bytes folded for a text of " << r.text.size()
                                << " and a pattern of " << r.pattern.size();
        // The same with the text's length given instead of its terminator.
        count = 0;
        hit = vantrel::strings::fold_search(r.text.c_str(), r.text.size(), r.pattern.c_str(),
                                            r.pattern.size(), CountingFold{table, &count});
        EXPECT_EQ(hit == nullptr ? -1L : hit - r.text.c_str(), r.at);
        EXPECT_LE(count, bound);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SearchWork,
    ::testing::Values(
        WorkRow{"a run of a, then a run of a ended by b", std::string(200000, 'a'),
                std::string(2000, 'a') + "b", -1},
        WorkRow{"the same, found at the very end", std::string(200000, 'a') + "b",
                std::string(2000, 'a') + "b", 198000},
        WorkRow{"cases mixed", times(100000, "aA"), times(1000, "Aa") + "B", -1},
        WorkRow{"a periodic pattern", times(100000, "ab"), times(1000, "ab") + "b", -1},
        WorkRow{"found after a periodic stretch", times(100000, "ab") + "abb",
                times(1000, "ab") + "b", 198002},
        WorkRow{"bytes above 0x7F", std::string(200000, '\xe9'), std::string(2000, '\xe9') + "x",
                -1},
        WorkRow{"a long pattern, text shorter", std::string(1000, 'a'), std::string(5000, 'a'), -1},
        WorkRow{"an ordinary hit", "holiday_Beach 1234.MOV", ".mov", 18}));

// The two-way search on its own, and the whole search with a limit on the
// text (as for a CString256's array) and on the pattern, exact and folded,
// against a plain scan, on texts and patterns over a small alphabet (where
// periods and overlaps abound).
TEST(Searches, AgreeWithAPlainScan) {
    const FoldTable up = vantrel::strings::upper_table();
    unsigned seed = 99;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    const std::string alphabet = "aAb";
    auto plain = [](const std::string& t, const std::string& p, bool fold) {
        for (std::size_t i = 0; i + p.size() <= t.size(); ++i) {
            std::size_t k = 0;
            while (k < p.size() && (fold ? std::toupper(static_cast<unsigned char>(t[i + k])) ==
                                               std::toupper(static_cast<unsigned char>(p[k]))
                                         : t[i + k] == p[k]))
                ++k;
            if (k == p.size()) return static_cast<long>(i);
        }
        return -1L;
    };
    for (int round = 0; round < 20000; ++round) {
        std::string t, p;
        for (std::size_t n = next() % 60; n > 0; --n) t += alphabet[(next() >> 8) % 3];
        for (std::size_t n = 1 + next() % 12; n > 0; --n) p += alphabet[(next() >> 8) % 3];
        const std::size_t limit = next() % 2 ? SIZE_MAX : t.size();
        const char* hit = vantrel::strings::two_way_search(t.c_str(), limit, p.c_str(), p.size(),
                                                           vantrel::strings::TableFold{up});
        ASSERT_EQ(hit == nullptr ? -1L : hit - t.c_str(), plain(t, p, true)) << t << " / " << p;

        // Text and pattern cut by limits, with more bytes after the cut.
        const std::size_t tcut = next() % (t.size() + 1), pcut = 1 + next() % p.size();
        const std::string tt = t.substr(0, tcut), pp = p.substr(0, pcut);
        std::size_t len = 0;
        hit = vantrel::strings::fold_search(t.c_str(), tcut, p.c_str(), pcut,
                                            vantrel::strings::ExactBytes{}, &len);
        ASSERT_EQ(hit == nullptr ? -1L : hit - t.c_str(), plain(tt, pp, false))
            << tt << " / " << pp;
        if (hit != nullptr) {
            ASSERT_EQ(len, pp.size());
        }
        hit = vantrel::strings::fold_search(t.c_str(), tcut, p.c_str(), pcut,
                                            vantrel::strings::TableFold{up}, &len);
        ASSERT_EQ(hit == nullptr ? -1L : hit - t.c_str(), plain(tt, pp, true)) << tt << " / " << pp;
    }
}

}  // namespace
