// Renaming, moving and exchanging objects: FSRenameUnicode, FSMoveObject,
// PBHMoveRenameSync, FSExchangeObjects and VantrelFSRenameExact (a rename
// to exact bytes). Their contracts are on their declarations in
// vantrel/Files.h and vantrel/DiskNames.h; this file holds what they share.
//
// Every change is one renameat2 on the descriptors of the resolved objects,
// with RENAME_NOREPLACE so that nothing existing is ever replaced. What the
// kernel cannot check is checked here first: a folder going below itself,
// and a name that is taken under another spelling (a Mac client stores names
// decomposed, we store them composed: both read back as the same name).
//
// A resource fork's sidecar "._NAME" follows its object: a second rename,
// after the object's, which also takes away an orphan sidecar left at the
// new name. Should it fail, the object's rename is undone, so the pair
// stands as it was. A sidecar that could not follow (the new name leaves no
// room for the prefix) is refused before anything moves.
//
// Names coming back. A disk name is shown to callers in Unicode, which does
// not always lead back to the same bytes (a decomposed name, bytes that are
// not UTF-8). When something leaves such a name through this file, the
// bytes are remembered for its directory, and a rename there to exactly the
// Unicode form callers were shown restores them: undoing a rename, or
// giving a file the name another one had, keeps the name as it was on disk.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fm/cat_appledir.h"
#include "fm/cat_info.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/obj_commit.h"
#include "fm/obj_fileid.h"
#include "fm/obj_place.h"
#include "fm/ref_fd.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/ref_pbnode.h"
#include "fm/vol_table.h"
#include "vantrel/DiskNames.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS(
    "FSRenameUnicode", "FSRenameUnicode.rename", "FSRenameUnicode.sidecar", "FSRenameUnicode.undo",
    "FSMoveObject", "FSMoveObject.rename", "FSMoveObject.sidecar", "FSMoveObject.undo",
    "PBHMoveRenameSync", "PBHMoveRenameSync.rename", "PBHMoveRenameSync.sidecar",
    "PBHMoveRenameSync.undo", "FSExchangeObjects", "FSExchangeObjects.exchange",
    "FSExchangeObjects.sidecar", "FSExchangeObjects.trade", "FSExchangeObjects.undo",
    "VantrelFSExchangeObjectsByNames", "VantrelFSExchangeObjectsByNames.trade",
    "VantrelFSExchangeObjectsByNames.sidecar", "VantrelFSExchangeObjectsByNames.exchange",
    "VantrelFSExchangeObjectsByNames.undo", "VantrelFSRenameExact", "VantrelFSRenameExact.rename",
    "VantrelFSRenameExact.sidecar", "VantrelFSRenameExact.undo");

namespace vantrel::fm {
namespace {

// ---------------------------------------------------------------- spellings

// Every other spelling under which the Unicode name `shown` may already be
// stored (composed, as given, decomposed), `disk` left out.
void add_spellings(const UniChar* shown, std::size_t units, const std::string& disk,
                   std::vector<std::string>* out) {
    std::string nfc;
    if (name_from_unicode(shown, units, &nfc) == noErr && nfc != disk) out->push_back(nfc);
    for (std::string& alt : name_alternatives(shown, units))
        if (alt != disk) out->push_back(std::move(alt));
}

std::vector<std::string> other_spellings(const std::string& disk) {
    std::vector<std::string> out;
    HFSUniStr255 shown;
    if (name_to_unicode(disk, &shown) == noErr)
        add_spellings(shown.unicode, shown.length, disk, &out);
    return out;
}

// dupFNErr when directory `dirFd` holds another object than `self` under
// one of `spellings`.
OSErr taken_in_other_spelling(int dirFd, const std::vector<std::string>& spellings,
                              const Node& self) {
    for (const std::string& s : spellings) {
        struct statx st {};
        if (::statx(dirFd, s.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &st) != 0) continue;
        if (st.stx_ino == self.st.stx_ino && st.stx_dev_major == self.st.stx_dev_major &&
            st.stx_dev_minor == self.st.stx_dev_minor)
            continue;  // the object itself, changing the form of its own name
        return dupFNErr;
    }
    return noErr;
}

// Disk names that do not come back from their Unicode form, by the
// directory they left. Only the latest few matter: an undo or an exchange
// asks for the name a moment after it was left.
class LeftNames {
  public:
    void remember(FSVolumeRefNum vref, UInt32 dirID, const std::string& disk) {
        HFSUniStr255 shown;
        if (name_to_unicode(disk, &shown) != noErr) return;
        std::string back;
        if (name_from_unicode(shown.unicode, shown.length, &back) == noErr && back == disk) return;
        std::lock_guard lk(mu_);
        entries_.push_back(Entry{
            vref, dirID,
            std::u16string(reinterpret_cast<const char16_t*>(shown.unicode), shown.length), disk});
        if (entries_.size() > kKeep) entries_.pop_front();
    }
    // The bytes of the name shown as `name` that left directory `dirID`, if any.
    bool find(FSVolumeRefNum vref, UInt32 dirID, const UniChar* name, std::size_t units,
              std::string* disk) {
        const std::u16string key(reinterpret_cast<const char16_t*>(name), units);
        std::lock_guard lk(mu_);
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
            if (it->vref == vref && it->dirID == dirID && it->shown == key) {
                *disk = it->disk;
                return true;
            }
        }
        return false;
    }
    // The name `disk` of directory `dirID` is in use again.
    void forget(FSVolumeRefNum vref, UInt32 dirID, const std::string& disk) {
        std::lock_guard lk(mu_);
        std::erase_if(entries_, [&](const Entry& e) {
            return e.vref == vref && e.dirID == dirID && e.disk == disk;
        });
    }

  private:
    static constexpr std::size_t kKeep = 64;
    struct Entry {
        FSVolumeRefNum vref;
        UInt32 dirID;
        std::u16string shown;
        std::string disk;
    };
    std::mutex mu_;
    std::deque<Entry> entries_;
};

LeftNames& left_names() {
    static LeftNames* names = new LeftNames;  // never destroyed: used until exit
    return *names;
}

using commit::put_str;
using commit::put_u64;
using commit::Reader;

// The inode number at `name` in `dir`, 0 when there is none.
std::uint64_t ino_at(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

// A rename whose object has a sidecar is journalled in the folder it
// leaves: the old and new names, the other folder (its path, device and
// inode, and its handle; none within one folder), the object's inode and
// its sidecar's. A
// kill between the object's rename and its sidecar's is finished by the
// next listing of that folder (the sidecar follows its file), and one
// before the object's rename undone (the mark comes off).
constexpr std::string_view kRenameJournal = "rename";

bool recover_rename(int dirFd, std::string_view payload) {
    Reader r{payload};
    const std::string from = r.str(), to = r.str(), toPath = r.str();
    const std::uint64_t toDev = r.u64(), toIno = r.u64(), fileIno = r.u64(), sideIno = r.u64();
    if (!r.ok) return true;  // cut short while written: nothing began
    // The other folder's handle, written after the rest (none in a journal
    // of a build before it).
    const std::string handle = r.in.empty() ? std::string() : r.str();
    UniqueFd other;
    int toDir = dirFd;
    if (!toPath.empty()) {
        // Found by its device and inode wherever it went since (renamed
        // before this folder was listed again). Not found, the journal
        // stays, and so does the sidecar, still marked: clear_orphan
        // leaves it alone while the journal is there.
        other = UniqueFd(commit::open_folder_again(toPath, toDev, toIno, handle, dirFd));
        if (!other) return false;
        toDir = other.get();
    }
    commit::FolderLock lock;
    if (lock.take(dirFd, toDir) != noErr) return false;
    rsrc::finish_carry(dirFd, from, toDir, to, fileIno, sideIno,
                       toPath.empty() ? "FSRenameUnicode.sidecar" : "FSMoveObject.sidecar");
    return true;
}

[[maybe_unused]] const bool kRenameRecovery = [] {
    commit::register_recovery(kRenameJournal, recover_rename);
    return true;
}();

// The journal of moving the object `n` and its sidecar, as prepared in
// `c`; false when there is none to write (no sidecar, or a folder deeper
// than a path can name: the move then runs unjournalled).
bool rename_journal(const rsrc::Carry& c, const std::string& from, const std::string& to,
                    const Node& n, const Node* toFolder, std::string* out) {
    if (!c.moves || (c.sameFolder && c.from == c.to)) return false;
    std::string toPath;
    struct stat dir {};
    if (!c.sameFolder && (toFolder == nullptr || node_path(*toFolder, &toPath) != noErr ||
                          toPath.empty() || ::fstat(c.toDir, &dir) != 0))
        return false;
    put_str(*out, from);
    put_str(*out, to);
    put_str(*out, toPath);
    put_u64(*out, c.sameFolder ? 0 : dir.st_dev);
    put_u64(*out, c.sameFolder ? 0 : dir.st_ino);
    put_u64(*out, n.st.stx_ino);
    put_u64(*out, ino_at(c.fromDir, c.from));
    put_str(*out, c.sameFolder ? std::string() : commit::folder_handle(c.toDir));
    return true;
}

// The fault seam's names of one rename_pair's steps, written out in full
// at each caller so that a scan of the sources finds every checked name.
struct PairSteps {
    const char* rename;
    const char* sidecar;
    const char* undo;
};

// Renames `from` in `fromDir` to `to` in `toDir` (never replacing anything)
// and its sidecar after it. On failure nothing has moved (or the undo
// failed as well).
// `toFolder` is the folder `toDir` is of (for the journal; null within
// one folder).
OSErr rename_pair(const PairSteps& steps, int fromDir, const std::string& from, int toDir,
                  const std::string& to, const Node& n, const Node* toFolder, bool badMoveOnInval) {
    // The names settle under the folders' lock: no other change of ours
    // takes the sidecar, between the two renames, for an orphan.
    commit::FolderLock lock;
    if (OSErr e = lock.take(fromDir, toDir)) return e;
    if (OSErr e = appledir::refuse_parting(n)) return e;
    rsrc::Carry c;
    if (OSErr e = rsrc::prepare(fromDir, from, toDir, to, &c)) return e;
    commit::Journal journal;
    if (std::string payload; rename_journal(c, from, to, n, toFolder, &payload))
        if (OSErr e = journal.begin(fromDir, kRenameJournal, payload)) return e;
    rsrc::mark_carry(c, n.st.stx_ino, steps.sidecar);
    if (vantrel::fault::step(steps.rename, to, [&] {
            return ::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE);
        }) != 0) {
        const int err = errno;
        rsrc::unmark_carry(c, steps.sidecar);
        return from_errno(err, badMoveOnInval ? Op::Move : Op::Rename, &n);
    }
    if (OSErr e = rsrc::carry(c, steps.sidecar)) {
        if (vantrel::fault::step(steps.undo, from, [&] {
                return ::renameat2(toDir, to.c_str(), fromDir, from.c_str(), RENAME_NOREPLACE);
            }) == 0)
            rsrc::unmark_carry(c, steps.sidecar);
        else
            journal
                .keep();  // the file at its new name, the fork at the old: the listing joins them
        return e;
    }
    // What Netatalk 2 kept of a file gone from the new name is no metadata
    // of this one.
    if (!(fromDir == toDir && from == to)) appledir::remove_entries_of(toDir, {to}, steps.sidecar);
    return noErr;
}

// After `n` left its name (renamed or moved through this file) for
// `newParent` and `newName`: the layer's tables, and the name it left.
void moved(const Node& n, const Node& newParent, std::string_view newName) {
    left_names().remember(n.vref, n.parentID, n.name);
    note_moved(n, newParent, newName);
}

// Renames `n` within its folder to `disk` with its sidecar, unless another
// object holds one of `spellings`; `n` names the object under its new name
// afterwards. Nothing to do when `disk` is its name already.
OSErr rename_within(const PairSteps& steps, Node* np, const std::string& disk,
                    const std::vector<std::string>& spellings) {
    Node& n = *np;
    if (disk == n.name) return noErr;
    if (OSErr e = taken_in_other_spelling(n.at(), spellings, n)) return e;
    if (OSErr e = rename_pair(steps, n.at(), n.name, n.at(), disk, n, nullptr, false)) return e;
    Node parent;
    if (dir_by_id(n.vref, n.parentID, &parent) != noErr) {
        // The parent is always known after resolving the object; should
        // it have gone meanwhile, the ID alone is what the tables need.
        parent.vref = n.vref;
        parent.nodeID = n.parentID;
    }
    moved(n, parent, disk);
    left_names().forget(n.vref, n.parentID, disk);
    n.name = disk;
    return restat(&n);
}

}  // namespace
}  // namespace vantrel::fm

using namespace vantrel::fm;

OSErr FSRenameUnicode(const FSRef* ref, UniCharCount nameLength, const UniChar* name,
                      TextEncoding /*hint*/, FSRef* newRef) {
    // The hint only matters to file systems that store names in a Mac
    // encoding; names here are stored in UTF-8.
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    std::string disk;
    if (OSErr e = name_from_unicode(name, nameLength, &disk)) return e;
    std::vector<std::string> spellings;
    add_spellings(name, nameLength, disk, &spellings);
    std::string before;
    if (left_names().find(n.vref, n.parentID, name, nameLength, &before) && before != disk) {
        spellings.push_back(disk);
        disk = std::move(before);
    }
    if (OSErr e = vantrel::fault::check("FSRenameUnicode", disk)) return e;
    // A volume's root takes its name from its mount point, which is not ours
    // to change.
    if (n.root) return wPrErr;
    if (OSErr e = rename_within(
            {"FSRenameUnicode.rename", "FSRenameUnicode.sidecar", "FSRenameUnicode.undo"}, &n, disk,
            spellings))
        return e;
    if (newRef != nullptr) make_ref(n, newRef);
    return noErr;
}

OSErr VantrelFSRenameExact(const FSRef* ref, const VantrelDiskName* name, FSRef* newRef) {
    if (ref == nullptr || name == nullptr) return paramErr;
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    const std::string disk(reinterpret_cast<const char*>(name->bytes), name->length);
    if (disk.empty() || disk == "." || disk == ".." ||
        disk.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
        rsrc::is_sidecar_name(disk))
        return bdNamErr;
    if (OSErr e = vantrel::fault::check("VantrelFSRenameExact", disk)) return e;
    if (n.root) return wPrErr;
    if (OSErr e = rename_within({"VantrelFSRenameExact.rename", "VantrelFSRenameExact.sidecar",
                                 "VantrelFSRenameExact.undo"},
                                &n, disk, other_spellings(disk)))
        return e;
    if (newRef != nullptr) make_ref(n, newRef);
    return noErr;
}

OSErr FSMoveObject(const FSRef* ref, const FSRef* destDirectory, FSRef* newRef) {
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
        if (OSErr e = taken_in_other_spelling(destFd->fd(), other_spellings(n.name), n)) return e;
        if (OSErr e =
                rename_pair({"FSMoveObject.rename", "FSMoveObject.sidecar", "FSMoveObject.undo"},
                            n.at(), n.name, destFd->fd(), n.name, n, &dest, true))
            return e;
        moved(n, dest, n.name);
        n.parent = std::move(destFd);
        n.parentID = dest.nodeID;
        if (OSErr e = restat(&n)) return e;
    }
    if (newRef != nullptr) make_ref(n, newRef);
    return noErr;
}

namespace {

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
    if (OSErr err = node_from_spec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, &src))
        return finish(p, err);
    if (src.root) return finish(p, badMovErr);
    Node dest;
    if (OSErr err = node_from_spec(p.ioVRefNum, p.ioNewDirID, p.ioNewName, &dest))
        return finish(p, err);
    if (!dest.is_dir()) return finish(p, dirNFErr);
    if (dest.vref != src.vref) return finish(p, diffVolErr);
    if (src.is_dir() && lies_within(dest, src)) return finish(p, badMovErr);

    std::string name = src.name;
    if (p.ioCopyName != nullptr && p.ioCopyName[0] != 0) {
        if (OSErr err = name_from_pascal(p.ioCopyName, &name)) return finish(p, err);
    }
    DirFd destFd;
    if (OSErr err = dir_fd(dest, &destFd)) return finish(p, err);
    if (OSErr err = taken_in_other_spelling(destFd->fd(), other_spellings(name), src))
        return finish(p, err);
    if (OSErr err = rename_pair(
            {"PBHMoveRenameSync.rename", "PBHMoveRenameSync.sidecar", "PBHMoveRenameSync.undo"},
            src.at(), src.name, destFd->fd(), name, src, &dest, true))
        return finish(p, err);
    moved(src, dest, name);
    return finish(p, noErr);
}

// ---------------------------------------------------------------- exchange

namespace vantrel::fm {
namespace {

// The contents of a file are its data fork and its resource fork; they
// trade places with the inodes. A fork still in the attribute of earlier
// versions is carried by the inode itself.
bool moves_with_contents(std::string_view attr) {
    return attr == meta::kResourceForkAttr;
}

// The resource forks kept beside the files trade places as well: the two
// sidecars are exchanged, or the one there is moves to the other name
// (over an orphan there, if any). Undone by running it again with `undo`.
struct SidecarTrade {
    int aDir = -1, bDir = -1;
    std::string a, b;  // sidecar names
    bool hasA = false, hasB = false;
};

OSErr plan_trade(const Node& x, const Node& y, SidecarTrade* t) {
    if (OSErr e = appledir::refuse_parting(x)) return e;
    if (OSErr e = appledir::refuse_parting(y)) return e;
    t->aDir = x.at();
    t->bDir = y.at();
    const bool aFits = rsrc::sidecar_name(x.name, &t->a);
    const bool bFits = rsrc::sidecar_name(y.name, &t->b);
    // Only sidecars trade places: a user's own "._" file beside either file
    // stays where it is, and is never replaced by the other's fork.
    t->hasA = aFits && rsrc::is_sidecar_of(x.at(), x.name);
    t->hasB = bFits && rsrc::is_sidecar_of(y.at(), y.name);
    if ((t->hasA && !bFits) || (t->hasB && !aFits)) return errFSNameTooLong;
    if (t->hasA && !t->hasB) return rsrc::place_taken(y.at(), y.name);
    if (t->hasB && !t->hasA) return rsrc::place_taken(x.at(), x.name);
    return noErr;
}

int trade(const SidecarTrade& t, const char* step, bool undo) {
    if (t.hasA && t.hasB)
        return vantrel::fault::step(step, t.a, [&] {
            return ::renameat2(t.aDir, t.a.c_str(), t.bDir, t.b.c_str(), RENAME_EXCHANGE);
        });
    if (!t.hasA && !t.hasB) return 0;
    // One sidecar: from its name to the other's, and back for the undo.
    const bool forward = t.hasA != undo;
    const int fromDir = forward ? t.aDir : t.bDir, toDir = forward ? t.bDir : t.aDir;
    const std::string& from = forward ? t.a : t.b;
    const std::string& to = forward ? t.b : t.a;
    // Never over something else standing at the other sidecar name.
    return vantrel::fault::step(step, from, [&] {
        return ::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE);
    });
}

// Where the sidecars stand now, traded (true) or not; `sideA` and `sideB`
// are their inodes as the journal wrote them.
bool sidecars_traded(const SidecarTrade& t, std::uint64_t sideA, std::uint64_t sideB) {
    if (t.hasA && t.hasB) return ino_at(t.aDir, t.a) == sideB;
    if (t.hasA) return ino_at(t.aDir, t.a) == 0 && ino_at(t.bDir, t.b) == sideA;
    if (t.hasB) return ino_at(t.bDir, t.b) == 0 && ino_at(t.aDir, t.a) == sideB;
    return false;
}

// A recovery's sidecars: traded where the files are (`forward`), back
// where they are not, from wherever a kill left them.
int settle_sidecars(const SidecarTrade& t, bool forward, std::uint64_t sideA, std::uint64_t sideB,
                    const char* step) {
    if (sidecars_traded(t, sideA, sideB) == forward) return 0;
    return trade(t, step, !forward);
}

// Attributes that describe the file at its name and place: the metadata
// record (Finder information, comment, dates), the precise dates, ACLs and
// whatever else other programs keep in the user namespace. The file-ID
// marker is handled apart (it names its inode).
bool stays_with_name(std::string_view attr) {
    if (moves_with_contents(attr) || attr == kFileIDAttr) return false;
    return attr.starts_with("user.") || attr == "system.posix_acl_access";
}

OSErr attr_names(const Node& n, std::vector<std::string>* out) {
    const std::string path = n.proc_path();
    for (;;) {
        const ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
        if (size < 0) return from_errno(errno, Op::Read, &n);
        std::string names(static_cast<std::size_t>(size), '\0');
        const ssize_t got = ::llistxattr(path.c_str(), names.data(), names.size());
        if (got < 0 && errno == ERANGE) continue;  // grew meanwhile
        if (got < 0) return from_errno(errno, Op::Read, &n);
        for (std::size_t i = 0; i < static_cast<std::size_t>(got);) {
            const std::string name(names.c_str() + i);
            i += name.size() + 1;
            if (stays_with_name(name)) out->push_back(name);
        }
        return noErr;
    }
}

}  // namespace

OSErr read_place(const Node& n, PlaceMeta* m) {
    std::vector<std::string> names;
    if (OSErr e = attr_names(n, &names)) return e;
    const std::string path = n.proc_path();
    for (const std::string& name : names) {
        std::string value;
        for (;;) {
            const ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
            if (size < 0 && errno == ENODATA) break;  // removed meanwhile
            if (size < 0) return from_errno(errno, Op::Read, &n);
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
            if (got < 0 && errno == ERANGE) continue;
            if (got < 0) return from_errno(errno, Op::Read, &n);
            value.resize(static_cast<std::size_t>(got));
            m->attrs.emplace_back(name, std::move(value));
            break;
        }
    }
    m->fileID = file_id_of(n);
    m->mode = n.st.stx_mode & 07777;
    m->uid = n.st.stx_uid;
    m->gid = n.st.stx_gid;
    m->atime = n.st.stx_atime;
    FSCatalogInfo info{};
    if (OSErr e = fill_catalog_info(n, kFSCatInfoCreateDate, &info, nullptr, nullptr, nullptr))
        return e;
    m->created = info.createDate;
    return noErr;
}

namespace {

bool same_date(const UTCDateTime& x, const UTCDateTime& y) {
    return x.highSeconds == y.highSeconds && x.lowSeconds == y.lowSeconds &&
           x.fraction == y.fraction;
}

// Gives the file `n` (by its current name) the place metadata `m`; its
// contents, their modification date and its resource fork are left alone.
// Each system call is the fault seam's step `step` (the trade, or its undo).
OSErr apply_place(Node n, const PlaceMeta& m, const char* step) {
    auto call = [&](auto&& f) { return vantrel::fault::step(step, n.name, f); };
    const std::string path = n.proc_path();
    const bool owner = ::geteuid() == n.st.stx_uid;
    // An owner may change the attributes of a file it made read-only only
    // by making it writable for a moment; the mode is set at the end.
    if (owner && ::geteuid() != 0 && !(n.st.stx_mode & S_IWUSR) &&
        call([&] {
            return ::fchmodat(n.at(), n.name.c_str(), (n.st.stx_mode & 07777) | S_IWUSR, 0);
        }) != 0)
        return from_errno(errno, Op::Write, &n);
    std::vector<std::string> have;
    if (OSErr e = attr_names(n, &have)) return e;
    // Values first, then what the place does not have: a failure half-way
    // then leaves an attribute changed rather than gone.
    // Not a structured binding: clang 14 cannot capture those in a lambda.
    for (const auto& attr : m.attrs)
        if (call([&] {
                return ::lsetxattr(path.c_str(), attr.first.c_str(), attr.second.data(),
                                   attr.second.size(), 0);
            }) != 0)
            return from_errno(errno, Op::Write, &n);
    for (const std::string& name : have) {
        bool keep = false;
        for (const auto& a : m.attrs) keep = keep || a.first == name;
        if (!keep && call([&] {
                         const int rc = ::lremovexattr(path.c_str(), name.c_str());
                         return rc != 0 && errno == ENODATA ? 0 : rc;
                     }) != 0)
            return from_errno(errno, Op::Write, &n);
    }
    if (m.fileID) {
        const std::string marker = file_id_marker(n, *m.fileID);
        if (call([&] {
                return ::lsetxattr(path.c_str(), kFileIDAttr, marker.data(), marker.size(), 0);
            }) != 0)
            return from_errno(errno, Op::Write, &n);
    } else if (call([&] {
                   const int rc = ::lremovexattr(path.c_str(), kFileIDAttr);
                   return rc != 0 && errno == ENODATA ? 0 : rc;
               }) != 0) {
        return from_errno(errno, Op::Write, &n);
    }
    if (OSErr e = restat(&n)) return e;
    // A creation date that came from the birth time has to be written down
    // for an inode born at another time.
    FSCatalogInfo info{};
    if (OSErr e = fill_catalog_info(n, kFSCatInfoCreateDate, &info, nullptr, nullptr, nullptr))
        return e;
    if (!same_date(info.createDate, m.created)) {
        FSRef ref;
        make_ref(n, &ref);
        info.createDate = m.created;
        if (OSErr e = FSSetCatalogInfo(&ref, kFSCatInfoCreateDate, &info)) return e;
    }
    if ((m.uid != n.st.stx_uid || m.gid != n.st.stx_gid) &&
        call([&] {
            return ::fchownat(n.at(), n.name.c_str(), m.uid, m.gid, AT_SYMLINK_NOFOLLOW);
        }) != 0)
        return from_errno(errno, Op::Write, &n);
    if (call([&] { return ::fchmodat(n.at(), n.name.c_str(), m.mode, 0); }) != 0)
        return from_errno(errno, Op::Write, &n);
    const struct timespec times[2] = {{m.atime.tv_sec, long(m.atime.tv_nsec)}, {0, UTIME_OMIT}};
    if (call([&] { return ::utimensat(n.at(), n.name.c_str(), times, AT_SYMLINK_NOFOLLOW); }) != 0)
        return from_errno(errno, Op::Write, &n);
    return noErr;
}

// How both exchanges' recoveries end: each name that is to be found (not
// null) gets back what belongs to it, whichever way its contents went.
// Benign: what cannot be put back stays as the exchange left it.
void apply_places(const Node* a, const PlaceMeta& atA, const Node* b, const PlaceMeta& atB,
                  const char* step) {
    if (a != nullptr) (void)apply_place(*a, atA, step);
    if (b != nullptr) (void)apply_place(*b, atB, step);
}

// ---- the exchange's journal: what each name keeps, and where each object was

void put_place(std::string& out, const PlaceMeta& m) {
    put_u64(out, m.attrs.size());
    for (const auto& [name, value] : m.attrs) {
        put_str(out, name);
        put_str(out, value);
    }
    put_u64(out, m.fileID ? (std::uint64_t(1) << 32 | *m.fileID) : 0);
    put_u64(out, m.mode);
    put_u64(out, m.uid);
    put_u64(out, m.gid);
    put_u64(out, std::uint64_t(m.atime.tv_sec));
    put_u64(out, m.atime.tv_nsec);
    put_u64(out, std::uint64_t(m.created.highSeconds) << 48 |
                     std::uint64_t(m.created.lowSeconds) << 16 | m.created.fraction);
}
PlaceMeta get_place(Reader& r) {
    PlaceMeta m;
    const std::uint64_t n = r.u64();
    for (std::uint64_t i = 0; r.ok && i < n; ++i) {
        std::string name = r.str();
        std::string value = r.str();
        m.attrs.emplace_back(std::move(name), std::move(value));
    }
    const std::uint64_t id = r.u64();
    if (id >> 32) m.fileID = UInt32(id);
    m.mode = mode_t(r.u64());
    m.uid = uid_t(r.u64());
    m.gid = gid_t(r.u64());
    m.atime.tv_sec = std::int64_t(r.u64());
    m.atime.tv_nsec = std::uint32_t(r.u64());
    const std::uint64_t c = r.u64();
    m.created.highSeconds = UInt16(c >> 48);
    m.created.lowSeconds = UInt32(c >> 16);
    m.created.fraction = UInt16(c);
    return m;
}

constexpr std::string_view kExchangeJournal = "exchange";

std::string exchange_journal(const std::string& pathA, const std::string& pathB, const Node& a,
                             const Node& b, const SidecarTrade& t, const PlaceMeta& atA,
                             const PlaceMeta& atB) {
    std::string out;
    put_str(out, pathA);
    put_str(out, pathB);
    put_u64(out, a.st.stx_ino);
    put_u64(out, b.st.stx_ino);
    put_u64(out, (t.hasA ? 1 : 0) | (t.hasB ? 2 : 0));
    put_str(out, t.a);
    put_str(out, t.b);
    put_u64(out, t.hasA ? ino_at(t.aDir, t.a) : 0);
    put_u64(out, t.hasB ? ino_at(t.bDir, t.b) : 0);
    put_place(out, atA);
    put_place(out, atB);
    return out;
}

// Finishes or undoes an exchange a kill cut short. The one rename tells
// which: done when the first name holds the second inode, then forward;
// else back. Each name gets back what belongs to it and the sidecars go
// where the contents they belong to stand. Nothing when the names hold
// neither pair (something else changed them since).
bool recover_exchange(int /*dirFd*/, std::string_view payload) {
    Reader r{payload};
    const std::string pathA = r.str(), pathB = r.str();
    const std::uint64_t inoA = r.u64(), inoB = r.u64(), has = r.u64();
    SidecarTrade t;
    t.a = r.str();
    t.b = r.str();
    t.hasA = (has & 1) != 0;
    t.hasB = (has & 2) != 0;
    const std::uint64_t sideA = r.u64(), sideB = r.u64();
    const PlaceMeta atA = get_place(r), atB = get_place(r);
    if (!r.ok) return true;  // cut short while written: nothing began
    Node a, b;
    if (node_from_path(pathA, &a) != noErr || node_from_path(pathB, &b) != noErr) return true;
    const bool done = a.st.stx_ino == inoB && b.st.stx_ino == inoA;
    if (!done && !(a.st.stx_ino == inoA && b.st.stx_ino == inoB)) return true;
    t.aDir = a.at();
    t.bDir = b.at();
    (void)settle_sidecars(t, done, sideA, sideB, "FSExchangeObjects.undo");
    apply_places(&a, atA, &b, atB, "FSExchangeObjects.undo");
    return true;
}

[[maybe_unused]] const bool kExchangeRecovery = [] {
    commit::register_recovery(kExchangeJournal, recover_exchange);
    return true;
}();

}  // namespace
}  // namespace vantrel::fm

// The metadata is traded first, while each file still stands at its own
// name; the rename that trades the contents comes last, so that it is the
// one step that makes the exchange visible. A failure before it puts each
// file's own metadata back.
OSErr FSExchangeObjects(const FSRef* ref, const FSRef* destRef) {
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
    if (a.locked() || b.locked()) return fLckdErr;
    // What belongs to a name (its Finder information, comment, mode, owner)
    // is traded by writing it onto the other file's inode: a file with other
    // hard links would give it to names that were never asked about.
    if (a.st.stx_nlink > 1 || b.st.stx_nlink > 1) return permErr;

    SidecarTrade sidecars;
    if (OSErr e = plan_trade(a, b, &sidecars)) return e;
    PlaceMeta atA, atB;  // what belongs to the first and to the second name
    if (OSErr e = read_place(a, &atA)) return e;
    if (OSErr e = read_place(b, &atB)) return e;
    // Written down before anything changes, so that a kill at any step is
    // finished or undone by the next listing of the first file's folder.
    // (Files deeper than a path can name are exchanged without one.)
    std::string pathA, pathB;
    commit::Journal journal;
    if (node_path(a, &pathA) == noErr && node_path(b, &pathB) == noErr)
        if (OSErr e = journal.begin(a.at(), kExchangeJournal,
                                    exchange_journal(pathA, pathB, a, b, sidecars, atA, atB)))
            return e;
    OSErr err = apply_place(a, atB, "FSExchangeObjects.trade");
    bool undone = true;
    if (err == noErr) {
        err = apply_place(b, atA, "FSExchangeObjects.trade");
        bool traded = false;
        if (err == noErr) {
            traded = trade(sidecars, "FSExchangeObjects.sidecar", false) == 0;
            if (!traded) err = from_errno(errno, Op::Exchange, &a);
        }
        if (traded) {
            if (vantrel::fault::step("FSExchangeObjects.exchange", a.name, [&] {
                    return ::renameat2(a.at(), a.name.c_str(), b.at(), b.name.c_str(),
                                       RENAME_EXCHANGE);
                }) == 0) {
                note_exchange_result(a.vref, true);
                note_exchanged(a, b);
                // The file IDs stayed with the names: the ID of the first
                // name is now carried by the second file, and the other way.
                Node nowA, nowB;
                FSRef ra, rb;
                make_ref(b, &rb);
                make_ref(a, &ra);
                if (atA.fileID && resolve(&rb, &nowB) == noErr) note_file_id(nowB, *atA.fileID);
                if (atB.fileID && resolve(&ra, &nowA) == noErr) note_file_id(nowA, *atB.fileID);
                return noErr;
            }
            err = from_errno(errno, Op::Exchange, &a);
            // The file system has no exchange: the volume's parameters say
            // so from now on.
            if (err == errFSOperationNotSupported) note_exchange_result(a.vref, false);
            undone = trade(sidecars, "FSExchangeObjects.undo", true) == 0;
        }
        (void)restat(&b);
        // Each file's own metadata back.
        undone = apply_place(b, atB, "FSExchangeObjects.undo") == noErr && undone;
    }
    (void)restat(&a);
    undone = apply_place(a, atA, "FSExchangeObjects.undo") == noErr && undone;
    // An undo cut short leaves names with each other's metadata or forks:
    // the journal stays, and the next listing puts back what it records.
    if (!undone) journal.keep();
    return err;
}

// ---------------------------------------------------------------- by names
//
// The exchange where the file system has none (no RENAME_EXCHANGE): the
// same trade of metadata first, then each pair of names (the sidecars', the
// files') traded through private names. Where the file system makes hard
// links, no name is ever missing: X and Y each get a second, private name
// (P, Q), Q takes X's place in one rename (the step that makes the trade
// visible), then P takes Y's. Where it makes none, X goes to P, Y to X, P
// to Y, and X is missing between the first two renames. Either way a
// journal written first lets the next listing of X's folder finish or undo
// it: once X holds Y's inode, forward; before, back.

namespace vantrel::fm {
namespace {

struct NamePair {
    int dirX = -1, dirY = -1;
    std::string x, y;  // the two names
    std::string p, q;  // private names: p in X's folder, q in Y's
    std::uint64_t ix = 0, iy = 0;
};

bool no_links(int err) {
    return err == EPERM || err == EOPNOTSUPP || err == EMLINK || err == EXDEV;
}

// Trades the objects of the names X and Y. 0, or -1 with errno when a step
// failed (what was done is then left for settle_pair to undo).
int swap_pair(const NamePair& s, const char* step) {
    auto run = [&](const std::string& detail, auto&& f) {
        return vantrel::fault::step(step, detail, f);
    };
    const int linked =
        run(s.p, [&] { return ::linkat(s.dirX, s.x.c_str(), s.dirX, s.p.c_str(), 0); });
    if (linked != 0 && !no_links(errno)) return -1;
    if (linked == 0) {
        if (run(s.q, [&] { return ::linkat(s.dirY, s.y.c_str(), s.dirY, s.q.c_str(), 0); }) != 0)
            return -1;
        if (run(s.x, [&] { return ::renameat(s.dirY, s.q.c_str(), s.dirX, s.x.c_str()); }) != 0)
            return -1;
        return run(s.y, [&] { return ::renameat(s.dirX, s.p.c_str(), s.dirY, s.y.c_str()); });
    }
    if (run(s.p, [&] {
            return ::renameat2(s.dirX, s.x.c_str(), s.dirX, s.p.c_str(), RENAME_NOREPLACE);
        }) != 0)
        return -1;
    if (run(s.x, [&] {
            return ::renameat2(s.dirY, s.y.c_str(), s.dirX, s.x.c_str(), RENAME_NOREPLACE);
        }) != 0)
        return -1;
    return run(s.y, [&] {
        return ::renameat2(s.dirX, s.p.c_str(), s.dirY, s.y.c_str(), RENAME_NOREPLACE);
    });
}

// Brings the pair, from wherever swap_pair (or a kill in it, or in its
// undo) left it, to the names traded (`forward`) or as they were. The two
// objects stand under X, Y and the private names P, Q in any way those
// steps can leave them; a private name that repeats a name X or Y holds is
// dropped, one that is an object's only name is renamed where that object
// belongs, never dropped. Idempotent: each step looks first. 0, or -1 with
// errno.
int settle_pair(const NamePair& s, bool forward, const char* step) {
    auto run = [&](const std::string& detail, auto&& f) {
        return vantrel::fault::step(step, detail, f);
    };
    const std::uint64_t wx = forward ? s.iy : s.ix, wy = forward ? s.ix : s.iy;
    auto dropRepeats = [&]() {
        const std::uint64_t x = ino_at(s.dirX, s.x), y = ino_at(s.dirY, s.y);
        // Not a structured binding: clang 14 cannot capture those in a lambda.
        for (const auto& at : {std::pair{s.dirX, &s.p}, std::pair{s.dirY, &s.q}}) {
            const int dir = at.first;
            const std::string& name = *at.second;
            const std::uint64_t i = ino_at(dir, name);
            if ((i == s.ix || i == s.iy) && (i == x || i == y) &&
                run(name, [&] { return ::unlinkat(dir, name.c_str(), 0); }) != 0)
                return -1;
        }
        return 0;
    };
    if (dropRepeats() != 0) return -1;
    const std::uint64_t x = ino_at(s.dirX, s.x), y = ino_at(s.dirY, s.y);
    if (x == wx && y == wy) return 0;
    // The one private name still holding an object (its only name now).
    int sDir = -1;
    const std::string* sName = nullptr;
    std::uint64_t held = 0;
    for (const auto& [dir, name] : {std::pair{s.dirX, &s.p}, std::pair{s.dirY, &s.q}}) {
        const std::uint64_t i = ino_at(dir, *name);
        if (i == s.ix || i == s.iy) sDir = dir, sName = name, held = i;
    }
    if (sName == nullptr) {
        if (x == wy && y == wx) {  // traded the other way whole: once more
            NamePair again = s;
            std::swap(again.ix, again.iy);
            return swap_pair(again, step) == 0 ? dropRepeats() : -1;
        }
        errno = ENOENT;  // an object is at neither name: not ours to guess
        return -1;
    }
    // The object under the private name goes to its place; what stands
    // there first goes to the other place, where it is missing.
    const bool toX = held == wx;
    const int toDir = toX ? s.dirX : s.dirY, otherDir = toX ? s.dirY : s.dirX;
    const std::string& to = toX ? s.x : s.y;
    const std::string& other = toX ? s.y : s.x;
    const std::uint64_t there = toX ? x : y, otherWants = toX ? wy : wx;
    if (there == otherWants && ino_at(otherDir, other) != otherWants &&
        run(other, [&] {
            return ::renameat2(toDir, to.c_str(), otherDir, other.c_str(), RENAME_NOREPLACE);
        }) != 0)
        return -1;
    if (run(to, [&] { return ::renameat(sDir, sName->c_str(), toDir, to.c_str()); }) != 0)
        return -1;
    if (ino_at(s.dirX, s.x) != wx || ino_at(s.dirY, s.y) != wy) {
        errno = EIO;  // something else holds a name now
        return -1;
    }
    return dropRepeats();
}

// The sidecars' part: both traded as a pair, or the one there is renamed.
struct NamedTrade {
    SidecarTrade t;
    NamePair pair;  // both sidecars
    bool both() const { return t.hasA && t.hasB; }
};

int trade_named(const NamedTrade& n, const char* step) {
    return n.both() ? swap_pair(n.pair, step) : trade(n.t, step, false);
}

int settle_named(const NamedTrade& n, bool forward, std::uint64_t sideA, std::uint64_t sideB,
                 const char* step) {
    if (n.both()) return settle_pair(n.pair, forward, step);
    return settle_sidecars(n.t, forward, sideA, sideB, step);
}

constexpr std::string_view kNamedExchangeJournal = "exchange by names";

// The node at `name` of the folder open as `dirFd`, found by the folder's
// path now (a recovery has descriptors, not references).
OSErr node_in(int dirFd, const std::string& name, Node* out) {
    char buf[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(dirFd);
    const ssize_t len = ::readlink(link.c_str(), buf, PATH_MAX);
    if (len <= 0) return fnfErr;
    std::string path(buf, std::size_t(len));
    if (path != "/") path += '/';
    return node_from_path(path + name, out);
}

std::string named_exchange_journal(const std::string& pathB, const struct stat& dirB,
                                   const NamePair& files, const NamedTrade& sides,
                                   std::uint64_t sideA, std::uint64_t sideB, const PlaceMeta& atA,
                                   const PlaceMeta& atB) {
    std::string out;
    put_str(out, pathB);
    put_u64(out, dirB.st_dev);
    put_u64(out, dirB.st_ino);
    for (const std::string* s : {&files.x, &files.y, &files.p, &files.q, &sides.t.a, &sides.t.b,
                                 &sides.pair.p, &sides.pair.q})
        put_str(out, *s);
    put_u64(out, files.ix);
    put_u64(out, files.iy);
    put_u64(out, (sides.t.hasA ? 1 : 0) | (sides.t.hasB ? 2 : 0));
    put_u64(out, sideA);
    put_u64(out, sideB);
    put_place(out, atA);
    put_place(out, atB);
    return out;
}

// Finishes or undoes an exchange by names a kill cut short: forward once
// the first name holds the second file, else back; then each name gets
// what belongs to it again and the sidecars go where their contents are.
// The first name's folder is the journal's; the second's is found again by
// its device and inode. A journal whose second folder cannot be found stays
// (false), for a later listing: dropping it could drop the only name of a
// file that waits under a private one.
bool recover_named_exchange(int dirFd, std::string_view payload) {
    Reader r{payload};
    const std::string pathB = r.str();
    const std::uint64_t devB = r.u64(), inoB = r.u64();
    NamePair files;
    NamedTrade sides;
    for (std::string* s : {&files.x, &files.y, &files.p, &files.q, &sides.t.a, &sides.t.b,
                           &sides.pair.p, &sides.pair.q})
        *s = r.str();
    files.ix = r.u64();
    files.iy = r.u64();
    const std::uint64_t has = r.u64(), sideA = r.u64(), sideB = r.u64();
    const PlaceMeta atA = get_place(r), atB = get_place(r);
    if (!r.ok) return true;  // cut short while written: nothing began
    UniqueFd other(::open(pathB.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!other || ::fstat(other.get(), &st) != 0 || st.st_dev != devB || st.st_ino != inoB)
        return false;
    files.dirX = dirFd;
    files.dirY = other.get();
    sides.t.aDir = dirFd;
    sides.t.bDir = other.get();
    sides.t.hasA = (has & 1) != 0;
    sides.t.hasB = (has & 2) != 0;
    sides.pair = NamePair{dirFd,        other.get(),  sides.t.a, sides.t.b,
                          sides.pair.p, sides.pair.q, sideA,     sideB};
    commit::FolderLock lock;
    if (lock.take(dirFd, other.get()) != noErr) return false;
    const bool forward = ino_at(dirFd, files.x) == files.iy;
    if (settle_pair(files, forward, "VantrelFSExchangeObjectsByNames.undo") != 0) return false;
    (void)settle_named(sides, forward, sideA, sideB, "VantrelFSExchangeObjectsByNames.undo");
    Node a, b;
    const bool foundA = node_in(dirFd, files.x, &a) == noErr;
    const bool foundB = node_in(other.get(), files.y, &b) == noErr;
    apply_places(foundA ? &a : nullptr, atA, foundB ? &b : nullptr, atB,
                 "VantrelFSExchangeObjectsByNames.undo");
    return true;
}

[[maybe_unused]] const bool kNamedExchangeRecovery = [] {
    commit::register_recovery(kNamedExchangeJournal, recover_named_exchange);
    return true;
}();

}  // namespace
}  // namespace vantrel::fm

using namespace vantrel::fm;

extern "C" OSErr VantrelFSExchangeObjectsByNames(const FSRef* ref, const FSRef* destRef) {
    Node a;
    if (OSErr e = resolve(ref, &a)) return e;
    Node b;
    if (OSErr e = resolve(destRef, &b)) return e;
    if (OSErr e = vantrel::fault::check("VantrelFSExchangeObjectsByNames", a.name)) return e;
    if (a.is_dir() || b.is_dir() || a.root || b.root) return notAFileErr;
    if (!S_ISREG(a.st.stx_mode) || !S_ISREG(b.st.stx_mode)) return notAFileErr;
    if (a.vref != b.vref) return diffVolErr;
    if (a.dev() == b.dev() && a.st.stx_ino == b.st.stx_ino) return noErr;
    if (a.locked() || b.locked()) return fLckdErr;
    // As for the exchange in one rename: what belongs to a name is written
    // onto the other inode, which other names must not share.
    if (a.st.stx_nlink > 1 || b.st.stx_nlink > 1) return permErr;

    // Names change in both folders: nothing of ours takes a sidecar between
    // its two places for an orphan meanwhile.
    commit::FolderLock lock;
    if (OSErr e = lock.take(a.at(), b.at())) return e;
    // Looked at again under the lock: the files are still at their names.
    if (ino_at(a.at(), a.name) != a.st.stx_ino || ino_at(b.at(), b.name) != b.st.stx_ino)
        return fBsyErr;
    NamedTrade sides;
    if (OSErr e = plan_trade(a, b, &sides.t)) return e;
    PlaceMeta atA, atB;
    if (OSErr e = read_place(a, &atA)) return e;
    if (OSErr e = read_place(b, &atB)) return e;
    NamePair files{
        a.at(),       b.at(),      a.name, b.name, commit::private_name(), commit::private_name(),
        a.st.stx_ino, b.st.stx_ino};
    const std::uint64_t sideA = sides.t.hasA ? ino_at(sides.t.aDir, sides.t.a) : 0;
    const std::uint64_t sideB = sides.t.hasB ? ino_at(sides.t.bDir, sides.t.b) : 0;
    sides.pair = NamePair{
        a.at(), b.at(), sides.t.a, sides.t.b, commit::private_name(), commit::private_name(),
        sideA,  sideB};
    // The journal goes first; without one (a folder deeper than a path can
    // name, or one this caller may not change) a kill could leave a file
    // under a private name only: refused instead.
    std::string pathB;
    struct stat dirB {};
    if (node_path(b, &pathB) != noErr || ::fstat(b.at(), &dirB) != 0) return errFSNameTooLong;
    pathB.resize(pathB.size() - b.name.size());  // the folder's path, with its slash
    commit::Journal journal;
    const bool inside = commit::journalled();  // another change's part: that one's to finish
    if (OSErr e = journal.begin(
            a.at(), kNamedExchangeJournal,
            named_exchange_journal(pathB, dirB, files, sides, sideA, sideB, atA, atB)))
        return e;
    if (!journal.written() && !inside) return afpAccessDenied;

    OSErr err = apply_place(a, atB, "VantrelFSExchangeObjectsByNames.trade");
    bool undone = true;
    if (err == noErr) {
        err = apply_place(b, atA, "VantrelFSExchangeObjectsByNames.trade");
        if (err == noErr) {
            if (trade_named(sides, "VantrelFSExchangeObjectsByNames.sidecar") != 0) {
                err = from_errno(errno, Op::Exchange, &a);
            } else if (swap_pair(files, "VantrelFSExchangeObjectsByNames.exchange") != 0) {
                err = from_errno(errno, Op::Exchange, &a);
                undone = settle_pair(files, false, "VantrelFSExchangeObjectsByNames.undo") == 0;
            }
            if (err != noErr && undone)
                undone = settle_named(sides, false, sideA, sideB,
                                      "VantrelFSExchangeObjectsByNames.undo") == 0;
        }
        if (err == noErr) {
            journal.end();
            note_exchanged(a, b);
            Node nowA, nowB;
            FSRef ra, rb;
            make_ref(b, &rb);
            make_ref(a, &ra);
            if (atA.fileID && resolve(&rb, &nowB) == noErr) note_file_id(nowB, *atA.fileID);
            if (atB.fileID && resolve(&ra, &nowA) == noErr) note_file_id(nowA, *atB.fileID);
            return noErr;
        }
        if (undone) {
            (void)restat(&b);
            undone = apply_place(b, atB, "VantrelFSExchangeObjectsByNames.undo") == noErr;
        }
    }
    if (undone) {
        (void)restat(&a);
        undone = apply_place(a, atA, "VantrelFSExchangeObjectsByNames.undo") == noErr;
    }
    if (!undone) journal.keep();  // the next listing of the first folder puts each name right
    return err;
}
