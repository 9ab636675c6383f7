// The volume mount record of PBGetVolMountInfo / PBVolumeMount.
//
// In host byte order (it is an in-memory record, like the platform's own):
//
//   offset 0   UInt16 length   whole record, header included
//   offset 2   UInt16 version  1
//   offset 4   UInt32 media    'vtmt'
//   offset 8   UInt32 flags    mount(2) flags (MS_RDONLY, MS_NOSUID, ...)
//   offset 12  four NUL-terminated strings: source, mount point (absolute),
//              file-system type, file-system options (the data argument);
//              version 2 adds a fifth, the directory of the file system
//              that was mounted (a bind mount of part of it)
#pragma once

#include <string>

#include "fm/vol_table.h"

namespace vantrel::fm {

struct VolMountHeader {
    UInt16 length;
    UInt16 version;
    UInt32 media;
    UInt32 flags;
};
static_assert(sizeof(VolMountHeader) == 12);

inline constexpr UInt32 kVolMountMedia = 0x76746D74;  // 'vtmt'
inline constexpr UInt16 kVolMountVersion = 1;         // the whole file system
inline constexpr UInt16 kVolMountVersionPart = 2;     // a directory of it

struct MountRecord {
    std::string source, target, fsType, data;
    std::string root = "/";  // what of the file system was mounted
    unsigned long flags = 0;
};

std::string encode_mount_record(const Volume& v);
// paramErr for a null pointer or a record that is not one of ours.
OSErr decode_mount_record(const void* rec, MountRecord* out);

}  // namespace vantrel::fm
