// Netatalk 2's ".AppleDouble" folders. See cat_appledir.h.
#include "fm/cat_appledir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fm/err_errno.h"
#include "vantrel/fault.h"

namespace vantrel::fm::appledir {
namespace {

// Gone, or never a folder of Netatalk's (a file, a link): nothing to read.
bool absent(int err) {
    return err == ENOENT || err == ENOTDIR || err == ELOOP;
}

// The folder whose ".AppleDouble" holds `n`'s entry (`*entry` its name
// there): a file's folder, a folder itself (opened O_PATH into `own`).
// -1 where `n` can have none (errno 0) or the folder is gone.
int base_of(const Node& n, UniqueFd* own, std::string* entry) {
    errno = 0;
    if (n.is_dir()) {
        *entry = kParentName;
        if (n.root) return n.at();
        *own = UniqueFd(
            ::openat(n.at(), n.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        return own->get();
    }
    if (!S_ISREG(n.st.stx_mode) || n.root) return -1;
    *entry = n.name;
    return n.at();
}

// `n`'s ".AppleDouble", opened O_PATH into `out` (left closed where there
// is none), and the folder holding it in `base`/`own`.
OSErr open_folder(const Node& n, UniqueFd* out, std::string* entry, int* base = nullptr,
                  UniqueFd* own = nullptr) {
    UniqueFd mine;
    UniqueFd* keep = own != nullptr ? own : &mine;
    const int at = base_of(n, keep, entry);
    if (base != nullptr) *base = at;
    if (at < 0) return errno == 0 || absent(errno) ? OSErr{noErr} : from_errno(errno, Op::Read, &n);
    *out = UniqueFd(::openat(at, std::string(kFolderName).c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!*out && !absent(errno)) return from_errno(errno, Op::Read, &n);
    return noErr;
}

// Reads `size` bytes at `at` whole; false on a short read or an error.
bool read_exact(int fd, void* buf, std::size_t size, std::uint64_t at) {
    auto* p = static_cast<char*>(buf);
    while (size > 0) {
        const ssize_t got = ::pread(fd, p, size, off_t(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        at += std::uint64_t(got);
        size -= std::size_t(got);
    }
    return true;
}

// Opens the entry `name` of the ".AppleDouble" folder `folderFd` as `out`.
OSErr open_entry(int folderFd, const std::string& name, File* out) {
    out->state = State::None;
    out->entry = name;
    out->fd = UniqueFd();
    UniqueFd path;
    struct stat st {};
    if (const int err = rsrc::open_path(folderFd, name.c_str(), &path, &st))
        return absent(err) ? OSErr{noErr} : from_errno(err, Op::Read);
    if (!S_ISREG(st.st_mode)) {
        out->state = State::Unusable;
        return noErr;
    }
    UniqueFd fd = rsrc::reopen_unseen(path.get(), O_RDONLY);
    if (!fd) return from_errno(errno, Op::Read);
    std::uint8_t head[ad::kHeaderSize + ad::kMaxEntries * ad::kEntrySize];
    const ssize_t got = ::pread(fd.get(), head, sizeof head, 0);
    if (got < 0) return from_errno(errno, Op::Read);
    ad::Header h;
    if (ad::decode({head, std::size_t(got)}, std::uint64_t(st.st_size), ad::kAppleDoubleFolder,
                   &h) != ad::Error::None) {
        out->state = State::Unusable;
        return noErr;
    }
    out->state = State::Found;
    out->fd = std::move(fd);
    out->size = std::uint64_t(st.st_size);
    out->header = std::move(h);
    return noErr;
}

// The names the directory `fd` holds, but "." and "..", with their types.
bool entries_of(int fd, std::vector<std::pair<std::string, unsigned char>>* out) {
    const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return false;
    DIR* d = ::fdopendir(listFd);
    if (d == nullptr) {
        ::close(listFd);
        return false;
    }
    while (const struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        out->emplace_back(e->d_name, e->d_type);
    }
    ::closedir(d);
    return true;
}

}  // namespace

bool is_private_folder(int dirFd, const char* name, unsigned char type) {
    if (kFolderName != name) return false;
    if (type != DT_UNKNOWN) return type == DT_DIR;
    struct stat st {};
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

OSErr open(const Node& n, File* out) {
    out->state = State::None;
    out->fd = UniqueFd();
    UniqueFd folder;
    std::string entry;
    if (OSErr e = open_folder(n, &folder, &entry)) return e;
    if (!folder) return noErr;
    out->folder = true;
    return open_entry(folder.get(), entry, out);
}

bool read_record(const File& f, meta::Record* out) {
    if (!f.found()) return false;
    meta::Record r;
    // At most what the record keeps of each.
    constexpr std::pair<std::uint32_t, std::uint32_t> kTaken[] = {
        {ad::kFinderInfoId, std::uint32_t(ad::kFinderInfoSize)},
        {ad::kCommentId, 200},
        {ad::kFileDatesId, 16},
    };
    for (const auto& [id, most] : kTaken) {
        const ad::Descriptor* d = f.header.find(id);
        if (d == nullptr || d->length == 0) continue;
        std::string data(std::min(d->length, most), '\0');
        if (!read_exact(f.fd.get(), data.data(), data.size(), d->offset)) return false;
        r.entries.push_back(meta::Entry{id, std::move(data)});
    }
    if (r.entries.empty()) return false;
    *out = std::move(r);
    return true;
}

bool record_of(const Node& n, meta::Record* out) {
    if (n.is_link()) return false;
    File f;
    return open(n, &f) == noErr && read_record(f, out);
}

bool fork_of(const File& f, rsrc::Sidecar* out) {
    const ad::Descriptor* fork = f.found() ? f.header.find(ad::kResourceForkId) : nullptr;
    if (fork == nullptr || fork->length == 0) return false;  // Netatalk's entry of no fork
    UniqueFd fd(::fcntl(f.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd) return false;
    out->state = rsrc::State::Sidecar;
    out->fd = std::move(fd);
    out->refusal = noErr;
    out->foreign = true;
    out->layout = rsrc::Layout{};
    out->layout.offset = fork->offset;
    out->layout.length = fork->length;
    out->layout.last = false;  // never grown or cut in place
    const ad::Descriptor* fi = f.header.find(ad::kFinderInfoId);
    out->layout.finderOffset = fi != nullptr ? fi->offset : 0;
    out->layout.finderLength = fi != nullptr ? fi->length : 0;
    return true;
}

bool fork_source(const Node& n, rsrc::Sidecar* out) {
    if (!S_ISREG(n.st.stx_mode)) return false;
    File f;
    return open(n, &f) == noErr && fork_of(f, out);
}

void fork_fallback(const Node& n, int fileFd, rsrc::Sidecar* side) {
    if (side->state != rsrc::State::None) return;
    for (const char* attr : {meta::kResourceForkAttr, ad::kAfpResourceAttr})
        if (::fgetxattr(fileFd, attr, nullptr, 0) >= 0 || (errno != ENODATA && errno != ENOTSUP))
            return;
    rsrc::Sidecar found;
    if (fork_source(n, &found)) *side = std::move(found);
}

OSErr refuse_parting(const Node& n) {
    if (n.is_dir() || !S_ISREG(n.st.stx_mode)) return noErr;
    File f;
    if (OSErr e = open(n, &f)) return e;
    return f.found() ? OSErr{errFSOperationNotSupported} : OSErr{noErr};
}

int remove(const Node& n, const File& f, const char* step) {
    UniqueFd folder, own;
    std::string entry;
    int base = -1;
    if (open_folder(n, &folder, &entry, &base, &own) != noErr || !folder) {
        errno = ENOENT;
        return -1;
    }
    struct stat had {
    }, now{};
    if (::fstat(f.fd.get(), &had) != 0) return -1;
    if (::fstatat(folder.get(), f.entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (had.st_ino != now.st_ino || had.st_dev != now.st_dev) {
        errno = EBUSY;
        return -1;
    }
    if (fault::step(step, f.entry, [&] { return ::unlinkat(folder.get(), f.entry.c_str(), 0); }) !=
        0)
        return -1;
    // Empty, it goes too; Netatalk makes it again when it needs one.
    fault::Benign benign;
    (void)fault::step(step, std::string(kFolderName), [&] {
        return ::unlinkat(base, std::string(kFolderName).c_str(), AT_REMOVEDIR);
    });
    return 0;
}

void remove_folder_if_empty(const Node& n, const char* step) {
    UniqueFd own;
    std::string entry;
    const int base = base_of(n, &own, &entry);
    if (base < 0) return;
    fault::Benign benign;
    (void)fault::step(step, std::string(kFolderName), [&] {
        const int rc = ::unlinkat(base, std::string(kFolderName).c_str(), AT_REMOVEDIR);
        return rc != 0 && errno == ENOTEMPTY ? 0 : rc;
    });
}

void remove_entries_of(int dirFd, const std::vector<std::string>& names, const char* step) {
    if (names.empty()) return;
    UniqueFd folder(::openat(dirFd, std::string(kFolderName).c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return;
    fault::Benign benign;
    bool removed = false;
    for (const std::string& entry : names) {
        File f;
        if (entry == kParentName || open_entry(folder.get(), entry, &f) != noErr || !f.found())
            continue;
        removed = fault::step(step, entry,
                              [&] { return ::unlinkat(folder.get(), entry.c_str(), 0); }) == 0 ||
                  removed;
    }
    // Empty, it goes too; Netatalk makes it again when it needs one.
    if (removed)
        (void)fault::step(step, std::string(kFolderName), [&] {
            return ::unlinkat(dirFd, std::string(kFolderName).c_str(), AT_REMOVEDIR);
        });
}

bool census(int folderFd, Census* out) {
    *out = Census{};
    UniqueFd folder(::openat(folderFd, std::string(kFolderName).c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return false;
    std::vector<std::pair<std::string, unsigned char>> names;
    if (!entries_of(folder.get(), &names)) return false;
    for (const auto& [name, type] : names) {
        File f;
        if (open_entry(folder.get(), name, &f) != noErr || !f.found()) {
            out->unusable.push_back(name);
            continue;
        }
        struct stat st {};
        if (name != kParentName &&
            ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            out->orphans.push_back(name);
        else
            out->belonging.push_back(name);
    }
    return true;
}

int remove_orphan(int folderFd, const std::string& name, const char* step) {
    Census c;
    if (!census(folderFd, &c)) {
        errno = ENOENT;
        return -1;
    }
    if (std::find(c.orphans.begin(), c.orphans.end(), name) == c.orphans.end()) {
        const bool listed =
            std::find(c.unusable.begin(), c.unusable.end(), name) != c.unusable.end() ||
            std::find(c.belonging.begin(), c.belonging.end(), name) != c.belonging.end();
        errno = listed ? EBUSY : ENOENT;
        return -1;
    }
    UniqueFd folder(::openat(folderFd, std::string(kFolderName).c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return -1;
    if (fault::step(step, name, [&] { return ::unlinkat(folder.get(), name.c_str(), 0); }) != 0)
        return -1;
    fault::Benign benign;
    (void)fault::step(step, std::string(kFolderName), [&] {
        const int rc = ::unlinkat(folderFd, std::string(kFolderName).c_str(), AT_REMOVEDIR);
        return rc != 0 && errno == ENOTEMPTY ? 0 : rc;
    });
    return 0;
}

int remove_leftovers(int folderFd, const char* step) {
    Census c;
    if (!census(folderFd, &c)) {
        errno = ENOTEMPTY;
        return -1;
    }
    // The folder's own ".Parent" goes with it; anything else keeps it.
    std::erase(c.belonging, std::string(kParentName));
    if (!c.unusable.empty() || !c.belonging.empty()) {
        errno = ENOTEMPTY;
        return -1;
    }
    UniqueFd folder(::openat(folderFd, std::string(kFolderName).c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return -1;
    std::vector<std::string> names = c.orphans;
    names.emplace_back(kParentName);
    for (const std::string& name : names) {
        if (fault::step(step, name, [&] {
                const int rc = ::unlinkat(folder.get(), name.c_str(), 0);
                return rc != 0 && errno == ENOENT ? 0 : rc;
            }) != 0)
            return -1;
    }
    return fault::step(step, std::string(kFolderName), [&] {
        return ::unlinkat(folderFd, std::string(kFolderName).c_str(), AT_REMOVEDIR);
    });
}

}  // namespace vantrel::fm::appledir
