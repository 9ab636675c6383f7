// The Cocoa subset under the pane: string formatting, reference counting
// with autorelease pools, bundles, check boxes and action dispatch by
// selector name.
#include <gtest/gtest.h>

#include "prefs_support.h"
#include "vantrel/PreferencePanes.h"

namespace {

using namespace vtest;

struct FormatCase {
    const char* name;
    std::function<NSString*()> make;
    const char* expected;
};
void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class StringWithFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(StringWithFormat, ReplacesEachConversion) {
    NSAutoreleasePool pool;
    NSString* s = GetParam().make();
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->UTF8String(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringWithFormat,
    ::testing::Values(
        FormatCase{"NameThenVersion",
                   [] {
                       return NSString::stringWithFormat(NSSTR("%@ %@"), NSSTR("Sample"),
                                                         NSSTR("2.3"));
                   },
                   "Sample 2.3"},
        FormatCase{"NilArgument",
                   [] { return NSString::stringWithFormat(NSSTR("%@ %@"), nil, NSSTR("1.0")); },
                   "(null) 1.0"},
        FormatCase{"NonStringValue",
                   [] {
                       int32_t v = 7;
                       CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
                       auto* obj = new NSCFValue(n);
                       CFRelease(n);
                       obj->autorelease();
                       return NSString::stringWithFormat(NSSTR("v%@"), obj);
                   },
                   "v7"},
        FormatCase{
            "IntegersPercentAndCString",
            [] { return NSString::stringWithFormat(NSSTR("%d%% of %ld, %s"), 50, 10L, "ok"); },
            "50% of 10, ok"},
        FormatCase{"UnknownConversionKeptAsWritten",
                   [] { return NSString::stringWithFormat(NSSTR("%x %@"), NSSTR("a")); }, "%x a"},
        FormatCase{
            "NonAscii",
            [] { return NSString::stringWithFormat(NSSTR("%@!"), NSSTR("Gr\u00f6\u00dfe")); },
            "Gr\u00f6\u00dfe!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NSObjectLifetime, PoolsReleaseWhatWasAutoreleasedAndConstantsLiveOn) {
    NSString* kept = nullptr;
    {
        NSAutoreleasePool outer;
        NSString* s = NSString::stringWithUTF8String("x");
        s->retain();
        EXPECT_EQ(s->retainCount(), 2);
        {
            NSAutoreleasePool inner;
            s->retain()->autorelease();
            EXPECT_EQ(s->retainCount(), 3);
        }
        EXPECT_EQ(s->retainCount(), 2);  // the inner pool released its one
        kept = s;
    }
    EXPECT_EQ(kept->retainCount(), 1);  // the outer pool released the creation reference
    kept->release();                    // ASan reports a leak or a double free otherwise

    NSString* c = NSSTR("constant");
    c->release();
    c->release();
    EXPECT_STREQ(c->UTF8String(), "constant");
}

TEST(NSBundleInfo, ValuesComeFromTheInfoPlistAndAreOwnedByTheBundle) {
    TempDir t("bundle");
    t.write("B.prefPane/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist "
            "version=\"1.0\"><dict><key>CFBundleName</key><string>B</string>"
            "<key>Build</key><integer>12</integer></dict></plist>");
    t.write("Bad.prefPane/Contents/Info.plist", "<plist><array/></plist>");
    NSAutoreleasePool pool;
    NSBundle* b =
        NSBundle::bundleWithPath(NSString::stringWithUTF8String((t / "B.prefPane").c_str()));
    ASSERT_NE(b, nullptr);
    id name = b->objectForInfoDictionaryKey(NSSTR("CFBundleName"));
    ASSERT_NE(dynamic_cast<NSString*>(name), nullptr);
    EXPECT_STREQ(static_cast<NSString*>(name)->UTF8String(), "B");
    EXPECT_EQ(b->objectForInfoDictionaryKey(NSSTR("CFBundleName")),
              name);  // same object, no new allocation
    EXPECT_STREQ(b->objectForInfoDictionaryKey(NSSTR("Build"))->description()->UTF8String(), "12");
    EXPECT_EQ(b->objectForInfoDictionaryKey(NSSTR("Missing")), nullptr);
    EXPECT_EQ(
        NSBundle::bundleWithPath(NSString::stringWithUTF8String((t / "Bad.prefPane").c_str())),
        nullptr);
    EXPECT_EQ(
        NSBundle::bundleWithPath(NSString::stringWithUTF8String((t / "None.prefPane").c_str())),
        nullptr);
}

class ProbePane : public NSPreferencePane {
  public:
    using NSPreferencePane::NSPreferencePane;
    void boxClicked_(id sender) {
        last = dynamic_cast<NSButton*>(sender);
        stateSeen = last ? last->state() : -9;
        ++clicks;
    }
    NSButton* m_box = nil;
    NSButton* last = nil;
    NSInteger stateSeen = -9;
    int clicks = 0;
};

TEST(ActionDispatch, ClicksToggleThenReachTheActionBySelectorName) {
    vantrel::objc::ClassBuilder<ProbePane> builder("ProbePane");
    builder.ivar("m_box", &ProbePane::m_box)
        .outlet("m_box", &ProbePane::m_box)
        .action("boxClicked:", &ProbePane::boxClicked_);
    vantrel::objc::registerClass(builder.get());
    const vantrel::objc::Class* cls = vantrel::objc::lookUpClass("ProbePane");
    ASSERT_NE(cls, nullptr);

    NSAutoreleasePool pool;
    auto* pane = static_cast<ProbePane*>(cls->create(nil));
    pane->setIsa(cls);
    auto* box = new NSButton;
    auto* label = new NSTextField;
    ASSERT_TRUE(cls->findOutlet("m_box")->set(pane, box));
    EXPECT_FALSE(
        cls->findOutlet("m_box")->set(pane, label));  // a label cannot fill a check-box outlet
    EXPECT_EQ(pane->m_box, box);
    EXPECT_EQ(cls->valueOf(pane, "m_box"), box);

    box->setTarget(pane);
    box->setAction("boxClicked:");
    box->performClick();
    EXPECT_EQ(pane->clicks, 1);
    EXPECT_EQ(pane->last, box);
    EXPECT_EQ(pane->stateSeen, NSOnState);  // toggled before the action runs
    box->performClick();
    EXPECT_EQ(pane->stateSeen, NSOffState);
    box->setState(5);
    EXPECT_EQ(box->state(), NSOnState);

    box->setAction("noSuchAction:");
    EXPECT_FALSE(box->sendAction());
    EXPECT_FALSE(vantrel::objc::sendAction(label, "boxClicked:", box));  // not a runtime object
    EXPECT_EQ(pane->clicks, 2);

    box->release();
    label->release();
    pane->release();
}

}  // namespace
