// The ID and place tables: which node ID an inode has, where this process
// last saw each directory (so that a directory ID maps back to a directory)
// and each object it moved, and the full names that do not fit in a
// reference. Keyed by volume (one mount) and inode, never by device alone:
// two mounts of one file system are two volumes, and a reference acts
// through its own. Hidden; used by the resolution and the descriptor cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fm/ref_idtable.h"
#include "vantrel/Files.h"

namespace vantrel::fm {

// An object as these tables know it: the volume it was reached on, and its
// device and inode (a file system mounted inside a volume without being a
// volume of its own, such as proc, keeps its own inode numbers).
struct ObjKey {
    FSVolumeRefNum vref = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    bool operator==(const ObjKey&) const = default;
};
struct ObjKeyHash {
    std::size_t operator()(const ObjKey& k) const {
        return std::hash<std::uint64_t>()((k.ino * 1000003u) ^ (k.dev << 16) ^
                                          std::uint16_t(k.vref));
    }
};

// Where an object lives, as this process last saw it or put it.
struct Place {
    UInt32 nodeID = 0;
    UInt32 parentID = 0;
    std::uint64_t stamp = 0;  // birth time in ns, 0 when unknown
    bool dir = false;
    std::string name;
};

// Registers the directory `key` (in subvolume `sub`, see subvol_of) at
// (parentID, name) and returns its node ID (item_id's).
UInt32 remember_dir(ObjKey key, std::uint64_t stamp, UInt32 parentID, std::string_view name,
                    std::uint64_t sub);

// The object that node ID `id` names on `vref` and its place, if remembered.
bool place_by_id(FSVolumeRefNum vref, UInt32 id, ObjKey* key, Place* out);
// The node ID of an item (not a volume's root) with inode `ino` of device
// `dev` in subvolume `sub` (subvol_of) on `vref`: the inode number where it
// lies in [16, 2^31) and `dev` is the volume's own device, otherwise the
// one the volume's ID table gives it (ref_idtable.h), from 2^31 up. When the
// table cannot be used, one computed from the inode number (the next free
// one if another object has it), remembered for this process only.
UInt32 item_id(FSVolumeRefNum vref, std::uint64_t dev, std::uint64_t ino, std::uint64_t sub);
// The entries of a listing of a folder on device `dev` in subvolume `sub`
// of `vref` are about to be handed out: the IDs item_id will give them
// from the volume's ID table are asked at once (ref_idtable.h's
// table_prefetch), not one by one. Only the entries with `mayAdd` set are
// given an ID they do not have yet.
void prefetch_listed_ids(FSVolumeRefNum vref, std::uint64_t dev, std::uint64_t sub,
                         std::vector<ListedIno> inos);
// The remembered place of `key`, if any.
bool place_of(ObjKey key, Place* out);
// `key` was found at (parentID, name) after its remembered place failed:
// a directory's place is corrected, any other object's forgotten.
void settle_place(ObjKey key, UInt32 parentID, std::string_view name, std::uint64_t stamp);
// Number of remembered places (bounds a walk up the table: more steps
// than places means a loop).
std::size_t place_count();

// The full names of objects whose names do not fit in their reference: the
// most recently used ones are kept, up to a bound.
void remember_long_name(ObjKey key, std::string_view name);
bool long_name(ObjKey key, std::string* out);

// Forgets everything about a volume that went away (its number may later
// name another mount).
void forget_volume_places(FSVolumeRefNum vref);

// Objects that got their ID from the last resort (the ID table unusable).
std::size_t id_exception_count();
std::size_t long_name_count();

// For tests:
// Number of directories and of moved objects the ID tables hold.
std::size_t dir_table_size();

}  // namespace vantrel::fm
