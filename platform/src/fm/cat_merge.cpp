// A "._NAME" file merged into the layout of its volume, as macOS's
// dot_clean merges one (VantrelFSMergeDotUnderscore, vantrel/Sidecars.h),
// and a file's metadata moved whole from the layouts it has to another
// (VantrelFSConvertMacLayout), which merges a macOS "._NAME" the same way.
//
// Whole for the file: every value goes where the layout keeps it first,
// each old value saved, and only then is "._NAME" rewritten or removed, in
// one system call. A failure puts the saved values back; a kill leaves
// every value either merged or still in "._NAME" (both, for a while), and
// the same call done again reaches the same end: its choices depend on
// nothing the merge itself changes (the two files' modification times,
// not the ctime each attribute write moves).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/fullio.h"
#include "fm/cat_appledir.h"
#include "fm/cat_appledouble.h"
#include "fm/cat_info.h"
#include "fm/cat_layouts.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_hidden.h"
#include "fm/fork_sidecar.h"
#include "fm/iter_catalog.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "vantrel/Sidecars.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSMergeDotUnderscore", "VantrelFSMergeDotUnderscore.setxattr",
                         "VantrelFSMergeDotUnderscore.sidecar",
                         "VantrelFSMergeDotUnderscore.rename", "VantrelFSMergeDotUnderscore.unlink",
                         "VantrelFSMergeDotUnderscore.undo", "VantrelFSConvertMacLayout",
                         "VantrelFSConvertMacLayout.setxattr", "VantrelFSConvertMacLayout.sidecar",
                         "VantrelFSConvertMacLayout.undo", "VantrelFSConvertMacLayout.appledouble",
                         "VantrelFSMergeDotUnderscore.listxattr",
                         "VantrelFSConvertMacLayout.listxattr",
                         "VantrelFSMergeFolderDotUnderscores", "VantrelFSConvertFolderMacLayout");

namespace vantrel::fm {
namespace {

// Where Samba's streams_xattr keeps a client's named stream STREAM:
// "user.DosStream.STREAM:$DATA", the stream's bytes and one NUL.
constexpr std::string_view kStreamPrefix = "user.DosStream.";
constexpr std::string_view kStreamSuffix = ":$DATA";
// The largest value Linux lets an extended attribute have (XATTR_SIZE_MAX).
constexpr std::size_t kMaxAttrValue = 65536;
constexpr std::size_t kMaxAttrName = 255;

// The whole value of `attr` of `n`: true with it, false when there is none
// (`*err` 0) or it could not be read (`*err` the errno).
bool get_whole(const Node& n, const char* attr, std::string* out, int* err) {
    *err = 0;
    // Most values (a record, an AfpInfo stream, an attribute macOS keeps)
    // fit a page: one call, not one for the size and one for the bytes.
    out->assign(4096, '\0');
    const ssize_t first = meta::get_attr(n, attr, out->data(), out->size());
    if (first >= 0) {
        out->resize(std::size_t(first));
        return true;
    }
    if (errno != ERANGE) {
        if (errno != ENODATA && errno != ENOTSUP) *err = errno;
        out->clear();
        return false;
    }
    for (int tries = 0; tries < 4; ++tries) {
        const ssize_t len = meta::get_attr(n, attr, nullptr, 0);
        if (len < 0) {
            if (errno != ENODATA && errno != ENOTSUP) *err = errno;
            return false;
        }
        out->assign(std::size_t(len), '\0');
        const ssize_t got = meta::get_attr(n, attr, out->data(), out->size());
        if (got >= 0) {
            out->resize(std::size_t(got));
            return true;
        }
        if (errno == ENODATA) return false;
        if (errno != ERANGE) {
            *err = errno;
            return false;
        }
    }
    *err = ERANGE;  // it keeps growing under us
    return false;
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

// The attributes a merge changed, with what they held, to put back.
class Undo {
  public:
    Undo(const Node& n, const char* setStep, const char* undoStep)
        : n_(n), setStep_(setStep), undoStep_(undoStep) {}
    Undo(const Undo&) = delete;
    Undo& operator=(const Undo&) = delete;
    ~Undo() {
        if (!done_) put_back();
    }
    // Keeps what `attr` holds now (once per attribute).
    OSErr save(const std::string& attr) {
        for (const Saved& s : saved_)
            if (s.attr == attr) return noErr;
        Saved s{attr, false, {}};
        int err = 0;
        s.had = get_whole(n_, attr.c_str(), &s.value, &err);
        if (err != 0) return from_errno(err, Op::Read, &n_);
        saved_.push_back(std::move(s));
        return noErr;
    }
    // The same where the caller has just read what `attr` holds.
    void save_known(const std::string& attr, bool had, const std::string& value) {
        for (const Saved& s : saved_)
            if (s.attr == attr) return;
        saved_.push_back(Saved{attr, had, had ? value : std::string()});
    }
    // Sets `attr` (saved before) to `value`: 0, or -1 with errno.
    int set(const std::string& attr, const std::string& value) {
        return fault::step(setStep_, n_.name, [&] {
            return meta::set_attr(n_, attr.c_str(), value.data(), value.size());
        });
    }
    // Removes `attr` (saved before): 0 also when it is gone, or -1 with errno.
    int remove(const std::string& attr) {
        return fault::step(setStep_, n_.name, [&] {
            const int rc = meta::remove_attr(n_, attr.c_str());
            return rc != 0 && errno == ENODATA ? 0 : rc;
        });
    }
    // Whether `attr` was saved as absent.
    bool saved_absent(const std::string& attr) const {
        for (const Saved& s : saved_)
            if (s.attr == attr) return !s.had;
        return false;
    }
    void commit() { done_ = true; }
    void put_back() {
        fault::Benign benign;
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            (void)fault::step(undoStep_, n_.name, [&] {
                if (it->had)
                    return meta::set_attr(n_, it->attr.c_str(), it->value.data(), it->value.size());
                const int rc = meta::remove_attr(n_, it->attr.c_str());
                return rc != 0 && errno == ENODATA ? 0 : rc;
            });
        }
        done_ = true;
    }

  private:
    struct Saved {
        std::string attr;
        bool had;
        std::string value;
    };
    const Node& n_;
    const char* setStep_;
    const char* undoStep_;
    std::vector<Saved> saved_;
    bool done_ = false;
};

// An item the file system refuses to hold at all (a value past its limit,
// no extended attributes), whatever room it has. ENOSPC is not one: it is
// also a full disk, where nothing may be dropped.
bool unplaceable(int err) {
    return err == E2BIG || err == ENOTSUP || err == ERANGE;
}

// What "._NAME" holds, beside the fork the sidecar reader finds.
struct DotFile {
    rsrc::Sidecar side;
    struct stat st {};
    ad::Header header;
    bool macos = false;      // written by macOS itself: the Finder information and ATTR are its own
    layouts::MacOSFile mac;  // what macOS put in it, read once
    std::uint64_t forkLength = 0;
    std::string start;  // its first bytes (the whole of the usual one, fork and all)

    // The fork's bytes where `start` holds them all, else null.
    const char* fork_bytes() const {
        const std::uint64_t at = side.layout.offset;
        return at + forkLength <= start.size() ? start.data() + at : nullptr;
    }
};

// What the "._NAME" that rsrc::open_reading opened into `out` holds.
OSErr parse_dot_file(DotFile* out) {
    if (out->side.state == rsrc::State::None) return fnfErr;
    if (!out->side.found()) return afpObjectTypeErr;
    const auto* p = reinterpret_cast<const std::uint8_t*>(out->start.data());
    if (ad::decode({p, out->start.size()}, std::uint64_t(out->st.st_size), ad::kSidecar,
                   &out->header) != ad::Error::None)
        return afpObjectTypeErr;
    out->macos = out->header.filler == ad::kMacOSFiller;
    if (out->macos)
        layouts::read_macos(out->side.fd.get(), std::uint64_t(out->st.st_size), out->header,
                            out->start, &out->mac);
    out->forkLength = rsrc::length_at(out->side, std::uint64_t(out->st.st_size));
    return noErr;
}

// How much of "._NAME" is read at once: what macOS writes (a header,
// Finder information with its ATTR block, a small fork) is under 8 KiB.
constexpr std::size_t kDotStart = 8192;

// "._NAME" of `n` opened, into `out->side`, and its start read with its
// header's read, so that the merge takes everything from there.
OSErr open_dot_file(const Node& n, DotFile* out) {
    return rsrc::open_reading(n.at(), n.name, &out->side, &out->st, &out->start, kDotStart);
}

OSErr read_dot_file(const Node& n, DotFile* out) {
    if (OSErr e = open_dot_file(n, out)) return e;
    return parse_dot_file(out);
}

// Only the fork and a copy of Finder information: nothing a stream volume
// would lose when the fork goes to its stream and the file goes.
bool holds_only_fork(const ad::Header& h) {
    for (const ad::Descriptor& d : h.entries)
        if (d.id != ad::kResourceForkId && d.id != ad::kFinderInfoId) return false;
    return true;
}

struct Merge {
    const Node& n;
    VantrelMergeKeep keep;
    bool alwaysRemove;
    bool forkFromDot;  // the fork in "._NAME" replaces any other, whatever `keep` says
    DotFile& dot;
    Undo& undo;
    VantrelMergeReport& report;
    // Whether the folder may hold Netatalk 2's ".AppleDouble" (false: the
    // caller's reading of it, in the lock, found none).
    bool appleDouble = true;
    OSErr failed = noErr;  // the first item that could not be placed

    // Whether the value in "._NAME" wins over the file's own.
    bool dot_wins() const {
        switch (keep) {
            case kVantrelMergeKeepDotBar:
                return true;
            case kVantrelMergeKeepNative:
                return false;
            default: {
                const struct statx_timestamp& f = n.st.stx_mtime;
                const struct timespec& d = dot.st.st_mtim;
                return d.tv_sec != f.tv_sec ? d.tv_sec > f.tv_sec : d.tv_nsec > long(f.tv_nsec);
            }
        }
    }

    // An item that could not be placed: lost with alwaysRemove, else the
    // merge fails and nothing changes.
    OSErr cannot_place(OSErr e) {
        if (alwaysRemove) {
            ++report.lost;
            return noErr;
        }
        if (failed == noErr) failed = e;
        return e;
    }

    // `attr` takes `value` unless the file has another it keeps.
    OSErr place(const std::string& attr, const std::string& value, bool dotWins = false) {
        if (attr.size() > kMaxAttrName || value.size() > kMaxAttrValue)
            return cannot_place(fileBoundsErr);
        std::string now;
        int err = 0;
        const bool had = get_whole(n, attr.c_str(), &now, &err);
        if (err != 0) return from_errno(err, Op::Read, &n);
        if (had && now == value) return noErr;
        if (had && !dotWins && !dot_wins()) {
            ++report.kept;
            return noErr;
        }
        undo.save_known(attr, had, now);
        if (undo.set(attr, value) != 0) {
            if (unplaceable(errno)) return cannot_place(fileBoundsErr);
            return from_errno(errno, Op::Write, &n);
        }
        ++report.taken;
        return noErr;
    }

    // macOS's Finder information goes to the record (and the AfpInfo
    // stream on stream volumes), unless the file shows its own. Each store
    // the layout writes is brought to the value that stays, so that a merge
    // cut short between the two is finished when done again.
    OSErr finder_info(layouts::Layout layout, std::uint8_t recordFinder[ad::kFinderInfoSize]) {
        meta::Record rec;
        std::string raw;
        int readErr = 0;
        const meta::ReadResult rr = meta::read(n, &rec, &raw, &readErr);
        if (rr == meta::ReadResult::Unreadable) return from_errno(readErr, Op::Read, &n);
        // What Netatalk 2 kept counts only where the file has no record;
        // there the Finder information it shows and the record made for it
        // would each look for it: looked for once.
        if (rr != meta::ReadResult::Ok && appleDouble) {
            struct statx st {};
            appleDouble = ::statx(n.at(), std::string(appledir::kFolderName).c_str(),
                                  AT_SYMLINK_NOFOLLOW, STATX_TYPE, &st) == 0
                              ? S_ISDIR(st.stx_mode)
                              : errno != ENOENT;
        }
        std::uint8_t native[ad::kFinderInfoSize];
        layouts::shown_finder_info(n, rr == meta::ReadResult::Ok ? &rec : nullptr, false, true,
                                   native, appleDouble);
        std::memcpy(recordFinder, native, ad::kFinderInfoSize);
        std::uint8_t mine[ad::kFinderInfoSize];
        if (!dot.macos || !layouts::macos_finder_info(dot.mac, mine) || all_zero(mine, sizeof mine))
            return noErr;
        const bool same = std::memcmp(mine, native, sizeof mine) == 0;
        if (!same && !all_zero(native, sizeof native) && !dot_wins()) {
            ++report.kept;
            return noErr;
        }
        const meta::Entry* had =
            rr == meta::ReadResult::Ok ? rec.find(meta::kFinderInfoId) : nullptr;
        const bool recordHas = had != nullptr && had->data.size() >= sizeof mine &&
                               std::memcmp(had->data.data(), mine, sizeof mine) == 0;
        ad::AfpInfo afp;
        const bool streamHas = layout == layouts::Layout::Netatalk ||
                               (layouts::read_afpinfo(n, &afp) &&
                                std::memcmp(afp.finderInfo.data(), mine, sizeof mine) == 0);
        std::memcpy(recordFinder, mine, sizeof mine);
        // A stream volume keeps Finder information in the AfpInfo stream
        // alone: a file that has no record gets none, unless what Netatalk
        // 2 kept of it (a comment, dates) needs one. Readers find the
        // Finder information in the stream, the volume's own layout.
        bool recordWanted = true;
        if (!recordHas && rr != meta::ReadResult::Ok) {
            rec = layouts::fresh_record(n, dot.mac, appleDouble);
            std::memcpy(rec.need(meta::kFinderInfoId, ad::kFinderInfoSize).data.data(), mine,
                        sizeof mine);
            if (layout != layouts::Layout::Netatalk && rr == meta::ReadResult::Absent) {
                meta::Record bare = meta::fresh();
                std::memcpy(bare.need(meta::kFinderInfoId, ad::kFinderInfoSize).data.data(), mine,
                            sizeof mine);
                recordWanted =
                    meta::encode(rec) != meta::encode(bare) || !meta::encode_extra(rec).empty();
            }
        }
        if ((recordHas || !recordWanted) && streamHas) return noErr;
        if (!recordHas && recordWanted) {
            std::memcpy(rec.need(meta::kFinderInfoId, ad::kFinderInfoSize).data.data(), mine,
                        sizeof mine);
            // What the record holds was read just now.
            if (rr == meta::ReadResult::Absent) undo.save_known(meta::kMetadataAttr, false, {});
            if (rr == meta::ReadResult::Corrupt) undo.save_known(meta::kMetadataAttr, true, raw);
            for (const char* a : {meta::kMetadataAttr, meta::kExtraAttr, meta::kCorruptAttr})
                if (OSErr e = undo.save(a)) return e;
            if (OSErr e = meta::write(n, rec, rr == meta::ReadResult::Corrupt ? &raw : nullptr,
                                      "VantrelFSMergeDotUnderscore.setxattr",
                                      "VantrelFSMergeDotUnderscore.setxattr",
                                      undo.saved_absent(meta::kExtraAttr)))
                return e;
        }
        if (!streamHas) {
            if (OSErr e = undo.save(ad::kAfpInfoAttr)) return e;
            if (OSErr e = layouts::write_afpinfo(n, layout, mine, nullptr,
                                                 "VantrelFSMergeDotUnderscore.setxattr"))
                return e;
        }
        if (!same) ++report.taken;
        return noErr;
    }

    // The attributes of macOS's ATTR block, each to the stream Samba keeps
    // a Mac client's attribute of that name in.
    OSErr attributes() {
        if (!dot.macos) return noErr;
        ad::AttrBlock block;
        if (OSErr e = layouts::mac_attributes(dot.mac, &block)) return e;
        for (const ad::Attr& a : block.attrs) {
            // Kept in the entries of their own, not in the block.
            if (a.name == "com.apple.FinderInfo" || a.name == "com.apple.ResourceFork") continue;
            // Samba's own streams: an attribute under such a name would be
            // taken for the Finder information or the fork.
            if (a.name == "AFP_AfpInfo" || a.name == "AFP_Resource") {
                if (OSErr e = cannot_place(fileBoundsErr)) return e;
                continue;
            }
            std::string attr(kStreamPrefix);
            attr += a.name;
            attr += kStreamSuffix;
            std::string value = a.value;
            value += '\0';
            if (OSErr e = place(attr, value)) return e;
        }
        return noErr;
    }

    // The fork, to the AFP_Resource stream.
    OSErr fork_to_stream() {
        if (dot.forkLength == 0) return noErr;
        if (dot.forkLength + 1 > kMaxAttrValue) return cannot_place(fileBoundsErr);
        std::string value(std::size_t(dot.forkLength), '\0');
        if (const char* known = dot.fork_bytes()) {
            value.assign(known, value.size());
        } else {
            const ssize_t got = ::pread(dot.side.fd.get(), value.data(), value.size(),
                                        off_t(dot.side.layout.offset));
            if (got < 0) return from_errno(errno, Op::Read, &n);
            if (std::size_t(got) != value.size()) return ioErr;
        }
        value += '\0';
        return place(ad::kAfpResourceAttr, value, forkFromDot);
    }
};

// "._NAME" again holds the inode `dot` opened: nothing else is removed or
// replaced in its name.
bool still_there(int dirFd, const std::string& entry, const struct stat& st) {
    struct stat now {};
    return ::fstatat(dirFd, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_ino == st.st_ino && now.st_dev == st.st_dev;
}

// "._NAME" rewritten as Samba writes a sidecar: the fork and a copy of the
// record's Finder information, nothing else; a private temporary renamed
// over it, with its times and its file's owner and permissions.
OSErr rewrite_sidecar(const Node& n, const std::string& entry, DotFile& dot,
                      const std::uint8_t* finder) {
    const char* step = "VantrelFSMergeDotUnderscore.sidecar";
    if (dot.forkLength > rsrc::kMaxSidecarEnd - rsrc::kForkOffset) return fileBoundsErr;
    const std::string temp = commit::private_name();
    const int dirFd = n.at();
    const int fd = fault::step(step, temp, [&] {
        return ::openat(dirFd, temp.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                        0600);
    });
    if (fd < 0) return from_errno(errno, Op::CreateFork, &n);
    UniqueFd owned(fd);
    commit::hold_temporary(fd);
    auto fail = [&](int err) {
        fault::Benign benign;
        (void)fault::step(step, temp, [&] { return ::unlinkat(dirFd, temp.c_str(), 0); });
        return rsrc::write_error(err, fd);
    };
    if (n.st.stx_uid != ::geteuid() || n.st.stx_gid != ::getegid())
        (void)::fchown(fd, n.st.stx_uid, n.st.stx_gid);
    (void)::fchmod(fd, n.st.stx_mode & 0666);
    std::string head = ad::encode_sidecar(std::uint32_t(dot.forkLength), finder);
    // A small fork read already goes with the header, in one write.
    const char* known = dot.fork_bytes();
    if (known != nullptr) head.append(known, std::size_t(dot.forkLength));
    if (fault::step(step, temp, [&] { return io::pwrite_all(fd, head.data(), head.size(), 0); }) !=
        0)
        return fail(errno);
    if (known == nullptr) {
        std::int64_t from = std::int64_t(dot.side.layout.offset);
        std::int64_t to = std::int64_t(head.size());
        std::int64_t copied = 0;
        if (fault::step(step, temp, [&] {
                copied = io::copy(dot.side.fd.get(), &from, fd, &to, dot.forkLength);
                return copied < 0 ? -1 : 0;
            }) != 0)
            return fail(errno);
        if (std::uint64_t(copied) != dot.forkLength) return fail(EIO);
    }
    // The fork did not change: the sidecar keeps its times.
    const struct timespec times[2] = {dot.st.st_atim, dot.st.st_mtim};
    if (fault::step(step, temp, [&] { return ::futimens(fd, times); }) != 0) return fail(errno);
    if (!still_there(dirFd, entry, dot.st)) return fail(EBUSY);
    if (fault::step("VantrelFSMergeDotUnderscore.rename", entry,
                    [&] { return ::renameat(dirFd, temp.c_str(), dirFd, entry.c_str()); }) != 0)
        return fail(errno);
    return noErr;
}

// The merge of "._NAME" (`entry`) into `layout` for its file `n`, which
// the caller holds the folder's lock of and has just looked at again.
// `known`, where given, is "._NAME" read in the lock already;
// `appleDouble` false where the caller's reading of the folder, in the
// lock, met no ".AppleDouble".
OSErr merge_locked(const Node& n, const std::string& entry, layouts::Layout layout,
                   VantrelMergeKeep keep, UInt32 options, bool forkFromDot, VantrelMergeReport* rep,
                   DotFile* known = nullptr, bool appleDouble = true) {
    if (!S_ISREG(n.st.stx_mode)) return notAFileErr;
    if (n.locked()) return fLckdErr;
    // The merge looks for values most files lack (the record, its extra
    // entries, the streams): one list of the file's names answers for those
    // it does not have.
    std::optional<meta::ListedAttrs> listed;
    const char* listStep = "VantrelFSMergeDotUnderscore.listxattr";
    if (meta::ListedAttrs::of(n) == nullptr) listed.emplace(n, lists_every_attribute(n), listStep);
    DotFile own;
    if (known == nullptr)
        if (OSErr e = read_dot_file(n, &own)) return e;
    DotFile& dot = known != nullptr ? *known : own;
    Undo undo(n, "VantrelFSMergeDotUnderscore.setxattr", "VantrelFSMergeDotUnderscore.undo");
    Merge m{n,    keep,       (options & kVantrelMergeAlwaysRemove) != 0, forkFromDot, dot, undo,
            *rep, appleDouble};
    std::uint8_t finder[ad::kFinderInfoSize] = {};
    if (OSErr e = m.finder_info(layout, finder)) return e;
    if (OSErr e = m.attributes()) return e;
    // The fork's home: on a stream volume its stream; elsewhere "._NAME"
    // itself, in the form Samba writes it.
    bool removeDot = false, rewrite = false;
    if (layout == layouts::Layout::Stream) {
        if (OSErr e = m.fork_to_stream()) return e;
        removeDot = dot.macos || holds_only_fork(dot.header);
    } else if (dot.macos) {
        removeDot = dot.forkLength == 0;
        rewrite = !removeDot;
    }
    if (m.failed != noErr) return m.failed;
    if (rewrite) {
        if (OSErr e = rewrite_sidecar(n, entry, dot, finder)) return e;
        rep->rewritten = true;
    } else if (removeDot) {
        if (!still_there(n.at(), entry, dot.st)) return fBsyErr;
        if (fault::step("VantrelFSMergeDotUnderscore.unlink", entry,
                        [&] { return ::unlinkat(n.at(), entry.c_str(), 0); }) != 0)
            return from_errno(errno, Op::Delete, &n);
        rep->removed = true;
    }
    undo.commit();
    return noErr;
}

// ---------------------------------------------------------------- conversion

// One object's move to the layout `to`: each value written to its new
// place (saved first, to put back) before any old copy goes.
struct Converter {
    const Node& n;
    layouts::Layout to;
    bool dry;
    Undo& undo;
    const appledir::File& old;  // what Netatalk 2 kept of it in ".AppleDouble"
    VantrelConvertItems moved = 0;
    std::uint8_t shown[ad::kFinderInfoSize] = {};  // the Finder information it shows
    // A file's "._NAME", opened and read once for the Finder information
    // it shows and for its fork: the open's result, then the reading's.
    DotFile dot{};
    bool dotRead = false;
    OSErr dotOpened = noErr, dotParsed = noErr;

    OSErr read_dot() {
        if (!dotRead) {
            dotRead = true;
            dotOpened = open_dot_file(n, &dot);
            if (dotOpened == noErr && dot.side.found()) dotParsed = parse_dot_file(&dot);
        }
        return dotOpened;
    }

    // Where the object has no record, what Netatalk 2 kept of it (Finder
    // information, comment, dates) becomes its record, the store of the
    // comment and dates in every layout; a record it has wins, as readers
    // take it.
    OSErr apple_double_record() {
        meta::Record kept;
        if (!appledir::read_record(old, &kept)) return noErr;
        meta::Record rec;
        std::string raw;
        int err = 0;
        const meta::ReadResult rr = meta::read(n, &rec, &raw, &err);
        if (rr == meta::ReadResult::Unreadable) return from_errno(err, Op::Read, &n);
        if (rr == meta::ReadResult::Ok) return noErr;
        moved |= kVantrelConvertAppleDouble;
        if (dry) return noErr;
        for (const char* a : {meta::kMetadataAttr, meta::kExtraAttr, meta::kCorruptAttr})
            if (OSErr e = undo.save(a)) return e;
        return meta::write(
            n, layouts::fresh_record(n), rr == meta::ReadResult::Corrupt ? &raw : nullptr,
            "VantrelFSConvertMacLayout.setxattr", "VantrelFSConvertMacLayout.setxattr",
            undo.saved_absent(meta::kExtraAttr));
    }

    // The fork Netatalk 2 kept, where the file has no other: to the
    // AFP_Resource stream (stream) or to "._NAME" (the others), copied in
    // the kernel (a large or sparse fork never passes through memory but
    // for the stream's at most 64 KiB). `side` is what "._NAME" is now.
    OSErr apple_double_fork(const rsrc::Sidecar& side) {
        rsrc::Sidecar from;
        if (!appledir::fork_of(old, &from)) return noErr;
        moved |= kVantrelConvertFork;
        const std::uint64_t length = from.layout.length;
        if (to == layouts::Layout::Stream) {
            if (length + 1 > kMaxAttrValue) return fileBoundsErr;
            if (dry) return noErr;
            std::string value(std::size_t(length), '\0');
            const ssize_t got =
                ::pread(from.fd.get(), value.data(), value.size(), off_t(from.layout.offset));
            if (got < 0) return from_errno(errno, Op::Read, &n);
            if (std::size_t(got) != value.size()) return ioErr;
            return set(ad::kAfpResourceAttr, value + '\0', kVantrelConvertFork);
        }
        if (side.state == rsrc::State::Unusable) return afpObjectTypeErr;  // the user's own file
        if (length > rsrc::kMaxSidecarEnd - rsrc::kForkOffset) return fileBoundsErr;
        if (dry) return noErr;
        const char* step = "VantrelFSConvertMacLayout.sidecar";
        UniqueFd file(::openat(n.at(), n.name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!file) return from_errno(errno, Op::Read, &n);
        const rsrc::Sidecar none;
        rsrc::Shadow shadow;
        if (OSErr e = rsrc::make_shadow(n.at(), n.name, none, {}, shown, step, &shadow, 0))
            return e;
        std::uint64_t copied = 0;
        OSErr e = rsrc::fill(shadow, from.fd.get(), from.layout.offset, length, step, &copied);
        if (e == noErr && copied != length) e = ioErr;  // cut short since it was read
        rsrc::Sidecar committed;
        if (e == noErr)
            e = rsrc::commit(n.at(), n.name, file.get(), shadow, true, step, &committed);
        if (e != noErr) rsrc::discard(shadow, step);
        return e;
    }

    // Last, once every value stands in its new place: the entry goes (a
    // failure leaves it beside them, reading the same; done again, it goes).
    void drop_apple_double() {
        if (!old.found()) {
            // An empty one, which a removal cut short left: no one's data.
            if (old.folder && old.state == appledir::State::None && !dry)
                appledir::remove_folder_if_empty(n, "VantrelFSConvertMacLayout.appledouble");
            return;
        }
        moved |= kVantrelConvertAppleDouble;
        if (dry) return;
        fault::Benign benign;
        (void)appledir::remove(n, old, "VantrelFSConvertMacLayout.appledouble");
    }

    OSErr set(const std::string& attr, const std::string& value, VantrelConvertItems item) {
        moved |= item;
        if (dry) return noErr;
        if (OSErr e = undo.save(attr)) return e;
        if (undo.set(attr, value) != 0) {
            if (errno == E2BIG || errno == ERANGE) return fileBoundsErr;
            return from_errno(errno, Op::Write, &n);
        }
        return noErr;
    }
    OSErr remove(const std::string& attr) {
        moved |= kVantrelConvertCleared;
        if (dry) return noErr;
        if (OSErr e = undo.save(attr)) return e;
        if (undo.remove(attr) != 0) return from_errno(errno, Op::Write, &n);
        return noErr;
    }

    // The Finder information the object shows, and the backup date, to the
    // record (netatalk; the AfpInfo stream then goes) or the AfpInfo stream
    // (stream layouts; the record stays for the comment and dates).
    OSErr finder_info() {
        meta::Record rec;
        std::string raw;
        int err = 0;
        const meta::ReadResult rr = meta::read(n, &rec, &raw, &err);
        if (rr == meta::ReadResult::Unreadable) return from_errno(err, Op::Read, &n);
        const bool haveRec = rr == meta::ReadResult::Ok;
        if (S_ISREG(n.st.stx_mode) && read_dot() == noErr) {
            const layouts::MacOSFile none;
            const bool macos = dot.side.found() && dotParsed == noErr && dot.macos;
            layouts::shown_finder_info(n, haveRec ? &rec : nullptr, true, macos ? dot.mac : none,
                                       dot.side.fd.get(), shown);
        } else {
            layouts::shown_finder_info(n, haveRec ? &rec : nullptr, true, true, shown);
        }
        std::string afpRaw;
        const bool haveAfpAttr = get_whole(n, ad::kAfpInfoAttr, &afpRaw, &err);
        if (err != 0) return from_errno(err, Op::Read, &n);
        ad::AfpInfo afp;
        const bool haveAfp =
            haveAfpAttr && ad::decode_afpinfo({reinterpret_cast<const std::uint8_t*>(afpRaw.data()),
                                               afpRaw.size()},
                                              &afp) == ad::Error::None;
        std::int32_t recBackup = 0;
        const bool recHasBackup = haveRec && meta::get_date(rec, meta::kBackup, &recBackup);
        const bool afpHasBackup = haveAfp && afp.backupTime != std::uint32_t(meta::kUnknownDate);
        if (to == layouts::Layout::Netatalk) {
            const meta::Entry* fi = haveRec ? rec.find(meta::kFinderInfoId) : nullptr;
            const bool recShows = fi != nullptr && fi->data.size() >= sizeof shown &&
                                  std::memcmp(fi->data.data(), shown, sizeof shown) == 0;
            const bool takeBackup = afpHasBackup && !recHasBackup;
            if ((!recShows && !all_zero(shown, sizeof shown)) || takeBackup) {
                moved |= kVantrelConvertFinderInfo;
                if (!dry) {
                    if (!haveRec) rec = meta::fresh();
                    std::memcpy(rec.need(meta::kFinderInfoId, sizeof shown).data.data(), shown,
                                sizeof shown);
                    if (takeBackup)
                        meta::set_date(rec, meta::kBackup, std::int32_t(afp.backupTime));
                    for (const char* a :
                         {meta::kMetadataAttr, meta::kExtraAttr, meta::kCorruptAttr})
                        if (OSErr e = undo.save(a)) return e;
                    if (OSErr e =
                            meta::write(n, rec, rr == meta::ReadResult::Corrupt ? &raw : nullptr,
                                        "VantrelFSConvertMacLayout.setxattr",
                                        "VantrelFSConvertMacLayout.setxattr",
                                        undo.saved_absent(meta::kExtraAttr)))
                        return e;
                }
            }
            // One that does not decode is no one's Finder information: it stays.
            return haveAfp ? remove(ad::kAfpInfoAttr) : OSErr{noErr};
        }
        ad::AfpInfo want = haveAfp ? afp : ad::AfpInfo{};
        std::memcpy(want.finderInfo.data(), shown, sizeof shown);
        if (!afpHasBackup && recHasBackup) want.backupTime = std::uint32_t(recBackup);
        if (haveAfp ? !(want == afp) : (!all_zero(shown, sizeof shown) || recHasBackup))
            return set(ad::kAfpInfoAttr, ad::encode_afpinfo(want), kVantrelConvertFinderInfo);
        return noErr;
    }

    // The fork to the AFP_Resource stream (stream) or to "._NAME" (the
    // others): the last change, after which nothing fails that needs undoing.
    OSErr fork() {
        // A macOS "._NAME" is merged from what this read.
        if (OSErr e = read_dot()) return e;
        const rsrc::Sidecar& side = dot.side;
        int err = 0;
        std::string stream, legacy;
        const bool haveStream = get_whole(n, ad::kAfpResourceAttr, &stream, &err);
        if (err != 0) return from_errno(err, Op::Read, &n);
        const bool haveLegacy = get_whole(n, meta::kResourceForkAttr, &legacy, &err);
        if (err != 0) return from_errno(err, Op::Read, &n);
        if (haveStream && !stream.empty()) stream.pop_back();  // streams_xattr's NUL
        if (side.found()) {
            // "._NAME" holds the fork readers see.
            if (dotParsed != noErr) return dotParsed;
            if (to != layouts::Layout::Stream && !dot.macos) {
                // Its home already; a stream copy of the same bytes (a
                // conversion cut short) goes.
                if (!haveStream || stream.size() != dot.forkLength) return noErr;
                std::string fork(stream.size(), '\0');
                const ssize_t got = ::pread(dot.side.fd.get(), fork.data(), fork.size(),
                                            off_t(dot.side.layout.offset));
                if (got < 0) return from_errno(errno, Op::Read, &n);
                return fork == stream ? remove(ad::kAfpResourceAttr) : OSErr{noErr};
            }
            if (dot.macos) moved |= kVantrelConvertMacOSFile;
            if (to == layouts::Layout::Stream && dot.forkLength > 0) moved |= kVantrelConvertFork;
            if (dry) {
                if (to == layouts::Layout::Stream && dot.forkLength + 1 > kMaxAttrValue)
                    return fileBoundsErr;
                return noErr;
            }
            VantrelMergeReport r{};
            return merge_locked(n, std::string("._") + n.name, to, kVantrelMergeKeepNative, 0, true,
                                &r, &dot);
        }
        if (!haveLegacy && !haveStream) return apple_double_fork(side);
        if (to == layouts::Layout::Stream) {
            // The attribute of earlier versions, to Samba's stream.
            if (!haveLegacy || haveStream) return noErr;
            if (!legacy.empty()) {
                if (legacy.size() + 1 > kMaxAttrValue) return fileBoundsErr;
                if (OSErr e = set(ad::kAfpResourceAttr, legacy + '\0', kVantrelConvertFork))
                    return e;
            }
            return remove(meta::kResourceForkAttr);
        }
        const std::string& from = haveLegacy ? legacy : stream;
        if (from.empty())
            return remove(haveLegacy ? meta::kResourceForkAttr : ad::kAfpResourceAttr);
        if (side.state == rsrc::State::Unusable) return afpObjectTypeErr;  // the user's own file
        moved |= kVantrelConvertFork;
        if (dry) return noErr;
        const char* step = "VantrelFSConvertMacLayout.sidecar";
        UniqueFd file(::openat(n.at(), n.name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!file) return from_errno(errno, Op::Read, &n);
        rsrc::Shadow shadow;
        if (OSErr e = rsrc::make_shadow(n.at(), n.name, side, from, shown, step, &shadow)) return e;
        rsrc::Sidecar committed;
        // The sidecar in place, then (benign, within commit) the stream it
        // was made from: while both stand, the sidecar is the fork.
        if (OSErr e = rsrc::commit(n.at(), n.name, file.get(), shadow, true, step, &committed)) {
            rsrc::discard(shadow, step);
            return e;
        }
        return noErr;
    }
};

// What one look tells of a conversion of `n`: nothing to move in any
// layout (no record, no stream, no fork, no "._NAME"), as most files of a
// tree; work for certain (a "._NAME" macOS wrote, which is always merged);
// or neither, where only a dry run tells. The look: the attribute names in
// one list (`listed`, of `n`), and the sidecar.
enum class Peek { Nothing, Work, DryRun };
// The attributes a conversion moves or removes: an object with none of
// them, no "._NAME" and nothing in ".AppleDouble" is in every layout already.
constexpr const char* kConvertedAttrs[] = {meta::kMetadataAttr, meta::kResourceForkAttr,
                                           ad::kAfpResourceAttr, ad::kAfpInfoAttr};
Peek peek_conversion(const Node& n, const meta::ListedAttrs& listed) {
    const bool attrs =
        !listed.known() || std::any_of(std::begin(kConvertedAttrs), std::end(kConvertedAttrs),
                                       [&](const char* a) { return listed.has(a); });
    if (!S_ISREG(n.st.stx_mode))  // a folder's only store is its record
        return attrs ? Peek::DryRun : Peek::Nothing;
    DotFile dot;
    if (open_dot_file(n, &dot) != noErr) return Peek::DryRun;
    if (dot.side.state == rsrc::State::None) return attrs ? Peek::DryRun : Peek::Nothing;
    return parse_dot_file(&dot) == noErr && dot.macos ? Peek::Work : Peek::DryRun;
}

}  // namespace
}  // namespace vantrel::fm

using namespace vantrel;
using namespace vantrel::fm;

OSErr VantrelFSMergeDotUnderscore(const FSRef* folder, const VantrelDiskName* name,
                                  VantrelMergeKeep keep, UInt32 options,
                                  VantrelMergeReport* report) {
    if (folder == nullptr || name == nullptr || keep > kVantrelMergeKeepNative) return paramErr;
    const std::string entry(reinterpret_cast<const char*>(name->bytes), name->length);
    if (!rsrc::is_sidecar_name(entry) || entry.size() == 2 ||
        entry.find('/') != std::string::npos || entry.find('\0') != std::string::npos ||
        rsrc::is_temporary_name(entry))
        return paramErr;
    VantrelMergeReport rep{};
    if (report != nullptr) *report = rep;
    Node dir;
    if (OSErr e = resolve(folder, &dir)) return e;
    if (OSErr e = fault::check("VantrelFSMergeDotUnderscore", entry)) return e;
    if (!dir.is_dir()) return errFSNotAFolder;
    // Held, no change of ours gives NAME or "._NAME" to another object
    // while the values move; NAME is looked at under it.
    DirFd dirFd;
    if (OSErr e = dir_fd(dir, &dirFd)) return e;
    commit::FolderLock lock;
    if (OSErr e = lock.take(dirFd->fd())) return e;
    Node n;
    if (OSErr e = lookup(dir, entry.substr(2), &n)) return e == dirNFErr ? OSErr(fnfErr) : e;
    const OSErr e = merge_locked(n, entry, layouts::layout_of(n), keep, options, false, &rep);
    if (e == noErr && report != nullptr) *report = rep;
    return e;
}

namespace {

// The folder `ref` of a call over a whole folder, `op`: resolved, its
// check run (its name the detail) and a descriptor of it had.
OSErr folder_of(const FSRef* ref, const char* op, Node* dir, DirFd* fd) {
    if (OSErr e = resolve(ref, dir)) return e;
    if (OSErr e = fault::check(op, dir->name)) return e;
    if (!dir->is_dir()) return errFSNotAFolder;
    return dir_fd(*dir, fd);
}

bool convert_args_ok(VantrelMacLayout to, UInt32 options) {
    return to >= kVantrelMacLayoutNetatalk && to <= kVantrelMacLayoutStreamFile &&
           (options & ~UInt32(kVantrelConvertDryRun)) == 0;
}

// VantrelFSConvertMacLayout of `n`, resolved and checked by the caller.
OSErr convert_object(Node& n, VantrelMacLayout to, UInt32 options, VantrelConvertReport* report) {
    auto convertible = [&] { return S_ISREG(n.st.stx_mode) || n.is_dir(); };
    if (!convertible()) return notAFileErr;
    auto run = [&](const appledir::File& old, bool dry, VantrelConvertItems* moved) -> OSErr {
        Undo undo(n, "VantrelFSConvertMacLayout.setxattr", "VantrelFSConvertMacLayout.undo");
        Converter c{n, layouts::Layout(to), dry, undo, old};
        OSErr e = c.apple_double_record();
        if (e == noErr) e = c.finder_info();
        if (e == noErr && S_ISREG(n.st.stx_mode)) e = c.fork();
        if (e != noErr) return e;
        undo.commit();
        c.drop_apple_double();
        *moved = c.moved;
        return noErr;
    };
    auto say = [&](const appledir::File& old, VantrelConvertItems moved) {
        if (report == nullptr) return;
        report->moved = moved;
        // What is no AppleDouble file stays as it is, and is said.
        if (old.state == appledir::State::Unusable) report->kept = kVantrelConvertAppleDouble;
    };
    const bool dry = (options & kVantrelConvertDryRun) != 0;
    if (!dry) {
        // Most objects of a tree have nothing to move: looked at first, they
        // are done without their folder's lock, as nothing of them changes.
        appledir::File peek;
        VantrelConvertItems would = 0;
        // (An empty ".AppleDouble" beside it is a removal cut short: that is work.)
        if (appledir::open(n, &peek) == noErr && !peek.folder) {
            const meta::ListedAttrs listed(n, lists_every_attribute(n),
                                           "VantrelFSConvertMacLayout.listxattr");
            const Peek p = peek_conversion(n, listed);
            if (p == Peek::Nothing ||
                (p == Peek::DryRun && run(peek, true, &would) == noErr && would == 0)) {
                say(peek, 0);
                return noErr;
            }
        }
    }
    // Held, no change of ours gives NAME or "._NAME" to another object
    // while the values move.
    commit::FolderLock lock;
    if (!n.root)
        if (OSErr e = lock.take(n.at())) return e;
    if (OSErr e = restat(&n)) return e;
    if (!convertible()) return notAFileErr;
    // Looked at again in the lock: the list the reads below trust.
    const meta::ListedAttrs listed(n, lists_every_attribute(n),
                                   "VantrelFSConvertMacLayout.listxattr");
    appledir::File old;
    if (OSErr e = appledir::open(n, &old)) return e;
    VantrelConvertItems moved = 0;
    // A locked object that has nothing to move is converted already.
    if (n.locked() && !dry) {
        if (OSErr e = run(old, true, &moved)) return e;
        if (moved != 0) return fLckdErr;
    } else if (OSErr e = run(old, dry, &moved)) {
        return e;
    }
    say(old, moved);
    return noErr;
}

// Whether the entry `name` (a plain file, by its directory entry) of the
// folder `dirFd`, which holds no ".AppleDouble" and no "._NAME" beside it,
// has nothing to convert, told by one list of its attribute names: false
// where the list says otherwise or was not had (the file is then looked at
// whole).
bool plain_by_list(int dirFd, const char* name) {
    char buf[4096];
    long len = 0;
    {
        fault::Benign benign;
        len = fault::step("VantrelFSConvertMacLayout.listxattr", name,
                          [&] { return meta::list_attr_names(dirFd, name, buf, sizeof buf); });
    }
    if (len < 0) return false;
    bool mac = false;
    meta::each_attr_name(std::string_view(buf, std::size_t(len)), [&](std::string_view a) {
        for (const char* c : kConvertedAttrs) mac |= a == c;
    });
    return !mac;
}

}  // namespace

OSErr VantrelFSConvertMacLayout(const FSRef* ref, VantrelMacLayout to, UInt32 options,
                                VantrelConvertReport* report) {
    if (report != nullptr) *report = VantrelConvertReport{};
    if (ref == nullptr || !convert_args_ok(to, options)) return paramErr;
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("VantrelFSConvertMacLayout", n.name)) return e;
    return convert_object(n, to, options, report);
}

OSErr VantrelFSConvertFolderMacLayout(const FSRef* folder, VantrelMacLayout to, UInt32 options,
                                      VantrelConvertEntryProc visit, void* context) {
    if (folder == nullptr || visit == nullptr || !convert_args_ok(to, options)) return paramErr;
    Node dir;
    DirFd dirFd;
    if (OSErr e = folder_of(folder, "VantrelFSConvertFolderMacLayout", &dir, &dirFd)) return e;
    // One reading of the folder: its items with their types, the "._"
    // entries beside them and whether it holds ".AppleDouble".
    std::vector<std::pair<std::string, unsigned char>> items;
    std::vector<std::string> dots;
    bool netatalk2 = false;
    {
        UniqueFd fd(::openat(dirFd->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) return from_errno(errno, Op::OpenDir, &dir);
        if (OSErr e = each_entry(fd.get(), [&](const char* name, unsigned char type) {
                if (name == appledir::kFolderName) netatalk2 = true;
                if (rsrc::is_sidecar_name(name)) dots.emplace_back(name + 2);
                if (!rsrc::is_hidden_entry(dirFd->fd(), name, type)) items.emplace_back(name, type);
                return false;
            }))
            return e;
    }
    std::sort(items.begin(), items.end());
    std::sort(dots.begin(), dots.end());
    // A file system whose lists may leave attributes out (FUSE, a network
    // one) has each of its files looked at whole.
    const bool whole = lists_every_attribute(dir);
    for (const auto& [name, type] : items) {
        VantrelConvertReport rep{};
        OSErr result = noErr;
        if (type == DT_LNK || type == DT_FIFO || type == DT_SOCK || type == DT_CHR ||
            type == DT_BLK) {
            result = notAFileErr;  // no metadata of its own, as the call says of it
        } else if (!(type == DT_REG && whole && !netatalk2 &&
                     !std::binary_search(dots.begin(), dots.end(), name) &&
                     plain_by_list(dirFd->fd(), name.c_str()))) {
            // A folder (its ".AppleDouble/.Parent" is inside it), a file with
            // something of the Mac's or beside it, one of unknown type.
            Node n;
            result = lookup(dir, name, &n);
            if (result == fnfErr) continue;  // gone since the folder was read
            if (result == noErr) result = fault::check("VantrelFSConvertMacLayout", name);
            if (result == noErr) result = convert_object(n, to, options, &rep);
            if (result != noErr) rep = VantrelConvertReport{};
        }
        if (name.size() > sizeof(VantrelDiskName::bytes)) continue;
        VantrelDiskName n{};
        n.length = static_cast<UInt8>(name.size());
        std::memcpy(n.bytes, name.data(), n.length);
        if (visit(&n, result, &rep, context)) return noErr;
    }
    return noErr;
}

namespace {

// The "._" entries of the folder open as `dirFd`, with their types, in the
// order of their names' bytes; `*netatalk2` set where it holds
// ".AppleDouble".
OSErr dot_entries(int dirFd, std::vector<std::pair<std::string, unsigned char>>* out,
                  bool* netatalk2) {
    UniqueFd fd(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return from_errno(errno, Op::OpenDir);
    if (OSErr e = each_dot_entry(
            fd.get(),
            [&](const char* name, unsigned char type) {
                out->emplace_back(name, type);
                return false;
            },
            netatalk2))
        return e;
    std::sort(out->begin(), out->end());
    return noErr;
}

}  // namespace

OSErr VantrelFSMergeFolderDotUnderscores(const FSRef* folder, VantrelMergeKeep keep, UInt32 options,
                                         VantrelMergeEntryProc visit, void* context) {
    if (folder == nullptr || visit == nullptr || keep > kVantrelMergeKeepNative) return paramErr;
    Node dir;
    DirFd dirFd;
    if (OSErr e = folder_of(folder, "VantrelFSMergeFolderDotUnderscores", &dir, &dirFd)) return e;
    std::vector<std::pair<std::string, unsigned char>> entries;
    bool netatalk2 = false;
    if (OSErr e = dot_entries(dirFd->fd(), &entries, &netatalk2)) return e;
    if (entries.empty() && !netatalk2) return noErr;  // nothing here: no lock taken
    // Held across the folder's merges, each of which would take it anew.
    // Each entry is looked at again in it; the reading's one guide is
    // ".AppleDouble", which none of our changes makes.
    commit::FolderLock lock;
    if (OSErr e = lock.take(dirFd->fd())) return e;
    for (const auto& [entry, type] : entries) {
        VantrelHiddenKind kind = 0;
        VantrelMergeReport rep{};
        OSErr result = noErr;
        // A change's temporary, "._" alone, a folder, a link or a device
        // node is told as the listing of hidden entries tells it; a regular
        // "._NAME" beside its file is merged, which tells it too.
        bool told = rsrc::is_temporary_name(entry) || entry.size() == 2 ||
                    (type != DT_REG && type != DT_UNKNOWN);
        if (!told) {
            Node n;
            const OSErr looked = lookup(dir, std::string_view(entry).substr(2), &n);
            if (looked == noErr) {
                kind = kVantrelHiddenFork;
                result = fault::check("VantrelFSMergeDotUnderscore", entry);
                if (result == noErr)
                    result = merge_locked(n, entry, layouts::layout_of(n), keep, options, false,
                                          &rep, nullptr, netatalk2);
                if (result == fnfErr) continue;  // gone since the folder was read
                if (result == afpObjectTypeErr) {
                    kind = kVantrelHiddenOwnFile;
                    result = noErr;
                }
                if (result != noErr) rep = VantrelMergeReport{};
            } else if (looked != fnfErr) {
                // A file that cannot be looked at is taken to be there.
                kind = kVantrelHiddenFork;
                result = looked;
            } else {
                told = true;  // no NAME: an orphan, or the user's own file
            }
        }
        if (told && hidden_kind(dirFd->fd(), entry.c_str(), type, &kind) != noErr) continue;
        VantrelDiskName n{};
        n.length = static_cast<UInt8>(entry.size());
        std::memcpy(n.bytes, entry.data(), n.length);
        if (visit(&n, kind, result, &rep, context)) return noErr;
    }
    if (netatalk2) {
        const VantrelMergeReport none{};
        (void)visit_netatalk2_entries(dirFd->fd(),
                                      [&](const VantrelDiskName& n, VantrelHiddenKind kind) {
                                          return visit(&n, kind, noErr, &none, context) != 0;
                                      });
    }
    return noErr;
}
