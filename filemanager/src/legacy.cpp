// Parameter-block wrappers: the older File Manager calls, which name objects
// by volume, directory ID and HFS name, made usable from an FSRef.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "vantrel/DiskNames.h"
#include "vantrel/FSUtilities.h"

namespace {

// The FSSpec form of an object: its volume, parent directory ID and HFS name.
OSErr get_spec(const FSRef* ref, FSSpec* spec) {
    return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, spec, nullptr);
}

// A directory's volume and node ID, and whether it is a directory at all.
OSErr get_directory_pair(const FSRef* ref, FSCatalogInfo* info) {
    return FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoNodeID, info,
                            nullptr, nullptr, nullptr);
}

OSErr lock_or_unlock(bool lock, short refNum, long rangeLength, long rangeStart) {
    // The block's fields are 32-bit, as `long` was when these were written; a
    // wider value would be cut and lock some other range.
    if (rangeLength < INT32_MIN || rangeLength > INT32_MAX || rangeStart < INT32_MIN ||
        rangeStart > INT32_MAX) {
        return paramErr;
    }
    ParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.ioParam.ioRefNum = refNum;
    pb.ioParam.ioReqCount = static_cast<SInt32>(rangeLength);
    pb.ioParam.ioPosMode = fsFromStart;
    pb.ioParam.ioPosOffset = static_cast<SInt32>(rangeStart);
    return lock ? PBLockRangeSync(&pb) : PBUnlockRangeSync(&pb);
}

// The copy and move-rename requests share their shape: the source as an
// FSSpec triple, the destination directory, and an optional new name.
struct NewName {
    Str31 hfsName;
    StringPtr ptr = nullptr;  // null: keep the source's name
};

OSErr convert_new_name(UniCharCount newNameLength, const UniChar* newName,
                       TextEncoding encodingHint, NewName* out) {
    if (newName == nullptr) return noErr;
    OSErr err = UnicodeNameGetHFSName(newNameLength, newName, encodingHint, false, out->hfsName);
    if (err != noErr) return err;
    out->ptr = out->hfsName;
    return noErr;
}

// The reference of the new object. Without a new name the object keeps the
// source's name, so that name is asked for; asking with no name would hand
// back the destination directory instead of the object.
OSErr make_new_ref(FSVolumeRefNum volume, SInt32 dirID, const NewName& name, FSSpec& source,
                   FSRef* newRef) {
    FSRefParam pb;
    std::memset(&pb, 0, sizeof pb);
    pb.ioVRefNum = volume;
    pb.ioDirID = dirID;
    pb.ioNamePtr = name.ptr != nullptr ? name.ptr : source.name;
    pb.newRef = newRef;
    return PBMakeFSRefSync(&pb);
}

// The object's name as it is on disk: the last component of its path, as
// bytes. errFSNameTooLong when the path is longer than the system allows.
OSErr disk_name(const FSRef* ref, std::string* out) {
    std::string path(4096, '\0');
    if (OSErr e = static_cast<OSErr>(
            FSRefMakePath(ref, reinterpret_cast<UInt8*>(path.data()), UInt32(path.size()))))
        return e;
    path.resize(std::strlen(path.c_str()));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return fnfErr;  // a volume's root
    *out = path.substr(slash + 1);
    return noErr;
}

// The reference of the item named `diskName` (bytes, as on disk) in
// `destDir`. A name that is not UTF-8 (Mac Roman bytes from an old server)
// is found too, where its Unicode form (U+FFFD for each bad byte) would find
// nothing, or another item that really has that form. The item must lie in
// destDir, whatever links the path passes through by then.
OSErr ref_in_dir(const FSRef* destDir, const std::string& diskName, FSRef* newRef) {
    std::string path(4096, '\0');
    if (OSErr e = static_cast<OSErr>(
            FSRefMakePath(destDir, reinterpret_cast<UInt8*>(path.data()), UInt32(path.size()))))
        return e;
    path.resize(std::strlen(path.c_str()));
    if (path.empty() || path.back() != '/') path += '/';
    path += diskName;
    FSRef found;
    if (OSErr e = FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &found, nullptr))
        return e;
    FSRef parent;
    if (OSErr e = FSGetCatalogInfo(&found, kFSCatInfoNone, nullptr, nullptr, nullptr, &parent))
        return e;
    if (FSCompareFSRefs(&parent, destDir) != noErr) return fnfErr;
    *newRef = found;
    return noErr;
}

// Whether `diskName` is plain ASCII: the same bytes in every normal form
// and in Unicode (no ":", which shows as "/"; not "._", which names a
// fork), so that one lookup by that name relative to a folder finds the
// entry of those bytes and nothing else.
bool plain_ascii_name(const std::string& diskName) {
    if (diskName.empty() || diskName.size() > 255 || diskName.compare(0, 2, "._") == 0)
        return false;
    return std::all_of(diskName.begin(), diskName.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && c != ':' && c != '\0';
    });
}

// The reference of the item of the plain ASCII name `diskName` in `destDir`:
// one lookup relative to the folder, where ref_in_dir spells the folder's
// whole path and walks it again.
OSErr ref_by_ascii_name(const FSRef* destDir, const std::string& diskName, FSRef* newRef) {
    UniChar units[255];
    std::copy(diskName.begin(), diskName.end(), units);
    return FSMakeFSRefUnicode(destDir, diskName.size(), units, kTextEncodingUnknown, newRef);
}

// The bytes of the entry that names `ref`, read from the reference itself
// (no path: it works below PATH_MAX's reach too).
OSErr ref_disk_name(const FSRef* ref, std::string* out) {
    UInt8 bytes[255];
    ByteCount length = 0;
    if (OSErr e = VantrelFSRefGetDiskName(ref, bytes, sizeof bytes, &length)) return e;
    out->assign(reinterpret_cast<const char*>(bytes), length);
    return noErr;
}

// Fills the copy parameter block that the file copy and the move-rename share:
// the source's triple, the destination directory and the converted new name
// (null keeps the source's name).
OSErr fill_copy_block(const FSSpec& spec, FSVolumeRefNum destVolume, UInt32 destDirID,
                      UniCharCount newNameLength, const UniChar* newName, TextEncoding encodingHint,
                      NewName* name, HParamBlockRec* pb) {
    std::memset(pb, 0, sizeof *pb);
    pb->copyParam.ioVRefNum = spec.vRefNum;
    pb->copyParam.ioDirID = spec.parID;
    pb->copyParam.ioNamePtr = const_cast<StringPtr>(spec.name);
    pb->copyParam.ioDstVRefNum = destVolume;
    pb->copyParam.ioNewDirID = static_cast<SInt32>(destDirID);
    pb->copyParam.ioNewName = nullptr;
    OSErr err = convert_new_name(newNameLength, newName, encodingHint, name);
    if (err != noErr) return err;
    pb->copyParam.ioCopyName = name->ptr;
    return noErr;
}

}  // namespace

OSErr FSLockRange(short refNum, long rangeLength, long rangeStart) {
    return lock_or_unlock(true, refNum, rangeLength, rangeStart);
}

OSErr FSUnlockRange(short refNum, long rangeLength, long rangeStart) {
    return lock_or_unlock(false, refNum, rangeLength, rangeStart);
}

extern "C" {

OSErr FSGetDirAccess(const FSRef* directory, SInt32* ownerID, SInt32* groupID,
                     SInt32* accessRights) {
    FSSpec spec;
    OSErr err = get_spec(directory, &spec);
    if (err != noErr) return err;

    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.accessParam.ioNamePtr = spec.name;
    pb.accessParam.ioVRefNum = spec.vRefNum;
    pb.accessParam.ioDirID = spec.parID;
    err = PBHGetDirAccessSync(&pb);
    if (err != noErr) return err;
    if (ownerID != nullptr) *ownerID = pb.accessParam.ioACOwnID;
    if (groupID != nullptr) *groupID = pb.accessParam.ioACGroupID;
    if (accessRights != nullptr) *accessRights = pb.accessParam.ioACAccess;
    return noErr;
}

OSErr FSSetDirAccess(const FSRef* directory, SInt32 ownerID, SInt32 groupID, SInt32 accessRights) {
    FSSpec spec;
    OSErr err = get_spec(directory, &spec);
    if (err != noErr) return err;

    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.accessParam.ioNamePtr = spec.name;
    pb.accessParam.ioVRefNum = spec.vRefNum;
    pb.accessParam.ioDirID = spec.parID;
    pb.accessParam.ioACOwnID = ownerID;
    pb.accessParam.ioACGroupID = groupID;
    // Only the three groups of rights and the blank-access bit can be set; the
    // caller's own rights and ownership (bits 24-26, 31) are reported, never set.
    pb.accessParam.ioACAccess =
        static_cast<SInt32>(static_cast<UInt32>(accessRights) & 0x10070707u);
    return PBHSetDirAccessSync(&pb);
}

OSErr FSMapID(FSVolumeRefNum volRefNum, SInt32 ugID, SInt16 objType, StringPtr name) {
    if (name == nullptr) return paramErr;
    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.objParam.ioNamePtr = nullptr;
    pb.objParam.ioVRefNum = volRefNum;
    pb.objParam.ioObjType = objType;
    pb.objParam.ioObjNamePtr = name;
    pb.objParam.ioObjID = ugID;
    return PBHMapIDSync(&pb);
}

OSErr FSMapName(FSVolumeRefNum volRefNum, ConstStr255Param name, SInt16 objType, SInt32* ugID) {
    if (ugID == nullptr) return paramErr;
    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.objParam.ioNamePtr = nullptr;
    pb.objParam.ioVRefNum = volRefNum;
    pb.objParam.ioObjType = objType;
    // The platform only reads the name; the block's field is not const.
    pb.objParam.ioObjNamePtr = const_cast<StringPtr>(name);
    OSErr err = PBHMapNameSync(&pb);
    if (err == noErr) *ugID = pb.objParam.ioObjID;
    return err;
}

OSErr FSCreateFileIDRef(const FSRef* file, SInt32* fileID) {
    if (fileID == nullptr) return paramErr;
    FSSpec spec;
    OSErr err = get_spec(file, &spec);
    if (err != noErr) return err;

    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.fidParam.ioNamePtr = spec.name;
    pb.fidParam.ioVRefNum = spec.vRefNum;
    pb.fidParam.ioSrcDirID = spec.parID;
    err = PBCreateFileIDRefSync(&pb);
    // An ID that already existed is still the file's ID: hand it back with the code.
    if (err == noErr || err == fidExists || err == afpIDExists) *fileID = pb.fidParam.ioFileID;
    return err;
}

OSErr FSResolveFileIDRef(FSVolumeRefNum volRefNum, SInt32 fileID, FSRef* ref) {
    if (ref == nullptr) return paramErr;
    Str255 name;
    name[0] = 0;

    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.fidParam.ioNamePtr = name;
    pb.fidParam.ioVRefNum = volRefNum;
    pb.fidParam.ioFileID = fileID;
    OSErr err = PBResolveFileIDRefSync(&pb);
    if (err != noErr) return err;

    FSRefParam makePB;
    std::memset(&makePB, 0, sizeof makePB);
    makePB.ioVRefNum = volRefNum;
    makePB.ioDirID = pb.fidParam.ioSrcDirID;
    makePB.ioNamePtr = name;
    makePB.newRef = ref;
    return PBMakeFSRefSync(&makePB);
}

OSErr FileRefNumGetFSRef(short refNum, FSRef* ref) {
    return FSGetForkCBInfo(refNum, 0, nullptr, nullptr, nullptr, ref, nullptr);
}

OSErr FSSetDefault(const FSRef* directory, FSRef* previous) {
    if (directory == nullptr || previous == nullptr) return paramErr;
    FSCatalogInfo info;
    OSErr err = get_directory_pair(directory, &info);
    if (err != noErr) return err;
    if ((info.nodeFlags & kFSNodeIsDirectoryMask) == 0) return dirNFErr;

    FSVolumeRefNum vRefNum = 0;
    SInt32 dirID = 0;
    err = HGetVol(nullptr, &vRefNum, &dirID);
    if (err != noErr) return err;

    FSRefParam pb;
    std::memset(&pb, 0, sizeof pb);
    pb.ioVRefNum = vRefNum;
    pb.ioDirID = dirID;
    pb.ioNamePtr = nullptr;
    pb.newRef = previous;
    err = PBMakeFSRefSync(&pb);
    if (err != noErr) return err;
    return HSetVol(nullptr, info.volume, static_cast<SInt32>(info.nodeID));
}

OSErr FSRestoreDefault(const FSRef* previous) {
    if (previous == nullptr) return paramErr;
    FSCatalogInfo info;
    OSErr err = get_directory_pair(previous, &info);
    if (err != noErr) return err;
    if ((info.nodeFlags & kFSNodeIsDirectoryMask) == 0) return dirNFErr;
    return HSetVol(nullptr, info.volume, static_cast<SInt32>(info.nodeID));
}

OSErr FSMakePath(SInt16 volRefNum, SInt32 dirID, ConstStr255Param name, UInt8* path,
                 UInt32 maxPathSize) {
    if (path == nullptr) return paramErr;
    FSRef ref;
    FSRefParam pb;
    std::memset(&pb, 0, sizeof pb);
    pb.ioVRefNum = volRefNum;
    pb.ioDirID = dirID;
    pb.ioNamePtr = name;
    pb.newRef = &ref;
    OSErr err = PBMakeFSRefSync(&pb);
    if (err != noErr) return err;
    return static_cast<OSErr>(FSRefMakePath(&ref, path, maxPathSize));
}

OSErr FSCopyFile(const FSRef* source, const FSRef* destDir, UniCharCount newNameLength,
                 const UniChar* newName, TextEncoding encodingHint, FSRef* newRef) {
    FSSpec spec;
    OSErr err = get_spec(source, &spec);
    if (err != noErr) return err;
    FSCatalogInfo dest;
    err = FSGetCatalogInfo(destDir, kFSCatInfoVolume | kFSCatInfoNodeID, &dest, nullptr, nullptr,
                           nullptr);
    if (err != noErr) return err;

    // Without a new name the copy has the source's name as it is on disk,
    // which neither a short Pascal name (more than 31 bytes, characters Mac
    // Roman lacks) nor a Unicode one (bytes that are not UTF-8) always
    // gives: the copy is found by those bytes, read before the copy as the
    // copy reads them. Where a path is longer than the system allows, by the
    // Unicode name.
    std::string diskName;
    HFSUniStr255 sourceName;
    sourceName.length = 0;
    OSErr nameErr = noErr;
    bool ascii = false;  // the copy is found by one lookup (ref_by_ascii_name)
    if (newRef != nullptr && newName == nullptr) {
        ascii = ref_disk_name(source, &diskName) == noErr && plain_ascii_name(diskName);
        if (!ascii) {
            nameErr = disk_name(source, &diskName);
            err = FSGetCatalogInfo(source, kFSCatInfoNone, nullptr, &sourceName, nullptr, nullptr);
            if (err != noErr) return err;
        }
    }

    HParamBlockRec pb;
    NewName name;
    err = fill_copy_block(spec, dest.volume, dest.nodeID, newNameLength, newName, encodingHint,
                          &name, &pb);
    if (err != noErr) return err;
    err = PBHCopyFileSync(&pb);
    if (err != noErr) return err;

    if (newRef == nullptr) return noErr;
    if (ascii) return ref_by_ascii_name(destDir, diskName, newRef);
    if (name.ptr == nullptr && nameErr == noErr) {
        err = ref_in_dir(destDir, diskName, newRef);
        if (err != errFSNameTooLong) return err;
    }
    // Only a name that is UTF-8 (no U+FFFD standing for a byte that is not)
    // leads back to the copy and nothing else.
    if (name.ptr == nullptr &&
        std::find(sourceName.unicode, sourceName.unicode + sourceName.length, UniChar(0xFFFD)) ==
            sourceName.unicode + sourceName.length &&
        FSMakeFSRefUnicode(destDir, sourceName.length, sourceName.unicode, kTextEncodingUnknown,
                           newRef) == noErr)
        return noErr;
    // The copy exists; a reference that cannot be made is still reported.
    return make_new_ref(dest.volume, static_cast<SInt32>(dest.nodeID), name, spec, newRef);
}

OSErr FSMoveRename(const FSRef* source, const FSRef* destDir, UniCharCount newNameLength,
                   const UniChar* newName, TextEncoding encodingHint, FSRef* newRef) {
    FSSpec spec;
    OSErr err = get_spec(source, &spec);
    if (err != noErr) return err;

    GetVolParmsInfoBuffer volParms;
    std::memset(&volParms, 0, sizeof volParms);
    HParamBlockRec parmsPB;
    std::memset(&parmsPB, 0, sizeof parmsPB);
    parmsPB.ioParam.ioNamePtr = nullptr;
    parmsPB.ioParam.ioVRefNum = spec.vRefNum;
    parmsPB.ioParam.ioBuffer = reinterpret_cast<Ptr>(&volParms);
    parmsPB.ioParam.ioReqCount = 32;
    if (PBHGetVolParmsSync(&parmsPB) != noErr ||
        (volParms.vMAttrib & (1L << bHasMoveRename)) == 0) {
        return paramErr;
    }

    FSCatalogInfo dest;
    err = FSGetCatalogInfo(destDir, kFSCatInfoVolume | kFSCatInfoNodeID, &dest, nullptr, nullptr,
                           nullptr);
    if (err != noErr) return err;
    if (dest.volume != spec.vRefNum) return diffVolErr;

    HParamBlockRec pb;
    NewName name;
    // A move stays on its volume (checked above): the destination volume is the source's.
    err = fill_copy_block(spec, spec.vRefNum, dest.nodeID, newNameLength, newName, encodingHint,
                          &name, &pb);
    if (err != noErr) return err;
    err = PBHMoveRenameSync(&pb);
    if (err != noErr) return err;

    // The moved object keeps its node ID, so even a shortened name finds it.
    if (newRef != nullptr)
        (void)make_new_ref(spec.vRefNum, static_cast<SInt32>(dest.nodeID), name, spec, newRef);
    return noErr;
}

}  // extern "C"
