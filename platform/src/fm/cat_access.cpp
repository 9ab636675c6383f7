// PBHGetDirAccessSync / PBHSetDirAccessSync: a directory's access-rights word
// on the owner, group and mode bits of its inode. What they promise is on
// their declarations in vantrel/Files.h.
//
// The caller's own rights (bits 24-26) are what access(2) grants its
// effective IDs, asked of the directory's descriptor. Every change works on
// one O_PATH descriptor of the directory, so that a link put in its place
// between the steps is never followed.
#include "fm/cat_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "fm/err_errno.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "fm/ref_pbnode.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBHGetDirAccessSync", "PBHSetDirAccessSync", "PBHSetDirAccessSync.chown",
                         "PBHSetDirAccessSync.chmod", "PBHSetDirAccessSync.undo");

namespace vantrel::fm {

UInt32 access_rights_from_mode(unsigned mode) {
    auto group = [](unsigned triplet) -> UInt32 {
        UInt32 g = 0;
        if (triplet & 01) g |= kAccessSearch;
        if (triplet & 04) g |= kAccessRead;
        if (triplet & 02) g |= kAccessWrite;
        return g;
    };
    return group((mode >> 6) & 07) | (group((mode >> 3) & 07) << 8) | (group(mode & 07) << 16);
}

unsigned mode_from_access_rights(UInt32 rights) {
    auto triplet = [](UInt32 g) -> unsigned {
        unsigned t = 0;
        if (g & kAccessSearch) t |= 01;
        if (g & kAccessRead) t |= 04;
        if (g & kAccessWrite) t |= 02;
        return t;
    };
    return (triplet(rights & 0xFF) << 6) | (triplet((rights >> 8) & 0xFF) << 3) |
           triplet((rights >> 16) & 0xFF);
}

}  // namespace vantrel::fm

namespace {

using vantrel::fm::kAccessRead;
using vantrel::fm::kAccessSearch;
using vantrel::fm::kAccessWrite;

OSErr finish(AccessParam& p, OSErr err) {
    p.ioResult = err;
    return err;
}

// An O_PATH descriptor of the directory named by the block, opened through
// its parent's descriptor and never through a final symbolic link (a link is
// not a directory here, whatever it points at).
class Dir {
  public:
    OSErr open(const AccessParam& p) {
        if (OSErr err = vantrel::fm::node_from_spec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, &node_))
            return err;
        if (!node_.is_dir()) return dirNFErr;
        const int fd = node_.root ? ::openat(node_.at(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                  : ::openat(node_.at(), node_.name.c_str(),
                                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return vantrel::fm::from_errno(errno, vantrel::fm::Op::Lookup, &node_);
        fd_ = vantrel::fm::UniqueFd(fd);
        if (::fstat(fd, &st_) != 0)
            return vantrel::fm::from_errno(errno, vantrel::fm::Op::Lookup, &node_);
        // The name may have been given to another object since it was resolved.
        if (st_.st_ino != node_.st.stx_ino) return fnfErr;
        return noErr;
    }
    int fd() const { return fd_.get(); }
    const struct stat& st() const { return st_; }
    const vantrel::fm::Node& node() const { return node_; }
    // The descriptor as a path, for the calls that have no *at form for O_PATH.
    std::string proc_path() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

  private:
    vantrel::fm::Node node_;
    vantrel::fm::UniqueFd fd_;
    struct stat st_ {};
};

OSErr change_error(int err, const vantrel::fm::Node& n) {
    vantrel::fm::Node now = n;
    (void)vantrel::fm::restat(&now);  // the lock may be newer than the resolution
    return vantrel::fm::from_errno(err, vantrel::fm::Op::Write, &now);
}

}  // namespace

extern "C" OSErr PBHGetDirAccessSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    AccessParam& p = pb->accessParam;
    if (OSErr e = vantrel::fault::check("PBHGetDirAccessSync")) return finish(p, e);
    Dir dir;
    if (OSErr err = dir.open(p)) return finish(p, err);

    const std::string self = dir.proc_path();
    UInt32 own = 0;
    if (::faccessat(AT_FDCWD, self.c_str(), X_OK, AT_EACCESS) == 0) own |= kAccessSearch;
    if (::faccessat(AT_FDCWD, self.c_str(), R_OK, AT_EACCESS) == 0) own |= kAccessRead;
    if (::faccessat(AT_FDCWD, self.c_str(), W_OK, AT_EACCESS) == 0) own |= kAccessWrite;
    const bool owner = ::geteuid() == dir.st().st_uid;

    UInt32 word = vantrel::fm::access_rights_from_mode(dir.st().st_mode) | (own << 24);
    if (owner) word |= 0x80000000u;
    p.ioACOwnID = static_cast<SInt32>(dir.st().st_uid);
    p.ioACGroupID = static_cast<SInt32>(dir.st().st_gid);
    p.ioACAccess = static_cast<SInt32>(word);
    // The same rights in the user-privileges form (bits set for rights lacking).
    SInt8 user = 0;
    if (!(own & kAccessSearch)) user |= kioACUserNoSeeFolderMask;
    if (!(own & kAccessRead)) user |= kioACUserNoSeeFilesMask;
    if (!(own & kAccessWrite)) user |= kioACUserNoMakeChangesMask;
    if (!owner) user = static_cast<SInt8>(user | kioACUserNotOwnerMask);
    p.ioACUser = user;
    return finish(p, noErr);
}

extern "C" OSErr PBHSetDirAccessSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    AccessParam& p = pb->accessParam;
    // The detail carries the word as received, so that a test can see what a
    // caller passed down.
    char detail[32];
    std::snprintf(detail, sizeof detail, "access=0x%08X", static_cast<unsigned>(p.ioACAccess));
    if (OSErr e = vantrel::fault::check("PBHSetDirAccessSync", detail)) return finish(p, e);
    Dir dir;
    if (OSErr err = dir.open(p)) return finish(p, err);

    const struct stat before = dir.st();
    const auto uid = static_cast<uid_t>(p.ioACOwnID);
    const auto gid = static_cast<gid_t>(p.ioACGroupID);
    const unsigned mode = (before.st_mode & 07000) |
                          vantrel::fm::mode_from_access_rights(static_cast<UInt32>(p.ioACAccess));

    // Owner and group first (an ID of -1 leaves that one as it is), then the
    // mode; if the mode cannot be set, the old owner and group are put back so
    // that the directory is left as it was found.
    const bool chownNeeded = (uid != static_cast<uid_t>(-1) && uid != before.st_uid) ||
                             (gid != static_cast<gid_t>(-1) && gid != before.st_gid);
    namespace fault = vantrel::fault;
    const char* detailName = detail;
    if (chownNeeded && fault::step("PBHSetDirAccessSync.chown", detailName, [&] {
                           return ::fchownat(dir.fd(), "", uid, gid,
                                             AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
                       }) != 0) {
        return finish(p, change_error(errno, dir.node()));
    }
    if ((before.st_mode & 07777) != mode &&
        fault::step("PBHSetDirAccessSync.chmod", detailName,
                    [&] { return ::fchmodat(AT_FDCWD, dir.proc_path().c_str(), mode, 0); }) != 0) {
        const int err = errno;
        if (chownNeeded) {
            fault::step("PBHSetDirAccessSync.undo", detailName, [&] {
                return ::fchownat(dir.fd(), "", before.st_uid, before.st_gid,
                                  AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
            });
            fault::step("PBHSetDirAccessSync.undo", detailName, [&] {
                return ::fchmodat(AT_FDCWD, dir.proc_path().c_str(), before.st_mode & 07777, 0);
            });
        }
        return finish(p, change_error(err, dir.node()));
    }
    // chown may clear the setgid bit on some file systems; make the mode exact.
    if (chownNeeded) {
        struct stat after {};
        if (::fstat(dir.fd(), &after) == 0 && (after.st_mode & 07777) != mode) {
            (void)::fchmodat(AT_FDCWD, dir.proc_path().c_str(), mode, 0);
        }
    }
    return finish(p, noErr);
}
