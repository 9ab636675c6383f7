// Volumes: the mounted file systems that hold files, read from
// /proc/self/mountinfo, numbered once per process.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "fm/node.h"

namespace vantrel::fm {
namespace {

// File systems that hold no user files: never volumes.
const std::set<std::string, std::less<>> kPseudo = {
    "proc",     "sysfs",     "devpts",      "cgroup",      "cgroup2",        "securityfs",
    "debugfs",  "tracefs",   "pstore",      "bpf",         "mqueue",         "hugetlbfs",
    "configfs", "fusectl",   "binfmt_misc", "autofs",      "rpc_pipefs",     "nsfs",
    "efivarfs", "selinuxfs", "devtmpfs",    "fuse.portal", "fuse.gvfsd-fuse"};

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7') {
            out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct VolState {
    std::mutex mu;
    std::vector<Volume> list;
    std::map<std::pair<int, dev_t>, FSVolumeRefNum> numbers;
    FSVolumeRefNum next = -1;
    std::map<FSVolumeRefNum, DirFd> roots;
    bool loaded = false;
};

VolState& vstate() {
    static VolState* s = new VolState;
    return *s;
}

void reload(VolState& s) {
    std::vector<Volume> list;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::vector<std::string> f;
        std::string w;
        while (ls >> w) f.push_back(w);
        auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 6 || dash == f.end() || f.end() - dash < 3) continue;
        Volume v;
        v.mount_id = std::atoi(f[0].c_str());
        v.root = unescape(f[3]);
        v.mount_point = unescape(f[4]);
        v.mount_opts = f[5];
        v.fs_type = *(dash + 1);
        v.source = unescape(*(dash + 2));
        v.super_opts = dash + 3 < f.end() ? *(dash + 3) : "";
        if (kPseudo.count(v.fs_type)) continue;
        unsigned maj = 0, min = 0;
        if (std::sscanf(f[2].c_str(), "%u:%u", &maj, &min) != 2) continue;
        v.dev = makedev(maj, min);
        v.read_only = ("," + v.mount_opts + ",").find(",ro,") != std::string::npos;
        struct statx st;
        // A file bind-mounted over a file, or a mount hidden under a later
        // one, is no volume: only the visible directory mounts are.
        if (::statx(AT_FDCWD, v.mount_point.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) !=
            0)
            continue;
        if (!S_ISDIR(st.stx_mode) || makedev(st.stx_dev_major, st.stx_dev_minor) != v.dev) continue;
        v.root_ino = st.stx_ino;
        auto key = std::make_pair(v.mount_id, v.dev);
        auto it = s.numbers.find(key);
        if (it == s.numbers.end()) {
            it = s.numbers.emplace(key, s.next).first;
            s.next = s.next == -32767 ? -1 : FSVolumeRefNum(s.next - 1);
        }
        v.vref = it->second;
        list.push_back(std::move(v));
    }
    // A volume that went away loses its number: a later mount that the
    // kernel gives the same mount ID and device is another volume.
    for (auto it = s.numbers.begin(); it != s.numbers.end();) {
        bool still = std::any_of(list.begin(), list.end(),
                                 [&](const Volume& v) { return v.vref == it->second; });
        it = still ? std::next(it) : s.numbers.erase(it);
    }
    // Root descriptors of volumes that went away are dropped.
    for (auto it = s.roots.begin(); it != s.roots.end();) {
        bool still = std::any_of(list.begin(), list.end(),
                                 [&](const Volume& v) { return v.vref == it->first; });
        it = still ? std::next(it) : s.roots.erase(it);
    }
    s.list = std::move(list);
    s.loaded = true;
}

const Volume* find(VolState& s, FSVolumeRefNum vref) {
    for (const Volume& v : s.list)
        if (v.vref == vref) return &v;
    return nullptr;
}

}  // namespace

std::vector<Volume> volumes() {
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    reload(s);
    return s.list;
}

void refresh_volumes() {
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    reload(s);
}

OSErr volume_by_ref(FSVolumeRefNum vref, Volume* out) {
    if (vref >= 0) return nsvErr;
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    if (!s.loaded) reload(s);
    const Volume* v = find(s, vref);
    if (v == nullptr) {
        reload(s);
        v = find(s, vref);
    }
    if (v == nullptr) return nsvErr;
    *out = *v;
    return noErr;
}

bool volume_root_id(FSVolumeRefNum vref, dev_t* dev, ino_t* ino) {
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    if (!s.loaded) reload(s);
    if (vref >= 0) return false;
    const Volume* v = find(s, vref);
    if (v == nullptr) {
        reload(s);
        v = find(s, vref);
    }
    if (v == nullptr) return false;
    *dev = v->dev;
    *ino = v->root_ino;
    return true;
}

OSErr volume_of_fd(int fd, const std::string& canonicalPath, Volume* out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return from_errno(errno, Op::Lookup);
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    if (!s.loaded) reload(s);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Volume* best = nullptr;
        for (const Volume& v : s.list) {
            if (v.dev != st.st_dev) continue;
            const std::string& m = v.mount_point;
            bool prefix = m == "/" || canonicalPath == m ||
                          (canonicalPath.starts_with(m) && canonicalPath.size() > m.size() &&
                           canonicalPath[m.size()] == '/');
            if (prefix && (best == nullptr || m.size() >= best->mount_point.size())) best = &v;
        }
        if (best != nullptr) {
            *out = *best;
            return noErr;
        }
        reload(s);
    }
    return nsvErr;
}

OSErr volume_root(const Volume& v, DirFd* out) {
    VolState& s = vstate();
    {
        std::lock_guard lk(s.mu);
        if (auto it = s.roots.find(v.vref); it != s.roots.end()) {
            *out = it->second;
            return noErr;
        }
    }
    int fd = ::open(v.mount_point.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? OSErr(nsvErr) : from_errno(errno, Op::Lookup);
    auto h = std::make_shared<const DirHandle>(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_dev != v.dev || st.st_ino != v.root_ino) return nsvErr;
    std::lock_guard lk(s.mu);
    s.roots[v.vref] = h;
    *out = std::move(h);
    return noErr;
}

std::string volume_name(const Volume& v) {
    const std::string& from = v.mount_point == "/" ? v.source : v.mount_point;
    auto slash = from.find_last_of('/');
    std::string name = slash == std::string::npos ? from : from.substr(slash + 1);
    return name.empty() ? std::string("root") : name;
}

OSErr root_node(const Volume& v, Node* out) {
    DirFd fd;
    if (OSErr e = volume_root(v, &fd)) return e;
    Node n;
    n.parent = fd;
    n.name = ".";
    n.root = true;
    n.vref = v.vref;
    n.nodeID = fsRtDirID;
    n.parentID = fsRtParID;
    if (::statx(fd->fd(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, kStatxMask, &n.st) != 0)
        return from_errno(errno, Op::Lookup);
    *out = std::move(n);
    return noErr;
}

}  // namespace vantrel::fm
