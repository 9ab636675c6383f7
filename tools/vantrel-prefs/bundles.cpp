// Where the host finds things relative to itself: the pane it shows when no
// --bundle is given. An installed host looks first in the user's own panes
// (~/.local/share/vantrel/PreferencePanes), then in the panes installed with
// it (<libdir>/vantrel/PreferencePanes, found from the executable, so that a
// tree installed under any prefix, or moved, finds its own pane). The host in
// the build tree shows the build tree's bundle, whatever the user installed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host.h"

namespace vprefs {
namespace {

constexpr const char* kPaneName = "Vantrel.prefPane";

bool is_dir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The same directory, by identity: the build tree's path may be spelled
// through a symbolic link.
bool same_dir(const std::string& a, const char* b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

std::string executable_dir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<std::size_t>(n));
    auto slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string default_bundle() {
    const std::string dir = executable_dir();
    if (same_dir(dir, VANTREL_BUILD_TREE_BINDIR)) return VANTREL_BUILD_TREE_BUNDLE;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        std::string mine = std::string(home) + "/.local/share/vantrel/PreferencePanes/" + kPaneName;
        if (is_dir(mine)) return mine;
    }
    return dir + "/" VANTREL_PREFS_MODULE_FROM_BINDIR "/PreferencePanes/" + kPaneName;
}

}  // namespace vprefs
