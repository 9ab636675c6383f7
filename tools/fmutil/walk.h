// Reading a directory whole through the catalogue iterator: the walks of
// tree, rm and cp -r share it.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "fmutil.h"
#include "vantrel/DiskNames.h"
#include "vantrel/Files.h"
#include "vantrel/Sidecars.h"

namespace fmutil {

// One directory's items as tree prints them. A directory is read whole and
// its iterator closed before any child is walked, so that a walk holds one
// descriptor however deep the tree is; only directories keep a reference.
struct TreeEntry {
    std::string name;
    std::size_t ref;   // index into TreeLevel::refs, or npos where none is kept
    const char* kind;  // JSON kind (null when the walk did not ask for it)
    bool isDir;
    bool locked;  // as listed (the node flags' lock bit)
};

struct TreeLevel {
    std::string prefix;  // "DIR/sub/" of the items below (walks of their own; walk_tree keeps none)
    std::vector<TreeEntry> entries;
    std::vector<FSRef> refs;  // of the directories, or with keepAllRefs of every item
    bool keepAllRefs = false;
    std::size_t next = 0;
    ItemCount depth = 1;      // of the items in this level (DIR's own items are 1)
    std::size_t pathLen = 0;  // walk_tree: the length of "DIR/sub/" in its one path
};

struct TreeError {
    std::string path;
    OSErr code;
    std::string meaning = {};  // what happened, where the code's own meaning says too little
};

class JsonWriter;

// Writes `"errors": [...]`, one object per error, into the object `j` has
// open: the field every walking command ends its JSON with.
void write_json_errors(JsonWriter& j, const std::vector<TreeError>& errors);

// With --json, begins the document and its "items" array: the start of
// every command whose JSON is a list of items and then its errors.
void begin_json_items(const Context& ctx, JsonWriter& j);

// The bulk call's buffers, shared by every directory of the walk, and what
// it asks for: node flags tell directories; the permissions' mode tells the
// other kinds (TreeEntry::kind, null without it). Costly for another user
// than root: it comes with the caller's access, asked of the kernel.
// kFSCatInfoNone: the directory entries alone tell folders from the rest,
// and no file is looked at (TreeEntry::locked is then false): the walks that
// act on names (dot-clean, orphans, convert), not on what a listing shows.
struct TreeBuffers {
    static constexpr ItemCount kBatch = 128;
    FSCatalogInfoBitmap bitmap = kFSCatInfoNodeFlags | kFSCatInfoPermissions;
    std::vector<FSCatalogInfo> infos = std::vector<FSCatalogInfo>(kBatch);
    std::vector<FSRef> refs = std::vector<FSRef>(kBatch);
    std::vector<VantrelDiskName> names = std::vector<VantrelDiskName>(kBatch);
    std::vector<Boolean> folders = std::vector<Boolean>(kBatch);
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

// One item met by walk_tree: its path (the walk's one path string, valid
// during the visit only), as listed, its reference (a directory's always;
// every item's with keepAllRefs) and its depth (DIR's own items are 1).
struct WalkVisit {
    const std::string& path;
    const TreeEntry& entry;
    const FSRef* ref;
    ItemCount depth;
};

// The one walk of fmutil's listings and copies (tree, -R, rm -n, cp -r):
// depth first over the directory `root`, spelt `rootPath`, links never
// followed. Each directory is read whole and its iterator closed before
// any child is walked, so the walk holds one descriptor however deep the
// tree is; and it keeps one path, not one per level, so its memory grows
// with the depth by a name's worth per level, not with the square of it.
// The visitor `v` has
//   bool pre(const WalkVisit&)   each item, before anything below it;
//                                a directory is entered when it returns true
//   void post(const WalkVisit&)  each directory entered, after its items
//                                (also when it could not be read)
//   void error(const std::string& path, OSErr)  a directory that could not
//                                be read whole (what was read is walked)
// `changed` (may be null) is set when a directory changed while it was read.
template <class Visitor>
void walk_tree(const FSRef& root, const std::string& rootPath, TreeBuffers& b, bool keepAllRefs,
               bool* changed, Visitor& v) {
    std::vector<TreeLevel> stack(1);
    std::string path = path_prefix(rootPath);
    stack[0].pathLen = path.size();
    stack[0].keepAllRefs = keepAllRefs;
    if (OSErr e = read_level(root, b, &stack[0], changed)) v.error(rootPath, e);
    while (!stack.empty()) {
        TreeLevel& level = stack.back();
        if (level.next == level.entries.size()) {
            stack.pop_back();
            if (stack.empty()) break;
            TreeLevel& up = stack.back();
            const TreeEntry& dir = up.entries[up.next - 1];
            path.resize(up.pathLen);
            path += dir.name;
            v.post(WalkVisit{path, dir, &up.refs[dir.ref], up.depth});
            continue;
        }
        const TreeEntry& entry = level.entries[level.next++];
        path.resize(level.pathLen);
        path += entry.name;
        const FSRef* ref = entry.ref == std::string::npos ? nullptr : &level.refs[entry.ref];
        // A directory always keeps its reference (read_level).
        if (!v.pre(WalkVisit{path, entry, ref, level.depth}) || !entry.isDir || ref == nullptr)
            continue;
        TreeLevel child;
        child.keepAllRefs = keepAllRefs;
        child.depth = level.depth + 1;
        path.push_back('/');
        child.pathLen = path.size();
        if (OSErr e = read_level(*ref, b, &child, changed)) {
            path.pop_back();
            v.error(path, e);
        }
        stack.push_back(std::move(child));  // `level` and `entry` are stale now
    }
}

// A "._NAME" entry of a folder, as the File Manager answers what it is
// (kVantrelHiddenFork, kVantrelHiddenOrphan or kVantrelHiddenOwnFile).
struct HiddenEntry {
    std::string name;  // as on disk
    VantrelHiddenKind kind;
};

// The "._NAME" entries of the folder `dir` that the File Manager hides
// (sorted, at most `max` of them; 0: all), or with `ownOnly` only those that
// are no resource fork nor orphan: the user's own files, which no listing
// shows and neither rm nor cp -r takes with the folder. None where the
// folder cannot be read.
std::vector<HiddenEntry> hidden_entries(const FSRef& dir, std::size_t max = 0,
                                        bool ownOnly = false);

// The common part of walk_each_folder's visitors: every folder is entered
// and handed to `Derived::folder` once its items are done, and a failure is a
// line on stderr and an entry of the JSON "errors".
template <class Derived>
struct EachFolderVisitor {
    Context& ctx;
    JsonWriter& j;
    std::vector<TreeError>& errors;

    bool pre(const WalkVisit&) { return true; }
    void post(const WalkVisit& v) { static_cast<Derived*>(this)->folder(v.path, *v.ref); }
    void error(const std::string& p, OSErr e) { failed(p, e); }
    void failed(const std::string& p, OSErr e, std::string_view meaning = {}) {
        ctx.out.flush();
        ctx.fm_error_line(p, e, meaning);
        errors.push_back({p, e});
    }
};

// The commands that walk each folder they are given (orphans, dot-clean):
// every argument that is a folder is walked with `v`, whose
//   void failed(const std::string& path, OSErr)  an argument that cannot be
//                                walked (not found, not a folder)
//   void folder(const std::string& path, const FSRef&)  a folder whose walk
//                                is over
// come on top of walk_tree's visits; the JSON document is begun with its
// "items" array and ended with the errors `v` collected. Returns the exit
// status.
template <class Visitor>
int walk_each_folder(Context& ctx, JsonWriter& j, const std::vector<TreeError>& errors,
                     Visitor& v) {
    for (const std::string& dir : ctx.args) {
        FSRef ref;
        bool isDir = false;
        if (OSErr e = path_ref(dir, &ref, &isDir)) {
            v.failed(dir, e);
            continue;
        }
        if (!isDir) {
            v.failed(dir, errFSNotAFolder);
            continue;
        }
        TreeBuffers buffers;
        buffers.bitmap = kFSCatInfoNone;
        walk_tree(ref, dir, buffers, false, nullptr, v);
        v.folder(dir, ref);
    }
    if (ctx.json) {
        j.end_array();
        write_json_errors(j, errors);
        j.end_object();
        j.finish();
    }
    return ctx.finish(errors.empty() ? kExitOk : kExitFileManager);
}

}  // namespace fmutil
