// The metadata record kept in the extended attribute
// "user.org.netatalk.Metadata": the AppleDouble form that Linux file servers
// for Mac clients read and write, so Finder information set here shows up
// on a Mac that mounts the share, and the other way round.
//
// On disk (all integers big-endian): magic 0x00051607, version 0x00020000,
// 16 zero bytes, an entry count, then (id, offset, length) per entry, then
// the data. We always write the eight standard entries in the standard
// order (data from offset 122, 402 bytes in all), the form Samba's reader
// expects, whatever form another program left. Entries we do not know are
// kept, byte for byte, in kExtraAttr beside the record and read back with
// it. Readers find entries by id and offset only. The record's bytes are
// the AppleDouble codec's (cat_appledouble.h: Record, decode, encode); this
// header adds where it lives and how it is read and written.
//
//   Record r;
//   if (decode(bytes, n, &r)) {
//       if (const Entry* fi = r.find(kFinderInfoId)) { ... 32 bytes ... }
//   }
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fm/cat_appledouble.h"
#include "fm/ref_node.h"
#include "vantrel/MacTypes.h"

namespace vantrel::fm {
struct Node;
}

namespace vantrel::fm::meta {

inline constexpr const char* kMetadataAttr = "user.org.netatalk.Metadata";
inline constexpr const char* kResourceForkAttr = "user.org.netatalk.ResourceFork";
// Entries of a record that are not among the standard eight: (id, length,
// data) each, big-endian.
inline constexpr const char* kExtraAttr = "user.org.vantrel.Metadata.extra";
// Where an unreadable record is kept before a write replaces it.
inline constexpr const char* kCorruptAttr = "user.org.vantrel.Metadata.corrupt";

// Finder information between the record's 32 big-endian bytes and the
// platform's host-order FileInfo/FolderInfo + extended info (16 bytes each).
void finder_to_host(const std::uint8_t disk[32], bool isDir, std::uint8_t info[16],
                    std::uint8_t xinfo[16]);
void finder_to_disk(const std::uint8_t info[16], const std::uint8_t xinfo[16], bool isDir,
                    std::uint8_t disk[32]);

// lgetxattr of the attribute `attr` of `n` (never following a link):
// relative to the parent's descriptor where the kernel can (getxattrat),
// else through the descriptor's /proc path, which costs a path walk more.
ssize_t get_attr(const Node& n, const char* attr, void* buf, std::size_t size);
// lsetxattr and lremovexattr of `n`'s attribute. A volume's root is reached
// through its descriptor's /proc link, which the l- forms would take for
// the link itself: the root (a directory, never a link) follows it.
int set_attr(const Node& n, const char* attr, const void* value, std::size_t size);
int remove_attr(const Node& n, const char* attr);

// The names of `n`'s attributes (listxattrat, Linux 6.13) into `buf`, NUL
// separated: their length, or -1 (errno set) when no list is to be had: a
// root (its O_PATH descriptor lists nothing), an older kernel (asked once),
// more names than `size` holds.
long list_attr_names(const Node& n, char* buf, std::size_t size);
// The same for the entry `name` of the folder open as `dirFd` (a link
// itself, never followed), which needs no Node.
long list_attr_names(int dirFd, const char* name, char* buf, std::size_t size);

// A list of `n`'s attribute names found empty, a look at `n` (its `st`)
// after `before` (CLOCK_REALTIME, read before the list was asked): kept
// for a copy of the file that follows, which then needs no list of its
// own. Kept only where the file's change time stood well before `before`
// (stamped_before), so that any attribute set since moves it; the few
// most recent are kept, one per slot of a small table.
void note_no_attrs(const Node& n, const struct timespec& before);

// Whether the file `st` describes (a look at its open descriptor) had no
// attributes when a list noted them, and has had none set since: the
// same file (device, inode) with the same change time. An attribute set
// or removed moves the change time, and so does anything that gives the
// inode number to another file. Asked once: the note is taken.
bool had_no_attrs(const struct statx& st);

// Calls `each` with every name of a list list_attr_names made.
template <class Each>
void each_attr_name(std::string_view names, Each&& each) {
    for (std::size_t at = 0; at < names.size();) {
        const std::size_t end = std::min(names.find('\0', at), names.size());
        each(names.substr(at, end - at));
        at = end + 1;
    }
}

// While one is alive on a thread, the attributes of its node are known from
// one list of their names: get_attr of a name the list lacks answers
// ENODATA without asking the file system, and set_attr and remove_attr of
// the node keep the list as the file now is. For a change that reads many
// attributes most files lack (a merge of a "._" file looks for nine), made
// in the folder's lock, where no change of ours comes between. `whole`:
// the file system's lists name every attribute a read finds
// (lists_every_attribute); without it, or without a list (more names than
// it holds, an older kernel, a root), every read goes to the file system.
// Only reads of that very Node are answered from the list. The list is
// asked for under the fault seam's step `step`, benign: a list not had only
// means a read of each attribute.
class ListedAttrs {
  public:
    ListedAttrs(const Node& n, bool whole, const char* step);
    ~ListedAttrs();
    ListedAttrs(const ListedAttrs&) = delete;
    ListedAttrs& operator=(const ListedAttrs&) = delete;

    // Whether the list was had: only then does it answer anything.
    bool known() const { return known_; }
    // Whether `n` has the attribute `attr`, by the list (true when unknown).
    bool has(std::string_view attr) const;
    // The scope that answers for `n` now, or null.
    static ListedAttrs* of(const Node& n);

    void added(std::string_view attr);
    void removed(std::string_view attr);

  private:
    const Node* n_;
    ListedAttrs* outer_;
    bool known_ = false;
    std::vector<std::string> names_;
};

enum class ReadResult { Absent, Ok, Corrupt, Unreadable };
// Reads the record of `n`. A record that does not parse is reported as
// Corrupt with its bytes in `raw`, and is treated by callers as absent.
// Only a missing attribute (or a file system without them) is Absent; any
// other failure (EACCES, EIO, ...) is Unreadable with the errno in `err`:
// a reader may show defaults, but nothing may be written over a record
// that could not be read.
ReadResult read(const Node& n, Record* out, std::string* raw, int* err = nullptr);
// Writes `r` as the record of `n`. When `corruptRaw` is given (the bytes of
// an unreadable record being replaced), they are kept in kCorruptAttr first.
// The steps are checked under the caller's names (the fault seam's).
// `extraAbsent`: the caller has just seen that `n` has no kExtraAttr, so
// none is removed where `r` needs none.
OSErr write(const Node& n, const Record& r, const std::string* corruptRaw,
            const char* keepStep = "FSSetCatalogInfo.keepCorrupt",
            const char* writeStep = "FSSetCatalogInfo.setxattr", bool extraAbsent = false);

}  // namespace vantrel::fm::meta
