// The string library beside its peers, on the same data in the same run:
// STRSTR / strcasestr (also on its worst case), STRNCMP / strncasecmp, CString256 assign and append
// / std::string and strncpy/strncat, the pool / the global allocator, and each matcher over 10,000
// file names / the C library's nearest function.
//
// Each pair shares a name up to the slash: "Pair/ours" and "Pair/peer".
#include <benchmark/benchmark.h>
#include <fnmatch.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vantrel/CString256.h"
#include "vantrel/StringUtils.h"

namespace {

// 10,000 file names of the kind a movie folder holds, reproducible.
const std::vector<std::string>& names() {
    static const std::vector<std::string> all = [] {
        const char* words[] = {"IMG",    "holiday", "Beach", "movie",   "Clip",    "final",
                               "render", "Copy",    "of",    "trailer", "2019",    "MOVIE",
                               "family", "Summer",  "edit",  "v2",      "Project", "scene",
                               "take",   "audio",   "draft", "Export",  "HD",      "night"};
        const char* exts[] = {".mov", ".MOV", ".mp4", ".m4v", ".avi", ".txt", ".jpg", ".aiff"};
        std::mt19937 rng(20261207);
        std::vector<std::string> v;
        v.reserve(10000);
        for (int i = 0; i < 10000; ++i) {
            std::string n;
            int parts = 1 + static_cast<int>(rng() % 5);
            for (int p = 0; p < parts; ++p) {
                if (p) n += (rng() % 2) ? " " : "_";
                n += words[rng() % 24];
            }
            n += ' ';
            n += std::to_string(rng() % 10000);
            n += exts[rng() % 8];
            v.push_back(n);
        }
        return v;
    }();
    return all;
}

std::vector<CString256>& name_strings() {
    static std::vector<CString256> v = [] {
        std::vector<CString256> out(names().size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = names()[i].c_str();
        return out;
    }();
    return v;
}

// ---- STRSTR / strcasestr

template <bool Ours>
void Strstr(benchmark::State& state, const char* pattern) {
    const auto& v = names();
    for (auto _ : state) {
        long hits = 0;
        for (const std::string& n : v) {
            const char* r = Ours ? STRSTR(n.c_str(), pattern) : strcasestr(n.c_str(), pattern);
            hits += r != nullptr;
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void Strstr_ours(benchmark::State& st, const char* p) {
    Strstr<true>(st, p);
}
void Strstr_strcasestr(benchmark::State& st, const char* p) {
    Strstr<false>(st, p);
}
BENCHMARK_CAPTURE(Strstr_ours, ext, ".mov");
BENCHMARK_CAPTURE(Strstr_strcasestr, ext, ".mov");
BENCHMARK_CAPTURE(Strstr_ours, word, "SUMMER");
BENCHMARK_CAPTURE(Strstr_strcasestr, word, "SUMMER");
BENCHMARK_CAPTURE(Strstr_ours, absent, "zebra crossing");
BENCHMARK_CAPTURE(Strstr_strcasestr, absent, "zebra crossing");

// The worst case of a search that checks every candidate in turn: 200,000
// times "a" searched for 2,000 times "a" followed by "b" (not found).
template <bool Ours>
void StrstrWorst(benchmark::State& state) {
    const std::string text(200000, 'a');
    const std::string pattern = std::string(2000, 'a') + "b";
    for (auto _ : state) {
        const char* r = Ours ? STRSTR(text.c_str(), pattern.c_str())
                             : strcasestr(text.c_str(), pattern.c_str());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(text.size()));
}
void StrstrWorst_ours(benchmark::State& st) {
    StrstrWorst<true>(st);
}
void StrstrWorst_strcasestr(benchmark::State& st) {
    StrstrWorst<false>(st);
}
BENCHMARK(StrstrWorst_ours);
BENCHMARK(StrstrWorst_strcasestr);

// ---- STRNCMP / strncasecmp

template <bool Ours>
void Strncmp(benchmark::State& state, bool differentCase) {
    const auto& v = names();
    std::vector<std::string> other(v);
    if (differentCase)
        for (std::string& s : other)
            for (char& c : s)
                c = static_cast<char>(std::islower(static_cast<unsigned char>(c))
                                          ? std::toupper(c)
                                          : std::tolower(c));
    for (auto _ : state) {
        long zero = 0;
        for (std::size_t i = 0; i < v.size(); ++i) {
            int r = Ours ? STRNCMP(v[i].c_str(), other[i].c_str(), 255)
                         : strncasecmp(v[i].c_str(), other[i].c_str(), 255);
            zero += r == 0;
        }
        benchmark::DoNotOptimize(zero);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void Strncmp_ours(benchmark::State& st, bool swapped) {
    Strncmp<true>(st, swapped);
}
void Strncmp_strncasecmp(benchmark::State& st, bool swapped) {
    Strncmp<false>(st, swapped);
}
BENCHMARK_CAPTURE(Strncmp_ours, same_case, false);
BENCHMARK_CAPTURE(Strncmp_strncasecmp, same_case, false);
BENCHMARK_CAPTURE(Strncmp_ours, swapped_case, true);
BENCHMARK_CAPTURE(Strncmp_strncasecmp, swapped_case, true);

// ---- assign and append

void Assign_ours(benchmark::State& state) {
    const auto& v = names();
    CString256 s;
    for (auto _ : state) {
        for (const std::string& n : v) {
            s = n.c_str();
            benchmark::DoNotOptimize(s.text);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void Assign_std_string(benchmark::State& state) {
    const auto& v = names();
    std::string s;
    s.reserve(256);
    for (auto _ : state) {
        for (const std::string& n : v) {
            s = n.c_str();
            benchmark::DoNotOptimize(s.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void Assign_strncpy(benchmark::State& state) {
    const auto& v = names();
    char s[256];
    for (auto _ : state) {
        for (const std::string& n : v) {
            std::strncpy(s, n.c_str(), 255);
            s[255] = '\0';
            benchmark::DoNotOptimize(s);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
BENCHMARK(Assign_ours);
BENCHMARK(Assign_std_string);
BENCHMARK(Assign_strncpy);

// Appends names until the string is full (255 characters), then starts over.
// The arrays start zeroed, so that the last byte tells when the text reached
// it (as for the strncat peer).
void Append_ours(benchmark::State& state) {
    const auto& v = names();
    CString256 s;
    std::memset(s.text, 0, sizeof s.text);
    for (auto _ : state) {
        for (const std::string& n : v) {
            s += const_cast<char*>(n.c_str());
            if (s.text[254] != '\0') s.text[0] = '\0';
        }
        benchmark::DoNotOptimize(s.text);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void Append_std_string(benchmark::State& state) {
    const auto& v = names();
    std::string s;
    s.reserve(512);
    for (auto _ : state) {
        for (const std::string& n : v) {
            s.append(n.c_str(), std::min<std::size_t>(std::strlen(n.c_str()), 255 - s.size()));
            if (s.size() >= 255) s.clear();
        }
        benchmark::DoNotOptimize(s.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void Append_strncat(benchmark::State& state) {
    const auto& v = names();
    char s[256] = "";
    for (auto _ : state) {
        for (const std::string& n : v) {
            std::strncat(s, n.c_str(), 255 - std::strlen(s));
            if (s[254] != '\0') s[0] = '\0';
        }
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
BENCHMARK(Append_ours);
BENCHMARK(Append_std_string);
BENCHMARK(Append_strncat);

// ---- pool / global allocator: 64 objects made, then freed, per round

struct Plain {
    char text[256];
    void* next_free;
};

void NewDelete_ours(benchmark::State& state) {
    CString256* held[64];
    for (auto _ : state) {
        for (auto*& p : held) p = new CString256;
        benchmark::DoNotOptimize(held);
        for (auto* p : held) delete p;
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
void NewDelete_global(benchmark::State& state) {
    Plain* held[64];
    for (auto _ : state) {
        for (auto*& p : held) {
            p = new Plain;
            p->text[0] = '\0';
        }
        benchmark::DoNotOptimize(held);
        for (auto* p : held) delete p;
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(NewDelete_ours);
BENCHMARK(NewDelete_global);

// ---- matchers over 10,000 names

using Member = void (CString256::*)(CString256&, float*);

void RunMember(benchmark::State& state, Member m, const char* pattern) {
    auto& v = name_strings();
    CString256 p;
    p = pattern;
    for (auto _ : state) {
        float total = 0, score;
        for (CString256& s : v) {
            (s.*m)(p, &score);
            total += score;
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}

template <class F>
void RunPeer(benchmark::State& state, F f) {
    auto& v = name_strings();
    for (auto _ : state) {
        float total = 0;
        for (CString256& s : v) total += f(s.text);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}

const char* kExact = "holiday_Beach 1234.mov";
const char* kPart = "beach";
const char* kApprox = "holdy bch mov";

void ExactCase_ours(benchmark::State& st) {
    RunMember(st, &CString256::match_case_exact, kExact);
}
void ExactCase_strcmp(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return (*t && std::strcmp(t, kExact) == 0) ? 1.0f : 0.0f; });
}
void ExactNocase_ours(benchmark::State& st) {
    RunMember(st, &CString256::match_nocase_exact, kExact);
}
void ExactNocase_strcasecmp(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return (*t && strcasecmp(t, kExact) == 0) ? 1.0f : 0.0f; });
}
void PartialCase_ours(benchmark::State& st) {
    RunMember(st, &CString256::match_case_partial, kPart);
}
void PartialCase_strstr(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return std::strstr(t, kPart) ? 1.0f : 0.0f; });
}
void PartialNocase_ours(benchmark::State& st) {
    RunMember(st, &CString256::match_nocase_partial, kPart);
}
void PartialNocase_strcasestr(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return strcasestr(t, kPart) ? 1.0f : 0.0f; });
}

// The approximate scan has no C library counterpart; its peer is the same
// greedy scan written plainly over std::string (find / tolower per byte).
float plain_approx(const std::string& t, const std::string& p, bool nocase) {
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < p.size() && at < t.size(); ++j) {
        std::size_t k = at;
        if (nocase) {
            while (k < t.size() && std::tolower(static_cast<unsigned char>(t[k])) !=
                                       std::tolower(static_cast<unsigned char>(p[j])))
                ++k;
        } else {
            k = t.find(p[j], at);
            if (k == std::string::npos) k = t.size();
        }
        if (k < t.size()) {
            ++matched;
            at = k + 1;
        }
    }
    return t.size() + p.size()
               ? static_cast<float>(2.0 * matched / static_cast<double>(t.size() + p.size()))
               : 0.0f;
}
void ApproxCase_ours(benchmark::State& st) {
    RunMember(st, &CString256::match_case_approximate, kApprox);
}
void ApproxCase_plain(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return plain_approx(t, kApprox, false); });
}
void ApproxNocase_ours(benchmark::State& st) {
    RunMember(st, &CString256::match_nocase_approximate, kApprox);
}
void ApproxNocase_plain(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return plain_approx(t, kApprox, true); });
}

// Wildcard "*movie*.mov*" as a fragment list against fnmatch(3).
void RunWildcard(benchmark::State& state, bool nocase) {
    auto& v = name_strings();
    CString256 pat;
    pat = "*movie*.mov*";
    CList<CString256> frags;
    pat.parse_into_list(const_cast<char*>("*"), frags);
    for (auto _ : state) {
        float total = 0, score;
        for (CString256& s : v) {
            if (nocase) {
                s.match_wildcard_nocase(frags, &score);
            } else {
                s.match_wildcard_case(frags, &score);
            }
            total += score;
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(v.size()));
}
void WildcardCase_ours(benchmark::State& st) {
    RunWildcard(st, false);
}
void WildcardCase_fnmatch(benchmark::State& st) {
    RunPeer(st, [](const char* t) { return fnmatch("*movie*.mov*", t, 0) == 0 ? 1.0f : 0.0f; });
}
void WildcardNocase_ours(benchmark::State& st) {
    RunWildcard(st, true);
}
void WildcardNocase_fnmatch(benchmark::State& st) {
    RunPeer(st, [](const char* t) {
        return fnmatch("*movie*.mov*", t, FNM_CASEFOLD) == 0 ? 1.0f : 0.0f;
    });
}

BENCHMARK(ExactCase_ours);
BENCHMARK(ExactCase_strcmp);
BENCHMARK(ExactNocase_ours);
BENCHMARK(ExactNocase_strcasecmp);
BENCHMARK(PartialCase_ours);
BENCHMARK(PartialCase_strstr);
BENCHMARK(PartialNocase_ours);
BENCHMARK(PartialNocase_strcasestr);
BENCHMARK(ApproxCase_ours);
BENCHMARK(ApproxCase_plain);
BENCHMARK(ApproxNocase_ours);
BENCHMARK(ApproxNocase_plain);
BENCHMARK(WildcardCase_ours);
BENCHMARK(WildcardCase_fnmatch);
BENCHMARK(WildcardNocase_ours);
BENCHMARK(WildcardNocase_fnmatch);

}  // namespace

BENCHMARK_MAIN();
