// The catalogue iterators (iter_catalog.cpp). Hidden (never installed).
#pragma once

namespace vantrel::fm {

struct Node;

// Whether `n` lies on a local file system we know (ext4, XFS, btrfs, tmpfs,
// F2FS), whose list of a file's attributes names every attribute a read
// would find: elsewhere (FUSE, a network file system) each is read.
bool lists_every_attribute(const Node& n);

// Number of iterators open in the process (tests prove none leaks).
long open_iterator_count() noexcept;

}  // namespace vantrel::fm
