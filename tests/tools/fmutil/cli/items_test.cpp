// fmutil end to end on what a path can name besides a plain file or folder,
// and on operands that name a directory other than the entry they spell.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Child.h"
#include "Sidecar.h"
#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::JsonCheck;
using fmtest::run;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace {

// Makes every unlink of this process and its children fail with EPERM, as
// a security module that refuses deletions answers (seccomp, which needs no
// privilege once the process may gain none).
bool deny_unlinks() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_unlinkat, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_unlink, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs the test's own process in `dir` for the operands "." and "..", and
// goes back afterwards.
struct InDirectory {
    explicit InDirectory(const fs::path& dir) : saved(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(saved); }
    fs::path saved;
};

bool make_socket(const fs::path& p) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", p.c_str());
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

// Each operand's last component is "." or "..": it names the working
// directory, a parent, or (through a link) a directory outside the tree.
// rm refuses every one and deletes nothing; tree refuses to start through a
// link. Nothing in the scratch tree may change.
TEST(FmutilItems, RmRefusesDotAndDotDotOperandsAndTreeNeverStartsThroughALink) {
    vtest::TempDir t("fmitems");
    t.write("work/inner/keep", "w");
    t.write("work/sibling", "s");
    t.write("outside/target/precious", "p");
    t.write("outside/other", "o");
    fs::create_directory_symlink(t.path() / "outside/target", t.path() / "work/inner/lnk");
    InDirectory cd(t.path() / "work/inner");

    struct Row {
        const char* operand;
        const char* what_it_names;
    };
    const Row rows[] = {
        {".", "the working directory"},
        {"..", "its parent"},
        {"./", "the working directory, with a slash"},
        {"../", "the parent, with a slash"},
        {"lnk/.", "the link's target"},
        {"lnk/..", "the target's parent, outside the tree"},
        {"lnk/../", "the same with a slash"},
        {"lnk//.//", "doubled slashes"},
        {"../inner/.", "a long way round to the working directory"},
    };
    for (const Row& row : rows) {
        for (bool contents : {false, true}) {
            std::vector<std::string> args{"rm", row.operand};
            if (contents) args.push_back("--contents-only");
            auto r = run(args);
            EXPECT_EQ(r.status, 2) << row.operand << " (" << row.what_it_names << ")";
            EXPECT_THAT(r.err, HasSubstr("refusing to remove '.' or '..'")) << row.operand;
        }
    }
    for (const char* p :
         {"work/inner/keep", "work/sibling", "outside/target/precious", "outside/other"}) {
        EXPECT_TRUE(fs::exists(t.path() / p)) << p << " was deleted";
    }

    for (const char* operand : {"lnk/.", "lnk/..", "lnk/../", "lnk//."}) {
        auto r = run({"tree", operand});
        EXPECT_EQ(r.status, 2) << operand;
        EXPECT_THAT(r.err, HasSubstr("symbolic link")) << operand;
        EXPECT_EQ(r.out.find("precious"), std::string::npos) << operand;
        EXPECT_EQ(r.out.find("other"), std::string::npos) << operand;
    }
    // Without a link, "." and ".." are ordinary starting points.
    auto r = run({"tree", "."});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("./keep\n"));
    EXPECT_THAT(r.out, HasSubstr("./lnk\n"));
    EXPECT_EQ(r.out.find("precious"), std::string::npos) << "the link was followed";
    r = run({"tree", ".."});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("../sibling\n"));
}

// A directory that cannot be read in the middle of a walk (as another user):
// tree names it on standard error, lists everything else, and exits 1, as
// find does.
TEST(FmutilItems, TreeNamesAnUnreadableDirectoryAndListsTheRest) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run fmutil as nobody";
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
    vtest::TempDir t("fmitems");
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    for (const char* f : {"t/a", "t/m/hidden", "t/n/b", "t/z"}) t.write(f, "");
    t.mkdir("t/m/sub");
    t.mkdir("t/y");
    ASSERT_EQ(::chmod((t.path() / "t/m").c_str(), 0700), 0);  // root's, closed to nobody
    for (const char* d : {"t", "t/n", "t/y"}) ::chmod((t.path() / d).c_str(), 0755);
    for (const char* f : {"t/a", "t/n/b", "t/z"}) ::chmod((t.path() / f).c_str(), 0644);

    const fs::path out = t.path() / "out";
    const fs::path err = t.path() / "err";
    auto as_nobody = [&](const std::string& extra, const std::string& command = "tree t") {
        const std::string cmd = "cd '" + t.path().string() +
                                "' && setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                FMUTIL_PATH + " " + command + extra + " >'" + out.string() +
                                "' 2>'" + err.string() + "'";
        const int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    ASSERT_EQ(as_nobody(""), 1) << vtest::read_file(err);
    std::string listing = vtest::read_file(out);
    for (const char* line : {"t/a\n", "t/m/\n", "t/n/\n", "t/n/b\n", "t/y/\n", "t/z\n"}) {
        EXPECT_THAT(listing, HasSubstr(line)) << "missing from:\n" << listing;
    }
    EXPECT_EQ(listing.find("hidden"), std::string::npos);
    EXPECT_EQ(vtest::read_file(err), "fmutil: t/m: afpAccessDenied (-5000): access denied\n");

    ASSERT_EQ(as_nobody(" --json"), 1);
    listing = vtest::read_file(out);
    EXPECT_TRUE(JsonCheck::valid(listing)) << listing;
    EXPECT_THAT(listing, HasSubstr("\"path\":\"t/z\""));
    EXPECT_THAT(listing, HasSubstr("\"errors\":[{\"path\":\"t/m\",\"code\":-5000"));
    EXPECT_THAT(listing, Not(HasSubstr("\"error\":null")));

    // The per-item commands' -R walks the same way: t/m is named, its
    // siblings after it are still done, and the status says something failed.
    for (const char* command : {"info -R t", "flags -R t", "comment -R t", "type -R t"}) {
        EXPECT_EQ(as_nobody("", command), 1) << command << ": " << vtest::read_file(err);
        EXPECT_THAT(vtest::read_file(err), HasSubstr("fmutil: t/m: afpAccessDenied")) << command;
        listing = vtest::read_file(out);
        for (const char* item : {"t/n/b", "t/z"}) {
            EXPECT_THAT(listing, HasSubstr(item)) << command << " missed " << item << " in:\n"
                                                  << listing;
        }
    }

    // rm's dry run cannot see into t/m either, and says so.
    EXPECT_EQ(as_nobody("", "rm -n t"), 1) << vtest::read_file(err);
    EXPECT_THAT(vtest::read_file(err), HasSubstr("fmutil: t/m: afpAccessDenied"));
    EXPECT_TRUE(fs::exists(t.path() / "t/a")) << "a dry run deletes nothing";
    // A copy of another user's folder keeps all but the owner, as cp -a
    // does for a user: the folder's dates and Finder flags come along (the
    // utility that copies them all would fail on the owner and set none).
    ::chmod(t.mkdir("t/w").c_str(), 0777);
    // A read-only file keeps its creation date and other attributes too,
    // though its copy's owner may not write it.
    const fs::path readonly = t.write("t/n/readonly", "r");
    const bool xattrs = ::setxattr(readonly.c_str(), "user.other", "kept", 4, 0) == 0;
    ASSERT_EQ(run({"touch", readonly, "--created", "--date", "1999-01-02T03:04:05Z"}).status, 0);
    ::chmod(readonly.c_str(), 0444);
    // So does one whose record gives no creation date (a comment is all it
    // holds): the copy takes the creation date its source shows.
    const fs::path commented = t.write("t/n/commented", "c");
    ASSERT_EQ(run({"comment", commented, "--set", "kept too"}).status, 0);
    ::chmod(commented.c_str(), 0444);
    ASSERT_EQ(run({"touch", t.path() / "t/n", "--date", "2001-02-03T04:05:06Z"}).status, 0);
    ASSERT_EQ(run({"flags", t.path() / "t/n", "+stationery"}).status, 0);
    EXPECT_EQ(as_nobody("", "cp -r t/n t/w"), 0) << vtest::read_file(err);
    const std::string copied = run({"info", t.path() / "t/w/n"}).out;
    EXPECT_THAT(copied, HasSubstr("modified    2001-02-03T04:05:06Z"));
    EXPECT_THAT(copied, HasSubstr("stationery"));
    EXPECT_THAT(copied, HasSubstr("owner       65534, group 65534, mode 0755"));
    const std::string copied_file = run({"info", t.path() / "t/w/n/readonly"}).out;
    EXPECT_THAT(copied_file, HasSubstr("created     1999-01-02T03:04:05Z"));
    EXPECT_THAT(copied_file, HasSubstr("owner       65534, group 65534, mode 0444"));
    EXPECT_EQ(run({"comment", t.path() / "t/w/n/commented"}).out, "kept too\n");
    char kept[8] = {};
    if (xattrs) {
        EXPECT_EQ(::getxattr((t.path() / "t/w/n/readonly").c_str(), "user.other", kept, 8), 4);
        EXPECT_STREQ(kept, "kept");
    }
    // An error while copying a tree names what could not be read, not the
    // copy that could be made.
    ::chmod(t.mkdir("w2").c_str(), 0777);
    EXPECT_EQ(as_nobody("", "cp -r t w2"), 1);
    EXPECT_THAT(vtest::read_file(err),
                testing::StartsWith("fmutil: t/m: afpAccessDenied (-5000): access denied\n"));
    // The copy is not at fault, and is not left half made: it is named only
    // as removed.
    std::string said = vtest::read_file(err);
    const std::string removed =
        "fmutil: " + (t.path() / "w2/t").string() + ": not copied: the copy stopped at the first";
    EXPECT_THAT(said, HasSubstr(removed));
    if (said.find(removed) != std::string::npos) said.erase(said.find(removed), removed.size());
    EXPECT_THAT(said, Not(HasSubstr("w2/"))) << "the copy is not at fault";
    EXPECT_TRUE(fs::is_empty(t.path() / "w2")) << "a copy that failed was left";
    // A copy that fails because the file cannot be read names the file,
    // not the (writable) destination.
    t.write("t/n/secret", "");
    ::chmod((t.path() / "t/n/secret").c_str(), 0600);
    EXPECT_EQ(as_nobody("", "cp t/n/secret t/w"), 1);
    EXPECT_THAT(vtest::read_file(err), testing::StartsWith("fmutil: t/n/secret: "))
        << vtest::read_file(err);
}

// What coreutils does as a user who is neither the owner nor root, fmutil
// does too: rm -r removes an empty folder its owner may not read (the
// folder has no items to delete; rmdir needs only the parent's rights);
// touch moves the date of a file one may write but does not own (the
// kernel lets a writer set both times to now, nothing else); ls -l and tree
// of a folder one may read but not search list the names, with "?" where
// nothing could be looked at, and say which items they could not look at.
TEST(FmutilItems, AsAnotherUserDoesWhatCoreutilsDoes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run fmutil as nobody";
    if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
    vtest::TempDir t("fmitems");
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    auto as_nobody = [](std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--reuid=65534", "--regid=65534", "--clear-groups", FMUTIL_PATH});
        return fmtest::run_program("/usr/bin/setpriv", args);
    };
    // Makes `dir` under the scratch folder, it and every folder on the way nobody's.
    auto nobodys = [&](const std::string& dir) {
        const fs::path p = t.mkdir(dir);
        for (fs::path q = p; q != t.path(); q = q.parent_path())
            EXPECT_EQ(::chown(q.c_str(), 65534, 65534), 0) << q;
        return p;
    };

    // Empty folders of modes nobody may not read, as the operand and met in
    // a walk; one that is not empty stays, named.
    for (const mode_t mode : {0000, 0100, 0300, 0333}) {
        const std::string m = std::to_string(mode);
        struct Row {
            std::string operand;  // what rm is given
            std::string folder;   // the unreadable folder in it
        };
        for (const Row& row : {Row{"op" + m + "/e", "op" + m + "/e"},
                               Row{"walk" + m + "/t", "walk" + m + "/t/d/e"}}) {
            for (const char* flag : {"", "-v"}) {
                const fs::path e = nobodys(row.folder);
                ASSERT_EQ(::chmod(e.c_str(), mode), 0);
                std::vector<std::string> args{"rm", (t.path() / row.operand).string()};
                if (*flag != 0) args.push_back(flag);
                const auto r = as_nobody(args);
                EXPECT_EQ(r.status, 0)
                    << row.folder << " mode " << m << " " << flag << ": " << r.err;
                EXPECT_FALSE(fs::exists(t.path() / row.operand)) << row.folder << " mode " << m;
                if (*flag != 0) {
                    EXPECT_THAT(r.out, HasSubstr("removed directory '" +
                                                 (t.path() / row.folder).string() + "'\n"));
                }
            }
        }
        const fs::path full = nobodys("full" + m + "/e");
        t.write("full" + m + "/e/x", "");
        ASSERT_EQ(::chmod(full.c_str(), mode), 0);
        const auto r = as_nobody({"rm", full.string()});
        EXPECT_EQ(r.status, 1) << "mode " << m;
        EXPECT_THAT(r.err, StartsWith("fmutil: " + full.string() + ": afpAccessDenied")) << m;
        ::chmod(full.c_str(), 0700);
        EXPECT_TRUE(fs::exists(full / "x")) << "mode " << m;
    }

    // A file root owns and nobody may write: plain touch and touch to now
    // move its date; a date of one's choosing stays the owner's (as touch -d).
    const fs::path w = t.write("writable", "w");
    ASSERT_EQ(::chmod(w.c_str(), 0666), 0);
    const struct timespec old[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    for (const char* date : {"", "now"}) {
        ASSERT_EQ(::utimensat(AT_FDCWD, w.c_str(), old, 0), 0);
        std::vector<std::string> args{"touch", w.string()};
        if (*date != 0) args.insert(args.end(), {"--date", date});
        const auto r = as_nobody(args);
        EXPECT_EQ(r.status, 0) << "touch " << date << ": " << r.err;
        struct stat st {};
        ASSERT_EQ(::stat(w.c_str(), &st), 0);
        EXPECT_GT(st.st_mtime, ::time(nullptr) - 60) << "touch " << date << " moved no date";
    }
    auto r = as_nobody({"touch", w.string(), "--date", "2001-01-02"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("permErr"));

    // Root's file in a folder open to all but sticky: refused as rm refuses
    // it, and said to be the sticky folder's doing, not a missing right.
    const fs::path sticky = t.mkdir("sticky");
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const fs::path roots = t.write("sticky/roots", "r");
    for (const std::string& operand : {roots.string(), sticky.string()}) {
        r = as_nobody({"rm", operand});
        EXPECT_EQ(r.status, 1) << operand;
        EXPECT_EQ(r.err, "fmutil: " + roots.string() +
                             ": permErr (-54): its folder is sticky: only the item's owner, the "
                             "folder's owner or root may delete it there\n")
            << operand;
    }
    EXPECT_TRUE(fs::exists(roots));

    // A folder nobody may read but not search.
    const fs::path rd = t.mkdir("readable");
    t.write("readable/a", "");
    t.mkdir("readable/s");
    ASSERT_EQ(::chmod(rd.c_str(), 0744), 0);
    r = as_nobody({"ls", rd.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("a\n"));
    EXPECT_THAT(r.out, HasSubstr("s\n"));
    r = as_nobody({"ls", "-l", rd.string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.out, testing::ContainsRegex("(^|\n)\\?\\? +\\? +\\? +\\? a\n"));
    EXPECT_THAT(r.out, testing::ContainsRegex("(^|\n)d\\? +\\? +\\? +\\? s\n"));
    EXPECT_THAT(r.err, HasSubstr("fmutil: " + (rd / "a").string() + ": afpAccessDenied"));
    EXPECT_THAT(r.err, HasSubstr("fmutil: " + (rd / "s").string() + ": afpAccessDenied"));
    r = as_nobody({"ls", "-l", "--json", rd.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(JsonCheck::valid(r.out)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("{\"name\":\"a\",\"kind\":null,\"node_id\":null"));
    EXPECT_THAT(r.out, HasSubstr("{\"name\":\"s\",\"kind\":\"directory\""));
    r = as_nobody({"tree", rd.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr(rd.string() + "/a\n"));
    EXPECT_THAT(r.out, HasSubstr(rd.string() + "/s/\n"));
    EXPECT_EQ(r.err,
              "fmutil: " + (rd / "s").string() + ": afpAccessDenied (-5000): access denied\n");
    r = as_nobody({"tree", "--json", rd.string()});
    EXPECT_TRUE(JsonCheck::valid(r.out)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("\"path\":\"" + rd.string() + "/a\",\"depth\":1,\"kind\":null"));
    ::chmod(rd.c_str(), 0755);
}

// Links, FIFOs, sockets and devices are shown as what they are, and an error
// about one says what it is, not what an attempt on it ran into.
TEST(FmutilItems, EachKindIsShownAsItselfAndErrorsSayWhatHappened) {
    vtest::TempDir t("fmitems");
    const auto d = t.mkdir("d");
    t.write("d/file", "abc");
    t.mkdir("d/folder");
    fs::create_symlink("file", d / "link");
    ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0644), 0);
    ASSERT_TRUE(make_socket(d / "sock"));
    struct Row {
        const char* name;
        const char* json;
        const char* text;
        char letter;
    };
    std::vector<Row> rows = {{"file", "file", "file", '-'},
                             {"folder", "directory", "directory", 'd'},
                             {"link", "symlink", "symbolic link", 'l'},
                             {"fifo", "fifo", "FIFO", 'p'},
                             {"sock", "socket", "socket", 's'}};
    if (::mknod((d / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        rows.push_back({"null", "char_device", "character device", 'c'});
    }
    const auto ls = run({"ls", "-l", d});
    ASSERT_EQ(ls.status, 0) << ls.err;
    const auto tree = run({"tree", d, "--json"});
    ASSERT_EQ(tree.status, 0) << tree.err;
    for (const Row& row : rows) {
        const fs::path p = d / row.name;
        auto info = run({"info", p, "--json"});
        EXPECT_EQ(info.status, 0) << row.name << ": " << info.err;
        EXPECT_THAT(info.out, HasSubstr(std::string("\"kind\":\"") + row.json + "\"")) << row.name;
        info = run({"info", p});
        EXPECT_THAT(info.out, HasSubstr(std::string("kind        ") + row.text + "\n")) << row.name;
        EXPECT_THAT(ls.out, testing::ContainsRegex(std::string("(^|\n)") + row.letter + "- .* " +
                                                   row.name + "\n"))
            << row.name << " in:\n"
            << ls.out;
        EXPECT_THAT(tree.out, HasSubstr("\"path\":\"" + p.string() + "\",\"depth\":1,\"kind\":\"" +
                                        row.json + "\""))
            << row.name;
        if (row.letter == '-' || row.letter == 'd') continue;

        // Copying it, or giving it a type, says what it is.
        auto cp = run({"cp", p, t.mkdir("dest")});
        EXPECT_EQ(cp.status, 1) << row.name;
        EXPECT_THAT(cp.err, HasSubstr(std::string("it is a ") + row.text + ", not a plain file"))
            << row.name;
        EXPECT_THAT(cp.err, Not(HasSubstr("directory"))) << row.name;
        auto type = run({"type", p, "--type", "TEXT"});
        EXPECT_EQ(type.status, 1) << row.name;
        EXPECT_THAT(type.err, HasSubstr("notAFileErr")) << row.name;
        EXPECT_THAT(type.err, HasSubstr(row.text)) << row.name;
        EXPECT_THAT(type.err, Not(HasSubstr("permission"))) << row.name;
        // Nor Finder flags or the lock (as root, a FIFO's was "permission denied").
        // Exchanging, copying attributes to it or asking its file ID names it
        // (the exchange named the other, plain file) and says what it is.
        const std::string plain = d / "file";
        for (std::vector<std::string> args : {std::vector<std::string>{"flags", p, "+invisible"},
                                              {"flags", p, "label=red"},
                                              {"lock", p},
                                              {"swap", plain, p},
                                              {"swap", p, plain},
                                              {"copy-attrs", plain, p},
                                              {"fileid", p}}) {
            auto r = run(args);
            EXPECT_EQ(r.status, 1) << args[0] << " " << row.name;
            EXPECT_THAT(r.err, StartsWith("fmutil: " + p.string() + ": ")) << r.err;
            EXPECT_THAT(r.err, testing::ContainsRegex(std::string("it is a ") + row.text +
                                                      "(, not a plain file)?\n"))
                << r.err;
            EXPECT_THAT(r.err, Not(HasSubstr("permission"))) << r.err;
        }
    }
    EXPECT_TRUE(fs::is_empty(t.path() / "dest")) << "nothing was copied";
}

// A code that is not four characters: the advice in the error can be typed
// as shown (one backslash), and typed so it gives the byte it promises.
TEST(FmutilItems, TypeCodeAdviceCanBeFollowedAsWritten) {
    vtest::TempDir t("fmitems");
    const auto f = t.write("f", "");
    auto r = run({"type", f, "--type", "AB\xC3\xA9"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(" as \\xHH"));
    EXPECT_THAT(r.err, Not(HasSubstr("\\\\xHH"))) << r.err;
    ASSERT_EQ(run({"type", f, "--type", "AB\\x01C"}).status, 0);
    r = run({"type", f, "--json"});
    EXPECT_THAT(r.out, HasSubstr("\"type\":\"AB\\\\x01C\"")) << r.out;
}

// The copy's path printed with --json names the copy, however the source's
// name is normalised on disk.
TEST(FmutilItems, CpJsonPrintsThePathTheCopyHasOnDisk) {
    vtest::TempDir t("fmitems");
    const auto dest = t.mkdir("dest");
    for (const char* name : {"caf\xC3\xA9", "r\xC3\xA9sum\xC3\xA9", "plain"}) {
        const auto src = t.write(name, "data");
        auto r = run({"cp", src, dest, "--json"});
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        const std::string prefix = "{\"path\":\"";
        ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out;
        const std::string printed =
            r.out.substr(prefix.size(), r.out.find('"', prefix.size()) - prefix.size());
        EXPECT_EQ(printed, (dest / name).string()) << name;
        EXPECT_EQ(vtest::read_file(printed), "data") << name << ": the printed path names no file";
    }
}

// Runs `fmutil rsrc F --set -` with standard input a TCP connection that
// delivers 2 MiB, then, once the command has read all of it, is reset by
// its peer: each read after that fails with ECONNRESET. The exit status and
// what the command wrote to standard error (kept in `errFile`).
std::pair<int, std::string> rsrc_set_from_reset_socket(const fs::path& f, const fs::path& errFile) {
    const int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (lst < 0 || ::bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(lst, 1) != 0 || ::getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {-1, "no loopback socket"};
    const int in = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (in < 0 || ::connect(in, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return {-1, "no connection"};
    const int feed = ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(lst);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execl(FMUTIL_PATH, FMUTIL_PATH, "rsrc", f.c_str(), "--set", "-",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string chunk(2u << 20, 'x');
    std::size_t sent = 0;
    while (sent < chunk.size()) {
        const ssize_t n = ::write(feed, chunk.data() + sent, chunk.size() - sent);
        if (n <= 0) break;
        sent += std::size_t(n);
    }
    // Reset only once the command has taken every byte from the socket.
    for (int i = 0; i < 3000; ++i) {
        int unread = 0;
        if (::ioctl(in, FIONREAD, &unread) != 0 || unread == 0) break;
        ::usleep(10000);
    }
    const linger hard{1, 0};
    ::setsockopt(feed, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(feed);
    ::close(in);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, vtest::read_file(errFile)};
}

// The resource fork as bytes: printed, replaced from a file or standard
// input, emptied; input that cannot be read, or a fork that cannot be
// written, leaves the old fork as it was.
TEST(FmutilItems, RsrcReadsAndReplacesTheResourceForkAsBytes) {
    vtest::TempDir t("fmitems");
    const auto f = t.write("f", "data fork");
    std::string bytes("\0\x01rsrc\xFF\n", 8);
    const auto src = t.write("src", bytes);

    auto r = run({"rsrc", f});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << "no fork yet";
    r = run({"rsrc", f, "--set", src, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"path\":\"" + f.string() + "\",\"rsrc_size\":8}\n");
    EXPECT_EQ(run({"rsrc", f}).out, bytes);
    EXPECT_THAT(run({"info", f}).out, HasSubstr("rsrc fork   8 bytes"));
    EXPECT_EQ(vtest::read_file(f), "data fork") << "the data fork is another fork";

    // From standard input.
    const std::string cmd =
        std::string("printf 'from stdin' | ") + FMUTIL_PATH + " rsrc '" + f.string() + "' --set -";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(run({"rsrc", f}).out, "from stdin");

    // Nothing readable to set from: the fork stays.
    r = run({"rsrc", f, "--set", (t.path() / "missing").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("cannot read"));
    r = run({"rsrc", f, "--set", t.path()});
    EXPECT_EQ(r.status, 1) << "a directory is not input";
    EXPECT_EQ(run({"rsrc", f}).out, "from stdin");
    // Input that fails halfway (a network source whose peer went away,
    // after the command had written 2 MiB of it into the new fork).
    const auto reset = rsrc_set_from_reset_socket(f, t.path() / "err");
    EXPECT_EQ(reset.first, 1);
    EXPECT_THAT(reset.second, HasSubstr("cannot read standard input"));
    const std::string after = run({"rsrc", f}).out;
    EXPECT_TRUE(after == "from stdin") << "the fork is now " << after.size() << " bytes";

    EXPECT_EQ(run({"rsrc", f, "--clear"}).status, 0);
    EXPECT_EQ(run({"rsrc", f}).out, "");
    EXPECT_FALSE(std::filesystem::exists(t.path() / "._f"))
        << "a file without a fork has no sidecar";
    EXPECT_EQ(run({"rsrc", f, "--clear"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(t.path() / "._f")) << "clearing no fork makes no sidecar";
    EXPECT_EQ(run({"rsrc", f, "--clear", "--set", src}).status, 2);
    r = run({"rsrc", t.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("it is a directory, not a plain file"));

    // A "._f" of the user's own holds the fork's place: it is kept, and the
    // message says what is in the way, not an input/output error.
    t.write("._f", "my notes");
    r = run({"rsrc", f, "--set", src});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("afpObjectTypeErr"));
    EXPECT_THAT(r.err, HasSubstr("the ._ file beside it is not a resource fork"));
    EXPECT_EQ(vtest::read_file(t.path() / "._f"), "my notes");
}

// rm deletes files as well as folders, several at once; --dry-run lists
// what would go and deletes nothing; --verbose names what went.
TEST(FmutilItems, RmDeletesFilesAndFoldersListsWithDryRunAndNamesWithVerbose) {
    vtest::TempDir t("fmitems");
    const auto file = t.write("file", "x");
    t.write("dir/sub/deep", "");
    t.write("dir/top", "");
    t.write("outside/keep", "");
    fs::create_directory_symlink(t.path() / "outside", t.path() / "dir/link");
    const std::string d = (t.path() / "dir").string();

    auto n = run({"rm", "-n", file, d});
    EXPECT_EQ(n.status, 0) << n.err;
    std::vector<std::string> lines;
    for (std::size_t s = 0, e; (e = n.out.find('\n', s)) != std::string::npos; s = e + 1)
        lines.push_back(n.out.substr(s, e - s));
    auto at = [&](const std::string& p) {
        return std::find(lines.begin(), lines.end(), p) - lines.begin();
    };
    ASSERT_EQ(lines.size(), 6u) << n.out;
    EXPECT_EQ(lines[0], file.string());
    EXPECT_EQ(lines[5], d);
    EXPECT_LT(at(d + "/sub/deep"), at(d + "/sub")) << "items go before their directory";
    for (const char* p : {"/top", "/link"}) EXPECT_LT(at(d + p), 5) << p;
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(fs::exists(t.path() / "dir/sub/deep"));

    auto j = run({"rm", "--dry-run", d, "--json"});
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("\"would_remove\":\"directory\",\"items\":[\""));

    auto v = run({"rm", "-v", file, d, (t.path() / "missing").string()});
    EXPECT_EQ(v.status, 1) << "one operand was missing";
    // As rm -v says it: quoted for the shell, "directory" for a folder.
    EXPECT_THAT(v.out, HasSubstr("removed '" + file.string() + "'\n"));
    EXPECT_THAT(v.out, HasSubstr("removed '" + d + "/sub/deep'\n"));
    EXPECT_THAT(v.out, HasSubstr("removed directory '" + d + "/sub'\n"));
    EXPECT_THAT(v.out, HasSubstr("removed directory '" + d + "'\n"));
    EXPECT_THAT(v.err, HasSubstr("missing: fnfErr"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(d));
    EXPECT_TRUE(fs::exists(t.path() / "outside/keep")) << "the link was followed";
    // Trailing slashes as typed, a run of them as one, as rm -v prints them.
    const std::string slashed = t.write("slashes/x", "").parent_path().string();
    v = run({"rm", "-v", slashed + "///"});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out, "removed '" + slashed + "/x'\nremoved directory '" + slashed + "/'\n");
    // With --force, as rm -f, a path that is not there (another rm was
    // first) is what was asked; the others are still done and reported.
    const auto again = t.write("again", "");
    for (const char* force : {"-f", "--force"}) {
        auto f = run({"rm", force, (t.path() / "missing").string()});
        EXPECT_EQ(f.status, 0) << force << ": " << f.err;
        EXPECT_EQ(f.err, "") << force;
    }
    auto f = run({"rm", "-f", "--json", (t.path() / "missing").string(), again.string()});
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_TRUE(JsonCheck::valid(f.out)) << f.out;
    EXPECT_THAT(f.out, HasSubstr("\"errors\":[]"));
    EXPECT_FALSE(fs::exists(again));

    // Append-only refuses root too: said as what it is.
    const auto appended = t.write("append/only", "");
    for (const fs::path& p : {appended, appended.parent_path()}) {
        if (!vtest::set_append_only(p, true)) continue;
        for (const fs::path& operand : {appended, appended.parent_path()}) {
            auto a = run({"rm", operand});
            EXPECT_EQ(a.status, 1) << p << " " << operand;
            EXPECT_EQ(a.err, "fmutil: " + appended.string() +
                                 ": permErr (-54): refused to root too: the item or its folder is "
                                 "append-only (lsattr shows an 'a'), which nobody may delete from "
                                 "until it is taken off (chattr -a)\n")
                << p << " " << operand;
        }
        EXPECT_TRUE(fs::exists(appended)) << p;
        vtest::set_append_only(p, false);
    }
    // Refused by the system for another reason (here a filter that denies
    // every unlink, as a security module would): not called append-only.
    if (::geteuid() == 0) {
        const auto denied = t.write("denied/f", "");
        for (const fs::path& operand : {denied, denied.parent_path()}) {
            const auto child = vtest::run_child(vtest::Child::Plain, [&]() -> std::string {
                if (!deny_unlinks()) return "the filter could not be installed";
                auto a = run({"rm", operand});
                const std::string want = "fmutil: " + denied.string() +
                                         ": permErr (-54): refused to root too: the system does "
                                         "not permit it (operation not permitted), though neither "
                                         "the item nor its folder is append-only or locked\n";
                if (a.status != 1 || a.err != want)
                    return "status " + std::to_string(a.status) + ", said: " + a.err;
                return {};
            });
            ASSERT_TRUE(child.has_value());
            EXPECT_EQ(*child, "") << operand;
            EXPECT_TRUE(fs::exists(denied)) << operand;
        }
    }
    const auto locked = t.write("locked", "");
    if (vtest::set_immutable(locked, true)) {
        EXPECT_EQ(run({"rm", locked}).status, 0);
        EXPECT_FALSE(fs::exists(locked)) << "a locked file goes too";
        // Unless its lock is also that of another name, here or in a tree:
        // the lock is the file's, and rm -rf is refused by it.
        const auto outside = t.write("outside/shared", "shared");
        const auto inTree = t.path() / "tree/d/f";
        fs::create_directories(inTree.parent_path());
        fs::create_hard_link(outside, inTree);
        fs::create_hard_link(outside, t.path() / "alone");
        ASSERT_TRUE(vtest::set_immutable(outside, true));
        for (const fs::path& operand : {t.path() / "alone", t.path() / "tree"}) {
            auto refused = run({"rm", operand});
            EXPECT_EQ(refused.status, 1) << operand;
            EXPECT_THAT(refused.err, HasSubstr("fLckdErr")) << operand;
            EXPECT_TRUE(vtest::is_immutable(outside)) << operand << ": the lock outside went";
        }
        EXPECT_TRUE(fs::exists(t.path() / "alone"));
        EXPECT_TRUE(fs::exists(inTree));
        vtest::set_immutable(outside, false);
    }
    EXPECT_EQ(run({"rm", "--contents-only", t.write("f2", "")}).status, 1);
    // "plain/" names no file: a trailing slash asks for a directory.
    const auto plain = t.write("plain", "kept");
    auto r_slash = run({"rm", plain.string() + "/"});
    EXPECT_EQ(r_slash.status, 1);
    EXPECT_THAT(r_slash.err, HasSubstr("dirNFErr"));
    EXPECT_EQ(vtest::read_file(plain), "kept");
    fs::create_directory_symlink(t.path() / "outside", t.path() / "lnk");
    EXPECT_EQ(run({"rm", (t.path() / "lnk").string() + "/"}).status, 1);
    EXPECT_TRUE(fs::is_symlink(t.path() / "lnk"));

    // A "._" file of the user's own is never listed nor deleted: the folder
    // it keeps says what holds it, instead of a bare "not empty".
    t.write("held/._notes", "mine, not AppleDouble");
    t.write("held/f", "goes");
    auto held = run({"rm", (t.path() / "held").string()});
    EXPECT_EQ(held.status, 1);
    EXPECT_THAT(held.err, HasSubstr("fBsyErr"));
    EXPECT_THAT(held.err, HasSubstr("it still holds ._notes"));
    EXPECT_EQ(vtest::read_file(t.path() / "held/._notes"), "mine, not AppleDouble");
    EXPECT_FALSE(fs::exists(t.path() / "held/f"));
}

// A chain of `levels` folders with 200-byte names, each with `files` files
// in it, made one level at a time (it is deeper than a path may be), under
// `top`; the number of items made, `top` included.
std::size_t make_long_chain(const fs::path& top, int levels, int files) {
    fs::create_directories(top);
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t items = 1;
    const std::string level(200, 'L');
    for (int i = 0; i < levels && fd >= 0; ++i) {
        for (int f = 0; f < files; ++f) {
            const int file = ::openat(fd, ("f" + std::to_string(f)).c_str(),
                                      O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (file < 0) return 0;
            ::close(file);
            ++items;
        }
        if (::mkdirat(fd, level.c_str(), 0755) != 0) return 0;
        const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
        ++items;
    }
    if (fd < 0) return 0;
    ::close(fd);
    return items;
}

// At `ulimit -n 12`, where rm -rf and cp -a still work, the walks work:
// a walk of any depth holds a bounded number of descriptors, and gives
// up the ones it keeps for speed before it runs out.
TEST(FmutilItems, WalksWorkWithTwelveDescriptors) {
    vtest::TempDir t("fmfew");
    std::string deep = "src";
    std::vector<std::string> files;
    for (int i = 0; i < 40; ++i) {
        deep += "/d" + std::to_string(i);
        if (i % 5 == 0) t.write(files.emplace_back(deep + "/f"), std::to_string(i));
    }
    t.mkdir(deep);
    t.mkdir("dest");
    auto at_twelve = [&](const std::string& args) {
        return fmtest::run_program("/bin/sh", {"-c", "ulimit -n 12 && cd '" + t.path().string() +
                                                         "' && exec " + FMUTIL_PATH + " " + args});
    };
    for (const char* args : {"tree src", "rm -n src", "info -R src", "cp -r src dest"}) {
        const auto r = at_twelve(args);
        EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    }
    for (const std::string& f : files)
        EXPECT_EQ(vtest::read_file(t.path() / "dest" / f), vtest::read_file(t.path() / f)) << f;
    for (const char* args : {"rm -v src", "rm dest"}) {
        const auto r = at_twelve(args);
        EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(t.path() / "src"));
    EXPECT_FALSE(fs::exists(t.path() / "dest"));
}

// rm -v names every item as it is removed, past PATH_MAX as well as near the
// top: 6,001 items, 6,001 names, each once, each item's own path.
TEST(FmutilItems, RmVerboseNamesEveryItemItRemovesPastPathMax) {
    struct Row {
        const char* name;
        bool json;
    };
    for (const Row row : {Row{"text", false}, Row{"json", true}}) {
        SCOPED_TRACE(row.name);
        vtest::TempDir t("fmrmv");
        const fs::path top = t.path() / "top";
        const std::size_t made = make_long_chain(top, 30, 199);
        ASSERT_EQ(made, 6001u);
        std::vector<std::string> args = {"rm", "-v", top.string()};
        if (row.json) args.push_back("--json");
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(fs::exists(top));
        std::vector<std::string> named;
        if (row.json) {
            ASSERT_TRUE(JsonCheck::valid(r.out)) << r.out.substr(0, 200);
            const std::string key = "\"items\":[";
            const std::size_t at = r.out.find(key);
            ASSERT_NE(at, std::string::npos) << r.out.substr(0, 200);
            for (std::size_t s = at + key.size(); r.out[s] == '"';) {
                const std::size_t e = r.out.find('"', s + 1);
                named.push_back(r.out.substr(s + 1, e - s - 1));
                s = e + 1;
                if (r.out[s] == ',') ++s;
            }
        } else {
            for (std::size_t s = 0, e; (e = r.out.find('\n', s)) != std::string::npos; s = e + 1) {
                std::string line = r.out.substr(s, e - s);
                for (const char* head : {"removed directory '", "removed '"}) {
                    if (line.rfind(head, 0) == 0) {
                        line.erase(0, std::strlen(head));
                        break;
                    }
                }
                ASSERT_TRUE(line.size() < e - s && line.back() == '\'') << line.substr(0, 80);
                line.pop_back();
                named.push_back(line);
            }
        }
        EXPECT_EQ(named.size(), made);
        const std::set<std::string> distinct(named.begin(), named.end());
        EXPECT_EQ(distinct.size(), named.size()) << "an item named twice";
        ASSERT_FALSE(named.empty());
        EXPECT_EQ(named.back(), top.string()) << "the folder last";
        const std::string level(200, 'L');
        std::string deepest = top.string();
        for (int i = 0; i < 30; ++i) deepest += "/" + level;
        const auto past = std::count_if(named.begin(), named.end(),
                                        [](const std::string& n) { return n.size() >= PATH_MAX; });
        EXPECT_GT(past, 1500) << "items named past PATH_MAX";
        EXPECT_EQ(distinct.count(deepest), 1u) << "the deepest folder, by its own path";
        EXPECT_EQ(distinct.count(deepest.substr(0, deepest.size() - 201) + "/f198"), 1u);
    }
}

// rm -n foresees what rm refuses, and says it as rm then does: a folder
// holding a "._NAME" of the user's own stays (no deletion takes it), and so
// does every folder above it; so do a locked file that is another name of
// a file outside (its lock is not the tree's to take), and, for another
// user, root's file in a sticky folder. An empty folder that user may not
// read is no refusal: rm deletes it, and rm -n lists it. The status and the
// first error line are rm's, nothing listed stays, and a dry run deletes
// nothing.
TEST(FmutilItems, RmDryRunForeseesWhatRmRefuses) {
    enum class Need { Nothing, Root, Nobody };
    struct Row {
        const char* name;
        Need need;
        void (*setup)(const fs::path& top, const fs::path& outside);
        const char* refused;  // under "top": the item rm stops at (null: none)
        const char* code;     // its error's name
        std::vector<std::string> stays;
    };
    const Row rows[] = {
        {"deep",
         Need::Nothing,
         [](const fs::path& top, const fs::path&) {
             vtest::write_bytes(top / "a/b/._mine", "mine, not AppleDouble");
         },
         "a/b",
         "fBsyErr",
         {"", "a", "a/b", "a/b/._mine"}},
        {"at the top",
         Need::Nothing,
         [](const fs::path& top, const fs::path&) {
             vtest::write_bytes(top / "._mine", "mine, not AppleDouble");
         },
         "",
         "fBsyErr",
         {"", "._mine"}},
        {"a locked file with a name outside",
         Need::Root,
         [](const fs::path& top, const fs::path& outside) {
             vtest::write_bytes(outside / "p", "outside");
             fs::create_hard_link(outside / "p", top / "a/linked");
             vtest::set_immutable(outside / "p", true);
         },
         "a/linked",
         "fLckdErr",
         {"", "a", "a/linked"}},
        {"root's file in a sticky folder",
         Need::Nobody,
         [](const fs::path& top, const fs::path&) {
             fs::create_directory(top / "s");
             vtest::write_bytes(top / "s/roots", "root's");
             ::chmod((top / "s").c_str(), 01777);
         },
         "s/roots",
         "permErr",
         {"", "s", "s/roots"}},
        {"an empty folder it may not read",
         Need::Nobody,
         [](const fs::path& top, const fs::path&) {
             fs::create_directory(top / "a/closed");
             ::chown((top / "a/closed").c_str(), 65534, 65534);
             ::chmod((top / "a/closed").c_str(), 0);
         },
         nullptr,
         nullptr,
         {}},
    };
    const bool root = ::geteuid() == 0;
    const bool setpriv = std::system("command -v setpriv >/dev/null 2>&1") == 0;
    std::vector<std::string> skipped;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vtest::TempDir t("fmrmn");
        const fs::path top = t.path() / "top";
        const fs::path outside = t.mkdir("outside");
        for (const char* f : {"a/b/x", "a/y", "z"}) t.write(std::string("top/") + f, "");
        if ((row.need == Need::Root && !vtest::can_set_immutable(t.path())) ||
            (row.need == Need::Nobody && (!root || !setpriv))) {
            skipped.push_back(row.name);
            continue;
        }
        row.setup(top, outside);
        auto as = [&](std::vector<std::string> args) {
            if (row.need != Need::Nobody) return run(args);
            args.insert(args.begin(),
                        {"--reuid=65534", "--regid=65534", "--clear-groups", FMUTIL_PATH});
            return fmtest::run_program("/usr/bin/setpriv", args);
        };
        if (row.need == Need::Nobody) {  // the tree nobody's, but what the row gave root
            ASSERT_EQ(::chown(t.path().c_str(), 65534, 65534), 0);
            for (const auto& e : fs::recursive_directory_iterator(top)) {
                if (e.path().parent_path().filename() != "s" && e.path().filename() != "s")
                    ::lchown(e.path().c_str(), 65534, 65534);
            }
            ::lchown(top.c_str(), 65534, 65534);
        }
        const std::string refused = row.refused == nullptr ? ""
                                    : *row.refused == 0    ? top.string()
                                                           : (top / row.refused).string();
        const std::string line = "fmutil: " + refused + ": " + (row.code ? row.code : "");
        auto n = as({"rm", "-n", top.string()});
        EXPECT_EQ(n.status, row.refused ? 1 : 0) << n.err;
        if (row.refused) {
            EXPECT_THAT(n.err, StartsWith(line));
        }
        if (!row.refused) {  // nothing refused; the doubt about what could not be read said
            EXPECT_EQ(n.err, "fmutil: " + (top / "a/closed").string() +
                                 ": afpAccessDenied (-5000): it cannot be read: rm removes it if "
                                 "it is empty, and stops here if it is not\n");
            EXPECT_THAT(n.out, HasSubstr((top / "a/closed").string() + "\n"));
        }
        for (const std::string& s : row.stays) {
            const std::string p = s.empty() ? top.string() : (top / s).string();
            EXPECT_THAT(n.out, Not(HasSubstr(p + "\n"))) << p << " listed, but it stays";
        }
        EXPECT_THAT(n.out, HasSubstr((top / "a/b/x").string() + "\n"));
        EXPECT_TRUE(fs::exists(top / "a/b/x")) << "a dry run deletes nothing";
        auto r = as({"rm", top.string()});
        EXPECT_EQ(r.status, n.status) << r.err;
        if (row.refused) {
            EXPECT_THAT(r.err, StartsWith(line));
        }
        for (const std::string& s : row.stays) EXPECT_TRUE(fs::exists(top / s)) << s;
        if (!row.refused) {
            EXPECT_FALSE(fs::exists(top)) << "rm -n said all would go";
        }
        vtest::set_immutable(outside / "p", false);
    }
    if (!skipped.empty())
        std::cout << "rows skipped (need root): " << ::testing::PrintToString(skipped) << "\n";
}

// fmutil orphans lists, at every depth, the "._" entries no listing shows
// and that are no fork: orphans, leftovers of a change whose program is
// gone, and the user's own files; --remove takes the first two and never
// the user's own, nor a fork. A temporary whose maker died is cleared by
// the listing itself, as by every listing of its folder, so it is never
// shown.
TEST(FmutilItems, OrphansListsExplainsAndRemovesOnRequest) {
    struct Row {
        const char* entry;  // under "top"
        const char* kind;   // as the JSON names it, or null: not listed
        bool goes;          // removed by --remove
    };
    const Row rows[] = {
        {"d/._kept", nullptr, false},  // the fork of d/kept, which is there
        {"d/._gone", "orphan", true},  {"d/e/._deep", "orphan", true},
        {"._mine", "own_file", false}, {"d/._._vantrel.1.dead.1", nullptr, true},
    };
    vtest::TempDir t("fmorph");
    const fs::path top = t.path() / "top";
    t.write("top/d/kept", "k");
    t.mkdir("top/d/e");
    for (const Row& row : rows) {
        if (std::string_view(row.entry).ends_with("._mine"))
            t.write(std::string("top/") + row.entry, "mine, not AppleDouble");
        else
            vtest::write_bytes(top / row.entry, vtest::sidecar_bytes("fork"));
    }
    auto list = run({"orphans", top.string()});
    EXPECT_EQ(list.status, 0) << list.err;
    auto json = run({"orphans", top.string(), "--json"});
    EXPECT_TRUE(JsonCheck::valid(json.out)) << json.out;
    for (const Row& row : rows) {
        const std::string p = (top / row.entry).string();
        if (row.kind == nullptr) {
            EXPECT_THAT(list.out, Not(HasSubstr(p))) << row.entry << " is no orphan";
            EXPECT_EQ(fs::exists(top / row.entry), !row.goes)
                << row.entry << ": a fork stays, a dead maker's temporary is cleared";
            continue;
        }
        EXPECT_THAT(list.out, HasSubstr(p + ": ")) << row.entry;
        EXPECT_THAT(json.out, HasSubstr("{\"path\":\"" + p + "\",\"kind\":\"" + row.kind +
                                        "\",\"removed\":false}"));
        EXPECT_TRUE(fs::exists(top / row.entry)) << "listing removes nothing";
    }
    EXPECT_THAT(list.out, HasSubstr("its file is gone"));
    EXPECT_THAT(list.out, HasSubstr("move it away"));

    auto removed = run({"orphans", "--remove", top.string()});
    EXPECT_EQ(removed.status, 0) << removed.err;
    for (const Row& row : rows) {
        EXPECT_EQ(fs::exists(top / row.entry), !row.goes) << row.entry;
        if (row.goes && row.kind != nullptr) {
            EXPECT_THAT(removed.out, HasSubstr("removed " + (top / row.entry).string() + ": "));
        }
    }
    EXPECT_EQ(vtest::read_file(top / "d/kept"), "k");
    auto again = run({"orphans", top.string()});
    EXPECT_THAT(again.out, StartsWith((top / "._mine").string() + ": a file of the user's own"));
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 1) << again.out;
    auto file = run({"orphans", (top / "d/kept").string()});
    EXPECT_EQ(file.status, 1);
    EXPECT_THAT(file.err, HasSubstr("errFSNotAFolder"));
}

// mv renames as mv does; cp takes a new name of any length; cp --replace
// replaces a file's contents through the exchange, so that the file keeps
// its creation date and Finder information; errors name the destination
// when it is at fault; nothing is left behind.
TEST(FmutilItems, MvRenamesCpTakesAnyNameAndReplacesThroughTheExchange) {
    vtest::TempDir t("fmitems");
    const auto d = t.mkdir("d");
    const auto old_name = t.write("old", "contents");
    auto r = run({"mv", old_name, t.path() / "new", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vtest::read_file(t.path() / "new"), "contents");
    EXPECT_FALSE(fs::exists(old_name));
    EXPECT_EQ(run({"mv", t.path() / "new", d / "moved"}).status, 0) << "move and rename at once";
    EXPECT_EQ(vtest::read_file(d / "moved"), "contents");
    const auto other = t.write("other", "x");
    r = run({"mv", d / "moved", other});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("fmutil: " + other.string() + ": dupFNErr")) << "names DEST";
    EXPECT_EQ(vtest::read_file(other), "x") << "never replaced";
    EXPECT_EQ(run({"mv", d / "moved", t.path() / "no/such/place"}).status, 1);
    EXPECT_TRUE(fs::exists(d / "moved"));
    // A new path that asks for a directory, or for a name the File Manager
    // cannot give, is refused as such, and the file stays.
    struct Refused {
        std::string dest;
        int status;
        const char* says;
    };
    for (const Refused& row : {Refused{(t.path() / "newdir").string() + "/", 1, "dirNFErr"},
                               Refused{(t.path() / "r\xE9s").string(), 2, "is not UTF-8"}}) {
        r = run({"mv", d / "moved", row.dest});
        EXPECT_EQ(r.status, row.status) << row.dest;
        EXPECT_THAT(r.err, HasSubstr(row.says)) << r.err;
        EXPECT_TRUE(fs::exists(d / "moved")) << row.dest;
        EXPECT_FALSE(fs::exists(t.path() / "newdir")) << row.dest;
    }

    const std::string long_name = std::string(200, 'n') + ".txt";
    r = run({"cp", other, d, long_name, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vtest::read_file(d / long_name), "x");
    r = run({"cp", other, d, long_name});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("fmutil: " + (d / long_name).string() + ": dupFNErr"));

    const auto target = t.write("target", "old contents");
    ASSERT_EQ(run({"type", target, "--type", "OLDT", "--creator", "OLDC"}).status, 0);
    ASSERT_EQ(run({"touch", target, "--created", "--date", "2001-02-03T04:05:06Z"}).status, 0);
    ASSERT_EQ(run({"comment", target, "--set", "the target's own note"}).status, 0);
    const auto src = t.write("src", "new contents");
    ASSERT_EQ(run({"type", src, "--type", "NEWT", "--creator", "NEWC"}).status, 0);
    ASSERT_EQ(run({"comment", src, "--set", "the source's note"}).status, 0);
    r = run({"cp", src, "--replace", target, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"path\":\"" + target.string() + "\"}\n");
    EXPECT_EQ(vtest::read_file(target), "new contents");
    const auto info = run({"info", target}).out;
    EXPECT_THAT(info, HasSubstr("created     2001-02-03T04:05:06Z"));
    EXPECT_THAT(info, HasSubstr("type        OLDT"));
    EXPECT_EQ(run({"comment", target}).out, "the target's own note\n")
        << "the comment stays with the Finder information";
    EXPECT_EQ(vtest::read_file(src), "new contents");
    for (const auto& e : fs::directory_iterator(t.path())) {
        EXPECT_EQ(e.path().filename().string().rfind(".fmutil", 0), std::string::npos)
            << e.path() << " left behind";
    }
    r = run({"cp", src, "--replace", d});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("fmutil: " + d.string() + ": notAFileErr"));

    // A user's own "._target" beside the file is not its resource fork: it
    // stays where it is; a source with a fork cannot replace the file while
    // it holds the fork's place, and says why.
    t.write("._target", "my notes");
    r = run({"cp", src, "--replace", target});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vtest::read_file(t.path() / "._target"), "my notes");
    ASSERT_EQ(run({"rsrc", src, "--set", other}).status, 0);
    r = run({"cp", src, "--replace", target});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("afpObjectTypeErr"));
    EXPECT_THAT(r.err, HasSubstr("not a resource fork"));
    EXPECT_EQ(vtest::read_file(t.path() / "._target"), "my notes");
    // Copying or moving it to a name whose "._" is such a file names that
    // place (not the source) and says why; nothing there changes.
    const auto place = t.mkdir("place");
    t.write("place/._src", "my notes");
    for (std::vector<std::string> args : {std::vector<std::string>{"cp", src, place},
                                          {"cp", src, place, "src"},
                                          {"mv", src, place},
                                          {"mv", src, place / "src"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args.size();
        EXPECT_THAT(r.err, StartsWith("fmutil: " + (place / "src").string() + ": "));
        EXPECT_THAT(r.err, HasSubstr("not a resource fork")) << r.err;
        EXPECT_EQ(vtest::read_file(place / "._src"), "my notes");
        EXPECT_EQ(vtest::read_file(src), "new contents") << "the source stays";
    }
    for (const auto& e : fs::directory_iterator(t.path())) {
        EXPECT_EQ(e.path().filename().string().find(".fmutil"), std::string::npos)
            << e.path() << " left behind";
    }

    // A name that is not UTF-8 is copied as its bytes, or not at all: never
    // under a name with U+FFFD in it.
    const std::string latin1 = "r\xE9sum\xE9";
    t.write("tree/" + latin1, "old server");
    t.write("tree/fine", "ok");
    const auto copies = t.mkdir("copies");
    r = run({"cp", t.path() / "tree" / latin1, copies});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vtest::read_file(copies / latin1), "old server");
    // ... and replaced through the exchange like any other, with nothing
    // left under a temporary name and the success said as one.
    r = run({"cp", other, "--replace", copies / latin1, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"path_bytes\":\"")) << r.out;
    EXPECT_EQ(vtest::read_file(copies / latin1), "x");
    for (const auto& e : fs::directory_iterator(copies)) {
        EXPECT_EQ(e.path().filename().string().find(".fmutil"), std::string::npos)
            << e.path() << " left behind";
    }
    // cp -r copies it too, under the same bytes, as cp -a does.
    r = run({"cp", "-r", t.path() / "tree", copies});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vtest::read_file(copies / "tree" / latin1), "old server");
    EXPECT_EQ(vtest::read_file(copies / "tree/fine"), "ok");
    for (const auto& e : fs::directory_iterator(copies / "tree")) {
        EXPECT_EQ(e.path().filename().string().find("\xEF\xBF\xBD"), std::string::npos)
            << e.path() << ": copied under a replacement character";
    }
}

// cp -r copies what the File Manager lists; a "._NAME" that is not the
// resource fork of a copied item is never listed, so it cannot be carried:
// each one is named as not copied and the copy ends with status 1, while a
// real fork beside its file goes with the file and is not named.
TEST(FmutilItems, CpRecursiveNamesEachHiddenFileItDoesNotCarry) {
    vtest::TempDir t("fmitems");
    const fs::path src = t.mkdir("src");
    t.write("outside/file", "not in the tree");
    struct Row {
        const char* name;  // the "._" entry, under src
        bool reported;
        std::function<void(const fs::path&)> make;
    };
    const std::vector<Row> rows = {
        {"._a", true,
         [&](const fs::path& p) {
             t.write("src/a", "a");
             vtest::write_bytes(p, "notes\n");
         }},
        {"._b", true,
         [&](const fs::path& p) {
             t.write("src/b", "b");
             fs::create_symlink(t.path() / "outside/file", p);
         }},
        {"._gone", false,
         [&](const fs::path& p) { vtest::write_bytes(p, vtest::sidecar_bytes("f")); }},
        {"._m", true,
         [&](const fs::path& p) {
             t.write("src/m", "m");
             // The magic, and then no valid header: no sidecar, whatever it begins with.
             vtest::write_bytes(p, std::string("\x00\x05\x16\x07", 4) + " then my own notes");
         }},
        {"._d", true,
         [&](const fs::path& p) {
             t.write("src/d", "d");
             fs::create_directory(p);
         }},
        {"._e", true,
         [&](const fs::path& p) {
             t.write("src/e", "e");
             vtest::write_bytes(p, std::string("\x00\x05\x16", 3));  // shorter than the magic
         }},
        {"sub/._x", true,
         [&](const fs::path& p) {
             t.write("src/sub/x", "x");
             vtest::write_bytes(p, "mine");
         }},
        {"._", true, [&](const fs::path& p) { vtest::write_bytes(p, "no NAME at all"); }},
        {"._c", false,
         [&](const fs::path&) {
             t.write("src/c", "c");
             vtest::write_sidecar(src / "c", "fork of c");
         }},
    };
    for (const Row& row : rows) row.make(src / row.name);
    const fs::path dst = t.mkdir("dst");
    const auto r = run({"cp", "-r", src, dst});
    EXPECT_EQ(r.status, 1) << r.err;
    for (const Row& row : rows) {
        const std::string line = "fmutil: " + (src / row.name).string() + ": afpObjectTypeErr";
        if (row.reported) {
            EXPECT_THAT(r.err, HasSubstr(line)) << row.name;
            EXPECT_FALSE(fs::exists(fs::symlink_status(dst / "src" / row.name))) << row.name;
        } else {
            EXPECT_THAT(r.err, Not(HasSubstr(line))) << row.name;
        }
    }
    // An orphan (a sidecar whose file is gone) is no item's fork: left out,
    // and named as what it is.
    EXPECT_THAT(r.err, HasSubstr("fmutil: " + (src / "._gone").string() +
                                 ": left out: an orphaned resource fork, whose file is gone\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("._c"))) << "a fork goes with its file, unnamed";
    EXPECT_THAT(r.err, Not(HasSubstr("/outside"))) << "the link is named, not followed";
    for (const char* copied : {"a", "b", "c", "d", "e", "m", "sub/x"})
        EXPECT_TRUE(fs::exists(dst / "src" / copied)) << copied << ": the rest is copied";
    EXPECT_EQ(vtest::sidecar_fork(dst / "src/c"), "fork of c");
    EXPECT_EQ(vtest::read_file(src / "._a"), "notes\n") << "the source is untouched";
}

namespace {

// The directory `depth` levels of 200-byte names below `root`, made on the
// way with `make`, opened one level at a time (it may be deeper than a path
// can reach). -1 where a level is missing.
int open_deep(const fs::path& root, int depth, bool make) {
    const std::string name(200, 'd');
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        if (make) ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

std::string xattr_at(int dir, const char* leaf) {
    const int fd = ::openat(dir, leaf, O_RDONLY | O_CLOEXEC);
    char v[64] = {};
    const ssize_t n = fd < 0 ? -1 : ::fgetxattr(fd, "user.other", v, sizeof v - 1);
    if (fd >= 0) ::close(fd);
    return n < 0 ? "-" : std::string(v, static_cast<std::size_t>(n));
}

}  // namespace

// cp -r copies the other extended attributes of files and folders, and names
// the "._" files of the user's own it cannot carry, at any depth: also past
// the longest path the system takes.
TEST(FmutilItems, CpRecursiveCopiesOtherAttributesAtAnyDepth) {
    struct Row {
        const char* what;
        int depth;
    };
    const Row rows[] = {{"near the top", 1}, {"past PATH_MAX", 25}};
    for (const Row& row : rows) {
        vtest::TempDir t("fmitems");
        const fs::path src = t.mkdir("src");
        const int dir = open_deep(src, row.depth, true);
        ASSERT_GE(dir, 0) << row.what;
        const int file = ::openat(dir, "leaf", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0) << row.what;
        const bool xattrs = ::fsetxattr(file, "user.other", "far", 3, 0) == 0 &&
                            ::fsetxattr(dir, "user.other", "folder", 6, 0) == 0;
        ::close(file);
        // A file of the user's own under a fork's name is named there too.
        const int mine = ::openat(dir, "._mine", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ::close(mine);
        ::close(dir);
        if (!xattrs) GTEST_SKIP() << "no user extended attributes here";
        const auto r = run({"cp", "-r", src, t.mkdir("dst")});
        EXPECT_EQ(r.status, 1) << row.what << ": " << r.err;
        EXPECT_THAT(r.err, testing::ContainsRegex("^fmutil: " + src.string() +
                                                  "/(d+/)+\\._mine: afpObjectTypeErr"))
            << row.what;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << row.what << ": " << r.err;
        const int copy = open_deep(t.path() / "dst/src", row.depth, false);
        ASSERT_GE(copy, 0) << row.what;
        EXPECT_EQ(xattr_at(copy, "leaf"), "far") << row.what;
        EXPECT_EQ(xattr_at(copy, "."), "folder") << row.what;
        ::close(copy);
    }
    // An attribute that fills the room a file has for them (about 4 KiB on
    // ext4) leaves none for the record that keeps the copy's creation date:
    // the file is not copied, and the error names the attribute with the
    // system's own words; in a tree and on its own alike.
    struct Whole {
        const char* what;
        bool tree;
        const char* copy;  // the copy's path below the folder copied into
        const char* said;  // how the error begins
    };
    const Whole wholes[] = {{"cp -r", true, "src/big", "dst/src/big: dskFulErr (-34): "},
                            {"cp FILE DIR", false, "big", "dskFulErr (-34): "}};
    for (const Whole& row : wholes) {
        vtest::TempDir t("fmitems");
        const fs::path big = t.write("src/big", "data");
        const std::string value(4040, 'v');
        if (::setxattr(big.c_str(), "user.big", value.data(), value.size(), 0) != 0)
            GTEST_SKIP() << "no attribute of 4040 bytes here";
        const fs::path dst = t.mkdir("dst");
        const auto r = row.tree ? run({"cp", "-r", t.path() / "src", dst}) : run({"cp", big, dst});
        const fs::path copy = dst / row.copy;
        if (r.status == 0) {  // a file system with room for both
            EXPECT_EQ(::getxattr(copy.c_str(), "user.big", nullptr, 0), ssize_t(value.size()))
                << row.what;
        } else {
            EXPECT_THAT(r.err, HasSubstr(std::string(row.said) +
                                         "its extended attribute user.big cannot be kept on the "
                                         "copy: No space left on device"))
                << row.what;
            EXPECT_FALSE(fs::exists(copy)) << row.what << ": half a copy";
        }
    }
}

namespace {

// Everything cp -a keeps of an item, read without fmutil where Linux has a
// call for it: contents, mode, owner, modification time, another extended
// attribute; and through fmutil the Mac side: type, creator, resource fork,
// creation date.
std::string metadata_of(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "missing";
    char other[64] = {};
    const ssize_t n = ::lgetxattr(p.c_str(), "user.other", other, sizeof other - 1);
    std::string m = "mode " + std::to_string(st.st_mode & 07777) + " owner " +
                    std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " mtime " +
                    std::to_string(st.st_mtim.tv_sec) + " xattr " + (n >= 0 ? other : "-");
    if (S_ISREG(st.st_mode)) {
        m += " data " + vtest::read_file(p) + " " + run({"type", p}).out + " rsrc " +
             run({"rsrc", p}).out;
    }
    const std::string info = run({"info", p}).out;
    const auto c = info.find("created");
    m += " " + info.substr(c, info.find('\n', c) - c);
    return m + " comment " + run({"comment", p}).out;
}

}  // namespace

// A new fork that does not fit on the disk leaves the old one as it was:
// the sidecar's bytes, and no sidecar where there was none. (The fork was
// once emptied first, the write refused, and the empty fork committed,
// which removed the sidecar.)
// A sidecar "._f" that says its fork is 1 GiB long and holds no data: a
// sparse file, as a planted or preallocated sidecar is.
static fs::path plant_sparse_fork(const vtest::TempDir& t, const std::string& name) {
    const fs::path f = t.write(name, "data");
    std::string header = vtest::sidecar_bytes(std::string());
    header.resize(0x52, '\0');
    const std::uint32_t len = 1U << 30;
    for (int i = 0; i < 4; ++i) header[34 + i] = static_cast<char>(len >> (24 - 8 * i));
    const fs::path side = vtest::sidecar_path(f);
    vtest::write_bytes(side, header);
    fs::resize_file(side, 0x52 + std::uintmax_t{len});
    return f;
}

// rsrc prints a fork as it reads it, and writes one as it reads its input:
// its peak memory does not grow with the fork (it read a fork whole, twice
// over: 2.2 GB for this one; and it read a new fork whole before writing it).
TEST(FmutilItems, RsrcPrintsAndReplacesAForkOfAnySizeInLittleMemory) {
    vtest::TempDir t("fmitems");
    const fs::path f = plant_sparse_fork(t, "f");
    const fs::path input = t.write("input", "");
    fs::resize_file(input, 256u << 20);
    const fs::path g = t.write("g", "data");
    struct Row {
        const char* what;
        std::vector<std::string> args;
        long limitKiB;
    };
    const Row rows[] = {
        {"print", {"rsrc", f.string()}, 160 * 1024},
        {"set", {"rsrc", g.string(), "--set", input.string()}, 160 * 1024},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null < 0 || ::dup2(null, 1) < 0) ::_exit(126);
            std::vector<char*> argv{const_cast<char*>(FMUTIL_PATH)};
            for (const std::string& a : row.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(FMUTIL_PATH, argv.data());
            ::_exit(127);
        }
        int status = 0;
        struct rusage use {};
        ASSERT_EQ(pid, ::wait4(pid, &status, 0, &use));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        // Kilobytes. The sanitizers' shadow memory takes some tens of MiB of
        // its own; a fork held whole takes more than the 256 MiB or 1 GiB it
        // holds.
        EXPECT_LT(use.ru_maxrss, row.limitKiB) << "peak " << use.ru_maxrss << " KiB";
    }
    const auto json = run({"rsrc", f, "--json"});
    EXPECT_THAT(json.out, HasSubstr("\"rsrc_size\":1073741824")) << json.out;
    EXPECT_THAT(run({"rsrc", g, "--json"}).out, HasSubstr("\"rsrc_size\":268435456"));
}

// cp -r walks as tree and rm walk: its memory grows with the depth by a
// name's worth per level, not with the square of the depth (its own walk
// kept two paths per level: 300 MB for this tree under the sanitizers,
// against 40 MB now).
TEST(FmutilItems, CpRecursiveOfADeepTreeTakesLittleMemory) {
    vtest::TempDir t("fmitems");
    const fs::path src = t.mkdir("src");
    const int leaf = open_deep(src, 1000, true);
    ASSERT_GE(leaf, 0);
    ::close(::openat(leaf, "leaf", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ::close(leaf);
    const fs::path dst = t.mkdir("dst");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Freed memory is freed at once: the sanitizer's quarantine would
        // otherwise hold every transient path.
        ::setenv("ASAN_OPTIONS", "quarantine_size_mb=0:detect_leaks=0", 1);
        ::execl(FMUTIL_PATH, FMUTIL_PATH, "cp", "-r", src.c_str(), dst.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage use {};
    ASSERT_EQ(pid, ::wait4(pid, &status, 0, &use));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(use.ru_maxrss, 120 * 1024) << "peak " << use.ru_maxrss << " KiB";
    const int copy = open_deep(dst / "src", 1000, false);
    EXPECT_GE(copy, 0) << "the copy is not as deep";
    EXPECT_EQ(::faccessat(copy, "leaf", F_OK, 0), 0) << "the deepest file was not copied";
    ::close(copy);
}

TEST(FmutilItems, RsrcSetOnAFullDiskLeavesTheOldForkAsItWas) {
    struct Case {
        const char* what;
        std::size_t oldFork;  // 0: the file has no fork
        std::size_t newFork;
    };
    const Case cases[] = {
        {"a 1.1 MB fork replaced by 600 kB with 400 KiB free", 1100000, 600000},
        {"no fork, and 600 kB with 400 KiB free", 0, 600000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtest::TempDir t("fmitems");
        const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
            const fs::path vol = t.mkdir("vol");
            if (::mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=2m") != 0) return "skip";
            const fs::path f = vtest::write_file(vol / "f", "data");
            std::string problems;
            if (c.oldFork > 0) {
                const auto src = vtest::write_file(t.path() / "old", std::string(c.oldFork, 'o'));
                const auto set = run({"rsrc", f, "--set", src});
                if (set.status != 0) return "setting the old fork failed: " + set.err;
            }
            const std::string sidecarBefore =
                c.oldFork > 0 ? vtest::read_file(vol / "._f") : std::string();
            // Leave 400 KiB free.
            struct statvfs sv {};
            if (::statvfs(vol.c_str(), &sv) != 0) return "statvfs failed";
            const std::uint64_t avail = std::uint64_t(sv.f_bavail) * sv.f_frsize;
            if (avail < 400 * 1024) return "the tmpfs is fuller than the test needs";
            vtest::write_file(vol / "filler", std::string(avail - 400 * 1024, 'x'));
            const auto src = vtest::write_file(t.path() / "new", std::string(c.newFork, 'n'));
            const auto set = run({"rsrc", f, "--set", src});
            if (set.status != 1) problems += "exit status " + std::to_string(set.status) + "\n";
            if (set.err.find("dskFulErr") == std::string::npos)
                problems += "the message does not say the disk is full: " + set.err + "\n";
            if (c.oldFork > 0) {
                if (!fs::exists(vol / "._f")) return problems + "the sidecar is gone";
                if (vtest::read_file(vol / "._f") != sidecarBefore)
                    problems += "the sidecar changed\n";
                if (run({"rsrc", f}).out != std::string(c.oldFork, 'o'))
                    problems += "the fork reads otherwise\n";
            } else if (fs::exists(vol / "._f")) {
                problems += "a sidecar was made\n";
            }
            for (const auto& e : fs::directory_iterator(vol)) {
                const std::string n = e.path().filename();
                if (n != "f" && n != "._f" && n != "filler") problems += "left behind: " + n + "\n";
            }
            return problems;
        });
        if (!r) GTEST_SKIP() << "needs a private mount namespace (root)";
        if (*r == "skip") GTEST_SKIP() << "cannot mount a tmpfs here";
        EXPECT_EQ(*r, "");
    }
}

// cp -r and mv to another volume (a tmpfs mounted in a private mount
// namespace) keep both forks, Finder information, comments, dates, permissions,
// other extended attributes and, as root, owners; mv deletes the source
// only after the whole copy is made.
TEST(FmutilItems, CpRecursiveAndMvAcrossVolumesKeepEveryPieceOfMetadata) {
    vtest::TempDir t("fmitems");
    const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        const fs::path vol = t.mkdir("vol");
        if (::mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=16m") != 0) return "";
        std::string problems;
        auto expect = [&](bool ok, const std::string& what) {
            if (!ok) problems += what + "\n";
        };
        auto make = [&](const std::string& base) {
            t.write(base + "/f", "data");
            t.write(base + "/sub/g", "gg");
            const fs::path f = t.path() / base / "f";
            run({"type", f, "--type", "TEXT", "--creator", "ttxt"});
            run({"rsrc", f, "--set", t.path() / base / "sub/g"});
            run({"touch", f, "--created", "--date", "1999-01-02T03:04:05Z"});
            run({"comment", f, "--set", "caf\xC3\xA9 notes"});
            run({"comment", t.path() / base / "sub", "--set", "a folder's comment"});
            run({"touch", f, "--date", "2001-01-01"});
            ::lsetxattr(f.c_str(), "user.other", "hello", 5, 0);
            ::chmod(f.c_str(), 0640);
            ::lchown((t.path() / base / "sub/g").c_str(), 1234, 5678);
            ::chmod((t.path() / base / "sub").c_str(), 0751);
            // Set-user-ID and set-group-ID as root keeps them, as cp -a does.
            ::chmod(t.write(base + "/sub/run", "#!/bin/sh\n").c_str(), 06755);
            run({"touch", t.path() / base / "sub", "--date", "2000-06-07"});
        };
        make("tree");
        std::vector<std::pair<std::string, std::string>> before;
        for (const char* p : {"", "/f", "/sub", "/sub/g", "/sub/run"})
            before.emplace_back(p, metadata_of(t.path() / ("tree" + std::string(p))));

        auto cp = run({"cp", "-r", t.path() / "tree", vol});
        expect(cp.status == 0, "cp -r failed: " + cp.err);
        for (const auto& [p, m] : before) {
            expect(metadata_of(vol / ("tree" + p)) == m,
                   "cp -r tree" + p + ": " + metadata_of(vol / ("tree" + p)) + " != " + m);
        }
        const fs::path moved = vol / "moved";
        auto mv = run({"mv", t.path() / "tree", moved});
        expect(mv.status == 0, "mv across volumes failed: " + mv.err);
        expect(!fs::exists(t.path() / "tree"), "mv left the source");
        for (const auto& [p, m] : before) {
            expect(metadata_of(moved / p.substr(p.empty() ? 0 : 1)) == m,
                   "mv tree" + p + ": " + metadata_of(moved / p.substr(p.empty() ? 0 : 1)) +
                       " != " + m);
        }
        make("single");
        const std::string file_before = metadata_of(t.path() / "single/f");
        // A file copied on its own keeps what a file of a tree keeps.
        const fs::path into = vol / "copies";
        fs::create_directory(into);
        for (const std::string& name : {std::string(), std::string("renamed f")}) {
            auto c = run(name.empty()
                             ? std::vector<std::string>{"cp", t.path() / "single/f", into}
                             : std::vector<std::string>{"cp", t.path() / "single/f", into, name});
            const fs::path made = into / (name.empty() ? "f" : name);
            expect(c.status == 0, "cp of a file failed: " + c.err);
            expect(metadata_of(made) == file_before,
                   "cp f " + name + ": " + metadata_of(made) + " != " + file_before);
        }
        mv = run({"mv", t.path() / "single/f", vol});
        expect(mv.status == 0, "mv of a file across volumes failed: " + mv.err);
        expect(metadata_of(vol / "f") == file_before,
               "mv f: " + metadata_of(vol / "f") + " != " + file_before);
        expect(!fs::exists(t.path() / "single/f"), "mv left the source file");
        // A link cannot be carried over: the source stays.
        fs::create_symlink("sub", t.path() / "single/link");
        mv = run({"mv", t.path() / "single/link", vol});
        expect(mv.status == 1 && fs::is_symlink(t.path() / "single/link"),
               "a link was lost: " + mv.err);
        // As a user, a read-only file of theirs moves with its creation date
        // and attributes, though they may not write its copy.
        const fs::path mine = t.write("mine/ro", "read only");
        run({"touch", mine, "--created", "--date", "1999-01-02T03:04:05Z"});
        ::lsetxattr(mine.c_str(), "user.other", "hello", 5, 0);
        ::chmod(mine.c_str(), 0444);
        for (const fs::path& p : {t.path(), mine.parent_path(), mine, vol})
            expect(::chown(p.c_str(), 65534, 65534) == 0, "cannot give " + p.string() + " away");
        const std::string mine_before = metadata_of(mine);
        const std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                std::string(FMUTIL_PATH) + " mv '" + mine.string() + "' '" +
                                vol.string() + "' 2>/dev/null";
        expect(std::system(cmd.c_str()) == 0, "mv of a read-only file as a user failed");
        expect(metadata_of(vol / "ro") == mine_before,
               "mv ro as a user: " + metadata_of(vol / "ro") + " != " + mine_before);
        expect(!fs::exists(mine), "mv left the read-only source");
        // The destination mounted inside the source: the copy is made under
        // a private name no listing shows, so the walk never meets it, and
        // the copy ends with the mount's folder as the walk found it.
        t.write("looped/kept", "k");
        const fs::path loop = t.mkdir("looped/loop");
        const fs::path out = t.mkdir("loop-dest");
        if (::mount(out.c_str(), loop.c_str(), nullptr, MS_BIND, nullptr) == 0) {
            const std::string err = (t.path() / "loop-err").string();
            const std::string looped = "timeout 20 " + std::string(FMUTIL_PATH) + " cp -r '" +
                                       (t.path() / "looped").string() + "' '" + out.string() +
                                       "' 2>'" + err + "'";
            const int st = std::system(looped.c_str());
            expect(WIFEXITED(st) && WEXITSTATUS(st) == 0,
                   "cp -r into a folder mounted inside its source: status " +
                       std::to_string(WEXITSTATUS(st)) + ": " + vtest::read_file(err));
            expect(fs::is_directory(out / "looped/loop") && fs::is_empty(out / "looped/loop"),
                   "the mount's folder was copied with what it showed of the copy");
            expect(vtest::read_file(out / "looped/kept") == "k", "the rest was not copied");
            ::umount(loop.c_str());
        }
        ::umount(vol.c_str());
        return problems;
    });
    if (!r) GTEST_SKIP() << "needs root for a private mount namespace";
    EXPECT_EQ(*r, "");
}

// The Finder comment: kept in the metadata record as Mac Roman bytes (the
// system script here), shown as UTF-8; text that cannot be stored exactly is
// refused before anything is written, and the record's other bytes stay.
TEST(FmutilItems, CommentIsStoredAsMacRomanAndRefusesWhatCannotBeStored) {
    vtest::TempDir t("fmitems");
    const auto f = t.write("f", "x");
    const auto dir = t.mkdir("folder");
    auto record = [](const fs::path& p) {
        char buf[1024];
        const ssize_t n = ::lgetxattr(p.c_str(), "user.org.netatalk.Metadata", buf, sizeof buf);
        return n < 0 ? std::string("<none>") : std::string(buf, std::size_t(n));
    };

    auto r = run({"comment", f});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\n") << "no comment: a blank line";
    EXPECT_EQ(run({"comment", f, "--json"}).out,
              "{\"path\":\"" + f.string() + "\",\"comment\":null}\n");
    EXPECT_EQ(record(f), "<none>") << "reading wrote a record";

    ASSERT_EQ(run({"type", f, "--type", "TEXT", "--creator", "ttxt"}).status, 0);
    const std::string composed =
        "Caf\xC3\xA9 \xC3\xBC"
        "ber \xE2\x80\x94 ok";
    r = run({"comment", f, "--set", composed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(record(f).substr(154, 15), std::string("Caf\x8E \x9F"
                                                     "ber \xD1 ok\0",
                                                     15))
        << "Mac Roman bytes in the comment entry";
    EXPECT_EQ(run({"comment", f}).out, composed + "\n");
    EXPECT_EQ(run({"type", f}).out, "type TEXT  creator ttxt\n") << "Finder information kept";
    // Decomposed input is the same text.
    EXPECT_EQ(run({"comment", f, "--set", "Cafe\xCC\x81"}).status, 0);
    EXPECT_EQ(run({"comment", f}).out, "Caf\xC3\xA9\n");

    struct Refused {
        std::string text;
        const char* says;
    };
    const Refused refused[] = {
        {"\xE6\x97\xA5\xE6\x9C\xAC", "'\xE6\x97\xA5' has no equivalent in Mac Roman"},
        {std::string(201, 'c'), "the comment is 201 bytes in Mac Roman; at most 200 fit"},
        {std::string(199, 'c') + "\xC3\xA9\xC3\xA9", "201 bytes in Mac Roman"},
        {"bad \xFF byte", "not valid UTF-8"},
    };
    const std::string before = record(f);
    for (const Refused& x : refused) {
        r = run({"comment", f, "--set", x.text});
        EXPECT_EQ(r.status, 2) << x.says;
        EXPECT_THAT(r.err, HasSubstr(x.says));
        EXPECT_EQ(record(f), before) << x.says << ": the record changed";
    }
    EXPECT_EQ(run({"comment", f, "--set", std::string(200, 'c')}).status, 0) << "200 fit";
    EXPECT_EQ(run({"comment", f, "--set", "x", "--clear"}).status, 2);

    EXPECT_EQ(run({"comment", dir, "--set", "line one\nline two"}).status, 0);
    EXPECT_EQ(run({"comment", dir}).out, "line one\nline two\n") << "raw in a pipe";
    EXPECT_EQ(run({"comment", dir, "--clear"}).status, 0);
    EXPECT_EQ(run({"comment", dir}).out, "\n");
    EXPECT_EQ(run({"comment", dir, "--clear"}).status, 0) << "clearing nothing is no failure";
    EXPECT_EQ(run({"comment", f, "--set", ""}).status, 0);
    EXPECT_EQ(run({"comment", f, "--json"}).out,
              "{\"path\":\"" + f.string() + "\",\"comment\":null}\n");
    EXPECT_EQ(run({"type", f}).out, "type TEXT  creator ttxt\n");

    fs::create_symlink("f", t.path() / "link");
    r = run({"comment", t.path() / "link", "--set", "no"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("only files and folders have a comment; it is a symbolic link"));
    EXPECT_EQ(run({"comment", f}).out, "\n") << "the link's target was changed";
}

// mv of a folder to another volume asks the File Manager what each "._"
// entry is, as its deletion does: an orphan (a sidecar whose file is gone,
// as a crash leaves) is no fork, left out and named, and does not stop the
// move; a "._NAME" that begins with the AppleDouble magic but is no valid
// sidecar is the user's own, named, and the source stays whole.
TEST(FmutilItems, MvAcrossVolumesTakesEachHiddenEntryAsTheFileManagerDoes) {
    vtest::TempDir t("fmitems");
    const auto r = vtest::run_child(vtest::Child::PrivateMounts, [&]() -> std::string {
        const fs::path vol = t.mkdir("vol");
        if (::mount("tmpfs", vol.c_str(), "tmpfs", 0, "size=16m") != 0) return "";
        std::string problems;
        auto expect = [&](bool ok, const std::string& what) {
            if (!ok) problems += what + "\n";
        };
        t.write("orphaned/f", "data");
        vtest::write_bytes(t.path() / "orphaned/._gone", vtest::sidecar_bytes("f"));
        auto mv = run({"mv", t.path() / "orphaned", vol});
        expect(mv.status == 0, "an orphan stopped the move: " + mv.err);
        expect(!fs::exists(t.path() / "orphaned"), "the source stayed");
        expect(vtest::read_file(vol / "orphaned/f") == "data", "the file was not moved");
        expect(!vtest::present(vol / "orphaned/._gone"), "the orphan was carried");
        expect(mv.err.find((t.path() / "orphaned/._gone").string() +
                           ": left out: an orphaned resource fork") != std::string::npos,
               "the orphan was not named: " + mv.err);

        t.write("mine/f", "data");
        t.write("mine/m", "m");
        const std::string own = std::string("\x00\x05\x16\x07", 4) + " and then my own notes";
        vtest::write_bytes(t.path() / "mine/._m", own);
        mv = run({"mv", t.path() / "mine", vol});
        expect(mv.status == 1, "the move went without the user's own ._m: " + mv.err);
        expect(mv.err.find((t.path() / "mine/._m").string() + ": afpObjectTypeErr") !=
                   std::string::npos,
               "._m was not named: " + mv.err);
        expect(vtest::read_file(t.path() / "mine/f") == "data" &&
                   vtest::read_file(t.path() / "mine/m") == "m" &&
                   vtest::read_file(t.path() / "mine/._m") == own,
               "the source is not whole");
        return problems.empty() ? "ok" : problems;
    });
    if (!r || r->empty()) GTEST_SKIP() << "needs a private mount namespace and tmpfs (root)";
    EXPECT_EQ(*r, "ok");
}
