// References to objects that were moved through the layer and then moved or
// replaced by another program: the layer's memory of the move must never
// keep a valid reference from resolving, nor let one resolve to the wrong
// object. Each scenario runs in one process, where that memory persists.
#include <gtest/gtest.h>

#include <filesystem>

#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/Files.h"

namespace fs = std::filesystem;
using namespace vtest;

TEST(StalePlaces, MovedThroughTheLayerThenElsewhereByAnotherProgram) {
    vtest::TempDir tmp;
    tmp.write("a", "payload");
    tmp.mkdir("sub");
    FSRef a = ref_of(tmp / "a"), sub = ref_of(tmp / "sub"), moved{};
    ASSERT_EQ(FSMoveObject(&a, &sub, &moved), noErr);
    EXPECT_EQ(path_of(a), (tmp / "sub" / "a").string())
        << "a copy of the old reference follows the move";

    // Another program moves it on; a reference made afresh at its new place
    // must resolve there, not fail at the place this process remembers.
    fs::rename(tmp / "sub" / "a", tmp / "b");
    FSRef b = ref_of(tmp / "b");
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&b, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(path_of(b), (tmp / "b").string());
    // The layer cannot know where the old references went: they answer
    // fnfErr rather than naming something else.
    EXPECT_EQ(FSGetCatalogInfo(&moved, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), fnfErr);

    // Moved back to where the layer last saw it: both forms resolve again.
    fs::rename(tmp / "b", tmp / "sub" / "a");
    EXPECT_EQ(FSGetCatalogInfo(&moved, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(path_of(moved), (tmp / "sub" / "a").string());
}

TEST(StalePlaces, ANewObjectOnAReusedInodeIsNotConfusedWithAMovedOne) {
    vtest::TempDir tmp;
    tmp.mkdir("sub");
    FSRef sub = ref_of(tmp / "sub");
    // Move a file through the layer, delete it behind the layer's back, and
    // create files until the file system hands out the same inode again.
    tmp.write("old", "x");
    const ino_t ino = ino_of(tmp / "old");
    FSRef old = ref_of(tmp / "old"), moved{};
    ASSERT_EQ(FSMoveObject(&old, &sub, &moved), noErr);
    fs::remove(tmp / "sub" / "old");
    fs::path reused;
    for (int i = 0; i < 64 && reused.empty(); ++i) {
        fs::path p = tmp.write("new" + std::to_string(i), "y");
        if (ino_of(p) == ino) reused = p;
    }
    if (reused.empty()) GTEST_SKIP() << "the file system did not reuse the inode number";
    FSRef fresh = ref_of(reused);
    EXPECT_EQ(FSGetCatalogInfo(&fresh, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(path_of(fresh), reused.string());
    EXPECT_EQ(FSGetCatalogInfo(&moved, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), fnfErr)
        << "the deleted file's reference must not resolve to the new file";

    // References from a plain listing (references only: no name, no
    // information, so no stat) carry no birth stamp; listed after the new
    // file was made, they must find it where it is, and the deleted file's
    // remembered place must not mislead them.
    FSRef dir = ref_of(tmp.path());
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&dir, kFSIterateFlat, &it), noErr);
    int found = 0;
    for (;;) {
        FSRef item{};
        ItemCount n = 0;
        OSErr e = FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNone, nullptr, &item, nullptr,
                                       nullptr);
        if (n == 1 && path_of(item) == reused.string()) {
            ++found;
            EXPECT_EQ(FSGetCatalogInfo(&item, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr),
                      noErr);
        }
        if (e != noErr) break;
    }
    FSCloseIterator(it);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(FSGetCatalogInfo(&moved, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), fnfErr);
}
