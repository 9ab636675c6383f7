#include "vantrel/MacMemory.h"
#include "vantrel/fault.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Handles, GrowByAppendAndReportErrors) {
    Handle h = NewHandle(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 0);
    const char a[] = "0123456789";
    for (int i = 0; i < 100; ++i) ASSERT_EQ(PtrAndHand(a, h, 10), noErr);
    EXPECT_EQ(GetHandleSize(h), 1000);
    EXPECT_EQ(std::memcmp(*h + 990, a, 10), 0);
    // Appending a part of the handle to itself survives the block moving.
    ASSERT_EQ(PtrAndHand(*h, h, 1000), noErr);
    EXPECT_EQ(GetHandleSize(h), 2000);
    EXPECT_EQ(std::memcmp(*h + 1000, a, 10), 0);

    EXPECT_EQ(PtrAndHand(a, nullptr, 1), nilHandleErr);
    EXPECT_EQ(MemError(), nilHandleErr);
    EXPECT_EQ(PtrAndHand(a, h, -1), paramErr);
    EXPECT_EQ(GetHandleSize(h), 2000) << "a failed append leaves the block as it was";
    DisposeHandle(h);
    EXPECT_EQ(NewHandle(-1), nullptr);
    EXPECT_EQ(MemError(), paramErr);
}

TEST(Handles, FaultSeamFailsAllocationAndAppend) {
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("NewHandle", 1, memFullErr);
    EXPECT_EQ(NewHandle(0), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    Handle h = NewHandle(4);
    ASSERT_NE(h, nullptr);
    vantrel::fault::fail_nth("PtrAndHand", 1, memFullErr);
    EXPECT_EQ(PtrAndHand("abcd", h, 4), memFullErr);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(GetHandleSize(h), 4);
    DisposeHandle(h);
}
