// Lock state and fork sizes: read-only questions about one object.
#include "vantrel/FSUtilities.h"

extern "C" {

OSErr FSCheckLock(const FSRef* ref) {
    FSCatalogInfo catalogInfo;
    OSErr err = FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoVolume, &catalogInfo, nullptr,
                                 nullptr, nullptr);
    if (err != noErr) return err;
    // The object's own lock is reported first: it is the one the caller can
    // most likely do something about, and the volume need not be asked.
    if ((catalogInfo.nodeFlags & kFSNodeLockedMask) != 0) return fLckdErr;

    FSVolumeInfo volumeInfo;
    err = FSGetVolumeInfo(catalogInfo.volume, 0, nullptr, kFSVolInfoFlags, &volumeInfo, nullptr,
                          nullptr);
    if (err != noErr) return err;
    if ((volumeInfo.flags & kFSVolFlagHardwareLockedMask) != 0) return wPrErr;
    if ((volumeInfo.flags & kFSVolFlagSoftwareLockedMask) != 0) return vLckdErr;
    return noErr;
}

OSErr FSGetForkSizes(const FSRef* ref, UInt64* dataLogicalSize, UInt64* rsrcLogicalSize) {
    FSCatalogInfoBitmap whichInfo = kFSCatInfoNodeFlags;
    if (dataLogicalSize != nullptr) whichInfo |= kFSCatInfoDataSizes;
    if (rsrcLogicalSize != nullptr) whichInfo |= kFSCatInfoRsrcSizes;

    FSCatalogInfo catalogInfo;
    OSErr err = FSGetCatalogInfo(ref, whichInfo, &catalogInfo, nullptr, nullptr, nullptr);
    if (err != noErr) return err;
    if ((catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0) return notAFileErr;
    if (dataLogicalSize != nullptr) *dataLogicalSize = catalogInfo.dataLogicalSize;
    if (rsrcLogicalSize != nullptr) *rsrcLogicalSize = catalogInfo.rsrcLogicalSize;
    return noErr;
}

OSErr FSGetTotalForkSizes(const FSRef* ref, UInt64* totalLogicalSize, UInt64* totalPhysicalSize,
                          ItemCount* forkCount) {
    if (totalLogicalSize != nullptr) *totalLogicalSize = 0;
    if (totalPhysicalSize != nullptr) *totalPhysicalSize = 0;
    if (forkCount != nullptr) *forkCount = 0;

    CatPositionRec forkIterator;
    forkIterator.initialize = 0;
    for (;;) {
        SInt64 forkSize = 0;
        UInt64 forkPhysicalSize = 0;
        OSErr err = FSIterateForks(ref, &forkIterator, nullptr,
                                   totalLogicalSize != nullptr ? &forkSize : nullptr,
                                   totalPhysicalSize != nullptr ? &forkPhysicalSize : nullptr);
        if (err == errFSNoMoreItems) return noErr;
        // Partial sums stay in the outputs: they describe the forks visited so far.
        if (err != noErr) return err;
        if (totalLogicalSize != nullptr) *totalLogicalSize += static_cast<UInt64>(forkSize);
        if (totalPhysicalSize != nullptr) *totalPhysicalSize += forkPhysicalSize;
        if (forkCount != nullptr) ++*forkCount;
    }
}

}  // extern "C"
