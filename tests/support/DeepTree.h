// Deep trees for tests: a chain of directories far deeper than PATH_MAX
// allows to name, built and run the way hostile conditions have it (a small
// thread stack, a low descriptor limit), on a tmpfs where the test may mount
// one (creating 10,000 nested directories on a busy ext4 takes half a
// minute), else in the scratch directory itself.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "Child.h"

namespace vtest {

// Runs `body` on a thread whose machine stack is `bytes` (1 MiB by default,
// as threads of other programs often have).
inline void run_on_small_stack(const std::function<void()>& body, std::size_t bytes = 1 << 20) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, bytes);
    pthread_t th;
    auto trampoline = [](void* p) -> void* {
        (*static_cast<const std::function<void()>*>(p))();
        return nullptr;
    };
    int rc = pthread_create(&th, &attr, trampoline, const_cast<std::function<void()>*>(&body));
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("pthread_create failed");
    pthread_join(th, nullptr);
}

// Makes `depth` nested directories `name` inside `top` (relative to
// descriptors: the path is far too long to use) and returns a descriptor of
// the deepest, or -1.
inline int make_chain(const std::filesystem::path& top, int depth, const char* name = "d") {
    int fd = ::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        int next = ::mkdirat(fd, name, 0755) == 0
                       ? ::openat(fd, name, O_PATH | O_DIRECTORY | O_CLOEXEC)
                       : -1;
        ::close(fd);
        fd = next;
    }
    return fd;
}

// Runs `body(dir)` in a child process with at most `maxFiles` descriptors,
// where `dir` (an empty directory inside `scratch`) is a tmpfs when the
// child may mount one. The body returns "" or what went wrong.
inline std::optional<std::string> in_deep_scratch(
    const std::filesystem::path& scratch, rlim_t maxFiles,
    const std::function<std::string(const std::filesystem::path&)>& body) {
    const std::filesystem::path dir = scratch / "deep";
    std::filesystem::create_directory(dir);
    auto run = [&]() -> std::string {
        struct rlimit rl {
            maxFiles, maxFiles
        };
        if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) return "setrlimit failed";
        return body(dir);
    };
    auto result = run_child(Child::PrivateMounts, [&]() -> std::string {
        if (::mount("vt-deep", dir.c_str(), "tmpfs", 0, "size=256m") != 0) return "SKIP";
        std::string msg = run();
        ::umount2(dir.c_str(), MNT_DETACH);
        return msg;
    });
    if (!result || *result == "SKIP") {
        result = run_child(Child::Plain, run);
        std::system(("rm -rf '" + dir.string() + "'").c_str());
    }
    return result;
}

}  // namespace vtest
