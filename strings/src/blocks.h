// Lengths, copies and byte searches for the string library, sixteen bytes at
// a time where the processor has SSE2 (every x86-64), and through the C
// library's own functions elsewhere (aarch64, or any build that defines
// VANTREL_STRINGS_PORTABLE=1, which the test suite also runs).
//
// A block read may go past a terminator, but never across a page boundary:
// a load that stays inside one page cannot fault, whatever follows the
// string. Such loads are kept out of AddressSanitizer's view, as the C
// library's own string functions are. Writes never carry a byte the source
// did not give as text: a copy stores the characters and the terminator, and
// at most zeros after them, within the destination's room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !(defined(VANTREL_STRINGS_PORTABLE) && VANTREL_STRINGS_PORTABLE)
#define VANTREL_STRINGS_BLOCKS 1
#include <emmintrin.h>
#else
#define VANTREL_STRINGS_BLOCKS 0
#endif

namespace vantrel::strings {

inline unsigned char ub(char c) noexcept {
    return static_cast<unsigned char>(c);
}

#if VANTREL_STRINGS_BLOCKS
namespace simd {

inline bool page_safe(const void* p) noexcept {
    return (reinterpret_cast<std::uintptr_t>(p) & 4095) <= 4096 - 16;
}

// Sixteen bytes from p (page_safe(p) must hold).
__attribute__((no_sanitize("address"))) inline __m128i load(const char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Bit k set when byte k of v is the terminator.
inline unsigned zeros(__m128i v) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// Bit k set when byte k at p equals c.
__attribute__((no_sanitize("address"))) inline unsigned equal_bytes(const char* p,
                                                                    __m128i c) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c)));
}

}  // namespace simd
#endif

// Length of a text kept in a 256-byte array: the position of its first
// terminator, at most 255. Reads nothing outside the array, so a terminator
// that a caller wrote over cannot lead the string's own operations beyond it.
inline std::size_t array_text_length(const char* text) noexcept {
#if VANTREL_STRINGS_BLOCKS
    for (std::size_t i = 0; i < 256; i += 16) {
        __m128i v;
        std::memcpy(&v, text + i, sizeof v);
        if (unsigned z = simd::zeros(v)) {
            std::size_t n = i + static_cast<std::size_t>(__builtin_ctz(z));
            return n < 255 ? n : 255;
        }
    }
    return 255;
#else
    const void* z = std::memchr(text, 0, 256);
    std::size_t n =
        z == nullptr ? 255 : static_cast<std::size_t>(static_cast<const char*>(z) - text);
    return n < 255 ? n : 255;
#endif
}

// Copies at most `cap` characters of `src` to `dst` and terminates them;
// returns the count copied. `dst` has room for cap + 1 bytes and does not
// overlap `src`. Only the copied characters and the terminator are written.
inline std::size_t copy_text(char* dst, const char* src, std::size_t cap) noexcept {
#if VANTREL_STRINGS_BLOCKS
    std::size_t i = 0;
    while (simd::page_safe(src + i)) {
        __m128i v = simd::load(src + i);
        unsigned z = simd::zeros(v);
        if (z == 0 && cap - i >= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
            i += 16;
            continue;
        }
        // The text ends in this block, or the cap does. The `len` bytes from
        // the start are the source's own: its characters, and its terminator
        // when the text ended before the cap.
        std::size_t n = z != 0 ? i + static_cast<std::size_t>(__builtin_ctz(z)) : cap;
        const bool ended = z != 0 && n <= cap;
        if (!ended) n = cap;
        const std::size_t len = ended ? n + 1 : n;
        if (ended && cap + 1 - i >= 16) {
            // The destination has sixteen bytes here: one store of the block
            // with every byte from the terminator on cleared (the bytes at or
            // after the first zero, found by spreading it upwards).
            __m128i after = _mm_cmpeq_epi8(v, _mm_setzero_si128());
            after = _mm_or_si128(after, _mm_slli_si128(after, 1));
            after = _mm_or_si128(after, _mm_slli_si128(after, 2));
            after = _mm_or_si128(after, _mm_slli_si128(after, 4));
            after = _mm_or_si128(after, _mm_slli_si128(after, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_andnot_si128(after, v));
            return n;
        }
        // Otherwise two overlapping moves: the last sixteen bytes (or eight,
        // or four) and those before them.
        if (len >= 16) {
            std::memcpy(dst + len - 16, src + len - 16, 16);
        } else if (len >= 8) {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + len - 8, src + len - 8, 8);
        } else if (len >= 4) {
            std::memcpy(dst, src, 4);
            std::memcpy(dst + len - 4, src + len - 4, 4);
        } else {
            for (std::size_t k = 0; k < len; ++k) dst[k] = src[k];
        }
        if (!ended) dst[n] = '\0';
        return n;
    }
    // Close to the end of a page: byte by byte.
    while (i < cap && src[i] != '\0') {
        dst[i] = src[i];
        ++i;
    }
    dst[i] = '\0';
    return i;
#else
    const std::size_t n = strnlen(src, cap);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return n;
#endif
}

// First k in [from, n) with t[k] == c, or n.
inline std::size_t find_byte(const char* t, std::size_t from, std::size_t n, char c) noexcept {
#if VANTREL_STRINGS_BLOCKS
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
#else
    if (from >= n) return n;
    const void* hit = std::memchr(t + from, c, n - from);
    return hit == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(hit) - t);
#endif
}

}  // namespace vantrel::strings
