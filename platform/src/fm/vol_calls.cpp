// Volume calls: FSGetVolumeInfo, PBHGetVolParmsSync and the mount record
// (PBGetVolMountInfoSize, PBGetVolMountInfo, PBVolumeMount).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>

#include "fm/cat_dates.h"
#include "fm/err_errno.h"
#include "fm/ref_fd.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/vol_mount.h"
#include "fm/vol_table.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FSGetVolumeInfo", "PBHGetVolParmsSync", "PBHGetVolParmsSync.exchange",
                         "PBGetVolMountInfoSize", "PBGetVolMountInfo", "PBVolumeMount",
                         "PBVolumeMount.clone", "PBVolumeMount.flags", "PBVolumeMount.attach",
                         "PBVolumeMount.bind", "PBVolumeMount.remount", "PBVolumeMount.undo");

namespace vantrel::fm {
namespace {

// The volume `vref`; 0 names the default volume (the working directory's).
OSErr pick_volume(FSVolumeRefNum vref, Volume* out) {
    refresh_volumes();
    if (vref == 0) {
        Node cwd;
        if (OSErr e = node_from_path(".", &cwd)) return e;
        vref = cwd.vref;
    }
    return volume_by_ref(vref, out);
}

bool hardware_locked(const Volume& v) {
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/ro", major(v.dev), minor(v.dev));
    std::ifstream in(path);
    int ro = 0;
    return in >> ro && ro == 1;
}

struct FlagName {
    const char* name;
    unsigned long flag;
};
constexpr FlagName kMountFlags[] = {{"ro", MS_RDONLY},
                                    {"nosuid", MS_NOSUID},
                                    {"nodev", MS_NODEV},
                                    {"noexec", MS_NOEXEC},
                                    {"sync", MS_SYNCHRONOUS},
                                    {"noatime", MS_NOATIME},
                                    {"nodiratime", MS_NODIRATIME},
                                    {"relatime", MS_RELATIME},
                                    {"dirsync", MS_DIRSYNC}};

unsigned long flags_from(const std::string& opts) {
    unsigned long f = 0;
    std::size_t i = 0;
    while (i <= opts.size()) {
        std::size_t j = opts.find(',', i);
        if (j == std::string::npos) j = opts.size();
        std::string o = opts.substr(i, j - i);
        for (const FlagName& fn : kMountFlags)
            if (o == fn.name) f |= fn.flag;
        i = j + 1;
    }
    return f;
}

// File-system options without the ones mount(2) takes as flags.
std::string data_from(const std::string& opts) {
    std::string out;
    std::size_t i = 0;
    while (i <= opts.size()) {
        std::size_t j = opts.find(',', i);
        if (j == std::string::npos) j = opts.size();
        std::string o = opts.substr(i, j - i);
        if (!o.empty() && o != "rw" && o != "ro") {
            if (!out.empty()) out += ',';
            out += o;
        }
        i = j + 1;
    }
    return out;
}

OSErr mount_whole(const MountRecord& m) {
    if (::mount(m.source.c_str(), m.target.c_str(), m.fsType.c_str(), m.flags,
                m.data.empty() ? nullptr : m.data.c_str()) != 0)
        return from_errno(errno, Op::Mount);
    return noErr;
}

// Kernels without the new mount API (before 5.12): bind, then apply the
// per-mount flags, and take the bind away again when that fails.
OSErr bind_then_remount(const MountRecord& m, const std::string& from) {
    if (fault::step("PBVolumeMount.bind", m.target, [&] {
            return ::mount(from.c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr);
        }) != 0)
        return from_errno(errno, Op::Mount);
    const unsigned long perMount = m.flags & (MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC |
                                              MS_NOATIME | MS_NODIRATIME | MS_RELATIME);
    if (perMount != 0 && fault::step("PBVolumeMount.remount", m.target, [&] {
                             return ::mount(nullptr, m.target.c_str(), nullptr,
                                            MS_REMOUNT | MS_BIND | perMount, nullptr);
                         }) != 0) {
        const int err = errno;
        fault::step("PBVolumeMount.undo", m.target, [&] {
            return ::umount2(m.target.c_str(), MNT_DETACH);  // never leave it writable by mistake
        });
        return from_errno(err, Op::Mount);
    }
    return noErr;
}

// A bind mount of the directory `m.root` of the file system, taken from a
// volume that shows that file system (and that directory) now; nsvErr when
// none does. The per-mount flags (read-only, nosuid, ...) are then applied
// to the new mount alone.
OSErr mount_part(const MountRecord& m) {
    std::string from;
    for (const Volume& v : volumes()) {
        if (v.source != m.source || v.fsType != m.fsType) continue;
        const std::string& r = v.root;
        const bool under =
            r == "/" || m.root == r || (m.root.starts_with(r) && m.root[r.size()] == '/');
        if (!under) continue;
        std::string rest = r == "/" ? m.root : m.root.substr(r.size());
        std::string candidate = v.mountPoint == "/" ? rest : v.mountPoint + rest;
        if (candidate.empty()) candidate.assign(1, '/');
        // Exactly that directory: no link on the way leads elsewhere.
        char real[PATH_MAX];
        struct stat st;
        if (::realpath(candidate.c_str(), real) != nullptr && candidate == real &&
            ::stat(real, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == v.dev) {
            from = candidate;
            break;
        }
    }
    if (from.empty()) return nsvErr;
    // A detached copy of the directory gets the per-mount flags before it is
    // attached: the directory never shows there with other flags (writable,
    // say), not even for a moment, and a failure at any step leaves nothing
    // mounted (closing the copy discards it).
    UniqueFd tree(fault::step("PBVolumeMount.clone", m.target, [&] {
        return ::open_tree(AT_FDCWD, from.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
    }));
    if (!tree) return errno == ENOSYS ? bind_then_remount(m, from) : from_errno(errno, Op::Mount);
    struct mount_attr attr {};
    if (m.flags & MS_RDONLY) attr.attr_set |= MOUNT_ATTR_RDONLY;
    if (m.flags & MS_NOSUID) attr.attr_set |= MOUNT_ATTR_NOSUID;
    if (m.flags & MS_NODEV) attr.attr_set |= MOUNT_ATTR_NODEV;
    if (m.flags & MS_NOEXEC) attr.attr_set |= MOUNT_ATTR_NOEXEC;
    if (m.flags & MS_NODIRATIME) attr.attr_set |= MOUNT_ATTR_NODIRATIME;
    if (m.flags & (MS_NOATIME | MS_RELATIME)) {
        attr.attr_clr |= MOUNT_ATTR__ATIME;
        attr.attr_set |= (m.flags & MS_NOATIME) ? MOUNT_ATTR_NOATIME : MOUNT_ATTR_RELATIME;
    }
    if ((attr.attr_set | attr.attr_clr) != 0 &&
        fault::step("PBVolumeMount.flags", m.target, [&] {
            return ::mount_setattr(tree.get(), "", AT_EMPTY_PATH, &attr, sizeof attr);
        }) != 0)
        return errno == ENOSYS ? bind_then_remount(m, from) : from_errno(errno, Op::Mount);
    if (fault::step("PBVolumeMount.attach", m.target, [&] {
            return ::move_mount(tree.get(), "", AT_FDCWD, m.target.c_str(),
                                MOVE_MOUNT_F_EMPTY_PATH);
        }) != 0)
        return from_errno(errno, Op::Mount);
    return noErr;
}

}  // namespace

std::string encode_mount_record(const Volume& v) {
    std::string strings =
        v.source + '\0' + v.mountPoint + '\0' + v.fsType + '\0' + data_from(v.superOpts) + '\0';
    // A mount of part of a file system (a bind mount) records that part; a
    // whole file system keeps the first form of the record.
    const bool part = !v.root.empty() && v.root != "/";
    if (part) strings += v.root + '\0';
    VolMountHeader h{};
    h.length = UInt16(sizeof h + strings.size());
    h.media = kVolMountMedia;
    h.version = part ? kVolMountVersionPart : kVolMountVersion;
    h.flags = UInt32(flags_from(v.mountOpts) | (v.readOnly ? MS_RDONLY : 0));
    std::string out(reinterpret_cast<const char*>(&h), sizeof h);
    out += strings;
    return out;
}

OSErr decode_mount_record(const void* rec, MountRecord* out) {
    if (rec == nullptr) return paramErr;
    VolMountHeader h;
    std::memcpy(&h, rec, sizeof h);
    const int strings = h.version == kVolMountVersion       ? 4
                        : h.version == kVolMountVersionPart ? 5
                                                            : 0;
    if (h.media != kVolMountMedia || strings == 0 || h.length < sizeof h + strings) return paramErr;
    const char* p = static_cast<const char*>(rec) + sizeof h;
    std::size_t left = h.length - sizeof h;
    std::string parts[5] = {{}, {}, {}, {}, "/"};
    for (int i = 0; i < strings; ++i) {
        const void* nul = std::memchr(p, '\0', left);
        if (nul == nullptr) return paramErr;
        std::size_t len = static_cast<const char*>(nul) - p;
        parts[i].assign(p, len);
        p += len + 1;
        left -= len + 1;
    }
    // The directory is absolute and goes only down: no ".", ".." or "//".
    const std::string& root = parts[4];
    if (parts[1].empty() || parts[1][0] != '/' || parts[2].empty() || root.empty() ||
        root[0] != '/' || (root.size() > 1 && root.back() == '/') ||
        root.find("//") != std::string::npos || (root + "/").find("/./") != std::string::npos ||
        (root + "/").find("/../") != std::string::npos)
        return paramErr;
    out->source = parts[0];
    out->target = parts[1];
    out->fsType = parts[2];
    out->data = parts[3];
    out->root = parts[4];
    out->flags = h.flags;
    return noErr;
}

}  // namespace vantrel::fm

using namespace vantrel;
using namespace vantrel::fm;

OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex, FSVolumeRefNum* actualVolume,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo* info, HFSUniStr255* volumeName,
                      FSRef* rootDirectory) {
    if (OSErr e = fault::check("FSGetVolumeInfo",
                               std::to_string(volumeIndex ? volumeIndex : ItemCount(-volume))))
        return e;
    Volume v;
    if (volumeIndex > 0) {
        std::vector<Volume> all = volumes();
        if (volumeIndex > all.size()) return nsvErr;
        v = all[volumeIndex - 1];
    } else if (OSErr e = pick_volume(volume, &v)) {
        return e;
    }
    Node root;
    if (OSErr e = root_node(v, &root)) return e;
    if (info != nullptr && whichInfo != 0) {
        struct statvfs sv;
        if (::fstatvfs(root.at(), &sv) != 0) return from_errno(errno, Op::Read);
        if (whichInfo & kFSVolInfoCreateDate)
            info->createDate =
                (root.st.stx_mask & STATX_BTIME)
                    ? utc_from_timespec(root.st.stx_btime.tv_sec, root.st.stx_btime.tv_nsec)
                    : utc_from_timespec(root.st.stx_ctime.tv_sec, root.st.stx_ctime.tv_nsec);
        if (whichInfo & kFSVolInfoModDate)
            info->modifyDate =
                utc_from_timespec(root.st.stx_mtime.tv_sec, root.st.stx_mtime.tv_nsec);
        if (whichInfo & kFSVolInfoBackupDate) info->backupDate = UTCDateTime{};
        if (whichInfo & kFSVolInfoCheckedDate) info->checkedDate = UTCDateTime{};
        if (whichInfo & kFSVolInfoFileCount) info->fileCount = UInt32(sv.f_files - sv.f_ffree);
        if (whichInfo & kFSVolInfoDirCount)
            info->folderCount = 0;  // not kept by POSIX file systems
        if (whichInfo & kFSVolInfoSizes) {
            info->totalBytes = UInt64(sv.f_blocks) * sv.f_frsize;
            info->freeBytes = UInt64(sv.f_bavail) * sv.f_frsize;
        }
        if (whichInfo & kFSVolInfoBlocks) {
            info->blockSize = UInt32(sv.f_frsize);
            info->totalBlocks = UInt32(std::min<UInt64>(sv.f_blocks, 0xFFFFFFFFu));
            info->freeBlocks = UInt32(std::min<UInt64>(sv.f_bavail, 0xFFFFFFFFu));
        }
        if (whichInfo & kFSVolInfoNextAlloc) info->nextAllocation = 0;
        if (whichInfo & kFSVolInfoRsrcClump) info->rsrcClumpSize = UInt32(sv.f_bsize);
        if (whichInfo & kFSVolInfoDataClump) info->dataClumpSize = UInt32(sv.f_bsize);
        if (whichInfo & kFSVolInfoNextID) info->nextCatalogID = 0;
        if (whichInfo & kFSVolInfoFinderInfo)
            std::memset(info->finderInfo, 0, sizeof info->finderInfo);
        if (whichInfo & kFSVolInfoFlags) {
            UInt16 f = 0;
            if (v.readOnly || (sv.f_flag & ST_RDONLY)) f |= kFSVolFlagSoftwareLockedMask;
            if (hardware_locked(v)) f |= kFSVolFlagHardwareLockedMask;
            info->flags = f;
        }
        if (whichInfo & kFSVolInfoFSInfo) {
            struct statfs sf;
            if (::fstatfs(root.at(), &sf) != 0) return from_errno(errno, Op::Read);
            info->filesystemID = UInt16(std::uint64_t(sf.f_type) & 0xFFFF);
            info->signature = 0x482B;  // 'H+': the catalogue interface every volume offers
        }
        if (whichInfo & kFSVolInfoDriveInfo) {
            info->driveNumber = 0;
            info->driverRefNum = 0;
        }
    }
    if (volumeName != nullptr)
        if (OSErr e = name_to_unicode(volume_name(v), volumeName)) return e;
    if (rootDirectory != nullptr) make_ref(root, rootDirectory);
    if (actualVolume != nullptr) *actualVolume = v.vref;
    return noErr;
}

static OSErr get_vol_parms(HParamBlockRec* pb) {
    HIOParam& io = pb->ioParam;
    if (io.ioBuffer == nullptr || io.ioReqCount < 0) return paramErr;
    if (OSErr e = fault::check("PBHGetVolParmsSync", std::to_string(-io.ioVRefNum))) return e;
    Volume v;
    if (OSErr e = pick_volume(io.ioVRefNum, &v)) return e;
    GetVolParmsInfoBuffer b{};
    b.vMVersion = 4;
    b.vMAttrib =
        (1 << bHasMoveRename) | (1 << bHasFileIDs) | (1 << bHasCopyFile) | (1 << bHasExtFSVol);
    b.vMLocalHand = nullptr;
    b.vMServerAdr = 0;  // a local volume
    b.vMVolumeGrade = 0;
    b.vMForeignPrivID = 0;
    SInt32 ext = (1 << bSupportsHFSPlusAPIs) | (1 << bSupportsLongNames) |
                 (1 << bSupportsMultiScriptNames) | (1 << bSupportsNamedForks) |
                 (1 << bSupports2TBFiles) | (1 << bSupportsSymbolicLinks) |
                 (1 << bIsCaseSensitive) | (1 << bIsCasePreserving);
    std::optional<std::int64_t> force = fault::override_value("PBHGetVolParmsSync.exchange");
    bool exchange = force ? *force != 0 : exchange_works(v);
    if (exchange) ext |= 1 << bSupportsFSExchangeObjects;
    b.vMExtendedAttributes = ext;
    b.vMDeviceID = nullptr;
    b.vMMaxNameLength = 255;
    std::size_t n = std::min<std::size_t>(std::size_t(io.ioReqCount), sizeof b);
    std::memcpy(io.ioBuffer, &b, n);
    io.ioActCount = SInt32(n);
    return noErr;
}

OSErr PBHGetVolParmsSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    OSErr e = get_vol_parms(pb);
    pb->ioParam.ioResult = e;
    return e;
}

static OSErr mount_info(ParamBlockRec* pb, bool sizeOnly) {
    IOParam& io = pb->ioParam;
    if (io.ioBuffer == nullptr) return paramErr;
    if (OSErr e = fault::check(sizeOnly ? "PBGetVolMountInfoSize" : "PBGetVolMountInfo",
                               std::to_string(-io.ioVRefNum)))
        return e;
    Volume v;
    if (OSErr e = pick_volume(io.ioVRefNum, &v)) return e;
    std::string rec = encode_mount_record(v);
    if (rec.size() > 0xFFFF) return paramErr;
    if (sizeOnly) {
        UInt16 size = UInt16(rec.size());
        std::memcpy(io.ioBuffer, &size, sizeof size);
    } else {
        std::memcpy(io.ioBuffer, rec.data(), rec.size());
    }
    return noErr;
}

OSErr PBGetVolMountInfoSize(ParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    OSErr e = mount_info(pb, true);
    pb->ioParam.ioResult = e;
    return e;
}

OSErr PBGetVolMountInfo(ParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    OSErr e = mount_info(pb, false);
    pb->ioParam.ioResult = e;
    return e;
}

static OSErr volume_mount(ParamBlockRec* pb) {
    MountRecord m;
    if (OSErr e = decode_mount_record(pb->ioParam.ioBuffer, &m)) return e;
    if (OSErr e = fault::check("PBVolumeMount", m.target)) return e;
    // Already mounted as the record describes: that volume is the answer.
    auto find = [&]() -> FSVolumeRefNum {
        FSVolumeRefNum found = 0;
        for (const Volume& v : volumes())
            if (v.mountPoint == m.target && v.source == m.source && v.fsType == m.fsType &&
                v.root == m.root)
                found = v.vref;
        return found;
    };
    if (FSVolumeRefNum existing = find()) {
        pb->ioParam.ioVRefNum = existing;
        return noErr;
    }
    if (OSErr e = m.root == "/" ? mount_whole(m) : mount_part(m)) return e;
    FSVolumeRefNum vref = find();
    if (vref == 0) return nsvErr;
    pb->ioParam.ioVRefNum = vref;
    return noErr;
}

OSErr PBVolumeMount(ParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    OSErr e = volume_mount(pb);
    pb->ioParam.ioResult = e;
    return e;
}
