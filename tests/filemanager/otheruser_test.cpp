// The utilities as another user (nobody): what the mode and ACLs let that
// user do, and nothing lost where they forbid reading.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Child.h"
#include "TempDir.h"
#include "vantrel/FSUtilities.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char* kRecordAttr = "user.org.netatalk.Metadata";

// Runs `body` as nobody in a child; nullopt when this process cannot.
std::optional<std::string> as_nobody(const std::function<std::string()>& body) {
    return vtest::run_as_nobody(body);
}

std::string xattr(const fs::path& p, const char* name) {
    char buf[4096];
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf, sizeof buf);
    return n < 0 ? "<absent>" : std::string(buf, static_cast<std::size_t>(n));
}

// A record another program wrote: the standard entries with a comment,
// dates and the bundle flag, and one entry nobody here knows.
std::string foreign_record() {
    std::string r;
    auto put32 = [&](std::uint32_t v) {
        for (int i = 3; i >= 0; --i) r += static_cast<char>(v >> (8 * i));
    };
    put32(0x00051607);
    put32(0x00020000);
    r.append(16, '\0');
    r += '\0';
    r += '\4';  // four entries
    const std::uint32_t base = 26 + 4 * 12;
    put32(9), put32(base), put32(32);               // Finder info
    put32(4), put32(base + 32), put32(12);          // comment
    put32(8), put32(base + 44), put32(16);          // dates
    put32(0x7A7A7A7A), put32(base + 60), put32(5);  // unknown
    std::string fi(32, '\0');
    fi.replace(0, 8, "TEXTttxt");
    fi[8] = 0x20;  // kHasBundle, high byte of the flags
    r += fi;
    r += "a comment!!!";
    for (std::uint32_t d : {100000u, 200000u, 300000u, 400000u}) put32(d);
    r += "other";
    return r;
}

}  // namespace

// With a file of mode 0200, nobody may write but not read: a record that
// cannot be read must not be replaced by a fresh one.
TEST(OtherUser, ARecordThatCannotBeReadIsNeverOverwritten) {
    if (!vtest::can_run_as_nobody()) GTEST_SKIP() << "needs root to become nobody";
    vtest::TempDir dir;
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    const fs::path f = dir.write("f", "data");
    const std::string record = foreign_record();
    ASSERT_EQ(::lsetxattr(f.c_str(), kRecordAttr, record.data(), record.size(), 0), 0);
    ASSERT_EQ(::chown(f.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(f.c_str(), 0200), 0);
    auto msg = as_nobody([&]() -> std::string {
        FSRef ref{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(f.c_str()), &ref, nullptr) != noErr)
            return "no reference";
        std::string bad;
        if (OSErr e = FSChangeCreatorType(&ref, 'MACS', 'APPL'); e == noErr)
            bad += "FSChangeCreatorType gave noErr; ";
        FSCatalogInfo info{};
        info.createDate.lowSeconds = 12345;
        if (OSErr e = FSSetCatalogInfo(&ref, kFSCatInfoCreateDate, &info); e == noErr)
            bad += "FSSetCatalogInfo (creation date) gave noErr; ";
        return bad;
    });
    if (!msg) GTEST_SKIP() << "needs root to become nobody";
    EXPECT_EQ(*msg, "");
    EXPECT_EQ(xattr(f, kRecordAttr), record) << "the record is as it was";
    EXPECT_EQ(xattr(f, "user.org.vantrel.Dates"), "<absent>");
}

// The user privileges nobody gets for objects of root's: from the mode for
// another user, and from an ACL where it grants what the mode denies.
struct PrivilegeRow {
    const char* what;
    bool dir;
    mode_t mode;
    const char* acl;   // setfacl -m argument, or nullptr
    UInt8 privileges;  // expected for nobody
};

void PrintTo(const PrivilegeRow& row, std::ostream* os) {
    *os << row.what;
}

class NobodysPrivileges : public ::testing::TestWithParam<PrivilegeRow> {};

TEST_P(NobodysPrivileges, ComeFromWhatTheKernelAllows) {
    const PrivilegeRow& row = GetParam();
    if (row.acl != nullptr && std::system("command -v setfacl >/dev/null") != 0)
        GTEST_SKIP() << "setfacl (Debian acl) is not installed";
    vtest::TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    const fs::path p = row.dir ? dir.mkdir("obj") : dir.write("obj", "data");
    ASSERT_EQ(::chmod(p.c_str(), row.mode), 0);
    if (row.acl != nullptr) {
        const std::string cmd = std::string("setfacl -m ") + row.acl + " '" + p.string() + "'";
        if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "no ACLs on this file system";
    }
    auto msg = as_nobody([&]() -> std::string {
        FSRef ref{};
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &ref, nullptr) != noErr)
            return "no reference";
        UInt8 privileges = 0xEE;
        if (OSErr e = FSGetUserPrivilegesPermissions(&ref, &privileges, nullptr))
            return "FSGetUserPrivilegesPermissions gave " + std::to_string(e);
        if (privileges != row.privileges)
            return "privileges " + std::to_string(privileges) + ", not " +
                   std::to_string(row.privileges);
        if (row.dir) {
            SInt32 owner, group, rights;
            if (OSErr e = FSGetDirAccess(&ref, &owner, &group, &rights))
                return "FSGetDirAccess gave " + std::to_string(e);
        }
        return "";
    });
    if (!msg) GTEST_SKIP() << "needs root to become nobody";
    EXPECT_EQ(*msg, "");
}

constexpr UInt8 kNotOwner = kioACUserNotOwnerMask;
constexpr UInt8 kNoSearch = kioACUserNoSeeFolderMask;
constexpr UInt8 kNoRead = kioACUserNoSeeFilesMask;
constexpr UInt8 kNoWrite = kioACUserNoMakeChangesMask;

INSTANTIATE_TEST_SUITE_P(
    Objects, NobodysPrivileges,
    ::testing::Values(
        PrivilegeRow{"a file of mode 0640", false, 0640, nullptr,
                     kNotOwner | kNoSearch | kNoRead | kNoWrite},
        PrivilegeRow{"a file of mode 0604", false, 0604, nullptr, kNotOwner | kNoSearch | kNoWrite},
        PrivilegeRow{"a file of mode 0606", false, 0606, nullptr, kNotOwner | kNoSearch},
        PrivilegeRow{"a folder of mode 0701", true, 0701, nullptr, kNotOwner | kNoRead | kNoWrite},
        PrivilegeRow{"a folder of mode 0700 with u:nobody:rwx", true, 0700, "u:nobody:rwx",
                     kNotOwner},
        PrivilegeRow{"a file of mode 0600 with u:nobody:r", false, 0600, "u:nobody:r",
                     kNotOwner | kNoSearch | kNoWrite},
        // Where the mode's bits for others grant what an ACL takes back.
        PrivilegeRow{"a folder of mode 0717 with u:nobody:r", true, 0717, "u:nobody:r",
                     kNotOwner | kNoSearch | kNoWrite},
        PrivilegeRow{"a file of mode 0666 with u:nobody:r", false, 0666, "u:nobody:r",
                     kNotOwner | kNoSearch | kNoWrite}),
    [](const ::testing::TestParamInfo<PrivilegeRow>& info) {
        std::string n;
        for (const char* c = info.param.what; *c; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
        return n;
    });
