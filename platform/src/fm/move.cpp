// FSMoveObject: the object into another directory of the same volume, under
// its own name. References to it keep naming it. A name already taken in the
// destination is never replaced (dupFNErr); a folder cannot go into itself or
// into one of its own folders (badMovErr).
#include <stdio.h>

#include <cerrno>

#include "fm/node.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSMoveObject", "FSMoveObject.rename");

OSErr FSMoveObject(const FSRef* ref, const FSRef* destDirectory, FSRef* newRef) {
    using namespace vantrel::fm;
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    Node dest;
    if (OSErr e = resolve(destDirectory, &dest)) return e;
    if (OSErr e = vantrel::fault::check("FSMoveObject", n.name)) return e;
    if (!dest.is_dir()) return errFSNotAFolder;
    if (n.vref != dest.vref) return diffVolErr;
    if (n.root) return badMovErr;
    if (n.is_dir() && lies_within(dest, n)) return badMovErr;
    if (dest.nodeID != n.parentID) {
        DirFd destFd;
        if (OSErr e = dir_fd(dest, &destFd)) return e;
        if (vantrel::fault::step("FSMoveObject.rename", n.name, [&] {
                return ::renameat2(n.at(), n.name.c_str(), destFd->fd(), n.name.c_str(),
                                   RENAME_NOREPLACE);
            }) != 0)
            return errno == EINVAL ? OSErr{badMovErr} : from_errno(errno, Op::Rename, &n);
        note_moved(n, dest, n.name);
        n.parent = std::move(destFd);
        n.parentID = dest.nodeID;
        if (OSErr e = restat(&n)) return e;
    }
    if (newRef != nullptr) make_ref(n, newRef);
    return noErr;
}
