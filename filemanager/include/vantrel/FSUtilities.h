// The File Manager utilities: small, synchronous functions over the File
// Manager that read and change catalogue information, Finder flags, creator
// and type, dates and access rights; query and mount volumes; convert names;
// copy forks and files; iterate, list and delete directory contents; and move,
// rename and exchange objects, undoing their own partial work on failure.
//
//   FSRef dir;
//   FSPathMakeRef((const UInt8*)"/srv/share/old", &dir, nullptr);
//   OSErr err = FSDeleteContainer(&dir);     // the whole tree, locked items too
//   if (err == dirNFErr) { /* not a directory: nothing was touched */ }
//
// Every function returns an OSErr (FSRefValid a Boolean) and takes its
// out-parameters last. A required out-parameter that is null gives paramErr
// before any File Manager call; out-parameters are written only on success
// unless a function's comment says otherwise. Platform errors are passed on
// unchanged; each comment below names only the codes a function gives of its
// own. The functions keep no state between calls.
//
// Threads: every function may be called from any thread; the File Manager
// underneath serialises what it shares. What it shares is process-wide:
// fork reference numbers (one thread may open a fork and another use or
// close it), iterators, and the default directory (FSSetDefault changes it
// for every thread, and so what a relative path means). A function that
// changes several things is not atomic towards another thread or process
// changing the same object at the same time; its undo restores what it
// itself changed.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/Files.h"
#include "vantrel/MacMemory.h"
#include "vantrel/MacTypes.h"
#include "vantrel/TextEncoding.h"

VANTREL_EXTERN_C_BEGIN

// Finder information as a file or a folder sees it (16 bytes each).
union FinderInfo {
    FileInfo file;
    FolderInfo folder;
};
typedef union FinderInfo FinderInfo;

union ExtendedFinderInfo {
    ExtendedFileInfo file;
    ExtendedFolderInfo folder;
};
typedef union ExtendedFinderInfo ExtendedFinderInfo;

// ---------------------------------------------------------------- volumes

// A volume is named by its reference number; 0 is the default directory's
// volume. A number no mounted volume has is nsvErr.

// The volume's parameters: up to bufferSize bytes of volParmsInfo are
// filled (32 reach through vMExtendedAttributes) and *actualInfoSize says
// how many. paramErr for a null output or a bufferSize above 2^31 - 1.
// Nothing is written on failure.
VANTREL_EXPORT OSErr FSGetVolParms(FSVolumeRefNum volRefNum, UInt32 bufferSize,
                                   GetVolParmsInfoBuffer* volParmsInfo, UInt32* actualInfoSize);
// The volume that holds `ref`. paramErr for a null vRefNum; written only on
// success.
VANTREL_EXPORT OSErr FSGetVRefNum(const FSRef* ref, FSVolumeRefNum* vRefNum);
// The volume's name, and its free and total bytes (free as an unprivileged
// caller may use them). Every output is optional; the sizes are asked for
// only when wanted. On failure volumeName may already hold the name; the
// sizes are written only on success.
VANTREL_EXPORT OSErr FSGetVInfo(FSVolumeRefNum volume, HFSUniStr255* volumeName, UInt64* freeBytes,
                                UInt64* totalBytes);
// The file system's ID (the low 16 bits of its statfs magic) and the
// signature 'H+' every volume here answers with. Both optional; written only
// on success.
VANTREL_EXPORT OSErr FSGetVolFileSystemID(FSVolumeRefNum volume, UInt16* fileSystemID,
                                          UInt16* signature);
// A new handle of FSRef records (one per mounted volume, its root directory,
// in mount-table order) and their count; the caller disposes of the handle.
// paramErr for a null output; memFullErr when the handle cannot grow. On
// failure a null handle and a count of 0, nothing left allocated.
VANTREL_EXPORT OSErr FSGetMountedVolumes(FSRef*** volumeRefsHandle, ItemCount* numVolumes);
// The size in bytes of the record FSGetVolMountInfo writes for the volume.
// paramErr for a null size; written only on success.
VANTREL_EXPORT OSErr FSGetVolMountInfoSize(FSVolumeRefNum volRefNum, UInt16* size);
// Writes the record that mounts the volume again (its source, mount point,
// type, options and, for a bind mount, the directory bound) into
// volMountInfo, which must hold the size FSGetVolMountInfoSize gave: the
// record carries no room for a buffer size. paramErr for a null buffer;
// nothing is written on failure.
VANTREL_EXPORT OSErr FSGetVolMountInfo(FSVolumeRefNum volRefNum, void* volMountInfo);
// Mounts the volume a record from FSGetVolMountInfo describes and gives its
// reference number; a volume already mounted as described is the answer,
// and nothing is mounted twice. paramErr for a null output, or a record that
// is not one of ours, runs past its length, or names a directory that is not
// absolute or holds ".", ".." or "//"; permErr without the privilege to
// mount. A mount whose flags cannot be applied is taken away again (never
// left writable by mistake). *volRefNum is written only on success.
VANTREL_EXPORT OSErr FSVolumeMount(const void* volMountInfo, FSVolumeRefNum* volRefNum);

// ---------------------------------------------------------------- fork copy

// Copies the whole of one open fork into another through the caller's
// buffer: the destination first gets the source's length (cut or grown),
// then the data moves from the start, uncached, in whole pages where the
// buffer holds one. Both marks end where the copy stopped. paramErr for a
// null or empty buffer, or one reference number passed twice (the fork
// would read what it has just written). Not undone: on failure the
// destination has the new length and the data copied so far.
VANTREL_EXPORT OSErr FSCopyFork(SInt16 srcRefNum, SInt16 dstRefNum, void* copyBufferPtr,
                                ByteCount copyBufferSize);

// ---------------------------------------------------------------- names and references

// The short name (at most 31 bytes, 27 for a volume) of a Unicode name, in
// the hint's encoding; kTextEncodingUnknown stands for the system script's
// encoding, and Mac Roman where that script has no table here. Characters
// are mapped loosely (superscript two becomes "2"). paramErr for a null
// hfsName, or a null name or more than 255 units; the converter's status
// for a name that does not fit (kTECOutputBufferFullStatus) or does not map
// (kTECUnmappableElementErr). hfsName is the empty string on failure and
// for an empty name.
VANTREL_EXPORT OSErr UnicodeNameGetHFSName(UniCharCount nameLength, const UniChar* name,
                                           TextEncoding textEncodingHint, Boolean isVolumeName,
                                           Str31 hfsName);
// The Unicode name (decomposed, as HFS+ stores names) of a short name in the
// hint's encoding, resolved as above. paramErr for a null output or a null
// hfsName; the converter's status for an encoding without a table
// (kTextUnsupportedEncodingErr) or bytes that do not convert. The name's
// length is 0 on failure and for an empty name.
VANTREL_EXPORT OSErr HFSNameGetUnicodeName(ConstStr31Param hfsName, TextEncoding textEncodingHint,
                                           HFSUniStr255* unicodeName);
// The legacy file record of `ref`: volume, parent directory ID and Pascal
// name. A name longer than 31 bytes or with characters Mac Roman lacks is
// shortened to "prefix#ID", which FSMakeFSRef and the parameter-block calls
// resolve back. paramErr for a null pointer; written only on success.
VANTREL_EXPORT OSErr FSRefMakeFSSpec(const FSRef* ref, FSSpec* spec);
// The reference of `name` (a Mac Roman Pascal name, or a "prefix#ID" short
// form) in directory dirID of the volume; a null or empty name names the
// directory itself. dirID 0 is the volume's root, and volume 0 with dirID 0
// the default directory. paramErr for a null ref; dirNFErr for an unknown
// directory ID; fnfErr when there is no such item. Written only on success.
VANTREL_EXPORT OSErr FSMakeFSRef(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name,
                                 FSRef* ref);
// FSPathMakeRef, then FSRefMakeFSSpec: a final symbolic link is the object
// named. paramErr for a null path or spec. isDirectory (optional) may be
// written although the record then fails; spec is written only on success.
VANTREL_EXPORT OSErr FSPathMakeFSSpec(const UInt8* path, FSSpec* spec, Boolean* isDirectory);
// Whether `ref` names an object that exists now: false for null, an
// all-zero reference, bytes that are not a reference, an object deleted or
// replaced by another under its name, or a volume no longer mounted. Never
// an error.
VANTREL_EXPORT Boolean FSRefValid(const FSRef* ref);
// The reference of the directory that holds `ref`; for a volume's root, 80
// zero bytes (no object) and noErr. paramErr for a null pointer; fnfErr
// when the parent has gone. Written only on success.
VANTREL_EXPORT OSErr FSGetParentRef(const FSRef* ref, FSRef* parentRef);
// The object's Unicode name as FSGetCatalogInfo gives it (decomposed, "/"
// for a ":" on disk; a byte that is not UTF-8 shows as U+FFFD; a volume's
// root has the volume's name). paramErr for a null pointer; written only on
// success.
VANTREL_EXPORT OSErr FSGetFileDirName(const FSRef* ref, HFSUniStr255* outName);
// The node ID (2 for a volume's root) and whether the object is a
// directory; both optional, asked for only when wanted. paramErr for a null
// ref; written only on success.
VANTREL_EXPORT OSErr FSGetNodeID(const FSRef* ref, SInt32* nodeID, Boolean* isDirectory);

// ---------------------------------------------------------------- lock state and fork sizes

// noErr when the object may be changed; otherwise the lock that prevents
// it, asked in this order: fLckdErr (the object's own lock), wPrErr (a
// write-protected medium), vLckdErr (a volume mounted read-only). Writes
// nothing.
VANTREL_EXPORT OSErr FSCheckLock(const FSRef* ref);
// The logical lengths of the data and resource forks (an absent resource
// fork is 0); both optional. notAFileErr for a folder, even with both
// outputs null. Written only on success.
VANTREL_EXPORT OSErr FSGetForkSizes(const FSRef* ref, UInt64* dataLogicalSize,
                                    UInt64* rsrcLogicalSize);
// Sums the logical and physical sizes of every fork the object has and
// counts them (a folder has none: 0, 0, 0); each output optional. The
// outputs are set to 0 first; on failure they hold the sums of the forks
// visited so far.
VANTREL_EXPORT OSErr FSGetTotalForkSizes(const FSRef* ref, UInt64* totalLogicalSize,
                                         UInt64* totalPhysicalSize, ItemCount* forkCount);

// ---------------------------------------------------------------- Finder flags, type, creator,
// dates

// Every change below is a read of the object's Finder information and one
// FSSetCatalogInfo: either the whole change is made or, on failure, the
// object is as it was. Not atomic towards another writer of the same
// object: two changes racing may lose one. After a change the parent
// folder's date is bumped (FSBumpDate) so that watchers see it; a bump that
// fails is not reported.

// Sets the content-modification date to now (one second past the old date
// when the clock has not moved, so that watchers see a change), then
// announces the change of the folder (FNNotify): the object itself when it
// is a folder, else its parent. A date that cannot be stored (a locked
// object or volume) is noErr and nothing is announced.
VANTREL_EXPORT OSErr FSBumpDate(const FSRef* ref);
// Sets the file's creator and type; a code of 0 leaves that one as it is.
// notAFileErr for a folder.
VANTREL_EXPORT OSErr FSChangeCreatorType(const FSRef* ref, OSType fileCreator, OSType fileType);
// Sets (setBits true) or clears the given Finder flags, leaving the others
// as they are. Files and folders alike.
VANTREL_EXPORT OSErr FSChangeFinderFlags(const FSRef* ref, Boolean setBits, UInt16 flagBits);
// FSChangeFinderFlags with one flag each.
VANTREL_EXPORT OSErr FSSetInvisible(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearInvisible(const FSRef* ref);
VANTREL_EXPORT OSErr FSSetNameLocked(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearNameLocked(const FSRef* ref);
VANTREL_EXPORT OSErr FSSetIsStationery(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearIsStationery(const FSRef* ref);
VANTREL_EXPORT OSErr FSSetHasCustomIcon(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearHasCustomIcon(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearHasBeenInited(const FSRef* ref);
// Gives the destination every settable catalogue field of the source (dates
// but the attribute-modification one, permissions and owner, Finder and
// extended Finder information, the lock only when copyLockBit: without it
// the destination ends up unlocked), with kHasBeenInited cleared so that
// the Finder places it anew. Setting the owner takes the
// privilege to chown. One FSSetCatalogInfo: on failure the destination is
// as it was.
VANTREL_EXPORT OSErr FSCopyFileMgrAttributes(const FSRef* sourceRef, const FSRef* destinationRef,
                                             Boolean copyLockBit);

// ---------------------------------------------------------------- containers

// Called for each item of a walk, with the item's catalogue information,
// reference and, as asked, its legacy record and name (valid during the call
// only), its level (1 for the container's items) and whether the directory
// being listed changed since its listing began. Return true to stop the
// whole walk.
typedef Boolean (*ContainerFilterProc)(Boolean containerChanged, ItemCount currentLevel,
                                       const FSCatalogInfo* catalogInfo, const FSRef* ref,
                                       const FSSpec* spec, const HFSUniStr255* name,
                                       void* yourDataPtr);

// State of one deletion walk, shared by every level.
struct FSDeleteContainerGlobals {
    OSErr result;
    ItemCount returnedCount;
    FSCatalogInfo catalogInfo;
};
typedef struct FSDeleteContainerGlobals FSDeleteContainerGlobals;

// State of one iteration walk, shared by every level.
struct FSIterateContainerGlobals {
    ContainerFilterProc filter;
    FSCatalogInfoBitmap infoBitmap;
    FSCatalogInfo catalogInfo;
    FSRef itemRef;
    FSSpec itemSpec;
    FSSpec* specOut;
    HFSUniStr255 itemName;
    HFSUniStr255* nameOut;
    void* context;
    ItemCount depthLimit;
    ItemCount depth;
    Boolean stop;
    Boolean changed;
    OSErr result;
    ItemCount returnedCount;
};
typedef struct FSIterateContainerGlobals FSIterateContainerGlobals;

// The walks below open each directory relative to its parent, never follow
// a symbolic link (a link is an item, deleted or listed as itself) and never
// leave the container, even when the tree changes while they run. They keep
// their levels on the heap, so a tree 10,000 levels deep needs no deep
// stack; each level holds one iterator until it ends.

// Deletes everything inside the directory, depth first, locked items too
// (each is unlocked first). errFSNotAFolder for a file. Stops at the first
// failure and returns it; not undone: what was deleted stays deleted, and
// every item left is as it was, its lock put back.
VANTREL_EXPORT OSErr FSDeleteContainerContents(const FSRef* container);
// Deletes the directory and everything inside it, as above, then the
// directory itself. dirNFErr for a file, with nothing touched. On failure
// the directory stays, with its lock as it was.
VANTREL_EXPORT OSErr FSDeleteContainer(const FSRef* container);
// What a watched deletion walk tells its caller (VantrelFSDeleteContainerVisiting).
enum {
    kVantrelDeleteEntering = 1,  // a folder is about to be emptied; its items follow
    kVantrelDeleteRemoved = 2,   // the item is gone, deleted by this walk
    kVantrelDeleteRefused = 3    // the item stays: its refusal or failure stops the walk
};
typedef UInt8 VantrelDeleteEvent;

// One visit: the item's directory entry (`nameLength` bytes as stored, no
// terminator; valid during the call only) at `depth` (1 for the container's
// own items, 2 for theirs and so on; 0 and no name for the container
// itself), whether it is a folder, and for kVantrelDeleteRefused the answer
// that stops the walk. A path is rebuilt from one name per depth, however
// deep the tree: a visit at depth N follows kVantrelDeleteEntering of its
// folder at depth N - 1.
struct VantrelDeleteVisit {
    VantrelDeleteEvent event;
    Boolean isFolder;
    OSErr result;
    ItemCount depth;
    const UInt8* name;
    ByteCount nameLength;
};
typedef struct VantrelDeleteVisit VantrelDeleteVisit;
typedef void (*VantrelDeleteVisitProc)(const VantrelDeleteVisit* visit, void* context);

// FSDeleteContainer (or, with `contentsOnly`, FSDeleteContainerContents),
// the same walk with the same results, telling `visit` of each item as it
// goes: kVantrelDeleteRemoved right after the item is deleted (a folder
// after its items, as rm -v prints them), kVantrelDeleteEntering before a
// folder's items, and kVantrelDeleteRefused once, for the item whose
// refusal or failure is the walk's answer (the container itself, at depth
// 0, when it cannot be read or deleted). An item deleted by another process
// meanwhile is not told: this walk did not delete it. A resource fork goes
// with its file and is not an item. paramErr for a null container or visit,
// with nothing told. The visit must not change the tree.
VANTREL_EXPORT OSErr VantrelFSDeleteContainerVisiting(const FSRef* container, Boolean contentsOnly,
                                                      VantrelDeleteVisitProc visit, void* context);
// Calls `filter` for every item below the container, depth first, down to
// depthLimit levels (0: no limit; a directory at the limit reaches the
// filter but is not entered), until the filter returns true. Each item's
// catalogue information holds `bitmap` plus its node flags. A subdirectory
// the caller may not read (afpAccessDenied) is passed over; any other error
// stops the walk and is returned. paramErr for a null container or filter.
// The caller's reference is never written.
VANTREL_EXPORT OSErr FSIterateContainer(const FSRef* container, ItemCount depthLimit,
                                        FSCatalogInfoBitmap bitmap, Boolean withSpecs,
                                        Boolean withNames, ContainerFilterProc filter,
                                        void* context);
// A new handle of the references of the directory's items (the directory
// only, not below) and their count; the caller disposes of the handle.
// *changedOut says whether the directory changed while it was listed.
// paramErr for a null output; errFSNotAFolder for a file; memFullErr when
// the handle cannot grow. On failure a null handle and a count of 0,
// nothing left allocated.
VANTREL_EXPORT OSErr FSGetDirectoryItems(const FSRef* container, FSRef*** refList,
                                         ItemCount* refCount, Boolean* changedOut);

// ---------------------------------------------------------------- move, rename, exchange

// Moves the object into destDir and, with a new name, renames it: first
// to a temporary name free in both directories, then the move, then the
// final name, so that no step meets a name already there but the last.
// Without a new name it is FSMoveObject. paramErr for a null pointer;
// diffVolErr for another volume; the rules of FSMoveObject and
// FSRenameUnicode apply (dupFNErr for a name taken, badMovErr for a folder
// into itself). On failure the object is back in its directory under its
// name, byte for byte as it was on disk (an undo step that fails is passed
// over). *newRef is the object's reference from the start and follows it:
// on success it names the moved object, on failure the object where it is.
VANTREL_EXPORT OSErr FSMoveRenameObjectUnicode(const FSRef* object, const FSRef* destDir,
                                               UniCharCount newNameLength, const UniChar* newName,
                                               TextEncoding encodingHint, FSRef* newRef);
// Exchanges two files of one volume: afterwards each name and place holds
// the other's contents (both forks and the content-modification date),
// while the other catalogue fields stay with the name and place. Where the
// volume offers FSExchangeObjects it is that single step. Elsewhere it takes
// renames to temporary names, moves between the directories and catalogue
// writes, and undoes its completed steps in reverse when one fails, names
// given back byte for byte. paramErr for a null pointer; diffVolErr for
// another volume; notAFileErr for a folder. *newFirst names what now stands
// at the first file's name and place (the former second file), *newSecond
// what stands at the second's; on failure each names its own file where it
// ended up. Not atomic towards other programs: between the steps the files
// are briefly under their temporary names.
VANTREL_EXPORT OSErr FSExchangeObjectsCompat(const FSRef* first, const FSRef* second,
                                             FSRef* newFirst, FSRef* newSecond);

// ---------------------------------------------------------------- legacy parameter-block wrappers

// Each of these names its object by an FSRef and calls one older
// parameter-block call on the object's legacy record; the platform's
// contract of that call applies.

// The directory's owner and group IDs and access-rights word
// (PBHGetDirAccessSync). Each output optional; written only on success.
// dirNFErr for a file.
VANTREL_EXPORT OSErr FSGetDirAccess(const FSRef* directory, SInt32* ownerID, SInt32* groupID,
                                    SInt32* accessRights);
// Sets the directory's owner, group (-1 leaves one as it is) and rights
// (PBHSetDirAccessSync). Only the three groups of rights and the
// blank-access bit are passed down; the caller's own rights and ownership
// (bits 24-26, 31) are reported by FSGetDirAccess, never set. On failure
// the directory is as it was.
VANTREL_EXPORT OSErr FSSetDirAccess(const FSRef* directory, SInt32 ownerID, SInt32 groupID,
                                    SInt32 accessRights);
// The user (kOwnerID2Name) or group (kGroupID2Name) name of an ID, as a
// Pascal string in `name`, which must hold a Str31. paramErr for a null
// name or another objType; fnfErr for an ID nobody has; errFSNameTooLong
// for a name over 31 bytes (never cut: a cut name would be someone else's).
// Written only on success.
VANTREL_EXPORT OSErr FSMapID(FSVolumeRefNum volRefNum, SInt32 ugID, SInt16 objType, StringPtr name);
// The ID of a user (kOwnerName2ID) or group (kGroupName2ID) name. paramErr
// for a null output or another objType; fnfErr for a name nobody has (an
// empty name, or one with a NUL, names nobody). Written only on success.
VANTREL_EXPORT OSErr FSMapName(FSVolumeRefNum volRefNum, ConstStr255Param name, SInt16 objType,
                               SInt32* ugID);
// Makes the file's ID (its node ID), which survives renames and moves
// within the volume and is recorded on the file itself. paramErr for a null
// output; notAFileErr for a folder; fidExists when the file already had
// one, and then *fileID is that ID too. Otherwise written only on success.
VANTREL_EXPORT OSErr FSCreateFileIDRef(const FSRef* file, SInt32* fileID);
// The reference of the file with that ID on the volume, wherever it now
// is. paramErr for a null ref; fidNotFound when no file carries the ID.
// Written only on success.
VANTREL_EXPORT OSErr FSResolveFileIDRef(FSVolumeRefNum volRefNum, SInt32 fileID, FSRef* ref);
// The reference of the file an open fork belongs to (FSGetForkCBInfo);
// fork reference numbers are process-wide. rfNumErr for a number that is
// not open. ref (optional) is written only on success.
VANTREL_EXPORT OSErr FileRefNumGetFSRef(short refNum, FSRef* ref);
// Makes `directory` the default directory and gives the one it replaces.
// The default directory is the process's working directory: the change is
// seen by every thread, and by every relative path from then on. paramErr
// for a null pointer; dirNFErr for a file. *previous may be written
// although the change then fails; the default directory changes only on
// success.
VANTREL_EXPORT OSErr FSSetDefault(const FSRef* directory, FSRef* previous);
// Makes `previous` (from FSSetDefault) the default directory again, for
// every thread. paramErr for null; dirNFErr for a file.
VANTREL_EXPORT OSErr FSRestoreDefault(const FSRef* previous);
// The absolute UTF-8 path of the object named by volume, directory ID and
// Pascal name (FSMakeFSRef, then FSRefMakePath). paramErr for a null path;
// errFSNameTooLong when the path and its terminator exceed maxPathSize.
// Nothing is written on failure.
VANTREL_EXPORT OSErr FSMakePath(SInt16 volRefNum, SInt32 dirID, ConstStr255Param name, UInt8* path,
                                UInt32 maxPathSize);
// Copies the file into destDir (PBHCopyFileSync), on this volume or
// another, under newName or, without one, under the source's own name as it
// is on disk. The copy takes the data, resource fork, Finder information,
// permission bits and modification time; it belongs to the caller. The new
// name goes through UnicodeNameGetHFSName, so its errors apply. notAFileErr
// for anything but a regular file; dupFNErr when the name is taken (nothing
// is replaced). The copy appears whole under its name or not at all (on a
// file system without unnamed files, a partial copy is seen under the name
// until the failure removes it). newRef (optional) names the copy; when the
// copy was made but no reference can be made to it, that error is returned
// and the copy stays.
VANTREL_EXPORT OSErr FSCopyFile(const FSRef* source, const FSRef* destDir,
                                UniCharCount newNameLength, const UniChar* newName,
                                TextEncoding encodingHint, FSRef* newRef);
// Moves the object into destDir on its volume, renamed to newName when
// given, in one rename (PBHMoveRenameSync): both happen or neither does.
// paramErr for a volume that cannot move and rename in one step (or whose
// parameters cannot be read); diffVolErr for another volume; the new name goes through
// UnicodeNameGetHFSName. newRef (optional) names the moved object; written
// only on success (a reference that cannot be made leaves it unwritten,
// and the move is still noErr).
VANTREL_EXPORT OSErr FSMoveRename(const FSRef* source, const FSRef* destDir,
                                  UniCharCount newNameLength, const UniChar* newName,
                                  TextEncoding encodingHint, FSRef* newRef);

// ---------------------------------------------------------------- privileges and Finder
// information

// The caller's privileges on the object (bits set for rights it lacks, as
// on AFP) and the four permission words (an FSPermissionInfo: owner, group,
// the caller's access, mode). Both optional, asked for only when wanted;
// written only on success.
VANTREL_EXPORT OSErr FSGetUserPrivilegesPermissions(const FSRef* ref, UInt8* userPrivileges,
                                                    UInt32 permissions[4]);
// The Finder and extended Finder information (host byte order; all zero for
// an object that has none) and whether the object is a folder. Each output
// optional, asked for only when wanted; written only on success.
VANTREL_EXPORT OSErr FSGetFinderInfo(const FSRef* ref, FinderInfo* info,
                                     ExtendedFinderInfo* extendedInfo, Boolean* isDirectory);
// Sets whichever of the two is given (both null: noErr, nothing changes),
// in one FSSetCatalogInfo: on failure the object is as it was. fLckdErr for
// a locked object.
VANTREL_EXPORT OSErr FSSetFinderInfo(const FSRef* ref, const FinderInfo* info,
                                     const ExtendedFinderInfo* extendedInfo);

VANTREL_EXTERN_C_END

#ifdef __cplusplus
// Byte-range locks on an open fork (PBLockRangeSync, PBUnlockRangeSync):
// exported with C++ linkage, the parameter list (short, long, long) encoded
// in their symbols. The range is rangeLength bytes counted from rangeStart
// at the start of the fork; a length of -1 runs to the end however long the
// fork grows. paramErr for a length or start beyond 32 bits (it would lock
// another range) or a length of 0 or below -1; posErr for a negative start;
// afpRangeOverlap for a range another
// fork reference number holds; rfNumErr for a number that is not open.
// Locks belong to the fork reference number, which is process-wide, and go
// when it is closed.
VANTREL_EXPORT OSErr FSLockRange(short refNum, long rangeLength, long rangeStart);
VANTREL_EXPORT OSErr FSUnlockRange(short refNum, long rangeLength, long rangeStart);
#endif
// NOLINTEND(readability-identifier-naming)
