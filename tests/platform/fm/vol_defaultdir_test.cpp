// HGetVol / HSetVol on the process's working directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include "TempDir.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace {

namespace fs = std::filesystem;

// Restores the working directory whatever a test does.
struct KeepCwd {
    fs::path saved = fs::current_path();
    ~KeepCwd() { fs::current_path(saved); }
};

TEST(DefaultDirectory, GetAndSetFollowTheWorkingDirectory) {
    KeepCwd keep;
    vtest::TempDir dir("defaultdir");
    const fs::path a = dir.mkdir("a"), b = dir.mkdir("b");
    fs::current_path(a);
    FSVolumeRefNum va = 0;
    SInt32 ida = 0;
    ASSERT_EQ(noErr, HGetVol(nullptr, &va, &ida));
    fs::current_path(b);
    FSVolumeRefNum vb = 0;
    SInt32 idb = 0;
    ASSERT_EQ(noErr, HGetVol(nullptr, &vb, &idb));
    EXPECT_EQ(va, vb);
    EXPECT_NE(ida, idb);

    ASSERT_EQ(noErr, HSetVol(nullptr, va, ida));
    EXPECT_EQ(fs::canonical(a), fs::current_path());
    // The default survives a rename of the directory made by another program.
    fs::rename(a, dir.path() / "a2");
    FSVolumeRefNum v2 = 0;
    SInt32 id2 = 0;
    ASSERT_EQ(noErr, HGetVol(nullptr, &v2, &id2));
    EXPECT_EQ(ida, id2);

    // Directory ID 0 is the volume's root.
    ASSERT_EQ(noErr, HSetVol(nullptr, va, 0));
    SInt32 rootID = 0;
    ASSERT_EQ(noErr, HGetVol(nullptr, &v2, &rootID));
    EXPECT_EQ(fsRtDirID, rootID);

    Str63 volName;
    volName[0] = 0xFF;
    ASSERT_EQ(noErr, HGetVol(volName, nullptr, nullptr));
    EXPECT_LE(volName[0], 27) << "the name fits the Str27 a caller gives";
}

TEST(DefaultDirectory, RefusesWhatIsNotADirectoryAndChangesNothing) {
    KeepCwd keep;
    vtest::TempDir dir("defaultdir");
    fs::current_path(dir.path());
    const fs::path before = fs::current_path();
    FSVolumeRefNum v = 0;
    SInt32 id = 0;
    ASSERT_EQ(noErr, HGetVol(nullptr, &v, &id));

    FSRef file;
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(dir.write("f").c_str()), &file,
                                   nullptr));
    FSCatalogInfo info{};
    ASSERT_EQ(noErr, FSGetCatalogInfo(&file, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr));
    EXPECT_NE(noErr, HSetVol(nullptr, v, static_cast<SInt32>(info.nodeID))) << "a file's ID";
    EXPECT_NE(noErr, HSetVol(nullptr, v, 0x7FFFFFF0)) << "an ID nobody has";
    const unsigned char name[] = "\x04Disk";
    EXPECT_EQ(paramErr, HSetVol(name, v, id)) << "volumes are not chosen by name";
    EXPECT_EQ(before, fs::current_path());

    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("HSetVol", 1, ioErr);
    EXPECT_EQ(ioErr, HSetVol(nullptr, v, fsRtDirID));
    EXPECT_EQ(before, fs::current_path());
}

}  // namespace
