// The parts of vantrel-prefs shared by the scripted mode and the terminal
// interface.
#pragma once

#include <string>

#include "vantrel/PreferencePanes.h"

namespace vprefs {

// Shows the loaded pane in the terminal until the user leaves it. Returns the
// process exit status.
int run_terminal(vantrel::host::LoadedPane& pane, bool notificationsOn);

inline std::string title_of(NSButton* b) {
    return b->title() ? b->title()->UTF8String() : std::string();
}

}  // namespace vprefs
