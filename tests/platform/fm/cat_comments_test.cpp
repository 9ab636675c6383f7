// Finder comments through the Desktop Manager calls: where they are kept
// (the metadata record's comment entry), what is kept around them, and the
// answers for items without one, bad input and items that cannot have one.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>

#include "Child.h"
#include "FSTestSupport.h"
#include "FileFlags.h"
#include "TempDir.h"
#include "vantrel/Files.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMetaAttr = "user.org.netatalk.Metadata";
constexpr const char* kCorruptAttr = "user.org.vantrel.Metadata.corrupt";
// Where the comment entry lies in the standard 402-byte record.
constexpr std::size_t kCommentAt = 154, kCommentEnd = 354;

std::string attr(const fs::path& p, const char* name) {
    char buf[4096];
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, std::size_t(n));
}

// A parameter block naming `p` as an FSSpec names it, on its volume's
// desktop database.
struct Named {
    FSSpec spec;
    DTPBRec pb{};
    explicit Named(const fs::path& p) : spec(vtest::spec_of(p)) {
        pb.ioVRefNum = spec.vRefNum;
        EXPECT_OSERR(PBDTGetPath(&pb), noErr);
        pb.ioNamePtr = spec.name;
        pb.ioDirID = spec.parID;
    }
};

OSErr set_comment(const fs::path& p, const std::string& text, SInt32* act = nullptr) {
    Named n(p);
    n.pb.ioDTBuffer = const_cast<char*>(text.data());
    n.pb.ioDTReqCount = SInt32(text.size());
    const OSErr e = PBDTSetCommentSync(&n.pb);
    if (act != nullptr) *act = n.pb.ioDTActCount;
    return e;
}

// The comment, or "<" + the result code + ">".
std::string get_comment(const fs::path& p, SInt32 room = 256) {
    Named n(p);
    char buf[256];
    n.pb.ioDTBuffer = buf;
    n.pb.ioDTReqCount = room;
    const OSErr e = PBDTGetCommentSync(&n.pb);
    if (e != noErr) return "<" + vtest::oserr_text(e) + ">";
    return std::string(buf, std::size_t(n.pb.ioDTActCount));
}

OSErr remove_comment(const fs::path& p) {
    Named n(p);
    return PBDTRemoveCommentSync(&n.pb);
}

// The record's bytes outside the comment entry.
std::string around_comment(const fs::path& p) {
    std::string r = attr(p, kMetaAttr);
    if (r.size() >= kCommentEnd) r.erase(kCommentAt, kCommentEnd - kCommentAt);
    return r;
}

void give_finder_info(const fs::path& p) {
    FSRef r = vtest::ref_of(p);
    FSCatalogInfo info{};
    vtest::set_file_info(&info, 'TEXT', 'ttxt', kIsInvisible);
    info.createDate.lowSeconds = 3'600'000'000u;
    info.backupDate.lowSeconds = 3'600'000'100u;
    ASSERT_OSERR(FSSetCatalogInfo(
                     &r, kFSCatInfoFinderInfo | kFSCatInfoCreateDate | kFSCatInfoBackupDate, &info),
                 noErr);
}

struct Row {
    const char* name;
    // Makes the item (under `dir`) and does the calls; "" when all is as
    // the row expects, else what was wrong.
    std::function<std::string(const fs::path& dir)> run;
    bool rootOnly = false;
};

std::string expect_eq(const std::string& got, const std::string& want, const char* what) {
    return got == want ? "" : std::string(what) + ": got \"" + got + "\", want \"" + want + "\"\n";
}

const Row kRows[] = {
    {"a file without a record has no comment, and asking writes nothing",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "plain", "x");
         std::string out = expect_eq(get_comment(f), "<afpItemNotFound (-5018)>", "get");
         out += expect_eq(attr(f, kMetaAttr), "<none>", "record");
         return out;
     }},
    {"set and get on a file keep its Finder information and dates byte for byte",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "report", "x");
         give_finder_info(f);
         const std::string before = around_comment(f);
         SInt32 act = -1;
         const OSErr e = set_comment(f, "Quarterly figures", &act);
         std::string out = expect_eq(vtest::oserr_text(e), "noErr (0)", "set");
         out += expect_eq(std::to_string(act), "17", "count");
         out += expect_eq(get_comment(f), "Quarterly figures", "get");
         out += expect_eq(around_comment(f), before, "rest of the record");
         out += expect_eq(attr(f, kMetaAttr).substr(kCommentAt, 18),
                          std::string("Quarterly figures\0", 18), "entry");
         return out;
     }},
    {"a folder has a comment too",
     [](const fs::path& d) {
         fs::create_directory(d / "folder");
         std::string out =
             expect_eq(vtest::oserr_text(set_comment(d / "folder", "Drafts")), "noErr (0)", "set");
         out += expect_eq(get_comment(d / "folder"), "Drafts", "get");
         return out;
     }},
    {"a shorter comment replaces a longer one entirely",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         set_comment(f, "a rather long comment");
         set_comment(f, "short");
         std::string out = expect_eq(get_comment(f), "short", "get");
         return out;
     }},
    {"more than 200 bytes are cut to 200, as on the Mac",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         SInt32 act = -1;
         const OSErr e = set_comment(f, std::string(250, 'c'), &act);
         std::string out = expect_eq(vtest::oserr_text(e), "noErr (0)", "set");
         out += expect_eq(std::to_string(act), "200", "count");
         out += expect_eq(get_comment(f), std::string(200, 'c'), "get");
         out += expect_eq(std::to_string(attr(f, kMetaAttr).size()), "402", "record size");
         return out;
     }},
    {"a zero byte inside is refused and changes nothing",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         set_comment(f, "old");
         const std::string before = attr(f, kMetaAttr);
         const OSErr e = set_comment(f, std::string("new\0tail", 8));
         std::string out = expect_eq(vtest::oserr_text(e), "paramErr (-50)", "set");
         out += expect_eq(attr(f, kMetaAttr), before, "record");
         return out;
     }},
    {"a short buffer gets the comment's first bytes",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         set_comment(f, "abcdef");
         std::string out = expect_eq(get_comment(f, 3), "abc", "get");
         return out;
     }},
    {"remove deletes the comment and keeps the rest; again it finds none",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         give_finder_info(f);
         set_comment(f, "gone soon");
         const std::string before = around_comment(f);
         const OSErr first = remove_comment(f);
         const OSErr second = remove_comment(f);
         std::string out = expect_eq(vtest::oserr_text(first), "noErr (0)", "remove");
         out += expect_eq(vtest::oserr_text(second), "afpItemNotFound (-5018)", "again");
         out += expect_eq(get_comment(f), "<afpItemNotFound (-5018)>", "get");
         out += expect_eq(around_comment(f), before, "rest of the record");
         return out;
     }},
    {"remove on a file without a record writes nothing",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         std::string out =
             expect_eq(vtest::oserr_text(remove_comment(f)), "afpItemNotFound (-5018)", "remove");
         out += expect_eq(attr(f, kMetaAttr), "<none>", "record");
         return out;
     }},
    {"an empty comment removes it",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         set_comment(f, "something");
         std::string out = expect_eq(vtest::oserr_text(set_comment(f, "")), "noErr (0)", "set");
         out += expect_eq(get_comment(f), "<afpItemNotFound (-5018)>", "get");
         return out;
     }},
    {"a record another server wrote, with the comment entry as long as the comment",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         // Header, one entry (comment, at 38, 5 bytes), the comment.
         std::string r("\x00\x05\x16\x07\x00\x02\x00\x00", 8);
         r.append(16, '\0');
         r += std::string("\x00\x01", 2);
         r += std::string("\x00\x00\x00\x04\x00\x00\x00\x26\x00\x00\x00\x05", 12);
         r += "Hello";
         ::lsetxattr(f.c_str(), kMetaAttr, r.data(), r.size(), 0);
         std::string out = expect_eq(get_comment(f), "Hello", "get");
         return out;
     }},
    {"a record that does not parse is kept aside, never lost, when a comment is set",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         ::lsetxattr(f.c_str(), kMetaAttr, "garbage", 7, 0);
         std::string out = expect_eq(get_comment(f), "<afpItemNotFound (-5018)>", "get before");
         out += expect_eq(vtest::oserr_text(set_comment(f, "new")), "noErr (0)", "set");
         out += expect_eq(get_comment(f), "new", "get");
         out += expect_eq(attr(f, kCorruptAttr), "garbage", "kept");
         return out;
     }},
    {"a name Mac Roman cannot spell is reached through its shortened form",
     [](const fs::path& d) {
         const fs::path f =
             vtest::write_file(d / "\xe6\x97\xa5\xe6\x9c\xac \xe2\x80\x94 a long name "
                                   "past thirty-one bytes",
                               "x");
         std::string out =
             expect_eq(vtest::oserr_text(set_comment(f, "far east")), "noErr (0)", "set");
         out += expect_eq(get_comment(f), "far east", "get");
         return out;
     }},
    {"a decomposed name, as Mac clients store them, is found from its composed Pascal form",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "cafe\xCC\x81", "x");
         std::string out =
             expect_eq(vtest::oserr_text(set_comment(f, "accent")), "noErr (0)", "set");
         out += expect_eq(get_comment(f), "accent", "get");
         return out;
     }},
    {"a symbolic link has no comment and cannot be given one",
     [](const fs::path& d) {
         fs::create_symlink("nowhere", d / "link");
         std::string out = expect_eq(get_comment(d / "link"), "<afpItemNotFound (-5018)>", "get");
         out += expect_eq(vtest::oserr_text(set_comment(d / "link", "no")),
                          "errFSOperationNotSupported (-1426)", "set");
         return out;
     }},
    {"a FIFO cannot be given one",
     [](const fs::path& d) {
         if (::mkfifo((d / "fifo").c_str(), 0600) != 0) return std::string("SKIP");
         std::string out = expect_eq(get_comment(d / "fifo"), "<afpItemNotFound (-5018)>", "get");
         out += expect_eq(vtest::oserr_text(set_comment(d / "fifo", "no")),
                          "errFSOperationNotSupported (-1426)", "set");
         return out;
     }},
    {"a missing item is fnfErr, a bad database reference rfNumErr",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         Named n(f);
         unsigned char missing[] = "\x07missing";
         n.pb.ioNamePtr = missing;
         std::string out =
             expect_eq(vtest::oserr_text(PBDTRemoveCommentSync(&n.pb)), "fnfErr (-43)", "missing");
         Named bad(f);
         bad.pb.ioDTRefNum = 12;
         return out + expect_eq(vtest::oserr_text(PBDTGetCommentSync(&bad.pb)), "rfNumErr (-51)",
                                "bad reference");
     }},
    {"a locked item keeps its comment",
     [](const fs::path& d) {
         const fs::path f = vtest::write_file(d / "f", "x");
         set_comment(f, "before the lock");
         if (!vtest::set_immutable(f, true)) return std::string("SKIP");
         const OSErr set = set_comment(f, "after");
         const OSErr rm = remove_comment(f);
         const std::string got = get_comment(f);
         vtest::set_immutable(f, false);
         std::string out = expect_eq(vtest::oserr_text(set), "fLckdErr (-45)", "set");
         out += expect_eq(vtest::oserr_text(rm), "fLckdErr (-45)", "remove");
         out += expect_eq(got, "before the lock", "get");
         return out;
     },
     true},
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class Comments : public ::testing::TestWithParam<Row> {};

TEST_P(Comments, AreKeptInTheRecordAndAnsweredAsOnTheMac) {
    const Row& row = GetParam();
    if (row.rootOnly && ::geteuid() != 0) GTEST_SKIP() << "needs root to lock a file";
    vtest::TempDir dir;
    const std::string result = row.run(dir.path());
    if (result == "SKIP") GTEST_SKIP() << "the file system here cannot lock files";
    EXPECT_EQ(result, "");
}

INSTANTIATE_TEST_SUITE_P(Calls, Comments, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Comments::ParamType>& info) {
                             std::string n;
                             for (const char* c = info.param.name; *c; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
                             return n;
                         });

// A volume's root is a folder like any other: it has a comment (a tmpfs
// mounted in a private mount namespace).
TEST(Comments, AVolumesRootHasOne) {
    vtest::TempDir dir;
    const fs::path vol = dir / "vol";
    fs::create_directory(vol);
    const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-comment", vol.c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
        std::string out = expect_eq(get_comment(vol), "<afpItemNotFound (-5018)>", "get before");
        out += expect_eq(vtest::oserr_text(set_comment(vol, "the volume")), "noErr (0)", "set");
        out += expect_eq(get_comment(vol), "the volume", "get");
        ::umount(vol.c_str());
        return out;
    });
    if (!r || *r == "SKIP") GTEST_SKIP() << "needs root for a private mount namespace and a tmpfs";
    EXPECT_EQ(*r, "");
}

// The desktop database of a volume, by its reference number or its name.
TEST(DesktopDatabase, IsFoundByVolumeNumberOrNameAndNotForOthers) {
    vtest::TempDir dir;
    const FSSpec s = vtest::spec_of(dir.path());
    DTPBRec pb{};
    pb.ioVRefNum = s.vRefNum;
    ASSERT_OSERR(PBDTGetPath(&pb), noErr);
    const SInt16 byNumber = pb.ioDTRefNum;

    HFSUniStr255 volName;
    FSVolumeRefNum actual = 0;
    ASSERT_OSERR(FSGetVolumeInfo(s.vRefNum, 0, &actual, kFSVolInfoNone, nullptr, &volName, nullptr),
                 noErr);
    std::string name = vtest::utf8(volName);
    bool plain = name.size() < 200;
    for (unsigned char c : name) plain = plain && c >= 0x20 && c < 0x80 && c != ':';
    if (plain) {
        Str255 pascal;
        pascal[0] = static_cast<unsigned char>(name.size() + 1);
        std::memcpy(pascal + 1, name.data(), name.size());
        pascal[name.size() + 1] = ':';
        DTPBRec byName{};
        byName.ioNamePtr = pascal;
        EXPECT_OSERR(PBDTGetPath(&byName), noErr);
        EXPECT_EQ(byName.ioDTRefNum, byNumber);
    }
    DTPBRec none{};
    none.ioVRefNum = 30000;
    EXPECT_OSERR(PBDTGetPath(&none), nsvErr);
    unsigned char noSuch[] = "\x0dno such disk:";
    none.ioNamePtr = noSuch;
    EXPECT_OSERR(PBDTGetPath(&none), nsvErr);
}

}  // namespace
