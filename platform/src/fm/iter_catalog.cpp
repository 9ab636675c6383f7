// Catalogue iterators over one directory (flat and delete mode).
//
// An iterator holds its own descriptor of the directory, opened relative to
// the directory's parent with O_NOFOLLOW, and reads entries in large
// getdents64 batches; each entry returned costs one statx relative to that
// descriptor, never a path (none at all for a file when only names and
// references are asked). A directory swapped for a link while it is being
// listed keeps being the directory that was opened.
//
// A walk keeps one iterator open per level, and a tree may be 10,000 levels
// deep: only the most recently used iterators (a budget from the descriptor
// limit) hold a descriptor and a buffer. The others give them up, remember
// where they were (the directory offset after the last entry they returned)
// and reopen when used again, through the directory cache (usually the ".."
// of the level just finished), checked to be the same directory.
#include "fm/iter_catalog.h"

#include <dirent.h>
#include <errno.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "fm/cat_appledir.h"
#include "fm/cat_info.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/iter_bulkdelete.h"
#include "fm/obj_commit.h"
#include "fm/ref_codec.h"
#include "fm/ref_dircache.h"
#include "fm/ref_fd.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/ref_places.h"
#include "vantrel/BulkDelete.h"
#include "vantrel/DiskNames.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSOpenIterator", "FSCloseIterator", "FSGetCatalogInfoBulk",
                         "FSGetCatalogInfoBulk.sidecars", "VantrelFSGetCatalogInfoBulkDiskNames",
                         "VantrelFSGetEntriesBulk", "VantrelFSBulkDeleteFiles",
                         "VantrelFSBulkDeleteFiles.scan");

struct OpaqueFSIterator {
    // A walk holds one of these per level of a tree that may be 10,000
    // deep: the small fields are kept together, with no padding between.
    vantrel::fm::Node dir;  // the directory (its parent's descriptor is not kept)
    vantrel::fm::DirFd fd;  // O_RDONLY descriptor read with getdents64; null while given up
    FSIteratorFlags flags = 0;
    int passes = 0;
    struct statx_timestamp mtime {
    }, ctime{};
    std::unique_ptr<char[]> buf;  // kBufSize bytes while a batch is read from it
    std::size_t pos = 0, end = 0;
    std::uint64_t resumeAt = 0;  // directory offset after the last entry taken from `buf`
    std::uint64_t readAt = 0;    // when `buf` was read (CLOCK_REALTIME, ns)
    long returnedThisPass = 0;
    std::int64_t lastCheckNs = 0;  // when its times were last compared (or it was opened)
    bool eof = false;
    bool listedRefs = false;     // directory entries' inode numbers are the files' own
    bool subvolumes = false;     // a folder listed may begin another subvolume
    bool prefetchIds = false;    // each batch read asks its items' table IDs at once
    bool changed = false;        // once the directory is seen changed, it stays so
    bool holding = false;        // among the iterators that hold a descriptor
    bool sidecarsTried = false;  // see `sidecars`
    std::mutex use;              // held while a call works on it; never given up then
    std::list<OpaqueFSIterator*>::iterator slot;
    // For the resource-fork sizes of a long listing: which names have a
    // "._NAME" (read once, whole; see sidecar_names).
    std::unique_ptr<std::unordered_set<std::string>> sidecars;
    // Whether the directory holds Netatalk 2's ".AppleDouble" (looked at
    // once, at the first item asked for a field it may give: -1 until then).
    int appleDouble = -1;
    long sized = 0;  // items whose resource-fork sizes were asked
    std::unique_ptr<vantrel::fm::BulkDeletes> deletes;  // once VantrelFSBulkDeleteFiles takes items
};

namespace vantrel::fm {
namespace {

std::atomic<long> g_open{0};

struct Registry {
    std::mutex mu;
    std::unordered_set<const OpaqueFSIterator*> live;
    std::list<OpaqueFSIterator*> holding;  // most recently used first
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

bool is_live(const OpaqueFSIterator* it) {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    return r.live.count(it) != 0;
}

using rsrc::linux_dirent64;

constexpr std::size_t kBufSize = std::size_t{32} * 1024;
// Items of a listing that look for their sidecars one by one before the
// directory's "._" names are read for the rest.
constexpr long kFewItems = 32;

std::int64_t monotonic_ns() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The iterator that last took the front of the holders (a walk asks for one
// item at a time from the same iterator: no need to move it each time).
std::atomic<const OpaqueFSIterator*> g_front{nullptr};

std::uint64_t realtime_ns() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000ull + std::uint64_t(now.tv_nsec);
}

// Gives up the descriptor and buffer of `it` (it reopens where it was).
void give_up_locked(Registry& r, OpaqueFSIterator* it) {
    r.holding.erase(it->slot);
    it->holding = false;
    it->fd.reset();
    it->buf.reset();
    it->pos = it->end = 0;
}

// `it` holds a descriptor now: first among the holders; the least recently
// used ones beyond the budget give theirs up (not one that a call is using).
void hold(OpaqueFSIterator* it) {
    const std::size_t budget = iterator_descriptor_budget();
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    g_front.store(it, std::memory_order_relaxed);
    if (it->holding) {
        r.holding.splice(r.holding.begin(), r.holding, it->slot);
    } else {
        r.holding.push_front(it);
        it->slot = r.holding.begin();
        it->holding = true;
    }
    auto victim = r.holding.end();
    while (r.holding.size() > budget && victim != r.holding.begin()) {
        --victim;
        OpaqueFSIterator* v = *victim;
        if (v == it || !v->use.try_lock()) continue;
        auto after = std::next(victim);
        give_up_locked(r, v);
        v->use.unlock();
        victim = after;
    }
}

// Opens the directory of `it` again after it gave its descriptor up, and
// goes back to where it was.
OSErr reopen(OpaqueFSIterator* it) {
    DirFd path;
    if (OSErr e = dir_fd(it->dir, &path)) return e == dirNFErr ? OSErr(fnfErr) : e;
    int fd = ::openat(path->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno, Op::OpenDir, &it->dir);
    auto h = std::make_shared<const DirHandle>(fd);
    struct statx st;
    if (stat_at(fd, "", AT_EMPTY_PATH, &st) != 0) return from_errno(errno, Op::OpenDir, &it->dir);
    const Identity was{std::uint64_t(it->dir.dev()), it->dir.st.stx_ino, it->dir.stamp(), false};
    if (!same_object(was, st)) return fnfErr;
    if (it->resumeAt != 0 && ::lseek(fd, off_t(it->resumeAt), SEEK_SET) < 0)
        return from_errno(errno, Op::OpenDir, &it->dir);
    it->buf.reset(new char[kBufSize]);
    it->pos = it->end = 0;
    it->fd = std::move(h);
    return noErr;
}

// What the file system `stat` describes (the mount `mnt` of device `dev`)
// tells, when it is one of the local ones we know: that its directory
// entries carry the files' own inode numbers (not so on every layered file
// system), so that a listing can make references without a stat, and that
// a file's list of attributes names every attribute a read would find; and
// whether a folder among its entries may begin another subvolume (btrfs),
// which only its own stat tells. Asked once per mount.
struct EntryKind {
    bool local = false;
    bool subvolumes = false;
};
EntryKind kind_of(std::uint64_t mnt, dev_t dev, const std::function<int(struct statfs*)>& stat) {
    static std::mutex mu;
    static std::map<std::pair<std::uint64_t, dev_t>, EntryKind> known;
    const auto key = std::make_pair(mnt, dev);
    if (mnt != 0) {
        std::lock_guard lk(mu);
        if (auto it = known.find(key); it != known.end()) return it->second;
    }
    constexpr unsigned long kBtrfs = 0x9123683Eul;
    struct statfs sf;
    EntryKind kind;
    if (stat(&sf) == 0) {
        const auto type = (unsigned long)(sf.f_type);
        for (unsigned long magic : {0xEF53ul, 0x58465342ul, kBtrfs, 0x01021994ul, 0xF2F52010ul})
            kind.local = kind.local || type == magic;
        kind.subvolumes = type == kBtrfs;
    } else {
        kind.subvolumes = true;  // not known: as careful as can be
    }
    if (mnt != 0) {
        std::lock_guard lk(mu);
        known.emplace(key, kind);
    }
    return kind;
}

EntryKind entries_of(int fd, const Node& dir) {
    return kind_of(dir.mnt, dir.dev(), [&](struct statfs* sf) { return ::fstatfs(fd, sf); });
}

OSErr ensure_open(OpaqueFSIterator* it) {
    if (it->fd && g_front.load(std::memory_order_relaxed) == it) return noErr;
    if (!it->fd)
        if (OSErr e = reopen(it)) return e;
    hold(it);
    return noErr;
}

bool same_time(const statx_timestamp& a, const statx_timestamp& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Clears a dead maker's temporary met by the listing (recovering its
// change, if it is a journal). That changes the folder, which is the
// listing's own doing and no change made while it was listed: where the
// folder had not changed before, its times after are taken as the
// listing's start. (A change by someone else during the clearing itself
// goes unreported, as one between two reads would.)
void clear_litter(OpaqueFSIterator* it, const char* name) {
    const int fd = it->fd->fd();
    struct statx st {};
    const bool unchanged = !it->changed &&
                           ::statx(fd, "", AT_EMPTY_PATH, STATX_MTIME | STATX_CTIME, &st) == 0 &&
                           same_time(st.stx_mtime, it->mtime) && same_time(st.stx_ctime, it->ctime);
    if (!commit::clear_litter(fd, name) || !unchanged) return;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MTIME | STATX_CTIME, &st) == 0) {
        it->mtime = st.stx_mtime;
        it->ctime = st.stx_ctime;
    }
}

// The node IDs of a batch just read that come from the volume's ID table,
// asked in one go: one query, one transaction for the new ones, where one
// by one each entry would cost a look-up and a new one a transaction.
// Folders are given new IDs here only where none can begin another
// subvolume (which only its own stat tells), and no "._" entry is (a
// sidecar is never an item).
void prefetch_ids(const OpaqueFSIterator* it) {
    std::vector<ListedIno> inos;
    for (std::size_t pos = it->pos; pos < it->end;) {
        const auto* d = reinterpret_cast<const linux_dirent64*>(it->buf.get() + pos);
        pos += d->d_reclen;
        if (d->d_name[0] == '.' && (d->d_name[1] == 0 || d->d_name[1] == '_' ||
                                    (d->d_name[1] == '.' && d->d_name[2] == 0)))
            continue;
        const bool known = d->d_type != DT_UNKNOWN && (d->d_type != DT_DIR || !it->subvolumes);
        inos.push_back(ListedIno{d->d_ino, known});
    }
    if (!inos.empty())
        prefetch_listed_ids(it->dir.vref, it->dir.dev(), subvol_of(it->dir.st), std::move(inos));
}

// The next entry's name (not "." or ".."), or nullptr at the end. In delete
// mode the directory is read once more from the start after a pass that
// returned items, so entries a file system moves while others are deleted are
// not missed; the number of passes is bounded.
const char* next_name(OpaqueFSIterator* it, int* err, unsigned char* type, std::uint64_t* ino) {
    for (;;) {
        while (it->pos < it->end) {
            auto* d = reinterpret_cast<linux_dirent64*>(it->buf.get() + it->pos);
            it->pos += d->d_reclen;
            it->resumeAt = std::uint64_t(d->d_off);
            if (d->d_name[0] == '.' &&
                (d->d_name[1] == 0 || (d->d_name[1] == '.' && d->d_name[2] == 0)))
                continue;
            if (rsrc::is_hidden_entry(it->fd->fd(), d->d_name, d->d_type)) {
                if (it->deletes) {
                    it->deletes->hidden_entry(d->d_name);
                } else if (d->d_name[2] == '.' && d->d_name[3] == '_') {
                    // "._._": a private temporary, litter once its maker died.
                    clear_litter(it, d->d_name);
                }
                continue;  // "._NAME": a resource fork, never an item
            }
            *type = d->d_type;
            *ino = d->d_ino;
            return d->d_name;
        }
        if (it->eof) return nullptr;
        if (!it->buf) it->buf.reset(new char[kBufSize]);  // given back when used up
        long n = ::syscall(SYS_getdents64, it->fd->fd(), it->buf.get(), kBufSize);
        if (n < 0) {
            *err = errno;
            return nullptr;
        }
        // Every entry of the batch existed by now: a listed reference made
        // from one never names an object born after this.
        it->readAt = realtime_ns();
        it->pos = 0;
        it->end = std::size_t(n);
        if (it->prefetchIds) prefetch_ids(it);
        if (n == 0) {
            if (it->flags == kFSIterateDelete && it->returnedThisPass > 0 && it->passes < 3 &&
                ::lseek(it->fd->fd(), 0, SEEK_SET) == 0) {
                ++it->passes;
                it->returnedThisPass = 0;
                it->resumeAt = 0;
                continue;
            }
            it->eof = true;
            return nullptr;
        }
    }
}

using rsrc::each_sidecar_entry;

// The names of the directory of `it` that have a "._NAME" entry, read
// after the iterator was opened: a sidecar made or removed since changes the
// directory, which the changed flag reports at the latest when the listing
// ends. Null when the directory could not be read again (each file then
// looks for itself).
std::unique_ptr<std::unordered_set<std::string>> sidecar_names(const OpaqueFSIterator* it) {
    return rsrc::sidecar_names(it->fd->fd(), "FSGetCatalogInfoBulk.sidecars", it->dir.name);
}

// Reads the whole directory of `it` once, from its start, for the "._"
// names in it, before anything goes by name. A fresh iterator keeps the
// read as its first batch when the directory fits in one (a small directory
// is read no more often than a listing reads it); otherwise it goes back to
// where it was. A failed read leaves every item to the careful way.
void scan_for_sidecars(OpaqueFSIterator* it) {
    BulkDeletes& deletes = *it->deletes;
    deletes.begin_scan();
    const int fd = it->fd->fd();
    const bool fresh = it->resumeAt == 0 && it->pos == 0 && it->end == 0 && it->passes == 0;
    if (!it->buf) it->buf.reset(new char[kBufSize]);
    std::unique_ptr<char[]> scratch;
    std::size_t firstBatch = 0;
    std::uint64_t firstReadAt = 0;
    bool whole = false;
    bool more = false;  // a batch with entries after the first
    {
        // A failure costs only the saving: every item goes the careful way.
        fault::Benign benign;
        if (fresh || ::lseek(fd, 0, SEEK_SET) == 0) {
            for (int batch = 0;; ++batch) {
                const bool own = fresh && batch == 0;
                if (!own && !scratch) scratch.reset(new char[kBufSize]);
                char* buf = own ? it->buf.get() : scratch.get();
                const long n = fault::step("VantrelFSBulkDeleteFiles.scan", it->dir.name, [&] {
                    return ::syscall(SYS_getdents64, fd, buf, kBufSize);
                });
                if (n < 0) break;
                if (n == 0) {
                    whole = true;
                    break;
                }
                if (own) {
                    firstBatch = std::size_t(n);
                    firstReadAt = realtime_ns();
                } else {
                    more = true;
                }
                each_sidecar_entry(buf, n, [&](const char* name) { deletes.scanned_entry(name); });
            }
        }
    }
    if (whole) deletes.end_scan();
    // The read that found the end returned nothing: only a second batch
    // with entries means the first one was not the whole directory.
    if (whole && fresh && firstBatch != 0 && !more) {
        it->pos = 0;  // the first batch was the whole directory: read on from it
        it->end = firstBatch;
        it->readAt = firstReadAt;
        return;
    }
    it->pos = it->end = 0;
    if (::lseek(fd, off_t(it->resumeAt), SEEK_SET) != off_t(it->resumeAt)) {
        deletes.begin_scan();  // nowhere to go back to: nothing goes by name
        it->eof = true;
    }
}

// Before an iterator that deleted items by name is released: sidecars made
// beside them since the directory was read are removed (its reads were cut
// short by a failure, so the directory is read once more for them).
void finish_deletes(OpaqueFSIterator* it) {
    if (!it->deletes || !it->deletes->deleted_any()) return;
    fault::Benign benign;
    if (it->fd || reopen(it) == noErr) (void)it->deletes->remove_late_sidecars(it->fd->fd(), true);
}

}  // namespace

bool lists_every_attribute(const Node& n) {
    return kind_of(n.mnt, n.dev(),
                   [&](struct statfs* sf) { return ::statfs(n.proc_path().c_str(), sf); })
        .local;
}

long open_iterator_count() noexcept {
    return g_open.load();
}

}  // namespace vantrel::fm

using namespace vantrel;
using namespace vantrel::fm;

OSErr FSOpenIterator(const FSRef* container, FSIteratorFlags iteratorFlags, FSIterator* iterator) {
    if (iterator == nullptr) return paramErr;
    if (iteratorFlags == kFSIterateSubtree) return errFSIteratorNotSupported;
    if (iteratorFlags != kFSIterateFlat && iteratorFlags != kFSIterateDelete)
        return errFSBadIteratorFlags;
    Node dir;
    DirFd h;
    // A directory a walk just met opens in one step; anything else (a root,
    // a file, a stale place, no right to read) the long way, which tells why.
    OSErr checkErr = noErr;
    const DirOpen fast = open_dir_ref(container, "FSOpenIterator", &dir, &h, &checkErr);
    if (fast == DirOpen::Failed) return checkErr;
    if (fast != DirOpen::Opened) {
        if (OSErr e = resolve(container, &dir)) return e;
        if (fast == DirOpen::Unsettled)
            if (OSErr e = fault::check("FSOpenIterator", dir.name)) return e;
        if (!dir.is_dir()) return errFSNotAFolder;
        int fd = ::openat(dir.at(), dir.root ? "." : dir.name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return from_errno(errno, Op::Resolve, &dir);  // gone or replaced: fnfErr
        h = std::make_shared<const DirHandle>(fd);
        struct statx st;
        if (stat_at(fd, "", AT_EMPTY_PATH, &st) != 0) return from_errno(errno, Op::OpenDir, &dir);
        if (!same_object(Identity{std::uint64_t(dir.dev()), dir.st.stx_ino, dir.stamp(), false},
                         st))
            return fnfErr;  // another directory took the name since it was resolved
        dir.st = st;
    }
    const int fd = h->fd();
    const struct statx& st = dir.st;
    auto* it = new (std::nothrow) OpaqueFSIterator;
    if (it == nullptr) return memFullErr;
    dir.parent.reset();  // not kept: one descriptor per open iterator at most
    it->dir = std::move(dir);
    it->fd = h;
    it->flags = iteratorFlags;
    it->mtime = st.stx_mtime;
    it->ctime = st.stx_ctime;
    it->buf.reset(new char[kBufSize]);
    it->lastCheckNs = monotonic_ns();
    const EntryKind kind = entries_of(fd, it->dir);
    it->listedRefs = kind.local;
    it->subvolumes = kind.subvolumes;
    cache_dir_fd(it->dir, h);
    {
        Registry& r = registry();
        std::lock_guard lk(r.mu);
        r.live.insert(it);
    }
    ++g_open;
    hold(it);
    *iterator = it;
    return noErr;
}

OSErr FSCloseIterator(FSIterator iterator) {
    if (iterator == nullptr) return paramErr;
    {
        Registry& r = registry();
        std::lock_guard lk(r.mu);
        if (r.live.erase(iterator) == 0) return errFSIteratorNotFound;
        if (iterator->holding) r.holding.erase(iterator->slot);
    }
    // Like close(2), the iterator is released even when a failure is reported.
    OSErr e = fault::check("FSCloseIterator", iterator->dir.name);
    finish_deletes(iterator);
    // The directory just finished is the most recently used: the level above
    // finds itself again through its "..".
    if (iterator->fd) cache_dir_fd(iterator->dir, iterator->fd);
    delete iterator;
    if (g_open.fetch_sub(1) == 1) trim_dir_cache();  // the walk is over
    return e;
}

namespace {

// FSGetCatalogInfoBulk, with the entries' own bytes in `diskNames` when asked
// (VantrelFSGetCatalogInfoBulkDiskNames); `op` names the call for the seam.
OSErr bulk(const char* op, FSIterator it, ItemCount maximumObjects, ItemCount* actualObjects,
           Boolean* containerChanged, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfos,
           FSRef* refs, FSSpec* specs, HFSUniStr255* names, VantrelDiskName* diskNames,
           bool unsearchable = false, bool deleting = false, Boolean* isFolder = nullptr,
           VantrelDeletedNameProc deleted = nullptr, void* context = nullptr) {
    if (it == nullptr || actualObjects == nullptr) return paramErr;
    if (!is_live(it)) return errFSIteratorNotFound;
    if (maximumObjects == 0) return errFSBadItemCount;
    if (OSErr e = fault::check(op, it->dir.name)) return e;
    std::lock_guard inUse(it->use);
    *actualObjects = 0;
    if (OSErr e = ensure_open(it)) return e;
    if (deleting && !it->deletes) {
        it->deletes = std::make_unique<BulkDeletes>();
        scan_for_sidecars(it);
    }
    // References and names alone (a plain listing) come straight from the
    // directory entries for everything but directories: no stat per file.
    // Disk names alone need no stat at all (a directory is registered only
    // for a reference to be made to it).
    const bool refsOnly = (catalogInfos == nullptr || whichInfo == 0) && specs == nullptr;
    const bool entriesOnly = refsOnly && refs == nullptr && names == nullptr;
    // Where entries carry the objects' own inode numbers, a batch's table
    // IDs are asked together (the references and node IDs handed out need
    // them; a deletion does not).
    it->prefetchIds = it->listedRefs && it->flags == kFSIterateFlat && !entriesOnly;
    Listing listing;
    listing.fullAttrLists = it->listedRefs;  // the same local file systems
    const bool sizes = catalogInfos != nullptr && (whichInfo & kFSCatInfoRsrcSizes) != 0 &&
                       it->flags == kFSIterateFlat;
    if (catalogInfos != nullptr &&
        (whichInfo & (kFSCatInfoUserPrivs | kFSCatInfoPermissions | kFSCatInfoUserAccess)))
        listing.euid = ::geteuid();
    // Only these fields may come from Netatalk 2's ".AppleDouble": a walk
    // asking for anything else (node flags, an ls -l line) never looks.
    const bool oldAppleDouble =
        catalogInfos != nullptr &&
        (whichInfo & (kFSCatInfoRsrcSizes | kFSCatInfoCreateDate | kFSCatInfoBackupDate |
                      kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo)) != 0;
    ItemCount count = 0;
    OSErr result = noErr;
    const char* name = nullptr;
    std::uint64_t ino = 0;
    // An item handed out by its name and reference alone, without looking
    // at it (asked for references only, or a folder that may be read but
    // not searched).
    auto handOutNameOnly = [&]() -> OSErr {
        if (names != nullptr)
            if (OSErr e = name_to_unicode(name, &names[count])) return e;
        if (refs != nullptr) make_listed_ref(it->dir, name, ino, it->readAt, &refs[count]);
        ++count;
        ++it->returnedThisPass;
        return noErr;
    };
    while (count < maximumObjects) {
        int err = 0;
        unsigned char type = DT_UNKNOWN;
        ino = 0;
        name = next_name(it, &err, &type, &ino);
        if (name == nullptr) {
            result = err != 0 ? from_errno(err, Op::OpenDir, &it->dir) : OSErr(errFSNoMoreItems);
            break;
        }
        if (deleting && it->deletes->delete_by_name(it->fd->fd(), name, type)) {
            ++it->returnedThisPass;  // gone: the directory is read again after this pass
            if (deleted != nullptr)
                deleted(reinterpret_cast<const UInt8*>(name), std::strlen(name), context);
            continue;
        }
        if (deleting && it->deletes->directory_in_file_place(name, type)) {
            result = notAFileErr;  // a folder under a listed file's name: not the item listed
            // Not handed out, but named, so that the refusal names it and
            // not the folder being emptied.
            if (diskNames != nullptr && count < maximumObjects) {
                const std::size_t len = std::strlen(name);
                VantrelDiskName& d = diskNames[count];
                d.length = len <= sizeof d.bytes ? static_cast<UInt8>(len) : 0;
                std::memcpy(d.bytes, name, d.length);
            }
            break;
        }
        if (deleting) it->deletes->handed_as_file(name, type);
        if (diskNames != nullptr) {
            // Longer than the record holds (a network or FUSE file system):
            // length 0, and the reference's own call gives it.
            const std::size_t len = std::strlen(name);
            VantrelDiskName& d = diskNames[count];
            d.length = len <= sizeof d.bytes ? static_cast<UInt8>(len) : 0;
            std::memcpy(d.bytes, name, d.length);
        }
        if (isFolder != nullptr) isFolder[count] = type == DT_DIR;
        if (entriesOnly) {
            ++count;
            ++it->returnedThisPass;
            continue;
        }
        if (refsOnly && (refs == nullptr || it->listedRefs) && type != DT_DIR &&
            type != DT_UNKNOWN) {
            if ((result = handOutNameOnly()) != noErr) break;
            continue;
        }
        struct statx st;
        if (stat_at(it->fd->fd(), name, 0, &st) != 0) {
            if (errno == ENOENT) continue;  // deleted since the directory was read
            if (errno == EACCES && unsearchable) {
                // The folder may be read but not searched: the entry is all
                // there is to tell (nodeID 0: not looked at).
                if (catalogInfos != nullptr) {
                    catalogInfos[count] = FSCatalogInfo{};
                    if (type == DT_DIR) catalogInfos[count].nodeFlags = kFSNodeIsDirectoryMask;
                }
                if ((result = handOutNameOnly()) != noErr) break;
                continue;
            }
            result = from_errno(errno, Op::Lookup, &it->dir);
            break;
        }
        if (isFolder != nullptr) isFolder[count] = S_ISDIR(st.stx_mode);
        Node child;
        child_node(it->dir, it->fd, name, st, &child);
        // A small directory's files look for their sidecars themselves; past
        // a few, the directory's "._" names are read once for all of them.
        if (sizes && !it->sidecarsTried && ++it->sized > kFewItems) {
            it->sidecarsTried = true;
            it->sidecars = sidecar_names(it);
        }
        listing.sidecars = it->sidecars.get();
        if (it->appleDouble < 0 && oldAppleDouble) {
            struct statx ad {};
            it->appleDouble = ::statx(it->fd->fd(), std::string(appledir::kFolderName).c_str(),
                                      AT_SYMLINK_NOFOLLOW, STATX_TYPE, &ad) == 0 &&
                              S_ISDIR(ad.stx_mode);
        }
        listing.appleDouble = it->appleDouble;
        OSErr e = fill_catalog_info(
            child, catalogInfos ? whichInfo : 0, catalogInfos ? &catalogInfos[count] : nullptr,
            names ? &names[count] : nullptr, specs ? &specs[count] : nullptr, nullptr, &listing);
        if (e != noErr) {
            result = e;
            break;
        }
        if (refs != nullptr) make_ref(child, &refs[count]);
        ++count;
        ++it->returnedThisPass;
    }
    if (containerChanged != nullptr) {
        // The directory's own times tell whether it changed since the
        // iterator was opened. Asked at its end and otherwise at most once a
        // millisecond (from the open), so a walk pays no stat per item, nor
        // one per small directory, for it.
        const std::int64_t nowNs = monotonic_ns();
        if (!it->changed && (result != noErr || nowNs - it->lastCheckNs >= 1'000'000)) {
            it->lastCheckNs = nowNs;
            struct statx st;
            if (::statx(it->fd->fd(), "", AT_EMPTY_PATH, STATX_MTIME | STATX_CTIME, &st) == 0) {
                auto same = [](const statx_timestamp& a, const statx_timestamp& b) {
                    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
                };
                it->changed = !same(st.stx_mtime, it->mtime) || !same(st.stx_ctime, it->ctime);
            }
        }
        *containerChanged = it->changed;
    }
    // The end: the last read (after every unlink, unless the passes ran out)
    // met the sidecars made beside deleted items since the first.
    if (deleting && result == errFSNoMoreItems)
        if (OSErr e = it->deletes->remove_late_sidecars(it->fd->fd(), it->returnedThisPass != 0))
            result = e;
    // A batch used up is read again into a new buffer: a walk keeps an
    // iterator open per level of a deep tree, each waiting for the level
    // below with nothing left in its buffer.
    if (it->pos >= it->end) {
        it->buf.reset();
        it->pos = it->end = 0;
    }
    *actualObjects = count;
    return result;
}

}  // namespace

OSErr FSGetCatalogInfoBulk(FSIterator it, ItemCount maximumObjects, ItemCount* actualObjects,
                           Boolean* containerChanged, FSCatalogInfoBitmap whichInfo,
                           FSCatalogInfo* catalogInfos, FSRef* refs, FSSpec* specs,
                           HFSUniStr255* names) {
    return bulk("FSGetCatalogInfoBulk", it, maximumObjects, actualObjects, containerChanged,
                whichInfo, catalogInfos, refs, specs, names, nullptr);
}

OSErr VantrelFSGetCatalogInfoBulkDiskNames(FSIterator it, ItemCount maximumObjects,
                                           ItemCount* actualObjects, Boolean* containerChanged,
                                           FSCatalogInfoBitmap whichInfo,
                                           FSCatalogInfo* catalogInfos, FSRef* refs,
                                           HFSUniStr255* names, VantrelDiskName* diskNames) {
    return bulk("VantrelFSGetCatalogInfoBulkDiskNames", it, maximumObjects, actualObjects,
                containerChanged, whichInfo, catalogInfos, refs, nullptr, names, diskNames, true);
}

OSErr VantrelFSGetEntriesBulk(FSIterator it, ItemCount maximumObjects, ItemCount* actualObjects,
                              Boolean* containerChanged, FSRef* refs, VantrelDiskName* diskNames,
                              Boolean* isFolder) {
    if (isFolder == nullptr) return paramErr;
    return bulk("VantrelFSGetEntriesBulk", it, maximumObjects, actualObjects, containerChanged,
                kFSCatInfoNone, nullptr, refs, nullptr, nullptr, diskNames, true, false, isFolder);
}

OSErr VantrelFSBulkDeleteFiles(FSIterator it, ItemCount maximumObjects, ItemCount* actualObjects,
                               FSRef* refs) {
    if (refs == nullptr) return paramErr;
    if (it != nullptr && is_live(it) && it->flags != kFSIterateDelete) return errFSBadIteratorFlags;
    return bulk("VantrelFSBulkDeleteFiles", it, maximumObjects, actualObjects, nullptr,
                kFSCatInfoNone, nullptr, refs, nullptr, nullptr, nullptr, false, true);
}

OSErr VantrelFSBulkDeleteFilesVisiting(FSIterator it, ItemCount maximumObjects,
                                       ItemCount* actualObjects, FSRef* refs,
                                       VantrelDiskName* diskNames, Boolean* isFolder,
                                       VantrelDeletedNameProc deleted, void* context) {
    if (refs == nullptr) return paramErr;
    if (it != nullptr && is_live(it) && it->flags != kFSIterateDelete) return errFSBadIteratorFlags;
    // The seam knows one bulk deletion: the same checks and steps, by that name.
    return bulk("VantrelFSBulkDeleteFiles", it, maximumObjects, actualObjects, nullptr,
                kFSCatInfoNone, nullptr, refs, nullptr, nullptr, diskNames, false, true, isFolder,
                deleted, context);
}
