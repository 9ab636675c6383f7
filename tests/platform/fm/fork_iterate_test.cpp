// FSIterateForks: data fork, then resource fork, then the end.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include "TempDir.h"
#include "vantrel/Files.h"

namespace {

namespace fs = std::filesystem;

std::string ascii(const HFSUniStr255& n) {
    return std::string(n.unicode, n.unicode + n.length);
}

TEST(IterateForks, DataThenResourceThenTheEnd) {
    vtest::TempDir dir("forks");
    const fs::path f = dir.write("f", std::string(5000, 'd'));
    ASSERT_EQ(0, ::setxattr(f.c_str(), "user.org.netatalk.ResourceFork", "resource", 8, 0));
    FSRef ref;
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(f.c_str()), &ref, nullptr));
    HFSUniStr255 dataName, rsrcName;
    ASSERT_EQ(noErr, FSGetDataForkName(&dataName));
    ASSERT_EQ(noErr, FSGetResourceForkName(&rsrcName));

    CatPositionRec it{};
    HFSUniStr255 name;
    SInt64 size = -1;
    UInt64 physical = 0;
    ASSERT_EQ(noErr, FSIterateForks(&ref, &it, &name, &size, &physical));
    EXPECT_EQ(ascii(dataName), ascii(name))
        << "the data fork comes first, under the data fork's name";
    EXPECT_EQ(5000, size);
    EXPECT_GE(physical, 4096u);
    ASSERT_EQ(noErr, FSIterateForks(&ref, &it, &name, &size, &physical));
    EXPECT_EQ(ascii(rsrcName), ascii(name));
    EXPECT_EQ(8, size);
    EXPECT_GE(physical, 8u);
    EXPECT_EQ(errFSNoMoreItems, FSIterateForks(&ref, &it, &name, &size, &physical));
    EXPECT_EQ(errFSNoMoreItems, FSIterateForks(&ref, &it, nullptr, nullptr, nullptr))
        << "and it stays ended";

    it.initialize = 0;
    EXPECT_EQ(noErr, FSIterateForks(&ref, &it, nullptr, nullptr, nullptr)) << "0 starts over";
    it.initialize = 9;
    EXPECT_EQ(paramErr, FSIterateForks(&ref, &it, nullptr, nullptr, nullptr));
    EXPECT_EQ(paramErr, FSIterateForks(&ref, nullptr, nullptr, nullptr, nullptr));
}

TEST(IterateForks, FilesWithoutResourceForkAndFoldersWithout) {
    vtest::TempDir dir("forks");
    FSRef file, folder, gone;
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(dir.write("f").c_str()), &file,
                                   nullptr));
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(dir.mkdir("d").c_str()), &folder,
                                   nullptr));
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(dir.write("g").c_str()), &gone,
                                   nullptr));
    fs::remove(dir.path() / "g");
    CatPositionRec it{};
    SInt64 size = -1;
    ASSERT_EQ(noErr, FSIterateForks(&file, &it, nullptr, &size, nullptr));
    EXPECT_EQ(0, size) << "an empty data fork still exists";
    EXPECT_EQ(errFSNoMoreItems, FSIterateForks(&file, &it, nullptr, &size, nullptr));
    CatPositionRec fit{};
    EXPECT_EQ(errFSNoMoreItems, FSIterateForks(&folder, &fit, nullptr, nullptr, nullptr));
    CatPositionRec git{};
    EXPECT_EQ(fnfErr, FSIterateForks(&gone, &git, nullptr, nullptr, nullptr));
}

}  // namespace
