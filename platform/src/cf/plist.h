// Conversion between CF property-list objects and libplist nodes: the
// preference files, Info.plist files and notification user info all use it.
#pragma once

#include <plist/plist.h>

#include <string>

#include "vantrel/CoreFoundation.h"

namespace vantrel::cf {

// A new libplist node for a property-list object; null when `cf` (or
// anything inside it) is not a property-list type or a dictionary key is not
// a string.
plist_t to_plist(CFTypeRef cf);
// A new CF object for a node (null for a null node).
CFTypeRef from_plist(plist_t node);
// Parses XML or binary property-list bytes; null when they do not parse.
plist_t parse_plist(const char* data, std::size_t len);
// XML text of a node.
std::string to_xml(plist_t node);

// Owns a libplist node.
struct PlistPtr {
    plist_t p = nullptr;
    PlistPtr() = default;
    explicit PlistPtr(plist_t n) : p(n) {}
    PlistPtr(const PlistPtr&) = delete;
    PlistPtr& operator=(const PlistPtr&) = delete;
    PlistPtr(PlistPtr&& o) noexcept : p(o.p) { o.p = nullptr; }
    PlistPtr& operator=(PlistPtr&& o) noexcept {
        if (this != &o) {
            reset();
            p = o.p;
            o.p = nullptr;
        }
        return *this;
    }
    ~PlistPtr() { reset(); }
    void reset(plist_t n = nullptr) {
        if (p) plist_free(p);
        p = n;
    }
    plist_t release() {
        plist_t n = p;
        p = nullptr;
        return n;
    }
    explicit operator bool() const { return p != nullptr; }
};

}  // namespace vantrel::cf
