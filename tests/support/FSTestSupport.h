// File Manager helpers shared by every test folder that makes references:
// a reference from a path and back, FSSpecs, and names in UTF-16. Each one
// fails the test when the call it makes fails, and says with which code.
//
//   FSRef ref = vtest::ref_of(dir / "f");            // fails the test on error
//   EXPECT_EQ(vtest::path_of(ref), (dir / "f").string());
//   const std::u16string name = vtest::u16("café");
//   FSRenameUnicode(&ref, name.size(), vtest::uc(name), kTextEncodingUnknown, &out);
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "FileFlags.h"
#include "OSErrTesting.h"
#include "TempDir.h"
#include "vantrel/Files.h"

namespace vtest {

namespace fs = std::filesystem;

// The reference of the object at `p` (a link there is the object named).
inline FSRef ref_of(const fs::path& p) {
    FSRef r{};
    EXPECT_OSERR(FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &r, nullptr), noErr)
        << " for " << p;
    return r;
}

// The path of the object `r` names, or "<no object: fnfErr (-43)>".
inline std::string path_of(const FSRef& r) {
    UInt8 buf[4096];
    const OSStatus e = FSRefMakePath(&r, buf, sizeof buf);
    if (e != noErr) return "<no object: " + oserr_text(e) + ">";
    return reinterpret_cast<const char*>(buf);
}

// Volume, parent directory ID and Pascal name of the object at `p`.
inline FSSpec spec_of(const fs::path& p) {
    FSRef r = ref_of(p);
    FSSpec s{};
    EXPECT_OSERR(FSGetCatalogInfo(&r, kFSCatInfoNone, nullptr, nullptr, &s, nullptr), noErr)
        << " for " << p;
    return s;
}

// The node ID of the object at `p` (for a directory, its directory ID).
inline SInt32 dir_id_of(const fs::path& p) {
    FSRef r = ref_of(p);
    FSCatalogInfo info{};
    EXPECT_OSERR(FSGetCatalogInfo(&r, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), noErr)
        << " for " << p;
    return static_cast<SInt32>(info.nodeID);
}

// PBHCopyFileSync of the file at `src` into the folder `destDir`, under
// `newName` or, when it is null, under the source's own name.
inline OSErr copy_file_into(const fs::path& src, const fs::path& destDir, const char* newName) {
    FSSpec s = spec_of(src);
    FSSpec d = spec_of(destDir);
    Str31 name = {0};
    HParamBlockRec pb{};
    pb.copyParam.ioVRefNum = s.vRefNum;
    pb.copyParam.ioDirID = s.parID;
    pb.copyParam.ioNamePtr = s.name;
    pb.copyParam.ioDstVRefNum = d.vRefNum;
    pb.copyParam.ioNewDirID = dir_id_of(destDir);
    if (newName != nullptr) {
        name[0] = static_cast<unsigned char>(std::strlen(newName));
        std::memcpy(name + 1, newName, name[0]);
        pb.copyParam.ioCopyName = name;
    }
    return PBHCopyFileSync(&pb);
}

// The path of the file with ID `id` on `vref` (PBResolveFileIDRefSync, then
// PBMakeFSRefSync and FSRefMakePath), or "" with the first call's error in
// `*err`.
inline std::string path_of_file_id(FSVolumeRefNum vref, SInt32 id, OSErr* err) {
    Str255 name = {0};
    HParamBlockRec pb{};
    pb.fidParam.ioNamePtr = name;
    pb.fidParam.ioVRefNum = vref;
    pb.fidParam.ioFileID = id;
    *err = PBResolveFileIDRefSync(&pb);
    if (*err != noErr) return {};
    FSRef ref;
    FSRefParam mk{};
    mk.ioVRefNum = vref;
    mk.ioDirID = pb.fidParam.ioSrcDirID;
    mk.ioNamePtr = name;
    mk.newRef = &ref;
    if ((*err = PBMakeFSRefSync(&mk)) != noErr) return {};
    char path[4096];
    if ((*err = static_cast<OSErr>(
             FSRefMakePath(&ref, reinterpret_cast<UInt8*>(path), sizeof path))) != noErr)
        return {};
    return path;
}

// Finder information as FSCatalogInfo holds it (host order).
inline FileInfo file_info(OSType type, OSType creator, UInt16 flags = 0) {
    FileInfo fi{};
    fi.fileType = type;
    fi.fileCreator = creator;
    fi.finderFlags = flags;
    return fi;
}

// Puts that Finder information into `info`, for kFSCatInfoFinderInfo.
inline void set_file_info(FSCatalogInfo* info, OSType type, OSType creator, UInt16 flags = 0) {
    const FileInfo fi = file_info(type, creator, flags);
    std::memcpy(info->finderInfo, &fi, sizeof fi);
}

// The resource fork's name, as FSOpenFork takes it.
inline HFSUniStr255 resource_fork_name() {
    HFSUniStr255 n{};
    EXPECT_OSERR(FSGetResourceForkName(&n), noErr);
    return n;
}

// Writes `bytes` at the start of the resource fork of `ref` through the
// layer (a sidecar is made as needed): the first failure of open, write, close.
inline OSErr write_resource_fork(const FSRef& ref, const std::string& bytes) {
    const HFSUniStr255 name = resource_fork_name();
    FSIORefNum fork = 0;
    OSErr e = FSOpenFork(&ref, name.length, name.unicode, fsRdWrPerm, &fork);
    if (e != noErr) return e;
    ByteCount done = 0;
    e = FSWriteFork(fork, fsFromStart, 0, bytes.size(), bytes.data(), &done);
    const OSErr closed = FSCloseFork(fork);
    return e != noErr ? e : closed;
}

// The whole resource fork of `ref` through the layer, into `bytes`.
inline OSErr read_resource_fork(const FSRef& ref, std::string* bytes) {
    const HFSUniStr255 name = resource_fork_name();
    FSIORefNum fork = 0;
    OSErr e = FSOpenFork(&ref, name.length, name.unicode, fsRdPerm, &fork);
    if (e != noErr) return e;
    SInt64 size = 0;
    e = FSGetForkSize(fork, &size);
    bytes->assign(e == noErr ? static_cast<std::size_t>(size) : 0, '\0');
    ByteCount done = 0;
    if (e == noErr && size > 0)
        e = FSReadFork(fork, fsFromStart, 0, bytes->size(), bytes->data(), &done);
    const OSErr closed = FSCloseFork(fork);
    return e != noErr ? e : closed;
}

// UTF-8 -> UTF-16. Malformed UTF-8 fails the test (and is cut where it starts).
inline std::u16string u16(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        int extra = -1;
        char32_t cp = 0;
        if (b < 0x80) {
            extra = 0;
            cp = b;
        } else if ((b >> 5) == 6) {
            extra = 1;
            cp = b & 0x1F;
        } else if ((b >> 4) == 14) {
            extra = 2;
            cp = b & 0x0F;
        } else if ((b >> 3) == 30) {
            extra = 3;
            cp = b & 0x07;
        }
        bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < utf8.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            ok = (c >> 6) == 2;
            cp = (cp << 6) | (c & 0x3F);
        }
        constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};  // shortest forms only
        ok = ok && cp >= kLeast[extra];
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            ADD_FAILURE() << "u16: malformed UTF-8 at byte " << i;
            return out;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

inline const UniChar* uc(const std::u16string& s) {
    return reinterpret_cast<const UniChar*>(s.data());
}

// UTF-16 -> UTF-8; an unpaired surrogate becomes U+FFFD.
inline std::string utf8(const UniChar* s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}
inline std::string utf8(const HFSUniStr255& n) {
    return utf8(n.unicode, n.length);
}

}  // namespace vtest
