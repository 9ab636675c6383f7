// The fault seam's state. Armed rules are rare and only set by tests, so a
// single mutex guards everything; the fast path is one atomic load.
//
// check() is noexcept and must not allocate: it runs inside operations that
// are themselves being failed with memFullErr, and an exception there would
// end the process. Counts live in the registry's nodes (made at load time),
// the log in storage reserved once, and the rules' callbacks are shared, not
// copied. A callback that throws is reported and treated as "no fault".
#include "vantrel/fault.h"

#if !(defined(VANTREL_UNTESTABLE) && VANTREL_UNTESTABLE)

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel::fault {
namespace {

struct OpState {
    std::string name;
    long count = 0;
};

struct NthRule {
    const OpState* op;  // null: every operation ("*")
    long target;        // the Call::index (globalIndex for "*") that fails
    OSErr err;
    bool persistent;
};

constexpr std::size_t kLogCapacity = 4096;
constexpr std::size_t kDetailCapacity = 200;

struct LogEntry {
    const OpState* op;
    char detail[kDetailCapacity];
    std::size_t detailLength;
    long index;
    long globalIndex;
    OSErr err;
    bool benign;
};

using Pred = std::function<OSErr(const Call&)>;
using Hook = std::function<void(const Call&)>;

struct State {
    std::mutex mu;
    std::map<std::string, OpState, std::less<>> registry;  // names and override keys
    std::vector<NthRule> nth;
    std::shared_ptr<const std::vector<Pred>> preds;
    std::shared_ptr<const Hook> hook;
    std::map<std::string, std::int64_t, std::less<>> overrides;
    std::unique_ptr<LogEntry[]> log{new LogEntry[kLogCapacity]};
    std::size_t logSize = 0;
    long total = 0;
    long injected = 0;
    bool counting = false;
    long steps = 0;                   // checks of steps ("Op.step") since the last reset
    long dieAt = 0;                   // the step before which the process ends; 0: none
    bool overridesUnchecked = false;  // set from the environment, keys not yet checked
};

State& state() {
    static State* s = new State;  // never destroyed: checked during static teardown too
    return *s;
}

std::atomic<bool> g_armed{false};
std::atomic<bool> g_overrides{false};
thread_local int t_benign = 0;

void rearm(State& s) {
    g_armed.store(
        s.counting || !s.nth.empty() || s.preds != nullptr || s.hook != nullptr || s.dieAt != 0,
        std::memory_order_release);
    g_overrides.store(!s.overrides.empty(), std::memory_order_release);
}

OpState* find(State& s, std::string_view name) {
    auto it = s.registry.find(name);
    return it == s.registry.end() ? nullptr : &it->second;
}

const OpState& need(State& s, std::string_view name, const char* what) {
    if (OpState* o = find(s, name)) return *o;
    throw std::invalid_argument(std::string("fault seam: ") + what + " \"" + std::string(name) +
                                "\" is not registered by any platform source");
}

[[noreturn]] void unregistered(const char* op) noexcept {
    std::fprintf(stderr,
                 "fault seam: \"%s\" is checked but not registered; add it to the "
                 "VANTREL_FAULT_OPERATIONS of its source file\n",
                 op);
    std::abort();
}

template <class F>
auto guarded(const char* what, const Call& c, F&& f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        std::fprintf(stderr, "fault seam: a %s threw at %.*s; taken as no fault\n", what,
                     int(c.op.size()), c.op.data());
        return decltype(f())();
    }
}

int errno_for(OSErr err) noexcept {
    switch (err) {
        case dskFulErr:
            return ENOSPC;
        case afpAccessDenied:
            return EACCES;
        case memFullErr:
            return ENOMEM;
        case fLckdErr:
        case permErr:
            return EPERM;
        case vLckdErr:
        case wPrErr:
            return EROFS;
        case fnfErr:
            return ENOENT;
        case dirNFErr:
            return ENOTDIR;
        case dupFNErr:
            return EEXIST;
        case fBsyErr:
            return EBUSY;
        case paramErr:
            return EINVAL;
        case tmfoErr:
            return EMFILE;
        case diffVolErr:
            return EXDEV;
        case errFSNameTooLong:
            return ENAMETOOLONG;
        case errFSQuotaExceeded:
            return EDQUOT;
        default:
            return EIO;
    }
}

// A program under a crash-point sweep is armed before main runs: the test
// starts it with VANTREL_FAULT_DIE_AT_STEP=n in its environment.
[[maybe_unused]] const bool kArmedFromEnvironment = [] {
    const char* v = std::getenv("VANTREL_FAULT_DIE_AT_STEP");
    if (v == nullptr || *v == 0) return false;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (*end != 0 || n < 1) {
        std::fprintf(stderr, "fault seam: VANTREL_FAULT_DIE_AT_STEP=%s is no step number\n", v);
        std::abort();
    }
    State& s = state();
    std::lock_guard lk(s.mu);
    s.dieAt = n;
    rearm(s);
    return true;
}();

// And with overrides, VANTREL_FAULT_OVERRIDE=KEY=VALUE[,KEY=VALUE...]:
// the switches a test sets in its own process (the volume without an
// exchange) set for a program it runs. The keys are checked against the
// registry at the first lookup, once every library has registered its own.
[[maybe_unused]] const bool kOverridesFromEnvironment = [] {
    const char* v = std::getenv("VANTREL_FAULT_OVERRIDE");
    if (v == nullptr || *v == 0) return false;
    State& s = state();
    std::lock_guard lk(s.mu);
    std::string all(v);
    for (std::size_t at = 0; at <= all.size();) {
        std::size_t end = all.find(',', at);
        if (end == std::string::npos) end = all.size();
        const std::string item = all.substr(at, end - at);
        const std::size_t eq = item.find('=');
        char* stop = nullptr;
        const long long value =
            eq == std::string::npos ? 0 : std::strtoll(item.c_str() + eq + 1, &stop, 10);
        if (eq == std::string::npos || eq == 0 || stop == nullptr || *stop != 0 ||
            stop == item.c_str() + eq + 1) {
            std::fprintf(stderr,
                         "fault seam: VANTREL_FAULT_OVERRIDE item \"%s\" is no KEY=NUMBER\n",
                         item.c_str());
            std::abort();
        }
        s.overrides[item.substr(0, eq)] = value;
        s.overridesUnchecked = true;
        at = end + 1;
    }
    rearm(s);
    return true;
}();

}  // namespace

Registration::Registration(std::initializer_list<const char*> names) {
    State& s = state();
    std::lock_guard lk(s.mu);
    for (const char* n : names) {
        auto [it, added] = s.registry.try_emplace(n);
        if (added) it->second.name = n;
    }
}

OSErr check(const char* op, std::string_view detail) noexcept {
    if (!g_armed.load(std::memory_order_acquire)) return noErr;
    State& s = state();
    Call call{op, detail, 0, 0};
    std::shared_ptr<const Hook> hook;
    OpState* o;
    {
        std::lock_guard lk(s.mu);
        o = find(s, op);
        if (o == nullptr) unregistered(op);
        call.index = ++o->count;
        call.globalIndex = ++s.total;
        // A kill at the step's system call, as a crash would end it: no
        // clean-up, no destructor, no buffer flushed, every lock let go by
        // the kernel.
        if (std::strchr(op, '.') != nullptr && ++s.steps == s.dieAt) ::kill(::getpid(), SIGKILL);
        hook = s.hook;
    }
    // The hook runs unlocked: it may itself call platform operations.
    if (hook) guarded("hook", call, [&] { (*hook)(call); });
    std::shared_ptr<const std::vector<Pred>> preds;
    OSErr result = noErr;
    {
        std::lock_guard lk(s.mu);
        for (const NthRule& r : s.nth) {
            if (r.op != nullptr && r.op != o) continue;
            const long at = r.op != nullptr ? call.index : call.globalIndex;
            if (at == r.target || (r.persistent && at > r.target)) {
                result = r.err;
                break;
            }
        }
        if (result == noErr) preds = s.preds;
    }
    if (preds) {
        for (const Pred& p : *preds) {
            result = guarded("predicate", call, [&] { return p(call); });
            if (result != noErr) break;
        }
    }
    if (result != noErr) {
        std::lock_guard lk(s.mu);
        ++s.injected;
        if (s.logSize < kLogCapacity) {
            LogEntry& e = s.log[s.logSize++];
            e.op = o;
            e.detailLength = std::min(detail.size(), kDetailCapacity);
            if (e.detailLength != 0) std::memcpy(e.detail, detail.data(), e.detailLength);
            e.index = call.index;
            e.globalIndex = call.globalIndex;
            e.err = result;
            e.benign = t_benign > 0;
        }
    }
    return result;
}

int check_errno(const char* op, std::string_view detail) noexcept {
    const OSErr e = check(op, detail);
    return e == noErr ? 0 : errno_for(e);
}

void fail_nth(std::string_view op, long n, OSErr err, bool persistent) {
    State& s = state();
    std::lock_guard lk(s.mu);
    const OpState* o = op == "*" ? nullptr : &need(s, op, "operation");
    if (n < 1) throw std::invalid_argument("fault seam: calls are counted from 1");
    if (n <= (o != nullptr ? o->count : s.total))
        throw std::invalid_argument("fault seam: call " + std::to_string(n) + " of \"" +
                                    std::string(op) +
                                    "\" was already counted (calls count from the last reset)");
    s.nth.push_back(NthRule{o, n, err, persistent});
    rearm(s);
}

void fail_next(std::string_view op, OSErr err, bool persistent) {
    State& s = state();
    std::lock_guard lk(s.mu);
    const OpState* o = op == "*" ? nullptr : &need(s, op, "operation");
    s.nth.push_back(NthRule{o, (o != nullptr ? o->count : s.total) + 1, err, persistent});
    rearm(s);
}

void fail_if(std::function<OSErr(const Call&)> pred) {
    State& s = state();
    std::lock_guard lk(s.mu);
    auto next = s.preds ? std::make_shared<std::vector<Pred>>(*s.preds)
                        : std::make_shared<std::vector<Pred>>();
    next->push_back(std::move(pred));
    s.preds = std::move(next);
    rearm(s);
}

void set_hook(std::function<void(const Call&)> hook) {
    State& s = state();
    std::lock_guard lk(s.mu);
    s.hook = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
    rearm(s);
}

void set_override(std::string_view key, std::int64_t value) {
    State& s = state();
    std::lock_guard lk(s.mu);
    need(s, key, "override");
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
    if (s.overridesUnchecked) {
        s.overridesUnchecked = false;
        for (const auto& [name, value] : s.overrides) {
            if (find(s, name) != nullptr) continue;
            std::fprintf(stderr,
                         "fault seam: VANTREL_FAULT_OVERRIDE names \"%s\", which no platform "
                         "source registers\n",
                         name.c_str());
            std::abort();
        }
    }
    if (auto it = s.overrides.find(key); it != s.overrides.end()) return it->second;
    return std::nullopt;
}

std::vector<Injection> injections() {
    State& s = state();
    std::lock_guard lk(s.mu);
    std::vector<Injection> out;
    out.reserve(s.logSize);
    for (std::size_t i = 0; i < s.logSize; ++i) {
        const LogEntry& e = s.log[i];
        out.push_back(Injection{e.op->name, std::string(e.detail, e.detailLength), e.index,
                                e.globalIndex, e.err, e.benign});
    }
    return out;
}

long injected() noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    return s.injected;
}

long calls(std::string_view op) {
    State& s = state();
    std::lock_guard lk(s.mu);
    if (op == "*") return s.total;
    return need(s, op, "operation").count;
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
    s.preds = nullptr;
    s.hook = nullptr;
    s.overrides.clear();
    s.overridesUnchecked = false;
    for (auto& [name, o] : s.registry) o.count = 0;
    s.logSize = 0;
    s.total = 0;
    s.injected = 0;
    s.counting = false;
    s.steps = 0;
    s.dieAt = 0;
    rearm(s);
}

void die_at_step(long n) {
    if (n < 1) throw std::invalid_argument("fault seam: steps are counted from 1");
    State& s = state();
    std::lock_guard lk(s.mu);
    s.dieAt = s.steps + n;
    rearm(s);
}

long steps() noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    return s.steps;
}

bool registered(std::string_view name) noexcept {
    State& s = state();
    std::lock_guard lk(s.mu);
    return find(s, name) != nullptr;
}

std::vector<std::string> registered_names() {
    State& s = state();
    std::lock_guard lk(s.mu);
    std::vector<std::string> out;
    for (const auto& [name, o] : s.registry) out.push_back(name);
    return out;
}

Benign::Benign() noexcept {
    ++t_benign;
}
Benign::~Benign() {
    --t_benign;
}

}  // namespace vantrel::fault

#endif
