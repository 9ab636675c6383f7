// Full writes and kernel copies on real files and pipes: every byte goes,
// whatever the kernel takes at a time, and a copy the kernel refuses goes
// on through a buffer.
#include "fullio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TempDir.h"

namespace io = vantrel::io;

namespace {

std::string read_all(int fd) {
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, std::size_t(n));
    return s;
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = char('a' + i % 23);
    return s;
}

}  // namespace

// A pipe takes 64 KiB at a time: a megabyte is written in many short
// writes, all of it, in order.
TEST(FullIo, WriteAllWritesEveryByteThroughShortWrites) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const std::string big = pattern(std::size_t{1} << 20);
    std::string got;
    std::thread reader([&] { got = read_all(p[0]); });
    EXPECT_EQ(io::write_all(p[1], big.data(), big.size()), 0);
    ::close(p[1]);
    reader.join();
    ::close(p[0]);
    EXPECT_EQ(got, big);

    // A reader gone: the failure is the kernel's, with its errno.
    ASSERT_EQ(::pipe(p), 0);
    ::close(p[0]);
    const auto old = ::signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_EQ(io::write_all(p[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::signal(SIGPIPE, old);
    ::close(p[1]);
}

TEST(FullIo, CopiesInTheKernelOrThroughABuffer) {
    vtest::TempDir dir;
    const std::string data = pattern(300000);
    const auto src = dir.write("src", data);
    struct Row {
        const char* what;
        bool fromPipe;       // copy_file_range refuses a pipe: the buffer takes over
        std::int64_t inAt;   // -1: the descriptor's own offset
        std::uint64_t size;  // io::kAll: to the end
        std::string expect;
    };
    const Row rows[] = {
        {"all of a file", false, -1, io::kAll, data},
        {"a range at offsets", false, 1000, 5000, data.substr(1000, 5000)},
        {"past the end: what there is", false, 299000, 5000, data.substr(299000)},
        {"all of a pipe", true, -1, io::kAll, data},
        {"part of a pipe", true, -1, 70000, data.substr(0, 70000)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto dst = dir.path() / "dst";
        ::unlink(dst.c_str());
        const int out = ::open(dst.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(out, 0);
        int in = -1;
        std::thread feeder;
        int p[2] = {-1, -1};
        if (row.fromPipe) {
            ASSERT_EQ(::pipe(p), 0);
            in = p[0];
            feeder = std::thread([&] {
                (void)io::write_all(p[1], data.data(), data.size());
                ::close(p[1]);
            });
        } else {
            in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(in, 0);
        }
        std::int64_t inAt = row.inAt, outAt = 0;
        const std::int64_t n = io::copy(in, row.inAt >= 0 ? &inAt : nullptr, out,
                                        row.inAt >= 0 ? &outAt : nullptr, row.size);
        EXPECT_EQ(n, std::int64_t(row.expect.size()));
        if (row.inAt >= 0) {
            EXPECT_EQ(inAt, row.inAt + n) << "the offsets advance";
            EXPECT_EQ(outAt, n);
            EXPECT_EQ(::lseek(in, 0, SEEK_CUR), 0) << "the descriptor's offset stays";
        }
        ::lseek(out, 0, SEEK_SET);
        EXPECT_EQ(read_all(out), row.expect);
        if (row.fromPipe) {
            // What the copy left in the pipe is still there for the next reader.
            const std::string rest = read_all(in);
            EXPECT_EQ(rest, data.substr(row.expect.size()));
            feeder.join();
        }
        ::close(in);
        ::close(out);
    }
}

// The runs of data a range of a sparse file holds: each run cut to the
// range, none for a hole, and none past the end.
TEST(FullIo, EachDataRunGivesTheDataOfARangeAndNoHole) {
    vtest::TempDir dir;
    const auto p = dir.path() / "sparse";
    const int fd = ::open(p.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    // Data in [0, 64 KiB) and [4 MiB, 4 MiB + 64 KiB), a hole between, and a
    // hole at the end up to 8 MiB.
    constexpr std::uint64_t kK = 1024, kM = kK * kK;
    const std::string data = pattern(64 * kK);
    ASSERT_EQ(io::pwrite_all(fd, data.data(), data.size(), 0), 0);
    ASSERT_EQ(io::pwrite_all(fd, data.data(), data.size(), 4 * kM), 0);
    ASSERT_EQ(::ftruncate(fd, off_t(8 * kM)), 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    if (std::uint64_t(st.st_blocks) * 512 >= 8 * kM) GTEST_SKIP() << "no holes on this file system";
    using Runs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    struct Row {
        const char* what;
        std::uint64_t from, size;
        Runs want;
    };
    const Row rows[] = {
        {"the whole file", 0, io::kAll, {{0, 64 * kK}, {4 * kM, 64 * kK}}},
        {"cut at both ends", 32 * kK, 4 * kM, {{32 * kK, 32 * kK}, {4 * kM, 32 * kK}}},
        {"inside a hole", 1 * kM, 1 * kM, {}},
        {"from a hole to the end", 1 * kM, io::kAll, {{4 * kM, 64 * kK}}},
        {"past the end", 9 * kM, kM, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Runs got;
        EXPECT_EQ(io::each_data_run(fd, row.from, row.size,
                                    [&](std::uint64_t at, std::uint64_t len) {
                                        got.emplace_back(at, len);
                                        return 0;
                                    }),
                  0);
        EXPECT_EQ(got, row.want);
    }
    // The first nonzero answer stops the walk and is returned.
    int calls = 0;
    EXPECT_EQ(io::each_data_run(fd, 0, io::kAll,
                                [&](std::uint64_t, std::uint64_t) { return ++calls == 1 ? 7 : 0; }),
              7);
    EXPECT_EQ(calls, 1);
    ::close(fd);
}
