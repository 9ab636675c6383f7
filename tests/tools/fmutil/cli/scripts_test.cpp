// fmutil in scripts and at a terminal: names as bytes or escaped, NUL
// separators, JSON for every outcome, and commands over many paths.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::JsonCheck;
using fmtest::run;
using testing::HasSubstr;
using testing::Not;

namespace {

// Runs fmutil with standard output on a pseudo-terminal, as a person at a
// prompt sees it; returns what the terminal received.
std::string run_on_terminal(const std::vector<std::string>& args) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return "<forkpty failed>";
    if (pid == 0) {
        std::vector<std::string> a{FMUTIL_PATH};
        a.insert(a.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : a) argv.push_back(s.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has gone
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(master);
    int st = 0;
    ::waitpid(pid, &st, 0);
    return out;
}

}  // namespace

// A name that is not UTF-8 and one with a control character: a pipe gets
// the bytes (a script can use them as paths), a terminal the escapes, JSON a
// string plus the bytes in hexadecimal.
TEST(FmutilScripts, NamesAreBytesInPipesEscapedOnTerminalsAndRecoverableInJson) {
    vtest::TempDir t("fmscripts");
    const auto d = t.mkdir("d");
    const std::string latin1 = "r\xE9sum\xE9";  // Mac Roman or Latin-1 bytes of an old server
    const std::string control = "bell\x07";
    t.write("d/" + latin1, "1");
    t.write("d/" + control, "2");
    // The File Manager shows these three alike (decomposed, or U+FFFD for the
    // byte): each must still be printed as the directory entry spells it.
    t.write("d/caf\xC3\xA9", "composed");
    t.write("d/sub\xCC\x81/cafe\xCC\x81", "decomposed");
    t.write("d/caf\x8E", "Mac Roman");

    for (std::vector<std::string> args :
         {std::vector<std::string>{"ls", d}, {"ls", "-l", d}, {"tree", d}}) {
        auto r = run(args);
        ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_THAT(r.out, HasSubstr(latin1 + "\n")) << args[0] << " " << args[1];
        EXPECT_THAT(r.out, HasSubstr(control + "\n")) << args[0] << " " << args[1];
        // Every line names a file that is there.
        std::size_t lines = 0;
        for (std::size_t s = 0, e; (e = r.out.find('\n', s)) != std::string::npos; s = e + 1) {
            std::string line = r.out.substr(s, e - s);
            if (args[1] == "-l") line.erase(0, line.find("Z ") + 2);  // the name column
            if (line.ends_with("/")) line.pop_back();
            const fs::path p = args[0] == "tree" ? fs::path(line) : d / line;
            struct stat st;
            EXPECT_EQ(::lstat(p.c_str(), &st), 0) << args[0] << " printed a path to no file: " << p;
            ++lines;
        }
        EXPECT_EQ(lines, args[0] == "tree" ? 6u : 5u) << r.out;
        const std::string tty = run_on_terminal(args);
        EXPECT_THAT(tty, HasSubstr("bell\\x07")) << args[0] << " " << args[1];
        EXPECT_THAT(tty, Not(HasSubstr(control))) << args[0] << " " << args[1];
    }

    // Deeper than a path may be (PATH_MAX): the item's own path cannot be
    // made, its name still comes out as stored.
    {
        int fd = ::open(t.mkdir("deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::string level(200, 'L');
        for (int i = 0; i < 24 && fd >= 0; ++i) {
            ASSERT_EQ(::mkdirat(fd, level.c_str(), 0755), 0);
            const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        ASSERT_GE(fd, 0);
        const int f = ::openat(fd, "caf\xC3\xA9", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(f, 0);
        ::close(f);
        ::close(fd);
        auto deep = run({"tree", t.path() / "deep"});
        EXPECT_EQ(deep.status, 0) << deep.err;
        EXPECT_TRUE(deep.out.ends_with(level + "/caf\xC3\xA9\n"))
            << "the composed name as stored: "
            << deep.out.substr(deep.out.size() > 20 ? deep.out.size() - 20 : 0);
    }

    // -0: NUL after each entry, and a name with a newline stays one entry.
    t.write("d/two\nlines", "3");
    auto z = run({"ls", "-0", d});
    ASSERT_EQ(z.status, 0);
    EXPECT_EQ(std::count(z.out.begin(), z.out.end(), '\0'), 6);
    EXPECT_THAT(z.out, HasSubstr(std::string("two\nlines") + '\0'));
    z = run({"tree", d, "--null"});
    EXPECT_THAT(z.out, HasSubstr(d.string() + "/" + latin1 + '\0'));

    auto j = run({"ls", d, "--json"});
    ASSERT_EQ(j.status, 0);
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out,
                HasSubstr("{\"name\":\"r\\uFFFDsum\\uFFFD\",\"name_bytes\":\"72e973756de9\"}"));
    EXPECT_THAT(j.out, HasSubstr("{\"name\":\"bell\\u0007\"}")) << "valid UTF-8 needs no bytes";
    j = run({"info", d / latin1, "--json"});
    EXPECT_THAT(j.out, HasSubstr("\"path_bytes\":\"")) << j.out;
    j = run({"tree", d, "--json"});
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("72e973756de9\",\"depth\":1"));
    // An error about such a name keeps its bytes as well: one operand, and
    // one of several.
    for (std::vector<std::string> args : {std::vector<std::string>{"info", d / latin1, "--json"},
                                          {"mv", d / latin1, d, "--json"},
                                          {"info", d / latin1, d / latin1, "--json"}}) {
        if (args[0] == "mv") {
            args[2] = t.mkdir("taken");
            t.write(std::string("taken/") + latin1, "");
        } else {
            args[1] = (d / latin1).string() + "-gone";
        }
        j = run(args);
        EXPECT_EQ(j.status, 1) << args[0];
        EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
        EXPECT_THAT(j.out, testing::ContainsRegex("\"path\":\"[^\"]*\",\"path_bytes\":\"[0-9a-f]*"
                                                  "72e973756de9[0-9a-f]*\",\"code\":-4"))
            << args[0] << ": " << j.out;
    }
}

// Under --json, a usage error is a JSON document on stdout (and still the
// message on stderr and status 2), wherever --json stands.
TEST(FmutilScripts, UsageErrorsAreJsonUnderJson) {
    vtest::TempDir t("fmscripts");
    const auto f = t.write("f", "");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"type", f, "--type", "TOOLONG", "--json"},
          {"--json", "tree", f},
          {"tree", "--json", f, "--depth", "x"},
          {"ls", "--bogus", "--json"},
          {"touch", f, "--date", "yesterday", "--json"},
          {"flags", f, "+sparkly", "--json"}}) {
        if (args[0] == "--json") continue;  // the command comes first
        auto r = run(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_TRUE(JsonCheck::valid(r.out)) << args[0] << ": " << r.out;
        EXPECT_THAT(r.out, HasSubstr("{\"error\":{\"path\":null,\"code\":null,\"name\":\"usage\""))
            << args[0];
        EXPECT_THAT(r.err, HasSubstr("usage: fmutil " + args[0])) << args[0];
    }
}

// --version is the project's, wherever it stands; ls lists "." by default;
// an unset type is null in JSON and blank in text; ls -l's columns line up
// and show the two forks apart.
TEST(FmutilScripts, VersionDefaultDirectoryUnsetTypesAndAlignedColumns) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--version"},
                                          {"ls", "--version"},
                                          {"info", "/nonexistent", "--version"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 0) << args.size();
        EXPECT_EQ(r.out, "fmutil " FMUTIL_TEST_VERSION "\n");
    }

    vtest::TempDir t("fmscripts");
    const auto d = t.mkdir("d");
    const auto plain = t.write("d/plain", "12345");
    t.write("d/a-much-longer-name", std::string(123456, 'x'));
    t.mkdir("d/sub");
    ASSERT_EQ(run({"type", t.write("d/typed", ""), "--type", "TEXT", "--creator", "ttxt"}).status,
              0);
    const fs::path saved = fs::current_path();
    fs::current_path(d);
    auto r = run({"ls"});
    fs::current_path(saved);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("plain\n"));

    auto j = run({"info", plain, "--json"});
    EXPECT_THAT(j.out, HasSubstr("\"type\":null,\"creator\":null")) << j.out;
    j = run({"type", plain, "--json"});
    EXPECT_THAT(j.out, HasSubstr("\"type\":null,\"creator\":null")) << j.out;
    auto text = run({"type", plain});
    EXPECT_EQ(text.out, "type   creator \n");
    text = run({"info", plain});
    EXPECT_THAT(text.out, HasSubstr("\ntype        \n"));

    auto l = run({"ls", "-l", d});
    ASSERT_EQ(l.status, 0) << l.err;
    std::vector<std::string> lines;
    for (std::size_t s = 0, e; (e = l.out.find('\n', s)) != std::string::npos; s = e + 1)
        lines.push_back(l.out.substr(s, e - s));
    ASSERT_EQ(lines.size(), 4u) << l.out;
    // Every row's name starts in the same column, and the date before it.
    std::size_t name_col = std::string::npos;
    for (const std::string& line : lines) {
        const std::size_t z = line.find("Z ");
        ASSERT_NE(z, std::string::npos) << line;
        if (name_col == std::string::npos) name_col = z;
        EXPECT_EQ(z, name_col) << "misaligned:\n" << l.out;
    }
    EXPECT_THAT(l.out, testing::ContainsRegex("-- TEXT ttxt +0 +0 .* typed\n"));
    EXPECT_THAT(l.out, testing::ContainsRegex("--      +123456 +0 .* a-much-longer-name\n"));
}

// Every per-item command takes many paths; a failure is reported and the
// rest are still done; -R goes below directories but never through links.
TEST(FmutilScripts, PerItemCommandsTakeManyPathsRecurseAndGoOnAfterAFailure) {
    vtest::TempDir t("fmscripts");
    const auto a = t.write("a", "");
    const auto b = t.write("b", "");
    t.write("tree/x", "");
    t.write("tree/sub/y", "");
    t.write("outside/z", "");
    fs::create_directory_symlink(t.path() / "outside", t.path() / "tree/link");
    const std::string missing = (t.path() / "missing").string();
    const auto ref = t.write("ref", "");
    const struct timespec refTimes[2] = {{1118131750, 0}, {1118131750, 0}};  // 2005-06-07T08:09:10Z
    ASSERT_EQ(::utimensat(AT_FDCWD, ref.c_str(), refTimes, 0), 0);

    struct Row {
        std::vector<std::string> args;  // MANY stands for a, missing, b
        const char* check_args;         // what shows the change on a and b
        const char* expect;
    };
    const Row rows[] = {
        {{"type", "MANY", "--type", "TEXT", "--creator", "ttxt"},
         "type",
         "type TEXT  creator ttxt"},
        {{"flags", "MANY", "+invisible", "label=blue"}, "flags", "invisible, label 4 (blue)"},
        {{"touch", "MANY", "--date", "2001-02-03T04:05:06Z"}, "info", "2001-02-03T04:05:06Z"},
        {{"touch", "MANY", "--date", "1910-01-01", "--created"}, "info", "1910-01-01T00:00:00Z"},
        {{"touch", "MANY", "--date", "2002-03-04T05:06:07Z", "--backup"},
         "info",
         "backed up   2002-03-04T05:06:07Z"},
        {{"touch", "MANY", "--accessed", "--date", "2003-04-05T06:07:08Z"},
         "info",
         "accessed    2003-04-05T06:07:08Z"},
        {{"touch", "MANY", "--modified", "--date", "2004-05-06T07:08:09Z"},
         "info",
         "modified    2004-05-06T07:08:09Z"},
        {{"touch", "MANY", "--reference", ref.string()},
         "info",
         "modified    2005-06-07T08:09:10Z"},
        {{"comment", "MANY", "--set", "Quarterly figures"}, "comment", "Quarterly figures"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args;
        for (const std::string& s : row.args) {
            if (s == "MANY") {
                args.push_back(a);
                args.push_back(missing);
                args.push_back(b);
            } else {
                args.push_back(s);
            }
        }
        auto r = run(args);
        EXPECT_EQ(r.status, 1) << row.args[0] << ": the missing path fails the command";
        EXPECT_EQ(r.err, "fmutil: " + missing + ": fnfErr (-43): no such file or directory\n");
        for (const fs::path& p : {a, b}) {
            EXPECT_THAT(run({row.check_args, p}).out, HasSubstr(row.expect))
                << row.args[0] << " did not reach " << p;
        }
    }

    auto j = run({"info", a, missing, b, "--json"});
    EXPECT_EQ(j.status, 1);
    EXPECT_TRUE(JsonCheck::valid(j.out)) << j.out;
    EXPECT_THAT(j.out, HasSubstr("\"errors\":[{\"path\":\"" + missing + "\",\"code\":-43"));

    auto rec = run({"flags", "-R", t.path() / "tree", "+stationery"});
    EXPECT_EQ(rec.status, 0) << rec.err;
    for (const char* p : {"tree", "tree/x", "tree/sub", "tree/sub/y"}) {
        EXPECT_THAT(run({"flags", t.path() / p}).out, HasSubstr("stationery")) << p;
    }
    EXPECT_THAT(run({"flags", t.path() / "outside/z"}).out, Not(HasSubstr("stationery")))
        << "-R followed the link";
    rec = run({"comment", "-R", t.path() / "tree", "--set", "walked"});
    EXPECT_EQ(rec.status, 0) << "the link inside is passed over: " << rec.err;
    for (const char* p : {"tree", "tree/x", "tree/sub", "tree/sub/y"}) {
        EXPECT_EQ(run({"comment", t.path() / p}).out, "walked\n") << p;
    }
    EXPECT_EQ(run({"comment", t.path() / "outside/z"}).out, "\n") << "-R followed the link";
    auto listing = run({"type", "--recursive", t.path() / "tree", "--type", "ABCD"});
    // The folder operand is walked, not a failure: a folder has no type, and
    // -R on one would otherwise never exit 0.
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(listing.err, "");
    EXPECT_THAT(run({"type", t.path() / "tree/sub/y"}).out, HasSubstr("type ABCD"));
    EXPECT_THAT(run({"type", t.path() / "outside/z"}).out, Not(HasSubstr("ABCD")));
    auto cleared = run({"type", t.path() / "tree/sub/y", "--clear", "--json"});
    EXPECT_THAT(cleared.out, HasSubstr("\"type\":null,\"creator\":null")) << cleared.out;
}
