// What Netatalk 2 (the AFP server before 3.0) keeps of an item in its
// private folder ".AppleDouble": for a file D/NAME, the AppleDouble file
// D/.AppleDouble/NAME; for the folder D itself, D/.AppleDouble/.Parent.
// Each holds the Finder information, comment, dates and resource fork
// (and Netatalk's own entries) in the codec's kAppleDoubleFolder form.
// Hidden (never installed); docs/mac-metadata.md describes the layout.
//
// Read only: an item with no metadata of its own (no record, no AfpInfo
// stream, no "._NAME") shows what its ".AppleDouble" entry holds, and
// `fmutil convert` moves it into the volume's layout. Nothing here writes
// into ".AppleDouble" but the removals of the conversion and of the item's
// deletion. A ".AppleDouble" that is a file or a link is no one's metadata
// (never followed, never read); an entry that is not a regular file or
// whose header does not parse is Unusable: left alone, never removed.
//
//   appledir::File f;
//   if (appledir::open(n, &f) == noErr && f.found()) ... f.header.find(ad::kCommentId) ...
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fm/cat_appledouble.h"
#include "fm/cat_metadata.h"
#include "fm/fork_sidecar.h"
#include "fm/ref_fd.h"
#include "fm/ref_node.h"
#include "vantrel/MacTypes.h"

namespace vantrel::fm::appledir {

inline constexpr std::string_view kFolderName = ".AppleDouble";
// The entry of the folder that holds ".AppleDouble" itself.
inline constexpr std::string_view kParentName = ".Parent";

enum class State { None, Found, Unusable };

struct File {
    State state = State::None;
    UniqueFd fd;  // open for reading while Found
    std::uint64_t size = 0;
    ad::Header header;
    std::string entry;    // its name in ".AppleDouble" (NAME, or ".Parent")
    bool folder = false;  // there is an ".AppleDouble" for it (with the entry or not)
    bool found() const { return state == State::Found; }
};

// True for the entry `name` (of type `type`, as readdir gives it, looked
// at again when unknown) of `dirFd` that is Netatalk's private folder: a
// directory named ".AppleDouble". It is no item: listings leave it out.
bool is_private_folder(int dirFd, const char* name, unsigned char type);

// Opens what ".AppleDouble" holds for `n` (a file or a folder). None when
// there is no ".AppleDouble" folder (a file or link under that name is not
// one) or no entry in it; Unusable when the entry is no regular file or
// its header does not parse. An error only when a read failed otherwise.
OSErr open(const Node& n, File* out);

// The entries of `f` a metadata record also has (Finder information,
// comment, file dates), as a record holds them; false when it has none.
bool read_record(const File& f, meta::Record* out);
// open() and read_record() together: false where `n` has no such entry.
bool record_of(const Node& n, meta::Record* out);

// The resource fork of `f` as a sidecar to read from (its own descriptor,
// the fork where the header says, `foreign` set: never written through).
// False when `f` has no fork entry.
bool fork_of(const File& f, rsrc::Sidecar* out);
// open() and fork_of() together, for a plain file `n`.
bool fork_source(const Node& n, rsrc::Sidecar* out);
// Where the sidecar reader found no "._NAME" for the file `n` (open as
// `fileFd`), and no attribute holds its fork either (the attribute of
// earlier versions, Samba's AFP_Resource stream), `side` becomes the fork
// Netatalk 2 kept, if any: the layouts of today come first.
void fork_fallback(const Node& n, int fileFd, rsrc::Sidecar* side);

// errFSOperationNotSupported where `n`, a file, has an entry that parses:
// renaming, moving, exchanging or copying the file would part it from
// what Netatalk 2 kept of it, which only the conversion moves (a folder's
// own entry is inside it, and goes along). noErr for anything else.
OSErr refuse_parting(const Node& n);

// Removes the entry `f`, which open() found for `n`, where that name still
// holds the same file, then ".AppleDouble" once it is empty. 0, or -1 with
// errno (EBUSY: another file has the name since). The removals are the
// fault seam's step `step`.
int remove(const Node& n, const File& f, const char* step);

// The ".AppleDouble" that would hold `n`'s entry, where it is empty (what
// a removal cut short between the entry and its folder leaves). The
// removal is the step `step`, benign.
void remove_folder_if_empty(const Node& n, const char* step);

// After the files `names` of the folder `dirFd` are deleted: their
// ".AppleDouble" entries go too, where they parse (one that does not is
// the user's own and stays), then ".AppleDouble" itself when nothing is
// left in it. One look when the folder has none. Each removal is the fault
// seam's step `step`, benign for the caller: what a failure leaves is an
// orphan, which nothing shows and the folder's deletion removes.
void remove_entries_of(int dirFd, const std::vector<std::string>& names, const char* step);

// Removes ".AppleDouble" from the folder `folderFd` that holds no item any
// more: its ".Parent" and the entries of files that are gone go first.
// 0, or -1 with errno (ENOTEMPTY where it holds anything else: an entry
// that does not parse, one whose file is still there, a folder). Each
// removal is the step `step`.
int remove_leftovers(int folderFd, const char* step);

// The ".AppleDouble" entries of the folder `folderFd` whose item is gone
// (orphans), those that are no AppleDouble file (the user's own), and
// those of items that are there (with the folder's own ".Parent"), by
// name. False when the folder has no ".AppleDouble".
struct Census {
    std::vector<std::string> orphans, unusable, belonging;
};
bool census(int folderFd, Census* out);

// Removes the orphan `name` of the ".AppleDouble" of `folderFd` (looked at
// again: an entry whose file came back, or that does not parse, is no
// orphan: EBUSY), then ".AppleDouble" once empty. 0, or -1 with errno;
// the removal is the step `step`.
int remove_orphan(int folderFd, const std::string& name, const char* step);

}  // namespace vantrel::fm::appledir
