// What the catalogue calls share with the iterators (cat_info.cpp). Hidden
// (never installed).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <unordered_set>

#include "vantrel/Files.h"

namespace vantrel::fm {

struct Node;

// What a listing works out once for every item it returns, instead of
// once per item. Read-only catalogue information only: nothing that
// changes a file may trust it.
struct Listing {
    uid_t euid = 0;  // the caller's effective user when the bulk call began
    // The names whose "._NAME" the directory held when it was read for them
    // (after the iterator was opened), without the prefix; null when not
    // read. A name not in it had no sidecar then: one made since changed the
    // directory, which the iterator's changed flag reports.
    const std::unordered_set<std::string>* sidecars = nullptr;
    // The file system is one whose list of a file's attributes names every
    // attribute a read would find (local ones we know); elsewhere (FUSE, a
    // network file system) each attribute is read.
    bool fullAttrLists = false;
    // Whether the directory holds Netatalk 2's ".AppleDouble" folder, looked
    // at once for the listing: 1, 0, or -1 when not looked at.
    int appleDouble = -1;
};

// Fills the catalogue fields `which` of `n` (and the optional name, FSSpec,
// parent reference). Shared by FSGetCatalogInfo and the iterators, which
// pass what their listing knows (`listing`, may be null).
OSErr fill_catalog_info(const Node& n, FSCatalogInfoBitmap which, FSCatalogInfo* info,
                        HFSUniStr255* name, FSSpec* spec, FSRef* parentRef,
                        const Listing* listing = nullptr);

// Which of the attributes a listing reads a file has, from the list of its
// attribute names (listxattrat, Linux 6.13): one call where the record and
// the earlier versions' fork would take two failing reads. False when no
// list is to be had (an older kernel, more names than the buffer holds, a
// failure): the caller then reads each attribute. Trusted only where the
// file system's lists are whole (lists_every_attribute, iter_catalog.h).
struct MacAttrs {
    bool record = false;      // the metadata record
    bool legacyFork = false;  // the earlier versions' fork, or the AFP_Resource stream
    bool afpInfo = false;     // the AfpInfo stream
    bool dates = false;       // the precise dates
};
bool mac_attrs_listed(const Node& n, MacAttrs* out);

// The creation date a file shows while it has no metadata record of its
// own: its birth time, or its modification time where the file system
// keeps no birth time.
UTCDateTime born_date(const struct statx& st);

// The precise dates (the attribute `kPreciseDatesAttr`, whose bytes
// `dates` are, empty for none) with the creation date `created`. Alone, with
// no metadata record, they give a file the creation date it shows: what a
// copy adds to keep its source's, where POSIX cannot set a birth time.
extern const char* const kPreciseDatesAttr;
std::string precise_dates_created(const UTCDateTime& created, const std::string& dates);
// Whether the precise dates' bytes `dates` hold a creation date.
bool precise_dates_have_creation(const std::string& dates);

}  // namespace vantrel::fm
