// The fault seam: one dispatch point through which a test can make any
// platform operation fail, or run a hook between operations.
//
// A test facility. This header is not installed with the contract headers,
// and a build with VANTREL_UNTESTABLE (release packages) compiles every
// check below to nothing; the tests need the seam and are not built then.
//
// Every platform operation that can fail starts with
//
//   if (OSErr e = vantrel::fault::check("FSMoveObject", n.name)) return e;
//
// where the first argument is the operation's public name and the second an
// optional detail (usually the name or path the call works on). Operations
// made of several system calls also check each step, named "Op.step", right
// before the call it stands for; a step that the seam fails behaves as if the
// system call had failed with the matching errno, so the errno table and the
// clean-up after a side effect run as they would for a real failure:
//
//   if (vantrel::fault::step("FSMoveObject.rename", n.name, [&] {
//           return ::renameat2(from, name, to, name, RENAME_NOREPLACE);
//       }) != 0)
//       return from_errno(errno, Op::Rename, &n);
//
// Each source file registers the names it checks, so that arming a name
// nobody checks (a typo) is an error instead of a rule that never fires:
//
//   VANTREL_FAULT_OPERATIONS("FSMoveObject", "FSMoveObject.rename");
//
// A call whose failure the operation deliberately ignores says so, so that
// sweeps know the operation may still succeed when only such calls failed:
//
//   { vantrel::fault::Benign benign; (void)FSCloseIterator(it); }
//
// When nothing is armed a check costs one relaxed atomic load.
//
// A test arms faults like SQLite's test VFS does:
//
//   vantrel::fault::Scope scope;                              // resets on entry and exit
//   vantrel::fault::fail_nth("FSMoveObject", 2, fLckdErr);    // its 2nd call only
//   vantrel::fault::fail_nth("*", n, ioErr, true);            // call n and every later one
//   vantrel::fault::fail_if([](const vantrel::fault::Call& c) -> OSErr {
//       return c.detail.ends_with("/victim") ? permErr : noErr; });
//   vantrel::fault::set_hook([](const vantrel::fault::Call& c) { ... });
//   ... run the operation ...
//   for (const auto& i : vantrel::fault::injections()) ...   // what failed, where
//
// Counting: calls are counted while anything is armed (a rule, a predicate,
// a hook or set_counting), from the last reset(). Call::index is the count of
// the call's own operation, Call::globalIndex that of every operation, and
// fail_nth(op, n) fails the call whose index (globalIndex for "*") is n: the
// numbers a hook or the injection log shows are the numbers fail_nth takes.
// Arm before the calls you count; arming a call that was already counted is
// an error (fail_next arms the next call, wherever the count stands).
//
// Hooks run before the fault decision, so a hook can change the file system
// between two platform calls (for example swap a directory for a symbolic
// link) to make a race deterministic.
//
// A crash-point sweep ends the process, as a kill would, right before the
// system call of its n-th step (a check named "Op.step"; calls named after
// an operation alone are not steps), counted from now:
//
//   vantrel::fault::die_at_step(n);   // SIGKILL at step n
//
// or from the start of a program, with VANTREL_FAULT_DIE_AT_STEP=n in its
// environment; steps() says how many steps ran, so a sweep knows when n
// lies past the operation's last one.
// A program's overrides are set the same way, with
// VANTREL_FAULT_OVERRIDES=KEY=VALUE[,KEY=VALUE...] (a key no source
// registers ends the program at its first override lookup).
//
// Overrides are named integer values that an operation consults instead of the
// system (the clock, the Script Manager's variables, a volume ability); their
// keys are registered like operation names:
//
//   vantrel::fault::set_override("GetUTCDateTime.seconds", 3'000'000'000);
//
// The seam is process-wide and thread-safe. Names and overrides that are not
// registered make fail_nth, calls and set_override throw
// std::invalid_argument, which GoogleTest reports as a failure of the test.
// A check of a name no file registered stops the process with a message while
// the seam is armed: that is a defect of the library, not of the test.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/MacTypes.h"

namespace vantrel::fault {

struct Call {
    std::string_view op;      // the operation's public name, e.g. "FSDeleteObject"
    std::string_view detail;  // path or name the call works on, may be empty
    long index;               // 1-based count of calls of this op since the last reset
    long globalIndex;         // 1-based count of all checked calls since the last reset
};

#if defined(VANTREL_UNTESTABLE) && VANTREL_UNTESTABLE

inline OSErr check(const char*, std::string_view = {}) noexcept {
    return noErr;
}
inline int check_errno(const char*, std::string_view = {}) noexcept {
    return 0;
}
template <class F>
auto step(const char*, std::string_view, F&& call) -> decltype(call()) {
    return call();
}
inline std::optional<std::int64_t> override_value(std::string_view) noexcept {
    return std::nullopt;
}
class Benign {
  public:
    Benign() noexcept {}
    ~Benign() {}
    Benign(const Benign&) = delete;
    Benign& operator=(const Benign&) = delete;
};
#define VANTREL_FAULT_OPERATIONS(...) static_assert(true)

#else

// Decides whether the current call fails. Returns noErr to let it through.
VANTREL_EXPORT OSErr check(const char* op, std::string_view detail = {}) noexcept;

// check() for a step before a system call: 0 to go on, or the errno that the
// armed result code stands for (ioErr EIO, dskFulErr ENOSPC, afpAccessDenied
// EACCES, memFullErr ENOMEM, fLckdErr and permErr EPERM, vLckdErr EROFS, ...).
VANTREL_EXPORT int check_errno(const char* op, std::string_view detail = {}) noexcept;

// Runs `call` (a system call returning -1 on failure) unless the seam fails
// step `op`, in which case errno is set as check_errno says and -1 returned.
template <class F>
auto step(const char* op, std::string_view detail, F&& call) -> decltype(call()) {
    if (int e = check_errno(op, detail)) {
        errno = e;
        return static_cast<decltype(call())>(-1);
    }
    return call();
}

// Fail the call of `op` ("*": of any operation) whose index is n (1-based,
// counted from the last reset, see above) with `err`; with `persistent`, that
// call and every later one. Throws std::invalid_argument for a name nobody
// registered, for n < 1 and for a call that was already counted.
VANTREL_EXPORT void fail_nth(std::string_view op, long n, OSErr err, bool persistent = false);
// fail_nth for the next call of `op` ("*": the next call of any operation),
// counted from now: for a test that arms again after calls were counted.
VANTREL_EXPORT void fail_next(std::string_view op, OSErr err, bool persistent = false);
// Fail every call for which `pred` returns a non-zero code.
VANTREL_EXPORT void fail_if(std::function<OSErr(const Call&)> pred);
// Run `hook` at the start of every checked call (before the fault decision).
VANTREL_EXPORT void set_hook(std::function<void(const Call&)> hook);

// Ends the process with SIGKILL right before its n-th step from now (see
// above); reset() disarms it. Throws std::invalid_argument for n < 1.
VANTREL_EXPORT void die_at_step(long n);
// Steps checked since the last reset() (counted while anything is armed).
VANTREL_EXPORT long steps() noexcept;

// Overrides; set_override throws std::invalid_argument for an unregistered key.
VANTREL_EXPORT void set_override(std::string_view key, std::int64_t value);
VANTREL_EXPORT void clear_override(std::string_view key);
VANTREL_EXPORT std::optional<std::int64_t> override_value(std::string_view key) noexcept;

// One injected fault, in the order they happened.
struct Injection {
    std::string op;      // the operation or step that failed
    std::string detail;  // its detail (at most 200 bytes kept)
    long index = 0;      // Call::index of the failed call
    long globalIndex = 0;
    OSErr err = noErr;    // what the seam answered
    bool benign = false;  // inside a Benign scope: the caller ignores this failure
};
// The faults injected since the last reset() (the first 4096 of them).
VANTREL_EXPORT std::vector<Injection> injections();
// Number of faults injected since the last reset().
VANTREL_EXPORT long injected() noexcept;
// Number of calls of `op` ("*" for all) checked since the last reset().
// Throws std::invalid_argument for a name nobody registered.
VANTREL_EXPORT long calls(std::string_view op);
// Removes every rule, hook and override and zeroes the counters and the log.
VANTREL_EXPORT void reset() noexcept;
// While true, check() counts calls even when nothing is armed (reset() clears it).
VANTREL_EXPORT void set_counting(bool on) noexcept;

// Registry of the names checked and the override keys consulted.
VANTREL_EXPORT bool registered(std::string_view name) noexcept;
VANTREL_EXPORT std::vector<std::string> registered_names();

// Registers names at load time; use it through VANTREL_FAULT_OPERATIONS,
// once per source file.
struct VANTREL_EXPORT Registration {
    Registration(std::initializer_list<const char*> names);
};
#define VANTREL_FAULT_OPERATIONS(...)                                                             \
    namespace {                                                                                   \
    [[maybe_unused]] const ::vantrel::fault::Registration vantrel_fault_operations_{__VA_ARGS__}; \
    }                                                                                             \
    static_assert(true)

// Marks, on this thread, calls whose failure the caller deliberately ignores
// (an undo's best effort is not one: its failure changes what is left).
// Faults injected meanwhile are logged as benign.
class VANTREL_EXPORT Benign {
  public:
    Benign() noexcept;
    ~Benign();
    Benign(const Benign&) = delete;
    Benign& operator=(const Benign&) = delete;
};

// Resets the seam when it is made and when it goes out of scope.
struct Scope {
    Scope() { reset(); }
    ~Scope() { reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

#endif

}  // namespace vantrel::fault
