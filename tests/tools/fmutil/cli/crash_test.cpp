// fmutil killed at every step of each command that changes more than one
// object: afterwards each name is wholly as before or wholly as after, and
// so it is after the next command meets the folder, with no temporary left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Child.h"
#include "CrashSweep.h"
#include "LoopImage.h"
#include "SmallVolume.h"
#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::run;

namespace {

void must(const std::vector<std::string>& args) {
    const fmtest::Result r = run(args);
    ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
}

// Two files with everything a Mac file has, a third to copy from, a fork's
// bytes and a folder; every time fixed, so a time a command sets is seen.
void make_fixture(const fs::path& d) {
    struct File {
        const char* name;
        const char* data;
        const char* fork;
        const char* comment;
        const char* type;
        mode_t mode;
    };
    for (const File& f : {File{"A", "alpha data", "fork of A", "comment of A", "AAAA", 0640},
                          File{"B", "bravo data!", "the fork of B", "comment of B", "BBBB", 0600},
                          File{"S", "source data", "fork of S", "comment of S", "SSSS", 0644}}) {
        const fs::path p = d / f.name;
        vtest::write_file(d / "fork", f.fork);
        vtest::write_file(p, f.data);
        must({"rsrc", p, "--set", d / "fork"});
        must({"comment", p, "--set", f.comment});
        must({"type", p, "--type", f.type, "--creator", "vtst"});
        must({"flags", p, "+customicon"});
        ASSERT_EQ(::chmod(p.c_str(), f.mode), 0);
    }
    vtest::write_file(d / "fork", "the new fork, longer than the old ones");
    fs::create_directory(d / "sub");
    vtest::write_file(d / "sub" / "T", "tango data");
    must({"rsrc", d / "sub" / "T", "--set", d / "fork"});
    must({"comment", d / "sub" / "T", "--set", "comment of T"});
    const timespec times[2] = {{1'000'000'000, 111}, {1'100'000'000, 222}};
    for (const auto& e : fs::recursive_directory_iterator(d))
        if (!e.is_directory()) ::utimensat(AT_FDCWD, e.path().c_str(), times, AT_SYMLINK_NOFOLLOW);
}

struct Row {
    const char* what;
    std::vector<std::string> args;  // "@" stands for the fixture's folder
    bool wholeAtKill = true;        // see vtest::CrashRow
    // The command a user runs next on what a kill left, before the listings
    // (none: the listings alone).
    std::vector<std::string> again = {};
    // What the user runs next after the listings, "@" as in `args`: a
    // change to one inode is finished by the next read of that file.
    std::vector<std::string> next = {};
    // Added to the command's environment (a switch of the fault seam).
    std::vector<std::string> env = {};
    // Run on the fixture before the sweep copies it, "@" as in `args`.
    std::vector<std::string> setup = {};
    // The fixture has a second, empty folder on another volume, which "^"
    // stands for in `args`.
    bool otherVolume = false;
};

// The volume says it has no exchange in one step: the exchange by names.
const std::vector<std::string> kNoExchange = {
    "VANTREL_FAULT_OVERRIDES=PBHGetVolParmsSync.exchange=0"};

std::vector<std::string> in(const fs::path& d, const std::vector<std::string>& args,
                            const fs::path& other = {}) {
    std::vector<std::string> out;
    for (const std::string& a : args) {
        if (a.starts_with("@"))
            out.push_back(d.string() + a.substr(1));
        else if (a.starts_with("^") && !other.empty())
            out.push_back(other.string() + a.substr(1));
        else
            out.push_back(a);
    }
    return out;
}

// A folder on a volume other than the fixtures' (the shared-memory tmpfs),
// or "" (with why in `*skip`) when there is none.
fs::path other_volume(const vtest::TempDir& here, std::unique_ptr<vtest::TempDir>* made,
                      std::string* skip) {
    if (vtest::small_volume_base().empty()) {
        *skip = "/dev/shm is no tmpfs of its own that keeps user attributes";
        return {};
    }
    made->reset(new vtest::TempDir(vtest::small_volume_dir("fmcrash-vol")));
    struct stat a {
    }, b{};
    if (::stat(here.path().c_str(), &a) != 0 || ::stat((*made)->path().c_str(), &b) != 0 ||
        a.st_dev == b.st_dev) {
        *skip = "the scratch folder is on /dev/shm itself: no second volume";
        return {};
    }
    return (*made)->path();
}

// Sweeps each row on its own fixture; returns the kill points tried.
long sweep_rows(const std::vector<Row>& rows) {
    vtest::TempDir t("fmcrash");
    std::unique_ptr<vtest::TempDir> volume;
    fs::path other;
    for (const Row& row : rows) {
        if (!row.otherVolume || !other.empty()) continue;
        std::string skip;
        other = other_volume(t, &volume, &skip);
        if (other.empty()) {
            ADD_FAILURE() << row.what << ": " << skip;
            return 0;
        }
    }
    // The fixture in `d`'s second folder, on the other volume.
    auto beside = [base = t.path(), other](const fs::path& d) {
        return other / fs::relative(d, base);
    };
    std::vector<vtest::CrashSweep> sweeps;
    std::vector<vtest::CrashRow> crashRows;
    for (const Row& row : rows) {
        sweeps.emplace_back(t.path() / std::to_string(sweeps.size() + 1));
        auto elsewhere = [&row, beside](const fs::path& d) {
            return row.otherVolume ? beside(d) : fs::path();
        };
        crashRows.push_back({
            .make =
                [&row](const fs::path& d) {
                    make_fixture(d);
                    if (!row.setup.empty()) must(in(d, row.setup));
                },
            .op =
                [&row, elsewhere](const fs::path& d, long n) {
                    const std::vector<std::string> args = in(d, row.args, elsewhere(d));
                    const fmtest::Result r =
                        n == 0 ? fmtest::run_program(FMUTIL_PATH, args, false, row.env)
                               : fmtest::run_killed_at(n, args, row.env);
                    if (r.status == 128 + SIGKILL) return true;
                    EXPECT_EQ(r.status, 0) << r.err;
                    return false;
                },
            // The next command to meet the folders: a listing of each. What
            // it recovers is its own change, never reported as another's.
            .recover =
                [&row, elsewhere](const fs::path& d) {
                    if (!row.again.empty()) {
                        const fmtest::Result r = run(in(d, row.again));
                        EXPECT_EQ(r.status, 0) << r.err;
                    }
                    const fs::path o = elsewhere(d);
                    for (const fs::path& p : {d, d / "sub", d / "copy", o, o / "sub"}) {
                        if (p.empty() || !fs::is_directory(p)) continue;
                        const fmtest::Result r = run({"ls", p});
                        EXPECT_EQ(r.status, 0);
                        EXPECT_EQ(r.err, "") << p;
                    }
                    if (row.next.empty()) return;
                    const fmtest::Result r = run(in(d, row.next));
                    EXPECT_EQ(r.status, 0);
                    EXPECT_EQ(r.err, "") << row.next[0];
                },
            .wholeAtKill = row.wholeAtKill,
            .what = row.what,
            .beside = row.otherVolume ? std::function<fs::path(const fs::path&)>(beside)
                                      : std::function<fs::path(const fs::path&)>(),
        });
    }
    return vtest::CrashSweep::run_together(sweeps, crashRows);
}

// The commands swept, in groups of about equal time: each group is a test
// case of its own, so that a parallel run of the suite shares them out, and
// the rows of a group share the one second's pause between their reference
// runs.
struct Group {
    const char* name;
    std::vector<Row> rows;
};

const std::vector<Group>& groups() {
    static const std::vector<Group> kGroups = {
        {"swaps",
         {
             // Two files, their metadata and their sidecars: whole once the
             // journal is recovered.
             {"swap", {"swap", "@/A", "@/B"}, false},
             // Where the file system has no exchange: links and renames
             // through private names, journalled; between two folders too.
             {"swap by names", {"swap", "@/A", "@/B"}, false, {}, {}, kNoExchange},
             {"swap by names between folders",
              {"swap", "@/A", "@/sub/T"},
              false,
              {},
              {},
              kNoExchange},
         }},
        {"attributes",
         {
             {"rsrc --set", {"rsrc", "@/A", "--set", "@/fork"}},
             {"copy-attrs", {"copy-attrs", "@/S", "@/A"}, false},
             {"flags, several words",
              {"flags", "@/A", "+invisible", "+stationery", "-customicon", "label=red"},
              false},
             {"type and creator", {"type", "@/A", "--type", "TTTT", "--creator", "tttt"}, false},
             // The record, the dates attribute and the inode's times, one
             // after another on one inode, under an intent on that inode:
             // whole at the next read of the file (no journal, which would
             // change the folder's date).
             {"touch, three dates",
              {"touch", "@/A", "--date", "2001-02-03T04:05:06Z", "--created", "--modified",
               "--backup"},
              false,
              {},
              {"info", "@/A"}},
         }},
        {"moves_and_copies",
         {
             // A file and its sidecar, one rename each: the next listing of
             // the folder left finishes what a kill cut in two.
             {"mv within a folder", {"mv", "@/A", "@/C"}, false},
             {"mv between folders", {"mv", "@/A", "@/sub"}, false},
             // The sidecar takes its name right after its file.
             {"cp", {"cp", "@/S", "@/sub"}, false},
             // Under a new name, which the copy takes directly: no other
             // name for it ever shows.
             {"cp under a new name", {"cp", "@/S", "@/sub", "N"}, false},
             // The copy is made and filled under a private name, and named
             // in one rename once whole; the next listing removes one a kill
             // left.
             {"cp -r", {"cp", "-r", "@/sub", "@", "copy"}, false},
             // The copy is made where no one sees it and takes the file's
             // place in one rename; its sidecar follows, or the next listing
             // makes it.
             {"cp --replace", {"cp", "@/S", "--replace", "@/B"}, false},
         }},
        {"conversions",
         {
             // Each file's values reach their new place before the old go: a
             // kill leaves them in either or both, and convert run again
             // finishes the move.
             {"convert --to stream",
              {"convert", "--to", "stream", "@"},
              false,
              {"convert", "--to", "stream", "@"}},
             // Back from Samba's streams: the record and the sidecar are
             // written before the streams go.
             {"convert --to netatalk from stream",
              {"convert", "--to", "netatalk", "@"},
              false,
              {"convert", "--to", "netatalk", "@"},
              {},
              {},
              {"convert", "--to", "stream", "@"}},
             // A name decomposed: the file's rename, then its sidecar's; the
             // next listing of the folder finishes what a kill cut in two.
             {"convert --names nfd",
              {"convert", "--names", "nfd", "@"},
              false,
              {},
              {},
              {},
              {"mv", "@/A", "@/caf\xc3\xa9"}},
         }},
    };
    return kGroups;
}

class FmutilCrashSweep : public ::testing::TestWithParam<std::size_t> {};

}  // namespace

TEST_P(FmutilCrashSweep, EveryNameIsOldOrNewAtEveryKillAndAfterTheNextCommand) {
    const long points = sweep_rows(groups().at(GetParam()).rows);
    RecordProperty("kill_points", static_cast<int>(points));
}

INSTANTIATE_TEST_SUITE_P(Commands, FmutilCrashSweep,
                         ::testing::Range<std::size_t>(0, groups().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return std::string(groups()[info.param].name);
                         });

namespace {

std::vector<Row> other_volume_rows() {
    Row file{"mv to another volume", {"mv", "@/A", "^/"}, false};
    file.otherVolume = true;
    Row tree{"mv of a folder to another volume", {"mv", "@/sub", "^/"}, false};
    tree.otherVolume = true;
    return {file, tree};
}

bool has_other_volume(std::string* skip) {
    vtest::TempDir here("fmcrash");
    std::unique_ptr<vtest::TempDir> there;
    return !other_volume(here, &there, skip).empty();
}

class FmutilCrashOn : public ::testing::TestWithParam<const vtest::FileSystemKind*> {};

}  // namespace

// A move to another volume is a whole copy, then the source's deletion: at
// every kill each name, in the folder left and in the one reached, is old
// or new, and the next listings leave no litter in either.
TEST(FmutilCrash, AMoveToAnotherVolumeLeavesEveryNameOldOrNew) {
    if (std::string skip; !has_other_volume(&skip)) GTEST_SKIP() << skip;
    const long points = sweep_rows(other_volume_rows());
    RecordProperty("kill_points", static_cast<int>(points));
}

// The same, with the fixtures on each file system a server keeps files on
// besides the scratch folder's own (mounted from a fresh image in a private
// mount namespace), moved to the shared-memory tmpfs: each reads, copies
// and times its files in ways of its own (reflinks, its own atime rules).
TEST_P(FmutilCrashOn, AMoveToAnotherVolumeLeavesEveryNameOldOrNew) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    if (std::string skip; !has_other_volume(&skip)) GTEST_SKIP() << skip;
    vtest::TempDir t("fmcrash");
    const fs::path base = fs::canonical(t.path());
    t.mkdir("vol");
    const auto result = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        if (std::string why = vtest::mount_fresh(*GetParam(), base / "img", base / "vol");
            !why.empty())
            return "SKIP " + why;
        ::setenv("TMPDIR", (base / "vol").c_str(), 1);
        return vtest::failures_of([] { sweep_rows(other_volume_rows()); });
    });
    ASSERT_TRUE(result.has_value()) << vtest::kNeedsPrivateMounts;
    if (result->starts_with("SKIP ")) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ(*result, "");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, FmutilCrashOn,
                         ::testing::Values(&vtest::kXfs, &vtest::kBtrfs),
                         [](const ::testing::TestParamInfo<const vtest::FileSystemKind*>& info) {
                             return std::string(info.param->name);
                         });

// A move to another folder killed between the file's rename and its
// sidecar's leaves "._A" in the folder left. A change that meets it before
// any listing does, and would clear it as an orphan (a new file copied to
// the old name), first recovers the journal: the fork goes to its file in
// the other folder, and the new file gets its own. It was once deleted.
TEST(FmutilCrash, AForkLeftByAMoveIsFinishedNotClearedByTheNextChangeToItsName) {
    vtest::TempDir t("fmcrash");
    struct Next {
        const char* what;
        std::vector<std::string> args;  // "@" stands for the folder
    };
    for (const Next& next : {Next{"a copy takes the old name", {"cp", "@/S", "@", "A"}},
                             Next{"a rename takes the old name", {"mv", "@/B", "@/A"}}}) {
        SCOPED_TRACE(next.what);
        bool cut = false;
        for (long n = 1; n < 40 && !cut; ++n) {
            const fs::path d = t.path() / (std::string(next.args[0]) + std::to_string(n));
            fs::create_directories(d);
            make_fixture(d);
            if (::testing::Test::HasFatalFailure()) return;
            const fmtest::Result r = fmtest::run_killed_at(n, in(d, {"mv", "@/A", "@/sub"}));
            if (r.status != 128 + SIGKILL) break;  // ran to its end: no cut found
            if (!fs::exists(d / "sub" / "A") || !fs::exists(d / "._A")) continue;
            cut = true;
            must(in(d, next.args));
            EXPECT_EQ(run({"rsrc", d / "sub" / "A"}).out, "fork of A");
            EXPECT_EQ(run({"rsrc", d / "A"}).out,
                      next.args[0] == "cp" ? "fork of S" : "the fork of B");
        }
        EXPECT_TRUE(cut) << "no kill point between the file's rename and its sidecar's";
    }
}

// The same cut, and then the folder the file went to is renamed or moved
// by another program before the folder left is listed again. The next
// listing finds that folder by its device and inode, wherever it went
// nearby, and the fork joins its file there; a copy to the old name then
// gets a fork of its own. The journal was once dropped as stale, and the
// copy then cleared the moving fork as an orphan.
TEST(FmutilCrash, AForkLeftByAMoveFindsItsFileInTheFolderRenamedSince) {
    vtest::TempDir t("fmcrash");
    struct Then {
        const char* what;
        const char* to;  // where "sub" goes, below the fixture's folder
    };
    for (const Then& then :
         {Then{"renamed in its parent", "sub2"}, Then{"moved one level down", "deeper/sub"}}) {
        SCOPED_TRACE(then.what);
        bool cut = false;
        for (long n = 1; n < 40 && !cut; ++n) {
            const fs::path d = t.path() / (std::string(then.to).substr(0, 4) + std::to_string(n));
            fs::create_directories(d);
            make_fixture(d);
            if (::testing::Test::HasFatalFailure()) return;
            const fmtest::Result r = fmtest::run_killed_at(n, in(d, {"mv", "@/A", "@/sub"}));
            if (r.status != 128 + SIGKILL) break;
            if (!fs::exists(d / "sub" / "A") || !fs::exists(d / "._A")) continue;
            cut = true;
            fs::create_directories(d / "deeper");
            fs::rename(d / "sub", d / then.to);
            EXPECT_EQ(run({"ls", d}).status, 0);
            must(in(d, {"cp", "@/S", "@", "A"}));
            EXPECT_EQ(run({"rsrc", d / then.to / "A"}).out, "fork of A");
            EXPECT_EQ(run({"rsrc", d / "A"}).out, "fork of S");
        }
        EXPECT_TRUE(cut) << "no kill point between the file's rename and its sidecar's";
    }
}
