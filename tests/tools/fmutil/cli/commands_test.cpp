// fmutil end to end: each command run as a process on real files.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Child.h"
#include "LoopImage.h"
#include "Sidecar.h"
#include "SmallVolume.h"
#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::JsonCheck;
using fmtest::run;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

// Finder type and creator as stored on disk, read without fmutil: the first
// 8 bytes of the Finder-info entry (id 9) of the netatalk metadata record.
std::string stored_type_creator(const fs::path& p) {
    unsigned char rec[512];
    ssize_t n = ::lgetxattr(p.c_str(), "user.org.netatalk.Metadata", rec, sizeof rec);
    if (n < 26) return "";
    auto be32 = [&](std::size_t o) {
        return (std::uint32_t(rec[o]) << 24) | (std::uint32_t(rec[o + 1]) << 16) |
               (std::uint32_t(rec[o + 2]) << 8) | rec[o + 3];
    };
    const unsigned count = (rec[24] << 8) | rec[25];
    for (unsigned k = 0; k < count && 26 + 12 * k + 12 <= static_cast<std::size_t>(n); ++k) {
        const std::size_t e = 26 + 12 * k;
        if (be32(e) == 9) {
            const std::size_t off = be32(e + 4);
            if (off + 8 > static_cast<std::size_t>(n)) return "";
            return std::string(reinterpret_cast<char*>(rec + off), 8);
        }
    }
    return "";
}

using vtest::is_immutable;

struct stat lstat_of(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

}  // namespace

// A run that cannot start fails the test and says why, instead of handing
// back a status of -1 for the test to misread.
TEST(FmutilCli, ARunThatCannotStartSaysWhy) {
    EXPECT_NONFATAL_FAILURE(fmtest::run_program("/nonexistent/fmutil", {"info", "/"}),
                            "fmutil was not run: /nonexistent/fmutil: No such file or directory");
}

TEST(FmutilCli, UsageErrorsExitTwoAndTouchNothing) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("f.txt", "data");
    const auto d = t.mkdir("d");
    const auto before = lstat_of(f);

    EXPECT_EQ(run({}).status, 2);
    auto r = run({"frobnicate", f});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("no command 'frobnicate'"));
    EXPECT_EQ(run({"info"}).status, 2) << "missing PATH";
    EXPECT_EQ(run({"ls", d, d}).status, 2) << "extra argument";
    EXPECT_EQ(run({"info", f, "--bogus"}).status, 2);
    EXPECT_EQ(run({"info", ""}).status, 2);
    r = run({"type", f, "--type", "TOOLONG"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("usage: fmutil type"));
    EXPECT_EQ(run({"type", f, "--type", "\\x00\\x00\\x00\\x00"}).status, 2)
        << "zero would mean 'keep'";
    EXPECT_EQ(run({"type", f, "--type", "ABCD", "--type", "EFGH"}).status, 2);
    EXPECT_EQ(run({"type", f, "--creator"}).status, 2) << "option without its value";
    EXPECT_EQ(run({"flags", f, "+invisible", "sparkly"}).status, 2)
        << "checked before the first flag changes";
    EXPECT_EQ(run({"flags", f, "+inited"}).status, 2);
    EXPECT_EQ(run({"tree", d, "--depth", "-1"}).status, 2);
    EXPECT_EQ(run({"tree", d, "--depth", "two"}).status, 2);
    EXPECT_EQ(run({"mv", f, d, "a/b"}).status, 2);
    EXPECT_EQ(run({"mv", f, d, ".."}).status, 2);
    EXPECT_EQ(run({"cp", f, d, "bad\xC3"}).status, 2);
    EXPECT_EQ(run({"fileid", "--resolve", t.path(), "12x"}).status, 2);
    EXPECT_EQ(run({"fileid", "--resolve", t.path()}).status, 2);
    EXPECT_EQ(run({"swap", f, f}).status, 2) << "a file exchanged with itself";
    EXPECT_EQ(run({"volumes", "extra"}).status, 2);

    // Nothing above reached a utility: the file is as it was.
    const auto after = lstat_of(f);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec) << "no attribute was written";
    EXPECT_TRUE(fs::exists(f));
    EXPECT_TRUE(fs::is_empty(d));
    EXPECT_EQ(stored_type_creator(f), "");
}

TEST(FmutilCli, HelpForEveryCommand) {
    auto r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* c : {"info", "type", "flags", "lock", "unlock", "touch", "ls", "tree", "rm",
                          "mv", "swap", "cp", "copy-attrs", "volumes", "fileid"}) {
        EXPECT_THAT(r.out, HasSubstr(std::string("  ") + c + " ")) << c << " missing from the list";
        auto h = run({c, "--help"});
        EXPECT_EQ(h.status, 0) << c;
        EXPECT_THAT(h.out, StartsWith(std::string("usage: fmutil ") + c)) << c;
        EXPECT_THAT(h.out, HasSubstr("--json")) << c;
        EXPECT_EQ(run({"help", c}).out, h.out) << c;
    }
    EXPECT_EQ(run({"help", "nope"}).status, 2);
}

TEST(FmutilCli, MissingPathIsOneLineWithCodeAndJsonError) {
    vtest::TempDir t("fmcli");
    const std::string missing = (t.path() / "no/such").string();
    for (const char* cmd :
         {"info", "type", "flags", "lock", "unlock", "touch", "ls", "tree", "rm", "fileid"}) {
        auto r = run({cmd, missing});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "fmutil: " + missing + ": fnfErr (-43): no such file or directory\n")
            << cmd;
        EXPECT_EQ(r.out, "") << cmd;
        auto j = run({cmd, missing, "--json"});
        EXPECT_EQ(j.status, 1) << cmd;
        EXPECT_TRUE(JsonCheck::valid(j.out)) << cmd << ": " << j.out;
        EXPECT_THAT(j.out, HasSubstr("\"code\":-43,\"name\":\"fnfErr\"")) << cmd;
    }
    const auto f = t.write("f", "x");
    for (auto args : std::vector<std::vector<std::string>>{{"mv", missing, t.path()},
                                                           {"mv", f, missing},
                                                           {"cp", missing, t.path()},
                                                           {"swap", f, missing},
                                                           {"copy-attrs", missing, f}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_THAT(r.err, HasSubstr(missing + ": fnfErr (-43)")) << args[0];
    }
    EXPECT_EQ(vtest::read_file(f), "x");
}

TEST(FmutilCli, InfoShowsCatalogueInformation) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("report.txt", "12345");
    const auto d = t.mkdir("folder");
    t.write("folder/a", "");
    ASSERT_EQ(run({"type", f, "--type", "TEXT", "--creator", "ttxt"}).status, 0);

    auto r = run({"info", f});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("name        report.txt\n"));
    EXPECT_THAT(r.out, HasSubstr("kind        file\n"));
    EXPECT_THAT(r.out, HasSubstr("type        TEXT\n"));
    EXPECT_THAT(r.out, HasSubstr("creator     ttxt\n"));
    EXPECT_THAT(r.out, HasSubstr("data fork   5 bytes\n"));
    EXPECT_THAT(r.out, HasSubstr("locked      no\n"));

    auto j = run({"info", f, "--json"});
    ASSERT_EQ(j.status, 0);
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("\"kind\":\"file\""));
    EXPECT_THAT(
        j.out, HasSubstr("\"type\":\"TEXT\",\"creator\":\"ttxt\",\"data_size\":5,\"rsrc_size\":0"));
    EXPECT_THAT(j.out, HasSubstr("\"mode\":\"" + [&] {
                    char m[8];
                    std::snprintf(m, sizeof m, "%04o", lstat_of(f).st_mode & 07777);
                    return std::string(m);
                }() + "\""));

    auto dj = run({"info", d, "--json"});
    ASSERT_EQ(dj.status, 0);
    EXPECT_TRUE(JsonCheck::valid(dj.out)) << dj.out;
    EXPECT_THAT(dj.out, HasSubstr("\"kind\":\"directory\""));
    EXPECT_THAT(dj.out, testing::Not(HasSubstr("\"type\"")));

    // The parent ID of the file is the node ID of its folder.
    const auto item = run({"info", (d / "a").string(), "--json"});
    const auto parent_at = item.out.find("\"parent_id\":");
    const auto node_at = dj.out.find("\"node_id\":");
    ASSERT_NE(parent_at, std::string::npos);
    ASSERT_NE(node_at, std::string::npos);
    EXPECT_EQ(std::stoul(item.out.substr(parent_at + 12)), std::stoul(dj.out.substr(node_at + 10)));
}

// A file a Mac copied to a volume without extended attributes: no record,
// its Finder information and attributes in the "._" file macOS wrote.
TEST(FmutilCli, InfoShowsWhatMacOSLeftInTheDotUnderscoreFile) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("from a Mac.txt", "12345");
    std::string finder(32, '\0');
    std::memcpy(finder.data(), "TEXTttxt", 8);
    vtest::write_bytes(
        vtest::sidecar_path(f),
        vtest::macos_sidecar_bytes(finder,
                                   {{"com.apple.quarantine", "0083;5f3a1b2c;Safari;"},
                                    {"com.apple.lastuseddate#PS", std::string(16, '\x01')}},
                                   "fork"));
    const auto r = run({"info", f});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("type        TEXT\n"));
    EXPECT_THAT(r.out, HasSubstr("creator     ttxt\n"));
    EXPECT_THAT(r.out, HasSubstr("rsrc fork   4 bytes\n"));
    EXPECT_THAT(r.out, HasSubstr("mac attr    com.apple.quarantine (21 bytes)\n"
                                 "mac attr    com.apple.lastuseddate#PS (16 bytes)\n"));
    const auto j = run({"info", f, "--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("\"type\":\"TEXT\",\"creator\":\"ttxt\""));
    EXPECT_THAT(j.out, HasSubstr("\"mac_attributes\":[{\"name\":\"com.apple.quarantine\","
                                 "\"size\":21},{\"name\":\"com.apple.lastuseddate#PS\","
                                 "\"size\":16}]"));
    // A block that does not hold together is an error, not an empty list.
    std::string bad = vtest::raw_sidecar(f);
    bad[0x54 + 8] = '\x7f';  // the block's end, far past the entry
    vtest::write_bytes(vtest::sidecar_path(f), bad);
    const auto b = run({"info", f});
    EXPECT_NE(b.status, 0) << b.out;
}

TEST(FmutilCli, TypeAndCreatorRoundTripWithEscapes) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("movie", "");
    ASSERT_EQ(run({"type", f, "--type", "MPG ", "--creator", "\\xA9TV\\x01"}).status, 0);
    EXPECT_EQ(stored_type_creator(f), std::string("MPG \xA9TV\x01", 8));
    auto r = run({"type", f});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "type MPG   creator \\xA9TV\\x01\n");
    // Only the creator: the type stays.
    ASSERT_EQ(run({"type", f, "--creator", "abcd"}).status, 0);
    auto j = run({"type", f, "--json"});
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("\"type\":\"MPG \",\"creator\":\"abcd\""));
    // A backslash byte round-trips through the JSON escaping too.
    ASSERT_EQ(run({"type", f, "--type", "a\\\\bc"}).status, 0);
    EXPECT_EQ(stored_type_creator(f).substr(0, 4), "a\\bc");
    j = run({"type", f, "--json"});
    EXPECT_THAT(j.out, HasSubstr("\"type\":\"a\\\\\\\\bc\""));
}

TEST(FmutilCli, FlagsSetClearAndShow) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("f", "");
    auto r = run({"flags", f});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "none (0x0000)\n");
    ASSERT_EQ(run({"flags", f, "+invisible", "stationery", "+customicon"}).status, 0);
    r = run({"flags", f});
    EXPECT_THAT(r.out, HasSubstr("invisible"));
    EXPECT_THAT(r.out, HasSubstr("stationery"));
    EXPECT_THAT(r.out, HasSubstr("customicon"));
    EXPECT_THAT(r.out, HasSubstr("(0x4C00)"));
    ASSERT_EQ(run({"flags", f, "-stationery", "-invisible", "+namelocked", "-inited"}).status, 0);
    auto j = run({"flags", f, "--json"});
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("\"invisible\":false,\"namelocked\":true,\"stationery\":false,"
                                 "\"customicon\":true,\"inited\":false"));
    EXPECT_THAT(j.out, HasSubstr("\"value\":\"0x1400\""));
    // Directories carry Finder flags too.
    const auto d = t.mkdir("d");
    ASSERT_EQ(run({"flags", d, "invisible"}).status, 0);
    EXPECT_THAT(run({"flags", d}).out, HasSubstr("invisible"));
}

TEST(FmutilCli, LockUnlockAndTheLockedFileErrors) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("f", "keep");
    auto r = run({"lock", f});
    if (r.status == 1 && r.err.find("permErr") != std::string::npos)
        GTEST_SKIP() << "no right to set immutable";
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(is_immutable(f));
    EXPECT_THAT(run({"info", f}).out, HasSubstr("locked      yes\n"));

    // Each change to a locked file is refused with the lock named.
    r = run({"type", f, "--type", "TEXT"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fmutil: " + f.string() + ": fLckdErr (-45): the file is locked\n");
    r = run({"touch", f});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("fLckdErr (-45)"));
    r = run({"mv", f, t.mkdir("elsewhere"), "g"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(f.string() + ": "));
    EXPECT_TRUE(fs::exists(f)) << "a refused move leaves the file in place";
    EXPECT_EQ(vtest::read_file(f), "keep");

    auto j = run({"unlock", f, "--json"});
    EXPECT_EQ(j.status, 0);
    EXPECT_TRUE(JsonCheck::valid(j.out));
    EXPECT_THAT(j.out, HasSubstr("\"locked\":false"));
    EXPECT_FALSE(is_immutable(f));
    EXPECT_EQ(run({"type", f, "--type", "TEXT"}).status, 0);
}

TEST(FmutilCli, TouchMovesTheModificationDate) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("f", "");
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
    auto r = run({"touch", f, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out));
    EXPECT_GT(lstat_of(f).st_mtim.tv_sec, 1000000000 + 365 * 86400);
    // Twice within one second still gives two different dates.
    const auto first = lstat_of(f).st_mtim;
    ASSERT_EQ(run({"touch", f}).status, 0);
    const auto second = lstat_of(f).st_mtim;
    EXPECT_TRUE(first.tv_sec != second.tv_sec || first.tv_nsec != second.tv_nsec);
    // A date past what the file system holds (ext4 ends in 2446) is clamped
    // by the kernel without an error: that is no success.
    r = run({"touch", f, "--date", "9999-12-31T23:59:59Z"});
    if (lstat_of(f).st_mtim.tv_sec == 253402300799) {
        EXPECT_EQ(r.status, 0) << r.err;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, testing::HasSubstr("cannot hold the date 9999-12-31T23:59:59Z; the "
                                              "modified date is now "))
            << r.err;
    }

    // The first second of 1904 is a date like any other where it is a
    // POSIX time (it reads back, info and ls -l show it); only the backup
    // date, the Mac's own field, has a zero that means "never", and so
    // cannot be given it.
    struct Row {
        const char* option;    // the date touch sets
        const char* infoLine;  // what info shows of it
        const char* jsonKey;
    };
    const Row rows[] = {
        {"--modified", "modified    1904-01-01T00:00:00Z\n",
         "\"modified\":\"1904-01-01T00:00:00Z\""},
        {"--created", "created     1904-01-01T00:00:00Z\n", "\"created\":\"1904-01-01T00:00:00Z\""},
        {"--accessed", "accessed    1904-01-01T00:00:00Z\n",
         "\"accessed\":\"1904-01-01T00:00:00Z\""},
    };
    for (const Row& row : rows) {
        const auto g = t.write(std::string("epoch") + row.option, "");
        r = run({"touch", g, row.option, "--date", "1904-01-01T00:00:00Z", "--json"});
        EXPECT_EQ(r.status, 0) << row.option << ": " << r.err;
        EXPECT_THAT(r.out, HasSubstr(row.jsonKey)) << row.option;
        EXPECT_THAT(run({"info", g}).out, HasSubstr(row.infoLine)) << row.option;
        EXPECT_THAT(run({"info", g, "--json"}).out, HasSubstr(row.jsonKey)) << row.option;
    }
    r = run({"ls", "-l", t.path()});
    EXPECT_THAT(r.out, HasSubstr(" 1904-01-01T00:00:00Z epoch--modified\n")) << r.out;
    r = run({"ls", "-l", "--json", t.path()});
    EXPECT_THAT(r.out, HasSubstr("\"modified\":\"1904-01-01T00:00:00Z\"")) << r.out;
    const auto b = t.write("backup", "");
    r = run({"touch", b, "--backup", "--date", "1904-01-01T00:00:00Z"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("never backed up"));
    EXPECT_THAT(run({"info", b}).out, HasSubstr("backed up   never\n"));
    EXPECT_EQ(run({"touch", b, "--backup", "--date", "1904-01-01T00:00:01Z"}).status, 0);
    EXPECT_THAT(run({"info", b}).out, HasSubstr("backed up   1904-01-01T00:00:01Z\n"));
}

TEST(FmutilCli, LsListsOwnItemsWithNamesAsOnDisk) {
    vtest::TempDir t("fmcli");
    const auto d = t.mkdir("d");
    t.write("d/plain", "abc");
    t.write("d/caf\xC3\xA9", "");
    t.write("d/a:b", "");
    t.mkdir("d/sub");
    t.write("d/sub/deeper", "");
    t.write(std::string("d/esc\x1b[31m"), "");

    // Both forms on disk side by side; the File Manager's names are
    // decomposed, the printed names must be the directory entries' own.
    t.write("d/nai\xCC\x88ve", "");
    auto r = run({"ls", d});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (std::size_t s = 0, e; (e = r.out.find('\n', s)) != std::string::npos; s = e + 1) {
        lines.push_back(r.out.substr(s, e - s));
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"a:b", "caf\xC3\xA9", "esc\x1b[31m", "nai\xCC\x88ve",
                                               "plain", "sub"}))
        << "names go to a pipe as their bytes";

    auto j = run({"ls", d, "--long", "--json"});
    ASSERT_EQ(j.status, 0);
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("{\"name\":\"plain\",\"kind\":\"file\""));
    EXPECT_THAT(j.out, HasSubstr("\"data_size\":3"));
    EXPECT_THAT(j.out, HasSubstr("{\"name\":\"sub\",\"kind\":\"directory\""));
    EXPECT_THAT(j.out, HasSubstr("{\"name\":\"esc\\u001B[31m\""));
    EXPECT_THAT(j.out, HasSubstr("\"changed\":false"));
    EXPECT_EQ(j.out.find("deeper"), std::string::npos) << "ls never descends";

    auto l = run({"ls", "-l", d});
    EXPECT_EQ(l.status, 0);
    EXPECT_THAT(l.out, HasSubstr("sub\n"));
    EXPECT_THAT(l.out, testing::ContainsRegex("\nd- .* sub\n|^d- .* sub\n"));

    // A file where a directory is needed.
    r = run({"ls", d / "plain"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("fmutil: " + (d / "plain").string() + ": "));
    EXPECT_EQ(run({"ls", t.mkdir("empty")}).out, "");

    // In a working directory another process removed, GNU ls lists
    // nothing and succeeds: the folder is there, and empty, with no name.
    const fs::path saved = fs::current_path();
    fs::current_path(t.mkdir("removed"));
    fs::remove(t.path() / "removed");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ls"}, {"ls", "."}, {"ls", "-l"}, {"ls", "--json"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 0) << args.back() << ": " << r.err;
        EXPECT_EQ(r.err, "") << args.back();
        if (args.back() == "--json") {
            EXPECT_EQ(r.out, "{\"path\":\".\",\"items\":[],\"changed\":false,\"error\":null}\n");
        } else {
            EXPECT_EQ(r.out, "") << args.back();
        }
    }
    fs::current_path(saved);
}

TEST(FmutilCli, TreeWalksDepthFirstWithoutFollowingLinks) {
    vtest::TempDir t("fmcli");
    const auto root = t.mkdir("root");
    t.write("root/a/b/c.txt", "");
    t.write("root/z.txt", "");
    const auto outside = t.mkdir("outside");
    t.write("outside/secret", "");
    fs::create_directory_symlink(outside, root / "link");

    auto r = run({"tree", root});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string p = root.string() + "/";
    EXPECT_THAT(r.out, HasSubstr(p + "a/\n" + p + "a/b/\n" + p + "a/b/c.txt\n"))
        << "a directory's items follow straight after it";
    EXPECT_THAT(r.out, HasSubstr(p + "z.txt\n"));
    EXPECT_THAT(r.out, HasSubstr(p + "link\n"));
    EXPECT_EQ(r.out.find("secret"), std::string::npos) << "the link was followed";
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5);
    EXPECT_EQ(r.err, "") << "no progress when stderr is not a terminal";

    auto d1 = run({"tree", root, "--depth", "1"});
    EXPECT_EQ(d1.status, 0);
    EXPECT_EQ(std::count(d1.out.begin(), d1.out.end(), '\n'), 3);
    EXPECT_EQ(d1.out.find(p + "a/b/"),
              std::string::npos);  // not "b/": the temporary name may end in b

    auto j = run({"tree", root.string() + "/", "--json", "--depth=2"});
    ASSERT_EQ(j.status, 0);
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("{\"path\":\"" + p + "a/b\",\"depth\":2,\"kind\":\"directory\"}"));
    EXPECT_EQ(j.out.find("c.txt"), std::string::npos);
    EXPECT_THAT(j.out, HasSubstr("\"error\":null"));

    auto f = run({"tree", root / "z.txt", "--json"});
    EXPECT_EQ(f.status, 1);
    EXPECT_TRUE(JsonCheck::valid(f.out)) << f.out;
    EXPECT_THAT(f.out, HasSubstr("\"error\":{\"path\""));
}

namespace {

// With `locked`, one of the files is locked (the caller must be allowed to).
void rm_deletes_trees_but_not_through_links(bool locked) {
    vtest::TempDir t("fmcli");
    const auto root = t.mkdir("root");
    t.write("root/a/b/c.txt", "");
    t.write("root/locked.txt", "");
    const auto outside = t.mkdir("outside");
    t.write("outside/keep", "precious");
    fs::create_directory_symlink(outside, root / "a" / "link");
    if (locked) {
        ASSERT_TRUE(vtest::set_immutable(root / "locked.txt", true));
    }

    // A symbolic link to a directory is deleted as a link, as rm does.
    auto r = run({"rm", root / "a" / "link"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::is_symlink(root / "a" / "link"));
    EXPECT_EQ(vtest::read_file(outside / "keep"), "precious");
    fs::create_directory_symlink(outside, root / "a" / "link");
    // A file where a directory is needed for --contents-only.
    r = run({"rm", root / "locked.txt", "--contents-only"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("errFSNotAFolder"));

    r = run({"rm", root / "a", "--contents-only", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out));
    EXPECT_TRUE(fs::is_directory(root / "a"));
    EXPECT_TRUE(fs::is_empty(root / "a"));

    r = run({"rm", root});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(root));
    EXPECT_EQ(vtest::read_file(outside / "keep"), "precious");
}

}  // namespace

TEST(FmutilCli, RmDeletesTreesButNotThroughLinks) {
    rm_deletes_trees_but_not_through_links(false);
}

TEST(FmutilCli, RmDeletesTreesIncludingLockedItemsButNotThroughLinks) {
    vtest::TempDir probe("fmcli");
    if (!vtest::can_set_immutable(probe.path())) GTEST_SKIP() << "no right to set immutable";
    rm_deletes_trees_but_not_through_links(true);
}

TEST(FmutilCli, MvMovesRenamesAndUndoesACollision) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("src/f.txt", "one");
    const auto dest = t.mkdir("dest");
    t.write("dest/taken", "other");

    auto r = run({"mv", f, dest, "taken"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("dupFNErr (-48)"));
    EXPECT_EQ(vtest::read_file(f), "one") << "the failed rename is undone";
    EXPECT_EQ(vtest::read_file(dest / "taken"), "other");
    EXPECT_EQ(std::distance(fs::directory_iterator(dest), fs::directory_iterator()), 1)
        << "no temporary left";

    r = run({"mv", f, dest, "new:name", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out));
    EXPECT_THAT(r.out, HasSubstr("new:name\""));
    EXPECT_EQ(vtest::read_file(dest / "new:name"), "one");
    EXPECT_FALSE(fs::exists(f));

    // A file where a directory is needed.
    const auto plain = t.write("plain", "p");
    r = run({"mv", dest / "new:name", plain});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(vtest::read_file(dest / "new:name"), "one");
    EXPECT_EQ(vtest::read_file(plain), "p");

    ASSERT_EQ(run({"mv", dest / "new:name", t.path() / "src"}).status, 0);
    EXPECT_EQ(vtest::read_file(t.path() / "src" / "new:name"), "one");
}

TEST(FmutilCli, SwapExchangesContentsAndRefusesDirectories) {
    vtest::TempDir t("fmcli");
    const auto a = t.write("a", "AAA");
    const auto b = t.write("sub/b", "BB");
    ASSERT_EQ(run({"type", a, "--type", "AAAA"}).status, 0);
    auto r = run({"swap", a, b, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out));
    EXPECT_EQ(vtest::read_file(a), "BB");
    EXPECT_EQ(vtest::read_file(b), "AAA");

    r = run({"swap", a, t.mkdir("dir")});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("notAFileErr (-1302)"));
    EXPECT_EQ(vtest::read_file(a), "BB");
}

TEST(FmutilCli, CpCopiesWithoutReplacing) {
    vtest::TempDir t("fmcli");
    const auto f = t.write("f.txt", "payload");
    const auto dest = t.mkdir("dest");
    ASSERT_EQ(run({"type", f, "--type", "TEXT", "--creator", "ttxt"}).status, 0);
    auto r = run({"cp", f, dest, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out));
    EXPECT_THAT(r.out, HasSubstr("{\"path\":\"" + (dest / "f.txt").string() + "\"}"));
    EXPECT_EQ(vtest::read_file(dest / "f.txt"), "payload");
    EXPECT_EQ(stored_type_creator(dest / "f.txt"), "TEXTttxt");

    ASSERT_EQ(run({"cp", f, dest, "copy.txt"}).status, 0);
    EXPECT_EQ(vtest::read_file(dest / "copy.txt"), "payload");

    t.write("dest/exists", "mine");
    r = run({"cp", f, dest, "exists"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(vtest::read_file(dest / "exists"), "mine");

    r = run({"cp", t.mkdir("dir"), dest});
    EXPECT_EQ(r.status, 1) << "a directory where a file is needed";
    EXPECT_FALSE(fs::exists(dest / "dir"));
}

// The forms mv and cp take that this one does not (several items into a
// folder; the copy's name as the destination) are answered with the
// commands that do what was meant, and change nothing.
TEST(FmutilCli, MvAndCpInAnotherFormSayTheCommandsThatDoIt) {
    vtest::TempDir t("fmcli");
    const std::string a = t.write("a.txt", "A").string();
    const std::string b = t.write("b", "B").string();
    const std::string dir = t.mkdir("dir").string();
    const std::string missing = (t.path() / "b.txt").string();
    const std::string top = t.path().string();
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string err;  // the first line
    };
    const Row rows[] = {
        {{"mv", a, b, dir},
         2,
         "fmutil: mv: moves one item at a time: to move '" + a + "' and '" + b + "' into '" + dir +
             "', run 'fmutil mv " + a + " " + dir + "' and 'fmutil mv " + b + " " + dir + "'"},
        {{"mv", a, missing, "c"},
         2,
         "fmutil: mv: with NEWNAME, DEST must be a directory, and '" + missing + "' is not one"},
        {{"mv", a, b, "c"},
         2,
         "fmutil: mv: with NEWNAME, DEST must be a directory, and '" + b + "' is not one"},
        {{"cp", a, missing},
         2,
         "fmutil: cp: copies into a directory, and '" + missing +
             "' is none: to make the copy 'b.txt', run 'fmutil cp " + a + " " + top + " b.txt'"},
        {{"cp", a, b},
         1,
         "fmutil: " + b +
             ": errFSNotAFolder (-1407): not a directory; to replace this file with "
             "a copy, run 'fmutil cp " +
             a + " --replace " + b + "'"},
    };
    for (const Row& row : rows) {
        const auto r = run(row.args);
        EXPECT_EQ(r.status, row.status) << row.err;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), row.err);
        EXPECT_EQ(vtest::read_file(a), "A") << row.err;
        EXPECT_EQ(vtest::read_file(b), "B") << row.err;
        EXPECT_FALSE(fs::exists(missing)) << row.err;
        EXPECT_TRUE(fs::is_empty(dir)) << row.err;
    }
}

TEST(FmutilCli, CopyAttrsCopiesFinderInfo) {
    vtest::TempDir t("fmcli");
    const auto src = t.write("src", "");
    const auto dst = t.write("dst", "");
    ASSERT_EQ(run({"type", src, "--type", "APPL", "--creator", "abcd"}).status, 0);
    ASSERT_EQ(run({"copy-attrs", src, dst}).status, 0);
    EXPECT_EQ(stored_type_creator(dst), "APPLabcd");
}

TEST(FmutilCli, CopyAttrsCopiesTheLockOnlyWhenAsked) {
    vtest::TempDir t("fmcli");
    if (!vtest::can_set_immutable(t.path())) GTEST_SKIP() << "no right to set immutable";
    const auto src = t.write("src", "");
    const auto dst = t.write("dst", "");
    ASSERT_EQ(run({"lock", src}).status, 0);
    const auto dst2 = t.write("dst2", "");
    ASSERT_EQ(run({"copy-attrs", src, dst}).status, 0);
    EXPECT_FALSE(is_immutable(dst));
    auto r = run({"copy-attrs", src, dst2, "--lock", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"locked\":true"));
    EXPECT_TRUE(is_immutable(dst2));
    vtest::set_immutable(src, false);
    vtest::set_immutable(dst2, false);
}

TEST(FmutilCli, VolumesListsTheMountedVolumes) {
    auto r = run({"volumes", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("\"mount_point\":\"/\""));
    EXPECT_THAT(r.out, HasSubstr("\"total_bytes\":"));
    auto h = run({"volumes"});
    EXPECT_EQ(h.status, 0);
    EXPECT_THAT(h.out, StartsWith("VOLUME"));
}

// Each volume says where Mac metadata is written on it: netatalk unless the
// user's volumes.conf or VANTREL_MAC_LAYOUT says otherwise.
TEST(FmutilCli, VolumesShowEachVolumesMacLayout) {
    vtest::TempDir t("fmcli");
    ::setenv("XDG_CONFIG_HOME", (t.path() / "config").c_str(), 1);
    ::unsetenv("VANTREL_MAC_LAYOUT");
    auto r = run({"volumes", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("\"mac_layout\":\"netatalk\""));
    EXPECT_THAT(run({"volumes"}).out, HasSubstr("MAC LAYOUT"));

    t.write("config/vantrel/volumes.conf", "# every volume\n/ stream\n");
    r = run({"volumes", "--json"});
    EXPECT_THAT(r.out, HasSubstr("\"mount_point\":\"/\","));
    EXPECT_THAT(r.out, HasSubstr("\"mac_layout\":\"stream\""));
    EXPECT_THAT(r.out, testing::Not(HasSubstr("\"mac_layout\":\"netatalk\"")));

    ::setenv("VANTREL_MAC_LAYOUT", "stream+file", 1);
    const auto h = run({"volumes"});
    EXPECT_EQ(h.status, 0) << h.err;
    EXPECT_THAT(h.out, HasSubstr(" stream+file "));
    ::unsetenv("VANTREL_MAC_LAYOUT");
}

TEST(FmutilCli, FileIdCreatesAndResolves) {
    // The search for an ID no file carries reads every file of the volume.
    const vtest::TempDir t = vtest::small_volume_dir("fmcli");
    const auto f = t.write("f", "");
    auto r = run({"fileid", f, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(JsonCheck::valid(r.out)) << r.out;
    const auto at = r.out.find("\"id\":");
    ASSERT_NE(at, std::string::npos);
    const std::string id = std::to_string(std::stol(r.out.substr(at + 5)));
    auto again = run({"fileid", f, "--json"});
    EXPECT_THAT(again.out, HasSubstr("\"id\":" + id + ","));
    auto res = run({"fileid", "--resolve", t.path(), id});
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, fs::canonical(f).string() + "\n");
    // After a rename, the ID still finds the file.
    fs::rename(f, t.path() / "g");
    EXPECT_EQ(run({"fileid", "--resolve", t.path(), id}).out,
              fs::canonical(t.path() / "g").string() + "\n");
    auto none = run({"fileid", "--resolve", t.path(), "2147483000"});
    EXPECT_EQ(none.status, 1);
    // Half of all node IDs print as negative numbers (tmpfs hands out such
    // IDs): one is looked up like any other, not taken for an option.
    none = run({"fileid", "--resolve", t.path(), "-5"});
    EXPECT_EQ(none.status, 1) << none.err;
    EXPECT_THAT(none.err, HasSubstr("fidNotFound"));
    const auto made = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        const fs::path vol = t.mkdir("vol");
        if (::mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=1m") != 0) return "";
        for (int i = 0; i < 64; ++i) {
            const fs::path g = t.write("vol/g" + std::to_string(i), "");
            const std::string printed = run({"fileid", g}).out;
            if (printed.empty() || printed[0] != '-') continue;
            const std::string neg = printed.substr(0, printed.find(' '));
            const auto found = run({"fileid", "--resolve", vol, neg});
            if (found.status != 0 || found.out != g.string() + "\n")
                return "ID " + neg + " of " + g.string() + ": " + found.out + found.err;
            return "";
        }
        return "";  // no negative ID among 64 files: nothing to check
    });
    if (made) {
        EXPECT_EQ(*made, "");
    }
}

// Two files of one mount that share an inode number (btrfs numbers each
// subvolume's inodes from 256) have two file IDs, and each ID, looked up by
// another fmutil, finds its own file. One fmutil per step: the IDs hold
// across processes.
TEST(FmutilCli, FileIdsOfTwinInodesInTwoSubvolumesAreTheirOwn) {
    if (!vtest::can_make_private_mounts()) GTEST_SKIP() << vtest::kNeedsPrivateMounts;
    vtest::TempDir t("fmcli");
    const fs::path base = fs::canonical(t.path());
    t.mkdir("vol");
    const auto result = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        if (std::string why = vtest::mount_fresh(vtest::kBtrfs, base / "img", base / "vol");
            !why.empty())
            return "SKIP " + why;
        for (const char* sub : {"sa", "sb"})
            if (!vtest::run_quietly("btrfs subvolume create " + vtest::quoted(base / "vol" / sub)))
                return "SKIP cannot make a btrfs subvolume";
        std::string ids[2];
        const fs::path files[2] = {base / "vol/sa/f", base / "vol/sb/f"};
        for (int i = 0; i < 2; ++i) {
            vtest::write_file(files[i], std::to_string(i));
            const auto r = run({"fileid", files[i].string()});
            if (r.status != 0) return "fileid " + files[i].string() + ": " + r.err;
            ids[i] = r.out.substr(0, r.out.find(' '));
        }
        struct stat a, b;
        if (::lstat(files[0].c_str(), &a) != 0 || ::lstat(files[1].c_str(), &b) != 0 ||
            a.st_ino != b.st_ino)
            return "SKIP the two files do not share an inode number";
        std::string msg;
        if (ids[0] == ids[1]) msg += "both files have the file ID " + ids[0] + "\n";
        for (int i = 0; i < 2; ++i) {
            const auto found = run({"fileid", "--resolve", (base / "vol").string(), ids[i]});
            if (found.status != 0 || found.out != files[i].string() + "\n")
                msg += "ID " + ids[i] + " of " + files[i].string() + " finds " + found.out +
                       found.err + "\n";
        }
        return msg;
    });
    ASSERT_TRUE(result.has_value()) << vtest::kNeedsPrivateMounts;
    if (result->starts_with("SKIP ")) GTEST_SKIP() << result->substr(5);
    EXPECT_EQ(*result, "");
}

TEST(FmutilCli, ProgressOnlyWhenStderrIsATerminal) {
    vtest::TempDir t("fmcli");
    const auto root = t.mkdir("big");
    for (int i = 0; i < 3000; ++i) t.write("big/f" + std::to_string(i), "");
    auto quiet = run({"tree", root});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
    auto tty = run({"tree", root}, /*stderr_tty=*/true);
    EXPECT_EQ(tty.status, 0);
    EXPECT_THAT(tty.err, HasSubstr("fmutil: tree: 1024 items"));
    EXPECT_EQ(tty.out.find("items"), std::string::npos) << "progress never goes to stdout";
    auto rm = run({"rm", root}, /*stderr_tty=*/true);
    EXPECT_EQ(rm.status, 0);
    EXPECT_EQ(rm.out, "");
    EXPECT_FALSE(fs::exists(root));
}

TEST(FmutilCli, WriteErrorOnStdoutIsExitThree) {
    vtest::TempDir t("fmcli");
    t.write("d/x", "");
    // Enough output to be written out, and fail, long before the end: the
    // calls made after it must not change what the message says.
    for (int i = 0; i < 200; ++i) t.write("many/f" + std::to_string(i), "");
    for (const char* args : {"ls d", "info -R many"}) {
        // /dev/full accepts the open and fails every write with ENOSPC.
        const std::string cmd =
            "cd '" + t.path().string() + "' && " + FMUTIL_PATH + " " + args + " >/dev/full 2>err";
        const int st = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), 3) << args;
        EXPECT_THAT(vtest::read_file(t.path() / "err"),
                    HasSubstr("cannot write the output: " + std::string(std::strerror(ENOSPC))))
            << args;
    }
}

// The same race as a second process would make it: a thread keeps swapping a
// directory of the tree for a link to a directory outside, while fmutil rm
// runs as its own process. Not deterministic (the in-process test under
// walk/ is); this one checks the real program under real timing.
TEST(FmutilCli, RmRacingALinkSwapFromAnotherProcessKeepsOutsideIntact) {
    for (int round = 0; round < 25; ++round) {
        vtest::TempDir t("fmrace");
        for (int i = 0; i < 40; ++i) {
            t.write("root/a/b/f" + std::to_string(i), "tree");
            t.write("root/c/d" + std::to_string(i % 5) + "/f" + std::to_string(i), "tree");
        }
        t.write("outside/keep", "precious");
        t.write("outside/sub/keep", "precious");
        const fs::path b = t.path() / "root/a/b";
        const fs::path outside = t.path() / "outside";
        std::atomic<bool> done{false};
        std::thread racer([&] {
            std::error_code ec;
            while (!done) {
                fs::rename(b, fs::path(b.string() + ".x"), ec);
                fs::create_directory_symlink(outside, b, ec);
                fs::remove(b, ec);  // removes the link only
                fs::rename(fs::path(b.string() + ".x"), b, ec);
            }
        });
        auto r = run({"rm", t.path() / "root"});
        done = true;
        racer.join();
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;
        EXPECT_EQ(vtest::read_file(outside / "keep"), "precious") << "round " << round;
        EXPECT_EQ(vtest::read_file(outside / "sub" / "keep"), "precious") << "round " << round;
    }
}
