// The FSRef byte layout (little-endian, so the magic reads "fRnV"):
//
//   0  magic 0x566E5266      16  device (8)
//   4  volume number (2)     24  inode (8)
//   6  flags                 32  birth stamp, listing time when listed, or
//                                handle digest (8)
//   7  bytes of name used    40  leaf name, zero-padded (40)
//   8  node ID (4)
//  12  parent ID (4)
#include "fm/ref_codec.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace vantrel::fm {
namespace {

constexpr std::uint32_t kMagic = 0x566E5266;
enum : std::uint8_t { kDir = 1, kRoot = 2, kLongName = 4, kListed = 8, kHandle = 16 };
constexpr std::uint8_t kKnownFlags = kDir | kRoot | kLongName | kListed | kHandle;

// Node IDs below this belong to a volume's root (2) and its parent (1) only.
constexpr UInt32 kFirstItemID = 16;

std::uint64_t get(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void put(unsigned char* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i, v >>= 8) p[i] = static_cast<unsigned char>(v & 0xFF);
}

bool all_zero(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// One path component that cannot name anything outside its directory.
bool safe_leaf(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

OSErr decode_ref(const FSRef& ref, RefFields* out) {
    const auto* b = reinterpret_cast<const unsigned char*>(&ref);
    static_assert(sizeof(FSRef) == 80, "an FSRef is 80 bytes");
    if (get(b, 4) != kMagic) return all_zero(b, sizeof ref) ? OSErr(fnfErr) : OSErr(errFSBadFSRef);
    RefFields f;
    f.vref = static_cast<FSVolumeRefNum>(get(b + 4, 2));
    const std::uint8_t flags = b[6];
    const std::size_t len = b[7];
    f.dir = flags & kDir;
    f.root = flags & kRoot;
    f.longName = flags & kLongName;
    f.listed = flags & kListed;
    f.handle = flags & kHandle;
    f.nodeID = static_cast<UInt32>(get(b + 8, 4));
    f.parentID = static_cast<UInt32>(get(b + 12, 4));
    f.dev = get(b + 16, 8);
    f.ino = get(b + 24, 8);
    f.stamp = get(b + 32, 8);
    const unsigned char* name = b + 40;
    if (f.vref >= 0 || (flags & ~kKnownFlags) != 0 || f.ino == 0 || len > kInlineNameBytes ||
        !all_zero(name + len, kInlineNameBytes - len))
        return errFSBadFSRef;
    if (f.root) {
        if (flags != (kDir | kRoot) || len != 0 || f.nodeID != UInt32(fsRtDirID) ||
            f.parentID != UInt32(fsRtParID))
            return errFSBadFSRef;
        *out = std::move(f);
        return noErr;
    }
    f.name.assign(reinterpret_cast<const char*>(name), len);
    if (!safe_leaf(f.name) || (f.longName && len != kInlineNameBytes) || (f.listed && f.dir) ||
        (f.handle && (f.listed || f.stamp == 0)) || f.nodeID < kFirstItemID ||
        (f.parentID != UInt32(fsRtDirID) && f.parentID < kFirstItemID))
        return errFSBadFSRef;
    *out = std::move(f);
    return noErr;
}

void encode_ref(const RefFields& f, FSRef* out) {
    unsigned char b[80] = {};
    put(b, kMagic, 4);
    put(b + 4, static_cast<std::uint16_t>(f.vref), 2);
    b[6] = static_cast<unsigned char>((f.dir ? kDir : 0) | (f.root ? kRoot : 0) |
                                      (f.longName ? kLongName : 0) | (f.listed ? kListed : 0) |
                                      (f.handle ? kHandle : 0));
    const std::size_t len = f.root ? 0 : std::min(f.name.size(), kInlineNameBytes);
    b[7] = static_cast<unsigned char>(len);
    put(b + 8, f.nodeID, 4);
    put(b + 12, f.parentID, 4);
    put(b + 16, f.dev, 8);
    put(b + 24, f.ino, 8);
    put(b + 32, f.stamp, 8);
    // A counted name (its length is at b[7]), not a C string.
    std::memcpy(b + 40, f.name.data(), len);  // NOLINT(bugprone-not-null-terminated-result)
    std::memcpy(out, b, sizeof b);
}

std::uint64_t birth_stamp(const struct statx& st) {
    if (!(st.stx_mask & STATX_BTIME)) return 0;
    return std::uint64_t(st.stx_btime.tv_sec) * 1'000'000'000ull + st.stx_btime.tv_nsec;
}

std::uint64_t handle_digest(int type, const unsigned char* bytes, unsigned size) {
    std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    auto mix = [&](unsigned char c) { h = (h ^ c) * 0x100000001b3ull; };
    for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(unsigned(type) >> (8 * i)));
    for (unsigned i = 0; i < size; ++i) mix(bytes[i]);
    return h | 1;
}

bool birth_fits(const Identity& want, std::uint64_t born) {
    if (born == 0 || want.stamp == 0) return true;
    return want.listed ? born <= want.stamp : born == want.stamp;
}

bool same_object(const Identity& want, const struct statx& st) {
    return st.stx_ino == want.ino &&
           std::uint64_t(makedev(st.stx_dev_major, st.stx_dev_minor)) == want.dev &&
           birth_fits(want, birth_stamp(st));
}

}  // namespace vantrel::fm
