// The class pools of CString256 and the list nodes: storage for 256 objects is
// taken at a time and chained onto a free list (objects 255 down to 1, object 0
// handed out at once), freed objects go back on top (last in, first out), and
// a chunk is never returned to the system.
//
// An object on a free list carries a mark in its link (the low bit, which a
// real address never has), and the link of an object in use is null. So a
// second delete of the same object, or a free list that two threads tore
// (one object handed out twice), is seen before it can corrupt the list: a
// checked build (assertions or sanitizers on) stops with a message, a release
// build leaves the list sound (the second delete is ignored; a torn list is
// dropped for a fresh chunk).
//
// Under AddressSanitizer the text of an object on a free list is also
// poisoned, so a use after delete (or after a list was cleared) is reported
// instead of silently reading a recycled string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "vantrel/fault.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTREL_POOL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VANTREL_POOL_ASAN 1
#endif
#ifdef VANTREL_POOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

#if defined(VANTREL_POOL_ASAN) || !defined(NDEBUG)
#define VANTREL_POOL_CHECKED 1
#else
#define VANTREL_POOL_CHECKED 0
#endif

namespace vantrel::strings {

// The first 256 bytes of every pooled object are its text; the free-list link
// lies after them and stays readable.
inline void poison_text(void* obj) {
#ifdef VANTREL_POOL_ASAN
    ASAN_POISON_MEMORY_REGION(obj, 256);
#else
    (void)obj;
#endif
}
inline void unpoison_text(void* obj) {
#ifdef VANTREL_POOL_ASAN
    ASAN_UNPOISON_MEMORY_REGION(obj, 256);
#else
    (void)obj;
#endif
}

// Reports a misused pool: in a checked build, prints `where` and `what` with
// the object and stops the program; in a release build, returns.
void pool_misuse(const char* where, const char* what, const void* obj) noexcept;

template <class T, T* T::*Link>
struct Pool {
    static constexpr int kChunk = 256;
    static constexpr std::uintptr_t kFree = 1;

    static bool on_free_list(const T* p) noexcept {
        return (reinterpret_cast<std::uintptr_t>(p->*Link) & kFree) != 0;
    }
    // The mark lives in the link's low bit, so the link goes through an
    // integer and back.
    static T* marked(T* next) noexcept {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): setting the mark bit
        return reinterpret_cast<T*>(reinterpret_cast<std::uintptr_t>(next) | kFree);
    }
    static T* unmarked(T* link) noexcept {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): clearing the mark bit
        return reinterpret_cast<T*>(reinterpret_cast<std::uintptr_t>(link) & ~kFree);
    }

    // One object from the free list, or from a fresh chunk; null (and the pool
    // unchanged) when no chunk can be had. `op` names the operation for the
    // fault seam so that tests can make the chunk allocation fail.
    static T* take(T*& head, const char* op) noexcept {
        if (T* p = head) {
            if (on_free_list(p)) {
                head = unmarked(p->*Link);
                p->*Link = nullptr;
                unpoison_text(p);
                return p;
            }
            // The object on top is in use: the list was changed by two
            // threads at once. Nothing on it can be trusted.
            pool_misuse(op, "an object in use is on the free list (two threads at once?)", p);
            head = nullptr;
        }
        if (vantrel::fault::check(op)) return nullptr;
        auto* chunk = static_cast<T*>(::operator new(kChunk * sizeof(T), std::nothrow));
        if (chunk == nullptr) return nullptr;
        for (int k = kChunk - 1; k >= 2; --k) chunk[k].*Link = marked(&chunk[k - 1]);
        chunk[1].*Link = marked(nullptr);
        for (int k = 1; k < kChunk; ++k) poison_text(&chunk[k]);
        chunk[0].*Link = nullptr;
        head = &chunk[kChunk - 1];
        return &chunk[0];
    }

    // Puts `p` back on top; `op` names the operation for a report.
    static void give(T*& head, T* p, const char* op) noexcept {
        if (p == nullptr) return;
        if (on_free_list(p)) {
            pool_misuse(op, "given back twice (or by two threads at once)", p);
            return;
        }
        p->*Link = marked(head);
        head = p;
        poison_text(p);
    }
};

}  // namespace vantrel::strings
