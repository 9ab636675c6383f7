// Runs a test body in a forked child, optionally in a private mount namespace
// ("/" made private first, so nothing it mounts is seen outside). The body
// returns "" on success or a message; the child's GoogleTest state is not used.
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vtest {

enum class Child { Plain, PrivateMounts };

// A state directory (XDG_STATE_HOME) of a child's own, for a child that
// mounts file systems: the ID tables of the file systems it makes are kept
// there and go with it, instead of one more table per test run in the
// suite's. Made by the parent (which removes it when the child is done),
// entered by the child.
class ScratchState {
  public:
    ScratchState() {
        char dir[] = "/tmp/vt-state.XXXXXX";
        if (::mkdtemp(dir) != nullptr) dir_ = dir;
    }
    ~ScratchState() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    ScratchState(const ScratchState&) = delete;
    ScratchState& operator=(const ScratchState&) = delete;
    void enter() const {
        if (!dir_.empty()) ::setenv("XDG_STATE_HOME", dir_.c_str(), 1);
    }

  private:
    std::string dir_;
};

// nullopt when the child could not get what it needed (the caller skips).
inline std::optional<std::string> run_child(Child kind, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return std::string("pipe failed");
    const ScratchState state;
    pid_t pid = ::fork();
    if (pid < 0) return std::string("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        std::string msg;
        int code = 0;
        if (kind == Child::PrivateMounts &&
            (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
            code = 77;
        } else {
            if (kind == Child::PrivateMounts) state.enter();
            // An exception must not leave the child: it would return into the
            // test program and run the remaining tests a second time.
            try {
                msg = body();
            } catch (const std::exception& e) {
                msg = std::string("the body threw: ") + e.what();
                code = 1;
            } catch (...) {
                msg = "the body threw";
                code = 1;
            }
        }
        if (!msg.empty() && ::write(fds[1], msg.data(), msg.size()) < 0) code = 1;
        ::_exit(code);
    }
    ::close(fds[1]);
    std::string msg;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) msg.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: " + msg;
    return msg;
}

// For a body that makes GoogleTest's checks in the child (whose results the
// parent never sees): runs `check` and returns what each check that failed
// in it said, one after another, as the body's message ("" when none did).
inline std::string failures_of(const std::function<void()>& check) {
    const ::testing::TestResult* r =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int before = r->total_part_count();
    check();
    std::string out;
    for (int i = before; i < r->total_part_count(); ++i) {
        const ::testing::TestPartResult& part = r->GetTestPartResult(i);
        if (!part.failed()) continue;
        out += std::string(part.file_name() != nullptr ? part.file_name() : "?") + ":" +
               std::to_string(part.line_number()) + ": " + part.message() + "\n";
    }
    return out;
}

// Whether this process may make a private mount namespace (CAP_SYS_ADMIN),
// asked in a child as run_child(Child::PrivateMounts) does: a test that needs
// one asks first, so that without it the test skips before it checks
// anything.
inline constexpr const char* kNeedsPrivateMounts =
    "no private mount namespace (needs CAP_SYS_ADMIN: root)";
inline bool can_make_private_mounts() {
    return run_child(Child::PrivateMounts, [] { return std::string(); }).has_value();
}

// Runs `body` in a forked child as the user nobody, with no supplementary
// groups (root's would still open what the mode denies others). nullopt, for
// the caller to skip with kNeedsNobody, unless the test runs as root and the
// system has that user: can_run_as_nobody() says which, for a test to ask
// before it checks anything.
inline constexpr const char* kNeedsNobody = "needs root and a user nobody to become";
inline bool can_run_as_nobody() {
    return ::geteuid() == 0 && ::getpwnam("nobody") != nullptr;
}
inline std::optional<std::string> run_as_nobody(const std::function<std::string()>& body) {
    if (!can_run_as_nobody()) return std::nullopt;
    const passwd* pw = ::getpwnam("nobody");
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    return run_child(Child::Plain, [&]() -> std::string {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(77);
        // As a fresh process of nobody's would be (setpriv): /proc/self, which
        // the layer opens descriptors through, is ours.
        ::prctl(PR_SET_DUMPABLE, 1);
        return body();
    });
}

}  // namespace vtest
