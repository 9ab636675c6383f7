// The one table from errno to the File Manager's result codes.
#include <errno.h>

#include "fm/node.h"

namespace vantrel::fm {

OSErr from_errno(int err, Op op, const Node* n) {
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
            return fBsyErr;
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
            return op == Op::Read || op == Op::Write || op == Op::Lock ? permErr : afpAccessDenied;
        case EPERM:
            // The immutable attribute answers EPERM even to root: that is the
            // lock. Anything else is a permission the caller lacks.
            if (n != nullptr && n->locked()) return fLckdErr;
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
