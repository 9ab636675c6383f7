// The pane's two costs a user can feel, each beside its floor in the same
// run:
//   Click        one check-box click: record the boolean and synchronise the
//                domain (lock, re-read, write a temporary file, fsync, rename,
//                fsync the directory).
//   WriteFloor   writing the same domain file's bytes straight over it and
//                fsyncing it: the least any durable click could cost.
//   ReplaceFloor the same bytes by the least crash-safe replacement: write a
//                temporary file, fsync, rename over, fsync the directory.
//   WillSelect   showing the pane: twelve preference reads and the label.
//   ReadFloor    opening, reading and parsing the same file with libplist.
// VANTREL_BENCH_BUS=1 opens the notification centre's connection first (see
// Setup); bench/README.md says how the two runs are compared.
// The pane is loaded from Vantrel.prefPane as the host loads it
// ($VANTREL_PANE_BUNDLE, or ../pane/Vantrel.prefPane beside this program's
// directory).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "TempDir.h"
#include "vantrel/CFNotificationCenter.h"
#include "vantrel/PreferencePanes.h"

namespace {

namespace fs = std::filesystem;

std::string bundle_path() {
    if (const char* b = std::getenv("VANTREL_PANE_BUNDLE")) return b;
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
            "pane/Vantrel.prefPane")
        .string();
}

struct Setup {
    vtest::TempDir dir{"panebench"};
    std::unique_ptr<vantrel::host::LoadedPane> pane;
    fs::path file;
    Setup() {
        ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        std::string err;
        pane = vantrel::host::LoadedPane::load(bundle_path(), &err);
        if (!pane || !pane->loadMainView(&err)) {
            std::fprintf(stderr, "pane_bench: %s\n", err.c_str());
            std::exit(1);
        }
        // With VANTREL_BENCH_BUS=1 the notification centre's connection is
        // open (its handshake finished) for the whole run, as in a host:
        // run once with and once without to see what keeping it costs
        // willSelect and a click.
        if (const char* bus = std::getenv("VANTREL_BENCH_BUS");
            bus && *bus == '1' &&
            !CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter())) {
            std::fprintf(stderr, "pane_bench: VANTREL_BENCH_BUS=1 but no session bus\n");
            std::exit(1);
        }
        pane->select();
        // A realistic domain: all twelve options stored.
        for (NSButton* b : pane->checkBoxes()) pane->click(b);
        file = dir.path() / "com.ashgrove.Vantrel.plist";
    }
};

Setup& setup() {
    static Setup* s = new Setup;
    return *s;
}

void Click(benchmark::State& state) {
    Setup& s = setup();
    NSButton* box = s.pane->checkBoxTitled("Duration");
    for (auto _ : state) s.pane->click(box);
}
BENCHMARK(Click)->UseRealTime();

void WriteFloor(benchmark::State& state) {
    Setup& s = setup();
    std::string bytes = vtest::read_file(s.file);
    for (auto _ : state) {
        int fd = ::open(s.file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0 ||
            ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            ::fsync(fd) != 0)
            state.SkipWithError("write failed");
        ::close(fd);
    }
}
BENCHMARK(WriteFloor)->UseRealTime();

void ReplaceFloor(benchmark::State& state) {
    Setup& s = setup();
    std::string bytes = vtest::read_file(s.file);
    std::string tmp = s.file.string() + ".tmp";
    for (auto _ : state) {
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 ||
            ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            ::fsync(fd) != 0 || ::rename(tmp.c_str(), s.file.c_str()) != 0)
            state.SkipWithError("replace failed");
        ::close(fd);
        int dfd = ::open(s.dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(dfd);
        ::close(dfd);
    }
}
BENCHMARK(ReplaceFloor)->UseRealTime();

void WillSelect(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) s.pane->select();
}
BENCHMARK(WillSelect)->UseRealTime();

void ReadFloor(benchmark::State& state) {
    Setup& s = setup();
    char buf[65536];
    for (auto _ : state) {
        int fd = ::open(s.file.c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t n = ::read(fd, buf, sizeof buf);
        ::close(fd);
        plist_t p = nullptr;
        plist_from_xml(buf, static_cast<uint32_t>(n > 0 ? n : 0), &p);
        benchmark::DoNotOptimize(p);
        plist_free(p);
    }
}
BENCHMARK(ReadFloor)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
