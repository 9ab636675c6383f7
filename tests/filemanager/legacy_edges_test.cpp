// The parameter-block wrappers where an FSSpec cannot say everything: a
// volume's root (its parent is the root's parent, ID 1) and names longer
// than a Pascal name holds.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "Child.h"
#include "DeepTree.h"
#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace fs = std::filesystem;

namespace {

using vtest::path_of;
using vtest::ref_of;

}  // namespace

// The access of a volume's root is read and set like any folder's: on a
// tmpfs of our own, so that nothing real changes.
TEST(VolumeRoot, DirectoryAccessIsReadAndSet) {
    vtest::TempDir dir;
    fs::create_directories(dir / "mnt");
    const fs::path mnt = dir / "mnt";
    auto msg = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m,mode=0755") != 0) ::_exit(77);
        FSRef root{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(mnt.c_str()), &root, nullptr) != noErr)
            return "no reference to the root";
        SInt32 owner = -1, group = -1, rights = -1;
        if (OSErr e = FSGetDirAccess(&root, &owner, &group, &rights))
            return "FSGetDirAccess gave " + std::to_string(e);
        if (owner != SInt32(::geteuid())) return "owner " + std::to_string(owner);
        if (OSErr e = FSSetDirAccess(&root, owner, group, 0))
            return "FSSetDirAccess gave " + std::to_string(e);
        struct stat st {};
        ::stat(mnt.c_str(), &st);
        if ((st.st_mode & 0777) != 0) return "mode " + std::to_string(st.st_mode & 0777);
        return "";
    });
    if (!msg) GTEST_SKIP() << "no private mount namespace with a tmpfs here";
    EXPECT_EQ(*msg, "");
}

// Without a new name the copy keeps the source's name, even one a Pascal
// name cannot hold; newRef names the copy.
TEST(CopyFileWithoutANewName, FillsNewRefForALongName) {
    vtest::TempDir dir;
    const std::string name(40, 'n');
    const fs::path src = dir.write("src/" + name, "data");
    fs::create_directories(dir / "dst");
    FSRef s = ref_of(src), d = ref_of(dir / "dst");
    FSRef out;
    std::memset(&out, 0, sizeof out);
    ASSERT_EQ(FSCopyFile(&s, &d, 0, nullptr, kTextEncodingUnknown, &out), noErr);
    EXPECT_EQ(path_of(out), (dir / "dst" / name).string());
}

// A destination deeper than a path can name: newRef still names the copy
// (found by its Unicode name when the path to it cannot be made).
TEST(CopyFileWithoutANewName, FillsNewRefInADirectoryDeeperThanAPathReaches) {
    vtest::TempDir dir;
    const std::string level(250, 'd');
    fs::create_directory(dir / "deep");
    const int fd = vtest::make_chain(dir / "deep", 20, level.c_str());
    ASSERT_GE(fd, 0);
    ::close(fd);
    FSRef d = ref_of(dir / "deep");
    const std::u16string u(level.begin(), level.end());
    for (int i = 0; i < 20; ++i) {
        FSRef next;
        ASSERT_EQ(FSMakeFSRefUnicode(&d, u.size(), reinterpret_cast<const UniChar*>(u.data()),
                                     kTextEncodingUnknown, &next),
                  noErr);
        d = next;
    }
    FSRef s = ref_of(dir.write("src/plain", "data")), out{};
    ASSERT_EQ(FSCopyFile(&s, &d, 0, nullptr, kTextEncodingUnknown, &out), noErr);
    HFSUniStr255 name;
    FSRef parent;
    ASSERT_EQ(FSGetCatalogInfo(&out, kFSCatInfoNone, nullptr, &name, nullptr, &parent), noErr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.unicode), name.length),
              u"plain");
    EXPECT_EQ(FSCompareFSRefs(&parent, &d), noErr);
}

// The copy's reference is made by its name once the copy has one: what
// another program puts under that name in the meantime (a link to
// something outside the folder) is never what the reference names; the
// call either names what is in the folder under that name or says it
// cannot, and nothing outside is touched.
TEST(CopyFileWithoutANewName, NewRefNeverNamesWhatALinkInTheCopysPlacePointsTo) {
    struct Row {
        const char* what;
        const char* name;  // the source's name: ASCII, or not
    };
    const Row rows[] = {{"an ASCII name", "plain"}, {"a name that is not ASCII", "caf\xC3\xA9"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir;
        const fs::path src = dir.write(std::string("src/") + row.name, "data");
        const fs::path outside = dir.write("outside/target", "outside");
        fs::create_directories(dir / "dst");
        FSRef s = ref_of(src), d = ref_of(dir / "dst"), target = ref_of(outside);
        bool linked = false, swapped = false;
        vantrel::fault::Scope scope;
        vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
            if (c.op == "PBHCopyFileSync.link") {
                linked = true;  // the copy gets its name after this check
            } else if (linked && !swapped) {
                swapped = true;
                fs::rename(dir / "dst" / row.name, dir / "taken away");
                fs::create_symlink(outside, dir / "dst" / row.name);
            }
        });
        FSRef out{};
        const OSErr e = FSCopyFile(&s, &d, 0, nullptr, kTextEncodingUnknown, &out);
        vantrel::fault::set_hook(nullptr);
        ASSERT_TRUE(swapped);
        if (e == noErr) {
            EXPECT_NE(FSCompareFSRefs(&out, &target), noErr) << "names the link's target";
            FSRef parent;
            ASSERT_EQ(FSGetCatalogInfo(&out, kFSCatInfoNone, nullptr, nullptr, nullptr, &parent),
                      noErr);
            EXPECT_EQ(FSCompareFSRefs(&parent, &d), noErr) << "names something outside the folder";
        }
        EXPECT_EQ(vtest::read_file(outside), "outside");
        EXPECT_EQ(vtest::read_file(dir / "taken away"), "data");
    }
}
