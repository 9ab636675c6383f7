// The distributed notification centre: notifications that reach every
// process of the user, carried on the D-Bus session bus.
//
//   CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
//       CFSTR("Preferences Changed"), CFSTR("com.ashgrove.preference.Vantrel"),
//       nullptr, true);
//
// Observing (a plug-in, a test):
//
//   CFNotificationCenterAddObserver(center, this, &changed, CFSTR("Preferences Changed"),
//                                   nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);
//   CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, true);   // delivers on this thread
//
// Each notification is one D-Bus signal: path /org/vantrel/DistributedNotificationCenter,
// interface org.vantrel.DistributedNotificationCenter, member Notification,
// signature "sss": the name, the object ("" for none) and the user info as
// an XML property list ("" for none). Any D-Bus client can emit or observe it
// (docs/notifications.md). Callbacks run on the thread that calls
// CFRunLoopRunInMode, never from inside a post.
//
// Without a session bus a post does nothing and reports nothing; observers
// are kept but receive nothing. CFNotificationCenterIsAvailable tells which.
// The object of a distributed notification must be a string (or null) and the
// user info a property-list dictionary (or null); a post with anything else is
// dropped.
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"
#include "vantrel/CFDictionary.h"
#include "vantrel/CFString.h"

typedef struct __CFNotificationCenter* CFNotificationCenterRef;
typedef CFStringRef CFNotificationName;
typedef void (*CFNotificationCallback)(CFNotificationCenterRef center, void* observer,
                                       CFNotificationName name, const void* object,
                                       CFDictionaryRef userInfo);

typedef CFIndex CFNotificationSuspensionBehavior;
enum {
    CFNotificationSuspensionBehaviorDrop = 1,
    CFNotificationSuspensionBehaviorCoalesce = 2,
    CFNotificationSuspensionBehaviorHold = 3,
    CFNotificationSuspensionBehaviorDeliverImmediately = 4
};

typedef CFStringRef CFRunLoopMode;
enum {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4
};

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT extern const CFRunLoopMode kCFRunLoopDefaultMode;

VANTREL_EXPORT CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void);
VANTREL_EXPORT void CFNotificationCenterPostNotification(CFNotificationCenterRef center,
                                                         CFNotificationName name,
                                                         const void* object,
                                                         CFDictionaryRef userInfo,
                                                         Boolean deliverImmediately);
// A null `name` observes every notification; a null `object` any object.
VANTREL_EXPORT void CFNotificationCenterAddObserver(
    CFNotificationCenterRef center, const void* observer, CFNotificationCallback callBack,
    CFStringRef name, const void* object, CFNotificationSuspensionBehavior suspensionBehavior);
// Removes the observer's registrations for `name` (null: every name) and
// `object` (null: every object).
VANTREL_EXPORT void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center,
                                                       const void* observer,
                                                       CFNotificationName name, const void* object);
VANTREL_EXPORT void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center,
                                                            const void* observer);

// Waits up to `seconds` for notifications and delivers them to observers on
// this thread. With `returnAfterSourceHandled`, returns after the first batch
// (kCFRunLoopRunHandledSource); otherwise delivers until the time is up
// (kCFRunLoopRunTimedOut). kCFRunLoopRunFinished when there is no bus.
VANTREL_EXPORT SInt32 CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                         Boolean returnAfterSourceHandled);

// Platform addition: whether the centre reaches a session bus (connecting on
// first use). The pane host uses it to say that notifications are off.
VANTREL_EXPORT Boolean CFNotificationCenterIsAvailable(CFNotificationCenterRef center);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
