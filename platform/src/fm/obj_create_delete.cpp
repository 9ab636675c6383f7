// Getting in and out of references (paths, names, IDs), creating and
// deleting objects.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fm/cat_appledir.h"
#include "fm/cat_info.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/vol_table.h"
#include "text/codec.h"
#include "vantrel/BulkDelete.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSPathMakeRef", "FSRefMakePath", "FSMakeFSRefUnicode", "PBMakeFSRefSync",
                         "FSCompareFSRefs", "FSCreateFileUnicode", "FSCreateFileUnicode.create",
                         "FSCreateFileUnicode.undo", "FSCreateDirectoryUnicode",
                         "FSCreateDirectoryUnicode.create", "FSCreateDirectoryUnicode.undo",
                         "FSDeleteObject", "FSDeleteObject.unlink", "FSDeleteObject.sidecar",
                         "FSCreateFileUnicode.sidecar", "FSCreateDirectoryUnicode.sidecar",
                         "VantrelFSDeleteLockedObject", "VantrelFSDeleteLockedObject.unlock",
                         "VantrelFSDeleteLockedObject.relock", "VantrelFSDeleteWouldRefuse",
                         "VantrelFSCompareObjectsOnDisk");

namespace vantrel::fm {
namespace {

// A file is deleted before its fork: a kill between the two would leave
// the fork an orphan, seen by every reader of the folder but the File
// Manager. Its journal names the file and the sidecar, each with its
// inode; the recovery removes the sidecar once the file is gone, and
// leaves both where the file still stands.
constexpr std::string_view kDeleteJournal = "delete";

std::string delete_payload(const std::string& name, std::uint64_t ino, const std::string& side,
                           std::uint64_t sideIno) {
    std::string out;
    commit::put_str(out, name);
    commit::put_u64(out, ino);
    commit::put_str(out, side);
    commit::put_u64(out, sideIno);
    return out;
}

bool recover_delete(int dirFd, std::string_view payload) {
    commit::Reader r{payload};
    const std::string name = r.str();
    const std::uint64_t ino = r.u64();
    const std::string side = r.str();
    const std::uint64_t sideIno = r.u64();
    std::string want;
    if (!r.ok || !rsrc::sidecar_name(name, &want) || want != side) return true;
    commit::FolderLock lock;
    if (lock.take(dirFd) != noErr) return false;
    if (rsrc::ino_at(dirFd, name) == ino || rsrc::ino_at(dirFd, side) != sideIno) return true;
    return fault::step("FSDeleteObject.sidecar", side,
                       [&] { return ::unlinkat(dirFd, side.c_str(), 0); }) == 0 ||
           errno == ENOENT;
}

[[maybe_unused]] const bool kDeleteRecovery = [] {
    commit::register_recovery(kDeleteJournal, recover_delete);
    return true;
}();

std::vector<std::string> split(std::string_view p) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < p.size()) {
        std::size_t j = p.find('/', i);
        if (j == std::string_view::npos) j = p.size();
        if (j > i) parts.emplace_back(p.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

// The child of `dir` with disk name `name`, trying the other spellings a
// Unicode name may be stored under when `units` is given.
OSErr lookup_unicode(const Node& dir, const UniChar* name, std::size_t units, Node* out) {
    std::string disk;
    if (OSErr e = name_for_lookup(name, units, &disk)) return e;
    OSErr e = lookup(dir, disk, out);
    if (e != fnfErr) return e;
    for (const std::string& alt : name_alternatives(name, units)) {
        OSErr e2 = lookup(dir, alt, out);
        if (e2 != fnfErr) return e2;
    }
    return fnfErr;
}

// A child by the "#ID" form of a shortened Pascal name.
OSErr lookup_mangled(const Node& dir, UInt32 id, Node* out) {
    DirFd fd;
    if (OSErr e = dir_fd(dir, &fd)) return e;
    int d = ::openat(fd->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return from_errno(errno, Op::OpenDir, &dir);
    std::string found;
    if (DIR* dp = ::fdopendir(d)) {
        while (struct dirent* e = ::readdir(dp)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (node_id_for(dir.vref, dir.dev(), e->d_ino, subvol_of(dir.st)) == id) {
                found = e->d_name;
                break;
            }
        }
        ::closedir(dp);
    } else {
        ::close(d);
    }
    if (found.empty()) return fnfErr;
    return lookup(dir, found, out);
}

// Removes what is left in directory `n` once every item is gone: sidecars
// whose files were deleted without them (a crash between the two steps, or
// another program). 0 when they are gone; otherwise -1 with errno set:
// ENOTEMPTY when the folder holds anything else (a directory under such a
// name included), or why a removal failed.
int remove_leftover_sidecars(const Node& n) {
    UniqueFd dfd(::openat(n.at(), n.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dfd) return -1;
    // A deletion's listing passes over private names: what a killed change
    // left here (a folder copy's private folder with its journal) is
    // finished or undone now, so that it never keeps the folder as though
    // it were a user's file.
    (void)commit::recover_folder(dfd.get());
    const int listfd = ::dup(dfd.get());
    if (listfd < 0) return -1;
    DIR* dp = ::fdopendir(listfd);
    if (dp == nullptr) {
        ::close(listfd);
        return -1;
    }
    std::vector<std::string> names;
    bool onlySidecars = true;
    bool appleDouble = false;  // Netatalk 2's folder: it goes last, if it holds no one's data
    bool empty = true;         // the recovery took all there was: the folder may go
    while (struct dirent* e = ::readdir(dp)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        empty = false;
        if (appledir::is_private_folder(dfd.get(), e->d_name, e->d_type)) {
            appleDouble = true;
            continue;
        }
        // Only real sidecars go with their folder, and the temporaries of
        // changes a crash interrupted: a user's own "._" file that does not
        // parse keeps the folder (and itself) in place.
        // A temporary of a change still running (its maker holds it) is not
        // a leftover: the folder is in use.
        const bool temporary = rsrc::is_temporary_name(e->d_name) && e->d_type == DT_REG &&
                               !commit::in_progress(dfd.get(), e->d_name);
        if (!temporary &&
            (!rsrc::is_sidecar_name(e->d_name) || e->d_type == DT_DIR ||
             !rsrc::is_sidecar_of(dfd.get(), std::string_view(e->d_name).substr(2)))) {
            onlySidecars = false;
            break;
        }
        names.emplace_back(e->d_name);
    }
    ::closedir(dp);
    if (empty) return 0;
    if (!onlySidecars || (names.empty() && !appleDouble)) {
        errno = ENOTEMPTY;
        return -1;
    }
    for (const std::string& name : names)
        if (fault::step("FSDeleteObject.sidecar", name,
                        [&] { return ::unlinkat(dfd.get(), name.c_str(), 0); }) != 0)
            return -1;
    // The folder's own entry and those of its files, all gone: an entry that
    // does not parse keeps the folder (ENOTEMPTY), as a user's "._" file does.
    return appleDouble ? appledir::remove_leftovers(dfd.get(), "FSDeleteObject.sidecar") : 0;
}

// Parent and leaf of a new object; the leaf must not exist under any
// spelling of the name.
// `op` and `sidecarStep` are the seam's names of the call and of the
// orphan's removal (written out at each caller, where a scan finds them).
OSErr prepare_create(const FSRef* parentRef, UniCharCount len, const UniChar* name, const char* op,
                     const char* sidecarStep, Node* parent, DirFd* fd, std::string* disk) {
    if (OSErr e = resolve(parentRef, parent)) return e;
    if (OSErr e = name_from_unicode(name, len, disk)) return e;
    if (OSErr e = fault::check(op, *disk)) return e;
    if (!parent->is_dir()) return dirNFErr;
    if (OSErr e = dir_fd(*parent, fd)) return e;
    Node existing;
    if (lookup_unicode(*parent, name, len, &existing) == noErr) return dupFNErr;
    // A sidecar left by a file of this name that is gone must not become
    // the new object's resource fork, nor what Netatalk 2 kept of it its
    // Finder information.
    if (OSErr e = rsrc::clear_orphan((*fd)->fd(), *disk, sidecarStep)) return e;
    appledir::remove_entries_of((*fd)->fd(), {*disk}, sidecarStep);
    return noErr;
}

}  // namespace

OSErr node_from_path(std::string_view path, Node* out) {
    if (path.empty()) return fnfErr;
    if (path.find('\0') != std::string_view::npos) return bdNamErr;
    std::string p(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::string dirPart, leaf;
    auto slash = p.find_last_of('/');
    if (slash == std::string::npos) {
        dirPart = ".";
        leaf = p;
    } else {
        dirPart = slash == 0 ? "/" : p.substr(0, slash);
        leaf = p.substr(slash + 1);
    }
    if (leaf.empty() || leaf == "." || leaf == "..") {  // the directory itself: resolve all of it
        dirPart = p;
        leaf.clear();
    }
    char canon[PATH_MAX];
    if (::realpath(dirPart.c_str(), canon) == nullptr) return from_errno(errno, Op::Lookup);
    int fd = ::open(canon, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno, Op::OpenDir);
    UniqueFd guard(fd);
    Volume v;
    if (OSErr e = volume_of_fd(fd, canon, &v)) return e;
    Node cur;
    if (OSErr e = root_node(v, &cur)) return e;
    std::string_view rest(canon);
    rest.remove_prefix(v.mountPoint == "/" ? 0 : v.mountPoint.size());
    for (const std::string& comp : split(rest)) {
        Node next;
        if (OSErr e = lookup(cur, comp, &next)) return e;
        if (!next.is_dir()) return dirNFErr;
        DirFd unused;
        if (OSErr e = dir_fd(next, &unused))
            return e;  // registers it and verifies it is still there
        cur = std::move(next);
    }
    if (leaf.empty()) {
        *out = std::move(cur);
        return noErr;
    }
    return lookup(cur, leaf, out);
}

}  // namespace vantrel::fm

using namespace vantrel;
using namespace vantrel::fm;

OSErr FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory) {
    if (path == nullptr || ref == nullptr) return paramErr;
    const char* p = reinterpret_cast<const char*>(path);
    if (OSErr e = fault::check("FSPathMakeRef", p)) return e;
    Node n;
    if (OSErr e = node_from_path(p, &n)) return e;
    make_ref(n, ref);
    if (isDirectory != nullptr) *isDirectory = n.is_dir();
    return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize) {
    if (path == nullptr || maxPathSize == 0) return paramErr;
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("FSRefMakePath", n.name)) return e;
    std::string s;
    if (OSErr e = node_path(n, &s)) return e;
    if (s.size() + 1 > maxPathSize) return errFSNameTooLong;
    std::memcpy(path, s.c_str(), s.size() + 1);
    return noErr;
}

OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding /*textEncodingHint*/, FSRef* newRef) {
    if (newRef == nullptr) return paramErr;
    Node dir;
    if (OSErr e = resolve(parentRef, &dir)) return e;
    std::string detail;
    if (OSErr e = name_for_lookup(name, nameLength, &detail)) return e;
    if (OSErr e = fault::check("FSMakeFSRefUnicode", detail)) return e;
    if (!dir.is_dir()) return dirNFErr;
    Node n;
    if (OSErr e = lookup_unicode(dir, name, nameLength, &n)) return e;
    make_ref(n, newRef);
    return noErr;
}

OSErr PBMakeFSRefUnicodeSync(FSRefParam* pb) {
    if (pb == nullptr) return paramErr;
    OSErr e =
        FSMakeFSRefUnicode(pb->ref, pb->nameLength, pb->name, pb->textEncodingHint, pb->newRef);
    pb->ioResult = e;
    return e;
}

static OSErr make_fsref(FSRefParam* pb) {
    if (pb->newRef == nullptr) return paramErr;
    std::string detail;
    if (pb->ioNamePtr != nullptr)
        detail.assign(reinterpret_cast<const char*>(pb->ioNamePtr + 1), pb->ioNamePtr[0]);
    if (OSErr e = fault::check("PBMakeFSRefSync", detail)) return e;
    Node dir;
    if (pb->ioVRefNum == 0 && pb->ioDirID == 0) {
        if (OSErr e = node_from_path(".", &dir)) return e;  // the default directory
    } else {
        FSVolumeRefNum vref = pb->ioVRefNum;
        if (vref == 0) {
            Node cwd;
            if (OSErr e = node_from_path(".", &cwd)) return e;
            vref = cwd.vref;
        }
        UInt32 id = pb->ioDirID == 0 ? UInt32(fsRtDirID) : UInt32(pb->ioDirID);
        const bool named = pb->ioNamePtr != nullptr && pb->ioNamePtr[0] != 0;
        if (id == UInt32(fsRtParID) && named) {
            // The root's parent holds one item: the root, under the
            // volume's name (an FSSpec of a volume's root says so).
            Volume v;
            if (OSErr e = volume_by_ref(vref, &v)) return e;
            unsigned char shown[sizeof(Str255)];
            name_to_pascal(volume_name(v), fsRtDirID, shown, sizeof shown);
            if (std::memcmp(shown, pb->ioNamePtr, std::size_t(shown[0]) + 1) != 0) return fnfErr;
            if (OSErr e = root_node(v, &dir)) return e;
            make_ref(dir, pb->newRef);
            return noErr;
        }
        if (OSErr e = dir_by_id(vref, id, &dir)) return e;
    }
    if (pb->ioNamePtr == nullptr || pb->ioNamePtr[0] == 0 ||
        (pb->ioNamePtr[0] == 1 && pb->ioNamePtr[1] == ':')) {
        make_ref(dir, pb->newRef);
        return noErr;
    }
    std::string disk;
    if (OSErr e = name_from_pascal(pb->ioNamePtr, &disk)) return e;
    if (!dir.is_dir()) return dirNFErr;
    Node n;
    OSErr e = lookup(dir, disk, &n);
    if (e == fnfErr) {
        // A Pascal name is composed; the disk may hold another normal form
        // (a Mac client's decomposed name): the spellings a Unicode name
        // is looked up under.
        std::string shown = disk;
        for (char& c : shown)
            if (c == ':') c = '/';
        std::u16string u;
        if (text::utf8_to_utf16(shown, &u) == noErr)
            e = lookup_unicode(dir, reinterpret_cast<const UniChar*>(u.data()), u.size(), &n);
    }
    if (e == fnfErr) {
        std::string_view shown(reinterpret_cast<const char*>(pb->ioNamePtr + 1), pb->ioNamePtr[0]);
        if (UInt32 id = mangled_id(shown)) e = lookup_mangled(dir, id, &n);
    }
    if (e != noErr) return e;
    make_ref(n, pb->newRef);
    return noErr;
}

OSErr PBMakeFSRefSync(FSRefParam* pb) {
    if (pb == nullptr) return paramErr;
    OSErr e = make_fsref(pb);
    pb->ioResult = e;
    return e;
}

namespace {

// Whether two references name one object: its device and inode (a btrfs
// subvolume has a device number of its own) and, with `sameMount`, the
// volume it was reached through too.
OSErr compare_refs(const FSRef* ref1, const FSRef* ref2, const char* op, bool sameMount) {
    if (ref1 == nullptr || ref2 == nullptr) return paramErr;
    if (OSErr e = fault::check(op)) return e;
    Node a, b;
    if (OSErr e = resolve(ref1, &a)) return e;
    if (OSErr e = resolve(ref2, &b)) return e;
    return (!sameMount || a.vref == b.vref) && a.dev() == b.dev() && a.st.stx_ino == b.st.stx_ino
               ? noErr
               : errFSRefsDifferent;
}

}  // namespace

// One object on one volume: the same file reached through two mounts (a
// read-only bind mount beside the writable one) is two references.
OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2) {
    return compare_refs(ref1, ref2, "FSCompareFSRefs", true);
}

// One object on disk, whatever mount each was reached through.
OSErr VantrelFSCompareObjectsOnDisk(const FSRef* ref1, const FSRef* ref2) {
    return compare_refs(ref1, ref2, "VantrelFSCompareObjectsOnDisk", false);
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpec* newSpec) {
    Node dir;
    DirFd fd;
    std::string disk;
    if (OSErr e = prepare_create(parentRef, nameLength, name, "FSCreateFileUnicode",
                                 "FSCreateFileUnicode.sidecar", &dir, &fd, &disk))
        return e;
    int f = fault::step("FSCreateFileUnicode.create", disk, [&] {
        return ::openat(fd->fd(), disk.c_str(),
                        O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    });
    if (f < 0) return from_errno(errno, Op::Create, &dir);
    ::close(f);
    Node n;
    if (OSErr e = lookup(dir, disk, &n)) return e;
    FSRef ref;
    make_ref(n, &ref);
    if (catalogInfo != nullptr && (whichInfo & kFSCatInfoSettableInfo)) {
        if (OSErr e = FSSetCatalogInfo(&ref, whichInfo, catalogInfo)) {
            // Nothing half-made is left behind.
            Node now;
            if (resolve(&ref, &now) == noErr && !now.locked() &&
                fault::step("FSCreateFileUnicode.undo", disk,
                            [&] { return ::unlinkat(now.at(), now.name.c_str(), 0); }) == 0)
                note_deleted(now);
            return e;
        }
    }
    if (newRef != nullptr) *newRef = ref;
    if (newSpec != nullptr) fill_catalog_info(n, 0, nullptr, nullptr, newSpec, nullptr);
    return noErr;
}

OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                               FSRef* newRef, FSSpec* newSpec, UInt32* newDirID) {
    Node dir;
    DirFd fd;
    std::string disk;
    if (OSErr e = prepare_create(parentRef, nameLength, name, "FSCreateDirectoryUnicode",
                                 "FSCreateDirectoryUnicode.sidecar", &dir, &fd, &disk))
        return e;
    if (fault::step("FSCreateDirectoryUnicode.create", disk,
                    [&] { return ::mkdirat(fd->fd(), disk.c_str(), 0777); }) != 0)
        return from_errno(errno, Op::Create, &dir);
    Node n;
    if (OSErr e = lookup(dir, disk, &n)) return e;
    FSRef ref;
    make_ref(n, &ref);
    if (catalogInfo != nullptr && (whichInfo & kFSCatInfoSettableInfo)) {
        if (OSErr e = FSSetCatalogInfo(&ref, whichInfo, catalogInfo)) {
            Node now;
            if (resolve(&ref, &now) == noErr && !now.locked() &&
                fault::step("FSCreateDirectoryUnicode.undo", disk, [&] {
                    return ::unlinkat(now.at(), now.name.c_str(), AT_REMOVEDIR);
                }) == 0)
                note_deleted(now);
            return e;
        }
    }
    if (newRef != nullptr) *newRef = ref;
    if (newSpec != nullptr) fill_catalog_info(n, 0, nullptr, nullptr, newSpec, nullptr);
    if (newDirID != nullptr) *newDirID = n.nodeID;
    return noErr;
}

OSErr FSDeleteObject(const FSRef* ref) {
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("FSDeleteObject", n.name)) return e;
    if (n.root) return fBsyErr;  // a volume's root is never deleted
    if (n.locked()) return fLckdErr;
    // The sidecar goes with its object, after it: a failure before leaves
    // both. A locked sidecar locks its fork, so the file stays too.
    // One statx says whether there is a sidecar and whether it is locked.
    std::string side;
    struct statx sst {};
    const bool hasSide =
        rsrc::sidecar_name(n.name, &side) &&
        ::statx(n.at(), side.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sst) == 0;
    if (hasSide && (sst.stx_attributes & STATX_ATTR_IMMUTABLE)) return fLckdErr;
    // Nor does a file go whose sidecar only its owner may remove (a sticky
    // folder): the fork would stay behind as an orphan.
    const bool fork = hasSide && S_ISREG(sst.stx_mode) && rsrc::is_sidecar_of(n.at(), n.name);
    if (fork) {
        if (OSErr e = rsrc::may_remove(n.at(), n.name)) return e;
    }
    commit::Journal journal;
    if (fork && !n.is_dir()) {
        if (OSErr e = journal.begin(n.at(), kDeleteJournal,
                                    delete_payload(n.name, n.st.stx_ino, side, sst.stx_ino)))
            return e;
    }
    auto unlink = [&] {
        return fault::step("FSDeleteObject.unlink", n.name, [&] {
            return ::unlinkat(n.at(), n.name.c_str(), n.is_dir() ? AT_REMOVEDIR : 0);
        });
    };
    int rc = unlink();
    // A folder whose items are gone may still hold their orphan sidecars.
    if (rc != 0 && errno == ENOTEMPTY && n.is_dir()) {
        rc = remove_leftover_sidecars(n);
        if (rc == 0) rc = unlink();
    }
    if (rc == 0 && fork) {
        // Benign: an orphan sidecar is never listed, and the next object
        // made under this name removes it first.
        fault::Benign benign;
        fault::step("FSDeleteObject.sidecar", side, [&] {
            const int r = ::unlinkat(n.at(), side.c_str(), 0);
            return r != 0 && (errno == ENOENT || errno == EISDIR) ? 0 : r;
        });
    }
    if (rc != 0) {
        const int err = errno;
        journal.abandon();
        return from_errno(err, Op::Delete, &n);  // EPERM in a locked directory: fLckdErr
    }
    // What Netatalk 2 kept of the file goes with it (a folder's own is inside it).
    if (!n.is_dir()) appledir::remove_entries_of(n.at(), {n.name}, "FSDeleteObject.sidecar");
    note_deleted(n);
    return noErr;
}

namespace {

// One object whose lock VantrelFSDeleteLockedObject takes off: held open,
// so that the lock goes back on the inode itself, whatever its names are by then.
struct HeldLock {
    UniqueFd fd;
    int flags = 0;  // as they were, the immutable bit among them
    bool off = false;

    // Opens `name` of `dirFd` when it is a locked file or folder. noErr
    // when it is not locked (nothing to hold); fLckdErr when the lock is
    // not this name's to take: the inode has another name too, anywhere,
    // which would lose its lock as well (a locked inode takes no new names,
    // so the count holds while the lock is on).
    OSErr take(int dirFd, const std::string& name, ino_t ino) {
        UniqueFd f(::openat(dirFd, name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!f) return errno == ELOOP ? OSErr(noErr) : from_errno(errno, Op::Lock);
        struct stat st {};
        if (::fstat(f.get(), &st) != 0) return from_errno(errno, Op::Lock);
        if (ino != 0 && st.st_ino != ino) return fnfErr;  // swapped since it was resolved
        int got = 0;
        if (::ioctl(f.get(), FS_IOC_GETFLAGS, &got) != 0 || (got & FS_IMMUTABLE_FL) == 0)
            return noErr;
        if (!S_ISDIR(st.st_mode) && st.st_nlink != 1) return fLckdErr;
        fd = std::move(f);
        flags = got;
        return noErr;
    }
    OSErr unlock(const std::string& name) {
        if (!fd) return noErr;
        int want = flags & ~FS_IMMUTABLE_FL;
        if (fault::step("VantrelFSDeleteLockedObject.unlock", name,
                        [&] { return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &want); }) != 0)
            return from_errno(errno, Op::Lock);  // EPERM: only a privileged caller may unlock
        off = true;
        return noErr;
    }
    // Puts the lock back when the inode still has a name: the delete failed,
    // or another name was made for it while it was unlocked.
    void relock(const std::string& name) {
        struct stat st {};
        if (!off || ::fstat(fd.get(), &st) != 0 || st.st_nlink == 0) return;
        fault::Benign benign;
        (void)fault::step("VantrelFSDeleteLockedObject.relock", name,
                          [&] { return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags); });
    }
};

}  // namespace

OSErr VantrelFSDeleteLockedObject(const FSRef* ref) {
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("VantrelFSDeleteLockedObject", n.name)) return e;
    if (n.root) return fBsyErr;
    HeldLock item, fork;
    std::string side;
    if (!n.is_link())
        if (OSErr e = item.take(n.at(), n.name, n.st.stx_ino)) return e;
    // The fork's lock is the item's too: FSDeleteObject refuses a file
    // whose sidecar is locked. A "._" file of the user's own stays, locked.
    const bool hasFork =
        !n.is_dir() && rsrc::sidecar_name(n.name, &side) && rsrc::is_sidecar_of(n.at(), n.name);
    if (hasFork)
        if (OSErr e = fork.take(n.at(), side, 0)) return e;
    OSErr e = fork.unlock(side);
    if (e == noErr) e = item.unlock(n.name);
    if (e == noErr) e = FSDeleteObject(ref);
    item.relock(n.name);
    fork.relock(side);
    return e;
}

OSErr VantrelFSDeleteWouldRefuse(const FSRef* ref) {
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("VantrelFSDeleteWouldRefuse", n.name)) return e;
    if (n.root) return fBsyErr;
    struct statx dir {};
    if (::statx(n.at(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &dir) != 0)
        return from_errno(errno, Op::Delete, &n);
    // Nobody, root included, removes an append-only item or takes an entry
    // out of an append-only folder.
    if (((n.st.stx_attributes | dir.stx_attributes) & STATX_ATTR_APPEND) != 0) return permErr;
    if (::faccessat(n.at(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return from_errno(errno, Op::Delete, &n);
    const uid_t me = ::geteuid();
    if ((dir.stx_mode & S_ISVTX) != 0 && me != 0 && n.st.stx_uid != me && dir.stx_uid != me)
        return permErr;
    // The fork goes with its file: its lock and its owner refuse the file
    // as the delete refuses it.
    std::string side;
    struct statx sst {};
    const bool hasFork =
        !n.is_dir() && rsrc::sidecar_name(n.name, &side) &&
        ::statx(n.at(), side.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sst) == 0 &&
        S_ISREG(sst.stx_mode) && rsrc::is_sidecar_of(n.at(), n.name);
    if (hasFork)
        if (OSErr e = rsrc::may_remove(n.at(), n.name)) return e;
    // A lock is taken off only by a caller who may (CAP_LINUX_IMMUTABLE,
    // root's), and only where no other name shares the inode.
    const bool forkLocked = hasFork && (sst.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
    if (!n.locked() && !forkLocked) return noErr;
    if (me != 0) return permErr;
    if (n.locked() && !n.is_dir() && !n.is_link() && n.st.stx_nlink != 1) return fLckdErr;
    if (forkLocked && sst.stx_nlink != 1) return fLckdErr;
    return noErr;
}
