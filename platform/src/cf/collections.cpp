// CFArray and CFDictionary. Both are small in this system (preference
// domains, user info), so a dictionary is a vector of entries with cached
// hashes: insertion order is kept and lookups stay cheap.
#include "cf/objects.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("CFArrayCreate", "CFDictionaryCreate");

using namespace vantrel::cf_detail;
using namespace vantrel::cf;

namespace {
const void* cf_retain(CFAllocatorRef, const void* v) {
    return CFRetain(v);
}
void cf_release(CFAllocatorRef, const void* v) {
    CFRelease(v);
}
CFStringRef cf_copy_description(const void* v) {
    return CFCopyDescription(v);
}
Boolean cf_equal(const void* a, const void* b) {
    return CFEqual(a, b);
}
CFHashCode cf_hash(const void* v) {
    return CFHash(v);
}
const void* cf_copy_string(CFAllocatorRef, const void* v) {
    return CFStringCreateCopy(nullptr, static_cast<CFStringRef>(v));
}

bool same_value(CFArrayEqualCallBack eq, const void* a, const void* b) {
    return eq ? eq(a, b) != 0 : a == b;
}
}  // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, cf_retain, cf_release, cf_copy_description,
                                                cf_equal};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, cf_retain, cf_release, cf_copy_description, cf_equal, cf_hash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, cf_copy_string, cf_release, cf_copy_description, cf_equal, cf_hash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, cf_retain, cf_release,
                                                                    cf_copy_description, cf_equal};

CFTypeID CFArrayGetTypeID(void) {
    return kArrayTypeID;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks* cb) {
    if (vantrel::fault::check("CFArrayCreate")) return nullptr;
    auto* a = new __CFArray(__CFRuntimeBase::kMutable);
    if (cb) a->cb = *cb;
    if (capacity > 0) a->values.reserve(static_cast<std::size_t>(capacity));
    return a;
}

CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values, CFIndex n,
                         const CFArrayCallBacks* cb) {
    if (n < 0 || (values == nullptr && n > 0)) return nullptr;
    CFMutableArrayRef a = CFArrayCreateMutable(alloc, n, cb);
    if (a == nullptr) return nullptr;
    for (CFIndex i = 0; i < n; ++i) CFArrayAppendValue(a, values[i]);
    a->flags_ &= ~__CFRuntimeBase::kMutable;
    return a;
}

CFIndex CFArrayGetCount(CFArrayRef a) {
    return is(a, kArrayTypeID) ? static_cast<CFIndex>(a->values.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex idx) {
    if (!is(a, kArrayTypeID) || idx < 0 || idx >= static_cast<CFIndex>(a->values.size()))
        return nullptr;
    return a->values[static_cast<std::size_t>(idx)];
}

void CFArrayAppendValue(CFMutableArrayRef a, const void* v) {
    if (!is(a, kArrayTypeID) || !(a->flags_ & __CFRuntimeBase::kMutable)) return;
    a->values.push_back(a->cb.retain ? a->cb.retain(nullptr, v) : v);
}

namespace vantrel::cf {
void destroy_array(const __CFArray* a) {
    if (a->cb.release)
        for (const void* v : a->values) a->cb.release(nullptr, v);
    delete a;
}
bool array_equal(const __CFArray* a, const __CFArray* b) {
    if (a->values.size() != b->values.size()) return false;
    for (std::size_t i = 0; i < a->values.size(); ++i)
        if (!same_value(a->cb.equal, a->values[i], b->values[i])) return false;
    return true;
}
}  // namespace vantrel::cf

CFTypeID CFDictionaryGetTypeID(void) {
    return kDictionaryTypeID;
}

namespace {
CFHashCode key_hash(const __CFDictionary* d, const void* key) {
    return d->kcb.hash ? d->kcb.hash(key) : reinterpret_cast<std::uintptr_t>(key);
}
const __CFDictionary::Entry* find(const __CFDictionary* d, const void* key) {
    CFHashCode h = key_hash(d, key);
    for (auto& e : d->entries)
        if (e.hash == h && same_value(d->kcb.equal, e.key, key)) return &e;
    return nullptr;
}
}  // namespace

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* kcb,
                                                 const CFDictionaryValueCallBacks* vcb) {
    if (vantrel::fault::check("CFDictionaryCreate")) return nullptr;
    auto* d = new __CFDictionary(__CFRuntimeBase::kMutable);
    if (kcb) d->kcb = *kcb;
    if (vcb) d->vcb = *vcb;
    if (capacity > 0) d->entries.reserve(static_cast<std::size_t>(capacity));
    return d;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef alloc, const void** keys, const void** values,
                                   CFIndex n, const CFDictionaryKeyCallBacks* kcb,
                                   const CFDictionaryValueCallBacks* vcb) {
    if (n < 0 || ((keys == nullptr || values == nullptr) && n > 0)) return nullptr;
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(alloc, n, kcb, vcb);
    if (d == nullptr) return nullptr;
    for (CFIndex i = 0; i < n; ++i) CFDictionarySetValue(d, keys[i], values[i]);
    d->flags_ &= ~__CFRuntimeBase::kMutable;
    return d;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef d) {
    return is(d, kDictionaryTypeID) ? static_cast<CFIndex>(d->entries.size()) : 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef d, const void* key) {
    if (!is(d, kDictionaryTypeID)) return nullptr;
    auto* e = find(d, key);
    return e ? e->value : nullptr;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef d, const void* key) {
    return is(d, kDictionaryTypeID) && find(d, key) != nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef d, const void** keys, const void** values) {
    if (!is(d, kDictionaryTypeID)) return;
    std::size_t i = 0;
    for (auto& e : d->entries) {
        if (keys) keys[i] = e.key;
        if (values) values[i] = e.value;
        ++i;
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef d, const void* key, const void* value) {
    if (!is(d, kDictionaryTypeID) || !(d->flags_ & __CFRuntimeBase::kMutable)) return;
    const void* v = d->vcb.retain ? d->vcb.retain(nullptr, value) : value;
    if (auto* e = const_cast<__CFDictionary::Entry*>(find(d, key))) {
        if (d->vcb.release) d->vcb.release(nullptr, e->value);
        e->value = v;
        return;
    }
    const void* k = d->kcb.retain ? d->kcb.retain(nullptr, key) : key;
    d->entries.push_back({k, v, key_hash(d, key)});
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef d, const void* key) {
    if (!is(d, kDictionaryTypeID) || !(d->flags_ & __CFRuntimeBase::kMutable)) return;
    auto* e = find(d, key);
    if (e == nullptr) return;
    auto idx = static_cast<std::size_t>(e - d->entries.data());
    if (d->kcb.release) d->kcb.release(nullptr, e->key);
    if (d->vcb.release) d->vcb.release(nullptr, e->value);
    d->entries.erase(d->entries.begin() + static_cast<std::ptrdiff_t>(idx));
}

namespace vantrel::cf {
void destroy_dictionary(const __CFDictionary* d) {
    for (auto& e : d->entries) {
        if (d->kcb.release) d->kcb.release(nullptr, e.key);
        if (d->vcb.release) d->vcb.release(nullptr, e.value);
    }
    delete d;
}
bool dictionary_equal(const __CFDictionary* a, const __CFDictionary* b) {
    if (a->entries.size() != b->entries.size()) return false;
    for (auto& e : a->entries) {
        auto* o = find(b, e.key);
        if (o == nullptr || !same_value(a->vcb.equal, e.value, o->value)) return false;
    }
    return true;
}
}  // namespace vantrel::cf
