// Free functions over NUL-terminated byte strings: case-insensitive search and
// bounded comparison, in-place reversal, decimal formatting of integers and a
// two-character swap. CString256 builds on them; outside callers may use them
// directly.
//
//   const char* hit = STRSTR("Hello World", "WORLD");    // -> "World"
//   if (STRNCMP(name, "IMG_", 4) == 0) { ... }            // case ignored
//   char* s = itoa(-42L);                                  // "-42", caller frees
//   delete[] s;
//   char buf[12];
//   itoa(buf, sizeof buf, 2147483647L);                    // "2147483647"
//
// Case is folded with the C library's toupper of each byte taken as an
// unsigned value, so the process's current locale decides what bytes above
// 0x7F fold to. The functions keep no state and may run on several threads at
// once on distinct buffers.
//
// `long` is 64 bits on Linux x86_64 and these functions format the full value:
// the 31-byte buffer that CString256 uses holds any 64-bit value with its sign.
#pragma once

#include "vantrel/Export.h"

// Leftmost position of `pattern` in `text`, case ignored; `text` itself for an
// empty pattern; null when there is none. Both must be valid strings.
VANTREL_EXPORT char* STRSTR(const char* text, const char* pattern);

// Compares at most `n` characters, case ignored, stopping after a common
// terminator. 0 when they agree; otherwise the difference of the first
// differing *raw* bytes (so "a" vs "B" gives 31: use the result only as zero or
// nonzero). n = 0 gives 0; a negative n compares to the first difference or
// the common end.
VANTREL_EXPORT int STRNCMP(const char* a, const char* b, int n);

// Reverses the string in place; a null pointer is ignored.
VANTREL_EXPORT void reverse(char* s);

// Decimal text in a new array (release it with delete[]); null when the
// allocation fails. The array is sized from a count of the digits, with room
// for the sign and the terminator.
VANTREL_EXPORT char* itoa(unsigned long value);
VANTREL_EXPORT char* itoa(long value);
VANTREL_EXPORT char* itoa(short value);

// Writes the decimal text of `value` into `buffer`, never touching a byte at or
// beyond `size`. When the text does not fit, the lowest-order digits are kept
// (12345 with size 3 gives "45"); a negative value keeps its sign in front of
// the digits that fit after it (-12345 with size 4 gives "-45", with size 2
// just "-"), so a cut value never reads as a positive number. Size 1 writes
// only the terminator; size 0 or less writes nothing.
VANTREL_EXPORT void itoa(char* buffer, short size, long value);

// Exchanges the characters at indexes i and j; no range test.
VANTREL_EXPORT void switchIt(char* s, int i, int j);
