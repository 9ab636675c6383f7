// What a "._NAME" entry is, as the File Manager answers it for programs:
// the same answer its own deletions and copies act on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "FSTestSupport.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "vantrel/Sidecars.h"

namespace {

namespace fs = std::filesystem;
using vtest::ref_of;

VantrelDiskName disk_name(const std::string& s) {
    VantrelDiskName n{};
    n.length = static_cast<UInt8>(s.size());
    std::memcpy(n.bytes, s.data(), s.size());
    return n;
}

const char* kind_name(VantrelHiddenKind k) {
    switch (k) {
        case kVantrelHiddenFork:
            return "fork";
        case kVantrelHiddenOrphan:
            return "orphan";
        case kVantrelHiddenOwnFile:
            return "own";
        case kVantrelHiddenLeftover:
            return "leftover";
        case kVantrelHiddenInProgress:
            return "in progress";
        default:
            return "?";
    }
}

// A temporary whose maker is at work: made and locked as its maker locks it,
// the descriptor kept open for the rest of the test program.
void hold_live_temporary(const fs::path& p) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
}

TEST(HiddenEntries, EachIsAForkAnOrphanOrTheUsersOwn) {
    struct Row {
        const char* entry;  // in the folder
        const char* want;   // its kind
        void (*make)(const fs::path& folder);
    };
    const Row rows[] = {
        {"._f", "fork",
         [](const fs::path& d) {
             vtest::write_bytes(d / "f", "data");
             vtest::write_sidecar(d / "f", "fork of f");
         }},
        {"._gone", "orphan",
         [](const fs::path& d) { vtest::write_bytes(d / "._gone", vtest::sidecar_bytes("f")); }},
        {"._notes", "own",
         [](const fs::path& d) {
             vtest::write_bytes(d / "notes", "n");
             vtest::write_bytes(d / "._notes", "my notes");
         }},
        {"._magic", "own",
         [](const fs::path& d) {
             // The AppleDouble magic, and then no valid header.
             vtest::write_bytes(d / "magic", "m");
             vtest::write_bytes(d / "._magic",
                                std::string("\x00\x05\x16\x07", 4) + " and then my own bytes");
         }},
        {"._magicgone", "own",
         [](const fs::path& d) {
             vtest::write_bytes(d / "._magicgone", std::string("\x00\x05\x16\x07", 4) + "xx");
         }},
        {"._link", "own",
         [](const fs::path& d) {
             vtest::write_bytes(d / "link", "l");
             fs::create_symlink("elsewhere", d / "._link");
         }},
        {"._fifo", "own",
         [](const fs::path& d) {
             vtest::write_bytes(d / "fifo", "p");
             ::mkfifo((d / "._fifo").c_str(), 0600);
         }},
        {"._dir", "own",
         [](const fs::path& d) {
             vtest::write_bytes(d / "dir", "d");
             fs::create_directory(d / "._dir");
         }},
        {"._", "own", [](const fs::path& d) { vtest::write_bytes(d / "._", "no NAME"); }},
        // A change's private temporary: a leftover once its maker is gone
        // (nothing holds its lock), its maker's while it lives.
        {"._._vantrel.1.dead.1", "leftover",
         [](const fs::path& d) {
             vtest::write_bytes(d / "._._vantrel.1.dead.1", vtest::sidecar_bytes("half"));
         }},
        {"._._vantrel.2.data.1", "leftover",
         [](const fs::path& d) { vtest::write_bytes(d / "._._vantrel.2.data.1", "half a file"); }},
        {"._._vantrel.3.live.1", "in progress",
         [](const fs::path& d) { hold_live_temporary(d / "._._vantrel.3.live.1"); }},
    };
    vtest::TempDir t;
    const fs::path d = t.mkdir("d");
    vtest::write_bytes(d / "plain", "no sidecar");
    for (const Row& row : rows) row.make(d);
    FSRef folder = ref_of(d);
    std::map<std::string, std::string> seen;
    ASSERT_EQ(VantrelFSGetHiddenEntries(
                  &folder,
                  [](const VantrelDiskName* n, VantrelHiddenKind k, void* c) -> Boolean {
                      (*static_cast<std::map<std::string, std::string>*>(
                          c))[std::string(reinterpret_cast<const char*>(n->bytes), n->length)] =
                          kind_name(k);
                      return false;
                  },
                  &seen),
              noErr);
    for (const Row& row : rows) {
        EXPECT_EQ(seen[row.entry], row.want) << row.entry << " in the walk";
        const VantrelDiskName n = disk_name(row.entry);
        VantrelHiddenKind k = 0;
        EXPECT_EQ(VantrelFSGetHiddenEntryKind(&folder, &n, &k), noErr) << row.entry;
        EXPECT_STREQ(kind_name(k), row.want) << row.entry << " asked alone";
    }
    EXPECT_EQ(seen.size(), std::size(rows)) << "only the \"._\" entries are visited";

    // A visit that answers true ends the walk.
    int visits = 0;
    EXPECT_EQ(VantrelFSGetHiddenEntries(
                  &folder,
                  [](const VantrelDiskName*, VantrelHiddenKind, void* c) -> Boolean {
                      return ++*static_cast<int*>(c) == 2;
                  },
                  &visits),
              noErr);
    EXPECT_EQ(visits, 2);

    // Bad input changes nothing and says so.
    VantrelHiddenKind k = 0;
    const VantrelDiskName plain = disk_name("plain"), missing = disk_name("._missing"),
                          slash = disk_name("._a/b");
    EXPECT_EQ(VantrelFSGetHiddenEntryKind(&folder, &plain, &k), paramErr);
    EXPECT_EQ(VantrelFSGetHiddenEntryKind(&folder, &slash, &k), paramErr);
    EXPECT_EQ(VantrelFSGetHiddenEntryKind(&folder, &missing, &k), fnfErr);
    EXPECT_EQ(VantrelFSGetHiddenEntryKind(nullptr, &missing, &k), paramErr);
    EXPECT_EQ(VantrelFSGetHiddenEntries(&folder, nullptr, nullptr), paramErr);
    FSRef file = ref_of(d / "plain");
    EXPECT_EQ(VantrelFSGetHiddenEntries(
                  &file,
                  [](const VantrelDiskName*, VantrelHiddenKind, void*) -> Boolean { return false; },
                  nullptr),
              errFSNotAFolder);
}

// Only a leftover goes: an orphan or a dead maker's temporary; a fork, the
// user's own file and a running change's temporary stay, and say why.
TEST(HiddenEntries, RemoveLeftoverTakesOrphansAndDeadTemporariesOnly) {
    struct Row {
        const char* entry;
        OSErr want;
        bool goes;
    };
    const Row rows[] = {
        {"._f", fBsyErr, false},
        {"._gone", noErr, true},
        {"._notes", fBsyErr, false},
        {"._._vantrel.1.dead.1", noErr, true},
        {"._._vantrel.3.live.1", fBsyErr, false},
        {"._missing", fnfErr, false},
    };
    vtest::TempDir t;
    const fs::path d = t.mkdir("d");
    vtest::write_bytes(d / "f", "data");
    vtest::write_sidecar(d / "f", "fork of f");
    vtest::write_bytes(d / "._gone", vtest::sidecar_bytes("orphan"));
    vtest::write_bytes(d / "notes", "n");
    vtest::write_bytes(d / "._notes", "my notes");
    vtest::write_bytes(d / "._._vantrel.1.dead.1", vtest::sidecar_bytes("half"));
    hold_live_temporary(d / "._._vantrel.3.live.1");
    FSRef folder = ref_of(d);
    for (const Row& row : rows) {
        const VantrelDiskName n = disk_name(row.entry);
        EXPECT_EQ(VantrelFSRemoveLeftover(&folder, &n), row.want) << row.entry;
        if (std::string_view(row.entry) != "._missing") {
            EXPECT_EQ(fs::exists(d / row.entry), !row.goes) << row.entry;
        }
    }
    EXPECT_EQ(vtest::read_file(d / "f"), "data");
    const VantrelDiskName plain = disk_name("f"), slash = disk_name("._a/b");
    EXPECT_EQ(VantrelFSRemoveLeftover(&folder, &plain), paramErr);
    EXPECT_EQ(VantrelFSRemoveLeftover(&folder, &slash), paramErr);
    EXPECT_EQ(VantrelFSRemoveLeftover(nullptr, &plain), paramErr);
    EXPECT_EQ(VantrelFSRemoveLeftover(&folder, nullptr), paramErr);
    EXPECT_TRUE(fs::exists(d / "f"));
}

}  // namespace
