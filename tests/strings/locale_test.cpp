// The case rule in locales that do not fold like C: every case-insensitive
// entry point against a byte-by-byte reading of the current locale's toupper
// and tolower, on random strings of the letters where the locales differ.
// The Turkish rows first use, then free, a locale that folds i and I plainly
// and whose tables are laid out identically, so that the Turkish tables are
// loaded where the plain ones were: an answer remembered for the address
// would then be a wrong answer.
#include <ctype.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Locales.h"
#include "vantrel/CString256.h"
#include "vantrel/StringUtils.h"

namespace {

struct LocaleRow {
    const char* source;
    const char* charmap;
    bool plain_twin_first;  // use and free the plain Turkish twin before
    const char* alphabet;   // bytes the random strings are made of
};

void PrintTo(const LocaleRow& r, std::ostream* os) {
    *os << r.source << "." << r.charmap << (r.plain_twin_first ? " after its plain twin" : "");
}

int up(char c) {
    return toupper(static_cast<unsigned char>(c));
}
int low(char c) {
    return tolower(static_cast<unsigned char>(c));
}

long ref_find(const std::string& t, const std::string& p, int (*fold)(char)) {
    if (p.empty()) return 0;
    for (std::size_t i = 0; i + p.size() <= t.size(); ++i) {
        std::size_t k = 0;
        while (k < p.size() && fold(t[i + k]) == fold(p[k])) ++k;
        if (k == p.size()) return static_cast<long>(i);
    }
    return -1;
}

int ref_strncmp(const std::string& a, const std::string& b, int n) {
    for (std::size_t i = 0; n < 0 || i < static_cast<std::size_t>(n); ++i) {
        unsigned char ca = i < a.size() ? a[i] : 0, cb = i < b.size() ? b[i] : 0;
        if (toupper(ca) != toupper(cb)) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

float ref_approx(const std::string& t, const std::string& p) {
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < p.size() && at < t.size(); ++j) {
        for (std::size_t k = at; k < t.size(); ++k) {
            if (low(t[k]) == low(p[j])) {
                ++matched;
                at = k + 1;
                break;
            }
        }
    }
    const std::size_t n = t.size(), m = p.size();
    if (n + m == 0) return 0.0f;
    return static_cast<float>(2.0 * static_cast<double>(matched) / static_cast<double>(n + m));
}

bool ref_same(const std::string& a, const std::string& b, int (*fold)(char)) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

// Warms every block-wise path with the current locale's tables (strings
// longer than one block, ASCII letters only).
void use_every_entry_point() {
    const std::string is(32, 'i'), caps(32, 'I');
    (void)STRNCMP(is.c_str(), caps.c_str(), 32);
    (void)STRSTR(is.c_str(), "II");
    CString256 t(const_cast<char*>(is.c_str())), p(const_cast<char*>(caps.c_str()));
    float score;
    t.match_nocase_partial(p, &score);
    t.match_nocase_approximate(p, &score);
    (void)t.beginsWith_nocase(p);
}

class LocaleRule : public ::testing::TestWithParam<LocaleRow> {};

TEST_P(LocaleRule, EveryCaseInsensitiveEntryPointFollowsTheLocale) {
    const LocaleRow& r = GetParam();
    std::string why;
    const int* plain_upper = nullptr;
    if (r.plain_twin_first) {
        locale_t twin = vtest::load_plain_turkish_twin(r.charmap, &why);
        if (twin == nullptr) GTEST_SKIP() << why;
        {
            vtest::UseLocale use(twin);
            ASSERT_EQ(toupper('i'), 'I') << "the twin folds i plainly";
            use_every_entry_point();
            plain_upper = twin->__ctype_toupper;
        }
        freelocale(twin);
    }
    locale_t loc = vtest::load_locale(r.source, r.charmap, &why);
    if (loc == nullptr) GTEST_SKIP() << why;
    if (plain_upper != nullptr) {
        std::printf("Turkish tables %s the freed twin's address\n",
                    loc->__ctype_toupper == plain_upper ? "reuse" : "do not reuse");
    }
    {
        vtest::UseLocale use(loc);

        // Thirty-two characters take the block-wise path, one does not; both
        // must give the locale's answer.
        for (std::size_t n : {1u, 15u, 16u, 32u, 40u}) {
            const std::string is(n, 'i'), caps(n, 'I');
            ASSERT_EQ(STRNCMP(is.c_str(), caps.c_str(), static_cast<int>(n)),
                      ref_strncmp(is, caps, static_cast<int>(n)))
                << n << " characters";
            CString256 s(const_cast<char*>(is.c_str()));
            EXPECT_EQ(s.beginsWith_nocase(const_cast<char*>(caps.c_str())) == 1,
                      ref_strncmp(is, caps, static_cast<int>(n)) == 0)
                << n << " characters";
            const char* hit = STRSTR(is.c_str(), caps.c_str());
            EXPECT_EQ(hit == nullptr ? -1L : hit - is.c_str(), ref_find(is, caps, up));
        }

        const std::string alpha = r.alphabet;
        unsigned seed = 20240611;
        auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
        auto random_text = [&](std::size_t max) {
            std::string s;
            for (std::size_t n = next() % (max + 1); n > 0; --n)
                s += alpha[(next() >> 8) % alpha.size()];
            return s;
        };
        for (int round = 0; round < 1500; ++round) {
            const std::string t = random_text(70);
            const std::string p = round % 3 == 0 ? random_text(4) : t.substr(0, next() % 40);
            std::string u = t;
            for (char& c : u)
                if (next() % 2) c = static_cast<char>(next() % 2 ? up(c) : low(c));
            SCOPED_TRACE("text \"" + t + "\" pattern \"" + p + "\" other \"" + u + "\"");

            if (!p.empty()) {
                const char* hit = STRSTR(t.c_str(), p.c_str());
                ASSERT_EQ(hit == nullptr ? -1L : hit - t.c_str(), ref_find(t, p, up));
            }
            const int n = static_cast<int>(next() % 80) - 5;
            ASSERT_EQ(STRNCMP(t.c_str(), u.c_str(), n), ref_strncmp(t, u, n)) << "n=" << n;

            CString256 ts(const_cast<char*>(t.c_str())), ps(const_cast<char*>(p.c_str()));
            float got = -1;
            ts.match_nocase_exact(ps, &got);
            ASSERT_EQ(got, (!t.empty() && ref_same(t, p, low)) ? 1.0f : 0.0f) << "exact";
            ts.match_nocase_partial(ps, &got);
            ASSERT_EQ(got, (!p.empty() && ref_find(t, p, low) >= 0) ? 1.0f : 0.0f) << "partial";
            ts.match_nocase_approximate(ps, &got);
            ASSERT_EQ(got, ref_approx(t, p)) << "approximate";
            matcher_nocase_partial_256(const_cast<char*>(t.c_str()), const_cast<char*>(p.c_str()),
                                       &got);
            ASSERT_EQ(got, (!p.empty() && ref_find(t, p, low) >= 0) ? 1.0f : 0.0f)
                << "partial adapter";

            CList<CString256> frags;
            frags.append(ps);
            ts.match_wildcard_nocase(frags, &got);
            ASSERT_EQ(got, ref_find(t, p, up) >= 0 ? 1.0f : 0.0f) << "wildcard";

            const bool fits = p.size() <= t.size();
            ASSERT_EQ(ts.beginsWith_nocase(ps) == 1,
                      fits && ref_same(t.substr(0, p.size()), p, up));
            ASSERT_EQ(ts.endsWith_nocase(ps) == 1,
                      fits && ref_same(t.substr(t.size() - p.size()), p, up));

            CString256 lowered(ts);
            lowered.to_lower();
            std::string want;
            for (char c : t) want += static_cast<char>(low(c));
            ASSERT_EQ(std::string(lowered.text), want) << "to_lower";
        }
    }
    freelocale(loc);
}

INSTANTIATE_TEST_SUITE_P(Locales, LocaleRule,
                         ::testing::Values(
                             // Dotted and dotless i: in UTF-8 the one-byte tables leave i and I
                             // unfolded (their other cases are two bytes long).
                             LocaleRow{"tr_TR", "UTF-8", true, "iIaAzZ.\xc4\xb1\xc4\xb0"},
                             // In ISO-8859-9 i and I fold to the single bytes 0xDD and 0xFD.
                             LocaleRow{"tr_TR", "ISO-8859-9", true, "iIaAzZ.\xfd\xdd\xe7\xc7"},
                             // Plain ASCII, with Latin-1 letters that fold above 0x7F.
                             LocaleRow{"de_DE", "ISO-8859-1", false,
                                       "eEsSaA.\xe9\xc9\xfc\xdc\xdf"}));

}  // namespace
