// HGetVol / HSetVol: the default directory is the process's working
// directory (getcwd and fchdir), so it is process-wide by nature. What they
// promise is on their declarations in vantrel/Files.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fm/err_errno.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("HGetVol", "HSetVol");

namespace {

// HGetVol's name buffer is a Str27, the longest name an HFS volume had.
constexpr std::size_t kMaxVolumeNameBytes = 27;

}  // namespace

extern "C" OSErr HGetVol(StringPtr volName, FSVolumeRefNum* vRefNum, SInt32* dirID) {
    if (OSErr e = vantrel::fault::check("HGetVol")) return e;
    FSRef cwd;
    Boolean isDirectory = false;
    // A relative path is resolved against the working directory.
    if (OSErr err = FSPathMakeRef(reinterpret_cast<const UInt8*>("."), &cwd, &isDirectory))
        return err;
    FSCatalogInfo info{};
    if (OSErr err = FSGetCatalogInfo(&cwd, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr,
                                     nullptr, nullptr)) {
        return err;
    }
    if (volName != nullptr) {
        FSRef root;
        if (OSErr err =
                FSGetVolumeInfo(info.volume, 0, nullptr, kFSVolInfoNone, nullptr, nullptr, &root))
            return err;
        FSSpec rootSpec{};
        if (OSErr err =
                FSGetCatalogInfo(&root, kFSCatInfoNone, nullptr, nullptr, &rootSpec, nullptr))
            return err;
        const std::size_t n = std::min<std::size_t>(rootSpec.name[0], kMaxVolumeNameBytes);
        volName[0] = static_cast<unsigned char>(n);
        std::memcpy(volName + 1, rootSpec.name + 1, n);
    }
    if (vRefNum != nullptr) *vRefNum = info.volume;
    if (dirID != nullptr) *dirID = static_cast<SInt32>(info.nodeID);
    return noErr;
}

extern "C" OSErr HSetVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID) {
    if (OSErr e = vantrel::fault::check("HSetVol")) return e;
    if (volName != nullptr && volName[0] != 0) return paramErr;

    vantrel::fm::Node dir;
    if (OSErr err = vantrel::fm::dir_by_id(
            vRefNum, dirID == 0 ? UInt32{fsRtDirID} : static_cast<UInt32>(dirID), &dir)) {
        return err;
    }
    if (!dir.is_dir()) return dirNFErr;
    // The directory itself, opened through its parent's descriptor: never a
    // symbolic link put in its place since it was found.
    const int fd = dir.root ? ::openat(dir.at(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC)
                            : ::openat(dir.at(), dir.name.c_str(),
                                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return vantrel::fm::from_errno(errno, vantrel::fm::Op::OpenDir, &dir);
    vantrel::fm::UniqueFd owned(fd);
    if (::fchdir(fd) != 0) return vantrel::fm::from_errno(errno, vantrel::fm::Op::OpenDir, &dir);
    return noErr;
}
