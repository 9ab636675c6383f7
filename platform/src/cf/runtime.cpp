// Reference counting, type identity, equality, hashing and descriptions for
// every CF type.
#include <cmath>
#include <cstring>
#include <ctime>

#include "cf/objects.h"

using namespace vantrel::cf_detail;

namespace vantrel::cf {

namespace {

CFHashCode mix(const void* p, std::size_t n) {
    // FNV-1a: small keys, no need for more.
    std::uint64_t h = 1469598103934665603ull;
    auto b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
    return static_cast<CFHashCode>(h);
}

std::string format_number(const __CFNumber* n) {
    if (!n->isFloat && n->isUnsigned) return std::to_string(static_cast<std::uint64_t>(n->i));
    if (!n->isFloat) return std::to_string(n->i);
    char buf[64];
    if (std::isfinite(n->d) && n->d == std::trunc(n->d) && std::fabs(n->d) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.0f", n->d);
    } else {
        std::snprintf(buf, sizeof buf, "%.17g", n->d);
    }
    return buf;
}

}  // namespace

std::string describe(CFTypeRef cf) {
    if (cf == nullptr) return "(null)";
    switch (base(cf)->type_) {
        case kStringTypeID:
            return to_utf8(static_cast<CFStringRef>(cf));
        case kBooleanTypeID:
            return static_cast<const __CFBoolean*>(cf)->value ? "true" : "false";
        case kNumberTypeID:
            return format_number(static_cast<const __CFNumber*>(cf));
        case kDateTypeID: {
            double t = static_cast<const __CFDate*>(cf)->at + kCFAbsoluteTimeIntervalSince1970;
            std::time_t secs = static_cast<std::time_t>(std::floor(t));
            std::tm tm{};
            gmtime_r(&secs, &tm);
            char buf[64];
            std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
            return buf;
        }
        case kDataTypeID: {
            auto d = static_cast<const __CFData*>(cf);
            std::string out = "<";
            char hex[3];
            for (std::size_t i = 0; i < d->bytes.size(); ++i) {
                if (i && i % 4 == 0) out += ' ';
                std::snprintf(hex, sizeof hex, "%02x", d->bytes[i]);
                out += hex;
            }
            return out + ">";
        }
        case kArrayTypeID: {
            auto a = static_cast<const __CFArray*>(cf);
            std::string out = "(";
            for (std::size_t i = 0; i < a->values.size(); ++i)
                out += (i ? ", " : "") + describe(a->values[i]);
            return out + ")";
        }
        case kDictionaryTypeID: {
            auto d = static_cast<const __CFDictionary*>(cf);
            std::string out = "{";
            for (auto& e : d->entries) out += describe(e.key) + " = " + describe(e.value) + "; ";
            return out + "}";
        }
        default:
            return "<CFType>";
    }
}

}  // namespace vantrel::cf

using namespace vantrel::cf;

CFTypeRef CFRetain(CFTypeRef cf) {
    if (cf == nullptr) return nullptr;
    auto b = const_cast<__CFRuntimeBase*>(base(cf));
    if (!(b->flags_ & __CFRuntimeBase::kImmortal)) b->rc_.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (cf == nullptr) return;
    auto b = const_cast<__CFRuntimeBase*>(base(cf));
    if (b->flags_ & __CFRuntimeBase::kImmortal) return;
    if (b->rc_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    switch (b->type_) {
        case kStringTypeID:
            destroy_string(static_cast<const __CFString*>(cf));
            break;
        case kNumberTypeID:
            delete static_cast<const __CFNumber*>(cf);
            break;
        case kDateTypeID:
            delete static_cast<const __CFDate*>(cf);
            break;
        case kDataTypeID:
            delete static_cast<const __CFData*>(cf);
            break;
        case kArrayTypeID:
            destroy_array(static_cast<const __CFArray*>(cf));
            break;
        case kDictionaryTypeID:
            destroy_dictionary(static_cast<const __CFDictionary*>(cf));
            break;
        default:
            break;  // singletons (notification centres) are never freed
    }
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    if (cf == nullptr) return 0;
    if (base(cf)->flags_ & __CFRuntimeBase::kImmortal) return 0x7fffffff;
    return base(cf)->rc_.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    return cf ? base(cf)->type_ : 0;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    if (a == b) return a != nullptr;
    if (a == nullptr || b == nullptr || base(a)->type_ != base(b)->type_) return false;
    switch (base(a)->type_) {
        case kStringTypeID:
            return string_equal(static_cast<const __CFString*>(a),
                                static_cast<const __CFString*>(b));
        case kBooleanTypeID:
            return static_cast<const __CFBoolean*>(a)->value ==
                   static_cast<const __CFBoolean*>(b)->value;
        case kNumberTypeID:
            return number_equal(static_cast<const __CFNumber*>(a),
                                static_cast<const __CFNumber*>(b));
        case kDateTypeID:
            return static_cast<const __CFDate*>(a)->at == static_cast<const __CFDate*>(b)->at;
        case kDataTypeID:
            return static_cast<const __CFData*>(a)->bytes == static_cast<const __CFData*>(b)->bytes;
        case kArrayTypeID:
            return array_equal(static_cast<const __CFArray*>(a), static_cast<const __CFArray*>(b));
        case kDictionaryTypeID:
            return dictionary_equal(static_cast<const __CFDictionary*>(a),
                                    static_cast<const __CFDictionary*>(b));
        default:
            return false;
    }
}

CFHashCode CFHash(CFTypeRef cf) {
    if (cf == nullptr) return 0;
    switch (base(cf)->type_) {
        case kStringTypeID:
            return string_hash(static_cast<const __CFString*>(cf));
        case kBooleanTypeID:
            return static_cast<const __CFBoolean*>(cf)->value ? 1 : 0;
        case kNumberTypeID:
            return number_hash(static_cast<const __CFNumber*>(cf));
        case kDateTypeID: {
            double t = static_cast<const __CFDate*>(cf)->at;
            return mix(&t, sizeof t);
        }
        case kDataTypeID: {
            auto& v = static_cast<const __CFData*>(cf)->bytes;
            return mix(v.data(), v.size());
        }
        case kArrayTypeID:
            return static_cast<const __CFArray*>(cf)->values.size();
        case kDictionaryTypeID:
            return static_cast<const __CFDictionary*>(cf)->entries.size();
        default:
            return reinterpret_cast<std::uintptr_t>(cf);
    }
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
    if (cf == nullptr) return nullptr;
    if (is(cf, kStringTypeID)) return static_cast<CFStringRef>(CFRetain(cf));
    return string_from_utf8(describe(cf));
}

CFStringRef CFCopyTypeIDDescription(CFTypeID id) {
    switch (id) {
        case kStringTypeID:
            return CFSTR("CFString");
        case kBooleanTypeID:
            return CFSTR("CFBoolean");
        case kNumberTypeID:
            return CFSTR("CFNumber");
        case kDateTypeID:
            return CFSTR("CFDate");
        case kDataTypeID:
            return CFSTR("CFData");
        case kArrayTypeID:
            return CFSTR("CFArray");
        case kDictionaryTypeID:
            return CFSTR("CFDictionary");
        case kNotificationCenterTypeID:
            return CFSTR("CFNotificationCenter");
        default:
            return nullptr;
    }
}
