// PBHMapIDSync / PBHMapNameSync: user and group IDs <-> names, from the
// system's user and group databases (passwd and group through NSS, so LDAP or
// sssd users map as well as local ones).
//
// What they promise is on their declarations in vantrel/Files.h. Lookups
// use the reentrant getpw*_r / getgr*_r calls, growing their buffer while
// they say ERANGE, so any thread may map at any time.
#include <errno.h>
#include <grp.h>
#include <pwd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fm/err_errno.h"
#include "fm/ref_node.h"
#include "fm/vol_table.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBHMapIDSync", "PBHMapNameSync");

namespace {

constexpr std::size_t kMaxMappedName = 31;

// Runs a reentrant NSS lookup, growing its scratch buffer while it reports
// ERANGE. Returns 0 when found, ENOENT when the database has no such entry,
// another errno on failure.
template <class Entry, class Lookup>
int nss_lookup(Lookup lookup, Entry& entry, std::vector<char>& buf) {
    buf.resize(1024);
    for (;;) {
        Entry* result = nullptr;
        int rc = lookup(&entry, buf.data(), buf.size(), &result);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0) return rc;
        return result != nullptr ? 0 : ENOENT;
    }
}

OSErr lookup_error(int rc) {
    return vantrel::fm::from_errno(rc, vantrel::fm::Op::MapID);
}

// Records the result in the block, as the asynchronous forms would, and returns it.
OSErr finish(ObjParam& p, OSErr err) {
    p.ioResult = err;
    return err;
}

// The databases are the system's, the same for every volume; a volume is still
// checked so that a stale reference number is reported, not ignored.
OSErr check_volume(FSVolumeRefNum vref) {
    if (vref == 0) return noErr;  // the default volume
    vantrel::fm::Volume v;
    return vantrel::fm::volume_by_ref(vref, &v);
}

}  // namespace

extern "C" OSErr PBHMapIDSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    ObjParam& p = pb->objParam;
    if (OSErr e = vantrel::fault::check("PBHMapIDSync", std::to_string(p.ioObjID)))
        return finish(p, e);
    if (p.ioObjNamePtr == nullptr) return finish(p, paramErr);
    if (OSErr err = check_volume(p.ioVRefNum)) return finish(p, err);

    std::vector<char> buf;
    std::string name;
    const auto id = static_cast<UInt32>(p.ioObjID);
    if (p.ioObjType == kOwnerID2Name) {
        passwd pw{};
        int rc = nss_lookup([id](passwd* e, char* b, std::size_t n,
                                 passwd** r) { return ::getpwuid_r(id, e, b, n, r); },
                            pw, buf);
        if (rc != 0) return finish(p, lookup_error(rc));
        name = pw.pw_name;
    } else if (p.ioObjType == kGroupID2Name) {
        group gr{};
        int rc = nss_lookup([id](group* e, char* b, std::size_t n,
                                 group** r) { return ::getgrgid_r(id, e, b, n, r); },
                            gr, buf);
        if (rc != 0) return finish(p, lookup_error(rc));
        name = gr.gr_name;
    } else {
        return finish(p, paramErr);
    }
    if (name.size() > kMaxMappedName) return finish(p, errFSNameTooLong);
    p.ioObjNamePtr[0] = static_cast<unsigned char>(name.size());
    std::memcpy(p.ioObjNamePtr + 1, name.data(), name.size());
    return finish(p, noErr);
}

extern "C" OSErr PBHMapNameSync(HParmBlkPtr pb) {
    if (pb == nullptr) return paramErr;
    ObjParam& p = pb->objParam;
    if (p.ioObjNamePtr == nullptr) return finish(p, paramErr);
    std::string name(reinterpret_cast<const char*>(p.ioObjNamePtr + 1), p.ioObjNamePtr[0]);
    if (OSErr e = vantrel::fault::check("PBHMapNameSync", name)) return finish(p, e);
    // An empty name or one with an embedded NUL names nobody; without this check
    // the C lookup would see a shorter name and answer for a different user.
    if (OSErr err = check_volume(p.ioVRefNum)) return finish(p, err);
    if (name.empty() || name.find('\0') != std::string::npos) return finish(p, fnfErr);

    std::vector<char> buf;
    if (p.ioObjType == kOwnerName2ID) {
        passwd pw{};
        int rc = nss_lookup([&name](passwd* e, char* b, std::size_t n,
                                    passwd** r) { return ::getpwnam_r(name.c_str(), e, b, n, r); },
                            pw, buf);
        if (rc != 0) return finish(p, lookup_error(rc));
        p.ioObjID = static_cast<SInt32>(pw.pw_uid);
    } else if (p.ioObjType == kGroupName2ID) {
        group gr{};
        int rc = nss_lookup([&name](group* e, char* b, std::size_t n,
                                    group** r) { return ::getgrnam_r(name.c_str(), e, b, n, r); },
                            gr, buf);
        if (rc != 0) return finish(p, lookup_error(rc));
        p.ioObjID = static_cast<SInt32>(gr.gr_gid);
    } else {
        return finish(p, paramErr);
    }
    return finish(p, noErr);
}
