// The ID table (ref_idtable.h): one SQLite database per file system, in the
// user's state directory ($XDG_STATE_HOME/vantrel/ids, else
// ~/.local/state/vantrel/ids), named by the file system's type and its
// UUID where the kernel tells one (so the same after every mount, on any
// device), else the fsid statfs gives its root (on btrfs derived from the
// UUID and the subvolume), or where a file system has no fsid, by its
// device and this boot. A file system kept in memory (tmpfs, ramfs)
// gets a new fsid at every mount and is gone at the latest at the next
// boot: its table's name carries this boot too, and the tables named for
// another boot are removed when a process first opens one, so the tables
// of /run/user/UID, of a tmpfs /tmp and of every scratch tmpfs go with the
// boot instead of piling up.
//
// One table `ids` (id, sub, ino): the ID is the row's key, handed out as
// one more than the largest so far (from 2^31 up) by a single INSERT, which
// SQLite runs under its write lock, so two processes never hand out one ID
// twice; (sub, ino) is unique, so they never give one object two. Shared by
// the user's processes in WAL mode (readers do not wait for the writer). An
// ID is committed before it is handed out. A table that cannot be opened or
// written leaves the caller to make its own IDs, valid in this process only
// and from a range the table never hands out; that is said once, on
// standard error.
//
// A writer holds the lock for one small insert, milliseconds. A holder
// that keeps it for kFirstWaitMs is stuck (stopped, or hung on a dead
// network file system): waiting that long for every new object would turn
// a listing of thousands into hours, so after one such wait the volume
// hands out no IDs in this process, and its look-ups wait for nothing.
//
// A damaged table (SQLite finds its pages corrupt, or the file is not a
// database at all) is moved aside under a dated name, kept for the user,
// and a fresh one started, once per volume and process, said on standard
// error; the fresh one hands out IDs after the largest the damaged one can
// still tell. Two processes finding one damage move aside only the file
// they found damaged (the directory is locked while one looks).
//
// Connections are closed when their volume goes away and when the process
// exits (through exit(), not _exit()): the last one to close folds the
// journal into the table and removes it, so no -wal and -shm files stay
// beside the tables of processes that ended.
//
// Each process keeps the IDs it has looked up (at most kCacheMax, then it
// starts again), so a listing asks the database once per object. A process
// forked from one with an open table opens its own (SQLite's connections
// must not cross a fork).
#include "fm/ref_idtable.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "fm/proc_self.h"
#include "fm/ref_node.h"
#include "fm/vol_table.h"

namespace vantrel::fm {
namespace {

constexpr std::size_t kCacheMax = std::size_t(1) << 18;
constexpr int kFirstWaitMs = 2000;

struct Conn {
    sqlite3* db = nullptr;
    sqlite3_stmt* find = nullptr;
    sqlite3_stmt* add = nullptr;
    sqlite3_stmt* byId = nullptr;
    sqlite3_stmt* range = nullptr;
    pid_t pid = 0;
    std::string file;
    std::string mountPoint;  // for what is said on standard error
    bool unusable = false;   // opening failed: not tried again for this volume
    bool noInserts = false;  // another process held the lock past the wait
    bool damaged = false;    // SQLite found the table corrupt: moved aside next
    bool saidFull = false;   // an insert failed otherwise (disk full, read-only): said
    dev_t fileDev = 0;       // the file opened, so that only it is moved aside
    ino_t fileIno = 0;
};

struct CacheKey {
    FSVolumeRefNum vref;
    std::uint64_t sub, ino;
    bool operator==(const CacheKey&) const = default;
};
struct CacheHash {
    std::size_t operator()(const CacheKey& k) const {
        return std::hash<std::uint64_t>()((k.ino * 0x9E3779B97F4A7C15ull) ^ (k.sub << 20) ^
                                          std::uint16_t(k.vref));
    }
};

struct State {
    std::mutex mu;
    std::unordered_map<FSVolumeRefNum, Conn> conns;
    std::unordered_map<CacheKey, UInt32, CacheHash> cache;
    std::unordered_set<FSVolumeRefNum> setAside;  // volumes whose damaged table was replaced
};

State& state() {
    static State* s = new State;  // never destroyed: used during static teardown
    return *s;
}

void close_conn(Conn& c) {
    // A connection inherited across a fork belongs to the parent: it is
    // left alone (closing it could undo the parent's locks), not closed.
    if (c.db != nullptr && c.pid == self_pid()) {
        sqlite3_finalize(c.find);
        sqlite3_finalize(c.add);
        sqlite3_finalize(c.byId);
        sqlite3_finalize(c.range);
        sqlite3_close_v2(c.db);
    }
    c = Conn{};
}

std::string state_dir() {
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && x[0] == '/')
        return std::string(x) + "/vantrel/ids";
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    if (home.empty()) return "";
    return home + "/.local/state/vantrel/ids";
}

// mkdir -p, the new levels private to the user.
bool make_dirs(const std::string& dir) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string boot_id() {
    std::string id;
    if (FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f) != nullptr) id = buf;
        std::fclose(f);
    }
    while (!id.empty() && (id.back() == '\n' || id.back() == '-')) id.pop_back();
    std::erase(id, '-');
    return id.empty() ? "noboot" : id;
}

// Whether a file system of type `type` lives in memory only.
bool in_memory(const std::string& type) {
    return type == "tmpfs" || type == "ramfs" || type == "devtmpfs";
}

// Removes the tables of `dir` named for a boot that is not this one (their
// file systems are gone), with their journals; a damaged table kept for
// the user (".damaged-") stays.
void remove_other_boots(const std::string& dir) {
    const std::string boot = boot_id();
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    DIR* d = ::fdopendir(dfd);
    if (d == nullptr) {
        ::close(dfd);
        return;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name(e->d_name);
        const std::size_t at = name.rfind(".sqlite");
        if (at == std::string_view::npos) continue;
        const std::string_view rest = name.substr(at);
        if (rest != ".sqlite" && rest != ".sqlite-wal" && rest != ".sqlite-shm") continue;
        const std::string_view stem = name.substr(0, at);
        const std::size_t dash = stem.rfind('-');
        if (dash == std::string_view::npos) continue;
        const std::string_view seg = stem.substr(dash + 1);
        const bool aBoot = seg.size() == 32 && std::all_of(seg.begin(), seg.end(), [](char c) {
                               return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                           });
        if (aBoot && seg != boot) (void)::unlinkat(dfd, e->d_name, 0);
    }
    ::closedir(d);
}

// The file system's UUID as the kernel tells it (FS_IOC_GETFSUUID, which
// older headers lack), dashed: "" where it tells none.
std::string fs_uuid(int dirFd) {
    struct FsUuid {
        unsigned char len;
        unsigned char uuid[16];
    } u{};
    constexpr unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuid);
    // (An ioctl needs a descriptor opened for reading, which a root's may not be.)
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return "";
    const int rc = ::ioctl(fd, kGetFsUuid, &u);
    ::close(fd);
    if (rc != 0 || u.len != 16) return "";
    if (std::all_of(std::begin(u.uuid), std::end(u.uuid), [](unsigned char b) { return b == 0; }))
        return "";
    std::string out;
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        std::snprintf(hex, sizeof hex, "%02x", u.uuid[i]);
        out += hex;
    }
    return out;
}

// Where the table of a file system named by its fsid was kept before it was
// named by its UUID (XFS's fsid is its device: the same file system on
// another loop device or disk got a table of its own), it moves to the new
// name, unless a process may still have it open (its journal is there).
void take_over(const std::string& dir, const std::string& from, const std::string& to) {
    if (from == to) return;
    const std::string f = dir + "/" + from, t = dir + "/" + to;
    struct stat st;
    if (::stat(t.c_str(), &st) == 0 || ::stat(f.c_str(), &st) != 0) return;
    if (::stat((f + "-wal").c_str(), &st) == 0) return;
    (void)::rename(f.c_str(), t.c_str());  // a process doing the same first: one of them does it
}

// The table's file name for volume `v` in directory `dir`: "" when its root
// cannot be asked. A file system that has a UUID is named by it, so that
// its objects keep their IDs when it comes back on another device; btrfs
// keeps its fsid, which the UUID gives and which tells subvolumes apart, and
// one in memory, which is new at each mount, keeps what it had.
std::string table_name(const Volume& v, const std::string& dir) {
    DirFd root;
    if (volume_root(v, &root) != noErr) return "";
    struct statfs sf;
    if (::fstatfs(root->fd(), &sf) != 0) return "";
    std::uint64_t fsid = 0;
    static_assert(sizeof sf.f_fsid == 8, "two 32-bit words");
    std::memcpy(&fsid, &sf.f_fsid, sizeof fsid);
    std::string type;
    for (char c : v.fsType) type += (std::isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
    char buf[96];
    if (fsid != 0) {
        std::snprintf(buf, sizeof buf, "-%016llx", static_cast<unsigned long long>(fsid));
        std::string byFsid =
            type + buf + (in_memory(v.fsType) ? "-" + boot_id() : std::string()) + ".sqlite";
        if (in_memory(v.fsType) || v.fsType == "btrfs") return byFsid;
        const std::string uuid = fs_uuid(root->fd());
        if (uuid.empty()) return byFsid;
        std::string byUuid = type + "-" + uuid + ".sqlite";
        if (!dir.empty()) take_over(dir, byFsid, byUuid);
        return byUuid;
    }
    std::snprintf(buf, sizeof buf, "-dev%u.%u-", ::major(v.dev), ::minor(v.dev));
    return type + buf + boot_id() + ".sqlite";
}

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool damage(int rc) {
    return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB;
}

// Opens the table `file` (in directory `dir`) into `c`; false (and why in
// `why`) when it cannot.
bool open_conn(const std::string& dir, const std::string& file, Conn& c, std::string* why) {
    c.file = file;
    if (!make_dirs(dir)) {
        *why = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                      SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE;
    c.pid = self_pid();
    if (sqlite3_open_v2(c.file.c_str(), &c.db, flags, nullptr) != SQLITE_OK) {
        *why = c.file + ": " + (c.db != nullptr ? sqlite3_errmsg(c.db) : "cannot open");
        return false;
    }
    if (struct stat st; ::stat(c.file.c_str(), &st) == 0) {
        c.fileDev = st.st_dev;
        c.fileIno = st.st_ino;
    }
    sqlite3_busy_timeout(c.db, kFirstWaitMs);
    // WAL where the file system allows it (not on every network file
    // system); the rollback journal otherwise, which works as well, slower.
    exec(c.db, "PRAGMA journal_mode=WAL");
    exec(c.db, "PRAGMA synchronous=NORMAL");
    const bool ok =
        exec(c.db,
             "CREATE TABLE IF NOT EXISTS ids(id INTEGER PRIMARY KEY, sub INTEGER NOT NULL, "
             "ino INTEGER NOT NULL, UNIQUE(sub, ino))") &&
        sqlite3_prepare_v3(c.db, "SELECT id FROM ids WHERE sub=?1 AND ino=?2", -1,
                           SQLITE_PREPARE_PERSISTENT, &c.find, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v3(c.db,
                           // max(id) alone in its subquery: one step down
                           // the key's b-tree, not a scan of the table.
                           "INSERT OR IGNORE INTO ids(id, sub, ino) SELECT n, ?1, ?2 FROM "
                           "(SELECT coalesce((SELECT max(id) FROM ids), 2147483647) + 1 AS n) "
                           "WHERE n <= 3221225471",
                           -1, SQLITE_PREPARE_PERSISTENT, &c.add, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v3(c.db, "SELECT sub, ino FROM ids WHERE id=?1", -1,
                           SQLITE_PREPARE_PERSISTENT, &c.byId, nullptr) == SQLITE_OK &&
        // One walk along the (sub, ino) index, bounded by the caller.
        sqlite3_prepare_v3(c.db,
                           "SELECT ino, id FROM ids WHERE sub=?1 AND ino BETWEEN ?2 AND ?3 "
                           "ORDER BY ino LIMIT ?4",
                           -1, SQLITE_PREPARE_PERSISTENT, &c.range, nullptr) == SQLITE_OK;
    if (!ok) {
        *why = c.file + ": " + sqlite3_errmsg(c.db);
        c.damaged = damage(sqlite3_extended_errcode(c.db));
    }
    return ok;
}

// The largest ID the damaged table at `file` can still tell, or 0. Read
// as immutable: nothing is made beside what is kept for the user.
std::int64_t largest_id(const std::string& file) {
    std::string uri = "file:";
    for (unsigned char ch : file) {
        if (std::isalnum(ch) != 0 || std::strchr("/-._~", ch) != nullptr) {
            uri += char(ch);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", ch);
            uri += esc;
        }
    }
    uri += "?immutable=1";
    sqlite3* db = nullptr;
    std::int64_t id = 0;
    if (sqlite3_open_v2(uri.c_str(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_URI,
                        nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT max(id) FROM ids", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            id = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close_v2(db);
    return id >= kFirstTableID && id <= kLastTableID ? id : 0;
}

// Moves the damaged table `c.file` (the file `c` opened, with its journal)
// aside, as FILE.damaged-YYYYMMDDTHHMMSSZ; the new name in `kept`. True
// also when another process moved it aside first (what is there now is a
// table that process started).
bool set_aside(const std::string& dir, const Conn& c, std::string* kept, std::string* why) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || ::flock(dfd, LOCK_EX) != 0) {
        *why = "cannot lock " + dir + ": " + std::strerror(errno);
        if (dfd >= 0) ::close(dfd);
        return false;
    }
    bool ok = true;
    struct stat st;
    if (::stat(c.file.c_str(), &st) == 0 && st.st_dev == c.fileDev && st.st_ino == c.fileIno) {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        char when[32] = "";
        if (::gmtime_r(&now, &tm) != nullptr)
            std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &tm);
        *kept = c.file + ".damaged-" + when;
        if (::rename(c.file.c_str(), kept->c_str()) != 0) {
            *why = "cannot move " + c.file + " aside: " + std::strerror(errno);
            ok = false;
        } else {
            // The journal holds committed rows of the damaged table: kept
            // with it. The shared-memory index is rebuilt from it.
            (void)::rename((c.file + "-wal").c_str(), (*kept + "-wal").c_str());
            (void)::unlink((c.file + "-shm").c_str());
        }
    }
    ::flock(dfd, LOCK_UN);
    ::close(dfd);
    return ok;
}

// A fresh table after a damaged one: its IDs come after `floor`, which a
// row no object has holds.
void set_floor(Conn& c, std::int64_t floor) {
    if (floor == 0) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(c.db, "INSERT OR IGNORE INTO ids(id, sub, ino) VALUES(?1, -1, -1)", -1,
                           &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(st, 1, floor);
        (void)sqlite3_step(st);
    }
    sqlite3_finalize(st);
}

bool ready(const Conn& c) {
    return c.db != nullptr && c.pid == self_pid();
}

// At exit. Not if another thread is in the middle of a look-up (it would
// then use a closed connection): its connection stays as an _exit leaves it.
void close_all() {
    State& s = state();
    std::unique_lock lk(s.mu, std::try_to_lock);
    if (!lk.owns_lock()) return;
    for (auto& [vref, c] : s.conns) close_conn(c);
    s.conns.clear();
    s.cache.clear();
}

// Runs `use` on the open table of `vref` under the state's lock (opening
// the table the first time); false when the volume has no usable table.
// The volume table is asked with the lock not held: what it releases of a
// volume that went away includes this volume's table.
template <class Use>
bool with_conn(FSVolumeRefNum vref, Use&& use) {
    State& s = state();
    {
        std::lock_guard lk(s.mu);
        auto it = s.conns.find(vref);
        if (it != s.conns.end()) {
            if (ready(it->second) && !it->second.damaged) {
                use(s, it->second);
                return true;
            }
            if (it->second.unusable) return false;
        }
    }
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(close_all); });
    Volume v;
    if (volume_by_ref(vref, &v) != noErr) return false;
    const std::string dir = state_dir();
    {
        static std::mutex mu;
        static std::unordered_set<std::string>* pruned = new std::unordered_set<std::string>;
        std::lock_guard lk(mu);
        if (!dir.empty() && pruned->insert(dir).second) remove_other_boots(dir);
    }
    const std::string name = table_name(v, dir);
    std::lock_guard lk(s.mu);
    Conn& c = s.conns[vref];
    if (!ready(c) || c.damaged) {
        // What to move aside: the file a connection of this process found
        // damaged, or the one that failed to open as a table.
        bool damaged = ready(c) && c.damaged;
        dev_t fileDev = c.fileDev;
        ino_t fileIno = c.fileIno;
        close_conn(c);  // (one inherited across a fork: this process opens its own)
        c.mountPoint = v.mountPoint;
        std::string why;
        if (dir.empty()) {
            why = "no home directory";
        } else if (name.empty()) {
            why = "its root cannot be asked for its file system";
        } else if (!damaged && open_conn(dir, dir + "/" + name, c, &why)) {
            use(s, c);
            return true;
        } else {
            if (!damaged && c.damaged) {
                damaged = true;
                fileDev = c.fileDev;
                fileIno = c.fileIno;
            }
            if (damaged && !s.setAside.insert(vref).second) {
                why = c.file + ": damaged again after a fresh start";
            } else if (damaged) {
                close_conn(c);  // SQLite lets go of the file before it moves
                c.mountPoint = v.mountPoint;
                c.file = dir + "/" + name;
                c.fileDev = fileDev;
                c.fileIno = fileIno;
                std::string kept;
                if (set_aside(dir, c, &kept, &why) && open_conn(dir, c.file, c, &why)) {
                    // After every ID the damaged table can still tell, and
                    // every one this process had from it.
                    std::int64_t floor = kept.empty() ? 0 : largest_id(kept);
                    for (const auto& [k, id] : s.cache)
                        if (k.vref == vref) floor = std::max<std::int64_t>(floor, id);
                    set_floor(c, floor);
                    std::fprintf(stderr,
                                 "vantrel: the ID table of %s was damaged: %s, a new one "
                                 "started\n",
                                 v.mountPoint.c_str(),
                                 kept.empty() ? "another process moved it aside"
                                              : ("kept as " + kept).c_str());
                    use(s, c);
                    return true;
                }
            }
        }
        close_conn(c);
        c.unusable = true;
        std::fprintf(stderr,
                     "vantrel: the IDs of some items of %s hold in this process only: cannot "
                     "keep their table (%s)\n",
                     v.mountPoint.c_str(), why.c_str());
        return false;
    }
    use(s, c);
    return true;
}

void bind_key(sqlite3_stmt* st, TableKey key) {
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(key.sub));
    sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(key.ino));
}

// After another process held the table's lock past the wait: no more
// inserts, no more waiting, said once.
void stop_waiting(Conn& c) {
    if (c.noInserts) return;
    c.noInserts = true;
    sqlite3_busy_timeout(c.db, 0);
    std::fprintf(stderr,
                 "vantrel: the IDs of new items of %s hold in this process only: another "
                 "process has held their table's lock for over %d s (%s)\n",
                 c.mountPoint.c_str(), kFirstWaitMs / 1000, c.file.c_str());
}

bool busy(int rc) {
    return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
}

// Runs a prepared look-up of (sub, ino); the ID, or 0.
std::int64_t find_id(Conn& c, TableKey key) {
    bind_key(c.find, key);
    std::int64_t id = 0;
    const int rc = sqlite3_step(c.find);
    if (rc == SQLITE_ROW) id = sqlite3_column_int64(c.find, 0);
    sqlite3_reset(c.find);
    if (busy(rc)) stop_waiting(c);
    if (damage(rc)) c.damaged = true;
    return id;
}

}  // namespace

UInt32 table_id(FSVolumeRefNum vref, TableKey key) {
    State& s = state();
    const CacheKey ck{vref, key.sub, key.ino};
    {
        std::lock_guard lk(s.mu);
        if (auto it = s.cache.find(ck); it != s.cache.end()) return it->second;
    }
    std::int64_t id = 0;
    bool again = false;
    auto lookUp = [&](State& st, Conn& c) {
        id = find_id(c, key);
        if (c.damaged) {
            again = true;
            id = 0;
            return;
        }
        if (id == 0) {
            if (c.noInserts) return;
            bind_key(c.add, key);
            const int rc = sqlite3_step(c.add);
            sqlite3_reset(c.add);
            if (busy(rc)) stop_waiting(c);
            if (damage(rc)) c.damaged = again = true;
            if (rc != SQLITE_DONE && !busy(rc) && !damage(rc) && !c.saidFull) {
                // Tried again for the next object: a full disk may get room.
                c.saidFull = true;
                std::fprintf(stderr,
                             "vantrel: the IDs of some new items of %s hold in this process "
                             "only: cannot add them to their table (%s: %s)\n",
                             c.mountPoint.c_str(), c.file.c_str(), sqlite3_errstr(rc));
            }
            if (rc != SQLITE_DONE) return;  // locked past the wait, disk full...
            id = find_id(c, key);           // ours, or another process's a moment before
        }
        if (id < kFirstTableID || id > kLastTableID) {  // the table is full
            id = 0;
            return;
        }
        if (st.cache.size() >= kCacheMax) st.cache.clear();
        st.cache.emplace(ck, UInt32(id));
    };
    // A second time when the first found the table damaged (and a fresh one
    // replaces it).
    for (int attempt = 0; attempt < 2; ++attempt) {
        again = false;
        with_conn(vref, lookUp);
        if (!again) break;
    }
    return UInt32(id);
}

void table_prefetch(FSVolumeRefNum vref, std::uint64_t sub, std::vector<ListedIno> inos) {
    State& s = state();
    auto asKey = [](std::uint64_t ino) { return static_cast<std::int64_t>(ino); };
    {
        std::lock_guard lk(s.mu);
        std::erase_if(inos, [&](const ListedIno& e) {
            return s.cache.count(CacheKey{vref, sub, e.ino}) != 0;
        });
    }
    if (inos.empty()) return;
    // In the order the table's index keeps (signed, as SQLite stores them).
    std::sort(inos.begin(), inos.end(),
              [&](const ListedIno& a, const ListedIno& b) { return asKey(a.ino) < asKey(b.ino); });
    std::vector<std::int64_t> ids(inos.size(), 0);
    auto at = [&](std::int64_t ino) -> std::size_t {
        auto it = std::lower_bound(inos.begin(), inos.end(), ino,
                                   [&](const ListedIno& e, auto v) { return asKey(e.ino) < v; });
        return it != inos.end() && asKey(it->ino) == ino ? std::size_t(it - inos.begin())
                                                         : inos.size();
    };
    auto use = [&](State& st, Conn& c) {
        // The rows of the span, at most a few times as many as asked: a
        // span that other objects crowd is left to the look-ups one by one.
        const std::int64_t limit = std::int64_t(inos.size()) * 4 + 64;
        sqlite3_bind_int64(c.range, 1, static_cast<sqlite3_int64>(sub));
        sqlite3_bind_int64(c.range, 2, asKey(inos.front().ino));
        sqlite3_bind_int64(c.range, 3, asKey(inos.back().ino));
        sqlite3_bind_int64(c.range, 4, limit);
        std::int64_t rows = 0;
        int rc;
        while ((rc = sqlite3_step(c.range)) == SQLITE_ROW) {
            ++rows;
            if (std::size_t i = at(sqlite3_column_int64(c.range, 0)); i < inos.size())
                ids[i] = sqlite3_column_int64(c.range, 1);
        }
        sqlite3_reset(c.range);
        if (busy(rc)) stop_waiting(c);
        if (damage(rc)) c.damaged = true;
        if (rc != SQLITE_DONE) return;
        auto keep = [&] {
            if (st.cache.size() + inos.size() >= kCacheMax) st.cache.clear();
            for (std::size_t i = 0; i < inos.size(); ++i)
                if (ids[i] >= kFirstTableID && ids[i] <= kLastTableID)
                    st.cache.emplace(CacheKey{vref, sub, inos[i].ino}, UInt32(ids[i]));
        };
        bool toAdd = false;
        for (std::size_t i = 0; i < inos.size(); ++i)
            toAdd = toAdd || (ids[i] == 0 && inos[i].mayAdd);
        if (!toAdd || c.noInserts || rows >= limit) {
            keep();  // a crowded span: what it did not reach goes one by one
            return;
        }
        // The new ones in one transaction. Under the write lock, max(id)
        // and every row of the span are as this transaction sees them, so a
        // row another process added since the read is met by the insert
        // (ignored, then found) rather than doubled.
        rc = sqlite3_exec(c.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (busy(rc)) stop_waiting(c);
        if (damage(rc)) c.damaged = true;
        if (rc != SQLITE_OK) {
            keep();
            return;
        }
        std::vector<std::int64_t> fresh = ids;
        bool ok = true;
        for (std::size_t i = 0; ok && i < inos.size(); ++i) {
            if (fresh[i] != 0 || !inos[i].mayAdd) continue;
            const TableKey key{sub, inos[i].ino};
            bind_key(c.add, key);
            rc = sqlite3_step(c.add);
            sqlite3_reset(c.add);
            if (rc != SQLITE_DONE) {
                ok = false;
                break;
            }
            fresh[i] =
                sqlite3_changes(c.db) == 1 ? sqlite3_last_insert_rowid(c.db) : find_id(c, key);
            if (fresh[i] == 0) break;  // the table is full: the rest go one by one
        }
        if (ok) rc = sqlite3_exec(c.db, "COMMIT", nullptr, nullptr, nullptr);
        if (!ok || rc != SQLITE_OK) {
            (void)sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            if (busy(rc)) stop_waiting(c);
            if (damage(rc)) c.damaged = true;
            keep();  // what was read before the transaction still holds
            return;
        }
        ids = std::move(fresh);
        keep();
    };
    with_conn(vref, use);
}

bool table_key(FSVolumeRefNum vref, UInt32 id, TableKey* out) {
    if (id < kFirstTableID || id > kLastTableID) return false;
    bool found = false;
    bool again = false;
    auto lookUp = [&](State&, Conn& c) {
        sqlite3_bind_int64(c.byId, 1, id);
        const int rc = sqlite3_step(c.byId);
        if (rc == SQLITE_ROW) {
            out->sub = static_cast<std::uint64_t>(sqlite3_column_int64(c.byId, 0));
            out->ino = static_cast<std::uint64_t>(sqlite3_column_int64(c.byId, 1));
            found = true;
        }
        sqlite3_reset(c.byId);
        again = damage(rc);
        if (again) c.damaged = true;
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        again = false;
        with_conn(vref, lookUp);
        if (!again) break;
    }
    return found;
}

void forget_table(FSVolumeRefNum vref) {
    State& s = state();
    std::lock_guard lk(s.mu);
    if (auto it = s.conns.find(vref); it != s.conns.end()) {
        close_conn(it->second);
        s.conns.erase(it);
    }
    std::erase_if(s.cache, [&](const auto& e) { return e.first.vref == vref; });
    s.setAside.erase(vref);
}

std::string table_file(FSVolumeRefNum vref) {
    State& s = state();
    std::lock_guard lk(s.mu);
    auto it = s.conns.find(vref);
    return it != s.conns.end() && it->second.db != nullptr ? it->second.file : std::string();
}

void forget_table_cache() {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.cache.clear();
}

}  // namespace vantrel::fm
