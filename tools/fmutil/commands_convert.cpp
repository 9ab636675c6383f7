// convert: a migration between servers. Every item under each PATH has its
// Mac metadata moved by the File Manager (VantrelFSConvertMacLayout, whole
// per item) to the layout asked for; this file walks, counts and reports.
#include <string>
#include <vector>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/Sidecars.h"
#include "walk.h"

namespace fmutil {

namespace {

bool parse_layout(const std::string& word, VantrelMacLayout* out) {
    if (word == "netatalk")
        *out = kVantrelMacLayoutNetatalk;
    else if (word == "stream")
        *out = kVantrelMacLayoutStream;
    else if (word == "stream+file")
        *out = kVantrelMacLayoutStreamFile;
    else
        return false;
    return true;
}

// What moved, in words, in the order a reader cares about.
std::vector<const char*> moved_words(VantrelConvertItems m) {
    std::vector<const char*> w;
    if ((m & kVantrelConvertFinderInfo) != 0) w.push_back("Finder information");
    if ((m & kVantrelConvertFork) != 0) w.push_back("resource fork");
    if ((m & kVantrelConvertMacOSFile) != 0) w.push_back("macOS ._ file");
    if ((m & kVantrelConvertCleared) != 0) w.push_back("old copies removed");
    if ((m & kVantrelConvertAppleDouble) != 0) w.push_back("Netatalk 2 .AppleDouble entry");
    return w;
}

struct Converter {
    Context& ctx;
    JsonWriter& j;
    std::vector<TreeError>& errors;
    VantrelMacLayout to;
    UInt32 options;
    bool verbose;
    std::size_t seen = 0, converted = 0;

    void failed(const std::string& p, OSErr e) {
        ctx.out.flush();
        ctx.fm_error_line(p, e,
                          e == fileBoundsErr
                              ? "kept as it was: its fork is larger than an attribute holds"
                              : std::string_view{});
        errors.push_back({p, e});
    }

    void convert(const std::string& path, const FSRef& ref) {
        VantrelConvertReport r{};
        const OSErr e = VantrelFSConvertMacLayout(&ref, to, options, &r);
        if (e == notAFileErr) return;  // a link, a FIFO, a device: no metadata of its own
        ++seen;
        if (e != noErr) {
            failed(path, e);
            return;
        }
        if ((r.kept & kVantrelConvertAppleDouble) != 0) {
            ctx.out.flush();
            ctx.err << "fmutil: ";
            append_terminal_safe(ctx.err.buf(), path);
            ctx.err << ": its .AppleDouble entry is no AppleDouble file: left as it is\n";
            ctx.err.flush();
        }
        if (r.moved == 0) return;
        ++converted;
        const std::vector<const char*> words = moved_words(r.moved);
        if (ctx.json) {
            j.begin_object();
            j.name_field("path", path);
            j.key("moved");
            j.begin_array();
            for (const char* w : words) j.string(w);
            j.end_array();
            j.end_object();
            return;
        }
        if (!verbose) return;
        ctx.out << ((options & kVantrelConvertDryRun) != 0 ? "would convert " : "converted ");
        ctx.out.name(path);
        ctx.out << " (";
        for (std::size_t i = 0; i < words.size(); ++i) ctx.out << (i ? ", " : "") << words[i];
        ctx.out << ")\n";
        ctx.out.maybe_flush();
    }

    // walk_tree's visitor: every item, before what is below it.
    bool pre(const WalkVisit& v) {
        if (v.ref != nullptr) convert(v.path, *v.ref);
        return true;
    }
    void post(const WalkVisit&) {}
    void error(const std::string& p, OSErr e) { failed(p, e); }
};

}  // namespace

int cmd_convert(Context& ctx) {
    VantrelMacLayout to = 0;
    const std::string* word = ctx.value("to");
    if (word == nullptr)
        return ctx.usage_error("convert needs --to netatalk, stream or stream+file");
    if (!parse_layout(*word, &to))
        return ctx.usage_error("--to takes netatalk, stream or stream+file, not '" + *word + "'");
    const bool dry = ctx.has("dry-run");
    JsonWriter j(ctx.out);
    begin_json_items(ctx, j);
    std::vector<TreeError> errors;
    Converter c{ctx, j, errors, to, dry ? UInt32(kVantrelConvertDryRun) : 0, ctx.has("verbose")};
    for (const std::string& path : ctx.args) {
        FSRef ref;
        bool isDir = false;
        if (OSErr e = path_ref(path, &ref, &isDir)) {
            c.failed(path, e);
            continue;
        }
        c.convert(path, ref);
        if (!isDir) continue;
        TreeBuffers buffers;
        buffers.bitmap = kFSCatInfoNodeFlags;
        walk_tree(ref, path, buffers, true, nullptr, c);
    }
    if (ctx.json) {
        j.end_array();
        j.field_u("items_seen", c.seen);
        j.field_u(dry ? "would_convert" : "converted", c.converted);
        write_json_errors(j, errors);
        j.end_object();
        j.finish();
    } else {
        ctx.out << std::to_string(c.converted) << " of " << std::to_string(c.seen)
                << (dry ? " items would be converted to " : " items converted to ") << *word;
        if (!errors.empty()) ctx.out << "; " << std::to_string(errors.size()) << " failed";
        ctx.out << "\n";
    }
    return ctx.finish(errors.empty() ? kExitOk : kExitFileManager);
}

}  // namespace fmutil
