// Drives the AppleDouble codec with arbitrary bytes, as any program may
// leave any bytes in a "._NAME" file or a metadata attribute. The bytes are
// read as a sidecar, as Netatalk 2's ".AppleDouble" file, as a metadata
// record, as a macOS ATTR block and as an AfpInfo stream; whatever a decoder accepts must describe
// only bytes inside the input and encode back to what it read:
// - a header: its encoding is the input's first bytes, its entries lie
//   inside the file past the entry table and share no byte;
// - a record: decode(encode(r)) is r with the standard entries filled in
//   (a date cut short reads as unknown);
// - an ATTR block: decode(encode(b)) == b;
// - an AfpInfo stream: encode(decode(x)) == x.
// Any breach aborts; ASan/UBSan report reads outside the input.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fm/cat_appledouble.h"

namespace ad = vantrel::fm::ad;
namespace meta = vantrel::fm::meta;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "appledouble codec: %s\n", what);
    std::abort();
}

std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void check_header(std::span<const std::uint8_t> in, std::uint64_t fileSize, const ad::Format& f,
                  ad::Header* out) {
    ad::Header h;
    if (ad::decode(in, fileSize, f, &h) != ad::Error::None) return;
    const std::string again = ad::encode(h);
    if (again.size() > in.size() || std::memcmp(again.data(), in.data(), again.size()) != 0)
        fail("an accepted header does not encode back to its bytes");
    std::vector<const ad::Descriptor*> used;
    for (const ad::Descriptor& d : h.entries) {
        if (d.offset < h.data_start()) fail("an entry inside the header");
        if (d.offset + d.extent > fileSize) fail("an entry outside the file");
        if (!d.toEnd && d.extent != d.length) fail("an extent that is not its length");
        if (d.extent > 0) used.push_back(&d);
    }
    std::sort(used.begin(), used.end(), [](auto* a, auto* b) { return a->offset < b->offset; });
    for (std::size_t i = 1; i < used.size(); ++i)
        if (used[i - 1]->offset + used[i - 1]->extent > used[i]->offset)
            fail("two entries share bytes");
    for (const ad::Rule& r : f.rules)
        if (r.required && h.find(r.id) == nullptr) fail("a required entry missing");
    *out = h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);

    // As a sidecar whose bytes are the whole file, and as the head of a
    // file larger than 4 GiB (the size is only a number to the codec).
    ad::Header side;
    check_header(in, size, ad::kSidecar, &side);
    ad::Header big;
    check_header(in, std::uint64_t{1} << 33, ad::kSidecar, &big);

    // As Netatalk 2's ".AppleDouble" file, whose fork is as long as its
    // header says (check_header: an extent that is not its length fails).
    ad::Header folder;
    check_header(in, size, ad::kAppleDoubleFolder, &folder);

    // As a metadata record.
    ad::Header recordHeader;
    check_header(in, size, ad::kRecord, &recordHeader);
    meta::Record r;
    if (meta::decode(data, size, &r)) {
        const std::string bytes = meta::encode(r);
        meta::Record back;
        if (!meta::decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &back))
            fail("an encoded record does not decode");
        for (const ad::Rule& s : ad::kRecord.rules) {
            const meta::Entry* had = r.find(s.id);
            const meta::Entry* now = back.find(s.id);
            if (now == nullptr) fail("a standard entry missing after encoding");
            if (had == nullptr) continue;
            // What a date entry cut inside a date held is no date: it reads
            // as unknown. Everything else is kept.
            const std::size_t kept = s.id == ad::kFileDatesId && had->data.size() < 16
                                         ? had->data.size() / 4 * 4
                                         : had->data.size();
            if (now->data.compare(0, kept, had->data, 0, kept) != 0)
                fail("a standard entry changed by encoding");
        }
        meta::Record extra = back;
        meta::decode_extra(meta::encode_extra(r), &extra);
        for (const meta::Entry& e : r.entries) {
            const meta::Entry* now = extra.find(e.id);
            if (now == nullptr) fail("an entry lost between the record and its extra");
            if (now->data.size() < e.data.size()) fail("an entry cut short");
        }
    }

    // As a macOS "._" file with an ATTR block in its Finder information.
    if (const ad::Descriptor* fi = side.find(ad::kFinderInfoId)) {
        ad::AttrBlock b;
        if (ad::decode_attrs(in, *fi, &b) == ad::Error::None) {
            for (const ad::Attr& a : b.attrs)
                if (a.name.empty() || a.name.size() > 254 || a.name.find('\0') != std::string::npos)
                    fail("an attribute name that is not one");
            const std::uint8_t* finder = fi->extent >= 32 ? data + fi->offset : nullptr;
            const std::string bytes = ad::encode_macos(finder, b, 0);
            if (!bytes.empty()) {
                ad::Header h;
                if (ad::decode(bytes_of(bytes), bytes.size(), ad::kSidecar, &h) != ad::Error::None)
                    fail("an encoded macOS file does not decode");
                ad::AttrBlock back;
                if (ad::decode_attrs(bytes_of(bytes), *h.find(ad::kFinderInfoId), &back) !=
                        ad::Error::None ||
                    !(back == b))
                    fail("an ATTR block does not decode back to itself");
            }
        }
    }

    // As the value of Samba's AfpInfo attribute.
    ad::AfpInfo afp;
    if (ad::decode_afpinfo(in, &afp) == ad::Error::None) {
        const std::string again = ad::encode_afpinfo(afp);
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0)
            fail("an AfpInfo stream does not encode back to its bytes");
    }
    return 0;
}
