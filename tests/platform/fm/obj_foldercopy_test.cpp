// A folder copy shows under its name only once whole: made and filled
// under a private name, named in one rename that replaces nothing, and
// undone when it cannot be finished or its maker dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "DirNames.h"
#include "FSTestSupport.h"
#include "OSErrTesting.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "fm/fork_sidecar.h"
#include "vantrel/Files.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

namespace {

namespace fs = std::filesystem;
namespace rsrc = vantrel::fm::rsrc;

// The items the File Manager lists in `dir` (a listing also recovers what
// dead changes left there).
std::set<std::string> listed(const fs::path& dir) {
    std::set<std::string> out;
    FSRef d = vtest::ref_of(dir);
    FSIterator it = nullptr;
    if (FSOpenIterator(&d, kFSIterateFlat, &it) != noErr) return {"<cannot list>"};
    for (;;) {
        HFSUniStr255 names[8];
        ItemCount n = 0;
        const OSErr e =
            FSGetCatalogInfoBulk(it, 8, &n, nullptr, 0, nullptr, nullptr, nullptr, names);
        for (ItemCount i = 0; i < n; ++i) out.insert(vtest::utf8(names[i]));
        if (e != noErr) break;
    }
    FSCloseIterator(it);
    return out;
}

std::set<std::string> private_entries(const fs::path& dir) {
    std::set<std::string> out;
    for (const std::string& n : vtest::names_on_disk(dir))
        if (rsrc::is_temporary_name(n)) out.insert(n);
    return out;
}

// Starts a copy of `src` into `dest` as N and fills it with a file and a
// folder holding another, as a tree copy does; with `openSub`, the folder
// inside is left unfinished there.
OSErr start_copy(const fs::path& src, const fs::path& dest, FSRef* copy, struct timespec times[2],
                 FSRef* openSub = nullptr) {
    const FSRef s = vtest::ref_of(src), d = vtest::ref_of(dest);
    const std::u16string name = vtest::u16("N");
    if (OSErr e = VantrelFSCreateFolderCopy(&s, &d, name.size(), vtest::uc(name), copy, times))
        return e;
    const FSRef file = vtest::ref_of(src / "F");
    if (OSErr e = VantrelFSCopyFileWhole(&file, copy, 0, nullptr, nullptr)) return e;
    const FSRef sub = vtest::ref_of(src / "sub");
    FSRef subCopy;
    struct timespec subTimes[2];
    if (OSErr e = VantrelFSCreateFolderCopy(&sub, copy, 0, nullptr, &subCopy, subTimes)) return e;
    const FSRef inner = vtest::ref_of(src / "sub" / "G");
    if (OSErr e = VantrelFSCopyFileWhole(&inner, &subCopy, 0, nullptr, nullptr)) return e;
    if (openSub != nullptr) {
        *openSub = subCopy;
        return noErr;
    }
    return VantrelFSFinishFolderCopy(&sub, &subCopy, subTimes, nullptr);
}

void make_source(const fs::path& src) {
    vtest::write_file(src / "F", "file data");
    vtest::write_sidecar(src / "F", "fork of F");
    vtest::write_file(src / "sub" / "G", "inner data");
    ASSERT_EQ(::chmod(src.c_str(), 0751), 0);
}

TEST(FolderCopy, ShowsUnderItsNameOnlyWhenWholeAndIsUndoneOtherwise) {
    struct Row {
        const char* what;
        // What another program does while the copy is filled.
        std::function<void(const fs::path& dest)> meanwhile;
        const char* failStep;  // a step of the finish that fails, or none
        OSErr expect;
        // Given up instead of finished, through the top ("top") or the
        // unfinished folder inside it ("sub").
        const char* abandon = nullptr;
    };
    const Row rows[] = {
        {"filled, then named", nullptr, nullptr, noErr},
        {"a folder of the user's takes the name meanwhile",
         [](const fs::path& dest) { vtest::write_file(dest / "N" / "mine", "the user's"); },
         nullptr, dupFNErr},
        {"a file takes the name meanwhile",
         [](const fs::path& dest) { vtest::write_file(dest / "N", "the user's"); }, nullptr,
         dupFNErr},
        // A fork left by a file of that name that is gone must not become
        // the folder's.
        {"an orphan fork stands at the name",
         [](const fs::path& dest) { vtest::write_sidecar(dest / "N", "nobody's fork"); }, nullptr,
         noErr},
        {"its mode cannot be given", nullptr, "VantrelFSFinishFolderCopy.chmod", ioErr},
        {"the rename fails", nullptr, "VantrelFSFinishFolderCopy.name", ioErr},
        {"given up", nullptr, nullptr, noErr, "top"},
        {"given up through a folder inside it", nullptr, nullptr, noErr, "sub"},
        // What cannot be removed at once never shows, and the next listing
        // removes it.
        {"given up, and its removal fails", nullptr, "VantrelFSFinishFolderCopy.undo", ioErr,
         "top"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir t("foldercopy");
        const fs::path src = t.path() / "src", dest = t.mkdir("dest");
        make_source(src);
        if (::testing::Test::HasFatalFailure()) return;
        vtest::write_file(dest / "other", "stays");
        FSRef copy, sub;
        struct timespec times[2];
        ASSERT_EQ(start_copy(src, dest, &copy, times, row.abandon != nullptr ? &sub : nullptr),
                  noErr);
        EXPECT_EQ(listed(dest), std::set<std::string>{"other"}) << "no one sees it being filled";
        EXPECT_FALSE(fs::exists(dest / "N"));
        if (row.meanwhile) row.meanwhile(dest);
        const auto before = vtest::names_on_disk(dest);

        vantrel::fault::Scope scope;
        if (row.failStep != nullptr) vantrel::fault::fail_next(row.failStep, ioErr);
        const FSRef s = vtest::ref_of(src);
        if (row.abandon != nullptr) {
            EXPECT_EQ(VantrelFSAbandonFolderCopy(std::string(row.abandon) == "sub" ? &sub : &copy),
                      row.expect);
            EXPECT_EQ(listed(dest), std::set<std::string>{"other"});
            // Given up, it is no copy in progress: nothing finishes it.
            EXPECT_NE(VantrelFSFinishFolderCopy(&s, &copy, times, nullptr), noErr);
            EXPECT_FALSE(fs::exists(dest / "N"));
        } else {
            EXPECT_EQ(VantrelFSFinishFolderCopy(&s, &copy, times, nullptr), row.expect);
        }

        EXPECT_EQ(private_entries(dest), std::set<std::string>{}) << "the copy left nothing hidden";
        if (row.expect == noErr && row.abandon == nullptr) {
            struct stat st {};
            ASSERT_EQ(::lstat((dest / "N").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0751u);
            EXPECT_EQ(vtest::read_file(dest / "N" / "F"), "file data");
            EXPECT_EQ(vtest::sidecar_fork(dest / "N" / "F"), "fork of F");
            EXPECT_EQ(vtest::read_file(dest / "N" / "sub" / "G"), "inner data");
            EXPECT_FALSE(fs::exists(dest / "._N")) << "no fork of another's for the folder";
            EXPECT_EQ(listed(dest), (std::set<std::string>{"N", "other"}));
        } else if (row.meanwhile) {
            // What took the name is as it was put there.
            std::set<std::string> visible;
            for (const std::string& n : before)
                if (!rsrc::is_temporary_name(n)) visible.insert(n);
            EXPECT_EQ(vtest::names_on_disk(dest), visible);
            const fs::path theirs = fs::is_directory(dest / "N") ? dest / "N" / "mine" : dest / "N";
            EXPECT_EQ(vtest::read_file(theirs), "the user's");
        } else {
            EXPECT_EQ(vtest::names_on_disk(dest), std::set<std::string>{"other"});
        }
    }
}

// A copy whose maker dies before it is named never shows: a listing while
// the maker lives leaves it be, the first listing after its death removes
// it with all it holds, and nothing of anyone else's.
TEST(FolderCopy, OneWhoseMakerDiedIsRemovedByTheNextListingAndNothingElse) {
    vtest::TempDir t("foldercopy");
    const fs::path src = t.path() / "src", dest = t.mkdir("dest");
    make_source(src);
    if (::testing::Test::HasFatalFailure()) return;
    vtest::write_file(dest / "other", "stays");
    // A folder a user made under a private-looking name has no journal:
    // it is no copy of ours to undo.
    const std::string mine = std::string(rsrc::kTemporaryPrefix) + "1.0123456789abcdef.1";
    vtest::write_file(dest / mine / "kept", "the user's");
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t maker = ::fork();
    if (maker == 0) {
        FSRef copy;
        struct timespec times[2];
        const char ok = start_copy(src, dest, &copy, times) == noErr ? 1 : 0;
        (void)!::write(ready[1], &ok, 1);
        char c;
        (void)!::read(go[0], &c, 1);
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    const auto madeNames = private_entries(dest);
    EXPECT_EQ(madeNames.size(), 3u) << "the copy and its journal beside the user's folder";
    EXPECT_EQ(listed(dest), std::set<std::string>{"other"});
    EXPECT_EQ(private_entries(dest), madeNames) << "a live maker's copy is left to it";

    ::kill(maker, SIGKILL);
    ASSERT_EQ(::waitpid(maker, nullptr, 0), maker);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
    EXPECT_EQ(listed(dest), std::set<std::string>{"other"});
    EXPECT_EQ(vtest::names_on_disk(dest), (std::set<std::string>{"other", mine}));
    EXPECT_EQ(vtest::read_file(dest / mine / "kept"), "the user's");
}

}  // namespace

// What a dead maker's copy left never keeps its destination from being
// deleted: the deletion undoes the copy first, as a listing would, and
// never takes its private folder for a file of the user's.
TEST(FolderCopy, OneWhoseMakerDiedNeverKeepsItsFolderFromBeingDeleted) {
    vtest::TempDir t("foldercopy");
    const fs::path src = t.path() / "src", dest = t.mkdir("dest");
    make_source(src);
    if (::testing::Test::HasFatalFailure()) return;
    const pid_t maker = ::fork();
    if (maker == 0) {
        FSRef copy;
        struct timespec times[2];
        ::_exit(start_copy(src, dest, &copy, times) == noErr ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(maker, &status, 0), maker);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(private_entries(dest).size(), 2u) << "the copy and its journal";
    const FSRef d = vtest::ref_of(dest);
    EXPECT_OSERR(FSDeleteObject(&d), noErr);
    EXPECT_FALSE(fs::exists(dest));
}
