// The AppleDouble codec on bytes built here from the published layouts:
// which headers each form takes and which it refuses, the ATTR block macOS
// keeps in its "._" files, and Samba's AfpInfo stream.
#include "fm/cat_appledouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "Sidecar.h"

namespace ad = vantrel::fm::ad;

namespace {

void put32(std::string& s, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) s += char(v >> (8 * i));
}
void put16(std::string& s, std::uint16_t v) {
    s += char(v >> 8);
    s += char(v);
}
void set32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = char(v >> (24 - 8 * i));
}

struct Raw {
    std::uint32_t id, offset, length;
};

// A header with `entries` as given, then zeros up to `size` bytes (at least
// the header), the data filled with 'd'.
std::string file(const std::vector<Raw>& entries, std::size_t size,
                 const char* filler = "Netatalk        ", std::uint32_t magic = 0x00051607,
                 std::uint32_t version = 0x00020000, int count = -1) {
    std::string s;
    put32(s, magic);
    put32(s, version);
    s.append(filler, 16);
    put16(s, std::uint16_t(count < 0 ? int(entries.size()) : count));
    for (const Raw& e : entries) put32(s, e.id), put32(s, e.offset), put32(s, e.length);
    if (s.size() < size) s.resize(size, 'd');
    return s;
}

// Our sidecar: fork at 0x52, Finder information at 0x32.
std::string ours(std::uint32_t fork) {
    return file({{2, 0x52, fork}, {9, 0x32, 32}}, 0x52 + fork);
}

// The form a row is read with: the sidecar's (false), the record's (true),
// or Netatalk 2's ".AppleDouble" file's.
enum Form { kSidecarForm = 0, kRecordForm = 1, kFolderForm = 2 };
const ad::Format& format_of(int form) {
    return form == kRecordForm   ? ad::kRecord
           : form == kFolderForm ? ad::kAppleDoubleFolder
                                 : ad::kSidecar;
}

struct HeaderRow {
    const char* what;
    int form;
    std::string bytes;
    ad::Error expect;
    std::uint64_t fileSize = 0;  // 0: the bytes' size
};

void PrintTo(const HeaderRow& row, std::ostream* os) {
    *os << row.what;
}

std::vector<HeaderRow> header_rows() {
    std::vector<HeaderRow> rows;
    auto add = [&](const char* what, int form, std::string bytes, ad::Error e,
                   std::uint64_t size = 0) {
        rows.push_back({what, form, std::move(bytes), e, size});
    };
    using E = ad::Error;
    add("our sidecar", false, ours(10), E::None);
    add("a Mac client's order, a longer Finder entry", false,
        file({{9, 0x32, 0xE2}, {2, 0x32 + 0xE2, 5}}, 0x32 + 0xE2 + 5), E::None);
    add("macOS's own, filler Mac OS X", false,
        file({{9, 0x32, 3634}, {2, 0x32 + 3634, 0}}, 0x32 + 3634, "Mac OS X        "), E::None);
    add("a Finder entry after a fork that ends before it", false,
        file({{2, 0x32, 8}, {9, 0x40, 32}}, 0x60), E::None);
    add("a Finder entry inside the fork", false, file({{2, 0x32, 100}, {9, 0x52, 32}}, 0x96),
        E::Overlap);
    add("a fork that begins inside the Finder entry", false,
        file({{9, 0x32, 32}, {2, 0x40, 8}}, 0x52), E::Overlap);
    add("a fork inside the entry table", false, file({{2, 0x20, 8}, {9, 0x32, 32}}, 0x52),
        E::InHeader);
    add("a Finder entry inside the entry table", false, file({{2, 0x52, 0}, {9, 0x10, 32}}, 0x52),
        E::InHeader);
    add("a Finder entry twice", false, file({{2, 0x7E, 0}, {9, 0x3E, 32}, {9, 0x5E, 32}}, 0x7E),
        E::Duplicate);
    add("an entry with id 0", false, file({{2, 0x52, 0}, {0, 0x32, 32}}, 0x52), E::BadId);
    add("no fork entry", false, file({{9, 0x32, 32}}, 0x52), E::Missing);
    add("a count the bytes cannot hold", false,
        file({{2, 0x52, 0}}, 0x26, "Netatalk        ", 0x00051607, 0x00020000, 3), E::Count);
    add("a count past what anyone writes", false,
        file({{2, 0x52, 0}}, 26 + 12 * 65, "Netatalk        ", 0x00051607, 0x00020000, 65),
        E::Count);
    add("a Finder entry past the end", false, file({{2, 0x52, 0}, {9, 0x32, 64}}, 0x52),
        E::OutsideFile);
    add("a fork offset past the end", false, file({{2, 0x60, 0}, {9, 0x32, 32}}, 0x52),
        E::OutsideFile);
    add("a fork that is not last, running past the end", false,
        file({{2, 0x32, 0x60}, {9, 0x80, 8}}, 0x88), E::OutsideFile);
    add("bad magic", false, file({{2, 0x52, 0}}, 0x52, "Netatalk        ", 0x00051600), E::Magic);
    add("version 1", false, file({{2, 0x52, 0}}, 0x52, "Netatalk        ", 0x00051607, 0x00010000),
        E::Version);
    add("shorter than a header", false, ours(0).substr(0, 20), E::Short);
    add("a sidecar past 4 GiB", false, ours(16), E::None, 0x100000100ull);
    // The record: the same rules, nothing required.
    add("the standard record", true,
        file({{9, 122, 32},
              {4, 154, 200},
              {8, 354, 16},
              {14, 370, 4},
              {0x80444556, 374, 8},
              {0x80494E4F, 382, 8},
              {0x8053594E, 390, 8},
              {0x8053567E, 398, 4}},
             402, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"),
        E::None);
    add("a record whose comment overlaps its Finder information", true,
        file({{9, 50, 32}, {4, 60, 200}}, 260), E::Overlap);
    add("a record with an empty entry inside another", true, file({{9, 50, 32}, {4, 60, 0}}, 82),
        E::None);
    add("a record with an entry past its end", true, file({{9, 50, 32}}, 81), E::OutsideFile);
    // Netatalk 2's ".AppleDouble" file: the same rules, nothing required,
    // and a fork as long as its header says.
    vtest::Netatalk2 n2;
    n2.fork = "the fork";
    const std::string netatalk2 = vtest::netatalk2_bytes(n2);
    add("Netatalk 2's file", kFolderForm, netatalk2, E::None);
    add("Netatalk 2's file with more past its fork", kFolderForm, netatalk2 + "tail", E::None);
    add("Netatalk 2's file cut inside its fork", kFolderForm,
        netatalk2.substr(0, netatalk2.size() - 2), E::OutsideFile);
    add("Netatalk 2's file without a fork", kFolderForm,
        file({{9, 0x32, 32}, {4, 0x52, 200}}, 0x11A), E::None);
    add("Netatalk 2's comment over its Finder information", kFolderForm,
        file({{9, 0x32, 32}, {4, 0x40, 200}}, 0x108), E::Overlap);
    add("Netatalk 2's Finder information twice", kFolderForm,
        file({{9, 0x3E, 32}, {9, 0x5E, 32}}, 0x7E), E::Duplicate);
    add("Netatalk 2's entries in its header", kFolderForm, file({{3, 0x10, 4}}, 0x40), E::InHeader);
    return rows;
}

class Headers : public ::testing::TestWithParam<HeaderRow> {};

}  // namespace

// Every form judges a header by the same rules; what it accepts encodes
// back to the bytes it read.
TEST_P(Headers, AreJudgedByOneSetOfRules) {
    const HeaderRow& row = GetParam();
    const auto* p = reinterpret_cast<const std::uint8_t*>(row.bytes.data());
    const std::uint64_t size = row.fileSize != 0 ? row.fileSize : row.bytes.size();
    ad::Header h;
    h.entries.push_back({77, 1, 2, 3, false});  // untouched on failure
    const ad::Error got = ad::decode({p, row.bytes.size()}, size, format_of(row.form), &h);
    EXPECT_EQ(got, row.expect) << ad::describe(got);
    if (got != ad::Error::None) {
        ASSERT_EQ(h.entries.size(), 1u);
        EXPECT_EQ(h.entries[0].id, 77u);
        return;
    }
    const std::string again = ad::encode(h);
    EXPECT_EQ(again, row.bytes.substr(0, again.size()));
    if (row.form == kFolderForm) {
        if (const ad::Descriptor* fork = h.find(ad::kResourceForkId)) {
            EXPECT_FALSE(fork->toEnd);
            EXPECT_EQ(fork->extent, fork->length) << "as long as the header says";
        }
    } else if (row.form == kSidecarForm) {
        const ad::Descriptor* fork = h.find(ad::kResourceForkId);
        ASSERT_NE(fork, nullptr);
        if (fork->toEnd && size <= 0xFFFFFFFFu) {
            EXPECT_EQ(fork->extent, size - fork->offset) << "the fork runs to the end";
        } else {
            EXPECT_EQ(fork->extent, fork->length) << "as long as the header says";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Headers, ::testing::ValuesIn(header_rows()),
                         [](const ::testing::TestParamInfo<HeaderRow>& info) {
                             std::string name;
                             for (const char* c = info.param.what; *c != 0; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             return name;
                         });

// The sidecar we write is one the sidecar form reads, with its fork last.
TEST(AppleDouble, OurSidecarHeaderReadsBack) {
    std::uint8_t fi[32];
    for (int i = 0; i < 32; ++i) fi[i] = std::uint8_t(i + 1);
    std::string bytes = ad::encode_sidecar(5, fi) + "forks";
    ASSERT_EQ(bytes.size(), 0x52u + 5);
    EXPECT_EQ(bytes, [&] {
        std::string s = ours(5);
        std::memcpy(s.data() + 0x32, fi, 32);
        std::memcpy(s.data() + 0x52, "forks", 5);
        return s;
    }());
    ad::Header h;
    ASSERT_EQ(ad::decode({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()},
                         bytes.size(), ad::kSidecar, &h),
              ad::Error::None);
    EXPECT_EQ(h.filler, ad::kNetatalkFiller);
    ASSERT_NE(h.find(ad::kResourceForkId), nullptr);
    EXPECT_TRUE(h.find(ad::kResourceForkId)->toEnd);
    EXPECT_EQ(h.find(ad::kResourceForkId)->extent, 5u);
}

namespace {

// A "._" file as macOS lays it out, built field by field: the Finder entry
// of `fiLength` bytes at 0x32 with the ATTR block after 32 bytes of Finder
// information and 2 of padding, the attributes' entries from 0x78 on 4-byte
// boundaries, their data from `dataAt`, then a fork of `fork` bytes.
struct MacAttr {
    std::string name, value;
    std::uint16_t flags;
};
std::string macos_file(const std::vector<MacAttr>& attrs, std::uint32_t dataAt,
                       std::uint32_t fiLength = 3634, const std::string& fork = "") {
    const std::uint32_t forkAt = 0x32 + fiLength;
    std::string s = file({{9, 0x32, fiLength}, {2, forkAt, std::uint32_t(fork.size())}}, forkAt,
                         "Mac OS X        ");
    std::fill(s.begin() + 0x32, s.end(), '\0');
    std::memcpy(s.data() + 0x32, "TEXTttxt", 8);
    std::uint32_t dataLen = 0;
    for (const MacAttr& a : attrs) dataLen += std::uint32_t(a.value.size());
    std::string block;
    put32(block, 0x41545452);  // "ATTR"
    put32(block, 0xDEB6);      // debug tag
    put32(block, forkAt);      // total size
    put32(block, dataAt);
    put32(block, dataLen);
    block.append(12, '\0');
    put16(block, 0);
    put16(block, std::uint16_t(attrs.size()));
    std::memcpy(s.data() + 0x54, block.data(), block.size());
    std::size_t at = 0x78;
    std::uint32_t data = dataAt;
    for (const MacAttr& a : attrs) {
        std::string e;
        put32(e, data);
        put32(e, std::uint32_t(a.value.size()));
        put16(e, a.flags);
        e += char(a.name.size() + 1);
        e += a.name;
        e += '\0';
        std::memcpy(s.data() + at, e.data(), e.size());
        std::memcpy(s.data() + data, a.value.data(), a.value.size());
        at = (at + e.size() + 3) & ~std::size_t{3};
        data += std::uint32_t(a.value.size());
    }
    return s + fork;
}

ad::Error attrs_of(const std::string& bytes, ad::AttrBlock* out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    ad::Header h;
    const ad::Error e = ad::decode({p, bytes.size()}, bytes.size(), ad::kSidecar, &h);
    if (e != ad::Error::None) return e;
    return ad::decode_attrs({p, bytes.size()}, *h.find(ad::kFinderInfoId), out);
}

const std::vector<MacAttr> kTwo = {
    {"com.apple.quarantine", "0083;5f3a1b2c;Safari;", 0},
    {"com.apple.metadata:kMDItemWhereFroms", std::string("bplist00\xa1\x01_\x10\x13", 13), 0}};

}  // namespace

TEST(AppleDouble, ReadsTheAttributesMacOSKeepsInItsDotUnderscoreFiles) {
    // 0x78 + two entries (11 + 21 -> 32; 11 + 37 -> 48, aligned) = 0xC8.
    const std::string bytes = macos_file(kTwo, 0xC8, 3634, "rsrc");
    ad::AttrBlock b;
    ASSERT_EQ(attrs_of(bytes, &b), ad::Error::None);
    EXPECT_EQ(b.debugTag, 0xDEB6u);
    ASSERT_EQ(b.attrs.size(), 2u);
    EXPECT_EQ(b.attrs[0].name, "com.apple.quarantine");
    EXPECT_EQ(b.attrs[0].value, kTwo[0].value);
    EXPECT_EQ(b.attrs[1].name, "com.apple.metadata:kMDItemWhereFroms");
    EXPECT_EQ(b.attrs[1].value, kTwo[1].value);
    // Written back in the same form: the same header and the same bytes.
    const std::string again =
        ad::encode_macos(reinterpret_cast<const std::uint8_t*>(bytes.data() + 0x32), b, 4) + "rsrc";
    EXPECT_EQ(again, bytes);
    // An entry without attributes is a block all the same.
    ad::AttrBlock none;
    ASSERT_EQ(attrs_of(macos_file({}, 0x78), &none), ad::Error::None);
    EXPECT_TRUE(none.attrs.empty());
}

TEST(AppleDouble, AttributesThatNoLongerFitGrowTheFinderEntry) {
    ad::AttrBlock big;
    big.attrs.push_back({"user.big", std::string(5000, 'v'), 0});
    big.attrs.push_back({"user.small", "s", 3});
    const std::string bytes = ad::encode_macos(nullptr, big, 0);
    ASSERT_FALSE(bytes.empty());
    EXPECT_GT(bytes.size(), 0x32u + 5000);
    ad::AttrBlock back;
    ASSERT_EQ(attrs_of(bytes, &back), ad::Error::None);
    EXPECT_EQ(back, big);
    ad::AttrBlock badName;
    badName.attrs.push_back({std::string("a\0b", 3), "v", 0});
    EXPECT_TRUE(ad::encode_macos(nullptr, badName, 0).empty()) << "a name with a NUL";
}

TEST(AppleDouble, RefusesAttrBlocksThatDoNotHoldTogether) {
    struct Row {
        const char* what;
        std::string bytes;
        ad::Error expect;
    };
    std::vector<Row> rows;
    const std::string good = macos_file(kTwo, 0xC8);
    rows.push_back({"our netatalk sidecar: no block", ours(4), ad::Error::NoBlock});
    {
        std::string s = good;
        s[0x54] = 'X';
        rows.push_back({"no magic", s, ad::Error::NoBlock});
    }
    {
        std::string s = good;
        set32(s, 0x78, 0x32 + 3634 - 4);  // the first value runs into the fork
        rows.push_back({"a value past the entry", s, ad::Error::BadBlock});
    }
    {
        std::string s = good;
        set32(s, 0x78 + 32, 0xC8 + 4);  // the second value inside the first
        rows.push_back({"two values that overlap", s, ad::Error::BadBlock});
    }
    {
        std::string s = good;
        set32(s, 0x78, 0x80);  // the first value over the entry table
        rows.push_back({"a value over the entry table", s, ad::Error::BadBlock});
    }
    {
        std::string s = good;
        s[0x78 + 11 + 20] = 'x';  // the first name's NUL
        rows.push_back({"a name without its NUL", s, ad::Error::BadBlock});
    }
    {
        std::string s = good;
        s[0x78 + 10] = 1;  // a name of no bytes but its NUL
        rows.push_back({"an empty name", s, ad::Error::BadBlock});
    }
    {
        std::string s = good;
        s[0x54 + 35] = char(0xFF);  // 255 attributes in 3634 bytes
        s[0x54 + 34] = char(0xFF);
        rows.push_back({"a count past the entry", s, ad::Error::BadBlock});
    }
    {
        std::string s = good;
        set32(s, 0x54 + 8, 0x32 + 3634 + 1);
        rows.push_back({"a total size past the entry", s, ad::Error::BadBlock});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ad::AttrBlock b;
        b.debugTag = 99;
        EXPECT_EQ(attrs_of(row.bytes, &b), row.expect);
        EXPECT_EQ(b.debugTag, 99u) << "untouched on failure";
    }
}

namespace {

std::string afpinfo_bytes() {
    std::string s;
    s += "AFP";
    s += '\0';
    put32(s, 0x00000100);  // Samba's AFP_Version
    put32(s, 0);
    put32(s, 0x1234);  // backed up 0x1234 s after 2000
    s += "TEXTttxt";
    s.append(24, '\x01');
    s.append(6, '\x02');  // ProDOS
    s.append(6, '\0');
    s += '\0';  // streams_xattr's NUL
    return s;
}

}  // namespace

TEST(AppleDouble, ReadsAndWritesSambasAfpInfoStream) {
    const std::string bytes = afpinfo_bytes();
    ASSERT_EQ(bytes.size(), 61u);
    ad::AfpInfo a;
    ASSERT_EQ(ad::decode_afpinfo({reinterpret_cast<const std::uint8_t*>(bytes.data()), 61}, &a),
              ad::Error::None);
    EXPECT_EQ(a.backupTime, 0x1234u);
    EXPECT_EQ(std::memcmp(a.finderInfo.data(), "TEXTttxt", 8), 0);
    EXPECT_EQ(a.prodos[5], 2);
    EXPECT_EQ(ad::encode_afpinfo(a), bytes);
    EXPECT_EQ(ad::encode_afpinfo(ad::AfpInfo{}).substr(12, 4), std::string("\x80\0\0\0", 4))
        << "a new stream's backup date is unknown";

    struct Row {
        const char* what;
        std::string bytes;
    };
    std::vector<Row> rows = {
        {"without the NUL", bytes.substr(0, 60)}, {"a byte more", bytes + '\0'}, {"empty", ""}};
    std::string s = bytes;
    s[1] = 'X';
    rows.push_back({"another signature", s});
    s = bytes;
    s[5] = 2;
    rows.push_back({"another version", s});
    s = bytes;
    s[5] = 1;
    s[6] = 0;
    rows.push_back({"0x00010000, the version's bytes the other way round", s});
    s = bytes;
    s[60] = 'x';
    rows.push_back({"no NUL at the end", s});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ad::AfpInfo out;
        out.backupTime = 7;
        EXPECT_EQ(
            ad::decode_afpinfo(
                {reinterpret_cast<const std::uint8_t*>(row.bytes.data()), row.bytes.size()}, &out),
            ad::Error::BadStream);
        EXPECT_EQ(out.backupTime, 7u);
    }
}
