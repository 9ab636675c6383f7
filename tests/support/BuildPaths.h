// Where a test finds the build's programs and files, worked out when it
// runs: a compile line that carried an absolute path would differ between
// two clones, and the compiler cache would serve neither from the other.
// CMake gives each path relative to the test program's own folder, which is
// the same in every clone; the sources are VANTREL_SOURCE_DIR, which CTest
// sets for every test.
//
//   // CMake: FMUTIL_FROM_TEST="$<PATH:RELATIVE_PATH,$<TARGET_FILE:fmutil>,...>"
//   #define FMUTIL_PATH (vtest::beside_test_program(FMUTIL_FROM_TEST))
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace vtest {

namespace build_paths_detail {

// `make(key)` made once per key, kept for the life of the process (the
// callers hand out its C string, execl takes those).
template <class Make>
const char* kept(std::map<std::string, std::string>& made, const char* key, Make make) {
    static std::mutex mu;
    std::lock_guard lk(mu);
    auto it = made.find(key);
    if (it == made.end()) it = made.emplace(key, make()).first;
    return it->second.c_str();
}

}  // namespace build_paths_detail

// The file `relative` (to the folder of the running test program) as an
// absolute path.
inline const char* beside_test_program(const char* relative) {
    static std::map<std::string, std::string> made;
    return build_paths_detail::kept(made, relative, [&] {
        std::error_code ec;
        const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) {
            std::fprintf(stderr, "test: cannot read /proc/self/exe: %s\n", ec.message().c_str());
            std::abort();
        }
        return (self.parent_path() / relative).lexically_normal().string();
    });
}

// VANTREL_SOURCE_DIR/relative; stops the test program when CTest did not
// say where the sources are.
inline const char* in_source_tree(const char* relative) {
    static std::map<std::string, std::string> made;
    return build_paths_detail::kept(made, relative, [&] {
        const char* src = std::getenv("VANTREL_SOURCE_DIR");
        if (src == nullptr || *src == 0) {
            std::fprintf(stderr,
                         "test: VANTREL_SOURCE_DIR does not name the sources (CTest sets it)\n");
            std::abort();
        }
        return (std::filesystem::path(src) / relative).string();
    });
}

}  // namespace vtest
