// File IDs: the marker on the file, resolution after moves by other programs
// (the on-disk search a fresh process makes), copies, deletion and locks.
#include "fm/obj_fileid.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <cstring>
#include <fstream>

#include "FSTestSupport.h"
#include "SmallVolume.h"
#include "TempDir.h"
#include "fm_child.h"
#include "vantrel/Files.h"

namespace {

namespace fs = std::filesystem;

using vtest::ref_of;
using vtest::spec_of;

OSErr create_id(const fs::path& p, SInt32* id) {
    FSSpec s = spec_of(p);
    HParamBlockRec pb{};
    pb.fidParam.ioNamePtr = s.name;
    pb.fidParam.ioVRefNum = s.vRefNum;
    pb.fidParam.ioSrcDirID = s.parID;
    OSErr err = PBCreateFileIDRefSync(&pb);
    *id = pb.fidParam.ioFileID;
    return err;
}

// The path of the file with ID `id`, or "" with the error in `err`.
std::string resolve_id(FSVolumeRefNum vref, SInt32 id, OSErr* err) {
    return vtest::path_of_file_id(vref, id, err);
}

TEST(FileID, MarkerRecordsTheIDAndTheInode) {
    vtest::TempDir dir("fileid");
    const fs::path f = dir.write("f", "x");
    SInt32 id = 0;
    ASSERT_EQ(noErr, create_id(f, &id));
    struct stat st {};
    ASSERT_EQ(0, ::stat(f.c_str(), &st));
    EXPECT_EQ(static_cast<SInt32>(st.st_ino), id) << "the file ID is the inode's node ID";
    unsigned char m[64];
    ASSERT_EQ(24, ::getxattr(f.c_str(), vantrel::fm::kFileIDAttr, m, sizeof m));
    EXPECT_EQ(0, std::memcmp(m, "VFID", 4));
    EXPECT_EQ(static_cast<UInt32>(id),
              (UInt32(m[4]) << 24) | (UInt32(m[5]) << 16) | (UInt32(m[6]) << 8) | m[7]);

    SInt32 again = 0;
    EXPECT_EQ(fidExists, create_id(f, &again));
    EXPECT_EQ(id, again);
    // A damaged marker is no marker: the ID is made anew, over it.
    ASSERT_EQ(0, ::setxattr(f.c_str(), vantrel::fm::kFileIDAttr, "garbage", 7, 0));
    EXPECT_EQ(noErr, create_id(f, &again));
    EXPECT_EQ(id, again);
}

TEST(FileID, DeleteEndsTheIDAndOddObjectsAreRefused) {
    // The search for an ID that is gone reads every file of the volume.
    const vtest::TempDir dir = vtest::small_volume_dir("fileid");
    const fs::path f = dir.write("f", "x");
    SInt32 id = 0;
    ASSERT_EQ(noErr, create_id(f, &id));
    FSSpec s = spec_of(f);
    HParamBlockRec pb{};
    pb.fidParam.ioVRefNum = s.vRefNum;
    pb.fidParam.ioFileID = id;
    ASSERT_EQ(noErr, PBDeleteFileIDRefSync(&pb));
    EXPECT_LT(::getxattr(f.c_str(), vantrel::fm::kFileIDAttr, nullptr, 0), 0);
    OSErr err = noErr;
    vantrel::fm::forget_file_ids();
    EXPECT_EQ("", resolve_id(s.vRefNum, id, &err));
    EXPECT_EQ(fidNotFound, err);
    EXPECT_EQ(fidNotFound, PBDeleteFileIDRefSync(&pb));

    fs::create_symlink(f, dir.path() / "link");
    EXPECT_EQ(notAFileErr, create_id(dir.path() / "link", &id));
    EXPECT_EQ(notAFileErr, create_id(dir.mkdir("d"), &id));
}

TEST(FileID, ALockedFileGetsNone) {
    vtest::TempDir dir("fileid");
    if (!vtest::can_set_immutable(dir.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    const fs::path locked = dir.write("locked", "y");
    ASSERT_TRUE(vtest::set_immutable(locked, true));
    SInt32 id = 0;
    EXPECT_EQ(fLckdErr, create_id(locked, &id));
    vtest::set_immutable(locked, false);
}

// A fresh process knows nothing of where the file went: on its own volume (a
// tmpfs in a private mount namespace) the ID is found again by the search,
// after another program renamed and moved the file. The first inodes of a new
// tmpfs are below 16, so the IDs there are assigned ones and the search has
// to read the markers; the later file has an inode-number ID.
TEST(FileID, FoundOnDiskAfterAnotherProgramMovedIt) {
    vtest::TempDir dir("fileid");
    const fs::path mnt = dir.mkdir("vol");
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-tmpfs", mnt.c_str(), "tmpfs", 0, "size=4m") != 0) return "SKIP";
        std::string msg;
        fs::create_directories(mnt / "a/deep/er");
        fs::create_directories(mnt / "b");
        std::ofstream(mnt / "a/early") << "early";
        for (int i = 0; i < 20; ++i) std::ofstream(mnt / ("b/pad" + std::to_string(i))) << i;
        std::ofstream(mnt / "a/deep/er/late") << "late";
        SInt32 early = 0, late = 0;
        msg += fmtest::check(create_id(mnt / "a/early", &early) == noErr, "create early");
        msg += fmtest::check(create_id(mnt / "a/deep/er/late", &late) == noErr, "create late");
        const FSVolumeRefNum vref = spec_of(mnt / "a/early").vRefNum;
        fs::rename(mnt / "a/early", mnt / "b/moved-early");
        fs::rename(mnt / "a/deep/er/late", mnt / "late-at-root");
        vantrel::fm::forget_file_ids();
        OSErr err = noErr;
        std::string p = resolve_id(vref, early, &err);
        msg += fmtest::check(p == (mnt / "b/moved-early").string(),
                             "early found at '" + p + "' err " + std::to_string(err));
        p = resolve_id(vref, late, &err);
        msg += fmtest::check(p == (mnt / "late-at-root").string(),
                             "late found at '" + p + "' err " + std::to_string(err));
        // A copy that carries the marker is another file.
        fs::remove(mnt / "late-at-root");
        std::system(("cp --preserve=xattr " + (mnt / "b/moved-early").string() + " " +
                     (mnt / "copy").string())
                        .c_str());
        fs::remove(mnt / "b/moved-early");
        vantrel::fm::forget_file_ids();
        resolve_id(vref, early, &err);
        msg += fmtest::check(err == fidNotFound,
                             "a copy answered for the original: " + std::to_string(err));
        resolve_id(vref, late, &err);
        msg += fmtest::check(err == fidNotFound, "a deleted file answered: " + std::to_string(err));
        ::umount2(mnt.c_str(), MNT_DETACH);
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
    EXPECT_EQ("", *result);
}

}  // namespace
