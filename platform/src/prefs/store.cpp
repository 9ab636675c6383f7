// The preferences store: one cached document per domain file, the changes
// this process recorded, and the locked read-merge-replace that makes them
// durable.
//
// Locking: the domain file itself carries the flock (its directory, while
// there is no file yet), so no lock file is left lying around beside the
// user's settings.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "cf/objects.h"
#include "cf/plist.h"
#include "vantrel/CFPreferences.h"
#include "vantrel/fault.h"

const CFStringRef kCFPreferencesCurrentUser = CFSTR("kCFPreferencesCurrentUser");
const CFStringRef kCFPreferencesAnyHost = CFSTR("kCFPreferencesAnyHost");

namespace vantrel::prefs {
namespace {

using cf::PlistPtr;

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

struct Domain {
    std::mutex mu;
    bool loaded = false;
    Signature sig;
    PlistPtr doc;  // the file's dictionary (null when absent or unparseable)
    // Changes recorded by this process and not yet synchronised; a null
    // value removes the key.
    std::map<std::string, CFTypeRef> pending;
};

struct Registry {
    std::mutex mu;
    std::map<std::string, std::unique_ptr<Domain>> domains;  // by file path
};

Registry& registry() {
    static Registry* r = new Registry;  // used until exit, never torn down
    return *r;
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

std::string config_dir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;  // relative values are ignored, as XDG asks
    const char* home = std::getenv("HOME");
    std::string h = home && *home ? home : "";
    if (h.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid())) h = pw->pw_dir;
    }
    return h + "/.config";
}

// The domain file's path, or "" for an application ID that cannot name one.
std::string domain_path(CFStringRef appID) {
    if (!cf::is(appID, cf_detail::kStringTypeID)) return {};
    std::string id = cf::to_utf8(appID);
    if (!valid_app_id(id)) return {};
    return config_dir() + "/" + id + ".plist";
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

// Reads the whole of `fd`. False on a read error.
bool read_all(int fd, std::string* out) {
    out->clear();
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(buf, static_cast<std::size_t>(n));
    }
}

// Parses a domain file's bytes. An empty file is an empty domain; anything
// that is not a dictionary is unparseable (`*corrupt`), and yields no values.
PlistPtr parse_domain(const std::string& bytes, bool* corrupt) {
    *corrupt = false;
    if (bytes.empty()) return PlistPtr(plist_new_dict());
    PlistPtr p(cf::parse_plist(bytes.data(), bytes.size()));
    if (!p || plist_get_node_type(p.p) != PLIST_DICT) {
        *corrupt = true;
        return PlistPtr();
    }
    return p;
}

// Whether a file's modification time is too close to now for its signature
// to be trusted: timestamps are coarse (a few milliseconds), and a file
// replaced twice within one tick can reuse the old inode number with the same
// size. Such a file is read again, as git does with "racily clean" entries.
bool racy(const Signature& s) {
    if (!s.exists) return false;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    long long diff_ms = (static_cast<long long>(now.tv_sec) - s.mtime.tv_sec) * 1000 +
                        (now.tv_nsec - s.mtime.tv_nsec) / 1000000;
    return diff_ms < 100;
}

// Brings the cached document up to date with the file when it changed.
void refresh(Domain& d, const std::string& path) {
    struct stat st {};
    Signature now;
    if (::stat(path.c_str(), &st) == 0) now = Signature::of(st);
    if (d.loaded && now == d.sig && !racy(now)) return;
    d.loaded = true;
    d.doc.reset();
    d.sig = now;
    if (!now.exists) return;
    if (vantrel::fault::check("CFPreferencesCopyAppValue.read", path)) {
        d.loaded = false;  // try again next time
        return;
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string bytes;
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !read_all(fd.fd, &bytes)) {
        d.loaded = false;
        return;
    }
    d.sig = Signature::of(st);  // describes exactly what was read
    bool corrupt = false;
    d.doc = parse_domain(bytes, &corrupt);
}

// Follows a chain of symbolic links to the file that holds the domain. The
// target need not exist yet (a link into a fresh dotfiles checkout).
bool resolve_target(const std::string& path, std::string* target) {
    std::string cur = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = cur;
            return true;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        ssize_t n = ::readlink(cur.c_str(), link.data(), link.size());
        if (n < 0) return false;
        link.resize(static_cast<std::size_t>(n));
        cur = link[0] == '/' ? link : dir_of(cur) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

bool mkdirs(const std::string& dir) {
    if (dir.empty() || dir == "/" || dir == ".") return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!mkdirs(dir_of(dir))) return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool write_all(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

// Takes the domain's lock. When the file exists the lock is on the file
// itself, and a writer that was granted it on a file another writer has since
// replaced tries again. When it does not exist yet, the lock is on its
// directory until the first file is renamed into place: creating an empty
// file just to lock it would leave an unparseable file behind if the writer
// died before the rename.
struct Lock {
    int fd = -1;
    bool on_file = false;  // false: `fd` is the directory and there is no file
};

Lock lock_domain(const std::string& target) {
    std::string dir = dir_of(target);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (vantrel::fault::check("CFPreferencesAppSynchronize.open", target)) return {};
        bool on_file = true;
        int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ENOENT) {
            on_file = false;
            fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (fd < 0) return {};
        if (vantrel::fault::check("CFPreferencesAppSynchronize.lock", target)) {
            ::close(fd);
            return {};
        }
        int rc;
        while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            ::close(fd);
            return {};
        }
        struct stat held {
        }, now{};
        bool exists = ::lstat(target.c_str(), &now) == 0;
        if (on_file && exists && ::fstat(fd, &held) == 0 && held.st_dev == now.st_dev &&
            held.st_ino == now.st_ino)
            return {fd, true};
        if (!on_file && !exists) return {fd, false};
        ::close(fd);  // replaced or created meanwhile: look again
    }
    errno = EBUSY;
    return {};
}

// Gives an unparseable file a second name ending in ".corrupt" (never
// replacing an earlier one) so that the rename that follows keeps it.
bool keep_corrupt(const std::string& target) {
    if (vantrel::fault::check("CFPreferencesAppSynchronize.keepCorrupt", target)) return false;
    for (int n = 1; n < 1000; ++n) {
        std::string name =
            n == 1 ? target + ".corrupt" : target + "." + std::to_string(n) + ".corrupt";
        if (::link(target.c_str(), name.c_str()) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

bool synchronize(Domain& d, const std::string& path) {
    if (d.pending.empty()) {
        refresh(d, path);
        return true;
    }
    std::string target;
    if (!resolve_target(path, &target)) return false;
    if (!mkdirs(dir_of(target))) return false;
    Lock lock = lock_domain(target);
    if (lock.fd < 0) return false;
    Fd locked(lock.fd);

    struct stat old {};
    std::string bytes;
    if (lock.on_file && (::fstat(locked.fd, &old) != 0 || !read_all(locked.fd, &bytes)))
        return false;
    bool corrupt = false;
    PlistPtr doc = parse_domain(bytes, &corrupt);
    if (!doc) doc.reset(plist_new_dict());
    for (auto& [key, value] : d.pending) {
        if (value == nullptr) {
            if (plist_dict_get_item(doc.p, key.c_str())) plist_dict_remove_item(doc.p, key.c_str());
        } else if (plist_t node = cf::to_plist(value)) {
            plist_dict_set_item(doc.p, key.c_str(), node);
        }
    }
    std::string xml = cf::to_xml(doc.p);

    // Anything that fails from here leaves the old file as it was.
    auto fail = [&](int tmpfd, const std::string& tmp) {
        if (tmpfd >= 0) {
            ::close(tmpfd);
            ::unlink(tmp.c_str());
        }
        return false;
    };
    std::string dir = dir_of(target);
    auto slash = target.rfind('/');
    std::string tmp =
        dir + "/." + target.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    if (vantrel::fault::check("CFPreferencesAppSynchronize.create", tmp)) return fail(-1, tmp);
    int tfd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (tfd < 0) return fail(-1, tmp);
    if (vantrel::fault::check("CFPreferencesAppSynchronize.write", tmp) || !write_all(tfd, xml))
        return fail(tfd, tmp);
    if (lock.on_file) ::fchmod(tfd, old.st_mode & 07777);
    if (vantrel::fault::check("CFPreferencesAppSynchronize.fsync", tmp) || ::fsync(tfd) != 0)
        return fail(tfd, tmp);
    if (corrupt && !keep_corrupt(target)) return fail(tfd, tmp);
    if (vantrel::fault::check("CFPreferencesAppSynchronize.rename", target) ||
        ::rename(tmp.c_str(), target.c_str()) != 0)
        return fail(tfd, tmp);
    struct stat st {};
    ::fstat(tfd, &st);
    ::close(tfd);

    // The new contents are in place; remember them, so the next read need not
    // parse the file this process just wrote.
    d.doc = std::move(doc);
    d.sig = Signature::of(st);
    d.loaded = true;
    for (auto& kv : d.pending) CFRelease(kv.second);
    d.pending.clear();

    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (vantrel::fault::check("CFPreferencesAppSynchronize.fsyncDir", dir) || dfd.fd < 0 ||
        ::fsync(dfd.fd) != 0)
        return false;  // in place, but not known to survive a power loss
    return true;
}

bool is_plist_type(CFTypeRef v) {
    if (v == nullptr) return true;
    PlistPtr p(cf::to_plist(v));
    return static_cast<bool>(p);
}

}  // namespace
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
    if (auto it = d.pending.find(k); it != d.pending.end())
        return it->second ? CFRetain(it->second) : nullptr;
    refresh(d, path);
    if (!d.doc) return nullptr;
    return vantrel::cf::from_plist(plist_dict_get_item(d.doc.p, k.c_str()));
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
    std::string path = domain_path(applicationID);
    std::string k = vantrel::cf::to_utf8(
        vantrel::cf::is(key, vantrel::cf_detail::kStringTypeID) ? key : nullptr);
    if (vantrel::fault::check("CFPreferencesSetAppValue", k)) return;  // detail: the key
    if (path.empty() || !vantrel::cf::is(key, vantrel::cf_detail::kStringTypeID)) return;
    if (!is_plist_type(value)) return;  // nothing that could not be written is recorded
    Domain& d = domain_for(path);
    std::lock_guard lk(d.mu);
    CFTypeRef& slot = d.pending[k];
    CFRetain(value);
    CFRelease(slot);
    slot = value;
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
    std::string path = domain_path(applicationID);
    if (vantrel::fault::check("CFPreferencesAppSynchronize", path)) return false;
    if (path.empty()) return false;
    Domain& d = domain_for(path);
    std::lock_guard lk(d.mu);
    return synchronize(d, path);
}
