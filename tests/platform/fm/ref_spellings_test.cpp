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

#include "FSTestSupport.h"
#include "TempDir.h"
#include "text/codec.h"
#include "vantrel/Files.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

using vtest::ref_of;

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            out.insert(e->d_name);
    ::closedir(d);
    return out;
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
