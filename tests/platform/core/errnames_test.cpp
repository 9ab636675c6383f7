// Result codes by name: the platform's table, and the assertions that print
// codes by name in test failures.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "OSErrTesting.h"
#include "vantrel/MacTypes.h"

// Every code MacTypes.h declares is named by its own name, and no two share a
// value, so a message never names the wrong code.
TEST(OSErrNames, EveryDeclaredCodeHasItsName) {
    const char* src = std::getenv("VANTREL_SOURCE_DIR");
    ASSERT_NE(src, nullptr) << "VANTREL_SOURCE_DIR is set for every test";
    const auto codes =
        vtest::declared_result_codes(std::string(src) + "/platform/include/vantrel/MacTypes.h");
    ASSERT_GT(codes.size(), 60u) << "the header was not parsed";
    std::set<long> values;
    for (const auto& [name, value] : codes) {
        const char* got = GetOSErrName(static_cast<OSStatus>(value));
        ASSERT_NE(got, nullptr) << name << " (" << value << ") has no name";
        EXPECT_EQ(std::string(got), name);
        EXPECT_TRUE(values.insert(value).second) << "value " << value << " declared twice";
    }
    EXPECT_EQ(GetOSErrName(-4242), nullptr);
    EXPECT_EQ(GetOSErrName(1), nullptr);
}

TEST(OSErrNames, FailuresNameBothCodes) {
    EXPECT_NONFATAL_FAILURE(EXPECT_OSERR(OSErr(fnfErr), noErr),
                            "OSErr(fnfErr) is fnfErr (-43), expected noErr (0)");
    EXPECT_NONFATAL_FAILURE(EXPECT_OSERR(OSErr(-4242), fLckdErr),
                            "is unnamed (-4242), expected fLckdErr (-45)");
    EXPECT_NONFATAL_FAILURE(EXPECT_OSERR_NE(OSErr(noErr), noErr),
                            "is noErr (0), expected anything else");
    EXPECT_OSERR(OSErr(dupFNErr), dupFNErr);
    EXPECT_OSERR_NE(OSErr(dupFNErr), noErr);
}
