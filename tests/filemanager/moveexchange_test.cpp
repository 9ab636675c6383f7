// Move-rename and exchange on real files: the results, the temporary names,
// and the undo. The sweeps fail each platform call of an operation in turn
// (every class, transient and persistent) and compare a full snapshot of the
// directories involved before and after.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Child.h"
#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;
namespace vf = vantrel::fault;

namespace {

constexpr const char* kRsrcAttr = "user.org.netatalk.ResourceFork";

using vtest::diff;
using vtest::path_of;
using vtest::read_noatime;
using vtest::ref_of;
using vtest::Snapshot;
using vtest::snapshot;
using vtest::u16;

// ---------------------------------------------------------------- fixtures

UTCDateTime date(UInt32 seconds) {
    UTCDateTime d{};
    d.lowSeconds = seconds;
    return d;
}

// A file with every catalogue field the exchange handles set to values of
// its own (whole seconds, so dates round-trip exactly).
struct FileSpec {
    std::string content, rsrc;
    OSType type, creator;
    UInt16 mode;
    UInt32 created, modified, accessed, backedUp;  // seconds since 1904
};

const FileSpec kFirst{"first file's data", "first rsrc",   'TEXT',         'ttxt',        0640,
                      3'600'000'000u,      3'700'000'000u, 3'700'000'100u, 3'650'000'000u};
const FileSpec kSecond{"the second file, longer",
                       "second rsrc!",
                       'APPL',
                       'MACS',
                       0604,
                       3'500'000'000u,
                       3'710'000'000u,
                       3'710'000'200u,
                       3'550'000'000u};

constexpr FSCatalogInfoBitmap kFixtureBits =
    kFSCatInfoCreateDate | kFSCatInfoContentMod | kFSCatInfoAccessDate | kFSCatInfoBackupDate |
    kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;

fs::path make_file(const fs::path& p, const FileSpec& spec) {
    fs::create_directories(p.parent_path());
    { std::ofstream(p, std::ios::binary) << spec.content; }
    EXPECT_EQ(::lsetxattr(p.c_str(), kRsrcAttr, spec.rsrc.data(), spec.rsrc.size(), 0), 0);
    FSRef ref = ref_of(p);
    FSCatalogInfo info;
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr),
              noErr);
    FileInfo fi{};
    fi.fileType = spec.type;
    fi.fileCreator = spec.creator;
    fi.finderFlags = kHasBundle;
    std::memcpy(info.finderInfo, &fi, sizeof fi);
    ExtendedFileInfo xfi{};
    xfi.putAwayFolderID = static_cast<SInt32>(spec.created & 0xFFFF);
    std::memcpy(info.extFinderInfo, &xfi, sizeof xfi);
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    perm.mode = static_cast<UInt16>((perm.mode & ~07777) | spec.mode);
    std::memcpy(info.permissions, &perm, sizeof perm);
    info.createDate = date(spec.created);
    info.contentModDate = date(spec.modified);
    info.accessDate = date(spec.accessed);
    info.backupDate = date(spec.backedUp);
    EXPECT_EQ(FSSetCatalogInfo(&ref, kFixtureBits, &info), noErr) << p;
    return p;
}

// How the files of a sweep are made: what real files left by Mac clients and
// other programs look like, besides the plain case.
enum class Kind {
    Record,     // a metadata record, whole-second dates
    NoRecord,   // data and resource fork only, as most Linux files are
    SubSecond,  // a record, and modification and access times in nanoseconds
    Sidecar,    // a record, and the resource fork in its sidecar, as Samba keeps it
    NoFork,     // a record, and no resource fork at all
};

fs::path make_kind(const fs::path& p, const FileSpec& spec, Kind kind) {
    if (kind == Kind::Sidecar || kind == Kind::NoFork) {
        make_file(p, spec);
        EXPECT_EQ(::lremovexattr(p.c_str(), kRsrcAttr), 0);
        if (kind == Kind::Sidecar) vtest::write_sidecar(p, spec.rsrc);
        return p;
    }
    if (kind == Kind::NoRecord) {
        vtest::write_file(p, spec.content);
        EXPECT_EQ(::lsetxattr(p.c_str(), kRsrcAttr, spec.rsrc.data(), spec.rsrc.size(), 0), 0);
        return p;
    }
    make_file(p, spec);
    if (kind == Kind::SubSecond) {
        struct stat st;
        ::lstat(p.c_str(), &st);
        const timespec ts[2] = {{st.st_atim.tv_sec, 987654321}, {st.st_mtim.tv_sec, 123456789}};
        EXPECT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
    }
    return p;
}

// One row of a move-rename or exchange sweep. A row that shows damage the
// names-and-dates rework has still to mend says what it saw; it is skipped
// until then.
struct SweepRow {
    const char* what;
    Kind kind;
    const char* name;  // the (first) object's name on disk
    const char* known = nullptr;
    bool secondWithoutFork = false;  // exchanges: the other file has no resource fork
    // Exchanges: the row makes the calls of another on other data (a name,
    // a time), and is swept with one error class, not each.
    bool repeatsCalls = false;
};

void PrintTo(const SweepRow& row, std::ostream* os) {
    *os << row.what;
}

std::string row_name(const ::testing::TestParamInfo<SweepRow>& info) {
    std::string n;
    for (const char* c = info.param.what; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
    return n;
}

struct Catalogue {
    OSType type;
    UInt16 mode;
    UInt32 created, modified, accessed, backedUp;
    std::string content, rsrc;
};

Catalogue catalogue_at(const fs::path& p) {
    Catalogue c{};
    FSRef ref = ref_of(p);
    FSCatalogInfo info;
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFixtureBits, &info, nullptr, nullptr, nullptr), noErr);
    FileInfo fi;
    std::memcpy(&fi, info.finderInfo, sizeof fi);
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    c.type = fi.fileType;
    c.mode = perm.mode & 07777;
    c.created = info.createDate.lowSeconds;
    c.modified = info.contentModDate.lowSeconds;
    c.accessed = info.accessDate.lowSeconds;
    c.backedUp = info.backupDate.lowSeconds;
    c.content = read_noatime(p);
    c.rsrc = vtest::sidecar_fork(p);
    if (c.rsrc == "<absent>") c.rsrc = vtest::legacy_fork(p);
    return c;
}

// Runs `body` in a child process (it may unshare its mount namespace) and
// returns its exit status; the child reports its own failures on stderr.
int in_child(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Layouts of the exchange: both files in one directory, or one in each.
struct Layout {
    const char* name;
    const char* first;
    const char* second;
};
const Layout kLayouts[] = {{"one directory", "one/a", "one/b"},
                           {"two directories", "one/a", "two/b"}};

void PrintTo(const Layout& layout, std::ostream* os) {
    *os << layout.name;
}

}  // namespace

// ---------------------------------------------------------------- move-rename

TEST(MoveRename, MovesAndRenamesInOneCallThroughATemporaryName) {
    vf::Scope scope;
    vtest::TempDir dir;
    auto obj = make_file(dir / "src/obj", kFirst);
    fs::create_directories(dir / "dst");
    // The first temporary name is taken in the source: the next one is used.
    dir.write("src/5176747A", "squatter");
    FSRef ref = ref_of(obj), dst = ref_of(dir / "dst");
    std::vector<std::string> renames;
    vf::set_hook([&](const vf::Call& c) {
        if (std::string_view(c.op) == "FSRenameUnicode") renames.emplace_back(c.detail);
    });
    const std::u16string name = u16("renamed");
    FSRef out{};
    ASSERT_EQ(FSMoveRenameObjectUnicode(&ref, &dst, name.size(),
                                        reinterpret_cast<const UniChar*>(name.data()),
                                        kTextEncodingUnknown, &out),
              noErr);
    EXPECT_EQ(renames, (std::vector<std::string>{"5176747B", "renamed"}));
    EXPECT_EQ(path_of(out), (dir / "dst/renamed").string());
    EXPECT_EQ(read_noatime(dir / "dst/renamed"), kFirst.content);
    EXPECT_FALSE(fs::exists(obj));
    EXPECT_EQ(read_noatime(dir / "src/5176747A"), "squatter");

    // A destination equal to the current parent is one rename, never
    // through a temporary name: a crash between the steps once left the
    // file under that name, cut from its fork.
    renames.clear();
    const std::u16string again = u16("again");
    ASSERT_EQ(FSMoveRenameObjectUnicode(&out, &dst, again.size(),
                                        reinterpret_cast<const UniChar*>(again.data()),
                                        kTextEncodingMacRoman, &out),
              noErr);
    EXPECT_EQ(renames, (std::vector<std::string>{"again"}));
    EXPECT_EQ(path_of(out), (dir / "dst/again").string());

    EXPECT_EQ(FSMoveRenameObjectUnicode(&out, &dst, 0, nullptr, 0, nullptr), paramErr);
}

TEST(MoveRename, ACollisionWithTheNewNameUndoesToTheFormerPlaceAndName) {
    vtest::TempDir dir;
    auto obj = make_file(dir / "src/obj", kFirst);
    make_file(dir / "dst/taken", kSecond);
    const Snapshot before = snapshot(dir.path());
    FSRef ref = ref_of(obj), dst = ref_of(dir / "dst");
    const std::u16string name = u16("taken");
    FSRef out{};
    EXPECT_EQ(FSMoveRenameObjectUnicode(&ref, &dst, name.size(),
                                        reinterpret_cast<const UniChar*>(name.data()),
                                        kTextEncodingUnknown, &out),
              dupFNErr);
    EXPECT_EQ(path_of(out), obj.string()) << "newRef names the object where it stands again";
    const Snapshot after = snapshot(dir.path());
    EXPECT_EQ(diff(before, after), "");
}

TEST(MoveRename, ANullNameMakesOnePlainMove) {
    vf::Scope scope;
    vtest::TempDir dir;
    auto obj = make_file(dir / "src/obj", kFirst);
    fs::create_directories(dir / "dst");
    FSRef ref = ref_of(obj), dst = ref_of(dir / "dst");
    vf::set_counting(true);
    FSRef out{};
    ASSERT_EQ(FSMoveRenameObjectUnicode(&ref, &dst, 99, nullptr, kTextEncodingUnknown, &out),
              noErr);
    EXPECT_EQ(vf::calls("FSMoveObject"), 1);
    EXPECT_EQ(vf::calls("FSRenameUnicode"), 0);
    EXPECT_EQ(vf::calls("FSMakeFSRefUnicode"), 0) << "no temporary name is needed";
    EXPECT_EQ(path_of(out), (dir / "dst/obj").string());
}

TEST(MoveRename, ADestinationOnAnotherVolumeChangesNothing) {
    if (!vtest::can_make_private_mounts())
        GTEST_SKIP() << "no private mount namespace with a tmpfs here";
    vtest::TempDir dir;
    // Made without the layer: descriptors it opens before the child enters a
    // mount namespace of its own would still see the old mount tree.
    auto obj = dir.write("src/obj", kFirst.content);
    ASSERT_EQ(::lsetxattr(obj.c_str(), kRsrcAttr, "rsrc", 4, 0), 0);
    dir.write("src/other", kSecond.content);
    fs::create_directories(dir / "mnt");
    const Snapshot before = snapshot(dir / "src");
    const vtest::ScratchState state;
    int rc = in_child([&]() -> int {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        state.enter();
        if (::mount("tmpfs", (dir / "mnt").c_str(), "tmpfs", 0, "size=1m") != 0) return 77;
        int bad = 0;
        auto check = [&](OSErr got, OSErr want, const char* what) {
            if (got != want) {
                std::fprintf(stderr, "child: %s gave %d, not %d\n", what, got, want);
                bad = 1;
            }
        };
        FSRef ref = ref_of(obj), mnt = ref_of(dir / "mnt");
        const std::u16string name = u16("moved");
        FSRef out;
        std::memset(&out, 0xAB, sizeof out);
        check(FSMoveRenameObjectUnicode(&ref, &mnt, name.size(),
                                        reinterpret_cast<const UniChar*>(name.data()),
                                        kTextEncodingUnknown, &out),
              diffVolErr, "move-rename to another volume");
        if (std::memcmp(&out, &ref, sizeof out) != 0) {
            std::fprintf(stderr, "child: newRef is not a copy of the object\n");
            bad = 1;
        }
        check(FSMoveRenameObjectUnicode(&ref, &mnt, 0, nullptr, 0, &out), diffVolErr,
              "a plain move");
        // The exchange across volumes is refused by either path.
        { std::ofstream(dir / "mnt/there") << "there"; }
        FSRef there = ref_of(dir / "mnt/there");
        FSRef nf, ns;
        vf::set_override("PBHGetVolParmsSync.exchange", 0);
        check(FSExchangeObjectsCompat(&ref, &there, &nf, &ns), diffVolErr,
              "the compatible exchange");
        vf::clear_override("PBHGetVolParmsSync.exchange");
        check(FSExchangeObjects(&ref, &there), diffVolErr, "the platform's exchange");
        return bad;
    });
    if (rc == 77) GTEST_SKIP() << "no private mount namespace with a tmpfs here";
    EXPECT_EQ(rc, 0);
    const Snapshot after = snapshot(dir / "src");
    EXPECT_EQ(diff(before, after), "");
}

// A failure at any platform call, or at any step inside one (after a rename
// or a move has happened, and inside the undo), returns that failure and
// leaves everything as it was, newRef naming the object where it stands.
// When every later call fails too the undo cannot run; then nothing is lost:
// the object keeps its forks, under its own name or a temporary one.
class MoveRenameSweep : public ::testing::TestWithParam<SweepRow> {};

TEST_P(MoveRenameSweep, AFailureAtEachPlatformCallLeavesEverythingAsItWas) {
    const SweepRow& row = GetParam();
    if (row.known != nullptr) GTEST_SKIP() << row.known;
    vtest::TempDir dir;
    long run = 0, longestClean = 0;
    vtest::FaultSweep sweep;
    sweep.run([&](vtest::FaultTrial& t) {
        // A fresh pair of directories per run; earlier runs stay, so that no
        // inode is reused under a reference the layer still remembers.
        const fs::path root = dir / ("run" + std::to_string(++run));
        auto obj = make_kind(root / "src" / row.name, kFirst, row.kind);
        make_kind(root / "dst/neighbour", kSecond, row.kind);
        FSRef ref = ref_of(obj), dst = ref_of(root / "dst");
        const Snapshot before = snapshot(root);
        const std::u16string name = u16("renamed");
        FSRef out{};
        const OSErr e = t.inject([&] {
            return FSMoveRenameObjectUnicode(&ref, &dst, name.size(),
                                             reinterpret_cast<const UniChar*>(name.data()),
                                             kTextEncodingUnknown, &out);
        });
        if (t.clean()) {
            ASSERT_OSERR(e, noErr);
            longestClean = std::max(longestClean, t.calls());
            EXPECT_EQ(path_of(out), (root / "dst/renamed").string());
            EXPECT_EQ(read_noatime(root / "dst/renamed"), kFirst.content);
            EXPECT_EQ(catalogue_at(root / "dst/renamed").rsrc, kFirst.rsrc);
            return;
        }
        t.expect_undone(e, before, snapshot(root));
        if (!t.persistent()) {
            EXPECT_EQ(path_of(out), obj.string());
        }
    });
    EXPECT_GE(longestClean, 6)
        << "catalogue reads, two name probes, rename, move, rename: at least six calls";
}

INSTANTIATE_TEST_SUITE_P(
    Files, MoveRenameSweep,
    ::testing::Values(SweepRow{"records", Kind::Record, "obj"},
                      SweepRow{"no record", Kind::NoRecord, "obj"},
                      SweepRow{"times in nanoseconds", Kind::SubSecond, "obj"},
                      SweepRow{"a name that is not UTF-8", Kind::Record, "r\xe9sum\xe9"},
                      SweepRow{"a decomposed name", Kind::Record, "cafe\xcc\x81"},
                      SweepRow{"a resource fork in its sidecar", Kind::Sidecar, "obj"},
                      SweepRow{"a sidecar and a name that is not UTF-8", Kind::Sidecar,
                               "r\xe9sum\xe9"}),
    row_name);

// ---------------------------------------------------------------- exchange

TEST(ExchangeCompat, EachNameAndPlaceGetsTheOtherFilesForksAndKeepsItsCatalogueFields) {
    vtest::TempDir top;
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        vf::Scope scope;
        vf::set_override("PBHGetVolParmsSync.exchange", 0);
        const fs::path root = top / (layout.second[1] == 'n' ? "same" : "apart");
        auto a = make_file(root / layout.first, kFirst);
        auto b = make_file(root / layout.second, kSecond);
        const Catalogue ca = catalogue_at(a), cb = catalogue_at(b);
        FSRef ra = ref_of(a), rb = ref_of(b), nf{}, ns{};
        vf::set_counting(true);
        ASSERT_EQ(FSExchangeObjectsCompat(&ra, &rb, &nf, &ns), noErr);
        EXPECT_EQ(vf::calls("FSExchangeObjects"), 0) << "the native exchange is off";
        EXPECT_EQ(vf::calls("VantrelFSExchangeObjectsByNames"), 1);
        EXPECT_EQ(vf::calls("FSMoveObject") + vf::calls("FSRenameUnicode"), 0)
            << "no visible temporary name";

        const Catalogue atA = catalogue_at(a), atB = catalogue_at(b);
        // Forks and the content-modification date travel with the contents ...
        EXPECT_EQ(atA.content, cb.content);
        EXPECT_EQ(atA.rsrc, cb.rsrc);
        EXPECT_EQ(atA.modified, cb.modified);
        EXPECT_EQ(atB.content, ca.content);
        EXPECT_EQ(atB.rsrc, ca.rsrc);
        EXPECT_EQ(atB.modified, ca.modified);
        // ... the exchanged fields stay with the name and place.
        EXPECT_EQ(atA.type, ca.type);
        EXPECT_EQ(atA.mode, ca.mode);
        EXPECT_EQ(atA.created, ca.created);
        EXPECT_EQ(atA.accessed, ca.accessed);
        EXPECT_EQ(atA.backedUp, ca.backedUp);
        EXPECT_EQ(atB.type, cb.type);
        EXPECT_EQ(atB.mode, cb.mode);
        EXPECT_EQ(atB.created, cb.created);
        EXPECT_EQ(atB.backedUp, cb.backedUp);
        // newFirst names what stands at the first name and place, newSecond the second.
        EXPECT_EQ(path_of(nf), a.string());
        EXPECT_EQ(path_of(ns), b.string());
        // No temporary name is left behind.
        std::size_t entries = 0;
        for (const auto& e : fs::recursive_directory_iterator(root)) entries += e.is_regular_file();
        EXPECT_EQ(entries, 2u);
    }
}

// The same for the compatible exchange, in both layouts. A failed query of
// the volume's abilities only means "no native exchange" and is ignored.
class ExchangeSweep : public ::testing::TestWithParam<std::tuple<SweepRow, Layout>> {};

TEST_P(ExchangeSweep, AFailureAtEachPlatformCallLeavesBothFilesAsTheyWere) {
    // Plain references, not a structured binding: clang 14 cannot capture
    // those in the lambda below.
    const SweepRow& row = std::get<0>(GetParam());
    const Layout& layout = std::get<1>(GetParam());
    if (row.known != nullptr) GTEST_SKIP() << row.known;
    vtest::TempDir dir;
    long run = 0, longestClean = 0;
    const fs::path first = fs::path(layout.first).parent_path() / row.name;
    vtest::FaultSweep sweep =
        row.repeatsCalls ? vtest::FaultSweep::only({ioErr}) : vtest::FaultSweep();
    sweep.run([&](vtest::FaultTrial& t) {
        const fs::path root = dir / ("run" + std::to_string(++run));
        auto a = make_kind(root / first, kFirst, row.kind);
        auto b = make_kind(root / layout.second, kSecond,
                           row.secondWithoutFork ? Kind::NoFork : row.kind);
        const Catalogue cb = catalogue_at(b);
        FSRef ra = ref_of(a), rb = ref_of(b), nf{}, ns{};
        const Snapshot before = snapshot(root);
        vf::set_override("PBHGetVolParmsSync.exchange", 0);
        const OSErr e = t.inject([&] { return FSExchangeObjectsCompat(&ra, &rb, &nf, &ns); });
        if (t.clean()) {
            ASSERT_OSERR(e, noErr);
            longestClean = std::max(longestClean, t.calls());
            EXPECT_EQ(read_noatime(a), cb.content);
            EXPECT_EQ(catalogue_at(a).rsrc, cb.rsrc) << "the resource fork goes with the data";
            EXPECT_EQ(path_of(nf), a.string());
            EXPECT_EQ(path_of(ns), b.string());
            return;
        }
        t.expect_undone(e, before, snapshot(root));
        if (t.persistent()) return;
        EXPECT_EQ(path_of(ra), a.string());
        EXPECT_EQ(path_of(rb), b.string());
    });
    EXPECT_GE(longestClean, 8) << "reads, the metadata written, four links and renames";
}

INSTANTIATE_TEST_SUITE_P(
    Files, ExchangeSweep,
    ::testing::Combine(
        ::testing::Values(
            SweepRow{"records", Kind::Record, "a"}, SweepRow{"no record", Kind::NoRecord, "a"},
            // The calls of "records" on other data.
            SweepRow{"times in nanoseconds", Kind::SubSecond, "a", nullptr, false, true},
            SweepRow{"a name that is not UTF-8", Kind::Record, "na\xefve", nullptr, false, true},
            SweepRow{"a decomposed name", Kind::Record, "cafe\xcc\x81", nullptr, false, true},
            SweepRow{"resource forks in their sidecars", Kind::Sidecar, "a"},
            SweepRow{"a fork in a sidecar and a file without", Kind::Sidecar, "a", nullptr, true},
            // The calls of "resource forks in their sidecars" under another name.
            SweepRow{"a sidecar and a name that is not UTF-8", Kind::Sidecar, "na\xefve", nullptr,
                     false, true}),
        ::testing::ValuesIn(kLayouts)),
    [](const ::testing::TestParamInfo<std::tuple<SweepRow, Layout>>& info) {
        std::string n;
        for (const char* c = std::get<0>(info.param).what; *c; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
        return n + (std::string(std::get<1>(info.param).name) == "one directory"
                        ? "_OneDirectory"
                        : "_TwoDirectories");
    });

TEST(ExchangeCompat, NativeExchangeGivesThePlatformsResultAndReferences) {
    vtest::TempDir dir;
    auto a = make_file(dir / "one/a", kFirst);
    auto b = make_file(dir / "two/b", kSecond);
    FSRef ra = ref_of(a), rb = ref_of(b);
    FSCatalogInfo vol;
    ASSERT_EQ(FSGetCatalogInfo(&ra, kFSCatInfoVolume, &vol, nullptr, nullptr, nullptr), noErr);
    GetVolParmsInfoBuffer parms{};
    HParamBlockRec pb{};
    pb.ioParam.ioVRefNum = vol.volume;
    pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&parms);
    pb.ioParam.ioReqCount = 32;
    ASSERT_EQ(PBHGetVolParmsSync(&pb), noErr);
    if ((parms.vMExtendedAttributes & (1L << bSupportsFSExchangeObjects)) == 0)
        GTEST_SKIP() << "this file system has no RENAME_EXCHANGE";

    vf::Scope scope;
    vf::set_counting(true);
    FSRef nf{}, ns{};
    ASSERT_EQ(FSExchangeObjectsCompat(&ra, &rb, &nf, &ns), noErr);
    EXPECT_EQ(vf::calls("FSExchangeObjects"), 1);
    EXPECT_EQ(vf::calls("FSRenameUnicode"), 0);
    // The platform moves whole files and its references follow them: the one
    // naming what now stands at the first place is the second's.
    EXPECT_EQ(std::memcmp(&nf, &rb, sizeof nf), 0);
    EXPECT_EQ(std::memcmp(&ns, &ra, sizeof ns), 0);
    EXPECT_EQ(path_of(nf), a.string());
    EXPECT_EQ(path_of(ns), b.string());
    const Catalogue atA = catalogue_at(a);
    EXPECT_EQ(atA.content, kSecond.content);
    EXPECT_EQ(atA.rsrc, kSecond.rsrc);
    EXPECT_EQ(atA.modified, kSecond.modified);
    // What belongs to the name and place stays there, as with the
    // compatible exchange.
    EXPECT_EQ(atA.type, kFirst.type);
    EXPECT_EQ(atA.mode, kFirst.mode);
    EXPECT_EQ(atA.created, kFirst.created);
    EXPECT_EQ(atA.backedUp, kFirst.backedUp);
    EXPECT_EQ(atA.accessed, kFirst.accessed);

    // The platform's failures come back unchanged, and the outputs stay copies.
    FSRef d = ref_of(dir / "one");
    std::memset(&nf, 0, sizeof nf);
    EXPECT_EQ(FSExchangeObjectsCompat(&ra, &d, &nf, &ns), notAFileErr);
    EXPECT_EQ(std::memcmp(&nf, &ra, sizeof nf), 0);
    EXPECT_EQ(std::memcmp(&ns, &d, sizeof ns), 0);
    vf::fail_next("FSExchangeObjects", fLckdErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&ra, &rb, &nf, &ns), fLckdErr);
    EXPECT_EQ(read_noatime(a), kSecond.content);
}

TEST(ExchangeCompat, RefusesDirectoriesHardLinkedFilesAndNullOutputs) {
    vf::Scope scope;
    vf::set_override("PBHGetVolParmsSync.exchange", 0);
    vtest::TempDir dir;
    auto a = make_file(dir / "a", kFirst);
    auto b = make_file(dir / "b", kSecond);
    // What belongs to a name must not go onto an inode another name shares,
    // whichever side has the second name, and wherever that name is.
    auto c = make_file(dir / "c", kSecond);
    fs::create_directories(dir / "d");
    fs::create_hard_link(a, dir / "a-too");
    fs::create_hard_link(c, dir / "d/c-too");
    const Snapshot before = snapshot(dir.path());
    FSRef ra = ref_of(a), rb = ref_of(b), rc = ref_of(c), rd = ref_of(dir / "d"), nf, ns;
    EXPECT_EQ(FSExchangeObjectsCompat(&ra, &rd, &nf, &ns), notAFileErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&rd, &ra, &nf, &ns), notAFileErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&ra, &rb, &nf, &ns), permErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&rb, &rc, &nf, &ns), permErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&ra, &ra, nullptr, &ns), paramErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&ra, &ra, &nf, nullptr), paramErr);
    const Snapshot after = snapshot(dir.path());
    EXPECT_EQ(diff(before, after), "");
}
