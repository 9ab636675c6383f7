// Case folding, case-insensitive comparison and search, shared by the string
// library's sources.
//
// The C library's toupper/tolower follow the current locale. glibc keeps the
// current thread's folding tables behind __ctype_toupper_loc and
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
#include <locale.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "blocks.h"

namespace vantrel::strings {

using FoldTable = const std::int32_t*;

inline FoldTable upper_table() noexcept {
    return *__ctype_toupper_loc();
}
inline FoldTable lower_table() noexcept {
    return *__ctype_tolower_loc();
}

// How the search folds one byte: through a locale's table, or not at all
// (the case-sensitive matchers). The search takes the fold as a parameter so
// that a test can count the bytes it folds.
struct TableFold {
    static constexpr bool kExact = false;
    FoldTable table;
    int operator()(unsigned char c) const noexcept { return table[c]; }
};
struct ExactBytes {
    static constexpr bool kExact = true;
    FoldTable table = nullptr;
    int operator()(unsigned char c) const noexcept { return c; }
};

// True when `t` maps a-z and A-Z onto one case and leaves every other ASCII
// byte alone.
inline bool folds_ascii_plainly(FoldTable t) noexcept {
    const bool to_upper = t[static_cast<int>('a')] == 'A';
    for (int c = 0; c < 128; ++c) {
        int want = c;
        if (to_upper && c >= 'a' && c <= 'z') want = c - 0x20;
        if (!to_upper && c >= 'A' && c <= 'Z') want = c + 0x20;
        if (t[c] != want) return false;
    }
    return true;
}

// The answer of folds_ascii_plainly for the last few tables seen, keyed by
// their address. An address identifies a table only while the table exists:
// the C library frees a locale's tables with the last locale that uses them,
// and the next locale loaded may get the same address. So each remembered
// table is held alive by a copy of the locale it came from (duplocale), which
// is released only when the entry is replaced, after its address has been
// cleared.
//
// Tables that fold plainly and tables that do not are kept apart, so that the
// check made on every call (is this one of the plain tables?) is a compare of
// addresses and nothing more; the rest is out of line.
struct KnownTable {
    std::atomic<FoldTable> table{nullptr};
    locale_t keeps_alive = nullptr;  // guarded by the mutex of remember_table
};
constexpr int kKnownTables = 4;
inline KnownTable* known_tables(bool plain) noexcept {
    static KnownTable known[2][kKnownTables];
    return known[plain ? 1 : 0];
}

[[gnu::noinline]] inline bool remember_table(FoldTable t) noexcept {
    for (int k = 0; k < kKnownTables; ++k)
        if (known_tables(false)[k].table.load(std::memory_order_acquire) == t) return false;
    const bool plain = folds_ascii_plainly(t);
    // The table is the calling thread's, so it belongs to its current locale
    // (or the global one); a copy of that holds the table.
    locale_t owner = duplocale(uselocale(static_cast<locale_t>(nullptr)));
    if (owner == nullptr) return plain;
    if (owner->__ctype_toupper != t && owner->__ctype_tolower != t) {
        // Another thread changed the global locale since this thread's tables
        // were set: answer, but remember nothing.
        freelocale(owner);
        return plain;
    }
    static std::mutex mutex;
    static unsigned next[2] = {0, 0};
    std::lock_guard<std::mutex> lock(mutex);
    KnownTable* known = known_tables(plain);
    for (int k = 0; k < kKnownTables; ++k) {
        if (known[k].table.load(std::memory_order_relaxed) == t) {
            freelocale(owner);  // another thread was first
            return plain;
        }
    }
    KnownTable& slot = known[next[plain ? 1 : 0]++ % kKnownTables];
    // Forget the old table before letting it go, so that no reader can match
    // an address that may be reused.
    slot.table.store(nullptr, std::memory_order_release);
    if (slot.keeps_alive != nullptr) freelocale(slot.keeps_alive);
    slot.keeps_alive = owner;
    slot.table.store(t, std::memory_order_release);
    return plain;
}

inline bool ascii_standard(FoldTable t) noexcept {
    KnownTable* plain = known_tables(true);
    for (int k = 0; k < kKnownTables; ++k)
        if (plain[k].table.load(std::memory_order_acquire) == t) return true;
    return remember_table(t);
}

#if VANTREL_STRINGS_BLOCKS
namespace simd {

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
    unsigned z = zeros(va);
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

// Bit k set when byte k of the aligned block equals c and (with `pair`) byte
// k + 1 equals d (the last byte's successor lies in the next block and is not
// looked at), or when byte k is the terminator.
__attribute__((no_sanitize("address"))) inline unsigned exact_candidates(const char* aligned,
                                                                         __m128i c, __m128i d,
                                                                         bool pair) noexcept {
    __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(aligned));
    unsigned first = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c)));
    if (pair)
        first &= (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, d))) >> 1) | 0x8000u;
    return first | zeros(v);
}

// Bit k set when byte k at p equals c1 or c2 or is at or above 0x80.
__attribute__((no_sanitize("address"))) inline unsigned fold_candidates(const char* p, __m128i c1,
                                                                        __m128i c2) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, c1), _mm_cmpeq_epi8(v, c2));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, v)));
}

}  // namespace simd
#endif

// Compares two strings byte by byte through `fold` up to `limit` characters
// or a common terminator: 0 when they agree, else the difference of the first
// differing raw bytes (STRNCMP's rule).
inline int fold_compare(const char* a, const char* b, std::size_t limit, FoldTable fold) noexcept {
#if VANTREL_STRINGS_BLOCKS
    const bool ascii = ascii_standard(fold);
#endif
    std::size_t i = 0;
    while (i != limit) {
#if VANTREL_STRINGS_BLOCKS
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
#endif
        unsigned char ca = ub(a[i]);
        unsigned char cb = ub(b[i]);
        if (ca != cb && fold[ca] != fold[cb]) return ca - cb;
        if (ca == '\0') return 0;
        ++i;
    }
    return 0;
}

// First k in [from, n) with fold[text[k]] == fold[c], or n.
inline std::size_t find_folded(const char* t, std::size_t from, std::size_t n, char c,
                               FoldTable fold, bool ascii) noexcept {
    const int want = fold[ub(c)];
    std::size_t k = from;
#if VANTREL_STRINGS_BLOCKS
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
#else
    (void)ascii;
#endif
    while (k < n && fold[ub(t[k])] != want) ++k;
    return k;
}

// ---- search
//
// A text ends at its first terminator or after `limit` bytes, whichever comes
// first (SIZE_MAX: at the terminator); so does a pattern, with its own limit.
// A CString256 is searched with a limit of 255: its own text, read only
// inside its array, without measuring it first.

// Start (or -1) and period of the maximal suffix of the folded pattern (m
// bytes) under the byte order, or under the reverse order.
template <class Fold>
std::ptrdiff_t maximal_suffix(const char* pat, std::size_t m, Fold fold, bool reverse,
                              std::size_t* period) noexcept {
    std::ptrdiff_t start = -1;
    std::size_t j = 0, k = 1, p = 1;
    while (j + k < m) {
        const int a = fold(ub(pat[j + k]));
        const int b =
            fold(ub(pat[static_cast<std::size_t>(start + static_cast<std::ptrdiff_t>(k))]));
        if (reverse ? a > b : a < b) {
            j += k;
            k = 1;
            p = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(j) - start);
        } else if (a == b) {
            if (k != p) {
                ++k;
            } else {
                j += p;
                k = 1;
            }
        } else {
            start = static_cast<std::ptrdiff_t>(j);
            j = j + 1;
            k = p = 1;
        }
    }
    *period = p;
    return start;
}

// Leftmost occurrence of the pattern (m >= 1 bytes) in the text, both folded,
// by the two-way algorithm of Crochemore and Perrin: each text byte is folded
// a bounded number of times, so the work is linear in the text and the
// pattern whatever they hold, and it needs no memory beyond a few counters.
template <class Fold>
const char* two_way_search(const char* t, std::size_t limit, const char* pat, std::size_t m,
                           Fold fold) noexcept {
    // Critical factorisation: a left part of `left` bytes, and the rest, whose
    // period is `period`.
    std::size_t p1, p2;
    const std::ptrdiff_t s1 = maximal_suffix(pat, m, fold, false, &p1);
    const std::ptrdiff_t s2 = maximal_suffix(pat, m, fold, true, &p2);
    const std::size_t left = static_cast<std::size_t>((s1 > s2 ? s1 : s2) + 1);
    const std::size_t period = s1 > s2 ? p1 : p2;

    // The text's length is learnt as the search goes, never far ahead of
    // where it looks.
    std::size_t known = 0;
    auto have = [&](std::size_t end) noexcept {
        if (end <= known) return true;
        if (end > limit) return false;
        const std::size_t ahead = end - known < 256 ? 256 : end - known;
        const std::size_t scan = limit - known < 2 * ahead ? limit - known : 2 * ahead;
        known += strnlen(t + known, scan);
        return end <= known;
    };
    auto P = [&](std::size_t k) noexcept { return fold(ub(pat[k])); };
    auto T = [&](std::size_t k) noexcept { return fold(ub(t[k])); };

    bool periodic = true;
    for (std::size_t k = 0; k < left && periodic; ++k) periodic = P(k) == P(k + period);

    std::size_t j = 0;
    if (periodic) {
        // The pattern is a power of its period: after a match of the right
        // part, `memory` bytes of the next window are already known to match.
        std::size_t memory = 0;
        while (have(j + m)) {
            std::size_t i = left > memory ? left : memory;
            while (i < m && P(i) == T(j + i)) ++i;
            if (i < m) {
                j += i - left + 1;
                memory = 0;
                continue;
            }
            i = left;
            while (i > memory && P(i - 1) == T(j + i - 1)) --i;
            if (i <= memory) return t + j;
            j += period;
            memory = m - period;
        }
    } else {
        const std::size_t shift = (left > m - left ? left : m - left) + 1;
        while (have(j + m)) {
            std::size_t i = left;
            while (i < m && P(i) == T(j + i)) ++i;
            if (i < m) {
                j += i - left + 1;
                continue;
            }
            i = left;
            while (i > 0 && P(i - 1) == T(j + i - 1)) --i;
            if (i == 0) return t + j;
            j += shift;
        }
    }
    return nullptr;
}

// Leftmost position where the pattern (not empty) occurs in the text when
// both are folded; null when there is none. The pattern's length goes to
// *matched when it is found.
//
// Candidates are the positions whose byte folds like the pattern's first
// (found sixteen bytes at a time when the locale folds ASCII plainly), each
// compared with the pattern in turn, so that an overlapping candidate is never
// hidden by a failed one. Such comparisons can cost the pattern's length per
// position; once they have cost more than four bytes per byte of text (plus
// 256), the rest of the text goes to the two-way search, whose cost is linear.
// Most candidates fail on the pattern's second byte; those are not counted
// (one compare per candidate, at most one candidate per byte), so the common
// path keeps no account at all.
//
// `Limited` is false for a text that ends only at its terminator (the limit
// is then not looked at).
template <class Fold, bool Limited>
[[gnu::always_inline]] inline const char* candidate_search(const char* text, std::size_t limit,
                                                           const char* pat, std::size_t pat_limit,
                                                           Fold fold,
                                                           std::size_t* matched) noexcept {
    const char* const end = Limited ? text + limit : nullptr;
    const int first = fold(ub(pat[0]));
    std::size_t excess = 0;
    const char* found = nullptr;
    // Compares the pattern with the text at candidate p: 1 when the search is
    // over (found holds the answer), -1 when no later start can fit (the text
    // ended before the pattern did), 0 to go on.
    auto attempt = [&](const char* p) noexcept {
        // Compared up to the pattern's limit or the text's, whichever is
        // nearer; the terminators end the comparison too.
        std::size_t most = pat_limit;
        if (Limited && static_cast<std::size_t>(end - p) < most)
            most = static_cast<std::size_t>(end - p);
        std::size_t k = 1;
        while (k < most && pat[k] != '\0' && p[k] != '\0' && fold(ub(p[k])) == fold(ub(pat[k])))
            ++k;
        if (k == pat_limit || pat[k] == '\0') {
            found = p;
            if (matched != nullptr) *matched = k;
            return 1;
        }
        if ((Limited && p + k >= end) || p[k] == '\0') return -1;
        // An attempt that failed on the pattern's second byte costs one
        // compare, and the candidates' positions rise by one at least: those
        // alone stay within one compare per text byte. Only the compares
        // beyond the first are counted, and checked.
        if (k == 1) return 0;
        excess += k - 1;
        const std::size_t at = static_cast<std::size_t>(p - text);
        if (excess <= 3 * at + 255) return 0;
        const std::size_t m = k + strnlen(pat + k, pat_limit - k);
        found = two_way_search(p + 1, Limited ? limit - at - 1 : SIZE_MAX, pat, m, fold);
        if (matched != nullptr) *matched = m;
        return 1;
    };

#if VANTREL_STRINGS_BLOCKS
    const unsigned char p0 = ub(pat[0]);
    if (Fold::kExact || (p0 < 0x80 && ascii_standard(fold.table))) {
        // Blocks of sixteen, aligned so that none crosses a page. Exact bytes:
        // the candidates are p0 itself. Folded ASCII: the ASCII bytes that
        // fold like p0 are its two cases (or itself); bytes at or above 0x80
        // are candidates too and go through the table.
        // Exact bytes are filtered on the pattern's second byte as well.
        const bool letter = !Fold::kExact && (p0 | 0x20) >= 'a' && (p0 | 0x20) <= 'z';
        const bool pair = Fold::kExact && pat_limit > 1 && pat[1] != '\0';
        const __m128i c1 = _mm_set1_epi8(static_cast<char>(letter ? (p0 | 0x20) : p0));
        const __m128i c2 = Fold::kExact
                               ? _mm_set1_epi8(pair ? pat[1] : '\0')
                               : _mm_set1_epi8(static_cast<char>(letter ? (p0 & ~0x20) : p0));
        auto candidates = [&](const char* aligned) noexcept {
            return Fold::kExact ? simd::exact_candidates(aligned, c1, c2, pair)
                                : simd::candidates(aligned, c1, c2);
        };
        // The aligned block that holds `text` may start before the string:
        // rounded down as an integer, since pointer arithmetic may not leave
        // the array. NOLINTNEXTLINE(performance-no-int-to-ptr)
        const char* block = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(text) &
                                                          ~std::uintptr_t{15});
        unsigned bits = candidates(block) & (~0u << (text - block));
        for (;;) {
            while (bits != 0) {
                const char* p = block + __builtin_ctz(bits);
                bits &= bits - 1;
                if ((Limited && p >= end) || *p == '\0') return nullptr;
                if (!Fold::kExact && fold(ub(*p)) != first) continue;
                if (int r = attempt(p)) return r > 0 ? found : nullptr;
            }
            block += 16;
            if (Limited && block >= end) return nullptr;
            bits = candidates(block);
        }
    }
#endif
    for (const char* p = text; (!Limited || p < end) && *p != '\0'; ++p) {
        if (fold(ub(*p)) != first) continue;
        if (int r = attempt(p)) return r > 0 ? found : nullptr;
    }
    return nullptr;
}

// The search of a text that ends at its terminator or after `limit` bytes
// (SIZE_MAX: at its terminator only). Inlined into each caller, so that a
// constant limit and the fold fold away.
template <class Fold>
[[gnu::always_inline]] inline const char* fold_search(const char* text, std::size_t limit,
                                                      const char* pat, std::size_t pat_limit,
                                                      Fold fold,
                                                      std::size_t* matched = nullptr) noexcept {
    if (limit == SIZE_MAX)
        return candidate_search<Fold, false>(text, limit, pat, pat_limit, fold, matched);
    return candidate_search<Fold, true>(text, limit, pat, pat_limit, fold, matched);
}

}  // namespace vantrel::strings
