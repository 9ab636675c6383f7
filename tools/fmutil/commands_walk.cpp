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
#include "vantrel/FSUtilities.h"
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
        e = VantrelFSGetCatalogInfoBulkDiskNames(
            it, TreeBuffers::kBatch, &n, changed != nullptr ? &ch : nullptr, b.bitmap,
            b.infos.data(), b.refs.data(), nullptr, b.names.data());
        if (ch) *changed = true;
        const bool kinds = (b.bitmap & kFSCatInfoPermissions) != 0;
        for (ItemCount i = 0; i < n; ++i) {
            const bool dir = (b.infos[i].nodeFlags & kFSNodeIsDirectoryMask) != 0;
            TreeEntry entry{{}, std::string::npos, kinds ? kind_of(b.infos[i]).json : nullptr, dir};
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
        struct stat st {};
        if (!before.empty() && ::lstat(before.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
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
    std::vector<TreeLevel> stack(1);
    stack[0].prefix = path_prefix(dir);
    // A directory that cannot be read is named on standard error when it is
    // met, and the walk goes on with its siblings, as find does.
    auto failed = [&](std::string path, OSErr e) {
        progress.clear();
        ctx.out.flush();
        ctx.fm_error_line(path, e);
        errors.push_back({std::move(path), e});
    };
    if (OSErr e = read_level(ref, buffers, &stack[0], watch)) failed(dir, e);
    std::string path;
    while (const TreeEntry* next = next_entry(stack)) {
        const TreeLevel& level = stack.back();
        const TreeEntry& entry = *next;
        const bool isDir = entry.isDir;
        path.assign(level.prefix);
        path += entry.name;
        if (ctx.json) {
            j.begin_object();
            j.name_field("path", path);
            j.field("depth", static_cast<std::int64_t>(level.depth));
            j.field("kind", entry.kind);
            j.end_object();
        } else {
            std::string& b = ctx.out.buf();
            ctx.out.name(path);
            if (isDir) b.push_back('/');
            b.push_back(end);
            if (b.size() >= std::size_t{64} * 1024) {
                progress.clear();
                ctx.out.flush();
            }
        }
        progress.tick(++items);
        if (isDir && (maxDepth == 0 || level.depth < maxDepth)) {
            TreeLevel child;
            child.prefix = path + "/";
            child.depth = level.depth + 1;
            const FSRef childRef = level.refs[entry.ref];
            if (OSErr e = read_level(childRef, buffers, &child, watch)) failed(path, e);
            // (`level` and `entry` are not used past this point: the push may move them.)
            if (!child.entries.empty()) stack.push_back(std::move(child));
        }
    }
    progress.clear();
    if (ctx.json) {
        j.end_array();
        j.field("changed", changed);
        j.key("error");
        errors.empty() ? j.null() : write_json_error(j, errors[0].path, errors[0].code);
        j.key("errors");
        j.begin_array();
        for (const TreeError& e : errors) write_json_error(j, e.path, e.code);
        j.end_array();
        j.end_object();
        j.finish();
    }
    return ctx.finish(errors.empty() ? kExitOk : kExitFileManager);
}

namespace {

// One row of `ls -l`, kept until every row is read so that columns align.
struct LongRow {
    char kind;
    bool locked;
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
        b.push_back(r.locked ? 'L' : '-');
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

int cmd_ls(Context& ctx) {
    const std::string dir = ctx.args.empty() ? std::string(".") : ctx.args[0];
    const bool lng = ctx.has("long");
    FSRef ref;
    if (OSErr e = path_ref(dir, &ref)) return ctx.fm_error(dir, e);
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
                j.key("modified");
                date_is_set(info.contentModDate) ? j.string(format_date(info.contentModDate))
                                                 : j.null();
                j.end_object();
                continue;
            }
            LongRow r{kind.letter, locked, plainFile, {}, {}, {}, {}, {}, {}};
            if (plainFile) {
                if (fi.fileType) r.type = format_ostype(fi.fileType);
                if (fi.fileCreator) r.creator = format_ostype(fi.fileCreator);
                r.data = std::to_string(info.dataLogicalSize);
                r.rsrc = std::to_string(info.rsrcLogicalSize);
            } else {
                r.data = r.rsrc = "-";
            }
            // To the second, so that every row's date is as wide (JSON has the fraction).
            r.modified = date_is_set(info.contentModDate) ? format_date(info.contentModDate) : "-";
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
        e ? write_json_error(j, dir, e) : j.null();
        j.end_object();
        j.finish();
    }
    return ctx.finish(e ? kExitFileManager : kExitOk);
}

namespace {

// Every item below `dir` in the order a depth-first deletion removes them:
// a directory's items before the directory (post-order), paths built on
// `prefix`. Links are items, never followed. Directories that cannot be read
// are listed without their items, and named in *unreadable.
void list_post_order(const FSRef& dir, const std::string& prefix, std::vector<std::string>* out,
                     std::vector<TreeError>* unreadable = nullptr) {
    TreeBuffers buffers;
    bool changed = false;
    struct Frame {
        TreeLevel level;
        std::string self;  // the directory's own path, listed after its items
    };
    std::vector<Frame> stack(1);
    stack[0].level.prefix = prefix;
    auto note = [&](std::string path, OSErr e) {
        if (e && unreadable) unreadable->push_back({std::move(path), e});
    };
    note(prefix.substr(0, prefix.size() - 1), read_level(dir, buffers, &stack[0].level, &changed));
    while (!stack.empty()) {
        TreeLevel& level = stack.back().level;
        if (level.next == level.entries.size()) {
            if (!stack.back().self.empty()) out->push_back(std::move(stack.back().self));
            stack.pop_back();
            continue;
        }
        const TreeEntry& entry = level.entries[level.next++];
        std::string path = level.prefix + entry.name;
        if (!entry.isDir) {
            out->push_back(std::move(path));
            continue;
        }
        Frame child;
        child.level.prefix = path + "/";
        const FSRef childRef = level.refs[entry.ref];
        note(path, read_level(childRef, buffers, &child.level, &changed));
        child.self = std::move(path);
        stack.push_back(std::move(child));  // `level` is stale now
    }
}

// A "._NAME" entry is NAME's resource fork only when NAME is there and it is
// a regular file in AppleDouble form; anything else under such a name is
// the user's own, and the listing hides it all the same. An unreadable one
// is taken for a fork: copying NAME reports what cannot be read.
bool own_hidden_file(int dirfd, const char* entry) {
    struct stat st {};
    if (::fstatat(dirfd, entry + 2, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    // Only a regular file is opened: opening a device could act on it.
    if (::fstatat(dirfd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;  // gone meanwhile
    if (!S_ISREG(st.st_mode)) return true;
    const int fd =
        ::openat(dirfd, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ELOOP;  // swapped for a link
    unsigned char magic[4] = {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t n = regular ? ::pread(fd, magic, sizeof magic, 0) : 0;
    ::close(fd);
    if (!regular) return true;
    if (n < 0) return false;
    static constexpr unsigned char kAppleDouble[4] = {0x00, 0x05, 0x16, 0x07};
    return n != 4 || std::memcmp(magic, kAppleDouble, 4) != 0;
}

}  // namespace

std::vector<std::string> hidden_own_files(const std::string& dir, std::size_t max) {
    std::vector<std::string> found;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return found;
    while (const dirent* entry = ::readdir(d)) {
        if (std::strncmp(entry->d_name, "._", 2) != 0) continue;
        if (!own_hidden_file(::dirfd(d), entry->d_name)) continue;
        found.emplace_back(entry->d_name);
        if (found.size() == max) break;
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

namespace {

bool gone(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

struct RmTarget {
    const std::string& path;
    FSRef ref;
    bool dir;
};

// Why a directory the deletion emptied is still "not empty": a "._NAME"
// file of the user's own (no resource fork) is never listed, never taken
// for an item and never deleted, so it keeps its folder. Named here, since
// nothing else shows it.
std::string hidden_holder(const std::string& dir, OSErr e) {
    if (e != fBsyErr) return {};
    std::vector<std::string> found = hidden_own_files(dir, 1);
    if (found.empty()) return {};
    for (char& c : found[0]) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // never a control
    }
    return "it still holds " + found[0] +
           ", a file of its own that is not a resource fork and is never listed or "
           "deleted with its folder; move it away first";
}

}  // namespace

int cmd_rm(Context& ctx) {
    const bool contentsOnly = ctx.has("contents-only");
    const bool dryRun = ctx.has("dry-run");
    const bool verbose = ctx.has("verbose");
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
        std::vector<std::string> items;  // what goes, in the order it goes
        if (t.dir && (dryRun || verbose)) {
            std::vector<TreeError> unreadable;
            list_post_order(t.ref, path_prefix(t.path), &items, &unreadable);
            // A dry run that cannot see everything says so, as tree does.
            if (dryRun) {
                for (TreeError& u : unreadable) {
                    ctx.out.flush();
                    ctx.fm_error_line(u.path, u.code);
                    errors.push_back(std::move(u));
                }
            }
        }
        if (!contentsOnly) items.push_back(t.path);
        OSErr e = noErr;
        std::string failedPath = t.path;
        if (!dryRun) {
            // Only for the progress line: a descriptor on the same volume,
            // opened without following a link.
            int vfd = t.dir && ::isatty(ctx.err.fd()) == 1
                          ? ::open(t.path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)
                          : -1;
            VolumeProgress progress(ctx.err.fd(), "fmutil: rm", vfd);
            if (t.dir) {
                e = contentsOnly ? FSDeleteContainerContents(&t.ref) : FSDeleteContainer(&t.ref);
            } else {
                // A locked file goes too, as the directory deletion treats one.
                FSCatalogInfo info{};
                e = FSGetCatalogInfo(&t.ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr);
                if (!e && (info.nodeFlags & kFSNodeLockedMask)) {
                    info.nodeFlags &= ~kFSNodeLockedMask;
                    e = FSSetCatalogInfo(&t.ref, kFSCatInfoNodeFlags, &info);
                }
                if (!e) e = FSDeleteObject(&t.ref);
            }
            progress.stop();
            if (vfd >= 0) ::close(vfd);
            if (e && t.dir) {
                // The deletion goes depth first and stops at the first
                // failure: what failed is the first item, in that order, that
                // is still there.
                std::vector<std::string> left;
                list_post_order(t.ref, path_prefix(t.path), &left);
                if (!left.empty()) failedPath = left.front();
            }
        }
        if (!ctx.json) {
            for (const std::string& item : items) {
                if (!dryRun && (!verbose || !gone(item))) continue;
                if (!dryRun) ctx.out << "removed ";
                ctx.out.name(item);
                ctx.out.buf().push_back('\n');
                ctx.out.maybe_flush();
            }
        }
        if (e) {
            ctx.out.flush();
            ctx.fm_error_line(failedPath, e, hidden_holder(failedPath, e));
            errors.push_back({failedPath, e});
            if (!many) break;
            continue;
        }
        if (ctx.json) {
            j.begin_object();
            j.name_field("path", t.path);
            j.field(dryRun ? "would_remove" : "removed", !t.dir         ? "file"
                                                         : contentsOnly ? "contents"
                                                                        : "directory");
            if (dryRun || verbose) {
                j.key("items");
                j.begin_array();
                for (const std::string& item : items) {
                    if (dryRun || gone(item)) j.string(item);
                }
                j.end_array();
            }
            j.end_object();
        }
    }
    if (ctx.json) {
        if (many) {
            j.end_array();
            j.key("errors");
            j.begin_array();
            for (const TreeError& e : errors) write_json_error(j, e.path, e.code);
            j.end_array();
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

}  // namespace fmutil
