// The terminal front end: raw keyboard input through termios, drawing with
// ANSI escape sequences on the alternate screen (the user's scrollback comes
// back when the pane is left). The screen is redrawn after each key and on
// each resize; a terminal too short for every line scrolls the check boxes
// so that the selected one is always visible. Lines are cut to the width,
// never wrapped. See docs/dependencies.md for why this is not ncurses.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "host.h"

namespace vprefs {
namespace {

class Terminal {
  public:
    bool enter() {
        if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
        termios raw = saved_;
        raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        raw.c_cflag |= CS8;
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) return false;
        raw_ = true;
        // Alternate screen, no line wrap, cursor hidden.
        put("\x1b[?1049h\x1b[?7l\x1b[?25l");
        return true;
    }
    // Gives the terminal back as it was; safe to call twice.
    void restore() {
        if (!raw_) return;
        raw_ = false;
        put("\x1b[0m\x1b[?25h\x1b[?7h\x1b[?1049l");
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    ~Terminal() { restore(); }

    static void put(const std::string& s) {
        std::size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::write(STDOUT_FILENO, s.data() + off, s.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // the terminal went away; input will say so
            off += static_cast<std::size_t>(n);
        }
    }
    static void size(int* rows, int* cols) {
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
            *rows = ws.ws_row;
            *cols = ws.ws_col;
        } else {
            *rows = 24;
            *cols = 80;
        }
    }

  private:
    termios saved_{};
    bool raw_ = false;
};

enum Key { kNone, kUp, kDown, kToggle, kQuit, kClosed };

// Waits for a key, or for a signal (returns kNone with `*signalled`).
Key read_key(bool* signalled) {
    *signalled = false;
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {Signals::fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) return kNone;  // EINTR: look at the pipe next round
    if (p[1].revents & POLLIN) {
        *signalled = true;
        return kNone;
    }
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return kNone;
    unsigned char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return kNone;
    if (n <= 0) return kClosed;  // the terminal went away: leave the pane
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
            // An arrow key is ESC [ A/B (or ESC O A/B); a lone ESC leaves.
            unsigned char seq[2] = {0, 0};
            pollfd q{STDIN_FILENO, POLLIN, 0};
            if (::poll(&q, 1, 50) <= 0 || ::read(STDIN_FILENO, &seq[0], 1) != 1) return kQuit;
            if (::poll(&q, 1, 50) <= 0 || ::read(STDIN_FILENO, &seq[1], 1) != 1) return kNone;
            if (seq[0] == '[' || seq[0] == 'O') {
                if (seq[1] == 'A') return kUp;
                if (seq[1] == 'B') return kDown;
            }
            return kNone;
        }
        default:
            return kNone;
    }
}

// At most `cols` characters of `s` (UTF-8 aware: never cuts a sequence),
// with control characters (C0, DEL, C1) shown as "?": a title or a path
// from a bundle or a file must not send escape sequences to the terminal.
std::string fit(const std::string& s, int cols) {
    std::string out;
    int seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) == 0x80) {
            out += s[i];
            continue;
        }
        if (seen == cols) break;
        ++seen;
        bool c1 = c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(s[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            out += '?';
            if (c1) ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

class TerminalFrontEnd : public FrontEnd {
  public:
    int run(Visit& session) override {
        Terminal term;
        if (!term.enter()) {
            std::fprintf(stderr, "vantrel-prefs: cannot set up the terminal\n");
            return 2;
        }
        session.show();
        std::string status =
            session.notificationsOn() ? "" : "notifications are off: no D-Bus session bus";
        const auto& boxes = session.pane().checkBoxes();
        std::size_t cursor = 0, top = 0;
        bool first = true;
        // What the status line said of the last click, if the file lacks it:
        // a change lost must not end the visit as if it had been kept.
        std::string unsaved;
        for (;;) {
            draw(session, cursor, &top, status);
            if (first) {
                first = false;
                startup_mark("first-frame");
                startup_mark("ready");  // the next thing it does is read the keyboard
            }
            bool signalled = false;
            Key k = read_key(&signalled);
            if (signalled) {
                bool resized = false;
                if (Signals::take(&resized) != 0) break;  // leave, as on q
                continue;                                 // a resize: draw again
            }
            if (k == kQuit || k == kClosed) break;
            if (boxes.empty()) continue;
            if (k == kUp) cursor = cursor == 0 ? boxes.size() - 1 : cursor - 1;
            if (k == kDown) cursor = (cursor + 1) % boxes.size();
            if (k == kToggle) {
                NSButton* box = boxes[cursor];
                ClickResult r = session.click(box);
                status = title_of(box) + (box->state() ? ": on, " : ": off, ") +
                         (r.saved ? "saved" : "NOT saved: " + r.message);
                // A save writes every change still pending, earlier ones too.
                unsaved = r.saved
                              ? ""
                              : "\"" + title_of(box) + "\" is " + (box->state() ? "on" : "off") +
                                    " here but was not saved: " + r.message;
            }
        }
        session.leave();
        term.restore();
        if (unsaved.empty()) return 0;
        std::fprintf(stderr, "vantrel-prefs: %s\n", fit(unsaved, 1 << 20).c_str());
        return 2;
    }

  private:
    static void draw(Visit& s, std::size_t cursor, std::size_t* top, const std::string& status) {
        int rows, cols;
        Terminal::size(&rows, &cols);
        const auto& boxes = s.pane().checkBoxes();
        std::vector<std::string> labels;
        for (NSTextField* t : s.pane().labels())
            if (t->stringValue())
                labels.push_back(std::string("  ") + t->stringValue()->UTF8String());
        const std::string title = "Vantrel: what the contextual menu shows";
        const std::string help = "  up/down or j/k: move   space/enter: toggle   q: leave";

        // What fits: the title and the status line always; then at least
        // one box; then the label, the help and blank lines as room allows.
        int room = rows - 2;
        int n = static_cast<int>(boxes.size());
        bool show_labels = room >= 1 + static_cast<int>(labels.size());
        if (show_labels) room -= static_cast<int>(labels.size());
        bool show_help = room >= 2;
        if (show_help) room -= 1;
        bool spacious = room >= n + 3;
        if (spacious) room -= 3;
        int visible = std::max(0, std::min(n, room));

        // Scroll so that the selected box is in view.
        if (visible > 0) {
            if (cursor < *top) *top = cursor;
            if (cursor >= *top + static_cast<std::size_t>(visible))
                *top = cursor + 1 - static_cast<std::size_t>(visible);
            if (*top + static_cast<std::size_t>(visible) > boxes.size())
                *top = boxes.size() - static_cast<std::size_t>(visible);
        }

        std::vector<std::string> lines;
        lines.push_back("\x1b[1m" + fit(title, cols) + "\x1b[0m");
        if (spacious) lines.emplace_back();
        for (int i = 0; i < visible; ++i) {
            std::size_t at = *top + static_cast<std::size_t>(i);
            bool here = at == cursor;
            std::string more = (i == 0 && *top > 0)                          ? "^ "
                               : (i == visible - 1 && at + 1 < boxes.size()) ? "v "
                                                                             : "  ";
            std::string text =
                fit((here ? "> " : more) + std::string(boxes[at]->state() ? "[x] " : "[ ] ") +
                        title_of(boxes[at]),
                    cols);
            lines.push_back(here ? "\x1b[7m" + text + "\x1b[0m" : text);
        }
        if (spacious) lines.emplace_back();
        if (show_labels)
            for (auto& l : labels) lines.push_back(fit(l, cols));
        if (spacious) lines.emplace_back();
        if (show_help) lines.push_back(fit(help, cols));

        std::string out = "\x1b[H\x1b[2J";
        for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < rows - 1; ++i)
            out += "\x1b[" + std::to_string(i + 1) + ";1H" + lines[i];
        out += "\x1b[" + std::to_string(rows) + ";1H\x1b[2m" + fit(status, cols) + "\x1b[0m";
        Terminal::put(out);
    }
};

}  // namespace

std::unique_ptr<FrontEnd> make_terminal_front_end() {
    return std::make_unique<TerminalFrontEnd>();
}

}  // namespace vprefs
