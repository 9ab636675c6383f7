// Names between the caller's Unicode (or Mac Roman Pascal) form and the
// bytes stored on disk (ref_names.cpp). Hidden (never installed).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/Files.h"

namespace vantrel::fm {

// A Unicode name (one component, UTF-16) -> the name stored on disk: UTF-8
// composed (NFC, leaving alone what HFS+ leaves alone), "/" stored as ":".
// paramErr for a null pointer with a length; bdNamErr for an empty name,
// ".", "..", a NUL, a ":" (it would have to be stored as "/"), or malformed
// UTF-16; errFSNameTooLong beyond 255 units or 255 UTF-8 bytes.
OSErr name_from_unicode(const UniChar* name, std::size_t units, std::string* disk);
// name_from_unicode for finding an existing object: a "._" name is taken
// (lookup() finds only a folder under it, never a sidecar).
OSErr name_for_lookup(const UniChar* name, std::size_t units, std::string* disk);
// The other spellings under which an existing object may be stored: the
// name as given (no normalisation) when it differs from NFC. Lookups try
// the NFC form first, then these.
std::vector<std::string> name_alternatives(const UniChar* name, std::size_t units);
// Disk name -> Unicode name for callers: HFS+ decomposition, ":" shown as
// "/". A name that is not valid UTF-8 is shown with each bad byte as U+FFFD
// (it still resolves through its FSRef, which keeps the bytes). A name whose
// decomposition exceeds 255 units is shown composed; so every disk name has
// a Unicode form.
OSErr name_to_unicode(std::string_view disk, HFSUniStr255* out);
// Pascal (Mac Roman) name of FSSpecs and parameter blocks <-> disk name.
// Pascal names longer than 31 bytes or with characters Mac Roman lacks are
// shortened as "prefix#ID" (the node ID in hex), which name_from_pascal
// resolves back through the directory.
OSErr name_from_pascal(const unsigned char* pascal, std::string* disk);
void name_to_pascal(std::string_view disk, UInt32 nodeID, unsigned char* out, std::size_t cap);
// If `pascal` has the "#ID" form made above, the ID; otherwise 0.
UInt32 mangled_id(std::string_view pascalName);

}  // namespace vantrel::fm
