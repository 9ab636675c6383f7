// Volumes: every mount this process can reach, read from
// /proc/self/mountinfo and keyed by the kernel's mount ID. Each mount is a
// volume of its own (a bind mount too, read-only or not), numbered once per
// process: a number is never handed to a volume while a mounted one has it.
// Which volumes are offered (listed by index) is a policy: file systems
// that hold no user files stay out of the list, but they are volumes all
// the same, so a walk that meets one meets another volume's root, never a
// folder of its parent.
#include "fm/vol_table.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "fm/err_errno.h"
#include "fm/proc_self.h"
#include "fm/ref_dircache.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "fm/ref_places.h"
#include "fm/vol_watch.h"

namespace vantrel::fm {
namespace {

// File systems that hold no user files: volumes that are not offered.
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

// Opens `path` (absolute) as O_PATH, also when it is longer than PATH_MAX
// (a mount point deep in a tree): piece by piece, each piece below PATH_MAX
// taken relative to the directory the previous one reached. The last
// component is not followed.
int open_long_path(const std::string& path) {
    constexpr int kLast = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    if (path.size() < PATH_MAX) return ::open(path.c_str(), kLast);
    UniqueFd at(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::size_t pos = 1;
    while (at) {
        std::size_t end = path.size();
        const bool last = end - pos < PATH_MAX;
        if (!last) {
            end = path.rfind('/', pos + PATH_MAX - 1);
            if (end == std::string::npos || end <= pos) {
                errno = ENAMETOOLONG;  // a single component longer than PATH_MAX
                return -1;
            }
        }
        const std::string piece = path.substr(pos, end - pos);
        if (last) return ::openat(at.get(), piece.c_str(), kLast);
        at = UniqueFd(::openat(at.get(), piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        pos = end + 1;
    }
    return -1;
}

// statx of the mount point `path` with `mask`, without following it.
int stat_mount_point(const std::string& path, unsigned mask, struct statx* st) {
    if (path.size() < PATH_MAX)
        return ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, st);
    UniqueFd fd(open_long_path(path));
    if (!fd) return -1;
    return ::statx(fd.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, mask, st);
}

// What tells one mount from another: the mount (its unique ID on kernels
// that give one, which is never reused), and its device and root so that a
// reused mount ID on older kernels is still another volume.
struct MountKey {
    std::uint64_t mnt;
    dev_t dev;
    ino_t rootIno;
    auto operator<=>(const MountKey&) const = default;
};

struct VolState {
    std::mutex mu;
    std::vector<Volume> list;
    std::map<MountKey, FSVolumeRefNum> numbers;
    FSVolumeRefNum next = -1;
    std::map<FSVolumeRefNum, DirFd> roots;
    std::map<FSVolumeRefNum, bool> exchange;  // what the last exchange on a volume showed
    bool loaded = false;
    // The mount table as the kernel flags its changes: /proc/self/mountinfo
    // polls with POLLPRI once mounts come or go since it was last polled.
    // Opened by the process that read the table (a child reopens its own).
    int watch = -1;
    pid_t watcher = 0;
};

VolState& vstate() {
    static VolState* s = new VolState;
    return *s;
}

// A number no mounted volume has, going down from the last one handed out
// (so a number that was just given up is not handed out again at once).
FSVolumeRefNum free_number(VolState& s, const std::set<FSVolumeRefNum>& inUse) {
    for (int tries = 0; tries < 32767; ++tries) {
        FSVolumeRefNum n = s.next;
        s.next = s.next == -32767 ? FSVolumeRefNum(-1) : FSVolumeRefNum(s.next - 1);
        if (!inUse.count(n)) return n;
    }
    return 0;  // 32,767 volumes mounted: this one gets none
}

// Starts watching the mount table for changes, from now: the shared
// descriptor, and this thread's own watch (armed before the table is read,
// so that a change while it is read is not missed).
void watch_table(VolState& s) {
    (void)arm_thread_watch();
    const pid_t self = self_pid();
    if (s.watch >= 0 && s.watcher == self) {
        struct pollfd p {
            s.watch, POLLPRI, 0
        };
        (void)::poll(&p, 1, 0);  // changes until now are in the table about to be read
        return;
    }
    // A forked child leaves the parent's descriptor alone: the child may have
    // closed it and reused its number, and it watches the parent's mounts.
    // With few descriptors to spare none is kept, and the table is read at
    // each ask.
    s.watch = descriptors_to_spare() ? ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC) : -1;
    s.watcher = self;
}

// Calls under a OneMountCheck on this thread, and whether the table was
// found current (or read) since the outermost began.
thread_local int t_checkDepth = 0;
thread_local bool t_checked = false;

// Whether mounts may have come or gone since the table was read. Asked where
// the kernel does not name an object's mount and the table alone decides.
// Under a OneMountCheck, once: the caller reads the table when told it
// changed, so it is current for the rest of the call.
bool table_changed(VolState& s) {
    if (!s.loaded || s.watch < 0 || s.watcher != self_pid()) return true;
    if (t_checked) return false;
    bool changed = false;
    switch (thread_watch_signal()) {
        case MountSignal::Unchanged:
            break;
        case MountSignal::Changed:
            changed = true;
            break;
        case MountSignal::Unwatched: {
            // This thread's first ask (or it has no watch): armed first, then
            // the shared descriptor tells what changed before.
            (void)arm_thread_watch();
            struct pollfd p {
                s.watch, POLLPRI, 0
            };
            changed = ::poll(&p, 1, 0) != 0;
            break;
        }
    }
    if (!changed && t_checkDepth > 0) t_checked = true;
    return changed;
}

// Re-reads the mount table. Returns the numbers of volumes that went away;
// the caller releases what the layer kept of them (outside this lock).
std::vector<FSVolumeRefNum> reload(VolState& s) {
    watch_table(s);
    if (t_checkDepth > 0) t_checked = true;
    std::vector<Volume> list;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    std::set<FSVolumeRefNum> inUse;
    std::vector<std::pair<MountKey, Volume>> fresh;  // numbered once the kept ones are known
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::vector<std::string> f;
        std::string w;
        while (ls >> w) f.push_back(w);
        auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 6 || dash == f.end() || f.end() - dash < 3) continue;
        Volume v;
        v.mountId = std::atoi(f[0].c_str());
        v.root = unescape(f[3]);
        v.mountPoint = unescape(f[4]);
        v.mountOpts = f[5];
        v.fsType = *(dash + 1);
        v.source = unescape(*(dash + 2));
        v.superOpts = dash + 3 < f.end() ? *(dash + 3) : "";
        v.offered = kPseudo.count(v.fsType) == 0;
        v.birthLasts = v.fsType != "overlay";
        unsigned maj = 0, min = 0;
        if (std::sscanf(f[2].c_str(), "%u:%u", &maj, &min) != 2) continue;
        const dev_t tableDev = makedev(maj, min);
        v.readOnly = ("," + v.mountOpts + ",").find(",ro,") != std::string::npos;
        // A file bind-mounted over a file, or a mount hidden under a later
        // one, is no volume: only the visible directory mounts are.
        struct statx st;
        if (stat_mount_point(v.mountPoint, STATX_BASIC_STATS | STATX_MNT_ID, &st) != 0) continue;
        if (!S_ISDIR(st.stx_mode)) continue;
        // The device is the one the root's statx gives, as every object's
        // statx will: btrfs shows the file system's device in the table but
        // each subvolume's own anonymous device in statx.
        v.dev = makedev(st.stx_dev_major, st.stx_dev_minor);
        if (mount_of(st) != 0) {
            if (mount_of(st) != std::uint64_t(v.mountId)) continue;
        } else if (v.dev != tableDev && v.fsType != "btrfs") {
            continue;  // no mount IDs from statx: another device means a hidden mount
        }
        v.rootIno = st.stx_ino;
        v.mnt = std::uint64_t(v.mountId);
        if (mount_of(st) != 0 && stat_mount_point(v.mountPoint, kStatxMask, &st) == 0 &&
            mount_of(st) != 0)
            v.mnt = mount_of(st);
        MountKey key{v.mnt, v.dev, v.rootIno};
        if (auto it = s.numbers.find(key); it != s.numbers.end()) {
            v.vref = it->second;
            inUse.insert(v.vref);
            list.push_back(std::move(v));
        } else {
            list.push_back(v);
            fresh.emplace_back(key, std::move(v));
        }
    }
    // A volume that went away loses its number and everything kept of it: a
    // later mount with the same mount ID and device is another volume.
    std::vector<FSVolumeRefNum> gone;
    for (const auto& [key, n] : s.numbers)
        if (!inUse.count(n)) gone.push_back(n);
    for (FSVolumeRefNum n : gone) {
        s.roots.erase(n);
        s.exchange.erase(n);
    }
    // New mounts get numbers that no mounted volume has, nor one that just
    // went away (what was kept of it is released after this).
    std::map<MountKey, FSVolumeRefNum> numbers;
    for (const Volume& v : list)
        if (v.vref != 0) numbers[MountKey{v.mnt, v.dev, v.rootIno}] = v.vref;
    std::set<FSVolumeRefNum> taken = inUse;
    taken.insert(gone.begin(), gone.end());
    for (auto& [key, v] : fresh) {
        FSVolumeRefNum n = numbers.count(key) ? numbers[key] : free_number(s, taken);
        if (n == 0) continue;
        taken.insert(n);
        numbers[key] = n;
        for (Volume& listed : list)
            if (listed.vref == 0 && MountKey{listed.mnt, listed.dev, listed.rootIno} == key)
                listed.vref = n;
    }
    std::erase_if(list, [](const Volume& v) { return v.vref == 0; });
    s.numbers = std::move(numbers);
    s.list = std::move(list);
    s.loaded = true;
    return gone;
}

void release(const std::vector<FSVolumeRefNum>& gone) {
    for (FSVolumeRefNum n : gone) {
        release_volume_dirs(n);
        forget_volume_places(n);
    }
}

const Volume* find(VolState& s, FSVolumeRefNum vref) {
    for (const Volume& v : s.list)
        if (v.vref == vref) return &v;
    return nullptr;
}

// The volume `vref`, re-reading the table once when it is not known.
const Volume* find_loaded(VolState& s, FSVolumeRefNum vref, std::vector<FSVolumeRefNum>* gone) {
    if (!s.loaded) *gone = reload(s);
    const Volume* v = find(s, vref);
    if (v == nullptr) {
        std::vector<FSVolumeRefNum> more = reload(s);
        gone->insert(gone->end(), more.begin(), more.end());
        v = find(s, vref);
    }
    return v;
}

// Hands volume `vref` to `use` under the table's lock (loading the table,
// or re-reading it for a volume it does not know), then lets go of what was
// kept of volumes that went away. False for an unknown volume.
// With `current`, the table is read again first when mounts have come or
// gone since it was read (one poll(2)): a volume unmounted meanwhile, even
// lazily, whose descriptors still reach the detached file system, is gone.
template <class Use>
bool with_volume(FSVolumeRefNum vref, Use&& use, bool current = false) {
    if (vref >= 0) return false;
    VolState& s = vstate();
    std::vector<FSVolumeRefNum> gone;
    bool found = false;
    {
        std::lock_guard lk(s.mu);
        if (current && s.loaded && table_changed(s)) gone = reload(s);
        if (const Volume* v = find_loaded(s, vref, &gone)) {
            use(*v);
            found = true;
        }
    }
    release(gone);
    return found;
}

}  // namespace

OneMountCheck::OneMountCheck() {
    ++t_checkDepth;
}

OneMountCheck::~OneMountCheck() {
    if (--t_checkDepth == 0) t_checked = false;
}

std::vector<Volume> volumes() {
    VolState& s = vstate();
    std::vector<Volume> out;
    std::vector<FSVolumeRefNum> gone;
    {
        std::lock_guard lk(s.mu);
        gone = reload(s);
        for (const Volume& v : s.list)
            if (v.offered) out.push_back(v);
    }
    release(gone);
    release_gone_dirs();
    return out;
}

FSVolumeRefNum next_volume_number() {
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    return s.next;
}

void set_next_volume_number(FSVolumeRefNum n) {
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    s.next = n;
}

void refresh_volumes() {
    VolState& s = vstate();
    std::vector<FSVolumeRefNum> gone;
    {
        std::lock_guard lk(s.mu);
        gone = reload(s);
    }
    release(gone);
    release_gone_dirs();
}

OSErr volume_by_ref(FSVolumeRefNum vref, Volume* out) {
    return with_volume(
               vref, [&](const Volume& v) { *out = v; }, true)
               ? OSErr(noErr)
               : OSErr(nsvErr);
}

bool volume_root_id(FSVolumeRefNum vref, dev_t* dev, ino_t* ino) {
    return with_volume(vref, [&](const Volume& v) {
        *dev = v.dev;
        *ino = v.rootIno;
    });
}

bool volume_birth_lasts(FSVolumeRefNum vref) {
    bool lasts = true;
    with_volume(vref, [&](const Volume& v) { lasts = v.birthLasts; });
    return lasts;
}

bool volume_mount(FSVolumeRefNum vref, std::uint64_t* mnt, dev_t* dev) {
    return with_volume(
        vref,
        [&](const Volume& v) {
            *mnt = v.mnt;
            *dev = v.dev;
        },
        true);
}

OSErr volume_by_mount(std::uint64_t mnt, Volume* out) {
    VolState& s = vstate();
    std::vector<FSVolumeRefNum> gone;
    OSErr result = nsvErr;
    {
        std::lock_guard lk(s.mu);
        if (!s.loaded) gone = reload(s);
        for (int attempt = 0; attempt < 2 && result != noErr; ++attempt) {
            for (const Volume& v : s.list) {
                if (v.mnt == mnt) {
                    *out = v;
                    result = noErr;
                }
            }
            if (result != noErr && attempt == 0) {
                std::vector<FSVolumeRefNum> more = reload(s);
                gone.insert(gone.end(), more.begin(), more.end());
            }
        }
    }
    release(gone);
    return result;
}

std::vector<Volume> volumes_with_root(dev_t dev, ino_t ino) {
    VolState& s = vstate();
    std::vector<FSVolumeRefNum> gone;
    std::vector<Volume> out;
    {
        std::lock_guard lk(s.mu);
        if (table_changed(s)) gone = reload(s);
        for (const Volume& v : s.list)
            if (v.dev == dev && v.rootIno == ino) out.push_back(v);
    }
    release(gone);
    return out;
}

OSErr volume_of_fd(int fd, const std::string& canonicalPath, Volume* out) {
    struct statx st;
    if (stat_at(fd, "", AT_EMPTY_PATH, &st) != 0) return from_errno(errno, Op::Lookup);
    if (std::uint64_t mnt = mount_of(st)) return volume_by_mount(mnt, out);
    // The kernel does not name the mount: the longest mount point of that
    // device that leads to the path, in the table as it is now.
    const dev_t dev = makedev(st.stx_dev_major, st.stx_dev_minor);
    VolState& s = vstate();
    std::vector<FSVolumeRefNum> gone;
    OSErr result = nsvErr;
    {
        std::lock_guard lk(s.mu);
        if (table_changed(s)) gone = reload(s);
        for (int attempt = 0; attempt < 2 && result != noErr; ++attempt) {
            const Volume* best = nullptr;
            // A btrfs subvolume inside a mount has an anonymous device of its
            // own that no mount may show: failing a mount of its device, the
            // btrfs mount leading to it holds it.
            for (int pass = 0; pass < 2 && best == nullptr; ++pass) {
                for (const Volume& v : s.list) {
                    if (pass == 0 ? v.dev != dev : v.fsType != "btrfs") continue;
                    const std::string& m = v.mountPoint;
                    bool prefix =
                        m == "/" || canonicalPath == m ||
                        (canonicalPath.starts_with(m) && canonicalPath.size() > m.size() &&
                         canonicalPath[m.size()] == '/');
                    if (prefix && (best == nullptr || m.size() >= best->mountPoint.size()))
                        best = &v;
                }
            }
            if (best != nullptr) {
                *out = *best;
                result = noErr;
            } else if (attempt == 0) {
                std::vector<FSVolumeRefNum> more = reload(s);
                gone.insert(gone.end(), more.begin(), more.end());
            }
        }
    }
    release(gone);
    return result;
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
    int fd = open_long_path(v.mountPoint);
    if (fd < 0) return from_errno(errno, Op::VolumeRoot);
    auto h = std::make_shared<const DirHandle>(fd);
    struct statx st;
    if (stat_at(fd, "", AT_EMPTY_PATH, &st) != 0 ||
        makedev(st.stx_dev_major, st.stx_dev_minor) != v.dev || st.stx_ino != v.rootIno ||
        (mount_of(st) != 0 && mount_of(st) != v.mnt))
        return nsvErr;  // something else is mounted there now
    std::lock_guard lk(s.mu);
    if (find(s, v.vref) == nullptr) return nsvErr;  // gone meanwhile: keep nothing of it
    s.roots[v.vref] = h;
    *out = std::move(h);
    return noErr;
}

OSErr volume_root_fd(FSVolumeRefNum vref, DirFd* out) {
    {
        VolState& s = vstate();
        std::lock_guard lk(s.mu);
        if (auto it = s.roots.find(vref); it != s.roots.end()) {
            *out = it->second;
            return noErr;
        }
    }
    Volume v;
    if (OSErr e = volume_by_ref(vref, &v)) return e;
    return volume_root(v, out);
}

bool exchange_works(const Volume& v) {
    {
        VolState& s = vstate();
        std::lock_guard lk(s.mu);
        if (auto it = s.exchange.find(v.vref); it != s.exchange.end()) return it->second;
    }
    // File systems whose rename takes RENAME_EXCHANGE (and shmem is tmpfs).
    static const char* kSupported[] = {"ext4",  "ext3", "ext2",  "xfs",     "btrfs",
                                       "tmpfs", "f2fs", "shmem", "bcachefs"};
    for (const char* t : kSupported)
        if (v.fsType == t) return true;
    return false;
}

void note_exchange_result(FSVolumeRefNum vref, bool worked) {
    VolState& s = vstate();
    std::lock_guard lk(s.mu);
    if (find(s, vref) != nullptr) s.exchange[vref] = worked;
}

std::string volume_name(const Volume& v) {
    const std::string& from = v.mountPoint == "/" ? v.source : v.mountPoint;
    auto slash = from.find_last_of('/');
    std::string name = slash == std::string::npos ? from : from.substr(slash + 1);
    return name.empty() ? std::string("root") : name;
}

OSErr root_node(const Volume& v, Node* out) {
    DirFd fd;
    if (OSErr e = volume_root(v, &fd)) return e;
    Node n;
    n.parent = fd;
    n.name.assign(1, '.');
    n.root = true;
    n.vref = v.vref;
    n.mnt = v.mnt;
    n.nodeID = fsRtDirID;
    n.parentID = fsRtParID;
    if (stat_at(fd->fd(), "", AT_EMPTY_PATH, &n.st) != 0) return from_errno(errno, Op::Lookup);
    *out = std::move(n);
    return noErr;
}

}  // namespace vantrel::fm
