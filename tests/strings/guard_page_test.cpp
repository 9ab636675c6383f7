// Every entry point with its input flush against an inaccessible page, so
// that reading one byte past the input faults. The block-wise code may read
// past a terminator only within the page the terminator is in, so nothing
// here may fault, at any length and so at every alignment of the end; and
// the answer at the guard must be the answer elsewhere.
//
// A CString256 is placed with the end of its array on the guard (its
// free-list link then lies in the inaccessible page, which none of its own
// operations touch). With the terminator overwritten, its operations read no
// further than the array and treat the text as its first 255 characters.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "vantrel/CString256.h"
#include "vantrel/StringUtils.h"

namespace {

// Two pages; the second is made inaccessible.
class Guarded {
  public:
    Guarded() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* m =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return;
        base_ = static_cast<char*>(m);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) {
            munmap(base_, 2 * page_);
            base_ = nullptr;
        }
    }
    ~Guarded() {
        if (base_ != nullptr) munmap(base_, 2 * page_);
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    bool ok() const { return base_ != nullptr; }
    // The first inaccessible byte.
    char* end() const { return base_ + page_; }
    // Copies `bytes` so that their last byte is the last accessible one.
    char* flush(const std::string& bytes) const {
        char* at = end() - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }

  private:
    char* base_ = nullptr;
    std::size_t page_ = 0;
};

std::string bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return std::to_string(u);
}

std::string where(const char* hit, const char* base) {
    return hit == nullptr ? "null" : std::to_string(hit - base);
}

// A text of `n` characters over letters that fold, a separator and a dot.
std::string text_of(std::size_t n) {
    static const char pattern[] = "aBc,dE.fGh";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += pattern[i % (sizeof pattern - 1)];
    return s;
}

// ---- entry points that take a plain C string

struct CRow {
    const char* what;
    // The outcome of the entry point with `s` (a C string) as the input in
    // question, written out for comparison.
    std::string (*run)(char* s);
};

void PrintTo(const CRow& r, std::ostream* os) {
    *os << r.what;
}

class CStringAtGuard : public ::testing::TestWithParam<CRow> {};

TEST_P(CStringAtGuard, SameAnswerAsElsewhereAndNoFault) {
    Guarded g;
    ASSERT_TRUE(g.ok());
    for (std::size_t n = 0; n <= 300; n += (n < 80 ? 1 : 37)) {
        const std::string s = text_of(n);
        char* flushed = g.flush(std::string(s.c_str(), n + 1));
        std::string elsewhere = s;
        EXPECT_EQ(GetParam().run(flushed), GetParam().run(elsewhere.data())) << n << " characters";
    }
}

using Score = void (*)(void*, void*, float*);

template <Score F>
std::string text_to_adapter(char* s) {
    float score = -1;
    F(const_cast<char*>(s), const_cast<char*>("aBc.f"), &score);
    return bits(score);
}

template <Score F>
std::string pattern_to_adapter(char* s) {
    float score = -1;
    const std::string text = text_of(120);
    F(const_cast<char*>(text.c_str()), const_cast<char*>(s), &score);
    return bits(score);
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, CStringAtGuard,
    ::testing::Values(
        CRow{"STRSTR text",
             [](char* s) {
                 return where(STRSTR(s, "H"), s) + where(STRSTR(s, "fGhA"), s) +
                        where(STRSTR(s, "zz"), s) + where(STRSTR(s, "\xe9"), s);
             }},
        CRow{"STRSTR pattern",
             [](char* s) {
                 const std::string t = text_of(200);
                 return where(STRSTR(t.c_str(), s), t.c_str());
             }},
        CRow{"STRNCMP",
             [](char* s) {
                 std::string u = s;
                 for (char& c : u) c = static_cast<char>(c ^ 0x20);
                 std::string v = u + "x";
                 return std::to_string(STRNCMP(s, u.c_str(), 300)) +
                        std::to_string(STRNCMP(u.c_str(), s, 300)) +
                        std::to_string(STRNCMP(s, v.c_str(), -1)) +
                        std::to_string(STRNCMP(v.c_str(), s, 255)) +
                        std::to_string(STRNCMP(s, s, 1000));
             }},
        CRow{"CString256 from char*",
             [](char* s) {
                 CString256 a(const_cast<char*>(s));
                 CString256 b;
                 b = s;
                 CString256 c;
                 c = "head";
                 c += const_cast<char*>(s);
                 return std::string(a.text) + "|" + b.text + "|" + c.text;
             }},
        CRow{"beginsWith and endsWith char*",
             [](char* s) {
                 CString256 t;
                 t = text_of(100).c_str();
                 std::string out;
                 for (unsigned char nocase : {0, 1}) {
                     out += std::to_string(t.beginsWith(const_cast<char*>(s), nocase));
                     out += std::to_string(t.endsWith(const_cast<char*>(s), nocase));
                 }
                 return out;
             }},
        CRow{"split at delimiters",
             [](char* s) {
                 CString256 t;
                 t = text_of(60).c_str();
                 CList<CString256> list;
                 t.parse_into_list(const_cast<char*>(s), list);
                 t.flatten_list('+', list);
                 return std::string(t.text);
             }},
        CRow{"change suffix",
             [](char* s) {
                 CString256 t;
                 t = "movie.mov";
                 t.change_suffix(const_cast<char*>(s));
                 return std::string(t.text);
             }},
        CRow{"exact adapter text", text_to_adapter<matcher_case_exact_256>},
        CRow{"exact nocase adapter text", text_to_adapter<matcher_nocase_exact_256>},
        CRow{"partial adapter text", text_to_adapter<matcher_case_partial_256>},
        CRow{"partial nocase adapter text", text_to_adapter<matcher_nocase_partial_256>},
        CRow{"approximate adapter text", text_to_adapter<matcher_case_approximate_256>},
        CRow{"approximate nocase adapter text", text_to_adapter<matcher_nocase_approximate_256>},
        CRow{"exact adapter pattern", pattern_to_adapter<matcher_case_exact_256>},
        CRow{"exact nocase adapter pattern", pattern_to_adapter<matcher_nocase_exact_256>},
        CRow{"partial adapter pattern", pattern_to_adapter<matcher_case_partial_256>},
        CRow{"partial nocase adapter pattern", pattern_to_adapter<matcher_nocase_partial_256>},
        CRow{"approximate adapter pattern", pattern_to_adapter<matcher_case_approximate_256>},
        CRow{"approximate nocase adapter pattern",
             pattern_to_adapter<matcher_nocase_approximate_256>},
        CRow{"wildcard adapters text",
             [](char* s) {
                 CList<CString256> frags;
                 CString256 f;
                 f = "c,";
                 frags.append(f);
                 f = ".F";
                 frags.append(f);
                 float a = -1, b = -1;
                 match_wildcard_case_256(const_cast<char*>(s), &frags, &a);
                 match_wildcard_nocase_256(const_cast<char*>(s), &frags, &b);
                 return bits(a) + bits(b);
             }},
        CRow{"reverse", [](char* s) {
                 // In place, where the input lies.
                 reverse(s);
                 std::string out = s;
                 reverse(s);
                 return out;
             }}));

// The bounded itoa writes nothing at or past `size`: its buffer ends at the
// guard.
TEST(ItoaAtGuard, BufferEndingAtTheGuard) {
    Guarded g;
    ASSERT_TRUE(g.ok());
    for (short size = 1; size <= 31; ++size) {
        for (long v : {0L, -1L, 12345L, -12345L, 9223372036854775807L, -9223372036854775807L - 1}) {
            char* buf = g.end() - size;
            itoa(buf, size, v);
            char ref[64];
            itoa(ref, size, v);
            EXPECT_STREQ(buf, ref) << "size " << size << " value " << v;
        }
    }
}

// A Pascal string whose last byte is the last accessible one.
TEST(PascalAtGuard, LengthByteAndBytesEndingAtTheGuard) {
    Guarded g;
    ASSERT_TRUE(g.ok());
    for (std::size_t n = 0; n <= 255; ++n) {
        std::string bytes(1, static_cast<char>(n));
        bytes += text_of(n);
        auto* p = reinterpret_cast<unsigned char*>(g.flush(bytes));
        CString256 s(p);
        EXPECT_EQ(std::string(s.text), text_of(n));
        CString256 t;
        t = "x";
        t += p;
        EXPECT_EQ(std::string(t.text), std::string("x").append(text_of(n)).substr(0, 255));
    }
}

// ---- a CString256 whose array ends at the guard

struct SRow {
    const char* what;
    // The outcome of an operation on the string `s` (which it may change).
    std::string (*run)(CString256& s);
};

void PrintTo(const SRow& r, std::ostream* os) {
    *os << r.what;
}

class StringAtGuard : public ::testing::TestWithParam<SRow> {};

TEST_P(StringAtGuard, TerminatedOrNotReadsOnlyItsArray) {
    Guarded g;
    ASSERT_TRUE(g.ok());
    char* array = g.end() - sizeof CString256::text;
    // Lengths 0 to 255 with a terminator, then 256 characters without one,
    // which read as their first 255.
    for (std::size_t n = 0; n <= 256; ++n) {
        auto* at = ::new (array) CString256;
        const std::string s = text_of(n);
        std::memcpy(at->text, s.data(), n);
        if (n < 256) at->text[n] = '\0';
        CString256 ref;
        ref = s.substr(0, 255).c_str();
        EXPECT_EQ(GetParam().run(*at), GetParam().run(ref))
            << n << (n == 256 ? " characters without a terminator" : " characters");
    }
}

// The text of a string as its own operations read it: up to the terminator,
// at most 255 characters.
std::string read_text(const CString256& s) {
    return std::string(s.text, std::min<std::size_t>(strnlen(s.text, sizeof s.text), 255));
}

using Member = void (CString256::*)(CString256&, float*);

template <Member M>
std::string as_text(CString256& s) {
    CString256 p;
    float a = -1, b = -1, c = -1;
    p = "aBc";
    (s.*M)(p, &a);
    p = "zz";
    (s.*M)(p, &b);
    p = text_of(255).c_str();
    (s.*M)(p, &c);
    return bits(a) + " " + bits(b) + " " + bits(c);
}

template <Member M>
std::string as_pattern(CString256& s) {
    CString256 t;
    float a = -1, b = -1;
    t = text_of(255).c_str();
    (t.*M)(s, &a);
    t = "aBc,dE";
    (t.*M)(s, &b);
    return bits(a) + " " + bits(b);
}

INSTANTIATE_TEST_SUITE_P(
    Members, StringAtGuard,
    ::testing::Values(
        SRow{"copy, assign, append",
             [](CString256& s) {
                 CString256 a(s);
                 CString256 b;
                 b = s;
                 CString256 c;
                 c = "x";
                 c += s;
                 CString256 d;
                 d = "y";
                 d += s.text;
                 return std::string(a.text) + "|" + b.text + "|" + c.text + "|" + d.text;
             }},
        SRow{"exact as text", as_text<&CString256::match_case_exact>},
        SRow{"exact nocase as text", as_text<&CString256::match_nocase_exact>},
        SRow{"partial as text", as_text<&CString256::match_case_partial>},
        SRow{"partial nocase as text", as_text<&CString256::match_nocase_partial>},
        SRow{"approximate as text", as_text<&CString256::match_case_approximate>},
        SRow{"approximate nocase as text", as_text<&CString256::match_nocase_approximate>},
        SRow{"exact as pattern", as_pattern<&CString256::match_case_exact>},
        SRow{"exact nocase as pattern", as_pattern<&CString256::match_nocase_exact>},
        SRow{"partial as pattern", as_pattern<&CString256::match_case_partial>},
        SRow{"partial nocase as pattern", as_pattern<&CString256::match_nocase_partial>},
        SRow{"approximate as pattern", as_pattern<&CString256::match_case_approximate>},
        SRow{"approximate nocase as pattern", as_pattern<&CString256::match_nocase_approximate>},
        SRow{"wildcard",
             [](CString256& s) {
                 CList<CString256> frags;
                 CString256 f;
                 f = "c,";
                 frags.append(f);
                 f = ".F";
                 frags.append(f);
                 float a = -1, b = -1;
                 s.match_wildcard_case(frags, &a);
                 s.match_wildcard_nocase(frags, &b);
                 return bits(a) + bits(b);
             }},
        SRow{"beginsWith and endsWith, as text and as affix",
             [](CString256& s) {
                 CString256 t;
                 t = text_of(255).c_str();
                 CString256 p;
                 p = "aBc";
                 std::string out;
                 for (unsigned char nocase : {0, 1}) {
                     out += std::to_string(t.beginsWith(&s, nocase));
                     out += std::to_string(t.endsWith(&s, nocase));
                     out += std::to_string(s.beginsWith(&p, nocase));
                     out += std::to_string(s.endsWith(&p, nocase));
                 }
                 out += std::to_string(t.beginsWith_nocase(s));
                 out += std::to_string(t.endsWith_nocase(s));
                 return out;
             }},
        SRow{"to_lower, filter, suffix, character append",
             [](CString256& s) {
                 std::string out;
                 s.to_lower();
                 out += read_text(s) + "|";
                 s.filter_to_alnum_or_punct();
                 out += read_text(s) + "|";
                 s.change_suffix(const_cast<char*>("txt"));
                 out += read_text(s) + "|";
                 s += 'q';
                 return out + read_text(s);
             }},
        SRow{"print into a buffer",
             [](CString256& s) {
                 char buf[300] = "";
                 s.print(buf);
                 return std::string(buf);
             }},
        SRow{"split and join", [](CString256& s) {
                 CList<CString256> list;
                 s.parse_into_list(const_cast<char*>(","), list);
                 list.append(s);
                 s.flatten_list('+', list);
                 return read_text(s) + "|" + std::to_string(list.count);
             }}));

}  // namespace
