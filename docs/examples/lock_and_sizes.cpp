// Lock state and fork sizes: can this file be changed, and how big is it?
#include <sys/xattr.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "vantrel/FSUtilities.h"

int main() {
    char tmpl[] = "/tmp/vantrel-example-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string path = std::string(tmpl) + "/notes.txt";
    std::ofstream(path) << "twelve bytes";
    const char rsrc[] = "icon";
    setxattr(path.c_str(), "user.org.netatalk.ResourceFork", rsrc, 4, 0);  // a resource fork

    FSRef file;
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &file, nullptr) != noErr)
        return 1;

    OSErr lock = FSCheckLock(&file);  // noErr, fLckdErr, wPrErr or vLckdErr
    UInt64 data = 0, resource = 0;
    OSErr sizes = FSGetForkSizes(&file, &data, &resource);
    UInt64 logical = 0, physical = 0;
    ItemCount forks = 0;
    OSErr totals = FSGetTotalForkSizes(&file, &logical, &physical, &forks);

    std::printf("lock %d; data %llu, resource %llu; %u forks, %llu bytes\n", lock,
                static_cast<unsigned long long>(data), static_cast<unsigned long long>(resource),
                forks, static_cast<unsigned long long>(logical));
    std::system((std::string("rm -rf ") + tmpl).c_str());
    return lock == noErr && sizes == noErr && totals == noErr && data == 12 && resource == 4 &&
                   forks == 2 && logical == 16
               ? 0
               : 1;
}
