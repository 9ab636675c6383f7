// vantrel-prefs: loads a preference pane bundle and shows it in a window or
// in the terminal, or, for scripts, lists its options, clicks one by title,
// or selects and leaves it. The life cycle and the checks around it live in
// the host core (host.h); this file only reads the command line and chooses
// a front end.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host.h"
#include "vantrel/PreferencesReport.h"

namespace {

const char* kUsage =
    "usage: vantrel-prefs [--bundle PATH] [--gui | --terminal | --list | --click TITLE | --leave]\n"
    "\n"
    "Shows a preference pane (by default Vantrel.prefPane) in a window when a\n"
    "display is available (WAYLAND_DISPLAY or DISPLAY), otherwise in the terminal.\n"
    "Without --bundle: ~/.local/share/vantrel/PreferencePanes/Vantrel.prefPane,\n"
    "else the one installed with the host (<libdir>/vantrel/PreferencePanes).\n"
    "Window: Tab moves, Space toggles, Escape, Ctrl+W or Ctrl+Q closes it.\n"
    "Terminal: up/down or j/k move, space or enter toggles the box, q leaves the pane.\n"
    "\n"
    "  --bundle PATH   load this .prefPane bundle instead\n"
    "  --gui           show the pane in a window (fails when no display can be opened)\n"
    "  --terminal      show the pane in the terminal, even when a display is available\n"
    "  --list          print each check box as \"[x] Title\" (on) or \"[ ] Title\" (off),\n"
    "                  then the version label; writes and posts nothing\n"
    "  --click TITLE   select the pane, click the box with this title, leave the pane;\n"
    "                  prints the box's new state, or fails (status 2) when it was not saved\n"
    "  --leave         select the pane and leave it (posts \"Preferences Changed\")\n"
    "  --help          this text\n"
    "  --version       the version\n";

using vprefs::one_line;

// One line on standard error, whatever the message holds (a path may hold a
// line feed).
int fail(const std::string& msg, int code = 2) {
    std::fprintf(stderr, "vantrel-prefs: %s\n", one_line(msg).c_str());
    return code;
}

// A display is worth trying: the window module then checks it can be opened.
bool have_display() {
    for (const char* v : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* d = std::getenv(v);
        if (d != nullptr && *d != '\0') return true;
    }
    return false;
}

void print_boxes(vantrel::host::LoadedPane& p) {
    for (NSButton* b : p.checkBoxes())
        std::printf("[%c] %s\n", b->state() ? 'x' : ' ', one_line(vprefs::title_of(b)).c_str());
}

void say_notifications_off(const vprefs::Session& s) {
    if (!s.notificationsOn())
        std::fprintf(stderr, "vantrel-prefs: notifications are off (%s)\n",
                     one_line(s.notificationsOff()).c_str());
}

void say(const std::string& line) {
    if (!line.empty()) std::fprintf(stderr, "vantrel-prefs: %s\n", one_line(line).c_str());
}

// What was printed must have reached standard output (a full disk, a closed
// pipe): a listing cut short is not a listing. As coreutils do, a write error
// is said and fails the command.
int close_stdout(int status) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    int e = errno;
    std::fprintf(stderr, "vantrel-prefs: write error: %s\n", std::strerror(e ? e : EIO));
    return status == 0 ? 2 : status;
}

// The line that says the notification was not posted, or "".
std::string posted(const vprefs::Session& s) {
    std::string f = s.postFailure();
    return f.empty() ? f
                     : "the pane was left, but \"Preferences Changed\" was " + f +
                           "; running programs did not hear of it";
}

int run(int argc, char** argv) {
    std::string bundle;
    bool bundle_given = false;
    enum class Mode { Show, List, Click, Leave } mode = Mode::Show;
    enum class View { Any, Window, Terminal } view = View::Any;
    std::string title;
    int modes = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return close_stdout(0);
        } else if (a == "--version") {
            std::printf("vantrel-prefs %s\n", VANTREL_PREFS_VERSION);
            return close_stdout(0);
        } else if (a == "--bundle") {
            if (i + 1 >= argc) return fail("--bundle needs a path", 1);
            bundle = argv[++i];
            bundle_given = true;
        } else if (a == "--gui") {
            view = View::Window, ++modes;
        } else if (a == "--terminal") {
            view = View::Terminal, ++modes;
        } else if (a == "--list") {
            mode = Mode::List, ++modes;
        } else if (a == "--leave") {
            mode = Mode::Leave, ++modes;
        } else if (a == "--click") {
            if (i + 1 >= argc) return fail("--click needs a check box title", 1);
            title = argv[++i];
            mode = Mode::Click, ++modes;
        } else {
            std::fputs(kUsage, stderr);
            return fail("unknown argument \"" + a + "\"", 1);
        }
    }
    if (modes > 1) return fail("choose one of --gui, --terminal, --list, --click and --leave", 1);
    const bool tty = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    if (mode == Mode::Show && view == View::Terminal && !tty)
        return fail("not a terminal; use --gui, --list, --click TITLE or --leave (see --help)", 1);
    if (mode == Mode::Show && view == View::Any && !tty && !have_display())
        return fail(
            "no display and not a terminal; use --list, --click TITLE or --leave (see "
            "--help)",
            1);

    // From here a termination signal ends the visit normally: the pane is
    // left (and announces it) before the process goes.
    if (!vprefs::Signals::install())
        return fail(std::string("cannot catch signals: ") + std::strerror(errno));
    if (!bundle_given) bundle = vprefs::default_bundle();
    std::string error;
    auto session = vprefs::Session::open(bundle, &error);
    if (!session) return fail(error);

    switch (mode) {
        case Mode::List: {
            // Shown and left without posting: --list only looks.
            auto before = vantrel::prefs::last_unreadable_read().serial;
            session->pane().select();
            auto unreadable = vantrel::prefs::last_unreadable_read();
            if (unreadable.serial != before)
                say(unreadable.path + " cannot be read (" + unreadable.problem +
                    "): the boxes show their defaults");
            print_boxes(session->pane());
            for (NSTextField* t : session->pane().labels())
                if (t->stringValue())
                    std::printf("%s\n", one_line(t->stringValue()->UTF8String()).c_str());
            return close_stdout(0);
        }
        case Mode::Click: {
            // Checked before the pane is shown: a wrong title must change nothing.
            NSButton* box = session->pane().checkBoxTitled(title);
            if (box == nullptr) {
                std::string titles;
                for (NSButton* b : session->pane().checkBoxes())
                    titles += (titles.empty() ? "" : ", ") + vprefs::title_of(b);
                return fail("no check box titled \"" + title + "\" (the titles are: " + titles +
                            ")");
            }
            session->show();
            vprefs::ClickResult r = session->click(box);
            session->leave();
            say_notifications_off(*session);
            say(r.note);
            if (!r.saved) {
                fail("\"" + title + "\" was not saved: " + r.message);
                for (const vprefs::Unsaved& u : session->unsaved())
                    if (u.title != title) say("\"" + u.title + "\" was not saved: " + u.why);
                say(posted(*session));
                return 2;
            }
            std::printf("[%c] %s\n", box->state() ? 'x' : ' ', one_line(title).c_str());
            say(posted(*session));
            return close_stdout(session->postFailure().empty() ? 0 : 3);
        }
        case Mode::Leave:
            session->show();
            say(session->notice());
            session->leave();
            say_notifications_off(*session);
            say(posted(*session));
            return session->postFailure().empty() ? 0 : 3;
        case Mode::Show: {
            std::unique_ptr<vprefs::FrontEnd> front;
            std::string why;
            if (view == View::Window || (view == View::Any && have_display()))
                front = vprefs::make_window_front_end(&why);
            if (!front && view == View::Window) return fail("cannot show a window: " + why);
            if (!front && !tty)
                return fail("cannot show a window (" + why + ") and not a terminal");
            if (!front) front = vprefs::make_terminal_front_end();
            return front->run(*session);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int status = run(argc, argv);
    std::fflush(stdout);
    return vprefs::Signals::finish(status);
}
