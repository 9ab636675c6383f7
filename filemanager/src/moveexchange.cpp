// Moving with a new name in one step, and exchanging two files, each undoing
// its own completed steps when a later one fails.
//
// The move works through a name that exists in neither directory involved,
// so that no intermediate step can collide with an existing item: the only
// step that can meet a name already taken is the final rename, and that is
// undone. The exchange leaves its steps to the platform, which keeps every
// name it passes through private.
#include <cstring>

#include "vantrel/FSUtilities.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

namespace {

constexpr long kUniqueCounterStart = 0x5176747A;
constexpr FSCatalogInfoBitmap kExchangeReadBitmap = 0x1F2F;

// The counter is a 32-bit pattern even where `long` is wider.
UInt32 counter_bits(long counter) {
    return static_cast<UInt32>(counter);
}

}  // namespace

// Writes the counter as eight upper-case hexadecimal digits and advances it
// until that name is absent from both directories. The counter is left one
// past the value that formed the returned name; on an error (anything but
// "found" or "not found") it is left where it was and the error returned.
// NOLINTNEXTLINE(readability-identifier-naming): the design names this local function
static OSErr GenerateUniqueHFSUniStr(long* counter, const FSRef* firstDir, const FSRef* secondDir,
                                     HFSUniStr255* uniqueName) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    FSRef scratch;
    FSRefParam pb;
    std::memset(&pb, 0, sizeof pb);
    pb.nameLength = 8;
    pb.name = uniqueName->unicode;
    pb.textEncodingHint = kTextEncodingUnknown;
    pb.newRef = &scratch;
    for (;;) {
        uniqueName->length = 8;
        const UInt32 bits = counter_bits(*counter);
        for (int i = 0; i < 8; ++i)
            uniqueName->unicode[i] =
                static_cast<unsigned char>(kDigits[(bits >> (28 - 4 * i)) & 0xF]);
        pb.ref = firstDir;
        OSErr answer = PBMakeFSRefUnicodeSync(&pb);
        if (answer == fnfErr) {
            pb.ref = secondDir;
            answer = PBMakeFSRefUnicodeSync(&pb);
        }
        if (answer != fnfErr && answer != noErr) return answer;
        *counter = static_cast<long>(static_cast<SInt32>(bits + 1u));
        if (answer == fnfErr) return noErr;
    }
}

OSErr FSMoveRenameObjectUnicode(const FSRef* object, const FSRef* destDir,
                                UniCharCount newNameLength, const UniChar* newName,
                                TextEncoding encodingHint, FSRef* newRef) {
    if (newRef == nullptr || object == nullptr || destDir == nullptr) return paramErr;
    *newRef = *object;

    // Everything the undo may need is read before the first change.
    FSCatalogInfo info;
    if (OSErr e = FSGetCatalogInfo(destDir, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr))
        return e;
    const FSVolumeRefNum destVolume = info.volume;
    HFSUniStr255 savedName;
    FSRef savedParent;
    if (OSErr e = FSGetCatalogInfo(object, kFSCatInfoTextEncoding | kFSCatInfoVolume, &info,
                                   &savedName, nullptr, &savedParent))
        return e;
    const TextEncoding savedHint = info.textEncodingHint;
    if (info.volume != destVolume) return diffVolErr;

    if (newName == nullptr) {
        const FSRef current = *newRef;
        return FSMoveObject(&current, destDir, newRef);
    }

    // Within one folder there is nothing to move: one rename, which takes
    // the resource fork along, and never a name anyone can see between. A
    // crash inside the three steps below would leave the file under a
    // temporary name with its fork cut from it.
    const OSErr same = FSCompareFSRefs(&savedParent, destDir);
    if (same != noErr && same != diffVolErr && same != errFSRefsDifferent) return same;
    if (same == noErr) {
        FSRef renamed;
        if (OSErr e = FSRenameUnicode(object, newNameLength, newName, encodingHint, &renamed))
            return e;  // nothing has changed
        *newRef = renamed;
        return noErr;
    }

    long counter = kUniqueCounterStart;
    HFSUniStr255 tempName;
    if (OSErr e = GenerateUniqueHFSUniStr(&counter, &savedParent, destDir, &tempName)) return e;

    if (OSErr e = FSRenameUnicode(object, tempName.length, tempName.unicode, kTextEncodingUnknown,
                                  newRef))
        return e;  // nothing has changed
    FSRef current = *newRef;
    OSErr err = FSMoveObject(&current, destDir, newRef);
    if (err == noErr) {
        current = *newRef;
        err = FSRenameUnicode(&current, newNameLength, newName, encodingHint, newRef);
        if (err == noErr) return noErr;
        // The final rename met a name already taken (or failed otherwise):
        // back to the former directory ...
        current = *newRef;
        (void)FSMoveObject(&current, &savedParent, newRef);
    }
    // ... and the former name.
    current = *newRef;
    (void)FSRenameUnicode(&current, savedName.length, savedName.unicode, savedHint, newRef);
    return err;
}

namespace {

bool volume_exchanges_natively(FSVolumeRefNum volume) {
    GetVolParmsInfoBuffer parms;
    std::memset(&parms, 0, sizeof parms);
    HParamBlockRec pb;
    std::memset(&pb, 0, sizeof pb);
    pb.ioParam.ioNamePtr = nullptr;
    pb.ioParam.ioVRefNum = volume;
    pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&parms);
    pb.ioParam.ioReqCount = 32;  // through vMExtendedAttributes
    // A volume that cannot say is exchanged the compatible way.
    vantrel::fault::Benign benign;
    if (PBHGetVolParmsSync(&pb) != noErr) return false;
    return parms.vMVersion > 2 &&
           (parms.vMExtendedAttributes & (1L << bSupportsFSExchangeObjects)) != 0;
}

}  // namespace

OSErr FSExchangeObjectsCompat(const FSRef* first, const FSRef* second, FSRef* newFirst,
                              FSRef* newSecond) {
    if (newFirst == nullptr || newSecond == nullptr || first == nullptr || second == nullptr)
        return paramErr;
    *newFirst = *first;
    *newSecond = *second;

    FSCatalogInfo volumeInfo;
    if (OSErr e = FSGetCatalogInfo(first, kFSCatInfoVolume, &volumeInfo, nullptr, nullptr, nullptr))
        return e;
    if (volume_exchanges_natively(volumeInfo.volume)) {
        // The platform's exchange moves whole files, and its references
        // follow the files: afterwards `second` names what stands at the
        // first file's name and place. The out-references say so, as they do
        // after the compatible exchange.
        const FSRef firstIn = *first;
        const FSRef secondIn = *second;
        const OSErr err = FSExchangeObjects(&firstIn, &secondIn);
        if (err == noErr) {
            *newFirst = secondIn;
            *newSecond = firstIn;
        }
        return err;
    }

    FSCatalogInfo infoA, infoB;
    std::memset(&infoA, 0, sizeof infoA);
    std::memset(&infoB, 0, sizeof infoB);
    if (OSErr e = FSGetCatalogInfo(first, kExchangeReadBitmap, &infoA, nullptr, nullptr, nullptr))
        return e;
    if (OSErr e = FSGetCatalogInfo(second, kExchangeReadBitmap, &infoB, nullptr, nullptr, nullptr))
        return e;
    if (infoA.volume != infoB.volume) return diffVolErr;
    if ((infoA.nodeFlags & kFSNodeIsDirectoryMask) != 0 ||
        (infoB.nodeFlags & kFSNodeIsDirectoryMask) != 0)
        return notAFileErr;
    // Without the volume's exchange, the platform's exchange by names: the
    // same trade, through private names no listing shows and under a
    // journal, where temporary names of our own would be visible items a
    // kill could leave the files under, cut from their forks. Its hard-link
    // check is made on the files themselves, not on paths. Its references
    // follow the contents, as the native exchange's do.
    const FSRef firstIn = *first;
    const FSRef secondIn = *second;
    const OSErr err = VantrelFSExchangeObjectsByNames(&firstIn, &secondIn);
    if (err != noErr) return err;
    *newFirst = secondIn;
    *newSecond = firstIn;
    return noErr;
}
