// Privileges and Finder information: one catalogue request each, asking only
// for the fields the caller supplied a place for.
#include <cstring>

#include "vantrel/FSUtilities.h"

extern "C" {

OSErr FSGetUserPrivilegesPermissions(const FSRef* ref, UInt8* userPrivileges,
                                     UInt32 permissions[4]) {
    FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
    if (userPrivileges != nullptr) whichInfo |= kFSCatInfoUserPrivs;
    if (permissions != nullptr) whichInfo |= kFSCatInfoPermissions;

    FSCatalogInfo catalogInfo;
    OSErr err = FSGetCatalogInfo(ref, whichInfo, &catalogInfo, nullptr, nullptr, nullptr);
    if (err != noErr) return err;
    if (userPrivileges != nullptr) *userPrivileges = catalogInfo.userPrivileges;
    if (permissions != nullptr)
        std::memcpy(permissions, catalogInfo.permissions, sizeof catalogInfo.permissions);
    return noErr;
}

OSErr FSGetFinderInfo(const FSRef* ref, FinderInfo* info, ExtendedFinderInfo* extendedInfo,
                      Boolean* isDirectory) {
    FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
    if (info != nullptr) whichInfo |= kFSCatInfoFinderInfo;
    if (extendedInfo != nullptr) whichInfo |= kFSCatInfoFinderXInfo;
    if (isDirectory != nullptr) whichInfo |= kFSCatInfoNodeFlags;

    FSCatalogInfo catalogInfo;
    OSErr err = FSGetCatalogInfo(ref, whichInfo, &catalogInfo, nullptr, nullptr, nullptr);
    if (err != noErr) return err;
    if (info != nullptr) std::memcpy(info, catalogInfo.finderInfo, sizeof catalogInfo.finderInfo);
    if (extendedInfo != nullptr)
        std::memcpy(extendedInfo, catalogInfo.extFinderInfo, sizeof catalogInfo.extFinderInfo);
    if (isDirectory != nullptr)
        *isDirectory = (catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0 ? 1 : 0;
    return noErr;
}

OSErr FSSetFinderInfo(const FSRef* ref, const FinderInfo* info,
                      const ExtendedFinderInfo* extendedInfo) {
    FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
    FSCatalogInfo catalogInfo;
    std::memset(&catalogInfo, 0, sizeof catalogInfo);
    if (info != nullptr) {
        std::memcpy(catalogInfo.finderInfo, info, sizeof catalogInfo.finderInfo);
        whichInfo |= kFSCatInfoFinderInfo;
    }
    if (extendedInfo != nullptr) {
        std::memcpy(catalogInfo.extFinderInfo, extendedInfo, sizeof catalogInfo.extFinderInfo);
        whichInfo |= kFSCatInfoFinderXInfo;
    }
    return FSSetCatalogInfo(ref, whichInfo, &catalogInfo);
}

}  // extern "C"
