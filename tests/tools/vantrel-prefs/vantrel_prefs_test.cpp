// vantrel-prefs as a user runs it: the scripted mode, the errors a user can
// act on (each one line, non-zero, nothing written), and the terminal
// interface in a real terminal driven through tmux.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "pane_support.h"

namespace {

using namespace vtest;

struct Result {
    int status;
    std::string out, err;
};

Result run(const std::vector<std::string>& args, const std::string& extra_env = "") {
    TempDir io("io");
    std::string cmd = extra_env + " '" VANTREL_PREFS "'";
    for (auto& a : args) cmd += " '" + a + "'";
    cmd += " >'" + (io / "out").string() + "' 2>'" + (io / "err").string() + "' </dev/null";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : 128, read_file(io / "out"), read_file(io / "err")};
}

int lines(const std::string& s) {
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

TEST(VantrelPrefs, ListClickAndLeave) {
    PrefsHome home;
    Result r = run({"--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out), 13);
    EXPECT_EQ(r.out.find("[x] Menu Header\n[x] Copyright\n"), 0u) << r.out;
    EXPECT_NE(r.out.find("\nVantrel 1.0\n"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(home.dir.path()));  // listing writes nothing

    r = run({"--click", "Natural Size"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[ ] Natural Size\n");
    r = run({"--list"});
    EXPECT_NE(r.out.find("[ ] Natural Size\n"), std::string::npos);
    EXPECT_NE(read_file(home.file()).find("<key>Natural Size</key>\n\t<false/>"),
              std::string::npos);

    r = run({"--leave"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--click TITLE"), std::string::npos);
}

TEST(VantrelPrefs, LeaveAndClickNotifyAnotherProcessOnce) {
    PrivateBus bus;  // counted exactly: no other test's notifications on it
    if (!CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter()))
        GTEST_SKIP() << "no D-Bus session bus";
    PrefsHome home;
    Child obs = Child::spawn({VANTREL_TEST_OBSERVER, "20"});
    ASSERT_EQ(obs.line(), "READY");
    ASSERT_EQ(run({"--click", "URL"}).status, 0);
    ASSERT_EQ(run({"--leave"}).status, 0);
    ASSERT_EQ(run({"--list"}).status, 0);  // only looks: no notification
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Observer Stop"), nullptr, nullptr, true);
    std::vector<std::string> got;
    for (std::string l = obs.line(); !l.empty(); l = obs.line()) got.push_back(l);
    EXPECT_EQ(obs.wait(), 0);
    EXPECT_EQ(got, std::vector<std::string>(
                       2, "Preferences Changed|com.ashgrove.preference.Vantrel|(null)"));
}

TEST(VantrelPrefs, WithoutASessionBusSaysNotificationsAreOffAndStillSaves) {
    PrefsHome home;
    TempDir runtime("rt");
    Result r = run({"--click", "Duration"}, "env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR='" +
                                                runtime.path().string() + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vantrel-prefs: notifications are off (no session bus)\n");
    EXPECT_NE(read_file(home.file()).find("Duration"), std::string::npos);
}

struct ErrorCase {
    const char* name;
    std::function<std::vector<std::string>(const TempDir&)> args;  // may build a broken bundle
    const char* message;                                           // part of the one line on stderr
};
void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.name;
}

// Copies the real bundle and lets a case break it.
std::string broken_bundle(const TempDir& t, const std::function<void(const fs::path&)>& breakit) {
    fs::path b = t / "Broken.prefPane";
    fs::copy(VANTREL_PANE_BUNDLE, b, fs::copy_options::recursive);
    breakit(b);
    return b.string();
}

void edit_info(const fs::path& b, const std::string& from, const std::string& to) {
    std::string xml = read_file(b / "Contents/Info.plist");
    auto at = xml.find(from);
    ASSERT_NE(at, std::string::npos);
    xml.replace(at, from.size(), to);
    std::ofstream(b / "Contents/Info.plist") << xml;
}

class VantrelPrefsErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(VantrelPrefsErrors, OneClearLineNonZeroExitNothingWritten) {
    PrefsHome home;
    TempDir t("bundles");
    std::vector<std::string> base = GetParam().args(t);
    bool has_mode = std::find(base.begin(), base.end(), "--click") != base.end();
    for (std::vector<std::string> mode :
         {std::vector<std::string>{"--list"}, {"--leave"}, {"--click", "Duration"}}) {
        std::vector<std::string> args = base;
        if (!has_mode) args.insert(args.end(), mode.begin(), mode.end());
        Result r = run(args, "timeout -k 5 30");  // a hang fails, it does not stall the suite
        EXPECT_NE(r.status, 0) << mode[0];
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_TRUE(fs::is_empty(home.dir.path())) << mode[0];
        if (has_mode) break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VantrelPrefsErrors,
    ::testing::Values(
        ErrorCase{"BundleMissing",
                  [](const TempDir& t) {
                      return std::vector<std::string>{"--bundle", (t / "Nope.prefPane").string()};
                  },
                  "bundle not found"},
        ErrorCase{
            "BundleIsAFile",
            [](const TempDir& t) {
                return std::vector<std::string>{"--bundle", t.write("passwd", "root:x:0:0::/:\n")};
            },
            "not a bundle"},
        ErrorCase{"InfoPlistMissing",
                  [](const TempDir& t) {
                      return std::vector<std::string>{"--bundle",
                                                      broken_bundle(t, [](const fs::path& b) {
                                                          fs::remove(b / "Contents/Info.plist");
                                                      })};
                  },
                  "cannot read"},
        ErrorCase{"InfoPlistGarbage",
                  [](const TempDir& t) {
                      return std::vector<std::string>{
                          "--bundle", broken_bundle(t, [](const fs::path& b) {
                              std::ofstream(b / "Contents/Info.plist") << "<plist><dict>";
                          })};
                  },
                  "not a property list"},
        ErrorCase{"InfoPlistIsAFifo",
                  [](const TempDir& t) {
                      return std::vector<std::string>{
                          "--bundle", broken_bundle(t, [](const fs::path& b) {
                              fs::remove(b / "Contents/Info.plist");
                              ::mkfifo((b / "Contents/Info.plist").c_str(), 0600);
                          })};
                  },
                  "Info.plist"},
        ErrorCase{"PrincipalClassNotFound",
                  [](const TempDir& t) {
                      return std::vector<std::string>{
                          "--bundle", broken_bundle(t, [](const fs::path& b) {
                              edit_info(b, "<string>VantrelPrefPane</string>",
                                        "<string>NoSuchPane</string>");
                          })};
                  },
                  "principal class NoSuchPane not found"},
        ErrorCase{"SharedObjectMissing",
                  [](const TempDir& t) {
                      return std::vector<std::string>{
                          "--bundle", broken_bundle(t, [](const fs::path& b) {
                              fs::remove(b / "Contents/Linux/Vantrel.so");
                          })};
                  },
                  "cannot load"},
        ErrorCase{"SharedObjectIsAFifo",
                  [](const TempDir& t) {
                      return std::vector<std::string>{
                          "--bundle", broken_bundle(t, [](const fs::path& b) {
                              fs::remove(b / "Contents/Linux/Vantrel.so");
                              ::mkfifo((b / "Contents/Linux/Vantrel.so").c_str(), 0600);
                          })};
                  },
                  "not a regular file"},
        ErrorCase{"InterfaceNamesUnknownOutlet",
                  [](const TempDir& t) {
                      return std::vector<std::string>{
                          "--bundle", broken_bundle(t, [](const fs::path& b) {
                              fs::path nib = b / "Contents/Resources/VantrelPref.interface.plist";
                              std::string xml = read_file(nib);
                              xml.replace(xml.find("m_includeURL"), 12, "m_includeXYZ");
                              std::ofstream(nib) << xml;
                          })};
                  },
                  "outlet m_includeXYZ"},
        ErrorCase{"NoSuchTitle",
                  [](const TempDir&) {
                      return std::vector<std::string>{"--click", "Frame Rate"};
                  },
                  "no check box titled \"Frame Rate\""}),
    [](const auto& info) { return std::string(info.param.name); });

bool root() {
    return ::geteuid() == 0;
}
const char* kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";

struct NotSavedCase {
    const char* name;
    // Prepares the domain path in `home` and returns the command prefix
    // (environment, user) for the click, or "SKIP: why".
    std::function<std::string(const PrefsHome& home)> setup;
    // Checks the domain path afterwards, or null.
    std::function<void(const PrefsHome& home)> after;
    // A bundle to load instead of ours (made in the given directory), or null.
    std::function<std::string(const TempDir& t)> bundle = nullptr;
};
void PrintTo(const NotSavedCase& c, std::ostream* os) {
    *os << c.name;
}

int g_held = -1;  // a lock the test keeps on the domain file, as another program would

std::string scratch_device(const PrefsHome& home, const char* name) {
    fs::path dev = home.dir / name;
    if (::mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) return "";
    return dev.string();
}

class VantrelPrefsNotSaved : public ::testing::TestWithParam<NotSavedCase> {};

// A click the store could not save is never reported as saved: one line
// saying what failed, status 2, nothing on standard output, and the next
// --list shows what is really stored. The pane is still left (and posts).
TEST_P(VantrelPrefsNotSaved, ClickSaysWhatFailedAndExitsNonZero) {
    PrefsHome home;
    std::string prefix = GetParam().setup(home);
    if (prefix.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << prefix.substr(6);
    TempDir t("bundles");
    std::vector<std::string> args;
    if (GetParam().bundle) args = {"--bundle", GetParam().bundle(t)};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), args.begin(), args.end());
        return more;
    };
    // Killed if it outlives the timeout: SIGTERM alone is caught to leave the pane.
    Result r = run(with({"--click", "Duration"}), "timeout -k 5 30 " + prefix);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    std::size_t said = 0;
    for (std::size_t at = 0; (at = r.err.find("not saved", at)) != std::string::npos; ++at) ++said;
    EXPECT_EQ(said, 1u) << r.err;
    EXPECT_NE(r.err.find("vantrel-prefs: \"Duration\" was not saved: "), std::string::npos)
        << r.err;
    Result l = run(with({"--list"}), "timeout -k 5 30 " + prefix);
    EXPECT_NE(l.out.find("[x] Duration\n"), std::string::npos) << l.out << l.err;
    if (GetParam().after) GetParam().after(home);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VantrelPrefsNotSaved,
    ::testing::Values(
        NotSavedCase{"ConfigurationDirectoryNotWritable",
                     [](const PrefsHome& home) -> std::string {
                         if (!root()) return "SKIP: needs root to run as nobody";
                         ::chmod(home.dir.path().c_str(), 0755);
                         return std::string(kAsNobody) + " env XDG_CONFIG_HOME='" +
                                home.dir.path().string() + "'";
                     },
                     nullptr},
        NotSavedCase{"DirectoryWhereThePlistShouldBe",
                     [](const PrefsHome& home) {
                         fs::create_directory(home.file());
                         return std::string();
                     },
                     [](const PrefsHome& home) {
                         EXPECT_TRUE(fs::is_directory(home.file()));
                         EXPECT_TRUE(fs::is_empty(home.file()));
                     }},
        NotSavedCase{"ConfigurationPathIsARegularFile",
                     [](const PrefsHome& home) {
                         fs::path f = home.dir.write("config", "not a directory\n");
                         return "env XDG_CONFIG_HOME='" + f.string() + "'";
                     },
                     [](const PrefsHome& home) {
                         EXPECT_EQ(read_file(home.dir / "config"), "not a directory\n");
                     }},
        NotSavedCase{"LinkToAFifo",
                     [](const PrefsHome& home) {
                         ::mkfifo((home.dir / "fifo").c_str(), 0600);
                         fs::create_symlink("fifo", home.file());
                         return std::string();
                     },
                     [](const PrefsHome& home) {
                         EXPECT_EQ(fs::status(home.dir / "fifo").type(), fs::file_type::fifo);
                     }},
        NotSavedCase{"LinkToADevice",
                     [](const PrefsHome& home) -> std::string {
                         std::string dev = scratch_device(home, "null");
                         if (dev.empty()) return "SKIP: mknod needs root";
                         fs::create_symlink(dev, home.file());
                         return "";
                     },
                     [](const PrefsHome& home) {
                         EXPECT_EQ(fs::status(home.dir / "null").type(), fs::file_type::character);
                     }},
        NotSavedCase{"NoHomeAndAHomeDirectoryThatDoesNotExist",
                     [](const PrefsHome&) -> std::string {
                         if (!root()) return "SKIP: needs root to run as nobody";
                         // nobody's home in the user database is /nonexistent.
                         return std::string(kAsNobody) + " env -u HOME -u XDG_CONFIG_HOME";
                     },
                     nullptr},
        // Another program keeps the domain's lock: the click gives up after
        // a bounded wait instead of hanging the host.
        NotSavedCase{"LockKeptByAnotherProgram",
                     [](const PrefsHome& home) {
                         home.dir.write("com.ashgrove.Vantrel.plist",
                                        "<plist><dict><key>URL</key><true/></dict></plist>");
                         g_held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
                         ::flock(g_held, LOCK_EX);
                         return std::string();
                     },
                     [](const PrefsHome& home) {
                         ::close(g_held);
                         EXPECT_EQ(read_file(home.file()),
                                   "<plist><dict><key>URL</key><true/></dict></plist>");
                     }},
        // The interface gives the box no action: the pane never stores the
        // click, and the host must not say that it did.
        NotSavedCase{"BoxWithoutAnAction", [](const PrefsHome&) { return std::string(); },
                     [](const PrefsHome& home) { EXPECT_FALSE(fs::exists(home.file())); },
                     [](const TempDir& t) {
                         return broken_bundle(t, [](const fs::path& b) {
                             fs::path nib = b / "Contents/Resources/VantrelPref.interface.plist";
                             std::string xml = read_file(nib);
                             auto box = xml.find("<string>Duration</string>");
                             auto action = xml.find("<key>Action</key>", box);
                             auto end = xml.find("</string>", action) + 9;
                             xml.erase(action, end - action);
                             std::ofstream(nib) << xml;
                         });
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// Scripts read --list one box per line: a title holding a line feed must not
// forge a line of its own, and no control character from a bundle (C0, DEL,
// C1) reaches the terminal, in the list, the label or an error line.
TEST(VantrelPrefs, ListShowsControlCharactersFromTheBundleAsText) {
    PrefsHome home;
    TempDir t("bundles");
    std::string bundle = broken_bundle(t, [](const fs::path& b) {
        fs::path nib = b / "Contents/Resources/VantrelPref.interface.plist";
        std::string xml = read_file(nib);
        xml.replace(xml.find("Menu Header"), 11, "Menu&#10;[ ] Duration&#27;]0;x&#7;&#x9B;2J");
        std::ofstream(nib) << xml;
        edit_info(b, "<string>Vantrel</string>", "<string>Van&#13;trel&#x7F;</string>");
    });
    Result r = run({"--bundle", bundle, "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out), 13) << r.out;
    EXPECT_EQ(r.out.find("[x] Menu?[ ] Duration?]0;x??2J\n[x] Copyright\n"), 0u) << r.out;
    EXPECT_NE(r.out.find("\nVan?trel? 1.0\n"), std::string::npos) << r.out;
    r = run({"--bundle", bundle, "--click", "Nope"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Menu?[ ] Duration?]0;x??2J, Copyright"), std::string::npos) << r.err;
    for (const std::string& s : {r.out, r.err})
        for (std::size_t i = 0; i + 1 < s.size(); ++i) {
            auto c = static_cast<unsigned char>(s[i]);
            auto n = static_cast<unsigned char>(s[i + 1]);
            EXPECT_FALSE(c == 0x1b || c == 0x07 || c == 0x7f ||
                         (c == 0xC2 && n >= 0x80 && n <= 0x9F))
                << "control character at " << i << " in " << s;
        }
}

// Whether `pid` runs vantrel-prefs and has `file` open (it is waiting for
// the file's lock).
bool has_open(pid_t pid, const fs::path& file) {
    std::error_code ec;
    fs::path proc = "/proc/" + std::to_string(pid);
    if (fs::read_symlink(proc / "exe", ec) != fs::path(VANTREL_PREFS)) return false;
    for (auto& e : fs::directory_iterator(proc / "fd", ec))
        if (fs::read_symlink(e.path(), ec) == file) return true;
    return false;
}

// Signals ignored when the host starts (nohup, a background job of a
// script) stay ignored: a hangup, an interrupt or a SIGTERM during a click
// neither ends the visit early nor makes the host die of it afterwards.
TEST(VantrelPrefs, SignalsIgnoredAtStartStayIgnored) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", "<plist><dict/></plist>");
    int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);  // keeps the click waiting while we signal
    TempDir io("io");
    pid_t pid = fork();
    if (pid == 0) {
        for (int sig : {SIGHUP, SIGINT, SIGTERM}) ::signal(sig, SIG_IGN);
        int out = ::open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execl(VANTREL_PREFS, VANTREL_PREFS, "--click", "Duration", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200 && !has_open(pid, home.file()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(has_open(pid, home.file()));
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) ::kill(pid, sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(held);
    int status = 0;
    for (int i = 0; i < 300 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "");
    EXPECT_EQ(read_file(io / "out"), "[ ] Duration\n") << read_file(io / "err");
    EXPECT_NE(read_file(home.file()).find("<key>Duration</key>"), std::string::npos);
}

// Where the domain is: a relative XDG_CONFIG_HOME is ignored (HOME decides),
// and without HOME an absolute XDG_CONFIG_HOME still decides.
TEST(VantrelPrefs, RelativeConfigHomeIsIgnoredAndAMissingHomeIsHandled) {
    PrefsHome home;
    TempDir cwd("cwd");
    Result r = run({"--click", "Duration"}, "cd '" + cwd.path().string() +
                                                "' && env XDG_CONFIG_HOME=rel HOME='" +
                                                home.dir.path().string() + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(home.dir / ".config/com.ashgrove.Vantrel.plist").find("Duration"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(cwd.path()));

    r = run({"--click", "URL"}, "env -u HOME XDG_CONFIG_HOME='" + home.dir.path().string() + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(home.file()).find("<key>URL</key>"), std::string::npos);
}

// A file nested far deeper than the limit shows the defaults (no crash) and
// is kept aside when the next click writes.
TEST(VantrelPrefs, DeeplyNestedFileShowsDefaultsAndIsKeptAside) {
    PrefsHome home;
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    for (int i = 0; i < 100000; ++i) deep += "</array>";
    std::string file =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Duration</key><false/>"
        "<key>Recent</key>" +
        deep + "</dict></plist>";
    home.dir.write("com.ashgrove.Vantrel.plist", file);
    Result r = run({"--list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[x] Duration\n"), std::string::npos) << r.out;
    r = run({"--click", "URL"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(home.dir / "com.ashgrove.Vantrel.plist.corrupt"), file);
    EXPECT_NE(read_file(home.file()).find("<key>URL</key>"), std::string::npos);
}

// --- The terminal interface, in a real terminal -------------------------------

bool have_tmux() {
    return std::system("command -v tmux >/dev/null 2>&1") == 0;
}

struct Tmux {
    std::string socket;
    explicit Tmux(const TempDir& d) : socket((d / "tmux.sock").string()) {}
    int cmd(const std::string& args) const {
        return std::system(("tmux -S '" + socket + "' " + args + " >/dev/null 2>&1").c_str());
    }
    std::string capture() const {
        std::string file = socket + ".cap";
        std::system(("tmux -S '" + socket + "' capture-pane -p -t vp > '" + file + "' 2>/dev/null")
                        .c_str());
        return read_file(file);
    }
    // Waits until the screen contains `text`.
    bool wait_for(const std::string& text, std::string* screen) const {
        for (int i = 0; i < 100; ++i) {
            *screen = capture();
            if (screen->find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    ~Tmux() { cmd("kill-server"); }
};

TEST(VantrelPrefsTerminal, ShowsTheBoxesAndLabelAndTogglesABox) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    // No display: a test run from a desktop session must still get the
    // terminal view.
    std::string env =
        "-u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME='" + home.dir.path().string() + "'";
    if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        env += std::string(" DBUS_SESSION_BUS_ADDRESS='") + bus + "'";
    ASSERT_EQ(tm.cmd("new-session -d -s vp -x 80 -y 30 \"env " + env +
                     " '" VANTREL_PREFS "'; sleep 30\""),
              0);
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    for (const char* title : kTitles) {
        EXPECT_NE(screen.find(std::string("[x] ") + title), std::string::npos) << title << "\n"
                                                                               << screen;
    }
    // Down five times to Duration (the sixth box), toggle it.
    for (int i = 0; i < 5; ++i) tm.cmd("send-keys -t vp Down");
    tm.cmd("send-keys -t vp Space");
    ASSERT_TRUE(tm.wait_for("[ ] Duration", &screen)) << screen;
    EXPECT_NE(screen.find("Duration: off, saved"), std::string::npos) << screen;
    EXPECT_NE(read_file(home.file()).find("<key>Duration</key>\n\t<false/>"), std::string::npos);
    // j/k move too; toggle it back, then leave.
    tm.cmd("send-keys -t vp j k Enter");
    ASSERT_TRUE(tm.wait_for("[x] Duration", &screen)) << screen;
    tm.cmd("send-keys -t vp q");
    for (int i = 0; i < 50 && screen.find("Vantrel 1.0") != std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        screen = tm.capture();
    }
    EXPECT_EQ(screen.find("Vantrel 1.0"), std::string::npos) << "still showing after q:\n"
                                                             << screen;
    EXPECT_NE(read_file(home.file()).find("<key>Duration</key>\n\t<true/>"), std::string::npos);
}

TEST(VantrelPrefsTerminal, SaysOnceThatNotificationsAreOffWithoutABus) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    std::string env =
        "-u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR='" +
        t.path().string() + "' XDG_CONFIG_HOME='" + home.dir.path().string() + "'";
    ASSERT_EQ(tm.cmd("new-session -d -s vp -x 80 -y 30 \"env " + env +
                     " '" VANTREL_PREFS "'; sleep 30\""),
              0);
    std::string screen;
    ASSERT_TRUE(tm.wait_for("notifications are off", &screen)) << screen;
    tm.cmd("send-keys -t vp Space");
    ASSERT_TRUE(tm.wait_for("Menu Header: off, saved", &screen)) << screen;
    EXPECT_EQ(screen.find("notifications are off"), std::string::npos)
        << screen;  // said once, then replaced
    tm.cmd("send-keys -t vp q");
}

}  // namespace

namespace {

// Runs vantrel-prefs in a tmux session of `cols` x `rows`, from a script that
// records its process ID, its exit status and the terminal's settings after
// it ends.
struct ScriptedTerminal {
    const TempDir& t;
    fs::path pid, status, stty;
    explicit ScriptedTerminal(const TempDir& dir)
        : t(dir), pid(dir / "pid"), status(dir / "status"), stty(dir / "stty") {}

    bool start(const Tmux& tm, const PrefsHome& home, int cols, int rows) const {
        std::string script = "unset DISPLAY WAYLAND_DISPLAY\nexport XDG_CONFIG_HOME='" +
                             home.dir.path().string() + "'\n";
        if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            script += std::string("export DBUS_SESSION_BUS_ADDRESS='") + bus + "'\n";
        script += "sh -c 'echo $$ > \"$0\"; exec \"$1\"' '" + pid.string() +
                  "' '" VANTREL_PREFS
                  "'\n"
                  "echo $? > '" +
                  status.string() +
                  "'\n"
                  "stty -a > '" +
                  stty.string() + "'\nsleep 60\n";
        fs::path file = t.write("run.sh", script);
        return tm.cmd("new-session -d -s vp -x " + std::to_string(cols) + " -y " +
                      std::to_string(rows) + " \"sh '" + file.string() + "'\"") == 0;
    }
    pid_t process() const {
        for (int i = 0; i < 300; ++i) {
            std::string s = read_file(pid);
            if (!s.empty() && s.back() == '\n') return static_cast<pid_t>(std::stol(s));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }
    // The exit status as the shell saw it, or -1 if it did not end.
    int wait() const {
        for (int i = 0; i < 300; ++i) {
            std::string s = read_file(status);
            if (!s.empty() && s.back() == '\n') return std::stoi(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }
    // Whether the terminal is back in its cooked mode (echo, line editing).
    bool restored() const {
        std::string s = read_file(stty);
        return s.find(" icanon ") != std::string::npos && s.find(" echo ") != std::string::npos;
    }
};

struct LeaveCase {
    const char* name;
    int sig;  // 0: the user presses q
};
void PrintTo(const LeaveCase& c, std::ostream* os) {
    *os << c.name;
}

class VantrelPrefsTerminalLeaving : public ::testing::TestWithParam<LeaveCase> {};

// However the visit ends, q or a signal (closing the terminal, kill, an
// interrupt), the pane is left normally: exactly one "Preferences Changed"
// reaches another process, and the terminal is given back as it was.
TEST_P(VantrelPrefsTerminalLeaving, PostsOnceAndRestoresTheTerminal) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrivateBus bus;
    if (!CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter()))
        GTEST_SKIP() << "no D-Bus session bus";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    Child obs = Child::spawn({VANTREL_TEST_OBSERVER, "30"});
    ASSERT_EQ(obs.line(), "READY");
    ScriptedTerminal st(t);
    ASSERT_TRUE(st.start(tm, home, 80, 30));
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    pid_t pid = st.process();
    ASSERT_GT(pid, 0);
    tm.cmd("send-keys -t vp Space");
    ASSERT_TRUE(tm.wait_for("Menu Header: off, saved", &screen)) << screen;
    if (GetParam().sig == 0)
        tm.cmd("send-keys -t vp q");
    else
        ::kill(pid, GetParam().sig);
    int status = st.wait();
    EXPECT_EQ(status, GetParam().sig == 0 ? 0 : 128 + GetParam().sig);
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Observer Stop"), nullptr, nullptr, true);
    std::vector<std::string> got;
    for (std::string l = obs.line(); !l.empty(); l = obs.line()) got.push_back(l);
    EXPECT_EQ(obs.wait(), 0);
    EXPECT_EQ(got, std::vector<std::string>(
                       1, "Preferences Changed|com.ashgrove.preference.Vantrel|(null)"));
    EXPECT_TRUE(st.restored()) << read_file(st.stty);
    EXPECT_EQ(tm.capture().find("Vantrel 1.0"), std::string::npos) << tm.capture();
    EXPECT_NE(read_file(home.file()).find("<key>Menu Header</key>\n\t<false/>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Ways, VantrelPrefsTerminalLeaving,
                         ::testing::Values(LeaveCase{"KeyQ", 0}, LeaveCase{"Sigterm", SIGTERM},
                                           LeaveCase{"Sighup", SIGHUP},
                                           LeaveCase{"Sigint", SIGINT}),
                         [](const auto& info) { return std::string(info.param.name); });

// In a terminal of 40 x 10 the title stays on the first line and the list
// scrolls so that the selected box is in view; a resize redraws everything.
TEST(VantrelPrefsTerminal, SmallTerminalScrollsToTheSelectionAndRedrawsOnResize) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    ScriptedTerminal st(t);
    ASSERT_TRUE(st.start(tm, home, 40, 10));
    std::string screen;
    ASSERT_TRUE(tm.wait_for("[x] Menu Header", &screen)) << screen;
    for (int i = 0; i < 11; ++i) tm.cmd("send-keys -t vp Down");
    ASSERT_TRUE(tm.wait_for("> [x] Sound Name", &screen)) << screen;
    EXPECT_EQ(screen.rfind("Vantrel", 0), 0u) << screen;
    tm.cmd("send-keys -t vp Space");
    ASSERT_TRUE(tm.wait_for("Sound Name: off, saved", &screen)) << screen;
    EXPECT_EQ(screen.rfind("Vantrel", 0), 0u) << screen;
    EXPECT_NE(screen.find("> [ ] Sound Name"), std::string::npos) << screen;
    std::size_t lines = 0;
    for (std::size_t a = 0, b; (b = screen.find('\n', a)) != std::string::npos; a = b + 1) {
        EXPECT_LE(b - a, 40u) << screen;
        ++lines;
    }
    EXPECT_LE(lines, 10u);

    tm.cmd("resize-window -t vp -x 80 -y 30");
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    for (const char* title : kTitles) {
        EXPECT_NE(screen.find(title), std::string::npos) << title << "\n" << screen;
    }
    tm.cmd("send-keys -t vp q");
    EXPECT_EQ(st.wait(), 0);
}

// Text from a bundle reaches the terminal as text: a title holding an escape
// sequence is shown with "?" for the control character, not obeyed.
TEST(VantrelPrefsTerminal, ControlCharactersFromTheBundleAreShownNotObeyed) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    TempDir t("tmux");
    std::string bundle = broken_bundle(t, [](const fs::path& b) {
        fs::path nib = b / "Contents/Resources/VantrelPref.interface.plist";
        std::string xml = read_file(nib);
        xml.replace(xml.find("Menu Header"), 11, "Menu&#27;[2J&#27;[HHeader");
        std::ofstream(nib) << xml;
    });
    Tmux tm(t);
    std::string script = "unset DISPLAY WAYLAND_DISPLAY\nexport XDG_CONFIG_HOME='" +
                         home.dir.path().string() + "'\n'" + VANTREL_PREFS + "' --bundle '" +
                         bundle + "'\nsleep 30\n";
    fs::path file = t.write("run.sh", script);
    ASSERT_EQ(tm.cmd("new-session -d -s vp -x 80 -y 30 \"sh '" + file.string() + "'\""), 0);
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    EXPECT_NE(screen.find("[x] Menu?[2J?[HHeader"), std::string::npos) << screen;
    EXPECT_EQ(screen.rfind("Vantrel", 0), 0u) << screen;
    tm.cmd("send-keys -t vp q");
}

// A click the store could not save says so on the status line, and a visit
// that ends with a change the file lacks says so and fails, as --click and
// the window do; a later click that saves writes the earlier change as well.
TEST(VantrelPrefsTerminal, StatusLineSaysWhenAClickWasNotSaved) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    struct Row {
        const char* name;
        bool mendBeforeLeaving;  // the store works again and another box is clicked
        int status;
    };
    for (const Row& row : {Row{"left unsaved", false, 2}, Row{"saved by a later click", true, 0}}) {
        SCOPED_TRACE(row.name);
        PrefsHome home;
        fs::create_directory(home.file());
        TempDir t("tmux");
        Tmux tm(t);
        ScriptedTerminal st(t);
        ASSERT_TRUE(st.start(tm, home, 120, 30));
        std::string screen;
        ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
        tm.cmd("send-keys -t vp Space");
        ASSERT_TRUE(tm.wait_for("Menu Header: off, NOT saved: ", &screen)) << screen;
        EXPECT_EQ(screen.find(", saved"), std::string::npos) << screen;
        if (row.mendBeforeLeaving) {
            fs::remove(home.file());
            tm.cmd("send-keys -t vp j Space");
            ASSERT_TRUE(tm.wait_for("Copyright: off, saved", &screen)) << screen;
        }
        tm.cmd("send-keys -t vp q");
        EXPECT_EQ(st.wait(), row.status);
        if (row.status != 0) {
            ASSERT_TRUE(tm.wait_for("\"Menu Header\" is off here but was not saved: ", &screen))
                << screen;
        } else {
            EXPECT_NE(read_file(home.file()).find("<key>Menu Header</key>\n\t<false/>"),
                      std::string::npos);
        }
    }
}

}  // namespace
