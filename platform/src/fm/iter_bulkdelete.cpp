// Deleting items straight from a listing (iter_bulkdelete.h).
#include "fm/iter_bulkdelete.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fm/cat_appledir.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "fm/ref_fd.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSBulkDeleteFiles.unlink", "VantrelFSBulkDeleteFiles.sidecar",
                         "VantrelFSBulkDeleteFiles.unlock");

namespace vantrel::fm {
namespace {

// Unlinks the sidecar `name` of `dirFd`. An orphan left by a failure is
// never listed and never becomes another item's fork (making an item under
// its name removes it first), and the folder's own deletion removes it.
int unlink_sidecar(int dirFd, const std::string& name) {
    fault::Benign benign;
    return fault::step("VantrelFSBulkDeleteFiles.sidecar", name,
                       [&] { return ::unlinkat(dirFd, name.c_str(), 0); });
}

// Takes the immutable attribute off the sidecar `name` of `dirFd`, as the
// walk unlocks a locked item it deletes (its file is gone already). noErr
// when it is not locked, or no longer. The lock belongs to the inode, not
// the name: a sidecar with another name somewhere (a hard link made to a
// file outside the folder) would lose that file's lock too, so it is
// refused as locked, as a locked fork present when the folder was read is.
OSErr unlock_sidecar(int dirFd, const std::string& name) {
    UniqueFd fd(
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    int flags = 0;
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0 || (flags & FS_IMMUTABLE_FL) == 0)
        return noErr;  // not one to unlock: the unlink says what it is
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || st.st_nlink != 1) return fLckdErr;
    int want = flags & ~FS_IMMUTABLE_FL;
    if (fault::step("VantrelFSBulkDeleteFiles.unlock", name,
                    [&] { return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &want); }) != 0)
        return from_errno(errno, Op::Lock);  // EPERM: only a privileged caller may unlock
    return noErr;
}

}  // namespace

bool BulkDeletes::delete_by_name(int dirFd, const char* name, unsigned char type) {
    if (!scanned_ || type == DT_DIR || type == DT_UNKNOWN) return false;
    if (has_sidecar(name)) return false;
    int rc;
    {
        // Refused or failed, the item goes the careful way, which answers.
        fault::Benign benign;
        rc = fault::step("VantrelFSBulkDeleteFiles.unlink", name,
                         [&] { return ::unlinkat(dirFd, name, 0); });
    }
    if (rc != 0) {
        if (errno == EISDIR) names().inFilePlace.emplace(name);
        return false;
    }
    deleted_.emplace_back(name);
    sorted_ = false;
    return true;
}

void BulkDeletes::hidden_entry(const char* name) {
    const std::string_view n(name);
    if (n.size() > 2 && !has_sidecar(n.substr(2))) late_.emplace_back(n);
}

OSErr BulkDeletes::remove_late_sidecars(int dirFd, bool rescan) {
    if (deleted_.empty()) return noErr;
    OSErr result = noErr;
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
        for (const std::string& side : late_) {
            const std::string file = side.substr(2);
            if (!std::binary_search(deleted_.begin(), deleted_.end(), file)) continue;
            // Another item under the name since: the sidecar is its fork now.
            struct statx st;
            if (::statx(dirFd, file.c_str(), AT_SYMLINK_NOFOLLOW, 0, &st) == 0 || errno != ENOENT)
                continue;
            // A user's own "._" file that is no AppleDouble file stays.
            if (!rsrc::is_sidecar_of(dirFd, file)) continue;
            struct statx sst {};
            if (::statx(dirFd, side.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sst) == 0 &&
                (sst.stx_attributes & STATX_ATTR_IMMUTABLE) != 0) {
                if (OSErr e = unlock_sidecar(dirFd, side)) {
                    if (result == noErr) result = e;
                    continue;
                }
            }
            // A fork only its owner may remove (another user's, in a sticky
            // folder) stays behind its deleted file: that is no success.
            if (unlink_sidecar(dirFd, side) != 0 && errno != ENOENT && result == noErr &&
                rsrc::may_remove(dirFd, file) != noErr)
                result = permErr;
        }
    }
    // What Netatalk 2 kept of the files goes with them.
    appledir::remove_entries_of(dirFd, deleted_, "VantrelFSBulkDeleteFiles.sidecar");
    late_.clear();
    deleted_.clear();
    sorted_ = true;
    return result;
}

}  // namespace vantrel::fm
