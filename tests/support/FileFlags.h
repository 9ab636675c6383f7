// What a path is on disk, asked without the layer under test: presence,
// inode, and the immutable attribute (the File Manager's lock, the one
// `chattr +i` sets). Links are never followed.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace vtest {

namespace fs = std::filesystem;

inline bool present(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

// The inode number, or 0 when nothing is there.
inline ino_t ino_of(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

inline bool is_immutable(const fs::path& p) {
    struct statx sx;
    return ::statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
           (sx.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
}

// Sets or clears an inode attribute (FS_IMMUTABLE_FL, FS_APPEND_FL); false
// when the file system or the caller's privileges (CAP_LINUX_IMMUTABLE) do
// not allow it.
inline bool set_inode_flag(const fs::path& p, int flag, bool on) {
    int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | flag) : (flags & ~flag);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

inline bool set_immutable(const fs::path& p, bool on) {
    return set_inode_flag(p, FS_IMMUTABLE_FL, on);
}

inline bool set_append_only(const fs::path& p, bool on) {
    return set_inode_flag(p, FS_APPEND_FL, on);
}

// Whether the immutable attribute can be set in `dir`: the caller's right
// (CAP_LINUX_IMMUTABLE, root's) and a file system that has it, tried on a
// scratch file that is gone afterwards. A test that locks asks first, so that
// without it the test skips before it checks anything.
inline constexpr const char* kNeedsImmutable =
    "cannot set the immutable attribute here (needs CAP_LINUX_IMMUTABLE: root)";
inline bool can_set_immutable(const fs::path& dir) {
    const fs::path probe = dir / ".immutable-probe";
    const int fd =
        ::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    const bool ok = set_immutable(probe, true);
    if (ok) set_immutable(probe, false);
    ::unlink(probe.c_str());
    return ok;
}

// Clears the immutable and append-only attributes of `p` where it has them
// (nothing happens elsewhere): what clean-up needs before it can delete.
inline void clear_immutable(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
        flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

}  // namespace vtest
