// The AppleDouble codec. See cat_appledouble.h.
#include "fm/cat_appledouble.h"

#include <algorithm>
#include <cstring>

namespace vantrel::fm::ad {
namespace {

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}
std::uint16_t be16(const std::uint8_t* p) {
    return std::uint16_t((p[0] << 8) | p[1]);
}
void put32(std::string& s, std::uint32_t v) {
    s += char(v >> 24);
    s += char(v >> 16);
    s += char(v >> 8);
    s += char(v);
}
void put16(std::string& s, std::uint16_t v) {
    s += char(v >> 8);
    s += char(v);
}
void set32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = char(v >> (24 - 8 * i));
}

// The record: the eight entries Samba's reader expects, in its order.
constexpr Rule kRecordRules[] = {
    {kFinderInfoId, false, 32, 0}, {kCommentId, false, 200, 0}, {kFileDatesId, false, 16, 0},
    {kAfpInfoId, false, 4, 0},     {kPrivDevId, false, 8, 0},   {kPrivInoId, false, 8, 0},
    {kPrivSynId, false, 8, 0},     {kPrivSvId, false, 4, 0},
};
// The sidecar: its fork, and a copy of the Finder information (ours and
// Samba's 32 bytes; Mac clients' longer entries, read whole).
constexpr Rule kSidecarRules[] = {
    {kResourceForkId, true, 0, 0},
    {kFinderInfoId, false, std::uint32_t(kFinderInfoSize), 0},
};

// Netatalk 2's file: the lengths it gives each entry when it makes one.
constexpr Rule kAppleDoubleFolderRules[] = {
    {kRealNameId, false, 255, 0},  {kCommentId, false, 200, 0},    {kFileDatesId, false, 16, 0},
    {kFinderInfoId, false, 32, 0}, {kPrivSvId, false, 4, 0},       {kAfpInfoId, false, 4, 0},
    {kShortNameId, false, 12, 0},  {kPrivDevId, false, 8, 0},      {kPrivInoId, false, 8, 0},
    {kPrivSynId, false, 8, 0},     {kResourceForkId, false, 0, 0},
};

}  // namespace

const Format kRecord{kRecordRules, 0};
const Format kSidecar{kSidecarRules, kResourceForkId};
const Format kAppleDoubleFolder{kAppleDoubleFolderRules, 0};

const Descriptor* Header::find(std::uint32_t id) const {
    for (const Descriptor& d : entries)
        if (d.id == id) return &d;
    return nullptr;
}

const char* describe(Error e) noexcept {
    switch (e) {
        case Error::None:
            return "none";
        case Error::Short:
            return "shorter than a header";
        case Error::Magic:
            return "not AppleDouble";
        case Error::Version:
            return "not version 2";
        case Error::Count:
            return "an entry count the bytes cannot hold";
        case Error::BadId:
            return "an entry with id 0";
        case Error::Duplicate:
            return "the same entry twice";
        case Error::InHeader:
            return "an entry inside the header";
        case Error::OutsideFile:
            return "an entry outside the file";
        case Error::Overlap:
            return "entries that overlap";
        case Error::Missing:
            return "a required entry missing";
        case Error::TooShort:
            return "an entry too short for its form";
        case Error::NoBlock:
            return "no ATTR block";
        case Error::BadBlock:
            return "an ATTR block that does not hold together";
        case Error::BadStream:
            return "not an AfpInfo stream";
    }
    return "?";
}

Error decode(std::span<const std::uint8_t> head, std::uint64_t fileSize, const Format& f,
             Header* out) {
    if (head.size() < kHeaderSize || fileSize < kHeaderSize) return Error::Short;
    const std::uint8_t* p = head.data();
    if (be32(p) != kMagic) return Error::Magic;
    if (be32(p + 4) != kVersion) return Error::Version;
    const std::size_t count = be16(p + 24);
    const std::uint64_t dataStart = kHeaderSize + kEntrySize * count;
    if (count > kMaxEntries || dataStart > head.size() || dataStart > fileSize) return Error::Count;
    Header h;
    std::memcpy(h.filler.data(), p + 8, h.filler.size());
    h.entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = p + kHeaderSize + i * kEntrySize;
        Descriptor d;
        d.id = be32(e);
        d.offset = be32(e + 4);
        d.length = be32(e + 8);
        d.extent = d.length;
        if (d.id == 0) return Error::BadId;
        if (h.find(d.id) != nullptr) return Error::Duplicate;
        if (d.offset < dataStart) return Error::InHeader;
        if (d.offset > fileSize) return Error::OutsideFile;
        h.entries.push_back(d);
    }
    // Where the open-ended entry is last, it runs to the end of the file.
    Descriptor* open = nullptr;
    for (Descriptor& d : h.entries)
        if (f.openEnded != 0 && d.id == f.openEnded) open = &d;
    if (open != nullptr) {
        std::uint64_t otherEnd = 0;
        for (const Descriptor& d : h.entries)
            if (&d != open && d.length > 0)
                otherEnd = std::max(otherEnd, std::uint64_t(d.offset) + d.length);
        if (otherEnd <= open->offset) {
            open->toEnd = true;
            const std::uint64_t rest = fileSize - open->offset;
            open->extent =
                fileSize <= 0xFFFFFFFFu ? rest : std::min<std::uint64_t>(open->length, rest);
        }
    }
    for (const Descriptor& d : h.entries)
        if (!d.toEnd && std::uint64_t(d.offset) + d.length > fileSize) return Error::OutsideFile;
    // No two entries share a byte (empty ones hold none).
    std::vector<const Descriptor*> byOffset;
    for (const Descriptor& d : h.entries)
        if (d.extent > 0) byOffset.push_back(&d);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const Descriptor* a, const Descriptor* b) { return a->offset < b->offset; });
    for (std::size_t i = 1; i < byOffset.size(); ++i)
        if (std::uint64_t(byOffset[i - 1]->offset) + byOffset[i - 1]->extent > byOffset[i]->offset)
            return Error::Overlap;
    for (const Rule& r : f.rules) {
        const Descriptor* d = h.find(r.id);
        if (d == nullptr && r.required) return Error::Missing;
        if (d != nullptr && d->extent < r.minSize) return Error::TooShort;
    }
    *out = std::move(h);
    return Error::None;
}

std::string encode(const Header& h) {
    std::string out;
    out.reserve(kHeaderSize + kEntrySize * h.entries.size());
    put32(out, kMagic);
    put32(out, kVersion);
    out.append(reinterpret_cast<const char*>(h.filler.data()), h.filler.size());
    put16(out, std::uint16_t(h.entries.size()));
    for (const Descriptor& d : h.entries) {
        put32(out, d.id);
        put32(out, d.offset);
        put32(out, d.length);
    }
    return out;
}

std::string encode_sidecar(std::uint32_t forkLength, const std::uint8_t* finderInfo) {
    Header h;
    h.filler = kNetatalkFiller;
    h.entries = {{kResourceForkId, kSidecarForkOffset, forkLength},
                 {kFinderInfoId, kSidecarFinderOffset, std::uint32_t(kFinderInfoSize)}};
    std::string out = encode(h);
    out.resize(kSidecarForkOffset, '\0');
    if (finderInfo != nullptr)
        std::memcpy(out.data() + kSidecarFinderOffset, finderInfo, kFinderInfoSize);
    return out;
}

// ---------------------------------------------------------------- ATTR

namespace {

constexpr std::size_t kAttrEntryFixed = 11;  // offset, length, flags, name length

constexpr std::uint64_t align4(std::uint64_t v) {
    return (v + 3) & ~std::uint64_t{3};
}

}  // namespace

Error decode_attrs(std::span<const std::uint8_t> file, const Descriptor& fi, AttrBlock* out) {
    const std::uint64_t begin = fi.offset, end = std::uint64_t(fi.offset) + fi.extent;
    const std::uint64_t block = begin + kFinderInfoSize + 2;
    if (end > file.size()) return Error::OutsideFile;
    if (block + kAttrHeaderSize > end) return Error::NoBlock;
    const std::uint8_t* p = file.data();
    if (be32(p + block) != kAttrMagic) return Error::NoBlock;
    AttrBlock a;
    a.debugTag = be32(p + block + 4);
    const std::uint64_t totalSize = be32(p + block + 8);
    const std::uint64_t dataStart = be32(p + block + 12);
    const std::uint64_t dataLength = be32(p + block + 16);
    a.flags = be16(p + block + 32);
    const std::size_t count = be16(p + block + 34);
    // The block's own account of itself must lie inside the entry.
    if (totalSize > end || dataStart + dataLength > end) return Error::BadBlock;
    std::uint64_t at = block + kAttrHeaderSize;
    struct Span {
        std::uint64_t from, to;
    };
    std::vector<Span> spans;
    for (std::size_t i = 0; i < count; ++i) {
        if (at + kAttrEntryFixed > end) return Error::BadBlock;
        const std::uint32_t off = be32(p + at), len = be32(p + at + 4);
        const std::uint16_t flags = be16(p + at + 8);
        const std::size_t nameLen = p[at + 10];
        if (nameLen < 2 || at + kAttrEntryFixed + nameLen > end) return Error::BadBlock;
        const char* name = reinterpret_cast<const char*>(p + at + kAttrEntryFixed);
        if (name[nameLen - 1] != '\0' || std::memchr(name, '\0', nameLen - 1) != nullptr)
            return Error::BadBlock;
        if (std::uint64_t(off) + len > end) return Error::BadBlock;
        a.attrs.push_back(Attr{std::string(name, nameLen - 1),
                               std::string(reinterpret_cast<const char*>(p + off), len), flags});
        if (len > 0) spans.push_back({off, std::uint64_t(off) + len});
        at = align4(at + kAttrEntryFixed + nameLen);
    }
    // The data lies past the entry table, each attribute's bytes its own.
    const std::uint64_t tableEnd = std::min(at, end);
    std::sort(spans.begin(), spans.end(),
              [](const Span& x, const Span& y) { return x.from < y.from; });
    for (std::size_t i = 0; i < spans.size(); ++i) {
        if (spans[i].from < tableEnd) return Error::BadBlock;
        if (i > 0 && spans[i - 1].to > spans[i].from) return Error::BadBlock;
    }
    *out = std::move(a);
    return Error::None;
}

std::string encode_macos(const std::uint8_t* finderInfo, const AttrBlock& attrs,
                         std::uint32_t forkLength) {
    constexpr std::uint64_t kFinderAt = kSidecarFinderOffset;
    const std::uint64_t block = kFinderAt + kFinderInfoSize + 2;
    std::uint64_t table = block + kAttrHeaderSize;
    for (const Attr& a : attrs.attrs) {
        if (a.name.empty() || a.name.size() > 254 || a.name.find('\0') != std::string::npos)
            return {};
        table = align4(table + kAttrEntryFixed + a.name.size() + 1);
    }
    std::uint64_t dataLength = 0;
    for (const Attr& a : attrs.attrs) dataLength += a.value.size();
    const std::uint64_t needed = table + dataLength - kFinderAt;
    const std::uint64_t fiLength = std::max<std::uint64_t>(needed, kMacFinderInfoLength);
    const std::uint64_t forkAt = kFinderAt + fiLength;
    if (forkAt + forkLength > 0xFFFFFFFFu || attrs.attrs.size() > 0xFFFF) return {};
    Header h;
    h.filler = kMacOSFiller;
    h.entries = {{kFinderInfoId, std::uint32_t(kFinderAt), std::uint32_t(fiLength)},
                 {kResourceForkId, std::uint32_t(forkAt), forkLength}};
    std::string out = encode(h);
    out.resize(std::size_t(forkAt), '\0');
    if (finderInfo != nullptr) std::memcpy(out.data() + kFinderAt, finderInfo, kFinderInfoSize);
    set32(out, std::size_t(block), kAttrMagic);
    set32(out, std::size_t(block) + 4, attrs.debugTag);
    set32(out, std::size_t(block) + 8, std::uint32_t(forkAt));
    set32(out, std::size_t(block) + 12, std::uint32_t(table));
    set32(out, std::size_t(block) + 16, std::uint32_t(dataLength));
    out[std::size_t(block) + 32] = char(attrs.flags >> 8);
    out[std::size_t(block) + 33] = char(attrs.flags);
    out[std::size_t(block) + 34] = char(attrs.attrs.size() >> 8);
    out[std::size_t(block) + 35] = char(attrs.attrs.size());
    std::uint64_t at = block + kAttrHeaderSize, data = table;
    for (const Attr& a : attrs.attrs) {
        set32(out, std::size_t(at), std::uint32_t(data));
        set32(out, std::size_t(at) + 4, std::uint32_t(a.value.size()));
        out[std::size_t(at) + 8] = char(a.flags >> 8);
        out[std::size_t(at) + 9] = char(a.flags);
        out[std::size_t(at) + 10] = char(a.name.size() + 1);
        std::memcpy(out.data() + at + kAttrEntryFixed, a.name.data(), a.name.size());
        std::memcpy(out.data() + data, a.value.data(), a.value.size());
        at = align4(at + kAttrEntryFixed + a.name.size() + 1);
        data += a.value.size();
    }
    return out;
}

// ---------------------------------------------------------------- AfpInfo

Error decode_afpinfo(std::span<const std::uint8_t> value, AfpInfo* out) {
    if (value.size() != kAfpInfoSize + 1 || value[kAfpInfoSize] != 0) return Error::BadStream;
    const std::uint8_t* p = value.data();
    if (be32(p) != kAfpSignature || be32(p + 4) != kAfpVersion) return Error::BadStream;
    AfpInfo a;
    a.reserved1 = be32(p + 8);
    a.backupTime = be32(p + 12);
    std::memcpy(a.finderInfo.data(), p + 16, a.finderInfo.size());
    std::memcpy(a.prodos.data(), p + 48, a.prodos.size());
    std::memcpy(a.reserved2.data(), p + 54, a.reserved2.size());
    *out = a;
    return Error::None;
}

std::string encode_afpinfo(const AfpInfo& a) {
    std::string out;
    out.reserve(kAfpInfoSize + 1);
    put32(out, kAfpSignature);
    put32(out, kAfpVersion);
    put32(out, a.reserved1);
    put32(out, a.backupTime);
    out.append(reinterpret_cast<const char*>(a.finderInfo.data()), a.finderInfo.size());
    out.append(reinterpret_cast<const char*>(a.prodos.data()), a.prodos.size());
    out.append(reinterpret_cast<const char*>(a.reserved2.data()), a.reserved2.size());
    out += '\0';  // streams_xattr's
    return out;
}

}  // namespace vantrel::fm::ad

namespace vantrel::fm::meta {

Entry* Record::find(std::uint32_t id) {
    for (Entry& e : entries)
        if (e.id == id) return &e;
    return nullptr;
}
const Entry* Record::find(std::uint32_t id) const {
    for (const Entry& e : entries)
        if (e.id == id) return &e;
    return nullptr;
}
Entry& Record::need(std::uint32_t id, std::size_t size) {
    Entry* e = find(id);
    if (e == nullptr) {
        entries.push_back(Entry{id, std::string(size, '\0')});
        e = &entries.back();
    } else if (e->data.size() < size) {
        e->data.resize(size, '\0');
    }
    return *e;
}

Record fresh() {
    Record r;
    for (const ad::Rule& s : ad::kRecord.rules)
        r.entries.push_back(Entry{s.id, std::string(s.size, '\0')});
    for (int i = 0; i < 4; ++i) set_date(r, DateIndex(i), kUnknownDate);
    return r;
}

bool decode(const std::uint8_t* data, std::size_t size, Record* out) {
    if (data == nullptr) return false;
    const std::span<const std::uint8_t> bytes(data, size);
    ad::Header h;
    if (ad::decode(bytes, size, ad::kRecord, &h) != ad::Error::None) return false;
    Record r;
    for (const ad::Descriptor& d : h.entries)
        r.entries.push_back(
            Entry{d.id, std::string(reinterpret_cast<const char*>(data + d.offset), d.length)});
    *out = std::move(r);
    return true;
}

std::string encode(const Record& given) {
    // Always the eight standard entries, at least at their standard sizes:
    // Samba's reader expects the 402-byte form, whatever another program
    // left. Dates that were missing are unknown, not 2000-01-01.
    Record r = given;
    for (const ad::Rule& s : ad::kRecord.rules) {
        const Entry* had = r.find(s.id);
        const std::size_t hadSize = had != nullptr ? had->data.size() : 0;
        r.need(s.id, s.size);
        if (s.id == kFileDatesId)
            for (std::size_t i = hadSize / 4; i < 4; ++i) set_date(r, DateIndex(i), kUnknownDate);
    }
    // The standard entries only, in the standard order (the others are
    // kept apart, see encode_extra).
    ad::Header h;
    std::vector<const Entry*> order;
    for (const ad::Rule& s : ad::kRecord.rules)
        if (const Entry* e = r.find(s.id)) order.push_back(e);
    std::uint32_t off = std::uint32_t(ad::kHeaderSize + order.size() * ad::kEntrySize);
    for (const Entry* e : order) {
        h.entries.push_back({e->id, off, std::uint32_t(e->data.size())});
        off += std::uint32_t(e->data.size());
    }
    std::string out = ad::encode(h);
    for (const Entry* e : order) out += e->data;
    return out;
}

std::string encode_extra(const Record& r) {
    std::string out;
    for (const Entry& e : r.entries) {
        bool standard = false;
        for (const ad::Rule& s : ad::kRecord.rules) standard = standard || s.id == e.id;
        if (standard) continue;
        ad::put32(out, e.id);
        ad::put32(out, std::uint32_t(e.data.size()));
        out += e.data;
    }
    return out;
}

void decode_extra(const std::string& bytes, Record* r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t i = 0; i + 8 <= bytes.size();) {
        const std::uint32_t id = ad::be32(p + i), len = ad::be32(p + i + 4);
        if (len > bytes.size() - i - 8) return;  // cut short: keep what was whole
        if (r->find(id) == nullptr) r->entries.push_back(Entry{id, bytes.substr(i + 8, len)});
        i += 8 + len;
    }
}

bool get_date(const Record& r, DateIndex i, std::int32_t* out) {
    const Entry* e = r.find(kFileDatesId);
    if (e == nullptr || e->data.size() < std::size_t(i) * 4 + 4) return false;
    const auto v = std::int32_t(
        ad::be32(reinterpret_cast<const std::uint8_t*>(e->data.data()) + std::size_t(i) * 4));
    if (v == kUnknownDate) return false;
    *out = v;
    return true;
}

void set_date(Record& r, DateIndex i, std::int32_t v) {
    Entry& e = r.need(kFileDatesId, 16);
    const auto u = std::uint32_t(v);
    for (int b = 0; b < 4; ++b)
        e.data[std::size_t(i) * 4 + std::size_t(b)] = char(u >> (24 - 8 * b));
}

}  // namespace vantrel::fm::meta
