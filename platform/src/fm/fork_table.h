// The fork reference-number table: what an FSIORefNum stands for, finding an
// open fork by its number, and which fork a name asks for. The calls that
// open, close and walk the table live in fork_table.cpp; reading, writing
// and sizes in fork_io.cpp, which gives the table the calls it needs
// (fork_size, settle_pending, commit_fork). Hidden (never installed).
//
// FSOpenFork gives each open fork a reference number and a descriptor of its
// own, so every reference number is its own open-file description: its byte
// range locks (F_OFD_SETLK) belong to it alone and go away when it is closed.
// The data fork is the file itself; the resource fork lives in the sidecar
// "._NAME" beside it (fork_sidecar.h). Either way `fd` is the file itself: its
// identity, its byte-range locks and its lock attribute cover both forks.
//
// Inside the table's own calls, the fork itself:
//
//   ForkPtr f = vantrel::fm::find_fork(refNum);
//   if (!f) return rfNumErr;
//   std::lock_guard lk(f->mu);
//
// Elsewhere (the byte-range locks), a copy of what the fork stands for:
//
//   vantrel::fm::ForkAccess f;
//   if (OSErr e = vantrel::fm::fork_access(refNum, &f)) return e;   // rfNumErr if not open
//   struct flock lk = {...};
//   ::fcntl(f.fd, F_OFD_SETLK, &lk);
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "fm/fork_sidecar.h"
#include "vantrel/Files.h"

namespace vantrel::fm {

struct Fork {
    std::mutex mu;  // one transfer at a time per reference number
    int fd = -1;    // the file itself (both forks: identity, locks, the lock attribute)
    bool resource = false;
    rsrc::Sidecar side;          // the resource fork's sidecar as committed, once there is one
    std::uint64_t sideSeen = 0;  // rsrc::commits() when `side` was opened
    // Where this open's changes to the resource fork go until it commits
    // them (FSFlushFork, FSCloseFork); reads through it see them.
    rsrc::Shadow shadow;
    bool writable = false;
    bool shared = false;  // opened with fsRdWrShPerm: other writers allowed
    SInt8 permissions = 0;
    FSVolumeRefNum vref = 0;
    UInt32 nodeID = 0;
    std::uint64_t dev = 0, ino = 0;
    FSRef ref{};
    SInt64 mark = 0;
    // The range uncached writes handed to writeback and not yet dropped.
    SInt64 pendingStart = 0, pendingLength = 0;
    // The same file opened with O_DIRECT for aligned uncached transfers:
    // -1 not opened yet, -2 the file system refuses direct I/O.
    int directFd = -1;
};
using ForkPtr = std::shared_ptr<Fork>;

// The fork open under `refNum`, or null.
ForkPtr find_fork(FSIORefNum refNum);

// Which fork a name asks for: the empty name is the data fork, the resource
// fork's name the resource fork; errFSForkNotFound for any other.
OSErr parse_fork_name(UniCharCount length, const UniChar* name, bool* resource);

// The fork's logical end now (fork_io.cpp).
OSErr fork_size(Fork& f, SInt64* size);
// Waits for an uncached write's pending range and drops it from the cache
// (fork_io.cpp).
void settle_pending(Fork& f);
// Puts the resource fork's changes through `f` in place of its sidecar
// (fork_io.cpp); `durable` makes the folder's new entry durable too. The
// fault seam's step is `step`.
OSErr commit_fork(Fork& f, bool durable, const char* step);

// ---------------------------------------------------------------- from outside the table

struct ForkAccess {
    int fd = -1;            // the fork's own open-file description (the file, opened for this fork)
    bool resource = false;  // the resource fork, not the data fork
    bool writable = false;  // opened with write permission
    FSVolumeRefNum vref = 0;
    UInt32 nodeID = 0;
    SInt64 mark = 0;  // current position
};

// What `refNum` stands for, or rfNumErr when no fork is open under it. The
// descriptor stays owned by the table: it is valid until FSCloseFork.
OSErr fork_access(FSIORefNum refNum, ForkAccess* out);

// The logical end of the fork open under `refNum` now; rfNumErr if none.
OSErr fork_eof(FSIORefNum refNum, SInt64* eof);

// Number of forks open in the process (tests prove none leaks).
long open_fork_count() noexcept;

}  // namespace vantrel::fm
