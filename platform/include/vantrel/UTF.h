// UTF-8 and UTF-16, one character at a time and whole strings: the one
// conversion between the two that the platform's libraries and programs
// share (CFString and its CFSTR literals, property lists, the File
// Manager's names, fmutil). Header-only and constexpr, so that CFSTR can
// decode its literal at compile time with the same code that decodes a
// string at run time; nothing here is exported from a library.
//
//   std::u16string units;
//   vantrel::utf::utf8_to_utf16("caf\xC3\xA9", &units, vantrel::utf::Invalid::Refuse);
//   std::string back;
//   vantrel::utf::utf16_to_utf8(units, &back, vantrel::utf::Invalid::Refuse);
//
// Well-formed means as the Unicode Standard's table of well-formed UTF-8
// byte sequences says: no overlong forms (C0 80 for U+0000), no surrogates
// (ED A0 80), nothing past U+10FFFF (F4 90 80 80, F5...). In UTF-16, a
// surrogate is well-formed only as a high one followed by a low one.
// An ill-formed sequence is refused or replaced, as the caller says: by one
// U+FFFD for each maximal subpart (the longest start of a well-formed
// sequence it has, or else one unit: the Standard's recommended practice,
// which ICU, Python and browsers follow), or by one U+FFFD for each unit
// (each byte stands for itself, so that a name's bytes can be counted in
// what is shown of it). C++ only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::utf {

inline constexpr char32_t kReplacement = 0xFFFD;

// One character decoded from the start of a sequence: its code point and the
// units it took. An ill-formed start has `ok` false, `cp` U+FFFD, and `len`
// its maximal subpart (at least 1).
struct Decoded {
    char32_t cp;
    std::size_t len;
    bool ok;
};

// The character at the start of the `n` (at least 1) bytes at `s`.
constexpr Decoded decode_utf8(const char* s, std::size_t n) noexcept {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return {b0, 1, true};
    std::size_t need = 0;
    char32_t cp = 0;
    // The range the second byte must be in: the first alone rules out the
    // overlong forms, the surrogates and what lies past U+10FFFF.
    unsigned char lo = 0x80, hi = 0xBF;
    // A continuation byte, C0 and C1 (only ever overlong), or past F4.
    if (b0 < 0xC2 || b0 > 0xF4) return {kReplacement, 1, false};
    if (b0 < 0xE0) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 < 0xF0) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (k >= n) return {kReplacement, k, false};
        const auto b = static_cast<unsigned char>(s[k]);
        if (k == 1 ? (b < lo || b > hi) : (b & 0xC0) != 0x80) return {kReplacement, k, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, need + 1, true};
}

// The character at the start of the `n` (at least 1) units at `s`: a lone
// or reversed surrogate is ill-formed, one unit long.
constexpr Decoded decode_utf16(const char16_t* s, std::size_t n) noexcept {
    const char32_t u = s[0];
    if (u < 0xD800 || u > 0xDFFF) return {u, 1, true};
    if (u <= 0xDBFF && n >= 2 && s[1] >= 0xDC00 && s[1] <= 0xDFFF)
        return {0x10000 + ((u - 0xD800) << 10) + (s[1] - 0xDC00u), 2, true};
    return {kReplacement, 1, false};
}

// Writes the scalar value `cp` (not a surrogate, at most U+10FFFF) as
// UTF-8 into `out` (room for 4); returns the byte count.
constexpr std::size_t encode_utf8(char32_t cp, char* out) noexcept {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Writes the scalar value `cp` as UTF-16 into `out` (room for 2); returns
// the unit count.
constexpr std::size_t encode_utf16(char32_t cp, char16_t* out) noexcept {
    if (cp < 0x10000) {
        out[0] = static_cast<char16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

// The offset of the first ill-formed sequence in `s`, or npos.
constexpr std::size_t invalid_utf8_at(std::string_view s) noexcept {
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decode_utf8(s.data() + i, s.size() - i);
        if (!d.ok) return i;
        i += d.len;
    }
    return std::string_view::npos;
}

// What a conversion does with an ill-formed sequence.
enum class Invalid {
    Refuse,          // the conversion fails
    ReplaceSubpart,  // one U+FFFD for each maximal subpart
    ReplaceEachUnit  // one U+FFFD for each byte (or lone surrogate)
};

// Appends `in` as UTF-16 to `*out`. False only with Invalid::Refuse, at the
// first ill-formed sequence (`*out` then holds what came before it).
inline bool utf8_to_utf16(std::string_view in, std::u16string* out, Invalid how) {
    out->reserve(out->size() + in.size());
    for (std::size_t i = 0; i < in.size();) {
        const Decoded d = decode_utf8(in.data() + i, in.size() - i);
        if (!d.ok && how == Invalid::Refuse) return false;
        char16_t units[2];
        out->append(units, encode_utf16(d.cp, units));
        i += d.ok || how == Invalid::ReplaceSubpart ? d.len : 1;
    }
    return true;
}

// Appends `in` as UTF-8 to `*out`. False only with Invalid::Refuse, at the
// first lone surrogate. (A lone surrogate is one unit: both ways of
// replacing give one U+FFFD for it.)
inline bool utf16_to_utf8(std::u16string_view in, std::string* out, Invalid how) {
    out->reserve(out->size() + in.size());
    for (std::size_t i = 0; i < in.size();) {
        const Decoded d = decode_utf16(in.data() + i, in.size() - i);
        if (!d.ok && how == Invalid::Refuse) return false;
        char bytes[4];
        out->append(bytes, encode_utf8(d.cp, bytes));
        i += d.len;
    }
    return true;
}

}  // namespace vantrel::utf
