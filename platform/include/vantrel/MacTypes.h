// The platform's basic types and result codes.
//
// The system was written against the Mac OS X (32-bit) headers; these are the
// same names with the same widths on Linux x86_64. Where the original used
// `long` for a 32-bit quantity inside a C structure we use SInt32/UInt32 so that
// widths stay as documented; C++ entry points whose mangled names must match
// keep `long` in their signatures.
//
//   OSErr err = FSPathMakeRef((const UInt8*)"/tmp", &ref, nullptr);
//   if (err != noErr) { ... }
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <stddef.h>
#include <stdint.h>

#include "vantrel/Export.h"

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef unsigned char Boolean;
typedef UInt32 OptionBits;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;
typedef UInt32 ItemCount;
typedef UInt32 ByteCount;
typedef UInt32 ByteOffset;
typedef UInt16 UniChar;
typedef UInt32 UniCharCount;
typedef UInt32 TextEncoding;
typedef SInt16 ScriptCode;
typedef SInt16 LangCode;
typedef SInt16 RegionCode;
typedef void* LogicalAddress;
typedef const void* ConstLogicalAddress;

typedef char* Ptr;
typedef Ptr* Handle;
typedef long Size;

typedef unsigned char Str255[256];
typedef unsigned char Str63[64];
typedef unsigned char Str31[32];
typedef unsigned char Str27[28];
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;
typedef const unsigned char* ConstStr255Param;
typedef const unsigned char* ConstStr63Param;
typedef const unsigned char* ConstStr31Param;
typedef Str63 StrFileName;

#ifndef __cplusplus
#ifndef true
#define true 1
#define false 0
#endif
#endif

enum { kNilOptions = 0 };

// Result codes. The values are the platform's own; the File Manager layer maps
// errno values onto them (see docs/filemanager-platform.md).
enum {
    noErr = 0,
    dirFulErr = -33,
    dskFulErr = -34,
    nsvErr = -35,
    ioErr = -36,
    bdNamErr = -37,
    fnOpnErr = -38,
    eofErr = -39,
    posErr = -40,
    tmfoErr = -42,
    fnfErr = -43,
    wPrErr = -44,
    fLckdErr = -45,
    vLckdErr = -46,
    fBsyErr = -47,
    dupFNErr = -48,
    opWrErr = -49,
    paramErr = -50,
    rfNumErr = -51,
    permErr = -54,
    wrPermErr = -61,
    memFullErr = -108,
    nilHandleErr = -109,
    memWZErr = -111,
    dirNFErr = -120,
    tmwdoErr = -121,
    badMovErr = -122,
    wrgVolTypErr = -123,
    volGoneErr = -124,
    fidNotFound = -1300,
    fidExists = -1301,
    notAFileErr = -1302,
    diffVolErr = -1303,
    sameFileErr = -1306,
    fileBoundsErr = -1309,
    errFSBadFSRef = -1401,
    errFSBadForkName = -1402,
    errFSBadBuffer = -1403,
    errFSBadForkRef = -1404,
    errFSBadInfoBitmap = -1405,
    errFSMissingCatInfo = -1406,
    errFSNotAFolder = -1407,
    errFSForkNotFound = -1409,
    errFSNameTooLong = -1410,
    errFSMissingName = -1411,
    errFSBadPosMode = -1412,
    errFSBadAllocFlags = -1413,
    errFSNoMoreItems = -1417,
    errFSBadItemCount = -1418,
    errFSBadSearchParams = -1419,
    errFSRefsDifferent = -1420,
    errFSForkExists = -1421,
    errFSBadIteratorFlags = -1422,
    errFSIteratorNotFound = -1423,
    errFSIteratorNotSupported = -1424,
    errFSQuotaExceeded = -1425,
    errFSOperationNotSupported = -1426,
    errFSAttributeNotFound = -1427,
    errFSPropertyNotValid = -1428,
    errFSNotEnoughSpaceForOperation = -1429,
    afpAccessDenied = -5000,
    afpItemNotFound = -5018,
    afpRangeOverlap = -5021,
    afpObjectTypeErr = -5025,
    afpIDNotFound = -5034,
    afpIDExists = -5035,
    afpCatalogChanged = -5037,
    afpSameObjectErr = -5038,
    afpBadIDErr = -5039
};

// Text Encoding Conversion Manager status codes (negative OSStatus values,
// returned unchanged through the OSErr-returning name converters).
enum {
    kTextUnsupportedEncodingErr = -8738,
    kTextMalformedInputErr = -8739,
    kTextUndefinedElementErr = -8740,
    kTECMissingTableErr = -8745,
    kTECBufferBelowMinimumSizeErr = -8750,
    kTECOutputBufferFullStatus = -8785,
    kTECPartialCharErr = -8753,
    kTECUnmappableElementErr = -8754,
    kTECIncompleteElementErr = -8755,
    kTECNullPointerErr = -8767
};

VANTREL_EXTERN_C_BEGIN

// The name of a result code as declared above ("fnfErr" for -43), or null
// for a value the platform does not name; for messages and test output, as
// libuv's uv_err_name and SQLite's sqlite3ErrName are. Any thread.
//
//   const char* name = GetOSErrName(err);
//   std::fprintf(stderr, "%s (%d)\n", name ? name : "unnamed result", err);
VANTREL_EXPORT const char* GetOSErrName(OSStatus err);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
