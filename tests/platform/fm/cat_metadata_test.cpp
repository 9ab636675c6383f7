// The AppleDouble metadata record: decoding records built byte by byte,
// rejecting damaged ones, and encoding the standard layout.
#include "fm/cat_metadata.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vantrel/Files.h"

namespace meta = vantrel::fm::meta;

namespace {

struct RawEntry {
    std::uint32_t id;
    std::string data;
};

void be32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(std::uint8_t(v >> (8 * i)));
}

// A record with the entries laid out in the order given.
std::vector<std::uint8_t> build(const std::vector<RawEntry>& entries,
                                std::uint32_t magic = 0x00051607,
                                std::uint32_t version = 0x00020000) {
    std::vector<std::uint8_t> b;
    be32(b, magic);
    be32(b, version);
    b.resize(b.size() + 16, 0);
    b.push_back(std::uint8_t(entries.size() >> 8));
    b.push_back(std::uint8_t(entries.size()));
    std::uint32_t off = std::uint32_t(26 + 12 * entries.size());
    for (const RawEntry& e : entries) {
        be32(b, e.id);
        be32(b, off);
        be32(b, std::uint32_t(e.data.size()));
        off += std::uint32_t(e.data.size());
    }
    for (const RawEntry& e : entries) b.insert(b.end(), e.data.begin(), e.data.end());
    return b;
}

std::string finder_bytes() {
    std::string s(32, '\0');
    std::memcpy(s.data(), "TEXTttxt", 8);  // type, creator (big-endian four-character codes)
    s[8] = 0x40;                           // finder flags 0x4000 (invisible), big-endian
    s[10] = 0x00;
    s[11] = 0x10;  // location.v = 16
    return s;
}

}  // namespace

TEST(MetadataRecord, DecodesEntriesByIdWhateverTheirOrder) {
    std::string comment = "a comment";
    comment.resize(200, '\0');
    for (bool reversed : {false, true}) {
        std::vector<RawEntry> entries = {
            {9, finder_bytes()}, {4, comment}, {8, std::string(16, '\x11')}};
        if (reversed) std::swap(entries[0], entries[2]);
        auto bytes = build(entries);
        meta::Record r;
        ASSERT_TRUE(meta::decode(bytes.data(), bytes.size(), &r)) << reversed;
        const meta::Entry* fi = r.find(meta::kFinderInfoId);
        ASSERT_NE(fi, nullptr);
        EXPECT_EQ(fi->data, finder_bytes());
        ASSERT_NE(r.find(meta::kCommentId), nullptr);
        EXPECT_EQ(r.find(meta::kCommentId)->data.substr(0, 9), "a comment");
        EXPECT_EQ(r.find(meta::kAfpInfoId), nullptr);
    }
}

TEST(MetadataRecord, RejectsDamagedRecords) {
    auto good = build({{9, finder_bytes()}, {4, std::string(200, 'c')}});
    meta::Record r;
    ASSERT_TRUE(meta::decode(good.data(), good.size(), &r));

    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"bad magic", build({{9, finder_bytes()}}, 0x00051600)});
    cases.push_back({"bad version", build({{9, finder_bytes()}}, 0x00051607, 0x00010000)});
    auto truncated = good;
    truncated.resize(good.size() - 1);  // the last entry runs past the end
    cases.push_back({"truncated data", truncated});
    cases.push_back(
        {"truncated header", std::vector<std::uint8_t>(good.begin(), good.begin() + 20)});
    auto table = good;
    table.resize(30);  // entry table cut short
    cases.push_back({"truncated table", table});
    auto dup = build({{9, finder_bytes()}, {9, finder_bytes()}});
    cases.push_back({"same entry twice", dup});
    auto inside = good;
    inside[26 + 4 + 3] = 10;  // first entry's offset points into the header
    inside[26 + 4 + 2] = 0;
    inside[26 + 4 + 1] = 0;
    inside[26 + 4 + 0] = 0;
    cases.push_back({"offset inside the header", inside});
    cases.push_back({"empty", {}});
    for (const Case& c : cases) {
        meta::Record out;
        out.entries.push_back({77, "sentinel"});
        EXPECT_FALSE(meta::decode(c.bytes.data(), c.bytes.size(), &out)) << c.what;
        ASSERT_EQ(out.entries.size(), 1u) << c.what << ": untouched on failure";
    }
}

TEST(MetadataRecord, EncodesTheStandardLayoutAndKeepsUnknownEntries) {
    std::string bytes = meta::encode(meta::fresh());
    ASSERT_EQ(bytes.size(), meta::kStandardSize);
    auto u = [&](std::size_t off) {
        return (std::uint32_t(std::uint8_t(bytes[off])) << 24) |
               (std::uint32_t(std::uint8_t(bytes[off + 1])) << 16) |
               (std::uint32_t(std::uint8_t(bytes[off + 2])) << 8) | std::uint8_t(bytes[off + 3]);
    };
    EXPECT_EQ(u(0), 0x00051607u);
    EXPECT_EQ(u(4), 0x00020000u);
    EXPECT_EQ(std::uint8_t(bytes[25]), 8);
    // (id, offset, length) of the eight entries, in the standard order.
    const std::uint32_t expect[8][3] = {
        {9, 122, 32},         {4, 154, 200},        {8, 354, 16},         {14, 370, 4},
        {0x80444556, 374, 8}, {0x80494E4F, 382, 8}, {0x8053594E, 390, 8}, {0x8053567E, 398, 4}};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(u(26 + 12 * i + 4 * j), expect[i][j]) << i << "," << j;
    EXPECT_EQ(u(354), 0x80000000u) << "dates start unknown";

    meta::Record r = meta::fresh();
    r.entries.push_back({0x12345678, "extra"});
    meta::set_date(r, meta::kBackup, 1234);
    std::string again = meta::encode(r);
    EXPECT_EQ(again.size(), meta::kStandardSize) << "the record keeps its standard form";
    meta::Record back;
    ASSERT_TRUE(
        meta::decode(reinterpret_cast<const std::uint8_t*>(again.data()), again.size(), &back));
    EXPECT_EQ(back.find(0x12345678), nullptr);
    meta::decode_extra(meta::encode_extra(r), &back);
    ASSERT_NE(back.find(0x12345678), nullptr);
    EXPECT_EQ(back.find(0x12345678)->data, "extra");
    std::int32_t d = 0;
    EXPECT_TRUE(meta::get_date(back, meta::kBackup, &d));
    EXPECT_EQ(d, 1234);
    EXPECT_FALSE(meta::get_date(back, meta::kCreate, &d));
}

TEST(MetadataRecord, FinderInfoIsBigEndianOnDiskAndHostOrderInMemory) {
    std::string disk = finder_bytes();
    std::uint8_t fi[16], xfi[16];
    meta::finder_to_host(reinterpret_cast<const std::uint8_t*>(disk.data()), false, fi, xfi);
    FileInfo info;
    std::memcpy(&info, fi, sizeof info);
    EXPECT_EQ(info.fileType, OSType('TEXT'));
    EXPECT_EQ(info.fileCreator, OSType('ttxt'));
    EXPECT_EQ(info.finderFlags, 0x4000);
    EXPECT_EQ(info.location.v, 16);
    std::uint8_t out[32];
    meta::finder_to_disk(fi, xfi, false, out);
    EXPECT_EQ(std::memcmp(out, disk.data(), 32), 0);

    // Folders have other field widths: a Rect first, 2-byte fields.
    FolderInfo folder{};
    folder.windowBounds = {1, 2, 3, 4};
    folder.finderFlags = 0x0400;
    ExtendedFolderInfo xf{};
    xf.scrollPosition = {5, 6};
    xf.putAwayFolderID = 0x01020304;
    meta::finder_to_disk(reinterpret_cast<std::uint8_t*>(&folder),
                         reinterpret_cast<std::uint8_t*>(&xf), true, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[8], 0x04);
    EXPECT_EQ(out[16 + 1], 5);
    EXPECT_EQ(out[16 + 12], 0x01);
    EXPECT_EQ(out[16 + 15], 0x04);
}
