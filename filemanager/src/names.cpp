// Names and references: converting object names between the catalogue's
// Unicode form and the short single-byte names of the legacy interfaces, and
// small questions about an FSRef (valid? parent? name? node ID?).
#include <cstring>

#include "vantrel/FSUtilities.h"

namespace {

// The encoding a caller's hint stands for. Only kTextEncodingUnknown is
// resolved, from the system script and region; a region that does not fit the
// script is dropped once, and if no encoding comes out of that, Mac Roman is
// used. Resolution never fails the conversion.
TextEncoding resolve_hint(TextEncoding hint) {
    if (hint != kTextEncodingUnknown) return hint;
    const auto script = static_cast<ScriptCode>(GetScriptManagerVariable(smSysScript));
    const auto region = static_cast<RegionCode>(GetScriptManagerVariable(smRegionCode));
    OSStatus result =
        UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare, region, nullptr, &hint);
    if (result == paramErr)
        result = UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare, kTextRegionDontCare,
                                                 nullptr, &hint);
    return result == noErr ? hint : TextEncoding{kTextEncodingMacRoman};
}

// Decomposed UTF-16 on one side, the hint's base encoding on the other, with
// the mapping HFS+ uses for names.
UnicodeMapping name_mapping(TextEncoding hint) {
    UnicodeMapping m;
    m.unicodeEncoding = CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                                           kUnicode16BitFormat);
    m.otherEncoding = GetTextEncodingBase(hint);
    m.mappingVersion = kUnicodeUseHFSPlusMapping;
    return m;
}

constexpr ByteCount kHFSMaxVolumeNameChars = 27;
constexpr ByteCount kHFSMaxFileNameChars = 31;
constexpr ByteCount kHFSUniStr255Bytes = 255 * sizeof(UniChar);

}  // namespace

OSErr UnicodeNameGetHFSName(UniCharCount nameLength, const UniChar* name,
                            TextEncoding textEncodingHint, Boolean isVolumeName, Str31 hfsName) {
    if (hfsName == nullptr) return paramErr;
    hfsName[0] = 0;
    if (nameLength == 0) return noErr;
    // A name longer than any catalogue name cannot fit in 31 bytes either;
    // refusing it here also keeps the byte count below from overflowing.
    if (name == nullptr || nameLength > 255) return paramErr;

    UnicodeMapping mapping = name_mapping(resolve_hint(textEncodingHint));
    UnicodeToTextInfo info = nullptr;
    OSStatus made = CreateUnicodeToTextInfo(&mapping, &info);
    if (made == kTextUnsupportedEncodingErr && textEncodingHint == kTextEncodingUnknown) {
        // The system's script has no table here (Korean, Chinese, Arabic,
        // Hebrew, Thai, and the Roman variants ICU lacks): Mac Roman, so that
        // at least every ASCII name converts.
        mapping = name_mapping(kTextEncodingMacRoman);
        made = CreateUnicodeToTextInfo(&mapping, &info);
    }
    if (made != noErr) return static_cast<OSErr>(made);
    ByteCount read = 0;
    ByteCount outLen = 0;
    const OSStatus result = ConvertFromUnicodeToText(
        info, nameLength * sizeof(UniChar), name, kUnicodeLooseMappingsMask, 0, nullptr, nullptr,
        nullptr, isVolumeName ? kHFSMaxVolumeNameChars : kHFSMaxFileNameChars, &read, &outLen,
        &hfsName[1]);
    if (result == noErr) hfsName[0] = static_cast<unsigned char>(outLen);
    DisposeUnicodeToTextInfo(&info);
    return static_cast<OSErr>(result);
}

OSErr HFSNameGetUnicodeName(ConstStr31Param hfsName, TextEncoding textEncodingHint,
                            HFSUniStr255* unicodeName) {
    if (unicodeName == nullptr) return paramErr;
    unicodeName->length = 0;
    if (hfsName == nullptr) return paramErr;
    if (hfsName[0] == 0) return noErr;

    UnicodeMapping mapping = name_mapping(resolve_hint(textEncodingHint));
    TextToUnicodeInfo info = nullptr;
    OSStatus made = CreateTextToUnicodeInfo(&mapping, &info);
    if (made == kTextUnsupportedEncodingErr && textEncodingHint == kTextEncodingUnknown) {
        mapping = name_mapping(kTextEncodingMacRoman);  // as UnicodeNameGetHFSName does
        made = CreateTextToUnicodeInfo(&mapping, &info);
    }
    if (made != noErr) return static_cast<OSErr>(made);
    ByteCount read = 0;
    ByteCount outLen = 0;
    const OSStatus result =
        ConvertFromTextToUnicode(info, hfsName[0], &hfsName[1], 0, 0, nullptr, nullptr, nullptr,
                                 kHFSUniStr255Bytes, &read, &outLen, unicodeName->unicode);
    if (result == noErr) unicodeName->length = static_cast<UInt16>(outLen / sizeof(UniChar));
    DisposeTextToUnicodeInfo(&info);
    return static_cast<OSErr>(result);
}

OSErr FSRefMakeFSSpec(const FSRef* ref, FSSpec* spec) {
    if (spec == nullptr || ref == nullptr) return paramErr;
    return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, spec, nullptr);
}

OSErr FSMakeFSRef(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name, FSRef* ref) {
    if (ref == nullptr) return paramErr;
    FSRefParam pb;
    std::memset(&pb, 0, sizeof pb);
    pb.ioVRefNum = volRefNum;
    pb.ioDirID = dirID;
    pb.ioNamePtr = name;
    pb.newRef = ref;
    return PBMakeFSRefSync(&pb);
}

OSErr FSPathMakeFSSpec(const UInt8* path, FSSpec* spec, Boolean* isDirectory) {
    if (spec == nullptr || path == nullptr) return paramErr;
    FSRef ref;
    if (OSErr e = FSPathMakeRef(path, &ref, isDirectory)) return e;
    return FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, spec, nullptr);
}

Boolean FSRefValid(const FSRef* ref) {
    if (ref == nullptr) return false;
    return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr) == noErr;
}

OSErr FSGetParentRef(const FSRef* ref, FSRef* parentRef) {
    if (parentRef == nullptr || ref == nullptr) return paramErr;
    FSCatalogInfo info;
    if (OSErr e = FSGetCatalogInfo(ref, kFSCatInfoNodeID, &info, nullptr, nullptr, parentRef))
        return e;
    // A volume's root directory has no parent the caller can use.
    if (info.nodeID == fsRtDirID) std::memset(parentRef, 0, sizeof *parentRef);
    return noErr;
}

OSErr FSGetFileDirName(const FSRef* ref, HFSUniStr255* outName) {
    if (outName == nullptr || ref == nullptr) return paramErr;
    return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, outName, nullptr, nullptr);
}

OSErr FSGetNodeID(const FSRef* ref, SInt32* nodeID, Boolean* isDirectory) {
    if (ref == nullptr) return paramErr;
    FSCatalogInfoBitmap want = kFSCatInfoNone;
    if (nodeID != nullptr) want |= kFSCatInfoNodeID;
    if (isDirectory != nullptr) want |= kFSCatInfoNodeFlags;
    FSCatalogInfo info;
    if (OSErr e = FSGetCatalogInfo(ref, want, &info, nullptr, nullptr, nullptr)) return e;
    if (nodeID != nullptr) *nodeID = static_cast<SInt32>(info.nodeID);
    if (isDirectory != nullptr)
        *isDirectory = (info.nodeFlags & kFSNodeIsDirectoryMask) != 0 ? 1 : 0;
    return noErr;
}
