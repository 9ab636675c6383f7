// The fork reference-number table: what an FSIORefNum stands for.
//
// FSOpenFork gives each open fork a reference number and a descriptor of its
// own, so every reference number is its own open-file description: its byte
// range locks (F_OFD_SETLK) belong to it alone and go away when it is closed.
// The data fork is the file itself; the resource fork lives in the sidecar
// "._NAME" beside it (fork_sidecar.h). Either way `fd` is the file itself: its
// identity, its byte-range locks and its lock attribute cover both forks.
// Hidden (never installed).
//
//   vantrel::fm::ForkAccess f;
//   if (OSErr e = vantrel::fm::fork_access(refNum, &f)) return e;   // rfNumErr if not open
//   struct flock lk = {...};
//   ::fcntl(f.fd, F_OFD_SETLK, &lk);
#pragma once

#include <cstdint>

#include "vantrel/Files.h"

namespace vantrel::fm {

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
