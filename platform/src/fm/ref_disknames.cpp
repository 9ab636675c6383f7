// VantrelFSRefGetDiskName: the bytes of the entry that names an object, for
// callers that print paths (the listing form is in iter_catalog.cpp).
#include <algorithm>
#include <string>

#include "fm/ref_node.h"
#include "fm/vol_table.h"
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
