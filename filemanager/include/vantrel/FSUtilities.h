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
// unchanged. The functions keep no state between calls.
#pragma once

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

VANTREL_EXPORT OSErr FSGetVolParms(FSVolumeRefNum volRefNum, UInt32 bufferSize,
                                   GetVolParmsInfoBuffer* volParmsInfo, UInt32* actualInfoSize);
VANTREL_EXPORT OSErr FSGetVRefNum(const FSRef* ref, FSVolumeRefNum* vRefNum);
VANTREL_EXPORT OSErr FSGetVInfo(FSVolumeRefNum volume, HFSUniStr255* volumeName, UInt64* freeBytes,
                                UInt64* totalBytes);
VANTREL_EXPORT OSErr FSGetVolFileSystemID(FSVolumeRefNum volume, UInt16* fileSystemID, UInt16* signature);
// A handle of FSRef records (one per mounted volume, its root directory) and
// their count; on failure a null handle and a count of 0.
VANTREL_EXPORT OSErr FSGetMountedVolumes(FSRef*** volumeRefsHandle, ItemCount* numVolumes);
VANTREL_EXPORT OSErr FSGetVolMountInfoSize(FSVolumeRefNum volRefNum, UInt16* size);
VANTREL_EXPORT OSErr FSGetVolMountInfo(FSVolumeRefNum volRefNum, void* volMountInfo);
VANTREL_EXPORT OSErr FSVolumeMount(const void* volMountInfo, FSVolumeRefNum* volRefNum);

// ---------------------------------------------------------------- fork copy

VANTREL_EXPORT OSErr FSCopyFork(SInt16 srcRefNum, SInt16 dstRefNum, void* copyBufferPtr, ByteCount copyBufferSize);

// ---------------------------------------------------------------- names and references

VANTREL_EXPORT OSErr UnicodeNameGetHFSName(UniCharCount nameLength, const UniChar* name,
                                           TextEncoding textEncodingHint, Boolean isVolumeName, Str31 hfsName);
VANTREL_EXPORT OSErr HFSNameGetUnicodeName(ConstStr31Param hfsName, TextEncoding textEncodingHint,
                                           HFSUniStr255* unicodeName);
VANTREL_EXPORT OSErr FSRefMakeFSSpec(const FSRef* ref, FSSpec* spec);
VANTREL_EXPORT OSErr FSMakeFSRef(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name, FSRef* ref);
VANTREL_EXPORT OSErr FSPathMakeFSSpec(const UInt8* path, FSSpec* spec, Boolean* isDirectory);
VANTREL_EXPORT Boolean FSRefValid(const FSRef* ref);
VANTREL_EXPORT OSErr FSGetParentRef(const FSRef* ref, FSRef* parentRef);
VANTREL_EXPORT OSErr FSGetFileDirName(const FSRef* ref, HFSUniStr255* outName);
VANTREL_EXPORT OSErr FSGetNodeID(const FSRef* ref, SInt32* nodeID, Boolean* isDirectory);

// ---------------------------------------------------------------- lock state and fork sizes

VANTREL_EXPORT OSErr FSCheckLock(const FSRef* ref);
VANTREL_EXPORT OSErr FSGetForkSizes(const FSRef* ref, UInt64* dataLogicalSize, UInt64* rsrcLogicalSize);
VANTREL_EXPORT OSErr FSGetTotalForkSizes(const FSRef* ref, UInt64* totalLogicalSize, UInt64* totalPhysicalSize,
                                         ItemCount* forkCount);

// ---------------------------------------------------------------- Finder flags, type, creator, dates

VANTREL_EXPORT OSErr FSBumpDate(const FSRef* ref);
VANTREL_EXPORT OSErr FSChangeCreatorType(const FSRef* ref, OSType fileCreator, OSType fileType);
VANTREL_EXPORT OSErr FSChangeFinderFlags(const FSRef* ref, Boolean setBits, UInt16 flagBits);
VANTREL_EXPORT OSErr FSSetInvisible(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearInvisible(const FSRef* ref);
VANTREL_EXPORT OSErr FSSetNameLocked(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearNameLocked(const FSRef* ref);
VANTREL_EXPORT OSErr FSSetIsStationery(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearIsStationery(const FSRef* ref);
VANTREL_EXPORT OSErr FSSetHasCustomIcon(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearHasCustomIcon(const FSRef* ref);
VANTREL_EXPORT OSErr FSClearHasBeenInited(const FSRef* ref);
VANTREL_EXPORT OSErr FSCopyFileMgrAttributes(const FSRef* sourceRef, const FSRef* destinationRef,
                                             Boolean copyLockBit);

// ---------------------------------------------------------------- containers

// Return true to stop the whole walk.
typedef Boolean (*ContainerFilterProc)(Boolean containerChanged, ItemCount currentLevel,
                                       const FSCatalogInfo* catalogInfo, const FSRef* ref, const FSSpec* spec,
                                       const HFSUniStr255* name, void* yourDataPtr);

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

VANTREL_EXPORT OSErr FSDeleteContainerContents(const FSRef* container);
VANTREL_EXPORT OSErr FSDeleteContainer(const FSRef* container);
VANTREL_EXPORT OSErr FSIterateContainer(const FSRef* container, ItemCount depthLimit, FSCatalogInfoBitmap bitmap,
                                        Boolean withSpecs, Boolean withNames, ContainerFilterProc filter,
                                        void* context);
VANTREL_EXPORT OSErr FSGetDirectoryItems(const FSRef* container, FSRef*** refList, ItemCount* refCount,
                                         Boolean* changedOut);

// ---------------------------------------------------------------- move, rename, exchange

VANTREL_EXPORT OSErr FSMoveRenameObjectUnicode(const FSRef* object, const FSRef* destDir, UniCharCount newNameLength,
                                               const UniChar* newName, TextEncoding encodingHint, FSRef* newRef);
VANTREL_EXPORT OSErr FSExchangeObjectsCompat(const FSRef* first, const FSRef* second, FSRef* newFirst,
                                             FSRef* newSecond);

// ---------------------------------------------------------------- legacy parameter-block wrappers

VANTREL_EXPORT OSErr FSGetDirAccess(const FSRef* directory, SInt32* ownerID, SInt32* groupID, SInt32* accessRights);
VANTREL_EXPORT OSErr FSSetDirAccess(const FSRef* directory, SInt32 ownerID, SInt32 groupID, SInt32 accessRights);
VANTREL_EXPORT OSErr FSMapID(FSVolumeRefNum volRefNum, SInt32 ugID, SInt16 objType, StringPtr name);
VANTREL_EXPORT OSErr FSMapName(FSVolumeRefNum volRefNum, ConstStr255Param name, SInt16 objType, SInt32* ugID);
VANTREL_EXPORT OSErr FSCreateFileIDRef(const FSRef* file, SInt32* fileID);
VANTREL_EXPORT OSErr FSResolveFileIDRef(FSVolumeRefNum volRefNum, SInt32 fileID, FSRef* ref);
VANTREL_EXPORT OSErr FileRefNumGetFSRef(short refNum, FSRef* ref);
VANTREL_EXPORT OSErr FSSetDefault(const FSRef* directory, FSRef* previous);
VANTREL_EXPORT OSErr FSRestoreDefault(const FSRef* previous);
VANTREL_EXPORT OSErr FSMakePath(SInt16 volRefNum, SInt32 dirID, ConstStr255Param name, UInt8* path,
                                UInt32 maxPathSize);
VANTREL_EXPORT OSErr FSCopyFile(const FSRef* source, const FSRef* destDir, UniCharCount newNameLength,
                                const UniChar* newName, TextEncoding encodingHint, FSRef* newRef);
VANTREL_EXPORT OSErr FSMoveRename(const FSRef* source, const FSRef* destDir, UniCharCount newNameLength,
                                  const UniChar* newName, TextEncoding encodingHint, FSRef* newRef);

// ---------------------------------------------------------------- privileges and Finder information

VANTREL_EXPORT OSErr FSGetUserPrivilegesPermissions(const FSRef* ref, UInt8* userPrivileges,
                                                    UInt32 permissions[4]);
VANTREL_EXPORT OSErr FSGetFinderInfo(const FSRef* ref, FinderInfo* info, ExtendedFinderInfo* extendedInfo,
                                     Boolean* isDirectory);
VANTREL_EXPORT OSErr FSSetFinderInfo(const FSRef* ref, const FinderInfo* info, const ExtendedFinderInfo* extendedInfo);

VANTREL_EXTERN_C_END

#ifdef __cplusplus
// Byte-range locks: exported with C++ linkage, the parameter list (short,
// long, long) encoded in their symbols. The range is counted from the start
// of the fork.
VANTREL_EXPORT OSErr FSLockRange(short refNum, long rangeLength, long rangeStart);
VANTREL_EXPORT OSErr FSUnlockRange(short refNum, long rangeLength, long rangeStart);
#endif
