// Writing every byte, and copying bytes in the kernel: the loops each
// writer of files would otherwise spell out for itself. Internal: compiled
// into each library and program that writes (hidden in each), holding no
// state; not part of any public header.
//
// A write(2) may write fewer bytes than asked (a signal, a pipe, a full
// disk reached midway) and is then to be repeated for the rest; EINTR is
// no failure. copy_file_range(2) copies inside the kernel (a reflink where
// the file system shares blocks) but is refused across some file systems
// and by some kernels: the copy then goes on through a buffer.
//
//   if (vantrel::io::write_all(fd, s.data(), s.size()) != 0) return errno;
//   const std::int64_t n = vantrel::io::copy(in, nullptr, out, nullptr, vantrel::io::kAll);
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vantrel::io {

// Writes all `size` bytes of `data` to `fd` at its offset, again after
// EINTR and short writes. 0, or -1 with errno set (EIO for a write that
// took nothing); some bytes may then have been written.
int write_all(int fd, const void* data, std::size_t size);
// The same at the file offset `at` (pwrite: the descriptor's offset stays).
int pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t at);

inline constexpr std::uint64_t kAll = UINT64_MAX;

// Copies `size` bytes of `in` to `out` (kAll: to the end of `in`), in the
// kernel where it can, else through a buffer. `inAt` and `outAt` are the
// offsets to copy from and to, advanced past what was copied; null takes
// (and advances) the descriptor's own offset. The number of bytes copied
// (fewer when `in` ends sooner), or -1 with errno set. `inKernel` (may be
// null) says whether to ask the kernel at all, and is made false when the
// kernel refused: a caller copying many files between the same two file
// systems asks once, not once a file.
std::int64_t copy(int in, std::int64_t* inAt, int out, std::int64_t* outAt, std::uint64_t size,
                  bool* inKernel = nullptr);

// Calls `each(at, length)` for every run of data `in` holds within the
// `size` bytes from `from` (kAll: to its end), in order, and never for a
// hole: a copy made run by run into an empty file keeps the holes, as
// cp --sparse=auto keeps them, and a sparse disk image or fork does not
// fill the disk it is copied to. Where the file system cannot say where
// its holes are, the whole range is one run. 0 once every run was given;
// the first nonzero `each` returned (no run after it is given); -1 with
// errno set when `in` could not be searched. Moves `in`'s own offset.
int each_data_run(int in, std::uint64_t from, std::uint64_t size,
                  const std::function<int(std::uint64_t at, std::uint64_t length)>& each);

}  // namespace vantrel::io
