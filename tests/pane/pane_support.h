// Loads Vantrel.prefPane from the build tree the way the host does, inside a
// private XDG_CONFIG_HOME, and runs helper processes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "prefs_support.h"
#include "vantrel/PreferencePanes.h"

// The build's pane bundle and the observer program, beside the test program.
#define VANTREL_PANE_BUNDLE (vtest::beside_test_program(VANTREL_PANE_BUNDLE_FROM_TEST))
#define VANTREL_TEST_OBSERVER (vtest::beside_test_program(VANTREL_TEST_OBSERVER_FROM_TEST))

namespace vtest {

inline const char* kTitles[12] = {"Menu Header",  "Copyright", "Display Name",  "URL",
                                  "Frame Count",  "Duration",  "Creation Time", "Modification Time",
                                  "Natural Size", "Data Size", "Codec Name",    "Sound Name"};

struct PaneFixture {
    PrefsHome home;
    std::unique_ptr<vantrel::host::LoadedPane> pane;

    explicit PaneFixture(const std::string& bundle = VANTREL_PANE_BUNDLE) {
        std::string err;
        pane = vantrel::host::LoadedPane::load(bundle, &err);
        if (!pane) throw std::runtime_error(err);
        if (!pane->loadMainView(&err)) throw std::runtime_error(err);
    }
    NSButton* box(const std::string& title) const { return pane->checkBoxTitled(title); }
    std::vector<int> states() const {
        std::vector<int> out;
        for (NSButton* b : pane->checkBoxes()) out.push_back(static_cast<int>(b->state()));
        return out;
    }
    std::string label() const {
        NSTextField* t = pane->labels().at(0);
        return t->stringValue() ? t->stringValue()->UTF8String() : "";
    }
    // The boolean stored under `key` in the domain file, read independently
    // of the store: -1 absent, -2 not a boolean, else 0 or 1.
    int stored(const std::string& key) const {
        plist_t p = parse_file(home.file());
        if (p == nullptr) return -1;
        plist_t v = plist_dict_get_item(p, key.c_str());
        int out = -1;
        if (v && plist_get_node_type(v) == PLIST_BOOLEAN) {
            uint8_t b = 0;
            plist_get_bool_val(v, &b);
            out = b;
        } else if (v) {
            out = -2;
        }
        plist_free(p);
        return out;
    }
};

// A child process with its standard output on a pipe.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string buffered;

    Child() = default;
    Child(Child&& o) noexcept : pid(o.pid), out(o.out), buffered(std::move(o.buffered)) {
        o.pid = -1;
        o.out = -1;
    }
    Child& operator=(Child&&) = delete;

    static Child spawn(const std::vector<std::string>& argv) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        Child c;
        c.pid = ::fork();
        if (c.pid == 0) {
            ::dup2(fds[1], 1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            _exit(127);
        }
        ::close(fds[1]);
        c.out = fds[0];
        return c;
    }
    // The next line, or "" at end of output or after `timeout_s`.
    std::string line(double timeout_s = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        for (;;) {
            auto nl = buffered.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return l;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char buf[512];
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) return "";
            buffered.append(buf, static_cast<std::size_t>(n));
        }
    }
    int wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(out);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait();
        }
    }
};

}  // namespace vtest
