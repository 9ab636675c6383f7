// The access-rights word <-> mode mapping (white-box) and the directory-access
// calls on real directories.
#include <gtest/gtest.h>

#include "fm/access.h"

namespace {

struct RightsRow {
    unsigned mode;
    UInt32 rights;
};

class AccessRightsMapping : public ::testing::TestWithParam<RightsRow> {};

TEST_P(AccessRightsMapping, ModeAndRightsCorrespondBothWays) {
    const RightsRow& row = GetParam();
    EXPECT_EQ(row.rights, vantrel::fm::access_rights_from_mode(row.mode)) << std::oct << row.mode;
    EXPECT_EQ(row.mode & 0777, vantrel::fm::mode_from_access_rights(row.rights)) << std::hex << row.rights;
}

// Search = x, read = r, write = w; owner in byte 0, group byte 1, everyone byte 2.
INSTANTIATE_TEST_SUITE_P(Rows, AccessRightsMapping,
                         ::testing::Values(RightsRow{0000, 0x000000}, RightsRow{0700, 0x000007},
                                           RightsRow{0100, 0x000001}, RightsRow{0400, 0x000002},
                                           RightsRow{0200, 0x000004}, RightsRow{0070, 0x000700},
                                           RightsRow{0010, 0x000100}, RightsRow{0007, 0x070000},
                                           RightsRow{0004, 0x020000}, RightsRow{0755, 0x030307},
                                           RightsRow{0750, 0x000307}, RightsRow{0777, 0x070707},
                                           RightsRow{0641, 0x010206}));

TEST(AccessRightsMapping, EveryModeRoundTripsAndForeignBitsAreIgnored) {
    for (unsigned mode = 0; mode <= 0777; ++mode) {
        ASSERT_EQ(mode, vantrel::fm::mode_from_access_rights(vantrel::fm::access_rights_from_mode(mode)));
        // Special bits of the mode have no rights counterpart.
        ASSERT_EQ(vantrel::fm::access_rights_from_mode(mode), vantrel::fm::access_rights_from_mode(mode | 07000));
    }
    // The caller's own rights, ownership and blank access never become mode bits.
    EXPECT_EQ(0u, vantrel::fm::mode_from_access_rights(0x97000000u | 0x10000000u | 0x00F8F8F8u));
}

}  // namespace
