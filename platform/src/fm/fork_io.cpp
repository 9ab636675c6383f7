// Reading and writing open forks: marks, transfers, sizes, flushing, and
// making the resource fork. The reference-number table is fork_table.cpp.
//
// The data fork is read and written with pread and
// pwrite at the fork's own mark (never the descriptor's offset). The resource
// fork lives in the sidecar "._NAME" (fork_sidecar.h) at any size. The first
// change through a reference number copies it into a shadow, which takes
// every change of that open and replaces the sidecar whole at FSFlushFork
// and FSCloseFork (rsrc::commit). Without a shadow the fork is read from the
// sidecar, reopened after a commit in this process and its length read anew
// on each call, which keeps reference numbers of one fork in step. A fork
// still kept in the attribute of earlier versions is read from there and
// moved into a sidecar by the first commit that changes it.
//
// noCacheMask: what a transfer read is dropped from the page cache at once;
// what it wrote is handed to writeback at once and dropped once it is on
// disk and 8 MiB behind the writer, so a large copy neither fills the cache
// nor waits for each block the way synchronous direct I/O does. Aligned
// data-fork transfers go through O_DIRECT instead.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fm/cat_appledir.h"
#include "fm/cat_layouts.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/fork_table.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "vantrel/ForkCopy.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSCreateFork", "FSFlushFork", "FSGetForkSize", "FSSetForkSize",
                         "FSGetForkPosition", "FSSetForkPosition", "FSReadFork", "FSWriteFork",
                         "FSWrite", "FSRead", "FSCreateFork.sidecar", "FSWriteFork.write",
                         "FSWriteFork.sidecar", "FSWriteFork.header", "FSWriteFork.undo",
                         "FSSetForkSize.sidecar", "FSSetForkSize.allocate",
                         "FSSetForkSize.truncate", "FSSetForkSize.undo", "FSFlushFork.fsync",
                         "FSFlushFork.commit", "FSWriteFork.withoutTmpfile",
                         "VantrelFSCopyForkInKernel", "VantrelFSCopyForkInKernel.shadow",
                         "VantrelFSCopyForkInKernel.copy", "VantrelFSDiscardForkChanges");

namespace vantrel::fm {
namespace {

constexpr UInt16 kPositionModeMask = 0x0003;

using rsrc::write_error;

// The sidecar of resource fork `f` as committed, opened (again) when it
// exists by now or when a commit in this process may have replaced it:
// another reference number or another program may have made it since `f`
// was.
OSErr attach_sidecar(Fork& f) {
    if (f.shadow.made()) return noErr;
    const std::uint64_t now = rsrc::commits();
    if (f.side.state != rsrc::State::None && f.sideSeen == now) return noErr;
    Node n;
    if (OSErr e = resolve(&f.ref, &n)) return e;
    f.sideSeen = now;
    if (OSErr e = rsrc::open(n.at(), n.name, f.writable, &f.side)) return e;
    appledir::fork_fallback(n, f.fd, &f.side);
    return noErr;
}

// What transfers through `f` read and write: its shadow once it has one.
rsrc::Sidecar& view(Fork& f) {
    return f.shadow.made() ? f.shadow.side : f.side;
}

// The resource fork where it has no sidecar: in the attribute of earlier
// versions, or empty.
OSErr read_legacy(const Fork& f, std::string* out) {
    bool present = false;
    return rsrc::read_legacy(f.fd, out, &present);
}

// A new shadow for the changes through `f`, whose fork Netatalk 2 keeps in
// ".AppleDouble" (read only): a sidecar of our own form, holding the first
// `forkBytes` bytes of that fork, which a commit puts in place as "._NAME";
// from then on the sidecar is the fork.
OSErr foreign_shadow(Fork& f, const rsrc::Sidecar& current, const char* step,
                     std::uint64_t forkBytes, rsrc::Shadow* out) {
    Node n;
    if (OSErr e = resolve(&f.ref, &n)) return e;
    std::uint8_t finder[rsrc::kFinderInfoSize];
    rsrc::finder_info_of(n, finder);
    const rsrc::Sidecar none;
    if (OSErr e = rsrc::make_shadow(n.at(), n.name, none, {}, finder, step, out, 0)) return e;
    std::uint64_t copied = 0;
    const std::uint64_t want = std::min(forkBytes, current.layout.length);
    if (OSErr e = rsrc::fill(*out, current.fd.get(), current.layout.offset, want, step, &copied)) {
        rsrc::discard(*out, step);
        return e;
    }
    if (copied != want) {
        rsrc::discard(*out, step);
        return ioErr;  // cut short since its header was read
    }
    return noErr;
}

// A new shadow for the changes through `f`, from the sidecar there is, else
// from what the attribute of earlier versions held; of the fork, only its
// first `forkBytes` bytes are copied into it. `step` names its making for
// the fault seam. Refused where the fork may not be written through `f`.
OSErr new_shadow(Fork& f, const char* step, std::uint64_t forkBytes, rsrc::Shadow* out) {
    // What this open sees: its own shadow, once it has one.
    if (!f.shadow.made()) {
        if (OSErr e = attach_sidecar(f)) return e;
    }
    const rsrc::Sidecar& current = view(f);
    if (current.state == rsrc::State::Unusable)
        return afpObjectTypeErr;  // not ours: never written over
    if (current.foreign) return foreign_shadow(f, current, step, forkBytes, out);
    if (current.found() && current.refusal != noErr) return current.refusal;
    if (current.found() && !current.layout.last) return ioErr;  // another entry follows the fork
    Node n;
    if (OSErr e = resolve(&f.ref, &n)) return e;
    std::string legacy;
    bool present = false;
    if (!current.found()) {
        if (OSErr e = rsrc::read_legacy(f.fd, &legacy, &present)) return e;
    }
    std::uint8_t finder[rsrc::kFinderInfoSize];
    rsrc::finder_info_of(n, finder);
    if (OSErr e = rsrc::make_shadow(n.at(), n.name, current, legacy, finder, step, out, forkBytes))
        return e;
    out->legacy = present || f.shadow.legacy;
    return noErr;
}

// The shadow the changes through `f` go to, made at its first change.
OSErr writable_shadow(Fork& f, const char* step, std::uint64_t forkBytes = UINT64_MAX) {
    if (f.shadow.made()) return noErr;
    return new_shadow(f, step, forkBytes, &f.shadow);
}

// The descriptor a transfer of `f` reads and writes.
int io_fd(Fork& f) {
    return f.resource ? view(f).fd.get() : f.fd;
}

}  // namespace

OSErr fork_size(Fork& f, SInt64* size) {
    if (f.resource) {
        if (OSErr e = attach_sidecar(f)) return e;
        if (view(f).found()) {
            std::uint64_t len = 0;
            if (OSErr e = rsrc::length(view(f), &len)) return e;
            *size = static_cast<SInt64>(len);
            return noErr;
        }
        std::string legacy;
        if (OSErr e = read_legacy(f, &legacy)) return e;
        *size = static_cast<SInt64>(legacy.size());
        return noErr;
    }
    struct stat st;
    if (::fstat(f.fd, &st) != 0) return from_errno(errno, Op::Read);
    *size = st.st_size;
    return noErr;
}

namespace {

// The position a transfer or a positioning call starts from. posErr before
// the start of the fork.
OSErr position(Fork& f, UInt16 mode, SInt64 offset, SInt64* pos) {
    SInt64 base = 0;
    switch (mode & kPositionModeMask) {
        case fsAtMark:
            *pos = f.mark;
            return noErr;
        case fsFromStart:
            base = 0;
            break;
        case fsFromLEOF:
            if (OSErr e = fork_size(f, &base)) return e;
            break;
        case fsFromMark:
            base = f.mark;
            break;
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return posErr;
    *pos = base + offset;
    return noErr;
}

}  // namespace

// Waits for the ranges handed to writeback and drops them from the cache.
void settle_pending(Fork& f) {
    if (f.pendingLength == 0) return;
    const int fd = io_fd(f);
    ::sync_file_range(
        fd, f.pendingStart, f.pendingLength,
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    ::posix_fadvise(fd, f.pendingStart, f.pendingLength, POSIX_FADV_DONTNEED);
    f.pendingLength = 0;
}

OSErr commit_fork(Fork& f, bool durable, const char* step) {
    if (!f.shadow.dirty) return noErr;
    settle_pending(f);
    Node n;
    if (OSErr e = resolve(&f.ref, &n)) return e;
    // Finder information set while the fork was open: the copy carries it.
    std::uint8_t finder[rsrc::kFinderInfoSize];
    if (rsrc::finder_info_of(n, finder)) {
        if (OSErr e = rsrc::refresh_finder_info(f.shadow, finder, step)) return e;
    }
    // Under the folder's lock, as every change to a name and its sidecar:
    // another program's commit of the same fork (or the first fork of the
    // same file) comes wholly before or after this one, and the last stands.
    commit::FolderLock lock;
    if (OSErr e = lock.take(n.at())) return e;
    rsrc::Sidecar now;
    // A stream volume keeps the fork where Samba serves it from there.
    const OSErr e = layouts::layout_of(n) == layouts::Layout::Stream
                        ? rsrc::commit_to_stream(n.at(), n.name, f.fd, f.shadow, step, &now)
                        : rsrc::commit(n.at(), n.name, f.fd, f.shadow, durable, step, &now);
    if (!f.shadow.made()) {  // spent: what it made is the sidecar now
        f.side = std::move(now);
        f.sideSeen = rsrc::commits();
    }
    return e;
}

namespace {

constexpr std::uint64_t kDirectAlign = 4096;

// The descriptor for an uncached transfer of `count` bytes at `pos` from or
// into `buffer`: the O_DIRECT one when everything is aligned (the page cache
// is bypassed entirely), otherwise the ordinary one.
int direct_fd(Fork& f, SInt64 pos, std::uint64_t count, const void* buffer) {
    if (f.resource || f.directFd == -2 || count == 0 ||
        (static_cast<std::uint64_t>(pos) | count | reinterpret_cast<std::uintptr_t>(buffer)) %
                kDirectAlign !=
            0)
        return -1;
    if (f.directFd == -1) {
        // Reopened through the descriptor itself: the same file, whatever
        // happened to its name since.
        const std::string self = "/proc/self/fd/" + std::to_string(f.fd);
        f.directFd = ::open(self.c_str(), (f.writable ? O_RDWR : O_RDONLY) | O_DIRECT | O_CLOEXEC);
        if (f.directFd < 0) f.directFd = -2;
    }
    return f.directFd >= 0 ? f.directFd : -1;
}

// How much an uncached sequential writer keeps in flight before it waits
// for the oldest part: enough for the disk to stay busy while the next
// transfers are copied in.
constexpr SInt64 kWriteBehindWindow = SInt64{8} << 20;

void write_behind(Fork& f, SInt64 start, SInt64 length) {
    if (length <= 0) return;
    const int fd = io_fd(f);
    ::sync_file_range(fd, start, length, SYNC_FILE_RANGE_WRITE);
    if (f.pendingLength != 0 && f.pendingStart + f.pendingLength != start) settle_pending(f);
    if (f.pendingLength == 0) f.pendingStart = start;
    f.pendingLength = start + length - f.pendingStart;
    // Past the window: wait for the oldest part to reach the disk and drop it.
    if (f.pendingLength > kWriteBehindWindow) {
        const SInt64 settle = f.pendingLength - kWriteBehindWindow;
        ::sync_file_range(
            fd, f.pendingStart, settle,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(fd, f.pendingStart, settle, POSIX_FADV_DONTNEED);
        f.pendingStart += settle;
        f.pendingLength -= settle;
    }
}

OSErr read_fork(Fork& f, UInt16 mode, SInt64 offset, ByteCount request, void* buffer,
                ByteCount* actual) {
    const ByteCount asked = request;
    SInt64 pos = 0;
    if (OSErr e = position(f, mode, offset, &pos)) return e;
    ByteCount got = 0;
    OSErr result = noErr;
    if (f.resource) {
        if (OSErr e = attach_sidecar(f)) return e;
    }
    if (f.resource && !view(f).found()) {
        std::string data;
        if (OSErr e = read_legacy(f, &data)) return e;
        if (pos < static_cast<SInt64>(data.size())) {
            got = static_cast<ByteCount>(
                std::min<std::uint64_t>(request, data.size() - static_cast<std::uint64_t>(pos)));
            std::memcpy(buffer, data.data() + pos, got);
        }
    } else {
        auto* p = static_cast<char*>(buffer);
        // The resource fork ends where its sidecar says, not at the end of
        // the sidecar file (another entry may follow it).
        SInt64 base = 0;
        if (f.resource) {
            SInt64 size = 0;
            if (OSErr e = fork_size(f, &size)) return e;
            base = static_cast<SInt64>(view(f).layout.offset);
            request = pos >= size ? 0 : std::min<ByteCount>(request, ByteCount(size - pos));
        }
        int direct = (mode & noCacheMask) != 0 ? direct_fd(f, pos, request, buffer) : -1;
        const int plain = io_fd(f);
        while (got < request) {
            // Direct reads stay aligned until the end of the file cuts one short.
            const int fd = direct >= 0 && got % kDirectAlign == 0 ? direct : plain;
            ssize_t n = ::pread(fd, p + got, request - got, base + pos + got);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EINVAL && fd == direct) {  // alignment the device does not take
                    direct = -1;
                    continue;
                }
                result = from_errno(errno, Op::Read);
                break;
            }
            if (n == 0) break;
            got += static_cast<ByteCount>(n);
        }
        if ((mode & noCacheMask) != 0 && direct < 0 && got > 0) {
            ::posix_fadvise(plain, base + pos, got, POSIX_FADV_DONTNEED);
            // A sequential reader asks for the next transfer soon: start
            // reading it now, while the caller deals with this one.
            ::posix_fadvise(plain, base + pos + SInt64(got), SInt64(got), POSIX_FADV_WILLNEED);
        }
    }
    f.mark = pos + got;
    if (actual != nullptr) *actual = got;
    if (result == noErr && got < asked) result = eofErr;
    return result;
}

OSErr write_sidecar(Fork& f, SInt64 pos, ByteCount request, const void* buffer, bool uncached,
                    ByteCount* done);

// Throws away every change through `f` since its last commit, after a write
// to its shadow failed: what the open shows, and what its close or flush
// would put in place, is the fork as committed again. A fork emptied to be
// written anew and then refused its new bytes (a full disk) must never be
// committed empty, nor be put back from a copy kept in memory.
void abandon_changes(Fork& f, const char* step) {
    if (!f.shadow.made()) return;
    settle_pending(f);
    rsrc::discard(f.shadow, step);
    f.sideSeen = ~std::uint64_t{0};  // look at the sidecar again
}

// Writes into the resource fork's shadow, made now if there is none. A
// fork that grows gets its new length in the header; should that fail, it
// is cut back to where it ended.
OSErr write_resource(Fork& f, SInt64 pos, ByteCount request, const void* buffer, bool uncached,
                     ByteCount* done) {
    // Refused whole, before anything is made, where the header could not
    // hold the fork's new length.
    if (OSErr e = attach_sidecar(f)) return e;
    if (OSErr e = rsrc::within_bounds(view(f), std::uint64_t(pos) + request)) return e;
    if (OSErr e = writable_shadow(f, "FSWriteFork.sidecar")) return e;
    const OSErr e = write_sidecar(f, pos, request, buffer, uncached, done);
    if (e != noErr) {
        abandon_changes(f, "FSWriteFork.undo");
        *done = 0;
        return e;
    }
    f.shadow.dirty = true;
    return e;
}

OSErr write_sidecar(Fork& f, SInt64 pos, ByteCount request, const void* buffer, bool uncached,
                    ByteCount* done) {
    SInt64 old = 0;
    if (OSErr e = fork_size(f, &old)) return e;
    rsrc::Sidecar& side = f.shadow.side;
    const int fd = side.fd.get();
    struct stat before {};
    if (::fstat(fd, &before) != 0) return from_errno(errno, Op::Read);
    const auto base = static_cast<SInt64>(side.layout.offset);
    // A fork that grows has its new length in the header first, then its
    // bytes: readers take the length from the file, so a failure between
    // the two (or in the undo) shows the fork as it was. A write that fails
    // takes back the header, what it added past the old end, and the
    // sidecar's times.
    const SInt64 end = pos + SInt64(request);
    auto undo = [&](OSErr e) {
        if (end > old) {
            (void)rsrc::note_length(side, std::uint64_t(old), "FSWriteFork.undo");
            fault::step("FSWriteFork.undo", {}, [&] { return ::ftruncate(fd, base + old); });
            const struct timespec t[2] = {before.st_atim, before.st_mtim};
            fault::step("FSWriteFork.undo", {}, [&] { return ::futimens(fd, t); });
            *done = pos > old ? 0 : std::min<ByteCount>(*done, ByteCount(old - pos));
        }
        return e;
    };
    if (end > old) {
        if (OSErr e = rsrc::note_length(side, std::uint64_t(end), "FSWriteFork.header")) return e;
    }
    const auto* p = static_cast<const char*>(buffer);
    while (*done < request) {
        const ssize_t n = fault::step("FSWriteFork.write", {}, [&] {
            return ::pwrite(fd, p + *done, request - *done, base + pos + SInt64(*done));
        });
        if (n < 0) {
            if (errno == EINTR) continue;
            return undo(write_error(errno, fd));
        }
        *done += static_cast<ByteCount>(n);
    }

    if (uncached) write_behind(f, base + pos, SInt64(request));
    return noErr;
}

OSErr write_fork(Fork& f, UInt16 mode, SInt64 offset, ByteCount request, const void* buffer,
                 ByteCount* actual) {
    if (!f.writable) return wrPermErr;
    SInt64 pos = 0;
    if (OSErr e = position(f, mode, offset, &pos)) return e;
    if (request == 0) {
        f.mark = pos;
        return noErr;
    }
    ByteCount done = 0;
    OSErr result = noErr;
    if (f.resource) {
        result = write_resource(f, pos, request, buffer, (mode & noCacheMask) != 0, &done);
    } else {
        const auto* p = static_cast<const char*>(buffer);
        int direct = (mode & noCacheMask) != 0 ? direct_fd(f, pos, request, buffer) : -1;
        if (direct >= 0) settle_pending(f);  // no buffered write may land after the direct one
        while (done < request) {
            const int fd = direct >= 0 && done % kDirectAlign == 0 ? direct : f.fd;
            ssize_t n = fault::step("FSWriteFork.write", {}, [&] {
                return ::pwrite(fd, p + done, request - done, pos + done);
            });
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EINVAL && fd == direct) {
                    direct = -1;
                    continue;
                }
                result = write_error(errno, f.fd);
                break;
            }
            done += static_cast<ByteCount>(n);
        }
        if ((mode & noCacheMask) != 0 && direct < 0) write_behind(f, pos, done);
    }
    f.mark = pos + done;
    if (actual != nullptr) *actual = done;
    return result;
}
}  // namespace
}  // namespace vantrel::fm

using vantrel::fm::Fork;
using vantrel::fm::ForkPtr;
namespace fm = vantrel::fm;
namespace fault = vantrel::fault;

OSErr FSCreateFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName) {
    bool resource = false;
    if (OSErr e = fm::parse_fork_name(forkNameLength, forkName, &resource)) return e;
    fm::Node n;
    if (OSErr e = fm::resolve(ref, &n)) return e;
    if (OSErr e = fault::check("FSCreateFork", n.name)) return e;
    if (!S_ISREG(n.st.stx_mode)) return notAFileErr;
    if (!resource) return errFSForkExists;
    namespace rsrc = fm::rsrc;
    rsrc::Sidecar side;
    if (OSErr e = rsrc::open(n.at(), n.name, false, &side)) return e;
    if (side.found()) return errFSForkExists;
    if (side.state == rsrc::State::Unusable)
        return afpObjectTypeErr;  // something else holds its place
    fm::UniqueFd file(
        ::openat(n.at(), n.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) return fm::from_errno(errno, fm::Op::Read, &n);
    std::string legacy;
    bool present = false;
    if (OSErr e = rsrc::read_legacy(file.get(), &legacy, &present)) return e;
    if (present) return errFSForkExists;
    std::uint8_t finder[rsrc::kFinderInfoSize];
    rsrc::finder_info_of(n, finder);
    return rsrc::create(n.at(), n.name, {}, finder, "FSCreateFork.sidecar", &side);
}

OSErr FSFlushFork(FSIORefNum forkRefNum) {
    if (OSErr e = fault::check("FSFlushFork")) return e;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    fm::settle_pending(*f);
    // Changes to the resource fork are made durable by putting them in
    // place: the shadow's data, then its name.
    if (f->resource && f->shadow.dirty) return fm::commit_fork(*f, true, "FSFlushFork.commit");
    // A sidecar's header is its data; a fork still in the old attribute is
    // metadata of the file, so a full fsync.
    const int rc = fault::step("FSFlushFork.fsync", {}, [&] {
        if (!f->resource) return ::fdatasync(f->fd);
        return f->side.found() ? ::fdatasync(f->side.fd.get()) : ::fsync(f->fd);
    });
    return rc == 0 ? OSErr{noErr} : fm::from_errno(errno, fm::Op::Write);
}

OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64* forkSize) {
    if (OSErr e = fault::check("FSGetForkSize")) return e;
    if (forkSize == nullptr) return paramErr;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    return fm::fork_size(*f, forkSize);
}

OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset) {
    if (OSErr e = fault::check("FSSetForkSize")) return e;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    if (!f->writable) return wrPermErr;
    SInt64 size = 0;
    if (OSErr e = fm::position(*f, positionMode, positionOffset, &size)) return e;
    if (f->resource) {
        SInt64 old = 0;
        if (OSErr e = fm::fork_size(*f, &old)) return e;
        if (size > old) {
            if (OSErr e = fm::rsrc::within_bounds(fm::view(*f), std::uint64_t(size))) return e;
        }
        // An empty fork that has no sidecar stays without one; a sidecar
        // that holds an empty fork goes when this open commits.
        if (size != old || (size == 0 && f->side.found())) {
            // Only what stays of the fork is copied into the shadow: a fork
            // emptied to be written anew is not copied first.
            if (OSErr e = fm::writable_shadow(*f, "FSSetForkSize.sidecar",
                                              std::uint64_t(std::min(size, old))))
                return e;
            if (f->pendingStart + f->pendingLength > size) fm::settle_pending(*f);
            if (OSErr e = fm::rsrc::set_length(f->shadow.side, std::uint64_t(size),
                                               "FSSetForkSize.truncate", "FSSetForkSize.undo")) {
                fm::abandon_changes(*f, "FSSetForkSize.undo");
                return e;
            }
            f->shadow.dirty = true;
        }
    } else {
        SInt64 old = 0;
        if (OSErr e = fm::fork_size(*f, &old)) return e;
        if (size > old) {
            struct stat before {};
            if (::fstat(f->fd, &before) != 0) return fm::from_errno(errno, fm::Op::Read);
            // Allocate the new length now, so that a full disk is reported
            // here rather than halfway through the writes that follow.
            if (fault::step("FSSetForkSize.allocate", {},
                            [&] { return ::fallocate(f->fd, 0, old, size - old); }) != 0) {
                const int err = errno;
                if (err != EOPNOTSUPP && err != ENOSYS) {
                    // Give back what was allocated in part, and the dates
                    // the growth changed: a failed call changes nothing.
                    struct stat now;
                    if (::fstat(f->fd, &now) == 0 && now.st_size != old) {
                        fault::step("FSSetForkSize.undo", {},
                                    [&] { return ::ftruncate(f->fd, old); });
                        const struct timespec times[2] = {before.st_atim, before.st_mtim};
                        fault::step("FSSetForkSize.undo", {},
                                    [&] { return ::futimens(f->fd, times); });
                    }
                    return fm::write_error(err, f->fd);
                }
                if (fault::step("FSSetForkSize.truncate", {},
                                [&] { return ::ftruncate(f->fd, size); }) != 0)
                    return fm::write_error(errno, f->fd);
            }
        } else if (size < old) {
            if (f->pendingStart + f->pendingLength > size) fm::settle_pending(*f);
            if (fault::step("FSSetForkSize.truncate", {},
                            [&] { return ::ftruncate(f->fd, size); }) != 0)
                return fm::write_error(errno, f->fd);
        }
    }
    if (f->mark > size) f->mark = size;
    return noErr;
}

OSErr FSGetForkPosition(FSIORefNum forkRefNum, SInt64* position) {
    if (OSErr e = fault::check("FSGetForkPosition")) return e;
    if (position == nullptr) return paramErr;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    *position = f->mark;
    return noErr;
}

OSErr FSSetForkPosition(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset) {
    if (OSErr e = fault::check("FSSetForkPosition")) return e;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    SInt64 pos = 0;
    if (OSErr e = fm::position(*f, positionMode, positionOffset, &pos)) return e;
    SInt64 size = 0;
    if (OSErr e = fm::fork_size(*f, &size)) return e;
    // Past the end the mark stops at the end, and the caller is told.
    if (pos > size) {
        f->mark = size;
        return eofErr;
    }
    f->mark = pos;
    return noErr;
}

OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void* buffer, ByteCount* actualCount) {
    if (actualCount != nullptr) *actualCount = 0;
    if (OSErr e = fault::check("FSReadFork")) return e;
    if (buffer == nullptr && requestCount > 0) return paramErr;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    return fm::read_fork(*f, positionMode, positionOffset, requestCount, buffer, actualCount);
}

OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void* buffer, ByteCount* actualCount) {
    if (actualCount != nullptr) *actualCount = 0;
    const OSErr refused = fault::check("FSWriteFork");
    if (buffer == nullptr && requestCount > 0 && refused == noErr) return paramErr;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return refused != noErr ? refused : OSErr{rfNumErr};
    std::lock_guard lk(f->mu);
    // A write that fails, whatever the cause, throws away the resource
    // fork's uncommitted changes (see abandon_changes).
    if (refused != noErr) {
        if (f->resource) fm::abandon_changes(*f, "FSWriteFork.undo");
        return refused;
    }
    return fm::write_fork(*f, positionMode, positionOffset, requestCount, buffer, actualCount);
}

namespace vantrel::fm {
namespace {

// Replaces the resource fork of `dst` with the whole of `src` through a new
// shadow, in the kernel; `dst`'s own shadow (its uncommitted changes) stays
// until the copy is complete, so that a failure leaves the fork as this open
// saw it. `*size` is what was copied.
OSErr copy_into_resource(Fork& src, Fork& dst, std::uint64_t* size) {
    SInt64 length = 0;
    if (OSErr e = fork_size(src, &length)) return e;
    // Of the old fork, nothing is copied into the new shadow.
    rsrc::Shadow fresh;
    if (OSErr e = new_shadow(dst, "VantrelFSCopyForkInKernel.shadow", 0, &fresh)) return e;
    // A fork its header could not describe is refused before any byte moves.
    OSErr e = rsrc::within_bounds(fresh.side, std::uint64_t(length));
    if (e != noErr) {
        // Nothing to copy.
    } else if (src.resource && !view(src).found()) {
        std::string legacy;
        e = read_legacy(src, &legacy);
        if (e == noErr) e = rsrc::fill(fresh, legacy, "VantrelFSCopyForkInKernel.copy");
        *size = legacy.size();
    } else {
        const std::uint64_t from = src.resource ? view(src).layout.offset : 0;
        e = rsrc::fill(fresh, io_fd(src), from, std::uint64_t(length),
                       "VantrelFSCopyForkInKernel.copy", size);
    }
    if (e != noErr) {
        rsrc::discard(fresh, "VantrelFSCopyForkInKernel.shadow");
        return e;
    }
    // Writes still in flight belong to the shadow that goes.
    settle_pending(dst);
    rsrc::discard(dst.shadow, "VantrelFSCopyForkInKernel.shadow");
    dst.shadow = std::move(fresh);
    dst.shadow.dirty = true;
    return noErr;
}

}  // namespace
}  // namespace vantrel::fm

OSErr VantrelFSCopyForkInKernel(FSIORefNum srcRefNum, FSIORefNum dstRefNum, Boolean* copied) {
    if (copied == nullptr) return paramErr;
    *copied = false;
    if (OSErr e = fault::check("VantrelFSCopyForkInKernel")) return e;
    if (srcRefNum == dstRefNum) return paramErr;
    ForkPtr src = fm::find_fork(srcRefNum);
    ForkPtr dst = fm::find_fork(dstRefNum);
    if (!src || !dst) return rfNumErr;
    if (!dst->resource) return noErr;  // a data fork is copied by the caller
    // Two opens of one file are two forks with two locks; taken together, in
    // an order that two opposite copies cannot deadlock on.
    std::scoped_lock lk(src->mu, dst->mu);
    if (!dst->writable) return wrPermErr;
    std::uint64_t size = 0;
    if (OSErr e = fm::copy_into_resource(*src, *dst, &size)) return e;
    src->mark = static_cast<SInt64>(size);
    dst->mark = static_cast<SInt64>(size);
    *copied = true;
    return noErr;
}

OSErr VantrelFSDiscardForkChanges(FSIORefNum forkRefNum) {
    if (OSErr e = fault::check("VantrelFSDiscardForkChanges")) return e;
    ForkPtr f = fm::find_fork(forkRefNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    if (!f->resource) return paramErr;
    if (!f->writable) return wrPermErr;
    fm::abandon_changes(*f, "FSWriteFork.undo");
    f->mark = 0;
    return noErr;
}

namespace {

OSErr legacy_transfer(FSIORefNum refNum, SInt32* count, void* read, const void* write) {
    if (count == nullptr || *count < 0) return paramErr;
    ForkPtr f = fm::find_fork(refNum);
    if (!f) return rfNumErr;
    std::lock_guard lk(f->mu);
    ByteCount actual = 0;
    const auto request = static_cast<ByteCount>(*count);
    OSErr e = read != nullptr ? fm::read_fork(*f, fsAtMark, 0, request, read, &actual)
                              : fm::write_fork(*f, fsAtMark, 0, request, write, &actual);
    *count = static_cast<SInt32>(actual);
    return e;
}

}  // namespace

OSErr FSWrite(FSIORefNum refNum, SInt32* count, const void* buffPtr) {
    if (OSErr e = fault::check("FSWrite")) return e;
    if (buffPtr == nullptr && count != nullptr && *count > 0) return paramErr;
    return legacy_transfer(refNum, count, nullptr, buffPtr == nullptr ? "" : buffPtr);
}

OSErr FSRead(FSIORefNum refNum, SInt32* count, void* buffPtr) {
    if (OSErr e = fault::check("FSRead")) return e;
    if (buffPtr == nullptr && count != nullptr && *count > 0) return paramErr;
    static char empty;
    return legacy_transfer(refNum, count, buffPtr == nullptr ? &empty : buffPtr, nullptr);
}
