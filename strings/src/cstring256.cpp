// CString256: construction, assignment, appending, text utilities and the pool.
#include "vantrel/CString256.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "blocks.h"
#include "fold.h"
#include "pool.h"
#include "vantrel/MacMemory.h"
#include "vantrel/StringUtils.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CString256::operator new");

using vantrel::strings::ub;

namespace {

constexpr std::size_t kCap = 255;  // characters; the array holds one more for the terminator

// Length of the string's own text, at most 255, read only inside the array:
// a terminator overwritten through operator[] cannot make us read past the
// object, and the mutating operations below put a terminator back at 255 at
// the latest.
std::size_t own_len(const CString256& s) {
    return vantrel::strings::array_text_length(s.text);
}

// True when `src` points into this string's own array (a caller passing
// s.text + k); such a source may overlap what is written.
bool inside(const CString256& s, const char* src) {
    auto p = reinterpret_cast<std::uintptr_t>(src);
    auto b = reinterpret_cast<std::uintptr_t>(s.text);
    return p >= b && p < b + sizeof s.text;
}

// Copy of a NUL-terminated string: its first min(length, 255) characters.
// A source inside our own text goes through memmove, read no further than the
// array's end, so the result is that text as it stood.
void copy_from(CString256& s, const char* src) {
    if (src == nullptr) {
        s.text[0] = '\0';
        return;
    }
    if (inside(s, src)) {
        std::size_t avail = static_cast<std::size_t>(s.text + sizeof s.text - src);
        std::size_t n = strnlen(src, avail < kCap ? avail : kCap);
        std::memmove(s.text, src, n);
        s.text[n] = '\0';
        return;
    }
    vantrel::strings::copy_text(s.text, src, kCap);
}

// Append: the result is the first 255 characters of the concatenation. A
// source inside our own text is read before any byte of it is overwritten
// (memmove), so the appended part is the text as it stood before.
void append_from(CString256& s, const char* src) {
    if (src == nullptr) return;
    std::size_t len = own_len(s);
    if (inside(s, src)) {
        std::size_t avail = static_cast<std::size_t>(s.text + sizeof s.text - src);
        std::size_t room = kCap - len;
        std::size_t n = strnlen(src, avail < room ? avail : room);
        std::memmove(s.text + len, src, n);
        s.text[len + n] = '\0';
        return;
    }
    vantrel::strings::copy_text(s.text + len, src, kCap - len);
}

// A prefix or suffix test of `n` characters at `at` against `affix`, with or
// without case.
bool same_affix(const char* at, const char* affix, std::size_t n, unsigned char nocase) {
    if (n == 0) return true;
    return (nocase ? STRNCMP(at, affix, static_cast<int>(n)) : std::strncmp(at, affix, n)) == 0;
}

}  // namespace

CString256* CString256::nfree = nullptr;

CString256::CString256() {
    text[0] = '\0';
}
CString256::CString256(char* s) {
    copy_from(*this, s);
}
CString256::CString256(unsigned char* pascal) {
    CopyPascalStringToC(pascal, text);
}
CString256::CString256(const unsigned char* pascal) {
    CopyPascalStringToC(pascal, text);
}
CString256::CString256(CString256& other) {
    copy_from(*this, other.text);
}

CString256& CString256::operator=(char* s) {
    copy_from(*this, s);
    return *this;
}

CString256& CString256::operator=(const char* s) {
    copy_from(*this, s);
    return *this;
}

CString256& CString256::operator=(unsigned char* pascal) {
    CopyPascalStringToC(pascal, text);
    return *this;
}

CString256& CString256::operator=(CString256& other) {
    if (&other != this) copy_from(*this, other.text);
    return *this;
}

CString256& CString256::operator=(char** handle) {
    Size n = handle != nullptr ? GetHandleSize(handle) : 0;
    std::size_t len = n <= 0 ? 0 : (n < 256 ? static_cast<std::size_t>(n) : kCap);
    if (len > 0 && *handle != nullptr) {
        std::memmove(text, *handle, len);
    } else {
        len = 0;
    }
    // The bytes are taken as they are: a NUL inside ends the string there.
    text[len] = '\0';
    return *this;
}

CString256& CString256::operator=(long value) {
    itoa(text, 31, value);
    return *this;
}

CString256& CString256::operator+=(char* s) {
    append_from(*this, s);
    return *this;
}

CString256& CString256::operator+=(char c) {
    // Single characters stop at 254, one short of string appends.
    std::size_t len = own_len(*this);
    if (len < kCap - 1) {
        text[len] = c;
        text[len + 1] = '\0';
    } else {
        text[len] = '\0';  // already there unless operator[] wrote over it
    }
    return *this;
}

CString256& CString256::operator+=(CString256 copy) {
    append_from(*this, copy.text);
    return *this;
}

CString256& CString256::operator+=(unsigned char* pascal) {
    char scratch[256];
    CopyPascalStringToC(pascal, scratch);
    append_from(*this, scratch);
    return *this;
}

CString256& CString256::operator+=(long value) {
    char scratch[31];
    itoa(scratch, sizeof scratch, value);
    append_from(*this, scratch);
    return *this;
}

char& CString256::operator[](int index) {
    return text[index];
}

void CString256::to_lower() {
    auto lower = vantrel::strings::lower_table();
    for (char* p = text; p < text + sizeof text && *p != '\0'; ++p)
        *p = static_cast<char>(lower[ub(*p)]);
}

void CString256::print(char* buffer) {
    std::size_t at = std::strlen(buffer);
    std::size_t n = own_len(*this);
    std::memmove(buffer + at, text, n);
    buffer[at + n] = '\n';
    buffer[at + n + 1] = '\0';
}

unsigned char CString256::beginsWith(char* prefix, unsigned char nocase) {
    if (prefix == nullptr) return 1;
    std::size_t n = std::strlen(prefix);
    // A prefix longer than the text cannot match; testing that first keeps the
    // comparison inside the array.
    if (n > own_len(*this)) return 0;
    return same_affix(text, prefix, n, nocase) ? 1 : 0;
}

unsigned char CString256::beginsWith(CString256* prefix, unsigned char nocase) {
    if (prefix == nullptr) return 1;
    // The prefix's own text, read only inside its array.
    std::size_t n = own_len(*prefix);
    if (n > own_len(*this)) return 0;
    return same_affix(text, prefix->text, n, nocase) ? 1 : 0;
}

unsigned char CString256::endsWith(char* suffix, unsigned char nocase) {
    if (suffix == nullptr) return 1;
    std::size_t n = std::strlen(suffix);
    std::size_t len = own_len(*this);
    if (n > len) return 0;
    return same_affix(text + (len - n), suffix, n, nocase) ? 1 : 0;
}

unsigned char CString256::endsWith(CString256* suffix, unsigned char nocase) {
    if (suffix == nullptr) return 1;
    std::size_t n = own_len(*suffix);
    std::size_t len = own_len(*this);
    if (n > len) return 0;
    return same_affix(text + (len - n), suffix->text, n, nocase) ? 1 : 0;
}

unsigned char CString256::beginsWith_nocase(CString256& prefix) {
    return beginsWith(&prefix, 1);
}
unsigned char CString256::beginsWith_nocase(char* prefix) {
    return beginsWith(prefix, 1);
}
unsigned char CString256::endsWith_nocase(CString256& suffix) {
    return endsWith(&suffix, 1);
}
unsigned char CString256::endsWith_nocase(char* suffix) {
    return endsWith(suffix, 1);
}

void CString256::change_suffix(char* suffix) {
    // The last dot anywhere counts, also one in a directory part of a path.
    std::size_t len = own_len(*this);
    text[len] = '\0';
    if (char* dot = std::strrchr(text, '.')) *dot = '\0';
    append_from(*this, ".");
    append_from(*this, suffix);
}

void CString256::filter_to_alnum_or_punct() {
    // One pass that keeps the wanted characters in order; the same result as
    // deleting each unwanted one and closing the gap.
    std::size_t len = own_len(*this);
    std::size_t w = 0;
    for (std::size_t r = 0; r < len; ++r) {
        unsigned char c = ub(text[r]);
        if (isalnum(c) || ispunct(c)) text[w++] = text[r];
    }
    text[w] = '\0';
}

void CString256::match(void (*matcher)(void*, void*, float*), void* pattern, float* score) {
    if (matcher != nullptr) matcher(this, pattern, score);
}

void* CString256::operator new(unsigned long size) noexcept {
    // Only whole strings come from the pool; any other size (an explicit call)
    // gets storage of its own.
    if (size != sizeof(CString256)) return ::operator new(size, std::nothrow);
    using Pool = vantrel::strings::Pool<CString256, &CString256::next_free>;
    return Pool::take(nfree, "CString256::operator new");
}

void CString256::operator delete(void* p, unsigned long size) noexcept {
    if (size != sizeof(CString256)) {
        ::operator delete(p);
        return;
    }
    using Pool = vantrel::strings::Pool<CString256, &CString256::next_free>;
    Pool::give(nfree, static_cast<CString256*>(p), "CString256::operator delete");
}
