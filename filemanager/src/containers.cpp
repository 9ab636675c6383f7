// Containers: delete a directory's contents (and the directory), walk its
// tree with a filter and a depth limit, and list its items into a handle.
//
// One record per top-level call carries the walk's state down every level.
// The levels themselves are frames of an explicit stack on the heap, not
// calls on the machine stack: a tree 10,000 levels deep must not overflow
// the small stack of a caller's thread. Each frame holds only its iterator
// (and, when deleting, the current item's reference and flags, which must
// survive the level below); the visiting order and the results are those of
// one recursive call per level.
#include <vector>

#include "vantrel/BulkDelete.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace {

// Closing an iterator releases it whatever it reports; the walk's result does
// not depend on it.
void close_iterator(FSIterator iterator) {
    vantrel::fault::Benign benign;
    (void)FSCloseIterator(iterator);
}

// One directory level of a deletion walk.
struct DeleteFrame {
    FSIterator iterator;
    FSRef itemToDelete;  // the item being handled at this level
    UInt16 nodeFlags;    // its flags, copied before the level below overwrites the record's
    OSErr refused;       // why a folder's first delete failed, when not for its items or a lock
};

// Locks or unlocks `item` to `flags`; a failure is left to the delete that
// follows (it reports the lock), or leaves the item as it was.
void set_flags(const FSRef* item, UInt16 flags, FSDeleteContainerGlobals* theGlobals) {
    theGlobals->catalogInfo.nodeFlags = flags;
    (void)FSSetCatalogInfo(item, kFSCatInfoNodeFlags, &theGlobals->catalogInfo);
}

// NOLINTNEXTLINE(readability-identifier-naming): the design names the local level functions
void FSDeleteContainerLevel(const FSRef* container, FSDeleteContainerGlobals* theGlobals) {
    std::vector<DeleteFrame> levels(1);
    theGlobals->result = FSOpenIterator(container, kFSIterateDelete, &levels.back().iterator);
    if (theGlobals->result != noErr) return;  // nothing to close
    bool fromBelow = false;                   // the level below this one has just ended
    while (!levels.empty()) {
        DeleteFrame* level = &levels.back();
        if (fromBelow) {
            // Finish the directory whose contents the level below deleted (or
            // failed to): delete it, or relock it when it stays.
            fromBelow = false;
            const UInt16 nodeFlags = level->nodeFlags;
            // A folder refused for another reason was emptied as the walk
            // would have done anyway; that refusal is its answer, not a retry.
            if (theGlobals->result == noErr) theGlobals->result = level->refused;
            if (theGlobals->result != noErr && (nodeFlags & kFSNodeLockedMask) != 0)
                set_flags(&level->itemToDelete, nodeFlags, theGlobals);
            if (theGlobals->result == noErr) {
                theGlobals->result = FSDeleteObject(&level->itemToDelete);
                if (theGlobals->result != noErr && (nodeFlags & kFSNodeLockedMask) != 0)
                    set_flags(&level->itemToDelete, nodeFlags, theGlobals);
            }
        }
        bool descend = false;
        while (theGlobals->result == noErr) {
            // A file with no fork goes straight from the listing, by name, as
            // rm -rf deletes it: the bulk delete returns only the rest (a
            // folder, an item with a "._NAME" beside it, and whatever the
            // kernel refused to unlink by name). The delete, which finds such
            // an item by its reference and checks it is the one listed, tells
            // the common case (an empty folder, a file with its fork, now
            // gone) from the rest. Only what it refuses is asked for its flags
            // and handled as before: a folder is emptied first whatever
            // refused it (its items may go where it may not, as with rm -rf),
            // a locked file is unlocked when its lock is what refused it, and
            // anything else stops the walk with the delete's own answer.
            theGlobals->result = VantrelFSBulkDeleteFiles(
                level->iterator, 1, &theGlobals->returnedCount, &level->itemToDelete);
            if (theGlobals->result != noErr || theGlobals->returnedCount != 1) continue;
            const OSErr deleted = FSDeleteObject(&level->itemToDelete);
            // Gone since the directory was read (another deleter, or replaced:
            // the iterator reads the directory again for what is there now).
            if (deleted == noErr || deleted == fnfErr) continue;
            theGlobals->result =
                FSGetCatalogInfo(&level->itemToDelete, kFSCatInfoNodeFlags | kFSCatInfoNodeID,
                                 &theGlobals->catalogInfo, nullptr, nullptr, nullptr);
            if (theGlobals->result == fnfErr) theGlobals->result = noErr;
            if (theGlobals->result != noErr) continue;
            const UInt16 nodeFlags = theGlobals->catalogInfo.nodeFlags;
            const bool folder = (nodeFlags & kFSNodeIsDirectoryMask) != 0;
            // A folder that is the root of another volume (a mount point, a
            // bind mount of a folder from elsewhere) holds what lies outside
            // the container: it is never emptied, and its refusal stands.
            if (folder && theGlobals->catalogInfo.nodeID == fsRtDirID) {
                theGlobals->result = deleted;
                continue;
            }
            if (!folder && (deleted != fLckdErr || (nodeFlags & kFSNodeLockedMask) == 0)) {
                theGlobals->result = deleted;  // what refused it is no lock
                continue;
            }
            level->nodeFlags = nodeFlags;
            level->refused =
                (!folder || deleted == fBsyErr || deleted == fLckdErr) ? OSErr(noErr) : deleted;
            if ((nodeFlags & kFSNodeLockedMask) != 0)
                set_flags(&level->itemToDelete, UInt16(nodeFlags & ~kFSNodeLockedMask), theGlobals);
            if ((nodeFlags & kFSNodeIsDirectoryMask) != 0) {
                // A locked directory refuses changes to its entries, so it was
                // unlocked before it is emptied; it is locked again if emptying fails.
                FSIterator below;
                theGlobals->result = FSOpenIterator(&level->itemToDelete, kFSIterateDelete, &below);
                if (theGlobals->result == noErr) {
                    levels.push_back(DeleteFrame{below, {}, 0, noErr});
                    descend = true;
                } else {
                    fromBelow = true;  // as a level below whose open failed
                }
                break;
            }
            theGlobals->result = FSDeleteObject(&level->itemToDelete);
            if (theGlobals->result != noErr && (nodeFlags & kFSNodeLockedMask) != 0)
                set_flags(&level->itemToDelete, nodeFlags,
                          theGlobals);  // not deleted: keeps its lock
        }
        if (descend || fromBelow) continue;
        // This level is done (its items gone, or a failure): close it.
        if (theGlobals->result == errFSNoMoreItems) theGlobals->result = noErr;
        close_iterator(level->iterator);
        levels.pop_back();
        fromBelow = true;
    }
}

// One directory level of an iteration walk.
struct IterateFrame {
    FSIterator iterator;
};

// Opens the level for the directory in the record's itemRef, as a call of
// the recursive form would on entry. False when nothing was opened (the
// depth limit, or the open failed with the record's result set).
bool enter_level(FSIterateContainerGlobals* theGlobals, std::vector<IterateFrame>* levels) {
    // With a limit of N, a directory at depth N reaches the filter but is not entered.
    if (theGlobals->depthLimit != 0 && theGlobals->depthLimit <= theGlobals->depth) return false;
    FSIterator iterator;
    theGlobals->result = FSOpenIterator(&theGlobals->itemRef, kFSIterateFlat, &iterator);
    if (theGlobals->result != noErr) return false;
    ++theGlobals->depth;
    levels->push_back(IterateFrame{iterator});
    return true;
}

// NOLINTNEXTLINE(readability-identifier-naming): the design names the local level functions
void FSIterateContainerLevel(FSIterateContainerGlobals* theGlobals) {
    std::vector<IterateFrame> levels;
    if (!enter_level(theGlobals, &levels)) return;
    while (!levels.empty()) {
        bool entered = false;
        // A level's loop; a deeper level may have changed `stop` and `result`.
        while (!theGlobals->stop && theGlobals->result == noErr) {
            theGlobals->result = FSGetCatalogInfoBulk(
                levels.back().iterator, 1, &theGlobals->returnedCount, &theGlobals->changed,
                theGlobals->infoBitmap, &theGlobals->catalogInfo, &theGlobals->itemRef,
                theGlobals->specOut, theGlobals->nameOut);
            if ((theGlobals->result == noErr || theGlobals->result == errFSNoMoreItems) &&
                theGlobals->returnedCount != 0) {
                theGlobals->stop = theGlobals->filter(theGlobals->changed, theGlobals->depth,
                                                      &theGlobals->catalogInfo,
                                                      &theGlobals->itemRef, theGlobals->specOut,
                                                      theGlobals->nameOut, theGlobals->context);
                // itemRef names the directory just returned, so the deeper level opens it.
                if ((theGlobals->catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0 &&
                    !theGlobals->stop && enter_level(theGlobals, &levels)) {
                    entered = true;
                    break;
                }
            }
        }
        if (entered) continue;
        // The end of a level, or a subdirectory refused for access rights, is
        // not an error for the levels above.
        if (theGlobals->result == errFSNoMoreItems || theGlobals->result == afpAccessDenied)
            theGlobals->result = noErr;
        --theGlobals->depth;
        close_iterator(levels.back().iterator);
        levels.pop_back();
    }
}

}  // namespace

OSErr FSDeleteContainerContents(const FSRef* container) {
    FSDeleteContainerGlobals theGlobals;
    FSDeleteContainerLevel(container, &theGlobals);
    return theGlobals.result;
}

OSErr FSDeleteContainer(const FSRef* container) {
    FSCatalogInfo catalogInfo;
    OSErr result =
        FSGetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo, nullptr, nullptr, nullptr);
    if (result != noErr) return result;
    if ((catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) == 0) return dirNFErr;
    // A locked container is unlocked before it is emptied (its entries cannot
    // change while it is locked) and locked again if emptying fails.
    const UInt16 nodeFlags = catalogInfo.nodeFlags;
    if ((nodeFlags & kFSNodeLockedMask) != 0) {
        catalogInfo.nodeFlags = UInt16(nodeFlags & ~kFSNodeLockedMask);
        (void)FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo);
    }
    FSDeleteContainerGlobals theGlobals;
    FSDeleteContainerLevel(container, &theGlobals);
    if (theGlobals.result != noErr) {  // the container stays, as it was
        if ((nodeFlags & kFSNodeLockedMask) != 0) {
            catalogInfo.nodeFlags = nodeFlags;
            (void)FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo);
        }
        return theGlobals.result;
    }
    result = FSDeleteObject(container);
    if (result != noErr && (nodeFlags & kFSNodeLockedMask) != 0) {
        catalogInfo.nodeFlags = nodeFlags;
        (void)FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo);
    }
    return result;
}

OSErr FSIterateContainer(const FSRef* container, ItemCount depthLimit, FSCatalogInfoBitmap bitmap,
                         Boolean withSpecs, Boolean withNames, ContainerFilterProc filter,
                         void* context) {
    if (filter == nullptr) return paramErr;
    if (container == nullptr) return paramErr;  // the copy below must not read through null
    FSIterateContainerGlobals theGlobals;
    theGlobals.filter = filter;
    theGlobals.infoBitmap = bitmap | kFSCatInfoNodeFlags;
    theGlobals.itemRef = *container;  // the caller's reference is never written
    theGlobals.specOut = withSpecs ? &theGlobals.itemSpec : nullptr;
    theGlobals.nameOut = withNames ? &theGlobals.itemName : nullptr;
    theGlobals.context = context;
    theGlobals.depthLimit = depthLimit;
    theGlobals.depth = 0;
    theGlobals.stop = false;
    theGlobals.changed = false;
    theGlobals.result = noErr;
    theGlobals.returnedCount = 0;
    FSIterateContainerLevel(&theGlobals);
    return theGlobals.result;
}

OSErr FSGetDirectoryItems(const FSRef* container, FSRef*** refList, ItemCount* refCount,
                          Boolean* changedOut) {
    if (refList == nullptr || refCount == nullptr || changedOut == nullptr) return paramErr;
    constexpr ItemCount kMaxItemsPerBulkCall = 10;
    *refCount = 0;
    *changedOut = false;
    *refList = reinterpret_cast<FSRef**>(NewHandle(0));
    if (*refList == nullptr) return memFullErr;
    FSIterator iterator;
    OSErr result = FSOpenIterator(container, kFSIterateFlat, &iterator);
    if (result == noErr) {
        for (;;) {
            FSRef refs[kMaxItemsPerBulkCall];
            ItemCount actualObjects = 0;
            Boolean changed = false;
            result = FSGetCatalogInfoBulk(iterator, kMaxItemsPerBulkCall, &actualObjects, &changed,
                                          kFSCatInfoNone, nullptr, refs, nullptr, nullptr);
            if (changed) *changedOut = true;  // never set back within one call
            if (result != noErr && result != errFSNoMoreItems) break;
            if (actualObjects != 0) {
                (void)PtrAndHand(refs, reinterpret_cast<Handle>(*refList),
                                 long(actualObjects * sizeof(FSRef)));
                OSErr memResult = MemError();
                if (memResult != noErr) {
                    result = memResult;
                    break;
                }
                *refCount += actualObjects;
            }
            if (result == errFSNoMoreItems) {
                close_iterator(iterator);
                return noErr;
            }
        }
        close_iterator(iterator);
    }
    if (*refList != nullptr) DisposeHandle(reinterpret_cast<Handle>(*refList));
    *refList = nullptr;
    *refCount = 0;
    return result;
}
