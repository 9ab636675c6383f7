// Deleting items straight from a listing (bulkdelete.h).
#include "fm/bulkdelete.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fm/node.h"
#include "fm/rsrc_store.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSBulkDeleteFiles.unlink", "VantrelFSBulkDeleteFiles.sidecar",
                         "VantrelFSBulkDeleteFiles.unlock");

namespace vantrel::fm {
namespace {

// Removes the sidecar `name` of `dirFd` that the kernel refused to unlink
// for its immutable attribute, as the walk deletes a locked item: unlocked,
// then unlinked, and locked again if the unlink still fails.
void remove_locked_sidecar(int dirFd, const std::string& name) {
    UniqueFd fd(
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    int flags = 0;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0 || (flags & FS_IMMUTABLE_FL) == 0)
        return;
    int want = flags & ~FS_IMMUTABLE_FL;
    if (fault::step("VantrelFSBulkDeleteFiles.unlock", name,
                    [&] { return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &want); }) != 0)
        return;
    if (fault::step("VantrelFSBulkDeleteFiles.sidecar", name,
                    [&] { return ::unlinkat(dirFd, name.c_str(), 0); }) != 0)
        fault::step("VantrelFSBulkDeleteFiles.unlock", name,
                    [&] { return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags); });
}

}  // namespace

void BulkDeletes::scanned_entry(std::string_view name) {
    if (rsrc::is_sidecar_name(name) && name.size() > 2) withSidecar_.emplace(name.substr(2));
}

bool BulkDeletes::delete_by_name(int dirFd, const char* name, unsigned char type) {
    if (!scanned_ || type == DT_DIR || type == DT_UNKNOWN) return false;
    if (!withSidecar_.empty() && withSidecar_.count(std::string(name)) != 0) return false;
    int rc;
    {
        // Refused or failed, the item goes the careful way, which answers.
        fault::Benign benign;
        rc = fault::step("VantrelFSBulkDeleteFiles.unlink", name,
                         [&] { return ::unlinkat(dirFd, name, 0); });
    }
    if (rc != 0) return false;
    deleted_.emplace_back(name);
    sorted_ = false;
    return true;
}

void BulkDeletes::hidden_entry(const char* name) {
    const std::string_view n(name);
    if (n.size() > 2 && withSidecar_.count(std::string(n.substr(2))) == 0) late_.emplace_back(n);
}

void BulkDeletes::remove_late_sidecars(int dirFd, bool rescan) {
    if (deleted_.empty()) return;
    if (rescan) {
        const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dp = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (dp == nullptr && listFd >= 0) ::close(listFd);
        if (dp != nullptr) {
            while (const dirent* e = ::readdir(dp))
                if (rsrc::is_sidecar_name(e->d_name) && e->d_type != DT_DIR)
                    hidden_entry(e->d_name);
            ::closedir(dp);
        }
    }
    if (!late_.empty()) {
        if (!sorted_) std::sort(deleted_.begin(), deleted_.end());
        sorted_ = true;
        std::sort(late_.begin(), late_.end());
        late_.erase(std::unique(late_.begin(), late_.end()), late_.end());
        // An orphan left by a failure here is never listed and never becomes
        // another item's fork (making an item under its name removes it
        // first); the folder's own deletion tries again.
        fault::Benign benign;
        for (const std::string& side : late_) {
            const std::string file = side.substr(2);
            if (!std::binary_search(deleted_.begin(), deleted_.end(), file)) continue;
            // Another item under the name since: the sidecar is its fork now.
            struct statx st;
            if (::statx(dirFd, file.c_str(), AT_SYMLINK_NOFOLLOW, 0, &st) == 0 || errno != ENOENT)
                continue;
            // A user's own "._" file that is no AppleDouble file stays.
            if (!rsrc::is_sidecar_of(dirFd, file)) continue;
            if (fault::step("VantrelFSBulkDeleteFiles.sidecar", side,
                            [&] { return ::unlinkat(dirFd, side.c_str(), 0); }) != 0 &&
                errno == EPERM)
                remove_locked_sidecar(dirFd, side);
        }
    }
    late_.clear();
    deleted_.clear();
    sorted_ = true;
}

}  // namespace vantrel::fm
