// CString256: capacity, every source form, aliasing, text utilities.
#include "vantrel/CString256.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "vantrel/MacMemory.h"

namespace {

std::string xs(std::size_t n, char c = 'x') {
    return std::string(n, c);
}

// A mutable copy of a literal, for the char* overloads.
struct Buf {
    std::string s;
    explicit Buf(std::string v) : s(std::move(v)) {}
    char* p() { return s.data(); }
};

class CopyCapacity : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CopyCapacity, ConstructAndAssignKeepFirst255) {
    const std::size_t n = GetParam();
    Buf src(xs(n - n / 2, 'a') + xs(n / 2, 'b'));
    const std::string want = src.s.substr(0, 255);
    CString256 built(src.p());
    EXPECT_EQ(std::string(built.text), want);
    CString256 assigned;
    assigned = "junk";
    assigned = src.p();
    EXPECT_EQ(std::string(assigned.text), want);
    CString256 copied(built);
    EXPECT_EQ(std::string(copied.text), want);
    CString256 other;
    other = copied;
    EXPECT_EQ(std::string(other.text), want);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CopyCapacity,
                         ::testing::Values(0, 1, 253, 254, 255, 256, 300, 1000));

struct AppendRow {
    std::size_t have;
    std::size_t add;
};

class AppendCapacity : public ::testing::TestWithParam<AppendRow> {};

TEST_P(AppendCapacity, StringAppendStopsAt255AndCharAppendAt254) {
    const AppendRow r = GetParam();
    Buf head(xs(r.have, 'h'));
    Buf tail(xs(r.add, 't'));
    CString256 s(head.p());
    s += tail.p();
    EXPECT_EQ(std::string(s.text), (head.s + tail.s).substr(0, 255));

    CString256 c(head.p());
    for (std::size_t i = 0; i < r.add; ++i) c += 'c';
    const std::size_t want = r.have >= 254 ? r.have : std::min<std::size_t>(r.have + r.add, 254);
    EXPECT_EQ(std::strlen(c.text), want);
    EXPECT_EQ(std::string(c.text, std::min(r.have, want)),
              head.s.substr(0, std::min(r.have, want)));
}

INSTANTIATE_TEST_SUITE_P(Edges, AppendCapacity,
                         ::testing::Values(AppendRow{0, 0}, AppendRow{0, 300}, AppendRow{253, 1},
                                           AppendRow{253, 3}, AppendRow{254, 1}, AppendRow{254, 3},
                                           AppendRow{255, 1}, AppendRow{100, 155},
                                           AppendRow{100, 156}));

TEST(CString256Append, DocumentedEdges) {
    Buf h254(xs(254));
    CString256 s(h254.p());
    s += (char*)"abc";
    ASSERT_EQ(std::strlen(s.text), 255u);
    EXPECT_EQ(s.text[254], 'a');

    Buf h253(xs(253));
    CString256 t(h253.p());
    t += 'y';
    EXPECT_EQ(std::strlen(t.text), 254u);
    t += 'z';
    EXPECT_EQ(std::strlen(t.text), 254u)
        << "a 254-character string takes no more single characters";
    EXPECT_EQ(t.text[253], 'y');

    CString256 u;
    u = "ab";
    u += '\0';
    EXPECT_STREQ(u.text, "ab");
    u += static_cast<char*>(nullptr);
    EXPECT_STREQ(u.text, "ab");
}

TEST(CString256Append, SelfAppendAndSelfAssign) {
    CString256 s;
    s = "abc";
    s += s;
    EXPECT_STREQ(s.text, "abcabc");
    // Through a reference, as self-assignment happens in real code (and
    // without clang's warning about a literal "s = s").
    CString256& same = s;
    s = same;
    EXPECT_STREQ(s.text, "abcabc");

    Buf h200(xs(200, 'q'));
    CString256 big(h200.p());
    big += big;
    EXPECT_EQ(std::string(big.text), xs(255, 'q'));
    CString256& bigToo = big;
    big = bigToo;
    EXPECT_EQ(std::strlen(big.text), 255u);
}

// A char* pointing into the string's own text is read as the text stood before
// the operation.
TEST(CString256Aliasing, SourcesInsideOwnTextAreSafe) {
    CString256 s;
    s = "hello world";
    s = s.text + 6;
    EXPECT_STREQ(s.text, "world");

    s = "abcdef";
    s += s.text;
    EXPECT_STREQ(s.text, "abcdefabcdef");

    s = "abcdef";
    s += s.text + 3;
    EXPECT_STREQ(s.text, "abcdefdef");

    Buf h(xs(150, 'a') + xs(50, 'b'));
    CString256 big(h.p());
    big += big.text + 100;  // 100 characters, only 55 fit
    EXPECT_EQ(std::string(big.text), h.s + h.s.substr(100, 55));

    // Pointing past the terminator into stale bytes never reads beyond the array.
    CString256 t;
    std::memset(t.text, 'k', sizeof t.text);
    t.text[0] = '\0';
    t += t.text + 200;
    EXPECT_EQ(std::string(t.text), xs(56, 'k')) << "bytes 200..255, and not one more";
}

TEST(CString256Null, NullCharPointers) {
    CString256 a(static_cast<char*>(nullptr));
    EXPECT_STREQ(a.text, "");
    a = "x";
    a = static_cast<char*>(nullptr);
    EXPECT_STREQ(a.text, "");
    a = "x";
    a = static_cast<const char*>(nullptr);
    EXPECT_STREQ(a.text, "");
    a = "keep";
    a += static_cast<char*>(nullptr);
    EXPECT_STREQ(a.text, "keep");
    EXPECT_TRUE(a.beginsWith(static_cast<char*>(nullptr), 0));
    EXPECT_TRUE(a.endsWith(static_cast<CString256*>(nullptr), 1));
}

TEST(CString256Pascal, ConstructAssignAppend) {
    unsigned char p[256];
    p[0] = 3;
    std::memcpy(p + 1, "abcXXXX", 7);
    CString256 a(p);
    EXPECT_STREQ(a.text, "abc");
    const unsigned char* cp = p;
    CString256 b(cp);
    EXPECT_STREQ(b.text, "abc");
    b = "zz";
    b = p;
    EXPECT_STREQ(b.text, "abc");
    b += p;
    EXPECT_STREQ(b.text, "abcabc");

    unsigned char full[256];
    full[0] = 255;
    std::memset(full + 1, 'p', 255);
    CString256 f(full);
    EXPECT_EQ(std::string(f.text), xs(255, 'p'));
    CString256 g;
    g = "12";
    g += full;
    EXPECT_EQ(std::string(g.text), "12" + xs(253, 'p'));

    unsigned char empty[1] = {0};
    CString256 e(empty);
    EXPECT_STREQ(e.text, "");
}

TEST(CString256Integers, AssignAndAppend) {
    struct Row {
        long v;
        const char* want;
    } rows[] = {{0, "0"},
                {-42, "-42"},
                {2147483647L, "2147483647"},
                {-2147483648L, "-2147483648"},
                {LONG_MAX, "9223372036854775807"},
                {LONG_MIN, "-9223372036854775808"}};
    for (const Row& r : rows) {
        CString256 s;
        s = "old";
        s = r.v;
        EXPECT_STREQ(s.text, r.want);
    }
    CString256 x;
    x = "x";
    x += -7L;
    EXPECT_STREQ(x.text, "x-7");
    Buf h(xs(250));
    CString256 full(h.p());
    full += -1234567L;
    EXPECT_EQ(std::string(full.text), xs(250) + "-1234");
}

TEST(CString256Handle, SizesAndEmbeddedNul) {
    auto from = [](Handle h) {
        CString256 s;
        s = "previous";
        s = h;
        return std::string(s.text);
    };
    Handle zero = NewHandle(0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(from(zero), "");

    for (long n : {255L, 256L, 300L}) {
        Handle h = NewHandle(0);
        ASSERT_NE(h, nullptr);
        std::string bytes = xs(static_cast<std::size_t>(n) - 1, 'h') + "Z";
        ASSERT_EQ(PtrAndHand(bytes.data(), h, n), noErr);
        std::string got = from(h);
        EXPECT_EQ(got, bytes.substr(0, 255)) << n << " bytes";
        DisposeHandle(h);
    }

    Handle nul = NewHandle(0);
    ASSERT_EQ(PtrAndHand("ab\0cd", nul, 5), noErr);
    EXPECT_EQ(from(nul), "ab");
    EXPECT_EQ(from(nullptr), "");
    DisposeHandle(nul);
    DisposeHandle(zero);
}

TEST(CString256Affixes, BeginsAndEndsWith) {
    CString256 s;
    s = "clip.mov";
    CString256 empty;
    EXPECT_TRUE(s.beginsWith((char*)"", 0));
    EXPECT_TRUE(s.beginsWith(&empty, 1));
    EXPECT_TRUE(s.endsWith((char*)"", 0));
    EXPECT_TRUE(s.endsWith_nocase((char*)"MOV"));
    EXPECT_FALSE(s.endsWith((char*)"MOV", 0));
    EXPECT_TRUE(s.endsWith((char*)"MOV", 1));
    EXPECT_TRUE(s.endsWith((char*)"clip.mov", 0));
    EXPECT_FALSE(s.endsWith((char*)"xclip.mov", 1)) << "suffix longer than the text";
    EXPECT_FALSE(s.beginsWith((char*)"clip.movie", 1)) << "prefix longer than the text";
    CString256 cap;
    cap = "Clip.mov";
    EXPECT_FALSE(cap.beginsWith((char*)"clip", 0));
    EXPECT_TRUE(cap.beginsWith((char*)"clip", 1));
    CString256 pre;
    pre = "CLIP";
    EXPECT_TRUE(cap.beginsWith_nocase(pre));
    EXPECT_FALSE(cap.beginsWith(&pre, 0));
    CString256 suf;
    suf = ".MOV";
    EXPECT_TRUE(cap.endsWith_nocase(suf));
    EXPECT_FALSE(cap.endsWith(&suf, 0));
    EXPECT_EQ(cap.beginsWith_nocase((char*)"cl"), 1);
    EXPECT_EQ(cap.endsWith_nocase((char*)"x"), 0);
}

struct SuffixRow {
    const char* name;
    const char* suffix;
    const char* want;
};

class ChangeSuffix : public ::testing::TestWithParam<SuffixRow> {};

TEST_P(ChangeSuffix, ReplacesFromTheLastDot) {
    const SuffixRow& r = GetParam();
    CString256 s;
    s = r.name;
    s.change_suffix(const_cast<char*>(r.suffix));
    EXPECT_STREQ(s.text, r.want);
}

INSTANTIATE_TEST_SUITE_P(Rows, ChangeSuffix,
                         ::testing::Values(SuffixRow{"movie.mov", "txt", "movie.txt"},
                                           SuffixRow{"archive.tar.gz", "txt", "archive.tar.txt"},
                                           SuffixRow{"README", "txt", "README.txt"},
                                           SuffixRow{"dir.d/file", "txt", "dir.txt"},
                                           SuffixRow{"movie.mov", nullptr, "movie."},
                                           SuffixRow{"movie.mov", ".bak", "movie..bak"},
                                           SuffixRow{"", "txt", ".txt"},
                                           SuffixRow{".", "a", ".a"}));

TEST(ChangeSuffixCapacity, ResultIsCutAt255) {
    std::string name = xs(253) + ".mov";
    CString256 s;
    s = name.c_str();
    ASSERT_EQ(std::strlen(s.text), 255u);  // "xxx....x.m" : the dot survives the cut
    s.change_suffix((char*)"text");
    EXPECT_EQ(std::string(s.text), xs(253) + ".t");
}

TEST(CString256Filter, KeepsOnlyAlnumAndPunct) {
    CString256 s;
    s = "a b\tc-d\n";
    s.filter_to_alnum_or_punct();
    EXPECT_STREQ(s.text, "abc-d");
    s = " \t\r\n\x01\x7f";
    s.filter_to_alnum_or_punct();
    EXPECT_STREQ(s.text, "");
    s = "  lead,and  trail!  ";
    s.filter_to_alnum_or_punct();
    EXPECT_STREQ(s.text, "lead,andtrail!");
}

TEST(CString256Text, ToLowerAndIndex) {
    CString256 s;
    s = "MiXeD 123 \xC9";
    s.to_lower();
    EXPECT_STREQ(s.text, "mixed 123 \xC9") << "bytes above 0x7F are left alone in the C locale";
    s[0] = 'M';
    EXPECT_EQ(s[0], 'M');
    EXPECT_EQ(static_cast<void*>(&s), static_cast<void*>(s.text)) << "the address is the text's";
}

TEST(CString256Print, AppendsTextAndNewlineToBuffer) {
    char buf[600] = "x";
    CString256 s;
    s = "abc";
    s.print(buf);
    EXPECT_STREQ(buf, "xabc\n");
    CString256 empty;
    empty.print(buf);
    EXPECT_STREQ(buf, "xabc\n\n");
    std::string big = xs(255, 'b');
    CString256 b;
    b = big.c_str();
    buf[0] = '\0';
    b.print(buf);
    EXPECT_EQ(std::string(buf), big + "\n");
}

// A string holds what it was given and nothing else: a copy stores the text
// and its terminator, and after them at most zeros, whatever follows the
// source's terminator (the next field of a record, a heap block's
// bookkeeping, an older text in a string's array).
struct CopyRow {
    const char* what;
    bool from_string;  // the source is a CString256 ("ab", an old text after it), else a char*
    const char* want;
    // Runs the operation; the result's 256 bytes. When the result lands in
    // storage filled with 0xEE beforehand, *filled is set.
    std::string (*run)(const char* src, CString256& src_string, bool* filled);
};

void PrintTo(const CopyRow& r, std::ostream* os) {
    *os << r.what;
}

// Storage for one string, every byte 0xEE.
struct Filled {
    alignas(CString256) unsigned char raw[sizeof(CString256)];
    Filled() { std::memset(raw, 0xEE, sizeof raw); }
    CString256* made() { return ::new (raw) CString256; }
};

std::string image(const CString256& s) {
    return std::string(s.text, sizeof s.text);
}

class CopyStoresOnlyTheText : public ::testing::TestWithParam<CopyRow> {};

TEST_P(CopyStoresOnlyTheText, NothingPastTheTerminator) {
    const CopyRow& r = GetParam();
    // A record whose first field is "ab" and whose second lies in the same
    // sixteen bytes.
    alignas(16) char record[32] = "ab\0PIN=4711\0secret";
    char* heap = static_cast<char*>(std::malloc(3));
    ASSERT_NE(heap, nullptr);
    std::memcpy(heap, "ab", 3);
    CString256 old;
    old = "ab";
    std::memcpy(old.text + 3, "PIN=4711", 8);

    std::vector<std::pair<const char*, const char*>> sources;
    if (r.from_string) {
        sources = {{"a string with an old text after its own", old.text}};
    } else {
        sources = {{"a record", record}, {"a heap block", heap}};
    }
    for (const auto& [where, src] : sources) {
        bool filled = false;
        const std::string got = r.run(src, old, &filled);
        const std::size_t n = std::strlen(r.want);
        ASSERT_EQ(got.substr(0, n + 1), std::string(r.want, n + 1)) << "from " << where;
        EXPECT_EQ(got.find("PIN"), std::string::npos) << "from " << where;
        if (filled) {
            for (std::size_t k = n + 1; k < got.size(); ++k)
                ASSERT_TRUE(got[k] == '\xEE' || got[k] == '\0')
                    << "from " << where << ": byte " << k << " past the terminator became "
                    << static_cast<int>(static_cast<unsigned char>(got[k]));
        }
    }
    std::free(heap);
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, CopyStoresOnlyTheText,
    ::testing::Values(CopyRow{"construct from char*", false, "ab",
                              [](const char* src, CString256&, bool* filled) {
                                  Filled f;
                                  *filled = true;
                                  return image(*::new (f.raw) CString256(const_cast<char*>(src)));
                              }},
                      CopyRow{"assign char*", false, "ab",
                              [](const char* src, CString256&, bool* filled) {
                                  Filled f;
                                  CString256* s = f.made();
                                  *s = const_cast<char*>(src);
                                  *filled = true;
                                  return image(*s);
                              }},
                      CopyRow{"assign const char*", false, "ab",
                              [](const char* src, CString256&, bool* filled) {
                                  Filled f;
                                  CString256* s = f.made();
                                  *s = src;
                                  *filled = true;
                                  return image(*s);
                              }},
                      CopyRow{"append char*", false, "ab",
                              [](const char* src, CString256&, bool* filled) {
                                  Filled f;
                                  CString256* s = f.made();
                                  *s += const_cast<char*>(src);
                                  *filled = true;
                                  return image(*s);
                              }},
                      CopyRow{"change suffix", false, "x.ab",
                              [](const char* src, CString256&, bool* filled) {
                                  Filled f;
                                  CString256* s = f.made();
                                  *s = "x.m";
                                  s->change_suffix(const_cast<char*>(src));
                                  *filled = true;
                                  return image(*s);
                              }},
                      CopyRow{"construct from a string", true, "ab",
                              [](const char*, CString256& from, bool* filled) {
                                  Filled f;
                                  *filled = true;
                                  return image(*::new (f.raw) CString256(from));
                              }},
                      CopyRow{"assign a string", true, "ab",
                              [](const char*, CString256& from, bool* filled) {
                                  Filled f;
                                  CString256* s = f.made();
                                  *s = from;
                                  *filled = true;
                                  return image(*s);
                              }},
                      CopyRow{"append a string", true, "ab",
                              [](const char*, CString256& from, bool* filled) {
                                  Filled f;
                                  CString256* s = f.made();
                                  *s += from;
                                  *filled = true;
                                  return image(*s);
                              }},
                      CopyRow{"list append", true, "ab",
                              [](const char*, CString256& from, bool*) {
                                  CList<CString256> list;
                                  list.append(from);
                                  return image(list.head->data);
                              }},
                      CopyRow{"split into a list", true, "ab",
                              [](const char*, CString256& from, bool*) {
                                  CList<CString256> list;
                                  from.parse_into_list(const_cast<char*>(","), list);
                                  return image(list.head->data);
                              }},
                      CopyRow{"join a list", true, "ab",
                              [](const char*, CString256& from, bool* filled) {
                                  CList<CString256> list;
                                  list.append(from);
                                  Filled f;
                                  CString256* s = f.made();
                                  s->flatten_list(',', list);
                                  *filled = true;
                                  return image(*s);
                              }}));

// A caller that wrote over the terminator through operator[] does not make
// the string's own operations read or write past the array.
TEST(CString256Robustness, LostTerminatorIsRepairedByAppend) {
    CString256 s;
    for (int i = 0; i < 256; ++i) s[i] = 'w';
    s += (char*)"more";
    EXPECT_EQ(std::string(s.text), xs(255, 'w'));
    for (int i = 0; i < 256; ++i) s[i] = 'w';
    s += 'c';
    EXPECT_EQ(std::string(s.text), xs(255, 'w'))
        << "no character is added and the terminator is restored";
}

}  // namespace
