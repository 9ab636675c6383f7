// Names and references: the short-name limits, decomposition, unmappable
// characters, the resolution of the unknown hint with both fall-backs, a
// round trip of every Mac Roman character, and the reference questions on
// real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace vf = vantrel::fault;

namespace {

std::vector<UniChar> units(std::u16string_view s) {
    return {s.begin(), s.end()};
}

// The short name as a byte string (length byte dropped).
std::string hfs(const Str31 name) {
    return std::string(reinterpret_cast<const char*>(name + 1), name[0]);
}

OSErr to_hfs(const std::vector<UniChar>& u, TextEncoding hint, bool volume, Str31 out) {
    std::memset(out, 0xEE, sizeof(Str31));
    return UnicodeNameGetHFSName(u.size(), u.data(), hint, volume, out);
}

using vtest::ref_of;

}  // namespace

struct LimitRow {
    std::u16string name;
    bool volume;
    OSErr result;
    std::size_t bytes;  // length byte on success
};

class HFSNameLimits : public ::testing::TestWithParam<LimitRow> {};

TEST_P(HFSNameLimits, FitOrFailWithAnEmptyName) {
    const LimitRow& row = GetParam();
    Str31 out;
    EXPECT_EQ(to_hfs(units(row.name), kTextEncodingMacRoman, row.volume, out), row.result);
    EXPECT_EQ(out[0], row.result == noErr ? row.bytes : 0u) << "a failure leaves the length byte 0";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HFSNameLimits,
    ::testing::Values(
        LimitRow{std::u16string(31, u'a'), false, noErr, 31},
        LimitRow{std::u16string(32, u'a'), false, kTECOutputBufferFullStatus, 0},
        LimitRow{std::u16string(27, u'v'), true, noErr, 27},
        LimitRow{std::u16string(28, u'v'), true, kTECOutputBufferFullStatus, 0},
        LimitRow{std::u16string(31, u'v'), true, kTECOutputBufferFullStatus, 0},
        // 31 decomposed letters are 62 units but 31 bytes.
        [] {
            std::u16string s;
            for (int i = 0; i < 31; ++i) s += u"e\u0301";
            return LimitRow{s, false, noErr, 31};
        }(),
        LimitRow{u"", false, noErr, 0}, LimitRow{u"file\u4E2D", false, kTECUnmappableElementErr, 0},
        // Loose mappings towards the short name: superscript two becomes "2".
        LimitRow{u"x\u00B2", false, noErr, 2}));

TEST(HFSNames, AccentedShortNamesDecomposeIntoMoreUnits) {
    const unsigned char cafe[] = {5, 'c', 'a', 'f', 0x8E, 0x9F};  // "caféü" in Mac Roman
    HFSUniStr255 u;
    u.length = 999;
    ASSERT_EQ(HFSNameGetUnicodeName(cafe, kTextEncodingMacRoman, &u), noErr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(u.unicode), u.length),
              u"cafe\u0301u\u0308");
    EXPECT_GT(u.length, cafe[0]);

    Str31 full;
    full[0] = 31;
    std::memset(full + 1, 0x8E, 31);
    ASSERT_EQ(HFSNameGetUnicodeName(full, kTextEncodingMacRoman, &u), noErr);
    EXPECT_EQ(u.length, 62);

    const unsigned char empty[] = {0};
    u.length = 7;
    EXPECT_EQ(HFSNameGetUnicodeName(empty, kTextEncodingMacRoman, &u), noErr);
    EXPECT_EQ(u.length, 0);

    EXPECT_EQ(HFSNameGetUnicodeName(cafe, kTextEncodingMacRoman, nullptr), paramErr);
    EXPECT_EQ(UnicodeNameGetHFSName(1, u.unicode, kTextEncodingMacRoman, false, nullptr), paramErr);

    // A hint names the other side directly: the same byte is another letter
    // in Mac Cyrillic.
    const unsigned char de[] = {1, 0x84};
    ASSERT_EQ(HFSNameGetUnicodeName(de, kTextEncodingMacCyrillic, &u), noErr);
    ASSERT_EQ(u.length, 1);
    EXPECT_EQ(u.unicode[0], 0x0414);
    // An encoding without a table is the converter's error and an empty name.
    u.length = 3;
    EXPECT_EQ(HFSNameGetUnicodeName(de, 0x7777, &u), kTextUnsupportedEncodingErr);
    EXPECT_EQ(u.length, 0);
}

TEST(HFSNames, EveryMacRomanCharacterRoundTrips) {
    for (int b = 1; b < 256; ++b) {
        const unsigned char in[] = {1, static_cast<unsigned char>(b)};
        HFSUniStr255 u;
        ASSERT_EQ(HFSNameGetUnicodeName(in, kTextEncodingMacRoman, &u), noErr) << b;
        Str31 back;
        ASSERT_EQ(UnicodeNameGetHFSName(u.length, u.unicode, kTextEncodingMacRoman, false, back),
                  noErr)
            << b;
        ASSERT_EQ(back[0], 1) << b;
        EXPECT_EQ(back[1], b);
    }
}

TEST(HFSNames, UnknownHintResolvesThroughTheScriptManagerWithBothFallBacks) {
    vf::Scope scope;
    vf::set_counting(true);
    const std::vector<UniChar> de = {0x0414};  // Cyrillic De: only a Cyrillic encoding has it
    const std::vector<UniChar> e_acute = {u'e', 0x0301};
    Str31 out;

    // Empty names never ask.
    ASSERT_EQ(to_hfs({}, kTextEncodingUnknown, false, out), noErr);
    const unsigned char none[] = {0};
    HFSUniStr255 u;
    ASSERT_EQ(HFSNameGetUnicodeName(none, kTextEncodingUnknown, &u), noErr);
    EXPECT_EQ(vf::calls("UpgradeScriptInfoToTextEncoding"), 0);

    // Script and region that fit: one call.
    vf::set_override("GetScriptManagerVariable.18", smCyrillic);
    vf::set_override("GetScriptManagerVariable.40", 49);  // Russia
    ASSERT_EQ(to_hfs(de, kTextEncodingUnknown, false, out), noErr);
    EXPECT_EQ(hfs(out), "\x84");
    EXPECT_EQ(vf::calls("UpgradeScriptInfoToTextEncoding"), 1);

    // A region that does not fit the script: retried once without the region,
    // which still gives the system script's encoding.
    vf::set_override("GetScriptManagerVariable.40", verUS);
    ASSERT_EQ(to_hfs(de, kTextEncodingUnknown, false, out), noErr);
    EXPECT_EQ(hfs(out), "\x84");
    EXPECT_EQ(vf::calls("UpgradeScriptInfoToTextEncoding"), 3);
    const unsigned char de_byte[] = {1, 0x84};
    ASSERT_EQ(HFSNameGetUnicodeName(de_byte, kTextEncodingUnknown, &u), noErr);
    EXPECT_EQ(u.unicode[0], 0x0414);

    // Both fail: Mac Roman, and the conversion itself still runs.
    vf::fail_if([](const vf::Call& c) -> OSErr {
        return std::string_view(c.op) == "UpgradeScriptInfoToTextEncoding" ? paramErr : noErr;
    });
    EXPECT_EQ(to_hfs(de, kTextEncodingUnknown, false, out), kTECUnmappableElementErr);
    EXPECT_EQ(out[0], 0);
    ASSERT_EQ(to_hfs(e_acute, kTextEncodingUnknown, false, out), noErr);
    EXPECT_EQ(hfs(out), "\x8E");
    ASSERT_EQ(HFSNameGetUnicodeName(de_byte, kTextEncodingUnknown, &u), noErr);
    ASSERT_EQ(u.length, 2) << "0x84 is N-tilde in Mac Roman, decomposed";
    EXPECT_EQ(u.unicode[0], u'N');
    EXPECT_EQ(u.unicode[1], 0x0303);

    // Any other error of the first call goes straight to Mac Roman, no retry.
    vf::reset();
    vf::set_counting(true);
    vf::set_override("GetScriptManagerVariable.18", smCyrillic);
    vf::set_override("GetScriptManagerVariable.40", 49);
    vf::fail_nth("UpgradeScriptInfoToTextEncoding", 1, ioErr);
    EXPECT_EQ(to_hfs(de, kTextEncodingUnknown, false, out), kTECUnmappableElementErr);
    EXPECT_EQ(vf::calls("UpgradeScriptInfoToTextEncoding"), 1);
}

TEST(HFSNames, ConverterFailuresAreReturnedWithAnEmptyName) {
    vf::Scope scope;
    Str31 out;
    vf::fail_nth("CreateUnicodeToTextInfo", 1, memFullErr);
    EXPECT_EQ(to_hfs(units(u"abc"), kTextEncodingMacRoman, false, out), memFullErr);
    EXPECT_EQ(out[0], 0);
    vf::fail_nth("ConvertFromUnicodeToText", 1, ioErr);
    EXPECT_EQ(to_hfs(units(u"abc"), kTextEncodingMacRoman, false, out), ioErr);
    EXPECT_EQ(out[0], 0);
    const unsigned char abc[] = {3, 'a', 'b', 'c'};
    HFSUniStr255 u;
    vf::fail_nth("CreateTextToUnicodeInfo", 1, memFullErr);
    EXPECT_EQ(HFSNameGetUnicodeName(abc, kTextEncodingMacRoman, &u), memFullErr);
    EXPECT_EQ(u.length, 0);
}

TEST(References, SpecsPathsParentsNamesAndNodeIDs) {
    vtest::TempDir dir;
    auto file = dir.write("sub/caf\xC3\xA9", "x");  // "café"
    const FSRef fref = ref_of(file);
    const FSRef sub = ref_of(dir / "sub");

    FSSpec spec;
    ASSERT_EQ(FSRefMakeFSSpec(&fref, &spec), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(spec.name + 1), spec.name[0]), "caf\x8E");
    EXPECT_EQ(FSRefMakeFSSpec(&fref, nullptr), paramErr);

    FSSpec viaPath;
    Boolean isDir = 7;
    ASSERT_EQ(FSPathMakeFSSpec(reinterpret_cast<const UInt8*>(file.c_str()), &viaPath, &isDir),
              noErr);
    EXPECT_EQ(isDir, 0);
    EXPECT_EQ(viaPath.vRefNum, spec.vRefNum);
    EXPECT_EQ(viaPath.parID, spec.parID);
    EXPECT_EQ(std::memcmp(viaPath.name, spec.name, spec.name[0] + 1u), 0);
    EXPECT_EQ(FSPathMakeFSSpec(reinterpret_cast<const UInt8*>((dir / "nothing").c_str()), &viaPath,
                               nullptr),
              fnfErr);

    // Back from the spec's volume, directory and name.
    FSRef made;
    ASSERT_EQ(FSMakeFSRef(spec.vRefNum, spec.parID, spec.name, &made), noErr);
    EXPECT_EQ(FSCompareFSRefs(&made, &fref), noErr);
    EXPECT_EQ(FSMakeFSRef(spec.vRefNum, spec.parID, spec.name, nullptr), paramErr);

    FSRef parent;
    ASSERT_EQ(FSGetParentRef(&fref, &parent), noErr);
    EXPECT_EQ(FSCompareFSRefs(&parent, &sub), noErr);
    FSRef root = ref_of("/");
    ASSERT_EQ(FSGetParentRef(&root, &parent), noErr);
    const FSRef zero{};
    EXPECT_EQ(std::memcmp(&parent, &zero, sizeof zero), 0) << "a root has no parent";

    HFSUniStr255 name;
    ASSERT_EQ(FSGetFileDirName(&fref, &name), noErr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.unicode), name.length),
              u"cafe\u0301");

    SInt32 id = 0;
    Boolean dirFlag = 9;
    ASSERT_EQ(FSGetNodeID(&sub, &id, &dirFlag), noErr);
    EXPECT_EQ(dirFlag, 1);
    struct stat st;
    ASSERT_EQ(::stat((dir / "sub").c_str(), &st), 0);
    EXPECT_EQ(static_cast<ino_t>(id), st.st_ino);
    ASSERT_EQ(FSGetNodeID(&fref, nullptr, &dirFlag), noErr);
    EXPECT_EQ(dirFlag, 0);
    EXPECT_EQ(FSGetNodeID(&fref, nullptr, nullptr), noErr);

    EXPECT_TRUE(FSRefValid(&fref));
    std::filesystem::remove(file);
    EXPECT_FALSE(FSRefValid(&fref));
    id = 1234;
    EXPECT_EQ(FSGetNodeID(&fref, &id, nullptr), fnfErr);
    EXPECT_EQ(id, 1234) << "written only on success";
    // Another file under the same name is not the deleted one.
    dir.write("sub/caf\xC3\xA9", "new");
    EXPECT_FALSE(FSRefValid(&fref));
    EXPECT_FALSE(FSRefValid(&zero));
}

// 127 x U+0390 is 254 bytes on disk but 381 units decomposed: the name is
// given composed (it fits), finds the object again, and a listing with
// names includes the item.
TEST(LongDecomposition, IsShownComposedAndListed) {
    vtest::TempDir dir;
    std::string disk;
    for (int i = 0; i < 127; ++i) disk += "\xCE\x90";
    dir.write("d/" + disk, "x");
    FSRef parent{}, ref{};
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>((dir / "d").c_str()), &parent, nullptr),
              noErr);
    ASSERT_EQ(
        FSPathMakeRef(reinterpret_cast<const UInt8*>((dir / "d" / disk).c_str()), &ref, nullptr),
        noErr);
    HFSUniStr255 name;
    ASSERT_EQ(FSGetFileDirName(&ref, &name), noErr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.unicode), name.length),
              std::u16string(127, u'\u0390'));
    FSRef again{};
    ASSERT_EQ(FSMakeFSRefUnicode(&parent, name.length, name.unicode, kTextEncodingUnknown, &again),
              noErr);
    EXPECT_EQ(FSCompareFSRefs(&ref, &again), noErr);

    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&parent, kFSIterateFlat, &it), noErr);
    ItemCount got = 0;
    HFSUniStr255 names[4];
    const OSErr e = FSGetCatalogInfoBulk(it, 4, &got, nullptr, kFSCatInfoNone, nullptr, nullptr,
                                         nullptr, names);
    FSCloseIterator(it);
    EXPECT_TRUE(e == noErr || e == errFSNoMoreItems) << e;
    ASSERT_EQ(got, 1u) << "the item is listed";
    EXPECT_EQ(names[0].length, 127);
}
