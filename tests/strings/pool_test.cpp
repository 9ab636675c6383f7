// The two pools: hand-out order, last-in first-out reuse, chunks never given
// back, failure to get a chunk. The pools are process-wide and keep what
// earlier cases gave back, so a case that needs them as they are at load
// empties their free lists first (the whole program runs in one process as
// well as one case per process under CTest).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <type_traits>
#include <vector>

#include "vantrel/CString256.h"
#include "vantrel/fault.h"

namespace {

// Takes everything off both free lists, so that the next string and the next
// node come from fresh chunks, as in a process that has used neither yet;
// gives it back at the end.
class EmptyPools {
  public:
    EmptyPools() {
        while (CString256::nfree != nullptr) strings_.push_back(new CString256);
        CString256 s;
        while (elem<CString256>::lfree != nullptr) nodes_.append(s);
    }
    ~EmptyPools() {
        for (CString256* p : strings_) delete p;
    }
    EmptyPools(const EmptyPools&) = delete;
    EmptyPools& operator=(const EmptyPools&) = delete;

  private:
    std::vector<CString256*> strings_;
    CList<CString256> nodes_;
};

class StringPool : public ::testing::Test {
  protected:
    EmptyPools pools_;
};
using NodePool = StringPool;

TEST_F(StringPool, FreshChunkHandsOutZeroThen255Down) {
    ASSERT_EQ(CString256::nfree, nullptr);
    std::vector<CString256*> got;
    for (int i = 0; i < 256; ++i) got.push_back(new CString256);
    CString256* base = got[0];
    EXPECT_EQ(got[1], base + 255);
    EXPECT_EQ(got[2], base + 254);
    for (int k = 1; k < 256; ++k) ASSERT_EQ(got[k], base + (256 - k)) << "hand-out " << k;
    EXPECT_EQ(CString256::nfree, nullptr) << "chunk used up";

    // The 257th comes from a second chunk, outside the first.
    CString256* next = new CString256;
    EXPECT_TRUE(next < base || next >= base + 256);
    for (CString256* p : got) EXPECT_STREQ(p->text, "") << "constructed";
    for (CString256* p : got) delete p;
    delete next;
}

TEST_F(StringPool, DeleteThenNewReusesLastInFirstOut) {
    CString256* a = new CString256;
    CString256* b = new CString256;
    CString256* c = new CString256;
    delete a;
    delete c;
    EXPECT_EQ(new CString256, c);
    EXPECT_EQ(new CString256, a);
    // Deleted storage is reused, never handed back: a thousand cycles of
    // new/delete keep using the same object.
    CString256* d = new CString256;
    for (int i = 0; i < 1000; ++i) {
        delete d;
        CString256* e = new CString256;
        ASSERT_EQ(e, d);
    }
    delete d;
    delete b;
    delete c;
    delete a;
    delete static_cast<CString256*>(nullptr);  // ignored, the free list stays intact
    EXPECT_EQ(new CString256, a);
}

TEST_F(StringPool, NewYieldsNullWhenNoChunkCanBeHad) {
    vantrel::fault::Scope scope;
    vantrel::fault::fail_nth("CString256::operator new", 1, memFullErr);
    CString256* none = new CString256;
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(CString256::nfree, nullptr) << "pool unchanged";
    CString256* one = new CString256;
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(CString256::nfree, one + 255);
    delete one;
}

TEST_F(NodePool, ClearedNodesAreReusedLastNodeFirst) {
    ASSERT_EQ(elem<CString256>::lfree, nullptr);
    CString256 s;
    s = "n";
    CList<CString256> a;
    a.append(s);
    elem<CString256>* first = a.head;
    a.append(s);
    EXPECT_EQ(a.tail, first + 255) << "nodes come 0, 255, 254, ...";
    a.append(s);
    elem<CString256>* last = a.tail;
    a.clear();
    EXPECT_EQ(elem<CString256>::lfree, last);
    CList<CString256> b;
    b.append(s);
    EXPECT_EQ(b.head, last) << "the cleared list's last node is reused first";
}

TEST_F(NodePool, RefillingOneListNeverTakesASecondChunk) {
    CString256 s;
    s = "node";
    CList<CString256> list;
    std::set<elem<CString256>*> seen;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 256; ++i) list.append(s);
        ASSERT_EQ(list.count, 256);
        for (elem<CString256>* e = list.head; e != nullptr; e = e->next) seen.insert(e);
        list.clear();
    }
    EXPECT_EQ(seen.size(), 256u) << "only the first chunk's nodes were ever used";
    elem<CString256>* lo = *seen.begin();
    EXPECT_EQ(*seen.rbegin(), lo + 255);
}

TEST_F(NodePool, AppendWithoutANodeLeavesTheListUnchanged) {
    vantrel::fault::Scope scope;
    CString256 s;
    s = "x";
    CList<CString256> list;
    list.append(s);
    list.append(s);
    // Use up the chunk so the next append needs a new one.
    CList<CString256> filler;
    for (int i = 0; i < 254; ++i) filler.append(s);
    ASSERT_EQ(elem<CString256>::lfree, nullptr);
    elem<CString256>* cursor = list.cursor;
    vantrel::fault::fail_nth("elem<CString256>::operator new", 1, memFullErr);
    list.append(s);
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(list.head->next, list.tail);
    EXPECT_EQ(list.tail->next, nullptr);
    EXPECT_EQ(list.cursor, cursor);
    list.append(s);
    EXPECT_EQ(list.count, 3);
}

// A list that goes away gives its nodes back as clear does.
TEST_F(NodePool, DestroyedListReturnsItsNodes) {
    CString256 s;
    s = "x";
    elem<CString256>* last = nullptr;
    {
        CList<CString256> scoped;
        scoped.append(s);
        scoped.append(s);
        last = scoped.tail;
    }
    EXPECT_EQ(elem<CString256>::lfree, last);
}

// Misuse of a pool is stopped before it corrupts the free list: a corrupt
// list would hand one object to two owners, or loop for ever.

TEST(PoolMisuse, PooledClassesCannotBeDerivedFrom) {
    // A derived object would be larger than a slot and overwrite the next one.
    EXPECT_TRUE(std::is_final_v<CString256>);
    EXPECT_TRUE(std::is_final_v<elem<CString256>>);
}

TEST(PoolMisuse, OtherSizesComeFromTheGlobalAllocator) {
    const std::size_t size = 2 * sizeof(CString256);
    void* big = CString256::operator new(size);
    ASSERT_NE(big, nullptr);
    std::memset(big, 'b', size);
    const std::size_t node_size = 3 * sizeof(elem<CString256>);
    void* nodes = elem<CString256>::operator new(node_size);
    ASSERT_NE(nodes, nullptr);
    std::memset(nodes, 'n', node_size);
    auto outside = [](const void* obj, std::size_t n, const void* block, std::size_t size) {
        auto* o = static_cast<const unsigned char*>(obj);
        auto* b = static_cast<const unsigned char*>(block);
        return o + n <= b || o >= b + size;
    };
    std::vector<CString256*> got;
    for (int i = 0; i < 256; ++i) got.push_back(new CString256);
    for (CString256* p : got)
        ASSERT_TRUE(outside(p, sizeof *p, big, size)) << "a pooled string inside the larger block";
    CString256 s;
    s = "x";
    CList<CString256> list;
    for (int i = 0; i < 256; ++i) list.append(s);
    for (elem<CString256>* e = list.head; e != nullptr; e = e->next)
        ASSERT_TRUE(outside(e, sizeof *e, nodes, node_size)) << "a pooled node inside the block";
    for (CString256* p : got) delete p;
    CString256::operator delete(big, size);
    ::operator delete(nodes);
}

// Checked builds (debug, sanitizers) stop at the second delete with a
// message; release builds ignore it, so the free list stays sound and no
// object is handed out twice.
TEST(PoolMisuseDeathTest, DeletingAStringTwice) {
    CString256* a = new CString256;
    CString256* b = new CString256;
    delete a;
#ifdef NDEBUG
    delete a;
    CString256* c = new CString256;
    CString256* d = new CString256;
    EXPECT_NE(c, d) << "one object handed out twice";
    EXPECT_EQ(c, a);
    delete c;
    delete d;
#else
    EXPECT_DEATH(delete a, "operator delete: object at .* given back twice");
#endif
    delete b;
}

// Two threads taking from a pool at once can both take the object on top
// while the list still starts with it (one of the two updates lost). The next
// taker must not get that object a third time: a checked build stops there, a
// release build leaves the torn list for a fresh chunk.
TEST(PoolMisuseDeathTest, ObjectInUseOnTopOfTheFreeList) {
    CString256* a = new CString256;
    CString256* b = new CString256;
    [[maybe_unused]] CString256* const strings_before = CString256::nfree;
    CString256::nfree = a;

    CString256 s;
    s = "x";
    CList<CString256> list;
    list.append(s);
    [[maybe_unused]] elem<CString256>* const nodes_before = elem<CString256>::lfree;
    elem<CString256>::lfree = list.head;
#ifdef NDEBUG
    CString256* c = new CString256;
    EXPECT_NE(c, a) << "a string in use handed out again";
    EXPECT_NE(c, b);
    list.append(s);
    EXPECT_NE(list.head, list.tail) << "a node in use handed out again";
    delete c;
#else
    EXPECT_DEATH((void)new CString256,
                 "CString256::operator new: object at .* in use is on the free list");
    EXPECT_DEATH(list.append(s),
                 "elem<CString256>::operator new: object at .* in use is on the free list");
    CString256::nfree = strings_before;
    elem<CString256>::lfree = nodes_before;
#endif
    delete a;
    delete b;
}

TEST(PoolMisuseDeathTest, ClearingANodeTwice) {
    CString256 s;
    s = "x";
    CList<CString256> a;
    a.append(s);
    // A second list sharing the node, as a byte-wise copy of the first would.
    CList<CString256> b;
    b.head = b.tail = a.head;
    b.count = 1;
    a.clear();
#ifdef NDEBUG
    b.clear();
    CList<CString256> c;
    c.append(s);
    c.append(s);
    EXPECT_NE(c.head, c.tail) << "one node handed out twice";
#else
    EXPECT_DEATH(b.clear(), "clear: object at .* given back twice");
    b.head = b.tail = nullptr;  // this process did not clear it: forget the shared node
    b.count = 0;
#endif
}

}  // namespace
