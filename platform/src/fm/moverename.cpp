// PBHMoveRenameSync: moves an object into another directory of the same
// volume and optionally renames it, in one rename: either both happen or
// neither does. An object with the new name in the destination is never
// replaced (dupFNErr), and a folder cannot be moved into itself or into one
// of its own folders (badMovErr). References to the object keep naming it.
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fm/pbnode.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBHMoveRenameSync", "PBHMoveRenameSync.rename");

namespace {

using vantrel::fm::Node;

OSErr finish(CopyParam& p, OSErr err) {
    p.ioResult = err;
    return err;
}

}  // namespace

extern "C" OSErr PBHMoveRenameSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    CopyParam& p = pb->copyParam;
    if (OSErr e = vantrel::fault::check("PBHMoveRenameSync")) return finish(p, e);

    Node src;
    if (OSErr err = vantrel::fm::node_from_spec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, &src))
        return finish(p, err);
    if (src.root) return finish(p, badMovErr);
    Node dest;
    if (OSErr err = vantrel::fm::node_from_spec(p.ioVRefNum, p.ioNewDirID, p.ioNewName, &dest))
        return finish(p, err);
    if (!dest.is_dir()) return finish(p, dirNFErr);
    if (dest.vref != src.vref) return finish(p, diffVolErr);
    if (src.is_dir() && vantrel::fm::lies_within(dest, src)) return finish(p, badMovErr);

    std::string name = src.name;
    if (p.ioCopyName != nullptr && p.ioCopyName[0] != 0) {
        if (OSErr err = vantrel::fm::name_from_pascal(p.ioCopyName, &name)) return finish(p, err);
    }
    vantrel::fm::DirFd destFd;
    if (OSErr err = vantrel::fm::dir_fd(dest, &destFd)) return finish(p, err);
    if (vantrel::fault::step("PBHMoveRenameSync.rename", name, [&] {
            return ::renameat2(src.at(), src.name.c_str(), destFd->fd(), name.c_str(),
                               RENAME_NOREPLACE);
        }) != 0) {
        const int err = errno;
        if (err == EINVAL) return finish(p, badMovErr);
        return finish(p, vantrel::fm::from_errno(err, vantrel::fm::Op::Rename, &src));
    }
    vantrel::fm::note_moved(src, dest, name);
    return finish(p, noErr);
}
