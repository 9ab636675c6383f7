#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "vantrel/MacMemory.h"
#include "vantrel/fault.h"

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

// Appends one byte at a time with another allocation made between each, so
// that the block cannot simply be extended where it lies: the block may move
// only when its allocation grows, which must happen a logarithmic number of
// times (a listing of 100,000 items once reallocated on every append).
TEST(Handles, AppendsReallocateGeometricallyAndSizesStayExact) {
    Handle h = NewHandle(0);
    ASSERT_NE(h, nullptr);
    std::vector<std::unique_ptr<char[]>> neighbours;
    constexpr int kAppends = 20000;
    int moves = 0;
    Ptr last = *h;
    for (int i = 0; i < kAppends; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        ASSERT_EQ(PtrAndHand(&c, h, 1), noErr);
        ASSERT_EQ(GetHandleSize(h), i + 1) << "the size callers see is exact";
        if (*h != last) ++moves, last = *h;
        neighbours.emplace_back(new char[24]);
    }
    EXPECT_LE(moves, 64) << "the block moved on " << moves << " of " << kAppends << " appends";
    for (int i = 0; i < kAppends; i += 997) EXPECT_EQ((*h)[i], 'a' + i % 26) << i;

    // Shrinking and growing again reports exact sizes and never shows stale bytes.
    SetHandleSize(h, 10);
    ASSERT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 10);
    SetHandleSize(h, 20);
    EXPECT_EQ(GetHandleSize(h), 20);
    for (int i = 10; i < 20; ++i) EXPECT_EQ((*h)[i], 0) << i;
    ASSERT_EQ(PtrAndHand("xyz", h, 3), noErr);
    EXPECT_EQ(GetHandleSize(h), 23);
    EXPECT_EQ(std::memcmp(*h + 20, "xyz", 3), 0);
    DisposeHandle(h);
}
