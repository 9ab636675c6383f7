// PBCreateFileIDRefSync, PBResolveFileIDRefSync, PBDeleteFileIDRefSync: file
// IDs that survive renames and moves within the volume. What they promise is
// on their declarations in vantrel/Files.h.
//
// A file's ID is its node ID, which is its inode number (see ref_node.h). That
// the ID "exists" is recorded in the extended attribute
// user.org.vantrel.FileID, with the inode number and birth time it was made
// for, so that a copy carrying the attribute along is told from the file.
// The AppleDouble metadata record is left alone; its private entries belong
// to the file servers that share the volume.
//
// Resolution looks, in order, in the process's table of IDs made or found
// here, in the layer's table of node IDs, and finally walks the volume from
// its root (never following links, never leaving the volume, but entering
// the btrfs subvolumes inside it) for the inode with that number that
// carries the marker: the ID's own number, or for an ID from the volume's ID
// table (ref_idtable.h) the inode the table gave it to. The walk is what a
// new process pays once per ID; the result is remembered. An ID that an
// exchange moved to another inode, or one a process made when it could not
// use the ID table, is found by a walk that asks every file.
#include "fm/obj_fileid.h"

#include <dirent.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fm/err_errno.h"
#include "fm/ref_codec.h"
#include "fm/ref_fd.h"
#include "fm/ref_idtable.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/ref_pbnode.h"
#include "fm/vol_table.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBCreateFileIDRefSync", "PBResolveFileIDRefSync",
                         "PBDeleteFileIDRefSync");

namespace vantrel::fm {
namespace {

constexpr std::uint32_t kMarkerMagic = 0x56464944;  // "VFID"
constexpr std::size_t kMarkerSize = 24;

void put_be(unsigned char* p, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v & 0xFF);
}

std::uint64_t get_be(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

struct Key {
    FSVolumeRefNum vref;
    UInt32 id;
    bool operator==(const Key&) const = default;
};
struct KeyHash {
    std::size_t operator()(const Key& k) const {
        return std::hash<std::uint64_t>()((std::uint64_t(std::uint16_t(k.vref)) << 32) | k.id);
    }
};

struct IdTable {
    std::mutex mu;
    std::unordered_map<Key, FSRef, KeyHash> refs;
};

IdTable& table() {
    static IdTable* t = new IdTable;
    return *t;
}

void remember(const Node& n, UInt32 id) {
    FSRef ref;
    make_ref(n, &ref);
    IdTable& t = table();
    std::lock_guard lk(t.mu);
    t.refs[Key{n.vref, id}] = ref;
}

void forget(FSVolumeRefNum vref, UInt32 id) {
    IdTable& t = table();
    std::lock_guard lk(t.mu);
    t.refs.erase(Key{vref, id});
}

bool carries(const Node& n, UInt32 id) {
    if (!S_ISREG(n.st.stx_mode)) return false;
    auto have = file_id_of(n);
    return have && *have == id;
}

// Breadth-first over the volume, once, for the file with the ID's marker,
// stopping at the first that carries it. Every regular file is asked: the
// ID may have moved to another inode (an exchange), and one walk that asks
// them all costs less than a walk for the inode `ino` the ID names and a
// second one for the rest when the first finds nothing (an unknown ID). In
// a folder, the file with inode `ino` is asked first. Every other ID met on
// the way is remembered, so that resolving it later walks nothing.
OSErr walk_volume(FSVolumeRefNum vref, UInt32 id, std::uint64_t ino, Node* out) {
    Volume v;
    if (OSErr err = volume_by_ref(vref, &v)) return err;
    Node root;
    if (OSErr err = root_node(v, &root)) return err;
    std::deque<Node> pending{root};
    while (!pending.empty()) {
        Node dir = std::move(pending.front());
        pending.pop_front();
        DirFd dfd;
        if (dir_fd(dir, &dfd) != noErr) continue;
        const int listfd = ::openat(dfd->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listfd < 0) continue;  // unreadable directories are passed over
        DIR* d = ::fdopendir(listfd);
        if (d == nullptr) {
            ::close(listfd);
            continue;
        }
        // Found where another program moved it: tell the layer, so that
        // references made from here on resolve to this place.
        auto found = [&](Node& child) {
            ::closedir(d);
            note_moved(child, dir, child.name);
            *out = std::move(child);
            return noErr;
        };
        std::vector<std::string> files;  // this folder's other files, asked after `ino`
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            const bool maybeDir = e->d_type == DT_DIR || e->d_type == DT_UNKNOWN;
            const bool maybeFile = e->d_type == DT_REG || e->d_type == DT_UNKNOWN;
            if (!maybeDir && !maybeFile) continue;
            if (!maybeDir && !(ino != 0 && e->d_ino == ino)) {
                files.emplace_back(e->d_name);
                continue;
            }
            Node child;
            if (lookup(dir, e->d_name, &child) != noErr) continue;
            // Another volume mounted here. (A btrfs subvolume, on a device of
            // its own, is a folder of this volume.)
            if (child.root) continue;
            if (child.is_dir()) {
                pending.push_back(std::move(child));
            } else if (carries(child, id)) {
                return found(child);
            }
        }
        for (const std::string& name : files) {
            Node child;
            if (lookup(dir, name, &child) != noErr || child.root) continue;
            const std::optional<UInt32> has = file_id_of(child);
            if (!has) continue;
            if (*has == id) return found(child);
            remember(child, *has);
        }
        ::closedir(d);
    }
    return fidNotFound;
}

// The file that carries ID `id` on volume `vref`.
OSErr find_file(FSVolumeRefNum vref, UInt32 id, Node* out) {
    {
        FSRef ref;
        bool known = false;
        {
            IdTable& t = table();
            std::lock_guard lk(t.mu);
            auto it = t.refs.find(Key{vref, id});
            if (it != t.refs.end()) {
                ref = it->second;
                known = true;
            }
        }
        if (known && resolve(&ref, out) == noErr && carries(*out, id)) return noErr;
    }
    if (node_by_id(vref, id, out) == noErr && carries(*out, id)) {
        remember(*out, id);
        return noErr;
    }
    std::uint64_t ino = id >= 16 && id < 0x80000000u ? id : 0;
    TableKey key;
    if (ino == 0 && table_key(vref, id, &key)) ino = key.ino;
    if (OSErr err = walk_volume(vref, id, ino, out)) return err;
    remember(*out, id);
    return noErr;
}

OSErr finish(FIDParam& p, OSErr err) {
    p.ioResult = err;
    return err;
}

// Volume 0 is the default directory's volume.
OSErr actual_volume(FSVolumeRefNum vref, FSVolumeRefNum* out) {
    if (vref != 0) {
        *out = vref;
        return noErr;
    }
    SInt32 dirID = 0;
    return HGetVol(nullptr, out, &dirID);
}

}  // namespace

std::optional<UInt32> file_id_of(const Node& n) {
    unsigned char buf[kMarkerSize + 1];
    const ssize_t len = ::lgetxattr(n.proc_path().c_str(), kFileIDAttr, buf, sizeof buf);
    if (len != static_cast<ssize_t>(kMarkerSize)) return std::nullopt;
    if (get_be(buf, 4) != kMarkerMagic) return std::nullopt;
    // Made for this very file, not for one that had its inode number before.
    const Identity madeFor{std::uint64_t(n.dev()), get_be(buf + 8, 8), get_be(buf + 16, 8), false};
    if (!same_object(madeFor, n.st)) return std::nullopt;
    return static_cast<UInt32>(get_be(buf + 4, 4));
}

std::string file_id_marker(const Node& n, UInt32 id) {
    unsigned char marker[kMarkerSize];
    put_be(marker, kMarkerMagic, 4);
    put_be(marker + 4, id, 4);
    put_be(marker + 8, n.st.stx_ino, 8);
    put_be(marker + 16, n.stamp(), 8);
    return std::string(reinterpret_cast<const char*>(marker), sizeof marker);
}

void note_file_id(const Node& n, UInt32 id) {
    remember(n, id);
}

void forget_file_ids() {
    IdTable& t = table();
    std::lock_guard lk(t.mu);
    t.refs.clear();
}

}  // namespace vantrel::fm

using namespace vantrel::fm;

extern "C" OSErr PBCreateFileIDRefSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    FIDParam& p = pb->fidParam;
    if (OSErr e = vantrel::fault::check("PBCreateFileIDRefSync")) return finish(p, e);
    Node n;
    if (OSErr err = node_from_spec(p.ioVRefNum, p.ioSrcDirID, p.ioNamePtr, &n))
        return finish(p, err);
    if (!S_ISREG(n.st.stx_mode)) return finish(p, notAFileErr);

    if (auto id = file_id_of(n)) {
        p.ioFileID = static_cast<SInt32>(*id);
        remember(n, *id);
        return finish(p, fidExists);
    }
    const std::string marker = file_id_marker(n, n.nodeID);
    // Replaces a marker that a copy brought along from another file.
    if (::lsetxattr(n.proc_path().c_str(), kFileIDAttr, marker.data(), marker.size(), 0) != 0) {
        return finish(p, from_errno(errno, Op::Write, &n));
    }
    remember(n, n.nodeID);
    p.ioFileID = static_cast<SInt32>(n.nodeID);
    return finish(p, noErr);
}

extern "C" OSErr PBResolveFileIDRefSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    FIDParam& p = pb->fidParam;
    if (OSErr e = vantrel::fault::check("PBResolveFileIDRefSync")) return finish(p, e);
    FSVolumeRefNum vref = 0;
    if (OSErr err = actual_volume(p.ioVRefNum, &vref)) return finish(p, err);
    Node n;
    if (OSErr err = find_file(vref, static_cast<UInt32>(p.ioFileID), &n)) return finish(p, err);
    if (p.ioNamePtr != nullptr) name_to_pascal(n.name, n.nodeID, p.ioNamePtr, sizeof(Str255));
    p.ioSrcDirID = static_cast<SInt32>(n.parentID);
    return finish(p, noErr);
}

extern "C" OSErr PBDeleteFileIDRefSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    FIDParam& p = pb->fidParam;
    if (OSErr e = vantrel::fault::check("PBDeleteFileIDRefSync")) return finish(p, e);
    FSVolumeRefNum vref = 0;
    if (OSErr err = actual_volume(p.ioVRefNum, &vref)) return finish(p, err);
    const auto id = static_cast<UInt32>(p.ioFileID);
    Node n;
    if (OSErr err = find_file(vref, id, &n)) return finish(p, err);
    if (::lremovexattr(n.proc_path().c_str(), kFileIDAttr) != 0 && errno != ENODATA) {
        return finish(p, from_errno(errno, Op::Write, &n));
    }
    forget(vref, id);
    return finish(p, noErr);
}
