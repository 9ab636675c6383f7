// The locks of changes to more than one object, and telling another
// operation's work in progress from a leftover. See obj_commit.h.
#include "fm/obj_commit.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/proc_self.h"
#include "fullio.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("Commit.litter", "Commit.journal", "Commit.journalEnd");

namespace vantrel::fm::commit {
namespace {

// The folders this thread holds the lock of, and how many times: a change
// that holds a folder and calls another that takes it again must not wait
// on itself (flock would: each take is a description of its own).
// The table owns the flocked descriptions (one per folder).
struct Held {
    int count = 0;
    int fd = -1;
};
thread_local std::map<std::pair<std::uint64_t, std::uint64_t>, Held> t_held;

// A child forked while its parent holds a folder is another process: it
// holds nothing of its own and must wait like any other, and the copies of
// the flocked descriptions it inherited must not keep the parent's lock
// alive after the parent lets go.
[[maybe_unused]] const int kForgetOnFork = [] {
    return ::pthread_atfork(nullptr, nullptr, [] {
        for (auto& [key, held] : t_held) ::close(held.fd);
        t_held.clear();
    });
}();

std::atomic<std::uint64_t> g_privateNames{0};

int flock_retrying(int fd, int how) {
    for (;;) {
        if (::flock(fd, how) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// A folder that some of those who may change it may not read (0300, 0730,
// 0703...) cannot be opened by them to be flocked. Its lock is then a file
// of its own in a place every user reaches, named by the folder's device
// and inode; which of the two locks a folder has is told by its mode alone,
// so that every taker, whoever it is, takes the same one.
bool locked_elsewhere(mode_t mode) {
    for (const mode_t cls : {mode_t(S_IRWXU), mode_t(S_IRWXG), mode_t(S_IRWXO)}) {
        const mode_t bits = mode & cls;
        const mode_t r = cls & 0444, w = cls & 0222, x = cls & 0111;
        if ((bits & w) && (bits & x) && !(bits & r)) return true;
    }
    return false;
}

// Opens (making it when it is not there) the lock file of the folder
// `st` in /dev/shm: a root-owned, sticky, world-writable tmpfs, where no one
// may remove or replace another's file. Nothing is followed (O_NOFOLLOW),
// a FIFO or device planted there does not block the open (O_NONBLOCK) and is
// refused, and so is a file of anyone but the caller, the folder's owner and
// root: a stranger's file, which the stranger could hold locked forever. -1
// when there is no such place or no usable file: the change then runs
// unlocked, as it did before.
int open_shared_lock(const struct stat& folder) {
    const int place = ::open("/dev/shm", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (place < 0) return -1;
    struct stat ps {};
    if (::fstat(place, &ps) != 0 || ps.st_uid != 0 || (ps.st_mode & S_ISVTX) == 0) {
        ::close(place);
        return -1;
    }
    char name[96];
    std::snprintf(name, sizeof name, ".vantrel-folder-lock.%llx.%llx",
                  static_cast<unsigned long long>(folder.st_dev),
                  static_cast<unsigned long long>(folder.st_ino));
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = ::openat(place, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) break;
        // Readable by all: flock needs no more than a read-only descriptor.
        fd = ::openat(place, name, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
        if (fd >= 0)
            (void)::fchmod(fd, 0444);  // whatever the umask
        else if (errno != EEXIST)
            break;
    }
    ::close(place);
    if (fd < 0) return -1;
    struct stat st {};
    const uid_t me = ::geteuid();
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        (st.st_uid != me && st.st_uid != folder.st_uid && st.st_uid != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

FolderLock::FolderLock(FolderLock&& o) noexcept {
    *this = std::move(o);
}

FolderLock& FolderLock::operator=(FolderLock&& o) noexcept {
    if (this != &o) {
        release();
        for (int i = 0; i < 2; ++i) {
            slots_[i] = o.slots_[i];
            o.slots_[i] = Slot{};
        }
        count_ = std::exchange(o.count_, 0);
    }
    return *this;
}

bool FolderLock::take_one(int dirFd, bool wait, Slot* out, OSErr* err) {
    *err = noErr;
    struct stat st {};
    if (::fstat(dirFd, &st) != 0) {
        *err = from_errno(errno, Op::Read);
        return false;
    }
    out->dev = st.st_dev;
    out->ino = st.st_ino;
    auto key = std::make_pair(out->dev, out->ino);
    if (auto it = t_held.find(key); it != t_held.end()) {
        ++it->second.count;
        out->used = true;
        return true;
    }
    // A description of our own: the cached descriptors are shared by every
    // thread, and flock is per description.
    const int fd = locked_elsewhere(st.st_mode)
                       ? open_shared_lock(st)
                       : ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        // No place for its lock, or out of descriptors: the change runs
        // unlocked, as it would without us.
        return wait;
    }
    if (flock_retrying(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        const int e = errno;
        ::close(fd);
        if (!wait && e == EWOULDBLOCK) return false;
        return wait;  // a file system without flock: unlocked, as above
    }
    out->used = true;
    t_held[key] = Held{1, fd};
    return true;
}

OSErr FolderLock::take(int dirFd, int otherDirFd) {
    release();
    int fds[2] = {dirFd, otherDirFd};
    int n = otherDirFd < 0 ? 1 : 2;
    if (n == 2) {
        struct stat a {
        }, b{};
        if (::fstat(dirFd, &a) != 0 || ::fstat(otherDirFd, &b) != 0)
            return from_errno(errno, Op::Read);
        if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
            n = 1;
        } else if (std::make_pair(b.st_dev, b.st_ino) < std::make_pair(a.st_dev, a.st_ino)) {
            std::swap(fds[0], fds[1]);
        }
    }
    for (int i = 0; i < n; ++i) {
        OSErr err = noErr;
        Slot s;
        take_one(fds[i], true, &s, &err);
        if (err != noErr) {
            release();
            return err;
        }
        if (s.used) slots_[count_++] = s;
    }
    return noErr;
}

bool FolderLock::try_take(int dirFd) {
    release();
    OSErr err = noErr;
    Slot s;
    if (!take_one(dirFd, false, &s, &err) || err != noErr) return false;
    slots_[count_++] = s;
    return true;
}

void FolderLock::release() {
    for (int i = count_ - 1; i >= 0; --i) {
        Slot& s = slots_[i];
        auto key = std::make_pair(s.dev, s.ino);
        if (auto it = t_held.find(key); it != t_held.end() && --it->second.count == 0) {
            ::close(it->second.fd);  // closing the description lets the flock go
            t_held.erase(it);
        }
        s = Slot{};
    }
    count_ = 0;
}

bool in_progress(int dirFd, std::string_view entryName) {
    if (!rsrc::is_sidecar_name(entryName)) return false;
    if (rsrc::is_temporary_name(entryName)) {
        const std::string name(entryName);
        const int fd =
            ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return errno != ENOENT && errno != ELOOP;  // cannot ask: leave it alone
        struct stat st {};
        bool live = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    flock_retrying(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        return live;
    }
    FolderLock probe;
    struct stat st {};
    if (::fstat(dirFd, &st) != 0) return true;  // cannot ask: leave it alone
    // This thread's own change: the caller is the one at work.
    if (t_held.count(std::make_pair(std::uint64_t(st.st_dev), std::uint64_t(st.st_ino))) != 0)
        return false;
    return !probe.try_take(dirFd);
}

namespace {

// A journal's first line (its format's version), then its kind's, then the
// payload. A journal of another version is left alone: a later build
// wrote it, and it is that build's to recover.
constexpr std::string_view kJournalPrefix = "vantrel journal ";
constexpr std::string_view kJournalMagic = "vantrel journal 1\n";

// Journals this thread has open, and recoveries it runs.
thread_local int t_journalled = 0;

std::mutex g_recoveriesMu;
std::map<std::string, Recovery, std::less<>>& recoveries() {
    static auto* m = new std::map<std::string, Recovery, std::less<>>;
    return *m;
}

// Runs the recovery of the journal open as `fd`, if it is one. Only one
// recoverer at a time: it holds the journal's own lock meanwhile. False
// when the journal is one this build cannot read and must stay.
bool recover_journal(int dirFd, int fd) {
    char head[64];
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    const std::string_view got(head, n > 0 ? std::size_t(n) : 0);
    if (!got.starts_with(kJournalMagic)) {
        // Another version's journal (whole first line): not ours to drop.
        return !(got.starts_with(kJournalPrefix) && got.find('\n') != std::string_view::npos);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size > (1 << 24)) return true;
    std::string all(static_cast<std::size_t>(st.st_size), '\0');
    if (::pread(fd, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size())) return true;
    std::string_view rest = std::string_view(all).substr(kJournalMagic.size());
    const std::size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) return true;  // cut short while written: nothing began
    Recovery r = nullptr;
    {
        std::lock_guard lk(g_recoveriesMu);
        auto it = recoveries().find(rest.substr(0, nl));
        if (it != recoveries().end()) r = it->second;
    }
    if (r == nullptr) return false;  // a kind this build does not know
    ++t_journalled;
    const bool done = r(dirFd, rest.substr(nl + 1));
    --t_journalled;
    return done;
}

}  // namespace

bool journalled() {
    return t_journalled > 0;
}

void register_recovery(std::string_view kind, Recovery recovery) {
    std::lock_guard lk(g_recoveriesMu);
    recoveries()[std::string(kind)] = recovery;
}

OSErr Journal::begin(int dirFd, std::string_view kind, std::string_view payload) {
    end();
    // A change made as a part of another journalled change (or of a
    // recovery) is that one's to finish: a journal of its own would be
    // recovered on its own, in any order with the other.
    if (t_journalled > 0) return noErr;
    // A folder this caller may not change (its file's attributes it may),
    // a locked or read-only one: the change runs unjournalled, as it would
    // without us.
    if (::faccessat(dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0) return noErr;
    std::string name = private_name();
    const int fd = fault::step("Commit.journal", name, [&] {
        return ::openat(dirFd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                        0600);
    });
    if (fd < 0) return from_errno(errno, Op::Create);
    hold_temporary(fd);
    std::string all(kJournalMagic);
    all.append(kind).append("\n").append(payload);
    if (fault::step("Commit.journal", name,
                    [&] { return io::write_all(fd, all.data(), all.size()); }) != 0) {
        const int e = errno;
        (void)::unlinkat(dirFd, name.c_str(), 0);
        ::close(fd);
        return from_errno(e, Op::Write);
    }
    dir_ = dirFd;
    fd_ = fd;
    name_ = std::move(name);
    counted_ = true;
    ++t_journalled;
    return noErr;
}

void Journal::span_calls() {
    if (counted_) --t_journalled;
    counted_ = false;
}

void Journal::end() {
    if (fd_ < 0) return;
    {
        const fault::Benign benign;  // a journal left behind is recovered: a no-op by then
        (void)fault::step("Commit.journalEnd", name_,
                          [&] { return ::unlinkat(dir_, name_.c_str(), 0); });
    }
    ::close(fd_);
    fd_ = -1;
    name_.clear();
    if (counted_) --t_journalled;
    counted_ = false;
}

void Journal::abandon() {
    if (fd_ < 0) return;
    (void)::unlinkat(dir_, name_.c_str(), 0);
    keep();
}

void Journal::keep() {
    if (fd_ < 0) return;
    ::close(fd_);  // closing lets its lock go: a dead maker's journal from now on
    fd_ = -1;
    name_.clear();
    if (counted_) --t_journalled;
    counted_ = false;
}

namespace {

// Inside recover_folder: its own order (journals, then the rest) holds.
thread_local bool t_recoveringFolder = false;

// A temporary may be another name of a user's file (an exchange by names
// keeps a sidecar under a private name, a hard link): its head is read
// unseen, so that telling what it is leaves that file's access time alone.
bool is_journal(int dirFd, const std::string& name) {
    const UniqueFd fd = rsrc::open_unseen(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!fd) return false;
    char head[kJournalPrefix.size()];
    return ::pread(fd.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           std::string_view(head, sizeof head) == kJournalPrefix;
}

}  // namespace

bool clear_litter(int dirFd, std::string_view entryName) {
    if (!rsrc::is_temporary_name(entryName) || in_progress(dirFd, entryName)) return false;
    const std::string name(entryName);
    struct stat st {};
    // Only files are made under private names: anything else is not ours.
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    // A dead temporary that is no journal may be what a dead journal needs
    // to finish its change (a sidecar not yet under its name): the folder's
    // journals are recovered before it goes. Only after a kill is there
    // such litter to meet.
    // While a live change holds a journal here, a dead-looking temporary
    // may be one of its names (a file that waits under a private name
    // between two renames holds no lock of ours): left for later.
    if (!t_recoveringFolder && !is_journal(dirFd, name)) {
        if (recover_folder(dirFd)) return false;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    }
    // A journal is recovered by whoever takes its lock; another recoverer
    // meanwhile finds it held (in use) and passes it over.
    // Read unseen, as is_journal reads it: litter may be a user's file too.
    if (const UniqueFd fd = rsrc::open_unseen(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW); fd) {
        if (flock_retrying(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
        struct stat now {};
        const bool same = ::fstatat(dirFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                          now.st_ino == st.st_ino && now.st_dev == st.st_dev;
        const bool done = same && recover_journal(dirFd, fd.get());
        const fault::Benign benign;
        return done && fault::step("Commit.litter", name,
                                   [&] { return ::unlinkat(dirFd, name.c_str(), 0); }) == 0;
    }
    const fault::Benign benign;  // litter that stays is removed by the next one who can
    return fault::step("Commit.litter", name, [&] { return ::unlinkat(dirFd, name.c_str(), 0); }) ==
           0;
}

bool recover_folder(int dirFd) {
    if (t_recoveringFolder) return false;
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;  // a folder this caller may not read: nothing it could recover
    std::vector<std::string> found;
    alignas(8) char buf[16384];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0) break;
        for (long pos = 0; pos < n;) {
            const auto* d = reinterpret_cast<const rsrc::linux_dirent64*>(buf + pos);
            pos += d->d_reclen;
            if (rsrc::is_temporary_name(d->d_name)) found.emplace_back(d->d_name);
        }
    }
    ::close(fd);
    // Journals first: what they finish may need another dead temporary.
    t_recoveringFolder = true;
    bool live = false;
    for (const std::string& name : found) {
        if (!is_journal(dirFd, name)) continue;
        if (in_progress(dirFd, name))
            live = true;
        else
            (void)clear_litter(dirFd, name);
    }
    if (!live)
        for (const std::string& name : found) (void)clear_litter(dirFd, name);
    t_recoveringFolder = false;
    return live;
}

bool journal_left(int dirFd) {
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool found = false;
    alignas(8) char buf[16384];
    while (!found) {
        const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0) break;
        for (long pos = 0; pos < n && !found;) {
            const auto* d = reinterpret_cast<const rsrc::linux_dirent64*>(buf + pos);
            pos += d->d_reclen;
            found = rsrc::is_temporary_name(d->d_name) && is_journal(dirFd, d->d_name);
        }
    }
    ::close(fd);
    return found;
}

std::string folder_handle(int dirFd) {
    struct {
        file_handle h;
        unsigned char room[MAX_HANDLE_SZ];
    } buf{};
    buf.h.handle_bytes = MAX_HANDLE_SZ;
    int mount = 0;
    if (::name_to_handle_at(dirFd, "", &buf.h, &mount, AT_EMPTY_PATH) != 0) return {};
    std::string out;
    put_u64(out, std::uint64_t(std::uint32_t(buf.h.handle_type)));
    put_str(out,
            std::string_view(reinterpret_cast<const char*>(buf.h.f_handle), buf.h.handle_bytes));
    return out;
}

namespace {

bool is_folder(int fd, std::uint64_t dev, std::uint64_t ino) {
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev &&
           st.st_ino == ino;
}

// The folder among the subfolders of `dir` (and, with `depth` 2, theirs).
int search_below(int dir, std::uint64_t dev, std::uint64_t ino, int depth, long* budget) {
    const int list = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list < 0) return -1;
    std::vector<std::string> subs;
    alignas(8) char buf[16384];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, list, buf, sizeof buf);
        if (n <= 0) break;
        for (long pos = 0; pos<n&& * budget> 0; --*budget) {
            const auto* d = reinterpret_cast<const rsrc::linux_dirent64*>(buf + pos);
            pos += d->d_reclen;
            const std::string_view name(d->d_name);
            if (d->d_type == DT_DIR && name != "." && name != "..") subs.emplace_back(name);
        }
        if (*budget <= 0) break;
    }
    ::close(list);
    for (const std::string& name : subs) {
        const int fd = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (is_folder(fd, dev, ino)) return fd;
        if (fd >= 0 && depth > 1) {
            const int found = search_below(fd, dev, ino, depth - 1, budget);
            if (found >= 0) {
                ::close(fd);
                return found;
            }
        }
        if (fd >= 0) ::close(fd);
    }
    return -1;
}

}  // namespace

int open_folder_again(const std::string& path, std::uint64_t dev, std::uint64_t ino,
                      const std::string& handle, int sameFs) {
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (is_folder(fd, dev, ino)) return fd;
    if (fd >= 0) ::close(fd);
    if (!handle.empty()) {
        Reader r{handle};
        const auto type = static_cast<int>(r.u64());
        const std::string bytes = r.str();
        if (r.ok && bytes.size() <= MAX_HANDLE_SZ) {
            struct {
                file_handle h;
                unsigned char room[MAX_HANDLE_SZ];
            } buf{};
            buf.h.handle_type = type;
            buf.h.handle_bytes = static_cast<unsigned>(bytes.size());
            std::memcpy(buf.h.f_handle, bytes.data(), bytes.size());
            fd = ::open_by_handle_at(sameFs, &buf.h, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (is_folder(fd, dev, ino)) return fd;
            if (fd >= 0) ::close(fd);
        }
    }
    // Where it stood: its parent, and the two above, each searched two
    // levels down, at most so many entries in all.
    long budget = 20000;
    std::string up = path;
    while (up.size() > 1 && up.back() == '/') up.pop_back();
    for (int level = 0; level < 3 && budget > 0; ++level) {
        const std::size_t slash = up.rfind('/');
        if (slash == std::string::npos) break;
        if (slash == 0) break;  // never a search of the whole file system
        up = up.substr(0, slash);
        const int dir = ::open(up.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) continue;
        struct stat st {};
        const bool sameDevice = ::fstat(dir, &st) == 0 && st.st_dev == dev;
        const int found = sameDevice ? search_below(dir, dev, ino, 2, &budget) : -1;
        ::close(dir);
        if (found >= 0) return found;
    }
    return -1;
}

namespace {

// The random part of a private name, drawn anew for each: a name another
// user sees in a shared folder must not tell the next one, or that user
// could take it first and fail the change that needs it. The count still
// parts the names of one process should randomness be short.
std::uint64_t name_random() {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        // No entropy yet (early boot): the clock and the count still part
        // processes that share a PID.
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        random = std::uint64_t(ts.tv_sec) * 1000000007u ^ std::uint64_t(ts.tv_nsec) << 20 ^
                 std::uint64_t(self_pid());
    }
    return random;
}

}  // namespace

std::string private_name() {
    const std::uint64_t random = name_random();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%ld.%016llx.%llu", static_cast<long>(self_pid()),
                  static_cast<unsigned long long>(random),
                  static_cast<unsigned long long>(++g_privateNames));
    return std::string(rsrc::kTemporaryPrefix) + buf;
}

bool within_private_folder(int dirFd) {
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
    char path[PATH_MAX + 1];
    const ssize_t n = ::readlink(link, path, sizeof path);
    // Cut short, or a folder no longer in the tree ("... (deleted)") or
    // beyond this process's root: not known to be private.
    if (n <= 0 || std::size_t(n) >= sizeof path || path[0] != '/') return false;
    const std::string_view p(path, std::size_t(n));
    if (p.ends_with(" (deleted)")) return false;
    for (std::size_t at = 0; at != std::string_view::npos;) {
        const std::size_t next = p.find('/', at + 1);
        const std::string_view part =
            p.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
        if (rsrc::is_temporary_name(part)) return true;
        at = next;
    }
    return false;
}

void hold_temporary(int fd) {
    (void)flock_retrying(fd, LOCK_EX | LOCK_NB);  // a new file: no one else holds it
}

}  // namespace vantrel::fm::commit
