// What a "._NAME" entry is: this layer's own addition to the File Manager
// (no Mac OS system has these calls), for programs on Linux that walk,
// copy or clean folders beside it.
//
// A resource fork lives in a sidecar "._NAME" beside its file, as Samba and
// netatalk keep it; listings leave every such entry out. Not every one is a
// fork: a crash, or another system's deletion, leaves a sidecar whose file
// is gone (an orphan), and a user may keep a file of their own under such a
// name, which is no AppleDouble file at all, or only begins like one. These
// calls give the answer the File Manager itself acts on, so that a program
// never decides by a guess of its own what a deletion or a copy does with
// the entry.
//
//   static Boolean show(const VantrelDiskName* n, VantrelHiddenKind kind, void*) {
//       if (kind == kVantrelHiddenOwnFile) std::fwrite(n->bytes, 1, n->length, stdout);
//       return false;  // go on
//   }
//   VantrelFSGetHiddenEntries(&folder, show, nullptr);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"

VANTREL_EXTERN_C_BEGIN

typedef UInt32 VantrelHiddenKind;
enum {
    // The resource fork of NAME, which is there: it goes wherever NAME goes.
    kVantrelHiddenFork = 1,
    // A sidecar whose NAME is gone: no item's fork. Nothing lists it; the
    // deletion of its folder removes it, an item made under NAME removes it
    // first, and a copy or move of its folder leaves it out.
    kVantrelHiddenOrphan = 2,
    // No sidecar (a file that does not parse as one, whatever its first
    // bytes, a link, FIFO or device node, or "._" alone): the user's own,
    // never read as a fork, never deleted, copied or moved with its folder.
    // A folder under such a name is this too: no fork, though listings show
    // it as an ordinary item.
    kVantrelHiddenOwnFile = 3,
    // A private temporary of a change whose maker is gone (a crash, a kill):
    // no one's work any more, and nothing of the user's. Nothing lists it;
    // VantrelFSRemoveLeftover removes it, as it removes an orphan.
    kVantrelHiddenLeftover = 4,
    // A private temporary of a change that is running now (its maker
    // lives): left alone by everything but its maker.
    kVantrelHiddenInProgress = 5
};

// What the entry `name` ("._" and NAME, as stored) of the folder `folder`
// is. A sidecar the caller may not read is taken for what its name says.
//   noErr        `*kind` set.
//   fnfErr       no such entry; also when `folder` names no object.
//   paramErr     a null argument, or `name` does not begin with "._" or
//                holds a "/" or a NUL.
//   errFSNotAFolder  `folder` is no folder. Others as FSOpenIterator gives them.
// Any thread; the call changes nothing.
VANTREL_EXPORT OSErr VantrelFSGetHiddenEntryKind(const FSRef* folder, const VantrelDiskName* name,
                                                 VantrelHiddenKind* kind);

// Calls `visit` for each "._" entry of `folder` (folders among them), with
// its name as stored and what it is (as VantrelFSGetHiddenEntryKind
// answers), in the directory's order, until `visit` returns true. An entry
// gone before it is looked at is passed over.
//   noErr        every entry visited, or `visit` stopped the walk.
//   paramErr     a null `folder` or `visit`.
//   others       as FSOpenIterator gives them, or a read of the folder that
//                failed (the entries before it were visited).
// Any thread; the call changes nothing.
typedef Boolean (*VantrelHiddenEntryProc)(const VantrelDiskName* name, VantrelHiddenKind kind,
                                          void* context);
VANTREL_EXPORT OSErr VantrelFSGetHiddenEntries(const FSRef* folder, VantrelHiddenEntryProc visit,
                                               void* context);

// Removes the "._" entry `name` of `folder` if it is a leftover: an orphan
// (kVantrelHiddenOrphan) or a dead maker's temporary (kVantrelHiddenLeftover),
// looked at again while this holds the folder's lock, so that a file made
// under NAME meanwhile keeps its new fork and a change running in the folder
// keeps its work. A locked leftover stays (fLckdErr).
//   noErr        removed.
//   fBsyErr      it is no leftover (a fork, the user's own file, a running
//                change's temporary): nothing removed.
//   fnfErr       no such entry; also when `folder` names no object.
//   paramErr     a null argument, or `name` is no "._" name of one component.
//   permErr, afpAccessDenied, fLckdErr  the caller may not remove it (another
//                user's in a sticky folder, a folder it may not change, locked).
//   others       as FSOpenIterator and FSDeleteObject give them.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSRemoveLeftover(const FSRef* folder, const VantrelDiskName* name);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
