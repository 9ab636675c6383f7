// Volumes: which volume holds an object, a volume's name, sizes, identity and
// parameters, the list of mounted volumes, and the record that mounts one
// again. Each function is one platform call with its fields fixed.
#include "vantrel/FSUtilities.h"

OSErr FSGetVolParms(FSVolumeRefNum volRefNum, UInt32 bufferSize,
                    GetVolParmsInfoBuffer* volParmsInfo, UInt32* actualInfoSize) {
    if (volParmsInfo == nullptr || actualInfoSize == nullptr) return paramErr;
    HParamBlockRec pb{};
    pb.ioParam.ioNamePtr = nullptr;
    pb.ioParam.ioVRefNum = volRefNum;
    pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(volParmsInfo);
    pb.ioParam.ioReqCount = SInt32(bufferSize);
    OSErr result = PBHGetVolParmsSync(&pb);
    if (result == noErr) *actualInfoSize = UInt32(pb.ioParam.ioActCount);
    return result;
}

OSErr FSGetVRefNum(const FSRef* ref, FSVolumeRefNum* vRefNum) {
    if (vRefNum == nullptr) return paramErr;
    FSCatalogInfo catalogInfo;
    OSErr result = FSGetCatalogInfo(ref, kFSCatInfoVolume, &catalogInfo, nullptr, nullptr, nullptr);
    if (result == noErr) *vRefNum = catalogInfo.volume;
    return result;
}

OSErr FSGetVInfo(FSVolumeRefNum volume, HFSUniStr255* volumeName, UInt64* freeBytes,
                 UInt64* totalBytes) {
    FSVolumeInfoBitmap whichInfo =
        (freeBytes != nullptr || totalBytes != nullptr) ? kFSVolInfoSizes : kFSVolInfoNone;
    FSVolumeInfo info;
    OSErr result = FSGetVolumeInfo(volume, 0, nullptr, whichInfo, &info, volumeName, nullptr);
    if (result == noErr) {
        if (freeBytes != nullptr) *freeBytes = info.freeBytes;
        if (totalBytes != nullptr) *totalBytes = info.totalBytes;
    }
    return result;
}

OSErr FSGetVolFileSystemID(FSVolumeRefNum volume, UInt16* fileSystemID, UInt16* signature) {
    FSVolumeInfo info;
    OSErr result = FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFSInfo, &info, nullptr, nullptr);
    if (result == noErr) {
        if (fileSystemID != nullptr) *fileSystemID = info.filesystemID;
        if (signature != nullptr) *signature = info.signature;
    }
    return result;
}

OSErr FSGetMountedVolumes(FSRef*** volumeRefsHandle, ItemCount* numVolumes) {
    if (volumeRefsHandle == nullptr || numVolumes == nullptr) return paramErr;
    *numVolumes = 0;
    *volumeRefsHandle = reinterpret_cast<FSRef**>(NewHandle(0));
    if (*volumeRefsHandle == nullptr) return memFullErr;
    OSErr result = noErr;
    for (ItemCount volumeIndex = 1;; ++volumeIndex) {
        FSRef ref;
        result = FSGetVolumeInfo(0, volumeIndex, nullptr, kFSVolInfoNone, nullptr, nullptr, &ref);
        if (result == nsvErr) return noErr;  // the list is complete
        if (result != noErr) break;
        (void)PtrAndHand(&ref, reinterpret_cast<Handle>(*volumeRefsHandle), sizeof(FSRef));
        result = MemError();
        if (result != noErr) break;
        ++*numVolumes;
    }
    if (*volumeRefsHandle != nullptr) DisposeHandle(reinterpret_cast<Handle>(*volumeRefsHandle));
    *volumeRefsHandle = nullptr;
    *numVolumes = 0;
    return result;
}

OSErr FSGetVolMountInfoSize(FSVolumeRefNum volRefNum, UInt16* size) {
    if (size == nullptr) return paramErr;
    ParamBlockRec pb{};
    pb.ioParam.ioNamePtr = nullptr;
    pb.ioParam.ioVRefNum = volRefNum;
    pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(size);
    return PBGetVolMountInfoSize(&pb);
}

OSErr FSGetVolMountInfo(FSVolumeRefNum volRefNum, void* volMountInfo) {
    if (volMountInfo == nullptr) return paramErr;
    ParamBlockRec pb{};
    pb.ioParam.ioNamePtr = nullptr;
    pb.ioParam.ioVRefNum = volRefNum;
    pb.ioParam.ioBuffer = static_cast<Ptr>(volMountInfo);
    return PBGetVolMountInfo(&pb);
}

OSErr FSVolumeMount(const void* volMountInfo, FSVolumeRefNum* volRefNum) {
    if (volRefNum == nullptr) return paramErr;
    ParamBlockRec pb{};
    pb.ioParam.ioBuffer = static_cast<Ptr>(const_cast<void*>(volMountInfo));
    OSErr result = PBVolumeMount(&pb);
    if (result == noErr) *volRefNum = pb.ioParam.ioVRefNum;
    return result;
}
