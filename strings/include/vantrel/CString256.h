// CString256: a string of at most 255 single-byte characters held inline in a
// 256-byte array, with no heap storage of its own; lists of such strings
// (CList<CString256>); and matching with a float score.
//
//   CString256 name;
//   name = "holiday.MOV";
//   name += "  ";                          // silently cut at 255 characters
//   if (name.endsWith_nocase((char*)".mov")) name.change_suffix((char*)"txt");
//
//   CList<CString256> parts;
//   CString256 pattern;
//   pattern = "*movie*.mov";
//   pattern.parse_into_list((char*)"*", parts);     // "movie", ".mov"
//   float score;
//   name.match_wildcard_nocase(parts, &score);      // 1.0 or 0.0
//   name.match(matcher_nocase_approximate_256, (void*)"holdy", &score);
//
// Capacity is enforced by silent truncation: string appends stop at 255
// characters, single-character appends at 254. A null char* counts as the
// empty string (constructor, assignment) or is ignored (append). Nothing here
// reports an error.
//
// The address of a CString256 is the address of its text, so a CString256* can
// be handed to any C string function, and the matcher adapters accept a plain
// char* where they expect a string.
//
// Threads. Strings and list nodes made with `new` come from two process-wide
// pools that grow by 256 objects at a time and never shrink. The pools take no
// lock: `new` and `delete` of strings, and appending to, clearing, splitting
// into and destroying lists, must happen on one thread at a time in the whole
// process (one thread, or callers that hold a lock of their own). Strings on
// the stack or inside other objects, and every read-only operation on
// distinct strings, may be used on several threads at once. A pool used from
// two threads at once, or an object deleted twice, stops a debug or sanitizer
// build with a message; a release build keeps its free list sound.
//
// Neither class with a pool can be derived from (a derived object would not
// fit the pool's slots).
#pragma once

#include "vantrel/Export.h"

struct __CFString;

template <class T>
class elem;
template <class T>
class CList;

class VANTREL_EXPORT CString256 final {
  public:
    // The characters and their terminator; the class keeps a terminator inside
    // the array. What a caller writes through operator[] is its own affair.
    char text[256];
    // Link of the pool's free list, used only while the storage is free.
    CString256* next_free;

    // First object of the pool's free list; null until the first `new`.
    static CString256* nfree;

    CString256();
    CString256(char* s);                // copy, first 255 characters; null gives ""
    CString256(unsigned char* pascal);  // Pascal string (length byte + bytes)
    CString256(const unsigned char* pascal);
    CString256(CString256& other);

    // Assignment. A source pointing into this string's own text is safe: the
    // result is that text as it stood before the assignment.
    CString256& operator=(char* s);
    CString256& operator=(const char* s);
    CString256& operator=(unsigned char* pascal);
    // Converts to Mac Roman into the text. When the conversion fails (a
    // character has no Mac Roman form, or the text needs more than 255 bytes)
    // the result is the empty string.
    CString256& operator=(const __CFString* cf);
    CString256& operator=(CString256& other);
    // The handle's bytes up to its first NUL, at most 255; null or empty
    // handle gives "".
    CString256& operator=(char** handle);
    CString256& operator=(long value);  // decimal text, full 64-bit range

    // Appends. The result is the first 255 characters of the concatenation. A
    // source pointing into this string's own text appends a copy of that text
    // as it stood before the append.
    CString256& operator+=(char* s);
    CString256& operator+=(char c);  // only while the text holds at most 253 characters
    CString256& operator+=(CString256 copy);
    CString256& operator+=(unsigned char* pascal);
    CString256& operator+=(long value);
    CString256& operator+=(const __CFString* cf);  // appends nothing when conversion fails

    // No range test: callers keep the index within 0 to 255.
    char& operator[](int index);

    void to_lower();
    // Appends the text and a newline to the NUL-terminated string in `buffer`,
    // which must have room for both and the terminator.
    void print(char* buffer);
    // Writes the text and a newline at the current mark of the open fork with
    // reference number `refNum`; returns FSWrite's result.
    short print(short refNum);

    // Prefix and suffix tests; a nonzero flag ignores case. An empty (or null)
    // prefix or suffix is always found.
    unsigned char beginsWith(CString256* prefix, unsigned char nocase);
    unsigned char beginsWith(char* prefix, unsigned char nocase);
    unsigned char endsWith(CString256* suffix, unsigned char nocase);
    unsigned char endsWith(char* suffix, unsigned char nocase);
    unsigned char beginsWith_nocase(CString256& prefix);
    unsigned char beginsWith_nocase(char* prefix);
    unsigned char endsWith_nocase(CString256& suffix);
    unsigned char endsWith_nocase(char* suffix);

    // Replaces the last "." and what follows it (or appends, when there is no
    // dot) with "." and `suffix`; a null suffix leaves the name ending in ".".
    void change_suffix(char* suffix);
    // Deletes every character that is neither alphanumeric nor punctuation.
    void filter_to_alnum_or_punct();

    // Splits the text at any of `delimiters` (runs count as one; no empty
    // tokens) into `list`, which is cleared first. Does not disturb a caller's
    // own strtok scan.
    void parse_into_list(char* delimiters, CList<CString256>& list);
    // Replaces the text by the list's elements joined with `separator`, cut at
    // 255 characters. Moves the list's cursor.
    void flatten_list(char separator, CList<CString256>& list);

    // Matching: this string is the text, the argument the pattern; the score
    // (0.0 or 1.0, or a similarity in [0, 1] for approximate) goes to *score.
    void match_case_exact(CString256& pattern, float* score);
    void match_nocase_exact(CString256& pattern, float* score);
    void match_case_partial(CString256& pattern, float* score);
    void match_nocase_partial(CString256& pattern, float* score);
    void match_case_approximate(CString256& pattern, float* score);
    void match_nocase_approximate(CString256& pattern, float* score);
    // Fragments must occur in list order without overlapping; an empty list
    // matches everything. Moves the list's cursor.
    void match_wildcard_case(CList<CString256>& fragments, float* score);
    void match_wildcard_nocase(CList<CString256>& fragments, float* score);
    // Calls matcher(this, pattern, score).
    void match(void (*matcher)(void*, void*, float*), void* pattern, float* score);

    // The pool: 256 objects per chunk, last-in first-out reuse, chunks never
    // returned. `new` yields null (constructing nothing) when no chunk can be
    // had. Only storage from this operator new may be deleted, once. One
    // thread at a time (see the top of this header). An explicit call for
    // another size than one string gets storage from the global allocator.
    static void* operator new(unsigned long size) noexcept;
    static void operator delete(void* p, unsigned long size) noexcept;
};

// A list node: a copy of the value and the links.
template <class T>
class VANTREL_EXPORT elem final {
  public:
    T data;
    elem* next;
    elem* next_free;  // only while the node is on the node pool's free list

    // First node of the node pool's free list; null until the first append.
    static elem* lfree;

    // Used by CList::append only.
    __attribute__((visibility("hidden"))) explicit elem(T& value) noexcept;

    // Same scheme as CString256's pool, and the same one-thread rule. Nodes
    // return to the pool only through CList::clear; there is no node delete.
    static void* operator new(unsigned long size) noexcept;
};

// A singly linked list with one built-in iteration position, the cursor.
//
// Walks (flatten_list, the wildcard matchers, clear) set the cursor to the
// head and keep it one node ahead of the node they work on, so it is null after
// a complete walk; append leaves it on the node that was last before. A list
// owns its nodes and gives them back to the pool when it is cleared or goes
// away; it cannot be copied (two lists sharing nodes would hand them back
// twice). Appending, clearing and destroying lists take nodes from and give
// them to the process-wide node pool: one thread at a time.
template <class T>
class VANTREL_EXPORT CList {
  public:
    elem<T>* head = nullptr;
    elem<T>* tail = nullptr;
    elem<T>* cursor = nullptr;
    int count = 0;

    CList() = default;
    ~CList();
    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;

    // Adds a copy (first 255 characters) at the end; without effect when no
    // node can be had.
    void append(T& value);
    // Empties the list; its nodes go onto the pool's free list in list order.
    void clear();
};

extern template class VANTREL_EXPORT elem<CString256>;
extern template class VANTREL_EXPORT CList<CString256>;

// Matcher adapters, for CString256::match or any caller that picks a matcher at
// run time. The exact, partial and approximate adapters take the text (a
// CString256 or any NUL-terminated string, used whole) and a NUL-terminated
// pattern (cut at 255 characters); the wildcard adapters take the text (cut at
// 255 characters) and a pointer to a CList<CString256> of fragments.
VANTREL_EXPORT void matcher_case_exact_256(void* text, void* pattern, float* score);
VANTREL_EXPORT void matcher_nocase_exact_256(void* text, void* pattern, float* score);
VANTREL_EXPORT void matcher_case_partial_256(void* text, void* pattern, float* score);
VANTREL_EXPORT void matcher_nocase_partial_256(void* text, void* pattern, float* score);
VANTREL_EXPORT void matcher_case_approximate_256(void* text, void* pattern, float* score);
VANTREL_EXPORT void matcher_nocase_approximate_256(void* text, void* pattern, float* score);
VANTREL_EXPORT void match_wildcard_case_256(void* text, void* fragments, float* score);
VANTREL_EXPORT void match_wildcard_nocase_256(void* text, void* fragments, float* score);
