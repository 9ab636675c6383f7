// FSExchangeObjects: two files trade places in one step, with
// renameat2(RENAME_EXCHANGE). At no moment is either name missing or
// half-written, which is what safe saving relies on.
//
// What travels: on Linux a file is its inode, so each file goes to the other
// name and place whole: data fork, resource fork, Finder information,
// comment, dates, permissions and node ID. Both references stay valid and
// each keeps naming its file, which now stands at the other file's name and
// place (on HFS+ the IDs and catalogue fields stay with the names instead;
// splitting them off the contents here would cost the exchange its
// atomicity). docs/names-and-exchange.md compares this with the compatible
// exchange of the File Manager utilities.
#include <stdio.h>

#include <cerrno>

#include "fm/node.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSExchangeObjects", "FSExchangeObjects.exchange");

OSErr FSExchangeObjects(const FSRef* ref, const FSRef* destRef) {
    using namespace vantrel::fm;
    Node a;
    if (OSErr e = resolve(ref, &a)) return e;
    Node b;
    if (OSErr e = resolve(destRef, &b)) return e;
    if (OSErr e = vantrel::fault::check("FSExchangeObjects", a.name)) return e;
    if (a.is_dir() || b.is_dir() || a.root || b.root) return notAFileErr;
    if (!S_ISREG(a.st.stx_mode) || !S_ISREG(b.st.stx_mode)) return notAFileErr;
    if (a.vref != b.vref) return diffVolErr;
    if (a.dev() == b.dev() && a.st.stx_ino == b.st.stx_ino)
        return noErr;  // one file: nothing to trade
    if (vantrel::fault::step("FSExchangeObjects.exchange", a.name, [&] {
            return ::renameat2(a.at(), a.name.c_str(), b.at(), b.name.c_str(), RENAME_EXCHANGE);
        }) != 0) {
        const int err = errno;
        // File systems without the exchange say EINVAL (or ENOSYS, EOPNOTSUPP).
        if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
            note_exchange_result(a.vref, false);  // the volume's parameters say so from now on
            return errFSOperationNotSupported;
        }
        return from_errno(err, Op::Rename, &a);
    }
    note_exchange_result(a.vref, true);
    note_exchanged(a, b);
    return noErr;
}
