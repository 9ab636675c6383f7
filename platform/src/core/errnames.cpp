// The names of the platform's result codes, for messages and test output.
#include "vantrel/MacTypes.h"

namespace {

struct Name {
    OSStatus code;
    const char* name;
};

// Every code MacTypes.h declares (a test parses the header to prove it).
#define VANTREL_NAME(code) \
    { code, #code }
constexpr Name kNames[] = {
    VANTREL_NAME(noErr),
    VANTREL_NAME(dirFulErr),
    VANTREL_NAME(dskFulErr),
    VANTREL_NAME(nsvErr),
    VANTREL_NAME(ioErr),
    VANTREL_NAME(bdNamErr),
    VANTREL_NAME(fnOpnErr),
    VANTREL_NAME(eofErr),
    VANTREL_NAME(posErr),
    VANTREL_NAME(tmfoErr),
    VANTREL_NAME(fnfErr),
    VANTREL_NAME(wPrErr),
    VANTREL_NAME(fLckdErr),
    VANTREL_NAME(vLckdErr),
    VANTREL_NAME(fBsyErr),
    VANTREL_NAME(dupFNErr),
    VANTREL_NAME(opWrErr),
    VANTREL_NAME(paramErr),
    VANTREL_NAME(rfNumErr),
    VANTREL_NAME(permErr),
    VANTREL_NAME(wrPermErr),
    VANTREL_NAME(memFullErr),
    VANTREL_NAME(nilHandleErr),
    VANTREL_NAME(memWZErr),
    VANTREL_NAME(dirNFErr),
    VANTREL_NAME(tmwdoErr),
    VANTREL_NAME(badMovErr),
    VANTREL_NAME(wrgVolTypErr),
    VANTREL_NAME(volGoneErr),
    VANTREL_NAME(fidNotFound),
    VANTREL_NAME(fidExists),
    VANTREL_NAME(notAFileErr),
    VANTREL_NAME(diffVolErr),
    VANTREL_NAME(sameFileErr),
    VANTREL_NAME(fileBoundsErr),
    VANTREL_NAME(errFSBadFSRef),
    VANTREL_NAME(errFSBadForkName),
    VANTREL_NAME(errFSBadBuffer),
    VANTREL_NAME(errFSBadForkRef),
    VANTREL_NAME(errFSBadInfoBitmap),
    VANTREL_NAME(errFSMissingCatInfo),
    VANTREL_NAME(errFSNotAFolder),
    VANTREL_NAME(errFSForkNotFound),
    VANTREL_NAME(errFSNameTooLong),
    VANTREL_NAME(errFSMissingName),
    VANTREL_NAME(errFSBadPosMode),
    VANTREL_NAME(errFSBadAllocFlags),
    VANTREL_NAME(errFSNoMoreItems),
    VANTREL_NAME(errFSBadItemCount),
    VANTREL_NAME(errFSBadSearchParams),
    VANTREL_NAME(errFSRefsDifferent),
    VANTREL_NAME(errFSForkExists),
    VANTREL_NAME(errFSBadIteratorFlags),
    VANTREL_NAME(errFSIteratorNotFound),
    VANTREL_NAME(errFSIteratorNotSupported),
    VANTREL_NAME(errFSQuotaExceeded),
    VANTREL_NAME(errFSOperationNotSupported),
    VANTREL_NAME(errFSAttributeNotFound),
    VANTREL_NAME(errFSPropertyNotValid),
    VANTREL_NAME(errFSNotEnoughSpaceForOperation),
    VANTREL_NAME(afpAccessDenied),
    VANTREL_NAME(afpItemNotFound),
    VANTREL_NAME(afpRangeOverlap),
    VANTREL_NAME(afpObjectTypeErr),
    VANTREL_NAME(afpIDNotFound),
    VANTREL_NAME(afpIDExists),
    VANTREL_NAME(afpCatalogChanged),
    VANTREL_NAME(afpSameObjectErr),
    VANTREL_NAME(afpBadIDErr),
    VANTREL_NAME(kTextUnsupportedEncodingErr),
    VANTREL_NAME(kTextMalformedInputErr),
    VANTREL_NAME(kTextUndefinedElementErr),
    VANTREL_NAME(kTECMissingTableErr),
    VANTREL_NAME(kTECBufferBelowMinimumSizeErr),
    VANTREL_NAME(kTECOutputBufferFullStatus),
    VANTREL_NAME(kTECPartialCharErr),
    VANTREL_NAME(kTECUnmappableElementErr),
    VANTREL_NAME(kTECIncompleteElementErr),
    VANTREL_NAME(kTECNullPointerErr),
};
#undef VANTREL_NAME

}  // namespace

extern "C" const char* GetOSErrName(OSStatus err) {
    for (const Name& n : kNames)
        if (n.code == err) return n.name;
    return nullptr;
}
