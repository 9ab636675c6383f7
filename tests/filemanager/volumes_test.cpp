// The volume functions against the machine's real mount table, and against
// file systems the tests mount in a mount namespace of their own.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "Child.h"
#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace vf = vantrel::fault;
using namespace std::string_literals;

namespace {

using vtest::path_of;
using vtest::ref_of;

// Mount points listed in /proc/self/mountinfo.
std::set<std::string> mount_points() {
    std::set<std::string> out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string a, b, c, d, mp;
        ls >> a >> b >> c >> d >> mp;
        out.insert(mp);
    }
    return out;
}

// Runs `body` in a child process with a private mount namespace; its exit
// code is the verdict: 0 pass, 77 skipped (no privilege), other = failure.
int in_mount_namespace(const std::function<int()>& body) {
    const vtest::ScratchState state;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
        state.enter();
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

std::vector<FSRef> mounted() {
    FSRef** h = nullptr;
    ItemCount n = 0;
    std::vector<FSRef> out;
    if (FSGetMountedVolumes(&h, &n) != noErr) return out;
    out.assign(*h, *h + n);
    DisposeHandle(reinterpret_cast<Handle>(h));
    return out;
}

}  // namespace

TEST(FSGetMountedVolumes, ListsMountedFileSystemsWithTheirRoots) {
    FSRef** h = nullptr;
    ItemCount n = 0;
    ASSERT_EQ(FSGetMountedVolumes(&h, &n), noErr);
    ASSERT_NE(h, nullptr);
    ASSERT_GE(n, 1u);
    EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(h)), Size(n * sizeof(FSRef)));
    auto mps = mount_points();
    std::set<FSVolumeRefNum> refnums;
    bool sawRoot = false;
    for (ItemCount i = 0; i < n; ++i) {
        FSCatalogInfo info{};
        ASSERT_EQ(
            FSGetCatalogInfo(&(*h)[i], kFSCatInfoNodeID | kFSCatInfoVolume | kFSCatInfoNodeFlags,
                             &info, nullptr, nullptr, nullptr),
            noErr);
        EXPECT_EQ(info.nodeID, UInt32(fsRtDirID)) << "each record is a volume's root directory";
        EXPECT_TRUE(info.nodeFlags & kFSNodeIsDirectoryMask);
        refnums.insert(info.volume);
        std::string p = path_of((*h)[i]);
        EXPECT_TRUE(mps.count(p)) << p;
        sawRoot = sawRoot || p == "/";
        // The first record is the volume with index 1, and so on.
        FSRef byIndex{};
        ASSERT_EQ(FSGetVolumeInfo(0, i + 1, nullptr, kFSVolInfoNone, nullptr, nullptr, &byIndex),
                  noErr);
        EXPECT_EQ(FSCompareFSRefs(&byIndex, &(*h)[i]), noErr);
    }
    EXPECT_TRUE(sawRoot);
    EXPECT_EQ(refnums.size(), n) << "each volume has its own vRefNum";
    // Pseudo file systems are not volumes.
    for (ItemCount i = 0; i < n; ++i) EXPECT_NE(path_of((*h)[i]), "/proc");
    DisposeHandle(reinterpret_cast<Handle>(h));

    EXPECT_EQ(FSGetMountedVolumes(nullptr, &n), paramErr);
    EXPECT_EQ(FSGetMountedVolumes(&h, nullptr), paramErr);
}

TEST(FSGetMountedVolumes, AFailureOnTheSecondVolumeLeavesANullHandle) {
    if (mounted().size() < 2) GTEST_SKIP() << "needs two volumes";
    FSRef** h = reinterpret_cast<FSRef**>(1);
    ItemCount n = 7;
    vf::Scope scope;
    vf::fail_nth("FSGetVolumeInfo", 2, ioErr);
    EXPECT_EQ(FSGetMountedVolumes(&h, &n), ioErr);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(n, 0u);
    vf::reset();
    vf::fail_nth("PtrAndHand", 1, memFullErr);
    EXPECT_EQ(FSGetMountedVolumes(&h, &n), memFullErr);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(n, 0u);
    vf::reset();
    vf::fail_nth("NewHandle", 1, memFullErr);
    EXPECT_EQ(FSGetMountedVolumes(&h, &n), memFullErr);
    EXPECT_EQ(h, nullptr);
}

TEST(FSGetMountedVolumes, ATmpfsMountedByTheTestAppearsAndAReadOnlyMountIsLocked) {
    if (!vtest::can_make_private_mounts())
        GTEST_SKIP() << "no privilege to mount in a private mount namespace";
    vtest::TempDir t;
    std::string mp = (t / "mnt").string(), ro = (t / "ro").string();
    ::mkdir(mp.c_str(), 0755);
    ::mkdir(ro.c_str(), 0755);
    FSVolumeRefNum rootVol = 0;
    FSRef root = ref_of("/");
    ASSERT_EQ(FSGetVRefNum(&root, &rootVol), noErr);
    int rc = in_mount_namespace([&]() -> int {
        std::size_t before = mounted().size();
        if (::mount("vtest", mp.c_str(), "tmpfs", 0, "size=1m") != 0) return 77;
        std::vector<FSRef> vols = mounted();
        if (vols.size() != before + 1) return 10;
        FSVolumeRefNum tmpVol = 0;
        bool found = false;
        for (const FSRef& r : vols)
            if (path_of(r) == mp) {
                found = true;
                if (FSGetVRefNum(&r, &tmpVol) != noErr) return 11;
            }
        if (!found) return 12;
        if (tmpVol == rootVol || tmpVol == 0) return 13;
        // An object on it belongs to it.
        std::string f = mp + "/file";
        std::ofstream(f) << "x";
        FSRef fr = ref_of(f);
        FSVolumeRefNum fv = 0;
        if (FSGetVRefNum(&fr, &fv) != noErr || fv != tmpVol) return 14;
        UInt64 freeB = 0, totalB = 0;
        HFSUniStr255 name{};
        if (FSGetVInfo(tmpVol, &name, &freeB, &totalB) != noErr) return 15;
        if (totalB != 1024 * 1024 || freeB > totalB) return 16;
        if (name.length != 3 || name.unicode[0] != 'm') return 17;  // "mnt"
        UInt16 fsid = 0, sig = 0;
        if (FSGetVolFileSystemID(tmpVol, &fsid, &sig) != noErr) return 18;
        if (fsid != (TMPFS_MAGIC & 0xFFFF)) return 19;
        FSVolumeInfo info{};
        if (FSGetVolumeInfo(tmpVol, 0, nullptr, kFSVolInfoFlags, &info, nullptr, nullptr) != noErr)
            return 20;
        if (info.flags & kFSVolFlagSoftwareLockedMask) return 21;

        // A read-only mount reports the software lock.
        if (::mount("vtest-ro", ro.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0) return 22;
        bool sawLock = false;
        for (const FSRef& r : mounted()) {
            if (path_of(r) != ro) continue;
            FSVolumeRefNum v = 0;
            FSGetVRefNum(&r, &v);
            FSVolumeInfo ri{};
            if (FSGetVolumeInfo(v, 0, nullptr, kFSVolInfoFlags, &ri, nullptr, nullptr) != noErr)
                return 23;
            sawLock = (ri.flags & kFSVolFlagSoftwareLockedMask) != 0;
            if (ri.flags & kFSVolFlagHardwareLockedMask) return 24;  // tmpfs has no device
        }
        if (!sawLock) return 25;

        // The mount record remounts the volume after it is gone.
        UInt16 size = 0;
        if (FSGetVolMountInfoSize(tmpVol, &size) != noErr || size < 16) return 26;
        std::vector<char> rec(size);
        if (FSGetVolMountInfo(tmpVol, rec.data()) != noErr) return 27;
        FSVolumeRefNum again = 0;
        if (FSVolumeMount(rec.data(), &again) != noErr || again != tmpVol)
            return 28;  // still mounted: that volume
        // The layer keeps descriptors of directories it has used (a cache), so
        // the volume is detached the way a busy volume is.
        if (::umount2(mp.c_str(), MNT_DETACH) != 0) return 29;
        if (FSGetVInfo(tmpVol, nullptr, nullptr, nullptr) != nsvErr) return 30;
        if (FSVolumeMount(rec.data(), &again) != noErr) return 31;
        if (again == tmpVol || again == 0) return 32;
        bool back = false;
        for (const FSRef& r : mounted()) back = back || path_of(r) == mp;
        if (!back) return 33;
        if (FSGetVInfo(again, nullptr, &freeB, &totalB) != noErr || totalB != 1024 * 1024)
            return 34;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "no privilege to mount in a private mount namespace";
    EXPECT_EQ(rc, 0) << "child verdict (see the codes in the test)";
}

TEST(FSGetVInfo, NameSizesAndIdentity) {
    FSRef root = ref_of("/");
    FSVolumeRefNum v = 0;
    ASSERT_EQ(FSGetVRefNum(&root, &v), noErr);
    EXPECT_LT(v, 0);
    UInt64 freeB = 0, totalB = 0;
    HFSUniStr255 name{};
    ASSERT_EQ(FSGetVInfo(v, &name, &freeB, &totalB), noErr);
    EXPECT_GT(totalB, 0u);
    EXPECT_LE(freeB, totalB);
    EXPECT_GT(name.length, 0u);
    EXPECT_EQ(FSGetVInfo(v, nullptr, nullptr, nullptr), noErr)
        << "still asks, so it tells the volume exists";
    EXPECT_EQ(FSGetVInfo(-31000, nullptr, nullptr, nullptr), nsvErr);
    EXPECT_EQ(FSGetVInfo(1234, &name, &freeB, nullptr), nsvErr);

    UInt16 fsid = 0, sig = 0;
    ASSERT_EQ(FSGetVolFileSystemID(v, &fsid, &sig), noErr);
    struct statfs sf;
    ASSERT_EQ(::statfs("/", &sf), 0);
    EXPECT_EQ(fsid, UInt16(sf.f_type & 0xFFFF));
    EXPECT_EQ(sig, 0x482B);
    EXPECT_EQ(FSGetVolFileSystemID(v, nullptr, nullptr), noErr);
    EXPECT_EQ(FSGetVolFileSystemID(-31000, &fsid, &sig), nsvErr);

    EXPECT_EQ(FSGetVRefNum(&root, nullptr), paramErr);
    FSRef zero{};
    FSVolumeRefNum out = 77;
    EXPECT_EQ(FSGetVRefNum(&zero, &out), fnfErr);
    EXPECT_EQ(out, 77) << "nothing written on failure";
}

TEST(FSGetVolParms, FillsAtMostTheBufferAndReportsAbilities) {
    FSRef root = ref_of("/tmp");
    FSVolumeRefNum v = 0;
    ASSERT_EQ(FSGetVRefNum(&root, &v), noErr);
    GetVolParmsInfoBuffer b;
    std::memset(&b, 0xEE, sizeof b);
    UInt32 actual = 0;
    ASSERT_EQ(FSGetVolParms(v, 2, &b, &actual), noErr);
    EXPECT_EQ(actual, 2u);
    EXPECT_EQ(b.vMVersion, 4);
    EXPECT_EQ(b.vMAttrib, SInt32(0xEEEEEEEE)) << "nothing beyond the requested size is written";

    ASSERT_EQ(FSGetVolParms(v, sizeof b, &b, &actual), noErr);
    EXPECT_EQ(actual, UInt32(sizeof b));
    EXPECT_TRUE(b.vMAttrib & (1 << bHasMoveRename));
    EXPECT_TRUE(b.vMAttrib & (1 << bHasFileIDs));
    EXPECT_TRUE(b.vMAttrib & (1 << bHasCopyFile));
    bool nativeExchange = b.vMExtendedAttributes & (1 << bSupportsFSExchangeObjects);
    {
        vf::Scope scope;
        vf::set_override("PBHGetVolParmsSync.exchange", 0);
        ASSERT_EQ(FSGetVolParms(v, sizeof b, &b, &actual), noErr);
        EXPECT_FALSE(b.vMExtendedAttributes & (1 << bSupportsFSExchangeObjects))
            << "tests can turn it off";
    }
    struct statfs sf;
    ASSERT_EQ(::statfs("/tmp", &sf), 0);
    if (sf.f_type == 0xEF53 || sf.f_type == 0x01021994) {
        EXPECT_TRUE(nativeExchange) << "ext4 and tmpfs exchange";
    }

    UInt32 keep = 1234;
    EXPECT_EQ(FSGetVolParms(-31000, sizeof b, &b, &keep), nsvErr);
    EXPECT_EQ(keep, 1234u) << "actual size untouched on failure";
    EXPECT_EQ(FSGetVolParms(v, sizeof b, nullptr, &actual), paramErr);
    EXPECT_EQ(FSGetVolParms(v, sizeof b, &b, nullptr), paramErr);
}

TEST(FSVolumeMount, MountRecordsAndBadInput) {
    FSRef root = ref_of("/");
    FSVolumeRefNum v = 0;
    ASSERT_EQ(FSGetVRefNum(&root, &v), noErr);
    UInt16 size = 0;
    ASSERT_EQ(FSGetVolMountInfoSize(v, &size), noErr);
    ASSERT_GT(size, 12u);
    std::vector<char> rec(size);
    ASSERT_EQ(FSGetVolMountInfo(v, rec.data()), noErr);
    UInt16 len;
    std::memcpy(&len, rec.data(), 2);
    EXPECT_EQ(len, size);
    EXPECT_NE(std::string(rec.data() + 12, size - 12).find("\0/\0"s), std::string::npos)
        << "the mount point is in the record";
    FSVolumeRefNum same = 0;
    EXPECT_EQ(FSVolumeMount(rec.data(), &same), noErr) << "a mounted volume answers for itself";
    EXPECT_EQ(same, v);

    EXPECT_EQ(FSGetVolMountInfoSize(v, nullptr), paramErr);
    EXPECT_EQ(FSGetVolMountInfo(v, nullptr), paramErr);
    EXPECT_EQ(FSGetVolMountInfoSize(-31000, &size), nsvErr);
    EXPECT_EQ(FSVolumeMount(nullptr, &same), paramErr) << "the platform refuses a null record";
    EXPECT_EQ(FSVolumeMount(rec.data(), nullptr), paramErr);
    std::vector<char> junk(64, 'x');
    EXPECT_EQ(FSVolumeMount(junk.data(), &same), paramErr);
    // A record whose strings run past its length is refused, not read beyond.
    std::vector<char> cut(rec.begin(), rec.begin() + 16);
    UInt16 cutLen = 16;
    std::memcpy(cut.data(), &cutLen, 2);
    EXPECT_EQ(FSVolumeMount(cut.data(), &same), paramErr);
}
