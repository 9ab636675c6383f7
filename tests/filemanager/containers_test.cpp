// Container deletion, iteration and listing on real directory trees.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Child.h"
#include "DeepTree.h"
#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "LoopImage.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "SyscallCount.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;
namespace vf = vantrel::fault;

namespace {

using vtest::present;
using vtest::ref_of;
using vtest::snapshot;

// A tree of files and directories, three levels deep; with `locks`, some files,
// a directory and the container itself are immutable.
bool make_tree(const vtest::TempDir& t, const std::string& top, bool locks) {
    t.write(top + "/f1", "one");
    t.write(top + "/f2", "two");
    t.write(top + "/a/a1", "a1");
    t.write(top + "/a/b/b1", "b1");
    t.write(top + "/a/b/b2", "b2");
    t.mkdir(top + "/a/b/empty");
    t.write(top + "/c/c1", "c1");
    // Resource forks in sidecars, and one left by a file that is gone: they
    // go with their files and their folder.
    vtest::write_sidecar(t / (top + "/f1"), "rsrc of f1");
    vtest::write_sidecar(t / (top + "/a/b/b2"), std::string(100000, 'r'));
    vtest::write_bytes(t / (top + "/a/._gone"), vtest::sidecar_bytes("orphan"));
    if (!locks) return true;
    bool ok = vtest::set_immutable(t / (top + "/a/b/b1"), true);
    ok = ok && vtest::set_immutable(t / (top + "/f2"), true);
    ok = ok && vtest::set_immutable(t / (top + "/a/b/empty"), true);
    ok = ok && vtest::set_immutable(t / (top + "/c"), true);  // a locked directory with an item
    ok = ok && vtest::set_immutable(t / top, true);
    return ok;
}

}  // namespace

TEST(FSDeleteContainer, DeletesATreeWithLockedFilesAndDirectories) {
    vtest::TempDir t;
    if (!make_tree(t, "box", true)) GTEST_SKIP() << "the immutable attribute cannot be set here";
    t.write("beside", "stays");
    FSRef box = ref_of(t / "box");
    EXPECT_EQ(FSDeleteContainer(&box), noErr);
    EXPECT_FALSE(present(t / "box"));
    EXPECT_EQ(vtest::read_file(t / "beside"), "stays");
    EXPECT_EQ(FSDeleteContainer(&box), fnfErr) << "the reference now names nothing";
}

TEST(FSDeleteContainer, ContentsOnlyAndEmptyAndNotADirectory) {
    vtest::TempDir t;
    make_tree(t, "box", false);
    FSRef box = ref_of(t / "box");
    ASSERT_EQ(FSDeleteContainerContents(&box), noErr);
    EXPECT_TRUE(present(t / "box"));
    EXPECT_EQ(snapshot(t / "box").size(), 1u) << "only the container itself is left";
    EXPECT_EQ(FSDeleteContainerContents(&box), noErr) << "an empty container";
    EXPECT_TRUE(present(t / "box"));

    auto file = t.write("file", "content");
    FSRef f = ref_of(file);
    EXPECT_EQ(FSDeleteContainer(&f), dirNFErr);
    EXPECT_EQ(vtest::read_file(file), "content");
    EXPECT_EQ(FSDeleteContainerContents(&f), errFSNotAFolder) << "the iterator cannot open a file";
    EXPECT_EQ(vtest::read_file(file), "content");

    FSRef zero{};
    EXPECT_EQ(FSDeleteContainer(&zero), fnfErr);
    EXPECT_EQ(FSDeleteContainerContents(&zero), fnfErr);
    EXPECT_EQ(FSDeleteContainer(nullptr), paramErr);
    EXPECT_EQ(FSDeleteContainerContents(nullptr), paramErr);
}

// As rm -rf: each folder the listing shows is emptied first and deleted
// once, never tried while it still holds items (a delete that fails, and a
// search of the folder for orphaned forks, each time). Files without forks
// go by name; only the folders, and the file with a fork, are deleted on
// their references. With and without a watcher, the walk is the same.
TEST(FSDeleteContainer, DeletesEachFolderOnceItIsEmpty) {
    struct Told {
        int removed = 0;
        static void visit(const VantrelDeleteVisit* v, void* c) {
            if (v->event == kVantrelDeleteRemoved) ++static_cast<Told*>(c)->removed;
        }
    };
    for (const bool watched : {false, true}) {
        vtest::TempDir t;
        for (const char* p : {"box/a/a1", "box/a/b/b1", "box/a/b/b2", "box/c/c1", "box/f"})
            t.write(p, "x");
        t.mkdir("box/a/b/empty");
        vtest::write_sidecar(t / "box/c/c1", "fork");
        FSRef box = ref_of(t / "box");
        vf::Scope scope;
        vf::set_counting(true);
        Told told;
        if (watched) {
            ASSERT_EQ(VantrelFSDeleteContainerVisiting(&box, false, &Told::visit, &told), noErr);
            EXPECT_EQ(told.removed, 10) << "every item is told, the fork is not";
        } else {
            ASSERT_EQ(FSDeleteContainer(&box), noErr);
        }
        EXPECT_FALSE(present(t / "box"));
        // box, a, a/b, a/b/empty, c, and c1 with its fork.
        EXPECT_EQ(vf::calls("FSDeleteObject.unlink"), 6) << (watched ? "watched" : "unwatched");
    }
}

// A folder the caller may not remove (another user's, in a sticky folder) is
// still emptied first, as rm -rf does: its items go, then its own refusal
// stops the walk and is returned.
TEST(FSDeleteContainer, AFolderThatMayNotGoIsEmptiedBeforeItsRefusalStopsTheWalk) {
    vtest::TempDir t;
    ::chmod(t.path().c_str(), 0755);
    const fs::path box = t / "box";
    t.write("box/theirs/x", "x");
    t.write("box/theirs/y", "y");
    fs::permissions(box, fs::perms(01777));
    fs::permissions(box / "theirs", fs::perms(0777));
    for (const char* f : {"box/theirs/x", "box/theirs/y"}) fs::permissions(t / f, fs::perms(0666));
    const auto verdict = vtest::run_as_nobody([&]() -> std::string {
        FSRef ref = ref_of(box);
        const OSErr result = FSDeleteContainerContents(&ref);
        if (result == noErr) return "the walk said noErr with a folder it could not remove";
        if (!present(box / "theirs")) return "the other user's folder went";
        if (present(box / "theirs/x") || present(box / "theirs/y"))
            return "its items stayed (result " + vtest::oserr_text(result) + ")";
        return "";
    });
    if (!verdict) GTEST_SKIP() << vtest::kNeedsNobody;
    EXPECT_EQ(*verdict, "");
}

namespace {

// A descriptor closed at the end of its scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
};

// A file system mounted inside a container, as the walk may meet one.
struct MountInside {
    const char* name;
    // Mounts it at "mnt" in the working directory (the mount point's
    // parent); "" or why it cannot be mounted here (the row is skipped).
    std::function<std::string(const vtest::TempDir&)> mount;
    bool foldersOnly = false;  // holds folders only (bpf)
    bool deep = false;         // the mount point's path is longer than PATH_MAX
};

std::string mount_kind(const char* type, const char* data = nullptr) {
    if (::mount("vt-inside", "mnt", type, 0, data) != 0)
        return std::string("cannot mount ") + type + ": " + std::strerror(errno);
    return "";
}

const std::vector<MountInside>& mounts_inside() {
    static const std::vector<MountInside> rows = {
        {"a bind mount of a folder from outside",
         [](const vtest::TempDir& t) {
             return ::mount((t / "outside/od").c_str(), "mnt", nullptr, MS_BIND, nullptr) == 0
                        ? std::string()
                        : std::string("no bind mount: ") + std::strerror(errno);
         }},
        {"tmpfs", [](const vtest::TempDir&) { return mount_kind("tmpfs", "size=1m"); }},
        {"tmpfs at a path longer than PATH_MAX",
         [](const vtest::TempDir&) { return mount_kind("tmpfs", "size=1m"); }, false, true},
        {"ramfs", [](const vtest::TempDir&) { return mount_kind("ramfs"); }},
        {"btrfs",
         [](const vtest::TempDir& t) {
             return vtest::mount_fresh(vtest::kBtrfs, t / "img", "mnt");
         }},
        {"xfs",
         [](const vtest::TempDir& t) { return vtest::mount_fresh(vtest::kXfs, t / "img", "mnt"); }},
        {"ext4",
         [](const vtest::TempDir& t) {
             return vtest::mount_fresh(vtest::kExt4, t / "img", "mnt");
         }},
        {"hugetlbfs", [](const vtest::TempDir&) { return mount_kind("hugetlbfs"); }},
        // An mqueue mount shows its IPC namespace's queues: a fresh one, so
        // that nothing made here outlives the test.
        {"mqueue",
         [](const vtest::TempDir&) {
             return ::unshare(CLONE_NEWIPC) == 0
                        ? mount_kind("mqueue")
                        : std::string("no IPC namespace of its own: ") + std::strerror(errno);
         }},
        {"bpf", [](const vtest::TempDir&) { return mount_kind("bpf"); }, true},
    };
    return rows;
}

}  // namespace

// A file system mounted inside the container (a bind mount of a folder from
// elsewhere, any other file system, whether or not it is offered as a
// volume, wherever it is mounted) holds what lies outside the container: the
// walk never empties it, and the mount point's own refusal stops the walk.
// What is a mount point is the kernel's answer, not a list's.
TEST(FSDeleteContainer, NeverEmptiesAFileSystemMountedInsideIt) {
    std::vector<std::string> failures, skipped;
    bool ran = false;
    for (const MountInside& row : mounts_inside()) {
        for (const bool contentsOnly : {true, false}) {
            vtest::TempDir t;
            t.write("outside/od/inner", "kept");
            t.write("d/sub/before", "b");
            t.write("d/sub/z", "z");
            const fs::path d = t / "d";
            const auto verdict =
                vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
                    // The mount point's parent: d/sub, or a chain below it whose
                    // path no call can take whole.
                    Fd parent(row.deep
                                  ? vtest::make_chain(d / "sub", 24, std::string(200, 'p').c_str())
                                  : ::open((d / "sub").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                    if (!parent || ::mkdirat(parent.get(), "mnt", 0755) != 0 ||
                        ::fchdir(parent.get()) != 0)
                        return "cannot make the mount point";
                    if (std::string why = row.mount(t); !why.empty()) return "SKIP " + why;
                    Fd root(::open("mnt", O_PATH | O_DIRECTORY | O_CLOEXEC));
                    const bool made = row.foldersOnly
                                          ? ::mkdirat(root.get(), "inner", 0755) == 0
                                          : (::access("mnt/inner", F_OK) == 0 ||
                                             Fd(::openat(root.get(), "inner",
                                                         O_CREAT | O_RDWR | O_CLOEXEC, 0644)));
                    if (!made)
                        return "SKIP cannot make an item inside: " +
                               std::string(std::strerror(errno));
                    FSRef ref = ref_of(d);
                    const OSErr e =
                        contentsOnly ? FSDeleteContainerContents(&ref) : FSDeleteContainer(&ref);
                    std::string v;
                    if (e == noErr) v += " returned noErr;";
                    struct stat st {};
                    if (::fstatat(root.get(), "inner", &st, AT_SYMLINK_NOFOLLOW) != 0)
                        v += " the mounted file system was emptied;";
                    if (::fstatat(parent.get(), "mnt", &st, AT_SYMLINK_NOFOLLOW) != 0)
                        v += " the mount point went;";
                    ::umount2("mnt", MNT_DETACH);
                    return v;
                });
            if (!verdict) continue;
            if (verdict->starts_with("SKIP ")) {
                skipped.push_back(std::string(row.name) + ": " + verdict->substr(5));
                break;
            }
            ran = true;
            if (!verdict->empty())
                failures.push_back(std::string(row.name) +
                                   (contentsOnly ? " (contents):" : " (whole):") + *verdict);
        }
    }
    if (!ran) GTEST_SKIP() << "needs a mount namespace of its own (root)";
    if (!skipped.empty())
        std::cout << "skipped rows: " << ::testing::PrintToString(skipped) << "\n";
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
}

namespace {

// What is at `p` now, as the table below names it (nullptr: nothing).
const char* what_is(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return nullptr;
    if (S_ISLNK(st.st_mode)) return "link";
    if (S_ISDIR(st.st_mode)) return "directory";
    if (S_ISFIFO(st.st_mode)) return "fifo";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "device";
    return "file";
}

std::string named(const char* what) {
    return what == nullptr ? "nothing" : what;
}

}  // namespace

// A walk deletes what holds a listed name when it gets there, by name and
// with no stat, as rm -rf does: another process may have changed the name
// since the folder was listed. Whatever took the name inside the folder goes
// (a link as a link, never followed), but a folder found under a listed
// file's name was not listed, and is refused and left whole, as rm -rf
// refuses it; what the kernel refuses by name (a mount point, a locked
// item, another user's in a sticky folder) goes the careful way and is
// refused as before; and no resource
// fork of an item deleted is left behind, even one made after the listing,
// locked, or in a folder the walk leaves when it stops, while a "._" file
// that is no fork stays. The change is made at the moment the walk unlinks
// the name. The rows that need root (another user, a private mount
// namespace, a device node or a lock) are a test of their own, so that
// without root the rest runs and that one skips before it checks anything.
namespace {

void what_holds_a_listed_name(bool privileged) {
    enum class Kind { File, Fifo, Device };
    enum class As { Caller, PrivateMounts, Nobody };
    struct Row {
        const char* label;
        Kind kind;  // the listed item
        As as;
        bool before;  // the change is made before the listing (part of the fixture)
        void (*change)(const fs::path& victim);
        const char* failing;  // a folder whose opening the seam fails
        OSErr want;           // FSDeleteContainerContents of its folder
        const char* left;     // what must be at its name afterwards
        const char* side;     // what must be at "._" + its name afterwards
        void (*prepare)(const fs::path& victim) = nullptr;  // as root, before the listing
        bool locks = false;  // the change or the fixture locks something
    };
    auto outside = [](const fs::path& v) { return v.parent_path().parent_path() / "outside"; };
    const Row rows[] = {
        {"left alone", Kind::File, As::Caller, false, [](const fs::path&) {}, nullptr, noErr,
         nullptr, nullptr},
        {"replaced by another file", Kind::File, As::Caller, false,
         [](const fs::path& v) {
             vtest::write_bytes(v.string() + ".new", "another file");
             fs::rename(v.string() + ".new", v);
         },
         nullptr, noErr, nullptr, nullptr},
        {"replaced by a file moved in from outside the folder", Kind::File, As::Caller, false,
         [](const fs::path& v) { fs::rename(v.parent_path().parent_path() / "outside/moved", v); },
         nullptr, noErr, nullptr, nullptr},
        {"a new file under its name (its inode number free for reuse)", Kind::File, As::Caller,
         false,
         [](const fs::path& v) {
             fs::remove(v);
             vtest::write_bytes(v, "new");
         },
         nullptr, noErr, nullptr, nullptr},
        {"replaced by a directory with an item", Kind::File, As::Caller, false,
         [](const fs::path& v) {
             fs::remove(v);
             fs::create_directory(v);
             vtest::write_bytes(v / "inside", "x");
         },
         nullptr, notAFileErr, "directory", nullptr},
        {"replaced by a folder with items moved in from outside", Kind::File, As::Caller, false,
         [](const fs::path& v) {
             const fs::path from = v.parent_path().parent_path() / "outside/folder";
             fs::create_directory(from);
             vtest::write_bytes(from / "inside", "x");
             fs::remove(v);
             fs::rename(from, v);
         },
         nullptr, notAFileErr, "directory", nullptr},
        {"replaced by a link to a folder outside", Kind::File, As::Caller, false,
         [](const fs::path& v) {
             fs::remove(v);
             fs::create_directory_symlink(v.parent_path().parent_path() / "outside", v);
         },
         nullptr, noErr, nullptr, nullptr},
        {"a file outside mounted over it", Kind::File, As::PrivateMounts, false,
         [](const fs::path& v) {
             const std::string keep = (v.parent_path().parent_path() / "outside/keep").string();
             ::mount(keep.c_str(), v.c_str(), nullptr, MS_BIND, nullptr);
         },
         nullptr, noErr, "file", nullptr},
        {"locked", Kind::File, As::Caller, false,
         [](const fs::path& v) { vtest::set_immutable(v, true); }, nullptr, noErr, nullptr, nullptr,
         nullptr, true},
        {"given a fork", Kind::File, As::Caller, false,
         [](const fs::path& v) { vtest::write_sidecar(v, "late fork"); }, nullptr, noErr, nullptr,
         nullptr},
        {"given a locked fork", Kind::File, As::Caller, false,
         [](const fs::path& v) {
             vtest::write_sidecar(v, "late fork");
             vtest::set_immutable(vtest::sidecar_path(v), true);
         },
         nullptr, noErr, nullptr, nullptr, nullptr, true},
        {"given a fork, and the walk stops at a folder made after it", Kind::File, As::Caller,
         false,
         [](const fs::path& v) {
             vtest::write_sidecar(v, "late fork");
             fs::create_directory(v.parent_path() / "late");
             vtest::write_bytes(v.parent_path() / "late/x", "x");
         },
         "late", ioErr, nullptr, nullptr},
        {"given a locked fork that is another name of a file outside", Kind::File, As::Caller,
         false,
         [](const fs::path& v) {
             // Linked before it is locked: a locked file takes no new names.
             const fs::path shared = v.parent_path().parent_path() / "outside/shared";
             vtest::write_bytes(shared, "outside");
             vtest::write_sidecar(shared, "outside fork");
             fs::create_hard_link(vtest::sidecar_path(shared), vtest::sidecar_path(v));
             vtest::set_immutable(vtest::sidecar_path(shared), true);
         },
         nullptr, fLckdErr, nullptr, "file", nullptr, true},
        {"given a ._ file of its owner's that is no fork", Kind::File, As::Caller, false,
         [](const fs::path& v) { vtest::write_bytes(vtest::sidecar_path(v), "my notes"); }, nullptr,
         noErr, nullptr, "file"},
        {"given a FIFO at its fork's name", Kind::File, As::Caller, false,
         [](const fs::path& v) { ::mkfifo(vtest::sidecar_path(v).c_str(), 0600); }, nullptr, noErr,
         nullptr, "fifo"},
        {"with a locked fork when listed", Kind::File, As::Caller, true,
         [](const fs::path& v) {
             vtest::write_sidecar(v, "fork");
             vtest::set_immutable(vtest::sidecar_path(v), true);
         },
         nullptr, noErr, nullptr, nullptr, nullptr, true},
        {"with a locked fork when listed that is another name of a fork outside", Kind::File,
         As::Caller, true,
         [](const fs::path& v) {
             const fs::path shared = v.parent_path().parent_path() / "outside/shared";
             vtest::write_bytes(shared, "outside");
             vtest::write_sidecar(shared, "outside fork");
             vtest::write_sidecar(v, "fork");
             fs::remove(vtest::sidecar_path(v));
             fs::create_hard_link(vtest::sidecar_path(shared), vtest::sidecar_path(v));
             vtest::set_immutable(vtest::sidecar_path(shared), true);
         },
         nullptr, fLckdErr, "file", "file", nullptr, true},
        {"locked when listed, and another name of a file outside", Kind::File, As::Caller, true,
         [](const fs::path& v) {
             const fs::path other = v.parent_path().parent_path() / "outside/linked";
             vtest::write_bytes(other, "outside");
             fs::remove(v);
             fs::create_hard_link(other, v);
             vtest::set_immutable(other, true);
         },
         nullptr, fLckdErr, "file", nullptr, nullptr, true},
        {"locked, and another name of a file outside", Kind::File, As::Caller, false,
         [](const fs::path& v) {
             const fs::path other = v.parent_path().parent_path() / "outside/linked";
             fs::create_hard_link(v, other);
             vtest::set_immutable(other, true);
         },
         nullptr, fLckdErr, "file", nullptr, nullptr, true},
        {"a FIFO", Kind::Fifo, As::Caller, false, [](const fs::path&) {}, nullptr, noErr, nullptr,
         nullptr},
        {"a device node", Kind::Device, As::Caller, false, [](const fs::path&) {}, nullptr, noErr,
         nullptr, nullptr},
        {"another user's, in a sticky folder", Kind::File, As::Nobody, false,
         [](const fs::path&) {}, nullptr, permErr, "file", nullptr},
        {"the caller's, in a sticky folder, given another user's fork", Kind::File, As::Nobody,
         false,
         [](const fs::path& v) {
             ::rename((v.parent_path().parent_path() / "outside/._staged").c_str(),
                      vtest::sidecar_path(v).c_str());
         },
         nullptr, permErr, nullptr, "file",
         [](const fs::path& v) {
             const passwd* pw = ::getpwnam("nobody");
             if (pw != nullptr) ::chown(v.c_str(), pw->pw_uid, pw->pw_gid);
             const fs::path outside = v.parent_path().parent_path() / "outside";
             vtest::write_sidecar(outside / "staged", "root's fork");
             fs::permissions(outside, fs::perms(0777));
         }},
    };
    std::vector<std::string> skipped;
    for (const Row& row : rows) {
        if ((row.as != As::Caller || row.kind == Kind::Device || row.locks) != privileged) continue;
        vtest::TempDir t;
        t.write("outside/keep", "kept");
        t.write("outside/moved", "moved in");
        const fs::path d = t.mkdir("d");
        const fs::path victim = d / "victim";
        if (row.kind == Kind::File) vtest::write_bytes(victim, "listed");
        if (row.kind == Kind::Fifo) ::mkfifo(victim.c_str(), 0600);
        if (row.kind == Kind::Device &&
            ::mknod(victim.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) != 0) {
            skipped.push_back(row.label);  // no right to make device nodes
            continue;
        }
        if (row.as == As::Nobody) {  // the folder open to all, sticky; the item root's
            fs::permissions(t.path(), fs::perms(0755));
            fs::permissions(d, fs::perms(01777));
            fs::permissions(victim, fs::perms(0666));
        }
        if (row.prepare != nullptr) row.prepare(victim);
        if (row.before) row.change(victim);
        const fs::path side = vtest::sidecar_path(victim);
        const fs::path probe = t.path() / "lock-probe";
        vtest::write_bytes(probe, "");
        const bool canLock = vtest::set_immutable(probe, true);
        vtest::set_immutable(probe, false);
        if (row.want == fLckdErr &&
            (row.before ? !vtest::is_immutable(side) && !vtest::is_immutable(victim) : !canLock)) {
            skipped.push_back(row.label);  // no right to lock files here
            continue;
        }
        const bool hadFork = vtest::present(side);
        auto body = [&]() -> std::string {
            FSRef ref = ref_of(d);
            bool met = false;
            OSErr e;
            {
                vf::Scope scope;
                vf::set_hook([&](const vf::Call& c) {
                    if (!met && c.op == "VantrelFSBulkDeleteFiles.unlink" && c.detail == "victim") {
                        met = true;
                        if (!row.before) row.change(victim);
                    }
                });
                if (row.failing != nullptr) {
                    vf::fail_if([&](const vf::Call& c) -> OSErr {
                        return c.op == "FSOpenIterator" && c.detail == row.failing ? ioErr : noErr;
                    });
                }
                e = FSDeleteContainerContents(&ref);
            }
            std::string v;
            if (!row.before && !met) v += " the walk never came to the name;";
            if (row.before && hadFork && met) v += " an item with a fork beside it went by name;";
            if (e != row.want) v += " returned " + vtest::oserr_text(e) + ";";
            if (what_is(victim) != nullptr || row.left != nullptr) {
                if (named(what_is(victim)) != named(row.left))
                    v += " left " + named(what_is(victim)) + " at the name;";
            }
            if (named(what_is(side)) != named(row.side))
                v += " left " + named(what_is(side)) + " at the fork's name;";
            const auto items = static_cast<std::size_t>(
                std::distance(fs::directory_iterator(d), fs::directory_iterator()));
            const std::size_t want =
                (row.left ? 1 : 0) + (row.side ? 1 : 0) + (row.failing ? 1 : 0);
            if (items != want) v += " the folder holds " + std::to_string(items) + " entries;";
            if (vtest::read_file(outside(victim) / "keep") != "kept") v += " outside/keep touched;";
            if (named(row.left) == "directory" && !vtest::present(victim / "inside"))
                v += " the folder at the name was emptied;";
            const fs::path sharedFork = vtest::sidecar_path(outside(victim) / "shared");
            if (fs::exists(sharedFork) && !vtest::is_immutable(sharedFork))
                v += " the lock of outside/._shared taken off;";
            const fs::path linked = outside(victim) / "linked";
            if (fs::exists(linked) && !vtest::is_immutable(linked))
                v += " the lock of outside/linked taken off;";
            return v;
        };
        std::optional<std::string> verdict;
        if (row.as == As::Caller) verdict = body();
        if (row.as == As::PrivateMounts)
            verdict = vtest::run_child(vtest::Child::PrivateMounts, body);
        if (row.as == As::Nobody) verdict = vtest::run_as_nobody(body);
        if (!verdict) {
            skipped.push_back(row.label);
            continue;
        }
        EXPECT_EQ(*verdict, "") << row.label;
    }
    EXPECT_TRUE(skipped.empty()) << "rows not covered: " << ::testing::PrintToString(skipped);
}

// Whether device nodes can be made in `dir` (CAP_MKNOD).
bool can_make_devices(const fs::path& dir) {
    const fs::path node = dir / "null";
    const bool ok = ::mknod(node.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0;
    ::unlink(node.c_str());
    return ok;
}

}  // namespace

TEST(FSDeleteContainer, WhatHoldsAListedNameWhenTheWalkComesGoesOrIsRefusedAsItself) {
    what_holds_a_listed_name(false);
}

TEST(FSDeleteContainer, WhatHoldsALockedMountedOverSpecialOrAnotherUsersListedName) {
    vtest::TempDir t;
    if (!vtest::can_run_as_nobody() || !vtest::can_make_private_mounts() ||
        !vtest::can_set_immutable(t.path()) || !can_make_devices(t.path()))
        GTEST_SKIP() << "needs root: another user, a private mount namespace, device nodes, locks";
    what_holds_a_listed_name(true);
}

// The snapshot with every lock taken off: what must survive a failure that
// kept failing, when even putting a lock back failed.
vtest::Snapshot unlocked(vtest::Snapshot s) {
    for (auto& [rel, item] : s) item.locked = false;
    return s;
}

// A failure at any platform call leaves every item that was not yet deleted
// exactly as it was (names, contents, attributes, modes, owners, times and
// locks), deletes children before their directory, and returns an error:
// the class injected, or fLckdErr when a failed unlock left the lock in
// place. When every later call fails too, putting a lock back can fail as
// well: then only the locks may differ. A failure the walk ignores (closing
// an iterator) changes nothing: the container is deleted.
TEST(FSDeleteContainer, AFailureAtAnyCallLeavesTheRestInPlace) {
    bool locks = true;
    vtest::FaultSweep sweep;
    const long trials = sweep.run([&](vtest::FaultTrial& t) {
        vtest::TempDir dir;
        locks = make_tree(dir, "box", locks) && locks;
        const fs::path box = dir / "box";
        const vtest::Snapshot before = snapshot(box);
        FSRef ref = ref_of(box);
        // Another process gives c1 a fork, locked, as the walk unlinks it by
        // name: a fork of an item the walk deleted never stays behind, unless
        // a step removing it failed; and when c1 did not go by name, it is
        // refused with its locked fork, as a delete refuses it.
        bool late = false;
        vf::set_hook([&](const vf::Call& c) {
            if (late || c.op != "VantrelFSBulkDeleteFiles.unlink" || c.detail != "c1") return;
            late = true;
            vtest::write_sidecar(box / "c/c1", "late fork");
            if (locks) vtest::set_immutable(box / "c/._c1", true);
        });
        const OSErr result = t.inject([&] { return FSDeleteContainer(&ref); });
        const bool keptWithItsLockedFork = late && locks && present(box / "c/c1");
        if (t.clean() && !keptWithItsLockedFork) {
            EXPECT_OSERR(result, noErr);
            EXPECT_FALSE(present(box));
            return;
        }
        if (t.clean()) {
            EXPECT_OSERR(result, fLckdErr);
        } else {
            EXPECT_TRUE(t.reports(result) || result == fLckdErr)
                << "returned " << vtest::oserr_text(result);
        }
        // A journal whose removal failed too is the next listing's to
        // finish: each folder left is listed, as the next command would.
        std::vector<fs::path> folders{box};
        for (std::error_code ec; const auto& e : fs::recursive_directory_iterator(box, ec))
            if (e.is_directory() && !e.is_symlink()) folders.push_back(e.path());
        for (const fs::path& f : folders) {
            FSRef d;
            FSIterator it = nullptr;
            if (FSPathMakeRef(reinterpret_cast<const UInt8*>(f.c_str()), &d, nullptr) != noErr ||
                FSOpenIterator(&d, kFSIterateFlat, &it) != noErr)
                continue;
            ItemCount n = 0;
            while (FSGetCatalogInfoBulk(it, 16, &n, nullptr, 0, nullptr, nullptr, nullptr,
                                        nullptr) == noErr) {
            }
            FSCloseIterator(it);
        }
        vtest::Snapshot after = snapshot(box);
        ASSERT_TRUE(present(box)) << "the container stays when its deletion fails";
        bool sidecarStepFailed = false;
        for (const auto& i : t.log())
            sidecarStepFailed = sidecarStepFailed || i.op.ends_with(".sidecar") ||
                                i.op == "VantrelFSBulkDeleteFiles.unlock";
        if (late && (after.count("c/c1") != 0 || sidecarStepFailed))
            after.erase("c/._c1");  // the fork of an item that stays, or a failed removal's
        if (t.persistent())
            EXPECT_EQ(vtest::diff(unlocked(before), unlocked(after), true), "");
        else
            EXPECT_EQ(vtest::diff(before, after, true), "");
        // Children first: an item that is gone has no descendant left.
        for (const auto& [rel, item] : before) {
            if (after.count(rel)) continue;
            for (const auto& [rel2, item2] : after)
                EXPECT_FALSE(rel2.starts_with(rel + "/")) << rel2;
        }
    });
    EXPECT_GT(trials, 8 * 10) << "the sweep covered the walk's calls";
}

// What a watched deletion walk was told, paths rebuilt from one name per
// depth as a caller with no room for full paths per level does.
struct Told {
    std::vector<std::string> removed;  // in the order told, relative to the container ("" itself)
    std::vector<std::string> refused;
    std::vector<OSErr> refusals;
    std::vector<std::string> entered;
    std::vector<std::string> names;  // by depth - 1: the folders the visits are in
};

void record_visit(const VantrelDeleteVisit* v, void* context) {
    auto* told = static_cast<Told*>(context);
    std::string path;
    if (v->depth != 0) {
        told->names.resize(v->depth - 1);
        for (const std::string& n : told->names) path += n + "/";
        path.append(reinterpret_cast<const char*>(v->name), v->nameLength);
    }
    switch (v->event) {
        case kVantrelDeleteEntering:
            told->entered.push_back(path);
            told->names.emplace_back(reinterpret_cast<const char*>(v->name), v->nameLength);
            break;
        case kVantrelDeleteRemoved:
            told->removed.push_back(path);
            break;
        default:
            told->refused.push_back(path);
            told->refusals.push_back(v->result);
    }
}

// The items of a snapshot, forks ("._NAME" files, never items) left out.
std::set<std::string> items_of(const vtest::Snapshot& s) {
    std::set<std::string> out;
    for (const auto& [rel, item] : s) {
        const std::string leaf = fs::path(rel).filename().string();
        if (!leaf.starts_with("._")) out.insert(rel == "." ? "" : rel);
    }
    return out;
}

// A watched walk under a failure at any call is told exactly the items it
// deleted, each right after it went (a folder after its items), and, when it
// fails, the one item that stays for it, with the walk's own answer.
TEST(FSDeleteContainer, AWatchedWalkIsToldEachItemItDeletedAndTheOneThatStopsItAtAnyFailure) {
    bool locks = true;
    vtest::FaultSweep sweep;
    const long trials = sweep.run([&](vtest::FaultTrial& t) {
        vtest::TempDir dir;
        locks = make_tree(dir, "box", locks) && locks;
        const fs::path box = dir / "box";
        const std::set<std::string> before = items_of(snapshot(box));
        FSRef ref = ref_of(box);
        Told told;
        const OSErr result = t.inject(
            [&] { return VantrelFSDeleteContainerVisiting(&ref, false, record_visit, &told); });
        const std::set<std::string> after = items_of(snapshot(box));
        std::set<std::string> went;
        for (const std::string& i : before)
            if (after.count(i) == 0) went.insert(i);
        const std::set<std::string> removed(told.removed.begin(), told.removed.end());
        EXPECT_EQ(removed.size(), told.removed.size()) << "an item told twice";
        EXPECT_EQ(removed, went) << "told removed is not what went";
        for (std::size_t i = 0; i < told.removed.size(); ++i) {
            for (std::size_t k = i + 1; k < told.removed.size(); ++k)
                EXPECT_FALSE(told.removed[k].starts_with(told.removed[i] + "/"))
                    << told.removed[k] << " told after its folder";
        }
        if (result == noErr) {
            EXPECT_TRUE(told.refused.empty()) << told.refused[0];
            return;
        }
        ASSERT_EQ(told.refused.size(), 1u) << "a failed walk tells the item it stops at, once";
        EXPECT_OSERR(told.refusals[0], result);
        EXPECT_EQ(after.count(told.refused[0]), 1u) << told.refused[0] << " was refused but went";
    });
    EXPECT_GT(trials, 8 * 10) << "the sweep covered the walk's calls";
}

// The walk with a watcher: each case's items told as removed, in an order
// with every folder after its items, and the refusal named.
TEST(FSDeleteContainer, AWatchedWalkTellsWhatWentAndWhatStopped) {
    struct Row {
        const char* name;
        std::vector<std::string> files;  // made under "box"
        bool contentsOnly;
        const char* refuse;  // an item whose deletions the seam refuses (fBsyErr), or null
        std::set<std::string> removed;
        const char* refused;  // the item told refused, or null
    };
    const std::string deep = "d/" + std::string(200, 'n') + "/" + std::string(200, 'm');
    const Row rows[] = {
        {"files and folders",
         {"a", "d/b", "d/e/c"},
         false,
         nullptr,
         {"a", "d/b", "d/e/c", "d/e", "d", ""},
         nullptr},
        {"contents only", {"a", "d/b"}, true, nullptr, {"a", "d/b", "d"}, nullptr},
        {"a file with its fork", {"f", "._f"}, false, nullptr, {"f", ""}, nullptr},
        {"a refused file", {"a/x", "b/stuck", "b/y"}, false, "stuck", {}, "b/stuck"},
        {"long names",
         {deep + "/leaf"},
         false,
         nullptr,
         {deep + "/leaf", deep, "d/" + std::string(200, 'n'), "d", ""},
         nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vtest::TempDir dir;
        for (const std::string& f : row.files) {
            if (fs::path(f).filename().string().starts_with("._"))
                vtest::write_bytes(dir / ("box/" + f), vtest::sidecar_bytes("fork"));
            else
                dir.write("box/" + f, "x");
        }
        FSRef ref = ref_of(dir / "box");
        Told told;
        OSErr result;
        {
            vf::Scope scope;
            const std::string refuse = row.refuse ? row.refuse : "";
            vf::fail_if([&](const vf::Call& c) -> OSErr {
                if ((c.op == "VantrelFSBulkDeleteFiles.unlink" || c.op == "FSDeleteObject") &&
                    c.detail == refuse)
                    return fBsyErr;
                return noErr;
            });
            result = VantrelFSDeleteContainerVisiting(&ref, row.contentsOnly, record_visit, &told);
        }
        std::set<std::string> removed(told.removed.begin(), told.removed.end());
        if (row.refused) {
            EXPECT_OSERR(result, fBsyErr);
            ASSERT_EQ(told.refused.size(), 1u);
            EXPECT_EQ(told.refused[0], row.refused);
            EXPECT_OSERR(told.refusals[0], fBsyErr);
            for (const std::string& r : removed) EXPECT_FALSE(present(dir / "box" / r)) << r;
            continue;
        }
        EXPECT_OSERR(result, noErr);
        EXPECT_TRUE(told.refused.empty());
        EXPECT_EQ(removed, row.removed);
        EXPECT_EQ(told.removed.back(), row.contentsOnly ? "d" : "") << "folders last";
    }
    FSRef ref{};
    EXPECT_OSERR(VantrelFSDeleteContainerVisiting(nullptr, false, record_visit, nullptr), paramErr);
    EXPECT_OSERR(VantrelFSDeleteContainerVisiting(&ref, false, nullptr, nullptr), paramErr);
    Told told;
    EXPECT_OSERR(VantrelFSDeleteContainerVisiting(&ref, false, record_visit, &told), fnfErr);
    ASSERT_EQ(told.refused.size(), 1u) << "the container that is not there";
    EXPECT_EQ(told.refused[0], "");
}

TEST(FSDeleteContainer, NeverFollowsALinkEvenWhenADirectoryIsSwappedMidWalk) {
    vtest::TempDir t;
    t.write("outside/keep1", "k1");
    t.write("outside/deep/keep2", "k2");
    t.write("box/sub/s1", "s1");
    t.write("box/sub/s2", "s2");
    t.write("box/f", "f");
    fs::create_directory_symlink(t / "outside", t / "box/link");
    auto outside = snapshot(t / "outside");

    // A link inside the container is deleted as a link.
    {
        vtest::TempDir t2;
        t2.write("outside/x", "x");
        t2.write("box/y", "y");
        fs::create_directory_symlink(t2 / "outside", t2 / "box/link");
        FSRef b = ref_of(t2 / "box");
        EXPECT_EQ(FSDeleteContainer(&b), noErr);
        EXPECT_EQ(vtest::read_file(t2 / "outside/x"), "x");
    }

    // Race: just before the walk opens "sub", it becomes a link to "outside".
    FSRef box = ref_of(t / "box");
    bool swapped = false;
    {
        vf::Scope scope;
        vf::set_hook([&](const vf::Call& c) {
            if (!swapped && c.op == "FSOpenIterator" && c.detail == "sub") {
                swapped = true;
                fs::rename(t / "box/sub", t / "moved");
                fs::create_directory_symlink(t / "outside", t / "box/sub");
            }
        });
        // The folder listed went out of the container, and is no longer
        // the walk's to delete; the link that took its name is inside, and
        // goes as a link.
        EXPECT_EQ(FSDeleteContainer(&box), noErr);
    }
    EXPECT_FALSE(vtest::present(t / "box"));
    ASSERT_TRUE(swapped);
    EXPECT_EQ(vtest::diff(outside, snapshot(t / "outside")), "")
        << "nothing outside the container was touched";
    EXPECT_EQ(vtest::read_file(t / "moved/s1"), "s1");

    // Race while the level is being read: the walk keeps to the directory it
    // opened (wherever it now is) and never enters the link's target.
    vtest::TempDir t3;
    t3.write("outside/keep", "k");
    t3.write("box/sub/s1", "s1");
    t3.write("box/sub/s2", "s2");
    auto outside3 = snapshot(t3 / "outside");
    FSRef box3 = ref_of(t3 / "box");
    swapped = false;
    {
        vf::Scope scope;
        vf::set_hook([&](const vf::Call& c) {
            if (!swapped && c.op == "VantrelFSBulkDeleteFiles" && c.detail == "sub") {
                swapped = true;
                fs::rename(t3 / "box/sub", t3 / "moved");
                fs::create_directory_symlink(t3 / "outside", t3 / "box/sub");
            }
        });
        FSDeleteContainer(&box3);
    }
    ASSERT_TRUE(swapped);
    EXPECT_EQ(vtest::diff(outside3, snapshot(t3 / "outside")), "");
}

namespace {

struct Seen {
    std::vector<std::pair<std::string, ItemCount>> items;  // name, depth
    ItemCount stopAtDepth = 0;
    long bulkAtStop = -1;
    bool sawNullSpec = true, sawNullName = true, flagsAlwaysThere = true;
};

Boolean record(Boolean, ItemCount depth, const FSCatalogInfo* info, const FSRef* ref,
               const FSSpec* spec, const HFSUniStr255* name, void* ctx) {
    auto* s = static_cast<Seen*>(ctx);
    HFSUniStr255 n{};
    FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, &n, nullptr, nullptr);
    std::string nm;
    for (UInt16 i = 0; i < n.length; ++i) nm += char(n.unicode[i]);
    s->items.emplace_back(nm, depth);
    if (spec != nullptr) s->sawNullSpec = false;
    if (name != nullptr) s->sawNullName = false;
    struct stat st;
    (void)st;
    if (nm.starts_with("d") && !(info->nodeFlags & kFSNodeIsDirectoryMask))
        s->flagsAlwaysThere = false;
    if (s->stopAtDepth != 0 && depth == s->stopAtDepth) {
        s->bulkAtStop = vf::calls("FSGetCatalogInfoBulk");
        return true;
    }
    return false;
}

// d1/d2/d3/d4/leaf, plus one file per level.
void deep_tree(const vtest::TempDir& t) {
    t.write("top/f1", "");
    t.write("top/d1/f2", "");
    t.write("top/d1/d2/f3", "");
    t.write("top/d1/d2/d3/f4", "");
    t.write("top/d1/d2/d3/d4/f5", "");
}

}  // namespace

TEST(FSIterateContainer, DepthLimits) {
    vtest::TempDir t;
    deep_tree(t);
    FSRef top = ref_of(t / "top");
    struct Row {
        ItemCount limit;
        std::size_t count;
        ItemCount maxDepth;
    };
    for (Row row : {Row{0, 9, 5}, Row{1, 2, 1}, Row{3, 6, 3}}) {
        Seen s;
        ASSERT_EQ(FSIterateContainer(&top, row.limit, 0, false, false, record, &s), noErr);
        EXPECT_EQ(s.items.size(), row.count) << "limit " << row.limit;
        ItemCount maxDepth = 0;
        for (auto& [nm, d] : s.items) {
            maxDepth = std::max(maxDepth, d);
            // Depth first: a directory's items follow it straight away.
            if (nm == "d2") {
                EXPECT_EQ(d, 2u);
            }
        }
        EXPECT_EQ(maxDepth, row.maxDepth) << "limit " << row.limit;
        EXPECT_TRUE(s.sawNullSpec && s.sawNullName);
        EXPECT_TRUE(s.flagsAlwaysThere) << "node flags come even with a bitmap of 0";
    }
    Seen s;
    ASSERT_EQ(FSIterateContainer(&top, 1, kFSCatInfoNodeID, true, true, record, &s), noErr);
    EXPECT_FALSE(s.sawNullSpec);
    EXPECT_FALSE(s.sawNullName);

    // An empty container: the filter is never called.
    t.mkdir("empty");
    FSRef empty = ref_of(t / "empty");
    Seen none;
    EXPECT_EQ(FSIterateContainer(&empty, 0, 0, false, false, record, &none), noErr);
    EXPECT_TRUE(none.items.empty());
    EXPECT_EQ(FSIterateContainer(&empty, 0, 0, false, false, nullptr, &none), paramErr);
    EXPECT_EQ(FSIterateContainer(nullptr, 0, 0, false, false, record, &none), paramErr);
    FSRef zero{};
    EXPECT_EQ(FSIterateContainer(&zero, 0, 0, false, false, record, &none), fnfErr);
}

TEST(FSIterateContainer, AStopAtDepthThreeEndsTheWalkAndClosesEveryIterator) {
    vtest::TempDir t;
    deep_tree(t);
    t.write("top/d1/d2/d3/g4", "");
    t.write("top/z1", "");
    t.write("top/d1/z2", "");
    FSRef top = ref_of(t / "top");
    vf::Scope scope;
    vf::set_counting(true);
    Seen s;
    s.stopAtDepth = 3;
    ASSERT_EQ(FSIterateContainer(&top, 0, 0, false, false, record, &s), noErr)
        << "a stop is no error";
    ASSERT_FALSE(s.items.empty());
    EXPECT_EQ(s.items.back().second, 3u) << "nothing was visited after the stop";
    EXPECT_EQ(vf::calls("FSGetCatalogInfoBulk"), s.bulkAtStop)
        << "no further bulk request after the stop";
    EXPECT_EQ(vf::calls("FSOpenIterator"), 3);
    EXPECT_EQ(vf::calls("FSCloseIterator"), vf::calls("FSOpenIterator"))
        << "every level closed its iterator";
}

TEST(FSIterateContainer, NeverEntersALink) {
    vtest::TempDir t;
    t.write("outside/secret", "");
    t.write("top/f", "");
    fs::create_directory_symlink(t / "outside", t / "top/link");
    FSRef top = ref_of(t / "top");
    Seen s;
    ASSERT_EQ(FSIterateContainer(&top, 0, 0, false, false, record, &s), noErr);
    std::set<std::string> names;
    for (auto& [nm, d] : s.items) names.insert(nm);
    EXPECT_EQ(names, (std::set<std::string>{"f", "link"}));
}

TEST(FSIterateContainer, ASwapForALinkMidWalkNeverLeadsOutside) {
    vtest::TempDir t;
    t.write("outside/secret", "");
    t.write("top/sub/s1", "");
    t.write("top/f", "");
    FSRef top = ref_of(t / "top");
    for (const char* when : {"FSOpenIterator", "FSGetCatalogInfoBulk"}) {
        if (present(t / "moved")) {
            fs::remove(t / "top/sub");
            fs::rename(t / "moved", t / "top/sub");
        }
        bool swapped = false;
        Seen s;
        {
            vf::Scope scope;
            vf::set_hook([&](const vf::Call& c) {
                if (!swapped && c.op == when && c.detail == "sub") {
                    swapped = true;
                    fs::rename(t / "top/sub", t / "moved");
                    fs::create_directory_symlink(t / "outside", t / "top/sub");
                }
            });
            FSIterateContainer(&top, 0, 0, false, false, record, &s);
        }
        ASSERT_TRUE(swapped) << when;
        for (auto& [nm, d] : s.items) EXPECT_NE(nm, "secret") << "swap before " << when;
    }
}

// Runs `body` as the unprivileged user "nobody" in a child process; the
// child's exit status is the test's verdict (0 = pass).
static int run_as_nobody(const std::function<int()>& body) {
    struct passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) ::_exit(97);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(FSIterateContainer, ADirectoryRefusedForAccessEndsItsLevelAndTheWalkGoesOn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    vtest::TempDir t;
    ::chmod(t.path().c_str(), 0755);
    t.write("top/before", "");
    t.write("top/level/denied/hidden", "");
    for (int i = 0; i < 6; ++i) t.write("top/level/s" + std::to_string(i), "");
    t.write("top/zafter1", "");
    t.write("top/zafter2", "");
    for (auto& e : fs::recursive_directory_iterator(t / "top"))
        fs::permissions(e.path(), e.is_directory() ? fs::perms(0755) : fs::perms(0644));
    fs::permissions(t / "top", fs::perms(0755));
    fs::permissions(t / "top/level/denied", fs::perms(0));
    // The order in which the level lists its items decides what must be skipped.
    std::vector<std::string> order;
    DIR* d = ::opendir((t / "top/level").c_str());
    while (struct dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') order.push_back(e->d_name);
    ::closedir(d);
    auto deniedAt = std::find(order.begin(), order.end(), "denied") - order.begin();
    fs::path top = t / "top";
    int rc = run_as_nobody([&]() -> int {
        FSRef ref{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(top.c_str()), &ref, nullptr) != noErr)
            return 10;
        Seen s;
        if (FSIterateContainer(&ref, 0, 0, false, false, record, &s) != noErr) return 11;
        std::set<std::string> names;
        for (auto& [nm, dd] : s.items) names.insert(nm);
        if (!names.count("before") || !names.count("zafter1") || !names.count("zafter2")) return 12;
        if (!names.count("denied") || names.count("hidden")) return 13;
        for (std::size_t i = 0; i < order.size(); ++i) {
            bool expected = long(i) <= deniedAt;
            if (names.count(order[i]) != (expected ? 1u : 0u)) return 14;
        }
        // The container itself refused: -5000 comes back unchanged.
        FSRef denied{};
        fs::path dp = top / "level/denied";
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(dp.c_str()), &denied, nullptr) != noErr)
            return 15;
        if (FSIterateContainer(&denied, 0, 0, false, false, record, &s) != afpAccessDenied)
            return 16;
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "no user nobody";
    EXPECT_EQ(rc, 0) << "child verdict (see the codes in the test)";
}

namespace {

// The walk's items, and each one's access for the caller (userAccess).
struct Accesses {
    long items = 0;
    std::set<std::pair<bool, int>> seen;  // a folder?, userAccess
};

Boolean note_access(Boolean, ItemCount, const FSCatalogInfo* info, const FSRef*, const FSSpec*,
                    const HFSUniStr255*, void* ctx) {
    auto* a = static_cast<Accesses*>(ctx);
    ++a->items;
    FSPermissionInfo p;
    std::memcpy(&p, info->permissions, sizeof p);
    a->seen.emplace((info->nodeFlags & kFSNodeIsDirectoryMask) != 0, p.userAccess);
    return false;
}

}  // namespace

// What a walk asks the system for, by the fields its bitmap asks: only those
// that may come from Netatalk 2's ".AppleDouble" folder (Finder information,
// dates, resource-fork sizes) make it look for one in each folder; and a
// user's access (for the permissions) costs one call for the rights the mode
// bits suggest are the caller's and one for each right they do not: a user's
// own folder one, a file of theirs two; on a read-only mount, which refuses
// the writing the mode suggests, a folder two and a file three. Counted with
// strace over a tree of the user's own: 5 folders (0755) of 4 files (0644)
// below the one walked; the access each item shows is the kernel's.
TEST(FSIterateContainer, AsksTheSystemOnlyWhatItsFieldsNeed) {
    constexpr FSCatalogInfoBitmap kLsLine =
        kFSCatInfoNodeFlags | kFSCatInfoPermissions | kFSCatInfoDataSizes | kFSCatInfoContentMod;
    enum class As { Root, Nobody, NobodyReadOnly, NobodyLocked };
    struct Row {
        const char* label;
        FSCatalogInfoBitmap bitmap;
        As as;
        long appleDoubleLooks;  // for the 6 folders listed
        long accessCalls;       // -1: not counted
    };
    const std::vector<Row> rows{
        {"node flags", kFSCatInfoNone, As::Root, 0, -1},
        {"an ls -l line", kLsLine, As::Root, 0, -1},
        {"Finder information", kFSCatInfoFinderInfo, As::Root, 6, -1},
        {"resource-fork sizes", kFSCatInfoRsrcSizes, As::Root, 6, -1},
        {"an ls -l line, the user's own tree", kLsLine, As::Nobody, 0, 5 * 1 + 20 * 2},
        {"an ls -l line, the user's own tree mounted read-only", kLsLine, As::NobodyReadOnly, 0,
         5 * 2 + 20 * 3},
        // Locked files: writing is refused whatever the mode says.
        {"an ls -l line, the user's own tree with its files locked", kLsLine, As::NobodyLocked, 0,
         5 * 1 + 20 * 3},
    };
    vtest::TempDir t;
    ::chmod(t.path().c_str(), 0755);
    for (int d = 0; d < 5; ++d)
        for (int f = 0; f < 4; ++f)
            t.write("top/d" + std::to_string(d) + "/f" + std::to_string(f), "");
    const passwd* nobody = ::getpwnam("nobody");
    for (auto& e : fs::recursive_directory_iterator(t / "top")) {
        fs::permissions(e.path(), e.is_directory() ? fs::perms(0755) : fs::perms(0644));
        if (nobody != nullptr) (void)::lchown(e.path().c_str(), nobody->pw_uid, nobody->pw_gid);
    }
    if (nobody != nullptr) (void)::lchown((t / "top").c_str(), nobody->pw_uid, nobody->pw_gid);
    const std::string top = (t / "top").string();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        if (row.as != As::Root && (::geteuid() != 0 || nobody == nullptr)) {
            std::cout << "[ SKIPPED  ] " << row.label << ": " << vtest::kNeedsNobody << "\n";
            continue;
        }
        std::vector<fs::path> files;
        for (auto& e : fs::recursive_directory_iterator(top))
            if (e.is_regular_file()) files.push_back(e.path());
        struct Unlock {
            const std::vector<fs::path>& files;
            ~Unlock() {
                for (const fs::path& f : files) vtest::clear_immutable(f);
            }
        } unlock{files};
        if (row.as == As::NobodyLocked) {
            if (!vtest::can_set_immutable(top)) {
                std::cout << "[ SKIPPED  ] " << row.label << ": " << vtest::kNeedsImmutable << "\n";
                continue;
            }
            for (const fs::path& f : files) ASSERT_TRUE(vtest::set_immutable(f, true));
        }
        // The child's verdict: 0, or what went wrong (77: could not become
        // nobody or mount, a reason to skip).
        const auto walk = [&] {
            if (row.as == As::NobodyReadOnly &&
                (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 ::mount(top.c_str(), top.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
                 ::mount(nullptr, top.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                         nullptr) != 0))
                ::_exit(77);
            if (row.as != As::Root &&
                (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                 ::setuid(nobody->pw_uid) != 0))
                ::_exit(77);
            ::prctl(PR_SET_DUMPABLE, 1);
            FSRef r = ref_of(top);
            Accesses a;
            if (FSIterateContainer(&r, 0, row.bitmap, false, false, note_access, &a) != noErr ||
                a.items != 25)
                ::_exit(3);
            if (row.as == As::Root || (row.bitmap & kFSCatInfoPermissions) == 0) return;
            // Nobody's own: owner, search (a folder), read, and write unless
            // the mount or the lock refuses it.
            const int folderWrite = row.as == As::NobodyReadOnly ? 0 : 4;
            const int fileWrite = row.as == As::Nobody ? 4 : 0;
            const std::set<std::pair<bool, int>> want{{true, 0x80 | 1 | 2 | folderWrite},
                                                      {false, 0x80 | 2 | fileWrite}};
            if (a.seen != want) ::_exit(4);
        };
        const auto looks = vtest::traced_calls(walk, ".AppleDouble");
        if (!looks) GTEST_SKIP() << vtest::kNoTracer;
        if (looks->status == 77) {
            std::cout << "[ SKIPPED  ] " << row.label << ": cannot become nobody or mount\n";
            continue;
        }
        ASSERT_EQ(looks->status, 0) << "3: the walk failed, 4: an access that is not the kernel's";
        long seen = 0;
        for (const auto& [name, n] : looks->calls) seen += n;
        EXPECT_EQ(seen, row.appleDoubleLooks) << "looks for .AppleDouble";
        if (row.accessCalls < 0) continue;
        const auto all = vtest::traced_calls(walk);
        ASSERT_TRUE(all.has_value());
        ASSERT_EQ(all->status, 0);
        EXPECT_EQ(
            vtest::calls_of(all->calls, "faccessat2") + vtest::calls_of(all->calls, "faccessat"),
            row.accessCalls)
            << "asks of the user's access";
    }
}

TEST(FSGetDirectoryItems, TwentyFiveItemsInAppendsOfAtMostTen) {
    vtest::TempDir t;
    for (int i = 0; i < 25; ++i) t.write("dir/item" + std::to_string(i), "");
    FSRef dir = ref_of(t / "dir");
    FSRef** h = nullptr;
    ItemCount count = 99;
    Boolean changed = true;
    std::vector<Size> sizesBeforeAppend;
    {
        vf::Scope scope;
        vf::set_hook([&](const vf::Call& c) {
            if (c.op == "PtrAndHand")
                sizesBeforeAppend.push_back(GetHandleSize(reinterpret_cast<Handle>(h)));
        });
        ASSERT_EQ(FSGetDirectoryItems(&dir, &h, &count, &changed), noErr);
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(count, 25u);
    EXPECT_FALSE(changed);
    EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(h)), Size(25 * 80));
    sizesBeforeAppend.push_back(GetHandleSize(reinterpret_cast<Handle>(h)));
    ASSERT_EQ(sizesBeforeAppend.size(), 4u) << "three appends";
    for (std::size_t i = 1; i < sizesBeforeAppend.size(); ++i) {
        Size added = sizesBeforeAppend[i] - sizesBeforeAppend[i - 1];
        EXPECT_GT(added, 0);
        EXPECT_LE(added, Size(10 * 80));
    }
    std::set<std::string> names;
    for (ItemCount i = 0; i < count; ++i) {
        UInt8 path[4096];
        ASSERT_EQ(FSRefMakePath(&(*h)[i], path, sizeof path), noErr);
        names.insert(fs::path(reinterpret_cast<char*>(path)).filename());
    }
    EXPECT_EQ(names.size(), 25u);
    DisposeHandle(reinterpret_cast<Handle>(h));
}

TEST(FSGetDirectoryItems, ChangedFlagFailuresAndBadInput) {
    vtest::TempDir t;
    for (int i = 0; i < 25; ++i) t.write("dir/item" + std::to_string(i), "");
    FSRef dir = ref_of(t / "dir");
    FSRef** h = nullptr;
    ItemCount count = 0;
    Boolean changed = false;
    {
        // The directory changes between the first and second request.
        vf::Scope scope;
        vf::set_hook([&](const vf::Call& c) {
            if (c.op == "FSGetCatalogInfoBulk" && c.index == 2) t.write("dir/late", "");
        });
        ASSERT_EQ(FSGetDirectoryItems(&dir, &h, &count, &changed), noErr);
    }
    EXPECT_TRUE(changed);
    EXPECT_GE(count, 25u);
    DisposeHandle(reinterpret_cast<Handle>(h));

    {
        vf::Scope scope;
        vf::fail_nth("FSGetCatalogInfoBulk", 2, ioErr);
        h = reinterpret_cast<FSRef**>(1);
        EXPECT_EQ(FSGetDirectoryItems(&dir, &h, &count, &changed), ioErr);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(count, 0u);
    }
    {
        vf::Scope scope;
        vf::fail_nth("PtrAndHand", 2, memFullErr);
        EXPECT_EQ(FSGetDirectoryItems(&dir, &h, &count, &changed), memFullErr);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(count, 0u);
        vf::reset();
        vf::fail_nth("NewHandle", 1, memFullErr);
        EXPECT_EQ(FSGetDirectoryItems(&dir, &h, &count, &changed), memFullErr);
        EXPECT_EQ(h, nullptr);
    }

    t.mkdir("empty");
    FSRef empty = ref_of(t / "empty");
    ASSERT_EQ(FSGetDirectoryItems(&empty, &h, &count, &changed), noErr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(h)), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(changed);
    DisposeHandle(reinterpret_cast<Handle>(h));

    EXPECT_EQ(FSGetDirectoryItems(&dir, nullptr, &count, &changed), paramErr);
    EXPECT_EQ(FSGetDirectoryItems(&dir, &h, nullptr, &changed), paramErr);
    EXPECT_EQ(FSGetDirectoryItems(&dir, &h, &count, nullptr), paramErr);
    FSRef zero{};
    EXPECT_EQ(FSGetDirectoryItems(&zero, &h, &count, &changed), fnfErr);
    EXPECT_EQ(h, nullptr);
    FSRef gone = ref_of(t / "empty");
    fs::remove(t / "empty");
    EXPECT_EQ(FSGetDirectoryItems(&gone, &h, &count, &changed), fnfErr);
    auto file = t.write("plain", "p");
    FSRef f = ref_of(file);
    EXPECT_EQ(FSGetDirectoryItems(&f, &h, &count, &changed), errFSNotAFolder);
    EXPECT_EQ(vtest::read_file(file), "p");
}

// A chain 10,000 directories deep, with two files beside each directory,
// walked and then deleted on a thread with a 1 MiB stack while only 1,024
// descriptors are allowed: the walk keeps its levels on the heap and no
// descriptor per level, and a level whose descriptor was given up while the
// walk was far below goes on where it was. The visiting order is the
// described one: a directory's items follow it straight away.
TEST(FSDeleteContainer, TenThousandLevelsDeepOnASmallStackWithFewDescriptors) {
    vtest::TempDir t;
    const int kDepth = 10000;
    auto result = vtest::in_deep_scratch(t.path(), 1024, [&](const fs::path& top) -> std::string {
        fs::create_directory(top / "box");
        int fd = ::open((top / "box").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; i < kDepth && fd >= 0; ++i) {
            const bool last = i == kDepth - 1;
            if (!last && ::mkdirat(fd, "d", 0755) != 0) return "mkdirat failed";
            for (const char* f : {"x", "y"})
                ::close(::openat(fd, f, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            int next = last ? -1 : ::openat(fd, "d", O_PATH | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        FSRef box = ref_of(top / "box");
        std::string msg;
        vtest::run_on_small_stack([&] {
            std::vector<std::pair<ItemCount, bool>> seen;  // depth, directory
            auto filter = [](Boolean, ItemCount depth, const FSCatalogInfo* info, const FSRef*,
                             const FSSpec*, const HFSUniStr255*, void* ctx) -> Boolean {
                static_cast<decltype(seen)*>(ctx)->emplace_back(
                    depth, (info->nodeFlags & kFSNodeIsDirectoryMask) != 0);
                return false;
            };
            OSErr e = FSIterateContainer(&box, 0, 0, false, false, filter, &seen);
            std::vector<int> perDepth(kDepth + 2, 0);
            bool inOrder = true;
            for (std::size_t i = 0; i < seen.size(); ++i) {
                perDepth[std::min<std::size_t>(seen[i].first, kDepth + 1)]++;
                if (seen[i].second && i + 1 < seen.size())
                    inOrder = inOrder && seen[i + 1].first == seen[i].first + 1;
            }
            bool everyLevel = true;
            for (int d = 1; d <= kDepth; ++d)
                everyLevel = everyLevel && perDepth[d] == (d < kDepth ? 3 : 2);
            if (e != noErr || !inOrder || !everyLevel || perDepth[kDepth + 1] != 0)
                msg += "walk gave " + std::to_string(e) + " with " + std::to_string(seen.size()) +
                       " items, in order " + std::to_string(inOrder) + "\n";
            e = FSDeleteContainer(&box);
            if (e != noErr) msg += "delete gave " + std::to_string(e) + "\n";
        });
        if (present(top / "box")) msg += "the container is still there\n";
        return msg;
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ("", *result);
}
