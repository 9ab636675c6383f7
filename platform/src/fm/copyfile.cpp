// PBHCopyFileSync: what it promises is on its declaration in vantrel/Files.h.
//
// The data goes by copy_file_range (a reflink or a server-side copy where
// the file system offers one), falling back to read and write. The copy is
// an O_TMPFILE in the destination directory, linked under its name with
// linkat only when complete; without O_TMPFILE, a named file made with
// O_EXCL and unlinked on failure. The metadata record
// (user.org.netatalk.Metadata) is copied as an extended attribute; the
// resource fork's sidecar "._NAME" is copied whole and made before the copy
// gets its name (or the attribute of earlier versions is copied). An orphan
// sidecar at the new name is removed first, so that it cannot attach itself
// to the copy.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "fm/pbnode.h"
#include "fm/rsrc_store.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBHCopyFileSync", "PBHCopyFileSync.create", "PBHCopyFileSync.write",
                         "PBHCopyFileSync.setxattr", "PBHCopyFileSync.chmod",
                         "PBHCopyFileSync.times", "PBHCopyFileSync.link", "PBHCopyFileSync.sidecar",
                         "PBHCopyFileSync.undo", "PBHCopyFileSync.withoutTmpfile");

namespace {

using vantrel::fm::from_errno;
using vantrel::fm::Node;
using vantrel::fm::Op;
using vantrel::fm::UniqueFd;

// The record, the resource fork, and the full creation and backup dates
// that the record's 32-bit seconds cannot hold (before 1931, after 2038).
constexpr const char* kCopiedAttrs[] = {"user.org.netatalk.Metadata",
                                        "user.org.netatalk.ResourceFork", "user.org.vantrel.Dates",
                                        "user.org.vantrel.Metadata.extra"};

OSErr finish(CopyParam& p, OSErr err) {
    p.ioResult = err;
    return err;
}

// Copies every byte of `in` to `out`, with copy_file_range where the kernel
// and the file systems allow it, else through a buffer.
int copy_data(int in, int out) {
    bool fallback = false;
    for (;;) {
        if (!fallback) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n > 0) continue;
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS)
                return errno;
            fallback = true;
        }
        char buf[1 << 16];
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += w;
        }
    }
}

// Whether the listing `names` (`size` bytes of NUL-terminated names, as
// flistxattr gives them) holds `name`.
bool listed(const std::vector<char>& names, std::size_t size, std::string_view name) {
    for (std::size_t i = 0; i < size;) {
        const std::string_view here(names.data() + i);
        if (here == name) return true;
        i += here.size() + 1;
    }
    return false;
}

// Copies the named extended attributes that the source has; 0 or an errno.
// They are read from the descriptor the data comes from, so that they are
// that file's whatever has taken its name since it was opened; one listing
// tells which there are, and only those are read (most files have none).
int copy_attrs(int in, int out) {
    std::vector<char> names(1024);
    ssize_t listedSize;
    for (;;) {
        listedSize = vantrel::fault::step("PBHCopyFileSync.write", "listxattr", [&] {
            return ::flistxattr(in, names.data(), names.size());
        });
        if (listedSize >= 0) break;
        if (errno == ENOTSUP) return 0;  // a file system without them has none
        if (errno != ERANGE) return errno;
        const ssize_t need = ::flistxattr(in, nullptr, 0);
        if (need < 0) return errno;
        names.resize(static_cast<std::size_t>(need) + 1);  // it grew in between: ask again
    }
    std::vector<char> value(4096);
    for (const char* name : kCopiedAttrs) {
        if (!listed(names, static_cast<std::size_t>(listedSize), name)) continue;
        for (;;) {
            const ssize_t got = vantrel::fault::step("PBHCopyFileSync.write", name, [&] {
                return ::fgetxattr(in, name, value.data(), value.size());
            });
            if (got < 0 && errno == ERANGE) {
                const ssize_t size = ::fgetxattr(in, name, nullptr, 0);
                if (size < 0) return errno;
                value.resize(static_cast<std::size_t>(size));
                continue;  // it may grow again in between
            }
            if (got < 0 && errno == ENODATA) break;  // removed since the listing
            if (got < 0) return errno;
            if (vantrel::fault::step("PBHCopyFileSync.setxattr", name, [&] {
                    return ::fsetxattr(out, name, value.data(), static_cast<std::size_t>(got), 0);
                }) != 0)
                return errno;
            break;
        }
    }
    return 0;
}

}  // namespace

extern "C" OSErr PBHCopyFileSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    CopyParam& p = pb->copyParam;
    if (OSErr e = vantrel::fault::check("PBHCopyFileSync")) return finish(p, e);

    Node src;
    if (OSErr err = vantrel::fm::node_from_spec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, &src))
        return finish(p, err);
    if (!S_ISREG(src.st.stx_mode)) return finish(p, notAFileErr);
    Node dest;
    const SInt16 destVRef = p.ioDstVRefNum != 0 ? p.ioDstVRefNum : p.ioVRefNum;
    if (OSErr err = vantrel::fm::node_from_spec(destVRef, p.ioNewDirID, p.ioNewName, &dest))
        return finish(p, err);
    if (!dest.is_dir()) return finish(p, dirNFErr);
    std::string name = src.name;
    if (p.ioCopyName != nullptr && p.ioCopyName[0] != 0) {
        if (OSErr err = vantrel::fm::name_from_pascal(p.ioCopyName, &name)) return finish(p, err);
    }
    vantrel::fm::DirFd destFd;
    if (OSErr err = vantrel::fm::dir_fd(dest, &destFd)) return finish(p, err);

    UniqueFd in(::openat(src.at(), src.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) return finish(p, from_errno(errno, Op::Read, &src));
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return finish(p, from_errno(errno, Op::Read, &src));
    if (st.st_ino != src.st.stx_ino || !S_ISREG(st.st_mode))
        return finish(p, fnfErr);  // replaced since resolved
    const mode_t mode = st.st_mode & 0777;
    namespace rsrc = vantrel::fm::rsrc;
    rsrc::Sidecar srcSide;
    if (OSErr err = rsrc::open(src.at(), src.name, false, &srcSide)) return finish(p, err);
    std::string sideName;
    const bool sideFits = rsrc::sidecar_name(name, &sideName);
    if (srcSide.found() && !sideFits) return finish(p, errFSNameTooLong);
    if (srcSide.found()) {
        if (OSErr err = rsrc::place_taken(destFd->fd(), name)) return finish(p, err);
    }

    // Refuse early when the name is taken; the final link refuses again if
    // another program takes it meanwhile.
    struct stat existing {};
    if (::fstatat(destFd->fd(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return finish(p, dupFNErr);

    bool named = false;
    // Tests take the path of file systems without O_TMPFILE through an override.
    const bool tmpfile = !vantrel::fault::override_value("PBHCopyFileSync.withoutTmpfile");
    UniqueFd out(vantrel::fault::step("PBHCopyFileSync.create", name, [&] {
        if (!tmpfile) {
            errno = EOPNOTSUPP;
            return -1;
        }
        return ::openat(destFd->fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    }));
    if (!out) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return finish(p, from_errno(errno, Op::Create, &dest));
        }
        out = UniqueFd(vantrel::fault::step("PBHCopyFileSync.create", name, [&] {
            return ::openat(destFd->fd(), name.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode);
        }));
        if (!out) return finish(p, from_errno(errno, Op::Create, &dest));
        named = true;
    }
    bool sideMade = false;
    auto undo = [&] {
        if (sideMade) {
            vantrel::fault::step("PBHCopyFileSync.undo", sideName,
                                 [&] { return ::unlinkat(destFd->fd(), sideName.c_str(), 0); });
        }
        if (named) {
            vantrel::fault::step("PBHCopyFileSync.undo", name,
                                 [&] { return ::unlinkat(destFd->fd(), name.c_str(), 0); });
        }
    };
    auto fail = [&](int err, Op op) {
        undo();
        return finish(p, err == 0 ? OSErr{ioErr} : from_errno(err, op, &dest));
    };

    if (int err = vantrel::fault::check_errno("PBHCopyFileSync.write", name))
        return fail(err, Op::Write);
    if (int err = copy_data(in.get(), out.get())) return fail(err, Op::Write);
    if (int err = copy_attrs(in.get(), out.get())) return fail(err, Op::Write);
    if (vantrel::fault::step("PBHCopyFileSync.chmod", name,
                             [&] { return ::fchmod(out.get(), mode); }) != 0)
        return fail(errno, Op::Write);
    if (OSErr e = rsrc::clear_orphan(destFd->fd(), name, "PBHCopyFileSync.sidecar")) {
        undo();
        return finish(p, e);
    }
    if (srcSide.found()) {
        UniqueFd side(vantrel::fault::step("PBHCopyFileSync.sidecar", sideName, [&] {
            return ::openat(destFd->fd(), sideName.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666 & mode);
        }));
        if (!side) return fail(errno, Op::Create);
        sideMade = true;
        if (int err = vantrel::fault::check_errno("PBHCopyFileSync.sidecar", sideName))
            return fail(err, Op::Write);
        if (int err = copy_data(srcSide.fd.get(), side.get())) return fail(err, Op::Write);
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (vantrel::fault::step("PBHCopyFileSync.times", name,
                             [&] { return ::futimens(out.get(), times); }) != 0)
        return fail(errno, Op::Write);
    if (!named) {
        const std::string self = "/proc/self/fd/" + std::to_string(out.get());
        if (vantrel::fault::step("PBHCopyFileSync.link", name, [&] {
                return ::linkat(AT_FDCWD, self.c_str(), destFd->fd(), name.c_str(),
                                AT_SYMLINK_FOLLOW);
            }) != 0) {
            const OSErr e = from_errno(errno, Op::Create, &dest);
            undo();
            return finish(p, e);
        }
    }
    return finish(p, noErr);
}
