// Creation and backup dates over the whole range callers use: "never" (0),
// the first days of 1904, before the record's 1931 limit, after 2038, with
// fractions. Set, read back, copied: each comes back exactly, and the
// record other programs read says "unknown" (0x80000000) for "never".
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "FSTestSupport.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"

namespace fs = std::filesystem;

namespace {

using vtest::ref_of;

// The record's date `index` (0 create, 2 backup) as stored, big-endian.
std::uint32_t record_date(const fs::path& p, int index) {
    unsigned char buf[1024];
    const ssize_t n = ::lgetxattr(p.c_str(), "user.org.netatalk.Metadata", buf, sizeof buf);
    if (n < 26) return 0;
    auto be32 = [&](std::size_t off) {
        return (std::uint32_t(buf[off]) << 24) | (std::uint32_t(buf[off + 1]) << 16) |
               (std::uint32_t(buf[off + 2]) << 8) | buf[off + 3];
    };
    const unsigned count = (buf[24] << 8) | buf[25];
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t e = 26 + 12 * i;
        if (be32(e) == 8) return be32(be32(e + 4) + 4 * index);
    }
    return 0;
}

struct DateRow {
    const char* what;
    UTCDateTime date;
    std::uint32_t recorded;  // what the record holds
};

void PrintTo(const DateRow& row, std::ostream* os) {
    *os << row.what;
}

constexpr std::uint32_t kUnknown = 0x80000000u;
constexpr std::uint32_t kEarliest = 0x80000001u;  // 1931-12-13, the record's first second

const DateRow kDates[] = {
    {"never", UTCDateTime{0, 0, 0}, kUnknown},
    {"1904-01-01 00:00:01", UTCDateTime{0, 1, 0}, kEarliest},
    {"1904-01-01 with a fraction", UTCDateTime{0, 0, 0x8000}, kEarliest},
    {"1920", UTCDateTime{0, 504'921'600u, 0x1234}, kEarliest},
    {"2000-01-01", UTCDateTime{0, 3'029'529'600u, 0}, 0},
    {"2030", UTCDateTime{0, 3'976'300'800u, 0x00FF}, 0x386E9500u},
    {"2100, beyond 32 bits of 1904 seconds", UTCDateTime{1, 1'890'322'304u, 7}, 0x7FFFFFFFu},
};

bool same(const UTCDateTime& x, const UTCDateTime& y) {
    return x.highSeconds == y.highSeconds && x.lowSeconds == y.lowSeconds &&
           x.fraction == y.fraction;
}

std::string show(const UTCDateTime& d) {
    return std::to_string(d.highSeconds) + ":" + std::to_string(d.lowSeconds) + "." +
           std::to_string(d.fraction);
}

class OldDates : public ::testing::TestWithParam<DateRow> {};

TEST_P(OldDates, AreStoredReadBackAndCopiedExactly) {
    const DateRow& row = GetParam();
    vtest::TempDir dir;
    const fs::path f = dir.write("f", "data");
    FSRef ref = ref_of(f);
    FSCatalogInfo set{};
    set.createDate = row.date;
    set.backupDate = row.date;
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoCreateDate | kFSCatInfoBackupDate, &set), noErr);
    EXPECT_EQ(record_date(f, 0), row.recorded);
    EXPECT_EQ(record_date(f, 2), row.recorded);

    FSRef dst = ref_of(dir / ""), copied{};
    const std::u16string name = u"copy";
    ASSERT_EQ(FSCopyFile(&ref, &dst, name.size(), reinterpret_cast<const UniChar*>(name.data()),
                         kTextEncodingUnknown, &copied),
              noErr);
    for (const fs::path& p : {f, dir / "copy"}) {
        SCOPED_TRACE(p.filename().string());
        FSRef r = ref_of(p);
        FSCatalogInfo got{};
        ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoCreateDate | kFSCatInfoBackupDate, &got, nullptr,
                                   nullptr, nullptr),
                  noErr);
        EXPECT_TRUE(same(got.createDate, row.date)) << show(got.createDate);
        EXPECT_TRUE(same(got.backupDate, row.date)) << show(got.backupDate);
    }
}

INSTANTIATE_TEST_SUITE_P(Range, OldDates, ::testing::ValuesIn(kDates));

}  // namespace
