// Copying one open fork into another through the caller's buffer.
#include "vantrel/ForkCopy.h"

#include "vantrel/FSUtilities.h"

namespace {

// Position mode of every transfer: at the fork's mark, not cached, so that
// copying a large file does not push everything else out of the page cache.
constexpr UInt16 kCopyPositionMode = fsAtMark + noCacheMask;
constexpr ByteCount kBlockUnit = 4096;

}  // namespace

OSErr FSCopyFork(SInt16 srcRefNum, SInt16 dstRefNum, void* copyBufferPtr,
                 ByteCount copyBufferSize) {
    if (copyBufferPtr == nullptr || copyBufferSize == 0) return paramErr;
    // One fork passed twice would read what it had just written at a shared
    // mark and scramble its own contents.
    if (srcRefNum == dstRefNum) return paramErr;

    // Where the platform can copy the whole fork in the kernel as one change
    // (into a resource fork), the bytes never cross into this process, and a
    // copy that fails halfway leaves the destination as it was.
    Boolean copied = false;
    if (OSErr e = VantrelFSCopyForkInKernel(srcRefNum, dstRefNum, &copied)) return e;
    if (copied) return noErr;

    SInt64 size = 0;
    if (OSErr e = FSGetForkSize(srcRefNum, &size)) return e;
    // The destination gets its final length once, before any data moves: a
    // longer destination is cut, and the file system can allocate in one go.
    if (OSErr e = FSSetForkSize(dstRefNum, fsFromStart, size)) return e;
    if (OSErr e = FSSetForkPosition(srcRefNum, fsFromStart, 0)) return e;
    if (OSErr e = FSSetForkPosition(dstRefNum, fsFromStart, 0)) return e;

    // Whole pages whenever the buffer holds one, so that uncached transfers
    // stay aligned; a smaller buffer is used as it is.
    const ByteCount block =
        copyBufferSize >= kBlockUnit ? copyBufferSize & ~(kBlockUnit - 1) : copyBufferSize;

    OSErr readErr = noErr;
    OSErr writeErr = noErr;
    do {
        ByteCount readCount = 0;
        readErr = FSReadFork(srcRefNum, kCopyPositionMode, 0, block, copyBufferPtr, &readCount);
        // Written even when the read failed: the last, partial block arrives
        // together with eofErr.
        writeErr = FSWriteFork(dstRefNum, kCopyPositionMode, 0, readCount, copyBufferPtr, nullptr);
    } while (readErr == noErr && writeErr == noErr);

    if (writeErr != noErr) return writeErr;
    return readErr == eofErr ? OSErr{noErr} : readErr;
}
