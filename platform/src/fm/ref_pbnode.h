// The object named by a parameter block's volume, directory ID and Pascal
// name, as a resolved Node (hidden; shared by the parameter-block calls).
#pragma once

#include "fm/ref_node.h"

namespace vantrel::fm {

// A null or empty name names the directory itself.
inline OSErr node_from_spec(FSVolumeRefNum vref, SInt32 dirID, ConstStringPtr name, Node* out) {
    FSRef ref;
    FSRefParam pb{};
    pb.ioVRefNum = vref;
    pb.ioDirID = dirID;
    pb.ioNamePtr = name;
    pb.newRef = &ref;
    if (OSErr err = PBMakeFSRefSync(&pb)) return err;
    return resolve(&ref, out);
}

}  // namespace vantrel::fm
