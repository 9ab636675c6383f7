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
// Every operation goes through the project's fault seam under its own name,
// so the tests can make it fail (a test facility, not part of this
// interface). See docs/filemanager-platform.md for how each concept maps onto
// Linux and for the errno-to-OSErr table.
#pragma once

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
    UInt16 fraction;     // 1/65536 of a second
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
    UInt32 permissions[4];   // an FSPermissionInfo
    UInt8 finderInfo[16];    // FileInfo or FolderInfo, host byte order
    UInt8 extFinderInfo[16]; // ExtendedFileInfo or ExtendedFolderInfo, host byte order
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

#define VANTREL_PB_HEADER      \
    QElemPtr qLink;            \
    SInt16 qType;              \
    SInt16 ioTrap;             \
    Ptr ioCmdAddr;             \
    IOCompletionUPP ioCompletion; \
    volatile OSErr ioResult;   \
    StringPtr ioNamePtr;       \
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
enum { kFSIterateFlat = 0, kFSIterateSubtree = 1, kFSIterateDelete = 2, kFSIterateReserved = 0xFFFFFFFC };

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
// directory). A final symbolic link is not followed (the link itself is named).
VANTREL_EXPORT OSErr FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);
// Writes the object's absolute UTF-8 path; errFSNameTooLong (-1410)... when it
// does not fit in maxPathSize bytes with its terminator.
VANTREL_EXPORT OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);
// Reference of the item `name` inside the directory `parentRef`.
VANTREL_EXPORT OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                                        TextEncoding textEncodingHint, FSRef* newRef);
VANTREL_EXPORT OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2);

VANTREL_EXPORT OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                                      HFSUniStr255* outName, FSSpec* fsSpec, FSRef* parentRef);
VANTREL_EXPORT OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                                      const FSCatalogInfo* catalogInfo);

VANTREL_EXPORT OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                                         FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                                         FSRef* newRef, FSSpec* newSpec);
VANTREL_EXPORT OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength,
                                              const UniChar* name, FSCatalogInfoBitmap whichInfo,
                                              const FSCatalogInfo* catalogInfo, FSRef* newRef, FSSpec* newSpec,
                                              UInt32* newDirID);
VANTREL_EXPORT OSErr FSDeleteObject(const FSRef* ref);
// Moves the object into another directory of the same volume under its own
// name; `newRef` (optional) names it there, and every reference to it keeps
// naming it. Nothing is ever replaced: a name taken in the destination, in
// any normal form, is dupFNErr. A folder cannot go into itself or below
// itself, nor a volume's root anywhere (badMovErr); a destination that is not
// a folder is errFSNotAFolder, another volume diffVolErr.
VANTREL_EXPORT OSErr FSMoveObject(const FSRef* ref, const FSRef* destDirectory, FSRef* newRef);
// Gives the object a new name in its directory; it keeps its node ID and
// every reference to it keeps naming it. The name is stored composed (NFC,
// with the characters HFS+ leaves alone kept as they are). A name that
// another object has in any normal form is dupFNErr and nothing changes.
// Renaming to exactly the Unicode name an object left in this directory
// through these calls (as FSGetCatalogInfo showed it) gives back that
// name's bytes on disk, decomposed or not UTF-8 as they were: an undo or an
// exchange never rewrites a name. The hint is not used (names are UTF-8). A
// volume's root cannot be renamed (wPrErr).
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
// without the exchange errFSOperationNotSupported; a file exchanged with
// itself is noErr and nothing happens. On any failure both files are as
// they were.
VANTREL_EXPORT OSErr FSExchangeObjects(const FSRef* ref, const FSRef* destRef);

// Parameter-block forms: ioVRefNum + ioDirID + ioNamePtr (Pascal, may be null
// or empty to name the directory itself) -> newRef.
VANTREL_EXPORT OSErr PBMakeFSRefSync(FSRefParam* paramBlock);
// ref (parent directory) + nameLength/name/textEncodingHint -> newRef.
VANTREL_EXPORT OSErr PBMakeFSRefUnicodeSync(FSRefParam* paramBlock);

// ---------------------------------------------------------------- iterators

// Open iterators are counted so that tests can prove none leaks.
VANTREL_EXPORT OSErr FSOpenIterator(const FSRef* container, FSIteratorFlags iteratorFlags, FSIterator* iterator);
VANTREL_EXPORT OSErr FSCloseIterator(FSIterator iterator);
VANTREL_EXPORT OSErr FSGetCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects, ItemCount* actualObjects,
                                          Boolean* containerChanged, FSCatalogInfoBitmap whichInfo,
                                          FSCatalogInfo* catalogInfos, FSRef* refs, FSSpec* specs,
                                          HFSUniStr255* names);

// ---------------------------------------------------------------- forks

VANTREL_EXPORT OSErr FSGetDataForkName(HFSUniStr255* dataForkName);
VANTREL_EXPORT OSErr FSGetResourceForkName(HFSUniStr255* resourceForkName);
VANTREL_EXPORT OSErr FSCreateFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName);
VANTREL_EXPORT OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName,
                                SInt8 permissions, FSIORefNum* forkRefNum);
VANTREL_EXPORT OSErr FSCloseFork(FSIORefNum forkRefNum);
VANTREL_EXPORT OSErr FSFlushFork(FSIORefNum forkRefNum);
VANTREL_EXPORT OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64* forkSize);
VANTREL_EXPORT OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset);
VANTREL_EXPORT OSErr FSGetForkPosition(FSIORefNum forkRefNum, SInt64* position);
VANTREL_EXPORT OSErr FSSetForkPosition(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset);
VANTREL_EXPORT OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                                ByteCount requestCount, void* buffer, ByteCount* actualCount);
VANTREL_EXPORT OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                                 ByteCount requestCount, const void* buffer, ByteCount* actualCount);
VANTREL_EXPORT OSErr FSIterateForks(const FSRef* ref, CatPositionRec* forkIterator, HFSUniStr255* forkName,
                                    SInt64* forkSize, UInt64* forkPhysicalSize);
VANTREL_EXPORT OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume, SInt16* iterator,
                                     FSIORefNum* actualRefNum, FSForkInfo* forkInfo, FSRef* ref,
                                     HFSUniStr255* outForkName);
// Legacy file reference number calls: refNum is a fork reference number.
VANTREL_EXPORT OSErr FSWrite(FSIORefNum refNum, SInt32* count, const void* buffPtr);
VANTREL_EXPORT OSErr FSRead(FSIORefNum refNum, SInt32* count, void* buffPtr);

// ---------------------------------------------------------------- volumes

VANTREL_EXPORT OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex, FSVolumeRefNum* actualVolume,
                                     FSVolumeInfoBitmap whichInfo, FSVolumeInfo* info, HFSUniStr255* volumeName,
                                     FSRef* rootDirectory);
VANTREL_EXPORT OSErr PBHGetVolParmsSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBGetVolMountInfoSize(ParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBGetVolMountInfo(ParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBVolumeMount(ParmBlkPtr paramBlock);

// ---------------------------------------------------------------- legacy parameter-block calls

// Moves an object into another directory of the same volume and optionally
// renames it (ioCopyName, a Mac Roman Pascal name), in one rename: both
// happen or neither does. The rules of FSMoveObject apply; a destination
// that is not a folder is dirNFErr.
VANTREL_EXPORT OSErr PBHMoveRenameSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBHCopyFileSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBCreateFileIDRefSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBResolveFileIDRefSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBDeleteFileIDRefSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBHMapIDSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBHMapNameSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBHGetDirAccessSync(HParmBlkPtr paramBlock);
VANTREL_EXPORT OSErr PBHSetDirAccessSync(HParmBlkPtr paramBlock);
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

// The default directory (the process's working directory).
VANTREL_EXPORT OSErr HGetVol(StringPtr volName, FSVolumeRefNum* vRefNum, SInt32* dirID);
VANTREL_EXPORT OSErr HSetVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID);

// ---------------------------------------------------------------- notification and dates

typedef struct OpaqueFNSubscriptionRef* FNSubscriptionRef;
typedef void (*FNSubscriptionProcPtr)(FNMessage message, OptionBits flags, void* refcon,
                                      FNSubscriptionRef subscription);
typedef FNSubscriptionProcPtr FNSubscriptionUPP;

// Announces that the directory `ref` changed. Delivered synchronously to the
// subscribers of that directory in this process.
VANTREL_EXPORT OSStatus FNNotify(const FSRef* ref, FNMessage message, OptionBits flags);
VANTREL_EXPORT OSStatus FNSubscribe(const FSRef* directoryRef, FNSubscriptionUPP callback, void* context,
                                    OptionBits options, FNSubscriptionRef* subscription);
VANTREL_EXPORT OSStatus FNUnsubscribe(FNSubscriptionRef subscription);

VANTREL_EXPORT OSErr GetUTCDateTime(UTCDateTime* utcDateTime, OptionBits options);

VANTREL_EXTERN_C_END
