// A folder copy comes into being whole (VantrelFSCreateFolderCopy and
// VantrelFSFinishFolderCopy, in obj_copy.cpp): its top folder is made and
// filled under a private name no listing shows, given its attributes, mode
// and times there, and takes its name in one rename that replaces nothing.
// A journal in the destination folder names the private folder from before
// it is made until it has its name; a kill in between leaves the journal,
// and the next listing of that folder removes the private folder with
// everything in it (the copy is undone: its name never showed). The folders
// made inside the copy are made directly under their names: no one sees
// them but their maker until the top is named. Hidden.
//
//   Node made;
//   if (OSErr e = folder_copy::begin(dest, destFd, name, "Step.create", &made)) return e;
//   ... the caller fills it, then gives it its attributes ...
//   return folder_copy::settle(made, err);  // named, or (err, or the name taken) undone
#pragma once

#include <cstdint>
#include <string>

#include "fm/ref_node.h"
#include "vantrel/Files.h"

namespace vantrel::fm::folder_copy {

// True when `dir` is a folder of a copy this process is making (its top
// or one below it) that is not yet whole.
bool inside(const Node& dir);

// How many copies begun here have taken their names so far. A folder
// inside a copy lies within its private folder until the copy is named:
// an answer to "is this within a private folder?" kept while the count
// stands is still true (a folder below that was never settled is not
// within one any longer once its top has its name).
std::uint64_t named_count();

// Registers `made`, just made in the folder `dir` that `inside` said yes
// to, as a folder of that copy, until settle() or abandon().
void add_inner(const Node& dir, const Node& made);

// The folder `ref` names, when it is a folder of a copy this process is
// making (not yet whole) that the directory cache holds open, and its
// parent too: `*out` is filled from what was known of it when it was made
// (its times, size and links as then), with no look by its name. The
// descriptor held keeps the inode from being given to anything else, and
// the folder lies within a private one no one else sees or changes, where
// only its maker names or moves what it made: its name is the one made.
// False otherwise (the caller resolves `ref`).
bool held(const FSRef* ref, Node* out);

// Starts a copy named `name` in the folder `dest` (open as `destFd`): the
// name must be free (dupFNErr), the journal is written, then the empty
// folder is made under a private name (fault-seam step `createStep`,
// mode 0700) and `*made` names it. A failure leaves nothing.
OSErr begin(const Node& dest, const DirFd& destFd, const std::string& name, const char* createStep,
            Node* made);

// Ends the folder `copy` of a copy begun here once it has its attributes
// (`err` noErr) or could not get them. A folder below the top is only
// forgotten, and `err` returned. The top, when `err` is noErr, takes its
// name in one rename under the destination's folder lock, after any orphan
// sidecar there is cleared (steps "VantrelFSFinishFolderCopy.sidecar",
// ".name"); a name taken meanwhile is never replaced (dupFNErr). A top
// that fails, or cannot be named, is removed with all it holds (step
// ".undo"), and the failure returned. A folder no copy of ours made:
// `err`, nothing done.
OSErr settle(const Node& copy, OSErr err);

// Undoes the whole copy that the folder `copy` (its top or one below it)
// belongs to, for a caller that will not finish it: the top and all it
// holds are removed with their journal (step ".undo"), and every folder of
// the copy is forgotten. noErr when gone; paramErr for a folder no copy of
// ours is making; else the failure, and the journal is kept for the next
// listing to finish the removal.
OSErr abandon(const Node& copy);

}  // namespace vantrel::fm::folder_copy
