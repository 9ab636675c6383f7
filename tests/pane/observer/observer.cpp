// A separate process that observes distributed notifications and prints each
// one as "name|object|user info keys", for the pane tests. Prints READY once
// it is listening; exits after the notification named "Observer Stop" or
// after the given number of seconds (default 20).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vantrel/CoreFoundation.h"

namespace {
bool g_stop = false;

std::string utf8(CFStringRef s) {
    if (s == nullptr) return "(null)";
    char buf[1024];
    std::string out;
    for (CFIndex i = 0; i < CFStringGetLength(s); ++i) {
        UniChar c = CFStringGetCharacterAtIndex(s, i);
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    (void)buf;
    return out;
}

void on_note(CFNotificationCenterRef, void*, CFNotificationName name, const void* object,
             CFDictionaryRef info) {
    if (CFEqual(name, CFSTR("Observer Stop"))) {
        g_stop = true;
        return;
    }
    std::printf("%s|%s|%s\n", utf8(name).c_str(), utf8(static_cast<CFStringRef>(object)).c_str(),
                info ? std::to_string(CFDictionaryGetCount(info)).c_str() : "(null)");
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    CFNotificationCenterRef c = CFNotificationCenterGetDistributedCenter();
    if (!CFNotificationCenterIsAvailable(c)) {
        std::printf("NOBUS\n");
        return 3;
    }
    CFNotificationCenterAddObserver(c, nullptr, on_note, nullptr, nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    std::printf("READY\n");
    std::fflush(stdout);
    CFAbsoluteTime end = CFAbsoluteTimeGetCurrent() + seconds;
    while (!g_stop && CFAbsoluteTimeGetCurrent() < end)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, true);
    return g_stop ? 0 : 4;
}
