// The fault seam's state. Armed rules are rare and only set by tests, so a
// single mutex guards everything; the fast path is one atomic load.
#include "vantrel/fault.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::fault {
namespace {

struct NthRule {
    std::string op;
    long target;  // fire when the op's count since arming reaches this
    long seen = 0;
    OSErr err;
    bool persistent;
};

struct State {
    std::mutex mu;
    std::vector<NthRule> nth;
    std::vector<std::function<OSErr(const Call&)>> preds;
    std::function<void(const Call&)> hook;
    std::map<std::string, std::int64_t, std::less<>> overrides;
    std::map<std::string, long, std::less<>> counts;
    long total = 0;
    long injected = 0;
    bool counting = false;
};

State& state() {
    static State* s = new State;  // never destroyed: checked during static teardown too
    return *s;
}

std::atomic<bool> g_armed{false};
std::atomic<bool> g_overrides{false};

void rearm(State& s) {
    g_armed.store(s.counting || !s.nth.empty() || !s.preds.empty() || s.hook != nullptr,
                  std::memory_order_release);
    g_overrides.store(!s.overrides.empty(), std::memory_order_release);
}

}  // namespace

OSErr check(const char* op, std::string_view detail) noexcept {
    if (!g_armed.load(std::memory_order_acquire)) return noErr;
    State& s = state();
    std::function<void(const Call&)> hook;
    Call call{op, detail, 0, 0};
    {
        std::lock_guard lk(s.mu);
        call.index = ++s.counts[std::string(op)];
        call.global_index = ++s.total;
        hook = s.hook;
    }
    // The hook runs unlocked: it may itself call platform operations.
    if (hook) hook(call);
    std::vector<std::function<OSErr(const Call&)>> preds;
    OSErr result = noErr;
    {
        std::lock_guard lk(s.mu);
        for (NthRule& r : s.nth) {
            if (r.op != "*" && r.op != call.op) continue;
            ++r.seen;
            if (result == noErr && (r.seen == r.target || (r.persistent && r.seen > r.target)))
                result = r.err;
        }
        if (result == noErr) preds = s.preds;
    }
    for (auto& p : preds) {
        if (result != noErr) break;
        result = p(call);
    }
    if (result != noErr) {
        std::lock_guard lk(s.mu);
        ++s.injected;
    }
    return result;
}

void fail_nth(std::string_view op, long n, OSErr err, bool persistent) {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.nth.push_back(NthRule{std::string(op), n, 0, err, persistent});
    rearm(s);
}

void fail_if(std::function<OSErr(const Call&)> pred) {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.preds.push_back(std::move(pred));
    rearm(s);
}

void set_hook(std::function<void(const Call&)> hook) {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.hook = std::move(hook);
    rearm(s);
}

void set_override(std::string_view key, std::int64_t value) {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.overrides[std::string(key)] = value;
    rearm(s);
}

void clear_override(std::string_view key) {
    State& s = state();
    std::lock_guard lk(s.mu);
    if (auto it = s.overrides.find(key); it != s.overrides.end()) s.overrides.erase(it);
    rearm(s);
}

std::optional<std::int64_t> override_value(std::string_view key) noexcept {
    if (!g_overrides.load(std::memory_order_acquire)) return std::nullopt;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (auto it = s.overrides.find(key); it != s.overrides.end()) return it->second;
    return std::nullopt;
}

long injected() noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    return s.injected;
}

long calls(std::string_view op) noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    if (op == "*") return s.total;
    auto it = s.counts.find(op);
    return it == s.counts.end() ? 0 : it->second;
}

void set_counting(bool on) noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.counting = on;
    rearm(s);
}

void reset() noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.nth.clear();
    s.preds.clear();
    s.hook = nullptr;
    s.overrides.clear();
    s.counts.clear();
    s.total = 0;
    s.injected = 0;
    s.counting = false;
    rearm(s);
}

}  // namespace vantrel::fault
