// Finder flags, type and creator, and the date bump that announces them.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "vantrel/FSUtilities.h"

static int announcements = 0;
static void changed(FNMessage, OptionBits, void*, FNSubscriptionRef) {
    ++announcements;
}

int main() {
    char tmpl[] = "/tmp/vantrel-example-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string path = std::string(tmpl) + "/report.txt";
    std::ofstream(path) << "draft";

    FSRef folder, file, copy;
    FSPathMakeRef(reinterpret_cast<const UInt8*>(tmpl), &folder, nullptr);
    FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &file, nullptr);
    FNSubscriptionRef sub = nullptr;
    FNSubscribe(&folder, changed, nullptr, 0, &sub);  // hear about changes in the folder

    // 'TEXT'/'ttxt', stationery, invisible: each change bumps the folder's date.
    OSErr err = FSChangeCreatorType(&file, 0x74747874, 0x54455854);
    if (err == noErr) err = FSSetIsStationery(&file);
    if (err == noErr) err = FSSetInvisible(&file);
    if (err == noErr) err = FSClearInvisible(&file);

    // Carry everything settable to a second file, lock excepted.
    const std::string other = std::string(tmpl) + "/copy.txt";
    std::ofstream(other) << "draft";
    FSPathMakeRef(reinterpret_cast<const UInt8*>(other.c_str()), &copy, nullptr);
    if (err == noErr) err = FSCopyFileMgrAttributes(&file, &copy, false);

    FinderInfo info{};
    if (err == noErr) err = FSGetFinderInfo(&copy, &info, nullptr, nullptr);
    std::printf("err %d; copy's type %08X creator %08X flags %04X; %d announcements\n", err,
                info.file.fileType, info.file.fileCreator, info.file.finderFlags, announcements);
    FNUnsubscribe(sub);
    std::system((std::string("rm -rf ") + tmpl).c_str());
    return err == noErr && info.file.fileType == 0x54455854 &&
                   info.file.finderFlags == kIsStationery && announcements == 4
               ? 0
               : 1;
}
