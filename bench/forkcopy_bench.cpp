// FSCopyFork of a 256 MiB data fork through a 1 MiB buffer, against
//   dd if=SRC of=DST bs=1M iflag=direct oflag=direct   (the uncached copy it should keep up with)
//   cp SRC DST                                        (the everyday copy; the page cache is free to
//   help)
// in one run, on the same file, in the same directory.
//
// Before every run the source is dropped from the page cache
// (POSIX_FADV_DONTNEED after an fdatasync) and the destination removed, so
// each copy starts cold; the time includes getting the destination's data to
// disk (our copy and dd write it back as they go, cp's time includes an
// fdatasync of its result so that a copy still sitting in the cache is not
// counted as finished). The fork copy runs in a child process like the peers.
//
// Files live under $VANTREL_BENCH_DIR (default /tmp; it needs 512 MiB).
// bench/forkcopy_bench.sh runs it with repetitions and prints the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vantrel/FSUtilities.h"

extern char** environ;

namespace {

constexpr std::size_t kFileSize = 256u << 20;
constexpr ByteCount kBuffer = 1u << 20;

std::string dir() {
    static const std::string d = [] {
        const char* b = std::getenv("VANTREL_BENCH_DIR");
        std::string t = std::string(b && *b ? b : "/tmp") + "/forkcopy-bench.XXXXXX";
        if (::mkdtemp(t.data()) == nullptr) std::abort();
        return t;
    }();
    return d;
}
std::string src() {
    return dir() + "/src";
}
std::string dst() {
    return dir() + "/dst";
}

void make_source() {
    struct stat st;
    if (::stat(src().c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) == kFileSize)
        return;
    int fd = ::open(src().c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    std::vector<char> block(kBuffer);
    unsigned x = 12345;
    for (std::size_t done = 0; done < kFileSize; done += block.size()) {
        for (char& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
            std::abort();
    }
    ::fsync(fd);
    ::close(fd);
}

void drop_cache(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

void prepare() {
    make_source();
    ::unlink(dst().c_str());
    drop_cache(src());
}

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One fork copy in a fresh child, as a program would do it: make the
// destination, open both data forks, copy, close.
int fork_copy_child() {
    FSRef dirRef, srcRef, dstRef;
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(dir().c_str()), &dirRef, nullptr) != noErr)
        return 1;
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(src().c_str()), &srcRef, nullptr) != noErr)
        return 2;
    const UniChar name[] = {'d', 's', 't'};
    if (FSCreateFileUnicode(&dirRef, 3, name, kFSCatInfoNone, nullptr, &dstRef, nullptr) != noErr)
        return 3;
    FSIORefNum s = 0, d = 0;
    if (FSOpenFork(&srcRef, 0, nullptr, fsRdPerm, &s) != noErr) return 4;
    if (FSOpenFork(&dstRef, 0, nullptr, fsRdWrPerm, &d) != noErr) return 5;
    void* buffer = nullptr;
    if (::posix_memalign(&buffer, 4096, kBuffer) != 0) return 6;
    OSErr e = FSCopyFork(s, d, buffer, kBuffer);
    std::free(buffer);
    if (FSCloseFork(s) != noErr || FSCloseFork(d) != noErr) return 7;
    return e == noErr ? 0 : 8;
}

void check_copy(benchmark::State& state) {
    struct stat a, b;
    if (::stat(src().c_str(), &a) != 0 || ::stat(dst().c_str(), &b) != 0 || a.st_size != b.st_size)
        state.SkipWithError("the copy has the wrong size");
}

void BM_FSCopyFork(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        pid_t pid = ::fork();
        if (pid == 0) ::_exit(fork_copy_child());
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("FSCopyFork failed");
    }
    check_copy(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_DdDirect(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        if (run({"dd", "if=" + src(), "of=" + dst(), "bs=1M", "iflag=direct", "oflag=direct",
                 "status=none"}) != 0)
            state.SkipWithError("dd failed");
    }
    check_copy(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_Cp(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        if (run({"cp", src(), dst()}) != 0 || run({"sync", "-d", dst()}) != 0)
            state.SkipWithError("cp failed");
    }
    check_copy(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_FSCopyFork)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_DdDirect)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(src().c_str());
    ::unlink(dst().c_str());
    ::rmdir(dir().c_str());
    return 0;
}
