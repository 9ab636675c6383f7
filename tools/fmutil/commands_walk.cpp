// ls, tree, rm: listing, walking and deleting directory contents.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "commands.h"
#include "fmutil.h"
#include "progress.h"
#include "text.h"
#include "vantrel/BulkDelete.h"
#include "vantrel/FSUtilities.h"
#include "vantrel/Sidecars.h"
#include "walk.h"

namespace fmutil {

std::string path_prefix(const std::string& dir) {
    std::string p = dir;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p != "/") p.push_back('/');
    return p;
}

const TreeEntry* next_entry(std::vector<TreeLevel>& stack) {
    while (!stack.empty() && stack.back().next == stack.back().entries.size()) stack.pop_back();
    return stack.empty() ? nullptr : &stack.back().entries[stack.back().next++];
}

OSErr read_level(const FSRef& dir, TreeBuffers& b, TreeLevel* level, bool* changed) {
    FSIterator it = nullptr;
    if (OSErr e = FSOpenIterator(&dir, kFSIterateFlat, &it)) return e;
    OSErr e = noErr;
    for (;;) {
        ItemCount n = 0;
        Boolean ch = 0;
        const bool entriesOnly = b.bitmap == kFSCatInfoNone;
        e = entriesOnly ? VantrelFSGetEntriesBulk(it, TreeBuffers::kBatch, &n,
                                                  changed != nullptr ? &ch : nullptr, b.refs.data(),
                                                  b.names.data(), b.folders.data())
                        : VantrelFSGetCatalogInfoBulkDiskNames(
                              it, TreeBuffers::kBatch, &n, changed != nullptr ? &ch : nullptr,
                              b.bitmap, b.infos.data(), b.refs.data(), nullptr, b.names.data());
        if (ch) *changed = true;
        const bool kinds = (b.bitmap & kFSCatInfoPermissions) != 0;
        for (ItemCount i = 0; i < n; ++i) {
            // Listed by its entry alone, an item shows no flags but a folder's.
            const UInt16 flags = entriesOnly ? (b.folders[i] != 0 ? kFSNodeIsDirectoryMask : 0)
                                             : b.infos[i].nodeFlags;
            const bool dir = (flags & kFSNodeIsDirectoryMask) != 0;
            // An item of a folder one may read but not search: the entry
            // tells a folder, nothing else (no type bits in its mode).
            FSPermissionInfo perm;
            std::memcpy(&perm, b.infos[i].permissions, sizeof perm);
            const bool known = dir || (perm.mode & S_IFMT) != 0;
            TreeEntry entry{{},
                            std::string::npos,
                            kinds && known ? kind_of(b.infos[i]).json : nullptr,
                            dir,
                            (flags & kFSNodeLockedMask) != 0};
            append_listed_name(entry.name, b.names[i], b.refs[i]);
            if (dir || level->keepAllRefs) {
                entry.ref = level->refs.size();
                level->refs.push_back(b.refs[i]);
            }
            level->entries.push_back(std::move(entry));
        }
        // The last batch comes with the end: no call more to learn it.
        const bool end = e == errFSNoMoreItems;
        if (end) e = noErr;
        if (end || e != noErr || n == 0) break;
    }
    FSCloseIterator(it);  // benign: the iterator is released whatever this answers
    return e;
}

int cmd_tree(Context& ctx) {
    const std::string& dir = ctx.args[0];
    ItemCount maxDepth = 0;
    if (const std::string* v = ctx.value("depth")) {
        auto n = parse_integer(*v, 0, 0xFFFFFFFFLL);
        if (!n)
            return ctx.usage_error("--depth '" + *v +
                                   "' is not a whole number from 0 (no limit) up");
        maxDepth = static_cast<ItemCount>(*n);
    }
    // "lnk/." and "lnk/.." name the link's target or the target's parent: a
    // walk that never follows links does not start through one either.
    if (ends_in_dot_or_dotdot(dir)) {
        std::string before = dir;
        while (before.size() > 1 && before.back() == '/') before.pop_back();
        before.resize(before.size() - last_component(before).size());
        while (before.size() > 1 && before.back() == '/') before.pop_back();
        FSRef link;  // a final link names the link itself
        ItemKind k{};
        if (!before.empty() && path_ref(before, &link) == noErr &&
            item_kind(link, &k, nullptr) == noErr && k.letter == 'l') {
            return ctx.usage_error("'" + dir + "' goes through the symbolic link '" + before +
                                   "'; tree never follows links");
        }
    }
    FSRef ref;
    if (OSErr e = path_ref(dir, &ref)) return ctx.fm_error(dir, e);

    Progress progress(ctx.err.fd(), "fmutil: tree");
    JsonWriter j(ctx.out);
    if (ctx.json) {
        j.begin_object();
        j.name_field("path", dir);
        j.key("items");
        j.begin_array();
    }
    const char end = ctx.has("null") ? '\0' : '\n';
    TreeBuffers buffers;
    // The text shows directories alone (a trailing "/"); only JSON names
    // every item's kind.
    if (!ctx.json) buffers.bitmap = kFSCatInfoNodeFlags;
    std::vector<TreeError> errors;
    bool changed = false;
    // Only JSON tells whether a directory changed while it was walked: the
    // text spares the look at each directory's times.
    bool* const watch = ctx.json ? &changed : nullptr;
    std::uint64_t items = 0;
    // A directory that cannot be read is named on standard error when it is
    // met, and the walk goes on with its siblings, as find does.
    struct Lister {
        Context& ctx;
        JsonWriter& j;
        Progress& progress;
        std::vector<TreeError>& errors;
        std::uint64_t& items;
        ItemCount maxDepth;
        char end;
        bool pre(const WalkVisit& v) {
            if (ctx.json) {
                j.begin_object();
                j.name_field("path", v.path);
                j.field("depth", static_cast<std::int64_t>(v.depth));
                j.field("kind", v.entry.kind);
                j.end_object();
            } else {
                std::string& b = ctx.out.buf();
                ctx.out.name(v.path);
                if (v.entry.isDir) b.push_back('/');
                b.push_back(end);
                if (b.size() >= std::size_t{64} * 1024) {
                    progress.clear();
                    ctx.out.flush();
                }
            }
            progress.tick(++items);
            return maxDepth == 0 || v.depth < maxDepth;
        }
        void post(const WalkVisit&) {}
        void error(const std::string& path, OSErr e) {
            progress.clear();
            ctx.out.flush();
            ctx.fm_error_line(path, e);
            errors.push_back({path, e});
        }
    } lister{ctx, j, progress, errors, items, maxDepth, end};
    walk_tree(ref, dir, buffers, false, watch, lister);
    progress.clear();
    if (ctx.json) {
        j.end_array();
        j.field("changed", changed);
        j.key("error");
        errors.empty() ? j.null() : write_json_error(j, errors[0].path, errors[0].code);
        write_json_errors(j, errors);
        j.end_object();
        j.finish();
    }
    return ctx.finish(errors.empty() ? kExitOk : kExitFileManager);
}

void begin_json_items(const Context& ctx, JsonWriter& j) {
    if (!ctx.json) return;
    j.begin_object();
    j.key("items");
    j.begin_array();
}

void write_json_errors(JsonWriter& j, const std::vector<TreeError>& errors) {
    j.key("errors");
    j.begin_array();
    for (const TreeError& e : errors) write_json_error(j, e.path, e.code, e.meaning);
    j.end_array();
}

namespace {

// One row of `ls -l`, kept until every row is read so that columns align.
struct LongRow {
    char kind;
    char lock;  // 'L', '-', or '?' where the item could not be looked at
    bool plainFile;
    std::string type, creator, data, rsrc, modified, name;
};

void print_long_rows(Out& out, const std::vector<LongRow>& rows, char end) {
    std::size_t wt = 0, wc = 0, wd = 0, wr = 0, wm = 0;
    for (const LongRow& r : rows) {
        wt = std::max(wt, r.type.size());
        wc = std::max(wc, r.creator.size());
        wd = std::max(wd, r.data.size());
        wr = std::max(wr, r.rsrc.size());
        wm = std::max(wm, r.modified.size());
    }
    auto padLeft = [](std::string& b, const std::string& s, std::size_t w) {
        b.append(w - s.size(), ' ');
        b += s;
    };
    auto padRight = [](std::string& b, const std::string& s, std::size_t w) {
        b += s;
        b.append(w - s.size(), ' ');
    };
    for (const LongRow& r : rows) {
        std::string& b = out.buf();
        b.push_back(r.kind);
        b.push_back(r.lock);
        b.push_back(' ');
        if (wt) padRight(b, r.type, wt), b.push_back(' ');
        if (wc) padRight(b, r.creator, wc), b.push_back(' ');
        padLeft(b, r.data, wd);
        b.push_back(' ');
        padLeft(b, r.rsrc, wr);
        b.push_back(' ');
        padRight(b, r.modified, wm);
        b.push_back(' ');
        b += r.name;
        b.push_back(end);
        out.maybe_flush();
    }
}

}  // namespace

namespace {

// Whether `dir` opens as a folder that was deleted (no link left to it):
// the working directory another process removed, reached as "." or "..".
bool folder_removed(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool removed = ::fstat(fd, &st) == 0 && st.st_nlink == 0;
    ::close(fd);
    return removed;
}

}  // namespace

int cmd_ls(Context& ctx) {
    const std::string dir = ctx.args.empty() ? std::string(".") : ctx.args[0];
    const bool lng = ctx.has("long");
    FSRef ref;
    if (OSErr e = path_ref(dir, &ref)) {
        // A folder deleted while it is the working directory (or below it)
        // has no name left, but it is there and empty: GNU ls lists nothing.
        if (e == fnfErr && folder_removed(dir)) {
            if (ctx.json) {
                JsonWriter j(ctx.out);
                j.begin_object();
                j.name_field("path", dir);
                j.key("items");
                j.begin_array();
                j.end_array();
                j.field("changed", false);
                j.key("error");
                j.null();
                j.end_object();
                j.finish();
            }
            return ctx.finish(kExitOk);
        }
        return ctx.fm_error(dir, e);
    }
    FSIterator it = nullptr;
    if (OSErr e = FSOpenIterator(&ref, kFSIterateFlat, &it)) return ctx.fm_error(dir, e);

    // Names alone come from the bulk call; the long form asks it for the rest.
    const FSCatalogInfoBitmap bitmap =
        lng ? (kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoContentMod |
               kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoDataSizes |
               kFSCatInfoRsrcSizes)
            : kFSCatInfoNone;
    constexpr ItemCount kBatch = 128;
    std::vector<FSCatalogInfo> infos(lng ? kBatch : 0);
    std::vector<FSRef> refs(kBatch);
    std::vector<VantrelDiskName> names(kBatch);
    JsonWriter j(ctx.out);
    if (ctx.json) {
        j.begin_object();
        j.name_field("path", dir);
        j.key("items");
        j.begin_array();
    }
    const char end = ctx.has("null") ? '\0' : '\n';
    std::vector<LongRow> rows;
    std::vector<std::string> unlooked;  // items of a folder one may read but not search
    bool changed = false;
    OSErr e = noErr;
    std::string name;
    for (;;) {
        ItemCount n = 0;
        Boolean ch = 0;
        e = VantrelFSGetCatalogInfoBulkDiskNames(it, kBatch, &n, &ch, bitmap,
                                                 lng ? infos.data() : nullptr, refs.data(), nullptr,
                                                 names.data());
        if (ch) changed = true;
        for (ItemCount i = 0; i < n; ++i) {
            name.clear();
            append_listed_name(name, names[i], refs[i]);
            if (!lng) {
                if (ctx.json) {
                    j.begin_object();
                    j.name_field("name", name);
                    j.end_object();
                } else {
                    ctx.out.name(name);
                    ctx.out.buf().push_back(end);
                    ctx.out.maybe_flush();
                }
                continue;
            }
            const FSCatalogInfo& info = infos[i];
            if (info.nodeID == 0) {
                // In a folder one may read but not search, the name is all
                // there is: listed with "?" fields, as GNU ls -l lists it.
                const char kind = (info.nodeFlags & kFSNodeIsDirectoryMask) != 0 ? 'd' : '?';
                unlooked.push_back(path_prefix(dir) + name);
                if (ctx.json) {
                    j.begin_object();
                    j.name_field("name", name);
                    j.key("kind");
                    kind == 'd' ? j.string("directory") : j.null();
                    j.key("node_id");
                    j.null();
                    j.key("locked");
                    j.null();
                    j.key("modified");
                    j.null();
                    j.end_object();
                    continue;
                }
                LongRow r{kind, '?', false, {}, {}, "?", "?", "?", {}};
                if (ctx.out.terminal()) {
                    append_terminal_safe(r.name, name);
                } else {
                    r.name = name;
                }
                rows.push_back(std::move(r));
                continue;
            }
            FileInfo fi;
            std::memcpy(&fi, info.finderInfo, sizeof fi);
            const ItemKind kind = kind_of(info);
            const bool plainFile = kind.letter == '-';
            const bool locked = (info.nodeFlags & kFSNodeLockedMask) != 0;
            if (ctx.json) {
                j.begin_object();
                j.name_field("name", name);
                j.field("kind", kind.json);
                j.field_u("node_id", info.nodeID);
                j.field("locked", locked);
                if (plainFile) {
                    j.key("type");
                    fi.fileType ? j.string(format_ostype(fi.fileType)) : j.null();
                    j.key("creator");
                    fi.fileCreator ? j.string(format_ostype(fi.fileCreator)) : j.null();
                    j.field_u("data_size", info.dataLogicalSize);
                    j.field_u("rsrc_size", info.rsrcLogicalSize);
                }
                // A POSIX time: 1904-01-01T00:00:00Z is a date, not "never".
                j.field("modified", format_date(info.contentModDate));
                j.end_object();
                continue;
            }
            LongRow r{kind.letter, locked ? 'L' : '-', plainFile, {}, {}, {}, {}, {}, {}};
            if (plainFile) {
                if (fi.fileType) r.type = format_ostype(fi.fileType);
                if (fi.fileCreator) r.creator = format_ostype(fi.fileCreator);
                r.data = std::to_string(info.dataLogicalSize);
                r.rsrc = std::to_string(info.rsrcLogicalSize);
            } else {
                r.data = r.rsrc = "-";
            }
            // To the second, so that every row's date is as wide (JSON has the fraction).
            r.modified = format_date(info.contentModDate);
            if (const auto dot = r.modified.find('.'); dot != std::string::npos)
                r.modified.erase(dot, r.modified.size() - 1 - dot);
            if (ctx.out.terminal()) {
                append_terminal_safe(r.name, name);
            } else {
                r.name = name;
            }
            rows.push_back(std::move(r));
        }
        if (e == errFSNoMoreItems) e = noErr;
        if (e != noErr || n == 0) break;
    }
    FSCloseIterator(it);  // benign: the iterator is released whatever this answers
    if (!rows.empty()) print_long_rows(ctx.out, rows, end);
    if (!unlooked.empty()) {
        ctx.out.flush();
        for (const std::string& p : unlooked) ctx.fm_error_line(p, afpAccessDenied);
    }
    if (changed && !ctx.json) {
        ctx.out.flush();
        ctx.err << "fmutil: ";
        append_terminal_safe(ctx.err.buf(), dir);
        ctx.err << ": the directory changed while it was listed\n";
        ctx.err.flush();
    }
    if (e) {
        ctx.out.flush();
        ctx.fm_error_line(dir, e);
    }
    if (ctx.json) {
        j.end_array();
        j.field("changed", changed);
        j.key("error");
        if (e) {
            write_json_error(j, dir, e);
        } else if (!unlooked.empty()) {
            write_json_error(j, unlooked[0], afpAccessDenied);
        } else {
            j.null();
        }
        j.end_object();
        j.finish();
    }
    return ctx.finish(e || !unlooked.empty() ? kExitFileManager : kExitOk);
}

std::vector<HiddenEntry> hidden_entries(const FSRef& dir, std::size_t max, bool ownOnly) {
    struct Found {
        std::vector<HiddenEntry> list;
        std::size_t max;
        bool ownOnly;
    } found{{}, max, ownOnly};
    // The File Manager's own answer, the one its deletions and copies act on.
    (void)VantrelFSGetHiddenEntries(
        &dir,
        [](const VantrelDiskName* n, VantrelHiddenKind kind, void* context) -> Boolean {
            auto* f = static_cast<Found*>(context);
            if (f->ownOnly && kind != kVantrelHiddenOwnFile) return false;
            f->list.push_back(
                {std::string(reinterpret_cast<const char*>(n->bytes), n->length), kind});
            return f->list.size() == f->max;
        },
        &found);
    std::sort(found.list.begin(), found.list.end(),
              [](const HiddenEntry& a, const HiddenEntry& b) { return a.name < b.name; });
    return found.list;
}

namespace {

struct RmTarget {
    const std::string& path;
    FSRef ref;
    bool dir;
};

// Why a directory the deletion emptied is still "not empty": a "._NAME"
// file of the user's own (no resource fork) is never listed, never taken
// for an item and never deleted, so it keeps its folder. Named here, since
// nothing else shows it.
std::string own_file_words(std::string name) {
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // never a control
    }
    return "it still holds " + name +
           ", a file of its own that is not a resource fork and is never listed or "
           "deleted with its folder; move it away first";
}

std::string hidden_holder(const FSRef& ref) {
    for (HiddenEntry& found : hidden_entries(ref)) {
        if (found.kind == kVantrelHiddenFork) continue;
        for (char& c : found.name) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // never a control
        }
        if (found.kind == kVantrelHiddenOrphan) {
            return "it still holds " + found.name +
                   ", an orphaned resource fork whose file is gone, which could not be removed";
        }
        return own_file_words(found.name);
    }
    return {};
}

std::string hidden_holder(const std::string& dir, OSErr e) {
    if (e != fBsyErr) return {};
    FSRef ref;
    if (path_ref(dir, &ref) != noErr) return {};
    return hidden_holder(ref);
}

// What a refusal is, where its code alone would mislead: "permission
// denied" to root, or to a user who may write the folder; "not a plain
// file" for a folder that came under a file's name during the walk.
std::string refusal_words(const std::string& path, OSErr e, bool walked) {
    if (e == fBsyErr) return hidden_holder(path, e);
    if (e == notAFileErr && walked) {
        return "it is a directory, where a file was when its folder was read: it came "
               "afterwards, and it is left as it is, with everything in it";
    }
    if (e != permErr) return {};
    FSRef ref;
    if (::geteuid() == 0) {
        // Root lacks no permission: append-only is the one attribute the
        // deletion's own check names so (a lock is said as one). Anything
        // else is the system's own refusal (a security module, a rule of
        // the file system), and no attribute of the item is to blame.
        if (path_ref(path, &ref) == noErr && VantrelFSDeleteWouldRefuse(&ref) == permErr) {
            return "refused to root too: the item or its folder is append-only (lsattr shows "
                   "an 'a'), which nobody may delete from until it is taken off (chattr -a)";
        }
        return "refused to root too: the system does not permit it (operation not permitted), "
               "though neither the item nor its folder is append-only or locked";
    }
    FSRef parent;
    FSCatalogInfo item{};
    FSCatalogInfo folder{};
    if (path_ref(path, &ref) != noErr ||
        FSGetCatalogInfo(&ref, kFSCatInfoPermissions, &item, nullptr, nullptr, &parent) != noErr ||
        FSGetCatalogInfo(&parent, kFSCatInfoPermissions, &folder, nullptr, nullptr, nullptr) !=
            noErr)
        return {};
    FSPermissionInfo mine;
    FSPermissionInfo above;
    std::memcpy(&mine, item.permissions, sizeof mine);
    std::memcpy(&above, folder.permissions, sizeof above);
    const uid_t me = ::geteuid();
    if ((above.mode & S_ISVTX) != 0 && mine.userID != me && above.userID != me) {
        return "its folder is sticky: only the item's owner, the folder's owner or root may "
               "delete it there";
    }
    return {};
}

// What a deletion walk tells rm, as it goes: each item removed is named
// (rm -v) as it is removed, its path rebuilt from the one name per depth the
// walk gives, so that a path past PATH_MAX is named as well as any; the
// item whose refusal stops the walk is kept for the error.
struct RmWatch {
    Context& ctx;
    const std::string& operand;       // the directory as given
    bool print;                       // rm -v, in text
    std::vector<std::string>* items;  // rm -v --json: what went
    std::string path;                 // the item being told of
    std::vector<std::size_t> ends;    // ends[d - 1]: where the items at depth d begin in `path`
    std::string refused;              // the item that stopped the walk
    bool wasRefused = false;

    static void visit(const VantrelDeleteVisit* v, void* context) {
        auto* w = static_cast<RmWatch*>(context);
        const std::string& path = v->depth == 0 ? w->operand : w->at(*v);
        if (v->event == kVantrelDeleteEntering) {
            w->ends.resize(v->depth);
            w->path.push_back('/');
            w->ends.push_back(w->path.size());
        } else if (v->event == kVantrelDeleteRefused) {
            w->refused = path;
            w->wasRefused = true;
        } else if (w->print) {
            // As rm -v says it: the path quoted for the shell, the operand
            // as typed but for a run of trailing slashes, which is one.
            std::string& line = w->ctx.out.buf();
            line += v->isFolder ? "removed directory " : "removed ";
            if (v->depth == 0) {
                std::string_view given = w->operand;
                if (given.size() > 2 && given.back() == '/') {
                    while (given.size() > 1 && given[given.size() - 2] == '/')
                        given.remove_suffix(1);
                }
                append_shell_quoted(line, given);
            } else {
                append_shell_quoted(line, path);
            }
            line.push_back('\n');
            w->ctx.out.maybe_flush();
        } else if (w->items != nullptr) {
            w->items->push_back(path);
        }
    }
    const std::string& at(const VantrelDeleteVisit& v) {
        path.resize(ends[v.depth - 1]);
        path.append(reinterpret_cast<const char*>(v.name), v.nameLength);
        return path;
    }
};

// What rm -n lists, in the order rm removes it (a directory after its
// items), and what it foresees rm refusing, as rm says it: each item the
// deletion would refuse as it is (a lock shared with a name outside, another
// user's in a sticky folder), and a folder that holds a "._NAME" of the
// user's own (no listing shows it, no deletion takes it). What stays keeps
// every folder above it.
struct RmPlan {
    Context& ctx;
    JsonWriter* json;
    std::vector<TreeError>& errors;
    std::vector<char> keeps;  // keeps[d]: the folder at depth d (0: the operand) stays
    bool pre(const WalkVisit& v) {
        if (!v.entry.isDir) {
            if (v.ref != nullptr)
                item_done(v.path, *v.ref, v.depth);
            else
                list(v.path);
            return true;
        }
        keeps.resize(v.depth + 1);
        keeps[v.depth] = 0;
        return true;
    }
    void post(const WalkVisit& v) { folder_done(v.path, *v.ref, v.depth); }
    void error(const std::string& path, OSErr e) {
        ctx.out.flush();
        // A folder one may not read is still removed when it is empty
        // (removing it needs only its parent's rights): listed, and the
        // doubt said, but no refusal.
        if (e == afpAccessDenied) {
            ctx.fm_error_line(path, e,
                              "it cannot be read: rm removes it if it is empty, and stops here "
                              "if it is not");
            return;
        }
        ctx.fm_error_line(path, e);
        errors.push_back({path, e});
    }
    // The folder at `depth` is walked: listed, or foreseen refused.
    void folder_done(const std::string& path, const FSRef& ref, ItemCount depth) {
        keeps.resize(std::max<std::size_t>(keeps.size(), depth + 1));
        if (keeps[depth]) {  // stays for what is in it, named where it was met
            if (depth != 0) keeps[depth - 1] = 1;
            return;
        }
        for (HiddenEntry& own : hidden_entries(ref, 1, true)) {
            refuse(path, fBsyErr, "rm would stop here: " + own_file_words(own.name), depth);
            return;
        }
        item_done(path, ref, depth);
    }
    // An item whose own deletion is all that is left: listed, or refused.
    void item_done(const std::string& path, const FSRef& ref, ItemCount depth) {
        const OSErr e = VantrelFSDeleteWouldRefuse(&ref);
        if (e == noErr || e == fnfErr) {
            list(path);
            return;
        }
        std::string why = refusal_words(path, e, false);
        refuse(path, e, "rm would stop here" + (why.empty() ? std::string() : ": " + why), depth);
    }
    void refuse(const std::string& path, OSErr e, const std::string& why, ItemCount depth) {
        if (depth != 0) keeps[depth - 1] = 1;
        ctx.out.flush();
        ctx.fm_error_line(path, e, why);
        errors.push_back({path, e});
    }
    void list(const std::string& path) {
        if (json != nullptr) {
            json->string(path);
            return;
        }
        ctx.out.name(path);
        ctx.out.buf().push_back('\n');
        ctx.out.maybe_flush();
    }
};

}  // namespace

int cmd_rm(Context& ctx) {
    const bool contentsOnly = ctx.has("contents-only");
    const bool dryRun = ctx.has("dry-run");
    const bool verbose = ctx.has("verbose");
    const bool force = ctx.has("force");
    // Every operand is checked before anything is deleted.
    for (const std::string& path : ctx.args) {
        // "." and ".." (also "lnk/." and "lnk/..") name a directory other
        // than the entry the path spells: the working directory, a parent, a
        // link's target. rm refuses them, and so does this.
        if (ends_in_dot_or_dotdot(path)) {
            return ctx.usage_error("refusing to remove '.' or '..' directory: skipping '" + path +
                                   "'");
        }
    }
    std::vector<RmTarget> targets;
    std::vector<TreeError> errors;
    for (const std::string& path : ctx.args) {
        RmTarget t{path, {}, false};
        if (OSErr e = path_ref(path, &t.ref, &t.dir)) {
            // Not there (another rm got there first): what was asked, with
            // --force, as rm -f has it.
            if (force && (e == fnfErr || e == dirNFErr)) continue;
            ctx.out.flush();
            ctx.fm_error_line(path, e);
            errors.push_back({path, e});
            continue;
        }
        // Like rm's --preserve-root: the root of the whole system is never a
        // sensible target, whatever spelling ("/..", "//") reached it.
        if (t.dir && ref_path(t.ref) == "/") return ctx.usage_error("refusing to remove '/'");
        if (!t.dir && contentsOnly) {
            ctx.fm_error_line(path, errFSNotAFolder, "--contents-only needs a directory");
            errors.push_back({path, errFSNotAFolder});
            continue;
        }
        targets.push_back(t);
    }

    JsonWriter j(ctx.out);
    const bool many = ctx.args.size() > 1;
    if (ctx.json && many) {
        j.begin_object();
        j.key("items");
        j.begin_array();
    }
    for (const RmTarget& t : targets) {
        const char* what = !t.dir ? "file" : contentsOnly ? "contents" : "directory";
        if (dryRun) {
            // Listed as the walk meets it, in the order rm removes it.
            if (ctx.json) {
                j.begin_object();
                j.name_field("path", t.path);
                j.field("would_remove", what);
                j.key("items");
                j.begin_array();
            }
            RmPlan plan{ctx, ctx.json ? &j : nullptr, errors, {0}};
            if (t.dir) {
                TreeBuffers buffers;
                buffers.bitmap = kFSCatInfoNodeFlags;
                // Every item's reference, to ask what its deletion would answer.
                walk_tree(t.ref, t.path, buffers, true, nullptr, plan);
            }
            if (!contentsOnly) {
                if (t.dir)
                    plan.folder_done(t.path, t.ref, 0);
                else
                    plan.item_done(t.path, t.ref, 0);
            }
            if (ctx.json) {
                j.end_array();
                j.end_object();
            }
            continue;
        }
        std::vector<std::string> items;  // rm -v --json: what went, in the order it went
        OSErr e = noErr;
        std::string failedPath = t.path;
        // Only for the progress line: a descriptor on the same volume,
        // opened without following a link.
        int vfd = t.dir && ::isatty(ctx.err.fd()) == 1
                      ? ::open(t.path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)
                      : -1;
        VolumeProgress progress(ctx.err.fd(), "fmutil: rm", vfd);
        RmWatch watch{ctx,
                      t.path,
                      verbose && !ctx.json,
                      verbose && ctx.json ? &items : nullptr,
                      path_prefix(t.path),
                      {},
                      {},
                      false};
        watch.ends.push_back(watch.path.size());
        if (t.dir) {
            // The walk says which item stopped it: no second walk to guess.
            e = VantrelFSDeleteContainerVisiting(&t.ref, contentsOnly, &RmWatch::visit, &watch);
            if (e && watch.wasRefused) failedPath = watch.refused;
        } else {
            // A locked file goes too, as the directory deletion treats
            // one, unless its lock is also that of another name of it.
            e = FSDeleteObject(&t.ref);
            if (e == fLckdErr) e = VantrelFSDeleteLockedObject(&t.ref);
            if (e == noErr) {
                const VantrelDeleteVisit v{kVantrelDeleteRemoved, false, noErr, 0, nullptr, 0};
                RmWatch::visit(&v, &watch);
            }
        }
        progress.stop();
        if (vfd >= 0) ::close(vfd);
        // Gone since it was found (another rm got there first): what was
        // to be deleted is not there, which is what was asked.
        if (e == fnfErr || e == dirNFErr) {
            const OSErr now =
                FSGetCatalogInfo(&t.ref, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr);
            if (now == fnfErr || now == dirNFErr) e = noErr;
        }
        if (e) {
            ctx.out.flush();
            ctx.fm_error_line(failedPath, e, refusal_words(failedPath, e, t.dir));
            errors.push_back({failedPath, e});
            if (!many) break;
            continue;
        }
        if (ctx.json) {
            j.begin_object();
            j.name_field("path", t.path);
            j.field("removed", what);
            if (verbose) {
                j.key("items");
                j.begin_array();
                for (const std::string& item : items) j.string(item);
                j.end_array();
            }
            j.end_object();
        }
    }
    if (ctx.json) {
        if (many) {
            j.end_array();
            write_json_errors(j, errors);
            j.end_object();
        } else if (!errors.empty()) {
            j.begin_object();
            j.key("error");
            write_json_error(j, errors[0].path, errors[0].code);
            j.end_object();
        }
        j.finish();
    }
    return ctx.finish(errors.empty() ? kExitOk : kExitFileManager);
}

namespace {

// What an orphans finder says of a "._NAME" entry, and whether it may go.
struct HiddenWords {
    const char* json;
    const char* text;
    bool removable;
};

HiddenWords hidden_words(VantrelHiddenKind kind, const std::string& name) {
    // Netatalk 2's ".AppleDouble/NAME".
    if (name.rfind(".AppleDouble/", 0) == 0) {
        if (kind == kVantrelHiddenOrphan)
            return {"orphan", "what Netatalk 2 kept of a file that is gone", true};
        return {"own_file",
                "no AppleDouble file, in Netatalk 2's .AppleDouble: never read, never deleted",
                false};
    }
    switch (kind) {
        case kVantrelHiddenOrphan:
            return {"orphan", "an orphaned resource fork: its file is gone", true};
        case kVantrelHiddenLeftover:
            return {"leftover", "a temporary of a change that was cut short: its program is gone",
                    true};
        default:
            return {"own_file",
                    "a file of the user's own under a resource fork's name: no listing shows it, "
                    "rm and cp -r leave it; move it away to keep it",
                    false};
    }
}

// The finder's walk: each folder's hidden entries, looked at once the walk
// has listed the folder. A listing clears the temporaries their dead makers
// left, so what is left to say of them is only what the listing could not
// clear (a folder the caller may not change), and nothing is reported that
// is gone by the time it is read.
struct OrphanFinder : EachFolderVisitor<OrphanFinder> {
    bool remove;
    std::string path;

    void folder(const std::string& dir, const FSRef& ref) {
        for (const HiddenEntry& h : hidden_entries(ref)) {
            if (h.kind == kVantrelHiddenFork || h.kind == kVantrelHiddenInProgress) continue;
            const HiddenWords words = hidden_words(h.kind, h.name);
            path.assign(path_prefix(dir));
            path += h.name;
            bool removed = false;
            if (remove && words.removable) {
                const VantrelDiskName n = disk_name(h.name);
                const OSErr e = VantrelFSRemoveLeftover(&ref, &n);
                removed = e == noErr;
                // Gone meanwhile is what was asked; no longer a leftover
                // (its file came back, a change took it) is kept, and said.
                if (e == fBsyErr)
                    failed(path, e, "kept: it is no longer a leftover");
                else if (e != noErr && e != fnfErr)
                    failed(path, e);
            }
            if (ctx.json) {
                j.begin_object();
                j.name_field("path", path);
                j.field("kind", words.json);
                j.field("removed", removed);
                j.end_object();
                continue;
            }
            if (removed) ctx.out << "removed ";
            ctx.out.name(path);
            ctx.out << ": " << words.text << "\n";
            ctx.out.maybe_flush();
        }
    }
};

}  // namespace

int cmd_orphans(Context& ctx) {
    const bool remove = ctx.has("remove");
    JsonWriter j(ctx.out);
    begin_json_items(ctx, j);
    std::vector<TreeError> errors;
    OrphanFinder finder{{ctx, j, errors}, remove, {}};
    return walk_each_folder(ctx, j, errors, finder);
}

}  // namespace fmutil
