// Matching members of CString256 and the eight matcher adapters.
//
// The work is done on plain char pointers: the exact, partial and approximate
// adapters receive texts that are not CString256 objects (any NUL-terminated
// string, of any length and alignment), so they must not call a member through
// such a pointer; the members and the adapters share these functions instead.
#include <strings.h>

#include <cstring>

#include "fold.h"
#include "vantrel/CString256.h"
#include "vantrel/StringUtils.h"

namespace {

using vantrel::strings::FoldTable;
using vantrel::strings::ub;

// Exact: both not empty and equal, case-sensitively or through tolower.
float exact_case_fn(const char* t, const char* p) {
    return (*t != '\0' && *p != '\0' && std::strcmp(t, p) == 0) ? 1.0f : 0.0f;
}
float exact_nocase_fn(const char* t, const char* p) {
    if (*t == '\0' || *p == '\0') return 0.0f;
    // strcasecmp folds every byte through the current locale's tolower, the
    // rule of these matchers, so it decides equality exactly as they must.
    return strcasecmp(t, p) == 0 ? 1.0f : 0.0f;
}

float partial_case(const char* t, const char* p) {
    return (*p != '\0' && std::strstr(t, p) != nullptr) ? 1.0f : 0.0f;
}

float partial_nocase(const char* t, const char* p) {
    if (*p == '\0') return 0.0f;
    return vantrel::strings::fold_search(t, p, vantrel::strings::lower_table()) != nullptr ? 1.0f
                                                                                           : 0.0f;
}

// 2 * matched / (n + m), computed in the historical order and precision so
// that scores compare bit for bit with stored ones: the two differences in
// float, their sum and the quotient in double, rounded to float at the end.
float score_of(std::size_t n, std::size_t m, std::size_t matched) {
    if (n + m == 0) return 0.0f;  // two empty strings: no similarity, as the other matchers say
    float a = static_cast<float>(n) - static_cast<float>(matched);
    float b = static_cast<float>(m) - static_cast<float>(matched);
    if (a < 0) a = -a;
    if (b < 0) b = -b;
    double q = (static_cast<double>(a) + static_cast<double>(b)) / static_cast<double>(n + m);
    return static_cast<float>(1.0 - q);
}

// Greedy in-order scan: each pattern character takes the first equal text
// character at or after the text position; one that is not found is skipped.
// The position never moves backwards.
float approximate_case(const char* t, const char* p) {
    const std::size_t n = std::strlen(t);
    const std::size_t m = std::strlen(p);
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < m && at < n; ++j) {
        std::size_t k = vantrel::strings::find_byte(t, at, n, p[j]);
        if (k < n) {
            ++matched;
            at = k + 1;
        }
    }
    return score_of(n, m, matched);
}

float approximate_nocase(const char* t, const char* p) {
    const FoldTable lower = vantrel::strings::lower_table();
    const bool ascii = vantrel::strings::ascii_standard(lower);
    const std::size_t n = std::strlen(t);
    const std::size_t m = std::strlen(p);
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < m && at < n; ++j) {
        std::size_t k = vantrel::strings::find_folded(t, at, n, p[j], lower, ascii);
        if (k < n) {
            ++matched;
            at = k + 1;
        }
    }
    return score_of(n, m, matched);
}

// Fragments in list order, each searched from just past the previous one.
template <class Search>
float wildcard(const char* t, CList<CString256>& fragments, Search search) {
    const char* at = t;
    fragments.cursor = fragments.head;
    while (elem<CString256>* e = fragments.cursor) {
        fragments.cursor = e->next;
        const char* hit = search(at, e->data.text);
        if (hit == nullptr) return 0.0f;
        at = hit + std::strlen(e->data.text);
    }
    return 1.0f;
}

float wildcard_case(const char* t, CList<CString256>& f) {
    return wildcard(t, f,
                    [](const char* a, const char* b) -> const char* { return std::strstr(a, b); });
}

float wildcard_nocase(const char* t, CList<CString256>& f) {
    return wildcard(t, f, [](const char* a, const char* b) -> const char* { return STRSTR(a, b); });
}

void put(float* score, float v) {
    if (score != nullptr) *score = v;
}

}  // namespace

void CString256::match_case_exact(CString256& pattern, float* score) {
    put(score, exact_case_fn(text, pattern.text));
}
void CString256::match_nocase_exact(CString256& pattern, float* score) {
    put(score, exact_nocase_fn(text, pattern.text));
}
void CString256::match_case_partial(CString256& pattern, float* score) {
    put(score, partial_case(text, pattern.text));
}
void CString256::match_nocase_partial(CString256& pattern, float* score) {
    put(score, partial_nocase(text, pattern.text));
}
void CString256::match_case_approximate(CString256& pattern, float* score) {
    put(score, approximate_case(text, pattern.text));
}
void CString256::match_nocase_approximate(CString256& pattern, float* score) {
    put(score, approximate_nocase(text, pattern.text));
}
void CString256::match_wildcard_case(CList<CString256>& fragments, float* score) {
    put(score, wildcard_case(text, fragments));
}
void CString256::match_wildcard_nocase(CList<CString256>& fragments, float* score) {
    put(score, wildcard_nocase(text, fragments));
}

namespace {

// The text of the exact, partial and approximate adapters is used in place and
// whole; a null one counts as empty.
const char* text_arg(void* text) {
    return text != nullptr ? static_cast<const char*>(text) : "";
}

template <float (*F)(const char*, const char*)>
void adapt(void* text, void* pattern, float* score) {
    CString256 pat;
    pat = static_cast<const char*>(pattern);  // first 255 characters; null gives ""
    put(score, F(text_arg(text), pat.text));
}

// The wildcard adapters cut the text at 255 characters and use the list in
// place; a null list counts as the empty list.
template <float (*F)(const char*, CList<CString256>&)>
void adapt_wildcard(void* text, void* fragments, float* score) {
    CString256 t;
    t = static_cast<const char*>(text);
    if (fragments == nullptr) {
        put(score, 1.0f);
        return;
    }
    put(score, F(t.text, *static_cast<CList<CString256>*>(fragments)));
}

}  // namespace

void matcher_case_exact_256(void* text, void* pattern, float* score) {
    adapt<exact_case_fn>(text, pattern, score);
}
void matcher_nocase_exact_256(void* text, void* pattern, float* score) {
    adapt<exact_nocase_fn>(text, pattern, score);
}
void matcher_case_partial_256(void* text, void* pattern, float* score) {
    adapt<partial_case>(text, pattern, score);
}
void matcher_nocase_partial_256(void* text, void* pattern, float* score) {
    adapt<partial_nocase>(text, pattern, score);
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
