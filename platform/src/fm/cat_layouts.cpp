// Mac metadata in other programs' layouts. See cat_layouts.h.
#include "fm/cat_layouts.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "fm/cat_appledir.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "vantrel/Sidecars.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSGetMacAttributes", "VantrelFSGetMacLayout");

namespace vantrel::fm::layouts {
namespace {

// The most of a "._NAME" file read to find its attributes: macOS keeps
// them within the Finder-information entry, 3,634 bytes while they fit and
// rarely more than a few pages; a header that claims more is not read.
constexpr std::uint64_t kMaxAttrBytes = 64u << 20;

// Reads `size` bytes at `at` of `fd` whole; false on a short read or an
// error (errno set, EIO for a file that ended sooner).
bool read_exact(int fd, void* buf, std::size_t size, std::uint64_t at) {
    auto* p = static_cast<char*>(buf);
    while (size > 0) {
        const ssize_t got = ::pread(fd, p, size, off_t(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;
            return false;
        }
        p += got;
        at += std::uint64_t(got);
        size -= std::size_t(got);
    }
    return true;
}

// The macOS "._NAME" of the plain file `n`: its open sidecar and its
// header's Finder-information entry. False when there is none (no sidecar,
// another writer's filler, no Finder-information entry) or `n` is no file.
struct MacFile {
    rsrc::Sidecar side;
    ad::Header header;
    ad::Descriptor finder;
    std::uint64_t size = 0;
};
bool open_macos(const Node& n, MacFile* out) {
    if (!S_ISREG(n.st.stx_mode) || n.root) return false;
    if (rsrc::open(n.at(), n.name, false, &out->side) != noErr || !out->side.found()) return false;
    struct stat st {};
    if (::fstat(out->side.fd.get(), &st) != 0) return false;
    out->size = std::uint64_t(st.st_size);
    std::uint8_t head[ad::kHeaderSize + ad::kMaxEntries * ad::kEntrySize];
    const ssize_t got = ::pread(out->side.fd.get(), head, sizeof head, 0);
    if (got < 0) return false;
    ad::Header h;
    if (ad::decode({head, std::size_t(got)}, out->size, ad::kSidecar, &h) != ad::Error::None)
        return false;
    const ad::Descriptor* fi = h.find(ad::kFinderInfoId);
    if (h.filler != ad::kMacOSFiller || fi == nullptr || fi->extent < ad::kFinderInfoSize)
        return false;
    out->finder = *fi;
    out->header = std::move(h);
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The most of a volumes.conf read: a few lines per share.
constexpr off_t kMaxConfigBytes = 1 << 20;

// The text of the file `path`, or "" when there is none. Only a regular
// file is read (a FIFO or a device under that name would block or never
// end); one that cannot be read, or is not a file, or is too large, is a
// problem to report.
std::string slurp(const std::string& path, std::vector<std::string>* problems) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            problems->push_back(path + ": " + std::strerror(errno));
        return {};
    }
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problems->push_back(path + ": not a regular file");
    } else if (st.st_size > kMaxConfigBytes) {
        problems->push_back(path + ": larger than " + std::to_string(kMaxConfigBytes) + " bytes");
    } else {
        text.assign(std::size_t(st.st_size), '\0');
        if (!read_exact(fd, text.data(), text.size(), 0)) {
            problems->push_back(path + ": " + std::strerror(errno));
            text.clear();
        }
    }
    ::close(fd);
    return text;
}

// True when `rule` is `path` or one of its folders.
bool holds(std::string_view rule, std::string_view path) {
    if (rule == "/") return true;
    return path.substr(0, rule.size()) == rule &&
           (path.size() == rule.size() || path[rule.size()] == '/');
}

constexpr const char* kSystemConfig = "/etc/vantrel/volumes.conf";

// The user's own volumes.conf ("" without a home to find it in).
std::string user_config() {
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && x[0] == '/')
        return std::string(x) + "/vantrel/volumes.conf";
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/')
        return std::string(h) + "/.config/vantrel/volumes.conf";
    return {};
}

}  // namespace

const char* layout_name(Layout l) noexcept {
    switch (l) {
        case Layout::Netatalk:
            return "netatalk";
        case Layout::Stream:
            return "stream";
        case Layout::StreamFile:
            return "stream+file";
    }
    return "?";
}

bool parse_layout(std::string_view word, Layout* out) noexcept {
    for (Layout l : {Layout::Netatalk, Layout::Stream, Layout::StreamFile}) {
        if (word == layout_name(l)) {
            *out = l;
            return true;
        }
    }
    return false;
}

std::vector<LayoutRule> parse_config(std::string_view text, const std::string& source,
                                     std::vector<std::string>* problems) {
    std::vector<LayoutRule> rules;
    int lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        // A comment begins with "#" at the start of a word.
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
                line = line.substr(0, i);
                break;
            }
        }
        line = trim(line);
        if (line.empty()) continue;
        const std::size_t sp = line.find_last_of(" \t");
        auto problem = [&](const std::string& why) {
            if (problems == nullptr) return;
            std::string p = source;
            p += ':';
            p += std::to_string(lineNo);
            p += ": ";
            p += why;
            problems->push_back(std::move(p));
        };
        if (sp == std::string_view::npos) {
            problem("no layout after the path");
            continue;
        }
        LayoutRule r;
        const std::string_view word = line.substr(sp + 1);
        std::string_view path = trim(line.substr(0, sp));
        if (!parse_layout(word, &r.layout)) {
            problem("'" + std::string(word) + "' is not a layout (netatalk, stream, stream+file)");
            continue;
        }
        if (path.empty() || path.front() != '/') {
            problem("'" + std::string(path) + "' is not an absolute path");
            continue;
        }
        while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
        r.path = std::string(path);
        rules.push_back(std::move(r));
    }
    return rules;
}

LayoutConfig load_config() {
    LayoutConfig c;
    const std::string sys = kSystemConfig;
    c.system = parse_config(slurp(sys, &c.problems), sys, &c.problems);
    const std::string user = user_config();
    if (!user.empty()) c.user = parse_config(slurp(user, &c.problems), user, &c.problems);
    if (const char* e = std::getenv("VANTREL_MAC_LAYOUT"); e != nullptr && e[0] != 0) {
        if (parse_layout(e, &c.env))
            c.fromEnv = true;
        else
            c.problems.push_back(std::string("VANTREL_MAC_LAYOUT: '") + e +
                                 "' is not a layout (netatalk, stream, stream+file)");
    }
    return c;
}

Layout layout_for(const LayoutConfig& c, std::string_view path) {
    if (c.fromEnv) return c.env;
    const LayoutRule* best = nullptr;
    for (const auto* rules : {&c.system, &c.user})
        for (const LayoutRule& r : *rules)
            if (holds(r.path, path) && (best == nullptr || r.path.size() >= best->path.size()))
                best = &r;
    return best != nullptr ? best->layout : Layout::Netatalk;
}

Layout layout_of(const Node& n) {
    // The environment's layout holds for every path: no file, no path to look at.
    if (const char* e = std::getenv("VANTREL_MAC_LAYOUT"); e != nullptr && e[0] != 0) {
        Layout l = Layout::Netatalk;
        if (parse_layout(e, &l)) return l;
    }
    // The configuration is read again only when what it comes from changed.
    static std::mutex mu;
    static LayoutConfig cached;
    static std::string stamp = "unread";
    std::string now;
    for (const char* e : {"VANTREL_MAC_LAYOUT", "XDG_CONFIG_HOME", "HOME"}) {
        const char* v = std::getenv(e);
        now += v != nullptr ? v : "";
        now += '\0';
    }
    for (const std::string& f : {std::string(kSystemConfig), user_config()}) {
        struct stat st {};
        if (!f.empty() && ::stat(f.c_str(), &st) == 0)
            now += std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
                   std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        now += '\0';
    }
    // The path the object has now: its folder's (a volume's root is its
    // own descriptor), then its name.
    std::string path;
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(n.at());
    const ssize_t len = ::readlink(link.c_str(), buf, sizeof buf);
    if (len > 0) path.assign(buf, std::size_t(len));
    if (!n.root) path += (path == "/" ? "" : "/") + n.name;
    std::lock_guard lk(mu);
    if (now != stamp) {
        cached = load_config();
        stamp = now;
    }
    return layout_for(cached, path);
}

bool read_afpinfo(const Node& n, ad::AfpInfo* out) {
    std::uint8_t buf[ad::kAfpInfoSize + 2];
    const ssize_t got = meta::get_attr(n, ad::kAfpInfoAttr, buf, sizeof buf);
    if (got < 0) return false;
    return ad::decode_afpinfo({buf, std::size_t(got)}, out) == ad::Error::None;
}

OSErr write_afpinfo(const Node& n, const std::uint8_t* disk, const std::int32_t* backup,
                    const char* step) {
    return write_afpinfo(n, layout_of(n), disk, backup, step);
}

OSErr write_afpinfo(const Node& n, Layout layout, const std::uint8_t* disk,
                    const std::int32_t* backup, const char* step) {
    if (layout == Layout::Netatalk) return noErr;
    ad::AfpInfo a;
    read_afpinfo(n, &a);  // one that does not decode is replaced whole
    if (disk != nullptr) std::memcpy(a.finderInfo.data(), disk, a.finderInfo.size());
    if (backup != nullptr) a.backupTime = std::uint32_t(*backup);
    const std::string bytes = ad::encode_afpinfo(a);
    if (fault::step(step, n.name, [&] {
            return meta::set_attr(n, ad::kAfpInfoAttr, bytes.data(), bytes.size());
        }) != 0)
        return from_errno(errno, Op::Write, &n);
    return noErr;
}

namespace {

// shown_finder_info(), with `macos` (and `macosFd`) where "._NAME" was read.
void shown_finder_info_of(const Node& n, const meta::Record* rec, bool maySidecar, bool mayStream,
                          std::uint8_t out[ad::kFinderInfoSize], bool mayAppleDouble,
                          const MacOSFile* macos, int macosFd) {
    std::memset(out, 0, ad::kFinderInfoSize);
    const meta::Entry* e = rec != nullptr ? rec->find(meta::kFinderInfoId) : nullptr;
    if (e != nullptr) {
        // Finder information: bytes, not a C string.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        std::memcpy(out, e->data.data(), std::min(e->data.size(), ad::kFinderInfoSize));
    }
    ad::AfpInfo afp;
    const bool haveAfp = mayStream && !n.is_link() && read_afpinfo(n, &afp);
    // Where the record and the stream both speak, the volume's layout decides.
    if (haveAfp && (e == nullptr || layout_of(n) != Layout::Netatalk)) {
        std::memcpy(out, afp.finderInfo.data(), afp.finderInfo.size());
        return;
    }
    if (e != nullptr || rec != nullptr || haveAfp) return;
    if (maySidecar && macos != nullptr) {
        if (macos->found) {
            if (!macos_finder_info(*macos, out) &&
                !read_exact(macosFd, out, ad::kFinderInfoSize, macos->finder.offset))
                std::memset(out, 0, ad::kFinderInfoSize);
            return;
        }
    } else if (maySidecar) {
        MacFile m;
        if (open_macos(n, &m)) {
            if (!read_exact(m.side.fd.get(), out, ad::kFinderInfoSize, m.finder.offset))
                std::memset(out, 0, ad::kFinderInfoSize);
            return;
        }
    }
    // Last, what Netatalk 2 kept in ".AppleDouble".
    meta::Record old;
    if (mayAppleDouble && appledir::record_of(n, &old))
        if (const meta::Entry* fi = old.find(meta::kFinderInfoId)) {
            // Finder information: bytes, not a C string.
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
            std::memcpy(out, fi->data.data(), std::min(fi->data.size(), ad::kFinderInfoSize));
        }
}

}  // namespace

void shown_finder_info(const Node& n, const meta::Record* rec, bool maySidecar, bool mayStream,
                       std::uint8_t out[ad::kFinderInfoSize], bool mayAppleDouble) {
    shown_finder_info_of(n, rec, maySidecar, mayStream, out, mayAppleDouble, nullptr, -1);
}

void shown_finder_info(const Node& n, const meta::Record* rec, bool mayStream,
                       const MacOSFile& macos, int macosFd, std::uint8_t out[ad::kFinderInfoSize]) {
    shown_finder_info_of(n, rec, true, mayStream, out, true, &macos, macosFd);
}

void read_macos(int fd, std::uint64_t size, const ad::Header& h, std::string_view known,
                MacOSFile* out) {
    *out = MacOSFile{};
    const ad::Descriptor* fi = h.find(ad::kFinderInfoId);
    if (h.filler != ad::kMacOSFiller || fi == nullptr || fi->extent < ad::kFinderInfoSize) return;
    out->found = true;
    out->finder = *fi;
    const std::uint64_t end = std::uint64_t(fi->offset) + fi->extent;
    if (end > kMaxAttrBytes || end > size) {
        out->err = -1;
        // Its Finder information all the same, which is all most readers want.
        out->head.assign(std::size_t(fi->offset) + ad::kFinderInfoSize, '\0');
        if (!read_exact(fd, out->head.data() + fi->offset, ad::kFinderInfoSize, fi->offset))
            out->head.clear();
        return;
    }
    if (known.size() >= end) {
        out->head.assign(known.substr(0, std::size_t(end)));
        return;
    }
    out->head.assign(std::size_t(end), '\0');
    if (!read_exact(fd, out->head.data(), out->head.size(), 0)) {
        out->err = errno;
        out->head.clear();
    }
}

bool macos_finder_info(const MacOSFile& m, std::uint8_t out[ad::kFinderInfoSize]) {
    std::memset(out, 0, ad::kFinderInfoSize);
    if (!m.found || m.head.size() < std::size_t(m.finder.offset) + ad::kFinderInfoSize)
        return false;
    std::memcpy(out, m.head.data() + m.finder.offset, ad::kFinderInfoSize);
    return true;
}

OSErr mac_attributes(const MacOSFile& m, ad::AttrBlock* out) {
    *out = ad::AttrBlock{};
    if (!m.found) return noErr;
    if (m.err < 0) return ioErr;
    if (m.err > 0) return from_errno(m.err, Op::Read);
    const auto* p = reinterpret_cast<const std::uint8_t*>(m.head.data());
    ad::AttrBlock block;
    switch (ad::decode_attrs({p, m.head.size()}, m.finder, &block)) {
        case ad::Error::None:
            *out = std::move(block);
            return noErr;
        case ad::Error::NoBlock:
            return noErr;
        default:
            return ioErr;
    }
}

namespace {

// `n`'s macOS "._NAME", read whole for what is taken from it.
void read_macos(const Node& n, MacOSFile* out) {
    *out = MacOSFile{};
    MacFile m;
    if (open_macos(n, &m)) read_macos(m.side.fd.get(), m.size, m.header, {}, out);
}

// The Finder information of `n`'s AfpInfo stream, else of its macOS
// "._NAME" (`macos`, read already, or null to read it here).
bool foreign_finder_info(const Node& n, const MacOSFile* macos,
                         std::uint8_t out[ad::kFinderInfoSize]) {
    std::memset(out, 0, ad::kFinderInfoSize);
    ad::AfpInfo afp;
    if (!n.is_link() && read_afpinfo(n, &afp)) {
        std::memcpy(out, afp.finderInfo.data(), afp.finderInfo.size());
        return true;
    }
    if (macos != nullptr) return macos_finder_info(*macos, out);
    return macos_finder_info(n, out);
}

meta::Record fresh_record(const Node& n, const MacOSFile* macos, bool mayAppleDouble) {
    meta::Record r = meta::fresh();
    // What Netatalk 2 kept of it (Finder information, comment, dates), over
    // which any other layout's Finder information goes.
    meta::Record old;
    if (mayAppleDouble && appledir::record_of(n, &old)) {
        for (const meta::Entry& e : old.entries) {
            meta::Entry& to = r.need(e.id, e.data.size());
            to.data.replace(0, e.data.size(), e.data);
        }
    }
    std::uint8_t disk[ad::kFinderInfoSize];
    if (foreign_finder_info(n, macos, disk)) {
        meta::Entry& e = r.need(meta::kFinderInfoId, ad::kFinderInfoSize);
        std::memcpy(e.data.data(), disk, sizeof disk);
    }
    return r;
}

}  // namespace

bool foreign_finder_info(const Node& n, std::uint8_t out[ad::kFinderInfoSize]) {
    return foreign_finder_info(n, nullptr, out);
}

bool macos_finder_info(const Node& n, std::uint8_t out[ad::kFinderInfoSize]) {
    std::memset(out, 0, ad::kFinderInfoSize);
    MacFile m;
    if (!open_macos(n, &m)) return false;
    if (read_exact(m.side.fd.get(), out, ad::kFinderInfoSize, m.finder.offset)) return true;
    std::memset(out, 0, ad::kFinderInfoSize);
    return false;
}

meta::Record fresh_record(const Node& n) {
    return fresh_record(n, nullptr, true);
}

meta::Record fresh_record(const Node& n, const MacOSFile& macos, bool mayAppleDouble) {
    return fresh_record(n, &macos, mayAppleDouble);
}

OSErr mac_attributes(const Node& n, ad::AttrBlock* out) {
    MacOSFile m;
    read_macos(n, &m);
    return mac_attributes(m, out);
}

}  // namespace vantrel::fm::layouts

using namespace vantrel;

OSErr VantrelFSGetMacAttributes(const FSRef* ref, VantrelMacAttributeProc visit, void* context) {
    if (ref == nullptr || visit == nullptr) return paramErr;
    fm::Node n;
    if (OSErr e = fm::resolve(ref, &n)) return e;
    if (OSErr e = fault::check("VantrelFSGetMacAttributes", n.name)) return e;
    fm::ad::AttrBlock block;
    if (OSErr e = fm::layouts::mac_attributes(n, &block)) return e;
    for (const fm::ad::Attr& a : block.attrs)
        if (visit(a.name.c_str(), a.value.data(), a.value.size(), context)) break;
    return noErr;
}

OSErr VantrelFSGetMacLayout(const FSRef* ref, VantrelMacLayout* layout) {
    if (ref == nullptr || layout == nullptr) return paramErr;
    fm::Node n;
    if (OSErr e = fm::resolve(ref, &n)) return e;
    if (OSErr e = fault::check("VantrelFSGetMacLayout", n.name)) return e;
    *layout = VantrelMacLayout(fm::layouts::layout_of(n));
    return noErr;
}
