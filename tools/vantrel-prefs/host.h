// The host core of vantrel-prefs, shared by every way of showing a pane: the
// scripted mode, the terminal view, and the window (a module of its own).
//
// The core owns what must not differ between front ends: loading the bundle,
// the life-cycle order (mainViewDidLoad once; willSelect, didSelect when
// shown; willUnselect, didUnselect exactly once per visit), checking after
// each click whether the store saved it, and ending a visit normally when
// SIGTERM, SIGHUP or SIGINT arrives. A front end only draws and reads input:
//
//   auto session = vprefs::Session::open(bundle, &error);
//   vprefs::Signals::install();
//   session->show();
//   ... wait on the front end's input and Signals::fd() ...
//   vprefs::ClickResult r = session->click(box);   // r.saved, r.message
//   session->leave();                              // posts once, however we got here
//   return vprefs::Signals::finish(status);        // re-raises an ending signal
#pragma once

#include <memory>
#include <string>

#include "vantrel/PreferencePanes.h"

namespace vprefs {

// Termination and resize signals, turned into readable bytes on a pipe
// (the handler only writes a byte: nothing else is async-signal-safe), so
// that a front end waits for them beside its input.
class Signals {
  public:
    // Catches SIGTERM, SIGHUP, SIGINT and SIGWINCH, except those ignored when
    // the process started (nohup). Idempotent. Until a visit begins
    // (Session::show) there is nothing to leave, and an ending signal ends
    // the process at once.
    static bool install();
    // Readable when a signal has arrived.
    static int fd();
    // Drains the pipe. Returns the first ending signal received so far
    // (0 for none) and sets `resized` when a SIGWINCH came.
    static int take(bool* resized = nullptr);
    // The exit status of the process: `status`, unless an ending signal
    // arrived, in which case that signal is re-raised with its default
    // action so that the parent sees how the process ended.
    static int finish(int status);
};

// The outcome of one click as the user must hear it.
struct ClickResult {
    bool saved = true;
    std::string message;  // when not saved: one line saying what failed
};

// What a front end sees of a session: the pane, and what a user does with
// it. Abstract and complete in this header, so that a front end built as a
// module needs nothing from the executable but the object it is handed.
class Visit {
  public:
    virtual ~Visit() = default;
    virtual vantrel::host::LoadedPane& pane() = 0;
    virtual bool notificationsOn() const = 0;
    virtual void show() = 0;                       // willSelect, didSelect; nothing if shown
    virtual ClickResult click(NSButton* box) = 0;  // the click, then the store's verdict
    virtual void leave() = 0;  // willUnselect, didUnselect; nothing if not shown
    virtual bool shown() const = 0;
};

// One loaded pane and its visits.
class Session final : public Visit {
  public:
    // Loads the bundle and its main view (mainViewDidLoad runs). Null with
    // one line in `error` on failure.
    static std::unique_ptr<Session> open(const std::string& bundle, std::string* error);
    ~Session() override;  // leaves the pane if it is shown

    vantrel::host::LoadedPane& pane() override { return *pane_; }
    bool notificationsOn() const override { return notificationsOn_; }
    void show() override;
    ClickResult click(NSButton* box) override;
    void leave() override;
    bool shown() const override { return shown_; }

  private:
    Session() = default;
    std::unique_ptr<vantrel::host::LoadedPane> pane_;
    bool shown_ = false;
    bool notificationsOn_ = false;
};

// A way of showing a visit to the user until they leave the pane or a
// signal ends the visit. Returns the exit status (before Signals::finish).
class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    virtual int run(Visit& visit) = 0;
};

std::unique_ptr<FrontEnd> make_terminal_front_end();

// The window, from the module vantrel-prefs-gtk.so, loaded only now: the
// terminal view and the scripted modes never map the toolkit. Null, with
// one line in `error`, when the module cannot be loaded or the display
// cannot be opened.
std::unique_ptr<FrontEnd> make_window_front_end(std::string* error);

// The directory of the running executable ("." when it cannot be read).
std::string executable_dir();
// The pane shown when no --bundle is given (bundles.cpp says where it looks).
std::string default_bundle();

// Start-up marks for measuring (docs/benchmarks.md): when the environment
// names a descriptor in VANTREL_PREFS_TIMING_FD, writes "<what> <ns>\n" there
// with the CLOCK_MONOTONIC time in nanoseconds. Otherwise does nothing.
void startup_mark(const char* what);

// What a front-end module receives from the host: the host's functions it
// may call, since it cannot link against the executable. The module checks
// `size` so that a module from another build is refused, not misused.
struct ModuleHost {
    unsigned size;
    int (*signalFd)();
    int (*takeSignal)(bool* resized);
    void (*mark)(const char* what);
};
// The module's one exported function. Returns a front end (owned by the
// caller) or null with one line in `error`.
using MakeModuleFrontEnd = FrontEnd* (*)(const ModuleHost* host, std::string* error);
inline constexpr const char* kWindowModule = "vantrel-prefs-gtk.so";
inline constexpr const char* kWindowModuleEntry = "vantrel_prefs_window_front_end";

inline std::string title_of(NSButton* b) {
    return b->title() ? b->title()->UTF8String() : std::string();
}

}  // namespace vprefs
