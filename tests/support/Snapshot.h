// A full snapshot of a directory tree, taken without the layer under test,
// and a diff that says what changed. What it records of every item below the
// root (and of the root itself, as "."):
//
//  - the name, as bytes (the key: the path relative to the root);
//  - the kind; a file's data fork (its contents), a link's target;
//  - every extended attribute with its value (the resource fork, Finder
//    information and dates live there; a sidecar "._NAME" is an item);
//  - mode, owner and group, and the immutable attribute (the lock);
//  - modification and access times to the nanosecond, of everything but
//    directories (a directory's own times change with every entry made,
//    renamed or removed in it, which is not damage) and a link's access
//    time (reading its target sets it).
//
// Files are read with O_NOATIME, so taking a snapshot changes no time.
//
//   const vtest::Snapshot before = vtest::snapshot(root);
//   ... an operation that fails ...
//   EXPECT_EQ(vtest::diff(before, vtest::snapshot(root)), "");
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FileFlags.h"

namespace vtest {

namespace fs = std::filesystem;

struct SnapItem {
    char kind = '?';      // 'f' file, 'd' directory, 'l' link, 'p' FIFO, 's' socket, 'c'/'b' device
    std::string content;  // a file's data, a link's target
    std::map<std::string, std::string> xattrs;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool locked = false;
    std::int64_t mtime = 0, atime = 0;  // nanoseconds; 0 where not recorded
    bool operator==(const SnapItem&) const = default;
};
using Snapshot = std::map<std::string, SnapItem>;  // by path relative to the root

// A file's contents, read without changing its access time; "<unreadable>"
// when it cannot be opened.
inline std::string read_noatime(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EPERM)  // O_NOATIME needs ownership
        fd = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "<unreadable>";
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return out;
}

namespace snapshot_detail {

inline std::map<std::string, std::string> xattrs_of(const fs::path& p) {
    std::map<std::string, std::string> out;
    std::vector<char> names;
    for (int tries = 0; tries < 8; ++tries) {
        const ssize_t size = ::llistxattr(p.c_str(), nullptr, 0);
        if (size <= 0) return out;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::llistxattr(p.c_str(), names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) return out;
    }
    for (std::size_t i = 0; i < names.size();) {
        const std::string name(names.data() + i);
        i += name.size() + 1;
        std::string value;
        for (int tries = 0; tries < 8; ++tries) {
            const ssize_t size = ::lgetxattr(p.c_str(), name.c_str(), nullptr, 0);
            if (size < 0) {
                value = "<error>";
                break;
            }
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = ::lgetxattr(p.c_str(), name.c_str(), value.data(), value.size());
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                break;
            }
            if (errno != ERANGE) {
                value = "<error>";
                break;
            }
        }
        out[name] = value;
    }
    return out;
}

inline void walk(const fs::path& root, const std::string& rel, Snapshot& out) {
    const fs::path p = rel == "." ? root : root / rel;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return;
    SnapItem item;
    item.kind = S_ISREG(st.st_mode)    ? 'f'
                : S_ISDIR(st.st_mode)  ? 'd'
                : S_ISLNK(st.st_mode)  ? 'l'
                : S_ISFIFO(st.st_mode) ? 'p'
                : S_ISSOCK(st.st_mode) ? 's'
                : S_ISCHR(st.st_mode)  ? 'c'
                                       : 'b';
    if (item.kind == 'f') item.content = read_noatime(p);
    if (item.kind == 'l') {
        std::error_code ec;
        item.content = fs::read_symlink(p, ec).native();
    }
    item.xattrs = xattrs_of(p);
    item.mode = st.st_mode;
    item.uid = st.st_uid;
    item.gid = st.st_gid;
    item.locked = item.kind != 'l' && is_immutable(p);
    if (item.kind != 'd') item.mtime = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
    // Reading a link's target sets the link's access time: not recorded.
    if (item.kind != 'd' && item.kind != 'l')
        item.atime = st.st_atim.tv_sec * 1'000'000'000LL + st.st_atim.tv_nsec;
    out[rel] = std::move(item);
    if (!S_ISDIR(st.st_mode)) return;
    std::vector<std::string> names;
    if (DIR* d = ::opendir(p.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    } else {
        out[rel].content = "<unlistable>";
    }
    for (const std::string& n : names) walk(root, rel == "." ? n : rel + "/" + n, out);
}

// A name as the diff shows it: bytes outside printable ASCII escaped.
inline std::string shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace snapshot_detail

// Everything at and below `root` (nothing when `root` is absent).
inline Snapshot snapshot(const fs::path& root) {
    Snapshot s;
    snapshot_detail::walk(root, ".", s);
    return s;
}

// What changed from `before` to `after`, one line per item ("gone: a/b",
// "new: a/c", "changed: a/d content xattrs(user.x) mode"); "" when nothing.
// With `goneIsFine`, items that disappeared are not listed.
inline std::string diff(const Snapshot& before, const Snapshot& after, bool goneIsFine = false) {
    using snapshot_detail::shown;
    std::ostringstream o;
    for (const auto& [k, v] : before) {
        auto it = after.find(k);
        if (it == after.end()) {
            if (!goneIsFine) o << "gone: " << shown(k) << "\n";
            continue;
        }
        const SnapItem& w = it->second;
        if (w == v) continue;
        o << "changed: " << shown(k);
        if (v.kind != w.kind) o << " kind(" << v.kind << "->" << w.kind << ")";
        if (v.content != w.content) o << " content";
        if (v.xattrs != w.xattrs) {
            o << " xattrs(";
            std::set<std::string> names;
            for (const auto& [n, x] : v.xattrs) names.insert(n);
            for (const auto& [n, x] : w.xattrs) names.insert(n);
            const char* sep = "";
            for (const std::string& n : names) {
                auto a = v.xattrs.find(n), b = w.xattrs.find(n);
                if (a == v.xattrs.end() || b == w.xattrs.end() || a->second != b->second) {
                    o << sep << n
                      << (a == v.xattrs.end()   ? " new"
                          : b == w.xattrs.end() ? " gone"
                                                : "");
                    sep = ", ";
                }
            }
            o << ")";
        }
        if (v.mode != w.mode)
            o << " mode(" << std::oct << v.mode << "->" << w.mode << std::dec << ")";
        if (v.uid != w.uid || v.gid != w.gid) o << " owner";
        if (v.locked != w.locked) o << (w.locked ? " locked" : " unlocked");
        if (v.mtime != w.mtime) o << " mtime";
        if (v.atime != w.atime) o << " atime";
        o << "\n";
    }
    for (const auto& [k, v] : after)
        if (before.find(k) == before.end()) o << "new: " << shown(k) << "\n";
    return o.str();
}

// Which forks of `before` are nowhere in `after`, whatever the names: every
// file's data (a resource-fork sidecar is a file too) and every resource fork
// kept in the attribute must still be held by some item. "" when nothing is
// lost. For states an undo could not restore, where names may have changed.
inline std::string lost(const Snapshot& before, const Snapshot& after) {
    constexpr const char* kResourceFork = "user.org.netatalk.ResourceFork";
    std::multiset<std::string> have;
    // A sidecar holds a resource fork: what it holds is the fork (from its
    // offset to the end of the file, as readers take it), not its header.
    auto data = [](const std::string& key, const SnapItem& v) {
        const std::size_t slash = key.rfind('/');
        const std::string leaf = slash == std::string::npos ? key : key.substr(slash + 1);
        const std::string& c = v.content;
        auto be32 = [&](std::size_t at) {
            std::uint32_t x = 0;
            for (std::size_t i = 0; i < 4; ++i)
                x = (x << 8) | static_cast<unsigned char>(c[at + i]);
            return x;
        };
        // Netatalk 2's ".AppleDouble/NAME" holds metadata and a fork (as
        // long as its header says); an empty fork is no data to keep.
        const bool netatalk2 = slash != std::string::npos &&
                               key.substr(0, slash).ends_with(".AppleDouble") &&
                               (slash == 12 || key[slash - 13] == '/');
        if ((netatalk2 || leaf.rfind("._", 0) == 0) && c.size() >= 26 && be32(0) == 0x00051607) {
            const std::size_t count = (std::size_t(static_cast<unsigned char>(c[24])) << 8) |
                                      static_cast<unsigned char>(c[25]);
            for (std::size_t i = 0; i < count && 26 + 12 * (i + 1) <= c.size(); ++i) {
                if (be32(26 + 12 * i) != 2 || be32(30 + 12 * i) > c.size()) continue;
                if (!netatalk2) return "rsrc:" + c.substr(be32(30 + 12 * i));
                const std::string fork = c.substr(be32(30 + 12 * i), be32(34 + 12 * i));
                return fork.empty() ? std::string() : "rsrc:" + fork;
            }
            if (netatalk2) return std::string();
        }
        return "data:" + c;
    };
    // Samba's AFP_Resource stream holds a fork too: its bytes and one NUL.
    constexpr const char* kResourceStream = "user.DosStream.AFP_Resource:$DATA";
    for (const auto& [k, v] : after) {
        if (v.kind == 'f') have.insert(data(k, v));  // "" (nothing kept) is never needed
        if (auto r = v.xattrs.find(kResourceFork); r != v.xattrs.end())
            have.insert("rsrc:" + r->second);
        if (auto r = v.xattrs.find(kResourceStream); r != v.xattrs.end() && !r->second.empty())
            have.insert("rsrc:" + r->second.substr(0, r->second.size() - 1));
    }
    std::ostringstream o;
    auto need = [&](const std::string& what, const std::string& where) {
        auto it = have.find(what);
        if (it == have.end())
            o << "lost: " << snapshot_detail::shown(where) << "\n";
        else
            have.erase(it);
    };
    for (const auto& [k, v] : before) {
        if (const std::string d = v.kind == 'f' ? data(k, v) : std::string(); !d.empty())
            need(d, k + " (data fork)");
        if (auto r = v.xattrs.find(kResourceFork); r != v.xattrs.end())
            need("rsrc:" + r->second, k + " (resource fork)");
    }
    return o.str();
}

}  // namespace vtest
