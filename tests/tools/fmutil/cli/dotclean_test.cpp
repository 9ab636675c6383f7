// fmutil dot-clean on real trees: what each "._" file holds ends up where
// the volume's layout keeps it, the "._" file goes where the layout has no
// use for it, and a kill at any step loses nothing (the command run again
// finishes the work).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "CrashSweep.h"
#include "Sidecar.h"
#include "SyscallCount.h"
#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::run;
using testing::HasSubstr;

namespace {

constexpr const char* kAfpInfo = "user.DosStream.AFP_AfpInfo:$DATA";
constexpr const char* kAfpResource = "user.DosStream.AFP_Resource:$DATA";
constexpr const char* kQuarantine = "user.DosStream.com.apple.quarantine:$DATA";

fmtest::Result run_in(const std::string& layout, const std::vector<std::string>& args) {
    return fmtest::run_program(FMUTIL_PATH, args, false, {"VANTREL_MAC_LAYOUT=" + layout});
}

// The attribute's value, or "<absent>".
std::string xattr(const fs::path& p, const char* name) {
    std::string buf(70000, '\0');
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf.data(), buf.size());
    return n < 0 ? std::string("<absent>") : buf.substr(0, std::size_t(n));
}

std::string finder(const char* typeCreator) {
    std::string f(32, '\0');
    std::memcpy(f.data(), typeCreator, 8);
    return f;
}

// A "._" file macOS wrote for `file`: type and creator, a quarantine
// attribute and a fork.
void mac_dot(const fs::path& file, const char* typeCreator, const std::string& quarantine,
             const std::string& fork) {
    vtest::write_bytes(vtest::sidecar_path(file),
                       vtest::macos_sidecar_bytes(finder(typeCreator),
                                                  {{"com.apple.quarantine", quarantine}}, fork));
}

void set_mtime(const fs::path& p, time_t sec) {
    const timespec ts[2] = {{sec, 0}, {sec, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << p;
}

bool there(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

// What a macOS "._" file holds goes where each layout keeps it, and what
// fmutil shows of the file is the same before and after.
TEST(FmutilDotClean, MergesMacOSDotUnderscoreFilesIntoEachLayout) {
    struct Row {
        const char* layout;
        std::string fork;
        bool dotStays;         // "._NAME" is the layout's home for the fork
        bool forkInStream;     // the fork is in the AFP_Resource stream
        bool afpInfoInStream;  // the Finder information is in the AfpInfo stream (and no record)
    };
    const std::vector<Row> rows{
        {"netatalk", "the fork", true, false, false},
        {"netatalk", "", false, false, false},
        {"stream+file", "the fork", true, false, true},
        {"stream", "the fork", false, true, true},
        {"stream", "", false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.layout) + (row.fork.empty() ? ", no fork" : ", a fork"));
        vtest::TempDir t("fmdot");
        const auto sub = t.mkdir("a folder/deeper");
        const auto f = t.write("a folder/deeper/from a Mac.txt", "data");
        mac_dot(f, "TEXTttxt", "0083;5f3a1b2c;Safari;", row.fork);
        const auto before = run_in(row.layout, {"info", f});
        ASSERT_EQ(before.status, 0) << before.err;
        EXPECT_THAT(before.out, HasSubstr("type        TEXT\n"));

        const auto r = run_in(row.layout, {"dot-clean", "-v", t.path()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr(vtest::sidecar_path(f).string()));

        EXPECT_EQ(xattr(f, kQuarantine), std::string("0083;5f3a1b2c;Safari;") + '\0');
        if (row.afpInfoInStream) {
            EXPECT_EQ(xattr(f, "user.org.netatalk.Metadata"), "<absent>");
        } else {
            EXPECT_EQ(vtest::record_finder_info(f), finder("TEXTttxt"));
        }
        const std::string afp = xattr(f, kAfpInfo);
        if (row.afpInfoInStream) {
            ASSERT_EQ(afp.size(), 61u);
            EXPECT_EQ(afp.substr(16, 32), finder("TEXTttxt"));
        } else {
            EXPECT_EQ(afp, "<absent>");
        }
        EXPECT_EQ(xattr(f, kAfpResource),
                  row.forkInStream ? row.fork + '\0' : std::string("<absent>"));
        EXPECT_EQ(there(vtest::sidecar_path(f)), row.dotStays);
        if (row.dotStays) {
            // As Samba writes a sidecar: its filler, the fork, a copy of the record's.
            const std::string side = vtest::raw_sidecar(f);
            EXPECT_EQ(side.substr(8, 16), "Netatalk        ");
            EXPECT_EQ(vtest::sidecar_fork(f), row.fork);
            EXPECT_EQ(vtest::sidecar_entry(f, 9), finder("TEXTttxt"));
        }
        // fmutil shows the same type, creator and fork, wherever it now is.
        const auto after = run_in(row.layout, {"info", f});
        ASSERT_EQ(after.status, 0) << after.err;
        EXPECT_THAT(after.out, HasSubstr("type        TEXT\n"));
        EXPECT_THAT(after.out, HasSubstr("creator     ttxt\n"));
        EXPECT_THAT(after.out,
                    HasSubstr("rsrc fork   " + std::to_string(row.fork.size()) + " bytes\n"));
        // A listing, which spares the reads its attribute lists rule out, too.
        const auto listed = run_in(row.layout, {"ls", "-l", "--json", sub});
        ASSERT_EQ(listed.status, 0) << listed.err;
        EXPECT_THAT(listed.out, HasSubstr("\"rsrc_size\":" + std::to_string(row.fork.size())));
        const auto fork = run_in(row.layout, {"rsrc", f});
        ASSERT_EQ(fork.status, 0) << fork.err;
        EXPECT_EQ(fork.out, row.fork);
        // Done again, nothing changes.
        const auto again = run_in(row.layout, {"dot-clean", "--json", t.path()});
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_TRUE(fmtest::JsonCheck::valid(again.out)) << again.out;
        EXPECT_THAT(again.out, testing::Not(HasSubstr("merged")));
    }
}

// Where the file has a value of its own, --keep chooses, and mostrecent
// goes by the two files' modification times.
TEST(FmutilDotClean, KeepChoosesBetweenTheDotUnderscoreFileAndTheFile) {
    struct Row {
        const char* keep;  // nullptr: the default
        bool dotNewer;
        bool dotWins;
    };
    const std::vector<Row> rows{
        {"dotbar", false, true},  {"dotbar", true, true},     {"native", true, false},
        {"native", false, false}, {"mostrecent", true, true}, {"mostrecent", false, false},
        {nullptr, true, true},    {nullptr, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.keep ? row.keep : "(default)") +
                     (row.dotNewer ? ", ._ newer" : ", file newer"));
        vtest::TempDir t("fmdot");
        const auto f = t.write("f", "data");
        ASSERT_EQ(run({"type", f, "--type", "NATV", "--creator", "natv"}).status, 0);
        const std::string mine = std::string("native") + '\0';
        ASSERT_EQ(::lsetxattr(f.c_str(), kQuarantine, mine.data(), mine.size(), 0), 0);
        mac_dot(f, "DOTBdotb", "dotbar", "");
        set_mtime(vtest::sidecar_path(f), row.dotNewer ? 2'000'000'000 : 1'000'000'000);
        set_mtime(f, 1'500'000'000);
        std::vector<std::string> args{"dot-clean", t.path()};
        if (row.keep != nullptr) args.push_back(std::string("--keep=") + row.keep);
        const auto r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(vtest::record_finder_info(f), finder(row.dotWins ? "DOTBdotb" : "NATVnatv"));
        EXPECT_EQ(xattr(f, kQuarantine), std::string(row.dotWins ? "dotbar" : "native") + '\0');
        EXPECT_FALSE(there(vtest::sidecar_path(f)));
    }
    const auto bad = run({"dot-clean", "--keep=newest", "/tmp"});
    EXPECT_EQ(bad.status, 2) << bad.err;
    EXPECT_THAT(bad.err, HasSubstr("mostrecent, dotbar or native"));
}

// Orphans go only with -n; a file of the user's own under a "._" name and
// our own sidecars (the netatalk layout's home of a fork) are never touched.
TEST(FmutilDotClean, OrphansOnlyWithNAndNothingThatIsNotMacMetadata) {
    vtest::TempDir t("fmdot");
    const auto own = t.write("._notes", "my own notes, not AppleDouble");
    const auto mine = t.write("mine", "data");
    vtest::write_sidecar(mine, "our fork");
    const std::string ourSidecar = vtest::raw_sidecar(mine);
    vtest::write_bytes(t.path() / "._gone",
                       vtest::macos_sidecar_bytes(finder("TEXTttxt"), {}, "x"));

    auto r = run({"dot-clean", t.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(there(t.path() / "._gone"));
    r = run({"dot-clean", "-n", "-v", t.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("removed " + (t.path() / "._gone").string()));
    EXPECT_FALSE(there(t.path() / "._gone"));
    EXPECT_EQ(vtest::read_file(own), "my own notes, not AppleDouble");
    EXPECT_EQ(vtest::raw_sidecar(mine), ourSidecar);
    // A file operand is refused: dot-clean walks folders.
    r = run({"dot-clean", mine});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("errFSNotAFolder"));
}

// What the layout has no room for (a fork past what an attribute holds, on
// a stream volume) keeps its "._" file, and the file as it was; -m removes
// it all the same, merging what fits.
TEST(FmutilDotClean, WhatTheLayoutCannotHoldIsKeptUnlessAlwaysRemove) {
    vtest::TempDir t("fmdot");
    const auto f = t.write("big", "data");
    mac_dot(f, "BIGGbigg", "q", std::string(70000, 'r'));
    const std::string dot = vtest::raw_sidecar(f);
    auto r = run_in("stream", {"dot-clean", t.path()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr("fileBoundsErr"));
    EXPECT_EQ(vtest::raw_sidecar(f), dot);
    EXPECT_EQ(xattr(f, kQuarantine), "<absent>");  // nothing merged: whole or nothing
    EXPECT_EQ(xattr(f, "user.org.netatalk.Metadata"), "<absent>");

    r = run_in("stream", {"dot-clean", "-m", "-v", t.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("1 lost"));
    EXPECT_FALSE(there(vtest::sidecar_path(f)));
    EXPECT_EQ(xattr(f, kQuarantine), std::string("q") + '\0');
    EXPECT_EQ(xattr(f, kAfpInfo).substr(16, 32), finder("BIGGbigg"));

    // An attribute under the name of one of Samba's own streams would be
    // taken for the Finder information or the fork: never written there.
    for (const char* name : {"AFP_AfpInfo", "AFP_Resource"}) {
        SCOPED_TRACE(name);
        const auto g = t.write(std::string("g ") + name, "data");
        vtest::write_bytes(
            vtest::sidecar_path(g),
            vtest::macos_sidecar_bytes(finder("GGGGgggg"), {{name, std::string(60, 'x')}}, "fork"));
        r = run_in("stream", {"dot-clean", t.path()});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_THAT(r.err, HasSubstr("fileBoundsErr"));
        EXPECT_TRUE(there(vtest::sidecar_path(g)));
        EXPECT_EQ(xattr(g, kAfpInfo), "<absent>");
        EXPECT_EQ(xattr(g, kAfpResource), "<absent>");
        r = run_in("stream", {"dot-clean", "-m", t.path()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(xattr(g, kAfpInfo).substr(16, 8), "GGGGgggg");
        EXPECT_EQ(xattr(g, kAfpResource), std::string("fork") + '\0');
    }
}

// Killed at every step, dot-clean loses nothing: each value is merged or
// still in the "._" file, and dot-clean run again ends where one whole run
// ends.
TEST(FmutilDotClean, AKillAtEveryStepLosesNothing) {
    vtest::TempDir t("fmdotcrash");
    long points = 0;
    int i = 0;
    for (const char* layout : {"netatalk", "stream"}) {
        SCOPED_TRACE(layout);
        vtest::CrashSweep sweep(t.path() / std::to_string(++i));
        const std::vector<std::string> env{std::string("VANTREL_MAC_LAYOUT=") + layout};
        points += sweep.run({
            .make =
                [](const fs::path& d) {
                    const auto a = vtest::write_file(d / "a", "alpha");
                    mac_dot(a, "AAAAaaaa", "quarantine of a", "fork of a");
                    const auto b = vtest::write_file(d / "b", "bravo");
                    mac_dot(b, "BBBBbbbb", "quarantine of b", "");
                    const timespec times[2] = {{1'000'000'000, 111}, {1'100'000'000, 222}};
                    for (const auto& e : fs::directory_iterator(d))
                        ::utimensat(AT_FDCWD, e.path().c_str(), times, AT_SYMLINK_NOFOLLOW);
                },
            .op =
                [&](const fs::path& d, long n) {
                    std::vector<std::string> e = env;
                    if (n != 0) e.push_back("VANTREL_FAULT_DIE_AT_STEP=" + std::to_string(n));
                    const fmtest::Result r =
                        fmtest::run_program(FMUTIL_PATH, {"dot-clean", d.string()}, false, e);
                    if (r.status == 128 + SIGKILL) return true;
                    EXPECT_EQ(r.status, 0) << r.err;
                    return false;
                },
            .recover =
                [&](const fs::path& d) {
                    const fmtest::Result r =
                        fmtest::run_program(FMUTIL_PATH, {"dot-clean", d.string()}, false, env);
                    EXPECT_EQ(r.status, 0) << r.err;
                },
            .wholeAtKill = false,
        });
    }
    RecordProperty("kill_points", static_cast<int>(points));
}

// A tree with files in every layout, converted from one to the next: after
// each run every file shows the same type, creator and fork in the new
// layout, and holds them only where the new layout keeps them.
TEST(FmutilConvert, EveryFileShowsTheSameInEachLayoutItIsConvertedTo) {
    vtest::TempDir t("fmconv");
    const auto one = t.write("a/one", "data");  // the record and a sidecar
    ASSERT_EQ(run({"type", one, "--type", "TEXT", "--creator", "ttxt"}).status, 0);
    vtest::write_sidecar(one, "the fork");
    const auto two = t.write("a/two", "data");  // Samba's streams
    // "AFP\0", version 0x00000100, 4 reserved bytes, the backup date unknown.
    std::string afp("AFP\0\0\0\x01\0\0\0\0\0\x80\0\0\0", 16);
    afp += finder("TEXTttxt") + std::string(12, '\0') + '\0';
    ASSERT_EQ(::lsetxattr(two.c_str(), kAfpInfo, afp.data(), afp.size(), 0), 0);
    const std::string streamFork = std::string("the fork") + '\0';
    ASSERT_EQ(::lsetxattr(two.c_str(), kAfpResource, streamFork.data(), streamFork.size(), 0), 0);
    t.mkdir("a/deeper");
    const auto three = t.write("a/deeper/three", "data");  // macOS's own "._" file
    mac_dot(three, "TEXTttxt", "q", "the fork");
    const auto plain = t.write("a/plain", "no metadata");
    const auto four = t.write("a/four", "data");  // Netatalk 2's ".AppleDouble"
    vtest::Netatalk2 kept;
    kept.finder32 = finder("TEXTttxt");
    kept.comment = "kept by Netatalk";
    kept.fork = "the fork";
    vtest::write_netatalk2(four, kept);
    kept.finder32 = finder("\0\0\0\0\0\0\0\0");
    kept.comment = "a folder's";
    kept.fork.clear();
    vtest::write_netatalk2(t.path() / "a" / "deeper", kept, true);

    // A dry run says what it would do, and does nothing.
    const vtest::Snapshot before = vtest::snapshot(t.path());
    auto r = run({"convert", "--to", "stream", "-n", "-v", t.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(
        r.out, HasSubstr("would convert " + one.string() + " (Finder information, resource fork)"));
    EXPECT_THAT(r.out, HasSubstr("would convert " + three.string()));
    EXPECT_THAT(r.out, HasSubstr("would convert " + four.string() +
                                 " (Finder information, resource fork, Netatalk 2 .AppleDouble "
                                 "entry)"));
    EXPECT_THAT(r.out, testing::Not(HasSubstr(two.string())));
    EXPECT_THAT(r.out, HasSubstr("4 of 8 items would be converted to stream\n"));
    EXPECT_EQ(vtest::diff(before, vtest::snapshot(t.path())), "");

    struct Row {
        const char* to;
        bool afpInfo, forkStream;
    };
    for (const Row& row : {Row{"stream", true, true}, Row{"stream+file", true, false},
                           Row{"netatalk", false, false}, Row{"stream", true, true}}) {
        SCOPED_TRACE(row.to);
        r = run({"convert", "--to", row.to, t.path()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr(" items converted to " + std::string(row.to) + "\n"));
        for (const fs::path& f : {one, two, three, four}) {
            SCOPED_TRACE(f.filename().string());
            const auto info = run_in(row.to, {"info", f});
            ASSERT_EQ(info.status, 0) << info.err;
            EXPECT_THAT(info.out, HasSubstr("type        TEXT\n"));
            EXPECT_THAT(info.out, HasSubstr("creator     ttxt\n"));
            EXPECT_EQ(run_in(row.to, {"rsrc", f}).out, "the fork");
            EXPECT_EQ(xattr(f, kAfpInfo).size(), row.afpInfo ? 61u : 8u);  // 8: "<absent>"
            EXPECT_EQ(xattr(f, kAfpResource), row.forkStream ? streamFork : "<absent>");
            EXPECT_EQ(there(vtest::sidecar_path(f)), !row.forkStream);
        }
        EXPECT_EQ(xattr(three, kQuarantine), std::string("q") + '\0');
        EXPECT_EQ(run_in(row.to, {"comment", four}).out, "kept by Netatalk\n");
        EXPECT_EQ(run_in(row.to, {"comment", t.path() / "a" / "deeper"}).out, "a folder's\n");
        EXPECT_FALSE(there(t.path() / "a" / ".AppleDouble"));
        EXPECT_FALSE(there(t.path() / "a" / "deeper" / ".AppleDouble"));
        EXPECT_EQ(xattr(plain, kAfpInfo), "<absent>");
        EXPECT_FALSE(there(vtest::sidecar_path(plain)));
        // Done again, nothing is left to move.
        r = run({"convert", "--to", row.to, "-v", t.path()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "0 of 8 items converted to " + std::string(row.to) + "\n");
    }

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"convert", t.path()},
          std::vector<std::string>{"convert", "--to", "samba", t.path()}}) {
        r = run(bad);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_THAT(r.err, HasSubstr("netatalk, stream or stream+file"));
    }
}

// A tree Netatalk 2 served, converted and killed at every step: nothing is
// lost, and the conversion run again leaves each item as a whole run does.
TEST(FmutilConvert, AKillAtEveryStepOfANetatalk2TreeLosesNothing) {
    vtest::TempDir t("fmconvcrash");
    long points = 0;
    int i = 0;
    for (const char* layout : {"netatalk", "stream"}) {
        SCOPED_TRACE(layout);
        vtest::CrashSweep sweep(t.path() / std::to_string(++i));
        points += sweep.run({
            .make =
                [](const fs::path& d) {
                    vtest::Netatalk2 kept;
                    kept.finder32 = finder("AAAAaaaa");
                    kept.comment = "of a";
                    kept.fork = "fork of a";
                    vtest::write_netatalk2(vtest::write_file(d / "a", "alpha"), kept);
                    kept.finder32 = finder("BBBBbbbb");
                    kept.comment = "of b";
                    kept.fork.clear();
                    vtest::write_netatalk2(vtest::write_file(d / "b", "bravo"), kept);
                    fs::create_directory(d / "sub");
                    kept.comment = "of sub";
                    vtest::write_netatalk2(d / "sub", kept, true);
                },
            .op =
                [&](const fs::path& d, long n) {
                    std::vector<std::string> e;
                    if (n != 0) e.push_back("VANTREL_FAULT_DIE_AT_STEP=" + std::to_string(n));
                    const fmtest::Result r = fmtest::run_program(
                        FMUTIL_PATH, {"convert", "--to", layout, d.string()}, false, e);
                    if (r.status == 128 + SIGKILL) return true;
                    EXPECT_EQ(r.status, 0) << r.err;
                    return false;
                },
            .recover =
                [&](const fs::path& d) {
                    const fmtest::Result r = fmtest::run_program(
                        FMUTIL_PATH, {"convert", "--to", layout, d.string()}, false, {});
                    EXPECT_EQ(r.status, 0) << r.err;
                },
            .wholeAtKill = false,
        });
    }
    RecordProperty("kill_points", static_cast<int>(points));
}

// A fork larger than an attribute holds stays where it is, with its file's
// other metadata: the file is converted whole or not at all.
TEST(FmutilConvert, AForkTheStreamCannotHoldLeavesItsFileAsItWas) {
    vtest::TempDir t("fmconv");
    const auto f = t.write("big", "data");
    ASSERT_EQ(run({"type", f, "--type", "BIGG", "--creator", "bigg"}).status, 0);
    vtest::write_sidecar(f, std::string(70000, 'r'));
    const auto small = t.write("small", "data");
    vtest::write_sidecar(small, "fits");
    const auto r = run({"convert", "--to", "stream", t.path()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr("fileBoundsErr"));
    EXPECT_THAT(r.out, HasSubstr("1 of 3 items converted to stream; 1 failed\n"));
    EXPECT_EQ(xattr(f, kAfpInfo), "<absent>");
    EXPECT_EQ(vtest::sidecar_fork(f).size(), 70000u);
    EXPECT_EQ(xattr(small, kAfpResource), std::string("fits") + '\0');
}

// On a stream volume a fork written here goes to the AFP_Resource stream,
// where Samba serves it from, and a sidecar the file had goes once the
// stream holds the new fork; a fork no attribute can hold is refused with
// the old one kept.
TEST(FmutilStreamForks, AForkWrittenOnAStreamVolumeGoesToTheResourceStream) {
    vtest::TempDir t("fmsfork");
    struct Row {
        const char* what;
        std::string before;  // the sidecar's fork ("" for none)
        std::string fork;    // written with rsrc --set
        const char* error;   // null: written
    };
    const std::vector<Row> rows{
        {"a new fork", "", "the new fork", nullptr},
        {"over a sidecar's", "the old fork", "the new fork", nullptr},
        {"3,000 bytes", "", std::string(3000, 'x'), nullptr},
        {"emptied", "the old fork", "", nullptr},
        {"past an attribute", "the old fork", std::string(70000, 'y'), "fileBoundsErr"},
    };
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto f = t.write("f" + std::to_string(++i), "data");
        if (!row.before.empty()) vtest::write_sidecar(f, row.before);
        const auto src = t.write("src" + std::to_string(i), row.fork);
        const auto r = run_in("stream", {"rsrc", f, "--set", src});
        if (row.error != nullptr) {
            EXPECT_EQ(r.status, 1);
            EXPECT_THAT(r.err, HasSubstr(row.error));
            EXPECT_EQ(vtest::sidecar_fork(f), row.before);
            EXPECT_EQ(xattr(f, kAfpResource), "<absent>");
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(xattr(f, kAfpResource), row.fork.empty() ? "<absent>" : row.fork + '\0');
        EXPECT_FALSE(there(vtest::sidecar_path(f)));
        EXPECT_EQ(run_in("stream", {"rsrc", f}).out, row.fork);
    }
}

// A tree Netatalk 2 served, as fmutil shows and changes it: its items show
// what ".AppleDouble" holds and it is listed as no item; the orphans
// finder and dot-clean -n name and remove only the entries of files that
// are gone; a copy that cannot take the entries is refused and says why;
// rm -r takes everything.
TEST(FmutilNetatalk2, ATreeIsShownCleanedCopiedAndDeletedWithoutLosingItsAppleDouble) {
    vtest::TempDir t("fmnetatalk2");
    const fs::path share = t.path() / "share";
    vtest::Netatalk2 kept;
    kept.finder32 = finder("TEXTttxt");
    kept.comment = "kept by Netatalk";
    kept.fork = "the fork";
    const auto f = t.write("share/f", "data");
    vtest::write_netatalk2(f, kept);
    vtest::write_netatalk2(share / "gone", kept);
    t.mkdir("share/sub");
    vtest::write_netatalk2(share / "sub", kept, true);

    auto r = run({"ls", share});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::Not(HasSubstr(".AppleDouble")));
    r = run({"info", f});
    EXPECT_THAT(r.out, HasSubstr("type        TEXT\n"));
    EXPECT_EQ(run({"rsrc", f}).out, "the fork");
    EXPECT_EQ(run({"comment", share / "sub"}).out, "kept by Netatalk\n");

    r = run({"orphans", share});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, (share / ".AppleDouble" / "gone").string() +
                         ": what Netatalk 2 kept of a file that is gone\n");

    t.mkdir("copies");
    r = run({"cp", "-r", share, t.path() / "copies"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr(f.string()));
    EXPECT_THAT(r.err, HasSubstr("fmutil convert moves them first"));
    EXPECT_TRUE(there(share / ".AppleDouble" / "f"));

    r = run({"dot-clean", "-n", "-v", share});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("removed " + (share / ".AppleDouble" / "gone").string()));
    EXPECT_FALSE(there(share / ".AppleDouble" / "gone"));
    EXPECT_TRUE(there(share / ".AppleDouble" / "f"));
    EXPECT_TRUE(there(share / "sub" / ".AppleDouble" / ".Parent"));

    r = run({"rm", share});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(there(share));
}

namespace {

// The system calls of one run of `fmutil args...` (strace -f), counted by
// what they do: look at a file by its name, read one attribute, list a
// file's attribute names, take a folder's lock, open a "._" file (by its
// name, or again through /proc), read a file's bytes, look for Netatalk 2's
// ".AppleDouble", write an attribute.
// Names strace 6.1 does not know (the *xattrat calls of Linux 6.13) show
// as their numbers.
struct Calls {
    long looks = 0, reads = 0, lists = 0, locks = 0, dotOpens = 0, preads = 0, appleDoubleLooks = 0,
         writes = 0, all = 0;
};

bool strace_works() {
    const fmtest::Result r =
        fmtest::run_program("/usr/bin/strace", {"-f", "-qq", "-o", "/dev/null", "/bin/true"});
    return r.status == 0;
}

Calls count_calls(const fs::path& log, const std::string& layout,
                  const std::vector<std::string>& args) {
    std::vector<std::string> a{"-f", "-qq", "-o", log.string(), FMUTIL_PATH};
    a.insert(a.end(), args.begin(), args.end());
    // The leak checker of a sanitized build cannot run under a tracer.
    const fmtest::Result r =
        fmtest::run_program("/usr/bin/strace", a, false,
                            {"VANTREL_MAC_LAYOUT=" + layout, "LSAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(r.status, 0) << r.err;
    Calls c;
    std::istringstream in(vtest::read_file(log));
    for (std::string line; std::getline(in, line);) {
        const std::string name = vtest::traced_call_name(line);
        if (name.empty()) continue;
        ++c.all;
        const std::string_view args = std::string_view(line).substr(line.find('('));
        if (args.find("\".AppleDouble\"") != std::string_view::npos) ++c.appleDoubleLooks;
        // A "._" file, not a change's private temporary ("._._vantrel...").
        const bool dotName = args.find(", \"._") != std::string_view::npos &&
                             args.find(", \"._._") == std::string_view::npos;
        if (name == "openat" &&
            (dotName || args.find("\"/proc/self/fd/") != std::string_view::npos))
            ++c.dotOpens;
        if (name == "pread64") ++c.preads;
        if (name == "flock" && args.find("LOCK_EX") != std::string_view::npos &&
            args.find("LOCK_NB") == std::string_view::npos)
            ++c.locks;
        if (name == "statx" || name == "newfstatat" || name == "lstat" || name == "stat")
            ++c.looks;
        else if (name == "getxattr" || name == "lgetxattr" || name == "fgetxattr" ||
                 name == "syscall_0x1d0")
            ++c.reads;
        else if (name == "listxattr" || name == "llistxattr" || name == "flistxattr" ||
                 name == "syscall_0x1d1")
            ++c.lists;
        else if (name == "setxattr" || name == "lsetxattr" || name == "fsetxattr" ||
                 name == "syscall_0x1cf")
            ++c.writes;
    }
    return c;
}

// `plain` files with nothing of the Mac's in two folders, and `merged` of
// them with a "._" file macOS wrote.
void make_counted_tree(const fs::path& root, int plain, int merged) {
    for (int i = 0; i < plain + merged; ++i) {
        const auto f = vtest::write_file(root / (i % 2 ? "odd" : "even") / std::to_string(i), "");
        if (i < merged) mac_dot(f, "TEXTttxt", "0083;5f3a1b2c;Safari;", "the fork");
    }
}

}  // namespace

// What dot-clean and convert ask of the system grows with the "._" files
// they merge, not with the tree around them: the same tree with 400 plain
// files more costs dot-clean no call that looks at a file or reads its
// attributes (the walk goes by the folders' entries), and convert one look
// and one list of attribute names a file (nothing to move, told at once).
// A merged file reads only the attributes its one list names. dot-clean
// opens its "._" file once (the merge tells what it is), takes the lock of
// each folder that holds "._" files once for all its merges and, having
// read the folder, never looks for ".AppleDouble"; convert opens it twice
// (the look that finds work, then once for all in the lock) and looks for
// ".AppleDouble" once an item and twice more a merge.
TEST(FmutilDotClean, CallsGrowWithTheMergedFilesNotWithTheTree) {
    if (!strace_works()) GTEST_SKIP() << "no strace that may trace a child here";
    constexpr int kMerged = 10, kMore = 400;
    constexpr long kFolders = 3;     // the tree's own, "odd" and "even"
    constexpr long kDotFolders = 2;  // "odd" and "even", which hold "._" files
    struct Row {
        const char* label;
        const char* layout;
        std::vector<std::string> args;
        long looksPerPlain, listsPerPlain;
        // At most, for each merged file: attribute reads, opens of its "._"
        // file (each two: by its name, then again through /proc), reads of
        // its bytes (and of the few files a process reads once), looks for
        // ".AppleDouble" (its own look among them; and one a folder); and
        // the folder locks taken in all; and attribute writes, each value
        // once where the layout keeps it (a stream volume's Finder
        // information in the AfpInfo stream alone, with no record).
        long readsPerMerged, dotOpensPerMerged, preadsPerMerged, appleDoubleLooksPerMerged, locks,
            writesPerMerged;
    };
    const std::vector<Row> rows{
        {"dot-clean, netatalk", "netatalk", {"dot-clean"}, 0, 0, 1, 2, 1, 0, kDotFolders, 2},
        {"dot-clean, stream", "stream", {"dot-clean"}, 0, 0, 1, 2, 1, 0, kDotFolders, 3},
        // The AfpInfo stream it writes is read again by the merge within it.
        {"convert to stream",
         "netatalk",
         {"convert", "--to", "stream"},
         0,
         1,
         3,
         4,
         2,
         3,
         kMerged,
         3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        vtest::TempDir t("fmdotcalls");
        make_counted_tree(t.path() / "small", 0, kMerged);
        make_counted_tree(t.path() / "large", kMore, kMerged);
        std::vector<std::string> small = row.args, large = row.args;
        small.push_back((t.path() / "small").string());
        large.push_back((t.path() / "large").string());
        const Calls s = count_calls(t.path() / "small.log", row.layout, small);
        const Calls l = count_calls(t.path() / "large.log", row.layout, large);
        // A few calls a process makes once may fall in one run and not the
        // other (the mount table read again because a mount came or went
        // meanwhile, as other tests' mounts do): a call per plain file is
        // 400, far beyond them.
        constexpr long kOnce = 4;
        EXPECT_LE(std::labs(l.looks - s.looks - row.looksPerPlain * kMore), kOnce)
            << "looks at a file: " << l.looks - s.looks;
        EXPECT_LE(std::labs(l.lists - s.lists - row.listsPerPlain * kMore), kOnce)
            << "lists of attribute names: " << l.lists - s.lists;
        // Nothing else a plain file: the folders' readings grow by a few
        // calls with their entries, never by one a file.
        EXPECT_LE(l.all - s.all, row.listsPerPlain * kMore + kMore / 20)
            << "calls in all: " << l.all - s.all;
        EXPECT_LE(std::labs(l.reads - s.reads), kOnce) << "attribute reads: " << l.reads - s.reads;
        EXPECT_LE(s.reads, row.readsPerMerged * kMerged) << "attribute reads";
        EXPECT_LE(s.dotOpens, row.dotOpensPerMerged * kMerged) << "opens of a \"._\" file";
        EXPECT_LE(s.preads, row.preadsPerMerged * kMerged + kOnce) << "reads of a file's bytes";
        EXPECT_LE(s.appleDoubleLooks, row.appleDoubleLooksPerMerged * kMerged + kFolders)
            << "looks for .AppleDouble";
        EXPECT_LE(s.locks, row.locks) << "folder locks taken";
        EXPECT_EQ(l.writes, s.writes) << "attribute writes";
        EXPECT_LE(s.writes, row.writesPerMerged * kMerged) << "attribute writes";
        // Done: each "._" file merged in both trees alike.
        EXPECT_EQ(xattr(t.path() / "large" / "even" / "0", kQuarantine),
                  xattr(t.path() / "small" / "even" / "0", kQuarantine));
        EXPECT_EQ(xattr(t.path() / "small" / "even" / "0", kQuarantine),
                  std::string("0083;5f3a1b2c;Safari;") + '\0');
    }
}
