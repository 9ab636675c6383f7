// What the fault seam costs when nothing is armed: File Manager calls in
// tight loops, one check each (FSGetCatalogInfo, FSPathMakeRef) or one per
// bulk request and level (FSIterateContainer over 10,000 files). The peer is
// the same program built with VANTREL_UNTESTABLE, where every check compiles
// to nothing; bench/seam_bench.sh runs both builds in turn and prints the
// ratio of their CPU times. Trees live under $VANTREL_BENCH_DIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vantrel/FSUtilities.h"

namespace {

// A scratch tree made once for the process: 100 directories of 100 files.
const std::string& tree() {
    static const std::string root = [] {
        const char* b = std::getenv("VANTREL_BENCH_DIR");
        std::string r =
            std::string(b && *b ? b : "/tmp") + "/seam_bench." + std::to_string(::getpid());
        ::mkdir(r.c_str(), 0755);
        for (int d = 0; d < 100; ++d) {
            const std::string dp = r + "/d" + std::to_string(d);
            ::mkdir(dp.c_str(), 0755);
            for (int f = 0; f < 100; ++f) {
                const int fd = ::open((dp + "/f" + std::to_string(f)).c_str(),
                                      O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                if (fd >= 0) ::close(fd);
            }
        }
        std::atexit([] { std::filesystem::remove_all(tree()); });
        return r;
    }();
    return root;
}

FSRef ref_of(const std::string& p, benchmark::State& st) {
    FSRef r{};
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &r, nullptr) != noErr)
        st.SkipWithError(("no reference for " + p).c_str());
    return r;
}

void BM_GetCatalogInfo(benchmark::State& st) {
    FSRef f = ref_of(tree() + "/d7/f7", st);
    FSCatalogInfo info;
    for (auto _ : st) {
        OSErr e = FSGetCatalogInfo(&f, kFSCatInfoNodeFlags | kFSCatInfoDataSizes, &info, nullptr,
                                   nullptr, nullptr);
        benchmark::DoNotOptimize(e);
    }
}

void BM_PathMakeRef(benchmark::State& st) {
    const std::string p = tree() + "/d7/f7";
    FSRef r;
    for (auto _ : st) {
        OSErr e = FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &r, nullptr);
        benchmark::DoNotOptimize(e);
    }
}

Boolean count(Boolean, ItemCount, const FSCatalogInfo*, const FSRef*, const FSSpec*,
              const HFSUniStr255*, void* n) {
    ++*static_cast<long*>(n);
    return false;
}

void BM_IterateContainer(benchmark::State& st) {
    FSRef top = ref_of(tree(), st);
    long items = 0;
    for (auto _ : st) {
        items = 0;
        if (FSIterateContainer(&top, 0, 0, false, false, count, &items) != noErr)
            st.SkipWithError("the walk failed");
    }
    st.counters["items"] = static_cast<double>(items);
}

}  // namespace

BENCHMARK(BM_GetCatalogInfo);
BENCHMARK(BM_PathMakeRef);
BENCHMARK(BM_IterateContainer)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
