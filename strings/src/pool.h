// The class pools of CString256 and the list nodes: storage for 256 objects is
// taken at a time and chained onto a free list (objects 255 down to 1, object 0
// handed out at once), freed objects go back on top (last in, first out), and
// a chunk is never returned to the system.
//
// Under AddressSanitizer the text of an object on a free list is poisoned, so
// a use after delete (or after a list was cleared) is reported instead of
// silently reading a recycled string.
#pragma once

#include <cstddef>
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

template <class T, T* T::*Link>
struct Pool {
    static constexpr int kChunk = 256;

    // One object from the free list, or from a fresh chunk; null (and the pool
    // unchanged) when no chunk can be had. `op` names the operation for the
    // fault seam so that tests can make the chunk allocation fail.
    static T* take(T*& head, const char* op) noexcept {
        if (T* p = head) {
            head = p->*Link;
            unpoison_text(p);
            return p;
        }
        if (vantrel::fault::check(op)) return nullptr;
        auto* chunk = static_cast<T*>(::operator new(kChunk * sizeof(T), std::nothrow));
        if (chunk == nullptr) return nullptr;
        for (int k = kChunk - 1; k >= 2; --k) chunk[k].*Link = &chunk[k - 1];
        chunk[1].*Link = nullptr;
        for (int k = 1; k < kChunk; ++k) poison_text(&chunk[k]);
        head = &chunk[kChunk - 1];
        return &chunk[0];
    }

    static void give(T*& head, T* p) noexcept {
        if (p == nullptr) return;
        p->*Link = head;
        head = p;
        poison_text(p);
    }
};

}  // namespace vantrel::strings
