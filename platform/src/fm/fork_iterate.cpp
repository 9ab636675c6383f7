// FSIterateForks: the forks of an object, one per call (its contract is on its
// declaration in vantrel/Files.h).
//
// The resource fork is the one in the file's sidecar (or, from earlier
// versions, its attribute); its physical size is its length rounded up to
// the file system's block size. The iterator's `initialize` field counts the
// forks already returned, so 0 starts over.
#include <sys/sysmacros.h>

#include <cstring>

#include "fm/fork_sidecar.h"
#include "fm/ref_node.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSIterateForks");

namespace {

void set_name(HFSUniStr255* out, const char* ascii) {
    if (out == nullptr) return;
    const std::size_t n = std::strlen(ascii);
    out->length = static_cast<UInt16>(n);
    for (std::size_t i = 0; i < n; ++i) out->unicode[i] = static_cast<unsigned char>(ascii[i]);
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
        const vantrel::fm::rsrc::Sizes size = vantrel::fm::rsrc::sizes_of(n);
        if (size.present) {
            set_name(forkName, "RESOURCE_FORK");
            if (forkSize != nullptr) *forkSize = static_cast<SInt64>(size.logical);
            if (forkPhysicalSize != nullptr) *forkPhysicalSize = size.physical;
            forkIterator->initialize = 2;
            return noErr;
        }
        forkIterator->initialize = 2;
    }
    return errFSNoMoreItems;
}
