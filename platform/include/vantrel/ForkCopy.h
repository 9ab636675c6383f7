// Copying a whole fork inside the kernel, and taking back an open's changes:
// this layer's own additions to the File Manager (no Mac OS system has these
// calls), for FSCopyFork and programs that copy or replace forks on Linux.
//
// A resource fork lives in its AppleDouble sidecar "._NAME", and every
// change through an open fork goes to a private copy of the sidecar that the
// fork's FSCloseFork or FSFlushFork puts in place. Copied block by block
// through a buffer, a fork crosses into the program and back, and a copy
// that fails halfway leaves that private copy half written. This call fills
// a new private copy with the source fork inside the kernel (copy_file_range:
// shared blocks where the file system can share them) and takes it only
// once it is complete.
//
//   Boolean copied = false;
//   OSErr err = VantrelFSCopyForkInKernel(src, dst, &copied);
//   if (err == noErr && !copied) err = copy_through_a_buffer(src, dst);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/Files.h"

VANTREL_EXTERN_C_BEGIN

// Replaces the whole contents of the open fork `dstRefNum` with those of the
// open fork `srcRefNum` (either fork of any file), where this layer can do
// it as one change: today when the destination is a resource fork.
//   noErr, *copied true   the destination holds exactly the source's bytes
//                         (a longer destination is cut; an empty source
//                         empties it); both marks are at the end of the
//                         copied fork, as FSCopyFork leaves them. As with
//                         FSWriteFork, the change takes its place on disk at
//                         the destination's FSFlushFork or FSCloseFork.
//   noErr, *copied false  the destination is a data fork: nothing was read
//                         or changed, the caller copies it itself.
//   paramErr              `copied` is null, or both numbers are the same fork.
//   rfNumErr              either number is not an open fork.
//   wrPermErr             the destination was not opened for writing.
//   fileBoundsErr         the source is too long for the destination's
//                         sidecar header to describe (4 GiB - 0x52 bytes
//                         or more): nothing was copied.
//   other errors          as FSReadFork and FSWriteFork give them (dskFulErr,
//                         ioErr, ioErr for a "._NAME" that is not a
//                         sidecar). The destination is as it was before the
//                         call, changes made through it earlier included,
//                         and both marks are unchanged.
// The buffer-free copy does not fill the page cache: what it reads and
// writes is dropped once on disk, as with noCacheMask. Any thread; the call
// holds both forks while it copies.
VANTREL_EXPORT OSErr VantrelFSCopyForkInKernel(FSIORefNum srcRefNum, FSIORefNum dstRefNum,
                                               Boolean* copied);

// Throws away every change made through the open resource fork `forkRefNum`
// since it was opened or last flushed: nothing of them reaches the disk, and
// the fork reads as committed again, with the mark at 0. For a program that
// writes a fork piece by piece from a source that can fail halfway (a pipe, a
// network), so that the failure leaves the old fork as it was, without
// holding the new contents in memory first. The fork stays open.
//   paramErr   `forkRefNum` is a data fork: its writes went to the file as
//              they were made and cannot be taken back; nothing changed.
//   rfNumErr   not an open fork.
//   wrPermErr  the fork was not opened for writing.
VANTREL_EXPORT OSErr VantrelFSDiscardForkChanges(FSIORefNum forkRefNum);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
