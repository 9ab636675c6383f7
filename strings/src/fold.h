// Case folding and byte search shared by the string library's sources.
//
// The C library's toupper/tolower follow the process's current locale. glibc
// keeps the current thread's folding tables behind __ctype_toupper_loc and
// __ctype_tolower_loc (the same tables its own toupper reads), so a function
// fetches the table once per call and then folds each byte with one load: the
// same answers as calling toupper per byte, without the call.
#pragma once

#include <ctype.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::strings {

using FoldTable = const std::int32_t*;

inline FoldTable upper_table() noexcept { return *__ctype_toupper_loc(); }
inline FoldTable lower_table() noexcept { return *__ctype_tolower_loc(); }

inline unsigned char ub(char c) noexcept { return static_cast<unsigned char>(c); }

// Leftmost position in `text` where `pat` (not empty) occurs when both are
// folded through `fold`; null when there is none. Every start position is
// tried, so an overlapping candidate is never hidden by a failed one.
inline const char* fold_search(const char* text, const char* pat, FoldTable fold) noexcept {
    const std::int32_t first = fold[ub(pat[0])];
    const char* rest = pat + 1;
    for (const char* p = text; *p != '\0'; ++p) {
        if (fold[ub(*p)] != first) continue;
        std::size_t k = 0;
        while (rest[k] != '\0' && p[k + 1] != '\0' && fold[ub(p[k + 1])] == fold[ub(rest[k])]) ++k;
        if (rest[k] == '\0') return p;
        // The text ran out before the pattern did: no later start can fit.
        if (p[k + 1] == '\0') return nullptr;
    }
    return nullptr;
}

}  // namespace vantrel::strings
