// Helpers for the preference-store tests: a private XDG_CONFIG_HOME and raw
// access to the domain file through libplist, independent of the store.
#pragma once

#include <plist/plist.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "TempDir.h"
#include "vantrel/CoreFoundation.h"

namespace vtest {

struct PrefsHome {
    TempDir dir{"prefs"};
    PrefsHome() { ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); }
    fs::path file(const std::string& app = "com.ashgrove.Vantrel") const {
        return dir.path() / (app + ".plist");
    }
};

// Parses a file with libplist; null when it does not parse.
inline plist_t parse_file(const fs::path& p) {
    std::string s = read_file(p);
    plist_t out = nullptr;
    if (!s.empty()) plist_from_xml(s.data(), static_cast<uint32_t>(s.size()), &out);
    return out;
}

inline std::string cf_utf8(CFStringRef s) {
    std::string out;
    for (CFIndex i = 0; i < CFStringGetLength(s); ++i) {
        UniChar c = CFStringGetCharacterAtIndex(s, i);
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            out += '?';
    }
    return out;
}

inline CFStringRef create_cfstr(const std::string& s) {
    return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8);
}

// A D-Bus session bus of the test's own, so that notifications counted by a
// test are not mixed with those of tests running beside it. Must be made
// before the process first uses the notification centre.
struct PrivateBus {
    pid_t pid = -1;
    std::string address;
    PrivateBus() {
        if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0) return;
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--print-address=1", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(fds[1]);
        char buf[512];
        std::string line;
        ssize_t n;
        while (line.find('\n') == std::string::npos && (n = ::read(fds[0], buf, sizeof buf)) > 0)
            line.append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
        if (auto nl = line.find('\n'); nl != std::string::npos) address = line.substr(0, nl);
        if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    bool ok() const { return !address.empty(); }
    ~PrivateBus() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

}  // namespace vtest
