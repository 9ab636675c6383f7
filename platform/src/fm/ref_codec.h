// The 80 bytes of an FSRef made by this layer, and the one rule that says
// whether an object found on disk is the object a reference names.
//
// Pure: no system calls and no process-wide state. FSRefs arrive as
// caller-supplied bytes, so the parser is a unit of its own that a fuzzer
// drives (tests/fuzz/fsref_codec_fuzz.cpp); whatever it accepts is a
// reference this layer could have made, with a leaf name that is one path
// component and cannot climb out of its directory.
//
//   RefFields f;
//   if (OSErr e = decode_ref(*ref, &f)) return e;   // fnfErr for zeros, errFSBadFSRef
//   ... find the object f.name in directory f.parentID of volume f.vref ...
//   if (!same_object(identity_of(f), st)) return fnfErr;
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "vantrel/Files.h"

namespace vantrel::fm {

// Bytes of the leaf name kept inside the reference; a longer name keeps its
// first bytes there and the whole name in the long-name table.
inline constexpr std::size_t kInlineNameBytes = 40;

// What a reference says.
struct RefFields {
    FSVolumeRefNum vref = 0;  // always negative
    bool dir = false;
    bool root = false;      // the volume's root: node 2, parent 1, no name
    bool longName = false;  // `name` is the first kInlineNameBytes of a longer name
    // Made from a listing that stats no file: `stamp` is then the time the
    // listing was read, not the birth time (see same_object).
    bool listed = false;
    // The file system keeps no birth times: `stamp` is a digest of the
    // object's file handle (name_to_handle_at), which holds the inode's
    // generation, so an inode number used again is told from the old one.
    bool handle = false;
    UInt32 nodeID = 0;
    UInt32 parentID = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t stamp = 0;  // birth time in ns (0: the file system keeps none), see `handle`
    std::string name;         // the leaf as stored on disk; empty for a root
};

// 80 zero bytes: fnfErr (no object). Bytes that are not a reference this
// layer makes: errFSBadFSRef. That covers a wrong magic, unknown flags, a
// volume number that is not negative, a name that is empty, ".", "..", holds
// "/" or NUL, overruns its field or has bytes after it, and IDs no object has.
OSErr decode_ref(const FSRef& ref, RefFields* out);

// The bytes of `f`; decode_ref gives back the same fields. `f` must be valid
// (a name of at most kInlineNameBytes, ...): only this layer encodes.
void encode_ref(const RefFields& f, FSRef* out);

// Who an object is: device and inode, and what is known of its birth.
struct Identity {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t stamp = 0;  // birth time in ns; 0 = not known
    bool listed = false;      // `stamp` is a time by which the object existed
};

// The birth part of a reference's identity (a handle digest is checked
// apart: handle_fits).
inline Identity identity_of(const RefFields& f) {
    return Identity{f.dev, f.ino, f.handle ? 0 : f.stamp, f.listed};
}

// A digest of a file handle's type and bytes (never 0).
std::uint64_t handle_digest(int type, const unsigned char* bytes, unsigned size);

// Birth time in ns from a statx, or 0 when the file system keeps none.
std::uint64_t birth_stamp(const struct statx& st);

// The one rule for "is this the object": the same device and inode, and a
// birth that fits (birth_fits). A birth time known on both sides must be
// equal; for a listed reference the object must have been born by the time
// it was listed (an inode number reused after the listing names another
// object). Where a side knows no birth time, device and inode decide.
bool same_object(const Identity& want, const struct statx& st);
// The birth part of the rule alone, for a remembered place whose recorded
// birth is `born` (0: unknown).
bool birth_fits(const Identity& want, std::uint64_t born);

}  // namespace vantrel::fm
