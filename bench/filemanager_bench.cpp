// Container walks against the tools that do the same work: FSDeleteContainer
// against `rm -rf`, FSIterateContainer (bitmap 0) against `find` (which reads
// only directories) and `find -printf '%M %p\n'` (which stats every item, as
// the walk must), and FSGetDirectoryItems against `ls -f`, on trees of 100
// files per directory. A listing with the fields `ls -l` shows (type and
// lock, permissions, size, modification date), once as the walk's own
// catalogue information and once as an FSGetCatalogInfo call per item the
// walk hands out, against the same `find -printf`. And the ID table's cost:
// every item's node ID asked by a process that has never seen the tree
// (an empty state directory: each object's first sight, a look-up and an
// insert where its inode number cannot be its ID) and by one whose table
// already has them all (one indexed look-up each); on a file system whose
// inode numbers are small (ext4) neither opens the table. The counter
// table_ids says how many of the IDs came from the table.
//
// Every measured run happens in a child process of its own (ours forked from
// here, the peers exec'd), so each gets a fresh process, and its peak
// resident memory comes from wait4 (counter maxrss_kB). Two sizes (10,000 and
// 100,000 files) show whether memory grows with the items visited. Trees
// live under $VANTREL_BENCH_DIR (default /tmp; bench/filesystems_bench.sh
// points it at ext4 and XFS images of its own) and are built outside the
// timing. The ID tables go to state directories under $VANTREL_BENCH_STATE
// (default /tmp), where a user's home would keep them, not on the volume.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vantrel/FSUtilities.h"

namespace fs = std::filesystem;

namespace {

std::string base_dir() {
    const char* b = std::getenv("VANTREL_BENCH_DIR");
    return b && *b ? b : "/tmp";
}
std::string state_base() {
    const char* b = std::getenv("VANTREL_BENCH_STATE");
    return b && *b ? b : "/tmp";
}

// `files` empty files, 100 per directory (files / 100 directories).
void make_tree(const std::string& root, int files) {
    ::mkdir(root.c_str(), 0755);
    int dirs = files / 100;
    for (int d = 0; d < dirs; ++d) {
        char dn[32];
        std::snprintf(dn, sizeof dn, "/d%04d", d);
        std::string dp = root + dn;
        ::mkdir(dp.c_str(), 0755);
        int dfd = ::open(dp.c_str(), O_PATH | O_DIRECTORY);
        for (int f = 0; f < 100; ++f) {
            char fn[16];
            std::snprintf(fn, sizeof fn, "f%02d", f);
            int fd = ::openat(dfd, fn, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) ::close(fd);
        }
        ::close(dfd);
    }
}

void make_flat(const std::string& root, int files) {
    ::mkdir(root.c_str(), 0755);
    int dfd = ::open(root.c_str(), O_PATH | O_DIRECTORY);
    for (int f = 0; f < files; ++f) {
        char fn[16];
        std::snprintf(fn, sizeof fn, "f%06d", f);
        int fd = ::openat(dfd, fn, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
    ::close(dfd);
}

struct Run {
    double seconds = 0;
    double cpu_ms = 0;  // user + system time of the run: fairer than wall time on a busy machine
    long maxrss_kb = 0;
    int status = -1;
};

Run finish(pid_t pid, std::chrono::steady_clock::time_point t0) {
    Run r;
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.maxrss_kb = ru.ru_maxrss;
    r.cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return r;
}

Run in_child(const std::function<int()>& body) {
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return finish(pid, t0);
}

Run command(std::vector<std::string> argv) {
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return finish(pid, t0);
}

FSRef ref_of(const std::string& p) {
    FSRef r{};
    FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &r, nullptr);
    return r;
}

void report(benchmark::State& st, const Run& r) {
    if (r.status != 0) st.SkipWithError("the run failed");
    st.SetIterationTime(r.seconds);
    auto& rss = st.counters["maxrss_kB"];
    rss.value = std::max(rss.value, double(r.maxrss_kb));  // the largest of the runs
    auto& cpu = st.counters["child_cpu_ms"];
    cpu.flags = benchmark::Counter::kAvgIterations;  // mean per run
    cpu.value += r.cpu_ms;
}

// Trees read by several benchmarks are built once per size.
const std::string& shared_tree(int files) {
    static std::map<int, std::string> trees;
    auto it = trees.find(files);
    if (it == trees.end()) {
        std::string p = base_dir() + "/vtbench-tree-" + std::to_string(files) + "-" +
                        std::to_string(::getpid());
        make_tree(p, files);
        it = trees.emplace(files, p).first;
    }
    return it->second;
}
const std::string& shared_flat(int files) {
    static std::map<int, std::string> dirs;
    auto it = dirs.find(files);
    if (it == dirs.end()) {
        std::string p = base_dir() + "/vtbench-flat-" + std::to_string(files) + "-" +
                        std::to_string(::getpid());
        make_flat(p, files);
        it = dirs.emplace(files, p).first;
    }
    return it->second;
}

std::string fresh_tree(int files) {
    static int n = 0;
    std::string p =
        base_dir() + "/vtbench-del-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
    make_tree(p, files);
    ::sync();
    return p;
}

void BM_DeleteContainer(benchmark::State& st) {
    for (auto _ : st) {
        std::string p = fresh_tree(int(st.range(0)));
        report(st, in_child([&] {
                   FSRef r = ref_of(p);
                   return FSDeleteContainer(&r) == noErr ? 0 : 1;
               }));
    }
}
void BM_RmRf(benchmark::State& st) {
    for (auto _ : st) {
        std::string p = fresh_tree(int(st.range(0)));
        report(st, command({"rm", "-rf", p}));
    }
}

Boolean count_item(Boolean, ItemCount, const FSCatalogInfo*, const FSRef*, const FSSpec*,
                   const HFSUniStr255*, void* ctx) {
    ++*static_cast<long*>(ctx);
    return false;
}

// The items of the shared tree of st.range(0) files: the files and their
// folders, one for each hundred.
long items_of(benchmark::State& st) {
    return st.range(0) + st.range(0) / 100;
}

// A walk of the shared tree in a child that asks `bitmap` of each item,
// counted by the callback; the child fails unless every item came.
void iterate_counting(benchmark::State& st, FSCatalogInfoBitmap bitmap) {
    const std::string& p = shared_tree(int(st.range(0)));
    for (auto _ : st) {
        report(st, in_child([&] {
                   FSRef r = ref_of(p);
                   long items = 0;
                   OSErr e = FSIterateContainer(&r, 0, bitmap, false, false, count_item, &items);
                   return e == noErr && items == items_of(st) ? 0 : 1;
               }));
    }
}

void BM_IterateContainer(benchmark::State& st) {
    iterate_counting(st, kFSCatInfoNone);
}
void BM_Find(benchmark::State& st) {
    const std::string& p = shared_tree(int(st.range(0)));
    for (auto _ : st) report(st, command({"find", p}));
}
// find printing each item's mode stats every item, as the walk must (node
// flags: the type and the immutable attribute come from the inode).
void BM_FindPrintf(benchmark::State& st) {
    const std::string& p = shared_tree(int(st.range(0)));
    for (auto _ : st) report(st, command({"find", p, "-printf", "%M %p\n"}));
}

// The fields of a line of `ls -l`: type and lock, mode and owner, size,
// modification date.
constexpr FSCatalogInfoBitmap kListingBitmap =
    kFSCatInfoNodeFlags | kFSCatInfoPermissions | kFSCatInfoDataSizes | kFSCatInfoContentMod;

// What a child counted, seen by the parent: shared memory made before the
// forks.
long* shared_counter() {
    static long* c = static_cast<long*>(
        ::mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return c;
}

struct InfoWalk {
    FSCatalogInfoBitmap bitmap;
    long items = 0;
    long failed = 0;
    long tableIds = 0;  // node IDs from the table's range
};

Boolean info_per_item(Boolean, ItemCount, const FSCatalogInfo*, const FSRef* ref, const FSSpec*,
                      const HFSUniStr255*, void* ctx) {
    auto* w = static_cast<InfoWalk*>(ctx);
    FSCatalogInfo ci{};
    if (FSGetCatalogInfo(ref, w->bitmap, &ci, nullptr, nullptr, nullptr) != noErr) ++w->failed;
    if ((w->bitmap & kFSCatInfoNodeID) != 0 && ci.nodeID >= 0x80000000u) ++w->tableIds;
    ++w->items;
    return false;
}

// A walk of the tree at `p` that asks FSGetCatalogInfo for `bitmap` on every
// item; 0 when every item answered.
int walk_asking(const std::string& p, FSCatalogInfoBitmap bitmap, long expected) {
    FSRef r = ref_of(p);
    InfoWalk w{bitmap};
    OSErr e = FSIterateContainer(&r, 0, kFSCatInfoNone, false, false, info_per_item, &w);
    *shared_counter() = w.tableIds;
    return e == noErr && w.failed == 0 && w.items == expected ? 0 : 1;
}

void BM_IterateContainerListing(benchmark::State& st) {
    iterate_counting(st, kListingBitmap);
}
void BM_GetCatalogInfo(benchmark::State& st) {
    const std::string& p = shared_tree(int(st.range(0)));
    for (auto _ : st)
        report(st, in_child([&] { return walk_asking(p, kListingBitmap, items_of(st)); }));
}

// A state directory of its own for a child: the child's ID tables.
std::string fresh_state() {
    std::string t = state_base() + "/vtbench-state-XXXXXX";
    if (::mkdtemp(t.data()) == nullptr) return "";
    return t;
}

// A walk asking every item's node ID in a child whose ID tables are in
// `state`; how many IDs came from the table goes to the counter table_ids.
Run node_ids_with(benchmark::State& st, const std::string& state) {
    const std::string& p = shared_tree(int(st.range(0)));
    *shared_counter() = 0;
    if (state.empty()) return Run{};  // no state directory: the run fails
    Run r = in_child([&] {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        return walk_asking(p, kFSCatInfoNodeID, items_of(st));
    });
    st.counters["table_ids"] = double(*shared_counter());
    return r;
}

void BM_NodeIdsFirstSight(benchmark::State& st) {
    for (auto _ : st) {
        const std::string state = fresh_state();
        report(st, node_ids_with(st, state));
        command({"rm", "-rf", state});
    }
}
void BM_NodeIdsSeen(benchmark::State& st) {
    const std::string state = fresh_state();
    if (node_ids_with(st, state).status != 0) st.SkipWithError("cannot fill the table");
    for (auto _ : st) report(st, node_ids_with(st, state));
    command({"rm", "-rf", state});
}

void BM_GetDirectoryItems(benchmark::State& st) {
    const std::string& p = shared_flat(int(st.range(0)));
    for (auto _ : st) {
        report(st, in_child([&] {
                   FSRef r = ref_of(p);
                   FSRef** h = nullptr;
                   ItemCount n = 0;
                   Boolean changed = false;
                   OSErr e = FSGetDirectoryItems(&r, &h, &n, &changed);
                   if (e == noErr) DisposeHandle(reinterpret_cast<Handle>(h));
                   return e == noErr && long(n) == st.range(0) ? 0 : 1;
               }));
    }
}
void BM_LsF(benchmark::State& st) {
    const std::string& p = shared_flat(int(st.range(0)));
    for (auto _ : st) report(st, command({"ls", "-f", p}));
}

#define SIZES Arg(10000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMillisecond)
BENCHMARK(BM_DeleteContainer)->SIZES->Iterations(2);
BENCHMARK(BM_RmRf)->SIZES->Iterations(2);
BENCHMARK(BM_IterateContainer)->SIZES->Iterations(5);
BENCHMARK(BM_Find)->SIZES->Iterations(5);
BENCHMARK(BM_FindPrintf)->SIZES->Iterations(5);
BENCHMARK(BM_IterateContainerListing)->SIZES->Iterations(5);
BENCHMARK(BM_GetCatalogInfo)->SIZES->Iterations(5);
BENCHMARK(BM_NodeIdsFirstSight)->SIZES->Iterations(3);
BENCHMARK(BM_NodeIdsSeen)->SIZES->Iterations(3);
BENCHMARK(BM_GetDirectoryItems)->SIZES->Iterations(5);
BENCHMARK(BM_LsF)->SIZES->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The shared trees go with `rm -rf` (not timed).
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%ld", long(::getpid()));
    for (const char* prefix : {"vtbench-tree-", "vtbench-flat-"}) {
        for (auto& e : fs::directory_iterator(base_dir())) {
            std::string name = e.path().filename();
            if (name.starts_with(prefix) && name.ends_with(suffix))
                command({"rm", "-rf", e.path().string()});
        }
    }
    return 0;
}
