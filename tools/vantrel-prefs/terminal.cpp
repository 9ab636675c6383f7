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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fullio.h"
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
    bool raw() const { return raw_; }
    ~Terminal() { restore(); }

    static void put(const std::string& s) {
        // A terminal that went away is no failure here: input will say so.
        (void)vantrel::io::write_all(STDOUT_FILENO, s.data(), s.size());
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

enum Key { kNone, kUp, kDown, kToggle, kQuit, kSuspend, kMore };

// How long the rest of an escape sequence may take to arrive after its ESC
// (tmux's escape-time is the same): over a slow link an arrow key's bytes
// come apart, and a lone ESC, which leaves, must not be guessed too soon.
constexpr int kEscapeMs = 500;

// Takes the next key off the front of `in`. kMore when `in` holds only the
// start of an escape sequence and more may come; with `final` (nothing more
// came in time) that start is taken as it is: a lone ESC leaves, a cut
// sequence is dropped. Sequences are CSI and SS3 (ESC [ or ESC O, then
// parameters and one final byte): up and down arrows move, the rest (other
// keys, modifiers) is read whole and ignored.
Key next_key(std::string* in, bool final) {
    if (in->empty()) return kMore;
    auto c = static_cast<unsigned char>((*in)[0]);
    auto take = [&](std::size_t n, Key k) {
        in->erase(0, n);
        return k;
    };
    switch (c) {
        case 'k':
            return take(1, kUp);
        case 'j':
            return take(1, kDown);
        case ' ':
        case '\r':
        case '\n':
            return take(1, kToggle);
        case 'q':
        case 'Q':
        case 3 /* ^C */:
        case 4 /* ^D */:
            return take(1, kQuit);
        case 0x1a /* ^Z */:
            return take(1, kSuspend);
        case 0x1b:
            break;
        default:
            return take(1, kNone);
    }
    if (in->size() == 1) return final ? take(1, kQuit) : kMore;
    char intro = (*in)[1];
    if (intro == 0x1b) return take(1, kQuit);                 // ESC ESC: the first stood alone
    if (intro != '[' && intro != 'O') return take(2, kNone);  // Alt and a key
    std::size_t i = 2;
    while (i < in->size() && static_cast<unsigned char>((*in)[i]) >= 0x20 &&
           static_cast<unsigned char>((*in)[i]) <= 0x3F)
        ++i;
    if (i == in->size()) return final ? take(i, kNone) : kMore;
    char last = (*in)[i];
    return take(i + 1, last == 'A' ? kUp : last == 'B' ? kDown : kNone);
}

// The keyboard: bytes read as they come, decoded into keys.
class Keyboard {
  public:
    // Reads what is there without waiting. False at end of input (the
    // terminal went away).
    bool fill() {
        char buf[256];
        for (;;) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return true;
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
            if (n <= 0) return false;
            if (in_.empty()) since_ = std::chrono::steady_clock::now();
            in_.append(buf, static_cast<std::size_t>(n));
        }
    }
    // The next key, or kMore to wait for `timeout_ms()`.
    Key next() {
        bool late = !in_.empty() && std::chrono::steady_clock::now() - since_ >=
                                        std::chrono::milliseconds(kEscapeMs);
        Key k = next_key(&in_, late);
        if (k != kMore) since_ = std::chrono::steady_clock::now();
        return k;
    }
    // How long to wait for input: for ever, or until an escape sequence
    // must be complete.
    int timeout_ms() const {
        if (in_.empty()) return -1;
        auto left = kEscapeMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - since_)
                                    .count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    // Whether a key that leaves is waiting (looked at without taking any).
    bool quit_waiting() const {
        std::string copy = in_;
        for (Key k; (k = next_key(&copy, false)) != kMore;)
            if (k == kQuit) return true;
        return false;
    }
    // How many Ctrl-Z were typed since mark(): the view stops for them even
    // while a click waits (they are dropped with the rest afterwards).
    int suspends_since_mark() const {
        std::string copy = in_;
        int n = 0;
        for (;;) {
            std::size_t at = in_.size() - copy.size();
            Key k = next_key(&copy, false);
            if (k == kMore) return n;
            if (k == kSuspend && at >= marked_) ++n;
        }
    }
    // Keys typed from now on can be dropped (drop_since_mark): those typed
    // while a click waited for another program, which the user typed not
    // knowing what the screen would show when they were read.
    void mark() { marked_ = in_.size(); }
    void drop_since_mark() {
        if (in_.size() <= marked_) return;
        in_.resize(marked_);
        // An escape sequence cut by the mark goes too: its ESC alone would
        // leave the view.
        std::string rest = in_;
        while (next_key(&rest, false) != kMore) {
        }
        in_.resize(in_.size() - rest.size());
    }
    bool closed = false;

  private:
    std::string in_;
    std::size_t marked_ = 0;
    std::chrono::steady_clock::time_point since_{};
};

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

const char* const kTitle = "Vantrel: what the contextual menu shows";

// The lines said at the start of a visit: a domain file that cannot be read,
// notifications that are off.
std::vector<std::string> opening_notes(const Visit& session) {
    std::vector<std::string> notes;
    if (!session.notice().empty()) notes.push_back(session.notice());
    if (!session.notificationsOn())
        notes.push_back("notifications are off: " + session.notificationsOff());
    return notes;
}

// What the status line says of a click.
std::vector<std::string> click_status(NSButton* box, const ClickResult& r) {
    std::vector<std::string> lines{title_of(box) + (box->state() ? ": on, " : ": off, ") +
                                   (r.saved ? "saved" : "NOT saved: " + r.message)};
    if (!r.note.empty()) lines.push_back(r.note);
    return lines;
}

class TerminalFrontEnd : public FrontEnd {
  public:
    int run(Visit& session) override {
        Terminal term;
        if (!term.enter()) {
            std::fprintf(stderr, "vantrel-prefs: cannot set up the terminal\n");
            return 2;
        }
        // Stopped (Ctrl-Z, SIGTSTP), the view gives the terminal back first,
        // and takes it again when it is continued, as less and vim do.
        Signals::catch_stops();
        session.show();
        status_ = opening_notes(session);
        const auto& boxes = session.pane().checkBoxes();
        Keyboard keys;
        bool first = true, leave = false;
        auto suspend = [&] {
            term.restore();
            Signals::stop_now();
            if (term.enter()) draw(session);
        };
        // Between the signals and the keyboard; false when the visit must
        // end. Also used while a click waits for another program.
        auto service = [&](int timeout_ms) {
            pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {Signals::fd(), POLLIN, 0}};
            ::poll(p, 2, timeout_ms);  // EINTR: look at both next round
            bool resized = false, stop = false, cont = false;
            if (Signals::take(&resized, &stop, &cont) != 0) return false;
            if (stop) suspend();
            if (cont && !term.raw() && !term.enter()) return false;
            if (cont || resized) draw(session);
            if (!keys.fill()) keys.closed = true;
            return true;
        };
        while (!leave) {
            draw(session);
            if (first) {
                first = false;
                startup_mark("first-frame");
                startup_mark("ready");  // the next thing it does is read the keyboard
            }
            Key k;
            while ((k = keys.next()) == kMore && !keys.closed) {
                if (!service(keys.timeout_ms())) {
                    leave = true;
                    break;
                }
            }
            if (leave || k == kQuit || (k == kMore && keys.closed)) break;
            if (k == kSuspend) {
                suspend();
                continue;
            }
            if (boxes.empty()) continue;
            if (k == kUp) cursor_ = cursor_ == 0 ? boxes.size() - 1 : cursor_ - 1;
            if (k == kDown) cursor_ = (cursor_ + 1) % boxes.size();
            if (k == kToggle) {
                NSButton* box = boxes[cursor_];
                bool said = false;
                int stopped = 0;
                keys.mark();
                ClickResult r = session.click(box, [&](const std::string& what) {
                    if (!said) {
                        said = true;
                        status_ = {title_of(box) + ": waiting: " + what};
                        draw(session);
                    }
                    if (!service(0)) return !(leave = true);
                    if (keys.quit_waiting()) return !(leave = true);
                    for (int n = keys.suspends_since_mark(); stopped < n; ++stopped) suspend();
                    return true;
                });
                // As the window takes no other click while one waits, keys
                // typed meanwhile (a second space, thinking the first was
                // lost) are not acted on once the wait is over.
                if (said) keys.drop_since_mark();
                status_ = click_status(box, r);
            }
        }
        // The terminal first: leaving posts, which may wait for the bus.
        term.restore();
        session.leave();
        return end_of_visit(session);
    }

  private:
    void draw(Visit& s) {
        int rows, cols;
        Terminal::size(&rows, &cols);
        const auto& boxes = s.pane().checkBoxes();
        std::vector<std::string> labels;
        for (NSTextField* t : s.pane().labels())
            if (t->stringValue())
                labels.push_back(std::string("  ") + t->stringValue()->UTF8String());
        const std::string help = "  up/down or j/k: move   space/enter: toggle   q: leave";

        // What fits: the title and the status lines always (the status at
        // most a third of the screen); then at least one box; then the label,
        // the help and blank lines as room allows.
        int status_rows = std::max(1, std::min(static_cast<int>(status_.size()), rows / 3));
        int room = rows - 1 - status_rows;
        int n = static_cast<int>(boxes.size());
        bool show_labels = room >= 1 + static_cast<int>(labels.size());
        if (show_labels) room -= static_cast<int>(labels.size());
        bool show_help = room >= 2;
        if (show_help) room -= 1;
        bool spacious = room >= n + 3;
        if (spacious) room -= 3;
        int visible = std::max(0, std::min(n, room));

        // Scroll so that the selected box is in view.
        std::size_t& top = top_;
        if (visible > 0) {
            if (cursor_ < top) top = cursor_;
            if (cursor_ >= top + static_cast<std::size_t>(visible))
                top = cursor_ + 1 - static_cast<std::size_t>(visible);
            if (top + static_cast<std::size_t>(visible) > boxes.size())
                top = boxes.size() - static_cast<std::size_t>(visible);
        }

        std::vector<std::string> lines;
        lines.push_back("\x1b[1m" + fit(kTitle, cols) + "\x1b[0m");
        if (spacious) lines.emplace_back();
        for (int i = 0; i < visible; ++i) {
            std::size_t at = top + static_cast<std::size_t>(i);
            bool here = at == cursor_;
            std::string more = (i == 0 && top > 0)                           ? "^ "
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
        for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < rows - status_rows; ++i)
            out += "\x1b[" + std::to_string(i + 1) + ";1H" + lines[i];
        for (int i = 0; i < status_rows && i < static_cast<int>(status_.size()); ++i)
            out += "\x1b[" + std::to_string(rows - status_rows + 1 + i) + ";1H\x1b[2m" +
                   fit(status_[static_cast<std::size_t>(i)], cols) + "\x1b[0m";
        Terminal::put(out);
    }

    std::size_t cursor_ = 0, top_ = 0;
    std::vector<std::string> status_;
};

// For a terminal that cannot be driven (TERM=dumb: an editor's shell buffer,
// a script's log): plain lines in and out, no escape sequences. The boxes
// are listed with numbers; a number and Enter toggles that box, an empty
// line lists them again, q or end of input leaves.
class PlainFrontEnd : public FrontEnd {
  public:
    int run(Visit& session) override {
        session.show();
        for (const std::string& n : opening_notes(session)) say(n);
        list(session);
        const auto& boxes = session.pane().checkBoxes();
        std::string line;
        for (;;) {
            std::printf("Toggle which (1-%zu, Enter lists, q leaves)? ", boxes.size());
            std::fflush(stdout);
            int got = read_line(&line);
            if (got <= 0) break;  // end of input, or an ending signal
            std::string t = line;
            while (!t.empty() && (t.back() == ' ' || t.back() == '\r')) t.pop_back();
            while (!t.empty() && t.front() == ' ') t.erase(0, 1);
            if (t == "q" || t == "Q") break;
            if (t.empty()) {
                list(session);
                continue;
            }
            char* end = nullptr;
            long n = std::strtol(t.c_str(), &end, 10);
            if (*end != '\0' || n < 1 || n > static_cast<long>(boxes.size())) {
                say("no box numbered \"" + t + "\"");
                continue;
            }
            NSButton* box = boxes[static_cast<std::size_t>(n - 1)];
            // A wait for another program is said, as the full view says it,
            // rather than a silence of up to ten seconds; an ending signal
            // ends it.
            bool said = false;
            ClickResult r = session.click(box, [&](const std::string& what) {
                if (!said) {
                    said = true;
                    say(title_of(box) + ": waiting: " + what);
                    std::fflush(stdout);
                }
                return Signals::take() == 0;
            });
            for (const std::string& l : click_status(box, r)) say(l);
        }
        std::printf("\n");
        std::fflush(stdout);
        session.leave();
        return end_of_visit(session);
    }

  private:
    static void say(const std::string& s) { std::printf("%s\n", fit(s, 1 << 20).c_str()); }
    static void list(Visit& s) {
        say(kTitle);
        int i = 0;
        for (NSButton* b : s.pane().checkBoxes()) {
            ++i;
            say((i < 10 ? " " : "") + std::to_string(i) + (b->state() ? " [x] " : " [ ] ") +
                title_of(b));
        }
        for (NSTextField* t : s.pane().labels())
            if (t->stringValue()) say(t->stringValue()->UTF8String());
    }
    // One line of input: 1, 0 at end of input, -1 when an ending signal came.
    static int read_line(std::string* line) {
        line->clear();
        for (;;) {
            pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {Signals::fd(), POLLIN, 0}};
            ::poll(p, 2, -1);
            if (Signals::take() != 0) return -1;
            if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char c;
            ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return line->empty() ? 0 : 1;
            if (c == '\n') return 1;
            *line += c;
        }
    }
};

}  // namespace

std::string one_line(const std::string& s) {
    return fit(s, std::numeric_limits<int>::max());
}

std::unique_ptr<FrontEnd> make_terminal_front_end() {
    // A terminal that says it understands no control sequences gets plain
    // lines, as less and vi fall back on: escape sequences would only be
    // printed as they are.
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0)
        return std::make_unique<PlainFrontEnd>();
    return std::make_unique<TerminalFrontEnd>();
}

}  // namespace vprefs
