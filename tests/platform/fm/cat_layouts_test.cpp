// Mac metadata in layouts other programs leave: a "._NAME" file macOS
// wrote itself, with its ATTR block of extended attributes, on a file that
// has no record. Its Finder information is what the file shows, and every
// change through the layer keeps its attributes and what it says.
#include "fm/cat_layouts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FSTestSupport.h"
#include "FaultSweep.h"
#include "OSErrTesting.h"
#include "Sidecar.h"
#include "Snapshot.h"
#include "TempDir.h"
#include "fm/cat_appledouble.h"
#include "fm/ref_node.h"
#include "vantrel/Files.h"
#include "vantrel/Sidecars.h"
#include "vantrel/TextEncoding.h"

namespace fs = std::filesystem;

namespace {

using vtest::MacAttr;
using vtest::macos_sidecar_bytes;
using vtest::raw_sidecar;
using vtest::read_resource_fork;
using vtest::ref_of;
using vtest::sidecar_path;
using vtest::write_bytes;
using vtest::write_resource_fork;

// Finder information as a Mac keeps it on disk: type, creator, flags
// (kHasBundle | kIsStationery), a location, then extended information.
std::string mac_finder_info() {
    std::string fi(32, '\0');
    std::memcpy(fi.data(), "TEXTttxt", 8);
    fi[8] = 0x28;
    fi[10] = 0x01;  // location
    fi[11] = 0x02;
    fi[24] = 0x55;  // extended: put-away folder
    return fi;
}

const std::vector<MacAttr> kAttrs = {
    {"com.apple.quarantine", "0083;5f3a1b2c;Safari;", 0},
    {"com.apple.metadata:kMDItemWhereFroms", std::string("bplist00\xa1\x01_\x10\x13", 13), 0},
    {"com.apple.FinderInfo.private", std::string(7, '\x07'), 3}};

constexpr std::size_t kFinderEnd = 0x32 + 3634;  // where the fork starts

FileInfo shown_finder_info(const fs::path& p, ExtendedFileInfo* x = nullptr) {
    FSRef ref = ref_of(p);
    FSCatalogInfo info{};
    EXPECT_OSERR(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &info,
                                  nullptr, nullptr, nullptr),
                 noErr);
    FileInfo fi;
    std::memcpy(&fi, info.finderInfo, sizeof fi);
    if (x != nullptr) std::memcpy(x, info.extFinderInfo, sizeof *x);
    return fi;
}

// The attributes the ATTR block of `p`'s "._" file holds, as the codec
// reads them from the bytes on disk.
std::vector<MacAttr> attrs_on_disk(const fs::path& p) {
    const std::string s = raw_sidecar(p);
    const auto* b = reinterpret_cast<const std::uint8_t*>(s.data());
    vantrel::fm::ad::Header h;
    std::vector<MacAttr> out;
    if (vantrel::fm::ad::decode({b, s.size()}, s.size(), vantrel::fm::ad::kSidecar, &h) !=
            vantrel::fm::ad::Error::None ||
        h.find(9) == nullptr)
        return {{"<not a sidecar>", "", 0}};
    vantrel::fm::ad::AttrBlock block;
    if (vantrel::fm::ad::decode_attrs({b, s.size()}, *h.find(9), &block) !=
        vantrel::fm::ad::Error::None)
        return {{"<no block>", "", 0}};
    for (const auto& a : block.attrs) out.push_back({a.name, a.value, a.flags});
    return out;
}

bool same(const std::vector<MacAttr>& a, const std::vector<MacAttr>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].value != b[i].value || a[i].flags != b[i].flags)
            return false;
    return true;
}

std::string names(const std::vector<MacAttr>& a) {
    std::string s;
    for (const MacAttr& x : a) s += x.name + "(" + std::to_string(x.value.size()) + ") ";
    return s;
}

OSErr set_comment(const fs::path& p, const std::string& text) {
    FSSpec spec = vtest::spec_of(p);
    DTPBRec pb{};
    pb.ioVRefNum = spec.vRefNum;
    if (OSErr e = PBDTGetPath(&pb)) return e;
    pb.ioNamePtr = spec.name;
    pb.ioDirID = spec.parID;
    pb.ioDTBuffer = const_cast<char*>(text.data());
    pb.ioDTReqCount = SInt32(text.size());
    return PBDTSetCommentSync(&pb);
}

}  // namespace

// A file with no record whose "._" file macOS wrote: Finder information
// from it, whatever changes; its attributes and fork through every change.
TEST(MacOSDotUnderscore, FinderInformationAndAttributesLastThroughEveryChange) {
    struct Row {
        const char* what;
        // Makes the change; the name the file has after it.
        std::function<fs::path(const fs::path& dir, const fs::path& f)> change;
        OSType type = 'TEXT';  // what the file shows after it
        OSType creator = 'ttxt';
        std::string fork = "rsrc";  // its resource fork after it
    };
    const std::vector<Row> rows = {
        {"nothing: read as it is", [](const fs::path&, const fs::path& f) { return f; }},
        {"a creation date set",
         [](const fs::path&, const fs::path& f) {
             FSRef ref = ref_of(f);
             FSCatalogInfo info{};
             info.createDate.lowSeconds = 3000000000u;
             EXPECT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoCreateDate, &info), noErr);
             return f;
         }},
        {"a comment set",
         [](const fs::path&, const fs::path& f) {
             EXPECT_OSERR(set_comment(f, "a note"), noErr);
             return f;
         }},
        {"extended Finder information alone set",
         [](const fs::path&, const fs::path& f) {
             FSRef ref = ref_of(f);
             FSCatalogInfo info{};
             ExtendedFileInfo x{};
             x.putAwayFolderID = 77;
             std::memcpy(info.extFinderInfo, &x, sizeof x);
             EXPECT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderXInfo, &info), noErr);
             return f;
         }},
        {"the type changed, the creator kept",
         [](const fs::path&, const fs::path& f) {
             FSRef ref = ref_of(f);
             FSCatalogInfo info{};
             EXPECT_OSERR(
                 FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr),
                 noErr);
             FileInfo fi;
             std::memcpy(&fi, info.finderInfo, sizeof fi);
             fi.fileType = 'APPL';
             std::memcpy(info.finderInfo, &fi, sizeof fi);
             EXPECT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
             return f;
         },
         'APPL'},
        {"the fork rewritten longer",
         [](const fs::path&, const fs::path& f) {
             EXPECT_OSERR(write_resource_fork(ref_of(f), "a longer fork"), noErr);
             return f;
         },
         'TEXT', 'ttxt', "a longer fork"},
        {"the fork emptied",
         [](const fs::path&, const fs::path& f) {
             FSRef ref = ref_of(f);
             const HFSUniStr255 rn = vtest::resource_fork_name();
             FSIORefNum fork = 0;
             EXPECT_OSERR(FSOpenFork(&ref, rn.length, rn.unicode, fsRdWrPerm, &fork), noErr);
             EXPECT_OSERR(FSSetForkSize(fork, fsFromStart, 0), noErr);
             EXPECT_OSERR(FSCloseFork(fork), noErr);
             return f;
         },
         'TEXT', 'ttxt', ""},
        {"renamed",
         [](const fs::path& dir, const fs::path& f) {
             FSRef ref = ref_of(f);
             const std::u16string to = vtest::u16("renamed");
             EXPECT_OSERR(
                 FSRenameUnicode(&ref, to.size(), vtest::uc(to), kTextEncodingUnknown, nullptr),
                 noErr);
             return dir / "renamed";
         }},
        {"copied: the copy",
         [](const fs::path& dir, const fs::path& f) {
             const fs::path to = dir / "to";
             fs::create_directory(to);
             EXPECT_OSERR(vtest::copy_file_into(f, to, "copy"), noErr);
             return to / "copy";
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("vt-macos");
        const fs::path f = dir.write("Read Me", "the data");
        write_bytes(sidecar_path(f), macos_sidecar_bytes(mac_finder_info(), kAttrs, "rsrc"));
        const std::string before = raw_sidecar(f);
        const fs::path now = row.change(dir.path(), f);
        ExtendedFileInfo x{};
        const FileInfo fi = shown_finder_info(now, &x);
        EXPECT_EQ(fi.fileType, row.type);
        EXPECT_EQ(fi.fileCreator, row.creator);
        EXPECT_EQ(fi.finderFlags, 0x2800) << "flags as the Mac set them";
        EXPECT_EQ(fi.location.v, 0x0102);
        const std::vector<MacAttr> kept = attrs_on_disk(now);
        EXPECT_TRUE(same(kept, kAttrs)) << names(kept);
        std::string fork;
        EXPECT_OSERR(read_resource_fork(ref_of(now), &fork), noErr);
        EXPECT_EQ(fork, row.fork);
        // The ATTR block's bytes themselves are as macOS left them.
        const std::string after = raw_sidecar(now);
        ASSERT_GE(after.size(), kFinderEnd);
        EXPECT_EQ(after.substr(0x52, kFinderEnd - 0x52), before.substr(0x52, kFinderEnd - 0x52));
    }
}

// Only macOS's own "._" files lend their Finder information to a file
// without a record: the copy in ours and Samba's follows a record, and a
// record, where there is one, is what the file shows.
TEST(MacOSDotUnderscore, FinderInformationComesFromTheRecordFirst) {
    vtest::TempDir dir("vt-macos");
    const fs::path samba = dir.write("samba", "x");
    write_bytes(sidecar_path(samba), vtest::sidecar_bytes("fork", mac_finder_info()));
    EXPECT_EQ(shown_finder_info(samba).fileType, 0u) << "Samba's copy, no record";

    const fs::path recorded = dir.write("recorded", "x");
    write_bytes(sidecar_path(recorded), macos_sidecar_bytes(mac_finder_info(), kAttrs, ""));
    FSRef ref = ref_of(recorded);
    FSCatalogInfo info{};
    vtest::set_file_info(&info, 'APPL', 'MACS');
    ASSERT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
    EXPECT_EQ(shown_finder_info(recorded).fileType, FourCharCode('APPL'));
    EXPECT_EQ(raw_sidecar(recorded).substr(0x32, 8), "APPLMACS") << "the copy follows";
    EXPECT_TRUE(same(attrs_on_disk(recorded), kAttrs));
}

namespace {

namespace layouts = vantrel::fm::layouts;
using layouts::Layout;

constexpr const char* kAfpInfoAttr = "user.DosStream.AFP_AfpInfo:$DATA";

// The AfpInfo stream as Samba's streams_xattr stores it: the 60 bytes
// ("AFP\0", version 0x00000100, 4 reserved, the backup date, the Finder
// information, ProDOS and reserved), then one NUL.
std::string afpinfo_value(const std::string& finder32, std::uint32_t backup = 0x80000000u) {
    std::string s("AFP\0\0\0\1\0\0\0\0\0", 12);
    for (int i = 3; i >= 0; --i) s += char(backup >> (8 * i));
    std::string fi = finder32;
    fi.resize(32, '\0');
    s += fi;
    s.append(12, '\0');
    s += '\0';
    return s;
}

std::string xattr_of(const fs::path& p, const char* name) {
    std::string buf(65536, '\0');
    const ssize_t n = ::lgetxattr(p.c_str(), name, buf.data(), buf.size());
    return n < 0 ? "<absent>" : buf.substr(0, std::size_t(n));
}

void set_type(const fs::path& p, OSType type, OSType creator) {
    FSRef ref = ref_of(p);
    FSCatalogInfo info{};
    vtest::set_file_info(&info, type, creator);
    EXPECT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
}

}  // namespace

// volumes.conf as administrators write it: the longest path that holds the
// object wins, the user's own on a tie, a path is whole components, and
// what cannot be understood is reported and left out.
TEST(MacLayouts, TheLongestConfiguredPathThatHoldsTheObjectWins) {
    struct Row {
        const char* what;
        std::string system, user, env;
        std::string path;
        Layout expect;
        std::size_t problems = 0;
    };
    const Row rows[] = {
        {"nothing configured", "", "", "", "/srv/share/f", Layout::Netatalk},
        {"a share", "/srv/share stream\n", "", "", "/srv/share/f", Layout::Stream},
        {"the share itself", "/srv/share stream\n", "", "", "/srv/share", Layout::Stream},
        {"a name that only begins like it", "/srv/share stream\n", "", "", "/srv/shared/f",
         Layout::Netatalk},
        {"the longest wins", "/srv stream\n/srv/share/old netatalk\n", "", "", "/srv/share/old/f",
         Layout::Netatalk},
        {"the longest wins, whatever the order", "/srv/share/old netatalk\n/srv stream\n", "", "",
         "/srv/share/new/f", Layout::Stream},
        {"the user's own on a tie", "/srv stream\n", "/srv stream+file\n", "", "/srv/f",
         Layout::StreamFile},
        {"the system's longer path over the user's", "/srv/a stream\n", "/srv netatalk\n", "",
         "/srv/a/f", Layout::Stream},
        {"the root", "/ stream\n", "", "", "/anything", Layout::Stream},
        {"a trailing slash", "/srv/share/ stream\n", "", "", "/srv/share/f", Layout::Stream},
        {"a path with spaces, comments and tabs",
         "# the shares\n\t/srv/Mac Files\tstream+file   # for the Macs\n", "", "",
         "/srv/Mac Files/f", Layout::StreamFile},
        {"the variable over both", "/srv stream\n", "/srv stream+file\n", "netatalk", "/srv/f",
         Layout::Netatalk},
        {"lines that say nothing usable", "/srv streams\nrelative stream\n/srv\n", "", "", "/srv/f",
         Layout::Netatalk, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        layouts::LayoutConfig c;
        c.system = layouts::parse_config(row.system, "system", &c.problems);
        c.user = layouts::parse_config(row.user, "user", &c.problems);
        if (!row.env.empty()) c.fromEnv = layouts::parse_layout(row.env, &c.env);
        EXPECT_EQ(layouts::layout_for(c, row.path), row.expect);
        EXPECT_EQ(c.problems.size(), row.problems);
        for (const std::string& p : c.problems)
            EXPECT_NE(p.find("system:"), std::string::npos) << p;
    }
}

// A file a Samba share set up with fruit:metadata = stream holds its Finder
// information in the AfpInfo stream only: it is read with no setting. Where
// the record says otherwise, the volume's layout decides.
TEST(MacLayouts, TheAfpInfoStreamIsReadAndTheVolumesLayoutWins) {
    vtest::TempDir dir("vt-layout");
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "no config").c_str(), 1);
    const fs::path f = dir.write("f", "x");
    std::string finder(32, '\0');
    std::memcpy(finder.data(), "PDF CARO", 8);
    const std::string afp = afpinfo_value(finder);
    ASSERT_EQ(::lsetxattr(f.c_str(), kAfpInfoAttr, afp.data(), afp.size(), 0), 0);
    EXPECT_EQ(shown_finder_info(f).fileType, FourCharCode('PDF '));
    EXPECT_EQ(shown_finder_info(f).fileCreator, FourCharCode('CARO'));

    // A record that disagrees: the default (netatalk) volume shows it...
    ::unsetenv("VANTREL_MAC_LAYOUT");
    set_type(f, 'TEXT', 'ttxt');
    EXPECT_EQ(xattr_of(f, kAfpInfoAttr), afp) << "a netatalk volume leaves the stream alone";
    EXPECT_EQ(shown_finder_info(f).fileType, FourCharCode('TEXT'));
    // ...and a stream volume its stream.
    ::setenv("VANTREL_MAC_LAYOUT", "stream", 1);
    EXPECT_EQ(shown_finder_info(f).fileType, FourCharCode('PDF '));
    // A change there starts from what the stream says.
    FSRef ref = ref_of(f);
    FSCatalogInfo info{};
    info.backupDate.lowSeconds = 0xC0000000u;
    ASSERT_OSERR(FSSetCatalogInfo(&ref, kFSCatInfoBackupDate, &info), noErr);
    EXPECT_EQ(shown_finder_info(f).fileType, FourCharCode('PDF '));
    EXPECT_EQ(xattr_of(f, kAfpInfoAttr).substr(16, 8), "PDF CARO");
    ::unsetenv("VANTREL_MAC_LAYOUT");
}

// What is written follows the volume's layout: on a stream volume the
// AfpInfo stream as streams_xattr keeps it (61 bytes, the last a NUL), from
// the user's volumes.conf or the variable; on a netatalk one, no stream.
TEST(MacLayouts, FinderInformationIsWrittenInTheVolumesLayout) {
    struct Row {
        const char* what;
        std::string conf;  // the user's volumes.conf; DIR is the test's folder
        const char* env;   // VANTREL_MAC_LAYOUT, or null
        bool stream;
    };
    const Row rows[] = {
        {"nothing configured", "", nullptr, false},
        {"the user's volumes.conf", "DIR stream\n", nullptr, true},
        {"stream+file", "DIR stream+file\n", nullptr, true},
        {"a longer path for another folder", "DIR stream\nDIR/other netatalk\n", nullptr, true},
        {"a longer path for this folder", "DIR netatalk\nDIR/share stream\n", nullptr, true},
        {"the variable over the file", "DIR stream\n", "netatalk", false},
        {"the variable alone", "", "stream", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("vt-layout");
        const fs::path share = dir.mkdir("share");
        const fs::path f = dir.write("share/f", "x");
        const fs::path confDir = dir.mkdir("config/vantrel");
        std::string conf = row.conf;
        for (std::size_t at; (at = conf.find("DIR")) != std::string::npos;)
            conf.replace(at, 3, fs::canonical(dir.path()).string());
        write_bytes(confDir / "volumes.conf", conf);
        ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
        if (row.env != nullptr)
            ::setenv("VANTREL_MAC_LAYOUT", row.env, 1);
        else
            ::unsetenv("VANTREL_MAC_LAYOUT");
        set_type(f, 'APPL', 'MACS');
        const std::string afp = xattr_of(f, kAfpInfoAttr);
        if (row.stream) {
            std::string finder(32, '\0');
            std::memcpy(finder.data(), "APPLMACS", 8);
            EXPECT_EQ(afp, afpinfo_value(finder));
        } else {
            EXPECT_EQ(afp, "<absent>");
        }
        EXPECT_EQ(shown_finder_info(f).fileType, FourCharCode('APPL'));
        VantrelMacLayout l = 0;
        FSRef ref = ref_of(f);
        ASSERT_OSERR(VantrelFSGetMacLayout(&ref, &l), noErr);
        EXPECT_EQ(l != kVantrelMacLayoutNetatalk, row.stream);
    }
    ::unsetenv("VANTREL_MAC_LAYOUT");
    ::unsetenv("XDG_CONFIG_HOME");
}

// A change of Finder information on a stream volume, to a file whose
// Finder information came from its macOS "._" file, writes the record, the
// AfpInfo stream and the "._" file's copy: a failure at any call leaves all
// three as they were (or, where the undo fails too, loses nothing).
TEST(MacLayouts, AFailedChangeInEveryLayoutChangesNothing) {
    vtest::TempDir dir("vt-layout");
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "no config").c_str(), 1);
    ::setenv("VANTREL_MAC_LAYOUT", "stream+file", 1);
    vtest::FaultSweep sweep;
    int n = 0;
    sweep.run([&](vtest::FaultTrial& t) {
        const fs::path root = dir.mkdir("t" + std::to_string(++n));
        const fs::path f = dir.write("t" + std::to_string(n) + "/f", "data");
        write_bytes(sidecar_path(f), macos_sidecar_bytes(mac_finder_info(), kAttrs, "rsrc"));
        FSRef ref = ref_of(f);
        FSCatalogInfo info{};
        vtest::set_file_info(&info, 'APPL', 'MACS');
        info.backupDate.lowSeconds = 0xC0000000u;
        const vtest::Snapshot before = vtest::snapshot(root);
        const OSErr e = t.inject([&] {
            return FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoBackupDate, &info);
        });
        if (t.clean()) {
            EXPECT_OSERR(e, noErr);
            EXPECT_EQ(shown_finder_info(f).fileType, FourCharCode('APPL'));
            EXPECT_EQ(xattr_of(f, kAfpInfoAttr).substr(16, 8), "APPLMACS");
            EXPECT_EQ(raw_sidecar(f).substr(0x32, 8), "APPLMACS");
            EXPECT_TRUE(same(attrs_on_disk(f), kAttrs));
            return;
        }
        t.expect_undone(e, before, vtest::snapshot(root));
        EXPECT_TRUE(same(attrs_on_disk(f), kAttrs));
    });
    ::unsetenv("VANTREL_MAC_LAYOUT");
}

// A volumes.conf that is no file is reported and read as saying nothing:
// a FIFO would block every change of Finder information forever, a link to
// a device would never end.
TEST(MacLayouts, AConfigurationThatIsNoFileIsReportedNotRead) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> make;
        bool problem;
    };
    const Row rows[] = {
        {"absent", [](const fs::path&) {}, false},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, true},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }, true},
        {"a link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
         true},
        {"larger than a configuration is",
         [](const fs::path& p) {
             write_bytes(p, "/srv stream\n");
             fs::resize_file(p, 2u << 20);
         },
         true},
        {"a file", [](const fs::path& p) { write_bytes(p, "/srv stream\n"); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vtest::TempDir dir("vt-layout");
        const fs::path conf = dir.mkdir("config/vantrel") / "volumes.conf";
        row.make(conf);
        ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
        ::alarm(20);  // a read that blocks ends the test
        const layouts::LayoutConfig c = layouts::load_config();
        ::alarm(0);
        EXPECT_EQ(c.problems.size(), row.problem ? 1u : 0u);
        for (const std::string& p : c.problems) EXPECT_NE(p.find(conf.string()), std::string::npos);
        EXPECT_EQ(c.user.size(), std::string(row.what) == "a file" ? 1u : 0u);
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

// A long listing (FSGetCatalogInfoBulk with the fork sizes, which spares
// the reads a file's attribute list shows to be in vain) sees every layout
// a file has: a record, an AfpInfo stream, a macOS "._" file, none.
TEST(MacLayouts, ALongListingShowsEveryLayoutsFinderInformation) {
    vtest::TempDir dir("vt-layout");
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "no config").c_str(), 1);
    ::unsetenv("VANTREL_MAC_LAYOUT");
    const fs::path folder = dir.mkdir("folder");
    set_type(dir.write("folder/record", "x"), 'RECD', 'ttxt');
    std::string finder(32, '\0');
    std::memcpy(finder.data(), "STRMttxt", 8);
    const std::string afp = afpinfo_value(finder);
    const fs::path stream = dir.write("folder/stream", "x");
    ASSERT_EQ(::lsetxattr(stream.c_str(), kAfpInfoAttr, afp.data(), afp.size(), 0), 0);
    const fs::path mac = dir.write("folder/mac", "x");
    write_bytes(sidecar_path(mac), macos_sidecar_bytes(mac_finder_info(), kAttrs, "rsrc"));
    dir.write("folder/none", "x");
    for (int i = 0; i < 40; ++i) dir.write("folder/other" + std::to_string(i), "x");

    std::map<std::string, OSType> shown;
    FSRef ref = ref_of(folder);
    FSIterator it = nullptr;
    ASSERT_OSERR(FSOpenIterator(&ref, kFSIterateFlat, &it), noErr);
    std::vector<FSCatalogInfo> infos(16);
    std::vector<HFSUniStr255> names(16);
    for (OSErr e = noErr; e == noErr;) {
        ItemCount n = 0;
        e = FSGetCatalogInfoBulk(it, infos.size(), &n, nullptr,
                                 kFSCatInfoNodeFlags | kFSCatInfoRsrcSizes | kFSCatInfoFinderInfo,
                                 infos.data(), nullptr, nullptr, names.data());
        for (ItemCount i = 0; i < n; ++i) {
            FileInfo fi;
            std::memcpy(&fi, infos[i].finderInfo, sizeof fi);
            shown[vtest::utf8(names[i])] = fi.fileType;
        }
        if (e != noErr) {
            EXPECT_OSERR(e, errFSNoMoreItems);
        }
    }
    FSCloseIterator(it);
    EXPECT_EQ(shown["record"], FourCharCode('RECD'));
    EXPECT_EQ(shown["stream"], FourCharCode('STRM'));
    EXPECT_EQ(shown["mac"], FourCharCode('TEXT'));
    EXPECT_EQ(shown["none"], 0u);
    EXPECT_EQ(shown.size(), 44u);
}
