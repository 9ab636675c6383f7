// References and their resolution: how an FSRef names an object on Linux,
// how it is found again safely, and the Node every operation works on.
// Hidden (never installed); docs/filemanager-platform.md explains the design
// and maps every file of the File Manager. ref_node.cpp resolves with system
// calls; beside this header, one concern each: ref_fd.h (descriptors),
// ref_codec.h (the 80 bytes and the "same object" rule), ref_places.h (IDs,
// remembered places, long names), ref_dircache.h (directory descriptors),
// ref_names.h (names), vol_table.h (volumes), err_errno.h (the errno table).
//
// Typical use inside an operation:
//
//   OSErr FSDeleteObject(const FSRef* ref) {
//       vantrel::fm::Node n;
//       if (OSErr e = vantrel::fm::resolve(ref, &n)) return e;
//       if (OSErr e = vantrel::fault::check("FSDeleteObject", n.name)) return e;
//       if (::unlinkat(n.at(), n.name.c_str(), n.is_dir() ? AT_REMOVEDIR : 0) != 0)
//           return vantrel::fm::from_errno(errno, vantrel::fm::Op::Delete, &n);
//       vantrel::fm::note_deleted(n);
//       return noErr;
//   }
//
// Rules every operation follows:
//  - Work relative to the descriptors a Node carries (`*at` calls with the
//    leaf name), never through a path string: a path can be swapped for a
//    symbolic link between two calls, a descriptor cannot. The descriptor
//    belongs to the mount the reference was made on, so a read-only mount of
//    the same file system stays read-only.
//  - Never follow a symbolic link in a name: AT_SYMLINK_NOFOLLOW, O_NOFOLLOW,
//    and O_DIRECTORY for anything that must be a directory.
//  - After a rename, move, exchange or delete done through the layer, call
//    note_moved / note_exchanged / note_deleted so that every copy of an
//    existing FSRef keeps naming the object (or reports fnfErr).
//  - Names coming in go through name_from_unicode (or name_from_pascal), so
//    that "/", ".", "..", NUL and over-long names are refused in one place.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fm/ref_fd.h"
#include "vantrel/Files.h"

namespace vantrel::fm {

// Mask asked of statx for every object: the basic fields, the birth time,
// the mount (its unique ID where the kernel has one, else its mount ID) and
// the subvolume (btrfs, bcachefs; Linux 6.10).
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif
#ifndef STATX_SUBVOL
#define STATX_SUBVOL 0x00008000U
#endif
constexpr unsigned kStatxMask =
    STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID | STATX_MNT_ID_UNIQUE | STATX_SUBVOL;

// statx of `name` in `dirfd` (AT_EMPTY_PATH with "" for the descriptor
// itself), never following a link, asking kStatxMask.
int stat_at(int dirfd, const char* name, int flags, struct statx* st);
// The mount a statx was made on (in the ID space the volume table uses), or
// 0 when the kernel does not say (then the volume table decides).
std::uint64_t mount_of(const struct statx& st);
// The subvolume a statx names (btrfs, bcachefs), or 0 where the kernel names
// none: what, besides the inode number, tells apart the objects of one
// mount that has several subvolumes (ref_idtable.h).
std::uint64_t subvol_of(const struct statx& st);

struct Node {
    DirFd parent;        // directory that holds the object (for a volume root: the root itself)
    std::string name;    // leaf name on disk (UTF-8); "." for a volume root
    struct statx st {};  // the object's statx (never of a link's target)
    FSVolumeRefNum vref = 0;
    std::uint64_t mnt = 0;  // the mount it was reached through (its volume's)
    UInt32 nodeID = 0;      // 2 for a volume root
    UInt32 parentID = 0;    // 1 for a volume root
    bool root = false;

    int at() const { return parent ? parent->fd() : -1; }  // first argument of *at calls
    bool is_dir() const { return S_ISDIR(st.stx_mode); }
    bool is_link() const { return S_ISLNK(st.stx_mode); }
    bool locked() const { return (st.stx_attributes & STATX_ATTR_IMMUTABLE) != 0; }
    dev_t dev() const { return makedev(st.stx_dev_major, st.stx_dev_minor); }
    // Birth time in nanoseconds, or 0 when the file system keeps none, or
    // none that lasts (overlayfs: a copy-up gives the object a new one).
    // Together with device and inode it tells a reused inode number from
    // the original.
    std::uint64_t stamp() const;
    // "/proc/self/fd/N/name": a path for the calls that have no *at form
    // (lgetxattr and friends). It goes through the parent's descriptor, so it
    // cannot be redirected by a link in an ancestor; the leaf is never followed
    // as long as the caller uses the l* variant.
    std::string proc_path() const;
};

// Resolves `ref` to the object it names, through the mount it was made on.
// paramErr for a null pointer; fnfErr for an all-zero reference, for an
// object that is gone, or when another object now has its name (device,
// inode and birth are checked: ref_codec.h's same_object); errFSBadFSRef for
// bytes that are not a reference made by this layer; nsvErr when its volume
// is no longer mounted. The fault seam is the caller's business.
OSErr resolve(const FSRef* ref, Node* out);

// Resolves a reference to a directory (not a volume's root) by opening it
// for reading through its parent's descriptor: one open and one statx of the
// descriptor, where resolve() and an open would take a statx more. The fault
// seam's check for `op` (detail: the leaf name) runs before the open, as it
// runs before an operation acts. Opened: `out` and `fd` are filled. Failed:
// the check failed with `*err`. Unsettled (another candidate place, a file,
// no right to read...): resolve() must say what it is; UnsettledChecked when
// the check has already run for this call.
enum class DirOpen { Opened, Failed, Unsettled, UnsettledChecked };
DirOpen open_dir_ref(const FSRef* ref, const char* op, Node* out, DirFd* fd, OSErr* err);

// The object `name` (a disk name, one component) inside directory `dir`.
// fnfErr when there is none; dirNFErr when `dir` is not a directory.
OSErr lookup(const Node& dir, std::string_view name, Node* out);

// An O_PATH descriptor of the directory `dir`: from the cache, else opened
// from its parent's descriptor, else found again by its ID.
OSErr dir_fd(const Node& dir, DirFd* out);

// Offers an already open descriptor of directory `dir` to the cache, so that
// resolving its items needs no open (an iterator's descriptor, for example;
// cache users only make *at calls, so a shared file offset is harmless).
void cache_dir_fd(const Node& dir, const DirFd& fd);

// Directory ID -> directory. fsRtDirID (2) is the volume's root; dirNFErr for
// an ID this process has not seen (or whose directory has gone), nsvErr for
// an unknown volume.
OSErr dir_by_id(FSVolumeRefNum vref, UInt32 dirID, Node* out);

// Node ID -> object: directories, and files that were renamed, moved or
// exchanged through the layer in this process. fnfErr otherwise.
OSErr node_by_id(FSVolumeRefNum vref, UInt32 nodeID, Node* out);

// True when directory `dir` is `obj` or lies below it, following ".." on
// disk (so a loop or an unknown ancestor cannot mislead it), at any depth.
bool lies_within(const Node& dir, const Node& obj);

// Makes the FSRef that names `n` (registering it so that its ID can be
// mapped back when it is a directory).
void make_ref(const Node& n, FSRef* out);

// Fills a Node for the child `name` of directory `dir` from a statx already
// made (iterators use it to avoid a second stat). A child on another mount
// (a mount point) is that volume's root.
void child_node(const Node& dir, const DirFd& dirfd, std::string_view name, const struct statx& st,
                Node* out);

// An FSRef for the file `name` of directory `dir` from what a directory
// listing tells (inode number), with no stat: used for plain listings that
// ask for references only. `listedAt` is the time (CLOCK_REALTIME, ns) the
// entry was read: the reference never names an object born after it.
void make_listed_ref(const Node& dir, std::string_view name, ino_t ino, std::uint64_t listedAt,
                     FSRef* out);

// Node ID of an inode of volume `vref` (root -> 2) in subvolume `sub`
// (subvol_of). Stable: the inode number itself when it lies in [16, 2^31)
// and `dev` is the volume's device, otherwise the volume's ID table's (from
// 2^31 up), the same in every process of the user (ref_places.h, item_id).
UInt32 node_id_for(FSVolumeRefNum vref, dev_t dev, ino_t ino, std::uint64_t sub);

// Bookkeeping after changes made through the layer.
//  - note_moved: `n` now lives in `newParent` under `newName`.
//  - note_exchanged: the names of `a` and `b` were swapped (renameat2 with
//    RENAME_EXCHANGE): each object now has the other's place.
//  - note_deleted: `n` is gone; its ID is forgotten and its descriptor
//    dropped from the cache.
void note_moved(const Node& n, const Node& newParent, std::string_view newName);
void note_exchanged(const Node& a, const Node& b);
void note_deleted(const Node& n);

// Absolute path of `n`: the kernel's current path of its parent's descriptor
// and the leaf name; for messages and FSRefMakePath. fnfErr when the parent
// has been deleted; errFSNameTooLong beyond PATH_MAX.
OSErr node_path(const Node& n, std::string* out);

// The object at a UTF-8 path (absolute or relative to the working
// directory). Links in the directories leading to it are followed; the
// last component is not (a link there is the object named). Every
// directory from the volume's root down is registered, so its ID maps back.
OSErr node_from_path(std::string_view path, Node* out);

// Re-reads the statx of `n` in place (after a change).
OSErr restat(Node* n);

// ---------------------------------------------------------------- for tests

// What the side tables hold now.
struct TableSizes {
    std::size_t places, ids, longNames, cachedFds;
};
TableSizes table_sizes();
// Behaves as on kernels whose statx does not name the mount (before 5.8):
// mounts are then told apart from the mount table.
void use_mount_table_for_mount_ids(bool on);

}  // namespace vantrel::fm
