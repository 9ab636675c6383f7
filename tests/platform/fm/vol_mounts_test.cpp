// One file system seen through several mounts: a reference acts through the
// mount it was made on, a bind-mount point is its volume's root, the mount
// record remounts what was mounted, volume numbers stay unique, queries write
// nothing, and a volume that goes away keeps none of our descriptors. Every
// case mounts inside a private mount namespace in a child process.
#include <dirent.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "FileIDs.h"
#include "LoopImage.h"
#include "TempDir.h"
#include "fm/obj_fileid.h"
#include "fm/ref_node.h"
#include "fm/vol_table.h"
#include "fm/vol_watch.h"
#include "fm_child.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;
namespace fm = vantrel::fm;
using fmtest::check;

namespace {

OSErr make(const fs::path& p, FSRef* r) {
    return FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), r, nullptr);
}

std::string path_or_error(const FSRef& r) {
    UInt8 buf[4096];
    OSErr e = FSRefMakePath(&r, buf, sizeof buf);
    return e == noErr ? std::string(reinterpret_cast<const char*>(buf))
                      : "error " + std::to_string(e);
}

FSVolumeRefNum volume_of(const FSRef& r) {
    FSCatalogInfo info{};
    return FSGetCatalogInfo(&r, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr) == noErr
               ? info.volume
               : 0;
}

bool bind(const fs::path& from, const fs::path& to, bool readOnly) {
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    return !readOnly ||
           ::mount(nullptr, to.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

// Descriptors of this process open on the file system `dev`; with
// `deletedDirsOnly`, only those naming a directory that no longer exists.
int descriptors_on(dev_t dev, bool deletedDirsOnly = false) {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        int fd = std::atoi(e.path().filename().c_str());
        struct stat st;
        if (::fstat(fd, &st) != 0) continue;
        if (deletedDirsOnly ? (S_ISDIR(st.st_mode) && st.st_nlink == 0) : st.st_dev == dev) ++n;
    }
    return n;
}

// Runs `body` in a private mount namespace, once with mount IDs from statx
// and once as kernels without them see them (from the mount table).
void in_namespace(const char* what, const std::function<std::string()>& body) {
    for (bool fromTable : {false, true}) {
        auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
            fm::use_mount_table_for_mount_ids(fromTable);
            return body();
        });
        if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
        if (*result == "SKIP") GTEST_SKIP() << "cannot mount here";
        EXPECT_EQ("", *result) << what << (fromTable ? ", mount IDs from the mount table" : "");
    }
}

struct ThroughCase {
    const char* label;
    const char* seenFirst;  // resolved before the reference is made
    const char* refPath;    // where the reference is made
    OSErr deleteResult;
};

class ThroughItsOwnMount : public ::testing::TestWithParam<ThroughCase> {};

// src/ is writable and bind-mounted read-only at ro/. Whatever was resolved
// before, a reference made through ro/ cannot delete, and one made through
// src/ can, and each names its own path.
TEST_P(ThroughItsOwnMount, DeletesOnlyWhereItsMountAllows) {
    const ThroughCase& c = GetParam();
    vtest::TempDir t;
    t.write("src/sub/other", "o");
    t.write("src/sub/victim", "v");
    t.mkdir("ro");
    const fs::path base = fs::canonical(t.path());
    in_namespace(c.label, [&]() -> std::string {
        // The layer has read the mount table before the bind mount is made.
        FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, nullptr, nullptr);
        if (!bind(base / "src", base / "ro", true)) return "SKIP";
        std::ofstream(base / "src/sub/victim") << "v";  // each run starts with it
        FSRef seen{}, ref{};
        FSCatalogInfo info{};
        std::string msg = check(make(base / c.seenFirst, &seen) == noErr &&
                                    FSGetCatalogInfo(&seen, kFSCatInfoNodeFlags, &info, nullptr,
                                                     nullptr, nullptr) == noErr,
                                "resolve the first path");
        msg += check(make(base / c.refPath, &ref) == noErr, "make the reference");
        msg += check(path_or_error(ref) == (base / c.refPath).string(),
                     "the reference names " + path_or_error(ref));
        OSErr e = FSDeleteObject(&ref);
        msg += check(e == c.deleteResult, "delete gave " + std::to_string(e));
        bool gone = !vtest::present(base / "src/sub/victim");
        msg += check(gone == (c.deleteResult == noErr), gone ? "deleted" : "still there");
        ::umount2((base / "ro").c_str(), MNT_DETACH);
        return msg;
    });
}

INSTANTIATE_TEST_SUITE_P(Rows, ThroughItsOwnMount,
                         ::testing::Values(ThroughCase{"writable_seen_first_then_read_only_ref",
                                                       "src/sub/other", "ro/sub/victim", vLckdErr},
                                           ThroughCase{"read_only_seen_first_then_writable_ref",
                                                       "ro/sub/other", "src/sub/victim", noErr}),
                         [](const auto& info) { return std::string(info.param.label); });

// A bind-mount point reached by its path is the root of the volume mounted
// there (node ID 2, the volume the volume list shows); on a read-only bind,
// the volume is locked and nothing can be created in it.
TEST(Mounts, ABindMountPointReachedByPathIsItsVolumesRoot) {
    vtest::TempDir t;
    t.write("src/sub/inside", "i");
    t.mkdir("mnt/rw");
    t.mkdir("mnt/ro");
    const fs::path base = fs::canonical(t.path());
    in_namespace("bind-mount points", [&]() -> std::string {
        FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, nullptr, nullptr);  // mounts made after
        if (!bind(base / "src/sub", base / "mnt/rw", false) ||
            !bind(base / "src/sub", base / "mnt/ro", true))
            return "SKIP";
        std::string msg;
        for (const char* leaf : {"rw", "ro"}) {
            const fs::path p = base / "mnt" / leaf;
            FSRef ref{};
            msg += check(make(p, &ref) == noErr, std::string("make ") + leaf);
            FSCatalogInfo info{};
            OSErr e =
                FSGetCatalogInfo(&ref, kFSCatInfoNodeID | kFSCatInfoParentDirID | kFSCatInfoVolume,
                                 &info, nullptr, nullptr, nullptr);
            msg += check(e == noErr && info.nodeID == UInt32(fsRtDirID) &&
                             info.parentDirID == UInt32(fsRtParID),
                         std::string(leaf) + " node ID " + std::to_string(info.nodeID));
            FSVolumeRefNum listed = 0;
            for (ItemCount i = 1;; ++i) {
                FSRef root{};
                if (FSGetVolumeInfo(0, i, nullptr, 0, nullptr, nullptr, &root) != noErr) break;
                if (path_or_error(root) == p.string()) listed = volume_of(root);
            }
            msg += check(listed != 0 && listed == info.volume,
                         std::string(leaf) + " volume " + std::to_string(info.volume) +
                             ", listed as " + std::to_string(listed));
            FSVolumeInfo vi{};
            FSGetVolumeInfo(info.volume, 0, nullptr, kFSVolInfoFlags, &vi, nullptr, nullptr);
            const bool ro = std::strcmp(leaf, "ro") == 0;
            msg += check(((vi.flags & kFSVolFlagSoftwareLockedMask) != 0) == ro,
                         std::string(leaf) + " volume lock flag");
            auto name = vtest::u16(std::string("new-") + leaf);
            e = FSCreateFileUnicode(&ref, name.size(), vtest::uc(name), 0, nullptr, nullptr,
                                    nullptr);
            msg += check(e == (ro ? vLckdErr : noErr),
                         std::string("create in ") + leaf + " gave " + std::to_string(e));
            fs::remove(base / "src/sub" / (std::string("new-") + leaf));
        }
        ::umount2((base / "mnt/ro").c_str(), MNT_DETACH);
        ::umount2((base / "mnt/rw").c_str(), MNT_DETACH);
        return msg;
    });
}

// The record of a bind mount of a subdirectory remounts that subdirectory,
// read-only when it was, not the whole file system it lives on.
TEST(Mounts, TheMountRecordOfABindMountRemountsThatDirectory) {
    vtest::TempDir t;
    t.write("src/sub/marker", "m");
    t.mkdir("mnt");
    const fs::path base = fs::canonical(t.path());
    in_namespace("bind mount record", [&]() -> std::string {
        const fs::path mnt = base / "mnt";
        if (!bind(base / "src/sub", mnt, true)) return "SKIP";
        FSRef root{};
        std::string msg = check(make(mnt, &root) == noErr, "make the root");
        FSVolumeRefNum vref = volume_of(root);
        ParamBlockRec pb{};
        UInt16 size = 0;
        pb.ioParam.ioVRefNum = vref;
        pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&size);
        msg += check(PBGetVolMountInfoSize(&pb) == noErr, "record size");
        std::vector<char> rec(size);
        pb.ioParam.ioBuffer = rec.data();
        msg += check(PBGetVolMountInfo(&pb) == noErr, "record");
        if (::umount2(mnt.c_str(), MNT_DETACH) != 0) return msg + "umount failed\n";
        pb = ParamBlockRec{};
        pb.ioParam.ioBuffer = rec.data();
        OSErr e = PBVolumeMount(&pb);
        msg += check(e == noErr, "mount gave " + std::to_string(e));
        msg += check(vtest::present(mnt / "marker") && !vtest::present(mnt / "src"),
                     "the remounted volume is not the directory that was bound");
        msg += check(::mkdir((mnt / "new").c_str(), 0755) != 0 && errno == EROFS,
                     "the remounted bind is not read-only");
        ::umount2(mnt.c_str(), MNT_DETACH);
        // A record whose directory climbs out, is relative or is missing is
        // refused before anything is mounted.
        const std::string strings(rec.begin() + 12, rec.end());
        const std::string head = strings.substr(0, strings.rfind('\0', strings.size() - 2) + 1);
        for (const char* root : {"/src/../..", "src/sub", "/src//sub", "/src/./sub", "/src/"}) {
            std::string forged = std::string(rec.begin(), rec.begin() + 12) + head + root + '\0';
            UInt16 len = UInt16(forged.size());
            std::memcpy(forged.data(), &len, 2);
            pb = ParamBlockRec{};
            pb.ioParam.ioBuffer = forged.data();
            e = PBVolumeMount(&pb);
            msg += check(e == paramErr && !vtest::present(mnt / "marker"),
                         std::string("forged directory ") + root + " gave " + std::to_string(e));
        }
        return msg;
    });
}

// Mounting the record of a read-only bind mount fails at any step with an
// error and leaves nothing mounted there (in particular never a writable
// bind of the directory); with no fault it mounts it read-only.
TEST(Mounts, AFailedBindMountLeavesNothingMounted) {
    vtest::TempDir t;
    t.write("src/sub/marker", "m");
    t.mkdir("mnt");
    const fs::path base = fs::canonical(t.path());
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        const fs::path mnt = base / "mnt";
        if (!bind(base / "src/sub", mnt, true)) return "SKIP";
        FSRef root{};
        std::string msg = check(make(mnt, &root) == noErr, "make the root");
        ParamBlockRec pb{};
        UInt16 size = 0;
        pb.ioParam.ioVRefNum = volume_of(root);
        pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&size);
        msg += check(PBGetVolMountInfoSize(&pb) == noErr, "record size");
        std::vector<char> rec(size);
        pb.ioParam.ioBuffer = rec.data();
        msg += check(PBGetVolMountInfo(&pb) == noErr, "record");
        struct stat under;
        if (::umount2(mnt.c_str(), MNT_DETACH) != 0 || ::stat(mnt.c_str(), &under) != 0)
            return msg + "umount failed\n";
        vtest::FaultSweep sweep;
        const long trials = sweep.run([&](vtest::FaultTrial& trial) {
            const OSErr e = trial.inject([&] {
                ParamBlockRec p{};
                p.ioParam.ioBuffer = rec.data();
                return PBVolumeMount(&p);
            });
            struct stat now;
            const bool mounted = ::stat(mnt.c_str(), &now) == 0 && now.st_ino != under.st_ino;
            const bool writable = mounted && ::access(mnt.c_str(), W_OK) == 0 &&
                                  ::mkdir((mnt / "probe").c_str(), 0755) == 0;
            if (writable) ::rmdir((mnt / "probe").c_str());
            const std::string what = trial.name();
            if (trial.clean())
                msg += check(e == noErr && mounted && !writable,
                             what + ": gave " + std::to_string(e) + (writable ? ", writable" : ""));
            else
                msg += check(trial.reports(e) && !mounted,
                             what + ": gave " + std::to_string(e) +
                                 (mounted ? (writable ? ", a writable bind stays mounted"
                                                      : ", a bind stays mounted")
                                          : ""));
            while (::umount2(mnt.c_str(), MNT_DETACH) == 0) {
            }
        });
        msg += check(trials > 8, std::to_string(trials) + " trials");
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount here";
    EXPECT_EQ("", *result);
}

// Volume numbers are handed out once per mount and never to a volume while
// another mounted one has it, however many mounts come and go: the count
// starts just before its wrap, so that the mounts that follow take it past
// -32767, round to -1 and down through the numbers the mounted volumes hold
// (the kept one's among them) as 32,800 mounts would.
TEST(Mounts, VolumeNumbersAreNeverHandedOutTwice) {
    vtest::TempDir t;
    t.mkdir("keep");
    t.mkdir("churn");
    const fs::path base = fs::canonical(t.path());
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-keep", (base / "keep").c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
        FSRef keep{};
        std::string msg = check(make(base / "keep", &keep) == noErr, "make keep");
        const FSVolumeRefNum keepVol = volume_of(keep);
        // Every volume listed, as "" when no two share a number.
        auto shared = []() -> std::string {
            std::set<FSVolumeRefNum> seen;
            int count = 0;
            for (ItemCount i = 1;; ++i) {
                FSVolumeRefNum v = 0;
                if (FSGetVolumeInfo(0, i, &v, 0, nullptr, nullptr, nullptr) != noErr) break;
                seen.insert(v);
                ++count;
            }
            return check(count == int(seen.size()), std::to_string(count) + " volumes share " +
                                                        std::to_string(seen.size()) + " numbers");
        };
        constexpr int kBeforeWrap = 40;
        fm::set_next_volume_number(FSVolumeRefNum(-32767 + kBeforeWrap - 1));
        // Each mount takes one number; the table is read while it is mounted
        // and again once it is gone (the kernel hands the same mount ID and
        // device to the next one). Enough of them to pass the kept number.
        const int mounts = kBeforeWrap + (-keepVol) + 20;
        for (int i = 0; i < mounts && msg.empty(); ++i) {
            if (::mount("vt-churn", (base / "churn").c_str(), "tmpfs", 0, "size=1m") != 0)
                return msg + "mount failed\n";
            msg += shared();
            ::umount2((base / "churn").c_str(), 0);
            FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, nullptr, nullptr);
        }
        const FSVolumeRefNum next = fm::next_volume_number();
        msg += check(next > -32767 + kBeforeWrap && next < keepVol,
                     "the count did not wrap past the kept volume's number: it is at " +
                         std::to_string(next) + ", the kept volume " + std::to_string(keepVol));
        ::mount("vt-churn", (base / "churn").c_str(), "tmpfs", 0, "size=1m");
        msg += shared();
        msg += check(volume_of(keep) == keepVol, "the kept volume changed its number");
        ::umount2((base / "churn").c_str(), MNT_DETACH);
        ::umount2((base / "keep").c_str(), MNT_DETACH);
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
    EXPECT_EQ("", *result);
}

// Asking for a volume's parameters changes nothing on it; whether the native
// exchange works is still reported, and a real exchange still works.
TEST(Mounts, AskingAVolumesParametersWritesNothing) {
    vtest::TempDir t;
    t.mkdir("vol");
    const fs::path vol = fs::canonical(t.path()) / "vol";
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-tmpfs", vol.c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
        std::ofstream(vol / "a") << "a";
        std::ofstream(vol / "b") << "b";
        struct statx before {
        }, after{};
        ::statx(AT_FDCWD, vol.c_str(), 0, STATX_BASIC_STATS, &before);
        FSRef a{}, b{};
        std::string msg =
            check(make(vol / "a", &a) == noErr && make(vol / "b", &b) == noErr, "make refs");
        HParamBlockRec pb{};
        GetVolParmsInfoBuffer buf{};
        pb.ioParam.ioVRefNum = volume_of(a);
        pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&buf);
        pb.ioParam.ioReqCount = sizeof buf;
        msg += check(PBHGetVolParmsSync(&pb) == noErr, "get parameters");
        msg += check((buf.vMExtendedAttributes & (1 << bSupportsFSExchangeObjects)) != 0,
                     "a tmpfs exchanges natively");
        ::statx(AT_FDCWD, vol.c_str(), 0, STATX_BASIC_STATS, &after);
        msg += check(after.stx_mtime.tv_sec == before.stx_mtime.tv_sec &&
                         after.stx_mtime.tv_nsec == before.stx_mtime.tv_nsec &&
                         after.stx_ctime.tv_nsec == before.stx_ctime.tv_nsec,
                     "the volume's root was written to");
        msg += check(FSExchangeObjects(&a, &b) == noErr && vtest::read_file(vol / "a") == "b",
                     "exchange");
        ::umount2(vol.c_str(), MNT_DETACH);
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
    EXPECT_EQ("", *result);
}

// After a walk the layer keeps only a few directory descriptors, none of a
// directory another program deleted, and none of a volume that was unmounted.
TEST(Mounts, AfterAWalkFewDescriptorsStayAndNoneOfWhatWentAway) {
    vtest::TempDir t;
    t.mkdir("vol");
    const fs::path vol = fs::canonical(t.path()) / "vol";
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-tmpfs", vol.c_str(), "tmpfs", 0, "size=4m") != 0) return "SKIP";
        for (int i = 0; i < 300; ++i) fs::create_directories(vol / "top" / std::to_string(i));
        struct stat vst;
        ::stat(vol.c_str(), &vst);
        auto walk = [&]() {
            for (int i = 0; i < 300; ++i) {
                FSRef d{};
                FSIterator it = nullptr;
                if (make(vol / "top" / std::to_string(i), &d) != noErr ||
                    FSOpenIterator(&d, kFSIterateFlat, &it) != noErr)
                    return false;
                ItemCount n = 0;
                FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNodeFlags,
                                     std::vector<FSCatalogInfo>(1).data(), nullptr, nullptr,
                                     nullptr);
                FSCloseIterator(it);
            }
            return true;
        };
        std::string msg = check(walk(), "walk");
        int kept = descriptors_on(vst.st_dev);
        msg += check(kept <= 16, std::to_string(kept) + " descriptors kept after the walk");
        fs::remove_all(vol / "top");
        FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, nullptr, nullptr);
        int deleted = descriptors_on(vst.st_dev, true);
        msg += check(deleted == 0, std::to_string(deleted) + " descriptors of deleted directories");
        for (int i = 0; i < 300; ++i) fs::create_directories(vol / "top" / std::to_string(i));
        msg += check(walk(), "walk again");
        if (::umount2(vol.c_str(), MNT_DETACH) != 0) return msg + "umount failed\n";
        FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, nullptr, nullptr);
        int left = descriptors_on(vst.st_dev);
        msg += check(left == 0, std::to_string(left) + " descriptors left on the unmounted volume");
        return msg;
    });
    if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
    EXPECT_EQ("", *result);
}

// The volume offered at `mountPoint` by FSGetVolumeInfo's index, or 0.
FSVolumeRefNum offered_at(const fs::path& mountPoint) {
    for (ItemCount i = 1;; ++i) {
        FSVolumeRefNum v = 0;
        FSRef root;
        const OSErr e = FSGetVolumeInfo(0, i, &v, 0, nullptr, nullptr, &root);
        if (e == nsvErr) return 0;
        if (e == noErr && path_or_error(root) == mountPoint.string()) return v;
    }
}

// btrfs as distributions lay it out: the top of the file system mounted at
// vol/, a subvolume of it mounted on its own (subvol=) at home/. Whatever
// device the mount table shows, each mount is a volume that is offered, and
// its items have information, references, file IDs and deletion.
TEST(Mounts, BtrfsMountsAndTheirSubvolumesAreVolumesThatWork) {
    vtest::TempDir t;
    const fs::path base = fs::canonical(t.path());
    t.mkdir("vol");
    t.mkdir("home");
    for (bool fromTable : {false, true}) {
        auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
            fm::use_mount_table_for_mount_ids(fromTable);
            if (std::string why = vtest::mount_fresh(vtest::kBtrfs, base / "img", base / "vol");
                !why.empty())
                return "SKIP " + why;
            if (!vtest::run_quietly("btrfs subvolume create " + vtest::quoted(base / "vol/sa")) ||
                !vtest::run_quietly("mount -o subvol=sa " + vtest::quoted(base / "img") + " " +
                                    vtest::quoted(base / "home")))
                return "SKIP cannot make or mount a btrfs subvolume";
            vtest::write_file(base / "vol/top", "top");
            vtest::write_file(base / "home/f", "in sa");
            vtest::write_file(base / "home/tree/a/b", "b");
            std::string msg;
            for (const char* m : {"vol", "home"}) {
                const FSVolumeRefNum v = offered_at(base / m);
                msg += check(v != 0, std::string(m) + " is not an offered volume");
            }
            for (const char* item : {"vol/top", "home/f", "vol/sa/f"}) {
                FSRef r{};
                const OSErr e = make(base / item, &r);
                msg +=
                    check(e == noErr, std::string(item) + ": FSPathMakeRef " + std::to_string(e));
                if (e != noErr) continue;
                FSCatalogInfo info{};
                const OSErr ci = FSGetCatalogInfo(&r, kFSCatInfoNodeID | kFSCatInfoDataSizes, &info,
                                                  nullptr, nullptr, nullptr);
                msg += check(ci == noErr && info.dataLogicalSize > 0,
                             std::string(item) + ": FSGetCatalogInfo " + std::to_string(ci));
                msg += check(path_or_error(r) == (base / item).string(),
                             std::string(item) + " makes the path " + path_or_error(r));
            }
            // The subvolume inside vol/ is one of its folders, though the
            // same subvolume is mounted at home/ too.
            {
                FSRef sa{};
                FSCatalogInfo info{};
                const OSErr e = make(base / "vol/sa", &sa) == noErr
                                    ? FSGetCatalogInfo(&sa, kFSCatInfoNodeID | kFSCatInfoVolume,
                                                       &info, nullptr, nullptr, nullptr)
                                    : OSErr(fnfErr);
                msg += check(e == noErr && info.nodeID != fsRtDirID &&
                                 info.volume == volume_of(vtest::ref_of(base / "vol/top")),
                             "vol/sa is not a folder of vol: " + std::to_string(e));
            }
            const SInt32 id = vtest::file_id_of(base / "home/f");
            msg += check(id != 0, "no file ID for home/f");
            if (id != 0)
                msg += check(vtest::path_of_id(volume_of(vtest::ref_of(base / "home/f")), id) ==
                                 (base / "home/f").string(),
                             "its file ID resolves to " +
                                 vtest::path_of_id(volume_of(vtest::ref_of(base / "home/f")), id));
            for (const char* item : {"home/tree/a/b", "home/tree/a", "home/tree"}) {
                FSRef r{};
                const OSErr d = make(base / item, &r) == noErr ? FSDeleteObject(&r) : OSErr(fnfErr);
                msg += check(d == noErr && !fs::exists(base / item),
                             std::string("FSDeleteObject of ") + item + ": " + std::to_string(d));
            }
            return msg;
        });
        if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
        if (result->starts_with("SKIP ")) GTEST_SKIP() << result->substr(5);
        EXPECT_EQ("", *result) << (fromTable ? "mount IDs from the mount table" : "");
    }
}

// A file system mounted on a folder after references were made (the mount
// table read and kept): the folder's name, looked up through its parent's
// reference, is from then on the new volume's root, and what is made in it
// is on that volume, not the parent's.
TEST(Mounts, AMountMadeAfterReferencesWereTakenIsSeenThroughThem) {
    vtest::TempDir t;
    t.mkdir("vol");
    const fs::path top = fs::canonical(t.path());
    in_namespace("a tmpfs mounted after references were made", [&]() -> std::string {
        FSRef parent{}, before{};
        if (make(top, &parent) != noErr || make(top / "vol", &before) != noErr)
            return "no references";
        const FSVolumeRefNum outer = volume_of(before);
        const fs::path vol = top / "vol";
        if (::mount("vt-late", vol.c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
        const std::u16string name = vtest::u16("vol");
        FSRef root{};
        std::string msg;
        OSErr e =
            FSMakeFSRefUnicode(&parent, name.size(), vtest::uc(name), kTextEncodingUnknown, &root);
        FSCatalogInfo info{};
        if (e == noErr)
            e = FSGetCatalogInfo(&root, kFSCatInfoNodeID | kFSCatInfoVolume, &info, nullptr,
                                 nullptr, nullptr);
        msg += check(e == noErr && info.nodeID == UInt32(fsRtDirID) && info.volume != outer,
                     "vol looked up by name: error " + std::to_string(e) + ", node ID " +
                         std::to_string(info.nodeID) + " on volume " + std::to_string(info.volume) +
                         " (the parent's is " + std::to_string(outer) + ")");
        const std::u16string leaf = vtest::u16("made");
        FSRef made{};
        e = FSCreateFileUnicode(&root, leaf.size(), vtest::uc(leaf), 0, nullptr, &made, nullptr);
        msg += check(e == noErr && volume_of(made) == info.volume,
                     "a file made in it: error " + std::to_string(e) + ", volume " +
                         std::to_string(volume_of(made)));
        ::umount2(vol.c_str(), MNT_DETACH);
        return msg;
    });
}

// The number of io_uring instances this process holds.
int rings_open() {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec).string() == "anon_inode:[io_uring]") ++n;
    }
    return n;
}

// A thread makes its mount watch (an io_uring, half a millisecond to make
// and let go of) only once it has asked the mount table often: a command
// that resolves a few references polls instead; a walk makes one. (Each
// thread made its ring at its first ask, which cost every short-lived
// fmutil command more than its rename.)
TEST(Mounts, AThreadMakesItsMountWatchOnlyOnceItAsksOften) {
    io_uring_params p{};
    const long ring = ::syscall(__NR_io_uring_setup, 1, &p);
    if (ring < 0) GTEST_SKIP() << "no io_uring here (" << std::strerror(errno) << "): threads poll";
    ::close(int(ring));
    vtest::TempDir t;
    const fs::path f = t.write("f", "x");
    fm::use_mount_table_for_mount_ids(true);  // every resolution asks the table
    struct Row {
        int resolutions;
        int rings;
    };
    for (const Row row : {Row{10, 0}, Row{1000, 1}}) {
        int rings = -1;
        OSErr e = noErr;
        const int others = rings_open();
        std::thread([&] {
            FSRef r{};
            e = make(f, &r);
            for (int i = 0; e == noErr && i < row.resolutions; ++i) {
                FSCatalogInfo info{};
                e = FSGetCatalogInfo(&r, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr);
            }
            rings = rings_open() - others;
        }).join();
        EXPECT_EQ(e, noErr);
        EXPECT_EQ(rings, row.rings) << row.resolutions << " resolutions";
    }
    fm::use_mount_table_for_mount_ids(false);
}

// A reference kept across a lazy unmount no longer resolves: its volume is
// gone (nsvErr), and no call acts on the detached file system or names a
// path on another one. In a directory of a removed volume, an open
// descriptor still reaches the detached mount, so it must not count. The
// unmount is seen whoever made it: this thread, another thread it joined,
// another process it waited for; with each thread's own watch and with the
// table's descriptor polled, and with mount IDs from statx or the table.
TEST(Mounts, AfterALazyUnmountAKeptReferenceNoLongerResolves) {
    enum class By { ThisThread, AnotherThread, AnotherProcess };
    struct Case {
        const char* what;
        By by;
        bool watches;
        bool watchAtOnce = true;  // else the default: a short-lived thread makes none
    };
    const Case cases[] = {
        {"unmounted by this thread", By::ThisThread, true},
        {"unmounted by another thread, joined", By::AnotherThread, true},
        {"unmounted by another process, waited for", By::AnotherProcess, true},
        {"unmounted by this thread, no thread watches", By::ThisThread, false},
        {"unmounted by another thread, no thread watches", By::AnotherThread, false},
        {"unmounted by this thread, its watch not made yet", By::ThisThread, true, false},
        {"unmounted by another thread, joined, its watch not made yet", By::AnotherThread, true,
         false},
    };
    vtest::TempDir t;
    t.mkdir("vol");
    const fs::path vol = fs::canonical(t.path()) / "vol";
    for (const Case& c : cases) {
        for (bool fromTable : {false, true}) {
            auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
                fm::use_mount_table_for_mount_ids(fromTable);
                fm::use_thread_watches(c.watches);
                fm::make_thread_watches_after(c.watchAtOnce ? 0 : -1);
                if (::mount("vt-lazy", vol.c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
                vtest::write_file(vol / "d/f", "on the tmpfs");
                FSRef file{}, dir{};
                if (make(vol / "d/f", &file) != noErr || make(vol / "d", &dir) != noErr)
                    return "no references";
                // Resolved once before: whatever this thread keeps of the
                // mount table is in place when the unmount comes.
                std::string msg = check(path_or_error(file) == (vol / "d/f").string(), "before");
                bool unmounted = false;
                if (c.by == By::ThisThread) {
                    unmounted = ::umount2(vol.c_str(), MNT_DETACH) == 0;
                } else if (c.by == By::AnotherThread) {
                    std::thread([&] {
                        unmounted = ::umount2(vol.c_str(), MNT_DETACH) == 0;
                    }).join();
                } else {
                    const pid_t pid = ::fork();
                    if (pid == 0) ::_exit(::umount2(vol.c_str(), MNT_DETACH) == 0 ? 0 : 1);
                    int status = 0;
                    unmounted = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                                WEXITSTATUS(status) == 0;
                }
                if (!unmounted) return msg + "umount failed\n";
                for (const FSRef* r : {&file, &dir}) {
                    const char* what = r == &file ? "the file" : "the folder";
                    msg += check(path_or_error(*r) == "error " + std::to_string(nsvErr),
                                 std::string(what) + "'s path is " + path_or_error(*r));
                    FSCatalogInfo info{};
                    const OSErr e =
                        FSGetCatalogInfo(r, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr);
                    msg += check(e == nsvErr,
                                 std::string(what) + ": FSGetCatalogInfo " + std::to_string(e));
                }
                FSRef gone = file;
                msg += check(FSDeleteObject(&gone) == nsvErr, "the file could be deleted");
                return msg;
            });
            if (!result) GTEST_SKIP() << "no private mount namespace (needs CAP_SYS_ADMIN)";
            if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
            EXPECT_EQ("", *result)
                << c.what << (fromTable ? ", mount IDs from the mount table" : "");
        }
    }
}

}  // namespace

// overlayfs: the first change of a lower file through the overlay copies it
// up, which keeps its inode number but gives the copy a new birth time. A
// reference made before, to the file and to its folder, still resolves to
// them, and a file ID made on a lower file (its marker is what copies it
// up) finds it, with xino and without.
TEST(Mounts, AnOverlayCopyUpKeepsReferencesAndFileIds) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    struct Layout {
        const char* what;
        const char* options;
    };
    const Layout layouts[] = {{"overlayfs", ""}, {"overlayfs with xino", ",xino=on"}};
    vtest::TempDir t;
    const fs::path base = fs::canonical(t.path());
    t.mkdir("o");
    for (const Layout& l : layouts) {
        auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
            const fs::path o = base / "o";
            if (::mount("vt-layers", o.c_str(), "tmpfs", 0, "size=8m") != 0) return "SKIP tmpfs";
            for (const char* d : {"l", "u", "w", "m"}) fs::create_directories(o / d);
            vtest::write_file(o / "l/d/f", "lower");
            vtest::write_file(o / "l/d/g", "lower");
            const std::string opts = "lowerdir=" + (o / "l").string() +
                                     ",upperdir=" + (o / "u").string() +
                                     ",workdir=" + (o / "w").string() + l.options;
            if (::mount("vt-overlay", (o / "m").c_str(), "overlay", 0, opts.c_str()) != 0)
                return std::string("SKIP the kernel would not mount ") + l.what;
            FSRef f{}, d{};
            if (make(o / "m/d/f", &f) != noErr || make(o / "m/d", &d) != noErr)
                return "no references";
            FSCatalogInfo before{};
            if (FSGetCatalogInfo(&f, kFSCatInfoNodeID, &before, nullptr, nullptr, nullptr) != noErr)
                return "no node ID";
            const SInt32 id = vtest::file_id_of(o / "m/d/g");
            std::string msg = check(id != 0, "no file ID for g");
            {
                std::ofstream out(o / "m/d/f", std::ios::app);
                out << " changed";
            }
            msg += check(fs::exists(o / "u/d/f"), "f was not copied up");
            FSCatalogInfo after{};
            const OSErr e =
                FSGetCatalogInfo(&f, kFSCatInfoNodeID, &after, nullptr, nullptr, nullptr);
            msg += check(e == noErr && after.nodeID == before.nodeID,
                         "f after its copy-up: " + std::to_string(e));
            msg += check(path_or_error(f) == (o / "m/d/f").string(), "f is " + path_or_error(f));
            msg += check(path_or_error(d) == (o / "m/d").string(), "d is " + path_or_error(d));
            if (id != 0) {
                fm::forget_file_ids();  // found as a new process finds it
                const std::string found = vtest::path_of_id(volume_of(f), id);
                msg += check(found == (o / "m/d/g").string(), "g's file ID finds " + found);
            }
            return msg;
        });
        ASSERT_TRUE(result.has_value()) << vtest::kNeedsPrivateMounts;
        if (result->starts_with("SKIP ")) GTEST_SKIP() << result->substr(5);
        EXPECT_EQ(*result, "") << l.what;
    }
}
