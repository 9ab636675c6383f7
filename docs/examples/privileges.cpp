// Privileges, permissions and Finder information in one request each.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "vantrel/FSUtilities.h"

int main() {
    char tmpl[] = "/tmp/vantrel-example-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string path = std::string(tmpl) + "/tool";
    std::ofstream(path) << "#!/bin/sh\n";
    FSRef file;
    FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &file, nullptr);

    // Write only the extended half; the Finder info proper stays as it was.
    FinderInfo info{};
    info.file.fileType = 0x4150504C;  // 'APPL'
    ExtendedFinderInfo extended{};
    extended.file.putAwayFolderID = 42;
    OSErr err = FSSetFinderInfo(&file, &info, nullptr);
    if (err == noErr) err = FSSetFinderInfo(&file, nullptr, &extended);

    FinderInfo readInfo{};
    ExtendedFinderInfo readExtended{};
    Boolean isDirectory = true;
    if (err == noErr) err = FSGetFinderInfo(&file, &readInfo, &readExtended, &isDirectory);
    UInt8 privileges = 0;
    FSPermissionInfo permissions{};
    if (err == noErr)
        err = FSGetUserPrivilegesPermissions(&file, &privileges,
                                             reinterpret_cast<UInt32*>(&permissions));

    std::printf("err %d; type %08X, put-away folder %d, directory %d; owner %u mode %o\n", err,
                readInfo.file.fileType, readExtended.file.putAwayFolderID, isDirectory,
                permissions.userID, permissions.mode & 07777);
    std::system((std::string("rm -rf ") + tmpl).c_str());
    return err == noErr && readInfo.file.fileType == 0x4150504C &&
                   readExtended.file.putAwayFolderID == 42 && !isDirectory
               ? 0
               : 1;
}
