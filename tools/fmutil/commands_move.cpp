// mv, swap, cp, volumes, fileid: moving, exchanging and copying files, and
// the volume-level views.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/BulkDelete.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/Sidecars.h"
#include "vantrel/TextEncoding.h"
#include "vantrel/WholeCopy.h"
#include "walk.h"

namespace fmutil {
namespace {

void print_path_json(Context& ctx, std::string_view key, const std::string& path) {
    JsonWriter j(ctx.out);
    j.begin_object();
    j.name_field(key, path);
    j.end_object();
    j.finish();
}

std::string human_size(UInt64 bytes) {
    static const char* kUnits[] = {"B", "K", "M", "G", "T", "P", "E"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 6) v /= 1024, ++u;
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f%s" : "%.1f%s", v, kUnits[u]);
    return buf;
}

// The new name given on the command line, checked before anything runs.
bool take_new_name(Context& ctx, std::size_t index, std::u16string* name, int* status) {
    if (ctx.args.size() <= index) return true;
    auto u = posix_name_to_unicode(ctx.args[index]);
    if (!u) {
        *status = ctx.usage_error(
            "NEWNAME '" + ctx.args[index] +
            "' must be one file name: not empty, \".\" or \"..\", no \"/\", valid UTF-8");
        return false;
    }
    if (u->size() > 255) {
        *status = ctx.usage_error("NEWNAME is longer than 255 UTF-16 units");
        return false;
    }
    *name = std::move(*u);
    return true;
}

}  // namespace

std::string_view placed_meaning(OSErr e) {
    return e == afpObjectTypeErr ? "the ._ file beside it is not a resource fork and holds the "
                                   "fork's place; it is kept: move it away first"
                                 : std::string_view();
}

// Splits "dir/name" into the directory's path and the name ("." for a bare name).
void split_path(const std::string& path, std::string* dir, std::string* name) {
    // Views, not substrings assigned from a local string: GCC's release
    // build took those for overlapping copies (-Wrestrict).
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const auto slash = p.rfind('/');
    if (slash == std::string_view::npos) {
        dir->assign(1, '.');
        name->assign(p);
    } else {
        dir->assign(p.substr(0, slash == 0 ? 1 : slash));
        name->assign(p.substr(slash + 1));
    }
}

int cmd_swap(Context& ctx) {
    const std::string& a = ctx.args[0];
    const std::string& b = ctx.args[1];
    FSRef ra;
    FSRef rb;
    if (OSErr e = path_ref(a, &ra)) return ctx.fm_error(a, e);
    if (OSErr e = path_ref(b, &rb)) return ctx.fm_error(b, e);
    // Exchanging a file with itself would only churn temporary names.
    if (FSCompareFSRefs(&ra, &rb) == noErr) return ctx.usage_error("both paths name the same file");
    // Only plain files are exchanged: name the one that is not, and say what
    // it is (the exchange would name the first path whichever it was).
    for (const std::string* path : {&a, &b}) {
        ItemKind kind;
        std::string notFile;
        if (OSErr e = item_kind(path == &a ? ra : rb, &kind, &notFile))
            return ctx.fm_error(*path, e);
        if (!notFile.empty()) return ctx.fm_error(*path, notAFileErr, notFile);
    }
    FSRef na;
    FSRef nb;
    if (OSErr e = FSExchangeObjectsCompat(&ra, &rb, &na, &nb)) return ctx.fm_error(a, e);
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.name_field("first", ref_path(na));
        j.name_field("second", ref_path(nb));
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

namespace {

// What made a whole copy fail, from what the system said at the call that
// failed: the attribute the destination could not hold, and the system's
// own words (a full disk and a file without room for one more attribute
// both say ENOSPC; free space measured afterwards tells neither).
std::string copy_meaning(const VantrelFSCopyFailure& why) {
    std::string m;
    if (why.attribute[0] != '\0') {
        m = "its extended attribute ";
        m += why.attribute;
        m += " cannot be kept on the copy: ";
    }
    if (why.systemError == 0) return m.empty() ? m : m + "the copy failed";
    m += std::strerror(why.systemError);
    if (why.attribute[0] != '\0' && (why.systemError == ENOTSUP || why.systemError == EOPNOTSUPP))
        m += " (the file system there has no such attributes)";
    else if (why.attribute[0] != '\0' && why.systemError == E2BIG)
        m += " (more than the file system holds for one file)";
    return m;
}

// A copy made where its source's creation date (its birth, which POSIX
// cannot give a new file) has no place is the copy cp -a makes: made, and
// the date it lacks named on stderr, the exit status unchanged.
void note_creation_not_kept(Context& ctx, const std::string& copy,
                            const VantrelFSCopyFailure& why) {
    if (why.creationDateNotKept == 0) return;
    ctx.out.flush();
    ctx.err << "fmutil: ";
    append_terminal_safe(ctx.err.buf(), copy);
    ctx.err << ": the creation date was not kept (the copy shows its own): ";
    ctx.err << std::strerror(why.creationDateNotKept);
    ctx.err << "\n";
    ctx.err.flush();
}

// Whether `ref` is locked. A move keeps the lock: the copy is locked once
// it is whole and named, and the locked source is deleted only then, so
// that no step leaves an unlocked copy of a locked file as the only one.
bool is_locked(const FSRef& ref) {
    FSCatalogInfo info{};
    return FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr) == noErr &&
           (info.nodeFlags & kFSNodeLockedMask) != 0;
}

OSErr lock_copy(const FSRef& copy) {
    FSCatalogInfo info{};
    if (OSErr e = FSGetCatalogInfo(&copy, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr))
        return e;
    info.nodeFlags |= kFSNodeLockedMask;
    return FSSetCatalogInfo(&copy, kFSCatInfoNodeFlags, &info);
}

// A tree copy that failed and could not be removed at once either.
constexpr std::string_view kUndoLeft =
    "the copy failed, and what it made could not all be removed: it never shows under its name, "
    "and the next listing of its folder removes the rest";

constexpr std::string_view kLockNotKept =
    "not moved: the copy on the other volume cannot be locked as the source is, and a move "
    "never drops a lock";

// A folder of a tree copy being filled.
struct CopyFrame {
    FSRef src;
    FSRef dst;
    struct timespec times[2]{};  // the source's, before its contents were read
};

// Which side a failed copy names: the destination when it is full, locked,
// or closed to this user; otherwise the item being copied (one this user
// cannot read, say).
bool dest_at_fault(const FSRef& destDir, OSErr e) {
    if (e == dskFulErr || e == wPrErr || e == vLckdErr || e == dirFulErr) return true;
    if (e != afpAccessDenied && e != permErr) return false;
    FSCatalogInfo info{};
    return FSGetCatalogInfo(&destDir, kFSCatInfoUserPrivs, &info, nullptr, nullptr, nullptr) ==
               noErr &&
           (info.userPrivileges & kioACUserNoMakeChangesMask) != 0;
}

}  // namespace

// Copies the folder `src` into `destParent` as `name` (a null `name`: as
// the source's name is on disk): every file with both forks, Finder
// information, comment, dates, permissions, other extended attributes and
// (as root) owner, under its name's own bytes; folders get their own
// attributes after their contents, so that filling them does not change
// their dates, which are kept to the nanosecond.
// Links, devices, FIFOs and sockets cannot be made through the File Manager:
// each is reported and the rest is copied, and so is a "._NAME" of the
// user's own, which the File Manager never lists; a move (`moving`) is not
// made without them. Any other failure ends the copy, which is then removed
// whole before it ever had its name (`*undone`). An error about what is copied
// names the source item (`srcPath` spells the folder); one about where it
// goes, the copy.
static OSErr copy_tree(Context& ctx, const FSRef& src, const std::string& srcPath,
                       const FSRef& destParent, UniCharCount nameLen, const UniChar* name,
                       const std::string& dstPath, bool moving, std::vector<TreeError>* failed,
                       bool* undone) {
    *undone = false;
    // Two names of one file in the tree stay two names of one copy, as cp -a
    // keeps them (each with its own fork).
    VantrelFSCopyLinksRef linkRecord = nullptr;
    if (OSErr e = VantrelFSNewCopyLinks(&linkRecord)) return e;
    const std::unique_ptr<OpaqueVantrelFSCopyLinks, void (*)(VantrelFSCopyLinksRef)> links(
        linkRecord, VantrelFSDisposeCopyLinks);
    // The folders being filled, the tree's own first: per level a source,
    // its copy and the source's times from before it was read.
    std::vector<CopyFrame> open(1);
    open[0].src = src;
    // Named as the source is on disk where no new name is given: a name
    // that is not UTF-8, or stored decomposed, stays as it is.
    if (OSErr e = VantrelFSCreateFolderCopy(&src, &destParent, nameLen, name, &open[0].dst,
                                            open[0].times))
        return e;
    // The copy's own folder, which the walk must never enter: a mount of
    // the destination inside the source (a bind mount) would lead the walk
    // into the copy it is making, and it would never end.
    FSCatalogInfo made{};
    const bool madeKnown =
        FSGetCatalogInfo(&open[0].dst, kFSCatInfoNodeID, &made, nullptr, nullptr, nullptr) == noErr;
    auto isTheCopy = [&](const FSRef& dir, UInt32 node) {
        return madeKnown && node == made.nodeID &&
               VantrelFSCompareObjectsOnDisk(&dir, &open[0].dst) == noErr;
    };
    // A copy that cannot complete leaves the destination as it was: the
    // first item that fails is named, nothing more is copied, and the copy
    // goes whole once the walk is over. What the File Manager cannot make
    // (a link, a device, a "._NAME" of the user's own) is named and left
    // out of a copy, which is made without it; a move, which would lose
    // it, is not made at all.
    bool broken = false;
    auto leaveOut = [&](const std::string& path, OSErr e, std::string_view meaning = {}) {
        ctx.out.flush();
        ctx.fm_error_line(path, e, meaning);
        failed->push_back({path, e});
        if (moving) broken = true;
    };
    auto fail = [&](const std::string& path, OSErr e, std::string_view meaning = {}) {
        leaveOut(path, e, meaning);
        broken = true;
    };
    // The walk spells the source's items; the copy's are the same below
    // `dstPath`.
    const std::size_t srcLen = path_prefix(srcPath).size();
    auto copyPath = [&](const std::string& from) {
        return from.size() > srcLen ? dstPath + "/" + from.substr(srcLen) : dstPath;
    };
    // What the top's own finish did: named it, or failed and took it away.
    enum { kOpen, kNamed, kUndone } topSettled = kOpen;
    // A folder whose items are all copied: what its "._" entries are, then
    // its own attributes, mode and owner, and its times last, to the
    // nanosecond (its contents changed them), and a lock last of all.
    auto finishFolder = [&](const CopyFrame& frame, const std::string& from) {
        if (broken) return;
        // The File Manager never lists a "._NAME" of the user's own, so
        // the copy went without it: say so rather than report success.
        // (What it is, fork, orphan or the user's own, is its answer.)
        const std::string prefix = path_prefix(from);
        for (const HiddenEntry& hidden : hidden_entries(frame.src)) {
            if (hidden.name == ".AppleDouble/.Parent" && hidden.kind == kVantrelHiddenFork) {
                leaveOut(copyPath(from), errFSOperationNotSupported,
                         "its Finder information and comment stay in Netatalk 2's .AppleDouble, "
                         "which a copy cannot take; fmutil convert moves them first");
            } else if (hidden.kind == kVantrelHiddenOwnFile) {
                leaveOut(prefix + hidden.name, afpObjectTypeErr,
                         "not copied: a file of its own with a resource fork's name, which the "
                         "File Manager never lists; copy it yourself");
            } else if (hidden.kind == kVantrelHiddenOrphan) {
                // No item's fork: it is left out, as a deletion removes it.
                ctx.out.flush();
                ctx.err << "fmutil: ";
                append_terminal_safe(ctx.err.buf(), prefix + hidden.name);
                ctx.err << ": left out: an orphaned resource fork, whose file is gone\n";
                ctx.err.flush();
            }
        }
        if (broken) return;
        const std::string path = copyPath(from);
        VantrelFSCopyFailure why{};
        const OSErr finished = VantrelFSFinishFolderCopy(&frame.src, &frame.dst, frame.times, &why);
        if (&frame == &open[0]) topSettled = finished == noErr ? kNamed : kUndone;
        if (finished) {
            fail(path, finished, copy_meaning(why));
            return;
        }
        note_creation_not_kept(ctx, path, why);
        // Nothing more can be made in a locked folder.
        if (moving && is_locked(frame.src)) {
            if (OSErr le = lock_copy(frame.dst)) fail(path, le, kLockNotKept);
        }
    };
    // What the walk meets after a failure is neither copied nor named.
    auto stopped = [&] { return broken; };
    // A folder is made before its items and entered only when made; a file
    // is copied whole; anything else is named.
    auto visitItem = [&](const WalkVisit& v) {
        if (stopped()) return false;
        const std::string& from = v.path;
        const FSRef& item = *v.ref;
        const CopyFrame& frame = open.back();
        if (v.entry.isDir) {
            FSCatalogInfo dirInfo{};
            if (OSErr e = FSGetCatalogInfo(&item, kFSCatInfoNodeID, &dirInfo, nullptr, nullptr,
                                           nullptr)) {
                fail(from, e);
                return false;
            }
            if (isTheCopy(item, dirInfo.nodeID)) {
                leaveOut(from, badMovErr,
                         "not copied: it is the copy being made, reached through a mount");
                return false;
            }
            CopyFrame child;
            child.src = item;
            // A folder another volume is mounted on is named by its entry
            // here; any other by its own bytes.
            std::u16string mountedOn;
            if (dirInfo.nodeID == fsRtDirID) {
                auto u = posix_name_to_unicode(v.entry.name);
                if (!u) {
                    leaveOut(from, bdNamErr, "not copied: a mount point whose name is not UTF-8");
                    return false;
                }
                mountedOn = std::move(*u);
            }
            if (OSErr e = VantrelFSCreateFolderCopy(
                    &item, &frame.dst, static_cast<UniCharCount>(mountedOn.size()),
                    mountedOn.empty() ? nullptr
                                      : reinterpret_cast<const UniChar*>(mountedOn.data()),
                    &child.dst, child.times)) {
                // A folder under a resource fork's name ("._NAME") is one the
                // File Manager never makes: left out, as a link is.
                if (e == bdNamErr)
                    leaveOut(copyPath(from), e);
                else
                    fail(copyPath(from), e);
                return false;
            }
            open.push_back(child);
            return true;
        }
        if (std::string_view(v.entry.kind) != "file") {
            ItemKind k;
            std::string what;
            item_kind(item, &k, &what);  // benign: only for the words
            leaveOut(from, notAFileErr, "not copied: " + what);
            return false;
        }
        // The copy keeps the source's name as it is on disk, and with it
        // everything cp -a keeps, made in one call from the source's descriptor.
        // A move gives the copy the lock the listing showed on its source,
        // read with the folder a moment before: no call more per file.
        const bool lock = moving && v.entry.locked;
        FSRef copied;
        VantrelFSCopyFailure why{};
        if (OSErr e = VantrelFSCopyFileWholeExplained(&item, &frame.dst, 0, nullptr, links.get(),
                                                      lock ? &copied : nullptr, &why)) {
            const std::string at =
                e == dupFNErr || dest_at_fault(frame.dst, e) ? copyPath(from) : from;
            const std::string meaning = e == dupFNErr ? std::string() : copy_meaning(why);
            // Metadata the File Manager cannot carry (Netatalk 2's, in
            // .AppleDouble), refused before anything was made, with no
            // system call at fault: left out, as a link is.
            if (e == errFSOperationNotSupported && why.systemError == 0)
                leaveOut(at, e, meaning);
            else
                fail(at, e, meaning);
            return false;
        }
        note_creation_not_kept(ctx, copyPath(from), why);
        if (lock) {
            if (OSErr le = lock_copy(copied)) fail(copyPath(from), le, kLockNotKept);
        }
        return false;
    };
    auto leaveFolder = [&](const WalkVisit& v) {
        finishFolder(open.back(), v.path);
        open.pop_back();
    };
    auto unread = [&](const std::string& path, OSErr e) {
        if (!stopped()) fail(path, e);
    };
    struct Visitor {
        decltype(visitItem)& onPre;
        decltype(leaveFolder)& onPost;
        decltype(unread)& onError;
        bool pre(const WalkVisit& v) { return onPre(v); }
        void post(const WalkVisit& v) { onPost(v); }
        void error(const std::string& path, OSErr e) { onError(path, e); }
    } visitor{visitItem, leaveFolder, unread};
    TreeBuffers buffers;
    walk_tree(src, srcPath, buffers, true, nullptr, visitor);
    finishFolder(open[0], srcPath);
    if (!broken) return noErr;
    *undone = true;
    // A top that failed only once named (a move's lock) goes as any
    // folder does; one whose own finish failed was undone by it.
    if (topSettled == kNamed) return FSDeleteContainer(&open[0].dst);
    return topSettled == kUndone ? OSErr{noErr} : VantrelFSAbandonFolderCopy(&open[0].dst);
}

int cmd_mv(Context& ctx) {
    const std::string& src = ctx.args[0];
    std::string dest = ctx.args[1];
    if (ctx.args.size() > 2) {
        // "mv a b dir", as mv takes several items into a folder: this one
        // moves one at a time, and says so in the commands to run.
        FSRef ref;
        bool isDir = false;
        const std::string& last = ctx.args[2];
        if (path_ref(last, &ref, &isDir) == noErr && isDir &&
            !(path_ref(dest, &ref, &isDir) == noErr && isDir)) {
            return ctx.usage_error("moves one item at a time: to move '" + src + "' and '" + dest +
                                   "' into '" + last + "', run 'fmutil mv " + src + " " + last +
                                   "' and 'fmutil mv " + dest + " " + last + "'");
        }
    }
    std::u16string name;
    int status = 0;
    if (!take_new_name(ctx, 2, &name, &status)) return status;
    bool renamed = ctx.args.size() > 2;
    if (ends_in_dot_or_dotdot(src)) {
        return ctx.usage_error("refusing to move '.' or '..': '" + src + "'");
    }
    FSRef sref;
    FSRef dref;
    if (OSErr e = path_ref(src, &sref)) return ctx.fm_error(src, e);
    bool destDir = false;
    OSErr de = path_ref(dest, &dref, &destDir);
    if (renamed && (de == fnfErr || (de == noErr && !destDir))) {
        return ctx.usage_error("with NEWNAME, DEST must be a directory, and '" + dest +
                               "' is not one");
    }
    if (!renamed && de == fnfErr) {
        // "mv OLD NEW" where NEW does not exist: NEW names the item's new
        // place and name, as mv has it.
        std::string parent, leaf;
        split_path(dest, &parent, &leaf);
        auto u = posix_name_to_unicode(leaf);
        if (!u && !leaf.empty() && leaf != "." && leaf != ".." && !is_utf8(leaf)) {
            return ctx.usage_error("'" + dest + "' ends in a name that is not UTF-8, which the " +
                                   "File Manager cannot give");
        }
        if (u && u->size() > 255)
            return ctx.usage_error("'" + dest + "' ends in a name longer than 255 UTF-16 units");
        if (!u) return ctx.usage_error("'" + dest + "' does not end in a file name");
        // "mv file new/" asks for a directory that is not there, as mv has it.
        bool srcDir = false;
        if (dest.back() == '/' && path_ref(src, &sref, &srcDir) == noErr && !srcDir)
            return ctx.fm_error(dest, dirNFErr);
        name = std::move(*u);
        renamed = true;
        dest = parent;
        de = path_ref(dest, &dref, &destDir);
    }
    if (de) return ctx.fm_error(ctx.args[1], de);  // as given: its directory is missing
    if (!destDir) {
        // An existing file is never replaced: the destination is at fault.
        return ctx.fm_error(dest, dupFNErr, "it exists and is not a directory; mv never replaces");
    }
    FSRef moved;
    OSErr e =
        FSMoveRenameObjectUnicode(&sref, &dref, static_cast<UniCharCount>(name.size()),
                                  renamed ? reinterpret_cast<const UniChar*>(name.data()) : nullptr,
                                  kTextEncodingUnknown, &moved);
    if (e == dupFNErr || e == afpObjectTypeErr) {
        std::string taken = dest;
        if (taken != "/") taken.push_back('/');
        if (renamed) {
            taken += utf16_to_utf8(name);
        } else {
            std::string d, leaf;
            split_path(src, &d, &leaf);
            taken += leaf;
        }
        return ctx.fm_error(taken, e, placed_meaning(e));
    }
    if (e == diffVolErr) {
        // Another volume: copy, then delete, as mv does, keeping everything
        // the copy keeps. The source goes only when the whole copy is made.
        HFSUniStr255 srcName{};
        if (OSErr ne = FSGetCatalogInfo(&sref, kFSCatInfoNone, nullptr, &srcName, nullptr, nullptr))
            return ctx.fm_error(src, ne);
        const UniCharCount len = renamed ? static_cast<UniCharCount>(name.size()) : srcName.length;
        const UniChar* units =
            renamed ? reinterpret_cast<const UniChar*>(name.data()) : srcName.unicode;
        std::string target = ref_path(dref);
        if (target != "/") target.push_back('/');
        if (renamed) {
            target += utf16_to_utf8(name);
        } else {
            append_disk_name(target, sref, srcName);
        }
        FSRef existing;
        if (FSMakeFSRefUnicode(&dref, len, units, kTextEncodingUnknown, &existing) == noErr)
            return ctx.fm_error(target, dupFNErr);
        ItemKind kind;
        std::string notFile;
        if (OSErr ke = item_kind(sref, &kind, &notFile)) return ctx.fm_error(src, ke);
        if (kind.letter == 'd') {
            std::vector<TreeError> failed;
            bool undone = false;
            if (OSErr ce = copy_tree(ctx, sref, src, dref, len, renamed ? units : nullptr, target,
                                     true, &failed, &undone))
                return ctx.fm_error(target, ce, failed.empty() ? std::string_view() : kUndoLeft);
            // A move is whole or not made: the copy of a tree that could
            // not be copied whole is gone.
            if (!failed.empty())
                return ctx.fm_error(src, failed[0].code,
                                    "not moved: the copy on the other volume could not be made "
                                    "whole and was removed; the source is kept");
            e = FSDeleteContainer(&sref);
        } else if (kind.letter == '-') {
            const bool locked = is_locked(sref);
            // Under the source's own name, its bytes as they are (a name that
            // is not UTF-8, or stored decomposed, stays as it is), or under
            // the new one: the copy shows under its name only once whole.
            FSRef copy;
            VantrelFSCopyFailure why{};
            const OSErr ce = VantrelFSCopyFileWholeExplained(
                &sref, &dref, renamed ? len : 0, renamed ? units : nullptr, nullptr, &copy, &why);
            if (ce) {
                const std::string m = copy_meaning(why);
                if (ce == dupFNErr || ce == afpObjectTypeErr)
                    return ctx.fm_error(target, ce, placed_meaning(ce));
                return ctx.fm_error(dest, ce, (m.empty() ? m : m + "; ") + "the source is kept");
            }
            note_creation_not_kept(ctx, target, why);
            const FSRef finalRef = copy;
            if (locked) {
                if (OSErr le = lock_copy(finalRef)) {
                    FSDeleteObject(&finalRef);  // benign: the unlocked copy goes, the source stays
                    return ctx.fm_error(src, le, kLockNotKept);
                }
            }
            // A locked source has its lock taken off only to be deleted, and
            // keeps it where another name shares its inode.
            e = locked ? VantrelFSDeleteLockedObject(&sref) : FSDeleteObject(&sref);
        } else {
            return ctx.fm_error(src, notAFileErr, "cannot be moved to another volume: " + notFile);
        }
        if (e) {
            return ctx.fm_error(src, e,
                                "copied to " + target + ", but the source could not be deleted");
        }
        if (FSMakeFSRefUnicode(&dref, len, units, kTextEncodingUnknown, &moved) != noErr) {
            if (ctx.json) print_path_json(ctx, "path", target);
            return ctx.finish();
        }
    } else if (e) {
        return ctx.fm_error(src, e);
    }
    if (ctx.json) print_path_json(ctx, "path", ref_path(moved));
    return ctx.finish();
}

int cmd_cp(Context& ctx) {
    const std::string& src = ctx.args[0];
    const std::string& dest = ctx.args[1];
    const bool replace = ctx.has("replace");
    if (replace && ctx.args.size() > 2)
        return ctx.usage_error("--replace takes FILE and the file it replaces, no NEWNAME");
    std::u16string name;
    int status = 0;
    if (!take_new_name(ctx, 2, &name, &status)) return status;
    const bool renamed = ctx.args.size() > 2;
    FSRef sref;
    FSRef dref;
    if (OSErr e = path_ref(src, &sref)) return ctx.fm_error(src, e);
    bool destDir = false;
    if (OSErr e = path_ref(dest, &dref, &destDir)) {
        // "cp a.txt b.txt", as cp names the copy: this one copies into a
        // folder, and gives the form that names the copy.
        std::string parent, leaf;
        split_path(dest, &parent, &leaf);
        FSRef parentRef;
        bool parentDir = false;
        if (e == fnfErr && !replace && !renamed && posix_name_to_unicode(leaf) &&
            path_ref(parent, &parentRef, &parentDir) == noErr && parentDir) {
            return ctx.usage_error("copies into a directory, and '" + dest +
                                   "' is none: to make the copy '" + leaf + "', run 'fmutil cp " +
                                   src + " " + parent + " " + leaf + "'");
        }
        return ctx.fm_error(dest, e);
    }
    HFSUniStr255 srcName{};
    if (OSErr e = FSGetCatalogInfo(&sref, kFSCatInfoNone, nullptr, &srcName, nullptr, nullptr)) {
        return ctx.fm_error(src, e);
    }
    ItemKind kind;
    std::string notFile;
    if (OSErr e = item_kind(sref, &kind, &notFile)) return ctx.fm_error(src, e);
    const bool tree = kind.letter == 'd' && ctx.has("recursive");
    if (kind.letter == 'd' && !tree)
        return ctx.fm_error(src, notAFileErr, notFile + " (folders are copied with -r)");
    if (!notFile.empty() && !tree) return ctx.fm_error(src, notAFileErr, notFile);
    if (tree && replace) return ctx.usage_error("--replace replaces a file, not a folder");

    if (replace) {
        // The copy is made where no one sees it and takes the file's place
        // in one step: the file keeps its creation date, Finder information,
        // comment, ID, mode and owner, and is never missing or half-written,
        // not even when fmutil is killed.
        std::string notTarget;
        ItemKind targetKind;
        if (OSErr e = item_kind(dref, &targetKind, &notTarget)) return ctx.fm_error(dest, e);
        if (!notTarget.empty()) return ctx.fm_error(dest, notAFileErr, notTarget);
        if (FSCompareFSRefs(&sref, &dref) == noErr)
            return ctx.usage_error("a file cannot replace itself");
        FSRef replaced;
        if (OSErr e = VantrelFSReplaceFileContents(&sref, &dref, &replaced)) {
            std::string_view meaning = placed_meaning(e);
            if (e == permErr)
                meaning =
                    "it has other hard links, which would keep the old contents; nothing "
                    "was changed";
            else if (e == fBsyErr)
                meaning =
                    "another program changed it while the copy was made; nothing was "
                    "changed";
            return ctx.fm_error(dest, e, meaning);
        }
        // The reference the call hands back names the file by its bytes on
        // disk (looking it up again by its Unicode name would miss a name
        // that is not UTF-8).
        if (ctx.json) print_path_json(ctx, "path", ref_path(replaced));
        return ctx.finish();
    }
    if (!destDir) {
        return ctx.fm_error(dest, errFSNotAFolder,
                            "not a directory; to replace this file with a copy, run 'fmutil cp " +
                                src + " --replace " + dest + "'");
    }
    // The copy's final name must be free before anything is written.
    const UniCharCount len = renamed ? static_cast<UniCharCount>(name.size()) : srcName.length;
    const UniChar* units =
        renamed ? reinterpret_cast<const UniChar*>(name.data()) : srcName.unicode;
    std::string target = ref_path(dref);
    if (target != "/") target.push_back('/');
    if (renamed) {
        target += ctx.args[2];
    } else {
        append_disk_name(target, sref, srcName);
    }
    FSRef existing;
    if (FSMakeFSRefUnicode(&dref, len, units, kTextEncodingUnknown, &existing) == noErr)
        return ctx.fm_error(target, dupFNErr);
    if (tree) {
        // Copying a folder into itself would never end.
        for (FSRef at = dref;;) {
            if (FSCompareFSRefs(&at, &sref) == noErr)
                return ctx.usage_error("cannot copy a folder into itself");
            FSCatalogInfo ci{};
            FSRef parent;
            if (FSGetCatalogInfo(&at, kFSCatInfoNodeID, &ci, nullptr, nullptr, &parent) != noErr ||
                ci.nodeID == 2)
                break;
            at = parent;
        }
        std::vector<TreeError> failed;
        bool undone = false;
        if (OSErr e = copy_tree(ctx, sref, src, dref, len, renamed ? units : nullptr, target, false,
                                &failed, &undone))
            return ctx.fm_error(target, e, failed.empty() ? std::string_view() : kUndoLeft);
        if (undone) {
            ctx.out.flush();
            ctx.err << "fmutil: ";
            append_terminal_safe(ctx.err.buf(), target);
            ctx.err << ": not copied: the copy stopped at the first item it could not copy, "
                       "and what it had made was removed\n";
            ctx.err.flush();
        }
        if (ctx.json) {
            JsonWriter j(ctx.out);
            j.begin_object();
            j.name_field("path", target);
            write_json_errors(j, failed);
            j.end_object();
            j.finish();
        }
        return ctx.finish(failed.empty() ? kExitOk : kExitFileManager);
    }
    // Under the source's own name, as its directory entry spells it (a name
    // that is not UTF-8 has no exact Unicode form to give), or under the new
    // one, with everything cp -a keeps, as cp -r copies each file. The copy
    // shows under its name only once whole, so no other name is ever seen.
    FSRef copy;
    VantrelFSCopyFailure why{};
    if (OSErr e = VantrelFSCopyFileWholeExplained(
            &sref, &dref, renamed ? len : 0, renamed ? units : nullptr, nullptr, &copy, &why)) {
        const bool atTarget = e == dupFNErr || e == afpObjectTypeErr;
        const std::string said = atTarget ? std::string() : copy_meaning(why);
        return ctx.fm_error(atTarget                 ? target
                            : dest_at_fault(dref, e) ? dest
                                                     : src,
                            e, said.empty() ? placed_meaning(e) : said);
    }
    note_creation_not_kept(ctx, target, why);
    if (ctx.json) {
        // Printed as the directory spells it (a name given in one normal
        // form may be stored in the other).
        const std::string path = renamed ? ref_path(copy) : std::string();
        print_path_json(ctx, "path", path.empty() ? target : path);
    }
    return ctx.finish();
}

namespace {

// The most items of a volume's root folder that volumes looks at to learn
// whether its files carry another layout than the volume's: a first batch
// of the listing, so that a root of a million files costs what a small one
// does.
constexpr ItemCount kLayoutSample = 64;

// How many of the first items of the folder `root` carry Mac metadata
// that is not in `layout` (what convert would move), of how many looked
// at; false when the folder cannot be read.
bool sample_layouts(const FSRef& root, VantrelMacLayout layout, ItemCount* looked, ItemCount* other,
                    ItemCount* appleDouble) {
    *looked = *other = *appleDouble = 0;
    FSIterator it = nullptr;
    if (FSOpenIterator(&root, kFSIterateFlat, &it) != noErr) return false;
    std::vector<FSRef> refs(kLayoutSample);
    ItemCount n = 0;
    const OSErr e = FSGetCatalogInfoBulk(it, kLayoutSample, &n, nullptr, kFSCatInfoNone, nullptr,
                                         refs.data(), nullptr, nullptr);
    FSCloseIterator(it);  // benign: the iterator is released whatever this answers
    if (e != noErr && e != errFSNoMoreItems) return false;
    for (ItemCount i = 0; i < n; ++i) {
        VantrelConvertReport r{};
        if (VantrelFSConvertMacLayout(&refs[i], layout, kVantrelConvertDryRun, &r) != noErr)
            continue;  // a link, a FIFO, an item it may not read: nothing to say of it
        ++*looked;
        if (r.moved != 0) ++*other;
        if ((r.moved & kVantrelConvertAppleDouble) != 0) ++*appleDouble;
    }
    return true;
}

}  // namespace

int cmd_volumes(Context& ctx) {
    FSRef** roots = nullptr;
    ItemCount count = 0;
    if (OSErr e = FSGetMountedVolumes(&roots, &count)) return ctx.fm_error("volumes", e);
    JsonWriter j(ctx.out);
    if (ctx.json) {
        j.begin_object();
        j.key("volumes");
        j.begin_array();
    } else {
        char buf[160];
        std::snprintf(buf, sizeof buf, "%6s %9s %9s %-8s %-11s %-24s %s\n", "VOLUME", "SIZE",
                      "FREE", "LOCKED", "MAC LAYOUT", "MOUNTED ON", "NAME");
        ctx.out << buf;
    }
    int status = kExitOk;
    for (ItemCount i = 0; i < count; ++i) {
        const FSRef root = (*roots)[i];
        const std::string mount = ref_path(root);
        FSVolumeRefNum vref = 0;
        HFSUniStr255 uname{};
        UInt64 freeBytes = 0;
        UInt64 total = 0;
        FSVolumeInfo vinfo{};
        OSErr e = FSGetVRefNum(&root, &vref);
        if (!e) e = FSGetVInfo(vref, &uname, &freeBytes, &total);
        if (!e) e = FSGetVolumeInfo(vref, 0, nullptr, kFSVolInfoFlags, &vinfo, nullptr, nullptr);
        VantrelMacLayout layout = kVantrelMacLayoutNetatalk;
        if (!e) e = VantrelFSGetMacLayout(&root, &layout);
        const char* layoutName = layout == kVantrelMacLayoutStream       ? "stream"
                                 : layout == kVantrelMacLayoutStreamFile ? "stream+file"
                                                                         : "netatalk";
        if (e) {
            ctx.out.flush();
            ctx.fm_error_line(mount.empty() ? "volume " + std::to_string(i + 1) : mount, e);
            status = kExitFileManager;
            continue;
        }
        std::string name;
        append_utf16_as_utf8(name, uname.unicode, uname.length > 255 ? 255 : uname.length);
        const bool hw = (vinfo.flags & kFSVolFlagHardwareLockedMask) != 0;
        const bool sw = (vinfo.flags & kFSVolFlagSoftwareLockedMask) != 0;
        // Files the volume's own layout does not hold: a Mac client of a
        // server set up so would see them blank.
        ItemCount looked = 0, other = 0, appleDouble = 0;
        const bool sampled = sample_layouts(root, layout, &looked, &other, &appleDouble);
        if (sampled && other != 0) {
            std::string warn = "fmutil: volumes: ";
            append_terminal_safe(warn, mount);
            warn += ": " + std::to_string(other) + " of the first " + std::to_string(looked) +
                    " items of its root folder carry Mac metadata in another layout than " +
                    layoutName;
            if (appleDouble != 0)
                warn +=
                    ", " + std::to_string(appleDouble) + " of them in Netatalk 2's .AppleDouble";
            warn += std::string(" (fmutil convert --to ") + layoutName + " moves it)\n";
            ctx.out.flush();
            ctx.err << warn;
            ctx.err.flush();
        }
        if (ctx.json) {
            j.begin_object();
            j.field("volume", static_cast<std::int64_t>(vref));
            j.field("name", name);
            j.name_field("mount_point", mount);
            j.field_u("total_bytes", total);
            j.field_u("free_bytes", freeBytes);
            j.field("software_locked", sw);
            j.field("hardware_locked", hw);
            j.field("mac_layout", layoutName);
            if (sampled) {
                j.field_u("items_sampled", looked);
                j.field_u("items_in_other_layouts", other);
            }
            j.end_object();
        } else {
            char buf[96];
            std::snprintf(buf, sizeof buf, "%6d %9s %9s %-8s ", static_cast<int>(vref),
                          human_size(total).c_str(), human_size(freeBytes).c_str(),
                          hw   ? "hardware"
                          : sw ? "software"
                               : "no");
            std::string line = buf;
            char lay[16];
            std::snprintf(lay, sizeof lay, "%-11s ", layoutName);
            line += lay;
            std::string m;
            append_terminal_safe(m, mount);
            if (m.size() < 24) m.resize(24, ' ');
            line += m + " ";
            append_terminal_safe(line, name);
            ctx.out << line << "\n";
        }
    }
    DisposeHandle(reinterpret_cast<Handle>(roots));
    if (ctx.json) {
        j.end_array();
        j.end_object();
        j.finish();
    }
    return ctx.finish(status);
}

int cmd_fileid(Context& ctx) {
    if (ctx.has("resolve")) {
        if (ctx.args.size() != 2) return ctx.usage_error("--resolve needs VOLUME and ID");
        const std::string& volume = ctx.args[0];
        // An ID is a node ID, 32 bits: half of them print as negative
        // numbers, and the unsigned spelling of those is taken too.
        auto id = parse_integer(ctx.args[1], -0x80000000LL, 0xFFFFFFFFLL);
        if (!id || *id == 0)
            return ctx.usage_error("ID '" + ctx.args[1] +
                                   "' is not a file ID (a whole number as fileid prints it, not "
                                   "0)");
        FSRef vol;
        if (OSErr e = path_ref(volume, &vol)) return ctx.fm_error(volume, e);
        FSVolumeRefNum vref = 0;
        if (OSErr e = FSGetVRefNum(&vol, &vref)) return ctx.fm_error(volume, e);
        FSRef found;
        const auto fileId = static_cast<SInt32>(static_cast<UInt32>(*id));
        if (OSErr e = FSResolveFileIDRef(vref, fileId, &found)) {
            return ctx.fm_error(volume + " (file ID " + ctx.args[1] + ")", e);
        }
        const std::string path = ref_path(found);
        if (ctx.json) {
            JsonWriter j(ctx.out);
            j.begin_object();
            j.field("id", static_cast<std::int64_t>(fileId));
            j.name_field("path", path);
            j.end_object();
            j.finish();
        } else {
            ctx.out.name(path);
            ctx.out << "\n";
        }
        return ctx.finish();
    }
    if (ctx.args.size() != 1) return ctx.usage_error("give one PATH, or --resolve VOLUME ID");
    const std::string& path = ctx.args[0];
    FSRef ref;
    if (OSErr e = path_ref(path, &ref)) return ctx.fm_error(path, e);
    SInt32 id = 0;
    const OSErr e = FSCreateFileIDRef(&ref, &id);
    // An ID that already existed is still the file's ID.
    const bool existed = e == fidExists || e == afpIDExists;
    if (e == notAFileErr) {
        ItemKind kind;
        std::string notFile;
        if (item_kind(ref, &kind, &notFile) == noErr && !notFile.empty())
            return ctx.fm_error(path, e, notFile);
    }
    if (e && !existed) return ctx.fm_error(path, e);
    FSVolumeRefNum vref = 0;
    FSRef root;
    std::string mount;
    if (FSGetVRefNum(&ref, &vref) == noErr &&
        FSGetVolumeInfo(vref, 0, nullptr, kFSVolInfoNone, nullptr, nullptr, &root) == noErr) {
        mount = ref_path(root);
    }
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.name_field("path", path);
        j.field("id", static_cast<std::int64_t>(id));
        j.name_field("volume", mount);
        j.field("existed", existed);
        j.end_object();
        j.finish();
    } else {
        ctx.out << std::to_string(id) << " ";
        ctx.out.name(mount);
        ctx.out << "\n";
    }
    return ctx.finish();
}

}  // namespace fmutil
