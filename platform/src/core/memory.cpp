// Memory Manager handles. A handle points at a heap-allocated master record
// whose first member is the master pointer, so `*h` is the block as callers
// expect; the record also carries the block's size and the bytes allocated
// behind it. Appends grow the allocation geometrically, so building a handle
// one item at a time (a directory listing of 100,000 references) costs
// amortised constant time per item; the size callers see stays exact.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "vantrel/MacMemory.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("NewHandle", "SetHandleSize", "PtrAndHand");

namespace {

struct Master {
    Ptr block;      // must stay first: a Handle is the address of this member
    Size size;      // what GetHandleSize reports
    Size capacity;  // bytes allocated at block (at least 1, at least size)
};

thread_local OSErr t_memError = noErr;

Master* master(Handle h) {
    return reinterpret_cast<Master*>(h);
}

OSErr set(OSErr e) {
    return t_memError = e;
}

}  // namespace

extern "C" {

Handle NewHandle(Size size) {
    if (size < 0) {
        set(paramErr);
        return nullptr;
    }
    if (OSErr e = vantrel::fault::check("NewHandle")) {
        set(e);
        return nullptr;
    }
    auto* m = static_cast<Master*>(std::malloc(sizeof(Master)));
    if (m == nullptr) {
        set(memFullErr);
        return nullptr;
    }
    // A zero-size block still gets a valid, unique pointer.
    m->block = static_cast<Ptr>(std::calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
    if (m->block == nullptr) {
        std::free(m);
        set(memFullErr);
        return nullptr;
    }
    m->size = size;
    m->capacity = size > 0 ? size : 1;
    set(noErr);
    return &m->block;
}

Handle NewHandleClear(Size size) {
    return NewHandle(size);
}

Size GetHandleSize(Handle h) {
    if (h == nullptr) {
        set(nilHandleErr);
        return 0;
    }
    set(noErr);
    return master(h)->size;
}

// Sets the block's size; bytes that become part of it are zero. With
// `spare`, an allocation that must grow takes half as much again, so that a
// run of appends reallocates only a logarithmic number of times.
static OSErr resize(Master* m, Size newSize, bool spare = false) {
    if (newSize < 0) return set(paramErr);
    if (newSize > m->capacity || (!spare && newSize < m->capacity / 2)) {
        Size want = newSize > 0 ? newSize : 1;
        if (spare && newSize > m->capacity) {
            const Size room = std::numeric_limits<Size>::max() - m->capacity;
            const Size grown = m->capacity + (m->capacity / 2 < room ? m->capacity / 2 : room);
            if (grown > want) want = grown;
        }
        Ptr p = static_cast<Ptr>(std::realloc(m->block, static_cast<size_t>(want)));
        if (p == nullptr && want > newSize && newSize > 0) {
            // The extra room is an optimisation: try the exact size.
            want = newSize;
            p = static_cast<Ptr>(std::realloc(m->block, static_cast<size_t>(want)));
        }
        if (p == nullptr) return set(memFullErr);
        m->block = p;
        m->capacity = want;
    }
    if (newSize > m->size)
        std::memset(m->block + m->size, 0, static_cast<size_t>(newSize - m->size));
    m->size = newSize;
    return set(noErr);
}

void SetHandleSize(Handle h, Size newSize) {
    if (h == nullptr) {
        set(nilHandleErr);
        return;
    }
    if (OSErr e = vantrel::fault::check("SetHandleSize")) {
        set(e);
        return;
    }
    resize(master(h), newSize);
}

OSErr PtrAndHand(const void* ptr, Handle h, long size) {
    if (h == nullptr) return set(nilHandleErr);
    if (size < 0 || (size > 0 && ptr == nullptr)) return set(paramErr);
    if (OSErr e = vantrel::fault::check("PtrAndHand")) return set(e);
    Master* m = master(h);
    const Size old = m->size;
    if (size > std::numeric_limits<Size>::max() - old) return set(memFullErr);
    if (size > 0 && ptr >= m->block && static_cast<const char*>(ptr) < m->block + old) {
        // Appending part of the handle to itself: the block may move.
        const Size off = static_cast<const char*>(ptr) - m->block;
        if (OSErr e = resize(m, old + size, true)) return e;
        std::memmove(m->block + old, m->block + off, static_cast<size_t>(size));
        return set(noErr);
    }
    if (OSErr e = resize(m, old + size, true)) return e;
    if (size > 0) std::memcpy(m->block + old, ptr, static_cast<size_t>(size));
    return set(noErr);
}

void DisposeHandle(Handle h) {
    if (h == nullptr) {
        set(nilHandleErr);
        return;
    }
    Master* m = master(h);
    std::free(m->block);
    std::free(m);
    set(noErr);
}

OSErr MemError(void) {
    return t_memError;
}

}  // extern "C"
