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
#include <utility>

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
// before the process first uses the notification centre. With
// `auth_timeout_ms` the bus drops a connection that has not finished its
// handshake within that time (Debian's session bus: 240 s), as long visits
// meet it; with `socket` it listens there, so that it can be stopped and
// started again at the same address (a bus restarted during a visit).
struct PrivateBus {
    pid_t pid = -1;
    std::string address;
    std::string config, socket;

    explicit PrivateBus(int auth_timeout_ms = 0, std::string socket_path = "")
        : socket(std::move(socket_path)) {
        if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0) return;
        if (auth_timeout_ms > 0) {
            char name[] = "/tmp/vantrel-bus-XXXXXX.conf";
            int fd = ::mkstemps(name, 5);
            if (fd < 0) return;
            std::string xml =
                "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n  <include>/usr/share/dbus-1/session.conf</include>\n"
                "  <limit name=\"auth_timeout\">" +
                std::to_string(auth_timeout_ms) + "</limit>\n</busconfig>\n";
            bool ok = ::write(fd, xml.data(), xml.size()) == static_cast<ssize_t>(xml.size());
            ::close(fd);
            if (!ok) return;
            config = name;
        }
        start();
    }
    bool ok() const { return !address.empty(); }
    // Starts the daemon (again); sets DBUS_SESSION_BUS_ADDRESS.
    void start() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            std::string conf = config.empty() ? "--session" : "--config-file=" + config;
            std::string addr = "--address=unix:path=" + socket;
            ::execlp("dbus-daemon", "dbus-daemon", conf.c_str(), "--nofork", "--nopidfile",
                     "--print-address=1", socket.empty() ? nullptr : addr.c_str(),
                     static_cast<char*>(nullptr));
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
        // At a fixed socket the address names no server GUID, as a desktop
        // session's does: a bus started again there has another one.
        if (!address.empty() && !socket.empty()) address = "unix:path=" + socket;
        if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    // Ends the daemon (as a crash or the end of a session would).
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (!socket.empty()) ::unlink(socket.c_str());
    }
    ~PrivateBus() {
        stop();
        if (!config.empty()) ::unlink(config.c_str());
    }
};

}  // namespace vtest
