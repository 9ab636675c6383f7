// The File Manager on Linux: references, catalogue information, iterators,
// forks, volumes, parameter-block calls, the default directory, file IDs,
// change notification and dates.
//
// An FSRef names one file-system object (80 opaque bytes, all zero for "no
// object"). It keeps naming the same object after the object is renamed or
// moved through this layer; a reference to a deleted object answers fnfErr.
// Paths are UTF-8; names (HFSUniStr255) are one path component in UTF-16,
// canonically decomposed, with "/" shown as ":".
//
//   FSRef dir;
//   FSPathMakeRef((const UInt8*)"/srv/share", &dir, nullptr);
//   FSCatalogInfo info;
//   HFSUniStr255 name;
//   OSErr err = FSGetCatalogInfo(&dir, kFSCatInfoNodeID | kFSCatInfoNodeFlags,
//                                &info, &name, nullptr, nullptr);
//
// What every call promises unless its comment says otherwise:
//  - A required pointer that is null is paramErr, before anything is done.
//    A reference that is all zero, names an object that has gone (or was
//    replaced by another under its name) is fnfErr; bytes this layer did not
//    make are errFSBadFSRef; a volume no longer mounted is nsvErr.
//  - Every other failure of the system underneath comes back through one
//    errno-to-OSErr table (docs/filemanager-platform.md); each comment below
//    names only the codes a call gives of its own.
//  - Outputs are written only on success. A parameter-block call also
//    stores its result in the block's ioResult.
//  - A call that changes several things puts back what it changed when a
//    later step fails, so that a failure leaves the object as it was.
//  - Threads: every call may be called from any thread; the layer guards
//    what it shares with locks. Fork reference numbers, iterators, change
//    subscriptions and the default directory are process-wide: a fork opened
//    on one thread may be read or closed on another, and HSetVol changes the
//    working directory of every thread (and so what relative paths mean).
//    Nothing is atomic towards another process changing the same object.
//
// Every operation goes through the project's fault seam under its own name,
// so the tests can make it fail (a test facility, not part of this
// interface). See docs/filemanager-platform.md for how each concept maps onto
// Linux and for the errno-to-OSErr table.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/MacMemory.h"
#include "vantrel/MacTypes.h"

VANTREL_EXTERN_C_BEGIN

// ---------------------------------------------------------------- basic types

typedef SInt16 FSVolumeRefNum;
typedef SInt16 FSIORefNum;
typedef UInt32 FSCatalogInfoBitmap;
typedef UInt32 FSVolumeInfoBitmap;
typedef UInt32 FSIteratorFlags;
typedef UInt32 FNMessage;

enum { kFSVolumeRefNumNone = 0, fsRtParID = 1, fsRtDirID = 2 };

struct FSRef {
    UInt8 hidden[80];
};
typedef struct FSRef FSRef;

struct FSSpec {
    FSVolumeRefNum vRefNum;
    SInt32 parID;
    StrFileName name;  // Pascal string, at most 63 bytes
};
typedef struct FSSpec FSSpec;
typedef FSSpec* FSSpecPtr;

struct HFSUniStr255 {
    UInt16 length;  // in UTF-16 units
    UniChar unicode[255];
};
typedef struct HFSUniStr255 HFSUniStr255;
typedef const HFSUniStr255* ConstHFSUniStr255Param;

struct UTCDateTime {
    UInt16 highSeconds;  // seconds since 1904-01-01 00:00 UTC, 48 bits in all
    UInt32 lowSeconds;
    UInt16 fraction;  // 1/65536 of a second
};
typedef struct UTCDateTime UTCDateTime;

// The four permission words of FSCatalogInfo, as the platform lays them out.
struct FSPermissionInfo {
    UInt32 userID;
    UInt32 groupID;
    UInt8 reserved1;
    UInt8 userAccess;
    UInt16 mode;
    UInt32 reserved2;
};
typedef struct FSPermissionInfo FSPermissionInfo;

struct FSCatalogInfo {
    UInt16 nodeFlags;
    FSVolumeRefNum volume;
    UInt32 parentDirID;
    UInt32 nodeID;
    UInt8 sharingFlags;
    UInt8 userPrivileges;
    UInt8 reserved1;
    UInt8 reserved2;
    UTCDateTime createDate;
    UTCDateTime contentModDate;
    UTCDateTime attributeModDate;
    UTCDateTime accessDate;
    UTCDateTime backupDate;
    UInt32 permissions[4];    // an FSPermissionInfo
    UInt8 finderInfo[16];     // FileInfo or FolderInfo, host byte order
    UInt8 extFinderInfo[16];  // ExtendedFileInfo or ExtendedFolderInfo, host byte order
    UInt64 dataLogicalSize;
    UInt64 dataPhysicalSize;
    UInt64 rsrcLogicalSize;
    UInt64 rsrcPhysicalSize;
    UInt32 valence;
    TextEncoding textEncodingHint;
};
typedef struct FSCatalogInfo FSCatalogInfo;

enum {
    kFSCatInfoNone = 0x00000000,
    kFSCatInfoTextEncoding = 0x00000001,
    kFSCatInfoNodeFlags = 0x00000002,
    kFSCatInfoVolume = 0x00000004,
    kFSCatInfoParentDirID = 0x00000008,
    kFSCatInfoNodeID = 0x00000010,
    kFSCatInfoCreateDate = 0x00000020,
    kFSCatInfoContentMod = 0x00000040,
    kFSCatInfoAttrMod = 0x00000080,
    kFSCatInfoAccessDate = 0x00000100,
    kFSCatInfoBackupDate = 0x00000200,
    kFSCatInfoPermissions = 0x00000400,
    kFSCatInfoFinderInfo = 0x00000800,
    kFSCatInfoFinderXInfo = 0x00001000,
    kFSCatInfoValence = 0x00002000,
    kFSCatInfoDataSizes = 0x00004000,
    kFSCatInfoRsrcSizes = 0x00008000,
    kFSCatInfoSharingFlags = 0x00010000,
    kFSCatInfoUserPrivs = 0x00020000,
    kFSCatInfoUserAccess = 0x00080000,
    kFSCatInfoAllDates = 0x000003E0,
    kFSCatInfoGettableInfo = 0x0003FFFF,
    kFSCatInfoSettableInfo = 0x00001FE3
};

enum {
    kFSNodeLockedBit = 0,
    kFSNodeLockedMask = 0x0001,
    kFSNodeResOpenMask = 0x0004,
    kFSNodeDataOpenMask = 0x0008,
    kFSNodeIsDirectoryBit = 4,
    kFSNodeIsDirectoryMask = 0x0010,
    kFSNodeForkOpenMask = 0x0080
};

// userPrivileges bits (set when the caller LACKS the right, as on AFP).
enum {
    kioACUserNoSeeFolderMask = 0x01,
    kioACUserNoSeeFilesMask = 0x02,
    kioACUserNoMakeChangesMask = 0x04,
    kioACUserNotOwnerMask = 0x80
};

// Finder information, in host byte order in memory (big-endian on disk).
struct Point {
    SInt16 v;
    SInt16 h;
};
typedef struct Point Point;
struct Rect {
    SInt16 top, left, bottom, right;
};
typedef struct Rect Rect;

struct FileInfo {
    OSType fileType;
    OSType fileCreator;
    UInt16 finderFlags;
    Point location;
    UInt16 reservedField;
};
typedef struct FileInfo FileInfo;

struct FolderInfo {
    Rect windowBounds;
    UInt16 finderFlags;
    Point location;
    UInt16 reservedField;
};
typedef struct FolderInfo FolderInfo;

struct ExtendedFileInfo {
    SInt16 reserved1[4];
    UInt16 extendedFinderFlags;
    SInt16 reserved2;
    SInt32 putAwayFolderID;
};
typedef struct ExtendedFileInfo ExtendedFileInfo;

struct ExtendedFolderInfo {
    Point scrollPosition;
    SInt32 reserved1;
    UInt16 extendedFinderFlags;
    SInt16 reserved2;
    SInt32 putAwayFolderID;
};
typedef struct ExtendedFolderInfo ExtendedFolderInfo;

enum {
    kIsOnDesk = 0x0001,
    kColor = 0x000E,
    kIsShared = 0x0040,
    kHasNoINITs = 0x0080,
    kHasBeenInited = 0x0100,
    kHasCustomIcon = 0x0400,
    kIsStationery = 0x0800,
    kNameLocked = 0x1000,
    kHasBundle = 0x2000,
    kIsInvisible = 0x4000,
    kIsAlias = 0x8000
};

// ---------------------------------------------------------------- volumes

struct FSVolumeInfo {
    UTCDateTime createDate;
    UTCDateTime modifyDate;
    UTCDateTime backupDate;
    UTCDateTime checkedDate;
    UInt32 fileCount;
    UInt32 folderCount;
    UInt64 totalBytes;
    UInt64 freeBytes;
    UInt32 blockSize;
    UInt32 totalBlocks;
    UInt32 freeBlocks;
    UInt32 nextAllocation;
    UInt32 rsrcClumpSize;
    UInt32 dataClumpSize;
    UInt32 nextCatalogID;
    UInt8 finderInfo[32];
    UInt16 flags;
    UInt16 filesystemID;
    UInt16 signature;
    UInt16 driveNumber;
    SInt16 driverRefNum;
};
typedef struct FSVolumeInfo FSVolumeInfo;

enum {
    kFSVolInfoNone = 0x0000,
    kFSVolInfoCreateDate = 0x0001,
    kFSVolInfoModDate = 0x0002,
    kFSVolInfoBackupDate = 0x0004,
    kFSVolInfoCheckedDate = 0x0008,
    kFSVolInfoFileCount = 0x0010,
    kFSVolInfoDirCount = 0x0020,
    kFSVolInfoSizes = 0x0040,
    kFSVolInfoBlocks = 0x0080,
    kFSVolInfoNextAlloc = 0x0100,
    kFSVolInfoRsrcClump = 0x0200,
    kFSVolInfoDataClump = 0x0400,
    kFSVolInfoNextID = 0x0800,
    kFSVolInfoFinderInfo = 0x1000,
    kFSVolInfoFlags = 0x2000,
    kFSVolInfoFSInfo = 0x4000,
    kFSVolInfoDriveInfo = 0x8000,
    kFSVolInfoGettableInfo = 0xFFFF
};

enum {
    kFSVolFlagDefaultVolumeMask = 0x0020,
    kFSVolFlagFilesOpenMask = 0x0040,
    kFSVolFlagHardwareLockedMask = 0x0080,
    kFSVolFlagSoftwareLockedMask = 0x8000
};

// Filled by PBHGetVolParmsSync up to ioReqCount bytes; with 32 bytes the
// fields through vMExtendedAttributes are returned.
struct GetVolParmsInfoBuffer {
    SInt16 vMVersion;
    SInt32 vMAttrib;
    Handle vMLocalHand;
    SInt32 vMServerAdr;
    SInt32 vMVolumeGrade;
    SInt16 vMForeignPrivID;
    SInt32 vMExtendedAttributes;
    void* vMDeviceID;
    UInt32 vMMaxNameLength;
};
typedef struct GetVolParmsInfoBuffer GetVolParmsInfoBuffer;

enum {
    bHasBlankAccessPrivileges = 4,
    bHasFileIDs = 11,
    bHasCatSearch = 12,
    bHasMoveRename = 13,
    bHasOpenDeny = 14,
    bHasCopyFile = 16,
    bNoVNEdit = 23,
    bAccessCntl = 18,
    bNoMiniFndr = 21,
    bNoLclSync = 22,
    bTrshOffLine = 24,
    bNoSwitchTo = 25,
    bNoDeskItems = 20,
    bNoBootBlks = 21,
    bHasExtFSVol = 5,
    bHasShortName = 30,
    bLimitFCBs = 31
};
enum {
    bIsEjectable = 0,
    bSupportsHFSPlusAPIs = 1,
    bSupportsFSCatalogSearch = 2,
    bSupportsFSExchangeObjects = 3,
    bSupports2TBFiles = 4,
    bSupportsLongNames = 5,
    bSupportsMultiScriptNames = 6,
    bSupportsNamedForks = 7,
    bSupportsSubtreeIterators = 8,
    bL2PCanMapFileBlocks = 9,
    bParentModDateChanges = 10,
    bAncestorModDateChanges = 11,
    bSupportsSymbolicLinks = 13,
    bIsAutoMounted = 14,
    bAllowCDiDataHandler = 17,
    bSupportsExclusiveLocks = 18,
    bSupportsJournaling = 19,
    bNoVolumeSizes = 20,
    bIsOnInternalBus = 21,
    bIsCaseSensitive = 22,
    bIsCasePreserving = 23,
    bDoNotDisplay = 24,
    bIsRemovable = 25,
    bNoRootTimes = 26,
    bIsOnExternalBus = 27,
    bSupportsExtendedFileSecurity = 28
};

// ---------------------------------------------------------------- parameter blocks

typedef struct QElem* QElemPtr;
typedef void* IOCompletionUPP;

#define VANTREL_PB_HEADER         \
    QElemPtr qLink;               \
    SInt16 qType;                 \
    SInt16 ioTrap;                \
    Ptr ioCmdAddr;                \
    IOCompletionUPP ioCompletion; \
    volatile OSErr ioResult;      \
    StringPtr ioNamePtr;          \
    SInt16 ioVRefNum

struct IOParam {
    VANTREL_PB_HEADER;
    FSIORefNum ioRefNum;
    SInt8 ioVersNum;
    SInt8 ioPermssn;
    Ptr ioMisc;
    Ptr ioBuffer;
    SInt32 ioReqCount;
    SInt32 ioActCount;
    SInt16 ioPosMode;
    SInt32 ioPosOffset;
};
typedef struct IOParam IOParam;

struct VolumeParam {
    VANTREL_PB_HEADER;
    SInt32 filler2;
    SInt16 ioVolIndex;
    UInt32 ioVCrDate;
    UInt32 ioVLsBkUp;
    UInt16 ioVAtrb;
    UInt16 ioVNmFls;
    UInt16 ioVDirSt;
    SInt16 ioVBlLn;
    UInt16 ioVNmAlBlks;
    UInt32 ioVAlBlkSiz;
    UInt32 ioVClpSiz;
    UInt16 ioAlBlSt;
    UInt32 ioVNxtFNum;
    UInt16 ioVFrBlk;
};
typedef struct VolumeParam VolumeParam;

union ParamBlockRec {
    IOParam ioParam;
    VolumeParam volumeParam;
};
typedef union ParamBlockRec ParamBlockRec;
typedef ParamBlockRec* ParmBlkPtr;

struct HIOParam {
    VANTREL_PB_HEADER;
    FSIORefNum ioRefNum;
    SInt8 ioVersNum;
    SInt8 ioPermssn;
    Ptr ioMisc;
    Ptr ioBuffer;
    SInt32 ioReqCount;
    SInt32 ioActCount;
    SInt16 ioPosMode;
    SInt32 ioPosOffset;
};
typedef struct HIOParam HIOParam;

struct HFileParam {
    VANTREL_PB_HEADER;
    FSIORefNum ioFRefNum;
    SInt8 ioFVersNum;
    SInt8 filler1;
    SInt16 ioFDirIndex;
    SInt8 ioFlAttrib;
    SInt8 ioFlVersNum;
    FileInfo ioFlFndrInfo;
    SInt32 ioDirID;
    UInt16 ioFlStBlk;
    SInt32 ioFlLgLen;
    SInt32 ioFlPyLen;
    UInt16 ioFlRStBlk;
    SInt32 ioFlRLgLen;
    SInt32 ioFlRPyLen;
    UInt32 ioFlCrDat;
    UInt32 ioFlMdDat;
};
typedef struct HFileParam HFileParam;

struct AccessParam {
    VANTREL_PB_HEADER;
    SInt16 filler3;
    SInt16 ioDenyModes;
    SInt16 filler4;
    SInt8 filler5;
    SInt8 ioACUser;
    SInt32 filler6;
    SInt32 ioACOwnID;
    SInt32 ioACGroupID;
    SInt32 ioACAccess;
    SInt32 ioDirID;
};
typedef struct AccessParam AccessParam;

struct ObjParam {
    VANTREL_PB_HEADER;
    SInt16 filler7;
    SInt16 ioObjType;
    StringPtr ioObjNamePtr;
    SInt32 ioObjID;
};
typedef struct ObjParam ObjParam;

struct CopyParam {
    VANTREL_PB_HEADER;
    SInt16 ioDstVRefNum;
    SInt16 filler8;
    StringPtr ioNewName;
    StringPtr ioCopyName;
    SInt32 ioNewDirID;
    SInt32 filler14;
    SInt32 filler15;
    SInt32 ioDirID;
};
typedef struct CopyParam CopyParam;

struct FIDParam {
    VANTREL_PB_HEADER;
    SInt32 filler14;
    StringPtr ioDestNamePtr;
    SInt32 filler15;
    SInt32 ioDestDirID;
    SInt32 filler16;
    SInt32 filler17;
    SInt32 ioSrcDirID;
    SInt16 filler18;
    SInt32 ioFileID;
};
typedef struct FIDParam FIDParam;

union HParamBlockRec {
    HIOParam ioParam;
    HFileParam fileParam;
    VolumeParam volumeParam;
    AccessParam accessParam;
    ObjParam objParam;
    CopyParam copyParam;
    FIDParam fidParam;
};
typedef union HParamBlockRec HParamBlockRec;
typedef HParamBlockRec* HParmBlkPtr;

// The Desktop Manager's parameter block (PBDTGetPath and the comment calls).
struct DTPBRec {
    VANTREL_PB_HEADER;
    SInt16 ioDTRefNum;
    SInt16 ioIndex;
    SInt32 ioTagInfo;
    Ptr ioDTBuffer;
    SInt32 ioDTReqCount;
    SInt32 ioDTActCount;
    SInt8 ioFiller1;
    UInt8 ioIconType;
    SInt16 ioFiller2;
    SInt32 ioDirID;
    OSType ioFileCreator;
    OSType ioFileType;
    SInt32 ioFiller3;
    SInt32 ioDTLgLen;
    SInt32 ioDTPhyLen;
    SInt16 ioFiller4[14];
    SInt32 ioAPPLParID;
};
typedef struct DTPBRec DTPBRec;
typedef DTPBRec* DTPBPtr;

// The longest Finder comment, in bytes of the system script.
enum { kDTCommentMaxLength = 200 };

struct FSRefParam {
    QElemPtr qLink;
    SInt16 qType;
    SInt16 ioTrap;
    Ptr ioCmdAddr;
    IOCompletionUPP ioCompletion;
    volatile OSErr ioResult;
    ConstStringPtr ioNamePtr;
    SInt16 ioVRefNum;
    SInt16 reserved1;
    UInt8 reserved2;
    UInt8 reserved3;
    const FSRef* ref;
    FSCatalogInfoBitmap whichInfo;
    FSCatalogInfo* catInfo;
    UniCharCount nameLength;
    const UniChar* name;
    SInt32 ioDirID;
    FSSpecPtr spec;
    FSRef* parentRef;
    FSRef* newRef;
    TextEncoding textEncodingHint;
    HFSUniStr255* outName;
};
typedef struct FSRefParam FSRefParam;
typedef FSRefParam* FSRefParamPtr;

// Object types of PBHMapIDSync / PBHMapNameSync.
enum { kOwnerID2Name = 1, kGroupID2Name = 2, kOwnerName2ID = 3, kGroupName2ID = 4 };

// Position modes.
enum {
    fsAtMark = 0,
    fsFromStart = 1,
    fsFromLEOF = 2,
    fsFromMark = 3,
    noCacheMask = 0x0020,
    pleaseCacheMask = 0x0010
};

// Fork access permissions of FSOpenFork.
enum { fsCurPerm = 0x00, fsRdPerm = 0x01, fsWrPerm = 0x02, fsRdWrPerm = 0x03, fsRdWrShPerm = 0x04 };

// Iterator flags.
enum {
    kFSIterateFlat = 0,
    kFSIterateSubtree = 1,
    kFSIterateDelete = 2,
    kFSIterateReserved = 0xFFFFFFFC
};

// Change notification messages.
enum { kFNDirectoryModifiedMessage = 1 };

// GetUTCDateTime options.
enum { kUTCDefaultOptions = 0 };

typedef struct OpaqueFSIterator* FSIterator;

struct CatPositionRec {
    SInt32 initialize;  // 0 starts an iteration
    SInt16 priv[6];
};
typedef struct CatPositionRec CatPositionRec;

struct FSForkInfo {
    SInt8 flags;
    SInt8 permissions;
    FSVolumeRefNum volume;
    UInt32 reserved2;
    UInt32 nodeID;
    UInt32 forkID;
    UInt64 currentPosition;
    SInt64 logicalEOF;
    SInt64 physicalEOF;
    SInt64 process;
};
typedef struct FSForkInfo FSForkInfo;

// ---------------------------------------------------------------- references and catalogue

// Makes a reference from a UTF-8 path (absolute, or relative to the working
// directory, which is process-wide). Links in the directories leading to
// the object are followed; a final symbolic link is not (the link itself is
// named); a path ending in "/", "." or ".." is resolved as POSIX resolves
// it, to a directory. fnfErr
// for an empty path or nothing there; dirNFErr when a component on the way
// is not a directory. isDirectory is optional.
VANTREL_EXPORT OSErr FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);
// Writes the object's absolute path: the names as they are on disk, so not
// always UTF-8. paramErr for a maxPathSize of 0; errFSNameTooLong when the
// path and its terminator do not fit in maxPathSize bytes; fnfErr when the
// directory that holds it has been deleted.
VANTREL_EXPORT OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);
// Reference of the item `name` inside the directory `parentRef`, found
// under any normal form it is stored in (composed first, then as given,
// then decomposed). The hint is not used: names are UTF-8. bdNamErr for an
// empty name, ".", "..", a NUL, a ":" or malformed UTF-16; errFSNameTooLong
// beyond 255 units or bytes; dirNFErr when parentRef is not a directory;
// fnfErr when there is no such item.
VANTREL_EXPORT OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength,
                                        const UniChar* name, TextEncoding textEncodingHint,
                                        FSRef* newRef);
// noErr when both references name one object on one volume, else
// errFSRefsDifferent. The same file reached through two mounts (a read-only
// bind mount beside the writable one) is two objects. Writes nothing.
VANTREL_EXPORT OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2);

// The catalogue fields `whichInfo` asks for, and optionally the object's
// Unicode name (decomposed; a byte that is not UTF-8 shows as U+FFFD; a
// volume's root has the volume's name), its legacy file record (a Pascal
// name that does not fit is "prefix#ID") and its parent's reference (80
// zero bytes for a volume's root). Each output is optional; catalogInfo
// null asks for no fields. Fields POSIX does not keep read as the Mac
// shows them unset (no backup date, no sharing flags). fnfErr when the
// parent directory asked for has gone. On failure the outputs may be
// partly written: use them only after noErr.
VANTREL_EXPORT OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                                      FSCatalogInfo* catalogInfo, HFSUniStr255* outName,
                                      FSSpec* fsSpec, FSRef* parentRef);
// Sets the settable fields `whichInfo` asks for (kFSCatInfoSettableInfo);
// other bits, and the attribute-modification date (the kernel keeps it), are
// ignored, and nothing asked for is noErr. A locked object changes only by
// being unlocked: fLckdErr for any other change to it. Locking or unlocking
// takes CAP_LINUX_IMMUTABLE (permErr without it); setting the owner takes
// the right to chown. paramErr for a null catalogInfo with fields asked for;
// errFSOperationNotSupported for dates kept in the record, or Finder
// information, on a symbolic link; a record that exists but cannot be read
// is not replaced (its error is returned). Undone on failure: every field
// already changed is put back.
VANTREL_EXPORT OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                                      const FSCatalogInfo* catalogInfo);

// Creates an empty file (or a directory) `name` in parentRef, then sets the
// settable catalogue fields asked for. The name is stored composed (NFC);
// the name rules of FSMakeFSRefUnicode apply. dupFNErr when the name is
// taken in any normal form; dirNFErr when parentRef is not a directory.
// Undone on failure: when the fields cannot be set the new object is removed
// again. newRef, newSpec and newDirID are optional, written only on success.
VANTREL_EXPORT OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength,
                                         const UniChar* name, FSCatalogInfoBitmap whichInfo,
                                         const FSCatalogInfo* catalogInfo, FSRef* newRef,
                                         FSSpec* newSpec);
VANTREL_EXPORT OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength,
                                              const UniChar* name, FSCatalogInfoBitmap whichInfo,
                                              const FSCatalogInfo* catalogInfo, FSRef* newRef,
                                              FSSpec* newSpec, UInt32* newDirID);
// Deletes a file, link or empty directory; every reference to it then
// answers fnfErr. A file's resource-fork sidecar goes with it, and a
// directory that holds nothing but orphan sidecars counts as empty. fBsyErr
// for a directory with items and for a volume's root; fLckdErr for a locked
// object, one whose sidecar is locked, or one in a locked directory.
VANTREL_EXPORT OSErr FSDeleteObject(const FSRef* ref);
// Moves the object into another directory of the same volume under its own
// name; `newRef` (optional) names it there, and every reference to it keeps
// naming it. Nothing is ever replaced: a name taken in the destination, in
// any normal form, is dupFNErr. A folder cannot go into itself or below
// itself, nor a volume's root anywhere (badMovErr); a destination that is not
// a folder is errFSNotAFolder, another volume diffVolErr. A move into the
// directory it is in already is noErr and changes nothing. A file's
// resource-fork sidecar follows it; when it cannot, the file is moved back:
// done or not at all, and newRef is written only on success.
VANTREL_EXPORT OSErr FSMoveObject(const FSRef* ref, const FSRef* destDirectory, FSRef* newRef);
// Gives the object a new name in its directory; it keeps its node ID and
// every reference to it keeps naming it. The name is stored composed (NFC,
// with the characters HFS+ leaves alone kept as they are). A name that
// another object has in any normal form is dupFNErr and nothing changes.
// Renaming to exactly the Unicode name an object left in this directory
// through these calls (as FSGetCatalogInfo showed it) gives back that
// name's bytes on disk, decomposed or not UTF-8 as they were: an undo or an
// exchange never rewrites a name. The hint is not used (names are UTF-8).
// The name rules of FSMakeFSRefUnicode apply. A volume's root cannot be
// renamed (wPrErr); a file with a resource fork cannot take a name that
// leaves no room for its sidecar (errFSNameTooLong). The sidecar follows the
// file; when it cannot, the file gets its old name back: done or not at all,
// and newRef (optional) is written only on success.
VANTREL_EXPORT OSErr FSRenameUnicode(const FSRef* ref, UniCharCount nameLength, const UniChar* name,
                                     TextEncoding textEncodingHint, FSRef* newRef);
// Exchanges two regular files of one volume in a single step, so that at no
// moment is either name missing or half-written (safe saving). Afterwards
// each name and place holds the other file's contents: both forks and the
// content-modification date. Everything else stays with the name and place:
// the creation, access and backup dates, permissions, owner, Finder
// information, extended Finder information, comment and file-ID record.
// Both references stay valid and follow the contents (`ref` names what now
// stands at `destRef`'s name and place); docs/names-and-exchange.md says
// what each reference names. A directory, a volume's root or anything but a
// regular file is notAFileErr, another volume diffVolErr, a file system
// without the exchange errFSOperationNotSupported (and from then on the
// volume's parameters no longer offer it); a file exchanged with itself is
// noErr and nothing happens. The resource forks' sidecars are traded too;
// errFSNameTooLong when one would not fit under the other file's name. On
// any failure both files are as they were: the attributes and sidecars
// already traded are given back.
VANTREL_EXPORT OSErr FSExchangeObjects(const FSRef* ref, const FSRef* destRef);

// Parameter-block forms: ioVRefNum + ioDirID + ioNamePtr (Pascal, Mac
// Roman, may be null or empty to name the directory itself, or the
// "prefix#ID" short form of FSGetCatalogInfo's legacy record) -> newRef.
// The item is found under any normal form its name is stored in.
// ioDirID 0 is the volume's root, fsRtParID with the volume's name its root
// too; ioVRefNum 0 is the default directory's volume, and with ioDirID 0
// the default directory itself. paramErr for a null newRef; dirNFErr for a
// directory ID this process has not seen (or whose directory has gone);
// bdNamErr for a name that does not convert; fnfErr when there is no such
// item.
VANTREL_EXPORT OSErr PBMakeFSRefSync(FSRefParam* paramBlock);
// ref (parent directory) + nameLength/name/textEncodingHint -> newRef, as
// FSMakeFSRefUnicode.
VANTREL_EXPORT OSErr PBMakeFSRefUnicodeSync(FSRefParam* paramBlock);

// ---------------------------------------------------------------- iterators

// An iterator lists one directory (no subtree), in the order the file
// system keeps, through a descriptor of its own opened relative to the
// directory's parent: a directory swapped for a link while it is listed
// keeps being the one that was opened. Iterators are process-wide and may
// be used from any thread, one call at a time (calls on one iterator are
// serialised), but must not be closed while another thread is using them.
// Open iterators are counted so that tests can prove none leaks.

// Opens an iterator over the directory. Flags: kFSIterateFlat, or
// kFSIterateDelete for a caller that deletes the items as it goes.
// errFSIteratorNotSupported for kFSIterateSubtree; errFSBadIteratorFlags
// for anything else; errFSNotAFolder for a file.
VANTREL_EXPORT OSErr FSOpenIterator(const FSRef* container, FSIteratorFlags iteratorFlags,
                                    FSIterator* iterator);
// Closes the iterator; it is released even when a failure is reported (as
// close(2) does), and must not be used again. errFSIteratorNotFound for one
// that is not open.
VANTREL_EXPORT OSErr FSCloseIterator(FSIterator iterator);
// The next items, at most maximumObjects, into the arrays given (each
// optional; names and legacy records as FSGetCatalogInfo gives them). The
// end of the directory is errFSNoMoreItems, returned together with the last
// items. *actualObjects counts the items written, on failure too: those
// are valid. An item deleted since the directory was read is passed over.
// *containerChanged (optional) says whether the directory changed since
// the iterator was opened. errFSIteratorNotFound for an iterator that is not
// open; errFSBadItemCount for a count of 0.
VANTREL_EXPORT OSErr FSGetCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                                          ItemCount* actualObjects, Boolean* containerChanged,
                                          FSCatalogInfoBitmap whichInfo,
                                          FSCatalogInfo* catalogInfos, FSRef* refs, FSSpec* specs,
                                          HFSUniStr255* names);

// ---------------------------------------------------------------- forks

// A regular file has two forks: the data fork (the file's contents, named by
// the empty name) and the resource fork ("RESOURCE_FORK"), which is absent
// until created or written. No other named forks are kept: another name is
// errFSForkNotFound, and anything but a regular file is notAFileErr. The
// resource fork is kept in the AppleDouble sidecar "._NAME" beside its file
// (one still in the file's attribute, from earlier versions, is read); a
// sidecar is never listed as an item of its own.
//
// A fork reference number is process-wide: opened on one thread, it may be
// used or closed on any other, and calls on one fork are serialised. Each
// number has its own mark (where an fsAtMark transfer starts) and its own
// open file description. A number not open is rfNumErr. Positions: a
// position before the start of the fork is posErr.

// The data fork's name (empty) and the resource fork's ("RESOURCE_FORK").
VANTREL_EXPORT OSErr FSGetDataForkName(HFSUniStr255* dataForkName);
VANTREL_EXPORT OSErr FSGetResourceForkName(HFSUniStr255* resourceForkName);
// Creates the file's empty resource fork. errFSForkExists for the data fork
// and for a resource fork the file already has; errFSNameTooLong when the
// file's name leaves no room for a sidecar; afpObjectTypeErr when something
// that is not a sidecar stands at the sidecar's name (as FSCopyFile and the
// moves say for it).
VANTREL_EXPORT OSErr FSCreateFork(const FSRef* ref, UniCharCount forkNameLength,
                                  const UniChar* forkName);
// Opens a fork and gives its reference number, its mark at the start.
// permissions: fsRdPerm reads; fsWrPerm and fsRdWrPerm read and write;
// fsRdWrShPerm writes beside other shared writers; fsCurPerm writes when the
// caller may, else reads. paramErr for another permission; opWrErr when
// another reference number (of this process) writes the same fork and the
// two are not both shared; tmfoErr when 32,767 forks are open; permErr when
// the caller may not open it so; fLckdErr for writing a locked file
// (fsCurPerm reads it then). A resource fork whose sidecar the caller may
// not write (locked, read-only, on a read-only mount) is opened and read;
// its writes give fLckdErr, permErr or vLckdErr and change nothing.
VANTREL_EXPORT OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength,
                                const UniChar* forkName, SInt8 permissions, FSIORefNum* forkRefNum);
// Closes the fork and releases its byte-range locks; the number is free
// again even when a failure (a write-back error close(2) reports) is
// returned.
VANTREL_EXPORT OSErr FSCloseFork(FSIORefNum forkRefNum);
// Makes what was written to the fork durable (fdatasync of the file or of
// the resource fork's sidecar; fsync for a resource fork still in the
// file's attribute).
VANTREL_EXPORT OSErr FSFlushFork(FSIORefNum forkRefNum);
// The fork's logical length.
VANTREL_EXPORT OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64* forkSize);
// Sets the fork's length to the position given; a mark past the new end
// moves to it. A longer data fork is allocated at once, so that a full disk
// (dskFulErr) shows here and not halfway through the writes that follow.
// wrPermErr for a fork opened for reading; for a resource fork, the codes of
// FSWriteFork for a sidecar that cannot be written. Undone on failure: the
// length and dates are as they were.
VANTREL_EXPORT OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode,
                                   SInt64 positionOffset);
// The fork's mark.
VANTREL_EXPORT OSErr FSGetForkPosition(FSIORefNum forkRefNum, SInt64* position);
// Moves the mark. Past the end the mark stops at the end and eofErr is
// returned.
VANTREL_EXPORT OSErr FSSetForkPosition(FSIORefNum forkRefNum, UInt16 positionMode,
                                       SInt64 positionOffset);
// Reads up to requestCount bytes from the position given (noCacheMask in
// positionMode: not kept in the page cache). eofErr when the end came first;
// the bytes before it are delivered. The mark moves past what was read, and
// *actualCount (optional) counts it, on failure too (it is set to 0 first).
VANTREL_EXPORT OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                                ByteCount requestCount, void* buffer, ByteCount* actualCount);
// Writes requestCount bytes at the position given, growing the fork as
// needed. wrPermErr for a fork opened for reading; fLckdErr for a locked
// file; dskFulErr for a full disk; ioErr for a resource fork whose sidecar
// has another entry after the fork, afpObjectTypeErr for one whose sidecar's
// name holds something else (neither is written). Not
// undone: on failure the bytes already written stay; the mark moves past
// them and *actualCount (optional, set to 0 first) counts them.
VANTREL_EXPORT OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                                 ByteCount requestCount, const void* buffer,
                                 ByteCount* actualCount);
// The object's forks, one per call: the data fork (empty name; a link or
// device has no data, so size 0), then the resource fork when the file has
// one, then errFSNoMoreItems; a folder has none. forkIterator->initialize
// counts the forks returned (0 starts over); paramErr for a null iterator or
// a count this call could not have left. Each other output optional.
VANTREL_EXPORT OSErr FSIterateForks(const FSRef* ref, CatPositionRec* forkIterator,
                                    HFSUniStr255* forkName, SInt64* forkSize,
                                    UInt64* forkPhysicalSize);
// What an open fork is: with desiredRefNum, that fork; with 0, the next
// open fork of `volume` (0: any) after the number in *iterator, in number
// order, and *iterator becomes its number (errFSNoMoreItems after the last;
// paramErr for a null iterator). Each other output optional; forkInfo may be
// written although reading the fork's size then fails.
VANTREL_EXPORT OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume,
                                     SInt16* iterator, FSIORefNum* actualRefNum,
                                     FSForkInfo* forkInfo, FSRef* ref, HFSUniStr255* outForkName);
// Legacy file reference number calls: refNum is a fork reference number.
// *count bytes are transferred at the fork's mark, and *count becomes what
// was transferred, on failure too. paramErr for a null or negative count;
// FSRead's eofErr and FSWrite's errors are FSReadFork's and FSWriteFork's.
VANTREL_EXPORT OSErr FSWrite(FSIORefNum refNum, SInt32* count, const void* buffPtr);
VANTREL_EXPORT OSErr FSRead(FSIORefNum refNum, SInt32* count, void* buffPtr);

// ---------------------------------------------------------------- volumes

// A volume is a mounted file system that holds files (a bind mount is a
// volume of its own); its reference number is negative and stays the same
// for the life of the process. Volume 0 is the default directory's volume.
// The volume calls re-read the mount table first, so they see mounts and
// unmounts at once. An unknown or unmounted volume is nsvErr.

// With volumeIndex > 0 the index-th volume in mount-table order (nsvErr past
// the last), else `volume`. Fills the fields whichInfo asks for: sizes from
// statvfs (free as an unprivileged caller may use it), flags (software-
// locked: mounted read-only; hardware-locked: the block device is
// read-only); what POSIX does not keep reads 0 (folder count, backup and
// checked dates, next catalogue ID). Each output optional; info may be
// partly written on failure.
VANTREL_EXPORT OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                                     FSVolumeRefNum* actualVolume, FSVolumeInfoBitmap whichInfo,
                                     FSVolumeInfo* info, HFSUniStr255* volumeName,
                                     FSRef* rootDirectory);
// Fills ioBuffer with up to ioReqCount bytes of the volume's
// GetVolParmsInfoBuffer (version 4) and sets ioActCount. The volume offers
// move-rename, file IDs and copying; FSExchangeObjects only where its file
// system has the exchange. paramErr for a null buffer or a negative count.
VANTREL_EXPORT OSErr PBHGetVolParmsSync(HParmBlkPtr paramBlock);
// The size (a UInt16 written at ioBuffer) of the record PBGetVolMountInfo
// writes; then that record at ioBuffer, which must hold the size given (the
// record carries no buffer size). paramErr for a null buffer.
VANTREL_EXPORT OSErr PBGetVolMountInfoSize(ParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBGetVolMountInfo(ParmBlkPtr paramBlock);
// Mounts the volume a record from PBGetVolMountInfo describes (ioBuffer) and
// sets ioVRefNum; a volume already mounted as described is the answer.
// paramErr for a record that is not one of ours, runs past its length, or
// names a directory that is not absolute or holds ".", ".." or "//"; permErr
// without the privilege to mount; fnfErr when its mount point or source is
// missing. A mount whose flags cannot be applied is taken away again.
VANTREL_EXPORT OSErr PBVolumeMount(ParmBlkPtr paramBlock);

// ---------------------------------------------------------------- legacy parameter-block calls

// Moves an object into another directory of the same volume and optionally
// renames it (ioCopyName, a Mac Roman Pascal name), in one rename: both
// happen or neither does. The rules of FSMoveObject apply; a destination
// that is not a folder is dirNFErr.
VANTREL_EXPORT OSErr PBHMoveRenameSync(HParmBlkPtr paramBlock);
// Copies the regular file ioVRefNum/ioDirID/ioNamePtr into the directory
// ioDstVRefNum (0: the source's volume)/ioNewDirID/ioNewName, named ioCopyName
// (a Mac Roman Pascal name) or, without one, as the source is on disk. The
// data goes by the file system's own copy (a reflink or a server-side copy
// where there is one); the copy takes the resource fork (its sidecar, made
// beside the copy after an orphan sidecar at the new name is removed), the
// Finder information, comment and dates record, the permission bits, and the
// modification and access times. The source keeps its own access time where
// the caller owns it or is privileged (copying it is no use of it). The copy
// belongs to the caller, is not locked and has no file ID until one is made.
// notAFileErr for anything but a regular
// file; dirNFErr for a destination that is not a folder; dupFNErr when the
// name is taken (nothing is ever replaced); errFSNameTooLong when the source
// has a resource fork and the new name leaves no room for its sidecar. The
// copy is built unnamed and named only when complete: a failure leaves nothing
// behind and no program sees a half-made copy (on a file system without
// unnamed files it is built under its name and removed on failure).
VANTREL_EXPORT OSErr PBHCopyFileSync(HParmBlkPtr paramBlock);
// File IDs: a file's ID is its node ID, which stays the same through any
// rename or move inside the volume, by this layer or by any other program.
// That the ID exists is recorded on the file itself, so it survives
// restarts; a copy that carries the record along is another file.
//
// Makes the ID of the file ioVRefNum/ioSrcDirID/ioNamePtr and sets
// ioFileID. notAFileErr for anything but a regular file; fidExists when the
// file has one already (ioFileID is that ID then too).
VANTREL_EXPORT OSErr PBCreateFileIDRefSync(HParmBlkPtr paramBlock);
// Finds the file with ID ioFileID on volume ioVRefNum (0: the default
// directory's) wherever it is now, and sets ioSrcDirID and, when ioNamePtr
// is given (a Str255), its Pascal name. Found from what this process knows,
// else by a walk of the volume that follows no link and never leaves it (the
// first resolution of an ID in a new process may take that long).
// fidNotFound when no file carries the ID.
VANTREL_EXPORT OSErr PBResolveFileIDRefSync(HParmBlkPtr paramBlock);
// Removes the file's ID record (the file stays). fidNotFound as above.
VANTREL_EXPORT OSErr PBDeleteFileIDRefSync(HParmBlkPtr paramBlock);
// User and group IDs and names, from the system's databases (through NSS:
// LDAP and sssd users too). A volume other than 0 is only checked to exist.
// Names are Pascal strings of at most 31 bytes in a Str31; an ID of 2^31 or
// more travels as the negative SInt32 with the same bits.
//
// ioObjID -> name at ioObjNamePtr, for kOwnerID2Name or kGroupID2Name.
// paramErr for a null name or another ioObjType; fnfErr for an ID nobody
// has; errFSNameTooLong for a name over 31 bytes (never cut: a cut name
// would map back to someone else).
VANTREL_EXPORT OSErr PBHMapIDSync(HParmBlkPtr paramBlock);
// Name at ioObjNamePtr -> ioObjID, for kOwnerName2ID or kGroupName2ID.
// paramErr for a null name or another ioObjType; fnfErr for a name nobody
// has (an empty name, or one holding a NUL, names nobody).
VANTREL_EXPORT OSErr PBHMapNameSync(HParmBlkPtr paramBlock);
// A directory's access rights on the owner, group and mode of its inode.
// The word ioACAccess holds three groups of rights, one byte each: the
// owner's (bits 0-2), the group's (8-10), everyone's (16-18); in each, bit 0
// is search (see folders), 1 read (see files), 2 write (make changes): the
// x, r and w of the matching mode triplet. Bits 24-26 are the caller's own
// rights in the same form and bit 31 says it owns the directory; they are
// reported, never set. Bit 28 (blank access, "use the parent's") has no
// counterpart here: never reported, ignored when set.
//
// ioACOwnID, ioACGroupID, ioACAccess and ioACUser (the caller's rights in
// the user-privileges form) of the directory. dirNFErr for anything but a
// directory (a link to one too).
VANTREL_EXPORT OSErr PBHGetDirAccessSync(HParmBlkPtr paramBlock);
// Sets owner and group (an ID of -1 leaves that one) and the rights of the
// word; the setuid, setgid and sticky bits are kept. dirNFErr as above;
// permErr without the right to chown or chmod. Undone on failure: when the
// mode cannot be set, the owner and group are put back.
VANTREL_EXPORT OSErr PBHSetDirAccessSync(HParmBlkPtr paramBlock);
// Byte-range locks on an open fork (ioRefNum): ioReqCount bytes from the
// position of ioPosMode and ioPosOffset, -1 meaning "to the end, however
// long the fork grows". A fork opened for writing takes an exclusive lock,
// one for reading a shared one (which still keeps writers out). Locks
// belong to the fork reference number: refused to every other one, in this
// process or another, and gone when it is closed. Advisory, as every POSIX
// lock: they bind programs that ask. Ranges of one fork that overlap merge,
// and unlocking a range nobody locked is noErr. paramErr for a count of 0
// or below -1; posErr for a position before the start; afpRangeOverlap for
// a range another reference number holds; memFullErr when the kernel's lock
// table is full.
VANTREL_EXPORT OSErr PBLockRangeSync(ParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBUnlockRangeSync(ParmBlkPtr paramBlock);

// Finder comments (the Desktop Manager). PBDTGetPath gives in ioDTRefNum
// the desktop database of the volume ioVRefNum (0: the default volume), or
// of the volume named by ioNamePtr; nsvErr when there is none. The comment
// calls name the item by ioDTRefNum, ioDirID and ioNamePtr (a Mac Roman
// Pascal name; null or empty names the folder ioDirID itself), as an FSSpec
// does. A comment is up to 200 bytes of text in the system script,
// kept in the item's metadata record beside its Finder information, so that
// Netatalk and Samba show it to Mac clients.
//  - Get copies at most ioDTReqCount bytes to ioDTBuffer and sets
//    ioDTActCount; afpItemNotFound when the item has no comment.
//  - Set stores ioDTReqCount bytes of ioDTBuffer, cut to the first 200 as on
//    the Mac; none (0 bytes) removes the comment. A zero byte inside the
//    comment is paramErr: it would end the comment there. Every other byte
//    of the record is kept. A locked item is fLckdErr; only files and
//    folders have a record (errFSOperationNotSupported for a symbolic link,
//    a FIFO, a socket or a device).
//  - Remove deletes the comment; afpItemNotFound when there was none.
// An invalid ioDTRefNum is rfNumErr.
VANTREL_EXPORT OSErr PBDTGetPath(DTPBPtr paramBlock);
VANTREL_EXPORT OSErr PBDTGetCommentSync(DTPBPtr paramBlock);
VANTREL_EXPORT OSErr PBDTSetCommentSync(DTPBPtr paramBlock);
VANTREL_EXPORT OSErr PBDTRemoveCommentSync(DTPBPtr paramBlock);

// The default directory is the process's working directory: process-wide,
// shared by every thread, and what relative paths are resolved against.
//
// Its volume and directory ID and, in volName (optional, at least 28
// bytes), the volume's name cut to 27 bytes. Each output optional.
VANTREL_EXPORT OSErr HGetVol(StringPtr volName, FSVolumeRefNum* vRefNum, SInt32* dirID);
// Makes directory dirID of the volume the default directory (dirID 0: the
// volume's root), opened through its parent, never through a link put in
// its place. Volume names do not choose a volume: paramErr for a volName
// that is not null or empty; dirNFErr for a directory ID this process has
// not seen, or a file. Nothing changes on failure.
VANTREL_EXPORT OSErr HSetVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID);

// ---------------------------------------------------------------- notification and dates

typedef struct OpaqueFNSubscriptionRef* FNSubscriptionRef;
typedef void (*FNSubscriptionProcPtr)(FNMessage message, OptionBits flags, void* refcon,
                                      FNSubscriptionRef subscription);
typedef FNSubscriptionProcPtr FNSubscriptionUPP;

// Change announcements stay inside this process: nothing is sent to other
// processes (they learn of changes from the file system, with inotify for
// example). Subscriptions are process-wide. Callbacks run on the announcing
// thread with a process-wide lock held: a callback may subscribe,
// unsubscribe (itself too) or announce again, and FNUnsubscribe from
// another thread waits until a delivery in progress has ended, so a context
// is never used after its subscription is gone.

// Announces that the directory `ref` changed: every subscriber of that
// directory (and every subscriber to all directories) present when the call
// began is called before it returns. dirNFErr when `ref` is not a directory.
VANTREL_EXPORT OSStatus FNNotify(const FSRef* ref, FNMessage message, OptionBits flags);
// Subscribes `callback` to the directory's announcements; a null directory
// subscribes to every directory. The directory is held by its volume and
// node ID, so the subscription follows it through renames and moves.
// Options are not used. paramErr for a null callback or output; dirNFErr
// when directoryRef is not a directory. *subscription is written only on
// success.
VANTREL_EXPORT OSStatus FNSubscribe(const FSRef* directoryRef, FNSubscriptionUPP callback,
                                    void* context, OptionBits options,
                                    FNSubscriptionRef* subscription);
// Ends a subscription; paramErr for one that is not active (ended already,
// or never made).
VANTREL_EXPORT OSStatus FNUnsubscribe(FNSubscriptionRef subscription);

// The system clock as seconds since 1904-01-01 00:00 UTC and a 1/65536
// fraction. paramErr for options other than kUTCDefaultOptions.
VANTREL_EXPORT OSErr GetUTCDateTime(UTCDateTime* utcDateTime, OptionBits options);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
