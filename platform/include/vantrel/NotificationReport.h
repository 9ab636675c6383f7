// What the distributed notification centre did, for a host that must tell
// its user when a running program did not hear of a change: whether the
// last post of this process reached the session bus, and why the centre has
// no bus when it has none.
//
//   auto before = vantrel::notify::last_post().serial;
//   pane->unselect();                       // posts "Preferences Changed"
//   auto r = vantrel::notify::last_post();
//   if (r.serial != before && !r.ok) say(r.message);
#pragma once

#include <cstdint>
#include <string>

#include "vantrel/Export.h"

namespace vantrel::notify {

struct PostReport {
    std::uint64_t serial = 0;  // counts the posts of this process
    bool ok = true;            // the signal was handed to the session bus
    std::string message;       // when not: one line saying why
};

// The report of the most recent CFNotificationCenterPostNotification in this
// process (any thread).
VANTREL_EXPORT PostReport last_post();

// Why the centre reaches no session bus, in a few words ("no session bus",
// "the session bus unix:path=/run/user/1000/bus does not answer"); "" when
// it reaches one. Connects on first use, as CFNotificationCenterIsAvailable.
VANTREL_EXPORT std::string unavailable_reason();

}  // namespace vantrel::notify
