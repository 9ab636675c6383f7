// Emptying a folder as rm -rf does: this layer's own addition to the File
// Manager (no Mac OS system has this call), for the deletion walks of
// FSDeleteContainer and programs that empty folders on Linux.
//
// FSDeleteObject on a reference from a listing checks that the name still
// holds the item listed (a stat) and looks for its resource-fork sidecar
// "._NAME" (a second stat, a directory search that finds nothing for most
// files), then unlinks it: three system calls where rm -rf makes one. Inside
// a folder that is being emptied, whatever holds a listed name is to go, so
// this call deletes by name straight from the listing, and leaves to the
// caller only what needs more care.
//
//   FSIterator it;
//   OSErr err = FSOpenIterator(&folder, kFSIterateDelete, &it);
//   FSRef item;
//   ItemCount n = 0;
//   while (err == noErr && (err = VantrelFSBulkDeleteFiles(it, 1, &n, &item)) == noErr)
//       err = FSDeleteObject(&item);  // a folder: empty it first, and so on
//   FSCloseIterator(it);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"

VANTREL_EXTERN_C_BEGIN

// Takes items from `iterator` (opened with kFSIterateDelete) in the order
// FSGetCatalogInfoBulk would return them. Each item the directory's entry
// shows to be no directory (a file, link, FIFO, socket or device node), with
// no "._NAME" in the directory when it was first read whole, is unlinked by
// name and not returned. Whatever holds the name then goes, as with rm -rf:
// a link is unlinked, never followed. The others are returned as
// FSGetCatalogInfoBulk returns references with kFSCatInfoNone, at most
// `maximumObjects` of them, for the caller to delete with FSDeleteObject:
// directories, entries of unknown type, items with a "._NAME" beside them,
// and every item whose unlink failed (a mount point, a locked item, another
// user's item in a sticky folder, no right to change the folder, an I/O
// error), so that each refusal and failure is answered as FSDeleteObject
// answers it.
// A resource-fork sidecar made beside an item after that first read is
// removed once its item is deleted here, by the time the iterator reaches
// its end or is closed (a locked one is unlocked first, as a walk deletes a
// locked item, unless it has another name too: the lock is its inode's, so
// that is fLckdErr and it stays; one the caller may not remove, another
// user's in a sticky folder, is permErr and stays); a "._NAME" file that is
// no AppleDouble file stays.
//   noErr             `*actualObjects` items returned (at least one).
//   errFSNoMoreItems  the directory is empty of items this call deletes;
//                     `*actualObjects` (possibly nonzero) items returned.
//   notAFileErr       a folder holds a name the directory listed as no
//                     folder (moved in or made under it since): it was not
//                     listed, and is neither deleted nor returned as the
//                     item, as rm -rf refuses it ("Is a directory");
//                     `*actualObjects` items returned before it.
//   paramErr          a null `actualObjects` or `refs`.
//   errFSBadIteratorFlags  the iterator does not delete (kFSIterateFlat).
//   others            as FSGetCatalogInfoBulk gives them.
// Any thread; calls on one iterator take turns.
VANTREL_EXPORT OSErr VantrelFSBulkDeleteFiles(FSIterator iterator, ItemCount maximumObjects,
                                              ItemCount* actualObjects, FSRef* refs);

// Told of each item VantrelFSBulkDeleteFilesVisiting unlinks by name, right
// after the unlink: `name` is the directory entry's bytes (`length` of them,
// no terminator, as stored), valid during the call only. The item is gone
// by then; the call must not use the iterator.
typedef void (*VantrelDeletedNameProc)(const UInt8* name, ByteCount length, void* context);

// VantrelFSBulkDeleteFiles, telling its caller what it does: `deleted` (may
// be null) is called for each item unlinked by name, as it goes, and, where
// `diskNames` is not null, each item returned comes with its directory
// entry's bytes in `diskNames[i]` (length 0 for a name longer than the
// record holds: VantrelFSRefGetDiskName gives it) and, where `isFolder` is
// not null, with whether it was a folder when listed in `isFolder[i]` (no
// extra system call: the listing's own answer). A sidecar removed with its deleted item is its
// fork, not an item, and is not told. Results as VantrelFSBulkDeleteFiles; on failure, every item
// unlinked before it has been told; with notAFileErr, `diskNames[*actualObjects]` (when below
// `maximumObjects`) holds the entry of the folder refused, though it is not returned.
// Any thread; calls on one iterator take turns.
VANTREL_EXPORT OSErr VantrelFSBulkDeleteFilesVisiting(FSIterator iterator, ItemCount maximumObjects,
                                                      ItemCount* actualObjects, FSRef* refs,
                                                      VantrelDiskName* diskNames, Boolean* isFolder,
                                                      VantrelDeletedNameProc deleted,
                                                      void* context);

// Deletes an item that a deletion walk meets locked, as FSDeleteContainer
// deletes locked items where rm -rf stops with EPERM: the lock is taken off
// the item, and off its resource fork's sidecar where that is locked (a
// locked fork locks its file: FSDeleteObject refuses it), the item is
// deleted as FSDeleteObject deletes it, and each lock is put back on what
// still has a name afterwards (the delete failed, or another name was made
// for it meanwhile). A lock belongs to the inode, not to a name: a locked
// file or fork that has another name as well (a hard link, in the folder
// or anywhere outside it) would lose its lock under that name too, so it is
// refused and keeps it. An item that is not locked is deleted as by
// FSDeleteObject.
//   noErr     deleted, with its fork.
//   fLckdErr  the item or its fork is locked and has another name; nothing
//             changed. Also as FSDeleteObject gives it (a locked folder
//             holding the item).
//   others    as FSDeleteObject and FSSetCatalogInfo give them (permErr: the
//             caller may not unlock); every lock as it was.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSDeleteLockedObject(const FSRef* ref);

// What a deletion walk would answer for this one item (a folder: once its
// items are gone), asked without changing anything: for a dry run that
// names what the deletion will refuse before it starts.
//   noErr            nothing about the item or its folder refuses it.
//   fLckdErr         it or its fork is locked and has another name, which
//                    would lose the lock too.
//   permErr          locked, and the caller may not take the lock off; or in
//                    a sticky folder, neither the item (nor its fork) nor the
//                    folder the caller's; or the item or its folder is
//                    append-only.
//   afpAccessDenied  the caller may not change the folder (write and search).
//   fBsyErr          the root of a volume (a mount point).
//   others           the reference's (fnfErr: gone).
// Any thread.
VANTREL_EXPORT OSErr VantrelFSDeleteWouldRefuse(const FSRef* ref);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
