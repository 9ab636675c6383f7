// Finder comments through the Desktop Manager's calls. The Mac kept them in
// a volume's desktop database; here each item keeps its own, in the comment
// entry of its metadata record, where Netatalk and Samba look for it. The
// entry is 200 bytes: the comment, then zero bytes (a record another program
// wrote may hold a shorter entry, the comment alone).
//
// A desktop database reference is the volume's reference number: every
// volume has one, and it stays valid as long as the volume is mounted.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "fm/cat_appledir.h"
#include "fm/cat_layouts.h"
#include "fm/cat_metadata.h"
#include "fm/err_errno.h"
#include "fm/ref_names.h"
#include "fm/ref_node.h"
#include "fm/ref_pbnode.h"
#include "fm/vol_table.h"
#include "vantrel/Files.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("PBDTGetPath", "PBDTGetCommentSync", "PBDTSetCommentSync",
                         "PBDTSetCommentSync.keepCorrupt", "PBDTSetCommentSync.setxattr",
                         "PBDTSetCommentSync.restore", "PBDTRemoveCommentSync");

namespace vantrel::fm {
namespace {

// The comment held by a record's entry: its bytes up to the first zero
// byte, at most 200.
std::string comment_of(const meta::Record& r) {
    const meta::Entry* e = r.find(meta::kCommentId);
    if (e == nullptr) return {};
    const std::size_t cap = std::min<std::size_t>(e->data.size(), kDTCommentMaxLength);
    const std::size_t end = e->data.find('\0');
    return e->data.substr(0, std::min(cap, end));
}

// The item a comment call names.
OSErr comment_node(const DTPBRec* pb, Node* out) {
    Volume v;
    if (pb->ioDTRefNum >= 0 || volume_by_ref(pb->ioDTRefNum, &v) != noErr) return rfNumErr;
    return node_from_spec(pb->ioDTRefNum, pb->ioDirID, pb->ioNamePtr, out);
}

std::string detail_of(const DTPBRec* pb) {
    if (pb->ioNamePtr == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(pb->ioNamePtr + 1), pb->ioNamePtr[0]);
}

std::optional<std::string> attr_value(const Node& n, const char* name) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = meta::get_attr(n, name, nullptr, 0);
        if (size < 0) return std::nullopt;
        std::string v(std::size_t(size), '\0');
        const ssize_t got = meta::get_attr(n, name, v.data(), v.size());
        if (got >= 0) {
            v.resize(std::size_t(got));
            return v;
        }
        if (errno != ERANGE) return std::nullopt;
    }
    return std::nullopt;
}

// Replaces the comment of `n` by `text` (empty: none). With `mustHave`,
// afpItemNotFound when there is no comment to replace. All or nothing: a
// write that fails half-way puts the attributes back as they were.
OSErr change_comment(const Node& n, const std::string& text, bool mustHave) {
    // Files and folders only: Linux keeps no user attributes on links,
    // FIFOs, sockets or devices.
    if (!n.is_dir() && !S_ISREG(n.st.stx_mode)) return errFSOperationNotSupported;
    meta::Record rec;
    std::string raw;
    int readErr = 0;
    const meta::ReadResult rr = meta::read(n, &rec, &raw, &readErr);
    // A record that exists but cannot be read is never replaced: that
    // would lose its Finder information and dates.
    if (rr == meta::ReadResult::Unreadable) return from_errno(readErr, Op::Read, &n);
    const bool had = rr == meta::ReadResult::Ok && !comment_of(rec).empty();
    if (mustHave && !had) return afpItemNotFound;
    if (text.empty() && !had) return noErr;  // nothing to remove, nothing written
    if (n.locked()) return fLckdErr;
    if (rr != meta::ReadResult::Ok) rec = layouts::fresh_record(n);
    meta::Entry& e = rec.need(meta::kCommentId, kDTCommentMaxLength);
    e.data.assign(text);
    e.data.resize(kDTCommentMaxLength, '\0');

    const char* attrs[] = {meta::kCorruptAttr, meta::kExtraAttr, meta::kMetadataAttr};
    std::optional<std::string> before[3];
    for (int i = 0; i < 3; ++i) before[i] = attr_value(n, attrs[i]);
    const OSErr err = meta::write(n, rec, rr == meta::ReadResult::Corrupt ? &raw : nullptr,
                                  "PBDTSetCommentSync.keepCorrupt", "PBDTSetCommentSync.setxattr");
    if (err != noErr) {
        for (int i = 2; i >= 0; --i) {
            fault::step("PBDTSetCommentSync.restore", n.name, [&] {
                if (!before[i]) {
                    const int rc = meta::remove_attr(n, attrs[i]);
                    return rc != 0 && errno == ENODATA ? 0 : rc;
                }
                const std::string& value = *before[i];
                return meta::set_attr(n, attrs[i], value.data(), value.size());
            });
        }
    }
    return err;
}

OSErr get_path(DTPBRec* pb) {
    if (OSErr e = fault::check("PBDTGetPath", detail_of(pb))) return e;
    if (pb->ioNamePtr != nullptr && pb->ioNamePtr[0] != 0) {
        // "Name" or "Name:", as a volume's name is given in a path.
        std::size_t len = pb->ioNamePtr[0];
        if (pb->ioNamePtr[len] == ':') --len;
        for (const Volume& v : volumes()) {
            unsigned char shown[sizeof(Str255)];
            name_to_pascal(volume_name(v), fsRtDirID, shown, sizeof shown);
            if (shown[0] == len && std::memcmp(shown + 1, pb->ioNamePtr + 1, len) == 0) {
                pb->ioDTRefNum = v.vref;
                return noErr;
            }
        }
        return nsvErr;
    }
    FSVolumeRefNum vref = pb->ioVRefNum;
    if (vref == 0) {
        Node cwd;
        if (OSErr e = node_from_path(".", &cwd)) return e;
        vref = cwd.vref;
    }
    Volume v;
    if (volume_by_ref(vref, &v) != noErr) return nsvErr;
    pb->ioDTRefNum = v.vref;
    return noErr;
}

OSErr get_comment(DTPBRec* pb) {
    if (OSErr e = fault::check("PBDTGetCommentSync", detail_of(pb))) return e;
    pb->ioDTActCount = 0;
    if (pb->ioDTReqCount < 0 || (pb->ioDTReqCount > 0 && pb->ioDTBuffer == nullptr))
        return paramErr;
    Node n;
    if (OSErr e = comment_node(pb, &n)) return e;
    // Only files and folders have a record, and so a comment.
    if (!n.is_dir() && !S_ISREG(n.st.stx_mode)) return afpItemNotFound;
    meta::Record rec;
    int readErr = 0;
    switch (meta::read(n, &rec, nullptr, &readErr)) {
        case meta::ReadResult::Unreadable:
            return from_errno(readErr, Op::Read, &n);
        case meta::ReadResult::Ok:
            break;
        default:
            // Without a record, the comment Netatalk 2 kept in ".AppleDouble".
            if (!appledir::record_of(n, &rec)) return afpItemNotFound;
    }
    const std::string text = comment_of(rec);
    if (text.empty()) return afpItemNotFound;
    const std::size_t count = std::min<std::size_t>(text.size(), std::size_t(pb->ioDTReqCount));
    if (count > 0) std::memcpy(pb->ioDTBuffer, text.data(), count);
    pb->ioDTActCount = SInt32(count);
    return noErr;
}

OSErr set_comment(DTPBRec* pb) {
    if (OSErr e = fault::check("PBDTSetCommentSync", detail_of(pb))) return e;
    pb->ioDTActCount = 0;
    if (pb->ioDTReqCount < 0 || (pb->ioDTReqCount > 0 && pb->ioDTBuffer == nullptr))
        return paramErr;
    const std::size_t count =
        std::min<std::size_t>(std::size_t(pb->ioDTReqCount), kDTCommentMaxLength);
    const std::string text(reinterpret_cast<const char*>(pb->ioDTBuffer), count);
    if (text.find('\0') != std::string::npos) return paramErr;
    Node n;
    if (OSErr e = comment_node(pb, &n)) return e;
    if (OSErr e = change_comment(n, text, false)) return e;
    pb->ioDTActCount = SInt32(count);
    return noErr;
}

OSErr remove_comment(DTPBRec* pb) {
    if (OSErr e = fault::check("PBDTRemoveCommentSync", detail_of(pb))) return e;
    Node n;
    if (OSErr e = comment_node(pb, &n)) return e;
    if (!n.is_dir() && !S_ISREG(n.st.stx_mode)) return afpItemNotFound;  // none to remove
    return change_comment(n, std::string(), true);
}

// Every call answers in ioResult too, as a parameter-block call does.
OSErr answer(DTPBRec* pb, OSErr (*call)(DTPBRec*)) {
    if (pb == nullptr) return paramErr;
    const OSErr e = call(pb);
    pb->ioResult = e;
    return e;
}

}  // namespace
}  // namespace vantrel::fm

using namespace vantrel::fm;

OSErr PBDTGetPath(DTPBPtr pb) {
    return answer(pb, get_path);
}

OSErr PBDTGetCommentSync(DTPBPtr pb) {
    return answer(pb, get_comment);
}

OSErr PBDTSetCommentSync(DTPBPtr pb) {
    return answer(pb, set_comment);
}

OSErr PBDTRemoveCommentSync(DTPBPtr pb) {
    return answer(pb, remove_comment);
}
