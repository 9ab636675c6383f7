// VantrelPrefPane: the principal class of Vantrel.prefPane. Twelve check
// boxes switch what the Vantrel contextual-menu plug-in shows; each box's
// title is the preference key under which its state is stored as a boolean
// in the domain com.ashgrove.Vantrel. Leaving the pane tells running
// plug-ins, with the distributed notification "Preferences Changed", that the
// settings may have changed.
//
// Instance variables and methods keep the class's original names; a selector
// becomes a C++ member by turning each colon into an underscore.
#pragma once

#include "vantrel/CoreFoundation.h"
#include "vantrel/PreferencePanes.h"

class VantrelPrefPane : public NSPreferencePane {
  public:
    using NSPreferencePane::NSPreferencePane;

    // includeButtonClicked: -- the action of all twelve check boxes.
    void includeButtonClicked_(id sender);
    void willSelect() override;
    // setIncludeButtonState:withDefaultState:
    void setIncludeButtonState_withDefaultState_(NSButton* inButton, int inDefaultState);
    void didUnselect() override;
    void mainViewDidLoad() override;

    // Outlets are filled by the host from the interface definition; the pane
    // neither retains nor releases them.
    CFStringRef m_appID = nullptr;
    NSTextField* m_versionInfoField = nil;
    NSButton* m_includeMenuHeader = nil;
    NSButton* m_includeCopyright = nil;
    NSButton* m_includeDisplayName = nil;
    NSButton* m_includeURL = nil;
    NSButton* m_includeFrameCount = nil;
    NSButton* m_includeDuration = nil;
    NSButton* m_includeCreationTime = nil;
    NSButton* m_includeModTime = nil;
    NSButton* m_includeNaturalSize = nil;
    NSButton* m_includeDataSize = nil;
    NSButton* m_includeCodecName = nil;
    NSButton* m_includeSoundName = nil;
};
