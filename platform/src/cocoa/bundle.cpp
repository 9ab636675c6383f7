// NSBundle: a bundle directory and its information property list.
#include "cf/objects.h"
#include "cf/plist.h"
#include "vantrel/Cocoa.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("NSBundle.readInfo");

NSBundle::NSBundle(NSString* path, CFDictionaryRef info)
    : path_(static_cast<NSString*>(path->retain())), info_(info) {}

NSBundle::~NSBundle() {
    for (auto& [k, v] : wrapped_) {
        CFRelease(k);
        v->release();
    }
    CFRelease(info_);
    path_->release();
}

NSBundle* NSBundle::bundleWithPath(NSString* path) {
    if (path == nil) return nil;
    std::string p = vantrel::cf::to_utf8(path->CFString());
    std::string info = p + "/Contents/Info.plist";
    if (vantrel::fault::check("NSBundle.readInfo", info)) return nil;
    std::string bytes;
    if (!vantrel::cf::read_plist_file(info, &bytes)) return nil;
    CFTypeRef parsed = vantrel::cf::parse_plist(bytes);
    if (!vantrel::cf::is(parsed, vantrel::cf_detail::kDictionaryTypeID)) {
        CFRelease(parsed);
        return nil;
    }
    auto dict = static_cast<CFDictionaryRef>(parsed);
    return static_cast<NSBundle*>((new NSBundle(path, dict))->autorelease());
}

id NSBundle::objectForInfoDictionaryKey(NSString* key) {
    if (key == nil) return nil;
    for (auto& [k, v] : wrapped_)
        if (CFEqual(k, key->CFString())) return v;
    CFTypeRef value = CFDictionaryGetValue(info_, key->CFString());
    if (value == nullptr) return nil;
    NSObject* obj = CFGetTypeID(value) == CFStringGetTypeID()
                        ? static_cast<NSObject*>(new NSString(static_cast<CFStringRef>(value)))
                        : static_cast<NSObject*>(new NSCFValue(value));
    wrapped_.emplace_back(static_cast<CFStringRef>(CFRetain(key->CFString())), obj);
    return obj;
}

std::string NSBundle::contentsPath() const {
    return vantrel::cf::to_utf8(path_->CFString()) + "/Contents";
}
std::string NSBundle::resourcePath() const {
    return contentsPath() + "/Resources";
}
