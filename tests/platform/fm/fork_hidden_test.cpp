// What a "._NAME" entry is, as the File Manager answers it for programs:
// the same answer its own deletions and copies act on.
#include <gtest/gtest.h>
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
        default:
            return "?";
    }
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

}  // namespace
