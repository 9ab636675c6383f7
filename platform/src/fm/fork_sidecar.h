// Where a resource fork lives: the AppleDouble sidecar "._NAME" beside its
// file, as Samba's vfs_fruit (fruit:resource = file), Netatalk and Mac
// clients keep it, so a fork written here is served to a Mac and the other
// way round. Hidden (never installed). docs/mac-metadata.md is the
// administrators' account of the layout; docs/filemanager-platform.md the
// design.
//
// On disk, all integers big-endian: magic 0x00051607, version 0x00020000,
// 16 bytes "Netatalk" padded with spaces, an entry count, then (id, offset,
// length) per entry. We write two entries, the resource fork (id 2, data at
// 0x52) and a copy of the Finder information (id 9, 32 bytes at 0x32), as
// Samba does. Readers find entries by id, in any order, and take the longer
// Finder-information entries Mac clients write. Where the fork is the last
// thing in the file (always, for every writer we know), its length is the
// file's length past its offset, as Samba reads it; the header's length is
// kept in step for readers that trust it.
//
// A file without a resource fork has no sidecar. Forks of earlier versions
// live in the attribute "user.org.netatalk.ResourceFork" of the file; they
// are read from there and moved into a sidecar at the next write.
//
// A "._NAME" that is not a regular file, or whose header does not parse, is
// not a sidecar: reads see no fork, and nothing is ever written through it
// or over it (writes give ioErr). Names over 253 bytes leave no room for
// the prefix: such a file can have no sidecar, and writing its resource
// fork gives errFSNameTooLong.
//
//   vantrel::fm::rsrc::Sidecar s;
//   if (OSErr e = vantrel::fm::rsrc::open(dirFd, name, false, &s)) return e;
//   if (s.found()) pread(s.fd.get(), buf, n, s.layout.offset + pos);
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "fm/cat_appledouble.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"

namespace vantrel::fm::rsrc {

// The header's layout is the AppleDouble codec's (cat_appledouble.h).
inline constexpr std::uint32_t kMagic = ad::kMagic;
inline constexpr std::uint32_t kVersion = ad::kVersion;
inline constexpr std::uint32_t kResourceForkId = ad::kResourceForkId;
inline constexpr std::uint32_t kFinderInfoId = ad::kFinderInfoId;
inline constexpr std::uint64_t kForkOffset =
    ad::kSidecarForkOffset;  // where our sidecars keep the fork
inline constexpr std::uint64_t kFinderInfoOffset = ad::kSidecarFinderOffset;
inline constexpr std::size_t kFinderInfoSize = ad::kFinderInfoSize;
// The header's offsets and lengths are 32 bits: a sidecar ends at most
// here, and a fork from 0x52 is at most 4 GiB - 0x53 bytes.
inline constexpr std::uint64_t kMaxSidecarEnd = 0xFFFFFFFF;
// The largest resource fork the attribute of earlier versions held.
inline constexpr std::size_t kMaxLegacyFork = 65536;

// What a failed write to the open file `fd` (a fork, or a sidecar) means:
// EPERM on a file with the immutable attribute is its lock (fLckdErr), else
// permErr; a full disk or an attribute too large is dskFulErr.
OSErr write_error(int err, int fd);

// True for a name no item may have: the sidecar prefix "._".
bool is_sidecar_name(std::string_view diskName) noexcept;

// The inode number of the entry `name` of `dir` (a link itself, never
// followed); 0 when there is none.
std::uint64_t ino_at(int dir, const std::string& name);

// True when the directory entry `name` of `dirFd` (of type `type`, as
// readdir gives it) is left out of listings: a "._" name that is not a
// folder, a private temporary's name whatever it names (a folder copy not
// yet whole), and Netatalk 2's private folder ".AppleDouble"
// (cat_appledir.h). A sidecar is a file; a folder under any other "._"
// name (made by a user on the server) is an ordinary item, listed and
// walked, as is a file or a link named ".AppleDouble".
bool is_hidden_entry(int dirFd, const char* name, unsigned char type);

// The sidecar's name for the file `diskName`; false when it would exceed a
// name's 255 bytes (such a file can have no sidecar).
bool sidecar_name(std::string_view diskName, std::string* out);

// Where the fork lies in an open sidecar.
struct Layout {
    std::uint64_t offset = kForkOffset;
    std::uint64_t length = 0;
    std::uint64_t lengthField = 0;  // file offset of the fork entry's length (to keep it in step)
    bool last = true;               // nothing follows the fork: it may grow and shrink in place
    // The Finder-information copy (length 0: the sidecar has none).
    std::uint64_t finderOffset = kFinderInfoOffset;
    std::uint64_t finderLength = kFinderInfoSize;
};

// Parses the header of the open sidecar `fd` of size `fileSize` (with the
// codec's sidecar form, ad::kSidecar). False when it is not an AppleDouble
// file with a resource-fork entry inside it and no two entries sharing a
// byte.
bool parse(int fd, std::uint64_t fileSize, Layout* out);
// The same from the file's first bytes, read already.
bool parse_bytes(std::span<const unsigned char> head, std::uint64_t fileSize, Layout* out);

enum class State { None, Sidecar, Unusable };

struct Sidecar {
    State state = State::None;
    UniqueFd fd;  // open while state == Sidecar
    Layout layout;
    OSErr refusal = noErr;  // asked for writing, opened for reading only: why
    // Netatalk 2's ".AppleDouble/NAME" (cat_appledir.h): read, never
    // written; a change of the fork makes a sidecar of our own.
    bool foreign = false;
    bool found() const { return state == State::Sidecar; }
};

// An AppleDouble file ("._NAME", an entry of ".AppleDouble") by its name in
// `dirFd`, first as a descriptor that opens nothing (O_PATH, no link
// followed): a device is never opened, a FIFO never blocks. 0 with `*path`
// and its `*st`, or the errno (ENOENT: nothing by that name).
int open_path(int dirFd, const char* name, UniqueFd* path, struct stat* st);
// `name` of `dirFd` opened with `flags` for a read that is no access to the
// file by its user (a sidecar's header, a copy's source, which a move or a
// killed copy leaves as it was), so that its access time stays where we may
// keep it so (O_NOATIME: owner or privileged; without it, an ordinary
// open). Closed, with errno set, on failure.
UniqueFd open_unseen(int dirFd, const char* name, int flags);
// The file open as `pathFd` opened again as open_unseen opens it: the same
// inode, whatever became of its name since.
UniqueFd reopen_unseen(int pathFd, int flags);

// Opens the sidecar of `fileName` in directory `dirFd`, never following a
// link and never blocking on a FIFO. None when there is no "._NAME" (or the
// name leaves no room for one); Unusable when "._NAME" is not a regular file
// or does not parse; an error only when the directory cannot be read.
OSErr open(int dirFd, std::string_view fileName, bool writable, Sidecar* out);
// open() for reading, also handing back what it learns on the way: the
// sidecar's status (`*st`) and its first bytes (`*start`: at least the
// header, up to `want`), so that a reader of a small sidecar reads it once.
// Both are set only where "._NAME" is a regular file that could be read.
OSErr open_reading(int dirFd, std::string_view fileName, Sidecar* out, struct stat* st,
                   std::string* start, std::size_t want);

// fileBoundsErr when the fork of `s` (or a new sidecar's, when none is
// found) cannot be `forkLength` bytes long: its header could not say so.
OSErr within_bounds(const Sidecar& s, std::uint64_t forkLength);

// The fork's logical length as it stands now (re-read, so that several
// reference numbers of one fork stay in step).
OSErr length(const Sidecar& s, std::uint64_t* out);
// The same for a sidecar whose file is `size` bytes long, known already.
std::uint64_t length_at(const Sidecar& s, std::uint64_t size);

// Creates the sidecar of `fileName` in `dirFd` holding `fork` and the Finder
// information `finderInfo` (32 bytes on disk, big-endian, or null for
// zeros); fails with errFSForkExists when one exists. Each system call is
// the fault seam's step `step`; a failure removes what was made.
OSErr create(int dirFd, std::string_view fileName, std::string_view fork,
             const std::uint8_t* finderInfo, const char* step, Sidecar* out);

// Sets the fork's length to `size` (truncating or extending with zeros) and
// keeps the header in step; when the header cannot follow, the length goes
// back (the step `undoStep`).
OSErr set_length(Sidecar& s, std::uint64_t size, const char* step, const char* undoStep);
// Records in the header that the fork grew to `size` after a write.
OSErr note_length(Sidecar& s, std::uint64_t size, const char* step);

// ---------------------------------------------------------------- shadows
//
// The changes of one open go to a private copy of the sidecar, never to the
// sidecar itself: an unnamed file (O_TMPFILE) in the sidecar's directory,
// or, where the file system has none, a named one whose name no item can
// take ("._._vantrel.PID.N": the sidecar of a name no item may have, so it
// is never listed, and it goes with its folder as an orphan does). The copy
// replaces "._NAME" in one rename when the open commits (close, flush). A
// crash before leaves the old fork whole and nothing behind but, without
// O_TMPFILE, such a temporary; a sidecar hard-linked to another is
// replaced, not changed (the other name keeps its fork); of two writers the
// last to commit wins, each fork whole. Nothing is made on disk until a
// commit succeeds.
struct Shadow {
    Sidecar side;          // the copy, in the layout of the sidecar it copies
    UniqueFd dir;          // the directory the named temporary lives in
    std::string tempName;  // its name ("" while unnamed)
    bool legacy = false;   // made from the attribute of earlier versions
    bool dirty = false;    // changed since it was made: a commit has work to do
    bool made() const { return side.found(); }
};

// Makes a shadow of the resource fork of `fileName` in `dirFd`: a copy of
// `current` (the sidecar, when found), else our form holding `legacyFork`
// with the Finder information `finderInfo`. Only the fork's first
// `forkBytes` bytes are copied: a fork about to be cut or replaced whole is
// not copied first. Its owner and permissions are its file's. Each system
// call is the fault seam's step `step`; a failure leaves nothing behind.
OSErr make_shadow(int dirFd, std::string_view fileName, const Sidecar& current,
                  std::string_view legacyFork, const std::uint8_t* finderInfo, const char* step,
                  Shadow* out, std::uint64_t forkBytes = UINT64_MAX);

// Fills the empty fork of the shadow `s` with `size` bytes of `in` from
// `from`, inside the kernel where the file system can, as an uncached
// transfer: what is copied is handed to writeback as it goes and dropped
// from the page cache on both sides once on disk. `*copied` is what was
// copied (fewer bytes when `in` ends sooner). Each system call is the fault
// seam's step `step`; on failure the shadow is to be discarded.
OSErr fill(Shadow& s, int in, std::uint64_t from, std::uint64_t size, const char* step,
           std::uint64_t* copied);
// The same from bytes in memory (a fork still in the attribute of earlier
// versions).
OSErr fill(Shadow& s, std::string_view bytes, const char* step);

// Puts the shadow in the place of the sidecar of `fileName` in `dirFd`, the
// file open as `fileFd`: its data made durable, then renamed over "._NAME"
// (the directory made durable too with `durable`). An empty fork removes
// the sidecar instead (a file without a resource fork has none) unless the
// sidecar holds more than the fork and our Finder-information copy. Refused
// with ioErr when "._NAME" is something that is not a sidecar. On failure
// the old fork stands as it was and the shadow is kept (made() still true);
// once it is spent, `committed` is the sidecar as it now stands (None when
// removed).
OSErr commit(int dirFd, std::string_view fileName, int fileFd, Shadow& s, bool durable,
             const char* step, Sidecar* committed);

// The same on a volume whose layout keeps forks in Samba's AFP_Resource
// stream (fruit:resource = stream): the shadow's fork goes to the
// attribute "user.DosStream.AFP_Resource:$DATA" of the file open as
// `fileFd` (with streams_xattr's NUL), and only then is "._NAME" removed
// (a kill between leaves the old fork, which the sidecar still is), then
// the attribute of earlier versions. An empty fork removes the stream too.
// fileBoundsErr where the fork is larger than an attribute may be (64 KiB
// with the NUL), dskFulErr where the file system has no room for it (an
// ext4 inode holds about 4 KiB): the old fork stands, the shadow is kept.
OSErr commit_to_stream(int dirFd, std::string_view fileName, int fileFd, Shadow& s,
                       const char* step, Sidecar* committed);

// Forgets a shadow that is not to be committed (removes a named temporary).
void discard(Shadow& s, const char* step);

// The Finder information `finderInfo` (32 bytes on disk) reaches the copy
// in the sidecar of `fileName` in `dirFd`, where there is a sidecar with
// such an entry (none is made for it). As a fork's change, through a copy
// put in place in one rename, never in place: a reader or another name of
// the sidecar never sees a torn header. A longer entry (Mac clients') gets
// its first 32 bytes and keeps the rest. The old sidecar is kept under a
// temporary name until finish() drops it, or put_back() returns it (the
// undo). One the caller may not read is left as it is: its copy cannot be
// made. Each system call is the fault seam's step `step`.
struct Replaced {
    UniqueFd dir;
    std::string name;     // "._NAME"
    std::string oldName;  // where the old sidecar waits ("" when nothing was replaced)
};
OSErr set_finder_info(int dirFd, std::string_view fileName, const std::uint8_t* finderInfo,
                      const char* step, Replaced* out);
void finish(Replaced& r, const char* step);
void put_back(Replaced& r, const char* step);

// The names of the named temporaries above begin so (obj_commit.h makes
// them); true for such a name.
inline constexpr std::string_view kTemporaryPrefix = "._._vantrel.";
bool is_temporary_name(std::string_view diskName) noexcept;

// Counts commits made in this process: an open that read a sidecar before
// the count moved opens it again, and sees what another open committed.
std::uint64_t commits() noexcept;

// The whole fork kept in the attribute of earlier versions; absent (false)
// when the file has none.
OSErr read_legacy(int fileFd, std::string* out, bool* present);

// The resource fork's sizes for the catalogue and FSIterateForks: from the
// sidecar, else from the attribute of earlier versions; `present` says
// whether the file has a resource fork at all. The physical size is the
// logical one rounded up to the file system's block.
struct Sizes {
    std::uint64_t logical = 0, physical = 0;
    bool present = false;
};
// What a listing already knows, so that sizes_of need not look: the
// directory held no "._NAME" when it was read; the file's attributes list
// none of the earlier versions' fork.
struct Known {
    bool noSidecar = false;
    bool noLegacy = false;
    bool noAppleDouble = false;  // the folder holds no ".AppleDouble"
};
Sizes sizes_of(const Node& n, Known known = {});

// The Finder information of `n`'s metadata record, for the copy a new
// sidecar carries (zeros when it has none); false when it has none.
bool finder_info_of(const Node& n, std::uint8_t out[kFinderInfoSize]);

// Puts `finderInfo` in the shadow's Finder-information copy (the first 32
// bytes of a longer entry), so that a writer's copy put in place carries
// the record's Finder information as it is then, not as it was when the
// copy was made.
OSErr refresh_finder_info(Shadow& s, const std::uint8_t* finderInfo, const char* step);

// ---------------------------------------------------------------- companions

// What lies at the sidecar name of an object, from one statx: nothing, a
// regular file (the sidecar, or an orphan when its file is gone), or
// something else that is not ours (a link, a directory, a FIFO, a device).
enum class Entry { None, File, Other };
Entry entry_at(int dirFd, std::string_view fileName);

// An object is about to take the name `toName` in `toDir` from `fromName` in
// `fromDir`. prepare() says what its sidecar is and refuses when it has one
// that cannot follow (errFSNameTooLong: no room for the prefix;
// afpObjectTypeErr: something not a sidecar holds the new sidecar name); carry(), once the
// object has moved, moves the sidecar after it, or removes an orphan left at
// the new name so that it cannot attach itself to the object. Each system
// call is the fault seam's step `step`.
struct Carry {
    int fromDir = -1, toDir = -1;
    std::string from, to;     // sidecar names ("" when the name leaves no room)
    bool moves = false;       // the object has a sidecar to take along
    bool sameFolder = false;  // both descriptors are of one folder
};
OSErr prepare(int fromDir, std::string_view fromName, int toDir, std::string_view toName,
              Carry* out);
OSErr carry(const Carry& c, const char* step);
// Before the object's own rename: marks its sidecar with the object's
// inode `ino` (and, within one folder, the name it takes), so that what a
// crash between the two renames leaves is recognised by clear_orphan:
// within one folder finished (the sidecar follows its file), and in either
// case kept as the fork of its file should that take the old name back,
// never removed as an orphan. carry() takes the mark off; unmark_carry()
// after the object's rename failed. Best effort: a sidecar the caller may
// not mark is carried as before.
void mark_carry(const Carry& c, std::uint64_t ino, const char* step);
void unmark_carry(const Carry& c, const char* step);
// Puts the sidecar back after carry() succeeded and the move is undone.
void uncarry(const Carry& c, const char* step);
// Finishes a carry a kill cut short, from what its journal recorded (the
// object of inode `fileIno` going from `fromName` in `fromDir` to `toName`
// in `toDir`, its sidecar of inode `sideIno` after it), under both
// folders' lock: where the object stands under its new name and its
// sidecar still under the old, the sidecar follows it; where the object
// stands under its old name, the sidecar stays its fork. The moving mark
// goes where the sidecar is then. Idempotent; nothing where other objects
// hold the names now.
void finish_carry(int fromDir, std::string_view fromName, int toDir, std::string_view toName,
                  std::uint64_t fileIno, std::uint64_t sideIno, const char* step);

// A new sidecar, whole under the private name `temp` of `dirFd` (held by
// its maker), takes its name "._NAME" only after its file, of inode
// `fileIno`, has taken NAME: a "._NAME" without its file is never made,
// and a kill between the two names is finished by the next listing of the
// folder (the journal this writes: the sidecar follows the file that has
// the name; else it is dropped with the other litter). begin_naming()
// under the folder's lock, before the file's name; name_sidecar() right
// after it, and the journal goes with `out`. name_sidecar's result is the
// rename's (-1 with errno set), inside the fault seam's step `step`.
struct Naming {
    int dir = -1;
    std::string temp, name;
    commit::Journal journal;
};
OSErr begin_naming(int dirFd, std::string_view fileName, const std::string& temp,
                   std::uint64_t fileIno, Naming* out);
int name_sidecar(Naming& n, const char* step);

// True when "._NAME" of `fileName` in `dirFd` is a sidecar: a regular file
// whose AppleDouble header parses, or one the caller may not read (taken
// for what its name says). Anything else under that name (a user's own
// file that reads and does not parse, a link, a FIFO, a directory) is not
// ours to remove.
bool is_sidecar_of(int dirFd, std::string_view fileName);

// permErr when the caller may not remove the sidecar of `fileName` in
// `dirFd`, though it may remove the file: in a sticky folder only the
// owner of an entry (or of the folder, or a privileged caller) removes it.
// A file whose fork could not go with it stays.
OSErr may_remove(int dirFd, std::string_view fileName);

// afpObjectTypeErr when something that is not a sidecar (see is_sidecar_of)
// holds the sidecar name of `fileName` in `dirFd`, where a fork is about to
// go: it is never replaced, nor taken for a fork. noErr when the name is
// free or holds a sidecar (an orphan, replaced by the fork that comes).
OSErr place_taken(int dirFd, std::string_view fileName);

// Removes an orphan sidecar of `fileName` before a new object takes that
// name: nothing made before may attach itself to it. Anything at that name
// that is not a sidecar (see is_sidecar_of) stays, and is never read as a
// fork. Under the folder's lock (obj_commit.h): a change that is giving
// the sidecar and then its file their names is waited for, and when the
// name `fileName` is taken by then, the sidecar is its fork and stays
// (the caller's own making of the name then finds it taken), unless
// `nameIsOurs`: the caller's object has just taken the name itself.
OSErr clear_orphan(int dirFd, std::string_view fileName, const char* step, bool nameIsOurs = false);

// One entry of what getdents64 reads, with the kernel's names for it.
// NOLINTBEGIN(readability-identifier-naming)
struct linux_dirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};
// NOLINTEND(readability-identifier-naming)

// Calls `take(NAME)` for each "._NAME" entry of a batch of directory
// entries (`n` bytes from getdents64): the names a directory read whole
// tells have a sidecar beside them.
template <class Take>
void each_sidecar_entry(const char* buf, long n, Take take) {
    for (long pos = 0; pos < n;) {
        const auto* d = reinterpret_cast<const linux_dirent64*>(buf + pos);
        pos += d->d_reclen;
        if (is_sidecar_name(d->d_name) && d->d_name[2] != 0) take(d->d_name + 2);
    }
}

// The names of the directory `dirFd` that have a "._NAME" entry (of any
// type: each is still opened and checked as a sidecar), from one reading of
// the whole directory through a descriptor of its own. Asking each of many
// files for its sidecar costs a search of the directory's index per file
// where most have none; one reading costs about what `ls -f` does. Null
// when the directory could not be read whole (never a partial list: a name
// missing from it means no sidecar). `step` names the reads for the fault
// seam (benign: the caller then looks per file).
std::unique_ptr<std::unordered_set<std::string>> sidecar_names(int dirFd, const char* step,
                                                               std::string_view detail);

}  // namespace vantrel::fm::rsrc
