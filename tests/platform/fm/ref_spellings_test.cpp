// One name, several spellings on disk: a name stored decomposed (as Mac
// clients write it) and the same name composed (as we write it) read back
// alike, so a rename or move must treat either as taken; and a name left by
// a rename comes back byte for byte when it is given back.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "DirNames.h"
#include "FSTestSupport.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "text/codec.h"
#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

using vtest::ref_of;

std::set<std::string> entries(const fs::path& dir) {
    return vtest::names_on_disk(dir);
}

void put(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

std::u16string u16(std::string_view utf8) {
    std::u16string out;
    vantrel::text::utf8_to_utf16(utf8, &out);
    return out;
}

enum class How { Rename, Move, MoveRenamePB };

struct SpellingRow {
    const char* what;
    How how;
    const char* present;  // already in the destination directory
    const char* moving;   // the moving object's name on disk
    const char* newName;  // UTF-8 of the Unicode name asked for (Rename, MoveRenamePB)
};

void PrintTo(const SpellingRow& row, std::ostream* os) {
    *os << row.what;
}

const SpellingRow kTaken[] = {
    {"rename to the composed form of a decomposed name", How::Rename, "cafe\xcc\x81", "x",
     "caf\xc3\xa9"},
    {"rename to the decomposed form of a composed name", How::Rename, "caf\xc3\xa9", "x",
     "cafe\xcc\x81"},
    {"move a composed name beside its decomposed form", How::Move, "cafe\xcc\x81", "caf\xc3\xa9",
     nullptr},
    {"move a decomposed name beside its composed form", How::Move, "caf\xc3\xa9", "cafe\xcc\x81",
     nullptr},
    {"parameter-block move-rename to the composed form", How::MoveRenamePB, "cafe\xcc\x81", "x",
     "caf\xc3\xa9"},
};

class TakenInAnotherSpelling : public ::testing::TestWithParam<SpellingRow> {};

TEST_P(TakenInAnotherSpelling, IsRefusedAndNothingChanges) {
    const SpellingRow& row = GetParam();
    vtest::TempDir dir;
    const fs::path to = row.how == How::Rename ? dir / "same" : dir / "dst";
    put(to / row.present, "present");
    const fs::path from = row.how == How::Rename ? dir / "same" : dir / "src";
    put(from / row.moving, "moving");
    const auto toBefore = entries(to), fromBefore = entries(from);
    FSRef obj = ref_of(from / row.moving), out{};
    OSErr e = noErr;
    if (row.how == How::Rename) {
        const std::u16string n = u16(row.newName);
        e = FSRenameUnicode(&obj, n.size(), reinterpret_cast<const UniChar*>(n.data()),
                            kTextEncodingUnknown, &out);
    } else if (row.how == How::Move) {
        FSRef dst = ref_of(to);
        e = FSMoveObject(&obj, &dst, &out);
    } else {
        FSRef dst = ref_of(to);
        FSCatalogInfo src{}, dd{};
        ASSERT_EQ(FSGetCatalogInfo(&obj, kFSCatInfoVolume | kFSCatInfoParentDirID, &src, nullptr,
                                   nullptr, nullptr),
                  noErr);
        ASSERT_EQ(FSGetCatalogInfo(&dst, kFSCatInfoNodeID, &dd, nullptr, nullptr, nullptr), noErr);
        // "café" in Mac Roman, the legacy call's encoding.
        unsigned char oldName[] = "\x01x";
        unsigned char newName[] =
            "\x04"
            "caf\x8e";
        HParamBlockRec pb{};
        pb.copyParam.ioVRefNum = src.volume;
        pb.copyParam.ioDirID = static_cast<SInt32>(src.parentDirID);
        pb.copyParam.ioNamePtr = oldName;
        pb.copyParam.ioNewDirID = static_cast<SInt32>(dd.nodeID);
        pb.copyParam.ioNewName = nullptr;
        pb.copyParam.ioCopyName = newName;
        e = PBHMoveRenameSync(&pb);
    }
    EXPECT_EQ(e, dupFNErr);
    EXPECT_EQ(entries(to), toBefore);
    EXPECT_EQ(entries(from), fromBefore);
}

INSTANTIATE_TEST_SUITE_P(Names, TakenInAnotherSpelling, ::testing::ValuesIn(kTaken));

// A rename away and back, giving the name exactly as FSGetCatalogInfo showed
// it, restores the bytes the name had; so does giving it to another file
// in that directory. A name we stored ourselves needs no memory of it.
TEST(LeftName, ComesBackByteForByteWhenGivenBackAsShown) {
    for (const char* disk : {"r\xe9sum\xe9", "cafe\xcc\x81", "caf\xc3\xa9"}) {
        SCOPED_TRACE(disk);
        vtest::TempDir dir;
        put(dir / "d" / disk, "one");
        put(dir / "d/other", "two");
        FSRef ref = ref_of(dir / "d" / disk), out{};
        HFSUniStr255 shown;
        ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, &shown, nullptr, nullptr), noErr);
        const std::u16string tmp = u"tmp";
        ASSERT_EQ(FSRenameUnicode(&ref, tmp.size(), reinterpret_cast<const UniChar*>(tmp.data()),
                                  kTextEncodingUnknown, &out),
                  noErr);
        // Another file takes the name it left.
        FSRef other = ref_of(dir / "d/other");
        ASSERT_EQ(FSRenameUnicode(&other, shown.length, shown.unicode, kTextEncodingUnknown, &out),
                  noErr);
        EXPECT_EQ(entries(dir / "d"), (std::set<std::string>{disk, "tmp"}));
    }
}

VantrelDiskName disk(std::string_view bytes) {
    VantrelDiskName n{};
    n.length = static_cast<UInt8>(bytes.size());
    std::memcpy(n.bytes, bytes.data(), bytes.size());
    return n;
}

std::string bytes_of(const VantrelDiskName& n) {
    return {reinterpret_cast<const char*>(n.bytes), n.length};
}

// A name in each normal form, as HFS+ normalises: the characters it never
// decomposes stay as they are in both, a name that grows past 255 bytes
// once decomposed has no such form, and bytes that are not UTF-8 none at all.
TEST(NormalizeDiskName, GivesEachFormAsHFSPlusWouldStoreIt) {
    constexpr VantrelNormalForm C = kVantrelNormalFormComposed, D = kVantrelNormalFormDecomposed;
    struct Row {
        const char* what;
        std::string name;
        VantrelNormalForm form;
        OSErr result;
        std::string out;  // with noErr
    };
    const std::string e85(85, 'x');
    std::string longAccents;  // 127 x "é" composed: 254 bytes, 381 decomposed
    for (int i = 0; i < 127; ++i) longAccents += "\xc3\xa9";
    const Row rows[] = {
        {"decomposed to composed", "cafe\xcc\x81", C, noErr, "caf\xc3\xa9"},
        {"composed to decomposed", "caf\xc3\xa9", D, noErr, "cafe\xcc\x81"},
        {"already composed", "caf\xc3\xa9", C, noErr, "caf\xc3\xa9"},
        {"ASCII with a colon as stored", "a:b", D, noErr, "a:b"},
        {"marks put in canonical order", "e\xcc\x81\xcc\xa3", D, noErr, "e\xcc\xa3\xcc\x81"},
        {"Hangul composed", "\xe1\x84\x80\xe1\x85\xa1", C, noErr, "\xea\xb0\x80"},
        {"OHM SIGN kept composing", "\xe2\x84\xa6", C, noErr, "\xe2\x84\xa6"},
        {"ANGSTROM SIGN kept decomposing", "\xe2\x84\xab", D, noErr, "\xe2\x84\xab"},
        {"U+F900 kept", "\xef\xa4\x80", C, noErr, "\xef\xa4\x80"},
        {"an accent after a kept sign still composes",
         "\xe2\x84\xa6"
         "e\xcc\x81",
         C, noErr, "\xe2\x84\xa6\xc3\xa9"},
        {"254 bytes that decompose to 381", longAccents, D, errFSNameTooLong, ""},
        {"254 bytes composed stay", longAccents, C, noErr, longAccents},
        {"Latin-1 bytes", "r\xe9sum\xe9", C, bdNamErr, ""},
        {"an empty name", "", C, bdNamErr, ""},
        {"no such form", "x", 7, paramErr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const VantrelDiskName in = disk(row.name);
        VantrelDiskName out = disk("untouched");
        EXPECT_EQ(VantrelFSNormalizeDiskName(&in, row.form, &out), row.result);
        EXPECT_EQ(bytes_of(out), row.result == noErr ? row.out : "untouched");
    }
    VantrelDiskName same = disk("cafe\xcc\x81");
    EXPECT_EQ(VantrelFSNormalizeDiskName(&same, C, &same), noErr) << "in place";
    EXPECT_EQ(bytes_of(same), "caf\xc3\xa9");
    EXPECT_EQ(VantrelFSNormalizeDiskName(nullptr, C, &same), paramErr);
    EXPECT_EQ(VantrelFSNormalizeDiskName(&same, C, nullptr), paramErr);
}

// A rename to exact bytes: the form a name is stored in changes (which
// FSRenameUnicode cannot do: it stores every name composed), the fork in
// the sidecar follows under the same bytes, the reference keeps naming the
// object; and each refusal changes nothing.
TEST(ExactRename, StoresTheBytesGivenWithTheForkOrRefusesChangingNothing) {
    struct Row {
        const char* what;
        std::string from;                 // the object's name on disk
        std::string to;                   // the bytes asked for
        std::vector<std::string> others;  // other files in the folder
        bool fork;                        // the object has a fork in its sidecar
        OSErr result;
    };
    const std::string nfc = "caf\xc3\xa9", nfd = "cafe\xcc\x81";
    const Row rows[] = {
        {"composed to decomposed, with its fork", nfc, nfd, {}, true, noErr},
        {"decomposed to composed, with its fork", nfd, nfc, {}, true, noErr},
        {"a folder", "dir-" + nfd, "dir-" + nfc, {}, false, noErr},
        {"to bytes that are not UTF-8", "x", "r\xe9sum\xe9", {}, false, noErr},
        {"its own name", nfc, nfc, {}, true, noErr},
        {"the other form is another file's", nfd, nfc, {nfc}, true, dupFNErr},
        {"a third spelling is another file's",
         "e\xcc\x81\xcc\xa3",
         "e\xcc\xa3\xcc\x81",
         {"\xe1\xba\xb9\xcc\x81"},
         false,
         dupFNErr},
        {"the very name is another file's", "a", "b", {"b"}, false, dupFNErr},
        {"no room for the sidecar's prefix",
         "f",
         std::string(254, 'n'),
         {},
         true,
         errFSNameTooLong},
        {"254 bytes without a fork", "f", std::string(254, 'n'), {}, false, noErr},
        {"a slash", "a", "a/b", {}, false, bdNamErr},
        {"a NUL", "a", std::string("a\0b", 3), {}, false, bdNamErr},
        {"a sidecar's name", "a", "._a", {}, false, bdNamErr},
        {"dot-dot", "a", "..", {}, false, bdNamErr},
        {"empty", "a", "", {}, false, bdNamErr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir;
        const fs::path obj = dir / row.from;
        if (row.from.starts_with("dir-")) {
            fs::create_directory(obj);
            put(obj / "inside", "kept");
        } else {
            put(obj, "data");
        }
        if (row.fork) vtest::write_sidecar(obj, "the fork");
        for (const std::string& o : row.others) put(dir / o, "other");
        const auto before = entries(dir.path());
        FSRef ref = ref_of(obj), out{};
        const VantrelDiskName name = disk(row.to);
        ASSERT_EQ(VantrelFSRenameExact(&ref, &name, &out), row.result);
        if (row.result != noErr) {
            EXPECT_EQ(entries(dir.path()), before);
            if (row.fork) {
                EXPECT_EQ(vtest::sidecar_fork(obj), "the fork");
            }
            continue;
        }
        std::set<std::string> want(row.others.begin(), row.others.end());
        want.insert(row.to);
        if (row.fork) want.insert("._" + row.to);
        EXPECT_EQ(entries(dir.path()), want);
        if (row.fork) {
            EXPECT_EQ(vtest::sidecar_fork(dir / row.to), "the fork");
        }
        UInt8 got[255];
        ByteCount len = 0;
        ASSERT_EQ(VantrelFSRefGetDiskName(&ref, got, sizeof got, &len), noErr) << "the old ref";
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got), len), row.to);
        ASSERT_EQ(VantrelFSRefGetDiskName(&out, got, sizeof got, &len), noErr) << "the new ref";
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got), len), row.to);
        if (row.from.starts_with("dir-")) {
            EXPECT_TRUE(fs::exists(dir / row.to / "inside"));
        }
    }

    vtest::TempDir dir;
    FSRef folder = ref_of(dir.path());
    const VantrelDiskName name = disk("x");
    EXPECT_EQ(VantrelFSRenameExact(nullptr, &name, nullptr), paramErr);
    EXPECT_EQ(VantrelFSRenameExact(&folder, nullptr, nullptr), paramErr);
}
}  // namespace

// Compatibility characters that NFC would replace by others: created or
// renamed to, each is stored and read back as given.
TEST(CompatibilityCharacters, AreStoredAndReadBackUnchanged) {
    struct Row {
        const char* what;
        std::u16string name;
        const char* disk;
    };
    const Row rows[] = {
        {"U+F900 CJK compatibility ideograph", u"\uF900.txt", "\xEF\xA4\x80.txt"},
        {"U+2126 OHM SIGN", u"\u2126", "\xE2\x84\xA6"},
        {"U+212B ANGSTROM SIGN", u"x\u212B", "x\xE2\x84\xAB"},
        {"U+2F800 (a surrogate pair)", u"\U0002F800", "\xF0\xAF\xA0\x80"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir;
        FSRef parent = ref_of(dir.path()), created{}, renamed{};
        ASSERT_EQ(FSCreateFileUnicode(&parent, row.name.size(),
                                      reinterpret_cast<const UniChar*>(row.name.data()),
                                      kFSCatInfoNone, nullptr, &created, nullptr),
                  noErr);
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{row.disk});
        HFSUniStr255 shown;
        ASSERT_EQ(FSGetCatalogInfo(&created, kFSCatInfoNone, nullptr, &shown, nullptr, nullptr),
                  noErr);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(shown.unicode), shown.length),
                  row.name);
        put(dir / "other", "");
        FSRef other = ref_of(dir / "other");
        ASSERT_EQ(FSDeleteObject(&created), noErr);
        ASSERT_EQ(FSRenameUnicode(&other, row.name.size(),
                                  reinterpret_cast<const UniChar*>(row.name.data()),
                                  kTextEncodingUnknown, &renamed),
                  noErr);
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{row.disk});
    }
}
