// FNNotify, FNSubscribe, FNUnsubscribe: directory-change announcements, in
// this process only. What they promise is on their declarations in
// vantrel/Files.h.
//
// The registry's lock is recursive so that a callback, which runs with it
// held, may subscribe, unsubscribe or notify again. FNUnsubscribe only marks
// a subscription inactive; the outermost delivery removes ended ones, so the
// index loop of a delivery never sees its vector shrink. Tests and tools subscribe to every
// directory (a null directory) to prove that no announcement was made.

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "fm/ref_node.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("FNSubscribe", "FNUnsubscribe", "FNNotify");

struct OpaqueFNSubscriptionRef {
    bool all;
    FSVolumeRefNum volume;
    UInt32 nodeID;
    FNSubscriptionUPP callback;
    void* context;
    bool active;
};

namespace {

struct Registry {
    std::recursive_mutex mu;
    std::vector<std::unique_ptr<OpaqueFNSubscriptionRef>> subs;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives static destructors that may still notify
    return *r;
}

// The directory's identity; fails for a reference to nothing, or to a file.
// Resolved inside the layer, so announcing does not count as a catalogue call.
OSErr directory_key(const FSRef* ref, FSVolumeRefNum* volume, UInt32* nodeID) {
    vantrel::fm::Node n;
    if (OSErr err = vantrel::fm::resolve(ref, &n)) return err;
    if (!n.is_dir()) return dirNFErr;
    *volume = n.vref;
    *nodeID = n.nodeID;
    return noErr;
}

}  // namespace

extern "C" OSStatus FNSubscribe(const FSRef* directoryRef, FNSubscriptionUPP callback,
                                void* context, OptionBits options,
                                FNSubscriptionRef* subscription) {
    (void)options;  // no option changes in-process delivery
    if (OSErr e = vantrel::fault::check("FNSubscribe")) return e;
    if (callback == nullptr || subscription == nullptr) return paramErr;
    auto sub = std::make_unique<OpaqueFNSubscriptionRef>();
    sub->all = directoryRef == nullptr;
    sub->callback = callback;
    sub->context = context;
    sub->active = true;
    if (!sub->all) {
        if (OSErr err = directory_key(directoryRef, &sub->volume, &sub->nodeID)) return err;
    }
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    *subscription = sub.get();
    r.subs.push_back(std::move(sub));
    return noErr;
}

extern "C" OSStatus FNUnsubscribe(FNSubscriptionRef subscription) {
    if (OSErr e = vantrel::fault::check("FNUnsubscribe")) return e;
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    // Looked up, never dereferenced blindly: a stale or foreign pointer is an error.
    auto it = std::find_if(r.subs.begin(), r.subs.end(), [subscription](const auto& s) {
        return s.get() == subscription && s->active;
    });
    if (it == r.subs.end()) return paramErr;
    (*it)->active = false;
    return noErr;
}

extern "C" OSStatus FNNotify(const FSRef* ref, FNMessage message, OptionBits flags) {
    if (OSErr e = vantrel::fault::check("FNNotify")) return e;
    if (ref == nullptr) return paramErr;
    FSVolumeRefNum volume = 0;
    UInt32 nodeID = 0;
    if (OSErr err = directory_key(ref, &volume, &nodeID)) return err;

    Registry& r = registry();
    std::lock_guard lk(r.mu);
    // Nesting depth of deliveries on this thread (a callback may notify again);
    // ended subscriptions are removed only by the outermost one.
    static thread_local int depth = 0;
    ++depth;
    // Index loop: callbacks may append to the vector while we walk it. Only the
    // subscriptions present when the announcement started are considered.
    const std::size_t n = r.subs.size();
    for (std::size_t i = 0; i < n; ++i) {
        OpaqueFNSubscriptionRef* s = r.subs[i].get();
        if (!s->active) continue;
        if (!s->all && (s->volume != volume || s->nodeID != nodeID)) continue;
        s->callback(message, flags, s->context, s);
    }
    if (--depth == 0) std::erase_if(r.subs, [](const auto& s) { return !s->active; });
    return noErr;
}
