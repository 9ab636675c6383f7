// Byte-range locks on forks: what another open file description (in this
// process or another) sees, the resource fork's separate range, and the
// refused requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "TempDir.h"
#include "fm_child.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

namespace {

namespace fs = std::filesystem;

class RangeLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = dir_.write("f", std::string(0x100, 'x'));
        ASSERT_EQ(noErr,
                  FSPathMakeRef(reinterpret_cast<const UInt8*>(file_.c_str()), &ref_, nullptr));
    }
    FSIORefNum open(bool resource, SInt8 perm) {
        HFSUniStr255 name;
        EXPECT_EQ(noErr, resource ? FSGetResourceForkName(&name) : FSGetDataForkName(&name));
        FSIORefNum r = 0;
        EXPECT_EQ(noErr, FSOpenFork(&ref_, name.length, name.unicode, perm, &r));
        return r;
    }
    OSErr lock(bool on, FSIORefNum r, SInt32 count, SInt16 mode, SInt32 offset) {
        ParamBlockRec pb{};
        pb.ioParam.ioRefNum = r;
        pb.ioParam.ioReqCount = count;
        pb.ioParam.ioPosMode = mode;
        pb.ioParam.ioPosOffset = offset;
        OSErr err = on ? PBLockRangeSync(&pb) : PBUnlockRangeSync(&pb);
        EXPECT_EQ(err, pb.ioParam.ioResult);
        return err;
    }
    // The lock type another description would run into on [start, start+len).
    short probe(off_t start, off_t len, short type = F_WRLCK) {
        int fd = ::open(file_.c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = len;
        ::fcntl(fd, F_OFD_GETLK, &fl);
        ::close(fd);
        return fl.l_type;
    }

    vtest::TempDir dir_{"rangelock"};
    fs::path file_;
    FSRef ref_{};
};

TEST_F(RangeLockTest, PositionModesChooseTheStart) {
    FSIORefNum r = open(false, fsRdWrPerm);
    ASSERT_EQ(noErr, FSSetForkPosition(r, fsFromStart, 0x40));
    ASSERT_EQ(noErr, lock(true, r, 0x10, fsAtMark, 0));        // [0x40, 0x50)
    ASSERT_EQ(noErr, lock(true, r, 0x10, fsFromMark, 0x20));   // [0x60, 0x70)
    ASSERT_EQ(noErr, lock(true, r, 0x10, fsFromLEOF, -0x10));  // [0xF0, 0x100)
    EXPECT_EQ(F_WRLCK, probe(0x40, 0x10));
    EXPECT_EQ(F_UNLCK, probe(0x50, 0x10));
    EXPECT_EQ(F_WRLCK, probe(0x60, 1));
    EXPECT_EQ(F_WRLCK, probe(0xFF, 1));
    EXPECT_EQ(F_UNLCK, probe(0x100, 0x1000)) << "a counted range stops at its end";
    EXPECT_EQ(posErr, lock(true, r, 0x10, fsFromLEOF, -0x200)) << "before the start of the fork";
    EXPECT_EQ(noErr, FSCloseFork(r));
    EXPECT_EQ(F_UNLCK, probe(0, 0)) << "closing the fork released every lock";
}

TEST_F(RangeLockTest, ToTheEndAndRefusedLengths) {
    FSIORefNum r = open(false, fsRdWrPerm);
    EXPECT_EQ(paramErr, lock(true, r, 0, fsFromStart, 0)) << "zero bytes is not 'everything'";
    EXPECT_EQ(paramErr, lock(true, r, -2, fsFromStart, 0));
    EXPECT_EQ(F_UNLCK, probe(0, 0));
    ASSERT_EQ(noErr, lock(true, r, -1, fsFromStart, 0x80));
    EXPECT_EQ(F_WRLCK, probe(0x80, 1));
    EXPECT_EQ(F_WRLCK, probe(0x100000, 1)) << "to the end, however far the fork grows";
    EXPECT_EQ(F_UNLCK, probe(0x7F, 1));
    ASSERT_EQ(noErr, lock(false, r, -1, fsFromStart, 0x80));
    EXPECT_EQ(F_UNLCK, probe(0, 0));
    FSCloseFork(r);
    EXPECT_EQ(rfNumErr, lock(true, r, 1, fsFromStart, 0)) << "a closed reference number";
}

TEST_F(RangeLockTest, ForksOfOneFileLockIndependently) {
    ASSERT_EQ(0, ::setxattr(file_.c_str(), "user.org.netatalk.ResourceFork", "rsrc", 4, 0));
    FSIORefNum data = open(false, fsRdWrShPerm);
    FSIORefNum rsrc = open(true, fsRdWrShPerm);
    FSIORefNum data2 = open(false, fsRdWrShPerm);
    ASSERT_EQ(noErr, lock(true, data, 0x10, fsFromStart, 0));
    EXPECT_EQ(noErr, lock(true, rsrc, 0x10, fsFromStart, 0))
        << "the resource fork's byte 0 is not the data fork's";
    EXPECT_EQ(-5021, lock(true, data2, 1, fsFromStart, 0x8))
        << "another opening of the data fork conflicts";
    // A whole-fork lock of the data fork leaves the resource fork's ranges alone.
    ASSERT_EQ(noErr, lock(false, data, 0x10, fsFromStart, 0));
    EXPECT_EQ(noErr, lock(true, data, -1, fsFromStart, 0));
    FSCloseFork(data);
    FSCloseFork(rsrc);
    FSCloseFork(data2);
}

TEST_F(RangeLockTest, OtherProcessesAreKeptOutAndReadersShare) {
    FSIORefNum w = open(false, fsRdWrPerm);
    ASSERT_EQ(noErr, lock(true, w, 0x10, fsFromStart, 0));
    auto other = fmtest::run_child(fmtest::Child::Plain, [&]() -> std::string {
        int fd = ::open(file_.c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = F_RDLCK;
        fl.l_whence = SEEK_SET;
        fl.l_len = 1;
        return fmtest::check(::fcntl(fd, F_OFD_SETLK, &fl) != 0,
                             "another process read-locked a locked range");
    });
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ("", *other);
    FSCloseFork(w);

    // Read-only forks take shared locks: two readers agree, a writer is refused.
    FSIORefNum r1 = open(false, fsRdPerm), r2 = open(false, fsRdPerm);
    ASSERT_EQ(noErr, lock(true, r1, 0x10, fsFromStart, 0));
    EXPECT_EQ(noErr, lock(true, r2, 0x10, fsFromStart, 0));
    EXPECT_EQ(F_RDLCK, probe(0, 0x10));
    EXPECT_EQ(F_UNLCK, probe(0, 0x10, F_RDLCK)) << "another reader is not kept out";
    FSCloseFork(r1);
    FSCloseFork(r2);
}

TEST_F(RangeLockTest, FaultsAndNulls) {
    vantrel::fault::Scope scope;
    EXPECT_EQ(paramErr, PBLockRangeSync(nullptr));
    EXPECT_EQ(paramErr, PBUnlockRangeSync(nullptr));
    FSIORefNum r = open(false, fsRdWrPerm);
    vantrel::fault::fail_nth("PBLockRangeSync", 1, ioErr);
    EXPECT_EQ(ioErr, lock(true, r, 1, fsFromStart, 0));
    EXPECT_EQ(F_UNLCK, probe(0, 0));
    FSCloseFork(r);
}

}  // namespace
