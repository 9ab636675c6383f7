// Containers: delete a directory's contents (and the directory), walk its
// tree with a filter and a depth limit, and list its items into a handle.
//
// One record per top-level call carries the walk's state down every level;
// a level's own frame holds only its iterator (and, when deleting, the
// current item's reference and flags, which must survive the recursion).
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace {

// Closing an iterator releases it whatever it reports; the walk's result does
// not depend on it.
void close_iterator(FSIterator iterator) {
    vantrel::fault::Benign benign;
    (void)FSCloseIterator(iterator);
}

void FSDeleteContainerLevel(const FSRef* container, FSDeleteContainerGlobals* theGlobals) {
    FSIterator iterator;
    theGlobals->result = FSOpenIterator(container, kFSIterateDelete, &iterator);
    if (theGlobals->result != noErr) return;  // nothing to close
    do {
        FSRef itemToDelete;
        theGlobals->result = FSGetCatalogInfoBulk(iterator, 1, &theGlobals->returnedCount, nullptr,
                                                  kFSCatInfoNodeFlags, &theGlobals->catalogInfo,
                                                  &itemToDelete, nullptr, nullptr);
        if (theGlobals->result == noErr && theGlobals->returnedCount == 1) {
            // The recursion overwrites the record's catalogInfo: keep the flags.
            UInt16 nodeFlags = theGlobals->catalogInfo.nodeFlags;
            if ((nodeFlags & kFSNodeIsDirectoryMask) != 0) {
                // A locked directory refuses changes to its entries, so it is
                // unlocked before it is emptied, and locked again if emptying fails.
                if ((nodeFlags & kFSNodeLockedMask) != 0) {
                    theGlobals->catalogInfo.nodeFlags = UInt16(nodeFlags & ~kFSNodeLockedMask);
                    (void)FSSetCatalogInfo(&itemToDelete, kFSCatInfoNodeFlags,
                                           &theGlobals->catalogInfo);
                }
                FSDeleteContainerLevel(&itemToDelete, theGlobals);
                if (theGlobals->result != noErr && (nodeFlags & kFSNodeLockedMask) != 0) {
                    theGlobals->catalogInfo.nodeFlags = nodeFlags;
                    (void)FSSetCatalogInfo(&itemToDelete, kFSCatInfoNodeFlags,
                                           &theGlobals->catalogInfo);
                }
            }
            if (theGlobals->result != noErr) break;
            if ((nodeFlags & kFSNodeLockedMask) != 0 && (nodeFlags & kFSNodeIsDirectoryMask) == 0) {
                theGlobals->catalogInfo.nodeFlags = UInt16(nodeFlags & ~kFSNodeLockedMask);
                (void)FSSetCatalogInfo(&itemToDelete, kFSCatInfoNodeFlags,
                                       &theGlobals->catalogInfo);
            }
            theGlobals->result = FSDeleteObject(&itemToDelete);
            if (theGlobals->result != noErr && (nodeFlags & kFSNodeLockedMask) != 0) {
                // Not deleted: it keeps its lock.
                theGlobals->catalogInfo.nodeFlags = nodeFlags;
                (void)FSSetCatalogInfo(&itemToDelete, kFSCatInfoNodeFlags,
                                       &theGlobals->catalogInfo);
            }
        }
    } while (theGlobals->result == noErr);
    if (theGlobals->result == errFSNoMoreItems) theGlobals->result = noErr;
    close_iterator(iterator);
}

void FSIterateContainerLevel(FSIterateContainerGlobals* theGlobals) {
    // With a limit of N, a directory at depth N reaches the filter but is not entered.
    if (theGlobals->depthLimit != 0 && theGlobals->depthLimit <= theGlobals->depth) return;
    FSIterator iterator;
    theGlobals->result = FSOpenIterator(&theGlobals->itemRef, kFSIterateFlat, &iterator);
    if (theGlobals->result != noErr) return;
    ++theGlobals->depth;
    do {
        theGlobals->result =
            FSGetCatalogInfoBulk(iterator, 1, &theGlobals->returnedCount, &theGlobals->changed,
                                 theGlobals->infoBitmap, &theGlobals->catalogInfo,
                                 &theGlobals->itemRef, theGlobals->specOut, theGlobals->nameOut);
        if ((theGlobals->result == noErr || theGlobals->result == errFSNoMoreItems) &&
            theGlobals->returnedCount != 0) {
            theGlobals->stop =
                theGlobals->filter(theGlobals->changed, theGlobals->depth, &theGlobals->catalogInfo,
                                   &theGlobals->itemRef, theGlobals->specOut, theGlobals->nameOut,
                                   theGlobals->context);
            // itemRef names the directory just returned, so the deeper level opens it.
            if ((theGlobals->catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0 &&
                !theGlobals->stop)
                FSIterateContainerLevel(theGlobals);
        }
    } while (!theGlobals->stop && theGlobals->result == noErr);
    // The end of a level, or a subdirectory refused for access rights, is
    // not an error for the levels above.
    if (theGlobals->result == errFSNoMoreItems || theGlobals->result == afpAccessDenied)
        theGlobals->result = noErr;
    --theGlobals->depth;
    close_iterator(iterator);
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
