// The descriptors the File Manager holds: an open directory shared between
// the descriptor cache (ref_dircache.h) and the nodes that use it, and a
// descriptor owned by one scope. Hidden (never installed).
#pragma once

#include <memory>

namespace vantrel::fm {

// An open directory descriptor shared between the descriptor cache and the
// nodes that use it; closed when the last user lets go.
class DirHandle {
  public:
    explicit DirHandle(int fd) : fd_(fd) {}
    ~DirHandle();
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};
using DirFd = std::shared_ptr<const DirHandle>;

// Owns one descriptor (closes it on destruction).
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace vantrel::fm
