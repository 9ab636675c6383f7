// FSRef encoding and resolution, node IDs, the directory table and the
// directory descriptor cache.
//
// An FSRef carries, inline, everything needed to find its object again from
// its parent directory with one statx: volume, device, inode, birth stamp,
// node ID, parent ID and the leaf name (names longer than fit are kept in a
// side table, with a directory scan by inode as the fall-back). Only
// directories (which must be found by ID) and objects renamed or moved
// through the layer are remembered process-wide, so a walk over many files
// does not grow memory with the files it visits.
#include "fm/node.h"

#include <dirent.h>
#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <mutex>
#include <unordered_map>

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
    if (!(st.stx_mask & STATX_BTIME)) return 0;
    return std::uint64_t(st.stx_btime.tv_sec) * 1'000'000'000ull + st.stx_btime.tv_nsec;
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

// The 80 bytes of an FSRef made by this layer.
struct RefBytes {
    std::uint32_t magic;
    std::int16_t vref;
    std::uint8_t flags;
    std::uint8_t nameLen;  // bytes of `name` used (a prefix when kLongName)
    std::uint32_t nodeID;
    std::uint32_t parentID;
    std::uint64_t dev;
    std::uint64_t ino;
    std::uint64_t stamp;
    char name[40];
};
static_assert(sizeof(RefBytes) == sizeof(FSRef), "an FSRef is 80 bytes");

constexpr std::uint32_t kMagic = 0x566E5266;  // "VnRf"
enum : std::uint8_t { kDir = 1, kRoot = 2, kLongName = 4 };

struct DevIno {
    std::uint64_t dev, ino;
    bool operator==(const DevIno&) const = default;
};
struct VolId {
    FSVolumeRefNum vref;
    UInt32 id;
    bool operator==(const VolId&) const = default;
};
struct Hash {
    std::size_t operator()(const DevIno& k) const {
        return std::hash<std::uint64_t>()(k.ino * 1000003u ^ k.dev);
    }
    std::size_t operator()(const VolId& k) const {
        return std::hash<std::uint64_t>()((std::uint64_t(std::uint16_t(k.vref)) << 32) | k.id);
    }
};

// Where an object lives, as this process last saw or made it.
struct Place {
    FSVolumeRefNum vref;
    UInt32 nodeID;
    UInt32 parentID;
    std::uint64_t stamp;
    bool dir;
    std::string name;
};

constexpr std::size_t kFdCacheMax = 256;
constexpr std::size_t kLongNamesMax = 65536;

struct Tables {
    std::mutex mu;
    std::unordered_map<DevIno, Place, Hash> places;  // directories and moved objects
    std::unordered_map<VolId, DevIno, Hash> byId;
    std::unordered_map<DevIno, UInt32, Hash> assigned;  // IDs for inodes outside [16, 2^31)
    UInt32 nextAssigned = 0x80000000u;
    std::unordered_map<DevIno, std::string, Hash> longNames;
    // Directory descriptors, most recently used first.
    std::list<std::pair<DevIno, DirFd>> lru;
    std::unordered_map<DevIno, std::list<std::pair<DevIno, DirFd>>::iterator, Hash> fds;
};

Tables& tables() {
    static Tables* t = new Tables;  // never destroyed: used during static teardown
    return *t;
}

DirFd cache_get(Tables& t, DevIno k) {
    auto it = t.fds.find(k);
    if (it == t.fds.end()) return nullptr;
    t.lru.splice(t.lru.begin(), t.lru, it->second);
    return it->second->second;
}

void cache_put(Tables& t, DevIno k, DirFd fd) {
    if (auto it = t.fds.find(k); it != t.fds.end()) {
        it->second->second = std::move(fd);
        t.lru.splice(t.lru.begin(), t.lru, it->second);
        return;
    }
    t.lru.emplace_front(k, std::move(fd));
    t.fds[k] = t.lru.begin();
    if (t.lru.size() > kFdCacheMax) {
        t.fds.erase(t.lru.back().first);
        t.lru.pop_back();
    }
}

void cache_drop(Tables& t, DevIno k) {
    if (auto it = t.fds.find(k); it != t.fds.end()) {
        t.lru.erase(it->second);
        t.fds.erase(it);
    }
}

DevIno key_of(const Node& n) {
    return {std::uint64_t(n.dev()), n.st.stx_ino};
}

int do_statx(int dirfd, const char* name, int flags, struct statx* st) {
    return ::statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT, kStatxMask,
                   st);
}

// Records (or refreshes) the place of a directory so its ID maps back.
void remember_dir(Tables& t, const Node& n) {
    if (n.root || !n.is_dir()) return;
    DevIno k = key_of(n);
    auto it = t.places.find(k);
    if (it != t.places.end() && it->second.vref == n.vref && it->second.parentID == n.parentID &&
        it->second.name == n.name)
        return;
    t.places[k] = Place{n.vref, n.nodeID, n.parentID, n.stamp(), true, n.name};
    t.byId[VolId{n.vref, n.nodeID}] = k;
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

OSErr dir_fd_by_id(FSVolumeRefNum vref, UInt32 id, DirFd* out, int depth = 0);

}  // namespace

// ---------------------------------------------------------------- IDs

UInt32 node_id_for(FSVolumeRefNum vref, dev_t dev, ino_t ino) {
    dev_t rdev;
    ino_t rino;
    if (volume_root_id(vref, &rdev, &rino) && rdev == dev && rino == ino) return fsRtDirID;
    if (ino >= 16 && ino < 0x80000000u) return UInt32(ino);
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    DevIno k{std::uint64_t(dev), std::uint64_t(ino)};
    auto it = t.assigned.find(k);
    if (it != t.assigned.end()) return it->second;
    UInt32 id = t.nextAssigned++;
    if (t.nextAssigned == 0)
        t.nextAssigned = 0x80000000u;  // wrapped after 2^31 IDs: reuse from the top
    t.assigned.emplace(k, id);
    return id;
}

// ---------------------------------------------------------------- refs

void make_ref(const Node& n, FSRef* out) {
    RefBytes r{};
    r.magic = kMagic;
    r.vref = n.vref;
    r.flags = (n.is_dir() ? kDir : 0) | (n.root ? kRoot : 0);
    r.nodeID = n.nodeID;
    r.parentID = n.parentID;
    r.dev = n.dev();
    r.ino = n.st.stx_ino;
    r.stamp = n.stamp();
    Tables& t = tables();
    if (!n.root) {
        std::size_t len = n.name.size();
        if (len > sizeof r.name) {
            r.flags |= kLongName;
            len = sizeof r.name;
            std::lock_guard lk(t.mu);
            if (t.longNames.size() >= kLongNamesMax)
                t.longNames.clear();  // the scan fall-back still finds them
            t.longNames[DevIno{r.dev, r.ino}] = n.name;
        }
        std::memcpy(r.name, n.name.data(), len);
        r.nameLen = std::uint8_t(len);
    }
    if (n.is_dir() && !n.root) {
        std::lock_guard lk(t.mu);
        remember_dir(t, n);
    }
    std::memcpy(out, &r, sizeof r);
}

void make_listed_ref(const Node& dir, std::string_view name, ino_t ino, bool isDir, FSRef* out) {
    RefBytes r{};
    r.magic = kMagic;
    r.vref = dir.vref;
    r.flags = isDir ? kDir : 0;
    r.nodeID = node_id_for(dir.vref, dir.dev(), ino);
    r.parentID = dir.nodeID;
    r.dev = dir.dev();
    r.ino = ino;
    r.stamp = 0;
    std::size_t len = name.size();
    if (len > sizeof r.name) {
        r.flags |= kLongName;
        len = sizeof r.name;
        Tables& t = tables();
        std::lock_guard lk(t.mu);
        if (t.longNames.size() >= kLongNamesMax) t.longNames.clear();
        t.longNames[DevIno{r.dev, r.ino}] = std::string(name);
    }
    std::memcpy(r.name, name.data(), len);
    r.nameLen = std::uint8_t(len);
    std::memcpy(out, &r, sizeof r);
}

void child_node(const Node& dir, const DirFd& dirfd, std::string_view name, const struct statx& st,
                Node* out) {
    out->parent = dirfd;
    out->name.assign(name);
    out->st = st;
    out->parentID = dir.nodeID;
    out->root = false;
    out->vref = dir.vref;
    dev_t dev = makedev(st.stx_dev_major, st.stx_dev_minor);
    if (dev != dir.dev()) {
        // A mount point: the object is the root of another volume.
        for (const Volume& v : volumes()) {
            if (v.dev == dev && v.root_ino == st.stx_ino) {
                Node r;
                if (root_node(v, &r) == noErr) {
                    *out = std::move(r);
                    return;
                }
            }
        }
    }
    out->nodeID = node_id_for(out->vref, dev, st.stx_ino);
    if (out->is_dir()) {
        Tables& t = tables();
        std::lock_guard lk(t.mu);
        remember_dir(t, dir);
    }
}

OSErr restat(Node* n) {
    struct statx st;
    if (do_statx(n->at(), n->root ? "" : n->name.c_str(), n->root ? AT_EMPTY_PATH : 0, &st) != 0)
        return from_errno(errno, Op::Lookup, n);
    n->st = st;
    return noErr;
}

OSErr dir_fd(const Node& dir, DirFd* out) {
    if (!dir.is_dir()) return dirNFErr;
    if (dir.root) {
        *out = dir.parent;
        return noErr;
    }
    Tables& t = tables();
    DevIno k = key_of(dir);
    {
        std::lock_guard lk(t.mu);
        remember_dir(t, dir);
        if (DirFd fd = cache_get(t, k)) {
            *out = std::move(fd);
            return noErr;
        }
    }
    int fd = ::openat(dir.at(), dir.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOTDIR || errno == ELOOP ? OSErr(fnfErr)
                                                  : from_errno(errno, Op::Lookup, &dir);
    auto h = std::make_shared<const DirHandle>(fd);
    struct statx st;
    if (do_statx(fd, "", AT_EMPTY_PATH, &st) != 0) return from_errno(errno, Op::Lookup, &dir);
    if (st.stx_ino != dir.st.stx_ino || makedev(st.stx_dev_major, st.stx_dev_minor) != dir.dev())
        return fnfErr;  // the name now belongs to another directory
    std::lock_guard lk(t.mu);
    cache_put(t, k, h);
    *out = std::move(h);
    return noErr;
}

void cache_dir_fd(const Node& dir, const DirFd& fd) {
    if (dir.root || !dir.is_dir()) return;
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    remember_dir(t, dir);
    cache_put(t, key_of(dir), fd);
}

namespace {

OSErr dir_fd_by_id(FSVolumeRefNum vref, UInt32 id, DirFd* out, int depth) {
    if (depth > 4096) return dirNFErr;  // a loop in the table: never trust it
    if (id == fsRtDirID) {
        Volume v;
        if (OSErr e = volume_by_ref(vref, &v)) return e;
        return volume_root(v, out);
    }
    Tables& t = tables();
    DevIno k;
    Place p;
    {
        std::lock_guard lk(t.mu);
        auto it = t.byId.find(VolId{vref, id});
        if (it == t.byId.end()) return dirNFErr;
        k = it->second;
        if (DirFd fd = cache_get(t, k)) {
            *out = std::move(fd);
            return noErr;
        }
        auto pit = t.places.find(k);
        if (pit == t.places.end()) return dirNFErr;
        p = pit->second;
    }
    DirFd parent;
    if (OSErr e = dir_fd_by_id(vref, p.parentID, &parent, depth + 1)) return e;
    int fd = ::openat(parent->fd(), p.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP
                   ? OSErr(dirNFErr)
                   : from_errno(errno, Op::Lookup);
    auto h = std::make_shared<const DirHandle>(fd);
    struct statx st;
    if (do_statx(fd, "", AT_EMPTY_PATH, &st) != 0) return from_errno(errno, Op::Lookup);
    Node tmp;
    tmp.st = st;
    if (st.stx_ino != k.ino || std::uint64_t(tmp.dev()) != k.dev ||
        (p.stamp && tmp.stamp() != p.stamp))
        return dirNFErr;
    std::lock_guard lk(t.mu);
    cache_put(t, k, h);
    *out = std::move(h);
    return noErr;
}

}  // namespace

OSErr dir_by_id(FSVolumeRefNum vref, UInt32 dirID, Node* out) {
    Volume v;
    if (OSErr e = volume_by_ref(vref, &v)) return e;
    if (dirID == fsRtDirID) return root_node(v, out);
    Node n;
    if (OSErr e = node_by_id(vref, dirID, &n)) return e == fnfErr ? OSErr(dirNFErr) : e;
    if (!n.is_dir()) return dirNFErr;
    *out = std::move(n);
    return noErr;
}

OSErr node_by_id(FSVolumeRefNum vref, UInt32 nodeID, Node* out) {
    Volume v;
    if (OSErr e = volume_by_ref(vref, &v)) return e;
    if (nodeID == fsRtDirID) return root_node(v, out);
    Tables& t = tables();
    DevIno k;
    Place p;
    {
        std::lock_guard lk(t.mu);
        auto it = t.byId.find(VolId{vref, nodeID});
        if (it == t.byId.end()) return fnfErr;
        k = it->second;
        auto pit = t.places.find(k);
        if (pit == t.places.end()) return fnfErr;
        p = pit->second;
    }
    DirFd parent;
    if (OSErr e = dir_fd_by_id(vref, p.parentID, &parent)) return e == dirNFErr ? OSErr(fnfErr) : e;
    struct statx st;
    if (do_statx(parent->fd(), p.name.c_str(), 0, &st) != 0)
        return errno == ENOENT ? OSErr(fnfErr) : from_errno(errno, Op::Lookup);
    Node n;
    n.parent = parent;
    n.name = p.name;
    n.st = st;
    n.vref = vref;
    n.nodeID = nodeID;
    n.parentID = p.parentID;
    if (st.stx_ino != k.ino || std::uint64_t(n.dev()) != k.dev ||
        (p.stamp && n.stamp() && n.stamp() != p.stamp))
        return fnfErr;
    *out = std::move(n);
    return noErr;
}

OSErr resolve(const FSRef* ref, Node* out) {
    if (ref == nullptr || out == nullptr) return paramErr;
    RefBytes r;
    std::memcpy(&r, ref, sizeof r);
    if (r.magic != kMagic) {
        static const FSRef zero{};
        return std::memcmp(ref, &zero, sizeof zero) == 0 ? fnfErr : errFSBadFSRef;
    }
    if (r.nameLen > sizeof r.name || (r.flags & ~(kDir | kRoot | kLongName)) != 0)
        return errFSBadFSRef;
    if (r.flags & kRoot) {
        Volume v;
        if (OSErr e = volume_by_ref(r.vref, &v)) return e;
        Node n;
        if (OSErr e = root_node(v, &n)) return e;
        if (n.st.stx_ino != r.ino || std::uint64_t(n.dev()) != r.dev) return fnfErr;
        *out = std::move(n);
        return noErr;
    }
    dev_t vdev;
    ino_t vino;
    if (!volume_root_id(r.vref, &vdev, &vino)) return nsvErr;
    DevIno k{r.dev, r.ino};
    // Candidate places, most trusted first: where this process last moved or
    // saw the object, then the place recorded in the reference itself. The
    // remembered place can be stale (the object was moved or deleted by
    // another program, or a new object got the same inode number), so each
    // candidate must verify by device, inode and birth stamp before it counts.
    struct Candidate {
        UInt32 parentID;
        std::string name;
        bool longName;
        bool remembered;
    };
    Candidate cands[2];
    int ncand = 0;
    Tables& t = tables();
    {
        std::lock_guard lk(t.mu);
        auto it = t.places.find(k);
        if (it != t.places.end() && it->second.vref == r.vref &&
            it->second.dir == ((r.flags & kDir) != 0) &&
            (it->second.stamp == 0 || r.stamp == 0 || it->second.stamp == r.stamp)) {
            cands[ncand++] = Candidate{it->second.parentID, it->second.name, false, true};
        }
        Candidate own{r.parentID, std::string(r.name, r.nameLen), (r.flags & kLongName) != 0, false};
        if (own.longName) {
            if (auto lt = t.longNames.find(k); lt != t.longNames.end()) {
                own.name = lt->second;
                own.longName = false;
            }
        }
        if (ncand == 0 || own.parentID != cands[0].parentID || own.name != cands[0].name || own.longName)
            cands[ncand++] = std::move(own);
    }
    OSErr first = fnfErr;
    for (int i = 0; i < ncand; ++i) {
        Candidate& c = cands[i];
        Node n;
        OSErr e = noErr;
        DirFd parent;
        if ((e = dir_fd_by_id(r.vref, c.parentID, &parent)) != noErr) {
            if (e == dirNFErr) e = fnfErr;
        } else {
            std::string name = std::move(c.name);
            if (c.longName) name = scan_for_inode(parent->fd(), r.ino, name);
            struct statx st;
            if (name.empty()) {
                e = fnfErr;
            } else if (do_statx(parent->fd(), name.c_str(), 0, &st) != 0) {
                e = (errno == ENOENT || errno == ENOTDIR) ? OSErr(fnfErr) : from_errno(errno, Op::Lookup);
            } else {
                n.parent = std::move(parent);
                n.name = std::move(name);
                n.st = st;
                n.vref = r.vref;
                n.nodeID = r.nodeID;
                n.parentID = c.parentID;
                if (st.stx_ino != r.ino || std::uint64_t(n.dev()) != r.dev)
                    e = fnfErr;
                else if (r.stamp != 0 && n.stamp() != 0 && n.stamp() != r.stamp)
                    e = fnfErr;  // inode number reused
            }
        }
        if (e == noErr) {
            if (!c.remembered && i > 0) {
                // The remembered place was stale: forget it so that later
                // resolutions (and ID lookups) use the verified one.
                std::lock_guard lk(t.mu);
                auto it = t.places.find(k);
                if (it != t.places.end()) {
                    if (it->second.dir) {
                        it->second.parentID = n.parentID;
                        it->second.name = n.name;
                        it->second.stamp = n.stamp();
                    } else {
                        t.places.erase(it);
                    }
                }
            }
            *out = std::move(n);
            return noErr;
        }
        if (i == 0) first = e;
    }
    return first;
}

OSErr lookup(const Node& dir, std::string_view name, Node* out) {
    if (!dir.is_dir()) return dirNFErr;
    DirFd fd;
    if (OSErr e = dir_fd(dir, &fd)) return e;
    std::string nm(name);
    struct statx st;
    if (do_statx(fd->fd(), nm.c_str(), 0, &st) != 0) {
        if (errno == ENOENT) return fnfErr;
        return from_errno(errno, Op::Lookup, &dir);
    }
    child_node(dir, fd, nm, st, out);
    return noErr;
}

// ---------------------------------------------------------------- bookkeeping

void note_moved(const Node& n, const Node& newParent, std::string_view newName) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    DevIno k = key_of(n);
    t.places[k] =
        Place{n.vref, n.nodeID, newParent.nodeID, n.stamp(), n.is_dir(), std::string(newName)};
    t.byId[VolId{n.vref, n.nodeID}] = k;
    t.longNames.erase(k);
}

void note_exchanged(const Node& a, const Node& b) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    DevIno ka = key_of(a), kb = key_of(b);
    t.places[ka] = Place{a.vref, a.nodeID, b.parentID, a.stamp(), a.is_dir(), b.name};
    t.places[kb] = Place{b.vref, b.nodeID, a.parentID, b.stamp(), b.is_dir(), a.name};
    t.byId[VolId{a.vref, a.nodeID}] = ka;
    t.byId[VolId{b.vref, b.nodeID}] = kb;
    t.longNames.erase(ka);
    t.longNames.erase(kb);
}

void note_deleted(const Node& n) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    DevIno k = key_of(n);
    if (auto it = t.places.find(k); it != t.places.end()) {
        auto id = t.byId.find(VolId{it->second.vref, it->second.nodeID});
        if (id != t.byId.end() && id->second == k) t.byId.erase(id);
        t.places.erase(it);
    }
    t.assigned.erase(k);
    t.longNames.erase(k);
    cache_drop(t, k);
}

OSErr node_path(const Node& n, std::string* out) {
    // The kernel knows the current path of an open directory, whatever was
    // renamed since; only the leaf name comes from us.
    char buf[PATH_MAX + 1];
    std::string link = "/proc/self/fd/" + std::to_string(n.at());
    ssize_t len = ::readlink(link.c_str(), buf, PATH_MAX);
    if (len < 0) return from_errno(errno, Op::Lookup);
    std::string p(buf, std::size_t(len));
    if (p.ends_with(" (deleted)") || p.empty() || p[0] != '/') return fnfErr;
    if (!n.root) {
        if (p != "/") p += '/';
        p += n.name;
    }
    *out = std::move(p);
    return noErr;
}

void drop_fd_cache() {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    t.fds.clear();
    t.lru.clear();
}

std::size_t dir_table_size() {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    return t.places.size();
}

}  // namespace vantrel::fm
