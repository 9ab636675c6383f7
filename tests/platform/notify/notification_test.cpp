// The distributed notification centre on the session bus: delivery with
// name, object and user info, observer filters and removal, the documented
// D-Bus signal (other programs can post), and silence without a bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FaultSweep.h"
#include "prefs_support.h"
#include "vantrel/fault.h"

namespace {

using namespace vtest;

struct Seen {
    std::string name, object;
    long info_count = -1;
    std::string info_text;
};

void record(CFNotificationCenterRef, void* observer, CFNotificationName name, const void* object,
            CFDictionaryRef info) {
    auto* seen = static_cast<std::vector<Seen>*>(observer);
    Seen s{cf_utf8(name), object ? cf_utf8(static_cast<CFStringRef>(object)) : "(null)", -1, ""};
    if (info) {
        s.info_count = CFDictionaryGetCount(info);
        if (auto t = static_cast<CFStringRef>(CFDictionaryGetValue(info, CFSTR("text"))))
            s.info_text = cf_utf8(t);
    }
    seen->push_back(s);
}

CFNotificationCenterRef center() {
    return CFNotificationCenterGetDistributedCenter();
}

// Runs the loop until `n` notifications arrived or two seconds passed.
void pump(const std::vector<Seen>& seen, std::size_t n) {
    for (int i = 0; i < 20 && seen.size() < n; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
}

// The bus of every case of this process, private so that other programs'
// posts stay out (observers here see every name). One for the whole process:
// the centre keeps the connection it opened first until the process ends, so
// a bus of each case's own would leave every later case talking to a bus
// that is gone.
PrivateBus& private_bus() {
    static PrivateBus bus;
    return bus;
}

class Notifications : public ::testing::Test {
  protected:
    void SetUp() override {
        private_bus();
        if (!CFNotificationCenterIsAvailable(center()))
            GTEST_SKIP()
                << "no D-Bus session bus (scripts/test.sh runs the suite under dbus-run-session)";
        // Whatever an earlier case posted is delivered (to no one) before this
        // case observes: a marker posted now arrives after all of it.
        std::vector<Seen> marker;
        CFNotificationCenterAddObserver(center(), &marker, record, CFSTR("Case Starts"), nullptr,
                                        CFNotificationSuspensionBehaviorDeliverImmediately);
        CFNotificationCenterPostNotification(center(), CFSTR("Case Starts"), nullptr, nullptr,
                                             true);
        pump(marker, 1);
        CFNotificationCenterRemoveEveryObserver(center(), &marker);
        ASSERT_EQ(marker.size(), 1u) << "the bus does not deliver";
    }
    void TearDown() override { CFNotificationCenterRemoveEveryObserver(center(), &seen); }
    std::vector<Seen> seen;
};

TEST_F(Notifications, DeliversNameObjectAndUserInfoToMatchingObservers) {
    CFNotificationCenterAddObserver(center(), &seen, record, CFSTR("Test Note"), CFSTR("wanted"),
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    CFStringRef text = create_cfstr("h\xC3\xA9llo");
    int32_t n = 3;
    CFNumberRef num = CFNumberCreate(nullptr, kCFNumberSInt32Type, &n);
    const void* keys[] = {CFSTR("text"), CFSTR("n")};
    const void* vals[] = {text, num};
    CFDictionaryRef info = CFDictionaryCreate(
        nullptr, keys, vals, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);

    CFNotificationCenterPostNotification(center(), CFSTR("Test Note"), CFSTR("other"), nullptr,
                                         true);  // filtered
    CFNotificationCenterPostNotification(center(), CFSTR("Other Note"), CFSTR("wanted"), nullptr,
                                         true);  // filtered
    CFNotificationCenterPostNotification(center(), CFSTR("Test Note"), CFSTR("wanted"), info, true);
    pump(seen, 1);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);  // anything else would arrive by now
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "Test Note");
    EXPECT_EQ(seen[0].object, "wanted");
    EXPECT_EQ(seen[0].info_count, 2);
    EXPECT_EQ(seen[0].info_text,
              "h?llo");  // cf_utf8 prints non-ASCII as '?': the character arrived as one unit

    CFNotificationCenterRemoveObserver(center(), &seen, CFSTR("Test Note"), nullptr);
    CFNotificationCenterPostNotification(center(), CFSTR("Test Note"), CFSTR("wanted"), nullptr,
                                         true);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, true), kCFRunLoopRunTimedOut);
    EXPECT_EQ(seen.size(), 1u);
    CFRelease(info);
    CFRelease(num);
    CFRelease(text);
}

// A post failed at each of its calls (every class, transient and
// persistent) sends nothing, not even part of a notification; the next post
// is delivered. A marker posted after each trial shows when everything the
// trial sent has arrived.
TEST_F(Notifications, AFailedPostSendsNothingAndTheNextOneArrives) {
    CFNotificationCenterAddObserver(center(), &seen, record, nullptr, nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    CFStringRef text = create_cfstr("payload");
    const void* keys[] = {CFSTR("text")};
    const void* vals[] = {text};
    CFDictionaryRef info = CFDictionaryCreate(
        nullptr, keys, vals, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    long trial = 0;
    vtest::FaultSweep sweep;
    sweep.run([&](vtest::FaultTrial& t) {
        const std::string name = "Faulted " + std::to_string(++trial);
        const std::string marker = "Marker " + std::to_string(trial);
        CFStringRef n = create_cfstr(name), m = create_cfstr(marker);
        seen.clear();
        t.inject([&] { CFNotificationCenterPostNotification(center(), n, nullptr, info, true); });
        CFNotificationCenterPostNotification(center(), m, nullptr, nullptr, true);
        for (int i = 0; i < 50 && (seen.empty() || seen.back().name != marker); ++i)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().name, marker) << "the next post arrives";
        if (t.clean()) {
            ASSERT_EQ(seen.size(), 2u);
            EXPECT_EQ(seen[0].name, name);
            EXPECT_EQ(seen[0].info_text, "payload");
        } else {
            EXPECT_EQ(seen.size(), 1u) << "the failed post sent something";
        }
        CFRelease(n);
        CFRelease(m);
    });
    CFRelease(info);
    CFRelease(text);
}

TEST_F(Notifications, PostsWithUnsendableObjectsOrUserInfoAreDropped) {
    CFNotificationCenterAddObserver(center(), &seen, record, nullptr, nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    int32_t n = 1;
    CFNumberRef num = CFNumberCreate(nullptr, kCFNumberSInt32Type, &n);
    CFNotificationCenterPostNotification(center(), CFSTR("Bad Object"), num, nullptr, true);
    CFNotificationCenterPostNotification(center(), CFSTR("Bad Info"), nullptr,
                                         reinterpret_cast<CFDictionaryRef>(num), true);
    CFNotificationCenterPostNotification(center(), nullptr, nullptr, nullptr, true);
    // User info another program could not read: a string XML cannot hold.
    const UniChar ctrl[] = {'x', 0x0001};
    CFStringRef bad = CFStringCreateWithCharacters(nullptr, ctrl, 2);
    CFMutableDictionaryRef info = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(info, CFSTR("text"), bad);
    CFNotificationCenterPostNotification(center(), CFSTR("Unreadable Info"), nullptr, info, true);
    CFRelease(info);
    CFRelease(bad);
    {
        vantrel::fault::Scope scope;
        vantrel::fault::fail_nth("CFNotificationCenterPostNotification", 1, ioErr);
        CFNotificationCenterPostNotification(center(), CFSTR("Faulted"), nullptr, nullptr, true);
    }
    CFNotificationCenterPostNotification(center(), CFSTR("Good"), nullptr, nullptr, true);
    pump(seen, 1);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "Good");
    EXPECT_EQ(seen[0].object, "(null)");
    EXPECT_EQ(seen[0].info_count, -1);
    CFRelease(num);
}

// The signal is the documented one: a notification sent by dbus-send, with no
// part of our code on the sending side, arrives.
TEST_F(Notifications, AnyDBusClientCanPostUsingTheDocumentedSignal) {
    if (std::system("command -v dbus-send >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "dbus-send is not installed";
    CFNotificationCenterAddObserver(center(), &seen, record, CFSTR("From Shell"), nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    int rc = std::system(
        "dbus-send --session --type=signal /org/vantrel/DistributedNotificationCenter "
        "org.vantrel.DistributedNotificationCenter.Notification string:'From Shell' "
        "string:'com.ashgrove.preference.Vantrel' string:''");
    ASSERT_EQ(rc, 0);
    pump(seen, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].object, "com.ashgrove.preference.Vantrel");
}

// Another program may post anything as user info: nested far deeper than the
// reader's limit, or not a property list at all. Observers get the
// notification with no user info, and their process does not crash.
TEST_F(Notifications, HostileUserInfoFromAnotherProgramArrivesAsNone) {
    CFNotificationCenterAddObserver(center(), &seen, record, CFSTR("Hostile"), nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    std::string deep = "<plist version=\"1.0\"><dict><key>text</key>";
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    for (int i = 0; i < 100000; ++i) deep += "</array>";
    deep += "</dict></plist>";
    const std::string infos[] = {
        deep, "<plist version=\"1.0\"><dict><key>text</key><string>torn",
        "<plist version=\"1.0\"><dict><key>text</key><string>fine</string></dict></plist>"};
    pid_t pid = fork();
    if (pid == 0) {
        sd_bus* bus = nullptr;
        if (sd_bus_open_user(&bus) < 0) _exit(2);
        for (const std::string& info : infos)
            if (sd_bus_emit_signal(bus, "/org/vantrel/DistributedNotificationCenter",
                                   "org.vantrel.DistributedNotificationCenter", "Notification",
                                   "sss", "Hostile", "", info.c_str()) < 0)
                _exit(3);
        sd_bus_flush(bus);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    pump(seen, 3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].info_count, -1);
    EXPECT_EQ(seen[1].info_count, -1);
    EXPECT_EQ(seen[2].info_text, "fine");
}

TEST(NotificationsWithoutBus, PostHasNoEffectAndNoError) {
    TempDir runtime("nobus");
    pid_t pid = fork();
    if (pid == 0) {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        int rc = 0;
        if (CFNotificationCenterIsAvailable(center())) rc = 1;
        std::vector<Seen> seen;
        CFNotificationCenterAddObserver(center(), &seen, record, nullptr, nullptr,
                                        CFNotificationSuspensionBehaviorDeliverImmediately);
        CFNotificationCenterPostNotification(center(), CFSTR("Preferences Changed"),
                                             CFSTR("com.ashgrove.preference.Vantrel"), nullptr,
                                             true);
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true) != kCFRunLoopRunFinished) rc = 2;
        if (!seen.empty()) rc = 3;
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // A connection fault behaves the same way.
    pid = fork();
    if (pid == 0) {
        vantrel::fault::fail_nth("CFNotificationCenterGetDistributedCenter.connect", 1, ioErr,
                                 true);
        _exit(CFNotificationCenterIsAvailable(center()) ? 1 : 0);
    }
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A session bus that takes the connection but never answers (a stopped or
// overloaded dbus-daemon) costs a post a bounded wait, never a hang: a host
// leaving its pane must still end, and SIGTERM cannot interrupt a blocked post.
TEST(NotificationsWithoutBus, AHungBusCostsAPostABoundedWait) {
    TempDir dir("mute");
    std::string path = (dir / "bus").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);  // connections wait in the backlog, unanswered
    pid_t pid = fork();
    if (pid == 0) {
        ::alarm(60);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
        auto start = std::chrono::steady_clock::now();
        CFNotificationCenterPostNotification(center(), CFSTR("Preferences Changed"),
                                             CFSTR("com.ashgrove.preference.Vantrel"), nullptr,
                                             true);
        CFNotificationCenterPostNotification(center(), CFSTR("Preferences Changed"), nullptr,
                                             nullptr, true);
        _exit(std::chrono::steady_clock::now() - start < std::chrono::seconds(30) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ::close(listener);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "hung: killed by signal " + std::to_string(WTERMSIG(status))
                                : "too slow");
}

}  // namespace
