// convert: a migration between servers. Every item under each PATH has its
// Mac metadata moved by the File Manager (VantrelFSConvertFolderMacLayout,
// a folder at a time, whole per item) to the layout asked for, and its
// name stored in the normal form asked for (VantrelFSRenameExact, the fork
// following its file); this file walks, counts and reports.
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "commands.h"
#include "fmutil.h"
#include "text.h"
#include "vantrel/DiskNames.h"
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

// The directory part of `path`, "dir/" ("" for a bare name), and its last
// component, trailing slashes ignored.
std::string folder_part(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

// Whether an item is stored under exactly the last component of `path`: a
// lookup finds a name in other spellings too (a decomposed name for its
// composed form), which is not the same entry.
bool exists_at(const std::string& path) {
    FSRef ref;
    std::string disk;
    return path_ref(path, &ref) == noErr && append_ref_disk_name(disk, ref) &&
           disk == last_component(path);
}

struct Converter {
    Context& ctx;
    JsonWriter& j;
    std::vector<TreeError>& errors;
    VantrelMacLayout to;  // 0: no layout asked for
    UInt32 options;
    bool verbose;
    VantrelNormalForm form = 0;  // 0: names left as they are
    const char* formWord = "";
    std::size_t seen = 0, converted = 0;
    std::size_t names = 0, renamed = 0;
    // A dry run renames nothing, so two names of one folder that have one
    // form would both look free: the new paths said so far, and whose.
    std::unordered_map<std::string, std::string> dryTargets = {};
    bool again = false;  // a walk made again: its items were counted by the first
    std::unordered_set<std::string> failedPaths = {};

    void failed(const std::string& p, OSErr e, std::string meaning = {}) {
        // A walk made again (its folders changed while read) meets the
        // items it could not do once more: each is reported once.
        if (again && !failedPaths.insert(p).second) return;
        if (!again) failedPaths.insert(p);
        if (meaning.empty() && e == fileBoundsErr)
            meaning = "kept as it was: its fork is larger than an attribute holds";
        ctx.out.flush();
        ctx.fm_error_line(p, e, meaning);
        errors.push_back({p, e, std::move(meaning)});
    }

    // What each folder's conversion made of its items, by their names on
    // disk: [d] for the items at depth d + 1 (PATH's own are at 1), each
    // folder's kept until the walk has met its items.
    struct Outcome {
        OSErr result;
        VantrelConvertReport report;
    };
    std::vector<std::unordered_map<std::string, Outcome>> byDepth = {};

    // The items of the folder `ref`, at `depth`, converted in one call; the
    // walk says what became of each as it meets it.
    void convert_folder(const FSRef& ref, ItemCount depth) {
        if (to == 0) return;
        if (byDepth.size() < depth) byDepth.resize(depth);
        auto& met = byDepth[depth - 1];
        met.clear();
        const OSErr e = VantrelFSConvertFolderMacLayout(
            &ref, to, options,
            [](const VantrelDiskName* n, OSErr result, const VantrelConvertReport* r,
               void* context) -> Boolean {
                static_cast<std::unordered_map<std::string, Outcome>*>(context)->insert_or_assign(
                    std::string(reinterpret_cast<const char*>(n->bytes), n->length),
                    Outcome{result, *r});
                return false;
            },
            &met);
        // Not read: each item is converted as the walk meets it.
        if (e != noErr) met.clear();
    }

    // The item `path` (`disk`, its name, at `depth`): what its folder's
    // conversion made of it, or, where that did not meet it (made since),
    // its own conversion.
    void convert_item(const std::string& path, std::string_view disk, ItemCount depth,
                      const FSRef& ref) {
        if (to == 0) return;
        if (depth >= 1 && depth <= byDepth.size()) {
            auto& met = byDepth[depth - 1];
            if (const auto it = met.find(std::string(disk)); it != met.end()) {
                said(path, it->second.result, it->second.report);
                return;
            }
        }
        convert(path, ref);
    }

    void convert(const std::string& path, const FSRef& ref) {
        if (to == 0) return;
        VantrelConvertReport r{};
        const OSErr e = VantrelFSConvertMacLayout(&ref, to, options, &r);
        said(path, e, r);
    }

    // What became of the item `path`: counted, and its failure or what
    // moved said.
    void said(const std::string& path, OSErr e, const VantrelConvertReport& r) {
        if (e == notAFileErr) return;  // a link, a FIFO, a device: no metadata of its own
        if (!again) ++seen;
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

    void say_renamed(const std::string& path, const std::string& newPath) {
        const bool dry = (options & kVantrelConvertDryRun) != 0;
        if (ctx.json) {
            j.begin_object();
            j.name_field("path", path);
            j.name_field(dry ? "would_rename_to" : "renamed_to", newPath);
            j.end_object();
            return;
        }
        if (!verbose) return;
        ctx.out << (dry ? "would rename " : "renamed ");
        ctx.out.name(path);
        ctx.out << " to ";
        ctx.out.name(newPath);
        ctx.out << "\n";
        ctx.out.maybe_flush();
    }

    // Why the name of `path` could not take the form `want`: the item that
    // has it already, in that form or another, named.
    std::string taken_words(const std::string& dir, const VantrelDiskName& want) {
        const std::string same =
            dir + std::string(reinterpret_cast<const char*>(want.bytes), want.length);
        std::string w = "not renamed: ";
        if (const auto it = dryTargets.find(same); it != dryTargets.end()) {
            append_terminal_safe(w, it->second);
            w += " would take the same name, ";
            append_terminal_safe(w, same);
            return w;
        }
        if (exists_at(same)) {
            append_terminal_safe(w, same);
            return w + " is there already (the same name in " + formWord + ")";
        }
        VantrelDiskName alt{};
        const VantrelNormalForm otherForm = form == kVantrelNormalFormComposed
                                                ? kVantrelNormalFormDecomposed
                                                : kVantrelNormalFormComposed;
        std::string other;
        if (VantrelFSNormalizeDiskName(&want, otherForm, &alt) == noErr)
            other = dir + std::string(reinterpret_cast<const char*>(alt.bytes), alt.length);
        if (!other.empty() && exists_at(other)) {
            append_terminal_safe(w, other);
            return w + " is there already (the same name in another form)";
        }
        w += "another spelling of ";
        append_terminal_safe(w, same);
        return w + " is there already";
    }

    // Stores the name of the item `path` (its folder's part `dir`, its
    // name as on disk `disk`) in the form asked for, its fork with it.
    void rename(const std::string& path, const std::string& dir, std::string_view disk,
                const FSRef& ref) {
        if (form == 0) return;
        if (!again) ++names;
        const VantrelDiskName cur = disk_name(disk);
        VantrelDiskName want{};
        const OSErr ne = VantrelFSNormalizeDiskName(&cur, form, &want);
        if (ne == bdNamErr) {
            failed(path, ne, "not UTF-8, so in no normal form: left as it is");
            return;
        }
        if (ne == errFSNameTooLong) {
            failed(path, ne,
                   std::string("not renamed: in ") + formWord +
                       " its name would be longer than 255 bytes");
            return;
        }
        if (ne != noErr) {
            failed(path, ne);
            return;
        }
        if (std::string_view(reinterpret_cast<const char*>(want.bytes), want.length) == disk)
            return;
        const std::string newPath =
            dir + std::string(reinterpret_cast<const char*>(want.bytes), want.length);
        if ((options & kVantrelConvertDryRun) != 0) {
            if (const auto it = dryTargets.find(newPath);
                it != dryTargets.end() && it->second == path)
                return;  // said by a walk before this one
            if (exists_at(newPath) || dryTargets.contains(newPath)) {
                failed(path, dupFNErr, taken_words(dir, want));
                return;
            }
            dryTargets.emplace(newPath, path);
            ++renamed;
            say_renamed(path, newPath);
            return;
        }
        const OSErr e = VantrelFSRenameExact(&ref, &want, nullptr);
        if (e == wPrErr) return;  // a volume's root: its name is its mount point's
        if (e == dupFNErr) {
            failed(path, e, taken_words(dir, want));
            return;
        }
        if (e == errFSNameTooLong) {
            failed(path, e, "not renamed: the new name leaves no room for its fork's \"._\" file");
            return;
        }
        if (e != noErr) {
            failed(path, e);
            return;
        }
        ++renamed;
        say_renamed(path, newPath);
    }

    // walk_tree's visitor: every item, before what is below it; a folder
    // is renamed after what is below it, so that the walk of its items
    // goes on under the name it was listed by.
    bool pre(const WalkVisit& v) {
        if (v.ref == nullptr) return true;
        convert_item(v.path, v.entry.name, v.depth, *v.ref);
        if (!v.entry.isDir)
            rename(v.path, folder_part(v.path), v.entry.name, *v.ref);
        else
            convert_folder(*v.ref, v.depth + 1);  // walked next
        return true;
    }
    void post(const WalkVisit& v) { rename(v.path, folder_part(v.path), v.entry.name, *v.ref); }
    void error(const std::string& p, OSErr e) { failed(p, e); }
};

bool parse_form(const std::string& word, VantrelNormalForm* form, const char** shown) {
    if (word == "nfc") {
        *form = kVantrelNormalFormComposed;
        *shown = "NFC";
    } else if (word == "nfd") {
        *form = kVantrelNormalFormDecomposed;
        *shown = "NFD";
    } else {
        return false;
    }
    return true;
}

}  // namespace

// How many times a tree that changes while it is walked is walked.
constexpr int kWalks = 4;

int cmd_convert(Context& ctx) {
    VantrelMacLayout to = 0;
    const std::string* word = ctx.value("to");
    const std::string* names = ctx.value("names");
    if (word == nullptr && names == nullptr)
        return ctx.usage_error(
            "convert needs --to netatalk, stream or stream+file, or --names nfc or nfd");
    if (word != nullptr && !parse_layout(*word, &to))
        return ctx.usage_error("--to takes netatalk, stream or stream+file, not '" + *word + "'");
    VantrelNormalForm form = 0;
    const char* formWord = "";
    if (names != nullptr && !parse_form(*names, &form, &formWord))
        return ctx.usage_error("--names takes nfc or nfd, not '" + *names + "'");
    const bool dry = ctx.has("dry-run");
    JsonWriter j(ctx.out);
    begin_json_items(ctx, j);
    std::vector<TreeError> errors;
    Converter c{
        ctx,  j,       errors, to, dry ? UInt32(kVantrelConvertDryRun) : 0, ctx.has("verbose"),
        form, formWord};
    for (const std::string& path : ctx.args) {
        FSRef ref;
        bool isDir = false;
        if (OSErr e = path_ref(path, &ref, &isDir)) {
            c.failed(path, e);
            continue;
        }
        c.convert(path, ref);
        // A folder renamed or made by another program while its folder is
        // read may be missed by that listing (readdir promises nothing of an
        // entry that moves meanwhile): the walk is made again, what it
        // did already being no work twice, until a walk sees no change.
        for (int pass = 0; isDir; ++pass) {
            TreeBuffers buffers;
            buffers.bitmap = kFSCatInfoNone;
            bool changed = false;
            c.again = pass > 0;
            c.convert_folder(ref, 1);
            walk_tree(ref, path, buffers, true, &changed, c);
            if (!changed) break;
            if (pass == kWalks - 1) {
                ctx.out.flush();
                ctx.err << "fmutil: ";
                append_terminal_safe(ctx.err.buf(), path);
                ctx.err << ": changed while it was walked, " << std::to_string(kWalks)
                        << " times: run convert again for what was added meanwhile\n";
                ctx.err.flush();
                break;
            }
        }
        c.again = false;
        // PATH itself last, under the name it was given by; "." and ".."
        // name it through another entry, which is not its name.
        std::string disk;
        if (c.form != 0 && !ends_in_dot_or_dotdot(path) && append_ref_disk_name(disk, ref))
            c.rename(path, folder_part(path), disk, ref);
    }
    if (ctx.json) {
        j.end_array();
        if (to != 0) {
            j.field_u("items_seen", c.seen);
            j.field_u(dry ? "would_convert" : "converted", c.converted);
        }
        if (form != 0) {
            j.field_u("names_seen", c.names);
            j.field_u(dry ? "would_rename" : "renamed", c.renamed);
        }
        write_json_errors(j, errors);
        j.end_object();
        j.finish();
    } else {
        if (to != 0)
            ctx.out << std::to_string(c.converted) << " of " << std::to_string(c.seen)
                    << (dry ? " items would be converted to " : " items converted to ") << *word;
        if (to != 0 && form != 0) ctx.out << "\n";
        if (form != 0)
            ctx.out << std::to_string(c.renamed) << " of " << std::to_string(c.names)
                    << (dry ? " names would be renamed to " : " names renamed to ") << formWord;
        if (!errors.empty()) ctx.out << "; " << std::to_string(errors.size()) << " failed";
        ctx.out << "\n";
    }
    return ctx.finish(errors.empty() ? kExitOk : kExitFileManager);
}

}  // namespace fmutil
