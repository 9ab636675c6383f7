// References: making them, resolving them safely, node IDs, and what happens
// when the object behind one is renamed, replaced or deleted.
#include "fm/ref_node.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>

#include "DeepTree.h"
#include "FSTestSupport.h"
#include "LoopImage.h"
#include "fm/cat_dates.h"
#include "fm/err_errno.h"
#include "fm/ref_dircache.h"
#include "fm/ref_names.h"
#include "fm/ref_places.h"
#include "fm_child.h"
#include "vantrel/DiskNames.h"
#include "vantrel/fault.h"

using namespace vtest;
namespace fm = vantrel::fm;

TEST(FSRefs, PathRoundTripIdsAndParent) {
    vtest::TempDir t;
    auto file = t.write("dir/file.txt", "hello");
    FSRef dir = ref_of(t / "dir");
    Boolean isDir = true;
    FSRef ref{};
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(file.c_str()), &ref, &isDir), noErr);
    EXPECT_FALSE(isDir);
    EXPECT_EQ(path_of(ref), std::filesystem::canonical(file).string());
    // Directory names the kernel could print otherwise: one ending as it
    // marks a deleted directory, one with a newline.
    for (const char* odd : {"gone (deleted)/f", "line\nbreak/f"}) {
        auto p = t.write(odd, "x");
        EXPECT_EQ(path_of(ref_of(p)), std::filesystem::canonical(p).string()) << odd;
    }

    FSCatalogInfo info{};
    HFSUniStr255 name{};
    FSSpec spec{};
    FSRef parent{};
    ASSERT_EQ(
        FSGetCatalogInfo(
            &ref, kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoParentDirID | kFSCatInfoVolume,
            &info, &name, &spec, &parent),
        noErr);
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.nodeID, ino_of(file));
    EXPECT_EQ(info.parentDirID, ino_of(t / "dir"));
    EXPECT_LT(info.volume, 0);
    EXPECT_EQ(utf8(name), "file.txt");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(spec.name + 1), spec.name[0]), "file.txt");
    EXPECT_EQ(spec.parID, SInt32(info.parentDirID));
    EXPECT_EQ(spec.vRefNum, info.volume);
    EXPECT_EQ(FSCompareFSRefs(&parent, &dir), noErr);
    EXPECT_EQ(FSCompareFSRefs(&parent, &ref), errFSRefsDifferent);

    FSCatalogInfo dinfo{};
    ASSERT_EQ(FSGetCatalogInfo(&dir, kFSCatInfoNodeFlags, &dinfo, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_EQ(dinfo.nodeFlags & kFSNodeIsDirectoryMask, kFSNodeIsDirectoryMask);
}

TEST(FSRefs, VolumeRootIsTwoAndItsParentOne) {
    FSRef root = ref_of("/");
    FSCatalogInfo info{};
    FSRef parent;
    std::memset(&parent, 0xAB, sizeof parent);
    ASSERT_EQ(FSGetCatalogInfo(&root, kFSCatInfoNodeID | kFSCatInfoParentDirID, &info, nullptr,
                               nullptr, &parent),
              noErr);
    EXPECT_EQ(info.nodeID, UInt32(fsRtDirID));
    EXPECT_EQ(info.parentDirID, UInt32(fsRtParID));
    static const FSRef zero{};
    EXPECT_EQ(std::memcmp(&parent, &zero, sizeof zero), 0) << "the root has no parent object";
    EXPECT_EQ(path_of(root), "/");

    // An item directly in a volume's root has parent ID 2, and its parent
    // reference is the root.
    FSRef tmp = ref_of("/tmp");
    FSCatalogInfo tinfo{};
    FSRef tparent{};
    ASSERT_EQ(FSGetCatalogInfo(&tmp, kFSCatInfoParentDirID | kFSCatInfoVolume, &tinfo, nullptr,
                               nullptr, &tparent),
              noErr);
    fm::Node n;
    ASSERT_EQ(fm::resolve(&tmp, &n), noErr);
    if (n.root) GTEST_SKIP() << "/tmp is a mount point here";
    EXPECT_EQ(tinfo.parentDirID, UInt32(fsRtDirID));
    EXPECT_EQ(FSCompareFSRefs(&tparent, &root), noErr);
}

TEST(FSRefs, GoneOrReplacedObjectsAreNotFound) {
    vtest::TempDir t;
    auto file = t.write("a", "1");
    FSRef ref = ref_of(file);
    ASSERT_EQ(::unlink(file.c_str()), 0);
    FSCatalogInfo info{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), fnfErr);

    // Another object under the same name is not the referenced object, even
    // when the file system hands it the same inode number.
    t.write("a", "2");
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), fnfErr);

    // A directory replaced by a symbolic link to another directory.
    t.mkdir("outside");
    t.write("d/inner", "x");
    FSRef inner = ref_of(t / "d/inner");
    fm::drop_fd_cache();
    std::filesystem::rename(t / "d", t / "moved");
    std::filesystem::create_directory_symlink(t / "outside", t / "d");
    t.write("outside/inner", "y");
    fm::Node n;
    EXPECT_EQ(fm::resolve(&inner, &n), fnfErr) << "resolution must not go through the link";

    FSRef zero{};
    EXPECT_EQ(FSGetCatalogInfo(&zero, 0, nullptr, nullptr, nullptr, nullptr), fnfErr);
    FSRef junk;
    std::memset(&junk, 0x5A, sizeof junk);
    EXPECT_EQ(FSGetCatalogInfo(&junk, 0, nullptr, nullptr, nullptr, nullptr), errFSBadFSRef);
    EXPECT_EQ(FSGetCatalogInfo(nullptr, 0, nullptr, nullptr, nullptr, nullptr), paramErr);
}

TEST(FSRefs, RenamedThroughTheLayerKeepsEveryCopyNaming) {
    vtest::TempDir t;
    t.write("from/f", "data");
    t.mkdir("to");
    std::string longName(120, 'L');
    t.write("from/" + longName, "long");
    FSRef f = ref_of(t / "from/f");
    FSRef copy = f;
    FSRef lf = ref_of(t / ("from/" + longName));
    FSRef to = ref_of(t / "to");
    fm::Node n, dest, ln;
    ASSERT_EQ(fm::resolve(&f, &n), noErr);
    ASSERT_EQ(fm::resolve(&to, &dest), noErr);
    ASSERT_EQ(fm::resolve(&lf, &ln), noErr) << "a long name resolves through the side table";
    ASSERT_EQ(::renameat(n.at(), n.name.c_str(), AT_FDCWD, (t / "to/g").c_str()), 0);
    fm::note_moved(n, dest, "g");
    EXPECT_EQ(path_of(copy), (std::filesystem::canonical(t.path()) / "to/g").string());
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&copy, kFSCatInfoParentDirID, &info, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_EQ(info.parentDirID, ino_of(t / "to"));

    // A renamed directory: refs to items inside it still resolve.
    t.write("dir/item", "i");
    FSRef item = ref_of(t / "dir/item");
    FSRef dir = ref_of(t / "dir");
    fm::Node dn;
    ASSERT_EQ(fm::resolve(&dir, &dn), noErr);
    ASSERT_EQ(::renameat(dn.at(), "dir", dn.at(), "dir2"), 0);
    fm::note_moved(dn, dest, "dir2");  // a different parent on purpose: the bookkeeping must win
    fm::Node top;
    FSRef topRef = ref_of(t.path());
    ASSERT_EQ(fm::resolve(&topRef, &top), noErr);
    fm::note_moved(dn, top, "dir2");
    fm::drop_fd_cache();
    EXPECT_EQ(path_of(item), (std::filesystem::canonical(t.path()) / "dir2/item").string());

    // Deleted through the layer: forgotten.
    ASSERT_EQ(FSDeleteObject(&copy), noErr);
    EXPECT_FALSE(present(t / "to/g"));
    EXPECT_EQ(FSGetCatalogInfo(&f, 0, nullptr, nullptr, nullptr, nullptr), fnfErr);
}

TEST(FSRefs, DirectoryIdsMapBackAfterTheCacheIsDropped) {
    vtest::TempDir t;
    t.write("a/b/c/file", "x");
    FSRef c = ref_of(t / "a/b/c");
    FSCatalogInfo info{};
    ASSERT_EQ(
        FSGetCatalogInfo(&c, kFSCatInfoNodeID | kFSCatInfoVolume, &info, nullptr, nullptr, nullptr),
        noErr);
    fm::drop_fd_cache();
    fm::Node n;
    ASSERT_EQ(fm::dir_by_id(info.volume, info.nodeID, &n), noErr);
    EXPECT_EQ(n.st.stx_ino, ino_of(t / "a/b/c"));
    EXPECT_EQ(fm::dir_by_id(info.volume, 0x7FFFFFF0u, &n), dirNFErr);
    EXPECT_EQ(fm::dir_by_id(12345, 2, &n), nsvErr);

    // PBMakeFSRefSync: volume + directory ID + Pascal name.
    FSRefParam pb{};
    FSRef out{};
    unsigned char pname[] =
        "\x04"
        "file";
    pb.ioVRefNum = info.volume;
    pb.ioDirID = SInt32(info.nodeID);
    pb.ioNamePtr = pname;
    pb.newRef = &out;
    ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
    EXPECT_EQ(pb.ioResult, noErr);
    EXPECT_EQ(path_of(out), (std::filesystem::canonical(t.path()) / "a/b/c/file").string());
    pb.ioNamePtr = nullptr;  // the directory itself
    ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
    EXPECT_EQ(FSCompareFSRefs(&out, &c), noErr);
    unsigned char missing[] =
        "\x04"
        "nope";
    pb.ioNamePtr = missing;
    EXPECT_EQ(PBMakeFSRefSync(&pb), fnfErr);
    EXPECT_EQ(pb.ioResult, fnfErr);
    pb.newRef = nullptr;
    EXPECT_EQ(PBMakeFSRefSync(&pb), paramErr);
}

TEST(FSRefs, NamesInAndOut) {
    vtest::TempDir t;
    FSRef dir = ref_of(t.path());
    // "/" in a Unicode name is stored as ":" and shown back as "/".
    auto slashName = u16("a/b");
    FSRef made{};
    ASSERT_EQ(
        FSCreateFileUnicode(&dir, slashName.size(), uc(slashName), 0, nullptr, &made, nullptr),
        noErr);
    EXPECT_TRUE(present(t / "a:b"));
    HFSUniStr255 name{};
    ASSERT_EQ(FSGetCatalogInfo(&made, 0, nullptr, &name, nullptr, nullptr), noErr);
    EXPECT_EQ(utf8(name), "a/b");

    // Precomposed in, NFC on disk, decomposed out; the decomposed form finds it.
    auto composed = u16("caf\xC3\xA9");  // café with U+00E9
    ASSERT_EQ(FSCreateFileUnicode(&dir, composed.size(), uc(composed), 0, nullptr, &made, nullptr),
              noErr);
    EXPECT_TRUE(present(t / "caf\xC3\xA9"));
    ASSERT_EQ(FSGetCatalogInfo(&made, 0, nullptr, &name, nullptr, nullptr), noErr);
    EXPECT_EQ(name.length, 5u);
    EXPECT_EQ(name.unicode[3], u'e');
    EXPECT_EQ(name.unicode[4], 0x0301);
    FSRef found{};
    ASSERT_EQ(FSMakeFSRefUnicode(&dir, name.length, name.unicode, 0, &found), noErr);
    EXPECT_EQ(FSCompareFSRefs(&found, &made), noErr);

    // A name stored decomposed by another program is found from either form.
    t.write("nai\xCC\x88ve", "");  // naïve, decomposed on disk
    auto nfc = u16("na\xC3\xAFve");
    ASSERT_EQ(FSMakeFSRefUnicode(&dir, nfc.size(), uc(nfc), 0, &found), noErr);
    EXPECT_EQ(path_of(found), (std::filesystem::canonical(t.path()) / "nai\xCC\x88ve").string());

    EXPECT_EQ(
        FSCreateFileUnicode(&dir, slashName.size(), uc(slashName), 0, nullptr, &made, nullptr),
        dupFNErr);
}

// The disk-name calls hand out the entry's own bytes, however the File
// Manager's Unicode name shows them: the listing form for every item of a
// directory, the reference form for one object, both naming a real file.
TEST(FSRefs, DiskNamesAreTheEntriesOwnBytes) {
    struct Row {
        const char* label;
        std::string disk;
    };
    const Row rows[] = {
        {"ascii", "plain"},
        {"composed", "caf\xC3\xA9"},
        {"decomposed", "nai\xCC\x88ve"},
        {"latin1_not_utf8", "r\xE9sum\xE9"},
        {"mac_roman_not_utf8", "caf\x8E"},
        {"colon_shown_as_slash", "a:b"},
        {"longer_than_the_reference_keeps", std::string(60, 'x') + "\xC3\xA9"},
        {"255_bytes", std::string(253, 'y') + "\xC3\xA9"},
    };
    vtest::TempDir t;
    const auto d = t.mkdir("d");
    for (const Row& row : rows) t.write("d/" + row.disk, row.label);
    t.mkdir("d/sub\xC3\xA9");
    FSRef dir = ref_of(d);

    // The listing form: every entry once, as bytes, with or without the
    // rest of what the bulk call gives, or with what the entries tell alone
    // (a reference, and whether it is a folder).
    enum class Form { Alone, WithTheRest, Entries };
    for (const Form form : {Form::Alone, Form::WithTheRest, Form::Entries}) {
        FSIterator it = nullptr;
        ASSERT_EQ(FSOpenIterator(&dir, kFSIterateFlat, &it), noErr);
        VantrelDiskName disk[4];
        FSRef refs[4];
        HFSUniStr255 names[4];
        FSCatalogInfo infos[4];
        Boolean folder[4];
        std::set<std::string> seen;
        OSErr e = noErr;
        while (e == noErr) {
            ItemCount n = 0;
            e = form == Form::Alone
                    ? VantrelFSGetCatalogInfoBulkDiskNames(it, 4, &n, nullptr, kFSCatInfoNone,
                                                           nullptr, nullptr, nullptr, disk)
                : form == Form::WithTheRest
                    ? VantrelFSGetCatalogInfoBulkDiskNames(it, 4, &n, nullptr, kFSCatInfoNodeFlags,
                                                           infos, refs, names, disk)
                    : VantrelFSGetEntriesBulk(it, 4, &n, nullptr, refs, disk, folder);
            for (ItemCount i = 0; i < n; ++i) {
                const std::string got(reinterpret_cast<const char*>(disk[i].bytes), disk[i].length);
                seen.insert(got);
                EXPECT_TRUE(present(d / got)) << "names no file: " << got;
                if (form == Form::Alone) continue;
                UInt8 buf[255];
                ByteCount len = 0;
                ASSERT_EQ(VantrelFSRefGetDiskName(&refs[i], buf, sizeof buf, &len), noErr) << got;
                EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), got);
                if (form == Form::Entries) {
                    EXPECT_EQ(folder[i] != 0, got == "sub\xC3\xA9") << got;
                }
            }
        }
        EXPECT_EQ(e, errFSNoMoreItems);
        ASSERT_EQ(FSCloseIterator(it), noErr);
        std::set<std::string> want{"sub\xC3\xA9"};
        for (const Row& row : rows) want.insert(row.disk);
        EXPECT_EQ(seen, want) << static_cast<int>(form);
    }

    // The reference form, for each name, after the checks every reference
    // call makes.
    for (const Row& row : rows) {
        FSRef ref = ref_of(d / row.disk);
        UInt8 buf[255];
        ByteCount len = 0;
        ASSERT_EQ(VantrelFSRefGetDiskName(&ref, buf, sizeof buf, &len), noErr) << row.label;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), row.disk) << row.label;
    }

    // Results other than the name.
    FSRef cafe = ref_of(d / "caf\xC3\xA9");
    UInt8 buf[8];
    std::memset(buf, '#', sizeof buf);
    ByteCount len = 0;
    EXPECT_EQ(VantrelFSRefGetDiskName(&cafe, buf, 4, &len), errFSNameTooLong)
        << "a buffer one byte short";
    EXPECT_EQ(len, 5u) << "the length needed";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), sizeof buf), "########")
        << "nothing written to a buffer too small";
    EXPECT_EQ(VantrelFSRefGetDiskName(&cafe, buf, 5, &len), noErr) << "exactly the length";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "caf\xC3\xA9#");
    EXPECT_EQ(VantrelFSRefGetDiskName(&cafe, nullptr, 0, &len), errFSNameTooLong);
    EXPECT_EQ(len, 5u) << "a null buffer of no capacity asks for the length";
    EXPECT_EQ(VantrelFSRefGetDiskName(&cafe, nullptr, 5, &len), paramErr);
    EXPECT_EQ(VantrelFSRefGetDiskName(&cafe, buf, sizeof buf, nullptr), paramErr);
    EXPECT_EQ(VantrelFSRefGetDiskName(nullptr, buf, sizeof buf, &len), paramErr);
    FSRef zero{};
    EXPECT_EQ(VantrelFSRefGetDiskName(&zero, buf, sizeof buf, &len), fnfErr);

    // Renamed through the layer: the new name; renamed by another program:
    // gone (the reference knows only its own place).
    const auto renamed = u16("caf\xC3\xA9 2");
    FSRef moved;
    ASSERT_EQ(FSRenameUnicode(&cafe, renamed.size(), uc(renamed), 0, &moved), noErr);
    len = 0;
    ASSERT_EQ(VantrelFSRefGetDiskName(&cafe, buf, sizeof buf, &len), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), "caf\xC3\xA9 2");
    FSRef plain = ref_of(d / "plain");
    std::filesystem::rename(d / "plain", d / "elsewhere");
    len = 99;
    EXPECT_EQ(VantrelFSRefGetDiskName(&plain, buf, sizeof buf, &len), fnfErr);
    EXPECT_EQ(len, 99u);
    // Deleted, and another file under its name: not the object.
    FSRef resume = ref_of(d / "r\xE9sum\xE9");
    ASSERT_EQ(::unlink((d / "r\xE9sum\xE9").c_str()), 0);
    EXPECT_EQ(VantrelFSRefGetDiskName(&resume, buf, sizeof buf, &len), fnfErr);
    t.write("d/r\xE9sum\xE9", "another");
    EXPECT_EQ(VantrelFSRefGetDiskName(&resume, buf, sizeof buf, &len), fnfErr);

    // A volume's root: the last component of its mount point.
    FSRef root = ref_of("/");
    len = 99;
    ASSERT_EQ(VantrelFSRefGetDiskName(&root, buf, sizeof buf, &len), noErr);
    EXPECT_EQ(len, 0u) << "\"/\" has no last component";

    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("VantrelFSRefGetDiskName", 1, ioErr);
    EXPECT_EQ(VantrelFSRefGetDiskName(&moved, buf, sizeof buf, &len), ioErr);
    vantrel::fault::fail_nth("VantrelFSGetCatalogInfoBulkDiskNames", 1, ioErr);
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&dir, kFSIterateFlat, &it), noErr);
    VantrelDiskName one[1];
    ItemCount n = 7;
    EXPECT_EQ(
        VantrelFSGetCatalogInfoBulkDiskNames(it, 1, &n, nullptr, 0, nullptr, nullptr, nullptr, one),
        ioErr);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(
        VantrelFSGetCatalogInfoBulkDiskNames(it, 0, &n, nullptr, 0, nullptr, nullptr, nullptr, one),
        errFSBadItemCount);
    Boolean folder[1];
    vantrel::fault::fail_nth("VantrelFSGetEntriesBulk", 1, ioErr);
    EXPECT_EQ(VantrelFSGetEntriesBulk(it, 1, &n, nullptr, nullptr, one, folder), ioErr);
    EXPECT_EQ(n, 7u);
    ASSERT_EQ(FSCloseIterator(it), noErr);
    EXPECT_EQ(
        VantrelFSGetCatalogInfoBulkDiskNames(it, 1, &n, nullptr, 0, nullptr, nullptr, nullptr, one),
        errFSIteratorNotFound);
    EXPECT_EQ(VantrelFSGetEntriesBulk(it, 1, &n, nullptr, nullptr, one, folder),
              errFSIteratorNotFound);
    EXPECT_EQ(VantrelFSGetEntriesBulk(it, 1, &n, nullptr, nullptr, one, nullptr), paramErr);
}

struct NameCase {
    const char* label;
    std::u16string name;
    OSErr expect;
    const char* disk;
};

class NameRules : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameRules, UnicodeToDisk) {
    const NameCase& c = GetParam();
    std::string disk = "untouched";
    EXPECT_EQ(fm::name_from_unicode(uc(c.name), c.name.size(), &disk), c.expect) << c.label;
    if (c.expect == noErr)
        EXPECT_EQ(disk, c.disk) << c.label;
    else
        EXPECT_EQ(disk, "untouched") << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NameRules,
    ::testing::Values(
        NameCase{"plain", u"abc", noErr, "abc"}, NameCase{"slash", u"a/b", noErr, "a:b"},
        NameCase{"only slash", u"/", noErr, ":"},
        NameCase{"decomposed becomes NFC", u"e\u0301", noErr, "\xC3\xA9"},
        NameCase{"empty", u"", bdNamErr, ""}, NameCase{"dot", u".", bdNamErr, ""},
        NameCase{"dotdot", u"..", bdNamErr, ""},
        NameCase{"nul", std::u16string(u"a\0b", 3), bdNamErr, ""},
        NameCase{"colon cannot be stored", u"a:b", bdNamErr, ""},
        NameCase{"lone surrogate", std::u16string(1, char16_t(0xD800)), bdNamErr, ""},
        NameCase{"256 units", std::u16string(256, u'x'), errFSNameTooLong, ""},
        NameCase{"255 units but 510 bytes", std::u16string(255, u'\u00E9'), errFSNameTooLong, ""},
        NameCase{
            "255 units", std::u16string(255, u'y'), noErr,
            "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"
            "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"
            "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"
            "y"}),
    [](const auto& info) {
        std::string s = info.param.label;
        for (char& ch : s)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return s;
    });

TEST(FSRefs, DiskNamesShownAndPascalForms) {
    HFSUniStr255 u{};
    ASSERT_EQ(fm::name_to_unicode("x:y", &u), noErr);
    EXPECT_EQ(utf8(u), "x/y");
    ASSERT_EQ(fm::name_to_unicode("bad\xFFname", &u), noErr) << "undecodable bytes still show";
    EXPECT_EQ(u.unicode[3], 0xFFFD);

    unsigned char p[64];
    fm::name_to_pascal("short", 99, p, sizeof p);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p + 1), p[0]), "short");
    fm::name_to_pascal(std::string(40, 'n'), 0x1234, p, sizeof p);
    std::string shortened(reinterpret_cast<char*>(p + 1), p[0]);
    EXPECT_EQ(shortened.size(), 31u);
    EXPECT_TRUE(shortened.ends_with("#1234")) << shortened;
    EXPECT_EQ(fm::mangled_id(shortened), 0x1234u);
    EXPECT_EQ(fm::mangled_id("plain"), 0u);

    std::string disk;
    const unsigned char macRoman[] =
        "\x04"
        "caf\x8E";  // é in Mac Roman
    ASSERT_EQ(fm::name_from_pascal(macRoman, &disk), noErr);
    EXPECT_EQ(disk, "caf\xC3\xA9");
    const unsigned char withColon[] =
        "\x03"
        "a:b";
    EXPECT_EQ(fm::name_from_pascal(withColon, &disk), bdNamErr);
}

TEST(FSRefs, ShortenedPascalNamesResolveThroughTheDirectory) {
    vtest::TempDir t;
    std::string longName(50, 'q');
    t.write("d/" + longName, "x");
    FSRef f = ref_of(t / ("d/" + longName));
    FSSpec spec{};
    ASSERT_EQ(FSGetCatalogInfo(&f, 0, nullptr, nullptr, &spec, nullptr), noErr);
    ASSERT_LE(spec.name[0], 31);
    FSRefParam pb{};
    FSRef out{};
    pb.ioVRefNum = spec.vRefNum;
    pb.ioDirID = spec.parID;
    pb.ioNamePtr = spec.name;
    pb.newRef = &out;
    ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
    EXPECT_EQ(FSCompareFSRefs(&out, &f), noErr);
}

TEST(FSRefs, DatesConvertBothWaysExactly) {
    for (UInt16 frac : {UInt16(0), UInt16(1), UInt16(32768), UInt16(65535)}) {
        UTCDateTime d{0, 3'000'000'000u, frac};
        std::int64_t s;
        std::uint32_t ns;
        fm::timespec_from_utc(d, &s, &ns);
        EXPECT_LT(ns, 1'000'000'000u);
        UTCDateTime back = fm::utc_from_timespec(s, ns);
        EXPECT_EQ(back.highSeconds, d.highSeconds);
        EXPECT_EQ(back.lowSeconds, d.lowSeconds);
        EXPECT_EQ(back.fraction, d.fraction) << frac;
    }
    UTCDateTime epoch = fm::utc_from_timespec(0, 0);
    EXPECT_EQ(epoch.lowSeconds, 2082844800u);
    UTCDateTime early = fm::utc_from_timespec(-3'000'000'000LL, 5);
    EXPECT_EQ(early.lowSeconds, 0u) << "before 1904 clamps to the earliest date";
}

struct ErrnoCase {
    int err;
    fm::Op op;
    OSErr expect;
};
class ErrnoTable : public ::testing::TestWithParam<ErrnoCase> {};
TEST_P(ErrnoTable, Maps) {
    EXPECT_EQ(fm::from_errno(GetParam().err, GetParam().op), GetParam().expect) << GetParam().err;
}
INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoTable,
    ::testing::Values(
        ErrnoCase{ENOENT, fm::Op::Lookup, fnfErr}, ErrnoCase{ENOENT, fm::Op::OpenDir, dirNFErr},
        ErrnoCase{EEXIST, fm::Op::Create, dupFNErr}, ErrnoCase{ENOTDIR, fm::Op::Lookup, dirNFErr},
        ErrnoCase{ENOTEMPTY, fm::Op::Delete, fBsyErr}, ErrnoCase{EEXIST, fm::Op::Delete, fBsyErr},
        ErrnoCase{EXDEV, fm::Op::Rename, diffVolErr},
        ErrnoCase{ENAMETOOLONG, fm::Op::Create, errFSNameTooLong},
        ErrnoCase{ENOSPC, fm::Op::Write, dskFulErr}, ErrnoCase{EROFS, fm::Op::Write, vLckdErr},
        ErrnoCase{EACCES, fm::Op::OpenDir, afpAccessDenied},
        ErrnoCase{EACCES, fm::Op::Delete, afpAccessDenied},
        ErrnoCase{EACCES, fm::Op::Read, permErr}, ErrnoCase{EPERM, fm::Op::Delete, permErr},
        ErrnoCase{EBUSY, fm::Op::Delete, fBsyErr}, ErrnoCase{EMFILE, fm::Op::OpenDir, tmfoErr},
        ErrnoCase{EIO, fm::Op::Read, ioErr},
        // What one operation's errno means beyond the common table.
        ErrnoCase{EINVAL, fm::Op::Rename, paramErr}, ErrnoCase{EINVAL, fm::Op::Move, badMovErr},
        ErrnoCase{EINVAL, fm::Op::Exchange, errFSOperationNotSupported},
        ErrnoCase{ENOSYS, fm::Op::Exchange, errFSOperationNotSupported},
        ErrnoCase{ENOTDIR, fm::Op::Resolve, fnfErr}, ErrnoCase{ELOOP, fm::Op::Resolve, fnfErr},
        ErrnoCase{ENOENT, fm::Op::VolumeRoot, nsvErr}, ErrnoCase{EPERM, fm::Op::Lock, permErr},
        ErrnoCase{ENOTTY, fm::Op::Lock, errFSOperationNotSupported},
        ErrnoCase{EEXIST, fm::Op::CreateFork, errFSForkExists},
        ErrnoCase{EACCES, fm::Op::CreateFork, permErr},
        ErrnoCase{E2BIG, fm::Op::WriteFork, dskFulErr},
        ErrnoCase{E2BIG, fm::Op::Read, errFSBadBuffer},
        ErrnoCase{EAGAIN, fm::Op::RangeLock, afpRangeOverlap},
        ErrnoCase{EACCES, fm::Op::RangeLock, afpRangeOverlap},
        ErrnoCase{ENOLCK, fm::Op::RangeLock, memFullErr}, ErrnoCase{EPERM, fm::Op::Mount, permErr},
        ErrnoCase{ENOENT, fm::Op::Mount, fnfErr}, ErrnoCase{ESRCH, fm::Op::MapID, fnfErr},
        ErrnoCase{EPERM, fm::Op::MapID, fnfErr}, ErrnoCase{ENOMEM, fm::Op::MapID, memFullErr}),
    [](const auto& info) {
        return "errno" + std::to_string(info.param.err) + "_op" +
               std::to_string(int(info.param.op));
    });

TEST(FSRefs, EpermOnALockedObjectIsTheLock) {
    vtest::TempDir t;
    auto f = t.write("locked", "x");
    if (!vtest::set_immutable(f, true)) GTEST_SKIP() << "cannot set the immutable attribute here";
    FSRef r = ref_of(f);
    fm::Node n;
    ASSERT_EQ(fm::resolve(&r, &n), noErr);
    EXPECT_TRUE(n.locked());
    EXPECT_EQ(fm::from_errno(EPERM, fm::Op::Delete, &n), fLckdErr);
    EXPECT_EQ(FSDeleteObject(&r), fLckdErr);
    EXPECT_TRUE(present(f));
}

TEST(FSRefs, CreateAndDeleteObjects) {
    vtest::TempDir t;
    FSRef dir = ref_of(t.path());
    auto dn = u16("sub");
    FSRef sub{};
    UInt32 subID = 0;
    ASSERT_EQ(FSCreateDirectoryUnicode(&dir, dn.size(), uc(dn), 0, nullptr, &sub, nullptr, &subID),
              noErr);
    EXPECT_EQ(subID, ino_of(t / "sub"));
    auto fnm = u16("f");
    FSRef f{};
    FSSpec spec{};
    ASSERT_EQ(FSCreateFileUnicode(&sub, fnm.size(), uc(fnm), 0, nullptr, &f, &spec), noErr);
    EXPECT_EQ(spec.parID, SInt32(subID));
    EXPECT_EQ(FSDeleteObject(&sub), fBsyErr) << "a directory with items is not deleted";
    EXPECT_EQ(FSCreateFileUnicode(&f, fnm.size(), uc(fnm), 0, nullptr, nullptr, nullptr), dirNFErr)
        << "a file is no parent";
    auto bad = u16("..");
    EXPECT_EQ(FSCreateFileUnicode(&dir, bad.size(), uc(bad), 0, nullptr, nullptr, nullptr),
              bdNamErr);
    EXPECT_EQ(FSCreateFileUnicode(&dir, 3, nullptr, 0, nullptr, nullptr, nullptr), paramErr);
    ASSERT_EQ(FSDeleteObject(&f), noErr);
    ASSERT_EQ(FSDeleteObject(&sub), noErr);
    EXPECT_FALSE(present(t / "sub"));
    EXPECT_EQ(FSDeleteObject(&sub), fnfErr);
    EXPECT_EQ(FSCreateFileUnicode(&sub, fnm.size(), uc(fnm), 0, nullptr, nullptr, nullptr), fnfErr)
        << "nothing is created in a directory that is gone";
    FSRef root = ref_of("/");
    EXPECT_EQ(FSDeleteObject(&root), fBsyErr);

    // A symbolic link is an object of its own: made, listed and deleted as
    // the link, never its target.
    t.write("target/keep", "k");
    std::filesystem::create_directory_symlink(t / "target", t / "link");
    Boolean isDir = true;
    FSRef link{};
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>((t / "link").c_str()), &link, &isDir),
              noErr);
    EXPECT_FALSE(isDir);
    ASSERT_EQ(FSDeleteObject(&link), noErr);
    EXPECT_FALSE(present(t / "link"));
    EXPECT_TRUE(present(t / "target/keep"));
}

TEST(FSRefs, FaultSeamReachesEveryOperation) {
    vtest::TempDir t;
    t.write("f", "x");
    FSRef dir = ref_of(t.path());
    FSRef f = ref_of(t / "f");
    vantrel::fault::Scope scope;
    vantrel::fault::fail_if([](const vantrel::fault::Call& c) -> OSErr {
        return c.op == "FSDeleteObject" ? ioErr : noErr;
    });
    EXPECT_EQ(FSDeleteObject(&f), ioErr);
    EXPECT_TRUE(present(t / "f")) << "a failed call changes nothing";
    vantrel::fault::reset();
    vantrel::fault::fail_nth("FSCreateFileUnicode", 1, dskFulErr);
    auto nm = u16("g");
    EXPECT_EQ(FSCreateFileUnicode(&dir, nm.size(), uc(nm), 0, nullptr, nullptr, nullptr),
              dskFulErr);
    EXPECT_FALSE(present(t / "g"));
    vantrel::fault::fail_nth("FSPathMakeRef", 1, memFullErr);
    FSRef r;
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(t.path().c_str()), &r, nullptr),
              memFullErr);
}

// Bytes that do not make a reference this layer could have made are refused
// before anything is looked up, so a forged name can never reach outside the
// directory its reference names. Each row forges a real reference to in/x.
struct ForgedCase {
    const char* label;
    std::function<void(unsigned char* bytes, const struct stat& out, const struct stat& top)> forge;
};
class ForgedRefs : public ::testing::TestWithParam<ForgedCase> {};

namespace {
// Where the fields of our 80 bytes sit (docs/filemanager-platform.md).
void put_name(unsigned char* b, std::string_view name) {
    std::memset(b + 40, 0, 40);
    std::memcpy(b + 40, name.data(), name.size());
    b[7] = static_cast<unsigned char>(name.size());
}
void put_ino(unsigned char* b, const struct stat& st) {
    std::uint64_t ino = st.st_ino, zero = 0;
    std::memcpy(b + 24, &ino, 8);
    std::memcpy(b + 32, &zero, 8);  // no birth stamp to check
}
}  // namespace

TEST_P(ForgedRefs, AreRefusedAndTouchNothing) {
    vtest::TempDir t;
    t.write("in/x", "x");
    auto out = t.write("out", "keep");
    FSRef ref = ref_of(t / "in/x");
    struct stat ost, tst;
    ASSERT_EQ(::lstat(out.c_str(), &ost), 0);
    ASSERT_EQ(::lstat(t.path().c_str(), &tst), 0);
    GetParam().forge(reinterpret_cast<unsigned char*>(&ref), ost, tst);
    fm::Node n;
    EXPECT_EQ(fm::resolve(&ref, &n), errFSBadFSRef);
    UInt8 name[255];
    ByteCount len = 1234;
    EXPECT_EQ(VantrelFSRefGetDiskName(&ref, name, sizeof name, &len), errFSBadFSRef);
    EXPECT_EQ(len, 1234u) << "nothing is written on failure";
    EXPECT_EQ(FSDeleteObject(&ref), errFSBadFSRef);
    EXPECT_EQ(vtest::read_file(out), "keep");
    EXPECT_TRUE(present(t / "in/x"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ForgedRefs,
    ::testing::Values(
        ForgedCase{"name_climbs_out",
                   [](unsigned char* b, const struct stat& o, const struct stat&) {
                       put_name(b, "../out");
                       put_ino(b, o);
                   }},
        ForgedCase{"name_is_dotdot",
                   [](unsigned char* b, const struct stat&, const struct stat& top) {
                       put_name(b, "..");
                       put_ino(b, top);
                   }},
        ForgedCase{"name_with_nul",
                   [](unsigned char* b, const struct stat&, const struct stat&) {
                       put_name(b, std::string("x\0y", 3));
                   }},
        ForgedCase{"bytes_after_the_name",
                   [](unsigned char* b, const struct stat&, const struct stat&) { b[79] = 'z'; }},
        ForgedCase{"long_name_flag_on_a_short_name",
                   [](unsigned char* b, const struct stat&, const struct stat&) { b[6] |= 4; }},
        ForgedCase{"root_flag_on_an_item",
                   [](unsigned char* b, const struct stat&, const struct stat&) { b[6] |= 2; }},
        ForgedCase{"unknown_flag",
                   [](unsigned char* b, const struct stat&, const struct stat&) { b[6] |= 0x80; }},
        ForgedCase{"name_length_past_the_field",
                   [](unsigned char* b, const struct stat&, const struct stat&) { b[7] = 41; }},
        ForgedCase{"volume_number_not_negative",
                   [](unsigned char* b, const struct stat&, const struct stat&) {
                       b[4] = 5;
                       b[5] = 0;
                   }}),
    [](const auto& info) { return std::string(info.param.label); });

// A directory 10,000 levels deep resolves after the descriptor cache is
// dropped, on a thread with a 1 MiB stack and with 1,024 descriptors allowed:
// its ancestors are found again one after the other, not by recursion and
// not by holding one descriptor per level.
TEST(FSRefs, ADirectoryTenThousandDeepResolvesOnASmallStack) {
    vtest::TempDir t;
    const int kDepth = 10000;
    auto result = vtest::in_deep_scratch(t.path(), 1024, [&](const std::filesystem::path& top) {
        int fd = vtest::make_chain(top, kDepth);
        struct stat bottom;
        if (fd < 0 || ::fstat(fd, &bottom) != 0) return std::string("cannot make the chain");
        ::close(fd);
        // A reference to each level in turn, as a walk makes them.
        FSRef cur = ref_of(top);
        auto name = u16("d");
        for (int i = 0; i < kDepth; ++i) {
            FSRef child{};
            if (OSErr e = FSMakeFSRefUnicode(&cur, name.size(), uc(name), 0, &child))
                return "make level " + std::to_string(i) + ": " + std::to_string(e);
            cur = child;
        }
        fm::drop_fd_cache();
        std::string msg;
        vtest::run_on_small_stack([&] {
            FSCatalogInfo info{};
            OSErr e = FSGetCatalogInfo(&cur, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr);
            msg = fmtest::check(e == noErr && info.nodeID == bottom.st_ino,
                                "the deepest directory gave " + std::to_string(e));
        });
        return msg;
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ("", *result);
}

// The side tables stay bounded: node IDs of inode numbers beyond 32 bits are
// kept in the volume's ID table on disk (the same in every process), not in
// the process's tables, and the table
// of long names keeps the most recent ones when full instead of emptying.
TEST(FSRefs, SideTablesStayBounded) {
    vtest::TempDir t;
    FSRef dirRef = ref_of(t.path());
    fm::Node dir;
    ASSERT_EQ(fm::resolve(&dirRef, &dir), noErr);
    const fm::TableSizes before = fm::table_sizes();
    std::set<UInt32> ids;
    // Enough to see each one kept (a table that kept them would grow by
    // thousands), few enough for the table on disk to take them quickly.
    for (std::uint64_t i = 0; i < 3000; ++i) {
        UInt32 id = fm::node_id_for(dir.vref, dir.dev(), (std::uint64_t(7) << 40) + i, 0);
        EXPECT_GE(id, 0x80000000u);
        if (i < 1000) ids.insert(id);
    }
    EXPECT_EQ(fm::node_id_for(dir.vref, dir.dev(), std::uint64_t(7) << 40, 0),
              fm::node_id_for(dir.vref, dir.dev(), std::uint64_t(7) << 40, 0));
    EXPECT_GE(ids.size(), 999u) << "distinct inodes get distinct IDs";
    EXPECT_LE(fm::table_sizes().ids, before.ids + 16) << "IDs of large inodes are not kept";

    const std::size_t kLongNames = 65536;
    auto key = [&](std::size_t i) {
        return fm::ObjKey{dir.vref, std::uint64_t(dir.dev()), 1000000 + i};
    };
    std::string name;
    for (std::size_t i = 0; i < kLongNames + 4000; ++i) {
        FSRef r;
        fm::make_listed_ref(dir, std::string(60, 'n') + std::to_string(i), 1000000 + i, 1, &r);
        if (i % 1000 == 0) fm::long_name(key(1), &name);  // a name in use all along
    }
    EXPECT_EQ(fm::table_sizes().longNames, kLongNames) << "full, not emptied";
    EXPECT_TRUE(fm::long_name(key(1), &name)) << "a name in use was dropped";
    EXPECT_FALSE(fm::long_name(key(2), &name)) << "the least recently used name stayed";
    EXPECT_TRUE(fm::long_name(key(kLongNames + 3999), &name)) << "the newest name was not kept";
    EXPECT_EQ(name, std::string(60, 'n') + std::to_string(kLongNames + 3999));
}

// Where the file system keeps no birth time (ext4 made with 128-byte
// inodes), a file deleted and made again at once under its name gets its
// inode number back: a reference to the old file, listed or made by path,
// must not name the new one, and deleting through it must leave it. Every
// trial in which the number came back counts.
TEST(FSRefs, AFileThatTookTheNameAndInodeOfOneWithoutBirthTimeIsAnother) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    struct How {
        const char* what;
        std::function<bool(const std::filesystem::path& dir, FSRef* out)> make;
    };
    const How hows[] = {
        {"a listed reference",
         [](const std::filesystem::path& dir, FSRef* out) {
             FSRef d = ref_of(dir);
             FSIterator it = nullptr;
             if (FSOpenIterator(&d, kFSIterateFlat, &it) != noErr) return false;
             ItemCount n = 0;
             const OSErr e =
                 FSGetCatalogInfoBulk(it, 1, &n, nullptr, 0, nullptr, out, nullptr, nullptr);
             FSCloseIterator(it);
             return (e == noErr || e == errFSNoMoreItems) && n == 1;
         }},
        {"a reference made by path",
         [](const std::filesystem::path& dir, FSRef* out) {
             return FSPathMakeRef(reinterpret_cast<const UInt8*>((dir / "victim").c_str()), out,
                                  nullptr) == noErr;
         }},
    };
    vtest::TempDir t;
    const std::filesystem::path base = std::filesystem::canonical(t.path());
    t.mkdir("vol");
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (std::string why = vtest::mount_fresh(vtest::kExt4NoBirth, base / "img", base / "vol");
            !why.empty())
            return "SKIP " + why;
        std::string msg;
        for (const How& how : hows) {
            const std::filesystem::path dir = base / "vol" / how.what;
            const std::filesystem::path victim = dir / "victim";
            int reused = 0, named = 0;
            for (int i = 0; i < 200; ++i) {
                vtest::write_file(victim, "old");
                FSRef ref{};
                if (!how.make(dir, &ref)) return std::string(how.what) + ": no reference made";
                const ino_t oldIno = ino_of(victim);
                std::filesystem::remove(victim);
                vtest::write_file(victim, "new");
                if (ino_of(victim) != oldIno) continue;
                ++reused;
                FSCatalogInfo info{};
                if (FSGetCatalogInfo(&ref, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr) !=
                        fnfErr ||
                    FSDeleteObject(&ref) != fnfErr || vtest::read_file(victim) != "new")
                    ++named;
                std::filesystem::remove(victim);
            }
            if (reused == 0) return "SKIP the file system never gave an inode number back";
            msg += fmtest::check(named == 0, std::string(how.what) + " named the new file in " +
                                                 std::to_string(named) + " of " +
                                                 std::to_string(reused) + " trials");
        }
        return msg;
    });
    ASSERT_TRUE(result.has_value()) << vtest::kNeedsPrivateMounts;
    if (result->starts_with("SKIP ")) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ(*result, "");
}
