// Small helpers shared by the File Manager platform tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "TempDir.h"
#include "text/codec.h"
#include "vantrel/Files.h"

namespace fmtest {

inline std::u16string u16(std::string_view utf8) {
    std::u16string out;
    vantrel::text::utf8_to_utf16(utf8, &out);
    return out;
}

inline const UniChar* uc(const std::u16string& s) {
    return reinterpret_cast<const UniChar*>(s.data());
}

inline std::string utf8(const HFSUniStr255& n) {
    std::string out;
    vantrel::text::utf16_to_utf8(n.unicode, n.length, &out);
    return out;
}

inline FSRef ref_of(const std::filesystem::path& p) {
    FSRef r{};
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &r, nullptr), noErr) << p;
    return r;
}

inline std::string path_of(const FSRef& r) {
    UInt8 buf[4096];
    if (FSRefMakePath(&r, buf, sizeof buf) != noErr) return "<error>";
    return reinterpret_cast<const char*>(buf);
}

inline ino_t ino_of(const std::filesystem::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

inline bool present(const std::filesystem::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace fmtest
