// The host core: a pane's visits, the store's verdict on each click, and the
// signals that end a visit.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "host.h"
#include "vantrel/PreferencesReport.h"

namespace vprefs {
namespace {

int g_pipe[2] = {-1, -1};
// The first ending signal seen by take(); 0 for none.
int g_ending = 0;

// Set once a visit has begun. Before that there is no pane to leave, and
// an ending signal ends the process at once: whatever the host is waiting
// for then (a display that does not answer, a bundle being read) cannot
// keep it from going.
volatile sig_atomic_t g_visiting = 0;

void on_signal(int sig) {
    if (!g_visiting && sig != SIGWINCH) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);  // blocked until the handler returns, then ends the process
        return;
    }
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &b, 1);  // a full pipe already says enough
    errno = saved;
}

}  // namespace

bool Signals::install() {
    if (g_pipe[0] >= 0) return true;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    ::sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGWINCH}) {
        // A signal ignored when the host started (nohup, a background job of
        // a script) stays ignored, as whoever started it asked.
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        if (::sigaction(sig, &sa, nullptr) != 0) return false;
    }
    return true;
}

int Signals::fd() {
    return g_pipe[0];
}

int Signals::take(bool* resized) {
    if (resized) *resized = false;
    if (g_pipe[0] < 0) return g_ending;
    unsigned char buf[64];
    ssize_t n;
    while ((n = ::read(g_pipe[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == SIGWINCH) {
                if (resized) *resized = true;
            } else if (g_ending == 0) {
                g_ending = buf[i];
            }
        }
    }
    return g_ending;
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
    s->notificationsOn_ =
        CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter());
    return s;
}

Session::~Session() {
    leave();
}

void Session::show() {
    if (shown_) return;
    shown_ = true;
    g_visiting = 1;
    pane_->select();
}

ClickResult Session::click(NSButton* box) {
    // The pane synchronises at each click and, as panes do, ignores the
    // result; the store keeps it for us.
    auto before = vantrel::prefs::last_synchronize().serial;
    pane_->click(box);
    auto after = vantrel::prefs::last_synchronize();
    // No synchronisation at all (the box sends no action, or one that stores
    // nothing): the file does not have the click, whatever the box shows.
    if (after.serial == before) return {false, "the pane stored nothing for this box"};
    if (after.ok) return {};
    return {false, after.message};
}

void Session::leave() {
    if (!shown_) return;
    shown_ = false;
    pane_->unselect();
}

}  // namespace vprefs
