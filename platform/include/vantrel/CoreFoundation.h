// The Core Foundation subset of the platform: the object model, strings,
// booleans, numbers, dates, data, arrays, dictionaries, the preferences store
// and the distributed notification centre.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/CFArray.h"
#include "vantrel/CFBase.h"
#include "vantrel/CFData.h"
#include "vantrel/CFDate.h"
#include "vantrel/CFDictionary.h"
#include "vantrel/CFNumber.h"
#include "vantrel/CFString.h"
#if __has_include("vantrel/CFPreferences.h")
#include "vantrel/CFPreferences.h"
#endif
#if __has_include("vantrel/CFNotificationCenter.h")
#include "vantrel/CFNotificationCenter.h"
#endif
// NOLINTEND(readability-identifier-naming)
