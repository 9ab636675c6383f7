// The ID table: the node IDs of objects whose inode number cannot be their
// ID, kept per file system in a small SQLite database of the user's, so that
// every process of the user gives such an object the same ID.
//
// An inode number is an object's ID where it lies in [16, 2^31) and the
// object is on its volume's own device (ref_places.h). Elsewhere (64-bit
// inode numbers: XFS inode64, overlayfs with xino, tmpfs inode64, NFS; the
// items of a btrfs subvolume inside a mount, numbered from 256 like every
// other subvolume; a layer of an overlay on a file system of its own) two
// objects of one volume can share a number, so the ID is handed out here,
// from kFirstTableID up, once per object and remembered. The IDs from
// kFirstFallbackID up are never handed out: they are the ones a process
// makes for itself where the table cannot be used, so that such an ID never
// names what another process got from the table. Where the table lives, how
// processes share it and what happens when it cannot be written:
// docs/filemanager-platform.md, "The ID table". Hidden.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vantrel/Files.h"

namespace vantrel::fm {

// What tells the objects of one volume apart besides the inode number: the
// btrfs subvolume (statx's stx_subvol), else the device when it is not the
// volume's own (a layer of an overlay), else 0.
inline constexpr UInt32 kFirstTableID = 0x80000000u;
inline constexpr UInt32 kLastTableID = 0xBFFFFFFFu;
inline constexpr UInt32 kFirstFallbackID = 0xC0000000u;

struct TableKey {
    std::uint64_t sub = 0;
    std::uint64_t ino = 0;
};

// The ID of `key` on volume `vref`, handed out now if the object has none;
// 0 when the table cannot be used (cannot be opened or written, locked by
// another process past a short wait, or full): the caller then makes one of
// its own, from kFirstFallbackID up, unique in this process only. Once
// another process has held the table's write lock past that wait, the
// volume hands out no more IDs in this process (a stopped holder would make
// every new object wait); the IDs it has keep being found.
UInt32 table_id(FSVolumeRefNum vref, TableKey key);

// Looks up the IDs of a listing's objects at once: `inos` (of subvolume key
// `sub`, as in TableKey) go into this process's memory in one query of the
// range they span, and those of them with `mayAdd` set that have no ID yet
// get one, all in one write transaction, committed before any is handed
// out. What this cannot settle (the table unusable, busy, full) is left to
// table_id, item by item.
struct ListedIno {
    std::uint64_t ino = 0;
    bool mayAdd = false;
};
void table_prefetch(FSVolumeRefNum vref, std::uint64_t sub, std::vector<ListedIno> inos);

// The object that `id` was handed out to on `vref`, if the table has it.
bool table_key(FSVolumeRefNum vref, UInt32 id, TableKey* out);

// Closes the table of a volume that went away (its number may later name
// another mount).
void forget_table(FSVolumeRefNum vref);

// For tests: the file that holds volume `vref`'s table ("" when it has
// none open), and forgetting what this process remembers of every table,
// so that the next look-up asks the database as a new process would.
std::string table_file(FSVolumeRefNum vref);
void forget_table_cache();

}  // namespace vantrel::fm
