// What the last CFPreferencesAppSynchronize of this process did, for a host
// that must tell its user when a setting was not saved. A pane may ignore
// the Boolean that synchronising returns; the host that drove the click
// asks here afterwards.
//
//   auto before = vantrel::prefs::last_synchronize().serial;
//   pane->click(box);
//   auto r = vantrel::prefs::last_synchronize();
//   if (r.serial != before && !r.ok) show(r.message);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <cstdint>
#include <string>

#include "vantrel/Export.h"

namespace vantrel::prefs {

struct SynchronizeReport {
    std::uint64_t serial = 0;  // counts the synchronisations of this process
    bool ok = true;            // what the last one returned
    std::string message;       // when it failed: one line saying what failed and why
};

// The report of the most recent CFPreferencesAppSynchronize in this process
// (any thread, any domain).
VANTREL_EXPORT SynchronizeReport last_synchronize();

}  // namespace vantrel::prefs
// NOLINTEND(readability-identifier-naming)
