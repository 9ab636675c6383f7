// Mac metadata in the layouts other programs leave it in, beside the
// record and sidecar this layer writes (cat_metadata.h, fork_sidecar.h):
// the "._NAME" files macOS writes itself on file systems without extended
// attributes ("Mac OS X" filler, a Finder-information entry that carries an
// "ATTR" block of extended attributes, then the fork). Hidden (never
// installed); docs/mac-metadata.md describes the layouts.
//
// Reading needs no setting: a file that has no record shows the Finder
// information its macOS "._NAME" holds, and any change that makes a record
// for it starts from that, so that setting a date or a comment never blanks
// the type and creator a Mac gave it.
//
//   std::uint8_t disk[32];
//   if (layouts::foreign_finder_info(n, disk)) ... big-endian Finder information ...
#pragma once

#include <cstdint>

#include "fm/cat_appledouble.h"
#include "fm/ref_node.h"
#include "vantrel/MacTypes.h"

namespace vantrel::fm::layouts {

// The 32 bytes of Finder information (as on disk) a plain file shows where
// it has no record: those of its macOS "._NAME" file. False (and zeros)
// when there is none, or it cannot be read.
bool foreign_finder_info(const Node& n, std::uint8_t out[ad::kFinderInfoSize]);

// A fresh record for `n` (which has none, or one that does not parse):
// meta::fresh() with the Finder information foreign_finder_info() finds.
meta::Record fresh_record(const Node& n);

// The extended attributes macOS keeps in the ATTR block of `n`'s "._NAME"
// file. noErr with none when there is no such block; ioErr when the block
// does not hold together (nothing is taken from it).
OSErr mac_attributes(const Node& n, ad::AttrBlock* out);

}  // namespace vantrel::fm::layouts
