// Lock state and fork sizes on real files, locked files and read-only volumes.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>

#include "finder_test_support.h"
#include "vantrel/fault.h"

namespace {

using namespace ftest;

class LockForksTest : public ::testing::Test {
  protected:
    vantrel::fault::Scope scope_;
    vtest::TempDir dir_{"lockforks"};
};

TEST_F(LockForksTest, CheckLockReportsTheObjectsOwnLock) {
    if (!vtest::can_set_immutable(dir_.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    const fs::path file = dir_.write("f", "data");
    const fs::path folder = dir_.mkdir("d");
    FSRef fileRef = ref_of(file), folderRef = ref_of(folder);
    ASSERT_TRUE(vtest::set_immutable(file, true) && vtest::set_immutable(folder, true));
    EXPECT_EQ(fLckdErr, FSCheckLock(&fileRef));
    EXPECT_EQ(fLckdErr, FSCheckLock(&folderRef));
    vtest::set_immutable(file, false);
    vtest::set_immutable(folder, false);
    EXPECT_EQ(noErr, FSCheckLock(&fileRef));
}

TEST_F(LockForksTest, CheckLockOfAnUnlockedObjectAndItsFailures) {
    const fs::path file = dir_.write("f", "data");
    const fs::path folder = dir_.mkdir("d");
    FSRef fileRef = ref_of(file), folderRef = ref_of(folder);
    EXPECT_EQ(noErr, FSCheckLock(&fileRef));
    EXPECT_EQ(noErr, FSCheckLock(&folderRef));

    FSRef none{};
    EXPECT_NE(noErr, FSCheckLock(&none));
    vantrel::fault::fail_nth("FSGetVolumeInfo", 1, nsvErr);
    EXPECT_EQ(nsvErr, FSCheckLock(&fileRef)) << "a failing volume query is passed on";
}

// A tmpfs mounted read-only in a private mount namespace: the volume is
// software-locked; a locked file on it still answers with its own lock first.
TEST_F(LockForksTest, ReadOnlyVolumeGivesVolumeLockAndALockedFileItsOwnLock) {
    const fs::path mnt = dir_.mkdir("ro");
    auto result = in_private_mounts([&]() -> std::string {
        if (::mount("vt-tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
            return "SKIP mount tmpfs failed";
        std::string msg;
        {
            std::ofstream(mnt / "plain") << "x";
            std::ofstream(mnt / "locked") << "y";
        }
        if (!vtest::set_immutable(mnt / "locked", true))
            return "SKIP tmpfs refuses the immutable attribute";
        if (::mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return "SKIP remount ro failed";
        FSRef plain{}, locked{}, root{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>((mnt / "plain").c_str()), &plain,
                          nullptr) != noErr ||
            FSPathMakeRef(reinterpret_cast<const UInt8*>((mnt / "locked").c_str()), &locked,
                          nullptr) != noErr ||
            FSPathMakeRef(reinterpret_cast<const UInt8*>(mnt.c_str()), &root, nullptr) != noErr) {
            return "FSPathMakeRef failed on the read-only volume";
        }
        msg +=
            expect_eq("plain file on a read-only volume", int(vLckdErr), int(FSCheckLock(&plain)));
        msg += expect_eq("the read-only volume's root", int(vLckdErr), int(FSCheckLock(&root)));
        msg += expect_eq("locked file on a read-only volume", int(fLckdErr),
                         int(FSCheckLock(&locked)));
        // A bump that cannot write is still a success.
        msg += expect_eq("bump on a read-only volume", int(noErr), int(FSBumpDate(&plain)));
        ::mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT, nullptr);
        vtest::set_immutable(mnt / "locked", false);
        ::umount(mnt.c_str());
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (result->rfind("SKIP ", 0) == 0) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ("", *result);
}

// A write-protected medium: an ext4 image on a read-only loop device. The
// volume is then hardware- and software-locked, and the hardware lock wins.
TEST_F(LockForksTest, WriteProtectedMediumGivesWriteProtectError) {
    const fs::path img = dir_.path() / "disk.img";
    const fs::path mnt = dir_.mkdir("wp");
    const std::string mk = "mkfs.ext4 -q -F " + img.string() + " 2M >/dev/null 2>&1";
    if (std::system(mk.c_str()) != 0) GTEST_SKIP() << "mkfs.ext4 is not available";
    auto result = in_private_mounts([&]() -> std::string {
        const std::string attach =
            "losetup -r -f --show " + img.string() + " > " + (dir_.path() / "loopdev").string();
        if (std::system(attach.c_str()) != 0) return "SKIP no loop device";
        std::string dev = vtest::read_file(dir_.path() / "loopdev");
        while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
        std::string msg;
        if (::mount(dev.c_str(), mnt.c_str(), "ext4", MS_RDONLY, nullptr) != 0) {
            msg = "SKIP cannot mount the image";
        } else {
            FSRef root{};
            if (FSPathMakeRef(reinterpret_cast<const UInt8*>(mnt.c_str()), &root, nullptr) !=
                noErr) {
                msg = "FSPathMakeRef failed on the image";
            } else {
                msg += expect_eq("write-protected medium", int(wPrErr), int(FSCheckLock(&root)));
            }
            ::umount(mnt.c_str());
        }
        std::system(("losetup -d " + dev).c_str());
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (result->rfind("SKIP ", 0) == 0) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ("", *result);
}

TEST_F(LockForksTest, ForkSizesAreLogicalLengthsOfBothForks) {
    const fs::path file = dir_.write("f", "12345");
    set_xattr(file, kResourceForkAttr, "rsrc!!!");
    const fs::path bare = dir_.write("bare", std::string(10000, 'z'));
    const fs::path folder = dir_.mkdir("d");
    FSRef fileRef = ref_of(file), bareRef = ref_of(bare), folderRef = ref_of(folder);

    UInt64 data = 99, rsrc = 99;
    ASSERT_EQ(noErr, FSGetForkSizes(&fileRef, &data, &rsrc));
    EXPECT_EQ(5u, data);
    EXPECT_EQ(7u, rsrc);
    ASSERT_EQ(noErr, FSGetForkSizes(&bareRef, &data, &rsrc));
    EXPECT_EQ(10000u, data) << "logical, not allocated";
    EXPECT_EQ(0u, rsrc);
    ASSERT_EQ(noErr, FSGetForkSizes(&fileRef, nullptr, &rsrc));
    EXPECT_EQ(7u, rsrc);

    // A folder is refused even when nothing is asked for, and nothing is written.
    data = rsrc = 42;
    EXPECT_EQ(notAFileErr, FSGetForkSizes(&folderRef, &data, &rsrc));
    EXPECT_EQ(42u, data);
    EXPECT_EQ(42u, rsrc);
    EXPECT_EQ(notAFileErr, FSGetForkSizes(&folderRef, nullptr, nullptr));
    EXPECT_EQ(noErr, FSGetForkSizes(&fileRef, nullptr, nullptr));

    vantrel::fault::fail_nth("FSGetCatalogInfo", 1, ioErr);
    EXPECT_EQ(ioErr, FSGetForkSizes(&fileRef, &data, &rsrc));
    EXPECT_EQ(42u, data);
}

TEST_F(LockForksTest, TotalForkSizesSumEveryFork) {
    const fs::path file = dir_.write("f", std::string(5000, 'a'));
    set_xattr(file, kResourceForkAttr, std::string(300, 'r'));
    const fs::path bare = dir_.write("bare", "abc");
    FSRef fileRef = ref_of(file), bareRef = ref_of(bare), folderRef = ref_of(dir_.mkdir("d"));

    UInt64 logical = 1, physical = 1;
    ItemCount count = 1;
    ASSERT_EQ(noErr, FSGetTotalForkSizes(&fileRef, &logical, &physical, &count));
    EXPECT_EQ(5300u, logical);
    EXPECT_EQ(2u, count);
    EXPECT_GE(physical, logical);

    // The physical total is the sum of what the iteration reports per fork.
    CatPositionRec it{};
    UInt64 sum = 0, p = 0;
    SInt64 l = 0;
    while (FSIterateForks(&fileRef, &it, nullptr, &l, &p) == noErr) sum += p;
    EXPECT_EQ(sum, physical);

    ASSERT_EQ(noErr, FSGetTotalForkSizes(&bareRef, &logical, nullptr, &count));
    EXPECT_EQ(3u, logical);
    EXPECT_EQ(1u, count) << "no resource fork, one fork";
    ASSERT_EQ(noErr, FSGetTotalForkSizes(&fileRef, nullptr, nullptr, &count));
    EXPECT_EQ(2u, count) << "counting alone still counts every fork";
    ASSERT_EQ(noErr, FSGetTotalForkSizes(&folderRef, &logical, &physical, &count));
    EXPECT_EQ(0u, logical);
    EXPECT_EQ(0u, physical);
    EXPECT_EQ(0u, count) << "a folder has no forks";

    // A symbolic link: the two size calls tell the same story.
    fs::create_symlink("some/target/path", dir_.path() / "link");
    FSRef linkRef = ref_of(dir_.path() / "link");
    UInt64 data = 1, rsrc = 1;
    ASSERT_EQ(noErr, FSGetForkSizes(&linkRef, &data, &rsrc));
    ASSERT_EQ(noErr, FSGetTotalForkSizes(&linkRef, &logical, &physical, &count));
    EXPECT_EQ(data + rsrc, logical) << "a link's forks summed";
    EXPECT_EQ(1u, count);
}

TEST_F(LockForksTest, TotalForkSizesKeepPartialSumsOnFailure) {
    const fs::path file = dir_.write("f", std::string(5000, 'a'));
    set_xattr(file, kResourceForkAttr, std::string(300, 'r'));
    FSRef fileRef = ref_of(file);
    UInt64 logical = 1;
    ItemCount count = 1;

    vantrel::fault::fail_nth("FSIterateForks", 2, ioErr);
    EXPECT_EQ(ioErr, FSGetTotalForkSizes(&fileRef, &logical, nullptr, &count));
    EXPECT_EQ(5000u, logical) << "the data fork was counted before the failure";
    EXPECT_EQ(1u, count);

    vantrel::fault::fail_next("FSIterateForks", permErr);
    EXPECT_EQ(permErr, FSGetTotalForkSizes(&fileRef, &logical, nullptr, &count));
    EXPECT_EQ(0u, logical);
    EXPECT_EQ(0u, count);
}

}  // namespace
