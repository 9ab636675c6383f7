// The AppleDouble metadata record's attribute: reading and writing it, and
// its Finder information in the machine's byte order. The record's bytes
// are the codec's (cat_appledouble.cpp).
#include "fm/cat_metadata.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "fm/cat_dates.h"
#include "fm/err_errno.h"
#include "fm/ref_node.h"
#include "vantrel/fault.h"

// The record's writers name their steps; FSSetCatalogInfo's are the default.
VANTREL_FAULT_OPERATIONS("FSSetCatalogInfo.keepCorrupt", "FSSetCatalogInfo.setxattr");

namespace vantrel::fm::meta {
namespace {

// Field widths of the four Finder-information structures, in order.
constexpr int kFileInfo[] = {4, 4, 2, 2, 2, 2};
constexpr int kFolderInfo[] = {2, 2, 2, 2, 2, 2, 2, 2};
constexpr int kExtFileInfo[] = {2, 2, 2, 2, 2, 2, 4};
constexpr int kExtFolderInfo[] = {2, 2, 4, 2, 2, 4};

template <std::size_t N>
void swap_fields(const std::uint8_t* in, std::uint8_t* out, const int (&widths)[N]) {
    std::size_t off = 0;
    for (int w : widths) {
        for (int i = 0; i < w; ++i) out[off + i] = in[off + w - 1 - i];
        off += w;
    }
}

}  // namespace

void finder_to_host(const std::uint8_t disk[32], bool isDir, std::uint8_t info[16],
                    std::uint8_t xinfo[16]) {
    if (isDir) {
        swap_fields(disk, info, kFolderInfo);
        swap_fields(disk + 16, xinfo, kExtFolderInfo);
    } else {
        swap_fields(disk, info, kFileInfo);
        swap_fields(disk + 16, xinfo, kExtFileInfo);
    }
}

void finder_to_disk(const std::uint8_t info[16], const std::uint8_t xinfo[16], bool isDir,
                    std::uint8_t disk[32]) {
    if (isDir) {
        swap_fields(info, disk, kFolderInfo);
        swap_fields(xinfo, disk + 16, kExtFolderInfo);
    } else {
        swap_fields(info, disk, kFileInfo);
        swap_fields(xinfo, disk + 16, kExtFileInfo);
    }
}

long list_attr_names(const Node& n, char* buf, std::size_t size) {
    if (n.root) {
        errno = ENOTSUP;
        return -1;
    }
    return list_attr_names(n.at(), n.name.c_str(), buf, size);
}

long list_attr_names(int dirFd, const char* name, char* buf, std::size_t size) {
#ifdef __linux__
    constexpr long kListxattrat = 465;  // the same number on every architecture
    static std::atomic<bool> missing{false};
    if (missing.load(std::memory_order_relaxed)) {
        errno = ENOTSUP;
        return -1;
    }
    const long len = ::syscall(kListxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, buf, size);
    if (len < 0 && errno == ENOSYS) missing.store(true, std::memory_order_relaxed);
    return len;
#else
    (void)dirFd;
    (void)name;
    (void)buf;
    (void)size;
    errno = ENOTSUP;
    return -1;
#endif
}

namespace {
thread_local ListedAttrs* t_listed = nullptr;

// Files a listing found without attributes: a listing reads a batch of a
// folder's entries before the copy of the first, so the table holds more
// than a batch; a file whose slot another took is listed again.
struct NoAttrs {
    std::uint64_t dev = 0, ino = 0;
    struct statx_timestamp ctime {};
};
constexpr std::size_t kNoAttrsSlots = 1024;
thread_local std::unique_ptr<NoAttrs[]> t_noAttrs;

NoAttrs& no_attrs_slot(std::uint64_t ino) {
    if (!t_noAttrs) t_noAttrs = std::make_unique<NoAttrs[]>(kNoAttrsSlots);
    return t_noAttrs[ino % kNoAttrsSlots];
}
}  // namespace

void note_no_attrs(const Node& n, const struct timespec& before) {
    const bool wholeSeconds = n.st.stx_ctime.tv_nsec == 0;
    if (!S_ISREG(n.st.stx_mode) || !(n.st.stx_mask & STATX_CTIME) ||
        !stamped_before(n.st.stx_ctime, wholeSeconds, before))
        return;
    no_attrs_slot(n.st.stx_ino) = NoAttrs{std::uint64_t(n.dev()), n.st.stx_ino, n.st.stx_ctime};
}

bool had_no_attrs(const struct statx& st) {
    if (!t_noAttrs || !(st.stx_mask & STATX_CTIME)) return false;
    NoAttrs& slot = no_attrs_slot(st.stx_ino);
    const bool same = slot.ino == st.stx_ino && slot.ino != 0 &&
                      slot.dev == std::uint64_t(makedev(st.stx_dev_major, st.stx_dev_minor)) &&
                      slot.ctime.tv_sec == st.stx_ctime.tv_sec &&
                      slot.ctime.tv_nsec == st.stx_ctime.tv_nsec;
    if (same) slot = NoAttrs{};
    return same;
}

ListedAttrs::ListedAttrs(const Node& n, bool whole, const char* step) : n_(&n), outer_(t_listed) {
    t_listed = this;
    if (!whole) return;
    // Room for far more names than a file of ours has; a list that does not
    // fit answers nothing, and each read asks for itself.
    std::string buf(4096, '\0');
    long len = 0;
    {
        fault::Benign benign;
        len = fault::step(step, n.name, [&] { return list_attr_names(n, buf.data(), buf.size()); });
    }
    if (len < 0) return;
    each_attr_name(std::string_view(buf.data(), std::size_t(len)),
                   [&](std::string_view one) { names_.emplace_back(one); });
    known_ = true;
}

ListedAttrs::~ListedAttrs() {
    t_listed = outer_;
}

bool ListedAttrs::has(std::string_view attr) const {
    return !known_ || std::find(names_.begin(), names_.end(), attr) != names_.end();
}

ListedAttrs* ListedAttrs::of(const Node& n) {
    for (ListedAttrs* l = t_listed; l != nullptr; l = l->outer_)
        if (l->n_ == &n && l->known_) return l;
    return nullptr;
}

void ListedAttrs::added(std::string_view attr) {
    if (known_ && !has(attr)) names_.emplace_back(attr);
}

void ListedAttrs::removed(std::string_view attr) {
    names_.erase(std::remove(names_.begin(), names_.end(), attr), names_.end());
}

ssize_t get_attr(const Node& n, const char* attr, void* buf, std::size_t size) {
    if (const ListedAttrs* l = ListedAttrs::of(n); l != nullptr && !l->has(attr)) {
        errno = ENODATA;
        return -1;
    }
#ifdef __linux__
    // getxattrat came with Linux 6.13; its number is the same on every
    // architecture. An older kernel answers ENOSYS, once.
    constexpr long kGetxattrat = 464;
    struct XattrArgs {
        std::uint64_t value;
        std::uint32_t size;
        std::uint32_t flags;
    };
    // A volume's root is its own descriptor, opened O_PATH: the kernel reads
    // no attribute through that (EBADF), so the root takes the path form.
    static std::atomic<bool> missing{false};
    if (!n.root && !missing.load(std::memory_order_relaxed)) {
        XattrArgs args{reinterpret_cast<std::uintptr_t>(buf), std::uint32_t(size), 0};
        const long rc = ::syscall(kGetxattrat, n.at(), n.name.c_str(), AT_SYMLINK_NOFOLLOW, attr,
                                  &args, sizeof args);
        if (rc >= 0 || (errno != ENOSYS && errno != EPERM)) return ssize_t(rc);
        // ENOSYS: an older kernel. EPERM: perhaps a sandbox that refuses
        // calls it does not know; the path form answers for itself.
        if (errno == ENOSYS) missing.store(true, std::memory_order_relaxed);
    }
#endif
    if (n.root) return ::getxattr(n.proc_path().c_str(), attr, buf, size);
    return ::lgetxattr(n.proc_path().c_str(), attr, buf, size);
}

namespace {

// setxattrat and removexattrat came with getxattrat (Linux 6.13), with the
// same numbers on every architecture: relative to the parent's descriptor,
// they spare the path walk through /proc that the l- forms take. -1 with
// errno ENOSYS when the path form must answer (an older kernel, remembered;
// or EPERM from the call, which a sandbox may give for calls it does not
// know: the path form then says whether the attribute is really refused).
std::atomic<bool> g_noXattrAt{false};

long xattr_at(const Node& n, long call, const char* attr, const void* value, std::size_t size) {
#ifdef __linux__
    struct XattrArgs {
        std::uint64_t value;
        std::uint32_t size;
        std::uint32_t flags;
    };
    if (!n.root && !g_noXattrAt.load(std::memory_order_relaxed)) {
        XattrArgs args{reinterpret_cast<std::uintptr_t>(value), std::uint32_t(size), 0};
        const long rc = value == nullptr
                            ? ::syscall(call, n.at(), n.name.c_str(), AT_SYMLINK_NOFOLLOW, attr)
                            : ::syscall(call, n.at(), n.name.c_str(), AT_SYMLINK_NOFOLLOW, attr,
                                        &args, sizeof args);
        if (rc >= 0 || (errno != ENOSYS && errno != EPERM)) return rc;
        if (errno == ENOSYS) g_noXattrAt.store(true, std::memory_order_relaxed);
    }
#else
    (void)n, (void)call, (void)attr, (void)value, (void)size;
#endif
    errno = ENOSYS;
    return -1;
}

}  // namespace

int set_attr(const Node& n, const char* attr, const void* value, std::size_t size) {
    constexpr long kSetxattrat = 463;
    // A value is never null here (an empty one points somewhere all the same).
    static const char kEmpty = 0;
    long rc = xattr_at(n, kSetxattrat, attr, value != nullptr ? value : &kEmpty, size);
    if (rc < 0 && errno == ENOSYS) {
        const std::string path = n.proc_path();
        rc = n.root ? ::setxattr(path.c_str(), attr, value, size, 0)
                    : ::lsetxattr(path.c_str(), attr, value, size, 0);
    }
    if (rc == 0)
        if (ListedAttrs* l = ListedAttrs::of(n)) l->added(attr);
    return int(rc);
}

int remove_attr(const Node& n, const char* attr) {
    constexpr long kRemovexattrat = 466;
    long rc = xattr_at(n, kRemovexattrat, attr, nullptr, 0);
    if (rc < 0 && errno == ENOSYS) {
        const std::string path = n.proc_path();
        rc = n.root ? ::removexattr(path.c_str(), attr) : ::lremovexattr(path.c_str(), attr);
    }
    if (rc == 0 || errno == ENODATA)
        if (ListedAttrs* l = ListedAttrs::of(n)) l->removed(attr);
    return int(rc);
}

ReadResult read(const Node& n, Record* out, std::string* raw, int* err) {
    auto failed = [&](int e) {
        if (e == ENODATA || e == ENOTSUP) return ReadResult::Absent;
        if (err != nullptr) *err = e;
        return ReadResult::Unreadable;
    };
    std::string buf(1024, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t len = get_attr(n, kMetadataAttr, buf.data(), buf.size());
        if (len >= 0) {
            buf.resize(std::size_t(len));
            if (decode(reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size(), out)) {
                std::string extra(4096, '\0');
                const ssize_t got = get_attr(n, kExtraAttr, extra.data(), extra.size());
                if (got < 0 && errno == ERANGE) {
                    const ssize_t need = get_attr(n, kExtraAttr, nullptr, 0);
                    extra.assign(need > 0 ? std::size_t(need) : 0, '\0');
                    const ssize_t again = get_attr(n, kExtraAttr, extra.data(), extra.size());
                    if (again < 0) return failed(errno == ERANGE ? EIO : errno);
                    extra.resize(std::size_t(again));
                } else if (got < 0) {
                    if (errno != ENODATA && errno != ENOTSUP) return failed(errno);
                    extra.clear();
                } else {
                    extra.resize(std::size_t(got));
                }
                decode_extra(extra, out);
                return ReadResult::Ok;
            }
            if (raw != nullptr) *raw = std::move(buf);
            return ReadResult::Corrupt;
        }
        if (errno != ERANGE) return failed(errno);
        ssize_t need = get_attr(n, kMetadataAttr, nullptr, 0);
        if (need < 0) return failed(errno);
        buf.assign(std::size_t(need) + 1, '\0');
    }
    return failed(EIO);  // it keeps growing under us
}

OSErr write(const Node& n, const Record& r, const std::string* corruptRaw, const char* keepStep,
            const char* writeStep, bool extraAbsent) {
    if (corruptRaw != nullptr && fault::step(keepStep, n.name, [&] {
                                     return set_attr(n, kCorruptAttr, corruptRaw->data(),
                                                     corruptRaw->size());
                                 }) != 0)
        return from_errno(errno, Op::Write, &n);
    // The entries other programs may not expect go first, so that a failure
    // between the two writes leaves the record as it was.
    const std::string extra = encode_extra(r);
    if ((!extra.empty() || !extraAbsent) &&
        fault::step(writeStep, n.name, [&] {
            if (!extra.empty()) return set_attr(n, kExtraAttr, extra.data(), extra.size());
            const int rc = remove_attr(n, kExtraAttr);
            return rc != 0 && (errno == ENODATA || errno == ENOTSUP) ? 0 : rc;
        }) != 0)
        return from_errno(errno, Op::Write, &n);
    std::string bytes = encode(r);
    if (fault::step(writeStep, n.name,
                    [&] { return set_attr(n, kMetadataAttr, bytes.data(), bytes.size()); }) != 0)
        return from_errno(errno, Op::Write, &n);
    return noErr;
}

}  // namespace vantrel::fm::meta
