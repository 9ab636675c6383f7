// Sets a file's type, creator and a Finder flag through the File Manager,
// then reads them back two ways: the utilities' FSGetFinderInfo and the
// File Manager's own FSGetCatalogInfo. Prints "TYPE CREATOR FLAGS".
#include <cstdio>
#include <cstring>

#include "vantrel/FSUtilities.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: finder_info FILE\n");
        return 2;
    }
    FSRef file;
    OSErr err = FSPathMakeRef(reinterpret_cast<const UInt8*>(argv[1]), &file, nullptr);
    if (err == noErr) err = FSChangeCreatorType(&file, 0x74747874, 0x54455854);  // 'ttxt', 'TEXT'
    if (err == noErr) err = FSSetIsStationery(&file);
    FinderInfo info{};
    if (err == noErr) err = FSGetFinderInfo(&file, &info, nullptr, nullptr);
    FSCatalogInfo cat{};
    if (err == noErr)
        err = FSGetCatalogInfo(&file, kFSCatInfoFinderInfo, &cat, nullptr, nullptr, nullptr);
    if (err != noErr) {
        std::fprintf(stderr, "finder_info: error %d\n", err);
        return 1;
    }
    FileInfo fromCatalog;
    std::memcpy(&fromCatalog, cat.finderInfo, sizeof fromCatalog);
    if (fromCatalog.fileType != info.file.fileType ||
        fromCatalog.fileCreator != info.file.fileCreator) {
        std::fprintf(stderr, "finder_info: the two reads disagree\n");
        return 1;
    }
    auto code = [](UInt32 c) {
        std::printf("%c%c%c%c ", char(c >> 24), char(c >> 16), char(c >> 8), char(c));
    };
    code(info.file.fileType);
    code(info.file.fileCreator);
    std::printf("%04X\n", info.file.finderFlags);
    return 0;
}
