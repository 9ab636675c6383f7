// Result codes by name in test failures: "fnfErr (-43), expected noErr (0)".
//
// OSErr is a typedef of int16_t, so a PrintTo overload for it would print
// every short as a result code; these assertions name codes only where a
// result code is meant.
//
//   EXPECT_OSERR(FSDeleteObject(&ref), fLckdErr);
//   ASSERT_OSERR(FSPathMakeRef(path, &ref, nullptr), noErr);
//   EXPECT_OSERR_NE(result, noErr);                  // any failure
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "vantrel/MacTypes.h"

namespace vtest {

// "fnfErr (-43)"; a code the platform does not name reads "unnamed (-4242)".
inline std::string oserr_text(long code) {
    const char* name = GetOSErrName(static_cast<OSStatus>(code));
    return std::string(name != nullptr ? name : "unnamed") + " (" + std::to_string(code) + ")";
}

inline ::testing::AssertionResult OSErrIs(const char* expr, const char*, long actual,
                                          long expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << expr << " is " << oserr_text(actual) << ", expected " << oserr_text(expected);
}

inline ::testing::AssertionResult OSErrIsNot(const char* expr, const char*, long actual,
                                             long unwanted) {
    if (actual != unwanted) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << expr << " is " << oserr_text(actual) << ", expected anything else";
}

// The result codes MacTypes.h declares ("name = value," lines of its enums),
// read from the header in the source tree.
inline std::vector<std::pair<std::string, long>> declared_result_codes(const std::string& header) {
    std::vector<std::pair<std::string, long>> out;
    std::ifstream in(header);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, eq, number;
        if (!(words >> name >> eq >> number) || eq != "=") continue;
        if (!number.empty() && number.back() == ',') number.pop_back();
        char* end = nullptr;
        const long value = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || name == "kNilOptions") continue;
        out.emplace_back(name, value);
    }
    return out;
}

}  // namespace vtest

#define EXPECT_OSERR(expr, code) EXPECT_PRED_FORMAT2(::vtest::OSErrIs, expr, code)
#define ASSERT_OSERR(expr, code) ASSERT_PRED_FORMAT2(::vtest::OSErrIs, expr, code)
#define EXPECT_OSERR_NE(expr, code) EXPECT_PRED_FORMAT2(::vtest::OSErrIsNot, expr, code)
#define ASSERT_OSERR_NE(expr, code) ASSERT_PRED_FORMAT2(::vtest::OSErrIsNot, expr, code)
