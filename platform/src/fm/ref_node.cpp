// Resolution: from an FSRef, a directory ID or a name to a Node, with system
// calls relative to directory descriptors of the reference's own mount.
//
// An FSRef carries, inline, everything needed to find its object again from
// its parent directory with one statx (ref_codec.h). The parent is found by
// its ID: from the descriptor cache, else through the ".." of a cached child
// (a walk climbing back up), else opened by name from the nearest cached
// ancestor down, each step checked. Nothing here recurses per directory
// level or holds a descriptor per level.
#include "fm/ref_node.h"

#include <dirent.h>
#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/ref_codec.h"
#include "fm/ref_dircache.h"
#include "fm/ref_fd.h"
#include "fm/ref_places.h"
#include "fm/vol_table.h"
#include "vantrel/fault.h"

namespace vantrel::fm {

DirHandle::~DirHandle() {
    if (fd_ >= 0) ::close(fd_);
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.release();
    }
    return *this;
}

std::uint64_t Node::stamp() const {
    return (st.stx_mask & STATX_BTIME) && volume_birth_lasts(vref) ? birth_stamp(st) : 0;
}

std::string Node::proc_path() const {
    std::string p = "/proc/self/fd/" + std::to_string(at());
    if (!root) {
        p += '/';
        p += name;
    }
    return p;
}

namespace {

std::atomic<bool> g_mountTable{false};

// Whether an object found under a directory of volume (mnt, dev) belongs to
// that mount. Where the kernel names the object's mount, a directory on
// another mount is the root of another volume, never an item of this one,
// whatever the volume table holds: nothing reached through this volume may
// empty or change it. A file bind-mounted over a file is an item still (the
// kernel refuses to unlink or rename it).
bool on_mount(const struct statx& st, std::uint64_t mnt, dev_t dev) {
    const std::uint64_t m = mount_of(st);
    if (m == 0 || m == mnt) return true;
    return !S_ISDIR(st.stx_mode) && makedev(st.stx_dev_major, st.stx_dev_minor) != dev;
}

// A digest of the file handle of `name` in `dirfd` (the link itself, never
// followed), or 0 when the file system gives none. The handle names the
// inode with its generation, which the file system changes whenever it
// hands the inode number out again (what NFS servers rely on).
std::uint64_t handle_at(int dirfd, const char* name) {
    union {
        struct file_handle fh;
        unsigned char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
    } buf;
    buf.fh.handle_bytes = MAX_HANDLE_SZ;
    int mountId;
    if (::name_to_handle_at(dirfd, name, &buf.fh, &mountId, *name ? 0 : AT_EMPTY_PATH) != 0)
        return 0;
    return handle_digest(buf.fh.handle_type, buf.fh.f_handle, buf.fh.handle_bytes);
}

// Whether `name` in `dirfd` is the very inode a reference recorded the
// handle of (references made where the file system keeps no birth time).
bool handle_fits(const RefFields& r, int dirfd, const std::string& name) {
    return !r.handle || handle_at(dirfd, name.c_str()) == r.stamp;
}

// Where the file system keeps no birth time, the handle tells a reused
// inode number from the original: recorded in place of the birth.
void record_handle(const struct statx& st, int dirfd, const std::string& name, RefFields* f) {
    if (st.stx_mask & STATX_BTIME) return;
    if (const std::uint64_t d = handle_at(dirfd, name.c_str())) {
        f->handle = true;
        f->listed = false;
        f->stamp = d;
    }
}

ObjKey key_of(const Node& n) {
    return ObjKey{n.vref, std::uint64_t(n.dev()), n.st.stx_ino};
}

// Opens `name` in `dirfd` as a directory and checks that it is `want`, on
// the volume (mnt, dev). dirNFErr when it is not there or is another object.
OSErr open_dir_checked(int dirfd, const char* name, std::uint64_t mnt, dev_t dev,
                       const Identity& want, DirFd* out) {
    int fd = ::openat(dirfd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return from_errno(errno, Op::OpenDir);
    auto h = std::make_shared<const DirHandle>(fd);
    struct statx st;
    if (stat_at(fd, "", AT_EMPTY_PATH, &st) != 0) return from_errno(errno, Op::Lookup);
    if (!same_object(want, st) || !on_mount(st, mnt, dev)) return dirNFErr;
    *out = std::move(h);
    return noErr;
}

// Directory `id` of `vref`, found again without recursion: see the top of
// this file. dirNFErr when it is unknown or no longer where it was.
OSErr dir_fd_by_id(FSVolumeRefNum vref, UInt32 id, DirFd* out) {
    if (id == fsRtDirID) return volume_root_fd(vref, out);
    if ((*out = cached_dir_by_id(vref, id))) return noErr;
    std::uint64_t mnt;
    dev_t dev;
    if (!volume_mount(vref, &mnt, &dev)) return nsvErr;
    ObjKey key;
    Place p;
    if (!place_by_id(vref, id, &key, &p)) return dirNFErr;
    if ((*out = cached_dir(key))) return noErr;
    const Identity want{key.dev, key.ino, p.stamp, false};
    for (const DirFd& child : cached_children(vref, id)) {
        if (open_dir_checked(child->fd(), "..", mnt, dev, want, out) == noErr) {
            cache_dir(key, p.nodeID, p.parentID, *out);
            return noErr;
        }
    }
    // Up the table to a cached ancestor or the root; more steps than there
    // are places means the table holds a loop.
    std::vector<std::pair<ObjKey, Place>> chain{{key, p}};
    const std::size_t limit = place_count() + 1;
    DirFd base;
    for (;;) {
        const UInt32 up = chain.back().second.parentID;
        if (up == fsRtDirID) {
            if (OSErr e = volume_root_fd(vref, &base)) return e;
            break;
        }
        if (chain.size() > limit) return dirNFErr;
        ObjKey upKey;
        Place upPlace;
        if (!place_by_id(vref, up, &upKey, &upPlace)) return dirNFErr;
        if ((base = cached_dir(upKey))) break;
        chain.emplace_back(upKey, std::move(upPlace));
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        DirFd next;
        const Identity w{it->first.dev, it->first.ino, it->second.stamp, false};
        if (OSErr e = open_dir_checked(base->fd(), it->second.name.c_str(), mnt, dev, w, &next))
            return e;
        cache_dir(it->first, it->second.nodeID, it->second.parentID, next);
        base = std::move(next);
    }
    *out = std::move(base);
    return noErr;
}

// Finds a child of `dirfd` by inode (long names that fell out of the side
// table). Returns the name, or empty.
std::string scan_for_inode(int dirfd, std::uint64_t ino, std::string_view prefix) {
    int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string found;
    if (DIR* d = ::fdopendir(fd)) {
        while (struct dirent* e = ::readdir(d)) {
            if (e->d_ino == ino && std::string_view(e->d_name).starts_with(prefix)) {
                found = e->d_name;
                break;
            }
        }
        ::closedir(d);
    } else {
        ::close(fd);
    }
    return found;
}

// A place where the object of a reference may be.
struct Candidate {
    UInt32 parentID = 0;
    std::string name;
    bool remembered = false;  // from the place table, not from the reference
    bool scan = false;        // only the first bytes of a long name are known
};

// Most trusted first: where this process last moved or saw the object, then
// the place the reference records. A remembered place can be stale (moved or
// deleted by another program, or its inode number reused), so each must
// still show the same object before it counts.
int candidates(const RefFields& r, Candidate (&out)[2]) {
    int n = 0;
    const ObjKey key{r.vref, r.dev, r.ino};
    Place p;
    if (place_of(key, &p) && p.dir == r.dir && birth_fits(identity_of(r), p.stamp))
        out[n++] = Candidate{p.parentID, std::move(p.name), true, false};
    Candidate own{r.parentID, r.name, false, r.longName};
    if (own.scan && long_name(key, &own.name)) own.scan = false;
    if (n == 0 || own.scan || own.parentID != out[0].parentID || own.name != out[0].name)
        out[n++] = std::move(own);
    return n;
}

// The node a reference resolved to: the object `st` describes, named `name`
// in the candidate place's directory `parent`.
void found_at(const RefFields& r, std::uint64_t mnt, const Candidate& c, DirFd parent,
              std::string name, const struct statx& st, Node* out) {
    out->parent = std::move(parent);
    out->name = std::move(name);
    out->st = st;
    out->vref = r.vref;
    out->mnt = mnt;
    out->nodeID = r.nodeID;
    out->parentID = c.parentID;
    out->root = false;
}

OSErr try_candidate(const RefFields& r, std::uint64_t mnt, dev_t dev, const Candidate& c,
                    Node* out) {
    DirFd parent;
    if (OSErr e = dir_fd_by_id(r.vref, c.parentID, &parent))
        return e == dirNFErr ? OSErr(fnfErr) : e;
    std::string name = c.scan ? scan_for_inode(parent->fd(), r.ino, c.name) : c.name;
    if (name.empty()) return fnfErr;
    struct statx st;
    if (stat_at(parent->fd(), name.c_str(), 0, &st) != 0) return from_errno(errno, Op::Resolve);
    if (!same_object(identity_of(r), st) || !on_mount(st, mnt, dev) ||
        !handle_fits(r, parent->fd(), name))
        return fnfErr;
    if (c.scan) remember_long_name(ObjKey{r.vref, r.dev, r.ino}, name);
    found_at(r, mnt, c, std::move(parent), std::move(name), st, out);
    return noErr;
}

OSErr resolve_root(const RefFields& r, Node* out) {
    Volume v;
    if (OSErr e = volume_by_ref(r.vref, &v)) return e;
    Node n;
    if (OSErr e = root_node(v, &n)) return e;
    if (!same_object(identity_of(r), n.st)) return fnfErr;  // another mount got the number
    *out = std::move(n);
    return noErr;
}

// The mount of a child that statx did not name: another volume's root when
// the mount table has one mounted exactly there, else the directory's own.
std::uint64_t mount_from_table(const Node& dir, int dirfd, std::string_view name,
                               const struct statx& st) {
    const dev_t dev = makedev(st.stx_dev_major, st.stx_dev_minor);
    if (!S_ISDIR(st.stx_mode)) return dir.mnt;
    std::vector<Volume> roots = volumes_with_root(dev, st.stx_ino);
    if (roots.empty()) return dir.mnt;
    char buf[PATH_MAX + 1];
    ssize_t len = ::readlink(("/proc/self/fd/" + std::to_string(dirfd)).c_str(), buf, PATH_MAX);
    std::string path = len > 0 ? std::string(buf, std::size_t(len)) : std::string();
    if (path != "/") path += '/';
    path += name;
    // Another device is another mount, but for a btrfs subvolume: it has a
    // device of its own inside its file system's mount (and the same one
    // where it is also mounted by itself).
    for (const Volume& v : roots)
        if (v.mountPoint == path || (dev != dir.dev() && v.fsType != "btrfs")) return v.mnt;
    return dir.mnt;
}

}  // namespace

int stat_at(int dirfd, const char* name, int flags, struct statx* st) {
    return ::statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT, kStatxMask,
                   st);
}

std::uint64_t mount_of(const struct statx& st) {
    if (!(st.stx_mask & (STATX_MNT_ID | STATX_MNT_ID_UNIQUE)) ||
        g_mountTable.load(std::memory_order_relaxed))
        return 0;
    return st.stx_mnt_id;
}

std::uint64_t subvol_of(const struct statx& st) {
    if (!(st.stx_mask & STATX_SUBVOL)) return 0;
    // The field sits where older headers keep spare space.
    std::uint64_t sub;
    static_assert(sizeof(struct statx) >= 0xA8, "statx has room for stx_subvol");
    std::memcpy(&sub, reinterpret_cast<const unsigned char*>(&st) + 0xA0, sizeof sub);
    return sub;
}

void use_mount_table_for_mount_ids(bool on) {
    g_mountTable.store(on);
}

// ---------------------------------------------------------------- refs

void make_ref(const Node& n, FSRef* out) {
    RefFields f;
    f.vref = n.vref;
    f.dir = n.is_dir();
    f.root = n.root;
    f.nodeID = n.nodeID;
    f.parentID = n.parentID;
    f.dev = n.dev();
    f.ino = n.st.stx_ino;
    f.stamp = n.stamp();
    if (!n.root) {
        const ObjKey key = key_of(n);
        f.name = n.name;
        if (f.name.size() > kInlineNameBytes) {
            f.longName = true;
            f.name.resize(kInlineNameBytes);
            remember_long_name(key, n.name);
        }
        if (f.dir) remember_dir(key, f.stamp, n.parentID, n.name, subvol_of(n.st));
        record_handle(n.st, n.at(), n.name, &f);
    }
    encode_ref(f, out);
}

void make_listed_ref(const Node& dir, std::string_view name, ino_t ino, std::uint64_t listedAt,
                     FSRef* out) {
    RefFields f;
    f.vref = dir.vref;
    f.dev = dir.dev();
    f.ino = ino;
    // A file is in its folder's subvolume (only a folder can begin another).
    f.nodeID = item_id(dir.vref, f.dev, ino, subvol_of(dir.st));
    f.parentID = dir.nodeID;
    // Bounded by the listing where births last; where they do not (an
    // overlay's copy-up), device and inode decide.
    f.stamp = volume_birth_lasts(dir.vref) ? listedAt : 0;
    f.listed = f.stamp != 0;
    f.name.assign(name.substr(0, kInlineNameBytes));
    if (name.size() > kInlineNameBytes) {
        f.longName = true;
        remember_long_name(ObjKey{dir.vref, f.dev, ino}, name);
    }
    // No birth time to bound the listing by: the handle, taken now (a name
    // that another inode took between the listing and now shows that
    // inode's number, which the reference does not have).
    DirFd fd;
    if (!(dir.st.stx_mask & STATX_BTIME) && dir_fd(dir, &fd) == noErr)
        record_handle(dir.st, fd->fd(), std::string(name), &f);
    encode_ref(f, out);
}

void child_node(const Node& dir, const DirFd& dirfd, std::string_view name, const struct statx& st,
                Node* out) {
    std::uint64_t mnt = mount_of(st);
    if (mnt == 0) mnt = mount_from_table(dir, dirfd->fd(), name, st);
    if (mnt != dir.mnt) {
        // A mount point: the object is the root of another volume (a file
        // system that is no volume stays an item of this directory).
        Volume v;
        Node r;
        if (volume_by_mount(mnt, &v) == noErr && root_node(v, &r) == noErr &&
            r.st.stx_ino == st.stx_ino) {
            *out = std::move(r);
            return;
        }
    }
    out->parent = dirfd;
    out->name.assign(name);
    out->st = st;
    out->parentID = dir.nodeID;
    out->root = false;
    out->vref = dir.vref;
    out->mnt = dir.mnt;
    const ObjKey key{dir.vref, std::uint64_t(out->dev()), st.stx_ino};
    out->nodeID = S_ISDIR(st.stx_mode)
                      ? remember_dir(key, out->stamp(), dir.nodeID, name, subvol_of(st))
                      : item_id(key.vref, key.dev, key.ino, subvol_of(st));
}

OSErr resolve(const FSRef* ref, Node* out) {
    if (ref == nullptr || out == nullptr) return paramErr;
    RefFields r;
    if (OSErr e = decode_ref(*ref, &r)) return e;
    if (r.root) return resolve_root(r, out);
    std::uint64_t mnt;
    dev_t dev;
    if (!volume_mount(r.vref, &mnt, &dev)) return nsvErr;
    Candidate cands[2];
    const int n = candidates(r, cands);
    OSErr first = fnfErr;
    for (int i = 0; i < n; ++i) {
        OSErr e = try_candidate(r, mnt, dev, cands[i], out);
        if (e == noErr) {
            // The remembered place was stale: later resolutions (and ID
            // lookups) use the verified one.
            if (i > 0) settle_place(key_of(*out), out->parentID, out->name, out->stamp());
            return noErr;
        }
        if (i == 0) first = e;
    }
    return first;
}

DirOpen open_dir_ref(const FSRef* ref, const char* op, Node* out, DirFd* fd, OSErr* err) {
    RefFields r;
    if (ref == nullptr || decode_ref(*ref, &r) != noErr || !r.dir || r.root)
        return DirOpen::Unsettled;
    std::uint64_t mnt;
    dev_t dev;
    Candidate cands[2];
    if (!volume_mount(r.vref, &mnt, &dev) || candidates(r, cands) == 0 || cands[0].scan)
        return DirOpen::Unsettled;
    const Candidate& c = cands[0];
    DirFd parent;
    if (dir_fd_by_id(r.vref, c.parentID, &parent) != noErr) return DirOpen::Unsettled;
    if ((*err = fault::check(op, c.name)) != noErr) return DirOpen::Failed;
    int f = ::openat(parent->fd(), c.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (f < 0) return DirOpen::UnsettledChecked;
    auto h = std::make_shared<const DirHandle>(f);
    struct statx st;
    if (stat_at(f, "", AT_EMPTY_PATH, &st) != 0 || !same_object(identity_of(r), st) ||
        !on_mount(st, mnt, dev) || !handle_fits(r, parent->fd(), c.name))
        return DirOpen::UnsettledChecked;
    found_at(r, mnt, c, std::move(parent), c.name, st, out);
    *fd = std::move(h);
    return DirOpen::Opened;
}

OSErr restat(Node* n) {
    struct statx st;
    if (stat_at(n->at(), n->root ? "" : n->name.c_str(), n->root ? AT_EMPTY_PATH : 0, &st) != 0)
        return from_errno(errno, Op::Lookup, n);
    n->st = st;
    return noErr;
}

OSErr dir_fd(const Node& dir, DirFd* out) {
    if (!dir.is_dir()) return dirNFErr;
    if (dir.root) {
        if (dir.parent) {
            *out = dir.parent;
            return noErr;
        }
        return volume_root_fd(dir.vref, out);
    }
    const ObjKey key = key_of(dir);
    remember_dir(key, dir.stamp(), dir.parentID, dir.name, subvol_of(dir.st));
    if ((*out = cached_dir(key))) return noErr;
    if (!dir.parent) return dir_fd_by_id(dir.vref, dir.nodeID, out);
    dev_t vdev = dir.dev();
    std::uint64_t vmnt = dir.mnt;
    volume_mount(dir.vref, &vmnt, &vdev);
    DirFd h;
    const Identity want{key.dev, key.ino, dir.stamp(), false};
    if (OSErr e = open_dir_checked(dir.at(), dir.name.c_str(), vmnt, vdev, want, &h))
        return e == dirNFErr ? OSErr(fnfErr) : e;  // the name now belongs to another directory
    cache_dir(key, dir.nodeID, dir.parentID, h);
    *out = std::move(h);
    return noErr;
}

void cache_dir_fd(const Node& dir, const DirFd& fd) {
    if (dir.root || !dir.is_dir()) return;
    const ObjKey key = key_of(dir);
    remember_dir(key, dir.stamp(), dir.parentID, dir.name, subvol_of(dir.st));
    cache_dir(key, dir.nodeID, dir.parentID, fd);
}

OSErr node_by_id(FSVolumeRefNum vref, UInt32 nodeID, Node* out) {
    std::uint64_t mnt;
    dev_t dev;
    if (!volume_mount(vref, &mnt, &dev)) return nsvErr;
    if (nodeID == fsRtDirID) {
        Volume v;
        if (OSErr e = volume_by_ref(vref, &v)) return e;
        return root_node(v, out);
    }
    ObjKey key;
    Place p;
    if (!place_by_id(vref, nodeID, &key, &p)) return fnfErr;
    DirFd parent;
    if (OSErr e = dir_fd_by_id(vref, p.parentID, &parent)) return e == dirNFErr ? OSErr(fnfErr) : e;
    struct statx st;
    if (stat_at(parent->fd(), p.name.c_str(), 0, &st) != 0) return from_errno(errno, Op::Resolve);
    if (!same_object(Identity{key.dev, key.ino, p.stamp, false}, st) || !on_mount(st, mnt, dev))
        return fnfErr;
    Node n;
    n.parent = std::move(parent);
    n.name = std::move(p.name);
    n.st = st;
    n.vref = vref;
    n.mnt = mnt;
    n.nodeID = nodeID;
    n.parentID = p.parentID;
    *out = std::move(n);
    return noErr;
}

OSErr dir_by_id(FSVolumeRefNum vref, UInt32 dirID, Node* out) {
    Node n;
    if (OSErr e = node_by_id(vref, dirID, &n)) return e == fnfErr ? OSErr(dirNFErr) : e;
    if (!n.is_dir()) return dirNFErr;
    *out = std::move(n);
    return noErr;
}

OSErr lookup(const Node& dir, std::string_view name, Node* out) {
    if (!dir.is_dir()) return dirNFErr;
    DirFd fd;
    if (OSErr e = dir_fd(dir, &fd)) return e;
    std::string nm(name);
    struct statx st;
    if (stat_at(fd->fd(), nm.c_str(), 0, &st) != 0) return from_errno(errno, Op::Lookup, &dir);
    // "._NAME" is a resource fork, never an item; but a sidecar is a file:
    // a folder under such a name (made by someone on the server) is one.
    if (rsrc::is_sidecar_name(name) && !S_ISDIR(st.stx_mode)) return fnfErr;
    child_node(dir, fd, nm, st, out);
    return noErr;
}

bool lies_within(const Node& dir, const Node& obj) {
    if (dir.vref != obj.vref) return false;
    auto isObj = [&](const struct statx& st) {
        return st.stx_ino == obj.st.stx_ino &&
               makedev(st.stx_dev_major, st.stx_dev_minor) == obj.dev();
    };
    if (isObj(dir.st)) return true;
    if (dir.root) return false;
    dev_t rootDev;
    ino_t rootIno;
    DirFd start;
    if (!volume_root_id(dir.vref, &rootDev, &rootIno) || dir_fd(dir, &start) != noErr)
        return false;  // the rename itself still refuses a loop
    // Up through "..", one descriptor at a time, to the volume's root.
    UniqueFd cur(::openat(start->fd(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    while (cur) {
        UniqueFd up(::openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct statx st;
        if (!up || stat_at(up.get(), "", AT_EMPTY_PATH, &st) != 0) return false;
        if (isObj(st)) return true;
        const bool top =
            st.stx_ino == rootIno && makedev(st.stx_dev_major, st.stx_dev_minor) == rootDev;
        if (top || (mount_of(st) != 0 && mount_of(st) != dir.mnt)) return false;
        struct statx here;
        if (stat_at(cur.get(), "", AT_EMPTY_PATH, &here) != 0 || here.stx_ino == st.stx_ino)
            return false;  // the top of the file system
        cur = std::move(up);
    }
    return false;
}

OSErr node_path(const Node& n, std::string* out) {
    // The kernel knows the current path of an open directory, whatever was
    // renamed since; only the leaf name comes from us.
    char buf[PATH_MAX + 1];
    std::string link = "/proc/self/fd/" + std::to_string(n.at());
    ssize_t len = ::readlink(link.c_str(), buf, PATH_MAX);
    if (len < 0) return from_errno(errno, Op::Lookup);
    std::string p(buf, std::size_t(len));
    // A deleted directory has no links left (its path then ends in
    // " (deleted)", which a live directory's name may too).
    struct stat st;
    if (p.empty() || p[0] != '/' || ::fstat(n.at(), &st) != 0 || st.st_nlink == 0) return fnfErr;
    if (!n.root) {
        if (p != "/") p += '/';
        p += n.name;
    }
    *out = std::move(p);
    return noErr;
}

TableSizes table_sizes() {
    return TableSizes{place_count(), id_exception_count(), long_name_count(), cached_dir_count()};
}

}  // namespace vantrel::fm
