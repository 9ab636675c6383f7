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
// and every item whose unlink failed (a directory put in its place, a mount
// point, a locked item, another user's item in a sticky folder, no right to
// change the folder, an I/O error), so that each refusal and failure is
// answered as FSDeleteObject answers it.
// A resource-fork sidecar made beside an item after that first read is
// removed once its item is deleted here, by the time the iterator reaches
// its end or is closed (a locked one is unlocked first, as a walk deletes a
// locked item, unless it has another name too: the lock is its inode's, so
// that is fLckdErr and it stays); a "._NAME" file that is no AppleDouble
// file stays.
//   noErr             `*actualObjects` items returned (at least one).
//   errFSNoMoreItems  the directory is empty of items this call deletes;
//                     `*actualObjects` (possibly nonzero) items returned.
//   paramErr          a null `actualObjects` or `refs`.
//   errFSBadIteratorFlags  the iterator does not delete (kFSIterateFlat).
//   others            as FSGetCatalogInfoBulk gives them.
// Any thread; calls on one iterator take turns.
VANTREL_EXPORT OSErr VantrelFSBulkDeleteFiles(FSIterator iterator, ItemCount maximumObjects,
                                              ItemCount* actualObjects, FSRef* refs);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
