// The one AppleDouble codec of the File Manager: bytes in, structures out,
// and back. It reads and writes every form of AppleDouble the layer meets:
// the metadata record in "user.org.netatalk.Metadata", the "._NAME"
// sidecar as we, Samba and Mac clients write it, the "ATTR" block of
// extended attributes that macOS keeps inside a "._NAME" file's
// Finder-information entry, Samba's 60-byte AfpInfo stream, and the
// ".AppleDouble/NAME" files of Netatalk 2.
//
// Pure: no system calls and no process-wide state. The bytes come from
// files and attributes any program may have written, so the decoders are a
// unit of their own that a fuzzer drives (tests/fuzz/appledouble_fuzz.cpp):
// nothing is read outside the bytes given, and what a decoder accepts
// encodes back to what it read.
//
// An AppleDouble header (all integers big-endian): magic 0x00051607,
// version 0x00020000, 16 bytes of filler, an entry count, then (id, offset,
// length) per entry. Each form is a table of the entries it knows (which it
// requires, how long it writes them, how short it still reads them), and
// one rule for all: entries are found by id and offset, never by position;
// an entry that reaches outside the file, lies in the header, overlaps
// another, or comes twice, or a count the bytes cannot hold, and the file
// is not AppleDouble. docs/mac-metadata.md describes the forms.
//
//   ad::Header h;
//   if (ad::decode(head, fileSize, ad::kSidecar, &h) == ad::Error::None)
//       if (const ad::Descriptor* fork = h.find(ad::kResourceForkId)) ... fork->extent ...
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantrel::fm::ad {

inline constexpr std::uint32_t kMagic = 0x00051607;
inline constexpr std::uint32_t kVersion = 0x00020000;
inline constexpr std::size_t kHeaderSize = 26;  // up to and with the entry count
inline constexpr std::size_t kEntrySize = 12;
inline constexpr std::size_t kMaxEntries = 64;  // more is not a file anyone wrote
inline constexpr std::size_t kFinderInfoSize = 32;

enum : std::uint32_t {
    kResourceForkId = 2,
    kRealNameId = 3,
    kCommentId = 4,
    kFileDatesId = 8,
    kFinderInfoId = 9,
    kShortNameId = 13,
    kAfpInfoId = 14,
    // Netatalk's private entries of the record.
    kPrivDevId = 0x80444556,
    kPrivInoId = 0x80494E4F,
    kPrivSynId = 0x8053594E,
    kPrivSvId = 0x8053567E,
};

using Filler = std::array<std::uint8_t, 16>;
inline constexpr Filler kNetatalkFiller = {'N', 'e', 't', 'a', 't', 'a', 'l', 'k',
                                           ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
inline constexpr Filler kMacOSFiller = {'M', 'a', 'c', ' ', 'O', 'S', ' ', 'X',
                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// One row of a form's entry table, as Samba's reader keeps one.
struct Rule {
    std::uint32_t id;
    bool required;
    std::uint32_t size;     // the length it is written with
    std::uint32_t minSize;  // the least length it is read with
};

// A form of AppleDouble: its entry table (entries it does not list are
// read and kept), and the entry that may run to the end of the file
// whatever its length says, where nothing lies past its start (the
// sidecar's resource fork, as Samba reads it; 0 for none).
struct Format {
    std::span<const Rule> rules;
    std::uint32_t openEnded = 0;
};

// The metadata record: the eight entries we always write, in their order.
extern const Format kRecord;
// The "._NAME" sidecar: a resource fork required, the Finder information
// optional (ours and Samba's 32 bytes, Mac clients' longer entries).
extern const Format kSidecar;
// Netatalk 2's ".AppleDouble/NAME" (and ".AppleDouble/.Parent" for the
// folder itself): the record's entries, the real and short names, the AFP
// file information and the resource fork, each optional. The fork is as
// long as the header says, as Netatalk reads it: nothing past it is taken
// for fork bytes.
extern const Format kAppleDoubleFolder;

struct Descriptor {
    std::uint32_t id = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;  // as the header says
    // The bytes it holds in the file: its length, except for an open-ended
    // entry with nothing past it, which runs to the end of the file (never
    // past what 32 bits can say: a file past 4 GiB is read as long as the
    // header's length says, at most to its end).
    std::uint64_t extent = 0;
    bool toEnd = false;  // open-ended, and nothing lies past its start
    bool operator==(const Descriptor&) const = default;
};

struct Header {
    Filler filler{};
    std::vector<Descriptor> entries;  // in the header's order
    const Descriptor* find(std::uint32_t id) const;
    // The first byte past the entry table: where entries' data may start.
    std::uint64_t data_start() const { return kHeaderSize + kEntrySize * entries.size(); }
    bool operator==(const Header&) const = default;
};

enum class Error {
    None,
    Short,        // fewer bytes than a header
    Magic,        // not AppleDouble
    Version,      // not version 2
    Count,        // more entries than the bytes (or any writer) hold
    BadId,        // entry id 0
    Duplicate,    // the same id twice: which one would be true?
    InHeader,     // an entry's data inside the header or its entry table
    OutsideFile,  // an entry reaching past the end of the file
    Overlap,      // two entries sharing bytes
    Missing,      // a required entry absent
    TooShort,     // an entry shorter than its form reads
    NoBlock,      // no ATTR block here (a Finder-information entry without one)
    BadBlock,     // an ATTR block that does not hold together
    BadStream,    // an AfpInfo stream of the wrong size, signature or version
};
// A few words for messages and test output.
const char* describe(Error e) noexcept;

// Decodes the header at the start of a file of `fileSize` bytes from its
// first bytes `head` (the whole file, or at least its entry table: a
// count the bytes cannot hold is refused). `out` is untouched on failure.
Error decode(std::span<const std::uint8_t> head, std::uint64_t fileSize, const Format& f,
             Header* out);
// The header's 26 + 12 * n bytes: magic, version, filler, count, entries.
std::string encode(const Header& h);

// Our sidecar's bytes up to its fork (0x52 of them): the Netatalk filler,
// the resource fork (id 2 at 0x52, `forkLength` bytes) and the Finder
// information (id 9 at 0x32, 32 bytes, `finderInfo` or zeros), in that
// order, as Samba writes them.
inline constexpr std::uint32_t kSidecarForkOffset = 0x52;
inline constexpr std::uint32_t kSidecarFinderOffset = 0x32;
std::string encode_sidecar(std::uint32_t forkLength, const std::uint8_t* finderInfo);

// ---------------------------------------------------------------- ATTR
//
// macOS keeps a file's extended attributes in its "._NAME" file (filler
// "Mac OS X"): the Finder-information entry holds the 32 bytes of Finder
// information, two bytes of padding, then an ATTR block: a 36-byte header
// (magic "ATTR", a debug tag, the block's end, where the attributes' data
// starts and how long it is, 12 reserved bytes, flags, the number of
// attributes), then per attribute its data's offset and length (from the
// start of the file), flags, the name's length with its NUL, and the name
// with a NUL, each such entry beginning on a 4-byte boundary of the file;
// then the data. The resource fork follows the entry.

inline constexpr std::uint32_t kAttrMagic = 0x41545452;  // "ATTR"
inline constexpr std::size_t kAttrHeaderSize = 36;
// The length macOS gives the Finder-information entry while the attributes
// fit, and so ours when we write this form.
inline constexpr std::uint32_t kMacFinderInfoLength = 3634;

struct Attr {
    std::string name;  // without its NUL: 1 to 254 bytes, none of them NUL
    std::string value;
    std::uint16_t flags = 0;
    bool operator==(const Attr&) const = default;
};

struct AttrBlock {
    std::uint32_t debugTag = 0;
    std::uint16_t flags = 0;
    std::vector<Attr> attrs;
    bool operator==(const AttrBlock&) const = default;
};

// The ATTR block of the Finder-information entry `fi` of the file whose
// bytes from its start are `file` (at least to the entry's end). NoBlock
// where the entry carries none (32 bytes, or no magic); BadBlock where one
// reaches outside the entry, its attributes overlap one another or its
// tables, or a name is not a NUL-terminated name.
Error decode_attrs(std::span<const std::uint8_t> file, const Descriptor& fi, AttrBlock* out);

// A "._NAME" file's bytes up to its resource fork, in the form macOS
// writes: the "Mac OS X" filler, the Finder information (id 9 at 0x32,
// kMacFinderInfoLength bytes or as many as the block needs) holding
// `finderInfo` (or zeros) and the ATTR block of `attrs`, then the
// resource fork's entry (id 2, `forkLength` bytes from the end of these).
// Empty when the block cannot be described in 32 bits.
std::string encode_macos(const std::uint8_t* finderInfo, const AttrBlock& attrs,
                         std::uint32_t forkLength);

// ---------------------------------------------------------------- AfpInfo
//
// Samba's AfpInfo (fruit:metadata = stream), kept by streams_xattr in the
// attribute "user.DosStream.AFP_AfpInfo:$DATA" with one NUL after the
// stream's 60 bytes: signature "AFP\0", version 0x00000100, 4 reserved
// bytes, the backup date (seconds from 2000, 0x80000000 unknown), the 32
// bytes of Finder information, 6 of ProDOS information, 6 reserved; all
// integers big-endian.

inline constexpr const char* kAfpInfoAttr = "user.DosStream.AFP_AfpInfo:$DATA";
// The resource fork as Samba keeps it with fruit:resource = stream: the
// fork's bytes and, as streams_xattr stores every stream, one byte more
// (a NUL) at the end.
inline constexpr const char* kAfpResourceAttr = "user.DosStream.AFP_Resource:$DATA";
inline constexpr std::size_t kAfpInfoSize = 60;
inline constexpr std::uint32_t kAfpSignature = 0x41465000;  // "AFP\0"
// Samba's AFP_Version, as its fruit module writes and checks it.
inline constexpr std::uint32_t kAfpVersion = 0x00000100;

struct AfpInfo {
    std::uint32_t reserved1 = 0;
    std::uint32_t backupTime = 0x80000000u;
    std::array<std::uint8_t, kFinderInfoSize> finderInfo{};
    std::array<std::uint8_t, 6> prodos{};
    std::array<std::uint8_t, 6> reserved2{};
    bool operator==(const AfpInfo&) const = default;
};

// The attribute's value, as streams_xattr stores it: 61 bytes, the last
// one NUL. BadStream for anything else.
Error decode_afpinfo(std::span<const std::uint8_t> value, AfpInfo* out);
// The 61 bytes of the attribute's value.
std::string encode_afpinfo(const AfpInfo& a);

}  // namespace vantrel::fm::ad

namespace vantrel::fm::meta {

// The metadata record in these terms: its entries by id, each with its
// data. The record's I/O is cat_metadata.h's.
inline constexpr std::uint32_t kMagic = ad::kMagic;
inline constexpr std::uint32_t kVersion = ad::kVersion;
inline constexpr std::size_t kHeaderSize = ad::kHeaderSize;
inline constexpr std::size_t kEntrySize = ad::kEntrySize;
inline constexpr std::size_t kStandardSize = 402;
inline constexpr std::uint32_t kCommentId = ad::kCommentId;
inline constexpr std::uint32_t kFileDatesId = ad::kFileDatesId;
inline constexpr std::uint32_t kFinderInfoId = ad::kFinderInfoId;
inline constexpr std::uint32_t kAfpInfoId = ad::kAfpInfoId;
inline constexpr std::uint32_t kPrivDevId = ad::kPrivDevId;
inline constexpr std::uint32_t kPrivInoId = ad::kPrivInoId;
inline constexpr std::uint32_t kPrivSynId = ad::kPrivSynId;
inline constexpr std::uint32_t kPrivSvId = ad::kPrivSvId;

// Dates in the file-dates entry: seconds from 2000-01-01 00:00 UTC.
inline constexpr std::int32_t kUnknownDate = std::int32_t(0x80000000u);
enum DateIndex { kCreate = 0, kModify = 1, kBackup = 2, kAccess = 3 };

struct Entry {
    std::uint32_t id;
    std::string data;
    bool operator==(const Entry&) const = default;
};

struct Record {
    std::vector<Entry> entries;
    Entry* find(std::uint32_t id);
    const Entry* find(std::uint32_t id) const;
    // The entry `id`, added (zero-filled, `size` bytes) when missing and
    // grown to `size` when shorter.
    Entry& need(std::uint32_t id, std::size_t size);
};

// A record with the eight standard entries: zero Finder info and comment,
// every date unknown.
Record fresh();
// False when the bytes are not a record (see ad::decode); `out` is then
// untouched.
bool decode(const std::uint8_t* data, std::size_t size, Record* out);
// The record's bytes: the eight standard entries (missing ones added, a
// missing date unknown). Any other entry goes to encode_extra.
std::string encode(const Record& r);
std::string encode_extra(const Record& r);
// Adds the entries of kExtraAttr's bytes that `r` lacks.
void decode_extra(const std::string& bytes, Record* r);

// Date `i` of the file-dates entry, or false when unknown or absent.
bool get_date(const Record& r, DateIndex i, std::int32_t* secondsSince2000);
void set_date(Record& r, DateIndex i, std::int32_t secondsSince2000);

}  // namespace vantrel::fm::meta
