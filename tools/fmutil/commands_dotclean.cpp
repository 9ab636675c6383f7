// dot-clean: macOS's dot_clean for Linux. Each "._NAME" a walk meets is
// merged into the layout of its volume by the File Manager, a folder at a
// time (VantrelFSMergeFolderDotUnderscores), which says what it did; this
// file walks, chooses and reports.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "fmutil.h"
#include "vantrel/Sidecars.h"
#include "walk.h"

namespace fmutil {

namespace {

struct DotCleaner : EachFolderVisitor<DotCleaner> {
    VantrelMergeKeep keep;
    UInt32 options;
    bool orphans;  // -n: also remove the "._" files whose file is gone
    bool verbose;
    std::string path;

    // One line (or JSON object) for a "._" entry: what became of it.
    void say(const char* action, const VantrelMergeReport* r) {
        if (ctx.json) {
            j.begin_object();
            j.name_field("path", path);
            j.field("action", action);
            if (r != nullptr) {
                j.field_u("taken", r->taken);
                j.field_u("kept", r->kept);
                j.field_u("lost", r->lost);
            }
            j.end_object();
            return;
        }
        if (!verbose) return;
        ctx.out << action << " ";
        ctx.out.name(path);
        if (r != nullptr && (r->taken | r->kept | r->lost) != 0)
            ctx.out << " (" << std::to_string(r->taken) << " merged, " << std::to_string(r->kept)
                    << " kept from the file"
                    << (r->lost != 0 ? ", " + std::to_string(r->lost) + " lost" : std::string())
                    << ")";
        ctx.out << "\n";
        ctx.out.maybe_flush();
    }

    // A "._" entry of a folder, with what the folder's merge made of it.
    struct Met {
        std::string name;  // as on disk
        VantrelHiddenKind kind;
        OSErr result;
        VantrelMergeReport report;
    };
    std::vector<Met> met;

    void folder(const std::string& dir, const FSRef& ref) {
        met.clear();
        // Said once the folder's lock is let go: what is printed never
        // holds up another change of the folder.
        (void)VantrelFSMergeFolderDotUnderscores(
            &ref, keep, options,
            [](const VantrelDiskName* n, VantrelHiddenKind kind, OSErr result,
               const VantrelMergeReport* r, void* context) -> Boolean {
                static_cast<DotCleaner*>(context)->met.push_back(
                    {std::string(reinterpret_cast<const char*>(n->bytes), n->length), kind, result,
                     *r});
                return false;
            },
            this);
        // In the order of their names, Netatalk 2's entries among the others.
        std::sort(met.begin(), met.end(),
                  [](const Met& a, const Met& b) { return a.name < b.name; });
        for (const Met& h : met) {
            path.assign(path_prefix(dir));
            path += h.name;
            if (h.kind == kVantrelHiddenOrphan) {
                const VantrelDiskName n = disk_name(h.name);
                if (!orphans) continue;
                const OSErr e = VantrelFSRemoveLeftover(&ref, &n);
                if (e == noErr)
                    say("removed", nullptr);
                else if (e == fBsyErr)
                    failed(path, e, "kept: its file came back meanwhile");
                else if (e != fnfErr)
                    failed(path, e);
                continue;
            }
            if (h.kind != kVantrelHiddenFork) continue;  // the user's own, a change's work
            if (h.name.rfind("._", 0) != 0) continue;    // Netatalk 2's: fmutil convert moves it
            const VantrelMergeReport& r = h.report;
            const OSErr e = h.result;
            if (e == notAFileErr) continue;  // beside a folder: nothing here to merge into
            if (e == afpObjectTypeErr || e == fnfErr) continue;  // no longer a fork
            if (e != noErr) {
                failed(path, e,
                       e == fileBoundsErr
                           ? "kept: it holds what the volume's layout has no room for (-m drops it)"
                           : std::string_view{});
                continue;
            }
            if (r.removed)
                say("merged and removed", &r);
            else if (r.rewritten)
                say("merged; kept as the fork's sidecar", &r);
            else if (verbose || ctx.json)
                say("kept as the fork's sidecar", &r);
        }
    }
};

}  // namespace

int cmd_dot_clean(Context& ctx) {
    VantrelMergeKeep keep = kVantrelMergeKeepMostRecent;
    if (const std::string* k = ctx.value("keep")) {
        if (*k == "mostrecent")
            keep = kVantrelMergeKeepMostRecent;
        else if (*k == "dotbar")
            keep = kVantrelMergeKeepDotBar;
        else if (*k == "native")
            keep = kVantrelMergeKeepNative;
        else
            return ctx.usage_error("--keep takes mostrecent, dotbar or native, not '" + *k + "'");
    }
    JsonWriter j(ctx.out);
    begin_json_items(ctx, j);
    std::vector<TreeError> errors;
    DotCleaner cleaner{{ctx, j, errors},
                       keep,
                       ctx.has("always-remove") ? UInt32(kVantrelMergeAlwaysRemove) : 0,
                       ctx.has("orphans"),
                       ctx.has("verbose"),
                       {},
                       {}};
    return walk_each_folder(ctx, j, errors, cleaner);
}

}  // namespace fmutil
