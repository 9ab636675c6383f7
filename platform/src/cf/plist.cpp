#include "cf/plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "cf/objects.h"
#include "civil.h"
#include "vantrel/UTF.h"

using namespace vantrel::cf_detail;

namespace vantrel::cf {
namespace {

// Seconds from 1970-01-01 to 2001-01-01, the reference date of CFDate.
constexpr std::int64_t kUnixToCF = 978307200;

enum class Elem { Plist, Dict, Array, Key, String, Integer, Real, True, False, Date, Data };

bool elem_of(std::string_view n, Elem* e) {
    static const std::pair<std::string_view, Elem> kNames[] = {
        {"plist", Elem::Plist}, {"dict", Elem::Dict},     {"array", Elem::Array},
        {"key", Elem::Key},     {"string", Elem::String}, {"integer", Elem::Integer},
        {"real", Elem::Real},   {"true", Elem::True},     {"false", Elem::False},
        {"date", Elem::Date},   {"data", Elem::Data}};
    for (auto& [name, elem] : kNames)
        if (n == name) {
            *e = elem;
            return true;
        }
    return false;
}

// --- Dates -----------------------------------------------------------------

bool digits(std::string_view t, std::size_t at, std::size_t n, unsigned* out) {
    if (at + n > t.size()) return false;
    unsigned v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        v = v * 10 + static_cast<unsigned>(t[i] - '0');
    }
    *out = v;
    return true;
}

// "YYYY-MM-DDTHH:MM:SS", optional fraction, optional "Z" (always UTC).
bool parse_date(std::string_view t, double* out) {
    unsigned y, mo, d, h, mi, s;
    if (!digits(t, 0, 4, &y) || t.size() < 19 || t[4] != '-' || !digits(t, 5, 2, &mo) ||
        t[7] != '-' || !digits(t, 8, 2, &d) || t[10] != 'T' || !digits(t, 11, 2, &h) ||
        t[13] != ':' || !digits(t, 14, 2, &mi) || t[16] != ':' || !digits(t, 17, 2, &s))
        return false;
    if (!civil::valid(y, mo, d) || h > 23 || mi > 59 || s > 59) return false;
    std::size_t i = 19;
    double frac = 0;
    if (i < t.size() && t[i] == '.') {
        double scale = 0.1;
        std::size_t start = ++i;
        for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, scale /= 10)
            frac += (t[i] - '0') * scale;
        if (i == start) return false;
    }
    if (i < t.size() && t[i] == 'Z') ++i;
    if (i != t.size()) return false;
    std::int64_t secs = civil::days_from_civil(y, mo, d) * 86400 + std::int64_t{h} * 3600 +
                        std::int64_t{mi} * 60 + s - kUnixToCF;
    *out = static_cast<double>(secs) + frac;
    return true;
}

// Whole seconds, as Core Foundation writes them; false outside years 1-9999.
bool format_date(double at, std::string* out) {
    if (!std::isfinite(at)) return false;
    double whole = std::floor(at);
    if (whole < -63113904000.0 - 86400 * 366 || whole > 253402300799.0) return false;
    auto secs = static_cast<std::int64_t>(whole) + kUnixToCF;
    std::int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    std::int64_t rem = secs - days * 86400;
    const civil::Date date = civil::civil_from_days(days);
    const std::int64_t y = date.year;
    const unsigned m = date.month, d = date.day;
    if (y < 1 || y > 9999) return false;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(y), m, d,
                  static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60),
                  static_cast<int>(rem % 60));
    *out = buf;
    return true;
}

// --- Base64 ------------------------------------------------------------------

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool decode_base64(std::string_view t, std::string* out) {
    out->clear();
    std::uint32_t acc = 0;
    int bits = 0, pad = 0;
    for (char c : t) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad) return false;  // data after padding
        const char* at = std::strchr(kB64, c);
        if (c == '\0' || at == nullptr) return false;
        acc = (acc << 6) | static_cast<std::uint32_t>(at - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return pad <= 2;
}

std::string encode_base64(const std::vector<UInt8>& b) {
    std::string out;
    out.reserve((b.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < b.size(); i += 3) {
        std::uint32_t v = static_cast<std::uint32_t>(b[i]) << 16;
        if (i + 1 < b.size()) v |= static_cast<std::uint32_t>(b[i + 1]) << 8;
        if (i + 2 < b.size()) v |= b[i + 2];
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += i + 1 < b.size() ? kB64[(v >> 6) & 63] : '=';
        out += i + 2 < b.size() ? kB64[v & 63] : '=';
    }
    return out;
}

// --- The reader ----------------------------------------------------------------

struct Scalar {
    Elem kind;
    std::string text;  // string, data bytes
    std::int64_t i = 0;
    bool aboveInt64 = false;  // an integer from 2^63 to 2^64 - 1, its bits in `i`
    double d = 0;             // real, or date (seconds from 2001)
};

class Sink {
  public:
    virtual ~Sink() = default;
    virtual void open(Elem kind, std::size_t begin) = 0;  // a dict or an array starts
    virtual void close(std::size_t end) = 0;              // the innermost one ends
    virtual void key(std::string&& k, std::size_t begin, std::size_t end) = 0;
    virtual void value(Scalar&& v, std::size_t begin, std::size_t end) = 0;
};

std::string_view trim(std::string_view t) {
    auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!t.empty() && ws(t.front())) t.remove_prefix(1);
    while (!t.empty() && ws(t.back())) t.remove_suffix(1);
    return t;
}

bool interpret(Elem kind, std::string&& text, Scalar* v) {
    v->kind = kind;
    switch (kind) {
        case Elem::String:
            v->text = std::move(text);
            return true;
        case Elem::True:
        case Elem::False:
            return trim(text).empty();
        case Elem::Integer: {
            std::string_view t = trim(text);
            bool neg = !t.empty() && t[0] == '-';
            if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
            int base = 10;
            if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
                t.remove_prefix(2);
                base = 16;
            }
            std::uint64_t u = 0;
            auto r = std::from_chars(t.data(), t.data() + t.size(), u, base);
            if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
            if (neg && u > static_cast<std::uint64_t>(INT64_MAX) + 1) return false;
            v->i = neg ? static_cast<std::int64_t>(0 - u) : static_cast<std::int64_t>(u);
            v->aboveInt64 = !neg && u > static_cast<std::uint64_t>(INT64_MAX);
            return true;
        }
        case Elem::Real: {
            std::string_view t = trim(text);
            bool neg = !t.empty() && t[0] == '-';
            if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.remove_prefix(1);
            if (t.empty() || t[0] == '+' || t[0] == '-') return false;
            auto r = std::from_chars(t.data(), t.data() + t.size(), v->d);
            if (r.ec == std::errc::result_out_of_range) {
                v->d = std::strtod(std::string(t).c_str(), nullptr);  // keeps inf or 0
            } else if (r.ec != std::errc() || r.ptr != t.data() + t.size()) {
                return false;
            }
            if (neg) v->d = -v->d;
            return true;
        }
        case Elem::Date:
            return parse_date(trim(text), &v->d);
        case Elem::Data:
            return decode_base64(text, &v->text);
        default:
            return false;
    }
}

// Whether XML 1.0 can hold this character (its Char production, less NUL,
// which the reader reports as such).
bool xml_char(std::uint32_t cp) {
    return cp == '\t' || cp == '\n' || cp == '\r' || (cp >= 0x20 && cp != 0xFFFE && cp != 0xFFFF);
}

// The offset of the first character in UTF-8 text that XML 1.0 cannot hold
// (a control character, U+FFFE, U+FFFF; NUL aside), or npos.
std::size_t non_xml_char_at(std::string_view t, std::uint32_t* cp) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        auto c = static_cast<unsigned char>(t[i]);
        if (c != 0 && c < 0x20 && !xml_char(c)) {
            *cp = c;
            return i;
        }
        if (c == 0xEF && i + 2 < t.size() && static_cast<unsigned char>(t[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(t[i + 2]) & 0xFE) == 0xBE) {
            *cp = 0xFFFE | (static_cast<unsigned char>(t[i + 2]) & 1);
            return i;
        }
    }
    return std::string_view::npos;
}

// Reads an XML property list without recursion: the depth of the input
// costs heap for a small stack of open containers, never machine stack.
class Reader {
  public:
    // With `strict`, what XML itself forbids fails, as it does in other
    // readers (python's plistlib, through expat), even where nothing here
    // needs it: a character reference to a character XML 1.0 cannot hold (a
    // control other than tab, line feed and carriage return, U+FFFE,
    // U+FFFF), "]]>" in text, "--" in a comment or a comment ending in "-",
    // an XML declaration anywhere but at the start, a second document type
    // declaration or one inside <plist>, and attributes that are not
    // separated, repeated, or hold "<" or a bad entity reference. A reader
    // whose file is written back entry by entry (the preference store) must
    // not take what it would then write into a file no other reader takes.
    explicit Reader(std::string_view s, bool strict = false) : s_(s), strict_(strict) {}
    const std::string& error() const { return err_; }

    bool run(Sink& sink) {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") p_ = 3;
        bool inPlist = false, plistDone = false, haveRoot = false;
        struct Frame {
            Elem kind;
            bool haveKey;
        };
        std::vector<Frame> stack;
        for (;;) {
            if (!skip_misc(!haveRoot && stack.empty() && (!strict_ || (!inPlist && !plistDone))))
                return false;
            if (p_ >= s_.size()) break;
            if (s_[p_] != '<' || starts("<![CDATA[")) {
                // Text between the elements of a <plist>, a dictionary or an
                // array (a CDATA section is text too) means nothing, and
                // other readers (python's plistlib) pass over it; outside
                // the root element it is not XML.
                if (!inPlist && stack.empty()) return fail("text outside a value");
                if (s_[p_] == '<') {
                    auto end = s_.find("]]>", p_ + 9);
                    if (end == std::string_view::npos) return fail("unterminated CDATA");
                    p_ = end + 3;
                } else if (!skip_text()) {
                    return false;
                }
                continue;
            }
            std::size_t begin = p_;
            bool end = false, empty = false;
            Elem e;
            if (!read_tag(&e, &end, &empty)) return false;
            if (end) {
                if (e == Elem::Plist) {
                    if (!inPlist || !stack.empty()) return fail("misplaced </plist>");
                    inPlist = false;
                    plistDone = true;
                    continue;
                }
                if (stack.empty() || stack.back().kind != e) return fail("mismatched end tag");
                if (stack.back().haveKey) return fail("a key without a value");
                stack.pop_back();
                sink.close(p_);
                continue;
            }
            if (e == Elem::Plist) {
                if (inPlist || plistDone || haveRoot || !stack.empty())
                    return fail("misplaced <plist>");
                inPlist = !empty;
                plistDone = empty;
                continue;
            }
            if (stack.empty() && (haveRoot || plistDone)) return fail("more than one root value");
            bool inDict = !stack.empty() && stack.back().kind == Elem::Dict;
            if (e == Elem::Key) {
                if (!inDict || stack.back().haveKey) return fail("a key out of place");
                std::string k;
                if (!empty && !read_content(e, &k)) return false;
                stack.back().haveKey = true;
                sink.key(std::move(k), begin, p_);
                continue;
            }
            if (inDict) {
                if (!stack.back().haveKey) return fail("a value without a key");
                stack.back().haveKey = false;
            }
            if (stack.empty()) haveRoot = true;
            if (e == Elem::Dict || e == Elem::Array) {
                if (static_cast<int>(stack.size()) >= kMaxPlistDepth)
                    return fail("nested deeper than " + std::to_string(kMaxPlistDepth) + " levels");
                sink.open(e, begin);
                if (empty)
                    sink.close(p_);
                else
                    stack.push_back({e, false});
                continue;
            }
            std::string text;
            if (!empty && !read_content(e, &text)) return false;
            Scalar v;
            if (!interpret(e, std::move(text), &v)) return fail("a value that does not read");
            sink.value(std::move(v), begin, p_);
        }
        if (!stack.empty() || inPlist) return fail("the document ends inside a value");
        if (!haveRoot) return fail("no value");
        return true;
    }

  private:
    bool fail(const std::string& msg) {
        if (err_.empty()) err_ = msg + " (byte " + std::to_string(p_) + ")";
        return false;
    }
    bool starts(std::string_view t) const { return s_.substr(p_, t.size()) == t; }
    bool skip_past(std::string_view t) {
        auto at = s_.find(t, p_);
        if (at == std::string_view::npos) return fail("unterminated markup");
        p_ = at + t.size();
        return true;
    }
    // <!-- ... -->; strictly, "--" may only end it (nor may "-" before it).
    bool skip_comment() {
        if (!strict_) return skip_past("-->");
        auto dashes = s_.find("--", p_ + 4);
        if (dashes == std::string_view::npos) return fail("unterminated markup");
        if (s_.substr(dashes, 3) != "-->") return fail("a comment holding \"--\"");
        p_ = dashes + 3;
        return true;
    }
    // <?target ...?>; strictly, the target "xml" (any case) is the XML
    // declaration, which may stand only at the very start.
    bool skip_pi() {
        if (strict_) {
            std::string_view target = s_.substr(p_ + 2, 3);
            bool xml = target.size() == 3 && (target[0] | 0x20) == 'x' &&
                       (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l' &&
                       (p_ + 5 >= s_.size() || !name_char(s_[p_ + 5]));
            std::size_t start = s_.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
            if (xml && p_ != start) return fail("an XML declaration not at the start");
        }
        return skip_past("?>");
    }
    static bool ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool name_char(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == ':' || c == '-' || c == '.' ||
               static_cast<unsigned char>(c) >= 0x80;
    }

    // Whitespace, comments, processing instructions and (before the root) a
    // document type declaration, whose internal subset is skipped unread.
    bool skip_misc(bool prolog) {
        for (;;) {
            while (p_ < s_.size() && ws(s_[p_])) ++p_;
            if (starts("<!--")) {
                if (!skip_comment()) return false;
            } else if (starts("<?")) {
                if (!skip_pi()) return false;
            } else if (prolog && starts("<!DOCTYPE")) {
                if (strict_ && seenDoctype_) return fail("a second DOCTYPE");
                seenDoctype_ = true;
                if (!skip_doctype()) return false;
            } else {
                return true;
            }
        }
    }

    // Character data between elements, up to the next markup. Entity
    // references in it must still be well formed.
    bool skip_text() {
        while (p_ < s_.size() && s_[p_] != '<') {
            if (s_[p_] == '\0') return fail("a NUL byte");
            if (strict_ && starts("]]>")) return fail("\"]]>\" in text");
            if (s_[p_] == '&') {
                std::string ignored;
                if (!read_entity(&ignored)) return false;
            } else {
                ++p_;
            }
        }
        return true;
    }

    // A quoted literal starting at p_ (a system or public ID, an entity
    // value): skipped whole, whatever it holds.
    bool skip_literal() {
        char q = s_[p_];
        auto close = s_.find(q, p_ + 1);
        if (close == std::string_view::npos) return fail("unterminated DOCTYPE");
        p_ = close + 1;
        return true;
    }

    // <!DOCTYPE name ExternalID? [internal subset]? >. The subset is read as
    // markup: comments and processing instructions (which may hold quotes
    // and brackets of their own), declarations with their quoted literals,
    // and parameter-entity references. Nothing in it is used.
    bool skip_doctype() {
        p_ += 9;
        for (;;) {
            if (p_ >= s_.size()) return fail("unterminated DOCTYPE");
            char c = s_[p_];
            if (c == '"' || c == '\'') {
                if (!skip_literal()) return false;
            } else if (c == '[') {
                ++p_;
                if (!skip_subset()) return false;
            } else if (c == '>') {
                ++p_;
                return true;
            } else {
                ++p_;
            }
        }
    }
    bool skip_subset() {
        for (;;) {
            while (p_ < s_.size() && ws(s_[p_])) ++p_;
            if (p_ >= s_.size()) return fail("unterminated DOCTYPE");
            if (s_[p_] == ']') {
                ++p_;
                return true;
            }
            if (starts("<!--")) {
                if (!skip_comment()) return false;
            } else if (starts("<?")) {
                if (!skip_pi()) return false;
            } else if (starts("<!")) {
                for (p_ += 2;;) {
                    if (p_ >= s_.size()) return fail("unterminated DOCTYPE");
                    char c = s_[p_];
                    if (c == '"' || c == '\'') {
                        if (!skip_literal()) return false;
                    } else if (c == '>') {
                        ++p_;
                        break;
                    } else {
                        ++p_;
                    }
                }
            } else if (s_[p_] == '%') {
                auto semi = s_.find(';', p_);
                if (semi == std::string_view::npos) return fail("unterminated DOCTYPE");
                p_ = semi + 1;
            } else {
                return fail("text in the DOCTYPE's internal subset");
            }
        }
    }

    bool read_name(std::string_view* n) {
        std::size_t b = p_;
        while (p_ < s_.size() && name_char(s_[p_])) ++p_;
        if (p_ == b) return fail("a tag without a name");
        *n = s_.substr(b, p_ - b);
        return true;
    }

    bool read_tag(Elem* e, bool* end, bool* empty) {
        ++p_;  // '<'
        *end = p_ < s_.size() && s_[p_] == '/';
        if (*end) ++p_;
        std::string_view name;
        if (!read_name(&name)) return false;
        if (!elem_of(name, e)) return fail("unknown element <" + std::string(name) + ">");
        std::vector<std::string_view> attrs;
        for (;;) {
            std::size_t before = p_;
            while (p_ < s_.size() && ws(s_[p_])) ++p_;
            if (p_ >= s_.size()) return fail("unterminated tag");
            if (s_[p_] == '>') {
                ++p_;
                return true;
            }
            if (!*end && starts("/>")) {
                p_ += 2;
                *empty = true;
                return true;
            }
            if (*end) return fail("attributes on an end tag");
            if (strict_ && p_ == before) return fail("attributes not separated by a space");
            std::string_view attr;
            if (!read_name(&attr)) return false;
            if (strict_ && std::find(attrs.begin(), attrs.end(), attr) != attrs.end())
                return fail("an attribute given twice");
            attrs.push_back(attr);
            while (p_ < s_.size() && ws(s_[p_])) ++p_;
            if (p_ >= s_.size() || s_[p_] != '=') return fail("an attribute without a value");
            ++p_;
            while (p_ < s_.size() && ws(s_[p_])) ++p_;
            if (p_ >= s_.size() || (s_[p_] != '"' && s_[p_] != '\'')) return fail("bad attribute");
            char q = s_[p_++];
            auto close = s_.find(q, p_);
            if (close == std::string_view::npos) return fail("unterminated attribute");
            if (strict_) {
                while (p_ < close) {
                    if (s_[p_] == '<') return fail("\"<\" in an attribute");
                    if (s_[p_] != '&') {
                        ++p_;
                        continue;
                    }
                    std::string ignored;
                    if (!read_entity(&ignored)) return false;
                }
            }
            p_ = close + 1;
        }
    }

    bool read_entity(std::string* out) {
        auto semi = s_.find(';', p_);
        if (semi == std::string_view::npos || semi - p_ > 12) return fail("a bad entity reference");
        std::string_view ref = s_.substr(p_ + 1, semi - p_ - 1);
        p_ = semi + 1;
        static const std::pair<std::string_view, char> kNamed[] = {
            {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (auto& [n, c] : kNamed)
            if (ref == n) {
                out->push_back(c);
                return true;
            }
        if (ref.size() < 2 || ref[0] != '#') return fail("an unknown entity");
        int base = 10;
        ref.remove_prefix(1);
        if (ref[0] == 'x') {
            base = 16;
            ref.remove_prefix(1);
        }
        std::uint32_t cp = 0;
        auto r = std::from_chars(ref.data(), ref.data() + ref.size(), cp, base);
        if (ref.empty() || r.ec != std::errc() || r.ptr != ref.data() + ref.size() || cp == 0 ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return fail("a bad character reference");
        if (strict_ && !xml_char(cp)) return fail("a reference to a character XML cannot hold");
        char bytes[4];
        out->append(bytes, utf::encode_utf8(cp, bytes));
        return true;
    }

    // The character data of a scalar element up to its end tag, entities
    // decoded, CDATA sections taken as they are, line ends normalised as XML
    // readers do.
    bool read_content(Elem e, std::string* out) {
        for (;;) {
            if (p_ >= s_.size()) return fail("the document ends inside a value");
            char c = s_[p_];
            if (c == '&') {
                if (!read_entity(out)) return false;
            } else if (c == '<') {
                if (starts("<![CDATA[")) {
                    auto end = s_.find("]]>", p_ + 9);
                    if (end == std::string_view::npos) return fail("unterminated CDATA");
                    out->append(s_.substr(p_ + 9, end - p_ - 9));
                    p_ = end + 3;
                } else if (starts("<!--")) {
                    if (!skip_comment()) return false;
                } else if (starts("<?")) {
                    if (!skip_pi()) return false;
                } else if (starts("</")) {
                    Elem got;
                    bool end = false, empty = false;
                    if (!read_tag(&got, &end, &empty)) return false;
                    if (got != e) return fail("mismatched end tag");
                    return true;
                } else {
                    return fail("an element inside a value");
                }
            } else if (c == '\0') {
                return fail("a NUL byte");
            } else if (strict_ && c == ']' && starts("]]>")) {
                return fail("\"]]>\" in text");
            } else if (c == '\r') {
                out->push_back('\n');
                ++p_;
                if (p_ < s_.size() && s_[p_] == '\n') ++p_;
            } else {
                out->push_back(c);
                ++p_;
            }
        }
    }

    std::string_view s_;
    std::size_t p_ = 0;
    std::string err_;
    bool strict_ = false;
    bool seenDoctype_ = false;
};

CFTypeRef create_scalar(Scalar&& v) {
    switch (v.kind) {
        case Elem::True:
            return kCFBooleanTrue;
        case Elem::False:
            return kCFBooleanFalse;
        case Elem::Integer: {
            CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &v.i);
            if (n) const_cast<__CFNumber*>(n)->isUnsigned = v.aboveInt64;
            return n;
        }
        case Elem::Real:
            return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v.d);
        case Elem::String:
            return string_from_utf8(v.text);
        case Elem::Date:
            return CFDateCreate(nullptr, v.d);
        case Elem::Data:
            return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(v.text.data()),
                                static_cast<CFIndex>(v.text.size()));
        default:
            return nullptr;
    }
}

// Builds CF objects from the reader's events.
class Builder : public Sink {
  public:
    ~Builder() override {
        for (auto& f : stack_) {
            CFRelease(f.container);
            CFRelease(f.key);
        }
        CFRelease(root_);
    }
    CFTypeRef copy_root() {
        CFTypeRef r = root_;
        root_ = nullptr;
        return r;
    }
    void open(Elem kind, std::size_t) override {
        CFTypeRef c =
            kind == Elem::Dict
                ? static_cast<CFTypeRef>(CFDictionaryCreateMutable(
                      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks))
                : static_cast<CFTypeRef>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        stack_.push_back({c, kind == Elem::Dict, nullptr});
    }
    void close(std::size_t) override {
        Frame f = stack_.back();
        stack_.pop_back();
        CFRelease(f.key);
        add(f.container);
    }
    void key(std::string&& k, std::size_t, std::size_t) override {
        CFRelease(stack_.back().key);
        stack_.back().key = string_from_utf8(k);
    }
    void value(Scalar&& v, std::size_t, std::size_t) override { add(create_scalar(std::move(v))); }

  private:
    struct Frame {
        CFTypeRef container;
        bool dict;
        CFStringRef key;
    };
    // Takes over `v`.
    void add(CFTypeRef v) {
        if (stack_.empty()) {
            CFRelease(root_);
            root_ = v;
            return;
        }
        Frame& f = stack_.back();
        if (f.dict) {
            CFDictionarySetValue(
                static_cast<CFMutableDictionaryRef>(const_cast<void*>(f.container)), f.key, v);
            CFRelease(f.key);
            f.key = nullptr;
        } else {
            CFArrayAppendValue(static_cast<CFMutableArrayRef>(const_cast<void*>(f.container)), v);
        }
        CFRelease(v);
    }
    std::vector<Frame> stack_;
    CFTypeRef root_ = nullptr;
};

// Records the entries of a top-level dictionary.
class Outliner : public Sink {
  public:
    Outliner(std::string_view s, PlistOutline* out) : s_(s), out_(out) {}
    void open(Elem kind, std::size_t begin) override {
        if (depth_ == 0) out_->rootIsDict = kind == Elem::Dict;
        if (depth_ == 1) valueBegin_ = begin;
        ++depth_;
    }
    void close(std::size_t end) override {
        if (--depth_ == 1) entry(valueBegin_, end);
    }
    void key(std::string&& k, std::size_t begin, std::size_t end) override {
        if (depth_ != 1) return;
        key_ = std::move(k);
        keyBegin_ = begin;
        keyEnd_ = end;
    }
    void value(Scalar&&, std::size_t begin, std::size_t end) override {
        if (depth_ == 1) entry(begin, end);
    }

  private:
    void entry(std::size_t begin, std::size_t end) {
        if (!out_->rootIsDict) return;
        std::string_view text = s_.substr(begin, end - begin);
        auto [it, fresh] = index_.try_emplace(key_, out_->entries.size());
        if (fresh)
            out_->entries.push_back({key_, s_.substr(keyBegin_, keyEnd_ - keyBegin_), text});
        else
            out_->entries[it->second].valueText = text;  // a key given twice: the last value
    }
    std::string_view s_;
    PlistOutline* out_;
    int depth_ = 0;
    std::string key_;
    std::size_t keyBegin_ = 0, keyEnd_ = 0, valueBegin_ = 0;
    std::unordered_map<std::string, std::size_t> index_;
};

class NullSink : public Sink {
  public:
    void open(Elem, std::size_t) override {}
    void close(std::size_t) override {}
    void key(std::string&&, std::size_t, std::size_t) override {}
    void value(Scalar&&, std::size_t, std::size_t) override {}
};

// --- Binary property lists ---------------------------------------------------------

std::uint64_t be(std::string_view b, std::size_t at, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    return v;
}

// Walks the object graph of a binary property list before it is decoded
// (the decoder recurses per level, and the XML made of it holds an object
// once per reference): refuses cycles, nesting deeper than the limit and
// documents that would expand to more than a million values.
bool check_binary(std::string_view b, std::string* why) {
    auto bad = [&](const char* m) {
        *why = std::string("binary property list: ") + m;
        return false;
    };
    const std::size_t n = b.size();
    if (n < 8 + 32) return bad("too short");
    const std::size_t offSize = static_cast<unsigned char>(b[n - 26]);
    const std::size_t refSize = static_cast<unsigned char>(b[n - 25]);
    const std::uint64_t count = be(b, n - 24, 8), top = be(b, n - 16, 8), table = be(b, n - 8, 8);
    if (offSize < 1 || offSize > 8 || refSize < 1 || refSize > 8 || count == 0 || count > n ||
        top >= count || table < 8 || table > n - 32 || (n - 32 - table) / offSize < count)
        return bad("bad trailer");
    auto children = [&](std::uint64_t obj, std::vector<std::uint64_t>* refs) -> bool {
        refs->clear();
        std::uint64_t off = be(b, static_cast<std::size_t>(table + obj * offSize), offSize);
        if (off < 8 || off >= table) return false;
        auto pos = static_cast<std::size_t>(off);
        unsigned marker = static_cast<unsigned char>(b[pos]);
        unsigned type = marker >> 4;
        if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return true;
        std::uint64_t items = marker & 0xF;
        ++pos;
        if (items == 0xF) {
            if (pos >= table) return false;
            unsigned im = static_cast<unsigned char>(b[pos]);
            if ((im >> 4) != 1 || (im & 0xF) > 3) return false;
            std::size_t len = std::size_t{1} << (im & 0xF);
            if (pos + 1 + len > table) return false;
            items = be(b, pos + 1, len);
            pos += 1 + len;
        }
        std::uint64_t nrefs = type == 0xD ? items * 2 : items;
        if (items > table || nrefs > (table - pos) / refSize) return false;
        for (std::uint64_t k = 0; k < nrefs; ++k) {
            std::uint64_t r = be(b, static_cast<std::size_t>(pos + k * refSize), refSize);
            if (r >= count) return false;
            refs->push_back(r);
        }
        return true;
    };
    constexpr std::uint64_t kMaxValues = 1'000'000;
    std::vector<std::uint64_t> size(static_cast<std::size_t>(count), 0);  // 0: not done
    std::vector<char> onPath(static_cast<std::size_t>(count), 0);
    struct Step {
        std::uint64_t obj;
        std::vector<std::uint64_t> refs;
        std::size_t next = 0;
        std::uint64_t total = 1;
    };
    std::vector<Step> path;
    path.push_back({top, {}, 0, 1});
    if (!children(top, &path.back().refs)) return bad("bad object");
    onPath[top] = 1;
    while (!path.empty()) {
        Step& s = path.back();
        if (s.next == s.refs.size()) {
            size[s.obj] = s.total;
            onPath[s.obj] = 0;
            std::uint64_t t = s.total;
            path.pop_back();
            if (!path.empty()) {
                path.back().total += t;
                if (path.back().total > kMaxValues) return bad("more than a million values");
            }
            continue;
        }
        std::uint64_t c = s.refs[s.next++];
        if (onPath[c]) return bad("a cycle");
        if (size[c]) {
            s.total += size[c];
            if (s.total > kMaxValues) return bad("more than a million values");
            continue;
        }
        Step next{c, {}, 0, 1};
        if (!children(c, &next.refs)) return bad("bad object");
        if (next.refs.empty()) {
            size[c] = 1;
            s.total += 1;
            continue;
        }
        if (static_cast<int>(path.size()) >= kMaxPlistDepth) return bad("nested too deep");
        onPath[c] = 1;
        path.push_back(std::move(next));
    }
    return true;
}

bool writable_at(CFTypeRef cf, int depth, std::string* why);

// Decodes the objects of a binary property list that check_binary accepted
// (so references are in range, there is no cycle, and nesting is bounded,
// which bounds the recursion here). An object referenced twice is decoded
// once and shared.
class BinaryDecoder {
  public:
    explicit BinaryDecoder(std::string_view b) : b_(b) {
        const std::size_t n = b.size();
        offSize_ = static_cast<unsigned char>(b[n - 26]);
        refSize_ = static_cast<unsigned char>(b[n - 25]);
        count_ = be(b, n - 24, 8);
        top_ = be(b, n - 16, 8);
        table_ = be(b, n - 8, 8);
        done_.assign(static_cast<std::size_t>(count_), nullptr);
    }
    ~BinaryDecoder() {
        for (CFTypeRef v : done_) CFRelease(v);
    }
    // A new reference to the root object, or null with `why`.
    CFTypeRef create_root(std::string* why) {
        CFTypeRef v = copy_object(top_);
        if (v == nullptr) *why = "binary property list: " + why_;
        return v;
    }

  private:
    CFTypeRef fail(const std::string& m) {
        if (why_.empty()) why_ = m;
        return nullptr;
    }
    bool has(std::size_t pos, std::uint64_t n) const { return pos <= table_ && n <= table_ - pos; }
    // The count in the low nibble of a marker, or the integer object after it.
    bool length(std::size_t* pos, unsigned low, std::uint64_t* n) {
        if (low != 0xF) {
            *n = low;
            return true;
        }
        if (!has(*pos, 1)) return false;
        unsigned im = static_cast<unsigned char>(b_[*pos]);
        if ((im >> 4) != 1 || (im & 0xF) > 3) return false;
        std::size_t len = std::size_t{1} << (im & 0xF);
        if (!has(*pos + 1, len)) return false;
        *n = be(b_, *pos + 1, len);
        *pos += 1 + len;
        return true;
    }
    CFTypeRef copy_object(std::uint64_t obj) {
        if (done_[obj]) return CFRetain(done_[obj]);
        CFTypeRef v = create_object(obj);
        if (v) done_[obj] = CFRetain(v);
        return v;
    }
    CFTypeRef create_object(std::uint64_t obj) {
        auto pos = static_cast<std::size_t>(
            be(b_, static_cast<std::size_t>(table_ + obj * offSize_), offSize_));
        if (pos < 8 || !has(pos, 1)) return fail("an object outside the file");
        unsigned marker = static_cast<unsigned char>(b_[pos++]);
        unsigned type = marker >> 4, low = marker & 0xF;
        switch (type) {
            case 0x0:
                if (marker == 0x08) return kCFBooleanFalse;
                if (marker == 0x09) return kCFBooleanTrue;
                return fail("a null or fill object, which no property list holds");
            case 0x1: {
                if (low > 4 || !has(pos, std::size_t{1} << low)) return fail("a bad integer");
                std::int64_t i = 0;
                bool above = false;
                if (low == 4) {  // 128 bits: what does not fit in 64 is refused
                    std::uint64_t hi = be(b_, pos, 8), lo = be(b_, pos + 8, 8);
                    if (hi == 0) {
                        above = lo > static_cast<std::uint64_t>(INT64_MAX);
                    } else if (hi != ~std::uint64_t{0} ||
                               lo <= static_cast<std::uint64_t>(INT64_MAX)) {
                        return fail("an integer that does not fit in 64 bits");
                    }
                    i = static_cast<std::int64_t>(lo);
                } else {
                    i = static_cast<std::int64_t>(be(b_, pos, std::size_t{1} << low));
                }
                CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &i);
                if (n) const_cast<__CFNumber*>(n)->isUnsigned = above;
                return n;
            }
            case 0x2:
            case 0x3: {
                if ((type == 0x2 && low != 2 && low != 3) || (type == 0x3 && low != 3) ||
                    !has(pos, std::size_t{1} << low))
                    return fail("a bad real or date");
                double d;
                if (low == 2) {
                    auto bits = static_cast<std::uint32_t>(be(b_, pos, 4));
                    float f;
                    std::memcpy(&f, &bits, sizeof f);
                    d = f;
                } else {
                    std::uint64_t bits = be(b_, pos, 8);
                    std::memcpy(&d, &bits, sizeof d);
                }
                return type == 0x3 ? static_cast<CFTypeRef>(CFDateCreate(nullptr, d))
                                   : static_cast<CFTypeRef>(
                                         CFNumberCreate(nullptr, kCFNumberFloat64Type, &d));
            }
            case 0x4:
            case 0x5:
            case 0x6: {
                std::uint64_t n;
                std::uint64_t unit = type == 0x6 ? 2 : 1;
                if (!length(&pos, low, &n) || n > table_ || !has(pos, n * unit))
                    return fail("a bad data or string object");
                if (type == 0x4)
                    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(b_.data() + pos),
                                        static_cast<CFIndex>(n));
                std::vector<UniChar> chars(static_cast<std::size_t>(n));
                for (std::size_t k = 0; k < chars.size(); ++k)
                    chars[k] = static_cast<UniChar>(type == 0x6 ? be(b_, pos + 2 * k, 2)
                                                                : be(b_, pos + k, 1));
                return CFStringCreateWithCharacters(nullptr, chars.data(),
                                                    static_cast<CFIndex>(chars.size()));
            }
            case 0x8: {  // a keyed archiver's UID, written in XML as CF writes it
                if (!has(pos, low + 1u)) return fail("a bad UID");
                auto uid = static_cast<std::int64_t>(be(b_, pos, low + 1u));
                CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &uid);
                CFStringRef k = string_from_utf8("CF$UID");
                const void* keys[] = {k};
                const void* values[] = {n};
                CFDictionaryRef d =
                    CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                       &kCFTypeDictionaryValueCallBacks);
                CFRelease(k);
                CFRelease(n);
                return d;
            }
            case 0xA:
            case 0xB:
            case 0xC:  // a set: its members, as an array
            case 0xD: {
                std::uint64_t n;
                std::uint64_t refs = type == 0xD ? 2 : 1;
                if (!length(&pos, low, &n) || n > table_ || !has(pos, n * refs * refSize_))
                    return fail("a bad container");
                auto ref = [&](std::uint64_t k) { return be(b_, pos + k * refSize_, refSize_); };
                if (type != 0xD) {
                    CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
                    for (std::uint64_t k = 0; k < n; ++k) {
                        CFTypeRef v = copy_object(ref(k));
                        if (v == nullptr) {
                            CFRelease(a);
                            return nullptr;
                        }
                        CFArrayAppendValue(a, v);
                        CFRelease(v);
                    }
                    return a;
                }
                CFMutableDictionaryRef d = CFDictionaryCreateMutable(
                    nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
                for (std::uint64_t k = 0; k < n; ++k) {
                    CFTypeRef key = copy_object(ref(k));
                    CFTypeRef v = key ? copy_object(ref(n + k)) : nullptr;
                    bool ok = v && is(key, kStringTypeID);
                    if (ok) CFDictionarySetValue(d, key, v);
                    CFRelease(key);
                    CFRelease(v);
                    if (!ok) {
                        CFRelease(d);
                        return key && v ? fail("a dictionary key that is not a string") : nullptr;
                    }
                }
                return d;
            }
            default:
                return fail("an object of unknown type");
        }
    }

    std::string_view b_;
    unsigned offSize_ = 0, refSize_ = 0;
    std::uint64_t count_ = 0, top_ = 0, table_ = 0;
    std::vector<CFTypeRef> done_;
    std::string why_;
};

// A binary property list as the XML our writer makes of its values, so that
// the text the store keeps for an untouched value is text other programs
// read. A value XML cannot hold (a control character, a date outside years
// 1 to 9999) makes the document unreadable rather than change on the way.
bool binary_to_xml(std::string_view b, std::string* xml, std::string* why) {
    if (!check_binary(b, why)) return false;
    BinaryDecoder decoder(b);
    CFTypeRef root = decoder.create_root(why);
    if (root == nullptr) return false;
    // Its depth is checked already; the root counts as level 0 here so that
    // writable() allows a value as deep as the reader does.
    std::string unwritable;
    bool ok = writable_at(root, 0, &unwritable);
    if (ok)
        *xml = document_xml(value_xml(root));
    else
        *why = "binary property list: a value XML cannot hold (" + unwritable + ")";
    CFRelease(root);
    return ok;
}

bool is_binary(std::string_view b) {
    return b.size() >= 8 && b.substr(0, 8) == "bplist00";
}

// --- Encodings -----------------------------------------------------------------------

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The encoding a document is in: "" for UTF-8 (no mark and no declaration,
// a UTF-8 mark, or a declaration of UTF-8 or ASCII), else the name to give
// ICU. A UTF-16 document is known by its byte order mark or by its first
// characters ("<?" as 16-bit units).
std::string encoding_of(std::string_view b) {
    if (b.substr(0, 2) == "\xFF\xFE" || b.substr(0, 4) == std::string_view("<\0?\0", 4))
        return "UTF-16LE";
    if (b.substr(0, 2) == "\xFE\xFF" || b.substr(0, 4) == std::string_view("\0<\0?", 4))
        return "UTF-16BE";
    if (b.substr(0, 3) == "\xEF\xBB\xBF") return "";
    if (b.substr(0, 5) != "<?xml") return "";
    std::string_view decl = b.substr(0, b.find("?>"));
    auto at = decl.find("encoding");
    if (at == std::string_view::npos) return "";
    at = decl.find_first_of("\"'", at);
    if (at == std::string_view::npos) return "";
    auto end = decl.find(decl[at], at + 1);
    if (end == std::string_view::npos) return "";
    std::string_view name = decl.substr(at + 1, end - at - 1);
    for (std::string_view utf8 : {"UTF-8", "UTF8", "US-ASCII", "ASCII"})
        if (same_name(name, utf8)) return "";
    // Bytes that spell "<?xml" one per character are no 16- or 32-bit
    // encoding, whatever the declaration says (a tool that labelled its UTF-8
    // as UTF-16): read as UTF-8.
    for (std::string_view wide : {"UTF-16", "UTF-32", "UCS-2", "UCS-4", "UTF16", "UTF32"})
        if (name.size() >= wide.size() && same_name(name.substr(0, wide.size()), wide)) return "";
    return std::string(name);
}

// Converts a document in `encoding` to UTF-8. Bytes that are not valid in it
// fail: a guess would be read, then written back as something else.
bool convert_to_utf8(std::string_view b, const std::string& encoding, std::string* out,
                     std::string* why) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(encoding.c_str(), &err);
    if (U_FAILURE(err)) {
        *why = "an encoding this reader does not know: " + encoding;
        return false;
    }
    ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    std::u16string wide(b.size() + 1, u'\0');  // no encoding makes more units than bytes
    int32_t n = ucnv_toUChars(conv, reinterpret_cast<UChar*>(wide.data()),
                              static_cast<int32_t>(wide.size()), b.data(),
                              static_cast<int32_t>(b.size()), &err);
    ucnv_close(conv);
    out->clear();
    if ((U_FAILURE(err) && err != U_STRING_NOT_TERMINATED_WARNING) ||
        !utf::utf16_to_utf8(std::u16string_view(wide.data(), static_cast<std::size_t>(n)), out,
                            utf::Invalid::Refuse)) {
        *why = "bytes that are not " + encoding;
        return false;
    }
    return true;
}

// The XML text of a document: itself when it is UTF-8, else converted into
// `converted` (from a binary property list, or from another encoding).
bool xml_text(std::string_view bytes, std::string* converted, std::string_view* xml,
              std::string* why) {
    if (is_binary(bytes)) {
        if (!binary_to_xml(bytes, converted, why)) return false;
        *xml = *converted;
        return true;
    }
    std::string encoding = encoding_of(bytes);
    if (encoding.empty()) {
        // Read as it is, so every byte must be UTF-8: a byte of another
        // encoding would be read as U+FFFD here, yet be written back as it
        // was with the entry, into a file other readers refuse.
        std::size_t bad = utf::invalid_utf8_at(bytes);
        if (bad != std::string_view::npos) {
            *why = "bytes that are not UTF-8 (byte " + std::to_string(bad) + ")";
            return false;
        }
        *xml = bytes;
        return true;
    }
    if (!convert_to_utf8(bytes, encoding, converted, why)) return false;
    *xml = *converted;
    return true;
}

// --- The writer ---------------------------------------------------------------------

bool bad_char(const __CFString* s, std::string* why) {
    const auto* units = reinterpret_cast<const char16_t*>(s->chars);
    const auto n = static_cast<std::size_t>(s->length);
    for (std::size_t i = 0; i < n;) {
        const utf::Decoded c = utf::decode_utf16(units + i, n - i);
        if (!c.ok || !xml_char(c.cp)) {
            char buf[96];
            std::snprintf(buf, sizeof buf,
                          "holds U+%04X, a character an XML property list cannot hold",
                          static_cast<unsigned>(c.ok ? c.cp : units[i]));
            *why = buf;
            return true;
        }
        i += c.len;
    }
    return false;
}

bool writable_at(CFTypeRef cf, int depth, std::string* why) {
    if (cf == nullptr) {
        *why = "a null value";
        return false;
    }
    switch (base(cf)->type_) {
        case kBooleanTypeID:
        case kNumberTypeID:
        case kDataTypeID:
            return true;
        case kStringTypeID:
            return !bad_char(static_cast<const __CFString*>(cf), why);
        case kDateTypeID: {
            std::string t;
            if (format_date(static_cast<const __CFDate*>(cf)->at, &t)) return true;
            *why = "a date outside the years 1 to 9999";
            return false;
        }
        case kArrayTypeID:
        case kDictionaryTypeID:
            if (depth >= kMaxPlistDepth) {
                *why = "nested deeper than " + std::to_string(kMaxPlistDepth) + " levels";
                return false;
            }
            if (base(cf)->type_ == kArrayTypeID) {
                for (const void* v : static_cast<const __CFArray*>(cf)->values)
                    if (!writable_at(v, depth + 1, why)) return false;
            } else {
                for (auto& e : static_cast<const __CFDictionary*>(cf)->entries) {
                    if (!is(e.key, kStringTypeID)) {
                        *why = "a dictionary key that is not a string";
                        return false;
                    }
                    if (bad_char(static_cast<const __CFString*>(e.key), why)) {
                        *why = "a key that " + *why;
                        return false;
                    }
                    if (!writable_at(e.value, depth + 1, why)) return false;
                }
            }
            return true;
        default:
            *why = "not a property-list type";
            return false;
    }
}

void write_value(CFTypeRef cf, int indent, std::string* out) {
    auto tabs = [&](int n) { out->append(static_cast<std::size_t>(n), '\t'); };
    switch (base(cf)->type_) {
        case kBooleanTypeID:
            *out += static_cast<const __CFBoolean*>(cf)->value ? "<true/>" : "<false/>";
            return;
        case kNumberTypeID: {
            auto n = static_cast<const __CFNumber*>(cf);
            char buf[64];
            if (!n->isFloat && n->isUnsigned) {
                auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(n->i));
                *out += "<integer>" + std::string(buf, r.ptr) + "</integer>";
            } else if (!n->isFloat) {
                auto r = std::to_chars(buf, buf + sizeof buf, n->i);
                *out += "<integer>" + std::string(buf, r.ptr) + "</integer>";
            } else if (std::isnan(n->d)) {
                *out += "<real>nan</real>";
            } else if (std::isinf(n->d)) {
                *out += n->d > 0 ? "<real>+infinity</real>" : "<real>-infinity</real>";
            } else {
                auto r = std::to_chars(buf, buf + sizeof buf, n->d);
                *out += "<real>" + std::string(buf, r.ptr) + "</real>";
            }
            return;
        }
        case kStringTypeID:
            *out += "<string>" + escape_xml(to_utf8(static_cast<CFStringRef>(cf))) + "</string>";
            return;
        case kDateTypeID: {
            std::string t;
            format_date(static_cast<const __CFDate*>(cf)->at, &t);
            *out += "<date>" + t + "</date>";
            return;
        }
        case kDataTypeID:
            *out += "<data>" + encode_base64(static_cast<const __CFData*>(cf)->bytes) + "</data>";
            return;
        case kArrayTypeID: {
            auto& values = static_cast<const __CFArray*>(cf)->values;
            if (values.empty()) {
                *out += "<array/>";
                return;
            }
            *out += "<array>\n";
            for (const void* v : values) {
                tabs(indent + 1);
                write_value(v, indent + 1, out);
                *out += "\n";
            }
            tabs(indent);
            *out += "</array>";
            return;
        }
        case kDictionaryTypeID: {
            auto& entries = static_cast<const __CFDictionary*>(cf)->entries;
            if (entries.empty()) {
                *out += "<dict/>";
                return;
            }
            *out += "<dict>\n";
            for (auto& e : entries) {
                tabs(indent + 1);
                *out += key_xml(to_utf8(static_cast<CFStringRef>(e.key)));
                *out += "\n";
                tabs(indent + 1);
                write_value(e.value, indent + 1, out);
                *out += "\n";
            }
            tabs(indent);
            *out += "</dict>";
            return;
        }
        default:
            return;
    }
}

}  // namespace

bool outline_plist(std::string_view bytes, PlistOutline* out, std::string* why) {
    *out = PlistOutline{};
    if (bytes.size() > kMaxPlistBytes) {
        *why = "larger than " + std::to_string(kMaxPlistBytes >> 20) + " MiB";
        return false;
    }
    std::string_view xml;
    if (!xml_text(bytes, &out->xml, &xml, why)) {
        *out = PlistOutline{};
        return false;
    }
    // A domain file is read as other readers read it (python's plistlib, so
    // the plug-in): a character XML cannot hold makes it unreadable, rather
    // than read here and written back, with the entry, into a file that only
    // this reader takes.
    std::uint32_t cp = 0;
    if (std::size_t at = non_xml_char_at(xml, &cp); at != std::string_view::npos) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "U+%04X, a character XML cannot hold (byte %zu)",
                      static_cast<unsigned>(cp), at);
        *why = buf;
        *out = PlistOutline{};
        return false;
    }
    Reader r(xml, true);
    Outliner o(xml, out);
    if (!r.run(o)) {
        *why = r.error();
        *out = PlistOutline{};
        return false;
    }
    return true;
}

CFTypeRef parse_plist(std::string_view bytes) {
    if (bytes.size() > kMaxPlistBytes) return nullptr;
    std::string converted, why;
    if (!xml_text(bytes, &converted, &bytes, &why)) return nullptr;
    Reader r(bytes);
    Builder b;
    if (!r.run(b)) return nullptr;
    return b.copy_root();
}

bool writable(CFTypeRef cf, std::string* why) {
    return writable_at(cf, 1, why);
}

std::string value_xml(CFTypeRef cf, int indent) {
    std::string out;
    write_value(cf, indent, &out);
    return out;
}

std::string key_xml(std::string_view key) {
    return "<key>" + escape_xml(key) + "</key>";
}

std::string document_xml(std::string_view body) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    out += body;
    out += "\n</plist>\n";
    return out;
}

bool read_plist_file(const std::string& path, std::string* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    out->clear();
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) out->append(buf, static_cast<std::size_t>(n));
        if (out->size() > kMaxPlistBytes) break;
    }
    ::close(fd);
    return n == 0;
}

std::string escape_xml(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#13;";  // a raw one would be read back as a line feed
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace vantrel::cf
