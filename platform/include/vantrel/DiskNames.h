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

// The next items of `iterator` as a walk that goes by names needs them: for
// each item returned, its reference (when `refs` is given), its directory
// entry's bytes (when `diskNames` is given) and whether it is a folder, as
// its directory entry tells (`isFolder[i]`). Where a file system's entries
// carry the objects' own inode numbers and types (ext2/3/4, xfs, btrfs,
// tmpfs, f2fs), no file's inode is read: a walk that only needs the folders
// below it and the names beside them pays one read of the directory, not
// one look at each item. Folders are looked at, as every listing looks at
// them. The items, their order and the results are
// VantrelFSGetCatalogInfoBulkDiskNames's with kFSCatInfoNone; in a folder the
// caller may read but not search, an item that cannot be looked at is
// returned all the same, as there.
//   paramErr     a null `actualObjects` or `isFolder`.
// Any thread; calls on one iterator take turns.
VANTREL_EXPORT OSErr VantrelFSGetEntriesBulk(FSIterator iterator, ItemCount maximumObjects,
                                             ItemCount* actualObjects, Boolean* containerChanged,
                                             FSRef* refs, VantrelDiskName* diskNames,
                                             Boolean* isFolder);

// The normal forms of names, as HFS+ normalises them: the ranges it never
// decomposes (U+2000 to U+2FFF, U+F900 to U+FAFF, U+2F800 to U+2FAFF: the
// OHM SIGN U+2126, the ANGSTROM SIGN U+212B, the CJK compatibility
// ideographs) stay as they are in both forms, since composing them would make
// them other characters, and a Mac client would no longer find the name it
// wrote.
typedef UInt32 VantrelNormalForm;
enum {
    kVantrelNormalFormComposed = 1,   // NFC (what Linux programs and Samba's catia expect)
    kVantrelNormalFormDecomposed = 2  // NFD (what HFS+ and Netatalk store)
};

// `name` (a disk name, as VantrelDiskName holds it) in the normal form
// `form`, into `*out` (which may be `name` itself). ":" stays as stored.
//   noErr            `*out` set (the same bytes when `name` is in that form).
//   paramErr         a null argument, or `form` is no normal form.
//   bdNamErr         `name` is empty or not UTF-8: it has no normal form.
//   errFSNameTooLong the name in that form is longer than 255 bytes (a
//                    decomposition grows: "é" is 2 bytes composed, 3
//                    decomposed); `*out` unchanged.
// Any thread; the call touches no file.
VANTREL_EXPORT OSErr VantrelFSNormalizeDiskName(const VantrelDiskName* name, VantrelNormalForm form,
                                                VantrelDiskName* out);

// Renames `ref`'s object, in its folder, to exactly the bytes of `name` (no
// normalisation; ":" as stored), its resource fork's sidecar following it as
// FSRenameUnicode's does, whole: should the sidecar fail to follow, the
// object takes its old name back, and a kill between the two is finished by
// the next listing of the folder. FSRenameUnicode stores every name composed
// and takes another form of an object's own name for that name, so this is
// the call that changes the form a name is stored in (a migration between
// servers whose clients expect composed or decomposed names). The object
// keeps its node ID, and every reference to it names it.
//   noErr            renamed (a name it has already: nothing changed);
//                    `*newRef`, when given, names the object.
//   paramErr         a null `ref` or `name`.
//   bdNamErr         `name` is empty, ".", "..", holds a "/" or a NUL, or
//                    begins with "._" (a sidecar's name).
//   errFSNameTooLong the object has a fork in a sidecar and `name` leaves no
//                    room for the "._" before it (more than 253 bytes).
//   dupFNErr         another object has `name`, or another form of it
//                    (composed, decomposed): nothing changed.
//   wPrErr           `ref` is a volume's root (its name is its mount point's).
//   others           as FSRenameUnicode gives them, nothing changed.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSRenameExact(const FSRef* ref, const VantrelDiskName* name,
                                          FSRef* newRef);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
