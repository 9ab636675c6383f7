// The host core of vantrel-prefs, shared by every way of showing a pane: the
// scripted mode, the terminal view, and the window (a module of its own).
//
// The core owns what must not differ between front ends: loading the bundle,
// the life-cycle order (mainViewDidLoad once; willSelect, didSelect when
// shown; willUnselect, didUnselect exactly once per visit), checking after
// each click whether the store saved it (and after leaving whether the
// notification was posted), and ending a visit normally when an ending
// signal arrives. A front end only draws and reads input:
//
//   auto session = vprefs::Session::open(bundle, &error);
//   vprefs::Signals::install();
//   session->show();
//   ... wait on the front end's input and Signals::fd() ...
//   vprefs::ClickResult r = session->click(box);   // r.saved, r.message
//   session->leave();                              // posts once, however we got here
//   int status = vprefs::end_of_visit(*session);   // says what the file lacks
//   return vprefs::Signals::finish(status);        // re-raises an ending signal
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vantrel/PreferencePanes.h"

namespace vprefs {

// Termination, stop and resize signals, turned into readable bytes on a
// pipe (the handler only writes a byte: nothing else is async-signal-safe),
// so that a front end waits for them beside its input.
//
// Ending signals: SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM
// and SIGPIPE. Each ends a visit as leaving it does (the pane is left and
// posts its notification, the terminal is given back), then the process
// ends by that signal. SIGTSTP and SIGCONT are caught only by a view that
// must give the terminal back before it stops (catch_stops).
class Signals {
  public:
    // Catches the ending signals and SIGWINCH, except those ignored when the
    // process started (nohup). Idempotent. Until a visit begins
    // (Session::show), and once it is over, there is nothing to leave, and an
    // ending signal ends the process at once.
    static bool install();
    // Also catches SIGTSTP and SIGCONT (take() reports them).
    static void catch_stops();
    // Readable when a signal has arrived.
    static int fd();
    // Drains the pipe. Returns the first ending signal received so far
    // (0 for none); sets `resized` when a SIGWINCH came, `stop` when a
    // SIGTSTP came and `cont` when a SIGCONT came.
    static int take(bool* resized = nullptr, bool* stop = nullptr, bool* cont = nullptr);
    // Stops the process as SIGTSTP's default action does; returns once it
    // is continued, with SIGTSTP caught again.
    static void stop_now();
    // The exit status of the process: `status`, unless an ending signal
    // arrived, in which case that signal is re-raised with its default
    // action so that the parent sees how the process ended.
    static int finish(int status);
};

// The outcome of one click as the user must hear it.
struct ClickResult {
    bool saved = true;
    std::string message;  // when not saved: one line saying what failed
    std::string note;     // said beside it: an earlier click lost, a file kept aside
};

// A click the file does not have, as the visit ends.
struct Unsaved {
    std::string title;
    bool on = false;  // what the box shows
    std::string why;
};

// Called while a click waits for another program (its lock on the domain
// file, or a file it writes in place), every 20 ms or so, with one line
// saying what for. Returns false to stop waiting (the click is then not
// saved). A front end keeps drawing and reading its signals here.
using Waiting = std::function<bool(const std::string& waiting_for)>;

// What a front end sees of a session: the pane, and what a user does with
// it. Abstract and complete in this header, so that a front end built as a
// module needs nothing from the executable but the object it is handed.
class Visit {
  public:
    virtual ~Visit() = default;
    virtual vantrel::host::LoadedPane& pane() = 0;
    virtual bool notificationsOn() const = 0;
    // Why notifications are off ("no session bus", "the session bus … does
    // not answer"); "" when they are on.
    virtual std::string notificationsOff() const = 0;
    virtual void show() = 0;  // willSelect, didSelect; nothing if shown
    // After show: one line about a domain file the pane could not read, or "".
    virtual std::string notice() const = 0;
    // The click, then the store's verdict. `waiting` (may be empty) is called
    // while the click waits for another program; without it, an ending
    // signal ends the wait.
    virtual ClickResult click(NSButton* box, const Waiting& waiting = {}) = 0;
    virtual void leave() = 0;  // willUnselect, didUnselect; nothing if not shown
    virtual bool shown() const = 0;
    // The clicks of this visit that the file does not have (the last word on
    // each box), oldest first.
    virtual std::vector<Unsaved> unsaved() const = 0;
    // After leave: why "Preferences Changed" did not reach the bus, or "".
    virtual std::string postFailure() const = 0;
};

// What a visit that has ended says on standard error, and its exit status:
// one line per click the file does not have (status 2), one line when the
// notification could not be posted (status 3 unless 2), else 0. `quote`
// opens and closes a title ("\"" in a terminal, curly quotes in a window).
inline int end_of_visit(const Visit& v, const char* open = "\"", const char* close = "\"") {
    int status = 0;
    for (const Unsaved& u : v.unsaved()) {
        std::fprintf(stderr, "vantrel-prefs: %s%s%s is %s here but was not saved: %s\n", open,
                     u.title.c_str(), close, u.on ? "on" : "off", u.why.c_str());
        status = 2;
    }
    std::string post = v.postFailure();
    if (!post.empty()) {
        std::fprintf(stderr,
                     "vantrel-prefs: the pane was left, but \"Preferences Changed\" was %s; "
                     "running programs did not hear of it\n",
                     post.c_str());
        if (status == 0) status = 3;
    }
    return status;
}

// One loaded pane and its visits.
class Session final : public Visit {
  public:
    // Loads the bundle and its main view (mainViewDidLoad runs). Null with
    // one line in `error` on failure.
    static std::unique_ptr<Session> open(const std::string& bundle, std::string* error);
    ~Session() override;  // leaves the pane if it is shown

    vantrel::host::LoadedPane& pane() override { return *pane_; }
    bool notificationsOn() const override { return off_.empty(); }
    std::string notificationsOff() const override { return off_; }
    void show() override;
    std::string notice() const override { return notice_; }
    ClickResult click(NSButton* box, const Waiting& waiting = {}) override;
    void leave() override;
    bool shown() const override { return shown_; }
    std::vector<Unsaved> unsaved() const override;
    std::string postFailure() const override { return postFailure_; }

  private:
    Session() = default;
    void mark_unsaved(const std::string& title, const std::string& why);
    std::unique_ptr<vantrel::host::LoadedPane> pane_;
    bool shown_ = false;
    std::string off_;  // why notifications are off; "" when on
    std::string notice_, postFailure_;
    std::vector<Unsaved> unsaved_;  // by click order; one entry per title
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

// Text from a bundle, a file or the command line as one line of output:
// every control character (C0, DEL, and C1 in UTF-8) becomes "?", so that a
// title cannot forge a line of --list nor send escape sequences to a
// terminal. (The terminal front end's fitting to a width, without one.)
std::string one_line(const std::string& s);

inline std::string title_of(NSButton* b) {
    return b->title() ? b->title()->UTF8String() : std::string();
}

}  // namespace vprefs
