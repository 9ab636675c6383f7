// The host core of vantrel-prefs, shared by every way of showing a pane: the
// scripted mode, the terminal view, and any later front end (a window).
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
    // Catches SIGTERM, SIGHUP, SIGINT and SIGWINCH. Idempotent.
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

// One loaded pane and its visits.
class Session {
  public:
    // Loads the bundle and its main view (mainViewDidLoad runs). Null with
    // one line in `error` on failure.
    static std::unique_ptr<Session> open(const std::string& bundle, std::string* error);
    ~Session();  // leaves the pane if it is shown

    vantrel::host::LoadedPane& pane() { return *pane_; }
    bool notificationsOn() const { return notificationsOn_; }

    void show();                       // willSelect, didSelect; nothing if shown
    ClickResult click(NSButton* box);  // the click, then the store's verdict
    void leave();                      // willUnselect, didUnselect; nothing if not shown
    bool shown() const { return shown_; }

  private:
    Session() = default;
    std::unique_ptr<vantrel::host::LoadedPane> pane_;
    bool shown_ = false;
    bool notificationsOn_ = false;
};

// A way of showing a session to the user until they leave the pane or a
// signal ends the visit. Returns the exit status (before Signals::finish).
class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    virtual int run(Session& session) = 0;
};

std::unique_ptr<FrontEnd> make_terminal_front_end();

inline std::string title_of(NSButton* b) {
    return b->title() ? b->title()->UTF8String() : std::string();
}

}  // namespace vprefs
