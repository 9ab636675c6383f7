// CList<CString256>: append and clear, the cursor protocol, splitting and
// joining.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vantrel/CString256.h"

namespace {

std::vector<std::string> items(CList<CString256>& list) {
    std::vector<std::string> out;
    int n = 0;
    for (elem<CString256>* e = list.head; e != nullptr; e = e->next, ++n)
        out.emplace_back(e->data.text);
    EXPECT_EQ(n, list.count) << "count matches the reachable nodes";
    if (list.head == nullptr) {
        EXPECT_EQ(list.tail, nullptr);
    } else {
        EXPECT_EQ(list.tail->next, nullptr);
    }
    return out;
}

using V = std::vector<std::string>;

struct SplitRow {
    const char* text;
    const char* delims;
    V want;
};

class Split : public ::testing::TestWithParam<SplitRow> {};

TEST_P(Split, FollowsStrtokAndClearsTheListFirst) {
    const SplitRow& r = GetParam();
    CString256 junk;
    junk = "stale";
    CList<CString256> list;
    list.append(junk);
    list.append(junk);
    CString256 s;
    s = r.text;
    s.parse_into_list(const_cast<char*>(r.delims), list);
    EXPECT_EQ(items(list), r.want);
    EXPECT_STREQ(s.text, r.text) << "the string itself is not changed";
}

INSTANTIATE_TEST_SUITE_P(Rows, Split,
                         ::testing::Values(SplitRow{"a,b,,c", ",", {"a", "b", "c"}},
                                           SplitRow{",,,", ",", {}}, SplitRow{"", ",", {}},
                                           SplitRow{"movie*.mov", "*", {"movie", ".mov"}},
                                           SplitRow{"a, b", " ,", {"a", "b"}},
                                           SplitRow{",lead,trail,", ",", {"lead", "trail"}},
                                           SplitRow{"whole", "", {"whole"}},
                                           SplitRow{"whole", nullptr, {"whole"}},
                                           SplitRow{"*", "*", {}}));

TEST(SplitLong, LongStringKeepsItsFirst255Characters) {
    std::string text = std::string(200, 'a') + "," + std::string(100, 'b');
    CString256 s;
    s = text.c_str();
    CList<CString256> list;
    s.parse_into_list((char*)",", list);
    EXPECT_EQ(items(list), (V{std::string(200, 'a'), std::string(54, 'b')}));
}

// The split keeps its position to itself: a caller's own strtok scan goes on
// where it was.
TEST(SplitLong, DoesNotDisturbACallersStrtokScan) {
    char outer[] = "one two three";
    char* t = std::strtok(outer, " ");
    ASSERT_STREQ(t, "one");
    CString256 s;
    s = "x;y";
    CList<CString256> list;
    s.parse_into_list((char*)";", list);
    EXPECT_EQ(items(list), (V{"x", "y"}));
    EXPECT_STREQ(std::strtok(nullptr, " "), "two");
    EXPECT_STREQ(std::strtok(nullptr, " "), "three");
}

TEST(Join, SeparatorsBetweenNeighboursOnly) {
    CList<CString256> list;
    CString256 s;
    s = "junk";
    s.flatten_list(',', list);
    EXPECT_STREQ(s.text, "");

    CString256 a;
    a = "a";
    list.append(a);
    s.flatten_list(',', list);
    EXPECT_STREQ(s.text, "a");
    EXPECT_EQ(list.cursor, nullptr) << "a complete walk leaves the cursor null";

    CString256 b, c;
    b = "b";
    c = "c";
    list.append(b);
    list.append(c);
    s.flatten_list(',', list);
    EXPECT_STREQ(s.text, "a,b,c");
    EXPECT_EQ(items(list), (V{"a", "b", "c"})) << "the list's contents are not changed";
}

TEST(Join, CutAt255AndSeparatorOnlyWhileRoom) {
    CList<CString256> list;
    std::string x254(254, 'x');
    CString256 big, y;
    big = x254.c_str();
    y = "y";
    list.append(big);
    list.append(y);
    CString256 s;
    s.flatten_list(',', list);
    EXPECT_EQ(std::string(s.text), x254 + "y");

    CList<CString256> many;
    CString256 word;
    word = "0123456789";
    for (int i = 0; i < 40; ++i) many.append(word);
    s.flatten_list('-', many);
    ASSERT_EQ(std::strlen(s.text), 255u);
    std::string want;
    for (int i = 0; i < 40; ++i) {
        if (i) want += '-';
        want += "0123456789";
    }
    EXPECT_EQ(std::string(s.text), want.substr(0, 255));
}

TEST(Cursor, AppendLeavesItOnThePreviousTail) {
    CList<CString256> list;
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.count, 0);
    CString256 s;
    s = "1";
    list.append(s);
    EXPECT_EQ(list.cursor, nullptr);
    s = "2";
    list.append(s);
    EXPECT_EQ(list.cursor, list.head);
    s = "3";
    list.append(s);
    EXPECT_EQ(list.cursor, list.head->next);
    EXPECT_EQ(items(list), (V{"1", "2", "3"})) << "nodes hold copies, not the caller's string";
    list.clear();
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.cursor, nullptr);
    EXPECT_EQ(list.count, 0);
    list.append(s);
    EXPECT_EQ(items(list), (V{"3"}));
}

// A wildcard walk that stops at a missing fragment leaves the cursor on the
// node after it.
TEST(Cursor, FailedWildcardWalkStopsAfterTheMissingFragment) {
    CList<CString256> frags;
    CString256 f;
    for (const char* p : {"a", "zz", "b"}) {
        f = p;
        frags.append(f);
    }
    CString256 text;
    text = "a b c";
    float score = -1;
    text.match_wildcard_case(frags, &score);
    EXPECT_EQ(score, 0.0f);
    EXPECT_EQ(frags.cursor, frags.tail) << "cursor on the node after \"zz\"";
    f = "a";
    frags.clear();
    frags.append(f);
    text.match_wildcard_case(frags, &score);
    EXPECT_EQ(score, 1.0f);
    EXPECT_EQ(frags.cursor, nullptr);
}

}  // namespace
