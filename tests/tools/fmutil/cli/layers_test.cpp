// fmutil is a front over the File Manager and the text encodings: what it
// knows of a file it learns through their calls, never from the system
// underneath. The linker cannot keep it there (the C library is always
// linked), so this test reads what fmutil's objects call: none of the calls
// that list folders, read or write extended attributes or look at an item
// by its path, and no "/proc/self/fd" path in its sources (the way round
// a layer's descriptors).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fmutil_run.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// The system calls fmutil leaves to the layers under it, each with the C
// library's other names for it (the large-file and versioned forms).
const std::set<std::string>& forbidden() {
    static const std::set<std::string> names = {
        // Listing a folder: the File Manager's iterators do it.
        "opendir", "fdopendir", "readdir", "readdir64", "readdir_r", "readdir64_r", "scandir",
        "scandir64", "scandirat", "getdents", "getdents64",
        // Extended attributes: the Mac metadata is the File Manager's, and so
        // is copying the others.
        "getxattr", "lgetxattr", "fgetxattr", "setxattr", "lsetxattr", "fsetxattr", "listxattr",
        "llistxattr", "flistxattr", "removexattr", "lremovexattr", "fremovexattr",
        // Looking at an item by its path: FSGetCatalogInfo does it on the
        // item its reference names.
        "stat", "stat64", "lstat", "lstat64", "fstatat", "fstatat64", "statx", "statvfs",
        "statvfs64", "__xstat", "__xstat64", "__lxstat", "__lxstat64", "__fxstatat",
        "__fxstatat64"};
    return names;
}

TEST(FmutilLayers, ObjectsCallNothingUnderTheFileManager) {
    std::ifstream list(FMUTIL_OBJECTS_LIST);
    ASSERT_TRUE(list) << "no list of fmutil's objects at " << FMUTIL_OBJECTS_LIST;
    std::vector<std::string> objects;
    for (std::string l; std::getline(list, l);)
        if (!l.empty()) objects.push_back(l);
    ASSERT_GE(objects.size(), 5u) << "fmutil has more sources than that";
    std::vector<std::string> args{"-u", "--format=just-symbols"};
    args.insert(args.end(), objects.begin(), objects.end());
    const fmtest::Result nm = fmtest::run_program(VANTREL_NM, args);
    ASSERT_EQ(nm.status, 0) << nm.err;
    std::set<std::string> seen;
    std::string wrong;
    for (const std::string& line : lines_of(nm.out)) {
        // "file.o:" heads each object's list when there are several.
        if (line.back() == ':') continue;
        std::string sym = line.substr(0, line.find('@'));  // "stat@GLIBC_2.33"
        seen.insert(sym);
        // std::filesystem looks at every path it is given.
        if (forbidden().count(sym) != 0 || sym.rfind("_ZNSt10filesystem", 0) == 0)
            wrong += " " + sym;
    }
    // The list is fmutil's calls at all: it names the File Manager's.
    ASSERT_EQ(seen.count("FSGetCatalogInfo"), 1u) << "nm listed no calls of fmutil:\n" << nm.out;
    EXPECT_EQ(wrong, "") << "fmutil calls under the File Manager:" << wrong;
}

TEST(FmutilLayers, SourcesNameNoDescriptorPaths) {
    std::string found;
    int read = 0;
    for (const auto& e : fs::recursive_directory_iterator(FMUTIL_SOURCE_TREE)) {
        const std::string ext = e.path().extension();
        if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
        std::ifstream in(e.path());
        std::stringstream text;
        text << in.rdbuf();
        ++read;
        if (text.str().find("/proc/self/fd") != std::string::npos)
            found += " " + e.path().filename().string();
    }
    ASSERT_GE(read, 5) << "no sources read under " << FMUTIL_SOURCE_TREE;
    EXPECT_EQ(found, "") << "a path through a descriptor, past the layer's own:" << found;
}

}  // namespace
