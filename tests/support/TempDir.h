// A temporary directory for a test, removed with everything in it (immutable
// attributes cleared first) when the test ends.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vtest {

namespace fs = std::filesystem;

// Clears the immutable and append-only attributes of `p` (no-op elsewhere).
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

// Sets or clears the immutable attribute; false when the file system or the
// caller's privileges do not allow it.
inline bool set_immutable(const fs::path& p, bool on) {
    int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

class TempDir {
public:
    explicit TempDir(const char* tag = "vt") {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
        char* p = ::mkdtemp(tmpl.data());
        if (p != nullptr) path_ = p;
    }
    ~TempDir() {
        std::error_code ec;
        if (path_.empty()) return;
        for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) clear_immutable(it->path());
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                            ec);
        }
        clear_immutable(path_);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& rel) const { return path_ / rel; }

    // Writes `content` to `rel` (creating parent directories) and returns its path.
    fs::path write(const std::string& rel, const std::string& content = {}) const {
        fs::path p = path_ / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    fs::path mkdir(const std::string& rel) const {
        fs::path p = path_ / rel;
        fs::create_directories(p);
        return p;
    }

private:
    fs::path path_;
};

inline std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace vtest
