// Preference panes: the base class NSPreferencePane, the small runtime that
// lets a host find a pane's class and connect its outlets and actions by
// name, and the host side that loads a .prefPane bundle and drives a pane.
//
// A pane's code registers its class when its shared object is loaded:
//
//   class MyPane : public NSPreferencePane {
//   public:
//       using NSPreferencePane::NSPreferencePane;
//       void boxClicked_(id sender);
//       NSButton* m_box = nullptr;
//   };
//   VANTREL_PANE_CLASS(MyPane) {
//       c.ivar("m_box", &MyPane::m_box).outlet("m_box", &MyPane::m_box);
//       c.action("boxClicked:", &MyPane::boxClicked_);
//   }
//
// A host loads the bundle and drives the life cycle:
//
//   std::string err;
//   auto pane = vantrel::host::LoadedPane::load("build/pane/Vantrel.prefPane", &err);
//   pane->loadMainView();  pane->select();  pane->click(pane->checkBoxes()[5]);  pane->unselect();
//
// Bundle layout: Contents/Info.plist names the principal class
// (NSPrincipalClass), the shared object (CFBundleExecutable, in
// Contents/Linux/) and the interface definition (NSMainNibFile, in
// Contents/Resources/): a property list whose "Controls" array lists check
// boxes (Class NSButton: Title, Outlet, Action) and labels (Class
// NSTextField: Outlet, StringValue). See docs/pane.md.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "vantrel/Cocoa.h"

class VANTREL_EXPORT NSPreferencePane : public NSObject {
  public:
    explicit NSPreferencePane(NSBundle* bundle);
    ~NSPreferencePane() override;

    // The bundle that holds this pane.
    NSBundle* bundle() const { return bundle_; }
    NSView* mainView() const { return mainView_; }
    void setMainView(NSView* v);

    // Life-cycle hooks, called by the host in this order: mainViewDidLoad
    // once; then for each visit willSelect, didSelect, and on leaving
    // willUnselect, didUnselect. The base versions do nothing.
    virtual void mainViewDidLoad() {}
    virtual void willSelect() {}
    virtual void didSelect() {}
    virtual void willUnselect() {}
    virtual void didUnselect() {}

  private:
    NSBundle* bundle_;
    NSView* mainView_ = nil;
};

namespace vantrel::objc {

// What the runtime knows of a class: its instance variables and methods in
// declaration order, the outlets a host may fill and the actions it may send.
struct VANTREL_EXPORT Class {
    std::string name;
    std::string superclass;
    std::function<NSPreferencePane*(NSBundle*)> create;
    struct Ivar {
        std::string name;
        std::function<const void*(NSObject* self)> value;  // the pointer the variable holds
    };
    std::vector<Ivar> ivars;
    std::vector<std::string> methods;
    struct Outlet {
        std::string name;
        std::string type;  // class name of the control it accepts
        std::function<bool(NSObject* self, NSObject* value)> set;  // false on a wrong type
    };
    struct Action {
        std::string selector;
        std::function<void(NSObject* self, id sender)> invoke;
    };
    std::vector<Outlet> outlets;
    std::vector<Action> actions;

    const Outlet* findOutlet(const std::string& n) const;
    // The value of an instance variable of `self` (an instance of this class), or null.
    const void* valueOf(NSObject* self, const std::string& ivar) const;
    const Action* findAction(const std::string& sel) const;
};

VANTREL_EXPORT void registerClass(Class c);
VANTREL_EXPORT const Class* lookUpClass(const std::string& name);
// Sends `selector` to `target` with `sender`; false when not implemented.
VANTREL_EXPORT bool sendAction(id target, const std::string& selector, id sender);

template <class T>
constexpr const char* control_class_name() {
    if constexpr (std::is_same_v<T, NSButton>)
        return "NSButton";
    else if constexpr (std::is_same_v<T, NSTextField>)
        return "NSTextField";
    else
        return "NSView";
}

// Describes class T while it registers.
template <class T>
class ClassBuilder {
  public:
    explicit ClassBuilder(const char* name) {
        c_.name = name;
        c_.superclass = "NSPreferencePane";
        c_.create = [](NSBundle* b) -> NSPreferencePane* { return new T(b); };
    }
    template <class V>
    ClassBuilder& ivar(const char* n, V T::*member) {
        static_assert(std::is_pointer_v<V>, "instance variables are object references");
        c_.ivars.push_back({n, [member](NSObject* self) -> const void* {
                                return static_cast<T*>(self)->*member;
                            }});
        return *this;
    }
    ClassBuilder& method(const char* selector) {
        c_.methods.push_back(selector);
        return *this;
    }
    template <class V>
    ClassBuilder& outlet(const char* n, V* T::*member) {
        c_.outlets.push_back(
            {n, control_class_name<V>(), [member](NSObject* self, NSObject* value) {
                 V* v = dynamic_cast<V*>(value);
                 if (value != nil && v == nullptr) return false;
                 static_cast<T*>(self)->*member = v;
                 return true;
             }});
        return *this;
    }
    ClassBuilder& action(const char* selector, void (T::*fn)(id)) {
        c_.actions.push_back(
            {selector, [fn](NSObject* self, id sender) { (static_cast<T*>(self)->*fn)(sender); }});
        return *this;
    }
    Class& get() { return c_; }

  private:
    Class c_;
};

}  // namespace vantrel::objc

// Registers class `T` when its shared object is loaded; the block that
// follows describes it through `c` (a ClassBuilder<T>).
#define VANTREL_PANE_CLASS(T)                                              \
    static void vantrel_describe_##T(::vantrel::objc::ClassBuilder<T>& c); \
    namespace {                                                            \
    struct vantrel_register_##T {                                          \
        vantrel_register_##T() {                                           \
            ::vantrel::objc::ClassBuilder<T> c(#T);                        \
            vantrel_describe_##T(c);                                       \
            ::vantrel::objc::registerClass(std::move(c.get()));            \
        }                                                                  \
    } vantrel_register_instance_##T;                                       \
    }                                                                      \
    static void vantrel_describe_##T(::vantrel::objc::ClassBuilder<T>& c)

namespace vantrel::host {

// A pane loaded from its bundle, with its main view's controls. Every call
// runs inside an autorelease pool of its own, as a host's event loop would.
class VANTREL_EXPORT LoadedPane {
  public:
    // Loads the bundle at `bundlePath`: reads Contents/Info.plist, loads the
    // shared object, finds the principal class, makes one instance. On
    // failure returns null and sets `error` to one line a user can act on.
    static std::unique_ptr<LoadedPane> load(const std::string& bundlePath, std::string* error);
    ~LoadedPane();

    // Creates the controls of the interface definition, connects outlets and
    // actions by name and calls mainViewDidLoad. False (with `error`) when
    // the definition cannot be read or names an outlet or action the class
    // does not have.
    bool loadMainView(std::string* error);
    void select();              // willSelect, didSelect
    void click(NSButton* box);  // a user's click: toggle, then the action
    void unselect();            // willUnselect, didUnselect

    NSPreferencePane* pane() const { return pane_; }
    NSBundle* bundle() const { return bundle_; }
    const std::vector<NSButton*>& checkBoxes() const { return boxes_; }
    const std::vector<NSTextField*>& labels() const { return labels_; }
    // The check box with this title, or null.
    NSButton* checkBoxTitled(const std::string& title) const;

  private:
    LoadedPane() = default;
    NSBundle* bundle_ = nil;
    NSPreferencePane* pane_ = nil;
    std::vector<NSButton*> boxes_;
    std::vector<NSTextField*> labels_;
};

}  // namespace vantrel::host
// NOLINTEND(readability-identifier-naming)
