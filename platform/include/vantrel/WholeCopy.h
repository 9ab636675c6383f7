// Copying a file as cp -a copies it: this layer's own addition to the File
// Manager (no Mac OS system has this call), for programs that copy folder
// trees on Linux.
//
// FSCopyFile copies what the Mac's copy carries: both forks, the Finder
// information, the comment. A copy made on Linux is born now, though, and
// cp -a users expect more: the other extended attributes, and as root the
// owner and the set-ID bits. Made from FSCopyFile and FSSetCatalogInfo,
// that takes five calls that each find both files again by their
// references, and each attribute is written once the copy has its name.
// This call copies the whole file from the descriptor it reads, and the
// copy gets its name only when all of it is there.
//
//   FSRef copy;
//   OSErr err = VantrelFSCopyFileWhole(&file, &folder, 0, nullptr, &copy);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <time.h>

#include "vantrel/Files.h"

VANTREL_EXTERN_C_BEGIN

// Copies the file `source` into the folder `destDir` as `name`
// (`nameLength` UTF-16 units) or, with a null `name`, under the name it has
// on disk (its bytes, whatever they are), with:
//  - its data and resource forks, its metadata record (Finder information,
//    comment) and the attributes the File Manager keeps beside it;
//  - its dates: modification and access to the nanosecond, and creation and
//    backup as FSGetCatalogInfo shows them. Where the source's creation
//    date is its birth, which POSIX cannot give a new file, the copy keeps
//    it in one small attribute of the File Manager's (17 bytes), never in a
//    metadata record the source did not have; where the destination has no
//    place for that (no such attributes, no room, or it refuses the
//    attribute otherwise), the copy is made as cp -a makes it, showing its
//    own birth, and the Explained call says so;
//  - its permission bits; and where the caller may give the copy to the
//    source's owner and group (root may; others only to themselves), that
//    owner and group and the set-ID and sticky bits, as cp -a keeps them;
//  - every other extended attribute, except those the kernel does not let
//    this caller read or set (trusted. and security. for others than root).
//    One that the destination cannot hold (a file system without such
//    attributes, or no room for it) fails the copy, which is then not made:
//    a copy is never quietly less than its source.
// A lock (the immutable attribute) is not copied. The source keeps its
// access time, as PBHCopyFileSync says. The copy appears under its name only
// complete; on any failure nothing of it is left.
//   noErr            `*newRef` (when not null) names the copy.
//   paramErr         a null `source` or `destDir`.
//   bdNamErr, errFSNameTooLong  `name` is no name a file can have (empty,
//                    "." or "..", a NUL or ":", malformed, over 255).
//   notAFileErr      the source is no regular file (a folder, a link...).
//   dirNFErr         `destDir` is no folder.
//   dupFNErr         the name is taken in `destDir`.
//   afpObjectTypeErr the source has a resource fork, and a "._NAME" there
//                    that is no sidecar holds the fork's place.
//   errFSNameTooLong the source has a resource fork, and its name leaves no
//                    room for the "._" of the fork's sidecar.
//   errFSOperationNotSupported  an extended attribute of the source has no
//                    place on the destination's file system.
//   dskFulErr        no room: for the data, or for an extended attribute
//                    (the disk, or the room a file has for its attributes).
//   fnfErr, nsvErr, errFSBadFSRef  as for any reference; fnfErr too when
//                    another file took the source's name while it was opened.
//   others           as FSCopyFile gives them (dskFulErr, afpAccessDenied,
//                    wPrErr, ioErr...).
// Any thread.
VANTREL_EXPORT OSErr VantrelFSCopyFileWhole(const FSRef* source, const FSRef* destDir,
                                            UniCharCount nameLength, const UniChar* name,
                                            FSRef* newRef);

// What made a whole copy fail, as the system said it, for a message that
// names the cause: which attribute, and the error number of the call that
// failed (a full disk and an inode without room for one more attribute both
// say ENOSPC; free space measured afterwards tells neither).
typedef struct VantrelFSCopyFailure {
    int systemError;      // errno of the failing system call; 0 when none failed
    char attribute[256];  // the extended attribute being copied then, or ""
    // Set on noErr only: the errno that kept the source's creation date (its
    // birth) off the copy, which then shows its own; 0 when it was kept.
    int creationDateNotKept;
} VantrelFSCopyFailure;

// The hard links of a tree copy: which files with more than one name have
// been copied, and where, so that their other names become names of that
// copy, as cp -a keeps them. One per copy of a tree; any thread, calls on
// one taking turns.
typedef struct OpaqueVantrelFSCopyLinks* VantrelFSCopyLinksRef;

//   noErr      `*links` is a new, empty record of copies.
//   paramErr   a null `links`.
//   memFullErr no memory for it.
VANTREL_EXPORT OSErr VantrelFSNewCopyLinks(VantrelFSCopyLinksRef* links);
// Forgets the record (null is allowed); the copies stay as they are.
VANTREL_EXPORT void VantrelFSDisposeCopyLinks(VantrelFSCopyLinksRef links);

// VantrelFSCopyFileWhole, and:
//  - with `links` (may be null): a source with more than one name whose
//    file an earlier call with the same `links` copied into the same volume
//    is not copied again: the earlier copy gets the new name, with the
//    resource fork of this name (a sidecar belongs to a name, not to the
//    file). Where that copy has gone or been replaced since, the file is
//    copied anew. A copy of such a source is recorded in `links`.
//  - where it fails, `*failure` (when not null) says why; on noErr it is
//    all zero but for creationDateNotKept.
VANTREL_EXPORT OSErr VantrelFSCopyFileWholeExplained(const FSRef* source, const FSRef* destDir,
                                                     UniCharCount nameLength, const UniChar* name,
                                                     VantrelFSCopyLinksRef links, FSRef* newRef,
                                                     VantrelFSCopyFailure* failure);

// Replaces the contents of the file `target` (its data and resource forks)
// by a copy of `source`'s, as a safe save does, in one step that no reader
// sees half made: the copy is made whole where no one sees it (unnamed, or
// under a private "._" name), then takes the target's place in one rename,
// and its resource fork follows under the folder's lock, journalled, so
// that a process killed at any point leaves the target wholly as it was or
// wholly replaced once the folder is next listed. The target keeps what
// belongs to its name: its Finder information, comment, creation and
// backup dates, file ID, other extended attributes, mode, owner and access
// time; the modification time is the source's contents'. The source is
// only read, and may be on another volume.
//   noErr            `*newRef` (when not null) names the replaced file; a
//                    reference made before to the target names nothing now.
//   paramErr         a null `source` or `target`.
//   notAFileErr      either is no regular file.
//   fLckdErr         the target is locked.
//   permErr          the target has more than one name: its metadata
//                    would go to a new file that its other names do not
//                    share; nothing is changed.
//   fBsyErr          another program changed the target while the copy
//                    was made; nothing is changed.
//   afpObjectTypeErr the source has a resource fork, and a "._NAME" beside
//                    the target that is no sidecar holds the fork's place.
//   others           as VantrelFSCopyFileWhole gives them (dskFulErr,
//                    afpAccessDenied, wPrErr, ioErr...); nothing changed.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSReplaceFileContents(const FSRef* source, const FSRef* target,
                                                  FSRef* newRef);

// Exchanges the contents of the files `ref` and `destRef` as
// FSExchangeObjects does (each name and place keeps what belongs to it and
// gets the other's data and resource forks; the references and node IDs
// follow the contents, the file IDs stay with the names), on a volume whose
// file system has no exchange in one step: through private names that no
// listing shows, hard links where the file system makes them (so that
// neither name is ever missing), renames where it does not. A journal
// written first in the first file's folder lets the next listing of that
// folder finish or undo an exchange a kill cut short. Same results as
// FSExchangeObjects, and:
//   fBsyErr          another program renamed either file meanwhile.
//   afpAccessDenied  the first file's folder cannot hold the journal.
//   errFSNameTooLong the second file's folder has no path to write down.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSExchangeObjectsByNames(const FSRef* ref, const FSRef* destRef);

// A folder copied as cp -a copies it, in two calls around its contents:
// the first makes the empty folder, the second, once the caller has filled
// it, gives it what its source has. Its times are set last, to the
// nanosecond, so that filling it does not change them.
//
//   FSRef copy;
//   struct timespec times[2];
//   VantrelFSCreateFolderCopy(&folder, &destDir, 0, nullptr, &copy, times);
//   ... copy the folder's items into `copy` ...
//   VantrelFSFinishFolderCopy(&folder, &copy, times, nullptr);

// Makes an empty folder in `destDir` for a copy of the folder `source`,
// named `name` (`nameLength` UTF-16 units) or, with a null `name`, as the
// source is named on disk (its bytes, whatever they are: a name that is not
// UTF-8 or is stored decomposed stays as it is). The folder is its maker's
// alone (mode 0700) until VantrelFSFinishFolderCopy. The top folder of a
// copy (one made in a folder that is no copy being made) does not show
// under its name until VantrelFSFinishFolderCopy gives it that name: it is
// made and filled under a private name no listing shows, and a process that
// dies first leaves it to the next listing of `destDir`, which removes it. `sourceTimes` (may be
// null) receives the source's access and modification times as they were
// before anything read its contents (reading a folder may change its access
// time), for VantrelFSFinishFolderCopy.
//   noErr            `*newRef` (when not null) names the new folder.
//   paramErr         a null `source` or `destDir`.
//   dirNFErr         `source` or `destDir` is no folder.
//   bdNamErr, errFSNameTooLong  `name` is no name a folder can have, or with
//                    a null `name`: the source's is a resource fork's
//                    ("._NAME"), or it is a volume's root (mounted on a
//                    folder: give the name it is mounted as).
//   dupFNErr         the name is taken in `destDir`.
//   others           as FSCreateDirectoryUnicode gives them.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSCreateFolderCopy(const FSRef* source, const FSRef* destDir,
                                               UniCharCount nameLength, const UniChar* name,
                                               FSRef* newRef, struct timespec sourceTimes[2]);

// Gives the folder `copy` what the folder `source` has, as VantrelFSCopyFileWhole
// gives a file: its extended attributes as they are (the metadata record
// with its Finder information and comment, and every other attribute; no
// record the source did not have), its creation date where that is its
// birth (as for a file, and `failure->creationDateNotKept` where there is no
// place for it), the owner and group where the caller may give them, its
// mode with the set-ID and sticky bits (without them where the owner could
// not be kept), and last its access and modification times to the
// nanosecond: `sourceTimes` as VantrelFSCreateFolderCopy gave them, or with
// a null `sourceTimes` the source's now. The top folder of a copy then takes its name, in
// one rename that replaces nothing; a top folder that fails here, or finds its name taken,
// is removed with all it holds, and nothing shows under the name. Below the top nothing is
// taken off the copy on failure: the caller reports it and gives up the whole copy with
// VantrelFSAbandonFolderCopy.
//   noErr            done; `*failure` (when not null) as on VantrelFSCopyFileWholeExplained.
//   paramErr         a null `source` or `copy`.
//   dirNFErr         either is no folder.
//   dupFNErr         the top folder's name was taken meanwhile (by anything).
//   errFSOperationNotSupported, dskFulErr  an attribute of the source has no
//                    place on the copy (`*failure` names it).
//   others           as FSSetCatalogInfo gives them.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSFinishFolderCopy(const FSRef* source, const FSRef* copy,
                                               const struct timespec sourceTimes[2],
                                               VantrelFSCopyFailure* failure);

// Undoes a folder copy its caller will not finish (an item in it could not
// be copied): `copy` is its top folder or any folder below it, and the whole
// copy goes, its top with everything made in it, before it ever had its
// name. A tree copy that cannot complete leaves the destination as it was.
//   noErr            removed; no folder of that copy may be used again.
//   paramErr         a null `copy`, or a folder that is no copy this process
//                    is making (not begun here, or already finished).
//   dirNFErr         `copy` is no folder.
//   others           the removal failed (as FSDeleteObject gives them): the
//                    copy never shows, and the next listing of its
//                    destination removes what is left.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSAbandonFolderCopy(const FSRef* copy);

// noErr when both references name one object on disk, whichever mount each
// was reached through, else errFSRefsDifferent: unlike FSCompareFSRefs, the
// folder a tree copy is making, met again inside its source through a bind
// mount, is the same object here. fnfErr, nsvErr, errFSBadFSRef as for any
// reference. Writes nothing; any thread.
VANTREL_EXPORT OSErr VantrelFSCompareObjectsOnDisk(const FSRef* ref1, const FSRef* ref2);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
