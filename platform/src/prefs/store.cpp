// The preferences store: one cached outline per domain file, the changes
// this process recorded, and the locked read-merge-replace that makes them
// durable.
//
// Locking: the domain file itself carries the flock (its directory, while
// there is no file yet), so no lock file is left lying around beside the
// user's settings.
//
// What is never done: a domain path that names anything but a regular file
// (a link to /dev/null, a FIFO, a directory) is never opened for reading
// beyond a stat, never replaced and never renamed over; a file is never
// given another owner than it had; a value another process changed after
// this process recorded its own is never overwritten by the older one.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cf/objects.h"
#include "cf/plist.h"
#include "fullio.h"
#include "vantrel/CFPreferences.h"
#include "vantrel/PreferencesReport.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CFPreferencesCopyAppValue", "CFPreferencesCopyAppValue.read",
                         "CFPreferencesSetAppValue", "CFPreferencesAppSynchronize",
                         "CFPreferencesAppSynchronize.open", "CFPreferencesAppSynchronize.lock",
                         "CFPreferencesAppSynchronize.read",
                         "CFPreferencesAppSynchronize.keepCorrupt",
                         "CFPreferencesAppSynchronize.create", "CFPreferencesAppSynchronize.write",
                         "CFPreferencesAppSynchronize.chown", "CFPreferencesAppSynchronize.fsync",
                         "CFPreferencesAppSynchronize.rename",
                         "CFPreferencesAppSynchronize.fsyncDir",
                         "CFPreferencesAppSynchronize.lockWaitMs");

const CFStringRef kCFPreferencesCurrentUser = CFSTR("kCFPreferencesCurrentUser");
const CFStringRef kCFPreferencesAnyHost = CFSTR("kCFPreferencesAnyHost");

namespace vantrel::prefs {
namespace {

struct Signature {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    static Signature of(const struct stat& st) {
        Signature s;
        s.exists = true;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
        s.ctime = st.st_ctim;
        return s;
    }
    bool operator==(const Signature& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// A domain file as read: its bytes and the outline of its top-level
// dictionary, whose views point into the bytes (so it is never moved).
struct Document {
    std::string bytes;
    cf::PlistOutline outline;
    bool usable = false;  // parsed, and its root is a dictionary
    // Taken for what the file holds: it parsed, or it stayed empty or
    // unparseable long enough, or this process wrote it. A document read
    // while another program was writing the file is not.
    bool believed = false;
    std::string why;  // when it is not usable: why, in a few words
    std::unordered_map<std::string, std::size_t> index;

    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    Document() = default;

    // Parses `bytes` in place. An empty file is an empty domain.
    void parse() {
        outline = cf::PlistOutline{};
        index.clear();
        why.clear();
        usable = bytes.empty() || cf::outline_plist(bytes, &outline, &why);
        if (usable && !bytes.empty() && !outline.rootIsDict) {
            usable = false;
            why = "its root is not a dictionary";
        } else if (!usable) {
            why = "not a property list: " + why;
        }
        if (!usable) outline = cf::PlistOutline{};
        for (std::size_t i = 0; i < outline.entries.size(); ++i)
            index.emplace(outline.entries[i].key, i);
    }
    bool corrupt() const { return !usable; }
    const cf::PlistEntry* find(const std::string& key) const {
        auto it = index.find(key);
        return it == index.end() ? nullptr : &outline.entries[it->second];
    }
    // A new CF object for the key's value, or null.
    CFTypeRef copy(const std::string& key) const {
        const cf::PlistEntry* e = find(key);
        return e ? cf::parse_plist(e->valueText) : nullptr;
    }
};

// A change recorded by this process and not yet synchronised.
struct Pending {
    CFTypeRef value = nullptr;  // null removes the key
    // The key's value in the file when the change was recorded (null:
    // absent). A change whose key another process has since given another
    // value is older than that value and is dropped, never written over it.
    CFTypeRef base = nullptr;
    bool baseKnown = false;  // false when the file could not be read then
};

struct Domain {
    std::mutex mu;
    bool loaded = false;
    Signature sig;
    std::unique_ptr<Document> doc;  // null when absent, unreadable or not a regular file
    // Why what the path names cannot be read, when it is there but is not
    // a regular file or cannot be looked at or opened ("" otherwise; a file
    // that does not parse says so in `doc`), and the stat error seen then.
    std::string unreadable;
    int statError = 0;
    std::map<std::string, Pending> pending;
    // Changes recorded since the last synchronisation that will never be
    // written (a value refused, a change another program overtook), with
    // why: the next synchronisation reports them, so that none is ever
    // taken for a saved one.
    std::vector<std::pair<std::string, std::string>> lost;
    // When a read last gave up waiting for the file to stop changing: the
    // reads just after it do not wait again.
    std::chrono::steady_clock::time_point gaveUp{};
};

struct Registry {
    std::mutex mu;
    std::map<std::string, std::unique_ptr<Domain>> domains;  // by file path
};

Registry& registry() {
    static Registry* r = new Registry;  // used until exit, never torn down
    return *r;
}

// Process-wide state shared by every thread that synchronises: one value
// of each type, behind its own mutex, used until exit and never torn down.
template <typename T>
struct Guarded {
    std::mutex mu;
    T value;
};

template <typename T>
Guarded<T>& guarded() {
    static auto* g = new Guarded<T>;
    return *g;
}

using WaitHook = std::function<bool(const std::string&)>;

// Sleeps a short while (20 ms) for another program, then asks the host's
// hook whether to go on waiting. False: stop waiting now.
bool pause_for_other_program(const std::string& waitingFor, long pauseUs = 20000) {
    ::usleep(static_cast<useconds_t>(pauseUs));
    std::function<bool(const std::string&)> hook;
    {
        Guarded<WaitHook>& h = guarded<WaitHook>();
        std::lock_guard lk(h.mu);
        hook = h.value;
    }
    return !hook || hook(waitingFor);
}

void release(Pending& p) {
    CFRelease(p.value);
    CFRelease(p.base);
    p = Pending{};
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool valid_app_id(const std::string& id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos &&
           id.find('\0') == std::string::npos;
}

// "" when there is no configuration directory to be had: a home directory
// that is unset or relative and no usable entry in the user database. An
// empty home never becomes "/.config" by accident.
std::string config_dir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;  // relative values are ignored, as XDG asks
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] == '/' ? home : "";
    if (h.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
            h = pw->pw_dir;
    }
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    if (h.empty()) return {};
    return (h == "/" ? "" : h) + "/.config";
}

// The domain file's path, or "" for an application ID that cannot name one.
std::string domain_path(CFStringRef appID) {
    if (!cf::is(appID, cf_detail::kStringTypeID)) return {};
    std::string id = cf::to_utf8(appID);
    if (!valid_app_id(id)) return {};
    std::string dir = config_dir();
    if (dir.empty()) return {};
    return dir + "/" + id + ".plist";
}

Domain& domain_for(const std::string& path) {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    auto& d = r.domains[path];
    if (!d) d = std::make_unique<Domain>();
    return *d;
}

std::string dir_of(const std::string& p) {
    auto slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

// Reads `fd` up to one byte past the size limit (so that a larger file is
// seen as such without reading an endless device into memory). False on a
// read error.
bool read_capped(int fd, std::string* out) {
    out->clear();
    char buf[16384];
    for (;;) {
        std::size_t room = cf::kMaxPlistBytes + 1 - out->size();
        if (room == 0) return true;
        ssize_t n = ::read(fd, buf, room < sizeof buf ? room : sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<std::size_t>(n));
    }
}

// Whether a file's modification time is too close to now for its signature
// to be trusted: timestamps are coarse (a few milliseconds), and a file
// replaced twice within one tick can reuse the old inode number with the same
// size. Such a file is read again, as git does with "racily clean" entries.
bool racy(const Signature& s) {
    if (!s.exists) return false;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    long long diffMs = (static_cast<long long>(now.tv_sec) - s.mtime.tv_sec) * 1000 +
                       (now.tv_nsec - s.mtime.tv_nsec) / 1000000;
    return diffMs < 100;
}

constexpr int kOpenRead = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Opens `path` for reading only if it names a regular file. It is first
// opened as a path only (O_PATH opens nothing: a FIFO's open would release a
// writer waiting for a reader, a device's can act on the device), looked at,
// and only then opened for reading, through that descriptor so that it is
// the same file. -1 with `*not_regular` set (and `st` filled) for anything
// else; -1 with errno on failure. `follow` 0 follows links, O_NOFOLLOW does
// not (a link is then "not regular").
int open_regular(const std::string& path, int follow, struct stat* st, bool* notRegular) {
    *notRegular = false;
    Fd at(::open(path.c_str(), O_PATH | O_CLOEXEC | follow));
    if (at.fd < 0 || ::fstat(at.fd, st) != 0) return -1;
    if (!S_ISREG(st->st_mode)) {
        *notRegular = true;
        return -1;
    }
    std::string self = "/proc/self/fd/" + std::to_string(at.fd);
    int fd = ::open(self.c_str(), kOpenRead);
    if (fd >= 0 || errno != ENOENT) return fd;
    // No /proc: open by name, and make sure it is still the file looked at.
    fd = ::open(path.c_str(), kOpenRead | follow);
    struct stat now {};
    if (fd >= 0 && (::fstat(fd, &now) != 0 || now.st_dev != st->st_dev ||
                    now.st_ino != st->st_ino || !S_ISREG(now.st_mode))) {
        ::close(fd);
        *notRegular = true;
        return -1;
    }
    return fd;
}

long long ms_since(const timespec& t) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<long long>(now.tv_sec) - t.tv_sec) * 1000 +
           (now.tv_nsec - t.tv_nsec) / 1000000;
}

// How long a file that does not parse, or is empty, must have stayed as it
// is before it is believed. Another program writing the file in place
// (plistutil -o, python's plistlib.dump to an open file) leaves it empty or
// half written for a moment; a read then must not take that for the user's
// settings, nor a write set it aside and replace it with one key.
constexpr long long kSettleMs = 500;
// The longest one read waits for such a file to settle.
constexpr long long kSettleWaitMs = 2000;

// Whether a program has the file open for writing now: one that emptied it
// to write it in place and stalled (a slow disk, a loaded machine) for
// longer than the file's times can tell. The kernel refuses a read lease
// (EAGAIN) while any process holds the file open for writing; one granted
// is given back at once. A writer opening the file in that moment waits for
// it, and the kernel then signals the lease's end with SIGURG, which is
// ignored unless a program asks for it (SIGIO, the default, would end the
// process). False when no lease can be had (a file of another owner, a file
// system without leases): the file's times then decide alone.
bool open_for_writing_elsewhere(int fd) {
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    return errno == EAGAIN;
}

enum class ReadResult { Done, Changing, Interrupted, Failed };

// The document last believed for a domain file, and the file's identity
// then: a read that finds exactly those bytes and that identity again need
// not wait for the file to settle a second time.
struct Believed {
    const Document* doc = nullptr;
    Signature sig;
};

// Reads the whole of `fd` into `doc` and parses it. A document that does not
// parse, or is empty, is believed when it has stayed as it is for kSettleMs:
// by its times when they say it was last changed that long ago, or else as
// seen here, read again every 20 ms, bytes and identity unchanged. The
// file's times alone are not enough: a clock put back since the file was
// written (a machine without a clock battery before its first time sync, a
// file copied with its times from another machine) dates it in the future,
// and it would never be believed. It is also believed at once when it is
// what was believed before, byte for byte, with the same identity after the
// read: that is decided on what was read, never on a look taken before it,
// since another program may empty the file in between (plistutil -o
// truncates, then writes). Changing when it still moved after kSettleWaitMs,
// or, with `mayWait` false (read once), when it has not settled; Interrupted
// when the host's hook stopped the wait. `st` describes the file as last
// read.
ReadResult read_settled(int fd, Document* doc, struct stat* st, const std::string& path,
                        const Believed& before, bool mayWait) {
    auto start = std::chrono::steady_clock::now();
    auto stillSince = start;
    std::string last;
    Signature lastSig;
    for (;;) {
        if (::lseek(fd, 0, SEEK_SET) < 0 || !read_capped(fd, &doc->bytes) || ::fstat(fd, st) != 0)
            return ReadResult::Failed;
        doc->parse();
        Signature sig = Signature::of(*st);
        doc->believed = (doc->usable && !doc->bytes.empty()) ||
                        (before.doc != nullptr && before.doc->believed && sig == before.sig &&
                         doc->bytes == before.doc->bytes);
        if (doc->believed) return ReadResult::Done;
        auto now = std::chrono::steady_clock::now();
        if (!(sig == lastSig) || doc->bytes != last) stillSince = now;
        lastSig = sig;
        last = doc->bytes;
        if ((std::min(ms_since(st->st_mtim), ms_since(st->st_ctim)) >= kSettleMs ||
             now - stillSince >= std::chrono::milliseconds(kSettleMs)) &&
            !open_for_writing_elsewhere(fd)) {
            doc->believed = true;  // it is what it is
            return ReadResult::Done;
        }
        if (!mayWait) {
            doc->usable = false;
            doc->why = "another program is writing it";
            return ReadResult::Changing;
        }
        if (now - start >= std::chrono::milliseconds(kSettleWaitMs)) {
            doc->usable = false;
            doc->why = "it kept changing for " + std::to_string(kSettleWaitMs / 1000) +
                       " seconds (another program is writing it)";
            return ReadResult::Changing;
        }
        if (!pause_for_other_program(path + " is being written by another program")) {
            doc->usable = false;
            doc->why = "another program is writing it";
            return ReadResult::Interrupted;
        }
    }
}

// Brings the cached document up to date with the file when it changed. Only
// a regular file is read: anything else at the path (through links) has no
// values, and a FIFO or a device is not even opened.
void refresh(Domain& d, const std::string& path) {
    struct stat st {};
    Signature now;
    int statError = 0;
    if (::stat(path.c_str(), &st) == 0)
        now = Signature::of(st);
    else
        statError = errno == ENOENT ? 0 : errno;  // a dangling link is an absent file
    if (d.loaded && now == d.sig && statError == d.statError && !racy(now)) return;
    // What was last believed: read again, the file need not settle again
    // when it is still exactly that (a file dated in the future is always
    // read again).
    std::unique_ptr<Document> previous = std::move(d.doc);
    const Believed before{d.loaded && previous && previous->believed ? previous.get() : nullptr,
                          d.sig};
    d.loaded = true;
    d.sig = now;
    d.statError = statError;
    d.unreadable.clear();
    if (statError != 0)
        d.unreadable = "cannot look at it: " + std::string(std::strerror(statError));
    if (now.exists && !S_ISREG(st.st_mode)) d.unreadable = "it is not a regular file";
    if (!now.exists || !S_ISREG(st.st_mode)) return;
    if (vantrel::fault::check("CFPreferencesCopyAppValue.read", path)) {
        d.loaded = false;  // try again next time
        return;
    }
    bool notRegular = false;
    Fd fd(open_regular(path, 0, &st, &notRegular));
    if (notRegular) {  // swapped for something else since the stat
        d.sig = Signature::of(st);
        d.unreadable = "it is not a regular file";
        return;
    }
    if (fd.fd < 0) {
        if (errno != ENOENT) d.unreadable = "cannot open it: " + std::string(std::strerror(errno));
        d.loaded = false;
        return;
    }
    auto doc = std::make_unique<Document>();
    bool mayWait =
        std::chrono::steady_clock::now() - d.gaveUp >= std::chrono::milliseconds(kSettleWaitMs);
    ReadResult r = read_settled(fd.fd, doc.get(), &st, path, before, mayWait);
    const int readError = errno;
    d.sig = Signature::of(st);  // describes exactly what is read
    if (r == ReadResult::Failed) {
        d.unreadable = "cannot read it: " + std::string(std::strerror(readError));
        d.loaded = false;
        return;
    }
    if (r != ReadResult::Done) {
        d.loaded = false;  // read again next time: it may have settled
        if (mayWait) d.gaveUp = std::chrono::steady_clock::now();
    }
    d.doc = std::move(doc);
}

// The key's current value in the cached document (a new reference), null
// when absent or when there is no usable document.
CFTypeRef copy_current_value(const Domain& d, const std::string& key) {
    return d.doc && d.doc->usable ? d.doc->copy(key) : nullptr;
}

// Whether another process has given the key another value since this
// process recorded its change.
bool superseded(const Pending& p, CFTypeRef current) {
    if (!p.baseKnown) return false;
    if (p.base == nullptr || current == nullptr) return p.base != current;
    return !CFEqual(p.base, current);
}

// Whether two values (null: absent) are the same: a change another process
// overtook with the very value this one wanted is not lost.
bool same_value(CFTypeRef a, CFTypeRef b) {
    return a == nullptr || b == nullptr ? a == b : CFEqual(a, b);
}

// What is said of a change another process overtook.
std::string overtaken(CFTypeRef current) {
    return current == nullptr
               ? "another program removed it after this change was recorded; it stays removed"
               : "another program gave it another value after this change was recorded; that "
                 "value stands";
}

// Drops every recorded change that another process's later value has made
// obsolete, comparing with the cached document; the next synchronisation
// says so.
void drop_superseded(Domain& d) {
    for (auto it = d.pending.begin(); it != d.pending.end();) {
        CFTypeRef cur = copy_current_value(d, it->first);
        bool old = superseded(it->second, cur);
        if (old && !same_value(it->second.value, cur))
            d.lost.emplace_back(it->first, overtaken(cur));
        CFRelease(cur);
        if (old) {
            release(it->second);
            it = d.pending.erase(it);
        } else {
            ++it;
        }
    }
}

// Follows a chain of symbolic links to the file that holds the domain. The
// target need not exist yet (a link into a fresh dotfiles checkout). As many
// links are followed as the kernel follows when the file is read (40), so
// that a file that can be read can be written.
bool resolve_target(const std::string& path, std::string* target) {
    std::string cur = path;
    for (int links = 0; links <= 40; ++links) {
        struct stat st {};
        if (::lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = cur;
            return true;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        ssize_t n = ::readlink(cur.c_str(), link.data(), link.size());
        if (n < 0) return false;
        link.resize(static_cast<std::size_t>(n));
        if (link[0] == '/') {
            cur = link;
        } else {
            cur = dir_of(cur);
            cur += '/';
            cur += link;
        }
    }
    errno = ELOOP;
    return false;
}

// Root writing into a user's directory (sudo -E) makes what it creates
// there the user's, as the user would have: a file or directory of root's
// inside a user's configuration directory would lock the user out of it.
bool give_to_parent_owner(int fd, const std::string& path, const std::string& parent) {
    if (::geteuid() != 0) return true;
    struct stat p {};
    if (::stat(parent.c_str(), &p) != 0) return false;
    if (p.st_uid == 0) return true;
    return fd >= 0 ? ::fchown(fd, p.st_uid, p.st_gid) == 0
                   : ::lchown(path.c_str(), p.st_uid, p.st_gid) == 0;
}

bool mkdirs(const std::string& dir, std::string* failed) {
    if (dir.empty() || dir == "/" || dir == ".") return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *failed = dir;
        errno = ENOTDIR;
        return false;
    }
    if (!mkdirs(dir_of(dir), failed)) return false;
    if (::mkdir(dir.c_str(), 0700) != 0) {
        if (errno == EEXIST) return true;
        *failed = dir;
        return false;
    }
    if (!give_to_parent_owner(-1, dir, dir_of(dir))) {
        *failed = dir;
        return false;
    }
    return true;
}

bool write_all(int fd, const std::string& s) {
    return io::write_all(fd, s.data(), s.size()) == 0;
}

// Takes the domain's lock. When the file exists the lock is on the file
// itself, and a writer that was granted it on a file another writer has since
// replaced tries again. When it does not exist yet, the lock is on its
// directory until the first file is renamed into place: creating an empty
// file just to lock it would leave an unparseable file behind if the writer
// died before the rename. Anything at the target but a regular file is
// refused (`not_regular`): it is never opened for writing, replaced or
// renamed over.
struct Lock {
    int fd = -1;
    bool onFile = false;  // false: `fd` is the directory and there is no file
    bool notRegular = false;
    bool busy = false;         // another program held the lock for longer than we wait
    bool interrupted = false;  // the host's hook ended the wait
};

// How long a writer waits for another program to release the domain's lock.
// Writers hold it for milliseconds; a program that keeps it (hung, stopped,
// or holding it on purpose) must not hang the caller for ever, nor make a
// host unable to end on SIGTERM while a click waits to be saved. Tests of
// what follows the wait shorten it (the seam's override
// "CFPreferencesAppSynchronize.lockWaitMs"); a release build always waits
// this long.
constexpr int kLockWaitMs = 10000;

int lock_wait_ms() {
    if (auto v = vantrel::fault::override_value("CFPreferencesAppSynchronize.lockWaitMs"))
        return static_cast<int>(std::clamp<std::int64_t>(*v, 0, kLockWaitMs));
    return kLockWaitMs;
}

// "10 seconds", "1.5 seconds".
std::string seconds_text(int ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g seconds", ms / 1000.0);
    return buf;
}

// Takes `fd`'s exclusive lock, waiting at most lock_wait_ms(). False with
// errno EWOULDBLOCK when it stayed held, or another errno.
bool wait_for_lock(int fd, const std::string& target) {
    const int waitMs = lock_wait_ms();
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    long pauseUs = 500;
    const std::string waitingFor = target + " is locked by another program";
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long long waitedMs = (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000 +
                             (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waitedMs >= waitMs) {
            errno = EWOULDBLOCK;
            return false;
        }
        if (!pause_for_other_program(waitingFor, pauseUs)) {
            errno = EINTR;
            return false;
        }
        pauseUs = std::min(pauseUs * 2, 20000L);
    }
}

Lock lock_domain(const std::string& target) {
    std::string dir = dir_of(target);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (vantrel::fault::check("CFPreferencesAppSynchronize.open", target)) return {};
        bool onFile = true, notRegular = false;
        struct stat held {};
        int fd = open_regular(target, O_NOFOLLOW, &held, &notRegular);
        if (notRegular && S_ISLNK(held.st_mode)) continue;  // became a link since it was resolved
        if (notRegular) return {-1, false, true};
        if (fd < 0 && errno == ENOENT) {
            onFile = false;
            fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (fd < 0) return {};
        if (vantrel::fault::check("CFPreferencesAppSynchronize.lock", target)) {
            ::close(fd);
            return {};
        }
        if (!wait_for_lock(fd, target)) {
            int e = errno;
            ::close(fd);
            errno = e;
            return {-1, false, false, e == EWOULDBLOCK, e == EINTR};
        }
        struct stat now {};
        bool exists = ::lstat(target.c_str(), &now) == 0;
        if (onFile && exists && held.st_dev == now.st_dev && held.st_ino == now.st_ino)
            return {fd, true};
        if (!onFile && !exists) return {fd, false};
        ::close(fd);  // replaced or created meanwhile: look again
    }
    errno = EBUSY;
    return {};
}

// Gives an unparseable file a second name ending in ".corrupt" (never
// replacing an earlier one) so that the rename that follows keeps it; sets
// `name` to it.
bool keep_corrupt(const std::string& target, std::string* name) {
    if (vantrel::fault::check("CFPreferencesAppSynchronize.keepCorrupt", target)) return false;
    for (int n = 1; n < 1000; ++n) {
        *name = n == 1 ? target + ".corrupt" : target + "." + std::to_string(n) + ".corrupt";
        if (::link(target.c_str(), name->c_str()) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

// The temporary file of a writer is ".<name>.tmp<pid>-XXXXXX" beside the
// domain file: the process ID says whose it is.
std::string temporary_prefix(const std::string& base) {
    return "." + base + ".tmp";
}

// Removes the temporary files that writers killed before their rename left
// behind: ours by name, regular files of this user, whose writer no longer
// runs (or that are older than an hour: no write takes that long, and a
// process ID may have been given to another process since). Called under the
// domain's lock, which every writer holds while its temporary file exists.
// Benign: a file that cannot be looked at or removed stays.
void remove_stale_temporaries(const std::string& dir, const std::string& base) {
    DIR* dh = ::opendir(dir.c_str());
    if (dh == nullptr) return;
    const std::string prefix = temporary_prefix(base);
    while (const dirent* e = ::readdir(dh)) {
        std::string_view n = e->d_name;
        if (n.substr(0, prefix.size()) != prefix) continue;
        n.remove_prefix(prefix.size());
        auto dash = n.find('-');
        if (dash == 0 || dash == std::string_view::npos || n.size() - dash - 1 != 6) continue;
        bool ours = std::all_of(n.begin(), n.begin() + static_cast<long>(dash),
                                [](char c) { return c >= '0' && c <= '9'; }) &&
                    dash < 10 &&
                    std::all_of(n.begin() + static_cast<long>(dash) + 1, n.end(), [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) != 0;
                    });
        if (!ours) continue;
        pid_t pid =
            static_cast<pid_t>(std::strtol(std::string(n.substr(0, dash)).c_str(), nullptr, 10));
        struct stat st {};
        if (::fstatat(::dirfd(dh), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        bool gone = pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
        if (gone || ms_since(st.st_mtim) > 3600 * 1000LL) ::unlinkat(::dirfd(dh), e->d_name, 0);
    }
    ::closedir(dh);
}

// The new text of the domain: every entry of the old file in its place, its
// key and value exactly as they were unless this process changed it, then
// the keys this process added.
std::string merged_xml(const Document& old, const std::map<std::string, CFTypeRef>& changes) {
    std::string body;
    auto add = [&](std::string_view key, std::string_view value) {
        body += "\t";
        body += key;
        body += "\n\t";
        body += value;
        body += "\n";
    };
    std::map<std::string, bool> done;
    if (old.usable) {
        for (const cf::PlistEntry& e : old.outline.entries) {
            auto c = changes.find(e.key);
            if (c == changes.end()) {
                add(e.keyText, e.valueText);
            } else {
                done[e.key] = true;
                if (c->second) add(e.keyText, cf::value_xml(c->second, 1));
            }
        }
    }
    for (auto& [key, value] : changes)
        if (value && !done.count(key)) add(cf::key_xml(key), cf::value_xml(value, 1));
    return cf::document_xml(body.empty() ? "<dict/>" : "<dict>\n" + body + "</dict>");
}

// Gives `to` the extended attributes of `from`: the access list (who else
// may read or write the settings) and what other programs noted on the file
// belong to it as much as its owner does. Labels that the kernel gives a new
// file itself (security.*) and trusted.* ones, which only a privileged
// process may set, are left to it when they cannot be copied. False, with
// the attribute's name, when one cannot be kept.
bool copy_xattrs(int from, int to, std::string* failed) {
    *failed = "list";
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    std::string names(static_cast<std::size_t>(size), '\0');
    size = ::flistxattr(from, names.data(), names.size());
    if (size < 0) return false;
    names.resize(static_cast<std::size_t>(size));
    std::string value;
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char* name = names.c_str() + at;
        ssize_t n = ::fgetxattr(from, name, nullptr, 0);
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            n = ::fgetxattr(from, name, value.data(), value.size());
        }
        if (n >= 0 && ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(n), 0) == 0)
            continue;
        bool optional =
            std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "trusted.", 8) == 0;
        if (optional && (errno == EPERM || errno == ENOTSUP || errno == EACCES)) continue;
        *failed = name;
        return false;
    }
    return true;
}

std::string errno_text(int e) {
    return std::strerror(e);
}

// Makes the recorded changes durable. On failure returns false with a line
// saying what failed.
bool synchronize(Domain& d, const std::string& path, std::string* why, bool* written,
                 std::string* setAside) {
    if (d.pending.empty()) {
        refresh(d, path);
        *written = true;  // nothing recorded is missing from the file
        return true;
    }
    auto failErrno = [&](const std::string& what) {
        *why = what + ": " + errno_text(errno);
        return false;
    };
    std::string target;
    if (!resolve_target(path, &target)) return failErrno("cannot follow the link " + path);
    std::string dir = dir_of(target), failed;
    if (!mkdirs(dir, &failed)) return failErrno("cannot make the directory " + failed);
    Lock lock = lock_domain(target);
    if (lock.notRegular) {
        *why = target + " is not a regular file; it is left as it is";
        return false;
    }
    if (lock.busy) {
        *why = target + " is locked by another program, which has held it for " +
               seconds_text(lock_wait_ms());
        return false;
    }
    if (lock.interrupted) {
        *why = target + " is locked by another program; the wait for it was ended";
        return false;
    }
    if (lock.fd < 0) return failErrno("cannot open " + target);
    Fd locked(lock.fd);
    // A file its user may not write (made read-only to freeze the settings)
    // is not replaced through the directory, which the user may write.
    if (lock.onFile && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 &&
        errno == EACCES) {
        *why = target + " is read-only; it is left as it is";
        return false;
    }

    struct stat old {};
    Document doc;
    if (lock.onFile) {
        // A file that does not parse, or is empty, may be one another
        // program is writing in place (it takes no lock): it is read again
        // until it settles, and only a file that stays so is taken for an
        // empty domain, or kept aside and replaced. What this process last
        // believed, read again unchanged, need not settle again.
        const Believed before{d.doc && d.doc->believed ? d.doc.get() : nullptr, d.sig};
        if (int e = vantrel::fault::check_errno("CFPreferencesAppSynchronize.read", target)) {
            errno = e;
            return failErrno("cannot read " + target);
        }
        ReadResult r = read_settled(locked.fd, &doc, &old, target, before, true);
        if (r == ReadResult::Failed) return failErrno("cannot read " + target);
        if (r == ReadResult::Changing) {
            *why = target + " kept changing for " + std::to_string(kSettleWaitMs / 1000) +
                   " seconds (another program is writing it); it is left as it is";
            return false;
        }
        if (r == ReadResult::Interrupted) {
            *why = target + " is being written by another program; the wait for it was ended";
            return false;
        }
    } else {
        doc.parse();
    }
    bool corrupt = lock.onFile && doc.corrupt();
    remove_stale_temporaries(dir, target.substr(target.rfind('/') + 1));

    // This process's changes, less those another process has overtaken.
    std::map<std::string, CFTypeRef> changes;
    std::vector<std::pair<std::string, std::string>> overtook;
    for (auto& [key, p] : d.pending) {
        CFTypeRef cur = doc.usable ? doc.copy(key) : nullptr;
        if (!superseded(p, cur))
            changes[key] = p.value;
        else if (!same_value(p.value, cur))
            overtook.emplace_back(key, overtaken(cur));
        CFRelease(cur);
    }
    std::string xml = merged_xml(doc, changes);

    // Anything that fails from here leaves the old file as it was.
    int tfd = -1;
    std::string tmp;
    auto fail = [&](const std::string& what, bool withErrno = true) {
        int e = errno;
        if (tfd >= 0) {
            ::close(tfd);
            ::unlink(tmp.c_str());
        }
        *why = withErrno ? what + ": " + errno_text(e) : what;
        return false;
    };
    auto slash = target.rfind('/');
    tmp = dir + "/" + temporary_prefix(target.substr(slash == std::string::npos ? 0 : slash + 1)) +
          std::to_string(::getpid()) + "-XXXXXX";
    if (vantrel::fault::check("CFPreferencesAppSynchronize.create", tmp))
        return fail("cannot create a file in " + dir, false);
    tfd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (tfd < 0) return fail("cannot create a file in " + dir);
    if (vantrel::fault::check("CFPreferencesAppSynchronize.write", tmp) || !write_all(tfd, xml))
        return fail("cannot write " + tmp);
    // The replacement keeps the owner, group and permissions of the file it
    // replaces; when it cannot (another user's file, and we are not root),
    // nothing is replaced.
    struct stat made {};
    if (::fstat(tfd, &made) != 0) return fail("cannot write " + tmp);
    if (lock.onFile) {
        if ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
            (vantrel::fault::check("CFPreferencesAppSynchronize.chown", tmp) ||
             ::fchown(tfd, old.st_uid, old.st_gid) != 0))
            return fail("cannot keep the owner and group of " + target);
        if (::fchmod(tfd, old.st_mode & 07777) != 0)
            return fail("cannot keep the permissions of " + target);
        std::string attr;
        if (!copy_xattrs(locked.fd, tfd, &attr))
            return fail("cannot keep the attribute " + attr + " of " + target);
    } else if (!give_to_parent_owner(tfd, tmp, dir)) {
        return fail("cannot give " + target + " the owner of its directory");
    }
    if (vantrel::fault::check("CFPreferencesAppSynchronize.fsync", tmp) || ::fsync(tfd) != 0)
        return fail("cannot flush " + tmp);
    std::string kept;
    if (corrupt && !keep_corrupt(target, &kept))
        return fail("cannot keep the unreadable " + target + " as .corrupt");
    if (vantrel::fault::check("CFPreferencesAppSynchronize.rename", target) ||
        ::rename(tmp.c_str(), target.c_str()) != 0)
        return fail("cannot replace " + target);
    struct stat st {};
    ::fstat(tfd, &st);
    ::close(tfd);
    tfd = -1;

    // The new contents are in place; remember them, so the next read need not
    // read the file this process just wrote.
    auto fresh = std::make_unique<Document>();
    fresh->bytes = std::move(xml);
    fresh->parse();
    fresh->believed = true;
    d.doc = std::move(fresh);
    d.sig = Signature::of(st);
    d.loaded = true;
    for (auto& kv : d.pending) release(kv.second);
    d.pending.clear();
    d.lost.insert(d.lost.end(), overtook.begin(), overtook.end());
    *setAside = kept;

    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (vantrel::fault::check("CFPreferencesAppSynchronize.fsyncDir", dir) || dfd.fd < 0 ||
        ::fsync(dfd.fd) != 0) {
        *why = "cannot flush the directory " + dir;
        return false;  // in place, but not known to survive a power loss
    }
    *written = true;
    return true;
}

void report(bool ok, const std::string& message, bool written = false,
            std::vector<std::pair<std::string, std::string>> lost = {}, std::string setAside = {}) {
    Guarded<SynchronizeReport>& r = guarded<SynchronizeReport>();
    std::lock_guard lk(r.mu);
    ++r.value.serial;
    r.value.ok = ok;
    r.value.message = ok ? std::string() : message;
    r.value.written = written;
    r.value.lost = std::move(lost);
    r.value.set_aside = std::move(setAside);
}

void report_unreadable(const std::string& path, const std::string& problem, bool keptAside) {
    Guarded<ReadReport>& u = guarded<ReadReport>();
    std::lock_guard lk(u.mu);
    ++u.value.serial;
    u.value.path = path;
    u.value.problem = problem;
    u.value.kept_aside_at_next_write = keptAside;
}

}  // namespace

SynchronizeReport last_synchronize() {
    Guarded<SynchronizeReport>& r = guarded<SynchronizeReport>();
    std::lock_guard lk(r.mu);
    return r.value;
}

ReadReport last_unreadable_read() {
    Guarded<ReadReport>& u = guarded<ReadReport>();
    std::lock_guard lk(u.mu);
    return u.value;
}

void set_wait_hook(std::function<bool(const std::string& waitingFor)> hook) {
    Guarded<WaitHook>& h = guarded<WaitHook>();
    std::lock_guard lk(h.mu);
    h.value = std::move(hook);
}

}  // namespace vantrel::prefs

using namespace vantrel::prefs;

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
    std::string path = domain_path(applicationID);
    std::string k = vantrel::cf::to_utf8(
        vantrel::cf::is(key, vantrel::cf_detail::kStringTypeID) ? key : nullptr);
    if (vantrel::fault::check("CFPreferencesCopyAppValue", k)) return nullptr;  // detail: the key
    if (path.empty() || !vantrel::cf::is(key, vantrel::cf_detail::kStringTypeID)) return nullptr;
    Domain& d = domain_for(path);
    std::lock_guard lk(d.mu);
    refresh(d, path);
    if (d.doc && !d.doc->usable)
        report_unreadable(path, d.doc->why, true);
    else if (!d.unreadable.empty())
        report_unreadable(path, d.unreadable, false);
    drop_superseded(d);
    if (auto it = d.pending.find(k); it != d.pending.end())
        return it->second.value ? CFRetain(it->second.value) : nullptr;
    return copy_current_value(d, k);
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
    std::string path = domain_path(applicationID);
    std::string k = vantrel::cf::to_utf8(
        vantrel::cf::is(key, vantrel::cf_detail::kStringTypeID) ? key : nullptr);
    if (vantrel::fault::check("CFPreferencesSetAppValue", k)) return;  // detail: the key
    if (path.empty() || !vantrel::cf::is(key, vantrel::cf_detail::kStringTypeID)) return;
    Domain& d = domain_for(path);
    std::lock_guard lk(d.mu);
    // Nothing that could not be written, or not read back as it was given,
    // is recorded; the next synchronisation says so.
    std::string why;
    if (!vantrel::cf::writable(key, &why)) {
        d.lost.emplace_back(k, "not stored: the key \"" + k + "\" " + why);
        return;
    }
    if (value != nullptr && !vantrel::cf::writable(value, &why)) {
        d.lost.emplace_back(k, "not stored: the value for \"" + k + "\" " +
                                   (why.rfind("holds", 0) == 0 ? why : "is " + why));
        return;
    }
    refresh(d, path);
    Pending p;
    p.value = CFRetain(value);
    // A file that could not be read tells nothing of the key's value then.
    p.baseKnown = !d.sig.exists || (d.doc != nullptr && d.doc->usable);
    p.base = p.baseKnown ? copy_current_value(d, k) : nullptr;
    Pending& slot = d.pending[k];
    release(slot);
    slot = p;
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
    std::string path = domain_path(applicationID);
    if (vantrel::fault::check("CFPreferencesAppSynchronize", path)) {
        report(false, "could not synchronise " + path + " (fault injected)");
        return false;
    }
    if (path.empty()) {
        report(false, vantrel::cf::is(applicationID, vantrel::cf_detail::kStringTypeID) &&
                              valid_app_id(vantrel::cf::to_utf8(applicationID))
                          ? "no configuration directory: HOME and XDG_CONFIG_HOME are unset or "
                            "relative and the user database gives no home"
                          : "not an application ID that can name a file");
        return false;
    }
    Domain& d = domain_for(path);
    std::lock_guard lk(d.mu);
    std::string why, setAside;
    bool written = false;
    bool ok = synchronize(d, path, &why, &written, &setAside);
    std::vector<std::pair<std::string, std::string>> lost;
    lost.swap(d.lost);
    if (ok && !lost.empty()) {
        why = lost.front().second.rfind("not stored: ", 0) == 0
                  ? lost.front().second
                  : "\"" + lost.front().first + "\" was not stored: " + lost.front().second;
        ok = false;
    }
    report(ok, why, written, std::move(lost), std::move(setAside));
    return ok;
}
