// Records other programs wrote, as the layer finds them on a server's
// files: rewritten in the form Samba reads, their unknown entries kept.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "TempDir.h"
#include "vantrel/Files.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordAttr = "user.org.netatalk.Metadata";

void put32(std::string& s, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
}

std::uint32_t get32(const std::string& s, std::size_t off) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<std::uint8_t>(s[off + i]);
    return v;
}

struct RawEntry {
    std::uint32_t id;
    std::string data;
};

std::string record(const std::vector<RawEntry>& entries) {
    std::string r;
    put32(r, 0x00051607);
    put32(r, 0x00020000);
    r.append(16, '\0');
    r += '\0';
    r += static_cast<char>(entries.size());
    std::uint32_t off = static_cast<std::uint32_t>(26 + 12 * entries.size());
    for (const RawEntry& e : entries) {
        put32(r, e.id);
        put32(r, off);
        put32(r, static_cast<std::uint32_t>(e.data.size()));
        off += static_cast<std::uint32_t>(e.data.size());
    }
    for (const RawEntry& e : entries) r += e.data;
    return r;
}

std::string xattr(const fs::path& p, const char* name) {
    char buf[4096];
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf, sizeof buf);
    return n < 0 ? "<absent>" : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

// A record with three entries in its own order (an unknown one, Finder
// information, a short dates entry). After a change of type through the
// layer it is the eight-entry, 402-byte form, Finder information at 122,
// the dates it had kept and the ones it lacked unknown; the unknown entry
// is still there for the layer to read and write back.
TEST(ForeignRecord, IsRewrittenInTheFullFormKeepingWhatItHad) {
    vtest::TempDir dir;
    const fs::path f = dir.write("f", "data");
    std::string finder(32, '\0');
    std::memcpy(finder.data(), "TEXTttxt", 8);
    finder[8] = 0x20;                                                 // has bundle
    const std::string dates8("\x00\x00\x04\xd2\x80\x00\x00\x00", 8);  // created 1234 s after 2000
    const std::string foreign = record({{0x7A7A7A7A, "unknown entry"}, {9, finder}, {8, dates8}});
    ASSERT_EQ(::lsetxattr(f.c_str(), kRecordAttr, foreign.data(), foreign.size(), 0), 0);

    FSRef ref{};
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(f.c_str()), &ref, nullptr), noErr);
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr),
              noErr);
    FileInfo fi;
    std::memcpy(&fi, info.finderInfo, sizeof fi);
    fi.fileType = 'APPL';
    std::memcpy(info.finderInfo, &fi, sizeof fi);
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);

    const std::string now = xattr(f, kRecordAttr);
    ASSERT_EQ(now.size(), 402u);
    EXPECT_EQ(get32(now, 24) >> 16, 8u) << "eight entries";
    const std::uint32_t layout[8][3] = {
        {9, 122, 32},         {4, 154, 200},        {8, 354, 16},         {14, 370, 4},
        {0x80444556, 374, 8}, {0x80494E4F, 382, 8}, {0x8053594E, 390, 8}, {0x8053567E, 398, 4}};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(get32(now, 26 + 12 * i + 4 * j), layout[i][j]) << i << "," << j;
    EXPECT_EQ(now.substr(122, 4), "APPL");
    EXPECT_EQ(now.substr(126, 28), finder.substr(4)) << "creator and flags as they were";
    EXPECT_EQ(get32(now, 354), 1234u) << "the creation date it had";
    for (int d = 1; d < 4; ++d) EXPECT_EQ(get32(now, 354 + 4 * d), 0x80000000u) << d;

    // The unknown entry is kept: it survives another rewrite.
    fi.fileType = 'TEXT';
    std::memcpy(info.finderInfo, &fi, sizeof fi);
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
    EXPECT_NE(xattr(f, "user.org.vantrel.Metadata.extra").find("unknown entry"), std::string::npos);
}
