// The distributed notification centre over sd-bus. One connection per
// process, opened on first use and reopened in a forked child (an sd-bus
// connection belongs to the process that opened it). sd-bus is not
// thread-safe, so one mutex covers the connection and the observer table;
// callbacks run outside it so that they may post or observe themselves.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cf/objects.h"
#include "cf/plist.h"
#include "vantrel/CFNotificationCenter.h"
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

// Makes sure this process has a connection; false without a bus. Called
// with the mutex held.
bool connect(Center& c) {
    pid_t me = ::getpid();
    if (c.bus && c.owner != me) {
        // Inherited across fork: the parent's connection and its match are
        // unusable here and must not be touched, only forgotten.
        c.bus = nullptr;
        c.match = nullptr;
        c.observers.clear();
        c.queue.clear();
    }
    if (c.bus) return true;
    if (vantrel::fault::check("CFNotificationCenterGetDistributedCenter.connect")) return false;
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return false;
    c.bus = bus;
    c.owner = me;
    return true;
}

bool ensure_match(Center& c) {
    if (c.match) return true;
    if (!connect(c)) return false;
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
// (finishing the connection's handshake first) while time remains.
void flush_within_deadline(sd_bus* bus) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kPostWaitUsec);
    for (;;) {
        int r = sd_bus_process(bus, nullptr);  // reads, authenticates, writes
        if (r < 0) return;
        if (r > 0) continue;
        int events = sd_bus_get_events(bus);
        if (events < 0) return;
        if (sd_bus_is_ready(bus) > 0 && !(events & POLLOUT)) return;  // all written
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        if (sd_bus_wait(bus, static_cast<std::uint64_t>(left.count())) < 0) return;
    }
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
    return connect(ctr);
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef c, CFNotificationName name,
                                          const void* object, CFDictionaryRef userInfo, Boolean) {
    std::string n = is(name, kStringTypeID) ? to_utf8(name) : std::string();
    if (vantrel::fault::check("CFNotificationCenterPostNotification", n)) return;
    if (c != &g_center || !is(name, kStringTypeID)) return;
    if (object != nullptr && !is(object, kStringTypeID)) return;
    std::string info;
    if (userInfo != nullptr) {
        if (!is(userInfo, vantrel::cf_detail::kDictionaryTypeID)) return;
        std::string why;
        if (!vantrel::cf::writable(userInfo, &why)) return;
        info = vantrel::cf::document_xml(vantrel::cf::value_xml(userInfo));
    }
    std::string obj = object ? to_utf8(static_cast<CFStringRef>(object)) : std::string();
    Center& ctr = center();
    std::lock_guard lk(ctr.mu);
    if (!connect(ctr)) return;
    // Delivered immediately either way: the signal is on the bus when the
    // post returns (the distributed centre never holds notifications back).
    if (sd_bus_emit_signal(ctr.bus, kPath, kInterface, kMember, "sss", n.c_str(), obj.c_str(),
                           info.c_str()) >= 0)
        flush_within_deadline(ctr.bus);
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
