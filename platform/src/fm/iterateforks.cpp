// FSIterateForks: the forks of an object, one per call: the data fork, then
// the resource fork when the object has one, then errFSNoMoreItems.
//
// A folder has no forks. The resource fork is the extended attribute
// user.org.netatalk.ResourceFork; its physical size is its length rounded up
// to the file system's block size (the space an attribute takes is not
// reported by Linux). The iterator's `initialize` field counts the forks
// already returned, so 0 starts over.
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "fm/node.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSIterateForks");

namespace {

constexpr const char* kResourceForkAttr = "user.org.netatalk.ResourceFork";

void set_name(HFSUniStr255* out, const char* ascii) {
    if (out == nullptr) return;
    const std::size_t n = std::strlen(ascii);
    out->length = static_cast<UInt16>(n);
    for (std::size_t i = 0; i < n; ++i) out->unicode[i] = static_cast<UniChar>(ascii[i]);
}

}  // namespace

extern "C" OSErr FSIterateForks(const FSRef* ref, CatPositionRec* forkIterator,
                                HFSUniStr255* forkName, SInt64* forkSize,
                                UInt64* forkPhysicalSize) {
    if (OSErr e = vantrel::fault::check("FSIterateForks")) return e;
    if (forkIterator == nullptr) return paramErr;
    vantrel::fm::Node n;
    if (OSErr err = vantrel::fm::resolve(ref, &n)) return err;
    if (forkIterator->initialize < 0 || forkIterator->initialize > 2) return paramErr;
    if (n.is_dir()) return errFSNoMoreItems;

    if (forkIterator->initialize == 0) {
        // As the catalogue reports it: only a regular file has data (a link's
        // size is the length of its target's path, not a fork).
        const bool file = S_ISREG(n.st.stx_mode);
        set_name(forkName, "");
        if (forkSize != nullptr) *forkSize = file ? static_cast<SInt64>(n.st.stx_size) : 0;
        if (forkPhysicalSize != nullptr) *forkPhysicalSize = file ? n.st.stx_blocks * 512 : 0;
        forkIterator->initialize = 1;
        return noErr;
    }
    if (forkIterator->initialize == 1) {
        const ssize_t size = ::lgetxattr(n.proc_path().c_str(), kResourceForkAttr, nullptr, 0);
        if (size < 0 && errno != ENODATA && errno != ENOTSUP && errno != EPERM) {
            return vantrel::fm::from_errno(errno, vantrel::fm::Op::Read, &n);
        }
        if (size >= 0) {
            set_name(forkName, "RESOURCE_FORK");
            const UInt64 block = n.st.stx_blksize != 0 ? n.st.stx_blksize : 4096;
            if (forkSize != nullptr) *forkSize = size;
            if (forkPhysicalSize != nullptr)
                *forkPhysicalSize = (UInt64(size) + block - 1) / block * block;
            forkIterator->initialize = 2;
            return noErr;
        }
        forkIterator->initialize = 2;
    }
    return errFSNoMoreItems;
}
