// A "._NAME" file merged into its volume's layout: every failure of a step
// gives the file and its "._" file back as they were, and the arguments
// and entries that are no merge's are refused before anything changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Child.h"
#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "OSErrTesting.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "vantrel/Files.h"
#include "vantrel/Sidecars.h"

namespace fs = std::filesystem;

namespace {

using vtest::ref_of;

constexpr const char* kQuarantine = "user.DosStream.com.apple.quarantine:$DATA";

VantrelDiskName disk_name(const std::string& s) {
    VantrelDiskName n{};
    n.length = static_cast<UInt8>(s.size());
    std::memcpy(n.bytes, s.data(), n.length);
    return n;
}

std::string finder(const char* typeCreator) {
    std::string f(32, '\0');
    std::memcpy(f.data(), typeCreator, 8);
    return f;
}

std::string xattr(const fs::path& p, const char* name) {
    std::string buf(70000, '\0');
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf.data(), buf.size());
    return n < 0 ? std::string("<absent>") : buf.substr(0, std::size_t(n));
}

// A file with a value of its own for one attribute, and a "._" file macOS
// wrote with Finder information, two attributes and a fork.
fs::path make_fixture(const fs::path& dir) {
    const fs::path f = vtest::write_file(dir / "f", "data");
    const std::string own = std::string("its own") + '\0';
    EXPECT_EQ(::lsetxattr(f.c_str(), kQuarantine, own.data(), own.size(), 0), 0);
    vtest::write_bytes(vtest::sidecar_path(f),
                       vtest::macos_sidecar_bytes(finder("TEXTttxt"),
                                                  {{"com.apple.quarantine", "from the Mac"},
                                                   {"com.apple.lastuseddate#PS", "0123456789"}},
                                                  "the fork"));
    return f;
}

// What the merge of a whole folder hands its visitor for an entry.
struct Visited {
    std::string name;
    VantrelHiddenKind kind;
    OSErr result;
    VantrelMergeReport report;
};

// VantrelFSMergeFolderDotUnderscores of `folder`, its visits in order; the
// call's own result in `*e`.
std::vector<Visited> merge_folder(const FSRef* folder, VantrelMergeKeep keep, OSErr* e,
                                  std::size_t stopAfter = 0) {
    struct Seen {
        std::vector<Visited> list;
        std::size_t stopAfter;
    } seen{{}, stopAfter};
    *e = VantrelFSMergeFolderDotUnderscores(
        folder, keep, 0,
        [](const VantrelDiskName* n, VantrelHiddenKind kind, OSErr result,
           const VantrelMergeReport* r, void* context) -> Boolean {
            auto* s = static_cast<Seen*>(context);
            s->list.push_back({std::string(reinterpret_cast<const char*>(n->bytes), n->length),
                               kind, result, *r});
            return s->list.size() == s->stopAfter;
        },
        &seen);
    return seen.list;
}

}  // namespace

TEST(MergeDotUnderscore, EveryFailedStepGivesBothFilesBack) {
    for (const bool wholeFolder : {false, true})
        for (const char* layout : {"netatalk", "stream"}) {
            SCOPED_TRACE(std::string(layout) + (wholeFolder ? ", the folder's merge" : ""));
            ::setenv("VANTREL_MAC_LAYOUT", layout, 1);
            vtest::TempDir dir("merge");
            vtest::FaultSweep sweep;
            int n = 0;
            sweep.run([&](vtest::FaultTrial& t) {
                const fs::path root = dir.mkdir("t" + std::to_string(++n));
                const fs::path f = make_fixture(root);
                FSRef folder = ref_of(root);
                const VantrelDiskName name = disk_name("._f");
                const vtest::Snapshot before = vtest::snapshot(root);
                VantrelMergeReport report{};
                const OSErr e = t.inject([&] {
                    if (!wholeFolder)
                        return VantrelFSMergeDotUnderscore(&folder, &name, kVantrelMergeKeepDotBar,
                                                           0, &report);
                    OSErr called = noErr;
                    const std::vector<Visited> v =
                        merge_folder(&folder, kVantrelMergeKeepDotBar, &called);
                    if (called != noErr) return called;
                    if (v.size() != 1 || v[0].name != "._f") return OSErr(ioErr);  // not reported
                    report = v[0].report;
                    return v[0].result;
                });
                if (t.clean()) {
                    EXPECT_OSERR(e, noErr);
                    EXPECT_EQ(xattr(f, kQuarantine), std::string("from the Mac") + '\0');
                    // Finder information, two attributes, and on a stream volume the fork.
                    const bool stream = std::string(layout) == "stream";
                    // A stream volume's in its AfpInfo stream, with no record made for it.
                    if (stream) {
                        EXPECT_EQ(xattr(f, "user.org.netatalk.Metadata"), "<absent>");
                        EXPECT_EQ(xattr(f, "user.DosStream.AFP_AfpInfo:$DATA").substr(16, 32),
                                  finder("TEXTttxt"));
                    } else {
                        EXPECT_EQ(vtest::record_finder_info(f), finder("TEXTttxt"));
                    }
                    EXPECT_EQ(report.taken, stream ? 4u : 3u);
                    EXPECT_EQ(xattr(f, "user.DosStream.AFP_Resource:$DATA"),
                              stream ? std::string("the fork") + '\0' : "<absent>");
                    EXPECT_EQ(vtest::sidecar_fork(f), stream ? "<absent>" : "the fork");
                    return;
                }
                t.expect_undone(e, before, vtest::snapshot(root));
            });
        }
    ::unsetenv("VANTREL_MAC_LAYOUT");
}

// What is no merge's is refused, and nothing changes.
TEST(MergeDotUnderscore, RefusesWhatIsNoMergeOfAFilesDotUnderscoreFile) {
    vtest::TempDir dir("merge");
    const fs::path root = dir.path();
    make_fixture(root);
    vtest::write_file(root / "._own", "a file of the user's own");
    vtest::write_file(root / "own", "");
    fs::create_directory(root / "folder");
    vtest::write_bytes(root / "._folder", vtest::macos_sidecar_bytes(finder("fldrfldr"), {}, "x"));
    vtest::write_bytes(root / "._gone", vtest::macos_sidecar_bytes(finder("gonegone"), {}, "x"));
    FSRef folder = ref_of(root);
    FSRef file = ref_of(root / "f");
    const vtest::Snapshot before = vtest::snapshot(root);
    struct Row {
        const FSRef* folder;
        std::string name;
        VantrelMergeKeep keep;
        OSErr want;
    };
    const std::vector<Row> rows{
        {nullptr, "._f", kVantrelMergeKeepDotBar, paramErr},
        {&folder, "f", kVantrelMergeKeepDotBar, paramErr},
        {&folder, "._", kVantrelMergeKeepDotBar, paramErr},
        {&folder, "._a/b", kVantrelMergeKeepDotBar, paramErr},
        {&folder, "._._vantrel.1.2.3", kVantrelMergeKeepDotBar, paramErr},
        {&folder, "._f", 7, paramErr},
        {&file, "._f", kVantrelMergeKeepDotBar, errFSNotAFolder},
        {&folder, "._own", kVantrelMergeKeepDotBar, afpObjectTypeErr},
        {&folder, "._gone", kVantrelMergeKeepDotBar, fnfErr},
        {&folder, "._folder", kVantrelMergeKeepDotBar, notAFileErr},
        {&folder, "._nothing", kVantrelMergeKeepDotBar, fnfErr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const VantrelDiskName name = disk_name(row.name);
        EXPECT_OSERR(VantrelFSMergeDotUnderscore(row.folder, &name, row.keep, 0, nullptr),
                     row.want);
    }
    EXPECT_EQ(vtest::diff(before, vtest::snapshot(root)), "");
}

// The merge of a whole folder tells each "._" entry as the listing of
// hidden entries tells it, in the order of the names' bytes, merges the
// files' and only those, and stops where its visitor says.
TEST(MergeDotUnderscore, AFoldersMergeTellsEachEntryAndMergesTheFilesOnly) {
    vtest::TempDir dir("merge");
    const fs::path root = dir.path();
    const fs::path f = make_fixture(root);
    vtest::write_file(root / "._own", "a file of the user's own");
    vtest::write_file(root / "own", "");
    fs::create_directory(root / "folder");
    vtest::write_bytes(root / "._folder", vtest::macos_sidecar_bytes(finder("fldrfldr"), {}, "x"));
    vtest::write_bytes(root / "._gone", vtest::macos_sidecar_bytes(finder("gonegone"), {}, "x"));
    vtest::write_file(root / "plain", "");
    FSRef folder = ref_of(root);
    FSRef file = ref_of(f);
    struct Row {
        std::string name;
        VantrelHiddenKind kind;
        OSErr result;
    };
    const std::vector<Row> want{
        {"._f", kVantrelHiddenFork, noErr},
        {"._folder", kVantrelHiddenFork, notAFileErr},
        {"._gone", kVantrelHiddenOrphan, noErr},
        {"._own", kVantrelHiddenOwnFile, noErr},
    };
    // The kinds the listing gives, for the same entries.
    std::vector<std::pair<std::string, VantrelHiddenKind>> listed;
    ASSERT_OSERR(
        VantrelFSGetHiddenEntries(
            &folder,
            [](const VantrelDiskName* n, VantrelHiddenKind kind, void* context) -> Boolean {
                static_cast<decltype(listed)*>(context)->emplace_back(
                    std::string(reinterpret_cast<const char*>(n->bytes), n->length), kind);
                return false;
            },
            &listed),
        noErr);
    std::sort(listed.begin(), listed.end());
    OSErr e = noErr;
    const std::vector<Visited> seen = merge_folder(&folder, kVantrelMergeKeepDotBar, &e);
    EXPECT_OSERR(e, noErr);
    ASSERT_EQ(seen.size(), want.size());
    ASSERT_EQ(listed.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(seen[i].name, want[i].name);
        EXPECT_EQ(seen[i].kind, want[i].kind);
        EXPECT_EQ(listed[i].second, want[i].kind);
        EXPECT_OSERR(seen[i].result, want[i].result);
    }
    EXPECT_EQ(seen[0].report.taken, 3u);  // Finder information and two attributes
    EXPECT_EQ(xattr(f, kQuarantine), std::string("from the Mac") + '\0');
    EXPECT_TRUE(fs::exists(root / "._own"));
    EXPECT_TRUE(fs::exists(root / "._gone"));  // an orphan stays: its removal is asked for
    // Done again, nothing more to take; a visitor that stops has one visit.
    EXPECT_EQ(merge_folder(&folder, kVantrelMergeKeepDotBar, &e)[0].report.taken, 0u);
    EXPECT_EQ(merge_folder(&folder, kVantrelMergeKeepDotBar, &e, 1).size(), 1u);
    // Refusals.
    merge_folder(nullptr, kVantrelMergeKeepDotBar, &e);
    EXPECT_OSERR(e, paramErr);
    merge_folder(&folder, 7, &e);
    EXPECT_OSERR(e, paramErr);
    merge_folder(&file, kVantrelMergeKeepDotBar, &e);
    EXPECT_OSERR(e, errFSNotAFolder);
}

namespace {

constexpr const char* kAfpInfo = "user.DosStream.AFP_AfpInfo:$DATA";
constexpr const char* kAfpResource = "user.DosStream.AFP_Resource:$DATA";

// The AfpInfo stream of Finder information `finder32`, as streams_xattr
// keeps it: Samba's 60 bytes and one NUL.
std::string afp_info(const std::string& finder32) {
    // "AFP\0", version 0x00000100, 4 reserved bytes, the backup date unknown.
    std::string s("AFP\0\0\0\x01\0\0\0\0\0\x80\0\0\0", 16);
    s += finder32;
    s += std::string(12, '\0');
    return s + '\0';
}

void set_xattr(const fs::path& p, const char* name, const std::string& v) {
    ASSERT_EQ(::lsetxattr(p.c_str(), name, v.data(), v.size(), 0), 0) << name;
}

// A file in the layout `from`, with type and creator TEXTttxt and a fork.
fs::path make_in_layout(const fs::path& dir, const std::string& from) {
    const fs::path f = vtest::write_file(dir / "f", "data");
    if (from == "netatalk") {
        ::unsetenv("VANTREL_MAC_LAYOUT");
        FSRef ref = ref_of(f);
        FSCatalogInfo cat{};
        std::memcpy(cat.finderInfo, "TXETtxtt", 8);  // TEXT and ttxt, little-endian
        EXPECT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &cat), noErr);
        vtest::write_sidecar(f, "the fork");
    } else if (from == "stream") {
        set_xattr(f, kAfpInfo, afp_info(finder("TEXTttxt")));
        set_xattr(f, kAfpResource, std::string("the fork") + '\0');
    } else if (from == "netatalk2") {  // Netatalk 2's ".AppleDouble/f"
        vtest::Netatalk2 a;
        a.finder32 = finder("TEXTttxt");
        a.comment = "kept by Netatalk";
        a.fork = "the fork";
        vtest::write_netatalk2(f, a);
    } else {  // macOS's own "._" file
        vtest::write_bytes(vtest::sidecar_path(f),
                           vtest::macos_sidecar_bytes(finder("TEXTttxt"), {}, "the fork"));
    }
    return f;
}

}  // namespace

namespace {

struct ConvertVisited {
    std::string name;
    OSErr result;
    VantrelConvertReport report;
};

// VantrelFSConvertFolderMacLayout of `folder`, its visits in order; the
// call's own result in `*e`.
std::vector<ConvertVisited> convert_folder(const FSRef* folder, VantrelMacLayout to, UInt32 options,
                                           OSErr* e, std::size_t stopAfter = 0) {
    struct Seen {
        std::vector<ConvertVisited> list;
        std::size_t stopAfter;
    } seen{{}, stopAfter};
    *e = VantrelFSConvertFolderMacLayout(
        folder, to, options,
        [](const VantrelDiskName* n, OSErr result, const VantrelConvertReport* r,
           void* context) -> Boolean {
            auto* s = static_cast<Seen*>(context);
            s->list.push_back(
                {std::string(reinterpret_cast<const char*>(n->bytes), n->length), result, *r});
            return s->list.size() == s->stopAfter;
        },
        &seen);
    return seen.list;
}

}  // namespace

// A file's metadata moved to another layout: at every failed step it is
// given back as it was; once done, it stands in the new layout alone.
TEST(ConvertMacLayout, EveryFailedStepGivesTheFileBack) {
    struct Row {
        const char* from;
        VantrelMacLayout to;
        bool recordHas;   // the record shows the Finder information
        bool afpInfo;     // the AfpInfo stream does
        bool forkStream;  // the fork is in the AFP_Resource stream (else the sidecar)
    };
    const std::vector<Row> rows{
        {"netatalk", kVantrelMacLayoutStream, true, true, true},
        {"netatalk", kVantrelMacLayoutStreamFile, true, true, false},
        {"stream", kVantrelMacLayoutNetatalk, true, false, false},
        {"stream", kVantrelMacLayoutStreamFile, false, true, false},
        {"macOS", kVantrelMacLayoutNetatalk, true, false, false},
        // Its Finder information in the AfpInfo stream alone: no record made.
        {"macOS", kVantrelMacLayoutStream, false, true, true},
        {"netatalk2", kVantrelMacLayoutNetatalk, true, false, false},
        {"netatalk2", kVantrelMacLayoutStream, true, true, true},
        {"netatalk2", kVantrelMacLayoutStreamFile, true, true, false},
    };
    vtest::TempDir dir("convert");
    int n = 0;
    for (const bool wholeFolder : {false, true})
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.from) + " to " + std::to_string(row.to) +
                         (wholeFolder ? ", the folder's conversion" : ""));
            vtest::FaultSweep sweep;
            sweep.run([&](vtest::FaultTrial& t) {
                const fs::path root = dir.mkdir("t" + std::to_string(++n));
                const fs::path f = make_in_layout(root, row.from);
                FSRef ref = ref_of(f);
                FSRef folder = ref_of(root);
                const vtest::Snapshot before = vtest::snapshot(root);
                VantrelConvertReport report{};
                const OSErr e = t.inject([&] {
                    if (!wholeFolder) return VantrelFSConvertMacLayout(&ref, row.to, 0, &report);
                    OSErr called = noErr;
                    const std::vector<ConvertVisited> v =
                        convert_folder(&folder, row.to, 0, &called);
                    if (called != noErr) return called;
                    if (v.size() != 1 || v[0].name != "f") return OSErr(ioErr);  // not reported
                    report = v[0].report;
                    return v[0].result;
                });
                if (!t.clean()) {
                    t.expect_undone(e, before, vtest::snapshot(root));
                    return;
                }
                EXPECT_OSERR(e, noErr);
                EXPECT_NE(report.moved, 0u);
                // A benign step that failed (an old copy's removal, once the new
                // one stands) is finished by the next run.
                EXPECT_OSERR(VantrelFSConvertMacLayout(&ref, row.to, 0, &report), noErr);
                EXPECT_EQ(vtest::record_finder_info(f),
                          row.recordHas ? finder("TEXTttxt") : std::string(32, '\0'));
                EXPECT_EQ(xattr(f, kAfpInfo),
                          row.afpInfo ? afp_info(finder("TEXTttxt")) : "<absent>");
                EXPECT_EQ(xattr(f, kAfpResource),
                          row.forkStream ? std::string("the fork") + '\0' : "<absent>");
                EXPECT_EQ(vtest::sidecar_fork(f), row.forkStream ? "<absent>" : "the fork");
                if (!row.forkStream) {
                    EXPECT_EQ(vtest::raw_sidecar(f).substr(8, 16), "Netatalk        ");
                }
                // Netatalk 2's entry is gone, its comment in the record.
                EXPECT_FALSE(fs::exists(root / ".AppleDouble"));
                if (std::string(row.from) == "netatalk2") {
                    EXPECT_EQ(vtest::appledouble_entry(xattr(f, "user.org.netatalk.Metadata"), 4)
                                  .substr(0, 16),
                              "kept by Netatalk");
                }
                // Done again, nothing is left to move.
                EXPECT_OSERR(VantrelFSConvertMacLayout(&ref, row.to, 0, &report), noErr);
                EXPECT_EQ(report.moved, 0u);
            });
        }
}

// A dry run changes nothing and says what a run would do; what is no
// conversion's is refused, and a fork too large for the stream stays.
TEST(ConvertMacLayout, DryRunsRefusalsAndWhatTheLayoutCannotHold) {
    vtest::TempDir dir("convert");
    const fs::path f = make_in_layout(dir.path(), "netatalk");
    const fs::path n2 = make_in_layout(dir.mkdir("n2"), "netatalk2");
    const fs::path junk = vtest::write_file(dir.path() / "junk", "data");
    fs::create_directory(dir.path() / ".AppleDouble");
    vtest::write_bytes(dir.path() / ".AppleDouble" / "junk", "no AppleDouble file");
    const fs::path big = vtest::write_file(dir.path() / "big", "data");
    vtest::write_sidecar(big, std::string(70000, 'r'));
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    const vtest::Snapshot before = vtest::snapshot(dir.path());
    FSRef ref = ref_of(f), bigRef = ref_of(big), fifoRef = ref_of(dir.path() / "fifo");
    FSRef n2Ref = ref_of(n2), junkRef = ref_of(junk);
    struct Row {
        const char* what;
        const FSRef* ref;
        VantrelMacLayout to;
        UInt32 options;
        OSErr want;
        VantrelConvertItems moved;
        VantrelConvertItems kept = 0;
    };
    const std::vector<Row> rows{
        {"dry run", &ref, kVantrelMacLayoutStream, kVantrelConvertDryRun, noErr,
         kVantrelConvertFinderInfo | kVantrelConvertFork},
        {"dry run, already there", &ref, kVantrelMacLayoutNetatalk, kVantrelConvertDryRun, noErr,
         0},
        {"no reference", nullptr, kVantrelMacLayoutStream, 0, paramErr, 0},
        {"no layout", &ref, 9, 0, paramErr, 0},
        {"an unknown option", &ref, kVantrelMacLayoutStream, 8, paramErr, 0},
        {"a FIFO", &fifoRef, kVantrelMacLayoutStream, 0, notAFileErr, 0},
        {"a fork past an attribute", &bigRef, kVantrelMacLayoutStream, 0, fileBoundsErr, 0},
        {"the same, dry", &bigRef, kVantrelMacLayoutStream, kVantrelConvertDryRun, fileBoundsErr,
         0},
        {"Netatalk 2's entry, dry", &n2Ref, kVantrelMacLayoutStream, kVantrelConvertDryRun, noErr,
         kVantrelConvertFinderInfo | kVantrelConvertFork | kVantrelConvertAppleDouble},
        {"an entry that is no AppleDouble file", &junkRef, kVantrelMacLayoutStream, 0, noErr, 0,
         kVantrelConvertAppleDouble},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        VantrelConvertReport report{7, 7};
        EXPECT_OSERR(VantrelFSConvertMacLayout(row.ref, row.to, row.options, &report), row.want);
        if (row.want == noErr) {
            EXPECT_EQ(report.moved, row.moved);
            EXPECT_EQ(report.kept, row.kept);
        }
    }
    EXPECT_EQ(vtest::diff(before, vtest::snapshot(dir.path())), "");
}

// A sparse fork Netatalk 2 kept (a disk image's) keeps its holes wherever it
// goes: a conversion to a sidecar layout, and a change through the fork,
// copy only its data, and the fork reads the same.
TEST(ConvertMacLayout, ASparseForkLeavesAppleDoubleWithItsHoles) {
    constexpr std::size_t kFork = std::size_t{16} << 20;
    struct Row {
        const char* what;
        VantrelMacLayout to;  // 0: a write of the fork's first byte instead
    };
    const std::vector<Row> rows{
        {"converted to netatalk", kVantrelMacLayoutNetatalk},
        {"converted to stream+file", kVantrelMacLayoutStreamFile},
        {"written through the fork", 0},
    };
    vtest::TempDir dir("sparse");
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const fs::path f = vtest::write_file(dir.mkdir("t" + std::to_string(++n)) / "f", "data");
        vtest::Netatalk2 a;
        a.finder32 = finder("TEXTttxt");
        a.fork = "head" + std::string(kFork - 8, '\0') + "tail";
        const std::string bytes = vtest::netatalk2_bytes(a);
        const fs::path entry = vtest::netatalk2_path(f, false);
        fs::create_directories(entry.parent_path());
        // Only the header and the fork's two ends are written: the rest is a hole.
        vtest::write_bytes(entry, bytes.substr(0, bytes.size() - kFork + 4));
        fs::resize_file(entry, bytes.size() - 4);
        {
            std::ofstream out(entry, std::ios::binary | std::ios::app);
            out << "tail";
        }
        struct stat st {};
        ASSERT_EQ(::stat(entry.c_str(), &st), 0);
        if (st.st_blocks * 512 >= 1 << 20) GTEST_SKIP() << "this file system keeps no holes";
        FSRef ref = ref_of(f);
        if (row.to != 0) {
            VantrelConvertReport report{};
            ASSERT_OSERR(VantrelFSConvertMacLayout(&ref, row.to, 0, &report), noErr);
            EXPECT_NE(report.moved & kVantrelConvertFork, 0u);
            EXPECT_FALSE(fs::exists(entry));
        } else {
            const HFSUniStr255 rsrc = vtest::resource_fork_name();
            FSIORefNum fork = 0;
            ASSERT_OSERR(FSOpenFork(&ref, rsrc.length, rsrc.unicode, fsRdWrPerm, &fork), noErr);
            EXPECT_OSERR(FSWriteFork(fork, fsFromStart, 0, 1, "H", nullptr), noErr);
            EXPECT_OSERR(FSCloseFork(fork), noErr);
            a.fork[0] = 'H';
        }
        ASSERT_EQ(::stat(vtest::sidecar_path(f).c_str(), &st), 0);
        EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the holes were filled";
        std::string fork;
        EXPECT_OSERR(vtest::read_resource_fork(ref, &fork), noErr);
        EXPECT_TRUE(fork == a.fork) << "the fork reads " << fork.size() << " bytes, not the same";
    }
}

// A file with nothing to move is converted without waiting for its
// folder's lock, which another change may hold for long (a large fork's
// copy): a tree's conversion is not held up by each of its plain files.
TEST(ConvertMacLayout, NothingToMoveTakesNoFolderLock) {
    vtest::TempDir dir("convert");
    const fs::path plain = vtest::write_file(dir.path() / "plain", "data");
    // Another holder of the lock, as another process's change would hold it.
    const int held = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const auto r = vtest::run_child(vtest::Child::Plain, [&]() -> std::string {
        ::alarm(20);  // a wait for the lock ends the child, and the test fails
        FSRef ref = ref_of(plain);
        VantrelConvertReport report{7, 7};
        const OSErr e = VantrelFSConvertMacLayout(&ref, kVantrelMacLayoutStream, 0, &report);
        if (e != noErr) return "converted with " + std::to_string(e);
        if (report.moved != 0 || report.kept != 0) return "it said something moved";
        // Nor the folder's conversion, which tells it by its list alone.
        FSRef folder = ref_of(dir.path());
        std::vector<OSErr> results;
        const OSErr fe = VantrelFSConvertFolderMacLayout(
            &folder, kVantrelMacLayoutStream, 0,
            [](const VantrelDiskName*, OSErr result, const VantrelConvertReport* r,
               void* context) -> Boolean {
                static_cast<std::vector<OSErr>*>(context)->push_back(r->moved != 0 ? 1 : result);
                return false;
            },
            &results);
        if (fe != noErr) return "the folder converted with " + std::to_string(fe);
        if (results != std::vector<OSErr>{noErr}) return "the folder's item was not told plain";
        return "";
    });
    ::close(held);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, "");
}

// A folder's conversion tells each of its items in the order of their
// names, as the conversion of each alone would, and moves what each has.
TEST(ConvertMacLayout, AFoldersConversionTellsEachItemAndMovesWhatItHas) {
    ::unsetenv("VANTREL_MAC_LAYOUT");
    vtest::TempDir dir("convert");
    const fs::path root = dir.path();
    const fs::path mac = vtest::write_file(root / "a", "data");
    vtest::write_bytes(vtest::sidecar_path(mac),
                       vtest::macos_sidecar_bytes(finder("TEXTttxt"), {}, "the fork"));
    fs::create_directory(root / "folder");
    fs::create_directory(root / "._folder");  // a folder under such a name is an item
    fs::create_symlink("plain", root / "link");
    vtest::write_file(root / "plain", "");
    vtest::write_file(root / "._own", "a file of the user's own, no item");
    const fs::path stream = vtest::write_file(root / "stream", "");
    set_xattr(stream, kAfpInfo, afp_info(finder("BIGGbigg")));
    FSRef folder = ref_of(root);
    struct Row {
        std::string name;
        OSErr result;
        VantrelConvertItems moved;
    };
    const std::vector<Row> want{
        {"._folder", noErr, 0},
        {"a", noErr, kVantrelConvertMacOSFile},
        {"folder", noErr, 0},
        {"link", notAFileErr, 0},
        {"plain", noErr, 0},
        {"stream", noErr, kVantrelConvertFinderInfo | kVantrelConvertCleared},
    };
    for (const UInt32 options : {UInt32(kVantrelConvertDryRun), UInt32(0)}) {
        SCOPED_TRACE(options != 0 ? "dry run" : "converted");
        OSErr e = noErr;
        const std::vector<ConvertVisited> seen =
            convert_folder(&folder, kVantrelMacLayoutNetatalk, options, &e);
        EXPECT_OSERR(e, noErr);
        ASSERT_EQ(seen.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(want[i].name);
            EXPECT_EQ(seen[i].name, want[i].name);
            EXPECT_OSERR(seen[i].result, want[i].result);
            EXPECT_EQ(seen[i].report.moved & want[i].moved, want[i].moved);
            if (want[i].moved == 0) {
                EXPECT_EQ(seen[i].report.moved, 0u);
            }
            // What the conversion of the item alone says of it.
            if (options != 0 && want[i].result == noErr) {
                FSRef one = ref_of(root / want[i].name);
                VantrelConvertReport alone{};
                EXPECT_OSERR(
                    VantrelFSConvertMacLayout(&one, kVantrelMacLayoutNetatalk, options, &alone),
                    noErr);
                EXPECT_EQ(alone.moved, seen[i].report.moved);
            }
        }
    }
    EXPECT_EQ(vtest::record_finder_info(mac), finder("TEXTttxt"));
    EXPECT_EQ(vtest::raw_sidecar(mac).substr(8, 16), "Netatalk        ");
    EXPECT_EQ(vtest::sidecar_fork(mac), "the fork");
    EXPECT_EQ(vtest::record_finder_info(stream), finder("BIGGbigg"));
    EXPECT_EQ(xattr(stream, kAfpInfo), "<absent>");
    EXPECT_TRUE(fs::exists(root / "._own"));
    // Done again, nothing moves; a visitor that stops has one visit.
    OSErr e = noErr;
    for (const ConvertVisited& v : convert_folder(&folder, kVantrelMacLayoutNetatalk, 0, &e))
        EXPECT_EQ(v.report.moved, 0u) << v.name;
    EXPECT_EQ(convert_folder(&folder, kVantrelMacLayoutNetatalk, 0, &e, 1).size(), 1u);
    // What is refused before anything is read.
    FSRef file = ref_of(stream);
    convert_folder(nullptr, kVantrelMacLayoutNetatalk, 0, &e);
    EXPECT_OSERR(e, paramErr);
    convert_folder(&folder, 9, 0, &e);
    EXPECT_OSERR(e, paramErr);
    convert_folder(&folder, kVantrelMacLayoutNetatalk, 2, &e);
    EXPECT_OSERR(e, paramErr);
    EXPECT_OSERR(
        VantrelFSConvertFolderMacLayout(&folder, kVantrelMacLayoutNetatalk, 0, nullptr, nullptr),
        paramErr);
    convert_folder(&file, kVantrelMacLayoutNetatalk, 0, &e);
    EXPECT_OSERR(e, errFSNotAFolder);
}
