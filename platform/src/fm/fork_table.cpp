// The fork reference-number table: FSOpenFork, FSCloseFork and
// FSGetForkCBInfo, and the fork names.
//
// Each FSOpenFork opens the file anew, so each reference number owns one
// open-file description (its byte-range locks are its own). A writer is
// refused while another holds the same fork for writing, as the File
// Manager's deny modes have it.
#include "fm/fork_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "fm/cat_appledir.h"
#include "fm/err_errno.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSOpenFork", "FSCloseFork", "FSCloseFork.commit", "FSGetForkCBInfo");

namespace vantrel::fm {
namespace {

constexpr UniChar kResourceForkName[] = {'R', 'E', 'S', 'O', 'U', 'R', 'C',
                                         'E', '_', 'F', 'O', 'R', 'K'};
constexpr std::size_t kResourceForkNameLength =
    sizeof kResourceForkName / sizeof kResourceForkName[0];
constexpr SInt8 kPermissionMask = 0x07;

struct Table {
    std::mutex mu;
    std::map<FSIORefNum, ForkPtr> forks;
    FSIORefNum next = 1;
};

Table& table() {
    static Table* t = new Table;  // never destroyed: forks may be closed during static teardown
    return *t;
}

}  // namespace

ForkPtr find_fork(FSIORefNum refNum) {
    Table& t = table();
    std::lock_guard lk(t.mu);
    auto it = t.forks.find(refNum);
    return it == t.forks.end() ? nullptr : it->second;
}

OSErr parse_fork_name(UniCharCount length, const UniChar* name, bool* resource) {
    if (length == 0) {
        *resource = false;
        return noErr;
    }
    if (name == nullptr) return paramErr;
    if (length == kResourceForkNameLength && std::equal(name, name + length, kResourceForkName)) {
        *resource = true;
        return noErr;
    }
    return errFSForkNotFound;  // no other named forks are kept
}

OSErr fork_access(FSIORefNum refNum, ForkAccess* out) {
    ForkPtr f = find_fork(refNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    out->fd = f->fd;
    out->resource = f->resource;
    out->writable = f->writable;
    out->vref = f->vref;
    out->nodeID = f->nodeID;
    out->mark = f->mark;
    return noErr;
}

OSErr fork_eof(FSIORefNum refNum, SInt64* eof) {
    ForkPtr f = find_fork(refNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    return fork_size(*f, eof);
}

long open_fork_count() noexcept {
    Table& t = table();
    std::lock_guard lk(t.mu);
    return static_cast<long>(t.forks.size());
}

}  // namespace vantrel::fm

using vantrel::fm::Fork;
using vantrel::fm::ForkPtr;
namespace fm = vantrel::fm;
namespace fault = vantrel::fault;

OSErr FSGetDataForkName(HFSUniStr255* dataForkName) {
    if (dataForkName == nullptr) return paramErr;
    dataForkName->length = 0;
    return noErr;
}

OSErr FSGetResourceForkName(HFSUniStr255* resourceForkName) {
    if (resourceForkName == nullptr) return paramErr;
    resourceForkName->length = static_cast<UInt16>(fm::kResourceForkNameLength);
    std::copy(fm::kResourceForkName, fm::kResourceForkName + fm::kResourceForkNameLength,
              resourceForkName->unicode);
    return noErr;
}

OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName,
                 SInt8 permissions, FSIORefNum* forkRefNum) {
    if (forkRefNum == nullptr) return paramErr;
    bool resource = false;
    if (OSErr e = fm::parse_fork_name(forkNameLength, forkName, &resource)) return e;
    fm::Node n;
    if (OSErr e = fm::resolve(ref, &n)) return e;
    if (OSErr e = fault::check("FSOpenFork", n.name)) return e;
    // Only regular files have forks; opening anything else (a FIFO above
    // all) could block or reach a device.
    if (!S_ISREG(n.st.stx_mode)) return notAFileErr;

    const SInt8 access = static_cast<SInt8>(permissions & fm::kPermissionMask);
    if (access > fsRdWrShPerm) return paramErr;
    int flags = access == fsRdPerm ? O_RDONLY : O_RDWR;
    int fd = ::openat(n.at(), n.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && access == fsCurPerm && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // "Whatever the caller may have": read-only when writing is refused.
        flags = O_RDONLY;
        fd = ::openat(n.at(), n.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) return fm::from_errno(errno, flags == O_RDONLY ? fm::Op::Read : fm::Op::Write, &n);
    fm::UniqueFd owned(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return fm::from_errno(errno, fm::Op::Read, &n);
    if (st.st_ino != n.st.stx_ino || !S_ISREG(st.st_mode))
        return fnfErr;  // swapped since it was resolved
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    auto f = std::make_shared<Fork>();
    if (resource) {
        // A sidecar the caller may not read is refused now (permErr), as the
        // data fork of a file it may not read is: never an empty fork.
        if (OSErr e = fm::rsrc::open(n.at(), n.name, flags == O_RDWR, &f->side)) return e;
        fm::appledir::fork_fallback(n, fd, &f->side);
        f->sideSeen = fm::rsrc::commits();
    }
    f->resource = resource;
    f->writable = flags == O_RDWR;
    f->shared = access == fsRdWrShPerm;
    f->permissions =
        f->writable ? (access == fsCurPerm ? SInt8{fsRdWrPerm} : access) : SInt8{fsRdPerm};
    f->vref = n.vref;
    f->nodeID = n.nodeID;
    f->dev = n.dev();
    f->ino = n.st.stx_ino;
    fm::make_ref(n, &f->ref);

    fm::Table& t = fm::table();
    std::lock_guard lk(t.mu);
    // One exclusive writer per fork, as the File Manager's deny modes have it.
    if (f->writable) {
        for (const auto& [num, other] : t.forks) {
            if (other->dev == f->dev && other->ino == f->ino && other->resource == f->resource &&
                other->writable && (!other->shared || !f->shared))
                return opWrErr;
        }
    }
    if (t.forks.size() >= 0x7FFF) return tmfoErr;
    FSIORefNum num = t.next;
    while (t.forks.count(num) != 0) num = static_cast<FSIORefNum>(num == 0x7FFF ? 1 : num + 1);
    t.next = static_cast<FSIORefNum>(num == 0x7FFF ? 1 : num + 1);
    f->fd = owned.release();
    t.forks.emplace(num, std::move(f));
    *forkRefNum = num;
    return noErr;
}

OSErr FSCloseFork(FSIORefNum forkRefNum) {
    if (OSErr e = fault::check("FSCloseFork")) return e;
    ForkPtr f;
    {
        fm::Table& t = fm::table();
        std::lock_guard lk(t.mu);
        auto it = t.forks.find(forkRefNum);
        if (it == t.forks.end()) return rfNumErr;
        f = std::move(it->second);
        t.forks.erase(it);
    }
    std::lock_guard lk(f->mu);
    fm::settle_pending(*f);
    // The resource fork's changes take their place now, or not at all.
    const OSErr committed =
        f->resource ? fm::commit_fork(*f, false, "FSCloseFork.commit") : OSErr{noErr};
    fm::rsrc::discard(f->shadow, "FSCloseFork.commit");
    if (f->directFd >= 0) ::close(f->directFd);
    f->side = fm::rsrc::Sidecar{};
    // close() reports a write-back failure that nothing else caught.
    const int rc = ::close(f->fd);
    f->fd = -1;
    if (committed != noErr) return committed;
    return rc == 0 || errno == EINTR ? OSErr{noErr} : fm::from_errno(errno, fm::Op::Write);
}

OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume, SInt16* iterator,
                      FSIORefNum* actualRefNum, FSForkInfo* forkInfo, FSRef* ref,
                      HFSUniStr255* outForkName) {
    if (OSErr e = fault::check("FSGetForkCBInfo")) return e;
    FSIORefNum num = desiredRefNum;
    ForkPtr f;
    if (desiredRefNum != 0) {
        f = fm::find_fork(desiredRefNum);
        if (!f) return rfNumErr;
    } else {
        // Walk the open forks in reference-number order, from past *iterator.
        if (iterator == nullptr) return paramErr;
        fm::Table& t = fm::table();
        std::lock_guard lk(t.mu);
        for (auto it = t.forks.upper_bound(*iterator); it != t.forks.end(); ++it) {
            if (volume == kFSVolumeRefNumNone || it->second->vref == volume) {
                num = it->first;
                f = it->second;
                break;
            }
        }
        if (!f) return errFSNoMoreItems;
        *iterator = num;
    }
    std::lock_guard lk(f->mu);
    if (forkInfo != nullptr) {
        std::memset(forkInfo, 0, sizeof *forkInfo);
        forkInfo->flags = 0;
        forkInfo->permissions = f->permissions;
        forkInfo->volume = f->vref;
        forkInfo->nodeID = f->nodeID;
        forkInfo->forkID = f->resource ? 1 : 0;
        forkInfo->currentPosition = static_cast<UInt64>(f->mark);
        SInt64 size = 0;
        if (OSErr e = fm::fork_size(*f, &size)) return e;
        forkInfo->logicalEOF = size;
        SInt64 physical = size;
        if (!f->resource) {
            struct stat st;
            if (::fstat(f->fd, &st) == 0) physical = static_cast<SInt64>(st.st_blocks) * 512;
        }
        forkInfo->physicalEOF = physical;
        forkInfo->process = static_cast<SInt64>(::getpid());
    }
    if (actualRefNum != nullptr) *actualRefNum = num;
    if (ref != nullptr) *ref = f->ref;
    if (outForkName != nullptr) {
        if (f->resource)
            FSGetResourceForkName(outForkName);
        else
            FSGetDataForkName(outForkName);
    }
    return noErr;
}
