// Matching members of CString256 and the eight matcher adapters.
//
// The work is done on plain char pointers with a length: the exact, partial
// and approximate adapters receive texts that are not CString256 objects (any
// NUL-terminated string, of any length and alignment, used whole), so they
// must not call a member through such a pointer; the members pass their own
// texts measured inside their arrays. Both share these functions.
#include <strings.h>

#include <cstdint>
#include <cstring>

#include "blocks.h"
#include "fold.h"
#include "vantrel/CString256.h"
#include "vantrel/StringUtils.h"

namespace {

using vantrel::strings::FoldTable;
using vantrel::strings::ub;

// A text or pattern and its length.
struct Text {
    const char* p;
    std::size_t n;
};

// A CString256's own text: read only inside its array, at most 255
// characters, so that a terminator overwritten through operator[] cannot lead
// a matcher past the object.
Text own(const CString256& s) {
    return {s.text, vantrel::strings::array_text_length(s.text)};
}

// A plain NUL-terminated string, whole.
Text whole(const char* s) {
    return {s, std::strlen(s)};
}

// Exact: both not empty and equal, case-sensitively or through tolower.
float exact_case_fn(Text t, Text p) {
    return (t.n != 0 && t.n == p.n && std::memcmp(t.p, p.p, t.n) == 0) ? 1.0f : 0.0f;
}
float exact_nocase_fn(Text t, Text p) {
    if (t.n == 0 || t.n != p.n) return 0.0f;
    // strncasecmp folds every byte through the current locale's tolower, the
    // rule of these matchers, so it decides equality exactly as they must.
    return strncasecmp(t.p, p.p, t.n) == 0 ? 1.0f : 0.0f;
}

// The searches take a text by its end: its terminator, or `limit` bytes
// (255 for a CString256's own text, read only inside its array: found
// without measuring it first).
struct Bounded {
    const char* p;
    std::size_t limit;
};

[[gnu::always_inline]] inline Bounded own_bounded(const CString256& s) {
    return {s.text, 255};
}

template <class Fold>
[[gnu::always_inline]] inline const char* find(Bounded t, Bounded p, Fold fold,
                                               std::size_t* matched = nullptr) {
    if (p.p[0] == '\0') {  // found where the search stands
        if (matched != nullptr) *matched = 0;
        return t.p;
    }
    return vantrel::strings::fold_search(t.p, t.limit, p.p, p.limit, fold, matched);
}

[[gnu::always_inline]] inline float partial_case(Bounded t, Bounded p) {
    if (p.p[0] == '\0') return 0.0f;
    return find(t, p, vantrel::strings::ExactBytes{}) != nullptr ? 1.0f : 0.0f;
}

[[gnu::always_inline]] inline float partial_nocase(Bounded t, Bounded p) {
    if (p.p[0] == '\0') return 0.0f;
    const vantrel::strings::TableFold lower{vantrel::strings::lower_table()};
    return find(t, p, lower) != nullptr ? 1.0f : 0.0f;
}

// 2 * matched / (n + m), computed in the historical order and precision so
// that scores compare bit for bit with stored ones: the two differences in
// float, their sum and the quotient in double, rounded to float at the end.
// Lengths beyond 2^24 round in float, which can move the quotient across 1:
// no match scores 0 (what the formula gives exactly for shorter lengths), and
// every score is kept in [0, 1].
float score_of(std::size_t n, std::size_t m, std::size_t matched) {
    // Also two empty strings: no similarity, as the other matchers say.
    if (matched == 0) return 0.0f;
    float a = static_cast<float>(n) - static_cast<float>(matched);
    float b = static_cast<float>(m) - static_cast<float>(matched);
    if (a < 0) a = -a;
    if (b < 0) b = -b;
    double q = (static_cast<double>(a) + static_cast<double>(b)) / static_cast<double>(n + m);
    float score = static_cast<float>(1.0 - q);
    if (score < 0.0f) return 0.0f;
    return score > 1.0f ? 1.0f : score;
}

// Greedy in-order scan: each pattern character takes the first equal text
// character at or after the text position; one that is not found is skipped.
// The position never moves backwards.
float approximate_case(Text t, Text p) {
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < p.n && at < t.n; ++j) {
        std::size_t k = vantrel::strings::find_byte(t.p, at, t.n, p.p[j]);
        if (k < t.n) {
            ++matched;
            at = k + 1;
        }
    }
    return score_of(t.n, p.n, matched);
}

float approximate_nocase(Text t, Text p) {
    const FoldTable lower = vantrel::strings::lower_table();
#if VANTREL_STRINGS_BLOCKS
    const bool ascii = vantrel::strings::ascii_standard(lower);
#else
    const bool ascii = false;
#endif
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < p.n && at < t.n; ++j) {
        std::size_t k = vantrel::strings::find_folded(t.p, at, t.n, p.p[j], lower, ascii);
        if (k < t.n) {
            ++matched;
            at = k + 1;
        }
    }
    return score_of(t.n, p.n, matched);
}

// Fragments in list order, each searched from just past the previous one;
// an empty fragment is found where the search stands.
template <class Fold>
[[gnu::always_inline]] inline float wildcard(Bounded t, CList<CString256>& fragments, Fold fold) {
    std::size_t at = 0;
    fragments.cursor = fragments.head;
    while (elem<CString256>* e = fragments.cursor) {
        fragments.cursor = e->next;
        std::size_t len = 0;
        const char* hit = find(Bounded{t.p + at, t.limit - at}, own_bounded(e->data), fold, &len);
        if (hit == nullptr) return 0.0f;
        at = static_cast<std::size_t>(hit - t.p) + len;
    }
    return 1.0f;
}

// Case-sensitive: the C library's strstr, the quickest search at hand, for
// each fragment that ends inside its array, as long as the text does too
// (always, unless a caller overwrote the last terminator through operator[]):
// strstr reads only up to those terminators. The bounded search for the
// others. A text is measured in blocks from its start, which strstr reads
// next anyway; its array's last byte is looked at only when the first 255
// hold no terminator.
float wildcard_case(Bounded t, CList<CString256>& fragments) {
    auto ends_in_array = [](const char* text, std::size_t n) {
        return n < 255 || text[255] == '\0';
    };
    if (!ends_in_array(t.p, vantrel::strings::array_text_length(t.p)))
        return wildcard(t, fragments, vantrel::strings::ExactBytes{});
    const char* at = t.p;
    fragments.cursor = fragments.head;
    while (elem<CString256>* e = fragments.cursor) {
        fragments.cursor = e->next;
        const char* frag = e->data.text;
        std::size_t len = vantrel::strings::array_text_length(frag);
        const char* hit;
        if (ends_in_array(frag, len)) {
            hit = std::strstr(at, frag);
        } else {
            hit = find(Bounded{at, t.limit - static_cast<std::size_t>(at - t.p)},
                       own_bounded(e->data), vantrel::strings::ExactBytes{}, &len);
        }
        if (hit == nullptr) return 0.0f;
        at = hit + len;
    }
    return 1.0f;
}

// Case folded as STRSTR folds it (toupper).
float wildcard_nocase(Bounded t, CList<CString256>& fragments) {
    return wildcard(t, fragments, vantrel::strings::TableFold{vantrel::strings::upper_table()});
}

void put(float* score, float v) {
    if (score != nullptr) *score = v;
}

}  // namespace

void CString256::match_case_exact(CString256& pattern, float* score) {
    put(score, exact_case_fn(own(*this), own(pattern)));
}
void CString256::match_nocase_exact(CString256& pattern, float* score) {
    put(score, exact_nocase_fn(own(*this), own(pattern)));
}
void CString256::match_case_partial(CString256& pattern, float* score) {
    put(score, partial_case(own_bounded(*this), own_bounded(pattern)));
}
void CString256::match_nocase_partial(CString256& pattern, float* score) {
    put(score, partial_nocase(own_bounded(*this), own_bounded(pattern)));
}
void CString256::match_case_approximate(CString256& pattern, float* score) {
    put(score, approximate_case(own(*this), own(pattern)));
}
void CString256::match_nocase_approximate(CString256& pattern, float* score) {
    put(score, approximate_nocase(own(*this), own(pattern)));
}
void CString256::match_wildcard_case(CList<CString256>& fragments, float* score) {
    put(score, wildcard_case(own_bounded(*this), fragments));
}
void CString256::match_wildcard_nocase(CList<CString256>& fragments, float* score) {
    put(score, wildcard_nocase(own_bounded(*this), fragments));
}

namespace {

// The text of the exact, partial and approximate adapters is used in place and
// whole; a null one counts as empty.
const char* text_arg(void* text) {
    return text != nullptr ? static_cast<const char*>(text) : "";
}

template <float (*F)(Text, Text)>
void adapt(void* text, void* pattern, float* score) {
    CString256 pat;
    pat = static_cast<const char*>(pattern);  // first 255 characters; null gives ""
    put(score, F(whole(text_arg(text)), own(pat)));
}

template <float (*F)(Bounded, Bounded)>
void adapt_search(void* text, void* pattern, float* score) {
    CString256 pat;
    pat = static_cast<const char*>(pattern);
    put(score, F(Bounded{text_arg(text), SIZE_MAX}, own_bounded(pat)));
}

// The wildcard adapters cut the text at 255 characters and use the list in
// place; a null list counts as the empty list.
template <float (*F)(Bounded, CList<CString256>&)>
void adapt_wildcard(void* text, void* fragments, float* score) {
    CString256 t;
    t = static_cast<const char*>(text);
    if (fragments == nullptr) {
        put(score, 1.0f);
        return;
    }
    put(score, F(own_bounded(t), *static_cast<CList<CString256>*>(fragments)));
}

}  // namespace

void matcher_case_exact_256(void* text, void* pattern, float* score) {
    adapt<exact_case_fn>(text, pattern, score);
}
void matcher_nocase_exact_256(void* text, void* pattern, float* score) {
    adapt<exact_nocase_fn>(text, pattern, score);
}
void matcher_case_partial_256(void* text, void* pattern, float* score) {
    adapt_search<partial_case>(text, pattern, score);
}
void matcher_nocase_partial_256(void* text, void* pattern, float* score) {
    adapt_search<partial_nocase>(text, pattern, score);
}
void matcher_case_approximate_256(void* text, void* pattern, float* score) {
    adapt<approximate_case>(text, pattern, score);
}
void matcher_nocase_approximate_256(void* text, void* pattern, float* score) {
    adapt<approximate_nocase>(text, pattern, score);
}
void match_wildcard_case_256(void* text, void* fragments, float* score) {
    adapt_wildcard<wildcard_case>(text, fragments, score);
}
void match_wildcard_nocase_256(void* text, void* fragments, float* score) {
    adapt_wildcard<wildcard_nocase>(text, fragments, score);
}
