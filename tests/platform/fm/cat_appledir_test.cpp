// Netatalk 2's ".AppleDouble" folders, made here from the published
// AppleDouble layout: what an item with no metadata of its own shows from
// its entry there, which layout wins where both speak, what listings leave
// out, and what deleting or writing an item does with the entry.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "FSTestSupport.h"
#include "OSErrTesting.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "vantrel/Files.h"
#include "vantrel/Sidecars.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

using vtest::ref_of;

// Seconds from 2000 that Netatalk keeps, and the same as UTCDateTime's
// seconds from 1904.
constexpr std::int32_t kCreated = 100'000'000;
constexpr UInt32 kCreatedFrom1904 = 3'029'529'600u + kCreated;
constexpr UInt16 kCustomIcon = 0x0400;

// Finder information as on disk: type and creator (a file's; a folder's
// window rectangle), then the Finder flags at offset 8.
std::string finder(const char* first8, UInt16 flags) {
    std::string f(32, '\0');
    std::memcpy(f.data(), first8, 8);
    f[8] = char(flags >> 8);
    f[9] = char(flags & 0xFF);
    return f;
}

vtest::Netatalk2 kept_by_afp() {
    vtest::Netatalk2 a;
    a.finder32 = finder("TEXTttxt", kCustomIcon);
    a.comment = "from the AFP server";
    a.created = kCreated;
    a.fork = "the fork";
    return a;
}

// The comment the Desktop Manager gives `p`, or "<none>".
std::string comment_of(const fs::path& p) {
    const FSSpec spec = vtest::spec_of(p);
    DTPBRec pb{};
    pb.ioVRefNum = spec.vRefNum;
    EXPECT_OSERR(PBDTGetPath(&pb), noErr);
    pb.ioNamePtr = const_cast<StringPtr>(spec.name);
    pb.ioDirID = spec.parID;
    char buf[256];
    pb.ioDTBuffer = buf;
    pb.ioDTReqCount = sizeof buf;
    if (PBDTGetCommentSync(&pb) != noErr) return "<none>";
    return std::string(buf, std::size_t(pb.ioDTActCount));
}

struct Shown {
    UInt16 flags = 0;
    OSType type = 0;
    UInt32 created = 0;
    UInt64 rsrcSize = 0;
    std::string comment, fork;
};

Shown shown(const fs::path& p) {
    Shown s;
    FSRef ref = ref_of(p);
    FSCatalogInfo cat{};
    EXPECT_OSERR(FSGetCatalogInfo(&ref,
                                  kFSCatInfoFinderInfo | kFSCatInfoCreateDate |
                                      kFSCatInfoRsrcSizes | kFSCatInfoNodeFlags,
                                  &cat, nullptr, nullptr, nullptr),
                 noErr);
    std::memcpy(&s.flags, cat.finderInfo + 8, 2);
    if ((cat.nodeFlags & kFSNodeIsDirectoryMask) == 0) {
        std::memcpy(&s.type, cat.finderInfo, 4);
        std::string fork;
        EXPECT_OSERR(vtest::read_resource_fork(ref, &fork), noErr);
        s.fork = fork;
    }
    s.created = cat.createDate.lowSeconds;
    s.rsrcSize = cat.rsrcLogicalSize;
    s.comment = comment_of(p);
    return s;
}

std::string bytes_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return "<absent>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool there(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

// An item with no metadata of its own shows what Netatalk 2 kept of it;
// another layout's value wins where the item has one; what is no
// ".AppleDouble" folder, or no AppleDouble file in it, lends nothing.
TEST(AppleDoubleFolder, ItemsShowWhatNetatalk2KeptWhereTheyHaveNothingOfTheirOwn) {
    struct Row {
        const char* what;
        std::function<fs::path(const fs::path&)> make;  // the item, made in the folder given
        UInt16 flags;
        OSType type;
        bool created;  // shows the kept creation date
        const char* comment;
        const char* fork;
    };
    const vtest::Netatalk2 afp = kept_by_afp();
    const std::vector<Row> rows{
        {"a file with nothing else",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             vtest::write_netatalk2(f, afp);
             return f;
         },
         kCustomIcon, 'TEXT', true, "from the AFP server", "the fork"},
        {"a folder, through its .Parent",
         [&](const fs::path& d) {
             fs::create_directory(d / "sub");
             vtest::write_netatalk2(d / "sub", afp, true);
             return d / "sub";
         },
         kCustomIcon, 0, true, "from the AFP server", ""},
        {"a name that is not UTF-8",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "caf\xe9", "data");
             vtest::write_netatalk2(f, afp);
             return f;
         },
         kCustomIcon, 'TEXT', true, "from the AFP server", "the fork"},
        {"a record of its own wins, the fork still Netatalk's",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             FSRef ref = ref_of(f);
             FSCatalogInfo cat{};
             vtest::set_file_info(&cat, 'RECD', 'recd');
             EXPECT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &cat), noErr);
             vtest::write_netatalk2(f, afp);
             return f;
         },
         0, 'RECD', false, "<none>", "the fork"},
        {"a sidecar's fork wins",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             vtest::write_sidecar(f, "sidecar fork");
             vtest::write_netatalk2(f, afp);
             return f;
         },
         kCustomIcon, 'TEXT', true, "from the AFP server", "sidecar fork"},
        {"an .AppleDouble that is a link to one",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             vtest::write_netatalk2(d / "elsewhere" / "f", afp);
             fs::create_directory_symlink("elsewhere/.AppleDouble", d / ".AppleDouble");
             return f;
         },
         0, 0, false, "<none>", ""},
        {"an .AppleDouble that is a file",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             vtest::write_bytes(d / ".AppleDouble", vtest::netatalk2_bytes(afp));
             return f;
         },
         0, 0, false, "<none>", ""},
        {"an entry that does not parse",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             std::string bytes = vtest::netatalk2_bytes(afp);
             bytes.resize(bytes.size() - 3);  // its fork reaches past its end
             fs::create_directory(d / ".AppleDouble");
             vtest::write_bytes(d / ".AppleDouble" / "f", bytes);
             return f;
         },
         0, 0, false, "<none>", ""},
        {"an entry that is a folder",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             fs::create_directories(d / ".AppleDouble" / "f");
             return f;
         },
         0, 0, false, "<none>", ""},
    };
    vtest::TempDir dir("appledir");
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const fs::path item = row.make(dir.mkdir("r" + std::to_string(++i)));
        const Shown s = shown(item);
        EXPECT_EQ(s.flags, row.flags);
        EXPECT_EQ(s.type, row.type);
        EXPECT_EQ(s.created == kCreatedFrom1904, row.created) << s.created;
        EXPECT_EQ(s.comment, row.comment);
        EXPECT_EQ(s.fork, row.fork);
        EXPECT_EQ(s.rsrcSize, std::string(row.fork).size());
    }
}

// A change that makes a record starts from what Netatalk 2 kept: setting
// the type keeps the comment and the dates, and a change of the fork goes
// to a sidecar of our own, the ".AppleDouble" entry left as it was.
TEST(AppleDoubleFolder, AChangeStartsFromWhatNetatalk2KeptAndNeverWritesIntoIt) {
    vtest::TempDir dir("appledir");
    const fs::path f = vtest::write_file(dir / "f", "data");
    vtest::write_netatalk2(f, kept_by_afp());
    const fs::path kept = vtest::netatalk2_path(f);
    const std::string before = bytes_of(kept);
    FSRef ref = ref_of(f);
    FSCatalogInfo cat{};
    vtest::set_file_info(&cat, 'NEWT', 'newc');
    ASSERT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &cat), noErr);
    // Only the first three bytes change: the rest is the old fork's.
    const HFSUniStr255 name = vtest::resource_fork_name();
    FSIORefNum fork = 0;
    ASSERT_OSERR(FSOpenFork(&ref, name.length, name.unicode, fsRdWrPerm, &fork), noErr);
    ByteCount done = 0;
    EXPECT_OSERR(FSWriteFork(fork, fsFromStart, 0, 3, "THE", &done), noErr);
    EXPECT_OSERR(FSCloseFork(fork), noErr);

    const Shown s = shown(f);
    EXPECT_EQ(s.type, OSType('NEWT'));
    EXPECT_EQ(s.comment, "from the AFP server");
    EXPECT_EQ(s.created, kCreatedFrom1904);
    EXPECT_EQ(s.fork, "THE fork");
    EXPECT_EQ(vtest::sidecar_fork(f), "THE fork");
    EXPECT_EQ(vtest::raw_sidecar(f).substr(8, 16), "Netatalk        ");
    EXPECT_EQ(bytes_of(kept), before);
}

// ".AppleDouble" is Netatalk's private folder, no item: listings and
// valences leave it out, and show each file what its entry holds; a file
// or link of that name is an item like any other.
TEST(AppleDoubleFolder, ListingsLeaveItOutAndShowWhatItHolds) {
    vtest::TempDir dir("appledir");
    const fs::path d = dir.mkdir("share");
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("file" + std::to_string(i));
        vtest::Netatalk2 a = kept_by_afp();
        a.fork = std::string(std::size_t(i), 'r');
        vtest::write_netatalk2(vtest::write_file(d / names.back(), "data"), a);
    }
    const fs::path other = dir.mkdir("other");
    vtest::write_file(other / ".AppleDouble", "a file of the user's own");

    for (const fs::path& folder : {d, other}) {
        SCOPED_TRACE(folder.filename().string());
        FSRef ref = ref_of(folder);
        FSCatalogInfo cat{};
        ASSERT_OSERR(FSGetCatalogInfo(&ref, kFSCatInfoValence, &cat, nullptr, nullptr, nullptr),
                     noErr);
        FSIterator it = nullptr;
        ASSERT_OSERR(FSOpenIterator(&ref, kFSIterateFlat, &it), noErr);
        std::vector<FSCatalogInfo> infos(40);
        std::vector<HFSUniStr255> got(40);
        ItemCount n = 0;
        const OSErr e =
            FSGetCatalogInfoBulk(it, 40, &n, nullptr, kFSCatInfoFinderInfo | kFSCatInfoRsrcSizes,
                                 infos.data(), nullptr, nullptr, got.data());
        EXPECT_TRUE(e == noErr || e == errFSNoMoreItems) << e;
        FSCloseIterator(it);
        EXPECT_EQ(cat.valence, folder == d ? 12u : 1u);
        ASSERT_EQ(n, folder == d ? 12u : 1u);
        for (ItemCount i = 0; i < n; ++i) {
            const std::string leaf = vtest::utf8(got[i]);
            SCOPED_TRACE(leaf);
            if (folder == other) {
                EXPECT_EQ(leaf, ".AppleDouble");
                continue;
            }
            OSType type = 0;
            std::memcpy(&type, infos[i].finderInfo, 4);
            EXPECT_EQ(type, OSType('TEXT'));
            EXPECT_EQ(infos[i].rsrcLogicalSize, std::stoul(leaf.substr(4)));
        }
    }
}

// Deleting a file takes its entry along (and ".AppleDouble" once empty);
// a folder goes with its ".Parent" and the entries of files already gone;
// what is no AppleDouble file stays, and keeps its folder.
TEST(AppleDoubleFolder, DeletingTakesWhatBelongsAndKeepsTheRest) {
    struct Row {
        const char* what;
        std::function<fs::path(const fs::path&)> make;  // what to delete
        OSErr want;
        std::vector<std::string> gone, kept;  // relative to the row's folder
    };
    const vtest::Netatalk2 afp = kept_by_afp();
    const std::vector<Row> rows{
        {"a file, the last with an entry",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             vtest::write_netatalk2(f, afp);
             return f;
         },
         noErr,
         {"f", ".AppleDouble"},
         {}},
        {"a file beside another with an entry",
         [&](const fs::path& d) {
             vtest::write_netatalk2(vtest::write_file(d / "g", "data"), afp);
             const fs::path f = vtest::write_file(d / "f", "data");
             vtest::write_netatalk2(f, afp);
             return f;
         },
         noErr,
         {"f", ".AppleDouble/f"},
         {"g", ".AppleDouble/g"}},
        {"a file whose entry does not parse",
         [&](const fs::path& d) {
             const fs::path f = vtest::write_file(d / "f", "data");
             fs::create_directory(d / ".AppleDouble");
             vtest::write_file(d / ".AppleDouble" / "f", "the user's own");
             return f;
         },
         noErr,
         {"f"},
         {".AppleDouble/f"}},
        {"a folder holding its .Parent and an orphan",
         [&](const fs::path& d) {
             fs::create_directory(d / "sub");
             vtest::write_netatalk2(d / "sub", afp, true);
             vtest::write_netatalk2(d / "sub" / "gone", afp);
             return d / "sub";
         },
         noErr,
         {"sub"},
         {}},
        {"a folder whose .AppleDouble holds what does not parse",
         [&](const fs::path& d) {
             fs::create_directory(d / "sub");
             vtest::write_netatalk2(d / "sub", afp, true);
             vtest::write_file(d / "sub" / ".AppleDouble" / "junk", "the user's own");
             return d / "sub";
         },
         fBsyErr,
         {},
         {"sub/.AppleDouble/.Parent", "sub/.AppleDouble/junk"}},
    };
    vtest::TempDir dir("appledir");
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const fs::path d = dir.mkdir("r" + std::to_string(++i));
        FSRef ref = ref_of(row.make(d));
        EXPECT_OSERR(FSDeleteObject(&ref), row.want);
        for (const std::string& g : row.gone) EXPECT_FALSE(there(d / g)) << g;
        for (const std::string& k : row.kept) EXPECT_TRUE(there(d / k)) << k;
    }
}

// What would part a file from its ".AppleDouble" entry (a rename, a move,
// an exchange, a copy) is refused before anything changes, until the
// conversion moves the entry; a folder takes its own along; and an entry
// whose file is gone never becomes the metadata of an item made or moved
// under that name.
TEST(AppleDoubleFolder, PartingIsRefusedAndOrphansNeverAttach) {
    vtest::TempDir dir("appledir");
    const fs::path d = dir.mkdir("share");
    const fs::path elsewhere = dir.mkdir("elsewhere");
    const fs::path f = vtest::write_file(d / "f", "data");
    vtest::write_netatalk2(f, kept_by_afp());
    const fs::path g = vtest::write_file(d / "g", "other");
    const fs::path sub = dir.mkdir("share/sub");
    vtest::write_netatalk2(sub, kept_by_afp(), true);
    const vtest::Snapshot before = vtest::snapshot(dir.path());

    FSRef ref = ref_of(f), gRef = ref_of(g), to = ref_of(elsewhere);
    const std::u16string newName = vtest::u16("renamed");
    struct Row {
        const char* what;
        std::function<OSErr()> call;
    };
    const std::vector<Row> rows{
        {"rename",
         [&] {
             return FSRenameUnicode(&ref, newName.size(), vtest::uc(newName), kTextEncodingUnknown,
                                    nullptr);
         }},
        {"move", [&] { return FSMoveObject(&ref, &to, nullptr); }},
        {"exchange", [&] { return FSExchangeObjects(&ref, &gRef); }},
        {"exchange, the other way", [&] { return FSExchangeObjects(&gRef, &ref); }},
        {"copy", [&] { return vtest::copy_file_into(f, elsewhere, "copy"); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_OSERR(row.call(), errFSOperationNotSupported);
    }
    EXPECT_EQ(vtest::diff(before, vtest::snapshot(dir.path())), "");

    // A folder's entry is inside it: it goes along.
    FSRef subRef = ref_of(sub);
    ASSERT_OSERR(FSMoveObject(&subRef, &to, nullptr), noErr);
    EXPECT_EQ(shown(elsewhere / "sub").comment, "from the AFP server");

    // Entries of files gone: neither a new file nor one renamed to the
    // name shows them, and they go.
    vtest::write_netatalk2(d / "made", kept_by_afp());
    vtest::write_netatalk2(d / "taken", kept_by_afp());
    FSRef share = ref_of(d);
    const std::u16string made = vtest::u16("made"), taken = vtest::u16("taken");
    ASSERT_OSERR(FSCreateFileUnicode(&share, made.size(), vtest::uc(made), kFSCatInfoNone, nullptr,
                                     nullptr, nullptr),
                 noErr);
    ASSERT_OSERR(
        FSRenameUnicode(&gRef, taken.size(), vtest::uc(taken), kTextEncodingUnknown, nullptr),
        noErr);
    for (const char* name : {"made", "taken"}) {
        SCOPED_TRACE(name);
        const Shown s = shown(d / name);
        EXPECT_EQ(s.type, 0u);
        EXPECT_EQ(s.comment, "<none>");
        EXPECT_FALSE(there(d / ".AppleDouble" / name));
    }
    EXPECT_TRUE(there(d / ".AppleDouble" / "f"));
}

// The hidden-entry calls name what ".AppleDouble" holds, as the deletions
// and conversions act on it: an item's data, an orphan (which alone may be
// removed as a leftover), or the user's own file.
TEST(AppleDoubleFolder, HiddenEntriesSayWhatEachEntryIs) {
    vtest::TempDir dir("appledir");
    const fs::path d = dir.mkdir("share");
    vtest::write_netatalk2(d, kept_by_afp(), true);
    vtest::write_netatalk2(vtest::write_file(d / "f", "data"), kept_by_afp());
    vtest::write_netatalk2(d / "gone", kept_by_afp());
    vtest::write_file(d / ".AppleDouble" / "junk", "the user's own");
    FSRef ref = ref_of(d);
    struct Seen {
        std::vector<std::pair<std::string, VantrelHiddenKind>> all;
    } seen;
    ASSERT_OSERR(VantrelFSGetHiddenEntries(
                     &ref,
                     [](const VantrelDiskName* n, VantrelHiddenKind kind, void* c) -> Boolean {
                         static_cast<Seen*>(c)->all.emplace_back(
                             std::string(reinterpret_cast<const char*>(n->bytes), n->length), kind);
                         return false;
                     },
                     &seen),
                 noErr);
    std::sort(seen.all.begin(), seen.all.end());
    const std::vector<std::pair<std::string, VantrelHiddenKind>> want{
        {".AppleDouble/.Parent", kVantrelHiddenFork},
        {".AppleDouble/f", kVantrelHiddenFork},
        {".AppleDouble/gone", kVantrelHiddenOrphan},
        {".AppleDouble/junk", kVantrelHiddenOwnFile},
    };
    EXPECT_EQ(seen.all, want);
    struct Row {
        const char* name;
        VantrelHiddenKind kind;
        OSErr removal;
        bool stays;
    };
    for (const Row& row :
         {Row{".AppleDouble/f", kVantrelHiddenFork, fBsyErr, true},
          Row{".AppleDouble/junk", kVantrelHiddenOwnFile, fBsyErr, true},
          Row{".AppleDouble/gone", kVantrelHiddenOrphan, noErr, false},
          Row{".AppleDouble/", 0, paramErr, false}, Row{".AppleDouble/a/b", 0, paramErr, false}}) {
        SCOPED_TRACE(row.name);
        VantrelDiskName n{};
        n.length = UInt8(std::strlen(row.name));
        std::memcpy(n.bytes, row.name, n.length);
        VantrelHiddenKind kind = 0;
        EXPECT_OSERR(VantrelFSGetHiddenEntryKind(&ref, &n, &kind),
                     row.removal == paramErr ? paramErr : noErr);
        EXPECT_EQ(kind, row.kind);
        EXPECT_OSERR(VantrelFSRemoveLeftover(&ref, &n), row.removal);
        if (row.removal != paramErr) {
            EXPECT_EQ(there(d / row.name), row.stays);
        }
    }
}
