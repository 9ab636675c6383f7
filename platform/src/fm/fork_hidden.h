// What a "._" entry of a folder is, for the calls that read a folder's
// entries themselves (VantrelFSGetHiddenEntries, the merge of a whole
// folder's "._" files), so that each tells an entry as the other does.
#pragma once

#include <functional>

#include "vantrel/DiskNames.h"
#include "vantrel/Sidecars.h"

namespace vantrel::fm {

// What the "._NAME" entry `entry` of the folder `dirFd` is (`*kind`), as
// VantrelFSGetHiddenEntryKind answers; fnfErr when it is gone. `type` is
// its directory entry's (DT_UNKNOWN: looked at here).
OSErr hidden_kind(int dirFd, const char* entry, unsigned char type, VantrelHiddenKind* kind);

// Each "._" entry of the folder that `dirFd` reads (a descriptor of its
// own, at its start) handed to `take` with its directory entry's type, in
// the directory's order, until `take` returns true; `*netatalk2` set where
// the reading met ".AppleDouble". Read in large batches straight from the
// descriptor: the entries' types spare a look at each before it is opened.
OSErr each_dot_entry(int dirFd, const std::function<bool(const char*, unsigned char)>& take,
                     bool* netatalk2);
// The same for every entry of the folder but "." and "..".
OSErr each_entry(int dirFd, const std::function<bool(const char*, unsigned char)>& take);

// Each entry of the folder's Netatalk 2 ".AppleDouble" handed to `visit`
// as ".AppleDouble/NAME" with what it is, until `visit` returns true
// (returned then). A name too long for a disk name is passed over.
bool visit_netatalk2_entries(
    int dirFd, const std::function<bool(const VantrelDiskName&, VantrelHiddenKind)>& visit);

}  // namespace vantrel::fm
