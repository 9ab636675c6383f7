// The one table from errno to the File Manager's result codes. Where one
// errno means something particular for one operation (EINVAL from a move is
// a folder going below itself), that operation has an Op of its own here,
// never a local override at the call site, so that docs/filemanager-platform.md
// can list every mapping there is.
#include "fm/err_errno.h"

#include <errno.h>
#include <sys/stat.h>

#include "fm/ref_node.h"

namespace vantrel::fm {

namespace {

// Whether the directory that holds `n` carries the immutable attribute.
bool parent_locked(const Node& n) {
    struct statx st;
    return n.at() >= 0 && ::statx(n.at(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &st) == 0 &&
           (st.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
}

}  // namespace

OSErr from_errno(int err, Op op, const Node* n) {
    switch (op) {  // what one operation's errno means beyond the common table
        case Op::Resolve:
            // The object a reference named is gone, or something else (a
            // file, a link) now stands where it or its directory was.
            if (err == ENOENT || err == ENOTDIR || err == ELOOP) return fnfErr;
            break;
        case Op::VolumeRoot:
            if (err == ENOENT) return nsvErr;  // the mount point went away
            break;
        case Op::Move:
            if (err == EINVAL) return badMovErr;  // a folder into itself or below itself
            break;
        case Op::Exchange:
            // File systems without RENAME_EXCHANGE say EINVAL (or ENOSYS,
            // EOPNOTSUPP, which the common table maps alike).
            if (err == EINVAL) return errFSOperationNotSupported;
            break;
        case Op::Lock:
            // Changing the immutable attribute takes a privilege
            // (CAP_LINUX_IMMUTABLE): EPERM is a missing right, even on a
            // locked object.
            if (err == EPERM) return permErr;
            break;
        case Op::CreateFork:
            if (err == EEXIST) return errFSForkExists;
            break;
        case Op::WriteFork:
            if (err == E2BIG) return dskFulErr;  // more than the attribute store holds
            break;
        case Op::RangeLock:
            if (err == EAGAIN || err == EACCES) return afpRangeOverlap;  // another holder
            if (err == ENOLCK) return memFullErr;  // the kernel's lock table is full
            break;
        case Op::MapID:
            // glibc's ways of saying "no such entry" in the user and group
            // databases.
            if (err == ENOENT || err == ESRCH || err == EBADF || err == EPERM) return fnfErr;
            break;
        case Op::Mount:
            if (err == EPERM) return permErr;  // no privilege to mount
            if (err == ENOENT) return fnfErr;  // the record's directory or source is missing
            break;
        default:
            break;
    }
    switch (err) {
        case 0:
            return noErr;
        case ENOENT:
            return op == Op::OpenDir ? dirNFErr : fnfErr;
        case ENOTDIR:
            return dirNFErr;
        case ELOOP:
            return op == Op::OpenDir ? dirNFErr : fnfErr;  // a link where an object was expected
        case EEXIST:
            return op == Op::Delete ? fBsyErr : dupFNErr;  // some systems say EEXIST for ENOTEMPTY
        case ENOTEMPTY:
        case EBUSY:
        case ETXTBSY:
            return fBsyErr;
        case EXDEV:
            return diffVolErr;
        case ENAMETOOLONG:
            return errFSNameTooLong;
        case ENOSPC:
            return dskFulErr;
        case EDQUOT:
            return errFSQuotaExceeded;
        case EROFS:
            return vLckdErr;
        case EACCES:
            // Directory rights (see, search, add, remove) are AFP's access
            // rights: afpAccessDenied, which the container walk relies on.
            // Opening or changing a file's own data is a permission error.
            return op == Op::Read || op == Op::Write || op == Op::Lock || op == Op::CreateFork ||
                           op == Op::WriteFork
                       ? permErr
                       : afpAccessDenied;
        case EPERM:
            // The immutable attribute answers EPERM even to root: that is the
            // lock. Anything else is a permission the caller lacks.
            // A locked directory keeps its entries: a delete in it is
            // refused the same way.
            if (n != nullptr && n->locked()) return fLckdErr;
            if (op == Op::Delete && n != nullptr && parent_locked(*n)) return fLckdErr;
            return permErr;
        case EINVAL:
            return paramErr;
        case EMLINK:
            return dirFulErr;
        case EMFILE:
        case ENFILE:
            return tmfoErr;
        case ENOMEM:
            return memFullErr;
        case EFBIG:
            return dskFulErr;
        case EOVERFLOW:
            return posErr;
        case ENODATA:
            return errFSAttributeNotFound;
        case EOPNOTSUPP:
        case ENOSYS:  // a kernel without the call
        case ENOTTY:  // a file system without the ioctl (the immutable attribute)
            return errFSOperationNotSupported;
        case ENODEV:
        case ENXIO:
        case ESTALE:
            return volGoneErr;
        case EAGAIN:
            return fBsyErr;
        case EBADF:
            return rfNumErr;
        case E2BIG:
        case ERANGE:
            return errFSBadBuffer;
        case EIO:
        default:
            return ioErr;
    }
}

}  // namespace vantrel::fm
