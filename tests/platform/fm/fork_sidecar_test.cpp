// A resource fork's sidecar "._NAME" belongs to its file: it is never an
// item, it goes wherever its file goes, its sizes are the file's resource
// fork's, and an orphan left by a file that is gone never attaches itself
// to a new one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "Child.h"
#include "DirNames.h"
#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "FileFlags.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "fm/cat_info.h"
#include "vantrel/Files.h"
#include "vantrel/ForkCopy.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;

namespace {

using namespace vtest;

// Names the layer lists in `dir`, through the catalogue's bulk call.
std::set<std::string> listed(const fs::path& dir, UInt32* valence = nullptr) {
    FSRef ref = ref_of(dir);
    if (valence != nullptr) {
        FSCatalogInfo info{};
        EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoValence, &info, nullptr, nullptr, nullptr),
                  noErr);
        *valence = info.valence;
    }
    FSIterator it = nullptr;
    EXPECT_EQ(FSOpenIterator(&ref, kFSIterateFlat, &it), noErr);
    std::set<std::string> out;
    for (;;) {
        ItemCount n = 0;
        HFSUniStr255 names[8];
        const OSErr e = FSGetCatalogInfoBulk(it, 8, &n, nullptr, kFSCatInfoNone, nullptr, nullptr,
                                             nullptr, names);
        for (ItemCount i = 0; i < n; ++i) out.insert(utf8(names[i]));
        if (e != noErr) {
            EXPECT_EQ(e, errFSNoMoreItems);
            break;
        }
    }
    FSCloseIterator(it);
    return out;
}

UInt64 rsrc_size(const fs::path& p) {
    FSRef ref = ref_of(p);
    FSCatalogInfo info{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes, &info, nullptr, nullptr, nullptr), noErr);
    return info.rsrcLogicalSize;
}

OSErr rename_to(const FSRef& ref, const std::string& name, FSRef* out = nullptr) {
    const std::u16string n = u16(name);
    return FSRenameUnicode(&ref, n.size(), uc(n), kTextEncodingUnknown, out);
}

// A server-side copy of `file` into `destDir` under its own name.
OSErr copy_into(const fs::path& file, const fs::path& destDir) {
    HParamBlockRec pb{};
    FSSpec src = spec_of(file);
    pb.copyParam.ioVRefNum = src.vRefNum;
    pb.copyParam.ioDirID = src.parID;
    pb.copyParam.ioNamePtr = src.name;
    pb.copyParam.ioNewDirID = dir_id_of(destDir);
    return PBHCopyFileSync(&pb);
}

FSIORefNum open_rsrc(const fs::path& p, SInt8 permissions = fsRdWrPerm) {
    FSRef ref = ref_of(p);
    HFSUniStr255 rname;
    FSGetResourceForkName(&rname);
    FSIORefNum fork = 0;
    EXPECT_EQ(FSOpenFork(&ref, rname.length, rname.unicode, permissions, &fork), noErr) << p;
    return fork;
}

std::string read_rsrc(FSIORefNum fork) {
    char buf[64];
    ByteCount got = 0;
    const OSErr e = FSReadFork(fork, fsFromStart, 0, sizeof buf, buf, &got);
    return e == noErr || e == eofErr ? std::string(buf, got) : "<" + std::to_string(e) + ">";
}

}  // namespace

// Listings, the bulk call, valences and lookups by name never show a
// sidecar (nor an orphan); no item can be made or named "._NAME", since it
// would be taken for the fork of NAME by every other server and client.
TEST(Sidecars, AreNeverItems) {
    TempDir dir;
    auto f = dir.write("f", "data");
    write_sidecar(f, "fork");
    write_bytes(dir / "._gone", sidecar_bytes("orphan"));
    dir.write("g", "");
    UInt32 valence = 0;
    EXPECT_EQ(listed(dir.path(), &valence), (std::set<std::string>{"f", "g"}));
    EXPECT_EQ(valence, 2u);

    FSRef parent = ref_of(dir.path()), out{};
    const std::u16string side = u16("._f");
    EXPECT_EQ(FSMakeFSRefUnicode(&parent, side.size(), uc(side), kTextEncodingUnknown, &out),
              fnfErr);
    const std::string path = (dir / "._f").string();
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &out, nullptr), fnfErr);
    for (const char* name : {"._f", "._new", "._"}) {
        SCOPED_TRACE(name);
        const std::u16string n = u16(name);
        EXPECT_EQ(FSCreateFileUnicode(&parent, n.size(), uc(n), 0, nullptr, &out, nullptr),
                  bdNamErr);
        EXPECT_EQ(
            FSCreateDirectoryUnicode(&parent, n.size(), uc(n), 0, nullptr, &out, nullptr, nullptr),
            bdNamErr);
        FSRef g = ref_of(dir / "g");
        EXPECT_EQ(rename_to(g, name), bdNamErr);
    }
    EXPECT_EQ(sidecar_fork(f), "fork") << "untouched by all of it";
    EXPECT_EQ(vtest::names_on_disk(dir.path()), (std::set<std::string>{"f", "._f", "g", "._gone"}));
}

// The catalogue's resource-fork sizes and FSIterateForks report the fork in
// the sidecar, and the fork of earlier versions where there is no sidecar.
TEST(Sidecars, SizesAreTheSidecarsFork) {
    TempDir dir;
    auto f = dir.write("f", "data");
    write_sidecar(f, std::string(100000, 'r'));
    auto mac = dir.write("mac", "");
    write_sidecar(mac, "12345", true);
    auto old = dir.write("old", "");
    ASSERT_EQ(::lsetxattr(old.c_str(), kLegacyForkAttr, "abc", 3, 0), 0);
    auto none = dir.write("none", "");
    EXPECT_EQ(rsrc_size(f), 100000u);
    EXPECT_EQ(rsrc_size(mac), 5u);
    EXPECT_EQ(rsrc_size(old), 3u);
    EXPECT_EQ(rsrc_size(none), 0u);

    FSRef ref = ref_of(f);
    CatPositionRec pos{};
    HFSUniStr255 name;
    SInt64 size = 0;
    UInt64 physical = 0;
    ASSERT_EQ(FSIterateForks(&ref, &pos, &name, &size, &physical), noErr);
    EXPECT_EQ(size, 4);
    ASSERT_EQ(FSIterateForks(&ref, &pos, &name, &size, &physical), noErr);
    EXPECT_EQ(utf8(name), "RESOURCE_FORK");
    EXPECT_EQ(size, 100000);
    EXPECT_GE(physical, 100000u);
    EXPECT_EQ(FSIterateForks(&ref, &pos, &name, &size, &physical), errFSNoMoreItems);
}

namespace {

// One item of a long listing: its resource fork's size and its type.
struct Listed {
    UInt64 rsrc = 0;
    OSType type = 0;
    bool operator==(const Listed&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Listed& l) {
    return os << "{rsrc " << l.rsrc << ", type " << l.type << "}";
}
using Listing = std::map<std::string, Listed>;

// Lists `dir` as `ls -l` does (sizes and Finder information), `batch` items
// a call; `between` runs after the first call. `changed` gets the flag.
OSErr list_long(const FSRef& ref, Listing* out, ItemCount batch = 64,
                const std::function<void()>& between = {}, bool* changed = nullptr) {
    FSIterator it = nullptr;
    if (OSErr e = FSOpenIterator(&ref, kFSIterateFlat, &it)) return e;
    std::vector<FSCatalogInfo> infos(batch);
    std::vector<HFSUniStr255> names(batch);
    OSErr e = noErr;
    for (int call = 0; e == noErr; ++call) {
        if (call == 1 && between) between();
        ItemCount n = 0;
        Boolean ch = false;
        e = FSGetCatalogInfoBulk(it, batch, &n, &ch,
                                 kFSCatInfoNodeFlags | kFSCatInfoRsrcSizes | kFSCatInfoFinderInfo,
                                 infos.data(), nullptr, nullptr, names.data());
        if (changed != nullptr) *changed = ch;
        for (ItemCount i = 0; i < n; ++i) {
            FileInfo fi;
            std::memcpy(&fi, infos[i].finderInfo, sizeof fi);
            (*out)[utf8(names[i])] = Listed{infos[i].rsrcLogicalSize, fi.fileType};
        }
    }
    {
        const vantrel::fault::Benign benign;  // released whatever it answers
        FSCloseIterator(it);
    }
    return e == errFSNoMoreItems ? OSErr{noErr} : e;
}

// Item i of a long listing's fixture: a sidecar, the earlier versions'
// attribute, a record with a type, or nothing; forks of different sizes.
Listed make_item(const fs::path& f, int i) {
    vtest::write_file(f, "");
    const std::string fork(std::size_t(i % 50 + 1), 'r');
    switch (i % 4) {
        case 0:
            write_sidecar(f, fork);
            return Listed{fork.size(), 0};
        case 1:
            EXPECT_EQ(::lsetxattr(f.c_str(), kLegacyForkAttr, fork.data(), fork.size(), 0), 0);
            return Listed{fork.size(), 0};
        case 2: {
            FSCatalogInfo info{};
            set_file_info(&info, 'TEXT', 'ttxt');
            FSRef ref = ref_of(f);
            EXPECT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
            return Listed{0, 'TEXT'};
        }
        default:
            return Listed{};
    }
}

}  // namespace

// A long listing sizes every resource fork wherever the directory keeps its
// sidecar: in another read of the directory than the file's own entry (a
// folder of thousands), or not at all; a "._NAME" that is a folder or not
// AppleDouble is no fork; a file with many attributes still shows its
// fork. Each item as FSGetCatalogInfo shows it alone.
TEST(Sidecars, ALongListingSizesEveryForkWhereverItsSidecarLies) {
    TempDir dir;
    Listing want;
    const std::string pad(40, 'n');  // long names: the directory takes many reads
    for (int i = 0; i < 3000; ++i) {
        const std::string name = pad + std::to_string(i);
        want[name] = make_item(dir / name, i);
    }
    vtest::write_file(dir / "foldered", "");
    fs::create_directory(dir / "._foldered");
    want["foldered"] = Listed{};
    want["._foldered"] = Listed{};  // a folder under such a name is an item
    vtest::write_file(dir / "bogus", "");
    write_bytes(dir / "._bogus", "not AppleDouble");
    want["bogus"] = Listed{};
    // More attribute names than one list of them is read into at once.
    const auto crowded = vtest::write_file(dir / "crowded", "");
    for (int i = 0; i < 40; ++i) {
        const std::string attr = "user.crowd." + std::string(30, 'a') + std::to_string(i);
        ASSERT_EQ(::lsetxattr(crowded.c_str(), attr.c_str(), "", 0, 0), 0);
    }
    ASSERT_EQ(::lsetxattr(crowded.c_str(), kLegacyForkAttr, "xyz", 3, 0), 0);
    want["crowded"] = Listed{3, 0};
    const FSRef ref = ref_of(dir.path());
    for (const ItemCount batch : {ItemCount{1}, ItemCount{7}, ItemCount{128}, ItemCount{5000}}) {
        SCOPED_TRACE(batch);
        Listing got;
        ASSERT_EQ(list_long(ref, &got, batch), noErr);
        EXPECT_EQ(got, want);
    }
    for (const auto& [name, item] : want) {
        FSRef ref = ref_of(dir / name);
        FSCatalogInfo info{};
        ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes | kFSCatInfoFinderInfo, &info, nullptr,
                                   nullptr, nullptr),
                  noErr);
        FileInfo fi;
        std::memcpy(&fi, info.finderInfo, sizeof fi);
        EXPECT_EQ((Listed{info.rsrcLogicalSize, fi.fileType}), item) << name;
    }
}

// A listing reads the folder's "._" names once, early: what changes after
// that reaches the items listed later, or the changed flag says the folder
// changed. A fork in the earlier versions' attribute and a record are read
// per item: added after the first batch, they show.
TEST(Sidecars, ALongListingSeesChangesMadeWhileItRuns) {
    struct Row {
        const char* what;
        std::function<Listed(const fs::path& file, const Listed& was)> change;
        bool changesFolder;
    };
    const Row rows[] = {
        {"a sidecar made",
         [](const fs::path& f, const Listed& was) {
             std::filesystem::remove(sidecar_path(f));
             write_sidecar(f, "late fork");
             return Listed{9, was.type};
         },
         true},
        {"a sidecar removed",
         [](const fs::path& f, const Listed& was) {
             std::filesystem::remove(sidecar_path(f));
             return Listed{::lgetxattr(f.c_str(), kLegacyForkAttr, nullptr, 0) > 0 ? was.rsrc : 0,
                           was.type};
         },
         true},
        {"the earlier versions' fork set",
         [](const fs::path& f, const Listed& was) {
             if (fs::exists(sidecar_path(f))) return was;  // the sidecar wins
             EXPECT_EQ(::lsetxattr(f.c_str(), kLegacyForkAttr, "abc", 3, 0), 0);
             return Listed{3, was.type};
         },
         false},
        {"a type given",
         [](const fs::path& f, const Listed& was) {
             // (A sidecar's copy of the Finder information is replaced,
             // which changes the folder.)
             if (fs::exists(sidecar_path(f))) return was;
             FSCatalogInfo info{};
             set_file_info(&info, 'LATE', 'ttxt');
             FSRef ref = ref_of(f);
             EXPECT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
             return Listed{was.rsrc, 'LATE'};
         },
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        Listing want;
        for (int i = 0; i < 200; ++i) {
            const std::string name = "f" + std::to_string(i);
            want[name] = make_item(dir / name, i);
        }
        const Listing before = want;
        Listing got;
        bool changed = false;
        // The first call lists more items than look for their sidecars one
        // by one, so the folder's names are read in it.
        ASSERT_EQ(list_long(
                      ref_of(dir.path()), &got, 100,
                      [&] {
                          for (auto& [name, item] : want)
                              if (got.count(name) == 0) item = row.change(dir / name, item);
                      },
                      &changed),
                  noErr);
        EXPECT_EQ(changed, row.changesFolder);
        ASSERT_EQ(got.size(), want.size());
        for (const auto& [name, item] : want) {
            const Listed& shown = got[name];
            // Where the flag tells the caller the listing is out of date, an
            // item may show what it was before the change.
            if (changed && shown == before.at(name)) continue;
            EXPECT_EQ(shown, item) << name;
        }
    }
}

// A failure of the calls a long listing saves others with (the second read
// of the folder, the list of a file's attributes) costs only those savings:
// every item is still what it is.
TEST(Sidecars, ALongListingIsRightWhateverFailsOfItsShortcuts) {
    TempDir dir;
    Listing want;
    const std::string pad(230, 'n');  // the folder takes more than one read
    for (int i = 0; i < 150; ++i) {
        const std::string name = pad + std::to_string(i);
        want[name] = make_item(dir / name, i);
    }
    const FSRef ref = ref_of(dir.path());
    std::set<std::string> struck;
    vtest::FaultSweep sweep;
    sweep.run([&](vtest::FaultTrial& t) {
        Listing got;
        const OSErr e = t.inject([&] { return list_long(ref, &got); });
        for (const auto& i : t.log()) struck.insert(i.op);
        if (t.clean()) {
            EXPECT_OSERR(e, noErr);
            EXPECT_EQ(got, want);
        } else {
            EXPECT_TRUE(t.reports(e)) << vtest::oserr_text(e);
        }
    });
    EXPECT_TRUE(struck.count("FSGetCatalogInfoBulk.sidecars") != 0);
    EXPECT_TRUE(struck.count("FSGetCatalogInfoBulk.listxattr") != 0);
}

// A sidecar the caller may not read (mode 000, or another user's private
// one): opening the fork is refused with permErr, never an empty fork, and
// the sizes are what the sidecar's length says, as a data fork's size is
// shown without read rights.
TEST(Sidecars, AForkTheCallerMayNotReadIsRefusedNotEmpty) {
    if (!vtest::can_run_as_nobody()) GTEST_SKIP() << "needs root to become nobody";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    for (const mode_t mode : {mode_t(0), mode_t(0600)}) {
        const std::string name = "f" + std::to_string(mode);
        auto f = dir.write(name, "data");
        ::chmod(f.c_str(), 0644);
        write_sidecar(f, "secret");
        ASSERT_EQ(::chmod(sidecar_path(f).c_str(), mode), 0);
        const auto msg = run_as_nobody([&]() -> std::string {
            FSRef ref{};
            if (FSPathMakeRef(reinterpret_cast<const UInt8*>(f.c_str()), &ref, nullptr) != noErr)
                return "no ref";
            HFSUniStr255 rname;
            FSGetResourceForkName(&rname);
            for (const SInt8 perm : {SInt8(fsRdPerm), SInt8(fsCurPerm)}) {
                FSIORefNum fork = 0;
                const OSErr e = FSOpenFork(&ref, rname.length, rname.unicode, perm, &fork);
                if (e != permErr) {
                    if (e == noErr) FSCloseFork(fork);
                    return "FSOpenFork(" + std::to_string(perm) + ") gave " + std::to_string(e);
                }
            }
            FSCatalogInfo info{};
            OSErr e = FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes, &info, nullptr, nullptr, nullptr);
            if (e != noErr || info.rsrcLogicalSize != 6)
                return "catalogue: " + std::to_string(e) + ", " +
                       std::to_string(info.rsrcLogicalSize);
            CatPositionRec pos{};
            HFSUniStr255 fname;
            SInt64 size = 0;
            UInt64 physical = 0;
            e = FSIterateForks(&ref, &pos, &fname, &size, &physical);
            if (e == noErr) e = FSIterateForks(&ref, &pos, &fname, &size, &physical);
            if (e != noErr || size != 6) return "FSIterateForks: " + std::to_string(size);
            return "";
        });
        if (!msg) GTEST_SKIP() << "needs root to become nobody";
        EXPECT_EQ(*msg, "") << "mode " << mode;
        EXPECT_EQ(sidecar_fork(f), "secret");

        // Such a sidecar goes wherever its file goes (renamed, moved,
        // exchanged, deleted), in a folder the caller may change: left
        // behind, it would become the fork of the next file of that name.
        const fs::path w = dir / ("w" + std::to_string(mode));
        fs::create_directories(w / "sub");
        ::chmod(w.c_str(), 0777);
        ::chmod((w / "sub").c_str(), 0777);
        auto wf = dir.write(w.filename().string() + "/f", "data");
        auto wo = dir.write(w.filename().string() + "/o", "other");
        write_sidecar(wf, "secret");  // root's: another user's for nobody
        ::chown(wf.c_str(), 65534, 65534);
        ::chown(wo.c_str(), 65534, 65534);
        ASSERT_EQ(::chmod(sidecar_path(wf).c_str(), mode), 0);
        const auto moved = run_as_nobody([&]() -> std::string {
            auto there = [](const fs::path& p) {
                struct stat st {};
                return ::lstat(p.c_str(), &st) == 0;
            };
            FSRef ref = ref_of(wf), out{};
            if (OSErr e = rename_to(ref, "g", &out)) return "rename: " + std::to_string(e);
            if (there(w / "._f") || !there(w / "._g")) return "not renamed with its file";
            FSRef parent = ref_of(w), made{};
            const std::u16string fname = u16("f");
            if (FSCreateFileUnicode(&parent, fname.size(), uc(fname), 0, nullptr, &made, nullptr))
                return "no new file f";
            if (there(w / "._f")) return "the new f has a fork";
            FSRef sub = ref_of(w / "sub");
            if (OSErr e = FSMoveObject(&out, &sub, &out)) return "move: " + std::to_string(e);
            if (there(w / "._g") || !there(w / "sub/._g")) return "not moved with its file";
            FSRef o = ref_of(wo);
            if (OSErr e = FSExchangeObjects(&out, &o)) return "exchange: " + std::to_string(e);
            if (there(w / "sub/._g") || !there(w / "._o")) return "not exchanged with its file";
            FSRef now = ref_of(wo);  // the references traded places with the contents
            if (OSErr e = FSDeleteObject(&now)) return "delete: " + std::to_string(e);
            if (there(w / "._o")) return "left behind by the delete";
            return "";
        });
        ASSERT_TRUE(moved);
        EXPECT_EQ(*moved, "") << "mode " << mode;
    }
}

// The header holds a fork's offset and length in 32 bits: a size or a
// write that would take the sidecar past 4 GiB is refused with
// fileBoundsErr before anything changes, and a fork another program let
// grow past that is as long as its header says, never a length the file's
// size wrapped. Sparse files only: no gigabytes are written.
TEST(Sidecars, AForkPastWhatItsHeaderCanHoldIsRefusedAndNeverWraps) {
    TempDir dir;
    const SInt64 limit = (SInt64{1} << 32) - 0x52;  // the first length that cannot be described
    auto f = dir.write("f", "data");
    write_sidecar(f, "fork");
    auto bare = dir.write("bare", "data");
    HFSUniStr255 rname;
    FSGetResourceForkName(&rname);
    auto open_rsrc = [&](const fs::path& p) {
        FSRef ref = ref_of(p);
        FSIORefNum fork = 0;
        EXPECT_EQ(FSOpenFork(&ref, rname.length, rname.unicode, fsRdWrPerm, &fork), noErr);
        return fork;
    };
    const FSIORefNum fork = open_rsrc(f), none = open_rsrc(bare);
    ByteCount got = 0;
    struct Row {
        const char* name;
        std::function<OSErr()> call;
    };
    const Row rows[] = {
        {"FSSetForkSize to the limit", [&] { return FSSetForkSize(fork, fsFromStart, limit); }},
        {"FSSetForkSize far past it",
         [&] { return FSSetForkSize(fork, fsFromStart, SInt64{1} << 33); }},
        {"FSWriteFork ending at the limit",
         [&] { return FSWriteFork(fork, fsFromStart, limit - 2, 3, "xyz", &got); }},
        {"FSWriteFork past it",
         [&] { return FSWriteFork(fork, fsFromStart, limit, 1, "x", &got); }},
        {"FSSetForkSize without a sidecar",
         [&] { return FSSetForkSize(none, fsFromStart, limit); }},
        {"FSWriteFork without a sidecar",
         [&] { return FSWriteFork(none, fsFromStart, limit - 1, 1, "x", &got); }},
    };
    for (const Row& row : rows) EXPECT_EQ(row.call(), fileBoundsErr) << row.name;
    SInt64 size = 0;
    EXPECT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, 4);
    // One byte less is a length the header holds.
    EXPECT_EQ(FSSetForkSize(none, fsFromStart, limit - 1), noErr);
    EXPECT_EQ(FSCloseFork(fork), noErr);
    EXPECT_EQ(FSCloseFork(none), noErr);
    EXPECT_EQ(raw_sidecar(f), sidecar_bytes("fork"));
    EXPECT_EQ(fs::file_size(sidecar_path(bare)), 0xFFFFFFFFu);
    std::string head(0x52, '\0');
    std::ifstream(sidecar_path(bare), std::ios::binary).read(head.data(), 0x52);
    EXPECT_EQ(sidecar_detail::get32(head, 34), std::uint32_t(limit - 1));
    EXPECT_EQ(rsrc_size(bare), UInt64(limit - 1));

    // Sidecars past 4 GiB, as another program may leave them: the header's
    // length, at most the file's.
    for (const std::uint32_t header : {0xFFFFFFFFu, 16u}) {
        auto big = dir.write("big" + std::to_string(header), "data");
        std::string head = sidecar_bytes("");
        head.replace(
            34, 4,
            std::string{char(header >> 24), char(header >> 16), char(header >> 8), char(header)});
        write_bytes(sidecar_path(big), head);
        fs::resize_file(sidecar_path(big), 0x52 + (std::uint64_t{1} << 32) + 16);
        EXPECT_EQ(rsrc_size(big), header) << header;
        const FSIORefNum r = open_rsrc(big);
        EXPECT_EQ(FSGetForkSize(r, &size), noErr);
        EXPECT_EQ(size, SInt64(header));
        char buf[8];
        EXPECT_EQ(FSReadFork(r, fsFromStart, SInt64(header) - 1, 4, buf, &got), eofErr);
        EXPECT_EQ(got, 1u) << header;
        EXPECT_EQ(FSCloseFork(r), noErr);
    }
}

// Rename, move, move-rename and exchange take the sidecar along, and never
// leave it behind; an orphan at the new name goes, so it cannot become the
// moved file's fork.
TEST(Sidecars, GoWhereverTheirFileGoes) {
    struct Row {
        const char* what;
        bool fork, orphanAtTarget;
    };
    for (const Row& row : {Row{"with a fork", true, false}, Row{"without", false, false},
                           Row{"with a fork, onto an orphan", true, true},
                           Row{"without, onto an orphan", false, true}}) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        auto f = dir.write("a/f", "data");
        fs::create_directories(dir / "b");
        if (row.fork) write_sidecar(f, "fork");
        const std::string want = row.fork ? "fork" : "<absent>";
        auto orphan = [&](const fs::path& at) {
            if (row.orphanAtTarget) write_bytes(sidecar_path(at), sidecar_bytes("stale"));
        };

        orphan(dir / "a/g");
        FSRef ref = ref_of(f), out{};
        ASSERT_EQ(rename_to(ref, "g", &out), noErr);
        EXPECT_EQ(sidecar_fork(dir / "a/g"), want);
        EXPECT_EQ(vtest::names_on_disk(dir / "a").count("._f"), 0u);

        orphan(dir / "b/g");
        FSRef b = ref_of(dir / "b");
        ASSERT_EQ(FSMoveObject(&out, &b, &out), noErr);
        EXPECT_EQ(sidecar_fork(dir / "b/g"), want);
        EXPECT_EQ(vtest::names_on_disk(dir / "a"), std::set<std::string>{});

        orphan(dir / "a/h");
        FSSpec g = spec_of(dir / "b/g");
        HParamBlockRec pb{};
        unsigned char h[] = "\x01h";
        pb.copyParam.ioVRefNum = g.vRefNum;
        pb.copyParam.ioDirID = g.parID;
        pb.copyParam.ioNamePtr = g.name;
        pb.copyParam.ioNewDirID = dir_id_of(dir / "a");
        pb.copyParam.ioCopyName = h;
        ASSERT_EQ(PBHMoveRenameSync(&pb), noErr);
        EXPECT_EQ(sidecar_fork(dir / "a/h"), want);
        out = ref_of(dir / "a/h");
        EXPECT_EQ(vtest::names_on_disk(dir / "b"), std::set<std::string>{});

        // The exchange trades the forks with the contents, whichever has one.
        auto other = dir.write("b/o", "other");
        FSRef o = ref_of(other);
        ASSERT_EQ(FSExchangeObjects(&out, &o), noErr);
        EXPECT_EQ(read_file(dir / "a/h"), "other");
        EXPECT_EQ(sidecar_fork(dir / "a/h"), "<absent>");
        EXPECT_EQ(sidecar_fork(dir / "b/o"), want);
        ASSERT_EQ(FSExchangeObjects(&out, &o), noErr);
        EXPECT_EQ(sidecar_fork(dir / "a/h"), want);
        EXPECT_EQ(sidecar_fork(dir / "b/o"), "<absent>");
        if (row.fork) {
            write_sidecar(other, "other fork");
            ASSERT_EQ(FSExchangeObjects(&out, &o), noErr);
            EXPECT_EQ(sidecar_fork(dir / "a/h"), "other fork");
            EXPECT_EQ(sidecar_fork(dir / "b/o"), "fork");
        }
    }
}

// A sidecar that could not follow is refused before anything moves: a new
// name of 254 bytes leaves no room for "._".
TEST(Sidecars, AMoveTheForkCouldNotFollowIsRefused) {
    TempDir dir;
    auto f = dir.write("f", "data");
    write_sidecar(f, "fork");
    auto plain = dir.write("plain", "no fork");
    FSRef ref = ref_of(f), pref = ref_of(plain);
    const std::string longName(254, 'l');
    EXPECT_EQ(rename_to(ref, longName), errFSNameTooLong);
    EXPECT_EQ(vtest::names_on_disk(dir.path()), (std::set<std::string>{"f", "._f", "plain"}));
    EXPECT_EQ(rename_to(pref, longName), noErr) << "a file without a fork may take it";
    FSRef lref = ref_of(dir / longName);
    EXPECT_EQ(FSExchangeObjects(&ref, &lref), errFSNameTooLong);
    EXPECT_EQ(sidecar_fork(f), "fork");
    EXPECT_EQ(read_file(f), "data");
}

// Deleting a file takes its sidecar; a folder that holds nothing but
// sidecars whose files are gone is empty for the layer and is deleted with
// them; an orphan at a name is removed when a new file is made there.
TEST(Sidecars, GoWithTheirFileAndOrphansNeverAttach) {
    TempDir dir;
    auto f = dir.write("d/f", "data");
    write_sidecar(f, "fork");
    FSRef ref = ref_of(f);
    ASSERT_EQ(FSDeleteObject(&ref), noErr);
    EXPECT_EQ(vtest::names_on_disk(dir / "d"), std::set<std::string>{});

    write_bytes(dir / "d/._gone", sidecar_bytes("orphan"));
    FSRef d = ref_of(dir / "d");
    ASSERT_EQ(FSDeleteObject(&d), noErr);
    EXPECT_FALSE(fs::exists(dir / "d"));

    // A user's own file that only has a sidecar's name is not one: it is
    // never removed, by a folder's deletion, a file's, or a new item's name.
    fs::create_directories(dir / "u");
    write_bytes(dir / "u/._gone", sidecar_bytes("orphan"));
    write_bytes(dir / "u/._notes", "my notes, not a sidecar");
    FSRef u = ref_of(dir / "u");
    EXPECT_EQ(FSDeleteObject(&u), fBsyErr);
    EXPECT_EQ(read_file(dir / "u/._notes"), "my notes, not a sidecar");
    auto b = dir.write("u/b", "data");
    write_bytes(dir / "u/._b", "notes beside b");
    FSRef br = ref_of(b);
    ASSERT_EQ(FSDeleteObject(&br), noErr);
    EXPECT_EQ(read_file(dir / "u/._b"), "notes beside b");
    FSRef ur = ref_of(dir / "u"), made{};
    const std::u16string notes = u16("notes");
    ASSERT_EQ(FSCreateFileUnicode(&ur, notes.size(), uc(notes), 0, nullptr, &made, nullptr), noErr);
    EXPECT_EQ(read_file(dir / "u/._notes"), "my notes, not a sidecar");
    EXPECT_EQ(rsrc_size(dir / "u/notes"), 0u);

    // A real item besides them: the folder is not empty.
    auto e = dir.write("e/item", "");
    write_bytes(dir / "e/._gone", sidecar_bytes("orphan"));
    FSRef er = ref_of(dir / "e");
    EXPECT_EQ(FSDeleteObject(&er), fBsyErr);
    EXPECT_EQ(vtest::names_on_disk(dir / "e"), (std::set<std::string>{"item", "._gone"}));

    // A new file under an orphan's name does not inherit its fork.
    write_bytes(dir / "e/._new", sidecar_bytes("stale fork"));
    FSRef parent = ref_of(dir / "e"), out{};
    const std::u16string n = u16("new");
    ASSERT_EQ(FSCreateFileUnicode(&parent, n.size(), uc(n), 0, nullptr, &out, nullptr), noErr);
    EXPECT_EQ(rsrc_size(dir / "e/new"), 0u);
    EXPECT_EQ(sidecar_fork(dir / "e/new"), "<absent>");
    write_bytes(dir / "e/._newdir", sidecar_bytes("stale fork"));
    const std::u16string nd = u16("newdir");
    ASSERT_EQ(
        FSCreateDirectoryUnicode(&parent, nd.size(), uc(nd), 0, nullptr, &out, nullptr, nullptr),
        noErr);
    EXPECT_EQ(raw_sidecar(dir / "e/newdir"), "<absent>");
}

// A sidecar that could not go with its file keeps the file: deleting it is
// refused before anything goes, so that the fork never stays behind as an
// orphan. Its own lock locks the fork (fLckdErr); in a sticky folder, where
// only its owner may remove it, another user's sidecar gives permErr.
TEST(Sidecars, ASidecarThatCannotGoKeepsItsFile) {
    for (const bool sticky : {false, true}) {
        SCOPED_TRACE(sticky ? "another user's, in a sticky folder" : "locked");
        TempDir dir;
        auto f = dir.write("f", "data");
        write_sidecar(f, "fork");  // root's, when it runs as root
        if (!sticky) {
            if (!set_immutable(sidecar_path(f), true)) continue;  // no immutable attribute here
            FSRef ref = ref_of(f);
            EXPECT_EQ(FSDeleteObject(&ref), fLckdErr);
            set_immutable(sidecar_path(f), false);
        } else {
            ::chmod(dir.path().c_str(), 01777);
            ::chown(f.c_str(), 65534, 65534);
            const auto got = run_as_nobody([&]() -> std::string {
                FSRef ref = ref_of(f);
                return std::to_string(FSDeleteObject(&ref));
            });
            if (!got) GTEST_SKIP() << kNeedsNobody;
            EXPECT_EQ(*got, std::to_string(permErr));
        }
        EXPECT_EQ(read_file(f), "data");
        EXPECT_EQ(sidecar_fork(f), "fork");
    }
}

// A server-side copy takes the fork; an orphan at the copy's name goes first.
TEST(Sidecars, CopiesTakeTheFork) {
    for (bool tmpfile : {true, false}) {
        SCOPED_TRACE(tmpfile ? "O_TMPFILE" : "named");
        TempDir dir;
        auto f = dir.write("src/f", "data");
        write_sidecar(f, std::string(200000, 'c'), true);
        fs::create_directories(dir / "dst");
        write_bytes(dir / "dst/._f", sidecar_bytes("stale"));
        vantrel::fault::Scope scope;
        if (!tmpfile) vantrel::fault::set_override("PBHCopyFileSync.withoutTmpfile", 1);
        ASSERT_EQ(copy_into(f, dir / "dst"), noErr);
        EXPECT_EQ(read_file(dir / "dst/f"), "data");
        EXPECT_EQ(sidecar_fork(dir / "dst/f"), std::string(200000, 'c'));
        EXPECT_EQ(raw_sidecar(dir / "dst/f"), raw_sidecar(f)) << "copied whole, in its form";
    }
}

// A folder that takes no new entries (locked here; a read-only mount or a
// folder the user may not write behave alike): the first write of a
// resource fork cannot make its sidecar, says so, and the data fork and
// the folder stay as they were.
TEST(Sidecars, AForkThatCannotBeMadeIsAClearErrorAndTouchesNothing) {
    TempDir dir;
    auto f = dir.write("box/f", "data");
    if (!set_immutable(dir / "box", true)) GTEST_SKIP() << "no immutable attribute here";
    FSRef ref = ref_of(f);
    const HFSUniStr255 rname = resource_fork_name();
    FSIORefNum fork = 0;
    ASSERT_EQ(FSOpenFork(&ref, rname.length, rname.unicode, fsRdWrPerm, &fork), noErr);
    ByteCount got = 1;
    const OSErr e = FSWriteFork(fork, fsFromStart, 0, 4, "rsrc", &got);
    EXPECT_TRUE(e == permErr || e == fLckdErr || e == afpAccessDenied) << e;
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(FSCreateFork(&ref, rname.length, rname.unicode), e);
    EXPECT_EQ(FSCloseFork(fork), noErr);
    set_immutable(dir / "box", false);
    EXPECT_EQ(read_file(f), "data");
    EXPECT_EQ(vtest::names_on_disk(dir / "box"), std::set<std::string>{"f"});
}

// A new sidecar takes its file's permissions and, where the writer may give
// it away, its owner: the fork of a private file is as private as its data,
// and a fork root writes for a user's file stays that user's to change.
TEST(Sidecars, ANewSidecarHasItsFilesOwnerAndPermissions) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    struct Row {
        mode_t mode;
        bool toNobody;
    };
    const bool root = ::geteuid() == 0;
    for (const Row& row : {Row{0600, false}, Row{0640, false}, Row{0600, true}}) {
        if (row.toNobody && !root) continue;  // giving a file away needs root
        const std::string name = "f" + std::to_string(row.mode) + (row.toNobody ? "n" : "");
        auto f = dir.write(name, "data");
        ASSERT_EQ(::chmod(f.c_str(), row.mode), 0);
        if (row.toNobody) {
            ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
        }
        EXPECT_EQ(write_resource_fork(ref_of(f), "secret"), noErr) << name;
        struct stat st {};
        ASSERT_EQ(::lstat(sidecar_path(f).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, row.mode) << name;
        EXPECT_EQ(st.st_uid, row.toNobody ? 65534u : ::geteuid()) << name;
        EXPECT_EQ(sidecar_fork(f), "secret") << name;
    }
}

// A later change of the file's permissions or owner reaches its sidecar
// (a private file keeps no readable fork), also one a writer has open; a
// file without a sidecar gets none, and a user's own "._" file stays as it
// is.
TEST(Sidecars, AChangeOfPermissionsOrOwnerReachesTheSidecar) {
    TempDir dir;
    const bool root = ::geteuid() == 0;
    enum class Side { Fork, None, NotOurs, OpenWriter };
    struct Row {
        const char* name;
        Side side;
        mode_t mode;
        bool toNobody;
        mode_t sideMode = 0644;  // the sidecar's before (the file's is 0644)
    };
    for (const Row& row :
         {Row{"private", Side::Fork, 0600, false}, Row{"given away", Side::Fork, 0640, true},
          Row{"no sidecar", Side::None, 0600, false},
          Row{"a user's own ._ file", Side::NotOurs, 0600, false},
          Row{"while a writer has it open", Side::OpenWriter, 0600, false},
          // Another program gave the sidecar a mode of its own: its
          // permissions are its file's, and the change brings it into line.
          Row{"a sidecar whose mode differs from its file's", Side::Fork, 0640, false, 0604}}) {
        if (row.toNobody && !root) continue;  // giving a file away needs root
        auto f = dir.write(row.name, "data");
        ASSERT_EQ(::chmod(f.c_str(), 0644), 0);
        if (row.side == Side::Fork || row.side == Side::OpenWriter) write_sidecar(f, "secret");
        if (row.side == Side::NotOurs) write_bytes(sidecar_path(f), "mine");
        if (row.side != Side::None) {
            ASSERT_EQ(::chmod(sidecar_path(f).c_str(), row.sideMode), 0);
        }
        FSRef ref = ref_of(f);
        FSIORefNum fork = 0;
        if (row.side == Side::OpenWriter) {
            HFSUniStr255 rname;
            FSGetResourceForkName(&rname);
            ASSERT_EQ(FSOpenFork(&ref, rname.length, rname.unicode, fsRdWrPerm, &fork), noErr);
            ASSERT_EQ(FSWriteFork(fork, fsFromLEOF, 0, 4, "MORE", nullptr), noErr);
        }
        FSCatalogInfo info{};
        ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr),
                  noErr);
        FSPermissionInfo perm;
        std::memcpy(&perm, info.permissions, sizeof perm);
        perm.mode = static_cast<UInt16>((perm.mode & ~07777) | row.mode);
        if (row.toNobody) perm.userID = perm.groupID = 65534;
        std::memcpy(info.permissions, &perm, sizeof perm);
        EXPECT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoPermissions, &info), noErr) << row.name;
        if (fork != 0) {
            EXPECT_EQ(FSCloseFork(fork), noErr);
        }
        struct stat st {};
        const bool there = ::lstat(sidecar_path(f).c_str(), &st) == 0;
        EXPECT_EQ(there, row.side != Side::None) << row.name;
        if (!there) continue;
        const bool ours = row.side != Side::NotOurs;
        EXPECT_EQ(st.st_mode & 07777, ours ? row.mode : row.sideMode) << row.name;
        EXPECT_EQ(st.st_uid, row.toNobody ? 65534u : ::geteuid()) << row.name;
        if (ours) {
            EXPECT_EQ(sidecar_fork(f), row.side == Side::OpenWriter ? "secretMORE" : "secret");
        }
    }
}

// Finder information set on a file reaches the copy its sidecar keeps (at
// the entry's offset, in the record's on-disk form), through a copy put in
// place: a Mac client's longer entry keeps its bytes past the first 32, a
// hard-linked sidecar's other name and a reader holding the old one keep
// theirs, and neither a file without a sidecar nor a user's own "._" file
// gets one.
TEST(Sidecars, FinderInformationReachesTheSidecarsCopy) {
    TempDir dir;
    enum class Side {
        Samba,
        MacClient,
        HardLinked,
        HeldOpen,
        OpenWriter,
        Locked,
        None,
        NotOurs,
        InsideFork
    };
    struct Row {
        const char* name;
        Side side;
        FSCatalogInfoBitmap which;
    };
    const std::string oldFinder(32, 'o'), tail(0xE2 - 32, 't');
    for (const Row& row :
         {Row{"Samba's form", Side::Samba, kFSCatInfoFinderInfo},
          Row{"a Mac client's longer entry", Side::MacClient,
              kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo},
          Row{"extended information only", Side::Samba, kFSCatInfoFinderXInfo},
          Row{"a hard-linked sidecar", Side::HardLinked, kFSCatInfoFinderInfo},
          Row{"a reader holding the old one", Side::HeldOpen, kFSCatInfoFinderInfo},
          Row{"a writer with the fork open, closed after", Side::OpenWriter, kFSCatInfoFinderInfo},
          Row{"a locked sidecar: refused, nothing changes", Side::Locked, kFSCatInfoFinderInfo},
          Row{"no sidecar", Side::None, kFSCatInfoFinderInfo},
          Row{"a user's own ._ file", Side::NotOurs, kFSCatInfoFinderInfo},
          Row{"a Finder entry inside the fork: no sidecar, its bytes stay", Side::InsideFork,
              kFSCatInfoFinderInfo}}) {
        SCOPED_TRACE(row.name);
        auto f = dir.write(row.name, "data");
        const bool mac = row.side == Side::MacClient;
        if (row.side == Side::NotOurs) write_bytes(sidecar_path(f), "mine, not AppleDouble");
        if (row.side == Side::InsideFork) {
            // The fork's entry made to start at 0x32 and run 40 bytes: the
            // Finder information's 32 are the fork's first.
            std::string s = sidecar_bytes("the fork", oldFinder);
            s[33] = 0x32;
            s[37] = 40;
            write_bytes(sidecar_path(f), s);
        }
        if (row.side != Side::None && row.side != Side::NotOurs && row.side != Side::InsideFork)
            write_bytes(sidecar_path(f),
                        sidecar_bytes("the fork", mac ? oldFinder + tail : oldFinder, mac));
        const std::string before = raw_sidecar(f);
        const fs::path other = dir / "other name";
        fs::remove(other);
        if (row.side == Side::HardLinked) {
            ASSERT_EQ(::link(sidecar_path(f).c_str(), other.c_str()), 0);
        }
        std::ifstream held(sidecar_path(f), std::ios::binary);
        FSRef ref = ref_of(f);
        FSCatalogInfo info{};
        set_file_info(&info, 'APPL', 'MACS', kHasBundle);
        ExtendedFileInfo xfi{};
        xfi.putAwayFolderID = 0x01020304;
        std::memcpy(info.extFinderInfo, &xfi, sizeof xfi);
        FSIORefNum writer = 0;
        if (row.side == Side::OpenWriter) {
            writer = open_rsrc(f);
            ASSERT_EQ(FSWriteFork(writer, fsFromStart, 0, 3, "THE", nullptr), noErr);
        }
        if (row.side == Side::Locked) {
            if (!set_immutable(sidecar_path(f), true)) continue;  // no immutable attribute here
            FSCatalogInfo was{};
            ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &was, nullptr, nullptr, nullptr),
                      noErr);
            EXPECT_EQ(FSSetCatalogInfo(&ref, row.which, &info), fLckdErr);
            set_immutable(sidecar_path(f), false);
            FSCatalogInfo now{};
            ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &now, nullptr, nullptr, nullptr),
                      noErr);
            EXPECT_EQ(std::memcmp(now.finderInfo, was.finderInfo, 16), 0) << "the record changed";
            EXPECT_EQ(raw_sidecar(f), before);
            continue;
        }
        ASSERT_EQ(FSSetCatalogInfo(&ref, row.which, &info), noErr);
        if (writer != 0) {
            ASSERT_EQ(FSCloseFork(writer), noErr);
        }
        if (row.side == Side::None) {
            EXPECT_EQ(raw_sidecar(f), "<absent>") << "no sidecar is made for it";
            continue;
        }
        if (row.side == Side::NotOurs || row.side == Side::InsideFork) {
            EXPECT_EQ(raw_sidecar(f), before);
            continue;
        }
        const std::string entry = sidecar_entry(f, 9);
        ASSERT_EQ(entry.size(), mac ? 0xE2u : 32u);
        const bool basic = row.which & kFSCatInfoFinderInfo,
                   ext = row.which & kFSCatInfoFinderXInfo;
        // All 32 bytes are the record's (which had none: zeros where not set).
        const std::string zeros(10, '\0');
        EXPECT_EQ(entry.substr(0, 10), basic ? std::string("APPLMACS\x20\x00", 10) : zeros);
        EXPECT_EQ(entry.substr(28, 4), ext ? std::string("\x01\x02\x03\x04") : zeros.substr(0, 4));
        if (mac) {
            EXPECT_EQ(entry.substr(32), tail) << "the longer entry keeps the rest";
        }
        EXPECT_EQ(sidecar_fork(f), writer != 0 ? "THE fork" : "the fork");
        if (row.side == Side::HardLinked) {
            std::ifstream in(other, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), before)
                << "the other name keeps its header";
        }
        if (row.side == Side::HeldOpen) {
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), before)
                << "a reader of the old sidecar never sees it change";
        }
        // Nothing left beside it: the old sidecar went when the call was over.
        for (const auto& e : fs::directory_iterator(dir.path()))
            EXPECT_FALSE(e.path().filename().string().starts_with("._._")) << e.path();
    }
}

// A sidecar the writer may not write (its mode here; the same for its own
// lock): the fork is still read through a reference number opened for
// writing, and a write says why it cannot be, changing nothing.
TEST(Sidecars, ASidecarNotOursToWriteIsStillRead) {
    TempDir dir;
    auto f = dir.write("f", "data");
    write_sidecar(f, "fork");
    if (!set_immutable(sidecar_path(f), true)) GTEST_SKIP() << "no immutable attribute here";
    FSRef ref = ref_of(f);
    const HFSUniStr255 rname = resource_fork_name();
    FSIORefNum fork = 0;
    ASSERT_EQ(FSOpenFork(&ref, rname.length, rname.unicode, fsRdWrPerm, &fork), noErr);
    SInt64 size = 0;
    EXPECT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, 4);
    char buf[8];
    ByteCount got = 0;
    EXPECT_EQ(FSReadFork(fork, fsFromStart, 0, 4, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), "fork");
    EXPECT_EQ(FSWriteFork(fork, fsFromStart, 0, 4, "FORK", &got), fLckdErr);
    EXPECT_EQ(FSSetForkSize(fork, fsFromStart, 0), fLckdErr);
    EXPECT_EQ(FSCloseFork(fork), noErr);
    set_immutable(sidecar_path(f), false);
    EXPECT_EQ(sidecar_fork(f), "fork");
}

// A change through a reference number is made in a copy of the sidecar,
// which takes the sidecar's place whole when the fork is closed or
// flushed: the other name of a hard-linked sidecar keeps its fork, two
// writers never mix (the last to close wins), a writer that dies or fails
// half-way leaves the old fork, and an emptied fork leaves no sidecar.
TEST(Sidecars, AChangeTakesTheForksPlaceWholeOrNotAtAll) {
    TempDir dir;
    auto a = dir.write("a", "A");
    auto b = dir.write("b", "B");
    write_sidecar(a, "shared fork");
    ASSERT_EQ(::link(sidecar_path(a).c_str(), sidecar_path(b).c_str()), 0);  // as cp -al makes
    FSIORefNum fa = open_rsrc(a);
    ASSERT_EQ(FSWriteFork(fa, fsFromStart, 0, 6, "SHARED", nullptr), noErr);
    ASSERT_EQ(FSCloseFork(fa), noErr);
    EXPECT_EQ(sidecar_fork(a), "SHARED fork");
    EXPECT_EQ(sidecar_fork(b), "shared fork") << "the other name keeps its fork";

    // Two writers, each replacing the whole fork; a reader sees the old
    // fork until a writer commits, then what it committed.
    auto c = dir.write("c", "");
    write_sidecar(c, "the old fork");
    const FSIORefNum w1 = open_rsrc(c, fsRdWrShPerm), w2 = open_rsrc(c, fsRdWrShPerm);
    const FSIORefNum reader = open_rsrc(c, fsRdPerm);
    ASSERT_EQ(FSSetForkSize(w1, fsFromStart, 0), noErr);
    ASSERT_EQ(FSSetForkSize(w2, fsFromStart, 0), noErr);
    ASSERT_EQ(FSWriteFork(w1, fsFromStart, 0, 10, "first one!", nullptr), noErr);
    ASSERT_EQ(FSWriteFork(w2, fsFromStart, 0, 3, "2nd", nullptr), noErr);
    EXPECT_EQ(read_rsrc(w2), "2nd") << "a writer reads its own changes";
    EXPECT_EQ(read_rsrc(reader), "the old fork");
    EXPECT_EQ(sidecar_fork(c), "the old fork");
    ASSERT_EQ(FSCloseFork(w1), noErr);
    EXPECT_EQ(sidecar_fork(c), "first one!");
    EXPECT_EQ(read_rsrc(reader), "first one!");
    ASSERT_EQ(FSCloseFork(w2), noErr);
    EXPECT_EQ(sidecar_fork(c), "2nd") << "the last to commit wins, whole";
    EXPECT_EQ(read_rsrc(reader), "2nd");
    EXPECT_EQ(FSCloseFork(reader), noErr);

    // A writer killed between emptying the fork and its last write.
    auto d = dir.write("d", "");
    write_sidecar(d, "keep me");
    (void)run_child(Child::Plain, [&] {
        const FSIORefNum f = open_rsrc(d);
        FSSetForkSize(f, fsFromStart, 0);
        FSWriteFork(f, fsFromStart, 0, 4, "half", nullptr);
        ::kill(::getpid(), SIGKILL);
        return std::string();
    });
    EXPECT_EQ(sidecar_fork(d), "keep me");

    // A first write that fails, and whose clean-up fails too (the disk is
    // full): no sidecar is made.
    auto e = dir.write("e", "data");
    {
        vantrel::fault::Scope scope;
        vantrel::fault::fail_if([](const vantrel::fault::Call& call) -> OSErr {
            return call.op == "FSWriteFork.write" || call.op == "FSWriteFork.undo" ? dskFulErr
                                                                                   : noErr;
        });
        const FSIORefNum f = open_rsrc(e);
        EXPECT_EQ(FSWriteFork(f, fsFromStart, 0, 4, "rsrc", nullptr), dskFulErr);
        EXPECT_EQ(FSCloseFork(f), noErr);
    }
    EXPECT_EQ(raw_sidecar(e), "<absent>");

    // An emptied fork: a file without a resource fork has no sidecar.
    auto g = dir.write("g", "");
    write_sidecar(g, "to go");
    const FSIORefNum fg = open_rsrc(g);
    ASSERT_EQ(FSSetForkSize(fg, fsFromStart, 0), noErr);
    ASSERT_EQ(FSCloseFork(fg), noErr);
    EXPECT_EQ(raw_sidecar(g), "<absent>");
    EXPECT_EQ(vtest::names_on_disk(dir.path()),
              (std::set<std::string>{"a", "._a", "b", "._b", "c", "._c", "d", "._d", "e", "g"}))
        << "no temporary is left";

    // The named temporary of a change a crash interrupted (where there is no
    // O_TMPFILE), even before it got its header, goes with its folder.
    fs::create_directories(dir / "t");
    write_bytes(dir / "t/._._vantrel.1.1", "");
    FSRef t = ref_of(dir / "t");
    EXPECT_EQ(FSDeleteObject(&t), noErr);
}

namespace {

// Runs `body` in a child that may write no file past `limit` bytes (a write
// beyond it fails with EFBIG instead of killing the child): a stand-in for a
// disk that fills up halfway through a large change.
std::optional<std::string> with_file_size_limit(rlim_t limit,
                                                const std::function<std::string()>& body) {
    return run_child(Child::Plain, [&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit r = {limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &r) != 0) return std::string("setrlimit failed");
        return body();
    });
}

std::string pattern_of(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + i / 4093) & 0xFF);
    return s;
}

}  // namespace

// A fork that is emptied or cut is not copied into the change first: only
// what stays of it is. A sidecar holding a sparse 1 GiB fork is emptied and
// cut by a writer that may not write 16 MiB.
TEST(Sidecars, AForkEmptiedOrCutIsNotCopiedFirst) {
    TempDir dir;
    struct Row {
        const char* name;
        SInt64 size;
        std::string expected;
    };
    for (const Row& row : {Row{"emptied", 0, "new"}, Row{"cut", 10, "new3456789"}}) {
        SCOPED_TRACE(row.name);
        auto f = dir.write(row.name, "data");
        write_bytes(sidecar_path(f), sidecar_bytes("0123456789abcdef"));
        fs::resize_file(sidecar_path(f), 0x52 + (std::uintmax_t{1} << 30));
        const auto msg = with_file_size_limit(16u << 20, [&] {
            const FSIORefNum fork = open_rsrc(f);
            if (OSErr e = FSSetForkSize(fork, fsFromStart, row.size))
                return "FSSetForkSize: " + std::to_string(e);
            if (OSErr e = FSWriteFork(fork, fsFromStart, 0, 3, "new", nullptr))
                return "FSWriteFork: " + std::to_string(e);
            if (OSErr e = FSCloseFork(fork)) return "FSCloseFork: " + std::to_string(e);
            return std::string();
        });
        ASSERT_TRUE(msg.has_value());
        EXPECT_EQ(*msg, "");
        EXPECT_EQ(sidecar_fork(f), row.expected);
    }
}

// VantrelFSCopyForkInKernel replaces a resource fork whole, or leaves it
// exactly as the open saw it (its own uncommitted changes included) with
// both marks where they were; a data-fork destination is left to the caller.
TEST(Sidecars, TheKernelCopyReplacesAForkWholeOrNotAtAll) {
    TempDir dir;
    auto src = dir.write("src", "source data");
    auto dst = dir.write("dst", "dst data");
    write_sidecar(src, "source fork");
    write_sidecar(dst, "old destination fork");
    Boolean copied = true;

    // Arguments and access.
    const FSIORefNum s = open_rsrc(src, fsRdPerm), d = open_rsrc(dst);
    const FSIORefNum readOnly = open_rsrc(dst, fsRdPerm);
    FSRef dstRef = ref_of(dst);
    FSIORefNum data = 0;
    ASSERT_EQ(FSOpenFork(&dstRef, 0, nullptr, fsRdWrPerm, &data), noErr);
    EXPECT_EQ(VantrelFSCopyForkInKernel(s, d, nullptr), paramErr);
    EXPECT_EQ(VantrelFSCopyForkInKernel(d, d, &copied), paramErr);
    EXPECT_EQ(VantrelFSCopyForkInKernel(s, 31000, &copied), rfNumErr);
    EXPECT_EQ(VantrelFSCopyForkInKernel(31000, d, &copied), rfNumErr);
    EXPECT_EQ(VantrelFSCopyForkInKernel(s, readOnly, &copied), wrPermErr);
    copied = true;
    EXPECT_EQ(VantrelFSCopyForkInKernel(s, data, &copied), noErr);
    EXPECT_FALSE(copied) << "a data fork is the caller's to copy";
    EXPECT_EQ(read_file(dst), "dst data");
    EXPECT_EQ(FSCloseFork(data), noErr);
    EXPECT_EQ(FSCloseFork(readOnly), noErr);

    // A failure keeps what this open had changed, and its mark.
    ASSERT_EQ(FSWriteFork(d, fsFromStart, 0, 3, "NEW", nullptr), noErr);
    {
        vantrel::fault::Scope scope;
        vantrel::fault::fail_nth("VantrelFSCopyForkInKernel.copy", 1, dskFulErr);
        EXPECT_EQ(VantrelFSCopyForkInKernel(s, d, &copied), dskFulErr);
    }
    SInt64 mark = -1;
    EXPECT_EQ(FSGetForkPosition(d, &mark), noErr);
    EXPECT_EQ(mark, 3);
    EXPECT_EQ(read_rsrc(d), "NEW destination fork");
    EXPECT_EQ(sidecar_fork(dst), "old destination fork");

    // Success: this open sees the copy, and its close puts it in place.
    EXPECT_EQ(VantrelFSCopyForkInKernel(s, d, &copied), noErr);
    EXPECT_TRUE(copied);
    EXPECT_EQ(FSGetForkPosition(d, &mark), noErr);
    EXPECT_EQ(mark, 11);
    EXPECT_EQ(read_rsrc(d), "source fork");
    EXPECT_EQ(sidecar_fork(dst), "old destination fork") << "nothing is in place before the close";
    EXPECT_EQ(FSCloseFork(d), noErr);
    EXPECT_EQ(sidecar_fork(dst), "source fork");
    EXPECT_EQ(FSCloseFork(s), noErr);

    // A source changed through its own open is copied as that open sees it.
    const FSIORefNum w = open_rsrc(src);
    ASSERT_EQ(FSWriteFork(w, fsFromStart, 0, 6, "CHANGE", nullptr), noErr);
    const FSIORefNum d2 = open_rsrc(dst);
    EXPECT_EQ(VantrelFSCopyForkInKernel(w, d2, &copied), noErr);
    EXPECT_EQ(FSCloseFork(d2), noErr);
    EXPECT_EQ(FSCloseFork(w), noErr);
    EXPECT_EQ(sidecar_fork(dst), "CHANGE fork");

    // The disk fills up halfway through a large copy, with direct I/O (both
    // forks at 0x52) and through the kernel's copy (from a data fork): the
    // destination keeps its fork, and no temporary is left.
    const std::string big = pattern_of(9u << 20);
    write_sidecar(src, big);
    auto dataSrc = dir.write("datasrc", big);
    for (const fs::path& from : {src, dataSrc}) {
        SCOPED_TRACE(from.filename().string());
        const auto msg = with_file_size_limit(6u << 20, [&] {
            const FSIORefNum in = from == src ? open_rsrc(from, fsRdPerm) : [&] {
                FSRef r = ref_of(from);
                FSIORefNum n = 0;
                (void)FSOpenFork(&r, 0, nullptr, fsRdPerm, &n);
                return n;
            }();
            const FSIORefNum out = open_rsrc(dst);
            Boolean done = false;
            const OSErr e = VantrelFSCopyForkInKernel(in, out, &done);
            if (e != dskFulErr) return "the copy gave " + std::to_string(e);
            if (OSErr c = FSCloseFork(out)) return "FSCloseFork: " + std::to_string(c);
            return std::string();
        });
        ASSERT_TRUE(msg.has_value());
        EXPECT_EQ(*msg, "");
        EXPECT_EQ(sidecar_fork(dst), "CHANGE fork");
    }

    // A fork its sidecar's header could not describe (4 GiB - 0x52 bytes or
    // more) is refused before anything is copied.
    auto huge = dir.write("huge", "");
    fs::resize_file(huge, std::uintmax_t{4} << 30);
    const auto msg = with_file_size_limit(16u << 20, [&] {
        FSRef r = ref_of(huge);
        FSIORefNum in = 0;
        if (OSErr e = FSOpenFork(&r, 0, nullptr, fsRdPerm, &in))
            return "open: " + std::to_string(e);
        const FSIORefNum out = open_rsrc(dst);
        Boolean done = false;
        if (OSErr e = VantrelFSCopyForkInKernel(in, out, &done); e != fileBoundsErr)
            return "the copy gave " + std::to_string(e);
        if (OSErr c = FSCloseFork(out)) return "FSCloseFork: " + std::to_string(c);
        return std::string();
    });
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, "");
    EXPECT_EQ(sidecar_fork(dst), "CHANGE fork");
    EXPECT_EQ(vtest::names_on_disk(dir.path()),
              (std::set<std::string>{"src", "._src", "dst", "._dst", "datasrc", "huge"}));
}

// VantrelFSDiscardForkChanges takes back everything an open wrote, the
// emptying included: nothing reaches the disk, no sidecar is made where
// there was none, and the open goes on as if freshly made.
TEST(Sidecars, DiscardingAnOpensChangesLeavesTheForkAsCommitted) {
    TempDir dir;
    auto f = dir.write("f", "data");
    auto bare = dir.write("bare", "data");
    write_sidecar(f, "the old fork");

    const FSIORefNum readOnly = open_rsrc(f, fsRdPerm);
    FSRef ref = ref_of(f);
    FSIORefNum data = 0;
    ASSERT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &data), noErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(31000), rfNumErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(readOnly), wrPermErr);
    ASSERT_EQ(FSWriteFork(data, fsFromStart, 0, 4, "DATA", nullptr), noErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(data), paramErr);
    EXPECT_EQ(read_file(f), "DATA") << "a data fork's writes are in place";
    EXPECT_EQ(FSCloseFork(data), noErr);
    EXPECT_EQ(FSCloseFork(readOnly), noErr);

    // Emptied and half written anew, then taken back.
    const FSIORefNum w = open_rsrc(f);
    ASSERT_EQ(FSSetForkSize(w, fsFromStart, 0), noErr);
    ASSERT_EQ(FSWriteFork(w, fsAtMark, 0, 4, "half", nullptr), noErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(w), noErr);
    SInt64 mark = -1;
    EXPECT_EQ(FSGetForkPosition(w, &mark), noErr);
    EXPECT_EQ(mark, 0);
    EXPECT_EQ(read_rsrc(w), "the old fork");
    EXPECT_EQ(FSCloseFork(w), noErr);
    EXPECT_EQ(sidecar_fork(f), "the old fork") << "the close committed what was discarded";

    // A file with no fork gets no sidecar; a discard with nothing to
    // discard changes nothing, and the open's later writes commit.
    const FSIORefNum b = open_rsrc(bare);
    ASSERT_EQ(FSWriteFork(b, fsFromStart, 0, 3, "new", nullptr), noErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(b), noErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(b), noErr);
    EXPECT_EQ(FSCloseFork(b), noErr);
    EXPECT_FALSE(fs::exists(dir.path() / "._bare"));
    const FSIORefNum again = open_rsrc(f);
    ASSERT_EQ(FSWriteFork(again, fsFromStart, 0, 3, "new", nullptr), noErr);
    EXPECT_EQ(VantrelFSDiscardForkChanges(again), noErr);
    ASSERT_EQ(FSWriteFork(again, fsFromStart, 0, 3, "NEW", nullptr), noErr);
    EXPECT_EQ(FSCloseFork(again), noErr);
    EXPECT_EQ(sidecar_fork(f), "NEW old fork");
}

// What only has a sidecar's name (a user's own file, a folder, a link) is
// not one: it never goes along with the file beside it, is never traded in
// an exchange, and is never replaced by a fork that comes to its name; an
// operation that would put a fork there is refused with afpObjectTypeErr
// before anything moves.
TEST(Sidecars, WhatIsNotASidecarIsNeverMovedTradedOrReplaced) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> make;
        std::function<bool(const fs::path&)> still;
    };
    const Row rows[] = {
        {"a user's own file", [](const fs::path& p) { write_bytes(p, "mine"); },
         [](const fs::path& p) { return fs::is_regular_file(p) && read_file(p) == "mine"; }},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); },
         [](const fs::path& p) { return fs::is_directory(fs::symlink_status(p)); }},
        {"a symbolic link", [](const fs::path& p) { fs::create_symlink("elsewhere", p); },
         [](const fs::path& p) { return fs::is_symlink(fs::symlink_status(p)); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        auto f = dir.write("f", "F");
        write_sidecar(f, "fork");
        auto t = dir.write("t", "T");
        row.make(dir / "._t");
        row.make(dir / "._n");
        fs::create_directories(dir / "dst");
        row.make(dir / "dst/._f");
        FSRef fr = ref_of(f), tr = ref_of(t);

        EXPECT_EQ(FSExchangeObjects(&fr, &tr), afpObjectTypeErr);
        EXPECT_EQ(rename_to(fr, "n"), afpObjectTypeErr);
        EXPECT_EQ(copy_into(f, dir / "dst"), afpObjectTypeErr);
        EXPECT_FALSE(fs::exists(dir / "dst/f"));
        EXPECT_EQ(read_file(f), "F");
        EXPECT_EQ(sidecar_fork(f), "fork");
        EXPECT_EQ(read_file(t), "T");

        // Files without forks: the exchange and the rename go on, and the
        // thing stays where it was.
        auto u = dir.write("u", "U");
        FSRef ur = ref_of(u);
        ASSERT_EQ(FSExchangeObjects(&tr, &ur), noErr);
        EXPECT_EQ(read_file(u), "T");
        EXPECT_TRUE(row.still(dir / "._t"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "._u")));
        FSRef moved = ref_of(t);
        ASSERT_EQ(rename_to(moved, "t2"), noErr);
        EXPECT_TRUE(row.still(dir / "._t"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "._t2")));
        EXPECT_TRUE(row.still(dir / "._n"));
        EXPECT_TRUE(row.still(dir / "dst/._f"));
    }
}

// A sidecar is a file: a folder named "._X" (made by a user on the server)
// is an ordinary item, listed, counted, reachable by name and by path, and
// everything beneath it with it.
TEST(Sidecars, AFolderWithASidecarsNameIsAnOrdinaryItem) {
    TempDir dir;
    auto inner = dir.write("._X/inner", "beneath");
    write_sidecar(dir.write("._X/f", "data"), "fork");
    dir.write("g", "");
    UInt32 valence = 0;
    EXPECT_EQ(listed(dir.path(), &valence), (std::set<std::string>{"._X", "g"}));
    EXPECT_EQ(valence, 2u);
    EXPECT_EQ(listed(dir / "._X"), (std::set<std::string>{"f", "inner"}));

    FSRef parent = ref_of(dir.path()), byName{}, byPath{};
    const std::u16string x = u16("._X");
    ASSERT_EQ(FSMakeFSRefUnicode(&parent, x.size(), uc(x), kTextEncodingUnknown, &byName), noErr);
    const std::string path = inner.string();
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &byPath, nullptr), noErr);
    EXPECT_EQ(rsrc_size(dir / "._X/f"), 4u);
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&byName, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_TRUE(info.nodeFlags & kFSNodeIsDirectoryMask);
    ASSERT_EQ(FSDeleteObject(&byPath), noErr);
    EXPECT_FALSE(fs::exists(inner));
}
