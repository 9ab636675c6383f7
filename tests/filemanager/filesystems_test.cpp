// The File Manager on every kind of file system a server has: references,
// catalogue information, file IDs, listings, the deletion walk with
// resource forks, renames and exchanges, run the same way on ext4, ext4
// without birth times, XFS, btrfs (in two subvolumes of one mount),
// overlayfs with and without xino, and tmpfs. Each file system is made
// fresh in a private mount namespace (a loop image where it needs a
// device), once per file system, and every check runs on it; a file system
// the kernel or the tools cannot make is skipped with the reason.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "Child.h"
#include "DirNames.h"
#include "FSTestSupport.h"
#include "FileIDs.h"
#include "LoopImage.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"

namespace fs = std::filesystem;

namespace {

struct Kind {
    const char* name;                 // the case's name
    const vtest::FileSystemKind* fs;  // null: an overlay, its layers on a tmpfs
    const char* overlayOptions;       // added to the overlay's layers
    bool subvolumes;                  // btrfs: the checks run in two subvolumes
    __fsword_t magic;                 // what statfs says the folders are on
};

const Kind kKinds[] = {
    {"ext4", &vtest::kExt4, nullptr, false, EXT4_SUPER_MAGIC},
    {"ext4_128_byte_inodes", &vtest::kExt4NoBirth, nullptr, false, EXT4_SUPER_MAGIC},
    {"xfs", &vtest::kXfs, nullptr, false, XFS_SUPER_MAGIC},
    {"btrfs_two_subvolumes", &vtest::kBtrfs, nullptr, true, BTRFS_SUPER_MAGIC},
    {"overlayfs", nullptr, "", false, OVERLAYFS_SUPER_MAGIC},
    {"overlayfs_xino", nullptr, ",xino=on", false, OVERLAYFS_SUPER_MAGIC},
    {"tmpfs", &vtest::kTmpfs, nullptr, false, TMPFS_MAGIC},
};

void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.name;
}

std::string check(bool ok, const std::string& what) {
    return ok ? std::string() : what + "\n";
}

OSErr make(const fs::path& p, FSRef* r) {
    return FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), r, nullptr);
}

std::string path_or_error(const FSRef& r) {
    UInt8 buf[4096];
    const OSErr e = FSRefMakePath(&r, buf, sizeof buf);
    return e == noErr ? std::string(reinterpret_cast<const char*>(buf))
                      : "error " + std::to_string(e);
}

struct Seen {
    OSErr err = noErr;
    UInt32 nodeID = 0;
    UInt32 parentID = 0;
    FSVolumeRefNum volume = 0;
    UInt64 size = 0;
};

Seen seen(const fs::path& p) {
    Seen s;
    FSRef r{};
    FSCatalogInfo info{};
    s.err = make(p, &r);
    if (s.err == noErr)
        s.err = FSGetCatalogInfo(
            &r, kFSCatInfoNodeID | kFSCatInfoParentDirID | kFSCatInfoVolume | kFSCatInfoDataSizes,
            &info, nullptr, nullptr, nullptr);
    s.nodeID = info.nodeID;
    s.parentID = info.parentDirID;
    s.volume = info.volume;
    s.size = info.dataLogicalSize;
    return s;
}

OSErr rename_to(const FSRef& r, const char* name, FSRef* out) {
    const std::u16string n = vtest::u16(name);
    return FSRenameUnicode(&r, n.size(), vtest::uc(n), kTextEncodingUnknown, out);
}

// ------------------------------------------------------------------ checks
// Each runs in a folder of the file system (`at`) and returns what failed.

std::string references(const fs::path& at) {
    const fs::path dir = at / "refs", f = dir / "f";
    vtest::write_file(f, "data");
    FSRef r{}, d{}, again{};
    if (make(f, &r) != noErr || make(dir, &d) != noErr) return "no references\n";
    std::string msg = check(path_or_error(r) == f.string(), "f makes the path " + path_or_error(r));
    const Seen sf = seen(f), sd = seen(dir);
    msg += check(sf.err == noErr && sf.size == 4, "f: FSGetCatalogInfo " + std::to_string(sf.err));
    msg += check(sd.err == noErr && sf.parentID == sd.nodeID && sd.nodeID != 0,
                 "f's parent ID " + std::to_string(sf.parentID) + ", its folder's ID " +
                     std::to_string(sd.nodeID));
    const std::u16string name = vtest::u16("f");
    const OSErr e =
        FSMakeFSRefUnicode(&d, name.size(), vtest::uc(name), kTextEncodingUnknown, &again);
    msg += check(e == noErr && FSCompareFSRefs(&r, &again) == noErr,
                 "f made from its folder is another object: " + std::to_string(e));
    return msg;
}

std::string file_ids(const fs::path& at) {
    const fs::path dir = at / "ids";
    vtest::write_file(dir / "a", "a");
    vtest::write_file(dir / "b", "b");
    const SInt32 a = vtest::file_id_of(dir / "a"), b = vtest::file_id_of(dir / "b");
    std::string msg = check(a != 0 && b != 0 && a != b,
                            "file IDs " + std::to_string(a) + " and " + std::to_string(b));
    if (a == 0 || b == 0) return msg;
    const FSVolumeRefNum v = seen(dir / "a").volume;
    msg += check(vtest::path_of_id(v, a) == (dir / "a").string(),
                 "a's ID finds " + vtest::path_of_id(v, a));
    msg += check(vtest::path_of_id(v, b) == (dir / "b").string(),
                 "b's ID finds " + vtest::path_of_id(v, b));
    FSRef r{}, moved{};
    if (make(dir / "a", &r) != noErr || rename_to(r, "a2", &moved) != noErr)
        return msg + "cannot rename a\n";
    msg += check(vtest::path_of_id(v, a) == (dir / "a2").string(),
                 "a's ID after a rename finds " + vtest::path_of_id(v, a));
    return msg;
}

std::string listing(const fs::path& at) {
    const fs::path dir = at / "list";
    std::set<std::string> want;
    for (int i = 0; i < 40; ++i) {
        const std::string n = "file" + std::to_string(i);
        vtest::write_file(dir / n, n);
        want.insert(n);
    }
    for (const char* n : {"sub1", "sub2"}) {
        fs::create_directories(dir / n);
        want.insert(n);
    }
    FSRef d{};
    FSIterator it = nullptr;
    if (make(dir, &d) != noErr || FSOpenIterator(&d, kFSIterateFlat, &it) != noErr)
        return "cannot list\n";
    std::string msg;
    std::set<std::string> got;
    std::set<UInt32> ids;
    for (;;) {
        FSCatalogInfo infos[16];
        FSRef refs[16];
        HFSUniStr255 names[16];
        ItemCount n = 0;
        const OSErr e = FSGetCatalogInfoBulk(it, 16, &n, nullptr, kFSCatInfoNodeID, infos, refs,
                                             nullptr, names);
        for (ItemCount i = 0; i < n; ++i) {
            const std::string name = vtest::utf8(names[i]);
            got.insert(name);
            ids.insert(infos[i].nodeID);
            const Seen s = seen(dir / name);
            msg += check(s.err == noErr && s.nodeID == infos[i].nodeID,
                         name + ": listed as " + std::to_string(infos[i].nodeID) +
                             ", looked up as " + std::to_string(s.nodeID));
            msg += check(path_or_error(refs[i]) == (dir / name).string(),
                         name + "'s listed reference makes " + path_or_error(refs[i]));
        }
        if (e == errFSNoMoreItems) break;
        if (e != noErr) {
            msg += "FSGetCatalogInfoBulk " + std::to_string(e) + "\n";
            break;
        }
    }
    FSCloseIterator(it);
    msg += check(got == want, "the listing has " + std::to_string(got.size()) + " of " +
                                  std::to_string(want.size()) + " items");
    msg += check(ids.size() == want.size(), "two listed items share a node ID");
    return msg;
}

std::string deletion_walk(const fs::path& at) {
    const fs::path tree = at / "tree";
    const std::set<std::string> before = vtest::names_on_disk(at);
    vtest::write_file(tree / "a/b/f", "f");
    vtest::write_file(tree / "a/g", "g");
    vtest::write_file(tree / "h", "h");
    std::string msg;
    for (const char* item : {"a/b/f", "h"}) {
        FSRef r{};
        msg += check(make(tree / item, &r) == noErr &&
                         vtest::write_resource_fork(r, std::string("fork of ") + item) == noErr,
                     std::string("cannot give ") + item + " a resource fork");
    }
    FSRef t{};
    if (make(tree, &t) != noErr) return msg + "no reference to the tree\n";
    int removed = 0;
    const OSErr e = VantrelFSDeleteContainerVisiting(
        &t, false,
        [](const VantrelDeleteVisit* v, void* c) {
            if (v->event == kVantrelDeleteRemoved) ++*static_cast<int*>(c);
        },
        &removed);
    msg += check(e == noErr, "the deletion walk: " + std::to_string(e));
    msg += check(!fs::exists(tree), "the tree is still there");
    msg += check(removed >= 6, "the walk told of " + std::to_string(removed) + " deletions");
    msg += check(vtest::names_on_disk(at) == before,
                 "the deletion walk left something beside the tree");
    return msg;
}

std::string rename_and_exchange(const fs::path& at) {
    const fs::path dir = at / "mv", a = dir / "a", b = dir / "b";
    vtest::write_file(a, "first");
    vtest::write_file(b, "second");
    fs::create_directories(dir / "into");
    FSRef ra{}, rb{};
    if (make(a, &ra) != noErr || make(b, &rb) != noErr) return "no references\n";
    const Seen sa = seen(a);
    std::string msg;
    const OSErr x = FSExchangeObjects(&ra, &rb);
    msg += check(x == noErr, "FSExchangeObjects " + std::to_string(x));
    msg += check(vtest::read_file(a) == "second" && vtest::read_file(b) == "first",
                 "the contents were not exchanged");
    msg += check(path_or_error(ra) == b.string(), "a's reference now names " + path_or_error(ra));
    FSCatalogInfo info{};
    msg +=
        check(FSGetCatalogInfo(&ra, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr) == noErr &&
                  info.nodeID == sa.nodeID,
              "a's node ID changed in the exchange");
    FSRef renamed{};
    msg += check(rename_to(ra, "c", &renamed) == noErr && fs::exists(dir / "c") &&
                     path_or_error(renamed) == (dir / "c").string(),
                 "the rename to c: " + path_or_error(renamed));
    FSRef into{}, moved{};
    const OSErr m =
        make(dir / "into", &into) == noErr ? FSMoveObject(&renamed, &into, &moved) : OSErr(fnfErr);
    msg += check(m == noErr && path_or_error(moved) == (dir / "into/c").string(),
                 "the move into a folder: " + std::to_string(m) + " " + path_or_error(moved));
    return msg;
}

struct Check {
    const char* what;
    std::string (*run)(const fs::path& at);
};
const Check kChecks[] = {
    {"references", references},
    {"file IDs", file_ids},
    {"listing", listing},
    {"deletion walk with forks", deletion_walk},
    {"rename and exchange", rename_and_exchange},
};

// Two objects with one inode number in two subvolumes of one mount (each
// numbers its own from 256): each has its own node ID and file ID.
std::string twins(const fs::path& one, const fs::path& two) {
    const Seen a = seen(one), b = seen(two);
    std::string msg = check(a.err == noErr && b.err == noErr && a.volume == b.volume,
                            "the twins are not on one volume");
    msg += check(a.nodeID != b.nodeID, "the twins share node ID " + std::to_string(a.nodeID));
    const SInt32 ia = vtest::file_id_of(one), ib = vtest::file_id_of(two);
    msg += check(ia != 0 && ib != 0 && ia != ib,
                 "the twins' file IDs " + std::to_string(ia) + " and " + std::to_string(ib));
    if (ia != 0)
        msg += check(vtest::path_of_id(a.volume, ia) == one.string(), "a twin's ID finds another");
    if (ib != 0)
        msg += check(vtest::path_of_id(a.volume, ib) == two.string(), "a twin's ID finds another");
    return msg;
}

// Makes the file system of `k` under `base`; the folders the checks run in,
// or "SKIP why" in `why`.
std::vector<fs::path> make_file_system(const Kind& k, const fs::path& base, std::string* why) {
    if (k.fs == nullptr) {
        const fs::path o = base / "o";
        fs::create_directories(o);
        if (::mount("vt-layers", o.c_str(), "tmpfs", 0, "size=16m") != 0) {
            *why = "SKIP cannot mount a tmpfs for the layers";
            return {};
        }
        for (const char* d : {"l", "u", "w", "m"}) fs::create_directories(o / d);
        const std::string opts = "lowerdir=" + (o / "l").string() +
                                 ",upperdir=" + (o / "u").string() +
                                 ",workdir=" + (o / "w").string() + k.overlayOptions;
        if (::mount("vt-overlay", (o / "m").c_str(), "overlay", 0, opts.c_str()) != 0) {
            *why = std::string("SKIP the kernel would not mount ") + k.name;
            return {};
        }
        return {o / "m"};
    }
    const fs::path vol = base / "vol";
    fs::create_directories(vol);
    if (std::string e = vtest::mount_fresh(*k.fs, base / "img", vol); !e.empty()) {
        *why = "SKIP " + e;
        return {};
    }
    if (!k.subvolumes) return {vol};
    for (const char* s : {"sa", "sb"})
        if (!vtest::run_quietly("btrfs subvolume create " + vtest::quoted(vol / s))) {
            *why = "SKIP cannot make a btrfs subvolume";
            return {};
        }
    return {vol / "sa", vol / "sb"};
}

class OnEveryFileSystem : public testing::TestWithParam<Kind> {};

TEST_P(OnEveryFileSystem, TheFileManagerWorks) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    const Kind& k = GetParam();
    vtest::TempDir t;
    const fs::path base = fs::canonical(t.path());
    auto result = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        std::string why;
        const std::vector<fs::path> places = make_file_system(k, base, &why);
        if (places.empty()) return why;
        std::string msg;
        for (const fs::path& p : places) {
            struct statfs sf {};
            if (::statfs(p.c_str(), &sf) != 0 || sf.f_type != k.magic)
                return p.string() + " is not on the file system made for it";
        }
        // The first files of each subvolume share an inode number.
        for (const fs::path& p : places) vtest::write_file(p / "twin", "twin");
        if (places.size() == 2) msg += twins(places[0] / "twin", places[1] / "twin");
        for (const fs::path& p : places)
            for (const Check& c : kChecks)
                if (std::string m = c.run(p); !m.empty())
                    msg += p.filename().string() + ", " + c.what + ": " + m;
        return msg;
    });
    ASSERT_TRUE(result.has_value()) << vtest::kNeedsPrivateMounts;
    if (result->starts_with("SKIP ")) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ(*result, "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, OnEveryFileSystem, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<Kind>& i) { return i.param.name; });

}  // namespace
