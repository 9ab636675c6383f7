// A "._NAME" file merged into its volume's layout: every failure of a step
// gives the file and its "._" file back as they were, and the arguments
// and entries that are no merge's are refused before anything changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace

TEST(MergeDotUnderscore, EveryFailedStepGivesBothFilesBack) {
    for (const char* layout : {"netatalk", "stream"}) {
        SCOPED_TRACE(layout);
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
                return VantrelFSMergeDotUnderscore(&folder, &name, kVantrelMergeKeepDotBar, 0,
                                                   &report);
            });
            if (t.clean()) {
                EXPECT_OSERR(e, noErr);
                EXPECT_EQ(xattr(f, kQuarantine), std::string("from the Mac") + '\0');
                EXPECT_EQ(vtest::record_finder_info(f), finder("TEXTttxt"));
                // Finder information, two attributes, and on a stream volume the fork.
                const bool stream = std::string(layout) == "stream";
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
