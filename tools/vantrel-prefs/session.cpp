// The host core: a pane's visits, the store's verdict on each click, and the
// signals that end a visit.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "host.h"
#include "vantrel/NotificationReport.h"
#include "vantrel/PreferencesReport.h"

namespace vprefs {
namespace {

int g_pipe[2] = {-1, -1};
// The first ending signal seen by take(); 0 for none.
int g_ending = 0;

// Set while a visit goes on. Before it there is no pane to leave, and an
// ending signal ends the process at once: whatever the host is waiting for
// then (a display that does not answer, a bundle being read) cannot keep it
// from going. After it (the scripted modes print their result then), there
// is nothing left to do but end, as a command whose output pipe is closed.
volatile sig_atomic_t g_visiting = 0;

constexpr int kEnding[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};

bool ending(int sig) {
    for (int e : kEnding)
        if (e == sig) return true;
    return false;
}

void on_signal(int sig) {
    if (!g_visiting && ending(sig)) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);  // blocked until the handler returns, then ends the process
        return;
    }
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &b, 1);  // a full pipe already says enough
    errno = saved;
}

bool catch_signal(int sig) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    ::sigemptyset(&sa.sa_mask);
    // A signal ignored when the host started (nohup, a background job of a
    // script) stays ignored, as whoever started it asked.
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return true;
    return ::sigaction(sig, &sa, nullptr) == 0;
}

}  // namespace

bool Signals::install() {
    if (g_pipe[0] >= 0) return true;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    for (int sig : kEnding)
        if (!catch_signal(sig)) return false;
    return catch_signal(SIGWINCH);
}

void Signals::catch_stops() {
    catch_signal(SIGTSTP);
    catch_signal(SIGCONT);
}

int Signals::fd() {
    return g_pipe[0];
}

int Signals::take(bool* resized, bool* stop, bool* cont) {
    if (resized) *resized = false;
    if (stop) *stop = false;
    if (cont) *cont = false;
    if (g_pipe[0] < 0) return g_ending;
    unsigned char buf[64];
    ssize_t n;
    while ((n = ::read(g_pipe[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == SIGWINCH) {
                if (resized) *resized = true;
            } else if (buf[i] == SIGTSTP) {
                if (stop) *stop = true;
            } else if (buf[i] == SIGCONT) {
                if (cont) *cont = true;
            } else if (g_ending == 0) {
                g_ending = buf[i];
            }
        }
    }
    return g_ending;
}

void Signals::stop_now() {
    struct sigaction dfl {
    }, mine{};
    dfl.sa_handler = SIG_DFL;
    ::sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGTSTP, &dfl, &mine);
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGTSTP);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(SIGTSTP);  // stops here until SIGCONT
    ::sigaction(SIGTSTP, &mine, nullptr);
}

int Signals::finish(int status) {
    int sig = take();
    if (sig == 0) return status;
    ::signal(sig, SIG_DFL);
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    return 128 + sig;  // not reached unless the signal is ignored by the parent's choice
}

std::unique_ptr<Session> Session::open(const std::string& bundle, std::string* error) {
    auto pane = vantrel::host::LoadedPane::load(bundle, error);
    if (!pane) return nullptr;
    if (!pane->loadMainView(error)) return nullptr;
    std::unique_ptr<Session> s(new Session);
    s->pane_ = std::move(pane);
    // Connects now, and finishes the handshake: a connection left half open
    // for the length of a visit is dropped by the bus.
    s->off_ = vantrel::notify::unavailable_reason();
    return s;
}

Session::~Session() {
    leave();
}

void Session::show() {
    if (shown_) return;
    shown_ = true;
    g_visiting = 1;
    auto before = vantrel::prefs::last_unreadable_read().serial;
    pane_->select();
    auto r = vantrel::prefs::last_unreadable_read();
    if (r.serial != before)
        notice_ = r.path + " cannot be read (" + r.problem +
                  "): the boxes show their defaults, and the first click keeps the file aside "
                  "as " +
                  r.path + ".corrupt";
}

void Session::mark_unsaved(const std::string& title, const std::string& why) {
    NSButton* box = pane_->checkBoxTitled(title);
    std::erase_if(unsaved_, [&](const Unsaved& u) { return u.title == title; });
    unsaved_.push_back({title, box != nullptr && box->state() != 0, why});
}

ClickResult Session::click(NSButton* box, const Waiting& waiting) {
    const std::string title = title_of(box);
    // The pane synchronises at each click and, as panes do, ignores the
    // result; the store keeps it for us. While the store waits for another
    // program the front end keeps going (or, without one, an ending signal
    // ends the wait): a host must never be unable to end.
    vantrel::prefs::set_wait_hook(
        waiting ? waiting : [](const std::string&) { return Signals::take() == 0; });
    auto before = vantrel::prefs::last_synchronize().serial;
    pane_->click(box);
    vantrel::prefs::set_wait_hook({});
    auto after = vantrel::prefs::last_synchronize();
    ClickResult result;
    // No synchronisation at all (the box sends no action, or one that stores
    // nothing): the file does not have the click, whatever the box shows.
    if (after.serial == before) {
        mark_unsaved(title, "the pane stored nothing for this box");
    } else {
        // A synchronisation that worked wrote every change still recorded,
        // those of earlier clicks too.
        if (after.written)
            unsaved_.clear();
        else
            mark_unsaved(title, after.message);
        for (const auto& [key, why] : after.lost) {
            mark_unsaved(key, why);
            if (key != title) {
                result.note = "\"" + key;
                result.note += "\" was not saved: ";
                result.note += why;
            }
        }
        if (!after.set_aside.empty())
            result.note = "the unreadable file was kept as " + after.set_aside;
    }
    for (const Unsaved& u : unsaved_)
        if (u.title == title) {
            result.saved = false;
            result.message = u.why;
        }
    return result;
}

std::vector<Unsaved> Session::unsaved() const {
    return unsaved_;
}

void Session::leave() {
    if (!shown_) return;
    shown_ = false;
    auto before = vantrel::notify::last_post().serial;
    pane_->unselect();
    auto r = vantrel::notify::last_post();
    // With notifications off from the start the user was told already.
    if (r.serial != before && !r.ok && off_.empty()) postFailure_ = r.message;
    g_visiting = 0;
}

}  // namespace vprefs
