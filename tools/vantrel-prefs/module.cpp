// Finding and loading the window's module. It sits beside the executable in
// the build tree, and in <libdir>/vantrel once installed (found relative to
// the executable, so an installed tree can be moved).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "host.h"

namespace vprefs {
namespace {

void mark_through_host(const char* what) {
    startup_mark(what);
}

int take_through_host(bool* resized) {
    return Signals::take(resized);
}

}  // namespace

void startup_mark(const char* what) {
    static const int fd = [] {
        const char* v = std::getenv("VANTREL_PREFS_TIMING_FD");
        if (v == nullptr || *v == '\0') return -1;
        char* end = nullptr;
        long n = std::strtol(v, &end, 10);
        return *end == '\0' && n > 2 && n < INT_MAX ? static_cast<int>(n) : -1;
    }();
    if (fd < 0) return;
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    std::string line =
        std::string(what) + " " +
        std::to_string(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec) + "\n";
    [[maybe_unused]] ssize_t w = ::write(fd, line.data(), line.size());  // a measurement aid only
}

std::unique_ptr<FrontEnd> make_window_front_end(std::string* error) {
    const std::string dir = executable_dir();
    const std::string candidates[] = {
        dir + "/" + kWindowModule, dir + "/" VANTREL_PREFS_MODULE_FROM_BINDIR "/" + kWindowModule};
    std::string why;
    void* handle = nullptr;
    for (const auto& path : candidates) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        // dlopen would open a FIFO and wait for a writer for ever, with the
        // ending signals only queued: only a regular file is a module.
        if (!S_ISREG(st.st_mode)) {
            why = "cannot load " + path + ": not a regular file";
            continue;
        }
        // Never closed: the toolkit cannot be unloaded once it has started.
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) break;
        const char* e = ::dlerror();
        why = "cannot load " + path + (e ? std::string(": ") + e : std::string());
    }
    if (handle == nullptr) {
        *error = why.empty() ? std::string("the window module ") + kWindowModule +
                                   " is not installed (looked in " + dir + " and " + dir +
                                   "/" VANTREL_PREFS_MODULE_FROM_BINDIR ")"
                             : why;
        return nullptr;
    }
    auto make = reinterpret_cast<MakeModuleFrontEnd>(::dlsym(handle, kWindowModuleEntry));
    if (make == nullptr) {
        *error = std::string(kWindowModule) + " has no entry point " + kWindowModuleEntry;
        return nullptr;
    }
    static const ModuleHost host{sizeof(ModuleHost), &Signals::fd, &take_through_host,
                                 &mark_through_host};
    return std::unique_ptr<FrontEnd>(make(&host, error));
}

}  // namespace vprefs
