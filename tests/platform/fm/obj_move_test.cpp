// Renaming, moving and exchanging through the layer: references keep naming
// their objects, nothing is ever replaced, and bad requests change nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "DeepTree.h"
#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/Files.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

namespace {

using namespace vtest;

OSErr rename_to(const FSRef& ref, const std::string& utf8, FSRef* out) {
    std::u16string n = u16(utf8);
    return FSRenameUnicode(&ref, n.size(), uc(n), kTextEncodingUnknown, out);
}

std::string name_of(const FSRef& ref) {
    HFSUniStr255 n;
    if (FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, &n, nullptr, nullptr) != noErr)
        return "<error>";
    return utf8(n);
}

}  // namespace

TEST(Rename, KeepsTheReferenceAndNeverReplaces) {
    vtest::TempDir dir;
    auto a = dir.write("a", "A");
    dir.write("taken", "T");
    FSRef ref = ref_of(a);
    FSRef out{};
    ASSERT_EQ(rename_to(ref, "b\xC3\xA9", &out), noErr);  // "bé"
    EXPECT_TRUE(present(dir / "b\xC3\xA9"));
    EXPECT_FALSE(present(a));
    EXPECT_EQ(FSCompareFSRefs(&ref, &out), noErr);
    EXPECT_EQ(name_of(ref), "be\xCC\x81")
        << "the old reference follows, names come back decomposed";

    EXPECT_EQ(rename_to(ref, "taken", &out), dupFNErr);
    EXPECT_EQ(vtest::read_file(dir / "taken"), "T");
    EXPECT_EQ(vtest::read_file(dir / "b\xC3\xA9"), "A");
    for (const char* bad : {".", "..", ""}) EXPECT_NE(rename_to(ref, bad, &out), noErr) << bad;
    EXPECT_EQ(rename_to(ref, "b\xC3\xA9", nullptr), noErr) << "the same name again is no change";
}

TEST(Rename, ALockedFileKeepsItsName) {
    vtest::TempDir dir;
    if (!vtest::can_set_immutable(dir.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    auto locked = dir.write("locked", "L");
    ASSERT_TRUE(vtest::set_immutable(locked, true));
    FSRef lref = ref_of(locked);
    FSRef out{};
    EXPECT_EQ(rename_to(lref, "free", &out), fLckdErr);
    vtest::set_immutable(locked, false);
    EXPECT_TRUE(present(locked));
}

TEST(Move, IntoAnotherDirectoryUnderItsOwnName) {
    vtest::TempDir dir;
    auto f = dir.write("src/f", "F");
    dir.mkdir("dst");
    dir.write("full/f", "other");
    auto sub = dir.mkdir("src/sub/deeper");
    FSRef ref = ref_of(f), dst = ref_of(dir / "dst"), full = ref_of(dir / "full");
    FSRef out{};
    ASSERT_EQ(FSMoveObject(&ref, &dst, &out), noErr);
    EXPECT_EQ(vtest::read_file(dir / "dst/f"), "F");
    EXPECT_EQ(FSCompareFSRefs(&ref, &out), noErr);
    FSRef parent;
    FSCatalogInfo info;
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoParentDirID, &info, nullptr, nullptr, &parent),
              noErr);
    EXPECT_EQ(FSCompareFSRefs(&parent, &dst), noErr);

    EXPECT_EQ(FSMoveObject(&ref, &full, &out), dupFNErr);
    EXPECT_EQ(vtest::read_file(dir / "full/f"), "other");
    EXPECT_TRUE(present(dir / "dst/f"));
    // Into itself or below itself, or into a file: refused.
    FSRef src = ref_of(dir / "src"), deeper = ref_of(sub);
    EXPECT_EQ(FSMoveObject(&src, &deeper, &out), badMovErr);
    EXPECT_EQ(FSMoveObject(&src, &src, &out), badMovErr);
    FSRef file = ref_of(dir / "full/f");
    EXPECT_EQ(FSMoveObject(&src, &file, &out), errFSNotAFolder);
    EXPECT_TRUE(present(sub));
    // Into the directory it is already in: nothing to do.
    ASSERT_EQ(FSMoveObject(&ref, &dst, nullptr), noErr);

    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("FSMoveObject", 1, ioErr);
    EXPECT_EQ(FSMoveObject(&ref, &full, &out), ioErr);
}

// Into a directory 5,000 levels down (deeper than any path can name): the
// move is made, and a folder is still never moved into its own subtree.
TEST(Move, IntoADirectoryFiveThousandLevelsDownButNeverIntoItself) {
    vtest::TempDir dir;
    auto result = vtest::in_deep_scratch(dir.path(), 1024, [&](const std::filesystem::path& top) {
        std::filesystem::create_directories(top / "x");
        int fd = vtest::make_chain(top, 5000);
        if (fd < 0) return std::string("cannot make the chain");
        ::close(fd);
        FSRef chain = ref_of(top / "d"), x = ref_of(top / "x"), bottom = chain;
        auto d = u16("d");
        for (int i = 1; i < 5000; ++i)
            if (FSMakeFSRefUnicode(&bottom, d.size(), uc(d), 0, &bottom) != noErr)
                return "level " + std::to_string(i);
        std::string msg;
        OSErr e = FSMoveObject(&chain, &bottom, nullptr);
        if (e != badMovErr) msg += "into its own subtree gave " + std::to_string(e) + "\n";
        e = FSMoveObject(&x, &bottom, nullptr);
        if (e != noErr || present(top / "x"))
            msg += "the deep move gave " + std::to_string(e) + "\n";
        return msg;
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ("", *result);
}

TEST(Exchange, WholeFilesTradePlacesAndReferencesFollowThem) {
    vtest::TempDir dir;
    auto a = dir.write("one/a", "first data");
    auto b = dir.write("two/b", "second");
    ASSERT_EQ(::setxattr(a.c_str(), "user.org.netatalk.ResourceFork", "R1", 2, 0), 0);
    FSRef ra = ref_of(a), rb = ref_of(b);
    FSCatalogInfo ia, ib;
    ASSERT_EQ(FSGetCatalogInfo(&ra, kFSCatInfoNodeID, &ia, nullptr, nullptr, nullptr), noErr);
    ASSERT_EQ(FSGetCatalogInfo(&rb, kFSCatInfoNodeID, &ib, nullptr, nullptr, nullptr), noErr);

    ASSERT_EQ(FSExchangeObjects(&ra, &rb), noErr);
    EXPECT_EQ(vtest::read_file(a), "second");
    EXPECT_EQ(vtest::read_file(b), "first data");
    char buf[8];
    EXPECT_EQ(::getxattr(b.c_str(), "user.org.netatalk.ResourceFork", buf, sizeof buf), 2)
        << "rsrc travels";
    // Each reference still names its own file, now at the other's place.
    EXPECT_EQ(path_of(ra), b.string());
    EXPECT_EQ(path_of(rb), a.string());
    FSCatalogInfo after;
    ASSERT_EQ(FSGetCatalogInfo(&ra, kFSCatInfoNodeID, &after, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(after.nodeID, ia.nodeID);
    // And back.
    ASSERT_EQ(FSExchangeObjects(&ra, &rb), noErr);
    EXPECT_EQ(vtest::read_file(a), "first data");

    FSRef d = ref_of(dir / "one");
    EXPECT_EQ(FSExchangeObjects(&ra, &d), notAFileErr);
    EXPECT_EQ(FSExchangeObjects(&ra, &ra), noErr);
    EXPECT_EQ(vtest::read_file(a), "first data");
    FSRef gone = ref_of(dir.write("gone", "x"));
    std::filesystem::remove(dir / "gone");
    EXPECT_EQ(FSExchangeObjects(&ra, &gone), fnfErr);
    EXPECT_EQ(vtest::read_file(a), "first data");
}
