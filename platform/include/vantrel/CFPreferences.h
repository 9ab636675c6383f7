// Preferences: values by key in an application's domain, shared with other
// processes through a file.
//
// A domain is the XML property list ${XDG_CONFIG_HOME:-$HOME/.config}/<appID>.plist.
//
//   CFPreferencesSetAppValue(CFSTR("Duration"), kCFBooleanFalse, kAppID);
//   CFPreferencesAppSynchronize(kAppID);          // durable when this returns true
//   CFPropertyListRef v = CFPreferencesCopyAppValue(CFSTR("Duration"), kAppID);
//   ...
//   if (v) CFRelease(v);
//
// - Copy sees this process's recorded values first, then the file; it
//   re-reads the file whenever the file has changed since the last read, so
//   values synchronised by other processes appear.
// - Set records a value (null removes the key) in this process only.
// - Synchronize, under an advisory lock on the domain file, re-reads the file,
//   applies this process's recorded changes on top, writes a temporary file
//   beside it, flushes it, renames it over the old one and flushes the
//   directory: a crash leaves the old file or the new one, and keys other
//   processes wrote are kept. A domain file that is a symbolic link stays one;
//   its target is replaced. A file that does not parse gives no values and is
//   kept as "<file>.corrupt" at the next write. With nothing recorded,
//   Synchronize only re-reads and writes nothing.
// - Every plist type (booleans, strings, integers, reals, dates, data, arrays,
//   dictionaries) is kept and read back with its type.
//
// An application ID that cannot name a file ("", ".", "..", anything with
// "/") and keys that are not strings are refused: Copy gives null, Set does
// nothing, Synchronize returns false.
// C++ only, as CFBase.h explains: the extern "C" guards give C linkage, but
// the header does not compile as C.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFBase.h"
#include "vantrel/CFString.h"

VANTREL_EXTERN_C_BEGIN

VANTREL_EXPORT extern const CFStringRef kCFPreferencesCurrentUser;
VANTREL_EXPORT extern const CFStringRef kCFPreferencesAnyHost;

VANTREL_EXPORT CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key,
                                                           CFStringRef applicationID);
VANTREL_EXPORT void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value,
                                             CFStringRef applicationID);
VANTREL_EXPORT Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)
