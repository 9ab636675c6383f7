// File IDs in tests: the ID of a file, and the path an ID leads to, each
// giving a value to compare instead of failing the test, so that a child in
// a private mount namespace can use them and report what it found.
//
//   const SInt32 id = vtest::file_id_of(dir / "a");         // 0 on failure
//   EXPECT_EQ(vtest::path_of_id(vref, id), (dir / "a").string());  // or "error -43"
#pragma once

#include <filesystem>
#include <string>

#include "FSTestSupport.h"
#include "vantrel/Files.h"

namespace vtest {

// The file ID of the file at `p` (PBCreateFileIDRefSync; made when it has
// none), or 0 when any call fails; `*err`, when given, is the first
// failing call's code, or what PBCreateFileIDRefSync gave (noErr, or
// fidExists when the file had its ID).
inline SInt32 file_id_of(const fs::path& p, OSErr* err = nullptr) {
    OSErr ignored = noErr;
    OSErr& e = err != nullptr ? *err : ignored;
    FSRef r{};
    FSSpec s{};
    if ((e = FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &r, nullptr)) != noErr ||
        (e = FSGetCatalogInfo(&r, kFSCatInfoNone, nullptr, nullptr, &s, nullptr)) != noErr)
        return 0;
    HParamBlockRec pb{};
    pb.fidParam.ioNamePtr = s.name;
    pb.fidParam.ioVRefNum = s.vRefNum;
    pb.fidParam.ioSrcDirID = s.parID;
    e = PBCreateFileIDRefSync(&pb);
    return e == noErr || e == fidExists ? pb.fidParam.ioFileID : 0;
}

// path_of_file_id's path, or "error N" with the code of the call that failed.
inline std::string path_of_id(FSVolumeRefNum vref, SInt32 id) {
    OSErr e = noErr;
    std::string path = path_of_file_id(vref, id, &e);
    return e == noErr ? path : "error " + std::to_string(e);
}

}  // namespace vtest
