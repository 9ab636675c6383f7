// vantrel-prefs: loads a preference pane bundle and shows it in the terminal,
// or, for scripts, lists its options, clicks one by title, or selects and
// leaves it.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host.h"

namespace {

const char* kUsage =
    "usage: vantrel-prefs [--bundle PATH] [--list | --click TITLE | --leave]\n"
    "\n"
    "Shows a preference pane (by default Vantrel.prefPane) in the terminal:\n"
    "up/down or j/k move, space or enter toggles the box, q leaves the pane.\n"
    "\n"
    "  --bundle PATH   load this .prefPane bundle instead\n"
    "  --list          print each check box as \"[x] Title\" (on) or \"[ ] Title\" (off),\n"
    "                  then the version label; writes and posts nothing\n"
    "  --click TITLE   select the pane, click the box with this title, leave the pane\n"
    "  --leave         select the pane and leave it (posts \"Preferences Changed\")\n"
    "  --help          this text\n";

int fail(const std::string& msg, int code = 2) {
    std::fprintf(stderr, "vantrel-prefs: %s\n", msg.c_str());
    return code;
}

void print_boxes(vantrel::host::LoadedPane& p) {
    for (NSButton* b : p.checkBoxes())
        std::printf("[%c] %s\n", b->state() ? 'x' : ' ', vprefs::title_of(b).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string bundle = VANTREL_DEFAULT_BUNDLE;
    enum class Mode { Terminal, List, Click, Leave } mode = Mode::Terminal;
    std::string title;
    int modes = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* opt) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)opt;
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--bundle") {
            const char* v = value("--bundle");
            if (!v) return fail("--bundle needs a path", 1);
            bundle = v;
        } else if (a == "--list") {
            mode = Mode::List, ++modes;
        } else if (a == "--leave") {
            mode = Mode::Leave, ++modes;
        } else if (a == "--click") {
            const char* v = value("--click");
            if (!v) return fail("--click needs a check box title", 1);
            title = v;
            mode = Mode::Click, ++modes;
        } else {
            std::fputs(kUsage, stderr);
            return fail("unknown argument \"" + a + "\"", 1);
        }
    }
    if (modes > 1) return fail("choose one of --list, --click and --leave", 1);

    std::string error;
    auto pane = vantrel::host::LoadedPane::load(bundle, &error);
    if (!pane) return fail(error);
    if (!pane->loadMainView(&error)) return fail(error);
    bool notificationsOn =
        CFNotificationCenterIsAvailable(CFNotificationCenterGetDistributedCenter());

    switch (mode) {
        case Mode::List: {
            pane->select();
            print_boxes(*pane);
            for (NSTextField* t : pane->labels())
                if (t->stringValue()) std::printf("%s\n", t->stringValue()->UTF8String());
            return 0;
        }
        case Mode::Click: {
            // Checked before the pane is shown: a wrong title must change nothing.
            NSButton* box = pane->checkBoxTitled(title);
            if (box == nullptr) {
                std::string titles;
                for (NSButton* b : pane->checkBoxes())
                    titles += (titles.empty() ? "" : ", ") + vprefs::title_of(b);
                return fail("no check box titled \"" + title + "\" (the titles are: " + titles +
                            ")");
            }
            pane->select();
            pane->click(box);
            pane->unselect();
            std::printf("[%c] %s\n", box->state() ? 'x' : ' ', title.c_str());
            if (!notificationsOn)
                std::fprintf(stderr, "vantrel-prefs: notifications are off (no session bus)\n");
            return 0;
        }
        case Mode::Leave:
            pane->select();
            pane->unselect();
            if (!notificationsOn)
                std::fprintf(stderr, "vantrel-prefs: notifications are off (no session bus)\n");
            return 0;
        case Mode::Terminal:
            if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO))
                return fail("not a terminal; use --list, --click TITLE or --leave (see --help)", 1);
            return vprefs::run_terminal(*pane, notificationsOn);
    }
    return 0;
}
