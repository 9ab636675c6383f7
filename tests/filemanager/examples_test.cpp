// The guide's example programs: each one is listed in the guide, and each
// listed one exists, builds and runs to a successful end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

fs::path env_path(const char* name) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != 0) return fs::path(v);
    // The source tree is also recorded in the build tree's cache.
    if (std::string(name) == "VANTREL_SOURCE_DIR") {
        const char* b = std::getenv("VANTREL_BUILD_DIR");
        if (b == nullptr) return {};
        const std::string cache = vtest::read_file(fs::path(b) / "CMakeCache.txt");
        const std::string key = "Vantrel_SOURCE_DIR:STATIC=";
        const std::size_t at = cache.find(key);
        if (at == std::string::npos) return {};
        return fs::path(cache.substr(at + key.size(), cache.find('\n', at) - at - key.size()));
    }
    return {};
}

TEST(GuideExamples, EveryExampleIsListedAndEveryListedOneExists) {
    const fs::path src = env_path("VANTREL_SOURCE_DIR");
    if (src.empty()) GTEST_SKIP() << "VANTREL_SOURCE_DIR is not set (run through ctest)";
    const std::string guide = vtest::read_file(src / "docs/filemanager-guide.md");
    ASSERT_FALSE(guide.empty());
    std::set<std::string> onDisk;
    for (const auto& e : fs::directory_iterator(src / "docs/examples")) {
        if (e.path().extension() == ".cpp") onDisk.insert(e.path().filename().string());
    }
    EXPECT_GE(onDisk.size(), 4u) << "one example per group of functions";
    for (const std::string& name : onDisk) {
        EXPECT_NE(std::string::npos, guide.find("(examples/" + name + ")"))
            << name << " is not linked from the guide";
    }
    for (std::size_t at = guide.find("(examples/"); at != std::string::npos;
         at = guide.find("(examples/", at + 1)) {
        const std::size_t end = guide.find(')', at);
        const std::string name = guide.substr(at + 10, end - at - 10);
        EXPECT_TRUE(onDisk.count(name)) << "the guide links " << name << ", which does not exist";
    }
}

TEST(GuideExamples, EachProgramRunsToSuccessFromAnyDirectory) {
    const fs::path src = env_path("VANTREL_SOURCE_DIR"), build = env_path("VANTREL_BUILD_DIR");
    if (src.empty() || build.empty())
        GTEST_SKIP() << "VANTREL_SOURCE_DIR/VANTREL_BUILD_DIR not set (run through ctest)";
    vtest::TempDir cwd("examples");
    for (const auto& e : fs::directory_iterator(src / "docs/examples")) {
        if (e.path().extension() != ".cpp") continue;
        const fs::path exe = build / "tests/examples" / ("example_" + e.path().stem().string());
        ASSERT_TRUE(fs::exists(exe)) << exe << " was not built";
        const std::string cmd = "cd " + cwd.path().string() + " && " + exe.string() + " 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(nullptr, p);
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
        const int status = ::pclose(p);
        EXPECT_EQ(0, status) << exe.filename() << " said: " << out;
        EXPECT_TRUE(out.starts_with("err 0") || out.starts_with("lock 0"))
            << exe.filename() << " reported an error: " << out;
    }
    EXPECT_TRUE(fs::is_empty(cwd.path())) << "the examples leave nothing in the working directory";
}

}  // namespace
