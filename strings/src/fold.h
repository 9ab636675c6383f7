// Case folding and byte search shared by the string library's sources.
//
// The C library's toupper/tolower follow the process's current locale. glibc
// keeps the current thread's folding tables behind __ctype_toupper_loc and
// __ctype_tolower_loc (the same tables its own toupper reads), so a function
// fetches the table once per call and then folds each byte with one load: the
// same answers as calling toupper per byte, without the call.
//
// When a table folds the 128 ASCII bytes exactly as ASCII does (true of the
// "C" locale and of the common UTF-8 and Latin locales, but not, for example,
// of a Turkish one), sixteen bytes at a time are compared with SSE2 and every
// byte at or above 0x80 is still folded through the table, one by one. The
// answers are the same either way; only the speed differs.
#pragma once

#include <ctype.h>
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::strings {

using FoldTable = const std::int32_t*;

inline FoldTable upper_table() noexcept { return *__ctype_toupper_loc(); }
inline FoldTable lower_table() noexcept { return *__ctype_tolower_loc(); }

inline unsigned char ub(char c) noexcept { return static_cast<unsigned char>(c); }

// True when `t` maps a-z and A-Z onto one case and leaves every other ASCII
// byte alone. A locale's tables never change while it exists, so the answer is
// kept per table.
inline bool ascii_standard(FoldTable t) noexcept {
    thread_local FoldTable checked = nullptr;
    thread_local bool standard = false;
    if (t != checked) {
        const bool to_upper = t['a'] == 'A';
        bool ok = true;
        for (int c = 0; c < 128 && ok; ++c) {
            int want = c;
            if (to_upper && c >= 'a' && c <= 'z') want = c - 0x20;
            if (!to_upper && c >= 'A' && c <= 'Z') want = c + 0x20;
            ok = t[c] == want;
        }
        checked = t;
        standard = ok;
    }
    return standard;
}

namespace simd {

// A 16-byte load that stays inside one page cannot fault, even when it reads
// past the end of the string it was given; such loads are kept out of
// AddressSanitizer's view (the C library's own string functions do the same).
inline bool page_safe(const void* p) noexcept { return (reinterpret_cast<std::uintptr_t>(p) & 4095) <= 4096 - 16; }

// ASCII a-z to A-Z in every byte; other bytes unchanged.
inline __m128i upper(__m128i v) noexcept {
    __m128i t = _mm_add_epi8(_mm_sub_epi8(v, _mm_set1_epi8('a')), _mm_set1_epi8(static_cast<char>(0x80)));
    __m128i lower = _mm_cmplt_epi8(t, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
    return _mm_sub_epi8(v, _mm_and_si128(lower, _mm_set1_epi8(0x20)));
}

// Bit k set when byte k of the two blocks differs after ASCII folding, or
// either byte is at or above 0x80 (left to the table), or a's byte is the
// terminator.
__attribute__((no_sanitize("address"))) inline unsigned interesting(const char* a, const char* b) noexcept {
    __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(upper(va), upper(vb))));
    unsigned m = ~same & 0xFFFFu;
    m |= static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(va, vb)));
    m |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(va, _mm_setzero_si128())));
    return m;
}

// Bit k set when byte k of the aligned block equals c1 or c2, is at or above
// 0x80, or is the terminator.
__attribute__((no_sanitize("address"))) inline unsigned candidates(const char* aligned, __m128i c1,
                                                                   __m128i c2) noexcept {
    __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(aligned));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, c1), _mm_cmpeq_epi8(v, c2));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_setzero_si128()));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, v)));
}

}  // namespace simd

enum class Match { Found, Miss, TextEnded };

// Compares the pattern with the text at p, both folded through `fold`.
inline Match fold_match_at(const char* p, const char* pat, FoldTable fold) noexcept {
    std::size_t k = 0;
    while (pat[k] != '\0' && p[k] != '\0' && fold[ub(p[k])] == fold[ub(pat[k])]) ++k;
    if (pat[k] == '\0') return Match::Found;
    return p[k] == '\0' ? Match::TextEnded : Match::Miss;
}

// Leftmost position in `text` where `pat` (not empty) occurs when both are
// folded through `fold`; null when there is none. Every start position is
// tried, so an overlapping candidate is never hidden by a failed one; once the
// text runs out before the pattern does, no later start can fit.
inline const char* fold_search(const char* text, const char* pat, FoldTable fold) noexcept {
    const std::int32_t first = fold[ub(pat[0])];
    const unsigned char p0 = ub(pat[0]);
    if (p0 < 0x80 && ascii_standard(fold)) {
        // The ASCII bytes that fold like the pattern's first one are its two
        // cases (or itself); bytes at or above 0x80 are checked through the
        // table as candidates.
        const bool letter = (p0 | 0x20) >= 'a' && (p0 | 0x20) <= 'z';
        const __m128i c1 = _mm_set1_epi8(static_cast<char>(letter ? (p0 | 0x20) : p0));
        const __m128i c2 = _mm_set1_epi8(static_cast<char>(letter ? (p0 & ~0x20) : p0));
        const char* block = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(text) & ~std::uintptr_t{15});
        unsigned m = simd::candidates(block, c1, c2) & (~0u << (text - block));
        for (;;) {
            while (m != 0) {
                const char* p = block + __builtin_ctz(m);
                m &= m - 1;
                if (*p == '\0') return nullptr;
                if (fold[ub(*p)] != first) continue;
                Match r = fold_match_at(p, pat, fold);
                if (r == Match::Found) return p;
                if (r == Match::TextEnded) return nullptr;
            }
            block += 16;
            m = simd::candidates(block, c1, c2);
        }
    }
    for (const char* p = text; *p != '\0'; ++p) {
        if (fold[ub(*p)] != first) continue;
        Match r = fold_match_at(p, pat, fold);
        if (r == Match::Found) return p;
        if (r == Match::TextEnded) return nullptr;
    }
    return nullptr;
}

}  // namespace vantrel::strings
