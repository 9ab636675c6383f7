#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "civil.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/UTF.h"

namespace fmutil {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void append_hex_byte(std::string& out, unsigned char b) {
    out += "\\x";
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::u16string> utf8_to_utf16(std::string_view in) {
    std::u16string out;
    if (!vantrel::utf::utf8_to_utf16(in, &out, vantrel::utf::Invalid::Refuse)) return std::nullopt;
    return out;
}

void append_utf16_as_utf8(std::string& out, const UniChar* units, std::size_t count) {
    vantrel::utf::utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(units), count), &out,
        vantrel::utf::Invalid::ReplaceEachUnit);
}

std::string utf16_to_utf8(std::u16string_view in) {
    std::string out;
    vantrel::utf::utf16_to_utf8(in, &out, vantrel::utf::Invalid::ReplaceEachUnit);
    return out;
}

std::optional<std::u16string> posix_name_to_unicode(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    auto u = utf8_to_utf16(name);
    if (!u) return std::nullopt;
    for (char16_t& c : *u) {
        if (c == u':') c = u'/';
    }
    return u;
}

void append_unicode_name_as_posix(std::string& out, const HFSUniStr255& name) {
    const std::size_t start = out.size();
    const std::size_t n = name.length > 255 ? 255 : name.length;
    append_utf16_as_utf8(out, name.unicode, n);
    for (std::size_t i = start; i < out.size(); ++i) {
        if (out[i] == '/') out[i] = ':';
    }
}

std::string format_ostype(OSType code) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto b = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out.push_back(static_cast<char>(b));
        } else {
            append_hex_byte(out, b);
        }
    }
    return out;
}

std::optional<OSType> parse_ostype(std::string_view text) {
    OSType code = 0;
    int bytes = 0;
    for (std::size_t i = 0; i < text.size(); ++bytes) {
        if (bytes == 4) return std::nullopt;
        unsigned char b;
        if (text[i] == '\\') {
            if (i + 1 < text.size() && text[i + 1] == '\\') {
                b = '\\';
                i += 2;
            } else if (i + 3 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
                       hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
                b = static_cast<unsigned char>(hex_value(text[i + 2]) * 16 +
                                               hex_value(text[i + 3]));
                i += 4;
            } else {
                return std::nullopt;
            }
        } else {
            b = static_cast<unsigned char>(text[i]);
            // Only ASCII is taken literally: a multi-byte UTF-8 character is
            // not one byte of a code, so it has to be written as escapes.
            if (b >= 0x80) return std::nullopt;
            ++i;
        }
        code = (code << 8) | b;
    }
    if (bytes != 4) return std::nullopt;
    return code;
}

bool date_is_set(const UTCDateTime& d) {
    return d.highSeconds != 0 || d.lowSeconds != 0 || d.fraction != 0;
}

bool same_date(const UTCDateTime& a, const UTCDateTime& b) {
    return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds &&
           a.fraction == b.fraction;
}

std::optional<UTCDateTime> parse_date(std::string_view t) {
    std::size_t i = 0;
    auto digits = [&](int n, int* v) {
        if (t.size() - i < static_cast<std::size_t>(n)) return false;
        int x = 0;
        for (int k = 0; k < n; ++k) {
            const char c = t[i + k];
            if (c < '0' || c > '9') return false;
            x = x * 10 + (c - '0');
        }
        *v = x;
        i += n;
        return true;
    };
    auto take = [&](char c) {
        if (i < t.size() && t[i] == c) return ++i, true;
        return false;
    };
    int y, mo, d, h = 0, mi = 0, sec = 0;
    if (!digits(4, &y) || !take('-') || !digits(2, &mo) || !take('-') || !digits(2, &d))
        return std::nullopt;
    std::uint64_t frac = 0;  // 1/65536 s
    long zone = 0;           // seconds east of UTC
    if (i < t.size()) {
        if (!take('T') && !take(' ')) return std::nullopt;
        if (!digits(2, &h) || !take(':') || !digits(2, &mi)) return std::nullopt;
        if (take(':')) {
            if (!digits(2, &sec)) return std::nullopt;
            if (take('.') || take(',')) {
                double f = 0, scale = 0.1;
                const std::size_t start = i;
                for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, scale /= 10)
                    f += (t[i] - '0') * scale;
                if (i == start) return std::nullopt;
                frac = static_cast<std::uint64_t>(std::llround(f * 65536));
                if (frac > 65535) frac = 65535;
            }
        }
        if (take('Z')) {
        } else if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
            const int sign = t[i++] == '-' ? -1 : 1;
            int zh, zm = 0;
            if (!digits(2, &zh)) return std::nullopt;
            if (take(':') || (i < t.size() && t[i] != ':')) {
                if (!digits(2, &zm)) return std::nullopt;
            }
            if (zh > 23 || zm > 59) return std::nullopt;
            zone = sign * (zh * 3600L + zm * 60L);
        }
    }
    if (i != t.size()) return std::nullopt;
    if (mo < 1 || d < 1 || !vantrel::civil::valid(y, unsigned(mo), unsigned(d)) || h > 23 ||
        mi > 59 || sec > 60) {
        return std::nullopt;
    }
    const std::int64_t days = vantrel::civil::days_from_civil(y, unsigned(mo), unsigned(d));
    const std::int64_t mac = days * 86400 + std::int64_t{h} * 3600 + std::int64_t{mi} * 60 + sec -
                             zone + vantrel::civil::kUnixFromMac;
    if (mac < 0 || mac > 0xFFFFFFFFFFFFLL) return std::nullopt;
    UTCDateTime out{};
    out.highSeconds = static_cast<UInt16>(mac >> 32);
    out.lowSeconds = static_cast<UInt32>(mac & 0xFFFFFFFF);
    out.fraction = static_cast<UInt16>(frac);
    return out;
}

std::string format_date(const UTCDateTime& d) {
    const std::int64_t mac = (static_cast<std::int64_t>(d.highSeconds) << 32) | d.lowSeconds;
    // gmtime_r, not the calendar's civil dates: 48-bit seconds reach years
    // past the 32767 std::chrono::year holds.
    const std::time_t t = static_cast<std::time_t>(mac - vantrel::civil::kUnixFromMac);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "?";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string out = buf;
    if (d.fraction != 0) {
        // 1/65536 s to four decimals, trailing zeros dropped.
        unsigned frac =
            static_cast<unsigned>((static_cast<std::uint64_t>(d.fraction) * 10000 + 32768) / 65536);
        if (frac > 9999) frac = 9999;
        std::snprintf(buf, sizeof buf, ".%04u", frac);
        std::string f = buf;
        while (f.size() > 2 && f.back() == '0') f.pop_back();
        if (f != ".0") out += f;
    }
    out.push_back('Z');
    return out;
}

void append_terminal_safe(std::string& out, std::string_view text) {
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b == 0x7F) {
            append_hex_byte(out, b);
        } else {
            out.push_back(c);
        }
    }
}

namespace {

// A character that reads the same inside double quotes, in C and in a
// shell: what lets a name with a single quote be written as "it's".
bool same_in_double_quotes(unsigned char b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
           std::string_view(" %'+,-./:@]_").find(static_cast<char>(b)) != std::string_view::npos;
}

// The escape of one byte inside $'...': C's letters where it has one.
void append_dollar_escape(std::string& out, unsigned char b) {
    static constexpr std::string_view kLetters = "abtnvfr";  // 7 to 13
    if (b >= 7 && b <= 13) {
        out.push_back('\\');
        out.push_back(kLetters[b - 7]);
        return;
    }
    out.push_back('\\');
    out.push_back(static_cast<char>('0' + ((b >> 6) & 7)));
    out.push_back(static_cast<char>('0' + ((b >> 3) & 7)));
    out.push_back(static_cast<char>('0' + (b & 7)));
}

}  // namespace

void append_shell_quoted(std::string& out, std::string_view text) {
    // One pass decides the form: double quotes only when a single quote is
    // there and every character means the same between double quotes.
    bool quote = false;
    bool doubleQuotable = true;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            quote = quote || b == '\'';
            doubleQuotable = doubleQuotable && same_in_double_quotes(b);
            ++i;
            continue;
        }
        const vantrel::utf::Decoded d = vantrel::utf::decode_utf8(text.data() + i, text.size() - i);
        doubleQuotable = doubleQuotable && d.ok && d.cp >= 0xA0;
        i += d.ok ? d.len : 1;
    }
    if (quote && doubleQuotable) {
        out.push_back('"');
        out.append(text);
        out.push_back('"');
        return;
    }
    out.push_back('\'');
    bool escaping = false;  // inside a $'...' piece, the quoted run closed before it
    auto escape = [&](unsigned char b) {
        if (!escaping) out += "'$'";
        escaping = true;
        append_dollar_escape(out, b);
    };
    auto plain = [&] {
        if (escaping) out += "''";
        escaping = false;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80) {
            const vantrel::utf::Decoded d =
                vantrel::utf::decode_utf8(text.data() + i, text.size() - i);
            const std::size_t n = d.ok ? d.len : 1;
            if (d.ok && d.cp >= 0xA0) {
                plain();
                out.append(text.substr(i, n));
            } else {  // a C1 control, or bytes that are not UTF-8: each byte escaped
                for (std::size_t k = 0; k < n; ++k) escape(static_cast<unsigned char>(text[i + k]));
            }
            i += n;
            continue;
        }
        ++i;
        if (b < 0x20 || b == 0x7F) {
            escape(b);
        } else if (b == '\'') {
            plain();
            out += "'\\''";
        } else {
            plain();
            out.push_back(static_cast<char>(b));
        }
    }
    out.push_back('\'');
}

bool is_utf8(std::string_view text) {
    return vantrel::utf::invalid_utf8_at(text) == std::string_view::npos;
}

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80) {
            // Each byte of an ill-formed sequence stands for itself.
            const vantrel::utf::Decoded d =
                vantrel::utf::decode_utf8(text.data() + i, text.size() - i);
            if (d.ok) {
                out.append(text.substr(i, d.len));
            } else {
                out += "\\uFFFD";
            }
            i += d.ok ? d.len : 1;
            continue;
        }
        ++i;
        switch (b) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04X", b);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(b));
                }
        }
    }
    out.push_back('"');
}

namespace {

TextEncoding system_script_encoding() {
    TextEncoding enc = kTextEncodingMacRoman;
    if (UpgradeScriptInfoToTextEncoding(ScriptCode(GetScriptManagerVariable(smSysScript)),
                                        kTextLanguageDontCare, kTextRegionDontCare, nullptr,
                                        &enc) != noErr)
        enc = kTextEncodingMacRoman;
    return enc;
}

// The whole of `units` in the system script, or nothing.
std::optional<std::string> units_to_script(const UnicodeToTextInfo info,
                                           std::u16string_view units) {
    // A Mac script character is at most two bytes; room for every unit twice.
    std::string out(units.size() * 2 + 1, '\0');
    ByteCount read = 0, len = 0;
    if (ConvertFromUnicodeToText(info, units.size() * 2,
                                 reinterpret_cast<const UniChar*>(units.data()), 0, 0, nullptr,
                                 nullptr, nullptr, out.size(), &read, &len, out.data()) != noErr)
        return std::nullopt;
    out.resize(len);
    return out;
}

}  // namespace

std::string system_script_name() {
    switch (GetTextEncodingBase(system_script_encoding())) {
        case kTextEncodingMacRoman:
            return "Mac Roman";
        case kTextEncodingMacJapanese:
            return "Mac Japanese";
        case kTextEncodingMacChineseTrad:
            return "Mac Traditional Chinese";
        case kTextEncodingMacKorean:
            return "Mac Korean";
        case kTextEncodingMacArabic:
            return "Mac Arabic";
        case kTextEncodingMacHebrew:
            return "Mac Hebrew";
        case kTextEncodingMacGreek:
            return "Mac Greek";
        case kTextEncodingMacCyrillic:
            return "Mac Cyrillic";
        case kTextEncodingMacChineseSimp:
            return "Mac Simplified Chinese";
        case kTextEncodingMacCentralEurRoman:
            return "Mac Central European";
        default:
            return "the system script's encoding";
    }
}

std::optional<std::string> utf8_to_system_script(std::string_view text, std::string* unmappable) {
    if (unmappable != nullptr) unmappable->clear();
    const std::optional<std::u16string> units = utf8_to_utf16(text);
    if (!units) return std::nullopt;
    const UnicodeMapping m = {
        CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeNoSubset, kUnicode16BitFormat),
        system_script_encoding(), kUnicodeUseLatestMapping};
    UnicodeToTextInfo info = nullptr;
    if (CreateUnicodeToTextInfo(&m, &info) != noErr) return std::nullopt;
    std::optional<std::string> out = units_to_script(info, *units);
    if (!out && unmappable != nullptr) {
        // Which character: the first that does not convert on its own.
        for (std::size_t i = 0; i < units->size();) {
            std::size_t n = vantrel::utf::decode_utf16(units->data() + i, units->size() - i).len;
            // Keep combining marks with their base: they may convert together.
            while (i + n < units->size() && (*units)[i + n] >= 0x0300 && (*units)[i + n] < 0x0370)
                ++n;
            const std::u16string_view one(units->data() + i, std::min(n, units->size() - i));
            if (!units_to_script(info, one)) {
                *unmappable = utf16_to_utf8(one);
                break;
            }
            i += n;
        }
    }
    DisposeUnicodeToTextInfo(&info);
    return out;
}

std::optional<std::string> system_script_to_utf8(std::string_view bytes) {
    const UnicodeMapping m = {CreateTextEncoding(kTextEncodingUnicodeV2_0,
                                                 kUnicodeCanonicalCompVariant, kUnicode16BitFormat),
                              system_script_encoding(), kUnicodeUseLatestMapping};
    TextToUnicodeInfo info = nullptr;
    if (CreateTextToUnicodeInfo(&m, &info) != noErr) return std::nullopt;
    // One byte gives at most a few units (a ligature, a character with marks).
    std::u16string units(bytes.size() * 4 + 4, u'\0');
    ByteCount read = 0, len = 0;
    const OSStatus e = ConvertFromTextToUnicode(info, bytes.size(), bytes.data(), 0, 0, nullptr,
                                                nullptr, nullptr, units.size() * 2, &read, &len,
                                                reinterpret_cast<UniChar*>(units.data()));
    DisposeTextToUnicodeInfo(&info);
    if (e != noErr) return std::nullopt;
    units.resize(len / 2);
    return utf16_to_utf8(units);
}

}  // namespace fmutil
