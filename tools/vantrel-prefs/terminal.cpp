// The terminal interface: raw keyboard input through termios, drawing with
// ANSI escape sequences. The whole screen is redrawn after each key; twelve
// lines cost nothing.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "host.h"

namespace vprefs {
namespace {

termios g_saved;
bool g_raw = false;

void restore() {
    if (g_raw) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        std::fputs("\x1b[?25h\x1b[0m", stdout);  // cursor back, attributes off
        std::fflush(stdout);
        g_raw = false;
    }
}

void on_signal(int sig) {
    restore();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

bool enter_raw() {
    if (::tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
    termios raw = g_saved;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_cflag |= CS8;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) return false;
    g_raw = true;
    ::signal(SIGTERM, on_signal);
    ::signal(SIGHUP, on_signal);
    return true;
}

enum Key { kNone, kUp, kDown, kToggle, kQuit };

Key read_key() {
    unsigned char c;
    ssize_t n;
    while ((n = ::read(STDIN_FILENO, &c, 1)) < 0 && errno == EINTR) {
    }
    if (n <= 0) return kQuit;  // the terminal went away: leave the pane
    switch (c) {
        case 'k':
            return kUp;
        case 'j':
            return kDown;
        case ' ':
        case '\r':
        case '\n':
            return kToggle;
        case 'q':
        case 'Q':
        case 3 /* ^C */:
        case 4 /* ^D */:
            return kQuit;
        case 0x1b: {
            // An arrow key is ESC [ A/B; a lone ESC leaves.
            termios t;
            ::tcgetattr(STDIN_FILENO, &t);
            termios quick = t;
            quick.c_cc[VMIN] = 0;
            quick.c_cc[VTIME] = 1;  // 0.1 s for the rest of a sequence
            ::tcsetattr(STDIN_FILENO, TCSANOW, &quick);
            unsigned char seq[2] = {0, 0};
            ssize_t a = ::read(STDIN_FILENO, &seq[0], 1);
            ssize_t b = a == 1 ? ::read(STDIN_FILENO, &seq[1], 1) : 0;
            ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
            if (a != 1) return kQuit;
            if (b == 1 && (seq[0] == '[' || seq[0] == 'O')) {
                if (seq[1] == 'A') return kUp;
                if (seq[1] == 'B') return kDown;
            }
            return kNone;
        }
        default:
            return kNone;
    }
}

void draw(vantrel::host::LoadedPane& p, std::size_t cursor, const std::string& status) {
    std::string s = "\x1b[?25l\x1b[H\x1b[2J";
    s += "\x1b[1mVantrel\x1b[0m: what the contextual menu shows\r\n\r\n";
    const auto& boxes = p.checkBoxes();
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        bool here = i == cursor;
        s += here ? "> \x1b[7m" : "  ";
        s += boxes[i]->state() ? "[x] " : "[ ] ";
        s += title_of(boxes[i]);
        s += here ? "\x1b[0m\r\n" : "\r\n";
    }
    s += "\r\n";
    for (NSTextField* t : p.labels())
        if (t->stringValue()) s += std::string("  ") + t->stringValue()->UTF8String() + "\r\n";
    s += "\r\n  up/down or j/k: move   space/enter: toggle   q: leave\r\n";
    s += "\x1b[2m" + status + "\x1b[0m\r\n";
    std::fputs(s.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int run_terminal(vantrel::host::LoadedPane& p, bool notificationsOn) {
    if (!enter_raw()) {
        std::fprintf(stderr, "vantrel-prefs: cannot set up the terminal\n");
        return 2;
    }
    p.select();
    std::size_t cursor = 0;
    std::string status = notificationsOn ? "" : "notifications are off: no D-Bus session bus";
    const auto& boxes = p.checkBoxes();
    for (;;) {
        draw(p, cursor, status);
        Key k = read_key();
        if (k == kQuit) break;
        if (boxes.empty()) continue;
        if (k == kUp) cursor = cursor == 0 ? boxes.size() - 1 : cursor - 1;
        if (k == kDown) cursor = (cursor + 1) % boxes.size();
        if (k == kToggle) {
            p.click(boxes[cursor]);
            status =
                title_of(boxes[cursor]) + (boxes[cursor]->state() ? ": on" : ": off") + ", saved";
        }
    }
    p.unselect();
    std::fputs("\x1b[H\x1b[2J", stdout);
    restore();
    return 0;
}

}  // namespace vprefs
