// CFBoolean, CFNumber, CFDate and CFData.
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "cf/objects.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CFNumberCreate", "CFDateCreate", "CFDataCreate");

using namespace vantrel::cf_detail;
using namespace vantrel::cf;

namespace {
constinit __CFBoolean g_true{true};
constinit __CFBoolean g_false{false};

bool is_float_type(CFNumberType t) {
    return t == kCFNumberFloat32Type || t == kCFNumberFloat64Type || t == kCFNumberFloatType ||
           t == kCFNumberDoubleType || t == kCFNumberCGFloatType;
}

template <class T>
bool store_int(std::int64_t v, void* out) {
    T t = static_cast<T>(v);
    std::memcpy(out, &t, sizeof t);
    return static_cast<std::int64_t>(t) == v;
}
}  // namespace

const CFBooleanRef kCFBooleanTrue = &g_true;
const CFBooleanRef kCFBooleanFalse = &g_false;

CFTypeID CFBooleanGetTypeID(void) {
    return kBooleanTypeID;
}
Boolean CFBooleanGetValue(CFBooleanRef b) {
    return is(b, kBooleanTypeID) && b->value;
}

CFTypeID CFNumberGetTypeID(void) {
    return kNumberTypeID;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* p) {
    if (vantrel::fault::check("CFNumberCreate")) return nullptr;
    if (p == nullptr || type < 1 || type > kCFNumberMaxType) return nullptr;
    auto* n = new __CFNumber;
    n->type = type;
    n->isFloat = is_float_type(type);
    switch (type) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType: {
            std::int8_t v;
            std::memcpy(&v, p, 1);
            n->i = v;  // NOLINT(bugprone-signed-char-misuse): a signed 8-bit number, sign-extended
            break;
        }
        case kCFNumberSInt16Type:
        case kCFNumberShortType: {
            std::int16_t v;
            std::memcpy(&v, p, 2);
            n->i = v;
            break;
        }
        case kCFNumberSInt32Type:
        case kCFNumberIntType: {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            n->i = v;
            break;
        }
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType: {
            std::int64_t v;
            std::memcpy(&v, p, 8);
            n->i = v;
            break;
        }
        case kCFNumberFloat32Type:
        case kCFNumberFloatType: {
            float v;
            std::memcpy(&v, p, 4);
            n->d = v;
            break;
        }
        default: {
            double v;
            std::memcpy(&v, p, 8);
            n->d = v;
            break;
        }
    }
    return n;
}

CFNumberType CFNumberGetType(CFNumberRef n) {
    return is(n, kNumberTypeID) ? n->type : 0;
}
Boolean CFNumberIsFloatType(CFNumberRef n) {
    return is(n, kNumberTypeID) && n->isFloat;
}

namespace vantrel::cf {
double number_as_double(const __CFNumber* n) {
    if (n->isFloat) return n->d;
    return n->isUnsigned ? static_cast<double>(static_cast<std::uint64_t>(n->i))
                         : static_cast<double>(n->i);
}
}  // namespace vantrel::cf

Boolean CFNumberGetValue(CFNumberRef n, CFNumberType type, void* out) {
    if (!is(n, kNumberTypeID) || out == nullptr) return false;
    if (is_float_type(type)) {
        double d = number_as_double(n);
        if (type == kCFNumberFloat32Type || type == kCFNumberFloatType) {
            float f = static_cast<float>(d);
            std::memcpy(out, &f, sizeof f);
            return static_cast<double>(f) == d || std::isnan(d);
        }
        std::memcpy(out, &d, sizeof d);
        return n->isFloat || (!n->isUnsigned && static_cast<std::int64_t>(d) == n->i);
    }
    std::int64_t v = n->i;
    bool exact = true;
    if (n->isUnsigned) {
        v = std::numeric_limits<std::int64_t>::max();
        exact = false;
    } else if (n->isFloat) {
        double d = n->d;
        if (!(d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)) {
            v = d < 0 ? std::numeric_limits<std::int64_t>::min()
                      : std::numeric_limits<std::int64_t>::max();
            exact = false;
        } else {
            v = static_cast<std::int64_t>(d);
            exact = static_cast<double>(v) == d;
        }
    }
    switch (type) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            return store_int<std::int8_t>(v, out) && exact;
        case kCFNumberSInt16Type:
        case kCFNumberShortType:
            return store_int<std::int16_t>(v, out) && exact;
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            return store_int<std::int32_t>(v, out) && exact;
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType:
            return store_int<std::int64_t>(v, out) && exact;
        default:
            return false;
    }
}

namespace vantrel::cf {
bool number_equal(const __CFNumber* a, const __CFNumber* b) {
    if (!a->isFloat && !b->isFloat) return a->i == b->i && a->isUnsigned == b->isUnsigned;
    return number_as_double(a) == number_as_double(b);
}
CFHashCode number_hash(const __CFNumber* n) {
    double d = number_as_double(n);
    if (d == 0) d = 0;  // -0.0 and 0.0 are equal, so they hash alike
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return static_cast<CFHashCode>(bits * 0x9E3779B97F4A7C15ull);
}
}  // namespace vantrel::cf

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    using namespace std::chrono;
    double unixS = duration<double>(system_clock::now().time_since_epoch()).count();
    return unixS - kCFAbsoluteTimeIntervalSince1970;
}
CFTypeID CFDateGetTypeID(void) {
    return kDateTypeID;
}
CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
    if (vantrel::fault::check("CFDateCreate")) return nullptr;
    return new __CFDate(at);
}
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef d) {
    return is(d, kDateTypeID) ? d->at : 0;
}

CFTypeID CFDataGetTypeID(void) {
    return kDataTypeID;
}
CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (vantrel::fault::check("CFDataCreate")) return nullptr;
    if (length < 0 || (bytes == nullptr && length > 0)) return nullptr;
    auto* d = new __CFData;
    if (length) d->bytes.assign(bytes, bytes + length);
    return d;
}
CFIndex CFDataGetLength(CFDataRef d) {
    return is(d, kDataTypeID) ? static_cast<CFIndex>(d->bytes.size()) : 0;
}
const UInt8* CFDataGetBytePtr(CFDataRef d) {
    return is(d, kDataTypeID) && !d->bytes.empty() ? d->bytes.data() : nullptr;
}
