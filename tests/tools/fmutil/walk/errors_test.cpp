// fmutil tree, rm and cp -r when one item in the middle of the tree fails:
// the failure is injected through the platform's fault seam at one
// directory's opening, one item's deletion or one item's copy, so the test
// needs no second user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "Child.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "fmutil.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;
namespace vf = vantrel::fault;

TEST(FmutilTreeErrors, AnUnreadableDirectoryIsNamedAndTheWalkGoesOn) {
    struct Row {
        const char* failing;  // the directory whose opening fails
        OSErr code;
        const char* message;
    };
    const Row rows[] = {
        {"m", afpAccessDenied, "fmutil: ROOT/m: afpAccessDenied (-5000): access denied\n"},
        {"deep", ioErr, "fmutil: ROOT/n/deep: ioErr (-36): input/output error\n"},
    };
    for (const Row& row : rows) {
        vtest::TempDir t("fmtree");
        for (const char* f : {"root/a", "root/m/hidden", "root/m/sub/x", "root/n/b",
                              "root/n/deep/gone", "root/n/c", "root/z"}) {
            t.write(f, "");
        }
        const std::string root = (t.path() / "root").string();
        const fs::path out = t.path() / "out";
        const fs::path err = t.path() / "err";
        int ofd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(ofd, 0);
        ASSERT_GE(efd, 0);
        int status;
        {
            vf::Scope scope;
            vf::fail_if([&](const vf::Call& c) -> OSErr {
                if (c.op == "FSOpenIterator" && c.detail == row.failing) return row.code;
                return noErr;
            });
            status = fmutil::run({"fmutil", "tree", root}, ofd, efd);
        }
        ::close(ofd);
        ::close(efd);
        EXPECT_EQ(status, 1) << row.failing << ": a walk with a failure is not a success";
        const std::string listing = vtest::read_file(out);
        for (const char* item : {"a", "m/", "n/", "n/b", "n/c", "n/deep/", "z"}) {
            EXPECT_NE(listing.find(root + "/" + item + "\n"), std::string::npos)
                << row.failing << ": " << item << " missing from\n"
                << listing;
        }
        EXPECT_EQ(listing.find(std::string("/") + row.failing + "/"),
                  listing.rfind(std::string("/") + row.failing + "/"))
            << "nothing listed inside " << row.failing;
        std::string expected = row.message;
        expected.replace(expected.find("ROOT"), 4, root);
        EXPECT_EQ(vtest::read_file(err), expected);
    }
}

// A tree copy that cannot copy one item is not made at all: the item is
// named with what the system said, and nothing of the copy is left in the
// destination, hidden or not, before or after the next listing of it. The
// failures are at a file (before and after its data is written), a folder's
// making, its finishing and its listing, and at the top's naming.
TEST(FmutilCopyErrors, ATreeCopyThatFailsAtAnItemLeavesTheDestinationAsItWas) {
    struct Row {
        const char* op;
        const char* detail;
        OSErr code;
        const char* named;  // the path the error names, from ROOT (the source) or DEST
    };
    const Row rows[] = {
        {"VantrelFSCopyFileWhole", "b", dskFulErr, "DEST/t/sub/b: dskFulErr (-34)"},
        {"PBHCopyFileSync.write", "c", ioErr, "ROOT/sub/deeper/c: ioErr (-36)"},
        {"PBHCopyFileSync.times", "b", ioErr, "ROOT/sub/b: ioErr (-36)"},
        {"VantrelFSCreateFolderCopy", "deeper", dskFulErr, "DEST/t/sub/deeper: dskFulErr (-34)"},
        {"VantrelFSFinishFolderCopy.chmod", "sub", ioErr, "DEST/t/sub: ioErr (-36)"},
        {"FSOpenIterator", "deeper", afpAccessDenied, "ROOT/sub/deeper: afpAccessDenied (-5000)"},
        {"VantrelFSFinishFolderCopy.name", "t", dskFulErr, "DEST/t: dskFulErr (-34)"},
    };
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(quiet, 0);
    for (const Row& row : rows) {
        vtest::TempDir t("fmcopyerr");
        for (const char* f : {"t/a", "t/sub/b", "t/sub/deeper/c", "t/z"}) t.write(f, f);
        t.write("fork", "a fork");
        for (const char* f : {"t/a", "t/sub/b"}) {
            ASSERT_EQ(fmutil::run({"fmutil", "rsrc", (t.path() / f).string(), "--set",
                                   (t.path() / "fork").string()},
                                  quiet, quiet),
                      0);
        }
        // Read by the copy, the sources would take a new access time
        // (relatime) where it is not after their change.
        const timespec later[2] = {{std::time(nullptr) + 3600, 0}, {0, UTIME_OMIT}};
        for (const char* f : {"t/a", "t/sub/b", "t/sub/deeper/c", "t/z", "t/._a", "t/sub/._b"})
            ASSERT_EQ(::utimensat(AT_FDCWD, (t.path() / f).c_str(), later, 0), 0) << f;
        const fs::path dst = t.mkdir("dst");
        const std::string root = (t.path() / "t").string();
        const vtest::Snapshot source = vtest::snapshot(root);
        const vtest::Snapshot dest = vtest::snapshot(dst);
        const fs::path err = t.path() / "err";
        int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(efd, 0);
        int status;
        {
            vf::Scope scope;
            vf::fail_if([&](const vf::Call& c) -> OSErr {
                return c.op == row.op && c.detail == row.detail ? row.code : OSErr{noErr};
            });
            status = fmutil::run({"fmutil", "cp", "-r", root, dst.string()}, quiet, efd);
            EXPECT_GT(vf::injected(), 0) << row.op << ": the fault was never reached";
        }
        ::close(efd);
        EXPECT_EQ(status, 1) << row.op;
        std::string named = std::string("fmutil: ") + row.named;
        if (named.find("ROOT") != std::string::npos)
            named.replace(named.find("ROOT"), 4, root);
        else
            named.replace(named.find("DEST"), 4, dst.string());
        const std::string e = vtest::read_file(err);
        EXPECT_EQ(e.rfind(named, 0), 0u) << row.op << ": the failure is not named first:\n" << e;
        EXPECT_NE(e.find(dst.string() + "/t: not copied: "), std::string::npos)
            << row.op << ": the undo is not said:\n"
            << e;
        EXPECT_EQ(vtest::diff(dest, vtest::snapshot(dst)), "") << row.op << ": left in DEST";
        EXPECT_EQ(fmutil::run({"fmutil", "ls", dst.string()}, quiet, quiet), 0);
        EXPECT_EQ(vtest::diff(dest, vtest::snapshot(dst)), "")
            << row.op << ": left in DEST after the next listing";
        EXPECT_EQ(vtest::diff(source, vtest::snapshot(root)), "") << row.op << ": the source";
    }
    ::close(quiet);
}

// The deletion stops at the first item it cannot delete; the error names
// that item, not the directory given; with -v the items deleted before it
// are named.
TEST(FmutilRmErrors, TheErrorNamesTheItemThatCouldNotBeDeleted) {
    vtest::TempDir t("fmrm");
    for (const char* f : {"root/a/one", "root/b/stuck", "root/b/other", "root/z"}) t.write(f, "");
    const std::string root = (t.path() / "root").string();
    const fs::path out = t.path() / "out";
    const fs::path err = t.path() / "err";
    int ofd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(ofd, 0);
    ASSERT_GE(efd, 0);
    int status;
    {
        vf::Scope scope;
        vf::fail_if([&](const vf::Call& c) -> OSErr {
            // Refused by name and by reference alike.
            if ((c.op == "VantrelFSBulkDeleteFiles.unlink" || c.op == "FSDeleteObject") &&
                c.detail == "stuck")
                return fBsyErr;
            return noErr;
        });
        status = fmutil::run({"fmutil", "rm", "-v", root}, ofd, efd);
    }
    ::close(ofd);
    ::close(efd);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(fs::exists(t.path() / "root/b/stuck"));
    const std::string e = vtest::read_file(err);
    EXPECT_EQ(e.rfind("fmutil: " + root + "/b/stuck: fBsyErr (-47)", 0), 0u) << e;
    const std::string listing = vtest::read_file(out);
    for (const fs::path& p : {t.path() / "root/a/one", t.path() / "root/b/other",
                              t.path() / "root/z", t.path() / "root/a"}) {
        if (!fs::exists(p)) {
            const char* head = p.filename() == "a" ? "removed directory '" : "removed '";
            EXPECT_NE(listing.find(head + p.string() + "'\n"), std::string::npos)
                << p << " went but was not named:\n"
                << listing;
        }
    }
    EXPECT_EQ(listing.find("stuck"), std::string::npos) << listing;
}

// A folder moved in under a file's name after the walk read its folder was
// not listed: rm -rf refuses it ("Is a directory"), and so does this, saying
// what it is and leaving it whole.
TEST(FmutilRmErrors, AFolderThatTookAListedFilesNameIsRefusedAsOne) {
    vtest::TempDir t("fmrm");
    t.write("root/victim", "listed");
    t.write("elsewhere/inside", "kept");
    const fs::path root = t.path() / "root";
    const fs::path err = t.path() / "err";
    const int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(efd, 0);
    bool met = false;
    int status;
    {
        vf::Scope scope;
        vf::set_hook([&](const vf::Call& c) {
            if (met || c.op != "VantrelFSBulkDeleteFiles.unlink" || c.detail != "victim") return;
            met = true;
            fs::remove(root / "victim");
            fs::rename(t.path() / "elsewhere", root / "victim");
        });
        status = fmutil::run({"fmutil", "rm", root.string()}, efd, efd);
    }
    ::close(efd);
    EXPECT_TRUE(met) << "the walk never unlinked the name";
    EXPECT_EQ(status, 1);
    EXPECT_EQ(vtest::read_file(err), "fmutil: " + (root / "victim").string() +
                                         ": notAFileErr (-1302): it is a directory, where a file "
                                         "was when its folder was read: it came afterwards, and "
                                         "it is left as it is, with everything in it\n");
    EXPECT_EQ(vtest::read_file(root / "victim/inside"), "kept");
}

// What stops the deletion is named, not a bystander: a file system mounted
// inside the tree is refused at its mount point, and the error names the
// mount point, not an item inside it, which rm never touches.
TEST(FmutilRmErrors, AMountInsideTheTreeIsNamedAtItsMountPoint) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    vtest::TempDir t("fmrmmnt");
    const auto verdict = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        const fs::path root = t.path() / "root";
        t.write("root/a", "");
        t.mkdir("root/m");
        if (::mount("tmpfs", (root / "m").c_str(), "tmpfs", 0, "size=1m") != 0)
            return "mount failed";
        t.write("root/m/sentinel", "kept");
        const fs::path out = t.path() / "out";
        const fs::path err = t.path() / "err";
        const int ofd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int status = fmutil::run({"fmutil", "rm", "-v", root.string()}, ofd, efd);
        ::close(ofd);
        ::close(efd);
        std::string problems;
        if (status != 1) problems += "status " + std::to_string(status) + "; ";
        const std::string e = vtest::read_file(err);
        if (e.rfind("fmutil: " + (root / "m").string() + ": fBsyErr", 0) != 0)
            problems += "the error names another item: " + e;
        if (vtest::read_file(root / "m/sentinel") != "kept") problems += "inside the mount went; ";
        ::umount2((root / "m").c_str(), MNT_DETACH);
        return problems;
    });
    if (!verdict) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    EXPECT_EQ(*verdict, "");
}
