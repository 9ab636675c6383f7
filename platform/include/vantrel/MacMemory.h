// Memory Manager handles on the C++ heap.
//
// A handle is a pointer to a master pointer to a relocatable block; the block
// may move when it grows, the handle never does. MemError() reports the result
// of the latest Memory Manager call on the calling thread.
//
//   Handle h = NewHandle(0);
//   PtrAndHand(&ref, h, sizeof ref);           // append 80 bytes
//   if (MemError() != noErr) { ... }
//   Size n = GetHandleSize(h);                  // 80
//   DisposeHandle(h);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/MacTypes.h"

VANTREL_EXTERN_C_BEGIN

// A new handle of `size` bytes (zero-filled); null and memFullErr when the
// memory cannot be had or `size` is negative (paramErr).
VANTREL_EXPORT Handle NewHandle(Size size);
// Same, for callers that expect it by this name.
VANTREL_EXPORT Handle NewHandleClear(Size size);
// Size of the block in bytes; 0 (and nilHandleErr) for a null handle.
VANTREL_EXPORT Size GetHandleSize(Handle h);
// Resizes the block, keeping its leading bytes; new bytes are zero.
VANTREL_EXPORT void SetHandleSize(Handle h, Size newSize);
// Appends `size` bytes from `ptr` to the block. Returns and records the result:
// nilHandleErr for a null handle, paramErr for a negative size, memFullErr.
VANTREL_EXPORT OSErr PtrAndHand(const void* ptr, Handle h, long size);
// Frees the handle and its block; a null handle is accepted.
VANTREL_EXPORT void DisposeHandle(Handle h);
// Result of the latest Memory Manager call made on this thread.
VANTREL_EXPORT OSErr MemError(void);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
