// Open forks on real files: marks, end of fork, sizes, the resource fork in
// its sidecar, access and deny modes, the control-block walk, the
// legacy calls and uncached transfers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FSTestSupport.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "fm/fork_table.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace vf = vantrel::fault;

namespace {

using vtest::ref_of;

constexpr const char* kRsrcAttr = "user.org.netatalk.ResourceFork";

HFSUniStr255 resource_name() {
    HFSUniStr255 n;
    EXPECT_EQ(FSGetResourceForkName(&n), noErr);
    return n;
}

FSIORefNum open_fork(const FSRef& ref, bool resource, SInt8 perm, OSErr expect = noErr) {
    HFSUniStr255 name{};
    if (resource) name = resource_name();
    FSIORefNum num = 0;
    EXPECT_EQ(FSOpenFork(&ref, name.length, name.unicode, perm, &num), expect);
    return num;
}

}  // namespace

TEST(Forks, DataForkMarksEndOfForkAndSizes) {
    vtest::TempDir dir;
    auto path = dir.write("f", "hello world");
    FSRef ref = ref_of(path);
    FSIORefNum fork = open_fork(ref, false, fsRdWrPerm);
    ASSERT_GT(fork, 0);

    SInt64 size = 0;
    ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, 11);
    char buf[64] = {};
    ByteCount got = 99;
    ASSERT_EQ(FSReadFork(fork, fsFromStart, 0, 5, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), "hello");
    // The end arrives together with the last partial count.
    ASSERT_EQ(FSReadFork(fork, fsAtMark, 0, 100, buf, &got), eofErr);
    EXPECT_EQ(std::string(buf, got), " world");
    SInt64 mark = 0;
    ASSERT_EQ(FSGetForkPosition(fork, &mark), noErr);
    EXPECT_EQ(mark, 11);
    EXPECT_EQ(FSReadFork(fork, fsAtMark, 0, 10, buf, &got), eofErr);
    EXPECT_EQ(got, 0u);

    // Relative positions: from the end, from the mark; before the start is posErr.
    ASSERT_EQ(FSReadFork(fork, fsFromLEOF, -5, 2, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), "wo");
    ASSERT_EQ(FSReadFork(fork, fsFromMark, -4, 1, buf, &got), noErr);  // mark 8 - 4
    EXPECT_EQ(std::string(buf, got), "o");
    EXPECT_EQ(FSReadFork(fork, fsFromStart, -1, 1, buf, &got), posErr);
    EXPECT_EQ(FSSetForkPosition(fork, fsFromMark, -100), posErr);
    // Past the end the mark stops at the end.
    EXPECT_EQ(FSSetForkPosition(fork, fsFromStart, 50), eofErr);
    ASSERT_EQ(FSGetForkPosition(fork, &mark), noErr);
    EXPECT_EQ(mark, 11);

    ASSERT_EQ(FSWriteFork(fork, fsFromLEOF, 0, 1, "!", &got), noErr);
    EXPECT_EQ(got, 1u);
    ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 5, "HELLO", nullptr), noErr);
    ASSERT_EQ(FSFlushFork(fork), noErr);
    EXPECT_EQ(vtest::read_file(path), "HELLO world!");

    // Cutting clamps the mark; growing fills with zeros.
    ASSERT_EQ(FSSetForkPosition(fork, fsFromStart, 10), noErr);
    ASSERT_EQ(FSSetForkSize(fork, fsFromStart, 3), noErr);
    ASSERT_EQ(FSGetForkPosition(fork, &mark), noErr);
    EXPECT_EQ(mark, 3);
    ASSERT_EQ(FSSetForkSize(fork, fsFromLEOF, 2), noErr);
    EXPECT_EQ(vtest::read_file(path), std::string("HEL\0\0", 5));
    EXPECT_EQ(FSSetForkSize(fork, fsFromStart, -1), posErr);

    ASSERT_EQ(FSCloseFork(fork), noErr);
    EXPECT_EQ(FSCloseFork(fork), rfNumErr);
    EXPECT_EQ(FSReadFork(fork, fsAtMark, 0, 1, buf, &got), rfNumErr);
    EXPECT_EQ(FSGetForkSize(fork, &size), rfNumErr);
    EXPECT_EQ(vantrel::fm::open_fork_count(), 0);
}

TEST(Forks, ResourceForkLivesInItsSidecarAtAnySize) {
    vtest::TempDir dir;
    auto path = dir.write("f", "data");
    FSRef ref = ref_of(path);
    HFSUniStr255 rname = resource_name();
    EXPECT_EQ(std::string(rname.unicode, rname.unicode + rname.length), "RESOURCE_FORK");
    HFSUniStr255 dname;
    ASSERT_EQ(FSGetDataForkName(&dname), noErr);
    EXPECT_EQ(dname.length, 0);
    // The copy of the Finder information a new sidecar carries.
    FSCatalogInfo info{};
    vtest::set_file_info(&info, 'TEXT', 'ttxt');
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);

    // A file without a sidecar has an empty resource fork, and reading makes none.
    FSIORefNum fork = open_fork(ref, true, fsRdWrPerm);
    SInt64 size = -1;
    ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, 0);
    char buf[16];
    ByteCount got = 9;
    EXPECT_EQ(FSReadFork(fork, fsFromStart, 0, 4, buf, &got), eofErr);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(vtest::raw_sidecar(path), "<absent>") << "reading creates nothing";

    ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 6, "RSRC\0x", &got), noErr);
    EXPECT_EQ(vtest::raw_sidecar(path), "<absent>") << "changes take their place at a flush";
    ASSERT_EQ(FSFlushFork(fork), noErr);
    EXPECT_EQ(vtest::sidecar_fork(path), std::string("RSRC\0x", 6));
    EXPECT_EQ(vtest::read_file(path), "data") << "the data fork is untouched";
    // The layout Samba writes and reads, byte for byte.
    const std::string raw = vtest::raw_sidecar(path);
    ASSERT_EQ(raw.size(), 0x52u + 6);
    EXPECT_EQ(raw.substr(0, 0x32), std::string("\0\5\x16\7\0\2\0\0Netatalk        \0\2"
                                               "\0\0\0\2\0\0\0\x52\0\0\0\6"
                                               "\0\0\0\x09\0\0\0\x32\0\0\0\x20",
                                               0x32));
    EXPECT_EQ(raw.substr(0x32, 8), "TEXTttxt") << "the record's Finder information, big-endian";
    ASSERT_EQ(FSWriteFork(fork, fsFromStart, 8, 2, "zz", &got), noErr);
    ASSERT_EQ(FSFlushFork(fork), noErr);
    EXPECT_EQ(vtest::sidecar_fork(path), std::string("RSRC\0x\0\0zz", 10));
    ASSERT_EQ(FSReadFork(fork, fsFromStart, 2, 100, buf, &got), eofErr);
    EXPECT_EQ(std::string(buf, got), std::string("RC\0x\0\0zz", 8));
    ASSERT_EQ(FSSetForkSize(fork, fsFromStart, 3), noErr);
    ASSERT_EQ(FSFlushFork(fork), noErr);
    EXPECT_EQ(vtest::sidecar_fork(path), "RSR");

    // Far beyond what an attribute holds (64 KiB; 3.5 KiB on ext4).
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 4096);
    ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, big.size(), big.data(), &got), noErr);
    EXPECT_EQ(got, big.size());
    ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, SInt64(big.size()));
    ASSERT_EQ(FSFlushFork(fork), noErr);
    EXPECT_TRUE(vtest::sidecar_fork(path) == big);
    std::string back(big.size(), '\0');
    ASSERT_EQ(FSReadFork(fork, fsFromStart | noCacheMask, 0, back.size(), back.data(), &got),
              noErr);
    EXPECT_TRUE(back == big);
    ASSERT_EQ(FSSetForkSize(fork, fsFromStart, 70000), noErr);
    ASSERT_EQ(FSCloseFork(fork), noErr);
    EXPECT_EQ(vtest::sidecar_fork(path), big.substr(0, 70000));
    EXPECT_EQ(vtest::legacy_fork(path), "<absent>") << "nothing goes to the old attribute";

    // Creating forks: the data fork always exists; the resource fork once,
    // as an empty sidecar.
    auto other = dir.write("g", "");
    FSRef oref = ref_of(other);
    EXPECT_EQ(FSCreateFork(&oref, 0, nullptr), errFSForkExists);
    ASSERT_EQ(FSCreateFork(&oref, rname.length, rname.unicode), noErr);
    EXPECT_EQ(vtest::sidecar_fork(other), "");
    EXPECT_EQ(FSCreateFork(&oref, rname.length, rname.unicode), errFSForkExists);
    const UniChar odd[] = {'X'};
    EXPECT_EQ(FSCreateFork(&oref, 1, odd), errFSForkNotFound);
    FSIORefNum n = 0;
    EXPECT_EQ(FSOpenFork(&oref, 1, odd, fsRdPerm, &n), errFSForkNotFound);
}

// What other programs leave: the fork in the attribute of earlier versions,
// or a sidecar in the form Mac clients write. Each reads back; the first
// write moves an old fork into a sidecar, and a Mac client's sidecar is
// written in place, in its own form.
TEST(Forks, ForksOtherProgramsLeftAreReadAndTakenOver) {
    struct Row {
        const char* what;
        bool legacy, macClient;
    };
    for (const Row& row : {Row{"old attribute", true, false}, Row{"Samba's sidecar", false, false},
                           Row{"a Mac client's sidecar", false, true}}) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir;
        auto path = dir.write("f", "data");
        if (row.legacy) {
            ASSERT_EQ(::lsetxattr(path.c_str(), kRsrcAttr, "old fork", 8, 0), 0);
        } else {
            vtest::write_sidecar(path, "old fork", row.macClient);
        }
        FSRef ref = ref_of(path);
        FSIORefNum fork = open_fork(ref, true, fsRdWrPerm);
        SInt64 size = 0;
        ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
        EXPECT_EQ(size, 8);
        char buf[32];
        ByteCount got = 0;
        ASSERT_EQ(FSReadFork(fork, fsFromStart, 0, 8, buf, &got), noErr);
        EXPECT_EQ(std::string(buf, got), "old fork");
        ASSERT_EQ(FSWriteFork(fork, fsFromLEOF, 0, 4, " new", &got), noErr);
        ASSERT_EQ(FSCloseFork(fork), noErr);
        EXPECT_EQ(vtest::sidecar_fork(path), "old fork new");
        EXPECT_EQ(vtest::legacy_fork(path), "<absent>") << "moved, not copied";
        if (row.macClient) {
            EXPECT_EQ(vtest::raw_sidecar(path).size(), 0x32u + 0xE2 + 12) << "kept its form";
        }
    }
}

// A "._NAME" that is no sidecar is never written through, over or into, and
// the data fork stays as it was: a link (to a file outside), a directory, a
// FIFO (never blocks), a header that does not parse. Reads see no fork.
TEST(Forks, ANameThatIsNoSidecarIsNeverWrittenThrough) {
    struct Row {
        const char* what;
        int kind;
    };
    for (const Row& row :
         {Row{"link", 0}, Row{"directory", 1}, Row{"FIFO", 2}, Row{"corrupt header", 3},
          Row{"no fork entry", 4}, Row{"a Finder entry inside the fork", 5}}) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir;
        auto path = dir.write("f", "data");
        auto outside = dir.write("outside", "keep me");
        const auto side = vtest::sidecar_path(path);
        switch (row.kind) {
            case 0:
                ASSERT_EQ(::symlink(outside.c_str(), side.c_str()), 0);
                break;
            case 1:
                ASSERT_EQ(::mkdir(side.c_str(), 0755), 0);
                break;
            case 2:
                ASSERT_EQ(::mkfifo(side.c_str(), 0644), 0);
                break;
            case 3:
                vtest::write_bytes(side, "this is no AppleDouble header at all, not at all");
                break;
            case 4: {
                std::string s = vtest::sidecar_bytes("x");
                s[26 + 3] = 7;  // the fork entry becomes an unknown one
                vtest::write_bytes(side, s);
                break;
            }
            case 5: {
                // The fork from 0x32, 40 bytes: over the Finder information.
                std::string s = vtest::sidecar_bytes("the fork");
                s[33] = 0x32;
                s[37] = 40;
                vtest::write_bytes(side, s);
                break;
            }
        }
        struct stat before {};
        ASSERT_EQ(::lstat(side.c_str(), &before), 0);
        const std::string rawBefore = row.kind >= 3 ? vtest::raw_sidecar(path) : "";
        FSRef ref = ref_of(path);
        FSIORefNum fork = open_fork(ref, true, fsRdWrPerm);
        SInt64 size = -1;
        EXPECT_EQ(FSGetForkSize(fork, &size), noErr);
        EXPECT_EQ(size, 0);
        ByteCount got = 0;
        // The code the copies and moves give for the same place taken.
        EXPECT_EQ(FSWriteFork(fork, fsFromStart, 0, 3, "new", &got), afpObjectTypeErr);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(FSSetForkSize(fork, fsFromStart, 10), afpObjectTypeErr);
        EXPECT_EQ(FSCloseFork(fork), noErr);
        EXPECT_EQ(FSCreateFork(&ref, 13, resource_name().unicode), afpObjectTypeErr);
        struct stat after {};
        ASSERT_EQ(::lstat(side.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
        if (row.kind >= 3) {
            EXPECT_EQ(vtest::raw_sidecar(path), rawBefore);
        }
        EXPECT_EQ(vtest::read_file(outside), "keep me");
        EXPECT_EQ(vtest::read_file(path), "data");
    }
}

// A name of 254 or 255 bytes leaves no room for "._": such a file can have
// no sidecar, and its resource fork says so rather than writing anything
// under a shortened name. 253 bytes is the longest that can.
TEST(Forks, NamesWithoutRoomForASidecarGiveAClearError) {
    vtest::TempDir dir;
    for (std::size_t len : {253u, 254u, 255u}) {
        SCOPED_TRACE(len);
        auto path = dir.write(std::string(len, 'n'), "data");
        FSRef ref = ref_of(path);
        FSIORefNum fork = open_fork(ref, true, fsRdWrPerm);
        ByteCount got = 0;
        const OSErr expect = len <= 253 ? noErr : errFSNameTooLong;
        EXPECT_EQ(FSWriteFork(fork, fsFromStart, 0, 4, "rsrc", &got), expect);
        EXPECT_EQ(FSCloseFork(fork), noErr);
        EXPECT_EQ(vtest::read_file(path), "data");
        std::size_t entries = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.exists();
        EXPECT_EQ(entries, len == 253 ? 2u : 1u) << "nothing under another name";
        std::error_code ec;  // ._ and 255 bytes is no name at all
        std::filesystem::remove(path, ec);
        if (len <= 253) std::filesystem::remove(vtest::sidecar_path(path), ec);
    }
}

TEST(Forks, AccessDenyModesAndWhatCannotBeOpened) {
    vtest::TempDir dir;
    auto path = dir.write("f", "abc");
    FSRef ref = ref_of(path);

    FSIORefNum ro = open_fork(ref, false, fsRdPerm);
    EXPECT_EQ(FSWriteFork(ro, fsFromStart, 0, 1, "x", nullptr), wrPermErr);
    EXPECT_EQ(FSSetForkSize(ro, fsFromStart, 0), wrPermErr);
    // One writer per fork; a second reader is fine; shared writers share.
    FSIORefNum rw = open_fork(ref, false, fsRdWrPerm);
    open_fork(ref, false, fsRdWrPerm, opWrErr);
    open_fork(ref, false, fsRdWrShPerm, opWrErr);
    FSIORefNum rsrc = open_fork(ref, true, fsRdWrPerm);  // the other fork of the file
    FSIORefNum ro2 = open_fork(ref, false, fsRdPerm);
    for (FSIORefNum n : {ro, rw, rsrc, ro2}) EXPECT_EQ(FSCloseFork(n), noErr);
    FSIORefNum sh1 = open_fork(ref, false, fsRdWrShPerm);
    FSIORefNum sh2 = open_fork(ref, false, fsRdWrShPerm);
    EXPECT_NE(sh1, sh2);
    EXPECT_EQ(FSCloseFork(sh1), noErr);
    EXPECT_EQ(FSCloseFork(sh2), noErr);

    FSIORefNum n = 0;
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdPerm, nullptr), paramErr);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, 0x05, &n), paramErr);
    FSRef dref = ref_of(dir.path());
    EXPECT_EQ(FSOpenFork(&dref, 0, nullptr, fsRdPerm, &n), notAFileErr);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    FSRef fifo = ref_of(dir / "fifo");
    EXPECT_EQ(FSOpenFork(&fifo, 0, nullptr, fsRdPerm, &n), notAFileErr)
        << "a FIFO would block the caller";
    EXPECT_EQ(vantrel::fm::open_fork_count(), 0);
}

// A locked file: the current permission falls back to reading; asking to
// write is the lock's error.
TEST(Forks, ALockedFileOpensOnlyForReading) {
    vtest::TempDir dir;
    if (!vtest::can_set_immutable(dir.path())) GTEST_SKIP() << vtest::kNeedsImmutable;
    auto path = dir.write("f", "abc");
    FSRef ref = ref_of(path);
    ASSERT_TRUE(vtest::set_immutable(path, true));
    FSIORefNum n = 0;
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &n), fLckdErr);
    FSIORefNum cur = open_fork(ref, false, fsCurPerm);
    FSForkInfo info;
    ASSERT_EQ(FSGetForkCBInfo(cur, 0, nullptr, nullptr, &info, nullptr, nullptr), noErr);
    EXPECT_EQ(info.permissions, fsRdPerm);
    EXPECT_EQ(FSWriteFork(cur, fsFromStart, 0, 1, "x", nullptr), wrPermErr);
    EXPECT_EQ(FSCloseFork(cur), noErr);
    vtest::set_immutable(path, false);
    EXPECT_EQ(vtest::read_file(path), "abc");
    EXPECT_EQ(vantrel::fm::open_fork_count(), 0);
}

TEST(Forks, ControlBlockWalkAndOwnOpenFileDescriptions) {
    vtest::TempDir dir;
    auto path = dir.write("f", "0123456789");
    FSRef ref = ref_of(path);
    FSIORefNum a = open_fork(ref, false, fsRdWrShPerm);
    FSIORefNum b = open_fork(ref, true, fsRdPerm);
    ASSERT_EQ(FSSetForkPosition(a, fsFromStart, 4), noErr);

    FSCatalogInfo cat;
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNodeID | kFSCatInfoVolume, &cat, nullptr, nullptr,
                               nullptr),
              noErr);
    SInt16 it = 0;
    std::vector<FSIORefNum> seen;
    for (;;) {
        FSIORefNum actual = 0;
        FSForkInfo info;
        FSRef fref;
        HFSUniStr255 fname;
        OSErr e = FSGetForkCBInfo(0, cat.volume, &it, &actual, &info, &fref, &fname);
        if (e == errFSNoMoreItems) break;
        ASSERT_EQ(e, noErr);
        seen.push_back(actual);
        EXPECT_EQ(info.nodeID, cat.nodeID);
        EXPECT_EQ(info.volume, cat.volume);
        EXPECT_EQ(FSCompareFSRefs(&fref, &ref), noErr);
        if (actual == a) {
            EXPECT_EQ(info.currentPosition, 4u);
            EXPECT_EQ(info.logicalEOF, 10);
            EXPECT_EQ(fname.length, 0);
        } else {
            EXPECT_EQ(fname.length, 13);
            EXPECT_EQ(info.logicalEOF, 0);
        }
    }
    EXPECT_EQ(seen, (std::vector<FSIORefNum>{a, b}));
    SInt16 none = 0;
    EXPECT_EQ(FSGetForkCBInfo(0, -999, &none, nullptr, nullptr, nullptr, nullptr),
              errFSNoMoreItems);
    EXPECT_EQ(FSGetForkCBInfo(0, 0, nullptr, nullptr, nullptr, nullptr, nullptr), paramErr);

    // Each reference number is its own open-file description: a byte-range
    // lock taken through one conflicts with the other and goes with its close.
    FSIORefNum c = open_fork(ref, false, fsRdWrShPerm);
    vantrel::fm::ForkAccess fa, fc;
    ASSERT_EQ(vantrel::fm::fork_access(a, &fa), noErr);
    ASSERT_EQ(vantrel::fm::fork_access(c, &fc), noErr);
    EXPECT_NE(fa.fd, fc.fd);
    EXPECT_EQ(fa.mark, 4);
    EXPECT_TRUE(fa.writable);
    struct flock lk = {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = 0;
    lk.l_len = 5;
    ASSERT_EQ(::fcntl(fa.fd, F_OFD_SETLK, &lk), 0);
    EXPECT_EQ(::fcntl(fc.fd, F_OFD_SETLK, &lk), -1);
    ASSERT_EQ(FSCloseFork(a), noErr);
    EXPECT_EQ(::fcntl(fc.fd, F_OFD_SETLK, &lk), 0);
    EXPECT_EQ(vantrel::fm::fork_access(a, &fa), rfNumErr);
    EXPECT_EQ(FSCloseFork(b), noErr);
    EXPECT_EQ(FSCloseFork(c), noErr);
}

TEST(Forks, LegacyCallsShareTheMarkAndTheFaultSeamReachesEveryCall) {
    vtest::TempDir dir;
    auto path = dir.write("f", "");
    FSRef ref = ref_of(path);
    FSIORefNum f = open_fork(ref, false, fsRdWrPerm);
    SInt32 count = 6;
    ASSERT_EQ(FSWrite(f, &count, "legacy"), noErr);
    EXPECT_EQ(count, 6);
    ASSERT_EQ(FSSetForkPosition(f, fsFromStart, 2), noErr);
    char buf[16];
    count = 10;
    EXPECT_EQ(FSRead(f, &count, buf), eofErr);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(count)), "gacy");
    count = -1;
    EXPECT_EQ(FSRead(f, &count, buf), paramErr);

    vf::Scope scope;
    for (const char* op :
         {"FSReadFork", "FSWriteFork", "FSGetForkSize", "FSSetForkSize", "FSSetForkPosition",
          "FSGetForkPosition", "FSFlushFork", "FSRead", "FSWrite", "FSGetForkCBInfo"}) {
        vf::reset();
        vf::fail_nth(op, 1, ioErr);
        ByteCount got = 0;
        SInt64 v = 0;
        SInt32 n = 1;
        OSErr e = noErr;
        const std::string o = op;
        if (o == "FSReadFork") e = FSReadFork(f, fsFromStart, 0, 1, buf, &got);
        if (o == "FSWriteFork") e = FSWriteFork(f, fsFromStart, 0, 1, "Z", &got);
        if (o == "FSGetForkSize") e = FSGetForkSize(f, &v);
        if (o == "FSSetForkSize") e = FSSetForkSize(f, fsFromStart, 0);
        if (o == "FSSetForkPosition") e = FSSetForkPosition(f, fsFromStart, 0);
        if (o == "FSGetForkPosition") e = FSGetForkPosition(f, &v);
        if (o == "FSFlushFork") e = FSFlushFork(f);
        if (o == "FSRead") e = FSRead(f, &n, buf);
        if (o == "FSWrite") e = FSWrite(f, &n, "Z");
        if (o == "FSGetForkCBInfo")
            e = FSGetForkCBInfo(f, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(e, ioErr) << op;
        EXPECT_EQ(vf::injected(), 1) << op;
    }
    vf::reset();
    EXPECT_EQ(vtest::read_file(path), "legacy") << "no injected call changed the file";
    vf::fail_nth("FSCloseFork", 1, ioErr);
    EXPECT_EQ(FSCloseFork(f), ioErr);
    EXPECT_EQ(FSCloseFork(f), noErr) << "a refused close leaves the fork open";
}

TEST(Forks, UncachedTransfersCarryTheDataAndLeaveLittleInTheCache) {
    vtest::TempDir dir;
    auto path = dir.write("big", "");
    FSRef ref = ref_of(path);
    FSIORefNum f = open_fork(ref, false, fsRdWrPerm);
    constexpr std::size_t kBlock = 1 << 20, kBlocks = 8;
    std::vector<char> block(kBlock + 1);
    // Aligned blocks go around the page cache (direct I/O), the others
    // through it with write-behind; both must end up on disk and out of the cache.
    char* aligned = static_cast<char*>(std::aligned_alloc(4096, kBlock));
    ASSERT_NE(aligned, nullptr);
    for (std::size_t i = 0; i < kBlocks; ++i) {
        char* p = i % 2 == 0 ? aligned : block.data() + 1;  // malloc never gives 4095 mod 4096
        const std::size_t len = kBlock;
        for (std::size_t j = 0; j < len; ++j)
            p[j] = static_cast<char>(((i * kBlock + j) * 7) & 0xFF);
        ByteCount wrote = 0;
        ASSERT_EQ(FSWriteFork(f, fsFromStart | noCacheMask, static_cast<SInt64>(i * kBlock), len, p,
                              &wrote),
                  noErr);
        ASSERT_EQ(wrote, len);
    }
    std::free(aligned);
    // A short tail, then everything flushed.
    ASSERT_EQ(FSWriteFork(f, fsFromLEOF | noCacheMask, 0, 3, "end", nullptr), noErr);
    ASSERT_EQ(FSFlushFork(f), noErr);

    // What was written uncached is on disk and mostly out of the page cache.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* map = ::mmap(nullptr, kBlock * kBlocks, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    const std::size_t pages = kBlock * kBlocks / static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(::mincore(map, kBlock * kBlocks, resident.data()), 0);
    std::size_t in = 0;
    for (unsigned char r : resident) in += r & 1;
    EXPECT_LT(in, pages / 2) << in << " of " << pages << " pages still cached";
    ::munmap(map, kBlock * kBlocks);
    ::close(fd);

    // And reads back intact, uncached too, aligned or not; the end arrives
    // with eofErr and the partial count.
    std::string back;
    char* abuf = static_cast<char*>(std::aligned_alloc(4096, kBlock));
    ASSERT_NE(abuf, nullptr);
    ASSERT_EQ(FSSetForkPosition(f, fsFromStart, 0), noErr);
    for (int i = 0;; ++i) {
        char* p = i % 2 == 0 ? abuf : block.data() + 1;
        ByteCount got = 0;
        OSErr e = FSReadFork(f, fsAtMark | noCacheMask, 0, kBlock, p, &got);
        back.append(p, got);
        if (e == eofErr) break;
        ASSERT_EQ(e, noErr);
    }
    std::free(abuf);
    ASSERT_EQ(back.size(), kBlock * kBlocks + 3);
    std::string want;
    for (std::size_t k = 0; k < kBlock * kBlocks; ++k)
        want.push_back(static_cast<char>((k * 7) & 0xFF));
    want += "end";
    EXPECT_TRUE(back == want) << "uncached data differs";
    EXPECT_EQ(FSCloseFork(f), noErr);
}
