// Changes that touch more than one object (a file and its "._NAME" sidecar,
// a second name, a private temporary): how our processes and threads keep
// out of each other's way while one runs, and how anything that would
// remove a "._" entry tells another operation's work in progress from a
// leftover. Hidden (never installed). docs/filemanager-platform.md,
// "Changes to more than one object", is the design.
//
// Two kinds of lock, both flock(2), both let go by the kernel when their
// holder dies (a killed holder never leaves a folder locked):
//
// - The folder lock: an exclusive flock on a description of the folder of
//   its own (opened O_RDONLY: flock needs no writable descriptor, and a
//   folder's own inode leaves no lock file behind); for a folder some of
//   its writers may not read, on a lock file of its own in /dev/shm. Every change that gives
//   a sidecar its final name, or takes one away, holds it from the moment
//   it looks at the names until both objects have them. So while no one
//   holds it, a "._NAME" without its NAME is no one's work in progress. Two
//   folders are locked in the order of their (device, inode), so two
//   movers between the same folders never wait on each other. A thread
//   that holds a folder's lock and asks for it again gets it at once (the
//   lock is held per thread, counted).
// - The temporary's own lock: a named private temporary ("._._vantrel.",
//   see private_name) is flocked by its maker for as long as it lives, so
//   a temporary of a live process is never taken for a leftover, whatever
//   PID namespace either process runs in and however PIDs were reused.
//
//   vantrel::fm::commit::FolderLock lock;
//   if (OSErr e = lock.take(dirFd)) return e;          // blocks while another changes it
//   // look again at NAME and ._NAME: what is there now is settled
//
//   // A walk that would rather pass over than wait:
//   if (vantrel::fm::commit::in_progress(dirFd, "._X")) continue;  // someone's, leave it
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vantrel/Files.h"

namespace vantrel::fm::commit {

// The folder lock of one or two folders, held until destruction or
// release(). Not copyable; movable.
class FolderLock {
  public:
    FolderLock() = default;
    ~FolderLock() { release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    FolderLock(FolderLock&& o) noexcept;
    FolderLock& operator=(FolderLock&& o) noexcept;

    // Takes the lock of the folder open as `dirFd` (any descriptor of it,
    // O_PATH included), waiting for another holder. A folder that some who
    // may change it may not read (mode 0300: changed, never listed) is
    // locked through a file of its own in /dev/shm named by its device and
    // inode, which every user reaches; where there is none to be had (no
    // such place, a stranger's file under that name), take() succeeds
    // holding nothing (held() false), and the change runs as it would
    // without locks.
    OSErr take(int dirFd) { return take(dirFd, -1); }
    // Both folders, in the one order every taker uses; one lock when both
    // are the same folder.
    OSErr take(int dirFd, int otherDirFd);
    // Takes the folder's lock only when no one else holds it: false (and
    // nothing held) when another process or thread does.
    bool try_take(int dirFd);
    void release();
    bool held() const { return count_ > 0; }

  private:
    struct Slot {
        std::uint64_t dev = 0, ino = 0;  // the folder (its flocked description is the thread's)
        bool used = false;
    };
    bool take_one(int dirFd, bool wait, Slot* out, OSErr* err);
    Slot slots_[2];
    int count_ = 0;
};

// True when the entry `entryName` of the folder `dirFd` may be another
// operation's work in progress and must be left alone by anything that
// would remove it as a leftover (the deletion walk, an orphans finder):
// - a private temporary ("._._vantrel..."), while its maker lives (it
//   holds its own lock), or when this caller cannot open it to ask;
// - any other "._NAME", while another process or thread holds the
//   folder's lock (it may be a sidecar whose file is about to get NAME).
// False for a leftover: a temporary whose maker is gone, a "._NAME" with
// no change running. The answer holds only for the moment it is given;
// to remove a "._NAME" without its file, hold FolderLock, look again, then
// remove. Costs one open and one flock (two for a temporary); nothing
// when the name is no "._" name.
bool in_progress(int dirFd, std::string_view entryName);

// Removes the entry `entryName` of the folder `dirFd` when it is a private
// temporary whose maker is gone (in_progress false): what a killed change
// left under a private name is either its new object not yet placed or the
// old one it had put aside, and dropping it leaves each name as that change
// left it; a journal (see Journal) is recovered first. A listing calls it for each such name it
// meets, so litter lasts only until the folder is next read. Nothing for any other name (no system
// call); true when it removed the entry. A failure (no right to change the folder) leaves it for a
// caller that may.
bool clear_litter(int dirFd, std::string_view entryName);

// A change's journal: a private temporary in a folder, flocked by its maker,
// that holds what the change needs to be finished or undone. It is written
// before the change's first step and removed after its last; a journal
// whose maker died is met by the next listing of its folder (clear_litter),
// which hands its payload to the recovery registered for its kind and then
// removes it. The recovery rolls the change forward or back, whichever
// the names show to be nearer, and must be idempotent (it may itself be
// killed and run again).
class Journal {
  public:
    Journal() = default;
    ~Journal() { end(); }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    // Writes the journal of a change of kind `kind` in the folder `dirFd`.
    // A failure (a full disk) is the change's: it must not start. A folder
    // the caller may not change gets no journal (noErr): the change then
    // runs unjournalled. Fault-seam steps "Commit.journal".
    OSErr begin(int dirFd, std::string_view kind, std::string_view payload);
    // The change is over (done or undone): the journal goes.
    void end();
    // The change's first step failed and nothing changed: the journal goes
    // at once, as no step of the change (its recovery would do nothing).
    void abandon();
    // The change could be neither finished nor undone (a step failed, then
    // its undo): the journal stays, let go, for the next listing of its
    // folder to finish or undo what it records.
    void keep();
    // True between a begin() that wrote a journal and its end() or keep().
    bool written() const { return fd_ >= 0; }
    // The change goes on after the call that began it returns (a folder
    // copy, made by one call and named by another): what this thread
    // changes meanwhile is no part of it, and journals itself.
    void span_calls();
    // The folder the journal stands in, open again as `dirFd`: a change
    // that spans calls need not keep open the descriptor begin() was given
    // (a deep walk at a small descriptor limit has no spare one), and gives
    // the folder again before its end(), abandon() or keep().
    void stands_in(int dirFd) { dir_ = dirFd; }

  private:
    int dir_ = -1;
    int fd_ = -1;
    bool counted_ = false;  // in this thread's journalled()
    std::string name_;
};

// True while this thread runs a journalled change (or a recovery): a change
// made as a part of it is that one's to finish, and needs no journal or
// intent of its own.
bool journalled();

// How a change of one kind is finished or undone from its journal's payload;
// `dirFd` is the folder the journal stood in (the change's first name's).
// True when the journal is done with (the change finished or undone, or
// nothing left to do); false when its payload is in a format this build
// does not know (a later version's): the journal then stays, untouched,
// for a program that can read it.
using Recovery = bool (*)(int dirFd, std::string_view payload);
// Registers the recovery of `kind` (at load time, once per kind).
void register_recovery(std::string_view kind, Recovery recovery);

// Recovers every journal a dead maker left in the folder `dirFd` and drops
// its other dead temporaries, as a listing does (clear_litter for each).
// For a change about to remove a "._NAME" as an orphan: a journal may say
// whose fork it is. Costs one reading of the folder. True when a live
// change holds a journal there: its other temporaries are then left alone
// (one may be a file waiting under a private name, held by no lock).
bool recover_folder(int dirFd);

// True when a journal (live, or one a recovery had to leave) stands in the
// folder `dirFd`. One reading of the folder.
bool journal_left(int dirFd);

// A journal's payload, written field by field in explicit little-endian
// integers, so that one build's journal reads the same in another.
inline void put_u64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
inline void put_str(std::string& out, std::string_view v) {
    put_u64(out, v.size());
    out.append(v);
}
// Reads what put_u64 and put_str wrote; `ok` turns false (and stays so)
// at the first field cut short, as in a journal a kill cut while written.
struct Reader {
    std::string_view in;
    bool ok = true;
    std::uint64_t u64() {
        if (in.size() < 8) {
            ok = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(in[std::size_t(i)]);
        in.remove_prefix(8);
        return v;
    }
    std::string str() {
        const std::uint64_t n = u64();
        if (!ok || n > in.size()) {
            ok = false;
            return {};
        }
        std::string v(in.substr(0, std::size_t(n)));
        in.remove_prefix(std::size_t(n));
        return v;
    }
};

// What a journal writes down to find a folder again after it was renamed
// or moved: besides its path, device and inode, the file system's handle of
// it (name_to_handle_at; "" where the file system gives none).
std::string folder_handle(int dirFd);
// Opens (O_PATH) the folder of device `dev` and inode `ino` that stood at
// `path` when a journal was written: there still, else through its handle
// (for a caller that may open by handle: root), else among the folders
// beside and below where it stood (a folder renamed in its parent, or one
// level further up or down; a bounded search). `sameFs` is any descriptor
// on its file system. -1 when it is nowhere to be found.
int open_folder_again(const std::string& path, std::uint64_t dev, std::uint64_t ino,
                      const std::string& handle, int sameFs);

// A fresh name for a private temporary in a folder: "._._vantrel.", the
// process ID, 64 random bits in hex and a count. Invisible (a "._" name is
// never listed and no item can take one), and unique between processes
// even across PID namespaces and PID reuse (the random part).
std::string private_name();

// True when the folder open as `dirFd` lies within a folder under a private
// name (private_name), at any depth: a tree copy fills its copy there and
// names it in one rename at the end, so nothing inside is seen before it is
// whole, and whatever a kill leaves inside goes with the private folder. A
// file made in there needs no unnamed stage, journal or folder lock of its
// own: it may be made under its final name. One readlink of the folder's
// path as the kernel knows it now; false wherever that path cannot be had.
bool within_private_folder(int dirFd);

// Locks the open temporary `fd` as its maker's for as long as the
// descriptor stays open (see in_progress). Every local file system
// Linux has takes flock; where one refuses it, the temporary stays
// unlocked and is taken for a leftover like one of a dead process.
void hold_temporary(int fd);

}  // namespace vantrel::fm::commit
