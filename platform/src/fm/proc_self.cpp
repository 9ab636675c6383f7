// This process's ID, cached and refreshed in forked children. See proc_self.h.
#include "fm/proc_self.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace vantrel::fm {
namespace {

std::atomic<pid_t> g_pid{0};

[[maybe_unused]] const int kRefreshOnFork = [] {
    return ::pthread_atfork(nullptr, nullptr,
                            [] { g_pid.store(::getpid(), std::memory_order_relaxed); });
}();

}  // namespace

pid_t self_pid() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = ::getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace vantrel::fm
