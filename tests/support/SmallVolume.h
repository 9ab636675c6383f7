// A temporary directory on a volume that holds few files, for a test whose
// call walks the whole volume: a search for a file ID that no file carries
// reads every file, and on the root file system, with every build tree of
// the machine on it, that takes half a minute under the sanitizers.
#pragma once

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "TempDir.h"

namespace vtest {

// The shared-memory tmpfs, when it is a file system of its own that this
// user can write and that keeps user extended attributes (the file ID's
// marker is one); else "" (TempDir's usual place).
inline const std::string& small_volume_base() {
    static const std::string base = []() -> std::string {
        const std::string shm = "/dev/shm";
        struct statfs sf {};
        if (::statfs(shm.c_str(), &sf) != 0 || sf.f_type != TMPFS_MAGIC) return "";
        std::string probe = shm + "/vt-probe.XXXXXX";
        if (::mkdtemp(probe.data()) == nullptr) return "";
        const bool xattrs = ::setxattr(probe.c_str(), "user.vt-probe", "1", 1, 0) == 0;
        ::rmdir(probe.c_str());
        return xattrs ? shm : "";
    }();
    return base;
}

// A TempDir in small_volume_base(). TempDir makes its directory in $TMPDIR,
// which names the small volume while it does (and is put back at once).
inline TempDir small_volume_dir(const char* tag) {
    struct Restore {
        std::optional<std::string> old;
        ~Restore() {
            if (old)
                ::setenv("TMPDIR", old->c_str(), 1);
            else
                ::unsetenv("TMPDIR");
        }
    };
    const char* was = std::getenv("TMPDIR");
    const Restore restore{was ? std::optional<std::string>(was) : std::nullopt};
    if (!small_volume_base().empty()) ::setenv("TMPDIR", small_volume_base().c_str(), 1);
    return TempDir(tag);
}

}  // namespace vtest
