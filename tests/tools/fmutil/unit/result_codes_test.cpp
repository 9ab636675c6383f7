#include "result_codes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

using namespace fmutil;

// Every code the platform header declares has an entry with the same name,
// and no two entries share a value, so an error line never names the wrong code.
TEST(FmutilResultCodes, TableCoversEveryDeclaredCode) {
    std::ifstream in(std::string(FMUTIL_SOURCE_DIR) + "/platform/include/vantrel/MacTypes.h");
    ASSERT_TRUE(in) << "cannot read MacTypes.h";
    int seen = 0;
    std::set<long> values;
    std::string line;
    while (std::getline(in, line)) {
        // "    fLckdErr = -45," inside the enums
        std::istringstream words(line);
        std::string name, eq, number;
        if (!(words >> name >> eq >> number) || eq != "=") continue;
        if (!number.empty() && number.back() == ',') number.pop_back();
        char* end = nullptr;
        const long value = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || name == "kNilOptions") continue;
        const ResultCode* r = find_result_code(value);
        ASSERT_NE(r, nullptr) << name << " (" << value << ") has no entry";
        EXPECT_EQ(r->name, name);
        EXPECT_FALSE(r->meaning.empty());
        EXPECT_TRUE(values.insert(value).second) << "value " << value << " declared twice";
        ++seen;
    }
    EXPECT_GT(seen, 60) << "the header was not parsed";
}

TEST(FmutilResultCodes, DescribeNamesCodeNumberAndMeaning) {
    EXPECT_EQ(describe_result(fLckdErr), "fLckdErr (-45): the file is locked");
    EXPECT_EQ(describe_result(dirNFErr),
              "dirNFErr (-120): not a directory, or the directory was not found");
    EXPECT_EQ(describe_result(-4242), "error -4242: unknown result code");
}
