// Catalogue information on real files: the inode, the immutable attribute,
// the metadata record and the resource fork attribute.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

#include "FSTestSupport.h"
#include "fm/cat_metadata.h"
#include "fm/ref_node.h"

using namespace vtest;
namespace meta = vantrel::fm::meta;

namespace {

std::string xattr(const std::filesystem::path& p, const char* name) {
    char buf[4096];
    ssize_t n = ::lgetxattr(p.c_str(), name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, std::size_t(n));
}

bool xattrs_work(const std::filesystem::path& p) {
    return ::lsetxattr(p.c_str(), "user.vtest", "1", 1, 0) == 0 &&
           ::lremovexattr(p.c_str(), "user.vtest") == 0;
}

bool same(const UTCDateTime& a, const UTCDateTime& b) {
    return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds &&
           a.fraction == b.fraction;
}

}  // namespace

TEST(CatalogInfo, FinderInfoGoesToTheRecordAndKeepsOtherEntries) {
    vtest::TempDir t;
    auto f = t.write("doc", "x");
    if (!xattrs_work(f)) GTEST_SKIP() << "no user extended attributes here";
    // A record written by another program, with a comment.
    meta::Record other = meta::fresh();
    std::memcpy(other.find(meta::kCommentId)->data.data(), "keep me", 7);
    std::string otherBytes = meta::encode(other);
    ASSERT_EQ(::lsetxattr(f.c_str(), meta::kMetadataAttr, otherBytes.data(), otherBytes.size(), 0),
              0);

    FSRef r = ref_of(f);
    FSCatalogInfo info{};
    FileInfo fi{};
    fi.fileType = 'TEXT';
    fi.fileCreator = 'R*ch';
    fi.finderFlags = kHasCustomIcon;
    std::memcpy(info.finderInfo, &fi, 16);
    ExtendedFileInfo xfi{};
    xfi.putAwayFolderID = 77;
    std::memcpy(info.extFinderInfo, &xfi, 16);
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &info), noErr);

    std::string onDisk = xattr(f, meta::kMetadataAttr);
    ASSERT_EQ(onDisk.size(), meta::kStandardSize);
    EXPECT_EQ(onDisk.substr(122, 8), "TEXTR*ch") << "big-endian codes at the Finder info entry";
    EXPECT_EQ(onDisk.substr(154, 7), "keep me") << "the comment is kept";

    FSCatalogInfo back{};
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &back, nullptr,
                               nullptr, nullptr),
              noErr);
    EXPECT_EQ(std::memcmp(back.finderInfo, info.finderInfo, 16), 0);
    EXPECT_EQ(std::memcmp(back.extFinderInfo, info.extFinderInfo, 16), 0);

    // Only the Finder info is written; the extended info keeps its value.
    fi.fileType = 'APPL';
    std::memcpy(info.finderInfo, &fi, 16);
    std::memset(info.extFinderInfo, 0, 16);
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoFinderInfo, &info), noErr);
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoFinderXInfo, &back, nullptr, nullptr, nullptr), noErr);
    ExtendedFileInfo xb;
    std::memcpy(&xb, back.extFinderInfo, 16);
    EXPECT_EQ(xb.putAwayFolderID, 77);
}

TEST(CatalogInfo, AnUnreadableRecordIsAbsentAndNeverLost) {
    vtest::TempDir t;
    auto f = t.write("doc", "x");
    if (!xattrs_work(f)) GTEST_SKIP() << "no user extended attributes here";
    std::string junk = "not a record at all";
    ASSERT_EQ(::lsetxattr(f.c_str(), meta::kMetadataAttr, junk.data(), junk.size(), 0), 0);
    FSRef r = ref_of(f);
    FSCatalogInfo info;
    std::memset(&info, 0xFF, sizeof info);
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr), noErr);
    for (UInt8 b : info.finderInfo) EXPECT_EQ(b, 0);
    EXPECT_EQ(xattr(f, meta::kMetadataAttr), junk) << "a read never rewrites it";
    FileInfo fi{};
    fi.fileType = 'TEXT';
    std::memcpy(info.finderInfo, &fi, 16);
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoFinderInfo, &info), noErr);
    EXPECT_EQ(xattr(f, meta::kCorruptAttr), junk) << "the old bytes are kept beside the new record";
    EXPECT_EQ(xattr(f, meta::kMetadataAttr).size(), meta::kStandardSize);
}

TEST(CatalogInfo, DatesComeBackEqualInAllThreeParts) {
    vtest::TempDir t;
    auto f = t.write("doc", "x");
    if (!xattrs_work(f)) GTEST_SKIP() << "no user extended attributes here";
    FSRef r = ref_of(f);
    FSCatalogInfo in{};
    in.createDate = {0, 3'500'000'000u, 12345};
    in.contentModDate = {0, 3'600'000'000u, 65535};
    in.accessDate = {0, 3'700'000'000u, 1};
    in.backupDate = {1, 5u, 32768};   // beyond 32 bits of seconds
    in.attributeModDate = {0, 1, 1};  // cannot be set; ignored
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoAllDates, &in), noErr);
    FSCatalogInfo out{};
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoAllDates, &out, nullptr, nullptr, nullptr), noErr);
    EXPECT_TRUE(same(out.createDate, in.createDate));
    EXPECT_TRUE(same(out.contentModDate, in.contentModDate));
    EXPECT_TRUE(same(out.accessDate, in.accessDate));
    EXPECT_TRUE(same(out.backupDate, in.backupDate));
    EXPECT_FALSE(same(out.attributeModDate, in.attributeModDate)) << "ctime is the kernel's";

    // Directories too, including one reached as another item's parent.
    t.write("folder/inner", "");
    FSRef inner = ref_of(t / "folder/inner");
    FSRef folder{};
    ASSERT_EQ(FSGetCatalogInfo(&inner, 0, nullptr, nullptr, nullptr, &folder), noErr);
    ASSERT_EQ(FSSetCatalogInfo(&folder, kFSCatInfoContentMod, &in), noErr);
    FSCatalogInfo fout{};
    ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoContentMod, &fout, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_TRUE(same(fout.contentModDate, in.contentModDate));

    // A record changed by another program wins over our precise copy.
    meta::Record rec;
    std::string bytes = xattr(f, meta::kMetadataAttr);
    ASSERT_TRUE(
        meta::decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &rec));
    meta::set_date(rec, meta::kCreate, 100);
    bytes = meta::encode(rec);
    ASSERT_EQ(::lsetxattr(f.c_str(), meta::kMetadataAttr, bytes.data(), bytes.size(), 0), 0);
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoCreateDate, &out, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(out.createDate.lowSeconds, UInt32(meta::kMac1904To2000 + 100));
    EXPECT_EQ(out.createDate.fraction, 0);

    // Without a record, creation is the birth time and backup is "never".
    auto g = t.write("fresh", "y");
    FSRef gr = ref_of(g);
    ASSERT_EQ(
        FSGetCatalogInfo(&gr, kFSCatInfoCreateDate | kFSCatInfoBackupDate | kFSCatInfoContentMod,
                         &out, nullptr, nullptr, nullptr),
        noErr);
    EXPECT_GT(out.createDate.lowSeconds, 3'000'000'000u);
    EXPECT_LE(out.createDate.lowSeconds, out.contentModDate.lowSeconds);
    EXPECT_EQ(out.backupDate.lowSeconds, 0u);
    EXPECT_EQ(xattr(g, meta::kMetadataAttr), "<none>") << "reading creates nothing";
}

TEST(CatalogInfo, LockIsTheImmutableAttribute) {
    vtest::TempDir t;
    auto f = t.write("doc", "x");
    if (!vtest::set_immutable(f, true)) GTEST_SKIP() << "cannot set the immutable attribute here";
    vtest::set_immutable(f, false);
    FSRef r = ref_of(f);
    FSCatalogInfo info{};
    info.nodeFlags = kFSNodeLockedMask;
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoNodeFlags, &info), noErr);
    vantrel::fm::Node n;
    ASSERT_EQ(vantrel::fm::resolve(&r, &n), noErr);
    EXPECT_TRUE(n.locked());
    FSCatalogInfo got{};
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoNodeFlags, &got, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(got.nodeFlags & kFSNodeLockedMask, kFSNodeLockedMask);

    // Writes to a locked object fail with fLckdErr and change nothing.
    std::string before = xattr(f, meta::kMetadataAttr);
    FSCatalogInfo change{};
    change.contentModDate = {0, 3'000'000'000u, 0};
    struct stat st0;
    ::stat(f.c_str(), &st0);
    EXPECT_EQ(FSSetCatalogInfo(&r, kFSCatInfoFinderInfo | kFSCatInfoContentMod, &change), fLckdErr);
    struct stat st1;
    ::stat(f.c_str(), &st1);
    EXPECT_EQ(st0.st_mtim.tv_sec, st1.st_mtim.tv_sec);
    EXPECT_EQ(xattr(f, meta::kMetadataAttr), before);
    EXPECT_EQ(FSSetCatalogInfo(&r, kFSCatInfoNodeFlags | kFSCatInfoContentMod, &info), fLckdErr)
        << "keeping the lock while changing something else";

    // Clearing the lock and changing something else in one call works.
    change.nodeFlags = 0;
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoNodeFlags | kFSCatInfoContentMod, &change), noErr);
    ASSERT_EQ(vantrel::fm::resolve(&r, &n), noErr);
    EXPECT_FALSE(n.locked());
    ::stat(f.c_str(), &st1);
    EXPECT_EQ(UInt32(st1.st_mtim.tv_sec + 2082844800), 3'000'000'000u);
}

TEST(CatalogInfo, PermissionsSizesValenceAndPrivileges) {
    vtest::TempDir t;
    auto f = t.write("dir/file", std::string(5000, 'z'));
    t.write("dir/two", "");
    t.mkdir("dir/three");
    FSRef r = ref_of(f);
    FSCatalogInfo info{};
    ASSERT_EQ(
        FSGetCatalogInfo(&r, kFSCatInfoPermissions | kFSCatInfoDataSizes | kFSCatInfoRsrcSizes,
                         &info, nullptr, nullptr, nullptr),
        noErr);
    FSPermissionInfo p;
    std::memcpy(&p, info.permissions, sizeof p);
    struct stat st;
    ::stat(f.c_str(), &st);
    EXPECT_EQ(p.userID, st.st_uid);
    EXPECT_EQ(p.groupID, st.st_gid);
    EXPECT_EQ(p.mode, UInt16(st.st_mode));
    EXPECT_EQ(info.dataLogicalSize, 5000u);
    EXPECT_GE(info.dataPhysicalSize, 4096u);
    EXPECT_EQ(info.rsrcLogicalSize, 0u);

    p.mode = UInt16(S_IFREG | 0640);
    std::memcpy(info.permissions, &p, sizeof p);
    ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoPermissions, &info), noErr);
    ::stat(f.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    if (::lsetxattr(f.c_str(), meta::kResourceForkAttr, std::string(100, 'r').data(), 100, 0) ==
        0) {
        ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoRsrcSizes, &info, nullptr, nullptr, nullptr),
                  noErr);
        EXPECT_EQ(info.rsrcLogicalSize, 100u);
        EXPECT_GE(info.rsrcPhysicalSize, 100u);
    }

    FSRef d = ref_of(t / "dir");
    ASSERT_EQ(FSGetCatalogInfo(&d, kFSCatInfoValence | kFSCatInfoUserPrivs | kFSCatInfoDataSizes,
                               &info, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_EQ(info.valence, 3u);
    EXPECT_EQ(info.dataLogicalSize, 0u);
    if (::geteuid() == 0) {
        EXPECT_EQ(info.userPrivileges, 0) << "the owner may do everything";
    }

    EXPECT_EQ(FSSetCatalogInfo(&r, kFSCatInfoPermissions, nullptr), paramErr);
    EXPECT_EQ(FSSetCatalogInfo(&r, kFSCatInfoNodeID, nullptr), noErr) << "nothing settable asked";
    std::filesystem::remove(f);
    EXPECT_EQ(FSSetCatalogInfo(&r, kFSCatInfoPermissions, &info), fnfErr);
}
