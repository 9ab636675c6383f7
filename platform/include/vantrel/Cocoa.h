// The Cocoa subset a preference pane is written against, in C++: reference-
// counted objects with autorelease pools, strings bridged to CFString, the
// bundle with its information property list, and the two controls a pane
// shows (check boxes and text labels).
//
//   NSAutoreleasePool pool;                                  // the host keeps one per event
//   NSString* label = NSString::stringWithFormat(NSSTR("%@ %@"), name, version);
//   field->setStringValue(label);                            // the field keeps its own reference
//
// Selectors are names ("includeButtonClicked:"); a class registered with the
// runtime (vantrel/PreferencePanes.h) says which C++ member each names. In C++
// a selector's colons become underscores: includeButtonClicked: is
// includeButtonClicked_, setIncludeButtonState:withDefaultState: is
// setIncludeButtonState_withDefaultState_.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include <atomic>
#include <string>
#include <vector>

#include "vantrel/CoreFoundation.h"

class NSString;
namespace vantrel::objc {
struct Class;
}

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef const char* SEL;

enum { NSMixedState = -1, NSOffState = 0, NSOnState = 1 };

// The root of every object. Objects start with one reference owned by their
// creator; release() at zero deletes. Constants are never deleted.
class VANTREL_EXPORT NSObject {
  public:
    NSObject();
    virtual ~NSObject();
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

    NSObject* retain();
    void release();
    // Hands one reference to the innermost autorelease pool of this thread.
    NSObject* autorelease();
    NSInteger retainCount() const;

    // A string describing the object (autoreleased).
    virtual NSString* description();
    // The runtime class, for objects made by the runtime; null otherwise.
    const vantrel::objc::Class* isa() const { return isa_; }
    void setIsa(const vantrel::objc::Class* c) { isa_ = c; }

  protected:
    void makeImmortal() { immortal_ = true; }

  private:
    std::atomic<NSInteger> rc_{1};
    bool immortal_ = false;
    const vantrel::objc::Class* isa_ = nullptr;
};

typedef NSObject* id;
#define nil nullptr

// Collects references and releases them when it ends. Pools nest per thread.
class VANTREL_EXPORT NSAutoreleasePool {
  public:
    NSAutoreleasePool();
    ~NSAutoreleasePool();
    NSAutoreleasePool(const NSAutoreleasePool&) = delete;
    NSAutoreleasePool& operator=(const NSAutoreleasePool&) = delete;
    static void add(NSObject* o);

  private:
    std::vector<NSObject*> objects_;
    NSAutoreleasePool* outer_;
};

// An immutable string; the same text as the CFString it bridges to.
class VANTREL_EXPORT NSString : public NSObject {
  public:
    // Takes its own reference to `s`.
    explicit NSString(CFStringRef s);
    ~NSString() override;

    // "%@" is replaced by the description of the next argument (an id; nil
    // gives "(null)"), "%%" by "%", "%d" "%ld" "%u" "%lu" by the next int,
    // long, unsigned or unsigned long, "%s" by a UTF-8 C string. Autoreleased.
    static NSString* stringWithFormat(NSString* format, ...);
    static NSString* stringWithUTF8String(const char* s);  // autoreleased; nil for null
    static NSString* stringWithCFString(CFStringRef s);    // autoreleased; nil for null
    // A string that lives for the whole program (what NSSTR gives).
    static NSString* constant(CFStringRef s);

    // The bridged CFString, valid while this string lives.
    CFStringRef CFString() const { return cf_; }
    // UTF-8 text, valid while this string lives.
    const char* UTF8String();
    NSUInteger length() const;
    bool isEqualToString(NSString* other) const;
    NSString* description() override { return this; }

  private:
    CFStringRef cf_;
    std::string utf8_;
    bool have_utf8_ = false;
};

// The @"..." literal: a constant NSString.
#define NSSTR(literal)                                           \
    ([]() -> NSString* {                                         \
        static NSString* s = NSString::constant(CFSTR(literal)); \
        return s;                                                \
    }())

// Any property-list value from a bundle's information dictionary that is not
// a string: numbers, booleans, dates, ... keep their CF object.
class VANTREL_EXPORT NSCFValue : public NSObject {
  public:
    explicit NSCFValue(CFTypeRef v);
    ~NSCFValue() override;
    CFTypeRef value() const { return v_; }
    NSString* description() override;

  private:
    CFTypeRef v_;
};

// A bundle directory: <path>/Contents/Info.plist, <path>/Contents/Resources.
class VANTREL_EXPORT NSBundle : public NSObject {
  public:
    // Reads the information property list; nil when the directory has none
    // that parses as a dictionary. Autoreleased.
    static NSBundle* bundleWithPath(NSString* path);
    ~NSBundle() override;

    // The value stored under `key`, owned by the bundle; nil when absent.
    id objectForInfoDictionaryKey(NSString* key);
    CFDictionaryRef infoDictionary() const { return info_; }
    NSString* bundlePath() const { return path_; }
    std::string resourcePath() const;
    std::string contentsPath() const;

  private:
    NSBundle(NSString* path, CFDictionaryRef info);
    NSString* path_;
    CFDictionaryRef info_;
    std::vector<std::pair<CFStringRef, NSObject*>> wrapped_;  // values handed out so far
};

class VANTREL_EXPORT NSView : public NSObject {
  public:
    ~NSView() override;
    // The view keeps its own reference to each subview.
    void addSubview(NSView* v);
    const std::vector<NSView*>& subviews() const { return subviews_; }

  private:
    std::vector<NSView*> subviews_;
};

// A control sends its action (a selector) to its target (not retained).
class VANTREL_EXPORT NSControl : public NSView {
  public:
    void setTarget(id target) { target_ = target; }
    id target() const { return target_; }
    void setAction(const std::string& selector) { action_ = selector; }
    const std::string& action() const { return action_; }
    // Sends the action to the target through the runtime; false when the
    // control has none or the target's class does not implement it.
    bool sendAction();

  private:
    id target_ = nil;
    std::string action_;
};

// A check box (the only kind of button a pane here uses).
class VANTREL_EXPORT NSButton : public NSControl {
  public:
    ~NSButton() override;
    NSString* title() const { return title_; }  // owned by the button
    void setTitle(NSString* title);
    NSInteger state() const { return state_; }
    // 0 shows the box off, anything else on.
    void setState(NSInteger state) { state_ = state == 0 ? NSOffState : NSOnState; }
    // What a user's click does: toggles the box, then sends the action.
    void performClick();

  private:
    NSString* title_ = nil;
    NSInteger state_ = NSOffState;
};

class VANTREL_EXPORT NSTextField : public NSControl {
  public:
    ~NSTextField() override;
    NSString* stringValue() const { return value_; }
    // The field keeps its own reference to `s`.
    void setStringValue(NSString* s);

  private:
    NSString* value_ = nil;
};
// NOLINTEND(readability-identifier-naming)
