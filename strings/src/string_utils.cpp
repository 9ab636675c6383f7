// STRSTR, STRNCMP, reverse, the itoa family and switchIt.
#include <cstdint>
#include <cstring>
#include <new>

#include "fold.h"
#include "vantrel/StringUtils.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("itoa");

using vantrel::strings::fold_search;
using vantrel::strings::upper_table;

char* STRSTR(const char* text, const char* pattern) {
    if (pattern[0] == '\0') return const_cast<char*>(text);
    // Neither length is needed: text and pattern end at their terminators.
    return const_cast<char*>(
        fold_search(text, SIZE_MAX, pattern, SIZE_MAX, vantrel::strings::TableFold{upper_table()}));
}

int STRNCMP(const char* a, const char* b, int n) {
    // A negative count never ends the comparison, so it runs to the first
    // difference or the common end.
    const std::size_t limit = n < 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(n);
    return vantrel::strings::fold_compare(a, b, limit, upper_table());
}

void reverse(char* s) {
    if (s == nullptr) return;
    std::size_t n = std::strlen(s);
    if (n < 2) return;
    for (char *lo = s, *hi = s + n - 1; lo < hi; ++lo, --hi) {
        char t = *lo;
        *lo = *hi;
        *hi = t;
    }
}

namespace {

// Magnitude of any value of the type, the most negative included.
unsigned long magnitude(long v) {
    return v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
}

int digit_count(unsigned long m) {
    int d = 1;
    while (m >= 10) {
        m /= 10;
        ++d;
    }
    return d;
}

// Digits least significant first, then the sign, then reversed in place: one
// allocation of the counted size and no second buffer.
char* format_new(unsigned long mag, bool negative) {
    if (vantrel::fault::check("itoa")) return nullptr;
    char* out = new (std::nothrow) char[digit_count(mag) + 2];
    if (out == nullptr) return nullptr;
    int i = 0;
    do {
        out[i++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    if (negative) out[i++] = '-';
    out[i] = '\0';
    reverse(out);
    return out;
}

}  // namespace

char* itoa(unsigned long value) {
    return format_new(value, false);
}
char* itoa(long value) {
    return format_new(magnitude(value), value < 0);
}
char* itoa(short value) {
    return format_new(magnitude(value), value < 0);
}

void itoa(char* buffer, short size, long value) {
    if (buffer == nullptr || size <= 0) return;
    const bool negative = value < 0;
    unsigned long mag = magnitude(value);
    // size - 1 places for the text; a negative value gives one of them to its
    // sign, so the sign and terminator never land past the buffer.
    int limit = size - 1;
    if (negative && limit > 0) --limit;
    int i = 0;
    while (i < limit) {
        buffer[i++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
        if (mag == 0) break;
    }
    if (negative && i < size - 1) buffer[i++] = '-';
    buffer[i] = '\0';
    reverse(buffer);
}

void switchIt(char* s, int i, int j) {
    char t = s[i];
    s[i] = s[j];
    s[j] = t;
}
