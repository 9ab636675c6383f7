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
#include <deque>
#include <string>
#include <vector>

#include "vantrel/BulkDelete.h"
#include "vantrel/DiskNames.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace {

// Closing an iterator releases it whatever it reports; the walk's result does
// not depend on it.
void close_iterator(FSIterator iterator) {
    vantrel::fault::Benign benign;
    (void)FSCloseIterator(iterator);
}

// Whether a deletion's answer says the item is gone: deleted by another
// process, or moved out of the tree, since the walk met it (its folder gone
// too: dirNFErr). What was to be deleted and is no longer there is success,
// as it is for rm -rf.
bool gone(OSErr e) {
    return e == fnfErr || e == dirNFErr;
}

// One directory level of a deletion walk.
struct DeleteFrame {
    FSIterator iterator;
    FSRef itemToDelete;  // the item being handled at this level
    UInt16 nodeFlags;    // its flags, copied before the level below overwrites the record's
    OSErr refused;       // why a folder's first delete failed, when not for its items or a lock
    std::string name;    // the item's entry, kept only when the walk is watched
    bool isFolder;       // as the listing showed it (watched walks only)
};

// Whoever watches a deletion walk, told of each item as it goes or stays.
// One name per level is all a watcher needs to rebuild a path of any
// length: each visit carries its depth.
class Watcher {
  public:
    Watcher(VantrelDeleteVisitProc proc, void* context) : proc_(proc), context_(context) {}

    void tell(VantrelDeleteEvent event, ItemCount depth, const std::string& name, bool folder,
              OSErr result = noErr) {
        if (event == kVantrelDeleteRefused) {
            if (told_) return;  // the walk stops at its first failure: told where it arose
            told_ = true;
        }
        VantrelDeleteVisit v{event,
                             static_cast<Boolean>(folder),
                             result,
                             depth,
                             reinterpret_cast<const UInt8*>(name.data()),
                             static_cast<ByteCount>(name.size())};
        proc_(&v, context_);
    }
    // An item the bulk delete unlinked by name, at `depth`.
    static void unlinked(const UInt8* name, ByteCount length, void* self) {
        auto* w = static_cast<Watcher*>(self);
        VantrelDeleteVisit v{kVantrelDeleteRemoved, false, noErr, w->depth_, name, length};
        w->proc_(&v, w->context_);
    }
    void at_depth(ItemCount depth) { depth_ = depth; }
    bool told() const { return told_; }

  private:
    VantrelDeleteVisitProc proc_;
    void* context_;
    ItemCount depth_ = 0;
    bool told_ = false;
};

// The entry's bytes for a returned reference: from the listing, or asked of
// the reference for a name longer than the listing's record holds.
std::string entry_name(const VantrelDiskName& listed, const FSRef& ref) {
    if (listed.length != 0)
        return {reinterpret_cast<const char*>(listed.bytes), std::size_t{listed.length}};
    std::string name(4096, '\0');
    ByteCount n = 0;
    if (VantrelFSRefGetDiskName(&ref, reinterpret_cast<UInt8*>(name.data()), name.size(), &n) !=
        noErr)
        n = 0;
    name.resize(n);
    return name;
}

// Locks or unlocks `item` to `flags`; a failure is left to the delete that
// follows (it reports the lock), or leaves the item as it was.
void set_flags(const FSRef* item, UInt16 flags, FSDeleteContainerGlobals* theGlobals) {
    theGlobals->catalogInfo.nodeFlags = flags;
    (void)FSSetCatalogInfo(item, kFSCatInfoNodeFlags, &theGlobals->catalogInfo);
}

// Stands for the delete of a listed folder, not tried before its items go.
constexpr OSErr kNotTried = 1;

// A listed folder the walk may not read (modes 0, 0100, 0300, 0333) is
// deleted as it is, which succeeds when it is empty: removing it takes only
// its parent's rights. Only one whose rights do deny reading it: a refusal
// of another cause stands. True when it went (or was gone); otherwise the
// record keeps the reason it could not be read, and the folder its lock.
bool delete_unreadable(DeleteFrame* level, FSDeleteContainerGlobals* theGlobals, Watcher* watcher,
                       ItemCount depth) {
    FSCatalogInfo info;
    if (FSGetCatalogInfo(&level->itemToDelete, kFSCatInfoUserPrivs, &info, nullptr, nullptr,
                         nullptr) != noErr ||
        (info.userPrivileges & (kioACUserNoSeeFolderMask | kioACUserNoSeeFilesMask)) == 0)
        return false;
    const OSErr deleted = FSDeleteObject(&level->itemToDelete);
    if (deleted != noErr && !gone(deleted)) return false;
    if (deleted == noErr && watcher) watcher->tell(kVantrelDeleteRemoved, depth, level->name, true);
    theGlobals->result = noErr;
    return true;
}

// The deletion walk of FSDeleteContainerLevel, told to `watcher` when one
// watches: each item deleted (a folder after its items, and before them the
// folder entered) and the one whose refusal or failure stops the walk.
// With `rootUnopened`, a container that cannot be opened is told to the
// caller there, not to the watcher: the caller may still delete it.
void delete_level(const FSRef* container, FSDeleteContainerGlobals* theGlobals, Watcher* watcher,
                  bool* rootUnopened = nullptr) {
    // A deque: no copy of every frame, twice their size, each time it grows.
    std::deque<DeleteFrame> levels(1);
    theGlobals->result = FSOpenIterator(container, kFSIterateDelete, &levels.back().iterator);
    if (theGlobals->result != noErr) {
        if (rootUnopened != nullptr) {
            *rootUnopened = true;
        } else if (watcher) {
            watcher->tell(kVantrelDeleteRefused, 0, {}, true, theGlobals->result);
        }
        return;  // nothing to close
    }
    // The listing's answers for the one item taken at a time, when watched.
    VantrelDiskName listedName{};
    Boolean listedFolder = false;
    bool fromBelow = false;  // the level below this one has just ended
    while (!levels.empty()) {
        DeleteFrame* level = &levels.back();
        const ItemCount depth = levels.size();  // of this level's items
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
                if (gone(theGlobals->result)) {
                    theGlobals->result = noErr;
                } else if (watcher && theGlobals->result == noErr) {
                    watcher->tell(kVantrelDeleteRemoved, depth, level->name, true);
                }
                if (theGlobals->result != noErr && (nodeFlags & kFSNodeLockedMask) != 0)
                    set_flags(&level->itemToDelete, nodeFlags, theGlobals);
            }
            if (watcher && theGlobals->result != noErr)
                watcher->tell(kVantrelDeleteRefused, depth, level->name, true, theGlobals->result);
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
            if (watcher) {
                watcher->at_depth(depth);
                listedName.length = 0;
                theGlobals->result = VantrelFSBulkDeleteFilesVisiting(
                    level->iterator, 1, &theGlobals->returnedCount, &level->itemToDelete,
                    &listedName, &listedFolder, &Watcher::unlinked, watcher);
                // A folder that took a listed file's name is refused under
                // its own name, not as a failure of the folder being emptied.
                if (theGlobals->result == notAFileErr && theGlobals->returnedCount == 0) {
                    level->name.assign(reinterpret_cast<const char*>(listedName.bytes),
                                       listedName.length);
                    watcher->tell(kVantrelDeleteRefused, depth, level->name, true, notAFileErr);
                }
            } else {
                theGlobals->result = VantrelFSBulkDeleteFilesVisiting(
                    level->iterator, 1, &theGlobals->returnedCount, &level->itemToDelete, nullptr,
                    &listedFolder, nullptr, nullptr);
            }
            if (theGlobals->result != noErr || theGlobals->returnedCount != 1) continue;
            level->isFolder = listedFolder != 0;
            if (watcher) level->name = entry_name(listedName, level->itemToDelete);
            // A folder the listing showed is emptied before it is deleted,
            // as rm -rf does: a delete first would fail on its items (and
            // search it for orphaned forks) for nothing. A file, and an empty
            // folder the walk cannot open, are deleted straight away.
            OSErr deleted = level->isFolder ? kNotTried : FSDeleteObject(&level->itemToDelete);
            if (deleted == noErr && watcher)
                watcher->tell(kVantrelDeleteRemoved, depth, level->name, level->isFolder);
            // Gone since the directory was read (another deleter, or replaced:
            // the iterator reads the directory again for what is there now).
            if (deleted == noErr || gone(deleted)) continue;
            theGlobals->result =
                FSGetCatalogInfo(&level->itemToDelete, kFSCatInfoNodeFlags | kFSCatInfoNodeID,
                                 &theGlobals->catalogInfo, nullptr, nullptr, nullptr);
            // Refused, then gone before it could be asked what it is: a folder
            // another deleter was emptying (so not yet empty for this one),
            // now deleted. Its flags were not read, so nothing below may be
            // decided on them: what was to be deleted is gone.
            if (gone(theGlobals->result)) {
                theGlobals->result = noErr;
                continue;
            }
            if (theGlobals->result != noErr) {
                if (watcher)
                    watcher->tell(kVantrelDeleteRefused, depth, level->name, level->isFolder,
                                  theGlobals->result);
                continue;
            }
            const UInt16 nodeFlags = theGlobals->catalogInfo.nodeFlags;
            const bool folder = (nodeFlags & kFSNodeIsDirectoryMask) != 0;
            // A folder that is the root of another volume (a mount point, a
            // bind mount of a folder from elsewhere) holds what lies outside
            // the container: it is never emptied, and its refusal stands.
            if (folder && theGlobals->catalogInfo.nodeID == fsRtDirID) {
                theGlobals->result = deleted == kNotTried ? OSErr(fBsyErr) : deleted;
                if (watcher)
                    watcher->tell(kVantrelDeleteRefused, depth, level->name, true,
                                  theGlobals->result);
                continue;
            }
            if (!folder && deleted == kNotTried) {
                // Listed as a folder, a file now: deleted as any file is.
                deleted = FSDeleteObject(&level->itemToDelete);
                if (deleted == noErr && watcher)
                    watcher->tell(kVantrelDeleteRemoved, depth, level->name, false);
                if (deleted == noErr || gone(deleted)) continue;
            }
            if (!folder) {
                // A lock refused it (the file's, or its fork's): the lock goes
                // with the item, unless it is also the lock of another name
                // of the same file, here or outside the folder, which stays
                // locked and refuses the walk as rm -rf is refused.
                theGlobals->result = deleted == fLckdErr
                                         ? VantrelFSDeleteLockedObject(&level->itemToDelete)
                                         : deleted;  // what refused it is no lock
                if (gone(theGlobals->result)) {
                    theGlobals->result = noErr;
                } else if (watcher) {
                    watcher->tell(
                        theGlobals->result == noErr ? kVantrelDeleteRemoved : kVantrelDeleteRefused,
                        depth, level->name, false, theGlobals->result);
                }
                continue;
            }
            level->nodeFlags = nodeFlags;
            level->refused = (deleted == fBsyErr || deleted == fLckdErr || deleted == kNotTried)
                                 ? OSErr(noErr)
                                 : deleted;
            // A locked directory refuses changes to its entries, so it is
            // unlocked before it is emptied; it is locked again if emptying fails.
            if ((nodeFlags & kFSNodeLockedMask) != 0)
                set_flags(&level->itemToDelete, UInt16(nodeFlags & ~kFSNodeLockedMask), theGlobals);
            if (watcher) watcher->tell(kVantrelDeleteEntering, depth, level->name, true);
            FSIterator below;
            theGlobals->result = FSOpenIterator(&level->itemToDelete, kFSIterateDelete, &below);
            if (theGlobals->result == noErr) {
                levels.push_back(DeleteFrame{below, {}, 0, noErr, {}, false});
                descend = true;
            } else if (gone(theGlobals->result)) {
                theGlobals->result = noErr;  // the folder went with its items meanwhile
                continue;
            } else if (deleted == kNotTried &&
                       (theGlobals->result == afpAccessDenied || theGlobals->result == permErr) &&
                       delete_unreadable(level, theGlobals, watcher, depth)) {
                continue;  // empty, and gone without being read, as rm -r removes it
            } else {
                fromBelow = true;  // as a level below whose open failed
            }
            break;
        }
        if (descend || fromBelow) continue;
        // This level is done (its items gone, or a failure): close it.
        // A folder that went while it was read (deleted by another, or
        // moved out of the tree) has no items left for this walk.
        if (theGlobals->result == errFSNoMoreItems || gone(theGlobals->result))
            theGlobals->result = noErr;
        // A failure reading the folder itself (no item of it refused) is the
        // folder's: told as its refusal, unless a deeper one was told.
        if (watcher && theGlobals->result != noErr && !watcher->told()) {
            if (depth == 1)
                watcher->tell(kVantrelDeleteRefused, 0, {}, true, theGlobals->result);
            else
                watcher->tell(kVantrelDeleteRefused, depth - 1, levels[depth - 2].name, true,
                              theGlobals->result);
        }
        close_iterator(level->iterator);
        levels.pop_back();
        fromBelow = true;
    }
}

// NOLINTNEXTLINE(readability-identifier-naming): the design names the local level functions
void FSDeleteContainerLevel(const FSRef* container, FSDeleteContainerGlobals* theGlobals) {
    delete_level(container, theGlobals, nullptr);
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

namespace {

// FSDeleteContainer, told to `watcher` when one watches.
OSErr delete_container(const FSRef* container, Watcher* watcher) {
    FSCatalogInfo catalogInfo;
    OSErr result =
        FSGetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo, nullptr, nullptr, nullptr);
    if (result == noErr && (catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) == 0) result = dirNFErr;
    if (result != noErr) {
        if (watcher) watcher->tell(kVantrelDeleteRefused, 0, {}, result != dirNFErr, result);
        return result;
    }
    // A locked container is unlocked before it is emptied (its entries cannot
    // change while it is locked) and locked again if emptying fails.
    const UInt16 nodeFlags = catalogInfo.nodeFlags;
    if ((nodeFlags & kFSNodeLockedMask) != 0) {
        catalogInfo.nodeFlags = UInt16(nodeFlags & ~kFSNodeLockedMask);
        (void)FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo);
    }
    FSDeleteContainerGlobals theGlobals{};
    bool unopened = false;
    delete_level(container, &theGlobals, watcher, &unopened);
    if (unopened) {
        // A folder its owner may not read (modes 0, 0100, 0300, 0333) has
        // no items to delete if it is empty, and then goes as rm -r removes
        // it; one with items keeps the reason it could not be read.
        const OSErr unread = theGlobals.result;
        if (unread == afpAccessDenied || unread == permErr) {
            theGlobals.result = FSDeleteObject(container);
            if (gone(theGlobals.result)) return noErr;
            if (theGlobals.result == noErr) {
                if (watcher) watcher->tell(kVantrelDeleteRemoved, 0, {}, true);
                return noErr;
            }
            theGlobals.result = unread;
        }
        if (watcher) watcher->tell(kVantrelDeleteRefused, 0, {}, true, theGlobals.result);
    }
    if (theGlobals.result != noErr) {  // the container stays, as it was
        if ((nodeFlags & kFSNodeLockedMask) != 0) {
            catalogInfo.nodeFlags = nodeFlags;
            (void)FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo);
        }
        return theGlobals.result;
    }
    result = FSDeleteObject(container);
    if (gone(result)) {
        result = noErr;  // deleted by another meanwhile
    } else if (watcher) {
        watcher->tell(result == noErr ? kVantrelDeleteRemoved : kVantrelDeleteRefused, 0, {}, true,
                      result);
    }
    if (result != noErr && (nodeFlags & kFSNodeLockedMask) != 0) {
        catalogInfo.nodeFlags = nodeFlags;
        (void)FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &catalogInfo);
    }
    return result;
}

}  // namespace

OSErr FSDeleteContainerContents(const FSRef* container) {
    FSDeleteContainerGlobals theGlobals{};
    FSDeleteContainerLevel(container, &theGlobals);
    return theGlobals.result;
}

OSErr FSDeleteContainer(const FSRef* container) {
    return delete_container(container, nullptr);
}

OSErr VantrelFSDeleteContainerVisiting(const FSRef* container, Boolean contentsOnly,
                                       VantrelDeleteVisitProc visit, void* context) {
    if (container == nullptr || visit == nullptr) return paramErr;
    Watcher watcher(visit, context);
    if (!contentsOnly) return delete_container(container, &watcher);
    FSDeleteContainerGlobals theGlobals{};
    delete_level(container, &theGlobals, &watcher);
    return theGlobals.result;
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
