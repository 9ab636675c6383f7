// The distributed notification centre over sd-bus. One connection per
// process, opened on first use and reopened in a forked child (an sd-bus
// connection belongs to the process that opened it). sd-bus is not
// thread-safe, so one mutex covers the connection and the observer table;
// callbacks run outside it so that they may post or observe themselves.
//
// The connection's handshake (authentication and Hello) is finished when it
// is opened, within a bounded wait: a bus drops a connection that has not
// finished it in time (dbus-daemon's auth_timeout), and a program that opens
// its connection at start and posts minutes later (a pane left open) would
// otherwise lose that post. A bus that cannot be reached, refuses, closes or
// never answers counts as no bus. A connection the bus has closed since (it
// was restarted) is opened again at the next post.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cf/objects.h"
#include "cf/plist.h"
#include "vantrel/CFNotificationCenter.h"
#include "vantrel/NotificationReport.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CFNotificationCenterGetDistributedCenter.connect",
                         "CFNotificationCenterPostNotification", "CFNotificationCenterAddObserver");

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");

struct __CFNotificationCenter : __CFRuntimeBase {
    constexpr __CFNotificationCenter()
        : __CFRuntimeBase(vantrel::cf_detail::kNotificationCenterTypeID, kImmortal) {}
};

namespace vantrel::notify {
namespace {

constexpr const char* kPath = "/org/vantrel/DistributedNotificationCenter";
constexpr const char* kInterface = "org.vantrel.DistributedNotificationCenter";
constexpr const char* kMember = "Notification";

constinit __CFNotificationCenter g_center;

struct Observer {
    const void* observer;
    CFNotificationCallback callback;
    std::string name;  // empty with anyName
    bool anyName;
    std::string object;
    bool anyObject;
};

struct Received {
    std::string name, object, userInfo;
};

struct Center {
    std::mutex mu;
    sd_bus* bus = nullptr;
    pid_t owner = 0;
    sd_bus_slot* match = nullptr;
    std::vector<Observer> observers;
    std::vector<Received> queue;
    std::string unreachable;  // why the last attempt to connect failed
    // A bus that did not answer is not tried again before this time: every
    // post would wait for it again.
    std::chrono::steady_clock::time_point retryAfter{};
    PostReport lastPost;
};

Center& center() {
    static Center* c = new Center;  // lives until exit
    return *c;
}

int on_signal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* c = static_cast<Center*>(userdata);
    const char *name = nullptr, *object = nullptr, *info = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &object, &info) < 0) return 0;  // not ours: ignore
    c->queue.push_back({name, object, info});
    return 0;
}

// How long opening a connection waits for the bus to finish the handshake.
// A local bus answers in milliseconds; one that accepted the connection but
// never answers (stopped, hung) costs this once, then counts as no bus.
constexpr std::uint64_t kConnectWaitUsec = 2'000'000;
// How long a bus that did not answer is left alone.
constexpr auto kRetryHungBus = std::chrono::seconds(60);

// Where the session bus is said to be, for messages.
std::string bus_address() {
    const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (a && *a) return a;
    const char* rt = std::getenv("XDG_RUNTIME_DIR");
    return rt && *rt ? std::string("unix:path=") + rt + "/bus" : std::string("(none)");
}

bool no_bus_configured() {
    const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (a && *a) return false;
    const char* rt = std::getenv("XDG_RUNTIME_DIR");
    return !(rt && *rt && ::access((std::string(rt) + "/bus").c_str(), F_OK) == 0);
}

// Drives a new connection through authentication and Hello. 0 when it is
// ready, else a negative errno (-ETIMEDOUT when the bus did not answer).
int finish_handshake(sd_bus* bus) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kConnectWaitUsec);
    for (;;) {
        if (sd_bus_is_ready(bus) > 0) return 0;
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (sd_bus_is_open(bus) <= 0) return -ECONNRESET;
        if (r > 0) continue;
        if (sd_bus_is_ready(bus) > 0) return 0;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return -ETIMEDOUT;
        r = sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
        if (r < 0 && r != -EINTR) return r;
    }
}

// Forgets the connection (closed by the bus, or inherited across fork: then
// it must not be touched at all).
void drop_connection(Center& c, bool ours) {
    if (ours) {
        if (c.match) sd_bus_slot_unref(c.match);
        if (c.bus) sd_bus_close_unref(c.bus);
    }
    c.bus = nullptr;
    c.match = nullptr;
}

// Makes sure this process has a working connection; false without a bus,
// with the reason in c.unreachable. Called with the mutex held.
bool connect(Center& c) {
    pid_t me = ::getpid();
    if (c.bus && c.owner != me) {
        // Inherited across fork: the parent's connection and its match are
        // unusable here and must not be touched, only forgotten.
        drop_connection(c, false);
        c.observers.clear();
        c.queue.clear();
        c.retryAfter = {};
    }
    if (c.bus) return true;
    if (vantrel::fault::check("CFNotificationCenterGetDistributedCenter.connect")) {
        c.unreachable = "no session bus (fault injected)";
        return false;
    }
    if (std::chrono::steady_clock::now() < c.retryAfter) return false;
    if (no_bus_configured()) {
        c.unreachable = "no session bus";
        return false;
    }
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r >= 0) r = finish_handshake(bus);
    if (r < 0) {
        if (bus) sd_bus_close_unref(bus);
        c.unreachable = "the session bus " + bus_address() +
                        (r == -ETIMEDOUT ? " does not answer"
                                         : " cannot be reached: " + std::string(std::strerror(-r)));
        if (r == -ETIMEDOUT) c.retryAfter = std::chrono::steady_clock::now() + kRetryHungBus;
        return false;
    }
    c.bus = bus;
    c.owner = me;
    c.unreachable.clear();
    if (!c.observers.empty() && sd_bus_match_signal(c.bus, &c.match, nullptr, kPath, kInterface,
                                                    kMember, on_signal, &c) < 0)
        c.match = nullptr;
    return true;
}

// Whether the connection is still open: reads what the bus sent (a bus that
// closed the connection is seen here) without waiting. Called with the
// mutex held; received notifications are queued for delivery.
bool still_open(Center& c) {
    int r;
    while ((r = sd_bus_process(c.bus, nullptr)) > 0) {
    }
    return r >= 0 && sd_bus_is_open(c.bus) > 0;
}

bool ensure_match(Center& c) {
    if (c.match) return true;
    if (!connect(c)) return false;
    if (c.match) return true;  // made by connect, for the observers there were
    return sd_bus_match_signal(c.bus, &c.match, nullptr, kPath, kInterface, kMember, on_signal,
                               &c) >= 0;
}

// How long a post waits for the bus to take its signal. A healthy bus takes
// it in milliseconds; one that accepted the connection but never answers (a
// stopped or overloaded dbus-daemon) must not hang the poster for ever: a
// host leaving its pane must still end, and a blocked post cannot be
// interrupted by SIGTERM. The signal stays queued on the connection.
constexpr std::uint64_t kPostWaitUsec = 5'000'000;

// Like sd_bus_flush, but gives up after kPostWaitUsec: writes what is queued
// while time remains. 0 when all is written, else a negative errno
// (-ETIMEDOUT when the bus stopped taking it).
int flush_within_deadline(sd_bus* bus) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kPostWaitUsec);
    for (;;) {
        int r = sd_bus_process(bus, nullptr);  // reads, writes
        if (r < 0) return r;
        if (sd_bus_is_open(bus) <= 0) return -ECONNRESET;
        if (r > 0) continue;
        int events = sd_bus_get_events(bus);
        if (events < 0) return events;
        if (sd_bus_is_ready(bus) > 0 && !(events & POLLOUT)) return 0;  // all written
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return -ETIMEDOUT;
        r = sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
        if (r < 0 && r != -EINTR) return r;
    }
}

// Emits the signal and flushes it. When the connection turns out to be gone
// (the bus was restarted, or dropped it), it is opened again once and the
// signal sent on the new one: nothing of it reached the bus on the old one.
// 0 or a negative errno; `why` says what failed.
int emit(Center& c, const std::string& n, const std::string& obj, const std::string& info,
         std::string* why) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (c.bus && !still_open(c)) drop_connection(c, true);
        if (!connect(c)) {
            *why = attempt == 0 ? c.unreachable
                                : "the session bus closed the connection, and " + c.unreachable;
            return -ENOTCONN;
        }
        int r = sd_bus_emit_signal(c.bus, kPath, kInterface, kMember, "sss", n.c_str(), obj.c_str(),
                                   info.c_str());
        if (r >= 0) r = flush_within_deadline(c.bus);
        if (r == 0) return 0;
        if (r == -ETIMEDOUT) {
            *why = "the session bus " + bus_address() + " did not take it within " +
                   std::to_string(kPostWaitUsec / 1000000) + " seconds";
            return r;
        }
        *why = std::string("the session bus connection failed: ") + std::strerror(-r);
        drop_connection(c, true);
    }
    return -ECONNRESET;
}

void report_post(Center& c, bool ok, const std::string& message) {
    ++c.lastPost.serial;
    c.lastPost.ok = ok;
    c.lastPost.message = ok ? std::string() : message;
}

bool matches(const Observer& o, const Received& r) {
    return (o.anyName || o.name == r.name) && (o.anyObject || o.object == r.object);
}

// Delivers queued notifications (mutex not held). Returns how many
// callbacks ran: a notification nobody here observes handles nothing.
std::size_t deliver(Center& c) {
    std::vector<Received> batch;
    std::vector<Observer> observers;
    {
        std::lock_guard lk(c.mu);
        batch.swap(c.queue);
        observers = c.observers;
    }
    std::size_t calls = 0;
    for (const Received& r : batch) {
        CFStringRef name = cf::string_from_utf8(r.name);
        CFStringRef object = r.object.empty() ? nullptr : cf::string_from_utf8(r.object);
        CFDictionaryRef info = nullptr;
        if (!r.userInfo.empty()) {
            CFTypeRef v = cf::parse_plist(r.userInfo);
            if (cf::is(v, cf_detail::kDictionaryTypeID))
                info = static_cast<CFDictionaryRef>(v);
            else
                CFRelease(v);
        }
        for (const Observer& o : observers)
            if (matches(o, r)) {
                o.callback(&g_center, const_cast<void*>(o.observer), name, object, info);
                ++calls;
            }
        CFRelease(name);
        CFRelease(object);
        CFRelease(info);
    }
    return calls;
}

}  // namespace
}  // namespace vantrel::notify

using namespace vantrel::notify;
using vantrel::cf::is;
using vantrel::cf::to_utf8;
using vantrel::cf_detail::kStringTypeID;

CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void) {
    return &g_center;
}

Boolean CFNotificationCenterIsAvailable(CFNotificationCenterRef c) {
    if (c != &g_center) return false;
    Center& ctr = center();
    std::lock_guard lk(ctr.mu);
    if (ctr.bus && ctr.owner == ::getpid() && !still_open(ctr)) drop_connection(ctr, true);
    return connect(ctr);
}

namespace vantrel::notify {

PostReport last_post() {
    Center& ctr = center();
    std::lock_guard lk(ctr.mu);
    return ctr.lastPost;
}

std::string unavailable_reason() {
    Center& ctr = center();
    std::lock_guard lk(ctr.mu);
    if (ctr.bus && ctr.owner == ::getpid() && !still_open(ctr)) drop_connection(ctr, true);
    return connect(ctr) ? std::string() : ctr.unreachable;
}

}  // namespace vantrel::notify

void CFNotificationCenterPostNotification(CFNotificationCenterRef c, CFNotificationName name,
                                          const void* object, CFDictionaryRef userInfo, Boolean) {
    Center& ctr = center();
    auto dropped = [&](const std::string& why) {
        std::lock_guard lk(ctr.mu);
        report_post(ctr, false, "not posted: " + why);
    };
    std::string n = is(name, kStringTypeID) ? to_utf8(name) : std::string();
    if (vantrel::fault::check("CFNotificationCenterPostNotification", n))
        return dropped("fault injected");
    if (c != &g_center || !is(name, kStringTypeID))
        return dropped("not the distributed centre, or a name that is not a string");
    if (object != nullptr && !is(object, kStringTypeID))
        return dropped("an object that is not a string");
    std::string info;
    if (userInfo != nullptr) {
        if (!is(userInfo, vantrel::cf_detail::kDictionaryTypeID))
            return dropped("user info that is not a dictionary");
        std::string why;
        if (!vantrel::cf::writable(userInfo, &why)) return dropped("user info that " + why);
        info = vantrel::cf::document_xml(vantrel::cf::value_xml(userInfo));
    }
    std::string obj = object ? to_utf8(static_cast<CFStringRef>(object)) : std::string();
    std::lock_guard lk(ctr.mu);
    // Delivered immediately either way: the signal is on the bus when the
    // post returns (the distributed centre never holds notifications back).
    std::string why;
    bool ok = emit(ctr, n, obj, info, &why) == 0;
    report_post(ctr, ok, "not posted: " + why);
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef c, const void* observer,
                                     CFNotificationCallback cb, CFStringRef name,
                                     const void* object, CFNotificationSuspensionBehavior) {
    if (vantrel::fault::check("CFNotificationCenterAddObserver")) return;
    if (c != &g_center || cb == nullptr) return;
    if (name != nullptr && !is(name, kStringTypeID)) return;
    if (object != nullptr && !is(object, kStringTypeID)) return;
    Center& ctr = center();
    std::lock_guard lk(ctr.mu);
    ensure_match(ctr);  // without a bus the observer waits for nothing
    ctr.observers.push_back(Observer{
        observer, cb, name ? to_utf8(name) : std::string(), name == nullptr,
        object ? to_utf8(static_cast<CFStringRef>(object)) : std::string(), object == nullptr});
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef c, const void* observer,
                                        CFNotificationName name, const void* object) {
    if (c != &g_center) return;
    std::string n = is(name, kStringTypeID) ? to_utf8(name) : std::string();
    std::string o =
        is(object, kStringTypeID) ? to_utf8(static_cast<CFStringRef>(object)) : std::string();
    Center& ctr = center();
    std::lock_guard lk(ctr.mu);
    std::erase_if(ctr.observers, [&](const Observer& r) {
        return r.observer == observer && (name == nullptr || (!r.anyName && r.name == n)) &&
               (object == nullptr || (!r.anyObject && r.object == o));
    });
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef c, const void* observer) {
    CFNotificationCenterRemoveObserver(c, observer, nullptr, nullptr);
}

SInt32 CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    Center& ctr = center();
    bool handled = false;
    for (;;) {
        int fd = -1;
        short events = 0;
        {
            std::lock_guard lk(ctr.mu);
            if (!connect(ctr) || ctr.match == nullptr) return kCFRunLoopRunFinished;
            int r;
            while ((r = sd_bus_process(ctr.bus, nullptr)) > 0) {
            }
            if (r < 0) return kCFRunLoopRunFinished;
            fd = sd_bus_get_fd(ctr.bus);
            int ev = sd_bus_get_events(ctr.bus);
            events = static_cast<short>(ev > 0 ? ev : POLLIN);
        }
        if (deliver(ctr) > 0) {
            handled = true;
            if (returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
            continue;
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return handled && returnAfterSourceHandled ? kCFRunLoopRunHandledSource
                                                       : kCFRunLoopRunTimedOut;
        pollfd p{fd, events, 0};
        ::poll(&p, 1,
               static_cast<int>(left < 100 ? left : 100));  // short slices: other threads may post
    }
}
