// The volume table: every mount this process can reach, one volume per mount
// (a bind mount too), read from /proc/self/mountinfo (vol_table.cpp).
// The volume calls are vol_calls.cpp. Hidden (never installed).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fm/ref_fd.h"
#include "vantrel/Files.h"

namespace vantrel::fm {

struct Node;

struct Volume {
    FSVolumeRefNum vref = 0;  // negative, -1 for the first volume seen
    int mountId = 0;          // from /proc/self/mountinfo
    std::uint64_t mnt = 0;    // the mount as statx names it (see mount_of)
    dev_t dev = 0;
    std::string mountPoint;  // absolute
    std::string root;        // root of the mount within its file system ("/" mostly)
    std::string fsType;
    std::string source;
    std::string mountOpts;  // per-mount options (rw, nosuid, ...)
    std::string superOpts;  // file-system options
    bool readOnly = false;
    bool offered = true;  // listed among the volumes (not a file system without user files)
    // Whether an object's birth time lasts as long as the object: not on
    // overlayfs, where the first change of a lower file (its copy-up)
    // keeps its inode number but gives it a new birth time.
    bool birthLasts = true;
    ino_t rootIno = 0;
};

// The volumes offered to callers, in mount-table order (file systems that
// hold no user files left out, though they are volumes too: a walk that
// meets one meets a volume's root). Re-reads /proc/self/mountinfo.
std::vector<Volume> volumes();
// Re-reads the mount table now. The volume calls do this first, so they
// see mounts and unmounts at once; resolving references re-reads it when
// the kernel flags a change since it was read (volume_by_ref and
// volume_mount ask), or for a volume it does not know. What the
// layer kept of a volume that went away is released, and cached descriptors
// of deleted directories are closed.
void refresh_volumes();
// While one lives on this thread, resolutions ask the kernel whether mounts
// came or went once, not at each step: a call that resolves several
// references and opens their folders (a copy) holds one for its length. A
// mount or unmount made before the call is seen by its first resolution;
// one made while it runs races with it anyway, and the next call sees it.
// Nests: the outermost one's length counts.
class OneMountCheck {
  public:
    OneMountCheck();
    ~OneMountCheck();
    OneMountCheck(const OneMountCheck&) = delete;
    OneMountCheck& operator=(const OneMountCheck&) = delete;
};
// The volume `vref`; nsvErr when it is not (or no longer) mounted.
OSErr volume_by_ref(FSVolumeRefNum vref, Volume* out);
// Device and root inode of `vref` without copying the whole record (hot
// path: every node ID needs it). False for an unknown volume.
bool volume_root_id(FSVolumeRefNum vref, dev_t* dev, ino_t* ino);
// Volume `vref`'s birthLasts (true for an unknown volume).
bool volume_birth_lasts(FSVolumeRefNum vref);
// Mount and device of `vref` (hot path: every resolution checks them).
bool volume_mount(FSVolumeRefNum vref, std::uint64_t* mnt, dev_t* dev);
// The volume mounted as `mnt` (see mount_of), or nsvErr.
OSErr volume_by_mount(std::uint64_t mnt, Volume* out);
// The volumes (as last read) whose root is inode `ino` of device `dev`.
std::vector<Volume> volumes_with_root(dev_t dev, ino_t ino);
// The volume that holds the directory `fd` (already open), or nsvErr.
OSErr volume_of_fd(int fd, const std::string& canonicalPath, Volume* out);
// The root directory descriptor of a volume (cached).
OSErr volume_root(const Volume& v, DirFd* out);
OSErr volume_root_fd(FSVolumeRefNum vref, DirFd* out);
// The volume's name as callers see it: the last component of its mount
// point, or for the root file system the last component of its source.
std::string volume_name(const Volume& v);
// A Node for the root of `v`.
OSErr root_node(const Volume& v, Node* out);
// Whether renameat2(RENAME_EXCHANGE) works on `v`: what the last exchange on
// it showed, else what its file-system type promises. Asking writes nothing.
bool exchange_works(const Volume& v);
void note_exchange_result(FSVolumeRefNum vref, bool worked);
// The number a new mount is offered first, and setting it. Numbers count
// down from -1 and wrap after -32767; a test starts the count just before
// the wrap instead of mounting 32,767 times to reach it. Nothing else sets it.
FSVolumeRefNum next_volume_number();
void set_next_volume_number(FSVolumeRefNum n);

}  // namespace vantrel::fm
