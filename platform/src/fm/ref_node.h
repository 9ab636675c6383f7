// The File Manager's inner layer: how an FSRef names an object on Linux, how
// it is resolved safely, node IDs, volumes, names and the errno mapping.
// Hidden (never installed); every File Manager source of the platform builds
// on it. docs/filemanager-platform.md explains the design. Behind it, one
// concern per file: ref_codec.* (the 80 bytes and the "same object" rule),
// ref_places.* (IDs, remembered places, long names), ref_dircache.* (directory
// descriptors), ref_node.cpp (resolution with system calls), vol_table.cpp.
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

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "vantrel/Files.h"

namespace vantrel::fm {

// ---------------------------------------------------------------- descriptors

// An open directory descriptor shared between the descriptor cache and the
// nodes that use it; closed when the last user lets go.
class DirHandle {
  public:
    explicit DirHandle(int fd) : fd_(fd) {}
    ~DirHandle();
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};
using DirFd = std::shared_ptr<const DirHandle>;

// Owns one descriptor (closes it on destruction).
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// ---------------------------------------------------------------- a resolved object

// Mask asked of statx for every object: the basic fields, the birth time and
// the mount (its unique ID where the kernel has one, else its mount ID).
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif
constexpr unsigned kStatxMask =
    STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID | STATX_MNT_ID_UNIQUE;

// statx of `name` in `dirfd` (AT_EMPTY_PATH with "" for the descriptor
// itself), never following a link, asking kStatxMask.
int stat_at(int dirfd, const char* name, int flags, struct statx* st);
// The mount a statx was made on (in the ID space the volume table uses), or
// 0 when the kernel does not say (then the volume table decides).
std::uint64_t mount_of(const struct statx& st);

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
    // Birth time in nanoseconds, or 0 when the file system keeps none. Together
    // with device and inode it tells a reused inode number from the original.
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

// Node ID of an inode of volume `vref` (root -> 2). Stable: the inode number
// itself when it lies in [16, 2^31), otherwise computed from it (from 2^31
// up), the same in every process.
UInt32 node_id_for(FSVolumeRefNum vref, dev_t dev, ino_t ino);

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

// ---------------------------------------------------------------- volumes

struct Volume {
    FSVolumeRefNum vref = 0;  // negative, -1 for the first volume seen
    int mount_id = 0;         // from /proc/self/mountinfo
    std::uint64_t mnt = 0;    // the mount as statx names it (see mount_of)
    dev_t dev = 0;
    std::string mount_point;  // absolute
    std::string root;         // root of the mount within its file system ("/" mostly)
    std::string fs_type;
    std::string source;
    std::string mount_opts;  // per-mount options (rw, nosuid, ...)
    std::string super_opts;  // file-system options
    bool read_only = false;
    ino_t root_ino = 0;
};

// The mounted volumes, in mount-table order (pseudo file systems left out).
// Re-reads /proc/self/mountinfo.
std::vector<Volume> volumes();
// Re-reads the mount table now. The volume calls do this first, so they
// see mounts and unmounts at once; resolving references uses the table as
// last read (and re-reads it only for a volume it does not know). What the
// layer kept of a volume that went away is released, and cached descriptors
// of deleted directories are closed.
void refresh_volumes();
// The volume `vref`; nsvErr when it is not (or no longer) mounted.
OSErr volume_by_ref(FSVolumeRefNum vref, Volume* out);
// Device and root inode of `vref` without copying the whole record (hot
// path: every node ID needs it). False for an unknown volume.
bool volume_root_id(FSVolumeRefNum vref, dev_t* dev, ino_t* ino);
// Mount and device of `vref` (hot path: every resolution checks them).
bool volume_mount(FSVolumeRefNum vref, std::uint64_t* mnt, dev_t* dev);
// The volume mounted as `mnt` (see mount_of), or nsvErr.
OSErr volume_by_mount(std::uint64_t mnt, Volume* out);
// The volumes (as last read) whose root is inode `ino` of device `dev`.
std::vector<Volume> volumes_with_root(dev_t dev, ino_t ino);
// The volume that holds the directory `fd` (already open), or nsvErr.
OSErr volume_of_fd(int fd, const std::string& canonicalPath, Volume* out);
// The root directory descriptor of a volume (cached).
OSErr volume_root(const Volume& v, DirFd* out);
OSErr volume_root_fd(FSVolumeRefNum vref, DirFd* out);
// The volume's name as callers see it: the last component of its mount
// point, or for the root file system the last component of its source.
std::string volume_name(const Volume& v);
// A Node for the root of `v`.
OSErr root_node(const Volume& v, Node* out);
// Whether renameat2(RENAME_EXCHANGE) works on `v`: what the last exchange on
// it showed, else what its file-system type promises. Asking writes nothing.
bool exchange_works(const Volume& v);
void note_exchange_result(FSVolumeRefNum vref, bool worked);

// ---------------------------------------------------------------- errors

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

// ---------------------------------------------------------------- names

// A Unicode name (one component, UTF-16) -> the name stored on disk: UTF-8
// composed (NFC, leaving alone what HFS+ leaves alone), "/" stored as ":".
// paramErr for a null pointer with a length; bdNamErr for an empty name,
// ".", "..", a NUL, a ":" (it would have to be stored as "/"), or malformed
// UTF-16; errFSNameTooLong beyond 255 units or 255 UTF-8 bytes.
OSErr name_from_unicode(const UniChar* name, std::size_t units, std::string* disk);
// name_from_unicode for finding an existing object: a "._" name is taken
// (lookup() finds only a folder under it, never a sidecar).
OSErr name_for_lookup(const UniChar* name, std::size_t units, std::string* disk);
// The other spellings under which an existing object may be stored: the
// name as given (no normalisation) when it differs from NFC. Lookups try
// the NFC form first, then these.
std::vector<std::string> name_alternatives(const UniChar* name, std::size_t units);
// Disk name -> Unicode name for callers: HFS+ decomposition, ":" shown as
// "/". A name that is not valid UTF-8 is shown with each bad byte as U+FFFD
// (it still resolves through its FSRef, which keeps the bytes). A name whose
// decomposition exceeds 255 units is shown composed; so every disk name has
// a Unicode form.
OSErr name_to_unicode(std::string_view disk, HFSUniStr255* out);
// Pascal (Mac Roman) name of FSSpecs and parameter blocks <-> disk name.
// Pascal names longer than 31 bytes or with characters Mac Roman lacks are
// shortened as "prefix#ID" (the node ID in hex), which name_from_pascal
// resolves back through the directory.
OSErr name_from_pascal(const unsigned char* pascal, std::string* disk);
void name_to_pascal(std::string_view disk, UInt32 nodeID, unsigned char* out, std::size_t cap);
// If `pascal` has the "#ID" form made above, the ID; otherwise 0.
UInt32 mangled_id(std::string_view pascalName);

// ---------------------------------------------------------------- dates

UTCDateTime utc_from_timespec(std::int64_t sec, std::uint32_t nsec);
// Inverse; rounds the fraction up so that reading back gives the same fraction.
void timespec_from_utc(const UTCDateTime& d, std::int64_t* sec, std::uint32_t* nsec);

// ---------------------------------------------------------------- catalogue

// What a listing works out once for every item it returns, instead of
// once per item. Read-only catalogue information only: nothing that
// changes a file may trust it.
struct Listing {
    uid_t euid = 0;  // the caller's effective user when the bulk call began
    // The names whose "._NAME" the directory held when it was read for them
    // (after the iterator was opened), without the prefix; null when not
    // read. A name not in it had no sidecar then: one made since changed the
    // directory, which the iterator's changed flag reports.
    const std::unordered_set<std::string>* sidecars = nullptr;
    // The file system is one whose list of a file's attributes names every
    // attribute a read would find (local ones we know); elsewhere (FUSE, a
    // network file system) each attribute is read.
    bool fullAttrLists = false;
};

// Fills the catalogue fields `which` of `n` (and the optional name, FSSpec,
// parent reference). Shared by FSGetCatalogInfo and the iterators, which
// pass what their listing knows (`listing`, may be null).
OSErr fill_catalog_info(const Node& n, FSCatalogInfoBitmap which, FSCatalogInfo* info,
                        HFSUniStr255* name, FSSpec* spec, FSRef* parentRef,
                        const Listing* listing = nullptr);

// The creation date a file shows while it has no metadata record of its
// own: its birth time, or its modification time where the file system
// keeps no birth time.
UTCDateTime born_date(const struct statx& st);

// What FSSetCatalogInfo writes to give a file the creation date `created`,
// from the attributes it has: `record` (its metadata record's bytes, empty
// for none), `extra` (the entries kept beside it) and `dates` (the precise
// dates, `kPreciseDatesAttr`). A record that does not parse is replaced by
// a fresh one and kept aside (`corrupt`, for meta::kCorruptAttr).
extern const char* const kPreciseDatesAttr;
struct CreationAttrs {
    std::string record, extra, dates, corrupt;
};
CreationAttrs creation_date_attrs(const UTCDateTime& created, const std::string& record,
                                  const std::string& extra, const std::string& dates);

// ---------------------------------------------------------------- iterators

// Number of iterators open in the process (tests prove none leaks).
long open_iterator_count() noexcept;

// ---------------------------------------------------------------- for tests

// Drops the directory descriptor cache (tests use it to force resolution
// by name from the volume's root).
void drop_fd_cache();
// Number of directories and of moved objects the ID tables hold.
std::size_t dir_table_size();
// What the side tables hold now.
struct TableSizes {
    std::size_t places, ids, long_names, cached_fds;
};
TableSizes table_sizes();
// Behaves as on kernels whose statx does not name the mount (before 5.8):
// mounts are then told apart from the mount table.
void use_mount_table_for_mount_ids(bool on);

}  // namespace vantrel::fm
