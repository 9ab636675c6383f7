// Names as other programs leave them on a Linux server (decomposed by Mac
// clients, Mac Roman bytes from old servers, characters NFC would change)
// come out of a move-rename or an exchange byte for byte, whether the
// operation succeeded or was undone.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;
namespace vf = vantrel::fault;

namespace {

using vtest::ref_of;

std::string escaped(const std::string& name) {
    std::string shown;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            shown += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            shown += hex;
        }
    }
    return shown;
}

// The entries of `dir` as bytes, shown escaped so a failure reads clearly.
std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        out.insert(escaped(e->d_name));
    }
    ::closedir(d);
    return out;
}

void put(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

struct NameRow {
    const char* what;
    const char* disk;
    // For a name that is not UTF-8: the name it is shown as (each bad byte
    // U+FFFD), which another item may really have.
    const char* shown = nullptr;
};

void PrintTo(const NameRow& row, std::ostream* os) {
    *os << row.what;
}

const NameRow kNames[] = {
    {"Mac Roman bytes", "r\xe9sum\xe9.txt", "r\xef\xbf\xbdsum\xef\xbf\xbd.txt"},
    {"a lone Latin-1 byte", "na\xefve", "na\xef\xbf\xbdve"},
    {"decomposed", "cafe\xcc\x81"},
    {"decomposed, several marks", "A\xcc\x8a\xcc\x81ngstro\xcc\x88m"},
};

class NameBytes : public ::testing::TestWithParam<NameRow> {};

TEST_P(NameBytes, AMoveRenameUndoneAfterACollisionGivesTheNameBackAsItWas) {
    vtest::TempDir dir;
    const std::string name = GetParam().disk;
    dir.write("src/" + name, "object");
    dir.write("dst/taken", "taken");
    FSRef obj = ref_of(dir / "src" / name), dst = ref_of(dir / "dst");
    const std::u16string taken = u"taken";
    FSRef out{};
    EXPECT_EQ(FSMoveRenameObjectUnicode(&obj, &dst, taken.size(),
                                        reinterpret_cast<const UniChar*>(taken.data()),
                                        kTextEncodingUnknown, &out),
              dupFNErr);
    EXPECT_EQ(entries(dir / "src"), std::set<std::string>{escaped(name)});
    EXPECT_EQ(entries(dir / "dst"), std::set<std::string>{"taken"});
}

TEST_P(NameBytes, TheCompatibleExchangeKeepsBothNamesAsTheyWere) {
    const std::string name = GetParam().disk;
    for (const char* other : {"one/other", "two/other"}) {
        SCOPED_TRACE(other);
        vtest::TempDir dir;
        dir.write("one/" + name, "first");
        dir.write(other, "second");
        vf::Scope scope;
        vf::set_override("PBHGetVolParmsSync.exchange", 0);
        FSRef a = ref_of(dir / "one" / name), b = ref_of(dir / other), nf{}, ns{};
        ASSERT_EQ(FSExchangeObjectsCompat(&a, &b, &nf, &ns), noErr);
        const bool apart = std::string(other)[1] == 'w';
        std::set<std::string> one{escaped(name)};
        if (!apart) one.insert("other");
        EXPECT_EQ(entries(dir / "one"), one);
        if (apart) {
            EXPECT_EQ(entries(dir / "two"), std::set<std::string>{"other"});
        }
        EXPECT_EQ(vtest::read_file(dir / "one" / name), "second");
    }
}

// The same when a step of the exchange fails and it is undone: both files
// are back under their own names, byte for byte.
TEST_P(NameBytes, AnExchangeUndoneAtEachStepGivesBothNamesBack) {
    const std::string name = GetParam().disk;
    vtest::TempDir dir;
    for (long n = 1;; ++n) {
        ASSERT_LT(n, 100) << "the sweep does not end";
        const fs::path root = dir / ("run" + std::to_string(n));
        put(root / "one" / name, "first");
        put(root / "two/other", "second");
        FSRef a = ref_of(root / "one" / name), b = ref_of(root / "two/other"), nf{}, ns{};
        vf::Scope scope;
        vf::set_override("PBHGetVolParmsSync.exchange", 0);
        vf::fail_nth("VantrelFSExchangeObjectsByNames.exchange", n, ioErr);
        const OSErr e = FSExchangeObjectsCompat(&a, &b, &nf, &ns);
        if (vf::injected() == 0) break;
        EXPECT_EQ(e, ioErr) << "step " << n;
        EXPECT_EQ(entries(root / "one"), std::set<std::string>{escaped(name)}) << "step " << n;
        EXPECT_EQ(entries(root / "two"), std::set<std::string>{"other"}) << "step " << n;
    }
}

// A copy keeps the source's name as it is on disk, and the reference handed
// back names that copy: not nothing (the name as shown finds no item) and not
// another item that really has the name as shown.
TEST_P(NameBytes, ACopyUnderItsOwnNameIsWhatTheNewReferenceNames) {
    const std::string name = GetParam().disk;
    vtest::TempDir dir;
    dir.write("src/" + name, "object");
    std::set<std::string> expected{escaped(name)};
    if (GetParam().shown != nullptr) {
        dir.write(std::string("dst/") + GetParam().shown, "decoy");
        expected.insert(escaped(GetParam().shown));
    } else {
        fs::create_directory(dir / "dst");
    }
    FSRef obj = ref_of(dir / "src" / name), dst = ref_of(dir / "dst"), out{};
    ASSERT_EQ(FSCopyFile(&obj, &dst, 0, nullptr, kTextEncodingUnknown, &out), noErr);
    EXPECT_EQ(entries(dir / "dst"), expected);
    const FSRef copy = ref_of(dir / "dst" / name);
    EXPECT_EQ(FSCompareFSRefs(&out, &copy), noErr);
    EXPECT_EQ(vtest::read_file(dir / "dst" / name), "object");
}

INSTANTIATE_TEST_SUITE_P(Names, NameBytes, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<NameRow>& info) {
                             std::string n;
                             for (const char* c = info.param.what; *c; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
                             return n;
                         });

}  // namespace
