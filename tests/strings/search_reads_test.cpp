// How often the searches read their text, counted through the exported entry
// points: the text lies alone in pages that are kept inaccessible, every
// instruction that touches them faults, and the handler opens the pages for
// exactly that one instruction (the processor's trap flag) and closes them
// again. The count is the number of instructions that read the text, so the
// test is exact on a loaded machine and needs no timing.
//
// A search that checks every candidate in turn reads a text of n bytes about
// n * m times for a pattern of m bytes on its worst case (a run of "a"
// searched for a run of "a" ended by "b"); a linear one reads each byte a
// bounded number of times whatever the inputs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "vantrel/CString256.h"
#include "vantrel/StringUtils.h"

namespace {

#if defined(__x86_64__)

constexpr unsigned long kTrapFlag = 0x100;

char* g_watched = nullptr;
std::size_t g_watched_size = 0;
long g_reads = 0;

void on_fault(int, siginfo_t* info, void* context) {
    char* at = static_cast<char*>(info->si_addr);
    if (at < g_watched || at >= g_watched + g_watched_size) {
        // Not ours: let the fault happen again with the default action.
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    ++g_reads;
    mprotect(g_watched, g_watched_size, PROT_READ | PROT_WRITE);
    static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

void after_one_instruction(int, siginfo_t*, void* context) {
    mprotect(g_watched, g_watched_size, PROT_NONE);
    static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
}

// Pages for `bytes` bytes whose reads are counted while a Watch is armed.
class WatchedPages {
  public:
    explicit WatchedPages(std::size_t bytes) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        size_ = (bytes + page - 1) / page * page;
        void* m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = m == MAP_FAILED ? nullptr : static_cast<char*>(m);
    }
    ~WatchedPages() {
        if (base_ != nullptr) munmap(base_, size_);
    }
    WatchedPages(const WatchedPages&) = delete;
    WatchedPages& operator=(const WatchedPages&) = delete;

    char* base() const { return base_; }

    // Runs `f` with the pages inaccessible; the number of instructions that
    // touched them.
    template <class F>
    long reads_during(F f) {
        struct sigaction fault {
        }, trap{}, old_fault{}, old_trap{};
        fault.sa_sigaction = on_fault;
        fault.sa_flags = SA_SIGINFO;
        trap.sa_sigaction = after_one_instruction;
        trap.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &fault, &old_fault);
        sigaction(SIGTRAP, &trap, &old_trap);
        g_watched = base_;
        g_watched_size = size_;
        g_reads = 0;
        mprotect(base_, size_, PROT_NONE);
        f();
        mprotect(base_, size_, PROT_READ | PROT_WRITE);
        g_watched = nullptr;
        sigaction(SIGSEGV, &old_fault, nullptr);
        sigaction(SIGTRAP, &old_trap, nullptr);
        return g_reads;
    }

  private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
};

struct ReadRow {
    const char* what;
    bool string_text;  // the text is a CString256 (255 characters), else a C string
    // Searches the text for the pattern; the answer (found or not).
    bool (*search)(char* text, CString256& text_string, const char* pattern);
};

void PrintTo(const ReadRow& r, std::ostream* os) {
    *os << r.what;
}

using Member = void (CString256::*)(CString256&, float*);

template <Member M>
bool member(char*, CString256& text, const char* pattern) {
    CString256 p;
    p = pattern;
    float score = -1;
    (text.*M)(p, &score);
    return score == 1.0f;
}

template <void (*Wildcard)(CList<CString256>&, float*, CString256&)>
bool wildcard(char*, CString256& text, const char* pattern) {
    CList<CString256> fragments;
    CString256 f;
    f = pattern;
    fragments.append(f);
    float score = -1;
    Wildcard(fragments, &score, text);
    return score == 1.0f;
}

template <void (*Adapter)(void*, void*, float*)>
bool adapter(char* text, CString256&, const char* pattern) {
    float score = -1;
    Adapter(text, const_cast<char*>(pattern), &score);
    return score == 1.0f;
}

class SearchReads : public ::testing::TestWithParam<ReadRow> {};

TEST_P(SearchReads, EachTextByteABoundedNumberOfTimes) {
    const ReadRow& r = GetParam();
    // Texts of n times "a"; patterns of m - 1 times "a" and then "b" (absent,
    // every position a candidate that fails at the last byte) or "a" (found
    // at once).
    const std::size_t n = r.string_text ? 255 : 3000;
    for (std::size_t m : {2u, 8u, 40u, 120u}) {
        WatchedPages pages(sizeof(CString256) > n + 1 ? sizeof(CString256) : n + 1);
        ASSERT_NE(pages.base(), nullptr);
        char* text = pages.base();
        CString256* text_string = nullptr;
        if (r.string_text) {
            text_string = ::new (text) CString256;
            *text_string = std::string(n, 'a').c_str();
        } else {
            std::memset(text, 'a', n);
            text[n] = '\0';
        }
        CString256 unused;
        CString256& t = text_string != nullptr ? *text_string : unused;
        for (char last : {'b', 'a'}) {
            const std::string pattern = std::string(m - 1, 'a') + last;
            bool found = false;
            const long reads =
                pages.reads_during([&] { found = r.search(text, t, pattern.c_str()); });
            EXPECT_EQ(found, last == 'a') << "pattern of " << m << " ending in " << last;
            EXPECT_LE(reads, static_cast<long>(8 * (n + m)))
                << "instructions reading a text of " << n << " bytes for a pattern of " << m
                << " ending in " << last;
        }
    }
}

void wildcard_case(CList<CString256>& f, float* s, CString256& t) {
    t.match_wildcard_case(f, s);
}
void wildcard_nocase(CList<CString256>& f, float* s, CString256& t) {
    t.match_wildcard_nocase(f, s);
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, SearchReads,
    ::testing::Values(ReadRow{"STRSTR", false,
                              [](char* text, CString256&, const char* pattern) {
                                  return STRSTR(text, pattern) != nullptr;
                              }},
                      ReadRow{"partial adapter", false, adapter<matcher_case_partial_256>},
                      ReadRow{"partial nocase adapter", false, adapter<matcher_nocase_partial_256>},
                      ReadRow{"partial member", true, member<&CString256::match_case_partial>},
                      ReadRow{"partial nocase member", true,
                              member<&CString256::match_nocase_partial>},
                      ReadRow{"wildcard member", true, wildcard<wildcard_case>},
                      ReadRow{"wildcard nocase member", true, wildcard<wildcard_nocase>}));

#else

TEST(SearchReads, EachTextByteABoundedNumberOfTimes) {
    GTEST_SKIP() << "counting reads one instruction at a time needs the x86-64 trap flag";
}

#endif

}  // namespace
