// Privileges, permissions and Finder information, one catalogue request each.
#include <sys/stat.h>
#include <unistd.h>

#include "finder_test_support.h"
#include "vantrel/fault.h"

namespace {

using namespace ftest;

class PrivilegesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = dir_.write("f", "x");
        folder_ = dir_.mkdir("d");
        fileRef_ = ref_of(file_);
        folderRef_ = ref_of(folder_);
        vantrel::fault::set_counting(true);
    }
    vantrel::fault::Scope scope_;
    vtest::TempDir dir_{"privileges"};
    fs::path file_, folder_;
    FSRef fileRef_{}, folderRef_{};
};

TEST_F(PrivilegesTest, PermissionsAreTheInodesOwnerGroupAndMode) {
    ASSERT_EQ(0, ::chmod(file_.c_str(), 0640));
    struct stat st {};
    ASSERT_EQ(0, ::stat(file_.c_str(), &st));
    UInt8 privileges = 0xEE;
    UInt32 perms[4] = {9, 9, 9, 9};
    ASSERT_EQ(noErr, FSGetUserPrivilegesPermissions(&fileRef_, &privileges, perms));
    FSPermissionInfo info;
    std::memcpy(&info, perms, sizeof info);
    EXPECT_EQ(st.st_uid, info.userID);
    EXPECT_EQ(st.st_gid, info.groupID);
    EXPECT_EQ(0640, info.mode & 07777);
    // The owner may read and write a file of mode 0640; searching it takes
    // an execute bit (which root does not need).
    EXPECT_EQ(::geteuid() == 0 ? 0 : kioACUserNoSeeFolderMask, privileges);
    EXPECT_EQ(1, vantrel::fault::calls("FSGetCatalogInfo")) << "one request";
}

TEST_F(PrivilegesTest, NothingAskedStillAsksOnceAndTellsWhetherTheObjectExists) {
    EXPECT_EQ(noErr, FSGetUserPrivilegesPermissions(&fileRef_, nullptr, nullptr));
    EXPECT_EQ(noErr, FSGetFinderInfo(&fileRef_, nullptr, nullptr, nullptr));
    EXPECT_EQ(noErr, FSSetFinderInfo(&fileRef_, nullptr, nullptr));
    EXPECT_EQ(2, vantrel::fault::calls("FSGetCatalogInfo"));
    EXPECT_EQ(1, vantrel::fault::calls("FSSetCatalogInfo"));
    EXPECT_FALSE(get_xattr(file_, kMetadataAttr).has_value()) << "an empty set writes nothing";

    fs::remove(file_);
    EXPECT_EQ(fnfErr, FSGetUserPrivilegesPermissions(&fileRef_, nullptr, nullptr));
    EXPECT_EQ(fnfErr, FSGetFinderInfo(&fileRef_, nullptr, nullptr, nullptr));
}

TEST_F(PrivilegesTest, IsDirectoryAloneTellsFilesFromFolders) {
    Boolean isDir = 9;
    ASSERT_EQ(noErr, FSGetFinderInfo(&folderRef_, nullptr, nullptr, &isDir));
    EXPECT_EQ(1, isDir);
    ASSERT_EQ(noErr, FSGetFinderInfo(&fileRef_, nullptr, nullptr, &isDir));
    EXPECT_EQ(0, isDir);
}

TEST_F(PrivilegesTest, SettingOneHalfLeavesTheOtherAlone) {
    FinderInfo fi{};
    fi.file = file_info(0x54455854, 0x74747874, kIsInvisible);
    ExtendedFinderInfo xi{};
    xi.file.extendedFinderFlags = 0x0004;
    ASSERT_EQ(noErr, FSSetFinderInfo(&fileRef_, &fi, &xi));

    ExtendedFinderInfo xi2{};
    xi2.file.extendedFinderFlags = 0x0100;
    xi2.file.putAwayFolderID = 77;
    ASSERT_EQ(noErr, FSSetFinderInfo(&fileRef_, nullptr, &xi2));
    FinderInfo gotFi{};
    ExtendedFinderInfo gotXi{};
    ASSERT_EQ(noErr, FSGetFinderInfo(&fileRef_, &gotFi, &gotXi, nullptr));
    EXPECT_EQ(0, std::memcmp(&fi, &gotFi, 16)) << "Finder info untouched by an extended-only set";
    EXPECT_EQ(0, std::memcmp(&xi2, &gotXi, 16));

    FinderInfo fi2{};
    fi2.file = file_info(0x4150504C, 0x3F3F3F3F, 0);
    ASSERT_EQ(noErr, FSSetFinderInfo(&fileRef_, &fi2, nullptr));
    ASSERT_EQ(noErr, FSGetFinderInfo(&fileRef_, &gotFi, &gotXi, nullptr));
    EXPECT_EQ(0, std::memcmp(&fi2, &gotFi, 16));
    EXPECT_EQ(0, std::memcmp(&xi2, &gotXi, 16))
        << "extended info untouched by a Finder-info-only set";

    // Folders take the same 32 bytes.
    FinderInfo folderInfo{};
    folderInfo.folder.windowBounds = Rect{10, 20, 300, 400};
    folderInfo.folder.finderFlags = kHasCustomIcon;
    ASSERT_EQ(noErr, FSSetFinderInfo(&folderRef_, &folderInfo, nullptr));
    ASSERT_EQ(noErr, FSGetFinderInfo(&folderRef_, &gotFi, nullptr, nullptr));
    EXPECT_EQ(0, std::memcmp(&folderInfo, &gotFi, 16));
}

TEST_F(PrivilegesTest, ErrorsLeaveOutputsUntouched) {
    vantrel::fault::fail_nth("FSGetCatalogInfo", 1, ioErr, true);
    UInt8 privileges = 0xEE;
    UInt32 perms[4] = {9, 9, 9, 9};
    EXPECT_EQ(ioErr, FSGetUserPrivilegesPermissions(&fileRef_, &privileges, perms));
    EXPECT_EQ(0xEE, privileges);
    EXPECT_EQ(9u, perms[0]);
    FinderInfo fi;
    std::memset(&fi, 0x5A, sizeof fi);
    Boolean isDir = 3;
    EXPECT_EQ(ioErr, FSGetFinderInfo(&fileRef_, &fi, nullptr, &isDir));
    EXPECT_EQ(0x5A, reinterpret_cast<unsigned char*>(&fi)[0]);
    EXPECT_EQ(3, isDir);
    vantrel::fault::fail_nth("FSSetCatalogInfo", 1, vLckdErr);
    EXPECT_EQ(vLckdErr, FSSetFinderInfo(&fileRef_, &fi, nullptr));
}

}  // namespace
