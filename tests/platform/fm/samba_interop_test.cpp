// Our File Manager and a real Samba server on the same files, each reading
// what the other wrote. Samba runs with vfs_fruit's settings for Mac clients
// (fruit:metadata = netatalk, fruit:resource = file), and smbclient plays the
// Mac: a client sees a resource fork as the stream AFP_Resource, and Finder
// information inside the 60-byte stream AFP_AfpInfo ("AFP\0", a version, a
// file ID, a backup date, then the 32 bytes of Finder information at 16).
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DirNames.h"
#include "FSTestSupport.h"
#include "OSErrTesting.h"
#include "SambaServer.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "vantrel/Files.h"
#include "vantrel/Sidecars.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

using vtest::read_resource_fork;
using vtest::ref_of;
using vtest::write_resource_fork;

constexpr std::size_t kMiB = 1u << 20;
constexpr std::size_t kSidecarHeader = 0x52;  // up to the resource fork's data
constexpr std::size_t kAfpInfoSize = 60;
constexpr std::size_t kAfpFinderInfo = 16;  // where the 32 bytes start

// Bytes in which a fork shifted, cut or padded anywhere shows.
std::string pattern(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    std::uint32_t x = 2654435761u * (seed + 1);
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << got.size() << " bytes, expected " << want.size()
                                         << "; the first difference is at byte " << i;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(bytes[i]));
        out += b;
        if (i + 1 < bytes.size()) out += (i % 16 == 15) ? '\n' : ' ';
    }
    return out;
}

// The names smbclient's `ls` lists, "." and ".." left out. A line is two
// spaces, the name, its attributes, its size and a date of five words.
std::set<std::string> listed(const std::string& output) {
    std::set<std::string> names;
    std::istringstream in(output);
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("  ", 0) != 0) continue;
        std::size_t end = l.size();
        int words = 0;
        for (; words < 7 && end > 0; ++words) {  // date (5), size, attributes
            const std::size_t space = l.find_last_of(' ', end - 1);
            if (space == std::string::npos) break;
            end = l.find_last_not_of(' ', space);
            if (end == std::string::npos) break;
            ++end;
        }
        if (words != 7 || end <= 2) continue;
        const std::string name = l.substr(2, end - 2);
        if (name != "." && name != "..") names.insert(name);
    }
    return names;
}

class SambaInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        smb_.emplace(dir_.path());
        if (!smb_->running()) GTEST_SKIP() << "no Samba server: " << smb_->why_not();
    }
    void TearDown() override {
        if (smb_) {
            EXPECT_EQ(smb_->stop(), "");
        }
    }
    const vtest::SambaServer& smb() const { return *smb_; }
    fs::path share() const { return smb_->share(); }
    // What the client is served as `remote`; fails the test when it is not.
    std::string served(const std::string& remote) const {
        std::string bytes;
        const auto r = smb_->get(remote, &bytes);
        EXPECT_TRUE(r.ok()) << "get " << remote << ":\n" << r.output;
        return bytes;
    }
    void put(const std::string& bytes, const std::string& remote) const {
        const auto r = smb_->put(bytes, remote);
        ASSERT_TRUE(r.ok()) << "put " << remote << ":\n" << r.output;
    }

    vtest::TempDir dir_{"vt-smb"};
    std::optional<vtest::SambaServer> smb_;
};

// Forks of the sizes that matter to a store: one byte, a page, the size a
// real client's fork had, and past everything an extended attribute holds.
// Names with a space and one not in ASCII, which both sides must spell
// alike; one decomposed, as a Mac client sends it, which the API names
// composed; and the longest that leaves room for the sidecar's "._".
struct ForkRow {
    std::string apiName;   // as a program names it through the API
    std::string diskName;  // as it is on disk and as the client names it
    std::size_t size;
};
const ForkRow kForkRows[] = {
    {"one", "one", 1},
    {"page", "page", 4096},
    {"Read Me", "Read Me", 100000},
    {"caf\u00e9", "caf\u00e9", kMiB},
    {"r\u00e9sum\u00e9", "re\u0301sume\u0301", 3000},
    {std::string(253, 'L'), std::string(253, 'L'), 20},
};

// The reference of the row's file, made from its name as the API has it.
FSRef row_ref(const fs::path& dir, const ForkRow& row) {
    const FSRef parent = ref_of(dir);
    const std::u16string name = vtest::u16(row.apiName);
    FSRef ref{};
    EXPECT_OSERR(
        FSMakeFSRefUnicode(&parent, name.size(), vtest::uc(name), kTextEncodingUnknown, &ref),
        noErr)
        << " for " << row.apiName;
    return ref;
}

TEST_F(SambaInterop, ForkWrittenHereIsServedAsAfpResource) {
    for (std::size_t i = 0; i < std::size(kForkRows); ++i) {
        const ForkRow& row = kForkRows[i];
        SCOPED_TRACE(row.diskName);
        vtest::write_file(share() / row.diskName, "data of " + row.diskName);
        ASSERT_OSERR(write_resource_fork(row_ref(share(), row), pattern(row.size, i)), noErr);
    }
    for (std::size_t i = 0; i < std::size(kForkRows); ++i) {
        const ForkRow& row = kForkRows[i];
        SCOPED_TRACE(row.diskName);
        EXPECT_TRUE(same_bytes(served(row.diskName + ":AFP_Resource"), pattern(row.size, i)));
        EXPECT_EQ(served(row.diskName), "data of " + row.diskName);
    }
}

TEST_F(SambaInterop, ForkPutByAClientIsReadHere) {
    for (std::size_t i = 0; i < std::size(kForkRows); ++i) {
        const ForkRow& row = kForkRows[i];
        SCOPED_TRACE(row.diskName);
        put("data of " + row.diskName, row.diskName);
        put(pattern(row.size, i + 7), row.diskName + ":AFP_Resource");

        const FSRef ref = row_ref(share(), row);
        std::string fork;
        ASSERT_OSERR(read_resource_fork(ref, &fork), noErr);
        EXPECT_TRUE(same_bytes(fork, pattern(row.size, i + 7)));
        FSCatalogInfo info{};
        ASSERT_OSERR(FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes | kFSCatInfoDataSizes, &info,
                                      nullptr, nullptr, nullptr),
                     noErr);
        EXPECT_EQ(info.rsrcLogicalSize, row.size);
        EXPECT_GE(info.rsrcPhysicalSize, info.rsrcLogicalSize);
        EXPECT_EQ(info.dataLogicalSize, ("data of " + row.diskName).size());
    }
}

// The sidecar a client's fork lands in and the one we write for the same
// fork are the same bytes: a Mac client, Netatalk or Samba reading ours
// finds what its own writer would have left.
TEST_F(SambaInterop, SidecarIsTheOneSambaWrites) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{100000}}) {
        SCOPED_TRACE(size);
        const std::string fork = pattern(size, 3);
        vtest::write_file(share() / "peer", "x");
        vtest::write_file(share() / "ours", "x");
        put(fork, "peer:AFP_Resource");
        ASSERT_OSERR(write_resource_fork(ref_of(share() / "ours"), fork), noErr);

        const std::string theirs = vtest::read_file(share() / "._peer");
        const std::string mine = vtest::read_file(share() / "._ours");
        ASSERT_EQ(theirs.size(), kSidecarHeader + size) << "Samba's sidecar is not as expected";
        EXPECT_EQ(mine.substr(0, kSidecarHeader), theirs.substr(0, kSidecarHeader))
            << "ours:\n"
            << hex(mine.substr(0, kSidecarHeader)) << "\nSamba's:\n"
            << hex(theirs.substr(0, kSidecarHeader));
        EXPECT_TRUE(same_bytes(mine, theirs));
        fs::remove(share() / "peer");
        fs::remove(share() / "._peer");
        fs::remove(share() / "ours");
        fs::remove(share() / "._ours");
    }
}

// Finder information set on one side is seen on the other, all 32 bytes
// (Finder info then extended Finder info), for files and folders, and with
// a sidecar beside the file whose own copy of the Finder info is older.
struct FinderRow {
    const char* what;
    bool folder;
    bool forkFirst;     // the file has a fork (a sidecar) already
    bool clientWrites;  // the client sets it and we read it, or the reverse
};
constexpr FinderRow kFinderRows[] = {
    {"file, set here", false, false, false},
    {"folder, set here", true, false, false},
    {"file with a fork, set here", false, true, false},
    {"file, set by the client", false, false, true},
    {"folder, set by the client", true, false, true},
    {"file with a fork, set by the client", false, true, true},
};

// The 32 bytes on the wire and on disk (big-endian) and the same values in
// the platform's records (host order).
std::string file_finder_disk() {
    return std::string("TEXTttxt\x24\x00\x00\x0c\xff\xde\x00\x00", 16) +
           std::string("\x00\x00\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x01\x02\x03\x04", 16);
}
void file_finder_host(UInt8 info[16], UInt8 xinfo[16]) {
    const FileInfo fi{'TEXT', 'ttxt', kHasBundle | kHasCustomIcon, {12, -34}, 0};
    const ExtendedFileInfo xi{{0, 0, 0, 0}, 0x0004, 0, 0x01020304};
    std::memcpy(info, &fi, 16);
    std::memcpy(xinfo, &xi, 16);
}
std::string folder_finder_disk() {
    return std::string("\x00\x0a\x00\x14\x01\x2c\x01\x90\x04\x00\x00\x05\x00\x06\x00\x00", 16) +
           std::string("\x00\x07\x00\x08\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x63", 16);
}
void folder_finder_host(UInt8 info[16], UInt8 xinfo[16]) {
    const FolderInfo fi{{10, 20, 300, 400}, kHasCustomIcon, {5, 6}, 0};
    const ExtendedFolderInfo xi{{7, 8}, 0, 0x0100, 0, 99};
    std::memcpy(info, &fi, 16);
    std::memcpy(xinfo, &xi, 16);
}

std::string afp_info(const std::string& finder) {
    return std::string("AFP\0\0\0\1\0\0\0\0\0\x80\0\0\0", 16) + finder + std::string(12, '\0');
}

TEST_F(SambaInterop, FinderInfoSetOnOneSideIsSeenOnTheOther) {
    for (std::size_t i = 0; i < std::size(kFinderRows); ++i) {
        const FinderRow& row = kFinderRows[i];
        SCOPED_TRACE(row.what);
        const std::string name = "item" + std::to_string(i);
        const fs::path item = share() / name;
        if (row.folder) {
            fs::create_directory(item);
        } else {
            vtest::write_file(item, "data");
        }
        if (row.forkFirst) put(pattern(5000, i), name + ":AFP_Resource");
        const std::string disk = row.folder ? folder_finder_disk() : file_finder_disk();
        UInt8 info[16], xinfo[16];
        (row.folder ? folder_finder_host : file_finder_host)(info, xinfo);

        if (row.clientWrites) {
            put(afp_info(disk), name + ":AFP_AfpInfo");
            const FSRef ref = ref_of(item);
            FSCatalogInfo cat{};
            ASSERT_OSERR(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &cat,
                                          nullptr, nullptr, nullptr),
                         noErr);
            EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(cat.finderInfo), 16)),
                      hex(std::string(reinterpret_cast<char*>(info), 16)));
            EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(cat.extFinderInfo), 16)),
                      hex(std::string(reinterpret_cast<char*>(xinfo), 16)));
        } else {
            const FSRef ref = ref_of(item);
            FSCatalogInfo cat{};
            std::memcpy(cat.finderInfo, info, 16);
            std::memcpy(cat.extFinderInfo, xinfo, 16);
            ASSERT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &cat),
                         noErr);
            const std::string afp = served(name + ":AFP_AfpInfo");
            ASSERT_EQ(afp.size(), kAfpInfoSize) << hex(afp);
            EXPECT_EQ(afp.substr(0, 4), std::string("AFP\0", 4));
            EXPECT_EQ(hex(afp.substr(kAfpFinderInfo, 32)), hex(disk));
            if (row.forkFirst) {
                // The copy in the sidecar Samba wrote follows, for those
                // who read the "._" file itself.
                EXPECT_EQ(hex(vtest::sidecar_entry(item, 9).substr(0, 32)), hex(disk));
            }
        }
        if (row.forkFirst) {
            EXPECT_TRUE(same_bytes(served(name + ":AFP_Resource"), pattern(5000, i)));
        }
    }
}

// A file with a fork moved, renamed and deleted here leaves nothing on the
// server: the fork is served at the new name only, no sidecar stays on
// disk, and a file a client makes later under the old names has no fork.
struct MoveRow {
    const char* what;
    bool clientPutFork;  // Samba wrote the sidecar, or we did
};
constexpr MoveRow kMoveRows[] = {
    {"fork written here", false},
    {"fork put by the client", true},
};

TEST_F(SambaInterop, MoveRenameAndDeleteLeaveNothingBehind) {
    for (std::size_t i = 0; i < std::size(kMoveRows); ++i) {
        const MoveRow& row = kMoveRows[i];
        SCOPED_TRACE(row.what);
        const fs::path from = share() / ("from" + std::to_string(i));
        const fs::path to = share() / ("to" + std::to_string(i));
        const std::string fromName = from.filename(), toName = to.filename();
        fs::create_directory(from);
        fs::create_directory(to);
        const fs::path file = vtest::write_file(from / "app", "data");
        const std::string fork = pattern(100000, i);
        if (row.clientPutFork) {
            put(fork, fromName + "/app:AFP_Resource");
        } else {
            ASSERT_OSERR(write_resource_fork(ref_of(file), fork), noErr);
        }
        put(afp_info(file_finder_disk()), fromName + "/app:AFP_AfpInfo");

        FSRef ref = ref_of(file), dest = ref_of(to), moved{}, renamed{};
        ASSERT_OSERR(FSMoveObject(&ref, &dest, &moved), noErr);
        const std::u16string newName = vtest::u16("Renamed App");
        ASSERT_OSERR(FSRenameUnicode(&moved, newName.size(), vtest::uc(newName),
                                     kTextEncodingUnknown, &renamed),
                     noErr);

        EXPECT_EQ(vtest::names_on_disk(from), std::set<std::string>{});
        EXPECT_EQ(listed(smb().client("ls " + fromName + "/*").output), std::set<std::string>{});
        EXPECT_EQ(listed(smb().client("ls " + toName + "/*").output),
                  std::set<std::string>{"Renamed App"});
        EXPECT_TRUE(same_bytes(served(toName + "/Renamed App:AFP_Resource"), fork));
        EXPECT_EQ(hex(served(toName + "/Renamed App:AFP_AfpInfo").substr(kAfpFinderInfo, 32)),
                  hex(file_finder_disk()));
        const auto oldPlace = smb().client("allinfo " + fromName + "/app");
        EXPECT_NE(oldPlace.output.find("NT_STATUS_OBJECT_NAME_NOT_FOUND"), std::string::npos)
            << oldPlace.output;

        ASSERT_OSERR(FSDeleteObject(&renamed), noErr);
        EXPECT_EQ(vtest::names_on_disk(to), std::set<std::string>{});
        EXPECT_EQ(listed(smb().client("ls " + toName + "/*").output), std::set<std::string>{});

        // New files under both old names: neither may find a fork.
        for (const std::string& again : {fromName + "/app", toName + "/Renamed App"}) {
            put("new", again);
            const auto info = smb().client("allinfo \"" + again + "\"");
            EXPECT_TRUE(info.ok()) << info.output;
            EXPECT_EQ(info.output.find("AFP_Resource"), std::string::npos) << info.output;
        }
    }
}

}  // namespace

namespace {

// Samba set up to keep Finder information in the AfpInfo stream
// (fruit:metadata = stream), its forks in "._" files or in a stream.
struct StreamRow {
    const char* what;
    const char* resource;  // fruit:resource
    const char* layout;    // VANTREL_MAC_LAYOUT for the volume
};
constexpr StreamRow kStreamRows[] = {
    {"fruit:metadata = stream, fruit:resource = file", "file", "stream+file"},
    {"fruit:metadata = stream, fruit:resource = stream", "stream", "stream"},
};

}  // namespace

// Finder information written here in the volume's layout is what Samba
// serves, and what a client puts through Samba is what is read here, with
// no setting for the reading.
TEST(SambaStreamLayouts, FinderInformationRoundTripsThroughTheAfpInfoStream) {
    for (const StreamRow& row : kStreamRows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("vt-smb");
        vtest::SambaServer smb(dir.path(), 0, {"stream", row.resource});
        if (!smb.running()) GTEST_SKIP() << "no Samba server: " << smb.why_not();
        const std::string disk = file_finder_disk();
        UInt8 info[16], xinfo[16];
        file_finder_host(info, xinfo);

        // Written here.
        ::setenv("VANTREL_MAC_LAYOUT", row.layout, 1);
        const fs::path mine = smb.share() / "mine";
        vtest::write_file(mine, "data");
        FSRef ref = ref_of(mine);
        FSCatalogInfo cat{};
        std::memcpy(cat.finderInfo, info, 16);
        std::memcpy(cat.extFinderInfo, xinfo, 16);
        ASSERT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &cat),
                     noErr);
        std::string afp;
        const auto got = smb.get("mine:AFP_AfpInfo", &afp);
        ASSERT_TRUE(got.ok()) << got.output;
        ASSERT_EQ(afp.size(), kAfpInfoSize) << hex(afp);
        EXPECT_EQ(hex(afp.substr(0, 8)), hex(afp_info(disk).substr(0, 8)));
        EXPECT_EQ(hex(afp.substr(kAfpFinderInfo, 32)), hex(disk));

        // Put by a client, read here with no setting.
        ::unsetenv("VANTREL_MAC_LAYOUT");
        const fs::path theirs = smb.share() / "theirs";
        ASSERT_TRUE(smb.put("data", "theirs").ok());
        const auto put = smb.put(afp_info(disk), "theirs:AFP_AfpInfo");
        ASSERT_TRUE(put.ok()) << put.output;
        // streams_xattr keeps the stream with one NUL after it.
        std::string value(128, '\0');
        const ssize_t n = ::lgetxattr(theirs.c_str(), "user.DosStream.AFP_AfpInfo:$DATA",
                                      value.data(), value.size());
        ASSERT_GT(n, 0) << std::strerror(errno);
        EXPECT_EQ(hex(value.substr(0, std::size_t(n))), hex(afp_info(disk) + '\0'));
        const FSRef tref = ref_of(theirs);
        FSCatalogInfo back{};
        ASSERT_OSERR(FSGetCatalogInfo(&tref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &back,
                                      nullptr, nullptr, nullptr),
                     noErr);
        EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(back.finderInfo), 16)),
                  hex(std::string(reinterpret_cast<char*>(info), 16)));
        EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(back.extFinderInfo), 16)),
                  hex(std::string(reinterpret_cast<char*>(xinfo), 16)));
        EXPECT_EQ(smb.stop(), "");
    }
}

// A tree a Mac copied to a volume without extended attributes, "._" files
// beside each file, merged into the share's layout, or a file of another
// server's layout converted to it: Samba then serves each file's type,
// creator, flags, fork and attributes as the Mac left them.
TEST(SambaStreamLayouts, DotUnderscoreFilesMergedAreServedAsTheMacLeftThem) {
    struct Row {
        const char* metadata;  // fruit:metadata
        const char* resource;  // fruit:resource
        const char* layout;    // VANTREL_MAC_LAYOUT for the volume
        const char* from;      // null: a macOS "._" file merged; else the layout converted from
    };
    for (const Row& row :
         {Row{"netatalk", "file", "netatalk", nullptr},
          Row{"stream", "file", "stream+file", nullptr}, Row{"stream", "stream", "stream", nullptr},
          Row{"stream", "stream", "stream", "netatalk"},
          Row{"stream", "file", "stream+file", "stream"},
          Row{"netatalk", "file", "netatalk", "stream"}}) {
        SCOPED_TRACE(std::string(row.layout) + " from " + (row.from ? row.from : "macOS"));
        vtest::TempDir dir("vt-smb");
        vtest::SambaServer smb(dir.path(), 0, {row.metadata, row.resource});
        if (!smb.running()) GTEST_SKIP() << "no Samba server: " << smb.why_not();
        ::setenv("VANTREL_MAC_LAYOUT", row.layout, 1);
        const std::string disk = file_finder_disk();
        const std::string fork = pattern(3000, 5);
        const std::string quarantine = "0083;5f3a1b2c;Safari;";
        const fs::path f = smb.share() / "copied";
        vtest::write_file(f, "data");
        if (row.from == nullptr) {
            vtest::write_bytes(
                vtest::sidecar_path(f),
                vtest::macos_sidecar_bytes(disk, {{"com.apple.quarantine", quarantine}}, fork));
            FSRef share = ref_of(smb.share());
            VantrelDiskName name{};
            name.length = 8;
            std::memcpy(name.bytes, "._copied", 8);
            ASSERT_OSERR(
                VantrelFSMergeDotUnderscore(&share, &name, kVantrelMergeKeepMostRecent, 0, nullptr),
                noErr);
        } else {
            // Written here as the old server's layout keeps it.
            ::setenv("VANTREL_MAC_LAYOUT", row.from, 1);
            FSRef ref = ref_of(f);
            FSCatalogInfo cat{};
            UInt8 info[16], xinfo[16];
            file_finder_host(info, xinfo);
            std::memcpy(cat.finderInfo, info, 16);
            std::memcpy(cat.extFinderInfo, xinfo, 16);
            ASSERT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &cat),
                         noErr);
            const std::string q = quarantine + '\0';
            ASSERT_EQ(::lsetxattr(f.c_str(), "user.DosStream.com.apple.quarantine:$DATA", q.data(),
                                  q.size(), 0),
                      0);
            if (std::string(row.from) == "stream") {
                const std::string value = fork + '\0';
                ASSERT_EQ(::lsetxattr(f.c_str(), "user.DosStream.AFP_Resource:$DATA", value.data(),
                                      value.size(), 0),
                          0);
            } else {
                vtest::write_sidecar(f, fork);
            }
            VantrelMacLayout to = kVantrelMacLayoutNetatalk;
            if (std::string(row.layout) == "stream") to = kVantrelMacLayoutStream;
            if (std::string(row.layout) == "stream+file") to = kVantrelMacLayoutStreamFile;
            VantrelConvertReport report{};
            ASSERT_OSERR(VantrelFSConvertMacLayout(&ref, to, 0, &report), noErr);
            EXPECT_NE(report.moved, 0u);
        }
        ::unsetenv("VANTREL_MAC_LAYOUT");

        std::string afp;
        const auto a = smb.get("copied:AFP_AfpInfo", &afp);
        ASSERT_TRUE(a.ok()) << a.output;
        ASSERT_EQ(afp.size(), kAfpInfoSize) << hex(afp);
        EXPECT_EQ(hex(afp.substr(kAfpFinderInfo, 32)), hex(disk));
        std::string served;
        const auto r = smb.get("copied:AFP_Resource", &served);
        ASSERT_TRUE(r.ok()) << r.output;
        EXPECT_TRUE(same_bytes(served, fork));
        std::string q;
        const auto g = smb.get("copied:com.apple.quarantine", &q);
        ASSERT_TRUE(g.ok()) << g.output;
        EXPECT_EQ(q, quarantine);
        EXPECT_EQ(smb.stop(), "");
    }
}

// A fork a client puts on a share with fruit:resource = stream lives in the
// AFP_Resource stream: it is read here with no setting, its size is the
// catalogue's, and emptying it here leaves neither stream nor sidecar.
TEST(SambaStreamLayouts, AForkAClientPutInTheResourceStreamIsReadHere) {
    vtest::TempDir dir("vt-smb");
    vtest::SambaServer smb(dir.path(), 0, {"stream", "stream"});
    if (!smb.running()) GTEST_SKIP() << "no Samba server: " << smb.why_not();
    const fs::path theirs = smb.share() / "theirs";
    ASSERT_TRUE(smb.put("data", "theirs").ok());
    for (std::size_t size : {std::size_t(1), std::size_t(3000)}) {  // ext4 holds about 4 KiB
        SCOPED_TRACE(size);
        const std::string fork = pattern(size, std::uint32_t(size));
        const auto put = smb.put(fork, "theirs:AFP_Resource");
        ASSERT_TRUE(put.ok()) << put.output;
        const FSRef ref = ref_of(theirs);
        std::string got;
        ASSERT_OSERR(read_resource_fork(ref, &got), noErr);
        EXPECT_TRUE(same_bytes(got, fork));
        FSCatalogInfo info{};
        ASSERT_OSERR(FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes, &info, nullptr, nullptr, nullptr),
                     noErr);
        EXPECT_EQ(info.rsrcLogicalSize, size);
    }
    const FSRef ref = ref_of(theirs);
    {
        const HFSUniStr255 rsrc = vtest::resource_fork_name();
        FSIORefNum fork = 0;
        ASSERT_OSERR(FSOpenFork(&ref, rsrc.length, rsrc.unicode, fsRdWrPerm, &fork), noErr);
        EXPECT_OSERR(FSSetForkSize(fork, fsFromStart, 0), noErr);
        ASSERT_OSERR(FSCloseFork(fork), noErr);
    }
    std::string got = "?";
    ASSERT_OSERR(read_resource_fork(ref, &got), noErr);
    EXPECT_EQ(got, "");
    std::string value(16, '\0');
    EXPECT_LT(::lgetxattr(theirs.c_str(), "user.DosStream.AFP_Resource:$DATA", value.data(),
                          value.size()),
              0);
    EXPECT_FALSE(fs::exists(vtest::sidecar_path(theirs)));
    EXPECT_EQ(smb.stop(), "");
}
