// Catalogue iterators: batches, the end of a directory, the changed flag,
// delete mode, links, access rights and the count of open iterators.
#include "fm/iter_catalog.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "Child.h"
#include "FSTestSupport.h"
#include "Sidecar.h"

using namespace vtest;
namespace fm = vantrel::fm;

TEST(Iterator, BatchesEndAndCount) {
    vtest::TempDir t;
    for (int i = 0; i < 5; ++i) t.write("d/f" + std::to_string(i), std::string(i, 'x'));
    FSRef d = ref_of(t / "d");
    long open0 = fm::open_iterator_count();
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&d, kFSIterateFlat, &it), noErr);
    EXPECT_EQ(fm::open_iterator_count(), open0 + 1);

    FSCatalogInfo infos[3];
    FSRef refs[3];
    HFSUniStr255 names[3];
    FSSpec specs[3];
    ItemCount n = 99;
    Boolean changed = true;
    ASSERT_EQ(FSGetCatalogInfoBulk(it, 3, &n, &changed, kFSCatInfoDataSizes | kFSCatInfoNodeFlags,
                                   infos, refs, specs, names),
              noErr);
    EXPECT_EQ(n, 3u);
    EXPECT_FALSE(changed);
    std::set<std::string> seen;
    for (ItemCount i = 0; i < n; ++i) {
        std::string nm = utf8(names[i]);
        seen.insert(nm);
        EXPECT_EQ(infos[i].dataLogicalSize, UInt64(nm[1] - '0')) << nm;
        EXPECT_EQ(path_of(refs[i]), (std::filesystem::canonical(t / "d") / nm).string());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(specs[i].name + 1), specs[i].name[0]), nm);
    }
    ASSERT_EQ(FSGetCatalogInfoBulk(it, 3, &n, nullptr, 0, nullptr, refs, nullptr, names),
              errFSNoMoreItems)
        << "the last batch comes with the end";
    EXPECT_EQ(n, 2u);
    for (ItemCount i = 0; i < n; ++i) seen.insert(utf8(names[i]));
    EXPECT_EQ(seen.size(), 5u);
    ASSERT_EQ(FSGetCatalogInfoBulk(it, 3, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
              errFSNoMoreItems);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(FSGetCatalogInfoBulk(it, 0, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
              errFSBadItemCount);
    EXPECT_EQ(FSGetCatalogInfoBulk(it, 1, nullptr, nullptr, 0, nullptr, refs, nullptr, nullptr),
              paramErr);
    ASSERT_EQ(FSCloseIterator(it), noErr);
    EXPECT_EQ(fm::open_iterator_count(), open0);
    EXPECT_EQ(FSCloseIterator(it), errFSIteratorNotFound)
        << "a closed iterator is refused, not reused";
    EXPECT_EQ(FSGetCatalogInfoBulk(it, 1, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
              errFSIteratorNotFound);
    EXPECT_EQ(fm::open_iterator_count(), open0);
}

TEST(Iterator, OpeningRulesAndBadInput) {
    vtest::TempDir t;
    auto f = t.write("file", "x");
    FSRef fr = ref_of(f);
    FSRef dr = ref_of(t.path());
    FSIterator it = nullptr;
    long open0 = fm::open_iterator_count();
    EXPECT_EQ(FSOpenIterator(&fr, kFSIterateFlat, &it), errFSNotAFolder);
    EXPECT_EQ(FSOpenIterator(&dr, kFSIterateSubtree, &it), errFSIteratorNotSupported);
    EXPECT_EQ(FSOpenIterator(&dr, 7, &it), errFSBadIteratorFlags);
    EXPECT_EQ(FSOpenIterator(&dr, kFSIterateFlat, nullptr), paramErr);
    FSRef zero{};
    EXPECT_EQ(FSOpenIterator(&zero, kFSIterateFlat, &it), fnfErr);
    EXPECT_EQ(FSCloseIterator(nullptr), paramErr);
    EXPECT_EQ(fm::open_iterator_count(), open0) << "no failed open leaves one behind";
}

TEST(Iterator, ChangedFlagAndLinks) {
    vtest::TempDir t;
    t.write("d/a", "");
    t.write("outside/x", "");
    std::filesystem::create_directory_symlink(t / "outside", t / "d/link");
    FSRef d = ref_of(t / "d");
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&d, kFSIterateFlat, &it), noErr);
    FSCatalogInfo info{};
    ItemCount n = 0;
    Boolean changed = true;
    HFSUniStr255 name{};
    std::set<std::string> seen;
    ASSERT_EQ(FSGetCatalogInfoBulk(it, 1, &n, &changed, kFSCatInfoNodeFlags, &info, nullptr,
                                   nullptr, &name),
              noErr);
    EXPECT_FALSE(changed);
    seen.insert(utf8(name));
    if (utf8(name) == "link") {
        EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0) << "a link is not a folder";
    }
    t.write("d/new", "");
    // The change shows at the latest when the listing ends (between requests
    // it is looked for at most once a millisecond).
    OSErr e = noErr;
    while (e == noErr) {
        e = FSGetCatalogInfoBulk(it, 1, &n, &changed, kFSCatInfoNodeFlags, &info, nullptr, nullptr,
                                 &name);
        if (n == 1 && utf8(name) == "link") {
            EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
        }
    }
    EXPECT_EQ(e, errFSNoMoreItems);
    EXPECT_TRUE(changed) << "the directory changed since the iterator was opened";
    FSCloseIterator(it);

    // Listed references (no information asked) resolve like any other.
    ASSERT_EQ(FSOpenIterator(&d, kFSIterateFlat, &it), noErr);
    FSRef refs[8];
    ASSERT_EQ(FSGetCatalogInfoBulk(it, 8, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
              errFSNoMoreItems);
    EXPECT_EQ(n, 3u);
    std::set<std::string> paths;
    for (ItemCount i = 0; i < n; ++i) paths.insert(path_of(refs[i]));
    auto base = std::filesystem::canonical(t / "d");
    EXPECT_EQ(paths, (std::set<std::string>{base / "a", base / "link", base / "new"}));
    FSCloseIterator(it);
    // `a` replaced after the listing (on ext4 mostly on the same inode): its
    // listed reference names nothing now, the others still name their files.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a clock tick past the listing
    std::filesystem::remove(t / "d/a");
    t.write("d/a", "again");
    FSCatalogInfo ci{};
    int checked = 0;
    for (ItemCount i = 0; i < n; ++i) {
        const std::string p = path_of(refs[i]);
        OSErr e = FSGetCatalogInfo(&refs[i], kFSCatInfoNodeFlags, &ci, nullptr, nullptr, nullptr);
        if (p == (base / "new").string() || p == (base / "link").string()) {
            EXPECT_EQ(e, noErr) << p;
            ++checked;
        } else {
            EXPECT_EQ(p, "<no object: fnfErr (-43)>") << "the listed reference to the old a";
            EXPECT_EQ(e, fnfErr);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 3);
}

// A listed reference carries no birth time (the listing stats no file), yet
// it must never name a file born after the listing that took the old one's
// name and inode: deleting through it is fnfErr and the new file stays.
TEST(Iterator, AListedReferenceNeverNamesAFileBornAfterTheListing) {
    vtest::TempDir t;
    t.write("d/keep", "k");
    auto victim = t.write("d/victim", "old");
    const ino_t oldIno = ino_of(victim);
    FSRef d = ref_of(t / "d");
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&d, kFSIterateFlat, &it), noErr);
    FSRef refs[4];
    ItemCount n = 0;
    ASSERT_EQ(FSGetCatalogInfoBulk(it, 4, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
              errFSNoMoreItems);
    FSCloseIterator(it);
    ASSERT_EQ(n, 2u);
    const auto base = std::filesystem::canonical(t / "d");
    const FSRef& listedVictim = path_of(refs[0]) == (base / "victim").string() ? refs[0] : refs[1];
    const FSRef& listedKeep = &listedVictim == &refs[0] ? refs[1] : refs[0];

    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a clock tick past the listing
    // New files until one gets the old inode number, which then takes the old name.
    std::filesystem::remove(victim);
    bool reused = false;
    for (int i = 0; i < 256 && !reused; ++i) {
        auto p = t.write("d/n" + std::to_string(i), "new");
        reused = ino_of(p) == oldIno && ::rename(p.c_str(), victim.c_str()) == 0;
    }
    if (!reused) GTEST_SKIP() << "the file system did not reuse the inode number";
    EXPECT_EQ(FSDeleteObject(&listedVictim), fnfErr);
    EXPECT_EQ(vtest::read_file(victim), "new") << "the new file was deleted";
    EXPECT_EQ(path_of(listedKeep), (base / "keep").string());
    EXPECT_EQ(FSDeleteObject(&listedKeep), noErr) << "an unchanged file is still its listed self";
}

TEST(Iterator, DeleteModeVisitsEveryItemOnceWhileTheyAreDeleted) {
    vtest::TempDir t;
    // Long names make the listing span several reads of the directory.
    const int kCount = 800;
    for (int i = 0; i < kCount; ++i) t.write("d/" + std::string(60, 'n') + std::to_string(i), "");
    FSRef d = ref_of(t / "d");
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&d, kFSIterateDelete, &it), noErr);
    int deleted = 0;
    for (;;) {
        FSRef ref;
        ItemCount n = 0;
        OSErr e = FSGetCatalogInfoBulk(it, 1, &n, nullptr, 0, nullptr, &ref, nullptr, nullptr);
        if (n == 1) {
            ASSERT_EQ(FSDeleteObject(&ref), noErr);
            ++deleted;
        }
        if (e == errFSNoMoreItems) break;
        ASSERT_EQ(e, noErr);
    }
    FSCloseIterator(it);
    EXPECT_EQ(deleted, kCount);
    EXPECT_TRUE(std::filesystem::is_empty(t / "d"));
}

// A deletion walk lists an item and deletes it by the listed reference;
// whatever another process does to the name in between, the delete removes
// the listed item and nothing else, and a fork added meanwhile goes with
// its file or, locked, keeps it.
TEST(Iterator, DeleteModeDeletesOnlyWhatItListed) {
    struct Row {
        const char* label;
        void (*meddle)(const fs::path& victim);
        OSErr want;
        const char* left;  // what must be at the name afterwards (nullptr: nothing)
    };
    const Row rows[] = {
        {"left alone", [](const fs::path&) {}, noErr, nullptr},
        {"replaced by another file",
         [](const fs::path& v) {
             vtest::write_bytes(v.string() + ".new", "another file");
             fs::rename(v.string() + ".new", v);
         },
         fnfErr, "file"},
        {"replaced by a directory",
         [](const fs::path& v) {
             fs::remove(v);
             fs::create_directory(v);
         },
         fnfErr, "directory"},
        {"replaced by a symbolic link",
         [](const fs::path& v) {
             fs::remove(v);
             fs::create_symlink("elsewhere", v);
         },
         fnfErr, "link"},
        {"given a fork", [](const fs::path& v) { vtest::write_sidecar(v, "late fork"); }, noErr,
         nullptr},
        {"given a locked fork",
         [](const fs::path& v) {
             vtest::write_sidecar(v, "late fork");
             vtest::set_immutable(vtest::sidecar_path(v), true);
         },
         fLckdErr, "file"},
        {"locked", [](const fs::path& v) { vtest::set_immutable(v, true); }, fLckdErr, "file"},
    };
    for (const Row& row : rows) {
        vtest::TempDir t;
        const fs::path victim = t.write("d/victim", "listed");
        FSRef d = ref_of(t / "d");
        FSIterator it = nullptr;
        ASSERT_EQ(FSOpenIterator(&d, kFSIterateDelete, &it), noErr);
        FSRef ref;
        FSCatalogInfo info;
        ItemCount n = 0;
        FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNodeFlags, &info, &ref, nullptr,
                             nullptr);
        ASSERT_EQ(n, 1u) << row.label;
        row.meddle(victim);
        const bool locked =
            vtest::is_immutable(victim) || vtest::is_immutable(vtest::sidecar_path(victim));
        if (row.want == fLckdErr && !locked) {
            FSCloseIterator(it);
            continue;  // no right to lock files here
        }
        EXPECT_EQ(FSDeleteObject(&ref), row.want) << row.label;
        FSCloseIterator(it);
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(victim, ec);
        const char* left = !fs::exists(st)        ? nullptr
                           : fs::is_symlink(st)   ? "link"
                           : fs::is_directory(st) ? "directory"
                                                  : "file";
        EXPECT_STREQ(left, row.left) << row.label;
        if (row.want == noErr) {
            EXPECT_FALSE(fs::exists(vtest::sidecar_path(victim))) << row.label << ": its fork";
        }
        vtest::set_immutable(victim, false);
        vtest::set_immutable(vtest::sidecar_path(victim), false);
    }
}

TEST(Iterator, ADirectoryTheCallerMayNotReadIsAccessDenied) {
    vtest::TempDir t;
    ::chmod(t.path().c_str(), 0755);
    t.write("closed/x", "");
    ::chmod((t / "closed").c_str(), 0711);  // may pass through, may not list
    const std::string path = (t / "closed").string();
    const auto result = vtest::run_as_nobody([&]() -> std::string {
        FSRef r{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &r, nullptr) != noErr)
            return "no reference";
        FSIterator it = nullptr;
        const long before = fm::open_iterator_count();
        const OSErr e = FSOpenIterator(&r, kFSIterateFlat, &it);
        if (e != afpAccessDenied) return "FSOpenIterator gave " + vtest::oserr_text(e);
        if (fm::open_iterator_count() != before) return "an iterator was left open";
        return "";
    });
    if (!result) GTEST_SKIP() << vtest::kNeedsNobody;
    EXPECT_EQ(*result, "");
}

// Names (and references) alone come from the directory's entries without a
// stat of each item: a directory the caller may read but not search lists
// its names, as ls does, where asking for catalogue information fails.
TEST(Iterator, NamesAloneNeedNoRightToSearchTheDirectory) {
    vtest::TempDir t;
    ::chmod(t.path().c_str(), 0755);
    t.write("listable/caf\xC3\xA9", "");
    t.write("listable/plain", "");
    ::chmod((t / "listable").c_str(), 0744);  // may list, may not pass through
    const std::string path = (t / "listable").string();
    const auto result = vtest::run_as_nobody([&]() -> std::string {
        FSRef r{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &r, nullptr) != noErr)
            return "no reference";
        // Names only, then names with references.
        for (int withRefs = 0; withRefs < 2; ++withRefs) {
            const std::string what = withRefs ? "names with references: " : "names only: ";
            FSIterator it = nullptr;
            if (FSOpenIterator(&r, kFSIterateFlat, &it) != noErr) return what + "no iterator";
            HFSUniStr255 names[4];
            FSRef refs[4];
            ItemCount n = 0;
            const OSErr e = FSGetCatalogInfoBulk(it, 4, &n, nullptr, kFSCatInfoNone, nullptr,
                                                 withRefs ? refs : nullptr, nullptr, names);
            FSCloseIterator(it);
            if (e != errFSNoMoreItems || n != 2)
                return what + vtest::oserr_text(e) + " with " + std::to_string(n) + " items";
            std::set<std::string> seen;
            for (ItemCount i = 0; i < n; ++i) seen.insert(utf8(names[i]));
            if (seen != std::set<std::string>{"plain", "cafe\xCC\x81"}) return what + "wrong names";
        }
        // Catalogue information needs the stat the directory refuses.
        FSIterator it = nullptr;
        if (FSOpenIterator(&r, kFSIterateFlat, &it) != noErr) return "no iterator";
        FSCatalogInfo infos[4];
        ItemCount n = 0;
        const OSErr e = FSGetCatalogInfoBulk(it, 4, &n, nullptr, kFSCatInfoNodeFlags, infos,
                                             nullptr, nullptr, nullptr);
        FSCloseIterator(it);
        if (e == noErr || e == errFSNoMoreItems) return "catalogue information without a stat";
        return "";
    });
    if (!result) GTEST_SKIP() << vtest::kNeedsNobody;
    EXPECT_EQ(*result, "");
}

// The caller's access to each item is the effective user's when the bulk
// call is made: a process that becomes another user between two calls of
// one iterator sees that user's rights on the items that follow.
TEST(Iterator, AccessIsTheCallersAtEachCall) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    vtest::TempDir t;
    ::chmod(t.path().c_str(), 0755);
    for (const char* name : {"a", "b"}) {
        const auto f = t.write(std::string("d/") + name, "");
        ::chmod(f.c_str(), 0600);
    }
    ::chmod((t / "d").c_str(), 0755);
    const FSRef d = ref_of(t / "d");
    const auto result = vtest::run_child(vtest::Child::Plain, [&]() -> std::string {
        FSIterator it = nullptr;
        if (FSOpenIterator(&d, kFSIterateFlat, &it) != noErr) return "no iterator";
        std::string seen;
        for (int call = 0; call < 2; ++call) {
            if (call == 1 && ::seteuid(65534) != 0) return "SKIP";
            FSCatalogInfo info{};
            ItemCount n = 0;
            const OSErr e = FSGetCatalogInfoBulk(it, 1, &n, nullptr,
                                                 kFSCatInfoPermissions | kFSCatInfoUserPrivs, &info,
                                                 nullptr, nullptr, nullptr);
            if (n != 1) return "call " + std::to_string(call) + ": " + vtest::oserr_text(e);
            FSPermissionInfo p;
            std::memcpy(&p, info.permissions, sizeof p);
            seen += std::to_string(p.userAccess) + "/" + std::to_string(info.userPrivileges) + " ";
        }
        FSCloseIterator(it);
        return seen;
    });
    ASSERT_TRUE(result.has_value());
    if (*result == "SKIP") GTEST_SKIP() << "cannot become nobody";
    // Root: owner, may search, read and write. Nobody: none of it.
    const int none = kioACUserNoSeeFolderMask | kioACUserNoSeeFilesMask |
                     kioACUserNoMakeChangesMask | kioACUserNotOwnerMask;
    EXPECT_EQ(*result, "135/0 0/" + std::to_string(none) + " ");
}
