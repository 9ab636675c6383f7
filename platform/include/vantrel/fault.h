// The fault seam: one dispatch point through which a test can make any
// platform operation fail, or run a hook between operations.
//
// Every platform operation that can fail (File Manager calls, preference
// store reads and writes, notification posts, converter creation, ...) starts
// with
//
//   if (OSErr e = vantrel::fault::check("FSMoveObject", path)) return e;
//
// where the first argument is the operation's public name and the second an
// optional detail (usually the path or name the call works on). When no test
// has armed anything this costs one relaxed atomic load.
//
// A test arms faults like SQLite's test VFS does:
//
//   vantrel::fault::Scope scope;                      // resets on exit
//   vantrel::fault::fail_nth("FSMoveObject", 2, fLckdErr);  // 2nd call only
//   vantrel::fault::fail_nth("*", n, ioErr);           // n-th call of any op
//   vantrel::fault::fail_if([](const vantrel::fault::Call& c) -> OSErr {
//       return c.detail.ends_with("/victim") ? permErr : noErr; });
//   vantrel::fault::set_hook([](const vantrel::fault::Call& c) { ... });
//   ... run the operation ...
//   if (vantrel::fault::injected() == 0) break;        // sweep finished
//
// Hooks run before the fault decision, so a hook can change the file system
// between two platform calls (for example swap a directory for a symbolic
// link) to make a race deterministic.
//
// Overrides are named integer values that an operation consults instead of the
// system (the clock, the Script Manager's variables, a volume ability):
//
//   vantrel::fault::set_override("GetUTCDateTime.seconds", 3'000'000'000);
//
// The seam is process-wide and thread-safe; it is meant for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "vantrel/MacTypes.h"

namespace vantrel::fault {

struct Call {
    std::string_view op;      // the operation's public name, e.g. "FSDeleteObject"
    std::string_view detail;  // path or name the call works on, may be empty
    long index;               // 1-based count of calls of this op so far (this one included)
    long global_index;        // 1-based count of all checked calls so far
};

// Decides whether the current call fails. Returns noErr to let it through.
VANTREL_EXPORT OSErr check(const char* op, std::string_view detail = {}) noexcept;

// Fail the n-th call (1-based, counted from now) of `op` ("*" counts every
// operation) with `err`; with `persistent`, that call and every later one.
VANTREL_EXPORT void fail_nth(std::string_view op, long n, OSErr err, bool persistent = false);
// Fail every call for which `pred` returns a non-zero code.
VANTREL_EXPORT void fail_if(std::function<OSErr(const Call&)> pred);
// Run `hook` at the start of every checked call (before the fault decision).
VANTREL_EXPORT void set_hook(std::function<void(const Call&)> hook);

VANTREL_EXPORT void set_override(std::string_view key, std::int64_t value);
VANTREL_EXPORT void clear_override(std::string_view key);
VANTREL_EXPORT std::optional<std::int64_t> override_value(std::string_view key) noexcept;

// Number of faults injected since the last reset().
VANTREL_EXPORT long injected() noexcept;
// Number of calls of `op` ("*" for all) checked since the last reset().
VANTREL_EXPORT long calls(std::string_view op) noexcept;
// Removes every rule, hook and override and zeroes the counters.
VANTREL_EXPORT void reset() noexcept;
// While true, check() counts calls even when nothing is armed (reset() clears it).
VANTREL_EXPORT void set_counting(bool on) noexcept;

// Resets the seam when it goes out of scope.
struct Scope {
    Scope() { reset(); }
    ~Scope() { reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace vantrel::fault
