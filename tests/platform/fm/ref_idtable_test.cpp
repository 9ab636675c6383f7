// The ID table: objects of one volume whose inode numbers cannot be their
// IDs (64-bit numbers, btrfs subvolumes, numbers below 16) get IDs of their
// own, the same in another process, that the table maps back; where the
// table cannot be kept, the IDs are still distinct in the process and the
// reason is said once.
#include "fm/ref_idtable.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FSTestSupport.h"
#include "LoopImage.h"
#include "fm/ref_node.h"
#include "fm/ref_places.h"
#include "fm_child.h"

namespace fs = std::filesystem;
namespace fm = vantrel::fm;
using fmtest::check;

namespace {

// Points the user's state directory at `dir` while it lives (closing what
// the process had open of the other one), then back.
class StateDir {
  public:
    StateDir(const fs::path& dir, FSVolumeRefNum vref) : vref_(vref) {
        if (const char* old = std::getenv("XDG_STATE_HOME")) old_ = old;
        ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
        fm::forget_table(vref_);
    }
    ~StateDir() {
        if (old_.empty()) {
            ::unsetenv("XDG_STATE_HOME");
        } else {
            ::setenv("XDG_STATE_HOME", old_.c_str(), 1);
        }
        fm::forget_table(vref_);
    }
    StateDir(const StateDir&) = delete;
    StateDir& operator=(const StateDir&) = delete;

  private:
    FSVolumeRefNum vref_;
    std::string old_;
};

struct Twins {
    const char* what;
    std::uint64_t ino[2];
    std::uint64_t sub[2];  // as statx names the subvolume (0: it names none)
    bool otherDevices;     // each on a device that is not the volume's own
};

// Pairs of objects that one node ID named before the table.
const Twins kTwins[] = {
    // The two files of an overlay with xino that a 31-bit hash of the
    // inode number gave one ID.
    {"overlayfs xino, numbers 2^63+25744 and 2^63+66511",
     {(std::uint64_t(1) << 63) + 25744, (std::uint64_t(1) << 63) + 66511},
     {0, 0},
     false},
    {"btrfs, inode 257 in subvolumes 256 and 257 of one mount", {257, 257}, {256, 257}, true},
    {"a kernel naming no subvolume, inode 257 on two devices of one mount",
     {257, 257},
     {0, 0},
     true},
    {"tmpfs, numbers below 16", {3, 5}, {0, 0}, false},  // (2 is this volume's root)
};

std::uint64_t dev_of(const fm::Node& vol, const Twins& c, int i) {
    return c.otherDevices ? std::uint64_t(makedev(0, 4000 + i)) : std::uint64_t(vol.dev());
}

}  // namespace

// Each test's scratch folder, and the Node of it: the tests give its volume
// IDs, and point the state directory (where the volume's table is) into it.
class IdTable : public ::testing::Test {
  protected:
    void SetUp() override {
        FSRef ref = vtest::ref_of(t.path());
        ASSERT_EQ(fm::resolve(&ref, &dir), noErr);
    }
    vtest::TempDir t;
    fm::Node dir;
};

TEST_F(IdTable, ObjectsThatSharedAnIdGetTheirOwnInEveryProcess) {
    const StateDir state(t.path() / "state", dir.vref);
    std::vector<std::pair<UInt32, UInt32>> ids;
    for (const Twins& c : kTwins) {
        SCOPED_TRACE(c.what);
        UInt32 id[2];
        for (int i = 0; i < 2; ++i) {
            id[i] = fm::node_id_for(dir.vref, dev_t(dev_of(dir, c, i)), c.ino[i], c.sub[i]);
            EXPECT_GE(id[i], 0x80000000u) << "from the table's range";
            fm::TableKey k;
            ASSERT_TRUE(fm::table_key(dir.vref, id[i], &k)) << "the table does not have " << id[i];
            EXPECT_EQ(k.ino, c.ino[i]);
            EXPECT_EQ(k.sub, c.sub[i] != 0    ? c.sub[i]
                             : c.otherDevices ? (std::uint64_t(1) << 63) | dev_of(dir, c, i)
                                              : 0);
        }
        EXPECT_NE(id[0], id[1]) << "two objects, one ID";
        ids.emplace_back(id[0], id[1]);
    }
    EXPECT_EQ(fm::table_file(dir.vref).rfind((t.path() / "state/vantrel/ids/").string(), 0), 0u)
        << fm::table_file(dir.vref);
    EXPECT_EQ(fm::table_sizes().ids, 0u) << "no ID came from the last resort";
    // Another process (with nothing of this one's in memory) gives each the
    // same ID.
    auto other = fmtest::run_child(fmtest::Child::Plain, [&]() -> std::string {
        fm::forget_table_cache();
        std::string msg;
        for (std::size_t n = 0; n < std::size(kTwins); ++n) {
            const Twins& c = kTwins[n];
            for (int i = 0; i < 2; ++i) {
                const UInt32 want = i == 0 ? ids[n].first : ids[n].second;
                const UInt32 got =
                    fm::node_id_for(dir.vref, dev_t(dev_of(dir, c, i)), c.ino[i], c.sub[i]);
                msg += check(got == want, std::string(c.what) + ": " + std::to_string(got) +
                                              " in another process, " + std::to_string(want) +
                                              " here");
            }
        }
        return msg;
    });
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(*other, "");
}

// A state directory that cannot be made (a file stands in its way): IDs are
// the process's own, still one per object, and standard error says why, once.
TEST_F(IdTable, WithoutATableIdsAreStillDistinctInTheProcess) {
    vtest::write_file(t.path() / "state", "a file, not a folder");
    const StateDir state(t.path() / "state", dir.vref);
    testing::internal::CaptureStderr();
    UInt32 id[2][2];
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 2; ++i)
            id[round][i] = fm::node_id_for(dir.vref, dir.dev(), kTwins[0].ino[i], 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(id[0][0], id[0][1]) << "two objects, one ID";
    EXPECT_EQ(id[0][0], id[1][0]);
    EXPECT_EQ(id[0][1], id[1][1]);
    EXPECT_EQ(fm::table_file(dir.vref), "");
    EXPECT_NE(err.find("hold in this process only"), std::string::npos) << err;
    EXPECT_EQ(err.find("hold in this process only"), err.rfind("hold in this process only"))
        << "said more than once: " << err;
}

// Two processes meeting the same new objects at once, in opposite orders
// (among them the twins a hash of the inode number gave one ID): each
// object gets one ID in both, and no two objects get one.
TEST_F(IdTable, TwoProcessesAtOnceAgreeOnEveryId) {
    const StateDir state(t.path() / "state", dir.vref);
    constexpr int kObjects = 600;
    const std::uint64_t first = std::uint64_t(1) << 62;
    // Both children are forked from this thread before either starts, and
    // start together at a gate: forking from two threads at once can copy
    // another thread's held allocator lock into a child, which then hangs.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    auto start = [&](bool backwards, int* outFd) -> pid_t {
        int fds[2];
        if (::pipe(fds) != 0) return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            ::close(gate[1]);
            char c;
            (void)::read(gate[0], &c, 1);  // returns 0 when the gate opens
            std::string out;
            for (int k = 0; k < kObjects; ++k) {
                const int n = backwards ? kObjects - 1 - k : k;
                const std::uint64_t ino = n < 2 ? kTwins[0].ino[n] : first + n;
                out += std::to_string(n) + " " +
                       std::to_string(fm::node_id_for(dir.vref, dir.dev(), ino, 0)) + "\n";
            }
            const bool ok = ::write(fds[1], out.data(), out.size()) == ssize_t(out.size());
            ::_exit(ok ? 0 : 1);
        }
        ::close(fds[1]);
        *outFd = fds[0];
        return pid;
    };
    int fa = -1, fb = -1;
    const pid_t pa = start(false, &fa);
    const pid_t pb = start(true, &fb);
    ::close(gate[0]);
    ::close(gate[1]);
    ASSERT_GT(pa, 0);
    ASSERT_GT(pb, 0);
    auto collect = [](pid_t pid, int fd) -> std::optional<std::string> {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, std::size_t(n));
        ::close(fd);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
        return out;
    };
    const std::optional<std::string> a = collect(pa, fa);
    const std::optional<std::string> b = collect(pb, fb);
    ASSERT_TRUE(a && b);
    std::map<int, UInt32> ids[2];
    for (int p = 0; p < 2; ++p) {
        std::istringstream in(p == 0 ? *a : *b);
        int n;
        UInt32 id;
        while (in >> n >> id) ids[p][n] = id;
        ASSERT_EQ(ids[p].size(), std::size_t(kObjects)) << (p == 0 ? *a : *b);
    }
    std::set<UInt32> distinct;
    for (const auto& [n, id] : ids[0]) {
        EXPECT_EQ(id, ids[1][n]) << "object " << n << " has two IDs";
        distinct.insert(id);
    }
    EXPECT_EQ(distinct.size(), std::size_t(kObjects)) << "two objects share an ID";
}

// Another process holds the table's write lock and is stopped (SIGSTOP, a
// debugger): a listing of 1,000 new objects waits once, not once per
// object, says so once, and gives IDs from the range the table never hands
// out; what the table had is still found, and every object keeps its ID.
TEST_F(IdTable, AStoppedHolderOfTheLockCostsOneWait) {
    const StateDir state(t.path() / "state", dir.vref);
    const std::uint64_t first = std::uint64_t(1) << 62;
    const UInt32 known = fm::node_id_for(dir.vref, dir.dev(), first, 0);
    const std::string file = fm::table_file(dir.vref);
    ASSERT_NE(file, "");
    ASSERT_LT(known, fm::kFirstFallbackID);
    // The holder opens the table with no connection of this process's open
    // (SQLite's locks do not cross a fork).
    fm::forget_table(dir.vref);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        sqlite3* db = nullptr;
        const bool ok =
            sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        (void)::write(ready[1], ok ? "y" : "n", 1);
        ::raise(SIGSTOP);
        ::_exit(0);
    }
    ASSERT_GT(holder, 0);
    ::close(ready[1]);
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    ::close(ready[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, WUNTRACED), holder);
    const bool holds = got == 'y' && WIFSTOPPED(status);

    testing::internal::CaptureStderr();
    constexpr int kObjects = 1000;
    std::vector<UInt32> ids;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 2; ++round)
        for (int k = 1; k <= kObjects; ++k)
            ids.push_back(fm::node_id_for(dir.vref, dir.dev(), first + std::uint64_t(k), 0));
    const UInt32 knownAgain = fm::node_id_for(dir.vref, dir.dev(), first, 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string err = testing::internal::GetCapturedStderr();
    ::kill(holder, SIGKILL);
    ::waitpid(holder, &status, 0);
    ASSERT_TRUE(holds) << "the other process could not take the table's lock";

    // Before: every new object waited the full busy timeout (10 s), hours
    // for the listing. One wait is two seconds.
    EXPECT_LT(seconds, 30.0) << "waited for the stopped holder more than once";
    EXPECT_EQ(knownAgain, known) << "what the table had is still found";
    std::set<UInt32> distinct;
    for (int k = 0; k < kObjects; ++k) {
        EXPECT_GE(ids[std::size_t(k)], fm::kFirstFallbackID) << "object " << k;
        EXPECT_EQ(ids[std::size_t(k)], ids[std::size_t(k + kObjects)]) << "object " << k;
        distinct.insert(ids[std::size_t(k)]);
    }
    EXPECT_EQ(distinct.size(), std::size_t(kObjects)) << "two objects share an ID";
    const std::string says = "hold in this process only";
    EXPECT_NE(err.find(says), std::string::npos) << err;
    EXPECT_EQ(err.find(says), err.rfind(says)) << "said more than once: " << err;
    // Once the holder is gone, a new process hands out IDs from the table
    // again, never one of the range this process made its own from.
    auto other = fmtest::run_child(fmtest::Child::Plain, [&]() -> std::string {
        fm::forget_table(dir.vref);
        const UInt32 id = fm::node_id_for(dir.vref, dir.dev(), first + 2 * kObjects, 0);
        return check(id >= fm::kFirstTableID && id <= fm::kLastTableID,
                     "a new process got " + std::to_string(id));
    });
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(*other, "");
}

namespace {

// Ways a table's file is found spoilt: a disk's bad sector, a copy cut
// short, another program writing over it.
struct Spoilt {
    const char* what;
    std::uint64_t from;    // the first byte written over
    std::uint64_t length;  // how many (0: to the end)
    bool keepsLargest;     // SQLite can still tell the largest ID it gave
};
const Spoilt kSpoilt[] = {
    {"not a database at all", 0, 0, false},
    {"its pages after the first written over", 4096, 0, false},
    {"one page in the middle written over", 3 * 4096, 4096, true},
};

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// A damaged table is moved aside under a dated name, kept, and a fresh one
// started, once, saying so; before, the volume used no table for the rest
// of every process.
TEST_F(IdTable, ADamagedTableIsKeptAsideAndAFreshOneStarted) {
    for (const Spoilt& c : kSpoilt) {
        SCOPED_TRACE(c.what);
        // A state directory of its own: a table of its own.
        const StateDir state(t.path() / ("state" + std::to_string(&c - kSpoilt)), dir.vref);
        // Objects no other row has met (the process remembers IDs it made).
        const std::uint64_t first = (std::uint64_t(1) << 62) + 100000 * std::uint64_t(&c - kSpoilt);
        const std::size_t fallbacks = fm::table_sizes().ids;
        constexpr int kOld = 2000;
        std::vector<UInt32> old;
        for (int k = 0; k < kOld; ++k)
            old.push_back(fm::node_id_for(dir.vref, dir.dev(), first + std::uint64_t(k), 0));
        const UInt32 largest = *std::max_element(old.begin(), old.end());
        const fs::path file = fm::table_file(dir.vref);
        ASSERT_FALSE(file.empty());
        fm::forget_table(dir.vref);  // closed: the journal is folded into the file
        fm::forget_table_cache();
        ASSERT_GT(fs::file_size(file), c.from + 4096) << "a table of more than two pages";
        {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(std::streamoff(c.from));
            const std::string junk(
                std::size_t(c.length != 0 ? c.length : fs::file_size(file) - c.from), '\x5a');
            f.write(junk.data(), std::streamsize(junk.size()));
        }
        const std::string spoilt = read_all(file);
        testing::internal::CaptureStderr();
        // Listing what the table had (the other way round, so that a fresh
        // table numbering from the start could not give each its old ID),
        // then something new.
        std::vector<UInt32> relisted(kOld);
        for (int k = kOld - 1; k >= 0; --k)
            relisted[std::size_t(k)] =
                fm::node_id_for(dir.vref, dir.dev(), first + std::uint64_t(k), 0);
        const UInt32 id = fm::node_id_for(dir.vref, dir.dev(), first + 5000, 0);
        const UInt32 again = fm::node_id_for(dir.vref, dir.dev(), first + 5001, 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_GE(id, fm::kFirstTableID) << err;
        EXPECT_LE(id, fm::kLastTableID) << "an ID from a fresh table";
        EXPECT_NE(id, again);
        EXPECT_EQ(fm::table_sizes().ids, fallbacks) << "no object got an ID of the process's own";
        fm::TableKey k;
        EXPECT_TRUE(fm::table_key(dir.vref, id, &k)) << "the fresh table has it";
        EXPECT_EQ(k.ino, first + 5000);
        if (c.keepsLargest) {
            // No ID the damaged table gave is handed out again.
            EXPECT_GT(id, largest);
            EXPECT_GT(again, largest);
            for (int k = 0; k < kOld; ++k) {
                const UInt32 now = relisted[std::size_t(k)];
                EXPECT_TRUE(now == old[std::size_t(k)] || now > largest)
                    << "object " << k << " got " << now;
            }
        }
        EXPECT_EQ(fm::table_file(dir.vref), file.string()) << "in the table's own place";
        std::vector<fs::path> kept;
        for (const auto& e : fs::directory_iterator(file.parent_path()))
            if (e.path().filename().string().starts_with(file.filename().string() + ".damaged-") &&
                !e.path().string().ends_with("-wal"))
                kept.push_back(e.path());
        ASSERT_EQ(kept.size(), 1u) << "the damaged table, kept under a dated name: " << err;
        EXPECT_EQ(read_all(kept[0]), spoilt) << "kept as it was";
        const std::string says = "was damaged: kept as " + kept[0].string();
        EXPECT_NE(err.find(says), std::string::npos) << err;
        EXPECT_EQ(err.find("was damaged"), err.rfind("was damaged")) << "said twice: " << err;
    }
}

// A process that ends through exit() closes its tables: the last
// connection folds the journal into the table, and no -wal or -shm file
// stays beside it (before, every table in use kept both).
TEST_F(IdTable, AProcessThatEndsClosesItsTables) {
    const StateDir state(t.path() / "state", dir.vref);
    const std::uint64_t ino = (std::uint64_t(1) << 61) + 7;  // met by no other test
    const UInt32 id = fm::node_id_for(dir.vref, dir.dev(), ino, 0);
    const fs::path file = fm::table_file(dir.vref);
    ASSERT_FALSE(file.empty());
    fm::forget_table(dir.vref);  // the child's is then the only connection
    ASSERT_FALSE(fs::exists(file.string() + "-wal"));
    const pid_t pid = ::fork();
    if (pid == 0) {
        fm::forget_table_cache();
        const bool same = fm::node_id_for(dir.vref, dir.dev(), ino, 0) == id;
        const bool more = fm::node_id_for(dir.vref, dir.dev(), ino + 1, 0) != 0;
        const bool open = fs::exists(file.string() + "-wal");
        std::exit(same && more && open ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child did not use the table in WAL mode";
    EXPECT_FALSE(fs::exists(file.string() + "-wal"));
    EXPECT_FALSE(fs::exists(file.string() + "-shm"));
}

// The objects of a listing that are new to the table get their IDs in one
// write transaction, and those it has already are read in one query: the
// journal grows by a few pages for the whole listing, where an insert per
// object wrote a commit each (a 100,000-item walk cost seconds). The IDs
// are the table's as one by one: known ones kept, new ones unique and found
// again by another process; an entry not to be added gets no row.
TEST_F(IdTable, AListingsNewObjectsGetTheirIdsInOneTransaction) {
    const StateDir state(t.path() / "state", dir.vref);
    const std::uint64_t base = (std::uint64_t(1) << 40) + 11;  // met by no other test
    constexpr int kItems = 200;
    auto ino_of = [&](int i) { return base + std::uint64_t(i) * 7; };
    std::map<std::uint64_t, UInt32> known;  // given IDs one by one, before the listing
    for (int i : {0, 57, 199})
        known[ino_of(i)] = fm::node_id_for(dir.vref, dir.dev(), ino_of(i), 0);
    const fs::path file = fm::table_file(dir.vref);
    ASSERT_FALSE(file.empty());
    const fs::path wal = file.string() + "-wal";
    const auto walBefore = fs::exists(wal) ? fs::file_size(wal) : 0;
    fm::forget_table_cache();  // the known ones are read from the table
    std::vector<fm::ListedIno> listed;
    for (int i = 0; i < kItems; ++i) listed.push_back(fm::ListedIno{ino_of(i), true});
    const std::uint64_t notAdded = base + 3;  // inside the span, not one of the items
    listed.push_back(fm::ListedIno{notAdded, false});
    fm::prefetch_listed_ids(dir.vref, dir.dev(), 0, listed);
    std::set<UInt32> ids;
    std::map<std::uint64_t, UInt32> got;
    for (int i = 0; i < kItems; ++i) {
        const UInt32 id = fm::node_id_for(dir.vref, dir.dev(), ino_of(i), 0);
        EXPECT_GE(id, 0x80000000u) << "item " << i << " not from the table's range";
        EXPECT_LT(id, 0xC0000000u) << "item " << i << " not from the table's range";
        ids.insert(id);
        got[ino_of(i)] = id;
        if (auto k = known.find(ino_of(i)); k != known.end()) {
            EXPECT_EQ(id, k->second) << "item " << i << " changed its ID";
        }
    }
    EXPECT_EQ(ids.size(), std::size_t(kItems)) << "two items, one ID";
    // Frames of the journal written by the listing and the look-ups after
    // it (a page and its header each; one by one it was some 3 per item).
    const auto walAfter = fs::exists(wal) ? fs::file_size(wal) : 0;
    const auto frames = walAfter > walBefore ? (walAfter - walBefore) / (4096 + 24) : 0;
    EXPECT_LT(frames, 20u) << "the listing's new IDs took " << frames << " journal pages";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM ids WHERE ino=?1", -1, &st, nullptr),
              SQLITE_OK);
    sqlite3_bind_int64(st, 1, sqlite3_int64(notAdded));
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 0) << "an entry not to be added got a row";
    sqlite3_finalize(st);
    sqlite3_close_v2(db);
    auto other = fmtest::run_child(fmtest::Child::Plain, [&]() -> std::string {
        fm::forget_table_cache();
        std::string msg;
        for (const auto& [ino, id] : got) {
            const UInt32 there = fm::node_id_for(dir.vref, dir.dev(), ino, 0);
            msg +=
                check(there == id, "inode " + std::to_string(ino) + ": " + std::to_string(there) +
                                       " in another process, " + std::to_string(id) + " here");
        }
        return msg;
    });
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(*other, "");
}

namespace {

std::string this_boot() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    std::erase(id, '-');
    return id;
}

struct LeftTable {
    const char* what;
    std::string name;
    bool stays;
};

}  // namespace

// A file system in memory (tmpfs, ramfs) gets a new fsid at every mount
// and is gone at the next boot: its table is named for the boot (below),
// and the tables named for another boot are removed when a process first
// opens one. Before, every tmpfs ever mounted left a table for good (the
// suite left 163).
TEST_F(IdTable, TablesOfFileSystemsGoneWithTheBootAreRemoved) {
    const std::string boot = this_boot();
    ASSERT_EQ(boot.size(), 32u);
    const std::string other(32, 'e');
    const LeftTable tables[] = {
        {"a tmpfs of another boot", "tmpfs-0123456789abcdef-" + other + ".sqlite", false},
        {"its journal", "tmpfs-0123456789abcdef-" + other + ".sqlite-wal", false},
        {"its index", "tmpfs-0123456789abcdef-" + other + ".sqlite-shm", false},
        {"a file system without an fsid, another boot", "ext4-dev7.1-" + other + ".sqlite", false},
        {"a tmpfs of this boot", "tmpfs-0123456789abcdef-" + boot + ".sqlite", true},
        {"a disk's", "ext4-0123456789abcdef.sqlite", true},
        {"a damaged table kept for the user",
         "tmpfs-0123456789abcdef-" + other + ".sqlite.damaged-20260101T000000Z", true},
        {"not a table", "notes-" + other + ".txt", true},
    };
    const fs::path ids = t.path() / "state/vantrel/ids";
    fs::create_directories(ids);
    for (const LeftTable& c : tables) vtest::write_file(ids / c.name, "");
    const StateDir state(t.path() / "state", dir.vref);
    (void)fm::node_id_for(dir.vref, dir.dev(), (std::uint64_t(1) << 60) + 1, 0);
    for (const LeftTable& c : tables)
        EXPECT_EQ(fs::exists(ids / c.name), c.stays) << c.what << ": " << c.name;
}

// A tmpfs's own table is named for this boot.
TEST_F(IdTable, ATmpfsTableIsNamedForTheBoot) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    const std::string boot = this_boot();
    const fs::path m = t.path() / "m";
    fs::create_directory(m);
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-tmpfs", m.c_str(), "tmpfs", 0, "size=1m") != 0) return "SKIP";
        vtest::write_file(m / "f", "");  // an inode number below 16: the table's
        FSRef ref = vtest::ref_of(m / "f");
        fm::Node n;
        if (fm::resolve(&ref, &n) != noErr) return "cannot resolve the tmpfs's file";
        const std::string file = fm::table_file(n.vref);
        return check(file.ends_with("-" + boot + ".sqlite"), "the tmpfs's table is " + file);
    });
    if (!result) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
    EXPECT_EQ(*result, "");
}

namespace {

// The standard output of `cmd` (sh), its last newline dropped.
std::string output_of(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
        ::pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// Writes the table an earlier version kept for the file system mounted at
// `m`, named by its fsid, into the state directory `state`, holding `ids`
// for `inos` (subvolume 0), its path in `file`. "" when written, else why
// not.
std::string plant_fsid_table(const fs::path& m, const fs::path& state, const std::uint64_t* inos,
                             const UInt32* ids, int count, fs::path* file) {
    struct statfs sf {};
    if (::statfs(m.c_str(), &sf) != 0) return "cannot statfs the mount\n";
    std::uint64_t fsid = 0;
    std::memcpy(&fsid, &sf.f_fsid, sizeof fsid);
    char name[64];
    std::snprintf(name, sizeof name, "xfs-%016llx.sqlite", static_cast<unsigned long long>(fsid));
    const fs::path dir = state / "vantrel/ids";
    fs::create_directories(dir);
    sqlite3* db = nullptr;
    std::string sql =
        "CREATE TABLE ids(id INTEGER PRIMARY KEY, sub INTEGER NOT NULL, ino INTEGER NOT NULL, "
        "UNIQUE(sub, ino));";
    for (int i = 0; i < count; ++i)
        sql += "INSERT INTO ids VALUES(" + std::to_string(ids[i]) + ", 0, " +
               std::to_string(inos[i]) + ");";
    *file = dir / name;
    const bool ok = sqlite3_open(file->c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok ? "" : "cannot write " + file->string() + "\n";
}

}  // namespace

// A file system that comes back on another device (an image on another
// loop device, a disk on another controller) keeps its objects' IDs: its
// table is named by its UUID. XFS's fsid is its device, so before, each
// device gave it a fresh table and its objects new IDs. The table an
// earlier version kept under the fsid's name is taken over, its IDs with it.
TEST_F(IdTable, AFileSystemOnAnotherDeviceKeepsItsIds) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    const fs::path m = t.path() / "m", image = t.path() / "xfs.img";
    fs::create_directory(m);
    const std::uint64_t inos[] = {(std::uint64_t(1) << 40) + 1, (std::uint64_t(1) << 40) + 2,
                                  (std::uint64_t(1) << 40) + 3};
    // What the fsid-named table held: not what a fresh table hands out.
    static constexpr UInt32 kEarlier[] = {0x80000011u, 0x80000007u, 0x8000002Au};
    // One mount's look-ups, in a process of its own (which lets go of the
    // file system when it ends: XFS mounts no second copy of itself):
    // "device table ID ID ID", in another order the second time, where
    // fresh tables would differ.
    auto look_up = [&](int round) -> std::string {
        auto r = fmtest::run_child(fmtest::Child::Plain, [&]() -> std::string {
            ::setenv("XDG_STATE_HOME", (t.path() / "state").c_str(), 1);
            FSRef ref = vtest::ref_of(m / "f");
            fm::Node n;
            if (fm::resolve(&ref, &n) != noErr) return "cannot resolve the file";
            UInt32 ids[3];
            for (int i = 0; i < 3; ++i) {
                const int at = round == 0 ? i : 2 - i;
                ids[at] = fm::node_id_for(n.vref, n.dev(), inos[at], 0);
            }
            std::ostringstream out;
            out << n.dev() << " " << fm::table_file(n.vref) << " " << ids[0] << " " << ids[1] << " "
                << ids[2];
            return out.str();
        });
        return r ? *r : "the look-up's process failed";
    };
    auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
        if (!vtest::run_quietly("command -v mkfs.xfs")) return "SKIP:mkfs.xfs is not installed";
        if (!vtest::run_quietly("truncate -s 320M " + vtest::quoted(image) + " && mkfs.xfs -q -f " +
                                vtest::quoted(image)))
            return "SKIP:cannot make an XFS image";
        std::string loops[2], seen[2], msg;
        fs::path planted;
        for (int round = 0; round < 2 && msg.empty(); ++round) {
            // The first device stays attached: the second mount gets another.
            loops[round] = output_of("losetup -f --show " + vtest::quoted(image));
            if (loops[round].empty()) {
                msg = "SKIP:cannot attach a loop device";
                break;
            }
            if (!vtest::run_quietly("mount -t xfs " + loops[round] + " " + vtest::quoted(m))) {
                msg = "SKIP:the kernel would not mount XFS from " + loops[round];
                break;
            }
            if (round == 0) {
                vtest::write_file(m / "f", "");
                msg = plant_fsid_table(m, t.path() / "state", inos, kEarlier, 3, &planted);
                if (!msg.empty()) break;
            }
            seen[round] = look_up(round);
            if (::umount(m.c_str()) != 0) msg = "cannot unmount " + loops[round];
        }
        for (const std::string& l : loops)
            if (!l.empty()) vtest::run_quietly("losetup -d " + l);
        if (!msg.empty()) return msg;
        std::istringstream a(seen[0]), b(seen[1]);
        std::string devA, devB, fileA, fileB;
        a >> devA >> fileA;
        b >> devB >> fileB;
        msg += check(devA != devB, "both mounts on one device: " + seen[0] + " / " + seen[1]);
        msg += check(fileA == fileB && !fileA.empty(), "two tables: " + fileA + " and " + fileB);
        for (int i = 0; i < 3; ++i) {
            UInt32 idA = 0, idB = 0;
            a >> idA;
            b >> idB;
            msg += check(idA == idB && idA == kEarlier[i],
                         "inode " + std::to_string(inos[i]) + ": " + std::to_string(idA) + " on " +
                             loops[0] + ", " + std::to_string(idB) + " on " + loops[1] +
                             ", the fsid's table had " + std::to_string(kEarlier[i]));
        }
        msg += check(
            !fs::exists(planted) && fileA != planted.string(),
            "the fsid's table " + planted.string() + " is still there, the table is " + fileA);
        return msg;
    });
    if (!result) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    if (result->rfind("SKIP:", 0) == 0) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ(*result, "");
}

// The table is there but cannot take another row: the disk under the state
// directory is full, or the state directory is mounted read-only. New
// objects get IDs of the process's own, from the range the table never
// hands out, and standard error says so once (before, nothing was said).
TEST_F(IdTable, WhenTheTableCannotGrowItIsSaidOnce) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    struct Case {
        const char* what;
        bool readOnly;  // else full
    };
    const Case cases[] = {{"a full disk", false}, {"a read-only state directory", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A folder of its own, resolved afresh in the child.
        vtest::TempDir scratch;
        const fs::path st = scratch.path() / "state";
        fs::create_directory(st);
        auto result = fmtest::run_child(fmtest::Child::PrivateMounts, [&]() -> std::string {
            FSRef dirRef = vtest::ref_of(scratch.path());
            fm::Node dir;
            if (fm::resolve(&dirRef, &dir) != noErr) return "cannot resolve the folder";
            if (::mount("vt-state", st.c_str(), "tmpfs", 0, "size=256k") != 0) return "SKIP";
            ::setenv("XDG_STATE_HOME", st.c_str(), 1);
            fm::forget_table(dir.vref);
            const std::uint64_t first = (std::uint64_t(1) << 59) + 1;
            std::string msg =
                check(fm::node_id_for(dir.vref, dir.dev(), first, 0) < fm::kFirstFallbackID,
                      "the table could not be made");
            if (c.readOnly) {
                fm::forget_table(dir.vref);  // opened again, read-only
                if (::mount(st.c_str(), st.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                    ::mount(nullptr, st.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                            nullptr) != 0)
                    return "SKIP";
            } else {
                // Filled with the table open: its inserts fail.
                std::ofstream fill(st / "fill", std::ios::binary);
                const std::string block(4096, 'x');
                while (fill.write(block.data(), std::streamsize(block.size())) && fill.flush()) {
                }
            }
            testing::internal::CaptureStderr();
            std::set<UInt32> ids;
            bool ownRange = true;
            for (std::uint64_t k = 1; k <= 200; ++k) {
                const UInt32 id = fm::node_id_for(dir.vref, dir.dev(), first + k, 0);
                ids.insert(id);
                ownRange = ownRange && id >= fm::kFirstFallbackID;
            }
            const std::string err = testing::internal::GetCapturedStderr();
            msg += check(ids.size() == 200, "two objects share an ID");
            msg += check(ownRange, "an ID from the table's range");
            const std::string says = "hold in this process only";
            msg += check(err.find(says) != std::string::npos, "nothing said: " + err);
            msg += check(err.find(says) == err.rfind(says), "said more than once: " + err);
            return msg;
        });
        ASSERT_TRUE(result.has_value()) << vtest::kNeedsPrivateMounts;
        if (*result == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs";
        EXPECT_EQ(*result, "");
    }
}
