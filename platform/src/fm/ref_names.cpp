// Names between the caller's Unicode (or Mac Roman Pascal) form and the
// bytes stored on disk (ref_names.h).
#include "fm/ref_names.h"

#include <cstdio>
#include <cstring>

#include "fm/fork_sidecar.h"
#include "text/codec.h"
#include "vantrel/UTF.h"

namespace vantrel::fm {
namespace {

// Decodes UTF-8 leniently: each byte of an invalid sequence becomes U+FFFD.
std::u16string lenient_utf16(std::string_view s) {
    std::u16string out;
    utf::utf8_to_utf16(s, &out, utf::Invalid::ReplaceEachUnit);
    return out;
}

}  // namespace

namespace {

OSErr convert_name(const UniChar* name, std::size_t units, bool forLookup, std::string* disk);

}  // namespace

OSErr name_from_unicode(const UniChar* name, std::size_t units, std::string* disk) {
    return convert_name(name, units, false, disk);
}

OSErr name_for_lookup(const UniChar* name, std::size_t units, std::string* disk) {
    return convert_name(name, units, true, disk);
}

namespace {

OSErr convert_name(const UniChar* name, std::size_t units, bool forLookup, std::string* disk) {
    if (name == nullptr && units != 0) return paramErr;
    if (units == 0) return bdNamErr;
    if (units > 255) return errFSNameTooLong;
    for (std::size_t i = 0; i < units; ++i)
        if (name[i] == 0 || name[i] == u':') return bdNamErr;
    // Composed as the converters compose: the characters HFS+ keeps as they
    // are stay as they are, so what is created reads back unchanged.
    std::u16string nfc;
    if (text::normalize(name, units, text::Normal::HFSComposed, &nfc) != noErr) return bdNamErr;
    std::string utf8;
    if (text::utf16_to_utf8(reinterpret_cast<const UniChar*>(nfc.data()), nfc.size(), &utf8) !=
        noErr)
        return bdNamErr;
    if (utf8 == "." || utf8 == "..") return bdNamErr;
    // "._NAME" is where NAME's resource fork lives, for Samba, Netatalk and
    // Mac clients alike: an item under such a name would be taken for the
    // fork of another file (and hidden from them), so none is made or named.
    // A lookup may still name a folder under such a name, made on the server.
    if (!forLookup && rsrc::is_sidecar_name(utf8)) return bdNamErr;
    for (char& c : utf8)
        if (c == '/') c = ':';
    if (utf8.size() > 255) return errFSNameTooLong;
    *disk = std::move(utf8);
    return noErr;
}

}  // namespace

std::vector<std::string> name_alternatives(const UniChar* name, std::size_t units) {
    std::vector<std::string> out;
    std::string asGiven, nfc;
    if (name_for_lookup(name, units, &nfc) != noErr) return out;
    if (text::utf16_to_utf8(name, units, &asGiven) != noErr) return out;
    for (char& c : asGiven)
        if (c == '/') c = ':';
    if (asGiven != nfc && asGiven.size() <= 255) out.push_back(asGiven);
    // A name stored by a Mac client (decomposed) is found too.
    std::u16string nfd;
    std::string d;
    if (text::normalize(name, units, text::Normal::HFSDecomposed, &nfd) == noErr &&
        text::utf16_to_utf8(reinterpret_cast<const UniChar*>(nfd.data()), nfd.size(), &d) ==
            noErr) {
        for (char& c : d)
            if (c == '/') c = ':';
        if (d != nfc && d != asGiven && d.size() <= 255) out.push_back(d);
    }
    return out;
}

OSErr name_to_unicode(std::string_view disk, HFSUniStr255* out) {
    // ASCII is its own decomposition: no conversion, no normalisation (most
    // names of a listing take this way).
    if (disk.size() <= 255) {
        bool ascii = true;
        for (const char c : disk) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (ascii) {
            out->length = UInt16(disk.size());
            for (std::size_t i = 0; i < disk.size(); ++i)
                out->unicode[i] = disk[i] == ':' ? UniChar('/') : UniChar(disk[i]);
            return noErr;
        }
    }
    std::string shown(disk);
    for (char& c : shown)
        if (c == ':') c = '/';
    std::u16string u;
    if (text::utf8_to_utf16(shown, &u) != noErr) u = lenient_utf16(shown);
    std::u16string d;
    if (text::normalize(reinterpret_cast<const UniChar*>(u.data()), u.size(),
                        text::Normal::HFSDecomposed, &d) != noErr)
        d = u;
    // A name that fits on disk may not fit once decomposed (127 x U+0390 is
    // 254 bytes and 381 units): it is shown composed, as stored, which
    // always fits in 255 units and still finds the object.
    if (d.size() > 255) d = u;
    if (d.size() > 255) return errFSNameTooLong;
    out->length = UInt16(d.size());
    std::memcpy(out->unicode, d.data(), d.size() * sizeof(UniChar));
    return noErr;
}

OSErr name_from_pascal(const unsigned char* pascal, std::string* disk) {
    if (pascal == nullptr) return paramErr;
    std::size_t len = pascal[0];
    const char* p = reinterpret_cast<const char*>(pascal + 1);
    if (len > 0 && p[0] == ':') {  // a leading colon only says "relative"
        ++p;
        --len;
    }
    UniChar u[512];
    std::size_t n = 0;
    if (text::to_utf16(0 /* Mac Roman */, p, len, text::Normal::NFC, u, 512, &n) != noErr)
        return bdNamErr;
    return name_from_unicode(u, n, disk);
}

void name_to_pascal(std::string_view disk, UInt32 nodeID, unsigned char* out, std::size_t cap) {
    constexpr std::size_t kMax = 31;  // HFS name length
    std::size_t limit = std::min(kMax, cap > 0 ? cap - 1 : 0);
    HFSUniStr255 u;
    char buf[64];
    std::size_t n = 0;
    bool ok = name_to_unicode(disk, &u) == noErr;
    if (ok) {
        std::u16string nfc;
        ok = text::normalize(u.unicode, u.length, text::Normal::NFC, &nfc) == noErr &&
             text::from_utf16(0, reinterpret_cast<const UniChar*>(nfc.data()), nfc.size(), true,
                              buf, sizeof buf, &n) == noErr &&
             n <= limit;
    }
    if (!ok) {
        // Too long or not in Mac Roman: a prefix of the plain ASCII part
        // and the node ID, which name_from_pascal's callers resolve.
        char id[16];
        int idLen = std::snprintf(id, sizeof id, "#%X", nodeID);
        std::size_t keep = limit > std::size_t(idLen) ? limit - idLen : 0;
        n = 0;
        for (char c : disk) {
            if (n >= keep) break;
            unsigned char uc = static_cast<unsigned char>(c);
            if (uc < 0x20 || uc >= 0x7F) break;
            buf[n++] = c == ':' ? '/' : c;
        }
        std::memcpy(buf + n, id, std::min<std::size_t>(idLen, limit - n));
        n += std::min<std::size_t>(idLen, limit - n);
    }
    if (cap == 0) return;
    out[0] = static_cast<unsigned char>(n);
    std::memcpy(out + 1, buf, n);
}

UInt32 mangled_id(std::string_view s) {
    auto hash = s.rfind('#');
    if (hash == std::string_view::npos || hash + 1 >= s.size() || s.size() - hash - 1 > 8) return 0;
    UInt32 id = 0;
    for (char c : s.substr(hash + 1)) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return 0;
        id = id * 16 + UInt32(d);
    }
    return id;
}

}  // namespace vantrel::fm
