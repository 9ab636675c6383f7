// Drives random sequences of operations on CString256 values, lists and the
// pool against a reference model built on std::string with the same
// truncation rules. Any difference aborts; ASan/UBSan report memory and
// undefined-behaviour faults, including use of a pooled string after delete.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vantrel/CString256.h"
#include "vantrel/MacMemory.h"
#include "vantrel/StringUtils.h"

namespace {

constexpr std::size_t kCap = 255;

[[noreturn]] void differ(const char* what, const std::string& got, const std::string& want) {
    std::fprintf(stderr, "difference in %s\n  got  (%zu) \"%s\"\n  want (%zu) \"%s\"\n", what,
                 got.size(), got.c_str(), want.size(), want.c_str());
    std::abort();
}

void same(const char* what, const CString256& s, const std::string& model) {
    std::size_t n = strnlen(s.text, sizeof s.text);
    if (n > kCap) differ(what, "<no terminator>", model);
    if (std::string(s.text, n) != model) differ(what, std::string(s.text, n), model);
}

void same_float(const char* what, float got, float want) {
    if (std::memcmp(&got, &want, sizeof got) != 0)
        differ(what, std::to_string(got), std::to_string(want));
}

// ---- reference model, written from the rules rather than from the code

std::string cut(const std::string& s) {
    return s.substr(0, std::min(s.size(), kCap));
}
std::string c_str_part(const std::string& bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

int up(char c) {
    return std::toupper(static_cast<unsigned char>(c));
}
int low(char c) {
    return std::tolower(static_cast<unsigned char>(c));
}

long ref_find(const std::string& t, const std::string& p, int (*fold)(char)) {
    if (p.empty()) return 0;
    for (std::size_t i = 0; i + p.size() <= t.size(); ++i) {
        std::size_t k = 0;
        while (k < p.size() && fold(t[i + k]) == fold(p[k])) ++k;
        if (k == p.size()) return static_cast<long>(i);
    }
    return -1;
}
int same_byte(char c) {
    return static_cast<unsigned char>(c);
}

int ref_strncmp(const std::string& a, const std::string& b, int n) {
    for (std::size_t i = 0; n < 0 || i < static_cast<std::size_t>(n); ++i) {
        unsigned char ca = i < a.size() ? a[i] : 0, cb = i < b.size() ? b[i] : 0;
        if (std::toupper(ca) != std::toupper(cb)) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

std::string ref_itoa(long v, int size) {
    if (size <= 0) return "";
    std::string full = std::to_string(v);
    std::size_t room = static_cast<std::size_t>(size - 1);
    if (full.size() <= room) return full;
    if (v >= 0) return full.substr(full.size() - room);
    if (room == 0) return "";
    return "-" + full.substr(full.size() - (room - 1));
}

float ref_approx(const std::string& t, const std::string& p, int (*fold)(char)) {
    std::size_t matched = 0, at = 0;
    for (std::size_t j = 0; j < p.size() && at < t.size(); ++j) {
        for (std::size_t k = at; k < t.size(); ++k) {
            if (fold(t[k]) == fold(p[j])) {
                ++matched;
                at = k + 1;
                break;
            }
        }
    }
    std::size_t n = t.size(), m = p.size();
    if (n + m == 0) return 0.0f;
    // The score's defined order and precision: differences in float, the
    // rest in double, rounded to float at the end.
    float da = std::abs(static_cast<float>(n) - static_cast<float>(matched));
    float db = std::abs(static_cast<float>(m) - static_cast<float>(matched));
    return static_cast<float>(1.0 - (static_cast<double>(da) + static_cast<double>(db)) /
                                        static_cast<double>(n + m));
}

std::vector<std::string> ref_split(const std::string& s, const std::string& delims) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (delims.find(c) != std::string::npos) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string ref_join(const std::vector<std::string>& items, char sep) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        s = cut(s + items[i]);
        if (i + 1 != items.size() && sep != '\0' && s.size() <= 253) s += sep;
    }
    return s;
}

bool ref_wildcard(const std::string& t, const std::vector<std::string>& frags, int (*fold)(char)) {
    std::size_t at = 0;
    for (const std::string& f : frags) {
        long hit = ref_find(t.substr(at), f, fold);
        if (hit < 0) return false;
        at += static_cast<std::size_t>(hit) + f.size();
    }
    return true;
}

// ---- the harness

struct Slot {
    CString256* s;  // on the stack for slots 0-1, from the pool for the others
    std::string model;
};

std::string take_bytes(FuzzedDataProvider& in, std::size_t max) {
    return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, max));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    CString256 a, b;
    std::vector<Slot> slots = {{&a, ""}, {&b, ""}};
    slots.reserve(8);
    CList<CString256> lists[2];
    std::vector<std::string> list_models[2];

    int steps = 0;
    while (in.remaining_bytes() > 0 && ++steps < 200) {
        Slot& x = slots[in.ConsumeIntegralInRange<std::size_t>(0, slots.size() - 1)];
        Slot& y = slots[in.ConsumeIntegralInRange<std::size_t>(0, slots.size() - 1)];
        CString256& s = *x.s;
        switch (in.ConsumeIntegralInRange<int>(0, 24)) {
            case 0: {
                std::string src = take_bytes(in, 400);
                s = const_cast<char*>(src.c_str());
                x.model = cut(c_str_part(src));
                break;
            }
            case 1: {
                std::string src = take_bytes(in, 400);
                s += const_cast<char*>(src.c_str());
                x.model = cut(x.model + c_str_part(src));
                break;
            }
            case 2: {
                int times = in.ConsumeIntegralInRange<int>(1, 40);
                char c = in.ConsumeIntegral<char>();
                for (int i = 0; i < times; ++i) {
                    s += c;
                    if (c != '\0' && x.model.size() <= 253) x.model += c;
                }
                break;
            }
            case 3:
                s += s;
                x.model = cut(x.model + x.model);
                break;
            case 4:
                s = *y.s;
                x.model = y.model;
                break;
            case 5: {
                s += *y.s;
                x.model = cut(x.model + y.model);
                break;
            }
            case 6: {
                long v = in.ConsumeIntegral<long>();
                if (in.ConsumeBool()) {
                    s = v;
                    x.model = std::to_string(v);
                } else {
                    s += v;
                    x.model = cut(x.model + std::to_string(v));
                }
                break;
            }
            case 7: {  // a source inside the string's own text
                std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, x.model.size());
                if (in.ConsumeBool()) {
                    s = s.text + k;
                    x.model = x.model.substr(k);
                } else {
                    s += s.text + k;
                    x.model = cut(x.model + x.model.substr(k));
                }
                break;
            }
            case 8: {
                std::string suffix = c_str_part(take_bytes(in, 20));
                bool null_suffix = in.ConsumeBool();
                s.change_suffix(null_suffix ? nullptr : const_cast<char*>(suffix.c_str()));
                std::size_t dot = x.model.rfind('.');
                if (dot != std::string::npos) x.model.resize(dot);
                x.model = cut(cut(x.model + ".") + (null_suffix ? "" : suffix));
                break;
            }
            case 9: {
                s.filter_to_alnum_or_punct();
                std::string kept;
                for (char c : x.model)
                    if (std::isalnum(static_cast<unsigned char>(c)) ||
                        std::ispunct(static_cast<unsigned char>(c)))
                        kept += c;
                x.model = kept;
                break;
            }
            case 10:
                s.to_lower();
                for (char& c : x.model) c = static_cast<char>(low(c));
                break;
            case 11: {
                int li = in.ConsumeBool();
                std::string delims = c_str_part(take_bytes(in, 4));
                s.parse_into_list(const_cast<char*>(delims.c_str()), lists[li]);
                list_models[li] = ref_split(x.model, delims);
                break;
            }
            case 12: {
                int li = in.ConsumeBool();
                char sep = in.ConsumeIntegral<char>();
                s.flatten_list(sep, lists[li]);
                x.model = ref_join(list_models[li], sep);
                if (lists[li].cursor != nullptr) differ("cursor after join", "not null", "null");
                break;
            }
            case 13: {
                int li = in.ConsumeBool();
                lists[li].append(s);
                list_models[li].push_back(x.model);
                break;
            }
            case 14: {
                int li = in.ConsumeBool();
                lists[li].clear();
                list_models[li].clear();
                break;
            }
            case 15: {  // matchers, against the model
                float got = -1;
                s.match_case_exact(*y.s, &got);
                same_float("exact", got, (!x.model.empty() && x.model == y.model) ? 1.0f : 0.0f);
                s.match_nocase_exact(*y.s, &got);
                bool eq = !x.model.empty() && x.model.size() == y.model.size();
                for (std::size_t i = 0; eq && i < x.model.size(); ++i)
                    eq = low(x.model[i]) == low(y.model[i]);
                same_float("exact nocase", got, eq ? 1.0f : 0.0f);
                s.match_case_partial(*y.s, &got);
                same_float(
                    "partial", got,
                    (!y.model.empty() && ref_find(x.model, y.model, same_byte) >= 0) ? 1.0f : 0.0f);
                s.match_nocase_partial(*y.s, &got);
                same_float(
                    "partial nocase", got,
                    (!y.model.empty() && ref_find(x.model, y.model, low) >= 0) ? 1.0f : 0.0f);
                s.match_case_approximate(*y.s, &got);
                same_float("approximate", got, ref_approx(x.model, y.model, same_byte));
                s.match_nocase_approximate(*y.s, &got);
                same_float("approximate nocase", got, ref_approx(x.model, y.model, low));
                break;
            }
            case 16: {
                int li = in.ConsumeBool();
                float got = -1;
                s.match_wildcard_case(lists[li], &got);
                same_float("wildcard", got,
                           ref_wildcard(x.model, list_models[li], same_byte) ? 1.0f : 0.0f);
                s.match_wildcard_nocase(lists[li], &got);
                same_float("wildcard nocase", got,
                           ref_wildcard(x.model, list_models[li], up) ? 1.0f : 0.0f);
                break;
            }
            case 17: {  // affix tests
                bool nocase = in.ConsumeBool();
                const std::string& p = y.model;
                auto eq = [&](const std::string& t) {
                    for (std::size_t i = 0; i < p.size(); ++i)
                        if (nocase ? up(t[i]) != up(p[i]) : t[i] != p[i]) return false;
                    return true;
                };
                bool begins = p.size() <= x.model.size() && eq(x.model.substr(0, p.size()));
                bool ends =
                    p.size() <= x.model.size() && eq(x.model.substr(x.model.size() - p.size()));
                if (s.beginsWith(y.s, nocase) != begins) differ("beginsWith", x.model, p);
                if (s.endsWith(y.s, nocase) != ends) differ("endsWith", x.model, p);
                break;
            }
            case 18: {  // the pool: a new string, or give one back
                if (slots.size() < 8 && in.ConsumeBool()) {
                    CString256* p = new CString256;
                    if (p == nullptr) break;
                    slots.push_back({p, ""});
                } else if (slots.size() > 2) {
                    std::size_t k = in.ConsumeIntegralInRange<std::size_t>(2, slots.size() - 1);
                    if (&slots[k] == &x || &slots[k] == &y) break;
                    delete slots[k].s;
                    slots.erase(slots.begin() + static_cast<long>(k));
                    continue;  // x and y may have moved; checks run on the next step
                }
                break;
            }
            case 19: {
                std::string bytes = take_bytes(in, 300);
                Handle h = NewHandle(0);
                if (h == nullptr) break;
                PtrAndHand(bytes.data(), h, static_cast<long>(bytes.size()));
                s = h;
                x.model = cut(c_str_part(bytes));
                DisposeHandle(h);
                break;
            }
            case 20: {
                std::string bytes = take_bytes(in, 255);
                unsigned char pascal[256];
                pascal[0] = static_cast<unsigned char>(bytes.size());
                std::memcpy(pascal + 1, bytes.data(), bytes.size());
                if (in.ConsumeBool()) {
                    s = pascal;
                    x.model = c_str_part(bytes);
                } else {
                    s += pascal;
                    x.model = cut(x.model + c_str_part(bytes));
                }
                break;
            }
            case 21: {
                const char* hit = STRSTR(s.text, y.s->text);
                long want = ref_find(x.model, y.model, up);
                long got = hit == nullptr ? -1 : hit - s.text;
                if (got != want) differ("STRSTR", std::to_string(got), std::to_string(want));
                int n = in.ConsumeIntegralInRange<int>(-2, 300);
                int r = STRNCMP(s.text, y.s->text, n);
                int w = ref_strncmp(x.model, y.model, n);
                if (r != w) differ("STRNCMP", std::to_string(r), std::to_string(w));
                break;
            }
            case 22: {  // bounded itoa with guard bytes on both sides
                long v = in.ConsumeIntegral<long>();
                short size = in.ConsumeIntegralInRange<short>(-2, 32);
                unsigned char mem[64];
                std::memset(mem, 0xA5, sizeof mem);
                itoa(reinterpret_cast<char*>(mem + 16), size, v);
                for (int i = 0; i < 64; ++i) {
                    bool inside = i >= 16 && i < 16 + std::max<int>(size, 0);
                    if (!inside && mem[i] != 0xA5)
                        differ("itoa bounds", std::to_string(size), std::to_string(v));
                }
                if (size > 0) {
                    std::string got(reinterpret_cast<char*>(mem + 16));
                    if (got != ref_itoa(v, size)) differ("itoa text", got, ref_itoa(v, size));
                }
                break;
            }
            case 23: {  // adapters on a plain char* text
                std::string text = c_str_part(take_bytes(in, 300));
                float got = -1;
                matcher_case_partial_256(text.data(), y.s->text, &got);
                same_float(
                    "partial adapter", got,
                    (!y.model.empty() && ref_find(text, y.model, same_byte) >= 0) ? 1.0f : 0.0f);
                matcher_nocase_approximate_256(text.data(), y.s->text, &got);
                same_float("approximate adapter", got, ref_approx(text, y.model, low));
                int li = in.ConsumeBool();
                match_wildcard_nocase_256(text.data(), &lists[li], &got);
                same_float("wildcard adapter", got,
                           ref_wildcard(cut(text), list_models[li], up) ? 1.0f : 0.0f);
                break;
            }
            case 24: {
                CString256 copy(s);
                same("copy construct", copy, x.model);
                break;
            }
        }
        for (const Slot& sl : slots) same("after step", *sl.s, sl.model);
        for (int li = 0; li < 2; ++li) {
            int n = 0;
            elem<CString256>* last = nullptr;
            for (elem<CString256>* e = lists[li].head; e != nullptr; e = e->next, ++n) {
                if (n >= static_cast<int>(list_models[li].size()))
                    differ("list length", std::to_string(n), "");
                same("list item", e->data, list_models[li][static_cast<std::size_t>(n)]);
                last = e;
            }
            if (n != lists[li].count || n != static_cast<int>(list_models[li].size()) ||
                last != lists[li].tail)
                differ("list shape", std::to_string(lists[li].count),
                       std::to_string(list_models[li].size()));
        }
    }
    for (std::size_t k = 2; k < slots.size(); ++k) delete slots[k].s;
    return 0;
}
