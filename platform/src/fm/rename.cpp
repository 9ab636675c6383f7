// FSRenameUnicode: a new name in the same directory. The object keeps its
// node ID, and every reference to it keeps naming it. An existing object
// with the new name is never replaced (dupFNErr).
#include <stdio.h>

#include <cerrno>
#include <string>

#include "fm/node.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSRenameUnicode", "FSRenameUnicode.rename");

OSErr FSRenameUnicode(const FSRef* ref, UniCharCount nameLength, const UniChar* name,
                      TextEncoding /*hint*/, FSRef* newRef) {
    // The hint only matters to file systems that store names in a Mac
    // encoding; names here are stored in UTF-8.
    using namespace vantrel::fm;
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    std::string disk;
    if (OSErr e = name_from_unicode(name, nameLength, &disk)) return e;
    if (OSErr e = vantrel::fault::check("FSRenameUnicode", disk)) return e;
    // A volume's root takes its name from its mount point, which is not ours
    // to change.
    if (n.root) return wPrErr;
    if (disk != n.name) {
        if (vantrel::fault::step("FSRenameUnicode.rename", disk, [&] {
                return ::renameat2(n.at(), n.name.c_str(), n.at(), disk.c_str(), RENAME_NOREPLACE);
            }) != 0)
            return from_errno(errno, Op::Rename, &n);
        Node parent;
        if (dir_by_id(n.vref, n.parentID, &parent) == noErr) {
            note_moved(n, parent, disk);
        } else {
            // The parent is always known after resolving the object; should
            // it have gone meanwhile, the ID alone is what the tables need.
            parent.vref = n.vref;
            parent.nodeID = n.parentID;
            note_moved(n, parent, disk);
        }
        n.name = disk;
        if (OSErr e = restat(&n)) return e;
    }
    if (newRef != nullptr) make_ref(n, newRef);
    return noErr;
}
