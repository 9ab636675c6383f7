// Helpers for the preference-store tests: a private XDG_CONFIG_HOME and raw
// access to the domain file through libplist, independent of the store.
#pragma once

#include <plist/plist.h>
#include <stdlib.h>

#include <string>

#include "TempDir.h"
#include "vantrel/CoreFoundation.h"

namespace vtest {

struct PrefsHome {
    TempDir dir{"prefs"};
    PrefsHome() { ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); }
    fs::path file(const std::string& app = "com.ashgrove.Vantrel") const {
        return dir.path() / (app + ".plist");
    }
};

// Parses a file with libplist; null when it does not parse.
inline plist_t parse_file(const fs::path& p) {
    std::string s = read_file(p);
    plist_t out = nullptr;
    if (!s.empty()) plist_from_xml(s.data(), static_cast<uint32_t>(s.size()), &out);
    return out;
}

inline std::string cf_utf8(CFStringRef s) {
    std::string out;
    for (CFIndex i = 0; i < CFStringGetLength(s); ++i) {
        UniChar c = CFStringGetCharacterAtIndex(s, i);
        if (c < 0x80) out += static_cast<char>(c);
        else out += '?';
    }
    return out;
}

inline CFStringRef cfstr(const std::string& s) {
    return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8);
}

}  // namespace vtest
