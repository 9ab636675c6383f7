// The access-rights word <-> mode mapping (white-box) and the directory-access
// calls on real directories.
#include "fm/cat_access.h"

#include <gtest/gtest.h>

namespace {

struct RightsRow {
    unsigned mode;
    UInt32 rights;
};

class AccessRightsMapping : public ::testing::TestWithParam<RightsRow> {};

TEST_P(AccessRightsMapping, ModeAndRightsCorrespondBothWays) {
    const RightsRow& row = GetParam();
    EXPECT_EQ(row.rights, vantrel::fm::access_rights_from_mode(row.mode)) << std::oct << row.mode;
    EXPECT_EQ(row.mode & 0777, vantrel::fm::mode_from_access_rights(row.rights))
        << std::hex << row.rights;
}

// Search = x, read = r, write = w; owner in byte 0, group byte 1, everyone byte 2.
INSTANTIATE_TEST_SUITE_P(Rows, AccessRightsMapping,
                         ::testing::Values(RightsRow{0000, 0x000000}, RightsRow{0700, 0x000007},
                                           RightsRow{0100, 0x000001}, RightsRow{0400, 0x000002},
                                           RightsRow{0200, 0x000004}, RightsRow{0070, 0x000700},
                                           RightsRow{0010, 0x000100}, RightsRow{0007, 0x070000},
                                           RightsRow{0004, 0x020000}, RightsRow{0755, 0x030307},
                                           RightsRow{0750, 0x000307}, RightsRow{0777, 0x070707},
                                           RightsRow{0641, 0x010206}));

TEST(AccessRightsMapping, EveryModeRoundTripsAndForeignBitsAreIgnored) {
    for (unsigned mode = 0; mode <= 0777; ++mode) {
        ASSERT_EQ(mode,
                  vantrel::fm::mode_from_access_rights(vantrel::fm::access_rights_from_mode(mode)));
        // Special bits of the mode have no rights counterpart.
        ASSERT_EQ(vantrel::fm::access_rights_from_mode(mode),
                  vantrel::fm::access_rights_from_mode(mode | 07000));
    }
    // The caller's own rights, ownership and blank access never become mode bits.
    EXPECT_EQ(0u, vantrel::fm::mode_from_access_rights(0x97000000u | 0x10000000u | 0x00F8F8F8u));
}

}  // namespace

// ---------------------------------------------------------------- the calls, on real directories

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "FSTestSupport.h"
#include "TempDir.h"
#include "fm_child.h"
#include "vantrel/Files.h"

namespace {

namespace fs = std::filesystem;

using vtest::spec_of;

OSErr get_access(const fs::path& p, AccessParam* out) {
    FSSpec s = spec_of(p);
    HParamBlockRec pb{};
    pb.accessParam.ioNamePtr = s.name;
    pb.accessParam.ioVRefNum = s.vRefNum;
    pb.accessParam.ioDirID = s.parID;
    OSErr err = PBHGetDirAccessSync(&pb);
    *out = pb.accessParam;
    return err;
}

OSErr set_access(const fs::path& p, SInt32 owner, SInt32 group, SInt32 rights) {
    FSSpec s = spec_of(p);
    HParamBlockRec pb{};
    pb.accessParam.ioNamePtr = s.name;
    pb.accessParam.ioVRefNum = s.vRefNum;
    pb.accessParam.ioDirID = s.parID;
    pb.accessParam.ioACOwnID = owner;
    pb.accessParam.ioACGroupID = group;
    pb.accessParam.ioACAccess = rights;
    return PBHSetDirAccessSync(&pb);
}

// The caller's own rights and ownership, as an unprivileged user sees them.
TEST(DirAccessCalls, TheCallersOwnRightsAreThoseOfItsEffectiveUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make directories for another user";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
    vtest::TempDir dir("access");
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    const fs::path rootOwned = dir.mkdir("root-owned"), theirs = dir.mkdir("theirs");
    ASSERT_EQ(0, ::chmod(rootOwned.c_str(), 0751));  // others: search only
    ASSERT_EQ(0, ::chown(theirs.c_str(), nobody->pw_uid, nobody->pw_gid));
    ASSERT_EQ(0, ::chmod(theirs.c_str(), 0700));
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    auto result = fmtest::run_child(fmtest::Child::Plain, [&]() -> std::string {
        if (::setgid(gid) != 0 || ::setuid(uid) != 0) return "SKIP";
        std::string msg;
        AccessParam a{};
        OSErr err = get_access(rootOwned, &a);
        msg += fmtest::check(err == noErr, "get root-owned: " + std::to_string(err));
        msg += fmtest::check((UInt32(a.ioACAccess) & 0xFF070707u) == 0x01010307u,
                             "root-owned word " + std::to_string(a.ioACAccess));
        msg += fmtest::check((a.ioACUser & 0x80) != 0, "not the owner, says ioACUser");
        err = get_access(theirs, &a);
        msg += fmtest::check(err == noErr, "get own: " + std::to_string(err));
        msg += fmtest::check((UInt32(a.ioACAccess) & 0xFF070707u) == 0x87000007u,
                             "own word " + std::to_string(a.ioACAccess));
        // Rights on someone else's directory cannot be changed by us.
        err = set_access(rootOwned, 0, 0, 0x070707);
        msg += fmtest::check(err != noErr, "changed root's directory");
        // Our own, we may; an owner/group of -1 stays as it is.
        err = set_access(theirs, -1, -1, 0x000307);
        msg += fmtest::check(err == noErr, "set own: " + std::to_string(err));
        return msg;
    });
    ASSERT_TRUE(result.has_value());
    if (*result == "SKIP") GTEST_SKIP() << "cannot become nobody";
    EXPECT_EQ("", *result);
    struct stat st {};
    ASSERT_EQ(0, ::stat(rootOwned.c_str(), &st));
    EXPECT_EQ(0751u, st.st_mode & 07777) << "the refused change left the mode";
    ASSERT_EQ(0, ::stat(theirs.c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    EXPECT_EQ(uid, st.st_uid);
}

TEST(DirAccessCalls, GroupChangeKeepsSetgidAndFilesAreRefused) {
    vtest::TempDir dir("access");
    const fs::path d = dir.mkdir("d");
    ASSERT_EQ(0, ::chmod(d.c_str(), 02755));  // setgid directory
    AccessParam a{};
    ASSERT_EQ(noErr, get_access(d, &a));
    EXPECT_EQ(0x030307, a.ioACAccess & 0x00070707);
    // A new group: the setgid bit must survive the chown.
    ASSERT_EQ(noErr, set_access(d, -1, 65534, 0x000707));
    struct stat st {};
    ASSERT_EQ(0, ::stat(d.c_str(), &st));
    if (::geteuid() == 0) {
        EXPECT_EQ(65534u, st.st_gid);
    }
    EXPECT_EQ(02770u, st.st_mode & 07777);
    EXPECT_EQ(dirNFErr, set_access(dir.write("file"), -1, -1, 0));
}

}  // namespace
