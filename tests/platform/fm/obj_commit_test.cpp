// The locks of changes to more than one object, and what anything that would
// remove a "._" entry is told about another operation's work in progress
// (white-box: the library's own objects).
#include "fm/obj_commit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "Child.h"
#include "FSTestSupport.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "fm/fork_sidecar.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

namespace commit = vantrel::fm::commit;
namespace rsrc = vantrel::fm::rsrc;

namespace {

// A process that holds a lock in `dir` until told to go (or killed).
class Holder {
  public:
    enum class What { FolderLock, Temporary };
    Holder(const std::string& dir, What what, const std::string& temp = {}) {
        int ready[2], go[2];
        if (::pipe(ready) != 0 || ::pipe(go) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
            commit::FolderLock lock;
            int t = -1;
            if (what == What::FolderLock) {
                if (lock.take(d) != noErr || !lock.held()) ::_exit(3);
            } else {
                t = ::openat(d, temp.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
                if (t < 0) ::_exit(4);
                commit::hold_temporary(t);
            }
            char c = 1;
            if (::write(ready[1], &c, 1) != 1) ::_exit(5);
            (void)::read(go[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(go[0]);
        go_ = go[1];
        char c = 0;
        ok_ = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~Holder() { finish(); }
    bool ok() const { return ok_; }
    void kill() {
        ::kill(pid_, SIGKILL);
        finish();
    }
    void finish() {
        if (pid_ <= 0) return;
        ::close(go_);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int go_ = -1;
    bool ok_ = false;
};

struct Case {
    const char* what;
    const char* entry;   // asked about
    Holder::What holds;  // what another process holds meanwhile
    bool killed;         // that process is killed before the question
    bool expectInProgress;
};

TEST(Commit, AnotherOperationsWorkInProgressIsToldFromALeftover) {
    const std::string temp = std::string(rsrc::kTemporaryPrefix) + "1.0123456789abcdef.1";
    const Case cases[] = {
        {"a sidecar while another process holds the folder", "._X", Holder::What::FolderLock, false,
         true},
        {"a sidecar after the holder of the folder was killed", "._X", Holder::What::FolderLock,
         true, false},
        {"a temporary its maker holds", temp.c_str(), Holder::What::Temporary, false, true},
        {"a temporary whose maker was killed", temp.c_str(), Holder::What::Temporary, true, false},
        {"a temporary whose maker holds only the folder", temp.c_str(), Holder::What::FolderLock,
         false, false},
        {"an ordinary name while the folder is held", "X", Holder::What::FolderLock, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtest::TempDir t;
        vtest::write_file(t.path() / "._X", "sidecar");
        if (c.holds == Holder::What::FolderLock) vtest::write_file(t.path() / temp, "t");
        const int dir = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dir, 0);
        EXPECT_FALSE(commit::in_progress(dir, c.entry)) << "before anyone holds anything";
        {
            Holder h(t.path(), c.holds, temp);
            ASSERT_TRUE(h.ok());
            if (c.killed) h.kill();
            EXPECT_EQ(commit::in_progress(dir, c.entry), c.expectInProgress);
        }
        EXPECT_FALSE(commit::in_progress(dir, c.entry)) << "after the holder let go";
        ::close(dir);
    }
}

TEST(Commit, FolderLockSerialisesThreadsAndIsReentrantInOne) {
    vtest::TempDir t;
    const int dir = ::open(t.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    commit::FolderLock outer;
    ASSERT_EQ(outer.take(dir), noErr);
    ASSERT_TRUE(outer.held());
    {
        // The same thread again (a change calling another): no wait on itself.
        commit::FolderLock inner;
        ASSERT_EQ(inner.take(dir, dir), noErr);
        EXPECT_FALSE(commit::in_progress(dir, "._X")) << "this thread's own work";
    }
    // Another thread waits while this one holds the folder.
    std::atomic<bool> got{false};
    std::thread other([&] {
        EXPECT_TRUE(commit::in_progress(dir, "._X"));
        commit::FolderLock l;
        EXPECT_FALSE(l.try_take(dir));
        EXPECT_EQ(l.take(dir), noErr);
        got = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(got.load()) << "took the lock while another thread held it";
    outer.release();
    other.join();
    EXPECT_TRUE(got.load());
    ::close(dir);
}

TEST(Commit, TwoFoldersAreTakenInOneOrderWhicheverWayRoundTheyAreAsked) {
    vtest::TempDir t;
    std::filesystem::create_directory(t.path() / "a");
    std::filesystem::create_directory(t.path() / "b");
    const int a = ::open((t.path() / "a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int b = ::open((t.path() / "b").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // Two threads asking in opposite orders, many times: a deadlock would
    // leave the future unready.
    auto mover = [&](int x, int y) {
        for (int i = 0; i < 300; ++i) {
            commit::FolderLock l;
            if (l.take(x, y) != noErr) return false;
        }
        return true;
    };
    auto one = std::async(std::launch::async, mover, a, b);
    auto two = std::async(std::launch::async, mover, b, a);
    ASSERT_EQ(one.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(two.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(one.get());
    EXPECT_TRUE(two.get());
    ::close(a);
    ::close(b);
}

TEST(Commit, PrivateNamesAreHiddenAndNeverRepeat) {
    std::set<std::string> seen;
    std::set<std::string> randoms;  // the part between the PID and the count
    for (int i = 0; i < 1000; ++i) {
        const std::string n = commit::private_name();
        EXPECT_TRUE(rsrc::is_temporary_name(n)) << n;
        EXPECT_TRUE(rsrc::is_sidecar_name(n)) << n;  // never listed, never an item's name
        EXPECT_LE(n.size(), 255u);
        EXPECT_TRUE(seen.insert(n).second) << n;
        const std::size_t last = n.rfind('.');
        const std::size_t before = n.rfind('.', last - 1);
        randoms.insert(n.substr(before + 1, last - before - 1));
    }
    // One name seen in a shared folder does not tell the next: another
    // user could otherwise make it first and fail the change.
    EXPECT_EQ(randoms.size(), seen.size());
    // A child has the same count as its parent at the fork and, in another
    // PID namespace, maybe the same PID: the random part still parts them.
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string n = commit::private_name();
        (void)!::write(p[1], n.data(), n.size());
        ::_exit(0);
    }
    ::close(p[1]);
    char buf[256];
    const ssize_t got = ::read(p[0], buf, sizeof buf);
    ::close(p[0]);
    ::waitpid(pid, nullptr, 0);
    ASSERT_GT(got, 0);
    const std::string childs(buf, std::size_t(got));
    const std::string mine = commit::private_name();
    EXPECT_NE(childs.substr(childs.find('.', 12)), mine.substr(mine.find('.', 12)));
}

}  // namespace

// What a killed change left under a private name lasts only until the folder
// is next listed; a live change's temporary, a "._" file of the user's own
// and anything not a file under a private name stay.
TEST(Commit, AListingRemovesTheTemporariesOfDeadMakersOnly) {
    const std::string temp = std::string(rsrc::kTemporaryPrefix) + "1.0123456789abcdef.2";
    struct Row {
        const char* what;
        bool held;    // its maker lives while the folder is listed
        bool folder;  // a folder under the private name, not a file
        bool expectGone;
        std::string content = {};  // what its dead maker left in it
    };
    const Row rows[] = {
        {"a temporary whose maker was killed", false, false, true},
        {"a temporary its maker holds", true, false, false},
        {"a folder under a private name", false, true, false},
        // A journal a later build wrote is that build's to recover: never
        // dropped unread.
        {"a journal of a later format", false, false, false,
         "vantrel journal 2\nexchange\nwhatever it holds"},
        {"a catalogue journal of a later version", false, false, false,
         std::string("vantrel journal 1\nset catalog info\n\x02") + std::string(200, 'x')},
        {"a journal of a kind this build does not know", false, false, false,
         "vantrel journal 1\nsomething new\npayload"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir t;
        vtest::write_file(t.path() / "X", "data");
        vtest::write_file(t.path() / "._Y", "the user's own");
        std::optional<Holder> h;
        if (row.folder) {
            std::filesystem::create_directory(t.path() / temp);
        } else {
            h.emplace(t.path(), Holder::What::Temporary, temp);
            ASSERT_TRUE(h->ok());
            if (!row.held) h->kill();
            if (!row.content.empty()) vtest::write_file(t.path() / temp, row.content);
        }
        FSRef d = vtest::ref_of(t.path());
        FSIterator it = nullptr;
        ASSERT_EQ(FSOpenIterator(&d, kFSIterateFlat, &it), noErr);
        FSRef refs[4];
        ItemCount n = 0;
        EXPECT_EQ(FSGetCatalogInfoBulk(it, 4, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
                  errFSNoMoreItems);
        // A folder under a private name is a copy not yet whole: no item,
        // and its journal's to remove, never the listing's.
        EXPECT_EQ(n, 1u) << "X is an item, nothing under a private name is";
        FSCloseIterator(it);
        EXPECT_EQ(std::filesystem::exists(t.path() / temp), !row.expectGone);
        EXPECT_TRUE(std::filesystem::exists(t.path() / "._Y"));
        h.reset();
    }
}

// The catalogue journal's payload is written field by field, big-endian,
// with its version first: a journal another build left (another compiler's
// padding, another byte order) is read the same. Here one made by hand from
// that layout: the next listing sets what it asks for.
TEST(Commit, ACatalogueJournalInTheDocumentedLayoutIsRecoveredByTheNextListing) {
    vtest::TempDir t;
    const auto file = t.path() / "X";
    vtest::write_file(file, "data");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    auto be = [](std::string& out, std::uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
    };
    std::string j = "vantrel journal 1\nset catalog info\n";
    be(j, 1, 1);                      // the format
    be(j, st.st_ino, 8);              // the file
    be(j, kFSCatInfoFinderInfo, 4);   // what is set
    be(j, 0, 2);                      // node flags
    j.append(5 * 8, '\0');            // five dates
    j.append(4 * 4, '\0');            // permissions
    std::string finder = "ABCDwxyz";  // type and creator, as the record keeps them
    finder.resize(32, '\0');
    j += finder;
    be(j, 0, 4);  // text encoding
    j += file.string();
    vtest::write_file(t.path() / (std::string(rsrc::kTemporaryPrefix) + "1.00000000000000ab.1"), j);

    FSRef d = vtest::ref_of(t.path());
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&d, kFSIterateFlat, &it), noErr);
    ItemCount n = 0;
    FSRef refs[2];
    EXPECT_EQ(FSGetCatalogInfoBulk(it, 2, &n, nullptr, 0, nullptr, refs, nullptr, nullptr),
              errFSNoMoreItems);
    FSCloseIterator(it);
    FSRef x = vtest::ref_of(file);
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&x, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr), noErr);
    FileInfo fi;
    std::memcpy(&fi, info.finderInfo, sizeof fi);
    EXPECT_EQ(fi.fileType, OSType(0x41424344)) << "ABCD";
    EXPECT_EQ(fi.fileCreator, OSType(0x7778797A)) << "wxyz";
    for (const auto& e : std::filesystem::directory_iterator(t.path()))
        EXPECT_FALSE(rsrc::is_temporary_name(e.path().filename().string())) << e.path();
}

// A change whose step fails and whose undo then fails as well can be
// neither finished nor undone where it stands: its journal stays, and the
// next listing of the folder makes each name whole (old or new). It was
// once removed with the failed change, leaving a file cut from its fork, or
// a name with the other file's metadata, for good.
TEST(Commit, AChangeWhoseUndoFailsTooLeavesItsJournalForTheNextListing) {
    namespace vf = vantrel::fault;
    namespace fs = std::filesystem;
    struct Row {
        const char* what;
        const char* step;  // fails from its k-th call on, for k = 1, 2, ...
        const char* undo;  // fails at every call
        std::function<OSErr(const fs::path&)> run;
    };
    auto renamed = [](const fs::path& d) {
        FSRef f = vtest::ref_of(d / "a");
        const std::u16string name = vtest::u16("c");
        return FSRenameUnicode(&f, name.size(), vtest::uc(name), kTextEncodingUnknown, nullptr);
    };
    auto moved = [](const fs::path& d) {
        FSRef f = vtest::ref_of(d / "a"), to = vtest::ref_of(d / "sub");
        return FSMoveObject(&f, &to, nullptr);
    };
    auto replaced = [](const fs::path& d) {
        FSRef s = vtest::ref_of(d / "a"), t = vtest::ref_of(d / "b");
        return VantrelFSReplaceFileContents(&s, &t, nullptr);
    };
    auto exchanged = [](const fs::path& d) {
        FSRef a = vtest::ref_of(d / "a"), b = vtest::ref_of(d / "b");
        return FSExchangeObjects(&a, &b);
    };
    const Row rows[] = {
        {"a rename in one folder", "FSRenameUnicode.sidecar", "FSRenameUnicode.undo", renamed},
        {"a move to another folder", "FSMoveObject.sidecar", "FSMoveObject.undo", moved},
        {"a replacement of contents", "VantrelFSReplaceFileContents.sidecar",
         "VantrelFSReplaceFileContents.undo", replaced},
        {"an exchange", "FSExchangeObjects.sidecar", "FSExchangeObjects.undo", exchanged},
    };
    // Each data's own fork, and the type that stays with each name.
    const std::map<std::string, std::string> forkOf = {{"alpha data", "fork of a"},
                                                       {"bravo data", "fork of b"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir t;
        bool undoFailed = false;
        for (long k = 1; k < 8; ++k) {
            const fs::path d = t.path() / std::to_string(k);
            fs::create_directories(d / "sub");
            vtest::write_file(d / "a", "alpha data");
            vtest::write_file(d / "b", "bravo data");
            for (const char* n : {"a", "b"}) {
                FSRef r = vtest::ref_of(d / n);
                ASSERT_EQ(vtest::write_resource_fork(r, forkOf.at(vtest::read_file(d / n))), noErr);
                FSCatalogInfo info{};
                vtest::set_file_info(&info, n[0] == 'a' ? 'AAAA' : 'BBBB', 'vtst');
                ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoFinderInfo, &info), noErr);
            }
            vf::reset();
            vf::fail_nth(row.step, k, ioErr, true);
            vf::fail_next(row.undo, ioErr, true);
            const OSErr e = row.run(d);
            bool hitUndo = false;
            for (const vf::Injection& i : vf::injections()) hitUndo = hitUndo || i.op == row.undo;
            vf::reset();
            if (e == noErr) break;  // past the step's last call
            if (!hitUndo) continue;
            undoFailed = true;
            SCOPED_TRACE("the step failed from its call " + std::to_string(k));
            // The next listing of each folder.
            for (const fs::path& p : {d, d / "sub"}) {
                FSRef dir = vtest::ref_of(p);
                FSIterator it = nullptr;
                ASSERT_EQ(FSOpenIterator(&dir, kFSIterateFlat, &it), noErr);
                ItemCount n = 0;
                FSRef refs[8];
                (void)FSGetCatalogInfoBulk(it, 8, &n, nullptr, 0, nullptr, refs, nullptr, nullptr);
                FSCloseIterator(it);
            }
            // Every data is somewhere, each with its own fork; nothing else
            // stands under a "._" name.
            std::multiset<std::string> datas;
            for (const fs::path& p : {d, d / "sub"}) {
                for (const auto& entry : fs::directory_iterator(p)) {
                    const std::string name = entry.path().filename().string();
                    if (entry.is_directory()) continue;
                    if (name.starts_with("._")) {
                        EXPECT_TRUE(fs::exists(p / name.substr(2)))
                            << "a fork without its file: " << name;
                        continue;
                    }
                    const std::string data = vtest::read_file(entry.path());
                    datas.insert(data);
                    std::string fork;
                    FSRef r = vtest::ref_of(entry.path());
                    EXPECT_EQ(vtest::read_resource_fork(r, &fork), noErr);
                    if (forkOf.count(data) != 0) {
                        EXPECT_EQ(fork, forkOf.at(data)) << name;
                    }
                    // What belongs to a name stays with it (the exchange).
                    if (std::string(row.step).starts_with("FSExchange")) {
                        FSCatalogInfo info{};
                        ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoFinderInfo, &info, nullptr,
                                                   nullptr, nullptr),
                                  noErr);
                        FileInfo fi;
                        std::memcpy(&fi, info.finderInfo, sizeof fi);
                        EXPECT_EQ(fi.fileType, OSType(name == "a" ? 'AAAA' : 'BBBB')) << name;
                    }
                }
            }
            if (std::string(row.step).starts_with("VantrelFSReplace")) {
                // The source stays; the target holds its old data or the source's.
                EXPECT_EQ(datas.size(), 2u);
                EXPECT_GE(datas.count("alpha data"), 1u);
            } else {
                EXPECT_EQ(datas, (std::multiset<std::string>{"alpha data", "bravo data"}));
            }
        }
        EXPECT_TRUE(undoFailed) << "no trial reached the undo";
    }
}

// Two programs give one file its first resource fork at once: each commit
// is whole, neither fails, and the later one stands. (Unlocked, a commit
// that had found no sidecar renamed its own into place refusing to replace
// one, and failed with ioErr where the other had just made it.)
TEST(Commit, TwoProgramsGivingAFileItsFirstForkBothSucceed) {
    namespace vf = vantrel::fault;
    vtest::TempDir t;
    const auto f = t.write("f", "data");
    const auto write_fork = [&](const std::string& bytes) {
        FSRef ref = vtest::ref_of(f);
        HFSUniStr255 rsrcName{};
        FSIORefNum fork = 0;
        OSErr e = FSGetResourceForkName(&rsrcName);
        if (e == noErr) e = FSOpenFork(&ref, rsrcName.length, rsrcName.unicode, fsRdWrPerm, &fork);
        if (e != noErr) return e;
        e = FSWriteFork(fork, fsFromStart, 0, bytes.size(), bytes.data(), nullptr);
        const OSErr closed = FSCloseFork(fork);
        return e != noErr ? e : closed;
    };
    int done[2];
    ASSERT_EQ(::pipe(done), 0);
    pid_t other = -1;
    // Once this commit has looked for the sidecar, the other program makes
    // the file's first fork (or waits for this commit: at most 300 ms).
    vf::set_hook([&](const vf::Call& c) {
        if (other != -1 || c.op != "FSCloseFork.commit") return;
        other = ::fork();
        if (other == 0) {
            vf::set_hook(nullptr);
            const OSErr e = write_fork("the other's fork");
            char one = 1;
            (void)!::write(done[1], &one, 1);
            ::_exit(e == noErr ? 0 : 1);
        }
        pollfd p{done[0], POLLIN, 0};
        (void)::poll(&p, 1, 300);
    });
    const OSErr mine = write_fork("this one's fork");
    vf::set_hook(nullptr);
    ASSERT_GT(other, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    ::close(done[0]);
    ::close(done[1]);
    EXPECT_EQ(mine, noErr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the other program's commit failed";
    EXPECT_EQ(vtest::sidecar_fork(f), "the other's fork") << "the later commit stands";
}

// A folder its writers may change but not list (0300) cannot be opened to
// be flocked; its lock is a file of its own elsewhere. Two writers there, as
// nobody: a move of A to another folder, stopped between the file's rename
// and its sidecar's, and a copy of S to the name A meanwhile. The copy waits
// for the move and the fork of A stays with A. Unlocked, the copy once took
// the moving fork for an orphan at the free name and removed it.
TEST(Commit, TwoWritersInAFolderTheyMayNotListNeverLoseAFork) {
    namespace fs = std::filesystem;
    namespace vf = vantrel::fault;
    if (!vtest::can_run_as_nobody()) GTEST_SKIP() << vtest::kNeedsNobody;
    vtest::TempDir t;
    const passwd* pw = ::getpwnam("nobody");
    ASSERT_EQ(::chown(t.path().c_str(), pw->pw_uid, pw->pw_gid), 0);
    const std::optional<std::string> result = vtest::run_as_nobody([&]() -> std::string {
        std::string failures;
        for (int round = 1; round <= 50; ++round) {
            const fs::path top = t.path() / std::to_string(round);
            const fs::path d = top / "d", other = top / "other";
            fs::create_directories(d);
            fs::create_directories(other);
            vtest::write_file(top / "S", "source data");
            vtest::write_sidecar(top / "S", "fork of S");
            vtest::write_file(d / "A", "alpha data");
            vtest::write_sidecar(d / "A", "fork of A");
            ::chmod(d.c_str(), 0300);
            int done[2];
            if (::pipe(done) != 0) return "pipe";
            pid_t copier = -1;
            vf::set_hook([&](const vf::Call& c) {
                if (copier != -1 || c.op != "FSMoveObject.sidecar") return;
                struct stat st {};
                if (::lstat((d / "A").c_str(), &st) == 0) return;  // the file has not moved yet
                copier = ::fork();
                if (copier == 0) {
                    vf::set_hook(nullptr);
                    FSRef s = vtest::ref_of(top / "S"), to = vtest::ref_of(d);
                    const std::u16string name = vtest::u16("A");
                    const OSErr e =
                        VantrelFSCopyFileWhole(&s, &to, name.size(), vtest::uc(name), nullptr);
                    char one = 1;
                    (void)!::write(done[1], &one, 1);
                    ::_exit(e == noErr ? 0 : 1);
                }
                // Long enough for a copy that need not wait to be done.
                pollfd p{done[0], POLLIN, 0};
                (void)::poll(&p, 1, 300);
            });
            FSRef a = vtest::ref_of(d / "A"), to = vtest::ref_of(other);
            const OSErr moved = FSMoveObject(&a, &to, nullptr);
            vf::set_hook(nullptr);
            int status = 0;
            if (copier > 0) ::waitpid(copier, &status, 0);
            ::close(done[0]);
            ::close(done[1]);
            ::chmod(d.c_str(), 0700);
            const std::string at = "round " + std::to_string(round) + ": ";
            if (copier <= 0) return at + "the move never stood between its two renames";
            if (moved != noErr) failures += at + "the move failed\n";
            if (vtest::read_file(other / "A") != "alpha data" ||
                vtest::sidecar_fork(other / "A") != "fork of A")
                failures += at + "the moved A has " + vtest::sidecar_fork(other / "A") + "\n";
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                vtest::sidecar_fork(d / "A") != "fork of S")
                failures += at + "the copy has " + vtest::sidecar_fork(d / "A") + "\n";
        }
        return failures;
    });
    // The lock files stay by design (see FolderLock::take); the test's own go.
    for (int round = 1; round <= 50; ++round) {
        struct stat st {};
        if (::stat((t.path() / std::to_string(round) / "d").c_str(), &st) != 0) continue;
        char lock[128];
        std::snprintf(lock, sizeof lock, "/dev/shm/.vantrel-folder-lock.%llx.%llx",
                      static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        ::unlink(lock);
    }
    ASSERT_TRUE(result.has_value()) << vtest::kNeedsNobody;
    EXPECT_EQ(*result, "");
}
