#include "VantrelPrefPane.h"

void VantrelPrefPane::includeButtonClicked_(id sender) {
    NSButton* box = dynamic_cast<NSButton*>(sender);
    if (box == nil || box->title() == nil) return;
    // The title is the key; every click is stored and made durable at once
    // so that the plug-in sees it without waiting for the pane to close.
    CFPreferencesSetAppValue(box->title()->CFString(),
                             box->state() != 0 ? kCFBooleanTrue : kCFBooleanFalse, m_appID);
    CFPreferencesAppSynchronize(m_appID);
}

void VantrelPrefPane::willSelect() {
    // Read every time the pane is shown: another program may have changed
    // the settings while it was hidden. The order is the table's.
    setIncludeButtonState_withDefaultState_(m_includeMenuHeader, 1);
    setIncludeButtonState_withDefaultState_(m_includeCopyright, 1);
    setIncludeButtonState_withDefaultState_(m_includeDisplayName, 1);
    setIncludeButtonState_withDefaultState_(m_includeURL, 1);
    setIncludeButtonState_withDefaultState_(m_includeFrameCount, 1);
    setIncludeButtonState_withDefaultState_(m_includeDuration, 1);
    setIncludeButtonState_withDefaultState_(m_includeCreationTime, 1);
    setIncludeButtonState_withDefaultState_(m_includeModTime, 1);
    setIncludeButtonState_withDefaultState_(m_includeNaturalSize, 1);
    setIncludeButtonState_withDefaultState_(m_includeDataSize, 1);
    setIncludeButtonState_withDefaultState_(m_includeCodecName, 1);
    setIncludeButtonState_withDefaultState_(m_includeSoundName, 1);

    id version = bundle()->objectForInfoDictionaryKey(NSSTR("CFBundleShortVersionString"));
    id name = bundle()->objectForInfoDictionaryKey(NSSTR("CFBundleName"));
    if (m_versionInfoField != nil)
        m_versionInfoField->setStringValue(
            NSString::stringWithFormat(NSSTR("%@ %@"), name, version));
}

void VantrelPrefPane::setIncludeButtonState_withDefaultState_(NSButton* inButton,
                                                              int inDefaultState) {
    if (inButton == nil) return;
    int state = inDefaultState;
    CFPropertyListRef value = CFPreferencesCopyAppValue(
        inButton->title() ? inButton->title()->CFString() : nullptr, m_appID);
    if (value != nullptr) {
        // Only a boolean decides; anything else stored under the title shows
        // the default and stays as it is until the box is clicked.
        if (CFGetTypeID(value) == CFBooleanGetTypeID())
            state = CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? 1 : 0;
        CFRelease(value);
    }
    inButton->setState(state);
}

void VantrelPrefPane::didUnselect() {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Preferences Changed"),
                                         CFSTR("com.ashgrove.preference.Vantrel"), nullptr, true);
}

void VantrelPrefPane::mainViewDidLoad() {
    m_appID = CFSTR("com.ashgrove.Vantrel");
}

VANTREL_PANE_CLASS(VantrelPrefPane) {
    c.ivar("m_appID", &VantrelPrefPane::m_appID)
        .ivar("m_versionInfoField", &VantrelPrefPane::m_versionInfoField)
        .ivar("m_includeMenuHeader", &VantrelPrefPane::m_includeMenuHeader)
        .ivar("m_includeCopyright", &VantrelPrefPane::m_includeCopyright)
        .ivar("m_includeDisplayName", &VantrelPrefPane::m_includeDisplayName)
        .ivar("m_includeURL", &VantrelPrefPane::m_includeURL)
        .ivar("m_includeFrameCount", &VantrelPrefPane::m_includeFrameCount)
        .ivar("m_includeDuration", &VantrelPrefPane::m_includeDuration)
        .ivar("m_includeCreationTime", &VantrelPrefPane::m_includeCreationTime)
        .ivar("m_includeModTime", &VantrelPrefPane::m_includeModTime)
        .ivar("m_includeNaturalSize", &VantrelPrefPane::m_includeNaturalSize)
        .ivar("m_includeDataSize", &VantrelPrefPane::m_includeDataSize)
        .ivar("m_includeCodecName", &VantrelPrefPane::m_includeCodecName)
        .ivar("m_includeSoundName", &VantrelPrefPane::m_includeSoundName);
    c.method("includeButtonClicked:")
        .method("willSelect")
        .method("setIncludeButtonState:withDefaultState:")
        .method("didUnselect")
        .method("mainViewDidLoad");
    c.outlet("m_versionInfoField", &VantrelPrefPane::m_versionInfoField)
        .outlet("m_includeMenuHeader", &VantrelPrefPane::m_includeMenuHeader)
        .outlet("m_includeCopyright", &VantrelPrefPane::m_includeCopyright)
        .outlet("m_includeDisplayName", &VantrelPrefPane::m_includeDisplayName)
        .outlet("m_includeURL", &VantrelPrefPane::m_includeURL)
        .outlet("m_includeFrameCount", &VantrelPrefPane::m_includeFrameCount)
        .outlet("m_includeDuration", &VantrelPrefPane::m_includeDuration)
        .outlet("m_includeCreationTime", &VantrelPrefPane::m_includeCreationTime)
        .outlet("m_includeModTime", &VantrelPrefPane::m_includeModTime)
        .outlet("m_includeNaturalSize", &VantrelPrefPane::m_includeNaturalSize)
        .outlet("m_includeDataSize", &VantrelPrefPane::m_includeDataSize)
        .outlet("m_includeCodecName", &VantrelPrefPane::m_includeCodecName)
        .outlet("m_includeSoundName", &VantrelPrefPane::m_includeSoundName);
    c.action("includeButtonClicked:", &VantrelPrefPane::includeButtonClicked_);
}
