// mv, swap, cp, volumes, fileid: moving, exchanging and copying files, and
// the volume-level views.
#include <cstring>
#include <string>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/TextEncoding.h"

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

int cmd_mv(Context& ctx) {
    const std::string& src = ctx.args[0];
    const std::string& dest = ctx.args[1];
    std::u16string name;
    int status = 0;
    if (!take_new_name(ctx, 2, &name, &status)) return status;
    const bool renamed = ctx.args.size() > 2;
    FSRef sref;
    FSRef dref;
    if (OSErr e = path_ref(src, &sref)) return ctx.fm_error(src, e);
    if (OSErr e = path_ref(dest, &dref)) return ctx.fm_error(dest, e);
    FSRef moved;
    OSErr e =
        FSMoveRenameObjectUnicode(&sref, &dref, static_cast<UniCharCount>(name.size()),
                                  renamed ? reinterpret_cast<const UniChar*>(name.data()) : nullptr,
                                  kTextEncodingUnknown, &moved);
    if (e) return ctx.fm_error(src, e);
    if (ctx.json) print_path_json(ctx, "path", ref_path(moved));
    return ctx.finish();
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

int cmd_cp(Context& ctx) {
    const std::string& src = ctx.args[0];
    const std::string& dest = ctx.args[1];
    std::u16string name;
    int status = 0;
    if (!take_new_name(ctx, 2, &name, &status)) return status;
    const bool renamed = ctx.args.size() > 2;
    FSRef sref;
    FSRef dref;
    if (OSErr e = path_ref(src, &sref)) return ctx.fm_error(src, e);
    if (OSErr e = path_ref(dest, &dref)) return ctx.fm_error(dest, e);
    HFSUniStr255 src_name{};
    if (OSErr e = FSGetCatalogInfo(&sref, kFSCatInfoNone, nullptr, &src_name, nullptr, nullptr)) {
        return ctx.fm_error(src, e);
    }
    ItemKind kind;
    std::string not_file;
    if (OSErr e = item_kind(sref, &kind, &not_file)) return ctx.fm_error(src, e);
    if (!not_file.empty()) return ctx.fm_error(src, notAFileErr, not_file);
    const UniChar* new_name = renamed ? reinterpret_cast<const UniChar*>(name.data()) : nullptr;
    FSRef copy;
    OSErr e = FSCopyFile(&sref, &dref, static_cast<UniCharCount>(name.size()), new_name,
                         kTextEncodingUnknown, &copy);
    if (e) return ctx.fm_error(src, e);
    if (ctx.json) {
        // FSCopyFile's reference names the destination directory when no
        // new name is given; the copy is looked up by its name instead, and
        // its path printed as the directory spells it (a name given in one
        // normal form may be stored in the other).
        const UniCharCount len = renamed ? static_cast<UniCharCount>(name.size()) : src_name.length;
        const UniChar* units = renamed ? new_name : src_name.unicode;
        FSRef made;
        std::string path;
        if (FSMakeFSRefUnicode(&dref, len, units, kTextEncodingUnknown, &made) == noErr)
            path = ref_path(made);
        if (path.empty()) {
            path = ref_path(dref);
            if (path != "/") path.push_back('/');
            if (renamed) {
                path += ctx.args[2];
            } else {
                append_unicode_name_as_posix(path, src_name);
            }
        }
        print_path_json(ctx, "path", path);
    }
    return ctx.finish();
}

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
        std::snprintf(buf, sizeof buf, "%6s %9s %9s %-8s %-24s %s\n", "VOLUME", "SIZE", "FREE",
                      "LOCKED", "MOUNTED ON", "NAME");
        ctx.out << buf;
    }
    int status = kExitOk;
    for (ItemCount i = 0; i < count; ++i) {
        const FSRef root = (*roots)[i];
        const std::string mount = ref_path(root);
        FSVolumeRefNum vref = 0;
        HFSUniStr255 uname{};
        UInt64 free_bytes = 0;
        UInt64 total = 0;
        FSVolumeInfo vinfo{};
        OSErr e = FSGetVRefNum(&root, &vref);
        if (!e) e = FSGetVInfo(vref, &uname, &free_bytes, &total);
        if (!e) e = FSGetVolumeInfo(vref, 0, nullptr, kFSVolInfoFlags, &vinfo, nullptr, nullptr);
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
        if (ctx.json) {
            j.begin_object();
            j.field("volume", static_cast<std::int64_t>(vref));
            j.field("name", name);
            j.name_field("mount_point", mount);
            j.field_u("total_bytes", total);
            j.field_u("free_bytes", free_bytes);
            j.field("software_locked", sw);
            j.field("hardware_locked", hw);
            j.end_object();
        } else {
            char buf[96];
            std::snprintf(buf, sizeof buf, "%6d %9s %9s %-8s ", static_cast<int>(vref),
                          human_size(total).c_str(), human_size(free_bytes).c_str(),
                          hw   ? "hardware"
                          : sw ? "software"
                               : "no");
            std::string line = buf;
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
        auto id = parse_integer(ctx.args[1], 1, 0x7FFFFFFF);
        if (!id)
            return ctx.usage_error("ID '" + ctx.args[1] +
                                   "' is not a file ID (a whole number from 1)");
        FSRef vol;
        if (OSErr e = path_ref(volume, &vol)) return ctx.fm_error(volume, e);
        FSVolumeRefNum vref = 0;
        if (OSErr e = FSGetVRefNum(&vol, &vref)) return ctx.fm_error(volume, e);
        FSRef found;
        if (OSErr e = FSResolveFileIDRef(vref, static_cast<SInt32>(*id), &found)) {
            return ctx.fm_error(volume + " (file ID " + ctx.args[1] + ")", e);
        }
        const std::string path = ref_path(found);
        if (ctx.json) {
            JsonWriter j(ctx.out);
            j.begin_object();
            j.field("id", static_cast<std::int64_t>(*id));
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
