// File systems for the tests that must see how the File Manager behaves on
// each kind a server has: a sparse image made in a scratch directory,
// formatted with the file system's own mkfs and mounted through a loop device
// (which the kernel lets go of at the unmount), and the kernel's own file
// systems that need no device. Mount only inside a private mount namespace
// (run_child(Child::PrivateMounts, ...)), at a directory under the scratch
// directory; everything made is under it.
#pragma once

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace vtest {

// A file system a test can mount.
struct FileSystemKind {
    const char* name;  // as a table row shows it
    const char* mkfs;  // the command that formats an image (its path appended), or null
    const char* type;  // mount(2)'s type
    const char* data;  // mount(2)'s options
    unsigned imageMiB;
};

// Images are sparse: only what mkfs and the test write takes room.
inline constexpr FileSystemKind kExt4{"ext4", "mkfs.ext4 -q -F", "ext4", "", 32};
inline constexpr FileSystemKind kExt4NoBirth{"ext4 -I 128", "mkfs.ext4 -q -F -I 128", "ext4", "",
                                             32};
inline constexpr FileSystemKind kXfs{"xfs", "mkfs.xfs -q -f", "xfs", "", 320};
inline constexpr FileSystemKind kBtrfs{"btrfs", "mkfs.btrfs -q -f", "btrfs", "", 128};
inline constexpr FileSystemKind kTmpfs{"tmpfs", nullptr, "tmpfs", "size=8m", 0};

// Runs `cmd` with sh, its output discarded; true when it exited 0.
inline bool run_quietly(const std::string& cmd) {
    const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

inline std::string quoted(const std::filesystem::path& p) {
    std::string q = "'";
    for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Mounts a fresh file system of `kind` at `at` (an existing directory), its
// image (if it needs one) at `image`. "" when mounted; otherwise why not, for
// the caller to skip with: the tool is missing, or the kernel refused.
inline std::string mount_fresh(const FileSystemKind& kind, const std::filesystem::path& image,
                               const std::filesystem::path& at) {
    if (kind.mkfs == nullptr) {
        if (::mount(kind.name, at.c_str(), kind.type, 0, kind.data) != 0)
            return std::string("cannot mount ") + kind.name + ": " + std::strerror(errno);
        return "";
    }
    const std::string tool(kind.mkfs, std::strcspn(kind.mkfs, " "));
    if (!run_quietly("command -v " + tool)) return tool + " is not installed";
    if (!run_quietly("truncate -s " + std::to_string(kind.imageMiB) + "M " + quoted(image)))
        return "cannot make the image " + image.string();
    // What mkfs said goes into the reason to skip with. mkfs.btrfs looks
    // at every block device to see whether the image is part of a mounted
    // file system, and a loop device another test sets up or lets go of at
    // that moment can fail it: it is given a second try.
    const std::filesystem::path said = image.string() + ".mkfs";
    const std::string mkfs =
        std::string(kind.mkfs) + " " + quoted(image) + " >" + quoted(said) + " 2>&1";
    auto ran = [](const std::string& cmd) {
        const int rc = std::system(cmd.c_str());
        return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    };
    if (!ran(mkfs) && !ran(mkfs)) {
        std::string why;
        if (FILE* f = std::fopen(said.c_str(), "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f) != nullptr) why += line;
            std::fclose(f);
        }
        while (!why.empty() && why.back() == '\n') why.pop_back();
        return std::string(kind.mkfs) + " failed twice: " + why;
    }
    std::string opts = "loop";
    if (*kind.data != '\0') opts += std::string(",") + kind.data;
    if (!run_quietly("mount -t " + std::string(kind.type) + " -o " + opts + " " + quoted(image) +
                     " " + quoted(at)))
        return std::string("the kernel would not mount ") + kind.name + " from a loop device";
    return "";
}

}  // namespace vtest
