// The parameter-block wrappers on real files: byte-range locks, directory
// access, ID mapping, file IDs, the default directory, paths, copy and
// move-rename.
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SmallVolume.h"
#include "finder_test_support.h"
#include "vantrel/fault.h"

namespace {

using namespace ftest;

class LegacyTest : public ::testing::Test {
  protected:
    vantrel::fault::Scope scope_;
    vtest::TempDir dir_{"legacy"};
};

std::vector<UniChar> u16(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

// ---------------------------------------------------------------- byte-range locks

// Whether another open file description would be refused a write lock on
// [start, start+len): the lock is seen from outside, as another program sees it.
bool range_locked(const fs::path& p, off_t start, off_t len) {
    int fd = ::open(p.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    bool locked = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    return locked;
}

TEST_F(LegacyTest, LockRangeLocksFromTheStartOfTheFork) {
    const fs::path file = dir_.write("f", std::string(0x1000, 'x'));
    FSRef ref = ref_of(file);
    HFSUniStr255 dataFork;
    ASSERT_EQ(noErr, FSGetDataForkName(&dataFork));
    FSIORefNum refNum = 0;
    ASSERT_EQ(noErr, FSOpenFork(&ref, dataFork.length, dataFork.unicode, fsRdWrPerm, &refNum));
    // Move the fork's mark: the range must still count from the start.
    ASSERT_EQ(noErr, FSSetForkPosition(refNum, fsFromStart, 0x800));

    ASSERT_EQ(noErr, FSLockRange(refNum, 0x100, 0x200));
    EXPECT_TRUE(range_locked(file, 0x200, 0x100));
    EXPECT_TRUE(range_locked(file, 0x2FF, 1));
    EXPECT_FALSE(range_locked(file, 0x1FF, 1)) << "nothing before the start";
    EXPECT_FALSE(range_locked(file, 0x300, 1)) << "nothing after the end";
    EXPECT_FALSE(range_locked(file, 0xA00, 0x100)) << "not counted from the mark";

    ASSERT_EQ(noErr, FSUnlockRange(refNum, 0x100, 0x200));
    EXPECT_FALSE(range_locked(file, 0x200, 0x100));
    // Ranges the 32-bit block cannot carry are refused, not cut to another range.
    EXPECT_EQ(paramErr, FSLockRange(refNum, 0x1'0000'0010L, 0));
    EXPECT_EQ(paramErr, FSLockRange(refNum, 0x10, 0x1'0000'0000L));
    EXPECT_FALSE(range_locked(file, 0, 0));
    EXPECT_EQ(noErr, FSCloseFork(refNum));

    EXPECT_NE(noErr, FSLockRange(refNum, 0x100, 0x200)) << "a closed fork cannot be locked";
}

TEST_F(LegacyTest, LockRangeConflictsWithAnotherDescriptionAndClosingReleases) {
    const fs::path file = dir_.write("f", std::string(0x1000, 'x'));
    FSRef ref = ref_of(file);
    HFSUniStr255 dataFork;
    ASSERT_EQ(noErr, FSGetDataForkName(&dataFork));
    FSIORefNum a = 0, b = 0;
    ASSERT_EQ(noErr, FSOpenFork(&ref, dataFork.length, dataFork.unicode, fsRdWrShPerm, &a));
    ASSERT_EQ(noErr, FSOpenFork(&ref, dataFork.length, dataFork.unicode, fsRdWrShPerm, &b));
    ASSERT_EQ(noErr, FSLockRange(a, 0x10, 0));
    const OSErr conflict = FSLockRange(b, 0x10, 0x8);
    EXPECT_NE(noErr, conflict) << "a second fork opening cannot lock an overlapping range";
    EXPECT_EQ(noErr, FSLockRange(b, 0x10, 0x10)) << "an adjacent range is free";
    ASSERT_EQ(noErr, FSCloseFork(a));
    EXPECT_FALSE(range_locked(file, 0, 0x10)) << "closing the fork releases its locks";
    EXPECT_EQ(noErr, FSCloseFork(b));
}

TEST(LegacySymbols, RangeLocksAreExportedWithTheirCxxParameterLists) {
    EXPECT_NE(nullptr, ::dlsym(RTLD_DEFAULT, "_Z11FSLockRangesll"));
    EXPECT_NE(nullptr, ::dlsym(RTLD_DEFAULT, "_Z13FSUnlockRangesll"));
    EXPECT_EQ(nullptr, ::dlsym(RTLD_DEFAULT, "FSLockRange")) << "no C-linkage twin";
    EXPECT_NE(nullptr, ::dlsym(RTLD_DEFAULT, "FSGetDirAccess")) << "the others have plain names";
}

// ---------------------------------------------------------------- directory access

struct AccessCase {
    unsigned mode;
    SInt32 rights;  // bits 0-2, 8-10, 16-18
};

class DirAccess : public LegacyTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(DirAccess, RightsRoundTripThroughTheModeBits) {
    const fs::path d = dir_.mkdir("shared");
    FSRef ref = ref_of(d);
    const auto& c = GetParam();
    ASSERT_EQ(noErr, FSSetDirAccess(&ref, static_cast<SInt32>(::geteuid()),
                                    static_cast<SInt32>(::getegid()), c.rights));
    struct stat st {};
    ASSERT_EQ(0, ::stat(d.c_str(), &st));
    EXPECT_EQ(c.mode, st.st_mode & 0777) << std::oct << (st.st_mode & 0777);

    SInt32 owner = -5, group = -5, rights = 0;
    ASSERT_EQ(noErr, FSGetDirAccess(&ref, &owner, &group, &rights));
    EXPECT_EQ(static_cast<SInt32>(::geteuid()), owner);
    EXPECT_EQ(static_cast<SInt32>(::getegid()), group);
    EXPECT_EQ(c.rights, rights & 0x00070707) << std::hex << rights;
    EXPECT_EQ(0, rights & 0x10000000) << "blank access is never reported";
    EXPECT_NE(0, rights & 0x80000000) << "the caller owns the directory";
}

INSTANTIATE_TEST_SUITE_P(Rows, DirAccess,
                         ::testing::Values(AccessCase{0700, 0x000007}, AccessCase{0755, 0x030307},
                                           AccessCase{0750, 0x000307}, AccessCase{0000, 0x000000},
                                           AccessCase{0123, 0x050401}, AccessCase{0777, 0x070707}));

TEST_F(LegacyTest, SetDirAccessMasksTheWordAndKeepsSpecialBits) {
    const fs::path d = dir_.mkdir("shared");
    ASSERT_EQ(0, ::chmod(d.c_str(), 01750));  // sticky
    FSRef ref = ref_of(d);
    std::string seen;
    vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
        if (c.op == "PBHSetDirAccessSync") seen = std::string(c.detail);
    });
    ASSERT_EQ(noErr,
              FSSetDirAccess(&ref, static_cast<SInt32>(::geteuid()),
                             static_cast<SInt32>(::getegid()), static_cast<SInt32>(0xFFFFFFFF)));
    EXPECT_EQ("access=0x10070707", seen);
    struct stat st {};
    ASSERT_EQ(0, ::stat(d.c_str(), &st));
    EXPECT_EQ(01777u, st.st_mode & 07777) << std::oct << (st.st_mode & 07777);
}

TEST_F(LegacyTest, DirAccessChangesOwnerAndRefusesFilesAndLinks) {
    const fs::path d = dir_.mkdir("shared");
    FSRef ref = ref_of(d);
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && nobody != nullptr) {
        ASSERT_EQ(noErr, FSSetDirAccess(&ref, static_cast<SInt32>(nobody->pw_uid), 0, 0x070707));
        struct stat st {};
        ASSERT_EQ(0, ::stat(d.c_str(), &st));
        EXPECT_EQ(nobody->pw_uid, st.st_uid);
        SInt32 rights = 0;
        ASSERT_EQ(noErr, FSGetDirAccess(&ref, nullptr, nullptr, &rights));
        EXPECT_EQ(0, rights & 0x80000000) << "root is not the owner any more";
        EXPECT_EQ(0x07000000, rights & 0x07000000) << "but root may still do everything";
    }
    // All out-parameters null: both requests are still made.
    vantrel::fault::set_counting(true);
    EXPECT_EQ(noErr, FSGetDirAccess(&ref, nullptr, nullptr, nullptr));
    EXPECT_EQ(1, vantrel::fault::calls("PBHGetDirAccessSync"));

    FSRef file = ref_of(dir_.write("f"));
    EXPECT_EQ(dirNFErr, FSGetDirAccess(&file, nullptr, nullptr, nullptr));
    EXPECT_EQ(dirNFErr, FSSetDirAccess(&file, 0, 0, 0));
    fs::create_directory_symlink(d, dir_.path() / "link");
    FSRef link = ref_of(dir_.path() / "link");
    EXPECT_EQ(dirNFErr, FSSetDirAccess(&link, 0, 0, 0))
        << "a link is not followed to its directory";

    SInt32 owner = 123;
    vantrel::fault::fail_next("PBHGetDirAccessSync", afpAccessDenied);
    EXPECT_EQ(afpAccessDenied, FSGetDirAccess(&ref, &owner, nullptr, nullptr));
    EXPECT_EQ(123, owner);
}

TEST_F(LegacyTest, LockedDirectoryRefusesNewRightsAndIsLeftAsItWas) {
    if (!vtest::can_set_immutable(dir_.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    const fs::path d = dir_.mkdir("shared");
    ASSERT_EQ(0, ::chmod(d.c_str(), 0755));
    FSRef ref = ref_of(d);
    ASSERT_TRUE(vtest::set_immutable(d, true));
    EXPECT_EQ(fLckdErr, FSSetDirAccess(&ref, static_cast<SInt32>(::geteuid()), 0, 0x070707));
    vtest::set_immutable(d, false);
    struct stat st {};
    ASSERT_EQ(0, ::stat(d.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
}

// ---------------------------------------------------------------- IDs and names

TEST_F(LegacyTest, MapIDAndMapNameRoundTrip) {
    Str31 name;
    ASSERT_EQ(noErr, FSMapID(0, 0, kOwnerID2Name, name));
    EXPECT_EQ("root", std::string(reinterpret_cast<char*>(name + 1), name[0]));
    SInt32 id = -1;
    ASSERT_EQ(noErr, FSMapName(0, name, kOwnerName2ID, &id));
    EXPECT_EQ(0, id);
    const unsigned char unknown[] = "\x0Cno-such-user";
    id = -1;
    EXPECT_EQ(fnfErr, FSMapName(0, unknown, kOwnerName2ID, &id));
    EXPECT_EQ(-1, id) << "not written on failure";
    EXPECT_EQ(paramErr, FSMapID(0, 0, kOwnerID2Name, nullptr));
    EXPECT_EQ(paramErr, FSMapName(0, name, kOwnerName2ID, nullptr));
}

// ---------------------------------------------------------------- file IDs

TEST_F(LegacyTest, FileIDsSurviveRenameAndMove) {
    const fs::path file = dir_.write("a/file", "payload");
    dir_.mkdir("b");
    FSRef ref = ref_of(file);
    SInt32 id = 0;
    ASSERT_EQ(noErr, FSCreateFileIDRef(&ref, &id));
    EXPECT_NE(0, id);
    SInt32 again = 0;
    const OSErr second = FSCreateFileIDRef(&ref, &again);
    EXPECT_TRUE(second == fidExists || second == afpIDExists) << second;
    EXPECT_EQ(id, again) << "the existing ID comes back with the code";

    FSVolumeRefNum vol = 0;
    ASSERT_EQ(noErr, FSGetVRefNum(&ref, &vol));
    // Renamed through the layer, then moved by another program.
    std::vector<UniChar> newName = u16("renamed");
    FSRef renamed;
    ASSERT_EQ(noErr, FSRenameUnicode(&ref, newName.size(), newName.data(), kTextEncodingUnknown,
                                     &renamed));
    fs::rename(dir_.path() / "a/renamed", dir_.path() / "b/moved");

    FSRef found;
    std::memset(&found, 0, sizeof found);
    ASSERT_EQ(noErr, FSResolveFileIDRef(vol, id, &found));
    EXPECT_EQ((dir_.path() / "b/moved").string(), path_of(found));
    EXPECT_EQ("payload", vtest::read_file(path_of(found)));
}

TEST_F(LegacyTest, FileIDsAreRefusedForFoldersAndUnknownIDs) {
    // The search for an unknown ID reads every file of the volume.
    const vtest::TempDir dir = vtest::small_volume_dir("legacy");
    FSRef folder = ref_of(dir.mkdir("d"));
    SInt32 id = 77;
    EXPECT_EQ(notAFileErr, FSCreateFileIDRef(&folder, &id));
    EXPECT_EQ(77, id) << "not written on a failure";
    FSRef file = ref_of(dir.write("f"));
    EXPECT_EQ(paramErr, FSCreateFileIDRef(&file, nullptr));

    FSVolumeRefNum vol = 0;
    ASSERT_EQ(noErr, FSGetVRefNum(&file, &vol));
    // The file's node ID is not a file ID until one is made.
    SInt32 nodeID = 0;
    FSCatalogInfo info{};
    ASSERT_EQ(noErr, FSGetCatalogInfo(&file, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr));
    nodeID = static_cast<SInt32>(info.nodeID);
    FSRef out;
    std::memset(&out, 0xCD, sizeof out);
    EXPECT_EQ(fidNotFound, FSResolveFileIDRef(vol, nodeID, &out));
    EXPECT_EQ(0xCD, out.hidden[0]) << "the out reference is left untouched";
    EXPECT_EQ(paramErr, FSResolveFileIDRef(vol, nodeID, nullptr));
}

TEST_F(LegacyTest, ACopiedMarkerDoesNotMakeTheCopyShareTheID) {
    const fs::path file = dir_.write("f", "one");
    FSRef ref = ref_of(file);
    SInt32 id = 0;
    ASSERT_EQ(noErr, FSCreateFileIDRef(&ref, &id));
    // Another program copies the file with its extended attributes.
    const fs::path copy = dir_.path() / "copy";
    ASSERT_EQ(0,
              std::system(("cp --preserve=xattr " + file.string() + " " + copy.string()).c_str()));
    FSRef copyRef = ref_of(copy);
    SInt32 copyID = 0;
    EXPECT_EQ(noErr, FSCreateFileIDRef(&copyRef, &copyID)) << "the copy has no ID yet";
    EXPECT_NE(id, copyID);
    FSVolumeRefNum vol = 0;
    ASSERT_EQ(noErr, FSGetVRefNum(&ref, &vol));
    FSRef found;
    ASSERT_EQ(noErr, FSResolveFileIDRef(vol, id, &found));
    EXPECT_EQ(file.string(), path_of(found));
}

// ---------------------------------------------------------------- default directory

TEST_F(LegacyTest, SetDefaultThenRestoreDefault) {
    const fs::path before = fs::current_path();
    FSRef target = ref_of(dir_.mkdir("work"));
    FSRef previous;
    ASSERT_EQ(noErr, FSSetDefault(&target, &previous));
    EXPECT_EQ(fs::canonical(dir_.path() / "work"), fs::current_path());
    EXPECT_EQ(before.string(), path_of(previous)) << "previous names the old working directory";
    ASSERT_EQ(noErr, FSRestoreDefault(&previous));
    EXPECT_EQ(before, fs::current_path());
}

TEST_F(LegacyTest, DefaultDirectoryRefusesFilesAndNulls) {
    const fs::path before = fs::current_path();
    FSRef file = ref_of(dir_.write("f"));
    FSRef previous;
    std::memset(&previous, 0xAB, sizeof previous);
    EXPECT_EQ(dirNFErr, FSSetDefault(&file, &previous));
    EXPECT_EQ(before, fs::current_path()) << "nothing changed";
    EXPECT_EQ(0xAB, previous.hidden[0]);
    EXPECT_EQ(dirNFErr, FSRestoreDefault(&file));
    EXPECT_EQ(paramErr, FSSetDefault(nullptr, &previous));
    EXPECT_EQ(paramErr, FSSetDefault(&file, nullptr));
    EXPECT_EQ(paramErr, FSRestoreDefault(nullptr));

    // A failing HSetVol leaves the default where it was.
    FSRef dir = ref_of(dir_.mkdir("d"));
    vantrel::fault::fail_nth("HSetVol", 1, ioErr);
    EXPECT_EQ(ioErr, FSSetDefault(&dir, &previous));
    EXPECT_EQ(before, fs::current_path());
}

// ---------------------------------------------------------------- paths

TEST_F(LegacyTest, MakePathFromVolumeDirectoryAndName) {
    const fs::path file = dir_.write("sub/name.txt");
    FSRef sub = ref_of(dir_.path() / "sub");
    FSCatalogInfo info{};
    ASSERT_EQ(noErr, FSGetCatalogInfo(&sub, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr,
                                      nullptr, nullptr));
    const unsigned char name[] = "\x08name.txt";
    UInt8 path[4096];
    ASSERT_EQ(noErr,
              FSMakePath(info.volume, static_cast<SInt32>(info.nodeID), name, path, sizeof path));
    EXPECT_EQ(file.string(), reinterpret_cast<char*>(path));
    EXPECT_EQ(paramErr,
              FSMakePath(info.volume, static_cast<SInt32>(info.nodeID), name, nullptr, 100));
    UInt8 small[8];
    EXPECT_NE(noErr,
              FSMakePath(info.volume, static_cast<SInt32>(info.nodeID), name, small, sizeof small));
    const unsigned char missing[] = "\x07missing";
    EXPECT_EQ(fnfErr, FSMakePath(info.volume, static_cast<SInt32>(info.nodeID), missing, path,
                                 sizeof path));
}

// ---------------------------------------------------------------- copy and move-rename

TEST_F(LegacyTest, CopyFileCopiesDataForksAndFinderInfo) {
    const fs::path src = dir_.write("src/report", std::string(100000, 'q'));
    set_xattr(src, kResourceForkAttr, "resource bytes");
    FSRef srcRef = ref_of(src);
    FinderInfo fi{};
    fi.file = file_info(0x54455854, 0x74747874, kIsStationery);
    ASSERT_EQ(noErr, FSSetFinderInfo(&srcRef, &fi, nullptr));
    FSRef destDir = ref_of(dir_.mkdir("dest"));

    std::vector<UniChar> newName = u16("copy of report");
    FSRef newRef;
    ASSERT_EQ(noErr, FSCopyFile(&srcRef, &destDir, newName.size(), newName.data(),
                                kTextEncodingUnknown, &newRef));
    const fs::path copy = dir_.path() / "dest/copy of report";
    EXPECT_EQ(copy.string(), path_of(newRef));
    EXPECT_EQ(vtest::read_file(src), vtest::read_file(copy));
    EXPECT_EQ(get_xattr(src, kResourceForkAttr), get_xattr(copy, kResourceForkAttr));
    FinderInfo got{};
    ASSERT_EQ(noErr, FSGetFinderInfo(&newRef, &got, nullptr, nullptr));
    EXPECT_EQ(0, std::memcmp(&fi, &got, 16));

    // No new name: the copy keeps the source's, and newRef names the copy.
    FSRef keptRef;
    ASSERT_EQ(noErr, FSCopyFile(&srcRef, &destDir, 0, nullptr, kTextEncodingUnknown, &keptRef));
    EXPECT_EQ((dir_.path() / "dest/report").string(), path_of(keptRef));
    EXPECT_EQ(vtest::read_file(src), vtest::read_file(dir_.path() / "dest/report"));
}

TEST_F(LegacyTest, CopyFileNeverReplacesAndLeavesNothingOnFailure) {
    const fs::path src = dir_.write("src/report", "new contents");
    const fs::path existing = dir_.write("dest/report", "keep me");
    FSRef srcRef = ref_of(src), destDir = ref_of(dir_.path() / "dest");
    EXPECT_EQ(dupFNErr, FSCopyFile(&srcRef, &destDir, 0, nullptr, kTextEncodingUnknown, nullptr));
    EXPECT_EQ("keep me", vtest::read_file(existing));

    vantrel::fault::fail_nth("PBHCopyFileSync", 1, dskFulErr);
    std::vector<UniChar> other = u16("other");
    EXPECT_EQ(dskFulErr, FSCopyFile(&srcRef, &destDir, other.size(), other.data(),
                                    kTextEncodingUnknown, nullptr));
    EXPECT_FALSE(fs::exists(dir_.path() / "dest/other"));
    FSRef folder = ref_of(dir_.mkdir("folder"));
    EXPECT_EQ(notAFileErr,
              FSCopyFile(&folder, &destDir, 0, nullptr, kTextEncodingUnknown, nullptr));
    // Names that cannot be one component are refused before anything is made.
    std::vector<UniChar> dots = u16("..");
    EXPECT_NE(noErr, FSCopyFile(&srcRef, &destDir, dots.size(), dots.data(), kTextEncodingUnknown,
                                nullptr));
    EXPECT_EQ(
        2,
        std::distance(fs::directory_iterator(dir_.path() / "dest"), fs::directory_iterator{}) + 1);
}

TEST_F(LegacyTest, MoveRenameMovesAndRenamesInOneStep) {
    const fs::path src = dir_.write("a/old", "data");
    FSRef srcRef = ref_of(src), destDir = ref_of(dir_.mkdir("b"));
    std::vector<UniChar> name = u16("new");
    FSRef newRef;
    ASSERT_EQ(noErr, FSMoveRename(&srcRef, &destDir, name.size(), name.data(), kTextEncodingUnknown,
                                  &newRef));
    EXPECT_FALSE(fs::exists(src));
    EXPECT_EQ("data", vtest::read_file(dir_.path() / "b/new"));
    EXPECT_EQ((dir_.path() / "b/new").string(), path_of(newRef));
    EXPECT_EQ((dir_.path() / "b/new").string(), path_of(srcRef))
        << "the old reference follows the object";

    // A name taken in the destination is never replaced.
    dir_.write("a/new", "other");
    FSRef second = ref_of(dir_.path() / "a/new");
    EXPECT_EQ(dupFNErr, FSMoveRename(&second, &destDir, 0, nullptr, kTextEncodingUnknown, nullptr));
    EXPECT_EQ("data", vtest::read_file(dir_.path() / "b/new"));
    EXPECT_EQ("other", vtest::read_file(dir_.path() / "a/new"));
}

TEST_F(LegacyTest, MoveRenameRefusesWhatItCannotDoAndMovesNothing) {
    const fs::path outer = dir_.mkdir("outer/inner");
    FSRef outerRef = ref_of(dir_.path() / "outer"), innerRef = ref_of(outer);
    EXPECT_EQ(badMovErr,
              FSMoveRename(&outerRef, &innerRef, 0, nullptr, kTextEncodingUnknown, nullptr));
    EXPECT_TRUE(fs::exists(dir_.path() / "outer/inner"));

    const fs::path file = dir_.write("f", "x");
    FSRef fileRef = ref_of(file), dest = ref_of(dir_.mkdir("dest"));
    vantrel::fault::fail_nth("PBHGetVolParmsSync", 1, paramErr);
    EXPECT_EQ(paramErr, FSMoveRename(&fileRef, &dest, 0, nullptr, kTextEncodingUnknown, nullptr));
    EXPECT_TRUE(fs::exists(file)) << "a volume that cannot say it moves and renames moves nothing";

    vantrel::fault::fail_nth("PBHMoveRenameSync", 1, fLckdErr);
    EXPECT_EQ(fLckdErr, FSMoveRename(&fileRef, &dest, 0, nullptr, kTextEncodingUnknown, nullptr));
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(LegacyTest, FileRefNumGivesTheForksFile) {
    const fs::path file = dir_.write("f", "abc");
    FSRef ref = ref_of(file);
    HFSUniStr255 dataFork;
    ASSERT_EQ(noErr, FSGetDataForkName(&dataFork));
    FSIORefNum refNum = 0;
    ASSERT_EQ(noErr, FSOpenFork(&ref, dataFork.length, dataFork.unicode, fsRdPerm, &refNum));
    FSRef got;
    ASSERT_EQ(noErr, FileRefNumGetFSRef(refNum, &got));
    EXPECT_EQ(noErr, FSCompareFSRefs(&ref, &got));
    EXPECT_EQ(noErr, FSCloseFork(refNum));
    EXPECT_NE(noErr, FileRefNumGetFSRef(refNum, &got));
}

}  // namespace
