// A safe save: write the new version to a temporary file, exchange it with
// the document, delete the temporary file. The document must come out with
// the new contents and everything else it had: what belongs to its name.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "Child.h"
#include "FSTestSupport.h"
#include "FileIDs.h"
#include "TempDir.h"
#include "vantrel/Files.h"

namespace fs = std::filesystem;

namespace {

using vtest::path_of;
using vtest::ref_of;

constexpr const char* kRsrc = "user.org.netatalk.ResourceFork";

std::string xattr(const fs::path& p, const char* name) {
    char buf[4096];
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf, sizeof buf);
    return n < 0 ? "<absent>" : std::string(buf, static_cast<std::size_t>(n));
}

bool same(const UTCDateTime& x, const UTCDateTime& y) {
    return x.highSeconds == y.highSeconds && x.lowSeconds == y.lowSeconds &&
           x.fraction == y.fraction;
}

constexpr FSCatalogInfoBitmap kAll =
    kFSCatInfoCreateDate | kFSCatInfoContentMod | kFSCatInfoAccessDate | kFSCatInfoBackupDate |
    kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;

FSCatalogInfo info_of(const fs::path& p) {
    FSRef r = ref_of(p);
    FSCatalogInfo i{};
    EXPECT_EQ(FSGetCatalogInfo(&r, kAll, &i, nullptr, nullptr, nullptr), noErr);
    return i;
}

}  // namespace

// The document has a record, a comment-carrying record entry, Finder
// information, old dates with fractions, a file ID and mode 0644; the new
// version was written to a fresh temporary file (no record, mode 0600).
TEST(SafeSave, TheDocumentKeepsWhatBelongsToItsNameAndTakesTheNewContents) {
    vtest::TempDir dir;
    const fs::path doc = dir.write("doc", "old contents");
    ASSERT_EQ(::lsetxattr(doc.c_str(), kRsrc, "old rsrc", 8, 0), 0);
    ASSERT_EQ(::lsetxattr(doc.c_str(), "user.other.program", "kept", 4, 0), 0);
    ::chmod(doc.c_str(), 0644);
    {
        FSRef r = ref_of(doc);
        FSCatalogInfo i = info_of(doc);
        FileInfo fi{};
        fi.fileType = 'TEXT';
        fi.fileCreator = 'ttxt';
        fi.finderFlags = kHasBundle;
        std::memcpy(i.finderInfo, &fi, sizeof fi);
        i.extFinderInfo[3] = 7;
        i.createDate = UTCDateTime{0, 2'800'000'000u, 0x1234};
        i.backupDate = UTCDateTime{0, 3'000'000'000u, 0x8000};
        i.accessDate = UTCDateTime{0, 3'100'000'000u, 0x4000};
        ASSERT_EQ(
            FSSetCatalogInfo(&r,
                             kFSCatInfoCreateDate | kFSCatInfoBackupDate | kFSCatInfoAccessDate |
                                 kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo,
                             &i),
            noErr);
    }
    OSErr idErr = noErr;
    const SInt32 docID = vtest::file_id_of(doc, &idErr);
    ASSERT_EQ(idErr, noErr);
    const FSCatalogInfo docBefore = info_of(doc);

    const fs::path tmp = dir.write("doc.tmp", "new contents");
    ASSERT_EQ(::lsetxattr(tmp.c_str(), kRsrc, "new rsrc", 8, 0), 0);
    ::chmod(tmp.c_str(), 0600);
    const timespec mtime[2] = {{0, UTIME_OMIT}, {1'700'000'000, 123'456'789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, tmp.c_str(), mtime, 0), 0);
    const FSCatalogInfo tmpBefore = info_of(tmp);

    FSRef rdoc = ref_of(doc), rtmp = ref_of(tmp);
    ASSERT_EQ(FSExchangeObjects(&rdoc, &rtmp), noErr);
    // The references follow the contents.
    EXPECT_EQ(path_of(rtmp), doc.string());
    EXPECT_EQ(path_of(rdoc), tmp.string());
    ASSERT_EQ(FSDeleteObject(&rdoc), noErr);

    const FSCatalogInfo after = info_of(doc);
    EXPECT_EQ(vtest::read_file(doc), "new contents");
    EXPECT_EQ(xattr(doc, kRsrc), "new rsrc") << "the resource fork moves with the contents";
    EXPECT_TRUE(same(after.contentModDate, tmpBefore.contentModDate));
    EXPECT_EQ(std::memcmp(after.finderInfo, docBefore.finderInfo, 16), 0);
    EXPECT_EQ(std::memcmp(after.extFinderInfo, docBefore.extFinderInfo, 16), 0);
    EXPECT_TRUE(same(after.createDate, docBefore.createDate));
    EXPECT_TRUE(same(after.backupDate, docBefore.backupDate));
    EXPECT_TRUE(same(after.accessDate, docBefore.accessDate));
    FSPermissionInfo pb, pa;
    std::memcpy(&pb, docBefore.permissions, sizeof pb);
    std::memcpy(&pa, after.permissions, sizeof pa);
    EXPECT_EQ(pa.mode & 07777, 0644);
    EXPECT_EQ(pa.userID, pb.userID);
    EXPECT_EQ(pa.groupID, pb.groupID);
    EXPECT_EQ(xattr(doc, "user.other.program"), "kept");
    // The file ID stays with the document.
    OSErr again = noErr;
    EXPECT_EQ(vtest::file_id_of(doc, &again), docID);
    EXPECT_EQ(again, fidExists);
    HParamBlockRec rb{};
    Str255 found{};
    rb.fidParam.ioVRefNum = after.volume;
    rb.fidParam.ioFileID = docID;
    rb.fidParam.ioNamePtr = found;
    FSCatalogInfo vol{};
    FSRef r = ref_of(doc);
    ASSERT_EQ(FSGetCatalogInfo(&r, kFSCatInfoVolume, &vol, nullptr, nullptr, nullptr), noErr);
    rb.fidParam.ioVRefNum = vol.volume;
    ASSERT_EQ(PBResolveFileIDRefSync(&rb), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(found + 1), found[0]), "doc");
}

// The other way round: the temporary name keeps the temporary file's
// metadata (no Finder information, its own mode and creation date).
TEST(SafeSave, TheTemporaryNameKeepsItsOwnMetadata) {
    vtest::TempDir dir;
    const fs::path doc = dir.write("doc", "old");
    {
        FSRef r = ref_of(doc);
        FSCatalogInfo i{};
        FileInfo fi{};
        fi.fileType = 'TEXT';
        std::memcpy(i.finderInfo, &fi, sizeof fi);
        ASSERT_EQ(FSSetCatalogInfo(&r, kFSCatInfoFinderInfo, &i), noErr);
    }
    ::chmod(doc.c_str(), 0640);
    const fs::path tmp = dir.write("tmp", "new");
    ::chmod(tmp.c_str(), 0600);
    const FSCatalogInfo tmpBefore = info_of(tmp);
    FSRef rdoc = ref_of(doc), rtmp = ref_of(tmp);
    ASSERT_EQ(FSExchangeObjects(&rdoc, &rtmp), noErr);
    const FSCatalogInfo atTmp = info_of(tmp);
    FileInfo fi;
    std::memcpy(&fi, atTmp.finderInfo, sizeof fi);
    EXPECT_EQ(fi.fileType, 0u);
    EXPECT_TRUE(same(atTmp.createDate, tmpBefore.createDate));
    struct stat st;
    ASSERT_EQ(::lstat(tmp.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat(doc.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(vtest::read_file(tmp), "old");
}

// As another user (nobody): two read-only files of its own are exchanged
// (the owner may make them writable for a moment); a file of someone else's
// cannot take the other name's owner, so nothing changes and the error says
// so.
TEST(SafeSave, AsAnotherUserReadOnlyFilesWorkAndAnOwnerItCannotGiveChangesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    vtest::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const fs::path a = dir.write("a", "first"), b = dir.write("b", "second");
    const fs::path c = dir.write("c", "root's");
    ASSERT_EQ(::lsetxattr(a.c_str(), "user.note", "A", 1, 0), 0);
    ASSERT_EQ(::chown(a.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(b.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(a.c_str(), 0400), 0);
    ASSERT_EQ(::chmod(b.c_str(), 0440), 0);
    ASSERT_EQ(::chmod(c.c_str(), 0666), 0);
    auto msg = vtest::run_child(vtest::Child::Plain, [&]() -> std::string {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            return "cannot become nobody";
        ::prctl(PR_SET_DUMPABLE, 1);
        FSRef ra = ref_of(a), rb = ref_of(b), rc = ref_of(c);
        if (OSErr e = FSExchangeObjects(&ra, &rb)) return "a with b gave " + std::to_string(e);
        const OSErr e = FSExchangeObjects(&rb, &rc);
        if (e == noErr) return "b with root's c gave noErr";
        return "";
    });
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(*msg, "");
    struct stat st;
    ASSERT_EQ(::lstat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0400u);
    EXPECT_EQ(vtest::read_file(a), "second");
    EXPECT_EQ(xattr(a, "user.note"), "A");
    ASSERT_EQ(::lstat(b.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0440u);
    EXPECT_EQ(xattr(b, "user.note"), "<absent>");
    // The refused exchange left both as they were.
    EXPECT_EQ(vtest::read_file(b), "first");
    EXPECT_EQ(vtest::read_file(c), "root's");
    ASSERT_EQ(::lstat(c.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}
