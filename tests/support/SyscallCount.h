// Counts the system calls a piece of work makes, by name: strace follows a
// forked child that does that work alone, between two marks, so that what
// the process does before and after (start-up, the test's fixtures, exit)
// is not counted. Counts, not times: a busy machine does not move them.
//
//   const auto run = vtest::traced_calls([&] { FSIterateContainer(...); });
//   if (!run) GTEST_SKIP() << vtest::kNoTracer;
//   EXPECT_EQ(run->status, 0);
//   EXPECT_EQ(vtest::calls_of(run->calls, "statx"), 3);
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "TempDir.h"

namespace vtest {

inline constexpr const char* kNoTracer = "no strace that may follow a child here";

// The call a line of strace's log names ("PID name(args) = result"), or ""
// for a line that names none (a call resumed, a signal, an exit). Names
// strace 6.1 does not know (the *xattrat calls of Linux 6.13) show as their
// numbers: syscall_0x1d1 is listxattrat.
inline std::string traced_call_name(const std::string& line) {
    const auto start = line.find_first_not_of("0123456789 ");
    if (start == std::string::npos) return "";
    const auto open = line.find('(', start);
    if (open == std::string::npos) return "";
    const std::string name = line.substr(start, open - start);
    return name.find_first_of(" <-+") == std::string::npos ? name : "";
}

using CallCounts = std::map<std::string, long>;

struct Traced {
    CallCounts calls;
    int status = -1;  // the child's exit status (128 + signal when killed)
};

inline long calls_of(const CallCounts& c, const std::string& name) {
    const auto it = c.find(name);
    return it == c.end() ? 0 : it->second;
}

namespace detail {
inline bool traced(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
    return false;
}
}  // namespace detail

// The calls `work` made in a child of this process, by name, and how the
// child ended; `only`, when given, keeps just the lines that hold it (a
// file's name, say). nullopt when no tracer could follow the child (no
// strace, or not allowed to attach). The child runs `work` and nothing after
// it (it ends with _exit; `work` may end it sooner with a status of its own).
inline std::optional<Traced> traced_calls(const std::function<void()>& work,
                                          const std::string& only = "") {
    TempDir t("vtcalls");
    const std::string log = (t.path() / "calls.log").string();
    int go[2];
    if (::pipe(go) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0) return std::nullopt;
    if (child == 0) {
        ::close(go[1]);
        char c = 0;
        if (::read(go[0], &c, 1) != 1) ::_exit(1);
        // The marks: a write to no descriptor, which strace shows with its bytes.
        (void)!::write(-1, "vtest-calls-begin", 17);
        work();
        (void)!::write(-1, "vtest-calls-end", 15);
        ::_exit(0);
    }
    ::close(go[0]);
    const pid_t tracer = ::fork();
    if (tracer == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        const std::string pid = std::to_string(child);
        ::execl("/usr/bin/strace", "strace", "-f", "-qq", "-o", log.c_str(), "-p", pid.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    bool attached = false;
    for (int i = 0; i < 500 && tracer > 0; ++i) {
        if ((attached = detail::traced(child))) break;
        int st = 0;
        if (::waitpid(tracer, &st, WNOHANG) == tracer) break;  // strace gave up
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!attached) {
        ::kill(child, SIGKILL);
        ::close(go[1]);
        ::waitpid(child, nullptr, 0);
        if (tracer > 0) {
            ::kill(tracer, SIGKILL);
            ::waitpid(tracer, nullptr, 0);
        }
        return std::nullopt;
    }
    (void)!::write(go[1], "g", 1);
    ::close(go[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::waitpid(tracer, nullptr, 0);
    Traced run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    CallCounts& counts = run.calls;
    bool inside = false;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);) {
        if (line.find("vtest-calls-begin") != std::string::npos) {
            inside = true;
            continue;
        }
        if (line.find("vtest-calls-end") != std::string::npos) break;
        if (!inside || (!only.empty() && line.find(only) == std::string::npos)) continue;
        const std::string name = traced_call_name(line);
        if (!name.empty()) ++counts[name];
    }
    return run;
}

}  // namespace vtest
