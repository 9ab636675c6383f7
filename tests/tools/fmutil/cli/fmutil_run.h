// Runs the built fmutil as a child process and collects what it printed,
// and a small JSON checker, so that tests see exactly what a script would.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "BuildPaths.h"

extern char** environ;

// The built fmutil, its man page and the list of its objects, beside the
// test program; fmutil's sources.
#define FMUTIL_PATH (vtest::beside_test_program(FMUTIL_FROM_TEST))
#define FMUTIL_MAN_PAGE (vtest::beside_test_program(FMUTIL_MAN_PAGE_FROM_TEST))
#define FMUTIL_OBJECTS_LIST (vtest::beside_test_program(FMUTIL_OBJECTS_LIST_FROM_TEST))
#define FMUTIL_SOURCE_TREE (vtest::in_source_tree("tools/fmutil"))

namespace fmtest {

struct Result {
    int status = -1;  // exit status, or 128 + signal; -1 when fmutil could not be run
    std::string out;
    std::string err;  // what fmutil wrote to standard error, or why it could not be run
};

// A run that never started: the test fails, saying why.
inline Result not_run(const char* what, int err) {
    Result r;
    r.err = std::string("fmutil was not run: ") + what + ": " + std::strerror(err);
    ADD_FAILURE() << r.err;
    return r;
}

// Runs `program args...`. With stderr_tty, standard error is a pseudo-terminal.
// `env` ("NAME=VALUE") is added to the test's own environment.
inline Result run_program(const std::string& program, const std::vector<std::string>& args,
                          bool stderr_tty = false, const std::vector<std::string>& env = {}) {
    std::vector<std::string> env_s(env);
    for (char** e = environ; *e != nullptr; ++e) env_s.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out_p[2];
    int err_p[2];
    int tty_slave = -1;
    if (::pipe2(out_p, O_CLOEXEC) != 0) return not_run("pipe2", errno);
    if (stderr_tty) {
        if (::openpty(&err_p[0], &tty_slave, nullptr, nullptr, nullptr) != 0) {
            const int e = errno;
            ::close(out_p[0]);
            ::close(out_p[1]);
            return not_run("openpty", e);
        }
        err_p[1] = tty_slave;
    } else if (::pipe2(err_p, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(out_p[0]);
        ::close(out_p[1]);
        return not_run("pipe2", e);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_p[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_p[1], 2);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out_p[1]);
    ::close(err_p[1]);
    if (rc != 0) {
        ::close(out_p[0]);
        ::close(err_p[0]);
        return not_run(argv[0], rc);  // posix_spawn returns the error number
    }
    Result r;
    pollfd fds[2] = {{out_p[0], POLLIN, 0}, {err_p[0], POLLIN, 0}};
    std::string* dest[2] = {&r.out, &r.err};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "poll: " << std::strerror(errno);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                dest[i]->append(buf, static_cast<std::size_t>(n));
            } else {  // EOF, or EIO once the pty's last writer is gone
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int st = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0) return not_run("waitpid", errno);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

// Runs `fmutil args...`.
inline Result run(const std::vector<std::string>& args, bool stderr_tty = false) {
    return run_program(FMUTIL_PATH, args, stderr_tty);
}

// Runs `fmutil args...` killed by the fault seam right before its n-th step.
// `env` ("NAME=VALUE") as for run_program: a switch of the fault seam, say.
inline Result run_killed_at(long n, const std::vector<std::string>& args,
                            std::vector<std::string> env = {}) {
    env.push_back("VANTREL_FAULT_DIE_AT_STEP=" + std::to_string(n));
    return run_program(FMUTIL_PATH, args, false, env);
}

// A strict JSON checker (RFC 8259 grammar, one document plus whitespace).
class JsonCheck {
  public:
    static bool valid(const std::string& s) {
        JsonCheck c{s};
        c.ws();
        if (!c.value()) return false;
        c.ws();
        return c.i == s.size();
    }

  private:
    explicit JsonCheck(const std::string& s) : t(s) {}
    const std::string& t;
    std::size_t i = 0;
    int depth = 0;
    void ws() {
        while (i < t.size() && (t[i] == ' ' || t[i] == '\n' || t[i] == '\t' || t[i] == '\r')) ++i;
    }
    bool lit(const char* w) {
        std::string_view v(w);
        if (t.compare(i, v.size(), v) != 0) return false;
        i += v.size();
        return true;
    }
    bool string() {
        if (t[i] != '"') return false;
        for (++i; i < t.size(); ++i) {
            const auto c = static_cast<unsigned char>(t[i]);
            if (c == '"') return ++i, true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++i >= t.size()) return false;
                if (t[i] == 'u') {
                    for (int k = 0; k < 4; ++k) {
                        if (++i >= t.size() || !std::isxdigit(static_cast<unsigned char>(t[i])))
                            return false;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(t[i]) == std::string_view::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        std::size_t s = i;
        if (t[i] == '-') ++i;
        if (i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i]))) return false;
        if (t[i] == '0' && i + 1 < t.size() && std::isdigit(static_cast<unsigned char>(t[i + 1])))
            return false;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
        if (i < t.size() && t[i] == '.') {
            ++i;
            if (i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i]))) return false;
            while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
        }
        return i > s;
    }
    bool value() {
        if (i >= t.size() || ++depth > 64) return false;
        bool ok = false;
        switch (t[i]) {
            case '{':
                ok = container('}', true);
                break;
            case '[':
                ok = container(']', false);
                break;
            case '"':
                ok = string();
                break;
            case 't':
                ok = lit("true");
                break;
            case 'f':
                ok = lit("false");
                break;
            case 'n':
                ok = lit("null");
                break;
            default:
                ok = number();
        }
        --depth;
        return ok;
    }
    bool container(char close, bool object) {
        ++i;
        ws();
        if (i < t.size() && t[i] == close) return ++i, true;
        for (;;) {
            ws();
            if (object) {
                if (i >= t.size() || !string()) return false;
                ws();
                if (i >= t.size() || t[i++] != ':') return false;
                ws();
            }
            if (!value()) return false;
            ws();
            if (i >= t.size()) return false;
            if (t[i] == ',') {
                ++i;
                continue;
            }
            if (t[i] == close) return ++i, true;
            return false;
        }
    }
};

}  // namespace fmtest
