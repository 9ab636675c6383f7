// The one errno -> OSErr table (err_errno.cpp). Hidden (never installed).
#pragma once

#include "vantrel/Files.h"

namespace vantrel::fm {

struct Node;

// What was being done when errno came back: the same errno means different
// things for different operations (EPERM on a delete is a lock, EACCES on
// opening a directory for listing is afpAccessDenied). An errno that means
// something of its own to one call gets an Op here, not an override at the
// call site, so that the table in the docs is the whole story.
enum class Op {
    Lookup,      // finding an object by name
    Read,        // reading a file's data or attributes
    Write,       // changing them
    Create,      // making an object
    Delete,      // removing one (EPERM in a locked directory is fLckdErr too)
    Rename,      // renaming within or across directories
    OpenDir,     // opening a directory to list or walk it (ENOENT: dirNFErr)
    Lock,        // setting or clearing the immutable attribute (EPERM: permErr)
    Mount,       // mounting (EPERM: permErr, ENOENT: fnfErr)
    Resolve,     // finding a reference's object again (ENOTDIR, ELOOP: fnfErr)
    VolumeRoot,  // opening a volume's mount point (ENOENT: nsvErr)
    Move,        // moving into another directory (EINVAL: badMovErr)
    Exchange,    // renameat2 RENAME_EXCHANGE (EINVAL: errFSOperationNotSupported)
    CreateFork,  // creating a fork (EEXIST: errFSForkExists)
    WriteFork,   // writing a fork (E2BIG: dskFulErr)
    RangeLock,   // a byte-range lock (EAGAIN, EACCES: afpRangeOverlap; ENOLCK: memFullErr)
    MapID,       // a user or group database lookup (ENOENT, ESRCH, EBADF, EPERM: fnfErr)
};

// The one errno -> OSErr table (docs/filemanager-platform.md lists it).
// `n`, when given, lets EPERM tell a locked object (fLckdErr) from a
// permission problem (permErr).
OSErr from_errno(int err, Op op, const Node* n = nullptr);

}  // namespace vantrel::fm
