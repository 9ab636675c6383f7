#include "cf/plist.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cf/objects.h"

using namespace vantrel::cf_detail;

namespace vantrel::cf {

plist_t to_plist(CFTypeRef cf) {
    if (cf == nullptr) return nullptr;
    switch (base(cf)->type_) {
        case kBooleanTypeID:
            return plist_new_bool(static_cast<const __CFBoolean*>(cf)->value ? 1 : 0);
        case kStringTypeID:
            return plist_new_string(to_utf8(static_cast<CFStringRef>(cf)).c_str());
        case kNumberTypeID: {
            auto n = static_cast<const __CFNumber*>(cf);
            // An integer node holds the 64-bit pattern and is written signed.
            return n->is_float ? plist_new_real(n->d)
                               : plist_new_uint(static_cast<std::uint64_t>(n->i));
        }
        case kDateTypeID: {
            double t = static_cast<const __CFDate*>(cf)->at;
            double secs = std::floor(t);
            auto usec = static_cast<int32_t>(std::llround((t - secs) * 1e6));
            if (usec >= 1000000) {
                secs += 1;
                usec -= 1000000;
            }
            return plist_new_date(static_cast<int32_t>(secs), usec);
        }
        case kDataTypeID: {
            auto& b = static_cast<const __CFData*>(cf)->bytes;
            return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
        }
        case kArrayTypeID: {
            plist_t arr = plist_new_array();
            for (const void* v : static_cast<const __CFArray*>(cf)->values) {
                plist_t item = to_plist(v);
                if (item == nullptr) {
                    plist_free(arr);
                    return nullptr;
                }
                plist_array_append_item(arr, item);
            }
            return arr;
        }
        case kDictionaryTypeID: {
            plist_t dict = plist_new_dict();
            for (auto& e : static_cast<const __CFDictionary*>(cf)->entries) {
                plist_t item = is(e.key, kStringTypeID) ? to_plist(e.value) : nullptr;
                if (item == nullptr) {
                    plist_free(dict);
                    return nullptr;
                }
                plist_dict_set_item(dict, to_utf8(static_cast<CFStringRef>(e.key)).c_str(), item);
            }
            return dict;
        }
        default:
            return nullptr;
    }
}

CFTypeRef from_plist(plist_t node) {
    if (node == nullptr) return nullptr;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return v ? kCFBooleanTrue : kCFBooleanFalse;
        }
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            auto i = static_cast<std::int64_t>(v);
            return CFNumberCreate(nullptr, kCFNumberSInt64Type, &i);
        }
        case PLIST_UID: {
            uint64_t v = 0;
            plist_get_uid_val(node, &v);
            auto i = static_cast<std::int64_t>(v);
            return CFNumberCreate(nullptr, kCFNumberSInt64Type, &i);
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return CFNumberCreate(nullptr, kCFNumberFloat64Type, &d);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            char* s = nullptr;
            if (plist_get_node_type(node) == PLIST_KEY)
                plist_get_key_val(node, &s);
            else
                plist_get_string_val(node, &s);
            CFStringRef r = string_from_utf8(s ? s : "");
            std::free(s);
            return r;
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return CFDateCreate(nullptr, static_cast<double>(sec) + usec / 1e6);
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t len = 0;
            plist_get_data_val(node, &bytes, &len);
            CFDataRef d = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes),
                                       static_cast<CFIndex>(len));
            std::free(bytes);
            return d;
        }
        case PLIST_ARRAY: {
            CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
            uint32_t n = plist_array_get_size(node);
            for (uint32_t i = 0; i < n; ++i) {
                CFTypeRef v = from_plist(plist_array_get_item(node, i));
                if (v) {
                    CFArrayAppendValue(a, v);
                    CFRelease(v);
                }
            }
            return a;
        }
        case PLIST_DICT: {
            CFMutableDictionaryRef d = CFDictionaryCreateMutable(
                nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t val = nullptr;
                plist_dict_next_item(node, it, &key, &val);
                if (val == nullptr) {
                    std::free(key);
                    break;
                }
                CFStringRef k = string_from_utf8(key ? key : "");
                CFTypeRef v = from_plist(val);
                if (v) CFDictionarySetValue(d, k, v);
                CFRelease(k);
                CFRelease(v);
                std::free(key);
            }
            std::free(it);
            return d;
        }
        default:
            return nullptr;
    }
}

plist_t parse_plist(const char* data, std::size_t len) {
    if (data == nullptr || len == 0 || len > UINT32_MAX) return nullptr;
    plist_t out = nullptr;
    if (len >= 8 && std::memcmp(data, "bplist00", 8) == 0)
        plist_from_bin(data, static_cast<uint32_t>(len), &out);
    else
        plist_from_xml(data, static_cast<uint32_t>(len), &out);
    return out;
}

std::string to_xml(plist_t node) {
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    std::string out(xml ? xml : "", xml ? len : 0);
    plist_to_xml_free(xml);
    return out;
}

}  // namespace vantrel::cf
