// Full writes and kernel copies. See fullio.h.
#include "fullio.h"

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>

namespace vantrel::io {
namespace {

// One write of what is left: at `*at` (advanced) where given, else at the
// descriptor's offset.
ssize_t write_some(int fd, const char* p, std::size_t size, std::int64_t* at) {
    if (at == nullptr) return ::write(fd, p, size);
    const ssize_t n = ::pwrite(fd, p, size, off_t(*at));
    if (n > 0) *at += n;
    return n;
}

int write_rest(int fd, const void* data, std::size_t size, std::int64_t* at) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write_some(fd, p, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        p += n;
        size -= std::size_t(n);
    }
    return 0;
}

bool kernel_refused(int err) {
    // Across file systems (before Linux 5.19 and some after), file systems
    // or descriptors the call does not serve, kernels without it.
    return err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS;
}

}  // namespace

int write_all(int fd, const void* data, std::size_t size) {
    return write_rest(fd, data, size, nullptr);
}

int pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t at) {
    auto pos = std::int64_t(at);
    return write_rest(fd, data, size, &pos);
}

std::int64_t copy(int in, std::int64_t* inAt, int out, std::int64_t* outAt, std::uint64_t size,
                  bool* inKernel) {
    constexpr std::uint64_t kPiece = std::uint64_t{1} << 30;
    std::uint64_t done = 0;
    bool kernel = inKernel == nullptr || *inKernel;
    while (done < size) {
        const auto want = std::size_t(std::min(size - done, kPiece));
        if (kernel) {
            loff_t from = inAt != nullptr ? loff_t(*inAt) : 0,
                   to = outAt != nullptr ? loff_t(*outAt) : 0;
            const ssize_t n = ::copy_file_range(in, inAt != nullptr ? &from : nullptr, out,
                                                outAt != nullptr ? &to : nullptr, want, 0);
            if (n > 0) {
                if (inAt != nullptr) *inAt = from;
                if (outAt != nullptr) *outAt = to;
                done += std::uint64_t(n);
                continue;
            }
            if (n == 0) break;  // the end of `in` (it may have shrunk meanwhile)
            if (errno == EINTR) continue;
            if (!kernel_refused(errno)) return -1;
            kernel = false;
            if (inKernel != nullptr) *inKernel = false;
        }
        char buf[1 << 16];
        const std::size_t chunk = std::min(want, sizeof buf);
        const ssize_t n =
            inAt != nullptr ? ::pread(in, buf, chunk, off_t(*inAt)) : ::read(in, buf, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        if (inAt != nullptr) *inAt += n;
        if (write_rest(out, buf, std::size_t(n), outAt) != 0) return -1;
        done += std::uint64_t(n);
    }
    return std::int64_t(done);
}

int each_data_run(int in, std::uint64_t from, std::uint64_t size,
                  const std::function<int(std::uint64_t at, std::uint64_t length)>& each) {
    const std::uint64_t end = size >= kAll - from ? kAll : from + size;
    for (std::uint64_t pos = from; pos < end;) {
        const off_t data = ::lseek(in, off_t(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) return 0;  // no data past `pos`
            if (pos == from && (errno == EINVAL || errno == EOPNOTSUPP))
                return each(from, end - from);
            return -1;
        }
        if (std::uint64_t(data) >= end) return 0;
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) return -1;
        const std::uint64_t stop = std::min(std::uint64_t(hole), end);
        if (const int rc = each(std::uint64_t(data), stop - std::uint64_t(data))) return rc;
        pos = stop;
    }
    return 0;
}

}  // namespace vantrel::io
