// ls, tree, rm: listing, walking and deleting directory contents.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "commands.h"
#include "fmutil.h"
#include "progress.h"
#include "text.h"
#include "vantrel/FSUtilities.h"

namespace fmutil {
namespace {

// "dir/" for building item paths: the argument as given, one slash after it.
std::string path_prefix(const std::string& dir) {
    std::string p = dir;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p != "/") p.push_back('/');
    return p;
}

const char* kind_of(const FSCatalogInfo& info) {
    return (info.nodeFlags & kFSNodeIsDirectoryMask) ? "directory" : "file";
}

struct TreeWalk {
    Out* out;
    JsonWriter* json;
    Progress* progress;
    std::string path;  // the current item's path
    std::vector<std::size_t>
        prefix;  // prefix[d]: length of the path of the level-d directory, with its "/"
    std::uint64_t items = 0;
    bool changed = false;
};

Boolean tree_filter(Boolean container_changed, ItemCount depth, const FSCatalogInfo* info,
                    const FSRef* ref, const FSSpec*, const HFSUniStr255* name, void* context) {
    auto* w = static_cast<TreeWalk*>(context);
    if (container_changed) w->changed = true;
    if (depth == 0 || depth > w->prefix.size()) return true;  // cannot happen in a depth-first walk
    w->path.resize(w->prefix[depth - 1]);
    append_disk_name(w->path, *ref, *name);
    const bool dir = (info->nodeFlags & kFSNodeIsDirectoryMask) != 0;
    if (dir) {
        w->prefix.resize(depth + 1);
        w->prefix[depth] = w->path.size() + 1;
        w->path.push_back('/');
    }
    if (w->json != nullptr) {
        JsonWriter& j = *w->json;
        j.begin_object();
        j.field("path", dir ? std::string_view(w->path).substr(0, w->path.size() - 1)
                            : std::string_view(w->path));
        j.field("depth", static_cast<std::int64_t>(depth));
        j.field("kind", dir ? "directory" : "file");
        j.end_object();
    } else {
        std::string& b = w->out->buf();
        append_terminal_safe(b, w->path);
        b.push_back('\n');
        if (b.size() >= 64 * 1024) {
            w->progress->clear();
            w->out->flush();
        }
    }
    w->progress->tick(++w->items);
    return false;
}

}  // namespace

int cmd_tree(Context& ctx) {
    const std::string& dir = ctx.args[0];
    ItemCount depth = 0;
    if (const std::string* v = ctx.value("depth")) {
        auto n = parse_integer(*v, 0, 0xFFFFFFFFLL);
        if (!n)
            return ctx.usage_error("--depth '" + *v +
                                   "' is not a whole number from 0 (no limit) up");
        depth = static_cast<ItemCount>(*n);
    }
    FSRef ref;
    if (OSErr e = path_ref(dir, &ref)) return ctx.fm_error(dir, e);

    Progress progress(ctx.err.fd(), "fmutil: tree");
    JsonWriter j(ctx.out);
    TreeWalk walk{&ctx.out, ctx.json ? &j : nullptr, &progress, path_prefix(dir), {}, 0, false};
    walk.prefix.push_back(walk.path.size());
    if (ctx.json) {
        j.begin_object();
        j.field("path", dir);
        j.key("items");
        j.begin_array();
    }
    const OSErr e =
        FSIterateContainer(&ref, depth, kFSCatInfoNone, false, true, tree_filter, &walk);
    progress.clear();
    if (ctx.json) {
        j.end_array();
        j.field("changed", walk.changed);
        j.key("error");
        e ? write_json_error(j, dir, e) : j.null();
        j.end_object();
        j.finish();
    }
    if (e) {
        ctx.out.flush();
        ctx.fm_error_line(dir, e);
        return ctx.finish(kExitFileManager);
    }
    return ctx.finish();
}

int cmd_ls(Context& ctx) {
    const std::string& dir = ctx.args[0];
    const bool lng = ctx.has("long");
    FSRef ref;
    if (OSErr e = path_ref(dir, &ref)) return ctx.fm_error(dir, e);
    FSRef** refs = nullptr;
    ItemCount count = 0;
    Boolean changed = 0;
    if (OSErr e = FSGetDirectoryItems(&ref, &refs, &count, &changed)) return ctx.fm_error(dir, e);

    const FSCatalogInfoBitmap bitmap =
        lng ? (kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoContentMod |
               kFSCatInfoFinderInfo | kFSCatInfoDataSizes | kFSCatInfoRsrcSizes)
            : kFSCatInfoNone;
    JsonWriter j(ctx.out);
    if (ctx.json) {
        j.begin_object();
        j.field("path", dir);
        j.key("items");
        j.begin_array();
    }
    const std::string prefix = path_prefix(dir);
    int status = kExitOk;
    std::string name;
    for (ItemCount i = 0; i < count; ++i) {
        FSCatalogInfo info{};
        HFSUniStr255 uname{};
        const FSRef item = (*refs)[i];
        OSErr e = FSGetCatalogInfo(&item, bitmap, &info, &uname, nullptr, nullptr);
        if (e == fnfErr) continue;  // removed since it was listed
        name.clear();
        if (e) {
            ctx.out.flush();
            ctx.fm_error_line(prefix + "(item " + std::to_string(i + 1) + ")", e);
            status = kExitFileManager;
            continue;
        }
        append_disk_name(name, item, uname);
        FileInfo fi;
        std::memcpy(&fi, info.finderInfo, sizeof fi);
        const bool is_dir = (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
        if (ctx.json) {
            j.begin_object();
            j.field("name", name);
            if (lng) {
                j.field("kind", kind_of(info));
                j.field_u("node_id", info.nodeID);
                j.field("locked", (info.nodeFlags & kFSNodeLockedMask) != 0);
                if (!is_dir) {
                    j.field("type", format_ostype(fi.fileType));
                    j.field("creator", format_ostype(fi.fileCreator));
                    j.field_u("data_size", info.dataLogicalSize);
                    j.field_u("rsrc_size", info.rsrcLogicalSize);
                }
                j.key("modified");
                date_is_set(info.contentModDate) ? j.string(format_date(info.contentModDate))
                                                 : j.null();
            }
            j.end_object();
        } else {
            std::string& b = ctx.out.buf();
            if (lng) {
                const std::string modified =
                    date_is_set(info.contentModDate) ? format_date(info.contentModDate) : "-";
                char buf[128];
                if (is_dir) {
                    std::snprintf(buf, sizeof buf, "d%c %-16s %12s %-20s ",
                                  (info.nodeFlags & kFSNodeLockedMask) ? 'L' : '-', "", "",
                                  modified.c_str());
                } else {
                    std::snprintf(buf, sizeof buf, "-%c %-7s %-8s %12llu %-20s ",
                                  (info.nodeFlags & kFSNodeLockedMask) ? 'L' : '-',
                                  format_ostype(fi.fileType).c_str(),
                                  format_ostype(fi.fileCreator).c_str(),
                                  static_cast<unsigned long long>(info.dataLogicalSize +
                                                                  info.rsrcLogicalSize),
                                  modified.c_str());
                }
                b += buf;
            }
            append_terminal_safe(b, name);
            b.push_back('\n');
            ctx.out.maybe_flush();
        }
    }
    DisposeHandle(reinterpret_cast<Handle>(refs));
    if (changed && !ctx.json) {
        ctx.out.flush();
        ctx.err << "fmutil: ";
        append_terminal_safe(ctx.err.buf(), dir);
        ctx.err << ": the directory changed while it was listed\n";
        ctx.err.flush();
    }
    if (ctx.json) {
        j.end_array();
        j.field("changed", changed != 0);
        j.end_object();
        j.finish();
    }
    return ctx.finish(status);
}

int cmd_rm(Context& ctx) {
    const std::string& dir = ctx.args[0];
    const bool contents_only = ctx.has("contents-only");
    FSRef ref;
    if (OSErr e = path_ref(dir, &ref)) return ctx.fm_error(dir, e);
    // Like rm's --preserve-root: the root of the whole system is never a
    // sensible target, whatever spelling ("/..", "//") reached it.
    if (ref_path(ref) == "/") return ctx.usage_error("refusing to remove '/'");

    OSErr e;
    {
        // Only for the progress line: a descriptor on the same volume,
        // opened without following a link.
        int vfd =
            ::isatty(ctx.err.fd()) == 1 ? ::open(dir.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
        VolumeProgress progress(ctx.err.fd(), "fmutil: rm", vfd);
        e = contents_only ? FSDeleteContainerContents(&ref) : FSDeleteContainer(&ref);
        progress.stop();
        if (vfd >= 0) ::close(vfd);
    }
    if (e) return ctx.fm_error(dir, e);
    if (ctx.json) {
        JsonWriter j(ctx.out);
        j.begin_object();
        j.field("path", dir);
        j.field("removed", contents_only ? "contents" : "directory");
        j.end_object();
        j.finish();
    }
    return ctx.finish();
}

}  // namespace fmutil
