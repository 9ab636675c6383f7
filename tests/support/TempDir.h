// A temporary directory for a test, removed with everything in it (immutable
// attributes cleared first) when the test ends. Every helper here fails the
// test loudly instead of carrying on: a directory that cannot be made throws
// (GoogleTest reports the exception and stops the test), so no file of a test
// ever lands in the working directory.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
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

class TempDir {
  public:
    explicit TempDir(const char* tag = "vt") {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
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

// The bytes of `p`, or what of them could be read: a file that cannot be
// opened reads as empty, and one whose reading fails halfway as what came
// before. (libstdc++'s streams throw from a failed read; a file of /proc
// whose process has just exited fails its read with ESRCH.)
inline std::string read_file(const fs::path& p) {
    std::string out;
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace vtest
