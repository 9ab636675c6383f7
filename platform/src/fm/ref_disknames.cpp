// VantrelFSRefGetDiskName: the bytes of the entry that names an object, for
// callers that print paths (the listing form is in iter_catalog.cpp); and
// VantrelFSNormalizeDiskName, a disk name in a normal form, for callers that
// rename to it (VantrelFSRenameExact, obj_move.cpp).
#include <algorithm>
#include <cstring>
#include <string>

#include "fm/ref_node.h"
#include "fm/vol_table.h"
#include "text/codec.h"
#include "vantrel/DiskNames.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("VantrelFSRefGetDiskName");

using namespace vantrel;
using namespace vantrel::fm;

OSErr VantrelFSRefGetDiskName(const FSRef* ref, UInt8* name, ByteCount capacity,
                              ByteCount* actualLength) {
    if (ref == nullptr || actualLength == nullptr || (name == nullptr && capacity != 0))
        return paramErr;
    Node n;
    if (OSErr e = resolve(ref, &n)) return e;
    if (OSErr e = fault::check("VantrelFSRefGetDiskName", n.name)) return e;
    std::string disk = n.name;
    if (n.root) {
        Volume v;
        if (OSErr e = volume_by_ref(n.vref, &v)) return e;
        const auto slash = v.mountPoint.rfind('/');
        disk = slash == std::string::npos ? v.mountPoint : v.mountPoint.substr(slash + 1);
    }
    if (disk.size() > capacity) {
        *actualLength = static_cast<ByteCount>(disk.size());
        return errFSNameTooLong;
    }
    // Counted bytes, as the reference's own name: no NUL is added.
    if (name != nullptr) std::copy(disk.begin(), disk.end(), name);
    *actualLength = static_cast<ByteCount>(disk.size());
    return noErr;
}

OSErr VantrelFSNormalizeDiskName(const VantrelDiskName* name, VantrelNormalForm form,
                                 VantrelDiskName* out) {
    if (name == nullptr || out == nullptr) return paramErr;
    if (form != kVantrelNormalFormComposed && form != kVantrelNormalFormDecomposed) return paramErr;
    const std::string_view disk(reinterpret_cast<const char*>(name->bytes), name->length);
    // Bytes that are not UTF-8 have no normal form: they are a name of their
    // own, which only its owner can say how to spell.
    std::u16string u;
    if (disk.empty() || vantrel::text::utf8_to_utf16(disk, &u) != noErr) return bdNamErr;
    std::u16string normal;
    if (vantrel::text::normalize(reinterpret_cast<const UniChar*>(u.data()), u.size(),
                                 form == kVantrelNormalFormComposed
                                     ? vantrel::text::Normal::HFSComposed
                                     : vantrel::text::Normal::HFSDecomposed,
                                 &normal) != noErr)
        return bdNamErr;
    std::string bytes;
    if (vantrel::text::utf16_to_utf8(reinterpret_cast<const UniChar*>(normal.data()), normal.size(),
                                     &bytes) != noErr)
        return bdNamErr;
    if (bytes.size() > sizeof out->bytes) return errFSNameTooLong;
    out->length = static_cast<UInt8>(bytes.size());
    std::memcpy(out->bytes, bytes.data(), bytes.size());
    return noErr;
}
