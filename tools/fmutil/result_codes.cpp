#include "result_codes.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "vantrel/MacTypes.h"

namespace fmutil {
namespace {

struct Meaning {
    long code;
    std::string_view meaning;
};

// Every code the platform declares; its name comes from the platform
// (GetOSErrName). Meanings are written for someone at a shell prompt, not
// for the programmer who wrote the call.
constexpr std::array kMeanings{
    Meaning{noErr, "no error"},
    Meaning{dirFulErr, "the directory is full"},
    Meaning{dskFulErr, "the disk is full"},
    Meaning{nsvErr, "no such volume"},
    Meaning{ioErr, "input/output error"},
    Meaning{bdNamErr, "the name is not valid"},
    Meaning{fnOpnErr, "the file is not open"},
    Meaning{eofErr, "end of file"},
    Meaning{posErr, "position before the start of the file"},
    Meaning{tmfoErr, "too many files open"},
    Meaning{fnfErr, "no such file or directory"},
    Meaning{wPrErr, "the disk is write-protected"},
    Meaning{fLckdErr, "the file is locked"},
    Meaning{vLckdErr, "the volume is locked"},
    Meaning{fBsyErr, "the file is busy or the directory is not empty"},
    Meaning{dupFNErr, "an item with that name already exists"},
    Meaning{opWrErr, "the file is already open for writing"},
    Meaning{paramErr, "a parameter is not valid"},
    Meaning{rfNumErr, "bad file reference number"},
    Meaning{permErr, "permission denied"},
    Meaning{wrPermErr, "no permission to write"},
    Meaning{memFullErr, "out of memory"},
    Meaning{nilHandleErr, "the handle is null"},
    Meaning{memWZErr, "the memory block is not valid"},
    Meaning{dirNFErr, "not a directory, or the directory was not found"},
    Meaning{tmwdoErr, "too many working directories open"},
    Meaning{badMovErr, "cannot move an item into itself or its own subdirectory"},
    Meaning{wrgVolTypErr, "the volume does not support this operation"},
    Meaning{volGoneErr, "the server volume was disconnected"},
    Meaning{fidNotFound, "no file has that file ID"},
    Meaning{fidExists, "the file already has a file ID"},
    Meaning{notAFileErr, "not a plain file"},
    Meaning{diffVolErr, "the items are on different volumes"},
    Meaning{sameFileErr, "both names refer to the same file"},
    Meaning{fileBoundsErr, "the file would be larger than its format allows"},
    Meaning{errFSBadFSRef, "the file reference is not valid"},
    Meaning{errFSBadForkName, "the fork name is not valid"},
    Meaning{errFSBadBuffer, "a buffer is missing or not valid"},
    Meaning{errFSBadForkRef, "the fork reference is not valid"},
    Meaning{errFSBadInfoBitmap, "unsupported information was requested"},
    Meaning{errFSMissingCatInfo, "catalogue information is missing"},
    Meaning{errFSNotAFolder, "not a directory"},
    Meaning{errFSForkNotFound, "the fork does not exist"},
    Meaning{errFSNameTooLong, "the name or path is too long"},
    Meaning{errFSMissingName, "a name is required"},
    Meaning{errFSBadPosMode, "the position mode is not valid"},
    Meaning{errFSBadAllocFlags, "the allocation flags are not valid"},
    Meaning{errFSNoMoreItems, "no more items"},
    Meaning{errFSBadItemCount, "the item count is not valid"},
    Meaning{errFSBadSearchParams, "the search parameters are not valid"},
    Meaning{errFSRefsDifferent, "the references name different items"},
    Meaning{errFSForkExists, "the fork already exists"},
    Meaning{errFSBadIteratorFlags, "the iterator flags are not valid"},
    Meaning{errFSIteratorNotFound, "the iterator is not valid"},
    Meaning{errFSIteratorNotSupported, "this kind of iteration is not supported"},
    Meaning{errFSQuotaExceeded, "the disk quota is exceeded"},
    Meaning{errFSOperationNotSupported, "the operation is not supported"},
    Meaning{errFSAttributeNotFound, "the attribute does not exist"},
    Meaning{errFSPropertyNotValid, "the property is not valid"},
    Meaning{errFSNotEnoughSpaceForOperation, "not enough space for the operation"},
    Meaning{afpAccessDenied, "access denied"},
    Meaning{afpItemNotFound, "the item has no such entry (no comment)"},
    Meaning{afpRangeOverlap, "another holder has locked that range"},
    Meaning{afpObjectTypeErr, "the item is of the wrong kind"},
    Meaning{afpIDNotFound, "no file has that file ID"},
    Meaning{afpIDExists, "the file already has a file ID"},
    Meaning{afpCatalogChanged, "the catalogue changed during the operation"},
    Meaning{afpSameObjectErr, "both names refer to the same item"},
    Meaning{afpBadIDErr, "the file ID is not valid"},
    Meaning{kTextUnsupportedEncodingErr, "the text encoding is not supported"},
    Meaning{kTextMalformedInputErr, "the text is malformed"},
    Meaning{kTextUndefinedElementErr, "a character has no equivalent in the target encoding"},
    Meaning{kTECMissingTableErr, "a conversion table is missing"},
    Meaning{kTECBufferBelowMinimumSizeErr, "the output buffer is too small"},
    Meaning{kTECOutputBufferFullStatus, "the converted name is too long"},
    Meaning{kTECPartialCharErr, "the text ends inside a character"},
    Meaning{kTECUnmappableElementErr, "a character cannot be converted"},
    Meaning{kTECIncompleteElementErr, "the text ends inside an element"},
    Meaning{kTECNullPointerErr, "a required text buffer is missing"},
};

}  // namespace

const ResultCode* find_result_code(long code) {
    static const std::vector<ResultCode> codes = [] {
        std::vector<ResultCode> out;
        for (const Meaning& m : kMeanings) {
            if (const char* name = GetOSErrName(static_cast<OSStatus>(m.code)))
                out.push_back(ResultCode{m.code, name, m.meaning});
        }
        return out;
    }();
    auto it = std::find_if(codes.begin(), codes.end(),
                           [code](const ResultCode& r) { return r.code == code; });
    return it == codes.end() ? nullptr : &*it;
}

std::string describe_result(long code) {
    const ResultCode* r = find_result_code(code);
    if (r == nullptr) return "error " + std::to_string(code) + ": unknown result code";
    return std::string(r->name) + " (" + std::to_string(code) + "): " + std::string(r->meaning);
}

}  // namespace fmutil
