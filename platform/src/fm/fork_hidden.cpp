// What a "._NAME" entry is (vantrel/Sidecars.h), and what an entry of
// Netatalk 2's ".AppleDouble" is: the store's own full check, asked by
// programs instead of a guess of their own.
#include "fm/fork_hidden.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fm/cat_appledir.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/obj_commit.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "vantrel/Sidecars.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSGetHiddenEntryKind", "VantrelFSGetHiddenEntries",
                         "VantrelFSRemoveLeftover", "VantrelFSRemoveLeftover.unlink");

namespace vantrel::fm {

OSErr hidden_kind(int dirFd, const char* entry, unsigned char type, VantrelHiddenKind* kind) {
    bool isDir = type == DT_DIR;
    if (type == DT_UNKNOWN) {
        struct statx side {};
        if (::statx(dirFd, entry, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &side) != 0)
            return from_errno(errno, Op::Lookup);
        isDir = S_ISDIR(side.stx_mode);
    }
    const char* file = entry + 2;
    // A folder copy not yet whole: its journal beside it undoes it after
    // a kill, and nothing else may take it.
    if (isDir && rsrc::is_temporary_name(entry)) {
        *kind = kVantrelHiddenInProgress;
        return noErr;
    }
    // A change's private temporary is its maker's while the maker lives.
    if (rsrc::is_temporary_name(entry)) {
        *kind =
            commit::in_progress(dirFd, entry) ? kVantrelHiddenInProgress : kVantrelHiddenLeftover;
        return noErr;
    }
    // A folder under such a name is listed as an item; "._" alone names no
    // file: neither is a sidecar.
    if (isDir || *file == 0) {
        *kind = kVantrelHiddenOwnFile;
        return noErr;
    }
    rsrc::Sidecar side;
    const OSErr opened = rsrc::open(dirFd, file, false, &side);
    if (opened == noErr && side.state == rsrc::State::None) return fnfErr;  // gone since listed
    // One the caller may not read is what its name says (rsrc::is_sidecar_of).
    if (opened == noErr ? !side.found() : rsrc::entry_at(dirFd, file) != rsrc::Entry::File) {
        *kind = kVantrelHiddenOwnFile;
        return noErr;
    }
    struct statx st {};
    const bool there = ::statx(dirFd, file, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &st) == 0;
    // A file that cannot be looked at is taken to be there: its fork stays its.
    *kind = there || errno != ENOENT ? kVantrelHiddenFork : kVantrelHiddenOrphan;
    return noErr;
}

OSErr each_entry(int dirFd, const std::function<bool(const char*, unsigned char)>& take) {
    constexpr std::size_t kBufSize = std::size_t{32} * 1024;
    const std::unique_ptr<char[]> buf(new char[kBufSize]);
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dirFd, buf.get(), kBufSize);
        if (got < 0) return from_errno(errno, Op::OpenDir);
        if (got == 0) return noErr;
        for (long pos = 0; pos < got;) {
            const auto* e = reinterpret_cast<const rsrc::linux_dirent64*>(buf.get() + pos);
            pos += e->d_reclen;
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (take(e->d_name, e->d_type)) return noErr;
        }
    }
}

OSErr each_dot_entry(int dirFd, const std::function<bool(const char*, unsigned char)>& take,
                     bool* netatalk2) {
    return each_entry(dirFd, [&](const char* name, unsigned char type) {
        if (name == appledir::kFolderName) *netatalk2 = true;
        return rsrc::is_sidecar_name(name) && take(name, type);
    });
}

bool visit_netatalk2_entries(
    int dirFd, const std::function<bool(const VantrelDiskName&, VantrelHiddenKind)>& visit) {
    appledir::Census c;
    if (!appledir::census(dirFd, &c)) return false;
    const std::pair<const std::vector<std::string>*, VantrelHiddenKind> groups[] = {
        {&c.belonging, kVantrelHiddenFork},
        {&c.orphans, kVantrelHiddenOrphan},
        {&c.unusable, kVantrelHiddenOwnFile}};
    for (const auto& [names, kind] : groups) {
        for (const std::string& entry : *names) {
            const std::string full = std::string(appledir::kFolderName) + "/" + entry;
            if (full.size() > sizeof(VantrelDiskName::bytes)) continue;
            VantrelDiskName n{};
            n.length = static_cast<UInt8>(full.size());
            std::memcpy(n.bytes, full.data(), n.length);
            if (visit(n, kind)) return true;
        }
    }
    return false;
}

namespace {

// What Netatalk 2's entry `name` (in ".AppleDouble") of `dirFd` is: the
// data of an item that is there (or of the folder itself), an orphan, or
// no AppleDouble file (the user's own); fnfErr when it is gone.
OSErr netatalk2_kind(int dirFd, const std::string& name, VantrelHiddenKind* kind) {
    appledir::Census c;
    if (!appledir::census(dirFd, &c)) return fnfErr;
    auto has = [&](const std::vector<std::string>& v) {
        return std::find(v.begin(), v.end(), name) != v.end();
    };
    if (has(c.orphans))
        *kind = kVantrelHiddenOrphan;
    else if (has(c.unusable))
        *kind = kVantrelHiddenOwnFile;
    else if (has(c.belonging))
        *kind = kVantrelHiddenFork;
    else
        return fnfErr;
    return noErr;
}

// The entry of ".AppleDouble" a name ".AppleDouble/NAME" names, or "".
std::string netatalk2_entry(std::string_view name) {
    const std::string_view prefix = appledir::kFolderName;
    if (name.size() <= prefix.size() + 1 || name.substr(0, prefix.size()) != prefix ||
        name[prefix.size()] != '/')
        return {};
    const std::string_view entry = name.substr(prefix.size() + 1);
    if (entry.find('/') != std::string_view::npos || entry == "." || entry == "..") return {};
    return std::string(entry);
}

// The folder of `ref`, open for reading its entries.
OSErr open_folder(const FSRef* ref, const char* op, UniqueFd* out) {
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check(op, n.name)) return e;
    if (!n.is_dir()) return errFSNotAFolder;
    DirFd d;
    if (OSErr e = dir_fd(n, &d)) return e;
    UniqueFd fd(::openat(d->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return from_errno(errno, Op::OpenDir, &n);
    *out = std::move(fd);
    return noErr;
}

}  // namespace
}  // namespace vantrel::fm

using namespace vantrel;
using namespace vantrel::fm;

namespace {

// The entry a caller names, or empty when it is no "._" name of one
// component, nor ".AppleDouble/NAME" (`*netatalk2` then set to NAME).
std::string hidden_name(const VantrelDiskName* name, std::string* netatalk2) {
    std::string entry(reinterpret_cast<const char*>(name->bytes), name->length);
    netatalk2->clear();
    if (entry.find('\0') != std::string::npos) return {};
    *netatalk2 = netatalk2_entry(entry);
    if (!netatalk2->empty()) return entry;
    if (!rsrc::is_sidecar_name(entry) || entry.find('/') != std::string::npos) entry.clear();
    return entry;
}

}  // namespace

OSErr VantrelFSGetHiddenEntryKind(const FSRef* folder, const VantrelDiskName* name,
                                  VantrelHiddenKind* kind) {
    if (folder == nullptr || name == nullptr || kind == nullptr) return paramErr;
    std::string netatalk2;
    const std::string entry = hidden_name(name, &netatalk2);
    if (entry.empty()) return paramErr;
    UniqueFd fd;
    if (OSErr e = open_folder(folder, "VantrelFSGetHiddenEntryKind", &fd)) return e;
    if (!netatalk2.empty()) return netatalk2_kind(fd.get(), netatalk2, kind);
    return hidden_kind(fd.get(), entry.c_str(), DT_UNKNOWN, kind);
}

OSErr VantrelFSGetHiddenEntries(const FSRef* folder, VantrelHiddenEntryProc visit, void* context) {
    if (folder == nullptr || visit == nullptr) return paramErr;
    UniqueFd fd;
    if (OSErr e = open_folder(folder, "VantrelFSGetHiddenEntries", &fd)) return e;
    const int dirFd = fd.get();
    bool netatalk2 = false;  // the reading met ".AppleDouble"
    bool stopped = false;
    if (OSErr e = each_dot_entry(
            dirFd,
            [&](const char* name, unsigned char type) {
                VantrelHiddenKind kind = 0;
                if (hidden_kind(dirFd, name, type, &kind) != noErr) return false;  // gone
                VantrelDiskName n{};
                n.length = static_cast<UInt8>(std::strlen(name));
                std::memcpy(n.bytes, name, n.length);
                stopped = visit(&n, kind, context) != 0;
                return stopped;
            },
            &netatalk2))
        return e;
    if (stopped) return noErr;
    // Then what Netatalk 2's ".AppleDouble" holds, each as ".AppleDouble/NAME".
    if (netatalk2)
        (void)visit_netatalk2_entries(dirFd, [&](const VantrelDiskName& n, VantrelHiddenKind kind) {
            return visit(&n, kind, context) != 0;
        });
    return noErr;
}

OSErr VantrelFSRemoveLeftover(const FSRef* folder, const VantrelDiskName* name) {
    if (folder == nullptr || name == nullptr) return paramErr;
    std::string netatalk2;
    const std::string entry = hidden_name(name, &netatalk2);
    if (entry.empty()) return paramErr;
    UniqueFd fd;
    if (OSErr e = open_folder(folder, "VantrelFSRemoveLeftover", &fd)) return e;
    // Held, no file can take NAME (making one takes this lock and removes
    // an orphan first) and no change of ours can begin in the folder: what
    // is a leftover now stays one until it is gone.
    commit::FolderLock lock;
    if (OSErr e = lock.take(fd.get())) return e;
    if (!netatalk2.empty()) {
        if (appledir::remove_orphan(fd.get(), netatalk2, "VantrelFSRemoveLeftover.unlink") == 0)
            return noErr;
        return errno == EBUSY ? OSErr{fBsyErr} : from_errno(errno, Op::Delete);
    }
    VantrelHiddenKind kind = 0;
    if (OSErr e = hidden_kind(fd.get(), entry.c_str(), DT_UNKNOWN, &kind)) return e;
    if (kind != kVantrelHiddenOrphan && kind != kVantrelHiddenLeftover) return fBsyErr;
    if (fault::step("VantrelFSRemoveLeftover.unlink", entry,
                    [&] { return ::unlinkat(fd.get(), entry.c_str(), 0); }) != 0)
        return from_errno(errno, Op::Delete);
    return noErr;
}
