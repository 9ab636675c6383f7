// The per-thread mount watch (vol_watch.h): an io_uring of one entry per
// thread, holding a one-shot poll (POLLPRI) of /proc/self/mountinfo opened
// by that thread. Each descriptor of the table remembers the change it last
// reported, so each thread needs its own; the ring is the thread's too,
// because the kernel posts a poll's completion from the thread that armed
// it, on its way back from the kernel (interrupting it if it is running):
// a thread that made or waited for an unmount sees it in its own ring at
// once, where another thread's completion might still be on its way.
//
// A ring costs its process about half a millisecond to make and let go of
// (its mappings, and the kernel's teardown at exit): some three hundred
// polls. A thread makes its ring only once it has asked the table that many
// times by poll; a short command (a rename, a copy of a file) never makes
// one, a walk of thousands of items soon does.
//
// Made with raw system calls (the kernel's interface is a few mapped words);
// anything refused (no io_uring in this kernel, a sandbox that forbids it,
// no descriptors left) leaves the thread to poll, as before.
#include "fm/vol_watch.h"

#include <fcntl.h>
#include <linux/io_uring.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "fm/proc_self.h"

namespace vantrel::fm {
namespace {

std::atomic<bool> g_enabled{true};
// How many asks a thread makes by poll before it makes its ring.
constexpr unsigned kAsksBeforeRing = 256;
std::atomic<unsigned> g_asksBeforeRing{kAsksBeforeRing};
// Set once io_uring was refused in this process: not asked again.
std::atomic<bool> g_refused{false};

// A thread's watch. Trivially destructible, so that a call made while the
// thread ends (another thread-local's destructor, a static one at exit)
// still finds it; its descriptors and mappings are let go of by a Closer.
struct Watch {
    int ring = -1;
    int table = -1;
    pid_t pid = 0;
    bool armed = false;
    bool givenUp = false;  // the thread is ending, or a watch failed: it polls
    unsigned asks = 0;     // asks made by poll while there was no ring
    void* sq = nullptr;
    void* cq = nullptr;
    std::size_t sqLen = 0, cqLen = 0, sqesLen = 0;
    io_uring_sqe* sqes = nullptr;
    unsigned* sqTail = nullptr;
    unsigned* sqArray = nullptr;
    unsigned sqMask = 0;
    unsigned* cqHead = nullptr;
    unsigned* cqTail = nullptr;
};

thread_local Watch t_watch;

void unmap(Watch& w) {
    if (w.sqes != nullptr) ::munmap(w.sqes, w.sqesLen);
    if (w.cq != nullptr && w.cq != MAP_FAILED && w.cq != w.sq) ::munmap(w.cq, w.cqLen);
    if (w.sq != nullptr && w.sq != MAP_FAILED) ::munmap(w.sq, w.sqLen);
    w.sqes = nullptr;
    w.sq = w.cq = nullptr;
    w.armed = false;
}

// Closing the ring cancels its poll. Descriptors inherited from the parent
// of a fork() are not closed: the child may have closed them and reused
// their numbers.
void drop(Watch& w) {
    if (w.pid == self_pid()) {
        unmap(w);
        if (w.table >= 0) ::close(w.table);
        if (w.ring >= 0) ::close(w.ring);
    }
    w.table = w.ring = -1;
    w.armed = false;
}

struct Closer {
    Closer() = default;
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    ~Closer() {
        drop(t_watch);
        t_watch.givenUp = true;
    }
};

thread_local Closer t_closer;

bool fail(Watch& w) {
    drop(w);
    w.givenUp = true;  // not made again at every resolution
    return false;
}

bool make(Watch& w) {
    if (w.givenUp || g_refused.load(std::memory_order_relaxed)) return false;
    if (!descriptors_to_spare()) {
        w.givenUp = true;
        return false;
    }
    (void)&t_closer;  // made, in this thread, by its first use
    drop(w);          // nothing half made is kept
    io_uring_params p{};
    const long fd = ::syscall(__NR_io_uring_setup, 1, &p);
    if (fd < 0) {
        if (errno == ENOSYS || errno == EPERM) g_refused.store(true, std::memory_order_relaxed);
        w.givenUp = true;
        return false;
    }
    w.ring = int(fd);
    w.pid = self_pid();
    w.sqLen = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    w.cqLen = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const bool single = (p.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single) w.sqLen = w.cqLen = std::max(w.sqLen, w.cqLen);
    constexpr int kProt = PROT_READ | PROT_WRITE, kMap = MAP_SHARED | MAP_POPULATE;
    w.sq = ::mmap(nullptr, w.sqLen, kProt, kMap, w.ring, IORING_OFF_SQ_RING);
    if (w.sq == MAP_FAILED) return fail(w);
    w.cq = single ? w.sq : ::mmap(nullptr, w.cqLen, kProt, kMap, w.ring, IORING_OFF_CQ_RING);
    if (w.cq == MAP_FAILED) return fail(w);
    w.sqesLen = p.sq_entries * sizeof(io_uring_sqe);
    void* sqes = ::mmap(nullptr, w.sqesLen, kProt, kMap, w.ring, IORING_OFF_SQES);
    if (sqes == MAP_FAILED || sqes == nullptr) return fail(w);
    w.sqes = static_cast<io_uring_sqe*>(sqes);
    auto* sq = static_cast<unsigned char*>(w.sq);
    auto* cq = static_cast<unsigned char*>(w.cq);
    w.sqTail = reinterpret_cast<unsigned*>(sq + p.sq_off.tail);
    w.sqMask = *reinterpret_cast<unsigned*>(sq + p.sq_off.ring_mask);
    w.sqArray = reinterpret_cast<unsigned*>(sq + p.sq_off.array);
    w.cqHead = reinterpret_cast<unsigned*>(cq + p.cq_off.head);
    w.cqTail = reinterpret_cast<unsigned*>(cq + p.cq_off.tail);
    // Opened now: it reports the changes made from now on.
    w.table = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (w.table < 0) return fail(w);
    return true;
}

MountSignal signal_of(Watch& w) {
    if (!w.armed || w.pid != self_pid()) return MountSignal::Unwatched;
    const unsigned head = *w.cqHead;
    const unsigned tail = __atomic_load_n(w.cqTail, __ATOMIC_ACQUIRE);
    if (head == tail) return MountSignal::Unchanged;
    __atomic_store_n(w.cqHead, tail, __ATOMIC_RELEASE);  // its completions used up
    w.armed = false;
    return MountSignal::Changed;
}

bool arm(Watch& w) {
    if (w.pid != self_pid()) {
        // A child of fork(): its copy of the parent's mappings would show
        // the parent's completions. It makes its own.
        unmap(w);
        w.table = w.ring = -1;
        w.pid = self_pid();
        w.givenUp = false;
        w.asks = 0;
    }
    if (w.armed) return true;
    if (w.sqes == nullptr) {
        if (w.asks < g_asksBeforeRing.load(std::memory_order_relaxed)) {
            ++w.asks;
            return false;
        }
        if (!make(w)) return false;
    }
    const unsigned tail = *w.sqTail;
    const unsigned slot = tail & w.sqMask;
    io_uring_sqe& e = w.sqes[slot];
    std::memset(&e, 0, sizeof e);
    e.opcode = IORING_OP_POLL_ADD;
    e.fd = w.table;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    e.poll32_events = (unsigned(POLLPRI) << 16) | (unsigned(POLLPRI) >> 16);
#else
    e.poll32_events = POLLPRI;
#endif
    w.sqArray[slot] = slot;
    __atomic_store_n(w.sqTail, tail + 1, __ATOMIC_RELEASE);
    if (::syscall(__NR_io_uring_enter, w.ring, 1, 0, 0, nullptr, 0) != 1) return fail(w);
    w.armed = true;
    return true;
}

}  // namespace

bool descriptors_to_spare() {
    constexpr rlim_t kFew = 64;
    struct rlimit rl {};
    return ::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
           rl.rlim_cur >= kFew;
}

MountSignal thread_watch_signal() {
    if (!g_enabled.load(std::memory_order_relaxed)) return MountSignal::Unwatched;
    return signal_of(t_watch);
}

bool arm_thread_watch() {
    if (!g_enabled.load(std::memory_order_relaxed)) return false;
    return arm(t_watch);
}

void use_thread_watches(bool on) {
    g_enabled.store(on);
}

void make_thread_watches_after(int asks) {
    g_asksBeforeRing.store(asks < 0 ? kAsksBeforeRing : unsigned(asks));
}

}  // namespace vantrel::fm
