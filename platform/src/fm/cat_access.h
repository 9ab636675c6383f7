// The access-rights word of the directory-access calls, and its mapping onto
// mode bits (hidden; white-box tests use it directly).
#pragma once

#include "vantrel/MacTypes.h"

namespace vantrel::fm {

// The three rights of one group, as they sit in each byte of the word.
inline constexpr UInt32 kAccessSearch = 0x1;  // see folders: x
inline constexpr UInt32 kAccessRead = 0x2;    // see files: r
inline constexpr UInt32 kAccessWrite = 0x4;   // make changes: w

// Owner, group and everyone's rights (bits 0-2, 8-10, 16-18) of a mode.
UInt32 access_rights_from_mode(unsigned mode);
// The rwx bits (0777) for the three groups of a word; every other bit of the
// word is ignored.
unsigned mode_from_access_rights(UInt32 rights);

}  // namespace vantrel::fm
