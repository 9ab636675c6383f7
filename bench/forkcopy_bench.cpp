// FSCopyFork of a 256 MiB data fork through a 1 MiB buffer, and of a 256 MiB
// resource fork (in its sidecar "._NAME") into a new file's resource fork,
// against
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
#include <sys/resource.h>
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

std::string rsrc_src() {
    return dir() + "/rsrc";
}
std::string rsrc_side() {
    return dir() + "/._rsrc";
}
std::string rsrc_dst_side() {
    return dir() + "/._dst";
}

// The sidecar of "rsrc": Samba's header, then the same 256 MiB as "src".
void make_rsrc_source() {
    struct stat st;
    if (::stat(rsrc_side().c_str(), &st) == 0 &&
        static_cast<std::size_t>(st.st_size) == kFileSize + 0x52)
        return;
    ::close(::open(rsrc_src().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    unsigned char h[0x52] = {0, 5, 0x16, 7, 0, 2, 0, 0, 'N', 'e', 't', 'a', 't', 'a', 'l', 'k', ' ',
                             ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0, 2,
                             // resource fork: id 2, at 0x52, 256 MiB
                             0, 0, 0, 2, 0, 0, 0, 0x52, 0x10, 0, 0, 0,
                             // Finder information: id 9, at 0x32, 32 bytes
                             0, 0, 0, 9, 0, 0, 0, 0x32, 0, 0, 0, 0x20};
    int out = ::open(rsrc_side().c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    int in = ::open(src().c_str(), O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0 || ::write(out, h, sizeof h) != sizeof h) std::abort();
    std::vector<char> block(kBuffer);
    for (ssize_t n; (n = ::read(in, block.data(), block.size())) > 0;)
        if (::write(out, block.data(), std::size_t(n)) != n) std::abort();
    ::fsync(out);
    ::close(out);
    ::close(in);
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
    ::unlink(rsrc_dst_side().c_str());
    drop_cache(src());
}

void prepare_rsrc() {
    make_source();
    make_rsrc_source();
    ::unlink(dst().c_str());
    ::unlink(rsrc_dst_side().c_str());
    drop_cache(rsrc_side());
}

// CPU time (user and system) of the children waited for so far, in ms.
double children_cpu_ms() {
    struct rusage r {};
    ::getrusage(RUSAGE_CHILDREN, &r);
    return (double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3) +
           (double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3);
}

// Records the CPU time the children of `state`'s timed runs took: the
// machine is shared, and CPU time is the steadier figure.
struct ChildCpu {
    benchmark::State& state;
    double total = 0;
    double start = 0;
    void begin() { start = children_cpu_ms(); }
    void end() { total += children_cpu_ms() - start; }
    ~ChildCpu() {
        state.counters["cpu_ms"] = benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    }
};

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
// destination, open both data forks (or both resource forks), copy, close.
int fork_copy_child(bool resource) {
    FSRef dirRef, srcRef, dstRef;
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(dir().c_str()), &dirRef, nullptr) != noErr)
        return 1;
    const std::string from = resource ? rsrc_src() : src();
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(from.c_str()), &srcRef, nullptr) != noErr)
        return 2;
    HFSUniStr255 fork{};
    if (resource) FSGetResourceForkName(&fork);
    const UniChar name[] = {'d', 's', 't'};
    if (FSCreateFileUnicode(&dirRef, 3, name, kFSCatInfoNone, nullptr, &dstRef, nullptr) != noErr)
        return 3;
    FSIORefNum s = 0, d = 0;
    if (FSOpenFork(&srcRef, fork.length, fork.unicode, fsRdPerm, &s) != noErr) return 4;
    if (FSOpenFork(&dstRef, fork.length, fork.unicode, fsRdWrPerm, &d) != noErr) return 5;
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
    ChildCpu cpu{state};
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        cpu.begin();
        pid_t pid = ::fork();
        if (pid == 0) ::_exit(fork_copy_child(false));
        int status = 0;
        ::waitpid(pid, &status, 0);
        cpu.end();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("FSCopyFork failed");
    }
    check_copy(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_FSCopyResourceFork(benchmark::State& state) {
    ChildCpu cpu{state};
    for (auto _ : state) {
        state.PauseTiming();
        prepare_rsrc();
        state.ResumeTiming();
        cpu.begin();
        pid_t pid = ::fork();
        if (pid == 0) ::_exit(fork_copy_child(true));
        int status = 0;
        ::waitpid(pid, &status, 0);
        cpu.end();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("FSCopyFork of the resource fork failed");
    }
    struct stat a, b;
    if (::stat(rsrc_side().c_str(), &a) != 0 || ::stat(rsrc_dst_side().c_str(), &b) != 0 ||
        a.st_size != b.st_size)
        state.SkipWithError("the sidecar copy has the wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_DdDirect(benchmark::State& state) {
    ChildCpu cpu{state};
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        cpu.begin();
        const int rc = run({"dd", "if=" + src(), "of=" + dst(), "bs=1M", "iflag=direct",
                            "oflag=direct", "status=none"});
        cpu.end();
        if (rc != 0) state.SkipWithError("dd failed");
    }
    check_copy(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_Cp(benchmark::State& state) {
    ChildCpu cpu{state};
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        state.ResumeTiming();
        cpu.begin();
        const bool ok = run({"cp", src(), dst()}) == 0 && run({"sync", "-d", dst()}) == 0;
        cpu.end();
        if (!ok) state.SkipWithError("cp failed");
    }
    check_copy(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_FSCopyFork)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_FSCopyResourceFork)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
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
    ::unlink(rsrc_dst_side().c_str());
    ::unlink(rsrc_side().c_str());
    ::unlink(rsrc_src().c_str());
    ::rmdir(dir().c_str());
    return 0;
}
