// VantrelPrefPane loaded from Vantrel.prefPane as the host loads it: its
// shape, what it reads and writes, its label and its notification.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "pane_support.h"
#include "vantrel/fault.h"

namespace {

using namespace vtest;

TEST(PaneClass, HasTheInstanceVariablesMethodsOutletsAndActionInOrder) {
    PaneFixture f;  // loading registers the class
    const vantrel::objc::Class* c = vantrel::objc::lookUpClass("VantrelPrefPane");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->superclass, "NSPreferencePane");
    std::vector<std::string> ivars = {"m_appID",
                                      "m_versionInfoField",
                                      "m_includeMenuHeader",
                                      "m_includeCopyright",
                                      "m_includeDisplayName",
                                      "m_includeURL",
                                      "m_includeFrameCount",
                                      "m_includeDuration",
                                      "m_includeCreationTime",
                                      "m_includeModTime",
                                      "m_includeNaturalSize",
                                      "m_includeDataSize",
                                      "m_includeCodecName",
                                      "m_includeSoundName"};
    ASSERT_EQ(c->ivars.size(), ivars.size());
    for (std::size_t i = 0; i < ivars.size(); ++i) EXPECT_EQ(c->ivars[i].name, ivars[i]);
    std::vector<std::string> methods = {"includeButtonClicked:", "willSelect",
                                        "setIncludeButtonState:withDefaultState:", "didUnselect",
                                        "mainViewDidLoad"};
    EXPECT_EQ(c->methods, methods);
    ASSERT_EQ(c->actions.size(), 1u);
    EXPECT_EQ(c->actions[0].selector, "includeButtonClicked:");

    // The host connected every box to its own outlet, in the table's order,
    // and every box sends the one action to the pane.
    NSPreferencePane* pane = f.pane->pane();
    ASSERT_EQ(f.pane->checkBoxes().size(), 12u);
    for (int i = 0; i < 12; ++i) {
        NSButton* box = f.pane->checkBoxes()[i];
        EXPECT_EQ(c->valueOf(pane, ivars[i + 2]), box) << ivars[i + 2];
        EXPECT_EQ(std::string(box->title()->UTF8String()), kTitles[i]);
        EXPECT_EQ(box->action(), "includeButtonClicked:");
        EXPECT_EQ(box->target(), pane);
    }
    EXPECT_EQ(c->valueOf(pane, "m_versionInfoField"), f.pane->labels().at(0));
    // mainViewDidLoad set the application ID, and only that.
    EXPECT_TRUE(CFEqual(c->valueOf(pane, "m_appID"), CFSTR("com.ashgrove.Vantrel")));
}

TEST(Pane, EmptyDomainShowsEveryBoxOnAndWritesNothingUntilAClick) {
    PaneFixture f;
    for (NSButton* b : f.pane->checkBoxes()) b->setState(0);  // prove willSelect sets them
    f.pane->select();
    EXPECT_EQ(f.states(), std::vector<int>(12, 1));
    f.pane->unselect();
    f.pane->select();
    EXPECT_TRUE(fs::is_empty(f.home.dir.path()));

    f.pane->click(f.box("Frame Count"));
    EXPECT_EQ(f.stored("Frame Count"), 0);
    for (const char* t : kTitles) {
        if (std::string(t) != "Frame Count") {
            EXPECT_EQ(f.stored(t), -1) << t;  // only the clicked box
        }
    }
}

TEST(Pane, EachClickStoresABooleanUnderItsTitleAndSynchronisesAtOnce) {
    PaneFixture f;
    f.pane->select();
    vantrel::fault::Scope scope;
    vantrel::fault::set_counting(true);
    for (int i = 0; i < 12; ++i) {
        f.pane->click(f.pane->checkBoxes()[i]);
        // On disk, flushed, before the click returned.
        EXPECT_EQ(f.stored(kTitles[i]), 0) << kTitles[i];
        EXPECT_EQ(vantrel::fault::calls("CFPreferencesAppSynchronize.fsync"), i + 1);
        EXPECT_EQ(vantrel::fault::calls("CFPreferencesAppSynchronize.fsyncDir"), i + 1);
    }
    f.pane->click(f.box("Duration"));
    EXPECT_EQ(f.stored("Duration"), 1);  // the second click stores true
    EXPECT_EQ(vantrel::fault::calls("CFPreferencesAppSynchronize"), 13);
    std::string xml = read_file(f.home.file());
    EXPECT_NE(xml.find("<key>Duration</key>\n\t<true/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<key>Sound Name</key>\n\t<false/>"), std::string::npos) << xml;
}

// Every visit reads all twelve options, in the table's order, from the file
// as it is then. The change made while the pane was hidden is an in-place
// edit of the same size, long after the last read, with its modification
// time put back: it can only be seen by really checking the file, not
// because it is recent.
TEST(Pane, ReadsEveryOptionInTableOrderEachTimeItIsShown) {
    PaneFixture f;
    auto xml = [](const char* value) {
        return std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>URL</key>") +
               value + "</dict></plist>";
    };
    f.home.dir.write("com.ashgrove.Vantrel.plist", xml("<true/> "));
    struct stat st {};
    ASSERT_EQ(::stat(f.home.file().c_str(), &st), 0);
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_sec -= 60;
    ASSERT_EQ(::utimensat(AT_FDCWD, f.home.file().c_str(), times, 0), 0);

    std::vector<std::string> keys;
    vantrel::fault::Scope scope;
    vantrel::fault::set_hook([&](const vantrel::fault::Call& c) {
        if (c.op == "CFPreferencesCopyAppValue") keys.emplace_back(c.detail);
    });
    f.pane->select();
    f.pane->unselect();
    ASSERT_EQ(keys.size(), 12u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(keys[i], kTitles[i]);
    EXPECT_EQ(f.box("URL")->state(), 1);

    // Changed by another program while hidden: shown on the next visit.
    ::usleep(150 * 1000);
    {
        std::string text = xml("<false/>");
        int fd = ::open(f.home.file().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        ::close(fd);
        ASSERT_EQ(::utimensat(AT_FDCWD, f.home.file().c_str(), times, 0), 0);
    }
    f.pane->select();
    EXPECT_EQ(keys.size(), 24u);
    EXPECT_EQ(f.box("URL")->state(), 0);
}

struct StoredCase {
    const char* name;
    const char* xml;  // the value element stored under "Duration"
    int shown;
};

void PrintTo(const StoredCase& c, std::ostream* os) {
    *os << c.name;
}

class PaneStoredValue : public ::testing::TestWithParam<StoredCase> {};

// Only a boolean decides a box; anything else shows on and is left as it is
// until the box is clicked.
TEST_P(PaneStoredValue, ShowsTheRightStateAndKeepsNonBooleansUntilClicked) {
    PaneFixture f;
    std::string file = std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") +
                       "<key>Duration</key>" + GetParam().xml +
                       "<key>Window Frame</key><string>0 0 640 480</string></dict></plist>";
    f.home.dir.write("com.ashgrove.Vantrel.plist", file);
    f.pane->select();
    EXPECT_EQ(f.box("Duration")->state(), GetParam().shown);
    for (NSButton* b : f.pane->checkBoxes())
        if (b != f.box("Duration")) {
            EXPECT_EQ(b->state(), 1);
        }
    f.pane->unselect();
    EXPECT_EQ(read_file(f.home.file()), file);  // reading never writes

    // Another box's click rewrites the file: the odd value stays, untouched.
    f.pane->select();
    f.pane->click(f.box("URL"));
    plist_t p = parse_file(f.home.file());
    ASSERT_NE(p, nullptr);
    plist_t stored = plist_dict_get_item(p, "Duration");
    ASSERT_NE(stored, nullptr);
    plist_t original = nullptr;
    std::string single =
        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\">") + GetParam().xml + "</plist>";
    plist_from_xml(single.data(), static_cast<uint32_t>(single.size()), &original);
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(plist_get_node_type(stored), plist_get_node_type(original));
    auto xml_of = [](plist_t n) {
        char* x = nullptr;
        uint32_t len = 0;
        plist_to_xml(n, &x, &len);
        std::string out(x, len);
        plist_to_xml_free(x);
        return out;
    };
    EXPECT_EQ(xml_of(stored), xml_of(original));
    EXPECT_NE(plist_dict_get_item(p, "Window Frame"), nullptr);
    plist_free(original);
    plist_free(p);

    // Its own click replaces it with a boolean: the shown state toggled.
    f.pane->click(f.box("Duration"));
    EXPECT_EQ(f.stored("Duration"), GetParam().shown ? 0 : 1);
    EXPECT_NE(read_file(f.home.file()).find("<key>Window Frame</key>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PaneStoredValue,
    ::testing::Values(StoredCase{"False", "<false/>", 0}, StoredCase{"True", "<true/>", 1},
                      StoredCase{"StringFalse", "<string>false</string>", 1},
                      StoredCase{"StringNo", "<string>NO</string>", 1},
                      StoredCase{"IntegerZero", "<integer>0</integer>", 1},
                      StoredCase{"RealZero", "<real>0.0</real>", 1},
                      StoredCase{"Date", "<date>2001-01-01T00:00:00Z</date>", 1},
                      StoredCase{"Data", "<data>AA==</data>", 1},
                      StoredCase{"Array", "<array><false/></array>", 1},
                      StoredCase{"Dict", "<dict><key>x</key><false/></dict>", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pane, OtherKeysSurviveEveryWrite) {
    PaneFixture f;
    const char* xml = R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>Plugin Version</key><integer>7</integer>
<key>Last Run</key><date>2024-05-01T10:00:00Z</date>
<key>Recent</key><array><string>a.mov</string></array>
</dict></plist>)";
    f.home.dir.write("com.ashgrove.Vantrel.plist", xml);
    f.pane->select();
    for (int round = 0; round < 3; ++round)
        for (NSButton* b : f.pane->checkBoxes()) {
            f.pane->click(b);
            plist_t p = parse_file(f.home.file());
            ASSERT_NE(p, nullptr);
            plist_t v = plist_dict_get_item(p, "Plugin Version");
            ASSERT_TRUE(v && plist_get_node_type(v) == PLIST_UINT);
            ASSERT_TRUE(plist_dict_get_item(p, "Last Run") &&
                        plist_get_node_type(plist_dict_get_item(p, "Last Run")) == PLIST_DATE);
            ASSERT_TRUE(plist_dict_get_item(p, "Recent") &&
                        plist_get_node_type(plist_dict_get_item(p, "Recent")) == PLIST_ARRAY);
            plist_free(p);
        }
}

TEST(Pane, UnparseableFileShowsDefaultsAndIsKeptAtTheNextWrite) {
    PaneFixture f;
    f.home.dir.write("com.ashgrove.Vantrel.plist",
                     "<plist><dict><key>Duration</key><false/>");  // torn
    f.pane->select();
    EXPECT_EQ(f.states(), std::vector<int>(12, 1));
    EXPECT_FALSE(fs::exists(f.home.dir / "com.ashgrove.Vantrel.plist.corrupt"));
    f.pane->click(f.box("Copyright"));
    EXPECT_EQ(read_file(f.home.dir / "com.ashgrove.Vantrel.plist.corrupt"),
              "<plist><dict><key>Duration</key><false/>");
    EXPECT_EQ(f.stored("Copyright"), 0);
}

TEST(Pane, FailedSynchronisationKeepsTheBoxAsClickedAndTheFileAsItWas) {
    PaneFixture f;
    f.pane->select();
    f.pane->click(f.box("URL"));
    std::string before = read_file(f.home.file());
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("CFPreferencesAppSynchronize.rename", 1, ioErr);
    f.pane->click(f.box("Duration"));
    EXPECT_EQ(f.box("Duration")->state(), 0);  // nothing is reported; the box shows the click
    EXPECT_EQ(read_file(f.home.file()), before);
    f.pane->click(f.box("Copyright"));  // the next synchronisation carries the earlier change too
    EXPECT_EQ(f.stored("Duration"), 0);
    EXPECT_EQ(f.stored("Copyright"), 0);
}

TEST(Pane, LabelIsTheBundleNameASpaceAndTheShortVersion) {
    {
        PaneFixture f;
        f.pane->select();
        EXPECT_EQ(f.label(), "Vantrel 1.0");
    }
    // A copy of the bundle with other strings: the label follows them.
    TempDir copy("bundle");
    fs::copy(VANTREL_PANE_BUNDLE, copy / "Sample.prefPane", fs::copy_options::recursive);
    fs::path info = copy / "Sample.prefPane/Contents/Info.plist";
    std::string xml = read_file(info);
    auto replace = [&](const std::string& key, const std::string& value) {
        auto k = xml.find("<key>" + key + "</key>");
        ASSERT_NE(k, std::string::npos);
        auto s = xml.find("<string>", k) + 8;
        auto e = xml.find("</string>", s);
        xml.replace(s, e - s, value);
    };
    replace("CFBundleName", "Sample");
    replace("CFBundleShortVersionString", "2.3 beta");
    std::ofstream(info) << xml;
    PaneFixture g((copy / "Sample.prefPane").string());
    g.pane->select();
    EXPECT_EQ(g.label(), "Sample 2.3 beta");
}

// Runs the observer program in its own process and returns what it printed
// between READY and the stop notification.
std::vector<std::string> observe(const std::function<void()>& action) {
    Child obs = Child::spawn({VANTREL_TEST_OBSERVER, "20"});
    std::string first = obs.line();
    if (first == "NOBUS") return {"NOBUS"};
    EXPECT_EQ(first, "READY");
    action();
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Observer Stop"), nullptr, nullptr, true);
    std::vector<std::string> lines;
    for (std::string l = obs.line(); !l.empty(); l = obs.line()) lines.push_back(l);
    EXPECT_EQ(obs.wait(), 0);
    return lines;
}

TEST(PaneNotification, LeavingPostsExactlyOneAndClicksPostNone) {
    PrivateBus bus;  // counted exactly: no other test's notifications on it
    if (!CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter()))
        GTEST_SKIP()
            << "no D-Bus session bus (scripts/test.sh runs the suite under dbus-run-session)";
    PaneFixture f;
    auto lines = observe([&] {
        f.pane->select();
        f.pane->click(f.box("Duration"));
        f.pane->click(f.box("Duration"));
        f.pane->click(f.box("URL"));
    });
    EXPECT_TRUE(lines.empty()) << lines.front();  // clicks announce nothing

    lines = observe([&] { f.pane->unselect(); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Preferences Changed|com.ashgrove.preference.Vantrel|(null)");

    // Select, leave, select again, leave again without a click: one each time.
    lines = observe([&] {
        f.pane->select();
        f.pane->unselect();
        f.pane->select();
        f.pane->unselect();
    });
    EXPECT_EQ(lines.size(), 2u);
}

// Two processes click different boxes hundreds of times at once; every click
// is on disk when it returns and none is lost to the other process's writes.
TEST(PaneConcurrency, TwoProcessesClickingDifferentBoxesLoseNoClick) {
    PrefsHome home;
    constexpr int kClicks = 250;
    const char* mine[2] = {"Duration", "Codec Name"};
    std::vector<pid_t> kids;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            int rc = 0;
            std::string err;
            auto pane = vantrel::host::LoadedPane::load(VANTREL_PANE_BUNDLE, &err);  // its own load
            if (!pane || !pane->loadMainView(&err)) _exit(3);
            {
                pane->select();
                NSButton* b = pane->checkBoxTitled(mine[w]);
                for (int i = 0; i < kClicks && rc == 0; ++i) {
                    pane->click(b);
                    // Read back independently: the other writer must not have undone it.
                    plist_t p = parse_file(home.file());
                    plist_t v = p ? plist_dict_get_item(p, mine[w]) : nullptr;
                    uint8_t val = 2;
                    if (v) plist_get_bool_val(v, &val);
                    if (val != b->state()) rc = 10 + i % 100;
                    plist_free(p);
                }
            }
            _exit(rc);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int status = 0;
        waitpid(k, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // An even number of clicks from "on" ends on.
    plist_t p = parse_file(home.file());
    ASSERT_NE(p, nullptr);
    for (const char* k : mine) {
        plist_t v = plist_dict_get_item(p, k);
        ASSERT_NE(v, nullptr) << k;
        uint8_t b = 2;
        plist_get_bool_val(v, &b);
        EXPECT_EQ(b, kClicks % 2 == 0 ? 1 : 0) << k;
    }
    plist_free(p);
}

}  // namespace
