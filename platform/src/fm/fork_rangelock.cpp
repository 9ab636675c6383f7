// PBLockRangeSync / PBUnlockRangeSync: byte-range locks on an open fork, as
// open-file-description locks (F_OFD_SETLK) on the fork's own descriptor.
// What they promise is on their declarations in vantrel/Files.h.
//
// - Every fork reference number has its own open file description, which is
//   what makes its locks its own, in this process and towards others.
// - A fork opened for reading only takes a shared lock because the kernel
//   gives no exclusive lock to a descriptor that cannot write.
// - The resource fork lives in a sidecar, but its locks are taken on the
//   file; its ranges are locked in a region of the file's lock space that
//   data never reaches (from 2^62 up), so data-fork and resource-fork locks
//   never collide.
// - A zero length is refused before the kernel sees it: POSIX would read 0
//   as "to infinity".
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "fm/err_errno.h"
#include "fm/fork_table.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBLockRangeSync", "PBUnlockRangeSync");

namespace {

constexpr std::int64_t kResourceBase = std::int64_t{1} << 62;

OSErr fork_eof(FSIORefNum refNum, const vantrel::fm::ForkAccess& f, std::int64_t* eof) {
    if (f.resource) {
        SInt64 size = 0;
        if (OSErr e = vantrel::fm::fork_eof(refNum, &size)) return e;
        *eof = size;
        return noErr;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return vantrel::fm::from_errno(errno, vantrel::fm::Op::Read);
    *eof = st.st_size;
    return noErr;
}

OSErr lock_range(ParmBlkPtr pb, bool lock) {
    if (pb == nullptr) return paramErr;
    IOParam& p = pb->ioParam;
    auto finish = [&p](OSErr err) {
        p.ioResult = err;
        return err;
    };
    if (OSErr e = vantrel::fault::check(lock ? "PBLockRangeSync" : "PBUnlockRangeSync",
                                        std::to_string(p.ioRefNum)))
        return finish(e);
    vantrel::fm::ForkAccess f;
    if (OSErr err = vantrel::fm::fork_access(p.ioRefNum, &f)) return finish(err);

    std::int64_t start = 0;
    switch (p.ioPosMode & 0x3) {
        case fsAtMark:
            start = f.mark;
            break;
        case fsFromStart:
            start = p.ioPosOffset;
            break;
        case fsFromMark:
            start = f.mark + p.ioPosOffset;
            break;
        case fsFromLEOF: {
            std::int64_t eof = 0;
            if (OSErr err = fork_eof(p.ioRefNum, f, &eof)) return finish(err);
            start = eof + p.ioPosOffset;
            break;
        }
    }
    if (start < 0) return finish(posErr);
    if (p.ioReqCount == 0 || p.ioReqCount < -1) return finish(paramErr);

    struct flock fl {};
    fl.l_whence = SEEK_SET;
    fl.l_type = static_cast<short>(!lock ? F_UNLCK : f.writable ? F_WRLCK : F_RDLCK);
    if (f.resource) {
        fl.l_start = kResourceBase + start;
        fl.l_len = p.ioReqCount == -1 ? 0 : p.ioReqCount;
    } else {
        fl.l_start = start;
        // "To the end" stops where the resource fork's region begins.
        fl.l_len = p.ioReqCount == -1 ? kResourceBase - start : p.ioReqCount;
        if (start >= kResourceBase) return finish(posErr);
    }
    if (::fcntl(f.fd, F_OFD_SETLK, &fl) != 0) {
        return finish(vantrel::fm::from_errno(errno, vantrel::fm::Op::RangeLock));
    }
    return finish(noErr);
}

}  // namespace

extern "C" OSErr PBLockRangeSync(ParmBlkPtr paramBlock) {
    return lock_range(paramBlock, true);
}
extern "C" OSErr PBUnlockRangeSync(ParmBlkPtr paramBlock) {
    return lock_range(paramBlock, false);
}
