// GreetingPane: one check box, stored as a boolean under its title in the
// preferences domain com.example.Greeting, and a label with the pane's name
// and version from its Info.plist.
#include "vantrel/CoreFoundation.h"
#include "vantrel/PreferencePanes.h"

class GreetingPane : public NSPreferencePane {
  public:
    using NSPreferencePane::NSPreferencePane;

    // boxClicked: -- stores the box's state at once.
    void boxClicked_(id sender) {
        auto* box = dynamic_cast<NSButton*>(sender);
        if (box == nil || box->title() == nil) return;
        CFPreferencesSetAppValue(box->title()->CFString(),
                                 box->state() ? kCFBooleanTrue : kCFBooleanFalse, kDomain);
        CFPreferencesAppSynchronize(kDomain);
    }

    // Shows the stored state (off when nothing is stored) and the label.
    void willSelect() override {
        if (m_greetAtLogin != nil) {
            CFPropertyListRef v =
                CFPreferencesCopyAppValue(m_greetAtLogin->title()->CFString(), kDomain);
            bool on = v != nullptr && CFGetTypeID(v) == CFBooleanGetTypeID() &&
                      CFBooleanGetValue(static_cast<CFBooleanRef>(v));
            if (v != nullptr) CFRelease(v);
            m_greetAtLogin->setState(on ? 1 : 0);
        }
        if (m_label != nil) {
            id name = bundle()->objectForInfoDictionaryKey(NSSTR("CFBundleName"));
            id version = bundle()->objectForInfoDictionaryKey(NSSTR("CFBundleShortVersionString"));
            m_label->setStringValue(NSString::stringWithFormat(NSSTR("%@ %@"), name, version));
        }
    }

    NSButton* m_greetAtLogin = nil;
    NSTextField* m_label = nil;

  private:
    static constexpr CFStringRef kDomain = CFSTR("com.example.Greeting");
};

// Makes the class known to the host by name (NSPrincipalClass) and connects
// the interface's outlets and action to its members.
VANTREL_PANE_CLASS(GreetingPane) {
    c.outlet("m_greetAtLogin", &GreetingPane::m_greetAtLogin)
        .outlet("m_label", &GreetingPane::m_label);
    c.action("boxClicked:", &GreetingPane::boxClicked_);
}
