// Finder flags, creator and type, and dates: changes that the Finder shows,
// each announced by bumping a folder's modification date.
#include <cstddef>
#include <cstring>

#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace {

// The Finder flags sit at the same offset in FileInfo and FolderInfo, so one
// accessor serves files and folders. The 16 bytes are a byte array inside
// FSCatalogInfo, hence memcpy rather than a cast that could be misaligned.
static_assert(offsetof(FileInfo, finderFlags) == offsetof(FolderInfo, finderFlags));
constexpr std::size_t kFlagsOffset = offsetof(FileInfo, finderFlags);

UInt16 finder_flags(const FSCatalogInfo& info) {
    UInt16 flags;
    std::memcpy(&flags, info.finderInfo + kFlagsOffset, sizeof flags);
    return flags;
}

void set_finder_flags(FSCatalogInfo& info, UInt16 flags) {
    std::memcpy(info.finderInfo + kFlagsOffset, &flags, sizeof flags);
}

void write_ostype(FSCatalogInfo& info, std::size_t offset, OSType code) {
    std::memcpy(info.finderInfo + offset, &code, sizeof code);
}

bool same_date(const UTCDateTime& a, const UTCDateTime& b) {
    return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds &&
           a.fraction == b.fraction;
}

// The change is made; telling the folder's watchers is a courtesy whose
// failure the caller is not told about.
void bump_parent(const FSRef* parentRef) {
    vantrel::fault::Benign benign;
    (void)FSBumpDate(parentRef);
}

}  // namespace

extern "C" {

OSErr FSBumpDate(const FSRef* ref) {
    FSCatalogInfo catalogInfo;
    FSRef parentRef;
    OSErr err = FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoContentMod, &catalogInfo,
                                 nullptr, nullptr, &parentRef);
    if (err != noErr) return err;

    const UTCDateTime oldDate = catalogInfo.contentModDate;
    err = GetUTCDateTime(&catalogInfo.contentModDate, kUTCDefaultOptions);
    if (err != noErr) return err;
    // Within one clock tick the date would not move and watchers would miss
    // the change; push it one second on. Only equality is tested: an earlier
    // clock reading is written as read.
    if (same_date(catalogInfo.contentModDate, oldDate)) {
        catalogInfo.contentModDate.lowSeconds = oldDate.lowSeconds + 1;
        if (catalogInfo.contentModDate.lowSeconds == 0)
            catalogInfo.contentModDate.highSeconds = oldDate.highSeconds + 1;
    }

    // A date that cannot be stored (a locked object or volume) is not worth
    // failing the caller's real change over; but nothing changed, so nobody is told.
    {
        vantrel::fault::Benign benign;
        if (FSSetCatalogInfo(ref, kFSCatInfoContentMod, &catalogInfo) != noErr) return noErr;
    }

    const bool isFolder = (catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0;
    vantrel::fault::Benign benign;  // an announcement nobody could take is no failure
    (void)FNNotify(isFolder ? ref : &parentRef, kFNDirectoryModifiedMessage, kNilOptions);
    return noErr;
}

OSErr FSChangeCreatorType(const FSRef* ref, OSType fileCreator, OSType fileType) {
    FSCatalogInfo catalogInfo;
    FSRef parentRef;
    OSErr err = FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &catalogInfo,
                                 nullptr, nullptr, &parentRef);
    if (err != noErr) return err;
    if ((catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0) return notAFileErr;

    if (fileType != 0) write_ostype(catalogInfo, offsetof(FileInfo, fileType), fileType);
    if (fileCreator != 0) write_ostype(catalogInfo, offsetof(FileInfo, fileCreator), fileCreator);

    err = FSSetCatalogInfo(ref, kFSCatInfoFinderInfo, &catalogInfo);
    if (err != noErr) return err;
    bump_parent(&parentRef);
    return noErr;
}

OSErr FSChangeFinderFlags(const FSRef* ref, Boolean setBits, UInt16 flagBits) {
    FSCatalogInfo catalogInfo;
    FSRef parentRef;
    OSErr err =
        FSGetCatalogInfo(ref, kFSCatInfoFinderInfo, &catalogInfo, nullptr, nullptr, &parentRef);
    if (err != noErr) return err;

    const UInt16 flags = finder_flags(catalogInfo);
    set_finder_flags(catalogInfo, setBits ? static_cast<UInt16>(flags | flagBits)
                                          : static_cast<UInt16>(flags & ~flagBits));

    err = FSSetCatalogInfo(ref, kFSCatInfoFinderInfo, &catalogInfo);
    if (err != noErr) return err;
    bump_parent(&parentRef);
    return noErr;
}

OSErr FSSetInvisible(const FSRef* ref) {
    return FSChangeFinderFlags(ref, true, kIsInvisible);
}
OSErr FSClearInvisible(const FSRef* ref) {
    return FSChangeFinderFlags(ref, false, kIsInvisible);
}
OSErr FSSetNameLocked(const FSRef* ref) {
    return FSChangeFinderFlags(ref, true, kNameLocked);
}
OSErr FSClearNameLocked(const FSRef* ref) {
    return FSChangeFinderFlags(ref, false, kNameLocked);
}
OSErr FSSetIsStationery(const FSRef* ref) {
    return FSChangeFinderFlags(ref, true, kIsStationery);
}
OSErr FSClearIsStationery(const FSRef* ref) {
    return FSChangeFinderFlags(ref, false, kIsStationery);
}
OSErr FSSetHasCustomIcon(const FSRef* ref) {
    return FSChangeFinderFlags(ref, true, kHasCustomIcon);
}
OSErr FSClearHasCustomIcon(const FSRef* ref) {
    return FSChangeFinderFlags(ref, false, kHasCustomIcon);
}
OSErr FSClearHasBeenInited(const FSRef* ref) {
    return FSChangeFinderFlags(ref, false, kHasBeenInited);
}

OSErr FSCopyFileMgrAttributes(const FSRef* sourceRef, const FSRef* destinationRef,
                              Boolean copyLockBit) {
    FSCatalogInfo catalogInfo;
    OSErr err = FSGetCatalogInfo(sourceRef, kFSCatInfoSettableInfo, &catalogInfo, nullptr, nullptr,
                                 nullptr);
    if (err != noErr) return err;

    // The destination has not been seen by the Finder yet; it must place it anew.
    set_finder_flags(catalogInfo, static_cast<UInt16>(finder_flags(catalogInfo) & ~kHasBeenInited));
    if (!copyLockBit) catalogInfo.nodeFlags &= static_cast<UInt16>(~kFSNodeLockedMask);
    return FSSetCatalogInfo(destinationRef, kFSCatInfoSettableInfo, &catalogInfo);
}

}  // extern "C"
