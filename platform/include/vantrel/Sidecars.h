// What a "._NAME" entry is: this layer's own addition to the File Manager
// (no Mac OS system has these calls), for programs on Linux that walk,
// copy or clean folders beside it.
//
// A resource fork lives in a sidecar "._NAME" beside its file, as Samba and
// netatalk keep it; listings leave every such entry out. Not every one is a
// fork: a crash, or another system's deletion, leaves a sidecar whose file
// is gone (an orphan), and a user may keep a file of their own under such a
// name, which is no AppleDouble file at all, or only begins like one. These
// calls give the answer the File Manager itself acts on, so that a program
// never decides by a guess of its own what a deletion or a copy does with
// the entry.
//
//   static Boolean show(const VantrelDiskName* n, VantrelHiddenKind kind, void*) {
//       if (kind == kVantrelHiddenOwnFile) std::fwrite(n->bytes, 1, n->length, stdout);
//       return false;  // go on
//   }
//   VantrelFSGetHiddenEntries(&folder, show, nullptr);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"

VANTREL_EXTERN_C_BEGIN

typedef UInt32 VantrelHiddenKind;
enum {
    // The resource fork of NAME, which is there: it goes wherever NAME goes.
    kVantrelHiddenFork = 1,
    // A sidecar whose NAME is gone: no item's fork. Nothing lists it; the
    // deletion of its folder removes it, an item made under NAME removes it
    // first, and a copy or move of its folder leaves it out.
    kVantrelHiddenOrphan = 2,
    // No sidecar (a file that does not parse as one, whatever its first
    // bytes, a link, FIFO or device node, or "._" alone): the user's own,
    // never read as a fork, never deleted, copied or moved with its folder.
    // A folder under such a name is this too: no fork, though listings show
    // it as an ordinary item.
    kVantrelHiddenOwnFile = 3,
    // A private temporary of a change whose maker is gone (a crash, a kill):
    // no one's work any more, and nothing of the user's. Nothing lists it;
    // VantrelFSRemoveLeftover removes it, as it removes an orphan.
    kVantrelHiddenLeftover = 4,
    // A private temporary of a change that is running now (its maker
    // lives): left alone by everything but its maker.
    kVantrelHiddenInProgress = 5
};

// What the entry `name` ("._" and NAME, as stored, or ".AppleDouble/NAME"
// for an entry of Netatalk 2's folder) of the folder `folder` is. A
// sidecar the caller may not read is taken for what its name says.
//   noErr        `*kind` set.
//   fnfErr       no such entry; also when `folder` names no object.
//   paramErr     a null argument, or `name` does not begin with "._" or
//                holds a "/" or a NUL.
//   errFSNotAFolder  `folder` is no folder. Others as FSOpenIterator gives them.
// Any thread; the call changes nothing.
VANTREL_EXPORT OSErr VantrelFSGetHiddenEntryKind(const FSRef* folder, const VantrelDiskName* name,
                                                 VantrelHiddenKind* kind);

// Calls `visit` for each "._" entry of `folder` (folders among them), with
// its name as stored and what it is (as VantrelFSGetHiddenEntryKind
// answers), in the directory's order, until `visit` returns true. An entry
// gone before it is looked at is passed over. Then, where `folder` holds
// Netatalk 2's private folder ".AppleDouble", each entry of it as
// ".AppleDouble/NAME": kVantrelHiddenFork for what it keeps of an item
// that is there (".Parent": of `folder` itself), kVantrelHiddenOrphan for
// an item that is gone, kVantrelHiddenOwnFile for what is no AppleDouble
// file (an entry whose name leaves no room for the prefix is passed over).
//   noErr        every entry visited, or `visit` stopped the walk.
//   paramErr     a null `folder` or `visit`.
//   others       as FSOpenIterator gives them, or a read of the folder that
//                failed (the entries before it were visited).
// Any thread; the call changes nothing.
typedef Boolean (*VantrelHiddenEntryProc)(const VantrelDiskName* name, VantrelHiddenKind kind,
                                          void* context);
VANTREL_EXPORT OSErr VantrelFSGetHiddenEntries(const FSRef* folder, VantrelHiddenEntryProc visit,
                                               void* context);

// Removes the "._" entry `name` of `folder` (or ".AppleDouble/NAME", and
// ".AppleDouble" itself once empty) if it is a leftover: an orphan
// (kVantrelHiddenOrphan) or a dead maker's temporary (kVantrelHiddenLeftover),
// looked at again while this holds the folder's lock, so that a file made
// under NAME meanwhile keeps its new fork and a change running in the folder
// keeps its work. A locked leftover stays (fLckdErr).
//   noErr        removed.
//   fBsyErr      it is no leftover (a fork, the user's own file, a running
//                change's temporary): nothing removed.
//   fnfErr       no such entry; also when `folder` names no object.
//   paramErr     a null argument, or `name` is no "._" name of one component.
//   permErr, afpAccessDenied, fLckdErr  the caller may not remove it (another
//                user's in a sticky folder, a folder it may not change, locked).
//   others       as FSOpenIterator and FSDeleteObject give them.
// Any thread.
VANTREL_EXPORT OSErr VantrelFSRemoveLeftover(const FSRef* folder, const VantrelDiskName* name);

// Calls `visit` for each extended attribute that macOS keeps for `ref` in
// its "._NAME" file (the "ATTR" block macOS writes on volumes without
// extended attributes: FAT, exFAT, shares that are not a Mac's), with its
// name (NUL-terminated), its value and the value's length, in the block's
// order, until `visit` returns true. They are kept as they are through
// every change of the file through this layer.
//   noErr        every attribute visited (none where the file has no such
//                block), or `visit` stopped.
//   paramErr     a null `ref` or `visit`.
//   ioErr        a block that does not hold together: nothing is visited.
//   others       as FSGetCatalogInfo gives them.
// Any thread; the call changes nothing.
typedef Boolean (*VantrelMacAttributeProc)(const char* name, const void* value, ByteCount length,
                                           void* context);
VANTREL_EXPORT OSErr VantrelFSGetMacAttributes(const FSRef* ref, VantrelMacAttributeProc visit,
                                               void* context);

// Where a volume keeps Mac metadata, as Samba's vfs_fruit can be set up:
// netatalk (fruit:metadata = netatalk, fruit:resource = file: the record
// in user.org.netatalk.Metadata, forks in "._NAME"), stream
// (fruit:metadata = stream, fruit:resource = stream: the AfpInfo stream
// user.DosStream.AFP_AfpInfo:$DATA) or stream+file (the AfpInfo stream,
// forks in "._NAME"). Reading takes every layout a file has; writing
// follows the layout of the place the object lies in, stated per path in
// /etc/vantrel/volumes.conf and the user's own
// ${XDG_CONFIG_HOME:-$HOME/.config}/vantrel/volumes.conf (lines "PATH
// LAYOUT", the longest path that holds the object wins, "#" starts a
// comment), or for one process by VANTREL_MAC_LAYOUT; netatalk where none
// says.
typedef UInt32 VantrelMacLayout;
enum {
    kVantrelMacLayoutNetatalk = 1,
    kVantrelMacLayoutStream = 2,
    kVantrelMacLayoutStreamFile = 3
};

// The layout Mac metadata of `ref` is written in.
//   noErr        `*layout` set.
//   paramErr     a null argument. Others as FSGetCatalogInfo gives them.
// Any thread; the call changes nothing.
VANTREL_EXPORT OSErr VantrelFSGetMacLayout(const FSRef* ref, VantrelMacLayout* layout);

// Merges what the "._NAME" entry `name` of `folder` holds for its file NAME
// into the places the volume's layout keeps it (VantrelFSGetMacLayout),
// as macOS's dot_clean does, then removes the entry where the layout has
// no use for it; what a program reading that layout (Samba) serves is
// then the same as before:
// - the Finder information of a "._" file macOS wrote ("Mac OS X") goes
//   to the metadata record; on stream volumes to the AfpInfo stream, and
//   to the record only where the file has one already or needs one for
//   what Netatalk 2 kept of it (a comment, dates);
// - each attribute of its ATTR block goes to the attribute Samba's
//   streams_xattr keeps a Mac client's stream of that name in
//   ("user.DosStream.NAME:$DATA", the value and one NUL);
// - the resource fork goes, on a stream volume, to the AFP_Resource stream
//   ("user.DosStream.AFP_Resource:$DATA"); elsewhere "._NAME" is the
//   fork's home and stays, rewritten as Samba writes a sidecar (the fork
//   and a copy of the record's Finder information, nothing else) where it
//   held more; a "._NAME" with an empty fork goes.
// Where the file already has a value of its own for an item, `keep` says
// which stays. The change is whole for the file: every value is written
// before "._NAME" is rewritten or removed, in the folder's lock, and a
// failure puts back the values the file had (a kill leaves each value
// merged or still in "._NAME", never lost: the call done again finishes
// it). With kVantrelMergeAlwaysRemove, "._NAME" goes even where an item
// could not be merged (too large for an attribute, a name too long):
// that item is lost, as dot_clean -m loses it.
//   noErr          merged (`*report`, when given, says what happened).
//   fnfErr         no such entry, or no file NAME (an orphan: see
//                  VantrelFSRemoveLeftover); also when `folder` names none.
//   afpObjectTypeErr  the entry is no AppleDouble file (the user's own):
//                  nothing changed. paramErr: a null argument, or `name`
//                  no "._" name of one component.
//   fileBoundsErr  an item cannot go where the layout keeps it (a fork
//                  larger than an attribute holds, an attribute name too
//                  long): nothing changed.
//   ioErr          an ATTR block that does not hold together: nothing changed.
//   others         as FSSetCatalogInfo and FSDeleteObject give them
//                  (fLckdErr for a locked file), nothing changed.
// Any thread.
typedef UInt32 VantrelMergeKeep;
enum {
    // The value changed last: "._NAME"'s when it was modified after the
    // file's attributes last changed (its ctime), else the file's.
    kVantrelMergeKeepMostRecent = 0,
    kVantrelMergeKeepDotBar = 1,  // always the value in "._NAME"
    kVantrelMergeKeepNative = 2   // always the file's own
};
enum { kVantrelMergeAlwaysRemove = 1 };
typedef struct VantrelMergeReport {
    UInt32 taken;       // items written from "._NAME" (Finder information, fork, attributes)
    UInt32 kept;        // items where the file's own value stayed
    UInt32 lost;        // items dropped (kVantrelMergeAlwaysRemove only)
    Boolean removed;    // "._NAME" is gone
    Boolean rewritten;  // "._NAME" stays as the fork's sidecar, rewritten
} VantrelMergeReport;
VANTREL_EXPORT OSErr VantrelFSMergeDotUnderscore(const FSRef* folder, const VantrelDiskName* name,
                                                 VantrelMergeKeep keep, UInt32 options,
                                                 VantrelMergeReport* report);

// The merge of every "._NAME" of `folder`, as VantrelFSMergeDotUnderscore
// merges each, in one reading of the folder and under its lock, taken once
// for them all: what a cleaning of a whole tree calls for each folder.
// `visit` is called for each "._" entry of the folder (folders among them)
// in the order of their names' bytes, each once its merge is done, then,
// where the folder holds Netatalk 2's ".AppleDouble", for each entry of it
// as ".AppleDouble/NAME", until it returns true. Each comes with what it is
// (as VantrelFSGetHiddenEntries tells it) and `result`: for a "._NAME" of
// kVantrelHiddenFork, what VantrelFSMergeDotUnderscore would give for it
// (notAFileErr where NAME is no file), with `*report` what the merge did;
// for every other entry noErr, nothing merged (Netatalk 2's entries are
// fmutil convert's to move). An entry gone before it is looked at is
// passed over. `visit` runs in the folder's lock: a change of the folder by
// another process or thread waits until the call returns.
//   noErr        every entry visited, or `visit` stopped.
//   paramErr     a null `folder` or `visit`, or `keep` no VantrelMergeKeep.
//   errFSNotAFolder  `folder` is no folder. Others as FSOpenIterator gives
//                them, or a read of the folder that failed (nothing merged).
// Any thread.
typedef Boolean (*VantrelMergeEntryProc)(const VantrelDiskName* name, VantrelHiddenKind kind,
                                         OSErr result, const VantrelMergeReport* report,
                                         void* context);
VANTREL_EXPORT OSErr VantrelFSMergeFolderDotUnderscores(const FSRef* folder, VantrelMergeKeep keep,
                                                        UInt32 options, VantrelMergeEntryProc visit,
                                                        void* context);

// Moves the Mac metadata of the file or folder `ref` from every layout it
// has (the record, the AfpInfo stream, a "._NAME" sidecar, the AFP_Resource
// stream, the attribute earlier versions kept forks in, a "._NAME" macOS
// wrote) to the layout `to`, for a migration between servers: afterwards a
// program reading `to` (Samba set up so) serves what the file showed
// before. The Finder information that moves is the one the file shows now
// (FSGetCatalogInfo's); the fork is the one FSOpenFork reads. Where `to`
// keeps Finder information in the AfpInfo stream, the record stays for the
// comment and the dates, as Samba keeps them there for Mac clients. A
// "._NAME" macOS wrote is merged as VantrelFSMergeDotUnderscore merges it
// for `to`, the file's own values kept where both have one (the fork
// excepted: the "._NAME"'s is the one readers see). What Netatalk 2 kept
// of the object in ".AppleDouble" (".AppleDouble/NAME" beside a file,
// ".AppleDouble/.Parent" inside a folder) moves the same way where the
// object has no value of its own (the Finder information, comment and
// dates to the record, the fork to `to`'s home for it), and the entry is
// removed last (".AppleDouble" too, once empty). An entry that is no
// AppleDouble file is left as it is and said in `report->kept`.
// Whole for the object, in its folder's lock: every value reaches its new
// place before the old one is removed, the last change being the one
// rename or removal of "._NAME" (or, where there is none, the removal of
// the old stream), and a failure puts back what the object had. A kill
// leaves each value in its old place, its new one or both, each of which a
// reader takes for the same value; the call done again finishes the move.
// With kVantrelConvertDryRun nothing changes and `*report` says what would.
//   noErr          converted (`report->moved` 0: it was in `to` already).
//   paramErr       a null `ref`, or `to` no layout.
//   notAFileErr    `ref` is no file or folder (a link, a FIFO, a device):
//                  it carries no Mac metadata of its own; nothing changed.
//   fileBoundsErr  the fork is larger than an attribute holds (`to` is
//                  stream): nothing changed.
//   fLckdErr       the object is locked: nothing changed.
//   dskFulErr      the file system has no room for a value (an ext4 inode
//                  holds about 4 KiB of attributes): nothing changed.
//   ioErr          an ATTR block that does not hold together: nothing changed.
//   others         as FSGetCatalogInfo and FSSetCatalogInfo give them,
//                  nothing changed.
// Any thread.
typedef UInt32 VantrelConvertItems;
enum {
    kVantrelConvertFinderInfo = 1,  // Finder information (and backup date) written in `to`'s place
    kVantrelConvertFork = 2,        // the resource fork moved to `to`'s home for it
    kVantrelConvertMacOSFile = 4,   // a "._NAME" macOS wrote, merged
    kVantrelConvertCleared = 8,  // a copy `to` has no use for removed (an AfpInfo, a fork stream)
    kVantrelConvertAppleDouble = 16  // Netatalk 2's ".AppleDouble" entry, moved and removed
};
enum { kVantrelConvertDryRun = 1 };
typedef struct VantrelConvertReport {
    VantrelConvertItems moved;  // what changed (with kVantrelConvertDryRun: would change)
    // What stays as it was: kVantrelConvertAppleDouble for an ".AppleDouble"
    // entry that is no AppleDouble file (the user's own, or damaged).
    VantrelConvertItems kept;
} VantrelConvertReport;
VANTREL_EXPORT OSErr VantrelFSConvertMacLayout(const FSRef* ref, VantrelMacLayout to,
                                               UInt32 options, VantrelConvertReport* report);

// The conversion of every item of `folder` (not the folder itself, nor
// what lies below its folders), each as VantrelFSConvertMacLayout converts
// it, in one reading of the folder: what a migration of a whole tree calls
// for each folder. The reading tells which items have a "._NAME" beside
// them and whether the folder holds Netatalk 2's ".AppleDouble"; a file
// with neither is told to have nothing to move by one list of its
// attribute names, and is not looked at otherwise (where the file system's
// lists may leave attributes out, each file is looked at whole). `visit` is
// called for each item (an entry listings show) in the order of their
// names' bytes, once it is done, with `result` what
// VantrelFSConvertMacLayout gives for it (notAFileErr for a link, a FIFO, a
// device) and `*report` what it did (nothing where `result` is not noErr),
// until it returns true. An item gone before it is looked at is passed
// over; one made after the reading is not among them. `visit` runs in no
// lock.
//   noErr        every item visited, or `visit` stopped.
//   paramErr     a null `folder` or `visit`, `to` no layout, or an option
//                but kVantrelConvertDryRun.
//   errFSNotAFolder  `folder` is no folder. Others as FSOpenIterator gives
//                them, or a read of the folder that failed (nothing converted).
// Any thread.
typedef Boolean (*VantrelConvertEntryProc)(const VantrelDiskName* name, OSErr result,
                                           const VantrelConvertReport* report, void* context);
VANTREL_EXPORT OSErr VantrelFSConvertFolderMacLayout(const FSRef* folder, VantrelMacLayout to,
                                                     UInt32 options, VantrelConvertEntryProc visit,
                                                     void* context);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
