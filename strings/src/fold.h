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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::strings {

using FoldTable = const std::int32_t*;

inline FoldTable upper_table() noexcept {
    return *__ctype_toupper_loc();
}
inline FoldTable lower_table() noexcept {
    return *__ctype_tolower_loc();
}

inline unsigned char ub(char c) noexcept {
    return static_cast<unsigned char>(c);
}

// True when `t` maps a-z and A-Z onto one case and leaves every other ASCII
// byte alone. A locale's tables never change while the locale exists, so the
// answer is remembered for the last few tables seen (a plain pointer cache:
// a lost race only means one more check).
inline bool ascii_standard(FoldTable t) noexcept {
    static std::atomic<FoldTable> known[4];
    for (auto& k : known)
        if (k.load(std::memory_order_relaxed) == t) return true;
    const bool to_upper = t[static_cast<int>('a')] == 'A';
    for (int c = 0; c < 128; ++c) {
        int want = c;
        if (to_upper && c >= 'a' && c <= 'z') want = c - 0x20;
        if (!to_upper && c >= 'A' && c <= 'Z') want = c + 0x20;
        if (t[c] != want) return false;
    }
    static std::atomic<unsigned> slot{0};
    known[slot.fetch_add(1, std::memory_order_relaxed) % 4].store(t, std::memory_order_relaxed);
    return true;
}

namespace simd {

// A 16-byte load that stays inside one page cannot fault, even when it reads
// past the end of the string it was given; such loads are kept out of
// AddressSanitizer's view (the C library's own string functions do the same).
inline bool page_safe(const void* p) noexcept {
    return (reinterpret_cast<std::uintptr_t>(p) & 4095) <= 4096 - 16;
}

// ASCII a-z to A-Z in every byte; other bytes unchanged.
inline __m128i upper(__m128i v) noexcept {
    __m128i t =
        _mm_add_epi8(_mm_sub_epi8(v, _mm_set1_epi8('a')), _mm_set1_epi8(static_cast<char>(0x80)));
    __m128i lower = _mm_cmplt_epi8(t, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
    return _mm_sub_epi8(v, _mm_and_si128(lower, _mm_set1_epi8(0x20)));
}

// Bit k set when byte k of the two blocks differs after ASCII folding, or
// either byte is at or above 0x80 (left to the table), or a's byte is the
// terminator.
__attribute__((no_sanitize("address"))) inline unsigned interesting(const char* a,
                                                                    const char* b) noexcept {
    __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    unsigned z = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(va, _mm_setzero_si128())));
    unsigned raw_same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(va, vb)));
    // Identical bytes need no folding: the common case costs one compare.
    if (raw_same == 0xFFFFu) return z;
    unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(upper(va), upper(vb))));
    unsigned m = ~same & 0xFFFFu;
    m |= static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(va, vb)));
    return m | z;
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

// Sixteen bytes from p (page_safe(p) must hold).
__attribute__((no_sanitize("address"))) inline __m128i load(const char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Bit k set when byte k at p equals c.
__attribute__((no_sanitize("address"))) inline unsigned equal_bytes(const char* p,
                                                                    __m128i c) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c)));
}

// Bit k set when byte k at p equals c1 or c2 or is at or above 0x80.
__attribute__((no_sanitize("address"))) inline unsigned fold_candidates(const char* p, __m128i c1,
                                                                        __m128i c2) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, c1), _mm_cmpeq_epi8(v, c2));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, v)));
}

}  // namespace simd

// Compares two strings byte by byte through `fold` up to `limit` characters
// or a common terminator: 0 when they agree, else the difference of the first
// differing raw bytes (STRNCMP's rule; the equality test of the exact
// matchers uses it with no limit).
inline int fold_compare(const char* a, const char* b, std::size_t limit, FoldTable fold) noexcept {
    const bool ascii = ascii_standard(fold);
    std::size_t i = 0;
    while (i != limit) {
        // Sixteen bytes at a time while they agree after ASCII folding; the
        // first byte that needs a closer look goes through the table.
        if (ascii && limit - i >= 16 && simd::page_safe(a + i) && simd::page_safe(b + i)) {
            unsigned m = simd::interesting(a + i, b + i);
            if (m == 0) {
                i += 16;
                continue;
            }
            i += static_cast<std::size_t>(__builtin_ctz(m));
        }
        unsigned char ca = ub(a[i]);
        unsigned char cb = ub(b[i]);
        if (ca != cb && fold[ca] != fold[cb]) return ca - cb;
        if (ca == '\0') return 0;
        ++i;
    }
    return 0;
}

// First k in [from, n) with text[k] == c (case-sensitive) or n.
inline std::size_t find_byte(const char* t, std::size_t from, std::size_t n, char c) noexcept {
    const __m128i vc = _mm_set1_epi8(c);
    std::size_t k = from;
    while (n - k >= 16 || (k < n && simd::page_safe(t + k))) {
        unsigned m = simd::equal_bytes(t + k, vc);
        if (n - k < 16) m &= (1u << (n - k)) - 1;
        if (m != 0) return k + static_cast<std::size_t>(__builtin_ctz(m));
        if (n - k <= 16) return n;
        k += 16;
    }
    while (k < n && t[k] != c) ++k;
    return k;
}

// First k in [from, n) with fold[text[k]] == fold[c], or n.
inline std::size_t find_folded(const char* t, std::size_t from, std::size_t n, char c,
                               FoldTable fold, bool ascii) noexcept {
    const int want = fold[ub(c)];
    std::size_t k = from;
    if (ascii && ub(c) < 0x80) {
        const unsigned char u = ub(c);
        const bool letter = (u | 0x20) >= 'a' && (u | 0x20) <= 'z';
        const __m128i c1 = _mm_set1_epi8(static_cast<char>(letter ? (u | 0x20) : u));
        const __m128i c2 = _mm_set1_epi8(static_cast<char>(letter ? (u & ~0x20) : u));
        while (n - k >= 16 || (k < n && simd::page_safe(t + k))) {
            unsigned m = simd::fold_candidates(t + k, c1, c2);
            if (n - k < 16) m &= (1u << (n - k)) - 1;
            while (m != 0) {
                std::size_t j = k + static_cast<std::size_t>(__builtin_ctz(m));
                if (fold[ub(t[j])] == want) return j;
                m &= m - 1;
            }
            if (n - k <= 16) return n;
            k += 16;
        }
    }
    while (k < n && fold[ub(t[k])] != want) ++k;
    return k;
}

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
        const char* block = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(text) &
                                                          ~std::uintptr_t{15});
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
