// A temporary directory for a test, removed with everything in it (immutable
// attributes cleared first) when the test ends. Every helper here fails the
// test loudly instead of carrying on: a directory that cannot be made throws
// (GoogleTest reports the exception and stops the test), so no file of a test
// ever lands in the working directory.
#pragma once

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "FileFlags.h"

namespace vtest {

namespace fs = std::filesystem;

// Writes `content` to `p` (making parent directories) and returns `p`; a
// write that fails fails the test.
inline fs::path write_file(const fs::path& p, const std::string& content) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary);
    out << content;
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << p;
    return p;
}

// Where a TempDir is made unless a test asks for another place: $TMPDIR,
// else /tmp.
inline std::string temp_base() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

// A place on a volume that holds few files, for a test whose call walks the
// whole volume (a search for a file ID that no file carries reads every
// file): the shared-memory tmpfs, when it is a file system of its own that
// this user can write and that keeps user extended attributes; temp_base()
// otherwise. On the root file system, with every build tree of the machine
// on it, such a walk takes half a minute under the sanitizers.
inline std::string small_volume_base() {
    static const std::string base = [] {
        const std::string shm = "/dev/shm";
        struct statfs sf {};
        if (::statfs(shm.c_str(), &sf) != 0 || sf.f_type != TMPFS_MAGIC) return temp_base();
        std::string probe = shm + "/vt-probe.XXXXXX";
        if (::mkdtemp(probe.data()) == nullptr) return temp_base();
        const bool xattrs = ::setxattr(probe.c_str(), "user.vt-probe", "1", 1, 0) == 0;
        ::rmdir(probe.c_str());
        return xattrs ? shm : temp_base();
    }();
    return base;
}

class TempDir {
  public:
    explicit TempDir(const char* tag = "vt") : TempDir(tag, temp_base()) {}
    // A directory in `base` (small_volume_base(), say).
    TempDir(const char* tag, const std::string& base) {
        std::string tmpl = base + "/" + tag + ".XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) {
            throw std::runtime_error("TempDir: cannot make " + tmpl + ": " + std::strerror(errno));
        }
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(
                 path_, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) clear_immutable(it->path());
            fs::permissions(it->path(), fs::perms::owner_all,
                            fs::perm_options::add | fs::perm_options::nofollow, ec);
        }
        clear_immutable(path_);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& rel) const { return path_ / rel; }

    // Writes `content` to `rel` (creating parent directories) and returns its
    // path; a write that fails fails the test.
    fs::path write(const std::string& rel, const std::string& content = {}) const {
        fs::path p = path_ / rel;
        write_file(p, content);
        return p;
    }
    fs::path mkdir(const std::string& rel) const {
        fs::path p = path_ / rel;
        std::error_code ec;
        fs::create_directories(p, ec);
        if (ec) ADD_FAILURE() << "TempDir: cannot make " << p << ": " << ec.message();
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
