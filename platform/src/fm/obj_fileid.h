// File IDs (hidden): the marker that records a file's ID, shared by the
// file-ID calls and their white-box tests.
#pragma once

#include <optional>
#include <string>

#include "fm/ref_node.h"

namespace vantrel::fm {

// Extended attribute that records a file ID: 24 bytes, big-endian: "VFID",
// the ID, then the inode number and birth stamp (ns) the ID was given to.
inline constexpr const char* kFileIDAttr = "user.org.vantrel.FileID";

// The ID recorded on `n`, if its marker is present, well-formed and was made
// for this very inode (a copy made with its extended attributes by another
// program carries the marker but is another file, and has no ID).
std::optional<UInt32> file_id_of(const Node& n);

// The marker that gives `n` the ID `id` (for an ID that moves to another
// inode: the exchange keeps a file ID with its name and place).
std::string file_id_marker(const Node& n, UInt32 id);
// Tells the process's table that `n` now carries `id`.
void note_file_id(const Node& n, UInt32 id);

// Forgets the process's table of IDs (tests use it to force the on-disk
// search that a fresh process would make).
void forget_file_ids();

}  // namespace vantrel::fm
