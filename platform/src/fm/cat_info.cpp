// FSGetCatalogInfo and FSSetCatalogInfo: the catalogue fields from the inode
// (statx), the immutable attribute, the metadata record and the resource
// fork attribute.
#include "fm/cat_info.h"

#include <dirent.h>
#include <errno.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "civil.h"
#include "fm/cat_appledir.h"
#include "fm/cat_dates.h"
#include "fm/cat_layouts.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/iter_catalog.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/vol_table.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSGetCatalogInfo", "FSSetCatalogInfo", "FSSetCatalogInfo.unlock",
                         "FSSetCatalogInfo.dates", "FSSetCatalogInfo.times",
                         "FSSetCatalogInfo.chown", "FSSetCatalogInfo.chmod",
                         "FSSetCatalogInfo.lock", "FSSetCatalogInfo.sidecar",
                         "FSSetCatalogInfo.finderInfo", "FSSetCatalogInfo.restore",
                         "FSSetCatalogInfo.afpinfo", "FSSetCatalogInfo.intent",
                         "FSGetCatalogInfoBulk.listxattr");

namespace vantrel::fm {
namespace {

// Whether each time of `ts` that is set (not UTIME_OMIT) is now, give or
// take two seconds.
bool times_are_now(const struct timespec (&ts)[2]) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    for (const struct timespec& t : ts) {
        if (t.tv_nsec == UTIME_OMIT) continue;
        if (t.tv_nsec != UTIME_NOW && (t.tv_sec > now.tv_sec + 2 || t.tv_sec < now.tv_sec - 2))
            return false;
    }
    return true;
}

}  // namespace

namespace {

// Full creation and backup dates (48-bit seconds and fraction) beside the
// metadata record, whose dates are whole seconds from 2000 only. Used only
// while its seconds agree with the record, so a record changed by another
// program wins.
constexpr const char* kDatesAttr = "user.org.vantrel.Dates";

enum : UInt8 { kAccessSearch = 0x01, kAccessRead = 0x02, kAccessWrite = 0x04, kAccessOwner = 0x80 };

// What the calling user may do with `n`, as the kernel decides it (mode,
// ACLs, capabilities), not from the mode bits alone: an ACL may grant what
// the mode denies.
UInt8 user_access(const Node& n, const Listing* listing) {
    const uid_t uid = listing != nullptr ? listing->euid : ::geteuid();
    UInt8 a = uid == n.st.stx_uid ? kAccessOwner : 0;
    if (uid == 0) return a | kAccessSearch | kAccessRead | kAccessWrite;
    const char* name = n.root ? "." : n.name.c_str();
    auto may = [&](int how) {
        return ::faccessat(n.at(), name, how, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
    };
    // The kernel grants several rights together only when it grants each of
    // them, so the rights the mode bits suggest are the caller's (the
    // owner's, or everyone's: a group's membership is not known without
    // asking) are asked in one call, and only the others one by one: a
    // user's own folder costs one call, a file of theirs two, not three. A
    // guess that fails costs one call more, unless the mount is read-only:
    // that refuses writing (as it would asked alone), and the rest is asked
    // again together.
    const unsigned mode = n.st.stx_mode;
    const unsigned bits = (a & kAccessOwner) ? (mode >> 6) & 7 : mode & 7;
    int likely = ((bits & 4) ? R_OK : 0) | ((bits & 2) ? W_OK : 0) | ((bits & 1) ? X_OK : 0);
    if (n.locked()) likely &= ~W_OK;  // the immutable attribute refuses writing to everyone
    auto several = [](int how) { return (how & (how - 1)) != 0; };
    int granted = 0, known = 0;
    if (several(likely)) {
        if (may(likely)) {
            granted = known = likely;
        } else if (errno == EROFS && (likely & W_OK)) {
            known = W_OK;
            const int rest = likely & ~W_OK;
            if (several(rest) && may(rest)) {
                granted = rest;
                known |= rest;
            }
        }
    }
    for (const int how : {X_OK, R_OK, W_OK})
        if (!(known & how) && may(how)) granted |= how;
    if (granted & X_OK) a |= kAccessSearch;
    if (granted & R_OK) a |= kAccessRead;
    if (granted & W_OK) a |= kAccessWrite;
    return a;
}

}  // namespace

// Which of the attributes a listing reads a file has, from the list of its
// attribute names (listxattrat, Linux 6.13): one call where the record and
// the earlier versions' fork would take two failing reads, and most files
// on a Linux server have neither. False when no list is to be had (an
// older kernel, more names than the buffer holds, a failure): the caller
// then reads each attribute as before. A list says what the file held at
// one moment, as two reads say what it held at two.
bool mac_attrs_listed(const Node& n, MacAttrs* out) {
    char buf[1024];
    long len = 0;
    {
        fault::Benign benign;  // a failed list only means reading each attribute
        len = fault::step("FSGetCatalogInfoBulk.listxattr", n.name,
                          [&] { return meta::list_attr_names(n, buf, sizeof buf); });
    }
    *out = MacAttrs{};
    if (len < 0) return false;
    meta::each_attr_name(std::string_view(buf, std::size_t(len)), [&](std::string_view one) {
        if (one == meta::kMetadataAttr) out->record = true;
        if (one == meta::kResourceForkAttr || one == ad::kAfpResourceAttr) out->legacyFork = true;
        if (one == ad::kAfpInfoAttr) out->afpInfo = true;
        if (one == kDatesAttr) out->dates = true;
    });
    return true;
}

namespace {

// The reads of `n` its listing spares: a file whose "._NAME" the listing
// did not see has no sidecar to open; when both its resource-fork sizes and
// its record (`fromRecord`) are asked, they come from attributes, and one
// list of their names tells which of them to read at all.
void spared_reads(const Node& n, bool fromRecord, FSCatalogInfoBitmap which, const Listing& listing,
                  rsrc::Known* known, bool* noRecord, bool* noAfpInfo) {
    if (listing.sidecars == nullptr || !S_ISREG(n.st.stx_mode) ||
        listing.sidecars->count(n.name) != 0)
        return;
    known->noSidecar = true;
    MacAttrs attrs;
    if ((which & kFSCatInfoRsrcSizes) && fromRecord && listing.fullAttrLists &&
        mac_attrs_listed(n, &attrs)) {
        known->noLegacy = !attrs.legacyFork;
        // The precise dates alone (a copy's creation date) are read as a
        // record is: the same call reads both.
        *noRecord = !attrs.record && !attrs.dates;
        *noAfpInfo = !attrs.afpInfo;
    }
}

UTCDateTime from_stx(const struct statx_timestamp& t) {
    return utc_from_timespec(t.tv_sec, t.tv_nsec);
}

UTCDateTime from_record(std::int32_t since2000) {
    std::int64_t mac = std::int64_t(since2000) + civil::kAfpFromMac;
    UTCDateTime d{};
    if (mac < 0) return d;
    d.highSeconds = UInt16(mac >> 32);
    d.lowSeconds = UInt32(mac & 0xFFFFFFFF);
    return d;
}

// The record's form of a date (whole seconds from 2000, clamped). Date 0
// is "never" (a file never backed up), which every reader of the record
// knows as 0x80000000; the full dates are kept in kDatesAttr.
std::int32_t to_record(const UTCDateTime& d) {
    std::int64_t mac = (std::int64_t(d.highSeconds) << 32) | d.lowSeconds;
    if (mac == 0 && d.fraction == 0) return meta::kUnknownDate;
    std::int64_t s = mac - civil::kAfpFromMac;
    if (s <= std::int64_t(INT32_MIN)) s = INT32_MIN + 1;  // INT32_MIN means "unknown"
    if (s > INT32_MAX) s = INT32_MAX;
    return std::int32_t(s);
}

struct PreciseDates {
    UTCDateTime create{}, backup{};
    bool haveCreate = false, haveBackup = false;
};

void put_date(std::uint8_t* p, const UTCDateTime& d) {
    p[0] = UInt8(d.highSeconds >> 8);
    p[1] = UInt8(d.highSeconds);
    for (int i = 0; i < 4; ++i) p[2 + i] = UInt8(d.lowSeconds >> (24 - 8 * i));
    p[6] = UInt8(d.fraction >> 8);
    p[7] = UInt8(d.fraction);
}
UTCDateTime get_date(const std::uint8_t* p) {
    UTCDateTime d;
    d.highSeconds = UInt16((p[0] << 8) | p[1]);
    d.lowSeconds = (UInt32(p[2]) << 24) | (UInt32(p[3]) << 16) | (UInt32(p[4]) << 8) | p[5];
    d.fraction = UInt16((p[6] << 8) | p[7]);
    return d;
}

// The attribute's bytes for `pd`: which dates it has, then both.
std::string precise_bytes(const PreciseDates& pd) {
    std::uint8_t b[17];
    b[0] = UInt8((pd.haveCreate ? 1 : 0) | (pd.haveBackup ? 2 : 0));
    put_date(b + 1, pd.create);
    put_date(b + 9, pd.backup);
    return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

// The precise dates in the attribute's bytes (none unless 17 of them).
PreciseDates precise_from(const std::uint8_t* b, std::size_t len) {
    PreciseDates pd;
    if (len != 17) return pd;
    pd.haveCreate = b[0] & 1;
    pd.haveBackup = b[0] & 2;
    pd.create = get_date(b + 1);
    pd.backup = get_date(b + 9);
    return pd;
}

// `err` (when given) receives the errno of a failed read other than "no
// such attribute": dates that could not be read must not be written over.
PreciseDates read_precise(const Node& n, int* err = nullptr) {
    std::uint8_t b[17];
    ssize_t len = meta::get_attr(n, kDatesAttr, b, sizeof b);
    if (len < 0 && err != nullptr && errno != ENODATA && errno != ENOTSUP) *err = errno;
    return precise_from(b, len < 0 ? 0 : std::size_t(len));
}

// Node flags: directory from the type, locked from the immutable attribute.
UInt16 node_flags(const Node& n) {
    UInt16 f = 0;
    if (n.is_dir()) f |= kFSNodeIsDirectoryMask;
    if (n.locked()) f |= kFSNodeLockedMask;
    return f;
}

UInt32 count_entries(const Node& n) {
    int fd = ::openat(n.at(), n.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    UInt32 count = 0;
    if (DIR* d = ::fdopendir(fd)) {
        while (struct dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
                !rsrc::is_hidden_entry(::dirfd(d), e->d_name, e->d_type))
                ++count;
        }
        ::closedir(d);
    } else {
        ::close(fd);
    }
    return count;
}

// Sets or clears the immutable attribute (needs a real descriptor); `step`
// names the change for the fault seam.
OSErr set_immutable(const Node& n, bool on, const char* step) {
    if (n.is_link()) return errFSOperationNotSupported;  // links cannot carry the attribute
    int fd =
        ::openat(n.at(), n.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno, Op::Lock, &n);
    UniqueFd guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return from_errno(errno, Op::Lock, &n);
    if (st.st_ino != n.st.stx_ino) return fnfErr;  // swapped since it was resolved
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return from_errno(errno, Op::Lock, &n);
    int want = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (want != flags &&
        fault::step(step, n.name, [&] { return ::ioctl(fd, FS_IOC_SETFLAGS, &want); }) != 0)
        return from_errno(errno, Op::Lock, &n);  // EPERM: only a privileged caller may lock
    return noErr;
}

// An extended attribute's value, or nullopt when the object has none. Read
// relative to the parent's descriptor, in one call when it fits the first
// buffer (the record, the dates and their extra entries do).
std::optional<std::string> attr_of(const Node& n, const char* name) {
    std::string v(4096, '\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t got = meta::get_attr(n, name, v.data(), v.size());
        if (got >= 0) {
            v.resize(static_cast<std::size_t>(got));
            return v;
        }
        if (errno != ERANGE) return std::nullopt;
        const ssize_t size = meta::get_attr(n, name, nullptr, 0);
        if (size < 0) return std::nullopt;
        v.assign(static_cast<std::size_t>(size), '\0');
    }
    return std::nullopt;
}

// What FSSetCatalogInfo has changed so far, and how it was before: when a
// later step fails, everything is put back, so the caller sees every field
// set or none. (ctime moves either way: the kernel keeps it.) A restore step
// that fails itself leaves its field as set; the call still reports the
// first failure.
class Changes {
  public:
    explicit Changes(const Node& n) : n_(n) {}
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;
    ~Changes() {
        if (!done_) restore();
        rsrc::finish(sideCopy_, kStep);  // the old sidecar, when the call went through
    }
    void commit() { done_ = true; }

    void unlocked() { unlocked_ = true; }
    // Before an attribute is first written: its value then.
    void before_attr(const char* name) {
        for (const Attr& a : attrs_)
            if (a.name == name) return;
        attrs_.push_back(Attr{name, attr_of(n_, name)});
    }
    void times_set() { times_ = true; }
    void owner_set() { owner_ = true; }
    void mode_set() { mode_ = true; }
    // Before the sidecar's owner or mode is first changed: the sidecar (an
    // O_PATH descriptor) and its state then.
    void sidecar_set(UniqueFd side, const struct stat& before) {
        side_ = std::move(side);
        sideBefore_ = before;
    }
    // The sidecar was replaced by a copy with new Finder information.
    void sidecar_replaced(rsrc::Replaced r) { sideCopy_ = std::move(r); }

  private:
    struct Attr {
        const char* name;
        std::optional<std::string> value;
    };
    static constexpr const char* kStep = "FSSetCatalogInfo.restore";

    void restore() {
        const char* nm = n_.root ? "." : n_.name.c_str();
        const std::string path = n_.proc_path();
        // Owner before mode: a change of owner may clear the set-ID bits.
        if (owner_) {
            fault::step(kStep, n_.name, [&] {
                return ::fchownat(n_.at(), nm, n_.st.stx_uid, n_.st.stx_gid, AT_SYMLINK_NOFOLLOW);
            });
        }
        if (owner_ || mode_) {
            fault::step(kStep, n_.name, [&] {
                return ::fchmodat(n_.at(), nm, n_.st.stx_mode & 07777, AT_SYMLINK_NOFOLLOW);
            });
        }
        rsrc::put_back(sideCopy_, kStep);
        if (side_) {
            fault::step(kStep, n_.name, [&] {
                return ::fchownat(side_.get(), "", sideBefore_.st_uid, sideBefore_.st_gid,
                                  AT_EMPTY_PATH);
            });
            const std::string self = "/proc/self/fd/" + std::to_string(side_.get());
            fault::step(kStep, n_.name,
                        [&] { return ::chmod(self.c_str(), sideBefore_.st_mode & 07777); });
        }
        if (times_) {
            const struct timespec ts[2] = {
                {time_t(n_.st.stx_atime.tv_sec), long(n_.st.stx_atime.tv_nsec)},
                {time_t(n_.st.stx_mtime.tv_sec), long(n_.st.stx_mtime.tv_nsec)}};
            fault::step(kStep, n_.name,
                        [&] { return ::utimensat(n_.at(), nm, ts, AT_SYMLINK_NOFOLLOW); });
        }
        for (auto it = attrs_.rbegin(); it != attrs_.rend(); ++it) {
            fault::step(kStep, n_.name, [&] {
                if (!it->value) {
                    const int rc = ::lremovexattr(path.c_str(), it->name);
                    return rc != 0 && errno == ENODATA ? 0 : rc;
                }
                return ::lsetxattr(path.c_str(), it->name, it->value->data(), it->value->size(), 0);
            });
        }
        if (unlocked_) set_immutable(n_, true, kStep);
    }

    const Node n_;  // as it was before the first change
    bool done_ = false;
    bool unlocked_ = false, times_ = false, owner_ = false, mode_ = false;
    std::vector<Attr> attrs_;
    UniqueFd side_;
    struct stat sideBefore_ {};
    rsrc::Replaced sideCopy_;
};

// The file `n`'s new owner and permissions reach its sidecar: the fork of
// a private file must not stay readable by others, nor a file given away
// keep a fork its old owner may write. Changed in place (a sidecar
// hard-linked to another name changes that one's mode too; no content
// changes, so that is harmless). The owner follows only when this call
// changes the file's. Nothing is made where there is no sidecar, and a
// user's own file that only has the name stays as it is.
OSErr sidecar_follows(const Node& n, uid_t uid, gid_t gid, bool ownerChanges, mode_t mode,
                      Changes& changes) {
    std::string name;
    if (!S_ISREG(n.st.stx_mode) || !rsrc::sidecar_name(n.name, &name)) return noErr;
    UniqueFd side(::openat(n.at(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!side) return errno == ENOENT ? OSErr{noErr} : from_errno(errno, Op::Write, &n);
    struct stat st {};
    if (::fstat(side.get(), &st) != 0) return from_errno(errno, Op::Write, &n);
    if (!S_ISREG(st.st_mode)) return noErr;
    // One the caller may not read is taken for a sidecar by its name, as the
    // sizes take it; one that reads, only when its header parses.
    rsrc::Sidecar open;
    if (rsrc::open(n.at(), n.name, false, &open) == noErr) {
        struct stat now {};
        if (!open.found() || ::fstat(open.fd.get(), &now) != 0 || now.st_ino != st.st_ino ||
            now.st_dev != st.st_dev)
            return noErr;
    }
    const bool owner = ownerChanges && (st.st_uid != uid || st.st_gid != gid);
    const mode_t want = mode & 0666;  // as a new sidecar gets it
    if (!owner && (st.st_mode & 07777) == want) return noErr;
    const int fd = side.get();
    changes.sidecar_set(std::move(side), st);
    if (owner && fault::step("FSSetCatalogInfo.sidecar", name,
                             [&] { return ::fchownat(fd, "", uid, gid, AT_EMPTY_PATH); }) != 0)
        return from_errno(errno, Op::Write, &n);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (fault::step("FSSetCatalogInfo.sidecar", name,
                    [&] { return ::chmod(self.c_str(), want); }) != 0)
        return from_errno(errno, Op::Write, &n);
    return noErr;
}

bool same_utc(const UTCDateTime& x, const UTCDateTime& y) {
    return x.highSeconds == y.highSeconds && x.lowSeconds == y.lowSeconds &&
           x.fraction == y.fraction;
}

// The exact access (0) and modification (1) times that our latest changes
// replaced, so that giving a date back as it was shown restores the
// nanoseconds the 1/65536 s of UTCDateTime cannot carry (an undo).
struct EarlierTime {
    dev_t dev;
    ino_t ino;
    int which;
    struct statx_timestamp exact;
};
std::mutex g_earlierMu;
std::deque<EarlierTime>& earlier_times() {
    static auto* list = new std::deque<EarlierTime>;  // never destroyed: used until exit
    return *list;
}

void remember_time(const Node& n, int which, const struct statx_timestamp& exact) {
    std::lock_guard lk(g_earlierMu);
    auto& list = earlier_times();
    list.push_back(EarlierTime{n.dev(), ino_t(n.st.stx_ino), which, exact});
    if (list.size() > 64) list.pop_front();
}

std::optional<struct timespec> earlier_time(const Node& n, int which, const UTCDateTime& shown) {
    std::lock_guard lk(g_earlierMu);
    auto& list = earlier_times();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->dev == n.dev() && it->ino == n.st.stx_ino && it->which == which &&
            same_utc(from_stx(it->exact), shown))
            return timespec{time_t(it->exact.tv_sec), long(it->exact.tv_nsec)};
    }
    return std::nullopt;
}

// True when record `r` with precise dates `pd` says only what `n` shows
// without any record: zero Finder information, comment and other entries,
// the birth time as creation date, never backed up, no other date.
bool says_nothing(const Node& n, const meta::Record& r, const PreciseDates& pd) {
    for (const meta::Entry& e : r.entries) {
        if (e.id == meta::kFileDatesId) continue;
        const bool standard = e.id == meta::kFinderInfoId || e.id == meta::kCommentId ||
                              e.id == meta::kAfpInfoId || e.id == meta::kPrivDevId ||
                              e.id == meta::kPrivInoId || e.id == meta::kPrivSynId ||
                              e.id == meta::kPrivSvId;
        if (!standard) return false;
        for (char c : e.data)
            if (c != 0) return false;
    }
    std::int32_t s;
    if (meta::get_date(r, meta::kModify, &s) || meta::get_date(r, meta::kAccess, &s)) return false;
    const UTCDateTime born = born_date(n.st);
    const bool createSaysNothing =
        pd.haveCreate ? same_utc(pd.create, born) : !meta::get_date(r, meta::kCreate, &s);
    const bool backupSaysNothing =
        pd.haveBackup ? same_utc(pd.backup, UTCDateTime{}) : !meta::get_date(r, meta::kBackup, &s);
    return createSaysNothing && backupSaysNothing;
}

}  // namespace

const char* const kPreciseDatesAttr = kDatesAttr;

UTCDateTime born_date(const struct statx& st) {
    return (st.stx_mask & STATX_BTIME) ? from_stx(st.stx_btime) : from_stx(st.stx_mtime);
}

bool precise_dates_have_creation(const std::string& dates) {
    return precise_from(reinterpret_cast<const std::uint8_t*>(dates.data()), dates.size())
        .haveCreate;
}

std::string precise_dates_created(const UTCDateTime& created, const std::string& dates) {
    PreciseDates pd =
        precise_from(reinterpret_cast<const std::uint8_t*>(dates.data()), dates.size());
    pd.create = created;
    pd.haveCreate = true;
    return precise_bytes(pd);
}

namespace {

bool roll_forward(const Node& n);

// fill_catalog_info of `n` as it stands.
OSErr fill_now(const Node& n, FSCatalogInfoBitmap which, FSCatalogInfo* info, HFSUniStr255* name,
               FSSpec* spec, FSRef* parentRef, const Listing* listing) {
    if (info != nullptr && which != 0) {
        const FSCatalogInfoBitmap fromRecord = kFSCatInfoCreateDate | kFSCatInfoBackupDate |
                                               kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;
        rsrc::Known known;
        bool noRecord = false, noAfpInfo = false;
        if (listing != nullptr) {
            spared_reads(n, which & fromRecord, which, *listing, &known, &noRecord, &noAfpInfo);
            known.noAppleDouble = listing->appleDouble == 0;
        }
        if (which & kFSCatInfoTextEncoding) info->textEncodingHint = 0;  // kTextEncodingMacRoman
        if (which & kFSCatInfoNodeFlags) info->nodeFlags = node_flags(n);
        if (which & kFSCatInfoVolume) info->volume = n.vref;
        if (which & kFSCatInfoParentDirID) info->parentDirID = n.parentID;
        if (which & kFSCatInfoNodeID) info->nodeID = n.nodeID;
        if (which & kFSCatInfoSharingFlags) info->sharingFlags = 0;
        // Asked of the kernel once, however many fields show it.
        const UInt8 access =
            (which & (kFSCatInfoUserPrivs | kFSCatInfoPermissions | kFSCatInfoUserAccess))
                ? user_access(n, listing)
                : 0;
        if (which & kFSCatInfoUserPrivs) {
            UInt8 a = access;
            UInt8 p = 0;
            if (!(a & kAccessSearch)) p |= kioACUserNoSeeFolderMask;
            if (!(a & kAccessRead)) p |= kioACUserNoSeeFilesMask;
            if (!(a & kAccessWrite)) p |= kioACUserNoMakeChangesMask;
            if (!(a & kAccessOwner)) p |= kioACUserNotOwnerMask;
            info->userPrivileges = p;
        }
        if (which & kFSCatInfoContentMod) info->contentModDate = from_stx(n.st.stx_mtime);
        if (which & kFSCatInfoAttrMod) info->attributeModDate = from_stx(n.st.stx_ctime);
        if (which & kFSCatInfoAccessDate) info->accessDate = from_stx(n.st.stx_atime);
        if (which & (kFSCatInfoPermissions | kFSCatInfoUserAccess)) {
            FSPermissionInfo p{};
            p.userID = n.st.stx_uid;
            p.groupID = n.st.stx_gid;
            p.userAccess = access;
            p.mode = UInt16(n.st.stx_mode);
            std::memcpy(info->permissions, &p, sizeof p);
        }
        if (which & kFSCatInfoDataSizes) {
            bool file = S_ISREG(n.st.stx_mode);
            info->dataLogicalSize = file ? n.st.stx_size : 0;
            info->dataPhysicalSize = file ? n.st.stx_blocks * 512 : 0;
        }
        if (which & kFSCatInfoRsrcSizes) {
            const rsrc::Sizes s = rsrc::sizes_of(n, known);
            info->rsrcLogicalSize = s.logical;
            info->rsrcPhysicalSize = s.physical;
        }
        if (which & kFSCatInfoValence) info->valence = n.is_dir() ? count_entries(n) : 0;
        if (which & fromRecord) {
            meta::Record rec;
            bool have =
                !n.is_link() && !noRecord && meta::read(n, &rec, nullptr) == meta::ReadResult::Ok;
            // Without a record, the dates Netatalk 2 kept in ".AppleDouble".
            meta::Record old;
            const bool haveOld = !have && !known.noAppleDouble &&
                                 (which & (kFSCatInfoCreateDate | kFSCatInfoBackupDate)) &&
                                 appledir::record_of(n, &old);
            PreciseDates pd;
            if (!n.is_link() && !noRecord &&
                (which & (kFSCatInfoCreateDate | kFSCatInfoBackupDate)))
                pd = read_precise(n);
            // The precise date is used while the record agrees with it
            // (another program may have changed the record since).
            auto recorded = [&](meta::DateIndex i) {
                std::int32_t s;
                if (haveOld) return meta::get_date(old, i, &s) ? s : meta::kUnknownDate;
                return have && meta::get_date(rec, i, &s) ? s : meta::kUnknownDate;
            };
            if (which & kFSCatInfoCreateDate) {
                const std::int32_t s = recorded(meta::kCreate);
                // With no record, or one without a creation date, the
                // precise date alone: a copy keeps its source's birth this
                // way, where POSIX cannot set one, without a record of its own.
                const bool precise =
                    pd.haveCreate && (s == meta::kUnknownDate || to_record(pd.create) == s);
                if (precise)
                    info->createDate = pd.create;
                else if (s != meta::kUnknownDate)
                    info->createDate = from_record(s);
                else if (n.st.stx_mask & STATX_BTIME)
                    info->createDate = from_stx(n.st.stx_btime);
                else
                    info->createDate = from_stx(n.st.stx_mtime);  // the oldest date POSIX keeps
            }
            if (which & kFSCatInfoBackupDate) {
                const std::int32_t s = recorded(meta::kBackup);
                if (have && pd.haveBackup && to_record(pd.backup) == s)
                    info->backupDate = pd.backup;
                else if (s != meta::kUnknownDate)
                    info->backupDate = from_record(s);
                else
                    info->backupDate = UTCDateTime{};  // never backed up
            }
            if (which & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo)) {
                std::uint8_t disk[32] = {}, fi[16], xfi[16];
                layouts::shown_finder_info(n, have ? &rec : nullptr, !known.noSidecar, !noAfpInfo,
                                           disk, !known.noAppleDouble);
                meta::finder_to_host(disk, n.is_dir(), fi, xfi);
                if (which & kFSCatInfoFinderInfo) std::memcpy(info->finderInfo, fi, 16);
                if (which & kFSCatInfoFinderXInfo) std::memcpy(info->extFinderInfo, xfi, 16);
            }
        }
    }
    if (name != nullptr) {
        if (n.root) {
            Volume v;
            if (OSErr e = volume_by_ref(n.vref, &v)) return e;
            if (OSErr e = name_to_unicode(volume_name(v), name)) return e;
        } else if (OSErr e = name_to_unicode(n.name, name)) {
            return e;
        }
    }
    if (spec != nullptr) {
        spec->vRefNum = n.vref;
        spec->parID = SInt32(n.parentID);
        std::string nm = n.name;
        if (n.root) {
            Volume v;
            if (volume_by_ref(n.vref, &v) == noErr) nm = volume_name(v);
        }
        name_to_pascal(nm, n.nodeID, spec->name, sizeof spec->name);
    }
    if (parentRef != nullptr) {
        if (n.root) {
            std::memset(parentRef, 0, sizeof *parentRef);  // a volume's root has no parent object
        } else {
            Node p;
            if (OSErr e = dir_by_id(n.vref, n.parentID, &p))
                return e == dirNFErr ? OSErr(fnfErr) : e;
            make_ref(p, parentRef);
        }
    }
    return noErr;
}

}  // namespace

OSErr fill_catalog_info(const Node& n, FSCatalogInfoBitmap which, FSCatalogInfo* info,
                        HFSUniStr255* name, FSSpec* spec, FSRef* parentRef,
                        const Listing* listing) {
    // What a change killed half-way through left is finished first: the
    // caller sees the file wholly as it was changed.
    constexpr FSCatalogInfoBitmap kChangedTogether =
        kFSCatInfoCreateDate | kFSCatInfoBackupDate | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo |
        kFSCatInfoContentMod | kFSCatInfoAccessDate | kFSCatInfoPermissions;
    if (info != nullptr && (which & kChangedTogether) && roll_forward(n)) {
        Node now = n;
        if (restat(&now) == noErr)
            return fill_now(now, which, info, name, spec, parentRef, listing);
    }
    return fill_now(n, which, info, name, spec, parentRef, listing);
}

namespace {

// A change that replaces a file's sidecar (its copy of the Finder
// information) besides the file's own record, times, mode or lock is
// journalled, and a kill part-way through is rolled forward by the next
// listing of its folder: setting the same information again is harmless
// where it was already set. The journal's entry changes the folder, which
// the sidecar's replacement does anyway; a change to the file's inode alone
// (several of its attributes and times) writes none, so as not to change
// its folder's date.
constexpr std::string_view kSetInfoJournal = "set catalog info";

bool needs_journal(const Node& n, FSCatalogInfoBitmap which) {
    if (n.root || !S_ISREG(n.st.stx_mode)) return false;
    if (!(which & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo))) return false;
    return rsrc::is_sidecar_of(n.at(), n.name);
}

// The payload, all integers big-endian: its format's version (one byte,
// kSetInfoFormat), the file's inode (8 bytes), the fields asked for (4),
// then every settable field: the node flags (2), the five dates (2 + 4 + 2
// each), the four permission words (4 each), the Finder information in the
// record's 32-byte form (a file's: only files are journalled), the text
// encoding hint (4); then the file's path. Written field by field, so that
// another build (another compiler, padding, byte order) reads it the same;
// a version this build does not know leaves the journal for one that does.
constexpr std::uint8_t kSetInfoFormat = 1;
constexpr std::size_t kSetInfoFixed = 1 + 8 + 4 + 2 + 5 * 8 + 4 * 4 + 32 + 4;

void put_be(std::string& out, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
}
std::uint64_t get_be(std::string_view& in, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<unsigned char>(in[std::size_t(i)]);
    in.remove_prefix(std::size_t(bytes));
    return v;
}

// The fixed part of the payload (see above); the journal adds the path.
std::string set_info_fields(const Node& n, FSCatalogInfoBitmap which, const FSCatalogInfo& info) {
    std::string out;
    put_be(out, kSetInfoFormat, 1);
    put_be(out, n.st.stx_ino, 8);
    put_be(out, which, 4);
    put_be(out, info.nodeFlags, 2);
    for (const UTCDateTime* d : {&info.createDate, &info.contentModDate, &info.attributeModDate,
                                 &info.accessDate, &info.backupDate}) {
        put_be(out, d->highSeconds, 2);
        put_be(out, d->lowSeconds, 4);
        put_be(out, d->fraction, 2);
    }
    for (const UInt32 p : info.permissions) put_be(out, p, 4);
    std::uint8_t disk[32];
    meta::finder_to_disk(info.finderInfo, info.extFinderInfo, false, disk);
    out.append(reinterpret_cast<const char*>(disk), sizeof disk);
    put_be(out, info.textEncodingHint, 4);
    return out;
}

std::string set_info_journal(const std::string& path, const Node& n, FSCatalogInfoBitmap which,
                             const FSCatalogInfo& info) {
    return set_info_fields(n, which, info) + path;
}

// Reads what set_info_fields wrote at the start of `payload` (which it
// leaves at what follows). False when it is cut short.
bool get_set_info(std::string_view& payload, std::uint64_t* ino, FSCatalogInfoBitmap* which,
                  FSCatalogInfo* out) {
    if (payload.size() < kSetInfoFixed) return false;
    payload.remove_prefix(1);
    *ino = get_be(payload, 8);
    const auto bits = static_cast<FSCatalogInfoBitmap>(get_be(payload, 4));
    FSCatalogInfo info{};
    info.nodeFlags = static_cast<UInt16>(get_be(payload, 2));
    for (UTCDateTime* d : {&info.createDate, &info.contentModDate, &info.attributeModDate,
                           &info.accessDate, &info.backupDate}) {
        d->highSeconds = static_cast<UInt16>(get_be(payload, 2));
        d->lowSeconds = static_cast<UInt32>(get_be(payload, 4));
        d->fraction = static_cast<UInt16>(get_be(payload, 2));
    }
    for (UInt32& p : info.permissions) p = static_cast<UInt32>(get_be(payload, 4));
    std::uint8_t disk[32];
    std::memcpy(disk, payload.data(), sizeof disk);
    payload.remove_prefix(sizeof disk);
    meta::finder_to_host(disk, false, info.finderInfo, info.extFinderInfo);
    info.textEncodingHint = static_cast<TextEncoding>(get_be(payload, 4));
    *which = bits;
    *out = info;
    return true;
}

bool recover_set_info(int /*dirFd*/, std::string_view payload) {
    if (payload.empty()) return true;  // cut short while written: nothing began
    if (static_cast<std::uint8_t>(payload[0]) != kSetInfoFormat) return false;
    if (payload.size() <= kSetInfoFixed) return true;
    std::uint64_t ino = 0;
    FSCatalogInfoBitmap bits = 0;
    FSCatalogInfo info{};
    if (!get_set_info(payload, &ino, &bits, &info)) return true;
    Node n;
    if (node_from_path(payload, &n) != noErr || n.st.stx_ino != ino)
        return true;  // another object has the name now: not this change's
    FSRef ref;
    make_ref(n, &ref);
    (void)FSSetCatalogInfo(&ref, bits, &info);
    return true;
}

[[maybe_unused]] const bool kSetInfoRecovery = [] {
    commit::register_recovery(kSetInfoJournal, recover_set_info);
    return true;
}();

// A change to one inode alone that takes more than one system call (the
// record and the precise dates beside it, the inode's times, its owner and
// mode) writes no journal, whose entry would change the folder's date: it
// is made whole by an intent on the inode itself. The attribute kIntentAttr
// holds the whole change (the journal's fields, with no path) and is
// written before its first step and taken off after its last, while its
// maker holds a flock on the file. A kill between leaves it, and the next
// File Manager read of the file's dates, Finder information or permissions
// carries the change through (setting what is already set changes
// nothing), then takes it off; a maker still at work (the flock held) is
// left to finish. An intent made for another inode (copied with the
// attributes by another program) is not this file's and is left alone.
constexpr const char* kIntentAttr = "user.org.vantrel.Intent";

// Inside a roll-forward: the change it makes is the intent's own.
thread_local bool t_rollingForward = false;

bool needs_intent(const Node& n, FSCatalogInfoBitmap which, bool wantLocked) {
    if (n.root || n.is_link() || n.locked() || wantLocked || t_rollingForward ||
        commit::journalled())
        return false;
    const bool record = which & (kFSCatInfoCreateDate | kFSCatInfoBackupDate |
                                 kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo);
    const bool times = which & (kFSCatInfoContentMod | kFSCatInfoAccessDate);
    // Dates go to the record and the precise dates: two attributes. The
    // permissions are an owner, a mode and the sidecar's.
    return (which & (kFSCatInfoCreateDate | kFSCatInfoBackupDate)) ||
           (which & kFSCatInfoPermissions) || (record && times);
}

class Intent {
  public:
    Intent() = default;
    Intent(const Intent&) = delete;
    Intent& operator=(const Intent&) = delete;
    ~Intent() {
        if (!written_) return;
        const fault::Benign benign;  // one left behind is carried through again: a no-op
        (void)fault::step("FSSetCatalogInfo.intent", n_->name, [&] {
            const int rc = meta::remove_attr(*n_, kIntentAttr);
            return rc != 0 && errno == ENODATA ? 0 : rc;
        });
    }
    // Writes the intent of the change `payload` on `n`. A file system
    // without such attributes has nothing else to keep whole either, and a
    // caller who may change the file's mode or dates but not its attributes
    // (the owner of a read-only file, a sticky folder's) changes no record
    // either: the change then runs as before. Any other failure (a full
    // disk, no room for attributes) is the change's, before it began.
    OSErr begin(const Node& n, const std::string& payload) {
        if (::faccessat(n.at(), n.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
            return noErr;
        held_ = UniqueFd(
            ::openat(n.at(), n.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (held_) (void)::flock(held_.get(), LOCK_EX);  // another maker finishes first
        if (fault::step("FSSetCatalogInfo.intent", n.name, [&] {
                return meta::set_attr(n, kIntentAttr, payload.data(), payload.size());
            }) != 0)
            return errno == ENOTSUP ? OSErr{noErr} : from_errno(errno, Op::Write, &n);
        n_ = &n;
        written_ = true;
        return noErr;
    }

  private:
    const Node* n_ = nullptr;
    UniqueFd held_;
    bool written_ = false;
};

// Whether `n` may hold an intent. The list of its attribute names answers
// in one call that costs less than a read finding none (most files have no
// attribute at all); a list not to be had, or one from a file system whose
// lists may leave names out, says maybe.
bool may_hold_intent(const Node& n) {
    if (!lists_every_attribute(n)) return true;
    char names[1024];
    // Read before the list: a file found without attributes is noted for
    // a copy that follows (see note_no_attrs).
    struct timespec before {};
    ::clock_gettime(CLOCK_REALTIME, &before);
    const long len = meta::list_attr_names(n, names, sizeof names);
    if (len < 0) return true;
    if (len == 0) meta::note_no_attrs(n, before);
    bool found = false;
    meta::each_attr_name(std::string_view(names, std::size_t(len)),
                         [&](std::string_view one) { found = found || one == kIntentAttr; });
    return found;
}

// Carries through the change an intent on `n` says was cut short; true
// when there was one and it was this file's (the caller reads `n` again).
// One list of attribute names when there is none.
bool roll_forward(const Node& n) {
    if (t_rollingForward || n.root || n.is_link() ||
        !(S_ISREG(n.st.stx_mode) || S_ISDIR(n.st.stx_mode)) || !may_hold_intent(n))
        return false;
    char buf[kSetInfoFixed + 64];
    const ssize_t len = meta::get_attr(n, kIntentAttr, buf, sizeof buf);
    if (len < 1 || static_cast<std::uint8_t>(buf[0]) != kSetInfoFormat) return false;
    std::string_view payload(buf, std::size_t(len));
    std::uint64_t ino = 0;
    FSCatalogInfoBitmap bits = 0;
    FSCatalogInfo info{};
    if (!get_set_info(payload, &ino, &bits, &info) || ino != n.st.stx_ino) return false;
    // Its maker, alive, holds the file: its change is its own to finish.
    const UniqueFd held(
        ::openat(n.at(), n.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (held && ::flock(held.get(), LOCK_EX | LOCK_NB) != 0) return false;
    t_rollingForward = true;
    FSRef ref;
    make_ref(n, &ref);
    const OSErr e = FSSetCatalogInfo(&ref, bits, &info);
    if (e == noErr) {
        const fault::Benign benign;
        (void)fault::step("FSSetCatalogInfo.intent", n.name, [&] {
            const int rc = meta::remove_attr(n, kIntentAttr);
            return rc != 0 && errno == ENODATA ? 0 : rc;
        });
    }
    t_rollingForward = false;
    return true;
}

}  // namespace
}  // namespace vantrel::fm

using namespace vantrel;
using namespace vantrel::fm;

OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                       HFSUniStr255* outName, FSSpec* fsSpec, FSRef* parentRef) {
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("FSGetCatalogInfo", n.name)) return e;
    return fill_catalog_info(n, catalogInfo ? whichInfo : 0, catalogInfo, outName, fsSpec,
                             parentRef);
}

OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                       const FSCatalogInfo* catalogInfo) {
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("FSSetCatalogInfo", n.name)) return e;
    // Bits that cannot be set (volume, IDs, sizes, ...) are ignored, as is the
    // attribute-modification date: the kernel keeps ctime itself.
    FSCatalogInfoBitmap which = whichInfo & kFSCatInfoSettableInfo;
    if (which == 0) return noErr;
    if (catalogInfo == nullptr) return paramErr;
    const bool setsFlags = which & kFSCatInfoNodeFlags;
    const bool wantLocked = setsFlags && (catalogInfo->nodeFlags & kFSNodeLockedMask);
    const FSCatalogInfoBitmap others =
        which & ~(kFSCatInfoNodeFlags | kFSCatInfoAttrMod | kFSCatInfoTextEncoding);

    // A locked object changes only by being unlocked first.
    if (n.locked() && (!setsFlags || wantLocked)) return others ? fLckdErr : noErr;
    commit::Journal journal;
    if (std::string path; needs_journal(n, which) && node_path(n, &path) == noErr)
        if (OSErr e = journal.begin(n.at(), kSetInfoJournal,
                                    set_info_journal(path, n, which, *catalogInfo)))
            return e;
    // Declared before the changes: a failure puts them back, then the
    // intent goes.
    Intent intent;
    if (needs_intent(n, which, wantLocked))
        if (OSErr e = intent.begin(n, set_info_fields(n, which, *catalogInfo))) return e;
    Changes changes(n);
    if (n.locked()) {
        if (OSErr e = set_immutable(n, false, "FSSetCatalogInfo.unlock")) return e;
        changes.unlocked();
        if (OSErr e = restat(&n)) return e;
    }

    if (which & (kFSCatInfoCreateDate | kFSCatInfoBackupDate | kFSCatInfoFinderInfo |
                 kFSCatInfoFinderXInfo)) {
        if (n.is_link()) return errFSOperationNotSupported;
        meta::Record rec;
        std::string raw;
        int readErr = 0;
        meta::ReadResult rr = meta::read(n, &rec, &raw, &readErr);
        // A record that exists but cannot be read is not replaced by a
        // fresh one: that would lose its comment, dates and foreign entries.
        if (rr == meta::ReadResult::Unreadable) return from_errno(readErr, Op::Read, &n);
        if (rr != meta::ReadResult::Ok) rec = layouts::fresh_record(n);
        {
            // A change starts from what the file shows, whichever layout
            // that came from: setting a date never blanks the type a Mac
            // or Samba's stream gave it.
            std::uint8_t shown[32];
            layouts::shown_finder_info(n, rr == meta::ReadResult::Ok ? &rec : nullptr, true, true,
                                       shown);
            std::memcpy(rec.need(meta::kFinderInfoId, 32).data.data(), shown, sizeof shown);
        }
        if (which & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo)) {
            meta::Entry& e = rec.need(meta::kFinderInfoId, 32);
            std::uint8_t disk[32], fi[16], xfi[16];
            std::memcpy(disk, e.data.data(), 32);
            meta::finder_to_host(disk, n.is_dir(), fi, xfi);
            if (which & kFSCatInfoFinderInfo) std::memcpy(fi, catalogInfo->finderInfo, 16);
            if (which & kFSCatInfoFinderXInfo) std::memcpy(xfi, catalogInfo->extFinderInfo, 16);
            meta::finder_to_disk(fi, xfi, n.is_dir(), disk);
            std::memcpy(e.data.data(), disk, 32);
        }
        PreciseDates pd = read_precise(n, &readErr);
        if (readErr != 0) return from_errno(readErr, Op::Read, &n);
        if (which & kFSCatInfoCreateDate) {
            meta::set_date(rec, meta::kCreate, to_record(catalogInfo->createDate));
            pd.create = catalogInfo->createDate;
            pd.haveCreate = true;
        }
        if (which & kFSCatInfoBackupDate) {
            meta::set_date(rec, meta::kBackup, to_record(catalogInfo->backupDate));
            pd.backup = catalogInfo->backupDate;
            pd.haveBackup = true;
        }
        if (rr == meta::ReadResult::Corrupt) changes.before_attr(meta::kCorruptAttr);
        changes.before_attr(meta::kExtraAttr);
        changes.before_attr(meta::kMetadataAttr);
        if (rr != meta::ReadResult::Corrupt && says_nothing(n, rec, pd)) {
            // Everything is as a file without a record shows it: no record
            // (giving back the values a file had undoes a change exactly).
            changes.before_attr(kDatesAttr);
            for (const char* attr : {meta::kMetadataAttr, kDatesAttr, meta::kExtraAttr}) {
                if (fault::step("FSSetCatalogInfo.setxattr", n.name, [&] {
                        const int rc = meta::remove_attr(n, attr);
                        return rc != 0 && errno == ENODATA ? 0 : rc;
                    }) != 0)
                    return from_errno(errno, Op::Write, &n);
            }
        } else if (OSErr e =
                       meta::write(n, rec, rr == meta::ReadResult::Corrupt ? &raw : nullptr)) {
            return e;
        } else if (which & (kFSCatInfoCreateDate | kFSCatInfoBackupDate)) {
            const std::string b = precise_bytes(pd);
            changes.before_attr(kDatesAttr);
            if (fault::step("FSSetCatalogInfo.dates", n.name,
                            [&] { return meta::set_attr(n, kDatesAttr, b.data(), b.size()); }) != 0)
                return from_errno(errno, Op::Write, &n);
        }
        // Where the volume keeps Finder information in Samba's AfpInfo
        // stream, the stream follows the record.
        if (which & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo | kFSCatInfoBackupDate)) {
            std::uint8_t disk[32] = {};
            if (const meta::Entry* e = rec.find(meta::kFinderInfoId))
                std::copy_n(e->data.begin(), std::min(e->data.size(), sizeof disk), disk);
            const std::int32_t backup = to_record(catalogInfo->backupDate);
            changes.before_attr(ad::kAfpInfoAttr);
            if (OSErr e = layouts::write_afpinfo(n, disk,
                                                 (which & kFSCatInfoBackupDate) ? &backup : nullptr,
                                                 "FSSetCatalogInfo.afpinfo"))
                return e;
        }
        // The copy in the resource fork's sidecar follows the record, so
        // that a Mac client reading the sidecar sees the same.
        if ((which & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo)) && S_ISREG(n.st.stx_mode)) {
            std::uint8_t disk[rsrc::kFinderInfoSize] = {};
            if (const meta::Entry* e = rec.find(meta::kFinderInfoId))
                std::copy_n(e->data.begin(), std::min(e->data.size(), sizeof disk), disk);
            rsrc::Replaced replaced;
            if (OSErr e = rsrc::set_finder_info(n.at(), n.name, disk, "FSSetCatalogInfo.finderInfo",
                                                &replaced))
                return e;
            changes.sidecar_replaced(std::move(replaced));
        }
    }
    if (which & (kFSCatInfoContentMod | kFSCatInfoAccessDate)) {
        struct timespec ts[2];
        ts[0].tv_nsec = ts[1].tv_nsec = UTIME_OMIT;
        std::int64_t sec;
        std::uint32_t nsec;
        // A date equal to what the file shows leaves its nanoseconds alone;
        // one given back as it was shown before our last change of it
        // restores them.
        auto set = [&](int i, const UTCDateTime& d, const struct statx_timestamp& now) {
            if (same_utc(d, from_stx(now))) return;
            if (const auto exact = earlier_time(n, i, d)) {
                ts[i] = *exact;
                return;
            }
            timespec_from_utc(d, &sec, &nsec);
            ts[i] = {time_t(sec), long(nsec)};
        };
        if (which & kFSCatInfoAccessDate) set(0, catalogInfo->accessDate, n.st.stx_atime);
        if (which & kFSCatInfoContentMod) set(1, catalogInfo->contentModDate, n.st.stx_mtime);
        if (ts[0].tv_nsec != UTIME_OMIT || ts[1].tv_nsec != UTIME_OMIT) {
            changes.times_set();
            const char* nm = n.root ? "." : n.name.c_str();
            if (fault::step("FSSetCatalogInfo.times", n.name, [&] {
                    return ::utimensat(n.at(), nm, ts, AT_SYMLINK_NOFOLLOW);
                }) != 0) {
                // Only the owner may give a file a date, but whoever may
                // write it may set both its times to now (as touch does). A
                // date asked for that is now (within the two seconds a
                // reading of the clock and a bumped date may differ by) is
                // set that way for one who is not the owner; the access
                // time comes along, as a write would move it.
                if (errno != EPERM || !times_are_now(ts) ||
                    fault::step("FSSetCatalogInfo.times", n.name, [&] {
                        const struct timespec both[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
                        return ::utimensat(n.at(), nm, both, AT_SYMLINK_NOFOLLOW);
                    }) != 0)
                    return from_errno(errno, Op::Write, &n);
            }
            if (ts[0].tv_nsec != UTIME_OMIT) remember_time(n, 0, n.st.stx_atime);
            if (ts[1].tv_nsec != UTIME_OMIT) remember_time(n, 1, n.st.stx_mtime);
        }
    }
    if (which & kFSCatInfoPermissions) {
        FSPermissionInfo p;
        std::memcpy(&p, catalogInfo->permissions, sizeof p);
        const char* nm = n.root ? "." : n.name.c_str();
        if (p.userID != n.st.stx_uid || p.groupID != n.st.stx_gid) {
            changes.owner_set();
            if (fault::step("FSSetCatalogInfo.chown", n.name, [&] {
                    return ::fchownat(n.at(), nm, p.userID, p.groupID, AT_SYMLINK_NOFOLLOW);
                }) != 0)
                return from_errno(errno, Op::Write, &n);
        }
        if (!n.is_link() && (p.mode & 07777) != (n.st.stx_mode & 07777)) {
            changes.mode_set();
            if (fault::step("FSSetCatalogInfo.chmod", n.name, [&] {
                    return ::fchmodat(n.at(), nm, p.mode & 07777, AT_SYMLINK_NOFOLLOW);
                }) != 0)
                return from_errno(errno, Op::Write, &n);
        }
        if (OSErr e = sidecar_follows(n, p.userID, p.groupID,
                                      p.userID != n.st.stx_uid || p.groupID != n.st.stx_gid,
                                      p.mode & 07777, changes))
            return e;
    }
    if (wantLocked && !n.locked()) {
        if (OSErr e = set_immutable(n, true, "FSSetCatalogInfo.lock")) return e;
    }
    changes.commit();
    return noErr;
}
