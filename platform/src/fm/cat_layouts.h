// Mac metadata in the layouts other programs leave it in, beside the
// record and sidecar this layer writes (cat_metadata.h, fork_sidecar.h):
// Samba's AfpInfo stream (fruit:metadata = stream, kept by streams_xattr in
// "user.DosStream.AFP_AfpInfo:$DATA"), and the "._NAME" files macOS writes itself on file systems
// without extended attributes ("Mac OS X" filler, a Finder-information entry that carries an "ATTR"
// block of extended attributes, then the fork). Hidden (never installed); docs/mac-metadata.md
// describes the layouts.
//
// Reading needs no setting: a file shows the Finder information of the
// layouts it has, the volume's own first (a volume's layout: the longest
// path of volumes.conf that holds it, see layout_of), then the record, the
// AfpInfo stream and its macOS "._NAME"; and any change that makes a record
// for it starts from that, so that setting a date or a comment never blanks
// the type and creator a Mac gave it.
//
//   std::uint8_t disk[32];
//   if (layouts::foreign_finder_info(n, disk)) ... big-endian Finder information ...
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fm/cat_appledouble.h"
#include "fm/ref_node.h"
#include "vantrel/MacTypes.h"

namespace vantrel::fm::layouts {

// The layouts Mac metadata is written in (docs/mac-metadata.md):
// netatalk (the record and "._NAME" sidecars, Samba's fruit:metadata =
// netatalk with fruit:resource = file), stream (Samba's fruit:metadata =
// stream with fruit:resource = stream) and stream+file (fruit:metadata =
// stream with fruit:resource = file).
enum class Layout { Netatalk = 1, Stream = 2, StreamFile = 3 };
const char* layout_name(Layout l) noexcept;
bool parse_layout(std::string_view word, Layout* out) noexcept;

// One line of a volumes.conf: "PATH LAYOUT" (the layout is the last word,
// so a path may hold spaces; "#" at the start of a word begins a comment).
struct LayoutRule {
    std::string path;  // absolute, without a trailing "/" (but "/" itself)
    Layout layout = Layout::Netatalk;
};
struct LayoutConfig {
    std::vector<LayoutRule> system, user;  // /etc/vantrel, then the user's own
    bool fromEnv = false;                  // VANTREL_MAC_LAYOUT set (and valid)
    Layout env = Layout::Netatalk;
    std::vector<std::string> problems;  // "FILE:LINE: why", for lines left out
};
// Parses a volumes.conf's text; the lines that say nothing usable go to
// `problems` under `source`.
std::vector<LayoutRule> parse_config(std::string_view text, const std::string& source,
                                     std::vector<std::string>* problems);
// The configuration as it stands: /etc/vantrel/volumes.conf, then
// ${XDG_CONFIG_HOME:-$HOME/.config}/vantrel/volumes.conf, then
// VANTREL_MAC_LAYOUT. Files that are absent say nothing.
LayoutConfig load_config();
// The layout for the absolute path `path`: VANTREL_MAC_LAYOUT, else the
// longest rule's path that is `path` or one of its folders (the user's on a
// tie), else netatalk.
Layout layout_for(const LayoutConfig& c, std::string_view path);
// The layout of the volume part that holds `n`, from its path now.
Layout layout_of(const Node& n);

// The AfpInfo stream of `n` (Samba's fruit:metadata = stream); false when
// it has none that decodes.
bool read_afpinfo(const Node& n, ad::AfpInfo* out);

// The 32 bytes of Finder information (as on disk) a plain file shows where
// it has no record: its AfpInfo stream's, else its macOS "._NAME" file's.
// False (and zeros) when there is none, or it cannot be read.
bool foreign_finder_info(const Node& n, std::uint8_t out[ad::kFinderInfoSize]);

// The Finder information (32 bytes on disk) `n` shows: its record's `rec`
// (null when it has none that reads), its AfpInfo stream's where it has no
// record or the volume's layout is a stream one, else (no record at all)
// its macOS "._NAME" file's, else what Netatalk 2 kept in ".AppleDouble".
// A listing spares the reads it knows to be in vain: `maySidecar` false
// where it saw no "._NAME" beside the file, `mayStream` false where the
// file's attributes list no AfpInfo stream, `mayAppleDouble` false where
// its folder holds no ".AppleDouble".
void shown_finder_info(const Node& n, const meta::Record* rec, bool maySidecar, bool mayStream,
                       std::uint8_t out[ad::kFinderInfoSize], bool mayAppleDouble = true);
struct MacOSFile;
// The same where the caller has read `n`'s "._NAME" already: `macos`, what
// macOS put in it (not found: it wrote none), open as `macosFd`.
void shown_finder_info(const Node& n, const meta::Record* rec, bool mayStream,
                       const MacOSFile& macos, int macosFd, std::uint8_t out[ad::kFinderInfoSize]);

// Where the volume's layout keeps Finder information in the AfpInfo stream
// (stream, stream+file), `n`'s stream takes the Finder information `disk`
// (32 bytes on disk) and, when `backup` is given, the backup date (seconds
// from 2000); the stream's other fields stay. Each system call is the fault
// seam's step `step`. noErr and nothing written in the netatalk layout.
OSErr write_afpinfo(const Node& n, const std::uint8_t* disk, const std::int32_t* backup,
                    const char* step);
// The same for the layout `layout` (a conversion's, not the volume's).
OSErr write_afpinfo(const Node& n, Layout layout, const std::uint8_t* disk,
                    const std::int32_t* backup, const char* step);

// The 32 bytes of Finder information of `n`'s macOS "._NAME" file (filler
// "Mac OS X"); false (and zeros) when it has none, or it cannot be read.
bool macos_finder_info(const Node& n, std::uint8_t out[ad::kFinderInfoSize]);

// A macOS "._NAME" file read once for everything taken from it (a merge
// takes its Finder information and its ATTR block): the bytes up to the
// end of its Finder-information entry, which holds the block.
struct MacOSFile {
    bool found = false;  // filler "Mac OS X", with a Finder-information entry
    ad::Descriptor finder;
    std::string head;  // the file's first finder.offset + finder.extent bytes
    int err = 0;       // why `head` could not be read: an errno, or -1 past the most read
};
// `out` from the "._NAME" open as `fd`, `size` bytes long, whose header is
// `h`; `known` (may be empty) is what was read from the file's start already.
void read_macos(int fd, std::uint64_t size, const ad::Header& h, std::string_view known,
                MacOSFile* out);
// macos_finder_info() and mac_attributes() of a file read so.
bool macos_finder_info(const MacOSFile& m, std::uint8_t out[ad::kFinderInfoSize]);
OSErr mac_attributes(const MacOSFile& m, ad::AttrBlock* out);

// A fresh record for `n` (which has none, or one that does not parse):
// meta::fresh() with what Netatalk 2 kept of it in ".AppleDouble"
// (Finder information, comment, dates), and over that the Finder
// information foreign_finder_info() finds.
meta::Record fresh_record(const Node& n);
// The same where `n`'s macOS "._NAME" was read already (`macos`), and
// `mayAppleDouble` false where its folder holds no ".AppleDouble".
meta::Record fresh_record(const Node& n, const MacOSFile& macos, bool mayAppleDouble = true);

// The extended attributes macOS keeps in the ATTR block of `n`'s "._NAME"
// file. noErr with none when there is no such block; ioErr when the block
// does not hold together (nothing is taken from it).
OSErr mac_attributes(const Node& n, ad::AttrBlock* out);

}  // namespace vantrel::fm::layouts
