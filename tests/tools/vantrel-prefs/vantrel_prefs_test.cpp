// vantrel-prefs as a user runs it: the scripted mode, the errors a user can
// act on (each one line, non-zero, nothing written), and the terminal
// interface in a real terminal driven through tmux.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "pane_support.h"

// The built host, beside the test program.
#define VANTREL_PREFS (vtest::beside_test_program(VANTREL_PREFS_FROM_TEST))

namespace {

using namespace vtest;

struct Result {
    int status;
    std::string out, err;
};

Result run(const std::vector<std::string>& args, const std::string& extra_env = "") {
    TempDir io("io");
    std::string cmd = extra_env + " '" + VANTREL_PREFS + "'";
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

// What follows a wait for a kept lock is tested with the wait shortened
// (the real one is ten seconds: Preferences.ALockHeldByAnotherProgram...).
constexpr const char* kShortLockWait =
    "env VANTREL_FAULT_OVERRIDES=CFPreferencesAppSynchronize.lockWaitMs=300";

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
                         return std::string(kShortLockWait);
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

// A test shortens the lock's wait of a program it starts through the fault
// seam's overrides in the environment; a key that no library registers, or
// a value that is no number, stops the program instead of being a setting
// that never takes.
TEST(VantrelPrefs, FaultOverridesFromTheEnvironmentAreTakenOrRefused) {
    struct Row {
        const char* what;
        const char* overrides;
        bool stops;  // the program stops (abort) instead of failing the click (status 2)
        const char* said;
    };
    const Row rows[] = {
        {"the wait shortened", "CFPreferencesAppSynchronize.lockWaitMs=300", false,
         "which has held it for 0.3 seconds"},
        {"a misspelt key", "CFPreferencesAppSynchronize.lockWaitMz=300", true,
         "names \"CFPreferencesAppSynchronize.lockWaitMz\", which no platform source registers"},
        {"no number", "CFPreferencesAppSynchronize.lockWaitMs=soon", true,
         "\"CFPreferencesAppSynchronize.lockWaitMs=soon\" is no key=integer"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PrefsHome home;
        home.dir.write("com.ashgrove.Vantrel.plist",
                       "<plist><dict><key>URL</key><true/></dict></plist>");
        const int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        const auto start = std::chrono::steady_clock::now();
        const Result r =
            run({"--click", "Duration"}, std::string("ulimit -c 0; timeout -k 5 30 env "
                                                     "VANTREL_FAULT_OVERRIDES=") +
                                             row.overrides);
        const auto took = std::chrono::steady_clock::now() - start;
        ::close(held);
        if (row.stops) {
            // 128 + SIGABRT, or 128 when the shell's last command was the program itself.
            EXPECT_GE(r.status, 128) << r.err;
        } else {
            EXPECT_EQ(r.status, 2) << r.err;
        }
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        EXPECT_LT(took, std::chrono::seconds(5)) << "waited for the lock as long as ever";
        EXPECT_EQ(read_file(home.file()), "<plist><dict><key>URL</key><true/></dict></plist>");
    }
}

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

// Whether the host `pid` waits for the lock on `file`: it keeps the file open
// for a whole second. Reading the file also opens it, for a moment only; a
// test that took that moment for the wait and changed the file then would
// have changed what the host reads, not what it overtakes.
bool waits_for_lock(pid_t pid, const fs::path& file) {
    constexpr int kPollMs = 50, kHeldMs = 1000;
    int held = 0;
    for (int i = 0; i < 400 && held * kPollMs < kHeldMs; ++i) {
        held = has_open(pid, file) ? held + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return held * kPollMs >= kHeldMs;
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
    ASSERT_TRUE(waits_for_lock(pid, home.file()));
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
    // tmux runs a session's command with the user's login shell, which for a
    // system user such as nobody is nologin: the server gets a real one.
    int cmd(const std::string& args) const {
        return std::system(
            ("SHELL=/bin/sh tmux -S '" + socket + "' " + args + " >/dev/null 2>&1").c_str());
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
    ASSERT_EQ(tm.cmd("new-session -d -s vp -x 80 -y 30 \"env " + env + " '" + VANTREL_PREFS +
                     "'; sleep 30\""),
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
    ASSERT_EQ(tm.cmd("new-session -d -s vp -x 80 -y 30 \"env " + env + " '" + VANTREL_PREFS +
                     "'; sleep 30\""),
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

    // `extra`: more lines of shell before the host starts (exports).
    bool start(const Tmux& tm, const PrefsHome& home, int cols, int rows,
               const std::string& extra = "") const {
        std::string script =
            "ulimit -c 0\nunset DISPLAY WAYLAND_DISPLAY\nexport XDG_CONFIG_HOME='" +
            home.dir.path().string() + "'\n";
        if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            script += std::string("export DBUS_SESSION_BUS_ADDRESS='") + bus + "'\n";
        script += extra;
        script += "sh -c 'echo $$ > \"$0\"; exec \"$1\"' '" + pid.string() + "' '" + VANTREL_PREFS +
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
    int sig;                  // 0: the user presses q
    int visit_ms = 0;         // how long the pane stays shown before it is left
    int auth_timeout_ms = 0;  // the bus drops a connection not set up by then (0: Debian's)
};
void PrintTo(const LeaveCase& c, std::ostream* os) {
    *os << c.name;
}

class VantrelPrefsTerminalLeaving : public ::testing::TestWithParam<LeaveCase> {};

// However the visit ends, q or a signal (closing the terminal, kill, an
// interrupt, a quit, a user signal, an alarm, a broken pipe), and however
// long it lasted (longer than the bus gives a connection to set itself up),
// the pane is left normally: exactly one "Preferences Changed" reaches
// another process, and the terminal is given back as it was.
TEST_P(VantrelPrefsTerminalLeaving, PostsOnceAndRestoresTheTerminal) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrivateBus bus(GetParam().auth_timeout_ms);
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
    std::this_thread::sleep_for(std::chrono::milliseconds(GetParam().visit_ms));
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

INSTANTIATE_TEST_SUITE_P(
    Ways, VantrelPrefsTerminalLeaving,
    ::testing::Values(LeaveCase{"KeyQ", 0}, LeaveCase{"Sigterm", SIGTERM},
                      LeaveCase{"Sighup", SIGHUP}, LeaveCase{"Sigint", SIGINT},
                      LeaveCase{"Sigquit", SIGQUIT}, LeaveCase{"Sigusr1", SIGUSR1},
                      LeaveCase{"Sigalrm", SIGALRM}, LeaveCase{"Sigpipe", SIGPIPE},
                      // A visit of twice the bus's wait.
                      LeaveCase{"KeyQAfterAVisitLongerThanTheBusWaits", 0, 4000, 2000},
                      LeaveCase{"SigtermAfterAVisitLongerThanTheBusWaits", SIGTERM, 4000, 2000}),
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

namespace {

// The notifications an observer saw until it was told to stop.
std::vector<std::string> observed(Child& obs) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Observer Stop"), nullptr, nullptr, true);
    std::vector<std::string> got;
    for (std::string l = obs.line(); !l.empty(); l = obs.line()) got.push_back(l);
    obs.wait();
    return got;
}

const std::string kPosted = "Preferences Changed|com.ashgrove.preference.Vantrel|(null)";

struct BusGoneCase {
    const char* name;
    bool restarted;  // the bus comes back at the same address before the pane is left
    int status;
    std::size_t notifications;
};
void PrintTo(const BusGoneCase& c, std::ostream* os) {
    *os << c.name;
}

class VantrelPrefsTerminalBusGone : public ::testing::TestWithParam<BusGoneCase> {};

// The session bus goes away during a visit (it was restarted, or the session
// is ending): leaving posts on the bus that is there then, once; with no bus
// left the user is told that the notification was not posted, and the exit
// status says so. Never silent.
TEST_P(VantrelPrefsTerminalBusGone, LeavingPostsOnTheBusThereOrSaysItCouldNot) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    TempDir t("tmux");
    PrivateBus bus(0, (t / "bus").string());
    if (!CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter()))
        GTEST_SKIP() << "no D-Bus session bus";
    PrefsHome home;
    Tmux tm(t);
    ScriptedTerminal st(t);
    ASSERT_TRUE(st.start(tm, home, 150, 30, "exec 2>'" + (t / "err").string() + "'\n"));
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    bus.stop();
    std::unique_ptr<Child> obs;
    if (GetParam().restarted) {
        bus.start();
        obs = std::make_unique<Child>(Child::spawn({VANTREL_TEST_OBSERVER, "30"}));
        ASSERT_EQ(obs->line(), "READY");
    }
    tm.cmd("send-keys -t vp q");
    EXPECT_EQ(st.wait(), GetParam().status) << read_file(t / "err");
    std::string err = read_file(t / "err");
    if (obs) {
        std::vector<std::string> got = observed(*obs);
        EXPECT_EQ(got, std::vector<std::string>(GetParam().notifications, kPosted)) << err;
    }
    if (GetParam().status == 3) {
        EXPECT_NE(err.find("vantrel-prefs: the pane was left, but \"Preferences Changed\" was not "
                           "posted: "),
                  std::string::npos)
            << err;
    } else {
        EXPECT_EQ(err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, VantrelPrefsTerminalBusGone,
                         ::testing::Values(BusGoneCase{"Restarted", true, 0, 1},
                                           BusGoneCase{"Gone", false, 3, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A listening socket that plays a broken bus: `mode` "close" accepts each
// connection and closes it at once; "mute" never accepts (connections wait
// in the backlog, unanswered); "refuse" is a TCP port nobody listens on.
struct FakeBus {
    std::string address;
    int fd = -1;
    std::thread acceptor;
    std::atomic<bool> stop{false};
    FakeBus(const TempDir& t, const std::string& mode) {
        if (mode == "refuse") {
            int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
            ::close(s);  // the port is free again: nobody listens there
            address = "tcp:host=127.0.0.1,port=" + std::to_string(ntohs(a.sin_port));
            return;
        }
        std::string path = (t / "fakebus").string();
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path.c_str());
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 16);
        address = "unix:path=" + path;
        if (mode == "close")
            acceptor = std::thread([this] {
                while (!stop) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 100) > 0) {
                        int c = ::accept(fd, nullptr, nullptr);
                        if (c >= 0) ::close(c);
                    }
                }
            });
    }
    ~FakeBus() {
        stop = true;
        if (acceptor.joinable()) acceptor.join();
        if (fd >= 0) ::close(fd);
    }
};

// A session bus that is named but cannot be used (a closed port, a bus
// that accepts and closes, one that never answers) counts as no bus: the
// host says once that notifications are off, and it costs a bounded wait
// once, not one at every post; --list, which posts nothing, costs none.
TEST(VantrelPrefs, ABusThatCannotBeUsedCountsAsOffInABoundedTime) {
    for (const char* mode : {"refuse", "close", "mute"}) {
        SCOPED_TRACE(mode);
        PrefsHome home;
        TempDir t("fakebus");
        FakeBus fake(t, mode);
        auto start = std::chrono::steady_clock::now();
        Result r = run({"--click", "Duration"},
                       "timeout -k 5 60 env DBUS_SESSION_BUS_ADDRESS='" + fake.address + "'");
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "[ ] Duration\n");
        EXPECT_EQ(
            r.err.rfind("vantrel-prefs: notifications are off (the session bus " + fake.address, 0),
            0u)
            << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_LT(took, std::chrono::seconds(4)) << "a post waited for a bus known to be off";
        // Listing posts nothing, so it never waits for the bus, nor speaks of
        // it: it takes about as long as a listing with no bus named at all (a
        // wait would add the two seconds a handshake is given; the host's
        // own start may take a second on a loaded machine).
        start = std::chrono::steady_clock::now();
        r = run({"--list"}, "timeout -k 5 60 env -u DBUS_SESSION_BUS_ADDRESS");
        const auto alone = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(r.status, 0) << r.err;
        start = std::chrono::steady_clock::now();
        r = run({"--list"}, "timeout -k 5 60 env DBUS_SESSION_BUS_ADDRESS='" + fake.address + "'");
        took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_LT(took, alone + std::chrono::milliseconds(1500)) << "--list waited for the bus";
    }
}

// A click that another program overtakes while it waits for the lock (the
// other program gives the key another value, or removes it) is dropped by
// the store, as it must be: the host then says it was not saved, and why,
// in --click and in the terminal view's status line, and ends with status 2.
TEST(VantrelPrefs, AClickAnotherProgramOvertookIsNotSaved) {
    for (const bool terminal : {false, true}) {
        for (const bool removed : {false, true}) {
            SCOPED_TRACE(std::string(terminal ? "terminal view, " : "--click, ") +
                         (removed ? "removed" : "changed"));
            if (terminal && !have_tmux()) {
                std::cout << "skipped: tmux is not installed\n";
                continue;
            }
            PrefsHome home;
            home.dir.write("com.ashgrove.Vantrel.plist",
                           "<plist><dict><key>Duration</key><true/><key>URL</key><false/></dict>"
                           "</plist>");
            int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(::flock(held, LOCK_EX), 0);
            TempDir io("io");
            std::unique_ptr<Tmux> tm;
            std::unique_ptr<ScriptedTerminal> st;
            pid_t pid = -1;
            if (terminal) {
                tm = std::make_unique<Tmux>(io);
                st = std::make_unique<ScriptedTerminal>(io);
                ASSERT_TRUE(
                    st->start(*tm, home, 200, 30, "exec 2>'" + (io / "err").string() + "'\n"));
                std::string screen;
                ASSERT_TRUE(tm->wait_for("Vantrel 1.0", &screen)) << screen;
                pid = st->process();
                for (int i = 0; i < 5; ++i) tm->cmd("send-keys -t vp Down");
                tm->cmd("send-keys -t vp Space");
                ASSERT_TRUE(tm->wait_for("Duration: waiting: ", &screen)) << screen;
            } else {
                pid = fork();
                if (pid == 0) {
                    int out = ::open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                    int err = ::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                    ::dup2(out, 1);
                    ::dup2(err, 2);
                    ::execl(VANTREL_PREFS, VANTREL_PREFS, "--click", "Duration",
                            static_cast<char*>(nullptr));
                    _exit(127);
                }
            }
            ASSERT_TRUE(waits_for_lock(pid, home.file()));
            // The other program writes under the lock it holds (a value of
            // its own, not the click's), then lets go.
            std::ofstream(home.file())
                << (removed ? "<plist><dict><key>URL</key><false/></dict></plist>"
                            : "<plist><dict><key>Duration</key><integer>0</integer>"
                              "<key>URL</key><false/></dict></plist>");
            ::close(held);
            int status = -1;
            if (terminal) {
                std::string screen;
                EXPECT_TRUE(tm->wait_for("Duration: off, NOT saved: another program", &screen))
                    << screen;
                EXPECT_EQ(screen.find(", saved"), std::string::npos) << screen;
                tm->cmd("send-keys -t vp q");
                status = st->wait();
            } else {
                int ws = 0;
                ::waitpid(pid, &ws, 0);
                status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
                EXPECT_EQ(read_file(io / "out"), "");
            }
            std::string err = read_file(io / "err");
            EXPECT_EQ(status, 2) << err;
            EXPECT_NE(err.find(terminal ? "vantrel-prefs: \"Duration\" is off here but was not "
                                          "saved: another program "
                                        : "vantrel-prefs: \"Duration\" was not saved: another "
                                          "program "),
                      std::string::npos)
                << err;
            EXPECT_EQ(read_file(home.file()).find("<key>Duration</key><true/>"), std::string::npos);
            EXPECT_EQ(read_file(home.file()).find("<key>Duration</key>\n\t<false/>"),
                      std::string::npos)
                << read_file(home.file());
        }
    }
}

// A domain file that cannot be read is announced when the pane is shown (the
// boxes show defaults, not the user's settings): one that does not parse,
// and the click that keeps it aside says where it went; one that cannot be
// opened or is not a regular file at all, where a click cannot be saved.
TEST(VantrelPrefs, AnUnreadableFileIsAnnouncedAndWhereItIsKeptIsSaid) {
    struct Row {
        const char* name;
        // Prepares the domain path; returns the command prefix, or "SKIP: why".
        std::function<std::string(const PrefsHome&)> setup;
        const char* problem;  // in the announcement, in its brackets
        bool kept_aside;      // the click keeps it aside and is saved
    };
    const std::string garbage = "<plist><dict><key>Duration</key><false/>";
    const Row rows[] = {
        {"does not parse",
         [&](const PrefsHome& home) {
             home.dir.write("com.ashgrove.Vantrel.plist", garbage);
             return std::string();
         },
         "not a property list: ", true},
        {"a directory",
         [](const PrefsHome& home) {
             fs::create_directory(home.file());
             return std::string();
         },
         "it is not a regular file", false},
        {"a FIFO",
         [](const PrefsHome& home) {
             ::mkfifo(home.file().c_str(), 0600);
             return std::string();
         },
         "it is not a regular file", false},
        {"a link to itself",
         [](const PrefsHome& home) {
             fs::create_symlink(home.file().filename(), home.file());
             return std::string();
         },
         "cannot look at it: Too many levels of symbolic links", false},
        {"a file its user may not read",
         [](const PrefsHome& home) -> std::string {
             if (!root()) return "SKIP: needs root to run as nobody";
             home.dir.write("com.ashgrove.Vantrel.plist",
                            "<plist><dict><key>Duration</key><false/></dict></plist>");
             if (::chown(home.dir.path().c_str(), 65534, 65534) != 0 ||
                 ::chown(home.file().c_str(), 65534, 65534) != 0 ||
                 ::chmod(home.file().c_str(), 0200) != 0)
                 return "SKIP: cannot give the file to nobody";
             return std::string(kAsNobody) + " env";
         },
         "cannot open it: Permission denied", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PrefsHome home;
        std::string prefix = row.setup(home);
        if (prefix.rfind("SKIP: ", 0) == 0) {
            std::cout << "skipped: " << prefix.substr(6) << "\n";
            continue;
        }
        const std::string said =
            "vantrel-prefs: " + home.file().string() + " cannot be read (" + row.problem;
        Result r = run({"--list"}, "timeout -k 5 30 " + prefix);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.rfind(said, 0), 0u) << r.err;
        EXPECT_NE(r.out.find("[x] Duration\n"), std::string::npos);
        r = run({"--leave"}, "timeout -k 5 30 " + prefix);
        EXPECT_EQ(r.err.rfind(said, 0), 0u) << r.err;
        EXPECT_NE(r.err.find(row.kept_aside ? "the first click keeps the file aside as " +
                                                  home.file().string() + ".corrupt"
                                            : std::string("a click cannot be saved there")),
                  std::string::npos)
            << r.err;
        r = run({"--click", "URL"}, "timeout -k 5 30 " + prefix);
        if (!row.kept_aside) {
            EXPECT_EQ(r.status, 2) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "[ ] URL\n");
        EXPECT_NE(
            r.err.find("the unreadable file was kept as " + home.file().string() + ".corrupt"),
            std::string::npos)
            << r.err;
        EXPECT_EQ(read_file(home.file().string() + ".corrupt"), garbage);
    }
}

// What a command prints must reach its standard output: a full disk makes
// it fail and say so, as coreutils do.
TEST(VantrelPrefs, AWriteErrorOnStandardOutputFails) {
    PrefsHome home;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--list"}, {"--click", "Duration"}, {"--help"}, {"--version"}}) {
        SCOPED_TRACE(args[0]);
        TempDir io("io");
        std::string cmd = std::string("'") + VANTREL_PREFS + "'";
        for (auto& a : args) cmd += " '" + a + "'";
        cmd += " >/dev/full 2>'" + (io / "err").string() + "' </dev/null";
        int rc = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 2) << rc;
        EXPECT_EQ(read_file(io / "err"), "vantrel-prefs: write error: No space left on device\n");
    }
}

// SIGTERM while a click waits for another program's lock ends the wait at
// once: the visit ends (the pane is left, the click said to be unsaved) and
// the process ends by the signal, without waiting the lock's ten seconds.
TEST(VantrelPrefs, SigtermWhileAClickWaitsForALockIsHonouredAtOnce) {
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", "<plist><dict/></plist>");
    int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    TempDir io("io");
    pid_t pid = fork();
    if (pid == 0) {
        int err = ::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        ::execl(VANTREL_PREFS, VANTREL_PREFS, "--click", "Duration", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(waits_for_lock(pid, home.file()));
    auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    auto took = std::chrono::steady_clock::now() - start;
    ::close(held);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_NE(read_file(io / "err").find("\"Duration\" was not saved: "), std::string::npos)
        << read_file(io / "err");
    EXPECT_EQ(read_file(home.file()), "<plist><dict/></plist>");
}

// The host running with `home` as its configuration directory, or -1.
pid_t host_with_config(const PrefsHome& home) {
    const std::string want = "XDG_CONFIG_HOME=" + home.dir.path().string();
    std::error_code ec;
    for (auto& e : fs::directory_iterator("/proc", ec)) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (fs::read_symlink(e.path() / "exe", ec) != fs::path(VANTREL_PREFS)) continue;
        std::string env = read_file(e.path() / "environ");
        for (std::size_t at = 0; at < env.size(); at = env.find('\0', at) + 1) {
            if (env.compare(at, want.size() + 1, want + '\0') == 0)
                return static_cast<pid_t>(std::stol(name));
            if (env.find('\0', at) == std::string::npos) break;
        }
    }
    return -1;
}

struct StopCase {
    const char* name;
    bool key;                    // Ctrl-Z typed, rather than SIGTSTP sent
    bool during_a_wait = false;  // while a click waits for another program's lock
};
void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class VantrelPrefsTerminalStopped : public ::testing::TestWithParam<StopCase> {};

const char* process_state(pid_t pid) {
    static std::string s;
    s = read_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = s.rfind(')');
    s = close == std::string::npos || close + 2 >= s.size() ? "?" : s.substr(close + 2, 1);
    return s.c_str();
}

// Stopped (Ctrl-Z, or SIGTSTP) under a shell with job control, the view
// gives the terminal back first, as less and vim do: the shell's screen, the
// cursor shown. Continued (fg), it takes the terminal again (raw, its own
// screen) and draws itself; the visit then ends as any other.
TEST_P(VantrelPrefsTerminalStopped, GivesTheTerminalBackAndTakesItAgain) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    if (std::system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    fs::path status_file = t / "status";
    ASSERT_EQ(tm.cmd("new-session -d -s vp -x 80 -y 30 \"env -u DISPLAY -u WAYLAND_DISPLAY "
                     "PS1='$ ' bash --norc --noprofile -i\""),
              0);
    // Typed at the shell, so that the host is a job of its own.
    std::string line =
        "XDG_CONFIG_HOME=\"" + home.dir.path().string() + "\" \"" + VANTREL_PREFS + "\"";
    tm.cmd("send-keys -t vp -l '" + line + "'");
    tm.cmd("send-keys -t vp Enter");
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    pid_t pid = host_with_config(home);
    ASSERT_GT(pid, 0);
    int held = -1;
    if (GetParam().during_a_wait) {
        home.dir.write("com.ashgrove.Vantrel.plist", "<plist><dict/></plist>");
        held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        tm.cmd("send-keys -t vp Space");
        ASSERT_TRUE(tm.wait_for("Menu Header: waiting: ", &screen)) << screen;
    }
    if (GetParam().key)
        tm.cmd("send-keys -t vp C-z");
    else
        ::kill(pid, SIGTSTP);
    for (int i = 0; i < 100 && std::string(process_state(pid)) != "T"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_STREQ(process_state(pid), "T");
    ASSERT_TRUE(tm.wait_for("Stopped", &screen)) << screen;
    EXPECT_EQ(screen.find("Vantrel 1.0"), std::string::npos) << screen;
    std::string flags = (t / "flags").string();
    tm.cmd("run-shell -t vp 'tmux -S " + tm.socket +
           " display -p -t vp \"#{alternate_on} #{cursor_flag}\" > " + flags + "'");
    EXPECT_EQ(read_file(flags), "0 1\n") << "the alternate screen or the hidden cursor stayed";
    // The shell's status of the job once it ends: fg waits for it.
    tm.cmd("send-keys -t vp -l 'fg; echo $? > \"" + status_file.string() + "\"'");
    tm.cmd("send-keys -t vp Enter");
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    if (held >= 0)
        ::close(held);  // the click that waited goes on
    else
        tm.cmd("send-keys -t vp Space");  // raw again: one key, no Enter
    ASSERT_TRUE(tm.wait_for("Menu Header: off, saved", &screen)) << screen;
    tm.cmd("send-keys -t vp q");
    std::string status;
    for (int i = 0; i < 100 && (status = read_file(status_file)).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status, "0\n");
}

INSTANTIATE_TEST_SUITE_P(Ways, VantrelPrefsTerminalStopped,
                         ::testing::Values(StopCase{"Sigtstp", false}, StopCase{"CtrlZ", true},
                                           StopCase{"SigtstpWhileAClickWaits", false, true},
                                           StopCase{"CtrlZWhileAClickWaits", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// While a click waits for another program's lock, the status says so and
// the view takes no other key but those that leave: a second space typed
// meanwhile (the first seemed lost), or a move, is not acted on once the
// wait is over, as the window takes no other click meanwhile.
TEST(VantrelPrefsTerminal, KeysTypedWhileAClickWaitsAreNotActedOn) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    home.dir.write("com.ashgrove.Vantrel.plist", "<plist><dict/></plist>");
    int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    TempDir t("tmux");
    Tmux tm(t);
    ScriptedTerminal st(t);
    ASSERT_TRUE(st.start(tm, home, 150, 30));
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    for (int i = 0; i < 5; ++i) tm.cmd("send-keys -t vp Down");
    tm.cmd("send-keys -t vp Space");
    ASSERT_TRUE(tm.wait_for("Duration: waiting: ", &screen)) << screen;
    tm.cmd("send-keys -t vp Space Down Space");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(held);
    ASSERT_TRUE(tm.wait_for("Duration: off, saved", &screen)) << screen;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screen = tm.capture();
    EXPECT_NE(screen.find("> [ ] Duration"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[x] Creation Time"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Duration: off, saved"), std::string::npos) << screen;
    tm.cmd("send-keys -t vp q");
    EXPECT_EQ(st.wait(), 0);
    std::string file = read_file(home.file());
    EXPECT_NE(file.find("<key>Duration</key>\n\t<false/>"), std::string::npos) << file;
    EXPECT_EQ(file.find("Creation Time"), std::string::npos) << file;
}

// Over a slow link the bytes of an arrow key come apart: the view waits for
// the rest of the sequence instead of taking its ESC for "leave".
TEST(VantrelPrefsTerminal, AnArrowKeyWhoseBytesComeApartStillMoves) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    ScriptedTerminal st(t);
    ASSERT_TRUE(st.start(tm, home, 80, 30));
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Vantrel 1.0", &screen)) << screen;
    for (int i = 0; i < 2; ++i) {
        tm.cmd("send-keys -t vp Escape");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        tm.cmd("send-keys -t vp -l '[B'");
    }
    ASSERT_TRUE(tm.wait_for("> [x] Display Name", &screen)) << screen;
    tm.cmd("send-keys -t vp Escape");  // a lone ESC still leaves
    EXPECT_EQ(st.wait(), 0);
}

// TERM=dumb (an editor's shell buffer) cannot take escape sequences: the
// view is plain numbered lines, and a number toggles its box. What reaches
// the terminal is recorded raw (tmux pipe-pane).
TEST(VantrelPrefsTerminal, ADumbTerminalGetsPlainLines) {
    if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
    PrefsHome home;
    TempDir t("tmux");
    Tmux tm(t);
    ScriptedTerminal st(t);
    std::string raw = (t / "raw").string();
    ASSERT_TRUE(st.start(tm, home, 80, 40, "export TERM=dumb\nsleep 0.5\n"));
    tm.cmd("pipe-pane -t vp 'cat > " + raw + "'");
    std::string screen;
    ASSERT_TRUE(tm.wait_for("Toggle which", &screen)) << screen;
    EXPECT_NE(screen.find(" 6 [x] Duration\n"), std::string::npos) << screen;
    tm.cmd("send-keys -t vp 6 Enter");
    ASSERT_TRUE(tm.wait_for("Duration: off, saved", &screen)) << screen;
    // A click that waits for another program's lock says so, as a line.
    int held = ::open(home.file().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    tm.cmd("send-keys -t vp 4 Enter");
    EXPECT_TRUE(tm.wait_for("URL: waiting: " + home.file().string() + " is locked", &screen))
        << screen;
    ::close(held);
    ASSERT_TRUE(tm.wait_for("URL: off, saved", &screen)) << screen;
    tm.cmd("send-keys -t vp q Enter");
    EXPECT_EQ(st.wait(), 0);
    std::string out = read_file(raw);
    EXPECT_NE(out.find("Vantrel 1.0"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << "an escape sequence reached a dumb terminal";
    EXPECT_NE(read_file(home.file()).find("<key>Duration</key>\n\t<false/>"), std::string::npos);
}

}  // namespace
