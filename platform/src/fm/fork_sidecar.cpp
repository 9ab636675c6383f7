// The resource-fork sidecar: its header, opening, creating and resizing it,
// and taking it along when its file moves. See fork_sidecar.h.
#include "fm/fork_sidecar.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fm/cat_appledir.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "fullio.h"
#include "vantrel/fault.h"

namespace vantrel::fm::rsrc {
namespace {

void put32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

using io::pwrite_all;

}  // namespace

OSErr write_error(int err, int fd) {
    if (err == EPERM) {
        struct statx st;
        if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &st) == 0 &&
            (st.stx_attributes & STATX_ATTR_IMMUTABLE) != 0)
            return fLckdErr;
        return permErr;
    }
    return from_errno(err, Op::WriteFork);
}

bool is_sidecar_name(std::string_view diskName) noexcept {
    return diskName.size() >= 2 && diskName[0] == '.' && diskName[1] == '_';
}

bool is_hidden_entry(int dirFd, const char* name, unsigned char type) {
    if (appledir::is_private_folder(dirFd, name, type)) return true;
    if (!is_sidecar_name(name)) return false;
    // A change's private temporary is never an item, whatever it is: a
    // folder copy is made under such a name until it is whole.
    if (is_temporary_name(name)) return true;
    if (type == DT_DIR) return false;
    if (type != DT_UNKNOWN) return true;
    struct statx st {};
    return ::statx(dirFd, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &st) != 0 || !S_ISDIR(st.stx_mode);
}

bool sidecar_name(std::string_view diskName, std::string* out) {
    if (diskName.size() + 2 > NAME_MAX) return false;
    out->assign("._");
    out->append(diskName);
    return true;
}

bool parse(int fd, std::uint64_t fileSize, Layout* out) {
    unsigned char head[ad::kHeaderSize + ad::kMaxEntries * ad::kEntrySize];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got < 0) return false;
    return parse_bytes({head, std::size_t(got)}, fileSize, out);
}

bool parse_bytes(std::span<const unsigned char> head, std::uint64_t fileSize, Layout* out) {
    ad::Header h;
    if (ad::decode(head, fileSize, ad::kSidecar, &h) != ad::Error::None) return false;
    Layout l;
    const ad::Descriptor* fork = h.find(kResourceForkId);
    l.offset = fork->offset;
    l.length = fork->extent;
    l.lengthField = ad::kHeaderSize + std::size_t(fork - h.entries.data()) * ad::kEntrySize + 8;
    // Nothing past the fork's start: it may grow and shrink in place.
    l.last = fork->toEnd;
    const ad::Descriptor* finder = h.find(kFinderInfoId);
    l.finderOffset = finder != nullptr ? finder->offset : kFinderInfoOffset;
    l.finderLength = finder != nullptr ? finder->length : 0;
    *out = l;
    return true;
}

int open_path(int dirFd, const char* name, UniqueFd* path, struct stat* st) {
    *path = UniqueFd(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!*path) return errno;
    if (::fstat(path->get(), st) == 0) return 0;
    const int err = errno;
    *path = UniqueFd();
    return err;
}

UniqueFd open_unseen(int dirFd, const char* name, int flags) {
    UniqueFd fd(::openat(dirFd, name, flags | O_CLOEXEC | O_NOATIME));
    if (!fd && errno == EPERM) fd = UniqueFd(::openat(dirFd, name, flags | O_CLOEXEC));
    return fd;
}

UniqueFd reopen_unseen(int pathFd, int flags) {
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    return open_unseen(AT_FDCWD, self.c_str(), flags);
}

namespace {

// open(), and open_reading() where `start` is given.
OSErr open_sidecar(int dirFd, std::string_view fileName, bool writable, Sidecar* out,
                   struct stat* status, std::string* start, std::size_t want) {
    out->state = State::None;
    out->fd = UniqueFd();
    out->foreign = false;
    out->refusal = noErr;
    std::string name;
    if (!sidecar_name(fileName, &name)) return noErr;
    UniqueFd path;
    struct stat st {};
    if (const int err = open_path(dirFd, name.c_str(), &path, &st))
        return err == ENOENT ? OSErr{noErr} : from_errno(err, Op::Read);
    if (!S_ISREG(st.st_mode)) {
        out->state = State::Unusable;
        return noErr;
    }
    UniqueFd fd = reopen_unseen(path.get(), writable ? O_RDWR : O_RDONLY);
    if (!fd && writable && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // Not ours to write (its mode, its lock, a read-only mount): it is
        // still read, and a write says why it cannot be.
        const int err = errno;
        out->refusal = err == EPERM ? write_error(err, path.get()) : from_errno(err, Op::Write);
        fd = reopen_unseen(path.get(), O_RDONLY);
    }
    if (!fd) {
        const int err = errno;
        return err == EPERM ? write_error(err, path.get())
                            : from_errno(err, writable ? Op::Write : Op::Read);
    }
    Layout l;
    bool parsed = false;
    if (start != nullptr) {
        // The header is within the first bytes: one read for both.
        start->assign(
            std::max(want, std::size_t{ad::kHeaderSize + ad::kMaxEntries * ad::kEntrySize}), '\0');
        const ssize_t got = ::pread(fd.get(), start->data(), start->size(), 0);
        if (got < 0) return from_errno(errno, Op::Read);
        start->resize(std::size_t(got));
        *status = st;
        parsed = parse_bytes({reinterpret_cast<const unsigned char*>(start->data()), start->size()},
                             static_cast<std::uint64_t>(st.st_size), &l);
    } else {
        parsed = parse(fd.get(), static_cast<std::uint64_t>(st.st_size), &l);
    }
    if (!parsed) {
        out->state = State::Unusable;
        return noErr;
    }
    out->state = State::Sidecar;
    out->fd = std::move(fd);
    out->layout = l;
    return noErr;
}

}  // namespace

OSErr open(int dirFd, std::string_view fileName, bool writable, Sidecar* out) {
    return open_sidecar(dirFd, fileName, writable, out, nullptr, nullptr, 0);
}

OSErr open_reading(int dirFd, std::string_view fileName, Sidecar* out, struct stat* st,
                   std::string* start, std::size_t want) {
    return open_sidecar(dirFd, fileName, false, out, st, start, want);
}

OSErr within_bounds(const Sidecar& s, std::uint64_t forkLength) {
    const std::uint64_t offset = s.found() ? s.layout.offset : kForkOffset;
    return offset > kMaxSidecarEnd || forkLength > kMaxSidecarEnd - offset ? OSErr{fileBoundsErr}
                                                                           : OSErr{noErr};
}

OSErr length(const Sidecar& s, std::uint64_t* out) {
    // Only a fork that ends its sidecar takes its length from the file's.
    struct stat st {};
    if (s.found() && s.layout.last && ::fstat(s.fd.get(), &st) != 0)
        return from_errno(errno, Op::Read);
    *out = length_at(s, static_cast<std::uint64_t>(st.st_size));
    return noErr;
}

std::uint64_t length_at(const Sidecar& s, std::uint64_t size) {
    if (!s.found()) return 0;
    if (!s.layout.last) return s.layout.length;
    std::uint64_t length = size > s.layout.offset ? size - s.layout.offset : 0;
    if (size > kMaxSidecarEnd) length = std::min(length, s.layout.length);  // see parse()
    return length;
}

namespace {

// Our sidecar's first 0x52 bytes for a fork of `forkLength` bytes.
std::string header_bytes(std::uint64_t forkLength, const std::uint8_t* finderInfo) {
    return ad::encode_sidecar(static_cast<std::uint32_t>(forkLength), finderInfo);
}

// Gives the new sidecar `fd` its file's permission bits and, where the
// writer may give it away (root), its file's owner and group: the fork of a
// file only its owner may read must not be readable by others, and a fork
// a user's file has must stay that user's to write. Without the privilege
// the writer keeps the sidecar.
void take_files_owner(int dirFd, std::string_view fileName, int fd) {
    struct stat file {};
    if (::fstatat(dirFd, std::string(fileName).c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (file.st_uid != ::geteuid() || file.st_gid != ::getegid())
        (void)::fchown(fd, file.st_uid, file.st_gid);
    (void)::fchmod(fd, file.st_mode & 0666);
}

}  // namespace

OSErr create(int dirFd, std::string_view fileName, std::string_view fork,
             const std::uint8_t* finderInfo, const char* step, Sidecar* out) {
    std::string name;
    if (!sidecar_name(fileName, &name)) return errFSNameTooLong;
    // Made private, then given its file's owner and permissions.
    const int fd = fault::step(step, name, [&] {
        return ::openat(dirFd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                        0600);
    });
    if (fd < 0) return from_errno(errno, Op::CreateFork);  // EEXIST: errFSForkExists
    UniqueFd owned(fd);
    take_files_owner(dirFd, fileName, fd);
    std::string bytes = header_bytes(fork.size(), finderInfo);
    bytes.append(fork);
    if (fault::step(step, name, [&] { return pwrite_all(fd, bytes.data(), bytes.size(), 0); }) !=
        0) {
        const int err = errno;
        // Nothing half-made stays behind.
        fault::step(step, name, [&] { return ::unlinkat(dirFd, name.c_str(), 0); });
        return write_error(err, fd);
    }
    out->state = State::Sidecar;
    out->fd = std::move(owned);
    out->layout = Layout{};
    out->layout.lengthField = 34;
    out->layout.length = fork.size();
    return noErr;
}

namespace {

OSErr write_length_field(Sidecar& s, std::uint64_t size, const char* step) {
    unsigned char field[4];
    // The field is 32 bits: longer forks are refused before they get here
    // (within_bounds); the clamp only keeps a bad caller from wrapping it.
    put32(field, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size));
    if (fault::step(step, {}, [&] {
            return pwrite_all(s.fd.get(), field, sizeof field, s.layout.lengthField);
        }) != 0)
        return write_error(errno, s.fd.get());
    s.layout.length = size;
    return noErr;
}

}  // namespace

OSErr set_length(Sidecar& s, std::uint64_t size, const char* step, const char* undoStep) {
    if (!s.layout.last) return ioErr;  // another entry follows the fork: not ours to move
    std::uint64_t old = 0;
    if (OSErr e = length(s, &old)) return e;
    if (size == old) return noErr;
    const int fd = s.fd.get();
    struct stat before {};
    if (::fstat(fd, &before) != 0) return from_errno(errno, Op::Read);
    auto cut = [&](std::uint64_t to, const char* st) {
        return fault::step(st, {}, [&] { return ::ftruncate(fd, off_t(s.layout.offset + to)); });
    };
    auto timesBack = [&] {
        const struct timespec t[2] = {before.st_atim, before.st_mtim};
        fault::step(undoStep, {}, [&] { return ::futimens(fd, t); });
    };
    // The header first, then the file: readers take the length from the
    // file, so a failure between the two (or in the undo) shows the fork as
    // it was; the undo puts the header back.
    if (OSErr e = write_length_field(s, size, step)) return e;
    if (cut(size, step) != 0) {
        const int err = errno;
        (void)write_length_field(s, old, undoStep);
        timesBack();
        return write_error(err, fd);
    }
    return noErr;
}

OSErr note_length(Sidecar& s, std::uint64_t size, const char* step) {
    return write_length_field(s, size, step);
}

namespace {

// The whole value of the attribute `attr` of the open file `fileFd`.
OSErr read_whole_attr(int fileFd, const char* attr, std::string* out, bool* present) {
    *present = false;
    out->clear();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t n = ::fgetxattr(fileFd, attr, nullptr, 0);
        if (n < 0) {
            if (errno == ENODATA || errno == ENOTSUP) return noErr;
            return from_errno(errno, Op::Read);
        }
        out->resize(static_cast<std::size_t>(n));
        const ssize_t got = ::fgetxattr(fileFd, attr, out->data(), out->size());
        if (got >= 0) {
            out->resize(static_cast<std::size_t>(got));
            *present = true;
            return noErr;
        }
        if (errno == ENODATA) {
            out->clear();
            return noErr;
        }
        if (errno != ERANGE) return from_errno(errno, Op::Read);
        // It grew between the two calls: ask again.
    }
    return ioErr;
}

// Removes the attribute read_legacy() took the fork from: the old one,
// else (only then) Samba's stream. 0 also when neither is there.
int remove_fork_attr(int fileFd, const std::string& name, const char* step) {
    for (const char* attr : {meta::kResourceForkAttr, ad::kAfpResourceAttr}) {
        if (fault::step(step, name, [&] { return ::fremovexattr(fileFd, attr); }) == 0) return 0;
        if (errno != ENODATA) return -1;
    }
    return 0;
}

}  // namespace

OSErr read_legacy(int fileFd, std::string* out, bool* present) {
    if (OSErr e = read_whole_attr(fileFd, meta::kResourceForkAttr, out, present)) return e;
    if (*present) return noErr;
    // Samba's AFP_Resource stream (fruit:resource = stream) is read the same
    // way, with no setting: a fork whole in an attribute of its file.
    if (OSErr e = read_whole_attr(fileFd, ad::kAfpResourceAttr, out, present)) return e;
    if (*present && !out->empty()) out->pop_back();  // streams_xattr's NUL
    return noErr;
}

Sizes sizes_of(const Node& n, Known known) {
    Sizes s;
    if (!S_ISREG(n.st.stx_mode)) return s;
    Sidecar side;
    const OSErr e = known.noSidecar ? OSErr{noErr} : open(n.at(), n.name, false, &side);
    if (e == noErr && side.found()) {
        s.present = length(side, &s.logical) == noErr;
    } else if (e != noErr && entry_at(n.at(), n.name) == Entry::File) {
        // A sidecar the caller may not read: its header cannot be checked,
        // so the fork is taken to lie where ours and Samba's do, to the end
        // of the file, as its length (which needs no read right) says.
        std::string name;
        struct statx st {};
        if (sidecar_name(n.name, &name) &&
            ::statx(n.at(), name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_SIZE, &st) == 0) {
            s.present = true;
            s.logical = st.stx_size > kForkOffset ? st.stx_size - kForkOffset : 0;
        }
    } else {
        if (!known.noLegacy) {
            // Relative to the parent's descriptor: the /proc path form walks a
            // path per item, which doubled the system time of a long listing.
            ssize_t len = meta::get_attr(n, meta::kResourceForkAttr, nullptr, 0);
            if (len < 0) {
                // Samba's AFP_Resource stream: the fork and streams_xattr's NUL.
                len = meta::get_attr(n, ad::kAfpResourceAttr, nullptr, 0);
                if (len > 0) --len;
            }
            s.present = len >= 0;
            s.logical = len > 0 ? std::uint64_t(len) : 0;
        }
        // Last, the fork Netatalk 2 kept in ".AppleDouble".
        Sidecar old;
        if (!s.present && !known.noAppleDouble && appledir::fork_source(n, &old)) {
            s.present = true;
            s.logical = old.layout.length;
        }
    }
    const std::uint64_t block = n.st.stx_blksize ? n.st.stx_blksize : 4096;
    s.physical = (s.logical + block - 1) / block * block;
    return s;
}

bool finder_info_of(const Node& n, std::uint8_t out[kFinderInfoSize]) {
    std::memset(out, 0, kFinderInfoSize);
    meta::Record r;
    if (meta::read(n, &r, nullptr) != meta::ReadResult::Ok) return false;
    const meta::Entry* fi = r.find(meta::kFinderInfoId);
    if (fi == nullptr) return false;
    // Finder information: bytes, not a C string.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(out, fi->data.data(), std::min(fi->data.size(), kFinderInfoSize));
    return true;
}

Entry entry_at(int dirFd, std::string_view fileName) {
    std::string name;
    if (!sidecar_name(fileName, &name)) return Entry::None;
    struct statx st {};
    if (::statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &st) != 0) return Entry::None;
    return S_ISREG(st.stx_mode) ? Entry::File : Entry::Other;
}

namespace {

// The mark a sidecar carries while its file is being renamed within its
// folder: "INODE/NEWNAME", the file's inode and the name it is taking. A
// crash between the file's rename and the sidecar's leaves the sidecar under
// the old name with this mark, so the next change that meets it knows whose
// fork it is (see settle_interrupted_rename).
constexpr const char* kMovingAttr = "user.org.vantrel.moving";

void set_moving_mark(int dirFd, const std::string& side, std::uint64_t ino, std::string_view toName,
                     const char* step) {
    UniqueFd fd(::openat(dirFd, side.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return;
    const std::string mark = std::to_string(ino) + "/" + std::string(toName);
    fault::Benign benign;  // without it a crash leaves what it always left
    fault::step(step, side,
                [&] { return ::fsetxattr(fd.get(), kMovingAttr, mark.data(), mark.size(), 0); });
}

void drop_moving_mark(int dirFd, const std::string& side, const char* step) {
    UniqueFd fd(::openat(dirFd, side.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return;
    fault::Benign benign;  // a mark left names a file that has its fork: harmless
    fault::step(step, side, [&] {
        const int rc = ::fremovexattr(fd.get(), kMovingAttr);
        return rc != 0 && errno == ENODATA ? 0 : rc;
    });
}

bool has_moving_mark(int dirFd, const std::string& side) {
    UniqueFd fd(::openat(dirFd, side.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd && ::fgetxattr(fd.get(), kMovingAttr, nullptr, 0) > 0;
}

// The sidecar `side` of `fileName` in `dirFd`, whose file is gone, carries
// the mark of a rename a crash interrupted: when the renamed file stands
// under its new name, the sidecar follows it there (rolled forward); when
// `fileName` itself holds that file again, the sidecar is its fork. True
// when the sidecar is no orphan and stays.
bool settle_interrupted_rename(int dirFd, const std::string& side, std::string_view fileName,
                               const char* step) {
    UniqueFd fd(::openat(dirFd, side.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return false;
    char buf[300];
    const ssize_t n = ::fgetxattr(fd.get(), kMovingAttr, buf, sizeof buf);
    if (n <= 0) return false;
    const std::string mark(buf, std::size_t(n));
    const auto slash = mark.find('/');
    if (slash == std::string::npos) return false;
    const std::uint64_t ino = std::strtoull(mark.c_str(), nullptr, 10);
    const std::string to = mark.substr(slash + 1);
    struct stat st {};
    const std::string here(fileName);
    if (::fstatat(dirFd, here.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_ino == ino) {
        drop_moving_mark(dirFd, side, step);  // renamed back: its own fork
        return true;
    }
    std::string toSide;
    if (to.empty() || to.find('/') != std::string::npos || !sidecar_name(to, &toSide) ||
        ::fstatat(dirFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != ino)
        return false;
    if (fault::step(step, toSide, [&] {
            return ::renameat2(dirFd, side.c_str(), dirFd, toSide.c_str(), RENAME_NOREPLACE);
        }) != 0)
        return false;
    drop_moving_mark(dirFd, toSide, step);
    return true;
}

}  // namespace

OSErr prepare(int fromDir, std::string_view fromName, int toDir, std::string_view toName,
              Carry* out) {
    *out = Carry{};
    out->fromDir = fromDir;
    out->toDir = toDir;
    const bool fromFits = sidecar_name(fromName, &out->from);
    const bool toFits = sidecar_name(toName, &out->to);
    // Only a sidecar goes along: a user's own "._" file beside the object stays.
    out->moves = fromFits && is_sidecar_of(fromDir, fromName);
    out->sameFolder = fromDir == toDir;
    if (!out->sameFolder) {
        struct stat a {
        }, b{};
        out->sameFolder = ::fstat(fromDir, &a) == 0 && ::fstat(toDir, &b) == 0 &&
                          a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }
    if (out->moves && !toFits) return errFSNameTooLong;  // the fork could not follow
    if (out->moves && !(fromDir == toDir && out->from == out->to))
        return place_taken(toDir, toName);
    return noErr;
}

void mark_carry(const Carry& c, std::uint64_t ino, const char* step) {
    if (!c.moves || (c.sameFolder && c.from == c.to)) return;
    // Between folders the mark names no new name: it says only whose fork
    // the sidecar is, should its file come back (the journal finishes).
    set_moving_mark(c.fromDir, c.from, ino,
                    c.sameFolder ? std::string_view(c.to).substr(2) : std::string_view(), step);
}

void unmark_carry(const Carry& c, const char* step) {
    if (!c.moves || (c.sameFolder && c.from == c.to)) return;
    drop_moving_mark(c.fromDir, c.from, step);
}

OSErr carry(const Carry& c, const char* step) {
    if (c.to.empty() || (c.fromDir == c.toDir && c.from == c.to)) return noErr;
    if (c.moves) {
        // Over an orphan at the new name, if there is one: it goes. What
        // stands there may be the fork of a change a kill cut short (a
        // file moved away, its sidecar not yet): settled first (the caller
        // holds the folder's lock), so that only an orphan is replaced.
        if (entry_at(c.toDir, std::string_view(c.to).substr(2)) != Entry::None) {
            (void)settle_interrupted_rename(c.toDir, c.to, std::string_view(c.to).substr(2), step);
            commit::recover_folder(c.toDir);
        }
        if (fault::step(step, c.to, [&] {
                return ::renameat(c.fromDir, c.from.c_str(), c.toDir, c.to.c_str());
            }) != 0)
            return from_errno(errno, Op::Rename);
        drop_moving_mark(c.toDir, c.to, step);
        return noErr;
    }
    if (entry_at(c.toDir, std::string_view(c.to).substr(2)) == Entry::None) return noErr;
    return clear_orphan(c.toDir, std::string_view(c.to).substr(2), step, true);
}

void uncarry(const Carry& c, const char* step) {
    if (!c.moves || c.to.empty() || (c.fromDir == c.toDir && c.from == c.to)) return;
    fault::step(step, c.from, [&] {
        return ::renameat2(c.toDir, c.to.c_str(), c.fromDir, c.from.c_str(), RENAME_NOREPLACE);
    });
}

std::uint64_t ino_at(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

void finish_carry(int fromDir, std::string_view fromName, int toDir, std::string_view toName,
                  std::uint64_t fileIno, std::uint64_t sideIno, const char* step) {
    std::string fromSide, toSide;
    if (!sidecar_name(fromName, &fromSide) || !sidecar_name(toName, &toSide)) return;
    const std::string from(fromName), to(toName);
    const bool atOld = ino_at(fromDir, from) == fileIno;
    if (!atOld && ino_at(toDir, to) == fileIno && ino_at(fromDir, fromSide) == sideIno) {
        // Over an orphan at the new name, as the carry itself goes.
        if (fault::step(step, toSide, [&] {
                return ::renameat(fromDir, fromSide.c_str(), toDir, toSide.c_str());
            }) != 0)
            return;
    }
    if (ino_at(toDir, toSide) == sideIno) drop_moving_mark(toDir, toSide, step);
    if (atOld && ino_at(fromDir, fromSide) == sideIno) drop_moving_mark(fromDir, fromSide, step);
}

namespace {

constexpr std::string_view kNamingJournal = "sidecar naming";

// The payload: the file's inode, the sidecar's (eight bytes each, little-
// endian), then the temporary's name, a newline and the file's name.
bool recover_naming(int dirFd, std::string_view payload) {
    if (payload.size() < 16) return true;
    std::uint64_t ino[2] = {0, 0};
    for (std::size_t k = 0; k < 2; ++k)
        for (std::size_t i = 8; i-- > 0;)
            ino[k] = ino[k] << 8 | static_cast<unsigned char>(payload[8 * k + i]);
    const std::string_view rest = payload.substr(16);
    const std::size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) return true;
    const std::string temp(rest.substr(0, nl)), file(rest.substr(nl + 1));
    std::string side;
    if (!is_temporary_name(temp) || !sidecar_name(file, &side)) return true;
    commit::FolderLock lock;
    if (lock.take(dirFd) != noErr) return true;
    // The file has its name: its sidecar follows. Else the copy never
    // showed, and the sidecar goes with the other litter.
    if (ino_at(dirFd, file) != ino[0] || ino_at(dirFd, temp) != ino[1]) return true;
    (void)fault::step("PBHCopyFileSync.sidecar", side, [&] {
        return ::renameat2(dirFd, temp.c_str(), dirFd, side.c_str(), RENAME_NOREPLACE);
    });
    return true;
}

[[maybe_unused]] const bool kNamingRecovery = [] {
    commit::register_recovery(kNamingJournal, recover_naming);
    return true;
}();

}  // namespace

OSErr begin_naming(int dirFd, std::string_view fileName, const std::string& temp,
                   std::uint64_t fileIno, Naming* out) {
    out->dir = dirFd;
    out->temp = temp;
    if (!sidecar_name(fileName, &out->name)) return errFSNameTooLong;
    std::string payload;
    for (const std::uint64_t v : {fileIno, ino_at(dirFd, temp)})
        for (int i = 0; i < 8; ++i) payload.push_back(static_cast<char>(v >> (8 * i)));
    payload.append(temp).append("\n").append(fileName);
    return out->journal.begin(dirFd, kNamingJournal, payload);
}

int name_sidecar(Naming& n, const char* step) {
    const int rc = fault::step(step, n.name, [&] {
        return ::renameat2(n.dir, n.temp.c_str(), n.dir, n.name.c_str(), RENAME_NOREPLACE);
    });
    if (rc == 0) n.journal.end();
    return rc;
}

OSErr place_taken(int dirFd, std::string_view fileName) {
    if (entry_at(dirFd, fileName) == Entry::None || is_sidecar_of(dirFd, fileName)) return noErr;
    return afpObjectTypeErr;
}

bool is_sidecar_of(int dirFd, std::string_view fileName) {
    Sidecar s;
    if (open(dirFd, fileName, false, &s) == noErr) return s.found();
    // A file the caller may not read cannot be told from a user's own by
    // its header: it is what its name says (as Samba, FSOpenFork and the
    // sizes take it), so that it goes with its file and never stays behind
    // to become the fork of another file made under the name.
    return entry_at(dirFd, fileName) == Entry::File;
}

OSErr may_remove(int dirFd, std::string_view fileName) {
    std::string name;
    if (!sidecar_name(fileName, &name)) return noErr;
    struct stat dir {
    }, side{};
    if (::fstat(dirFd, &dir) != 0 ||
        ::fstatat(dirFd, name.c_str(), &side, AT_SYMLINK_NOFOLLOW) != 0)
        return noErr;
    const uid_t me = ::geteuid();
    if ((dir.st_mode & S_ISVTX) != 0 && me != 0 && side.st_uid != me && dir.st_uid != me)
        return permErr;
    return noErr;
}

OSErr clear_orphan(int dirFd, std::string_view fileName, const char* step, bool nameIsOurs) {
    std::string name;
    if (!sidecar_name(fileName, &name)) return noErr;
    if (entry_at(dirFd, fileName) == Entry::None) return noErr;
    // A sidecar made by a change still running (a copy that names it just
    // before its file) is no orphan: wait for that change, then look again.
    // Its file may have the name by now, and the sidecar is then its fork.
    commit::FolderLock lock;
    if (OSErr e = lock.take(dirFd)) return e;
    struct stat held {};
    const std::string file(fileName);
    if (!nameIsOurs && ::fstatat(dirFd, file.c_str(), &held, AT_SYMLINK_NOFOLLOW) == 0)
        return noErr;
    // Left by a rename a crash cut in two: it follows its file, or is the
    // fork of the file that took the name back.
    if (settle_interrupted_rename(dirFd, name, fileName, step)) return noErr;
    // A journal of a change a kill cut short may say whose fork it is (a
    // move to another folder): finished first, then looked at again.
    commit::recover_folder(dirFd);
    if (entry_at(dirFd, fileName) == Entry::None) return noErr;
    // Still marked as moving with a journal still there: a move whose
    // destination folder its recovery could not find yet. The fork is that
    // file's; it must not go, and no new file may take it for its own.
    if (has_moving_mark(dirFd, name) && commit::journal_left(dirFd)) return fBsyErr;
    // Only a real sidecar goes: a user's own file, link or FIFO that merely
    // has such a name is never read as a fork, so it may stay, and must.
    if (!is_sidecar_of(dirFd, fileName)) return noErr;
    if (fault::step(step, name, [&] {
            const int rc = ::unlinkat(dirFd, name.c_str(), 0);
            // A directory under that name is not a sidecar and never read as one.
            return rc != 0 && (errno == ENOENT || errno == EISDIR) ? 0 : rc;
        }) != 0)
        return from_errno(errno, Op::Delete);
    return noErr;
}

// ---------------------------------------------------------------- shadows

namespace {

std::atomic<std::uint64_t> g_commitCount{0};

// A fresh private name for a temporary in a folder (obj_commit.h).
std::string temporary_name() {
    return commit::private_name();
}

// Copies `size` bytes of `in` from `from` to `out` at `to`, in the kernel
// where it can (a reflink where the file system shares blocks). The number
// of bytes copied (fewer when `in` ends sooner), or -1 with errno set.
ssize_t copy_range(int in, std::uint64_t from, int out, std::uint64_t to, std::uint64_t size) {
    auto inAt = std::int64_t(from), outAt = std::int64_t(to);
    return ssize_t(io::copy(in, &inAt, out, &outAt, size));
}

constexpr std::uint64_t kDirectAlign = 4096;
constexpr std::size_t kDirectBlock = std::size_t{4} << 20;

struct Free {
    void operator()(char* p) const { std::free(p); }
};

// The file open as `fd` opened again, with `flags`: the same inode.
UniqueFd reopen(int fd, int flags) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return UniqueFd(::open(self.c_str(), flags | O_CLOEXEC));
}

// copy_range() with direct I/O, as dd's iflag=direct oflag=direct copies:
// no page cache and no copy through the processor. It applies where `from`
// and `to` lie equally far past a block boundary (a sidecar's fork and
// another sidecar's, both at 0x52): whole blocks are then copied from the
// boundary before `from` to the one before `to`, with the bytes `out` holds
// there (its header) put back into the first. Past the end, what a last
// block carries is cut off. 0 when direct I/O cannot be used here, before
// anything was written (the caller copies another way); 1 when copied
// (`*copied` bytes); -1 with errno set.
int copy_direct(int in, std::uint64_t from, int out, std::uint64_t to, std::uint64_t size,
                std::uint64_t* copied) {
    *copied = 0;
    const std::uint64_t lead = from % kDirectAlign;
    if (to % kDirectAlign != lead || size < kDirectBlock) return 0;  // small: not worth it
    UniqueFd din = reopen(in, O_RDONLY | O_DIRECT), dout = reopen(out, O_WRONLY | O_DIRECT);
    if (!din || !dout) return 0;
    void* raw = nullptr;
    if (::posix_memalign(&raw, kDirectAlign, kDirectBlock) != 0) return 0;
    const std::unique_ptr<char, Free> buf(static_cast<char*>(raw));
    char head[kDirectAlign];
    if (lead > 0 && ::pread(out, head, lead, off_t(to - lead)) != ssize_t(lead)) {
        if (errno == 0) errno = EIO;
        return -1;
    }
    const std::uint64_t end = from + size;
    std::uint64_t inAt = from - lead, outAt = to - lead;
    while (inAt < end) {
        const std::uint64_t left = (end - inAt + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
        const auto want = std::size_t(std::min<std::uint64_t>(kDirectBlock, left));
        const ssize_t n = ::pread(din.get(), buf.get(), want, off_t(inAt));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EINVAL && *copied == 0 && inAt == from - lead ? 0 : -1;
        if (n == 0 || (inAt == from - lead && std::size_t(n) < lead)) break;  // it shrank meanwhile
        if (inAt == from - lead) std::memcpy(buf.get(), head, lead);
        // A short read is the end of the file; the block it leaves part empty is cut below.
        const std::size_t write = (std::size_t(n) + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
        for (std::size_t done = 0; done < write;) {
            const ssize_t w =
                ::pwrite(dout.get(), buf.get() + done, write - done, off_t(outAt + done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EINVAL && inAt == from - lead) return 0;
            if (w <= 0 || std::size_t(w) % kDirectAlign != 0) {
                if (w >= 0) errno = ENOSPC;  // a short direct write: the disk is full
                return -1;
            }
            done += std::size_t(w);
        }
        inAt += std::uint64_t(n);
        outAt += std::uint64_t(n);
        if (std::size_t(n) < want) break;
    }
    *copied = std::min(inAt, end) > from ? std::min(inAt, end) - from : 0;
    return ::ftruncate(out, off_t(to + *copied)) == 0 ? 1 : -1;
}

}  // namespace

bool is_temporary_name(std::string_view diskName) noexcept {
    return diskName.starts_with(kTemporaryPrefix);
}

std::uint64_t commits() noexcept {
    return g_commitCount.load(std::memory_order_acquire);
}

OSErr make_shadow(int dirFd, std::string_view fileName, const Sidecar& current,
                  std::string_view legacyFork, const std::uint8_t* finderInfo, const char* step,
                  Shadow* out, std::uint64_t forkBytes) {
    *out = Shadow{};
    std::uint64_t forkLength = legacyFork.size();
    if (current.found())
        if (OSErr e = length(current, &forkLength)) return e;
    std::string name;
    if (!sidecar_name(fileName, &name)) return errFSNameTooLong;
    // Tests take the path of file systems without O_TMPFILE through an override.
    const bool unnamed = !fault::override_value("FSWriteFork.withoutTmpfile");
    int fd = fault::step(step, name, [&] {
        if (!unnamed) {
            errno = EOPNOTSUPP;
            return -1;
        }
        return ::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    });
    if (fd < 0) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return from_errno(errno, Op::CreateFork);
        // No unnamed files here: a named one no item can be taken for.
        out->dir = UniqueFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
        if (!out->dir) return from_errno(errno, Op::CreateFork);
        const std::string temp = temporary_name();
        fd = fault::step(step, temp, [&] {
            return ::openat(dirFd, temp.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                            0600);
        });
        if (fd < 0) return from_errno(errno, Op::CreateFork);
        out->tempName = temp;
    }
    // Ours while we live, named or not: no one takes it for a leftover.
    commit::hold_temporary(fd);
    out->side.fd = UniqueFd(fd);
    take_files_owner(dirFd, fileName, fd);
    int rc = 0;
    if (current.found()) {
        // Only the part of the fork that is to stay (all of it where another
        // entry follows the fork: that sidecar is never changed).
        const bool cut = current.layout.last && forkBytes < forkLength;
        struct stat st {};
        rc = ::fstat(current.fd.get(), &st);
        const std::uint64_t keep =
            cut ? current.layout.offset + forkBytes : std::uint64_t(st.st_size);
        if (rc == 0)
            rc = fault::step(step, name, [&] {
                return copy_range(current.fd.get(), 0, fd, 0, keep) < 0 ? -1 : 0;
            });
        out->side.layout = current.layout;
        // The header still gives the whole fork's length.
        if (rc == 0 && cut && note_length(out->side, forkBytes, step) != noErr) rc = -1;
    } else {
        const std::string_view kept = legacyFork.substr(0, std::min(forkBytes, forkLength));
        std::string bytes = header_bytes(kept.size(), finderInfo);
        bytes.append(kept);
        rc = fault::step(step, name, [&] { return pwrite_all(fd, bytes.data(), bytes.size(), 0); });
        out->side.layout = Layout{};
        out->side.layout.lengthField = 34;
        out->side.layout.length = kept.size();
    }
    if (rc != 0) {
        const OSErr e = write_error(errno, fd);
        discard(*out, step);
        return e;
    }
    out->side.state = State::Sidecar;
    return noErr;
}

OSErr fill(Shadow& s, int in, std::uint64_t from, std::uint64_t size, const char* step,
           std::uint64_t* copied) {
    *copied = 0;
    const int out = s.side.fd.get();
    const std::uint64_t base = s.side.layout.offset;
    struct stat inSt {};
    if (::fstat(in, &inSt) != 0) return from_errno(errno, Op::Read);
    // A fork with holes (Netatalk 2's entry of a sparse image) keeps them:
    // only its data is copied, and the shadow, empty past its header, is
    // given the fork's length. Direct I/O would read the holes as zeros.
    const bool sparse = std::uint64_t(inSt.st_blocks) * 512 < std::uint64_t(inSt.st_size);
    // In pieces, so that what is copied reaches the disk while the next piece
    // is read, and neither file's pages stay cached: the copy of a large fork
    // does not push everything else out of the page cache.
    constexpr std::uint64_t kPiece = std::uint64_t{8} << 20;
    // First as dd copies with direct I/O, where the two forks lie alike.
    if (!sparse) {
        const int direct =
            fault::step(step, {}, [&] { return copy_direct(in, from, out, base, size, copied); });
        if (direct < 0) return write_error(errno, out);
        if (direct > 0) return note_length(s.side, *copied, step);
    }
    std::uint64_t settled = 0;  // the shadow's fork bytes already on disk and dropped
    std::uint64_t reached = 0;  // the end of the last bytes copied, in the fork
    bool ended = false;         // the source ended sooner
    int failed = 0;
    auto run = [&](std::uint64_t at, std::uint64_t len) {
        for (std::uint64_t done = 0; done < len;) {
            const std::uint64_t want = std::min(kPiece, len - done);
            const std::uint64_t to = at - from + done;
            const ssize_t n = fault::step(
                step, {}, [&] { return copy_range(in, at + done, out, base + to, want); });
            if (n < 0) {
                failed = errno;
                return 1;
            }
            ::posix_fadvise(in, off_t(at + done), off_t(n), POSIX_FADV_DONTNEED);
            ::sync_file_range(out, off_t(base + to), off_t(n), SYNC_FILE_RANGE_WRITE);
            done += std::uint64_t(n);
            reached = to + std::uint64_t(n);
            if (std::uint64_t(n) < want) {
                ended = true;
                return 1;
            }
            // One piece stays in flight; the one before it is waited for and dropped.
            if (reached > settled + kPiece) {
                const std::uint64_t upTo = reached - kPiece;
                ::sync_file_range(out, off_t(base + settled), off_t(upTo - settled),
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                      SYNC_FILE_RANGE_WAIT_AFTER);
                ::posix_fadvise(out, off_t(base + settled), off_t(upTo - settled),
                                POSIX_FADV_DONTNEED);
                settled = upTo;
            }
        }
        return 0;
    };
    const int rc = sparse ? io::each_data_run(in, from, size, run) : run(from, size);
    if (failed != 0) return write_error(failed, out);
    if (rc < 0) return from_errno(errno, Op::Read);
    if (reached > settled) {
        ::sync_file_range(
            out, off_t(base + settled), off_t(reached - settled),
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(out, off_t(base + settled), off_t(reached - settled), POSIX_FADV_DONTNEED);
    }
    *copied = reached;
    if (sparse && !ended) {
        // Holes at the fork's end: as far as the source still reaches.
        if (::fstat(in, &inSt) != 0) return from_errno(errno, Op::Read);
        const auto have = std::uint64_t(inSt.st_size);
        *copied = std::max(reached, have > from ? std::min(size, have - from) : 0);
        if (*copied > reached &&
            fault::step(step, {}, [&] { return ::ftruncate(out, off_t(base + *copied)); }) != 0)
            return write_error(errno, out);
    }
    return note_length(s.side, *copied, step);
}

OSErr fill(Shadow& s, std::string_view bytes, const char* step) {
    const int out = s.side.fd.get();
    if (fault::step(step, {}, [&] {
            return pwrite_all(out, bytes.data(), bytes.size(), s.side.layout.offset);
        }) != 0)
        return write_error(errno, out);
    return note_length(s.side, bytes.size(), step);
}

OSErr commit_to_stream(int dirFd, std::string_view fileName, int fileFd, Shadow& s,
                       const char* step, Sidecar* committed) {
    std::string name;
    const bool hasName = sidecar_name(fileName, &name);
    Sidecar there;
    if (OSErr e = open(dirFd, fileName, false, &there)) return e;
    if (there.state == State::Unusable) return afpObjectTypeErr;
    std::uint64_t size = 0;
    if (OSErr e = length(s.side, &size)) return e;
    // The largest value Linux lets an attribute have (XATTR_SIZE_MAX), with the NUL.
    constexpr std::uint64_t kMaxStream = 65536 - 1;
    if (size > kMaxStream) return fileBoundsErr;
    if (size == 0) {
        if (fault::step(step, name, [&] {
                const int rc = ::fremovexattr(fileFd, ad::kAfpResourceAttr);
                return rc != 0 && errno == ENODATA ? 0 : rc;
            }) != 0)
            return write_error(errno, fileFd);
    } else {
        std::string value(std::size_t(size) + 1, '\0');
        const ssize_t got =
            ::pread(s.side.fd.get(), value.data(), std::size_t(size), off_t(s.side.layout.offset));
        if (got < 0) return from_errno(errno, Op::Read);
        if (std::uint64_t(got) != size) return ioErr;
        if (fault::step(step, name, [&] {
                return ::fsetxattr(fileFd, ad::kAfpResourceAttr, value.data(), value.size(), 0);
            }) != 0) {
            if (errno == E2BIG || errno == ERANGE) return fileBoundsErr;
            return write_error(errno, fileFd);
        }
    }
    // The stream holds the fork now; the sidecar, which readers take first,
    // goes.
    if (hasName && there.found() &&
        fault::step(step, name, [&] { return ::unlinkat(dirFd, name.c_str(), 0); }) != 0 &&
        errno != ENOENT)
        return from_errno(errno, Op::Delete);
    {
        fault::Benign benign;  // the stream is read after it only where it is gone
        fault::step(step, name, [&] {
            const int rc = ::fremovexattr(fileFd, meta::kResourceForkAttr);
            return rc != 0 && errno == ENODATA ? 0 : rc;
        });
    }
    *committed = Sidecar{};
    discard(s, step);
    g_commitCount.fetch_add(1, std::memory_order_acq_rel);
    return noErr;
}

void discard(Shadow& s, const char* step) {
    if (!s.tempName.empty()) {
        fault::Benign benign;  // a temporary left behind goes with its folder
        fault::step(step, s.tempName,
                    [&] { return ::unlinkat(s.dir.get(), s.tempName.c_str(), 0); });
    }
    s = Shadow{};
}

namespace {

// Gives the shadow a name in `dirFd` for the rename that puts it in place
// (*fromDir is then `dirFd`), unless it has one already because the file
// system makes no unnamed files (*fromDir is then the shadow's directory).
// -1 with errno when it cannot be named.
int name_shadow(int dirFd, const Shadow& s, const char* step, std::string* temp, int* fromDir) {
    *fromDir = dirFd;
    *temp = s.tempName;
    if (!temp->empty()) {
        *fromDir = s.dir.get();
        return 0;
    }
    *temp = temporary_name();
    const std::string self = "/proc/self/fd/" + std::to_string(s.side.fd.get());
    return fault::step(step, *temp, [&] {
        return ::linkat(AT_FDCWD, self.c_str(), dirFd, temp->c_str(), AT_SYMLINK_FOLLOW);
    });
}

}  // namespace

OSErr commit(int dirFd, std::string_view fileName, int fileFd, Shadow& s, bool durable,
             const char* step, Sidecar* committed) {
    std::string name;
    if (!sidecar_name(fileName, &name)) return errFSNameTooLong;
    // Never over something that is not a sidecar (a user's own file, a
    // folder): it stays, and the fork cannot be written here.
    Sidecar there;
    if (OSErr e = open(dirFd, fileName, false, &there)) return e;
    if (there.state == State::Unusable) return afpObjectTypeErr;
    std::uint64_t size = 0;
    if (OSErr e = length(s.side, &size)) return e;
    const int fd = s.side.fd.get();
    bool legacyThere = false;
    {
        std::string ignored;
        if (OSErr e = read_legacy(fileFd, &ignored, &legacyThere)) return e;
    }
    auto syncDir = [&] {
        if (!durable) return true;
        // Walks hold directories as O_PATH descriptors, which fsync refuses.
        return fault::step(step, name, [&] {
                   UniqueFd d(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                   return d ? ::fsync(d.get()) : -1;
               }) == 0;
    };
    if (size == 0 && s.side.layout.offset == kForkOffset) {
        // No resource fork, no sidecar. The old attribute first: while the
        // sidecar stands, it is the fork, so a failure between the two
        // changes nothing anyone sees.
        if (legacyThere && remove_fork_attr(fileFd, name, step) != 0)
            return write_error(errno, fileFd);
        if (there.found()) {
            // Out of the way under a temporary name first, so that it can
            // come back until the folder is durable.
            const std::string temp = temporary_name();
            commit::hold_temporary(there.fd.get());
            if (fault::step(step, name, [&] {
                    return ::renameat2(dirFd, name.c_str(), dirFd, temp.c_str(), RENAME_NOREPLACE);
                }) != 0)
                return from_errno(errno, Op::Delete);
            if (!syncDir()) {
                const int err = errno;
                fault::step(step, name, [&] {
                    return ::renameat2(dirFd, temp.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
                });
                return from_errno(err, Op::Write);
            }
            fault::Benign benign;  // a temporary left behind goes with its folder as an orphan
            fault::step(step, temp, [&] { return ::unlinkat(dirFd, temp.c_str(), 0); });
        }
        *committed = Sidecar{};
        discard(s, step);
        g_commitCount.fetch_add(1, std::memory_order_acq_rel);
        return noErr;
    }
    // The file's owner and permissions as they are now: they may have
    // changed since the shadow was made.
    take_files_owner(dirFd, fileName, fd);
    if (fault::step(step, name, [&] { return ::fdatasync(fd); }) != 0)
        return write_error(errno, fd);
    int fromDir = dirFd;
    std::string temp;
    if (name_shadow(dirFd, s, step, &temp, &fromDir) != 0) return from_errno(errno, Op::CreateFork);
    const bool linked = s.tempName.empty();  // named here, by this commit
    auto dropTemp = [&] {
        fault::Benign benign;  // a temporary left behind goes with its folder as an orphan
        fault::step(step, temp, [&] { return ::unlinkat(fromDir, temp.c_str(), 0); });
    };
    // Traded with the old sidecar where one stands (so that it can be
    // traded back until the folder is durable), else put in its place.
    bool exchanged = false;
    int rc = -1;
    if (there.found()) {
        rc = fault::step(step, name, [&] {
            return ::renameat2(fromDir, temp.c_str(), dirFd, name.c_str(), RENAME_EXCHANGE);
        });
        exchanged = rc == 0;
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            rc = fault::step(step, name, [&] {  // no exchange here: replaced in one step
                return ::renameat(fromDir, temp.c_str(), dirFd, name.c_str());
            });
    } else {
        rc = fault::step(step, name, [&] {
            return ::renameat2(fromDir, temp.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
        });
    }
    if (rc != 0) {
        const int err = errno;
        if (linked) dropTemp();
        return err == EEXIST ? OSErr{ioErr} : from_errno(err, Op::Rename);
    }
    if (!syncDir()) {
        // Not durable: the old fork goes back, so that the call changed
        // nothing. (Should that fail as well, the old sidecar stays under
        // the temporary's name, hidden, and goes with its folder.)
        const int err = errno;
        if (exchanged) {
            if (fault::step(step, name,
                            [&] {
                                return ::renameat2(fromDir, temp.c_str(), dirFd, name.c_str(),
                                                   RENAME_EXCHANGE);
                            }) == 0 &&
                linked)
                dropTemp();
        } else if (!there.found() &&
                   fault::step(step, name,
                               [&] {
                                   return ::renameat2(dirFd, name.c_str(), fromDir, temp.c_str(),
                                                      RENAME_NOREPLACE);
                               }) == 0 &&
                   linked) {
            dropTemp();
        }
        return from_errno(err, Op::Write);
    }
    if (exchanged) dropTemp();  // the old sidecar
    s.tempName.clear();         // it is the sidecar now
    if (legacyThere) {
        fault::Benign benign;  // the sidecar wins over it; the next commit tries again
        (void)remove_fork_attr(fileFd, name, step);
    }
    g_commitCount.fetch_add(1, std::memory_order_acq_rel);
    *committed = std::move(s.side);
    s = Shadow{};
    return noErr;
}

OSErr set_finder_info(int dirFd, std::string_view fileName, const std::uint8_t* finderInfo,
                      const char* step, Replaced* out) {
    *out = Replaced{};
    Sidecar current;
    // One that cannot be read (or is none) is left as it is.
    if (open(dirFd, fileName, false, &current) != noErr || !current.found()) return noErr;
    const std::size_t n =
        std::size_t(std::min<std::uint64_t>(current.layout.finderLength, kFinderInfoSize));
    if (n == 0) return noErr;  // no Finder-information entry: none is added
    unsigned char was[kFinderInfoSize];
    if (::pread(current.fd.get(), was, n, off_t(current.layout.finderOffset)) == ssize_t(n) &&
        std::memcmp(was, finderInfo, n) == 0)
        return noErr;
    Shadow copy;
    if (OSErr e = make_shadow(dirFd, fileName, current, {}, nullptr, step, &copy)) return e;
    const int fd = copy.side.fd.get();
    auto fail = [&](OSErr e) {
        discard(copy, step);
        return e;
    };
    if (fault::step(step, {}, [&] {
            return pwrite_all(fd, finderInfo, n, copy.side.layout.finderOffset);
        }) != 0)
        return fail(write_error(errno, fd));
    {
        // The fork did not change: the copy keeps the sidecar's times.
        struct stat old {};
        fault::Benign benign;  // new times are all a failure costs
        if (::fstat(current.fd.get(), &old) == 0) {
            const struct timespec t[2] = {old.st_atim, old.st_mtim};
            fault::step(step, {}, [&] { return ::futimens(fd, t); });
        }
    }
    // Its data on disk before its name is: a crash never leaves an empty
    // sidecar in the old one's place.
    if (fault::step(step, {}, [&] { return ::fdatasync(fd); }) != 0)
        return fail(write_error(errno, fd));
    std::string name;
    sidecar_name(fileName, &name);
    int fromDir = dirFd;
    std::string temp;
    if (name_shadow(dirFd, copy, step, &temp, &fromDir) != 0)
        return fail(from_errno(errno, Op::Write));
    copy.tempName.clear();  // from here on ours to drop, not the shadow's
    // Traded with the old sidecar, which waits under the temporary's name
    // until the call is over, so that the undo can trade it back.
    if (fault::step(step, name, [&] {
            return ::renameat2(fromDir, temp.c_str(), dirFd, name.c_str(), RENAME_EXCHANGE);
        }) != 0) {
        const int err = errno;
        fault::Benign benign;  // a temporary left behind goes with its folder as an orphan
        fault::step(step, temp, [&] { return ::unlinkat(fromDir, temp.c_str(), 0); });
        // No exchange on this file system: the Finder information stays
        // in the record only, as a sidecar's copy was before.
        if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) return noErr;
        // A locked sidecar locks its fork and the copy: fLckdErr, as for
        // the fork's own writes.
        return err == EPERM ? write_error(err, current.fd.get()) : from_errno(err, Op::Write);
    }
    g_commitCount.fetch_add(1, std::memory_order_acq_rel);
    out->dir = UniqueFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    out->name = name;
    if (!out->dir) {  // cannot wait for the end of the call: the old one goes now
        fault::Benign benign;
        fault::step(step, temp, [&] { return ::unlinkat(dirFd, temp.c_str(), 0); });
        return noErr;
    }
    out->oldName = temp;
    return noErr;
}

OSErr refresh_finder_info(Shadow& s, const std::uint8_t* finderInfo, const char* step) {
    const std::size_t n =
        std::size_t(std::min<std::uint64_t>(s.side.layout.finderLength, kFinderInfoSize));
    if (!s.made() || n == 0) return noErr;
    const int fd = s.side.fd.get();
    if (fault::step(step, {},
                    [&] { return pwrite_all(fd, finderInfo, n, s.side.layout.finderOffset); }) != 0)
        return write_error(errno, fd);
    return noErr;
}

void finish(Replaced& r, const char* step) {
    if (r.oldName.empty()) return;
    fault::Benign benign;  // a temporary left behind goes with its folder as an orphan
    fault::step(step, r.oldName, [&] { return ::unlinkat(r.dir.get(), r.oldName.c_str(), 0); });
    r.oldName.clear();
}

void put_back(Replaced& r, const char* step) {
    if (r.oldName.empty()) return;
    if (fault::step(step, r.name, [&] {
            return ::renameat2(r.dir.get(), r.oldName.c_str(), r.dir.get(), r.name.c_str(),
                               RENAME_EXCHANGE);
        }) == 0)
        g_commitCount.fetch_add(1, std::memory_order_acq_rel);
    finish(r, step);  // the copy, or (when the trade failed) the old one
}

std::unique_ptr<std::unordered_set<std::string>> sidecar_names(int dirFd, const char* step,
                                                               std::string_view detail) {
    const fault::Benign benign;  // a failure only means looking per file
    UniqueFd fd(fault::step(
        step, detail, [&] { return ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd) return nullptr;
    auto names = std::make_unique<std::unordered_set<std::string>>();
    constexpr std::size_t kBufSize = std::size_t{32} * 1024;
    const std::unique_ptr<char[]> buf(new char[kBufSize]);
    for (;;) {
        const long n = fault::step(
            step, detail, [&] { return ::syscall(SYS_getdents64, fd.get(), buf.get(), kBufSize); });
        if (n < 0) return nullptr;
        if (n == 0) return names;
        each_sidecar_entry(buf.get(), n, [&](const char* name) { names->emplace(name); });
    }
}

}  // namespace vantrel::fm::rsrc
