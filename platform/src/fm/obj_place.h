// What belongs to a file's name and place rather than to its contents: the
// metadata that an exchange leaves with each name, and that a replacement
// of a file's contents gives the new inode. Hidden (never installed).
//
//   vantrel::fm::PlaceMeta place;
//   if (OSErr e = vantrel::fm::read_place(target, &place)) return e;
//   // ... a new file made, open as fd, not yet named ...
//   if (int err = vantrel::fm::give_place(fd, made, target, place, step)) ...
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fm/ref_node.h"
#include "vantrel/Files.h"

namespace vantrel::fm {

// The attributes that describe the file at its name and place (the
// metadata record with its Finder information, comment and dates, the
// precise dates, ACLs, whatever else other programs keep in the user
// namespace), its file ID, mode, owner, access time and creation date as
// callers see it. The data and resource forks, and their modification
// time, are the contents and are not part of it.
struct PlaceMeta {
    std::vector<std::pair<std::string, std::string>> attrs;
    std::optional<UInt32> fileID;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    struct statx_timestamp atime {};
    UTCDateTime created{};  // as callers see it (the record's, else the birth time)
};

// Reads what belongs to the name of the file `n`.
OSErr read_place(const Node& n, PlaceMeta* m);

// Gives the file this caller has just made, open for writing as `fd` and
// not yet named (no attribute of the File Manager's on it yet), the place
// metadata `m`: its attributes, the file ID marker (for the inode `made`
// names, of the volume of `like`), the creation date (written down where
// the new inode's birth would show another), the owner and the mode. The
// times are the caller's. Each system call is the fault seam's step
// `step`. 0 or the errno of the call that failed.
int give_place(int fd, const struct statx& made, const Node& like, const PlaceMeta& m,
               const char* step);

}  // namespace vantrel::fm
