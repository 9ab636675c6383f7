// Deleting items straight from a listing, as rm -rf does: what an iterator
// that empties its directory (VantrelFSBulkDeleteFiles) knows of it. Hidden.
//
// Inside a directory a walk is emptying, whatever holds a listed name is to
// go, so an entry the listing shows to be no directory is unlinked by name,
// without a stat to check it is still the item listed: the kernel itself
// refuses what must not go that way (a directory put there: EISDIR; a mount
// point: EBUSY; a locked item, or another user's in a sticky folder: EPERM),
// and each refusal goes the careful way (FSDeleteObject on a reference).
// A link put in the name's place is unlinked, never followed.
//
// What the unlink alone would lose is the resource fork. The whole directory
// is read once before anything goes, so that an item with a "._NAME" beside
// it goes the careful way. A sidecar made after that read, beside a name
// deleted here, is found when the directory is read again (each pass of a
// deleting iterator ends with one) or when the iterator is closed, and
// removed, unlocked first where it is locked: no fork of an item deleted
// here stays behind as an orphan.
#pragma once

#include <dirent.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "vantrel/MacTypes.h"

namespace vantrel::fm {

class BulkDeletes {
  public:
    // The directory is about to be read whole, from its start.
    void begin_scan() {
        if (names_) names_->withSidecar.clear();
        scanned_ = false;
    }
    // A NAME that read found a "._NAME" entry beside.
    void scanned_entry(std::string_view name) { names().withSidecar.emplace(name); }
    // The read reached the directory's end: items may now go by name.
    void end_scan() { scanned_ = true; }
    bool scanned() const { return scanned_; }

    // Deletes the entry `name` of the directory `dirFd` by name when the
    // listing (`type`, as getdents gives it) shows no directory and the
    // whole read found no "._NAME" beside it. False when it did not go (not
    // one to delete by name, or the kernel refused: the caller deletes it
    // the careful way, which answers for the refusal).
    bool delete_by_name(int dirFd, const char* name, unsigned char type);

    // Whether the entry `name`, met now with the listing's `type`, is a
    // directory where this walk listed no directory: the unlink by name met
    // one (EISDIR), or the name was handed to the caller as a file earlier.
    // A folder moved in or made under a listed file's name was not listed:
    // it is never taken for the item, nor emptied under its name, as rm -rf
    // refuses it ("Is a directory").
    bool directory_in_file_place(const char* name, unsigned char type) const {
        if (!names_) return false;
        if (!names_->inFilePlace.empty() && names_->inFilePlace.count(std::string(name)) != 0)
            return true;
        return type == DT_DIR && !names_->handedAsFiles.empty() &&
               names_->handedAsFiles.count(std::string(name)) != 0;
    }
    // The entry `name`, listed as no directory, is handed to the caller.
    void handed_as_file(const char* name, unsigned char type) {
        if (type != DT_DIR && type != DT_UNKNOWN) names().handedAsFiles.emplace(name);
    }

    // A "._" entry the iterator leaves out, met on a later read.
    void hidden_entry(const char* name);

    // Whether items went by name since the last clean-up.
    bool deleted_any() const { return !deleted_.empty(); }

    // Removes each sidecar met by hidden_entry() (or, with `rescan`, found by
    // reading `dirFd` again) whose file this deleted by name and that is no
    // longer there, unlocking it first where it is locked. A lock that could
    // not be taken off is the answer (the sidecar stays, and keeps its
    // folder); so is permErr for one the caller may not remove (another
    // user's, in a sticky folder), which stays. Any other unlink that fails
    // leaves an orphan the folder's own deletion removes.
    OSErr remove_late_sidecars(int dirFd, bool rescan);

  private:
    // The names this walk keeps of the directory. Most directories need
    // none of them, and a walk 10,000 levels deep holds one of these per
    // level: they are made when the first name comes.
    struct Names {
        std::unordered_set<std::string> withSidecar;    // X for each "._X" of the whole read
        std::unordered_set<std::string> inFilePlace;    // listed as files, unlinked with EISDIR
        std::unordered_set<std::string> handedAsFiles;  // listed as files, handed to the caller
    };
    Names& names() {
        if (!names_) names_ = std::make_unique<Names>();
        return *names_;
    }
    bool has_sidecar(std::string_view name) const {
        return names_ && !names_->withSidecar.empty() &&
               names_->withSidecar.count(std::string(name)) != 0;
    }

    std::unique_ptr<Names> names_;
    std::vector<std::string> deleted_;  // names deleted by name
    std::vector<std::string> late_;     // "._X" met since, X without "._X" in the whole read
    bool scanned_ = false;
    bool sorted_ = true;
};

}  // namespace vantrel::fm
