// Symbol visibility for the Vantrel libraries.
//
// Every library is built with -fvisibility=hidden; only declarations marked
// VANTREL_EXPORT are part of a library's binary interface.
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#define VANTREL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define VANTREL_EXTERN_C_BEGIN extern "C" {
#define VANTREL_EXTERN_C_END }
#else
#define VANTREL_EXTERN_C_BEGIN
#define VANTREL_EXTERN_C_END
#endif
// NOLINTEND(readability-identifier-naming)
