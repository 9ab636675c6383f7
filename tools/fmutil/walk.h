// Reading a directory whole through the catalogue iterator: the walks of
// tree, rm and cp -r share it.
#pragma once

#include <string>
#include <vector>

#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"

namespace fmutil {

// One directory's items as tree prints them. A directory is read whole and
// its iterator closed before any child is walked, so that a walk holds one
// descriptor however deep the tree is; only directories keep a reference.
struct TreeEntry {
    std::string name;
    std::size_t ref;   // index into TreeLevel::refs, or npos where none is kept
    const char* kind;  // JSON kind (null when the walk did not ask for it)
    bool isDir;
};

struct TreeLevel {
    std::string prefix;  // "DIR/sub/" of the items below
    std::vector<TreeEntry> entries;
    std::vector<FSRef> refs;  // of the directories, or with keepAllRefs of every item
    bool keepAllRefs = false;
    std::size_t next = 0;
    ItemCount depth = 1;  // of the items in this level (DIR's own items are 1)
};

struct TreeError {
    std::string path;
    OSErr code;
};

// The bulk call's buffers, shared by every directory of the walk, and what
// it asks for: node flags tell directories; the permissions' mode tells the
// other kinds (TreeEntry::kind, null without it). Costly for another user
// than root: it comes with the caller's access, asked of the kernel.
struct TreeBuffers {
    static constexpr ItemCount kBatch = 128;
    FSCatalogInfoBitmap bitmap = kFSCatInfoNodeFlags | kFSCatInfoPermissions;
    std::vector<FSCatalogInfo> infos = std::vector<FSCatalogInfo>(kBatch);
    std::vector<FSRef> refs = std::vector<FSRef>(kBatch);
    std::vector<VantrelDiskName> names = std::vector<VantrelDiskName>(kBatch);
};

// "dir/" for building item paths: the argument as given, one slash after it.
std::string path_prefix(const std::string& dir);

// The next item of a depth-first walk over `stack` (levels that are done are
// popped), counted as taken; null once the walk is over. It and
// `stack.back()` stay valid until a level is pushed.
const TreeEntry* next_entry(std::vector<TreeLevel>& stack);

// Reads a directory's items into `level`. What was read before a failure is
// kept (and listed); the failure is returned. `*changed` is set when the
// directory changed while it was read (`changed` null: not asked).
OSErr read_level(const FSRef& dir, TreeBuffers& b, TreeLevel* level, bool* changed);

// The "._NAME" entries of the directory at `dir` (its names as on disk,
// sorted, at most `max` of them; 0: all) that the File Manager hides but
// that are not resource forks: NAME is missing, or "._NAME" is not a regular
// file in AppleDouble form. They are the user's own files, which no listing
// shows and neither rm nor cp -r takes with the folder. None where the
// directory cannot be read.
std::vector<std::string> hidden_own_files(const std::string& dir, std::size_t max = 0);

}  // namespace fmutil
