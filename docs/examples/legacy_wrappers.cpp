// The parameter-block wrappers: file IDs, the default directory, directory
// access, ID mapping, copying and moving by reference.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "vantrel/FSUtilities.h"

static FSRef ref_of(const std::string& path) {
    FSRef ref{};
    FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &ref, nullptr);
    return ref;
}

int main() {
    char tmpl[] = "/tmp/vantrel-example-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    std::system(("mkdir " + dir + "/inbox " + dir + "/archive").c_str());
    std::ofstream(dir + "/inbox/letter") << "Dear reader";
    FSRef letter = ref_of(dir + "/inbox/letter"), archive = ref_of(dir + "/archive");
    FSVolumeRefNum volume = 0;
    FSGetVRefNum(&letter, &volume);

    // A file ID follows the file through moves and renames.
    SInt32 id = 0;
    OSErr err = FSCreateFileIDRef(&letter, &id);
    const UniChar kept[] = {'k', 'e', 'p', 't'};
    if (err == noErr) err = FSMoveRename(&letter, &archive, 4, kept, kTextEncodingUnknown, nullptr);
    FSRef found;
    if (err == noErr) err = FSResolveFileIDRef(volume, id, &found);
    char where[1024] = "";
    if (err == noErr)
        err = static_cast<OSErr>(
            FSRefMakePath(&found, reinterpret_cast<UInt8*>(where), sizeof where));

    // A copy made by the file system, under a new name.
    const UniChar copyName[] = {'c', 'o', 'p', 'y'};
    FSRef copy;
    if (err == noErr) err = FSCopyFile(&found, &archive, 4, copyName, kTextEncodingUnknown, &copy);

    // Work in another directory for a while, then come back.
    FSRef previous;
    if (err == noErr) err = FSSetDefault(&archive, &previous);
    const bool inArchive = access("copy", F_OK) == 0;
    if (err == noErr) err = FSRestoreDefault(&previous);

    // Owner, group and rights of a shared folder; owner's ID as a name.
    SInt32 owner = 0, group = 0, rights = 0;
    if (err == noErr)
        err = FSSetDirAccess(&archive, static_cast<SInt32>(geteuid()),
                             static_cast<SInt32>(getegid()), 0x030307);
    if (err == noErr) err = FSGetDirAccess(&archive, &owner, &group, &rights);
    Str31 name = {0};
    if (err == noErr) err = FSMapID(volume, owner, kOwnerID2Name, name);

    std::printf(
        "err %d; ID %d now at %s; copy seen from the default directory: %s; rights %08X; owner "
        "%.*s\n",
        err, id, where, inArchive ? "yes" : "no", static_cast<unsigned>(rights), name[0], name + 1);
    std::system(("rm -rf " + dir).c_str());
    return err == noErr && std::string(where).ends_with("/archive/kept") && inArchive &&
                   (rights & 0x00070707) == 0x030307
               ? 0
               : 1;
}
