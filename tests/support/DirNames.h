// The names a folder holds on disk, as bytes, without "." and "..": what a
// test compares after a change, past every layer (readdir, not the File
// Manager, so hidden sidecars and private names are seen too).
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

namespace vtest {

// A folder that cannot be opened fails the test (and reads as empty), so a
// check that a folder was left empty does not pass when it is gone.
inline std::set<std::string> names_on_disk(const std::filesystem::path& dir) {
    std::set<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        ADD_FAILURE() << "cannot list " << dir << ": " << std::strerror(errno);
        return out;
    }
    while (const struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            out.insert(e->d_name);
    ::closedir(d);
    return out;
}

}  // namespace vtest
