// Node IDs, remembered places and long names.
//
// Only directories (which must be found by ID) and objects renamed, moved or
// exchanged through the layer are remembered, so a walk over many files does
// not grow memory with the files it visits. An object on its volume's own
// device whose inode number lies in [16, 2^31) has that number as its ID;
// every other object gets its ID from the volume's ID table
// (ref_idtable.h), the same in every process of the user. Only when the
// table cannot be used is an ID computed from the inode number, as a last
// resort that is unique in this process only for the directories it
// remembers, from a range the table never hands out.
#include "fm/ref_places.h"

#include <list>
#include <mutex>
#include <unordered_map>

#include "fm/ref_dircache.h"
#include "fm/ref_idtable.h"
#include "fm/ref_node.h"
#include "fm/vol_table.h"

namespace vantrel::fm {
namespace {

struct VolId {
    FSVolumeRefNum vref;
    UInt32 id;
    bool operator==(const VolId&) const = default;
};
struct Hash : ObjKeyHash {
    using ObjKeyHash::operator();
    std::size_t operator()(const VolId& k) const {
        return std::hash<std::uint64_t>()((std::uint64_t(std::uint16_t(k.vref)) << 32) | k.id);
    }
};

constexpr std::size_t kLongNamesMax = 65536;

struct Tables {
    std::mutex mu;
    std::unordered_map<ObjKey, Place, Hash> places;  // directories and moved objects
    std::unordered_map<VolId, ObjKey, Hash> byId;
    // The IDs the last resort gave (the volume's ID table could not be
    // used), both ways, so that no two objects get one.
    std::unordered_map<ObjKey, UInt32, Hash> fallback;
    std::unordered_map<VolId, ObjKey, Hash> fallbackIds;
    // Long names, most recently used first.
    std::list<std::pair<ObjKey, std::string>> longLru;
    std::unordered_map<ObjKey, std::list<std::pair<ObjKey, std::string>>::iterator, Hash> longNames;
};

Tables& tables() {
    static Tables* t = new Tables;  // never destroyed: used during static teardown
    return *t;
}

bool small_ino(std::uint64_t ino) {
    return ino >= 16 && ino < 0x80000000u;
}

// A well-mixed 30-bit value of the inode number (and of the device, when it
// is not the volume's own), in the range the ID table never hands out.
UInt32 computed_id(std::uint64_t ino, std::uint64_t otherDev) {
    std::uint64_t z = ino + 0x9E3779B97F4A7C15ull + otherDev * 0xD6E8FEB86659FD93ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return kFirstFallbackID | UInt32(z & ~kFirstFallbackID);
}

// Whether `dev` is the device of volume `vref`'s root (an unknown volume:
// taken as yes). A btrfs subvolume inside the mount, or a layer of an
// overlay on a file system of its own, shows another.
bool own_device(FSVolumeRefNum vref, std::uint64_t dev) {
    dev_t vdev;
    ino_t rino;
    return !volume_root_id(vref, &vdev, &rino) || std::uint64_t(vdev) == dev;
}

// What tells the objects of one volume apart in its ID table besides the
// inode number (TableKey::sub).
std::uint64_t table_sub(std::uint64_t dev, std::uint64_t sub, bool own) {
    return sub != 0 ? sub : own ? 0 : (std::uint64_t(1) << 63) | dev;
}

// The ID the last resort gives (the table cannot be used): computed from
// the inode number, or the next free one when another object of the volume
// has that already. Remembered, so it holds for this process's lifetime;
// this costs memory per object only while the table cannot be used.
UInt32 fallback_id_locked(Tables& t, ObjKey key, bool own) {
    if (auto it = t.fallback.find(key); it != t.fallback.end()) return it->second;
    UInt32 id = computed_id(key.ino, own ? 0 : key.dev);
    for (;; id = kFirstFallbackID | (id + 1)) {
        auto [holder, fresh] = t.fallbackIds.try_emplace(VolId{key.vref, id}, key);
        if (fresh || holder->second == key) break;
    }
    t.fallback.emplace(key, id);
    return id;
}

// The ID of an item: its inode number, else the last resort's if it gave
// one already (an object keeps its ID in the process even if the table
// later has one for it), else the table's, else the last resort's.
UInt32 object_id(ObjKey key, std::uint64_t sub) {
    const bool own = own_device(key.vref, key.dev);
    if (own && small_ino(key.ino)) return UInt32(key.ino);
    Tables& t = tables();
    {
        std::lock_guard lk(t.mu);
        if (auto it = t.fallback.find(key); it != t.fallback.end()) return it->second;
    }
    if (UInt32 id = table_id(key.vref, TableKey{table_sub(key.dev, sub, own), key.ino})) return id;
    std::lock_guard lk(t.mu);
    return fallback_id_locked(t, key, own);
}

void forget_long_name(Tables& t, ObjKey key) {
    if (auto it = t.longNames.find(key); it != t.longNames.end()) {
        t.longLru.erase(it->second);
        t.longNames.erase(it);
    }
}

// Records `key` under `id` unless another remembered directory holds the ID.
void map_id(Tables& t, ObjKey key, UInt32 id) {
    auto [it, fresh] = t.byId.try_emplace(VolId{key.vref, id}, key);
    if (fresh || it->second == key) return;
    auto other = t.places.find(it->second);
    if (other == t.places.end() || !other->second.dir) it->second = key;
}

}  // namespace

UInt32 item_id(FSVolumeRefNum vref, std::uint64_t dev, std::uint64_t ino, std::uint64_t sub) {
    return object_id(ObjKey{vref, dev, ino}, sub);
}

void prefetch_listed_ids(FSVolumeRefNum vref, std::uint64_t dev, std::uint64_t sub,
                         std::vector<ListedIno> inos) {
    const bool own = own_device(vref, dev);
    if (own) std::erase_if(inos, [](const ListedIno& e) { return small_ino(e.ino); });
    if (!inos.empty()) table_prefetch(vref, table_sub(dev, sub, own), std::move(inos));
}

UInt32 node_id_for(FSVolumeRefNum vref, dev_t dev, ino_t ino, std::uint64_t sub) {
    dev_t rdev;
    ino_t rino;
    if (volume_root_id(vref, &rdev, &rino) && rdev == dev && rino == ino) return fsRtDirID;
    return item_id(vref, dev, ino, sub);
}

UInt32 remember_dir(ObjKey key, std::uint64_t stamp, UInt32 parentID, std::string_view name,
                    std::uint64_t sub) {
    Tables& t = tables();
    auto known = [&]() -> Place* {
        auto it = t.places.find(key);
        if (it == t.places.end() || !it->second.dir) return nullptr;
        Place& p = it->second;
        if (p.parentID != parentID || p.name != name || p.stamp != stamp) {
            p.parentID = parentID;
            p.name.assign(name);
            p.stamp = stamp;
        }
        return &p;
    };
    {
        std::lock_guard lk(t.mu);
        if (Place* p = known()) return p->nodeID;
    }
    // Asked with the lock not held: the table may ask the volume table,
    // which may release what is kept of a volume that went away (here).
    const UInt32 id = object_id(key, sub);
    std::lock_guard lk(t.mu);
    if (Place* p = known()) return p->nodeID;
    t.places[key] = Place{id, parentID, stamp, true, std::string(name)};
    t.byId[VolId{key.vref, id}] = key;
    return id;
}

bool place_by_id(FSVolumeRefNum vref, UInt32 id, ObjKey* key, Place* out) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    auto it = t.byId.find(VolId{vref, id});
    if (it == t.byId.end()) return false;
    auto pit = t.places.find(it->second);
    if (pit == t.places.end()) return false;
    *key = it->second;
    *out = pit->second;
    return true;
}

bool place_of(ObjKey key, Place* out) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    auto it = t.places.find(key);
    if (it == t.places.end()) return false;
    *out = it->second;
    return true;
}

void settle_place(ObjKey key, UInt32 parentID, std::string_view name, std::uint64_t stamp) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    auto it = t.places.find(key);
    if (it == t.places.end()) return;
    if (it->second.dir) {
        it->second.parentID = parentID;
        it->second.name.assign(name);
        it->second.stamp = stamp;
        return;
    }
    auto id = t.byId.find(VolId{key.vref, it->second.nodeID});
    if (id != t.byId.end() && id->second == key) t.byId.erase(id);
    t.places.erase(it);
}

std::size_t place_count() {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    return t.places.size();
}

void remember_long_name(ObjKey key, std::string_view name) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    if (auto it = t.longNames.find(key); it != t.longNames.end()) {
        it->second->second.assign(name);
        t.longLru.splice(t.longLru.begin(), t.longLru, it->second);
        return;
    }
    t.longLru.emplace_front(key, std::string(name));
    t.longNames[key] = t.longLru.begin();
    if (t.longLru.size() > kLongNamesMax) {
        t.longNames.erase(t.longLru.back().first);
        t.longLru.pop_back();
    }
}

bool long_name(ObjKey key, std::string* out) {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    auto it = t.longNames.find(key);
    if (it == t.longNames.end()) return false;
    t.longLru.splice(t.longLru.begin(), t.longLru, it->second);
    *out = it->second->second;
    return true;
}

void forget_volume_places(FSVolumeRefNum vref) {
    forget_table(vref);
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    std::erase_if(t.places, [&](const auto& e) { return e.first.vref == vref; });
    std::erase_if(t.byId, [&](const auto& e) { return e.first.vref == vref; });
    std::erase_if(t.fallback, [&](const auto& e) { return e.first.vref == vref; });
    std::erase_if(t.fallbackIds, [&](const auto& e) { return e.first.vref == vref; });
    for (auto it = t.longLru.begin(); it != t.longLru.end();) {
        if (it->first.vref == vref) {
            t.longNames.erase(it->first);
            it = t.longLru.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t id_exception_count() {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    return t.fallback.size();
}

std::size_t long_name_count() {
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    return t.longLru.size();
}

// ---------------------------------------------------------------- bookkeeping

void note_moved(const Node& n, const Node& newParent, std::string_view newName) {
    const ObjKey key{n.vref, std::uint64_t(n.dev()), n.st.stx_ino};
    {
        Tables& t = tables();
        std::lock_guard lk(t.mu);
        t.places[key] =
            Place{n.nodeID, newParent.nodeID, n.stamp(), n.is_dir(), std::string(newName)};
        map_id(t, key, n.nodeID);
        forget_long_name(t, key);
    }
    if (n.is_dir()) reparent_cached_dir(key, newParent.nodeID);
}

void note_exchanged(const Node& a, const Node& b) {
    const ObjKey ka{a.vref, std::uint64_t(a.dev()), a.st.stx_ino},
        kb{b.vref, std::uint64_t(b.dev()), b.st.stx_ino};
    Tables& t = tables();
    std::lock_guard lk(t.mu);
    t.places[ka] = Place{a.nodeID, b.parentID, a.stamp(), a.is_dir(), b.name};
    t.places[kb] = Place{b.nodeID, a.parentID, b.stamp(), b.is_dir(), a.name};
    map_id(t, ka, a.nodeID);
    map_id(t, kb, b.nodeID);
    forget_long_name(t, ka);
    forget_long_name(t, kb);
}

void note_deleted(const Node& n) {
    const ObjKey key{n.vref, std::uint64_t(n.dev()), n.st.stx_ino};
    {
        Tables& t = tables();
        std::lock_guard lk(t.mu);
        if (auto it = t.places.find(key); it != t.places.end()) {
            auto id = t.byId.find(VolId{key.vref, it->second.nodeID});
            if (id != t.byId.end() && id->second == key) t.byId.erase(id);
            t.places.erase(it);
        }
        if (auto f = t.fallback.find(key); f != t.fallback.end()) {
            t.fallbackIds.erase(VolId{key.vref, f->second});
            t.fallback.erase(f);
        }
        forget_long_name(t, key);
    }
    drop_cached_dir(key);
}

std::size_t dir_table_size() {
    return place_count();
}

}  // namespace vantrel::fm
