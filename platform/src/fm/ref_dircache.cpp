// The directory descriptor cache (least recently used first out).
#include "fm/ref_dircache.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <list>
#include <mutex>
#include <unordered_map>

#include "fm/ref_fd.h"

namespace vantrel::fm {
namespace {

// Entries kept once no iterator is open: the directory just listed stays
// for the references that are resolved next (a listing, then one call per
// item), without pinning a tree another program may delete or unmount.
constexpr std::size_t kIdleEntries = 8;
// How many of the most recent entries are looked at for a child's "..".
constexpr std::size_t kChildScan = 16;

struct Entry {
    ObjKey key;
    UInt32 nodeID;
    UInt32 parentID;
    DirFd fd;
};

struct IdKey {
    FSVolumeRefNum vref;
    UInt32 id;
    bool operator==(const IdKey&) const = default;
};
struct IdHash {
    std::size_t operator()(const IdKey& k) const {
        return std::hash<std::uint64_t>()((std::uint64_t(std::uint16_t(k.vref)) << 32) | k.id);
    }
};

struct Cache {
    std::mutex mu;
    std::list<Entry> lru;  // most recently used first
    std::unordered_map<ObjKey, std::list<Entry>::iterator, ObjKeyHash> index;
    std::unordered_map<IdKey, std::list<Entry>::iterator, IdHash> byId;
    std::size_t capacity = 0;  // from the descriptor limit, read again after each walk
    std::size_t iteratorBudget = 0;
};

Cache& cache() {
    static Cache* c = new Cache;  // never destroyed: used during static teardown
    return *c;
}

rlim_t descriptor_limit() {
    struct rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 1 << 20;
    return rl.rlim_cur;
}

// The cache may use an eighth of the descriptors the process may have (at
// most 256), open iterators a sixteenth (at most 64): with the usual limit
// of 1,024 a walk of any depth stays far below it. Their floors (16 and 8)
// would take every descriptor of a small limit: there each may have a
// quarter at most, so that at `ulimit -n 12`, where rm -rf still works,
// six are kept at most and the standard streams and the files a call opens
// have the rest.
void read_limits_locked(Cache& c) {
    const rlim_t limit = descriptor_limit();
    const std::size_t quarter = std::max<std::size_t>(limit / 4, 1);
    c.capacity = std::clamp<std::size_t>(limit / 8, std::min<std::size_t>(16, quarter), 256);
    c.iteratorBudget = std::clamp<std::size_t>(limit / 16, std::min<std::size_t>(8, quarter), 64);
}

void drop_locked(Cache& c, std::list<Entry>::iterator it) {
    c.index.erase(it->key);
    if (auto id = c.byId.find(IdKey{it->key.vref, it->nodeID});
        id != c.byId.end() && id->second == it)
        c.byId.erase(id);
    c.lru.erase(it);
}

void shrink_locked(Cache& c, std::size_t keep) {
    while (c.lru.size() > keep) drop_locked(c, std::prev(c.lru.end()));
}

}  // namespace

DirFd cached_dir(ObjKey key) {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    auto it = c.index.find(key);
    if (it == c.index.end()) return nullptr;
    c.lru.splice(c.lru.begin(), c.lru, it->second);
    return it->second->fd;
}

DirFd cached_dir_by_id(FSVolumeRefNum vref, UInt32 id) {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    auto it = c.byId.find(IdKey{vref, id});
    if (it == c.byId.end()) return nullptr;
    c.lru.splice(c.lru.begin(), c.lru, it->second);
    return it->second->fd;
}

void cache_dir(ObjKey key, UInt32 nodeID, UInt32 parentID, const DirFd& fd) {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    if (c.capacity == 0) read_limits_locked(c);
    if (auto it = c.index.find(key); it != c.index.end()) drop_locked(c, it->second);
    c.lru.push_front(Entry{key, nodeID, parentID, fd});
    c.index[key] = c.lru.begin();
    c.byId[IdKey{key.vref, nodeID}] = c.lru.begin();
    shrink_locked(c, c.capacity);
}

void drop_cached_dir(ObjKey key) {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    if (auto it = c.index.find(key); it != c.index.end()) drop_locked(c, it->second);
}

void reparent_cached_dir(ObjKey key, UInt32 parentID) {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    if (auto it = c.index.find(key); it != c.index.end()) it->second->parentID = parentID;
}

std::vector<DirFd> cached_children(FSVolumeRefNum vref, UInt32 parentID) {
    std::vector<DirFd> out;
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    std::size_t seen = 0;
    for (auto it = c.lru.begin(); it != c.lru.end() && seen < kChildScan; ++it, ++seen)
        if (it->key.vref == vref && it->parentID == parentID) out.push_back(it->fd);
    return out;
}

void trim_dir_cache() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    shrink_locked(c, kIdleEntries);
    read_limits_locked(c);
}

void release_volume_dirs(FSVolumeRefNum vref) {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    for (auto it = c.lru.begin(); it != c.lru.end();) {
        auto next = std::next(it);
        if (it->key.vref == vref) drop_locked(c, it);
        it = next;
    }
}

void release_gone_dirs() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    for (auto it = c.lru.begin(); it != c.lru.end();) {
        auto next = std::next(it);
        struct stat st;
        if (::fstat(it->fd->fd(), &st) != 0 || st.st_nlink == 0) drop_locked(c, it);
        it = next;
    }
}

std::size_t iterator_descriptor_budget() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    if (c.iteratorBudget == 0) read_limits_locked(c);
    return c.iteratorBudget;
}

std::size_t cached_dir_count() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    return c.lru.size();
}

void drop_fd_cache() {
    Cache& c = cache();
    std::lock_guard lk(c.mu);
    c.lru.clear();
    c.index.clear();
    c.byId.clear();
}

}  // namespace vantrel::fm
