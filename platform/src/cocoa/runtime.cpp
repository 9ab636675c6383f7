// The class registry: what a host needs to find a pane's principal class by
// name and to connect outlets and actions by name.
#include <map>
#include <mutex>

#include "vantrel/PreferencePanes.h"

namespace vantrel::objc {
namespace {
struct Registry {
    std::mutex mu;
    std::map<std::string, std::unique_ptr<Class>> classes;
};
Registry& registry() {
    static Registry* r = new Registry;  // classes stay registered until exit
    return *r;
}
}  // namespace

const Class::Outlet* Class::findOutlet(const std::string& n) const {
    for (auto& o : outlets)
        if (o.name == n) return &o;
    return nullptr;
}

const void* Class::valueOf(NSObject* self, const std::string& ivar) const {
    for (auto& v : ivars)
        if (v.name == ivar) return v.value(self);
    return nullptr;
}

const Class::Action* Class::findAction(const std::string& sel) const {
    for (auto& a : actions)
        if (a.selector == sel) return &a;
    return nullptr;
}

void registerClass(Class c) {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    std::string name = c.name;
    // A second registration under the same name (the same object loaded
    // twice) keeps the first: instances may already point at it.
    r.classes.try_emplace(name, std::make_unique<Class>(std::move(c)));
}

const Class* lookUpClass(const std::string& name) {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    auto it = r.classes.find(name);
    return it == r.classes.end() ? nullptr : it->second.get();
}

bool sendAction(id target, const std::string& selector, id sender) {
    if (target == nil || target->isa() == nullptr) return false;
    const Class::Action* a = target->isa()->findAction(selector);
    if (a == nullptr) return false;
    a->invoke(target, sender);
    return true;
}

}  // namespace vantrel::objc

NSPreferencePane::NSPreferencePane(NSBundle* bundle) : bundle_(bundle) {
    if (bundle_) bundle_->retain();
}

NSPreferencePane::~NSPreferencePane() {
    if (mainView_) mainView_->release();
    if (bundle_) bundle_->release();
}

void NSPreferencePane::setMainView(NSView* v) {
    if (v) v->retain();
    if (mainView_) mainView_->release();
    mainView_ = v;
}
