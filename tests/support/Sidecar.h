// Resource-fork sidecars "._NAME" as tests make and read them, without the
// layer under test: the AppleDouble bytes Samba writes (or a Mac client's
// longer form), and the fork a sidecar on disk holds.
//
//   vtest::write_sidecar(dir / "f", "fork bytes");
//   EXPECT_EQ(vtest::sidecar_fork(dir / "f"), "fork bytes");
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vtest {

inline constexpr const char* kLegacyForkAttr = "user.org.netatalk.ResourceFork";

inline std::filesystem::path sidecar_path(const std::filesystem::path& file) {
    return file.parent_path() / ("._" + file.filename().string());
}

namespace sidecar_detail {
inline void put32(std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += char((v >> shift) & 0xFF);
}
inline std::uint32_t get32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
}  // namespace sidecar_detail

// Sidecar bytes holding `fork`. Samba's form by default: the fork (id 2) at
// 0x52 first, then 32 bytes of Finder information (id 9) at 0x32. With
// `macClient`, the form Mac clients write: Finder information first and
// 0xE2 bytes long (the attributes they pack into it), the fork after it.
inline std::string sidecar_bytes(const std::string& fork, const std::string& finder32 = {},
                                 bool macClient = false) {
    using sidecar_detail::put32;
    std::string s;
    put32(s, 0x00051607);
    put32(s, 0x00020000);
    s += "Netatalk        ";
    s += '\0';
    s += '\2';
    const std::uint32_t fiLen = macClient ? 0xE2 : 32;
    const std::uint32_t forkAt = macClient ? 0x32 + fiLen : 0x52;
    if (macClient) {
        put32(s, 9), put32(s, 0x32), put32(s, fiLen);
        put32(s, 2), put32(s, forkAt), put32(s, std::uint32_t(fork.size()));
    } else {
        put32(s, 2), put32(s, forkAt), put32(s, std::uint32_t(fork.size()));
        put32(s, 9), put32(s, 0x32), put32(s, fiLen);
    }
    std::string fi = finder32;
    fi.resize(fiLen, '\0');
    s += fi;
    s += fork;
    return s;
}

// One extended attribute of a macOS "._NAME" file's ATTR block.
struct MacAttr {
    std::string name, value;
    std::uint16_t flags = 0;
};

// A "._NAME" file as macOS writes it on a volume without extended
// attributes, built from the published AppleDouble version 2 layout and
// the ATTR header macOS adds: the filler "Mac OS X" and eight spaces, two
// entries (Finder information, id 9 at 0x32, 3,634 bytes, or longer when
// the attributes need it; the resource fork, id 2, right after it). The
// Finder entry holds `finder32`, two bytes of padding, then the ATTR block
// at 0x54: "ATTR", a debug tag, the block's end (the fork's offset), where
// the attributes' data starts and its length, 12 reserved bytes, flags,
// the count; per attribute its data's offset and length, flags, the
// name's length with its NUL and the name, each on a 4-byte boundary from
// 0x78; then the values, one after another.
inline std::string macos_sidecar_bytes(const std::string& finder32,
                                       const std::vector<MacAttr>& attrs, const std::string& fork) {
    using sidecar_detail::put32;
    auto put16 = [](std::string& s, std::uint16_t v) {
        s += char(v >> 8);
        s += char(v & 0xFF);
    };
    std::size_t table = 0x78;
    for (const MacAttr& a : attrs) table = (table + 11 + a.name.size() + 1 + 3) & ~std::size_t{3};
    std::size_t dataLen = 0;
    for (const MacAttr& a : attrs) dataLen += a.value.size();
    const std::size_t fiLen = std::max<std::size_t>(3634, table + dataLen - 0x32);
    const std::size_t forkAt = 0x32 + fiLen;
    std::string s;
    put32(s, 0x00051607);
    put32(s, 0x00020000);
    s += "Mac OS X        ";
    put16(s, 2);
    put32(s, 9), put32(s, 0x32), put32(s, std::uint32_t(fiLen));
    put32(s, 2), put32(s, std::uint32_t(forkAt)), put32(s, std::uint32_t(fork.size()));
    std::string fi = finder32;
    fi.resize(32, '\0');
    s += fi;
    s += std::string(2, '\0');
    put32(s, 0x41545452);  // "ATTR"
    put32(s, 0);           // debug tag
    put32(s, std::uint32_t(forkAt));
    put32(s, std::uint32_t(table));
    put32(s, std::uint32_t(dataLen));
    s.append(12, '\0');
    put16(s, 0);
    put16(s, std::uint16_t(attrs.size()));
    std::size_t data = table;
    for (const MacAttr& a : attrs) {
        put32(s, std::uint32_t(data));
        put32(s, std::uint32_t(a.value.size()));
        put16(s, a.flags);
        s += char(a.name.size() + 1);
        s += a.name;
        s += '\0';
        s.resize((s.size() + 3) & ~std::size_t{3}, '\0');
        data += a.value.size();
    }
    s.resize(table, '\0');
    for (const MacAttr& a : attrs) s += a.value;
    s.resize(forkAt, '\0');
    return s + fork;
}

// What Netatalk 2 keeps of a file (or folder) in its ".AppleDouble" folder.
struct Netatalk2 {
    std::string finder32;  // Finder information as on disk
    std::string comment;
    std::int32_t created = std::int32_t(0x80000000u);  // seconds from 2000, unknown
    std::int32_t backup = std::int32_t(0x80000000u);
    std::string fork;
    std::string realName = "f";
};

// The bytes of ".AppleDouble/NAME" as Netatalk 2 writes them, from the
// published AppleDouble version 2 layout: the filler "Netatalk" padded with
// spaces, and the entries in the order it lays them out: the real name (3),
// comment (4, 200 bytes), file dates (8: creation, modification, backup,
// access), Finder information (9), the folder ID (0x8053567E), AFP file
// information (14), the short name (13), the device, inode and sync
// entries (0x80444556, 0x80494E4F, 0x8053594E), and the resource fork (2)
// last.
inline std::string netatalk2_bytes(const Netatalk2& a) {
    using sidecar_detail::put32;
    struct E {
        std::uint32_t id;
        std::string data;
    };
    std::string dates;
    put32(dates, std::uint32_t(a.created));
    put32(dates, 0x80000000u);
    put32(dates, std::uint32_t(a.backup));
    put32(dates, 0x80000000u);
    std::string comment = a.comment;
    comment.resize(200, '\0');
    std::string fi = a.finder32;
    fi.resize(32, '\0');
    const std::vector<E> entries{
        {3, a.realName},
        {4, comment},
        {8, dates},
        {9, fi},
        {0x8053567E, "\0\0\0\x11"},
        {14, std::string(4, '\0')},
        {13, "F~1"},
        {0x80444556, std::string(8, '\1')},
        {0x80494E4F, std::string(8, '\2')},
        {0x8053594E, std::string(8, '\3')},
        {2, a.fork},
    };
    std::string s;
    put32(s, 0x00051607);
    put32(s, 0x00020000);
    s += "Netatalk        ";
    s += char(entries.size() >> 8);
    s += char(entries.size() & 0xFF);
    std::uint32_t at = std::uint32_t(26 + 12 * entries.size());
    for (const E& e : entries) {
        put32(s, e.id), put32(s, at), put32(s, std::uint32_t(e.data.size()));
        at += std::uint32_t(e.data.size());
    }
    for (const E& e : entries) s += e.data;
    return s;
}

// Where Netatalk 2 keeps what it knows of `item`: ".AppleDouble/NAME" beside
// a file, ".AppleDouble/.Parent" inside a folder.
inline std::filesystem::path netatalk2_path(const std::filesystem::path& item,
                                            bool folder = false) {
    return folder ? item / ".AppleDouble" / ".Parent"
                  : item.parent_path() / ".AppleDouble" / item.filename();
}

inline void write_bytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Writes `a` where Netatalk 2 keeps it for `item`, making ".AppleDouble".
inline void write_netatalk2(const std::filesystem::path& item, const Netatalk2& a,
                            bool folder = false) {
    const std::filesystem::path p = netatalk2_path(item, folder);
    std::filesystem::create_directories(p.parent_path());
    write_bytes(p, netatalk2_bytes(a));
}

inline std::string raw_sidecar(const std::filesystem::path& file) {
    std::ifstream in(sidecar_path(file), std::ios::binary);
    if (!in) return "<absent>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The entry `id` of the AppleDouble bytes `s`: "<corrupt>" when they do not
// parse or have no such entry.
inline std::string appledouble_entry(const std::string& s, std::uint32_t id) {
    using sidecar_detail::get32;
    if (s.size() < 26 || get32(s, 0) != 0x00051607 || get32(s, 4) != 0x00020000) return "<corrupt>";
    const std::size_t count =
        (std::size_t(static_cast<unsigned char>(s[24])) << 8) | static_cast<unsigned char>(s[25]);
    for (std::size_t i = 0; i < count && 26 + 12 * (i + 1) <= s.size(); ++i) {
        if (get32(s, 26 + 12 * i) != id) continue;
        const std::size_t at = get32(s, 30 + 12 * i), len = get32(s, 34 + 12 * i);
        if (at + len > s.size()) return "<corrupt>";
        return s.substr(at, len);
    }
    return "<corrupt>";
}

// The entry `id` of the sidecar of `file`: "<absent>" without a sidecar,
// "<corrupt>" when it does not parse or has no such entry.
inline std::string sidecar_entry(const std::filesystem::path& file, std::uint32_t id) {
    const std::string s = raw_sidecar(file);
    return s == "<absent>" ? s : appledouble_entry(s, id);
}

// The Finder information of the metadata record of `file` (32 bytes as on
// disk), zeros when it has none: what the layer copies into a sidecar.
inline std::string record_finder_info(const std::filesystem::path& file) {
    std::string buf(65536, '\0');
    const ssize_t n =
        ::lgetxattr(file.c_str(), "user.org.netatalk.Metadata", buf.data(), buf.size());
    if (n < 0) return std::string(32, '\0');
    buf.resize(std::size_t(n));
    std::string fi = appledouble_entry(buf, 9);
    if (fi == "<corrupt>") fi.clear();
    fi.resize(32, '\0');
    return fi;
}

// The resource fork the sidecar of `file` holds, by its header.
inline std::string sidecar_fork(const std::filesystem::path& file) {
    return sidecar_entry(file, 2);
}

inline std::string legacy_fork(const std::filesystem::path& file) {
    std::string buf(70000, '\0');
    const ssize_t n = ::lgetxattr(file.c_str(), kLegacyForkAttr, buf.data(), buf.size());
    return n < 0 ? std::string("<absent>") : buf.substr(0, std::size_t(n));
}

// With its file's permission bits and its record's Finder information, as
// the layer makes a sidecar: a sidecar's permissions are its file's (any
// change of the file's brings the sidecar into line), and its Finder
// information a copy of the record's.
inline void write_sidecar(const std::filesystem::path& file, const std::string& fork,
                          bool macClient = false) {
    write_bytes(sidecar_path(file), sidecar_bytes(fork, record_finder_info(file), macClient));
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ::chmod(sidecar_path(file).c_str(), st.st_mode & 0666);
}

}  // namespace vtest
