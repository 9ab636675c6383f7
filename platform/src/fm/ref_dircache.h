// The directory descriptor cache: open descriptors of directories in use, so
// that resolving an item of a directory needs one statx and no open. Keyed by
// volume (one mount) and inode: a descriptor opened through a read-only bind
// mount is never handed to a reference made on the writable mount, nor the
// other way round.
//
// Bounded three ways: at most a few hundred entries while iterators are open
// (fewer when the descriptor limit is low), a handful once the last iterator
// is closed, and nothing of a volume that went away or of a directory that
// was deleted (see release_gone_dirs). Hidden; used by the resolution and the
// iterators.
#pragma once

#include <cstddef>
#include <vector>

#include "fm/ref_fd.h"
#include "fm/ref_places.h"

namespace vantrel::fm {

// The cached descriptor of `key` (now the most recently used), or null.
DirFd cached_dir(ObjKey key);
// The cached descriptor of directory `id` of `vref`, or null: the usual way
// a reference's parent is found, with no table lookup before it.
DirFd cached_dir_by_id(FSVolumeRefNum vref, UInt32 id);
// Caches `fd` for `key`, the directory `nodeID` whose parent has ID `parentID`.
void cache_dir(ObjKey key, UInt32 nodeID, UInt32 parentID, const DirFd& fd);
void drop_cached_dir(ObjKey key);
// A cached directory was moved under another parent.
void reparent_cached_dir(ObjKey key, UInt32 parentID);
// Descriptors of recently used directories whose parent is `parentID`: their
// ".." reopens the parent in one step (a walk climbing back up).
std::vector<DirFd> cached_children(FSVolumeRefNum vref, UInt32 parentID);

// The last iterator was closed: keep only the few most recent entries.
void trim_dir_cache();
// Drops every entry of volume `vref` (it was unmounted).
void release_volume_dirs(FSVolumeRefNum vref);
// Drops entries whose directory has been deleted (by any program), so that
// its storage is freed.
void release_gone_dirs();

// How many iterators may hold a descriptor at once; the others give theirs
// up and reopen when used again (from the descriptor limit).
std::size_t iterator_descriptor_budget();

std::size_t cached_dir_count();

// Drops the directory descriptor cache: tests use it to force resolution
// by name from the volume's root, and an undo that ran out of descriptors
// to have the cache's back.
void drop_fd_cache();

}  // namespace vantrel::fm
