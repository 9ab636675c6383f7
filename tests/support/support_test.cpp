// The shared test support itself: helpers that fail loudly, a snapshot that
// sees every kind of damage, and the sweep's trials and their names.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "FaultSweep.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;
namespace vf = vantrel::fault;

// Names the fake operation below checks.
VANTREL_FAULT_OPERATIONS("Test.open", "Test.write", "Test.close");

TEST(TempDir, FailsTheTestInsteadOfWorkingInTheCurrentDirectory) {
    ::setenv("TMPDIR", "/nonexistent-vantrel-scratch", 1);
    EXPECT_THROW(vtest::TempDir t, std::runtime_error);
    ::unsetenv("TMPDIR");
    vtest::TempDir t;
    t.write("file", "x");
    EXPECT_NONFATAL_FAILURE(t.write("file/below", "y"), "cannot write");
    EXPECT_NONFATAL_FAILURE(t.mkdir("file/dir"), "TempDir: cannot make");
}

// Each kind of change shows in the diff, named; reading changes nothing.
TEST(Snapshot, TheDiffNamesEveryKindOfChange) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> change;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"nothing", [](const fs::path&) {}, ""},
        {"contents", [](const fs::path& r) { std::ofstream(r / "f", std::ios::binary) << "other"; },
         "changed: f content mtime\n"},
        {"an attribute's value",
         [](const fs::path& r) { ::lsetxattr((r / "f").c_str(), "user.x", "2", 1, 0); },
         "changed: f xattrs(user.x)\n"},
        {"a new attribute",
         [](const fs::path& r) { ::lsetxattr((r / "f").c_str(), "user.y", "", 0, 0); },
         "changed: f xattrs(user.y new)\n"},
        {"mode", [](const fs::path& r) { ::chmod((r / "f").c_str(), 0600); },
         "changed: f mode(100640->100600)\n"},
        {"modification time, one nanosecond",
         [](const fs::path& r) {
             struct stat st;
             ::lstat((r / "f").c_str(), &st);
             timespec ts[2] = {st.st_atim, st.st_mtim};
             ts[1].tv_nsec = (ts[1].tv_nsec + 1) % 1'000'000'000;
             ::utimensat(AT_FDCWD, (r / "f").c_str(), ts, AT_SYMLINK_NOFOLLOW);
         },
         "changed: f mtime\n"},
        {"a name's bytes",
         [](const fs::path& r) { fs::rename(r / "r\xe9sum\xe9", r / "r\xc3\xa9sum\xc3\xa9"); },
         "gone: r\\xe9sum\\xe9\nnew: r\\xc3\\xa9sum\\xc3\\xa9\n"},
        {"a link's target",
         [](const fs::path& r) {
             fs::remove(r / "l");
             fs::create_symlink("elsewhere", r / "l");
         },
         "changed: l content mtime\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir t;
        const fs::path f = t.write("f", "data");
        ::chmod(f.c_str(), 0640);
        ASSERT_EQ(::lsetxattr(f.c_str(), "user.x", "1", 1, 0), 0);
        t.write("r\xe9sum\xe9", "mac roman name");
        fs::create_symlink("f", t / "l");
        const vtest::Snapshot before = vtest::snapshot(t.path());
        EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path())), "") << "reading changes nothing";
        row.change(t.path());
        EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path())), row.expected);
    }
}

TEST(Snapshot, LocksOwnersAndWhatIsLost) {
    vtest::TempDir t;
    const fs::path f = t.write("d/f", "data");
    ASSERT_EQ(::lsetxattr(f.c_str(), "user.org.netatalk.ResourceFork", "rsrc", 4, 0), 0);
    const vtest::Snapshot before = vtest::snapshot(t.path());
    if (vtest::set_immutable(f, true)) {
        EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path())), "changed: d/f locked\n");
        vtest::set_immutable(f, false);
    }
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown(f.c_str(), 1234, 1234), 0);
        EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path())), "changed: d/f owner\n");
    }
    // Under another name nothing is lost; gone, it is.
    fs::rename(f, t / "d/5176747A");
    EXPECT_EQ(vtest::lost(before, vtest::snapshot(t.path())), "");
    fs::remove(t / "d/5176747A");
    EXPECT_EQ(vtest::lost(before, vtest::snapshot(t.path())),
              "lost: d/f (data fork)\nlost: d/f (resource fork)\n");
    EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path()), true), "") << "gone is fine";
}

namespace {

// A fake operation of three calls whose close is ignored by design.
OSErr fake_operation() {
    if (OSErr e = vf::check("Test.open")) return e;
    if (OSErr e = vf::check("Test.write", "payload")) return e;
    vf::Benign benign;
    (void)vf::check("Test.close");
    return noErr;
}

}  // namespace

// Every call, every class, both modes; a benign failure alone is clean.
TEST(FaultSweep, TriesEveryCallWithEveryClassInBothModes) {
    std::vector<std::tuple<long, OSErr, bool, std::string, bool>> seen;
    vtest::FaultSweep sweep;
    const long trials = sweep.run([&](vtest::FaultTrial& t) {
        vf::check("Test.open");  // the fixture: not counted
        const OSErr e = t.inject(fake_operation);
        seen.emplace_back(t.n(), t.error_class(), t.persistent(),
                          t.log().empty() ? "" : t.log().front().op, t.clean());
        if (t.clean())
            EXPECT_EQ(e, noErr);
        else
            EXPECT_EQ(e, t.error_class());
    });
    EXPECT_EQ(trials, 4 * 2 * 4) << "three calls, then a run without a fault";
    ASSERT_EQ(seen.size(), 32u);
    EXPECT_EQ(seen[0], std::make_tuple(1L, OSErr(ioErr), false, std::string("Test.open"), false));
    EXPECT_EQ(seen[2], std::make_tuple(3L, OSErr(ioErr), false, std::string("Test.close"), true));
    EXPECT_EQ(seen[3], std::make_tuple(4L, OSErr(ioErr), false, std::string(), true));
    EXPECT_EQ(seen[5], std::make_tuple(2L, OSErr(ioErr), true, std::string("Test.write"), false));
    EXPECT_EQ(seen[28],
              std::make_tuple(1L, OSErr(memFullErr), true, std::string("Test.open"), false));
}

// A trial that fails says which call failed, with what, in which mode.
TEST(FaultSweep, AFailingTrialSaysWhatWasInjectedWhere) {
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        vtest::FaultSweep sweep;
        sweep.run([&](vtest::FaultTrial& t) {
            t.inject(fake_operation);
            EXPECT_TRUE(t.log().empty() || t.log().front().op != "Test.write") << "the defect";
        });
    }
    ASSERT_EQ(failures.size(), 8) << "one trial per class and mode";
    EXPECT_THAT(failures.GetTestPartResult(0).message(),
                ::testing::HasSubstr("fault trial: call 2 of 2, Test.write \"payload\" (its call "
                                     "1), ioErr (-36), transient"));
    EXPECT_THAT(failures.GetTestPartResult(7).message(),
                ::testing::HasSubstr("fault trial: call 2 of 2, Test.write \"payload\" (its call "
                                     "1), memFullErr (-108), persistent"));
}
