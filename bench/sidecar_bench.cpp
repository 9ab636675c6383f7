// Renaming and deleting 10,000 files whose resource forks live in sidecars
// ("._NAME", two entries each), against the same 10,000 files without forks
// (one entry each), in one run. Each run renames every file once through
// FSRenameUnicode, then deletes every file through FSDeleteObject. The
// files (4 bytes of data; a 100-byte fork in the rows "with forks") are made
// outside the timing, and the references too.
//
// Counters: real time, and the process's CPU time (the machine is shared:
// CPU time is the steadier figure). The ratio of "with forks" to "without"
// is the cost of the second entry. Files live under $VANTREL_BENCH_DIR
// (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Sidecar.h"
#include "vantrel/Files.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 10000;

fs::path make_dir() {
    const char* b = std::getenv("VANTREL_BENCH_DIR");
    std::string t = std::string(b && *b ? b : "/tmp") + "/sidecar-bench.XXXXXX";
    if (::mkdtemp(t.data()) == nullptr) std::abort();
    return t;
}

std::vector<FSRef> make_files(const fs::path& dir, bool forks) {
    std::vector<FSRef> refs(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        const fs::path p = dir / ("file" + std::to_string(i));
        vtest::write_bytes(p, "data");
        if (forks) vtest::write_sidecar(p, std::string(100, 'r'));
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &refs[i], nullptr) != noErr)
            std::abort();
    }
    return refs;
}

template <class Op>
void run(benchmark::State& state, bool forks, Op op) {
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path dir = make_dir();
        std::vector<FSRef> refs = make_files(dir, forks);
        ::sync();
        state.ResumeTiming();
        for (int i = 0; i < kFiles; ++i)
            if (op(refs[i], i) != noErr) state.SkipWithError("an operation failed");
        state.PauseTiming();
        fs::remove_all(dir);
        state.ResumeTiming();
    }
}

OSErr rename_one(const FSRef& ref, int i) {
    const std::string n = "renamed" + std::to_string(i);
    std::vector<UniChar> u(n.begin(), n.end());
    return FSRenameUnicode(&ref, u.size(), u.data(), kTextEncodingUnknown, nullptr);
}

OSErr delete_one(const FSRef& ref, int) {
    return FSDeleteObject(&ref);
}

void BM_Rename(benchmark::State& state) {
    run(state, state.range(0) != 0, rename_one);
}
void BM_Delete(benchmark::State& state) {
    run(state, state.range(0) != 0, delete_one);
}

BENCHMARK(BM_Rename)
    ->ArgName("forks")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_Delete)
    ->ArgName("forks")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
