// vantrel-prefs as a user runs it: the scripted mode, the errors a user can
// act on (each one line, non-zero, nothing written), and the terminal
// interface in a real terminal driven through tmux.
#include <gtest/gtest.h>

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
        Result r = run(args);
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
    std::string env = "XDG_CONFIG_HOME='" + home.dir.path().string() + "'";
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
    std::string env = "-u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR='" + t.path().string() +
                      "' XDG_CONFIG_HOME='" + home.dir.path().string() + "'";
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
