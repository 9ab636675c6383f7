// Mac metadata in other programs' layouts. See cat_layouts.h.
#include "fm/cat_layouts.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/fork_sidecar.h"
#include "vantrel/Sidecars.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSGetMacAttributes");

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
    return true;
}

}  // namespace

bool foreign_finder_info(const Node& n, std::uint8_t out[ad::kFinderInfoSize]) {
    std::memset(out, 0, ad::kFinderInfoSize);
    MacFile m;
    if (!open_macos(n, &m)) return false;
    if (read_exact(m.side.fd.get(), out, ad::kFinderInfoSize, m.finder.offset)) return true;
    std::memset(out, 0, ad::kFinderInfoSize);
    return false;
}

meta::Record fresh_record(const Node& n) {
    meta::Record r = meta::fresh();
    std::uint8_t disk[ad::kFinderInfoSize];
    if (foreign_finder_info(n, disk)) {
        meta::Entry& e = r.need(meta::kFinderInfoId, ad::kFinderInfoSize);
        std::memcpy(e.data.data(), disk, sizeof disk);
    }
    return r;
}

OSErr mac_attributes(const Node& n, ad::AttrBlock* out) {
    *out = ad::AttrBlock{};
    MacFile m;
    if (!open_macos(n, &m)) return noErr;
    const std::uint64_t end = std::uint64_t(m.finder.offset) + m.finder.extent;
    if (end > kMaxAttrBytes) return ioErr;
    std::string bytes(std::size_t(end), '\0');
    if (!read_exact(m.side.fd.get(), bytes.data(), bytes.size(), 0))
        return from_errno(errno, Op::Read);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    ad::AttrBlock block;
    switch (ad::decode_attrs({p, bytes.size()}, m.finder, &block)) {
        case ad::Error::None:
            *out = std::move(block);
            return noErr;
        case ad::Error::NoBlock:
            return noErr;
        default:
            return ioErr;
    }
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
