// What the preference store did, for a host that must tell its user the
// truth about a setting: whether the last CFPreferencesAppSynchronize of this
// process saved what was recorded, whether a domain file it read cannot be
// read, and a way to stay responsive while the store waits for another
// program. A pane may ignore the Boolean that synchronising returns; the host
// that drove the click asks here afterwards.
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
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vantrel/Export.h"

namespace vantrel::prefs {

struct SynchronizeReport {
    std::uint64_t serial = 0;  // counts the synchronisations of this process
    bool ok = true;            // what the last one returned
    std::string message;       // when it failed: one line saying what failed and why
    // Whether every recorded change but those in `lost` is in the file, and
    // made durable (false when the synchronisation failed).
    bool written = false;
    // Recorded changes that are not in the file and will not be written by
    // a later synchronisation: a value refused, or a change another program
    // overtook (it gave the key another value, or removed it, after this
    // process recorded its own; its value stands). Key, and why.
    std::vector<std::pair<std::string, std::string>> lost;
    // When this synchronisation kept an unreadable domain file aside before
    // replacing it: the name it is kept under now.
    std::string set_aside;
};

// The report of the most recent CFPreferencesAppSynchronize in this process
// (any thread, any domain).
VANTREL_EXPORT SynchronizeReport last_synchronize();

struct ReadReport {
    std::uint64_t serial = 0;  // counts the reads that found a domain file unreadable
    std::string path;          // the domain file
    std::string problem;       // why it cannot be read
};

// The most recent CFPreferencesCopyAppValue that found its domain file
// unreadable: a file that does not parse as a property list, whose root is
// not a dictionary, or that kept changing while it was read (another program
// writing it in place). Such a domain shows no values; the next
// synchronisation keeps the file aside (".corrupt") before replacing it.
VANTREL_EXPORT ReadReport last_unreadable_read();

// While a synchronisation or a read waits for another program (its lock on
// the domain file, or a file it is writing in place), the store calls `hook`
// every 20 ms or so, on the waiting thread, with one line saying what it
// waits for. When the hook returns false the wait ends at once: a
// synchronisation then fails (its changes stay recorded), a read gives what
// it has. A host uses it to keep its window drawn and to honour a request to
// end. An empty function (the default) waits the whole time.
VANTREL_EXPORT void set_wait_hook(std::function<bool(const std::string& waiting_for)> hook);

}  // namespace vantrel::prefs
// NOLINTEND(readability-identifier-naming)
