// PBHCopyFileSync and VantrelFSCopyFileWhole: what they promise is on their
// declarations in vantrel/Files.h and vantrel/WholeCopy.h. One copy serves
// both; the second keeps everything cp -a keeps as well.
//
// The data goes by copy_file_range (a reflink or a server-side copy where
// the file system offers one), falling back to read and write; a file with
// holes keeps them. The copy is
// an O_TMPFILE in the destination directory, linked under its name with
// linkat only when complete; without O_TMPFILE, a named file made with
// O_EXCL and unlinked on failure; and inside a folder under a private name,
// which no one sees until it is named whole, made under its own name at
// once. The metadata record
// (user.org.netatalk.Metadata) is copied as an extended attribute; the
// resource fork's sidecar "._NAME" is copied whole under a private name and
// takes its own right after the copy (or the attribute of earlier versions
// is copied). An orphan
// sidecar at the new name is removed first, so that it cannot attach itself
// to the copy.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fm/cat_appledir.h"
#include "fm/cat_dates.h"
#include "fm/cat_info.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/obj_commit.h"
#include "fm/obj_fileid.h"
#include "fm/obj_foldercopy.h"
#include "fm/obj_place.h"
#include "fm/ref_fd.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/ref_pbnode.h"
#include "fm/vol_table.h"
#include "fullio.h"
#include "vantrel/WholeCopy.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBHCopyFileSync", "PBHCopyFileSync.create", "PBHCopyFileSync.write",
                         "PBHCopyFileSync.setxattr", "PBHCopyFileSync.chmod",
                         "PBHCopyFileSync.times", "PBHCopyFileSync.link", "PBHCopyFileSync.sidecar",
                         "PBHCopyFileSync.undo", "PBHCopyFileSync.withoutTmpfile",
                         "PBHCopyFileSync.chown", "PBHCopyFileSync.sidecars",
                         "VantrelFSCopyFileWhole", "VantrelFSCreateFolderCopy",
                         "VantrelFSCreateFolderCopy.sidecar", "VantrelFSCreateFolderCopy.create",
                         "VantrelFSFinishFolderCopy", "VantrelFSFinishFolderCopy.chown",
                         "VantrelFSFinishFolderCopy.chmod", "VantrelFSFinishFolderCopy.times",
                         "VantrelFSReplaceFileContents", "VantrelFSReplaceFileContents.replace",
                         "VantrelFSReplaceFileContents.sidecar",
                         "VantrelFSReplaceFileContents.undo");

// The copies of files with more than one name that a tree copy has made:
// the source's device and inode, the copy's reference and inode.
struct OpaqueVantrelFSCopyLinks {
    using Key = std::pair<dev_t, ino_t>;
    bool find(const Key& k, FSRef* ref, std::uint64_t* ino) {
        const std::lock_guard<std::mutex> hold(m);
        const auto it = copies.find(k);
        if (it == copies.end()) return false;
        *ref = it->second.first;
        *ino = it->second.second;
        return true;
    }
    void remember(const Key& k, const FSRef& ref, std::uint64_t ino) {
        const std::lock_guard<std::mutex> hold(m);
        copies[k] = {ref, ino};
    }
    std::mutex m;
    std::map<Key, std::pair<FSRef, std::uint64_t>> copies;
};

namespace {

using vantrel::fm::from_errno;
using vantrel::fm::Node;
using vantrel::fm::Op;
using vantrel::fm::UniqueFd;

// The record, the resource fork, and the full creation and backup dates
// that the record's 32-bit seconds cannot hold (before 1931, after 2038).
constexpr const char* kCopiedAttrs[] = {"user.org.netatalk.Metadata",
                                        "user.org.netatalk.ResourceFork", "user.org.vantrel.Dates",
                                        "user.org.vantrel.Metadata.extra"};

OSErr finish(CopyParam& p, OSErr err) {
    p.ioResult = err;
    return err;
}

// Copies `len` bytes of `in` to `out` from their offsets (all that is left
// of `in` when negative), with copy_file_range where the kernel and the
// file systems allow it, else through a buffer. 0 or an errno.
// `inKernel` as vantrel::io::copy has it.
int copy_bytes(int in, int out, off_t len, bool* inKernel) {
    return vantrel::io::copy(in, nullptr, out, nullptr,
                             len < 0 ? vantrel::io::kAll : std::uint64_t(len), inKernel) < 0
               ? errno
               : 0;
}

// Whether copy_file_range served the last copy between two file systems on
// this thread: the kernel refuses it across most pairs (ext4 to tmpfs,
// tmpfs to ext4), and a tree copy would otherwise be refused once a file.
struct KernelCopy {
    dev_t from = 0, to = 0;
    bool works = true;
};
thread_local KernelCopy t_kernelCopy;

// What to ask for a copy from `from` to `to`, and what to remember of it.
class KernelCopyMemo {
  public:
    KernelCopyMemo(dev_t from, dev_t to) : from_(from), to_(to) {
        if (t_kernelCopy.from == from && t_kernelCopy.to == to) works_ = t_kernelCopy.works;
    }
    ~KernelCopyMemo() { t_kernelCopy = KernelCopy{from_, to_, works_}; }
    KernelCopyMemo(const KernelCopyMemo&) = delete;
    KernelCopyMemo& operator=(const KernelCopyMemo&) = delete;
    bool* flag() { return &works_; }

  private:
    dev_t from_, to_;
    bool works_ = true;
};

// Copies every byte of `in` to `out`. A file with holes (`st`, its statx,
// has fewer blocks than its length needs) keeps them, as cp -a keeps them:
// only its data is copied, and the copy is given the same length, so a
// sparse disk image does not fill the disk it is copied to.
int copy_data(int in, int out, const struct statx* st = nullptr, bool* inKernel = nullptr) {
    if (st == nullptr || std::uint64_t(st->stx_blocks) * 512 >= st->stx_size)
        return copy_bytes(in, out, -1, inKernel);
    std::uint64_t reached = 0;
    const int rc = vantrel::io::each_data_run(
        in, 0, vantrel::io::kAll, [&](std::uint64_t at, std::uint64_t len) {
            auto inAt = std::int64_t(at), outAt = std::int64_t(at);
            const std::int64_t n = vantrel::io::copy(in, &inAt, out, &outAt, len, inKernel);
            if (n < 0) return errno;
            reached = at + std::uint64_t(n);
            return 0;
        });
    if (rc != 0) return rc < 0 ? errno : rc;
    // The holes at the end: the length the file has (or had grown to).
    const off_t end = std::max(off_t(st->stx_size), off_t(reached));
    return ::ftruncate(out, end) == 0 ? 0 : errno;
}

// Whether the listing `names` (`size` bytes of NUL-terminated names, as
// flistxattr gives them) holds `name`.
bool listed(const std::vector<char>& names, std::size_t size, std::string_view name) {
    for (std::size_t i = 0; i < size;) {
        const std::string_view here(names.data() + i);
        if (here == name) return true;
        i += here.size() + 1;
    }
    return false;
}

// What a copy takes from its source beyond the data fork, the File
// Manager's own attributes and the mode's permission bits.
enum class Keep {
    MacAttrs,  // no more (PBHCopyFileSync)
    All,       // everything cp -a keeps (VantrelFSCopyFileWhole)
};

// Copies extended attributes of `in` to `out`, read from the descriptor the
// data comes from, so that they are that file's whatever has taken its name
// since it was opened; one listing tells which there are, and only those
// are read (most files have none). 0 or an errno.
struct CopiedAttrs {
    std::vector<char> names;  // the source's list (flistxattr)
    std::size_t listed = 0;   // its bytes
    // The bytes of the metadata record, of the entries kept beside it and of
    // the precise dates, as copied; empty where the source has none.
    std::string record, extra, dates;
    bool others = false;  // any other attribute was set (an ACL may change the mode)
    std::string failed;   // the attribute whose copy failed, for the caller's message
    std::vector<char> value = std::vector<char>(4096);
};

// Copies the attribute `name`. One of the File Manager's own (`own`) must
// be copied; another that the kernel refuses to this caller (trusted.,
// security. without the right) or that this file system lacks is not the
// copy's, as cp -a leaves it out.
int copy_attr(int in, int out, const char* name, bool own, CopiedAttrs* copied) {
    std::vector<char>& value = copied->value;
    for (;;) {
        const ssize_t got = vantrel::fault::step("PBHCopyFileSync.write", name, [&] {
            return ::fgetxattr(in, name, value.data(), value.size());
        });
        if (got < 0 && errno == ERANGE) {
            const ssize_t size = ::fgetxattr(in, name, nullptr, 0);
            if (size < 0) return errno;
            value.resize(static_cast<std::size_t>(size));
            continue;  // it may grow again in between
        }
        if (got < 0 && errno == ENODATA) return 0;  // removed since the listing
        if (got < 0 && !own && (errno == EPERM || errno == EACCES)) return 0;
        if (got < 0) {
            copied->failed = name;
            return errno;
        }
        if (vantrel::fault::step("PBHCopyFileSync.setxattr", name, [&] {
                return ::fsetxattr(out, name, value.data(), static_cast<std::size_t>(got), 0);
            }) != 0) {
            // Refused to this caller, as cp -a leaves it out. One the
            // destination cannot hold (no such attributes there, or no
            // room) is the copy's failure: a copy without it would be less
            // than its source, and a move would then delete what it lost.
            if (!own && errno == EPERM) return 0;
            copied->failed = name;
            return errno;
        }
        const std::string_view n(name);
        std::string* keptAs = n == vantrel::fm::meta::kMetadataAttr ? &copied->record
                              : n == vantrel::fm::meta::kExtraAttr  ? &copied->extra
                              : n == vantrel::fm::kPreciseDatesAttr ? &copied->dates
                                                                    : nullptr;
        if (keptAs != nullptr) keptAs->assign(value.data(), static_cast<std::size_t>(got));
        if (!own) copied->others = true;
        return 0;
    }
}

// The File Manager's own attributes (kCopiedAttrs) that the source has.
// A file that a listing found with none, and whose change time is the same
// now (`looked`: the look at `in`), has none still: an attribute set or
// removed since would have moved it. It is not listed again.
int copy_mac_attrs(int in, int out, CopiedAttrs* copied, const struct statx* looked = nullptr) {
    if (looked != nullptr && vantrel::fm::meta::had_no_attrs(*looked)) {
        copied->listed = 0;
        return 0;
    }
    std::vector<char>& names = copied->names;
    names.resize(1024);
    ssize_t listedSize;
    for (;;) {
        listedSize = vantrel::fault::step("PBHCopyFileSync.write", "listxattr", [&] {
            return ::flistxattr(in, names.data(), names.size());
        });
        if (listedSize >= 0) break;
        if (errno == ENOTSUP) return 0;  // a file system without them has none
        if (errno != ERANGE) return errno;
        const ssize_t need = ::flistxattr(in, nullptr, 0);
        if (need < 0) return errno;
        names.resize(static_cast<std::size_t>(need) + 1);  // it grew in between: ask again
    }
    copied->listed = static_cast<std::size_t>(listedSize);
    for (const char* name : kCopiedAttrs) {
        if (!listed(names, copied->listed, name)) continue;
        if (int err = copy_attr(in, out, name, true, copied)) return err;
    }
    return 0;
}

// Every other attribute of the source's list.
int copy_other_attrs(int in, int out, CopiedAttrs* copied) {
    for (std::size_t i = 0; i < copied->listed;) {
        const std::string name(copied->names.data() + i);
        i += name.size() + 1;
        if (std::find_if(std::begin(kCopiedAttrs), std::end(kCopiedAttrs),
                         [&](const char* own) { return name == own; }) != std::end(kCopiedAttrs))
            continue;
        // Kept with the record it belongs to, never on its own.
        if (name == vantrel::fm::meta::kCorruptAttr) continue;
        if (int err = copy_attr(in, out, name.c_str(), false, copied)) return err;
    }
    return 0;
}

// What the directory holding `src` may hold beside it: a "._NAME" for it,
// and Netatalk 2's ".AppleDouble" (whose entry for the file would be left
// behind by a copy). Each is false only where a reading of the directory,
// as it still stands (the same directory, modification and change times),
// found none. A tree copy asks this of every file of a folder in turn: one
// reading of the folder instead of a search of its index per file and per
// question, where most files have no fork and most folders no
// ".AppleDouble". A sidecar or ".AppleDouble" made since changes the
// folder's times, and the folder is read again; one made while it was read
// shows at the next file's asking. An entry made inside an ".AppleDouble"
// leaves the folder's times alone: where there is one, each file looks for
// its entry itself.
struct SourceFolder {
    bool sidecar = true;
    bool appleDouble = true;
};

SourceFolder source_folder(const Node& src) {
    struct Reading {
        dev_t dev = 0;
        ino_t ino = 0;
        struct statx_timestamp mtime {
        }, ctime{};
        std::unique_ptr<std::unordered_set<std::string>> names;
        bool appleDouble = true;
    };
    thread_local Reading last;
    struct statx d {};
    if (src.root ||
        ::statx(src.at(), "", AT_EMPTY_PATH, STATX_INO | STATX_MTIME | STATX_CTIME, &d) != 0)
        return {};
    const auto same = [](const struct statx_timestamp& a, const struct statx_timestamp& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    // A folder changed in the last moments may change again without its
    // times showing it: each file looks for itself until the folder has
    // settled.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool wholeSeconds = d.stx_mtime.tv_nsec == 0 && d.stx_ctime.tv_nsec == 0;
    if (!vantrel::fm::stamped_before(d.stx_mtime, wholeSeconds, now) ||
        !vantrel::fm::stamped_before(d.stx_ctime, wholeSeconds, now))
        return {};
    const dev_t dev = makedev(d.stx_dev_major, d.stx_dev_minor);
    if (!last.names || last.dev != dev || last.ino != d.stx_ino || !same(last.mtime, d.stx_mtime) ||
        !same(last.ctime, d.stx_ctime)) {
        // The times are those from before the reading: a change during it
        // makes them stale, and the next file reads the folder again.
        last.names =
            vantrel::fm::rsrc::sidecar_names(src.at(), "PBHCopyFileSync.sidecars", src.name);
        // A file or link under that name is no ".AppleDouble"; a failed
        // look is taken for one, and each file then looks for itself.
        struct statx ad {};
        last.appleDouble =
            ::statx(src.at(), std::string(vantrel::fm::appledir::kFolderName).c_str(),
                    AT_SYMLINK_NOFOLLOW, STATX_TYPE, &ad) == 0
                ? S_ISDIR(ad.stx_mode)
                : errno != ENOENT;
        last.dev = dev;
        last.ino = d.stx_ino;
        last.mtime = d.stx_mtime;
        last.ctime = d.stx_ctime;
    }
    return {!last.names || last.names->count(src.name) != 0, last.appleDouble};
}

// Gives the copy `out` (being made as `name`) the creation date `created`
// that its source shows as its birth: in the precise dates alone, the
// smallest thing that holds it (17 bytes, which fit in an ext4 inode beside
// a small file's other attributes), and no metadata record the source never
// had. Where the attribute cannot be set (no such attributes there, no room
// left by the source's own, a full disk or quota, or any other refusal),
// the copy is made without it, as cp -a makes every copy, and `*notKept` is
// the errno that said so, for the caller to name: a date cp -a keeps
// neither is no reason to refuse a copy.
void keep_creation_date(int out, const std::string& name, const UTCDateTime& created,
                        const CopiedAttrs& copied, int* notKept) {
    const std::string dates = vantrel::fm::precise_dates_created(created, copied.dates);
    const vantrel::fault::Benign benign;  // see above: the copy goes on
    if (vantrel::fault::step("PBHCopyFileSync.setxattr", name, [&] {
            return ::fsetxattr(out, vantrel::fm::kPreciseDatesAttr, dates.data(), dates.size(), 0);
        }) != 0)
        *notKept = errno;
}

// Whether the record's bytes give a creation date of their own (a copy of
// them then keeps it; otherwise the copy would show its own birth).
bool record_has_creation_date(const std::string& bytes) {
    vantrel::fm::meta::Record r;
    std::int32_t s;
    return vantrel::fm::meta::decode(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     bytes.size(), &r) &&
           vantrel::fm::meta::get_date(r, vantrel::fm::meta::kCreate, &s);
}

// A copy is born now: where its source's creation date is its birth (`st`:
// its attributes, as copied, give none, and its file system keeps births),
// the copy `out` (as made: `made`) keeps it, last, in the room the source's
// own attributes left, unless it shows the same already. Written before
// the copy has its mode or its name, as everything else: nothing is done
// to the name once it is the copy's. `*notKept` as keep_creation_date says.
void keep_birth(int out, const std::string& name, const struct statx& st, const struct statx& made,
                const CopiedAttrs& copied, int* notKept) {
    if (!(st.stx_mask & STATX_BTIME) || record_has_creation_date(copied.record) ||
        vantrel::fm::precise_dates_have_creation(copied.dates))
        return;
    // What the copy would show: its own birth, or where its file system
    // keeps none its modification time, which is the source's.
    const struct statx_timestamp& born =
        (made.stx_mask & STATX_BTIME) ? made.stx_btime : st.stx_mtime;
    const UTCDateTime shows = vantrel::fm::utc_from_timespec(born.tv_sec, born.tv_nsec);
    const UTCDateTime created = vantrel::fm::born_date(st);
    if (shows.highSeconds != created.highSeconds || shows.lowSeconds != created.lowSeconds ||
        shows.fraction != created.fraction)
        keep_creation_date(out, name, created, copied, notKept);
}

// Gives the O_TMPFILE `fd` the name `name` in `dirFd`. By the descriptor
// itself where the caller may (CAP_DAC_READ_SEARCH): no walk through /proc.
int link_tmpfile(int fd, int dirFd, const std::string& name) {
    static std::atomic<bool> byDescriptor{true};  // until the kernel refuses it once
    if (byDescriptor.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM) return -1;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int rc = ::linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW);
    // Refused by descriptor, allowed by path: this caller lacks the right.
    if (rc == 0) byDescriptor.store(false, std::memory_order_relaxed);
    return rc;
}

// Whether the folder `dest` (open as `destFd`) lies within a folder under a
// private name, as commit::within_private_folder tells. A tree copy asks it
// of every file it makes: for a folder of a copy this process is making,
// the answer is kept for as long as that descriptor of it stays open and
// no copy has taken its name since (only then can a private folder of
// ours become one that everyone sees), so that a folder of a hundred files
// reads its path once instead of a hundred times. Any other folder is
// asked each time.
bool within_private_folder(const Node& dest, const vantrel::fm::DirFd& destFd) {
    namespace folder_copy = vantrel::fm::folder_copy;
    if (!folder_copy::inside(dest)) return vantrel::fm::commit::within_private_folder(destFd->fd());
    struct Answer {
        std::weak_ptr<const vantrel::fm::DirHandle> dir;
        std::uint64_t named = 0;
        bool within = false;
    };
    thread_local Answer last;
    const std::uint64_t named = folder_copy::named_count();
    if (last.named == named && last.dir.lock() == destFd) return last.within;
    const bool within = vantrel::fm::commit::within_private_folder(destFd->fd());
    last = Answer{destFd, named, within};
    return within;
}

// What made a copy fail: the errno of the failing call, and the attribute
// being copied then.
struct Why {
    int err = 0;
    std::string attr;
    // On success too: the errno that kept the source's creation date off
    // the copy, 0 when it was kept or there was none to keep.
    int creationNotKept = 0;
};

// A copy that takes the place of an existing file (`target`, in the
// copy's folder under the copy's name): it gets the target's place
// metadata (`place`, read before the copy began) instead of the source's,
// and replaces the target in one rename.
struct Replacing {
    const Node* target = nullptr;
    vantrel::fm::PlaceMeta place;
};

OSErr place_replacement(const Node& dest, const vantrel::fm::DirFd& destFd, const std::string& name,
                        const Replacing& r, const std::string& tempName, int side,
                        const std::string& sideTemp, const struct statx& linkedSt, FSRef* newRef,
                        Why* why, bool* committed);

// Copies the regular file `src` into the directory `dest` as `name`,
// keeping what `keep` says; the copy's reference in `newRef` (may be null),
// and where it fails, why in `why`. With `replacing`, the copy takes the
// place of the file under `name` (see Replacing).
OSErr copy_file(const Node& src, const Node& dest, const std::string& name, Keep keep,
                OpaqueVantrelFSCopyLinks* links, FSRef* newRef, Why* why,
                const Replacing* replacing = nullptr) {
    // The system's own word on a failure, kept before anything else can
    // change errno.
    auto said = [&](int err, Op op, const Node* n) {
        why->err = err;
        return from_errno(err, op, n);
    };
    const bool whole = keep == Keep::All;
    if (!S_ISREG(src.st.stx_mode)) return notAFileErr;
    const SourceFolder beside = whole ? source_folder(src) : SourceFolder{};
    if (beside.appleDouble) {
        if (OSErr e = vantrel::fm::appledir::refuse_parting(src)) return e;
    }
    if (!dest.is_dir()) return dirNFErr;
    vantrel::fm::DirFd destFd;
    if (OSErr err = vantrel::fm::dir_fd(dest, &destFd)) return err;

    // A copy leaves its source as it was, its access time too: a move that
    // is killed half-way, or a copy that fails, must not have used it.
    UniqueFd in = vantrel::fm::rsrc::open_unseen(src.at(), src.name.c_str(), O_RDONLY | O_NOFOLLOW);
    if (!in) return said(errno, Op::Read, &src);
    struct statx st {};
    if (::statx(in.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return said(errno, Op::Read, &src);
    if (st.stx_ino != src.st.stx_ino || !S_ISREG(st.stx_mode))
        return fnfErr;  // replaced since resolved
    const mode_t mode = st.stx_mode & 0777;
    const bool replace = replacing != nullptr;
    // Who the copy and its fork belong to, and the fork's mode: the
    // source's, or where the copy replaces a file, that file's.
    const uid_t ownerUid = replace ? replacing->place.uid : st.stx_uid;
    const gid_t ownerGid = replace ? replacing->place.gid : st.stx_gid;
    const mode_t sideMode = 0666 & (replace ? replacing->place.mode : mode);
    // Another name of a file this tree copy has copied: a new name of that
    // copy (opened by its path, so that it is never followed through a link).
    const bool multiple = links != nullptr && st.stx_nlink > 1;
    const auto key = std::make_pair(makedev(st.stx_dev_major, st.stx_dev_minor), ino_t(st.stx_ino));
    UniqueFd earlier;
    struct statx earlierSt {};
    if (multiple) {
        FSRef copyRef{};
        std::uint64_t copyIno = 0;
        if (links->find(key, &copyRef, &copyIno)) {
            Node copy;
            if (vantrel::fm::resolve(&copyRef, &copy) == noErr && copy.st.stx_ino == copyIno)
                earlier = UniqueFd(
                    ::openat(copy.at(), copy.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            // Gone or replaced since: the file is copied anew.
            if (earlier &&
                (::statx(earlier.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &earlierSt) != 0 ||
                 earlierSt.stx_ino != copyIno || !S_ISREG(earlierSt.stx_mode) ||
                 earlierSt.stx_dev_major != dest.st.stx_dev_major ||
                 earlierSt.stx_dev_minor != dest.st.stx_dev_minor))
                earlier = UniqueFd();
        }
    }
    const bool linking = bool(earlier);
    namespace rsrc = vantrel::fm::rsrc;
    rsrc::Sidecar srcSide;
    if (beside.sidecar) {
        if (OSErr err = rsrc::open(src.at(), src.name, false, &srcSide)) return err;
    }
    std::string sideName;
    const bool sideFits = rsrc::sidecar_name(name, &sideName);
    if (srcSide.found() && !sideFits) return errFSNameTooLong;
    if (srcSide.found()) {
        if (OSErr err = rsrc::place_taken(destFd->fd(), name)) return err;
    }

    // Within a folder no one sees yet (a tree copy's, under a private name)
    // the copy and its fork are made under their final names at once: what
    // a kill leaves there is never seen, and goes with the folder. That
    // saves the unnamed file's two trips through the file system's orphan
    // list, the journal and the folder's lock.
    const bool direct = !replace && !linking && within_private_folder(dest, destFd);

    // Refuse early when the name is taken; the final link refuses again if
    // another program takes it meanwhile. Only then may a "._NAME" there be
    // taken for an orphan and cleared. (A copy made under its name at once
    // is refused by its O_EXCL.)
    struct stat existing {};
    if (!replace && !direct &&
        ::fstatat(destFd->fd(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return dupFNErr;

    bool named = false;    // made under the private name `tempName` (no O_TMPFILE here)
    std::string tempName;  // the data's, then the sidecar's while it has one
    std::string sideTemp;
    // The copy is made writable by its maker and gets its mode last (where
    // the mode it was made with is not already it): extended attributes of
    // a file its owner may not write cannot be set.
    const mode_t making = mode | S_IWUSR;
    // Tests take the path of file systems without O_TMPFILE through an override.
    const bool tmpfile = !vantrel::fault::override_value("PBHCopyFileSync.withoutTmpfile");
    UniqueFd out;
    bool linked = false;  // the data has its final name
    if (linking) {
        out = std::move(earlier);
    } else if (direct) {
        out = UniqueFd(vantrel::fault::step("PBHCopyFileSync.create", name, [&] {
            return ::openat(destFd->fd(), name.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, making);
        }));
        if (!out) return said(errno, Op::Create, &dest);
        linked = true;
    } else {
        out = UniqueFd(vantrel::fault::step("PBHCopyFileSync.create", name, [&] {
            if (!tmpfile) {
                errno = EOPNOTSUPP;
                return -1;
            }
            return ::openat(destFd->fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, making);
        }));
    }
    if (!out) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return said(errno, Op::Create, &dest);
        // No unnamed files here: a private name no item can have, renamed
        // to the copy's at the end, so a half-made copy is never seen.
        tempName = vantrel::fm::commit::private_name();
        out = UniqueFd(vantrel::fault::step("PBHCopyFileSync.create", name, [&] {
            return ::openat(destFd->fd(), tempName.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, making);
        }));
        if (!out) return said(errno, Op::Create, &dest);
        vantrel::fm::commit::hold_temporary(out.get());
        named = true;
    }
    bool sideMade = false;
    struct stat sideSt {};  // the sidecar this copy made
    // Takes back a name this copy gave, only while it still names what the
    // copy made: another program may have renamed a file of its own onto it.
    auto takeBack = [&](const std::string& what, const struct stat& mine) {
        struct stat now {};
        if (::fstatat(destFd->fd(), what.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_dev != mine.st_dev || now.st_ino != mine.st_ino)
            return;
        vantrel::fault::step("PBHCopyFileSync.undo", what,
                             [&] { return ::unlinkat(destFd->fd(), what.c_str(), 0); });
    };
    auto undo = [&] {
        if (sideMade) takeBack(sideName, sideSt);
        if (!sideTemp.empty()) takeBack(sideTemp, sideSt);
        struct stat outSt {};
        if ((named || linked) && ::fstat(out.get(), &outSt) == 0)
            takeBack(linked ? name : tempName, outSt);
    };
    CopiedAttrs copied;
    auto fail = [&](int err, Op op) {
        undo();
        why->attr = copied.failed;
        if (err == 0) return OSErr{ioErr};
        // More than the file system holds for one file's attributes.
        if (err == E2BIG && !copied.failed.empty()) {
            why->err = err;
            return OSErr{dskFulErr};
        }
        return said(err, op, &dest);
    };

    // The data, its attributes and its mode, on a file of its own: none of
    // it where this is another name of a copy already made.
    bool owned = linking && earlierSt.stx_uid == st.stx_uid && earlierSt.stx_gid == st.stx_gid;
    KernelCopyMemo kernelCopy(key.first, dest.dev());
    auto makeData = [&]() -> OSErr {
        if (int err = vantrel::fault::check_errno("PBHCopyFileSync.write", name))
            return fail(err, Op::Write);
        if (int err = copy_data(in.get(), out.get(), &st, kernelCopy.flag()))
            return fail(err, Op::Write);
        // What the copy was made with: its owner, mode (the umask and a folder's
        // default ACL have a say) and birth.
        struct statx made {};
        if (::statx(out.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &made) != 0)
            return fail(errno, Op::Write);
        // The owner and group first: a change of owner takes the set-ID bits and
        // file capabilities off, and the attributes below bring the latter back.
        // A caller that may not give the copy away keeps it, without set-ID
        // bits, as cp -a does.
        owned = made.stx_uid == ownerUid && made.stx_gid == ownerGid;
        if (replace) {
            // The file it replaces keeps its owner, or is not replaced.
            if (!owned && vantrel::fault::step("PBHCopyFileSync.chown", name, [&] {
                              return ::fchown(out.get(), ownerUid, ownerGid);
                          }) != 0)
                return fail(errno, Op::Write);
            owned = true;
            // Of the source's attributes only the fork kept by earlier
            // versions is contents; everything else is the replaced file's.
            if (::fgetxattr(in.get(), vantrel::fm::meta::kResourceForkAttr, nullptr, 0) >= 0)
                if (int err = copy_attr(in.get(), out.get(), vantrel::fm::meta::kResourceForkAttr,
                                        true, &copied))
                    return fail(err, Op::Write);
            if (int err = vantrel::fm::give_place(out.get(), made, *replacing->target,
                                                  replacing->place, "PBHCopyFileSync.setxattr"))
                return fail(err, Op::Write);
            if (vantrel::fault::step("PBHCopyFileSync.chmod", name, [&] {
                    return ::fchmod(out.get(), replacing->place.mode);
                }) != 0)
                return fail(errno, Op::Write);
            return noErr;
        }
        if (whole && !owned) {
            if (vantrel::fault::step("PBHCopyFileSync.chown", name, [&] {
                    return ::fchown(out.get(), st.stx_uid, st.stx_gid);
                }) == 0) {
                owned = true;
            } else if (errno != EPERM && errno != EINVAL) {
                return fail(errno, Op::Write);
            }
        }
        if (int err = copy_mac_attrs(in.get(), out.get(), &copied, &st))
            return fail(err, Op::Write);
        if (whole) {
            if (int err = copy_other_attrs(in.get(), out.get(), &copied))
                return fail(err, Op::Write);
            keep_birth(out.get(), name, st, made, copied, &why->creationNotKept);
        }
        const mode_t finalMode = whole && owned ? (st.stx_mode & 07777) : mode;
        if ((copied.others || (made.stx_mode & 07777) != finalMode) &&
            vantrel::fault::step("PBHCopyFileSync.chmod", name,
                                 [&] { return ::fchmod(out.get(), finalMode); }) != 0)
            return fail(errno, Op::Write);
        return noErr;
    };
    if (!linking) {
        if (OSErr e = makeData()) return e;
    }
    // The fork is made whole where no one sees it: unnamed (O_TMPFILE), or
    // under a private name. It takes its final name only under the folder's
    // lock, right after its file takes its own: no other change of ours can
    // take it for an orphan meanwhile, and a crash between the two is
    // finished by the next listing (see rsrc::begin_naming). In a private
    // folder no one sees either, and it is made under its name at once.
    UniqueFd side;
    if (srcSide.found() && direct) {
        side = UniqueFd(vantrel::fault::step("PBHCopyFileSync.sidecar", sideName, [&] {
            return ::openat(destFd->fd(), sideName.c_str(),
                            O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, sideMode);
        }));
        if (!side) return fail(errno, Op::Create);
        if (::fstat(side.get(), &sideSt) != 0) {
            const int err = errno;
            (void)::unlinkat(destFd->fd(), sideName.c_str(), 0);  // benign: in a private folder
            return fail(err, Op::Create);
        }
        sideMade = true;
    } else if (srcSide.found()) {
        side = UniqueFd(vantrel::fault::step("PBHCopyFileSync.sidecar", sideName, [&] {
            if (!tmpfile) {
                errno = EOPNOTSUPP;
                return -1;
            }
            return ::openat(destFd->fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, sideMode);
        }));
        if (!side) {
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
                return fail(errno, Op::Create);
            sideTemp = vantrel::fm::commit::private_name();
            side = UniqueFd(vantrel::fault::step("PBHCopyFileSync.sidecar", sideName, [&] {
                return ::openat(destFd->fd(), sideTemp.c_str(),
                                O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, sideMode);
            }));
            if (!side) {
                sideTemp.clear();
                return fail(errno, Op::Create);
            }
            vantrel::fm::commit::hold_temporary(side.get());
            if (::fstat(side.get(), &sideSt) != 0) return fail(errno, Op::Create);
        }
    }
    if (side) {
        if (int err = vantrel::fault::check_errno("PBHCopyFileSync.sidecar", sideName))
            return fail(err, Op::Write);
        // A fork with holes keeps them, as the data does: a sparse 1 GiB
        // fork that takes a few KiB must not fill the disk it goes to.
        struct statx sideSrcSt {};
        if (::statx(srcSide.fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sideSrcSt) != 0)
            return fail(errno, Op::Read);
        if (int err = copy_data(srcSide.fd.get(), side.get(), &sideSrcSt, kernelCopy.flag()))
            return fail(err, Op::Write);
        // A fork goes with its file: the same owner, and its file's mode
        // without execute or set-ID bits, as the catalogue sets it. One made
        // under its name was looked at when made: what it has already (most
        // often all of it) is not given again.
        const bool looked = sideSt.st_ino != 0;
        const bool hasOwner = looked && sideSt.st_uid == ownerUid && sideSt.st_gid == ownerGid;
        const bool hasMode = looked && (sideSt.st_mode & 07777) == sideMode;
        if (owned && vantrel::fault::step("PBHCopyFileSync.chown", sideName, [&] {
                         return (!hasOwner && ::fchown(side.get(), ownerUid, ownerGid) != 0) ||
                                        (!hasMode && ::fchmod(side.get(), sideMode) != 0)
                                    ? -1
                                    : 0;
                     }) != 0)
            return fail(errno, Op::Write);
    }
    // The access time is the name's where the copy replaces a file; the
    // modification time is always the contents'.
    const struct statx_timestamp& atime = replace ? replacing->place.atime : st.stx_atime;
    const timespec times[2] = {{atime.tv_sec, atime.tv_nsec},
                               {st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec}};
    if (!linking && vantrel::fault::step("PBHCopyFileSync.times", name,
                                         [&] { return ::futimens(out.get(), times); }) != 0)
        return fail(errno, Op::Write);
    // The copy's reference, from the descriptor that made it: no lookup,
    // and nothing that could fail once the copy has its name.
    struct statx linkedSt {};
    if ((newRef != nullptr || multiple || replace) &&
        ::statx(out.get(), "", AT_EMPTY_PATH, vantrel::fm::kStatxMask, &linkedSt) != 0)
        return fail(errno, Op::Write);

    // The copy's reference, and where its source has other names, the
    // record that finds it for them.
    auto known = [&] {
        if (newRef == nullptr && !(multiple && !linking)) return;
        Node copy;
        vantrel::fm::child_node(dest, destFd, name, linkedSt, &copy);
        FSRef made;
        vantrel::fm::make_ref(copy, &made);
        if (newRef != nullptr) *newRef = made;
        if (multiple && !linking) links->remember(key, made, linkedSt.stx_ino);
    };
    if (direct) {  // the names are its own already
        known();
        return noErr;
    }

    // With a fork, or in another file's place, the names are settled from
    // here to the end under the folder's lock: the file's, then its sidecar's. A file without one
    // takes its name in one system call that refuses a name taken
    // meanwhile, and gives no sidecar a name: it needs no lock of its own
    // (clearing an orphan takes it, and looks again under it).
    vantrel::fm::commit::FolderLock lock;
    if (side || replace) {
        if (OSErr e = lock.take(destFd->fd())) {
            undo();
            return e;
        }
    }
    // A file another program saved under the name since it was found free
    // makes the copy fail: its "._NAME" is its fork, no orphan to clear.
    if (side && !replace) {
        struct stat held {};
        if (::fstatat(destFd->fd(), name.c_str(), &held, AT_SYMLINK_NOFOLLOW) == 0) {
            undo();
            return dupFNErr;
        }
    }
    if (OSErr e = replace ? OSErr{noErr}
                          : rsrc::clear_orphan(destFd->fd(), name, "PBHCopyFileSync.sidecar")) {
        undo();
        return e;
    }
    // The sidecar waits under a private name, journalled, until its file
    // has its name: a kill between the two is finished by the next listing.
    rsrc::Naming naming;
    if (side) {
        if (sideTemp.empty()) {
            std::string temp = vantrel::fm::commit::private_name();
            vantrel::fm::commit::hold_temporary(side.get());
            if (vantrel::fault::step("PBHCopyFileSync.sidecar", sideName, [&] {
                    return link_tmpfile(side.get(), destFd->fd(), temp);
                }) != 0)
                return fail(errno, Op::Create);
            sideTemp = std::move(temp);
            if (::fstat(side.get(), &sideSt) != 0) return fail(errno, Op::Create);
        }
    }
    if (replace) {
        // The copy waits under a private name too, for the one rename that
        // puts it in the target's place.
        if (!named) {
            std::string temp = vantrel::fm::commit::private_name();
            vantrel::fm::commit::hold_temporary(out.get());
            if (vantrel::fault::step("PBHCopyFileSync.link", name, [&] {
                    return link_tmpfile(out.get(), destFd->fd(), temp);
                }) != 0)
                return fail(errno, Op::Create);
            tempName = std::move(temp);
            named = true;
        }
        bool committed = false;
        if (OSErr e = place_replacement(dest, destFd, name, *replacing, tempName, side.get(),
                                        sideTemp, linkedSt, newRef, why, &committed)) {
            if (!committed) undo();
            return e;
        }
        return noErr;
    }
    if (side) {
        struct stat outSt {};
        if (::fstat(out.get(), &outSt) != 0) return fail(errno, Op::Create);
        if (OSErr e = rsrc::begin_naming(destFd->fd(), name, sideTemp, outSt.st_ino, &naming)) {
            undo();
            return e;
        }
    }
    const int rc = vantrel::fault::step("PBHCopyFileSync.link", name, [&] {
        if (named)
            return ::renameat2(destFd->fd(), tempName.c_str(), destFd->fd(), name.c_str(),
                               RENAME_NOREPLACE);
        return link_tmpfile(out.get(), destFd->fd(), name);
    });
    if (rc != 0) {
        const OSErr e = said(errno, Op::Create, &dest);
        undo();
        return e;
    }
    linked = true;
    if (side) {
        if (rsrc::name_sidecar(naming, "PBHCopyFileSync.sidecar") != 0)
            return fail(errno, Op::Create);
        sideTemp.clear();
        sideMade = true;
    }
    known();
    return noErr;
}

// The inode number at `name` in `dir`, 0 when there is none.
std::uint64_t ino_at(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

// A replacement is journalled in its folder: the name, the inode it
// replaces and the one that replaces it, the private names the new file
// and its new sidecar wait under (and their inodes), and the old
// sidecar's inode. The one rename of the file decides: a kill before it
// leaves the old file whole (the temporaries are litter); a kill after it
// is finished by the next listing, which gives the new file its sidecar
// (or takes the old one away).
constexpr std::string_view kReplaceJournal = "replace";

struct ReplaceJournal {
    std::string name, temp, sideTemp;
    std::uint64_t oldIno = 0, newIno = 0, sideIno = 0, oldSideIno = 0;
};

std::string replace_payload(const ReplaceJournal& j) {
    std::string out;
    vantrel::fm::commit::put_str(out, j.name);
    vantrel::fm::commit::put_str(out, j.temp);
    vantrel::fm::commit::put_str(out, j.sideTemp);
    for (const std::uint64_t v : {j.oldIno, j.newIno, j.sideIno, j.oldSideIno})
        vantrel::fm::commit::put_u64(out, v);
    return out;
}

// The new file's sidecar to its name, once the new file has its own: from
// its private name over the old sidecar, or, where the new file has no
// fork, the old sidecar taken away. With `keepOld` the old sidecar is
// kept under the private name for an undo (exchanged, where the file
// system can). 0 or -1 with errno.
int settle_sidecar(int dir, const ReplaceJournal& j, const std::string& sideName, bool keepOld,
                   const char* step) {
    if (!j.sideTemp.empty()) {
        if (j.oldSideIno == 0)
            return vantrel::fault::step(step, sideName, [&] {
                return ::renameat2(dir, j.sideTemp.c_str(), dir, sideName.c_str(),
                                   RENAME_NOREPLACE);
            });
        return vantrel::fault::step(step, sideName, [&] {
            if (keepOld &&
                ::renameat2(dir, j.sideTemp.c_str(), dir, sideName.c_str(), RENAME_EXCHANGE) == 0)
                return 0;
            if (keepOld && errno != EINVAL) return -1;
            return ::renameat(dir, j.sideTemp.c_str(), dir, sideName.c_str());
        });
    }
    if (j.oldSideIno == 0) return 0;
    return vantrel::fault::step(step, sideName, [&] {
        const int rc = ::unlinkat(dir, sideName.c_str(), 0);
        return rc != 0 && errno == ENOENT ? 0 : rc;
    });
}

bool recover_replace(int dirFd, std::string_view payload) {
    vantrel::fm::commit::Reader r{payload};
    ReplaceJournal j;
    j.name = r.str();
    j.temp = r.str();
    j.sideTemp = r.str();
    j.oldIno = r.u64();
    j.newIno = r.u64();
    j.sideIno = r.u64();
    j.oldSideIno = r.u64();
    if (!r.ok) return true;  // cut short while written: nothing began
    std::string sideName;
    if (!vantrel::fm::rsrc::sidecar_name(j.name, &sideName)) return true;
    vantrel::fm::commit::FolderLock lock;
    if (lock.take(dirFd) != noErr) return true;
    // Not replaced (or replaced since by something else): nothing to finish.
    if (ino_at(dirFd, j.name) != j.newIno) return true;
    if (!j.sideTemp.empty() && ino_at(dirFd, j.sideTemp) != j.sideIno)
        return true;  // the sidecar is in place already
    if (j.sideTemp.empty() && (j.oldSideIno == 0 || ino_at(dirFd, sideName) != j.oldSideIno))
        return true;  // no old sidecar to take away
    (void)settle_sidecar(dirFd, j, sideName, false, "VantrelFSReplaceFileContents.sidecar");
    return true;
}

[[maybe_unused]] const bool kReplaceRecovery = [] {
    vantrel::fm::commit::register_recovery(kReplaceJournal, recover_replace);
    return true;
}();

// Holds a flock on what stands at `name` of `dir` (the replaced file or
// sidecar once it waits under a private name), so that no listing takes
// it for a dead temporary while an undo may still need it. Best effort:
// one this caller cannot open stays unheld.
vantrel::fm::UniqueFd hold_at(int dir, const std::string& name) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        fd = UniqueFd(::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd) vantrel::fm::commit::hold_temporary(fd.get());
    return fd;
}

// Puts the new file (complete, under the private name `tempName` of
// `destFd`) and its new sidecar `side` (under `sideTemp`; -1 when the
// source has no fork) in the place of the file `r.target` under `name`,
// under the folder's lock (the caller holds it). The file first, in one
// rename that keeps the old file under the private name; then the
// sidecar; a failure of the sidecar's step puts the old file back. Where
// it cannot (no exchange, or the undo failed too), `committed` is set: the
// journal stays for the next listing to finish, and the caller's undo must
// not run.
OSErr place_replacement(const Node& dest, const vantrel::fm::DirFd& destFd, const std::string& name,
                        const Replacing& r, const std::string& tempName, int side,
                        const std::string& sideTemp, const struct statx& linkedSt, FSRef* newRef,
                        Why* why, bool* committed) {
    namespace rsrc = vantrel::fm::rsrc;
    const int dir = destFd->fd();
    const Node& t = *r.target;
    // The file is still the one whose metadata was read: the same inode,
    // unchanged since (its change time), one name, no lock.
    struct statx now {};
    if (::statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &now) != 0)
        return from_errno(errno, Op::Read, &t);
    if (now.stx_ino != t.st.stx_ino || now.stx_ctime.tv_sec != t.st.stx_ctime.tv_sec ||
        now.stx_ctime.tv_nsec != t.st.stx_ctime.tv_nsec)
        return fBsyErr;
    if (now.stx_attributes & STATX_ATTR_IMMUTABLE) return fLckdErr;
    if (now.stx_nlink > 1) return permErr;
    std::string sideName;
    const bool sideFits = rsrc::sidecar_name(name, &sideName);
    if (side >= 0) {
        if (OSErr e = rsrc::place_taken(dir, name)) return e;
    }
    ReplaceJournal j;
    j.name = name;
    j.temp = tempName;
    j.sideTemp = side >= 0 ? sideTemp : std::string();
    j.oldIno = t.st.stx_ino;
    j.newIno = linkedSt.stx_ino;
    struct stat sideSt {};
    if (side >= 0 && ::fstat(side, &sideSt) == 0) j.sideIno = sideSt.st_ino;
    if (sideFits && rsrc::is_sidecar_of(dir, name)) j.oldSideIno = ino_at(dir, sideName);
    vantrel::fm::commit::Journal journal;
    if (OSErr e = journal.begin(dir, kReplaceJournal, replace_payload(j))) return e;
    // The one step that makes the replacement visible. The old file waits
    // under the private name (held, so that no listing drops it) until the
    // sidecar has followed; a file system without exchange replaces it.
    UniqueFd oldHeld = hold_at(dir, name);
    bool exchanged = true;
    if (vantrel::fault::step("VantrelFSReplaceFileContents.replace", name, [&] {
            if (::renameat2(dir, tempName.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0)
                return 0;
            if (errno != EINVAL) return -1;
            exchanged = false;
            return ::renameat(dir, tempName.c_str(), dir, name.c_str());
        }) != 0) {
        why->err = errno;
        return from_errno(errno, Op::Create, &dest);
    }
    UniqueFd oldSideHeld;
    if (j.oldSideIno != 0 && side >= 0) oldSideHeld = hold_at(dir, sideName);
    if (settle_sidecar(dir, j, sideName, exchanged, "VantrelFSReplaceFileContents.sidecar") != 0) {
        const int err = errno;
        why->err = err;
        // The old file back in its place, the new one under its private
        // name again, for the caller's undo to remove.
        if (!exchanged || vantrel::fault::step("VantrelFSReplaceFileContents.undo", name, [&] {
                              return ::renameat2(dir, tempName.c_str(), dir, name.c_str(),
                                                 RENAME_EXCHANGE);
                          }) != 0) {
            // The new file has the name and the old is gone or cannot come
            // back: the journal stays, and the next listing gives the new
            // file its new sidecar, which the caller must leave where it is.
            journal.keep();
            *committed = true;
        }
        return from_errno(err, Op::Create, &dest);
    }
    journal.end();
    // What the replaced file and sidecar were goes (benign: a listing drops
    // what a failure here leaves).
    {
        const vantrel::fault::Benign benign;
        if (exchanged && ino_at(dir, tempName) == j.oldIno)
            (void)vantrel::fault::step("VantrelFSReplaceFileContents.replace", tempName,
                                       [&] { return ::unlinkat(dir, tempName.c_str(), 0); });
        if (side >= 0 && j.oldSideIno != 0 && ino_at(dir, sideTemp) == j.oldSideIno)
            (void)vantrel::fault::step("VantrelFSReplaceFileContents.sidecar", sideTemp,
                                       [&] { return ::unlinkat(dir, sideTemp.c_str(), 0); });
    }
    vantrel::fm::note_deleted(t);
    Node copy;
    vantrel::fm::child_node(dest, destFd, name, linkedSt, &copy);
    if (r.place.fileID) vantrel::fm::note_file_id(copy, *r.place.fileID);
    if (newRef != nullptr) vantrel::fm::make_ref(copy, newRef);
    return noErr;
}

}  // namespace

int vantrel::fm::give_place(int fd, const struct statx& made, const Node& like, const PlaceMeta& m,
                            const char* step) {
    std::string record, dates;
    for (const auto& attr : m.attrs) {
        if (attr.first == meta::kMetadataAttr) record = attr.second;
        if (attr.first == kPreciseDatesAttr) dates = attr.second;
        if (vantrel::fault::step(step, attr.first, [&] {
                return ::fsetxattr(fd, attr.first.c_str(), attr.second.data(), attr.second.size(),
                                   0);
            }) != 0)
            return errno;
    }
    if (m.fileID) {
        Node n = like;
        n.st = made;
        const std::string marker = file_id_marker(n, *m.fileID);
        if (vantrel::fault::step(step, kFileIDAttr, [&] {
                return ::fsetxattr(fd, kFileIDAttr, marker.data(), marker.size(), 0);
            }) != 0)
            return errno;
    }
    // A creation date the attributes do not carry was the old inode's
    // birth: the new one is born now, so the date is written down (17
    // bytes; where they do not fit, the file shows its own, as cp -a).
    if (!record_has_creation_date(record) && !precise_dates_have_creation(dates)) {
        CopiedAttrs carried;
        carried.dates = dates;
        int notKept = 0;
        keep_creation_date(fd, like.name, m.created, carried, &notKept);
    }
    return 0;
}

extern "C" OSErr PBHCopyFileSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    CopyParam& p = pb->copyParam;
    if (OSErr e = vantrel::fault::check("PBHCopyFileSync")) return finish(p, e);
    const vantrel::fm::OneMountCheck oneCheck;

    Node src;
    if (OSErr err = vantrel::fm::node_from_spec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, &src))
        return finish(p, err);
    if (!S_ISREG(src.st.stx_mode))
        return finish(p, notAFileErr);  // before the destination is found
    Node dest;
    const SInt16 destVRef = p.ioDstVRefNum != 0 ? p.ioDstVRefNum : p.ioVRefNum;
    if (OSErr err = vantrel::fm::node_from_spec(destVRef, p.ioNewDirID, p.ioNewName, &dest))
        return finish(p, err);
    std::string name = src.name;
    if (p.ioCopyName != nullptr && p.ioCopyName[0] != 0) {
        if (OSErr err = vantrel::fm::name_from_pascal(p.ioCopyName, &name)) return finish(p, err);
    }
    Why why;
    return finish(p, copy_file(src, dest, name, Keep::MacAttrs, nullptr, nullptr, &why));
}

extern "C" OSErr VantrelFSCopyFileWhole(const FSRef* source, const FSRef* destDir,
                                        UniCharCount nameLength, const UniChar* name,
                                        FSRef* newRef) {
    return VantrelFSCopyFileWholeExplained(source, destDir, nameLength, name, nullptr, newRef,
                                           nullptr);
}

extern "C" OSErr VantrelFSCopyFileWholeExplained(const FSRef* source, const FSRef* destDir,
                                                 UniCharCount nameLength, const UniChar* name,
                                                 VantrelFSCopyLinksRef links, FSRef* newRef,
                                                 VantrelFSCopyFailure* failure) {
    if (failure != nullptr) *failure = VantrelFSCopyFailure{};
    if (source == nullptr || destDir == nullptr) return paramErr;
    const vantrel::fm::OneMountCheck oneCheck;  // a tree copy makes one call per file
    std::string newName;
    if (name != nullptr) {
        if (OSErr e = vantrel::fm::name_from_unicode(name, nameLength, &newName)) return e;
    }
    Node src;
    if (OSErr err = vantrel::fm::resolve(source, &src)) return err;
    if (OSErr e = vantrel::fault::check("VantrelFSCopyFileWhole", src.name)) return e;
    if (!S_ISREG(src.st.stx_mode)) return notAFileErr;  // before the destination is found
    // A folder of a tree copy being made, which the copy holds open, is
    // found by its descriptor: no look by its name a file. Nothing but its
    // maker names or moves what lies in a private folder, so the name it
    // was made with is still its own; a copy that fails there is told what
    // a look by name would have said first (the folder gone, or locked).
    Node dest;
    const bool held = vantrel::fm::folder_copy::held(destDir, &dest);
    if (!held) {
        if (OSErr err = vantrel::fm::resolve(destDir, &dest)) return err;
    }
    Why why;
    OSErr e =
        copy_file(src, dest, name != nullptr ? newName : src.name, Keep::All, links, newRef, &why);
    if (e != noErr && held) {
        Node now;
        if (OSErr re = vantrel::fm::resolve(destDir, &now)) return re;
        if (e == permErr && now.locked()) e = fLckdErr;
    }
    if (failure != nullptr && e != noErr) {
        failure->systemError = why.err;
        std::snprintf(failure->attribute, sizeof failure->attribute, "%s", why.attr.c_str());
    } else if (failure != nullptr) {
        failure->creationDateNotKept = why.creationNotKept;
    }
    return e;
}

extern "C" OSErr VantrelFSReplaceFileContents(const FSRef* source, const FSRef* target,
                                              FSRef* newRef) {
    if (source == nullptr || target == nullptr) return paramErr;
    Node src;
    if (OSErr err = vantrel::fm::resolve(source, &src)) return err;
    Node t;
    if (OSErr err = vantrel::fm::resolve(target, &t)) return err;
    if (OSErr e = vantrel::fault::check("VantrelFSReplaceFileContents", t.name)) return e;
    if (!S_ISREG(src.st.stx_mode) || !S_ISREG(t.st.stx_mode) || t.root) return notAFileErr;
    if (src.dev() == t.dev() && src.st.stx_ino == t.st.stx_ino) return noErr;  // itself
    if (t.locked()) return fLckdErr;
    // The metadata of the target's name goes onto a new inode: another
    // name of the old one keeps it whole, but the two would be names of
    // one file no longer, which no one asked for.
    if (t.st.stx_nlink > 1) return permErr;
    Node dest;
    if (OSErr err = vantrel::fm::dir_by_id(t.vref, t.parentID, &dest)) return err;
    // A change to the target that a kill cut short is finished first (a
    // read of its dates does it), so that its metadata is read whole.
    FSCatalogInfo shown{};
    (void)vantrel::fm::fill_catalog_info(t, kFSCatInfoCreateDate, &shown, nullptr, nullptr,
                                         nullptr);
    if (OSErr err = vantrel::fm::restat(&t)) return err;
    Replacing r;
    r.target = &t;
    if (OSErr e = vantrel::fm::read_place(t, &r.place)) return e;
    Why why;
    return copy_file(src, dest, t.name, Keep::MacAttrs, nullptr, newRef, &why, &r);
}

extern "C" OSErr VantrelFSNewCopyLinks(VantrelFSCopyLinksRef* links) {
    if (links == nullptr) return paramErr;
    *links = new (std::nothrow) OpaqueVantrelFSCopyLinks;
    return *links != nullptr ? noErr : memFullErr;
}

extern "C" void VantrelFSDisposeCopyLinks(VantrelFSCopyLinksRef links) {
    delete links;
}

extern "C" OSErr VantrelFSCreateFolderCopy(const FSRef* source, const FSRef* destDir,
                                           UniCharCount nameLength, const UniChar* name,
                                           FSRef* newRef, struct timespec sourceTimes[2]) {
    if (source == nullptr || destDir == nullptr) return paramErr;
    Node src;
    if (OSErr err = vantrel::fm::resolve(source, &src)) return err;
    if (!src.is_dir()) return dirNFErr;
    if (sourceTimes != nullptr) {
        sourceTimes[0] = {src.st.stx_atime.tv_sec, src.st.stx_atime.tv_nsec};
        sourceTimes[1] = {src.st.stx_mtime.tv_sec, src.st.stx_mtime.tv_nsec};
    }
    std::string newName = src.name;
    if (name != nullptr) {
        if (OSErr e = vantrel::fm::name_from_unicode(name, nameLength, &newName)) return e;
    } else if (src.root || vantrel::fm::rsrc::is_sidecar_name(newName)) {
        // A volume's root has no name of its own here; a folder under a
        // fork's name would be taken for one.
        return bdNamErr;
    }
    if (OSErr e = vantrel::fault::check("VantrelFSCreateFolderCopy", newName)) return e;
    Node dest;
    if (OSErr err = vantrel::fm::resolve(destDir, &dest)) return err;
    if (!dest.is_dir()) return dirNFErr;
    vantrel::fm::DirFd destFd;
    if (OSErr err = vantrel::fm::dir_fd(dest, &destFd)) return err;
    // Its owner's alone while it is filled: the finish gives it its mode.
    Node made;
    if (vantrel::fm::folder_copy::inside(dest)) {
        // Within a copy not yet named: no one sees it, and the copy's
        // undo takes it away. A sidecar left by a file of this name that is
        // gone must not become the folder's.
        if (OSErr e = vantrel::fm::rsrc::clear_orphan(destFd->fd(), newName,
                                                      "VantrelFSCreateFolderCopy.sidecar"))
            return e;
        if (vantrel::fault::step("VantrelFSCreateFolderCopy.create", newName, [&] {
                return ::mkdirat(destFd->fd(), newName.c_str(), 0700);
            }) != 0)
            return from_errno(errno, Op::Create, &dest);
        if (OSErr e = vantrel::fm::lookup(dest, newName, &made)) return e;
        vantrel::fm::folder_copy::add_inner(dest, made);
    } else if (OSErr e = vantrel::fm::folder_copy::begin(
                   dest, destFd, newName, "VantrelFSCreateFolderCopy.create", &made)) {
        return e;
    }
    if (newRef != nullptr) vantrel::fm::make_ref(made, newRef);
    return noErr;
}

namespace {
// The attributes, mode and times of a folder copy; its naming is the caller's.
OSErr finish_folder_copy(const Node& src, const Node& dst, const struct timespec sourceTimes[2],
                         VantrelFSCopyFailure* failure);
}  // namespace

extern "C" OSErr VantrelFSFinishFolderCopy(const FSRef* source, const FSRef* copy,
                                           const struct timespec sourceTimes[2],
                                           VantrelFSCopyFailure* failure) {
    if (failure != nullptr) *failure = VantrelFSCopyFailure{};
    if (source == nullptr || copy == nullptr) return paramErr;
    Node src;
    if (OSErr err = vantrel::fm::resolve(source, &src)) return err;
    Node dst;
    if (OSErr err = vantrel::fm::resolve(copy, &dst)) return err;
    if (!src.is_dir() || !dst.is_dir()) return dirNFErr;
    // The copy takes its name once it has all it is to have, or is undone.
    const OSErr e = finish_folder_copy(src, dst, sourceTimes, failure);
    return vantrel::fm::folder_copy::settle(dst, e);
}

extern "C" OSErr VantrelFSAbandonFolderCopy(const FSRef* copy) {
    if (copy == nullptr) return paramErr;
    Node dst;
    if (OSErr err = vantrel::fm::resolve(copy, &dst)) return err;
    if (!dst.is_dir()) return dirNFErr;
    return vantrel::fm::folder_copy::abandon(dst);
}

namespace {

OSErr finish_folder_copy(const Node& src, const Node& dst, const struct timespec sourceTimes[2],
                         VantrelFSCopyFailure* failure) {
    if (OSErr e = vantrel::fault::check("VantrelFSFinishFolderCopy", dst.name)) return e;
    const char* srcName = src.root ? "." : src.name.c_str();
    const char* dstName = dst.root ? "." : dst.name.c_str();
    UniqueFd in(::openat(src.at(), srcName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // A folder this caller may not read: its attributes cannot be read
    // either, and the walk that could not list it has said so. The copy
    // still gets its mode and times, as cp -a gives them.
    const bool unreadable = !in && errno == EACCES;
    if (unreadable)
        in = UniqueFd(::openat(src.at(), srcName, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) return from_errno(errno, Op::Read, &src);
    UniqueFd out(::openat(dst.at(), dstName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out) return from_errno(errno, Op::Write, &dst);
    struct statx st {
    }, made{};
    if (::statx(in.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return from_errno(errno, Op::Read, &src);
    if (::statx(out.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &made) != 0)
        return from_errno(errno, Op::Write, &dst);
    CopiedAttrs copied;
    int notKept = 0;
    auto fail = [&](int err, Op op) {
        if (failure != nullptr) {
            failure->systemError = err;
            std::snprintf(failure->attribute, sizeof failure->attribute, "%s",
                          copied.failed.c_str());
        }
        if (err == E2BIG && !copied.failed.empty()) return OSErr{dskFulErr};
        return from_errno(err, op, &dst);
    };
    // The owner first, as for a file: a change of owner takes the set-ID
    // bits off. One the caller may not give the copy to keeps it, as cp -a.
    bool owned = made.stx_uid == st.stx_uid && made.stx_gid == st.stx_gid;
    if (!owned) {
        if (vantrel::fault::step("VantrelFSFinishFolderCopy.chown", dst.name,
                                 [&] { return ::fchown(out.get(), st.stx_uid, st.stx_gid); }) == 0)
            owned = true;
        else if (errno != EPERM && errno != EINVAL)
            return fail(errno, Op::Write);
    }
    // What the source has, as it has it: the record and the File Manager's
    // attributes beside it, then every other attribute, then its birth.
    if (!unreadable) {
        if (int err = copy_mac_attrs(in.get(), out.get(), &copied)) return fail(err, Op::Write);
        if (int err = copy_other_attrs(in.get(), out.get(), &copied)) return fail(err, Op::Write);
        keep_birth(out.get(), dst.name, st, made, copied, &notKept);
    }
    const mode_t finalMode = owned ? (st.stx_mode & 07777) : (st.stx_mode & 0777);
    if (vantrel::fault::step("VantrelFSFinishFolderCopy.chmod", dst.name,
                             [&] { return ::fchmod(out.get(), finalMode); }) != 0)
        return fail(errno, Op::Write);
    // Last, to the nanosecond: nothing after this changes the folder.
    const timespec now[2] = {{st.stx_atime.tv_sec, st.stx_atime.tv_nsec},
                             {st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec}};
    const timespec* times = sourceTimes != nullptr ? sourceTimes : now;
    if (vantrel::fault::step("VantrelFSFinishFolderCopy.times", dst.name,
                             [&] { return ::futimens(out.get(), times); }) != 0)
        return fail(errno, Op::Write);
    if (failure != nullptr) failure->creationDateNotKept = notKept;
    return noErr;
}

}  // namespace
