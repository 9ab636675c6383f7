// A folder copy made whole under a private name, and undone after a kill.
// See obj_foldercopy.h.
#include "fm/obj_foldercopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/obj_commit.h"
#include "fm/ref_codec.h"
#include "fm/ref_dircache.h"
#include "fm/ref_fd.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSFinishFolderCopy.sidecar", "VantrelFSFinishFolderCopy.name",
                         "VantrelFSFinishFolderCopy.undo");

namespace vantrel::fm::folder_copy {
namespace {

constexpr std::string_view kFolderCopyJournal = "folder copy";

// A folder of a copy not yet whole. Only the top one has a journal and a
// name to take; the others are remembered so that what is made in them is
// known to be the copy's too.
// While the copy is filled it holds one descriptor, its journal's (whose
// lock tells every other process the copy is alive): the destination is
// kept as a reference and found again at the end, so that a deep walk at a
// small descriptor limit has every other descriptor for itself.
using Key = std::pair<dev_t, std::uint64_t>;

struct Open {
    bool top = false;
    Key topKey{};  // a folder below the top: its top's
    // The folder as made, without its parent's descriptor (kept only in
    // the directory cache, which gives it back when it has room).
    Node made;
    FSRef dest{};  // the top's destination folder
    std::string privateName, name;
    std::unique_ptr<commit::Journal> journal;
};

std::mutex g_mu;
std::atomic<std::uint64_t> g_named{0};
std::map<Key, Open>& open_copies() {
    static auto* m = new std::map<Key, Open>;
    return *m;
}

Key key_of(const Node& n) {
    return {n.dev(), n.st.stx_ino};
}

// Opens the folder `name` of `dirFd` for the undo. An undo runs where the
// copy failed, perhaps for want of descriptors: the few the directory
// cache keeps for speed are given back and the open tried once more, so
// that a copy or a deletion meeting the limit still removes what it made.
int open_folder(int dirFd, const char* name, int flags) {
    const int fd = ::openat(dirFd, name, flags | O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
    drop_fd_cache();
    return ::openat(dirFd, name, flags | O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Unlinks the entry `name` of `dirFd` that is no folder; a locked one (a
// move locks its copies) is unlocked first. Only files the copy made are
// met here: the private folder is no one else's.
int unlink_item(int dirFd, const char* name) {
    if (fault::step("VantrelFSFinishFolderCopy.undo", name,
                    [&] { return ::unlinkat(dirFd, name, 0); }) == 0)
        return 0;
    if (errno != EPERM) return -1;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int flags = 0;
    int rc = ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    if (rc == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
        flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
        rc = ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
    if (rc != 0) return -1;
    return fault::step("VantrelFSFinishFolderCopy.undo", name,
                       [&] { return ::unlinkat(dirFd, name, 0); });
}

// Removes every item of the open folder `fd` that is no folder; `*sub`
// receives the name of a folder in it ("" when there is none). False on a
// failure.
bool empty_of_files(int fd, std::string* sub) {
    sub->clear();
    const int list = open_folder(fd, ".", 0);
    if (list < 0) return false;
    DIR* d = ::fdopendir(list);
    if (d == nullptr) {
        ::close(list);
        return false;
    }
    bool ok = true;
    // Entries unlinked while the folder is read may make the read pass
    // over others: read again until a pass removes nothing.
    for (bool removed = true; ok && removed && sub->empty();) {
        removed = false;
        ::rewinddir(d);
        while (const dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (e->d_type == DT_DIR) {
                if (sub->empty()) *sub = e->d_name;
                continue;
            }
            if (unlink_item(fd, e->d_name) == 0) {
                removed = true;
            } else if (errno == EISDIR) {
                if (sub->empty()) *sub = e->d_name;
            } else if (errno != ENOENT) {
                ok = false;
                break;
            }
        }
    }
    ::closedir(d);
    return ok;
}

// Removes the folder `name` of `dirFd` with everything in it, depth first
// with one descriptor per level at most open at a time (a copy may be
// 10,000 folders deep), never following a link nor leaving the file system.
// True when it is gone.
bool remove_tree(int dirFd, const std::string& name) {
    struct stat top {};
    if (::fstatat(dirFd, name.c_str(), &top, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(top.st_mode)) return false;
    // The names and inodes from the private folder down to where the walk is.
    std::vector<std::pair<std::string, ino_t>> path{{name, top.st_ino}};
    UniqueFd cur(open_folder(dirFd, name.c_str(), O_NOFOLLOW));
    for (;;) {
        struct stat st {};
        if (!cur || ::fstat(cur.get(), &st) != 0 || st.st_dev != top.st_dev ||
            st.st_ino != path.back().second)
            return false;
        // A move locks the folders of its copy as it finishes them: a copy
        // undone after that has its own locked folders to empty.
        int flags = 0;
        if (::ioctl(cur.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
            (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
            flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
            if (::ioctl(cur.get(), FS_IOC_SETFLAGS, &flags) != 0) return false;
        }
        std::string sub;
        if (!empty_of_files(cur.get(), &sub)) return false;
        if (!sub.empty()) {
            struct stat s {};
            if (::fstatat(cur.get(), sub.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(s.st_mode) || s.st_dev != top.st_dev)
                return false;
            UniqueFd next(open_folder(cur.get(), sub.c_str(), O_NOFOLLOW));
            path.emplace_back(sub, s.st_ino);
            cur = std::move(next);
            continue;
        }
        // Empty: it goes from its parent, and the walk goes on there.
        const std::string leaf = path.back().first;
        path.pop_back();
        if (path.empty()) {
            cur = UniqueFd();
            return fault::step("VantrelFSFinishFolderCopy.undo", leaf,
                               [&] { return ::unlinkat(dirFd, leaf.c_str(), AT_REMOVEDIR); }) ==
                       0 ||
                   errno == ENOENT;
        }
        UniqueFd up(open_folder(cur.get(), "..", 0));
        cur = std::move(up);
        if (!cur || ::fstat(cur.get(), &st) != 0 || st.st_ino != path.back().second) return false;
        if (fault::step("VantrelFSFinishFolderCopy.undo", leaf,
                        [&] { return ::unlinkat(cur.get(), leaf.c_str(), AT_REMOVEDIR); }) != 0)
            return false;
    }
}

std::string payload_of(const std::string& privateName, const std::string& name) {
    std::string out;
    commit::put_str(out, privateName);
    commit::put_str(out, name);
    return out;
}

// A kill left the copy under its private name: it never showed, and goes.
// After the rename there is nothing under the private name, and nothing to
// do: the copy is whole under its own.
bool recover_folder_copy(int dirFd, std::string_view payload) {
    commit::Reader r{payload};
    const std::string privateName = r.str();
    (void)r.str();  // the name it was to take
    if (!r.ok || !rsrc::is_temporary_name(privateName)) return true;
    return remove_tree(dirFd, privateName);
}

[[maybe_unused]] const bool kRecovery = [] {
    commit::register_recovery(kFolderCopyJournal, recover_folder_copy);
    return true;
}();

// Forgets the folders below the top `top`, whose inode numbers may be
// given to other folders once the copy is named or removed. Under g_mu.
void forget_inner_locked(const Key& top) {
    for (auto it = open_copies().begin(); it != open_copies().end();) {
        if (!it->second.top && it->second.topKey == top)
            it = open_copies().erase(it);
        else
            ++it;
    }
}

void forget_inner(const Key& top) {
    const std::lock_guard<std::mutex> hold(g_mu);
    forget_inner_locked(top);
}

}  // namespace

std::uint64_t named_count() {
    return g_named.load(std::memory_order_acquire);
}

bool inside(const Node& dir) {
    const std::lock_guard<std::mutex> hold(g_mu);
    return !open_copies().empty() && open_copies().count(key_of(dir)) != 0;
}

// The folder `n` as an Open record keeps it.
Node without_parent(const Node& n) {
    Node kept = n;
    kept.parent.reset();
    return kept;
}

bool held(const FSRef* ref, Node* out) {
    RefFields r;
    if (ref == nullptr || decode_ref(*ref, &r) != noErr || !r.dir || r.root) return false;
    Node n;
    {
        const std::lock_guard<std::mutex> hold(g_mu);
        if (open_copies().empty()) return false;
        auto it = open_copies().find(Key{dev_t(r.dev), r.ino});
        if (it == open_copies().end() || it->second.made.name.empty()) return false;
        n = it->second.made;
    }
    if (n.vref != r.vref || n.nodeID != r.nodeID || !same_object(identity_of(r), n.st))
        return false;
    if (!cached_dir(ObjKey{n.vref, std::uint64_t(n.dev()), n.st.stx_ino})) return false;
    n.parent = cached_dir_by_id(n.vref, n.parentID);
    if (!n.parent) return false;
    *out = std::move(n);
    return true;
}

void add_inner(const Node& dir, const Node& made) {
    const std::lock_guard<std::mutex> hold(g_mu);
    Open inner;
    inner.made = without_parent(made);
    auto it = open_copies().find(key_of(dir));
    if (it != open_copies().end()) inner.topKey = it->second.top ? it->first : it->second.topKey;
    open_copies()[key_of(made)] = std::move(inner);
}

OSErr begin(const Node& dest, const DirFd& destFd, const std::string& name, const char* createStep,
            Node* made) {
    const int dir = destFd->fd();
    struct stat taken {};
    if (::fstatat(dir, name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) return dupFNErr;
    Open o;
    o.top = true;
    make_ref(dest, &o.dest);
    o.name = name;
    o.privateName = commit::private_name();
    o.journal = std::make_unique<commit::Journal>();
    if (OSErr e = o.journal->begin(dir, kFolderCopyJournal, payload_of(o.privateName, name)))
        return e;
    // The caller fills the folder between this call and settle(): its
    // other changes meanwhile are not this one's.
    o.journal->span_calls();
    if (fault::step(createStep, name,
                    [&] { return ::mkdirat(dir, o.privateName.c_str(), 0700); }) != 0)
        return from_errno(errno, Op::Create, &dest);
    Node n;
    if (OSErr e = lookup(dest, o.privateName, &n)) {
        const fault::Benign benign;  // an empty private folder left is its journal's to remove
        (void)remove_tree(dir, o.privateName);
        return e;
    }
    o.made = without_parent(n);
    {
        const std::lock_guard<std::mutex> hold(g_mu);
        open_copies()[key_of(n)] = std::move(o);
    }
    *made = std::move(n);
    return noErr;
}

OSErr settle(const Node& copy, OSErr err) {
    Open o;
    {
        const std::lock_guard<std::mutex> hold(g_mu);
        auto it = open_copies().find(key_of(copy));
        if (it == open_copies().end()) return err;
        o = std::move(it->second);
        open_copies().erase(it);
    }
    if (!o.top) return err;
    forget_inner(key_of(copy));
    // The private folder's own parent is the destination, wherever that
    // went meanwhile: the journal stands beside it.
    const int dir = copy.at();
    o.journal->stands_in(dir);
    Node dest;
    if (err == noErr) err = resolve(&o.dest, &dest);
    if (err == noErr) {
        // Under the lock, an orphan "._NAME" cleared now cannot come back
        // before the folder has the name, nor a copy's sidecar be taken
        // for one.
        commit::FolderLock lock;
        err = lock.take(dir);
        if (err == noErr)
            err = rsrc::clear_orphan(dir, o.name, "VantrelFSFinishFolderCopy.sidecar");
        if (err == noErr &&
            fault::step("VantrelFSFinishFolderCopy.name", o.name, [&] {
                int rc =
                    ::renameat2(dir, o.privateName.c_str(), dir, o.name.c_str(), RENAME_NOREPLACE);
                // A file system that cannot refuse a taken name in the
                // rename itself: looked at first, under the lock.
                struct stat there {};
                if (rc != 0 && errno == EINVAL) {
                    if (::fstatat(dir, o.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
                        errno = EEXIST;
                        return -1;
                    }
                    rc = ::renameat(dir, o.privateName.c_str(), dir, o.name.c_str());
                }
                return rc;
            }) != 0) {
            err = errno == EEXIST || errno == ENOTEMPTY ? OSErr{dupFNErr}
                                                        : from_errno(errno, Op::Create, &dest);
        }
        if (err == noErr) {
            g_named.fetch_add(1, std::memory_order_acq_rel);
            note_moved(copy, dest, o.name);
            o.journal->end();
            return noErr;
        }
    }
    // The copy is undone. What cannot be removed now is its journal's to
    // remove at the next listing of the folder.
    if (remove_tree(dir, o.privateName))
        o.journal->end();
    else
        o.journal->keep();
    return err;
}

OSErr abandon(const Node& copy) {
    Open o;
    {
        const std::lock_guard<std::mutex> hold(g_mu);
        auto it = open_copies().find(key_of(copy));
        if (it == open_copies().end()) return paramErr;
        Key top = it->second.top ? it->first : it->second.topKey;
        auto t = open_copies().find(top);
        if (t == open_copies().end() || !t->second.top) return paramErr;
        o = std::move(t->second);
        open_copies().erase(t);
        forget_inner_locked(top);
        // Its folders are within no private folder any longer: answers
        // kept about them go stale, as when a copy is named.
        g_named.fetch_add(1, std::memory_order_acq_rel);
    }
    // The journal stands in the destination folder, beside the private one,
    // wherever the destination went meanwhile.
    Node dest;
    if (OSErr e = resolve(&o.dest, &dest)) {
        o.journal->keep();
        return e;
    }
    DirFd destFd;
    if (OSErr e = dir_fd(dest, &destFd)) {
        o.journal->keep();
        return e;
    }
    o.journal->stands_in(destFd->fd());
    errno = 0;
    if (!remove_tree(destFd->fd(), o.privateName)) {
        // A walk that found what it did not make (no errno) is the disk's.
        const OSErr e = from_errno(errno != 0 ? errno : EIO, Op::Delete, &dest);
        o.journal->keep();
        return e;
    }
    o.journal->end();
    return noErr;
}

}  // namespace vantrel::fm::folder_copy
