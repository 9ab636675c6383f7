// NSObject reference counting, autorelease pools and strings.
#include "cf/objects.h"

#include <cstdarg>
#include <cstdio>

#include "vantrel/Cocoa.h"

namespace {
thread_local NSAutoreleasePool* t_pool = nullptr;
}

NSObject::NSObject() = default;
NSObject::~NSObject() = default;

NSObject* NSObject::retain() {
    if (!immortal_) rc_.fetch_add(1, std::memory_order_relaxed);
    return this;
}

void NSObject::release() {
    if (immortal_) return;
    if (rc_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

NSObject* NSObject::autorelease() {
    NSAutoreleasePool::add(this);
    return this;
}

NSInteger NSObject::retainCount() const {
    return immortal_ ? 0x7fffffff : rc_.load(std::memory_order_relaxed);
}

NSString* NSObject::description() {
    return NSString::stringWithUTF8String("<NSObject>");
}

NSAutoreleasePool::NSAutoreleasePool() : outer_(t_pool) {
    t_pool = this;
}

NSAutoreleasePool::~NSAutoreleasePool() {
    // Releasing may autorelease more (a description built in a destructor):
    // keep draining until nothing is left.
    while (!objects_.empty()) {
        std::vector<NSObject*> batch;
        batch.swap(objects_);
        for (NSObject* o : batch) o->release();
    }
    t_pool = outer_;
}

void NSAutoreleasePool::add(NSObject* o) {
    if (o == nullptr) return;
    if (t_pool == nullptr) {
        // Nothing would ever release it: say so once, as Cocoa does, and leak.
        static bool warned = false;
        if (!warned) std::fprintf(stderr, "autorelease with no pool in place: leaking\n");
        warned = true;
        return;
    }
    t_pool->objects_.push_back(o);
}

NSString::NSString(CFStringRef s) : cf_(static_cast<CFStringRef>(CFRetain(s ? s : CFSTR("")))) {}
NSString::~NSString() {
    CFRelease(cf_);
}

NSString* NSString::constant(CFStringRef s) {
    auto* n = new NSString(s);
    n->makeImmortal();
    return n;
}

NSString* NSString::stringWithCFString(CFStringRef s) {
    if (s == nullptr) return nil;
    return static_cast<NSString*>((new NSString(s))->autorelease());
}

NSString* NSString::stringWithUTF8String(const char* s) {
    if (s == nullptr) return nil;
    CFStringRef cf = vantrel::cf::string_from_utf8(s);
    NSString* out = stringWithCFString(cf);
    CFRelease(cf);
    return out;
}

const char* NSString::UTF8String() {
    if (!have_utf8_) {
        utf8_ = vantrel::cf::to_utf8(cf_);
        have_utf8_ = true;
    }
    return utf8_.c_str();
}

NSUInteger NSString::length() const {
    return static_cast<NSUInteger>(CFStringGetLength(cf_));
}

bool NSString::isEqualToString(NSString* other) const {
    return other && CFEqual(cf_, other->cf_);
}

NSString* NSString::stringWithFormat(NSString* format, ...) {
    if (format == nil) return nil;
    std::string fmt = vantrel::cf::to_utf8(format->CFString());
    std::string out;
    va_list ap;
    va_start(ap, format);
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%' || i + 1 == fmt.size()) {
            out += fmt[i];
            continue;
        }
        char spec = fmt[++i];
        bool isLong = false;
        if (spec == 'l' && i + 1 < fmt.size()) {
            isLong = true;
            spec = fmt[++i];
        }
        char buf[32];
        switch (spec) {
            case '@': {
                id obj = va_arg(ap, id);
                // The description is autoreleased: the innermost pool frees it (with no
                // pool in place it leaks, and says so once, as Cocoa does).
                // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks)
                out += obj ? vantrel::cf::to_utf8(obj->description()->CFString()) : "(null)";
                break;
            }
            case '%':
                out += '%';
                break;
            case 'd':
            case 'i':
                std::snprintf(buf, sizeof buf, "%ld",
                              isLong ? va_arg(ap, long) : static_cast<long>(va_arg(ap, int)));
                out += buf;
                break;
            case 'u':
                std::snprintf(buf, sizeof buf, "%lu",
                              isLong ? va_arg(ap, unsigned long)
                                     : static_cast<unsigned long>(va_arg(ap, unsigned)));
                out += buf;
                break;
            case 's': {
                const char* s = va_arg(ap, const char*);
                out += s ? s : "(null)";
                break;
            }
            default:  // not a conversion we know: keep it as written, consume nothing
                out += '%';
                if (isLong) out += 'l';
                out += spec;
        }
    }
    va_end(ap);
    return stringWithUTF8String(out.c_str());
}

NSCFValue::NSCFValue(CFTypeRef v) : v_(CFRetain(v)) {}
NSCFValue::~NSCFValue() {
    CFRelease(v_);
}
NSString* NSCFValue::description() {
    return NSString::stringWithUTF8String(vantrel::cf::describe(v_).c_str());
}
