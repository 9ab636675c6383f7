// Moving with a new name in one step, and exchanging two files, each undoing
// its own completed steps when a later one fails.
//
// Both work through names that exist in neither directory involved, so that
// no intermediate step can collide with an existing item: the only step that
// can meet a name already taken is the final rename, and that is undone.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace {

constexpr long kUniqueCounterStart = 0x5176747A;
constexpr FSCatalogInfoBitmap kExchangeReadBitmap = 0x1F2F;
constexpr FSCatalogInfoBitmap kExchangeBitmap = 0x1F23;
constexpr FSCatalogInfoBitmap kRestoreBitmap = kFSCatInfoSettableInfo;  // 0x1FE3
// The restore writes both modification dates back, so they are read too:
// without them the undo would stamp each file with dates it never had.
constexpr FSCatalogInfoBitmap kSavedBitmap =
    kExchangeReadBitmap | kFSCatInfoContentMod | kFSCatInfoAttrMod;

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

// One file of a compatible exchange: what was read before the first change,
// and the reference of the file as it stands after its latest successful step.
struct ExchangeSide {
    FSRef working;
    FSCatalogInfo info;
    HFSUniStr255 name;
    FSRef parent;
    HFSUniStr255 tempName;
};

// The inode behind `ref` and how many names it has, from its path as it is
// on disk (a name that is not UTF-8 stays as its bytes).
OSErr inode_of(const FSRef* ref, struct stat* st) {
    char path[PATH_MAX];
    if (OSStatus e = FSRefMakePath(ref, reinterpret_cast<UInt8*>(path), sizeof path))
        return static_cast<OSErr>(e);
    if (::lstat(path, st) == 0) return noErr;
    return errno == ENOENT || errno == ENOTDIR ? fnfErr : ioErr;
}

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

// The undo chain of the compatible exchange, entered at `from` (0..6) and run
// to its end. Each step ignores its own result; a working reference is
// refreshed only from a step that succeeded.
void undo_exchange(int from, bool sameParent, ExchangeSide& a, ExchangeSide& b, FSRef* newFirst,
                   FSRef* newSecond) {
    switch (from) {
        case 0:
            if (FSRenameUnicode(&a.working, a.tempName.length, a.tempName.unicode,
                                kTextEncodingUnknown, newFirst) == noErr)
                a.working = *newFirst;
            [[fallthrough]];
        case 1:
            (void)FSSetCatalogInfo(&b.working, kRestoreBitmap, &b.info);
            [[fallthrough]];
        case 2:
            (void)FSSetCatalogInfo(&a.working, kRestoreBitmap, &a.info);
            [[fallthrough]];
        case 3:
            if (!sameParent) {
                if (FSMoveObject(&b.working, &b.parent, newSecond) == noErr) b.working = *newSecond;
            }
            [[fallthrough]];
        case 4:
            if (!sameParent) {
                if (FSMoveObject(&a.working, &a.parent, newFirst) == noErr) a.working = *newFirst;
            }
            [[fallthrough]];
        case 5:
            if (FSRenameUnicode(&b.working, b.name.length, b.name.unicode, b.info.textEncodingHint,
                                newSecond) == noErr)
                b.working = *newSecond;
            [[fallthrough]];
        case 6:
            if (FSRenameUnicode(&a.working, a.name.length, a.name.unicode, a.info.textEncodingHint,
                                newFirst) == noErr)
                a.working = *newFirst;
            break;
        default:
            break;
    }
}

}  // namespace

OSErr FSExchangeObjectsCompat(const FSRef* first, const FSRef* second, FSRef* newFirst,
                              FSRef* newSecond) {
    if (newFirst == nullptr || newSecond == nullptr || first == nullptr || second == nullptr)
        return paramErr;
    ExchangeSide a;
    ExchangeSide b;
    *newFirst = a.working = *first;
    *newSecond = b.working = *second;

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

    std::memset(&a.info, 0, sizeof a.info);
    std::memset(&b.info, 0, sizeof b.info);
    if (OSErr e = FSGetCatalogInfo(first, kSavedBitmap, &a.info, &a.name, nullptr, &a.parent))
        return e;
    if (OSErr e = FSGetCatalogInfo(second, kSavedBitmap, &b.info, &b.name, nullptr, &b.parent))
        return e;
    if (a.info.volume != b.info.volume) return diffVolErr;
    if ((a.info.nodeFlags & kFSNodeIsDirectoryMask) != 0 ||
        (b.info.nodeFlags & kFSNodeIsDirectoryMask) != 0)
        return notAFileErr;
    // The exchanged fields belong to a name, and they are written onto the
    // other file's inode: a file with another hard link would give them to
    // names nobody asked about. Refused as the platform's exchange refuses
    // it, before anything changes; two names of one file have nothing to trade.
    struct stat sa {};
    struct stat sb {};
    if (OSErr e = inode_of(first, &sa)) return e;
    if (OSErr e = inode_of(second, &sb)) return e;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return noErr;
    if (((a.info.nodeFlags | b.info.nodeFlags) & kFSNodeLockedMask) != 0) return fLckdErr;
    if (sa.st_nlink > 1 || sb.st_nlink > 1) return permErr;

    long counter = kUniqueCounterStart;
    if (OSErr e = GenerateUniqueHFSUniStr(&counter, &a.parent, &b.parent, &a.tempName)) return e;
    if (OSErr e = GenerateUniqueHFSUniStr(&counter, &a.parent, &b.parent, &b.tempName)) return e;

    OSErr err = FSRenameUnicode(&a.working, a.tempName.length, a.tempName.unicode,
                                kTextEncodingUnknown, newFirst);
    if (err != noErr) return err;
    a.working = *newFirst;

    const bool sameParent = a.info.parentDirID == b.info.parentDirID;
    auto fail = [&](int undoFrom) {
        undo_exchange(undoFrom, sameParent, a, b, newFirst, newSecond);
        return err;
    };

    err = FSRenameUnicode(&b.working, b.tempName.length, b.tempName.unicode, kTextEncodingUnknown,
                          newSecond);
    if (err != noErr) return fail(6);
    b.working = *newSecond;

    if (!sameParent) {
        err = FSMoveObject(&a.working, &b.parent, newFirst);
        if (err != noErr) return fail(5);
        a.working = *newFirst;
        err = FSMoveObject(&b.working, &a.parent, newSecond);
        if (err != noErr) return fail(4);
        b.working = *newSecond;
    }

    // Each file takes on the catalogue fields of the name and place it is
    // about to have; the modification dates stay with the contents. A write
    // that fails leaves its file as it was (the platform puts back what it
    // changed), so the undo starts with the files already written.
    err = FSSetCatalogInfo(&a.working, kExchangeBitmap, &b.info);
    if (err != noErr) return fail(3);
    err = FSSetCatalogInfo(&b.working, kExchangeBitmap, &a.info);
    if (err != noErr) return fail(2);

    err = FSRenameUnicode(&a.working, b.name.length, b.name.unicode, b.info.textEncodingHint,
                          newFirst);
    if (err != noErr) return fail(1);
    a.working = *newFirst;
    err = FSRenameUnicode(&b.working, a.name.length, a.name.unicode, a.info.textEncodingHint,
                          newSecond);
    if (err != noErr) return fail(0);

    // newFirst names what now stands at the first file's name and place (the
    // former second file), newSecond what stands at the second's.
    *newFirst = *newSecond;
    *newSecond = a.working;
    return noErr;
}
