#include "result_codes.h"

#include <gtest/gtest.h>

#include <string>

#include "BuildPaths.h"
#include "OSErrTesting.h"

using namespace fmutil;

// Every code the platform header declares has an entry, named as declared
// and with a meaning, so no error line of fmutil lacks either.
TEST(FmutilResultCodes, TableCoversEveryDeclaredCode) {
    const auto codes =
        vtest::declared_result_codes(vtest::in_source_tree("platform/include/vantrel/MacTypes.h"));
    ASSERT_GT(codes.size(), 60u) << "the header was not parsed";
    for (const auto& [name, value] : codes) {
        const ResultCode* r = find_result_code(value);
        ASSERT_NE(r, nullptr) << name << " (" << value << ") has no entry";
        EXPECT_EQ(r->name, name);
        EXPECT_FALSE(r->meaning.empty());
    }
}

TEST(FmutilResultCodes, DescribeNamesCodeNumberAndMeaning) {
    EXPECT_EQ(describe_result(fLckdErr), "fLckdErr (-45): the file is locked");
    EXPECT_EQ(describe_result(dirNFErr),
              "dirNFErr (-120): not a directory, or the directory was not found");
    EXPECT_EQ(describe_result(-4242), "error -4242: unknown result code");
}
