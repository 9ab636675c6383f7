// FSCopyFork on real files: buffer sizes around the 4 KiB unit, empty and
// exact-multiple sources, a longer destination, failures in the last pass,
// and both kinds of fork.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/fault.h"

namespace vf = vantrel::fault;

namespace {

constexpr const char* kRsrcAttr = "user.org.netatalk.ResourceFork";

using vtest::ref_of;

FSIORefNum open_fork(const std::filesystem::path& p, bool resource, SInt8 perm) {
    FSRef ref = ref_of(p);
    HFSUniStr255 name{};
    if (resource) FSGetResourceForkName(&name);
    FSIORefNum n = 0;
    EXPECT_EQ(FSOpenFork(&ref, name.length, name.unicode, perm, &n), noErr) << p;
    return n;
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// The resource fork of `p` as it stands on disk: in its sidecar, else in
// the attribute of earlier versions.
std::string attr(const std::filesystem::path& p) {
    const std::string side = vtest::sidecar_fork(p);
    return side != "<absent>" ? side : vtest::legacy_fork(p);
}

struct Copy {
    OSErr result;
    long reads;  // FSReadFork calls: shows the block size actually used
};

Copy copy(const std::filesystem::path& src, bool srcRsrc, const std::filesystem::path& dst,
          bool dstRsrc, ByteCount bufferSize) {
    FSIORefNum s = open_fork(src, srcRsrc, fsRdPerm);
    FSIORefNum d = open_fork(dst, dstRsrc, fsRdWrPerm);
    std::vector<char> buffer(bufferSize + 16, 0x5A);
    vf::set_counting(true);
    const long before = vf::calls("FSReadFork");
    Copy c{FSCopyFork(s, d, buffer.data(), bufferSize), 0};
    c.reads = vf::calls("FSReadFork") - before;
    for (std::size_t i = bufferSize; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0x5A) << "written past the caller's buffer at " << i;
    EXPECT_EQ(FSCloseFork(s), noErr);
    EXPECT_EQ(FSCloseFork(d), noErr);
    return c;
}

}  // namespace

struct CopyRow {
    ByteCount buffer;
    std::size_t size;
    long reads;             // passes: whole blocks, then the one that meets the end (none
                            // for a copy in the kernel)
    bool resource = false;  // resource fork to resource fork, in their sidecars
};

class ForkCopy : public ::testing::TestWithParam<CopyRow> {};

TEST_P(ForkCopy, CopiesExactlyTheSourceInBlocks) {
    const CopyRow& row = GetParam();
    vf::Scope scope;
    vtest::TempDir dir;
    const std::string data = pattern(row.size);
    auto src = dir.write("src", row.resource ? "src data" : data);
    // The destination starts longer than any source, so cutting is checked too.
    auto dst = dir.write("dst", row.resource ? "dst data" : std::string(30000, 'D'));
    if (row.resource) {
        vtest::write_sidecar(src, data);
        vtest::write_sidecar(dst, std::string(30000, 'D'), true);
    }
    Copy c = copy(src, row.resource, dst, row.resource, row.buffer);
    EXPECT_EQ(c.result, noErr);
    EXPECT_EQ(c.reads, row.reads);
    if (row.resource) {
        EXPECT_TRUE(vtest::sidecar_fork(dst) == data) << "content differs";
        EXPECT_EQ(vtest::read_file(dst), "dst data");
        return;
    }
    EXPECT_EQ(std::filesystem::file_size(dst), row.size);
    EXPECT_TRUE(vtest::read_file(dst) == data) << "content differs";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ForkCopy,
    ::testing::Values(CopyRow{1, 0, 1}, CopyRow{1, 5, 6}, CopyRow{1, 3000, 3001},
                      CopyRow{4095, 0, 1}, CopyRow{4095, 4095, 2}, CopyRow{4095, 10000, 3},
                      CopyRow{4096, 8192, 3},  // exact multiple: a last pass of 0 bytes
                      CopyRow{4096, 8193, 3}, CopyRow{10000, 0, 1},
                      CopyRow{10000, 16384, 3},  // 10,000 is used as 8,192
                      CopyRow{10000, 20000, 3},  // 8,192 + 8,192 + 3,616
                      CopyRow{10000, 10000, 2},
                      // Resource forks in sidecars, beyond what an attribute holds:
                      // copied in the kernel, never read through the buffer.
                      CopyRow{4096, 8193, 0, true}, CopyRow{10000, 0, 0, true},
                      CopyRow{10000, 1 << 20, 0, true}));

TEST(ForkCopyFailures, TheLastPassWriteErrorIsReported) {
    vf::Scope scope;
    vtest::TempDir dir;
    auto src = dir.write("src", pattern(10000));
    auto dst = dir.write("dst");
    // 4,096-byte blocks: passes 1 and 2 are whole, pass 3 reads 1,808 bytes with eofErr.
    vf::fail_nth("FSWriteFork", 3, dskFulErr);
    Copy c = copy(src, false, dst, false, 4096);
    EXPECT_EQ(c.result, dskFulErr);
    EXPECT_EQ(c.reads, 3);
    EXPECT_EQ(std::filesystem::file_size(dst), 10000u) << "the size set before the copy stays";
    EXPECT_EQ(vtest::read_file(dst).substr(0, 8192), pattern(10000).substr(0, 8192));

    // The same with an exact multiple: the failing write is the empty one.
    vf::reset();
    auto exact = dir.write("exact", pattern(8192));
    vf::fail_nth("FSWriteFork", 3, ioErr);
    EXPECT_EQ(copy(exact, false, dst, false, 4096).result, ioErr);

    // A read error other than the end stops the copy with that error.
    vf::reset();
    vf::fail_nth("FSReadFork", 2, ioErr);
    c = copy(src, false, dst, false, 4096);
    EXPECT_EQ(c.result, ioErr);
    EXPECT_EQ(c.reads, 2);
}

TEST(ForkCopyFailures, SetupErrorsAndBadArguments) {
    vf::Scope scope;
    vtest::TempDir dir;
    auto src = dir.write("src", "source");
    auto dst = dir.write("dst", "destination");
    FSIORefNum s = open_fork(src, false, fsRdPerm);
    FSIORefNum d = open_fork(dst, false, fsRdWrPerm);
    char buf[64];
    EXPECT_EQ(FSCopyFork(s, d, nullptr, 64), paramErr);
    EXPECT_EQ(FSCopyFork(s, d, buf, 0), paramErr);
    EXPECT_EQ(FSCopyFork(d, d, buf, 64), paramErr) << "one fork twice would scramble itself";
    EXPECT_EQ(vtest::read_file(dst), "destination");

    for (const char* op : {"FSGetForkSize", "FSSetForkSize"}) {
        vf::reset();
        vf::fail_nth(op, 1, ioErr);
        EXPECT_EQ(FSCopyFork(s, d, buf, sizeof buf), ioErr) << op;
    }
    EXPECT_EQ(vtest::read_file(dst), "destination") << "nothing changes before the size is set";
    // A positioning that fails comes after the resize, which stays.
    for (long nth : {1, 2}) {
        vf::reset();
        vf::fail_nth("FSSetForkPosition", nth, posErr);
        EXPECT_EQ(FSCopyFork(s, d, buf, sizeof buf), posErr) << nth;
        EXPECT_EQ(std::filesystem::file_size(dst), 6u);
        EXPECT_EQ(vf::calls("FSReadFork"), 0) << "no data moves after a failed positioning";
    }
    vf::reset();
    // Forks opened without the access a step needs: the platform's refusal.
    EXPECT_EQ(FSCopyFork(d, s, buf, sizeof buf), wrPermErr);
    EXPECT_EQ(FSCopyFork(s, 31000, buf, sizeof buf), rfNumErr);
    EXPECT_EQ(FSCloseFork(s), noErr);
    EXPECT_EQ(FSCloseFork(d), noErr);
}

TEST(ForkCopyForks, ResourceForksAndMixedForks) {
    vf::Scope scope;
    vtest::TempDir dir;
    auto src = dir.write("src", "data of the source");
    auto dst = dir.write("dst", "dst data");
    // A source fork far beyond what an attribute holds (3.5 KiB on ext4),
    // into a destination whose fork is still in the old attribute: it moves
    // into a sidecar on the way.
    const std::string rsrc = pattern(300000);
    vtest::write_sidecar(src, rsrc);
    ASSERT_EQ(::lsetxattr(dst.c_str(), kRsrcAttr, std::string(3500, 'r').data(), 3500, 0), 0);

    EXPECT_EQ(copy(src, true, dst, true, 1000).result, noErr);
    EXPECT_TRUE(attr(dst) == rsrc) << "the resource fork is the source's";
    EXPECT_EQ(vtest::legacy_fork(dst), "<absent>");
    ASSERT_EQ(::lsetxattr(dst.c_str(), kRsrcAttr, std::string(3500, 'r').data(), 3500, 0), 0);
    vtest::write_sidecar(dst, std::string(400000, 'r'));
    EXPECT_EQ(copy(src, true, dst, true, 1000).result, noErr);
    EXPECT_TRUE(vtest::sidecar_fork(dst) == rsrc)
        << "the longer resource fork is cut to the source's";
    EXPECT_EQ(vtest::read_file(dst), "dst data") << "the data fork is not touched";

    // Data fork into a resource fork and back.
    auto other = dir.write("other", "");
    EXPECT_EQ(copy(src, false, other, true, 7).result, noErr);
    EXPECT_EQ(attr(other), "data of the source");
    EXPECT_EQ(copy(src, true, other, false, 10000).result, noErr);
    EXPECT_TRUE(vtest::read_file(other) == rsrc);

    // An empty resource fork (no sidecar at all) empties the destination's,
    // which then has no sidecar either.
    auto bare = dir.write("bare", "");
    EXPECT_EQ(copy(bare, true, dst, true, 4096).result, noErr);
    EXPECT_EQ(attr(dst), "<absent>");
}

namespace {

// Where a fork of a copy below starts: nowhere, in a sidecar as Samba or a
// Mac client lays it out, in the attribute of earlier versions, or (for a
// source) in the data fork.
enum class At { None, Samba, MacClient, Legacy, Data };

struct IntoResourceRow {
    const char* what;
    At src;
    std::size_t srcSize;
    At dst;
    std::size_t dstSize;
    bool hardLinked = false;  // the destination's sidecar has a second name
};

void put_fork(const std::filesystem::path& p, At at, const std::string& fork,
              const std::string& finder32) {
    switch (at) {
        case At::None:
        case At::Data:
            break;
        case At::Samba:
        case At::MacClient:
            vtest::write_bytes(vtest::sidecar_path(p),
                               vtest::sidecar_bytes(fork, finder32, at == At::MacClient));
            break;
        case At::Legacy:
            ASSERT_EQ(::lsetxattr(p.c_str(), kRsrcAttr, fork.data(), fork.size(), 0), 0);
            break;
    }
}

}  // namespace

class ForkCopyIntoResource : public ::testing::TestWithParam<IntoResourceRow> {};

// A copy into a resource fork replaces it whole, inside the kernel: the
// caller's buffer is never used, the destination's own header and Finder
// information stay, a longer fork is cut, an empty source leaves no
// sidecar, a sidecar with a second name is replaced (the other name keeps
// its fork), and both marks end at the end of the copied fork.
TEST_P(ForkCopyIntoResource, ReplacesTheForkWholeWithoutTheBuffer) {
    const IntoResourceRow& row = GetParam();
    vf::Scope scope;
    vtest::TempDir dir;
    const std::string data = pattern(row.srcSize);
    auto src = dir.write("src", row.src == At::Data ? data : "src data");
    auto dst = dir.write("dst", "dst data");
    const std::string srcFinder = "SRCFINDRsource finder info.....";
    const std::string dstFinder = "DSTFINDRdestination finder info";
    put_fork(src, row.src, data, srcFinder);
    put_fork(dst, row.dst, std::string(row.dstSize, 'D'), dstFinder);
    const std::string srcSidecar = vtest::raw_sidecar(src);
    auto other = dir.write("other", "other data");
    if (row.hardLinked) {
        ASSERT_EQ(::link(vtest::sidecar_path(dst).c_str(), vtest::sidecar_path(other).c_str()), 0);
    }
    const std::string otherSidecar = vtest::raw_sidecar(other);
    const std::string dstFinderBefore = vtest::sidecar_entry(dst, 9);

    FSIORefNum s = open_fork(src, row.src != At::Data, fsRdPerm);
    FSIORefNum d = open_fork(dst, true, fsRdWrPerm);
    std::vector<char> buffer(1 << 16, 0x5A);
    ASSERT_EQ(FSCopyFork(s, d, buffer.data(), buffer.size()), noErr);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), std::ptrdiff_t(buffer.size()))
        << "the bytes went through the caller's buffer";
    SInt64 srcMark = -1, dstMark = -1;
    EXPECT_EQ(FSGetForkPosition(s, &srcMark), noErr);
    EXPECT_EQ(FSGetForkPosition(d, &dstMark), noErr);
    EXPECT_EQ(srcMark, SInt64(row.srcSize));
    EXPECT_EQ(dstMark, SInt64(row.srcSize));
    EXPECT_EQ(FSCloseFork(s), noErr);
    EXPECT_EQ(FSCloseFork(d), noErr);

    if (row.srcSize == 0) {
        EXPECT_EQ(attr(dst), "<absent>") << "a file without a resource fork has no sidecar";
    } else {
        EXPECT_TRUE(vtest::sidecar_fork(dst) == data) << "content differs";
        EXPECT_EQ(vtest::raw_sidecar(dst).size(),
                  (row.dst == At::MacClient ? 0x32 + 0xE2 : 0x52) + data.size())
            << "nothing of the old fork is left past the new one";
        if (row.dst == At::Samba || row.dst == At::MacClient)
            EXPECT_EQ(vtest::sidecar_entry(dst, 9), dstFinderBefore)
                << "the destination's Finder information stays";
        else
            EXPECT_EQ(vtest::sidecar_entry(dst, 9), std::string(32, '\0'));
    }
    EXPECT_EQ(vtest::legacy_fork(dst), "<absent>");
    EXPECT_EQ(vtest::read_file(dst), "dst data") << "the data fork is not touched";
    EXPECT_TRUE(vtest::raw_sidecar(src) == srcSidecar) << "the source is not touched";
    EXPECT_TRUE(vtest::raw_sidecar(other) == otherSidecar) << "the other name keeps its fork";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ForkCopyIntoResource,
    ::testing::Values(
        IntoResourceRow{"small into none", At::Samba, 5000, At::None, 0},
        IntoResourceRow{"several direct blocks, a partial last one", At::Samba, (9u << 20) + 100,
                        At::Samba, 300},
        IntoResourceRow{"into a longer fork", At::Samba, (4u << 20) + 4096, At::Samba, 5u << 20},
        IntoResourceRow{"into a hard-linked sidecar", At::Samba, 6u << 20, At::Samba, 7000, true},
        IntoResourceRow{"from a Mac client's sidecar", At::MacClient, 5u << 20, At::Samba, 10},
        IntoResourceRow{"into a Mac client's sidecar", At::Samba, 5u << 20, At::MacClient,
                        6u << 20},
        IntoResourceRow{"from the data fork", At::Data, (5u << 20) + 1, At::Samba, 10},
        IntoResourceRow{"from the old attribute", At::Legacy, 3000, At::Samba, 9000},
        IntoResourceRow{"into the old attribute", At::Samba, 70000, At::Legacy, 3500},
        IntoResourceRow{"an empty fork", At::None, 0, At::Samba, 20000},
        IntoResourceRow{"an empty fork into none", At::None, 0, At::None, 0}),
    [](const ::testing::TestParamInfo<IntoResourceRow>& info) {
        std::string n = info.param.what;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

// A failure at any platform call of a copy into a resource fork (opening
// both forks, the copy, closing the destination after it whatever the copy
// gave) leaves the destination's sidecar as it was: the new fork is in
// place whole or not at all.
TEST(ForkCopyIntoResourceFailures, AFailureAtAnyCallLeavesTheDestinationAsItWas) {
    vtest::FaultSweep sweep;
    const long trials = sweep.run([&](vtest::FaultTrial& t) {
        vtest::TempDir dir;
        auto src = dir.write("src", "src data");
        auto dst = dir.write("dst", "dst data");
        const std::string data = pattern(5000);
        vtest::write_sidecar(src, data);
        vtest::write_sidecar(dst, std::string(9000, 'D'));
        const vtest::Snapshot before = vtest::snapshot(dir.path());
        HFSUniStr255 rname{};
        FSGetResourceForkName(&rname);
        FSRef srcRef = ref_of(src), dstRef = ref_of(dst);
        FSIORefNum s = 0, d = 0;
        const OSErr e = t.inject([&]() -> OSErr {
            if (OSErr e = FSOpenFork(&srcRef, rname.length, rname.unicode, fsRdPerm, &s)) return e;
            if (OSErr e = FSOpenFork(&dstRef, rname.length, rname.unicode, fsRdWrPerm, &d))
                return e;
            char buf[1000];  // several passes, were the copy made through it
            const OSErr copied = FSCopyFork(s, d, buf, sizeof buf);
            // Closed whatever the copy gave, as a program does: what the
            // close puts in place is what counts.
            const OSErr closed = FSCloseFork(d);
            if (closed == noErr) d = 0;
            return copied != noErr ? copied : closed;
        });
        const vtest::Snapshot after = vtest::snapshot(dir.path());
        // Forks a failure left open are closed now, with nothing armed.
        if (d != 0) (void)FSCloseFork(d);
        if (s != 0) (void)FSCloseFork(s);
        if (t.clean()) {
            EXPECT_OSERR(e, noErr);
            EXPECT_TRUE(vtest::sidecar_fork(dst) == data);
            return;
        }
        t.expect_undone(e, before, after);
    });
    EXPECT_GT(trials, 8 * 5) << "the sweep covered the copy's calls";
}
