// The shared test support itself: helpers that fail loudly, a snapshot that
// sees every kind of damage, and the sweep's trials and their names.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "Child.h"
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

// Reading a file gives what could be read, and never throws: a file of
// /proc whose process has just exited fails its read (ESRCH), as a folder
// does (EISDIR), and the stream it was read with threw from its read, which
// ended a Samba test that looked through /proc for its server.
TEST(ReadFile, GivesWhatCouldBeReadAndNeverThrows) {
    vtest::TempDir t;
    t.write("file", "bytes");
    struct Row {
        std::string path;
        std::string expected;
    };
    const Row rows[] = {
        {(t.path() / "file").string(), "bytes"},
        {t.path().string(), ""},  // a folder: opened, and its read fails
        {(t.path() / "missing").string(), ""},
    };
    for (const Row& row : rows) {
        std::string got = "unset";
        EXPECT_NO_THROW(got = vtest::read_file(row.path)) << row.path;
        EXPECT_EQ(got, row.expected) << row.path;
    }
}

// Each kind of change shows in the diff, named; reading changes nothing.
// A body that throws ends its child with what it threw; the child never
// returns into the test program, which would run the remaining tests again.
TEST(RunChild, ABodyThatThrowsEndsTheChildAndSaysWhat) {
    const pid_t parent = ::getpid();
    auto result = vtest::run_child(vtest::Child::Plain, []() -> std::string {
        throw std::runtime_error("no such scratch file");
    });
    ASSERT_EQ(::getpid(), parent);
    ASSERT_TRUE(result.has_value());
    EXPECT_THAT(*result, ::testing::HasSubstr("no such scratch file"));
}

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

namespace {

// The string literals among the first argument of every call of the seam in
// the sources below `dir` (comments left out).
std::set<std::string> checked_names(const fs::path& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.path().extension() != ".cpp" && e.path().extension() != ".h") continue;
        std::string text;
        std::istringstream lines(vtest::read_file(e.path()));
        for (std::string line; std::getline(lines, line);) {
            const auto first = line.find_first_not_of(" \t");
            if (first != std::string::npos && line.compare(first, 2, "//") == 0) continue;
            text += line + "\n";
        }
        for (const char* call :
             {"fault::check(", "fault::check_errno(", "fault::step(", "fault::override_value("}) {
            for (std::size_t at = text.find(call); at != std::string::npos;
                 at = text.find(call, at + 1)) {
                int depth = 0;
                for (std::size_t i = at + std::strlen(call); i < text.size(); ++i) {
                    const char c = text[i];
                    if (c == '"') {
                        const std::size_t end = text.find('"', i + 1);
                        out.insert(text.substr(i + 1, end - i - 1));
                        i = end;
                    } else if (c == '(') {
                        ++depth;
                    } else if ((c == ')' || c == ',') && depth-- == 0) {
                        break;
                    }
                }
            }
        }
    }
    return out;
}

}  // namespace

// Every name a library checks is registered (so that arming it is allowed
// and its check cannot stop the process), and every registered name is
// still written somewhere in the sources (none outlives its check).
TEST(FaultRegistry, EveryCheckedNameIsRegisteredAndEveryRegisteredNameIsChecked) {
    const char* src = std::getenv("VANTREL_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    std::set<std::string> checked;
    std::string sources;
    for (const char* lib : {"platform/src", "strings/src", "filemanager/src"}) {
        for (const std::string& n : checked_names(fs::path(src) / lib)) checked.insert(n);
        for (const auto& e : fs::recursive_directory_iterator(fs::path(src) / lib)) {
            if (!e.is_regular_file()) continue;
            // Everything but the registrations themselves, which may run over
            // several lines: a name found only there is never checked.
            std::istringstream lines(vtest::read_file(e.path()));
            bool registering = false;
            for (std::string line; std::getline(lines, line);) {
                if (line.find("VANTREL_FAULT_OPERATIONS") != std::string::npos) registering = true;
                if (!registering) sources += line;
                if (registering && line.find(");") != std::string::npos) registering = false;
            }
        }
    }
    EXPECT_GT(checked.size(), 80u) << "the sources were not read";
    for (const std::string& n : checked) EXPECT_TRUE(vf::registered(n)) << n;
    for (const std::string& n : vf::registered_names()) {
        if (n.starts_with("Test.")) continue;  // this file's own
        EXPECT_NE(sources.find("\"" + n + "\""), std::string::npos) << n << " is never checked";
    }
}
