#include "result_codes.h"

#include <algorithm>
#include <array>
#include <string>

#include "vantrel/MacTypes.h"

namespace fmutil {
namespace {

// Every code the platform declares. Meanings are written for someone at a
// shell prompt, not for the programmer who wrote the call.
constexpr std::array kCodes{
    ResultCode{noErr, "noErr", "no error"},
    ResultCode{dirFulErr, "dirFulErr", "the directory is full"},
    ResultCode{dskFulErr, "dskFulErr", "the disk is full"},
    ResultCode{nsvErr, "nsvErr", "no such volume"},
    ResultCode{ioErr, "ioErr", "input/output error"},
    ResultCode{bdNamErr, "bdNamErr", "the name is not valid"},
    ResultCode{fnOpnErr, "fnOpnErr", "the file is not open"},
    ResultCode{eofErr, "eofErr", "end of file"},
    ResultCode{posErr, "posErr", "position before the start of the file"},
    ResultCode{tmfoErr, "tmfoErr", "too many files open"},
    ResultCode{fnfErr, "fnfErr", "no such file or directory"},
    ResultCode{wPrErr, "wPrErr", "the disk is write-protected"},
    ResultCode{fLckdErr, "fLckdErr", "the file is locked"},
    ResultCode{vLckdErr, "vLckdErr", "the volume is locked"},
    ResultCode{fBsyErr, "fBsyErr", "the file is busy or the directory is not empty"},
    ResultCode{dupFNErr, "dupFNErr", "an item with that name already exists"},
    ResultCode{opWrErr, "opWrErr", "the file is already open for writing"},
    ResultCode{paramErr, "paramErr", "a parameter is not valid"},
    ResultCode{rfNumErr, "rfNumErr", "bad file reference number"},
    ResultCode{permErr, "permErr", "permission denied"},
    ResultCode{wrPermErr, "wrPermErr", "no permission to write"},
    ResultCode{memFullErr, "memFullErr", "out of memory"},
    ResultCode{nilHandleErr, "nilHandleErr", "the handle is null"},
    ResultCode{memWZErr, "memWZErr", "the memory block is not valid"},
    ResultCode{dirNFErr, "dirNFErr", "not a directory, or the directory was not found"},
    ResultCode{tmwdoErr, "tmwdoErr", "too many working directories open"},
    ResultCode{badMovErr, "badMovErr", "cannot move an item into itself or its own subdirectory"},
    ResultCode{wrgVolTypErr, "wrgVolTypErr", "the volume does not support this operation"},
    ResultCode{volGoneErr, "volGoneErr", "the server volume was disconnected"},
    ResultCode{fidNotFound, "fidNotFound", "no file has that file ID"},
    ResultCode{fidExists, "fidExists", "the file already has a file ID"},
    ResultCode{notAFileErr, "notAFileErr", "it is a directory, not a file"},
    ResultCode{diffVolErr, "diffVolErr", "the items are on different volumes"},
    ResultCode{sameFileErr, "sameFileErr", "both names refer to the same file"},
    ResultCode{errFSBadFSRef, "errFSBadFSRef", "the file reference is not valid"},
    ResultCode{errFSBadForkName, "errFSBadForkName", "the fork name is not valid"},
    ResultCode{errFSBadBuffer, "errFSBadBuffer", "a buffer is missing or not valid"},
    ResultCode{errFSBadForkRef, "errFSBadForkRef", "the fork reference is not valid"},
    ResultCode{errFSBadInfoBitmap, "errFSBadInfoBitmap", "unsupported information was requested"},
    ResultCode{errFSMissingCatInfo, "errFSMissingCatInfo", "catalogue information is missing"},
    ResultCode{errFSNotAFolder, "errFSNotAFolder", "not a directory"},
    ResultCode{errFSForkNotFound, "errFSForkNotFound", "the fork does not exist"},
    ResultCode{errFSNameTooLong, "errFSNameTooLong", "the name or path is too long"},
    ResultCode{errFSMissingName, "errFSMissingName", "a name is required"},
    ResultCode{errFSBadPosMode, "errFSBadPosMode", "the position mode is not valid"},
    ResultCode{errFSBadAllocFlags, "errFSBadAllocFlags", "the allocation flags are not valid"},
    ResultCode{errFSNoMoreItems, "errFSNoMoreItems", "no more items"},
    ResultCode{errFSBadItemCount, "errFSBadItemCount", "the item count is not valid"},
    ResultCode{errFSBadSearchParams, "errFSBadSearchParams", "the search parameters are not valid"},
    ResultCode{errFSRefsDifferent, "errFSRefsDifferent", "the references name different items"},
    ResultCode{errFSForkExists, "errFSForkExists", "the fork already exists"},
    ResultCode{errFSBadIteratorFlags, "errFSBadIteratorFlags", "the iterator flags are not valid"},
    ResultCode{errFSIteratorNotFound, "errFSIteratorNotFound", "the iterator is not valid"},
    ResultCode{errFSIteratorNotSupported, "errFSIteratorNotSupported",
               "this kind of iteration is not supported"},
    ResultCode{errFSQuotaExceeded, "errFSQuotaExceeded", "the disk quota is exceeded"},
    ResultCode{errFSOperationNotSupported, "errFSOperationNotSupported",
               "the operation is not supported"},
    ResultCode{errFSAttributeNotFound, "errFSAttributeNotFound", "the attribute does not exist"},
    ResultCode{errFSPropertyNotValid, "errFSPropertyNotValid", "the property is not valid"},
    ResultCode{errFSNotEnoughSpaceForOperation, "errFSNotEnoughSpaceForOperation",
               "not enough space for the operation"},
    ResultCode{afpAccessDenied, "afpAccessDenied", "access denied"},
    ResultCode{afpObjectTypeErr, "afpObjectTypeErr", "the item is of the wrong kind"},
    ResultCode{afpIDNotFound, "afpIDNotFound", "no file has that file ID"},
    ResultCode{afpIDExists, "afpIDExists", "the file already has a file ID"},
    ResultCode{afpCatalogChanged, "afpCatalogChanged",
               "the catalogue changed during the operation"},
    ResultCode{afpSameObjectErr, "afpSameObjectErr", "both names refer to the same item"},
    ResultCode{afpBadIDErr, "afpBadIDErr", "the file ID is not valid"},
    ResultCode{kTextUnsupportedEncodingErr, "kTextUnsupportedEncodingErr",
               "the text encoding is not supported"},
    ResultCode{kTextMalformedInputErr, "kTextMalformedInputErr", "the text is malformed"},
    ResultCode{kTextUndefinedElementErr, "kTextUndefinedElementErr",
               "a character has no equivalent in the target encoding"},
    ResultCode{kTECMissingTableErr, "kTECMissingTableErr", "a conversion table is missing"},
    ResultCode{kTECBufferBelowMinimumSizeErr, "kTECBufferBelowMinimumSizeErr",
               "the output buffer is too small"},
    ResultCode{kTECOutputBufferFullStatus, "kTECOutputBufferFullStatus",
               "the converted name is too long"},
    ResultCode{kTECPartialCharErr, "kTECPartialCharErr", "the text ends inside a character"},
    ResultCode{kTECUnmappableElementErr, "kTECUnmappableElementErr",
               "a character cannot be converted"},
    ResultCode{kTECIncompleteElementErr, "kTECIncompleteElementErr",
               "the text ends inside an element"},
    ResultCode{kTECNullPointerErr, "kTECNullPointerErr", "a required text buffer is missing"},
};

}  // namespace

const ResultCode* find_result_code(long code) noexcept {
    auto it = std::find_if(kCodes.begin(), kCodes.end(),
                           [code](const ResultCode& r) { return r.code == code; });
    return it == kCodes.end() ? nullptr : &*it;
}

std::string describe_result(long code) {
    const ResultCode* r = find_result_code(code);
    if (r == nullptr) return "error " + std::to_string(code) + ": unknown result code";
    return std::string(r->name) + " (" + std::to_string(code) + "): " + std::string(r->meaning);
}

}  // namespace fmutil
