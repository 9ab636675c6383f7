// Disk names: this layer's own addition to the File Manager (no Mac OS
// system has these calls), for programs on Linux that print or rebuild paths.
//
// The File Manager hands names out in Unicode, canonically decomposed, with
// ":" and "/" swapped. Two names on disk can look the same that way: "café"
// stored composed (as this layer writes it) and stored decomposed (as Mac
// clients write it); and a name that is not UTF-8 (the Mac Roman or Latin-1
// bytes of an old server) shows a U+FFFD for each stray byte. A path made
// from those names may name no file, or another one. These calls hand out
// the bytes of the directory entry itself.
//
//   VantrelDiskName disk[64];
//   FSRef refs[64];
//   ItemCount n = 0;
//   OSErr err = VantrelFSGetCatalogInfoBulkDiskNames(it, 64, &n, nullptr, kFSCatInfoNone,
//                                                    nullptr, refs, nullptr, disk);
//   for (ItemCount i = 0; i < n; ++i)
//       std::fwrite(disk[i].bytes, 1, disk[i].length, stdout);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/Files.h"

VANTREL_EXTERN_C_BEGIN

// One directory entry's name as stored: `length` bytes, no terminator, no
// normalisation, ":" as stored. Length 0 means the entry's name is longer
// than 255 bytes (no file system Linux ships allows that, but some network
// and FUSE file systems can list one): VantrelFSRefGetDiskName gives it.
struct VantrelDiskName {
    UInt8 length;
    UInt8 bytes[255];
};
typedef struct VantrelDiskName VantrelDiskName;

// The bytes of the directory entry that names `ref`'s object now (after a
// rename or move through this layer, the new name); for a volume's root, the
// last component of its mount point (none for "/", length 0). The object is
// checked as every call that takes a reference checks it.
//   noErr            `*actualLength` bytes written to `name`, no terminator.
//   errFSNameTooLong `capacity` is too small: nothing written to `name`,
//                    `*actualLength` set to the length needed.
//   paramErr         `ref` or `actualLength` is null, or `name` is null with a
//                    capacity; nothing written.
//   fnfErr           no object (all zeros), or the object is gone or another
//                    took its name; errFSBadFSRef for bytes this layer never
//                    made; nsvErr when its volume is no longer mounted. Nothing
//                    written.
// Any thread; the call changes nothing.
VANTREL_EXPORT OSErr VantrelFSRefGetDiskName(const FSRef* ref, UInt8* name, ByteCount capacity,
                                             ByteCount* actualLength);

// FSGetCatalogInfoBulk without legacy records and with, for each item
// returned, its directory entry's bytes in `diskNames[i]` (as listed, as the
// names are). It draws from the same iterator, in the same order, with the
// same results and the same contract; `diskNames` may be null, and any of
// `catalogInfos`, `refs`, `names` and `diskNames` that is null is not
// computed: a listing that asks for disk names alone reads no inode at all.
// On failure, the items before it are returned as FSGetCatalogInfoBulk
// returns them. One difference: in a folder the caller may read but not
// search (mode r-- for them, as GNU ls -l lists it with "?" fields), an
// item that cannot be looked at is no failure of the listing. It is
// returned with its name, its reference (which every call on it answers
// with afpAccessDenied) and a record that says only what the directory
// entry tells: nodeID 0, which no item has, and in nodeFlags whether it is
// a folder; every other field is zero. Any thread; calls on one iterator
// take turns.
VANTREL_EXPORT OSErr VantrelFSGetCatalogInfoBulkDiskNames(
    FSIterator iterator, ItemCount maximumObjects, ItemCount* actualObjects,
    Boolean* containerChanged, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfos,
    FSRef* refs, HFSUniStr255* names, VantrelDiskName* diskNames);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
