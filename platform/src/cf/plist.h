// Property lists as text: the reader and writer that preference files,
// Info.plist files, interface definitions and notification user info share.
//
// XML is read by our own reader, iteratively, with a nesting limit, and
// written by our own writer. Why not libplist's (2.2) both ways: its reader
// recurses once per level (a file nested 20,000 deep overflows the stack),
// its date API holds 32-bit seconds (1901 and 2100 come back as other
// years), its writer drops fractional seconds and writes characters that XML
// cannot hold. A value nobody changed must come back exactly as it was read,
// so the reader also gives the text span of every value of a top-level
// dictionary, which the preference store writes back verbatim. Binary
// property lists are decoded here too, after a structural check of their
// depth and size, and read as the XML our writer makes of their values
// (libplist's XML for them wrote years before 1000 in fewer than four
// digits, turned carriage returns into line feeds and wrote control
// characters raw, all of which the store would then have kept).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cf/objects.h"
#include "vantrel/CoreFoundation.h"

namespace vantrel::cf {

// Deepest nesting of arrays and dictionaries read or written (the root
// container counts as 1). A deeper document does not parse; a deeper value
// cannot be stored or posted.
constexpr int kMaxPlistDepth = 256;
// Largest document read, in bytes (64 MiB). A larger one does not parse.
constexpr std::size_t kMaxPlistBytes = 64u << 20;

// One entry of a top-level dictionary: its key and the exact text of its
// <key> element and of its value element in the document.
struct PlistEntry {
    std::string key;
    std::string_view keyText;
    std::string_view valueText;
};

// Checks a whole document (XML or binary). On success `rootIsDict` tells
// whether the root is a dictionary and `entries` lists its entries in
// document order (a key given twice keeps its first place and its last
// value), with views into `xml`: the document itself, or for a binary one
// the XML made of it, or the document converted to UTF-8 when it is in
// another encoding. On failure returns false and sets `why`.
struct PlistOutline {
    std::string xml;  // set only for a binary document or one not in UTF-8
    bool rootIsDict = false;
    std::vector<PlistEntry> entries;
};
bool outline_plist(std::string_view bytes, PlistOutline* out, std::string* why);

// A new CF object for a document or for one value element's text (as in
// PlistEntry::valueText); null when it does not parse. Exported, with
// read_plist_file, for the Cocoa library's bundles and interface files.
// The caller releases it (the attribute says so to the static analyser, as
// for string_from_utf8).
VANTREL_EXPORT VANTREL_CF_RETURNS_RETAINED CFTypeRef parse_plist(std::string_view bytes);

// Whether `cf` (and everything inside it) can be written: a property-list
// type, dictionary keys that are strings, no string holding a character XML
// 1.0 cannot hold (controls other than tab, line feed and carriage return,
// U+FFFE, U+FFFF, unpaired surrogates), dates within years 1 to 9999, and no
// deeper than kMaxPlistDepth. `why` says what is wrong.
bool writable(CFTypeRef cf, std::string* why);

// The XML text of one value, its nested lines indented one tab per level
// below `indent` (the first line is not indented). Call only with a value
// for which writable() holds.
std::string value_xml(CFTypeRef cf, int indent = 0);
// The <key> element for `key`.
std::string key_xml(std::string_view key);
// A whole XML document: header, <plist>, `body` (one value's text), </plist>.
std::string document_xml(std::string_view body);

// Reads a property-list file (an Info.plist, an interface definition). Only
// a regular file is read: a FIFO would block for ever and a device could be
// endless. False for anything else, a read error, or a file larger than
// kMaxPlistBytes.
VANTREL_EXPORT bool read_plist_file(const std::string& path, std::string* out);

// Escapes text for XML character data.
std::string escape_xml(std::string_view s);

}  // namespace vantrel::cf
