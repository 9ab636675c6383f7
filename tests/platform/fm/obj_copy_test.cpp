// PBHCopyFileSync and PBHMoveRenameSync on real files: what a copy carries,
// that nothing half-made is left behind, and what a move refuses.
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>

#include "DirNames.h"
#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "FileFlags.h"
#include "OSErrTesting.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "SyscallCount.h"
#include "TempDir.h"
#include "fm/obj_fileid.h"
#include "fm_child.h"
#include "vantrel/Files.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

namespace {

namespace fs = std::filesystem;

using vtest::dir_id_of;
using vtest::spec_of;

OSErr copy(const fs::path& src, const fs::path& destDir, const char* newName) {
    return vtest::copy_file_into(src, destDir, newName);
}

OSErr move(const fs::path& src, const fs::path& destDir, const char* newName) {
    FSSpec s = spec_of(src);
    Str31 name = {0};
    HParamBlockRec pb{};
    pb.copyParam.ioVRefNum = s.vRefNum;
    pb.copyParam.ioDirID = s.parID;
    pb.copyParam.ioNamePtr = s.name;
    pb.copyParam.ioNewDirID = dir_id_of(destDir);
    if (newName != nullptr) {
        name[0] = static_cast<unsigned char>(std::strlen(newName));
        std::memcpy(name + 1, newName, name[0]);
        pb.copyParam.ioCopyName = name;
    }
    return PBHMoveRenameSync(&pb);
}

std::size_t entries(const fs::path& d) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(d), fs::directory_iterator{}));
}

TEST(CopyFile, CarriesDataForksModeAndTimesButNotTheIDOrLock) {
    vtest::TempDir dir("copyfile");
    const fs::path src = dir.write("src/file", std::string(300000, 'c'));
    const fs::path dest = dir.mkdir("dest");
    ASSERT_EQ(0, ::chmod(src.c_str(), 0754));
    ASSERT_EQ(0, ::setxattr(src.c_str(), "user.org.netatalk.ResourceFork", "RSRC", 4, 0));
    std::string meta(402, '\0');
    meta[1] = 0x05;
    ASSERT_EQ(0,
              ::setxattr(src.c_str(), "user.org.netatalk.Metadata", meta.data(), meta.size(), 0));
    ASSERT_EQ(0, ::setxattr(src.c_str(), "user.other", "no", 2, 0));
    HParamBlockRec id{};
    FSSpec s = spec_of(src);
    id.fidParam.ioNamePtr = s.name;
    id.fidParam.ioVRefNum = s.vRefNum;
    id.fidParam.ioSrcDirID = s.parID;
    ASSERT_EQ(noErr, PBCreateFileIDRefSync(&id));
    struct timespec old[2] = {{1000000000, 5}, {1100000000, 123456789}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, src.c_str(), old, 0));
    const bool locked = vtest::set_immutable(src, true);

    ASSERT_EQ(noErr, copy(src, dest, "copy"));
    const fs::path c = dest / "copy";
    // Copying is no use of the source: it keeps its access time (older than
    // its modification, which any read would set).
    struct stat ss {};
    ASSERT_EQ(0, ::stat(src.c_str(), &ss));
    EXPECT_EQ(1000000000, ss.st_atim.tv_sec);
    EXPECT_EQ(5, ss.st_atim.tv_nsec);
    EXPECT_EQ(vtest::read_file(src), vtest::read_file(c));
    struct stat st {};
    ASSERT_EQ(0, ::stat(c.c_str(), &st));
    EXPECT_EQ(0754u, st.st_mode & 07777);
    EXPECT_EQ(1100000000, st.st_mtim.tv_sec);
    EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
    char buf[512];
    EXPECT_EQ(4, ::getxattr(c.c_str(), "user.org.netatalk.ResourceFork", buf, sizeof buf));
    EXPECT_EQ(402, ::getxattr(c.c_str(), "user.org.netatalk.Metadata", buf, sizeof buf));
    EXPECT_LT(::getxattr(c.c_str(), vantrel::fm::kFileIDAttr, buf, sizeof buf), 0)
        << "the copy has no ID";
    EXPECT_LT(::getxattr(c.c_str(), "user.other", buf, sizeof buf), 0)
        << "only the Mac's forks travel";
    if (locked) {
        int fd = ::open(c.c_str(), O_WRONLY | O_APPEND);
        EXPECT_GE(fd, 0) << "the copy is not locked";
        if (fd >= 0) ::close(fd);
        vtest::set_immutable(src, false);
    }
    // No new name: the source's.
    ASSERT_EQ(noErr, copy(src, dest, nullptr));
    EXPECT_TRUE(fs::exists(dest / "file"));

    // A file with holes keeps them (as cp -a keeps them): a sparse disk
    // image copied does not fill the disk with its zeros.
    const fs::path sparse = dir.write("src/sparse", "");
    {
        std::fstream f(sparse, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4 << 20);
        f << std::string(4096, 'd');
        f.seekp((8 << 20) - 1);
        f << 'e';
    }
    struct stat sp {};
    ASSERT_EQ(0, ::stat(sparse.c_str(), &sp));
    if (sp.st_blocks * 512 < (1 << 20)) {  // a file system that keeps holes
        ASSERT_EQ(noErr, copy(sparse, dest, "sparse copy"));
        struct stat cp {};
        ASSERT_EQ(0, ::stat((dest / "sparse copy").c_str(), &cp));
        EXPECT_EQ(cp.st_size, 8 << 20);
        EXPECT_LT(cp.st_blocks * 512, 1 << 20) << "the holes were filled";
        EXPECT_EQ(vtest::read_file(dest / "sparse copy"), vtest::read_file(sparse));
    }

    // A read-only file is copied with its record by its owner too, who may
    // not set attributes on a file of that mode: the copy gets it last.
    const fs::path mine = dir.write("mine/ro", "read only");
    ASSERT_EQ(0, ::setxattr(mine.c_str(), "user.org.netatalk.Metadata", meta.data(), 402, 0));
    const fs::path into = dir.mkdir("mine/into");
    const passwd* nobody = ::getpwnam("nobody");
    ::chmod(dir.path().c_str(), 0755);
    for (const fs::path& p : {mine.parent_path(), mine, into}) {
        if (nobody != nullptr) {
            ASSERT_EQ(0, ::chown(p.c_str(), nobody->pw_uid, nobody->pw_gid));
        }
    }
    ASSERT_EQ(0, ::chmod(mine.c_str(), 0444));
    const auto r = vtest::run_as_nobody([&]() -> std::string {
        const OSErr e = copy(mine, into, nullptr);
        if (e != noErr) return "the copy failed: " + std::to_string(e);
        struct stat cs {};
        char rec[512];
        return fmtest::check(
                   ::stat((into / "ro").c_str(), &cs) == 0 && (cs.st_mode & 07777) == 0444,
                   "the copy's mode is not 0444") +
               fmtest::check(::getxattr((into / "ro").c_str(), "user.org.netatalk.Metadata", rec,
                                        sizeof rec) == 402,
                             "the copy has no record");
    });
    if (r) {
        EXPECT_EQ(*r, "");
    }
}

// A metadata record marked `mark` on `p` (itself, never a link's target).
int set_record(const fs::path& p, char mark) {
    std::string meta(402, '\0');
    meta[1] = 0x05;
    meta[100] = mark;
    return ::lsetxattr(p.c_str(), "user.org.netatalk.Metadata", meta.data(), meta.size(), 0);
}

// Which record `p` has: "record A" for one set_record(p, 'A') made.
std::string record_of(const fs::path& p) {
    char buf[1024];
    const ssize_t n = ::lgetxattr(p.c_str(), "user.org.netatalk.Metadata", buf, sizeof buf);
    if (n < 0) return "no record";
    if (n != 402) return "a record of " + std::to_string(n) + " bytes";
    return std::string("record ") + buf[100];
}

// What takes the source's name while its data is being copied (another
// program renaming over it) gives the copy nothing: the Finder information,
// comment and dates record come from the file whose data is copied, read
// from the descriptor the data comes from, never through the name again.
TEST(CopyFile, TheRecordComesFromTheFileWhoseDataIsCopied) {
    struct Row {
        const char* what;  // what is renamed over the source's name
        void (*make)(const fs::path& at, const fs::path& scratch);
    };
    const Row rows[] = {
        {"another file with its own record",
         [](const fs::path& at, const fs::path&) {
             std::ofstream(at) << "other data";
             set_record(at, 'B');
         }},
        {"a link to a file with its own record",
         [](const fs::path& at, const fs::path& scratch) {
             std::ofstream(scratch / "target") << "other data";
             set_record(scratch / "target", 'B');
             fs::create_symlink(scratch / "target", at);
         }},
        {"a folder with its own record",
         [](const fs::path& at, const fs::path&) {
             fs::create_directory(at);
             set_record(at, 'B');
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("copyfile");
        const fs::path src = dir.write("src/file", "the data copied");
        const fs::path dest = dir.mkdir("dest");
        const fs::path scratch = dir.mkdir("scratch");
        ASSERT_EQ(0, set_record(src, 'A'));
        row.make(scratch / "replacement", scratch);
        bool swapped = false;
        vantrel::fault::Scope scope;
        vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
            // The data is open: the name now goes to something else.
            if (!swapped && c.op == "PBHCopyFileSync.write") {
                swapped = true;
                fs::rename(src, scratch / "moved away");
                fs::rename(scratch / "replacement", src);
            }
        });
        const OSErr e = copy(src, dest, "copy");
        vantrel::fault::set_hook(nullptr);
        ASSERT_TRUE(swapped);
        ASSERT_EQ(noErr, e);
        EXPECT_EQ("the data copied", vtest::read_file(dest / "copy"));
        EXPECT_EQ("record A", record_of(dest / "copy"))
            << "the record of what took the name, or none, went with the data";
    }
}

TEST(CopyFile, RefusesAndLeavesNothingBehind) {
    vtest::TempDir dir("copyfile");
    const fs::path src = dir.write("src/file", "data");
    const fs::path dest = dir.mkdir("dest");
    dir.write("dest/taken", "mine");
    EXPECT_EQ(dupFNErr, copy(src, dest, "taken"));
    EXPECT_EQ("mine", vtest::read_file(dest / "taken"));
    EXPECT_EQ(notAFileErr, copy(dir.mkdir("src/sub"), dest, "x"));
    fs::create_symlink("/etc/passwd", dir.path() / "src/link");
    EXPECT_EQ(notAFileErr, copy(dir.path() / "src/link", dest, "x"));
    EXPECT_EQ(1u, entries(dest));

    if (vtest::set_immutable(dest, true)) {
        EXPECT_NE(noErr, copy(src, dest, "new"));
        vtest::set_immutable(dest, false);
        EXPECT_EQ(1u, entries(dest)) << "a refused copy leaves nothing";
    }

    // A whole copy refused because the name is taken leaves the file there
    // as it was, its resource fork too: that sidecar is no orphan.
    const fs::path held = dir.mkdir("held");
    dir.write("held/file", "theirs");
    vtest::write_sidecar(held / "file", "their fork");
    FSRef from = vtest::ref_of(src), into = vtest::ref_of(held);
    EXPECT_EQ(dupFNErr, VantrelFSCopyFileWhole(&from, &into, 0, nullptr, nullptr));
    EXPECT_EQ("theirs", vtest::read_file(held / "file"));
    EXPECT_EQ("their fork", vtest::sidecar_fork(held / "file"));
    EXPECT_EQ(2u, entries(held));

    // So does a file another program saves under the name, fork and all,
    // while the copy's data is being written: the name was free when the
    // copy began, but that sidecar is no orphan either.
    const fs::path raced = dir.mkdir("raced");
    FSRef racedRef = vtest::ref_of(raced);
    bool saved = false;
    {
        vantrel::fault::Scope scope;
        vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
            if (!saved && c.op == "PBHCopyFileSync.write") {
                saved = true;
                std::ofstream(raced / "file") << "theirs";
                vtest::write_sidecar(raced / "file", "their fork");
            }
        });
        EXPECT_EQ(dupFNErr, VantrelFSCopyFileWhole(&from, &racedRef, 0, nullptr, nullptr));
        vantrel::fault::set_hook(nullptr);
    }
    ASSERT_TRUE(saved);
    EXPECT_EQ("theirs", vtest::read_file(raced / "file"));
    EXPECT_EQ("their fork", vtest::sidecar_fork(raced / "file"));
    EXPECT_EQ(2u, entries(raced));

    // A whole copy that fails late takes back only what it made: a file
    // another program renamed onto the name meanwhile stays, also where the
    // copy had that name from the start (a file system without O_TMPFILE).
    for (const bool tmpfile : {true, false}) {
        SCOPED_TRACE(tmpfile ? "made unnamed" : "made under its name");
        const fs::path late = dir.mkdir(tmpfile ? "late" : "late named");
        const fs::path theirs = dir.write("theirs", "theirs");
        const fs::path recorded = dir.write("src/recorded", "data");
        ASSERT_EQ(0, set_record(recorded, 'A'));  // no creation date of its own
        FSRef rec = vtest::ref_of(recorded), lateRef = vtest::ref_of(late);
        bool renamed = false;
        {
            vantrel::fault::Scope scope;
            if (!tmpfile) vantrel::fault::set_override("PBHCopyFileSync.withoutTmpfile", 1);
            vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
                if (!renamed && c.op == "PBHCopyFileSync.times") {
                    renamed = true;
                    fs::rename(theirs, late / "recorded");
                }
            });
            vantrel::fault::fail_if([](const vantrel::fault::Call& c) -> OSErr {
                return c.op == "PBHCopyFileSync.times" ? ioErr : noErr;
            });
            EXPECT_NE(noErr, VantrelFSCopyFileWhole(&rec, &lateRef, 0, nullptr, nullptr));
            vantrel::fault::set_hook(nullptr);
        }
        ASSERT_TRUE(renamed);
        EXPECT_EQ("theirs", vtest::read_file(late / "recorded"))
            << "the other program's file was taken for the copy";
    }
}

// A destination volume that fills up part way, and a copy across volumes. The
// File Manager is used only inside the child, after the mount, so that no
// descriptor it keeps predates the child's own mount namespace.
TEST(CopyFile, FullVolumeLeavesNothingHalfMadeAndOtherVolumesWork) {
    vtest::TempDir dir("copyfile");
    const fs::path src = dir.write("src/file", "data");
    const fs::path vol = dir.mkdir("vol");
    const fs::path big = dir.write("src/big", std::string(2 << 20, 'b'));
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-tmpfs", vol.c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
        OSErr err = copy(big, vol, "big");
        std::string msg =
            fmtest::check(err == dskFulErr, "full volume gave " + std::to_string(err));
        msg += fmtest::check(entries(vol) == 0, "a half-made copy was left");
        err = copy(src, vol, "small");
        msg += fmtest::check(err == noErr && vtest::read_file(vol / "small") == "data",
                             "cross-volume copy gave " + std::to_string(err));
        ::umount2(vol.c_str(), MNT_DETACH);
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
    EXPECT_EQ("", *result);
}

// What the destination cannot hold fails a whole copy, which leaves nothing
// there, and the failure says what the system said: the attribute and the
// error of the call that failed, not a guess from free space afterwards.
TEST(CopyFileWhole, WhatTheDestinationCannotHoldFailsTheCopyAndSaysWhy) {
    struct Row {
        const char* what;
        const char* fsType;   // of the destination
        const char* options;  // its mount options
        std::size_t size;     // of the source's data
        const char* attr;     // an attribute of the source, or null
        OSErr result;
        int systemError;
        const char* named;  // the attribute the failure names
    };
    const Row rows[] = {
        {"an attribute a ramfs has no place for", "ramfs", nullptr, 4, "user.foo",
         errFSOperationNotSupported, ENOTSUP, "user.foo"},
        {"data a full tmpfs has no room for", "tmpfs", "size=1m", 2 << 20, nullptr, dskFulErr,
         ENOSPC, ""},
    };
    vtest::TempDir dir("copywhole");
    int n = 0;
    for (const Row& row : rows) {
        const std::string at = "r" + std::to_string(++n);
        const fs::path src = dir.write(at + "/src/f", std::string(row.size, 'd'));
        if (row.attr != nullptr) ::setxattr(src.c_str(), row.attr, "bar", 3, 0);
        const fs::path vol = dir.mkdir(at + "/vol");
        auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
            if (::mount("vt-copy", vol.c_str(), row.fsType, 0, row.options) != 0) return "SKIP";
            FSRef s = vtest::ref_of(src), d = vtest::ref_of(vol), made;
            VantrelFSCopyFailure why;
            std::memset(&why, 0x55, sizeof why);
            const OSErr e =
                VantrelFSCopyFileWholeExplained(&s, &d, 0, nullptr, nullptr, &made, &why);
            std::string msg = fmtest::check(e == row.result, "returned " + std::to_string(e));
            msg += fmtest::check(why.systemError == row.systemError,
                                 "the system's error was " + std::to_string(why.systemError));
            msg += fmtest::check(std::string(why.attribute) == row.named,
                                 std::string("named ") + why.attribute);
            msg += fmtest::check(entries(vol) == 0, "something was left");
            ::umount2(vol.c_str(), MNT_DETACH);
            return msg;
        });
        if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
        if (*result == "SKIP") GTEST_SKIP() << "cannot mount a " << row.fsType;
        EXPECT_EQ("", *result) << row.what;
        EXPECT_EQ(vtest::read_file(src), std::string(row.size, 'd')) << row.what;
    }
}

// Names of one file copied with one record of links become names of one
// copy; where the earlier copy is gone, the file is copied anew.
TEST(CopyFileWhole, OtherNamesOfACopiedFileBecomeNamesOfItsCopy) {
    struct Row {
        const char* what;
        bool removeFirstCopy;  // between the two calls
        bool oneFile;          // the two copies are one inode
    };
    const Row rows[] = {{"the first copy is there", false, true},
                        {"the first copy was deleted", true, false}};
    int n = 0;
    for (const Row& row : rows) {
        vtest::TempDir dir("copywhole");
        const std::string at = "r" + std::to_string(++n);
        const fs::path a = dir.write(at + "/src/a", "shared");
        const fs::path b = dir.path() / at / "src/b";
        fs::create_hard_link(a, b);
        const fs::path into = dir.mkdir(at + "/into");
        VantrelFSCopyLinksRef links = nullptr;
        ASSERT_EQ(noErr, VantrelFSNewCopyLinks(&links));
        FSRef ra = vtest::ref_of(a), rb = vtest::ref_of(b), d = vtest::ref_of(into);
        EXPECT_EQ(noErr,
                  VantrelFSCopyFileWholeExplained(&ra, &d, 0, nullptr, links, nullptr, nullptr))
            << row.what;
        if (row.removeFirstCopy) fs::remove(into / "a");
        EXPECT_EQ(noErr,
                  VantrelFSCopyFileWholeExplained(&rb, &d, 0, nullptr, links, nullptr, nullptr))
            << row.what;
        VantrelFSDisposeCopyLinks(links);
        EXPECT_EQ(vtest::read_file(into / "b"), "shared") << row.what;
        struct stat sa {
        }, sb{};
        ASSERT_EQ(0, ::stat((into / "b").c_str(), &sb)) << row.what;
        if (row.oneFile) {
            ASSERT_EQ(0, ::stat((into / "a").c_str(), &sa)) << row.what;
            EXPECT_EQ(sa.st_ino, sb.st_ino) << row.what;
            EXPECT_EQ(sb.st_nlink, 2U) << row.what;
        } else {
            EXPECT_EQ(sb.st_nlink, 1U) << row.what;
        }
    }
}

TEST(PBHMoveRename, MovesRenamesAndRefuses) {
    vtest::TempDir dir("moverename");
    const fs::path a = dir.write("a/file", "data");
    const fs::path b = dir.mkdir("b");
    FSRef before{};
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(a.c_str()), &before, nullptr));
    ASSERT_EQ(noErr, move(a, b, "renamed"));
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ("data", vtest::read_file(b / "renamed"));
    char path[4096];
    ASSERT_EQ(noErr, FSRefMakePath(&before, reinterpret_cast<UInt8*>(path), sizeof path));
    EXPECT_EQ((b / "renamed").string(), path) << "references follow the object";

    dir.write("a/renamed", "other");
    EXPECT_EQ(dupFNErr, move(dir.path() / "a/renamed", b, nullptr));
    EXPECT_EQ("data", vtest::read_file(b / "renamed"));

    dir.mkdir("outer/inner/deepest");
    EXPECT_EQ(badMovErr, move(dir.path() / "outer", dir.path() / "outer/inner/deepest", nullptr));
    EXPECT_EQ(badMovErr, move(dir.path() / "outer", dir.path() / "outer", "again"));
    EXPECT_TRUE(fs::exists(dir.path() / "outer/inner/deepest"));

    const fs::path locked = dir.write("a/locked", "x");
    if (vtest::set_immutable(locked, true)) {
        EXPECT_EQ(fLckdErr, move(locked, b, nullptr));
        vtest::set_immutable(locked, false);
        EXPECT_TRUE(fs::exists(locked));
    }
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("PBHMoveRenameSync", 1, ioErr);
    EXPECT_EQ(ioErr, move(locked, b, nullptr));
    EXPECT_TRUE(fs::exists(locked));
}

// What a whole copy keeps, for whoever makes it: the creation date of a
// file whose record gives none (Finder information alone), the owner and
// set-ID bits only where the copy may be given to the source's owner, and
// names as given; a name no file can have is refused before anything is made.
TEST(CopyFileWhole, KeepsWhatCpAKeepsForWhoeverCopies) {
    vtest::TempDir dir("copywhole");
    ::chmod(dir.path().c_str(), 0755);
    const passwd* nobody = ::getpwnam("nobody");
    struct Row {
        const char* what;
        bool asNobody;     // the copy is made by nobody
        bool nobodysFile;  // the source is nobody's (else root's)
        mode_t mode;       // the source's
        const char* name;  // the copy's, or null for the source's
        OSErr result;
        mode_t copyMode;  // the copy's, when made
    };
    const Row rows[] = {
        {"Finder information alone", false, false, 0644, nullptr, noErr, 0644},
        {"a new name", false, false, 0640, "new name", noErr, 0640},
        {"a name no file can have", false, false, 0644, "..", bdNamErr, 0},
        {"root's set-ID file, by root", false, false, 06755, nullptr, noErr, 06755},
        {"root's set-ID file, by nobody", true, false, 04755, nullptr, noErr, 0755},
        {"nobody's own set-user-ID file", true, true, 04755, nullptr, noErr, 04755},
    };
    int n = 0;
    for (const Row& row : rows) {
        if ((row.asNobody || row.nobodysFile) && (::geteuid() != 0 || nobody == nullptr)) continue;
        const std::string at = "r" + std::to_string(++n);
        const fs::path src = dir.write(at + "/src/f", "contents");
        const fs::path into = dir.mkdir(at + "/into");
        FSRef ref = vtest::ref_of(src);
        FSCatalogInfo info{};
        vtest::set_file_info(&info, 'TEXT', 'ttxt');
        ASSERT_EQ(noErr, FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info)) << row.what;
        if (row.asNobody || row.nobodysFile) {
            for (const fs::path& p : {src.parent_path().parent_path(), into}) {
                ASSERT_EQ(0, ::chown(p.c_str(), nobody->pw_uid, nobody->pw_gid)) << row.what;
            }
            ASSERT_EQ(0, ::chmod(src.parent_path().c_str(), 0755));
        }
        if (row.nobodysFile) {
            ASSERT_EQ(0, ::chown(src.c_str(), nobody->pw_uid, nobody->pw_gid));
        }
        ASSERT_EQ(0, ::chmod(src.c_str(), row.mode)) << row.what;
        FSCatalogInfo before{};
        ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoCreateDate | kFSCatInfoFinderInfo,
                                          &before, nullptr, nullptr, nullptr));
        auto body = [&]() -> std::string {
            FSRef s = vtest::ref_of(src), d = vtest::ref_of(into), made;
            const std::u16string name = row.name != nullptr ? vtest::u16(row.name) : u"";
            const OSErr e = VantrelFSCopyFileWhole(
                &s, &d, name.size(),
                row.name != nullptr ? reinterpret_cast<const UniChar*>(name.data()) : nullptr,
                &made);
            if (e != row.result) return "returned " + std::to_string(e);
            if (e != noErr) return fmtest::check(entries(into) == 0, "something was made");
            const fs::path copy = into / (row.name != nullptr ? row.name : "f");
            struct stat st {};
            FSCatalogInfo after{};
            const bool read = FSGetCatalogInfo(&made, kFSCatInfoCreateDate | kFSCatInfoFinderInfo,
                                               &after, nullptr, nullptr, nullptr) == noErr;
            if (::stat(copy.c_str(), &st) != 0) return "no copy";
            return fmtest::check((st.st_mode & 07777) == row.copyMode,
                                 "mode " + std::to_string(st.st_mode & 07777)) +
                   fmtest::check(st.st_uid == ::geteuid(), "the copy is not its maker's") +
                   fmtest::check(
                       read && after.createDate.highSeconds == before.createDate.highSeconds &&
                           after.createDate.lowSeconds == before.createDate.lowSeconds &&
                           after.createDate.fraction == before.createDate.fraction,
                       "the creation date was not kept") +
                   fmtest::check(read && std::memcmp(after.finderInfo, before.finderInfo, 16) == 0,
                                 "the Finder information was not kept") +
                   fmtest::check(vtest::read_file(copy) == "contents", "data differs");
        };
        const auto r = row.asNobody ? vtest::run_as_nobody(body) : std::optional(body());
        ASSERT_TRUE(r.has_value()) << row.what;
        EXPECT_EQ(*r, "") << row.what;
    }
}

// A folder's files are copied in turn, and whole copies read the folder once
// for the forks beside them: a fork there when it was read, one made since
// (the folder changed a moment ago), and one made after that reading once
// the folder has settled each go with their file. So for Netatalk 2's
// ".AppleDouble": one made after the folder was read without one, and an
// entry made in it once there (which leaves the folder's times alone),
// each refuse the copy of their file.
TEST(CopyFileWhole, EveryForkGoesWithItsFileWhateverTheFolderWasWhenRead) {
    vtest::TempDir dir("copywhole");
    const fs::path into = dir.mkdir("into");
    for (const char* f : {"a", "b", "c", "d", "e", "f"}) dir.write(std::string("src/") + f, f);
    vtest::write_sidecar(dir.path() / "src/b", "fork of b");
    const auto settle = [] { ::usleep(300'000); };  // past a clock tick's doubt
    settle();
    FSRef d = vtest::ref_of(into);
    const auto copy = [&](const char* f) {
        FSRef s = vtest::ref_of(dir.path() / "src" / f);
        return VantrelFSCopyFileWhole(&s, &d, 0, nullptr, nullptr);
    };
    ASSERT_EQ(noErr, copy("a"));
    ASSERT_EQ(noErr, copy("b"));
    vtest::write_sidecar(dir.path() / "src/c", "fork of c");
    ASSERT_EQ(noErr, copy("c"));
    vtest::write_sidecar(dir.path() / "src/d", "fork of d");
    settle();
    ASSERT_EQ(noErr, copy("d"));
    vtest::Netatalk2 afp;
    afp.comment = "kept by the AFP server";
    vtest::write_netatalk2(dir.path() / "src/e", afp);
    settle();
    EXPECT_OSERR(copy("e"), errFSOperationNotSupported);
    vtest::write_netatalk2(dir.path() / "src/f", afp);
    settle();
    EXPECT_OSERR(copy("f"), errFSOperationNotSupported);
    EXPECT_FALSE(vtest::present(into / "e"));
    EXPECT_FALSE(vtest::present(into / "f"));
    EXPECT_FALSE(vtest::present(into / "._a"));
    for (const char* f : {"b", "c", "d"}) {
        EXPECT_EQ(vtest::read_file(into / (std::string("._") + f)),
                  vtest::read_file(dir.path() / "src" / (std::string("._") + f)))
            << f << "'s fork";
    }
}

// A file system that stamps times to the second (ext4 with 128-byte inodes)
// gives a folder changed twice in one second the same times: a fork made
// after the folder was read, in the second of its last change, still goes
// with its file.
TEST(CopyFileWhole, EveryForkGoesWithItsFileWhereFolderTimesAreWholeSeconds) {
    vtest::TempDir dir("copywhole");
    const fs::path img = dir.path() / "seconds.img";
    const fs::path vol = dir.mkdir("vol");
    const fs::path into = dir.mkdir("into");
    const std::string mk = "mkfs.ext4 -q -F -I 128 " + img.string() + " 4M >/dev/null 2>&1";
    if (std::system(mk.c_str()) != 0) GTEST_SKIP() << "mkfs.ext4 is not available";
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        const std::string mount =
            "mount -o loop " + img.string() + " " + vol.string() + " >/dev/null 2>&1";
        if (std::system(mount.c_str()) != 0) return "SKIP";
        const fs::path src = vol / "src";
        fs::create_directory(src);
        std::ofstream(src / "a") << "a";
        std::ofstream(src / "b") << "b";
        // The folder's last change just after a second begins (past the
        // kernel's clock tick, which may lag behind); a read of it
        // (copying a) once it has settled, and b's fork, in that same second.
        struct timespec now {};
        do {
            ::usleep(1000);
            ::clock_gettime(CLOCK_REALTIME, &now);
        } while (now.tv_nsec < 50'000'000 || now.tv_nsec > 100'000'000);
        std::ofstream(src / "gone") << "";
        fs::remove(src / "gone");
        ::usleep(300'000);
        FSRef d = vtest::ref_of(into);
        const auto copy = [&](const char* f) {
            FSRef s = vtest::ref_of(src / f);
            return VantrelFSCopyFileWhole(&s, &d, 0, nullptr, nullptr);
        };
        std::string msg = fmtest::check(copy("a") == noErr, "a was not copied");
        vtest::write_sidecar(src / "b", "fork of b");
        msg += fmtest::check(copy("b") == noErr, "b was not copied");
        msg += fmtest::check(vtest::sidecar_fork(into / "b") == "fork of b",
                             "b's fork was left behind");
        ::umount2(vol.c_str(), MNT_DETACH);
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount an ext4 image";
    EXPECT_EQ("", *result);
}

}  // namespace

namespace {

// Waits up to `ms` for a byte on `fd`; true when one came.
bool byte_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    return ::poll(&p, 1, ms) == 1 && ::read(fd, &c, 1) == 1;
}

}  // namespace

// Two copies of different files to one name, in two processes, the second
// run while the first is about to give its file the name (the moment a
// race once hit by chance in half the rounds): one copy wins and has its
// own fork, and nothing is left beside it. The second copy once took the
// first's sidecar for an orphan and removed it, and its own undo then
// removed the one it had made: the winner had no fork. A second file
// without a fork names no sidecar, so it does not wait for the folder's
// lock: it gets as far as its own link while the first holds the lock.
TEST(CopyFile, TwoCopiesToOneNameLeaveTheWinnerWithItsOwnFork) {
    struct Case {
        const char* what;
        bool whole;  // VantrelFSCopyFileWhole, else PBHCopyFileSync
        bool withoutTmpfile;
        bool secondForkless;  // the second file has no resource fork
    };
    const Case cases[] = {
        {"PBHCopyFileSync", false, false, false},
        {"VantrelFSCopyFileWhole", true, false, false},
        {"VantrelFSCopyFileWhole without O_TMPFILE", true, true, false},
        {"PBHCopyFileSync, the second without a fork", false, false, true},
        {"VantrelFSCopyFileWhole, the second without a fork", true, false, true},
        {"VantrelFSCopyFileWhole without O_TMPFILE, the second without a fork", true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtest::TempDir dir("copyrace");
        const fs::path a = dir.write("a/X", "data of a"), b = dir.write("b/X", "data of b");
        vtest::write_sidecar(a, "fork of a");
        if (!c.secondForkless) vtest::write_sidecar(b, "fork of b");
        const fs::path dest = dir.mkdir("dest");
        auto run_copy = [&](const fs::path& src) {
            if (!c.whole) return copy(src, dest, nullptr);
            FSRef s = vtest::ref_of(src), d = vtest::ref_of(dest);
            return VantrelFSCopyFileWhole(&s, &d, 0, nullptr, nullptr);
        };
        vantrel::fault::Scope scope;
        if (c.withoutTmpfile) vantrel::fault::set_override("PBHCopyFileSync.withoutTmpfile", 1);
        int ready[2], go[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(go), 0);
        pid_t other = -1;
        bool otherWasThere = false;
        vantrel::fault::set_hook([&](const vantrel::fault::Call& call) {
            if (call.op != "PBHCopyFileSync.link" || other != -1) return;
            other = ::fork();
            if (other == 0) {
                // The second copy stops at the same moment of its own.
                vantrel::fault::set_hook([&](const vantrel::fault::Call& mine) {
                    if (mine.op != "PBHCopyFileSync.link") return;
                    char one = 1;
                    (void)!::write(ready[1], &one, 1);
                    byte_within(go[0], 10000);
                });
                const OSErr e = run_copy(b);
                ::_exit(e == noErr ? 0 : e == dupFNErr ? 1 : 2);
            }
            // Give it time to get as far as it can (one that need not wait
            // gets there: the time is only a bound for one that waits).
            otherWasThere = byte_within(ready[0], c.secondForkless ? 10000 : 1000);
        });
        const OSErr first = run_copy(a);
        vantrel::fault::set_hook(nullptr);
        char one = 1;
        ASSERT_EQ(::write(go[1], &one, 1), 1);
        ASSERT_GT(other, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(other, &status, 0), other);
        ASSERT_TRUE(WIFEXITED(status));
        const int second = WEXITSTATUS(status);
        for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);

        ASSERT_NE(second, 2) << "the second copy failed otherwise than on the taken name";
        EXPECT_NE(first == noErr, second == 0) << "exactly one copy succeeds";
        const bool aWon = first == noErr;
        EXPECT_EQ(vtest::read_file(dest / "X"), aWon ? "data of a" : "data of b");
        const char* secondFork = c.secondForkless ? "<absent>" : "fork of b";
        EXPECT_EQ(vtest::sidecar_fork(dest / "X"), aWon ? "fork of a" : secondFork)
            << (otherWasThere ? "the second copy ran up to its link" : "the second copy waited");
        EXPECT_EQ(entries(dest), aWon || !c.secondForkless ? 2u : 1u)
            << "the copy and its sidecar, nothing else";
        EXPECT_TRUE(otherWasThere || !c.secondForkless) << "the copy without a fork waited";
    }
}

// Inside a folder under a private name (where a tree copy fills its copy
// before naming it) a copy and its fork have their final names while they
// are written: no one sees them there. Elsewhere they have them only once
// whole. Either way a failure at any step takes back all it made, and a
// name already taken is refused and left as it was. A folder of a tree copy
// that has had a file copied in already is answered for again once the
// copy has its name: a folder below it that was never finished is seen by
// everyone from then on.
TEST(CopyFileWhole, WithinAPrivateFolderACopyIsMadeUnderItsNamesAtOnce) {
    // Where the destination comes from: a folder made here, or a folder of
    // a tree copy (already holding one file), still being made or named
    // since with that folder left unfinished.
    enum class Made { Here, InCopy, InCopyNamedSince };
    struct Row {
        const char* what;
        const char* into;  // the destination, below the test's folder (Made::Here)
        bool fork;         // the source has a resource fork
        bool namedEarly;   // the copy has its name before it is whole
        Made made = Made::Here;
        // Copied under the umask 077, from a file another user owns (as
        // root; the umask alone otherwise): the fork still gets its file's
        // owner and mode.
        bool strangers = false;
    };
    const Row rows[] = {
        {"a private folder", "._._vantrel.tree", false, true},
        {"a private folder, with a fork", "._._vantrel.tree", true, true},
        {"a folder within a private one", "._._vantrel.tree/a/b", true, true},
        {"a folder seen by everyone", "seen/a", true, false},
        {"a folder whose name only looks private", "seen/x._._vantrel.tree", true, false},
        {"a folder of a tree copy being made", nullptr, true, true, Made::InCopy},
        {"a folder of a tree copy named since", nullptr, true, false, Made::InCopyNamedSince},
        {"a private folder, another's file under a narrow umask", "._._vantrel.tree", true, true,
         Made::Here, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("copyprivate");
        const fs::path src = dir.write("src/f", "the data");
        if (row.fork) vtest::write_sidecar(src, "the fork");
        const bool asRoot = ::geteuid() == 0;
        const uid_t owner = row.strangers && asRoot ? 65534 : ::geteuid();
        const gid_t group = row.strangers && asRoot ? 65534 : ::getegid();
        if (row.strangers && asRoot) {
            ASSERT_EQ(::lchown(src.c_str(), owner, group), 0);
            ASSERT_EQ(::lchown(vtest::sidecar_path(src).c_str(), owner, group), 0);
        }
        ASSERT_EQ(::chmod(src.c_str(), 0644), 0);
        FSRef from = vtest::ref_of(src);
        // What the copy left, without the litter a benign failure may leave
        // (a journal that could not be removed: the next listing drops it).
        auto left = [](const fs::path& d) {
            std::size_t n = 0;
            for (const auto& e : fs::directory_iterator(d))
                n += e.path().filename().string().starts_with("._._vantrel.") ? 0 : 1;
            return n;
        };
        // A tree copy of `tree` into `base` as "c", its folder "sub" made
        // and given the file "g"; with `name`, the copy is then named while
        // "sub" is left unfinished. The folder "sub" of the copy.
        const fs::path tree = dir.write("tree/sub/g", "first in").parent_path().parent_path();
        auto inCopy = [&](const fs::path& base, bool name, FSRef* subRef) {
            const FSRef treeRef = vtest::ref_of(tree), baseRef = vtest::ref_of(base);
            const FSRef sub = vtest::ref_of(tree / "sub"), g = vtest::ref_of(tree / "sub" / "g");
            const std::u16string c = vtest::u16("c");
            FSRef top;
            struct timespec times[2], subTimes[2];
            EXPECT_EQ(
                VantrelFSCreateFolderCopy(&treeRef, &baseRef, c.size(), vtest::uc(c), &top, times),
                noErr);
            EXPECT_EQ(VantrelFSCreateFolderCopy(&sub, &top, 0, nullptr, subRef, subTimes), noErr);
            EXPECT_EQ(VantrelFSCopyFileWhole(&g, subRef, 0, nullptr, nullptr), noErr);
            if (name) {
                EXPECT_EQ(VantrelFSFinishFolderCopy(&treeRef, &top, times, nullptr), noErr);
            }
            for (const std::string& n : vtest::names_on_disk(base))
                if (fs::is_directory(base / n)) return base / n / "sub";
            return base / "<none>";
        };
        const std::size_t already = row.made == Made::Here ? 0 : 1;  // "g"
        int trial = 0;
        vtest::FaultSweep sweep;
        sweep.run([&](vtest::FaultTrial& t) {
            const fs::path base = dir.path() / ("t" + std::to_string(++trial));
            fs::path into;
            FSRef intoRef;
            if (row.made == Made::Here) {
                into = base / row.into;
                fs::create_directories(into);
                intoRef = vtest::ref_of(into);
            } else {
                fs::create_directories(base);
                into = inCopy(base, row.made == Made::InCopyNamedSince, &intoRef);
                ASSERT_TRUE(fs::is_directory(into));
            }
            const vtest::Snapshot before = vtest::snapshot(into);
            bool sawData = false, sawFork = false, timed = false;
            vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
                if (timed || c.op != "PBHCopyFileSync.times") return;
                timed = true;
                sawData = vtest::present(into / "f");
                sawFork = vtest::present(into / "._f");
            });
            const mode_t mask = ::umask(row.strangers ? 077 : 022);
            const OSErr e = t.inject(
                [&] { return VantrelFSCopyFileWhole(&from, &intoRef, 0, nullptr, nullptr); });
            ::umask(mask);
            vantrel::fault::set_hook(nullptr);
            if (!t.clean()) {
                t.expect_undone(e, before, vtest::snapshot(into));
                return;
            }
            ASSERT_OSERR(e, noErr);
            EXPECT_TRUE(timed);
            EXPECT_EQ(sawData, row.namedEarly) << "the data under its name while written";
            EXPECT_EQ(sawFork, row.namedEarly && row.fork) << "the fork under its name";
            EXPECT_EQ(vtest::read_file(into / "f"), "the data");
            EXPECT_EQ(vtest::sidecar_fork(into / "f"), row.fork ? "the fork" : "<absent>");
            for (const char* made : {"f", "._f"}) {
                struct stat st {};
                if (::lstat((into / made).c_str(), &st) != 0) continue;
                EXPECT_EQ(st.st_mode & 07777, 0644u) << made;
                EXPECT_EQ(st.st_uid, owner) << made;
                EXPECT_EQ(st.st_gid, group) << made;
            }
            EXPECT_EQ(left(into), already + (row.fork ? 2u : 1u))
                << "the copy, its sidecar, nothing else";
            // Once more: the name is taken now, and what has it stays.
            vtest::write_file(into / "f", "theirs");
            EXPECT_OSERR(VantrelFSCopyFileWhole(&from, &intoRef, 0, nullptr, nullptr), dupFNErr);
            EXPECT_EQ(vtest::read_file(into / "f"), "theirs");
            EXPECT_EQ(left(into), already + (row.fork ? 2u : 1u));
        });
    }
}

// A folder of a tree copy being made, which the copy holds open, is found
// by its descriptor: the files copied into it never look it up by name.
// Changed between two files by another program all the same (locked, or
// taken away), it is seen as a look by name would have seen it.
TEST(CopyFileWhole, AFolderOfATreeCopyIsFoundByTheDescriptorItHolds) {
    enum class Then { Nothing, Locked, Removed };
    struct Row {
        const char* what;
        Then then;
        OSErr want;
    };
    const Row rows[] = {
        {"left as made", Then::Nothing, noErr},
        {"locked since", Then::Locked, fLckdErr},
        {"taken away since", Then::Removed, fnfErr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("copyheld");
        if (row.then == Then::Locked && !vtest::can_set_immutable(dir.path())) {
            std::cout << "[ SKIPPED  ] " << row.what << ": " << vtest::kNeedsImmutable << "\n";
            continue;
        }
        const fs::path tree = dir.write("tree/sub/g", "first in").parent_path().parent_path();
        for (const char* f : {"f1", "f2", "f3", "f4"}) dir.write(std::string("src/") + f, f);
        const fs::path base = dir.mkdir("base");
        const FSRef treeRef = vtest::ref_of(tree), baseRef = vtest::ref_of(base);
        const FSRef sub = vtest::ref_of(tree / "sub"), g = vtest::ref_of(tree / "sub" / "g");
        const std::u16string c = vtest::u16("c");
        FSRef top, subCopy;
        struct timespec times[2], subTimes[2];
        ASSERT_EQ(
            VantrelFSCreateFolderCopy(&treeRef, &baseRef, c.size(), vtest::uc(c), &top, times),
            noErr);
        ASSERT_EQ(VantrelFSCreateFolderCopy(&sub, &top, 0, nullptr, &subCopy, subTimes), noErr);
        ASSERT_EQ(VantrelFSCopyFileWhole(&g, &subCopy, 0, nullptr, nullptr), noErr);
        fs::path made;
        for (const std::string& n : vtest::names_on_disk(base))
            if (fs::is_directory(base / n)) made = base / n / "sub";
        ASSERT_TRUE(fs::is_directory(made));
        if (row.then == Then::Locked) {
            ASSERT_TRUE(vtest::set_immutable(made, true));
        }
        if (row.then == Then::Removed) fs::remove_all(made);
        // In a child, so that the calls are counted; its copies are its own.
        const auto run = vtest::traced_calls(
            [&] {
                for (const char* f : {"f1", "f2", "f3", "f4"}) {
                    FSRef s = vtest::ref_of(dir.path() / "src" / f);
                    const OSErr e = VantrelFSCopyFileWhole(&s, &subCopy, 0, nullptr, nullptr);
                    if (e != row.want) ::_exit(10 + static_cast<int>(std::string_view(f)[1] - '0'));
                }
                ::_exit(0);
            },
            "\"sub\"");
        if (row.then == Then::Locked) vtest::set_immutable(made, false);
        if (!run) GTEST_SKIP() << vtest::kNoTracer;
        EXPECT_EQ(run->status, 0) << "10 + the first file whose copy gave another result";
        long looks = 0;
        for (const auto& [call, n] : run->calls) looks += n;
        if (row.then == Then::Nothing) {
            EXPECT_EQ(looks, 0) << "looks at the folder by its name";
            for (const char* f : {"f1", "f2", "f3", "f4"}) {
                EXPECT_EQ(vtest::read_file(made / f), f);
            }
        }
        EXPECT_EQ(VantrelFSAbandonFolderCopy(&top), noErr);
    }
}

// A file a listing found without attributes is copied without a list of
// its own: the listing's stands while the file's change time does. One
// given an attribute between the listing and its copy (which moves that
// time) is listed again, and its copy has the attribute.
TEST(CopyFileWhole, TheListingsAttributeNamesStandUntilTheFileChanges) {
    struct Row {
        const char* what;
        bool changed;  // "f2" is given an attribute after the listing
        long lists;    // of the copies' sources' attribute names
    };
    const Row rows[] = {
        {"left alone since", false, 0},
        {"one given an attribute since", true, 1},
    };
    const char* const files[] = {"f1", "f2", "f3", "f4"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("copylisted");
        for (const char* f : files) dir.write(std::string("src/") + f, f);
        const fs::path into = dir.mkdir("into");
        ::usleep(300'000);  // the files' change times well past, as a tree's are
        const auto run = vtest::traced_calls([&] {
            FSRef src = vtest::ref_of(dir.path() / "src"), d = vtest::ref_of(into);
            FSIterator it = nullptr;
            if (FSOpenIterator(&src, kFSIterateFlat, &it) != noErr) ::_exit(2);
            ItemCount n = 0;
            FSCatalogInfo infos[8];
            FSRef refs[8];
            const OSErr e = FSGetCatalogInfoBulk(it, 8, &n, nullptr, kFSCatInfoPermissions, infos,
                                                 refs, nullptr, nullptr);
            FSCloseIterator(it);
            if ((e != noErr && e != errFSNoMoreItems) || n != 4) ::_exit(3);
            if (row.changed &&
                ::setxattr((dir.path() / "src" / "f2").c_str(), "user.kept", "v", 1, 0) != 0)
                ::_exit(4);
            for (ItemCount i = 0; i < n; ++i)
                if (VantrelFSCopyFileWhole(&refs[i], &d, 0, nullptr, nullptr) != noErr) ::_exit(5);
            ::_exit(0);
        });
        if (!run) GTEST_SKIP() << vtest::kNoTracer;
        ASSERT_EQ(run->status, 0) << "2, 3: the listing failed; 4: the attribute; 5: a copy";
        EXPECT_EQ(vtest::calls_of(run->calls, "flistxattr"), row.lists);
        for (const char* f : files) EXPECT_EQ(vtest::read_file(into / f), f);
        char value[8] = {};
        const ssize_t got = ::getxattr((into / "f2").c_str(), "user.kept", value, sizeof value);
        EXPECT_EQ(got, row.changed ? 1 : -1) << "the attribute set since the listing";
    }
}

// One folder reached through two mounts (a bind mount of it inside
// another folder) is one object on disk, though two references; two
// folders, or a folder and its copy, are two.
TEST(CompareObjectsOnDisk, OneFolderThroughTwoMountsIsOneObject) {
    vtest::TempDir dir("sameobject");
    const fs::path a = dir.mkdir("a");
    const fs::path b = dir.mkdir("b");
    const fs::path at = dir.mkdir("b/at");
    vtest::write_file(a / "f", "f");
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount(a.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) return "SKIP";
        FSRef ra = vtest::ref_of(a), rat = vtest::ref_of(at), rb = vtest::ref_of(b);
        FSRef fa = vtest::ref_of(a / "f"), fat = vtest::ref_of(at / "f");
        struct Case {
            const char* what;
            const FSRef* x;
            const FSRef* y;
            OSErr onDisk;
            OSErr refs;  // FSCompareFSRefs
        };
        const Case cases[] = {
            {"a folder and its bind mount", &ra, &rat, noErr, errFSRefsDifferent},
            {"a file reached through both", &fa, &fat, noErr, errFSRefsDifferent},
            {"a folder and itself", &ra, &ra, noErr, noErr},
            {"two folders", &ra, &rb, errFSRefsDifferent, errFSRefsDifferent},
            {"a folder and a file in it", &ra, &fa, errFSRefsDifferent, errFSRefsDifferent},
            {"no second reference", &ra, nullptr, paramErr, paramErr},
        };
        std::string msg;
        for (const Case& c : cases) {
            msg += fmtest::check(VantrelFSCompareObjectsOnDisk(c.x, c.y) == c.onDisk,
                                 std::string(c.what) + ": not the object it is on disk");
            msg += fmtest::check(FSCompareFSRefs(c.x, c.y) == c.refs,
                                 std::string(c.what) + ": FSCompareFSRefs changed");
        }
        ::umount2(at.c_str(), MNT_DETACH);
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot bind-mount here";
    EXPECT_EQ("", *result);
}
